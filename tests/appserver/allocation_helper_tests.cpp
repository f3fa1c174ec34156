// The allocation helpers on the server, on SQLite and PostgreSQL: the split
// of what remains and the roll-forward applied whole with their audit
// records, a preview of another state of the board refused, the weights kept
// per department, and what is refused before anything changes.
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

Caller viewer()
{
    Caller c;
    c.account = "zhao";
    c.role = appserver::Role::Viewer;
    return c;
}

// The code of the error a call throws; "" when it throws none.
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

class Helpers : public apptest::BackendTest {
protected:
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        exec("INSERT INTO GSTCKGL0 (CKDM00,CKMC00,WDBJ00) VALUES ('01','城东访销部','F'),('02','城西访销部','F')");
        for (const char *month : {"200302", "200303"})
            exec(std::string("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ") + "('" +
                 month + "','01',1,'1','卷烟销售总量',3600),('" + month + "','01',2,'2','一类卷烟销量',420),('" + month +
                 "','01',3,'3','红塔山系列'," + (month == std::string("200302") ? "540" : "500") + ")");
        exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01',4,'4','新品推广',90)");
        exec("INSERT INTO XSTYXSZB (NYUE00,XHAO00,ZBMC00) VALUES ('200302',1,'卷烟销售总量'),('200303',1,'卷烟销售总量')");
        exec("INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0101','张伟','Y','01'),"
             "('0102','李娜','Y','01'),('0103','王强','Y','01'),('0109','钱七','Y','02')");
        server_ = std::make_unique<AppServer>(server_cs());
        cust_ = server_->open_session(anyone, contract::kCustObject);
    }

    void plan(const std::string &month, const std::string &salesman, std::vector<double> quantities)
    {
        for (std::size_t i = 0; i < quantities.size(); ++i)
            exec("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00) SELECT NYUE00,XHAO00,ZBLB00,"
                 "ZBMC00," + wire::format_number(quantities[i]) + ",'01','" + salesman + "' FROM XSTYZB01 WHERE NYUE00='" +
                 month + "' AND CKDM00='01' AND XHAO00=" + std::to_string(i + 1));
    }
    allocation::Month month_of(const std::string &month)
    {
        return allocation::month_from_packet(
            server_->get_records(anyone, cust_, contract::kBoardProvider, "",
                                 {{contract::kMonthParam, month}, {contract::kDepartmentParam, "01"}}),
            month, "01");
    }
    nlohmann::json call(const char *method, wire::MethodParams params, const Caller &caller = anyone)
    {
        if (method != std::string(contract::kSaveWeightsMethod)) params.emplace(contract::kMonthParam, "200303");
        params.emplace(contract::kDepartmentParam, "01");
        const auto session = caller.role == appserver::Role::Viewer ? server_->open_session(caller, contract::kCustObject)
                                                                    : cust_;
        return server_->call_method(caller, session, method, params);
    }
    // "salesman:sequence=quantity" of the month, by salesman and sequence.
    std::vector<std::string> quantities(const std::string &month = "200303")
    {
        std::vector<std::string> out;
        for (const auto &r : query("SELECT RYDM00,XHAO00,ZBSL00 FROM XSTYZB02 WHERE NYUE00='" + month +
                                   "' ORDER BY RYDM00,XHAO00"))
            out.push_back(r[0] + ":" + r[1] + "=" + r[2]);
        return out;
    }
    std::vector<std::string> audit(const std::string &kind)
    {
        std::vector<std::string> out;
        for (const auto &r : query("SELECT RYDM00,XHAO00,SLQIAN,SLHOU0 FROM XSTYZBRZ WHERE CZLX00='" + kind +
                                   "' ORDER BY RYDM00,XHAO00"))
            out.push_back(r[0] + ":" + r[1] + "=" + r[2] + ">" + r[3]);
        return out;
    }

    std::unique_ptr<AppServer> server_;
    std::string cust_;
};

TEST_P(Helpers, SplitsWhatRemainsByEachModeInOneTransactionWithItsAudit)
{
    plan("200302", "0101", {3000, 0, 540});
    plan("200302", "0102", {600, 420, 0});
    plan("200303", "0101", {1000, 0, 0, 0});
    plan("200303", "0102", {0, 0, 0, 0});
    plan("200303", "0103", {0, 0, 0, 0});
    struct Step {
        const char *mode, *indicators, *weights;
        int changed;
        std::vector<std::string> audit;  // the operation's records
    };
    const std::vector<Step> steps = {
        // Indicator 1: 2600 left, split 3000:600 (0103 had none): 2166.7, 433.3 -> 2167, 433.
        {contract::kModeLastMonth, "1", "", 2, {"0101:1=1000>3167", "0102:1=0>433"}},
        // Indicator 2: 420 by 1:1:2.
        {contract::kModeWeights, "2", "0101:1,0102:1,0103:2", 3, {"0101:2=0>105", "0102:2=0>105", "0103:2=0>210"}},
        // What is left: indicator 3, 500 -> 167, 167, 166 (the earlier first); 4, 90 -> 30 each.
        {contract::kModeEven, "", "", 6,
         {"0101:3=0>167", "0101:4=0>30", "0102:3=0>167", "0102:4=0>30", "0103:3=0>166", "0103:4=0>30"}},
        // All of it split: nothing more to do.
        {contract::kModeEven, "", "", 0, {"0101:3=0>167", "0101:4=0>30", "0102:3=0>167", "0102:4=0>30", "0103:3=0>166",
                                          "0103:4=0>30"}},
    };
    for (const auto &step : steps) {
        const bool last_month = step.mode == std::string(contract::kModeLastMonth);
        const auto previous = month_of("200302");
        const std::string print = allocation::fingerprint(month_of("200303"), last_month ? &previous : nullptr);
        const auto done = call(contract::kAllocateRemainingMethod, {{contract::kModeParam, step.mode},
                                                                   {contract::kIndicatorsParam, step.indicators},
                                                                   {contract::kWeightsParam, step.weights},
                                                                   {contract::kFingerprintParam, print}});
        EXPECT_EQ(done.at(contract::kChangedKey), step.changed) << step.mode;
        const char *name = done.at(contract::kOperationKey).get_ref<const std::string &>().c_str();
        EXPECT_EQ(audit(name), step.audit) << step.mode;
    }
    EXPECT_EQ(quantities(), (std::vector<std::string>{"0101:1=3167", "0101:2=105", "0101:3=167", "0101:4=30",
                                                      "0102:1=433", "0102:2=105", "0102:3=167", "0102:4=30",
                                                      "0103:1=0", "0103:2=210", "0103:3=166", "0103:4=30"}));
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZBRZ"), "11");
}

TEST_P(Helpers, APreviewOfAnotherStateOfTheBoardIsRefusedWhole)
{
    plan("200302", "0101", {10, 10, 10});
    plan("200303", "0101", {0, 0, 0, 0});
    plan("200303", "0102", {0, 0, 0, 0});
    const std::string split_print = allocation::fingerprint(month_of("200303"), nullptr);
    const auto previous = month_of("200302");
    const std::string roll_print = allocation::fingerprint(month_of("200303"), &previous);
    // Another planner saves meanwhile.
    exec("UPDATE XSTYZB02 SET ZBSL00=5 WHERE RYDM00='0102' AND XHAO00=2");
    const auto before = quantities();
    std::string message;
    EXPECT_EQ(refusal_of([&] {
                  call(contract::kAllocateRemainingMethod,
                       {{contract::kModeParam, contract::kModeEven}, {contract::kFingerprintParam, split_print}});
              }, &message),
              contract::error::kBoardChanged);
    EXPECT_NE(message.find("预览之后已有改动"), std::string::npos) << message;
    EXPECT_EQ(refusal_of([&] { call(contract::kRollForwardMethod, {{contract::kFingerprintParam, roll_print}}); }),
              contract::error::kBoardChanged);
    EXPECT_EQ(quantities(), before);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZBRZ"), "0");
    // Computed again from the board as it is, it goes through.
    call(contract::kAllocateRemainingMethod,
         {{contract::kModeParam, contract::kModeEven},
          {contract::kFingerprintParam, allocation::fingerprint(month_of("200303"), nullptr)}});
    EXPECT_EQ(scalar("SELECT SUM(ZBSL00) FROM XSTYZB02 WHERE NYUE00='200303'"), "4610");
}

TEST_P(Helpers, BadInputIsRefusedBeforeAnythingChanges)
{
    plan("200303", "0101", {0, 0, 0, 0});
    plan("200303", "0102", {0, 0, 0, 0});
    call(contract::kSaveWeightsMethod, {{contract::kWeightsParam, "0101:2,0102:1"}});
    struct Case {
        const char *method;
        wire::MethodParams params;
        const char *code;
        const char *says;
        bool as_viewer = false;
    };
    using contract::kModeParam, contract::kWeightsParam;
    const char *even = contract::kModeEven, *weights = contract::kModeWeights;
    const std::vector<Case> cases = {
        {contract::kAllocateRemainingMethod, {{kModeParam, even}}, contract::error::kReadOnlyAccount, "只读", true},
        {contract::kRollForwardMethod, {}, contract::error::kReadOnlyAccount, "只读", true},
        {contract::kSaveWeightsMethod, {{kWeightsParam, "0101:1"}}, contract::error::kReadOnlyAccount, "只读", true},
        {contract::kAllocateRemainingMethod, {{kModeParam, "odd"}}, contract::error::kBadRequest, "FPFS00"},
        {contract::kAllocateRemainingMethod, {{kModeParam, even}, {contract::kIndicatorsParam, "1,x"}},
         contract::error::kBadRequest, "\"x\""},
        {contract::kAllocateRemainingMethod, {{kModeParam, even}, {contract::kMonthParam, "200313"}},
         contract::error::kBadRequest, "200313"},
        {contract::kAllocateRemainingMethod, {{kModeParam, weights}, {kWeightsParam, "0101:-1,0102:3"}},
         contract::error::kAllocationRefused, "不能为负数"},
        {contract::kAllocateRemainingMethod, {{kModeParam, weights}, {kWeightsParam, "0101:0,0102:0"}},
         contract::error::kAllocationRefused, "全为 0"},
        {contract::kAllocateRemainingMethod, {{kModeParam, weights}, {kWeightsParam, "0101:abc"}},
         contract::error::kAllocationRefused, "不是数字"},
        {contract::kSaveWeightsMethod, {{kWeightsParam, "0101:0"}}, contract::error::kAllocationRefused, "全为 0"},
        {contract::kSaveWeightsMethod, {{kWeightsParam, "0101:-2"}}, contract::error::kAllocationRefused, "负数"},
        // No plan in the previous month (200302) at all.
        {contract::kRollForwardMethod, {}, contract::error::kAllocationRefused, "没有访销员计划"},
        {contract::kRollForwardMethod, {{contract::kMonthParam, "200304"}}, contract::error::kGenerationRefused,
         "上级计划还未生成"},
    };
    for (const auto &c : cases) {
        std::string message;
        EXPECT_EQ(refusal_of([&] { call(c.method, c.params, c.as_viewer ? viewer() : anyone); }, &message), c.code)
            << c.method << " " << c.says;
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
    }
    EXPECT_EQ(scalar("SELECT SUM(ZBSL00) FROM XSTYZB02"), "0");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZBRZ"), "0");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE NYUE00='200304'"), "0");
    // The weights stored stay as they were, and every planner (a viewer too) reads them.
    const auto read = server_->get_records(viewer(), server_->open_session(viewer(), contract::kCustObject),
                                           contract::kWeightsProvider, "", {{contract::kDepartmentParam, "01"}});
    ASSERT_EQ(read.rows.size(), 2u);
    EXPECT_EQ(read.rows[0], (wire::Row{std::string("0101"), 2.0}));
    EXPECT_EQ(read.rows[1], (wire::Row{std::string("0102"), 1.0}));
    call(contract::kSaveWeightsMethod, {{kWeightsParam, "0103:4"}});
    const auto replaced = server_->get_records(anyone, cust_, contract::kWeightsProvider, "", {{"ckdm00", "01"}});
    ASSERT_EQ(replaced.rows.size(), 1u);
    EXPECT_EQ(replaced.rows[0], (wire::Row{std::string("0103"), 4.0}));
    EXPECT_TRUE(server_->get_records(anyone, cust_, contract::kWeightsProvider, "", {{"CKDM00", "02"}}).rows.empty());
}

TEST_P(Helpers, RollForwardGeneratesLastMonthsSplitAgainstTheNewPlan)
{
    plan("200302", "0101", {3000, 0, 540});
    plan("200302", "0102", {600, 420, 0});
    plan("200302", "0109", {0, 0, 0});  // moved to department 02 since
    const auto previous = month_of("200302");
    const auto done = call(contract::kRollForwardMethod,
                           {{contract::kFingerprintParam, allocation::fingerprint(month_of("200303"), &previous)}});
    EXPECT_EQ(done.at(contract::kOperationKey), "沿用上月");
    EXPECT_EQ(done.at(contract::kCarriedKey), (std::vector<std::string>{"0101", "0102"}));
    EXPECT_EQ(done.at(contract::kNewSalesmenKey), (std::vector<std::string>{"0103"}));
    EXPECT_EQ(done.at(contract::kLeftKey), (std::vector<std::string>{"0109"}));
    EXPECT_EQ(done.at(contract::kNewIndicatorsKey), (std::vector<std::string>{"新品推广"}));
    EXPECT_EQ(done.at(contract::kRowsKey), 12);
    // Indicator 3 is 500 now (540 last month, all 0101's): it scales down.
    const std::vector<std::string> expected = {"0101:1=3000", "0101:2=0", "0101:3=500", "0101:4=0",
                                               "0102:1=600",  "0102:2=420", "0102:3=0", "0102:4=0",
                                               "0103:1=0",    "0103:2=0",   "0103:3=0", "0103:4=0"};
    EXPECT_EQ(quantities(), expected);
    // The rows are the plan month dialog's: its fields, and one audit record each.
    EXPECT_EQ(query("SELECT DISTINCT ZBLB00,SPDM00,SPDM01,ZBLBMC,CKDM00 FROM XSTYZB02 WHERE NYUE00='200303' AND XHAO00=4"),
              (std::vector<std::vector<std::string>>{{"4", "", "", "", "01"}}));
    std::vector<std::string> records;  // nothing before, the quantity after
    for (std::string e : expected) records.push_back(e.insert(e.find('=') + 1, ">"));
    EXPECT_EQ(audit("沿用上月"), records);
    // Nothing more to carry.
    std::string message;
    EXPECT_EQ(refusal_of([&] { call(contract::kRollForwardMethod, {}); }, &message), contract::error::kAllocationRefused);
    EXPECT_EQ(quantities().size(), 12u);
}

BACKEND_TEST_SUITE(Helpers);

}  // namespace
