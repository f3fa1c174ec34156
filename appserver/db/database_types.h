// The kinds of database, a connection string taken apart, and what a
// statement gives back: what the connection and its engines share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "wire.h"

namespace appserver {

enum class DatabaseKind { Sqlite, Postgresql };

// A connection string: "sqlite3://db=FILE" or "postgresql://KEY=VALUE ..."
// (libpq's own keys: host, port, dbname, user, password, ...).
struct ConnectionTarget {
    DatabaseKind kind = DatabaseKind::Sqlite;
    std::string parameters;   // what follows "sqlite3://" or "postgresql://"
    std::string sqlite_file;  // SQLite only: the database file
};
// What a statement produced: its columns and rows (empty for a statement that
// returns none) and the number of rows it changed.
struct StatementResult {
    bool has_columns = false;
    wire::DataPacket packet;
    std::int64_t rows_affected = 0;
};

// The most rows, and bytes of their values, one answer may carry.
struct AnswerLimit {
    std::size_t rows = 0;
    std::size_t bytes = 0;
};

}  // namespace appserver
