// The department's month on one board (dsp_board) and the generation of the
// missing plans (GeneratePlans), on SQLite and PostgreSQL: what the board
// shows against the database's own arithmetic, what is refused, and that
// its changes go through the plan provider's apply as the editor's do.
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <functional>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>

#include "app_server.h"
#include "backend_test.h"
#include "contract.h"
#include "module_statements.h"

namespace {

using appserver::AppServer;
using appserver::Caller;
using appserver::ServerError;
using apptest::column;

const Caller anyone;
constexpr const char *kMonth = "200303";

Caller viewer()
{
    Caller c;
    c.account = "zhao";
    c.role = appserver::Role::Viewer;
    return c;
}

wire::ProviderParams board_of(const std::string &month, const std::string &department)
{
    return {{contract::kMonthParam, month}, {contract::kDepartmentParam, department}};
}

// The kind and code of the error a call throws; "" when it throws none.
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

class Board : public apptest::BackendTest {
protected:
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        // Department 01 "城东访销部": indicator 1 twice in its plan (one
        // indicator of 3600 to the remaining quantity), 2 and 3 once.
        exec("INSERT INTO GSTCKGL0 (CKDM00,CKMC00,WDBJ00) VALUES ('01','城东访销部','F'),('02','城西访销部','F')");
        exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00,SPDM00) VALUES "
             "('200303','01',1,'1','卷烟销售总量',3000,NULL),('200303','01',1,'1','卷烟销售总量',600,'10010001'),"
             "('200303','01',2,'2','一类卷烟销量',420,NULL),('200303','01',3,'3','红塔山系列',540,NULL),"
             "('200303','02',1,'1','卷烟销售总量',999,NULL)");
        exec("INSERT INTO XSTYXSZB (NYUE00,XHAO00,ZBMC00) VALUES ('200303',1,'卷烟销售总量')");
        // Visit-salesmen of 01: 0101, 0102, 0103 (0104 is no visit-salesman);
        // 0109 moved to 02 after his plan in 01 was made.
        exec("INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0103','王强','Y','01'),"
             "('0101','张伟','Y','01'),('0102','李娜','Y','01'),('0104','赵六','N','01'),('0109','钱七','Y','02')");
        server_ = std::make_unique<AppServer>(server_cs());
        cust_ = server_->open_session(anyone, contract::kCustObject);
    }

    // A salesman's plan as the plan month dialog makes it, and his quantities.
    void dialog_generation(const std::string &salesman)
    {
        const auto info = server_->open_session(anyone, contract::kCompanyInfoObject);
        server_->execute(anyone, info, "dsp_temp", apptest::generation_statement(kMonth, "01", salesman));
        server_->close_session(anyone, info);
    }
    void set_quantity(const std::string &salesman, int xhao, double quantity)
    {
        exec("UPDATE XSTYZB02 SET ZBSL00=" + wire::format_number(quantity) + " WHERE RYDM00='" + salesman +
             "' AND XHAO00=" + std::to_string(xhao));
    }

    wire::DataPacket board(const Caller &caller = anyone)
    {
        const auto s = caller.role == appserver::Role::Viewer ? server_->open_session(caller, contract::kCustObject)
                                                               : cust_;
        return server_->get_records(caller, s, contract::kBoardProvider, "", board_of(kMonth, "01"));
    }

    nlohmann::json generate(const std::string &salesmen, const Caller &caller = anyone, const char *month = kMonth)
    {
        const auto s = caller.role == appserver::Role::Viewer ? server_->open_session(caller, contract::kCustObject)
                                                               : cust_;
        wire::MethodParams params{{"NYUE00", month}, {"CKDM00", "01"}};
        if (!salesmen.empty()) params["RYDM00"] = salesmen;
        return server_->call_method(caller, s, contract::kGeneratePlansMethod, params);
    }

    // Rows of XSTYZB02 of a salesman as text, without their identity and salesman.
    std::vector<std::vector<std::string>> plan_rows(const std::string &salesman)
    {
        return query("SELECT NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,SPDM00,SPDM01,ZBLBMC FROM XSTYZB02 WHERE "
                     "RYDM00='" + salesman + "' ORDER BY XHAO00,ZBLB00,ZBMC00");
    }
    std::vector<std::vector<std::string>> audit_of(const std::string &salesman)
    {
        return query("SELECT YHMC00,CZLX00,NYUE00,CKDM00,XHAO00,ZBMC00,SLQIAN,SLHOU0 FROM XSTYZBRZ WHERE RYDM00='" +
                     salesman + "' ORDER BY XHAO00,ZBMC00");
    }

    std::unique_ptr<AppServer> server_;
    std::string cust_;
};

TEST_P(Board, TheBoardIsTheDatabasesOwnArithmeticInOneAnswer)
{
    dialog_generation("0101");
    dialog_generation("0102");
    set_quantity("0101", 1, 1200);
    set_quantity("0102", 1, 1000.5);
    set_quantity("0102", 2, 500);  // over: data from before the server held the rule
    // A row of no indicator of the department's plan, and the rows of a
    // salesman who left; a row of another month is not on the board.
    exec("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00) VALUES "
         "('200303',9,'9','旧指标',5,'01','0101'),('200303',1,'1','卷烟销售总量',300,'01','0109'),"
         "('200304',1,'1','卷烟销售总量',7,'01','0101')");

    const wire::DataPacket b = board();
    // The rows are the plan provider's rows of the department, with their identities.
    EXPECT_EQ(b.fields, contract::plan_fields());
    const auto month = server_->get_records(anyone, cust_, contract::kPlanProvider, "", {{"NYUE00", kMonth}});
    std::map<wire::RowId, wire::Row> expected;
    for (std::size_t i = 0; i < month.rows.size(); ++i)
        if (month.rows[i][5] == wire::Value(std::string("01"))) expected[month.row_ids[i]] = month.rows[i];
    ASSERT_EQ(b.row_ids.size(), b.rows.size());
    std::map<wire::RowId, wire::Row> got;
    for (std::size_t i = 0; i < b.rows.size(); ++i) got[b.row_ids[i]] = b.rows[i];
    EXPECT_EQ(got, expected);
    EXPECT_EQ(b.rows.size(), 8u);

    // Per indicator: the department plan less every salesman's rows, as the
    // remaining-quantity statement counts it for a salesman who holds none.
    const auto info = server_->open_session(anyone, contract::kCompanyInfoObject);
    const auto remaining = server_->get_records(anyone, info, "dsp_temp", apptest::remaining_statement(kMonth, "01", "----"));
    std::map<std::pair<double, std::string>, double> by_statement, by_board;
    for (const auto &r : remaining.rows)
        by_statement[{wire::value_to_double(r[column(remaining, "XHAO00")]),
                      wire::value_to_text(r[column(remaining, "ZBMC00")])}] =
            wire::value_to_double(r[column(remaining, "ZBSL00")]);
    const auto &plan = b.details.at(contract::kBoardPlanDetail);
    EXPECT_EQ(plan.fields, contract::board_plan_fields());
    for (const auto &r : plan.rows)
        by_board[{wire::value_to_double(r[0]), wire::value_to_text(r[2])}] = wire::value_to_double(r[3]);
    for (const auto &r : b.rows) by_board[{wire::value_to_double(r[1]), wire::value_to_text(r[3])}] -= wire::value_to_double(r[4]);
    EXPECT_EQ(by_board, by_statement);
    EXPECT_EQ(by_board[std::pair(1.0, std::string("卷烟销售总量"))], 3600 - 1200 - 1000.5 - 300);
    EXPECT_EQ(by_board[std::pair(2.0, std::string("一类卷烟销量"))], -80);
    // The department's rows of one indicator are one board row.
    std::vector<std::string> plan_text;
    for (const auto &r : plan.rows) {
        std::string line;
        for (const auto &v : r) line += wire::value_to_text(v) + "|";
        plan_text.push_back(line);
    }
    EXPECT_EQ(plan_text, (std::vector<std::string>{"1|1|卷烟销售总量|3600|2|", "2|2|一类卷烟销量|420|1|",
                                                   "3|3|红塔山系列|540|1|"}));

    // The visit-salesmen by code, then who left with plan rows; how many rows each holds.
    std::vector<std::string> salesmen;
    for (const auto &r : b.details.at(contract::kBoardSalesmenDetail).rows)
        salesmen.push_back(wire::value_to_text(r[0]) + wire::value_to_text(r[1]) + wire::value_to_text(r[2]) +
                           wire::value_to_text(r[3]));
    EXPECT_EQ(salesmen, (std::vector<std::string>{"0101张伟Y4", "0102李娜Y3", "0103王强Y0", "0109钱七N1"}));
    const auto &department = b.details.at(contract::kBoardDepartmentDetail);
    ASSERT_EQ(department.rows.size(), 1u);
    EXPECT_EQ(department.rows[0], (wire::Row{std::string("01"), std::string("城东访销部")}));

    // The same answer as the text HTTP sends, and a viewer reads it too.
    EXPECT_EQ(wire::packet_from_text(server_->records_text(anyone, cust_, contract::kBoardProvider, "",
                                                           board_of(kMonth, "01"), [](std::string &) {})),
              b);
    EXPECT_EQ(board(viewer()), b);
}

TEST_P(Board, ADepartmentWithoutPlanOrSalesmenGivesAnEmptyBoard)
{
    const auto b = server_->get_records(anyone, cust_, contract::kBoardProvider, "", board_of("200304", "03"));
    EXPECT_TRUE(b.rows.empty());
    EXPECT_TRUE(b.details.at(contract::kBoardPlanDetail).rows.empty());
    EXPECT_TRUE(b.details.at(contract::kBoardSalesmenDetail).rows.empty());
    EXPECT_TRUE(b.details.at(contract::kBoardDepartmentDetail).rows.empty());
}

TEST_P(Board, WrongParametersAreRefusedByName)
{
    const std::vector<std::pair<wire::ProviderParams, std::string>> cases = {
        {{}, "needs the parameter NYUE00"},
        {{{"CKDM00", "01"}}, "needs the parameter NYUE00"},
        {{{"NYUE00", kMonth}}, "needs the parameter CKDM00"},
        {{{"NYUE00", kMonth}, {"CKDM00", ""}}, "needs the parameter CKDM00"},
        {{{"NYUE00", "200313"}, {"CKDM00", "01"}}, "the month \"200313\" is not a month key"},
        {{{"NYUE00", "200300"}, {"CKDM00", "01"}}, "is not a month key"},
        {{{"NYUE00", "20033"}, {"CKDM00", "01"}}, "is not a month key"},
        {{{"NYUE00", "2003-3"}, {"CKDM00", "01"}}, "is not a month key"},
        {{{"NYUE00", kMonth}, {"CKDM00", "01"}, {"RYDM00", "0101"}}, "not \"RYDM00\""},
        {{{"NYUE00", kMonth}, {"nyue00", kMonth}, {"CKDM00", "01"}}, "NYUE00 is given twice"},
    };
    for (const auto &[params, says] : cases) {
        std::string message;
        EXPECT_EQ(refusal_of([&] { server_->get_records(anyone, cust_, contract::kBoardProvider, "", params); }, &message),
                  contract::error::kBadRequest);
        EXPECT_NE(message.find(says), std::string::npos) << message;
    }
    // Names match without regard to case, as the plan provider's do.
    EXPECT_NO_THROW(server_->get_records(anyone, cust_, contract::kBoardProvider, "", {{"nyue00", kMonth}, {"Ckdm00", "01"}}));
    EXPECT_EQ(refusal_of([&] { server_->get_records(anyone, cust_, contract::kBoardProvider, "SELECT 1", board_of(kMonth, "01")); }),
              contract::error::kBadRequest);
    // The method's parameters likewise.
    const std::vector<std::pair<wire::MethodParams, std::string>> method_cases = {
        {{{"CKDM00", "01"}}, "needs the parameter NYUE00"},
        {{{"NYUE00", "2003"}, {"CKDM00", "01"}}, "is not a month key"},
        {{{"NYUE00", kMonth}}, "needs the parameter CKDM00"},
        {{{"NYUE00", kMonth}, {"CKDM00", "01"}, {"RYDM00", "0101,,0102"}}, "an empty salesman code"},
        {{{"NYUE00", kMonth}, {"CKDM00", "01"}, {"XHAO00", "1"}}, "only the parameters NYUE00, CKDM00, RYDM00, not \"XHAO00\""},
    };
    for (const auto &[params, says] : method_cases) {
        std::string message;
        EXPECT_EQ(refusal_of([&] { server_->call_method(anyone, cust_, contract::kGeneratePlansMethod, params); }, &message),
                  contract::error::kBadRequest);
        EXPECT_NE(message.find(says), std::string::npos) << message;
    }
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02"), "0");
}

TEST_P(Board, GenerationIsTheDialogsForEveryMissingSalesmanInOneCall)
{
    dialog_generation("0101");
    EXPECT_EQ(generate(""), nlohmann::json::parse(R"({"generated":["0102","0103"],"skipped":[]})"));
    // The same rows and the same audit records as the dialog's generation.
    for (const char *who : {"0102", "0103"}) {
        EXPECT_EQ(plan_rows(who), plan_rows("0101")) << who;
        EXPECT_EQ(audit_of(who), audit_of("0101")) << who;
    }
    EXPECT_EQ(plan_rows("0101").size(), 3u);  // one row of indicator 1's two department rows
    EXPECT_EQ(audit_of("0101").at(0).at(1), "generated");
    // Nobody is missing any more: nothing to do.
    EXPECT_EQ(generate(""), nlohmann::json::parse(R"({"generated":[],"skipped":[]})"));
}

TEST_P(Board, ASalesmanWhoHasAPlanIsSkippedAndTheOthersAreGenerated)
{
    dialog_generation("0102");
    set_quantity("0102", 1, 800);
    EXPECT_EQ(generate("0103, 0102,0103"), nlohmann::json::parse(R"({"generated":["0103"],"skipped":["0102"]})"));
    EXPECT_EQ(scalar("SELECT SUM(ZBSL00) FROM XSTYZB02 WHERE RYDM00='0102'"), "800");
    EXPECT_EQ(audit_of("0102").size(), 3u);  // his own generation's only
    EXPECT_EQ(plan_rows("0103").size(), 3u);
}

TEST_P(Board, RefusedGenerationsGenerateNothing)
{
    struct Case {
        const char *month, *salesmen, *says;
        Caller caller;
        std::string code;
    };
    const std::vector<Case> cases = {
        {kMonth, "0102,0104", "人员 0104 不是该访销部的访销员", anyone, contract::error::kGenerationRefused},
        {kMonth, "0109", "人员 0109 不是该访销部的访销员", anyone, contract::error::kGenerationRefused},
        {"200304", "", "对应年月的上级计划还未生成，请先生成上级计划", anyone, contract::error::kGenerationRefused},
        {kMonth, "", "只读账号不能修改计划数据", viewer(), contract::error::kReadOnlyAccount},
    };
    for (const auto &c : cases) {
        std::string message;
        EXPECT_EQ(refusal_of([&] { generate(c.salesmen, c.caller, c.month); }, &message), c.code) << c.says;
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
    }
    exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200305','01',1,'1','卷烟销售总量',1)");
    std::string message;
    EXPECT_EQ(refusal_of([&] { generate("", anyone, "200305"); }, &message), contract::error::kGenerationRefused);
    EXPECT_EQ(message, "没有该年月的销售指标，不能生成！");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02"), "0");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZBRZ"), "0");
}

TEST_P(Board, TwoPlannersGeneratingTheSameSalesmanAtOnceMakeOnePlan)
{
    const auto other = server_->open_session(anyone, contract::kCustObject);
    std::barrier start(2);
    nlohmann::json first, second;
    std::thread a([&] {
        start.arrive_and_wait();
        first = server_->call_method(anyone, cust_, contract::kGeneratePlansMethod,
                                     {{"NYUE00", kMonth}, {"CKDM00", "01"}, {"RYDM00", "0101"}});
    });
    start.arrive_and_wait();
    second = server_->call_method(anyone, other, contract::kGeneratePlansMethod,
                                  {{"NYUE00", kMonth}, {"CKDM00", "01"}, {"RYDM00", "0101"}});
    a.join();
    EXPECT_EQ(first["generated"].size() + second["generated"].size(), 1u) << first << second;
    EXPECT_EQ(first["skipped"].size() + second["skipped"].size(), 1u) << first << second;
    EXPECT_EQ(plan_rows("0101").size(), 3u);
}

TEST_P(Board, ABoardSavedAfterAnotherPlannersChangeIsRefusedAsTheEditorsSaveIs)
{
    dialog_generation("0101");
    dialog_generation("0102");
    const wire::DataPacket b = board();
    auto change_of = [&](const std::string &salesman, int xhao, double to) {
        for (std::size_t i = 0; i < b.rows.size(); ++i)
            if (b.rows[i][6] == wire::Value(salesman) && wire::value_to_double(b.rows[i][1]) == xhao)
                return wire::Change{wire::ChangeKind::Modify, b.row_ids[i], {{"ZBSL00", b.rows[i][4]}}, {{"ZBSL00", to}}};
        ADD_FAILURE() << "no row of " << salesman;
        return wire::Change{};
    };
    // Another planner raises 0102's share of indicator 1 meanwhile.
    const auto other = server_->open_session(anyone, contract::kCustObject);
    ASSERT_EQ(server_->apply(anyone, other, contract::kPlanProvider, {change_of("0102", 1, 3000)}, 0).error_count, 0);

    // The board's save: one apply of every changed cell, all or nothing.
    const wire::Delta save = {change_of("0101", 2, 100), change_of("0102", 1, 2000), change_of("0101", 1, 1000)};
    const wire::ApplyResult result = server_->apply(anyone, cust_, contract::kPlanProvider, save, 0);
    EXPECT_EQ(result.error_count, 1);
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].row_id, save[1].row_id);
    EXPECT_NE(result.errors[0].message.find("has been changed since it was read"), std::string::npos);
    EXPECT_EQ(scalar("SELECT SUM(ZBSL00) FROM XSTYZB02 WHERE RYDM00='0101'"), "0");
    // Read again, the board shows the other planner's figure; over the
    // department's plan the save is refused by the allocation rule.
    const wire::DataPacket again = board();
    const auto at = std::find(again.row_ids.begin(), again.row_ids.end(), *save[1].row_id) - again.row_ids.begin();
    EXPECT_EQ(wire::value_to_double(again.rows.at(static_cast<std::size_t>(at))[4]), 3000);
    const wire::ApplyResult over = server_->apply(
        anyone, cust_, contract::kPlanProvider,
        {wire::Change{wire::ChangeKind::Modify, save[2].row_id, {{"ZBSL00", 0.0}}, {{"ZBSL00", 601.0}}}}, 0);
    ASSERT_EQ(over.error_count, 1);
    EXPECT_EQ(over.errors[0].message, "序号为'1'的指标只剩 600 条可分配");
}

BACKEND_TEST_SUITE(Board);

}  // namespace
