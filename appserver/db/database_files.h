// The files of a SQLite database besides the plans' own: the accounts'
// database beside it, and the lock a serving server holds on it. On
// PostgreSQL everything lives in the one database and nothing here applies.
#pragma once

#include <memory>
#include <string>

#include "database.h"

namespace appserver {

// The file the accounts and their sign-ins live in beside a SQLite database
// file: "data/saleplan.db" -> "data/saleplan-accounts.db". A file of its own,
// so that a planner's open transaction, which holds the plans' file, never
// holds up a sign-in, a sign-out, a token check or "user passwd".
std::string accounts_file_of(const std::string &sqlite_file);
// The connection string of the accounts: that file on SQLite, the same
// database on PostgreSQL.
std::string accounts_connection_string(const std::string &connection_string);
// The file a SQLite connection has open as its main database.
std::string sqlite_file_of(Connection &db);

// A lock on a SQLite database file (flock, which SQLite's own locks do not
// touch): a serving server holds it shared for as long as it runs, so that
// a restore, which takes it alone, refuses to replace the file under it.
// The system lets it go when the process ends, however it ends.
class DatabaseFileLock {
public:
    // The shared lock of a server on the database of the connection string;
    // nullptr on PostgreSQL or while the file does not exist yet. Throws
    // ServerError(Unavailable) while a restore holds it.
    static std::unique_ptr<DatabaseFileLock> serving(const std::string &connection_string);
    // The lock alone, for a restore of the file (nullptr when there is no
    // file yet); throws ServerError(BadRequest) naming the reason while a
    // server holds it.
    static std::unique_ptr<DatabaseFileLock> alone(const std::string &sqlite_file);
    ~DatabaseFileLock();
    DatabaseFileLock(const DatabaseFileLock &) = delete;
    DatabaseFileLock &operator=(const DatabaseFileLock &) = delete;

private:
    explicit DatabaseFileLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace appserver
