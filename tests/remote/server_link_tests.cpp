// The same call sequence through the real application server, once with the
// in-process link and once over loopback HTTP: what the forms see must not
// depend on which link they have.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "app_server.h"
#include "database_setup.h"
#include "http_front_end.h"
#include "contract.h"
#include "database.h"
#include "schema.h"
#include "inprocess_link.h"
#include "remote_connection.h"

#include <nlohmann/json.hpp>

namespace {

// The caller of the calls below: the anonymous planner, as every caller is
// with --auth none.
const appserver::Caller anyone;

using remote::RemoteConnection;
using remote::RemoteError;

enum class Mode { InProcess, Http };

void PrintTo(Mode mode, std::ostream *os) { *os << (mode == Mode::InProcess ? "in-process" : "HTTP"); }

// The module's own statements: the server runs no others.
const std::string kMonth = "202403";

std::string salesman_plan_statement(const std::string &salesman)
{
    return "SELECT * FROM XSTYZB02 WHERE NYUE00='" + kMonth + "' AND CKDM00='01' AND RYDM00='" + salesman + "'";
}
std::string delete_plan_statement(const std::string &salesman)
{
    return "DELETE XSTYZB02 WHERE NYUE00='" + kMonth + "' And Ckdm00='01' And Rydm00='" + salesman + "'";
}
std::string generation_statement(const std::string &salesman)
{
    return "INSERT INTO XSTYZB02(ZBSL00,NYUE00,XHAO00,ZBLB00,ZBMC00,SPDM00,SPDM01,CKDM00,RYDM00) SELECT distinct "
           "'0',NYUE00,XHAO00,ZBLB00,ZBMC00,null,null,'01','" +
           salesman + "' FROM XSTYZB01 WHERE NYUE00='" + kMonth + "' AND CKDM00='01'";
}
const char *kDepartmentStatement =
    "SELECT CKDM00,CKMC00 FROM GSTCKGL0 WHERE WDBJ00='F' AND ZZRQ00 IS NULL AND CKDM00<>'HZ' AND CKDM00<>'0F' AND "
    "CKDM00<>'0B' AND CKDM00<>'0P'";

// How many plan rows a salesman holds (all of the month's with an empty code).
std::string count_of(RemoteConnection &conn, const std::string &salesman)
{
    const std::string sql = salesman.empty() ? "SELECT * FROM XSTYZB02 WHERE NYUE00='" + kMonth + "'"
                                             : salesman_plan_statement(salesman);
    return std::to_string(conn.get_records("dsp_temp", sql).rows.size());
}

// A salesman's quantity of the month's one indicator, read through the statement provider.
double quantity_of(RemoteConnection &conn, const std::string &salesman)
{
    auto p = conn.get_records("dsp_temp", salesman_plan_statement(salesman));
    for (std::size_t c = 0; c < p.fields.size(); ++c)
        if (p.fields[c].name == "ZBSL00" || p.fields[c].name == "zbsl00") return wire::value_to_double(p.rows.at(0).at(c));
    ADD_FAILURE() << "no ZBSL00 column";
    return -1;
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
        connection_string_ = connection_string;
        // The department's plan of the month: one indicator.
        appserver::Connection(connection_string)
            .run("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) "
                 "VALUES ('202403','01',1,'1','卷烟销售总量',3600)");
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

    // Generates a salesman's plan (one row) through the statement provider.
    void insert_plan_row(RemoteConnection &conn, const std::string &salesman)
    {
        EXPECT_EQ(conn.execute("dsp_temp", generation_statement(salesman)), 1);
    }
    // Sets a quantity straight in the database (the module does that through the plan provider).
    void set_quantity(const std::string &salesman, double quantity)
    {
        appserver::Connection(connection_string_)
            .run("UPDATE XSTYZB02 SET ZBSL00=? WHERE RYDM00=?", {quantity, salesman});
    }

    std::filesystem::path dir_;
    std::string connection_string_;
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
        info->get_records("dsp_temp", kDepartmentStatement);
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
    insert_plan_row(*info, "0101");
    insert_plan_row(*info, "0102");
    set_quantity("0102", 50.5);

    auto p = info->get_records("dsp_temp", salesman_plan_statement("0102"));
    ASSERT_EQ(p.rows.size(), 1u);
    std::map<std::string, std::string> row;
    for (std::size_t c = 0; c < p.fields.size(); ++c) row[p.fields[c].name] = wire::value_to_text(p.rows[0][c]);
    EXPECT_EQ(row["ZBMC00"], "卷烟销售总量");
    EXPECT_EQ(row["RYDM00"], "0102");
    EXPECT_EQ(quantity_of(*info, "0102"), 50.5);

    // DELETE without FROM, as the module writes it.
    EXPECT_EQ(info->execute("dsp_temp", delete_plan_statement("0102")), 1);
    EXPECT_EQ(count_of(*info, ""), "1");
}

TEST_P(ServerLinkTest, TransactionMethodsShareTheSessionWithStatements)
{
    auto info = connect(remote::company_info_object());
    insert_plan_row(*info, "0101");

    info->call_method("CompanydbTranStart");
    info->execute("dsp_temp", delete_plan_statement("0101"));
    EXPECT_EQ(count_of(*info, "0101"), "0");
    info->call_method("CompanydbRollback");
    EXPECT_EQ(count_of(*info, "0101"), "1");

    info->call_method("CompanydbTranStart");
    insert_plan_row(*info, "0102");
    info->call_method("CompanydbTranCommit");
    info->call_method("CompanydbRollback");  // nothing open: does nothing
    EXPECT_EQ(count_of(*info, "0102"), "1");
}

TEST_P(ServerLinkTest, ReleasingAConnectionRollsBackItsOpenTransaction)
{
    auto reader = connect(remote::company_info_object());
    insert_plan_row(*reader, "0101");
    {
        auto writer = connect(remote::company_info_object());
        writer->call_method("CompanydbTranStart");
        writer->execute("dsp_temp", delete_plan_statement("0101"));
    }
    EXPECT_EQ(count_of(*reader, "0101"), "1");
}

TEST_P(ServerLinkTest, PlanProviderDeliversRowsAndAppliesQuantityChanges)
{
    auto info = connect(remote::company_info_object());
    insert_plan_row(*info, "0101");
    set_quantity("0101", 100);
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
    EXPECT_EQ(quantity_of(*info, "0101"), 120);

    // The same change again is stale: the row no longer holds 100.
    change.values["ZBSL00"] = 130.0;
    wire::ApplyResult stale = cust->apply_updates("dsp_xstyzb02cys", {change}, 0);
    EXPECT_GE(stale.error_count, 1);
    ASSERT_FALSE(stale.errors.empty());
    EXPECT_FALSE(stale.errors[0].message.empty());
    EXPECT_EQ(quantity_of(*info, "0101"), 120);
}

TEST_P(ServerLinkTest, RefusalsCarryTheServersMessageAndTheConnectionGoesOn)
{
    auto info = connect(remote::company_info_object());
    try {
        info->get_records("dsp_temp", "select * from NO_SUCH_TABLE");
        FAIL() << "no error";
    } catch (const RemoteError &e) {
        EXPECT_NE(std::string(e.what()).find("statement not allowed"), std::string::npos) << e.what();
    }
    // Either link hands on the server's own message unchanged.
    std::string server_message;
    const std::string session = server_->open_session(anyone, contract::kCompanyInfoObject);
    try {
        server_->get_records(anyone, session, "dsp_nothing", "select 1");
    } catch (const appserver::ServerError &e) {
        server_message = e.what();
    }
    server_->close_session(anyone, session);
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
    EXPECT_EQ(count_of(*info, ""), "0");
    EXPECT_EQ(server_->session_count(), 1u);
}

TEST_P(ServerLinkTest, AnExpiredSessionFailsOnceWithItsTransactionRolledBackThenANewOneOpens)
{
    auto info = connect(remote::company_info_object());
    insert_plan_row(*info, "0101");
    info->call_method("CompanydbTranStart");
    info->execute("dsp_temp", delete_plan_statement("0101"));
    ASSERT_EQ(server_->expire_idle_sessions(), 1u);

    EXPECT_THROW(info->call_method("CompanydbTranCommit"), RemoteError);
    // The delete went with the expired session's transaction.
    EXPECT_EQ(count_of(*info, "0101"), "1");
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

TEST_P(ServerLinkTest, TheBoardWithItsDetailsAndMethodsWithParametersGoThroughEitherLinkAlike)
{
    appserver::Connection db(connection_string_);
    db.run("INSERT INTO GSTCKGL0 (CKDM00,CKMC00,WDBJ00) VALUES ('01','城东访销部','F')");
    db.run("INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0101','张伟','Y','01'),('0102','李娜','Y','01')");
    db.run("INSERT INTO XSTYXSZB (NYUE00,XHAO00,ZBMC00) VALUES ('202403',1,'卷烟销售总量')");
    auto cust = connect(remote::cust_object());
    const wire::MethodParams month{{"NYUE00", kMonth}, {"CKDM00", "01"}};

    const nlohmann::json generated = cust->call_method("GeneratePlans", month);
    EXPECT_EQ(generated.dump(), R"({"generated":["0101","0102"],"skipped":[]})");
    const wire::DataPacket board = cust->get_records("dsp_board", "", month);
    const std::string session = server_->open_session(anyone, contract::kCustObject);
    EXPECT_EQ(board, server_->get_records(anyone, session, "dsp_board", "", month));
    server_->close_session(anyone, session);
    ASSERT_EQ(board.row_ids.size(), 2u);
    ASSERT_EQ(board.details.size(), 3u);
    EXPECT_EQ(wire::value_to_text(board.details.at("department").rows.at(0).at(1)), "城东访销部");
    EXPECT_EQ(board.details.at("salesmen").rows.size(), 2u);
    EXPECT_EQ(wire::value_to_double(board.details.at("plan").rows.at(0).at(3)), 3600);

    // The transaction methods answer {} either way; what a method does not
    // take is refused with the server's message.
    auto info = connect(remote::company_info_object());
    EXPECT_EQ(info->call_method("CompanydbTranStart", {}).dump(), "{}");
    EXPECT_EQ(info->call_method("CompanydbRollback", {}).dump(), "{}");
    try {
        info->call_method("CompanydbTranStart", {{"NYUE00", kMonth}});
        FAIL() << "a parameter the method does not take was passed";
    } catch (const RemoteError &e) {
        EXPECT_EQ(std::string(e.what()), "method CompanydbTranStart takes no parameters, not \"NYUE00\"");
    }
    EXPECT_THROW(cust->call_method("GeneratePlans", {{"NYUE00", "202413"}, {"CKDM00", "01"}}), RemoteError);
}

INSTANTIATE_TEST_SUITE_P(Links, ServerLinkTest, ::testing::Values(Mode::InProcess, Mode::Http),
                         [](const ::testing::TestParamInfo<Mode> &info) {
                             return info.param == Mode::InProcess ? std::string("InProcess") : std::string("Http");
                         });

}  // namespace
