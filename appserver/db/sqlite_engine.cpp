// SQLite behind Connection, through libsqlite3.
#include <sqlite3.h>

#include <filesystem>

#include "dialect.h"
#include "engine.h"
#include "server_text.h"

namespace appserver {

namespace {

Declared declared_from_sqlite(const char *decl)
{
    if (!decl || !*decl) return Declared::Unknown;
    // SQLite's own affinity rules, in its order.
    const std::string d = upper(decl);
    if (d.find("INT") != std::string::npos) return Declared::Integer;
    if (d.find("CHAR") != std::string::npos || d.find("CLOB") != std::string::npos ||
        d.find("TEXT") != std::string::npos)
        return Declared::String;
    if (d.find("REAL") != std::string::npos || d.find("FLOA") != std::string::npos ||
        d.find("DOUB") != std::string::npos)
        return Declared::Float;
    return Declared::Unknown;  // NUMERIC, DATE, BLOB: typed by the values
}

class SqliteEngine final : public Engine {
public:
    SqliteEngine(const ConnectionTarget &target, bool create_missing);
    ~SqliteEngine() override { sqlite3_close_v2(db_); }

    DatabaseKind kind() const override { return DatabaseKind::Sqlite; }
    StatementResult run(const std::string &sql, const std::vector<wire::Value> &params,
                        const AnswerLimit *limit) override;
    void each_row(const std::string &sql, const std::vector<wire::Value> &params,
                  const std::function<void(wire::Row &)> &on_row) override;
    std::int64_t run_rows(const std::string &sql, const std::vector<wire::Value> &values, std::size_t width) override;
    void scan(const std::string &sql, const std::vector<wire::Value> &params,
              const std::function<void(const std::vector<ScannedColumn> &)> &on_columns,
              const std::function<void(wire::Row &)> &on_row) override;
    void set_time_limit(std::chrono::milliseconds limit) override;
    bool usable() const override { return db_ != nullptr; }
    bool in_transaction() const override { return sqlite3_get_autocommit(db_) == 0; }
    bool transaction_failed() const override { return false; }
    void begin(Transaction kind) override
    {
        // A write takes the write lock at once; the others take their locks
        // as their statements need them.
        run(kind == Transaction::Write ? "BEGIN IMMEDIATE" : "BEGIN", {}, nullptr);
    }
    std::string encrypt_password(const std::string &, const std::string &) override
    {
        throw ServerError(ServerError::Kind::Database, "only PostgreSQL has login roles");
    }

private:
    using Statement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)>;
    Statement prepare(const std::string &sql, const std::vector<wire::Value> &params);
    static void bind(sqlite3_stmt *stmt, const wire::Value *values, std::size_t count);
    bool step(sqlite3_stmt *stmt);
    static int past_deadline(void *engine);
    // The statement failed: SQLite's message, and what kind of refusal it is.
    [[noreturn]] void refused() const
    {
        const int code = sqlite3_extended_errcode(db_);
        database_refused(sqlite3_errmsg(db_), code == SQLITE_CONSTRAINT_UNIQUE || code == SQLITE_CONSTRAINT_PRIMARYKEY
                                                  ? Refusal::Duplicate
                                                  : Refusal::Statement);
    }

    sqlite3 *db_ = nullptr;
    std::chrono::milliseconds time_limit_{0};
    std::chrono::steady_clock::time_point deadline_;  // of the running statement
};

SqliteEngine::SqliteEngine(const ConnectionTarget &target, bool create_missing)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (target.sqlite_file != ":memory:" && !fs::exists(target.sqlite_file, ec)) {
        if (!create_missing)
            cannot_open("the database file \"" + target.sqlite_file +
                        "\" does not exist (start the server with --init to create it)");
        fs::path parent = fs::path(target.sqlite_file).parent_path();
        if (!parent.empty() && !fs::is_directory(parent, ec))
            cannot_open("the folder \"" + parent.string() + "\" of the database file does not exist");
    }
    if (sqlite3_open_v2(target.sqlite_file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close_v2(db_);
        db_ = nullptr;
        cannot_open("Cannot establish connection to the database. " + why);
    }
    sqlite3_busy_timeout(db_, 10000);
    install_sqlite_functions(db_);
    // SQLite opens lazily: a file that is not a database shows only now.
    try {
        run("SELECT COUNT(*) FROM sqlite_master", {}, nullptr);
    } catch (const ServerError &e) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        cannot_open("\"" + target.sqlite_file + "\": " + e.what());
    }
}

int SqliteEngine::past_deadline(void *engine)
{
    const auto *e = static_cast<const SqliteEngine *>(engine);
    return std::chrono::steady_clock::now() > e->deadline_ ? 1 : 0;
}

void SqliteEngine::set_time_limit(std::chrono::milliseconds limit)
{
    time_limit_ = limit;
    // The busy handler waits for another connection's lock at most this
    // long; the progress handler stops a statement running longer.
    sqlite3_busy_timeout(db_, static_cast<int>(limit.count()));
    sqlite3_progress_handler(db_, limit.count() > 0 ? 10000 : 0, limit.count() > 0 ? past_deadline : nullptr, this);
}

// Prepares exactly one statement and binds its parameters ("?", in order);
// the clock of the statement's time limit starts here.
SqliteEngine::Statement SqliteEngine::prepare(const std::string &sql, const std::vector<wire::Value> &params)
{
    deadline_ = std::chrono::steady_clock::now() + time_limit_;
    sqlite3_stmt *stmt = nullptr;
    const char *tail = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail) != SQLITE_OK)
        refused();
    Statement guard(stmt, sqlite3_finalize);
    if (!stmt) throw ServerError(ServerError::Kind::Database, "the command text holds no statement");
    if (tail && trimmed(std::string(tail)).find_first_not_of(';') != std::string::npos)
        throw ServerError(ServerError::Kind::Database, "only one statement can be run at a time");

    bind(stmt, params.data(), params.size());
    return guard;
}

// Binds values to the statement's first parameters, the text without a copy.
void SqliteEngine::bind(sqlite3_stmt *stmt, const wire::Value *values, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const int index = static_cast<int>(i + 1);
        const auto &v = values[i];
        if (const auto *s = std::get_if<std::string>(&v))
            sqlite3_bind_text(stmt, index, s->data(), static_cast<int>(s->size()), SQLITE_STATIC);
        else if (const auto *d = std::get_if<double>(&v)) sqlite3_bind_double(stmt, index, *d);
        else if (const auto *n = std::get_if<std::int64_t>(&v)) sqlite3_bind_int64(stmt, index, *n);
        else sqlite3_bind_null(stmt, index);
    }
}

// Compiled once, run for each row: no round trip to save here, and a
// statement of thousands of values costs more to compile than its rows cost
// to write.
std::int64_t SqliteEngine::run_rows(const std::string &sql, const std::vector<wire::Value> &values, std::size_t width)
{
    auto guard = prepare(sql, {});
    sqlite3_stmt *stmt = guard.get();
    if (sqlite3_bind_parameter_count(stmt) != static_cast<int>(width))
        throw ServerError(ServerError::Kind::Database, "the statement takes " +
                                                           std::to_string(sqlite3_bind_parameter_count(stmt)) +
                                                           " values a row, not " + std::to_string(width));
    // The statement's own rows, not those its triggers change.
    std::int64_t changed = 0;
    for (std::size_t at = 0; at + width <= values.size(); at += width) {
        bind(stmt, values.data() + at, width);
        while (step(stmt)) {
        }
        if (!sqlite3_stmt_readonly(stmt)) changed += sqlite3_changes64(db_);
        sqlite3_reset(stmt);
    }
    return changed;
}

// The statement's next row: true when there is one, false at the end; a
// failure (the time limit, a lock held too long) throws.
bool SqliteEngine::step(sqlite3_stmt *stmt)
{
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    if (time_limit_.count() > 0 && rc == SQLITE_INTERRUPT) ran_too_long(time_limit_);
    if (time_limit_.count() > 0 && (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)) locked_too_long(time_limit_);
    refused();
}

StatementResult SqliteEngine::run(const std::string &sql, const std::vector<wire::Value> &params,
                                  const AnswerLimit *limit)
{
    auto guard = prepare(sql, params);
    sqlite3_stmt *stmt = guard.get();

    StatementResult result;
    const int columns = sqlite3_column_count(stmt);
    result.has_columns = columns > 0;
    std::vector<Declared> declared(columns);
    std::vector<std::optional<int>> widths(columns);
    for (int c = 0; c < columns; ++c) {
        const char *name = sqlite3_column_name(stmt, c);
        const char *decl = sqlite3_column_decltype(stmt, c);
        declared[c] = declared_from_sqlite(decl);
        if (decl && declared[c] == Declared::String) widths[c] = declared_width(decl);
        result.packet.fields.push_back({name ? name : "", wire::FieldType::String, 0});
    }
    AnswerMeter meter{limit};
    while (step(stmt)) {
        meter.row(result.packet.rows.size() + 1);
        wire::Row row;
        row.reserve(columns);
        for (int c = 0; c < columns; ++c) {
            switch (sqlite3_column_type(stmt, c)) {
            case SQLITE_INTEGER: row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(stmt, c))); break;
            case SQLITE_FLOAT: row.emplace_back(sqlite3_column_double(stmt, c)); break;
            case SQLITE_NULL: row.emplace_back(std::monostate{}); break;
            default: {
                const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
                row.emplace_back(std::string(text ? text : "", sqlite3_column_bytes(stmt, c)));
            }
            }
            if (limit) meter.value(sqlite3_column_bytes(stmt, c));
        }
        result.packet.rows.push_back(std::move(row));
    }
    // The statement's own rows, not those its triggers change.
    result.rows_affected = sqlite3_stmt_readonly(stmt) ? 0 : sqlite3_changes64(db_);
    for (int c = 0; c < columns; ++c) settle_column(result.packet, c, declared[c], widths[c]);
    return result;
}

void SqliteEngine::each_row(const std::string &sql, const std::vector<wire::Value> &params,
                            const std::function<void(wire::Row &)> &on_row)
{
    auto guard = prepare(sql, params);
    sqlite3_stmt *stmt = guard.get();

    const int columns = sqlite3_column_count(stmt);
    std::vector<Declared> declared(columns);
    for (int c = 0; c < columns; ++c) declared[c] = declared_from_sqlite(sqlite3_column_decltype(stmt, c));
    wire::Row row(columns);
    while (step(stmt)) {
        for (int c = 0; c < columns; ++c) {
            auto &v = row[c];
            if (declared[c] == Declared::String) {
                // Text, whatever is stored (SQL NULL gives no text at all).
                const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
                if (!text) {
                    if (sqlite3_errcode(db_) == SQLITE_NOMEM) throw ServerError(ServerError::Kind::Database, "out of memory");
                    v = std::monostate{};
                    continue;
                }
                const std::string_view t(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, c)));
                if (auto *s = std::get_if<std::string>(&v)) s->assign(t);  // the row's own buffer, reused
                else v = std::string(t);
                continue;
            }
            const int type = sqlite3_column_type(stmt, c);
            if (type == SQLITE_NULL) {
                v = std::monostate{};
                continue;
            }
            if (type == SQLITE_TEXT || type == SQLITE_BLOB) {
                const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
                const std::string_view t(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, c)));
                if (declared[c] == Declared::Float || declared[c] == Declared::Integer) {
                    v = number_value(declared[c], std::string(t));
                } else if (auto *s = std::get_if<std::string>(&v)) {
                    s->assign(t);  // the row's own buffer, reused
                } else {
                    v = std::string(t);
                }
            } else if (declared[c] == Declared::Float || type == SQLITE_FLOAT) {
                v = sqlite3_column_double(stmt, c);
            } else {
                v = static_cast<std::int64_t>(sqlite3_column_int64(stmt, c));
            }
        }
        on_row(row);
    }
}

void SqliteEngine::scan(const std::string &sql, const std::vector<wire::Value> &params,
                        const std::function<void(const std::vector<ScannedColumn> &)> &on_columns,
                        const std::function<void(wire::Row &)> &on_row)
{
    auto guard = prepare(sql, params);
    sqlite3_stmt *stmt = guard.get();
    const int columns = sqlite3_column_count(stmt);
    std::vector<ScannedColumn> described(columns);
    for (int c = 0; c < columns; ++c) {
        const char *name = sqlite3_column_name(stmt, c);
        const char *decl = sqlite3_column_decltype(stmt, c);
        described[c].name = name ? name : "";
        described[c].declared = declared_from_sqlite(decl);
        if (decl && described[c].declared == Declared::String) described[c].width = declared_width(decl);
    }
    on_columns(described);
    wire::Row row(columns);
    while (step(stmt)) {
        // As run() reads them: by what each value is stored as.
        for (int c = 0; c < columns; ++c) {
            auto &v = row[c];
            switch (sqlite3_column_type(stmt, c)) {
            case SQLITE_INTEGER: v = static_cast<std::int64_t>(sqlite3_column_int64(stmt, c)); break;
            case SQLITE_FLOAT: v = sqlite3_column_double(stmt, c); break;
            case SQLITE_NULL: v = std::monostate{}; break;
            default: {
                const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
                const std::string_view t(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, c)));
                if (auto *s = std::get_if<std::string>(&v)) s->assign(t);  // the row's own buffer, reused
                else v = std::string(t);
            }
            }
        }
        on_row(row);
    }
}

}  // namespace

void configure_database_library() { sqlite3_config(SQLITE_CONFIG_MULTITHREAD); }

std::unique_ptr<Engine> open_sqlite(const ConnectionTarget &target, bool create_missing)
{
    return std::make_unique<SqliteEngine>(target, create_missing);
}

}  // namespace appserver
