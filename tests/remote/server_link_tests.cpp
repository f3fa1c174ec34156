// The same call sequence through the real application server, once with the
// in-process link and once over loopback HTTP: what the forms see must not
// depend on which link they have.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>

#include "app_server.h"
#include "inprocess_link.h"
#include "remote_connection.h"

namespace {

using remote::RemoteConnection;
using remote::RemoteError;

enum class Mode { InProcess, Http };

void PrintTo(Mode mode, std::ostream *os) { *os << (mode == Mode::InProcess ? "in-process" : "HTTP"); }

std::string count_of(RemoteConnection &conn, const std::string &where)
{
    auto p = conn.get_records("dsp_temp", "select count(*) as N from XSTYZB02 where " + where);
    return wire::value_to_text(p.rows.at(0).at(0));
}

class ServerLinkTest : public ::testing::TestWithParam<Mode> {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/remote-tests-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        const std::string connection_string = "sqlite3://db=" + (dir_ / "plan.db").string();
        appserver::init_database(connection_string, false);
        // Sessions idle for any time at all expire, but only when a test
        // asks the server to expire them.
        server_ = std::make_unique<appserver::AppServer>(connection_string, std::chrono::seconds(0));
        if (GetParam() == Mode::InProcess) {
            remote::set_link_factory(remote::inprocess_link_factory(*server_));
        } else {
            front_ = std::make_unique<appserver::HttpFrontEnd>(*server_, "127.0.0.1", 0);
            front_->start();
            computer_name_ = "127.0.0.1:" + std::to_string(front_->port());
        }
    }

    void TearDown() override
    {
        remote::set_link_factory({});
        if (front_) front_->stop();
        front_.reset();
        server_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::unique_ptr<RemoteConnection> connect(const remote::ServerObject &object)
    {
        auto conn = std::make_unique<RemoteConnection>(object);
        conn->set_computer_name(computer_name_);
        return conn;
    }

    // Inserts one salesman plan row through the statement provider.
    void insert_plan_row(RemoteConnection &conn, const std::string &salesman, double quantity)
    {
        EXPECT_EQ(conn.execute("dsp_temp",
                               "INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00) "
                               "VALUES ('202403',1,'1','卷烟销售总量'," +
                                   wire::format_number(quantity) + ",'01','" + salesman + "')"),
                  1);
    }

    std::filesystem::path dir_;
    std::unique_ptr<appserver::AppServer> server_;
    std::unique_ptr<appserver::HttpFrontEnd> front_;
    std::string computer_name_;
};

TEST_P(ServerLinkTest, SessionOpensAtTheFirstCallAndClosesWithTheConnection)
{
    {
        auto info = connect(remote::company_info_object());
        auto cust = connect(remote::cust_object());
        EXPECT_EQ(server_->session_count(), 0u);
        info->get_records("dsp_temp", "select 1 as ONE");
        EXPECT_EQ(server_->session_count(), 1u);
        cust->get_records("dsp_xstyzb02cys", "");
        info->call_method("CompanydbTranCommit");
        EXPECT_EQ(server_->session_count(), 2u);
    }
    EXPECT_EQ(server_->session_count(), 0u);
}

TEST_P(ServerLinkTest, StatementsRunAndReadBackWithChineseText)
{
    auto info = connect(remote::company_info_object());
    insert_plan_row(*info, "0101", 100);
    insert_plan_row(*info, "0102", 50.5);

    auto p = info->get_records("dsp_temp", "select RYDM00, ZBMC00, ZBSL00 from XSTYZB02 order by RYDM00");
    ASSERT_EQ(p.fields.size(), 3u);
    EXPECT_EQ(p.fields[0].name, "RYDM00");
    ASSERT_EQ(p.rows.size(), 2u);
    EXPECT_EQ(wire::value_to_text(p.rows[0][1]), "卷烟销售总量");
    EXPECT_EQ(wire::value_to_double(p.rows[1][2]), 50.5);

    // DELETE without FROM, as the module writes it.
    EXPECT_EQ(info->execute("dsp_temp", "DELETE XSTYZB02 WHERE RYDM00='0102'"), 1);
    EXPECT_EQ(count_of(*info, "1=1"), "1");
}

TEST_P(ServerLinkTest, TransactionMethodsShareTheSessionWithStatements)
{
    auto info = connect(remote::company_info_object());
    insert_plan_row(*info, "0101", 100);

    info->call_method("CompanydbTranStart");
    info->execute("dsp_temp", "DELETE XSTYZB02 WHERE RYDM00='0101'");
    EXPECT_EQ(count_of(*info, "RYDM00='0101'"), "0");
    info->call_method("CompanydbRollback");
    EXPECT_EQ(count_of(*info, "RYDM00='0101'"), "1");

    info->call_method("CompanydbTranStart");
    insert_plan_row(*info, "0102", 7);
    info->call_method("CompanydbTranCommit");
    info->call_method("CompanydbRollback");  // nothing open: does nothing
    EXPECT_EQ(count_of(*info, "RYDM00='0102'"), "1");
}

TEST_P(ServerLinkTest, ReleasingAConnectionRollsBackItsOpenTransaction)
{
    auto reader = connect(remote::company_info_object());
    insert_plan_row(*reader, "0101", 100);
    {
        auto writer = connect(remote::company_info_object());
        writer->call_method("CompanydbTranStart");
        writer->execute("dsp_temp", "DELETE XSTYZB02 WHERE RYDM00='0101'");
    }
    EXPECT_EQ(count_of(*reader, "RYDM00='0101'"), "1");
}

TEST_P(ServerLinkTest, PlanProviderDeliversRowsAndAppliesQuantityChanges)
{
    auto info = connect(remote::company_info_object());
    insert_plan_row(*info, "0101", 100);
    auto cust = connect(remote::cust_object());

    wire::DataPacket p = cust->get_records("dsp_xstyzb02cys", "");
    std::vector<std::string> names;
    for (const auto &f : p.fields) names.push_back(f.name);
    EXPECT_EQ(names, (std::vector<std::string>{"NYUE00", "XHAO00", "ZBLB00", "ZBMC00", "ZBSL00", "CKDM00", "RYDM00",
                                               "SPDM00", "SPDM01", "ZBLBMC"}));
    ASSERT_EQ(p.rows.size(), 1u);
    ASSERT_EQ(p.row_ids.size(), 1u);

    wire::Change change;
    change.kind = wire::ChangeKind::Modify;
    change.row_id = p.row_ids[0];
    change.original["ZBSL00"] = 100.0;
    change.values["ZBSL00"] = 120.0;
    wire::ApplyResult ok = cust->apply_updates("dsp_xstyzb02cys", {change}, 0);
    EXPECT_EQ(ok.error_count, 0);
    EXPECT_EQ(count_of(*info, "ZBSL00=120"), "1");

    // The same change again is stale: the row no longer holds 100.
    change.values["ZBSL00"] = 130.0;
    wire::ApplyResult stale = cust->apply_updates("dsp_xstyzb02cys", {change}, 0);
    EXPECT_GE(stale.error_count, 1);
    ASSERT_FALSE(stale.errors.empty());
    EXPECT_FALSE(stale.errors[0].message.empty());
    EXPECT_EQ(count_of(*info, "ZBSL00=120"), "1");
}

TEST_P(ServerLinkTest, RefusalsCarryTheServersMessageAndTheConnectionGoesOn)
{
    auto info = connect(remote::company_info_object());
    try {
        info->get_records("dsp_temp", "select * from NO_SUCH_TABLE");
        FAIL() << "no error";
    } catch (const RemoteError &e) {
        EXPECT_NE(std::string(e.what()).find("NO_SUCH_TABLE"), std::string::npos) << e.what();
    }
    // Either link hands on the server's own message unchanged.
    std::string server_message;
    const std::string session = server_->open_session(appserver::kCompanyInfoObject);
    try {
        server_->get_records(session, "dsp_nothing", "select 1");
    } catch (const appserver::ServerError &e) {
        server_message = e.what();
    }
    server_->close_session(session);
    ASSERT_FALSE(server_message.empty());
    try {
        info->get_records("dsp_nothing", "select 1");
        FAIL() << "no error";
    } catch (const RemoteError &e) {
        EXPECT_EQ(e.what(), server_message);
    }
    EXPECT_THROW(info->call_method("NoSuchMethod"), RemoteError);
    // The plan provider belongs to the other object.
    EXPECT_THROW(info->get_records("dsp_xstyzb02cys", ""), RemoteError);
    EXPECT_EQ(count_of(*info, "1=1"), "0");
    EXPECT_EQ(server_->session_count(), 1u);
}

TEST_P(ServerLinkTest, AnExpiredSessionFailsOnceWithItsTransactionRolledBackThenANewOneOpens)
{
    auto info = connect(remote::company_info_object());
    insert_plan_row(*info, "0101", 100);
    info->call_method("CompanydbTranStart");
    info->execute("dsp_temp", "DELETE XSTYZB02 WHERE RYDM00='0101'");
    ASSERT_EQ(server_->expire_idle_sessions(), 1u);

    EXPECT_THROW(info->call_method("CompanydbTranCommit"), RemoteError);
    // The delete went with the expired session's transaction.
    EXPECT_EQ(count_of(*info, "RYDM00='0101'"), "1");
    EXPECT_EQ(server_->session_count(), 1u);
}

TEST_P(ServerLinkTest, AnUnknownServerObjectIsRefusedAtTheFirstCall)
{
    auto conn = connect(remote::ServerObject{"VendrixServer.CoNothing", ""});
    EXPECT_THROW(conn->call_method("CompanydbTranStart"), RemoteError);
    EXPECT_FALSE(conn->connected());

    auto wrong_class = connect(remote::ServerObject{remote::cust_object().prog_id,
                                                    remote::company_info_object().class_id});
    EXPECT_THROW(wrong_class->get_records("dsp_xstyzb02cys", ""), RemoteError);
    EXPECT_EQ(server_->session_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Links, ServerLinkTest, ::testing::Values(Mode::InProcess, Mode::Http),
                         [](const ::testing::TestParamInfo<Mode> &info) {
                             return info.param == Mode::InProcess ? std::string("InProcess") : std::string("Http");
                         });

}  // namespace
