// The rules a salesman's plan quantity must keep: a quantity that means
// something, and never more for the salesmen of a department than the
// department's own plan holds for that month and indicator.
#pragma once

#include <compare>
#include <map>
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
// The rows with these identities that there are, read a few hundred a statement.
std::map<wire::RowId, PlanRow> read_plan_rows(Connection &db, const std::vector<wire::RowId> &row_ids);

// Takes, for the rest of the open transaction, the allocation lock of every
// department and month of these rows, in one fixed order so that two
// applies never wait for each other in a circle. On PostgreSQL a
// transaction-level advisory lock per department and month; on SQLite
// nothing, as the apply holds the database's write lock already. True when
// a lock was taken: the rows may have changed while it waited for it.
bool lock_allocations(Connection &db, const std::vector<const PlanRow *> &rows);

// The allocation rule for the changes of one apply, whose caller holds the
// allocation lock of every department and month it raises quantities in:
// what each department's plan holds and what each of its salesmen holds,
// per indicator (sequence number and name), read once per department and
// month when a change first needs it, and kept up to date with every change
// the apply makes (record). So a whole department's save costs two
// statements of reading, not two for each raised quantity.
class AllocationLedger {
public:
    // When changes are written: each before the next is checked (Written),
    // or all of them together after every check (Later), in which case what
    // is read from the database does not hold the changes recorded so far.
    enum class Changes { Written, Later };
    AllocationLedger(Connection &db, Changes changes) : db_(db), changes_(changes) {}

    // Why the row may not take the new quantity: the department's quantity
    // of the indicator (its rows of the month summed by sequence number and
    // name), minus what the other salesmen of the department hold (an empty
    // quantity counting 0), is below it. A quantity that is not above the
    // row's quantity before the change always passes.
    std::optional<std::string> refusal(const PlanRow &row, const wire::Value &before, const wire::Value &after);
    // A change made: the row's quantity went from before to after (after
    // empty for a deleted row).
    void record(const PlanRow &row, const wire::Value &before, const wire::Value &after);

    // An indicator as the remaining quantity groups it: its sequence number
    // (empty, a number, or text that is none) and its name (empty or text).
    struct Indicator {
        int sequence_kind = 0;  // 0 empty, 1 number, 2 text
        double sequence = 0;
        std::string sequence_text;
        bool has_name = false;
        std::string name;
        auto operator<=>(const Indicator &) const = default;
    };

private:
    struct Department {
        std::map<Indicator, double> planned;                        // the department's quantity
        std::map<Indicator, std::map<std::string, double>> held;  // salesman -> his quantity
    };
    Department &department(const std::string &month, const std::string &department);
    using Key = std::pair<std::string, std::string>;  // (month, department)
    struct Change {
        Indicator indicator;
        std::string salesman;
        double by;
    };

    Connection &db_;
    Changes changes_;
    std::map<Key, Department> departments_;
    std::map<Key, std::vector<Change>> unread_;  // made later, in departments not read yet
};

}  // namespace appserver
