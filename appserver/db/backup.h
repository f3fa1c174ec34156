// Consistent copies of a live SQLite database and their restoring, through
// SQLite's online backup (a plain copy of a file in WAL mode is not safe).
#pragma once

#include <string>

namespace appserver {

// Copies the database of a SQLite connection string into `file` while the
// server may be using it: a consistent snapshot, pages copied in steps so
// that planners are not held up. An existing `file` is replaced only once
// the copy is complete. Throws ServerError with the reason (also for a
// PostgreSQL connection: pg_dump backs those up).
void backup_sqlite(const std::string &connection_string, const std::string &file);

// Replaces the database of a SQLite connection string by the copy in `file`
// (the server must be stopped). Checks first that `file` is a database of
// this application; leaves the database as it was when it is not.
void restore_sqlite(const std::string &connection_string, const std::string &file);

}  // namespace appserver
