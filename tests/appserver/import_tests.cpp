// ImportPlans on SQLite and PostgreSQL: an imported sheet's quantities
// applied whole with one audit record each (导入, the file's name), a share
// moved between salesmen whatever order the sheet lists it in, and every
// refusal changing nothing (a viewer, a locked month, a board changed since
// the preview, the department's quantity, a row of another department).
#include <gtest/gtest.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "allocation.h"
#include "app_server.h"
#include "backend_test.h"
#include "contract.h"

namespace {

using appserver::AppServer;
using appserver::Caller;
using appserver::ServerError;

const Caller anyone;

class Import : public apptest::BackendTest {
protected:
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        exec("INSERT INTO GSTCKGL0 (CKDM00,CKMC00,WDBJ00) VALUES ('01','城东访销部','F'),('02','城西访销部','F')");
        exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01',1,'1','卷烟销售总量',"
             "3600),('200303','01',2,'2','一类卷烟销量',420),('200303','02',1,'1','卷烟销售总量',100)");
        exec("INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0101','张伟','Y','01'),"
             "('0102','李娜','Y','01'),('0109','钱七','Y','02')");
        for (const auto &[salesman, department, first, second] :
             std::vector<std::tuple<const char *, const char *, int, int>>{
                 {"0101", "01", 3000, 0}, {"0102", "01", 600, 20}, {"0109", "02", 10, -1}})
            for (int sequence : {1, 2})
                if (sequence == 1 || second >= 0)
                    exec(std::string("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00) VALUES "
                                     "('200303',") + std::to_string(sequence) + ",'" + std::to_string(sequence) +
                         "','" + (sequence == 1 ? "卷烟销售总量" : "一类卷烟销量") + "'," +
                         std::to_string(sequence == 1 ? first : second) + ",'" + department + "','" + salesman + "')");
        server_ = std::make_unique<AppServer>(server_cs());
        cust_ = server_->open_session(anyone, contract::kCustObject);
    }

    std::string row(const std::string &salesman, int sequence)
    {
        return scalar("SELECT ROWID00 FROM XSTYZB02 WHERE RYDM00='" + salesman + "' AND XHAO00=" + std::to_string(sequence));
    }
    std::string fingerprint(const std::string &department = "01")
    {
        return allocation::fingerprint(allocation::month_from_packet(
            server_->get_records(anyone, cust_, contract::kBoardProvider, "",
                                 {{contract::kMonthParam, "200303"}, {contract::kDepartmentParam, department}}),
            "200303", department));
    }
    nlohmann::json import(const std::string &changes, const std::string &print, const Caller &caller = anyone)
    {
        const auto session = caller.role == appserver::Role::Viewer ? server_->open_session(caller, contract::kCustObject)
                                                                    : cust_;
        return server_->call_method(caller, session, contract::kImportPlansMethod,
                                    {{contract::kMonthParam, "200303"},
                                     {contract::kDepartmentParam, "01"},
                                     {contract::kFileNameParam, "部门计划_200303_01.xlsx"},
                                     {contract::kImportedParam, changes},
                                     {contract::kFingerprintParam, print}});
    }
    std::vector<std::string> quantities()
    {
        std::vector<std::string> out;
        for (const auto &r : query("SELECT RYDM00,XHAO00,ZBSL00 FROM XSTYZB02 ORDER BY RYDM00,XHAO00"))
            out.push_back(r[0] + ":" + r[1] + "=" + r[2]);
        return out;
    }

    std::unique_ptr<AppServer> server_;
    std::string cust_;
};

TEST_P(Import, TheSheetsChangesApplyWholeWithOneRecordEachNamingTheFile)
{
    // 0101 gives 2400 to 0102: listed raise first, applied lowered first.
    const auto done = import(row("0102", 1) + ":3000," + row("0101", 1) + ":600," + row("0102", 2) + ":400," +
                                 row("0101", 2) + ":0",
                             fingerprint());
    EXPECT_EQ(done.at(contract::kOperationKey), "导入");
    EXPECT_EQ(done.at(contract::kChangedKey), 3);  // 0101's 0 stays 0: no change, no record
    EXPECT_EQ(quantities(), (std::vector<std::string>{"0101:1=600", "0101:2=0", "0102:1=3000", "0102:2=400", "0109:1=10"}));
    std::vector<std::string> records;
    for (const auto &r : query("SELECT CZLX00,RYDM00,XHAO00,SLQIAN,SLHOU0,LYOU00 FROM XSTYZBRZ ORDER BY JLHAO0"))
        records.push_back(r[0] + " " + r[1] + ":" + r[2] + " " + r[3] + ">" + r[4] + " " + r[5]);
    EXPECT_EQ(records, (std::vector<std::string>{"导入 0101:1 3000>600 部门计划_200303_01.xlsx",
                                                 "导入 0102:1 600>3000 部门计划_200303_01.xlsx",
                                                 "导入 0102:2 20>400 部门计划_200303_01.xlsx"}));
}

TEST_P(Import, EachRefusalChangesNothing)
{
    Caller viewer;
    viewer.account = "zhao";
    viewer.role = appserver::Role::Viewer;
    const struct {
        const char *what;
        std::function<void()> before;
        std::function<std::string()> changes;
        bool stale;
        const Caller *caller;
        const char *code;
    } cases[] = {
        {"a viewer", [] {}, [&] { return row("0101", 1) + ":100"; }, false, &viewer, contract::error::kReadOnlyAccount},
        {"an approved month",
         [&] {
             exec("INSERT INTO XSTYZBZT (NYUE00,CKDM00,BBHAO0,DZUO00,ZTAI00,YHMC00,CZSJ00) VALUES "
                  "('200303','01',1,'批准','已批准','li','2003-03-02T00:00:00Z')");
         },
         [&] { return row("0101", 1) + ":100"; }, false, &anyone, contract::error::kMonthLocked},
        {"the board changed since the preview", [&] { exec("UPDATE XSTYZB02 SET ZBSL00=21 WHERE RYDM00='0102' AND XHAO00=2"); },
         [&] { return row("0101", 1) + ":100"; }, true, &anyone, contract::error::kBoardChanged},
        {"over the department's quantity", [] {}, [&] { return row("0101", 1) + ":3001"; }, false, &anyone,
         contract::error::kAllocationRefused},
        {"a row of another department", [] {}, [&] { return row("0101", 1) + ":0," + row("0109", 1) + ":5"; }, false,
         &anyone, contract::error::kAllocationRefused},
        {"a negative quantity", [] {}, [&] { return row("0101", 1) + ":-1"; }, false, &anyone,
         contract::error::kAllocationRefused},
        {"not ROWID00:quantity", [] {}, [&] { return row("0101", 1) + ":abc"; }, false, &anyone,
         contract::error::kBadRequest},
    };
    const auto before = quantities();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string print = fingerprint();
        c.before();
        std::string code = "none";
        try {
            import(c.changes(), c.stale ? print : fingerprint(), *c.caller);
        } catch (const ServerError &e) {
            code = e.code() ? e.code() : e.kind() == ServerError::Kind::BadRequest ? contract::error::kBadRequest : "other";
        }
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZBRZ WHERE CZLX00='导入'"), "0");
        exec("DELETE FROM XSTYZBZT");
        exec("UPDATE XSTYZB02 SET ZBSL00=20 WHERE RYDM00='0102' AND XHAO00=2");
        EXPECT_EQ(quantities(), before);
    }
}

BACKEND_TEST_SUITE(Import);

}  // namespace
