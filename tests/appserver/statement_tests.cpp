// Every statement the module sends, with the module's own text and realistic
// values, run through the server on the demo data of SQLite and PostgreSQL.
#include <gtest/gtest.h>

#include <map>

#include "app_server.h"
#include "database_setup.h"
#include "contract.h"
#include "backend_test.h"
#include "module_statements.h"
#include "schema.h"

namespace {

// The caller of the calls below: the anonymous planner, as every caller is
// with --auth none.
const appserver::Caller anyone;

using apptest::column;
using appserver::AppServer;
using namespace apptest;

// Department quantities of the demo's current month for department 01, and
// what its salesmen 0101 (partly filled) and 0102 hold, by sequence number.
const std::map<int, double> kDept01 = {{1, 3600}, {2, 420}, {3, 860}, {4, 540}, {5, 720}, {6, 90}};
const std::map<int, double> kSalesman0101 = {{1, 1260}, {2, 126}, {3, 258}, {4, 0}, {5, 0}, {6, 0}};
const std::map<int, double> kSalesman0102 = {{1, 1080}, {2, 126}, {3, 258}, {4, 162}, {5, 216}, {6, 27}};

// code|name items of a list, as the fill rule builds them.
std::vector<std::string> items(const wire::DataPacket &p, const std::string &code, const std::string &name)
{
    std::vector<std::string> out;
    for (const auto &r : p.rows)
        out.push_back(wire::value_to_text(r[column(p, code)]) + "|" + wire::value_to_text(r[column(p, name)]));
    return out;
}

// XHAO00 -> ZBSL00 of a remaining-quantity result.
std::map<int, double> by_sequence(const wire::DataPacket &p)
{
    std::map<int, double> out;
    for (const auto &r : p.rows)
        out[static_cast<int>(wire::value_to_double(r[column(p, "XHAO00")]))] = wire::value_to_double(r[column(p, "ZBSL00")]);
    return out;
}

class ModuleStatements : public apptest::BackendTest {
protected:
    bool demo() const override { return true; }
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        server_ = std::make_unique<AppServer>(server_cs());
        info_ = server_->open_session(anyone, contract::kCompanyInfoObject);
    }
    wire::DataPacket open(const std::string &sql) { return server_->get_records(anyone, info_, "dsp_temp", sql); }
    // The transaction bracket of the changing commands.
    std::int64_t execute_in_transaction(const std::string &sql)
    {
        server_->call_method(anyone, info_, "CompanydbTranStart");
        const auto n = server_->execute(anyone, info_, "dsp_temp", sql);
        server_->call_method(anyone, info_, "CompanydbTranCommit");
        return n;
    }

    const std::string m0 = appserver::month_key_from_today(0);
    const std::string m1 = appserver::month_key_from_today(1);
    const std::string m2 = appserver::month_key_from_today(2);
    std::unique_ptr<AppServer> server_;
    std::string info_;
};
BACKEND_TEST_SUITE(ModuleStatements);

TEST_P(ModuleStatements, DepartmentAndSalesmanListsLeaveOutClosedExcludedAndOtherDepartments)
{
    EXPECT_EQ(items(open(department_statement()), "CKDM00", "CKMC00"),
              (std::vector<std::string>{"01|城东访销部", "02|城西访销部", "03|城北访销部", "06|郊县访销部"}));
    EXPECT_EQ(items(open(salesman_statement("01")), "RYDM00", "RYMC00"),
              (std::vector<std::string>{"0101|张伟", "0102|李娜", "0103|王强"}));
    EXPECT_EQ(items(open(salesman_statement("02")), "RYDM00", "RYMC00"),
              (std::vector<std::string>{"0201|陈静", "0202|杨磊"}));
    EXPECT_TRUE(open(salesman_statement("03")).rows.empty());
    EXPECT_TRUE(open(salesman_statement("")).rows.empty());
}

TEST_P(ModuleStatements, TheActivationLoadsEverySalesmanPlanRowOfTheMonth)
{
    const auto p = open("SELECT * FROM XSTYZB02 WHERE NYUE00='" + m0 + "'");
    EXPECT_EQ(p.rows.size(), 12u);  // 张伟 and 李娜, six indicators each
    const auto by_xhao = by_sequence(p);
    EXPECT_EQ(by_xhao.size(), 6u);
    EXPECT_EQ(open("SELECT * FROM XSTYZB02 WHERE NYUE00='" + m1 + "'").rows.size(), 24u);
    // The first salesman's current plan is generated and partly filled.
    const auto first = open(existence_statement(m0, "01", "0101"));
    EXPECT_EQ(by_sequence(first), kSalesman0101);
}

TEST_P(ModuleStatements, TheGenerateCommandCountsTheDepartmentPlanRows)
{
    auto p = open("SELECT COUNT(*) SL FROM XSTYZB01 WHERE CKDM00='" + std::string("01") + "' AND NYUE00='" + m0 + "'");
    ASSERT_EQ(p.rows.size(), 1u);
    EXPECT_EQ(wire::value_to_double(p.rows[0][column(p, "Sl")]), 6.0);
    EXPECT_NE(p.fields[column(p, "Sl")].type, wire::FieldType::String);
    p = open("SELECT COUNT(*) SL FROM XSTYZB01 WHERE CKDM00='06' AND NYUE00='" + m0 + "'");
    EXPECT_EQ(wire::value_to_double(p.rows[0][column(p, "Sl")]), 0.0);
}

TEST_P(ModuleStatements, TheDialogTestsFindExistingPlansAndMissingSalesIndicators)
{
    EXPECT_EQ(open(existence_statement(m0, "01", "0101")).rows.size(), 6u);
    EXPECT_TRUE(open(existence_statement(m0, "01", "0103")).rows.empty());
    EXPECT_EQ(open("SELECT * FROM XSTYXSZB WHERE NYUE00='" + m0 + "'").rows.size(), 6u);
    EXPECT_TRUE(open("SELECT * FROM XSTYXSZB WHERE NYUE00='" + m1 + "'").rows.empty());
    EXPECT_FALSE(open("SELECT * FROM XSTYXSZB WHERE NYUE00='" + m2 + "'").rows.empty());
}

TEST_P(ModuleStatements, GenerationCopiesTheDepartmentPlanWithQuantityZero)
{
    EXPECT_EQ(execute_in_transaction(generation_statement(m0, "01", "0103")), 6);
    const auto rows = query("SELECT XHAO00,ZBSL00,ZBLB00,ZBMC00,SPDM00,SPDM01,ZBLBMC,CKDM00,RYDM00 FROM XSTYZB02 WHERE NYUE00='" +
                            m0 + "' AND RYDM00='0103' ORDER BY XHAO00");
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"1", "0", "1", "卷烟销售总量", "", "", "", "01", "0103"}));
    EXPECT_EQ(rows[5][0], "6");
    // The quantity is a number, not the text '0'.
    auto cust = server_->open_session(anyone, contract::kCustObject);
    const auto plan = server_->get_records(anyone, cust, "dsp_xstyzb02cys", "");
    std::size_t generated = 0;
    for (std::size_t i = 0; i < plan.rows.size(); ++i)
        if (plan.rows[i][6] == wire::Value(std::string("0103")) && plan.rows[i][0] == wire::Value(m0)) {
            ++generated;
            EXPECT_EQ(plan.rows[i][4], wire::Value(0.0));
        }
    EXPECT_EQ(generated, 6u);
}

TEST_P(ModuleStatements, GenerationMakesOneRowOfTwoEqualDepartmentRowsAndNothingForAMissingPlan)
{
    exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('" + m0 +
         "','02',1,'1','卷烟销售总量',99)");
    EXPECT_EQ(execute_in_transaction(generation_statement(m0, "02", "0202")), 6);
    EXPECT_EQ(execute_in_transaction(generation_statement(m0, "06", "0601")), 0);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE RYDM00='0601'"), "0");
}

TEST_P(ModuleStatements, DeleteRemovesOnlyTheSalesmansMonthPlan)
{
    EXPECT_EQ(execute_in_transaction(delete_statement(m0, "01", "0102")), 6);
    EXPECT_TRUE(open(existence_statement(m0, "01", "0102")).rows.empty());
    EXPECT_EQ(open(existence_statement(m0, "01", "0101")).rows.size(), 6u);
    EXPECT_EQ(open(existence_statement(m1, "01", "0102")).rows.size(), 6u);
    // For a salesman without rows it runs and deletes nothing.
    EXPECT_EQ(execute_in_transaction(delete_statement(m0, "01", "0103")), 0);
    // Rolled back, it leaves the plan as it was.
    server_->call_method(anyone, info_, "CompanydbTranStart");
    EXPECT_EQ(server_->execute(anyone, info_, "dsp_temp", delete_statement(m0, "01", "0101")), 6);
    server_->call_method(anyone, info_, "CompanydbRollback");
    EXPECT_EQ(open(existence_statement(m0, "01", "0101")).rows.size(), 6u);
}

TEST_P(ModuleStatements, RemainingQuantityIsTheDepartmentPlanLessTheOtherSalesmen)
{
    std::map<int, double> expected;
    for (const auto &[x, q] : kDept01) expected[x] = q - kSalesman0102.at(x);
    const auto for_first = open(remaining_statement(m0, "01", "0101"));
    EXPECT_EQ(by_sequence(for_first), expected);
    EXPECT_EQ(for_first.fields[column(for_first, "ZBSL00")].type, wire::FieldType::Float);
    EXPECT_EQ(wire::value_to_text(for_first.rows.at(0)[column(for_first, "NYUE00")]), m0);

    for (const auto &[x, q] : kDept01) expected[x] = q - kSalesman0101.at(x) - kSalesman0102.at(x);
    EXPECT_EQ(by_sequence(open(remaining_statement(m0, "01", "0103"))), expected);

    // An empty quantity of another salesman counts as 0.
    exec("UPDATE XSTYZB02 SET ZBSL00=NULL WHERE NYUE00='" + m0 + "' AND RYDM00='0102' AND XHAO00=6");
    EXPECT_EQ(by_sequence(open(remaining_statement(m0, "01", "0101"))).at(6), 90.0);
    // A department without a plan for the month gives no rows.
    EXPECT_TRUE(open(remaining_statement(m0, "06", "0601")).rows.empty());
}

TEST_P(ModuleStatements, DemoDataIsLoadedOnlyIntoAnEmptyDatabase)
{
    const std::string before = scalar("SELECT COUNT(*) FROM XSTYZB02");
    appserver::init_database(cs(), true);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02"), before);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM GSTCKGL0"), "10");
}

}  // namespace
