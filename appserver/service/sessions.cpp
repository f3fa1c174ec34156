#include "sessions.h"

#include <algorithm>

#include "accounts.h"
#include "contract.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

[[noreturn]] void unknown_session(const std::string &id)
{
    throw ServerError(Kind::NotFound, "unknown session \"" + id + "\"", contract::error::kSessionGone);
}

}  // namespace

Sessions::~Sessions()
{
    std::map<std::string, std::shared_ptr<Session>> sessions;
    {
        std::lock_guard lock(mutex_);
        sessions.swap(sessions_);
    }
    for (auto &[id, s] : sessions) end(*s);
}

std::string Sessions::open(const Caller &caller, const ServerObject &object, const ServerLimits &limits)
{
    auto session = std::make_shared<Session>();
    session->caller = caller;
    session->object = &object;
    session->last_used = std::chrono::steady_clock::now();
    session->opened = std::chrono::system_clock::now();
    std::lock_guard lock(mutex_);
    if (sessions_.size() >= static_cast<std::size_t>(limits.max_sessions))
        throw ServerError(Kind::Unavailable,
                          "the server holds " + std::to_string(limits.max_sessions) +
                              " sessions, the most it may: try again later",
                          contract::error::kBusy);
    if (!caller.token_id.empty()) {
        const auto own = std::count_if(sessions_.begin(), sessions_.end(), [&](const auto &e) {
            return e.second->caller.account == caller.account && !e.second->caller.token_id.empty();
        });
        if (own >= limits.max_sessions_per_account)
            throw ServerError(Kind::Throttled, "the account " + caller.account + " holds " +
                                                   std::to_string(limits.max_sessions_per_account) +
                                                   " sessions, the most one account may: close some first");
    }
    // 256 bits from the system's cryptographic source.
    do session->id = random_hex(32);
    while (sessions_.count(session->id));
    sessions_.emplace(session->id, session);
    return session->id;
}

void Sessions::close(const Caller &caller, const std::string &id)
{
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(mutex_);
        auto it = sessions_.find(id);
        if (it == sessions_.end() || it->second->caller.token_id != caller.token_id) unknown_session(id);
        session = it->second;
        sessions_.erase(it);
    }
    end(*session);  // waits for a request of the session that is still running
}

std::size_t Sessions::close_if(
    const std::function<bool(const Session &, std::chrono::steady_clock::time_point now)> &match)
{
    std::vector<std::shared_ptr<Session>> closing;
    {
        std::lock_guard lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if (match(*it->second, now)) {
                closing.push_back(it->second);
                it = sessions_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &s : closing) end(*s);
    return closing.size();
}

std::set<std::string> Sessions::token_ids() const
{
    std::set<std::string> tokens;
    std::lock_guard lock(mutex_);
    for (const auto &[id, session] : sessions_)
        if (!session->caller.token_id.empty()) tokens.insert(session->caller.token_id);
    return tokens;
}

std::size_t Sessions::close_abandoned(std::uint64_t connection)
{
    if (connection == 0) return 0;
    std::vector<std::shared_ptr<Session>> candidates;
    {
        std::lock_guard lock(mutex_);
        for (const auto &[id, session] : sessions_)
            if (session->connection == connection) candidates.push_back(session);
    }
    std::size_t closed = 0;
    for (auto &s : candidates) {
        // After a call of it still running: that call may end the transaction.
        std::lock_guard session_lock(s->mutex);
        if (s->closed || !s->db) continue;  // no transaction held between calls
        {
            std::lock_guard lock(mutex_);
            auto it = sessions_.find(s->id);
            // Used meanwhile over another connection: its client is there.
            if (it == sessions_.end() || it->second != s || s->connection != connection) continue;
            sessions_.erase(it);
        }
        s->closed = true;
        try {
            s->db->rollback();
        } catch (const ServerError &) {
        }
        pool_.release(std::move(s->db));
        ++closed;
    }
    return closed;
}

std::vector<SessionInfo> Sessions::list() const
{
    std::vector<SessionInfo> out;
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    for (const auto &[id, s] : sessions_) {
        SessionInfo info;
        info.id = id;
        info.account = s->caller.account;
        info.address = s->caller.address;
        info.object = s->object ? s->object->name : std::string();
        info.opened = s->opened;
        info.idle = std::chrono::duration_cast<std::chrono::seconds>(now - s->last_used);
        info.transaction = s->holds_connection;
        info.running = s->users > 0;
        out.push_back(std::move(info));
    }
    std::sort(out.begin(), out.end(), [](const SessionInfo &a, const SessionInfo &b) { return a.opened < b.opened; });
    return out;
}

bool Sessions::holds_connection(const std::string &id) const
{
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(id);
    return it != sessions_.end() && it->second->holds_connection;
}

std::string Sessions::account_of(const std::string &id) const
{
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(id);
    return it == sessions_.end() ? std::string() : it->second->caller.account;
}

std::size_t Sessions::count() const
{
    std::lock_guard lock(mutex_);
    return sessions_.size();
}

// Rolls back the session's open transaction and gives its connection back.
void Sessions::end(Session &s)
{
    std::lock_guard lock(s.mutex);
    if (s.closed) return;
    s.closed = true;
    try {
        if (s.db) s.db->rollback();
    } catch (const ServerError &) {
        // The pool drops a connection still in a transaction: that ends it in the database.
    }
    pool_.release(std::move(s.db));
}

Sessions::Lease::Lease(Sessions &sessions, const Caller &caller, const std::string &id) : sessions_(sessions)
{
    {
        std::lock_guard lock(sessions.mutex_);
        auto it = sessions.sessions_.find(id);
        // Another token's session is answered as one that does not exist.
        if (it == sessions.sessions_.end() || it->second->caller.token_id != caller.token_id) unknown_session(id);
        session_ = it->second;
        ++session_->users;
        session_->connection = caller.connection;
    }
    lock_ = std::unique_lock(session_->mutex);
    if (session_->closed) {
        release();
        throw ServerError(Kind::NotFound, "the session \"" + id + "\" has been closed", contract::error::kSessionGone);
    }
    if (!session_->db) {
        try {
            session_->db = sessions.pool_.acquire();
        } catch (...) {
            release();
            throw;
        }
    }
}

void Sessions::Lease::release()
{
    if (!session_) return;
    bool holds = false;
    if (lock_.owns_lock()) {
        // The connection stays with the session only while its transaction is open.
        if (session_->db) {
            bool keep = false;
            try {
                keep = session_->db->usable() && session_->db->in_transaction();
            } catch (...) {
            }
            if (!keep) sessions_.pool_.release(std::move(session_->db));
        }
        holds = session_->db != nullptr;
        lock_.unlock();
    }
    std::lock_guard lock(sessions_.mutex_);
    session_->holds_connection = holds;
    --session_->users;
    session_->last_used = std::chrono::steady_clock::now();
    session_.reset();
}

}  // namespace appserver
