#include "allocation_calls.h"

#include <nlohmann/json.hpp>

#include "contract.h"
#include "remote_connection.h"

namespace board {

namespace {

std::vector<std::string> texts_of(const nlohmann::json &answer, const char *key)
{
    std::vector<std::string> out;
    if (!answer.is_object() || !answer.contains(key) || !answer[key].is_array()) return out;
    for (const auto &item : answer[key])
        if (item.is_string()) out.push_back(item.get<std::string>());
    return out;
}

int number_of(const nlohmann::json &answer, const char *key)
{
    return answer.is_object() && answer.contains(key) && answer[key].is_number_integer() ? answer[key].get<int>() : 0;
}

std::string list_of(const std::vector<std::string> &items)
{
    std::string out;
    for (const auto &item : items) out += (out.empty() ? "" : ",") + item;
    return out;
}

}  // namespace

wire::DataPacket read_board_packet(remote::RemoteConnection &cust, const std::string &month,
                                   const std::string &department)
{
    return cust.get_records(contract::kBoardProvider, {},
                            {{contract::kMonthParam, month}, {contract::kDepartmentParam, department}});
}

allocation::Weights read_weights(remote::RemoteConnection &cust, const std::string &department)
{
    const wire::DataPacket packet =
        cust.get_records(contract::kWeightsProvider, {}, {{contract::kDepartmentParam, department}});
    allocation::Weights weights;
    for (const auto &row : packet.rows)
        if (row.size() >= 2 && !wire::is_null(row[0]) && !wire::is_null(row[1]))
            weights[wire::value_to_text(row[0])] = wire::value_to_double(row[1]);
    return weights;
}

void save_weights(remote::RemoteConnection &cust, const std::string &department, const allocation::Weights &weights)
{
    cust.call_method(contract::kSaveWeightsMethod,
                     {{contract::kDepartmentParam, department}, {contract::kWeightsParam, allocation::weights_text(weights)}});
}

int allocate_remaining(remote::RemoteConnection &cust, const std::string &month, const std::string &department,
                       const allocation::SplitRequest &request, const std::string &fingerprint)
{
    const char *mode = request.mode == allocation::Mode::Even        ? contract::kModeEven
                       : request.mode == allocation::Mode::LastMonth ? contract::kModeLastMonth
                                                                     : contract::kModeWeights;
    std::vector<std::string> indicators;
    for (double sequence : request.indicators) indicators.push_back(wire::format_number(sequence));
    wire::MethodParams params{{contract::kMonthParam, month},
                              {contract::kDepartmentParam, department},
                              {contract::kModeParam, mode},
                              {contract::kIndicatorsParam, list_of(indicators)},
                              {contract::kSalesmenParam, list_of(request.salesmen)},
                              {contract::kFingerprintParam, fingerprint}};
    if (request.mode == allocation::Mode::Weights)
        params[contract::kWeightsParam] = allocation::weights_text(request.weights);
    return number_of(cust.call_method(contract::kAllocateRemainingMethod, params), contract::kChangedKey);
}

RolledForward roll_forward(remote::RemoteConnection &cust, const std::string &month, const std::string &department,
                           const std::string &fingerprint)
{
    const nlohmann::json answer = cust.call_method(
        contract::kRollForwardMethod, {{contract::kMonthParam, month},
                                       {contract::kDepartmentParam, department},
                                       {contract::kFingerprintParam, fingerprint}});
    return {texts_of(answer, contract::kCarriedKey), texts_of(answer, contract::kNewSalesmenKey),
            texts_of(answer, contract::kLeftKey), texts_of(answer, contract::kNewIndicatorsKey),
            number_of(answer, contract::kRowsKey)};
}

}  // namespace board
