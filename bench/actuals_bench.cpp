// The actuals of one department and month from a large sales table: the
// server's dsp_actuals (in process: session, parameters, time limit, the
// packet) against the view's bare query run straight on the database, on
// SQLite and (with SALEPLAN_TEST_PG or --pg) PostgreSQL. Not a test.
//
//   actuals_bench [--rows N] [--runs N] [--pg CONNECTION]
//
// The sales table, its recommended index and the view are the demo's
// (appserver/db/demo_sales.h); the rows are made by the database itself in
// one statement: 24 months x 40 departments x 10 salesmen x 50 indicators,
// in the order a sales table fills (every department's sales interleaved).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "actuals_view.h"
#include "app_server.h"
#include "contract.h"
#include "database.h"
#include "demo_sales.h"
#include "server_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

double median_ms(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The rows of the sales table, made by the database from a number series.
std::string fill_statement(bool postgres, long long rows)
{
    const std::string columns =
        "SELECT printf('%04d%02d', 2025 + (x % 24) / 12, (x % 24) % 12 + 1), NULL, printf('%02d', (x / 24) % 40 + 1), "
        "printf('%02d%02d', (x / 24) % 40 + 1, (x / 960) % 10 + 1), (x / 9600) % 50 + 1, x % 7 + 1";
    if (postgres)
        return "INSERT INTO XSSJMX01 (NYUE00,XSRQ00,CKDM00,RYDM00,XHAO00,XSSL00) SELECT "
               "to_char(2025 + (x % 24) / 12, 'FM0000') || to_char((x % 24) % 12 + 1, 'FM00'), NULL, "
               "to_char((x / 24) % 40 + 1, 'FM00'), to_char((x / 24) % 40 + 1, 'FM00') || to_char((x / 960) % 10 + 1, 'FM00'), "
               "(x / 9600) % 50 + 1, x % 7 + 1 FROM generate_series(0::bigint, " +
               std::to_string(rows - 1) + ") AS g(x)";
    return "INSERT INTO XSSJMX01 (NYUE00,XSRQ00,CKDM00,RYDM00,XHAO00,XSSL00) WITH RECURSIVE n(x) AS "
           "(SELECT 0 UNION ALL SELECT x + 1 FROM n WHERE x < " +
           std::to_string(rows - 1) + ") " + columns + " FROM n";
}

void run(const char *engine, const std::string &owner_cs, const std::string &server_cs, long long rows, int runs,
         const std::string &grant_to)
{
    std::fprintf(stderr, "%s: filling %lld rows...\n", engine, rows);
    const bool postgres = std::strcmp(engine, "PostgreSQL") == 0;
    auto t = Clock::now();
    {
        appserver::Connection db(owner_cs);
        db.run(appserver::kDemoSalesTable);
        db.run(fill_statement(postgres, rows));
    }
    const double fill = ms_since(t);
    t = Clock::now();
    {
        appserver::Connection db(owner_cs);
        db.run(appserver::kDemoSalesIndex);
        db.run(appserver::kDemoActualsView);
        if (!grant_to.empty()) db.run("GRANT SELECT ON XSSJ0001 TO " + grant_to);
        db.run(postgres ? "VACUUM ANALYZE XSSJMX01" : "ANALYZE");
    }
    const double index = ms_since(t);

    appserver::AppServer server(server_cs);
    {
        appserver::Connection probe(server_cs);
        appserver::install_actuals(server, probe, {appserver::kDemoActualsViewName, std::chrono::seconds(5)});
    }
    const appserver::Caller anyone;
    const std::string session = server.open_session(anyone, contract::kCustObject);
    appserver::Connection bare(server_cs);
    const std::string query = appserver::actuals_query(appserver::kDemoActualsViewName);

    // The same department and month each run, taken in turns so that both
    // see the same state of the machine; a few departments and months.
    std::vector<double> provider, direct;
    std::size_t lines = 0;
    for (int r = 0; r < runs; ++r) {
        const std::string month = "2026" + std::string(r % 2 ? "03" : "11");
        const std::string dept = r % 3 == 0 ? "07" : r % 3 == 1 ? "21" : "38";
        t = Clock::now();
        const wire::DataPacket p =
            server.get_records(anyone, session, contract::kActualsProvider, "",
                               {{contract::kMonthParam, month}, {contract::kDepartmentParam, dept}});
        provider.push_back(ms_since(t));
        lines = p.rows.size();
        if (wire::value_to_text(p.details.at(contract::kActualsStateDetail).rows.at(0).at(0)) != contract::kActualsOk) {
            std::fprintf(stderr, "%s: the provider answered without actuals\n", engine);
            std::exit(1);
        }
        t = Clock::now();
        const auto answer = bare.run(query, {month, dept});
        direct.push_back(ms_since(t));
        if (answer.packet.rows.size() != lines) {
            std::fprintf(stderr, "%s: %zu lines from the provider, %zu from the query\n", engine, lines,
                         answer.packet.rows.size());
            std::exit(1);
        }
    }
    const double a = median_ms(provider), b = median_ms(direct);
    std::printf("%-10s rows %lld  fill %.1f s  index %.1f s  lines %zu  dsp_actuals %.2f ms  bare query %.2f ms  "
                "ratio %.2f  (median of %d)\n",
                engine, rows, fill / 1000, index / 1000, lines, a, b, a / b, runs);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    long long rows = 10'000'000;
    int runs = 21;
    std::string pg = std::getenv("SALEPLAN_TEST_PG") ? std::getenv("SALEPLAN_TEST_PG") : "";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rows") == 0) rows = std::atoll(argv[i + 1]);
        else if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--pg") == 0) pg = argv[i + 1];
    }
    if (rows < 24 * 40 || runs < 1) {
        std::fprintf(stderr, "usage: actuals_bench [--rows N (at least 960)] [--runs N] [--pg CONNECTION]\n");
        return 2;
    }
    appserver::configure_database_library();
    {
        testsupport::SqliteDb db;
        run("SQLite", db.connection_string(), db.connection_string(), rows, runs, "");
    }
    if (!pg.empty()) {
        ::setenv("SALEPLAN_TEST_PG", pg.c_str(), 1);
        testsupport::PgDb db;
        run("PostgreSQL", db.connection_string(), testsupport::server_connection_for(db.connection_string()), rows, runs,
            db.server_role());
    } else {
        std::fprintf(stderr, "PostgreSQL skipped: set SALEPLAN_TEST_PG or pass --pg CONNECTION\n");
    }
    return 0;
}
