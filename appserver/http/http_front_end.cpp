// The /v1 HTTP/JSON API over an AppServer: the routes (routes.cpp) served by
// the event loop (event_loop.cpp). Every answer is JSON; every failed call
// answers {"error":"...","code":"..."} with the status of its failure.
#include "http_front_end.h"

#include "event_loop.h"
#include "routes.h"

namespace appserver {

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
