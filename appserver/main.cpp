// vendrix-server: the application server of the monthly sales plan module.
#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include <termios.h>
#include <unistd.h>

#include "app_server.h"
#include "audit.h"
#include "server_config.h"

namespace {

const char *kDefaultDatabaseFile = "data/saleplan.db";

void print_help()
{
    std::printf(
        "Usage: vendrix-server [OPTIONS]\n"
        "       vendrix-server user add NAME --role planner|viewer [--database ...]\n"
        "       vendrix-server user passwd NAME | user list | user remove NAME [--database ...]\n"
        "       vendrix-server audit [--month YYYYMM] [--department CODE] [--salesman CODE]\n"
        "                            [--since DATE] [--csv] [--database ...]\n"
        "Serves the monthly sales plan objects over HTTP/JSON (HTTPS with --tls-cert).\n\n"
        "  --listen ADDR:PORT       address and port to listen on (default 127.0.0.1:%d;\n"
        "                           a bare PORT keeps 127.0.0.1); an address other than\n"
        "                           loopback needs --auth accounts and --tls-cert/--tls-key\n"
        "  --database CONNECTION    SOCI connection string: sqlite3://db=FILE or\n"
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
        "  --help                   show this text\n"
        "Passwords are never taken from the command line: user add and user passwd read\n"
        "them from the terminal without echo, or one line from standard input.\n",
        appserver::kDefaultPort, kDefaultDatabaseFile);
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

// vendrix-server audit [--month YYYYMM] [--department CODE] [--salesman CODE]
// [--since DATE] [--csv] [--database ... | --config FILE]: the audit trail of
// the salesman plans, read with the administrator's connection.
int audit_command(int argc, char **argv)
{
    std::vector<std::string> args;
    for (int i = 2; i < argc; ++i) args.emplace_back(argv[i]);
    // Options of a config file come first, so that the command line wins.
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--config") continue;
        if (i + 1 >= args.size()) usage_error("--config needs a value");
        try {
            // The server's own file: of its options only the database counts here.
            const auto from_file = appserver::config_arguments(
                args[i + 1],
                {"listen", "database", "database-password-file", "auth", "token-lifetime", "tls-cert", "tls-key",
                 "server-role", "server-role-password-file", "session-timeout"},
                {"init", "demo"});
            std::vector<std::string> taken;
            for (std::size_t k = 0; k + 1 < from_file.size(); ++k)
                if (from_file[k] == "--database" || from_file[k] == "--database-password-file") {
                    taken.push_back(from_file[k]);
                    taken.push_back(from_file[++k]);
                }
            args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
            args.insert(args.begin(), taken.begin(), taken.end());
        } catch (const std::exception &e) {
            usage_error(e.what());
        }
        break;
    }
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

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "user") == 0) return user_command(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "audit") == 0) return audit_command(argc, argv);

    std::string host = "127.0.0.1";
    long long port = appserver::kDefaultPort;
    std::string database;
    bool init = false, demo = false;
    long long timeout = 600;
    long long token_lifetime = 12 * 3600;
    std::string password_file, server_role, server_role_password_file;
    appserver::FrontEndOptions front_options;

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

    // SIGINT and SIGTERM are taken by the main loop below; a client that
    // hangs up while an answer is written must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    try {
        if (init) {
            appserver::init_database(database, demo, role);
            std::fprintf(stderr, "vendrix-server: database ready%s%s\n", demo ? " (demo data loaded when empty)" : "",
                         role ? (", server role " + role->name + " granted").c_str() : "");
        }
        appserver::AppServer server(database, std::chrono::seconds(timeout), std::chrono::seconds(token_lifetime));
        appserver::HttpFrontEnd front(server, host, static_cast<int>(port), front_options);
        front.start();
        const bool accounts = front_options.auth == appserver::AuthMode::Accounts;
        std::fprintf(stderr,
                     "vendrix-server: listening on %s://%s:%d, database %s (%s), session timeout %llds, auth %s%s\n",
                     front_options.tls_cert.empty() ? "http" : "https", host.c_str(), front.port(),
                     server.database_kind().c_str(), shown_database.c_str(), timeout, accounts ? "accounts" : "none",
                     accounts ? (", tokens last " + std::to_string(token_lifetime) + "s").c_str() : "");
        std::fflush(stderr);

        // Sweep idle sessions between signals.
        const long long sweep = std::clamp(timeout / 4, 1LL, 30LL);
        for (;;) {
            timespec wait{static_cast<time_t>(sweep), 0};
            const int sig = sigtimedwait(&stop_signals, nullptr, &wait);
            if (sig == SIGINT || sig == SIGTERM) break;
            if (auto closed = server.expire_idle_sessions())
                std::fprintf(stderr, "vendrix-server: closed %zu idle session(s), open transactions rolled back\n",
                             closed);
        }
        std::fprintf(stderr, "vendrix-server: stopping\n");
        front.stop();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vendrix-server: %s\n", appserver::redact_connection_string(e.what()).c_str());
        return 1;
    }
    return 0;
}
