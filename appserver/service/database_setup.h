// A database made ready for the server and kept up to date: the current
// layout (the plan tables, the audit trail and the accounts, each created by
// the file that owns it), the dialect's objects, PostgreSQL's server role,
// the demo data, and migrating an older layout.
#pragma once

#include <optional>
#include <string>

#include "database.h"

namespace appserver {

// Every table of the current layout where it is missing, and its version.
void create_current_layout(Connection &db);

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

// Brings an older layout up to the current one in one transaction; a
// database already current is left as it is. Refuses, changing nothing, a
// database newer than this server or one that holds no plan tables.
// Returns the version the database had.
int migrate_schema(Connection &db);

}  // namespace appserver
