#include "audit.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <string_view>

#include "dialect.h"
#include "server_text.h"

namespace appserver {

namespace {

const char *kColumns = "CZSJ00,YHMC00,KHDZ00,CZLX00,NYUE00,CKDM00,RYDM00,XHAO00,ZBMC00,SLQIAN,SLHOU0,JHHANG";

std::string now_text() { return iso_utc(std::chrono::system_clock::now()); }

std::string address_of(const Caller &caller) { return caller.address.empty() ? "-" : caller.address; }

std::string value_text(const wire::Value &v)
{
    if (wire::is_null(v)) return std::string();
    if (std::holds_alternative<std::string>(v)) return std::get<std::string>(v);
    try {
        return format_quantity(wire::value_to_double(v));
    } catch (const wire::WireError &) {
        return wire::value_to_text(v);
    }
}

// Runs f inside the open transaction, or inside one of its own that it
// commits, or rolls back when f fails.
template <class F>
StatementResult in_transaction(Connection &db, F &&f)
{
    if (db.in_transaction()) return f();
    db.begin_write();
    try {
        auto result = f();
        db.commit();
        return result;
    } catch (...) {
        try {
            db.rollback();
        } catch (const ServerError &) {
            // A lost connection: the database drops the transaction itself.
        }
        throw;
    }
}

}  // namespace

void create_audit_table(Connection &db)
{
    const std::string identity = identity_column(db.kind(), "JLHAO0");
    db.run(std::string("CREATE TABLE IF NOT EXISTS ") + kAuditTable + " (" + identity +
           ", CZSJ00 VARCHAR(20) NOT NULL, YHMC00 VARCHAR(32) NOT NULL, KHDZ00 VARCHAR(64), "
           "CZLX00 VARCHAR(20) NOT NULL, NYUE00 VARCHAR(6), CKDM00 VARCHAR(2), RYDM00 VARCHAR(4), "
           "XHAO00 DOUBLE PRECISION, ZBMC00 VARCHAR(50), SLQIAN DOUBLE PRECISION, SLHOU0 DOUBLE PRECISION, "
           "JHHANG BIGINT)");
    db.run(std::string("CREATE INDEX IF NOT EXISTS XSTYZBRZ_PLAN ON ") + kAuditTable + " (NYUE00, CKDM00, RYDM00)");
}

void record_row_change(Connection &db, const Caller &caller, const char *kind, const PlanRow &row,
                       const wire::Value &before, const wire::Value &after)
{
    db.run(std::string("INSERT INTO ") + kAuditTable + " (" + kColumns + ") VALUES (?,?,?,?,?,?,?,?,?,?,?,?)",
           {now_text(), caller.account, address_of(caller), std::string(kind), row.month, row.department,
            row.salesman, row.sequence, row.name, before, after, static_cast<std::int64_t>(row.row_id)});
}

void AuditBatch::add(const char *kind, const PlanRow &row, const wire::Value &before, const wire::Value &after)
{
    values_.insert(values_.end(), {now_text(), caller_.account, address_of(caller_), std::string(kind), row.month,
                                   row.department, row.salesman, row.sequence, row.name, before, after,
                                   static_cast<std::int64_t>(row.row_id)});
}

void AuditBatch::write(Connection &db)
{
    static const RowsChange insert = {
        std::string("INSERT INTO ") + kAuditTable + " (" + kColumns + ") VALUES (?,?,?,?,?,?,?,?,?,?,?,?)",
        std::string("INSERT INTO ") + kAuditTable + " (" + kColumns +
            ") SELECT column1,column2,column3,column4,column5,column6,column7,column8,column9,column10,"
            "column11,column12 FROM {rows} AS v",
        // kColumns' types, as the table has them.
        {"VARCHAR(20)", "VARCHAR(32)", "VARCHAR(64)", "VARCHAR(20)", "VARCHAR(6)", "VARCHAR(2)", "VARCHAR(4)",
         "DOUBLE PRECISION", "VARCHAR(50)", "DOUBLE PRECISION", "DOUBLE PRECISION", "BIGINT"}};
    change_rows(db, insert, values_);
    values_.clear();
}

StatementResult run_recorded(Connection &db, const Caller &caller, const CataloguedStatement &statement,
                             const std::string &adapted_sql, const std::vector<wire::Value> &params,
                             const AnswerLimit *limit)
{
    if (statement.id != StatementId::PlanGeneration && statement.id != StatementId::PlanDeletion)
        return db.run(adapted_sql, params, limit);
    const std::vector<wire::Value> plan = {statement.month, statement.department, statement.salesman};
    const std::string who = "?,?,?,?,NYUE00,CKDM00,RYDM00,XHAO00,ZBMC00,";
    const std::vector<wire::Value> head = {now_text(), caller.account, address_of(caller)};
    return in_transaction(db, [&] {
        if (statement.id == StatementId::PlanGeneration) {
            // The rows drawn after the highest identity so far are the ones
            // this generation made (one generation per salesman at a time:
            // the plan's unique key holds a second one back, then refuses it).
            const auto highest = static_cast<std::int64_t>(wire::value_to_double(
                db.run("SELECT COALESCE(MAX(ROWID00),0) FROM XSTYZB02").packet.rows.at(0).at(0)));
            auto result = db.run(adapted_sql, params);
            std::vector<wire::Value> p = head;
            p.push_back(std::string(kAuditGenerated));
            p.emplace_back(highest);
            p.insert(p.end(), plan.begin(), plan.end());
            db.run(std::string("INSERT INTO ") + kAuditTable + " (" + kColumns + ") SELECT " + who +
                       "CAST(NULL AS DOUBLE PRECISION),ZBSL00,ROWID00 FROM XSTYZB02 "
                       "WHERE ROWID00>? AND NYUE00=? AND CKDM00=? AND RYDM00=? ORDER BY ROWID00",
                   p);
            return result;
        }
        // The rows as they are when deleted: locked first so that no apply
        // changes them between the record and the deletion.
        lock_rows(db, "SELECT ROWID00 FROM XSTYZB02 WHERE NYUE00=? AND CKDM00=? AND RYDM00=?", plan);
        std::vector<wire::Value> p = head;
        p.push_back(std::string(kAuditPlanDeleted));
        p.insert(p.end(), plan.begin(), plan.end());
        db.run(std::string("INSERT INTO ") + kAuditTable + " (" + kColumns + ") SELECT " + who +
                   "ZBSL00,CAST(NULL AS DOUBLE PRECISION),ROWID00 FROM XSTYZB02 "
                   "WHERE NYUE00=? AND CKDM00=? AND RYDM00=? ORDER BY ROWID00",
               p);
        return db.run(adapted_sql, params);
    });
}

namespace {

// The trail's reading of the filter, oldest first.
std::string audit_query(const AuditFilter &filter, std::vector<wire::Value> &params)
{
    std::string sql = std::string("SELECT JLHAO0,") + kColumns + ",LYOU00 FROM " + kAuditTable + " WHERE 1=1";
    auto where = [&](const char *condition, const std::string &value) {
        if (value.empty()) return;
        sql += std::string(" AND ") + condition;
        params.emplace_back(value);
    };
    where("NYUE00=?", filter.month);
    where("CKDM00=?", filter.department);
    where("RYDM00=?", filter.salesman);
    where("CZSJ00>=?", filter.since);
    return sql + " ORDER BY JLHAO0";
}

void record_from_row(const wire::Row &r, AuditRecord &a)
{
    a.id = static_cast<std::int64_t>(wire::value_to_double(r.at(0)));
    a.time = value_text(r[1]);
    a.account = value_text(r[2]);
    a.address = value_text(r[3]);
    a.kind = value_text(r[4]);
    a.month = value_text(r[5]);
    a.department = value_text(r[6]);
    a.salesman = value_text(r[7]);
    a.sequence = value_text(r[8]);
    a.name = value_text(r[9]);
    a.before = value_text(r[10]);
    a.after = value_text(r[11]);
    a.reason = value_text(r[13]);
}

}  // namespace

std::vector<AuditRecord> read_audit(const std::string &connection_string, const AuditFilter &filter)
{
    Connection db(connection_string);
    std::vector<wire::Value> params;
    const std::string sql = audit_query(filter, params);
    const auto rows = db.run(sql, params).packet.rows;
    std::vector<AuditRecord> out;
    out.reserve(rows.size());
    for (const auto &r : rows) record_from_row(r, out.emplace_back());
    return out;
}

namespace {

std::vector<std::string> fields_of(const AuditRecord &a)
{
    return {a.time, a.account, a.address, a.kind, a.month, a.department, a.salesman, a.sequence, a.name, a.before,
            a.after, a.reason};
}

const std::vector<std::string> kHeadings = {"time (UTC)", "account", "address", "change", "month", "department",
                                            "salesman", "seq", "indicator", "before", "after", "reason"};

// Display width: a Chinese character takes two columns of a terminal.
std::size_t width_of(const std::string &s)
{
    std::size_t w = 0;
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        w += len >= 3 ? 2 : 1;
        i += len;
    }
    return w;
}

}  // namespace

namespace {

// One line of the table: each field padded to its column's width, two
// blanks between columns.
void table_line(std::string &out, const std::vector<std::string> &f, const std::vector<std::size_t> &widths)
{
    for (std::size_t i = 0; i < f.size(); ++i) {
        out += f[i];
        if (i + 1 < f.size()) out.append(widths[i] - width_of(f[i]) + 2, ' ');
    }
    out += '\n';
}

void widen(std::vector<std::size_t> &widths, const std::vector<std::string> &f)
{
    for (std::size_t i = 0; i < f.size(); ++i) widths[i] = std::max(widths[i], width_of(f[i]));
}

// One CSV line (RFC 4180): a cell holding a comma, a quote or a line break
// is quoted, its quotes doubled.
void csv_line(std::string &out, const std::vector<std::string> &f)
{
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (i) out += ',';
        const std::string &s = f[i];
        if (s.find_first_of(",\"\r\n") == std::string::npos) {
            out += s;
            continue;
        }
        out += '"';
        for (char c : s) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
    }
    out += "\r\n";
}

const std::vector<std::string> kCsvHeadings = {"time",     "account",  "address",   "change", "month",
                                               "department", "salesman", "sequence", "indicator", "before",
                                               "after",    "reason"};

}  // namespace

std::string audit_table_text(const std::vector<AuditRecord> &records)
{
    std::vector<std::size_t> widths;
    for (const auto &h : kHeadings) widths.push_back(width_of(h));
    for (const auto &r : records) widen(widths, fields_of(r));
    std::string out;
    table_line(out, kHeadings, widths);
    for (const auto &r : records) table_line(out, fields_of(r), widths);
    out += std::to_string(records.size()) + " record(s)\n";
    return out;
}

std::string audit_csv(const std::vector<AuditRecord> &records)
{
    std::string out;
    csv_line(out, kCsvHeadings);
    for (const auto &r : records) csv_line(out, fields_of(r));
    return out;
}

void write_audit(const std::string &connection_string, const AuditFilter &filter, AuditFormat format,
                 const std::function<void(std::string_view)> &out)
{
    Connection db(connection_string);
    std::vector<wire::Value> params;
    const std::string sql = audit_query(filter, params);
    // Text goes out in pieces of about this size, never the whole trail.
    constexpr std::size_t kPiece = 64 * 1024;
    std::string text;
    text.reserve(kPiece + 4096);
    auto flush = [&](bool all) {
        if (text.size() < kPiece && !(all && !text.empty())) return;
        out(text);
        text.clear();
    };
    AuditRecord record;
    if (format == AuditFormat::Csv) {
        csv_line(text, kCsvHeadings);
        db.each_row(sql, params, [&](wire::Row &r) {
            record_from_row(r, record);
            csv_line(text, fields_of(record));
            flush(false);
        });
        flush(true);
        return;
    }
    // The table's columns are as wide as their widest value: a first reading
    // measures them, a second writes the lines, both in one snapshot so that
    // they see the same records.
    db.begin_snapshot();
    std::vector<std::size_t> widths;
    for (const auto &h : kHeadings) widths.push_back(width_of(h));
    std::size_t count = 0;
    db.each_row(sql, params, [&](wire::Row &r) {
        record_from_row(r, record);
        widen(widths, fields_of(record));
        ++count;
    });
    table_line(text, kHeadings, widths);
    db.each_row(sql, params, [&](wire::Row &r) {
        record_from_row(r, record);
        table_line(text, fields_of(record), widths);
        flush(false);
    });
    db.commit();
    text += std::to_string(count) + " record(s)\n";
    flush(true);
}

}  // namespace appserver

namespace appserver {

void record_rows_made(Connection &db, const Caller &caller, const char *kind, std::int64_t after,
                      const std::string &month, const std::string &department, const std::string &salesman)
{
    db.run(std::string("INSERT INTO ") + kAuditTable + " (" + kColumns +
               ") SELECT ?,?,?,?,NYUE00,CKDM00,RYDM00,XHAO00,ZBMC00,CAST(NULL AS DOUBLE PRECISION),ZBSL00,ROWID00 "
               "FROM XSTYZB02 WHERE ROWID00>? AND NYUE00=? AND CKDM00=? AND RYDM00=? ORDER BY ROWID00",
           {now_text(), caller.account, address_of(caller), std::string(kind), after, month, department, salesman});
}

}  // namespace appserver
