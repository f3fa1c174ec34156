// Actual sales on the board without a window: the answer read, the month's
// pace, rates and their states, lines placed on cells or kept as "其他",
// and the department's totals.
#include "actuals.h"

#include <gtest/gtest.h>

#include "contract.h"

namespace {

using board::Pace;

// Department 01 in 202612: indicators 1 卷烟销量 100, 2 新品铺货 50, 3 终端陈列 0;
// salesmen 0007 甲 (1: 60, 2: 20, 3: 0), 0008 乙 (1: 40, 2: 30), 0011 戊 without a plan.
board::Snapshot seed()
{
    board::Snapshot s;
    s.month = "202612";
    s.department = "01";
    s.department_plan = {{1.0, "1", "卷烟销量", 100.0}, {2.0, "2", "新品铺货", 50.0}, {3.0, "3", "终端陈列", 0.0}};
    s.salesmen = {{"0007", "甲", true}, {"0008", "乙", true}, {"0011", "戊", true}};
    s.plan_rows = {{11, "0007", 1.0, "1", "卷烟销量", 60.0}, {12, "0007", 2.0, "2", "新品铺货", 20.0},
                   {13, "0007", 3.0, "3", "终端陈列", 0.0},  {21, "0008", 1.0, "1", "卷烟销量", 40.0},
                   {22, "0008", 2.0, "2", "新品铺货", 30.0}};
    return s;
}

wire::DataPacket answer(const std::string &state, std::vector<wire::Row> rows, const std::string &why = "")
{
    wire::DataPacket p;
    p.fields = contract::actuals_fields();
    p.rows = std::move(rows);
    wire::DataPacket s;
    s.fields = contract::actuals_state_fields();
    s.rows = {{wire::Value(state), wire::Value(why)}};
    p.details.emplace(contract::kActualsStateDetail, std::move(s));
    return p;
}

TEST(Actuals, TheAnswerReadWithItsState)
{
    const board::Actuals ok = board::actuals_from_packet(
        answer("ok", {{wire::Value("0007"), wire::Value(1.0), wire::Value(45.0)}, {wire::Value("0008"), wire::Value(2.0), {}}}));
    EXPECT_EQ(ok.state, board::ActualsState::Ok);
    ASSERT_EQ(ok.lines.size(), 2u);
    EXPECT_EQ(ok.lines[0].salesman, "0007");
    EXPECT_EQ(ok.lines[0].quantity, 45);
    EXPECT_EQ(ok.lines[1].quantity, 0) << "an empty quantity reads 0";

    const board::Actuals off = board::actuals_from_packet(answer("off", {}));
    EXPECT_EQ(off.state, board::ActualsState::Off);
    const board::Actuals slow = board::actuals_from_packet(answer("unavailable", {}, "读取实绩超过 2 秒，已放弃"));
    EXPECT_EQ(slow.state, board::ActualsState::Unavailable);
    EXPECT_EQ(slow.reason, "读取实绩超过 2 秒，已放弃");

    wire::DataPacket no_state;
    no_state.fields = contract::actuals_fields();
    EXPECT_THROW(board::actuals_from_packet(no_state), wire::WireError);
}

TEST(Actuals, ThePaceIsTheShareOfTheMonthsDaysGoneBy)
{
    const struct {
        const char *month;
        board::Day today;
        double share;
    } cases[] = {
        {"202612", {2026, 12, 10}, 10.0 / 31}, {"202602", {2026, 2, 14}, 0.5},  {"202402", {2024, 2, 29}, 1.0},
        {"202611", {2026, 12, 1}, 1.0},        {"202701", {2026, 12, 31}, 0.0}, {"202512", {2026, 1, 1}, 1.0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.month);
        EXPECT_DOUBLE_EQ(board::month_elapsed(c.month, c.today), c.share);
    }
}

TEST(Actuals, RatesAndStatesAgainstThePlanAndThePace)
{
    const struct {
        double actual, plan, elapsed;
        std::optional<double> rate;
        Pace pace;
    } cases[] = {
        {50, 100, 0.5, 50.0, Pace::On},      {49, 100, 0.5, 49.0, Pace::Below}, {100, 100, 1, 100.0, Pace::On},
        {120, 100, 0.5, 120.0, Pace::Above}, {99, 100, 1, 99.0, Pace::Below},   {5, 0, 0.5, std::nullopt, Pace::None},
        {0, 100, 0, 0.0, Pace::On},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.actual << "/" << c.plan << " at " << c.elapsed);
        EXPECT_EQ(board::completion_rate(c.actual, c.plan), c.rate);
        EXPECT_EQ(board::pace_of(c.actual, c.plan, c.elapsed), c.pace);
    }
    EXPECT_EQ(board::rate_text(70.6), "71%");
    EXPECT_EQ(board::pace_text(Pace::Below), "落后于进度");
    EXPECT_EQ(board::figure_note({30, 60, 50.0, Pace::Below}, 0.6),
              "已完成 30 条，计划 60 条，完成率 50%，时间进度 60%：落后于进度");
}

TEST(Actuals, LinesFindTheirCellsAndTheRestIsKeptAsOthers)
{
    board::BoardModel m;
    m.load(seed());
    const std::vector<board::ActualLine> lines = {
        {"0007", 1, 20}, {"0007", 1, 10},  // one cell, summed
        {"0008", 2, 45},                   // above his plan
        {"0007", 3, 4},                    // a plan of 0: sold, no rate
        {"0011", 1, 8},                    // a salesman without a plan
        {"0099", 1, 7},                    // not on the board
        {"0008", 9, 6},                    // an indicator the plan lacks
        {"0099", 9, 2},                    // neither
    };
    const board::Placement p = board::place_actuals(m, lines);
    const auto key = [&](int i, int s) { return m.key_of({i, s}); };
    EXPECT_EQ(p.done.at(key(0, 0)), wire::Value(30.0));
    EXPECT_EQ(p.rate.at(key(0, 0)), wire::Value(50.0));
    EXPECT_EQ(p.rate.at(key(1, 1)), wire::Value(150.0));
    EXPECT_EQ(p.done.at(key(2, 0)), wire::Value(4.0));
    EXPECT_EQ(p.rate.count(key(2, 0)), 0u) << "plan 0: no rate";
    EXPECT_EQ(p.done.at(key(0, 2)), wire::Value(8.0));
    EXPECT_EQ(p.rate.count(key(0, 2)), 0u);

    EXPECT_EQ(p.others.by_indicator, (std::map<int, double>{{0, 7}}));
    EXPECT_EQ(p.others.by_salesman, (std::map<int, double>{{1, 6}}));
    EXPECT_EQ(p.others.neither, 2);
    EXPECT_EQ(p.others.salesmen, (std::map<std::string, double>{{"0099", 9}}));
    EXPECT_EQ(p.others.sequences, (std::map<double, double>{{9, 8}}));
    EXPECT_EQ(p.others.total(), 15);

    // Nothing is dropped: every line is in a cell or among the others.
    m.set_layer(board::kDoneLayer, p.done);
    const board::Figure dept = board::department_figure(m, p.others, 0.5);
    EXPECT_EQ(dept.actual, 102);
    EXPECT_EQ(dept.plan, 150);
    EXPECT_EQ(dept.pace, Pace::On);

    const board::Figure first = board::indicator_figure(m, p.others, 0, 0.5);
    EXPECT_EQ(first.actual, 45);  // 甲 30, 戊 8, others 7
    EXPECT_EQ(first.rate, 45.0);
    EXPECT_EQ(first.pace, Pace::Below);

    const board::Figure yi = board::salesman_figure(m, p.others, 1, 0.5);
    EXPECT_EQ(yi.actual, 51);  // 45 of indicator 2, 6 of the plan's missing one
    EXPECT_EQ(yi.plan, 70);
    const board::Figure jia = board::cell_figure(m, {0, 0}, 1.0);
    EXPECT_EQ(jia.pace, Pace::Below);
}

TEST(Actuals, RatesFollowThePlanAsSavedNotTheTyping)
{
    board::BoardModel m;
    m.load(seed());
    ASSERT_FALSE(m.enter({0, 0}, "30").has_value());
    const board::Placement p = board::place_actuals(m, {{"0007", 1, 30}});
    EXPECT_EQ(p.rate.at(m.key_of({0, 0})), wire::Value(50.0));
}

}  // namespace
