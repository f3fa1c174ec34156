#include "allocation_apply.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

#include "audit.h"
#include "contract.h"
#include "dialect.h"
#include "month_states.h"
#include "plan_rules.h"
#include "server_text.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

const char *const kChangedSincePreview =
    "部门计划在预览之后已有改动（可能是别人刚刚保存的），没有应用，请看重新计算的预览";

[[noreturn]] void refuse(const std::string &message, const char *code = contract::error::kAllocationRefused)
{
    throw ServerError(Kind::Database, message, code);
}

// Runs f in the connection's open transaction (inside a savepoint) or in one
// of its own, after the department's allocation lock; undone whole when it fails.
template <class F>
auto in_transaction(Connection &db, int &savepoints, const std::string &month, const std::string &department, F &&f)
{
    const bool own = !db.in_transaction();
    const std::string savepoint = "allocation_" + std::to_string(++savepoints);
    if (own) db.begin_write();
    else db.savepoint(savepoint);
    try {
        // Applies, generations and other helpers of this department's month wait.
        lock_name(db, "XSTYZB02/" + month + "/" + department);
        // A submitted or approved month changes by no helper either.
        require_month_open(db, month, department);
        auto result = f();
        if (own) db.commit();
        else db.release_savepoint(savepoint);
        return result;
    } catch (...) {
        try {
            if (own) db.rollback();
            else db.rollback_to_savepoint(savepoint);
        } catch (const ServerError &) {
            // Only a lost connection gets here; the database then drops the work itself.
        }
        throw;
    }
}

void check_fingerprint(const std::string &expected, const allocation::Month &now, const allocation::Month *previous)
{
    if (!expected.empty() && expected != allocation::fingerprint(now, previous))
        refuse(kChangedSincePreview, contract::error::kBoardChanged);
}

std::int64_t count_of(Connection &db, const std::string &sql, const std::vector<wire::Value> &params)
{
    return static_cast<std::int64_t>(wire::value_to_double(db.run(sql, params).packet.rows.at(0).at(0)));
}

wire::Value value_of(const std::optional<double> &q) { return q ? wire::Value(*q) : wire::Value{}; }

}  // namespace

SplitApplied apply_split(Connection &db, const Caller &caller, int &savepoints, const BoardReader &read,
                         const std::string &month, const std::string &department,
                         const allocation::SplitRequest &request, const std::string &fingerprint)
{
    return in_transaction(db, savepoints, month, department, [&] {
        const allocation::Month now = allocation::month_from_packet(read(month, department), month, department);
        std::optional<allocation::Month> previous;
        if (request.mode == allocation::Mode::LastMonth) {
            const std::string before = allocation::previous_month(month);
            previous = allocation::month_from_packet(read(before, department), before, department);
        }
        check_fingerprint(fingerprint, now, previous ? &*previous : nullptr);
        std::vector<allocation::Change> changes;
        try {
            changes = allocation::split_remaining(now, previous ? &*previous : nullptr, request);
        } catch (const allocation::Refused &e) {
            refuse(e.what());
        }
        SplitApplied done{allocation::operation_name(request.mode), 0};
        AllocationLedger ledger(db, AllocationLedger::Changes::Written);
        for (const auto &change : changes) {
            const wire::Value before = value_of(change.before), after(change.after);
            if (auto refusal = quantity_refusal(after)) refuse(*refusal);
            const PlanRow row{change.row, month, department, change.salesman, change.key.sequence, change.key.name,
                              before};
            // The rule every apply keeps, checked as the plan provider checks it.
            if (auto refusal = ledger.refusal(row, before, after)) refuse(*refusal);
            const StatementResult updated =
                change.before ? db.run("UPDATE XSTYZB02 SET ZBSL00=? WHERE ROWID00=? AND ZBSL00=?", {after, change.row, before})
                              : db.run("UPDATE XSTYZB02 SET ZBSL00=? WHERE ROWID00=? AND ZBSL00 IS NULL", {after, change.row});
            if (updated.rows_affected != 1) refuse(kChangedSincePreview, contract::error::kBoardChanged);
            ledger.record(row, before, after);
            record_row_change(db, caller, done.operation.c_str(), row, before, after);
            ++done.changed;
        }
        return done;
    });
}

allocation::RollForward apply_roll_forward(Connection &db, const Caller &caller, int &savepoints,
                                           const BoardReader &read, const std::string &month,
                                           const std::string &department, const std::string &fingerprint)
{
    return in_transaction(db, savepoints, month, department, [&] {
        const std::string before = allocation::previous_month(month);
        const allocation::Month now = allocation::month_from_packet(read(month, department), month, department);
        const allocation::Month previous = allocation::month_from_packet(read(before, department), before, department);
        check_fingerprint(fingerprint, now, &previous);
        // The plan month dialog's own conditions for generating.
        if (count_of(db, "SELECT COUNT(*) FROM XSTYZB01 WHERE NYUE00=? AND CKDM00=?", {month, department}) == 0)
            refuse("对应年月的上级计划还未生成，请先生成上级计划", contract::error::kGenerationRefused);
        if (count_of(db, "SELECT COUNT(*) FROM XSTYXSZB WHERE NYUE00=?", {month}) == 0)
            refuse("没有该年月的销售指标，不能生成！", contract::error::kGenerationRefused);
        allocation::RollForward plan;
        try {
            plan = allocation::roll_forward(now, previous);
        } catch (const allocation::Refused &e) {
            refuse(e.what());
        }

        // What each salesman gets of each indicator, and what that adds to the indicator.
        std::map<std::pair<std::string, allocation::Key>, double> quantity;
        std::map<allocation::Key, double> added;
        std::set<std::string> salesmen;
        for (const auto &row : plan.rows) {
            quantity[{row.salesman, row.key}] = row.quantity;
            added[row.key] += row.quantity;
            salesmen.insert(row.salesman);
        }
        // The department's plan never over-allocated: what the new plans add
        // fits in what the others leave.
        for (const auto &indicator : now.indicators) {
            double held = 0;
            for (const auto &r : now.rows)
                if (r.key == indicator.key) held += r.quantity.value_or(0);
            const double adds = added[indicator.key];
            if (adds > 0 && held + adds > indicator.plan)
                refuse("序号为'" + format_quantity(indicator.key.sequence) + "'的指标只剩 " +
                       format_quantity(std::max(indicator.plan - held, 0.0)) + " 条可分配");
        }

        // The rows as the plan month dialog's generation makes them: one per
        // distinct sequence number, category and name of the department's plan.
        const auto indicators =
            db.run("SELECT DISTINCT XHAO00,ZBLB00,ZBMC00 FROM XSTYZB01 WHERE NYUE00=? AND CKDM00=? "
                   "ORDER BY XHAO00,ZBMC00,ZBLB00",
                   {month, department})
                .packet.rows;
        const auto highest = static_cast<std::int64_t>(wire::value_to_double(
            db.run("SELECT COALESCE(MAX(ROWID00),0) FROM XSTYZB02").packet.rows.at(0).at(0)));
        for (const auto &salesman : salesmen) {
            std::set<allocation::Key> given;  // one row of a key takes the quantity, the others 0
            for (const auto &ind : indicators) {
                const allocation::Key key{wire::is_null(ind.at(0)) ? 0.0 : wire::value_to_double(ind.at(0)),
                                          wire::is_null(ind.at(2)) ? std::string() : wire::value_to_text(ind.at(2))};
                double q = 0;
                if (given.insert(key).second) {
                    const auto it = quantity.find({salesman, key});
                    if (it != quantity.end()) q = it->second;
                }
                if (auto refusal = quantity_refusal(wire::Value(q))) refuse(*refusal);
                db.run("INSERT INTO XSTYZB02(ZBSL00,NYUE00,XHAO00,ZBLB00,ZBMC00,SPDM00,SPDM01,CKDM00,RYDM00) "
                       "VALUES (?,?,?,?,?,NULL,NULL,?,?)",
                       {q, month, ind.at(0), ind.at(1), ind.at(2), department, salesman});
            }
            record_rows_made(db, caller, allocation::kRollForwardName, highest, month, department, salesman);
        }
        return plan;
    });
}

}  // namespace appserver

namespace appserver {

SplitApplied apply_import(Connection &db, const Caller &caller, int &savepoints, const BoardReader &read,
                          const std::string &month, const std::string &department, const std::string &file_name,
                          std::vector<ImportedQuantity> changes, const std::string &fingerprint)
{
    // The file's name as the record's reason: LYOU00 holds 100 characters.
    std::string reason;
    for (std::size_t i = 0, characters = 0; i < file_name.size() && characters < 100; ++characters) {
        const auto c = static_cast<unsigned char>(file_name[i]);
        const std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        reason += file_name.substr(i, length);
        i += length;
    }
    return in_transaction(db, savepoints, month, department, [&] {
        const allocation::Month now = allocation::month_from_packet(read(month, department), month, department);
        check_fingerprint(fingerprint, now, nullptr);
        std::map<wire::RowId, const allocation::Month::Row *> rows;
        for (const auto &row : now.rows) rows[row.id] = &row;
        std::set<std::string> visit;
        for (const auto &s : now.salesmen)
            if (s.visit) visit.insert(s.code);
        // Lowered shares first, so a share moved between salesmen fits at every step.
        const auto lowered = [&](const ImportedQuantity &c) {
            const auto it = rows.find(c.row);
            return it != rows.end() && c.quantity < it->second->quantity.value_or(0);
        };
        std::stable_partition(changes.begin(), changes.end(), lowered);
        SplitApplied done{kImportOperation, 0};
        AllocationLedger ledger(db, AllocationLedger::Changes::Written);
        const std::string when = iso_utc(std::chrono::system_clock::now());
        for (const auto &change : changes) {
            const auto it = rows.find(change.row);
            if (it == rows.end())
                refuse("计划行 " + std::to_string(change.row) + " 不是 " + month + " 月 " + department + " 部门的计划");
            const allocation::Month::Row &r = *it->second;
            if (!visit.count(r.salesman)) refuse("访销员 " + r.salesman + " 已不是本部门的访销员，他的计划不能导入");
            const wire::Value before = value_of(r.quantity), after(change.quantity);
            if (r.quantity && *r.quantity == change.quantity) continue;
            if (auto refusal = quantity_refusal(after)) refuse(*refusal);
            const PlanRow row{r.id, month, department, r.salesman, r.key.sequence, r.key.name, before};
            if (auto refusal = ledger.refusal(row, before, after)) refuse(*refusal);
            const StatementResult updated =
                r.quantity ? db.run("UPDATE XSTYZB02 SET ZBSL00=? WHERE ROWID00=? AND ZBSL00=?", {after, r.id, before})
                           : db.run("UPDATE XSTYZB02 SET ZBSL00=? WHERE ROWID00=? AND ZBSL00 IS NULL", {after, r.id});
            if (updated.rows_affected != 1) refuse(kChangedSincePreview, contract::error::kBoardChanged);
            ledger.record(row, before, after);
            db.run(std::string("INSERT INTO ") + kAuditTable +
                       " (CZSJ00,YHMC00,KHDZ00,CZLX00,NYUE00,CKDM00,RYDM00,XHAO00,ZBMC00,SLQIAN,SLHOU0,JHHANG,LYOU00)"
                       " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)",
                   {when, caller.account, caller.address.empty() ? std::string("-") : caller.address,
                    std::string(kImportOperation), month, department, r.salesman, r.key.sequence, r.key.name, before,
                    after, static_cast<std::int64_t>(r.id), reason});
            ++done.changed;
        }
        return done;
    });
}

}  // namespace appserver
