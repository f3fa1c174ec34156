// The version of each month's salesman plan rows, kept in the database so
// that every server on one database shares it: a random mark per department
// and month, replaced in the transaction of every change of that
// department's month's rows. The month's version is made of its
// departments' marks, so a client that holds it knows its rows are still
// the month's rows without reading them again.
//
// The marks are replaced by triggers on XSTYZB02 inside the
// changing statement: every route of the server (the apply, dsp_temp's
// statements, GeneratePlans, the allocation methods, any added later) and an
// administrator's own SQL alike, with nothing for a route to remember.
#pragma once

#include <string>

#include "database.h"

namespace appserver {

// NYUE00 month, CKDM00 department, BBBJ00 the mark (random, never reused);
// one row per department and month that changed since the table exists,
// and one row under kDatabaseMarkMonth: this database's own mark.
inline constexpr const char *kPlanVersionTable = "XSTYZBBB";
inline constexpr const char *kDatabaseMarkMonth = "000000";

// Part of every layout: the table where it is missing, then a mark for
// every department and month that holds plan rows, the database's own mark,
// and the triggers. Self-contained, so that it runs as whichever version
// step the layout gives it; does nothing where the table stands.
void create_plan_versions(Connection &db);

// The version of the month's plan rows as the connection sees them now.
std::string plan_month_version(Connection &db, const std::string &month);

}  // namespace appserver
