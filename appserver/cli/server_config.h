// The server's config file: every command-line option as "key = value", one
// per line, the key being the option without its leading "--" ("_" may
// stand for "-": actuals_view = ...). Flags take
// true/false (yes/no, on/off, 1/0). "#" and ";" begin comment lines.
#pragma once

#include <string>
#include <vector>

namespace appserver {

inline constexpr const char *kDefaultConfigFile = "/etc/saleplan/vendrix-server.conf";

// The file's options as command-line arguments ("--listen", "127.0.0.1:7411",
// "--init", ...), in the file's order, so that arguments given after them on
// the command line win. `flags` names the options that take no value.
// Throws std::runtime_error naming the file and line for a line that is no
// "key = value", a key that is no option, a flag whose value is not a
// truth value, or a file that cannot be read.
std::vector<std::string> config_arguments(const std::string &file, const std::vector<std::string> &options,
                                          const std::vector<std::string> &flags);

}  // namespace appserver
