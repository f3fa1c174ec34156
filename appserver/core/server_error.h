// Why a call of the server failed. A leaf: it includes nothing of the
// server's, so that every layer can throw it.
#pragma once

#include <stdexcept>
#include <string>

namespace appserver {

// The HTTP front end turns the kind into the status code, and answers the
// code beside the message: the one the thrower named (the stable codes of
// wire/contract.h), else the kind's own.
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
    ServerError(Kind kind, const std::string &message, const char *code = nullptr)
        : std::runtime_error(message), kind_(kind), code_(code)
    {
    }
    // A failure in the database's own words (what() holds them: its message,
    // which may name its host, its role, its tables). They go to the log and
    // to the administrator's commands; a planner is told shown instead.
    static ServerError in_database_words(Kind kind, const std::string &database_text, const char *shown,
                                         const char *code = nullptr)
    {
        ServerError e(kind, database_text, code);
        e.shown_ = shown;
        return e;
    }
    Kind kind() const { return kind_; }
    // The code the thrower named; nullptr when the kind's own stands.
    const char *code() const { return code_; }
    // Whether what() is the database's own text.
    bool in_database_words() const { return shown_ != nullptr; }
    // What a planner is told: what(), or in place of the database's words
    // the text given with them.
    std::string planner_message() const { return shown_ ? std::string(shown_) : std::string(what()); }

private:
    Kind kind_;
    const char *code_;
    const char *shown_ = nullptr;
};

}  // namespace appserver
