// Stand-ins for the application server on loopback, for the HTTP link's
// tests: a fake of the /v1 API whose answers each test chooses, and a bare
// TCP server that can drop a connection in the middle of a request.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

namespace remote_test {

struct SeenRequest {
    std::string method;
    std::string path;
    std::string body;
};

// The session API with canned behaviour: sessions are "s1", "s2", ...; every
// call on a provider or method goes to `on_call`, which fills the answer.
class FakeApi {
public:
    using CallHandler = std::function<void(const httplib::Request &, httplib::Response &)>;

    FakeApi();
    ~FakeApi();
    FakeApi(const FakeApi &) = delete;
    FakeApi &operator=(const FakeApi &) = delete;

    int port() const { return port_; }
    std::string computer_name() const { return "127.0.0.1:" + std::to_string(port_); }

    void set_on_call(CallHandler handler);
    // Answer for opening a session (default 201 with the next id).
    // Without on_call every call succeeds with an empty answer of its kind.
    void set_on_open(CallHandler handler);

    std::vector<SeenRequest> requests() const;
    int sessions_opened() const;
    std::vector<std::string> sessions_closed() const;
    // The requests that were calls (not session opens or closes).
    std::vector<SeenRequest> calls() const;

    static void answer(httplib::Response &res, int status, const std::string &body);

private:
    void record(const httplib::Request &req);

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    CallHandler on_call_;
    CallHandler on_open_;
    std::vector<SeenRequest> requests_;
    std::vector<std::string> closed_;
    int opened_ = 0;
};

// A plain TCP server that reads HTTP requests one by one. For request number
// n (from 1, over all connections) `script(n, request_line)` gives the full
// raw answer to write, or nullopt to close the connection without answering.
class RawServer {
public:
    using Script = std::function<std::optional<std::string>(int n, const std::string &request_line)>;

    // The server closes the connection once it has answered a request for
    // which close_after(request_line) is true, as a server does whose
    // keep-alive time has run out.
    using ClosePredicate = std::function<bool(const std::string &request_line)>;
    explicit RawServer(Script script, ClosePredicate close_after = {});
    ~RawServer();
    RawServer(const RawServer &) = delete;
    RawServer &operator=(const RawServer &) = delete;

    int port() const { return port_; }
    std::string computer_name() const { return "127.0.0.1:" + std::to_string(port_); }
    int requests_seen() const { return seen_; }
    int connections_closed() const { return closed_; }
    // Waits (at most ten seconds) until `n` connections have been closed by this server.
    bool wait_for_closed(int n) const;

    // A complete HTTP answer with a JSON body.
    static std::string http_answer(int status, const std::string &body);

private:
    void run();
    void serve(int fd);

    Script script_;
    ClosePredicate close_after_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> seen_{0};
    std::atomic<int> closed_{0};
    std::thread thread_;
};

// A loopback port on which nothing listens (bound once, then released).
int unused_port();

}  // namespace remote_test
