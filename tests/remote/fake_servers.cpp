#include "fake_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace remote_test {

FakeApi::FakeApi()
{
    server_.set_tcp_nodelay(true);
    server_.set_keep_alive_max_count(1000);
    server_.Post("/v1/sessions", [this](const httplib::Request &req, httplib::Response &res) {
        record(req);
        CallHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = on_open_;
            if (!handler) ++opened_;
        }
        if (handler) {
            handler(req, res);
            std::lock_guard lock(mutex_);
            if (res.status == 201) ++opened_;
            return;
        }
        int n = sessions_opened();
        answer(res, 201, R"({"session":"s)" + std::to_string(n) + "\"}");
    });
    server_.Delete(R"(/v1/sessions/([^/]+))", [this](const httplib::Request &req, httplib::Response &res) {
        record(req);
        {
            std::lock_guard lock(mutex_);
            closed_.push_back(req.matches[1]);
        }
        res.status = 204;
    });
    auto call = [this](const httplib::Request &req, httplib::Response &res) {
        record(req);
        CallHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = on_call_;
        }
        if (handler)
            handler(req, res);
        else if (req.path.ends_with("/records"))
            answer(res, 200, R"({"fields":[],"rows":[]})");
        else if (req.path.ends_with("/execute"))
            answer(res, 200, R"({"rowsAffected":0})");
        else if (req.path.ends_with("/apply"))
            answer(res, 200, R"({"errorCount":0,"errors":[]})");
        else
            answer(res, 200, "{}");
    };
    server_.Post(R"(/v1/sessions/([^/]+)/providers/([^/]+)/(records|execute|apply))", call);
    server_.Post(R"(/v1/sessions/([^/]+)/methods/([^/]+))", call);
    // The sign-in calls go to on_call as well.
    server_.Post("/v1/login", call);
    server_.Post("/v1/logout", call);
    server_.Get("/v1/account", call);

    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the fake server cannot bind a loopback port");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeApi::~FakeApi()
{
    server_.stop();
    thread_.join();
}

void FakeApi::set_on_call(CallHandler handler)
{
    std::lock_guard lock(mutex_);
    on_call_ = std::move(handler);
}

void FakeApi::set_on_open(CallHandler handler)
{
    std::lock_guard lock(mutex_);
    on_open_ = std::move(handler);
}

void FakeApi::record(const httplib::Request &req)
{
    std::lock_guard lock(mutex_);
    requests_.push_back({req.method, req.path, req.body});
}

std::vector<SeenRequest> FakeApi::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

int FakeApi::sessions_opened() const
{
    std::lock_guard lock(mutex_);
    return opened_;
}

std::vector<std::string> FakeApi::sessions_closed() const
{
    std::lock_guard lock(mutex_);
    return closed_;
}

std::vector<SeenRequest> FakeApi::calls() const
{
    std::vector<SeenRequest> out;
    for (const auto &r : requests())
        if (r.method == "POST" && r.path != "/v1/sessions") out.push_back(r);
    return out;
}

void FakeApi::answer(httplib::Response &res, int status, const std::string &body)
{
    res.status = status;
    res.set_content(body, "application/json");
}

RawServer::RawServer(Script script, ClosePredicate close_after)
    : script_(std::move(script)), close_after_(std::move(close_after))
{
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 8) != 0)
        throw std::runtime_error("the raw server cannot listen on loopback");
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

RawServer::~RawServer()
{
    stop_ = true;
    thread_.join();
    ::close(listen_fd_);
}

std::string RawServer::http_answer(int status, const std::string &body)
{
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool RawServer::wait_for_closed(int n) const
{
    for (int i = 0; i < 10000 && closed_ < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return closed_ >= n;
}

void RawServer::run()
{
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        serve(fd);
        ::close(fd);
        ++closed_;
    }
}

void RawServer::serve(int fd)
{
    std::string buffer;
    while (!stop_) {
        // One request: headers, then as many body bytes as Content-Length says.
        std::size_t header_end;
        while ((header_end = buffer.find("\r\n\r\n")) == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (stop_) return;
            if (::poll(&p, 1, 20) <= 0) continue;
            char chunk[4096];
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
        std::string headers = buffer.substr(0, header_end);
        std::size_t length = 0;
        for (const char *key : {"Content-Length: ", "content-length: "}) {
            auto at = headers.find(key);
            if (at != std::string::npos) length = std::stoul(headers.substr(at + std::strlen(key)));
        }
        while (buffer.size() < header_end + 4 + length) {
            char chunk[4096];
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
        const std::string request_line = headers.substr(0, headers.find("\r\n"));
        buffer.erase(0, header_end + 4 + length);

        auto reply = script_(++seen_, request_line);
        if (!reply) return;  // drop the connection mid-request
        ::send(fd, reply->data(), reply->size(), MSG_NOSIGNAL);
        if (close_after_ && close_after_(request_line)) return;
    }
}

int unused_port()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace remote_test
