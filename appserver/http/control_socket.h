// The administrator's way into a running server: a Unix socket that only
// the service's user and group can reach, on which `vendrix-server session
// list` and `session end ID` ask for the open sessions and end one. One
// request a connection: a line ("list", or "end PREFIX"), answered with
// lines of text; the first line "ok" or "error: MESSAGE".
#pragma once

#include <memory>
#include <string>

#include "app_server.h"

namespace appserver {

// Where the server and the commands find the socket when no --control-socket
// names one: the service's runtime folder, when there is one.
std::string default_control_socket();

class ControlSocket {
public:
    ControlSocket(AppServer &server, std::string path);
    ~ControlSocket();
    ControlSocket(const ControlSocket &) = delete;
    ControlSocket &operator=(const ControlSocket &) = delete;
    // Binds (replacing a socket file left by a server that ended) and serves
    // on a thread of its own. Throws ServerError when it cannot.
    void start();
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The command's side: sends one request line, returns the answer's lines
// after "ok". Throws ServerError with the server's message, or when no
// server answers on the socket.
std::string ask_control_socket(const std::string &path, const std::string &request);

}  // namespace appserver
