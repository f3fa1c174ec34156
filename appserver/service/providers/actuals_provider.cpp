// dsp_actuals on the customer object: what a department's salesmen sold in
// a month, per indicator, from the site's view (actuals_view.h). The view's name
// comes from the server's config and was checked at start; the month and
// department are bound parameters. A failure of the view (too slow, gone,
// refused) is answered as the state "unavailable" with its reason, never as
// a failed call, so the board shows the plan and says why actuals are missing.
#include "actuals_view.h"

#include <cctype>

#include "app_server.h"
#include "contract.h"
#include "plan_rules.h"
#include "server_log.h"
#include "server_text.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

const char *kProvider = "provider dsp_actuals";

struct ActualsParams {
    std::string month, department;
};

ActualsParams actuals_params(const wire::ProviderParams &params)
{
    std::optional<std::string> month, department;
    for (const auto &[name, value] : params) {
        const bool is_month = equal_ignoring_case(name, contract::kMonthParam);
        if (!is_month && !equal_ignoring_case(name, contract::kDepartmentParam))
            throw ServerError(Kind::BadRequest, std::string(kProvider) +
                                                    " takes only the parameters NYUE00 and CKDM00, not \"" + name + "\"");
        auto &slot = is_month ? month : department;
        if (slot) throw ServerError(Kind::BadRequest, std::string(kProvider) + ": the parameter " + upper(name) + " is given twice");
        slot = value;
    }
    if (!month || month->empty())
        throw ServerError(Kind::BadRequest, std::string(kProvider) + " needs the parameter NYUE00 (the month)");
    if (!is_month_key(*month))
        throw ServerError(Kind::BadRequest, std::string(kProvider) + ": the month \"" + *month +
                                                "\" is not a month key YYYYMM (month 01 to 12)");
    if (!department || department->empty())
        throw ServerError(Kind::BadRequest, std::string(kProvider) + " needs the parameter CKDM00 (the department)");
    return {*month, *department};
}

std::string milliseconds_text(std::chrono::milliseconds t)
{
    return t.count() % 1000 == 0 ? std::to_string(t.count() / 1000) + " 秒" : std::to_string(t.count()) + " 毫秒";
}

// The session's own limit back after the actuals' shorter one.
class TimeLimitGuard {
public:
    TimeLimitGuard(Connection &db, std::chrono::milliseconds limit, std::chrono::milliseconds restore)
        : db_(db), restore_(restore)
    {
        db_.set_time_limit(limit);
    }
    ~TimeLimitGuard()
    {
        try {
            if (db_.usable()) db_.set_time_limit(restore_);
        } catch (...) {
            // A connection that cannot take it is lost: the pool drops it.
        }
    }

private:
    Connection &db_;
    std::chrono::milliseconds restore_;
};

class ActualsProvider final : public Provider {
public:
    ActualsProvider(ActualsSettings settings, std::optional<std::string> unavailable)
        : Provider(contract::kActualsProvider), settings_(std::move(settings)), unavailable_(std::move(unavailable)),
          query_(settings_.view.empty() || unavailable_ ? std::string() : actuals_query(settings_.view))
    {
    }

    void records(Call &call, const std::string &command_text, const wire::ProviderParams &params,
                 RecordsSink &sink) const override
    {
        if (!blank(command_text))
            throw ServerError(Kind::BadRequest, std::string(kProvider) + " has its own query and takes no command text");
        const ActualsParams at = actuals_params(params);
        wire::DataPacket packet;
        packet.fields = contract::actuals_fields();
        std::string state = contract::kActualsOk, why;
        if (settings_.view.empty()) {
            state = contract::kActualsOff;
            why = "服务器未设置实绩视图";
        } else if (unavailable_) {
            state = contract::kActualsUnavailable;
            why = *unavailable_;
        } else {
            try {
                read(call, at, packet);
            } catch (const ServerError &e) {
                packet.rows.clear();
                state = contract::kActualsUnavailable;
                const bool too_slow = e.code() && std::string(e.code()) == contract::error::kStatementTimeout;
                why = too_slow ? "读取实绩超过 " + milliseconds_text(settings_.time_limit) + "，已放弃"
                               : "实绩视图 " + settings_.view + " 读取失败";
                log_line("session " + call.session + ": actuals of " + at.month + " " + at.department + " from " +
                         settings_.view + " not read: " + e.what());
            }
        }
        wire::DataPacket state_packet;
        state_packet.fields = contract::actuals_state_fields();
        state_packet.rows.push_back({wire::Value(state), wire::Value(why)});
        packet.details.emplace(contract::kActualsStateDetail, std::move(state_packet));
        sink.packet(std::move(packet));
    }

private:
    void read(Call &call, const ActualsParams &at, wire::DataPacket &packet) const
    {
        Connection &db = call.db;
        // A transaction the session holds open keeps its own limit; on its
        // own the read runs under the actuals' limit, then the session's again.
        std::optional<TimeLimitGuard> limit;
        if (!db.in_transaction()) limit.emplace(db, settings_.time_limit, call.limits.statement_timeout);
        db.each_row(query_, {at.month, at.department}, [&](wire::Row &row) {
            const wire::Value &quantity = row.at(2);
            packet.rows.push_back({wire::is_null(row.at(0)) ? wire::Value(std::string()) : wire::Value(wire::value_to_text(row.at(0))),
                                   wire::is_null(row.at(1)) ? wire::Value{} : wire::Value(wire::value_to_double(row.at(1))),
                                   wire::is_null(quantity) ? wire::Value(0.0) : wire::Value(wire::value_to_double(quantity))});
        });
    }

    ActualsSettings settings_;
    std::optional<std::string> unavailable_;
    std::string query_;
};

bool name_part(const std::string &s)
{
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

}  // namespace

const std::vector<ActualsColumn> &actuals_columns()
{
    static const std::vector<ActualsColumn> columns = {
        {"NYUE00", "the month, YYYYMM"},
        {"CKDM00", "the department"},
        {"RYDM00", "the salesman"},
        {"XHAO00", "the indicator's sequence number"},
        {"SJSL00", "the quantity sold"},
    };
    return columns;
}

bool is_view_name(const std::string &name)
{
    const auto dot = name.find('.');
    if (dot == std::string::npos) return name_part(name);
    return name_part(name.substr(0, dot)) && name_part(name.substr(dot + 1));
}

std::string actuals_query(const std::string &view)
{
    return "SELECT RYDM00,XHAO00,SUM(SJSL00) FROM " + view +
           " WHERE NYUE00=? AND CKDM00=? GROUP BY RYDM00,XHAO00 ORDER BY RYDM00,XHAO00";
}

std::optional<ViewProblem> check_actuals_view(Connection &db, const std::string &view)
{
    if (!is_view_name(view))
        return ViewProblem{"\"" + view + "\" is not a view name (letters, digits and _, optionally schema.name)",
                           "实绩视图名称 " + view + " 不合规"};
    std::vector<std::string> have;
    try {
        // The columns only: no row of the view is computed.
        for (const auto &f : db.run("SELECT * FROM " + view + " LIMIT 0").packet.fields) have.push_back(f.name);
    } catch (const ServerError &e) {
        return ViewProblem{"the view " + view + " cannot be read: " + e.what(), "实绩视图 " + view + " 无法读取"};
    }
    for (const ActualsColumn &c : actuals_columns()) {
        bool found = false;
        for (const std::string &h : have) found = found || equal_ignoring_case(h, c.name);
        if (!found)
            return ViewProblem{"the view " + view + " lacks the column " + c.name + " (" + c.meaning + ")",
                               "实绩视图 " + view + " 缺少列 " + c.name};
    }
    return std::nullopt;
}

std::unique_ptr<Provider> make_actuals_provider(const ActualsSettings &settings, std::optional<std::string> unavailable)
{
    return std::make_unique<ActualsProvider>(settings, std::move(unavailable));
}

std::string install_actuals(AppServer &server, Connection &db, const ActualsSettings &settings)
{
    std::string line;
    std::optional<std::string> unavailable;
    // A view that hangs is found out within the actuals' own limit.
    if (!settings.view.empty()) db.set_time_limit(settings.time_limit);
    if (settings.view.empty()) {
        line = "actuals: no actuals_view configured, the board shows no actual sales";
    } else if (const auto problem = check_actuals_view(db, settings.view)) {
        line = "actuals: " + problem->why + "; serving without actuals";
        unavailable = problem->planner;
    } else {
        line = "actuals: from the view " + settings.view + ", at most " + std::to_string(settings.time_limit.count()) +
               " ms per read";
    }
    server.add_provider(contract::kCustObject, make_actuals_provider(settings, std::move(unavailable)));
    // Without a view nothing is said: the server runs as it always has.
    if (!settings.view.empty()) log_line(line);
    return line;
}

}  // namespace appserver
