// A fixed number of threads taking jobs: the worker lanes the event loop
// hands its requests to. The jobs wait in one queue per key (the account, or
// the client address), and the threads take them from the keys in turn, so
// that one account's burst of calls does not stand in front of everyone
// else's: a fair queue.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace appserver {

class Lane {
public:
    Lane(std::string name, int threads) : name_(std::move(name))
    {
        for (int i = 0; i < std::max(1, threads); ++i) threads_.emplace_back([this] { run(); });
    }
    ~Lane() { stop(); }
    int threads() const { return static_cast<int>(threads_.size()); }
    void submit(std::function<void()> job, const std::string &key = {})
    {
        std::lock_guard lock(mutex_);
        auto &queue = queues_[key];
        if (queue.empty()) turns_.push_back(key);
        queue.push_back(std::move(job));
        cv_.notify_one();
    }
    // Runs what is queued, then ends the threads.
    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            cv_.notify_all();
        }
        for (auto &t : threads_)
            if (t.joinable()) t.join();
    }

private:
    void run()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [&] { return stopping_ || !turns_.empty(); });
                if (turns_.empty()) return;
                // The next key's first job; the key goes to the back of the
                // turns while it has more.
                const std::string key = std::move(turns_.front());
                turns_.pop_front();
                auto it = queues_.find(key);
                job = std::move(it->second.front());
                it->second.pop_front();
                if (it->second.empty()) queues_.erase(it);
                else turns_.push_back(key);
            }
            job();
        }
    }
    std::string name_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<std::string, std::deque<std::function<void()>>> queues_;
    std::deque<std::string> turns_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
};

}  // namespace appserver
