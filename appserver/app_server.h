// The application server: two server objects with their providers and
// transaction methods over one database, one database session per remote
// session. Transport-free: the HTTP front end and the in-process link of the
// module's tests both call this class.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "caller.h"
#include "server_limits.h"
#include "server_error.h"
#include "wire.h"

namespace appserver {

// What a sign-in gives.
struct SignIn {
    std::string token;  // 64 hex digits; only its hash is stored
    std::chrono::system_clock::time_point expires;
    std::string account;
    Role role = Role::Planner;
};

class AppServer {
public:
    explicit AppServer(std::string connection_string,
                       std::chrono::seconds session_timeout = std::chrono::seconds(600),
                       std::chrono::seconds token_lifetime = std::chrono::hours(12));
    ~AppServer();
    AppServer(const AppServer &) = delete;
    AppServer &operator=(const AppServer &) = delete;

    std::string database_kind() const;

    // Set before the first call.
    void set_limits(const ServerLimits &limits);
    const ServerLimits &limits() const;
    // Whether the session keeps a database connection between calls (its
    // transaction is open): its calls then run apart from those waiting for
    // a connection, so that its commit or rollback always gets through.
    // False for an unknown session.
    bool session_holds_connection(const std::string &session) const;
    // Database connections of the sessions open now (idle or in use).
    int open_connection_count() const;

    // Opens a session on a server object ("VendrixServer.CoCompanyInfo" or
    // "VendrixServer.CoCustObj"); an empty class id is accepted, a wrong one is
    // refused (BadRequest), an unknown object is NotFound.
    //
    // Every call takes the caller; the forms without one act as the anonymous
    // planner. A session belongs to the caller's token: used with another
    // token it is answered as unknown (NotFound). A viewer is refused
    // (Forbidden) every changing statement, every apply and the transaction
    // methods.
    std::string open_session(const std::string &object, const std::string &class_id = {});
    std::string open_session(const Caller &caller, const std::string &object, const std::string &class_id = {});
    // Rolls back the session's open transaction and closes it. Unknown id: NotFound.
    void close_session(const std::string &session);
    void close_session(const Caller &caller, const std::string &session);

    // Named parameters: the plan provider takes NYUE00 (only that month's
    // rows, of every department and salesman; without it, every row);
    // dsp_temp takes none. Any other parameter is refused (BadRequest).
    wire::DataPacket get_records(const std::string &session, const std::string &provider,
                                 const std::string &command_text, const wire::ProviderParams &params = {});
    wire::DataPacket get_records(const Caller &caller, const std::string &session, const std::string &provider,
                                 const std::string &command_text, const wire::ProviderParams &params = {});
    // The records call's answer as the text of its data packet, byte for
    // byte what wire::packet_to_json(get_records(...)) dumps, written while
    // the plan provider steps through its rows (no packet, no JSON tree):
    // each time about chunk bytes are ready, emit is handed them and may take
    // them (the text passed is cleared after it returns); what remains is
    // returned at the end. An answer smaller than chunk is returned whole
    // and emit is never called. A failure throws like get_records; once emit
    // has been called, what it was given is not a complete packet and the
    // caller must not let it pass as one. dsp_temp's answer is built whole
    // (its limits bound it) and returned as text.
    std::string records_text(const Caller &caller, const std::string &session, const std::string &provider,
                             const std::string &command_text, const wire::ProviderParams &params,
                             const std::function<void(std::string &)> &emit, std::size_t chunk = 64 * 1024);
    std::int64_t execute(const std::string &session, const std::string &provider,
                         const std::string &command_text);
    std::int64_t execute(const Caller &caller, const std::string &session, const std::string &provider,
                         const std::string &command_text);
    wire::ApplyResult apply(const std::string &session, const std::string &provider,
                            const wire::Delta &delta, int max_errors);
    wire::ApplyResult apply(const Caller &caller, const std::string &session, const std::string &provider,
                            const wire::Delta &delta, int max_errors);
    void call_method(const std::string &session, const std::string &method);
    void call_method(const Caller &caller, const std::string &session, const std::string &method);

    // Signs an account in from a client address. A wrong user or password is
    // Unauthorized with one message for both; more than five failed sign-ins
    // a minute for the account or from the address are Throttled before any
    // password is hashed. Accounts and tokens live in the database, so every
    // server instance on it accepts the token.
    SignIn login(const std::string &user, const std::string &password, const std::string &address);
    // Ends the token (and, at the next sweep, every session opened with it).
    void logout(const Caller &caller);
    // The caller a bearer token stands for; Unauthorized when the token is
    // unknown, logged out or expired.
    Caller caller_of_token(const std::string &token, const std::string &address);
    // Whether the database answers (GET /v1/health).
    bool database_reachable();

    // Closes the sessions idle for longer than the timeout, and the sessions
    // whose token expired or was logged out, rolling back their open
    // transactions. Returns how many were closed. The server calls it
    // periodically; tests call it directly.
    std::size_t expire_idle_sessions();
    std::size_t session_count() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

enum class AuthMode { None, Accounts };

struct FrontEndOptions {
    AuthMode auth = AuthMode::None;
    std::string tls_cert, tls_key;  // both set: HTTPS
    // Threads running the sessions' database work; 0: as many as the
    // server's database connections.
    int workers = 0;
    // Client connections open at once (idle keep-alive ones included).
    int max_clients = 4000;
};

// Why the server may not listen on host with these options (--auth none off
// loopback, or off loopback without TLS); nothing when it may.
std::optional<std::string> listen_refusal(const std::string &host, const FrontEndOptions &options);

// The HTTP/JSON front end of an AppServer (the /v1 API in the README).
class HttpFrontEnd {
public:
    HttpFrontEnd(AppServer &server, std::string host, int port, FrontEndOptions options = {});
    ~HttpFrontEnd();
    // Binds and serves on a background thread; returns once it accepts
    // connections. port 0 picks a free port. Throws ServerError when it cannot bind.
    void start();
    void stop();
    int port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace appserver
