// Splitting a department's month among its salesmen in whole units: what
// remains of each indicator split evenly, by last month's shares or by
// weights, and last month's split carried into a new month. One unit for
// both sides: the server computes and applies with it, the module previews
// with it, so a preview and the apply that follows agree to the unit.
//
// The rule: quantities are whole numbers; what is split is the whole units
// of what remains; each salesman's part comes by the largest remainder, so
// the parts add up exactly to what was split (never one over), and a tie
// goes to the salesman earlier by code. No fraction of a unit is created,
// nothing is taken from a share already held.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "wire.h"

namespace allocation {

// An indicator as the allocation rule keys it: sequence number and name.
struct Key {
    double sequence = 0;
    std::string name;
    auto operator<=>(const Key &) const = default;
};

// A department's month as the board provider answers it.
struct Month {
    struct Indicator {
        Key key;
        std::string category;
        double plan = 0;  // the department's quantity
    };
    struct Salesman {
        std::string code;
        bool visit = true;  // false: no longer a visit-salesman of the department
    };
    struct Row {
        wire::RowId id = 0;
        std::string salesman;
        Key key;
        std::optional<double> quantity;  // empty reads 0
    };
    std::string month, department;
    std::vector<Indicator> indicators;  // by sequence, then name
    std::vector<Salesman> salesmen;     // by code
    std::vector<Row> rows;              // by salesman, then identity
};

// The month a board provider's packet (rows, details "plan" and "salesmen")
// holds. Throws wire::WireError for a packet that lacks a field.
Month month_from_packet(const wire::DataPacket &board, const std::string &month, const std::string &department);

// A short text that changes whenever anything the helpers read changes: the
// department's plan, who its salesmen are, any plan row or quantity. The
// apply is refused when the month it finds differs from the preview's.
std::string fingerprint(const Month &now, const Month *previous = nullptr);

// The month before a month key ("202601" -> "202512").
std::string previous_month(const std::string &month);

// Refused input, in the planner's words.
class Refused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// `total` whole units split by `weights` (none negative, not all zero) by the
// largest remainder; a tie goes to the earlier weight. The parts add up to
// total exactly. Throws Refused for weights that cannot split.
std::vector<std::int64_t> largest_remainder(std::int64_t total, const std::vector<double> &weights);

enum class Mode { Even, LastMonth, Weights };
// The operation's name, as the audit records carry it: 平均分配, 按上月比例, 按权重.
const char *operation_name(Mode mode);
inline constexpr const char *kRollForwardName = "沿用上月";

// Weights by salesman code; "0101:3,0102:1.5" as the methods carry them.
using Weights = std::map<std::string, double>;
Weights parse_weights(const std::string &text);  // throws Refused
std::string weights_text(const Weights &weights);
// Why weights cannot split (negative, not a number, all zero), or nothing.
std::optional<std::string> weights_refusal(const Weights &weights, const std::vector<std::string> &salesmen);

struct SplitRequest {
    Mode mode = Mode::Even;
    std::vector<double> indicators;     // sequence numbers; empty: every indicator
    std::vector<std::string> salesmen;  // codes; empty: every visit-salesman with a plan
    Weights weights;                    // Mode::Weights
};

// A new quantity for one plan row.
struct Change {
    wire::RowId row = 0;
    std::string salesman;
    Key key;
    std::optional<double> before;
    double after = 0;
};

// What remains of each chosen indicator split among the chosen salesmen who
// hold exactly one row of it; others' shares stay. `previous` is last
// month's (Mode::LastMonth). Throws Refused for unusable weights.
std::vector<Change> split_remaining(const Month &now, const Month *previous, const SplitRequest &request);

// A row the roll-forward generates, with its quantity.
struct NewRow {
    std::string salesman;
    Key key;
    double quantity = 0;
};

struct RollForward {
    std::vector<std::string> carried;          // last month's salesmen given this month's plan by their shares
    std::vector<std::string> new_salesmen;     // visit-salesmen without last month's plan: a zero plan
    std::vector<std::string> left;             // last month's salesmen no longer of the department: skipped
    std::vector<std::string> new_indicators;   // names not in last month's plans: zero
    std::vector<NewRow> rows;                  // per salesman, per indicator of this month's plan
};

// Every visit-salesman of `now` with a plan last month and none this month
// gets one row per indicator of this month's plan: what remains of the
// indicator split by his share of it last month (matched by name) among the
// salesmen carried. Throws Refused when last month holds no plan, this
// month has no department plan, or nobody is left to carry.
RollForward roll_forward(const Month &now, const Month &previous);

}  // namespace allocation
