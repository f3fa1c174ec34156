// The catalogue of the module's statements: every text the module's own
// statement functions build is recognised with its values, the parametrised
// statement gives on SQLite and PostgreSQL what the spliced text gives, and
// anything that is not exactly one of those texts is refused.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "backend_test.h"
#include "database.h"
#include "dialect.h"
#include "plan_vocabulary.h"
#include "schema.h"
#include "statement_catalogue.h"

namespace {

using appserver::StatementId;
using appserver::match_module_statement;
using namespace std::string_literals;

struct ModuleStatement {
    StatementId id;
    bool changes_data;
    std::function<std::string(const std::string &month, const std::string &dept, const std::string &salesman)> build;
};

// The module's statement functions, each with the catalogue entry it must match.
const std::vector<ModuleStatement> &module_statements()
{
    static const std::vector<ModuleStatement> all = {
        {StatementId::Departments, false, [](auto &, auto &, auto &) { return department_statement(); }},
        {StatementId::Salesmen, false, [](auto &, auto &d, auto &) { return salesman_statement(d); }},
        {StatementId::MonthPlanRows, false, [](auto &m, auto &, auto &) { return month_plan_rows_statement(m); }},
        {StatementId::RemainingQuantities, false,
         [](auto &m, auto &d, auto &s) { return remaining_quantity_statement(m, d, s); }},
        {StatementId::DepartmentPlanCount, false,
         [](auto &m, auto &d, auto &) { return department_plan_count_statement(d, m); }},
        {StatementId::SalesmanPlanRows, false,
         [](auto &m, auto &d, auto &s) { return salesman_plan_statement(m, d, s); }},
        {StatementId::SalesIndicators, false, [](auto &m, auto &, auto &) { return sales_indicator_statement(m); }},
        {StatementId::PlanGeneration, true, [](auto &m, auto &d, auto &s) { return generation_statement(m, d, s); }},
        {StatementId::PlanDeletion, true, [](auto &m, auto &d, auto &s) { return delete_plan_statement(m, d, s); }},
    };
    return all;
}

// The parametrised text and the order of its values, worked out from the
// module's own text: built with marker values, each quoted marker is a "?".
struct Expected {
    std::string sql;
    std::vector<std::string> values;
    std::string month, department, salesman;
};

Expected expected_for(const ModuleStatement &st, const std::string &m, const std::string &d, const std::string &s)
{
    const std::string mm = "\x01M", md = "\x01D", ms = "\x01S";
    const std::string text = st.build(mm, md, ms);
    Expected e;
    for (std::size_t i = 0; i < text.size();) {
        bool slot = false;
        for (const auto &[marker, value, named] :
             {std::tuple{mm, m, &e.month}, std::tuple{md, d, &e.department}, std::tuple{ms, s, &e.salesman}}) {
            const std::string q = quoted(marker);
            if (text.compare(i, q.size(), q) == 0) {
                e.sql += '?';
                e.values.push_back(value);
                *named = value;
                i += q.size();
                slot = true;
                break;
            }
        }
        if (!slot) e.sql += text[i++];
    }
    return e;
}

struct Values {
    std::string month, dept, salesman;
};

const std::vector<Values> kMatchValues = {
    {"200303", "01", "0101"},
    {"202611", "HZ", "HZ01"},
    {"", "", ""},
    {"20'03", "a'b", "'"},                                   // doubled quotes bind as one
    {"''", "x''y", "'''"},                                   // quotes only
    {"' OR '1'='1", "'; DELETE FROM XSTYZB02 --", "/* */"},  // statement text as a value
    {"城东", "0|1", "张伟 "},
};

TEST(CatalogueMatch, EveryModuleStatementIsMatchedWithItsValues)
{
    std::set<StatementId> seen;
    std::set<std::string> names;
    for (const auto &st : module_statements()) {
        for (const auto &v : kMatchValues) {
            const std::string text = st.build(v.month, v.dept, v.salesman);
            const auto m = match_module_statement(text);
            ASSERT_TRUE(m) << text;
            const auto e = expected_for(st, v.month, v.dept, v.salesman);
            EXPECT_EQ(m->id, st.id) << text;
            EXPECT_EQ(m->changes_data, st.changes_data) << text;
            EXPECT_EQ(m->sql, e.sql) << text;
            EXPECT_EQ(m->values, e.values) << text;
            EXPECT_EQ(m->month, e.month) << text;
            EXPECT_EQ(m->department, e.department) << text;
            EXPECT_EQ(m->salesman, e.salesman) << text;
            ASSERT_NE(m->name, nullptr);
            names.insert(m->name);
            // The server's own callers get the same entry without the text.
            const auto own = appserver::module_statement(st.id, v.month, v.dept, v.salesman);
            EXPECT_EQ(std::tie(own.id, own.sql, own.values, own.month, own.department, own.salesman),
                      std::tie(m->id, m->sql, m->values, m->month, m->department, m->salesman))
                << text;
        }
        seen.insert(st.id);
    }
    EXPECT_EQ(seen.size(), 9u);
    EXPECT_EQ(names.size(), 9u);  // each entry has a name of its own for the log
}

TEST(CatalogueMatch, NamedValuesAndTheirSlots)
{
    // A department "a'b" travels as 'a''b' and binds as a'b.
    auto m = match_module_statement("SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='Y' AND CKDM00='a''b'");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->sql, "SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='Y' AND CKDM00=?");
    EXPECT_EQ(m->values, std::vector<std::string>{"a'b"});
    EXPECT_EQ(m->department, "a'b");
    EXPECT_TRUE(m->month.empty());
    // The count names the department before the month.
    m = match_module_statement(department_plan_count_statement("01", "200303"));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->values, (std::vector<std::string>{"01", "200303"}));
    EXPECT_EQ(m->month, "200303");
    EXPECT_EQ(m->department, "01");
    // The generation's fixed '0' stays in the text; department twice, in order.
    m = match_module_statement(generation_statement("200303", "01", "0101"));
    ASSERT_TRUE(m);
    EXPECT_NE(m->sql.find("distinct '0',"), std::string::npos);
    EXPECT_EQ(m->values, (std::vector<std::string>{"01", "0101", "200303", "01"}));
    // Where the module places one value twice, two different values are not its text.
    EXPECT_FALSE(match_module_statement(
        "INSERT INTO XSTYZB02(ZBSL00,NYUE00,XHAO00,ZBLB00,ZBMC00,SPDM00,SPDM01,CKDM00,RYDM00) SELECT distinct "
        "'0',NYUE00,XHAO00,ZBLB00,ZBMC00,null,null,'02','0101' FROM XSTYZB01 WHERE NYUE00='200303' AND CKDM00='01'"));
    std::string mixed = remaining_quantity_statement("200303", "01", "0101");
    mixed.replace(mixed.rfind("'200303'"), 8, "'200304'");
    EXPECT_FALSE(match_module_statement(mixed));
}

// Texts that are none of the module's statements.
std::vector<std::string> hostile_texts()
{
    std::vector<std::string> out = {
        "",
        "DROP TABLE XSTYZB02",
        "ATTACH DATABASE '/tmp/other.db' AS other",
        "PRAGMA writable_schema=ON",
        "COPY (SELECT 1) TO PROGRAM 'id > /tmp/owned'",
        "SELECT * FROM XSTYZB01 WHERE NYUE00='200303'",      // another table
        "SELECT * FROM GSTRYGL0 WHERE NYUE00='200303'",
        "select * from XSTYZB02 where NYUE00='200303'",      // changed case
        "SELECT * FROM XSTYZB02 WHERE NYUE00 = '200303'",    // changed blanks
        "SELECT * FROM XSTYZB02 WHERE NYUE00=E'200303'",     // another kind of literal
        "SELECT * FROM XSTYZB02 WHERE NYUE00=\"200303\"",    // a name, not a literal
        "SELECT * FROM XSTYZB02 WHERE NYUE00=200303",        // no literal at all
        "SELECT * FROM XSTYZB02 WHERE NYUE00='200303",       // unterminated slot
        "SELECT * FROM XSTYZB02 WHERE NYUE00='200303''",     // the last quote is a doubled one
        "SELECT * FROM XSTYZB02 WHERE NYUE00='",
        // A value that closes its quote and goes on.
        "SELECT * FROM XSTYZB02 WHERE NYUE00='200303' OR '1'='1'",
        "SELECT * FROM XSTYZB02 WHERE NYUE00='' UNION SELECT RYDM00 FROM GSTRYGL0 --'",
        "SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='Y' AND CKDM00='01' OR 'a'='a'",
        "DELETE XSTYZB02 WHERE NYUE00='200303' And Ckdm00='01' And Rydm00='0101' OR ''=''",
        "DELETE XSTYZB02 WHERE NYUE00='200303' And Ckdm00='01' OR Rydm00='0101'",
        // Fixed literals are part of the shape.
        "SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='N' AND CKDM00='01'",
        "SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='Y''' AND CKDM00='01'",
        "SELECT CKDM00,CKMC00 FROM GSTCKGL0 WHERE WDBJ00='F' AND ZZRQ00 IS NULL AND CKDM00<>'HZ' AND "
        "CKDM00<>'0F' AND CKDM00<>'0B' AND CKDM00<>'0Q'",
        "SELECT * FROM XSTYZB02 WHERE NYUE00='2003\0' OR 1=1 --'"s,  // NUL in a value
    };
    for (const auto &st : module_statements()) {
        const std::string text = st.build("200303", "01", "0101");
        for (const char *tail : {" OR 1=1", "; DELETE FROM XSTYZB02", ";", " ", "\n", " -- note", "/* note */",
                                 "; SELECT * FROM GSTRYGL0", "\r\n"})
            out.push_back(text + tail);
        out.push_back(" " + text);
        out.push_back("/* note */" + text);
        out.push_back("EXPLAIN " + text);
        out.push_back(text + text);
        std::string with_comment = text;
        with_comment.insert(with_comment.find(' ') + 1, "/**/");
        out.push_back(with_comment);
    }
    return out;
}

TEST(CatalogueMatch, HostileTextsAreRefused)
{
    for (const auto &text : hostile_texts()) EXPECT_FALSE(match_module_statement(text)) << text;
}

TEST(CatalogueMatch, EveryChangeOutsideALiteralIsRefused)
{
    // Values with quotes, so that the spans are not plain.
    const std::string month = "20'03", dept = "0'", salesman = "'01";
    std::size_t variants = 0;
    for (const auto &st : module_statements()) {
        const std::string text = st.build(month, dept, salesman);
        ASSERT_TRUE(match_module_statement(text)) << text;
        // Slots as [opening quote, closing quote], found through the quoted values.
        std::vector<std::pair<std::size_t, std::size_t>> spans;
        for (const auto &v : {month, dept, salesman}) {
            const std::string q = quoted(v);
            for (auto at = text.find(q); at != std::string::npos; at = text.find(q, at + q.size()))
                spans.emplace_back(at, at + q.size() - 1);
        }
        auto inside = [&](std::size_t p) {
            for (auto [a, b] : spans)
                if (p > a && p < b) return true;
            return false;
        };
        auto refused = [&](const std::string &changed, const char *what, std::size_t p) {
            ++variants;
            EXPECT_FALSE(match_module_statement(changed)) << what << " at " << p << ": " << changed;
        };
        for (std::size_t p = 0; p <= text.size(); ++p) {
            // Inserting right before a closing quote is inserting into the value.
            bool before_closing = false;
            for (auto [a, b] : spans) before_closing = before_closing || p == b;
            if (!inside(p) && !before_closing) {
                for (char c : {'x', ' ', '\'', ';'}) refused(text.substr(0, p) + c + text.substr(p), "insertion", p);
            }
            if (p == text.size() || inside(p)) continue;
            const char c = text[p];
            if (std::isalpha(static_cast<unsigned char>(c))) {
                std::string flipped = text;
                flipped[p] = static_cast<char>(c ^ 0x20);  // the other case
                refused(flipped, "case", p);
            }
            for (char r : {'#', '\'', ' '}) {
                if (r == c) continue;
                std::string changed = text;
                changed[p] = r;
                refused(changed, "replacement", p);
            }
            refused(text.substr(0, p) + text.substr(p + 1), "deletion", p);
        }
    }
    EXPECT_GT(variants, 5000u);  // every statement was walked through
}

TEST(CatalogueMatch, TheLengthIsBounded)
{
    const std::string month(appserver::kMaxStatementLength - 50, '2');
    const auto text = month_plan_rows_statement(month);
    ASSERT_LE(text.size(), appserver::kMaxStatementLength);
    ASSERT_TRUE(match_module_statement(text));
    EXPECT_EQ(match_module_statement(text)->month, month);
    EXPECT_FALSE(match_module_statement(month_plan_rows_statement(month + std::string(100, '2'))));
}

// The parametrised statement against the spliced one, on the demo data with
// a department and salesmen whose codes hold quotes.
class CatalogueOnDatabases : public apptest::BackendTest {
protected:
    bool demo() const override { return true; }
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        exec("INSERT INTO GSTCKGL0 (CKDM00,CKMC00,WDBJ00) VALUES ('''Q','O''Neil 访销部','F')");
        exec("INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES ('Q''1','D''Arcy','Y','''Q')");
        exec("INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES ('Q''2','O''Hara','Y','''Q')");
        exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00,SPDM00,SPDM01,ZBLBMC) "
             "SELECT NYUE00,'''Q',XHAO00,ZBLB00,ZBMC00,ZBSL00,SPDM00,SPDM01,ZBLBMC FROM XSTYZB01 "
             "WHERE NYUE00='" + m0 + "' AND CKDM00='01'");
        exec("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00) "
             "SELECT NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,'''Q','Q''1' FROM XSTYZB02 "
             "WHERE NYUE00='" + m0 + "' AND RYDM00='0101'");
        db_ = std::make_unique<appserver::Connection>(cs());
    }

    // What a statement gave, and for a changing one the plan table after it.
    struct Outcome {
        appserver::StatementResult result;
        std::vector<wire::Row> plan_after;
        bool refused = false;  // a generation of a plan that exists breaks its unique key
    };
    Outcome run(const std::string &sql, const std::vector<std::string> &values, bool changes)
    {
        std::vector<wire::Value> params(values.begin(), values.end());
        Outcome o;
        if (changes) db_->begin();
        try {
            o.result = db_->run(appserver::adapt_statement(sql, db_->kind()), params);
        } catch (const appserver::ServerError &) {
            if (!changes) throw;
            o.refused = true;
            db_->rollback();
            return o;
        }
        if (changes) {
            o.plan_after = db_->run("SELECT NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC "
                                    "FROM XSTYZB02 ORDER BY NYUE00,CKDM00,RYDM00,XHAO00")
                               .packet.rows;
            db_->rollback();
        }
        return o;
    }

    const std::string m0 = appserver::month_key_from_today(0);
    const std::string m1 = appserver::month_key_from_today(1);
    std::unique_ptr<appserver::Connection> db_;
};
BACKEND_TEST_SUITE(CatalogueOnDatabases);

TEST_P(CatalogueOnDatabases, ParametrisedStatementsGiveWhatTheSplicedTextsGive)
{
    const std::vector<Values> cases = {
        {m0, "01", "0101"}, {m0, "01", "0103"}, {m1, "02", "0201"},    {m0, "'Q", "Q'1"},
        {m0, "'Q", "Q'2"},  {m0, "0'", "'"},    {m0, "' OR '1'='1", "x"}, {"", "", ""},
    };
    std::size_t with_rows = 0, changed = 0, refused = 0;
    for (const auto &st : module_statements()) {
        for (const auto &v : cases) {
            const std::string text = st.build(v.month, v.dept, v.salesman);
            const auto m = match_module_statement(text);
            ASSERT_TRUE(m) << text;
            const auto spliced = run(text, {}, st.changes_data);
            const auto bound = run(m->sql, m->values, st.changes_data);
            EXPECT_EQ(bound.result.packet, spliced.result.packet) << text;
            EXPECT_EQ(bound.result.has_columns, spliced.result.has_columns) << text;
            EXPECT_EQ(bound.result.rows_affected, spliced.result.rows_affected) << text;
            EXPECT_EQ(bound.plan_after, spliced.plan_after) << text;
            EXPECT_EQ(bound.refused, spliced.refused) << text;
            if (!bound.result.packet.rows.empty()) ++with_rows;
            if (bound.result.rows_affected > 0) ++changed;
            if (bound.refused) ++refused;
        }
    }
    // The comparison is not between empty answers only.
    EXPECT_GE(with_rows, 20u);
    EXPECT_GE(changed, 5u);
    // The generations of the plans that exist (0101, 0201, Q'1) fail both ways.
    EXPECT_EQ(refused, 3u);
}

TEST_P(CatalogueOnDatabases, QuotedCodesBindAsTheValuesTheyStandFor)
{
    auto bound = [&](const std::string &text) {
        const auto m = match_module_statement(text);
        EXPECT_TRUE(m) << text;
        return m ? run(m->sql, m->values, m->changes_data) : Outcome{};
    };
    const auto salesmen = bound(salesman_statement("'Q")).result.packet;
    ASSERT_EQ(salesmen.rows.size(), 2u);
    EXPECT_EQ(salesmen.rows[0][apptest::column(salesmen, "RYMC00")], wire::Value(std::string("D'Arcy")));
    EXPECT_EQ(bound(salesman_plan_statement(m0, "'Q", "Q'1")).result.packet.rows.size(), 6u);
    EXPECT_EQ(bound(generation_statement(m0, "'Q", "Q'2")).result.rows_affected, 6);
    EXPECT_EQ(bound(delete_plan_statement(m0, "'Q", "Q'1")).result.rows_affected, 6);
    // A value that reads like a condition is only a value.
    EXPECT_TRUE(bound(month_plan_rows_statement("' OR '1'='1")).result.packet.rows.empty());
    EXPECT_EQ(bound(delete_plan_statement(m0, "01", "' OR ''='")).result.rows_affected, 0);
}

}  // namespace
