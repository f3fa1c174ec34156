// The /v1 HTTP/JSON API over an AppServer: the routes (routes.cpp) served by
// the event loop (event_loop.cpp). Every answer is JSON; every failed call
// answers {"error":"...","code":"..."} with the status of its failure.
#include "http_front_end.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "event_loop.h"
#include "routes.h"

namespace appserver {

// Whether every address the name stands for is one of this machine's
// loopback addresses (127.0.0.0/8, ::1): judged by what it resolves to, not
// by how it is spelled ("127.example.com" is whatever its owner says).
bool is_loopback(const std::string &host)
{
    std::string node = host;
    if (node.size() > 2 && node.front() == '[' && node.back() == ']') node = node.substr(1, node.size() - 2);
    if (node.empty()) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(node.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    bool all = true;
    for (const addrinfo *a = found; a; a = a->ai_next) {
        if (a->ai_family == AF_INET) {
            const auto ip = ntohl(reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr.s_addr);
            all = all && (ip >> 24) == 127;
        } else if (a->ai_family == AF_INET6) {
            const auto &ip = reinterpret_cast<const sockaddr_in6 *>(a->ai_addr)->sin6_addr;
            all = all && IN6_IS_ADDR_LOOPBACK(&ip);
        } else {
            all = false;
        }
    }
    freeaddrinfo(found);
    return all;
}

std::optional<std::string> listen_refusal(const std::string &host, const FrontEndOptions &options)
{
    if (is_loopback(host)) return std::nullopt;
    if (options.auth != AuthMode::Accounts)
        return "listening on " + host +
               " needs --auth accounts and --tls-cert FILE --tls-key FILE; --auth none is only for a loopback "
               "address such as 127.0.0.1";
    if (options.tls_cert.empty() || options.tls_key.empty())
        return "listening on " + host + " needs TLS: give --tls-cert FILE and --tls-key FILE";
    return std::nullopt;
}

struct HttpFrontEnd::Impl {
    std::string host;
    FrontEndOptions options;
    Routes routes;
    EventLoop loop;
    Impl(AppServer &server, std::string h, int port, FrontEndOptions o)
        : host(h), options(o), routes(server, o), loop(server, routes, std::move(h), port, std::move(o))
    {
    }
};

HttpFrontEnd::HttpFrontEnd(AppServer &server, std::string host, int port, FrontEndOptions options)
    : impl_(std::make_unique<Impl>(server, std::move(host), port, std::move(options)))
{
}

HttpFrontEnd::~HttpFrontEnd() { stop(); }

void HttpFrontEnd::start()
{
    // Checked before anything is bound.
    if (auto refusal = listen_refusal(impl_->host, impl_->options))
        throw ServerError(ServerError::Kind::BadRequest, *refusal);
    impl_->loop.start();
}

void HttpFrontEnd::stop() { impl_->loop.stop(); }

int HttpFrontEnd::port() const { return impl_->loop.port(); }

}  // namespace appserver
