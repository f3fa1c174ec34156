#include "backup.h"

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include "server_error.h"
#include "database.h"
#include "schema_version.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

struct Db {
    sqlite3 *handle = nullptr;
    ~Db() { sqlite3_close_v2(handle); }
};

void open(Db &db, const std::string &file, int flags, const char *what)
{
    if (sqlite3_open_v2(file.c_str(), &db.handle, flags, nullptr) != SQLITE_OK)
        throw ServerError(Kind::Unavailable, std::string("cannot open ") + what + " \"" + file +
                                                 "\": " + (db.handle ? sqlite3_errmsg(db.handle) : "out of memory"));
    sqlite3_busy_timeout(db.handle, 10000);
}

// Copies src into dst with the online backup, a hundred pages a step; the
// source may be written meanwhile (the copy then restarts, and is consistent).
void copy(Db &src, Db &dst, const std::string &what)
{
    sqlite3_backup *b = sqlite3_backup_init(dst.handle, "main", src.handle, "main");
    if (!b) throw ServerError(Kind::Unavailable, what + ": " + sqlite3_errmsg(dst.handle));
    int rc;
    do {
        rc = sqlite3_backup_step(b, 100);
        if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) sqlite3_sleep(20);
    } while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED);
    sqlite3_backup_finish(b);
    if (rc != SQLITE_DONE) throw ServerError(Kind::Unavailable, what + ": " + sqlite3_errmsg(dst.handle));
}

std::string sqlite_file_of(const std::string &connection_string)
{
    const ConnectionTarget target = parse_connection_string(connection_string);
    if (target.kind != DatabaseKind::Sqlite)
        throw ServerError(Kind::BadRequest, "backup and restore here are for SQLite databases; back up PostgreSQL "
                                            "with pg_dump and restore with pg_restore (see the README)");
    return target.sqlite_file;
}

}  // namespace

void backup_sqlite(const std::string &connection_string, const std::string &file)
{
    const std::string source = sqlite_file_of(connection_string);
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::exists(source, ec)) throw ServerError(Kind::Unavailable, "the database \"" + source + "\" does not exist");
    if (fs::equivalent(source, file, ec)) throw ServerError(Kind::BadRequest, "the backup cannot be the database itself");
    // Written beside the target and renamed into place once complete, so a
    // failed backup never leaves a half-written file under the backup's name.
    const std::string partial = file + ".partial";
    fs::remove(partial, ec);
    {
        Db src, dst;
        open(src, source, SQLITE_OPEN_READONLY, "the database");
        open(dst, partial, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "the backup file");
        try {
            copy(src, dst, "the backup failed");
        } catch (...) {
            fs::remove(partial, ec);
            throw;
        }
        // A copy stands alone: no WAL file beside it.
        sqlite3_exec(dst.handle, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    }
    fs::rename(partial, file, ec);
    if (ec) {
        fs::remove(partial, ec);
        throw ServerError(Kind::Unavailable, "cannot write the backup \"" + file + "\": " + ec.message());
    }
}

void restore_sqlite(const std::string &connection_string, const std::string &file)
{
    const std::string target = sqlite_file_of(connection_string);
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::exists(file, ec)) throw ServerError(Kind::BadRequest, "the backup \"" + file + "\" does not exist");
    // A file that is no database of this application would replace the plans
    // with nothing usable: check before anything is touched.
    {
        Connection check("sqlite3://db=" + file);
        if (schema_version(check) == 0)
            throw ServerError(Kind::BadRequest, "\"" + file + "\" holds no plan tables: it is no backup of this "
                                                              "application's database; nothing was restored");
    }
    Db src, dst;
    open(src, file, SQLITE_OPEN_READONLY, "the backup");
    open(dst, target, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "the database");
    copy(src, dst, "the restore failed (the database is as it was)");
}

}  // namespace appserver
