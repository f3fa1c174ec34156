// Actual sales beside the plan: what the server's dsp_actuals answers for a
// department's month, placed on the board as two named layers (已完成, the
// quantity sold; 完成率, sold ÷ planned as a percentage, none where the plan
// is 0), and what finds no cell of the board (a salesman not on it, an
// indicator the plan lacks) kept as "其他" rather than dropped.
//
// Rates are taken against the plan as read (the saved plan), not against
// quantities typed and not yet saved. The month's pace is the share of its
// days gone by: 0 for a month to come, 1 for one gone, day ÷ days in the
// current one. Against it a figure is below pace (sold less than the plan
// times the pace), on pace (at least that, at most the plan) or above plan.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "board_model.h"
#include "wire.h"

namespace remote {
class RemoteConnection;
}

namespace board {

inline constexpr const char *kDoneLayer = "已完成";
inline constexpr const char *kRateLayer = "完成率";
inline constexpr const char *kOthersLine = "其他";

struct ActualLine {
    std::string salesman;  // RYDM00
    double sequence = 0;   // XHAO00
    double quantity = 0;   // SJSL00, summed
};

enum class ActualsState {
    Off,          // the server has no view of actual sales: nothing of them is shown
    Unavailable,  // it has one, but it did not answer now (the reason says why)
    Ok,
};

struct Actuals {
    ActualsState state = ActualsState::Off;
    std::string reason;  // in planners' words, for Unavailable
    std::vector<ActualLine> lines;
};

// The answer of dsp_actuals. Throws wire::WireError for a packet without its fields.
Actuals actuals_from_packet(const wire::DataPacket &packet);
// Reads a department's month through the customer object. A server that
// does not offer dsp_actuals gives Off; a failed call gives Unavailable
// with its message: the board goes on without actuals either way.
Actuals read_actuals(remote::RemoteConnection &cust, const std::string &month, const std::string &department);

// ---- pace ------------------------------------------------------------------------

struct Day {
    int year = 0, month = 0, day = 0;
};
// The share of a month's days gone by on a day (the day itself counted).
double month_elapsed(const std::string &month, const Day &today);

enum class Pace { None, Below, On, Above };  // None: no plan to be measured against
std::optional<double> completion_rate(double actual, double plan);  // percent; none for a plan of 0
Pace pace_of(double actual, double plan, double elapsed);
// "落后于进度", "符合进度", "超额完成", "" for None.
std::string pace_text(Pace pace);
// "71%" (whole percent).
std::string rate_text(double rate);

// ---- on the board ----------------------------------------------------------------

// What finds no cell of the board, for the "其他" line and column.
struct OtherActuals {
    std::map<int, double> by_indicator;          // sold of a board indicator by salesmen not on the board
    std::map<int, double> by_salesman;           // sold by a board salesman of indicators not on the board
    double neither = 0;                          // by salesmen not on the board, of indicators not on it
    std::map<std::string, double> salesmen;      // the codes not on the board, with what they sold
    std::map<double, double> sequences;          // the sequence numbers not on the board, with what was sold
    bool empty() const { return by_indicator.empty() && by_salesman.empty() && neither == 0 && salesmen.empty(); }
    double total() const;
};

struct Placement {
    CellLayer done;  // 已完成 per cell the board has
    CellLayer rate;  // 完成率 per cell with a plan above 0
    OtherActuals others;
};
// Finds each line's cell by salesman code and sequence number (the first
// indicator of that number), summing lines of one cell.
Placement place_actuals(const BoardModel &model, const std::vector<ActualLine> &lines);

// The figures the views show, from the layers and the others.
struct Figure {
    double actual = 0;
    double plan = 0;
    std::optional<double> rate;
    Pace pace = Pace::None;
};
Figure cell_figure(const BoardModel &model, const Position &cell, double elapsed);
// The department's figure of an indicator: every salesman's sales with the
// others', against the department's plan.
Figure indicator_figure(const BoardModel &model, const OtherActuals &others, int indicator, double elapsed);
// A salesman's month: his sales of every indicator (the others' line too)
// against his plan's total.
Figure salesman_figure(const BoardModel &model, const OtherActuals &others, int salesman, double elapsed);
// The department's month against its plan's total.
Figure department_figure(const BoardModel &model, const OtherActuals &others, double elapsed);

// "已完成 900 条，计划 1260 条，完成率 71%，时间进度 58%：落后于进度".
std::string figure_note(const Figure &figure, double elapsed);

}  // namespace board
