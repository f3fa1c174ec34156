// What one database engine provides behind Connection (one file each:
// sqlite_engine.cpp, postgresql_engine.cpp), and what both share: the
// column typing, the answer limit, the refusals of the time limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "database_types.h"
#include "server_error.h"

namespace appserver {

struct ScannedColumn;

class Engine {
public:
    virtual ~Engine() = default;
    virtual DatabaseKind kind() const = 0;
    virtual StatementResult run(const std::string &sql, const std::vector<wire::Value> &params,
                                const AnswerLimit *limit) = 0;
    virtual void each_row(const std::string &sql, const std::vector<wire::Value> &params,
                          const std::function<void(wire::Row &)> &on_row) = 0;
    // Connection::run_rows; by default the statement run row by row.
    virtual std::int64_t run_rows(const std::string &sql, const std::vector<wire::Value> &values, std::size_t width);
    // Runs one query and hands over its columns (once, before any row) and
    // then its rows one at a time, with the values exactly as run() reads
    // them before their columns are settled; the row passed is reused.
    virtual void scan(const std::string &sql, const std::vector<wire::Value> &params,
                      const std::function<void(const std::vector<ScannedColumn> &)> &on_columns,
                      const std::function<void(wire::Row &)> &on_row) = 0;
    virtual void set_time_limit(std::chrono::milliseconds limit) = 0;
    virtual bool usable() const = 0;
    virtual bool in_transaction() const = 0;
    // A statement of the open transaction failed: it can only be rolled back.
    virtual bool transaction_failed() const = 0;
    // The kinds of transaction (Connection's begin_write, begin_snapshot, begin).
    enum class Transaction { Write, Snapshot, Client };
    virtual void begin(Transaction kind) = 0;
    virtual std::string encrypt_password(const std::string &password, const std::string &role) = 0;
};

// The engines, each in its own file.
std::unique_ptr<Engine> open_sqlite(const ConnectionTarget &target, bool create_missing);
std::unique_ptr<Engine> open_postgresql(const ConnectionTarget &target);

// The database's own refusals: thrown in its words (for the log and the
// administrator's commands), each with the text a planner is told instead
// (ServerError::planner_message).
// "the database cannot be opened: WHY" (Unavailable).
[[noreturn]] void cannot_open(const std::string &why);
// The connection to the database was lost: WHY (Unavailable).
[[noreturn]] void connection_lost(const std::string &why);
// What kind of statement the database refused.
enum class Refusal {
    Statement,    // anything else: a missing table, a syntax error, a bad value...
    Duplicate,    // a unique key already holds the values
    NotPermitted  // the connecting role lacks a right
};
// The database refused a statement, in its words (Database).
[[noreturn]] void database_refused(const std::string &text, Refusal refusal);
// A statement past the time limit (Database), a lock waited for past it (Unavailable).
[[noreturn]] void ran_too_long(std::chrono::milliseconds limit);
[[noreturn]] void locked_too_long(std::chrono::milliseconds limit);

// --- column typing ------------------------------------------------------------

// What a column is declared as, before its values are seen.
enum class Declared { Unknown, String, Float, Integer };

// A result column as the database describes it, before its values are seen.
struct ScannedColumn {
    std::string name;
    Declared declared = Declared::Unknown;
    std::optional<int> width;  // a text column's declared VARCHAR(n)/CHAR(n)
};

// The type of one result column, settled from its declaration and every
// one of its values (observe each, then type() and size()), and the values
// converted to it (convert). A whole result and a streamed one settle the
// same way: settle_column is this over the rows held.
class ColumnTyping {
public:
    ColumnTyping(Declared declared, std::optional<int> width) : declared_(declared), width_(width) {}
    void observe(const wire::Value &v);
    wire::FieldType type() const;
    int size() const;  // a string column's width, 0 for the others
    // The value as the settled type holds it. Throws wire::WireError for a
    // value that cannot be (one the column's observation never saw).
    void convert(wire::Value &v) const;

private:
    Declared declared_;
    std::optional<int> width_;
    bool any_text_ = false, any_double_ = false, any_value_ = false;
    int widest_ = 0;
};

// The width n of a declared "VARCHAR(n)" / "CHAR(n)", or nullopt.
std::optional<int> declared_width(const std::string &decl);

// Settles the type of one column of a whole result from its declaration and
// its values, and converts the values to that type. Numbers in a column
// declared as text stay text; a column without a declaration (a computed
// one) is typed by the values it holds: whole numbers give "integer",
// numbers "float", anything else "string".
void settle_column(wire::DataPacket &p, std::size_t col, Declared declared, std::optional<int> width);

// A value of a column declared as a number: the number, or the text as it is
// when it reads as none.
wire::Value number_value(Declared declared, std::string text);

// Counts an answer against its limit, value by value.
struct AnswerMeter {
    const AnswerLimit *limit;
    std::size_t bytes = 0;
    void row(std::size_t rows_so_far);
    void value(std::size_t n);
};

}  // namespace appserver
