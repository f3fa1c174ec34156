// Application server throughput on the demo data (SQLite temp file):
// in-process calls, and the same calls over loopback HTTP.
#include <benchmark/benchmark.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "app_server.h"
#include "http_front_end.h"
#include "contract.h"
#include "schema.h"
#include "server_fixture.h"

namespace {

// The caller of the calls below: the anonymous planner, as every caller is
// with --auth none.
const appserver::Caller anyone;

const std::string &remaining_statement()
{
    static const std::string m = appserver::month_key_from_today(0);
    static const std::string sql =
        "Select NYUE00,XHAO00,ZBMC00,SUM(ZBSL00) Zbsl00 FROM (SELECT NYUE00,XHAO00,ZBMC00,ZBSL00 ZBSL00 FROM XSTYZB01 "
        "WHERE NYUE00='" + m + "' And Ckdm00='01' Union all SELECT NYUE00,XHAO00,ZBMC00,NVL(-ZBSL00,0) ZBSL00 FROM "
        "XSTYZB02 WHERE NYUE00='" + m + "' AND Ckdm00='01' and Rydm00<>'0101') Group by Nyue00,Xhao00,Zbmc00";
    return sql;
}

void BM_PlanRecordsInProcess(benchmark::State &state)
{
    testsupport::SqliteDb db(true);
    appserver::AppServer server(db.connection_string());
    const auto s = server.open_session(anyone, contract::kCustObject);
    for (auto _ : state) benchmark::DoNotOptimize(server.get_records(anyone, s, "dsp_xstyzb02cys", ""));
}
BENCHMARK(BM_PlanRecordsInProcess);

void BM_RemainingQuantityInProcess(benchmark::State &state)
{
    testsupport::SqliteDb db(true);
    appserver::AppServer server(db.connection_string());
    const auto s = server.open_session(anyone, contract::kCompanyInfoObject);
    for (auto _ : state) benchmark::DoNotOptimize(server.get_records(anyone, s, "dsp_temp", remaining_statement()));
}
BENCHMARK(BM_RemainingQuantityInProcess);

void BM_RemainingQuantityOverHttp(benchmark::State &state)
{
    testsupport::SqliteDb db(true);
    appserver::AppServer server(db.connection_string());
    appserver::HttpFrontEnd front(server, "127.0.0.1", 0);
    front.start();
    httplib::Client client("127.0.0.1", front.port());
    client.set_tcp_nodelay(true);
    client.set_keep_alive(true);
    auto opened = client.Post("/v1/sessions", R"({"object":"VendrixServer.CoCompanyInfo"})", "application/json");
    const std::string id = nlohmann::json::parse(opened->body).at("session");
    const std::string path = "/v1/sessions/" + id + "/providers/dsp_temp/records";
    const std::string body = nlohmann::json{{"commandText", remaining_statement()}}.dump();
    for (auto _ : state) {
        auto res = client.Post(path.c_str(), body, "application/json");
        if (!res || res->status != 200) state.SkipWithError("the call failed");
        benchmark::DoNotOptimize(res);
    }
}
BENCHMARK(BM_RemainingQuantityOverHttp);

}  // namespace

BENCHMARK_MAIN();
