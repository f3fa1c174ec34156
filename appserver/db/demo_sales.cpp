#include "demo_sales.h"

#include <cmath>
#include <ctime>
#include <cstdio>
#include <map>
#include <vector>

namespace appserver {

namespace {

std::string month_key_of(int year, int month)
{
    char key[16];
    std::snprintf(key, sizeof key, "%04d%02d", year, month);
    return key;
}

int days_in_month(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// A month's sales lines: for each (salesman, indicator) the month's total
// spread over the days given, day by day in whole cartons.
void insert_sales(Connection &db, const std::string &month, int days, int month_days, const std::string &department,
                  const std::string &salesman, double sequence, double month_total)
{
    double sold = 0;
    for (int d = 1; d <= days; ++d) {
        const double due = std::floor(month_total * d / month_days + 0.5);
        const double q = due - sold;
        sold = due;
        if (q <= 0) continue;
        const std::string date = month.substr(0, 4) + "-" + month.substr(4, 2) + "-" + (d < 10 ? "0" : "") + std::to_string(d);
        db.run("INSERT INTO XSSJMX01 (NYUE00,XSRQ00,CKDM00,RYDM00,XHAO00,XSSL00) VALUES (?,?,?,?,?,?)",
               {month, date, department, salesman, sequence, q});
    }
}

}  // namespace

void load_demo_sales(Connection &db)
{
    db.run(kDemoSalesTable);
    db.run(kDemoSalesIndex);
    db.run(kDemoActualsView);

    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const int year = local.tm_year + 1900, month = local.tm_mon + 1, today = local.tm_mday;
    const int last_year = month == 1 ? year - 1 : year, last_month = month == 1 ? 12 : month - 1;
    const std::string m0 = month_key_of(year, month), m1 = month_key_of(last_year, last_month);

    // How each salesman sells against his plan over a whole month.
    const std::map<std::string, double> pace = {{"0101", 1.12}, {"0102", 0.78}, {"0103", 0.95}, {"0201", 1.0}};
    struct Plan {
        std::string month, department, salesman;
        double sequence, quantity;
    };
    std::vector<Plan> plans;
    for (const auto &r : db.run("SELECT NYUE00,CKDM00,RYDM00,XHAO00,ZBSL00 FROM XSTYZB02 WHERE NYUE00=? OR NYUE00=? "
                                "ORDER BY NYUE00,CKDM00,RYDM00,XHAO00",
                                {m0, m1})
                             .packet.rows)
        plans.push_back({wire::value_to_text(r[0]), wire::value_to_text(r[1]), wire::value_to_text(r[2]),
                         wire::value_to_double(r[3]), wire::value_to_double(r[4])});
    for (const Plan &p : plans) {
        const bool current = p.month == m0;
        const int month_days = current ? days_in_month(year, month) : days_in_month(last_year, last_month);
        const auto it = pace.find(p.salesman);
        insert_sales(db, p.month, current ? today : month_days, month_days, p.department, p.salesman, p.sequence,
                     p.quantity * (it == pace.end() ? 1.0 : it->second));
    }
    // This month: 王强 sells before his plan is made, 刘洋 sells though he is
    // no visit-salesman, and a product line no indicator holds (序号 9).
    const int month_days = days_in_month(year, month);
    insert_sales(db, m0, today, month_days, "01", "0103", 1, 900);
    insert_sales(db, m0, today, month_days, "01", "0103", 2, 110);
    insert_sales(db, m0, today, month_days, "01", "0104", 1, 150);
    insert_sales(db, m0, today, month_days, "01", "0101", 9, 60);
}

}  // namespace appserver
