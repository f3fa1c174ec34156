// GET /metrics: the Prometheus text read back line by line, its counters
// moved by the calls that were made, and its listener on loopback only.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "app_server.h"
#include "contract.h"
#include "http_front_end.h"
#include "metrics.h"
#include "module_statements.h"
#include "server_fixture.h"

namespace {

using nlohmann::json;

// The samples of an exposition text by their name and labels as written
// ("vendrix_sessions", "vendrix_refusals_total{reason=\"busy\"}"). Every
// line must be a HELP, a TYPE or a sample of a family typed before it.
struct Scrape {
    std::map<std::string, double> samples;
    std::map<std::string, std::string> types;
    double operator[](const std::string &key) const
    {
        auto it = samples.find(key);
        return it == samples.end() ? 0 : it->second;
    }
};

Scrape parse(const std::string &text)
{
    static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) \S.*)");
    static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram))");
    static const std::regex sample(
        R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*"(?:,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*")*\})? ([-+]?(?:[0-9.]+(?:e[-+]?[0-9]+)?|Inf)))");
    Scrape s;
    std::set<std::string> helped;
    std::istringstream in(text);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, help)) {
            helped.insert(m[1]);
        } else if (std::regex_match(line, m, type)) {
            EXPECT_TRUE(helped.count(m[1])) << "TYPE before HELP: " << line;
            s.types[m[1]] = m[2];
        } else if (std::regex_match(line, m, sample)) {
            std::string family = m[1];
            for (const char *suffix : {"_bucket", "_sum", "_count"})
                if (!s.types.count(family) && family.ends_with(suffix))
                    family.resize(family.size() - std::string(suffix).size());
            EXPECT_TRUE(s.types.count(family)) << "a sample without its TYPE: " << line;
            EXPECT_FALSE(s.samples.count(m[1].str() + m[2].str())) << "twice: " << line;
            s.samples[m[1].str() + m[2].str()] = std::stod(m[3]);
        } else {
            ADD_FAILURE() << "not a line of the text format: \"" << line << "\"";
        }
    }
    return s;
}

Scrape scrape(int port)
{
    httplib::Client client("127.0.0.1", port);
    auto r = client.Get("/metrics");
    if (!r) {
        ADD_FAILURE() << "no answer from /metrics";
        return {};
    }
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    return parse(r->body);
}

TEST(Metrics, CountersMoveWithTheCallsMadeAndTheTextParses)
{
    testsupport::SqliteDb db(true);
    testsupport::add_account(db.connection_string(), "wang", "planner", "wang-password");
    appserver::AppServer server(db.connection_string());
    appserver::ServerLimits limits;
    limits.max_connections = 1;
    limits.connection_wait = std::chrono::milliseconds(300);
    server.set_limits(limits);
    appserver::FrontEndOptions options;
    options.auth = appserver::AuthMode::Accounts;
    appserver::HttpFrontEnd front(server, "127.0.0.1", 0, options);
    front.start();
    appserver::metrics::MetricsServer metrics(server, "127.0.0.1", 0);
    metrics.start();
    const Scrape before = scrape(metrics.port());

    httplib::Client client("127.0.0.1", front.port());
    auto post = [&](const std::string &path, const json &body) {
        auto r = client.Post(path.c_str(), body.dump(), "application/json");
        return r ? r->status : 0;
    };
    EXPECT_EQ(client.Get("/v1/health")->status, 200);
    EXPECT_EQ(client.Get("/v1/health")->status, 200);
    EXPECT_EQ(post("/v1/login", {{"user", "wang"}, {"password", "not-the-password"}}), 401);
    auto login = client.Post("/v1/login", json{{"user", "wang"}, {"password", "wang-password"}}.dump(), "application/json");
    ASSERT_TRUE(login && login->status == 200);
    client.set_bearer_token_auth(json::parse(login->body).at("token").get<std::string>());
    auto open = [&] {
        auto r = client.Post("/v1/sessions", json{{"object", contract::kCompanyInfoObject}}.dump(), "application/json");
        return r ? json::parse(r->body).value("session", "") : std::string();
    };
    const std::string holder = open(), waiter = open();
    // The holder's transaction keeps the one connection: the other waits, in vain.
    EXPECT_EQ(post("/v1/sessions/" + holder + "/methods/CompanydbTranStart", json::object()), 200);
    EXPECT_EQ(post("/v1/sessions/" + waiter + "/providers/dsp_temp/records",
                   {{"commandText", apptest::department_statement()}}),
              503);
    EXPECT_EQ(post("/v1/sessions/" + holder + "/providers/dsp_temp/records", {{"commandText", "SELECT 1"}}), 403);

    const Scrape after = scrape(metrics.port());
    auto moved = [&](const std::string &key) { return after[key] - before[key]; };
    EXPECT_EQ(moved(R"(vendrix_requests_total{route="health",status="200"})"), 2);
    EXPECT_EQ(moved(R"(vendrix_requests_total{route="login",status="401"})"), 1);
    EXPECT_EQ(moved(R"(vendrix_requests_total{route="records",status="503"})"), 1);
    EXPECT_EQ(moved(R"(vendrix_sign_in_failures_total{reason="wrong_user_or_password"})"), 1);
    EXPECT_EQ(moved(R"(vendrix_refusals_total{reason="busy"})"), 1);
    EXPECT_EQ(moved(R"(vendrix_refusals_total{reason="statement_not_allowed"})"), 1);
    EXPECT_EQ(moved(R"(vendrix_database_connection_waits_total{pool="sessions"})"), 1);
    EXPECT_EQ(moved(R"(vendrix_database_connection_wait_timeouts_total{pool="sessions"})"), 1);
    EXPECT_GE(moved(R"(vendrix_database_connection_wait_seconds_total{pool="sessions"})"), 0.25);
    EXPECT_EQ(after[R"(vendrix_database_connections_in_use{pool="sessions"})"], 1);
    EXPECT_EQ(after[R"(vendrix_database_connections_max{pool="sessions"})"], 1);
    EXPECT_EQ(after["vendrix_sessions"], 2);
    EXPECT_EQ(after.types.at("vendrix_request_duration_seconds"), "histogram");

    // The latency histogram of a route: buckets that only grow, the last one every request.
    double last = 0;
    for (const char *le : {"0.005", "0.01", "0.025", "0.05", "0.1", "0.25", "0.5", "1", "2.5", "5", "10", "30", "+Inf"}) {
        const double n = after[std::string(R"(vendrix_request_duration_seconds_bucket{route="records",le=")") + le + "\"}"];
        EXPECT_GE(n, last) << le;
        last = n;
    }
    EXPECT_EQ(last, after[R"(vendrix_request_duration_seconds_count{route="records"})"]);
    EXPECT_EQ(moved(R"(vendrix_request_duration_seconds_count{route="health"})"), 2);
    EXPECT_GE(after[R"(vendrix_request_duration_seconds_sum{route="records"})"], 0.25);  // the wait is in it
}

TEST(Metrics, ServedOnLoopbackOnlyAndOnlyAtTheirPath)
{
    testsupport::SqliteDb db;
    appserver::AppServer server(db.connection_string());
    for (const auto &[host, allowed] : std::vector<std::pair<std::string, bool>>{
             {"127.0.0.1", true}, {"localhost", true}, {"0.0.0.0", false}, {"10.1.2.3", false}, {"mis.example.com", false}}) {
        SCOPED_TRACE(host);
        EXPECT_EQ(!appserver::metrics::listen_refusal(host).has_value(), allowed);
        appserver::metrics::MetricsServer m(server, host, 0);
        if (allowed) EXPECT_NO_THROW(m.start());
        else EXPECT_THROW(m.start(), appserver::ServerError);
    }
    appserver::metrics::MetricsServer m(server, "127.0.0.1", 0);
    m.start();
    httplib::Client client("127.0.0.1", m.port());
    auto other = client.Get("/v1/health");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 404);
}

// Label values keep their quotes and backslashes escaped.
TEST(Metrics, LabelValuesAreEscaped)
{
    appserver::metrics::count_refusal("odd \"reason\" \\ here");
    const Scrape s = parse(appserver::metrics::exposition());
    EXPECT_EQ(s[R"(vendrix_refusals_total{reason="odd \"reason\" \\ here"})"], 1);
}

}  // namespace
