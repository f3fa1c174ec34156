#include "plan_generation.h"

#include <algorithm>
#include <set>

#include "audit.h"
#include "contract.h"
#include "dialect.h"
#include "month_states.h"
#include "statement_catalogue.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

[[noreturn]] void refuse(const std::string &message)
{
    throw ServerError(Kind::Database, message, contract::error::kGenerationRefused);
}

std::int64_t count_of(Connection &db, const std::string &sql, const std::vector<wire::Value> &params)
{
    return static_cast<std::int64_t>(wire::value_to_double(db.run(sql, params).packet.rows.at(0).at(0)));
}

std::set<std::string> codes_of(Connection &db, const std::string &sql, const std::vector<wire::Value> &params)
{
    std::set<std::string> out;
    for (const auto &row : db.run(sql, params).packet.rows) out.insert(wire::value_to_text(row.at(0)));
    return out;
}

GenerationResult generate_in_transaction(Connection &db, const Caller &caller, const std::string &month,
                                         const std::string &department, const std::vector<std::string> &named)
{
    // Another generation or an apply of this department's month waits for this one.
    lock_name(db, "XSTYZB02/" + month + "/" + department);
    require_month_open(db, month, department);
    if (count_of(db, "SELECT COUNT(*) FROM XSTYZB01 WHERE NYUE00=? AND CKDM00=?", {month, department}) == 0)
        refuse("对应年月的上级计划还未生成，请先生成上级计划");
    if (count_of(db, "SELECT COUNT(*) FROM XSTYXSZB WHERE NYUE00=?", {month}) == 0)
        refuse("没有该年月的销售指标，不能生成！");
    const auto visit = codes_of(db, "SELECT RYDM00 FROM GSTRYGL0 WHERE FXY000='Y' AND CKDM00=?", {department});
    const auto planned =
        codes_of(db, "SELECT DISTINCT RYDM00 FROM XSTYZB02 WHERE NYUE00=? AND CKDM00=?", {month, department});

    GenerationResult result;
    std::vector<std::string> targets;
    if (named.empty()) {
        std::set_difference(visit.begin(), visit.end(), planned.begin(), planned.end(), std::back_inserter(targets));
    } else {
        std::string strangers;
        for (const auto &code : named)
            if (!visit.count(code)) strangers += (strangers.empty() ? "" : "、") + code;
        if (!strangers.empty()) refuse("人员 " + strangers + " 不是该访销部的访销员，不能生成计划");
        for (const auto &code : named) (planned.count(code) ? result.skipped : targets).push_back(code);
    }
    for (const auto &salesman : targets) {
        // The dialog's own generation, with its audit records.
        const CataloguedStatement statement =
            module_statement(StatementId::PlanGeneration, month, department, salesman);
        const std::vector<wire::Value> params(statement.values.begin(), statement.values.end());
        run_recorded(db, caller, statement, adapt_statement(statement.sql, db.kind()), params);
        result.generated.push_back(salesman);
    }
    return result;
}

}  // namespace

GenerationResult generate_plans(Connection &db, const Caller &caller, int &savepoints, const std::string &month,
                                const std::string &department, const std::vector<std::string> &salesmen)
{
    // Each code once, in order.
    std::vector<std::string> named;
    for (const auto &code : salesmen)
        if (std::find(named.begin(), named.end(), code) == named.end()) named.push_back(code);

    const bool own = !db.in_transaction();
    const std::string savepoint = "plan_generation_" + std::to_string(++savepoints);
    if (own) db.begin_write();
    else db.savepoint(savepoint);
    try {
        GenerationResult result = generate_in_transaction(db, caller, month, department, named);
        if (own) db.commit();
        else db.release_savepoint(savepoint);
        return result;
    } catch (...) {
        try {
            if (own) db.rollback();
            else db.rollback_to_savepoint(savepoint);
        } catch (const ServerError &) {
            // Only a lost connection gets here; the database then drops the work itself.
        }
        throw;
    }
}

}  // namespace appserver
