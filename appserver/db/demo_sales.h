// A made-up sales table of the demo database and the view of actual sales
// over it, in the shape the server's actuals_view takes (README: "Actual
// sales"): the demo shows the board's 显示完成 with it, the benchmark fills
// the same table with millions of rows.
#pragma once

#include <string>

#include "database.h"

namespace appserver {

// The sales lines: one per day, salesman and indicator (a site's own table
// would hold products, which its view maps to indicators).
inline constexpr const char *kDemoSalesTable =
    "CREATE TABLE IF NOT EXISTS XSSJMX01 (NYUE00 VARCHAR(6) NOT NULL, XSRQ00 VARCHAR(10), CKDM00 VARCHAR(2) NOT NULL, "
    "RYDM00 VARCHAR(4) NOT NULL, XHAO00 DOUBLE PRECISION, XSSL00 DOUBLE PRECISION)";
// The index the README recommends: the view's filter first, then what it
// sums, so a department's month is read from the index alone.
inline constexpr const char *kDemoSalesIndex =
    "CREATE INDEX IF NOT EXISTS XSSJMX01_ACTUALS ON XSSJMX01 (NYUE00, CKDM00, RYDM00, XHAO00, XSSL00)";
inline constexpr const char *kDemoActualsViewName = "XSSJ0001";
inline constexpr const char *kDemoActualsView =
    "CREATE VIEW XSSJ0001 AS SELECT NYUE00, CKDM00, RYDM00, XHAO00, XSSL00 AS SJSL00 FROM XSSJMX01";

// Creates the table, its index and the view, and fills in sales of this
// month so far and of last month against the demo plans: 张伟 ahead of
// pace, 李娜 behind, 王强 selling without a plan, 刘洋 (no visit-salesman)
// and an indicator no plan holds, which the board shows as "其他".
void load_demo_sales(Connection &db);

}  // namespace appserver
