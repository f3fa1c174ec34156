// The server's log: one line at a time on standard error (which --log-file
// points at a file), each with the local time in front. A leaf.
#pragma once

#include <string>

namespace appserver {

// "2024-05-01 08:00:00 TEXT".
void log_line(const std::string &text);
// A line as it stands, without the time (the HTTP library's own words).
void log_raw(const std::string &text);

}  // namespace appserver
