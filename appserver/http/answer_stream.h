// An answer's body written while its call still runs: the call's thread
// hands it over piece by piece, the event loop sends what is there (chunked).
// At most kMaxQueued bytes wait between the two, so the answer's memory is
// bounded by that, not by its size. When nothing is ready the connection is
// parked (suspended) until the next piece or the end comes, so that the loop
// never waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

#include <sys/types.h>

struct MHD_Connection;

namespace appserver {

class AnswerStream {
public:
    explicit AnswerStream(MHD_Connection *connection) : connection_(connection) {}

    // The call's side. Takes the text (leaving it empty); waits while the
    // client is behind. Throws when the client has gone or has read nothing
    // for kStallLimit.
    void push(std::string &text);
    // The end: complete, or cut short (the client then sees the body end
    // before its last chunk, i.e. a broken answer, never a short packet).
    void finish(bool complete);

    // The event loop's side, with MHD's content reader results.
    ssize_t read(char *buf, std::size_t max);
    // The answer is done with (sent, or its connection closed).
    void released();

    static constexpr std::size_t kMaxQueued = 512 * 1024;
    static constexpr std::chrono::seconds kStallLimit{60};

private:
    void wake(std::unique_lock<std::mutex> &lock);

    MHD_Connection *connection_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::string> chunks_;
    std::size_t offset_ = 0, queued_ = 0;
    bool parked_ = false, finished_ = false, complete_ = false, released_ = false;
};

}  // namespace appserver
