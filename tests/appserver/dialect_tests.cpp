// The SQL adaptation: DELETE without FROM on both databases, a name for an
// unnamed subquery on PostgreSQL, and nothing else touched.
#include <gtest/gtest.h>

#include "dialect.h"

using appserver::adapt_statement;
using appserver::DatabaseKind;

namespace {

std::string both(const std::string &sql)
{
    const auto sqlite = adapt_statement(sql, DatabaseKind::Sqlite);
    EXPECT_EQ(sqlite, adapt_statement(sql, DatabaseKind::Postgresql)) << "the DELETE rewrite differs: " << sql;
    return sqlite;
}

TEST(DeleteWithoutFrom, GetsFromInTheLeadingForm)
{
    EXPECT_EQ(both("DELETE XSTYZB02 WHERE NYUE00='200303' And Ckdm00='01' And Rydm00='0007'"),
              "DELETE FROM XSTYZB02 WHERE NYUE00='200303' And Ckdm00='01' And Rydm00='0007'");
    EXPECT_EQ(both("  delete xstyzb02\n where a=1"), "  delete FROM xstyzb02\n where a=1");
    EXPECT_EQ(both("Delete public.XSTYZB02 Where A=1"), "Delete FROM public.XSTYZB02 Where A=1");
    EXPECT_EQ(both("DELETE \"XSTYZB02\" WHERE A=1"), "DELETE FROM \"XSTYZB02\" WHERE A=1");
}

TEST(DeleteWithoutFrom, LeavesEverythingElseAlone)
{
    for (const char *sql : {
             "DELETE FROM XSTYZB02 WHERE NYUE00='200303'",
             "delete from XSTYZB02 where NYUE00='200303'",
             "DELETE XSTYZB02",  // not the form with WHERE
             "SELECT 'DELETE XSTYZB02 WHERE 1=1' FROM GSTCKGL0",
             "INSERT INTO T SELECT * FROM U WHERE X='DELETE T WHERE'",
             "DELETED_ROWS WHERE",
             "UPDATE XSTYZB02 SET ZBSL00=1 WHERE NYUE00='DELETE X WHERE'",
             "",
         })
        EXPECT_EQ(both(sql), sql);
}

TEST(DeleteWithoutFrom, TextInQuotesIsNeverChanged)
{
    EXPECT_EQ(both("DELETE XSTYZB02 WHERE ZBMC00='DELETE A WHERE b' AND RYDM00='FROM'"),
              "DELETE FROM XSTYZB02 WHERE ZBMC00='DELETE A WHERE b' AND RYDM00='FROM'");
}

const char *kRemaining =
    "Select NYUE00,XHAO00,ZBMC00,SUM(ZBSL00) Zbsl00 FROM (SELECT NYUE00,XHAO00,ZBMC00,ZBSL00 ZBSL00 FROM XSTYZB01 "
    "WHERE NYUE00='200303' And Ckdm00='01' Union all SELECT NYUE00,XHAO00,ZBMC00,NVL(-ZBSL00,0) ZBSL00 FROM XSTYZB02 "
    "WHERE NYUE00='200303' AND Ckdm00='01' and Rydm00<>'0007') Group by Nyue00,Xhao00,Zbmc00";

TEST(UnnamedSubquery, GetsANameOnPostgresqlOnly)
{
    const std::string pg = adapt_statement(kRemaining, DatabaseKind::Postgresql);
    EXPECT_NE(pg.find("Rydm00<>'0007') AS subquery_1 Group by"), std::string::npos) << pg;
    // Apart from the name the text is the same.
    std::string back = pg;
    back.erase(back.find(" AS subquery_1"), std::string(" AS subquery_1").size());
    EXPECT_EQ(back, kRemaining);
    EXPECT_EQ(adapt_statement(kRemaining, DatabaseKind::Sqlite), kRemaining);
}

TEST(UnnamedSubquery, NamedOrNonSubqueryParenthesesStayAsTheyAre)
{
    for (const char *sql : {
             "SELECT * FROM (SELECT 1 X) T",
             "SELECT * FROM (SELECT 1 X) AS T WHERE X=1",
             "SELECT * FROM (SELECT 1 X) \"t\"",
             "SELECT COUNT(*) SL FROM XSTYZB01 WHERE CKDM00='01'",
             "SELECT * FROM A WHERE X IN (SELECT Y FROM B)",
             "SELECT 'FROM (SELECT 1) GROUP' FROM A",
             "INSERT INTO XSTYZB02(ZBSL00,NYUE00) SELECT distinct '0',NYUE00 FROM XSTYZB01 WHERE NYUE00='200303'",
         })
        EXPECT_EQ(adapt_statement(sql, DatabaseKind::Postgresql), sql);
}

TEST(UnnamedSubquery, EveryUnnamedOneIsNamedIncludingNestedAndAtTheEnd)
{
    EXPECT_EQ(adapt_statement("SELECT * FROM (SELECT * FROM (SELECT 1 X) WHERE X=1)", DatabaseKind::Postgresql),
              "SELECT * FROM (SELECT * FROM (SELECT 1 X) AS subquery_1 WHERE X=1) AS subquery_2");
    EXPECT_EQ(adapt_statement("SELECT * FROM A JOIN (SELECT 1 X) ON A.X=X", DatabaseKind::Postgresql),
              "SELECT * FROM A JOIN (SELECT 1 X) AS subquery_1 ON A.X=X");
}

}  // namespace
