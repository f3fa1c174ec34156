// The department's plan is never over-allocated, whoever applies at the same
// time; one plan per salesman and month; quantities that mean something; and
// the audit trail of every change, on SQLite and PostgreSQL.
#include <gtest/gtest.h>

#include <barrier>
#include <chrono>
#include <csignal>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "app_server.h"
#include "database_setup.h"
#include "plan_rules.h"
#include "contract.h"
#include "audit.h"
#include "backend_test.h"
#include "module_statements.h"
#include "schema.h"

namespace {

// The caller of the calls below: the anonymous planner, as every caller is
// with --auth none.
const appserver::Caller anyone;

using appserver::AppServer;
using appserver::Caller;
using contract::kCompanyInfoObject;
using contract::kCustObject;
using apptest::column;

constexpr const char *kMonth = "200303";
constexpr int kPlanners = 8;

class Allocation : public apptest::BackendTest {
protected:
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        // Department 01: indicator 1 has 3600, indicator 2 has 420; two
        // department rows of indicator 1 differ only in their product code,
        // and the generation makes one salesman row of them.
        exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00,SPDM00) VALUES "
             "('200303','01',1,'1','卷烟销售总量',3000,NULL)");
        exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00,SPDM00) VALUES "
             "('200303','01',1,'1','卷烟销售总量',600,'10010001')");
        exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00,SPDM00) VALUES "
             "('200303','01',2,'2','一类卷烟销量',420,'10010001')");
        server_ = std::make_unique<AppServer>(server_cs());
    }

    static std::string salesman(int i) { return "01" + std::string(i < 10 ? "0" : "") + std::to_string(i); }

    // Generates a salesman's plan the way the module does.
    void generate(const std::string &who, const Caller &caller = {})
    {
        const auto s = server_->open_session(caller, kCompanyInfoObject);
        server_->call_method(caller, s, "CompanydbTranStart");
        server_->execute(caller, s, "dsp_temp", apptest::generation_statement(kMonth, "01", who));
        server_->call_method(caller, s, "CompanydbTranCommit");
        server_->close_session(caller, s);
    }

    // The plan row of a salesman and indicator as the plan provider gives it.
    struct Row {
        wire::RowId id = 0;
        wire::Value quantity;
    };
    Row row_of(const std::string &session, const std::string &who, int xhao, const Caller &caller = {})
    {
        const auto p = server_->get_records(caller, session, "dsp_xstyzb02cys", "");
        for (std::size_t i = 0; i < p.rows.size(); ++i)
            if (p.rows[i][6] == wire::Value(who) && wire::value_to_double(p.rows[i][1]) == xhao)
                return {p.row_ids[i], p.rows[i][4]};
        ADD_FAILURE() << "no row of " << who << " for indicator " << xhao;
        return {};
    }

    static wire::Change change_to(const Row &row, wire::Value to)
    {
        wire::Change c;
        c.kind = wire::ChangeKind::Modify;
        c.row_id = row.id;
        c.original = {{"ZBSL00", row.quantity}};
        c.values = {{"ZBSL00", std::move(to)}};
        return c;
    }

    // What the remaining-quantity statement shows the salesman for indicator 1.
    double remaining(const std::string &session, const std::string &who)
    {
        const auto p = server_->get_records(anyone, session, "dsp_temp", apptest::remaining_statement(kMonth, "01", who));
        for (const auto &r : p.rows)
            if (wire::value_to_double(r[column(p, "XHAO00")]) == 1) return wire::value_to_double(r[column(p, "ZBSL00")]);
        ADD_FAILURE() << "no remaining quantity of indicator 1";
        return 0;
    }

    double total(int xhao = 1) const
    {
        const auto t = scalar("SELECT SUM(ZBSL00) FROM XSTYZB02 WHERE XHAO00=" + std::to_string(xhao));
        return t.empty() ? 0 : std::stod(t);
    }
    int audit_count(const std::string &where = "1=1") const
    {
        return std::stoi(scalar(std::string("SELECT COUNT(*) FROM XSTYZBRZ WHERE ") + where));
    }

    std::unique_ptr<AppServer> server_;
};
BACKEND_TEST_SUITE(Allocation);

// Eight planners, each for another salesman, read what is left and then all
// apply at once: the salesmen never hold more than the department, and
// exactly the planners refused are told what is really left.
TEST_P(Allocation, EightPlannersAtOnceNeverOverAllocateTheDepartment)
{
    for (int i = 1; i <= kPlanners; ++i) generate(salesman(i));
    std::vector<std::string> sessions;
    for (int i = 0; i < kPlanners; ++i) sessions.push_back(server_->open_session(anyone, kCustObject));
    std::vector<std::string> info;
    for (int i = 0; i < kPlanners; ++i) info.push_back(server_->open_session(anyone, kCompanyInfoObject));

    const auto started = std::chrono::steady_clock::now();
    int rounds = 0, refusals_seen = 0;
    for (; rounds < 20 && std::chrono::steady_clock::now() - started < std::chrono::seconds(20); ++rounds) {
        exec("UPDATE XSTYZB02 SET ZBSL00=0");
        exec("DELETE FROM XSTYZBRZ");
        std::vector<wire::ApplyResult> results(kPlanners);
        std::vector<double> wanted(kPlanners);
        std::barrier read_all(kPlanners);
        std::vector<std::thread> planners;
        for (int i = 0; i < kPlanners; ++i)
            planners.emplace_back([&, i] {
                const std::string who = salesman(i + 1);
                const Row row = row_of(sessions[i], who, 1);
                // Each takes another share of what it saw left: the first ones
                // to apply fit, the later ones no longer do.
                wanted[i] = std::floor(remaining(info[i], who) * (2 + (i + rounds) % 4) / 10);
                read_all.arrive_and_wait();
                results[i] = server_->apply(anyone, sessions[i], "dsp_xstyzb02cys", {change_to(row, wanted[i])}, 0);
            });
        for (auto &t : planners) t.join();

        double accepted = 0;
        int applied = 0;
        for (int i = 0; i < kPlanners; ++i) {
            const std::string who = salesman(i + 1);
            const auto now = std::stod(scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE XHAO00=1 AND RYDM00='" + who + "'"));
            if (results[i].error_count == 0) {
                EXPECT_EQ(now, wanted[i]) << who;
                accepted += wanted[i];
                ++applied;
            } else {
                ++refusals_seen;
                EXPECT_EQ(now, 0) << who << " was refused but its quantity changed";
                ASSERT_EQ(results[i].errors.size(), 1u);
                const std::string &m = results[i].errors[0].message;
                EXPECT_EQ(m.rfind("序号为'1'的指标只剩 ", 0), 0u) << m;
                EXPECT_NE(m.find(" 条可分配"), std::string::npos) << m;
            }
        }
        EXPECT_LE(total(), 3600) << "round " << rounds;
        EXPECT_EQ(total(), accepted) << "round " << rounds;
        EXPECT_EQ(audit_count(), applied) << "one record per applied change, round " << rounds;
    }
    EXPECT_GE(rounds, 3);
    // Shares of 20% to 50% of 3600 by eight planners: some always wait in vain.
    EXPECT_GT(refusals_seen, 0);
}

TEST_P(Allocation, TheRefusalNamesWhatIsReallyLeftAndLoweringAlwaysPasses)
{
    generate("0101");
    generate("0102");
    const auto s = server_->open_session(anyone, kCustObject);
    ASSERT_EQ(server_->apply(anyone, s, "dsp_xstyzb02cys", {change_to(row_of(s, "0101", 1), 2520.0)}, 0).error_count, 0);
    // 3600 - 2520 = 1080 left for 0102: 1080 fits, 1080.5 does not.
    auto refused = server_->apply(anyone, s, "dsp_xstyzb02cys", {change_to(row_of(s, "0102", 1), 1080.5)}, 0);
    ASSERT_EQ(refused.error_count, 1);
    EXPECT_EQ(refused.errors.at(0).message, "序号为'1'的指标只剩 1080 条可分配");
    EXPECT_EQ(server_->apply(anyone, s, "dsp_xstyzb02cys", {change_to(row_of(s, "0102", 1), 1080.0)}, 0).error_count, 0);
    // The department's plan lowered later: the salesmen are over, yet each
    // can still be brought down (not up).
    exec("UPDATE XSTYZB01 SET ZBSL00=500 WHERE XHAO00=1");  // 1000 in all
    EXPECT_EQ(server_->apply(anyone, s, "dsp_xstyzb02cys", {change_to(row_of(s, "0101", 1), 2000.0)}, 0).error_count, 0);
    refused = server_->apply(anyone, s, "dsp_xstyzb02cys", {change_to(row_of(s, "0101", 1), 2000.5)}, 0);
    ASSERT_EQ(refused.error_count, 1);
    EXPECT_EQ(refused.errors.at(0).message, "序号为'1'的指标只剩 0 条可分配");
    // Another department or month has nothing to do with it.
    EXPECT_EQ(server_->apply(anyone, s, "dsp_xstyzb02cys", {change_to(row_of(s, "0101", 2), 420.0)}, 0).error_count, 0);
    EXPECT_EQ(total(1), 3080);
}

TEST_P(Allocation, ARaiseOfOneHundredthPastWhatIsLeftIsRefused)
{
    generate("0101");
    generate("0102");
    const auto s = server_->open_session(anyone, kCustObject);
    ASSERT_EQ(server_->apply(anyone, s, "dsp_xstyzb02cys", {change_to(row_of(s, "0101", 1), 2519.99)}, 0).error_count, 0);
    // 1080.01 left for 0102: 1080.02 is one hundredth too many.
    EXPECT_EQ(server_->apply(anyone, s, "dsp_xstyzb02cys", {change_to(row_of(s, "0102", 1), 1080.02)}, 0).error_count, 1);
    EXPECT_EQ(server_->apply(anyone, s, "dsp_xstyzb02cys", {change_to(row_of(s, "0102", 1), 1080.01)}, 0).error_count, 0);
    EXPECT_DOUBLE_EQ(total(1), 3600);
}

// While one apply checks what is left, no other apply of the department can
// begin: the SQLite write lock, the PostgreSQL advisory lock of the
// department and month, each seen from a second connection.
TEST_P(Allocation, TheDepartmentsLockIsHeldWhileAnApplyChecksWhatIsLeft)
{
    generate("0101");
    const auto s = server_->open_session(anyone, kCustObject);
    const wire::Delta delta = {change_to(row_of(s, "0101", 1), 1.0)};
    appserver::Connection applying(server_cs()), other(cs());
    applying.begin_write();
    const auto rows = appserver::read_plan_rows(applying, {*delta.front().row_id});
    ASSERT_EQ(rows.size(), 1u);
    appserver::lock_allocations(applying, {&rows.begin()->second});
    if (other.kind() == appserver::DatabaseKind::Sqlite) {
        other.run("PRAGMA busy_timeout=0");
        EXPECT_THROW(other.run("BEGIN IMMEDIATE"), appserver::ServerError);
    } else {
        const auto taken = other.run("SELECT CASE WHEN pg_try_advisory_lock(7411, hashtext(?)) THEN 1 ELSE 0 END",
                                     {std::string("XSTYZB02/") + kMonth + "/01"});
        EXPECT_EQ(wire::value_to_text(taken.packet.rows.at(0).at(0)), "0");
    }
    applying.rollback();
}

// A salesman code longer than its column is refused in words, on both
// databases; codes that cannot match a row change nothing; and row ids are
// only ever the plan's own.
TEST_P(Allocation, CodesLongerThanTheirColumnsAndRowIdsNotThePlansAreRefused)
{
    const auto s = server_->open_session(anyone, kCompanyInfoObject);
    try {
        server_->execute(anyone, s, "dsp_temp", apptest::generation_statement(kMonth, "01", std::string(5000, '9')));
        ADD_FAILURE() << "a 5000-character salesman code was taken";
    } catch (const appserver::ServerError &e) {
        EXPECT_EQ(e.kind(), appserver::ServerError::Kind::BadRequest);
        EXPECT_NE(std::string(e.what()).find("salesman code is 5000 bytes long"), std::string::npos) << e.what();
    }
    EXPECT_EQ(server_->execute(anyone, s, "dsp_temp", apptest::generation_statement(kMonth, "011", "01010")), 0);
    EXPECT_EQ(server_->execute(anyone, s, "dsp_temp", apptest::delete_statement("2003031", "01", "0101")), 0);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02"), "0");

    generate("0101");
    const auto plan = server_->open_session(anyone, kCustObject);
    Row row = row_of(plan, "0101", 1);
    for (wire::RowId id : {wire::RowId{0}, wire::RowId{-1}}) {
        row.id = id;
        const auto r = server_->apply(anyone, plan, "dsp_xstyzb02cys", {change_to(row, 1.0)}, 0);
        ASSERT_EQ(r.error_count, 1);
        EXPECT_NE(r.errors.at(0).message.find("none of the plan's rows"), std::string::npos) << r.errors.at(0).message;
    }
    EXPECT_THROW(wire::delta_from_json(nlohmann::json::parse(
                     R"([{"kind":"modify","rowId":18446744073709551615,"values":{"ZBSL00":1}}])")),
                 wire::WireError);
}

TEST_P(Allocation, NegativeNonFiniteAndAbsurdQuantitiesAreRefusedWithTheRowUnchanged)
{
    exec("UPDATE XSTYZB01 SET ZBSL00=1e12 WHERE XHAO00=2");
    generate("0101");
    const auto s = server_->open_session(anyone, kCustObject);
    const std::vector<std::pair<wire::Value, std::string>> cases = {
        {-5.0, "计划数量不能为负数"},
        {std::string("-0.5"), "计划数量不能为负数"},
        {std::string("nan"), "计划数量必须是一个有限的数字"},
        {std::string("1e300"), "超过了上限 1000000000 条"},
        {std::string("1e999"), "计划数量必须是一个有限的数字"},
        {1.7e308, "超过了上限 1000000000 条"},
        {1000000001.0, "超过了上限 1000000000 条"},
    };
    for (const auto &[value, message] : cases) {
        const auto r = server_->apply(anyone, s, "dsp_xstyzb02cys", {change_to(row_of(s, "0101", 2), value)}, 0);
        ASSERT_EQ(r.error_count, 1) << wire::value_to_text(value);
        EXPECT_NE(r.errors.at(0).message.find(message), std::string::npos) << r.errors[0].message;
        EXPECT_EQ(scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE XHAO00=2"), "0");
    }
    // The bound itself is a quantity like any other.
    EXPECT_EQ(server_->apply(anyone, s, "dsp_xstyzb02cys", {change_to(row_of(s, "0101", 2), 1e9)}, 0).error_count, 0);
    EXPECT_EQ(scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE XHAO00=2"), "1000000000");
    // The remaining quantities still read for every planner.
    EXPECT_NO_THROW(remaining(server_->open_session(anyone, kCompanyInfoObject), "0102"));
}

// Eight planners generate one salesman's plan at once: one plan stays, one
// row per distinct indicator, and every other generation fails and is rolled
// back as a failed generation is.
TEST_P(Allocation, EightPlannersGeneratingOnePlanLeaveExactlyOne)
{
    for (int round = 0; round < 5; ++round) {
        exec("DELETE FROM XSTYZB02");
        exec("DELETE FROM XSTYZBRZ");
        std::vector<std::string> sessions;
        for (int i = 0; i < kPlanners; ++i) sessions.push_back(server_->open_session(anyone, kCompanyInfoObject));
        std::barrier ready(kPlanners);
        std::atomic<int> succeeded{0};
        std::vector<std::thread> planners;
        for (int i = 0; i < kPlanners; ++i)
            planners.emplace_back([&, i] {
                const auto &s = sessions[i];
                // The module's existence test, then the bracket of the generation.
                const bool exists =
                    !server_->get_records(anyone, s, "dsp_temp", apptest::existence_statement(kMonth, "01", "0101")).rows.empty();
                ready.arrive_and_wait();
                if (exists) return;
                try {
                    server_->call_method(anyone, s, "CompanydbTranStart");
                    server_->execute(anyone, s, "dsp_temp", apptest::generation_statement(kMonth, "01", "0101"));
                    server_->call_method(anyone, s, "CompanydbTranCommit");
                    ++succeeded;
                } catch (const appserver::ServerError &) {
                    server_->call_method(anyone, s, "CompanydbRollback");
                }
            });
        for (auto &t : planners) t.join();
        for (const auto &s : sessions) server_->close_session(anyone, s);
        EXPECT_EQ(succeeded.load(), 1) << "round " << round;
        EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE RYDM00='0101'"), "2") << "round " << round;
        EXPECT_EQ(audit_count("CZLX00='generated'"), 2) << "round " << round;
    }
}

TEST_P(Allocation, EveryAppliedChangeIsRecordedWithItsAccountAndFiguresAndNothingElse)
{
    Caller lin;
    lin.account = "lin";
    lin.address = "10.1.2.3";
    generate("0101", lin);
    ASSERT_EQ(audit_count("CZLX00='generated' AND YHMC00='lin' AND KHDZ00='10.1.2.3' AND RYDM00='0101'"), 2);
    EXPECT_EQ(audit_count("CZLX00='generated' AND SLQIAN IS NULL AND SLHOU0=0 AND NYUE00='200303' AND CKDM00='01'"), 2);

    // With --auth none the caller is "anonymous" at its address.
    Caller anonymous;
    anonymous.address = "127.0.0.1";
    const auto s = server_->open_session(anonymous, kCustObject);
    ASSERT_EQ(server_->apply(anonymous, s, "dsp_xstyzb02cys", {change_to(row_of(s, "0101", 1, anonymous), 1500.0)}, 0)
                  .error_count,
              0);
    const auto record = query("SELECT YHMC00,KHDZ00,CZLX00,NYUE00,CKDM00,RYDM00,XHAO00,ZBMC00,SLQIAN,SLHOU0,CZSJ00 "
                              "FROM XSTYZBRZ WHERE CZLX00='quantity changed'");
    ASSERT_EQ(record.size(), 1u);
    EXPECT_EQ(record[0], (std::vector<std::string>{"anonymous", "127.0.0.1", "quantity changed", "200303", "01",
                                                   "0101", "1", "卷烟销售总量", "0", "1500", record[0][10]}));
    EXPECT_EQ(record[0][10].size(), 20u) << record[0][10];  // 2024-05-01T08:00:00Z
    EXPECT_EQ(record[0][10].back(), 'Z');

    // Refused: no record. Undone by the session's roll-back: no record.
    EXPECT_EQ(server_->apply(anonymous, s, "dsp_xstyzb02cys", {change_to(row_of(s, "0101", 1, anonymous), 9999.0)}, 0)
                  .error_count,
              1);
    const auto info = server_->open_session(anonymous, kCompanyInfoObject);
    // The module's transaction methods and the plan provider are two objects
    // with a session each; a roll-back of the object that ran the deletion drops it.
    server_->call_method(anonymous, info, "CompanydbTranStart");
    server_->execute(anonymous, info, "dsp_temp", apptest::delete_statement(kMonth, "01", "0101"));
    EXPECT_EQ(audit_count("CZLX00='plan deleted'"), 0) << "not committed yet, and read on another connection";
    server_->call_method(anonymous, info, "CompanydbRollback");
    EXPECT_EQ(audit_count(), 3);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02"), "2");

    // A row deleted, then the plan deleted: each row recorded with what it held.
    wire::Change gone;
    gone.kind = wire::ChangeKind::Delete;
    const Row second = row_of(s, "0101", 2, anonymous);
    gone.row_id = second.id;
    gone.original = {{"ZBSL00", second.quantity}};
    ASSERT_EQ(server_->apply(anonymous, s, "dsp_xstyzb02cys", {gone}, 0).error_count, 0);
    EXPECT_EQ(audit_count("CZLX00='row deleted' AND XHAO00=2 AND SLQIAN=0 AND SLHOU0 IS NULL"), 1);
    server_->execute(anonymous, info, "dsp_temp", apptest::delete_statement(kMonth, "01", "0101"));
    EXPECT_EQ(audit_count("CZLX00='plan deleted' AND XHAO00=1 AND SLQIAN=1500 AND SLHOU0 IS NULL"), 1);
    EXPECT_EQ(audit_count(), 5);

    // The audit command's reading and its CSV.
    appserver::AuditFilter filter;
    filter.salesman = "0101";
    filter.since = "2000-01-01";
    const auto records = appserver::read_audit(cs(), filter);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[2].kind, "quantity changed");
    EXPECT_EQ(records[2].after, "1500");
    filter.since = "2999-01-01";
    EXPECT_TRUE(appserver::read_audit(cs(), filter).empty());
    filter = {};
    filter.department = "02";
    EXPECT_TRUE(appserver::read_audit(cs(), filter).empty());
    const std::string csv = appserver::audit_csv(records);
    EXPECT_NE(csv.find(",quantity changed,200303,01,0101,1,卷烟销售总量,0,1500,\r\n"), std::string::npos) << csv;
}

// A database from before the unique key, holding one indicator twice for a
// salesman: --init names the rows to clean and changes nothing.
TEST_P(Allocation, InitOnADatabaseWithDuplicatePlanRowsNamesThemAndChangesNothing)
{
    generate("0101");
    exec("DROP INDEX XSTYZB02_PLAN");
    exec("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00) "
         "SELECT NYUE00,XHAO00,ZBLB00,ZBMC00,7,CKDM00,RYDM00 FROM XSTYZB02 WHERE XHAO00=2");
    const auto ids = query("SELECT ROWID00 FROM XSTYZB02 WHERE XHAO00=2 ORDER BY ROWID00");
    ASSERT_EQ(ids.size(), 2u);
    try {
        appserver::init_database(cs(), false);
        ADD_FAILURE() << "--init took a database with duplicate plan rows";
    } catch (const appserver::ServerError &e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("salesman 0101, sequence number 2"), std::string::npos) << m;
        EXPECT_NE(m.find("rows (ROWID00) " + ids[0][0] + ", " + ids[1][0]), std::string::npos) << m;
    }
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02"), "3");
    exec("DELETE FROM XSTYZB02 WHERE ROWID00=" + ids[1][0]);
    EXPECT_NO_THROW(appserver::init_database(cs(), false));
    EXPECT_THROW(generate("0101"), appserver::ServerError) << "the unique key is back";
}

// A server killed while planners apply: every change that stayed has its
// record, and no record stands for a change that did not stay.
TEST_P(Allocation, ASeverKilledMidApplyKeepsChangeAndRecordTogether)
{
    generate("0101");
    const auto row_id = std::stoll(scalar("SELECT ROWID00 FROM XSTYZB02 WHERE XHAO00=1"));
    testsupport::ServerProcess process(cs());
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < 2; ++c)
        clients.emplace_back([&, c] {
            httplib::Client http("127.0.0.1", process.port());
            http.set_read_timeout(5);
            const auto opened = http.Post("/v1/sessions", nlohmann::json{{"object", kCustObject}}.dump(), "application/json");
            if (!opened || opened->status != 201) return;
            const std::string s = nlohmann::json::parse(opened->body).at("session");
            // Each client raises the quantity by one, from what it last saw.
            double seen = 0;
            while (!stop) {
                wire::Change change{wire::ChangeKind::Modify, row_id, {{"ZBSL00", seen}}, {{"ZBSL00", seen + 1 + c}}};
                const auto r = http.Post("/v1/sessions/" + s + "/providers/dsp_xstyzb02cys/apply",
                                         nlohmann::json{{"maxErrors", 0}, {"delta", wire::delta_to_json({change})}}.dump(),
                                         "application/json");
                if (!r) return;  // the server is gone
                const auto result = wire::apply_result_from_json(nlohmann::json::parse(r->body));
                if (result.error_count == 0) seen += 1 + c;
                else seen = std::stod(scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE ROWID00=" + std::to_string(row_id)));
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ::kill(process.pid(), SIGKILL);
    stop = true;
    for (auto &t : clients) t.join();

    const double quantity = std::stod(scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE ROWID00=" + std::to_string(row_id)));
    EXPECT_GT(quantity, 0) << "no change went through before the kill";
    const auto last = query("SELECT SLQIAN,SLHOU0 FROM XSTYZBRZ WHERE JHHANG=" + std::to_string(row_id) +
                            " AND CZLX00='quantity changed' ORDER BY JLHAO0");
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(std::stod(last.back()[1]), quantity) << "the last record is the quantity that stayed";
    // The records chain from 0 to what stayed, each starting where the one before ended.
    double at = 0;
    for (const auto &r : last) {
        EXPECT_EQ(std::stod(r[0]), at);
        at = std::stod(r[1]);
    }
}

}  // namespace

// Saves of many cells in one apply, as the department board makes them.
class ManyCells : public Allocation {
protected:
    void SetUp() override
    {
        Allocation::SetUp();
        if (IsSkipped()) return;
        for (int i = 1; i <= 3; ++i) generate(salesman(i));
        s_ = server_->open_session(anyone, kCustObject);
    }
    struct Cell {
        int salesman;
        int xhao;
        wire::Value to;
    };
    std::vector<wire::Change> changes(const std::vector<Cell> &cells)
    {
        std::vector<wire::Change> out;
        for (const auto &c : cells) out.push_back(change_to(row_of(s_, salesman(c.salesman), c.xhao), c.to));
        return out;
    }
    std::string quantity(int who, int xhao) const
    {
        return scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE RYDM00='" + salesman(who) + "' AND XHAO00=" + std::to_string(xhao));
    }
    // The quantities after of the records, in the order they were written.
    std::vector<std::string> recorded() const
    {
        std::vector<std::string> out;
        for (const auto &r : query("SELECT SLHOU0 FROM XSTYZBRZ WHERE CZLX00<>'generated' ORDER BY JLHAO0"))
            out.push_back(r[0]);
        return out;
    }
    std::string s_;
};
INSTANTIATE_TEST_SUITE_P(Databases, ManyCells,
                         ::testing::Values(::apptest::Backend::Sqlite, ::apptest::Backend::Postgresql),
                         ::apptest::backend_name);

// Each cell is checked against what the department has left after the cells
// before it in the same save, lowered ones included, exactly as if each had
// been saved on its own in that order.
TEST_P(ManyCells, EachCellMeetsTheRuleAfterTheCellsBeforeIt)
{
    struct Case {
        const char *what;
        std::vector<Cell> preset, cells;
        int max_errors;
        std::vector<std::size_t> refused;  // which cells, in order
        const char *left;                  // what the first refusal says is left
        double total;                      // of indicator 1 afterwards
    };
    const std::vector<Case> cases = {
        {"all fit", {}, {{1, 1, 1200.0}, {2, 1, 1200.0}, {3, 1, 1200.0}, {1, 2, 420.0}}, 0, {}, "", 3600},
        {"the last is over: nothing stays", {}, {{1, 1, 1500.0}, {2, 1, 1500.0}, {3, 1, 1000.0}}, 0, {2}, "600", 0},
        {"the last is over, errors allowed", {}, {{1, 1, 1500.0}, {2, 1, 1500.0}, {3, 1, 1000.0}}, -1, {2}, "600", 3000},
        {"a lowering first makes room", {{1, 1, 3000.0}}, {{1, 1, 1000.0}, {2, 1, 2600.0}}, 0, {}, "", 3600},
        {"a lowering after comes too late", {{1, 1, 3000.0}}, {{2, 1, 2600.0}, {1, 1, 1000.0}}, -1, {0}, "600", 1000},
        {"an over-allocated cell may still come down", {{1, 1, 4000.0}}, {{1, 1, 3900.0}, {2, 1, 1.0}}, -1, {1}, "0", 3900},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        exec("UPDATE XSTYZB02 SET ZBSL00=0");
        for (const auto &p : c.preset)
            exec("UPDATE XSTYZB02 SET ZBSL00=" + wire::value_to_text(p.to) + " WHERE RYDM00='" + salesman(p.salesman) +
                 "' AND XHAO00=" + std::to_string(p.xhao));
        exec("DELETE FROM XSTYZBRZ");
        const auto delta = changes(c.cells);
        const auto result = server_->apply(anyone, s_, "dsp_xstyzb02cys", delta, c.max_errors);
        ASSERT_EQ(result.errors.size(), c.refused.size());
        std::vector<std::string> expected;
        for (std::size_t i = 0, r = 0; i < c.cells.size(); ++i) {
            if (r < c.refused.size() && c.refused[r] == i) {
                EXPECT_EQ(result.errors[r].row_id, delta[i].row_id);
                EXPECT_EQ(result.errors[r].message,
                          "序号为'" + std::to_string(c.cells[i].xhao) + "'的指标只剩 " + c.left + " 条可分配");
                ++r;
            } else if (c.max_errors < 0 || c.refused.empty()) {
                expected.push_back(wire::value_to_text(c.cells[i].to));
            }
        }
        EXPECT_EQ(total(1), c.total);
        EXPECT_EQ(recorded(), expected) << "one record per cell that stayed, in the order of the save";
    }
}

// A cell another writer changed after the board read it is refused as stale
// in a save of many; the others follow maxErrors. Deletions, a row changed
// twice and a row read empty take the same save.
TEST_P(ManyCells, StaleCellsDeletionsAndEmptyQuantitiesInOneSave)
{
    const auto delta = changes({{1, 1, 10.0}, {2, 1, 20.0}, {3, 1, 30.0}, {1, 2, 40.0}});
    exec("UPDATE XSTYZB02 SET ZBSL00=7 WHERE RYDM00='0102' AND XHAO00=1");
    auto result = server_->apply(anyone, s_, "dsp_xstyzb02cys", delta, 0);
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].row_id, delta[1].row_id);
    EXPECT_EQ(result.errors[0].message, "the plan row " + std::to_string(*delta[1].row_id) +
                                            " has been changed since it was read: its quantity is now 7, it was 0 when read");
    EXPECT_EQ(quantity(1, 1), "0") << "all or nothing";
    EXPECT_TRUE(recorded().empty());
    result = server_->apply(anyone, s_, "dsp_xstyzb02cys", delta, -1);
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(quantity(1, 1), "10");
    EXPECT_EQ(quantity(2, 1), "7");
    EXPECT_EQ(recorded(), (std::vector<std::string>{"10", "30", "40"}));

    // A row deleted, one read empty, and one changed twice, in one save.
    exec("DELETE FROM XSTYZBRZ");
    exec("UPDATE XSTYZB02 SET ZBSL00=NULL WHERE RYDM00='0103' AND XHAO00=2");
    auto mixed = changes({{2, 1, 100.0}, {3, 2, 5.0}, {1, 1, 11.0}});
    wire::Change again = mixed[0];
    again.original = {{"ZBSL00", 100.0}};
    again.values = {{"ZBSL00", 200.0}};
    mixed.push_back(again);
    wire::Change gone;
    gone.kind = wire::ChangeKind::Delete;
    gone.row_id = row_of(s_, "0101", 2).id;
    gone.original = {{"ZBSL00", 40.0}};
    mixed.push_back(gone);
    result = server_->apply(anyone, s_, "dsp_xstyzb02cys", mixed, 0);
    EXPECT_EQ(result.error_count, 0) << (result.errors.empty() ? "" : result.errors[0].message);
    EXPECT_EQ(quantity(2, 1), "200");
    EXPECT_EQ(quantity(3, 2), "5");
    EXPECT_EQ(quantity(1, 1), "11");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE RYDM00='0101' AND XHAO00=2"), "0");
    const auto records = query("SELECT CZLX00,RYDM00,XHAO00,SLQIAN,SLHOU0 FROM XSTYZBRZ ORDER BY JLHAO0");
    EXPECT_EQ(records, (std::vector<std::vector<std::string>>{{"quantity changed", "0102", "1", "7", "100"},
                                                                {"quantity changed", "0103", "2", "", "5"},
                                                                {"quantity changed", "0101", "1", "10", "11"},
                                                                {"quantity changed", "0102", "1", "100", "200"},
                                                                {"row deleted", "0101", "2", "40", ""}}));
}

// Planners saving several cells each at once never over-allocate the
// department, and each save stays whole or not at all.
TEST_P(ManyCells, PlannersSavingManyCellsAtOnceNeverOverAllocate)
{
    constexpr int kSavers = 3;
    std::vector<std::string> sessions;
    for (int i = 0; i < kSavers; ++i) sessions.push_back(server_->open_session(anyone, kCustObject));
    for (int round = 0; round < 6; ++round) {
        exec("UPDATE XSTYZB02 SET ZBSL00=0");
        std::vector<std::vector<wire::Change>> deltas;
        for (int i = 0; i < kSavers; ++i) {
            // Each wants 1400 + 80 a round of indicator 1 and 150 of indicator 2.
            std::vector<wire::Change> d;
            d.push_back(change_to(row_of(sessions[i], salesman(i + 1), 2), 150.0));
            d.push_back(change_to(row_of(sessions[i], salesman(i + 1), 1), 1400.0 + 80 * round));
            deltas.push_back(std::move(d));
        }
        std::vector<wire::ApplyResult> results(kSavers);
        std::barrier start(kSavers);
        std::vector<std::thread> savers;
        for (int i = 0; i < kSavers; ++i)
            savers.emplace_back([&, i] {
                start.arrive_and_wait();
                results[i] = server_->apply(anyone, sessions[i], "dsp_xstyzb02cys", deltas[i], 0);
            });
        for (auto &t : savers) t.join();
        int whole = 0;
        for (int i = 0; i < kSavers; ++i) {
            const bool saved = results[i].error_count == 0;
            whole += saved;
            EXPECT_EQ(quantity(i + 1, 2), saved ? "150" : "0") << "round " << round << ", planner " << i;
        }
        EXPECT_LE(total(1), 3600) << "round " << round;
        EXPECT_LE(total(2), 420) << "round " << round;
        EXPECT_EQ(whole, 2) << "two saves fit in each round, never three, round " << round;
    }
}
