// The HTTP/JSON front end of an AppServer: the /v1 API of the README.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app_server.h"

namespace appserver {

enum class AuthMode { None, Accounts };

struct FrontEndOptions {
    AuthMode auth = AuthMode::None;
    std::string tls_cert, tls_key;  // both set: HTTPS
    // Threads running the sessions' database work; 0: as many as the
    // server's database connections.
    int workers = 0;
    // Client connections open at once (idle keep-alive ones included).
    int max_clients = 4000;
};

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
