// The connection's side of signing in, against a stand-in server: https and
// http computer names, the bearer token on every request, the refused call
// repeated once after a sign-in outside a transaction, the loss reported
// inside one, and cancelling.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fake_servers.h"
#include "remote_connection.h"

namespace {

using remote::RemoteConnection;
using remote::RemoteError;
using remote_test::FakeApi;

TEST(ComputerNameScheme, HttpsAndHttpPrefixesChooseTheTransportAndKeepTheDefaultPort)
{
    auto ep = remote::parse_computer_name("https://appsrv:8443");
    EXPECT_TRUE(ep.tls);
    EXPECT_EQ(ep.host, "appsrv");
    EXPECT_EQ(ep.port, 8443);
    ep = remote::parse_computer_name(" HTTPS://[::1]/ ");
    EXPECT_TRUE(ep.tls);
    EXPECT_EQ(ep.host, "::1");
    EXPECT_EQ(ep.port, 7411);
    ep = remote::parse_computer_name("http://appsrv");
    EXPECT_FALSE(ep.tls);
    EXPECT_EQ(ep.port, 7411);
    EXPECT_FALSE(remote::parse_computer_name("appsrv:80").tls);
    // One server, one sign-in, however it is spelt.
    EXPECT_EQ(remote::server_key("appsrv"), remote::server_key("http://appsrv:7411/"));
    EXPECT_NE(remote::server_key("https://appsrv"), remote::server_key("appsrv"));
    for (const char *bad : {"ftp://appsrv", "https://", "https://appsrv/v1", "https://appsrv:0"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(remote::parse_computer_name(bad), RemoteError);
    }
}

// A server with accounts: one valid token; every call without it is refused
// with 401 and does not run.
struct AccountsApi {
    FakeApi api;
    std::string valid = "tok-1";
    int calls_run = 0;
    std::vector<std::string> authorizations;

    AccountsApi()
    {
        auto check = [this](const httplib::Request &req, httplib::Response &res) {
            authorizations.push_back(req.get_header_value("Authorization"));
            if (req.get_header_value("Authorization") != "Bearer " + valid) {
                res.set_header("WWW-Authenticate", "Bearer");
                FakeApi::answer(res, 401, R"({"error":"登录已过期，请重新登录"})");
                return false;
            }
            return true;
        };
        api.set_on_open([this, check](const httplib::Request &req, httplib::Response &res) {
            if (check(req, res)) FakeApi::answer(res, 201, R"({"session":"s)" + std::to_string(++opened) + R"("})");
        });
        api.set_on_call([this, check](const httplib::Request &req, httplib::Response &res) {
            if (!check(req, res)) return;
            ++calls_run;
            FakeApi::answer(res, 200, req.path.ends_with("/execute") ? R"({"rowsAffected":2})" : "{}");
        });
    }
    int opened = 0;
};

class SignInFlow : public ::testing::Test {
protected:
    void SetUp() override { remote::set_link_factory({}); }
    void TearDown() override
    {
        remote::set_sign_in_hook({});
        remote::forget_token(remote::server_key(server.api.computer_name()));
    }
    std::string key() const { return remote::server_key(server.api.computer_name()); }

    AccountsApi server;
    std::vector<std::string> reasons;
};

TEST_F(SignInFlow, ARefusedCallAsksForASignInAndIsRepeatedOnceWithTheToken)
{
    remote::set_sign_in_hook([&](const std::string &, const std::string &reason) {
        reasons.push_back(reason);
        remote::set_token(key(), "tok-1");
        return true;
    });
    RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name(server.api.computer_name());
    EXPECT_EQ(conn.execute("dsp_temp", "DELETE XSTYZB02 WHERE 1=0"), 2);
    EXPECT_EQ(reasons, (std::vector<std::string>{"登录已过期，请重新登录"}));
    EXPECT_EQ(server.calls_run, 1);
    EXPECT_EQ(server.authorizations.front(), "");
    EXPECT_EQ(server.authorizations.back(), "Bearer tok-1");

    // The token runs out: the next call asks again and goes on a new session.
    server.valid = "tok-2";
    remote::set_sign_in_hook([&](const std::string &, const std::string &reason) {
        reasons.push_back(reason);
        remote::set_token(key(), "tok-2");
        return true;
    });
    EXPECT_EQ(conn.execute("dsp_temp", "x"), 2);
    EXPECT_EQ(reasons.size(), 2u);
    EXPECT_EQ(server.calls_run, 2);
    EXPECT_EQ(server.opened, 2);
}

TEST_F(SignInFlow, CancellingTheSignInFailsTheCallNamingTheServer)
{
    remote::set_sign_in_hook([&](const std::string &, const std::string &) { return false; });
    RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name(server.api.computer_name());
    try {
        conn.execute("dsp_temp", "x");
        FAIL() << "no error";
    } catch (const RemoteError &e) {
        EXPECT_EQ(std::string(e.what()), "未登录应用服务器 " + server.api.computer_name() + "：登录已取消");
    }
    EXPECT_EQ(server.calls_run, 0);
    EXPECT_FALSE(conn.connected());
}

TEST_F(SignInFlow, AServerThatKeepsRefusingIsNotAskedForever)
{
    int asked = 0;
    remote::set_sign_in_hook([&](const std::string &, const std::string &) {
        ++asked;
        remote::set_token(key(), "never-good");
        return true;
    });
    RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name(server.api.computer_name());
    EXPECT_THROW(conn.execute("dsp_temp", "x"), RemoteError);
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(server.calls_run, 0);
}

TEST_F(SignInFlow, ASignInLostInsideATransactionIsReportedAndNothingIsRepeated)
{
    remote::set_token(key(), "tok-1");
    int asked = 0;
    remote::set_sign_in_hook([&](const std::string &, const std::string &) {
        ++asked;
        return true;
    });
    RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name(server.api.computer_name());
    conn.call_method(remote::kTranStartMethod);
    server.valid = "tok-2";
    try {
        conn.execute("dsp_temp", "INSERT ...");
        FAIL() << "the statement went on without its transaction";
    } catch (const RemoteError &e) {
        EXPECT_NE(std::string(e.what()).find("登录已失效，未提交的事务已撤销"), std::string::npos) << e.what();
    }
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(server.calls_run, 1);  // only the transaction start ran
}

TEST_F(SignInFlow, WithoutASignInHookTheRefusalIsAnError)
{
    RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name(server.api.computer_name());
    EXPECT_THROW(conn.call_method("CompanydbTranStart"), RemoteError);
    EXPECT_EQ(server.calls_run, 0);
}

TEST_F(SignInFlow, SignInKeepsTheTokenAndTheAccountAndARefusalCarriesTheServersWords)
{
    server.api.set_on_call([&](const httplib::Request &req, httplib::Response &res) {
        if (req.path == "/v1/login") {
            auto body = nlohmann::json::parse(req.body);
            if (body["password"] == "对的")
                FakeApi::answer(res, 200, R"({"token":"tok-9","expires":"2030-01-01T00:00:00Z","user":"王","role":"viewer"})");
            else
                FakeApi::answer(res, 401, R"({"error":"用户名或密码错误"})");
        } else {
            FakeApi::answer(res, 404, R"({"error":"no"})");
        }
    });
    try {
        remote::sign_in(server.api.computer_name(), "王", "错的");
        FAIL() << "signed in with a wrong password";
    } catch (const remote::SignInRefused &e) {
        EXPECT_STREQ(e.what(), "用户名或密码错误");
    }
    EXPECT_FALSE(remote::token_for(key()));
    remote::Account a = remote::sign_in(server.api.computer_name(), "王", "对的");
    EXPECT_EQ(a.role, "viewer");
    EXPECT_EQ(remote::token_for(key()), "tok-9");
    EXPECT_TRUE(remote::account_is_viewer(server.api.computer_name()));
}

}  // namespace
