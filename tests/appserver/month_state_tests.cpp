// A department's month submitted, approved, returned and revised, on SQLite
// and PostgreSQL: every changing route against every role and state, the
// moves and their refusals, what the trail records, a save racing a
// submission, two approvers at once, and the layout brought up from the
// version before month states.
#include <gtest/gtest.h>

#include <barrier>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "app_server.h"
#include "audit.h"
#include "backend_test.h"
#include "contract.h"
#include "database_setup.h"
#include "module_statements.h"
#include "schema_version.h"

namespace {

using appserver::AppServer;
using appserver::Caller;
using appserver::Role;
using appserver::ServerError;

constexpr const char *kMonth = "200303";

Caller caller(const char *account, Role role)
{
    Caller c;
    c.account = account;
    c.role = role;
    return c;
}
const Caller planner = caller("wang", Role::Planner);
const Caller approver = caller("li", Role::Approver);
const Caller approver2 = caller("zhou", Role::Approver);
const Caller viewer = caller("zhao", Role::Viewer);

// The code of the error a call throws ("bad_request" for a plain 400); "" when it throws none.
std::string refusal_of(const std::function<void()> &f, std::string *message = nullptr)
{
    try {
        f();
    } catch (const ServerError &e) {
        if (message) *message = e.what();
        return e.code() ? e.code() : e.kind() == ServerError::Kind::BadRequest ? contract::error::kBadRequest : "other";
    }
    return {};
}

class MonthStates : public apptest::BackendTest {
public:
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        // Department 01: two indicators, 100 and 50; visit-salesmen 0101 and
        // 0102 with their plans (60+40 and 30+20: all allocated), 0103 with
        // a plan of zeros: a complete month.
        exec("INSERT INTO GSTCKGL0 (CKDM00,CKMC00,WDBJ00) VALUES ('01','城东访销部','F'),('02','城西访销部','F')");
        exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES "
             "('200303','01',1,'1','卷烟销售总量',100),('200303','01',2,'2','一类卷烟销量',50)");
        exec("INSERT INTO XSTYXSZB (NYUE00,XHAO00,ZBMC00) VALUES ('200303',1,'卷烟销售总量')");
        exec("INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0101','张伟','Y','01'),"
             "('0102','李娜','Y','01'),('0103','王强','Y','01')");
        start_server({});
        for (const char *s : {"0101", "0102", "0103"}) generate(s);
        set_quantities("0101", 60, 30);
        set_quantities("0102", 40, 20);
    }

    void start_server(const appserver::ServerLimits &limits)
    {
        server_ = std::make_unique<AppServer>(server_cs());
        server_->set_limits(limits);
    }

    void generate(const std::string &salesman)
    {
        const auto info = server_->open_session(planner, contract::kCompanyInfoObject);
        server_->execute(planner, info, "dsp_temp", apptest::generation_statement(kMonth, "01", salesman));
        server_->close_session(planner, info);
    }
    void set_quantities(const std::string &salesman, double first, double second)
    {
        exec("UPDATE XSTYZB02 SET ZBSL00=" + wire::format_number(first) + " WHERE XHAO00=1 AND RYDM00='" + salesman + "'");
        exec("UPDATE XSTYZB02 SET ZBSL00=" + wire::format_number(second) + " WHERE XHAO00=2 AND RYDM00='" + salesman + "'");
    }
    // Puts the month into a state as a move of its own would leave it.
    void put_state(const std::string &state)
    {
        exec("INSERT INTO XSTYZBZT (NYUE00,CKDM00,BBHAO0,DZUO00,ZTAI00,YHMC00,CZSJ00) VALUES ('200303','01',"
             "(SELECT COALESCE(MAX(BBHAO0),0)+1 FROM XSTYZBZT),'-','" + state + "','setup','2003-03-01T00:00:00Z')");
    }

    std::string move(const Caller &who, const std::string &what, const std::string &reason = {},
                     const std::string &seen = {}, const char *department = "01")
    {
        const auto s = server_->open_session(who, contract::kCustObject);
        wire::MethodParams p{{"NYUE00", kMonth}, {"CKDM00", department}, {"DZUO00", what}};
        if (!reason.empty()) p["LYOU00"] = reason;
        if (!seen.empty()) p["ZTAI00"] = seen;
        const auto answer = server_->call_method(who, s, contract::kMoveMonthStateMethod, p);
        server_->close_session(who, s);
        return answer.at(contract::kStateKey).get<std::string>();
    }
    wire::DataPacket state_packet(const Caller &who = planner, const char *department = "01")
    {
        const auto s = server_->open_session(who, contract::kCustObject);
        wire::ProviderParams p{{"NYUE00", kMonth}};
        if (department) p["CKDM00"] = department;
        auto packet = server_->get_records(who, s, contract::kMonthStateProvider, "", p);
        server_->close_session(who, s);
        return packet;
    }
    std::string state() { return wire::value_to_text(state_packet().rows.at(0).at(1)); }

    // The rows of a salesman's plan in the database, by indicator.
    wire::RowId row_of(const std::string &salesman, int xhao)
    {
        return std::stoll(scalar("SELECT ROWID00 FROM XSTYZB02 WHERE RYDM00='" + salesman +
                                 "' AND XHAO00=" + std::to_string(xhao)));
    }
    std::vector<std::vector<std::string>> plans()
    {
        return query("SELECT RYDM00,XHAO00,ZBSL00 FROM XSTYZB02 ORDER BY RYDM00,XHAO00");
    }
    std::string audit_count() { return scalar("SELECT COUNT(*) FROM XSTYZBRZ"); }

    std::unique_ptr<AppServer> server_;
};

// --- every changing route, every role, every state ------------------------------

// A route that changes salesman plan rows, run by a caller: "" when it
// changed them, else the refusal's code.
struct Route {
    const char *name;
    std::function<std::string(MonthStates &, const Caller &)> run;
};

std::vector<Route> routes()
{
    auto apply = [](MonthStates &t, const Caller &who, wire::Change change) {
        std::string code = refusal_of([&] {
            const auto s = t.server_->open_session(who, contract::kCustObject);
            const auto r = t.server_->apply(who, s, contract::kPlanProvider, {change}, 0);
            if (r.error_count > 0) {
                EXPECT_NE(r.errors.at(0).message.find("不能修改"), std::string::npos) << r.errors.at(0).message;
                throw ServerError(ServerError::Kind::Database, r.errors.at(0).message, contract::error::kMonthLocked);
            }
        });
        return code;
    };
    auto in_transaction = [](MonthStates &t, const Caller &who, const std::string &statement) {
        return refusal_of([&] {
            const auto s = t.server_->open_session(who, contract::kCompanyInfoObject);
            try {
                t.server_->call_method(who, s, contract::kTranStartMethod);
                t.server_->execute(who, s, "dsp_temp", statement);
                t.server_->call_method(who, s, contract::kTranCommitMethod);
            } catch (...) {
                t.server_->close_session(who, s);  // rolls back
                throw;
            }
            t.server_->close_session(who, s);
        });
    };
    return {
        {"apply: a quantity lowered",
         [=](MonthStates &t, const Caller &who) {
             wire::Change c;
             c.kind = wire::ChangeKind::Modify;
             c.row_id = t.row_of("0101", 1);
             c.original = {{"ZBSL00", 60.0}};
             c.values = {{"ZBSL00", 10.0}};
             return apply(t, who, c);
         }},
        {"apply: a row deleted",
         [=](MonthStates &t, const Caller &who) {
             wire::Change c;
             c.kind = wire::ChangeKind::Delete;
             c.row_id = t.row_of("0102", 2);
             c.original = {{"ZBSL00", 20.0}};
             return apply(t, who, c);
         }},
        {"the generation statement in a transaction",
         [=](MonthStates &t, const Caller &who) {
             return in_transaction(t, who, apptest::generation_statement(kMonth, "01", "0103"));
         }},
        {"the deletion statement in a transaction",
         [=](MonthStates &t, const Caller &who) {
             return in_transaction(t, who, apptest::delete_statement(kMonth, "01", "0102"));
         }},
        {"the deletion statement on its own",
         [](MonthStates &t, const Caller &who) {
             return refusal_of([&] {
                 const auto s = t.server_->open_session(who, contract::kCompanyInfoObject);
                 t.server_->execute(who, s, "dsp_temp", apptest::delete_statement(kMonth, "01", "0101"));
             });
         }},
        {"GeneratePlans",
         [](MonthStates &t, const Caller &who) {
             return refusal_of([&] {
                 const auto s = t.server_->open_session(who, contract::kCustObject);
                 t.server_->call_method(who, s, contract::kGeneratePlansMethod, {{"NYUE00", kMonth}, {"CKDM00", "01"}});
             });
         }},
    };
}

TEST_P(MonthStates, EveryChangingRouteIsRefusedInALockedMonthForEveryRole)
{
    const std::vector<std::pair<const char *, bool>> states = {{contract::kStateDraft, false},
                                                               {contract::kStateSubmitted, true},
                                                               {contract::kStateApproved, true},
                                                               {contract::kStateRevising, false}};
    for (const auto &[state_name, locked] : states) {
        for (const Route &route : routes()) {
            for (const Caller *who : {&planner, &approver, &viewer}) {
                SCOPED_TRACE(std::string(state_name) + " / " + route.name + " / " + who->account);
                // Each case on the month as set up, in the state at hand.
                exec("DELETE FROM XSTYZBZT");
                exec("DELETE FROM XSTYZB02 WHERE RYDM00 NOT IN ('0101','0102')");
                if (query("SELECT 1 FROM XSTYZB02 WHERE RYDM00='0101'").size() < 2) {
                    exec("DELETE FROM XSTYZB02 WHERE RYDM00='0101'");
                    generate("0101");
                }
                if (query("SELECT 1 FROM XSTYZB02 WHERE RYDM00='0102'").size() < 2) {
                    exec("DELETE FROM XSTYZB02 WHERE RYDM00='0102'");
                    generate("0102");
                }
                set_quantities("0101", 60, 30);
                set_quantities("0102", 40, 20);
                if (std::string(state_name) != contract::kStateDraft) put_state(state_name);
                const auto before = plans();
                const auto records = audit_count();

                const std::string outcome = route.run(*this, *who);
                const std::string expected = who->role == Role::Viewer ? contract::error::kReadOnlyAccount
                                             : locked                  ? contract::error::kMonthLocked
                                                                       : "";
                EXPECT_EQ(outcome, expected);
                if (!expected.empty()) {
                    EXPECT_EQ(plans(), before);
                    EXPECT_EQ(audit_count(), records);
                } else {
                    EXPECT_NE(plans(), before);
                }
                EXPECT_EQ(state(), state_name);
            }
        }
    }
}

TEST_P(MonthStates, TheRefusalSaysWhyInChinese)
{
    put_state(contract::kStateApproved);
    std::string message;
    const auto s = server_->open_session(planner, contract::kCustObject);
    EXPECT_EQ(refusal_of([&] {
                  server_->call_method(planner, s, contract::kGeneratePlansMethod,
                                       {{"NYUE00", kMonth}, {"CKDM00", "01"}, {"RYDM00", "0103"}});
              }, &message),
              contract::error::kMonthLocked);
    EXPECT_EQ(message, "该月计划已批准，不能修改");
    // Another department's month is open.
    exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','02',1,'1','卷烟销售总量',9)");
    exec("INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0201','陈静','Y','02')");
    const auto r = server_->call_method(planner, s, contract::kGeneratePlansMethod, {{"NYUE00", kMonth}, {"CKDM00", "02"}});
    EXPECT_EQ(r.at("generated"), nlohmann::json::array({"0201"}));
}

// --- the moves ----------------------------------------------------------------------

TEST_P(MonthStates, TheCycleOfMovesWithTheirRefusals)
{
    exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01',3,'3','新品推广',5)");
    exec("DELETE FROM XSTYZB02 WHERE RYDM00='0103'");
    struct Step {
        const Caller *who;
        const char *move;
        const char *reason;
        const char *seen;
        const char *expected;  // the state it leads to, or the refusal's code
        const char *message;   // a part of the refusal's message
    };
    using namespace contract;
    const Step steps[] = {
        {&viewer, kMoveSubmit, "", "", error::kReadOnlyAccount, "只读账号"},
        {&approver, kMoveApprove, "", "", error::kStateRefused, "现在是草稿，不能批准"},
        {&planner, kMoveSubmit, "", "", error::kStateRefused, "序号为'3'的指标还剩 5 条未分配；访销员王强（0103）还没有计划"},
        {&planner, "撤销", "", "", error::kBadRequest, "not one of"},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(std::string(s.who->account) + " " + s.move);
        std::string message;
        EXPECT_EQ(refusal_of([&] { move(*s.who, s.move, s.reason, s.seen); }, &message), s.expected);
        EXPECT_NE(message.find(s.message), std::string::npos) << message;
    }
    // Complete now: 0103 has a plan and indicator 3 is allocated.
    generate("0103");
    exec("UPDATE XSTYZB02 SET ZBSL00=5 WHERE RYDM00='0103' AND XHAO00=3");
    const Step cycle[] = {
        {&planner, kMoveSubmit, "", kStateDraft, kStateSubmitted, ""},
        {&planner, kMoveSubmit, "", "", error::kStateRefused, "现在是已提交，不能提交"},
        {&planner, kMoveApprove, "", "", error::kForbidden, "只有审批人"},
        {&approver, kMoveReturn, " ", "", error::kBadRequest, "退回必须说明理由"},
        {&approver, kMoveReturn, "第二项太多", kStateSubmitted, kStateDraft, ""},
        {&approver, kMoveSubmit, "", "", kStateSubmitted, ""},
        {&approver, kMoveApprove, "", "", error::kStateRefused, "不能批准自己提交的计划"},
        {&approver2, kMoveApprove, "", kStateDraft, error::kStateChanged, "现在是已提交"},
        {&approver2, kMoveApprove, "", kStateSubmitted, kStateApproved, ""},
        {&approver2, kMoveReturn, "晚了", "", error::kStateRefused, "现在是已批准，不能退回"},
        {&planner, kMoveRevise, "", "", error::kBadRequest, "申请修订必须说明理由"},
        {&planner, kMoveRevise, "新品调整", kStateApproved, kStateRevising, ""},
        {&planner, kMoveSubmit, "", "", kStateSubmitted, ""},
        {&approver, kMoveApprove, "", "", kStateApproved, ""},
    };
    for (const Step &s : cycle) {
        SCOPED_TRACE(std::string(s.who->account) + " " + s.move);
        std::string message, got;
        const std::string code = refusal_of([&] { got = move(*s.who, s.move, s.reason, s.seen); }, &message);
        EXPECT_EQ(code.empty() ? got : code, s.expected);
        EXPECT_NE(message.find(s.message), std::string::npos) << message;
    }

    // The state with who submitted and approved it, and the history, for a viewer too.
    const auto packet = state_packet(viewer);
    EXPECT_EQ(packet.fields, contract::month_state_fields());
    ASSERT_EQ(packet.rows.size(), 1u);
    EXPECT_EQ(wire::value_to_text(packet.rows[0][1]), kStateApproved);
    EXPECT_EQ(wire::value_to_text(packet.rows[0][2]), "wang");
    EXPECT_EQ(wire::value_to_text(packet.rows[0][3]), "li");
    std::vector<std::string> history;
    for (const auto &r : packet.details.at(kMonthStateHistoryDetail).rows)
        history.push_back(wire::value_to_text(r[0]) + " " + wire::value_to_text(r[1]) + " " +
                          wire::value_to_text(r[2]) + " " + wire::value_to_text(r[3]) +
                          (wire::is_null(r[5]) ? "" : " " + wire::value_to_text(r[5])));
    EXPECT_EQ(history, (std::vector<std::string>{"1 提交 已提交 wang", "2 退回 草稿 li 第二项太多", "3 提交 已提交 li",
                                                 "4 批准 已批准 zhou", "5 申请修订 修订中 wang 新品调整",
                                                 "6 提交 已提交 wang", "7 批准 已批准 li"}));
    // The trail, with the reasons.
    EXPECT_EQ(query("SELECT YHMC00,CZLX00,NYUE00,CKDM00,LYOU00 FROM XSTYZBRZ WHERE RYDM00 IS NULL ORDER BY JLHAO0"),
              (std::vector<std::vector<std::string>>{{"wang", "submitted", kMonth, "01", ""},
                                                     {"li", "returned", kMonth, "01", "第二项太多"},
                                                     {"li", "submitted", kMonth, "01", ""},
                                                     {"zhou", "approved", kMonth, "01", ""},
                                                     {"wang", "revision opened", kMonth, "01", "新品调整"},
                                                     {"wang", "submitted", kMonth, "01", ""},
                                                     {"li", "approved", kMonth, "01", ""}}));
    // The audit command shows them with their reasons.
    appserver::AuditFilter filter;
    filter.month = kMonth;
    std::vector<std::string> shown;
    for (const auto &r : appserver::read_audit(cs(), filter))
        if (r.salesman.empty()) shown.push_back(r.kind + "|" + r.reason);
    EXPECT_EQ(shown, (std::vector<std::string>{"submitted|", "returned|第二项太多", "submitted|", "approved|",
                                               "revision opened|新品调整", "submitted|", "approved|"}));
    // The month's departments: only those that moved.
    const auto all = state_packet(planner, nullptr);
    ASSERT_EQ(all.rows.size(), 1u);
    EXPECT_EQ(wire::value_to_text(all.rows[0][0]), "01");
}

TEST_P(MonthStates, TheSitesRulesAllowSelfApprovalAndPartialSubmission)
{
    appserver::ServerLimits rules;
    rules.allow_self_approval = true;
    rules.allow_partial_submission = true;
    start_server(rules);
    exec("UPDATE XSTYZB02 SET ZBSL00=0 WHERE RYDM00='0101'");  // quantity left, 0103 without a plan
    exec("DELETE FROM XSTYZB02 WHERE RYDM00='0103'");
    EXPECT_EQ(move(approver, contract::kMoveSubmit), contract::kStateSubmitted);
    EXPECT_EQ(move(approver, contract::kMoveApprove), contract::kStateApproved);
}

TEST_P(MonthStates, AMoveOnAMonthWithoutADepartmentPlanIsRefused)
{
    exec("INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0201','陈静','Y','02')");
    std::string message;
    EXPECT_EQ(refusal_of([&] { move(planner, contract::kMoveSubmit, "", "", "02"); }, &message),
              contract::error::kStateRefused);
    EXPECT_NE(message.find("上级计划还未生成"), std::string::npos) << message;
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZBZT"), "0");
}

// --- at the same time ---------------------------------------------------------------

TEST_P(MonthStates, TwoApproversAtOnceOneWinsTheOtherIsToldTheStateChanged)
{
    for (int round = 0; round < 4; ++round) {
        exec("DELETE FROM XSTYZBZT");
        move(planner, contract::kMoveSubmit);
        std::barrier start(2);
        std::string outcome[2];
        const char *moves[2] = {contract::kMoveApprove, round % 2 ? contract::kMoveReturn : contract::kMoveApprove};
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i)
            threads.emplace_back([&, i] {
                start.arrive_and_wait();
                std::string got;
                const std::string code = refusal_of(
                    [&] { got = move(i ? approver2 : approver, moves[i], "重新分", contract::kStateSubmitted); });
                outcome[i] = code.empty() ? got : code;
            });
        for (auto &t : threads) t.join();
        SCOPED_TRACE("round " + std::to_string(round) + ": " + outcome[0] + " / " + outcome[1]);
        const int won = (outcome[0] == contract::error::kStateChanged ? 0 : 1) +
                        (outcome[1] == contract::error::kStateChanged ? 0 : 1);
        EXPECT_EQ(won, 1);
        EXPECT_TRUE(outcome[0] == state() || outcome[1] == state());
        EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZBZT"), "2");
    }
}

TEST_P(MonthStates, ASaveRacingASubmissionNeverLandsAfterIt)
{
    // Lowering 0101's first quantity leaves 1 unallocated: the submission
    // refuses what came first, the apply what came after.
    for (int round = 0; round < 8; ++round) {
        exec("DELETE FROM XSTYZBZT");
        set_quantities("0101", 60, 30);
        std::barrier start(2);
        wire::ApplyResult saved;
        std::string submitted;
        std::thread save([&] {
            const auto s = server_->open_session(planner, contract::kCustObject);
            wire::Change c;
            c.kind = wire::ChangeKind::Modify;
            c.row_id = row_of("0101", 1);
            c.original = {{"ZBSL00", 60.0}};
            c.values = {{"ZBSL00", 59.0}};
            start.arrive_and_wait();
            saved = server_->apply(planner, s, contract::kPlanProvider, {c}, 0);
        });
        std::thread submit([&] {
            start.arrive_and_wait();
            const std::string code = refusal_of([&] { submitted = move(approver, contract::kMoveSubmit); });
            if (!code.empty()) submitted = code;
        });
        save.join();
        submit.join();
        const std::string quantity = scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE RYDM00='0101' AND XHAO00=1");
        SCOPED_TRACE("round " + std::to_string(round) + ": " + submitted + ", quantity " + quantity);
        if (submitted == contract::kStateSubmitted) {
            EXPECT_EQ(quantity, "60");
            EXPECT_EQ(saved.error_count, 1);
        } else {
            EXPECT_EQ(submitted, contract::error::kStateRefused);
            EXPECT_EQ(quantity, "59");
            EXPECT_EQ(saved.error_count, 0);
        }
    }
}

TEST_P(MonthStates, ATransactionOpenAcrossTheSubmissionCannotCommitAChange)
{
    // The planner's transaction reads first, the month is submitted, then
    // the planner deletes: refused, and nothing of it lands.
    const auto info = server_->open_session(planner, contract::kCompanyInfoObject);
    server_->call_method(planner, info, contract::kTranStartMethod);
    server_->get_records(planner, info, "dsp_temp", apptest::existence_statement(kMonth, "01", "0102"));
    EXPECT_EQ(move(approver, contract::kMoveSubmit), contract::kStateSubmitted);
    const std::string code = refusal_of([&] {
        server_->execute(planner, info, "dsp_temp", apptest::delete_statement(kMonth, "01", "0102"));
        server_->call_method(planner, info, contract::kTranCommitMethod);
    });
    // PostgreSQL reads the new state; SQLite refuses the write of a transaction
    // that read before another's commit (its snapshot is stale).
    EXPECT_TRUE(code == contract::error::kMonthLocked ||
                (!postgres() && (code == contract::error::kDatabase || code == contract::error::kLocked)))
        << code;
    server_->close_session(planner, info);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE RYDM00='0102'"), "2");
    EXPECT_EQ(state(), contract::kStateSubmitted);
}

// --- the layout -----------------------------------------------------------------------

TEST_P(MonthStates, MigrationFromTheLayoutBeforeMonthStatesKeepsThePlansAndStartsAsDrafts)
{
    // A copy of this database as the release before made it: no state table,
    // no reasons in the trail, version 2.
    server_.reset();
    exec("DROP TABLE XSTYZBZT");
    exec("ALTER TABLE XSTYZBRZ DROP COLUMN LYOU00");
    exec("UPDATE XTBBXX00 SET BBHAO0=2");
    const auto before = plans();
    {
        appserver::Connection db(cs());
        EXPECT_THROW(appserver::check_schema_version(db), ServerError);
        EXPECT_EQ(appserver::migrate_schema(db).was, 2);
        EXPECT_EQ(appserver::schema_version(db), appserver::kSchemaVersion);
        EXPECT_TRUE(appserver::missing_server_rights(db).empty());
    }
    EXPECT_EQ(plans(), before);
    start_server({});
    EXPECT_EQ(state(), contract::kStateDraft);
    EXPECT_EQ(move(planner, contract::kMoveSubmit, "", "", "01"), contract::kStateSubmitted);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZBRZ WHERE CZLX00='submitted'"), "1");
    // The server's own role has its rights on the new table.
    if (postgres()) {
        appserver::Connection as_server(server_cs());
        EXPECT_TRUE(appserver::missing_server_rights(as_server).empty());
    }
}

BACKEND_TEST_SUITE(MonthStates);

}  // namespace
