// The server's commands on the database: the audit command's output written
// while it reads, and init deciding whether the plans' unique key stands.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "accounts.h"
#include "app_server.h"
#include "audit.h"
#include "backend_test.h"
#include "database.h"
#include "database_setup.h"
#include "schema.h"

namespace {

class ServerCommands : public apptest::BackendTest {
protected:
    // n records of which some hold what CSV must quote and the table must
    // pad by display width: commas, quotes, line breaks, Chinese.
    void add_records(int n)
    {
        std::string values;
        for (int i = 1; i <= n; ++i) {
            const std::string reason = i % 7 == 0 ? "'调整, 见\"说明\"'" : i % 11 == 0 ? "'two\r\nlines'" : "NULL";
            const std::string name = i % 3 == 0 ? "'卷烟销售总量'" : "'plain'";
            const std::string before = i % 5 == 0 ? "NULL" : std::to_string(i) + ".5";
            values += (values.empty() ? "" : ",") + std::string("('2026-01-02T03:04:05Z','wang','10.0.0.") +
                      std::to_string(i % 250) + "','quantity changed','2026" + (i % 2 ? "01" : "02") + "','0" +
                      std::to_string(1 + i % 3) + "','0101'," + std::to_string(i % 12) + "," + name + "," + before +
                      "," + std::to_string(i) + "," + std::to_string(i) + "," + reason + ")";
        }
        exec("INSERT INTO XSTYZBRZ (CZSJ00,YHMC00,KHDZ00,CZLX00,NYUE00,CKDM00,RYDM00,XHAO00,ZBMC00,SLQIAN,SLHOU0,"
             "JHHANG,LYOU00) VALUES " + values);
    }

    struct Written {
        std::string text;
        int pieces = 0;
        std::size_t largest = 0;
    };
    Written write(const appserver::AuditFilter &filter, appserver::AuditFormat format) const
    {
        Written w;
        appserver::write_audit(cs(), filter, format, [&](std::string_view piece) {
            w.text.append(piece);
            ++w.pieces;
            w.largest = std::max(w.largest, piece.size());
        });
        return w;
    }
};

// The streamed output is byte for byte what the command wrote from the
// whole trail in memory, for both formats and with filters, and leaves in
// pieces of bounded size rather than as one text.
TEST_P(ServerCommands, AuditOutputIsTheWholeTrailsTextWrittenInPieces)
{
    appserver::init_database(cs(), false);
    add_records(6000);
    appserver::AuditFilter all, month, none;
    month.month = "202601";
    month.department = "02";
    none.salesman = "9999";
    for (const auto *filter : {&all, &month, &none}) {
        const auto records = appserver::read_audit(cs(), *filter);
        const Written csv = write(*filter, appserver::AuditFormat::Csv);
        const Written table = write(*filter, appserver::AuditFormat::Table);
        EXPECT_EQ(csv.text, appserver::audit_csv(records));
        EXPECT_EQ(table.text, appserver::audit_table_text(records));
        if (filter == &all) {
            ASSERT_EQ(records.size(), 6000u);
            EXPECT_GT(csv.pieces, 3) << "written as one text";
            EXPECT_LT(csv.largest, 128u * 1024);
            EXPECT_LT(table.largest, 128u * 1024);
        }
    }
    // What the formats must be, not only alike: quoted cells, padded Chinese.
    const std::string csv = write(all, appserver::AuditFormat::Csv).text;
    EXPECT_EQ(csv.rfind("time,account,address,change,month,department,salesman,sequence,indicator,before,after,"
                        "reason\r\n",
                        0),
              0u);
    EXPECT_NE(csv.find(",0101,7,plain,7.5,7,\"调整, 见\"\"说明\"\"\"\r\n"), std::string::npos);
    EXPECT_NE(csv.find(",0101,11,plain,11.5,11,\"two\r\nlines\"\r\n"), std::string::npos);
    const std::string table = write(none, appserver::AuditFormat::Table).text;
    EXPECT_EQ(table, "time (UTC)  account  address  change  month  department  salesman  seq  indicator  before  after  "
                     "reason\n0 record(s)\n");
}

// init looks through the plan table for rows the unique key would forbid
// only where the key does not stand; the decision reads the catalogue.
TEST_P(ServerCommands, PlanKeyIsFoundInTheCatalogueNotInTheTable)
{
    appserver::init_database(cs(), false);
    {
        appserver::Connection db(cs());
        EXPECT_TRUE(appserver::plan_key_stands(db));
    }
    exec("DROP INDEX XSTYZB02_PLAN");
    {
        appserver::Connection db(cs());
        EXPECT_FALSE(appserver::plan_key_stands(db));
    }
    // An index of that name that is not unique is no key.
    exec("CREATE INDEX XSTYZB02_PLAN ON XSTYZB02 (NYUE00)");
    {
        appserver::Connection db(cs());
        EXPECT_FALSE(appserver::plan_key_stands(db));
    }
    exec("DROP INDEX XSTYZB02_PLAN");
    appserver::init_database(cs(), false);
    appserver::Connection db(cs());
    EXPECT_TRUE(appserver::plan_key_stands(db)) << "init made it again";
}

// A token checked good is trusted by reads for a few seconds without the
// database: a sign-out on the same server ends it at once, one on another
// server on the same database, or the account's removal, within
// kTokenTrustedFor; a change always asks the database.
TEST_P(ServerCommands, ATrustedTokenEndsAtOnceHereAndWithinTheBoundElsewhere)
{
    appserver::init_database(cs(), false);
    testsupport::add_account(cs(), "wang", "planner", "wang-secret");
    testsupport::add_account(cs(), "li", "planner", "li-secret");
    appserver::AppServer one(server_cs()), two(server_cs());
    const auto refused_within_bound = [](appserver::AppServer &server, const std::string &token) {
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < appserver::kTokenTrustedFor + std::chrono::seconds(3)) {
            try {
                server.caller_of_token(token, "10.0.0.1", true);
            } catch (const appserver::ServerError &) {
                return std::chrono::steady_clock::now() - start <= appserver::kTokenTrustedFor + std::chrono::seconds(1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    };
    // Signed out on the first: refused there at once, on the second in time.
    const auto wang = one.login("wang", "wang-secret", "10.0.0.1");
    EXPECT_EQ(one.caller_of_token(wang.token, "10.0.0.1", true).account, "wang");
    EXPECT_EQ(two.caller_of_token(wang.token, "10.0.0.1", true).account, "wang");
    one.logout(one.caller_of_token(wang.token, "10.0.0.1"));
    EXPECT_THROW(one.caller_of_token(wang.token, "10.0.0.1", true), appserver::ServerError);
    // A change asks the database every time: refused on the second at once.
    EXPECT_THROW(two.caller_of_token(wang.token, "10.0.0.1"), appserver::ServerError);
    EXPECT_TRUE(refused_within_bound(two, wang.token));
    // The account removed by the administrator's command.
    const auto li = one.login("li", "li-secret", "10.0.0.2");
    EXPECT_EQ(one.caller_of_token(li.token, "10.0.0.2", true).role, appserver::Role::Planner);
    appserver::remove_account(cs(), "li");
    EXPECT_THROW(one.caller_of_token(li.token, "10.0.0.2"), appserver::ServerError);
    EXPECT_TRUE(refused_within_bound(one, li.token));
}

BACKEND_TEST_SUITE(ServerCommands);

}  // namespace
