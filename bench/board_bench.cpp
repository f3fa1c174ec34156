// The department board against a real vendrix-server over loopback HTTP, on
// databases of 20 departments x 10 salesmen x 50 indicators a month with 1
// and with 100 months of history (bench/make_history_db.py makes them; on
// PostgreSQL the same rows are copied into a fresh database of the cluster
// SALEPLAN_TEST_PG names).
//
//   board_bench [--no-pg] [--months 1,100] [--runs 21] [--keep DIR]
//
// PostgreSQL is measured when SALEPLAN_TEST_PG names a reachable cluster (as
// scripts/test starts one) and skipped with a message otherwise.
//
// Opening the board: one records request of dsp_board for department 01 of
// the current month (10 salesmen x 50 indicators = 500 plan rows and the
// details), read into a packet, as the board does it. Saving it: one apply
// request of the plan provider changing all 500 quantities, against the same
// 500 UPDATEs (by row identity) run straight on the database in one
// transaction. The two take turns, sample by sample, each lowering and then
// raising every quantity by one (a raise is checked against what the
// department has left; a lowering is not), so every sample changes all 500.
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "contract.h"
#include "copy_to_postgres.h"
#include "database.h"
#include "server_fixture.h"
#include "wire.h"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

double median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string shell_quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string fmt(const char *format, double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string ms(double v) { return fmt(v < 10 ? "%.2f ms" : "%.1f ms", v); }

// The history database as make_history_db.py makes it (SQLite).
std::string make_sqlite(const std::string &dir, int months)
{
    const std::string file = dir + "/board-" + std::to_string(months) + ".db";
    if (std::filesystem::exists(file)) return file;
    const std::string cmd = "python3 " + shell_quote(HISTORY_DB_SCRIPT) + " --server " +
                            shell_quote(testsupport::server_executable()) + " --months " + std::to_string(months) +
                            " --out " + shell_quote(file) + " >&2";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("making the database failed: " + cmd);
    return file;
}


struct Figures {
    std::string database;
    int months = 0;
    std::vector<double> open, apply_lower, apply_raise, direct_lower, direct_raise;
    std::size_t open_bytes = 0, apply_bytes = 0;
};

json post(httplib::Client &client, const std::string &path, const std::string &body, std::string *raw = nullptr)
{
    auto res = client.Post(path, body, "application/json");
    if (!res) throw std::runtime_error("no answer from the server to " + path);
    if (res->status < 200 || res->status > 299)
        throw std::runtime_error(path + ": HTTP " + std::to_string(res->status) + " " + res->body);
    if (raw) {
        *raw = std::move(res->body);
        return json();
    }
    return json::parse(res->body);
}

// One history size of one database: its server, a session on the customer
// object as the module's, and a connection of its own for the straight updates.
class Subject {
public:
    Subject(const std::string &database, const std::string &cs, const std::string &direct_cs, int months)
        : server_(cs), client_("127.0.0.1", server_.port()), direct_(direct_cs)
    {
        figures.database = database;
        figures.months = months;
        client_.set_keep_alive(true);
        client_.set_tcp_nodelay(true);  // as the module's link
        client_.set_read_timeout(120, 0);
        const std::string session =
            post(client_, contract::kSessionsPath, json{{contract::kObjectKey, contract::kCustObject}}.dump())["session"];
        base_ = std::string(contract::kSessionsPath) + "/" + session + "/providers/";
        // The current month: the newest of the history.
        const std::string month =
            wire::value_to_text(direct_.run("SELECT MAX(NYUE00) FROM XSTYZB02").packet.rows.at(0).at(0));
        open_body_ =
            json{{contract::kParamsKey, {{contract::kMonthParam, month}, {contract::kDepartmentParam, "01"}}}}.dump();
        for (int i = 0; i < 3; ++i) open();  // warm
        board_ = open();
        if (board_.rows.size() != 500 || board_.details.size() != 3)
            throw std::runtime_error("the board of department 01 has " + std::to_string(board_.rows.size()) +
                                     " rows and " + std::to_string(board_.details.size()) + " details, not 500 and 3");
        // Every quantity holds current_; the saves move all 500 between it and one less.
        current_ = high_ = wire::value_to_double(board_.rows[0][4]);
        low_ = high_ - 1;
    }

    // Opening the board: request to packet.
    void sample_open()
    {
        const auto t = Clock::now();
        board_ = open();
        figures.open.push_back(ms_since(t));
    }

    // One round of saves: the apply lowers, the straight updates raise and
    // lower, the apply raises.
    void sample_saves()
    {
        figures.apply_lower.push_back(apply(low_));
        figures.direct_raise.push_back(straight(high_));
        figures.direct_lower.push_back(straight(low_));
        figures.apply_raise.push_back(apply(high_));
    }

    Figures figures;

private:
    wire::DataPacket open()
    {
        std::string text;
        post(client_, base_ + contract::kBoardProvider + "/" + contract::kRecordsCall, open_body_, &text);
        figures.open_bytes = text.size();
        return wire::packet_from_text(text);
    }

    double apply(double next)
    {
        json delta = json::array();
        for (std::size_t i = 0; i < board_.rows.size(); ++i)
            delta.push_back({{"kind", "modify"},
                             {"rowId", board_.row_ids[i]},
                             {"original", {{contract::kQuantityField, current_}}},
                             {"values", {{contract::kQuantityField, next}}}});
        const std::string body = json{{contract::kMaxErrorsKey, 0}, {contract::kDeltaKey, delta}}.dump();
        figures.apply_bytes = body.size();
        const auto t = Clock::now();
        const json answer = post(client_, base_ + contract::kPlanProvider + "/" + contract::kApplyCall, body);
        const double took = ms_since(t);
        if (answer["errorCount"] != 0) throw std::runtime_error("the apply was refused: " + answer.dump());
        current_ = next;
        return took;
    }

    double straight(double next)
    {
        const auto t = Clock::now();
        direct_.begin_write();
        for (wire::RowId id : board_.row_ids) direct_.run("UPDATE XSTYZB02 SET ZBSL00=? WHERE ROWID00=?", {next, id});
        direct_.commit();
        const double took = ms_since(t);
        current_ = next;
        return took;
    }

    testsupport::ServerProcess server_;
    httplib::Client client_;
    appserver::Connection direct_;
    std::string base_, open_body_;
    wire::DataPacket board_;
    double current_ = 0, high_ = 0, low_ = 0;
};

// The sizes of one database side by side, their samples taken in turn, so
// that a change of the machine's speed falls on every size alike.
std::vector<Figures> measure(std::vector<std::unique_ptr<Subject>> &subjects, int runs)
{
    for (int i = 0; i < runs; ++i)
        for (auto &s : subjects) s->sample_open();
    for (auto &s : subjects) s->sample_saves();  // warm
    for (auto &s : subjects) s->figures.apply_lower.clear(), s->figures.apply_raise.clear(),
                                 s->figures.direct_lower.clear(), s->figures.direct_raise.clear();
    for (int i = 0; i < runs; ++i)
        for (auto &s : subjects) s->sample_saves();
    std::vector<Figures> out;
    for (auto &s : subjects) out.push_back(s->figures);
    return out;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<int> months = {1, 100};
    int runs = 21;
    bool pg = true;
    std::string keep;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(a + " needs a value");
            return argv[++i];
        };
        if (a == "--no-pg") pg = false;
        else if (a == "--runs") runs = std::max(1, std::atoi(next().c_str()));
        else if (a == "--keep") keep = next();
        else if (a == "--months") {
            months.clear();
            const std::string list = next();
            for (std::size_t at = 0; at < list.size();) {
                const auto comma = list.find(',', at);
                months.push_back(std::atoi(list.substr(at, comma - at).c_str()));
                at = comma == std::string::npos ? list.size() : comma + 1;
            }
        } else {
            std::fprintf(stderr, "usage: board_bench [--no-pg] [--months 1,100] [--runs 21] [--keep DIR]\n");
            return 2;
        }
    }
    if (pg && !testsupport::PgDb::available()) {
        std::fprintf(stderr, "board_bench: PostgreSQL skipped: SALEPLAN_TEST_PG (a superuser's connection string) "
                             "is not set\n");
        pg = false;
    }
    if (pg) {
        try {
            appserver::Connection probe(std::getenv("SALEPLAN_TEST_PG"));
            probe.run("SELECT 1");
        } catch (const std::exception &e) {
            std::fprintf(stderr, "board_bench: PostgreSQL skipped: no cluster reachable (%s)\n", e.what());
            pg = false;
        }
    }
    std::string dir = keep;
    if (dir.empty()) {
        char pattern[] = "/tmp/board-bench-XXXXXX";
        if (!::mkdtemp(pattern)) return 1;
        dir = pattern;
    }
    std::filesystem::create_directories(dir);

    std::vector<Figures> all;
    try {
        std::vector<std::string> files;
        for (int m : months) files.push_back(make_sqlite(dir, m));
        {
            std::fprintf(stderr, "board_bench: SQLite\n");
            std::vector<std::unique_ptr<Subject>> subjects;
            for (std::size_t i = 0; i < months.size(); ++i) {
                const std::string cs = "sqlite3://db=" + files[i];
                subjects.push_back(std::make_unique<Subject>("SQLite", cs, cs, months[i]));
            }
            for (auto &f : measure(subjects, runs)) all.push_back(std::move(f));
        }
        if (pg) {
            std::vector<std::unique_ptr<testsupport::PgDb>> dbs;
            std::vector<std::unique_ptr<Subject>> subjects;
            for (std::size_t i = 0; i < months.size(); ++i) {
                std::fprintf(stderr, "board_bench: PostgreSQL, %d month(s): copying the rows\n", months[i]);
                dbs.push_back(std::make_unique<testsupport::PgDb>());
                copy_to_postgres(files[i], dbs.back()->connection_string());
                subjects.push_back(std::make_unique<Subject>("PostgreSQL", dbs.back()->connection_string(),
                                                             dbs.back()->connection_string(), months[i]));
            }
            std::fprintf(stderr, "board_bench: PostgreSQL\n");
            for (auto &f : measure(subjects, runs)) all.push_back(std::move(f));
            subjects.clear();  // the servers stop before their databases go
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "board_bench: %s\n", e.what());
        return 1;
    }
    if (keep.empty()) std::filesystem::remove_all(dir);

    std::printf("The board of one department (10 salesmen x 50 indicators, 500 plan rows), median of %d samples\n\n",
                runs);
    std::printf("%-10s | %-6s | %-26s | %-36s | %-36s\n", "database", "months", "open: one request",
                "save 500 cells, lowering: apply / direct", "save 500 cells, raising: apply / direct");
    std::map<std::string, double> open_at_one;
    for (const auto &f : all) {
        const double open = median(f.open);
        if (f.months == months.front()) open_at_one[f.database] = open;
        const double al = median(f.apply_lower), dl = median(f.direct_lower), ar = median(f.apply_raise),
                     dr = median(f.direct_raise);
        std::printf("%-10s | %-6d | %-26s | %-36s | %-36s\n", f.database.c_str(), f.months,
                    (ms(open) + ", " + fmt("%.1f KB", f.open_bytes / 1024.0) + " (" +
                     fmt("%.2fx", open / open_at_one[f.database]) + ")")
                        .c_str(),
                    (ms(al) + " / " + ms(dl) + " = " + fmt("%.2fx", al / dl)).c_str(),
                    (ms(ar) + " / " + ms(dr) + " = " + fmt("%.2fx", ar / dr)).c_str());
    }
    std::printf("\nopen: request to the packet read, with its details (the ratio against %d month(s)); apply: one\n"
                "request of %.1f KB, one transaction, with the allocation rule and the audit records; direct: the\n"
                "same 500 UPDATEs by row identity in one write transaction on the server's own connection class.\n",
                months.front(), all.empty() ? 0.0 : all.front().apply_bytes / 1024.0);
    return 0;
}
