// The plan tables, the PostgreSQL objects the module's dialect needs, and the
// demo data set.
#pragma once

#include <optional>
#include <string>

#include "database.h"

namespace appserver {

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

// The month key YYYYMM of a year and month (1-12).
std::string month_key(int year, int month);
// The month key of today (local time), shifted by months_back months back.
std::string month_key_from_today(int months_back);

// Creates the five tables and their indexes where they are missing.
void create_schema(Connection &db);

// True when none of the five tables holds a row.
bool plan_tables_empty(Connection &db);

// Loads the demo data: departments, staff, department plans and sales
// indicators for the current month and the two before it, and salesman plans
// of which the first salesman's current plan is generated and partly filled.
void load_demo_data(Connection &db);

}  // namespace appserver
