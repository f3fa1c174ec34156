#include "plan_versions.h"

#include <cstdint>
#include <random>

#include "dialect.h"

namespace appserver {

namespace {

// 128 random bits as hex: marks of a rolled-back transaction, of another
// database or of a backup never meet rows they do not describe.
std::string new_mark()
{
    static thread_local std::random_device device;
    static const char *digits = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 4; ++i) {
        std::uint32_t bits = device();
        for (int j = 0; j < 8; ++j, bits >>= 4) out.push_back(digits[bits & 15]);
    }
    return out;
}

void insert_mark(Connection &db, const std::string &month, const std::string &department)
{
    db.run(std::string("INSERT INTO ") + kPlanVersionTable + " (NYUE00,CKDM00,BBBJ00) VALUES (?,?,?)",
           {month, department, new_mark()});
}

// FNV-1a over the marks, as 16 hex digits.
std::string digest(const std::string &text)
{
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ull;
    static const char *digits = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, h >>= 4) out[static_cast<std::size_t>(i)] = digits[h & 15];
    return out;
}

}  // namespace

void create_plan_versions(Connection &db)
{
    if (table_exists(db, kPlanVersionTable)) return;
    db.run(std::string("CREATE TABLE ") + kPlanVersionTable +
           " (NYUE00 VARCHAR(6) NOT NULL, CKDM00 VARCHAR(2) NOT NULL, BBBJ00 VARCHAR(32) NOT NULL, "
           "PRIMARY KEY (NYUE00, CKDM00))");
    insert_mark(db, kDatabaseMarkMonth, "");
    // Rows made before versions were kept: marked now, so that a client never
    // takes them for rows of another database or of a backup.
    for (const auto &r : db.run("SELECT DISTINCT NYUE00,CKDM00 FROM XSTYZB02 WHERE NYUE00 IS NOT NULL AND CKDM00 IS "
                                "NOT NULL")
                             .packet.rows) {
        const std::string month = wire::value_to_text(r[0]);
        if (month != kDatabaseMarkMonth) insert_mark(db, month, wire::value_to_text(r[1]));
    }
}

void mark_plan_changed(Connection &db, const std::string &month, const std::string &department)
{
    // The department's month lock is held: no other transaction marks this row meanwhile.
    if (db.run(std::string("UPDATE ") + kPlanVersionTable + " SET BBBJ00=? WHERE NYUE00=? AND CKDM00=?",
               {new_mark(), month, department})
            .rows_affected == 0)
        insert_mark(db, month, department);
}

std::string plan_month_version(Connection &db, const std::string &month)
{
    std::string marks;
    for (const auto &r : db.run(std::string("SELECT NYUE00,CKDM00,BBBJ00 FROM ") + kPlanVersionTable +
                                    " WHERE NYUE00 IN (?,?) ORDER BY NYUE00,CKDM00",
                                {std::string(kDatabaseMarkMonth), month})
                             .packet.rows)
        for (const auto &v : r) marks += wire::value_to_text(v) + '|';
    return digest(month + '|' + marks);
}

}  // namespace appserver
