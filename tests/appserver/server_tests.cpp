// The application server called directly: sessions and their transactions,
// both providers, the methods, and applying plan changes. Each test runs on
// SQLite and on PostgreSQL.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <nlohmann/json.hpp>

#include "app_server.h"
#include "contract.h"
#include "backend_test.h"
#include "database.h"
#include "module_statements.h"
#include "provider.h"

namespace {

// The caller of the calls below: the anonymous planner, as every caller is
// with --auth none.
const appserver::Caller anyone;

using apptest::column;
using appserver::AppServer;
using appserver::ServerError;
using Kind = appserver::ServerError::Kind;

const char *kInfo = contract::kCompanyInfoObject;
const char *kCust = contract::kCustObject;

// Runs f and returns the kind of ServerError it threw (fails when none).
template <class F> Kind error_kind(F &&f, std::string *message = nullptr)
{
    try {
        f();
    } catch (const ServerError &e) {
        if (message) *message = e.what();
        return e.kind();
    }
    ADD_FAILURE() << "no ServerError was thrown";
    return Kind::BadRequest;
}

// The sessions' statements are the module's: generating and deleting the
// plan of salesman 0109 from a department plan of one row.
class Sessions : public apptest::BackendTest {
protected:
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01',1,'1','卷烟销售总量',1200)");
    }
};
BACKEND_TEST_SUITE(Sessions);

const std::string kInsertDept = apptest::generation_statement("200303", "01", "0109");
const std::string kDeleteDept = apptest::delete_statement("200303", "01", "0109");
const char *kCountDept = "SELECT COUNT(*) FROM XSTYZB02 WHERE RYDM00='0109'";

// How many plan rows of 0109 the session sees.
std::string seen(AppServer &server, const std::string &session)
{
    return std::to_string(
        server.get_records(anyone, session, "dsp_temp", apptest::existence_statement("200303", "01", "0109")).rows.size());
}

TEST_P(Sessions, AStatementBetweenStartAndRollbackIsGoneAndBetweenStartAndCommitStays)
{
    AppServer server(server_cs());
    const auto s = server.open_session(anyone, kInfo);
    const auto other = server.open_session(anyone, kInfo);

    server.call_method(anyone, s, "CompanydbTranStart");
    EXPECT_EQ(server.execute(anyone, s, "dsp_temp", kInsertDept), 1);
    // Inside the transaction the session sees its row; another session does not.
    EXPECT_EQ(seen(server, s), "1");
    EXPECT_EQ(seen(server, other), "0");
    server.call_method(anyone, s, "CompanydbRollback");
    EXPECT_EQ(scalar(kCountDept), "0");

    server.call_method(anyone, s, "CompanydbTranStart");
    server.execute(anyone, s, "dsp_temp", kInsertDept);
    server.call_method(anyone, s, "CompanydbTranCommit");
    EXPECT_EQ(scalar(kCountDept), "1");
    EXPECT_EQ(seen(server, other), "1");
}

TEST_P(Sessions, WithoutATransactionAStatementIsCommittedAtOnce)
{
    AppServer server(server_cs());
    const auto s = server.open_session(anyone, kInfo);
    server.execute(anyone, s, "dsp_temp", kInsertDept);
    server.call_method(anyone, s, "CompanydbRollback");
    EXPECT_EQ(scalar(kCountDept), "1");
}

TEST_P(Sessions, CommitOrRollbackWithoutAnOpenTransactionSucceedAndDoNothing)
{
    AppServer server(server_cs());
    const auto s = server.open_session(anyone, kInfo);
    EXPECT_NO_THROW(server.call_method(anyone, s, "CompanydbTranCommit"));
    EXPECT_NO_THROW(server.call_method(anyone, s, "CompanydbRollback"));
    server.call_method(anyone, s, "CompanydbTranStart");
    server.execute(anyone, s, "dsp_temp", kInsertDept);
    server.call_method(anyone, s, "CompanydbTranCommit");
    EXPECT_NO_THROW(server.call_method(anyone, s, "CompanydbRollback"));  // a rollback after the commit
    EXPECT_EQ(scalar(kCountDept), "1");
}

TEST_P(Sessions, ASecondStartWhileATransactionIsOpenIsRefused)
{
    AppServer server(server_cs());
    const auto s = server.open_session(anyone, kInfo);
    server.call_method(anyone, s, "CompanydbTranStart");
    server.execute(anyone, s, "dsp_temp", kInsertDept);
    EXPECT_EQ(error_kind([&] { server.call_method(anyone, s, "CompanydbTranStart"); }), Kind::BadRequest);
    server.call_method(anyone, s, "CompanydbRollback");  // the first transaction is still the open one
    EXPECT_EQ(scalar(kCountDept), "0");
}

TEST_P(Sessions, ClosingASessionRollsBackItsTransaction)
{
    AppServer server(server_cs());
    const auto s = server.open_session(anyone, kInfo);
    server.call_method(anyone, s, "CompanydbTranStart");
    server.execute(anyone, s, "dsp_temp", kInsertDept);
    server.close_session(anyone, s);
    EXPECT_EQ(server.session_count(), 0u);
    EXPECT_EQ(scalar(kCountDept), "0");
    EXPECT_EQ(error_kind([&] { server.execute(anyone, s, "dsp_temp", kInsertDept); }), Kind::NotFound);
    EXPECT_EQ(error_kind([&] { server.close_session(anyone, s); }), Kind::NotFound);
}

TEST_P(Sessions, AnIdleSessionIsClosedAndItsTransactionRolledBack)
{
    AppServer patient(server_cs(), std::chrono::seconds(600));
    const auto kept = patient.open_session(anyone, kInfo);
    patient.call_method(anyone, kept, "CompanydbTranStart");
    patient.execute(anyone, kept, "dsp_temp", kInsertDept);
    EXPECT_EQ(patient.expire_idle_sessions(), 0u);  // not idle long enough
    patient.call_method(anyone, kept, "CompanydbTranCommit");
    EXPECT_EQ(scalar(kCountDept), "1");

    AppServer strict(server_cs(), std::chrono::seconds(0));  // every session is idle past the timeout
    const auto lost = strict.open_session(anyone, kInfo);
    strict.call_method(anyone, lost, "CompanydbTranStart");
    strict.execute(anyone, lost, "dsp_temp", kDeleteDept);
    EXPECT_EQ(strict.expire_idle_sessions(), 1u);
    EXPECT_EQ(strict.session_count(), 0u);
    EXPECT_EQ(scalar(kCountDept), "1");  // the delete was rolled back
    EXPECT_EQ(error_kind([&] { strict.call_method(anyone, lost, "CompanydbTranCommit"); }), Kind::NotFound);
}

TEST_P(Sessions, RequestsOfOneSessionRunOneAtATimeAndSessionsRunSideBySide)
{
    AppServer server(server_cs());
    const auto shared = server.open_session(anyone, kInfo);
    std::vector<std::string> own;
    for (int i = 0; i < 3; ++i) own.push_back(server.open_session(anyone, kInfo));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const std::string code = std::to_string(t) + (i < 10 ? "0" : "") + std::to_string(i);  // 4 characters with the prefix
                try {
                    server.execute(anyone, shared, "dsp_temp", apptest::generation_statement("200303", "01", "S" + code));
                    server.execute(anyone, own[t], "dsp_temp", apptest::generation_statement("200303", "01", "O" + code));
                } catch (const std::exception &) {
                    ++failures;
                }
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE RYDM00 LIKE 'S%'"), "60");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE RYDM00 LIKE 'O%'"), "60");
}

TEST_P(Sessions, AFailedStatementInATransactionNeverLeavesHalfOfItBehind)
{
    AppServer server(server_cs());
    const auto s = server.open_session(anyone, kInfo);
    exec("DROP TABLE XSTYXSZB");  // the sales indicator test now fails in the database
    server.call_method(anyone, s, "CompanydbTranStart");
    server.execute(anyone, s, "dsp_temp", kInsertDept);
    EXPECT_EQ(error_kind([&] { server.get_records(anyone, s, "dsp_temp", "SELECT * FROM XSTYXSZB WHERE NYUE00='200303'"); }),
              Kind::Database);
    if (postgres()) {
        // PostgreSQL cannot commit a transaction in which a statement failed:
        // the commit says so and nothing stays.
        EXPECT_EQ(error_kind([&] { server.call_method(anyone, s, "CompanydbTranCommit"); }), Kind::Database);
        EXPECT_EQ(scalar(kCountDept), "0");
    } else {
        server.call_method(anyone, s, "CompanydbRollback");
        EXPECT_EQ(scalar(kCountDept), "0");
    }
    // The session goes on working.
    server.execute(anyone, s, "dsp_temp", kInsertDept);
    EXPECT_EQ(scalar(kCountDept), "1");
}

class Objects : public apptest::BackendTest {};
BACKEND_TEST_SUITE(Objects);

TEST_P(Objects, SessionsOpenOnKnownObjectsWithTheirClassIds)
{
    AppServer server(server_cs());
    EXPECT_NO_THROW(server.open_session(anyone, kInfo, contract::kCompanyInfoClassId));
    EXPECT_NO_THROW(server.open_session(anyone, kCust, contract::kCustClassId));
    EXPECT_NO_THROW(server.open_session(anyone, "vendrixserver.cocustobj"));
    EXPECT_EQ(server.session_count(), 3u);
    EXPECT_EQ(error_kind([&] { server.open_session(anyone, "VendrixServer.CoNothing"); }), Kind::NotFound);
    EXPECT_EQ(error_kind([&] { server.open_session(anyone, kCust, contract::kCompanyInfoClassId); }), Kind::BadRequest);
    EXPECT_EQ(server.session_count(), 3u);
}

TEST_P(Objects, ProvidersAndMethodsBelongToTheirObject)
{
    AppServer server(server_cs());
    const auto info = server.open_session(anyone, kInfo);
    const auto cust = server.open_session(anyone, kCust);
    EXPECT_EQ(error_kind([&] { server.get_records(anyone, cust, "dsp_temp", "SELECT 1"); }), Kind::NotFound);
    EXPECT_EQ(error_kind([&] { server.get_records(anyone, info, "dsp_xstyzb02cys", ""); }), Kind::NotFound);
    EXPECT_EQ(error_kind([&] { server.get_records(anyone, info, "dsp_other", "SELECT 1"); }), Kind::NotFound);
    EXPECT_EQ(error_kind([&] { server.call_method(anyone, cust, "CompanydbTranStart"); }), Kind::NotFound);
    EXPECT_EQ(error_kind([&] { server.call_method(anyone, info, "CompanydbSomething"); }), Kind::NotFound);
    EXPECT_EQ(error_kind([&] { server.execute(anyone, cust, "dsp_xstyzb02cys", "DELETE FROM XSTYZB02"); }), Kind::BadRequest);
    EXPECT_EQ(error_kind([&] { server.apply(anyone, info, "dsp_temp", {}, 0); }), Kind::BadRequest);
    EXPECT_EQ(error_kind([&] { server.get_records(anyone, info, "dsp_temp", "  "); }), Kind::BadRequest);
    EXPECT_EQ(error_kind([&] { server.get_records(anyone, cust, "dsp_xstyzb02cys", "SELECT 1"); }), Kind::BadRequest);
    EXPECT_EQ(error_kind([&] { server.get_records(anyone, "no-such-session", "dsp_temp", "SELECT 1"); }), Kind::NotFound);
}

TEST_P(Objects, ADatabaseThatCannotBeOpenedAnswersUnavailable)
{
    const std::string bad = postgres() ? "postgresql://host=127.0.0.1 port=1 dbname=nothing connect_timeout=3"
                                       : "sqlite3://db=/nonexistent-folder/saleplan.db";
    AppServer server(bad);
    std::string message;
    EXPECT_EQ(error_kind([&] { server.open_session(anyone, kInfo); }, &message), Kind::Unavailable);
    EXPECT_NE(message.find("cannot be opened"), std::string::npos) << message;
    EXPECT_EQ(server.session_count(), 0u);
}

class TempProvider : public apptest::BackendTest {};
BACKEND_TEST_SUITE(TempProvider);

TEST_P(TempProvider, ASelectGivesItsColumnsWithTypesSizesAndValues)
{
    exec("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00) VALUES ('200303',1,'1','卷烟销售总量',1200.5,'01','0101')");
    exec("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00) VALUES ('200303',2,'2','一类卷烟',NULL,'01','0101')");
    AppServer server(server_cs());
    const auto s = server.open_session(anyone, kInfo);
    const auto p = server.get_records(anyone, s, "dsp_temp", apptest::existence_statement("200303", "01", "0101"));
    const auto month = column(p, "NYUE00"), name = column(p, "ZBMC00"), seq = column(p, "XHAO00"), qty = column(p, "ZBSL00");
    EXPECT_EQ(p.fields[month], (wire::FieldDef{postgres() ? "nyue00" : "NYUE00", wire::FieldType::String, 6}));
    EXPECT_EQ(p.fields[name].size, 50);
    EXPECT_EQ(p.fields[seq].type, wire::FieldType::Float);
    EXPECT_EQ(p.fields[qty].type, wire::FieldType::Float);
    ASSERT_EQ(p.rows.size(), 2u);
    const bool first_is_one = wire::value_to_double(p.rows[0][seq]) == 1.0;
    const auto &first = first_is_one ? p.rows[0] : p.rows[1];
    const auto &second = first_is_one ? p.rows[1] : p.rows[0];
    EXPECT_EQ(first[name], wire::Value(std::string("卷烟销售总量")));
    EXPECT_EQ(first[qty], wire::Value(1200.5));
    EXPECT_TRUE(wire::is_null(second[qty]));
    EXPECT_TRUE(p.row_ids.empty());
}

TEST_P(TempProvider, ComputedColumnsComeBackAsNumbers)
{
    exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBMC00,ZBSL00) VALUES ('200303','01',1,'甲',10.25)");
    exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBMC00,ZBSL00) VALUES ('200303','01',2,'乙',20)");
    AppServer server(server_cs());
    const auto s = server.open_session(anyone, kInfo);
    const auto p = server.get_records(anyone, s, "dsp_temp", "SELECT COUNT(*) SL FROM XSTYZB01 WHERE CKDM00='01' AND NYUE00='200303'");
    ASSERT_EQ(p.rows.size(), 1u);
    EXPECT_EQ(p.fields[column(p, "SL")].type, wire::FieldType::Integer);
    EXPECT_EQ(p.rows[0][column(p, "SL")], wire::Value(std::int64_t{2}));
    EXPECT_EQ(p.fields[0].name, postgres() ? "sl" : "SL");  // names as the database gives them
    const auto r = server.get_records(anyone, s, "dsp_temp", apptest::remaining_statement("200303", "01", "0101"));
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.fields[column(r, "ZBSL00")].type, wire::FieldType::Float);
    EXPECT_EQ(wire::value_to_double(r.rows[0][column(r, "ZBSL00")]) + wire::value_to_double(r.rows[1][column(r, "ZBSL00")]), 30.25);
    EXPECT_EQ(r.fields[column(r, "NYUE00")].type, wire::FieldType::String);  // text stays text
}

TEST_P(TempProvider, ExecuteCountsChangedRowsAndRecordsOfAChangingStatementRunsIt)
{
    exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01',1,'1','甲',10)");
    exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01',2,'1','乙',20)");
    AppServer server(server_cs());
    const auto s = server.open_session(anyone, kInfo);
    EXPECT_EQ(server.execute(anyone, s, "dsp_temp", apptest::generation_statement("200303", "01", "0101")), 2);
    EXPECT_EQ(server.execute(anyone, s, "dsp_temp", apptest::generation_statement("200303", "01", "0102")), 2);
    EXPECT_EQ(server.execute(anyone, s, "dsp_temp", apptest::department_statement()), 0);  // a SELECT changes nothing
    const auto p = server.get_records(anyone, s, "dsp_temp", apptest::delete_statement("200303", "01", "0102"));
    EXPECT_TRUE(p.fields.empty());
    EXPECT_TRUE(p.rows.empty());
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02"), "2");
}

TEST_P(TempProvider, OnlyTheModulesStatementsRunAndADatabaseRefusalGivesItsMessage)
{
    exec("INSERT INTO GSTCKGL0 (CKDM00,CKMC00,WDBJ00) VALUES ('01','城东访销部','F')");
    AppServer server(server_cs());
    const auto s = server.open_session(anyone, kInfo);
    std::string message;
    for (const std::string &text : {std::string("SELECT * FROM XSTYZB99"), std::string("DELETE FROM GSTCKGL0; DELETE FROM GSTRYGL0"),
                                    std::string("UPDATE GSTCKGL0 SET CKMC00='x' WHERE CKDM00='01'"),
                                    apptest::department_statement() + " OR 1=1", apptest::department_statement() + ";"}) {
        EXPECT_EQ(error_kind([&] { server.execute(anyone, s, "dsp_temp", text); }, &message), Kind::Forbidden) << text;
        EXPECT_EQ(message, "statement not allowed");
        EXPECT_EQ(error_kind([&] { server.get_records(anyone, s, "dsp_temp", text); }), Kind::Forbidden) << text;
    }
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM GSTCKGL0"), "1");
    EXPECT_EQ(scalar("SELECT CKMC00 FROM GSTCKGL0"), "城东访销部");
    // A value with a doubled quote binds as the value it stands for.
    exec("INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0109','甲','Y','0''')");
    const auto p = server.get_records(anyone, s, "dsp_temp", apptest::salesman_statement("0''"));
    ASSERT_EQ(p.rows.size(), 1u);
    EXPECT_EQ(p.rows[0][column(p, "RYDM00")], wire::Value(std::string("0109")));
    // A module statement the database refuses gives the database's message.
    exec("DROP TABLE XSTYXSZB");
    EXPECT_EQ(error_kind([&] { server.get_records(anyone, s, "dsp_temp", "SELECT * FROM XSTYXSZB WHERE NYUE00='200303'"); }, &message),
              Kind::Database);
    EXPECT_NE(message.find(postgres() ? "xstyxszb" : "XSTYXSZB"), std::string::npos) << message;
}

class PlanProvider : public apptest::BackendTest {
protected:
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        for (int x = 1; x <= 3; ++x)
            exec("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC) VALUES "
                 "('200303'," + std::to_string(x) + ",'2','二类卷烟'," + std::to_string(x * 100) +
                 ",'01','0007','10020001',NULL,'结构指标')");
        // The department's plan leaves room for every quantity below.
        for (int x = 1; x <= 3; ++x)
            exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01'," +
                 std::to_string(x) + ",'2','二类卷烟',1000)");
        server_ = std::make_unique<AppServer>(server_cs());
        session_ = server_->open_session(anyone, kCust);
        packet_ = server_->get_records(anyone, session_, "dsp_xstyzb02cys", "");
    }

    // A change of row i's quantity from what was read to `to`.
    wire::Change modify(std::size_t i, wire::Value to) const
    {
        wire::Change c;
        c.kind = wire::ChangeKind::Modify;
        c.row_id = packet_.row_ids.at(i);
        c.original = {{"ZBSL00", packet_.rows.at(i)[4]}, {"XHAO00", packet_.rows.at(i)[1]}};
        c.values = {{"ZBSL00", std::move(to)}};
        return c;
    }
    wire::Change remove(std::size_t i) const
    {
        wire::Change c;
        c.kind = wire::ChangeKind::Delete;
        c.row_id = packet_.row_ids.at(i);
        c.original = {{"ZBSL00", packet_.rows.at(i)[4]}};
        return c;
    }
    std::string quantities() const
    {
        std::string out;
        for (const auto &r : query("SELECT ZBSL00 FROM XSTYZB02 ORDER BY XHAO00")) out += r[0] + ";";
        return out;
    }

    std::unique_ptr<AppServer> server_;
    std::string session_;
    wire::DataPacket packet_;
};
BACKEND_TEST_SUITE(PlanProvider);

TEST_P(PlanProvider, DeliversEveryRowWithTheFixedFieldsAndARowIdentity)
{
    const std::vector<wire::FieldDef> expected = {
        {"NYUE00", wire::FieldType::String, 6}, {"XHAO00", wire::FieldType::Float, 0},
        {"ZBLB00", wire::FieldType::String, 1}, {"ZBMC00", wire::FieldType::String, 50},
        {"ZBSL00", wire::FieldType::Float, 0},  {"CKDM00", wire::FieldType::String, 2},
        {"RYDM00", wire::FieldType::String, 4}, {"SPDM00", wire::FieldType::String, 8},
        {"SPDM01", wire::FieldType::String, 8}, {"ZBLBMC", wire::FieldType::String, 8}};
    EXPECT_EQ(packet_.fields, expected);
    ASSERT_EQ(packet_.rows.size(), 3u);
    ASSERT_EQ(packet_.row_ids.size(), 3u);
    EXPECT_NE(packet_.row_ids[0], packet_.row_ids[1]);
    EXPECT_EQ(packet_.rows[1], (wire::Row{std::string("200303"), 2.0, std::string("2"), std::string("二类卷烟"), 200.0,
                                          std::string("01"), std::string("0007"), std::string("10020001"),
                                          std::monostate{}, std::string("结构指标")}));
}

TEST_P(PlanProvider, AMonthGivesThatMonthsRowsOfEveryDepartmentAsTheWholeTableHasThem)
{
    // Months and departments interleaved, so that an order or a filter gone
    // wrong shows.
    const char *rows[][3] = {{"200304", "02", "0010"}, {"200303", "02", "0010"}, {"200304", "01", "0008"},
                             {"200302", "01", "0007"}, {"200303", "01", "0008"}};
    int x = 10;
    for (const auto &r : rows)
        exec(std::string("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00) VALUES ('") + r[0] +
             "'," + std::to_string(++x) + ",'1','卷烟销量',NULL,'" + r[1] + "','" + r[2] + "')");
    const wire::DataPacket all = server_->get_records(anyone, session_, "dsp_xstyzb02cys", "");
    ASSERT_EQ(all.rows.size(), 8u);

    for (const std::string month : {"200303", "200304", "200302", "199912"}) {
        const wire::DataPacket p = server_->get_records(anyone, session_, "dsp_xstyzb02cys", "", {{"NYUE00", month}});
        wire::DataPacket expected;
        expected.fields = all.fields;
        for (std::size_t i = 0; i < all.rows.size(); ++i) {
            if (all.rows[i][0] != wire::Value(month)) continue;
            expected.rows.push_back(all.rows[i]);
            expected.row_ids.push_back(all.row_ids[i]);
        }
        EXPECT_EQ(p, expected) << month;
    }
    EXPECT_EQ(server_->get_records(anyone, session_, "dsp_xstyzb02cys", "", {{"NYUE00", "200303"}}).rows.size(), 5u);
    // The month is a value, never a piece of the statement.
    EXPECT_TRUE(server_->get_records(anyone, session_, "dsp_xstyzb02cys", "", {{"NYUE00", "200303' OR '1'='1"}}).rows.empty());
    EXPECT_EQ(server_->get_records(anyone, session_, "dsp_xstyzb02cys", "").rows.size(), 8u);
}

TEST_P(PlanProvider, AParameterAProviderDoesNotTakeIsRefusedWithItsName)
{
    std::string message;
    EXPECT_EQ(error_kind([&] { server_->get_records(anyone, session_, "dsp_xstyzb02cys", "", {{"CKDM00", "01"}}); }, &message),
              Kind::BadRequest);
    EXPECT_NE(message.find("CKDM00"), std::string::npos) << message;
    EXPECT_NE(message.find("NYUE00"), std::string::npos) << message;
    EXPECT_EQ(error_kind([&] {
                  server_->get_records(anyone, session_, "dsp_xstyzb02cys", "", {{"NYUE00", "200303"}, {"nyue00", "200304"}});
              }),
              Kind::BadRequest);
    const std::string info = server_->open_session(anyone, kInfo);
    EXPECT_EQ(error_kind([&] { server_->get_records(anyone, info, "dsp_temp", "SELECT * FROM XSTYXSZB WHERE NYUE00='200303'",
                                                   {{"NYUE00", "200303"}}); }, &message),
              Kind::BadRequest);
    EXPECT_NE(message.find("dsp_temp takes no parameters"), std::string::npos) << message;
}

TEST_P(PlanProvider, AppliesQuantityChangesAndDeletions)
{
    auto result = server_->apply(anyone, session_, "dsp_xstyzb02cys", {modify(0, 150.5), remove(2)}, 0);
    EXPECT_EQ(result.error_count, 0);
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(quantities(), "150.5;200;");
    // Unchanged fields sent along with the quantity are fine; an empty quantity too.
    auto c = modify(1, std::monostate{});
    c.values["ZBMC00"] = std::string("二类卷烟");
    c.original["ZBMC00"] = std::string("二类卷烟");
    EXPECT_EQ(server_->apply(anyone, session_, "dsp_xstyzb02cys", {c}, 0).error_count, 0);
    EXPECT_EQ(quantities(), "150.5;;");
}

TEST_P(PlanProvider, InsertsAndChangesOfOtherFieldsAreRefusedWithAMessage)
{
    wire::Change insert;
    insert.kind = wire::ChangeKind::Insert;
    insert.values = {{"NYUE00", std::string("200303")}, {"ZBSL00", 5.0}};
    auto result = server_->apply(anyone, session_, "dsp_xstyzb02cys", {modify(0, 111.0), insert}, 0);
    EXPECT_EQ(result.error_count, 1);
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_NE(result.errors[0].message.find("inserted"), std::string::npos) << result.errors[0].message;

    auto other = modify(1, 250.0);
    other.values["ZBMC00"] = std::string("改名");
    result = server_->apply(anyone, session_, "dsp_xstyzb02cys", {other}, 0);
    EXPECT_EQ(result.error_count, 1);
    EXPECT_EQ(result.errors.at(0).row_id, packet_.row_ids[1]);
    EXPECT_NE(result.errors[0].message.find("ZBMC00"), std::string::npos) << result.errors[0].message;

    result = server_->apply(anyone, session_, "dsp_xstyzb02cys", {modify(1, std::string("很多"))}, 0);
    EXPECT_EQ(result.error_count, 1);
    EXPECT_EQ(quantities(), "100;200;300;");  // nothing of the three applies stayed
}

TEST_P(PlanProvider, AQuantityThatIsNoFiniteNumberIsRefusedAndThePlanStaysReadable)
{
    // JSON carries no infinite number, but text does; stored, such a quantity
    // could never be sent in a data packet again.
    for (const char *text : {"inf", "-Infinity", "nan", "1e999"}) {
        auto result = server_->apply(anyone, session_, "dsp_xstyzb02cys", {modify(0, std::string(text))}, 0);
        EXPECT_EQ(result.error_count, 1) << text;
        ASSERT_EQ(result.errors.size(), 1u) << text;
        EXPECT_NE(result.errors[0].message.find("计划数量必须是一个有限的数字"), std::string::npos)
            << result.errors[0].message;
    }
    EXPECT_EQ(quantities(), "100;200;300;");
    EXPECT_NO_THROW(wire::packet_to_json(server_->get_records(anyone, session_, "dsp_xstyzb02cys", "")));
}

TEST_P(PlanProvider, AStaleRowIsRefusedAndNothingOfTheApplyStays)
{
    // Another planner changes row 2 and deletes row 3 after this one read them.
    exec("UPDATE XSTYZB02 SET ZBSL00=222 WHERE XHAO00=2");
    exec("DELETE FROM XSTYZB02 WHERE XHAO00=3");
    auto result = server_->apply(anyone, session_, "dsp_xstyzb02cys", {modify(0, 1.0), modify(1, 2.0)}, 0);
    EXPECT_EQ(result.error_count, 1);
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].row_id, packet_.row_ids[1]);
    EXPECT_NE(result.errors[0].message.find("changed"), std::string::npos) << result.errors[0].message;
    EXPECT_EQ(quantities(), "100;222;");  // the change of row 1 was rolled back too

    result = server_->apply(anyone, session_, "dsp_xstyzb02cys", {remove(2)}, 0);
    EXPECT_EQ(result.error_count, 1);
    EXPECT_NE(result.errors.at(0).message.find("deleted"), std::string::npos) << result.errors[0].message;

    // Read again: the same change now goes through.
    packet_ = server_->get_records(anyone, session_, "dsp_xstyzb02cys", "");
    EXPECT_EQ(server_->apply(anyone, session_, "dsp_xstyzb02cys", {modify(1, 2.0)}, 0).error_count, 0);
    EXPECT_EQ(quantities(), "100;2;");
}

TEST_P(PlanProvider, MaxErrorsTellsHowManyRefusalsAreToleratedBeforeEverythingIsUndone)
{
    exec("UPDATE XSTYZB02 SET ZBSL00=999 WHERE XHAO00=2");
    auto result = server_->apply(anyone, session_, "dsp_xstyzb02cys", {modify(0, 1.0), modify(1, 2.0), modify(2, 3.0)}, 1);
    EXPECT_EQ(result.error_count, 1);
    EXPECT_EQ(quantities(), "1;999;3;");  // the rest applied

    exec("UPDATE XSTYZB02 SET ZBSL00=888 WHERE XHAO00=3");
    packet_.rows[0][4] = 1.0;  // as this planner now knows row 1
    result = server_->apply(anyone, session_, "dsp_xstyzb02cys", {modify(0, 5.0), modify(1, 6.0), modify(2, 7.0)}, 1);
    EXPECT_EQ(result.error_count, 2);
    EXPECT_EQ(result.errors.size(), 2u);
    EXPECT_EQ(quantities(), "1;999;888;");  // two refusals: nothing applied
}

TEST_P(PlanProvider, ADatabaseFailureUndoesTheApplyAndNoChangeIsReportedAsApplied)
{
    // The database refuses a quantity of 13 (a rule of its own, here a trigger).
    if (postgres()) {
        exec("CREATE FUNCTION unlucky() RETURNS trigger LANGUAGE plpgsql AS "
             "$$BEGIN IF NEW.zbsl00 = 13 THEN RAISE EXCEPTION 'unlucky quantity'; END IF; RETURN NEW; END$$");
        exec("CREATE TRIGGER unlucky BEFORE UPDATE ON XSTYZB02 FOR EACH ROW EXECUTE FUNCTION unlucky()");
    } else {
        exec("CREATE TRIGGER unlucky BEFORE UPDATE ON XSTYZB02 WHEN NEW.ZBSL00 = 13 "
             "BEGIN SELECT RAISE(ABORT, 'unlucky quantity'); END");
    }
    // Whatever number of refusals the client tolerates, the answer must not
    // let it take the first change for applied: the database holds none.
    for (int max_errors : {-1, 0, 5}) {
        auto result = server_->apply(anyone, session_, "dsp_xstyzb02cys", {modify(0, 1.0), modify(1, 13.0), modify(2, 3.0)},
                                     max_errors);
        EXPECT_EQ(quantities(), "100;200;300;") << max_errors;
        EXPECT_EQ(result.error_count, 3) << max_errors;
        ASSERT_EQ(result.errors.size(), 3u) << max_errors;
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(result.errors[i].row_id, packet_.row_ids[i]);
        // The planner reads why in Chinese; the database's words go to the log.
        EXPECT_TRUE(result.errors[1].message.starts_with("数据库没有执行")) << result.errors[1].message;
        EXPECT_NE(result.errors[0].message.find("whole apply was undone (数据库没有执行"), std::string::npos)
            << result.errors[0].message;
        for (const auto &e : result.errors) EXPECT_EQ(e.message.find("unlucky"), std::string::npos) << e.message;
    }
    // The session goes on: a quantity the database takes is applied.
    EXPECT_EQ(server_->apply(anyone, session_, "dsp_xstyzb02cys", {modify(0, 1.0)}, 0).error_count, 0);
    EXPECT_EQ(quantities(), "1;200;300;");
}

TEST_P(PlanProvider, AnUpdateInAnotherSessionsOpenTransactionIsNeverOverwritten)
{
    // Another connection changes row 1 inside a transaction;
    // meanwhile this planner applies a change of the same row as it read it.
    // Whether the apply waits for the commit or runs after it, it must find
    // the row changed and refuse.
    appserver::Connection other(server_cs());
    other.begin();
    other.run("UPDATE XSTYZB02 SET ZBSL00=5 WHERE XHAO00=1");
    wire::ApplyResult result;
    std::thread planner([&] { result = server_->apply(anyone, session_, "dsp_xstyzb02cys", {modify(0, 77.0)}, 0); });
    std::this_thread::yield();
    other.commit();
    planner.join();
    EXPECT_EQ(result.error_count, 1);
    EXPECT_EQ(quantities(), "5;200;300;");
}

// A provider of a test's own: its class, and one line registering it
// (server.add_provider below). This one answers how many plan rows a month
// holds.
class MonthCountProvider final : public appserver::Provider {
public:
    MonthCountProvider() : Provider("dsp_month_count") {}
    void records(appserver::Call &call, const std::string &, const wire::ProviderParams &params,
                 appserver::RecordsSink &sink) const override
    {
        sink.packet(call.db.run("SELECT COUNT(*) N FROM XSTYZB02 WHERE NYUE00=?", {params.at("NYUE00")}).packet);
    }
};

TEST_P(Sessions, AProviderOfItsOwnIsOneClassAndOneRegistrationLine)
{
    AppServer server(server_cs());
    server.add_provider(contract::kCustObject, std::make_unique<MonthCountProvider>());
    const auto info = server.open_session(anyone, kInfo);
    server.execute(anyone, info, "dsp_temp", kInsertDept);
    const auto cust = server.open_session(anyone, kCust);
    const wire::ProviderParams month{{"NYUE00", "200303"}};
    // Collected for the in-process link and written as text for HTTP: one answer.
    const auto packet = server.get_records(anyone, cust, "dsp_month_count", "", month);
    ASSERT_EQ(packet.rows.size(), 1u);
    EXPECT_EQ(wire::value_to_double(packet.rows[0][0]), 1.0);
    const std::string text = server.records_text(anyone, cust, "dsp_month_count", "", month, [](std::string &) {});
    EXPECT_EQ(wire::packet_from_text(text), packet);
    // What it does not offer is refused by name; on another object it is unknown.
    std::string message;
    EXPECT_EQ(error_kind([&] { server.execute(anyone, cust, "dsp_month_count", "x"); }, &message), Kind::BadRequest);
    EXPECT_EQ(message, "provider dsp_month_count executes no command texts");
    EXPECT_EQ(error_kind([&] { server.get_records(anyone, info, "dsp_month_count", "", month); }), Kind::NotFound);
}

TEST_P(Sessions, EachTransactionKindTakesItsLocksAsItSays)
{
    appserver::Connection a(server_cs()), b(server_cs());
    b.set_time_limit(std::chrono::milliseconds(300));
    // A snapshot sees one state of the data and changes nothing.
    a.begin_snapshot();
    const std::string before = wire::value_to_text(a.run(kCountDept).packet.rows.at(0).at(0));
    b.run("INSERT INTO XSTYZB02 (NYUE00,CKDM00,RYDM00,XHAO00,ZBSL00) VALUES ('200303','01','0109',1,1)");
    EXPECT_EQ(wire::value_to_text(a.run(kCountDept).packet.rows.at(0).at(0)), before);
    if (postgres()) EXPECT_THROW(a.run("DELETE FROM XSTYZB02"), ServerError);
    a.rollback();
    // A write holds the write lock from its start on SQLite: a second writer
    // waits for it, then gives up; the client's own transaction does not.
    a.begin_write();
    if (!postgres()) EXPECT_THROW(b.begin_write(), ServerError);
    b.rollback();
    a.rollback();
    a.begin();
    EXPECT_NO_THROW(b.begin_write());
    b.rollback();
    a.rollback();
}

}  // namespace
