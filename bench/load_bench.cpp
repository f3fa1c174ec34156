// Load on a real vendrix-server over loopback: N concurrent keep-alive
// clients running the module's typical calls, and one transaction holding a
// lock while 50 applies wait for it. Bounded in time; never a test.
//
//   load_bench [--pg] [--seconds S] [--clients 8,64,200] [--think MS] [--planners] [--in-step] [--ramp MS]
//              [--no-lock-holder] [--flood IDLE,SLOW] [-- SERVER ARGS...]
//
// --flood IDLE,SLOW has one other loopback address (127.0.0.2) hold IDLE
// connections that send nothing and SLOW ones that drip their request's
// head a byte a second, opening again whatever the server closes, for as
// long as the clients run; the figures then say whether the planners are
// still served beside it.
//
// --planners makes each client a running module: two keep-alive
// connections, each with its session, so `--clients 1000 --planners` is
// 1,000 planners holding 2,000 connections and sessions; --ramp MS has them
// all connect within MS (default 5 ms apart); --no-lock-holder leaves out the
// lock holder's part. All clients come from 127.0.0.1: give the server
// `--max-clients-per-address 0 --max-sending-per-address 0` for more than
// the per-address limits.
//
// --think MS gives every client a pause of about MS milliseconds between its
// rounds (spread from half to one and a half times MS), a planner's pace; without
// it the clients call back to back and the figures are the server's
// saturation, where latency is the client count over the throughput. With a
// pause the clients begin spread over the first one, as planners do;
// --in-step starts them all in the same instant (a burst of every client's
// round at once, the worst case).
// --pg runs on a fresh PostgreSQL database of the cluster SALEPLAN_TEST_PG
// names; without it on a SQLite file. The server arguments go to the
// vendrix-server it starts (e.g. --workers 20 --statement-timeout 3).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "schema.h"
#include "server_fixture.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

const std::string kCompany = "VendrixServer.CoCompanyInfo";
const std::string kCust = "VendrixServer.CoCustObj";

std::string department_statement()
{
    return "SELECT CKDM00,CKMC00 FROM GSTCKGL0 WHERE WDBJ00='F' AND ZZRQ00 IS NULL AND CKDM00<>'HZ' AND "
           "CKDM00<>'0F' AND CKDM00<>'0B' AND CKDM00<>'0P'";
}
std::string salesman_statement() { return "SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='Y' AND CKDM00='01'"; }

std::unique_ptr<httplib::Client> client(int port, int timeout_s)
{
    auto c = std::make_unique<httplib::Client>("127.0.0.1", port);
    c->set_keep_alive(true);
    c->set_tcp_nodelay(true);
    c->set_connection_timeout(timeout_s, 0);
    c->set_read_timeout(timeout_s, 0);
    c->set_write_timeout(timeout_s, 0);
    return c;
}

// Why sessions could not be opened: the answer's status, or the client's error.
std::mutex open_failures_mutex;
std::map<std::string, int> open_failures;

std::string open_session(httplib::Client &c, const std::string &object)
{
    auto r = c.Post("/v1/sessions", json{{"object", object}}.dump(), "application/json");
    if (!r || r->status != 201) {
        std::lock_guard lock(open_failures_mutex);
        ++open_failures[r ? "status " + std::to_string(r->status) : httplib::to_string(r.error())];
        return {};
    }
    return json::parse(r->body).value("session", "");
}

struct Stats {
    std::vector<double> ms;
    long failures = 0;
    void add(const Stats &o)
    {
        ms.insert(ms.end(), o.ms.begin(), o.ms.end());
        failures += o.failures;
    }
    double pct(double p)
    {
        if (ms.empty()) return 0;
        std::sort(ms.begin(), ms.end());
        return ms[std::min(ms.size() - 1, static_cast<std::size_t>(p * static_cast<double>(ms.size())))];
    }
};

// One address flooding the server with connections: `idle` that send
// nothing and `slow` that send a byte of a request head a second. What the
// server closes is opened again, every 100 ms, until stop.
class Flood {
public:
    Flood(int port, int idle, int slow) : port_(port), idle_(idle), slow_(slow)
    {
        if (idle + slow > 0) thread_ = std::thread([this] { run(); });
    }
    ~Flood()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (auto &c : conns_) ::close(c.fd);
    }
    void report() const
    {
        std::printf("  flood from 127.0.0.2: %d idle and %d slow wanted; %ld connections opened, %ld closed by the "
                    "server; %d open at the end\n",
                    idle_, slow_, opened_.load(), closed_.load(), open_.load());
    }

private:
    struct Conn {
        int fd = -1;
        bool slow = false;
        std::size_t sent = 0;
    };
    int open_one()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            ::close(fd);
            return -1;
        }
        a.sin_port = htons(static_cast<std::uint16_t>(port_));
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);  // in progress; the server sees it soon
        ++opened_;
        return fd;
    }
    void run()
    {
        const std::string head = "GET /v1/health HTTP/1.1\r\nHost: x\r\nX-Slow: ";
        auto last_drip = Clock::now();
        while (!stop_) {
            // Gone: what the server closed (or refused) is seen as readable with no data.
            for (auto &c : conns_) {
                if (c.fd < 0) continue;
                pollfd p{c.fd, POLLIN, 0};
                char b[256];
                if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR) || ::recv(c.fd, b, sizeof b, 0) <= 0)) {
                    ::close(c.fd);
                    c.fd = -1;
                    ++closed_;
                }
            }
            std::erase_if(conns_, [](const Conn &c) { return c.fd < 0; });
            int slow_now = 0;
            for (const auto &c : conns_) slow_now += c.slow;
            for (int i = static_cast<int>(conns_.size()) - slow_now; i < idle_ && !stop_; ++i)
                if (const int fd = open_one(); fd >= 0) conns_.push_back({fd, false, 0});
            for (int i = slow_now; i < slow_ && !stop_; ++i)
                if (const int fd = open_one(); fd >= 0) conns_.push_back({fd, true, 0});
            if (ms_since(last_drip) >= 1000) {
                last_drip = Clock::now();
                for (auto &c : conns_)
                    if (c.slow && ::send(c.fd, head.data() + (c.sent % head.size()), 1, MSG_NOSIGNAL) == 1) ++c.sent;
            }
            open_ = static_cast<int>(conns_.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    int port_, idle_, slow_;
    std::vector<Conn> conns_;
    std::atomic<bool> stop_{false};
    std::atomic<long> opened_{0}, closed_{0};
    std::atomic<int> open_{0};
    std::thread thread_;
};

void print_stats(const char *what, Stats s, double seconds)
{
    std::printf("    %-22s %7zu ok %5ld failed %8.0f req/s  p50 %7.2f  p95 %7.2f  p99 %7.2f  max %8.2f ms\n", what,
                s.ms.size(), s.failures, static_cast<double>(s.ms.size()) / seconds, s.pct(0.5), s.pct(0.95),
                s.pct(0.99), s.pct(1.0));
}

// The system's count of connections dropped because a listen queue was full
// (TcpExt ListenOverflows): loopback, so this run's server's and anyone's.
long listen_overflows()
{
    std::FILE *f = std::fopen("/proc/net/netstat", "r");
    if (!f) return -1;
    char names[8192], values[8192];
    long found = -1;
    while (std::fgets(names, sizeof names, f) && std::fgets(values, sizeof values, f)) {
        if (std::strncmp(names, "TcpExt:", 7) != 0) continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value)
            if (name == "ListenOverflows") found = std::atol(value.c_str());
    }
    std::fclose(f);
    return found;
}

// A process's resident memory and its peak, in KiB (VmRSS, VmHWM).
std::pair<long, long> memory_of(pid_t pid)
{
    std::FILE *f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    long rss = 0, peak = 0;
    if (!f) return {0, 0};
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) rss = std::atol(line + 6);
        if (std::strncmp(line, "VmHWM:", 6) == 0) peak = std::atol(line + 6);
    }
    std::fclose(f);
    return {rss, peak};
}

// N clients, each with its own keep-alive connection and sessions, calling in
// a loop for the given time: the department statement, the salesman
// statement, the plan records, and now and then a health check. With
// `planners` each client is a running module: two connections, each with its
// session (the company object's and the plan object's), as the module's two
// remote connections hold them. They come in over `ramp_ms` (default 5 ms
// apart).
void concurrent_clients(int port, pid_t server_pid, int n, double seconds, double think_ms, bool planners,
                        double ramp_ms, bool in_step)
{
    std::atomic<int> ready{0}, served{0}, unopened{0};
    std::atomic<bool> go{false};
    std::mutex go_mutex;
    std::condition_variable go_cv;
    std::vector<Stats> dept(n), sales(n), plan(n), health(n);
    std::vector<std::thread> threads;
    Clock::time_point start;
    for (int i = 0; i < n; ++i) {
        threads.emplace_back([&, i] {
            // The planners come in over a second or so, not all in one instant.
            std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(
                ramp_ms >= 0 ? ramp_ms * i / std::max(1, n) : 5.0 * i));
            auto c = client(port, 15);
            auto second = planners ? client(port, 15) : nullptr;
            auto &plan_client = planners ? *second : *c;
            const std::string company = open_session(*c, kCompany);
            const std::string cust = open_session(plan_client, kCust);
            if (company.empty() || cust.empty()) ++unopened;
            // One call before the clock starts, so that the figures are the
            // steady state and not the opening of the pool's connections.
            if (!company.empty())
                c->Post(("/v1/sessions/" + company + "/providers/dsp_temp/records").c_str(),
                        json{{"commandText", department_statement()}}.dump(), "application/json");
            ++ready;
            {
                // Asleep until the start: a thousand clients polling would starve the server.
                std::unique_lock lock(go_mutex);
                go_cv.wait(lock, [&] { return go.load(); });
            }
            const auto end = start + std::chrono::duration<double>(seconds);
            // Planners at a planner's pace do not all click in the same
            // instant: each begins somewhere within the first pause
            // (--in-step keeps them starting together, the worst case).
            if (think_ms > 0 && !in_step)
                std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(
                    think_ms * static_cast<double>((i * 7919) % std::max(1, n)) / std::max(1, n)));
            bool any = false;
            const std::string records = "/v1/sessions/" + company + "/providers/dsp_temp/records";
            const std::string plan_path = "/v1/sessions/" + cust + "/providers/dsp_xstyzb02cys/records";
            const std::string dept_body = json{{"commandText", department_statement()}}.dump();
            const std::string sales_body = json{{"commandText", salesman_statement()}}.dump();
            for (int k = 0; Clock::now() < end; ++k) {
                auto call = [&](Stats &st, auto &&f) {
                    const auto t = Clock::now();
                    auto r = f();
                    if (r && r->status / 100 == 2) {
                        st.ms.push_back(ms_since(t));
                        if (&st == &dept[i]) any = true;
                    } else {
                        ++st.failures;
                    }
                };
                call(dept[i], [&] { return c->Post(records.c_str(), dept_body, "application/json"); });
                call(sales[i], [&] { return c->Post(records.c_str(), sales_body, "application/json"); });
                if (k % 4 == 0) call(plan[i], [&] { return plan_client.Post(plan_path.c_str(), "{}", "application/json"); });
                if (k % 8 == 0) call(health[i], [&] { return c->Get("/v1/health"); });
                if (think_ms > 0) {
                    // Spread the pauses so the clients do not march in step.
                    const double f = 0.5 + static_cast<double>((i * 7919 + k * 104729) % 1000) / 1000.0;
                    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(think_ms * f));
                }
            }
            if (any) ++served;
            if (!company.empty()) c->Delete(("/v1/sessions/" + company).c_str());
            if (!cust.empty()) plan_client.Delete(("/v1/sessions/" + cust).c_str());
        });
    }
    const long overflows = listen_overflows();
    const auto setup = Clock::now();
    while (ready < n && ms_since(setup) < 60000) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const double setup_ms = ms_since(setup);
    const auto connected = memory_of(server_pid);
    start = Clock::now();
    {
        std::lock_guard lock(go_mutex);
        go = true;
    }
    go_cv.notify_all();
    for (auto &t : threads) t.join();
    const auto after = memory_of(server_pid);
    const double took = ms_since(start) / 1000.0;
    Stats d, s, p, h;
    for (int i = 0; i < n; ++i) {
        d.add(dept[i]);
        s.add(sales[i]);
        p.add(plan[i]);
        h.add(health[i]);
    }
    std::printf("  %d clients: %d served (answered the department statement), %d could not open their sessions, setup %.0f ms, %.1f s\n", n,
                served.load(), unopened.load(), setup_ms, took);
    std::printf("  listen queue overflows meanwhile: %ld; server RSS with every client connected %.1f MiB, at the end "
                "%.1f MiB, peak %.1f MiB\n",
                listen_overflows() - overflows, static_cast<double>(connected.first) / 1024.0,
                static_cast<double>(after.first) / 1024.0, static_cast<double>(after.second) / 1024.0);
    {
        std::lock_guard lock(open_failures_mutex);
        for (const auto &[why, count] : open_failures) std::printf("  sessions not opened: %d (%s)\n", count, why.c_str());
        open_failures.clear();
    }
    print_stats("department statement", d, took);
    print_stats("salesman statement", s, took);
    print_stats("plan records", p, took);
    print_stats("health", h, took);
}

// One planner holds a transaction that deleted a salesman's plan rows;
// 50 others apply a change to one of those rows and wait for the lock.
// Meanwhile: health checks, and then the holder's rollback.
void lock_holder(int port, double hold_seconds)
{
    auto holder = client(port, 10);
    const std::string company = open_session(*holder, kCompany);
    const std::string month = appserver::month_key_from_today(0);
    auto plan_client = client(port, 30);
    const std::string cust = open_session(*plan_client, kCust);
    auto rows = plan_client->Post(("/v1/sessions/" + cust + "/providers/dsp_xstyzb02cys/records").c_str(), "{}",
                                  "application/json");
    if (!rows || rows->status != 200 || company.empty()) {
        std::printf("  lock holder: cannot set up (%d)\n", rows ? rows->status : -1);
        return;
    }
    // The packet: fields, rows, row ids; find a row of salesman 0101 in 01 this month.
    const json packet = json::parse(rows->body);
    json target;
    const auto &fields = packet.at("fields");
    auto index_of = [&](const char *name) {
        for (std::size_t i = 0; i < fields.size(); ++i)
            if (fields[i].at("name") == name) return i;
        return fields.size();
    };
    const auto mi = index_of("NYUE00"), di = index_of("CKDM00"), si = index_of("RYDM00"), qi = index_of("ZBSL00");
    const auto &data = packet.at("rows");
    for (std::size_t r = 0; r < data.size(); ++r)
        if (data[r][mi] == month && data[r][di] == "01" && data[r][si] == "0101") {
            json original = json::object();
            original["ZBSL00"] = data[r][qi];
            target = json{{"kind", "modify"},
                          {"rowId", packet.at("rowIds")[r]},
                          {"values", {{"ZBSL00", 7}}},
                          {"original", original}};
            break;
        }
    if (target.is_null()) {
        std::printf("  lock holder: no plan row of 0101 this month\n");
        return;
    }
    const std::string base = "/v1/sessions/" + company;
    holder->Post((base + "/methods/CompanydbTranStart").c_str(), "{}", "application/json");
    auto del = holder->Post((base + "/providers/dsp_temp/execute").c_str(),
                            json{{"commandText", "DELETE XSTYZB02 WHERE NYUE00='" + month +
                                                     "' And Ckdm00='01' And Rydm00='0101'"}}
                                .dump(),
                            "application/json");
    std::printf("  lock holder: delete in its transaction: %d\n", del ? del->status : -1);

    constexpr int kWaiters = 50;
    std::vector<std::thread> waiters;
    std::mutex m;
    std::vector<double> refused_after, applied_after;
    long no_answer = 0;
    std::string first_refusal;
    const std::string apply_body = json{{"delta", json::array({target})}, {"maxErrors", 0}}.dump();
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            auto c = client(port, 40);
            const std::string s = open_session(*c, kCust);
            const auto t = Clock::now();
            auto r = c->Post(("/v1/sessions/" + s + "/providers/dsp_xstyzb02cys/apply").c_str(), apply_body,
                             "application/json");
            const double took = ms_since(t);
            std::lock_guard lock(m);
            if (!r) ++no_answer;
            else if (r->status == 200 && json::parse(r->body).value("errorCount", 0) == 0) applied_after.push_back(took);
            else {
                refused_after.push_back(took);
                if (first_refusal.empty()) first_refusal = std::to_string(r->status) + " " + r->body.substr(0, 160);
            }
            c->Delete(("/v1/sessions/" + s).c_str());
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Stats health, reads;
    auto hc = client(port, 5);
    // A planner reading what needs no lock meanwhile.
    auto reader = client(port, 30);
    const std::string reader_session = open_session(*reader, kCompany);
    const std::string read_path = "/v1/sessions/" + reader_session + "/providers/dsp_temp/records";
    const std::string read_body = json{{"commandText", department_statement()}}.dump();
    const auto hold_start = Clock::now();
    while (ms_since(hold_start) < hold_seconds * 1000) {
        auto t = Clock::now();
        auto r = hc->Get("/v1/health");
        if (r && r->status == 200) health.ms.push_back(ms_since(t));
        else ++health.failures;
        t = Clock::now();
        r = reader->Post(read_path.c_str(), read_body, "application/json");
        if (r && r->status == 200) reads.ms.push_back(ms_since(t));
        else ++reads.failures;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    print_stats("health while waiting", health, hold_seconds);
    print_stats("reads while waiting", reads, hold_seconds);
    const auto t = Clock::now();
    auto rb = holder->Post((base + "/methods/CompanydbRollback").c_str(), "{}", "application/json");
    if (rb) std::printf("  holder's rollback: %d after %.1f ms\n", rb->status, ms_since(t));
    else std::printf("  holder's rollback: no answer within %.0f ms\n", ms_since(t));
    for (auto &w : waiters) w.join();
    auto span = [](std::vector<double> v) {
        if (v.empty()) return std::string("-");
        std::sort(v.begin(), v.end());
        char b[64];
        std::snprintf(b, sizeof b, "%.0f..%.0f ms", v.front(), v.back());
        return std::string(b);
    };
    std::printf("  waiters: %zu applied (%s), %zu refused (%s), %ld no answer\n", applied_after.size(),
                span(applied_after).c_str(), refused_after.size(), span(refused_after).c_str(), no_answer);
    if (!first_refusal.empty()) std::printf("  first refusal: %s\n", first_refusal.c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    bool pg = false;
    double seconds = 3, hold = 5, think = 0;
    std::vector<int> counts = {8, 64, 200};
    int flood_idle = 0, flood_slow = 0;
    bool planners = false, no_lock_holder = false, in_step = false;
    double ramp = -1;
    std::vector<std::string> server_args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--pg") pg = true;
        else if (a == "--seconds" && i + 1 < argc) seconds = std::atof(argv[++i]);
        else if (a == "--hold" && i + 1 < argc) hold = std::atof(argv[++i]);
        else if (a == "--think" && i + 1 < argc) think = std::atof(argv[++i]);
        else if (a == "--planners") planners = true;
        else if (a == "--in-step") in_step = true;
        else if (a == "--no-lock-holder") no_lock_holder = true;
        else if (a == "--ramp" && i + 1 < argc) ramp = std::atof(argv[++i]);
        else if (a == "--flood" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%d,%d", &flood_idle, &flood_slow) != 2) flood_idle = flood_slow = 0;
        }
        else if (a == "--clients" && i + 1 < argc) {
            counts.clear();
            std::stringstream in(argv[++i]);
            for (std::string n; std::getline(in, n, ',');) counts.push_back(std::atoi(n.c_str()));
        } else if (a == "--") {
            server_args.assign(argv + i + 1, argv + argc);
            break;
        } else {
            std::fprintf(stderr, "usage: load_bench [--pg] [--seconds S] [--hold S] [--clients 8,64,200] [--think MS] [--planners] [--in-step] "
                                 "[--ramp MS] [--no-lock-holder] [--flood IDLE,SLOW] [-- ARGS]\n");
            return 2;
        }
    }
    if (pg && !testsupport::PgDb::available()) {
        std::fprintf(stderr, "load_bench: --pg needs SALEPLAN_TEST_PG\n");
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
    std::printf("load_bench on %s, %s, server arguments:", pg ? "PostgreSQL" : "SQLite",
                think > 0 ? ("clients pausing about " + std::to_string(static_cast<int>(think)) + " ms between rounds").c_str()
                          : "clients calling back to back");
    for (const auto &a : server_args) std::printf(" %s", a.c_str());
    std::printf("\n");
    // The flood and the clients need a descriptor each.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    for (int n : counts) {
        testsupport::ServerProcess server(cs, server_args);
        Flood flood(server.port(), flood_idle, flood_slow);
        if (flood_idle + flood_slow > 0) std::this_thread::sleep_for(std::chrono::seconds(2));  // the flood stands
        concurrent_clients(server.port(), server.pid(), n, seconds, think, planners, ramp, in_step);
        flood.report();
    }
    if (!no_lock_holder) {
        testsupport::ServerProcess server(cs, server_args);
        lock_holder(server.port(), hold);
    }
    return 0;
}
