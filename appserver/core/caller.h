// Who makes a call, and what the account may do. A leaf.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace appserver {

// What a signed-in account may do: a planner everything the module does, a
// viewer read only, an approver what a planner does and besides approve and
// return a department's submitted month.
enum class Role { Planner, Viewer, Approver };
const char *role_name(Role role);  // "planner", "viewer" or "approver"
// The role of a name ("planner", "viewer", "approver"); nothing for any other text.
std::optional<Role> role_from_name(const std::string &name);

// Who makes a call. With --auth none every caller is the anonymous planner
// (a default Caller); with --auth accounts the HTTP front end fills it in
// from the bearer token. token_id is the stored hash of the token, never the
// token itself.
struct Caller {
    std::string account = "anonymous";
    Role role = Role::Planner;
    std::string address;
    std::string token_id;
    std::chrono::system_clock::time_point expires{};  // signed-in callers only
    // The client connection the call came on when the client keeps it open
    // for its next calls (HTTP keep-alive); 0 for none. A session's open
    // transaction is rolled back when that connection goes away.
    std::uint64_t connection = 0;
};

}  // namespace appserver
