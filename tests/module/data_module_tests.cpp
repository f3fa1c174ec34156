// The data module against a real application server, once in-process and
// once over loopback HTTP, with the same cases.
#include "Unit_dmYearplan.h"
#include "inprocess_link.h"
#include "module_state.h"
#include "plan_vocabulary.h"
#include "server_fixture.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

enum class Transport { InProcess, Http };

const char *kSeed[] = {
    "INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01',1,'1','卷烟销量',100)",
    "INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01',2,'2','新品铺货',50)",
    "INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01',3,'2','终端陈列',40)",
    "INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01','0007',1,'1','卷烟销量',10)",
    "INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01','0007',2,'2','新品铺货',5)",
    "INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01','0007',9,'2','旧指标',0)",
    "INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01','0008',1,'1','卷烟销量',30)",
    "INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01','0008',2,'2','新品铺货',NULL)",
    "INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200304','01','0007',1,'1','卷烟销量',99)",
    "INSERT INTO GSTCKGL0(CKDM00,CKMC00,WDBJ00,ZZRQ00) VALUES ('01','东区','F',NULL)",
    "INSERT INTO GSTCKGL0(CKDM00,CKMC00,WDBJ00,ZZRQ00) VALUES ('HZ','汇总','F',NULL)",
    "INSERT INTO GSTCKGL0(CKDM00,CKMC00,WDBJ00,ZZRQ00) VALUES ('02','西区','F',NULL)",
    "INSERT INTO GSTRYGL0(RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0007','甲','Y','01')",
    "INSERT INTO GSTRYGL0(RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0009','丙','N','01')",
    "INSERT INTO GSTRYGL0(RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0008','乙','Y','01')",
};

class PlainList : public CodeNameList {
public:
    std::vector<std::string> items;
    std::string shown;
    void clear_all() override { items.clear(), shown.clear(); }
    void add_item(const std::string &item) override { items.push_back(item); }
    int item_count() const override { return static_cast<int>(items.size()); }
    std::string item(int index) const override { return items.at(index); }
    void set_text(const std::string &text) override { shown = text; }
    std::string text() const override { return shown; }
};

class DataModuleTest : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override
    {
        for (const char *sql : kSeed) testsupport::exec_sql(db.connection_string(), sql);
        if (GetParam() == Transport::InProcess) {
            server = std::make_unique<appserver::AppServer>(db.connection_string());
            remote::set_link_factory(remote::inprocess_link_factory(*server));
        } else {
            process = std::make_unique<testsupport::ServerProcess>(db.connection_string());
            remote::set_link_factory({});
        }
        dm = std::make_unique<Tdm_yearplan>();
        dm->set_computer_name(process ? process->computer_name() : std::string());
        saleplan::plan_month = "200303";
        saleplan::dept_code = "01";
        saleplan::salesman_code = "0007";
    }
    void TearDown() override
    {
        dm.reset();
        remote::set_link_factory({});
    }

    std::string zbsl00_of(const std::string &salesman, int xhao)
    {
        auto rows = testsupport::query_sql(db.connection_string(),
                                           "SELECT ZBSL00 FROM XSTYZB02 WHERE NYUE00='200303' AND RYDM00='" +
                                               salesman + "' AND XHAO00=" + std::to_string(xhao));
        return rows.empty() ? "<none>" : rows[0][0];
    }

    testsupport::SqliteDb db;
    std::unique_ptr<appserver::AppServer> server;
    std::unique_ptr<testsupport::ServerProcess> process;
    std::unique_ptr<Tdm_yearplan> dm;
};

TEST_P(DataModuleTest, PlanRowsNarrowedByThePlanRowFilter)
{
    dm->cds_xstyzb02.open();
    EXPECT_EQ(dm->cds_xstyzb02.record_count(), 6);
    apply_plan_filter(*dm);
    EXPECT_EQ(dm->cds_xstyzb02.filter(), "NYUE00='200303' AND CKDM00='01' AND RYDM00='0007'");
    ASSERT_EQ(dm->cds_xstyzb02.record_count(), 3);
    std::vector<std::string> seen;
    for (dm->cds_xstyzb02.first(); !dm->cds_xstyzb02.eof(); dm->cds_xstyzb02.next()) {
        EXPECT_EQ(dm->cds_xstyzb02.as_string("rydm00"), "0007");
        seen.push_back(dm->cds_xstyzb02.as_string("XHAO00"));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"1", "2", "9"}));
    EXPECT_EQ(dm->plan_filter_in_force, (PlanSelection{"200303", "01", "0007"}));

    // A department without salesmen: the empty code matches no row.
    saleplan::salesman_code.clear();
    apply_plan_filter(*dm);
    EXPECT_EQ(dm->cds_xstyzb02.record_count(), 0);
    EXPECT_TRUE(dm->cds_xstyzb02.eof());
}

TEST_P(DataModuleTest, RemainingQuantitiesReachThePlanRowsThroughTheLookup)
{
    open_statement(dm->CDS_LOOKUP, remaining_quantity_statement("200303", "01", "0007"));
    dm->cds_xstyzb02.open();
    apply_plan_filter(*dm);
    std::map<std::string, std::string> remaining;
    for (dm->cds_xstyzb02.first(); !dm->cds_xstyzb02.eof(); dm->cds_xstyzb02.next())
        remaining[dm->cds_xstyzb02.as_string("XHAO00")] = dm->cds_xstyzb02.as_string("SHZBSL");
    // 100 less the other salesman's 30; 50 less an empty quantity; no remaining row for 9.
    EXPECT_EQ(remaining["1"], "70");
    EXPECT_EQ(remaining["2"], "50");
    EXPECT_EQ(remaining["9"], "");
    dm->cds_xstyzb02.last();
    EXPECT_DOUBLE_EQ(dm->cds_xstyzb02.as_float("SHZBSL"), 0.0);

    // Reloading the lookup with another salesman's view changes what every row shows.
    open_statement(dm->CDS_LOOKUP, remaining_quantity_statement("200303", "01", "0008"));
    dm->cds_xstyzb02.first();
    EXPECT_EQ(dm->cds_xstyzb02.as_string("SHZBSL"), "90");
}

TEST_P(DataModuleTest, AQuantityChangeIsAppliedAndAStaleOneRefused)
{
    dm->cds_xstyzb02.open();
    apply_plan_filter(*dm);
    dm->cds_xstyzb02.first();
    dm->cds_xstyzb02.edit();
    dm->cds_xstyzb02.set_value("ZBSL00", 42.0);
    dm->cds_xstyzb02.post();
    EXPECT_EQ(dm->cds_xstyzb02.apply_updates(0), 0);
    EXPECT_EQ(zbsl00_of("0007", 1), "42");
    EXPECT_EQ(dm->cds_xstyzb02.change_count(), 0);

    // Another planner changes row 2 after we fetched it: our change is refused.
    dm->cds_xstyzb02.next();
    dm->cds_xstyzb02.set_value("ZBSL00", 6.0);
    dm->cds_xstyzb02.post();
    testsupport::exec_sql(db.connection_string(),
                          "UPDATE XSTYZB02 SET ZBSL00=7 WHERE NYUE00='200303' AND RYDM00='0007' AND XHAO00=2");
    EXPECT_GE(dm->cds_xstyzb02.apply_updates(0), 1);
    EXPECT_EQ(zbsl00_of("0007", 2), "7");
    EXPECT_EQ(dm->cds_xstyzb02.change_count(), 1);
    EXPECT_DOUBLE_EQ(dm->cds_xstyzb02.as_float("ZBSL00"), 6.0);
}

TEST_P(DataModuleTest, ListsFilledInServerOrderWithoutExcludedDepartments)
{
    PlainList departments, salesmen;
    fill_departments(dm->cds_temp, departments);
    EXPECT_EQ(departments.items, (std::vector<std::string>{"01|东区", "02|西区"}));
    EXPECT_EQ(departments.text(), "01|东区");
    fill_salesmen(dm->cds_temp, code_of(departments.text()), salesmen);
    EXPECT_EQ(salesmen.items, (std::vector<std::string>{"0007|甲", "0008|乙"}));
    EXPECT_EQ(salesmen.text(), "0007|甲");
    fill_salesmen(dm->cds_temp, "02", salesmen);
    EXPECT_TRUE(salesmen.items.empty());
    EXPECT_EQ(salesmen.text(), "");
    EXPECT_EQ(code_of(salesmen.text()), "");
}

TEST_P(DataModuleTest, AHostileValueChangesNothingButTheIntendedRows)
{
    // A typed department that tries to widen the deletion to every row.
    run_in_server_transaction(*dm, delete_plan_statement("200303", "01' OR '1'='1", "0007"));
    EXPECT_EQ(testsupport::query_sql(db.connection_string(), "SELECT COUNT(*) FROM XSTYZB02")[0][0], "6");
    PlainList salesmen;
    fill_salesmen(dm->cds_temp, "01' OR '1'='1", salesmen);
    EXPECT_TRUE(salesmen.items.empty());
    // The intended rows still go.
    run_in_server_transaction(*dm, delete_plan_statement("200303", "01", "0007"));
    EXPECT_EQ(testsupport::query_sql(db.connection_string(), "SELECT COUNT(*) FROM XSTYZB02")[0][0], "3");
}

TEST_P(DataModuleTest, AFailingStatementIsRolledBackAndPassedOn)
{
    EXPECT_THROW(run_in_server_transaction(*dm, "DELETE NOSUCHTABLE WHERE A='1'"), remote::RemoteError);
    // The session is usable afterwards and nothing stayed half done.
    bool reloaded = false;
    run_in_server_transaction(*dm, delete_plan_statement("200303", "01", "0008"), [&] { reloaded = true; });
    EXPECT_TRUE(reloaded);
    EXPECT_EQ(zbsl00_of("0008", 1), "<none>");
}

INSTANTIATE_TEST_SUITE_P(Transports, DataModuleTest, ::testing::Values(Transport::InProcess, Transport::Http),
                         [](const auto &info) { return info.param == Transport::Http ? "Http" : "InProcess"; });

TEST(DataModuleConnection, AServerThatIsNotRunningFailsAtTheFirstCallWithAClearMessage)
{
    remote::set_link_factory({});
    Tdm_yearplan dm;
    // A port nobody listens on.
    dm.set_computer_name("127.0.0.1:1");
    EXPECT_FALSE(dm.Dcom_cominfo.connected());
    try {
        dm.cds_temp.set_command_text(department_statement());
        dm.cds_temp.open();
        FAIL() << "opened without a server";
    } catch (const remote::RemoteError &e) {
        EXPECT_NE(std::string(e.what()).find("127.0.0.1:1"), std::string::npos) << e.what();
    }
}

}  // namespace
