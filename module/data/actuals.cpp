#include "actuals.h"

#include <cmath>

#include "contract.h"
#include "remote_connection.h"

namespace board {

namespace {

// The column of a field, without regard to case; -1 when absent.
int column_of(const wire::DataPacket &packet, const char *name)
{
    for (std::size_t i = 0; i < packet.fields.size(); ++i) {
        const std::string &f = packet.fields[i].name;
        if (f.size() != std::char_traits<char>::length(name)) continue;
        bool same = true;
        for (std::size_t k = 0; k < f.size() && same; ++k)
            same = std::toupper(static_cast<unsigned char>(f[k])) == std::toupper(static_cast<unsigned char>(name[k]));
        if (same) return static_cast<int>(i);
    }
    return -1;
}

int required_column(const wire::DataPacket &packet, const char *name)
{
    const int c = column_of(packet, name);
    if (c < 0) throw wire::WireError(std::string("the actual sales lack the field ") + name);
    return c;
}

double number(const wire::Value &v) { return wire::is_null(v) ? 0.0 : wire::value_to_double(v); }

constexpr double kEpsilon = 1e-9;

int days_in(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

double original(const BoardModel &model, const Position &cell)
{
    const wire::Value v = model.cell_original(cell);
    return number(v);
}

Figure figure_of(double actual, double plan, double elapsed)
{
    return {actual, plan, completion_rate(actual, plan), pace_of(actual, plan, elapsed)};
}

}  // namespace

Actuals actuals_from_packet(const wire::DataPacket &packet)
{
    Actuals a;
    const auto state = packet.details.find(contract::kActualsStateDetail);
    if (state == packet.details.end() || state->second.rows.empty())
        throw wire::WireError("the actual sales come without their state");
    const wire::DataPacket &s = state->second;
    const std::string code = wire::value_to_text(s.rows[0].at(static_cast<std::size_t>(required_column(s, "SJZT00"))));
    const wire::Value &why = s.rows[0].at(static_cast<std::size_t>(required_column(s, "SJSM00")));
    a.reason = wire::is_null(why) ? std::string() : wire::value_to_text(why);
    if (code == contract::kActualsOk) a.state = ActualsState::Ok;
    else if (code == contract::kActualsOff) a.state = ActualsState::Off;
    else a.state = ActualsState::Unavailable;
    if (a.state != ActualsState::Ok) return a;

    const int salesman = required_column(packet, "RYDM00"), sequence = required_column(packet, "XHAO00"),
              quantity = required_column(packet, "SJSL00");
    for (const wire::Row &row : packet.rows) {
        const wire::Value &code_value = row.at(static_cast<std::size_t>(salesman));
        a.lines.push_back({wire::is_null(code_value) ? std::string() : wire::value_to_text(code_value),
                           number(row.at(static_cast<std::size_t>(sequence))),
                           number(row.at(static_cast<std::size_t>(quantity)))});
    }
    return a;
}

Actuals read_actuals(remote::RemoteConnection &cust, const std::string &month, const std::string &department)
{
    try {
        return actuals_from_packet(cust.get_records(contract::kActualsProvider, {},
                                                    {{contract::kMonthParam, month},
                                                     {contract::kDepartmentParam, department}}));
    } catch (const remote::RemoteError &e) {
        // A server of an older release offers no actuals at all.
        const std::string message = e.what();
        if (message.find("unknown provider") != std::string::npos &&
            message.find(contract::kActualsProvider) != std::string::npos)
            return {};
        return {ActualsState::Unavailable, message, {}};
    } catch (const wire::WireError &e) {
        return {ActualsState::Unavailable, e.what(), {}};
    }
}

double month_elapsed(const std::string &month, const Day &today)
{
    if (month.size() != 6) return 0;
    const int year = std::stoi(month.substr(0, 4)), m = std::stoi(month.substr(4, 2));
    if (m < 1 || m > 12) return 0;
    const int shown = year * 12 + m, now = today.year * 12 + today.month;
    if (shown < now) return 1;
    if (shown > now) return 0;
    return std::min(1.0, static_cast<double>(today.day) / days_in(year, m));
}

std::optional<double> completion_rate(double actual, double plan)
{
    if (std::fabs(plan) < kEpsilon) return std::nullopt;
    return actual / plan * 100.0;
}

Pace pace_of(double actual, double plan, double elapsed)
{
    if (plan <= kEpsilon) return Pace::None;
    if (actual > plan + kEpsilon) return Pace::Above;
    if (actual + kEpsilon >= plan * elapsed) return Pace::On;
    return Pace::Below;
}

std::string pace_text(Pace pace)
{
    switch (pace) {
    case Pace::Below: return "落后于进度";
    case Pace::On: return "符合进度";
    case Pace::Above: return "超额完成";
    case Pace::None: return "";
    }
    return "";
}

std::string rate_text(double rate) { return std::to_string(static_cast<long long>(std::floor(rate + 0.5))) + "%"; }

double OtherActuals::total() const
{
    double t = neither;
    for (const auto &[i, q] : by_indicator) t += q;
    for (const auto &[s, q] : by_salesman) t += q;
    return t;
}

Placement place_actuals(const BoardModel &model, const std::vector<ActualLine> &lines)
{
    Placement p;
    std::map<double, int> indicator_of;  // the first indicator of each sequence number
    for (int i = model.indicator_count() - 1; i >= 0; --i) indicator_of[model.indicator(i).key.sequence] = i;
    std::map<CellKey, double> done;
    for (const ActualLine &line : lines) {
        const auto salesman = model.salesman_index(line.salesman);
        const auto found = indicator_of.find(line.sequence);
        const std::optional<int> indicator =
            found == indicator_of.end() ? std::nullopt : std::optional<int>(found->second);
        if (salesman && indicator) {
            done[model.key_of({*indicator, *salesman})] += line.quantity;
            continue;
        }
        if (!salesman) p.others.salesmen[line.salesman] += line.quantity;
        if (!indicator) p.others.sequences[line.sequence] += line.quantity;
        if (salesman) p.others.by_salesman[*salesman] += line.quantity;
        else if (indicator) p.others.by_indicator[*indicator] += line.quantity;
        else p.others.neither += line.quantity;
    }
    for (const auto &[key, quantity] : done) {
        p.done[key] = quantity;
        const auto i = model.indicator_index(key.indicator);
        const auto s = model.salesman_index(key.salesman);
        if (!i || !s) continue;
        if (const auto rate = completion_rate(quantity, original(model, {*i, *s}))) p.rate[key] = *rate;
    }
    return p;
}

Figure cell_figure(const BoardModel &model, const Position &cell, double elapsed)
{
    const auto done = model.layer_value(kDoneLayer, cell);
    return figure_of(done ? number(*done) : 0.0, original(model, cell), elapsed);
}

Figure indicator_figure(const BoardModel &model, const OtherActuals &others, int indicator, double elapsed)
{
    double actual = 0;
    for (int s = 0; s < model.salesman_count(); ++s)
        if (const auto done = model.layer_value(kDoneLayer, {indicator, s})) actual += number(*done);
    if (const auto it = others.by_indicator.find(indicator); it != others.by_indicator.end()) actual += it->second;
    return figure_of(actual, model.indicator(indicator).plan, elapsed);
}

Figure salesman_figure(const BoardModel &model, const OtherActuals &others, int salesman, double elapsed)
{
    double actual = 0, plan = 0;
    for (int i = 0; i < model.indicator_count(); ++i) {
        plan += original(model, {i, salesman});
        if (const auto done = model.layer_value(kDoneLayer, {i, salesman})) actual += number(*done);
    }
    if (const auto it = others.by_salesman.find(salesman); it != others.by_salesman.end()) actual += it->second;
    return figure_of(actual, plan, elapsed);
}

Figure department_figure(const BoardModel &model, const OtherActuals &others, double elapsed)
{
    double actual = others.total();
    for (int i = 0; i < model.indicator_count(); ++i)
        for (int s = 0; s < model.salesman_count(); ++s)
            if (const auto done = model.layer_value(kDoneLayer, {i, s})) actual += number(*done);
    return figure_of(actual, model.plan_total(), elapsed);
}

std::string figure_note(const Figure &f, double elapsed)
{
    std::string note = "已完成 " + format_quantity(f.actual) + " 条，计划 " + format_quantity(f.plan) + " 条";
    if (f.rate) note += "，完成率 " + rate_text(*f.rate);
    note += "，时间进度 " + rate_text(elapsed * 100.0);
    if (f.pace != Pace::None) note += "：" + pace_text(f.pace);
    return note;
}

}  // namespace board
