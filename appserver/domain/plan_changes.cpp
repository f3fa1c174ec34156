#include "plan_changes.h"

#include <algorithm>
#include <set>

#include "audit.h"
#include "contract.h"
#include "month_states.h"
#include "dialect.h"
#include "plan_rules.h"
#include "server_log.h"
#include "server_text.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

// Two field values are the same when both are empty, both read as the same
// number, or both are the same text.
bool same_value(const wire::Value &a, const wire::Value &b)
{
    if (wire::is_null(a) || wire::is_null(b)) return wire::is_null(a) && wire::is_null(b);
    const bool a_text = std::holds_alternative<std::string>(a), b_text = std::holds_alternative<std::string>(b);
    if (a_text && b_text) return std::get<std::string>(a) == std::get<std::string>(b);
    try {
        return wire::value_to_double(a) == wire::value_to_double(b);
    } catch (const wire::WireError &) {
        return false;
    }
}

const wire::Value *find_field(const std::map<std::string, wire::Value> &values, const std::string &name)
{
    for (const auto &[k, v] : values)
        if (equal_ignoring_case(k, name)) return &v;
    return nullptr;
}

std::string quantity_text(const wire::Value &v) { return wire::is_null(v) ? "empty" : wire::value_to_text(v); }

// The first checks of a change, before its row is looked at: what it is,
// which row, and the quantity it was read with (nothing when it carries
// none); a refusal when it cannot be a change of a plan row.
std::optional<std::string> opening_refusal(const wire::Change &change, std::optional<wire::Value> &before)
{
    if (change.kind == wire::ChangeKind::Insert)
        return "new plan rows cannot be inserted here: a salesman's plan is generated from the department plan";
    if (!change.row_id) return "the change names no row (rowId is missing)";
    // The plan's identities are drawn from 1 up: anything else was never one of its rows.
    if (*change.row_id <= 0) return "the row id " + std::to_string(*change.row_id) + " is none of the plan's rows";
    if (const wire::Value *original = find_field(change.original, contract::kQuantityField)) {
        before = stored_quantity(*original);
        if (!before) return "the original quantity \"" + wire::value_to_text(*original) + "\" is not a number";
    }
    return std::nullopt;
}

// The checks of a quantity change that need no database: the new quantity
// within its bounds, no other field changed, the quantity as it was read
// given. after is the new quantity (the old one when none is given).
std::optional<std::string> modify_refusal(const wire::Change &change, const std::optional<wire::Value> &before,
                                          std::optional<wire::Value> &after)
{
    for (const auto &[name, value] : change.values) {
        if (equal_ignoring_case(name, contract::kQuantityField)) {
            if (auto refusal = quantity_refusal(value)) return refusal;
            after = stored_quantity(value);
            if (!after) return "the quantity \"" + wire::value_to_text(value) + "\" is not a number";
            continue;
        }
        const bool known = std::any_of(contract::plan_fields().begin(), contract::plan_fields().end(),
                                       [&](const wire::FieldDef &f) { return equal_ignoring_case(f.name, name); });
        if (!known) return "the plan has no field \"" + name + "\"";
        const wire::Value *was = find_field(change.original, name);
        if (!was || !same_value(*was, value)) return "only the planned quantity (ZBSL00) can be changed, not " + upper(name);
    }
    if (!before) return "the change does not carry the quantity (ZBSL00) as it was read";
    if (!after) after = before;
    return std::nullopt;
}

std::string deleted_since_read(wire::RowId row)
{
    return "the plan row " + std::to_string(row) + " has been deleted since it was read";
}

std::string changed_since_read(wire::RowId row, const wire::Value &now, const wire::Value &before)
{
    return "the plan row " + std::to_string(row) + " has been changed since it was read: its quantity is now " +
           quantity_text(now) + ", it was " + quantity_text(before) + " when read";
}

// The rows an apply names, read; the allocation lock of every department and
// month it changes quantities in, taken; and the rows read again when the
// lock had to be waited for.
std::map<wire::RowId, PlanRow> locked_rows(Connection &db, const wire::Delta &delta)
{
    std::vector<wire::RowId> named;
    for (const auto &change : delta)
        if (change.row_id) named.push_back(*change.row_id);
    auto rows = read_plan_rows(db, named);
    // No other apply of these departments' plans runs until this one ends.
    std::vector<const PlanRow *> changed;
    for (const auto &change : delta) {
        if (change.kind != wire::ChangeKind::Modify || !change.row_id) continue;
        if (auto it = rows.find(*change.row_id); it != rows.end()) changed.push_back(&it->second);
    }
    if (lock_allocations(db, changed)) rows = read_plan_rows(db, named);
    return rows;
}

// How one apply goes: each change checked and made in turn, refusals
// counted; it stops once there are more than max_errors (undo() is then the
// caller's).
struct Outcome {
    wire::ApplyResult result;
    std::vector<const wire::Change *> refused;  // in the order of result.errors
    const wire::Change *current = nullptr;      // the change a database failure came at, if any
    bool stopped = false;                       // more refusals than allowed
    void refuse(const wire::Change &change, std::string why, int max_errors)
    {
        ++result.error_count;
        result.errors.push_back({change.row_id, std::move(why)});
        refused.push_back(&change);
        stopped = max_errors >= 0 && result.error_count > max_errors;
    }
};

// Every change made by a statement of its own, in order: deletions, a row
// changed twice, and whatever the batch below leaves to it.
void apply_one_by_one(Connection &db, const Caller &caller, const wire::Delta &delta, int max_errors, Outcome &out,
                      const std::map<wire::RowId, std::string> &locked)
{
    std::map<wire::RowId, PlanRow> rows = locked_rows(db, delta);
    AllocationLedger ledger(db, AllocationLedger::Changes::Written);
    AuditBatch audit(caller);
    for (const auto &change : delta) {
        out.current = &change;
        auto made = [&]() -> std::optional<std::string> {
            std::optional<wire::Value> before, after;
            if (auto refusal = opening_refusal(change, before)) return refusal;
            const wire::RowId row = *change.row_id;
            // A submitted or approved month changes by no apply.
            if (const auto lock = locked.find(row); lock != locked.end()) return lock->second;
            const auto known = rows.find(row);
            if (known == rows.end()) return deleted_since_read(row);
            StatementResult done;
            std::optional<PlanRow> removed;
            if (change.kind == wire::ChangeKind::Delete) {
                // What it removes, as it is now.
                removed = read_plan_row(db, row);
                if (!removed) return deleted_since_read(row);
                if (!before) done = db.run("DELETE FROM XSTYZB02 WHERE ROWID00=?", {row});
                else if (wire::is_null(*before)) done = db.run("DELETE FROM XSTYZB02 WHERE ROWID00=? AND ZBSL00 IS NULL", {row});
                else done = db.run("DELETE FROM XSTYZB02 WHERE ROWID00=? AND ZBSL00=?", {row, *before});
            } else {
                if (auto refusal = modify_refusal(change, before, after)) return refusal;
                // The salesmen of a department never hold more than its plan.
                if (auto refusal = ledger.refusal(known->second, *before, *after)) return refusal;
                if (wire::is_null(*before))
                    done = db.run("UPDATE XSTYZB02 SET ZBSL00=? WHERE ROWID00=? AND ZBSL00 IS NULL", {*after, row});
                else
                    done = db.run("UPDATE XSTYZB02 SET ZBSL00=? WHERE ROWID00=? AND ZBSL00=?", {*after, row, *before});
            }
            if (done.rows_affected != 1) {
                // Nothing matched: the row is gone, or another planner changed it.
                const auto now = db.run("SELECT ZBSL00 FROM XSTYZB02 WHERE ROWID00=?", {row}).packet;
                if (now.rows.empty()) return deleted_since_read(row);
                return changed_since_read(row, now.rows[0][0], *before);
            }
            if (removed) {
                audit.add(kAuditRowDeleted, *removed, removed->quantity, wire::Value{});
                ledger.record(*removed, removed->quantity, wire::Value{});
                rows.erase(known);
            } else if (!same_value(*before, *after)) {
                audit.add(kAuditQuantityChanged, known->second, *before, *after);
                ledger.record(known->second, *before, *after);
                known->second.quantity = *after;
            }
            return std::nullopt;
        }();
        if (made) {
            out.refuse(change, std::move(*made), max_errors);
            if (out.stopped) return;
        }
    }
    out.current = nullptr;
    audit.write(db);
}

// A save of many quantities at once (the usual apply: every change a
// quantity change of a row of its own): each change checked in turn against
// the rows as read under the lock and the allocation rule, as apply_one_by_one
// checks it, and then all of them made by one statement, conditional on
// every row still holding the quantity it was read with. False, with
// nothing made, when the changes are not of that kind or a row was changed
// after all (by a writer that takes no allocation lock): the caller then
// applies them one by one.
bool apply_together(Connection &db, const Caller &caller, const wire::Delta &delta, int max_errors, Outcome &out,
                    const std::map<wire::RowId, std::string> &locked)
{
    if (!locked.empty()) return false;  // each change of a locked month is refused by name
    std::set<wire::RowId> seen;
    for (const auto &change : delta)
        if (change.kind != wire::ChangeKind::Modify || !change.row_id || !seen.insert(*change.row_id).second)
            return false;
    std::map<wire::RowId, PlanRow> rows = locked_rows(db, delta);
    AllocationLedger ledger(db, AllocationLedger::Changes::Later);
    AuditBatch audit(caller);
    std::vector<wire::Value> updates;  // new quantity, row, quantity as read
    Outcome checked;
    for (const auto &change : delta) {
        std::optional<wire::Value> before, after;
        std::optional<std::string> refusal = opening_refusal(change, before);
        const wire::RowId row = *change.row_id;
        const auto known = rows.find(row);
        if (!refusal && known == rows.end()) refusal = deleted_since_read(row);
        if (!refusal) refusal = modify_refusal(change, before, after);
        if (!refusal) refusal = ledger.refusal(known->second, *before, *after);
        // A row read empty is changed by a statement of its own ("IS NULL").
        if (!refusal && wire::is_null(*before)) return false;
        if (!refusal && !same_value(known->second.quantity, *before))
            refusal = changed_since_read(row, known->second.quantity, *before);
        if (refusal) {
            checked.refuse(change, std::move(*refusal), max_errors);
            if (checked.stopped) break;
            continue;
        }
        if (!same_value(*before, *after)) {
            audit.add(kAuditQuantityChanged, known->second, *before, *after);
            ledger.record(known->second, *before, *after);
        }
        updates.insert(updates.end(), {*after, wire::Value(static_cast<std::int64_t>(row)), *before});
    }
    if (!checked.stopped) {
        static const RowsChange update = {
            "UPDATE XSTYZB02 SET ZBSL00=? WHERE ROWID00=? AND ZBSL00=?",
            "UPDATE XSTYZB02 SET ZBSL00=v.column1 FROM {rows} AS v "
            "WHERE XSTYZB02.ROWID00=v.column2 AND XSTYZB02.ZBSL00=v.column3",
            {"DOUBLE PRECISION", "BIGINT", "DOUBLE PRECISION"}};
        if (change_rows(db, update, updates) != static_cast<std::int64_t>(updates.size() / 3)) return false;
        audit.write(db);
    }
    out = std::move(checked);
    return true;
}

}  // namespace

wire::ApplyResult apply_plan_changes(Connection &db, const Caller &caller, int &savepoints, const wire::Delta &delta,
                                     int max_errors)
{
    const bool own = !db.in_transaction();
    const std::string savepoint = "plan_apply_" + std::to_string(++savepoints);
    if (own) db.begin_write();
    else db.savepoint(savepoint);
    auto undo = [&] {
        try {
            if (own) {
                db.rollback();
            } else {
                db.rollback_to_savepoint(savepoint);
            }
        } catch (const ServerError &) {
            // Only a lost connection gets here; the database then drops the work itself.
        }
    };

    Outcome out;
    try {
        // No change of a submitted or approved month; no move of these months'
        // states until this apply ends.
        const auto locked = month_lock_refusals(db, delta);
        // Together when it can be; else, or when a row changed under it,
        // from where it began, one by one.
        const std::string together = "plan_apply_together_" + std::to_string(++savepoints);
        db.savepoint(together);
        bool done_together = false;
        try {
            done_together = apply_together(db, caller, delta, max_errors, out, locked);
        } catch (const ServerError &e) {
            // The database refused the statement of them all: one by one
            // finds the change it refuses and names it.
            if (e.kind() == Kind::Unavailable) throw;
        }
        if (done_together) {
            db.release_savepoint(together);
        } else {
            db.rollback_to_savepoint(together);  // and let go
            out = Outcome{};
            apply_one_by_one(db, caller, delta, max_errors, out, locked);
        }
        if (out.stopped) {
            undo();
            return out.result;
        }
        if (own) db.commit();
        else db.release_savepoint(savepoint);
    } catch (const ServerError &e) {
        undo();
        if (e.kind() == Kind::Unavailable) throw;
        // The answer carries what a planner may read; the database's own
        // words go to the log.
        const std::string why = e.planner_message();
        if (e.in_database_words()) log_line("apply undone: " + why + " (the database: " + e.what() + ")");
        // Nothing of the apply stayed, so every change of it is reported as
        // not applied: a client that tolerates some refusals must not take
        // the changes before the failure for done.
        wire::ApplyResult undone;
        for (const auto &change : delta) {
            std::string message;
            const auto was_refused = std::find(out.refused.begin(), out.refused.end(), &change);
            if (&change == out.current) {
                message = why;
            } else if (was_refused != out.refused.end()) {
                message = out.result.errors[static_cast<std::size_t>(was_refused - out.refused.begin())].message;
            } else {
                message = "not applied: the whole apply was undone (" + why + ")";
            }
            undone.errors.push_back({change.row_id, std::move(message)});
        }
        undone.error_count = static_cast<int>(undone.errors.size());
        return undone;
    }
    return out.result;
}

}  // namespace appserver
