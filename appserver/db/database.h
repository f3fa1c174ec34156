// One database connection of the application server: the one interface
// through which everything above reaches SQLite or PostgreSQL. The server
// talks to each database through its own client library (libsqlite3,
// libpq), one file per engine (sqlite_engine.cpp, postgresql_engine.cpp),
// so that result columns keep their real types, names and widths and the
// database's own error message reaches the client unchanged. What differs
// between the two in SQL text, and the locks, are in the dialect
// (dialect.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "database_types.h"
#include "server_error.h"
#include "wire.h"

namespace appserver {

// What each database provides behind a connection (engine.h).
class Engine;

// Called once at the start of the program, before any connection is opened:
// SQLite without its per-call locks. The server never uses one connection
// from two threads at once (a session's connection is held under the
// session's lock, the others are lent out by their pools), so the locks
// SQLite takes around every value it hands out are pure cost.
void configure_database_library();

// Throws ServerError(BadRequest) for a string naming no supported database.
ConnectionTarget parse_connection_string(const std::string &connection_string);

// "sqlite" or "postgresql", from a connection string.
std::string database_kind_of(const std::string &connection_string);

class Connection {
public:
    // Opens the database. A SQLite file that does not exist is created only
    // when create_missing is set. Throws ServerError(Unavailable) with the
    // reason when the database cannot be opened.
    explicit Connection(const std::string &connection_string, bool create_missing = false);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    DatabaseKind kind() const;

    // Runs exactly one statement as it stands (no dialect adaptation), with
    // optional parameters (written "?" for both databases). A statement the
    // database rejects throws ServerError(Database) with its message.
    // With a limit, an answer larger than it is refused (Database) as soon as
    // it grows past it.
    StatementResult run(const std::string &sql, const std::vector<wire::Value> &params = {},
                        const AnswerLimit *limit = nullptr);

    // Runs one query and hands its rows to on_row one at a time as the
    // database gives them, never holding the result: memory is one row
    // whatever the size of the answer. Each column's type is settled once
    // from what the database declares: a text column gives text, a number
    // column numbers (text in it that is no number stays text), a column
    // without a declared type the database's own values. The row passed is
    // reused for the next. Errors as run(); on_row may throw to stop.
    void each_row(const std::string &sql, const std::vector<wire::Value> &params,
                  const std::function<void(wire::Row &)> &on_row);

    // Runs one statement that changes data once for each row of values
    // (values holds the rows one after the other, width values each, bound
    // to its "?" in order), compiled once. The rows changed, in all.
    std::int64_t run_rows(const std::string &sql, const std::vector<wire::Value> &values, std::size_t width);
    // What stream_answer hands over: a small answer whole, a larger one as
    // its fields and then its rows one at a time.
    struct AnswerReceiver {
        std::function<void(StatementResult &&)> whole;
        std::function<void(const std::vector<wire::FieldDef> &)> fields;
        std::function<void(std::span<const wire::Value>)> row;
    };
    // Runs one query and hands its answer over exactly as run() gives it
    // (the same fields, types, widths and values), never holding more than
    // about `held` bytes of it: an answer that fits is read once and handed
    // whole; a larger one is read twice, first to settle every column's type
    // from all its values and to hold it to the limit (refused before
    // anything is handed over), then row by row as it is read again. Both
    // reads must see the same rows: the caller reads in one snapshot. Rows
    // that differ anyway (a client's own transaction on PostgreSQL reads
    // each statement afresh) are refused (Database, rows_changed), even once
    // some were handed over.
    void stream_answer(const std::string &sql, const std::vector<wire::Value> &params, const AnswerLimit *limit,
                       std::size_t held, const AnswerReceiver &receiver);

    // Bounds every later statement: one that runs longer is stopped and
    // refused (Database), one that waits longer for a lock another session
    // holds is refused (Unavailable). Zero: no bound.
    void set_time_limit(std::chrono::milliseconds limit);
    // False once the connection to the database is lost.
    bool usable() const;

    // PostgreSQL: the password in the form the server stores it (SCRAM), so
    // that the password itself never stands in a statement. Throws
    // ServerError(Database) on SQLite.
    std::string encrypt_password(const std::string &password, const std::string &role);

    // --- transactions: each kind spelled once per engine ------------------------
    bool in_transaction() const;
    // A transaction that changes data and checks what it reads first: it
    // holds the database's write lock from its start on SQLite, so that no
    // other writer comes between the check and the change.
    void begin_write();
    // Several reads of one state of the data, changing nothing.
    void begin_snapshot();
    // The client's own transaction (CompanydbTranStart): it takes its locks
    // as its statements need them.
    void begin();
    // Commits the open transaction. A PostgreSQL transaction in which a
    // statement failed cannot be committed: it is rolled back and the commit
    // fails. Without an open transaction: nothing happens.
    void commit();
    // Rolls back the open transaction; without one: nothing happens.
    void rollback();
    // A savepoint inside the open transaction; undone (and let go) or kept.
    void savepoint(const std::string &name);
    void rollback_to_savepoint(const std::string &name);
    void release_savepoint(const std::string &name);

private:
    std::unique_ptr<Engine> engine_;
};

}  // namespace appserver
