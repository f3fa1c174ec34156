#include "database.h"

#include <charconv>

#include "contract.h"
#include "engine.h"
#include "server_text.h"

namespace appserver {

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

Connection::Connection(const std::string &connection_string, bool create_missing)
{
    const ConnectionTarget target = parse_connection_string(connection_string);
    engine_ = target.kind == DatabaseKind::Sqlite ? open_sqlite(target, create_missing) : open_postgresql(target);
}

Connection::~Connection() = default;

DatabaseKind Connection::kind() const { return engine_->kind(); }

StatementResult Connection::run(const std::string &sql, const std::vector<wire::Value> &params,
                                const AnswerLimit *limit)
{
    return engine_->run(sql, params, limit);
}

void Connection::each_row(const std::string &sql, const std::vector<wire::Value> &params,
                          const std::function<void(wire::Row &)> &on_row)
{
    engine_->each_row(sql, params, on_row);
}

std::int64_t Connection::run_rows(const std::string &sql, const std::vector<wire::Value> &values, std::size_t width)
{
    if (width == 0 || values.size() % width != 0)
        throw ServerError(ServerError::Kind::Database, "the values do not make whole rows of the statement");
    return engine_->run_rows(sql, values, width);
}

namespace {

// What a value weighs against an answer's limit: its text's bytes.
std::size_t value_bytes(const wire::Value &v)
{
    if (const auto *s = std::get_if<std::string>(&v)) return s->size();
    char text[64];
    if (const auto *i = std::get_if<std::int64_t>(&v)) return static_cast<std::size_t>(std::to_chars(text, text + sizeof text, *i).ptr - text);
    if (const auto *d = std::get_if<double>(&v)) return static_cast<std::size_t>(std::to_chars(text, text + sizeof text, *d).ptr - text);
    return 0;
}

// Mixes a value as the database gave it into a running check sum, so that
// two reads of an answer can be told apart.
std::uint64_t mixed(std::uint64_t sum, const wire::Value &v)
{
    auto bytes = [&](const void *p, std::size_t n) {
        const auto *b = static_cast<const unsigned char *>(p);
        for (std::size_t i = 0; i < n; ++i) sum = (sum ^ b[i]) * 0x100000001b3ull;
    };
    const auto kind = static_cast<unsigned char>(v.index());
    bytes(&kind, 1);
    if (const auto *s = std::get_if<std::string>(&v)) bytes(s->data(), s->size());
    else if (const auto *i = std::get_if<std::int64_t>(&v)) bytes(i, sizeof *i);
    else if (const auto *d = std::get_if<double>(&v)) bytes(d, sizeof *d);
    return sum;
}

[[noreturn]] void rows_changed()
{
    throw ServerError(ServerError::Kind::Database, "the rows changed while they were read; open them again",
                      contract::error::kRowsChanged);
}

}  // namespace

void Connection::stream_answer(const std::string &sql, const std::vector<wire::Value> &params, const AnswerLimit *limit,
                               std::size_t held, const AnswerReceiver &receiver)
{
    std::vector<ScannedColumn> columns;
    std::vector<ColumnTyping> typing;
    std::vector<wire::Row> rows_held;
    std::size_t bytes_held = 0;
    bool holding = true;
    std::uint64_t rows = 0, sum = 0xcbf29ce484222325ull;
    AnswerMeter meter{limit};
    engine_->scan(
        sql, params,
        [&](const std::vector<ScannedColumn> &described) {
            columns = described;
            for (const auto &c : columns) typing.emplace_back(c.declared, c.width);
        },
        [&](wire::Row &row) {
            meter.row(++rows);
            std::size_t bytes = 0;
            for (std::size_t c = 0; c < row.size(); ++c) {
                typing[c].observe(row[c]);
                const std::size_t n = value_bytes(row[c]);
                meter.value(n);
                bytes += n + 8;
                sum = mixed(sum, row[c]);
            }
            if (!holding) return;
            bytes_held += bytes;
            if (bytes_held <= held) {
                rows_held.push_back(row);
            } else {
                holding = false;
                std::vector<wire::Row>().swap(rows_held);
            }
        });
    std::vector<wire::FieldDef> fields;
    for (std::size_t c = 0; c < columns.size(); ++c) fields.push_back({columns[c].name, typing[c].type(), typing[c].size()});
    if (holding) {
        StatementResult whole;
        whole.has_columns = !columns.empty();
        whole.packet.fields = std::move(fields);
        for (auto &row : rows_held)
            for (std::size_t c = 0; c < row.size(); ++c) typing[c].convert(row[c]);
        whole.packet.rows = std::move(rows_held);
        receiver.whole(std::move(whole));
        return;
    }
    receiver.fields(fields);
    std::uint64_t again = 0, sum_again = 0xcbf29ce484222325ull;
    engine_->scan(
        sql, params, [](const std::vector<ScannedColumn> &) {},
        [&](wire::Row &row) {
            if (++again > rows || row.size() != typing.size()) rows_changed();
            for (std::size_t c = 0; c < row.size(); ++c) {
                sum_again = mixed(sum_again, row[c]);
                try {
                    typing[c].convert(row[c]);
                } catch (const wire::WireError &) {
                    rows_changed();
                }
            }
            receiver.row(std::span<const wire::Value>(row.data(), row.size()));
        });
    if (again != rows || sum_again != sum) rows_changed();
}

void Connection::set_time_limit(std::chrono::milliseconds limit) { engine_->set_time_limit(limit); }

bool Connection::usable() const { return engine_->usable(); }

std::string Connection::encrypt_password(const std::string &password, const std::string &role)
{
    return engine_->encrypt_password(password, role);
}

bool Connection::in_transaction() const { return engine_->in_transaction(); }

void Connection::begin_write() { engine_->begin(Engine::Transaction::Write); }

void Connection::begin_snapshot() { engine_->begin(Engine::Transaction::Snapshot); }

void Connection::begin() { engine_->begin(Engine::Transaction::Client); }

void Connection::commit()
{
    if (!in_transaction()) return;
    if (engine_->transaction_failed()) {
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

void Connection::savepoint(const std::string &name) { run("SAVEPOINT " + name); }

void Connection::rollback_to_savepoint(const std::string &name)
{
    run("ROLLBACK TO SAVEPOINT " + name);
    run("RELEASE SAVEPOINT " + name);
}

void Connection::release_savepoint(const std::string &name) { run("RELEASE SAVEPOINT " + name); }

}  // namespace appserver
