#include "database_setup.h"

#include <cctype>
#include <map>
#include <set>
#include <vector>

#include "accounts.h"
#include "audit.h"
#include "backup.h"
#include "database_files.h"
#include "demo_sales.h"
#include "department_weights.h"
#include "dialect.h"
#include "month_states.h"
#include "plan_versions.h"
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
    create_weights_table(db);
    migrate_to_month_states(db);
    create_plan_versions(db);
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

// The rights of the server's login role on PostgreSQL, exactly what the
// server does: read the departments, staff, sales indicators and department
// plans; read and change the salesman plans (and draw their row
// identities); add to the audit trail, which it can neither read nor change
// (the audit command runs with an administrator's connection); read the
// accounts; keep the tokens; read the layout's version, which it checks
// before it serves; read and add the moves of the months' states; read and
// replace the plan months' versions. Nothing else: no superuser, no other table, no COPY to or
// from programs or files. These are also every table of the layout.
struct TableRights {
    const char *table;
    std::vector<const char *> privileges;
    const char *identity = nullptr;  // the column whose sequence it draws from
};
const std::vector<TableRights> &server_rights()
{
    static const std::vector<TableRights> rights = {
        {"GSTCKGL0", {"SELECT"}},
        {"GSTRYGL0", {"SELECT"}},
        {"XSTYXSZB", {"SELECT"}},
        {"XSTYZB01", {"SELECT"}},
        {"XSTYZB02", {"SELECT", "INSERT", "UPDATE", "DELETE"}, "ROWID00"},
        {kAuditTable, {"INSERT"}, "JLHAO0"},
        {kAccountTable, {"SELECT"}},
        {kTokenTable, {"SELECT", "INSERT", "DELETE"}},
        {"XTBBXX00", {"SELECT"}},
        {kMonthStateTable, {"SELECT", "INSERT"}, "JLHAO0"},
        {kWeightsTable, {"SELECT", "INSERT", "UPDATE", "DELETE"}},
        {kPlanVersionTable, {"SELECT", "INSERT", "UPDATE"}},
    };
    return rights;
}

std::string lower(std::string s)
{
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string text_of(Connection &db, const std::string &sql, const std::vector<wire::Value> &params = {})
{
    const auto rows = db.run(sql, params).packet.rows;
    return rows.empty() ? std::string() : wire::value_to_text(rows.at(0).at(0));
}

bool is_true(const std::string &text) { return text == "t" || text == "true" || text == "1"; }

// A role name the server role may have: plain lower-case, so that it needs
// no quoting anywhere it is written.
void check_role_name(const std::string &name)
{
    const bool plain = !name.empty() && name.size() <= 63 &&
                       (std::islower(static_cast<unsigned char>(name[0])) || name[0] == '_') &&
                       name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos;
    if (!plain)
        throw ServerError(Kind::BadRequest,
                          "the server role \"" + name + "\" must be a lower-case name of letters, digits and _");
}

// The role's rights: exactly server_rights(), on this database.
void grant_server_rights(Connection &db, const std::string &name)
{
    const std::string who = quoted_identifier(name);
    db.run("GRANT CONNECT ON DATABASE " + quoted_identifier(text_of(db, "SELECT current_database()")) + " TO " + who);
    db.run("GRANT USAGE ON SCHEMA public TO " + who);
    db.run("REVOKE ALL ON ALL TABLES IN SCHEMA public FROM " + who);
    db.run("REVOKE ALL ON ALL SEQUENCES IN SCHEMA public FROM " + who);
    for (const auto &r : server_rights()) {
        std::string privileges;
        for (const char *p : r.privileges) privileges += (privileges.empty() ? "" : ", ") + std::string(p);
        db.run("GRANT " + privileges + " ON " + r.table + " TO " + who);
        if (r.identity)
            db.run("GRANT USAGE ON SEQUENCE " +
                   text_of(db, "SELECT pg_get_serial_sequence(?::text, ?::text)", {lower(r.table), lower(r.identity)}) + " TO " +
                   who);
    }
}

// Creates or updates the server's login role with its password (as a SCRAM
// hash) and exactly its rights.
void create_server_role(Connection &db, const ServerRole &role)
{
    const auto &name = role.name;
    check_role_name(name);
    if (role.password.empty()) throw ServerError(Kind::BadRequest, "the server role needs a password");
    if (text_of(db, "SELECT current_user") == name)
        throw ServerError(Kind::BadRequest, "the server role must not be the role --init connects as (" + name + ")");
    const auto existing = db.run("SELECT rolsuper FROM pg_roles WHERE rolname=?", {name}).packet;
    if (!existing.rows.empty() && is_true(wire::value_to_text(existing.rows[0][0])))
        throw ServerError(Kind::BadRequest, "the role " + name + " is a superuser; the server role must not be one");
    const std::string secret = quoted_literal(db.encrypt_password(role.password, name));
    db.run((existing.rows.empty() ? "CREATE ROLE " : "ALTER ROLE ") + quoted_identifier(name) +
           " LOGIN NOSUPERUSER NOCREATEDB NOCREATEROLE NOREPLICATION NOBYPASSRLS PASSWORD " + secret);
    grant_server_rights(db, name);
}

// The tables of the layout and the function nvl that the connecting role
// owns go to the database's owner (createdb -O OWNER), so that the owner
// adds the accounts and later runs migrate, while a superuser created them
// (the cast needs one). Tables owned by anyone else are left as they are.
void give_to_database_owner(Connection &db)
{
    const std::string owner =
        text_of(db, "SELECT pg_get_userbyid(datdba) FROM pg_database WHERE datname = current_database()");
    if (owner.empty() || owner == text_of(db, "SELECT current_user")) return;
    const std::string to = " OWNER TO " + quoted_identifier(owner);
    for (const auto &r : server_rights()) {
        const std::string mine = text_of(
            db,
            "SELECT c.relname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
            "WHERE n.nspname = current_schema() AND c.relkind IN ('r','p') AND c.relname = ? "
            "AND c.relowner = (SELECT oid FROM pg_roles WHERE rolname = current_user)",
            {lower(r.table)});
        // Its identity sequence goes with it.
        if (!mine.empty()) db.run("ALTER TABLE " + quoted_identifier(mine) + to);
    }
    const auto functions = db.run("SELECT p.oid::regprocedure::text FROM pg_proc p JOIN pg_namespace n "
                                  "ON n.oid = p.pronamespace WHERE n.nspname = current_schema() "
                                  "AND p.proname = 'nvl' AND p.proowner = (SELECT oid FROM pg_roles "
                                  "WHERE rolname = current_user)")
                               .packet.rows;
    for (const auto &f : functions) db.run("ALTER FUNCTION " + wire::value_to_text(f.at(0)) + to);
}

// The login roles that hold the server's rights now: a right to change the
// salesman plans, other than the table's owner and superusers.
std::vector<std::string> server_roles_of(Connection &db)
{
    const auto rows = db.run("SELECT DISTINCT r.rolname FROM pg_class c, aclexplode(c.relacl) a, pg_roles r "
                             "WHERE c.oid = to_regclass('xstyzb02') AND a.privilege_type = 'UPDATE' "
                             "AND a.grantee = r.oid AND a.grantee <> c.relowner AND r.rolcanlogin "
                             "AND NOT r.rolsuper ORDER BY r.rolname")
                          .packet.rows;
    std::vector<std::string> names;
    for (const auto &row : rows) names.push_back(wire::value_to_text(row.at(0)));
    return names;
}

// A role named for migrate: it must be there already, and not a superuser.
void check_named_server_role(Connection &db, const std::string &name)
{
    check_role_name(name);
    const auto found = db.run("SELECT rolsuper FROM pg_roles WHERE rolname=?", {name}).packet.rows;
    if (found.empty())
        throw ServerError(Kind::BadRequest, "there is no role " + name +
                                                ": create it with `vendrix-server init --server-role " + name + "`");
    if (is_true(wire::value_to_text(found[0][0])))
        throw ServerError(Kind::BadRequest, "the role " + name + " is a superuser; the server role must not be one");
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
        if (db.kind() == DatabaseKind::Postgresql) give_to_database_owner(db);
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

Migration migrate_schema(Connection &db, const std::string &server_role)
{
    Migration m;
    m.was = schema_version(db);
    if (m.was == 0)
        throw ServerError(Kind::BadRequest,
                          "the database holds no plan tables, so there is nothing to migrate: "
                          "create them with `vendrix-server --init`");
    if (m.was > kSchemaVersion)
        throw ServerError(Kind::BadRequest, "the database has schema version " + std::to_string(m.was) +
                                                ", newer than this server knows (version " +
                                                std::to_string(kSchemaVersion) + "); nothing was changed");
    if (auto why = unknown_layout(db)) throw ServerError(Kind::BadRequest, *why);
    const bool postgresql = db.kind() == DatabaseKind::Postgresql;
    if (!server_role.empty() && !postgresql)
        throw ServerError(Kind::BadRequest, "a server role (--server-role) is for PostgreSQL only");
    // SQLite: the accounts first; once the plans' file no longer holds them,
    // they are in their own.
    copy_accounts_to_their_file(db);
    // Every other step so far only adds what the older layout lacks, which
    // the current schema's "create where missing" does. The server role keeps
    // its rights, on the new tables too, also when the layout was current
    // already (a migrate of an older release may have left them out). All of
    // it or nothing.
    db.begin_write();
    try {
        if (m.was < kSchemaVersion) create_current_layout(db);
        if (!postgresql) {
            db.run(std::string("DROP TABLE IF EXISTS ") + kTokenTable);
            db.run(std::string("DROP TABLE IF EXISTS ") + kAccountTable);
        } else {
            if (!server_role.empty()) check_named_server_role(db, server_role);
            m.server_roles = server_role.empty() ? server_roles_of(db) : std::vector<std::string>{server_role};
            for (const auto &role : m.server_roles) grant_server_rights(db, role);
            give_to_database_owner(db);
        }
        db.commit();
    } catch (...) {
        try {
            db.rollback();
        } catch (const ServerError &) {
        }
        throw;
    }
    return m;
}

std::vector<std::string> missing_server_rights(Connection &db)
{
    std::vector<std::string> missing;
    if (db.kind() != DatabaseKind::Postgresql) return missing;
    for (const auto &r : server_rights()) {
        if (!table_exists(db, r.table)) continue;  // the layout's version says so
        for (const char *p : r.privileges)
            if (!is_true(text_of(db, "SELECT has_table_privilege(?::text, ?::text)", {lower(r.table), std::string(p)})))
                missing.push_back(std::string(p) + " on " + r.table);
        if (r.identity &&
            !is_true(text_of(db, "SELECT has_sequence_privilege(pg_get_serial_sequence(?::text, ?::text), 'USAGE')",
                             {lower(r.table), lower(r.identity)})))
            missing.push_back(std::string("USAGE on the sequence of ") + r.table);
    }
    return missing;
}

void check_ready_to_serve(Connection &db)
{
    // The rights first: without them not even the layout's version can be read.
    if (const auto missing = missing_server_rights(db); !missing.empty()) {
        std::string list;
        for (const auto &m : missing) list += (list.empty() ? "" : ", ") + m;
        const std::string me = text_of(db, "SELECT current_user");
        throw ServerError(Kind::Unavailable, "the database role " + me + " lacks rights the server needs (" + list +
                                                 "): give them with `vendrix-server migrate --server-role " + me +
                                                 "`, run as the database's owner or as postgres");
    }
    // An empty database is served (503 until --init makes its tables).
    if (schema_version(db) != 0) check_schema_version(db);
}

void restore_database(const std::string &connection_string, const std::string &file)
{
    // What --init makes, in a fresh database in memory; the plans' file of
    // an older release held the accounts too.
    Connection plans("sqlite3://db=:memory:"), accounts("sqlite3://db=:memory:");
    create_current_layout(plans);
    create_account_tables(plans);
    // The demo database's sales and its view of actual sales are the server's own too.
    for (const char *demo : {kDemoSalesTable, kDemoSalesIndex, kDemoActualsView}) plans.run(demo);
    create_account_tables(accounts);
    restore_sqlite(connection_string, file, schema_objects(plans), schema_objects(accounts));
}

}  // namespace appserver
