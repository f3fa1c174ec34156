// A fixed number of threads taking jobs in order: the worker lanes the
// event loop hands its requests to.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
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
    void submit(std::function<void()> job)
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
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
                cv_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }
    std::string name_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
};

}  // namespace appserver
