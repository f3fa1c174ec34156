#include "database_setup.h"

#include <cctype>
#include <map>
#include <set>

#include "accounts.h"
#include "audit.h"
#include "backup.h"
#include "database_files.h"
#include "dialect.h"
#include "schema.h"
#include "schema_version.h"
#include "server_text.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

}  // namespace

void create_current_layout(Connection &db)
{
    create_schema(db);
    create_audit_table(db);
    if (db.kind() == DatabaseKind::Postgresql) create_account_tables(db);
    record_schema_version(db);
}

void create_accounts_database(const std::string &connection_string)
{
    const std::string accounts = accounts_connection_string(connection_string);
    if (accounts == connection_string) return;
    Connection db(accounts, /*create_missing=*/true);
    prepare_new_database(db);
    create_account_tables(db);
}

namespace {

std::string quoted_identifier(const std::string &name)
{
    std::string out = "\"";
    for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string quoted_literal(const std::string &text)
{
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

// The server's login role on PostgreSQL with exactly what the server does:
// read the departments, staff, sales indicators and department plans; read
// and change the salesman plans (and draw their row identities); read the
// accounts; keep the tokens. Nothing else: no superuser, no other table, no
// COPY to or from programs or files.
void create_server_role(Connection &db, const ServerRole &role)
{
    const auto &name = role.name;
    const bool plain = !name.empty() && name.size() <= 63 && (std::islower(static_cast<unsigned char>(name[0])) || name[0] == '_') &&
                       name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos;
    if (!plain)
        throw ServerError(ServerError::Kind::BadRequest,
                          "the server role \"" + name + "\" must be a lower-case name of letters, digits and _");
    if (role.password.empty()) throw ServerError(ServerError::Kind::BadRequest, "the server role needs a password");
    const auto me = db.run("SELECT current_user").packet.rows.at(0).at(0);
    if (wire::value_to_text(me) == name)
        throw ServerError(ServerError::Kind::BadRequest,
                          "the server role must not be the role --init connects as (" + name + ")");
    const auto existing = db.run("SELECT rolsuper FROM pg_roles WHERE rolname=?", {name}).packet;
    if (!existing.rows.empty() && wire::value_to_text(existing.rows[0][0]) != "f" &&
        wire::value_to_text(existing.rows[0][0]) != "0" && wire::value_to_text(existing.rows[0][0]) != "false")
        throw ServerError(ServerError::Kind::BadRequest, "the role " + name + " is a superuser; the server role must not be one");
    const std::string who = quoted_identifier(name);
    const std::string secret = quoted_literal(db.encrypt_password(role.password, name));
    db.run((existing.rows.empty() ? "CREATE ROLE " : "ALTER ROLE ") + who +
           " LOGIN NOSUPERUSER NOCREATEDB NOCREATEROLE NOREPLICATION NOBYPASSRLS PASSWORD " + secret);
    const std::string database = wire::value_to_text(db.run("SELECT current_database()").packet.rows.at(0).at(0));
    db.run("GRANT CONNECT ON DATABASE " + quoted_identifier(database) + " TO " + who);
    db.run("GRANT USAGE ON SCHEMA public TO " + who);
    db.run("REVOKE ALL ON ALL TABLES IN SCHEMA public FROM " + who);
    db.run("REVOKE ALL ON ALL SEQUENCES IN SCHEMA public FROM " + who);
    db.run("GRANT SELECT ON GSTCKGL0, GSTRYGL0, XSTYXSZB, XSTYZB01 TO " + who);
    db.run("GRANT SELECT, INSERT, UPDATE, DELETE ON XSTYZB02 TO " + who);
    const std::string sequence =
        wire::value_to_text(db.run("SELECT pg_get_serial_sequence('xstyzb02','rowid00')").packet.rows.at(0).at(0));
    db.run("GRANT USAGE ON SEQUENCE " + sequence + " TO " + who);
    // The audit trail: the server adds records and can neither read nor
    // change them (the audit command runs with an administrator's connection).
    db.run(std::string("GRANT INSERT ON ") + kAuditTable + " TO " + who);
    const std::string audit_sequence =
        wire::value_to_text(db.run("SELECT pg_get_serial_sequence('xstyzbrz','jlhao0')").packet.rows.at(0).at(0));
    db.run("GRANT USAGE ON SEQUENCE " + audit_sequence + " TO " + who);
    db.run(std::string("GRANT SELECT ON ") + kAccountTable + " TO " + who);
    db.run(std::string("GRANT SELECT, INSERT, DELETE ON ") + kTokenTable + " TO " + who);
    // The server checks the layout's version before it serves.
    db.run("GRANT SELECT ON XTBBXX00 TO " + who);
}

}  // namespace

void init_database(const std::string &connection_string, bool demo, const std::optional<ServerRole> &server_role)
{
    Connection db(connection_string, /*create_missing=*/true);
    prepare_new_database(db);
    // An older or newer layout is not "missing tables": creating what seems
    // missing would leave tables that every read then fails on.
    if (const int version = schema_version(db); version != 0 && version != kSchemaVersion) check_schema_version(db);
    try {
        db.begin_write();
        create_current_layout(db);
        create_dialect_objects(db);
        if (server_role) {
            if (db.kind() != DatabaseKind::Postgresql)
                throw ServerError(ServerError::Kind::BadRequest, "a server role (--server-role) is for PostgreSQL only");
            create_server_role(db, *server_role);
        }
        if (demo && plan_tables_empty(db)) load_demo_data(db);
        db.commit();
        create_accounts_database(connection_string);
    } catch (...) {
        try {
            db.rollback();
        } catch (...) {
            // The connection is closed right after; the database drops the transaction.
        }
        throw;
    }
}


namespace {

// The tables of the current layout with their columns, as --init makes
// them (read from a fresh database in memory, so that schema.cpp stays the
// one place that says).
std::map<std::string, std::set<std::string>> current_columns()
{
    Connection reference("sqlite3://db=:memory:");
    create_schema(reference);
    std::map<std::string, std::set<std::string>> out;
    for (const char *table : {"XSTYZB01", "XSTYZB02", "XSTYXSZB", "GSTCKGL0", "GSTRYGL0"})
        for (const auto &f : reference.run(std::string("SELECT * FROM ") + table + " WHERE 1=0").packet.fields)
            out[table].insert(upper(f.name));
    return out;
}

// Why the server cannot take the database's plan tables as a layout it
// knows: a table lacking a column the server reads. Nothing when it can.
std::optional<std::string> unknown_layout(Connection &db)
{
    for (const auto &[table, columns] : current_columns()) {
        if (!table_exists(db, table.c_str())) continue;  // made where missing
        std::set<std::string> found;
        for (const auto &f : db.run("SELECT * FROM " + table + " WHERE 1=0").packet.fields) found.insert(upper(f.name));
        for (const auto &column : columns)
            if (!found.count(column))
                return "the table " + table + " has no column " + column + ", so its layout is none this server "
                       "knows how to bring up to date; nothing was changed";
    }
    return std::nullopt;
}

// SQLite: the accounts and tokens of an older layout, kept in the plans'
// file, copied into their own file (rows already there are kept), which is
// made where missing. May run again after an interruption.
void copy_accounts_to_their_file(Connection &db)
{
    if (db.kind() != DatabaseKind::Sqlite) return;
    const std::string file = sqlite_file_of(db);
    const std::string cs = "sqlite3://db=" + file;
    create_accounts_database(cs);
    if (!table_exists(db, kAccountTable)) return;
    Connection accounts(accounts_connection_string(cs));
    accounts.begin_write();
    try {
        for (const auto &row : db.run(std::string("SELECT YHMC00,YHJS00,MMHX00,CJSJ00 FROM ") + kAccountTable).packet.rows)
            accounts.run(std::string("INSERT OR IGNORE INTO ") + kAccountTable + " (YHMC00,YHJS00,MMHX00,CJSJ00) VALUES (?,?,?,?)",
                         {row[0], row[1], row[2], row[3]});
        if (table_exists(db, kTokenTable))
            for (const auto &row : db.run(std::string("SELECT LPHX00,YHMC00,GQSJ00,CJSJ00 FROM ") + kTokenTable).packet.rows)
                accounts.run(std::string("INSERT OR IGNORE INTO ") + kTokenTable + " (LPHX00,YHMC00,GQSJ00,CJSJ00) VALUES (?,?,?,?)",
                             {row[0], row[1], row[2], row[3]});
        accounts.commit();
    } catch (...) {
        try {
            accounts.rollback();
        } catch (const ServerError &) {
        }
        throw;
    }
}

}  // namespace

int migrate_schema(Connection &db)
{
    const int version = schema_version(db);
    if (version == kSchemaVersion) return version;
    if (version == 0)
        throw ServerError(Kind::BadRequest,
                          "the database holds no plan tables, so there is nothing to migrate: "
                          "create them with `vendrix-server --init`");
    if (version > kSchemaVersion)
        throw ServerError(Kind::BadRequest, "the database has schema version " + std::to_string(version) +
                                                ", newer than this server knows (version " +
                                                std::to_string(kSchemaVersion) + "); nothing was changed");
    if (auto why = unknown_layout(db)) throw ServerError(Kind::BadRequest, *why);
    // The accounts first: once the plans' file no longer holds them, they
    // are in their own.
    copy_accounts_to_their_file(db);
    // Every other step so far only adds what the older layout lacks, which
    // the current schema's "create where missing" does; all of it or nothing.
    db.begin_write();
    try {
        create_current_layout(db);
        if (db.kind() == DatabaseKind::Sqlite) {
            db.run(std::string("DROP TABLE IF EXISTS ") + kTokenTable);
            db.run(std::string("DROP TABLE IF EXISTS ") + kAccountTable);
        }
        db.commit();
    } catch (...) {
        try {
            db.rollback();
        } catch (const ServerError &) {
        }
        throw;
    }
    return version;
}

void restore_database(const std::string &connection_string, const std::string &file)
{
    // What --init makes, in a fresh database in memory; the plans' file of
    // an older release held the accounts too.
    Connection plans("sqlite3://db=:memory:"), accounts("sqlite3://db=:memory:");
    create_schema(plans);
    create_audit_table(plans);
    record_schema_version(plans);
    create_account_tables(plans);
    create_account_tables(accounts);
    restore_sqlite(connection_string, file, schema_objects(plans), schema_objects(accounts));
}

}  // namespace appserver
