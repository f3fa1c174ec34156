// Small text helpers every layer of the server uses. A leaf.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace appserver {

std::string upper(std::string s);
bool equal_ignoring_case(const std::string &a, const std::string &b);
// Without leading and trailing blanks (space, tab, CR, LF).
std::string trimmed(const std::string &s);
// Nothing but blanks.
bool blank(const std::string &s);

// A duration as messages give it: seconds in general format ("1", "2.5").
std::string seconds_text(std::chrono::milliseconds t);

// Time as ISO-8601 UTC text ("2024-05-01T08:00:00Z").
std::string iso_utc(std::chrono::system_clock::time_point t);
// Whole seconds since 1970-01-01 UTC.
std::int64_t epoch_seconds(std::chrono::system_clock::time_point t);

// The connection string with the value of every password= replaced by "***",
// for log lines and messages.
std::string redact_connection_string(const std::string &connection_string);

}  // namespace appserver
