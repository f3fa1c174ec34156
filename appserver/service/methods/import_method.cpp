// ImportPlans on the customer object: a sheet the planner previewed on the
// board, applied whole in one transaction through the allocation rule, the
// quantity bounds, the month's lock and the audit (domain/allocation_apply.h).
// It changes data, so a viewer may not call it.
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>

#include "allocation_apply.h"
#include "contract.h"
#include "plan_rules.h"
#include "provider.h"
#include "records_sink.h"
#include "server_text.h"

namespace appserver {

std::unique_ptr<Provider> make_board_provider();

namespace {

using Kind = ServerError::Kind;

std::string value(const wire::MethodParams &params, const char *name)
{
    const auto it = params.find(name);
    return it == params.end() ? std::string() : it->second;
}

// "12:30,14:0" as row identities and quantities.
std::vector<ImportedQuantity> changes_of(const std::string &list)
{
    std::vector<ImportedQuantity> changes;
    std::size_t from = 0;
    while (from < list.size()) {
        std::size_t comma = list.find(',', from);
        if (comma == std::string::npos) comma = list.size();
        const std::string item = trimmed(list.substr(from, comma - from));
        from = comma + 1;
        if (item.empty()) continue;
        const std::size_t colon = item.find(':');
        char *end = nullptr;
        ImportedQuantity c;
        const std::string row = colon == std::string::npos ? item : item.substr(0, colon);
        c.row = static_cast<wire::RowId>(std::strtoll(row.c_str(), &end, 10));
        const bool row_ok = colon != std::string::npos && !row.empty() && end == row.c_str() + row.size();
        const std::string quantity = colon == std::string::npos ? std::string() : item.substr(colon + 1);
        c.quantity = std::strtod(quantity.c_str(), &end);
        if (!row_ok || quantity.empty() || end != quantity.c_str() + quantity.size() || !std::isfinite(c.quantity))
            throw ServerError(Kind::BadRequest,
                              "method ImportPlans: \"" + item + "\" in DRSL00 is not ROWID00:quantity");
        changes.push_back(c);
    }
    return changes;
}

class ImportPlans final : public Method {
public:
    ImportPlans()
        : Method(contract::kImportPlansMethod, {contract::kMonthParam, contract::kDepartmentParam,
                                                contract::kFileNameParam, contract::kImportedParam,
                                                contract::kFingerprintParam})
    {
    }
    bool serves_changes() const override { return true; }

    MethodResult call(Call &call, const wire::MethodParams &params) const override
    {
        refuse_viewer(call);
        const std::string month = value(params, contract::kMonthParam), department = value(params, contract::kDepartmentParam);
        if (!is_month_key(month))
            throw ServerError(Kind::BadRequest, "method ImportPlans: the month NYUE00 \"" + month +
                                                    "\" is not a month key YYYYMM (month 01 to 12)");
        if (department.empty())
            throw ServerError(Kind::BadRequest, "method ImportPlans needs the parameter CKDM00 (the department)");
        const std::vector<ImportedQuantity> changes = changes_of(value(params, contract::kImportedParam));
        const BoardReader read = [&call](const std::string &m, const std::string &d) {
            static const std::unique_ptr<Provider> board = make_board_provider();
            PacketSink sink;
            board->records(call, "", {{contract::kMonthParam, m}, {contract::kDepartmentParam, d}}, sink);
            return sink.take();
        };
        const SplitApplied done = apply_import(call.db, call.caller, call.savepoints, read, month, department,
                                               value(params, contract::kFileNameParam), changes,
                                               value(params, contract::kFingerprintParam));
        return MethodResult{{contract::kOperationKey, done.operation}, {contract::kChangedKey, done.changed}};
    }
};

}  // namespace

std::unique_ptr<Method> make_import_plans_method() { return std::make_unique<ImportPlans>(); }

}  // namespace appserver
