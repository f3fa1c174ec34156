// The /v1 API over real loopback HTTP: every call, every error answer, a
// client that vanishes mid-transaction, a database that cannot be opened, and
// the vendrix-server program itself.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "app_server.h"
#include "database_setup.h"
#include "http_front_end.h"
#include "contract.h"
#include "front_end_options.h"
#include "server_limits.h"
#include "backend_test.h"
#include "module_statements.h"
#include "schema.h"
#include "server_text.h"

namespace {

using nlohmann::json;

struct Answer {
    int status = 0;
    json body;
};

class Http {
public:
    explicit Http(int port) : client_("127.0.0.1", port) { client_.set_read_timeout(30); }
    Answer post(const std::string &path, const std::string &body)
    {
        return answer(client_.Post(path.c_str(), body, "application/json"));
    }
    Answer post(const std::string &path, const json &body) { return post(path, body.dump()); }
    Answer del(const std::string &path) { return answer(client_.Delete(path.c_str())); }
    Answer get(const std::string &path) { return answer(client_.Get(path.c_str())); }
    std::string open(const std::string &object)
    {
        auto a = post("/v1/sessions", json{{"object", object}});
        EXPECT_EQ(a.status, 201) << a.body;
        return a.body.value("session", "");
    }

private:
    static Answer answer(const httplib::Result &r)
    {
        if (!r) {
            ADD_FAILURE() << "no answer: " << httplib::to_string(r.error());
            return {};
        }
        Answer a{r->status, json()};
        if (!r->body.empty()) a.body = json::parse(r->body);
        return a;
    }
    httplib::Client client_;
};

std::string error_of(const Answer &a) { return wire::error_from_json(a.body).value_or("<no error message>"); }

class HttpApi : public apptest::BackendTest {
protected:
    bool demo() const override { return true; }
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        server_ = std::make_unique<appserver::AppServer>(server_cs(), std::chrono::seconds(0));
        front_ = std::make_unique<appserver::HttpFrontEnd>(*server_, "127.0.0.1", 0);
        front_->start();
        http_ = std::make_unique<Http>(front_->port());
    }
    void TearDown() override
    {
        http_.reset();
        front_.reset();
        server_.reset();
    }
    std::string provider_call(const std::string &s, const std::string &provider, const std::string &call)
    {
        return "/v1/sessions/" + s + "/providers/" + provider + "/" + call;
    }
    Answer records(const std::string &s, const std::string &sql)
    {
        return http_->post(provider_call(s, "dsp_temp", "records"), json{{"commandText", sql}});
    }
    Answer execute(const std::string &s, const std::string &sql)
    {
        return http_->post(provider_call(s, "dsp_temp", "execute"), json{{"commandText", sql}});
    }
    Answer method(const std::string &s, const std::string &name)
    {
        return http_->post("/v1/sessions/" + s + "/methods/" + name, std::string());
    }
    // The server still answers an ordinary call after whatever came before.
    void expect_still_serving()
    {
        const auto s = http_->open(contract::kCompanyInfoObject);
        auto a = records(s, apptest::department_statement());
        EXPECT_EQ(a.status, 200);
        EXPECT_EQ(wire::packet_from_json(a.body).rows.size(), 4u);
        EXPECT_EQ(http_->del("/v1/sessions/" + s).status, 204);
    }

    std::unique_ptr<appserver::AppServer> server_;
    std::unique_ptr<appserver::HttpFrontEnd> front_;
    std::unique_ptr<Http> http_;
};
BACKEND_TEST_SUITE(HttpApi);

TEST_P(HttpApi, EveryCallAnswersWithItsStatusAndBody)
{
    auto health = http_->get("/v1/health");
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.body, (json{{"status", "ok"}, {"database", postgres() ? "postgresql" : "sqlite"}}));

    auto opened = http_->post("/v1/sessions", json{{"object", contract::kCompanyInfoObject},
                                                   {"clsid", contract::kCompanyInfoClassId}});
    ASSERT_EQ(opened.status, 201);
    const std::string s = opened.body.at("session");

    auto list = records(s, apptest::department_statement());
    ASSERT_EQ(list.status, 200);
    const auto packet = wire::packet_from_json(list.body);
    ASSERT_EQ(packet.rows.size(), 4u);
    EXPECT_EQ(packet.rows[0][1], wire::Value(std::string("城东访销部")));
    EXPECT_FALSE(list.body.contains("rowIds"));

    EXPECT_EQ(method(s, "CompanydbTranStart").body, json::object());
    auto changed = execute(s, apptest::delete_statement(appserver::month_key_from_today(0), "01", "0102"));
    EXPECT_EQ(changed.status, 200);
    EXPECT_EQ(changed.body, (json{{"rowsAffected", 6}}));
    auto committed = method(s, "CompanydbTranCommit");
    EXPECT_EQ(committed.status, 200);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE RYDM00='0102' AND NYUE00='" + appserver::month_key_from_today(0) + "'"), "0");

    const std::string cust = http_->open(contract::kCustObject);
    auto plan = http_->post(provider_call(cust, "dsp_xstyzb02cys", "records"), std::string());
    ASSERT_EQ(plan.status, 200);
    const auto rows = wire::packet_from_json(plan.body);
    ASSERT_FALSE(rows.row_ids.empty());
    wire::Change change{wire::ChangeKind::Modify, rows.row_ids[0], {{"ZBSL00", rows.rows[0][4]}}, {{"ZBSL00", 42.0}}};
    auto applied = http_->post(provider_call(cust, "dsp_xstyzb02cys", "apply"),
                               json{{"maxErrors", 0}, {"delta", wire::delta_to_json({change})}});
    EXPECT_EQ(applied.status, 200);
    EXPECT_EQ(wire::apply_result_from_json(applied.body).error_count, 0);
    EXPECT_EQ(scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE ROWID00=" + std::to_string(rows.row_ids[0])), "42");

    // The same change again finds the row changed: refused, counted, explained.
    auto stale = http_->post(provider_call(cust, "dsp_xstyzb02cys", "apply"),
                             json{{"maxErrors", 0}, {"delta", wire::delta_to_json({change})}});
    EXPECT_EQ(stale.status, 200);
    const auto refused = wire::apply_result_from_json(stale.body);
    EXPECT_EQ(refused.error_count, 1);
    ASSERT_EQ(refused.errors.size(), 1u);
    EXPECT_EQ(refused.errors[0].row_id, rows.row_ids[0]);

    auto closed = http_->del("/v1/sessions/" + s);
    EXPECT_EQ(closed.status, 204);
    EXPECT_EQ(server_->session_count(), 1u);
}

TEST_P(HttpApi, ThePlanProviderServesTheMonthItIsGivenAndRefusesOtherParameters)
{
    exec("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00) VALUES ('199901',1,'1','x',1,'02','0201')");
    const std::string cust = http_->open(contract::kCustObject);
    const std::string records = provider_call(cust, "dsp_xstyzb02cys", "records");
    const auto all = http_->post(records, json{{"commandText", ""}});
    ASSERT_EQ(all.status, 200);
    const std::string month = appserver::month_key_from_today(0);
    const auto one = http_->post(records, json{{"commandText", ""}, {"params", {{"NYUE00", month}}}});
    ASSERT_EQ(one.status, 200);
    const wire::DataPacket every = wire::packet_from_json(all.body), of_month = wire::packet_from_json(one.body);
    std::size_t in_month = 0;
    for (const auto &row : every.rows) in_month += row[0] == wire::Value(month);
    ASSERT_GT(in_month, 0u);
    EXPECT_LT(in_month, every.rows.size());
    EXPECT_EQ(of_month.rows.size(), in_month);
    for (const auto &row : of_month.rows) EXPECT_EQ(row[0], wire::Value(month));

    for (const json &params : {json{{"CKDM00", "01"}}, json{{"NYUE00", 202612}}, json::array({month})}) {
        SCOPED_TRACE(params.dump());
        const auto refused = http_->post(records, json{{"commandText", ""}, {"params", params}});
        EXPECT_EQ(refused.status, 400);
        EXPECT_TRUE(refused.body.contains("error"));
    }
    const std::string info = http_->open(contract::kCompanyInfoObject);
    const auto temp = http_->post(provider_call(info, "dsp_temp", "records"),
                                  json{{"commandText", "SELECT * FROM XSTYXSZB WHERE NYUE00='" + month + "'"},
                                       {"params", {{"NYUE00", month}}}});
    EXPECT_EQ(temp.status, 400);
    EXPECT_NE(temp.body.value("error", "").find("dsp_temp takes no parameters"), std::string::npos) << temp.body.dump();
}

TEST_P(HttpApi, UnknownNamesAnswer404)
{
    EXPECT_EQ(http_->post("/v1/sessions", json{{"object", "VendrixServer.CoUnknown"}}).status, 404);
    const std::string s = http_->open(contract::kCompanyInfoObject);
    EXPECT_EQ(records("0123456789abcdef", "SELECT 1").status, 404);
    EXPECT_EQ(http_->del("/v1/sessions/0123456789abcdef").status, 404);
    EXPECT_EQ(method("0123456789abcdef", "CompanydbTranStart").status, 404);
    auto provider = http_->post(provider_call(s, "dsp_nothing", "records"), json{{"commandText", "SELECT 1"}});
    EXPECT_EQ(provider.status, 404);
    EXPECT_NE(error_of(provider).find("dsp_nothing"), std::string::npos);
    auto unknown_method = method(s, "CompanydbDropEverything");
    EXPECT_EQ(unknown_method.status, 404);
    EXPECT_NE(error_of(unknown_method).find("CompanydbDropEverything"), std::string::npos);
    EXPECT_EQ(http_->get("/v1/nowhere").status, 404);
    expect_still_serving();
}

TEST_P(HttpApi, EveryErrorAnswerCarriesItsCodeAfterItsMessage)
{
    const std::string s = http_->open(contract::kCompanyInfoObject);
    httplib::Client client("127.0.0.1", front_->port());
    namespace code = contract::error;
    // The second generation of one plan breaks the plan's unique key.
    const std::string generate =
        json{{"commandText", apptest::generation_statement(appserver::month_key_from_today(0), "01", "0103")}}.dump();
    const struct {
        const char *method;
        std::string path, body;
        int status;
        const char *code;
    } cases[] = {
        {"POST", "/v1/sessions/0123456789abcdef/methods/CompanydbTranStart", "", 404, code::kSessionGone},
        {"POST", "/v1/sessions/" + s + "/methods/CompanydbNothing", "", 404, code::kNotFound},
        {"GET", "/v1/nowhere", "", 404, code::kNotFound},
        {"POST", "/v1/sessions/" + s + "/providers/dsp_temp/records", R"({"commandText":"SELECT 1"})", 403,
         code::kStatementNotAllowed},
        {"POST", "/v1/sessions/" + s + "/providers/dsp_temp/records", "{", 400, code::kBadRequest},
        {"POST", "/v1/sessions/" + s + "/providers/dsp_temp/execute", generate, 200, nullptr},
        {"POST", "/v1/sessions/" + s + "/providers/dsp_temp/execute", generate, 422, code::kDatabase},
        {"GET", "/v1/" + std::string(9000, 'x'), "", 414, code::kTargetTooLong},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path.substr(0, 80));
        auto r = std::string(c.method) == "GET" ? client.Get(c.path) : client.Post(c.path, c.body, "application/json");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.status);
        if (!c.code) continue;
        const std::string tail = std::string(",\"code\":\"") + c.code + "\"}";
        EXPECT_TRUE(r->body.starts_with("{\"error\":\"")) << r->body;
        EXPECT_TRUE(r->body.ends_with(tail)) << r->body;
    }
}

TEST_P(HttpApi, MalformedOrOversizedRequestsAnswer400)
{
    const std::string s = http_->open(contract::kCompanyInfoObject);
    const std::string cust = http_->open(contract::kCustObject);
    for (const std::string &body : {std::string("{\"commandText\":"), std::string("[1,2]"), std::string("\"text\""),
                                    std::string("{\"commandText\":12}")}) {
        auto a = http_->post(provider_call(s, "dsp_temp", "records"), body);
        EXPECT_EQ(a.status, 400) << body;
        EXPECT_FALSE(error_of(a).empty());
    }
    EXPECT_EQ(http_->post("/v1/sessions", std::string("{\"object\":")).status, 400);
    EXPECT_EQ(http_->post("/v1/sessions", json{{"clsid", contract::kCustClassId}}).status, 400);
    EXPECT_EQ(http_->post("/v1/sessions", json{{"object", contract::kCustObject}, {"clsid", contract::kCompanyInfoClassId}}).status,
              400);
    const std::string apply = provider_call(cust, "dsp_xstyzb02cys", "apply");
    EXPECT_EQ(http_->post(apply, json{{"maxErrors", 0}}).status, 400);
    EXPECT_EQ(http_->post(apply, json{{"maxErrors", "none"}, {"delta", json::array()}}).status, 400);
    EXPECT_EQ(http_->post(apply, json{{"delta", json::array({json{{"kind", "replace"}}})}}).status, 400);
    EXPECT_EQ(http_->post(apply, json{{"delta", json::array({json{{"kind", "modify"}, {"rowId", "x"}}})}}).status, 400);

    const std::string huge = "{\"commandText\":\"" + std::string(17 * 1024 * 1024, 'a') + "\"}";
    auto big = http_->post(provider_call(s, "dsp_temp", "execute"), huge);
    EXPECT_EQ(big.status, 400);
    EXPECT_NE(error_of(big).find("limit"), std::string::npos) << error_of(big);
    expect_still_serving();
}

TEST_P(HttpApi, AStatementTheDatabaseRejectsAnswers422AndOneNotTheModulesAnswers403)
{
    const std::string s = http_->open(contract::kCompanyInfoObject);
    for (const std::string &text : {std::string("DELETE XSTYZB77 WHERE NYUE00='200303'"), std::string("SELEC CKDM00 FROM GSTCKGL0"),
                                    std::string("DROP TABLE XSTYZB01"), std::string("ATTACH DATABASE '/tmp/x.db' AS x"),
                                    std::string("COPY XSTYZB01 TO PROGRAM 'id'"), std::string("PRAGMA table_info(XSTYZB01)"),
                                    apptest::department_statement() + " -- x"}) {
        auto a = execute(s, text);
        EXPECT_EQ(a.status, 403) << text;
        EXPECT_EQ(error_of(a), "statement not allowed");
    }
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB01 WHERE CKDM00='01'") != "0", true);
    exec("DROP TABLE XSTYXSZB");
    // The database's own words stay in the log: the planner reads why in Chinese, and the code.
    auto b = records(s, "SELECT * FROM XSTYXSZB WHERE NYUE00='200303'");
    EXPECT_EQ(b.status, 422);
    EXPECT_EQ(b.body.value("code", ""), contract::error::kDatabase);
    EXPECT_TRUE(error_of(b).starts_with("数据库没有执行")) << error_of(b);
    EXPECT_EQ(appserver::upper(error_of(b)).find("XSTYXSZB"), std::string::npos) << error_of(b);
    expect_still_serving();
}

TEST_P(HttpApi, AClientThatVanishesMidTransactionLeavesNothingBehind)
{
    std::string lost;
    {
        Http client(front_->port());
        lost = client.open(contract::kCompanyInfoObject);
        EXPECT_EQ(client.post("/v1/sessions/" + lost + "/methods/CompanydbTranStart", std::string()).status, 200);
        EXPECT_EQ(client.post(provider_call(lost, "dsp_temp", "execute"),
                              json{{"commandText", apptest::delete_statement(appserver::month_key_from_today(0), "01", "0101")}})
                      .status,
                  200);
        // The client goes away without committing or closing its session.
    }
    // Another client half-sends a request and hangs up.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(front_->port()));
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    const std::string partial = "POST /v1/sessions/" + lost + "/methods/CompanydbTranCommit HTTP/1.1\r\nContent-Length: 50\r\n\r\n{";
    ASSERT_GT(::send(fd, partial.data(), partial.size(), 0), 0);
    ::close(fd);

    // Nothing was committed; the idle sweep closes the session and rolls back.
    const auto other = http_->open(contract::kCompanyInfoObject);
    EXPECT_EQ(wire::packet_from_json(
                  records(other, apptest::existence_statement(appserver::month_key_from_today(0), "01", "0101")).body)
                  .rows.size(),
              6u);
    EXPECT_GE(server_->expire_idle_sessions(), 1u);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE RYDM00='0101' AND NYUE00='" + appserver::month_key_from_today(0) + "'"), "6");
    EXPECT_EQ(method(lost, "CompanydbTranCommit").status, 404);
    expect_still_serving();
}

TEST(HttpUnavailable, ADatabaseThatCannotBeOpenedAnswers503WithoutItsWordsAndTheServerGoesOn)
{
    for (const std::string database :
         {"sqlite3://db=/nonexistent-folder/saleplan.db",
          "postgresql://host=127.0.0.1 port=1 dbname=saleplan user=saleplan_server connect_timeout=3"}) {
        SCOPED_TRACE(database);
        appserver::AppServer server(database);
        appserver::HttpFrontEnd front(server, "127.0.0.1", 0);
        front.start();
        Http http(front.port());
        auto a = http.post("/v1/sessions", json{{"object", contract::kCompanyInfoObject}});
        EXPECT_EQ(a.status, 503);
        EXPECT_EQ(a.body.value("code", ""), contract::error::kUnavailable);
        EXPECT_TRUE(error_of(a).starts_with("无法连接数据库")) << error_of(a);
        for (const char *theirs : {"nonexistent-folder", "127.0.0.1", "saleplan_server", "onnect"})
            EXPECT_EQ(error_of(a).find(theirs), std::string::npos) << error_of(a);
        // A monitor sees it too; the server itself goes on answering.
        auto health = http.get("/v1/health");
        EXPECT_EQ(health.status, 503);
        EXPECT_NE(error_of(health).find("database"), std::string::npos) << error_of(health);
        EXPECT_EQ(http.post("/v1/sessions", json{{"object", contract::kCompanyInfoObject}}).status, 503);
    }
}

// The vendrix-server program: options, --init --demo, and serving.
TEST(ServerProgram, HelpListsTheOptionsAndABadOptionFails)
{
    const std::string exe = testsupport::server_executable();
    FILE *p = ::popen((exe + " --help").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string text;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) text += buf;
    EXPECT_EQ(::pclose(p), 0);
    for (const char *option : {"--listen", "--database", "--init", "--demo", "--session-timeout", "7411", "data/saleplan.db"})
        EXPECT_NE(text.find(option), std::string::npos) << option;
    // The defaults it names are the ones it uses, sized for 1,000 planners
    // (two sessions and two connections each).
    const appserver::ServerLimits limits;
    const appserver::FrontEndOptions front;
    EXPECT_GE(limits.max_sessions, 2000);
    EXPECT_GE(front.max_clients, 2000);
    EXPECT_NE(text.find("(default " + std::to_string(limits.max_sessions) + ":"), std::string::npos) << text;
    EXPECT_NE(text.find("(default " + std::to_string(front.max_clients) + ","), std::string::npos) << text;
    const int status = std::system((exe + " --frobnicate 2>/dev/null").c_str());
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST(ServerProgram, InitDemoCreatesAServedDemoDatabase)
{
    const std::string file = ::testing::TempDir() + "vendrix-program-test-" + std::to_string(::getpid()) + ".db";
    std::remove(file.c_str());
    {
        testsupport::ServerProcess server("sqlite3://db=" + file, {"--init", "--demo"});
        EXPECT_EQ(server.computer_name(), "127.0.0.1:" + std::to_string(server.port()));
        Http http(server.port());
        const auto s = http.open(contract::kCompanyInfoObject);
        auto a = http.post("/v1/sessions/" + s + "/providers/dsp_temp/records",
                           json{{"commandText", "SELECT COUNT(*) SL FROM XSTYZB01 WHERE CKDM00='01' AND NYUE00='" +
                                                    appserver::month_key_from_today(0) + "'"}});
        ASSERT_EQ(a.status, 200);
        EXPECT_EQ(wire::value_to_double(wire::packet_from_json(a.body).rows.at(0).at(0)), 6.0);
        EXPECT_NE(server.output().find("call=records target=dsp_temp"), std::string::npos) << server.output();

        // A statement the database refuses: the planner reads Chinese, the log the database's words.
        testsupport::exec_sql("sqlite3://db=" + file, "DROP TABLE XSTYXSZB");
        auto refused = http.post("/v1/sessions/" + s + "/providers/dsp_temp/records",
                                 json{{"commandText", "SELECT * FROM XSTYXSZB WHERE NYUE00='200303'"}});
        EXPECT_EQ(refused.status, 422);
        EXPECT_EQ(error_of(refused).find("XSTYXSZB"), std::string::npos) << error_of(refused);
        EXPECT_NE(server.output().find("(the database: no such table: XSTYXSZB)"), std::string::npos)
            << server.output();
    }
    for (const char *suffix : {"", "-wal", "-shm"}) std::remove((file + suffix).c_str());
}

// The program's exit status and what it wrote, run until it ends (at most 30 s).
std::pair<int, std::string> run_program(const std::string &arguments)
{
    FILE *p = ::popen(("timeout 30 " + testsupport::server_executable() + " " + arguments + " 2>&1").c_str(), "r");
    std::string text;
    char buf[512];
    while (p && std::fgets(buf, sizeof buf, p)) text += buf;
    const int status = p ? ::pclose(p) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

TEST(ServerProgram, ADatabaseOutOfReachAtStartEndsItBeforeItListens)
{
    struct Case {
        std::string arguments, reason, secret;
    };
    std::vector<Case> cases = {
        {"--database sqlite3://db=/nonexistent-folder/saleplan.db", "does not exist", ""},
        {"--database 'postgresql://host=127.0.0.1 port=1 dbname=saleplan connect_timeout=3'", "refused", ""},
    };
    std::unique_ptr<testsupport::PgDb> pg;
    const std::string wrong = ::testing::TempDir() + "vendrix-wrong-password-" + std::to_string(::getpid());
    if (testsupport::PgDb::available()) {
        pg = std::make_unique<testsupport::PgDb>();
        std::ofstream(wrong) << "not-the-password-4711\n";
        cases.push_back({"--database '" + pg->server_connection_string() + "' --database-password-file " + wrong,
                         "password authentication failed", "not-the-password-4711"});
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments);
        const auto [status, output] = run_program("--listen 127.0.0.1:0 " + c.arguments);
        EXPECT_EQ(status, 1) << output;
        EXPECT_NE(output.find("not started, the database cannot be reached"), std::string::npos) << output;
        EXPECT_NE(output.find(c.reason), std::string::npos) << output;
        EXPECT_EQ(output.find("listening"), std::string::npos) << output;
        if (!c.secret.empty()) EXPECT_EQ(output.find(c.secret), std::string::npos) << output;
    }
    std::remove(wrong.c_str());
}

TEST(ServerProgram, MetricsAreServedOnTheirOwnLoopbackListenerOnly)
{
    const auto [status, output] = run_program("--listen 127.0.0.1:0 --metrics-listen 0.0.0.0:9411");
    EXPECT_EQ(status, 2) << output;
    EXPECT_NE(output.find("loopback"), std::string::npos) << output;

    testsupport::SqliteDb db(true);
    testsupport::ServerProcess server(db.connection_string(), {"--metrics-listen", "127.0.0.1:0"});
    std::smatch m;
    std::string log;
    for (int i = 0; i < 100 && !std::regex_search(log = server.output(), m, std::regex("metrics on http://127\\.0\\.0\\.1:(\\d+)/metrics")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_FALSE(m.empty()) << log;
    EXPECT_EQ(Http(server.port()).get("/v1/health").status, 200);
    httplib::Client metrics("127.0.0.1", std::stoi(m[1]));
    auto r = metrics.Get("/metrics");
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find("vendrix_requests_total{route=\"health\",status=\"200\"}"), std::string::npos) << r->body;
    // Not on the planners' port.
    EXPECT_EQ(Http(server.port()).get("/metrics").status, 404);
}

TEST(PostgresInit, InitNeedsASuperuserAndSaysSo)
{
    if (!testsupport::PgDb::available()) GTEST_SKIP() << "SALEPLAN_TEST_PG is not set: the PostgreSQL run is skipped";
    testsupport::PgDb admin_db;  // a fresh database to create the plain user's database from
    const std::string role = "planner_" + std::to_string(::getpid());
    const std::string db = admin_db.name() + "_plain";
    testsupport::exec_sql(admin_db.connection_string(), "CREATE ROLE " + role + " LOGIN PASSWORD 'plain-role-pw'");
    testsupport::exec_sql(admin_db.connection_string(), "CREATE DATABASE " + db + " OWNER " + role);
    std::string cs = admin_db.connection_string();
    cs.replace(cs.find("dbname=" + admin_db.name()), std::string("dbname=" + admin_db.name()).size(), "dbname=" + db);
    const auto user = cs.find("user=");
    if (user != std::string::npos) cs.erase(user, cs.find(' ', user) == std::string::npos ? std::string::npos : cs.find(' ', user) - user + 1);
    cs += " user=" + role + " password=plain-role-pw";
    std::string message;
    try {
        appserver::init_database(cs, false);
    } catch (const appserver::ServerError &e) {
        message = e.what();
    }
    EXPECT_NE(message.find("superuser"), std::string::npos) << message;
    // Nothing of the failed --init stayed: the tables were rolled back with it.
    EXPECT_TRUE(testsupport::query_sql(cs, "SELECT 1 FROM pg_tables WHERE tablename='xstyzb02'").empty());
    testsupport::exec_sql(admin_db.connection_string(), "DROP DATABASE " + db + " WITH (FORCE)");
    testsupport::exec_sql(admin_db.connection_string(), "DROP ROLE " + role);
}

}  // namespace
