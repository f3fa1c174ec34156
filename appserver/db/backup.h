// Consistent copies of a live SQLite database and their restoring, through
// SQLite's online backup (a plain copy of a file in WAL mode is not safe).
#pragma once

#include <map>
#include <string>

#include "database.h"

namespace appserver {

// Copies the database of a SQLite connection string into `file` while the
// server may be using it: a consistent snapshot, pages copied in steps so
// that planners are not held up, and its accounts' file beside it into the
// file beside `file` (database_files.h). An existing `file` is replaced only
// once the copy is complete. Throws ServerError with the reason (also for a
// PostgreSQL connection: pg_dump backs those up).
void backup_sqlite(const std::string &connection_string, const std::string &file);

// The objects of a SQLite database (tables, indexes, triggers, views) by
// name, each with its kind and its CREATE text as SQLite keeps it (blanks
// run together); SQLite's own objects (sqlite_...) left out.
struct SchemaObject {
    std::string type, sql;
};
using SchemaObjects = std::map<std::string, SchemaObject>;
SchemaObjects schema_objects(Connection &db);

// Replaces the database of a SQLite connection string, and its accounts'
// file, by the copy in `file` and the accounts' file beside it (when the
// copy has one; else the accounts stay as they are). Refused, with the
// reason and nothing touched, while a server holds the database
// (DatabaseFileLock), and for a copy that is damaged (SQLite's integrity
// check), holds no plan tables, has a schema version this server does not
// know, or holds any object that is not in `known` as it stands there (a
// trigger, a view, another table, a table made otherwise); the accounts'
// file likewise against `known_accounts`.
void restore_sqlite(const std::string &connection_string, const std::string &file, const SchemaObjects &known,
                    const SchemaObjects &known_accounts);

}  // namespace appserver
