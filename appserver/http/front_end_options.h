// How the HTTP front end serves: sign-in, TLS, workers, client connections.
#pragma once

#include <string>

namespace appserver {

enum class AuthMode { None, Accounts };

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
