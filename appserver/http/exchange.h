// What the event loop and the routes share: a request as the routes see it,
// its answer, the route table's entries, and turning a call's outcome into
// the answer and its log line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "answer_stream.h"
#include "metrics.h"
#include "server_error.h"

struct MHD_Connection;

namespace appserver {

struct Request {
    std::string method, path, body, remote_addr, authorization;
    std::vector<std::string> matches;  // the route pattern's groups, [0] the whole path
    // The client connection when the client keeps it open for more
    // requests (keep-alive); 0 otherwise.
    std::uint64_t connection = 0;
};

// An answer: a body held whole, or one streamed (chunked) as its call writes
// it. connection and commit are set for the handler: commit sends the status
// and headers at once, while the call goes on writing the stream; after it
// the handler must not touch the answer.
struct Response {
    int status = -1;
    std::string body, content_type;
    std::vector<std::pair<std::string, std::string>> headers;
    std::shared_ptr<AnswerStream> stream;
    MHD_Connection *connection = nullptr;
    std::function<void()> commit;
    void set_content(std::string b, const char *type)
    {
        body = std::move(b);
        content_type = type;
    }
    void set_header(const std::string &k, const std::string &v) { headers.emplace_back(k, v); }
};

inline constexpr const char *kJson = "application/json; charset=utf-8";

// Which worker lane runs a route's calls.
enum class LaneKind { Health, Control, Session };

// A route's path pattern, written as a regular expression over the whole
// path. The usual forms are matched segment by segment without one: a
// literal segment, "([^/]+)" (any one segment) and "(a|b|c)" (one of these
// words), each group captured; a pattern of any other form is matched by
// std::regex as written. groups[0] is the path, then the captures, as
// std::smatch gives them.
class PathPattern {
public:
    explicit PathPattern(const std::string &pattern);
    bool match(const std::string &path, std::vector<std::string> &groups) const;

private:
    struct Segment {
        enum class Kind { Literal, Any, OneOf } kind;
        std::vector<std::string> words;  // the literal, or the choices
    };
    std::vector<Segment> segments_;
    std::optional<std::regex> regex_;
};

struct Route {
    std::string method;
    PathPattern pattern;
    LaneKind lane;
    std::function<void(const Request &, Response &)> handler;
};

// One line per request: time, session, account, call, target, duration, outcome.
void log_request(const std::string &session, const std::string &account, const std::string &call,
                 const std::string &target, std::chrono::steady_clock::duration took, int status,
                 const std::string &error);

// An error answer: the status, and {"error":MESSAGE,"code":CODE} (with
// WWW-Authenticate for 401); counted in the metrics as a refusal by its code.
void answer_error(Response &res, int status, const std::string &message, const char *code);

// The status and code of a failure of a call, the message it is answered
// with, and what the log says of it: the same, followed by the database's
// own words when the message stands in for them.
struct Failure {
    int status;
    std::string message;
    const char *code;
    std::string logged;
};
Failure failure_of(std::exception_ptr error);

// Runs one call: turns its result or its failure into the answer, logs it
// and counts it in the metrics.
template <class F>
void serve(Response &res, const std::string &session, const std::string &call, const std::string &target, F &&f,
           const std::string *account = nullptr)
{
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    try {
        f();
        if (res.status == -1) res.status = 200;
    } catch (...) {
        const Failure failure = failure_of(std::current_exception());
        error = failure.logged;
        answer_error(res, failure.status, failure.message, failure.code);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    log_request(session, account ? *account : std::string(), call, target, took, res.status, error);
    metrics::observe_request(call == "-" ? "unrouted" : call, res.status, took);
}

}  // namespace appserver
