#include "board_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "contract.h"
#include "message_box_flags.h"

namespace board {

namespace {

constexpr const char *kWarning = "警告";
constexpr int kWarningFlags = ui::mb::ok | ui::mb::icon_warning;

Refusal warning(std::string text) { return Refusal{std::move(text), kWarning, kWarningFlags}; }

double number(const wire::Value &v)
{
    try {
        return wire::value_to_double(v);
    } catch (const wire::WireError &) {
        return 0;  // text that is no number holds no quantity
    }
}

std::string trimmed(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return std::string(text);
}

// A remainder within binary-fraction noise of zero (0.1 + 0.2 against 0.3)
// is none: the state of an indicator never hangs on the 17th digit.
double settled(double remainder, double plan)
{
    return std::fabs(remainder) <= 1e-9 * std::max(1.0, std::fabs(plan)) ? 0.0 : remainder;
}

}  // namespace

std::string format_quantity(double quantity) { return wire::format_number(quantity == 0 ? 0.0 : quantity); }

ParsedQuantity parse_quantity(std::string_view input)
{
    const std::string text = trimmed(input);
    if (text.empty()) return {0.0, std::nullopt};
    char *end = nullptr;
    const double d = std::strtod(text.c_str(), &end);
    // Only a plain decimal number: no hexadecimal, no "inf" or "nan" words.
    const bool plain = text.find_first_not_of("0123456789.+-eE") == std::string::npos;
    if (end == text.c_str() || *end != '\0' || !plain)
        return {std::nullopt, warning("“" + text + "”不是有效的数值，请输入计划数量")};
    if (!std::isfinite(d)) return {std::nullopt, warning("计划数量必须是一个有限的数字")};
    if (d < 0) return {std::nullopt, warning(kNegative)};
    if (d > kMaxQuantity)
        return {std::nullopt, warning("计划数量不能超过 " + format_quantity(kMaxQuantity) + " 条")};
    return {d == 0 ? 0.0 : d, std::nullopt};
}

// ---- loading -------------------------------------------------------------------

void BoardModel::build(const Snapshot &snapshot)
{
    month_ = snapshot.month;
    department_ = snapshot.department;
    department_name_ = snapshot.department_name;
    indicators_.clear();
    salesmen_.clear();
    cells_.clear();
    row_cells_.clear();

    // The department's indicators in the order read, each once; its quantity
    // the sum of its rows, as the allocation rule sums them.
    std::map<IndicatorKey, int> by_key;
    for (const DepartmentRow &row : snapshot.department_plan) {
        const IndicatorKey key{number(row.sequence), row.name};
        auto [it, added] = by_key.emplace(key, indicator_count());
        if (added) indicators_.push_back({key, row.category, {}, 0, true});
        Indicator &ind = indicators_[static_cast<std::size_t>(it->second)];
        ind.plan_parts.push_back(number(row.quantity));
        ind.plan += ind.plan_parts.back();
    }
    has_department_plan_ = !indicators_.empty();
    // Salesman rows of an indicator the department's plan lacks: shown after
    // the others, by sequence number, with nothing to allocate.
    std::vector<Indicator> strays;
    for (const PlanRow &row : snapshot.plan_rows) {
        const IndicatorKey key{number(row.sequence), row.name};
        if (by_key.count(key)) continue;
        by_key.emplace(key, -1);
        strays.push_back({key, row.category, {}, 0, false});
    }
    std::sort(strays.begin(), strays.end(), [](const Indicator &a, const Indicator &b) { return a.key < b.key; });
    for (Indicator &stray : strays) {
        by_key[stray.key] = indicator_count();
        indicators_.push_back(std::move(stray));
    }

    std::map<std::string, int> by_code;
    has_visit_salesmen_ = false;
    for (const SalesmanRow &s : snapshot.salesmen) {
        if (by_code.count(s.code)) continue;
        by_code.emplace(s.code, salesman_count());
        salesmen_.push_back({s.code, s.name, s.visit_salesman, false});
        has_visit_salesmen_ = has_visit_salesmen_ || s.visit_salesman;
    }
    // A salesman holding rows whom the list lacks still shows, as one who left.
    for (const PlanRow &row : snapshot.plan_rows) {
        if (by_code.count(row.salesman)) continue;
        by_code.emplace(row.salesman, salesman_count());
        salesmen_.push_back({row.salesman, row.salesman, false, false});
    }

    cells_.assign(indicators_.size() * salesmen_.size(), CellData{});
    for (const PlanRow &row : snapshot.plan_rows) {
        const Position at{by_key.at(IndicatorKey{number(row.sequence), row.name}), by_code.at(row.salesman)};
        cells_[static_cast<std::size_t>(at.indicator) * salesmen_.size() + static_cast<std::size_t>(at.salesman)]
            .rows.emplace_back(row.row_id, row.quantity);
        salesmen_[static_cast<std::size_t>(at.salesman)].has_plan = true;
        row_cells_[row.row_id] = at;
    }
    loaded_ = true;
}

void BoardModel::load(const Snapshot &snapshot)
{
    build(snapshot);
    typed_.clear();
    typing_.reset();
    proposal_.reset();
    notify_reset();
}

void BoardModel::reload_keeping_edits(const Snapshot &snapshot)
{
    build(snapshot);
    typing_.reset();
    drop_unkeepable_edits();
    notify_reset();
}

void BoardModel::drop_unkeepable_edits()
{
    for (auto it = typed_.begin(); it != typed_.end();) {
        const auto i = indicator_index(it->first.indicator);
        const auto s = salesman_index(it->first.salesman);
        const bool keep = i && s && cell_kind({*i, *s}) == CellKind::Editable &&
                          number(data({*i, *s}).rows.front().second) != it->second;
        it = keep ? std::next(it) : typed_.erase(it);
    }
}

std::optional<int> BoardModel::indicator_index(const IndicatorKey &key) const
{
    for (int i = 0; i < indicator_count(); ++i)
        if (indicators_[static_cast<std::size_t>(i)].key == key) return i;
    return std::nullopt;
}

std::optional<int> BoardModel::salesman_index(const std::string &code) const
{
    for (int s = 0; s < salesman_count(); ++s)
        if (salesmen_[static_cast<std::size_t>(s)].code == code) return s;
    return std::nullopt;
}

CellKey BoardModel::key_of(const Position &cell) const
{
    return {indicator(cell.indicator).key, salesman(cell.salesman).code};
}

std::optional<std::string> BoardModel::empty_reason() const
{
    if (!loaded_) return std::nullopt;
    if (!has_department_plan_) return "该部门本月没有上级计划，没有可分配的指标";
    if (!has_visit_salesmen_) return "该部门没有访销员，没有可分配的人员";
    return std::nullopt;
}

// ---- cells -----------------------------------------------------------------------

const BoardModel::CellData &BoardModel::data(const Position &cell) const
{
    return cells_.at(static_cast<std::size_t>(cell.indicator) * salesmen_.size() +
                     static_cast<std::size_t>(cell.salesman));
}

CellKind BoardModel::cell_kind(const Position &cell) const
{
    const Salesman &s = salesman(cell.salesman);
    if (!s.has_plan) return CellKind::NoPlan;
    if (!s.visit_salesman) return CellKind::LeftDepartment;
    const std::size_t rows = data(cell).rows.size();
    if (rows == 0) return CellKind::NoRow;
    if (rows > 1) return CellKind::SeveralRows;
    return CellKind::Editable;
}

bool BoardModel::cell_editable(const Position &cell) const
{
    return !read_only() && !empty_reason() && !proposal_ && cell_kind(cell) == CellKind::Editable;
}

wire::Value BoardModel::cell_original(const Position &cell) const
{
    const auto &rows = data(cell).rows;
    if (rows.size() == 1) return rows.front().second;
    if (rows.empty()) return wire::Value{};
    double sum = 0;
    for (const auto &row : rows) sum += number(row.second);
    return sum;
}

wire::Value BoardModel::cell_value(const Position &cell) const
{
    if (!data(cell).rows.empty()) {
        const auto it = typed_.find(key_of(cell));
        if (it != typed_.end()) return it->second;
    }
    return cell_original(cell);
}

double BoardModel::cell_quantity(const Position &cell) const { return number(cell_value(cell)); }

bool BoardModel::cell_changed(const Position &cell) const
{
    return !data(cell).rows.empty() && typed_.count(key_of(cell)) > 0;
}

std::optional<wire::RowId> BoardModel::cell_row(const Position &cell) const
{
    if (cell_kind(cell) != CellKind::Editable) return std::nullopt;
    return data(cell).rows.front().first;
}

std::optional<Position> BoardModel::cell_of_row(wire::RowId row) const
{
    const auto it = row_cells_.find(row);
    if (it == row_cells_.end()) return std::nullopt;
    return it->second;
}

double BoardModel::quantity_counted(const Position &cell) const
{
    if (typing_ && typing_->first == cell) return typing_->second;
    if (const auto proposed = proposed_value(cell)) return *proposed;
    return cell_quantity(cell);
}

double BoardModel::others(const Position &cell) const
{
    double held = 0;
    for (int s = 0; s < salesman_count(); ++s)
        if (s != cell.salesman) held += quantity_counted({cell.indicator, s});
    return held;
}

double BoardModel::left_for(const Position &cell) const
{
    // The department's quantity, then the others' shares taken from it, as
    // the server computes what is left for a row.
    return indicator(cell.indicator).plan - others(cell);
}

// ---- indicators --------------------------------------------------------------------

double BoardModel::allocated(int i) const
{
    double sum = 0;
    for (int s = 0; s < salesman_count(); ++s) sum += quantity_counted({i, s});
    return sum;
}

double BoardModel::remaining(int i) const
{
    const double plan = indicator(i).plan;
    return settled(plan - allocated(i), plan);
}

IndicatorState BoardModel::indicator_state(int i) const
{
    const double left = remaining(i);
    if (left > 0) return IndicatorState::Left;
    if (left < 0) return IndicatorState::Over;
    return IndicatorState::Allocated;
}

double BoardModel::plan_total() const
{
    double sum = 0;
    for (const Indicator &ind : indicators_) sum += ind.plan;
    return sum;
}

double BoardModel::salesman_total(int s) const
{
    double sum = 0;
    for (int i = 0; i < indicator_count(); ++i) sum += quantity_counted({i, s});
    return sum;
}

double BoardModel::allocated_total() const
{
    double sum = 0;
    for (int i = 0; i < indicator_count(); ++i) sum += allocated(i);
    return sum;
}

double BoardModel::remaining_total() const
{
    double sum = 0;
    for (int i = 0; i < indicator_count(); ++i) sum += remaining(i);
    return sum;
}

Status BoardModel::status() const
{
    Status st;
    st.nothing_to_allocate = loaded_ && !has_department_plan_;
    st.no_salesmen = loaded_ && !has_visit_salesmen_;
    for (int i = 0; i < indicator_count(); ++i) {
        const double left = remaining(i);
        if (left > 0) {
            ++st.indicators_left;
            st.quantity_left += left;
        } else if (left < 0) {
            ++st.indicators_over;
            st.quantity_over -= left;
        }
    }
    for (const Salesman &s : salesmen_) {
        if (s.visit_salesman && !s.has_plan) ++st.salesmen_without_plan;
        if (!s.visit_salesman) ++st.salesmen_left_department;
    }
    st.changed_cells = changed_count();
    return st;
}

std::string BoardModel::status_line() const
{
    if (!loaded_) return {};
    const Status st = status();
    std::vector<std::string> parts;
    if (const auto reason = empty_reason()) {
        parts.push_back(*reason);
    } else {
        if (st.fully_allocated()) parts.push_back(kFullyAllocated);
        if (st.indicators_left > 0)
            parts.push_back("尚有 " + std::to_string(st.indicators_left) + " 项指标未分配完，共剩余 " +
                            format_quantity(st.quantity_left) + " 条");
        if (st.indicators_over > 0)
            parts.push_back(std::to_string(st.indicators_over) + " 项指标超额分配，共超出 " +
                            format_quantity(st.quantity_over) + " 条");
        if (st.salesmen_without_plan > 0)
            parts.push_back(std::to_string(st.salesmen_without_plan) + " 名访销员未生成本月计划");
    }
    if (st.salesmen_left_department > 0)
        parts.push_back(std::to_string(st.salesmen_left_department) + " 名已离开本部门的访销员仍有计划");
    if (st.changed_cells > 0) parts.push_back(std::to_string(st.changed_cells) + " 处改动未保存");
    if (lock_) parts.push_back("只读：" + *lock_);
    if (proposal_) parts.push_back("预览“" + proposal_->title + "”：" + std::to_string(proposal_->values.size()) +
                                   " 个单元格");
    std::string line;
    for (const std::string &part : parts) line += (line.empty() ? "" : "；") + part;
    return line;
}

std::string BoardModel::indicator_note(int i) const
{
    const Indicator &ind = indicator(i);
    std::string note;
    if (!ind.in_department_plan) note = "部门计划中没有这一指标；";
    switch (indicator_state(i)) {
    case IndicatorState::Left:
        return note + "尚未分配完：剩余 " + format_quantity(remaining(i)) + " 条";
    case IndicatorState::Over:
        return note + "超额分配：超出 " + format_quantity(-remaining(i)) + " 条";
    case IndicatorState::Allocated:
        break;
    }
    return note + kFullyAllocated;
}

std::string BoardModel::salesman_note(int s) const
{
    const Salesman &man = salesman(s);
    std::string note = man.name + "（代码 " + man.code + "）";
    if (!man.visit_salesman) note += "，" + std::string(kLeftMark) + "本部门";
    if (!man.has_plan) note += "，" + std::string(kNoPlanMark) + "本月计划";
    return note;
}

std::string BoardModel::cell_note(const Position &cell) const
{
    const Salesman &man = salesman(cell.salesman);
    std::string note;
    switch (cell_kind(cell)) {
    case CellKind::NoPlan:
        return man.name + "：" + kNoPlanMark + "本月计划，不能分配（可用“生成”生成计划）";
    case CellKind::LeftDepartment:
        note = man.name + "：" + kLeftMark + "本部门，只能查看";
        break;
    case CellKind::NoRow:
        return man.name + "：本月计划中没有这一指标";
    case CellKind::SeveralRows:
        note = man.name + "：本月计划中这一指标有多行，请在编辑窗口中修改";
        break;
    case CellKind::Editable:
        note = man.name + "：可分配 " + format_quantity(std::max(0.0, left_for(cell))) + " 条";
        if (cell_changed(cell)) note += "；已改动（原为 " + wire::value_to_text(cell_original(cell)) + "），未保存";
        break;
    }
    if (const auto proposed = proposed_value(cell))
        note += "；“" + proposal_->title + "”建议 " + format_quantity(*proposed);
    return note + "；" + indicator_note(cell.indicator);
}

std::string BoardModel::cell_name(const Position &cell) const
{
    const Indicator &ind = indicator(cell.indicator);
    return "序号为'" + format_quantity(ind.key.sequence) + "'的指标“" + ind.key.name + "”，" +
           salesman(cell.salesman).name;
}

// ---- typing and editing ------------------------------------------------------------

std::optional<Refusal> BoardModel::check_value(const Position &cell, double value) const
{
    // Lowering a share always passes; a raise must fit what is left.
    if (value <= number(cell_original(cell))) return std::nullopt;
    if (value <= left_for(cell)) return std::nullopt;
    return warning(kOverRemaining);
}

std::optional<Refusal> BoardModel::check(const Position &cell, std::string_view text) const
{
    if (!cell_editable(cell)) return warning(lock_ ? "只读：" + *lock_ : std::string(kReadOnlyCell));
    const ParsedQuantity parsed = parse_quantity(text);
    if (parsed.refusal) return parsed.refusal;
    return check_value(cell, *parsed.value);
}

std::optional<Refusal> BoardModel::enter(const Position &cell, std::string_view text)
{
    if (auto refusal = check(cell, text)) return refusal;
    const double value = *parse_quantity(text).value;
    const CellKey key = key_of(cell);
    if (value == number(cell_original(cell)))
        typed_.erase(key);
    else
        typed_[key] = value;
    if (typing_ && typing_->first == cell) typing_.reset();
    notify_cell(cell);
    return std::nullopt;
}

void BoardModel::set_typing(const Position &cell, std::string_view text)
{
    if (!cell_editable(cell)) return;
    const ParsedQuantity parsed = parse_quantity(text);
    const double counted = parsed.value ? *parsed.value : cell_quantity(cell);
    typing_ = {cell, counted};
    notify_cell(cell);
}

void BoardModel::clear_typing()
{
    if (!typing_) return;
    const Position cell = typing_->first;
    typing_.reset();
    notify_cell(cell);
}

void BoardModel::revert(const Position &cell)
{
    if (typed_.erase(key_of(cell)) > 0) notify_cell(cell);
}

void BoardModel::drop_edits()
{
    typed_.clear();
    typing_.reset();
    proposal_.reset();
    notify_reset();
}

std::vector<Position> BoardModel::changed_cells() const
{
    std::vector<Position> out;
    for (const auto &[key, value] : typed_) {
        const auto i = indicator_index(key.indicator);
        const auto s = salesman_index(key.salesman);
        if (i && s) out.push_back({*i, *s});
    }
    std::sort(out.begin(), out.end());
    return out;
}

wire::Delta BoardModel::delta() const
{
    wire::Delta lowered, raised;
    for (const Position &cell : changed_cells()) {
        wire::Change change;
        change.kind = wire::ChangeKind::Modify;
        change.row_id = cell_row(cell);
        const wire::Value original = cell_original(cell);
        change.original.emplace(contract::kQuantityField, original);
        const double value = cell_quantity(cell);
        change.values.emplace(contract::kQuantityField, value);
        (value < number(original) ? lowered : raised).push_back(std::move(change));
    }
    lowered.insert(lowered.end(), raised.begin(), raised.end());
    return lowered;
}

std::vector<std::pair<Position, Refusal>> BoardModel::refused_changes() const
{
    std::vector<std::pair<Position, Refusal>> out;
    for (const Position &cell : changed_cells())
        if (auto refusal = check_value(cell, cell_quantity(cell))) out.emplace_back(cell, *refusal);
    return out;
}

// ---- the lock --------------------------------------------------------------------

void BoardModel::set_lock(const std::string &reason)
{
    lock_ = reason;
    typing_.reset();
    notify_reset();
}

void BoardModel::clear_lock()
{
    if (!lock_) return;
    lock_.reset();
    notify_reset();
}

// ---- proposals --------------------------------------------------------------------

void BoardModel::propose(Proposal proposal)
{
    proposal_.reset();
    for (auto it = proposal.values.begin(); it != proposal.values.end();) {
        const auto i = indicator_index(it->first.indicator);
        const auto s = salesman_index(it->first.salesman);
        const bool generated = proposal.generates && i && s && !read_only() && !empty_reason() &&
                               cell_kind({*i, *s}) == CellKind::NoPlan;
        it = i && s && (cell_editable({*i, *s}) || generated) ? std::next(it) : proposal.values.erase(it);
    }
    proposal_ = std::move(proposal);
    notify_reset();
}

std::optional<double> BoardModel::proposed_value(const Position &cell) const
{
    if (!proposal_) return std::nullopt;
    const auto it = proposal_->values.find(key_of(cell));
    if (it == proposal_->values.end()) return std::nullopt;
    return it->second;
}

std::vector<std::pair<Position, Refusal>> BoardModel::accept_proposal()
{
    std::vector<std::pair<Position, Refusal>> refused;
    if (!proposal_) return refused;
    const Proposal taken = std::move(*proposal_);
    proposal_.reset();
    // Lowered shares first, so the raises see what they free.
    std::vector<std::pair<Position, double>> order;
    for (const auto &[key, value] : taken.values) {
        const auto i = indicator_index(key.indicator);
        const auto s = salesman_index(key.salesman);
        if (i && s) order.emplace_back(Position{*i, *s}, value);
    }
    std::stable_sort(order.begin(), order.end(), [this](const auto &a, const auto &b) {
        return a.second - cell_quantity(a.first) < b.second - cell_quantity(b.first);
    });
    for (const auto &[cell, value] : order)
        if (auto refusal = enter(cell, format_quantity(value))) refused.emplace_back(cell, *refusal);
    notify_reset();
    return refused;
}

void BoardModel::discard_proposal()
{
    if (!proposal_) return;
    proposal_.reset();
    notify_reset();
}

// ---- layers --------------------------------------------------------------------

void BoardModel::set_layer(const std::string &name, CellLayer layer)
{
    layers_[name] = std::move(layer);
    notify_reset();
}

void BoardModel::remove_layer(const std::string &name)
{
    if (layers_.erase(name) > 0) notify_reset();
}

std::optional<wire::Value> BoardModel::layer_value(const std::string &name, const Position &cell) const
{
    const auto layer = layers_.find(name);
    if (layer == layers_.end()) return std::nullopt;
    const auto it = layer->second.find(key_of(cell));
    if (it == layer->second.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> BoardModel::layer_names() const
{
    std::vector<std::string> names;
    for (const auto &[name, layer] : layers_) names.push_back(name);
    return names;
}

// ---- observers --------------------------------------------------------------------

void BoardModel::add_observer(BoardObserver *observer)
{
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void BoardModel::remove_observer(BoardObserver *observer)
{
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void BoardModel::notify_reset()
{
    for (BoardObserver *o : std::vector<BoardObserver *>(observers_)) o->board_reset();
}

void BoardModel::notify_cell(const Position &cell)
{
    for (BoardObserver *o : std::vector<BoardObserver *>(observers_)) o->figures_changed(cell);
}

}  // namespace board
