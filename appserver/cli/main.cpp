// vendrix-server: the application server of the monthly sales plan module.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>
#include <string>

#include <fcntl.h>
#include <malloc.h>
#include <systemd/sd-daemon.h>
#include <termios.h>
#include <unistd.h>

#include "app_server.h"
#include "database_setup.h"
#include "http_front_end.h"
#include "audit.h"
#include "accounts.h"
#include "backup.h"
#include "contract.h"
#include "database.h"
#include "saleplan_version.h"
#include "schema.h"
#include "schema_version.h"
#include "server_text.h"
#include "server_config.h"

namespace {

const char *kDefaultDatabaseFile = "data/saleplan.db";

void print_help()
{
    std::printf(
        "Usage: vendrix-server [OPTIONS]\n"
        "       vendrix-server user add NAME --role planner|viewer [--database ...]\n"
        "       vendrix-server user passwd NAME | user list | user remove NAME [--database ...]\n"
        "       vendrix-server init [--demo] [--server-role NAME ...] [--database ...]\n"
        "       vendrix-server migrate | backup FILE | restore FILE [--database ...]\n"
        "       vendrix-server audit [--month YYYYMM] [--department CODE] [--salesman CODE]\n"
        "                            [--since DATE] [--csv] [--database ...]\n"
        "       vendrix-server --version\n"
        "Serves the monthly sales plan objects over HTTP/JSON (HTTPS with --tls-cert).\n"
        "Every command reads the config file first (--config FILE, default %s\n"
        "when it exists); options on the command line win over it.\n\n"
        "  --config FILE            the config file: every option below as \"key = value\"\n"
        "  --listen ADDR:PORT       address and port to listen on (default 127.0.0.1:%d;\n"
        "                           a bare PORT keeps 127.0.0.1); an address other than\n"
        "                           loopback needs --auth accounts and --tls-cert/--tls-key\n"
        "  --database CONNECTION    the database: sqlite3://db=FILE or\n"
        "                           postgresql://host=... port=... user=... dbname=...\n"
        "                           (default sqlite3://db=%s under the current folder)\n"
        "  --database-password-file FILE  PostgreSQL: the password of the connecting role\n"
        "                           (first line of FILE; or use libpq's PGPASSFILE)\n"
        "  --auth none|accounts     none: every caller is the anonymous planner (loopback\n"
        "                           only; default); accounts: sign-in with a bearer token\n"
        "  --token-lifetime TIME    how long a sign-in lasts: SECONDS or a number with\n"
        "                           s, m, h or d (default 12h)\n"
        "  --tls-cert FILE          serve HTTPS with this certificate (PEM) ...\n"
        "  --tls-key FILE           ... and this private key (PEM)\n"
        "  --init                   create the tables where missing (and on PostgreSQL the\n"
        "                           NVL function and the text to number cast: the role\n"
        "                           --init connects as must be a superuser)\n"
        "  --server-role NAME       with --init on PostgreSQL: create or update the login\n"
        "                           role the server runs as, with only the rights it needs\n"
        "  --server-role-password-file FILE  its password (first line of FILE; without\n"
        "                           it the password is read from the terminal or stdin)\n"
        "  --demo                   with --init: load the demo data into an empty database\n"
        "                           (implies --init)\n"
        "  --session-timeout SECONDS  close sessions idle this long, rolling back their\n"
        "                           open transaction (default 600)\n"
        "  --log-file FILE          append the log to FILE instead of standard error;\n"
        "                           SIGHUP reopens it (log rotation)\n"
        "  --version                the version and the commit it was built from\n"
        "  --max-connections N      database connections of the sessions' calls, at most\n"
        "                           (default 20; a few more serve sign-in and health)\n"
        "  --workers N              threads running the sessions' database work\n"
        "                           (default: as many as --max-connections)\n"
        "  --connection-wait TIME   how long a call waits for a connection before it is\n"
        "                           answered 503 (default 10s)\n"
        "  --statement-timeout TIME how long one statement may run (422) or wait for a\n"
        "                           lock (503) (default 30s)\n"
        "  --max-sessions N         sessions open at once (default 1000; then 503)\n"
        "  --max-sessions-per-account N  per signed-in account (default 40; then 429)\n"
        "  --max-answer-rows N      rows of one dsp_temp answer, at most (default 200000)\n"
        "  --max-answer-bytes N     bytes of one dsp_temp answer, at most (default 64 MiB)\n"
        "  --max-clients N          client connections open at once (default 4000)\n"
        "  --help                   show this text\n"
        "Commands: init creates the current layout and stops; migrate brings a database\n"
        "of an older release up to date in one transaction; backup FILE copies a live\n"
        "SQLite database consistently; restore FILE puts such a copy back (server stopped).\n"
        "Passwords are never taken from the command line: user add and user passwd read\n"
        "them from the terminal without echo, or one line from standard input.\n",
        appserver::kDefaultConfigFile, contract::kDefaultPort, kDefaultDatabaseFile);
}

[[noreturn]] void usage_error(const std::string &message)
{
    std::fprintf(stderr, "vendrix-server: %s (see --help)\n", message.c_str());
    std::exit(2);
}

bool parse_int(const std::string &text, long long low, long long high, long long &out)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 12) return false;
    out = std::stoll(text);
    return out >= low && out <= high;
}

// A number of seconds, or a number with the unit s, m, h or d.
bool parse_duration(const std::string &text, long long &seconds)
{
    if (text.empty()) return false;
    long long unit = 1;
    std::string digits = text;
    switch (text.back()) {
    case 's': unit = 1; digits.pop_back(); break;
    case 'm': unit = 60; digits.pop_back(); break;
    case 'h': unit = 3600; digits.pop_back(); break;
    case 'd': unit = 86400; digits.pop_back(); break;
    default: break;
    }
    long long n = 0;
    if (!parse_int(digits, 1, 100000000, n)) return false;
    seconds = n * unit;
    return seconds <= 10LL * 365 * 86400;
}

// The first line of a file, without its line end.
std::string first_line_of(const std::string &file, const char *what)
{
    std::ifstream in(file);
    if (!in) usage_error(std::string("cannot read the ") + what + " file \"" + file + "\"");
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.empty()) usage_error(std::string("the ") + what + " file \"" + file + "\" is empty");
    return line;
}

// A password from the terminal without echo, or one line of standard input
// when it is not a terminal.
std::string read_password(const std::string &prompt, bool confirm)
{
    std::string line;
    if (!::isatty(STDIN_FILENO)) {
        if (!std::getline(std::cin, line)) usage_error("no password on standard input");
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    termios old{};
    ::tcgetattr(STDIN_FILENO, &old);
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    auto ask = [&](const std::string &text) {
        std::fprintf(stderr, "%s", text.c_str());
        std::fflush(stderr);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        std::string answer;
        std::getline(std::cin, answer);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
        std::fprintf(stderr, "\n");
        return answer;
    };
    line = ask(prompt);
    if (confirm && ask("Again: ") != line) usage_error("the two passwords differ");
    return line;
}

// PostgreSQL: the password of a file for libpq, which takes it from
// PGPASSWORD of this process's own environment when the connection string
// has none. Set here, it shows neither in the arguments nor in the
// environment the process was started with (/proc/PID/environ), and no
// quoting of the connection string can mangle it.
std::string with_password(const std::string &database, const std::string &password_file)
{
    if (password_file.empty()) return database;
    if (appserver::database_kind_of(database) != "postgresql")
        usage_error("--database-password-file is for PostgreSQL only");
    ::setenv("PGPASSWORD", first_line_of(password_file, "password").c_str(), 1);
    return database;
}

void warn_about_password_in_argv(const std::string &database)
{
    if (database.find("password=") != std::string::npos)
        std::fprintf(stderr, "vendrix-server: warning: a password in --database can be read by anyone with ps; "
                             "use --database-password-file FILE or PGPASSFILE\n");
}

std::string default_database()
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(kDefaultDatabaseFile).parent_path(), ec);
    return std::string("sqlite3://db=") + kDefaultDatabaseFile;
}

// vendrix-server user add|passwd|list|remove ...
int user_command(int argc, char **argv)
{
    std::vector<std::string> words;
    std::string database, password_file, role_text;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--database") database = value();
        else if (arg == "--database-password-file") password_file = value();
        else if (arg == "--role") role_text = value();
        else if (arg.rfind("--", 0) == 0) usage_error("unknown option \"" + arg + "\" of user");
        else words.push_back(arg);
    }
    if (words.empty()) usage_error("user needs add, passwd, list or remove");
    if (database.empty()) database = default_database();
    warn_about_password_in_argv(database);
    database = with_password(database, password_file);
    const std::string what = words[0];
    const bool needs_name = what == "add" || what == "passwd" || what == "remove";
    if ((needs_name && words.size() != 2) || (what == "list" && words.size() != 1))
        usage_error("user " + what + (needs_name ? " takes one account name" : " takes no name"));
    if (!role_text.empty() && what != "add") usage_error("--role belongs to user add");
    try {
        if (what == "add") {
            if (role_text.empty()) usage_error("user add needs --role planner|viewer");
            const auto role = appserver::role_from_name(role_text);
            if (!role) usage_error("--role is planner or viewer, not \"" + role_text + "\"");
            appserver::add_account(database, words[1], *role, read_password("Password for " + words[1] + ": ", true));
            std::fprintf(stderr, "vendrix-server: account %s added (%s)\n", words[1].c_str(), role_text.c_str());
        } else if (what == "passwd") {
            appserver::set_account_password(database, words[1], read_password("New password for " + words[1] + ": ", true));
            std::fprintf(stderr, "vendrix-server: password of %s changed; its sign-ins are ended\n", words[1].c_str());
        } else if (what == "remove") {
            appserver::remove_account(database, words[1]);
            std::fprintf(stderr, "vendrix-server: account %s removed, its sign-ins ended\n", words[1].c_str());
        } else if (what == "list") {
            for (const auto &a : appserver::list_accounts(database))
                std::printf("%-32s %-8s %s\n", a.name.c_str(), appserver::role_name(a.role), a.created.c_str());
        } else {
            usage_error("user needs add, passwd, list or remove, not \"" + what + "\"");
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vendrix-server: %s\n", appserver::redact_connection_string(e.what()).c_str());
        return 1;
    }
    return 0;
}

// The options a config file may hold: every option of the command line.
const std::vector<std::string> kValueOptions = {
    "listen", "database", "database-password-file", "auth", "token-lifetime", "tls-cert", "tls-key",
    "server-role", "server-role-password-file", "session-timeout", "log-file",
    "workers", "max-connections", "connection-wait", "statement-timeout", "max-sessions",
    "max-sessions-per-account", "max-answer-rows", "max-answer-bytes", "max-clients"};
const std::vector<std::string> kFlagOptions = {"init", "demo"};

// The arguments as the command line and the config file give them together:
// the file's options first, so that the command line's win. A command
// (user, init, ...) takes only the database options of the file.
std::vector<std::string> arguments_with_config(int argc, char **argv, bool command)
{
    std::vector<std::string> given;
    std::string file;
    bool named = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--config") {
            if (i + 1 >= argc) usage_error("--config needs a value");
            file = argv[++i];
            named = true;
        } else {
            given.push_back(arg);
        }
    }
    std::error_code ec;
    if (!named && std::filesystem::exists(appserver::kDefaultConfigFile, ec)) file = appserver::kDefaultConfigFile;
    std::vector<std::string> args;
    if (!file.empty()) {
        std::vector<std::string> from_file;
        try {
            from_file = appserver::config_arguments(file, kValueOptions, kFlagOptions);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "vendrix-server: %s\n", e.what());
            std::exit(2);
        }
        for (std::size_t i = 0; i < from_file.size(); ++i) {
            const bool has_value = i + 1 < from_file.size() && from_file[i + 1].rfind("--", 0) != 0;
            const bool database_option = from_file[i] == "--database" || from_file[i] == "--database-password-file";
            if (!command || database_option) {
                args.push_back(from_file[i]);
                if (has_value) args.push_back(from_file[i + 1]);
            }
            if (has_value) ++i;
        }
    }
    // A command's name stays in front of everything.
    std::size_t at = 0;
    if (command && !given.empty()) args.insert(args.begin(), given[at++]);
    args.insert(args.end(), given.begin() + static_cast<std::ptrdiff_t>(at), given.end());
    return args;
}

// The database options of a command: --database CONNECTION and
// --database-password-file FILE, with the rest of its words.
struct CommandArguments {
    std::string database, password_file;
    std::vector<std::string> words;
    bool demo = false;
    std::string server_role, server_role_password_file;
};

CommandArguments command_arguments(const std::vector<std::string> &args, const std::string &command)
{
    CommandArguments c;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string &arg = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) usage_error(arg + " needs a value");
            return args[++i];
        };
        if (arg == "--database") c.database = value();
        else if (arg == "--database-password-file") c.password_file = value();
        else if (command == "init" && arg == "--demo") c.demo = true;
        else if (command == "init" && arg == "--server-role") c.server_role = value();
        else if (command == "init" && arg == "--server-role-password-file") c.server_role_password_file = value();
        else if (arg.rfind("--", 0) == 0) usage_error("unknown option \"" + arg + "\" of " + command);
        else c.words.push_back(arg);
    }
    if (c.database.empty()) c.database = default_database();
    warn_about_password_in_argv(c.database);
    c.database = with_password(c.database, c.password_file);
    return c;
}

// vendrix-server init | migrate | backup FILE | restore FILE
int database_command(const std::vector<std::string> &args)
{
    const std::string what = args[0];
    CommandArguments c = command_arguments(args, what);
    const std::size_t files = (what == "backup" || what == "restore") ? 1 : 0;
    if (c.words.size() != files)
        usage_error(what + (files ? " takes one file name" : " takes no file name"));
    if (!c.server_role_password_file.empty() && c.server_role.empty())
        usage_error("--server-role-password-file needs --server-role");
    try {
        if (what == "init") {
            std::optional<appserver::ServerRole> role;
            if (!c.server_role.empty())
                role = appserver::ServerRole{
                    c.server_role, c.server_role_password_file.empty()
                                       ? read_password("Password for the server role " + c.server_role + ": ", true)
                                       : first_line_of(c.server_role_password_file, "server role password")};
            appserver::init_database(c.database, c.demo, role);
            std::fprintf(stderr, "vendrix-server: database ready (schema version %d)\n", appserver::kSchemaVersion);
        } else if (what == "migrate") {
            appserver::Connection db(c.database);
            const int was = appserver::migrate_schema(db);
            if (was == appserver::kSchemaVersion)
                std::fprintf(stderr, "vendrix-server: the database is up to date (schema version %d)\n", was);
            else
                std::fprintf(stderr, "vendrix-server: database migrated from schema version %d to %d\n", was,
                             appserver::kSchemaVersion);
        } else if (what == "backup") {
            appserver::backup_sqlite(c.database, c.words[0]);
            std::fprintf(stderr, "vendrix-server: backup written to %s\n", c.words[0].c_str());
        } else {
            appserver::restore_sqlite(c.database, c.words[0]);
            std::fprintf(stderr, "vendrix-server: database restored from %s\n", c.words[0].c_str());
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vendrix-server: %s\n", appserver::redact_connection_string(e.what()).c_str());
        return 1;
    }
    return 0;
}

// vendrix-server audit [--month YYYYMM] [--department CODE] [--salesman CODE]
// [--since DATE] [--csv] [--database ...]: the audit trail of
// the salesman plans, read with the administrator's connection.
int audit_command(int argc, char **argv)
{
    std::vector<std::string> args;
    for (int i = 2; i < argc; ++i) args.emplace_back(argv[i]);
    appserver::AuditFilter filter;
    std::string database, password_file;
    bool csv = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) usage_error(arg + " needs a value");
            return args[++i];
        };
        if (arg == "--database") database = value();
        else if (arg == "--database-password-file") password_file = value();
        else if (arg == "--month") filter.month = value();
        else if (arg == "--department") filter.department = value();
        else if (arg == "--salesman") filter.salesman = value();
        else if (arg == "--since") filter.since = value();
        else if (arg == "--csv") csv = true;
        else usage_error("unknown option \"" + arg + "\" of audit");
    }
    if (!filter.month.empty() &&
        (filter.month.size() != 6 || filter.month.find_first_not_of("0123456789") != std::string::npos))
        usage_error("--month is YYYYMM, not \"" + filter.month + "\"");
    const auto &since = filter.since;
    const bool since_ok = since.size() >= 10 && since[4] == '-' && since[7] == '-' &&
                          std::isdigit(static_cast<unsigned char>(since[0])) &&
                          since.find_first_not_of("0123456789-T:Z ") == std::string::npos;
    if (!since.empty() && !since_ok) usage_error("--since is a date YYYY-MM-DD (UTC), not \"" + since + "\"");
    if (database.empty()) database = default_database();
    warn_about_password_in_argv(database);
    database = with_password(database, password_file);
    try {
        const auto records = appserver::read_audit(database, filter);
        const std::string text = csv ? appserver::audit_csv(records) : appserver::audit_table_text(records);
        std::fwrite(text.data(), 1, text.size(), stdout);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vendrix-server: %s\n", appserver::redact_connection_string(e.what()).c_str());
        return 1;
    }
    return 0;
}

// Sends the log (standard error) to the file; called again on SIGHUP so that
// a rotated file is let go of. False when the file cannot be opened (the log
// then stays where it was).
bool open_log_file(const std::string &file)
{
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) {
        std::fprintf(stderr, "vendrix-server: cannot open the log file %s: %s\n", file.c_str(), std::strerror(errno));
        return false;
    }
    std::fflush(stderr);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    return true;
}

// The options of what one instance may hold at once and how long anything
// may take (--workers, --max-connections, --statement-timeout, ...). True
// when arg is one of them (its value taken from argv).
bool parse_load_option(const std::string &arg, int &i, int argc, char **argv, appserver::ServerLimits &limits,
                       appserver::FrontEndOptions &front)
{
    static const char *const kNames[] = {"--workers",      "--max-connections",          "--connection-wait",
                                         "--statement-timeout", "--max-sessions",        "--max-sessions-per-account",
                                         "--max-answer-rows",   "--max-answer-bytes",    "--max-clients"};
    if (std::find_if(std::begin(kNames), std::end(kNames), [&](const char *n) { return arg == n; }) == std::end(kNames))
        return false;
    if (i + 1 >= argc) usage_error(arg + " needs a value");
    const std::string v = argv[++i];
    long long n = 0;
    auto number = [&](long long low, long long high) {
        if (!parse_int(v, low, high, n)) usage_error("bad " + arg + " value \"" + v + "\"");
        return n;
    };
    if (arg == "--workers") front.workers = static_cast<int>(number(1, 1000));
    else if (arg == "--max-connections") limits.max_connections = static_cast<int>(number(1, 1000));
    else if (arg == "--max-clients") front.max_clients = static_cast<int>(number(16, 100000));
    else if (arg == "--max-sessions") limits.max_sessions = static_cast<int>(number(1, 1000000));
    else if (arg == "--max-sessions-per-account") limits.max_sessions_per_account = static_cast<int>(number(1, 1000000));
    else if (arg == "--max-answer-rows") limits.max_answer_rows = static_cast<std::size_t>(number(1, 1LL << 40));
    else if (arg == "--max-answer-bytes") limits.max_answer_bytes = static_cast<std::size_t>(number(1024, 1LL << 40));
    else {
        long long seconds = 0;
        if (!parse_duration(v, seconds)) usage_error("bad " + arg + " value \"" + v + "\"");
        (arg == "--connection-wait" ? limits.connection_wait : limits.statement_timeout) = std::chrono::seconds(seconds);
    }
    return true;
}

}  // namespace

int main(int raw_argc, char **raw_argv)
{
    // Each thread the allocator sees gets an arena of its own by default, and
    // an arena keeps what its thread freed: with dozens of worker threads
    // taking turns at large answers the server would grow with every one.
    // A few shared arenas keep its memory near what one answer needs.
    mallopt(M_ARENA_MAX, 4);
    appserver::configure_database_library();
    for (int i = 1; i < raw_argc; ++i)
        if (std::strcmp(raw_argv[i], "--version") == 0) {
            std::printf("vendrix-server %s (commit %s)\n", SALEPLAN_VERSION, SALEPLAN_COMMIT);
            return 0;
        }
    static const char *const kCommands[] = {"user", "init", "migrate", "backup", "restore", "audit"};
    const bool command = raw_argc > 1 && std::any_of(std::begin(kCommands), std::end(kCommands),
                                                     [&](const char *c) { return std::strcmp(raw_argv[1], c) == 0; });
    std::vector<std::string> args = arguments_with_config(raw_argc, raw_argv, command);
    if (command && args[0] != "user" && args[0] != "audit") return database_command(args);
    // The parsers below read a program name and the arguments.
    args.insert(args.begin(), raw_argv[0]);
    std::vector<char *> pointers;
    for (auto &a : args) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    char **argv = pointers.data();

    if (argc > 1 && std::strcmp(argv[1], "user") == 0) return user_command(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "audit") == 0) return audit_command(argc, argv);

    std::string host = "127.0.0.1";
    long long port = contract::kDefaultPort;
    std::string database;
    bool init = false, demo = false;
    long long timeout = 600;
    long long token_lifetime = 12 * 3600;
    std::string password_file, server_role, server_role_password_file, log_file;
    appserver::FrontEndOptions front_options;
    appserver::ServerLimits limits;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            print_help();
            return 0;
        } else if (arg == "--listen") {
            const std::string v = value();
            const auto colon = v.rfind(':');
            const std::string port_text = colon == std::string::npos ? v : v.substr(colon + 1);
            if (colon != std::string::npos && colon > 0) host = v.substr(0, colon);
            if (!parse_int(port_text, 0, 65535, port)) usage_error("bad --listen value \"" + v + "\"");
        } else if (arg == "--database") {
            database = value();
        } else if (arg == "--init") {
            init = true;
        } else if (arg == "--demo") {
            demo = init = true;
        } else if (arg == "--database-password-file") {
            password_file = value();
        } else if (arg == "--auth") {
            const std::string v = value();
            if (v == "none") front_options.auth = appserver::AuthMode::None;
            else if (v == "accounts") front_options.auth = appserver::AuthMode::Accounts;
            else usage_error("--auth is none or accounts, not \"" + v + "\"");
        } else if (arg == "--token-lifetime") {
            const std::string v = value();
            if (!parse_duration(v, token_lifetime)) usage_error("bad --token-lifetime value \"" + v + "\"");
        } else if (arg == "--tls-cert") {
            front_options.tls_cert = value();
        } else if (arg == "--tls-key") {
            front_options.tls_key = value();
        } else if (arg == "--server-role") {
            server_role = value();
        } else if (arg == "--server-role-password-file") {
            server_role_password_file = value();
        } else if (arg == "--session-timeout") {
            const std::string v = value();
            if (!parse_int(v, 0, 100000000, timeout)) usage_error("bad --session-timeout value \"" + v + "\"");
        } else if (arg == "--log-file") {
            log_file = value();
        } else if (parse_load_option(arg, i, argc, argv, limits, front_options)) {
        } else {
            usage_error("unknown option \"" + arg + "\"");
        }
    }

    if (front_options.tls_cert.empty() != front_options.tls_key.empty())
        usage_error("TLS needs both --tls-cert FILE and --tls-key FILE");
    // Refused before anything is opened or bound.
    if (auto refusal = appserver::listen_refusal(host, front_options)) {
        std::fprintf(stderr, "vendrix-server: %s\n", refusal->c_str());
        return 2;
    }
    if (!server_role.empty() && !init) usage_error("--server-role belongs to --init");
    if (!server_role_password_file.empty() && server_role.empty())
        usage_error("--server-role-password-file needs --server-role");
    if (database.empty()) database = default_database();
    warn_about_password_in_argv(database);
    const std::string shown_database = appserver::redact_connection_string(database);
    database = with_password(database, password_file);
    std::optional<appserver::ServerRole> role;
    if (!server_role.empty()) {
        role = appserver::ServerRole{server_role, server_role_password_file.empty()
                                                      ? read_password("Password for the server role " + server_role + ": ", true)
                                                      : first_line_of(server_role_password_file, "server role password")};
    }

    if (!log_file.empty() && !open_log_file(log_file)) return 1;

    // SIGINT, SIGTERM and SIGHUP are taken by the main loop below; a client
    // that hangs up while an answer is written must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    try {
        if (init) {
            appserver::init_database(database, demo, role);
            std::fprintf(stderr, "vendrix-server: database ready%s%s\n", demo ? " (demo data loaded when empty)" : "",
                         role ? (", server role " + role->name + " granted").c_str() : "");
        }
        // A layout this server does not know is refused before anything is
        // served (a database that cannot be reached yet is served with 503s).
        std::unique_ptr<appserver::Connection> probe;
        try {
            probe = std::make_unique<appserver::Connection>(database);
        } catch (const appserver::ServerError &) {
        }
        if (probe) {
            if (appserver::schema_version(*probe) != 0) appserver::check_schema_version(*probe);
            probe.reset();
        }
        appserver::AppServer server(database, std::chrono::seconds(timeout), std::chrono::seconds(token_lifetime));
        server.set_limits(limits);
        appserver::HttpFrontEnd front(server, host, static_cast<int>(port), front_options);
        front.start();
        const bool accounts = front_options.auth == appserver::AuthMode::Accounts;
        std::fprintf(stderr,
                     "vendrix-server: listening on %s://%s:%d, database %s (%s), session timeout %llds, auth %s%s\n",
                     front_options.tls_cert.empty() ? "http" : "https", host.c_str(), front.port(),
                     server.database_kind().c_str(), shown_database.c_str(), timeout, accounts ? "accounts" : "none",
                     accounts ? (", tokens last " + std::to_string(token_lifetime) + "s").c_str() : "");
        std::fflush(stderr);
        sd_notify(0, "READY=1");

        // Sweep idle sessions between signals.
        const long long sweep = std::clamp(timeout / 4, 1LL, 30LL);
        for (;;) {
            timespec wait{static_cast<time_t>(sweep), 0};
            const int sig = sigtimedwait(&stop_signals, nullptr, &wait);
            if (sig == SIGINT || sig == SIGTERM) break;
            if (sig == SIGHUP) {
                // Nothing else can change while serving: options need a restart.
                if (!log_file.empty() && open_log_file(log_file))
                    std::fprintf(stderr, "vendrix-server: SIGHUP: log file %s reopened\n", log_file.c_str());
                else if (log_file.empty())
                    std::fprintf(stderr, "vendrix-server: SIGHUP: logging to standard error, nothing to reopen; "
                                         "other options take effect on restart\n");
                std::fflush(stderr);
                continue;
            }
            if (auto closed = server.expire_idle_sessions())
                std::fprintf(stderr, "vendrix-server: closed %zu idle session(s), open transactions rolled back\n",
                             closed);
        }
        sd_notify(0, "STOPPING=1");
        std::fprintf(stderr, "vendrix-server: stopping\n");
        front.stop();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vendrix-server: %s\n", appserver::redact_connection_string(e.what()).c_str());
        return 1;
    }
    return 0;
}
