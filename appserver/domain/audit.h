// The audit trail of the salesman plans: every change of XSTYZB02 the server
// makes is recorded in XSTYZBRZ in the same transaction as the change, so a
// change refused or rolled back leaves no record and a recorded change is
// never lost.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "caller.h"
#include "database.h"
#include "plan_rules.h"
#include "statement_catalogue.h"

namespace appserver {

// JLHAO0 record number, CZSJ00 time (UTC, ISO-8601), YHMC00 account, KHDZ00
// client address, CZLX00 kind, NYUE00 month, CKDM00 department, RYDM00
// salesman, XHAO00 sequence number, ZBMC00 indicator name, SLQIAN quantity
// before, SLHOU0 quantity after (empty where there is none), JHHANG the plan
// row's identity (ROWID00).
inline constexpr const char *kAuditTable = "XSTYZBRZ";

// The kinds of record, as CZLX00 holds them.
inline constexpr const char *kAuditGenerated = "generated";
inline constexpr const char *kAuditPlanDeleted = "plan deleted";
inline constexpr const char *kAuditRowDeleted = "row deleted";
inline constexpr const char *kAuditQuantityChanged = "quantity changed";

// Creates the table where it is missing (part of the current schema).
void create_audit_table(Connection &db);

// Records one row's change made by the caller.
void record_row_change(Connection &db, const Caller &caller, const char *kind, const PlanRow &row,
                       const wire::Value &before, const wire::Value &after);

// The changes of one apply, recorded together before it commits: each with
// the time it was made, in the order they were made.
class AuditBatch {
public:
    explicit AuditBatch(const Caller &caller) : caller_(caller) {}
    void add(const char *kind, const PlanRow &row, const wire::Value &before, const wire::Value &after);
    // Writes the records (a few statements however many), and forgets them.
    void write(Connection &db);

private:
    const Caller &caller_;
    std::vector<wire::Value> values_;  // twelve a record, in the table's column order
};

// Runs one of the module's statements with its records: the generation
// records every row it made, the plan deletion every row it removes; any
// other statement runs as it is. Outside a transaction the statement and its
// records run in one of their own.
StatementResult run_recorded(Connection &db, const Caller &caller, const CataloguedStatement &statement,
                             const std::string &adapted_sql, const std::vector<wire::Value> &params,
                             const AnswerLimit *limit = nullptr);

struct AuditFilter {
    std::string month, department, salesman;
    std::string since;  // records at or after this UTC time or date ("2024-05-01")
};

struct AuditRecord {
    std::int64_t id = 0;
    std::string time, account, address, kind, month, department, salesman, sequence, name, before, after;
    std::string reason;  // LYOU00: a month's state move returned or revised with it
};

// The records that pass the filter, oldest first (the audit command; run it
// with an administrator's connection: the server's own role may only add).
std::vector<AuditRecord> read_audit(const std::string &connection_string, const AuditFilter &filter);

// A readable table with a heading row, or CSV (RFC 4180, a heading line).
std::string audit_table_text(const std::vector<AuditRecord> &records);
std::string audit_csv(const std::vector<AuditRecord> &records);

// The audit command's output, byte for byte the text of audit_table_text or
// audit_csv over read_audit, written to `out` in pieces while the records
// are read, so that its memory does not grow with the trail: CSV in one
// reading, the table in two of one snapshot (the first measures its
// columns).
enum class AuditFormat { Table, Csv };
void write_audit(const std::string &connection_string, const AuditFilter &filter, AuditFormat format,
                 const std::function<void(std::string_view)> &out);

}  // namespace appserver

namespace appserver {

// Records, as one operation's (kind: its name), every plan row of the
// salesman's month with an identity above `after`: the rows the caller has
// just inserted, their quantity as the quantity after.
void record_rows_made(Connection &db, const Caller &caller, const char *kind, std::int64_t after,
                      const std::string &month, const std::string &department, const std::string &salesman);

}  // namespace appserver
