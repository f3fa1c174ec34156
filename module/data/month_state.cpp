#include "month_state.h"

#include <QDateTime>
#include <QTimeZone>

#include <nlohmann/json.hpp>

#include "contract.h"
#include "remote_connection.h"

namespace month_state {

namespace {

std::string text(const wire::Value &v) { return wire::is_null(v) ? std::string() : wire::value_to_text(v); }

// The column of a field, matched without regard to case; -1 when absent.
int column_of(const wire::DataPacket &packet, const char *name)
{
    for (std::size_t i = 0; i < packet.fields.size(); ++i)
        if (QString::fromStdString(packet.fields[i].name).compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    return -1;
}

std::string field(const wire::DataPacket &packet, std::size_t row, const char *name)
{
    const int c = column_of(packet, name);
    return c < 0 ? std::string() : text(packet.rows.at(row).at(static_cast<std::size_t>(c)));
}

}  // namespace

std::optional<std::string> lock_reason(const std::string &state)
{
    if (state == contract::kStateSubmitted || state == contract::kStateApproved) return "该月计划" + state + "，不能修改";
    return std::nullopt;
}

bool may_move(const std::string &role, const std::string &state, const std::string &move)
{
    using namespace contract;
    if (role == "viewer") return false;
    if (move == kMoveSubmit) return state == kStateDraft || state == kStateRevising;
    if (move == kMoveRevise) return state == kStateApproved;
    if (move == kMoveApprove || move == kMoveReturn) return role == "approver" && state == kStateSubmitted;
    return false;
}

bool needs_reason(const std::string &move) { return move == contract::kMoveReturn || move == contract::kMoveRevise; }

State state_from_packet(const wire::DataPacket &packet)
{
    State s;
    s.state = contract::kStateDraft;
    if (!packet.rows.empty()) {
        s.state = field(packet, 0, "ZTAI00");
        s.submitted_by = field(packet, 0, "TJYH00");
        s.approved_by = field(packet, 0, "PZYH00");
        s.approved_at = field(packet, 0, "PZSJ00");
    }
    const auto it = packet.details.find(contract::kMonthStateHistoryDetail);
    if (it != packet.details.end())
        for (std::size_t r = 0; r < it->second.rows.size(); ++r)
            s.history.push_back({field(it->second, r, "DZUO00"), field(it->second, r, "ZTAI00"),
                                 field(it->second, r, "YHMC00"), field(it->second, r, "CZSJ00"),
                                 field(it->second, r, "LYOU00")});
    return s;
}

State read(remote::RemoteConnection &cust, const std::string &month, const std::string &department)
{
    return state_from_packet(cust.get_records(contract::kMonthStateProvider, {},
                                              {{contract::kMonthParam, month}, {contract::kDepartmentParam, department}}));
}

std::map<std::string, std::string> read_month(remote::RemoteConnection &cust, const std::string &month)
{
    const wire::DataPacket packet = cust.get_records(contract::kMonthStateProvider, {}, {{contract::kMonthParam, month}});
    std::map<std::string, std::string> states;
    for (std::size_t r = 0; r < packet.rows.size(); ++r) states[field(packet, r, "CKDM00")] = field(packet, r, "ZTAI00");
    return states;
}

std::string move(remote::RemoteConnection &cust, const std::string &month, const std::string &department,
                 const std::string &move, const std::string &reason, const std::string &seen)
{
    const nlohmann::json answer = cust.call_method(
        contract::kMoveMonthStateMethod, {{contract::kMonthParam, month},
                                          {contract::kDepartmentParam, department},
                                          {contract::kMoveParam, move},
                                          {contract::kReasonParam, reason},
                                          {contract::kStateParam, seen}});
    if (!answer.is_object() || !answer.contains(contract::kStateKey) || !answer[contract::kStateKey].is_string())
        throw remote::RemoteError("应用服务器没有回答新的计划状态");
    return answer[contract::kStateKey].get<std::string>();
}

std::string local_time_text(const std::string &utc)
{
    const QDateTime t = QDateTime::fromString(QString::fromStdString(utc), Qt::ISODate);
    if (!t.isValid()) return utc;
    return t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")).toStdString();
}

}  // namespace month_state
