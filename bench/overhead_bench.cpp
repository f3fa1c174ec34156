// The server's own cost of one request: the department statement sent N
// times over one keep-alive connection to a real vendrix-server, the
// server's CPU (user + system, from /proc/PID/stat) divided by N, against
// the same statement run bare through the server's database layer in this
// process. Never a test.
//
//   overhead_bench [--pg] [--requests N] [--auth] [--pause S]
//
// --auth signs in (--auth accounts, a bearer token on every call); --pause
// waits S seconds before the measured requests, time to attach a profiler
// to the PID it prints.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <time.h>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "database.h"
#include "dialect.h"
#include "server_fixture.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

const std::string kDepartments =
    "SELECT CKDM00,CKMC00 FROM GSTCKGL0 WHERE WDBJ00='F' AND ZZRQ00 IS NULL AND CKDM00<>'HZ' AND CKDM00<>'0F' AND "
    "CKDM00<>'0B' AND CKDM00<>'0P'";

// The process's CPU so far (user + system), in microseconds.
double process_cpu_us(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14) utime = std::stoull(f);
        if (i == 15) {
            stime = std::stoull(f);
            break;
        }
    }
    return static_cast<double>(utime + stime) * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double thread_cpu_us()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

}  // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    bool pg = false, auth = false;
    long n = 20000;
    double pause = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--pg") pg = true;
        else if (a == "--auth") auth = true;
        else if (a == "--requests" && i + 1 < argc) n = std::atol(argv[++i]);
        else if (a == "--pause" && i + 1 < argc) pause = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: overhead_bench [--pg] [--requests N] [--auth] [--pause S]\n");
            return 2;
        }
    }
    if (pg && !testsupport::PgDb::available()) {
        std::fprintf(stderr, "overhead_bench: --pg needs SALEPLAN_TEST_PG\n");
        return 2;
    }
    std::unique_ptr<testsupport::SqliteDb> sqlite;
    std::unique_ptr<testsupport::PgDb> postgres;
    std::string cs;
    if (pg) {
        postgres = std::make_unique<testsupport::PgDb>(true);
        cs = postgres->connection_string();
    } else {
        sqlite = std::make_unique<testsupport::SqliteDb>(true);
        cs = sqlite->connection_string();
    }

    // The bare statement: the database layer alone, as the server runs it.
    double bare_cpu = 0, bare_wall = 0;
    {
        appserver::Connection db(testsupport::server_connection_for(cs));
        const std::string sql = appserver::adapt_statement(kDepartments, db.kind());
        for (int i = 0; i < 200; ++i) db.run(sql);
        const auto t = Clock::now();
        const double c = thread_cpu_us();
        for (long i = 0; i < n; ++i) db.run(sql);
        bare_cpu = (thread_cpu_us() - c) / static_cast<double>(n);
        bare_wall = std::chrono::duration<double, std::micro>(Clock::now() - t).count() / static_cast<double>(n);
    }

    std::vector<std::string> args;
    if (auth) {
        testsupport::add_account(cs, "bench", "planner", "bench-password");
        args = {"--auth", "accounts"};
    }
    testsupport::ServerProcess server(cs, args);
    httplib::Client c("127.0.0.1", server.port());
    c.set_keep_alive(true);
    c.set_tcp_nodelay(true);
    httplib::Headers headers;
    if (auth) {
        auto in = c.Post("/v1/login", json{{"user", "bench"}, {"password", "bench-password"}}.dump(), "application/json");
        if (!in || in->status != 200) {
            std::fprintf(stderr, "overhead_bench: cannot sign in\n");
            return 1;
        }
        headers = {{"Authorization", "Bearer " + json::parse(in->body).at("token").get<std::string>()}};
    }
    auto opened = c.Post("/v1/sessions", headers, R"({"object":"VendrixServer.CoCompanyInfo"})", "application/json");
    if (!opened || opened->status != 201) {
        std::fprintf(stderr, "overhead_bench: cannot open a session\n");
        return 1;
    }
    const std::string path =
        "/v1/sessions/" + json::parse(opened->body).at("session").get<std::string>() + "/providers/dsp_temp/records";
    const std::string body = json{{"commandText", kDepartments}}.dump();
    for (int i = 0; i < 200; ++i) c.Post(path, headers, body, "application/json");
    if (pause > 0) {
        std::printf("server pid %d: measuring in %.0f s\n", static_cast<int>(server.pid()), pause);
        std::this_thread::sleep_for(std::chrono::duration<double>(pause));
    }
    long failed = 0;
    const double before = process_cpu_us(server.pid());
    const auto t = Clock::now();
    for (long i = 0; i < n; ++i) {
        auto r = c.Post(path, headers, body, "application/json");
        if (!r || r->status != 200) ++failed;
    }
    const double wall = std::chrono::duration<double, std::micro>(Clock::now() - t).count() / static_cast<double>(n);
    const double cpu = (process_cpu_us(server.pid()) - before) / static_cast<double>(n);
    std::printf("overhead_bench on %s, %s, %ld department statements (%ld failed)\n", pg ? "PostgreSQL" : "SQLite",
                auth ? "--auth accounts" : "--auth none", n, failed);
    std::printf("  bare statement (database layer, in process): %7.1f us cpu  %7.1f us wall\n", bare_cpu, bare_wall);
    std::printf("  server CPU per request:                      %7.1f us       %7.1f us wall at the client\n", cpu, wall);
    return 0;
}
