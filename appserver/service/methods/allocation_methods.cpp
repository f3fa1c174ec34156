// The allocation helpers on the customer object: AllocateRemaining (what
// remains split evenly, by last month's shares or by weights), RollForward
// (last month's split carried into the month) and SaveWeights (a
// department's weights). Each computes from the server's own reading of the
// board and applies in one transaction (domain/allocation_apply.h); they
// change data, so a viewer may not call them.
#include <nlohmann/json.hpp>

#include <cstdlib>

#include "allocation_apply.h"
#include "contract.h"
#include "department_weights.h"
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

// The month and department every helper needs, checked.
std::pair<std::string, std::string> month_and_department(const std::string &method, const wire::MethodParams &params)
{
    const std::string month = value(params, contract::kMonthParam), department = value(params, contract::kDepartmentParam);
    if (month.empty()) throw ServerError(Kind::BadRequest, "method " + method + " needs the parameter NYUE00 (the month)");
    if (!is_month_key(month))
        throw ServerError(Kind::BadRequest,
                          "method " + method + ": the month \"" + month + "\" is not a month key YYYYMM (month 01 to 12)");
    if (department.empty())
        throw ServerError(Kind::BadRequest, "method " + method + " needs the parameter CKDM00 (the department)");
    return {month, department};
}

// The items of a comma-separated list, each without its blanks.
std::vector<std::string> items_of(const std::string &list)
{
    std::vector<std::string> items;
    std::size_t from = 0;
    while (!blank(list)) {
        const std::size_t comma = list.find(',', from);
        const std::string item = trimmed(list.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
        if (!item.empty()) items.push_back(item);
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    return items;
}

// The board as its provider answers it, read on the call's connection
// (inside the helper's transaction).
BoardReader board_reader(Call &call)
{
    return [&call](const std::string &month, const std::string &department) {
        static const std::unique_ptr<Provider> board = make_board_provider();
        PacketSink sink;
        board->records(call, "", {{contract::kMonthParam, month}, {contract::kDepartmentParam, department}}, sink);
        return sink.take();
    };
}

allocation::Weights weights_of(const std::string &text)
{
    try {
        return allocation::parse_weights(text);
    } catch (const allocation::Refused &e) {
        throw ServerError(Kind::Database, e.what(), contract::error::kAllocationRefused);
    }
}

class AllocateRemaining final : public Method {
public:
    AllocateRemaining()
        : Method(contract::kAllocateRemainingMethod,
                 {contract::kMonthParam, contract::kDepartmentParam, contract::kModeParam, contract::kIndicatorsParam,
                  contract::kSalesmenParam, contract::kWeightsParam, contract::kFingerprintParam})
    {
    }
    bool serves_changes() const override { return true; }

    MethodResult call(Call &call, const wire::MethodParams &params) const override
    {
        refuse_viewer(call);
        const auto [month, department] = month_and_department(name(), params);
        allocation::SplitRequest request;
        const std::string mode = value(params, contract::kModeParam);
        if (mode == contract::kModeEven) request.mode = allocation::Mode::Even;
        else if (mode == contract::kModeLastMonth) request.mode = allocation::Mode::LastMonth;
        else if (mode == contract::kModeWeights) request.mode = allocation::Mode::Weights;
        else
            throw ServerError(Kind::BadRequest, "method AllocateRemaining: the mode FPFS00 must be even, last_month "
                                                "or weights, not \"" + mode + "\"");
        for (const auto &item : items_of(value(params, contract::kIndicatorsParam))) {
            char *end = nullptr;
            const double sequence = std::strtod(item.c_str(), &end);
            if (end != item.c_str() + item.size())
                throw ServerError(Kind::BadRequest,
                                  "method AllocateRemaining: \"" + item + "\" in XHAO00 is not a sequence number");
            request.indicators.push_back(sequence);
        }
        request.salesmen = items_of(value(params, contract::kSalesmenParam));
        if (request.mode == allocation::Mode::Weights) request.weights = weights_of(value(params, contract::kWeightsParam));
        const SplitApplied done = apply_split(call.db, call.caller, call.savepoints, board_reader(call), month,
                                              department, request, value(params, contract::kFingerprintParam));
        return MethodResult{{contract::kOperationKey, done.operation}, {contract::kChangedKey, done.changed}};
    }
};

class RollForwardMethod final : public Method {
public:
    RollForwardMethod()
        : Method(contract::kRollForwardMethod,
                 {contract::kMonthParam, contract::kDepartmentParam, contract::kFingerprintParam})
    {
    }
    bool serves_changes() const override { return true; }

    MethodResult call(Call &call, const wire::MethodParams &params) const override
    {
        refuse_viewer(call);
        const auto [month, department] = month_and_department(name(), params);
        const allocation::RollForward done = apply_roll_forward(call.db, call.caller, call.savepoints,
                                                                board_reader(call), month, department,
                                                                value(params, contract::kFingerprintParam));
        return MethodResult{{contract::kOperationKey, allocation::kRollForwardName},
                            {contract::kCarriedKey, done.carried},
                            {contract::kNewSalesmenKey, done.new_salesmen},
                            {contract::kLeftKey, done.left},
                            {contract::kNewIndicatorsKey, done.new_indicators},
                            {contract::kRowsKey, done.rows.size()}};
    }
};

class SaveWeights final : public Method {
public:
    SaveWeights() : Method(contract::kSaveWeightsMethod, {contract::kDepartmentParam, contract::kWeightsParam}) {}
    bool serves_changes() const override { return true; }

    MethodResult call(Call &call, const wire::MethodParams &params) const override
    {
        refuse_viewer(call);
        const std::string department = value(params, contract::kDepartmentParam);
        if (department.empty())
            throw ServerError(Kind::BadRequest, "method SaveWeights needs the parameter CKDM00 (the department)");
        save_weights(call.db, call.savepoints, department, weights_of(value(params, contract::kWeightsParam)));
        return MethodResult::object();
    }
};

}  // namespace

std::unique_ptr<Method> make_allocate_remaining_method() { return std::make_unique<AllocateRemaining>(); }
std::unique_ptr<Method> make_roll_forward_method() { return std::make_unique<RollForwardMethod>(); }
std::unique_ptr<Method> make_save_weights_method() { return std::make_unique<SaveWeights>(); }

}  // namespace appserver
