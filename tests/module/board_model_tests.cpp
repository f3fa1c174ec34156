// The board's model without a window: how a snapshot becomes indicators,
// salesmen and cells, the remaining arithmetic, the Enter check, the state
// line, the delta of a save, a reload that keeps what was typed, and the
// attachments (lock, proposal, layer).
#include "board_model.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using board::BoardModel;
using board::CellKind;
using board::IndicatorState;
using board::Position;
using wire::Value;

const Value kEmpty = std::monostate{};

// Department 01 in 202612: indicators 1 卷烟销量 100, 2 新品铺货 50; salesmen
// 0007 甲 (1: 10, 2: 5), 0008 乙 (1: 30, 2: empty), 0011 戊 without a plan.
board::Snapshot seed()
{
    board::Snapshot s;
    s.month = "202612";
    s.department = "01";
    s.department_name = "东区";
    s.department_plan = {{1.0, "1", "卷烟销量", 100.0}, {2.0, "2", "新品铺货", 50.0}};
    s.salesmen = {{"0007", "甲", true}, {"0008", "乙", true}, {"0011", "戊", true}};
    s.plan_rows = {{11, "0007", 1.0, "1", "卷烟销量", 10.0},
                   {12, "0007", 2.0, "2", "新品铺货", 5.0},
                   {21, "0008", 1.0, "1", "卷烟销量", 30.0},
                   {22, "0008", 2.0, "2", "新品铺货", kEmpty}};
    return s;
}

struct Board {
    explicit Board(const board::Snapshot &s = seed()) { model.load(s); }
    BoardModel model;
};

TEST(BoardModel, ASnapshotBecomesIndicatorsSalesmenAndCells)
{
    board::Snapshot s = seed();
    // A second department row of indicator 1 adds to its quantity; a salesman
    // row of an indicator the department lacks shows after the others; a
    // salesman holding rows who is no visit-salesman any more shows as one
    // who left; one the list does not name at all too.
    s.department_plan.push_back({1.0, "1", "卷烟销量", 20.0});
    s.salesmen.push_back({"0009", "丙", false});
    s.plan_rows.push_back({31, "0009", 1.0, "1", "卷烟销量", 5.0});
    s.plan_rows.push_back({41, "0007", 9.0, "3", "旧指标", 2.0});
    s.plan_rows.push_back({51, "0099", 1.0, "1", "卷烟销量", 1.0});
    s.plan_rows.push_back({13, "0007", 2.0, "2", "新品铺货", 1.0});
    Board b(s);
    const BoardModel &m = b.model;

    ASSERT_EQ(m.indicator_count(), 3);
    EXPECT_EQ(m.indicator(0).key.name, "卷烟销量");
    EXPECT_EQ(m.indicator(0).plan, 120);
    EXPECT_EQ(m.indicator(1).plan, 50);
    EXPECT_FALSE(m.indicator(2).in_department_plan);
    EXPECT_EQ(m.indicator(2).key.sequence, 9);

    ASSERT_EQ(m.salesman_count(), 5);
    const struct {
        int salesman;
        std::string code;
        bool has_plan, visit;
    } salesmen[] = {{0, "0007", true, true}, {1, "0008", true, true}, {2, "0011", false, true},
                    {3, "0009", true, false}, {4, "0099", true, false}};
    for (const auto &e : salesmen) {
        SCOPED_TRACE(e.code);
        EXPECT_EQ(m.salesman(e.salesman).code, e.code);
        EXPECT_EQ(m.salesman(e.salesman).has_plan, e.has_plan);
        EXPECT_EQ(m.salesman(e.salesman).visit_salesman, e.visit);
    }

    const struct {
        Position cell;
        CellKind kind;
        Value value;
    } cells[] = {
        {{0, 0}, CellKind::Editable, 10.0},       {{1, 0}, CellKind::SeveralRows, 6.0},
        {{1, 1}, CellKind::Editable, kEmpty},     {{0, 2}, CellKind::NoPlan, kEmpty},
        {{0, 3}, CellKind::LeftDepartment, 5.0},  {{2, 1}, CellKind::NoRow, kEmpty},
        {{2, 0}, CellKind::Editable, 2.0},
    };
    for (const auto &c : cells) {
        SCOPED_TRACE(testing::Message() << c.cell.indicator << "," << c.cell.salesman);
        EXPECT_EQ(m.cell_kind(c.cell), c.kind);
        EXPECT_EQ(m.cell_value(c.cell), c.value);
        EXPECT_EQ(m.cell_editable(c.cell), c.kind == CellKind::Editable);
    }
    EXPECT_EQ(m.cell_of_row(21), (Position{0, 1}));
    EXPECT_EQ(m.cell_row({0, 1}), 21);
    EXPECT_FALSE(m.cell_row({1, 0}));  // two rows: the editor's affair
}

TEST(BoardModel, RemainingIsThePlanLessEveryShareEmptyReadingZero)
{
    const struct {
        const char *what;
        double plan;
        std::vector<Value> shares;
        double allocated, remaining;
        IndicatorState state;
    } table[] = {
        {"left", 100, {10.0, 30.0}, 40, 60, IndicatorState::Left},
        {"empty reads 0", 50, {5.0, kEmpty}, 5, 45, IndicatorState::Left},
        {"fully", 40, {15.0, 25.0}, 40, 0, IndicatorState::Allocated},
        {"over", 40, {30.0, 25.0}, 55, -15, IndicatorState::Over},
        {"numeric text", 10, {std::string("4"), 6.0}, 10, 0, IndicatorState::Allocated},
        {"binary-fraction noise is none", 0.3, {0.1, 0.2}, 0.1 + 0.2, 0, IndicatorState::Allocated},
        {"fractions", 10.5, {0.25, 0.25}, 0.5, 10, IndicatorState::Left},
    };
    for (const auto &t : table) {
        SCOPED_TRACE(t.what);
        board::Snapshot s;
        s.month = "202612";
        s.department = "01";
        s.department_plan = {{1.0, "1", "卷烟销量", t.plan}};
        s.salesmen = {{"0007", "甲", true}, {"0008", "乙", true}};
        s.plan_rows = {{1, "0007", 1.0, "1", "卷烟销量", t.shares[0]}, {2, "0008", 1.0, "1", "卷烟销量", t.shares[1]}};
        Board b(s);
        EXPECT_DOUBLE_EQ(b.model.allocated(0), t.allocated);
        EXPECT_DOUBLE_EQ(b.model.remaining(0), t.remaining);
        EXPECT_EQ(b.model.indicator_state(0), t.state);
        EXPECT_DOUBLE_EQ(b.model.left_for({0, 0}), t.plan - wire::value_to_double(t.shares[1]));
    }
}

TEST(BoardModel, EnterChecksTheTypedQuantity)
{
    const Refusal over{"计划数量不能超过剩余计划数量", "警告", 48};
    const struct {
        const char *what;
        Position cell;
        const char *text;
        std::optional<std::string> refusal;  // nothing: taken
        double shown;
    } table[] = {
        // 0007's share of 1 may reach 100 - 30 = 70.
        {"equal to what is left passes", {0, 0}, "70", {}, 70},
        {"above is the editor's refusal", {0, 0}, "70.5", over.text, 10},
        {"blanks around a number", {0, 0}, " 12 ", {}, 12},
        {"empty reads 0", {0, 0}, "", {}, 0},
        {"a decimal", {1, 1}, "44.5", {}, 44.5},
        {"not a number", {0, 0}, "十", "“十”不是有效的数值，请输入计划数量", 10},
        {"letters after digits", {0, 0}, "12abc", "“12abc”不是有效的数值，请输入计划数量", 10},
        {"hexadecimal", {0, 0}, "0x10", "“0x10”不是有效的数值，请输入计划数量", 10},
        {"not finite", {0, 0}, "1e999", "计划数量必须是一个有限的数字", 10},
        {"the word inf", {0, 0}, "inf", "“inf”不是有效的数值，请输入计划数量", 10},
        {"negative", {0, 0}, "-1", "计划数量不能为负数", 10},
        {"past the server's bound", {0, 0}, "1000000001", "计划数量不能超过 1000000000 条", 10},
        {"no plan: read-only", {0, 2}, "1", "该单元格不能修改", 0},
    };
    for (const auto &t : table) {
        SCOPED_TRACE(t.what);
        Board b;
        const auto refusal = b.model.enter(t.cell, t.text);
        EXPECT_EQ(refusal.has_value(), t.refusal.has_value());
        if (refusal && t.refusal) {
            EXPECT_EQ(refusal->text, *t.refusal);
            EXPECT_EQ(refusal->caption, "警告");
            EXPECT_EQ(refusal->flags, 48);
        }
        EXPECT_DOUBLE_EQ(b.model.cell_quantity(t.cell), t.shown);
    }
}

TEST(BoardModel, TypedSharesCountForTheOthersAndLoweringAlwaysPasses)
{
    Board b;
    BoardModel &m = b.model;
    ASSERT_FALSE(m.enter({0, 1}, "80"));   // 乙 takes 80: 甲 may hold 20 now
    EXPECT_TRUE(m.enter({0, 0}, "21"));
    EXPECT_FALSE(m.enter({0, 0}, "20"));
    EXPECT_EQ(m.indicator_state(0), IndicatorState::Allocated);

    // Data allocated past the plan before the server held the rule: each
    // share may come down, even when it stays above what is left.
    board::Snapshot s = seed();
    s.plan_rows[0].quantity = 90.0;  // 90 + 30 of 100
    m.load(s);
    EXPECT_EQ(m.indicator_state(0), IndicatorState::Over);
    EXPECT_FALSE(m.enter({0, 0}, "80"));
    EXPECT_TRUE(m.enter({0, 0}, "91"));  // a raise above what is left (70)
    EXPECT_DOUBLE_EQ(m.remaining(0), -10);
}

TEST(BoardModel, TypingCountsInTheFiguresUntilEnterOrItsEnd)
{
    Board b;
    BoardModel &m = b.model;
    m.set_typing({0, 0}, "25");
    EXPECT_DOUBLE_EQ(m.allocated(0), 55);
    EXPECT_DOUBLE_EQ(m.remaining(0), 45);
    EXPECT_DOUBLE_EQ(m.salesman_total(0), 30);
    EXPECT_FALSE(m.modified());
    m.set_typing({0, 0}, "2x");  // no quantity: the cell's own value counts
    EXPECT_DOUBLE_EQ(m.allocated(0), 40);
    m.clear_typing();
    EXPECT_DOUBLE_EQ(m.allocated(0), 40);
    m.set_typing({0, 0}, "25");
    ASSERT_FALSE(m.enter({0, 0}, "25"));
    EXPECT_TRUE(m.modified());
    EXPECT_DOUBLE_EQ(m.allocated(0), 55);
}

TEST(BoardModel, TheStateLineSaysWhatIsLeftOverAndMissing)
{
    const struct {
        const char *what;
        std::vector<std::pair<Position, const char *>> typed;
        std::string line;
        bool fully;
    } table[] = {
        {"as seeded", {}, "尚有 2 项指标未分配完，共剩余 105 条；1 名访销员未生成本月计划", false},
        {"one indicator done", {{{0, 0}, "70"}}, "尚有 1 项指标未分配完，共剩余 45 条；1 名访销员未生成本月计划；1 处改动未保存", false},
        {"all done", {{{0, 0}, "70"}, {{1, 1}, "45"}}, "已全部分配；1 名访销员未生成本月计划；2 处改动未保存", true},
    };
    for (const auto &t : table) {
        SCOPED_TRACE(t.what);
        Board b;
        for (const auto &[cell, text] : t.typed) ASSERT_FALSE(b.model.enter(cell, text));
        EXPECT_EQ(b.model.status_line(), t.line);
        EXPECT_EQ(b.model.status().fully_allocated(), t.fully);
    }

    board::Snapshot over = seed();
    over.salesmen.pop_back();
    over.plan_rows[0].quantity = 90.0;
    over.plan_rows[1].quantity = 50.0;
    Board b(over);
    EXPECT_EQ(b.model.status_line(), "1 项指标超额分配，共超出 20 条");
    EXPECT_EQ(b.model.indicator_note(0), "超额分配：超出 20 条");

    board::Snapshot none = seed();
    none.department_plan.clear();
    none.plan_rows.clear();
    Board empty_plan(none);
    EXPECT_EQ(empty_plan.model.status_line(), "该部门本月没有上级计划，没有可分配的指标");
    none = seed();
    none.salesmen.clear();
    none.plan_rows.clear();
    Board no_salesmen(none);
    EXPECT_EQ(no_salesmen.model.status_line(), "该部门没有访销员，没有可分配的人员");
    EXPECT_FALSE(no_salesmen.model.empty_reason() == std::nullopt);
}

TEST(BoardModel, TheDeltaCarriesEveryChangedCellLoweredFirst)
{
    Board b;
    BoardModel &m = b.model;
    ASSERT_FALSE(m.enter({0, 0}, "0"));    // 甲 gives up 10 of indicator 1 ...
    ASSERT_FALSE(m.enter({0, 1}, "40"));   // ... which 乙 takes
    ASSERT_FALSE(m.enter({1, 1}, "7"));    // 乙's empty share of 2
    ASSERT_FALSE(m.enter({1, 0}, "5"));    // typed as it was read: no change
    const wire::Delta delta = m.delta();
    ASSERT_EQ(delta.size(), 3u);
    EXPECT_EQ(delta[0].row_id, 11);
    EXPECT_EQ(delta[0].original.at("ZBSL00"), Value(10.0));
    EXPECT_EQ(delta[0].values.at("ZBSL00"), Value(0.0));
    EXPECT_EQ(delta[1].row_id, 21);
    EXPECT_EQ(delta[2].row_id, 22);
    EXPECT_EQ(delta[2].original.at("ZBSL00"), kEmpty);
    for (const auto &change : delta) {
        EXPECT_EQ(change.kind, wire::ChangeKind::Modify);
        EXPECT_EQ(change.values.size(), 1u);
    }
    m.revert({0, 1});
    EXPECT_EQ(m.changed_count(), 2);
    m.drop_edits();
    EXPECT_TRUE(m.delta().empty());
}

TEST(BoardModel, AReloadKeepsWhatWasTypedAndFindsWhatNoLongerFits)
{
    Board b;
    BoardModel &m = b.model;
    ASSERT_FALSE(m.enter({0, 0}, "60"));  // fits 100 - 30
    ASSERT_FALSE(m.enter({1, 1}, "20"));
    ASSERT_FALSE(m.enter({1, 0}, "9"));
    // Meanwhile another planner raised 乙's share of 1 to 50, and set 甲's
    // share of 2 to what this planner typed.
    board::Snapshot now = seed();
    now.plan_rows[2].quantity = 50.0;
    now.plan_rows[1].quantity = 9.0;
    m.reload_keeping_edits(now);
    EXPECT_EQ(m.cell_value({0, 1}), Value(50.0));
    EXPECT_EQ(m.cell_value({0, 0}), Value(60.0));
    EXPECT_TRUE(m.cell_changed({0, 0}));
    EXPECT_FALSE(m.cell_changed({1, 0}));  // stored as typed: no change left
    EXPECT_EQ(m.changed_count(), 2);
    const auto refused = m.refused_changes();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].first, (Position{0, 0}));
    EXPECT_EQ(m.cell_name(refused[0].first), "序号为'1'的指标“卷烟销量”，甲");
    // A plain load drops what was typed.
    m.load(now);
    EXPECT_FALSE(m.modified());
}

TEST(BoardModel, ALockMakesTheBoardReadOnlyWithItsReason)
{
    Board b;
    b.model.set_lock("浏览模式");
    EXPECT_FALSE(b.model.cell_editable({0, 0}));
    const auto refusal = b.model.enter({0, 0}, "1");
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->text, "只读：浏览模式");
    EXPECT_NE(b.model.status_line().find("只读：浏览模式"), std::string::npos);
    b.model.clear_lock();
    EXPECT_FALSE(b.model.enter({0, 0}, "1"));
}

TEST(BoardModel, AProposalIsAPreviewUntilTakenThroughTheCheck)
{
    Board b;
    BoardModel &m = b.model;
    board::Proposal p{"分配剩余", {}};
    p.values[m.key_of({0, 0})] = 40;   // fits 70
    p.values[m.key_of({1, 1})] = 99;   // 50 - 5 = 45 left: refused when taken
    p.values[m.key_of({0, 2})] = 5;    // no plan: left out
    m.propose(p);
    ASSERT_TRUE(m.proposal());
    EXPECT_EQ(m.proposal()->values.size(), 2u);
    EXPECT_EQ(m.proposed_value({0, 0}), 40);
    EXPECT_FALSE(m.modified());
    const auto refused = m.accept_proposal();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].first, (Position{1, 1}));
    EXPECT_EQ(m.cell_value({0, 0}), Value(40.0));
    EXPECT_FALSE(m.proposal());

    m.propose(p);
    m.discard_proposal();
    EXPECT_EQ(m.cell_value({0, 0}), Value(40.0));

    board::CellLayer actual;
    actual[m.key_of({0, 0})] = 12.0;
    m.set_layer("actual", actual);
    EXPECT_EQ(m.layer_value("actual", {0, 0}), Value(12.0));
    EXPECT_FALSE(m.layer_value("actual", {0, 1}));
    m.reload_keeping_edits(seed());  // layers outlive a reload
    EXPECT_EQ(m.layer_value("actual", {0, 0}), Value(12.0));
}

}  // namespace

TEST(BoardModel, APreviewCountsInTheFiguresTakesNoTypingAndMayCoverPlansToGenerate)
{
    Board b;
    BoardModel &m = b.model;
    board::Proposal p{"沿用上月", {}};
    p.values[m.key_of({0, 0})] = 40;  // 甲: 10 -> 40
    p.values[m.key_of({0, 2})] = 30;  // 戊 has no plan yet
    m.propose(p);
    EXPECT_FALSE(m.proposed_value({0, 2})) << "without generation a cell of no plan is left out";
    EXPECT_EQ(m.allocated(0), 70);
    p.generates = true;
    m.propose(p);  // in place of the first
    EXPECT_EQ(m.proposed_value({0, 2}), 30);
    EXPECT_EQ(m.allocated(0), 100);
    EXPECT_EQ(m.remaining(0), 0);
    EXPECT_FALSE(m.cell_editable({1, 0}));
    EXPECT_TRUE(m.enter({1, 0}, "1")) << "no typing while a preview shows";
    m.discard_proposal();
    EXPECT_EQ(m.allocated(0), 40);
    EXPECT_TRUE(m.cell_editable({1, 0}));
}
