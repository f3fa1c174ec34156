// The HTTP/JSON front end of an AppServer: the /v1 API of the README, its
// routes (routes.cpp) served by one event loop (event_loop.cpp).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app_server.h"
#include "front_end_options.h"

namespace appserver {

// Why the server may not listen on host with these options (--auth none off
// loopback, or off loopback without TLS); nothing when it may.
std::optional<std::string> listen_refusal(const std::string &host, const FrontEndOptions &options);

class HttpFrontEnd {
public:
    HttpFrontEnd(AppServer &server, std::string host, int port, FrontEndOptions options = {});
    ~HttpFrontEnd();
    // Binds and serves on a background thread; returns once it accepts
    // connections. port 0 picks a free port. Throws ServerError when it cannot bind.
    void start();
    void stop();
    int port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace appserver
