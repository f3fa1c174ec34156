#include "copy_to_postgres.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "database.h"
#include "wire.h"

void copy_to_postgres(const std::string &sqlite_file, const std::string &pg)
{
    appserver::Connection from("sqlite3://db=" + sqlite_file), to(pg);
    const std::vector<std::pair<const char *, const char *>> tables = {
        {"GSTCKGL0", "CKDM00,CKMC00,WDBJ00,ZZRQ00"},
        {"GSTRYGL0", "RYDM00,RYMC00,FXY000,CKDM00"},
        {"XSTYXSZB", "NYUE00,XHAO00,ZBLB00,ZBMC00,SPDM00,XSSL00,XSJE00"},
        {"XSTYZB01", "NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00,SPDM00,SPDM01,ZBLBMC"},
        {"XSTYZB02", "NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC"},
    };
    to.begin();
    for (const auto &[table, columns] : tables) {
        const std::size_t width = std::count(columns, columns + std::strlen(columns), ',') + 1;
        std::vector<wire::Value> batch;
        auto flush = [&] {
            if (batch.empty()) return;
            std::string sql = std::string("INSERT INTO ") + table + " (" + columns + ") VALUES ";
            for (std::size_t r = 0; r < batch.size() / width; ++r) {
                sql += r ? ",(" : "(";
                for (std::size_t c = 0; c < width; ++c) sql += c ? ",?" : "?";
                sql += ")";
            }
            to.run(sql, batch);
            batch.clear();
        };
        from.each_row(std::string("SELECT ") + columns + " FROM " + table + " ORDER BY ROWID", {}, [&](wire::Row &row) {
            batch.insert(batch.end(), row.begin(), row.end());
            if (batch.size() >= 1000 * width) flush();
        });
        flush();
    }
    to.commit();
    to.run("ANALYZE");
}
