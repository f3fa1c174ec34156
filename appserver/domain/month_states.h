// The sign-off of a department's month: its state (草稿, 已提交, 已批准,
// 修订中), every move with who, when and why, and the lock a submitted or
// approved month puts on its salesman plans.
//
// Every route that changes salesman plan rows calls require_month_open (or,
// for an apply by row identity, month_lock_refusals) inside the transaction
// that changes them, after which the month cannot be submitted until that
// transaction ends: a state move waits for it (the department's named lock
// on PostgreSQL, the write lock on SQLite), and a change after the move
// reads the new state.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "caller.h"
#include "database.h"
#include "wire.h"

namespace appserver {

// One row per move: JLHAO0 record number, NYUE00, CKDM00, BBHAO0 the move's
// number in the department's month (1, 2, ...; unique, so that two moves
// from one state cannot both land), DZUO00 the move, ZTAI00 the state it
// led to, YHMC00 account, KHDZ00 address, CZSJ00 time (UTC), LYOU00 reason.
inline constexpr const char *kMonthStateTable = "XSTYZBZT";

// The audit trail's kinds of record of a move (CZLX00), with the reason in
// the trail's LYOU00.
inline constexpr const char *kAuditSubmitted = "submitted";
inline constexpr const char *kAuditApproved = "approved";
inline constexpr const char *kAuditReturned = "returned";
inline constexpr const char *kAuditRevisionOpened = "revision opened";

// The layout step that brings in month states, and part of every new
// layout: the table where it is missing, and the audit trail's column of
// reasons where it is missing. Every month of an older database starts as
// 草稿 (it has no move yet). Self-contained, so that it runs as whichever
// version step the layout gives it.
void migrate_to_month_states(Connection &db);

struct MonthMove {
    std::int64_t number = 0;
    std::string move, state, account, time, reason;
};

struct MonthState {
    std::string department;
    std::string state;           // 草稿 when it never moved
    std::string submitted_by;    // the last submission's account
    std::string approved_by, approved_at;  // while approved
    std::vector<MonthMove> history;        // oldest first
};

// The department's month as it stands, with its history.
MonthState read_month_state(Connection &db, const std::string &month, const std::string &department);
// Every department of the month whose state is not the first draft.
std::vector<MonthState> read_month_states(Connection &db, const std::string &month);

// Why the department's month may not change now ("该月计划已批准，不能修改"),
// nothing when it may. Takes the department's lock for the rest of the open
// transaction first, so that no move comes between the check and the change.
std::optional<std::string> month_lock_refusal(Connection &db, const std::string &month,
                                              const std::string &department);
// Throws ServerError (code month_locked) with that reason. Every route that
// changes salesman plan rows calls it inside its transaction.
void require_month_open(Connection &db, const std::string &month, const std::string &department);
// Runs `change` (a statement changing the department's month's plans, with
// its records) in the open transaction, or in one of its own that it
// commits, after require_month_open.
StatementResult run_in_open_month(Connection &db, const std::string &month, const std::string &department,
                                  const std::function<StatementResult()> &change);
// For an apply by row identity: the refusal of each change whose row lies in
// a locked month (the rows' months locked in a fixed order).
std::map<wire::RowId, std::string> month_lock_refusals(Connection &db, const wire::Delta &delta);

// The site's rules of the sign-off.
struct SignOffRules {
    bool allow_self_approval = false;
    bool allow_partial_submission = false;
};

// Moves the department's month (contract::kMoveSubmit, ...) in a transaction
// of its own, recording the move and its audit record; returns the state it
// led to. `seen`, when not empty, is the state the caller saw: another is
// refused (state_changed). Refused (ServerError): a viewer; approving or
// returning by anyone but an approver; a move the state does not allow, a
// month without a department plan, a submission not complete, one's own
// submission approved (state_refused); a reason missing where one is needed
// (bad_request).
std::string move_month_state(Connection &db, const Caller &caller, const SignOffRules &rules,
                             const std::string &month, const std::string &department, const std::string &move,
                             const std::string &reason, const std::string &seen);

}  // namespace appserver
