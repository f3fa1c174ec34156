// The schema's version: which layout of the tables a database holds, the
// steps that bring an older one up to date, and the refusal to serve a
// layout this server does not know.
#pragma once

#include <string>

#include "database.h"

namespace appserver {

// The layout this server creates and serves. Version 1 is the layout of the
// releases before versions were recorded: the five plan tables alone.
// Version 2 added the audit trail and the accounts; version 3 keeps a SQLite
// database's accounts and tokens in a file of their own beside it (on
// PostgreSQL its layout is version 2's); version 4 adds the departments'
// weights (XSTYQZ00); version 5 adds the months' states (XSTYZBZT)
// and the audit trail's reasons; version 6 adds the plan months' versions
// (XSTYZBBB). Every step only adds what is missing, so a database recorded
// as 4 or 5 by either earlier layout is brought up to date alike.
inline constexpr int kSchemaVersion = 6;

// The version recorded in the database; 1 when the plan tables are there but
// no version was ever recorded; 0 when the database holds none of them.
int schema_version(Connection &db);

// Records the current version (once the current layout is made).
void record_schema_version(Connection &db);

// Throws ServerError(Unavailable) naming the command that fixes it when the
// database's layout is not the current one: older (`vendrix-server migrate`),
// newer (a newer server), or none at all (`--init`).
void check_schema_version(Connection &db);

}  // namespace appserver
