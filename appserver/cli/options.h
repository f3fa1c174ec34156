// vendrix-server's command line: the options of serving, the config file's
// options before them, and the small readers the commands share (numbers,
// durations, passwords, the database's password file).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "front_end_options.h"
#include "server_limits.h"

namespace cli {

// The options of serving, as the command line and the config file give them.
struct ServeOptions {
    std::string host = "127.0.0.1";
    long long port = 0;  // the default port unless --listen names one
    std::string database;
    bool init = false, demo = false;
    long long session_timeout = 600;
    long long token_lifetime = 12 * 3600;
    std::string password_file, server_role, server_role_password_file, log_file;
    // The administrator's socket (vendrix-server session ...); empty: none.
    std::string control_socket;
    // The metrics' own listener (--metrics-listen): empty host when off.
    std::string metrics_host;
    long long metrics_port = 0;
    appserver::FrontEndOptions front;
    appserver::ServerLimits limits;
    // The site's view of actual sales (none: no actuals) and how long one read of it may take.
    std::string actuals_view;
    long long actuals_time_limit = 2;
};
// Reads argv[1...]; nothing when --help was asked for (the help is printed).
// Anything wrong ends the program with a usage error (exit 2).
std::optional<ServeOptions> parse_serve_options(int argc, char **argv);

void print_help();
// "vendrix-server: MESSAGE (see --help)" and exit 2.
[[noreturn]] void usage_error(const std::string &message);

// The commands (user, init, migrate, backup, restore, audit, session).
bool is_command(const char *word);
// The arguments as the command line and the config file give them together:
// the file's options first, so that the command line's win. A command
// (user, init, ...) takes only the database options of the file (and the
// control socket's).
std::vector<std::string> arguments_with_config(int argc, char **argv, bool command);

bool parse_int(const std::string &text, long long low, long long high, long long &out);
// A number of seconds, or a number with the unit s, m, h or d.
bool parse_duration(const std::string &text, long long &seconds);
// The first line of a file, without its line end (a usage error when there is none).
std::string first_line_of(const std::string &file, const char *what);
// A password from the terminal without echo, or one line of standard input
// when it is not a terminal.
std::string read_password(const std::string &prompt, bool confirm);
// PostgreSQL: the database connection with the password of a file (see options.cpp).
std::string with_password(const std::string &database, const std::string &password_file);
void warn_about_password_in_argv(const std::string &database);
// sqlite3://db=data/saleplan.db, its folder made.
std::string default_database();

}  // namespace cli
