#include "allocation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <set>

namespace allocation {

namespace {

// The column of a field, found without regard to case; -1 when absent.
int column_of(const wire::DataPacket &packet, const char *name)
{
    for (std::size_t i = 0; i < packet.fields.size(); ++i) {
        const std::string &field = packet.fields[i].name;
        if (field.size() != std::char_traits<char>::length(name)) continue;
        bool same = true;
        for (std::size_t k = 0; k < field.size() && same; ++k)
            same = std::toupper(static_cast<unsigned char>(field[k])) == std::toupper(static_cast<unsigned char>(name[k]));
        if (same) return static_cast<int>(i);
    }
    return -1;
}

int required(const wire::DataPacket &packet, const char *name, const char *what)
{
    const int c = column_of(packet, name);
    if (c < 0) throw wire::WireError(std::string("the board's ") + what + " lack the field " + name);
    return c;
}

std::string text(const wire::Value &v) { return wire::is_null(v) ? std::string() : wire::value_to_text(v); }

std::optional<double> number(const wire::Value &v)
{
    if (wire::is_null(v)) return std::nullopt;
    try {
        return wire::value_to_double(v);
    } catch (const wire::WireError &) {
        return std::nullopt;
    }
}

const wire::DataPacket &detail(const wire::DataPacket &packet, const char *name)
{
    static const wire::DataPacket none;
    const auto it = packet.details.find(name);
    return it == packet.details.end() ? none : it->second;
}

std::string exact(double d)
{
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.17g", d);
    return buffer;
}

std::string general(double d)
{
    if (d == 0) return "0";
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.15g", d);
    return buffer;
}

void add_month(std::string &out, const Month &m)
{
    out += "M|" + m.month + "|" + m.department + "\n";
    std::vector<const Month::Indicator *> indicators;
    for (const auto &i : m.indicators) indicators.push_back(&i);
    std::sort(indicators.begin(), indicators.end(), [](auto *a, auto *b) { return a->key < b->key; });
    for (const auto *i : indicators)
        out += "I|" + exact(i->key.sequence) + "|" + i->key.name + "|" + i->category + "|" + exact(i->plan) + "\n";
    std::vector<const Month::Salesman *> salesmen;
    for (const auto &s : m.salesmen) salesmen.push_back(&s);
    std::sort(salesmen.begin(), salesmen.end(), [](auto *a, auto *b) { return a->code < b->code; });
    for (const auto *s : salesmen) out += "S|" + s->code + (s->visit ? "|Y\n" : "|N\n");
    std::vector<const Month::Row *> rows;
    for (const auto &r : m.rows) rows.push_back(&r);
    std::sort(rows.begin(), rows.end(), [](auto *a, auto *b) { return a->id < b->id; });
    for (const auto *r : rows)
        out += "R|" + std::to_string(r->id) + "|" + r->salesman + "|" + exact(r->key.sequence) + "|" + r->key.name +
               "|" + (r->quantity ? exact(*r->quantity) : std::string("-")) + "\n";
}

double held(const Month &m, const Key &key)
{
    double sum = 0;
    for (const auto &r : m.rows)
        if (r.key == key) sum += r.quantity.value_or(0);
    return sum;
}

// Whole units that remain of an indicator; none when nothing (or less than one) remains.
std::int64_t units_left(const Month &m, const Month::Indicator &indicator)
{
    const double left = indicator.plan - held(m, indicator.key);
    if (!(left >= 1)) return 0;
    return static_cast<std::int64_t>(std::floor(std::min(left, 9.0e15)));
}

// Each salesman's quantity of each indicator name in a month (last month's shares).
class Shares {
public:
    explicit Shares(const Month &m)
    {
        for (const auto &r : m.rows) sums_[{r.salesman, r.key.name}] += r.quantity.value_or(0);
    }
    // Never below 0.
    double of(const std::string &salesman, const std::string &name) const
    {
        const auto it = sums_.find({salesman, name});
        return it == sums_.end() ? 0.0 : std::max(it->second, 0.0);
    }

private:
    std::map<std::pair<std::string, std::string>, double> sums_;
};

bool integral(double d) { return std::floor(d) == d; }

// Wide enough for a quantity times a weight, both below 2^53.
__extension__ using Wide = __int128;

}  // namespace

Month month_from_packet(const wire::DataPacket &board, const std::string &month, const std::string &department)
{
    Month m;
    m.month = month;
    m.department = department;
    const wire::DataPacket &plan = detail(board, "plan");
    if (!plan.rows.empty()) {
        const int seq = required(plan, "XHAO00", "plan"), cat = required(plan, "ZBLB00", "plan"),
                  name = required(plan, "ZBMC00", "plan"), qty = required(plan, "ZBSL00", "plan");
        for (const auto &r : plan.rows)
            m.indicators.push_back({{number(r.at(seq)).value_or(0), text(r.at(name))}, text(r.at(cat)),
                                    number(r.at(qty)).value_or(0)});
    }
    std::sort(m.indicators.begin(), m.indicators.end(), [](const auto &a, const auto &b) { return a.key < b.key; });
    const wire::DataPacket &salesmen = detail(board, "salesmen");
    if (!salesmen.rows.empty()) {
        const int code = required(salesmen, "RYDM00", "salesmen"), flag = required(salesmen, "FXY000", "salesmen");
        for (const auto &r : salesmen.rows) m.salesmen.push_back({text(r.at(code)), text(r.at(flag)) == "Y"});
    }
    std::stable_sort(m.salesmen.begin(), m.salesmen.end(), [](const auto &a, const auto &b) { return a.code < b.code; });
    if (!board.rows.empty()) {
        if (board.row_ids.size() != board.rows.size())
            throw wire::WireError("the board's plan rows come without their row identities");
        const int who = required(board, "RYDM00", "plan rows"), seq = required(board, "XHAO00", "plan rows"),
                  name = required(board, "ZBMC00", "plan rows"), qty = required(board, "ZBSL00", "plan rows");
        for (std::size_t i = 0; i < board.rows.size(); ++i) {
            const auto &r = board.rows[i];
            m.rows.push_back({board.row_ids[i], text(r.at(who)), {number(r.at(seq)).value_or(0), text(r.at(name))},
                              number(r.at(qty))});
        }
    }
    std::stable_sort(m.rows.begin(), m.rows.end(), [](const auto &a, const auto &b) {
        return std::tie(a.salesman, a.id) < std::tie(b.salesman, b.id);
    });
    return m;
}

std::string fingerprint(const Month &now, const Month *previous)
{
    std::string canonical;
    add_month(canonical, now);
    if (previous) add_month(canonical, *previous);
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : canonical) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%016llx", static_cast<unsigned long long>(hash));
    return buffer;
}

std::string previous_month(const std::string &month)
{
    if (month.size() != 6) return month;
    int year = std::atoi(month.substr(0, 4).c_str()), m = std::atoi(month.substr(4, 2).c_str()) - 1;
    if (m < 1) {
        m = 12;
        --year;
    }
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04d%02d", year, m);
    return buffer;
}

std::vector<std::int64_t> largest_remainder(std::int64_t total, const std::vector<double> &weights)
{
    std::vector<std::int64_t> parts(weights.size(), 0);
    if (total <= 0 || weights.empty()) return parts;
    double sum = 0;
    bool all_integral = true;
    for (double w : weights) {
        if (!std::isfinite(w) || w < 0) throw Refused("权重必须是不小于 0 的数字");
        sum += w;
        all_integral = all_integral && integral(w);
    }
    if (!(sum > 0)) throw Refused("权重全为 0，无法分配");

    // Each part's whole units and what is left of it, as a fraction of the sum.
    std::vector<long double> fraction(weights.size(), 0);
    std::int64_t given = 0;
    if (all_integral && sum <= 9.0e15 && total <= 9.0e15) {
        // Exact: no rounding can make a tie of two remainders that differ, or the reverse.
        const auto whole = static_cast<Wide>(sum);
        for (std::size_t i = 0; i < weights.size(); ++i) {
            const Wide product = static_cast<Wide>(total) * static_cast<Wide>(weights[i]);
            parts[i] = static_cast<std::int64_t>(product / whole);
            fraction[i] = static_cast<long double>(product % whole) / static_cast<long double>(whole);
            given += parts[i];
        }
    } else {
        for (std::size_t i = 0; i < weights.size(); ++i) {
            const long double quota = static_cast<long double>(total) * weights[i] / static_cast<long double>(sum);
            const long double floor = std::floor(quota);
            parts[i] = static_cast<std::int64_t>(floor);
            fraction[i] = quota - floor;
            given += parts[i];
        }
        // Rounding may have given one unit too many: take it back where the least was left over.
        while (given > total) {
            std::size_t at = parts.size();
            for (std::size_t i = 0; i < parts.size(); ++i)
                if (parts[i] > 0 && (at == parts.size() || fraction[i] <= fraction[at])) at = i;
            --parts[at];
            fraction[at] += 1;
            --given;
        }
    }
    // The units left over go to the largest remainders; ties to the earlier.
    std::vector<std::size_t> order(weights.size());
    std::iota(order.begin(), order.end(), 0);
    const bool exact_fractions = all_integral && sum <= 9.0e15 && total <= 9.0e15;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (exact_fractions) return fraction[a] > fraction[b];
        return fraction[a] > fraction[b] + 1e-12L;
    });
    for (std::size_t k = 0; given < total && k < order.size(); ++k) {
        if (weights[order[k]] <= 0) continue;
        ++parts[order[k]];
        ++given;
    }
    return parts;
}

const char *operation_name(Mode mode)
{
    switch (mode) {
    case Mode::Even: return "平均分配";
    case Mode::LastMonth: return "按上月比例";
    case Mode::Weights: return "按权重";
    }
    return "";
}

Weights parse_weights(const std::string &text)
{
    Weights weights;
    std::size_t from = 0;
    while (from <= text.size()) {
        const std::size_t comma = std::min(text.find(',', from), text.size());
        std::string item = text.substr(from, comma - from);
        from = comma + 1;
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (item.empty()) {
            if (comma >= text.size()) break;
            continue;
        }
        const std::size_t colon = item.find(':');
        if (colon == std::string::npos || colon == 0)
            throw Refused("权重应写作 访销员代码:权重，而不是“" + item + "”");
        const std::string code = item.substr(0, colon), value = item.substr(colon + 1);
        char *end = nullptr;
        const double w = std::strtod(value.c_str(), &end);
        if (value.empty() || end != value.c_str() + value.size())
            throw Refused("访销员 " + code + " 的权重“" + value + "”不是数字");
        weights[code] = w;
    }
    return weights;
}

std::string weights_text(const Weights &weights)
{
    std::string out;
    for (const auto &[code, w] : weights) out += (out.empty() ? "" : ",") + code + ":" + general(w);
    return out;
}

std::optional<std::string> weights_refusal(const Weights &weights, const std::vector<std::string> &salesmen)
{
    bool any = false;
    for (const auto &[code, w] : weights) {
        if (!std::isfinite(w)) return "访销员 " + code + " 的权重不是有限的数字";
        if (w < 0) return "访销员 " + code + " 的权重不能为负数（" + general(w) + "）";
    }
    for (const auto &code : salesmen) {
        const auto it = weights.find(code);
        any = any || (it != weights.end() && it->second > 0);
    }
    if (!any) return std::string("所选访销员的权重全为 0，无法按权重分配");
    return std::nullopt;
}

std::vector<Change> split_remaining(const Month &now, const Month *previous, const SplitRequest &request)
{
    // Who takes part: the chosen salesmen who are visit-salesmen of the department, by code.
    std::vector<std::string> salesmen;
    std::set<std::string> chosen(request.salesmen.begin(), request.salesmen.end());
    for (const auto &s : now.salesmen)
        if (s.visit && (chosen.empty() || chosen.count(s.code))) salesmen.push_back(s.code);
    std::sort(salesmen.begin(), salesmen.end());
    salesmen.erase(std::unique(salesmen.begin(), salesmen.end()), salesmen.end());
    if (request.mode == Mode::Weights)
        if (auto refusal = weights_refusal(request.weights, salesmen)) throw Refused(*refusal);
    if (request.mode == Mode::LastMonth && !previous) throw Refused("没有上月的计划可以参照");
    const Shares last(previous ? *previous : Month{});

    std::vector<Change> changes;
    for (const auto &indicator : now.indicators) {
        if (!request.indicators.empty() && std::find(request.indicators.begin(), request.indicators.end(),
                                                     indicator.key.sequence) == request.indicators.end())
            continue;
        const std::int64_t units = units_left(now, indicator);
        if (units == 0) continue;
        // The cells that can take a share: a salesman's one row of the indicator.
        std::vector<const Month::Row *> cells;
        for (const auto &code : salesmen) {
            const Month::Row *only = nullptr;
            int count = 0;
            for (const auto &r : now.rows)
                if (r.salesman == code && r.key == indicator.key) {
                    only = &r;
                    ++count;
                }
            if (count == 1) cells.push_back(only);
        }
        if (cells.empty()) continue;
        std::vector<double> weights;
        for (const auto *cell : cells) {
            switch (request.mode) {
            case Mode::Even: weights.push_back(1); break;
            case Mode::LastMonth: weights.push_back(last.of(cell->salesman, indicator.key.name)); break;
            case Mode::Weights: {
                const auto it = request.weights.find(cell->salesman);
                weights.push_back(it == request.weights.end() ? 0 : it->second);
                break;
            }
            }
        }
        const double sum = std::accumulate(weights.begin(), weights.end(), 0.0);
        if (!(sum > 0)) {
            if (request.mode != Mode::LastMonth) continue;  // none of these salesmen weighs anything
            std::fill(weights.begin(), weights.end(), 1.0);  // nobody had any last month: evenly
        }
        const auto parts = largest_remainder(units, weights);
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (parts[i] == 0) continue;
            const auto *cell = cells[i];
            changes.push_back({cell->id, cell->salesman, cell->key, cell->quantity,
                               cell->quantity.value_or(0) + static_cast<double>(parts[i])});
        }
    }
    return changes;
}

RollForward roll_forward(const Month &now, const Month &previous)
{
    if (previous.rows.empty())
        throw Refused("上月（" + previous.month.substr(0, 4) + "年" + previous.month.substr(4) +
                      "月）没有访销员计划，不能沿用上月");
    if (now.indicators.empty()) throw Refused("对应年月的上级计划还未生成，请先生成上级计划");

    std::set<std::string> before, planned, visit;
    for (const auto &r : previous.rows) before.insert(r.salesman);
    for (const auto &r : now.rows) planned.insert(r.salesman);
    for (const auto &s : now.salesmen)
        if (s.visit) visit.insert(s.code);

    RollForward out;
    for (const auto &code : before) {
        if (!visit.count(code)) out.left.push_back(code);
        else if (!planned.count(code)) out.carried.push_back(code);
    }
    for (const auto &code : visit)
        if (!before.count(code) && !planned.count(code)) out.new_salesmen.push_back(code);
    if (out.carried.empty() && out.new_salesmen.empty())
        throw Refused("本月的访销员都已有计划（或上月的访销员都已离开本部门），沿用上月没有可生成的计划");

    std::set<std::string> known;
    for (const auto &i : previous.indicators) known.insert(i.key.name);
    for (const auto &r : previous.rows) known.insert(r.key.name);

    const Shares last(previous);
    std::map<std::string, std::map<Key, double>> quantity;  // salesman -> indicator -> quantity
    for (const auto &indicator : now.indicators) {
        if (!known.count(indicator.key.name)) {
            out.new_indicators.push_back(indicator.key.name);
            continue;
        }
        const std::int64_t units = units_left(now, indicator);
        if (units == 0 || out.carried.empty()) continue;
        std::vector<double> weights;
        for (const auto &code : out.carried) weights.push_back(last.of(code, indicator.key.name));
        if (!(std::accumulate(weights.begin(), weights.end(), 0.0) > 0)) continue;  // nobody had a share
        const auto parts = largest_remainder(units, weights);
        for (std::size_t i = 0; i < parts.size(); ++i)
            quantity[out.carried[i]][indicator.key] = static_cast<double>(parts[i]);
    }
    std::vector<std::string> everyone = out.carried;
    everyone.insert(everyone.end(), out.new_salesmen.begin(), out.new_salesmen.end());
    std::sort(everyone.begin(), everyone.end());
    for (const auto &code : everyone)
        for (const auto &indicator : now.indicators) {
            const auto &mine = quantity[code];
            const auto it = mine.find(indicator.key);
            out.rows.push_back({code, indicator.key, it == mine.end() ? 0.0 : it->second});
        }
    return out;
}

}  // namespace allocation
