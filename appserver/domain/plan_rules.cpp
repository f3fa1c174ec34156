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

void lock_allocations(Connection &db, const wire::Delta &delta)
{
    std::set<std::pair<std::string, std::string>> keys;  // (month, department), in order
    for (const auto &change : delta) {
        if (change.kind != wire::ChangeKind::Modify || !change.row_id) continue;
        if (auto row = read_plan_row(db, *change.row_id)) keys.emplace(row->month, row->department);
    }
    for (const auto &[month, department] : keys) lock_name(db, "XSTYZB02/" + month + "/" + department);
}

std::optional<std::string> allocation_refusal(Connection &db, const PlanRow &row, const wire::Value &before,
                                              const wire::Value &after)
{
    const double wanted = number_or_zero(after);
    if (wanted <= number_or_zero(before)) return std::nullopt;  // lowering always passes
    const DatabaseKind kind = db.kind();
    const auto department =
        db.run("SELECT SUM(ZBSL00) FROM XSTYZB01 WHERE NYUE00=? AND CKDM00=? AND " +
                   same_value_as_parameter(kind, "XHAO00") + " AND " + same_value_as_parameter(kind, "ZBMC00"),
               {row.month, row.department, row.sequence, row.name})
            .packet;
    const auto others =
        db.run("SELECT SUM(COALESCE(ZBSL00,0)) FROM XSTYZB02 WHERE NYUE00=? AND CKDM00=? AND RYDM00<>? AND " +
                   same_value_as_parameter(kind, "XHAO00") + " AND " + same_value_as_parameter(kind, "ZBMC00"),
               {row.month, row.department, row.salesman, row.sequence, row.name})
            .packet;
    const double left = number_or_zero(department.rows.at(0).at(0)) - number_or_zero(others.rows.at(0).at(0));
    if (wanted <= left) return std::nullopt;
    return "序号为'" + sequence_text(row.sequence) + "'的指标只剩 " + format_quantity(std::max(left, 0.0)) +
           " 条可分配";
}

}  // namespace appserver
