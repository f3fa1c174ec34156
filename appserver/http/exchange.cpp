#include "exchange.h"

#include <algorithm>
#include <string_view>

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

namespace {

std::vector<std::string> split_path(const std::string &text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = text.find('/', start);
        parts.push_back(text.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return parts;
        start = slash + 1;
    }
}

bool plain_word(const std::string &w)
{
    return !w.empty() && w.find_first_of(".*+?[](){}|^$\\") == std::string::npos;
}

}  // namespace

PathPattern::PathPattern(const std::string &pattern)
{
    for (const std::string &part : split_path(pattern)) {
        if (part == "([^/]+)") {
            segments_.push_back({Segment::Kind::Any, {}});
        } else if (part.size() > 2 && part.front() == '(' && part.back() == ')') {
            Segment s{Segment::Kind::OneOf, {}};
            std::vector<std::string> words;
            std::string inner = part.substr(1, part.size() - 2);
            for (std::size_t start = 0;;) {
                const std::size_t bar = inner.find('|', start);
                words.push_back(inner.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
                if (bar == std::string::npos) break;
                start = bar + 1;
            }
            for (const auto &w : words)
                if (!plain_word(w)) {
                    segments_.clear();
                    regex_.emplace(pattern);
                    return;
                }
            s.words = std::move(words);
            segments_.push_back(std::move(s));
        } else if (part.empty() || plain_word(part)) {
            segments_.push_back({Segment::Kind::Literal, {part}});
        } else {
            segments_.clear();
            regex_.emplace(pattern);
            return;
        }
    }
}

bool PathPattern::match(const std::string &path, std::vector<std::string> &groups) const
{
    if (regex_) {
        std::smatch m;
        if (!std::regex_match(path, m, *regex_)) return false;
        groups.assign(m.begin(), m.end());
        return true;
    }
    std::vector<std::string> found{path};
    std::size_t start = 0;
    for (std::size_t i = 0; i < segments_.size(); ++i) {
        if (start > path.size()) return false;
        const std::size_t slash = path.find('/', start);
        const bool last = i + 1 == segments_.size();
        if (last != (slash == std::string::npos)) return false;  // fewer or more segments
        const std::string_view part(path.data() + start, (last ? path.size() : slash) - start);
        const Segment &s = segments_[i];
        if (s.kind == Segment::Kind::Literal) {
            if (part != s.words[0]) return false;
        } else if (s.kind == Segment::Kind::Any) {
            if (part.empty()) return false;
            found.emplace_back(part);
        } else {
            if (std::find(s.words.begin(), s.words.end(), part) == s.words.end()) return false;
            found.emplace_back(part);
        }
        start = last ? path.size() + 1 : slash + 1;
    }
    groups = std::move(found);
    return true;
}

}  // namespace appserver
