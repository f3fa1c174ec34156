// How the HTTP front end serves: sign-in, TLS, workers, client connections.
#pragma once

#include <string>

namespace appserver {

enum class AuthMode { None, Accounts };

// A loopback address: 127.x.x.x, ::1 (or [::1]), localhost.
inline bool is_loopback(const std::string &host)
{
    return host == "localhost" || host == "::1" || host == "[::1]" || host.rfind("127.", 0) == 0;
}

struct FrontEndOptions {
    AuthMode auth = AuthMode::None;
    std::string tls_cert, tls_key;  // both set: HTTPS
    // Threads running the sessions' database work; 0: as many as the
    // server's database connections.
    int workers = 0;
    // Client connections open at once (idle keep-alive ones included).
    int max_clients = 4000;
};

}  // namespace appserver
