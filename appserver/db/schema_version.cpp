#include "schema_version.h"

#include "dialect.h"

#include <ctime>

namespace appserver {

namespace {

using Kind = ServerError::Kind;

// One row: the layout version and when it was recorded (UTC).
const char *kVersionTable =
    "CREATE TABLE IF NOT EXISTS XTBBXX00 (BBHAO0 INTEGER NOT NULL, GXSJ00 VARCHAR(20) NOT NULL)";

std::string now_utc()
{
    std::time_t t = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[24];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

}  // namespace

int schema_version(Connection &db)
{
    if (table_exists(db, "XTBBXX00")) {
        const auto r = db.run("SELECT MAX(BBHAO0) FROM XTBBXX00").packet;
        if (!r.rows.empty() && !wire::is_null(r.rows[0][0]))
            return static_cast<int>(wire::value_to_double(r.rows[0][0]));
    }
    for (const char *t : {"XSTYZB01", "XSTYZB02", "XSTYXSZB", "GSTCKGL0", "GSTRYGL0"})
        if (table_exists(db, t)) return 1;
    return 0;
}

void record_schema_version(Connection &db)
{
    db.run(kVersionTable);
    db.run("DELETE FROM XTBBXX00");
    db.run("INSERT INTO XTBBXX00 (BBHAO0, GXSJ00) VALUES (?, ?)",
           {static_cast<std::int64_t>(kSchemaVersion), now_utc()});
}

void check_schema_version(Connection &db)
{
    const int version = schema_version(db);
    if (version == kSchemaVersion) return;
    if (version == 0)
        throw ServerError(Kind::Unavailable,
                          "the database holds no plan tables: create them with `vendrix-server --init`");
    if (version < kSchemaVersion)
        throw ServerError(Kind::Unavailable, "the database has the layout of an older release (schema version " +
                                                 std::to_string(version) + ", this server serves version " +
                                                 std::to_string(kSchemaVersion) +
                                                 "): bring it up to date with `vendrix-server migrate` "
                                                 "(back it up first)");
    throw ServerError(Kind::Unavailable, "the database has schema version " + std::to_string(version) +
                                             ", newer than this server knows (version " +
                                             std::to_string(kSchemaVersion) +
                                             "): install the newer vendrix-server that made it");
}

}  // namespace appserver
