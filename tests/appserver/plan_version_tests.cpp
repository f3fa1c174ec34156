// The version of a month's plan rows, on SQLite and PostgreSQL: a records
// call naming the version held is answered "current" while nothing changed,
// and after every changing route (by this server or another one on the same
// database, or an administrator's own SQL) it brings the rows, the same rows
// a fresh fetch brings.
#include <gtest/gtest.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "allocation.h"
#include "app_server.h"
#include "backend_test.h"
#include "contract.h"
#include "database_setup.h"
#include "module_statements.h"
#include "plan_versions.h"
#include "schema_version.h"

namespace {

using appserver::AppServer;
using appserver::Caller;

constexpr const char *kMonth = "200303";
const Caller planner = [] {
    Caller c;
    c.account = "wang";
    return c;
}();

class PlanVersions : public apptest::BackendTest {
public:
    using apptest::BackendTest::exec;
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        exec("INSERT INTO GSTCKGL0 (CKDM00,CKMC00,WDBJ00) VALUES ('01','城东访销部','F'),('02','城西访销部','F')");
        exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES "
             "('200303','01',1,'1','卷烟销售总量',100),('200303','01',2,'2','一类卷烟销量',50),"
             "('200303','02',1,'1','卷烟销售总量',80),('200304','01',1,'1','卷烟销售总量',70)");
        exec("INSERT INTO XSTYXSZB (NYUE00,XHAO00,ZBMC00) VALUES ('200303',1,'卷烟销售总量')");
        exec("INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0101','张伟','Y','01'),"
             "('0102','李娜','Y','01'),('0103','王强','Y','01'),('0201','赵六','Y','02')");
        server_ = std::make_unique<AppServer>(server_cs());
        other_ = std::make_unique<AppServer>(server_cs());
        for (const char *s : {"0101", "0102"}) execute(*server_, apptest::generation_statement(kMonth, "01", s));
        execute(*server_, apptest::generation_statement(kMonth, "02", "0201"));
        execute(*server_, apptest::generation_statement("200304", "01", "0101"));
    }

    void execute(AppServer &server, const std::string &statement)
    {
        const auto s = server.open_session(planner, contract::kCompanyInfoObject);
        server.execute(planner, s, "dsp_temp", statement);
        server.close_session(planner, s);
    }
    wire::DataPacket records(const std::optional<std::string> &held, const char *month = kMonth)
    {
        const auto s = server_->open_session(planner, contract::kCustObject);
        auto p = server_->get_records(planner, s, contract::kPlanProvider, "", {{"NYUE00", month}}, held);
        server_->close_session(planner, s);
        return p;
    }
    wire::RowId row_of(const std::string &salesman, int xhao)
    {
        return std::stoll(scalar("SELECT ROWID00 FROM XSTYZB02 WHERE NYUE00='200303' AND RYDM00='" + salesman +
                                 "' AND XHAO00=" + std::to_string(xhao)));
    }
    double quantity_of(wire::RowId id)
    {
        return std::stod(scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE ROWID00=" + std::to_string(id)));
    }
    void apply(AppServer &server, wire::Change change)
    {
        const auto s = server.open_session(planner, contract::kCustObject);
        const auto r = server.apply(planner, s, contract::kPlanProvider, {change}, 0);
        EXPECT_EQ(r.error_count, 0) << (r.errors.empty() ? std::string() : r.errors[0].message);
        server.close_session(planner, s);
    }
    nlohmann::json method(AppServer &server, const char *name, const wire::MethodParams &params)
    {
        const auto s = server.open_session(planner, contract::kCustObject);
        auto answer = server.call_method(planner, s, name, params);
        server.close_session(planner, s);
        return answer;
    }

    std::unique_ptr<AppServer> server_, other_;
};

// A route that changes the month's rows, run on a server.
struct Route {
    const char *name;
    std::function<void(PlanVersions &, AppServer &)> run;
};

std::vector<Route> routes()
{
    return {
        {"apply: a quantity",
         [](PlanVersions &t, AppServer &s) {
             wire::Change c;
             c.row_id = t.row_of("0101", 1);
             const double was = t.quantity_of(*c.row_id);
             c.original = {{"ZBSL00", was}};
             c.values = {{"ZBSL00", was > 0 ? was - 1 : 1.0}};
             t.apply(s, c);
         }},
        {"apply: a row deleted",
         [](PlanVersions &t, AppServer &s) {
             wire::Change c;
             c.kind = wire::ChangeKind::Delete;
             c.row_id = t.row_of("0102", 2);
             c.original = {{"ZBSL00", t.quantity_of(*c.row_id)}};
             t.apply(s, c);
         }},
        {"the generation statement in a transaction",
         [](PlanVersions &t, AppServer &s) {
             t.exec("DELETE FROM XSTYZB02 WHERE RYDM00='0103'");  // unseen: no route of the server
             const auto info = s.open_session(planner, contract::kCompanyInfoObject);
             s.call_method(planner, info, contract::kTranStartMethod);
             s.execute(planner, info, "dsp_temp", apptest::generation_statement(kMonth, "01", "0103"));
             s.call_method(planner, info, contract::kTranCommitMethod);
             s.close_session(planner, info);
         }},
        {"the deletion statement",
         [](PlanVersions &t, AppServer &s) { t.execute(s, apptest::delete_statement(kMonth, "01", "0102")); }},
        {"an administrator's own SQL",
         [](PlanVersions &t, AppServer &) { t.exec("UPDATE XSTYZB02 SET ZBLBMC='调整' WHERE RYDM00='0201'"); }},
        {"GeneratePlans",
         [](PlanVersions &t, AppServer &s) {
             t.method(s, contract::kGeneratePlansMethod, {{"NYUE00", kMonth}, {"CKDM00", "01"}});
         }},
        {"AllocateRemaining (the board's split)",
         [](PlanVersions &t, AppServer &s) {
             const auto cust = s.open_session(planner, contract::kCustObject);
             const auto month = allocation::month_from_packet(
                 s.get_records(planner, cust, contract::kBoardProvider, "", {{"NYUE00", kMonth}, {"CKDM00", "01"}}),
                 kMonth, "01");
             s.call_method(planner, cust, contract::kAllocateRemainingMethod,
                           {{"NYUE00", kMonth}, {"CKDM00", "01"}, {contract::kModeParam, contract::kModeEven},
                            {contract::kFingerprintParam, allocation::fingerprint(month, nullptr)}});
             s.close_session(planner, cust);
         }},
    };
}

TEST_P(PlanVersions, AnsweredCurrentWhileNothingChangedAndWithTheRowsAfterEveryRoute)
{
    for (const bool by_other_server : {false, true}) {
        for (const auto &route : routes()) {
            SCOPED_TRACE(std::string(route.name) + (by_other_server ? " (another server)" : ""));
            const auto first = records(std::string());
            ASSERT_FALSE(first.current);
            ASSERT_FALSE(first.version.empty());
            // Nothing changed: a few bytes, no rows.
            const auto again = records(first.version);
            EXPECT_TRUE(again.current);
            EXPECT_EQ(again.version, first.version);
            EXPECT_TRUE(again.rows.empty());
            // A change of another month leaves this one current.
            execute(*server_, apptest::delete_statement("200304", "01", "0101"));
            execute(*server_, apptest::generation_statement("200304", "01", "0101"));
            EXPECT_TRUE(records(first.version).current);

            route.run(*this, by_other_server ? *other_ : *server_);
            const auto after = records(first.version);
            EXPECT_FALSE(after.current);
            EXPECT_NE(after.version, first.version);
            // The rows a fresh fetch brings, with the version beside them.
            auto fresh = records(std::nullopt);
            EXPECT_TRUE(fresh.version.empty());
            fresh.version = after.version;
            EXPECT_EQ(after, fresh);
            EXPECT_TRUE(records(after.version).current);
        }
    }
}

TEST_P(PlanVersions, ARefusedChangeAndACallWithoutAMonthLeaveTheAnswerAsAlways)
{
    const auto held = records(std::string());
    // Approved: the apply is refused, nothing changes, the rows stay current.
    exec("INSERT INTO XSTYZBZT (NYUE00,CKDM00,BBHAO0,DZUO00,ZTAI00,YHMC00,CZSJ00) VALUES "
         "('200303','01',1,'-','已批准','setup','2003-03-01T00:00:00Z')");
    wire::Change c;
    c.row_id = row_of("0101", 1);
    c.original = {{"ZBSL00", 0.0}};
    c.values = {{"ZBSL00", 7.0}};
    const auto s = server_->open_session(planner, contract::kCustObject);
    EXPECT_EQ(server_->apply(planner, s, contract::kPlanProvider, {c}, 0).error_count, 1);
    EXPECT_TRUE(records(held.version).current);
    // Every month's rows: no version is kept for them, the rows come as always.
    const auto all = server_->get_records(planner, s, contract::kPlanProvider, "", {}, held.version);
    EXPECT_FALSE(all.current);
    EXPECT_TRUE(all.version.empty());
    EXPECT_EQ(all.rows.size(), 6u);
    // The text of an answer without "ifVersion" is the packet as always.
    const std::string text =
        server_->records_text(planner, s, contract::kPlanProvider, "", {{"NYUE00", kMonth}}, [](std::string &) {});
    EXPECT_EQ(text.find("\"version\""), std::string::npos);
    const std::string current = server_->records_text(planner, s, contract::kPlanProvider, "", {{"NYUE00", kMonth}},
                                                      [](std::string &) {}, 64 * 1024, held.version);
    EXPECT_EQ(current, "{\"current\":true,\"version\":\"" + held.version + "\"}");
    const std::string with_version = server_->records_text(planner, s, contract::kPlanProvider, "",
                                                           {{"NYUE00", kMonth}}, [](std::string &) {}, 64 * 1024, "x");
    EXPECT_EQ(with_version, text.substr(0, text.size() - 1) + ",\"version\":\"" + held.version + "\"}");
    server_->close_session(planner, s);
}

TEST_P(PlanVersions, ARowMovedToAnotherMonthChangesTheMonthItLeft)
{
    const auto held = records(std::string(), "200304");
    ASSERT_FALSE(held.rows.empty());
    exec("UPDATE XSTYZB02 SET NYUE00='200305' WHERE NYUE00='200304'");
    const auto after = records(held.version, "200304");
    EXPECT_FALSE(after.current);
    EXPECT_TRUE(after.rows.empty());
}

TEST_P(PlanVersions, ALayoutBroughtUpOrMadeAnewNeverMatchesAVersionHeldBefore)
{
    const auto held = records(std::string());
    // The layout before versions: the table and its triggers gone, the version recorded 5.
    if (postgres())
        for (const char *t : {"XSTYZBBB_MARK_INSERT", "XSTYZBBB_MARK_UPDATE", "XSTYZBBB_MARK_DELETE"})
            exec(std::string("DROP TRIGGER ") + t + " ON XSTYZB02");
    else
        for (const char *t : {"XSTYZBBB_INSERT", "XSTYZBBB_UPDATE", "XSTYZBBB_UPDATE_FROM", "XSTYZBBB_DELETE"})
            exec(std::string("DROP TRIGGER ") + t);
    exec(std::string("DROP TABLE ") + appserver::kPlanVersionTable);
    exec("UPDATE XTBBXX00 SET BBHAO0=5");
    {
        appserver::Connection owner(cs());
        EXPECT_EQ(appserver::migrate_schema(owner).was, 5);
        EXPECT_EQ(appserver::schema_version(owner), appserver::kSchemaVersion);
    }
    // Every department's month with rows is marked, and the database itself.
    EXPECT_EQ(scalar(std::string("SELECT COUNT(*) FROM ") + appserver::kPlanVersionTable), "4");
    server_ = std::make_unique<AppServer>(server_cs());
    const auto after = records(held.version);
    EXPECT_FALSE(after.current);
    EXPECT_EQ(after.rows.size(), 5u);
}

BACKEND_TEST_SUITE(PlanVersions);

}  // namespace
