// GeneratePlans on the customer object: the plans of a department's
// salesmen who have none in the month, generated in one call and one
// transaction (domain/plan_generation.h). It changes data, so a viewer may
// not call it.
#include <nlohmann/json.hpp>

#include "contract.h"
#include "plan_generation.h"
#include "plan_rules.h"
#include "provider.h"
#include "server_text.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

// The codes of a comma-separated list, each without its blanks; an empty
// (or blank) list names none.
std::vector<std::string> salesman_codes(const std::string &list)
{
    std::vector<std::string> codes;
    if (blank(list)) return codes;
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = list.find(',', from);
        const std::string code = trimmed(list.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
        if (code.empty())
            throw ServerError(Kind::BadRequest, "method GeneratePlans: the parameter RYDM00 holds an empty salesman code");
        codes.push_back(code);
        if (comma == std::string::npos) return codes;
        from = comma + 1;
    }
}

class GeneratePlans final : public Method {
public:
    GeneratePlans()
        : Method(contract::kGeneratePlansMethod,
                 {contract::kMonthParam, contract::kDepartmentParam, contract::kSalesmenParam})
    {
    }
    bool serves_changes() const override { return true; }

    MethodResult call(Call &call, const wire::MethodParams &params) const override
    {
        auto value = [&](const char *name) {
            const auto it = params.find(name);
            return it == params.end() ? std::string() : it->second;
        };
        const std::string month = value(contract::kMonthParam), department = value(contract::kDepartmentParam);
        if (month.empty())
            throw ServerError(Kind::BadRequest, "method GeneratePlans needs the parameter NYUE00 (the month)");
        if (!is_month_key(month))
            throw ServerError(Kind::BadRequest, "method GeneratePlans: the month \"" + month +
                                                    "\" is not a month key YYYYMM (month 01 to 12)");
        if (department.empty())
            throw ServerError(Kind::BadRequest, "method GeneratePlans needs the parameter CKDM00 (the department)");
        const GenerationResult done = generate_plans(call.db, call.caller, call.savepoints, month, department,
                                                     salesman_codes(value(contract::kSalesmenParam)));
        return MethodResult{{contract::kGeneratedKey, done.generated}, {contract::kSkippedKey, done.skipped}};
    }
};

}  // namespace

std::unique_ptr<Method> make_generate_plans_method() { return std::make_unique<GeneratePlans>(); }

}  // namespace appserver
