// The application server: two server objects with their providers and
// transaction methods over one database, one database session per remote
// session. Transport-free: the HTTP front end and the in-process link of the
// module's tests both call this class.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "wire.h"

namespace appserver {

inline constexpr int kDefaultPort = 7411;

inline constexpr const char *kCompanyInfoObject = "VendrixServer.CoCompanyInfo";
inline constexpr const char *kCompanyInfoClassId = "{19D455E5-E340-4D1D-9435-4443515DDE6D}";
inline constexpr const char *kCustObject = "VendrixServer.CoCustObj";
inline constexpr const char *kCustClassId = "{45F5B273-F530-40FE-8074-886EFA4EAF10}";

// Why a call failed; the HTTP front end turns it into the status code.
class ServerError : public std::runtime_error {
public:
    enum class Kind {
        NotFound,     // unknown session, object, provider or method   -> 404
        BadRequest,   // a request the server cannot take as it stands -> 400
        Database,     // the database rejected a statement              -> 422
        Unavailable,  // the database cannot be reached or opened       -> 503
    };
    ServerError(Kind kind, const std::string &message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// "sqlite" or "postgresql", from a SOCI connection string
// ("sqlite3://db=FILE", "postgresql://dbname=... host=... port=...").
std::string database_kind_of(const std::string &connection_string);

// Creates the schema where it is missing (--init); with demo, loads the demo
// data into an empty database (--demo). Throws ServerError with a clear
// message on failure (for PostgreSQL: the owner must be a superuser).
void init_database(const std::string &connection_string, bool demo);

class AppServer {
public:
    explicit AppServer(std::string connection_string,
                       std::chrono::seconds session_timeout = std::chrono::seconds(600));
    ~AppServer();
    AppServer(const AppServer &) = delete;
    AppServer &operator=(const AppServer &) = delete;

    std::string database_kind() const;

    // Opens a session on a server object ("VendrixServer.CoCompanyInfo" or
    // "VendrixServer.CoCustObj"); an empty class id is accepted, a wrong one is
    // refused (BadRequest), an unknown object is NotFound.
    std::string open_session(const std::string &object, const std::string &class_id = {});
    // Rolls back the session's open transaction and closes it. Unknown id: NotFound.
    void close_session(const std::string &session);

    wire::DataPacket get_records(const std::string &session, const std::string &provider,
                                 const std::string &command_text);
    std::int64_t execute(const std::string &session, const std::string &provider,
                         const std::string &command_text);
    wire::ApplyResult apply(const std::string &session, const std::string &provider,
                            const wire::Delta &delta, int max_errors);
    void call_method(const std::string &session, const std::string &method);

    // Closes the sessions idle for longer than the timeout, rolling back their
    // open transactions. Returns how many were closed. The server calls it
    // periodically; tests call it directly.
    std::size_t expire_idle_sessions();
    std::size_t session_count() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The HTTP/JSON front end of an AppServer (the /v1 API in the README).
class HttpFrontEnd {
public:
    HttpFrontEnd(AppServer &server, std::string host, int port);
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
