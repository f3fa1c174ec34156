// PostgreSQL behind Connection, through libpq.
#include <libpq-fe.h>

#include <charconv>
#include <cstdlib>

#include "engine.h"
#include "server_text.h"

namespace appserver {

namespace {

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

void ignore_notice(void *, const char *) {}

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

using Result = std::unique_ptr<PGresult, void (*)(PGresult *)>;

class PostgresqlEngine final : public Engine {
public:
    explicit PostgresqlEngine(const ConnectionTarget &target);
    ~PostgresqlEngine() override { PQfinish(pg_); }

    DatabaseKind kind() const override { return DatabaseKind::Postgresql; }
    StatementResult run(const std::string &sql, const std::vector<wire::Value> &params,
                        const AnswerLimit *limit) override;
    void each_row(const std::string &sql, const std::vector<wire::Value> &params,
                  const std::function<void(wire::Row &)> &on_row) override;
    void scan(const std::string &sql, const std::vector<wire::Value> &params,
              const std::function<void(const std::vector<ScannedColumn> &)> &on_columns,
              const std::function<void(wire::Row &)> &on_row) override;
    void set_time_limit(std::chrono::milliseconds limit) override;
    bool usable() const override { return PQstatus(pg_) == CONNECTION_OK; }
    bool in_transaction() const override
    {
        const auto status = PQtransactionStatus(pg_);
        return status == PQTRANS_INTRANS || status == PQTRANS_INERROR;
    }
    bool transaction_failed() const override { return PQtransactionStatus(pg_) == PQTRANS_INERROR; }
    void begin(Transaction kind) override
    {
        // Each statement of a plain transaction reads afresh; a snapshot
        // keeps what its first statement saw.
        run(kind == Transaction::Snapshot ? "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY" : "BEGIN", {}, nullptr);
    }
    std::string encrypt_password(const std::string &password, const std::string &role) override;

private:
    [[noreturn]] void failed(const PGresult *res) const;
    [[noreturn]] void lost() const
    {
        connection_lost(trimmed(PQerrorMessage(pg_)));
    }

    PGconn *pg_ = nullptr;
    std::chrono::milliseconds time_limit_{0};
};

PostgresqlEngine::PostgresqlEngine(const ConnectionTarget &target)
{
    pg_ = PQconnectdb(target.parameters.c_str());
    if (!pg_ || PQstatus(pg_) != CONNECTION_OK) {
        std::string why = "Cannot establish connection to the database.";
        if (pg_) why += std::string("\n") + PQerrorMessage(pg_);
        PQfinish(pg_);
        pg_ = nullptr;
        cannot_open(trimmed(why));
    }
    // Floating point values in as many digits as read back exactly.
    Result set(PQexec(pg_, PQserverVersion(pg_) >= 90000 ? "SET extra_float_digits = 3" : "SET extra_float_digits = 2"),
               PQclear);
    if (PQresultStatus(set.get()) != PGRES_COMMAND_OK) {
        const std::string why = "Cannot set extra_float_digits parameter " + trimmed(PQerrorMessage(pg_));
        PQfinish(pg_);
        pg_ = nullptr;
        cannot_open(trimmed(why));
    }
    PQsetNoticeProcessor(pg_, ignore_notice, nullptr);
    PQsetClientEncoding(pg_, "UTF8");
}

std::string PostgresqlEngine::encrypt_password(const std::string &password, const std::string &role)
{
    char *encrypted = PQencryptPasswordConn(pg_, password.c_str(), role.c_str(), "scram-sha-256");
    if (!encrypted) database_refused(trimmed(PQerrorMessage(pg_)), Refusal::Statement);
    std::string out = encrypted;
    PQfreemem(encrypted);
    return out;
}

void PostgresqlEngine::set_time_limit(std::chrono::milliseconds limit)
{
    time_limit_ = limit;
    // A lock wait ends a little before the statement's own limit, so that it
    // is reported as what it is.
    run("SET statement_timeout = " + std::to_string(limit.count() + limit.count() / 10 + 100), {}, nullptr);
    run("SET lock_timeout = " + std::to_string(limit.count()), {}, nullptr);
}

void PostgresqlEngine::failed(const PGresult *res) const
{
    const char *state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    if (state && time_limit_.count() > 0 && std::string(state) == "57014") ran_too_long(time_limit_);
    if (state && time_limit_.count() > 0 && std::string(state) == "55P03") locked_too_long(time_limit_);
    if (!res || PQstatus(pg_) == CONNECTION_BAD) lost();
    const char *primary = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
    const std::string sqlstate = state ? state : "";
    database_refused(primary ? primary : trimmed(PQresultErrorMessage(res)),
                     sqlstate == "23505"   ? Refusal::Duplicate
                     : sqlstate == "42501" ? Refusal::NotPermitted
                                           : Refusal::Statement);
}

StatementResult PostgresqlEngine::run(const std::string &sql, const std::vector<wire::Value> &params,
                                      const AnswerLimit *limit)
{
    const PgParams bound(sql, params);
    Result res(PQexecParams(pg_, bound.text.c_str(), static_cast<int>(params.size()), nullptr,
                            params.empty() ? nullptr : bound.values.data(), nullptr, nullptr, 0),
               PQclear);
    if (!res || PQstatus(pg_) == CONNECTION_BAD) lost();
    StatementResult result;
    switch (PQresultStatus(res.get())) {
    case PGRES_COMMAND_OK: break;
    case PGRES_TUPLES_OK: result.has_columns = true; break;
    case PGRES_EMPTY_QUERY: throw ServerError(ServerError::Kind::Database, "the command text holds no statement");
    default: failed(res.get());
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

void PostgresqlEngine::each_row(const std::string &sql, const std::vector<wire::Value> &params,
                                const std::function<void(wire::Row &)> &on_row)
{
    const PgParams bound(sql, params);
    if (!PQsendQueryParams(pg_, bound.text.c_str(), static_cast<int>(params.size()), nullptr,
                           params.empty() ? nullptr : bound.values.data(), nullptr, nullptr, 0))
        failed(nullptr);
    // One row at a time instead of the whole result in the client's memory.
    PQsetSingleRowMode(pg_);
    // Whatever is still to come is read off the connection before it is used again.
    auto drain = [this](bool cancel) {
        if (cancel)
            if (PGcancel *c = PQgetCancel(pg_)) {
                char err[256];
                PQcancel(c, err, sizeof err);
                PQfreeCancel(c);
            }
        while (PGresult *r = PQgetResult(pg_)) PQclear(r);
    };
    std::vector<Declared> declared;
    wire::Row row;
    try {
        for (;;) {
            Result res(PQgetResult(pg_), PQclear);
            if (!res) break;
            const auto status = PQresultStatus(res.get());
            if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) continue;  // the end of the rows
            if (status == PGRES_EMPTY_QUERY)
                throw ServerError(ServerError::Kind::Database, "the command text holds no statement");
            if (status != PGRES_SINGLE_TUPLE) failed(res.get());
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

void PostgresqlEngine::scan(const std::string &sql, const std::vector<wire::Value> &params,
                            const std::function<void(const std::vector<ScannedColumn> &)> &on_columns,
                            const std::function<void(wire::Row &)> &on_row)
{
    const PgParams bound(sql, params);
    if (!PQsendQueryParams(pg_, bound.text.c_str(), static_cast<int>(params.size()), nullptr,
                           params.empty() ? nullptr : bound.values.data(), nullptr, nullptr, 0))
        failed(nullptr);
    PQsetSingleRowMode(pg_);
    bool described = false;
    auto describe = [&](const PGresult *res) {
        if (described) return;
        described = true;
        std::vector<ScannedColumn> columns(PQnfields(res));
        for (int c = 0; c < static_cast<int>(columns.size()); ++c) {
            const Oid type = PQftype(res, c);
            const int mod = PQfmod(res, c);
            columns[c].name = PQfname(res, c);
            columns[c].declared = declared_from_pg(type);
            if ((type == 1043 || type == 1042) && mod > 4) columns[c].width = mod - 4;  // varchar(n), char(n)
        }
        on_columns(columns);
    };
    wire::Row row;
    try {
        for (;;) {
            Result res(PQgetResult(pg_), PQclear);
            if (!res) break;
            const auto status = PQresultStatus(res.get());
            if (status == PGRES_TUPLES_OK) {  // the end of the rows (or no rows at all)
                describe(res.get());
                continue;
            }
            if (status == PGRES_COMMAND_OK) continue;
            if (status == PGRES_EMPTY_QUERY)
                throw ServerError(ServerError::Kind::Database, "the command text holds no statement");
            if (status != PGRES_SINGLE_TUPLE) failed(res.get());
            describe(res.get());
            const int columns = PQnfields(res.get());
            row.resize(columns);
            // As run() reads them: text, or empty.
            for (int c = 0; c < columns; ++c) {
                auto &v = row[c];
                if (PQgetisnull(res.get(), 0, c)) {
                    v = std::monostate{};
                    continue;
                }
                const std::string_view t(PQgetvalue(res.get(), 0, c), PQgetlength(res.get(), 0, c));
                if (auto *s = std::get_if<std::string>(&v)) s->assign(t);
                else v = std::string(t);
            }
            on_row(row);
        }
    } catch (...) {
        if (PGcancel *c = PQgetCancel(pg_)) {
            char err[256];
            PQcancel(c, err, sizeof err);
            PQfreeCancel(c);
        }
        while (PGresult *r = PQgetResult(pg_)) PQclear(r);
        throw;
    }
}

}  // namespace

std::unique_ptr<Engine> open_postgresql(const ConnectionTarget &target)
{
    return std::make_unique<PostgresqlEngine>(target);
}

}  // namespace appserver
