#include "plan_versions.h"

#include <cstdint>
#include <random>

#include "dialect.h"
#include "database_types.h"

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
    // Every change of a plan row marks its department's month (and, for a
    // row moved or removed, the one it left), in the changing statement's
    // own transaction: the server's routes and anyone's own SQL alike.
    if (db.kind() == DatabaseKind::Postgresql) {
        // Once per statement, over the rows it changed: a save of many cells
        // in a few statements marks each department's month a few times,
        // not once per row.
        db.run("CREATE OR REPLACE FUNCTION xstyzbbb_mark() RETURNS trigger LANGUAGE plpgsql AS $$ "
               "BEGIN "
               "IF TG_OP = 'INSERT' THEN "
               "INSERT INTO XSTYZBBB (NYUE00,CKDM00,BBBJ00) SELECT k.m, k.d, replace(gen_random_uuid()::text,'-','') "
               "FROM (SELECT DISTINCT COALESCE(NYUE00,'') AS m, COALESCE(CKDM00,'') AS d FROM xstyzbbb_new) k "
               "ON CONFLICT (NYUE00,CKDM00) DO UPDATE SET BBBJ00=EXCLUDED.BBBJ00; "
               "ELSIF TG_OP = 'DELETE' THEN "
               "INSERT INTO XSTYZBBB (NYUE00,CKDM00,BBBJ00) SELECT k.m, k.d, replace(gen_random_uuid()::text,'-','') "
               "FROM (SELECT DISTINCT COALESCE(NYUE00,'') AS m, COALESCE(CKDM00,'') AS d FROM xstyzbbb_old) k "
               "ON CONFLICT (NYUE00,CKDM00) DO UPDATE SET BBBJ00=EXCLUDED.BBBJ00; "
               "ELSE "
               "INSERT INTO XSTYZBBB (NYUE00,CKDM00,BBBJ00) SELECT k.m, k.d, replace(gen_random_uuid()::text,'-','') "
               "FROM (SELECT DISTINCT COALESCE(u.NYUE00,'') AS m, COALESCE(u.CKDM00,'') AS d FROM "
               "(SELECT NYUE00,CKDM00 FROM xstyzbbb_old UNION ALL SELECT NYUE00,CKDM00 FROM xstyzbbb_new) u) k "
               "ON CONFLICT (NYUE00,CKDM00) DO UPDATE SET BBBJ00=EXCLUDED.BBBJ00; "
               "END IF; "
               "RETURN NULL; END $$");
        for (const char *t : {"XSTYZBBB_MARK", "XSTYZBBB_MARK_INSERT", "XSTYZBBB_MARK_UPDATE", "XSTYZBBB_MARK_DELETE"})
            db.run(std::string("DROP TRIGGER IF EXISTS ") + t + " ON XSTYZB02");
        db.run("CREATE TRIGGER XSTYZBBB_MARK_INSERT AFTER INSERT ON XSTYZB02 REFERENCING NEW TABLE AS xstyzbbb_new "
               "FOR EACH STATEMENT EXECUTE FUNCTION xstyzbbb_mark()");
        db.run("CREATE TRIGGER XSTYZBBB_MARK_UPDATE AFTER UPDATE ON XSTYZB02 REFERENCING OLD TABLE AS xstyzbbb_old "
               "NEW TABLE AS xstyzbbb_new FOR EACH STATEMENT EXECUTE FUNCTION xstyzbbb_mark()");
        db.run("CREATE TRIGGER XSTYZBBB_MARK_DELETE AFTER DELETE ON XSTYZB02 REFERENCING OLD TABLE AS xstyzbbb_old "
               "FOR EACH STATEMENT EXECUTE FUNCTION xstyzbbb_mark()");
    } else {
        const std::string mark = "INSERT OR REPLACE INTO XSTYZBBB (NYUE00,CKDM00,BBBJ00) VALUES ";
        const std::string old_row = "(COALESCE(OLD.NYUE00,''),COALESCE(OLD.CKDM00,''),lower(hex(randomblob(16))));";
        const std::string new_row = "(COALESCE(NEW.NYUE00,''),COALESCE(NEW.CKDM00,''),lower(hex(randomblob(16))));";
        for (const char *t : {"XSTYZBBB_INSERT", "XSTYZBBB_UPDATE", "XSTYZBBB_UPDATE_FROM", "XSTYZBBB_DELETE"})
            db.run(std::string("DROP TRIGGER IF EXISTS ") + t);
        db.run("CREATE TRIGGER XSTYZBBB_INSERT AFTER INSERT ON XSTYZB02 BEGIN " + mark + new_row + " END");
        db.run("CREATE TRIGGER XSTYZBBB_UPDATE AFTER UPDATE ON XSTYZB02 BEGIN " + mark + new_row + " END");
        // The month a row leaves is marked too, only when it leaves one.
        db.run("CREATE TRIGGER XSTYZBBB_UPDATE_FROM AFTER UPDATE ON XSTYZB02 "
               "WHEN OLD.NYUE00 IS NOT NEW.NYUE00 OR OLD.CKDM00 IS NOT NEW.CKDM00 BEGIN " + mark + old_row + " END");
        db.run("CREATE TRIGGER XSTYZBBB_DELETE AFTER DELETE ON XSTYZB02 BEGIN " + mark + old_row + " END");
    }
    // Rows made before versions were kept: marked now, so that a client never
    // takes them for rows of another database or of a backup.
    for (const auto &r : db.run("SELECT DISTINCT NYUE00,CKDM00 FROM XSTYZB02 WHERE NYUE00 IS NOT NULL AND CKDM00 IS "
                                "NOT NULL")
                             .packet.rows) {
        const std::string month = wire::value_to_text(r[0]);
        if (month != kDatabaseMarkMonth) insert_mark(db, month, wire::value_to_text(r[1]));
    }
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
