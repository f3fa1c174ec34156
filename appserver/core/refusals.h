// Why the server turned a client away before its call ran: one short name
// per reason, spelled here once, so that a counter can count the refusals by
// reason (the metrics) and the log names them the same way. A leaf.
#pragma once

#include <cstdint>
#include <functional>

namespace appserver::refusal {

// Connections.
inline constexpr const char *kClientsPerAddress = "clients_per_address";  // too many open from one address
inline constexpr const char *kSendingPerAddress = "sending_per_address";  // too many still sending their request
inline constexpr const char *kSlowRequestHead = "slow_request_head";      // the head did not come in time
inline constexpr const char *kSlowRequestBody = "slow_request_body";      // the body did not come in time
inline constexpr const char *kIdleConnection = "idle_connection";        // kept open without a request too long
// Requests before their call.
inline constexpr const char *kBodyTooLarge = "body_too_large";            // a body over its limit
inline constexpr const char *kJsonTooDeep = "json_too_deep";              // a JSON body nested past the limit
inline constexpr const char *kNoToken = "sign_in_required";               // no bearer token where one is needed
inline constexpr const char *kBadToken = "sign_in_expired";               // a token unknown, ended or expired
// Sign-ins.
inline constexpr const char *kUserNameRefused = "user_name_refused";      // control characters, too long
inline constexpr const char *kSignInThrottled = "sign_in_throttled";      // failures of this account from this address
inline constexpr const char *kAddressThrottled = "address_throttled";     // failures from this address
inline constexpr const char *kSignInDelayed = "sign_in_delayed";          // the account's growing delay for strangers
inline constexpr const char *kTooManySignIns = "too_many_sign_ins";       // password hashing busy
// Database workers.
inline constexpr const char *kBusy = "busy";                              // no worker or connection in time

// Counts one refusal of the reason (any of the names above) and hands it to
// the hook, if one is set. Safe from any thread.
void count(const char *reason);
// How many of the reason were counted in this process.
std::uint64_t counted(const char *reason);
// A function that also receives every refusal (the metrics); set once at start.
void set_hook(std::function<void(const char *reason)> hook);

}  // namespace appserver::refusal
