// Actual sales from the site's view (dsp_actuals), on SQLite and PostgreSQL:
// without a view, with one, with wrong ones, with a slow one, and the
// parameters it refuses.
#include <gtest/gtest.h>

#include <cstdio>

#include "actuals_view.h"
#include "app_server.h"
#include "backend_test.h"
#include "contract.h"
#include "database.h"
#include "demo_sales.h"

namespace {

using appserver::ServerError;
using apptest::column;

const appserver::Caller anyone;

wire::ProviderParams month_of(const std::string &month, const std::string &department)
{
    return {{contract::kMonthParam, month}, {contract::kDepartmentParam, department}};
}

class Actuals : public apptest::BackendTest {
protected:
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        exec(appserver::kDemoSalesTable);
        exec(appserver::kDemoSalesIndex);
        exec(appserver::kDemoActualsView);
        grant("XSSJ0001");
        const char *lines[] = {
            "('200303','01','0007',1,10)", "('200303','01','0007',1,5)", "('200303','01','0008',2,7)",
            "('200303','01','0008',3,NULL)", "('200303','02','0010',1,99)", "('200304','01','0007',1,50)",
        };
        for (const char *l : lines)
            exec(std::string("INSERT INTO XSSJMX01 (NYUE00,CKDM00,RYDM00,XHAO00,XSSL00) VALUES ") + l);
    }

    // The server role reads a site's view only once the site grants it.
    void grant(const std::string &view)
    {
        if (pg_) exec("GRANT SELECT ON " + view + " TO " + pg_->server_role());
    }

    // A server with the view given, checked as at start; the log line it wrote.
    std::unique_ptr<appserver::AppServer> serve(const std::string &view,
                                                std::chrono::milliseconds limit = std::chrono::seconds(5))
    {
        auto server = std::make_unique<appserver::AppServer>(server_cs());
        appserver::Connection probe(server_cs());
        log = appserver::install_actuals(*server, probe, {view, limit});
        session = server->open_session(anyone, contract::kCustObject);
        return server;
    }

    // The state, its reason, and the rows as "salesman/sequence/quantity".
    struct Answer {
        std::string state, why;
        std::vector<std::string> rows;
    };
    Answer ask(appserver::AppServer &server, const std::string &month, const std::string &department)
    {
        const wire::DataPacket p = server.get_records(anyone, session, contract::kActualsProvider, "", month_of(month, department));
        EXPECT_EQ(p.fields, contract::actuals_fields());
        Answer a;
        const wire::DataPacket &state = p.details.at(contract::kActualsStateDetail);
        a.state = wire::value_to_text(state.rows.at(0).at(0));
        a.why = wire::value_to_text(state.rows.at(0).at(1));
        for (const auto &r : p.rows)
            a.rows.push_back(wire::value_to_text(r.at(0)) + "/" + wire::value_to_text(r.at(1)) + "/" +
                             wire::value_to_text(r.at(2)));
        return a;
    }

    std::string log, session;
};

TEST_P(Actuals, WithoutAViewTheAnswerIsOffAndEmpty)
{
    auto server = serve("");
    EXPECT_NE(log.find("no actuals_view"), std::string::npos) << log;
    const Answer a = ask(*server, "200303", "01");
    EXPECT_EQ(a.state, contract::kActualsOff);
    EXPECT_TRUE(a.rows.empty());
}

TEST_P(Actuals, SumsTheDepartmentsMonthPerSalesmanAndIndicator)
{
    auto server = serve(appserver::kDemoActualsViewName);
    EXPECT_NE(log.find("from the view XSSJ0001"), std::string::npos) << log;
    const Answer a = ask(*server, "200303", "01");
    EXPECT_EQ(a.state, contract::kActualsOk);
    // Lines of one cell summed, an empty quantity as 0, other departments and months left out.
    EXPECT_EQ(a.rows, (std::vector<std::string>{"0007/1/15", "0008/2/7", "0008/3/0"}));
    // The same as the database sums itself.
    EXPECT_EQ(scalar("SELECT SUM(SJSL00) FROM XSSJ0001 WHERE NYUE00='200303' AND CKDM00='01'"), "22");
    EXPECT_TRUE(ask(*server, "200212", "01").rows.empty());
}

TEST_P(Actuals, AWrongViewIsNamedAtStartAndServedAsUnavailable)
{
    exec("CREATE VIEW XSSJBAD1 AS SELECT NYUE00, CKDM00, RYDM00, XHAO00 FROM XSSJMX01");
    grant("XSSJBAD1");
    const struct {
        const char *view, *logged, *told;
    } cases[] = {
        {"XSSJBAD1", "lacks the column SJSL00", "缺少列 SJSL00"},
        {"XSSJNONE", "cannot be read", "无法读取"},
        {"XSSJ0001; DROP TABLE XSSJMX01", "is not a view name", "不合规"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.view);
        auto server = serve(c.view);
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        EXPECT_NE(log.find("serving without actuals"), std::string::npos) << log;
        const Answer a = ask(*server, "200303", "01");
        EXPECT_EQ(a.state, contract::kActualsUnavailable);
        EXPECT_NE(a.why.find(c.told), std::string::npos) << a.why;
        EXPECT_TRUE(a.rows.empty());
    }
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM XSSJMX01"), "6") << "the name was never run as a statement";
}

TEST_P(Actuals, ASlowViewIsCutOffAndTheSessionKeepsItsOwnLimit)
{
    // A view that takes seconds for any month.
    if (postgres())
        exec("CREATE VIEW XSSJSLOW AS SELECT NYUE00, CKDM00, RYDM00, XHAO00, XSSL00 AS SJSL00 FROM XSSJMX01, "
             "(SELECT pg_sleep(5)) AS pause");
    else
        exec("CREATE VIEW XSSJSLOW AS WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 500000000) "
             "SELECT '200303' AS NYUE00, '01' AS CKDM00, '0007' AS RYDM00, 1.0 AS XHAO00, x AS SJSL00 FROM n");
    grant("XSSJSLOW");
    auto server = serve("XSSJSLOW", std::chrono::milliseconds(300));
    EXPECT_NE(log.find("from the view XSSJSLOW"), std::string::npos) << log;
    const auto started = std::chrono::steady_clock::now();
    const Answer a = ask(*server, "200303", "01");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    EXPECT_EQ(a.state, contract::kActualsUnavailable);
    EXPECT_NE(a.why.find("超过 300 毫秒"), std::string::npos) << a.why;
    // The session's next call runs under the server's limit again.
    const wire::DataPacket board =
        server->get_records(anyone, session, contract::kBoardProvider, "", month_of("200303", "01"));
    EXPECT_EQ(board.fields, contract::plan_fields());
}

TEST_P(Actuals, RefusesWhatIsNoDepartmentsMonth)
{
    auto server = serve(appserver::kDemoActualsViewName);
    const struct {
        wire::ProviderParams params;
        const char *says;
    } cases[] = {
        {{{contract::kDepartmentParam, "01"}}, "needs the parameter NYUE00"},
        {month_of("200313", "01"), "is not a month key"},
        {{{contract::kMonthParam, "200303"}}, "needs the parameter CKDM00"},
        {{{contract::kMonthParam, "200303"}, {contract::kDepartmentParam, "01"}, {"XHAO00", "1"}}, "not \"XHAO00\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.says);
        try {
            server->get_records(anyone, session, contract::kActualsProvider, "", c.params);
            ADD_FAILURE() << "not refused";
        } catch (const ServerError &e) {
            EXPECT_EQ(e.kind(), ServerError::Kind::BadRequest);
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(server->get_records(anyone, session, contract::kActualsProvider, "SELECT 1", month_of("200303", "01")),
                 ServerError);
}

BACKEND_TEST_SUITE(Actuals);

}  // namespace

namespace {

// The server as a site runs it: the view named in its config file, checked at start.
TEST(ActualsAtStart, TheLogSaysWhetherTheViewServes)
{
    testsupport::SqliteDb db(/*demo=*/true);
    testsupport::exec_sql(db.connection_string(),
                          "CREATE VIEW XSSJBAD1 AS SELECT NYUE00, CKDM00, RYDM00, XHAO00 FROM XSSJMX01");
    const struct {
        const char *view, *logged;
    } cases[] = {
        {"XSSJ0001", "actuals: from the view XSSJ0001"},
        {"XSSJBAD1", "lacks the column SJSL00 (the quantity sold); serving without actuals"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.view);
        const std::string conf = db.file() + ".conf";
        {
            FILE *f = std::fopen(conf.c_str(), "w");
            ASSERT_NE(f, nullptr);
            std::fprintf(f, "actuals_view = %s\nactuals_time_limit = 3s\n", c.view);
            std::fclose(f);
        }
        testsupport::ServerProcess server(db.connection_string(), {"--config", conf});
        EXPECT_NE(server.output().find(c.logged), std::string::npos) << server.output();
        std::remove(conf.c_str());
    }
}

}  // namespace
