#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <pwd.h>
#include <termios.h>
#include <unistd.h>

#include "contract.h"
#include "database.h"
#include "server_config.h"

namespace cli {

namespace {

const char *kDefaultDatabaseFile = "data/saleplan.db";

// The options a config file may hold: every option of the command line.
const std::vector<std::string> kValueOptions = {
    "listen", "database", "database-password-file", "auth", "token-lifetime", "tls-cert", "tls-key",
    "server-role", "server-role-password-file", "session-timeout", "log-file",
    "workers", "max-connections", "connection-wait", "statement-timeout", "max-sessions",
    "max-sessions-per-account", "max-answer-rows", "max-answer-bytes", "max-clients",
    "max-clients-per-address", "max-sending-per-address", "control-socket", "metrics-listen",
    "actuals-view", "actuals-time-limit"};
const std::vector<std::string> kFlagOptions = {"init", "demo", "allow-self-approval", "allow-partial-submission"};

// The options of what one instance may hold at once and how long anything
// may take (--workers, --max-connections, --statement-timeout, ...). True
// when arg is one of them (its value taken from argv).
bool parse_load_option(const std::string &arg, int &i, int argc, char **argv, appserver::ServerLimits &limits,
                       appserver::FrontEndOptions &front)
{
    static const char *const kNames[] = {"--workers",      "--max-connections",          "--connection-wait",
                                         "--statement-timeout", "--max-sessions",        "--max-sessions-per-account",
                                         "--max-answer-rows",   "--max-answer-bytes",    "--max-clients",
                                         "--max-clients-per-address", "--max-sending-per-address"};
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
    else if (arg == "--max-clients-per-address") front.max_clients_per_address = static_cast<int>(number(0, 100000));
    else if (arg == "--max-sending-per-address") front.max_sending_per_address = static_cast<int>(number(0, 100000));
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

void print_help()
{
    std::printf(
        "Usage: vendrix-server [OPTIONS]\n"
        "       vendrix-server user add NAME --role planner|viewer|approver [--database ...]\n"
        "       vendrix-server user passwd NAME | user list | user remove NAME [--database ...]\n"
        "       vendrix-server init [--demo] [--server-role NAME ...] [--database ...]\n"
        "       vendrix-server migrate [--server-role NAME] [--database ...]\n"
        "       vendrix-server backup FILE | restore FILE [--database ...]\n"
        "       vendrix-server audit [--month YYYYMM] [--department CODE] [--salesman CODE]\n"
        "                            [--since DATE] [--csv] [--database ...]\n"
        "       vendrix-server session list | session end ID [--control-socket FILE]\n"
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
        "  --metrics-listen ADDR:PORT  serve GET /metrics (Prometheus text format) on\n"
        "                           this loopback address and port (default: off)\n"
        "  --version                the version and the commit it was built from\n"
        "  --max-connections N      database connections of the sessions' calls, at most\n"
        "                           (default 20; a few more serve sign-in and health)\n"
        "  --workers N              threads running the sessions' database work\n"
        "                           (default: as many as --max-connections)\n"
        "  --connection-wait TIME   how long a call waits for a connection before it is\n"
        "                           answered 503 (default 10s)\n"
        "  --statement-timeout TIME how long one statement may run (422) or wait for a\n"
        "                           lock (503) (default 30s)\n"
        "  --max-sessions N         sessions open at once (default %d: 1,000 planners hold\n"
        "                           2,000, two each; then 503)\n"
        "  --max-sessions-per-account N  per signed-in account (default 40; then 429)\n"
        "  --max-answer-rows N      rows of one dsp_temp answer, at most (default 200000)\n"
        "  --max-answer-bytes N     bytes of one dsp_temp answer, at most (default 64 MiB)\n"
        "  --max-clients N          client connections open at once (default %d, fewer when\n"
        "                           the descriptor limit leaves no room for them)\n"
        "  --max-clients-per-address N  connections open at once from one address\n"
        "                           (default 256; 0: no limit, e.g. behind a load balancer)\n"
        "  --max-sending-per-address N  connections of one address still sending their\n"
        "                           request (default 32; 0: no limit)\n"
        "  --control-socket FILE    the administrator's socket for `session list|end`\n"
        "                           (default /run/saleplan/vendrix-server.sock when that\n"
        "                           folder exists)\n"
        "  --actuals-view NAME      the site's view of actual sales (columns NYUE00,\n"
        "                           CKDM00, RYDM00, XHAO00, SJSL00), shown on the board\n"
        "                           beside the plan (default: none, no actuals)\n"
        "  --actuals-time-limit TIME  how long one read of it may take before the board\n"
        "                           goes without it (default 2s)\n"
        "  --allow-self-approval    an approver may approve a month he submitted himself\n"
        "                           (default: another approver must)\n"
        "  --allow-partial-submission  a month may be submitted with quantity left or\n"
        "                           visit-salesmen without a plan (default: refused)\n"
        "  --help                   show this text\n"
        "Commands: init creates the current layout and stops; migrate brings a database\n"
        "of an older release up to date in one transaction and on PostgreSQL gives the\n"
        "server role (--server-role NAME, else the role holding its rights) exactly its\n"
        "rights on every table; backup FILE copies a live SQLite database and its\n"
        "accounts' file consistently; restore FILE puts such a copy back (server stopped),\n"
        "after checking it; session list shows the running server's sessions and\n"
        "session end ID ends one, rolling back its transaction.\n"
        "Passwords are never taken from the command line: user add and user passwd read\n"
        "them from the terminal without echo, or one line from standard input.\n",
        appserver::kDefaultConfigFile, contract::kDefaultPort, kDefaultDatabaseFile,
        appserver::ServerLimits{}.max_sessions, appserver::FrontEndOptions{}.max_clients);
}

void usage_error(const std::string &message)
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

namespace {

std::string user_name()
{
    const passwd *pw = ::getpwuid(::geteuid());
    return pw && pw->pw_name ? pw->pw_name : std::to_string(::geteuid());
}

}  // namespace

// The first line of a file, without its line end.
std::string first_line_of(const std::string &file, const char *what)
{
    std::ifstream in(file);
    if (!in)
        usage_error(std::string("cannot read the ") + what + " file \"" + file + "\" (" + std::strerror(errno) +
                    "; this program runs as the user " + user_name() + ")");
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
            const bool database_option = from_file[i] == "--database" || from_file[i] == "--database-password-file" ||
                                         from_file[i] == "--control-socket";
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

bool is_command(const char *word)
{
    static const char *const kCommands[] = {"user", "init", "migrate", "backup", "restore", "audit", "session"};
    return std::any_of(std::begin(kCommands), std::end(kCommands), [&](const char *c) { return std::strcmp(word, c) == 0; });
}

std::optional<ServeOptions> parse_serve_options(int argc, char **argv)
{
    ServeOptions o;
    o.port = contract::kDefaultPort;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            print_help();
            return std::nullopt;
        } else if (arg == "--listen" || arg == "--metrics-listen") {
            // ADDR:PORT, or a bare PORT on 127.0.0.1.
            const std::string v = value();
            const auto colon = v.rfind(':');
            const std::string port_text = colon == std::string::npos ? v : v.substr(colon + 1);
            std::string &host = arg == "--listen" ? o.host : o.metrics_host;
            long long &port = arg == "--listen" ? o.port : o.metrics_port;
            host = colon != std::string::npos && colon > 0 ? v.substr(0, colon) : std::string("127.0.0.1");
            if (!parse_int(port_text, 0, 65535, port)) usage_error("bad " + arg + " value \"" + v + "\"");
        } else if (arg == "--database") {
            o.database = value();
        } else if (arg == "--init") {
            o.init = true;
        } else if (arg == "--demo") {
            o.demo = o.init = true;
        } else if (arg == "--database-password-file") {
            o.password_file = value();
        } else if (arg == "--auth") {
            const std::string v = value();
            if (v == "none") o.front.auth = appserver::AuthMode::None;
            else if (v == "accounts") o.front.auth = appserver::AuthMode::Accounts;
            else usage_error("--auth is none or accounts, not \"" + v + "\"");
        } else if (arg == "--token-lifetime") {
            const std::string v = value();
            if (!parse_duration(v, o.token_lifetime)) usage_error("bad --token-lifetime value \"" + v + "\"");
        } else if (arg == "--tls-cert") {
            o.front.tls_cert = value();
        } else if (arg == "--tls-key") {
            o.front.tls_key = value();
        } else if (arg == "--server-role") {
            o.server_role = value();
        } else if (arg == "--server-role-password-file") {
            o.server_role_password_file = value();
        } else if (arg == "--session-timeout") {
            const std::string v = value();
            if (!parse_int(v, 0, 100000000, o.session_timeout)) usage_error("bad --session-timeout value \"" + v + "\"");
        } else if (arg == "--log-file") {
            o.log_file = value();
        } else if (arg == "--allow-self-approval") {
            o.limits.allow_self_approval = true;
        } else if (arg == "--allow-partial-submission") {
            o.limits.allow_partial_submission = true;
        } else if (arg == "--control-socket") {
            o.control_socket = value();
        } else if (arg == "--actuals-view") {
            o.actuals_view = value();
        } else if (arg == "--actuals-time-limit") {
            const std::string v = value();
            if (!parse_duration(v, o.actuals_time_limit) || o.actuals_time_limit < 1)
                usage_error("bad --actuals-time-limit value \"" + v + "\"");
        } else if (parse_load_option(arg, i, argc, argv, o.limits, o.front)) {
        } else {
            usage_error("unknown option \"" + arg + "\"");
        }
    }
    return o;
}

}  // namespace cli
