// The application server: its server objects with their providers and
// methods (server_objects.cpp), the sessions on them, and the accounts, over
// one database. Transport-free: the HTTP front end and the in-process link
// of the module's tests both call this class, and nothing below it includes
// this header.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "accounts.h"
#include "caller.h"
#include "connection_pool.h"
#include "provider.h"
#include "server_error.h"
#include "server_limits.h"
#include "sessions.h"
#include "wire.h"

namespace appserver {

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
    // One more provider on a server object ("VendrixServer.CoCustObj"), set
    // before the first call. The server's own are in server_objects.cpp.
    void add_provider(const std::string &object, std::unique_ptr<Provider> provider);

    // Whether the session keeps a database connection between calls (its
    // transaction is open): its calls then run apart from those waiting for
    // a connection, so that its commit or rollback always gets through.
    // False for an unknown session.
    bool session_holds_connection(const std::string &session) const;
    // The account a session belongs to ("anonymous" with --auth none); empty
    // for an unknown session.
    std::string session_account(const std::string &session) const;
    // Database connections of the sessions open now (idle or in use).
    int open_connection_count() const;
    // The connection pools and what they hold: "sessions" (the sessions'
    // calls) and "sign_in" (sign-in, token checks, health).
    std::vector<std::pair<std::string, ConnectionPool::Stats>> pool_stats() const;

    // Every call takes its caller: the anonymous planner (a default Caller)
    // with --auth none, the account of the bearer token otherwise. A session
    // belongs to the caller's token: used with another token it is answered
    // as unknown (NotFound, session_gone). A viewer is refused (Forbidden)
    // every changing statement, every apply and the transaction methods.

    // Opens a session on a server object ("VendrixServer.CoCompanyInfo" or
    // "VendrixServer.CoCustObj"); an empty class id is accepted, a wrong one is
    // refused (BadRequest), an unknown object is NotFound.
    std::string open_session(const Caller &caller, const std::string &object, const std::string &class_id = {});
    // Rolls back the session's open transaction and closes it. Unknown id: NotFound.
    void close_session(const Caller &caller, const std::string &session);

    // The provider's rows into the sink. Named parameters: the plan provider
    // takes NYUE00 (only that month's rows, of every department and
    // salesman; without it, every row); dsp_temp takes none. Any other
    // parameter is refused (BadRequest).
    void records(const Caller &caller, const std::string &session, const std::string &provider,
                 const std::string &command_text, const wire::ProviderParams &params, RecordsSink &sink);
    // The same, collected into a packet (the in-process link).
    // if_version: the version of the rows the caller holds (contract::kIfVersionKey).
    wire::DataPacket get_records(const Caller &caller, const std::string &session, const std::string &provider,
                                 const std::string &command_text, const wire::ProviderParams &params = {},
                                 const std::optional<std::string> &if_version = std::nullopt);
    // The same as the text of its data packet, byte for byte what
    // wire::packet_to_json(get_records(...)) dumps, written while the
    // provider steps through its rows (no packet, no JSON tree): each time
    // about chunk bytes are ready, emit is handed them and may take them (the
    // text passed is cleared after it returns); what remains is returned at
    // the end. An answer smaller than chunk is returned whole and emit is
    // never called. A failure throws like get_records; once emit has been
    // called, what it was given is not a complete packet and the caller must
    // not let it pass as one. dsp_temp's answer is built whole (its limits
    // bound it) and returned as text.
    std::string records_text(const Caller &caller, const std::string &session, const std::string &provider,
                             const std::string &command_text, const wire::ProviderParams &params,
                             const std::function<void(std::string &)> &emit, std::size_t chunk = 64 * 1024,
                             const std::optional<std::string> &if_version = std::nullopt);
    std::int64_t execute(const Caller &caller, const std::string &session, const std::string &provider,
                         const std::string &command_text);
    wire::ApplyResult apply(const Caller &caller, const std::string &session, const std::string &provider,
                            const wire::Delta &delta, int max_errors);
    // A method of the session's object with its named parameters (text
    // values; a name matched without regard to case), answering its result:
    // {} for the transaction methods. A parameter the method does not take,
    // or one given twice, is refused (BadRequest) before the method runs.
    MethodResult call_method(const Caller &caller, const std::string &session, const std::string &method,
                             const wire::MethodParams &params = {});

    // Sign-ins (accounts.h): accounts and tokens live in the database, so
    // every server instance on it accepts the token.
    SignIn login(const std::string &user, const std::string &password, const std::string &address);
    // Ends the token and every session opened with it, rolling back their
    // open transactions.
    void logout(const Caller &caller);
    // The caller a bearer token stands for; Unauthorized when the token is
    // unknown, logged out or expired.
    // trust_recent_check: a read may take a token checked good within
    // kTokenTrustedFor without the database (Accounts::caller_of_token).
    Caller caller_of_token(const std::string &token, const std::string &address, bool trust_recent_check = false);
    // Whether this server saw the bearer token good within the last minutes
    // (no database asked): the HTTP front end then lets in a request body of
    // a signed-in size before the call checks the token properly.
    bool token_recently_good(const std::string &token) const;
    // Whether the database answers (GET /v1/health).
    bool database_reachable();

    // A keep-alive client connection went away: every session whose open
    // transaction was last used over it is closed and its transaction rolled
    // back, as the idle sweep would later. Waits for a call of such a session
    // still running. Returns how many were closed.
    std::size_t client_gone(std::uint64_t connection);
    // The open sessions, oldest first (vendrix-server session list).
    std::vector<SessionInfo> session_list() const;
    // Closes the session whose id begins with the prefix (at least 8
    // characters), rolling back its open transaction; returns its whole id.
    // NotFound when no session has it, BadRequest when several do.
    std::string end_session(const std::string &id_prefix);

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

}  // namespace appserver
