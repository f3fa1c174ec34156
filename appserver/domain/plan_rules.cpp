#include "plan_rules.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>

#include "dialect.h"

namespace appserver {

namespace {

double number_or_zero(const wire::Value &v)
{
    if (wire::is_null(v)) return 0;
    try {
        return wire::value_to_double(v);
    } catch (const wire::WireError &) {
        return 0;
    }
}

std::string sequence_text(const wire::Value &v)
{
    if (wire::is_null(v)) return std::string();
    try {
        return format_quantity(wire::value_to_double(v));
    } catch (const wire::WireError &) {
        return wire::value_to_text(v);
    }
}

}  // namespace

bool is_month_key(const std::string &text)
{
    if (text.size() != 6) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const int month = (text[4] - '0') * 10 + (text[5] - '0');
    return month >= 1 && month <= 12;
}

std::string format_quantity(double quantity)
{
    if (quantity == 0) return "0";  // also -0
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", quantity);
    return text;
}

std::optional<wire::Value> stored_quantity(const wire::Value &v)
{
    if (wire::is_null(v)) return wire::Value{};
    try {
        const double d = wire::value_to_double(v);
        if (!std::isfinite(d)) return std::nullopt;
        return wire::Value(d);
    } catch (const wire::WireError &) {
        return std::nullopt;
    }
}

std::optional<std::string> quantity_refusal(const wire::Value &quantity)
{
    if (wire::is_null(quantity)) return std::nullopt;
    double d = 0;
    try {
        d = wire::value_to_double(quantity);
    } catch (const wire::WireError &) {
        // Text such as "1e999" reads as a number too large for any.
        const auto *text = std::get_if<std::string>(&quantity);
        if (!text || text->empty()) return std::nullopt;
        char *end = nullptr;
        d = std::strtod(text->c_str(), &end);
        if (end == text->c_str() || *end != '\0' || std::isfinite(d)) return std::nullopt;
    }
    if (!std::isfinite(d)) return "计划数量必须是一个有限的数字";
    if (d < 0) return "计划数量不能为负数（" + format_quantity(d) + "）";
    if (d > kMaxPlanQuantity)
        return "计划数量 " + format_quantity(d) + " 超过了上限 " + format_quantity(kMaxPlanQuantity) + " 条";
    return std::nullopt;
}

std::optional<PlanRow> read_plan_row(Connection &db, wire::RowId row_id)
{
    const auto r =
        db.run("SELECT NYUE00,CKDM00,RYDM00,XHAO00,ZBMC00,ZBSL00 FROM XSTYZB02 WHERE ROWID00=?", {row_id}).packet;
    if (r.rows.empty()) return std::nullopt;
    const auto &v = r.rows[0];
    auto text = [](const wire::Value &x) { return wire::is_null(x) ? std::string() : wire::value_to_text(x); };
    return PlanRow{row_id, text(v[0]), text(v[1]), text(v[2]), v[3], v[4], v[5]};
}

std::map<wire::RowId, PlanRow> read_plan_rows(Connection &db, const std::vector<wire::RowId> &row_ids)
{
    constexpr std::size_t kAStatement = 500;
    std::map<wire::RowId, PlanRow> out;
    auto text = [](const wire::Value &x) { return wire::is_null(x) ? std::string() : wire::value_to_text(x); };
    for (std::size_t first = 0; first < row_ids.size(); first += kAStatement) {
        const std::size_t end = std::min(row_ids.size(), first + kAStatement);
        std::string sql = "SELECT ROWID00,NYUE00,CKDM00,RYDM00,XHAO00,ZBMC00,ZBSL00 FROM XSTYZB02 WHERE ROWID00 IN (";
        std::vector<wire::Value> params;
        for (std::size_t i = first; i < end; ++i) {
            sql += i == first ? "?" : ",?";
            params.emplace_back(static_cast<std::int64_t>(row_ids[i]));
        }
        db.each_row(sql + ")", params, [&](wire::Row &v) {
            const auto id = static_cast<wire::RowId>(wire::value_to_double(v[0]));
            out[id] = PlanRow{id, text(v[1]), text(v[2]), text(v[3]), v[4], v[5], v[6]};
        });
    }
    return out;
}

bool lock_allocations(Connection &db, const std::vector<const PlanRow *> &rows)
{
    std::set<std::pair<std::string, std::string>> keys;  // (month, department), in order
    for (const PlanRow *row : rows) keys.emplace(row->month, row->department);
    bool waited = false;
    for (const auto &[month, department] : keys) waited = lock_name(db, "XSTYZB02/" + month + "/" + department) || waited;
    return waited;
}

namespace {

AllocationLedger::Indicator indicator_of(const wire::Value &sequence, const wire::Value &name)
{
    AllocationLedger::Indicator key;
    if (!wire::is_null(sequence)) {
        try {
            key.sequence = wire::value_to_double(sequence);
            key.sequence_kind = 1;
        } catch (const wire::WireError &) {
            key.sequence_kind = 2;
            key.sequence_text = wire::value_to_text(sequence);
        }
    }
    if (!wire::is_null(name)) {
        key.has_name = true;
        key.name = wire::value_to_text(name);
    }
    return key;
}

}  // namespace

AllocationLedger::Department &AllocationLedger::department(const std::string &month, const std::string &code)
{
    const auto key = std::make_pair(month, code);
    if (auto it = departments_.find(key); it != departments_.end()) return it->second;
    Department &d = departments_[key];
    const std::vector<wire::Value> params = {month, code};
    db_.each_row("SELECT XHAO00,ZBMC00,SUM(ZBSL00) FROM XSTYZB01 WHERE NYUE00=? AND CKDM00=? GROUP BY XHAO00,ZBMC00",
                 params, [&](wire::Row &r) { d.planned[indicator_of(r[0], r[1])] += number_or_zero(r[2]); });
    db_.each_row("SELECT XHAO00,ZBMC00,RYDM00,SUM(COALESCE(ZBSL00,0)) FROM XSTYZB02 WHERE NYUE00=? AND CKDM00=? "
                 "GROUP BY XHAO00,ZBMC00,RYDM00",
                 params, [&](wire::Row &r) {
                     d.held[indicator_of(r[0], r[1])][wire::is_null(r[2]) ? std::string() : wire::value_to_text(r[2])] +=
                         number_or_zero(r[3]);
                 });
    if (auto later = unread_.find(key); later != unread_.end()) {
        for (const Change &c : later->second) d.held[c.indicator][c.salesman] += c.by;
        unread_.erase(later);
    }
    return d;
}

std::optional<std::string> AllocationLedger::refusal(const PlanRow &row, const wire::Value &before,
                                                     const wire::Value &after)
{
    const double wanted = number_or_zero(after);
    if (wanted <= number_or_zero(before)) return std::nullopt;  // lowering always passes
    Department &d = department(row.month, row.department);
    const Indicator key = indicator_of(row.sequence, row.name);
    double others = 0;
    if (auto held = d.held.find(key); held != d.held.end())
        for (const auto &[salesman, quantity] : held->second)
            if (salesman != row.salesman) others += quantity;
    const auto planned = d.planned.find(key);
    const double left = (planned == d.planned.end() ? 0.0 : planned->second) - others;
    if (wanted <= left) return std::nullopt;
    return "序号为'" + sequence_text(row.sequence) + "'的指标只剩 " + format_quantity(std::max(left, 0.0)) +
           " 条可分配";
}

void AllocationLedger::record(const PlanRow &row, const wire::Value &before, const wire::Value &after)
{
    const auto key = std::make_pair(row.month, row.department);
    const double by = number_or_zero(after) - number_or_zero(before);
    const auto it = departments_.find(key);
    if (it != departments_.end()) {
        it->second.held[indicator_of(row.sequence, row.name)][row.salesman] += by;
    } else if (changes_ == Changes::Later) {
        // Not in the database yet when the department is read.
        unread_[key].push_back({indicator_of(row.sequence, row.name), row.salesman, by});
    }
    // A department not read yet is read with a written change in it.
}

}  // namespace appserver
