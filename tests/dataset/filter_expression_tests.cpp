// The filter language on its own: parsing, precedence, comparisons of
// numbers and text, empty values, and the positions named by errors.
#include <gtest/gtest.h>

#include "client_dataset.h"
#include "filter_expression.h"

using dataset::BoundFilter;
using dataset::DatasetError;
using dataset::FilterExpression;
using wire::Value;

namespace {

// Columns: NAME (text), QTY (number), CODE (text), N (integer).
const std::vector<std::string> kColumns = {"NAME", "QTY", "CODE", "N"};

int resolve(std::string_view name)
{
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
        const auto &c = kColumns[i];
        if (c.size() == name.size() &&
            std::equal(c.begin(), c.end(), name.begin(), [](char a, char b) { return a == std::toupper(b); }))
            return static_cast<int>(i);
    }
    return -1;
}

bool matches(const std::string &expr, const std::vector<Value> &row)
{
    BoundFilter f(FilterExpression::parse(expr), resolve);
    return f.matches(row);
}

std::vector<Value> row(Value name, Value qty, Value code = std::string("01"), Value n = std::int64_t{0})
{
    return {std::move(name), std::move(qty), std::move(code), std::move(n)};
}

// The message of the error that parsing `expr` throws.
std::string parse_error(const std::string &expr)
{
    try {
        (void)FilterExpression::parse(expr);
    } catch (const DatasetError &e) {
        return e.what();
    }
    return "no error";
}

}  // namespace

TEST(FilterCompare, EachOperatorOnNumbers)
{
    const auto r = row(std::string("a"), 10.0);
    EXPECT_TRUE(matches("QTY = 10", r));
    EXPECT_FALSE(matches("QTY = 11", r));
    EXPECT_TRUE(matches("QTY <> 11", r));
    EXPECT_FALSE(matches("QTY <> 10", r));
    EXPECT_TRUE(matches("QTY < 10.5", r));
    EXPECT_FALSE(matches("QTY < 10", r));
    EXPECT_TRUE(matches("QTY > 9.99", r));
    EXPECT_FALSE(matches("QTY > 10", r));
    EXPECT_TRUE(matches("QTY <= 10", r));
    EXPECT_FALSE(matches("QTY <= 9", r));
    EXPECT_TRUE(matches("QTY >= 10", r));
    EXPECT_FALSE(matches("QTY >= 10.01", r));
    EXPECT_TRUE(matches("QTY > -1", r));
    EXPECT_TRUE(matches("QTY=1e1", r));
    EXPECT_TRUE(matches("10 = QTY", r)) << "a literal may stand on the left";
}

TEST(FilterCompare, EachOperatorOnText)
{
    const auto r = row(std::string("beta"), 0.0);
    EXPECT_TRUE(matches("NAME = 'beta'", r));
    EXPECT_FALSE(matches("NAME = 'Beta'", r)) << "text compares exactly";
    EXPECT_TRUE(matches("NAME <> 'alpha'", r));
    EXPECT_TRUE(matches("NAME > 'alpha'", r));
    EXPECT_FALSE(matches("NAME < 'alpha'", r));
    EXPECT_TRUE(matches("NAME >= 'beta'", r));
    EXPECT_TRUE(matches("NAME <= 'beta'", r));
    EXPECT_FALSE(matches("NAME <= 'b'", r));
}

TEST(FilterCompare, TextFieldWithTextCompareAsText)
{
    // Codes are text: '10' sorts before '9' and '01' is not '1'.
    const auto r = row(std::string("x"), 0.0, std::string("10"));
    EXPECT_TRUE(matches("CODE < '9'", r));
    EXPECT_FALSE(matches("CODE = '010'", r));
}

TEST(FilterCompare, NumbersAgainstNumericTextCompareByValue)
{
    const auto r = row(std::string("x"), 10.0, std::string("10"), std::int64_t{7});
    EXPECT_TRUE(matches("QTY = '10'", r)) << "numeric field against numeric text";
    EXPECT_TRUE(matches("QTY = '10.0'", r));
    EXPECT_TRUE(matches("QTY > '9'", r)) << "by value, not as text";
    EXPECT_TRUE(matches("CODE > 9", r)) << "text field against a number compares by value";
    EXPECT_TRUE(matches("CODE = 10.0", r));
    EXPECT_TRUE(matches("N = 7", r));
    EXPECT_TRUE(matches("N < 7.5", r));
    EXPECT_FALSE(matches("QTY = 'ten'", r)) << "non-numeric text never equals a number";
    EXPECT_TRUE(matches("QTY <> 'ten'", r));
}

TEST(FilterCompare, EmptyValuesEqualOnlyEmptyText)
{
    const auto r = row(std::monostate{}, std::monostate{});
    EXPECT_TRUE(matches("NAME = ''", r));
    EXPECT_FALSE(matches("NAME <> ''", r));
    EXPECT_FALSE(matches("NAME = 'a'", r));
    EXPECT_TRUE(matches("NAME <> 'a'", r));
    EXPECT_FALSE(matches("QTY = 0", r)) << "empty is not zero in a filter";
    EXPECT_TRUE(matches("QTY <> 0", r));
    EXPECT_FALSE(matches("QTY < 1", r)) << "an empty value has no order";
    EXPECT_FALSE(matches("QTY >= 0", r));
    EXPECT_TRUE(matches("NAME = QTY", r)) << "two empty values are equal";
    EXPECT_FALSE(matches("CODE = ''", r)) << "CODE is '01'";
}

TEST(FilterSyntax, QuotedTextWithDoubledQuote)
{
    EXPECT_TRUE(matches("NAME = 'O''Brien'", row(std::string("O'Brien"), 0.0)));
    EXPECT_TRUE(matches("NAME = ''''", row(std::string("'"), 0.0)));
    EXPECT_TRUE(matches("NAME = '计划 AND 数量'", row(std::string("计划 AND 数量"), 0.0)))
        << "keywords inside quotes are text";
}

TEST(FilterSyntax, KeywordsAndFieldNamesIgnoreCase)
{
    const auto r = row(std::string("a"), 5.0);
    EXPECT_TRUE(matches("name = 'a' and qty = 5", r));
    EXPECT_TRUE(matches("Name = 'b' Or Qty = 5", r));
    EXPECT_TRUE(matches("nOt NAME = 'b'", r));
}

TEST(FilterLogic, AndOrNotAndPrecedence)
{
    const auto r = row(std::string("a"), 5.0, std::string("01"));
    EXPECT_TRUE(matches("NAME = 'a' AND QTY = 5", r));
    EXPECT_FALSE(matches("NAME = 'a' AND QTY = 6", r));
    EXPECT_TRUE(matches("NAME = 'x' OR QTY = 5", r));
    EXPECT_FALSE(matches("NAME = 'x' OR QTY = 6", r));
    EXPECT_FALSE(matches("NOT QTY = 5", r));
    EXPECT_TRUE(matches("NOT NOT QTY = 5", r));
    // AND binds tighter than OR: true OR (false AND false).
    EXPECT_TRUE(matches("QTY = 5 OR NAME = 'x' AND CODE = 'x'", r));
    // Parentheses change it: (true OR false) AND false.
    EXPECT_FALSE(matches("(QTY = 5 OR NAME = 'x') AND CODE = 'x'", r));
    // NOT binds tighter than AND: (NOT false) AND true.
    EXPECT_TRUE(matches("NOT NAME = 'x' AND QTY = 5", r));
    // NOT of a parenthesised OR.
    EXPECT_FALSE(matches("NOT (NAME = 'x' OR QTY = 5)", r));
    EXPECT_TRUE(matches("((((QTY = 5))))", r));
}

TEST(FilterLogic, ThePlanRowFilter)
{
    // NYUE00, CKDM00, RYDM00 stand in as NAME, CODE and a text N here.
    const std::string expr = "NAME='200303' AND CODE='01' AND N='0007'";
    EXPECT_TRUE(matches(expr, row(std::string("200303"), 0.0, std::string("01"), std::string("0007"))));
    EXPECT_FALSE(matches(expr, row(std::string("200303"), 0.0, std::string("01"), std::string("0008"))));
    EXPECT_FALSE(matches(expr, row(std::string("200304"), 0.0, std::string("01"), std::string("0007"))));
    EXPECT_FALSE(matches(expr, row(std::string("200303"), 0.0, std::string("1"), std::string("0007"))));
}

TEST(FilterSyntax, EmptyExpressionPassesEveryRow)
{
    EXPECT_TRUE(FilterExpression::parse("").empty());
    EXPECT_TRUE(FilterExpression::parse("   ").empty());
    EXPECT_TRUE(matches("  ", row(std::monostate{}, std::monostate{})));
    EXPECT_FALSE(FilterExpression::parse("QTY=1").empty());
}

TEST(FilterSyntax, FieldNamesAreListedOnce)
{
    const auto names = FilterExpression::parse("QTY = 1 OR qty = 2 AND NAME = CODE").field_names();
    EXPECT_EQ(names, (std::vector<std::string>{"QTY", "NAME", "CODE"}));
}

TEST(FilterErrors, MalformedExpressionsNameThePosition)
{
    struct Case {
        const char *expr;
        int position;
        const char *says;
    };
    const Case cases[] = {
        {"QTY =", 6, "is expected"},                       // operand missing at the end
        {"QTY 5", 5, "comparison"},                        // operator missing
        {"QTY = 5 AND", 12, "is expected"},                // dangling AND
        {"(QTY = 5", 9, "\")\" is expected"},              // unclosed parenthesis
        {"QTY = 5)", 8, "without a matching"},             // stray close
        {"NAME = 'abc", 8, "not closed"},                  // unterminated text
        {"QTY = 5 # 1", 9, "unexpected character"},        // bad character
        {"QTY == 5", 6, "is expected"},                    // doubled operator
        {"QTY = 5 NAME = 'a'", 9, "AND, OR"},              // missing connective
        {"QTY = 12abc", 7, "is not a number"},             // malformed number
        {"AND QTY = 5", 1, "is expected"},                 // keyword where a field belongs
        {"NAME = '计划' OR", 15, "is expected"},           // counted in characters, not bytes
        {"()", 2, "is expected"},                          // empty parentheses
        {"NOT", 4, "is expected"},
    };
    for (const auto &c : cases) {
        const std::string msg = parse_error(c.expr);
        EXPECT_NE(msg.find("position " + std::to_string(c.position)), std::string::npos)
            << c.expr << " -> " << msg;
        EXPECT_NE(msg.find(c.says), std::string::npos) << c.expr << " -> " << msg;
        EXPECT_NE(msg.find(c.expr), std::string::npos) << "the message quotes the expression: " << msg;
    }
}

TEST(FilterErrors, UnknownFieldIsNamedWhenBound)
{
    const auto e = FilterExpression::parse("QTY = 1 OR PRICE > 2");  // parses: fields are not known yet
    try {
        BoundFilter f(e, resolve);
        FAIL() << "binding an unknown field must fail";
    } catch (const DatasetError &err) {
        EXPECT_NE(std::string(err.what()).find("\"PRICE\""), std::string::npos) << err.what();
    }
}

TEST(FilterNumbers, ParseNumberIsStrict)
{
    double d = -1;
    EXPECT_TRUE(dataset::parse_number(" 12.5 ", d));
    EXPECT_EQ(d, 12.5);
    EXPECT_TRUE(dataset::parse_number("+3", d));
    EXPECT_EQ(d, 3);
    EXPECT_TRUE(dataset::parse_number("-0.25", d));
    EXPECT_EQ(d, -0.25);
    d = 99;
    EXPECT_FALSE(dataset::parse_number("", d));
    EXPECT_FALSE(dataset::parse_number("12abc", d));
    EXPECT_FALSE(dataset::parse_number("+-1", d));
    EXPECT_FALSE(dataset::parse_number("0x10", d));
    EXPECT_EQ(d, 99) << "a failed parse leaves the output alone";
}
