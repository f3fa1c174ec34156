// Everything in SQL that differs between SQLite and PostgreSQL: the module's
// statements adapted, the server's own fragments (identity column, "same
// value even when empty", row and named locks, table lookup), and the
// objects each database needs for the module's dialect (NVL, the text to
// number assignment, the journal). Nothing above the database layer asks
// which database it runs on.
//
// adapt_statement makes exactly these changes to a module statement, and
// nothing else:
//  - "DELETE name WHERE ..." (a DELETE at the start of the text, then a
//    table name, then WHERE) becomes "DELETE FROM name WHERE ...";
//  - PostgreSQL only: a subquery in FROM or JOIN that has no alias gets one
//    ("AS subquery_1"), since PostgreSQL 15 refuses an unnamed one.
// Text between quotes and comments are never touched. NVL and the text to
// number assignment are not rewritten: the database provides them (a SQLite
// function on every connection, PostgreSQL objects created by --init).
#pragma once

#include <string>
#include <vector>

#include "database.h"

struct sqlite3;

namespace appserver {

std::string adapt_statement(const std::string &sql, DatabaseKind kind);

// The column definition of a table's row identity: a whole number the
// database draws for each new row, never drawn twice.
std::string identity_column(DatabaseKind kind, const char *name);

// "column = ?" that also holds when both are empty, as the grouping of the
// remaining-quantity statement puts empty sequence numbers together.
std::string same_value_as_parameter(DatabaseKind kind, const char *column);

// Locks the rows a query selects to the end of the open transaction. On
// SQLite the write transaction holds the whole database already: nothing
// to do.
void lock_rows(Connection &db, const std::string &select_sql, const std::vector<wire::Value> &params);

// Takes the transaction-level lock of a name of the server's own, held to
// the end of the open transaction: on PostgreSQL an advisory lock (which
// needs no right on any table); on SQLite nothing, as the write transaction
// holds the whole database already. True when a lock was taken: what the
// transaction read before it may have changed while it waited.
bool lock_name(Connection &db, const std::string &name);

// One change made for many rows of values at once, as suits the database.
// values holds the rows one after the other, one value a row for each of
// types (their SQL types: "BIGINT", "DOUBLE PRECISION", "VARCHAR(20)").
// On SQLite each_row, the statement for one row with its values bound to
// its "?" in order, is compiled once and run for every row (there is no
// round trip to save). On PostgreSQL all_rows runs once, "{rows}" in it
// standing for a table of the rows whose columns are column1, column2, ...
// of those types, the rows coming as one JSON parameter: one round trip,
// and one parameter to plan instead of thousands. The rows changed, in all.
struct RowsChange {
    std::string each_row;
    std::string all_rows;
    std::vector<std::string> types;
};
std::int64_t change_rows(Connection &db, const RowsChange &change, const std::vector<wire::Value> &values);

// Whether the database holds a table of that name (in any case).
bool table_exists(Connection &db, const char *table);

// Whether a table of the database has a column of that name (in any case).
bool column_exists(Connection &db, const char *table, const char *column);

// A new database's own settings, before anything is created: SQLite's
// write-ahead journal (readers and one writer without blocking each other;
// the setting stays with the file).
void prepare_new_database(Connection &db);

// PostgreSQL: the function NVL and the assignment cast from text to double
// precision, which the module's statements need. Throws ServerError with a
// clear message when the user is not a superuser. Nothing to do on SQLite.
void create_dialect_objects(Connection &db);

// SQLite: NVL as a function of the connection (called when it opens).
void install_sqlite_functions(sqlite3 *db);

}  // namespace appserver
