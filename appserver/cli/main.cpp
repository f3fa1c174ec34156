// vendrix-server: the application server of the monthly sales plan module.
// The command line is read in options.cpp, the commands run in commands.cpp;
// here the server is set up, served and stopped.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <malloc.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "actuals_view.h"
#include "app_server.h"
#include "commands.h"
#include "control_socket.h"
#include "database.h"
#include "database_setup.h"
#include "http_front_end.h"
#include "metrics.h"
#include "options.h"
#include "saleplan_version.h"
#include "schema_version.h"
#include "server_text.h"

namespace {

using namespace cli;

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

// A message of several lines (libpq's) as one line of the log.
std::string one_line(std::string text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
        if (c == ' ' && !out.empty() && out.back() == ' ') continue;
        out += c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

int main(int raw_argc, char **raw_argv)
{
    // Each thread the allocator sees gets an arena of its own by default, and
    // an arena keeps what its thread freed: with dozens of worker threads
    // taking turns at large answers the server would grow with every one.
    // A few shared arenas keep its memory near what one answer needs.
    mallopt(M_ARENA_MAX, 4);
    // Whatever umask the server is started with, what it creates (the
    // SQLite files and their journals, the accounts' file, backups, the
    // log, the control socket) is never writable by its group nor readable
    // by others: 0640 at most.
    ::umask(::umask(0) | 027);
    appserver::configure_database_library();
    for (int i = 1; i < raw_argc; ++i)
        if (std::strcmp(raw_argv[i], "--version") == 0) {
            std::printf("vendrix-server %s (commit %s)\n", SALEPLAN_VERSION, SALEPLAN_COMMIT);
            return 0;
        }
    const bool command = raw_argc > 1 && is_command(raw_argv[1]);
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

    const auto options = parse_serve_options(argc, argv);
    if (!options) return 0;
    const ServeOptions &o = *options;
    const std::string &host = o.host;
    const long long port = o.port, timeout = o.session_timeout, token_lifetime = o.token_lifetime;
    const bool init = o.init, demo = o.demo;
    const std::string &password_file = o.password_file, &server_role = o.server_role,
                      &server_role_password_file = o.server_role_password_file, &log_file = o.log_file;
    const appserver::FrontEndOptions &front_options = o.front;
    const appserver::ServerLimits &limits = o.limits;
    std::string database = o.database;

    if (front_options.tls_cert.empty() != front_options.tls_key.empty())
        usage_error("TLS needs both --tls-cert FILE and --tls-key FILE");
    // Refused before anything is opened or bound.
    if (auto refusal = appserver::listen_refusal(host, front_options)) {
        std::fprintf(stderr, "vendrix-server: %s\n", refusal->c_str());
        return 2;
    }
    if (!o.metrics_host.empty())
        if (auto refusal = appserver::metrics::listen_refusal(o.metrics_host)) {
            std::fprintf(stderr, "vendrix-server: --metrics-listen: %s\n", refusal->c_str());
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

    // Why the server did not start (or stopped with a failure) goes to the
    // log and, when the log is a file, to the standard error it was started
    // with too (the journal).
    const int started_stderr = log_file.empty() ? -1 : ::dup(STDERR_FILENO);
    auto failed = [&](const std::string &why) {
        const std::string line = "vendrix-server: " + one_line(appserver::redact_connection_string(why)) + "\n";
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        if (started_stderr >= 0 && ::write(started_stderr, line.data(), line.size()) < 0) {
        }
        return 1;
    };
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
        // Nothing is served unless the database answers, with a layout this
        // server knows and the rights it needs: otherwise the log says why and
        // the server ends with a failure before "listening" and READY=1, so
        // that systemd starts it again.
        {
            std::unique_ptr<appserver::Connection> probe;
            try {
                probe = std::make_unique<appserver::Connection>(database);
            } catch (const appserver::ServerError &e) {
                return failed(std::string("not started, the database cannot be reached: ") + e.what());
            }
            try {
                appserver::check_ready_to_serve(*probe);
            } catch (const appserver::ServerError &e) {
                return failed(std::string("not started: ") + e.what());
            }
        }
        appserver::AppServer server(database, std::chrono::seconds(timeout), std::chrono::seconds(token_lifetime));
        server.set_limits(limits);
        {
            // The site's view of actual sales, checked once: a wrong one is
            // logged and the board goes without actuals.
            appserver::Connection probe(database);
            appserver::install_actuals(server, probe, {o.actuals_view, std::chrono::seconds(o.actuals_time_limit)});
        }
        appserver::HttpFrontEnd front(server, host, static_cast<int>(port), front_options);
        front.start();
        // The administrator's way to the sessions (vendrix-server session ...).
        std::unique_ptr<appserver::ControlSocket> control;
        const std::string control_path = o.control_socket.empty() ? appserver::default_control_socket() : o.control_socket;
        if (!control_path.empty()) {
            control = std::make_unique<appserver::ControlSocket>(server, control_path);
            try {
                control->start();
            } catch (const appserver::ServerError &e) {
                if (!o.control_socket.empty()) throw;
                std::fprintf(stderr, "vendrix-server: warning: %s; `vendrix-server session` will not reach this server\n",
                             e.what());
                control.reset();
            }
        }
        std::unique_ptr<appserver::metrics::MetricsServer> metrics;
        if (!o.metrics_host.empty()) {
            metrics = std::make_unique<appserver::metrics::MetricsServer>(server, o.metrics_host,
                                                                          static_cast<int>(o.metrics_port));
            metrics->start();
            std::fprintf(stderr, "vendrix-server: metrics on http://%s:%d/metrics\n", o.metrics_host.c_str(),
                         metrics->port());
        }
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
        if (metrics) metrics->stop();
        front.stop();
    } catch (const std::exception &e) {
        return failed(e.what());
    }
    return 0;
}

