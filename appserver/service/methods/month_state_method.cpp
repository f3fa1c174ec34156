// MoveMonthState on the customer object: submits, approves, returns or opens
// for revision a department's month (domain/month_states.h), by the site's
// rules of the sign-off. A viewer may not call it.
#include <nlohmann/json.hpp>

#include "contract.h"
#include "month_states.h"
#include "provider.h"

namespace appserver {

namespace {

class MoveMonthState final : public Method {
public:
    MoveMonthState()
        : Method(contract::kMoveMonthStateMethod, {contract::kMonthParam, contract::kDepartmentParam,
                                                   contract::kMoveParam, contract::kReasonParam, contract::kStateParam})
    {
    }
    bool serves_changes() const override { return true; }

    MethodResult call(Call &call, const wire::MethodParams &params) const override
    {
        auto value = [&](const char *name) {
            const auto it = params.find(name);
            return it == params.end() ? std::string() : it->second;
        };
        const SignOffRules rules{call.limits.allow_self_approval, call.limits.allow_partial_submission};
        const std::string state =
            move_month_state(call.db, call.caller, rules, value(contract::kMonthParam),
                             value(contract::kDepartmentParam), value(contract::kMoveParam),
                             value(contract::kReasonParam), value(contract::kStateParam));
        return MethodResult{{contract::kStateKey, state}};
    }
};

}  // namespace

std::unique_ptr<Method> make_move_month_state_method() { return std::make_unique<MoveMonthState>(); }

}  // namespace appserver
