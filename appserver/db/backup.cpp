#include "backup.h"

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include "server_error.h"
#include "database.h"
#include "database_files.h"
#include "server_text.h"
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

std::string sqlite_file_for(const std::string &connection_string)
{
    const ConnectionTarget target = parse_connection_string(connection_string);
    if (target.kind != DatabaseKind::Sqlite)
        throw ServerError(Kind::BadRequest, "backup and restore here are for SQLite databases; back up PostgreSQL "
                                            "with pg_dump and restore with pg_restore (see the README)");
    return target.sqlite_file;
}

}  // namespace

namespace {

// One consistent copy of a database file into `file` (renamed into place once complete).
void copy_file(const std::string &source, const std::string &file)
{
    namespace fs = std::filesystem;
    std::error_code ec;
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

std::string collapsed(const std::string &sql)
{
    std::string out;
    bool blank = false;
    for (char c : sql) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            blank = true;
            continue;
        }
        if (blank && !out.empty()) out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

// Why the copy in `file` may not replace a database: damaged, of a schema
// version this server does not know, or holding something the server's
// layout does not (nothing when it may). With plans, it must be a database
// of plans; else one of accounts.
std::string refusal_of_copy(const std::string &file, const SchemaObjects &known, bool plans)
try {
    Connection copy("sqlite3://db=" + file);
    const auto check = copy.run("PRAGMA integrity_check").packet;
    const std::string first = check.rows.empty() ? std::string() : wire::value_to_text(check.rows[0][0]);
    if (first != "ok") return "it is damaged (SQLite's integrity check says: " + first + ")";
    if (plans) {
        const int version = schema_version(copy);
        if (version == 0) return "it holds no plan tables: it is no backup of this application's database";
        if (version > kSchemaVersion)
            return "it has schema version " + std::to_string(version) + ", which this server does not know (it knows up to " +
                   std::to_string(kSchemaVersion) + ")";
    }
    for (const auto &[name, object] : schema_objects(copy)) {
        auto it = known.find(name);
        if (it == known.end() || it->second.type != object.type)
            return "it holds the " + object.type + " " + name + ", which this server never makes";
        if (it->second.sql != object.sql) return "its " + object.type + " " + name + " is not made as this server makes it";
    }
    return {};
} catch (const ServerError &e) {
    return std::string("it is damaged or no database at all (") + e.what() + ")";
}

}  // namespace

void backup_sqlite(const std::string &connection_string, const std::string &file)
{
    const std::string source = sqlite_file_for(connection_string);
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::exists(source, ec)) throw ServerError(Kind::Unavailable, "the database \"" + source + "\" does not exist");
    if (fs::equivalent(source, file, ec)) throw ServerError(Kind::BadRequest, "the backup cannot be the database itself");
    copy_file(source, file);
    // The accounts go along, into the file beside the copy.
    const std::string accounts = accounts_file_of(source);
    if (fs::exists(accounts, ec)) copy_file(accounts, accounts_file_of(file));
}

SchemaObjects schema_objects(Connection &db)
{
    SchemaObjects out;
    const auto rows = db.run("SELECT type,name,sql FROM sqlite_master WHERE name NOT LIKE 'sqlite\\_%' ESCAPE '\\'").packet.rows;
    for (const auto &r : rows)
        out[upper(wire::value_to_text(r[1]))] = {wire::value_to_text(r[0]),
                                                 wire::is_null(r[2]) ? std::string() : collapsed(wire::value_to_text(r[2]))};
    return out;
}

void restore_sqlite(const std::string &connection_string, const std::string &file, const SchemaObjects &known,
                    const SchemaObjects &known_accounts)
{
    const std::string target = sqlite_file_for(connection_string);
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::exists(file, ec)) throw ServerError(Kind::BadRequest, "the backup \"" + file + "\" does not exist");
    // Held alone until the copy is done: no server serves the file meanwhile.
    const auto lock = DatabaseFileLock::alone(target);
    const std::string not_restored = "; nothing was restored";
    // A file that is no database of this application, or one that would
    // bring in what the server does not make (a trigger emptying the audit
    // trail), would replace the plans with something unusable or hostile:
    // checked before anything is touched.
    if (auto why = refusal_of_copy(file, known, true); !why.empty())
        throw ServerError(Kind::BadRequest, "\"" + file + "\" cannot be restored: " + why + not_restored);
    const std::string accounts_copy = accounts_file_of(file);
    const bool with_accounts = fs::exists(accounts_copy, ec);
    if (with_accounts)
        if (auto why = refusal_of_copy(accounts_copy, known_accounts, false); !why.empty())
            throw ServerError(Kind::BadRequest, "\"" + accounts_copy + "\" cannot be restored: " + why + not_restored);

    auto restore_one = [](const std::string &from, const std::string &into) {
        Db src, dst;
        open(src, from, SQLITE_OPEN_READONLY, "the backup");
        open(dst, into, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "the database");
        copy(src, dst, "the restore failed (the database is as it was)");
        // Readers beside one writer again, as the server keeps its files.
        sqlite3_exec(dst.handle, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    };
    restore_one(file, target);
    if (with_accounts) restore_one(accounts_copy, accounts_file_of(target));
}

}  // namespace appserver
