// The HTTP link against stand-in servers on loopback: what goes on the wire,
// and how every kind of failure reaches the caller.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fake_servers.h"
#include "remote_connection.h"

namespace {

using nlohmann::json;
using remote::RemoteConnection;
using remote::RemoteError;
using remote_test::FakeApi;
using remote_test::RawServer;

// The message of the RemoteError `f` throws; fails the test when it throws none.
template <class F> std::string error_of(F &&f)
{
    try {
        f();
    } catch (const RemoteError &e) {
        return e.what();
    } catch (const std::exception &e) {
        ADD_FAILURE() << "not a RemoteError: " << e.what();
        return {};
    }
    ADD_FAILURE() << "no error";
    return {};
}

TEST(HttpLink, OpensOneSessionNamingObjectAndClassId)
{
    FakeApi api;
    {
        RemoteConnection conn(remote::company_info_object());
        conn.set_computer_name(api.computer_name());
        EXPECT_EQ(api.sessions_opened(), 0);  // nothing before the first call
        conn.call_method("CompanydbTranStart");
        conn.call_method("CompanydbTranCommit");
        conn.execute("dsp_temp", "delete XSTYZB02 where 1=0");
        EXPECT_EQ(api.sessions_opened(), 1);
        EXPECT_TRUE(api.sessions_closed().empty());

        auto open = api.requests().at(0);
        EXPECT_EQ(open.method, "POST");
        EXPECT_EQ(open.path, "/v1/sessions");
        EXPECT_EQ(json::parse(open.body),
                  (json{{"object", "VendrixServer.CoCompanyInfo"}, {"clsid", "{19D455E5-E340-4D1D-9435-4443515DDE6D}"}}));
    }
    EXPECT_EQ(api.sessions_closed(), (std::vector<std::string>{"s1"}));
}

TEST(HttpLink, CallsUseTheApiPathsAndBodies)
{
    FakeApi api;
    api.set_on_call([](const httplib::Request &req, httplib::Response &res) {
        if (req.path.ends_with("/records"))
            FakeApi::answer(res, 200,
                            R"({"fields":[{"name":"NYUE00","type":"string","size":6},{"name":"ZBSL00","type":"float"}],)"
                            R"("rows":[["202403",12.5],[null,-3]],"rowIds":[41,42]})");
        else if (req.path.ends_with("/execute"))
            FakeApi::answer(res, 200, R"({"rowsAffected":4})");
        else if (req.path.ends_with("/apply"))
            FakeApi::answer(res, 200, R"({"errorCount":1,"errors":[{"rowId":42,"message":"row changed"}]})");
        else
            FakeApi::answer(res, 200, "{}");
    });
    RemoteConnection conn(remote::cust_object());
    conn.set_computer_name(api.computer_name());

    wire::DataPacket p = conn.get_records("dsp_xstyzb02cys", "");
    ASSERT_EQ(p.fields.size(), 2u);
    EXPECT_EQ(p.fields[0], (wire::FieldDef{"NYUE00", wire::FieldType::String, 6}));
    EXPECT_EQ(p.rows.at(0).at(1), wire::Value(12.5));
    EXPECT_TRUE(wire::is_null(p.rows.at(1).at(0)));
    EXPECT_EQ(p.row_ids, (std::vector<wire::RowId>{41, 42}));

    EXPECT_EQ(conn.execute("dsp_temp", "update T set A='中文'"), 4);

    wire::Change change;
    change.kind = wire::ChangeKind::Modify;
    change.row_id = 42;
    change.original["ZBSL00"] = 10.0;
    change.values["ZBSL00"] = 12.0;
    wire::ApplyResult r = conn.apply_updates("dsp_xstyzb02cys", {change}, 0);
    EXPECT_EQ(r.error_count, 1);
    EXPECT_EQ(r.errors.at(0), (wire::ApplyError{42, "row changed"}));

    conn.call_method("CompanydbRollback");

    auto calls = api.calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].path, "/v1/sessions/s1/providers/dsp_xstyzb02cys/records");
    EXPECT_EQ(json::parse(calls[0].body), (json{{"commandText", ""}}));
    EXPECT_EQ(calls[1].path, "/v1/sessions/s1/providers/dsp_temp/execute");
    EXPECT_EQ(json::parse(calls[1].body), (json{{"commandText", "update T set A='中文'"}}));
    EXPECT_EQ(calls[2].path, "/v1/sessions/s1/providers/dsp_xstyzb02cys/apply");
    json apply_body = json::parse(calls[2].body);
    EXPECT_EQ(apply_body.at("maxErrors"), 0);
    EXPECT_EQ(wire::delta_from_json(apply_body.at("delta")), (wire::Delta{change}));
    EXPECT_EQ(calls[3].path, "/v1/sessions/s1/methods/CompanydbRollback");
}

TEST(HttpLink, NamesCannotChangeThePath)
{
    std::vector<std::string> lines;
    RawServer raw([&](int, const std::string &line) -> std::optional<std::string> {
        lines.push_back(line);
        if (line.starts_with("POST /v1/sessions HTTP")) return RawServer::http_answer(201, R"({"session":"a b/c"})");
        return RawServer::http_answer(200, R"({"rowsAffected":0})");
    });
    {
        RemoteConnection conn(remote::company_info_object());
        conn.set_computer_name(raw.computer_name());
        conn.execute("x/../y z", "x");
        conn.call_method("Tran?Start#");
    }
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "POST /v1/sessions/a%20b%2Fc/providers/x%2F..%2Fy%20z/execute HTTP/1.1");
    EXPECT_EQ(lines[2], "POST /v1/sessions/a%20b%2Fc/methods/Tran%3FStart%23 HTTP/1.1");
    EXPECT_EQ(lines[3], "DELETE /v1/sessions/a%20b%2Fc HTTP/1.1");
}

TEST(HttpLink, ErrorStatusesCarryTheServersMessage)
{
    FakeApi api;
    int status = 0;
    std::string message;
    api.set_on_call([&](const httplib::Request &, httplib::Response &res) {
        FakeApi::answer(res, status, json{{"error", message}}.dump());
    });
    RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name(api.computer_name());

    for (auto [s, m] : std::vector<std::pair<int, std::string>>{
             {404, "unknown provider \"dsp_nothing\""},
             {422, "no such table: XSTYZB99"},
             {400, "malformed JSON: unexpected end of input"},
             {500, "表 XSTYZB02 已锁定"}}) {
        SCOPED_TRACE(s);
        status = s;
        message = m;
        EXPECT_EQ(error_of([&] { conn.get_records("dsp_temp", "select * from XSTYZB99"); }), m);
        EXPECT_EQ(error_of([&] { conn.call_method("CompanydbTranStart"); }), m);
    }
    // The server keeps the session across refused statements: no second session.
    EXPECT_EQ(api.sessions_opened(), 1);
}

TEST(HttpLink, ErrorStatusWithoutAMessageSaysWhatFailedAndWhere)
{
    FakeApi api;
    api.set_on_call([](const httplib::Request &, httplib::Response &res) {
        res.status = 503;
        res.set_content("<html>down</html>", "text/html");
    });
    RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name(api.computer_name());
    EXPECT_EQ(error_of([&] { conn.execute("dsp_temp", "x"); }),
              "应用服务器 " + api.computer_name() + " 拒绝了请求（在 dsp_temp 上执行语句，HTTP 状态 503）");
}

TEST(HttpLink, RefusedSessionOpenCarriesTheServersMessage)
{
    FakeApi api;
    api.set_on_open([](const httplib::Request &, httplib::Response &res) {
        FakeApi::answer(res, 404, R"({"error":"unknown server object \"VendrixServer.CoNothing\""})");
    });
    RemoteConnection conn(remote::ServerObject{"VendrixServer.CoNothing", ""});
    conn.set_computer_name(api.computer_name());
    EXPECT_EQ(error_of([&] { conn.call_method("m"); }), "unknown server object \"VendrixServer.CoNothing\"");
    EXPECT_FALSE(conn.connected());
    EXPECT_EQ(json::parse(api.requests().at(0).body), (json{{"object", "VendrixServer.CoNothing"}}));
}

TEST(HttpLink, ProviderParametersGoInTheBodyOnlyWhenThereAreAny)
{
    FakeApi api;
    api.set_on_call([](const httplib::Request &req, httplib::Response &res) {
        if (req.path.ends_with("/records"))
            FakeApi::answer(res, 200, R"({"fields":[{"name":"NYUE00","type":"string","size":6}],"rows":[["202612"]],"rowIds":[5]})");
        else
            FakeApi::answer(res, 200, "{}");
    });
    RemoteConnection conn(remote::cust_object());
    conn.set_computer_name(api.computer_name());
    const wire::DataPacket p = conn.get_records("dsp_xstyzb02cys", "", {{"NYUE00", "202612"}});
    EXPECT_EQ(p.rows, (std::vector<wire::Row>{{std::string("202612")}}));
    EXPECT_EQ(p.row_ids, (std::vector<wire::RowId>{5}));
    conn.get_records("dsp_xstyzb02cys", "");

    auto calls = api.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(json::parse(calls[0].body), (json{{"commandText", ""}, {"params", {{"NYUE00", "202612"}}}}));
    EXPECT_EQ(json::parse(calls[1].body), (json{{"commandText", ""}}));
}

TEST(HttpLink, MalformedAnswersAreErrorsNotCrashes)
{
    FakeApi api;
    std::string body;
    api.set_on_call([&](const httplib::Request &, httplib::Response &res) { FakeApi::answer(res, 200, body); });
    RemoteConnection conn(remote::cust_object());
    conn.set_computer_name(api.computer_name());
    const std::string prefix = "应用服务器 " + api.computer_name() + " 的应答无法识别（";

    for (const char *bad : {"{not json", "", "[1,2]", R"({"fields":"x","rows":[]})",
                            R"({"fields":[{"name":"A","type":"string"}],"rows":[[1,2]]})",
                            R"({"fields":[{"name":"A","type":"float"}],"rows":[[1e400]]})",
                            R"({"error":"not a packet"})"}) {
        SCOPED_TRACE(bad);
        body = bad;
        std::string m = error_of([&] { conn.get_records("dsp_xstyzb02cys", ""); });
        EXPECT_EQ(m.rfind(prefix + "读取 dsp_xstyzb02cys）：", 0), 0u) << m;
    }
    for (const char *bad : {"{}", R"({"rowsAffected":"4"})", R"({"rowsAffected":1.5})"}) {
        SCOPED_TRACE(bad);
        body = bad;
        std::string m = error_of([&] { conn.execute("dsp_temp", "x"); });
        EXPECT_EQ(m.rfind(prefix + "在 dsp_temp 上执行语句）：", 0), 0u) << m;
    }
    body = R"({"errorCount":"many"})";
    std::string m = error_of([&] { conn.apply_updates("dsp_xstyzb02cys", {}, 0); });
    EXPECT_EQ(m.rfind(prefix + "向 dsp_xstyzb02cys 提交修改）：", 0), 0u) << m;
}

TEST(HttpLink, SessionAnswerWithoutASessionIsMalformed)
{
    FakeApi api;
    api.set_on_open([](const httplib::Request &, httplib::Response &res) { FakeApi::answer(res, 201, R"({"id":3})"); });
    RemoteConnection conn(remote::cust_object());
    conn.set_computer_name(api.computer_name());
    std::string m = error_of([&] { conn.call_method("m"); });
    EXPECT_NE(m.find("的应答无法识别（在 VendrixServer.CoCustObj 上打开会话）：应答中没有会话"), std::string::npos) << m;
    EXPECT_FALSE(conn.connected());
}

TEST(HttpLink, AServerThatIsNotRunningFailsAtTheFirstCall)
{
    const int port = remote_test::unused_port();
    RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name("127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(error_of([&] { conn.get_records("dsp_temp", "select 1"); }),
              "无法连接应用服务器 127.0.0.1:" + std::to_string(port) + "：连接被拒绝");
    EXPECT_FALSE(conn.connected());
}

TEST(HttpLink, AnUnknownHostIsNamed)
{
    RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name("no-such-host.invalid:7411");
    std::string m = error_of([&] { conn.call_method("CompanydbTranStart"); });
    EXPECT_EQ(m, "无法连接应用服务器 no-such-host.invalid:7411：找不到该主机");
}

TEST(HttpLink, ServerClosingTheConnectionMidCallIsAnErrorAndTheNextCallReconnects)
{
    // Session c1 is opened, the first call on it is dropped without an
    // answer; after that every session is c2 and every call succeeds.
    std::vector<std::string> lines;
    RawServer raw([&](int, const std::string &line) -> std::optional<std::string> {
        lines.push_back(line);
        const bool first_call = lines.size() == 2;
        if (line.starts_with("POST /v1/sessions HTTP"))
            return RawServer::http_answer(201, lines.size() == 1 ? R"({"session":"c1"})" : R"({"session":"c2"})");
        if (line.starts_with("DELETE")) return "HTTP/1.1 204 No Content\r\n\r\n";
        if (first_call) return std::nullopt;
        return RawServer::http_answer(200, R"({"rowsAffected":1})");
    });
    RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name(raw.computer_name());

    EXPECT_EQ(error_of([&] { conn.execute("dsp_temp", "x"); }),
              "应用服务器 " + raw.computer_name() + " 断开了连接（在 dsp_temp 上执行语句）");
    EXPECT_EQ(conn.execute("dsp_temp", "x"), 1);
    // The old session is closed if the server still has it, then a new one is opened.
    EXPECT_EQ(lines, (std::vector<std::string>{"POST /v1/sessions HTTP/1.1",
                                               "POST /v1/sessions/c1/providers/dsp_temp/execute HTTP/1.1",
                                               "DELETE /v1/sessions/c1 HTTP/1.1", "POST /v1/sessions HTTP/1.1",
                                               "POST /v1/sessions/c2/providers/dsp_temp/execute HTTP/1.1"}));
}

TEST(HttpLink, AConnectionTheServerClosedBetweenCallsIsReopenedQuietly)
{
    // An idle planner: the server has closed the kept-alive connection
    // before the next call. That is no error and keeps the session.
    std::vector<std::string> lines;
    RawServer raw(
        [&](int, const std::string &line) -> std::optional<std::string> {
            lines.push_back(line);
            if (line.starts_with("POST /v1/sessions HTTP")) return RawServer::http_answer(201, R"({"session":"k1"})");
            return RawServer::http_answer(200, R"({"rowsAffected":2})");
        },
        [](const std::string &line) { return !line.starts_with("POST /v1/sessions HTTP"); });
    RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name(raw.computer_name());
    conn.call_method("CompanydbTranStart");
    for (int i = 0; i < 3; ++i) {
        // The server is done with the previous connection before the next call.
        ASSERT_TRUE(raw.wait_for_closed(i + 1));
        EXPECT_EQ(conn.execute("dsp_temp", "x"), 2);
    }
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1], "POST /v1/sessions/k1/methods/CompanydbTranStart HTTP/1.1");
    EXPECT_EQ(lines[4], "POST /v1/sessions/k1/providers/dsp_temp/execute HTTP/1.1");
}

TEST(HttpLink, AnExpiredSessionIsReplacedAndTheCallRepeatedOutsideATransaction)
{
    FakeApi api;
    int refusals = 0;
    api.set_on_call([&](const httplib::Request &req, httplib::Response &res) {
        if (req.path.starts_with("/v1/sessions/s1/")) {
            ++refusals;
            FakeApi::answer(res, 404, R"({"error":"unknown session \"s1\"","code":"session_gone"})");
        } else if (req.path.find("/methods/") != std::string::npos) {
            FakeApi::answer(res, 200, "{}");
        } else {
            FakeApi::answer(res, 200, R"({"rowsAffected":3})");
        }
    });
    RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name(api.computer_name());
    // The server had closed the idle session: the call runs on a new one.
    EXPECT_EQ(conn.execute("dsp_temp", "x"), 3);
    EXPECT_EQ(refusals, 1);
    EXPECT_EQ(api.sessions_opened(), 2);
}

TEST(HttpLink, OnlyTheSessionGoneCodeReplacesTheSession)
{
    // The code decides, never the wording: a refusal worded like a lost
    // session but without its code leaves the session in place.
    for (const char *answer : {R"({"error":"unknown provider \"dsp_x\" on VendrixServer.CoCompanyInfo","code":"not_found"})",
                               R"({"error":"unknown session \"s1\""})",
                               R"({"error":"unknown session \"s1\"","code":"not_found"})"}) {
        SCOPED_TRACE(answer);
        FakeApi api;
        api.set_on_call([&](const httplib::Request &, httplib::Response &res) { FakeApi::answer(res, 404, answer); });
        RemoteConnection conn(remote::company_info_object());
        conn.set_computer_name(api.computer_name());
        EXPECT_THROW(conn.execute("dsp_x", "x"), RemoteError);
        EXPECT_THROW(conn.execute("dsp_x", "x"), RemoteError);
        EXPECT_EQ(api.sessions_opened(), 1);
    }
}

TEST(HttpLink, ManyCallsOnOneConnectionStayOnOneSession)
{
    FakeApi api;
    api.set_on_call([](const httplib::Request &, httplib::Response &res) {
        FakeApi::answer(res, 200, R"({"rowsAffected":0})");
    });
    RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name(api.computer_name());
    for (int i = 0; i < 50; ++i) conn.execute("dsp_temp", "x");
    EXPECT_EQ(api.sessions_opened(), 1);
    EXPECT_EQ(api.calls().size(), 50u);
}

TEST(HttpLink, SetComputerNameClosesTheSessionOnTheOldServer)
{
    FakeApi first;
    FakeApi second;
    RemoteConnection conn(remote::cust_object());
    conn.set_computer_name(first.computer_name());
    conn.call_method("m");
    conn.set_computer_name(second.computer_name());
    EXPECT_EQ(first.sessions_closed(), (std::vector<std::string>{"s1"}));
    EXPECT_EQ(second.sessions_opened(), 0);
    conn.call_method("m");
    EXPECT_EQ(second.sessions_opened(), 1);
    EXPECT_EQ(first.calls().size(), 1u);
}

}  // namespace

TEST(HttpLink, ALargeChunkedAnswerIsReadAsItArrivesAndOneCutShortIsABrokenConnection)
{
    wire::DataPacket sent;
    sent.fields = {{"NYUE00", wire::FieldType::String, 6}, {"ZBSL00", wire::FieldType::Float, 0},
                   {"ZBMC00", wire::FieldType::String, 50}};
    for (int r = 0; r < 5000; ++r) {
        sent.rows.push_back({std::string("202612"), 0.5 * r, std::string(r % 97 ? "卷烟销售总量" : "引号\"与\\斜杠")});
        sent.row_ids.push_back(1000 + r);
    }
    const std::string text = wire::packet_to_json(sent).dump();
    bool cut = false;
    FakeApi api;
    api.set_on_call([&](const httplib::Request &, httplib::Response &res) {
        // Pieces of odd sizes, as a streaming server writes them; cut: the
        // connection ends half way, without the last chunk.
        res.set_chunked_content_provider("application/json", [&](std::size_t offset, httplib::DataSink &sink) {
            if (cut && offset >= text.size() / 2) return false;
            const std::size_t n = std::min<std::size_t>(text.size() - offset, 7919);
            sink.write(text.data() + offset, n);
            if (offset + n == text.size()) sink.done();
            return true;
        });
    });
    RemoteConnection conn(remote::cust_object());
    conn.set_computer_name(api.computer_name());
    EXPECT_EQ(conn.get_records("dsp_xstyzb02cys", "", {{"NYUE00", "202612"}}), sent);

    cut = true;
    const std::string m = error_of([&] { conn.get_records("dsp_xstyzb02cys", "", {{"NYUE00", "202612"}}); });
    EXPECT_NE(m.find("应用服务器 " + api.computer_name()), std::string::npos) << m;
    EXPECT_NE(m.find("断开了连接"), std::string::npos) << "a broken answer was not reported as one: " << m;
}
