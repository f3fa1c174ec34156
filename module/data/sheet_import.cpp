#include "sheet_import.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "sheet_reader.h"

namespace sheets {

namespace {

std::string trimmed(std::string text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    text = text.substr(first, last - first + 1);
    // A non-breaking or full-width space some editors leave around a word.
    for (const std::string space : {"\xC2\xA0", "\xE3\x80\x80"}) {
        while (text.starts_with(space)) text.erase(0, space.size());
        while (text.ends_with(space)) text.erase(text.size() - space.size());
    }
    return text;
}

std::string text_at(const Grid &grid, std::size_t row, std::size_t column)
{
    if (row >= grid.size() || column >= grid[row].size()) return {};
    const Value &v = grid[row][column];
    if (const auto *d = std::get_if<double>(&v)) return board::format_quantity(*d);
    if (const auto *s = std::get_if<std::string>(&v)) return trimmed(*s);
    return {};
}

bool is_total(const std::string &text) { return text == kTotalsLabel; }

// The indicator a row names, or why it names none.
struct RowMatch {
    std::optional<int> indicator;
    std::string refusal;
};

RowMatch match_row(const board::BoardModel &model, const std::string &sequence_text, const std::string &name)
{
    std::vector<int> by_sequence, by_name;
    std::optional<double> sequence;
    if (!sequence_text.empty()) {
        char *end = nullptr;
        const double d = std::strtod(sequence_text.c_str(), &end);
        if (end == sequence_text.c_str() || *end != '\0') return {std::nullopt, "序号“" + sequence_text + "”不是数字"};
        sequence = d;
    }
    for (int i = 0; i < model.indicator_count(); ++i) {
        const board::IndicatorKey &key = model.indicator(i).key;
        if (sequence && key.sequence == *sequence) by_sequence.push_back(i);
        if (!name.empty() && key.name == name) by_name.push_back(i);
    }
    if (sequence) {
        for (int i : by_sequence)
            if (name.empty() ? by_sequence.size() == 1 : model.indicator(i).key.name == name) return {i, {}};
        if (by_sequence.empty()) return {std::nullopt, "看板上没有序号为" + sequence_text + "的指标"};
        if (name.empty()) return {std::nullopt, "序号为" + sequence_text + "的指标有多个，请写上指标名称"};
        return {std::nullopt, "序号为" + sequence_text + "的指标不是“" + name + "”"};
    }
    if (by_name.size() == 1) return {by_name.front(), {}};
    if (by_name.empty()) return {std::nullopt, "看板上没有指标“" + name + "”"};
    return {std::nullopt, "指标“" + name + "”有多个，请写上序号"};
}

// The salesman a header names: "0101 张伟", "0101" or "张伟".
std::optional<int> match_salesman(const board::BoardModel &model, const std::string &header)
{
    const auto space = header.find(' ');
    const std::string code = header.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : trimmed(header.substr(space + 1));
    if (const auto s = model.salesman_index(code)) {
        if (rest.empty() || model.salesman(*s).name == rest) return s;
        return std::nullopt;  // a code with another salesman's name: ambiguous, refused
    }
    std::optional<int> found;
    for (int s = 0; s < model.salesman_count(); ++s) {
        if (model.salesman(s).name != header && model.salesman(s).name != rest) continue;
        if (found) return std::nullopt;  // two salesmen of that name
        found = s;
    }
    return found;
}

std::string cell_kind_refusal(board::CellKind kind)
{
    switch (kind) {
    case board::CellKind::NoPlan: return "该访销员本月还没有计划（" + std::string(board::kNoPlanMark) + "），请先在看板上生成";
    case board::CellKind::NoRow: return "该访销员的计划中没有这一指标";
    case board::CellKind::SeveralRows: return "该访销员的计划中这一指标有多行，请在编辑窗口中修改";
    case board::CellKind::LeftDepartment: return "该访销员已离开本部门，只能查看";
    case board::CellKind::Editable: break;
    }
    return board::kReadOnlyCell;
}

bool whole(double d) { return std::floor(d) == d; }

}  // namespace

std::string cell_address(int row, int column)
{
    std::string letters;
    for (int c = column + 1; c > 0; c = (c - 1) / 26) letters.insert(letters.begin(), static_cast<char>('A' + (c - 1) % 26));
    return letters + std::to_string(row + 1);
}

ImportPlan plan_import(const Grid &grid, const board::BoardModel &model)
{
    ImportPlan plan;
    // The heading: 年月 and 访销部, each followed by its value, above the header.
    std::size_t header = grid.size();
    std::string month, department;
    for (std::size_t r = 0; r < grid.size() && r < 20 && header == grid.size(); ++r) {
        for (std::size_t c = 0; c < grid[r].size(); ++c) {
            const std::string t = text_at(grid, r, c);
            if (t == kMonthLabel && month.empty()) month = text_at(grid, r, c + 1);
            if (t == kDepartmentLabel && department.empty()) department = text_at(grid, r, c + 1);
            if (t == kSequenceHeader || t == kIndicatorHeader) header = r;
        }
    }
    if (month.empty() || department.empty()) {
        plan.wrong_sheet = "表格开头没有“年月”和“访销部”，不是从看板导出的格式";
        return plan;
    }
    if (header == grid.size()) {
        plan.wrong_sheet = "表格中没有“序号”和“指标”的标题行，不是从看板导出的格式";
        return plan;
    }
    // A spreadsheet program that opened the CSV may have taken the code 01 for the number 1.
    const auto same_code = [](const std::string &sheet, const std::string &board) {
        const auto digits = [](const std::string &t) { return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos; };
        if (sheet == board || !digits(sheet) || !digits(board)) return sheet == board;
        return sheet.substr(std::min(sheet.find_first_not_of('0'), sheet.size())) ==
               board.substr(std::min(board.find_first_not_of('0'), board.size()));
    };
    if (month != model.month() || !same_code(department, model.department())) {
        plan.wrong_sheet = "表格是 " + month + " 月 " + department + " 部门的计划，当前是 " + model.month() + " 月 " +
                           model.department() + " 部门，没有导入";
        return plan;
    }

    // The columns.
    std::optional<std::size_t> sequence_column, name_column;
    std::map<std::size_t, int> salesman_columns;
    std::set<int> seen_salesmen;
    for (std::size_t c = 0; c < grid[header].size(); ++c) {
        const std::string t = text_at(grid, header, c);
        if (t.empty() || t == kPlanHeader || t == kAllocatedHeader || t == kRemainingHeader) continue;
        if (t == kSequenceHeader) sequence_column = c;
        else if (t == kIndicatorHeader || t == "指标名称") name_column = c;
        else if (const auto s = match_salesman(model, t)) {
            if (!seen_salesmen.insert(*s).second)
                plan.refusals.push_back({cell_address(static_cast<int>(header), static_cast<int>(c)),
                                         "访销员“" + t + "”的列出现了两次", std::nullopt});
            else salesman_columns[c] = *s;
        } else
            plan.refusals.push_back({cell_address(static_cast<int>(header), static_cast<int>(c)),
                                     "本部门没有访销员“" + t + "”", std::nullopt});
    }

    // The cells, row by row; what each indicator will hold.
    std::set<int> seen_indicators;
    std::map<board::CellKey, std::string> addresses;
    for (std::size_t r = header + 1; r < grid.size(); ++r) {
        const std::string sequence = sequence_column ? text_at(grid, r, *sequence_column) : std::string();
        const std::string name = name_column ? text_at(grid, r, *name_column) : std::string();
        if (is_total(sequence) || is_total(name)) continue;
        bool any = false;
        for (const auto &[c, s] : salesman_columns) any = any || !text_at(grid, r, c).empty();
        if (sequence.empty() && name.empty()) {
            if (any) plan.refusals.push_back({"第" + std::to_string(r + 1) + "行", "没有序号和指标名称", std::nullopt});
            continue;
        }
        const RowMatch row = match_row(model, sequence, name);
        if (!row.indicator) {
            plan.refusals.push_back({"第" + std::to_string(r + 1) + "行", row.refusal, std::nullopt});
            continue;
        }
        if (!seen_indicators.insert(*row.indicator).second) {
            plan.refusals.push_back({"第" + std::to_string(r + 1) + "行",
                                     "指标“" + model.indicator(*row.indicator).key.name + "”出现了两次", std::nullopt});
            continue;
        }
        const board::Indicator &ind = model.indicator(*row.indicator);
        for (const auto &[c, s] : salesman_columns) {
            const std::string text = text_at(grid, r, c);
            if (text.empty()) continue;  // nothing given: the cell stays
            const board::Position cell{*row.indicator, s};
            const board::CellKey key = model.key_of(cell);
            const std::string address = cell_address(static_cast<int>(r), static_cast<int>(c));
            const board::ParsedQuantity parsed = board::parse_quantity(text);
            if (parsed.refusal) {
                plan.refusals.push_back({address, parsed.refusal->text, key});
                continue;
            }
            const double value = *parsed.value;
            const bool editable = model.cell_editable(cell);
            const double now = model.cell_kind(cell) == board::CellKind::NoPlan ? 0.0 : model.cell_quantity(cell);
            if (value == now) {
                ++plan.unchanged;
                continue;
            }
            if (!editable) {
                plan.refusals.push_back({address,
                                         model.read_only() ? "只读：" + *model.lock_reason()
                                                           : cell_kind_refusal(model.cell_kind(cell)),
                                         key});
                continue;
            }
            // An indicator planned in whole units is split in whole units.
            if (whole(ind.plan) && !whole(value)) {
                plan.refusals.push_back({address, "计划数量 " + text + " 不是整数：该指标按整条分配", key});
                continue;
            }
            plan.changes[key] = value;
            addresses[key] = address;
        }
    }

    // Per indicator, the salesmen's cells as they would be against the
    // department's quantity: a raise that takes the sum past it is refused.
    for (int i = 0; i < model.indicator_count(); ++i) {
        const board::Indicator &ind = model.indicator(i);
        double sum = 0;
        std::vector<std::pair<board::CellKey, double>> raised;
        for (int s = 0; s < model.salesman_count(); ++s) {
            const board::Position cell{i, s};
            const double now = model.cell_kind(cell) == board::CellKind::NoPlan ? 0.0 : model.cell_quantity(cell);
            const auto it = plan.changes.find(model.key_of(cell));
            const double after = it == plan.changes.end() ? now : it->second;
            sum += after;
            if (after > now) raised.emplace_back(model.key_of(cell), after);
        }
        if (raised.empty() || sum <= ind.plan + 1e-9 * std::max(1.0, std::fabs(ind.plan))) continue;
        for (const auto &[key, after] : raised) {
            plan.changes.erase(key);
            plan.refusals.push_back({addresses.count(key) ? addresses[key] : key.salesman,
                                     "指标“" + ind.key.name + "”各访销员合计 " + board::format_quantity(sum) +
                                         " 条，超过上级计划 " + board::format_quantity(ind.plan) + " 条",
                                     key});
        }
    }
    return plan;
}

sheets::Grid grid_of(const sheet::Table &table)
{
    sheets::Grid grid;
    grid.reserve(static_cast<std::size_t>(table.rows.size()));
    for (const auto &row : table.rows) {
        std::vector<sheets::Value> cells;
        cells.reserve(static_cast<std::size_t>(row.size()));
        for (const sheet::Cell &cell : row) {
            if (cell.kind == sheet::Cell::Kind::Number) cells.emplace_back(cell.number);
            else if (cell.kind == sheet::Cell::Kind::Text) cells.emplace_back(cell.text.toStdString());
            else cells.emplace_back();
        }
        grid.push_back(std::move(cells));
    }
    return grid;
}

}  // namespace sheets
