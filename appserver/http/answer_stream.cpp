#include "answer_stream.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <microhttpd.h>

namespace appserver {

void AnswerStream::push(std::string &text)
{
    if (text.empty()) return;
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, kStallLimit, [&] { return queued_ < kMaxQueued || released_; }))
        throw std::runtime_error("the client read nothing for " + std::to_string(kStallLimit.count()) + " s");
    if (released_) throw std::runtime_error("the client closed the connection");
    queued_ += text.size();
    chunks_.push_back(std::move(text));
    text = std::string();
    wake(lock);
}

void AnswerStream::finish(bool complete)
{
    std::unique_lock lock(mutex_);
    finished_ = true;
    complete_ = complete;
    wake(lock);
}

ssize_t AnswerStream::read(char *buf, std::size_t max)
{
    std::lock_guard lock(mutex_);
    if (chunks_.empty()) {
        if (finished_) return complete_ ? MHD_CONTENT_READER_END_OF_STREAM : MHD_CONTENT_READER_END_WITH_ERROR;
        parked_ = true;
        MHD_suspend_connection(connection_);
        return 0;
    }
    std::size_t n = 0;
    while (n < max && !chunks_.empty()) {
        const std::string &front = chunks_.front();
        const std::size_t take = std::min(max - n, front.size() - offset_);
        std::memcpy(buf + n, front.data() + offset_, take);
        n += take;
        offset_ += take;
        if (offset_ == front.size()) {
            queued_ -= front.size();
            chunks_.pop_front();
            offset_ = 0;
        }
    }
    cv_.notify_all();
    return static_cast<ssize_t>(n);
}

void AnswerStream::released()
{
    std::lock_guard lock(mutex_);
    released_ = true;
    chunks_.clear();
    cv_.notify_all();
}

// A parked connection goes back to the loop; never once it is released (a
// parked one cannot be: MHD sees nothing of a suspended connection).
void AnswerStream::wake(std::unique_lock<std::mutex> &lock)
{
    const bool resume = parked_ && !released_;
    parked_ = false;
    lock.unlock();
    if (resume) MHD_resume_connection(connection_);
}

}  // namespace appserver
