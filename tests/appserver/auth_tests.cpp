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

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>

#include "app_server.h"
#include "control_socket.h"
#include "http_front_end.h"
#include "refusals.h"
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
    // Keeps its connection open between calls (as the module's link does).
    void keep_alive() { client_.set_keep_alive(true); }
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
    // Judged by what the name resolves to, not by how it is spelled.
    for (const char *host : {"localhost", "127.0.0.9", "[::1]"}) EXPECT_FALSE(appserver::listen_refusal(host, {})) << host;
    for (const char *host : {"127.example.invalid", "127.0.0.1.example.invalid", "10.0.0.1"})
        EXPECT_TRUE(appserver::listen_refusal(host, {})) << host;
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
    // Neither the sign-in's password nor its token stands in the log, nor a
    // user name that names no account (it may be a password typed there).
    Client typo("https://127.0.0.1:" + std::to_string(server.port()), tls.cert());
    EXPECT_EQ(typo.login("my-Pass-w0rd", "planner1").status, 401);
    EXPECT_EQ(server.output().find("planner-secret"), std::string::npos);
    EXPECT_EQ(server.output().find(c.token), std::string::npos);
    EXPECT_EQ(server.output().find("my-Pass-w0rd"), std::string::npos) << server.output();

    // TLS 1.2 and 1.3 only, and only suites with forward secrecy, as
    // openssl s_client finds them.
    const std::string connect = "openssl s_client -connect 127.0.0.1:" + std::to_string(server.port()) + " ";
    struct Probe {
        std::string options;
        bool spoken;
    } probes[] = {
        {"-tls1_3", true},
        {"-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256", true},
        {"-tls1_2 -cipher AES128-GCM-SHA256", false},      // RSA key exchange: no forward secrecy
        {"-tls1_2 -cipher ECDHE-RSA-AES128-SHA", false},   // no authenticated encryption
        {"-tls1_1 -cipher DEFAULT@SECLEVEL=0", false},
        {"-tls1 -cipher DEFAULT@SECLEVEL=0", false},
    };
    for (const auto &p : probes) {
        const int status = std::system((connect + p.options + " </dev/null >/dev/null 2>&1").c_str());
        EXPECT_EQ(WIFEXITED(status) && WEXITSTATUS(status) == 0, p.spoken) << p.options;
    }
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

// --- before sign-in, and one address's share ----------------------------------

// A raw client connection from a loopback address of its own choosing
// (127.0.0.2 stands for a flooding client beside the planners' 127.0.0.1).
class RawClient {
public:
    RawClient(int port, const char *from = "127.0.0.1")
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &a.sin_addr);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        timeval t{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    }
    ~RawClient() { ::close(fd_); }
    void send(const std::string &text) { ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }
    // What comes until the status line's head is complete, or the server
    // closes; "" when it closed at once without a word, "<timeout>" when
    // nothing came within 10 s.
    std::string answer_head()
    {
        std::string text;
        char buf[4096];
        while (text.find("\r\n\r\n") == std::string::npos) {
            const auto n = ::recv(fd_, buf, sizeof buf, 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return text.empty() ? "<timeout>" : text;
            if (n <= 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        return text;
    }

private:
    int fd_ = -1;
};

std::string head_request(const std::string &method, const std::string &path, std::size_t length,
                         const std::string &token = {})
{
    return method + " " + path + " HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n" +
           (token.empty() ? std::string() : "Authorization: Bearer " + token + "\r\n") +
           "Content-Length: " + std::to_string(length) + "\r\n\r\n";
}

TEST_P(Accounts, BeforeSignInNoBodyIsReadPastAFewKilobytesAndJsonIsNestedOnlySoDeep)
{
    namespace refusal = appserver::refusal;
    const std::string session_path = "/v1/sessions/0123456789abcdef/providers/dsp_temp/records";
    const std::string unknown_token(64, 'a');
    // The head announces 16 MiB and no byte of it follows: the answer comes
    // from the head alone.
    struct Case {
        std::string head;
        const char *status;
        const char *counted;
    } cases[] = {
        {head_request("POST", contract::kLoginPath, 16u << 20), "HTTP/1.1 400", refusal::kBodyTooLarge},
        {head_request("POST", session_path, 16u << 20), "HTTP/1.1 401", refusal::kNoToken},
        {head_request("POST", session_path, 16u << 20, unknown_token), "HTTP/1.1 401", refusal::kBadToken},
    };
    for (const auto &c : cases) {
        const auto before = refusal::counted(c.counted);
        RawClient raw(front_->port());
        raw.send(c.head);
        const std::string head = raw.answer_head();
        EXPECT_EQ(head.rfind(c.status, 0), 0u) << c.head << "\n" << head;
        EXPECT_EQ(refusal::counted(c.counted), before + 1) << c.counted;
    }
    // A sign-in body past 4 KiB is refused whole, and one nested too deep.
    Client c(front_->port());
    auto big = c.post(contract::kLoginPath, json{{"user", "planner1"}, {"password", std::string(8192, 'x')}});
    EXPECT_EQ(big.status, 400);
    EXPECT_NE(error_of(big).find("4096"), std::string::npos) << big.body;
    json deep = "x";
    for (int i = 0; i < 40; ++i) deep = json::array({deep});
    auto nested = c.post(contract::kLoginPath, json{{"user", deep}, {"password", "p"}});
    EXPECT_EQ(nested.status, 400);
    EXPECT_NE(error_of(nested).find("nests deeper than 32"), std::string::npos) << nested.body;
    // A signed-in planner's large body is still read and served.
    Client planner = signed_in("planner1", "planner-secret");
    const auto s = planner.open(contract::kCompanyInfoObject);
    httplib::Client raw("127.0.0.1", front_->port());
    const auto padded = raw.Post(("/v1/sessions/" + s + "/providers/dsp_temp/records").c_str(),
                                 {{"Authorization", "Bearer " + planner.token}},
                                 json{{"commandText", apptest::department_statement()}}.dump() + std::string(64 * 1024, ' '),
                                 "application/json");
    ASSERT_TRUE(padded);
    EXPECT_EQ(padded->status, 200) << padded->body;
}

// One address may hold only its share of connections, open and still
// sending their request; a planner from another address is served meanwhile.
TEST_P(Accounts, OneAddressFloodingHoldsOnlyItsShareAndAPlannerIsServed)
{
    appserver::FrontEndOptions options{appserver::AuthMode::Accounts, {}, {}};
    options.max_clients_per_address = 6;
    options.max_sending_per_address = 3;
    appserver::HttpFrontEnd front(*server_, "127.0.0.1", 0, options);
    front.start();
    std::vector<std::unique_ptr<RawClient>> flood;
    // Three connections sending their heads slowly fill the sending share:
    // the fourth is closed at once.
    for (int i = 0; i < 3; ++i) {
        flood.push_back(std::make_unique<RawClient>(front.port(), "127.0.0.2"));
        flood.back()->send("GET /v1/hea");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the server has taken them in
    RawClient refused_sending(front.port(), "127.0.0.2");
    EXPECT_EQ(refused_sending.answer_head(), "");
    // Their requests done, they are kept open idle; three more fill the
    // address's share of open connections, and the next is closed at once.
    for (auto &f : flood) {
        f->send("lth HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(f->answer_head().rfind("HTTP/1.1 200", 0), 0u);
    }
    for (int i = 0; i < 3; ++i) {
        flood.push_back(std::make_unique<RawClient>(front.port(), "127.0.0.2"));
        flood.back()->send("GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(flood.back()->answer_head().rfind("HTTP/1.1 200", 0), 0u);
    }
    RawClient refused_open(front.port(), "127.0.0.2");
    EXPECT_EQ(refused_open.answer_head(), "");
    // The planner from its own address signs in and reads.
    Client planner(front.port());
    ASSERT_EQ(planner.login("planner1", "planner-secret").status, 200);
    EXPECT_EQ(planner.plan(planner.open(contract::kCustObject)).status, 200);
}

// --- accounts apart from the plans' locks -----------------------------------

TEST_P(Accounts, APlannersOpenTransactionHoldsUpNoSignInTokenCheckOrAdministration)
{
    Client holder = signed_in("planner1", "planner-secret");
    const auto s = holder.open(contract::kCompanyInfoObject);
    ASSERT_EQ(holder.method(s, "CompanydbTranStart").status, 200);
    ASSERT_EQ(holder.execute(s, apptest::delete_statement(m0(), "01", "0102")).status, 200);  // the write lock is taken
    Client other = signed_in("viewer1", "viewer-secret");
    EXPECT_EQ(other.get("/v1/account").status, 200);
    EXPECT_EQ(other.post(contract::kLogoutPath, json::object()).status, 204);
    EXPECT_NO_THROW(appserver::add_account(cs(), "planner2", appserver::Role::Planner, "planner2-secret"));
    EXPECT_NO_THROW(appserver::set_account_password(cs(), "viewer1", "viewer-secret-2"));
    EXPECT_NO_THROW(appserver::remove_account(cs(), "planner1"));  // the holder's own account
    EXPECT_EQ(holder.method(s, "CompanydbTranCommit").status, 401);  // its token went with it
    EXPECT_EQ(server_->expire_idle_sessions(), 1u);
    EXPECT_EQ(plan_rows("0102"), "6");
}

TEST_P(Accounts, AnAbandonedTransactionIsRolledBackWhenItsConnectionGoesOrTheAdministratorEndsIt)
{
    {
        Client gone = signed_in("planner1", "planner-secret");
        gone.keep_alive();
        const auto s = gone.open(contract::kCompanyInfoObject);
        ASSERT_EQ(gone.method(s, "CompanydbTranStart").status, 200);
        ASSERT_EQ(gone.execute(s, apptest::delete_statement(m0(), "01", "0102")).status, 200);
    }  // its connection closes with it
    for (int i = 0; i < 100 && server_->session_list().size() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(server_->session_list().empty());
    EXPECT_EQ(plan_rows("0102"), "6");

    // The administrator lists the sessions on the control socket and ends one.
    const std::string socket = ::testing::TempDir() + "control-" + std::to_string(::getpid()) + ".sock";
    appserver::ControlSocket control(*server_, socket);
    control.start();
    Client held = signed_in("planner1", "planner-secret");
    const auto s = held.open(contract::kCompanyInfoObject);
    ASSERT_EQ(held.method(s, "CompanydbTranStart").status, 200);
    ASSERT_EQ(held.execute(s, apptest::delete_statement(m0(), "01", "0102")).status, 200);
    const std::string list = appserver::ask_control_socket(socket, "list");
    EXPECT_EQ(list.rfind(s.substr(0, 16) + " planner1 127.0.0.1 ", 0), 0u) << list;
    EXPECT_NE(list.find("transaction-open"), std::string::npos) << list;
    EXPECT_THROW(appserver::ask_control_socket(socket, "end ffffffffffff"), ServerError);
    EXPECT_THROW(appserver::ask_control_socket(socket, "end 0"), ServerError);  // too short to name one
    EXPECT_NE(appserver::ask_control_socket(socket, "end " + s.substr(0, 12)).find(s.substr(0, 16)), std::string::npos);
    EXPECT_EQ(plan_rows("0102"), "6");
    EXPECT_EQ(held.method(s, "CompanydbTranCommit").status, 404);
}

// --- the throttle --------------------------------------------------------------

TEST_P(Accounts, TheThrottleKeysOneAccountByItsNameHoldsStrangersNotTheOwnerAndIsExactUnderBursts)
{
    namespace refusal = appserver::refusal;
    // A name with a control character names no account: refused before the
    // throttle counts anything against anyone.
    const auto refused_names = refusal::counted(refusal::kUserNameRefused);
    for (const std::string name : {std::string("planner1\0N", 10), std::string("planner1\x01"), std::string("plan ner1")})
        EXPECT_EQ(kind_of([&] { server_->login(name, "planner-secret", "10.3.0.1"); }), Kind::Unauthorized) << name;
    EXPECT_EQ(refusal::counted(refusal::kUserNameRefused), refused_names + 3);

    // The owner signed in from its usual address; strangers then fail five
    // times under spellings of the name that are one key: a stranger is held,
    // the owner at its usual address is not.
    EXPECT_NO_THROW(server_->login("planner1", "planner-secret", "10.0.0.100"));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(kind_of([&] { server_->login(i % 2 ? " planner1" : "planner1 ", "guess", "10.0.0." + std::to_string(i)); }),
                  Kind::Unauthorized);
    EXPECT_EQ(kind_of([&] { server_->login("planner1", "planner-secret", "10.0.1.1"); }), Kind::Throttled);
    EXPECT_NO_THROW(server_->login("planner1", "planner-secret", "10.0.0.100"));

    // Forty at once: exactly five passwords are checked, for one account
    // from forty addresses and for forty names from one address.
    auto burst = [&](auto name, auto address) {
        std::atomic<int> checked{0}, held{0};
        std::vector<std::thread> threads;
        std::atomic<bool> go{false};
        for (int i = 0; i < 40; ++i)
            threads.emplace_back([&, i] {
                while (!go) std::this_thread::yield();
                const Kind k = kind_of([&] { server_->login(name(i), "guess", address(i)); });
                ++(k == Kind::Unauthorized ? checked : held);
            });
        go = true;
        for (auto &t : threads) t.join();
        EXPECT_EQ(checked + held, 40);
        return checked.load();
    };
    EXPECT_EQ(burst([](int) { return std::string("viewer1"); }, [](int i) { return "10.5.0." + std::to_string(i); }), 5);
    EXPECT_EQ(burst([](int i) { return "user" + std::to_string(i); }, [](int) { return std::string("10.6.0.1"); }), 5);
}
