// The server as the trust boundary: sign-in, the role of every call, tokens
// that expire or belong to another caller, the sign-in throttle, TLS, the
// listen policy, and the least-privilege role on PostgreSQL.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "app_server.h"
#include "http_front_end.h"
#include "contract.h"
#include "accounts.h"
#include "database_files.h"
#include "server_text.h"
#include "backend_test.h"
#include "module_statements.h"
#include "schema.h"

namespace {

// The caller of the calls below: the anonymous planner, as every caller is
// with --auth none.
const appserver::Caller anyone;

using nlohmann::json;
using appserver::ServerError;
using Kind = appserver::ServerError::Kind;

struct Answer {
    int status = 0;
    json body;
    std::string authenticate;  // the WWW-Authenticate header
};

// An HTTP client that sends a bearer token once it has one.
class Client {
public:
    explicit Client(int port) : client_("127.0.0.1", port) { client_.set_read_timeout(30); }
    Client(const std::string &url, const std::string &ca_file) : client_(url)
    {
        client_.set_ca_cert_path(ca_file.c_str());
        client_.enable_server_certificate_verification(true);
        client_.set_read_timeout(30);
    }
    std::string token;

    Answer post(const std::string &path, const json &body) { return answer(client_.Post(path.c_str(), headers(), body.dump(), "application/json")); }
    Answer del(const std::string &path) { return answer(client_.Delete(path.c_str(), headers())); }
    Answer get(const std::string &path) { return answer(client_.Get(path.c_str(), headers())); }

    Answer login(const std::string &user, const std::string &password)
    {
        auto a = post("/v1/login", json{{"user", user}, {"password", password}});
        if (a.status == 200) token = a.body.value("token", "");
        return a;
    }
    std::string open(const std::string &object)
    {
        auto a = post("/v1/sessions", json{{"object", object}});
        EXPECT_EQ(a.status, 201) << a.body;
        return a.body.value("session", "");
    }
    Answer records(const std::string &s, const std::string &sql)
    {
        return post("/v1/sessions/" + s + "/providers/dsp_temp/records", json{{"commandText", sql}});
    }
    Answer execute(const std::string &s, const std::string &sql)
    {
        return post("/v1/sessions/" + s + "/providers/dsp_temp/execute", json{{"commandText", sql}});
    }
    Answer method(const std::string &s, const std::string &name) { return post("/v1/sessions/" + s + "/methods/" + name, json::object()); }
    Answer plan(const std::string &s) { return post("/v1/sessions/" + s + "/providers/dsp_xstyzb02cys/records", json::object()); }
    Answer apply(const std::string &s, const wire::Delta &delta)
    {
        return post("/v1/sessions/" + s + "/providers/dsp_xstyzb02cys/apply",
                    json{{"maxErrors", 0}, {"delta", wire::delta_to_json(delta)}});
    }

private:
    httplib::Headers headers() const
    {
        if (token.empty()) return {};
        return {{"Authorization", "Bearer " + token}};
    }
    static Answer answer(const httplib::Result &r)
    {
        if (!r) {
            ADD_FAILURE() << "no answer: " << httplib::to_string(r.error());
            return {};
        }
        Answer a{r->status, json(), r->get_header_value("WWW-Authenticate")};
        if (!r->body.empty()) a.body = json::parse(r->body);
        return a;
    }
    httplib::Client client_;
};

std::string error_of(const Answer &a) { return a.body.is_object() ? a.body.value("error", "<none>") : "<none>"; }

template <class F>
Kind kind_of(F &&f, std::string *message = nullptr)
{
    try {
        f();
    } catch (const ServerError &e) {
        if (message) *message = e.what();
        return e.kind();
    }
    ADD_FAILURE() << "no ServerError";
    return Kind::BadRequest;
}

// A server in accounts mode over loopback with a planner and a viewer.
class Accounts : public apptest::BackendTest {
protected:
    bool demo() const override { return true; }
    virtual std::chrono::seconds token_lifetime() const { return std::chrono::hours(12); }
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        testsupport::add_account(cs(), "planner1", "planner", "planner-secret");
        testsupport::add_account(cs(), "viewer1", "viewer", "viewer-secret");
        server_ = std::make_unique<appserver::AppServer>(server_cs(), std::chrono::seconds(600), token_lifetime());
        front_ = std::make_unique<appserver::HttpFrontEnd>(*server_, "127.0.0.1", 0,
                                                           appserver::FrontEndOptions{appserver::AuthMode::Accounts, {}, {}});
        front_->start();
    }
    void TearDown() override
    {
        front_.reset();
        server_.reset();
    }
    Client signed_in(const std::string &user, const std::string &password)
    {
        Client c(front_->port());
        auto a = c.login(user, password);
        EXPECT_EQ(a.status, 200) << a.body;
        return c;
    }
    std::string m0() const { return appserver::month_key_from_today(0); }
    std::string plan_rows(const std::string &salesman)
    {
        return scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE NYUE00='" + m0() + "' AND RYDM00='" + salesman + "'");
    }

    std::unique_ptr<appserver::AppServer> server_;
    std::unique_ptr<appserver::HttpFrontEnd> front_;
};
BACKEND_TEST_SUITE(Accounts);

TEST_P(Accounts, SignInGivesATokenTheAccountAndItsRoleAndEveryOtherCallNeedsIt)
{
    Client c(front_->port());
    auto in = c.login("viewer1", "viewer-secret");
    ASSERT_EQ(in.status, 200) << in.body;
    EXPECT_EQ(in.body.at("user"), "viewer1");
    EXPECT_EQ(in.body.at("role"), "viewer");
    EXPECT_EQ(in.body.at("token").get<std::string>().size(), 64u);
    EXPECT_EQ(in.body.at("expires").get<std::string>().back(), 'Z');
    auto account = c.get("/v1/account");
    EXPECT_EQ(account.status, 200);
    EXPECT_EQ(account.body, (json{{"user", "viewer1"}, {"role", "viewer"}, {"expires", in.body.at("expires")}}));
    // The token is stored only as a hash.
    EXPECT_EQ(accounts_scalar("SELECT COUNT(*) FROM GSTYHLP0 WHERE LPHX00='" + c.token + "'"), "0");
    EXPECT_EQ(accounts_scalar("SELECT COUNT(*) FROM GSTYHLP0 WHERE YHMC00='viewer1'"), "1");

    Client anonymous(front_->port());
    for (const auto &a : {anonymous.post("/v1/sessions", json{{"object", contract::kCompanyInfoObject}}),
                          anonymous.get("/v1/account"), anonymous.post("/v1/logout", json::object())}) {
        EXPECT_EQ(a.status, 401);
        EXPECT_EQ(a.authenticate, "Bearer");
        EXPECT_EQ(error_of(a), "请先登录");
    }
    anonymous.token = std::string(64, 'a');  // well formed, but no sign-in of ours
    EXPECT_EQ(anonymous.post("/v1/sessions", json{{"object", contract::kCompanyInfoObject}}).status, 401);
    anonymous.token = "x' OR '1'='1";
    EXPECT_EQ(anonymous.get("/v1/account").status, 401);
    EXPECT_EQ(anonymous.get("/v1/health").status, 200);  // health stays open to a monitor
    EXPECT_EQ(server_->session_count(), 0u);  // nothing of the refused calls ran

    // One message for a wrong password and for an unknown user.
    Client wrong(front_->port());
    auto bad_password = wrong.login("viewer1", "planner-secret");
    auto bad_user = wrong.login("nobody", "viewer-secret");
    EXPECT_EQ(bad_password.status, 401);
    EXPECT_EQ(bad_user.status, 401);
    EXPECT_EQ(error_of(bad_password), "用户名或密码不正确");
    EXPECT_EQ(error_of(bad_user), error_of(bad_password));
    EXPECT_EQ(wrong.post("/v1/login", json{{"user", "viewer1"}}).status, 400);
}

// Every call and method, as a planner and as a viewer: what each may do, and
// that a refused call changed nothing.
TEST_P(Accounts, AViewerReadsWhatThePlannerReadsAndIsRefusedEveryChange)
{
    for (const std::string who : {"planner1", "viewer1"}) {
        SCOPED_TRACE(who);
        const bool viewer = who == "viewer1";
        Client c = signed_in(who, viewer ? "viewer-secret" : "planner-secret");
        const auto info = c.open(contract::kCompanyInfoObject);
        const auto cust = c.open(contract::kCustObject);

        auto list = c.records(info, apptest::department_statement());
        EXPECT_EQ(list.status, 200);
        EXPECT_EQ(wire::packet_from_json(list.body).rows.size(), 4u);
        EXPECT_EQ(c.records(info, apptest::existence_statement(m0(), "01", "0101")).status, 200);
        EXPECT_EQ(c.records(info, apptest::remaining_statement(m0(), "01", "0101")).status, 200);

        auto plan = c.plan(cust);
        ASSERT_EQ(plan.status, 200);
        const auto rows = wire::packet_from_json(plan.body);
        ASSERT_FALSE(rows.row_ids.empty());

        // The transaction methods.
        for (const char *m : {"CompanydbTranStart", "CompanydbRollback", "CompanydbTranStart", "CompanydbTranCommit"}) {
            auto a = c.method(info, m);
            EXPECT_EQ(a.status, viewer ? 403 : 200) << m << " " << a.body;
            if (viewer) {
                EXPECT_EQ(error_of(a), "只读账号不能修改计划数据");
            }
        }
        // Generation of 王强's plan, as execute and through records.
        const std::string before = plan_rows("0103");
        auto generated = c.execute(info, apptest::generation_statement(m0(), "01", "0103"));
        EXPECT_EQ(generated.status, viewer ? 403 : 200) << generated.body;
        EXPECT_EQ(plan_rows("0103"), viewer ? before : "6");
        auto deleted = c.records(info, apptest::delete_statement(m0(), "01", "0103"));
        EXPECT_EQ(deleted.status, viewer ? 403 : 200) << deleted.body;
        EXPECT_EQ(plan_rows("0103"), viewer ? "6" : "0");

        // Apply.
        const auto quantity = rows.rows[0][4];
        wire::Change change{wire::ChangeKind::Modify, rows.row_ids[0], {{"ZBSL00", quantity}}, {{"ZBSL00", 77.0}}};
        auto applied = c.apply(cust, {change});
        EXPECT_EQ(applied.status, viewer ? 403 : 200) << applied.body;
        const auto now = scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE ROWID00=" + std::to_string(rows.row_ids[0]));
        EXPECT_EQ(now, viewer ? wire::value_to_text(quantity) : "77");
        if (!viewer) {
            // Put it back so that the viewer's turn starts from the demo data.
            wire::Change back{wire::ChangeKind::Modify, rows.row_ids[0], {{"ZBSL00", 77.0}}, {{"ZBSL00", quantity}}};
            EXPECT_EQ(wire::apply_result_from_json(c.apply(cust, {back}).body).error_count, 0);
            EXPECT_EQ(c.execute(info, apptest::generation_statement(m0(), "01", "0103")).status, 200);
        } else {
            wire::Change gone{wire::ChangeKind::Delete, rows.row_ids[0], {}, {}};
            EXPECT_EQ(c.apply(cust, {gone}).status, 403);
            EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE ROWID00=" + std::to_string(rows.row_ids[0])), "1");
        }

        EXPECT_EQ(c.del("/v1/sessions/" + info).status, 204);
        EXPECT_EQ(c.del("/v1/sessions/" + cust).status, 204);
        EXPECT_EQ(c.post("/v1/logout", json::object()).status, 204);
        EXPECT_EQ(c.get("/v1/account").status, 401);
    }
}

TEST_P(Accounts, ASessionAnsweredOnlyToTheTokenThatOpenedItAndLogoutEndsIt)
{
    Client a = signed_in("planner1", "planner-secret");
    Client b = signed_in("planner1", "planner-secret");  // the same account, another sign-in
    const auto s = a.open(contract::kCompanyInfoObject);
    EXPECT_EQ(a.method(s, "CompanydbTranStart").status, 200);
    EXPECT_EQ(a.execute(s, apptest::delete_statement(m0(), "01", "0101")).status, 200);

    auto stolen = b.records(s, apptest::department_statement());
    EXPECT_EQ(stolen.status, 404);
    EXPECT_NE(error_of(stolen).find("unknown session"), std::string::npos) << error_of(stolen);
    EXPECT_EQ(b.method(s, "CompanydbTranCommit").status, 404);
    EXPECT_EQ(b.del("/v1/sessions/" + s).status, 404);
    EXPECT_EQ(server_->session_count(), 1u);

    // Logging out ends the session and rolls back its transaction.
    EXPECT_EQ(a.post("/v1/logout", json::object()).status, 204);
    EXPECT_EQ(server_->session_count(), 0u);
    EXPECT_EQ(plan_rows("0101"), "6");
    auto after = a.records(s, apptest::department_statement());
    EXPECT_EQ(after.status, 401);
    EXPECT_EQ(error_of(after), "登录已过期，请重新登录");
    EXPECT_EQ(b.get("/v1/account").status, 200);  // the other sign-in lives on
}

TEST_P(Accounts, TokensOfOneServerAreAcceptedByAnotherOnTheSameDatabase)
{
    const auto in = server_->login("planner1", "planner-secret", "10.1.1.1");
    appserver::AppServer other(server_cs());
    const auto caller = other.caller_of_token(in.token, "10.1.1.1");
    EXPECT_EQ(caller.account, "planner1");
    EXPECT_EQ(caller.role, appserver::Role::Planner);
    const auto s = other.open_session(caller, contract::kCompanyInfoObject);
    EXPECT_EQ(other.get_records(caller, s, "dsp_temp", apptest::department_statement()).rows.size(), 4u);
    // Logged out on the first, refused on the second; the second's session goes at its sweep.
    server_->logout(server_->caller_of_token(in.token, "10.1.1.1"));
    EXPECT_EQ(kind_of([&] { other.caller_of_token(in.token, "10.1.1.1"); }), Kind::Unauthorized);
    EXPECT_EQ(other.expire_idle_sessions(), 1u);
    // Removing an account ends its tokens.
    const auto again = other.login("viewer1", "viewer-secret", "10.1.1.1");
    appserver::remove_account(cs(), "viewer1");
    EXPECT_EQ(kind_of([&] { server_->caller_of_token(again.token, "10.1.1.1"); }), Kind::Unauthorized);
    EXPECT_EQ(kind_of([&] { server_->login("viewer1", "viewer-secret", "10.1.1.2"); }), Kind::Unauthorized);
}

TEST_P(Accounts, FailedSignInsAreThrottledPerAccountAndPerAddress)
{
    std::string message;
    // Five wrong passwords for one account from five addresses: the sixth
    // try is refused even with the right password, from anywhere.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(kind_of([&] { server_->login("planner1", "guess", "10.0.0." + std::to_string(i)); }), Kind::Unauthorized);
    EXPECT_EQ(kind_of([&] { server_->login("planner1", "planner-secret", "10.0.1.1"); }, &message), Kind::Throttled);
    EXPECT_EQ(message, "登录失败次数过多，请稍后再试");
    // Other accounts from other addresses are not held up.
    EXPECT_NO_THROW(server_->login("viewer1", "viewer-secret", "10.0.1.1"));

    // Five failures from one address, each for another name: that address is held, others are not.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(kind_of([&] { server_->login("user" + std::to_string(i), "guess", "10.9.9.9"); }), Kind::Unauthorized);
    EXPECT_EQ(kind_of([&] { server_->login("viewer1", "viewer-secret", "10.9.9.9"); }), Kind::Throttled);
    EXPECT_NO_THROW(server_->login("viewer1", "viewer-secret", "10.9.9.8"));

    // Over HTTP: 429 with the message.
    Client c(front_->port());
    for (int i = 0; i < 5; ++i) EXPECT_EQ(c.login("viewer1", "guess").status, 401);
    auto held = c.login("viewer1", "viewer-secret");
    EXPECT_EQ(held.status, 429);
    EXPECT_EQ(error_of(held), "登录失败次数过多，请稍后再试");
}

// Long enough for the calls before the wait on a loaded machine (a sign-in
// alone takes a few hundred milliseconds there), short enough to wait out.
class ShortTokens : public Accounts {
protected:
    std::chrono::seconds token_lifetime() const override { return std::chrono::seconds(4); }
};
BACKEND_TEST_SUITE(ShortTokens);

TEST_P(ShortTokens, AnExpiredTokenIsRefusedAndItsOpenTransactionRolledBack)
{
    Client c = signed_in("planner1", "planner-secret");
    const auto s = c.open(contract::kCompanyInfoObject);
    EXPECT_EQ(c.method(s, "CompanydbTranStart").status, 200);
    EXPECT_EQ(c.execute(s, apptest::delete_statement(m0(), "01", "0102")).status, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(5100));
    auto late = c.method(s, "CompanydbTranCommit");
    EXPECT_EQ(late.status, 401);
    EXPECT_EQ(late.authenticate, "Bearer");
    EXPECT_EQ(error_of(late), "登录已过期，请重新登录");
    EXPECT_EQ(server_->expire_idle_sessions(), 1u);  // the sweep closes it though it is not idle for long
    EXPECT_EQ(plan_rows("0102"), "6");               // nothing of the transaction stayed
}

TEST(AuthNone, SignInIsNotInUseAndTheAccountIsTheAnonymousPlanner)
{
    testsupport::SqliteDb db(true);
    appserver::AppServer server(db.connection_string());
    appserver::HttpFrontEnd front(server, "127.0.0.1", 0);
    front.start();
    Client c(front.port());
    auto login = c.login("planner1", "whatever");
    EXPECT_EQ(login.status, 404);
    EXPECT_NE(error_of(login).find("--auth none"), std::string::npos) << error_of(login);
    EXPECT_EQ(c.get("/v1/account").body, (json{{"user", "anonymous"}, {"role", "planner"}, {"auth", "none"}}));
    const auto s = c.open(contract::kCompanyInfoObject);
    EXPECT_EQ(c.method(s, "CompanydbTranStart").status, 200);
}

TEST(ListenPolicy, OffLoopbackTheServerNeedsAccountsAndTlsAndRefusesBeforeBinding)
{
    testsupport::SqliteDb db;
    appserver::AppServer server(db.connection_string());
    std::string message;
    appserver::HttpFrontEnd open_door(server, "0.0.0.0", 0);
    EXPECT_EQ(kind_of([&] { open_door.start(); }, &message), Kind::BadRequest);
    EXPECT_NE(message.find("--auth accounts"), std::string::npos) << message;
    EXPECT_NE(message.find("--tls-cert"), std::string::npos) << message;
    EXPECT_EQ(open_door.port(), 0);  // nothing was bound
    appserver::HttpFrontEnd plain(server, "0.0.0.0", 0, {appserver::AuthMode::Accounts, {}, {}});
    EXPECT_EQ(kind_of([&] { plain.start(); }, &message), Kind::BadRequest);
    EXPECT_NE(message.find("--tls-key"), std::string::npos) << message;
    EXPECT_FALSE(appserver::listen_refusal("127.0.0.1", {}));
    EXPECT_FALSE(appserver::listen_refusal("0.0.0.0", {appserver::AuthMode::Accounts, "c.pem", "k.pem"}));

    // The program refuses with the same message and exit status 2.
    const std::string cmd = testsupport::server_executable() + " --listen 0.0.0.0:0 --database " +
                            db.connection_string() + " 2>&1";
    FILE *p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string text;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) text += buf;
    const int status = ::pclose(p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << text;
    EXPECT_NE(text.find("--auth accounts"), std::string::npos) << text;
}

TEST(Tls, AnHttpsRoundTripWithACertificateTheTestMakes)
{
    testsupport::TlsFiles tls;
    testsupport::SqliteDb db(true);
    testsupport::add_account(db.connection_string(), "planner1", "planner", "planner-secret");
    testsupport::ServerProcess server(db.connection_string(),
                                      {"--auth", "accounts", "--tls-cert", tls.cert(), "--tls-key", tls.key()});
    Client c("https://127.0.0.1:" + std::to_string(server.port()), tls.cert());
    ASSERT_EQ(c.login("planner1", "planner-secret").status, 200);
    const auto s = c.open(contract::kCompanyInfoObject);
    auto list = c.records(s, apptest::department_statement());
    ASSERT_EQ(list.status, 200);
    EXPECT_EQ(wire::packet_from_json(list.body).rows.size(), 4u);
    // Plain HTTP on the same port gets no answer.
    httplib::Client plain("127.0.0.1", server.port());
    plain.set_read_timeout(5);
    EXPECT_FALSE(plain.Get("/v1/health"));
    EXPECT_NE(server.output().find("https://"), std::string::npos) << server.output();
    // Neither the sign-in's password nor its token stands in the log.
    EXPECT_EQ(server.output().find("planner-secret"), std::string::npos);
    EXPECT_EQ(server.output().find(c.token), std::string::npos);
}

TEST(Redaction, APasswordInAConnectionStringIsNeverShown)
{
    EXPECT_EQ(appserver::redact_connection_string("postgresql://host=h password=s3cret dbname=d"),
              "postgresql://host=h password=*** dbname=d");
    EXPECT_EQ(appserver::redact_connection_string("postgresql://password='a b\\' c' user=u"),
              "postgresql://password=*** user=u");
    EXPECT_EQ(appserver::redact_connection_string("sqlite3://db=/tmp/x.db"), "sqlite3://db=/tmp/x.db");
}

TEST(UserCommands, AccountsAreManagedWithThePasswordOnStandardInput)
{
    testsupport::SqliteDb db;
    const std::string exe = testsupport::server_executable() + " user ";
    const std::string database = " --database " + db.connection_string();
    auto run = [](const std::string &cmd, std::string *out = nullptr) {
        FILE *p = ::popen((cmd + " 2>&1").c_str(), "r");
        std::string text;
        char buf[256];
        while (p && std::fgets(buf, sizeof buf, p)) text += buf;
        const int status = p ? ::pclose(p) : -1;
        if (out) *out = text;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run("echo 'first-secret' | " + exe + "add chen --role viewer" + database), 0);
    EXPECT_NE(run("echo 'first-secret' | " + exe + "add chen --role viewer" + database), 0);  // exists already
    EXPECT_NE(run("echo 'x' | " + exe + "add li --role boss" + database), 0);
    std::string list;
    EXPECT_EQ(run(exe + "list" + database, &list), 0);
    EXPECT_NE(list.find("chen"), std::string::npos) << list;
    EXPECT_NE(list.find("viewer"), std::string::npos) << list;
    EXPECT_EQ(list.find("first-secret"), std::string::npos);
    // The hash is Argon2id, never the password.
    const std::string accounts = appserver::accounts_connection_string(db.connection_string());
    const auto hash = testsupport::query_sql(accounts, "SELECT MMHX00 FROM GSTYHZH0").at(0).at(0);
    EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u) << hash;

    appserver::AppServer server(db.connection_string());
    const auto in = server.login("chen", "first-secret", "127.0.0.1");
    EXPECT_EQ(in.role, appserver::Role::Viewer);
    EXPECT_EQ(run("echo 'second-secret' | " + exe + "passwd chen" + database), 0);
    EXPECT_EQ(kind_of([&] { server.caller_of_token(in.token, "127.0.0.1"); }), Kind::Unauthorized);
    EXPECT_NO_THROW(server.login("chen", "second-secret", "127.0.0.1"));
    EXPECT_EQ(run(exe + "remove chen" + database), 0);
    EXPECT_NE(run(exe + "remove chen" + database), 0);
    EXPECT_TRUE(testsupport::query_sql(accounts, "SELECT * FROM GSTYHLP0").empty());
}

// PostgreSQL: the server runs as the role --init made, which can do what the
// server does and nothing more, and its password is shown nowhere.
TEST(PostgresServerRole, TheServerRunsAsALeastPrivilegeRoleWhosePasswordIsShownNowhere)
{
    if (!testsupport::PgDb::available()) GTEST_SKIP() << "SALEPLAN_TEST_PG is not set: the PostgreSQL run is skipped";
    testsupport::PgDb db(true);
    const std::string role_cs = db.server_connection_string_with_password();
    appserver::Connection as_server(role_cs);
    EXPECT_EQ(wire::value_to_text(as_server.run("SELECT current_user").packet.rows.at(0).at(0)), db.server_role());
    EXPECT_EQ(wire::value_to_text(as_server.run("SELECT COUNT(*) FROM GSTCKGL0").packet.rows.at(0).at(0)), "10");
    as_server.run("UPDATE XSTYZB02 SET ZBSL00=ZBSL00 WHERE RYDM00='0101'");
    for (const std::string &hostile : std::vector<std::string>{"DROP TABLE XSTYZB01", "UPDATE GSTCKGL0 SET CKMC00='x'", "DELETE FROM XSTYZB01", "INSERT INTO GSTYHZH0 VALUES ('a','planner','h',NULL)",
          "COPY XSTYZB01 TO PROGRAM 'id'", "COPY XSTYZB01 TO '/tmp/saleplan-leak.txt'", "CREATE TABLE XSTYEVIL (A INT)",
          "ALTER ROLE " + db.server_role() + " SUPERUSER", "SELECT pg_read_file('/etc/passwd')"}) {
        EXPECT_EQ(kind_of([&] { as_server.run(hostile); }), Kind::Database) << hostile;
    }

    // The server program, started on the test database, connects as the role.
    testsupport::add_account(db.connection_string(), "planner1", "planner", "planner-secret");
    testsupport::ServerProcess server(db.connection_string(), {"--auth", "accounts"});
    Client c(server.port());
    ASSERT_EQ(c.login("planner1", "planner-secret").status, 200);
    const auto s = c.open(contract::kCompanyInfoObject);
    EXPECT_EQ(c.records(s, apptest::department_statement()).status, 200);
    EXPECT_EQ(c.execute(s, apptest::delete_statement(appserver::month_key_from_today(0), "01", "0102")).status, 200);
    EXPECT_EQ(c.get("/v1/health").status, 200);

    std::ifstream cmdline("/proc/" + std::to_string(server.pid()) + "/cmdline");
    std::stringstream args;
    args << cmdline.rdbuf();
    EXPECT_NE(args.str().find("user=" + db.server_role()), std::string::npos) << args.str();
    EXPECT_EQ(args.str().find(db.server_password()), std::string::npos);
    EXPECT_EQ(args.str().find("password="), std::string::npos);
    std::ifstream environ_file("/proc/" + std::to_string(server.pid()) + "/environ");
    std::stringstream environment;
    environment << environ_file.rdbuf();
    EXPECT_EQ(environment.str().find(db.server_password()), std::string::npos);
    EXPECT_EQ(server.output().find(db.server_password()), std::string::npos) << server.output();
    EXPECT_NE(server.output().find("user=" + db.server_role()), std::string::npos) << server.output();
}

TEST(PostgresServerRole, AWrongPasswordIsRefusedWithoutShowingEitherPassword)
{
    if (!testsupport::PgDb::available()) GTEST_SKIP() << "SALEPLAN_TEST_PG is not set: the PostgreSQL run is skipped";
    testsupport::PgDb db;
    // A server with the wrong password answers health and every session with
    // 503, and the message shows no password.
    appserver::AppServer server(db.server_connection_string() + " password=not-the-password-1234");
    EXPECT_FALSE(server.database_reachable());
    std::string message;
    EXPECT_EQ(kind_of([&] { server.open_session(anyone, contract::kCompanyInfoObject); }, &message), Kind::Unavailable);
    EXPECT_EQ(message.find("not-the-password-1234"), std::string::npos) << message;
    EXPECT_EQ(message.find(db.server_password()), std::string::npos) << message;
    EXPECT_NE(message.find("password authentication failed"), std::string::npos) << message;
}

}  // namespace
