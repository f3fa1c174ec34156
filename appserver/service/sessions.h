// The open sessions of one server instance: each on one server object, owned
// by the sign-in that opened it, running one request at a time, holding a
// connection of the pool while a call runs and, between calls, while its
// transaction is open.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "caller.h"
#include "connection_pool.h"
#include "server_limits.h"
#include "server_objects.h"

namespace appserver {

struct Session {
    std::string id;
    Caller caller;  // who opened it; only the same token may use it
    const ServerObject *object = nullptr;
    std::mutex mutex;  // one request of the session at a time
    // From the pool while a call runs, and between calls while its
    // transaction is open; empty otherwise.
    std::unique_ptr<Connection> db;
    bool closed = false;
    int savepoints = 0;
    // Guarded by Sessions' mutex:
    int users = 0;
    bool holds_connection = false;  // db kept between calls
    std::chrono::steady_clock::time_point last_used;
    std::chrono::system_clock::time_point opened;
    // The keep-alive client connection of its latest call (0: none).
    std::uint64_t connection = 0;
};

// What the administrator sees of a session (vendrix-server session list).
struct SessionInfo {
    std::string id, account, address, object;
    std::chrono::system_clock::time_point opened;
    std::chrono::seconds idle{0};
    bool transaction = false;  // its transaction is open
    bool running = false;      // a call of it runs now
};

class Sessions {
public:
    explicit Sessions(ConnectionPool &pool) : pool_(pool) {}
    ~Sessions();  // closes every session, rolling back open transactions

    // Adds a session on the object for the caller, within the limits
    // (Unavailable past max_sessions, Throttled past the account's).
    std::string open(const Caller &caller, const ServerObject &object, const ServerLimits &limits);
    // Closes the caller's session (waiting for a request of it still running).
    // Unknown, or another token's: NotFound (session_gone).
    void close(const Caller &caller, const std::string &id);
    // Closes the sessions that match, even while a request of one runs
    // (closing waits for it and then rolls back). Returns how many.
    std::size_t close_if(const std::function<bool(const Session &, std::chrono::steady_clock::time_point now)> &match);
    // The token ids the open sessions were opened with.
    std::set<std::string> token_ids() const;
    // Closes the sessions whose open transaction was last used over this
    // client connection, which has gone away (waiting for a call of one
    // still running: it may yet end its transaction). Returns how many.
    std::size_t close_abandoned(std::uint64_t connection);
    std::vector<SessionInfo> list() const;

    bool holds_connection(const std::string &id) const;
    // The account of a session; empty for an unknown one.
    std::string account_of(const std::string &id) const;
    std::size_t count() const;

    // Holds a session for one request: it cannot expire meanwhile, no other
    // request of it runs at the same time, and it has its connection.
    class Lease {
    public:
        Lease(Sessions &sessions, const Caller &caller, const std::string &id);
        ~Lease() { release(); }
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        Session &operator*() const { return *session_; }
        Session *operator->() const { return session_.get(); }

    private:
        void release();
        Sessions &sessions_;
        std::shared_ptr<Session> session_;
        std::unique_lock<std::mutex> lock_;
    };

private:
    void end(Session &s);

    ConnectionPool &pool_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Session>> sessions_;
};

}  // namespace appserver
