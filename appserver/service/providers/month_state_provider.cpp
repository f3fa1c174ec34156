// dsp_month_state on the customer object: the states of a month's
// departments (NYUE00), or of one department's month with its history of
// moves (NYUE00 and CKDM00). A viewer may read them.
#include <optional>

#include "contract.h"
#include "month_states.h"
#include "plan_rules.h"
#include "provider.h"
#include "server_text.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

wire::Value text_or_null(const std::string &s) { return s.empty() ? wire::Value{} : wire::Value(s); }

wire::Row state_row(const MonthState &s)
{
    return {s.department, s.state, text_or_null(s.submitted_by), text_or_null(s.approved_by),
            text_or_null(s.approved_at)};
}

class MonthStateProvider final : public Provider {
public:
    MonthStateProvider() : Provider(contract::kMonthStateProvider) {}

    void records(Call &call, const std::string &command_text, const wire::ProviderParams &params,
                 RecordsSink &sink) const override
    {
        if (!blank(command_text))
            throw ServerError(Kind::BadRequest, "provider dsp_month_state has its own query and takes no command text");
        std::optional<std::string> month, department;
        for (const auto &[name, value] : params) {
            const bool is_month = equal_ignoring_case(name, contract::kMonthParam);
            if (!is_month && !equal_ignoring_case(name, contract::kDepartmentParam))
                throw ServerError(Kind::BadRequest, "provider dsp_month_state takes only the parameters NYUE00 and "
                                                    "CKDM00, not \"" + name + "\"");
            auto &slot = is_month ? month : department;
            if (slot)
                throw ServerError(Kind::BadRequest,
                                  "provider dsp_month_state: the parameter " + upper(name) + " is given twice");
            slot = value;
        }
        if (!month || !is_month_key(*month))
            throw ServerError(Kind::BadRequest, "provider dsp_month_state needs the parameter NYUE00, a month key "
                                                "YYYYMM (month 01 to 12)");
        if (department && department->empty())
            throw ServerError(Kind::BadRequest, "provider dsp_month_state: the parameter CKDM00 is empty");

        wire::DataPacket packet;
        packet.fields = contract::month_state_fields();
        if (!department) {
            for (const auto &s : read_month_states(call.db, *month)) packet.rows.push_back(state_row(s));
        } else {
            const MonthState s = read_month_state(call.db, *month, *department);
            packet.rows.push_back(state_row(s));
            wire::DataPacket history;
            history.fields = contract::month_state_history_fields();
            for (const auto &m : s.history)
                history.rows.push_back({m.number, m.move, m.state, m.account, m.time, text_or_null(m.reason)});
            packet.details[contract::kMonthStateHistoryDetail] = std::move(history);
        }
        sink.packet(std::move(packet));
    }
};

}  // namespace

std::unique_ptr<Provider> make_month_state_provider() { return std::make_unique<MonthStateProvider>(); }

}  // namespace appserver
