// Why a call of the server failed. A leaf: it includes nothing of the
// server's, so that every layer can throw it.
#pragma once

#include <stdexcept>
#include <string>

namespace appserver {

// The HTTP front end turns the kind into the status code.
class ServerError : public std::runtime_error {
public:
    enum class Kind {
        NotFound,     // unknown session, object, provider or method   -> 404
        BadRequest,   // a request the server cannot take as it stands -> 400
        Database,     // the database rejected a statement              -> 422
        Unavailable,  // the database cannot be reached or opened       -> 503
        Unauthorized, // no sign-in, or its token is unknown or expired  -> 401
        Forbidden,    // the caller may not do this                      -> 403
        Throttled,    // too many failed sign-ins, or too many at once   -> 429
    };
    ServerError(Kind kind, const std::string &message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

}  // namespace appserver
