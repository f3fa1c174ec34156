#include "board_source.h"

#include <nlohmann/json.hpp>

#include "Unit_dmYearplan.h"
#include "contract.h"

namespace board {

namespace {

// The column of a field in a packet, found without regard to case; -1 when absent.
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

// A packet's rows read by field name.
class Reader {
public:
    Reader(const wire::DataPacket &packet, const char *what) : packet_(packet), what_(what) {}
    wire::Value value(std::size_t row, const char *field) const
    {
        const int c = column_of(packet_, field);
        if (c < 0) throw wire::WireError(std::string("the board's ") + what_ + " lack the field " + field);
        return packet_.rows.at(row).at(static_cast<std::size_t>(c));
    }
    std::string text(std::size_t row, const char *field) const
    {
        const wire::Value v = value(row, field);
        return wire::is_null(v) ? std::string() : wire::value_to_text(v);
    }
    std::size_t size() const { return packet_.rows.size(); }

private:
    const wire::DataPacket &packet_;
    const char *what_;
};

const wire::DataPacket &detail(const wire::DataPacket &packet, const char *name)
{
    static const wire::DataPacket none;
    const auto it = packet.details.find(name);
    return it == packet.details.end() ? none : it->second;
}

std::vector<std::string> codes_of(const nlohmann::json &answer, const char *key)
{
    std::vector<std::string> codes;
    if (!answer.is_object() || !answer.contains(key) || !answer[key].is_array()) return codes;
    for (const auto &code : answer[key])
        if (code.is_string()) codes.push_back(code.get<std::string>());
    return codes;
}

class DataModuleSource : public BoardSource {
public:
    explicit DataModuleSource(Tdm_yearplan &dm) : dm_(dm) {}

    Snapshot read(const std::string &month, const std::string &department) override
    {
        const wire::DataPacket packet =
            dm_.Dcom_cocustobj.get_records(contract::kBoardProvider, {},
                                           {{contract::kMonthParam, month}, {contract::kDepartmentParam, department}});
        return snapshot_from_packet(packet, month, department);
    }

    wire::ApplyResult save(const wire::Delta &delta) override
    {
        return dm_.Dcom_cocustobj.apply_updates(contract::kPlanProvider, delta, 0);
    }

    Generation generate(const std::string &month, const std::string &department,
                        const std::vector<std::string> &salesmen) override
    {
        std::string codes;
        for (const std::string &code : salesmen) codes += (codes.empty() ? "" : ",") + code;
        const nlohmann::json answer = dm_.Dcom_cocustobj.call_method(
            contract::kGeneratePlansMethod, {{contract::kMonthParam, month},
                                             {contract::kDepartmentParam, department},
                                             {contract::kSalesmenParam, codes}});
        return {codes_of(answer, contract::kGeneratedKey), codes_of(answer, contract::kSkippedKey)};
    }

    Actuals read_actuals(const std::string &month, const std::string &department) override
    {
        return board::read_actuals(dm_.Dcom_cocustobj, month, department);
    }

private:
    Tdm_yearplan &dm_;
};

}  // namespace

std::unique_ptr<BoardSource> data_module_source(Tdm_yearplan &dm) { return std::make_unique<DataModuleSource>(dm); }

Snapshot snapshot_from_packet(const wire::DataPacket &packet, const std::string &month, const std::string &department)
{
    Snapshot s;
    s.month = month;
    s.department = department;

    const Reader dept(detail(packet, contract::kBoardDepartmentDetail), "department");
    if (dept.size() > 0) s.department_name = dept.text(0, "CKMC00");

    const Reader plan(detail(packet, contract::kBoardPlanDetail), "plan");
    for (std::size_t r = 0; r < plan.size(); ++r)
        s.department_plan.push_back(
            {plan.value(r, "XHAO00"), plan.text(r, "ZBLB00"), plan.text(r, "ZBMC00"), plan.value(r, "ZBSL00")});

    const Reader salesmen(detail(packet, contract::kBoardSalesmenDetail), "salesmen");
    for (std::size_t r = 0; r < salesmen.size(); ++r) {
        const std::string code = salesmen.text(r, "RYDM00");
        const std::string name = salesmen.text(r, "RYMC00");
        // One no longer in the staff table is shown by his code.
        s.salesmen.push_back({code, name.empty() ? code : name, salesmen.text(r, "FXY000") == contract::kVisitSalesman});
    }

    if (!packet.rows.empty() && packet.row_ids.size() != packet.rows.size())
        throw wire::WireError("the board's plan rows come without their row identities");
    const Reader rows(packet, "plan rows");
    for (std::size_t r = 0; r < rows.size(); ++r)
        s.plan_rows.push_back({packet.row_ids[r], rows.text(r, "RYDM00"), rows.value(r, "XHAO00"),
                               rows.text(r, "ZBLB00"), rows.text(r, "ZBMC00"), rows.value(r, "ZBSL00")});
    return s;
}

}  // namespace board
