#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

#include "caller.h"
#include "refusals.h"
#include "server_log.h"
#include "server_text.h"

namespace appserver {

const char *role_name(Role role)
{
    return role == Role::Viewer ? "viewer" : role == Role::Approver ? "approver" : "planner";
}

std::optional<Role> role_from_name(const std::string &name)
{
    if (name == "planner") return Role::Planner;
    if (name == "viewer") return Role::Viewer;
    if (name == "approver") return Role::Approver;
    return std::nullopt;
}

std::string upper(std::string s)
{
    for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool equal_ignoring_case(const std::string &a, const std::string &b) { return upper(a) == upper(b); }

std::string trimmed(const std::string &s)
{
    auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool blank(const std::string &s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

std::string seconds_text(std::chrono::milliseconds t)
{
    char b[32];
    std::snprintf(b, sizeof b, "%g", static_cast<double>(t.count()) / 1000.0);
    return b;
}

std::string iso_utc(std::chrono::system_clock::time_point t)
{
    const std::time_t s = std::chrono::system_clock::to_time_t(t);
    std::tm utc{};
    gmtime_r(&s, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::int64_t epoch_seconds(std::chrono::system_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

std::string redact_connection_string(const std::string &cs)
{
    std::string out = cs;
    for (std::size_t at = 0; (at = out.find("password=", at)) != std::string::npos;) {
        const std::size_t start = at + 9;
        std::size_t end = start;
        if (end < out.size() && out[end] == '\'') {
            for (++end; end < out.size() && out[end] != '\''; ++end)
                if (out[end] == '\\') ++end;
            if (end < out.size()) ++end;
        } else {
            while (end < out.size() && out[end] != ' ') ++end;
        }
        out.replace(start, std::min(end, out.size()) - start, "***");
        at = start + 3;
    }
    return out;
}

namespace {

std::mutex &log_mutex()
{
    static std::mutex mutex;
    return mutex;
}

}  // namespace

void log_line(const std::string &text)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    std::lock_guard lock(log_mutex());
    std::fprintf(stderr, "%s %s\n", when, text.c_str());
    std::fflush(stderr);
}

void log_raw(const std::string &text)
{
    std::lock_guard lock(log_mutex());
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace appserver

// --- refusals ----------------------------------------------------------------

namespace appserver::refusal {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::uint64_t> counts;
    std::function<void(const char *)> hook;
};

Registry &registry()
{
    static Registry r;
    return r;
}

}  // namespace

void count(const char *reason)
{
    std::function<void(const char *)> hook;
    {
        auto &r = registry();
        std::lock_guard lock(r.mutex);
        ++r.counts[reason];
        hook = r.hook;
    }
    if (hook) hook(reason);
}

std::uint64_t counted(const char *reason)
{
    auto &r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.counts.find(reason);
    return it == r.counts.end() ? 0 : it->second;
}

void set_hook(std::function<void(const char *)> hook)
{
    auto &r = registry();
    std::lock_guard lock(r.mutex);
    r.hook = std::move(hook);
}

}  // namespace appserver::refusal
