#include "month_states.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <set>
#include <utility>

#include "audit.h"
#include "contract.h"
#include "dialect.h"
#include "plan_rules.h"
#include "server_text.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

// A reason fits LYOU00 (200 bytes of the 8-bit code page: 100 Chinese characters).
constexpr std::size_t kMaxReasonCharacters = 100;

const char *kMoveColumns = "BBHAO0,DZUO00,ZTAI00,YHMC00,CZSJ00,LYOU00";

std::string text(const wire::Value &v) { return wire::is_null(v) ? std::string() : wire::value_to_text(v); }

std::string lock_key(const std::string &month, const std::string &department)
{
    // The same name the apply's allocation lock and the generation take.
    return "XSTYZB02/" + month + "/" + department;
}

std::size_t characters(const std::string &s)
{
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

MonthState state_of(const std::string &department, std::vector<MonthMove> history)
{
    MonthState s;
    s.department = department;
    s.state = history.empty() ? contract::kStateDraft : history.back().state;
    for (const auto &m : history)
        if (m.move == contract::kMoveSubmit) s.submitted_by = m.account;
    if (s.state == contract::kStateApproved) {
        s.approved_by = history.back().account;
        s.approved_at = history.back().time;
    }
    s.history = std::move(history);
    return s;
}

MonthMove move_of(const wire::Row &r, std::size_t from)
{
    return {static_cast<std::int64_t>(wire::value_to_double(r.at(from))), text(r[from + 1]), text(r[from + 2]),
            text(r[from + 3]), text(r[from + 4]), text(r[from + 5])};
}

std::string current_state(Connection &db, const std::string &month, const std::string &department)
{
    const auto r = db.run(std::string("SELECT ZTAI00 FROM ") + kMonthStateTable +
                              " WHERE NYUE00=? AND CKDM00=? ORDER BY BBHAO0 DESC LIMIT 1",
                          {month, department})
                       .packet;
    return r.rows.empty() ? std::string(contract::kStateDraft) : text(r.rows[0][0]);
}

[[noreturn]] void refuse(const std::string &message, const char *code = contract::error::kStateRefused)
{
    throw ServerError(Kind::Database, message, code);
}

// What is missing before the month may be submitted: indicators with
// quantity left, visit-salesmen without a plan. Empty when it is complete.
std::vector<std::string> incomplete(Connection &db, const std::string &month, const std::string &department)
{
    std::vector<std::string> missing;
    using Key = std::pair<std::string, std::string>;  // sequence number and name, as the allocation rule matches
    std::map<Key, double> held;
    for (const auto &r : db.run("SELECT XHAO00,ZBMC00,SUM(COALESCE(ZBSL00,0)) FROM XSTYZB02 WHERE NYUE00=? AND "
                                "CKDM00=? GROUP BY XHAO00,ZBMC00",
                                {month, department})
                             .packet.rows)
        held[{text(r[0]), text(r[1])}] = wire::is_null(r[2]) ? 0 : wire::value_to_double(r[2]);
    for (const auto &r : db.run("SELECT XHAO00,ZBMC00,SUM(ZBSL00) FROM XSTYZB01 WHERE NYUE00=? AND CKDM00=? "
                                "GROUP BY XHAO00,ZBMC00 ORDER BY XHAO00,ZBMC00",
                                {month, department})
                             .packet.rows) {
        const double planned = wire::is_null(r[2]) ? 0 : wire::value_to_double(r[2]);
        const auto it = held.find({text(r[0]), text(r[1])});
        const double left = planned - (it == held.end() ? 0 : it->second);
        if (left > 1e-9) {
            const std::string sequence = wire::is_null(r[0]) ? std::string() : format_quantity(wire::value_to_double(r[0]));
            missing.push_back("序号为'" + sequence + "'的指标还剩 " + format_quantity(left) + " 条未分配");
        }
    }
    for (const auto &r : db.run("SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='Y' AND CKDM00=? AND RYDM00 NOT IN "
                                "(SELECT RYDM00 FROM XSTYZB02 WHERE NYUE00=? AND CKDM00=?) ORDER BY RYDM00",
                                {department, month, department})
                             .packet.rows)
        missing.push_back("访销员" + text(r[1]) + "（" + text(r[0]) + "）还没有计划");
    return missing;
}

const char *audit_kind_of(const std::string &move)
{
    if (move == contract::kMoveSubmit) return kAuditSubmitted;
    if (move == contract::kMoveApprove) return kAuditApproved;
    if (move == contract::kMoveReturn) return kAuditReturned;
    return kAuditRevisionOpened;
}

// The state a move leads to, and the states it may start from.
struct Transition {
    const char *move;
    std::vector<const char *> from;
    const char *to;
    bool needs_reason;
    bool approver_only;
};
const std::vector<Transition> &transitions()
{
    using namespace contract;
    static const std::vector<Transition> t = {
        {kMoveSubmit, {kStateDraft, kStateRevising}, kStateSubmitted, false, false},
        {kMoveApprove, {kStateSubmitted}, kStateApproved, false, true},
        {kMoveReturn, {kStateSubmitted}, kStateDraft, true, true},
        {kMoveRevise, {kStateApproved}, kStateRevising, true, false},
    };
    return t;
}

std::string moved_in_transaction(Connection &db, const Caller &caller, const SignOffRules &rules,
                                 const std::string &month, const std::string &department, const Transition &t,
                                 const std::string &reason, const std::string &seen)
{
    // No change of the department's plans, and no other move, between the
    // checks below and the move.
    lock_name(db, lock_key(month, department));
    const MonthState now = read_month_state(db, month, department);
    if (!seen.empty() && seen != now.state)
        refuse("该月计划的状态已经变了（现在是" + now.state + "），请刷新后再看", contract::error::kStateChanged);
    if (wire::value_to_double(db.run("SELECT COUNT(*) FROM XSTYZB01 WHERE NYUE00=? AND CKDM00=?", {month, department})
                                  .packet.rows.at(0).at(0)) == 0)
        refuse("对应年月的上级计划还未生成，不能" + std::string(t.move));
    if (std::none_of(t.from.begin(), t.from.end(), [&](const char *s) { return now.state == s; }))
        refuse("该月计划现在是" + now.state + "，不能" + t.move);
    if (t.move == std::string(contract::kMoveApprove) && now.submitted_by == caller.account &&
        !rules.allow_self_approval)
        refuse("不能批准自己提交的计划，请由另一位审批人批准");
    if (t.move == std::string(contract::kMoveSubmit) && !rules.allow_partial_submission) {
        const auto missing = incomplete(db, month, department);
        if (!missing.empty()) {
            std::string list;
            for (std::size_t i = 0; i < missing.size() && i < 10; ++i) list += (i ? "；" : "") + missing[i];
            if (missing.size() > 10) list += "；等 " + std::to_string(missing.size()) + " 项";
            refuse("该月计划还不完整，不能提交：" + list);
        }
    }
    const std::int64_t number = now.history.empty() ? 1 : now.history.back().number + 1;
    const std::string when = iso_utc(std::chrono::system_clock::now());
    const std::string address = caller.address.empty() ? "-" : caller.address;
    const wire::Value why = reason.empty() ? wire::Value{} : wire::Value(reason);
    db.run(std::string("INSERT INTO ") + kMonthStateTable + " (NYUE00,CKDM00," + kMoveColumns +
               ",KHDZ00) VALUES (?,?,?,?,?,?,?,?,?)",
           {month, department, number, std::string(t.move), std::string(t.to), caller.account, when, why, address});
    db.run(std::string("INSERT INTO ") + kAuditTable +
               " (CZSJ00,YHMC00,KHDZ00,CZLX00,NYUE00,CKDM00,LYOU00) VALUES (?,?,?,?,?,?,?)",
           {when, caller.account, address, std::string(audit_kind_of(t.move)), month, department, why});
    return t.to;
}

}  // namespace

void migrate_to_month_states(Connection &db)
{
    db.run(std::string("CREATE TABLE IF NOT EXISTS ") + kMonthStateTable + " (" +
           identity_column(db.kind(), "JLHAO0") +
           ", NYUE00 VARCHAR(6) NOT NULL, CKDM00 VARCHAR(2) NOT NULL, BBHAO0 INTEGER NOT NULL, "
           "DZUO00 VARCHAR(8) NOT NULL, ZTAI00 VARCHAR(6) NOT NULL, YHMC00 VARCHAR(32) NOT NULL, "
           "KHDZ00 VARCHAR(64), CZSJ00 VARCHAR(20) NOT NULL, LYOU00 VARCHAR(200))");
    db.run(std::string("CREATE UNIQUE INDEX IF NOT EXISTS XSTYZBZT_MOVE ON ") + kMonthStateTable +
           " (NYUE00, CKDM00, BBHAO0)");
    if (!column_exists(db, kAuditTable, "LYOU00"))
        db.run(std::string("ALTER TABLE ") + kAuditTable + " ADD COLUMN LYOU00 VARCHAR(200)");
}

MonthState read_month_state(Connection &db, const std::string &month, const std::string &department)
{
    std::vector<MonthMove> history;
    for (const auto &r : db.run(std::string("SELECT ") + kMoveColumns + " FROM " + kMonthStateTable +
                                    " WHERE NYUE00=? AND CKDM00=? ORDER BY BBHAO0",
                                {month, department})
                             .packet.rows)
        history.push_back(move_of(r, 0));
    return state_of(department, std::move(history));
}

std::vector<MonthState> read_month_states(Connection &db, const std::string &month)
{
    std::map<std::string, std::vector<MonthMove>> by_department;
    for (const auto &r : db.run(std::string("SELECT CKDM00,") + kMoveColumns + " FROM " + kMonthStateTable +
                                    " WHERE NYUE00=? ORDER BY CKDM00,BBHAO0",
                                {month})
                             .packet.rows)
        by_department[text(r[0])].push_back(move_of(r, 1));
    std::vector<MonthState> out;
    for (auto &[department, history] : by_department) out.push_back(state_of(department, std::move(history)));
    return out;
}

std::optional<std::string> month_lock_refusal(Connection &db, const std::string &month, const std::string &department)
{
    lock_name(db, lock_key(month, department));
    const std::string state = current_state(db, month, department);
    if (state == contract::kStateSubmitted || state == contract::kStateApproved)
        return "该月计划" + state + "，不能修改";
    return std::nullopt;
}

void require_month_open(Connection &db, const std::string &month, const std::string &department)
{
    if (auto refusal = month_lock_refusal(db, month, department))
        throw ServerError(Kind::Database, *refusal, contract::error::kMonthLocked);
}

StatementResult run_in_open_month(Connection &db, const std::string &month, const std::string &department,
                                  const std::function<StatementResult()> &change)
{
    if (db.in_transaction()) {
        require_month_open(db, month, department);
        return change();
    }
    db.begin_write();
    try {
        require_month_open(db, month, department);
        StatementResult result = change();
        db.commit();
        return result;
    } catch (...) {
        try {
            db.rollback();
        } catch (const ServerError &) {
            // A lost connection: the database drops the transaction itself.
        }
        throw;
    }
}

std::map<wire::RowId, std::string> month_lock_refusals(Connection &db, const wire::Delta &delta)
{
    std::vector<wire::RowId> ids;
    for (const auto &change : delta)
        if (change.row_id) ids.push_back(*change.row_id);
    // The rows' months, a few hundred identities a statement.
    std::map<std::pair<std::string, std::string>, std::vector<wire::RowId>> rows_of;
    for (std::size_t from = 0; from < ids.size(); from += 500) {
        const std::size_t n = std::min<std::size_t>(500, ids.size() - from);
        std::string marks;
        std::vector<wire::Value> params;
        for (std::size_t i = 0; i < n; ++i) {
            marks += i ? ",?" : "?";
            params.emplace_back(ids[from + i]);
        }
        for (const auto &r :
             db.run("SELECT ROWID00,NYUE00,CKDM00 FROM XSTYZB02 WHERE ROWID00 IN (" + marks + ")", params).packet.rows)
            rows_of[{text(r[1]), text(r[2])}].push_back(static_cast<wire::RowId>(wire::value_to_double(r[0])));
    }
    std::map<wire::RowId, std::string> refused;
    for (const auto &[key, rows] : rows_of)  // in order, as the allocation locks are taken
        if (auto refusal = month_lock_refusal(db, key.first, key.second))
            for (const auto id : rows) refused[id] = *refusal;
    return refused;
}

std::string move_month_state(Connection &db, const Caller &caller, const SignOffRules &rules,
                             const std::string &month, const std::string &department, const std::string &move,
                             const std::string &reason, const std::string &seen)
{
    if (caller.role == Role::Viewer)
        throw ServerError(Kind::Forbidden, "只读账号不能修改计划数据", contract::error::kReadOnlyAccount);
    const auto t = std::find_if(transitions().begin(), transitions().end(),
                                [&](const Transition &x) { return move == x.move; });
    if (t == transitions().end())
        throw ServerError(Kind::BadRequest, "method MoveMonthState: the move \"" + move +
                                                "\" is not one of 提交, 批准, 退回, 申请修订");
    if (!is_month_key(month))
        throw ServerError(Kind::BadRequest,
                          "method MoveMonthState: the month \"" + month + "\" is not a month key YYYYMM (month 01 to 12)");
    if (blank(department))
        throw ServerError(Kind::BadRequest, "method MoveMonthState needs the parameter CKDM00 (the department)");
    const std::string why = trimmed(reason);
    if (t->needs_reason && why.empty()) throw ServerError(Kind::BadRequest, std::string(t->move) + "必须说明理由");
    if (characters(why) > kMaxReasonCharacters)
        throw ServerError(Kind::BadRequest, "理由最多 " + std::to_string(kMaxReasonCharacters) + " 个字");
    if (t->approver_only && caller.role != Role::Approver)
        throw ServerError(Kind::Forbidden, "只有审批人才能" + std::string(t->move) + "计划", contract::error::kForbidden);
    if (db.in_transaction())
        throw ServerError(Kind::BadRequest, "a month's state moves in a transaction of its own; end the open one first");

    db.begin_write();
    try {
        std::string state = moved_in_transaction(db, caller, rules, month, department, *t, why, seen);
        db.commit();
        return state;
    } catch (...) {
        try {
            db.rollback();
        } catch (const ServerError &) {
            // A lost connection: the database drops the transaction itself.
        }
        throw;
    }
}

}  // namespace appserver
