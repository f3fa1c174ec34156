// The rules a salesman's plan quantity must keep: a quantity that means
// something, and never more for the salesmen of a department than the
// department's own plan holds for that month and indicator.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "database.h"
#include "wire.h"

namespace appserver {

// No real plan reaches this many cartons of one indicator in a month.
inline constexpr double kMaxPlanQuantity = 1e9;

// Whether text is a month key: six digits YYYYMM, the month 01 to 12.
bool is_month_key(const std::string &text);

// A quantity as the module shows it: general number format, "1080" and not
// "1080.0", "12.5" as it is.
std::string format_quantity(double quantity);

// Why a new quantity cannot be stored (negative, not finite, above
// kMaxPlanQuantity); nothing for an acceptable one, an empty value, or text
// that is no number at all (refused elsewhere).
std::optional<std::string> quantity_refusal(const wire::Value &quantity);

// A quantity as the plan table stores it: empty or a finite number (text
// that reads as one converted); nothing for anything else. Text such as
// "inf" or "nan" reads as a number but is none a plan can hold: once
// stored, no data packet could carry the row again.
std::optional<wire::Value> stored_quantity(const wire::Value &v);

// One row of the salesman plan table as the rules and the audit need it.
struct PlanRow {
    wire::RowId row_id = 0;
    std::string month, department, salesman;
    wire::Value sequence;  // XHAO00
    wire::Value name;      // ZBMC00
    wire::Value quantity;  // ZBSL00 as stored
};

// The row, or nothing when there is none with that identity.
std::optional<PlanRow> read_plan_row(Connection &db, wire::RowId row_id);

// Takes, for the rest of the open transaction, the allocation lock of every
// department and month whose salesman plans the changes touch, in one fixed
// order so that two applies never wait for each other in a circle. On
// PostgreSQL a transaction-level advisory lock per department and month; on
// SQLite nothing, as the apply holds the database's write lock already.
void lock_allocations(Connection &db, const wire::Delta &delta);

// Why the row may not take the new quantity: the department's quantity of
// the indicator (its rows of the month summed by sequence number and name),
// minus what the other salesmen of the department hold (an empty quantity
// counting 0), is below it. A quantity that is not above the row's
// quantity before the change always passes. The caller holds the lock.
std::optional<std::string> allocation_refusal(Connection &db, const PlanRow &row, const wire::Value &before,
                                              const wire::Value &after);

}  // namespace appserver
