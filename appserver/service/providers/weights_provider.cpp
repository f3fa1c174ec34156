// dsp_weights on the customer object: a department's weights by salesman
// (parameter CKDM00, required), as the allocation helpers split by them.
// A viewer may read them.
#include "contract.h"
#include "department_weights.h"
#include "provider.h"
#include "server_text.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

class WeightsProvider final : public Provider {
public:
    WeightsProvider() : Provider(contract::kWeightsProvider) {}

    void records(Call &call, const std::string &command_text, const wire::ProviderParams &params,
                 RecordsSink &sink) const override
    {
        if (!blank(command_text))
            throw ServerError(Kind::BadRequest, "provider dsp_weights has its own query and takes no command text");
        std::string department;
        for (const auto &[name, value] : params) {
            if (!equal_ignoring_case(name, contract::kDepartmentParam))
                throw ServerError(Kind::BadRequest, "provider dsp_weights takes only the parameter CKDM00, not \"" +
                                                        name + "\"");
            department = value;
        }
        if (department.empty())
            throw ServerError(Kind::BadRequest, "provider dsp_weights needs the parameter CKDM00 (the department)");
        wire::DataPacket packet;
        packet.fields = {{"RYDM00", wire::FieldType::String, 4}, {"QZ0000", wire::FieldType::Float, 0}};
        for (const auto &[code, weight] : read_weights(call.db, department))
            packet.rows.push_back({wire::Value(code), wire::Value(weight)});
        sink.packet(std::move(packet));
    }
};

}  // namespace

std::unique_ptr<Provider> make_weights_provider() { return std::make_unique<WeightsProvider>(); }

}  // namespace appserver
