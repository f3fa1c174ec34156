#include "database.h"

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
