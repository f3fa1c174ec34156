#include "database_setup.h"

#include <cctype>

#include "accounts.h"
#include "audit.h"
#include "dialect.h"
#include "schema.h"
#include "schema_version.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

}  // namespace

void create_current_layout(Connection &db)
{
    create_schema(db);
    create_audit_table(db);
    create_account_tables(db);
    record_schema_version(db);
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
    } catch (...) {
        try {
            db.rollback();
        } catch (...) {
            // The connection is closed right after; the database drops the transaction.
        }
        throw;
    }
}


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
    // Every step so far only adds what the older layout lacks, which the
    // current schema's "create where missing" does; all of it or nothing.
    db.begin_write();
    try {
        create_current_layout(db);
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

}  // namespace appserver
