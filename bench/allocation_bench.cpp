// Rolling a department of 10 salesmen x 50 indicators forward: one request
// to a vendrix-server process (over loopback HTTP: it reads both months, computes,
// inserts the rows and their audit records in one transaction), against the
// same 500 inserts run straight on the database in one transaction. On
// SQLite always; on PostgreSQL too when SALEPLAN_TEST_PG names a cluster.
#include <benchmark/benchmark.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <memory>

#include "app_server.h"
#include "contract.h"
#include "database.h"
#include "server_fixture.h"

namespace {

constexpr int kSalesmen = 10, kIndicators = 50;
const char *const kLast = "200302", *const kThis = "200303";

// A database with last month's split and this month's department plan.
struct Department {
    explicit Department(bool postgresql)
    {
        if (postgresql) pg = std::make_unique<testsupport::PgDb>();
        else sqlite = std::make_unique<testsupport::SqliteDb>();
        const std::string cs = owner();
        testsupport::exec_sql(cs, "INSERT INTO GSTCKGL0 (CKDM00,CKMC00,WDBJ00) VALUES ('01','城东访销部','F')");
        testsupport::exec_sql(cs, std::string("INSERT INTO XSTYXSZB (NYUE00,XHAO00,ZBMC00) VALUES ('") + kThis + "',1,'x')");
        std::string plans, salesmen, rows;
        for (int i = 1; i <= kIndicators; ++i)
            for (const char *month : {kLast, kThis})
                plans += std::string(plans.empty() ? "" : ",") + "('" + month + "','01'," + std::to_string(i) +
                         ",'1','指标" + std::to_string(i) + "'," + std::to_string(5000 + 7 * i) + ")";
        for (int s = 0; s < kSalesmen; ++s) {
            const std::string code = std::to_string(1000 + s);
            salesmen += std::string(salesmen.empty() ? "" : ",") + "('" + code + "','员" + code + "','Y','01')";
            for (int i = 1; i <= kIndicators; ++i)
                rows += std::string(rows.empty() ? "" : ",") + "('" + kLast + "','01','" + code + "'," +
                        std::to_string(i) + ",'1','指标" + std::to_string(i) + "'," + std::to_string(100 + s * i) + ")";
        }
        testsupport::exec_sql(cs, "INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES " + plans);
        testsupport::exec_sql(cs, "INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES " + salesmen);
        testsupport::exec_sql(cs, "INSERT INTO XSTYZB02 (NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES " + rows);
    }
    std::string owner() const { return pg ? pg->connection_string() : sqlite->connection_string(); }
    std::string server() const { return testsupport::server_connection_for(owner()); }
    void clear() const
    {
        testsupport::exec_sql(owner(), std::string("DELETE FROM XSTYZB02 WHERE NYUE00='") + kThis + "'");
        testsupport::exec_sql(owner(), "DELETE FROM XSTYZBRZ");
    }
    std::unique_ptr<testsupport::SqliteDb> sqlite;
    std::unique_ptr<testsupport::PgDb> pg;
};

bool skip_postgresql(benchmark::State &state, bool postgresql)
{
    if (postgresql && !testsupport::PgDb::available()) {
        state.SkipWithError("SALEPLAN_TEST_PG is not set");
        return true;
    }
    return false;
}

void BM_RollForwardOneRequest(benchmark::State &state)
{
    const bool postgresql = state.range(0) != 0;
    if (skip_postgresql(state, postgresql)) return;
    Department d(postgresql);
    // A real vendrix-server on the same database, as the module reaches it.
    testsupport::ServerProcess server(d.owner());
    httplib::Client client("127.0.0.1", server.port());
    client.set_tcp_nodelay(true);
    client.set_keep_alive(true);
    const auto opened = client.Post("/v1/sessions", R"({"object":"VendrixServer.CoCustObj"})", "application/json");
    const std::string id = nlohmann::json::parse(opened->body).at("session");
    const std::string path = std::string("/v1/sessions/") + id + "/methods/" + contract::kRollForwardMethod;
    const std::string body = nlohmann::json{{"params", {{"NYUE00", kThis}, {"CKDM00", "01"}}}}.dump();
    for (auto _ : state) {
        state.PauseTiming();
        d.clear();
        state.ResumeTiming();
        const auto res = client.Post(path, body, "application/json");
        if (!res || res->status != 200) state.SkipWithError(res ? res->body.c_str() : "no answer");
    }
    state.SetItemsProcessed(state.iterations() * kSalesmen * kIndicators);
}
BENCHMARK(BM_RollForwardOneRequest)->Arg(0)->Arg(1)->ArgName("pg")->Unit(benchmark::kMillisecond);

// A request that does nothing, on the same kind of server: what one round
// trip costs on this machine before any work.
void BM_HealthOneRequest(benchmark::State &state)
{
    Department d(false);
    testsupport::ServerProcess server(d.owner());
    httplib::Client client("127.0.0.1", server.port());
    client.set_tcp_nodelay(true);
    client.set_keep_alive(true);
    for (auto _ : state) {
        const auto res = client.Get("/v1/health");
        if (!res || res->status != 200) state.SkipWithError("no answer");
    }
}
BENCHMARK(BM_HealthOneRequest)->Unit(benchmark::kMillisecond);

// The same call without HTTP: the server's own share of it.
void BM_RollForwardInProcess(benchmark::State &state)
{
    const bool postgresql = state.range(0) != 0;
    if (skip_postgresql(state, postgresql)) return;
    Department d(postgresql);
    appserver::AppServer server(d.server());
    const appserver::Caller anyone;
    const auto session = server.open_session(anyone, contract::kCustObject);
    for (auto _ : state) {
        state.PauseTiming();
        d.clear();
        state.ResumeTiming();
        server.call_method(anyone, session, contract::kRollForwardMethod, {{"NYUE00", kThis}, {"CKDM00", "01"}});
    }
    state.SetItemsProcessed(state.iterations() * kSalesmen * kIndicators);
}
BENCHMARK(BM_RollForwardInProcess)->Arg(0)->Arg(1)->ArgName("pg")->Unit(benchmark::kMillisecond);

// The same rows inserted straight, with their quantities, in one transaction.
void BM_SameInsertsStraight(benchmark::State &state)
{
    const bool postgresql = state.range(0) != 0;
    if (skip_postgresql(state, postgresql)) return;
    Department d(postgresql);
    appserver::Connection db(d.owner());
    for (auto _ : state) {
        state.PauseTiming();
        d.clear();
        state.ResumeTiming();
        db.begin_write();
        for (int s = 0; s < kSalesmen; ++s)
            for (int i = 1; i <= kIndicators; ++i)
                db.run("INSERT INTO XSTYZB02(ZBSL00,NYUE00,XHAO00,ZBLB00,ZBMC00,SPDM00,SPDM01,CKDM00,RYDM00) "
                       "VALUES (?,?,?,?,?,NULL,NULL,?,?)",
                       {double(i * 10), std::string(kThis), double(i), std::string("1"), "指标" + std::to_string(i),
                        std::string("01"), std::to_string(1000 + s)});
        db.commit();
    }
    state.SetItemsProcessed(state.iterations() * kSalesmen * kIndicators);
}
BENCHMARK(BM_SameInsertsStraight)->Arg(0)->Arg(1)->ArgName("pg")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
