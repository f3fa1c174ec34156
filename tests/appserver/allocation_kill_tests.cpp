// A server killed while it rolls a large department's month forward: the
// month is afterwards wholly as before the call or wholly as after it, and
// the audit records match the rows that stayed, one for one.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "backend_test.h"
#include "contract.h"

namespace {

constexpr int kSalesmen = 40, kIndicators = 150;
const char *const kLast = "200302", *const kThis = "200303";

class RollForwardKill : public apptest::BackendTest {
protected:
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        exec("INSERT INTO GSTCKGL0 (CKDM00,CKMC00,WDBJ00) VALUES ('01','城东访销部','F')");
        exec(std::string("INSERT INTO XSTYXSZB (NYUE00,XHAO00,ZBMC00) VALUES ('") + kThis + "',1,'指标1')");
        std::string plans, salesmen, rows;
        for (int i = 1; i <= kIndicators; ++i)
            for (const char *month : {kLast, kThis})
                plans += std::string(plans.empty() ? "" : ",") + "('" + month + "','01'," + std::to_string(i) +
                         ",'1','指标" + std::to_string(i) + "'," + std::to_string(1000 + i) + ")";
        for (int s = 0; s < kSalesmen; ++s) {
            const std::string code = std::to_string(1000 + s);
            salesmen += std::string(salesmen.empty() ? "" : ",") + "('" + code + "','员" + code + "','Y','01')";
            for (int i = 1; i <= kIndicators; ++i)
                rows += std::string(rows.empty() ? "" : ",") + "('" + kLast + "','01','" + code + "'," +
                        std::to_string(i) + ",'1','指标" + std::to_string(i) + "'," + std::to_string(s + i) + ")";
        }
        exec("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES " + plans);
        exec("INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES " + salesmen);
        exec("INSERT INTO XSTYZB02 (NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES " + rows);
    }
    int count(const std::string &sql) { return std::stoi(scalar(sql)); }
};

TEST_P(RollForwardKill, TheMonthIsWhollyBeforeOrWhollyAfterWithTheAuditMatching)
{
    const std::string month = std::string("NYUE00='") + kThis + "'";
    // Rolls forward on a fresh server; kills it after `kill_after` unless that is negative.
    auto roll = [&](std::chrono::milliseconds kill_after) {
        testsupport::ServerProcess process(cs());
        httplib::Client http("127.0.0.1", process.port());
        http.set_read_timeout(60);
        const auto opened = http.Post("/v1/sessions", nlohmann::json{{"object", contract::kCustObject}}.dump(),
                                      "application/json");
        EXPECT_TRUE(opened && opened->status == 201);
        const std::string session = opened ? nlohmann::json::parse(opened->body).value("session", "") : "";
        std::atomic<int> status{0};
        std::thread call([&] {
            const auto r = http.Post("/v1/sessions/" + session + "/methods/" + contract::kRollForwardMethod,
                                     nlohmann::json{{"params", {{"NYUE00", kThis}, {"CKDM00", "01"}}}}.dump(),
                                     "application/json");
            status = r ? r->status : -1;
        });
        if (kill_after.count() >= 0) {
            std::this_thread::sleep_for(kill_after);
            ::kill(process.pid(), SIGKILL);
        }
        call.join();
        return status.load();
    };
    auto check = [&](int status) {
        const int rows = count("SELECT COUNT(*) FROM XSTYZB02 WHERE " + month);
        const int records = count("SELECT COUNT(*) FROM XSTYZBRZ WHERE CZLX00='沿用上月' AND " + month);
        EXPECT_TRUE(rows == 0 || rows == kSalesmen * kIndicators) << rows << " rows: the month is half rolled";
        EXPECT_EQ(records, rows) << "one record per row that stayed";
        if (status == 200) EXPECT_EQ(rows, kSalesmen * kIndicators) << "answered done, so it stayed";
        if (rows == 0) return false;
        // Wholly after: every indicator's plan split whole, the records the rows' own.
        EXPECT_EQ(count("SELECT COUNT(*) FROM (SELECT XHAO00 FROM XSTYZB02 WHERE " + month +
                        " GROUP BY XHAO00 HAVING SUM(ZBSL00) <> 1000 + XHAO00) t"), 0);
        EXPECT_EQ(count("SELECT COUNT(*) FROM XSTYZBRZ r JOIN XSTYZB02 p ON p.ROWID00 = r.JHHANG WHERE "
                        "r.CZLX00='沿用上月' AND r.SLHOU0 = p.ZBSL00"), rows);
        exec("DELETE FROM XSTYZB02 WHERE " + month);
        exec("DELETE FROM XSTYZBRZ");
        return true;
    };

    // Undisturbed, it goes through; how long it takes sets when the kills come.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(roll(std::chrono::milliseconds(-1)), 200);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    ASSERT_TRUE(check(200));
    int before = 0, after = 0;
    for (int eighth = 0; eighth <= 10; ++eighth) {
        SCOPED_TRACE(eighth);
        const int status = roll(took * eighth / 8);
        (check(status) ? after : before) += 1;
    }
    std::printf("an undisturbed roll-forward took %lld ms; killed at eighths of it: %d times before the commit, "
                "%d after\n", static_cast<long long>(took.count()), before, after);
}

BACKEND_TEST_SUITE(RollForwardKill);

}  // namespace
