// Month keys, code-name items, the browse-mode rule, quoting, and the text of
// the statements and of the plan row filter.
#include "module_state.h"
#include "plan_vocabulary.h"

#include <gtest/gtest.h>

#include <iomanip>

TEST(MonthKey, TwoDigitMonthAfterTheYear)
{
    EXPECT_EQ(month_key(2003, 1), "200301");
    EXPECT_EQ(month_key(2003, 3), "200303");
    EXPECT_EQ(month_key(2003, 9), "200309");
    EXPECT_EQ(month_key(2003, 10), "200310");
    EXPECT_EQ(month_key(2003, 11), "200311");
    EXPECT_EQ(month_key(2026, 12), "202612");
    EXPECT_EQ(month_key(QDate(2004, 2, 29)), "200402");
    EXPECT_EQ(month_key(QDate(1999, 12, 31)), "199912");
}

TEST(CodeNameItem, SplitsAtTheFirstBar)
{
    EXPECT_EQ(code_of("01|东区"), "01");
    EXPECT_EQ(name_of("01|东区"), "东区");
    // No bar: empty code, the whole item is the name.
    EXPECT_EQ(code_of("东区"), "");
    EXPECT_EQ(name_of("东区"), "东区");
    // Ending in a bar: a code and an empty name.
    EXPECT_EQ(code_of("0007|"), "0007");
    EXPECT_EQ(name_of("0007|"), "");
    // Several bars: only the first one splits.
    EXPECT_EQ(code_of("01|东|区"), "01");
    EXPECT_EQ(name_of("01|东|区"), "东|区");
    EXPECT_EQ(code_of(""), "");
    EXPECT_EQ(name_of(""), "");
}

TEST(BrowseMode, OnlyExactlyBOrLowerB)
{
    EXPECT_TRUE(saleplan::is_browse_mode("B"));
    EXPECT_TRUE(saleplan::is_browse_mode("b"));
    for (const char *mode : {"", "BB", "B ", " B", "B1", "x"}) EXPECT_FALSE(saleplan::is_browse_mode(mode)) << mode;
    EXPECT_FALSE(saleplan::is_browse_mode(nullptr));
}

TEST(Quoting, OrdinaryValuesAreUnchangedAndQuotesDoubled)
{
    EXPECT_EQ(quoted("200303"), "'200303'");
    EXPECT_EQ(quoted(""), "''");
    EXPECT_EQ(quoted("东区"), "'东区'");
    EXPECT_EQ(quoted("0' OR '1'='1"), "'0'' OR ''1''=''1'");
    EXPECT_EQ(quoted("'"), "''''");
}

TEST(Statements, ReadExactlyAsTheSystemWritesThem)
{
    EXPECT_EQ(department_statement(),
              "SELECT CKDM00,CKMC00 FROM GSTCKGL0 WHERE WDBJ00='F' AND ZZRQ00 IS NULL AND CKDM00<>'HZ' "
              "AND CKDM00<>'0F' AND CKDM00<>'0B' AND CKDM00<>'0P'");
    EXPECT_EQ(salesman_statement("01"), "SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='Y' AND CKDM00='01'");
    EXPECT_EQ(salesman_statement(""), "SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='Y' AND CKDM00=''");
    EXPECT_EQ(plan_row_filter("200303", "01", "0007"), "NYUE00='200303' AND CKDM00='01' AND RYDM00='0007'");
    EXPECT_EQ(plan_row_filter("200303", "", ""), "NYUE00='200303' AND CKDM00='' AND RYDM00=''");
}

namespace {
class VectorList : public CodeNameList {
public:
    std::vector<std::string> items;
    std::string shown = "stale";
    void clear_all() override { items.clear(), shown.clear(); }
    void add_item(const std::string &item) override { items.push_back(item); }
    int item_count() const override { return static_cast<int>(items.size()); }
    std::string item(int index) const override { return items.at(index); }
    void set_text(const std::string &text) override { shown = text; }
    std::string text() const override { return shown; }
};
}  // namespace

TEST(ShowItemWithCode, FindsTheItemOrLeavesTheListAsItWas)
{
    VectorList list;
    list.items = {"01|东区", "02|西区", "东区"};
    list.shown = "01|东区";
    EXPECT_TRUE(show_item_with_code(list, "02"));
    EXPECT_EQ(list.text(), "02|西区");
    EXPECT_FALSE(show_item_with_code(list, "09"));
    EXPECT_EQ(list.text(), "02|西区");
    // An item without a bar has no code to match.
    EXPECT_FALSE(show_item_with_code(list, ""));
}

TEST(Statements, FormStatementsKeepTheirLiteralPieces)
{
    EXPECT_EQ(month_plan_rows_statement("200303"), "SELECT * FROM XSTYZB02 WHERE NYUE00='200303'");
    EXPECT_EQ(remaining_quantity_statement("200303", "01", "0007"),
              "Select NYUE00,XHAO00,ZBMC00,SUM(ZBSL00) Zbsl00 FROM (SELECT NYUE00,XHAO00,ZBMC00,ZBSL00 ZBSL00 "
              "FROM XSTYZB01 WHERE NYUE00='200303' And Ckdm00='01' Union all SELECT NYUE00,XHAO00,ZBMC00,"
              "NVL(-ZBSL00,0) ZBSL00 FROM XSTYZB02 WHERE NYUE00='200303' AND Ckdm00='01' and Rydm00<>'0007') "
              "Group by Nyue00,Xhao00,Zbmc00");
    EXPECT_EQ(department_plan_count_statement("01", "200303"),
              "SELECT COUNT(*) SL FROM XSTYZB01 WHERE CKDM00='01' AND NYUE00='200303'");
    EXPECT_EQ(salesman_plan_statement("200303", "01", "0007"),
              "SELECT * FROM XSTYZB02 WHERE NYUE00='200303' AND CKDM00='01' AND RYDM00='0007'");
    EXPECT_EQ(sales_indicator_statement("200303"), "SELECT * FROM XSTYXSZB WHERE NYUE00='200303'");
    EXPECT_EQ(generation_statement("200303", "01", "0007"),
              "INSERT INTO XSTYZB02(ZBSL00,NYUE00,XHAO00,ZBLB00,ZBMC00,SPDM00,SPDM01,CKDM00,RYDM00) SELECT "
              "distinct '0',NYUE00,XHAO00,ZBLB00,ZBMC00,null,null,'01','0007' FROM XSTYZB01 WHERE "
              "NYUE00='200303' AND CKDM00='01'");
    EXPECT_EQ(delete_plan_statement("200303", "01", "0007"),
              "DELETE XSTYZB02 WHERE NYUE00='200303' And Ckdm00='01' And Rydm00='0007'");
}

TEST(Statements, AQuoteInAValueCannotLeaveItsLiteral)
{
    const std::string s = salesman_statement("01' OR '1'='1");
    EXPECT_EQ(s, "SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='Y' AND CKDM00='01'' OR ''1''=''1'");
    EXPECT_EQ(delete_plan_statement("200303", "01", "x' OR 'a'='a"),
              "DELETE XSTYZB02 WHERE NYUE00='200303' And Ckdm00='01' And Rydm00='x'' OR ''a''=''a'");
}

TEST(Quoting, WinsOverTheStandardLibrarysQuotedForStrings)
{
    // With <iomanip> around, a std::string argument must still reach ours.
    const std::string value = "a'b";
    EXPECT_EQ(quoted(value), "'a''b'");
    EXPECT_EQ(quoted("a'b"), "'a''b'");
}
