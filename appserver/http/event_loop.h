// The HTTP event loop: one libmicrohttpd daemon (epoll) holds every client
// connection, idle keep-alive ones included, and reads and writes them; a
// request is parked (suspended) while its call runs on one of the worker
// lanes below, and answered when it is resumed, whole or streamed:
//   health   - GET /v1/health, never behind anything else;
//   control  - sign-in, account, opening sessions: no session's lock;
//   holder   - the calls of a session whose transaction is open (it keeps
//              its connection), so that its commit or rollback never queues
//              behind calls waiting for a connection or a lock;
//   database - every other session call; it waits for a pooled connection.
// What a call does is the routes' affair (routes.h).
#pragma once

#include <memory>
#include <string>

#include "app_server.h"
#include "front_end_options.h"
#include "routes.h"

namespace appserver {

class EventLoop {
public:
    // Reads the TLS files when options name them (throws ServerError when
    // they cannot be read).
    EventLoop(AppServer &server, const Routes &routes, std::string host, int port, FrontEndOptions options);
    ~EventLoop();
    // Binds and serves on a background thread; returns once it accepts
    // connections. port 0 picks a free port. Throws ServerError when it cannot bind.
    void start();
    // Answers what is running, then stops.
    void stop();
    int port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace appserver
