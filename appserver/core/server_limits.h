// What one server instance may hold at once, and how long anything may
// take. A leaf.
#pragma once

#include <chrono>
#include <cstddef>

namespace appserver {

struct ServerLimits {
    // Database connections of the sessions' calls, open at most at once; a
    // few more (at most kAuxiliaryConnections) serve sign-in, token checks
    // and health.
    int max_connections = 20;
    // How long a call waits for one of them before it is answered 503.
    std::chrono::milliseconds connection_wait{std::chrono::seconds(10)};
    // How long one statement may run, and how long it may wait for a lock
    // (PostgreSQL statement_timeout and lock_timeout; SQLite progress
    // handler and busy timeout).
    std::chrono::milliseconds statement_timeout{std::chrono::seconds(30)};
    // Sessions open at once on this instance, and per signed-in account:
    // a running module holds two, so 1,000 planners hold 2,000.
    int max_sessions = 4000;
    int max_sessions_per_account = 40;
    // The largest answer of dsp_temp, in rows and in bytes of its values.
    std::size_t max_answer_rows = 200000;
    std::size_t max_answer_bytes = 64u * 1024 * 1024;
    // The site's rules of a month's sign-off (config allow_self_approval,
    // allow_partial_submission): whether an approver may approve a month he
    // submitted himself, and whether a month may be submitted with quantity
    // left or visit-salesmen without a plan.
    bool allow_self_approval = false;
    bool allow_partial_submission = false;
};
inline constexpr int kAuxiliaryConnections = 4;

}  // namespace appserver
