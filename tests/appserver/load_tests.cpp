// What one server holds at once and how long anything may take: the bounded
// connection pool, the statement and lock limits, the answer and session
// caps, a lock holder whose rollback gets through while others wait, the
// HTTP framing (HEAD, 414, pipelining) over raw sockets, and two server
// instances on one PostgreSQL database.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "accounts.h"
#include "app_server.h"
#include "contract.h"
#include "backend_test.h"
#include "database.h"
#include "dialect.h"
#include "module_statements.h"
#include "schema.h"

namespace {

// The caller of the calls below: the anonymous planner, as every caller is
// with --auth none.
const appserver::Caller anyone;

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using appserver::ServerError;

// Sends bytes on a fresh connection and reads what comes back until the
// server closes it or nothing more comes for the quiet time.
std::string raw_exchange(int port, const std::string &bytes, int quiet_ms = 700)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return "<no connection>";
    }
    for (std::size_t sent = 0; sent < bytes.size();) {
        const auto n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    timeval tv{0, quiet_ms * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string out;
    char buf[65536];
    for (;;) {
        const auto n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

// The answers in a byte stream, framed by their Content-Length; a HEAD
// answer's length counts nothing (pass which answers are to HEAD requests).
struct RawAnswer {
    int status = 0;
    std::string body;
};
std::vector<RawAnswer> split_answers(std::string s, const std::vector<bool> &head, std::string *rest)
{
    std::vector<RawAnswer> out;
    while (!s.empty()) {
        const auto end = s.find("\r\n\r\n");
        if (end == std::string::npos || s.rfind("HTTP/1.1 ", 0) != 0) break;
        RawAnswer a;
        a.status = std::stoi(s.substr(9, 3));
        std::size_t length = 0;
        const auto cl = s.find("Content-Length: ");
        if (cl != std::string::npos && cl < end) length = std::stoul(s.substr(cl + 16));
        const bool is_head = out.size() < head.size() && head[out.size()];
        if (is_head) length = 0;
        a.body = s.substr(end + 4, length);
        s.erase(0, end + 4 + length);
        out.push_back(a);
    }
    if (rest) *rest = s;
    return out;
}

TEST(HttpFraming, HeadWithABodyPipelinedRequestsAndA414ToHeadStayInStep)
{
    testsupport::SqliteDb db(true);
    testsupport::ServerProcess server(db.connection_string());
    // A HEAD request with a body that looks like a request, then a GET: the
    // body is the HEAD's, not a request of its own.
    const std::string fake = "GET /v1/nowhere HTTP/1.1\r\nHost: x\r\n\r\n";
    std::string rest;
    auto answers = split_answers(
        raw_exchange(server.port(), "HEAD /v1/health HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                        std::to_string(fake.size()) + "\r\n\r\n" + fake +
                                        "GET /v1/account HTTP/1.1\r\nHost: x\r\n\r\n"),
        {true, false}, &rest);
    ASSERT_EQ(answers.size(), 2u) << rest;
    EXPECT_EQ(answers[0].status, 200);
    EXPECT_EQ(answers[1].status, 200);
    EXPECT_EQ(json::parse(answers[1].body).value("user", ""), "anonymous");
    EXPECT_EQ(rest, "");  // no body after the HEAD answer, no answer to the fake request

    // Three pipelined requests, sent at once: three answers in their order.
    answers = split_answers(raw_exchange(server.port(), "GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n"
                                                        "GET /v1/nowhere HTTP/1.1\r\nHost: x\r\n\r\n"
                                                        "GET /v1/account HTTP/1.1\r\nHost: x\r\n\r\n"),
                            {}, &rest);
    ASSERT_EQ(answers.size(), 3u) << rest;
    EXPECT_EQ(json::parse(answers[0].body).value("status", ""), "ok");
    EXPECT_EQ(answers[1].status, 404);
    EXPECT_EQ(json::parse(answers[2].body).value("auth", ""), "none");
    EXPECT_EQ(rest, "");

    // A target over the limit: 414, and to HEAD without a body; the
    // connection then still serves the next request.
    const std::string long_target = "/v1/" + std::string(20000, 'a');
    answers = split_answers(raw_exchange(server.port(), "HEAD " + long_target + " HTTP/1.1\r\nHost: x\r\n\r\n"
                                                        "GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n"),
                            {true, false}, &rest);
    ASSERT_EQ(answers.size(), 2u) << rest;
    EXPECT_EQ(answers[0].status, 414);
    EXPECT_EQ(answers[1].status, 200);
    EXPECT_EQ(rest, "");
    answers = split_answers(raw_exchange(server.port(), "GET " + long_target + " HTTP/1.1\r\nHost: x\r\n\r\n"), {},
                            &rest);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].status, 414);
    EXPECT_NE(json::parse(answers[0].body).value("error", "").find("longer than"), std::string::npos);
}

class Limits : public apptest::BackendTest {
protected:
    bool demo() const override { return true; }
};
BACKEND_TEST_SUITE(Limits);

TEST_P(Limits, AStatementPastItsTimeAndALockWaitPastItsTimeAreRefused)
{
    appserver::Connection slow(server_cs());
    slow.set_time_limit(std::chrono::milliseconds(300));
    const auto start = Clock::now();
    try {
        slow.run(postgres() ? "SELECT pg_sleep(5)"
                            : "WITH RECURSIVE r(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM r) SELECT COUNT(*) FROM r");
        FAIL() << "the statement was not stopped";
    } catch (const ServerError &e) {
        EXPECT_EQ(e.kind(), ServerError::Kind::Database);
        EXPECT_NE(std::string(e.what()).find("ran longer than the limit of 0.3 s"), std::string::npos) << e.what();
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
    // The connection goes on serving.
    EXPECT_EQ(slow.run("SELECT 1").packet.rows.size(), 1u);

    appserver::Connection holder(server_cs()), waiter(server_cs());
    waiter.set_time_limit(std::chrono::milliseconds(300));
    holder.run(postgres() ? "BEGIN" : "BEGIN IMMEDIATE");
    holder.run("UPDATE XSTYZB02 SET ZBSL00=ZBSL00 WHERE RYDM00='0101'");
    try {
        waiter.run(postgres() ? "UPDATE XSTYZB02 SET ZBSL00=1 WHERE RYDM00='0101'"
                              : "DELETE FROM XSTYZB02 WHERE RYDM00='0101'");
        FAIL() << "the lock wait was not bounded";
    } catch (const ServerError &e) {
        EXPECT_EQ(e.kind(), ServerError::Kind::Unavailable);
        EXPECT_NE(std::string(e.what()).find("locked by another session's open transaction"), std::string::npos)
            << e.what();
    }
    holder.rollback();
    EXPECT_GT(waiter.run("DELETE FROM XSTYZB02 WHERE RYDM00='0101'").rows_affected, 0);
}

TEST_P(Limits, ALargeAnswerAndTooManySessionsAreRefusedWithAClearMessage)
{
    appserver::AppServer server(server_cs());
    appserver::ServerLimits limits;
    limits.max_answer_rows = 3;  // the demo has 4 departments
    limits.max_sessions = 4;
    limits.max_sessions_per_account = 2;
    server.set_limits(limits);
    const auto s = server.open_session(anyone, contract::kCompanyInfoObject);
    try {
        server.get_records(anyone, s, "dsp_temp", apptest::department_statement());
        FAIL() << "the answer was not capped";
    } catch (const ServerError &e) {
        EXPECT_EQ(e.kind(), ServerError::Kind::Database);
        EXPECT_NE(std::string(e.what()).find("more than 3 rows"), std::string::npos) << e.what();
    }
    EXPECT_EQ(server.get_records(anyone, s, "dsp_temp", apptest::salesman_statement("01")).rows.size(), 3u);

    appserver::Caller a, b;
    a.account = "planner1";
    a.token_id = "token-a";
    b.account = "planner2";
    b.token_id = "token-b";
    server.open_session(a, contract::kCustObject);
    server.open_session(a, contract::kCustObject);
    try {
        server.open_session(a, contract::kCustObject);
        FAIL() << "the account's third session was opened";
    } catch (const ServerError &e) {
        EXPECT_EQ(e.kind(), ServerError::Kind::Throttled);
        EXPECT_NE(std::string(e.what()).find("planner1 holds 2 sessions"), std::string::npos) << e.what();
    }
    server.open_session(b, contract::kCustObject);  // the fourth in all
    try {
        server.open_session(b, contract::kCustObject);
        FAIL() << "a fifth session was opened";
    } catch (const ServerError &e) {
        EXPECT_EQ(e.kind(), ServerError::Kind::Unavailable);
    }
    EXPECT_EQ(server.session_count(), 4u);
}

TEST_P(Limits, ThePoolNeverExceedsItsBoundAndAWaitForAConnectionEndsIn503)
{
    appserver::AppServer server(server_cs());
    appserver::ServerLimits limits;
    limits.max_connections = 2;
    limits.connection_wait = std::chrono::milliseconds(300);
    server.set_limits(limits);
    std::vector<std::string> sessions;
    for (int i = 0; i < 6; ++i) sessions.push_back(server.open_session(anyone, contract::kCompanyInfoObject));
    // Sessions without a transaction share the connections.
    for (const auto &s : sessions) server.get_records(anyone, s, "dsp_temp", apptest::department_statement());
    EXPECT_LE(server.open_connection_count(), 2);
    EXPECT_FALSE(server.session_holds_connection(sessions[0]));

    // Two open transactions hold both connections; a third session waits, then hears 503.
    server.call_method(anyone, sessions[0], "CompanydbTranStart");
    server.call_method(anyone, sessions[1], "CompanydbTranStart");
    EXPECT_TRUE(server.session_holds_connection(sessions[0]));
    try {
        server.get_records(anyone, sessions[2], "dsp_temp", apptest::department_statement());
        FAIL() << "a third connection was opened";
    } catch (const ServerError &e) {
        EXPECT_EQ(e.kind(), ServerError::Kind::Unavailable);
        EXPECT_NE(std::string(e.what()).find("all 2 database connections"), std::string::npos) << e.what();
    }
    // Many callers at once never open more.
    std::atomic<int> refused{0}, served{0};
    std::vector<std::thread> threads;
    server.call_method(anyone, sessions[1], "CompanydbRollback");
    for (int i = 2; i < 6; ++i)
        threads.emplace_back([&, i] {
            for (int k = 0; k < 5; ++k) {
                try {
                    server.get_records(anyone, sessions[i], "dsp_temp", apptest::department_statement());
                    ++served;
                } catch (const ServerError &) {
                    ++refused;
                }
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(served + refused, 20);
    EXPECT_GT(served, 0);
    EXPECT_LE(server.open_connection_count(), 2);
    if (postgres()) {
        const auto n = std::stoi(scalar("SELECT COUNT(*) FROM pg_stat_activity WHERE usename='" + pg_->server_role() + "'"));
        EXPECT_LE(n, 2 + appserver::kAuxiliaryConnections);
    }
    // Its transaction's own calls still get through, and free the connection.
    server.call_method(anyone, sessions[0], "CompanydbTranCommit");
    EXPECT_FALSE(server.session_holds_connection(sessions[0]));
    EXPECT_EQ(server.get_records(anyone, sessions[2], "dsp_temp", apptest::department_statement()).rows.size(), 4u);
}

httplib::Result post(httplib::Client &c, const std::string &path, const json &body)
{
    return c.Post(path.c_str(), body.dump(), "application/json");
}

std::string open(httplib::Client &c, const char *object)
{
    auto r = post(c, "/v1/sessions", json{{"object", object}});
    if (!r || r->status != 201) return {};
    return json::parse(r->body).value("session", "");
}

TEST_P(Limits, ALockHoldersRollbackAndHealthGetThroughWhileAppliesWaitAndTheWaitersHearWhy)
{
    testsupport::ServerProcess server(cs(), {"--max-connections", "4", "--statement-timeout", "2",
                                             "--connection-wait", "3"});
    const int port = server.port();
    httplib::Client holder("127.0.0.1", port);
    holder.set_read_timeout(10);
    const std::string month = appserver::month_key_from_today(0);
    const std::string company = open(holder, contract::kCompanyInfoObject);
    const std::string cust = open(holder, contract::kCustObject);
    auto rows = post(holder, "/v1/sessions/" + cust + "/providers/dsp_xstyzb02cys/records", json::object());
    ASSERT_TRUE(rows && rows->status == 200);
    const auto packet = wire::packet_from_json(json::parse(rows->body));
    std::size_t row = packet.rows.size();
    for (std::size_t r = 0; r < packet.rows.size() && row == packet.rows.size(); ++r)
        if (wire::value_to_text(packet.rows[r][0]) == month && wire::value_to_text(packet.rows[r][6]) == "0101")
            row = r;
    ASSERT_LT(row, packet.rows.size());
    wire::Change change;
    change.kind = wire::ChangeKind::Modify;
    change.row_id = packet.row_ids[row];
    change.original["ZBSL00"] = packet.rows[row][4];
    change.values["ZBSL00"] = 7.0;
    const json apply = {{"delta", wire::delta_to_json({change})}, {"maxErrors", 0}};

    const std::string base = "/v1/sessions/" + company;
    ASSERT_EQ(post(holder, base + "/methods/CompanydbTranStart", json::object())->status, 200);
    ASSERT_EQ(post(holder, base + "/providers/dsp_temp/execute",
                   json{{"commandText", apptest::delete_statement(month, "01", "0101")}})
                  ->status,
              200);

    // Twelve applies on the locked row: more than the server's connections.
    std::mutex m;
    std::vector<std::pair<int, std::string>> outcomes;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 12; ++i)
        waiters.emplace_back([&] {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(30);
            const std::string s = open(c, contract::kCustObject);
            auto r = post(c, "/v1/sessions/" + s + "/providers/dsp_xstyzb02cys/apply", apply);
            std::lock_guard lock(m);
            outcomes.emplace_back(r ? r->status : -1, r ? r->body : httplib::to_string(r.error()));
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // Health and the holder's own calls are answered while every connection waits.
    httplib::Client monitor("127.0.0.1", port);
    monitor.set_read_timeout(1);
    for (int i = 0; i < 3; ++i) {
        auto h = monitor.Get("/v1/health");
        ASSERT_TRUE(h) << "health got no answer within 1 s";
        EXPECT_EQ(h->status, 200);
    }
    holder.set_read_timeout(1);
    auto seen = post(holder, base + "/providers/dsp_temp/records",
                     json{{"commandText", apptest::existence_statement(month, "01", "0101")}});
    ASSERT_TRUE(seen) << "the holder's call got no answer within 1 s";
    EXPECT_EQ(wire::packet_from_json(json::parse(seen->body)).rows.size(), 0u);  // its own deletion
    // Held past the waiters' limit: each hears a refusal that says why.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    auto rolled_back = post(holder, base + "/methods/CompanydbRollback", json::object());
    ASSERT_TRUE(rolled_back) << "the rollback got no answer within 1 s";
    EXPECT_EQ(rolled_back->status, 200);
    for (auto &w : waiters) w.join();
    int locked = 0;
    for (const auto &[status, body] : outcomes) {
        EXPECT_TRUE(status == 200 || status == 503) << status << " " << body;
        if (status == 503) {
            const std::string e = json::parse(body).value("error", "");
            EXPECT_TRUE(e.find("locked by another session") != std::string::npos ||
                        e.find("database connections") != std::string::npos ||
                        e.find("server is busy") != std::string::npos)
                << e;
            if (e.find("locked by another session") != std::string::npos) ++locked;
        }
    }
    EXPECT_EQ(outcomes.size(), 12u);
    EXPECT_GT(locked, 0);
    // The rollback kept the rows.
    EXPECT_NE(scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE NYUE00='" + month + "' AND RYDM00='0101'"), "0");
}

TEST(TwoInstances, OnePostgresqlDatabaseServedByTwoServersAgreesOnTokensAndData)
{
    if (!testsupport::PgDb::available()) GTEST_SKIP() << "SALEPLAN_TEST_PG is not set: the PostgreSQL run is skipped";
    testsupport::PgDb db(true);
    testsupport::add_account(db.connection_string(), "planner1", "planner", "planner-secret");
    testsupport::ServerProcess one(db.connection_string(), {"--auth", "accounts"});
    testsupport::ServerProcess two(db.connection_string(), {"--auth", "accounts"});
    httplib::Client a("127.0.0.1", one.port()), b("127.0.0.1", two.port());
    auto in = post(a, "/v1/login", json{{"user", "planner1"}, {"password", "planner-secret"}});
    ASSERT_TRUE(in && in->status == 200);
    const std::string token = json::parse(in->body).at("token");
    const httplib::Headers auth = {{"Authorization", "Bearer " + token}};
    a.set_default_headers(auth);
    b.set_default_headers(auth);
    // The token from the first is good on the second.
    auto account = b.Get("/v1/account");
    ASSERT_TRUE(account);
    EXPECT_EQ(account->status, 200);
    EXPECT_EQ(json::parse(account->body).value("user", ""), "planner1");

    const std::string month = appserver::month_key_from_today(0);
    const std::string sa = open(a, contract::kCompanyInfoObject), sb = open(b, contract::kCompanyInfoObject);
    ASSERT_FALSE(sa.empty());
    ASSERT_FALSE(sb.empty());
    auto count_b = [&] {
        auto r = post(b, "/v1/sessions/" + sb + "/providers/dsp_temp/records",
                      json{{"commandText", apptest::existence_statement(month, "01", "0101")}});
        return r && r->status == 200 ? wire::packet_from_json(json::parse(r->body)).rows.size() : 999u;
    };
    const auto before = count_b();
    ASSERT_GT(before, 0u);
    // A session belongs to its instance: the other does not know it.
    EXPECT_EQ(post(b, "/v1/sessions/" + sa + "/methods/CompanydbTranStart", json::object())->status, 404);
    // A change in an open transaction of the first is not seen on the second, until it is committed.
    ASSERT_EQ(post(a, "/v1/sessions/" + sa + "/methods/CompanydbTranStart", json::object())->status, 200);
    ASSERT_EQ(post(a, "/v1/sessions/" + sa + "/providers/dsp_temp/execute",
                   json{{"commandText", apptest::delete_statement(month, "01", "0101")}})
                  ->status,
              200);
    EXPECT_EQ(count_b(), before);
    ASSERT_EQ(post(a, "/v1/sessions/" + sa + "/methods/CompanydbTranCommit", json::object())->status, 200);
    EXPECT_EQ(count_b(), 0u);
    // Signing out on the second ends the token on the first too: at once on
    // the second, on the first once its trust in the token's last check
    // runs out (kTokenTrustedFor), however often it is used meanwhile.
    ASSERT_EQ(a.Get("/v1/account")->status, 200);  // the first has just checked it
    ASSERT_EQ(post(b, "/v1/logout", json::object())->status, 204);
    EXPECT_EQ(b.Get("/v1/account")->status, 401);
    const auto out = Clock::now();
    int status = 200;
    while (status == 200 && Clock::now() - out < appserver::kTokenTrustedFor + std::chrono::seconds(3)) {
        status = a.Get("/v1/account")->status;
        if (status == 200) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(status, 401);
    EXPECT_LE(Clock::now() - out, appserver::kTokenTrustedFor + std::chrono::seconds(1));
}

// The subquery naming of a large text: every subquery named once, in the
// order of its closing parenthesis, nested ones and quoted look-alikes as
// for a small text.
TEST(DialectRewrite, ALargeTextWithManySubqueriesIsNamedLikeASmallOne)
{
    const std::string one = "SELECT * FROM (SELECT * FROM (SELECT 1 X) WHERE X=1 AND Y='FROM (SELECT') ";
    const std::string expected_one =
        "SELECT * FROM (SELECT * FROM (SELECT 1 X) AS subquery_N1 WHERE X=1 AND Y='FROM (SELECT') AS subquery_N2 ";
    std::string text, expected;
    for (int k = 0; k < 4000; ++k) {
        text += (k ? "UNION ALL " : "") + one;
        std::string e = expected_one;
        e.replace(e.find("N1"), 2, std::to_string(2 * k + 1));
        e.replace(e.find("N2"), 2, std::to_string(2 * k + 2));
        expected += (k ? "UNION ALL " : "") + e;
    }
    ASSERT_GT(text.size(), 300000u);
    EXPECT_EQ(appserver::adapt_statement(text, appserver::DatabaseKind::Postgresql), expected);
    EXPECT_EQ(appserver::adapt_statement(text, appserver::DatabaseKind::Sqlite), text);
}

}  // namespace
