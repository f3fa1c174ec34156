// Database connections lent out for calls: at most a fixed number open,
// reused; a caller waits its turn (first come, first served) for one, up to
// a time limit, and is then refused (503, "busy") with the pool's message.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "database.h"

namespace appserver {

class ConnectionPool {
public:
    struct Settings {
        std::string connection_string;
        int capacity = 1;
        std::chrono::milliseconds wait{0};              // how long a caller waits for a connection
        std::chrono::milliseconds statement_timeout{0};  // every connection's time limit
        // The refusal once the wait is over.
        std::function<std::string(const Settings &)> busy_message;
    };

    // Set before the first connection is taken.
    void configure(Settings settings);

    // A connection of the pool, open and bounded by the statement timeout.
    // Throws ServerError(Unavailable) when none came in time or the
    // database cannot be opened.
    std::unique_ptr<Connection> acquire();
    // Gives a connection back; one that failed or is still in a
    // transaction is closed (which ends its transaction in the database).
    void release(std::unique_ptr<Connection> c);

    // A connection for the length of f, given back afterwards.
    template <class F>
    auto with(F &&f)
    {
        struct Lent {
            ConnectionPool &pool;
            std::unique_ptr<Connection> c;
            ~Lent() { pool.release(std::move(c)); }
        } lent{*this, acquire()};
        return f(*lent.c);
    }

    // Connections open now (idle or lent out).
    int open() const;

    // What the pool holds now and how often callers had to wait, for the
    // server's metrics.
    struct Stats {
        int capacity = 0, open = 0, in_use = 0, waiting = 0;
        std::uint64_t waits = 0;     // acquisitions that found no connection free at once
        std::uint64_t timeouts = 0;  // of them, the ones refused once the wait was over
        double wait_seconds = 0;     // the time they waited, summed
    };
    Stats stats() const;

private:
    bool free_for(std::uint64_t ticket) const;
    void skip_given_up();

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    Settings settings_;
    std::vector<std::unique_ptr<Connection>> idle_;
    int open_ = 0;
    std::uint64_t next_ticket_ = 0, serving_ = 0;
    std::set<std::uint64_t> given_up_;
    int waiting_ = 0;
    std::uint64_t waits_ = 0, timeouts_ = 0;
    std::chrono::steady_clock::duration waited_{};
};

}  // namespace appserver
