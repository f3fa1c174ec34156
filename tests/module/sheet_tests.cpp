// The board as a sheet and a sheet read back against the board: the shape
// and numbers of an export, CSV quoting, and what an imported sheet changes,
// leaves or refuses (each refusal with its cell's address).
#include "sheet_export.h"
#include "sheet_import.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "sheet_reader.h"

namespace {

using sheets::Grid;
using sheets::Value;

// Department 01 in 202612: 1 卷烟销量 100, 2 新品铺货 50.5; 0007 甲 (10, 5),
// 0008 乙 (30, empty), 0011 戊 without a plan.
board::Snapshot seed()
{
    board::Snapshot s;
    s.month = "202612";
    s.department = "01";
    s.department_name = "东区";
    s.department_plan = {{1.0, "1", "卷烟销量", 100.0}, {2.0, "2", "新品铺货", 50.5}};
    s.salesmen = {{"0007", "甲", true}, {"0008", "乙", true}, {"0011", "戊", true}};
    s.plan_rows = {{11, "0007", 1.0, "1", "卷烟销量", 10.0},
                   {12, "0007", 2.0, "2", "新品铺货", 5.0},
                   {21, "0008", 1.0, "1", "卷烟销量", 30.0},
                   {22, "0008", 2.0, "2", "新品铺货", wire::Value{}}};
    return s;
}

struct Board {
    Board() { model.load(seed()); }
    board::BoardModel model;
};

Value t(const char *text) { return std::string(text); }

TEST(SheetExport, TheBoardsSheetHasItsHeadingHeaderRowsAndTotals)
{
    Board b;
    const sheets::Sheet sheet = sheets::board_sheet(b.model, "草稿");
    ASSERT_EQ(sheet.rows.size(), 5u);  // heading, header, two indicators, totals
    EXPECT_EQ(sheet.rows[0], (std::vector<Value>{t("年月"), t("202612"), t("访销部"), t("01"), t("东区"), t("状态"), t("草稿")}));
    EXPECT_EQ(sheet.rows[1], (std::vector<Value>{t("序号"), t("指标"), t("上级计划"), t("0007 甲"), t("0008 乙"),
                                                 t("0011 戊"), t("已分配"), t("剩余")}));
    EXPECT_EQ(sheet.rows[2], (std::vector<Value>{1.0, t("卷烟销量"), 100.0, 10.0, 30.0, Value{}, 40.0, 60.0}));
    EXPECT_EQ(sheet.rows[3], (std::vector<Value>{2.0, t("新品铺货"), 50.5, 5.0, 0.0, Value{}, 5.0, 45.5}));
    EXPECT_EQ(sheet.rows[4], (std::vector<Value>{t("合计"), Value{}, 150.5, 15.0, 30.0, 0.0, 45.0, 105.5}));
    EXPECT_EQ(sheet.header_row, 1);
    EXPECT_EQ(sheet.totals_row, 4);
    EXPECT_EQ(sheet.name, "01 东区");
}

TEST(SheetExport, CsvIsUtf8WithAByteOrderMarkAndQuotesWhatNeedsIt)
{
    sheets::Sheet sheet;
    sheet.rows = {{t("a,b"), t("say \"hi\""), 12.5, Value{}}, {t("two\nlines"), 3.0}};
    EXPECT_EQ(sheets::csv_text(sheet), "\xEF\xBB\xBF\"a,b\",\"say \"\"hi\"\"\",12.5,\r\n\"two\nlines\",3\r\n");
}

TEST(SheetExport, TabNamesAndFileNames)
{
    EXPECT_EQ(sheets::tab_name("01 城东[旧]:部"), "01 城东_旧__部");
    EXPECT_EQ(sheets::tab_name(std::string(40, 'x')), std::string(31, 'x'));
    EXPECT_EQ(sheets::tab_name(""), "Sheet");
    EXPECT_EQ(sheets::default_file_name("部门计划", "202612", "01", "xlsx"), "部门计划_202612_01.xlsx");
    EXPECT_EQ(sheets::cell_address(0, 0), "A1");
    EXPECT_EQ(sheets::cell_address(9, 26), "AA10");
}

// Written and read back: the same names and numbers, in the same places.
TEST(SheetExport, XlsxAndCsvReadBackWithTheSameNamesAndNumbers)
{
    Board b;
    const sheets::Sheet sheet = sheets::board_sheet(b.model, "已批准");
    QTemporaryDir dir;
    for (const char *name : {"board.xlsx", "board.csv"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.filePath(QString::fromLatin1(name)).toStdString();
        const bool xlsx = std::string(name).ends_with(".xlsx");
        const auto failed = xlsx ? sheets::write_xlsx(path, {sheet}) : sheets::write_csv(path, sheet);
        ASSERT_FALSE(failed) << *failed;
        const auto read = sheet::read_file(QString::fromStdString(path));
        ASSERT_TRUE(std::holds_alternative<sheet::Table>(read)) << std::get<sheet::Error>(read).message.toStdString();
        Grid grid = sheets::grid_of(std::get<sheet::Table>(read));
        // CSV has no numbers: every field comes back as its text.
        Grid expected = sheet.rows;
        if (!xlsx)
            for (auto &row : expected)
                for (auto &cell : row)
                    if (const auto *d = std::get_if<double>(&cell)) cell = board::format_quantity(*d);
        for (auto &row : grid)
            while (!row.empty() && std::holds_alternative<std::monostate>(row.back())) row.pop_back();
        for (auto &row : expected)
            while (!row.empty() && std::holds_alternative<std::monostate>(row.back())) row.pop_back();
        EXPECT_EQ(grid, expected);
        // And the import finds nothing to change in it.
        const sheets::ImportPlan plan = sheets::plan_import(sheets::grid_of(std::get<sheet::Table>(read)), b.model);
        EXPECT_FALSE(plan.wrong_sheet);
        EXPECT_TRUE(plan.changes.empty());
        EXPECT_TRUE(plan.refusals.empty());
    }
}

TEST(SheetExport, AFileThatCannotBeWrittenIsSaid)
{
    Board b;
    const sheets::Sheet sheet = sheets::board_sheet(b.model, "草稿");
    EXPECT_TRUE(sheets::write_xlsx("/nonexistent-folder/board.xlsx", {sheet}));
    EXPECT_TRUE(sheets::write_csv("/nonexistent-folder/board.csv", sheet));
}

// The board's own sheet, as the export writes it (numbers as numbers).
Grid exported(const board::BoardModel &model) { return sheets::board_sheet(model, "草稿").rows; }

TEST(SheetImport, TheBoardsOwnSheetChangesNothing)
{
    Board b;
    const sheets::ImportPlan plan = sheets::plan_import(exported(b.model), b.model);
    EXPECT_FALSE(plan.wrong_sheet);
    EXPECT_TRUE(plan.refusals.empty());
    EXPECT_TRUE(plan.changes.empty());
    EXPECT_EQ(plan.unchanged, 4);  // the empty cells of 戊 and none else are skipped
    EXPECT_FALSE(plan.applicable());
}

TEST(SheetImport, EditedCellsByCodeOrNameBecomeChanges)
{
    Board b;
    Grid g = exported(b.model);
    g[1][3] = t("0007");  // the code alone
    g[1][4] = t("乙");    // the name alone
    g[2][3] = 20.0;
    g[3][4] = t(" 7 ");  // a number typed as text
    g[2][6] = 999.0;     // 已分配 and 剩余 are not read
    g[4][3] = 1.0;       // nor the totals
    const sheets::ImportPlan plan = sheets::plan_import(g, b.model);
    ASSERT_TRUE(plan.refusals.empty()) << plan.refusals.front().address << plan.refusals.front().reason;
    const std::map<board::CellKey, double> expected{{{{1, "卷烟销量"}, "0007"}, 20.0}, {{{2, "新品铺货"}, "0008"}, 7.0}};
    EXPECT_EQ(plan.changes, expected);
    EXPECT_TRUE(plan.applicable());
}

TEST(SheetImport, RowsMatchByNameWhenTheSequenceIsEmptyAndInAnyOrder)
{
    Board b;
    Grid g = exported(b.model);
    std::swap(g[2], g[3]);
    g[2][0] = Value{};  // 新品铺货 by name
    g[2][3] = 6.0;
    const sheets::ImportPlan plan = sheets::plan_import(g, b.model);
    EXPECT_TRUE(plan.refusals.empty());
    EXPECT_EQ(plan.changes, (std::map<board::CellKey, double>{{{{2, "新品铺货"}, "0007"}, 6.0}}));
}

TEST(SheetImport, AnotherMonthOrDepartmentIsRefusedNamingBoth)
{
    Board b;
    Grid g = exported(b.model);
    g[0][1] = t("202611");
    g[0][3] = t("02");
    const sheets::ImportPlan plan = sheets::plan_import(g, b.model);
    ASSERT_TRUE(plan.wrong_sheet);
    EXPECT_EQ(*plan.wrong_sheet, "表格是 202611 月 02 部门的计划，当前是 202612 月 01 部门，没有导入");
    // The code 01 that a spreadsheet program turned into the number 1 is still 01.
    g[0][1] = t("202612");
    g[0][3] = 1.0;
    EXPECT_FALSE(sheets::plan_import(g, b.model).wrong_sheet);
    // A sheet without the heading is no export of the board.
    Grid bare(g.begin() + 1, g.end());
    EXPECT_TRUE(sheets::plan_import(bare, b.model).wrong_sheet);
    EXPECT_TRUE(sheets::plan_import(Grid{}, b.model).wrong_sheet);
}

TEST(SheetImport, EachRefusalNamesItsCellAndReason)
{
    const struct {
        const char *what;
        int row, column;
        Value value;
        const char *address;
        const char *reason;  // a part of the reason
    } cases[] = {
        {"not a number", 2, 3, t("十二"), "D3", "不是有效的数值"},
        {"negative", 2, 4, -1.0, "E3", "计划数量不能为负数"},
        {"past the bound", 2, 4, 2e9, "E3", "不能超过 1000000000"},
        {"a fraction of a whole-unit indicator", 2, 3, 10.5, "D3", "不是整数"},
        {"over the department's quantity", 2, 3, 71.0, "D3", "超过上级计划 100"},
        {"a salesman without a plan", 2, 5, 3.0, "F3", "还没有计划"},
        {"an unknown salesman", 1, 4, t("0999 某人"), "E2", "本部门没有访销员“0999 某人”"},
        {"a salesman twice", 1, 4, t("0007 甲"), "E2", "出现了两次"},
        {"an unknown indicator", 2, 0, 9.0, "第3行", "没有序号为9的指标"},
        {"a sequence number and another name", 2, 1, t("新品铺货"), "第3行", "不是“新品铺货”"},
        {"an indicator twice", 3, 0, 1.0, "第4行", "出现了两次"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Board b;
        Grid g = exported(b.model);
        g[static_cast<std::size_t>(c.row)][static_cast<std::size_t>(c.column)] = c.value;
        if (std::string(c.what) == "an indicator twice") g[3][1] = t("卷烟销量");
        const sheets::ImportPlan plan = sheets::plan_import(g, b.model);
        ASSERT_EQ(plan.refusals.size(), 1u);
        EXPECT_EQ(plan.refusals[0].address, c.address);
        EXPECT_NE(plan.refusals[0].reason.find(c.reason), std::string::npos) << plan.refusals[0].reason;
        EXPECT_FALSE(plan.applicable());
    }
}

TEST(SheetImport, AFractionPassesWhereThePlanHasFractionsAndAShareMovesWithinThePlan)
{
    Board b;
    Grid g = exported(b.model);
    g[3][3] = 5.5;   // 新品铺货 is planned as 50.5
    g[2][3] = 60.0;  // 甲 up by 50 ...
    g[2][4] = 0.0;   // ... 乙 down by 30: 60 of 100
    const sheets::ImportPlan plan = sheets::plan_import(g, b.model);
    EXPECT_TRUE(plan.refusals.empty());
    EXPECT_EQ(plan.changes.size(), 3u);
}

TEST(SheetImport, ALockedBoardRefusesEveryChangedCell)
{
    Board b;
    b.model.set_lock("该月计划已批准，不能修改");
    Grid g = exported(b.model);
    g[2][3] = 11.0;
    const sheets::ImportPlan plan = sheets::plan_import(g, b.model);
    ASSERT_EQ(plan.refusals.size(), 1u);
    EXPECT_EQ(plan.refusals[0].reason, "只读：该月计划已批准，不能修改");
}

}  // namespace
