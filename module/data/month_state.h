// A department's month as the server signs it off: its state (草稿, 已提交,
// 已批准, 修订中) with its history of moves, read from the customer object's
// dsp_month_state and moved by its MoveMonthState. The server enforces every
// rule; what is here tells the planner early which commands would be refused.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "wire.h"

namespace remote {
class RemoteConnection;
}

namespace month_state {

struct Move {
    std::string move, state, account, time, reason;
};

struct State {
    std::string state;  // 草稿 when it never moved
    std::string submitted_by, approved_by, approved_at;
    std::vector<Move> history;  // oldest first
};

// Why a month in this state may not change ("该月计划已批准，不能修改"), the
// server's own words; nothing for 草稿 and 修订中.
std::optional<std::string> lock_reason(const std::string &state);

// Whether an account of the role ("planner", "approver", "viewer"; empty: the
// anonymous planner of a server without accounts) may make the move from
// the state. The server refuses the rest anyway.
bool may_move(const std::string &role, const std::string &state, const std::string &move);
// Whether the move asks for a reason (退回, 申请修订).
bool needs_reason(const std::string &move);

// A state packet of dsp_month_state (with its history when it carries one).
State state_from_packet(const wire::DataPacket &packet);

// The department's month. Throws remote::RemoteError as the calls do.
State read(remote::RemoteConnection &cust, const std::string &month, const std::string &department);
// Every department's state of the month that is not the first draft, by code.
std::map<std::string, std::string> read_month(remote::RemoteConnection &cust, const std::string &month);
// Moves it; `seen` is the state the planner saw. Answers the new state;
// a refusal throws remote::RemoteError with the server's message.
std::string move(remote::RemoteConnection &cust, const std::string &month, const std::string &department,
                 const std::string &move, const std::string &reason, const std::string &seen);

// "2026-12-09 08:30" in local time from the server's UTC "2026-12-09T00:30:00Z";
// the text itself when it is no such time.
std::string local_time_text(const std::string &utc);

}  // namespace month_state
