#include "schema.h"

#include <cctype>
#include <cmath>
#include <ctime>
#include <vector>

#include "contract.h"
#include "demo_sales.h"
#include "dialect.h"

namespace appserver {

namespace {

// Text columns are sized in bytes of the 8-bit Chinese code page (two per
// Chinese character). VARCHAR(n) limits characters on PostgreSQL and nothing
// on SQLite, so the widest value of n such bytes always fits in UTF-8.
const char *const kTables[] = {
    // Department monthly plan: one row per department, month and indicator.
    "CREATE TABLE IF NOT EXISTS XSTYZB01 ("
    "NYUE00 VARCHAR(6) NOT NULL, CKDM00 VARCHAR(2) NOT NULL, XHAO00 DOUBLE PRECISION, "
    "ZBLB00 VARCHAR(1), ZBMC00 VARCHAR(50), ZBSL00 DOUBLE PRECISION, "
    "SPDM00 VARCHAR(8), SPDM01 VARCHAR(8), ZBLBMC VARCHAR(8))",
    // Salesman monthly plan; ROWID00 is the row identity the plan provider
    // hands out and applies changes by.
    nullptr,
    // Monthly sales indicators.
    "CREATE TABLE IF NOT EXISTS XSTYXSZB ("
    "NYUE00 VARCHAR(6) NOT NULL, XHAO00 DOUBLE PRECISION, ZBLB00 VARCHAR(1), ZBMC00 VARCHAR(50), "
    "SPDM00 VARCHAR(8), XSSL00 DOUBLE PRECISION, XSJE00 DOUBLE PRECISION)",
    // Warehouses, which serve as visit-sales departments.
    "CREATE TABLE IF NOT EXISTS GSTCKGL0 ("
    "CKDM00 VARCHAR(2) NOT NULL PRIMARY KEY, CKMC00 VARCHAR(40), WDBJ00 VARCHAR(1), ZZRQ00 DATE)",
    // Staff.
    "CREATE TABLE IF NOT EXISTS GSTRYGL0 ("
    "RYDM00 VARCHAR(4) NOT NULL PRIMARY KEY, RYMC00 VARCHAR(20), FXY000 VARCHAR(1), CKDM00 VARCHAR(2))",
    "CREATE INDEX IF NOT EXISTS XSTYZB01_MONTH ON XSTYZB01 (NYUE00, CKDM00)",
    "CREATE INDEX IF NOT EXISTS XSTYZB02_MONTH ON XSTYZB02 (NYUE00, CKDM00, RYDM00)",
    "CREATE INDEX IF NOT EXISTS XSTYXSZB_MONTH ON XSTYXSZB (NYUE00)",
};

std::string plan_table(DatabaseKind kind)
{
    const std::string identity = identity_column(kind, "ROWID00");
    return "CREATE TABLE IF NOT EXISTS XSTYZB02 ("
           "NYUE00 VARCHAR(6) NOT NULL, XHAO00 DOUBLE PRECISION, ZBLB00 VARCHAR(1), ZBMC00 VARCHAR(50), "
           "ZBSL00 DOUBLE PRECISION, CKDM00 VARCHAR(2) NOT NULL, RYDM00 VARCHAR(4) NOT NULL, "
           "SPDM00 VARCHAR(8), SPDM01 VARCHAR(8), ZBLBMC VARCHAR(8), " +
           identity + ")";
}

struct Indicator {
    double xhao;
    const char *category;
    const char *category_name;
    const char *name;
    const char *numerator;    // SPDM00
    const char *denominator;  // SPDM01
    double base_quantity;     // cartons a department of full size plans per month
};

const Indicator kIndicators[] = {
    {1, "1", "总量指标", "卷烟销售总量", nullptr, nullptr, 3600},
    {2, "2", "结构指标", "一类卷烟销量", "10010001", nullptr, 420},
    {3, "2", "结构指标", "二类卷烟销量", "10020001", nullptr, 860},
    {4, "3", "品牌指标", "红塔山系列", "20010001", "20010009", 540},
    {5, "3", "品牌指标", "云烟系列", "20020001", "20020009", 720},
    {6, "4", "新品指标", "新品推广", "30010001", nullptr, 90},
};

wire::Value text_or_null(const char *s) { return s ? wire::Value(std::string(s)) : wire::Value(); }

double department_quantity(const Indicator &ind, double scale) { return std::round(ind.base_quantity * scale); }

void insert_department_plan(Connection &db, const std::string &month, const std::string &dept, double scale)
{
    for (const auto &ind : kIndicators)
        db.run("INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00,SPDM00,SPDM01,ZBLBMC) "
               "VALUES (?,?,?,?,?,?,?,?,?)",
               {month, dept, ind.xhao, std::string(ind.category), std::string(ind.name),
                department_quantity(ind, scale), text_or_null(ind.numerator), text_or_null(ind.denominator),
                std::string(ind.category_name)});
}

// A salesman's plan: one row per indicator with the given shares of the
// department's quantity. generated_only leaves the columns the generation
// does not fill (product codes, category name) empty.
void insert_salesman_plan(Connection &db, const std::string &month, const std::string &dept,
                          const std::string &salesman, double scale, const std::vector<double> &shares,
                          bool generated_only)
{
    for (std::size_t i = 0; i < std::size(kIndicators); ++i) {
        const auto &ind = kIndicators[i];
        const double quantity = std::floor(department_quantity(ind, scale) * shares[i]);
        db.run("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC) "
               "VALUES (?,?,?,?,?,?,?,?,?,?)",
               {month, ind.xhao, std::string(ind.category), std::string(ind.name), quantity, dept, salesman,
                generated_only ? wire::Value() : text_or_null(ind.numerator),
                generated_only ? wire::Value() : text_or_null(ind.denominator),
                generated_only ? wire::Value() : wire::Value(std::string(ind.category_name))});
    }
}

void insert_sales_indicators(Connection &db, const std::string &month)
{
    for (const auto &ind : kIndicators)
        db.run("INSERT INTO XSTYXSZB (NYUE00,XHAO00,ZBLB00,ZBMC00,SPDM00,XSSL00,XSJE00) VALUES (?,?,?,?,?,?,?)",
               {month, ind.xhao, std::string(ind.category), std::string(ind.name), text_or_null(ind.numerator),
                ind.base_quantity * 4, ind.base_quantity * 4 * 215.5});
}

}  // namespace

std::string month_key(int year, int month) { return contract::month_key(year, month); }

std::string month_key_from_today(int months_back)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    int index = (local.tm_year + 1900) * 12 + local.tm_mon - months_back;
    return month_key(index / 12, index % 12 + 1);
}

bool plan_key_stands(Connection &db)
{
    // The catalogue alone: a name and whether it is unique, however large the table.
    const auto found =
        db.kind() == DatabaseKind::Sqlite
            ? db.run("SELECT sql FROM sqlite_master WHERE type='index' AND tbl_name='XSTYZB02' COLLATE NOCASE "
                     "AND name='XSTYZB02_PLAN' COLLATE NOCASE")
            : db.run("SELECT indexdef FROM pg_indexes WHERE schemaname=current_schema() AND tablename='xstyzb02' "
                     "AND indexname='xstyzb02_plan'");
    if (found.packet.rows.empty()) return false;
    std::string definition = wire::value_to_text(found.packet.rows[0].at(0));
    for (char &c : definition) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return definition.rfind("CREATE UNIQUE INDEX", 0) == 0;
}

namespace {

// One plan per salesman and month: one row per distinct indicator, as the
// generation copies them from the department plan.
const char *kPlanKey = "NYUE00, CKDM00, RYDM00, XHAO00, ZBLB00, ZBMC00";

// The unique key of the salesman plans. A database that already holds two
// rows of one indicator for one salesman and month cannot take it: those rows
// are named for the planners to clean up, and nothing is changed.
void create_plan_key(Connection &db)
{
    // Where the key stands, the table cannot hold such rows: nothing to read.
    if (plan_key_stands(db)) return;
    const auto duplicates =
        db.run(std::string("SELECT ") + kPlanKey + ", COUNT(*) FROM XSTYZB02 "
               "WHERE XHAO00 IS NOT NULL AND ZBLB00 IS NOT NULL AND ZBMC00 IS NOT NULL GROUP BY " + kPlanKey +
               " HAVING COUNT(*) > 1 ORDER BY " + kPlanKey)
            .packet;
    if (!duplicates.rows.empty()) {
        std::string list;
        std::size_t shown = 0;
        for (const auto &r : duplicates.rows) {
            if (++shown > 20) {
                list += "\n  ... and " + std::to_string(duplicates.rows.size() - 20) + " more";
                break;
            }
            const auto ids = db.run("SELECT ROWID00 FROM XSTYZB02 WHERE NYUE00=? AND CKDM00=? AND RYDM00=? AND "
                                    "XHAO00=? AND ZBLB00=? AND ZBMC00=? ORDER BY ROWID00",
                                    {r[0], r[1], r[2], r[3], r[4], r[5]})
                                 .packet;
            std::string rows;
            for (const auto &id : ids.rows) rows += (rows.empty() ? "" : ", ") + wire::value_to_text(id[0]);
            list += "\n  month " + wire::value_to_text(r[0]) + ", department " + wire::value_to_text(r[1]) +
                    ", salesman " + wire::value_to_text(r[2]) + ", sequence number " + wire::value_to_text(r[3]) +
                    ", indicator " + wire::value_to_text(r[5]) + ": rows (ROWID00) " + rows;
        }
        throw ServerError(ServerError::Kind::BadRequest,
                          "XSTYZB02 holds " + std::to_string(duplicates.rows.size()) +
                              " indicator(s) twice or more for one salesman and month, so its unique key cannot "
                              "be created; delete the surplus rows (keep one of each) and run it again; nothing "
                              "was changed:" + list);
    }
    db.run(std::string("CREATE UNIQUE INDEX IF NOT EXISTS XSTYZB02_PLAN ON XSTYZB02 (") + kPlanKey + ")");
}

}  // namespace

void create_schema(Connection &db)
{
    for (const char *statement : kTables) db.run(statement ? statement : plan_table(db.kind()));
    create_plan_key(db);
}

bool plan_tables_empty(Connection &db)
{
    for (const char *table : {"XSTYZB01", "XSTYZB02", "XSTYXSZB", "GSTCKGL0", "GSTRYGL0"}) {
        const auto r = db.run(std::string("SELECT COUNT(*) FROM ") + table);
        if (wire::value_to_double(r.packet.rows.at(0).at(0)) != 0) return false;
    }
    return true;
}

void load_demo_data(Connection &db)
{
    // Departments, in the order the department list shows them. Of these the
    // list shows 01, 02, 03 and 06: 04 is closed, 05 is not a visit-sales
    // department, and HZ, 0F, 0B, 0P are always left out.
    struct Department {
        const char *code, *name, *flag, *closed;
    };
    const Department departments[] = {
        {"01", "城东访销部", "F", nullptr},      {"02", "城西访销部", "F", nullptr},
        {"03", "城北访销部", "F", nullptr},      {"04", "城南访销部", "F", "2023-06-30"},
        {"05", "批发部", "T", nullptr},          {"06", "郊县访销部", "F", nullptr},
        {"HZ", "汇总仓库", "F", nullptr},        {"0F", "分公司仓库", "F", nullptr},
        {"0B", "备货仓库", "F", nullptr},        {"0P", "配送中心", "F", nullptr},
    };
    for (const auto &d : departments)
        db.run("INSERT INTO GSTCKGL0 (CKDM00,CKMC00,WDBJ00,ZZRQ00) VALUES (?,?,?,?)",
               {std::string(d.code), std::string(d.name), std::string(d.flag), text_or_null(d.closed)});

    // Staff: visit-salesmen (FXY000 'Y') and others; 03 has none.
    struct Person {
        const char *code, *name, *salesman, *dept;
    };
    const Person staff[] = {
        {"0101", "张伟", "Y", "01"}, {"0102", "李娜", "Y", "01"},  {"0103", "王强", "Y", "01"},
        {"0104", "刘洋", "N", "01"}, {"0201", "陈静", "Y", "02"},  {"0202", "杨磊", "Y", "02"},
        {"0203", "赵敏", nullptr, "02"}, {"0401", "吴刚", "Y", "04"}, {"0501", "孙涛", "Y", "05"},
        {"0601", "黄海", "Y", "06"}, {"0602", "周丽", "Y", "06"},  {"HZ01", "郑洁", "Y", "HZ"},
    };
    for (const auto &p : staff)
        db.run("INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES (?,?,?,?)",
               {std::string(p.code), std::string(p.name), text_or_null(p.salesman), std::string(p.dept)});

    const std::string m0 = month_key_from_today(0), m1 = month_key_from_today(1), m2 = month_key_from_today(2);

    // Department plans: 01 every month, 02 this month and last, 03 (no
    // salesmen) this month, 06 only the two months before.
    insert_department_plan(db, m0, "01", 1.0);
    insert_department_plan(db, m1, "01", 0.95);
    insert_department_plan(db, m2, "01", 0.9);
    insert_department_plan(db, m0, "02", 0.8);
    insert_department_plan(db, m1, "02", 0.75);
    insert_department_plan(db, m0, "03", 0.5);
    insert_department_plan(db, m1, "06", 0.6);
    insert_department_plan(db, m2, "06", 0.6);

    // Sales indicators: this month and two months back; last month has a
    // department plan but no sales indicators.
    insert_sales_indicators(db, m0);
    insert_sales_indicators(db, m2);

    // Salesman plans. This month: 张伟 generated and partly filled, 李娜
    // filled, 王强 not generated yet.
    insert_salesman_plan(db, m0, "01", "0101", 1.0, {0.35, 0.3, 0.3, 0, 0, 0}, true);
    insert_salesman_plan(db, m0, "01", "0102", 1.0, {0.3, 0.3, 0.3, 0.3, 0.3, 0.3}, true);
    insert_salesman_plan(db, m1, "01", "0101", 0.95, {0.35, 0.35, 0.3, 0.35, 0.3, 0.3}, false);
    insert_salesman_plan(db, m1, "01", "0102", 0.95, {0.3, 0.3, 0.35, 0.3, 0.35, 0.3}, false);
    insert_salesman_plan(db, m1, "01", "0103", 0.95, {0.3, 0.3, 0.3, 0.3, 0.3, 0.3}, false);
    insert_salesman_plan(db, m1, "02", "0201", 0.75, {0.5, 0.5, 0.5, 0.5, 0.5, 0.5}, false);
    insert_salesman_plan(db, m2, "01", "0101", 0.9, {0.5, 0.45, 0.5, 0.5, 0.45, 0.5}, false);
    insert_salesman_plan(db, m2, "01", "0102", 0.9, {0.5, 0.5, 0.45, 0.5, 0.5, 0.5}, false);
    load_demo_sales(db);
}

}  // namespace appserver
