// The plan tables, the PostgreSQL objects the module's dialect needs, and the
// demo data set.
#pragma once

#include <string>

#include "database.h"

namespace appserver {

// The month key YYYYMM of a year and month (1-12).
std::string month_key(int year, int month);
// The month key of today (local time), shifted by months_back months back.
std::string month_key_from_today(int months_back);

// Creates the five plan tables, their indexes and the plans' unique key
// where they are missing.
void create_schema(Connection &db);
// Whether the salesman plans' unique key XSTYZB02_PLAN stands (read from the
// database's catalogue, never from the table): then create_schema does not
// look through the plan table for rows the key would forbid.
bool plan_key_stands(Connection &db);

// True when none of the five tables holds a row.
bool plan_tables_empty(Connection &db);

// Loads the demo data: departments, staff, department plans and sales
// indicators for the current month and the two before it, and salesman plans
// of which the first salesman's current plan is generated and partly filled.
void load_demo_data(Connection &db);

}  // namespace appserver
