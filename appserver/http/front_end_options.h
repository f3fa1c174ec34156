// How the HTTP front end serves: sign-in, TLS, workers, client connections.
#pragma once

#include <string>

namespace appserver {

enum class AuthMode { None, Accounts };

// Whether every address the host name or address stands for is one of this
// machine's loopback addresses (127.0.0.0/8, ::1): judged by what it
// resolves to, not by how it is spelled ("127.example.com" is whatever its
// owner says). A name that does not resolve is not loopback.
bool is_loopback(const std::string &host);

struct FrontEndOptions {
    AuthMode auth = AuthMode::None;
    std::string tls_cert, tls_key;  // both set: HTTPS
    // Threads running the sessions' database work; 0: as many as the
    // server's database connections.
    int workers = 0;
    // Client connections open at once (idle keep-alive ones included); never
    // more than the process's descriptor limit leaves room for.
    int max_clients = 4000;
    // From one client address: connections open at once, and connections
    // still sending their request (head or body). 0: no limit (behind a
    // load balancer every client comes from its address).
    int max_clients_per_address = 256;
    int max_sending_per_address = 32;
};

}  // namespace appserver
