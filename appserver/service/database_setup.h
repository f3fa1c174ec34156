// A database made ready for the server and kept up to date: the current
// layout (the plan tables, the audit trail and the accounts, each created by
// the file that owns it), the dialect's objects, PostgreSQL's server role,
// the demo data, and migrating an older layout.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "database.h"

namespace appserver {

// Every table of the current layout where it is missing, and its version:
// the plans, the audit trail and, on PostgreSQL, the accounts (a SQLite
// database keeps those in a file of its own: create_accounts_database).
void create_current_layout(Connection &db);
// SQLite: the accounts' file beside the database (database_files.h) with
// its tables, where missing. Nothing on PostgreSQL.
void create_accounts_database(const std::string &connection_string);

// PostgreSQL only: the login role the server connects as, created or updated
// by --init with exactly the rights the server needs.
struct ServerRole {
    std::string name;
    std::string password;
};

// Creates the schema where it is missing (--init); with demo, loads the demo
// data into an empty database (--demo); with a server role (PostgreSQL),
// creates or updates that role and its grants. Throws ServerError with a
// clear message on failure (for PostgreSQL: the connecting role must be a
// superuser).
void init_database(const std::string &connection_string, bool demo,
                   const std::optional<ServerRole> &server_role = std::nullopt);

// Brings an older layout up to the current one in one transaction; the
// tables of a database already current are left as they are. Refuses,
// changing nothing, a database newer than this server or one that holds no
// plan tables, and one whose tables lack a column the server reads (a
// layout it does not know). On SQLite the accounts and tokens of an older
// layout move to their own file first (a step that may be run again). On PostgreSQL the server role keeps exactly its rights, on
// new tables too: the role named (which must exist), else every login role
// that holds them now (the right to change the salesman plans); and the
// tables the connecting role made go to the database's owner.
struct Migration {
    int was = 0;                            // the version the database had
    std::vector<std::string> server_roles;  // the roles given their rights
};
Migration migrate_schema(Connection &db, const std::string &server_role = {});

// PostgreSQL: the rights the server needs on the tables there that the
// connecting role lacks ("SELECT on XTBBXX00", ...); empty when it has them
// all, and on SQLite.
std::vector<std::string> missing_server_rights(Connection &db);

// Before the server serves: a layout it does not know is refused naming the
// command that fixes it (check_schema_version), and so is a role without
// the rights it needs (naming `vendrix-server migrate --server-role NAME`).
// Throws ServerError(Unavailable). An empty database passes.
void check_ready_to_serve(Connection &db);

// Replaces a SQLite database (and its accounts' file) by a backup, checked
// first against what --init makes (backup.h, restore_sqlite).
void restore_database(const std::string &connection_string, const std::string &file);

}  // namespace appserver
