// vendrix-server: the application server of the monthly sales plan module.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "app_server.h"

namespace {

const char *kDefaultDatabaseFile = "data/saleplan.db";

void print_help()
{
    std::printf(
        "Usage: vendrix-server [OPTIONS]\n"
        "Serves the monthly sales plan objects over HTTP/JSON on loopback.\n\n"
        "  --listen ADDR:PORT       address and port to listen on (default 127.0.0.1:%d;\n"
        "                           a bare PORT keeps 127.0.0.1)\n"
        "  --database CONNECTION    SOCI connection string: sqlite3://db=FILE or\n"
        "                           postgresql://host=... port=... user=... dbname=...\n"
        "                           (default sqlite3://db=%s under the current folder)\n"
        "  --init                   create the tables (and on PostgreSQL the NVL function\n"
        "                           and the text to number cast: needs a superuser)\n"
        "  --demo                   with --init: load the demo data into an empty database\n"
        "                           (implies --init)\n"
        "  --session-timeout SECONDS  close sessions idle this long, rolling back their\n"
        "                           open transaction (default 600)\n"
        "  --help                   show this text\n",
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

}  // namespace

int main(int argc, char **argv)
{
    std::string host = "127.0.0.1";
    long long port = appserver::kDefaultPort;
    std::string database;
    bool init = false, demo = false;
    long long timeout = 600;

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
        } else if (arg == "--session-timeout") {
            const std::string v = value();
            if (!parse_int(v, 0, 100000000, timeout)) usage_error("bad --session-timeout value \"" + v + "\"");
        } else {
            usage_error("unknown option \"" + arg + "\"");
        }
    }

    if (database.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(kDefaultDatabaseFile).parent_path(), ec);
        database = std::string("sqlite3://db=") + kDefaultDatabaseFile;
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
            appserver::init_database(database, demo);
            std::fprintf(stderr, "vendrix-server: database ready%s\n", demo ? " (demo data loaded when empty)" : "");
        }
        appserver::AppServer server(database, std::chrono::seconds(timeout));
        appserver::HttpFrontEnd front(server, host, static_cast<int>(port));
        front.start();
        std::fprintf(stderr, "vendrix-server: listening on %s:%d, database %s (%s), session timeout %llds\n",
                     host.c_str(), front.port(), server.database_kind().c_str(), database.c_str(), timeout);
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
        std::fprintf(stderr, "vendrix-server: %s\n", e.what());
        return 1;
    }
    return 0;
}
