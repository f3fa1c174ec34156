#include "dialect.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace appserver {

namespace {

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool is_word_char(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x80 || std::isalnum(u) || c == '_' || c == '$';
}

bool same_word(const std::string &a, const char *b)
{
    std::size_t i = 0;
    for (; b[i]; ++i)
        if (i >= a.size() || std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return i == a.size();
}

// Index just past a quoted piece or comment starting at i, or i when none starts there.
std::size_t skip_quoted(const std::string &s, std::size_t i)
{
    const char c = s[i];
    if (c == '\'' || c == '"') {
        // A doubled quote inside reads as two adjacent quoted pieces: same result.
        auto end = s.find(c, i + 1);
        return end == std::string::npos ? s.size() : end + 1;
    }
    if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
        auto end = s.find('\n', i);
        return end == std::string::npos ? s.size() : end + 1;
    }
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
        auto end = s.find("*/", i + 2);
        return end == std::string::npos ? s.size() : end + 2;
    }
    return i;
}

// Index of the first character that is neither white space nor a comment.
std::size_t skip_blank(const std::string &s, std::size_t i)
{
    while (i < s.size()) {
        if (is_space(s[i])) {
            ++i;
            continue;
        }
        if (s[i] == '-' || s[i] == '/') {
            auto next = skip_quoted(s, i);
            if (next != i) {
                i = next;
                continue;
            }
        }
        break;
    }
    return i;
}

std::string word_at(const std::string &s, std::size_t i)
{
    std::size_t e = i;
    while (e < s.size() && is_word_char(s[e])) ++e;
    return s.substr(i, e - i);
}

std::string delete_with_from(const std::string &sql)
{
    std::size_t i = skip_blank(sql, 0);
    if (!same_word(word_at(sql, i), "DELETE")) return sql;
    std::size_t j = i + 6;
    if (j >= sql.size() || !is_space(sql[j])) return sql;
    j = skip_blank(sql, j);
    if (j >= sql.size() || same_word(word_at(sql, j), "FROM")) return sql;
    // The table name: words, dots and quoted names, then WHERE.
    std::size_t k = j;
    while (k < sql.size()) {
        if (sql[k] == '"') k = skip_quoted(sql, k);
        else if (is_word_char(sql[k]) || sql[k] == '.') ++k;
        else break;
    }
    if (k == j || k >= sql.size() || !is_space(sql[k])) return sql;
    if (!same_word(word_at(sql, skip_blank(sql, k)), "WHERE")) return sql;
    return sql.substr(0, j) + "FROM " + sql.substr(j);
}

bool ends_a_from_item(const std::string &word)
{
    static const char *const kWords[] = {"WHERE",  "GROUP", "ORDER",  "HAVING", "UNION",   "EXCEPT",
                                         "INTERSECT", "LIMIT", "OFFSET", "FETCH", "FOR",   "WINDOW",
                                         "JOIN",   "INNER", "LEFT",   "RIGHT",  "FULL",    "CROSS",
                                         "NATURAL", "ON",   "USING"};
    return std::any_of(std::begin(kWords), std::end(kWords), [&](const char *k) { return same_word(word, k); });
}

// One pass over the text: every "(" is remembered on a stack, marked when it
// opens a subquery after FROM or JOIN; its ")" then decides whether the
// subquery needs a name. Linear in the text's length, however many
// subqueries it holds.
std::string alias_subqueries(const std::string &sql)
{
    std::vector<std::size_t> inserts;  // positions just after a ")" that needs an alias, ascending
    std::vector<bool> open_parens;     // per open "(": whether it opens a subquery of a FROM item
    bool after_from = false;           // the last word was FROM or JOIN, with only blanks since
    for (std::size_t i = 0; i < sql.size();) {
        auto next = skip_quoted(sql, i);
        if (next != i) {
            // A comment between FROM and "(" keeps FROM in force; quoted text does not.
            if (sql[i] == '\'' || sql[i] == '"') after_from = false;
            i = next;
            continue;
        }
        const char c = sql[i];
        if (is_word_char(c)) {
            std::size_t e = i;
            while (e < sql.size() && is_word_char(sql[e])) ++e;
            const std::string word = sql.substr(i, e - i);
            after_from = same_word(word, "FROM") || same_word(word, "JOIN");
            i = e;
            continue;
        }
        if (is_space(c)) {
            ++i;
            continue;
        }
        if (c == '(') {
            bool subquery = false;
            if (after_from) {
                const std::string first = word_at(sql, skip_blank(sql, i + 1));
                subquery = same_word(first, "SELECT") || same_word(first, "VALUES") || same_word(first, "WITH");
            }
            open_parens.push_back(subquery);
        } else if (c == ')' && !open_parens.empty()) {
            const bool subquery = open_parens.back();
            open_parens.pop_back();
            if (subquery) {
                const std::size_t follow = skip_blank(sql, i + 1);
                const std::string follower = follow < sql.size() ? word_at(sql, follow) : std::string();
                const bool has_alias = !follower.empty() && (same_word(follower, "AS") || !ends_a_from_item(follower));
                const bool quoted_alias = follow < sql.size() && sql[follow] == '"';
                if (!has_alias && !quoted_alias) inserts.push_back(i + 1);
            }
        }
        after_from = false;
        ++i;
    }
    // A ")" whose "(" stays unclosed never gets here: the database will say so.
    std::string out;
    out.reserve(sql.size() + inserts.size() * 16);
    std::size_t from = 0;
    for (std::size_t k = 0; k < inserts.size(); ++k) {
        out.append(sql, from, inserts[k] - from);
        out += " AS subquery_" + std::to_string(k + 1);
        from = inserts[k];
    }
    out.append(sql, from, std::string::npos);
    return out;
}

}  // namespace

std::string adapt_statement(const std::string &sql, DatabaseKind kind)
{
    std::string out = delete_with_from(sql);
    if (kind == DatabaseKind::Postgresql) out = alias_subqueries(out);
    return out;
}

std::string identity_column(DatabaseKind kind, const char *name)
{
    return std::string(name) +
           (kind == DatabaseKind::Sqlite ? " INTEGER PRIMARY KEY AUTOINCREMENT" : " BIGSERIAL PRIMARY KEY");
}

std::string same_value_as_parameter(DatabaseKind kind, const char *column)
{
    return std::string(column) + (kind == DatabaseKind::Sqlite ? " IS ?" : " IS NOT DISTINCT FROM ?");
}

void lock_rows(Connection &db, const std::string &select_sql, const std::vector<wire::Value> &params)
{
    if (db.kind() == DatabaseKind::Postgresql) db.run(select_sql + " FOR UPDATE", params);
}

bool lock_name(Connection &db, const std::string &name)
{
    // 7411: the server's own class of advisory locks.
    if (db.kind() != DatabaseKind::Postgresql) return false;
    db.run("SELECT COUNT(*) FROM (SELECT pg_advisory_xact_lock(7411, hashtext(?))) l", {name});
    return true;
}

std::int64_t change_rows(Connection &db, const RowsChange &change, const std::vector<wire::Value> &values)
{
    const std::size_t width = change.types.size();
    if (values.empty()) return 0;
    if (db.kind() == DatabaseKind::Sqlite) return db.run_rows(change.each_row, values, width);
    if (width == 0 || values.size() % width != 0)
        throw ServerError(ServerError::Kind::Database, "the values do not make whole rows of the statement");
    nlohmann::json array = nlohmann::json::array();
    for (std::size_t at = 0; at < values.size(); at += width) {
        nlohmann::json row = nlohmann::json::array();
        for (std::size_t c = 0; c < width; ++c) row.push_back(wire::value_to_json(values[at + c]));
        array.push_back(std::move(row));
    }
    // Each element an array of the row's values, read back as its column's type.
    std::string table = "(SELECT ";
    for (std::size_t c = 0; c < width; ++c)
        table += (c ? "," : "") + std::string("CAST(e->>") + std::to_string(c) + " AS " + change.types[c] +
                 ") AS column" + std::to_string(c + 1);
    table += " FROM json_array_elements(CAST(? AS json)) AS e)";
    std::string sql = change.all_rows;
    const auto at = sql.find("{rows}");
    if (at == std::string::npos) throw ServerError(ServerError::Kind::Database, "the statement names no {rows}");
    sql.replace(at, 6, table);
    return db.run(sql, {array.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)}).rows_affected;
}

bool table_exists(Connection &db, const char *table)
{
    const auto r = db.kind() == DatabaseKind::Sqlite
                       ? db.run("SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND UPPER(name)=?",
                                {std::string(table)})
                       // The catalogue itself: information_schema shows only the
                       // tables the connecting role has a right on.
                       : db.run("SELECT COUNT(*) FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
                                "ON n.oid = c.relnamespace WHERE n.nspname = current_schema() "
                                "AND c.relkind IN ('r','p') AND UPPER(c.relname)=?",
                                {std::string(table)});
    return wire::value_to_double(r.packet.rows.at(0).at(0)) > 0;
}

bool column_exists(Connection &db, const char *table, const char *column)
{
    const auto r = db.kind() == DatabaseKind::Sqlite
                       ? db.run("SELECT COUNT(*) FROM pragma_table_info(?) WHERE UPPER(name)=?",
                                {std::string(table), std::string(column)})
                       : db.run("SELECT COUNT(*) FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_class c "
                                "ON c.oid = a.attrelid JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                                "WHERE n.nspname = current_schema() AND c.relkind IN ('r','p') "
                                "AND UPPER(c.relname)=? AND UPPER(a.attname)=? AND NOT a.attisdropped",
                                {std::string(table), std::string(column)});
    return wire::value_to_double(r.packet.rows.at(0).at(0)) > 0;
}

void prepare_new_database(Connection &db)
{
    if (db.kind() == DatabaseKind::Sqlite) db.run("PRAGMA journal_mode=WAL");
}

void create_dialect_objects(Connection &db)
{
    if (db.kind() != DatabaseKind::Postgresql) return;
    db.run("CREATE OR REPLACE FUNCTION nvl(anycompatible, anycompatible) RETURNS anycompatible "
           "LANGUAGE sql IMMUTABLE AS 'SELECT COALESCE($1,$2)'");
    const auto existing = db.run("SELECT 1 FROM pg_cast WHERE castsource = 'text'::regtype "
                                 "AND casttarget = 'double precision'::regtype");
    if (!existing.packet.rows.empty()) return;
    try {
        db.run("CREATE CAST (text AS double precision) WITH INOUT AS ASSIGNMENT");
    } catch (const ServerError &e) {
        throw ServerError(ServerError::Kind::Database,
                          "creating the assignment cast from text to double precision failed (" +
                              std::string(e.what()) +
                              "): the database user that runs --init must be a PostgreSQL superuser");
    }
}

namespace {

void sqlite_nvl(sqlite3_context *ctx, int, sqlite3_value **argv)
{
    if (sqlite3_value_type(argv[0]) != SQLITE_NULL) sqlite3_result_value(ctx, argv[0]);
    else sqlite3_result_value(ctx, argv[1]);
}

}  // namespace

void install_sqlite_functions(sqlite3 *db)
{
    sqlite3_create_function(db, "NVL", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, sqlite_nvl, nullptr, nullptr);
}

}  // namespace appserver
