#include "database.h"

#include <algorithm>
#include <cmath>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <cstdio>
#include <optional>

#include "contract.h"
#include "soci_fwd.h"
#include "server_text.h"

namespace appserver {

namespace {

// Width of UTF-8 text in bytes of the 8-bit Chinese code page: one byte for
// ASCII, two for every other character.
int code_page_width(const std::string &utf8)
{
    int width = 0;
    for (unsigned char c : utf8) {
        if (c < 0x80) width += 1;
        else if ((c & 0xC0) != 0x80) width += 2;  // lead byte of a multi-byte character
    }
    return width;
}

// The width n of a declared "VARCHAR(n)" / "CHAR(n)", or nullopt.
std::optional<int> declared_width(const std::string &decl)
{
    auto open = decl.find('(');
    auto close = decl.find(')', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) return std::nullopt;
    int n = 0;
    auto res = std::from_chars(decl.data() + open + 1, decl.data() + close, n);
    if (res.ec != std::errc() || res.ptr != decl.data() + close || n <= 0) return std::nullopt;
    return n;
}

std::optional<std::int64_t> whole_number_of(const std::string &text)
{
    std::string t = trimmed(text);
    const char *first = t.data();
    if (!t.empty() && *first == '+') ++first;
    std::int64_t n = 0;
    auto res = std::from_chars(first, t.data() + t.size(), n);
    if (t.empty() || res.ec != std::errc() || res.ptr != t.data() + t.size()) return std::nullopt;
    return n;
}

std::optional<double> number_of(const std::string &text)
{
    std::string t = trimmed(text);
    if (t.empty()) return std::nullopt;
    const char *first = t.data();
    if (*first == '+') ++first;
    double d = 0;
    auto res = std::from_chars(first, t.data() + t.size(), d);
    if (res.ec != std::errc() || res.ptr != t.data() + t.size()) return std::nullopt;
    return d;
}

// What a column is declared as, before its values are seen.
enum class Declared { Unknown, String, Float, Integer };

// Settles the type of one column from its declaration and its values, and
// converts the values to that type. Numbers in a column declared as text
// stay text; a column without a declaration (a computed one) is typed by the
// values it holds: whole numbers give "integer", numbers "float", anything
// else "string".
void settle_column(wire::DataPacket &p, std::size_t col, Declared declared, std::optional<int> width)
{
    bool any_text = false, any_double = false, any_value = false;
    for (const auto &row : p.rows) {
        const auto &v = row[col];
        if (wire::is_null(v)) continue;
        any_value = true;
        if (const auto *s = std::get_if<std::string>(&v)) {
            if (declared == Declared::Float || declared == Declared::Integer) {
                if (whole_number_of(*s)) continue;
                if (number_of(*s)) {
                    any_double = true;
                    continue;
                }
            }
            any_text = true;
        } else if (std::holds_alternative<double>(v)) {
            any_double = true;
        }
    }
    wire::FieldType type;
    if (declared == Declared::String || any_text) type = wire::FieldType::String;
    else if (declared == Declared::Float) type = wire::FieldType::Float;
    else if (declared == Declared::Integer) type = any_double ? wire::FieldType::Float : wire::FieldType::Integer;
    else if (!any_value) type = wire::FieldType::String;
    else type = any_double ? wire::FieldType::Float : wire::FieldType::Integer;

    int widest = 0;
    for (auto &row : p.rows) {
        auto &v = row[col];
        if (wire::is_null(v)) continue;
        switch (type) {
        case wire::FieldType::String:
            if (!std::holds_alternative<std::string>(v)) v = wire::value_to_text(v);
            widest = std::max(widest, code_page_width(std::get<std::string>(v)));
            break;
        case wire::FieldType::Float:
            if (!std::holds_alternative<double>(v)) v = wire::value_to_double(v);
            break;
        case wire::FieldType::Integer:
            if (const auto *s = std::get_if<std::string>(&v)) v = *whole_number_of(*s);
            else if (const auto *d = std::get_if<double>(&v)) v = static_cast<std::int64_t>(*d);
            break;
        }
    }
    p.fields[col].type = type;
    p.fields[col].size = type == wire::FieldType::String ? (width ? *width : std::max(widest, 1)) : 0;
}

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

Declared declared_from_pg(Oid oid)
{
    switch (oid) {
    case 20: case 21: case 23: case 26: return Declared::Integer;  // int8, int2, int4, oid
    case 700: case 701: case 1700: return Declared::Float;         // float4, float8, numeric
    default: return Declared::String;
    }
}

// "?" placeholders to PostgreSQL's "$1", "$2"... outside quoted text.
std::string numbered_placeholders(const std::string &sql)
{
    std::string out;
    int n = 0;
    char quote = 0;
    for (char c : sql) {
        if (quote) {
            if (c == quote) quote = 0;
            out += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            out += c;
        } else if (c == '?') {
            out += '$' + std::to_string(++n);
        } else {
            out += c;
        }
    }
    return out;
}

void sqlite_nvl(sqlite_api::sqlite3_context *ctx, int, sqlite_api::sqlite3_value **argv)
{
    if (sqlite_api::sqlite3_value_type(argv[0]) != SQLITE_NULL) sqlite_api::sqlite3_result_value(ctx, argv[0]);
    else sqlite_api::sqlite3_result_value(ctx, argv[1]);
}

void ignore_notice(void *, const char *) {}

[[noreturn]] void unavailable(const std::string &why)
{
    throw ServerError(ServerError::Kind::Unavailable, "the database cannot be opened: " + why);
}

}  // namespace

void configure_database_library() { sqlite_api::sqlite3_config(SQLITE_CONFIG_MULTITHREAD); }

ConnectionTarget parse_connection_string(const std::string &connection_string)
{
    ConnectionTarget t;
    auto sep = connection_string.find("://");
    const std::string backend = sep == std::string::npos ? std::string() : connection_string.substr(0, sep);
    if (backend == "sqlite3") t.kind = DatabaseKind::Sqlite;
    else if (backend == "postgresql") t.kind = DatabaseKind::Postgresql;
    else
        throw ServerError(ServerError::Kind::BadRequest,
                          "unsupported database connection \"" + connection_string +
                              "\": expected sqlite3://db=FILE or postgresql://dbname=... host=...");
    t.parameters = connection_string.substr(sep + 3);
    if (t.kind == DatabaseKind::Sqlite) {
        if (t.parameters.find('=') == std::string::npos) {
            t.sqlite_file = trimmed(t.parameters);
        } else {
            std::size_t pos = 0;
            while (pos < t.parameters.size()) {
                auto b = t.parameters.find_first_not_of(' ', pos);
                if (b == std::string::npos) break;
                auto e = t.parameters.find(' ', b);
                if (e == std::string::npos) e = t.parameters.size();
                std::string token = t.parameters.substr(b, e - b);
                for (const char *key : {"db=", "dbname="})
                    if (token.rfind(key, 0) == 0) t.sqlite_file = token.substr(std::string(key).size());
                pos = e;
            }
        }
        if (t.sqlite_file.empty())
            throw ServerError(ServerError::Kind::BadRequest,
                              "the SQLite connection \"" + connection_string + "\" names no database file");
    }
    return t;
}

std::string database_kind_of(const std::string &connection_string)
{
    return parse_connection_string(connection_string).kind == DatabaseKind::Sqlite ? "sqlite" : "postgresql";
}

// A statement's parameters as libpq takes them: texts (numbers in their
// shortest exact form), null pointers for empty values, "$n" placeholders.
struct PgParams {
    std::vector<std::string> texts;
    std::vector<const char *> values;
    std::string text;
    PgParams(const std::string &sql, const std::vector<wire::Value> &params)
        : texts(params.size()), values(params.size(), nullptr),
          text(params.empty() ? sql : numbered_placeholders(sql))
    {
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (wire::is_null(params[i])) continue;
            if (const auto *d = std::get_if<double>(&params[i])) {
                char buf[64];
                auto res = std::to_chars(buf, buf + sizeof buf, *d);  // shortest text that reads back exactly
                texts[i].assign(buf, res.ptr);
            } else {
                texts[i] = wire::value_to_text(params[i]);
            }
            values[i] = texts[i].c_str();
        }
    }
    PgParams(const PgParams &) = delete;
    PgParams &operator=(const PgParams &) = delete;
};

struct Connection::Backend {
    std::unique_ptr<soci::session> session;
    sqlite_api::sqlite3 *sqlite = nullptr;
    PGconn *pg = nullptr;
    std::chrono::milliseconds time_limit{0};
    std::chrono::steady_clock::time_point deadline;  // SQLite: of the running statement

    StatementResult run_sqlite(const std::string &sql, const std::vector<wire::Value> &params,
                               const AnswerLimit *limit);
    StatementResult run_pg(const std::string &sql, const std::vector<wire::Value> &params,
                           const AnswerLimit *limit);
    void each_row_sqlite(const std::string &sql, const std::vector<wire::Value> &params,
                         const std::function<void(wire::Row &)> &on_row);
    void each_row_pg(const std::string &sql, const std::vector<wire::Value> &params,
                     const std::function<void(wire::Row &)> &on_row);
    [[noreturn]] void pg_failed(const PGresult *res) const;
    using SqliteStatement = std::unique_ptr<sqlite_api::sqlite3_stmt, int (*)(sqlite_api::sqlite3_stmt *)>;
    SqliteStatement prepare_sqlite(const std::string &sql, const std::vector<wire::Value> &params);

    // The statement's next row: true when there is one, false at the end;
    // a failure (the time limit, a lock held too long) throws.
    bool step_sqlite(sqlite_api::sqlite3_stmt *stmt)
    {
        const int rc = sqlite_api::sqlite3_step(stmt);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        if (time_limit.count() > 0 && rc == SQLITE_INTERRUPT) ran_too_long();
        if (time_limit.count() > 0 && (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)) locked_too_long();
        throw ServerError(ServerError::Kind::Database, sqlite_api::sqlite3_errmsg(sqlite));
    }

    [[noreturn]] void ran_too_long() const
    {
        throw ServerError(ServerError::Kind::Database,
                          "the statement ran longer than the limit of " + seconds_text(time_limit) + " s and was stopped",
                          contract::error::kStatementTimeout);
    }
    [[noreturn]] void locked_too_long() const
    {
        throw ServerError(ServerError::Kind::Unavailable,
                          "the data is locked by another session's open transaction: waited " +
                              seconds_text(time_limit) + " s for it; try again later",
                          contract::error::kLocked);
    }
};

namespace {

// Stops a SQLite statement past its deadline.
int sqlite_past_deadline(void *backend)
{
    const auto *b = static_cast<const Connection::Backend *>(backend);
    return std::chrono::steady_clock::now() > b->deadline ? 1 : 0;
}

// Counts an answer against its limit, value by value.
struct AnswerMeter {
    const AnswerLimit *limit;
    std::size_t bytes = 0;
    void row(std::size_t rows_so_far)
    {
        if (limit && limit->rows && rows_so_far > limit->rows)
            throw ServerError(ServerError::Kind::Database,
                              "the answer has more than " + std::to_string(limit->rows) +
                                  " rows, the most this server sends: narrow the statement",
                              contract::error::kAnswerTooLarge);
    }
    void value(std::size_t n)
    {
        bytes += n + 8;
        if (limit && limit->bytes && bytes > limit->bytes)
            throw ServerError(ServerError::Kind::Database, "the answer is larger than " +
                                                               std::to_string(limit->bytes) +
                                                               " bytes, the most this server sends: narrow the statement",
                              contract::error::kAnswerTooLarge);
    }
};

}  // namespace

Connection::Connection(const std::string &connection_string, bool create_missing)
    : backend_(std::make_unique<Backend>())
{
    ConnectionTarget target = parse_connection_string(connection_string);
    kind_ = target.kind;
    if (kind_ == DatabaseKind::Sqlite) {
        namespace fs = std::filesystem;
        std::error_code ec;
        if (target.sqlite_file != ":memory:" && !fs::exists(target.sqlite_file, ec)) {
            if (!create_missing)
                unavailable("the database file \"" + target.sqlite_file +
                            "\" does not exist (start the server with --init to create it)");
            fs::path parent = fs::path(target.sqlite_file).parent_path();
            if (!parent.empty() && !fs::is_directory(parent, ec))
                unavailable("the folder \"" + parent.string() + "\" of the database file does not exist");
        }
        try {
            backend_->session = std::make_unique<soci::session>(soci::sqlite3, target.parameters);
        } catch (const std::exception &e) {
            unavailable(e.what());
        }
        backend_->sqlite =
            static_cast<soci::sqlite3_session_backend *>(backend_->session->get_backend())->conn_;
        sqlite_api::sqlite3_busy_timeout(backend_->sqlite, 10000);
        sqlite_api::sqlite3_create_function(backend_->sqlite, "NVL", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                            nullptr, sqlite_nvl, nullptr, nullptr);
        // SQLite opens lazily: a file that is not a database shows only now.
        try {
            run("SELECT COUNT(*) FROM sqlite_master");
        } catch (const ServerError &e) {
            unavailable("\"" + target.sqlite_file + "\": " + e.what());
        }
    } else {
        try {
            backend_->session = std::make_unique<soci::session>(soci::postgresql, target.parameters);
        } catch (const std::exception &e) {
            unavailable(trimmed(e.what()));
        }
        backend_->pg =
            static_cast<soci::postgresql_session_backend *>(backend_->session->get_backend())->conn_;
        PQsetNoticeProcessor(backend_->pg, ignore_notice, nullptr);
        PQsetClientEncoding(backend_->pg, "UTF8");
    }
}

Connection::~Connection() = default;

std::string Connection::encrypt_password(const std::string &password, const std::string &role)
{
    if (!backend_->pg) throw ServerError(ServerError::Kind::Database, "only PostgreSQL has login roles");
    char *encrypted = PQencryptPasswordConn(backend_->pg, password.c_str(), role.c_str(), "scram-sha-256");
    if (!encrypted) throw ServerError(ServerError::Kind::Database, trimmed(PQerrorMessage(backend_->pg)));
    std::string out = encrypted;
    PQfreemem(encrypted);
    return out;
}

StatementResult Connection::run(const std::string &sql, const std::vector<wire::Value> &params,
                                const AnswerLimit *limit)
{
    return kind_ == DatabaseKind::Sqlite ? backend_->run_sqlite(sql, params, limit)
                                         : backend_->run_pg(sql, params, limit);
}

void Connection::set_time_limit(std::chrono::milliseconds limit)
{
    backend_->time_limit = limit;
    if (backend_->sqlite) {
        // The busy handler waits for another connection's lock at most this
        // long; the progress handler stops a statement running longer.
        sqlite_api::sqlite3_busy_timeout(backend_->sqlite, static_cast<int>(limit.count()));
        sqlite_api::sqlite3_progress_handler(backend_->sqlite, limit.count() > 0 ? 10000 : 0,
                                             limit.count() > 0 ? sqlite_past_deadline : nullptr, backend_.get());
    } else {
        // A lock wait ends a little before the statement's own limit, so that
        // it is reported as what it is.
        run("SET statement_timeout = " + std::to_string(limit.count() + limit.count() / 10 + 100));
        run("SET lock_timeout = " + std::to_string(limit.count()));
    }
}

bool Connection::usable() const
{
    if (backend_->pg) return PQstatus(backend_->pg) == CONNECTION_OK;
    return backend_->sqlite != nullptr;
}

// Prepares exactly one statement and binds its parameters ("?", in order);
// the clock of the statement's time limit starts here.
Connection::Backend::SqliteStatement Connection::Backend::prepare_sqlite(const std::string &sql,
                                                                          const std::vector<wire::Value> &params)
{
    using namespace sqlite_api;
    deadline = std::chrono::steady_clock::now() + time_limit;
    sqlite3_stmt *stmt = nullptr;
    const char *tail = nullptr;
    if (sqlite3_prepare_v2(sqlite, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail) != SQLITE_OK)
        throw ServerError(ServerError::Kind::Database, sqlite3_errmsg(sqlite));
    SqliteStatement guard(stmt, sqlite3_finalize);
    if (!stmt) throw ServerError(ServerError::Kind::Database, "the command text holds no statement");
    if (tail && trimmed(std::string(tail)).find_first_not_of(';') != std::string::npos)
        throw ServerError(ServerError::Kind::Database, "only one statement can be run at a time");

    for (std::size_t i = 0; i < params.size(); ++i) {
        const int index = static_cast<int>(i + 1);
        const auto &v = params[i];
        if (const auto *s = std::get_if<std::string>(&v))
            sqlite3_bind_text(stmt, index, s->data(), static_cast<int>(s->size()), SQLITE_STATIC);
        else if (const auto *d = std::get_if<double>(&v)) sqlite3_bind_double(stmt, index, *d);
        else if (const auto *n = std::get_if<std::int64_t>(&v)) sqlite3_bind_int64(stmt, index, *n);
        else sqlite3_bind_null(stmt, index);
    }

    return guard;
}

StatementResult Connection::Backend::run_sqlite(const std::string &sql, const std::vector<wire::Value> &params,
                                                const AnswerLimit *limit)
{
    using namespace sqlite_api;
    auto guard = prepare_sqlite(sql, params);
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
    const auto changes_before = sqlite3_total_changes64(sqlite);
    AnswerMeter meter{limit};
    for (;;) {
        if (!step_sqlite(stmt)) break;
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
    result.rows_affected = sqlite3_stmt_readonly(stmt) ? 0 : sqlite3_total_changes64(sqlite) - changes_before;
    for (int c = 0; c < columns; ++c) settle_column(result.packet, c, declared[c], widths[c]);
    return result;
}

StatementResult Connection::Backend::run_pg(const std::string &sql, const std::vector<wire::Value> &params,
                                            const AnswerLimit *limit)
{
    const PgParams bound(sql, params);
    const std::string &text = bound.text;
    const auto &values = bound.values;
    std::unique_ptr<PGresult, void (*)(PGresult *)> res(
        PQexecParams(pg, text.c_str(), static_cast<int>(params.size()), nullptr,
                     params.empty() ? nullptr : values.data(), nullptr, nullptr, 0),
        PQclear);
    if (!res || PQstatus(pg) == CONNECTION_BAD)
        throw ServerError(ServerError::Kind::Unavailable,
                          "the database connection was lost: " + trimmed(PQerrorMessage(pg)));
    StatementResult result;
    switch (PQresultStatus(res.get())) {
    case PGRES_COMMAND_OK: break;
    case PGRES_TUPLES_OK: result.has_columns = true; break;
    case PGRES_EMPTY_QUERY: throw ServerError(ServerError::Kind::Database, "the command text holds no statement");
    default: {
        const char *state = PQresultErrorField(res.get(), PG_DIAG_SQLSTATE);
        if (state && time_limit.count() > 0 && std::string(state) == "57014") ran_too_long();
        if (state && time_limit.count() > 0 && std::string(state) == "55P03") locked_too_long();
        const char *primary = PQresultErrorField(res.get(), PG_DIAG_MESSAGE_PRIMARY);
        std::string message = primary ? primary : trimmed(PQresultErrorMessage(res.get()));
        throw ServerError(ServerError::Kind::Database, message);
    }
    }
    const std::string status = PQcmdStatus(res.get());
    const char *tuples = PQcmdTuples(res.get());
    if (status.rfind("SELECT", 0) != 0 && tuples && *tuples) result.rows_affected = std::atoll(tuples);
    if (!result.has_columns) return result;

    const int columns = PQnfields(res.get());
    const int rows = PQntuples(res.get());
    std::vector<Declared> declared(columns);
    std::vector<std::optional<int>> widths(columns);
    for (int c = 0; c < columns; ++c) {
        const Oid type = PQftype(res.get(), c);
        declared[c] = declared_from_pg(type);
        const int mod = PQfmod(res.get(), c);
        if ((type == 1043 || type == 1042) && mod > 4) widths[c] = mod - 4;  // varchar(n), char(n)
        result.packet.fields.push_back({PQfname(res.get(), c), wire::FieldType::String, 0});
    }
    AnswerMeter meter{limit};
    meter.row(static_cast<std::size_t>(rows));
    result.packet.rows.reserve(rows);
    for (int r = 0; r < rows; ++r) {
        wire::Row row;
        row.reserve(columns);
        for (int c = 0; c < columns; ++c) {
            if (PQgetisnull(res.get(), r, c)) row.emplace_back(std::monostate{});
            else row.emplace_back(std::string(PQgetvalue(res.get(), r, c), PQgetlength(res.get(), r, c)));
            if (limit) meter.value(static_cast<std::size_t>(PQgetlength(res.get(), r, c)));
        }
        result.packet.rows.push_back(std::move(row));
    }
    for (int c = 0; c < columns; ++c) settle_column(result.packet, c, declared[c], widths[c]);
    return result;
}

void Connection::each_row(const std::string &sql, const std::vector<wire::Value> &params,
                          const std::function<void(wire::Row &)> &on_row)
{
    if (kind_ == DatabaseKind::Sqlite) backend_->each_row_sqlite(sql, params, on_row);
    else backend_->each_row_pg(sql, params, on_row);
}

namespace {

// A value of a column declared as a number: the number, or the text as it is
// when it reads as none.
wire::Value number_value(Declared declared, std::string text)
{
    if (declared == Declared::Integer)
        if (auto n = whole_number_of(text)) return *n;
    if (auto d = number_of(text)) return *d;
    return text;
}

}  // namespace

void Connection::Backend::each_row_sqlite(const std::string &sql, const std::vector<wire::Value> &params,
                                          const std::function<void(wire::Row &)> &on_row)
{
    using namespace sqlite_api;
    auto guard = prepare_sqlite(sql, params);
    sqlite3_stmt *stmt = guard.get();

    const int columns = sqlite3_column_count(stmt);
    std::vector<Declared> declared(columns);
    for (int c = 0; c < columns; ++c) declared[c] = declared_from_sqlite(sqlite3_column_decltype(stmt, c));
    wire::Row row(columns);
    for (;;) {
        if (!step_sqlite(stmt)) break;
        for (int c = 0; c < columns; ++c) {
            auto &v = row[c];
            if (declared[c] == Declared::String) {
                // Text, whatever is stored (SQL NULL gives no text at all).
                const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
                if (!text) {
                    if (sqlite3_errcode(sqlite) == SQLITE_NOMEM) throw ServerError(ServerError::Kind::Database, "out of memory");
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
            if (declared[c] == Declared::String || type == SQLITE_TEXT || type == SQLITE_BLOB) {
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

void Connection::Backend::pg_failed(const PGresult *res) const
{
    const char *state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    if (state && time_limit.count() > 0 && std::string(state) == "57014") ran_too_long();
    if (state && time_limit.count() > 0 && std::string(state) == "55P03") locked_too_long();
    if (!res || PQstatus(pg) == CONNECTION_BAD)
        throw ServerError(ServerError::Kind::Unavailable,
                          "the database connection was lost: " + trimmed(PQerrorMessage(pg)));
    const char *primary = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
    throw ServerError(ServerError::Kind::Database, primary ? primary : trimmed(PQresultErrorMessage(res)));
}

void Connection::Backend::each_row_pg(const std::string &sql, const std::vector<wire::Value> &params,
                                      const std::function<void(wire::Row &)> &on_row)
{
    const PgParams bound(sql, params);
    const std::string &text = bound.text;
    const auto &values = bound.values;
    if (!PQsendQueryParams(pg, text.c_str(), static_cast<int>(params.size()), nullptr,
                           params.empty() ? nullptr : values.data(), nullptr, nullptr, 0))
        pg_failed(nullptr);
    // One row at a time instead of the whole result in the client's memory.
    PQsetSingleRowMode(pg);
    using Result = std::unique_ptr<PGresult, void (*)(PGresult *)>;
    // Whatever is still to come is read off the connection before it is used again.
    auto drain = [this](bool cancel) {
        if (cancel)
            if (PGcancel *c = PQgetCancel(pg)) {
                char err[256];
                PQcancel(c, err, sizeof err);
                PQfreeCancel(c);
            }
        while (PGresult *r = PQgetResult(pg)) PQclear(r);
    };
    std::vector<Declared> declared;
    wire::Row row;
    try {
        for (;;) {
            Result res(PQgetResult(pg), PQclear);
            if (!res) break;
            const auto status = PQresultStatus(res.get());
            if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) continue;  // the end of the rows
            if (status == PGRES_EMPTY_QUERY)
                throw ServerError(ServerError::Kind::Database, "the command text holds no statement");
            if (status != PGRES_SINGLE_TUPLE) pg_failed(res.get());
            const int columns = PQnfields(res.get());
            if (declared.empty() && columns > 0) {
                declared.resize(columns);
                for (int c = 0; c < columns; ++c) declared[c] = declared_from_pg(PQftype(res.get(), c));
                row.resize(columns);
            }
            for (int c = 0; c < columns; ++c) {
                auto &v = row[c];
                if (PQgetisnull(res.get(), 0, c)) {
                    v = std::monostate{};
                    continue;
                }
                const std::string_view t(PQgetvalue(res.get(), 0, c), PQgetlength(res.get(), 0, c));
                if (declared[c] == Declared::String) {
                    if (auto *s = std::get_if<std::string>(&v)) s->assign(t);
                    else v = std::string(t);
                } else {
                    v = number_value(declared[c], std::string(t));
                }
            }
            on_row(row);
        }
    } catch (...) {
        drain(true);
        throw;
    }
}

bool Connection::in_transaction() const
{
    if (kind_ == DatabaseKind::Sqlite) return sqlite_api::sqlite3_get_autocommit(backend_->sqlite) == 0;
    const auto status = PQtransactionStatus(backend_->pg);
    return status == PQTRANS_INTRANS || status == PQTRANS_INERROR;
}

void Connection::begin() { run("BEGIN"); }

void Connection::commit()
{
    if (!in_transaction()) return;
    if (kind_ == DatabaseKind::Postgresql && PQtransactionStatus(backend_->pg) == PQTRANS_INERROR) {
        run("ROLLBACK");
        throw ServerError(ServerError::Kind::Database,
                          "the transaction was rolled back because one of its statements failed");
    }
    run("COMMIT");
}

void Connection::rollback()
{
    if (in_transaction()) run("ROLLBACK");
}

}  // namespace appserver
