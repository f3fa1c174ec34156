#include "exchange.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "contract.h"
#include "server_log.h"
#include "wire.h"

namespace appserver {

namespace {

namespace code = contract::error;

// The stable code of a failure: the one its thrower named, else its kind's.
const char *code_of(const ServerError &e)
{
    if (e.code()) return e.code();
    switch (e.kind()) {
    case ServerError::Kind::NotFound: return code::kNotFound;
    case ServerError::Kind::BadRequest: return code::kBadRequest;
    case ServerError::Kind::Database: return code::kDatabase;
    case ServerError::Kind::Unavailable: return code::kUnavailable;
    case ServerError::Kind::Unauthorized: return code::kSignInRequired;
    case ServerError::Kind::Forbidden: return code::kForbidden;
    case ServerError::Kind::Throttled: return code::kThrottled;
    }
    return code::kInternal;
}

int status_of(ServerError::Kind kind)
{
    switch (kind) {
    case ServerError::Kind::NotFound: return 404;
    case ServerError::Kind::BadRequest: return 400;
    case ServerError::Kind::Database: return 422;
    case ServerError::Kind::Unavailable: return 503;
    case ServerError::Kind::Unauthorized: return 401;
    case ServerError::Kind::Forbidden: return 403;
    case ServerError::Kind::Throttled: return 429;
    }
    return 500;
}

}  // namespace

void log_request(const std::string &session, const std::string &account, const std::string &call,
                 const std::string &target, std::chrono::steady_clock::duration took, int status,
                 const std::string &error)
{
    const double ms = std::chrono::duration<double, std::milli>(took).count();
    char line[64];
    std::snprintf(line, sizeof line, " %.1fms %d", ms, status);
    log_line("session=" + (session.empty() ? std::string("-") : session) +
             " user=" + (account.empty() ? std::string("-") : account) + " call=" + call +
             " target=" + (target.empty() ? std::string("-") : target) + line + (error.empty() ? "" : " ") + error);
}

void answer_error(Response &res, int status, const std::string &message, const char *error_code)
{
    res.status = status;
    res.set_content(wire::error_to_text(message, error_code), kJson);
    metrics::count_refusal(error_code ? error_code : code::kInternal);
    if (status == 401) res.set_header("WWW-Authenticate", "Bearer");
}

Failure failure_of(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const ServerError &e) {
        // The database's own words (its message, host, role) go to the log only.
        const std::string message = e.planner_message();
        return {status_of(e.kind()), message, code_of(e),
                e.in_database_words() ? message + " (the database: " + e.what() + ")" : message};
    } catch (const wire::WireError &e) {
        return {400, e.what(), code::kBadRequest, e.what()};
    } catch (const nlohmann::json::exception &e) {
        const std::string message = std::string("malformed request: ") + e.what();
        return {400, message, code::kBadRequest, message};
    } catch (const std::exception &e) {
        const std::string message = std::string("internal error: ") + e.what();
        return {500, message, code::kInternal, message};
    } catch (...) {
        return {500, "internal error: an unknown failure", code::kInternal, "internal error: an unknown failure"};
    }
}

}  // namespace appserver
