#include "connection_pool.h"

#include "contract.h"

namespace appserver {

void ConnectionPool::configure(Settings settings)
{
    std::lock_guard lock(mutex_);
    settings_ = std::move(settings);
}

bool ConnectionPool::free_for(std::uint64_t ticket) const
{
    return ticket == serving_ && (!idle_.empty() || open_ < settings_.capacity);
}

void ConnectionPool::skip_given_up()
{
    while (given_up_.erase(serving_)) ++serving_;
}

std::unique_ptr<Connection> ConnectionPool::acquire()
{
    std::unique_lock lock(mutex_);
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + settings_.wait;
    const std::uint64_t ticket = next_ticket_++;
    // First come, first served: a caller waits until every earlier one has its connection.
    if (!free_for(ticket)) {
        ++waits_;
        ++waiting_;
        while (!free_for(ticket)) {
            if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && !free_for(ticket)) {
                given_up_.insert(ticket);
                skip_given_up();
                --waiting_;
                ++timeouts_;
                waited_ += std::chrono::steady_clock::now() - start;
                cv_.notify_all();
                throw ServerError(ServerError::Kind::Unavailable, settings_.busy_message(settings_),
                                  contract::error::kBusy);
            }
        }
        --waiting_;
        waited_ += std::chrono::steady_clock::now() - start;
    }
    ++serving_;
    skip_given_up();
    cv_.notify_all();
    if (!idle_.empty()) {
        auto c = std::move(idle_.back());
        idle_.pop_back();
        return c;
    }
    ++open_;
    const std::string cs = settings_.connection_string;
    const auto limit = settings_.statement_timeout;
    lock.unlock();
    try {
        auto c = std::make_unique<Connection>(cs);
        c->set_time_limit(limit);
        return c;
    } catch (...) {
        lock.lock();
        --open_;
        cv_.notify_all();
        throw;
    }
}

void ConnectionPool::release(std::unique_ptr<Connection> c)
{
    if (!c) return;
    bool keep = false;
    try {
        keep = c->usable() && !c->in_transaction();
    } catch (...) {
    }
    if (!keep) c.reset();
    std::lock_guard lock(mutex_);
    if (keep) idle_.push_back(std::move(c));
    else --open_;
    cv_.notify_all();
}

int ConnectionPool::open() const
{
    std::lock_guard lock(mutex_);
    return open_;
}

ConnectionPool::Stats ConnectionPool::stats() const
{
    std::lock_guard lock(mutex_);
    Stats s;
    s.capacity = settings_.capacity;
    s.open = open_;
    s.in_use = open_ - static_cast<int>(idle_.size());
    s.waiting = waiting_;
    s.waits = waits_;
    s.timeouts = timeouts_;
    s.wait_seconds = std::chrono::duration<double>(waited_).count();
    return s;
}

}  // namespace appserver
