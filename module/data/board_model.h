// The department's month on one board, without any window: the indicators of
// the department's plan down the side, its salesmen across, each salesman's
// quantity of each indicator in the cells, and per indicator what is
// allocated and what remains. The planner's typing, the checks a typed
// quantity must pass, the state of the month ("已全部分配" or what is left),
// and the one delta a save sends all live here; the board window only shows
// them.
//
// Remaining quantity: the department's quantity of the indicator (its rows of
// the month with that sequence number and name, summed) less what the
// department's salesmen hold, as floating-point numbers, an empty quantity
// reading 0. A cell may take a quantity up to the department's quantity less
// what the other salesmen hold; equal passes. A quantity not above the one
// read passes too, as the server lets a planner lower any share, so an
// indicator allocated past its plan in older data can be brought down cell by
// cell.
//
// What later helpers attach to, without touching the core:
// - a proposal (a split of what remains, last month carried forward, an
//   imported sheet): new values for some cells, shown as a preview with those
//   cells marked, then taken as typed values through the same check, or
//   dropped;
// - a lock: the board read-only with a reason (browse mode, a viewer, a
//   submitted or approved month);
// - named layers of figures per cell (actual sales beside the plan), shown by
//   the views, never saved.
// Proposals and layers are keyed by indicator and salesman code, so they
// outlive a reload.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "quantity_checks.h"
#include "wire.h"

namespace board {

// ---- what the board is read from ---------------------------------------------

// A row of the department's plan of the month.
struct DepartmentRow {
    wire::Value sequence;  // XHAO00
    std::string category;  // ZBLB00
    std::string name;      // ZBMC00
    wire::Value quantity;  // ZBSL00
};

// A salesman who belongs on the board: a visit-salesman of the department, or
// one who holds plan rows in its month but has left it.
struct SalesmanRow {
    std::string code;  // RYDM00
    std::string name;  // RYMC00
    bool visit_salesman = true;
};

// A salesman plan row of the department's month, with its row identity.
struct PlanRow {
    wire::RowId row_id = 0;
    std::string salesman;  // RYDM00
    wire::Value sequence;  // XHAO00
    std::string category;  // ZBLB00
    std::string name;      // ZBMC00
    wire::Value quantity;  // ZBSL00 as read
};

struct Snapshot {
    std::string month;            // YYYYMM
    std::string department;       // CKDM00
    std::string department_name;  // CKMC00
    std::vector<DepartmentRow> department_plan;
    std::vector<SalesmanRow> salesmen;
    std::vector<PlanRow> plan_rows;
};

// ---- what the board shows ----------------------------------------------------

// An indicator as the allocation rule knows it: its sequence number and name.
struct IndicatorKey {
    double sequence = 0;
    std::string name;
    auto operator<=>(const IndicatorKey &) const = default;
};

// A cell's lasting address: an indicator and a salesman code.
struct CellKey {
    IndicatorKey indicator;
    std::string salesman;
    auto operator<=>(const CellKey &) const = default;
};

struct Indicator {
    IndicatorKey key;
    std::string category;
    // The department's quantity: its rows of the indicator, in the order read.
    std::vector<double> plan_parts;
    double plan = 0;
    // False for salesman rows whose indicator the department's plan lacks.
    bool in_department_plan = true;
};

struct Salesman {
    std::string code;
    std::string name;
    bool visit_salesman = true;  // false: has left the department
    bool has_plan = false;       // holds plan rows in the month
};

enum class CellKind {
    Editable,
    NoPlan,          // the salesman has no plan for the month ("未生成")
    NoRow,           // his plan lacks this indicator
    SeveralRows,     // his plan holds the indicator more than once
    LeftDepartment,  // he is no visit-salesman of the department any more
};

enum class IndicatorState { Allocated, Left, Over };

struct Position {
    int indicator = 0;
    int salesman = 0;
    auto operator<=>(const Position &) const = default;
};

// A figure the state line reports.
struct Status {
    bool nothing_to_allocate = false;  // no department plan for the month
    bool no_salesmen = false;
    int indicators_left = 0;
    double quantity_left = 0;
    int indicators_over = 0;
    double quantity_over = 0;
    int salesmen_without_plan = 0;
    int salesmen_left_department = 0;
    int changed_cells = 0;
    bool fully_allocated() const
    {
        return !nothing_to_allocate && indicators_left == 0 && indicators_over == 0;
    }
};

// New values for some cells, from a helper: shown as a preview until taken or dropped.
struct Proposal {
    std::string title;  // what proposed them ("分配剩余", "沿用上月", "导入")
    std::map<CellKey, double> values;
    // Cells of salesmen without a plan stay in too: the helper generates their plans.
    bool generates = false;
    // Cells the helper cannot fill, each with the reason (marked, never taken).
    std::map<CellKey, std::string> refused;
};

// A named layer of figures per cell, shown beside the plan and never saved.
using CellLayer = std::map<CellKey, wire::Value>;

// Told whenever what the board shows changes.
class BoardObserver {
public:
    virtual ~BoardObserver() = default;
    virtual void board_reset() {}                          // loaded, reloaded, edits dropped
    virtual void figures_changed(const Position &cell) {}  // a cell's value and its indicator's figures
};

// The refusal texts (the editor's, where the editor has one).
inline constexpr const char *kOverRemaining = "计划数量不能超过剩余计划数量";
inline constexpr const char *kNegative = "计划数量不能为负数";
inline constexpr const char *kReadOnlyCell = "该单元格不能修改";
inline constexpr const char *kFullyAllocated = "已全部分配";
inline constexpr const char *kNoPlanMark = "未生成";
inline constexpr const char *kLeftMark = "已离开";

// A typed quantity read as a number: empty text reads 0; a non-number, a
// negative, a value not finite or past the server's bound is refused ("警告",
// flags 48) with its reason.
struct ParsedQuantity {
    std::optional<double> value;
    std::optional<Refusal> refusal;
};
ParsedQuantity parse_quantity(std::string_view text);

class BoardModel {
public:
    BoardModel() = default;
    BoardModel(const BoardModel &) = delete;
    BoardModel &operator=(const BoardModel &) = delete;

    // The board of a snapshot; typed values, the typing and a proposal are dropped.
    void load(const Snapshot &snapshot);
    // The figures of a new snapshot with the planner's typed values kept
    // (after a refused save): a typed value stays on its cell while the cell
    // can still be edited and the value differs from what was read now.
    void reload_keeping_edits(const Snapshot &snapshot);
    bool loaded() const { return loaded_; }

    const std::string &month() const { return month_; }
    const std::string &department() const { return department_; }
    const std::string &department_name() const { return department_name_; }

    int indicator_count() const { return static_cast<int>(indicators_.size()); }
    int salesman_count() const { return static_cast<int>(salesmen_.size()); }
    const Indicator &indicator(int i) const { return indicators_.at(static_cast<std::size_t>(i)); }
    const Salesman &salesman(int s) const { return salesmen_.at(static_cast<std::size_t>(s)); }
    std::optional<int> indicator_index(const IndicatorKey &key) const;
    std::optional<int> salesman_index(const std::string &code) const;
    CellKey key_of(const Position &cell) const;

    // Why the board offers nothing to edit (no department plan for the
    // month, no visit-salesmen), or nothing.
    std::optional<std::string> empty_reason() const;

    // ---- cells
    CellKind cell_kind(const Position &cell) const;
    // Editable now: an editable cell of a board that is not locked.
    bool cell_editable(const Position &cell) const;
    // The quantity shown: the typed value, else what was read (several rows summed).
    wire::Value cell_value(const Position &cell) const;
    double cell_quantity(const Position &cell) const;
    wire::Value cell_original(const Position &cell) const;
    bool cell_changed(const Position &cell) const;
    // The row identity of an editable cell.
    std::optional<wire::RowId> cell_row(const Position &cell) const;
    std::optional<Position> cell_of_row(wire::RowId row) const;
    // What may stand in the cell: the department's quantity less what the
    // other salesmen hold (their typed values counted).
    double left_for(const Position &cell) const;

    // ---- indicators and totals (the typing counted)
    double allocated(int indicator) const;
    double remaining(int indicator) const;
    IndicatorState indicator_state(int indicator) const;
    double plan_total() const;
    double salesman_total(int salesman) const;
    double allocated_total() const;
    double remaining_total() const;

    Status status() const;
    // The line under the grid: "已全部分配", or how many indicators have
    // quantity left and how much, how many are over-allocated, how many
    // salesmen have no plan, how many changes are unsaved, the lock.
    std::string status_line() const;
    // The tooltip of a cell, of an indicator's figures, of a salesman.
    std::string cell_note(const Position &cell) const;
    std::string indicator_note(int indicator) const;
    std::string salesman_note(int salesman) const;

    // ---- typing and editing
    // The check of a typed text for a cell, as Enter makes it: the reason it
    // is refused, or nothing.
    std::optional<Refusal> check(const Position &cell, std::string_view text) const;
    // Enter: the check, then the value stands as typed. Nothing changes on a refusal.
    std::optional<Refusal> enter(const Position &cell, std::string_view text);
    // What the planner is typing into a cell, counted in the figures before
    // Enter; text that is no quantity counts as the cell's value.
    void set_typing(const Position &cell, std::string_view text);
    void clear_typing();
    void revert(const Position &cell);
    void drop_edits();

    bool modified() const { return !typed_.empty(); }
    int changed_count() const { return static_cast<int>(typed_.size()); }
    std::vector<Position> changed_cells() const;
    // Every changed cell as one modification of the plan provider's rows, by
    // row identity with the quantity as read: lowered quantities first, so a
    // share moved from one salesman to another fits the department's plan at
    // every step of the apply.
    wire::Delta delta() const;
    // The changed cells the board's own figures refuse now, each with its
    // refusal (after a reload that brought another planner's figures).
    std::vector<std::pair<Position, Refusal>> refused_changes() const;
    // "序号为'1'的指标“卷烟销量”，甲" : how messages name a cell.
    std::string cell_name(const Position &cell) const;

    // ---- the lock
    void set_lock(const std::string &reason);
    void clear_lock();
    const std::optional<std::string> &lock_reason() const { return lock_; }
    bool read_only() const { return lock_.has_value(); }

    // ---- proposals
    // Shows a helper's values as a preview (in place of any other); cells that
    // cannot be edited are left out. The figures count the proposed values,
    // and no cell takes typing while a preview shows.
    void propose(Proposal proposal);
    const std::optional<Proposal> &proposal() const { return proposal_; }
    std::optional<double> proposed_value(const Position &cell) const;
    // Takes the proposed values as typed ones, each through the check of
    // Enter; returns the refused ones. The proposal ends either way.
    std::vector<std::pair<Position, Refusal>> accept_proposal();
    void discard_proposal();

    // ---- layers
    void set_layer(const std::string &name, CellLayer layer);
    void remove_layer(const std::string &name);
    std::optional<wire::Value> layer_value(const std::string &name, const Position &cell) const;
    std::vector<std::string> layer_names() const;

    void add_observer(BoardObserver *observer);
    void remove_observer(BoardObserver *observer);

private:
    struct CellData {
        std::vector<std::pair<wire::RowId, wire::Value>> rows;  // the salesman's rows of the indicator
    };
    const CellData &data(const Position &cell) const;
    void build(const Snapshot &snapshot);
    void notify_reset();
    void notify_cell(const Position &cell);
    double others(const Position &cell) const;
    double quantity_counted(const Position &cell) const;  // typing, typed, else read
    std::optional<Refusal> check_value(const Position &cell, double value) const;
    void drop_unkeepable_edits();

    bool loaded_ = false;
    std::string month_, department_, department_name_;
    bool has_department_plan_ = false;
    bool has_visit_salesmen_ = false;
    std::vector<Indicator> indicators_;
    std::vector<Salesman> salesmen_;
    std::vector<CellData> cells_;  // indicator-major
    std::map<wire::RowId, Position> row_cells_;
    std::map<CellKey, double> typed_;
    std::optional<std::pair<Position, double>> typing_;
    std::optional<std::string> lock_;
    std::optional<Proposal> proposal_;
    std::map<std::string, CellLayer> layers_;
    std::vector<BoardObserver *> observers_;
};

// A quantity as the board shows it: general number format ("12", "12.5").
std::string format_quantity(double quantity);

}  // namespace board
