#include "plan_changes.h"

#include <algorithm>

#include "audit.h"
#include "contract.h"
#include "month_states.h"
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

// Applies one change; the reason when it is refused.
std::optional<std::string> apply_change(Connection &db, const Caller &caller, const wire::Change &change)
{
    if (change.kind == wire::ChangeKind::Insert)
        return "new plan rows cannot be inserted here: a salesman's plan is generated from the department plan";
    if (!change.row_id) return "the change names no row (rowId is missing)";
    const wire::RowId row = *change.row_id;

    const wire::Value *original = find_field(change.original, contract::kQuantityField);
    std::optional<wire::Value> before;
    if (original) {
        before = stored_quantity(*original);
        if (!before) return "the original quantity \"" + wire::value_to_text(*original) + "\" is not a number";
    }

    // The row as it is now, for the rule and the audit record.
    const auto plan_row = read_plan_row(db, row);
    StatementResult done;
    std::optional<wire::Value> after;
    if (!plan_row) {
        done.rows_affected = 0;  // reported below as deleted since read
    } else if (change.kind == wire::ChangeKind::Delete) {
        if (!before) done = db.run("DELETE FROM XSTYZB02 WHERE ROWID00=?", {row});
        else if (wire::is_null(*before)) done = db.run("DELETE FROM XSTYZB02 WHERE ROWID00=? AND ZBSL00 IS NULL", {row});
        else done = db.run("DELETE FROM XSTYZB02 WHERE ROWID00=? AND ZBSL00=?", {row, *before});
    } else {
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
            if (!was || !same_value(*was, value))
                return "only the planned quantity (ZBSL00) can be changed, not " + upper(name);
        }
        if (!before) return "the change does not carry the quantity (ZBSL00) as it was read";
        if (!after) after = before;
        // The salesmen of a department never hold more than its plan.
        if (auto refusal = allocation_refusal(db, *plan_row, *before, *after)) return refusal;
        if (wire::is_null(*before))
            done = db.run("UPDATE XSTYZB02 SET ZBSL00=? WHERE ROWID00=? AND ZBSL00 IS NULL", {*after, row});
        else
            done = db.run("UPDATE XSTYZB02 SET ZBSL00=? WHERE ROWID00=? AND ZBSL00=?", {*after, row, *before});
    }
    if (done.rows_affected == 1) {
        if (change.kind == wire::ChangeKind::Delete)
            record_row_change(db, caller, kAuditRowDeleted, *plan_row, plan_row->quantity, wire::Value{});
        else if (!same_value(*before, *after))
            record_row_change(db, caller, kAuditQuantityChanged, *plan_row, *before, *after);
        return std::nullopt;
    }

    // Nothing matched: the row is gone, or another planner changed it.
    const auto now = db.run("SELECT ZBSL00 FROM XSTYZB02 WHERE ROWID00=?", {row}).packet;
    if (now.rows.empty()) return "the plan row " + std::to_string(row) + " has been deleted since it was read";
    return "the plan row " + std::to_string(row) + " has been changed since it was read: its quantity is now " +
           quantity_text(now.rows[0][0]) + ", it was " + quantity_text(*before) + " when read";
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

    wire::ApplyResult result;
    std::vector<const wire::Change *> refused;  // in the order of result.errors
    const wire::Change *current = nullptr;
    try {
        // No change of a submitted or approved month; no move of these months'
        // states and no other apply of these departments' plans until this one ends.
        const auto locked = month_lock_refusals(db, delta);
        lock_allocations(db, delta);
        for (const auto &change : delta) {
            current = &change;
            const auto lock = change.row_id ? locked.find(*change.row_id) : locked.end();
            if (auto refusal = lock != locked.end() ? lock->second : apply_change(db, caller, change)) {
                ++result.error_count;
                result.errors.push_back({change.row_id, *refusal});
                refused.push_back(&change);
                if (max_errors >= 0 && result.error_count > max_errors) {
                    undo();
                    return result;
                }
            }
        }
        current = nullptr;
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
            const auto was_refused = std::find(refused.begin(), refused.end(), &change);
            if (&change == current) {
                message = why;
            } else if (was_refused != refused.end()) {
                message = result.errors[static_cast<std::size_t>(was_refused - refused.begin())].message;
            } else {
                message = "not applied: the whole apply was undone (" + why + ")";
            }
            undone.errors.push_back({change.row_id, std::move(message)});
        }
        undone.error_count = static_cast<int>(undone.errors.size());
        return undone;
    }
    return result;
}

}  // namespace appserver
