// dsp_board on the customer object: a department's month on one board, in
// one snapshot. The rows are the department's salesman plan rows of the
// month with the plan provider's fields and row identities, so that the
// board's changes go through that provider's apply (its allocation rule,
// bounds and audit); the details are the department's plan by indicator,
// its salesmen, and its name (wire/contract.h).
#include <algorithm>
#include <map>
#include <optional>

#include "contract.h"
#include "plan_rules.h"
#include "provider.h"
#include "server_text.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

const char *kRowsQuery = "SELECT NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC,ROWID00 "
                         "FROM XSTYZB02 WHERE NYUE00=? AND CKDM00=? ORDER BY RYDM00,ROWID00";
// The department's plan by indicator, as the remaining quantity groups it.
const char *kPlanQuery = "SELECT XHAO00,MIN(ZBLB00),ZBMC00,SUM(ZBSL00),COUNT(*) FROM XSTYZB01 "
                         "WHERE NYUE00=? AND CKDM00=? GROUP BY XHAO00,ZBMC00 ORDER BY XHAO00,ZBMC00";
const char *kSalesmenQuery = "SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='Y' AND CKDM00=? ORDER BY RYDM00";
const char *kNameQuery = "SELECT RYMC00 FROM GSTRYGL0 WHERE RYDM00=?";
const char *kDepartmentQuery = "SELECT CKDM00,CKMC00 FROM GSTCKGL0 WHERE CKDM00=?";

wire::Value text_of(const wire::Value &v) { return wire::is_null(v) ? v : wire::Value(wire::value_to_text(v)); }

// A number column's value: a finite number, or empty.
wire::Value number_of(const wire::Value &v)
{
    if (auto q = stored_quantity(v)) return *q;
    return wire::Value{};
}

wire::Value integer_of(const wire::Value &v)
{
    return wire::Value(static_cast<std::int64_t>(wire::value_to_double(v)));
}

// The month and the department a records call asks for.
struct BoardParams {
    std::string month, department;
};

BoardParams board_params(const wire::ProviderParams &params)
{
    std::optional<std::string> month, department;
    for (const auto &[name, value] : params) {
        const bool is_month = equal_ignoring_case(name, contract::kMonthParam);
        if (!is_month && !equal_ignoring_case(name, contract::kDepartmentParam))
            throw ServerError(Kind::BadRequest,
                              "provider dsp_board takes only the parameters NYUE00 and CKDM00, not \"" + name + "\"");
        auto &slot = is_month ? month : department;
        if (slot)
            throw ServerError(Kind::BadRequest, "provider dsp_board: the parameter " + upper(name) + " is given twice");
        slot = value;
    }
    if (!month || month->empty())
        throw ServerError(Kind::BadRequest, "provider dsp_board needs the parameter NYUE00 (the month)");
    if (!is_month_key(*month))
        throw ServerError(Kind::BadRequest,
                          "provider dsp_board: the month \"" + *month + "\" is not a month key YYYYMM (month 01 to 12)");
    if (!department || department->empty())
        throw ServerError(Kind::BadRequest, "provider dsp_board needs the parameter CKDM00 (the department)");
    return {*month, *department};
}

class BoardProvider final : public Provider {
public:
    BoardProvider() : Provider(contract::kBoardProvider) {}

    void records(Call &call, const std::string &command_text, const wire::ProviderParams &params,
                 RecordsSink &sink) const override
    {
        if (!blank(command_text))
            throw ServerError(Kind::BadRequest, "provider dsp_board has its own queries and takes no command text");
        const BoardParams board = board_params(params);
        Connection &db = call.db;
        // Every part of the board from one state of the data.
        const bool own_transaction = !db.in_transaction();
        if (own_transaction) db.begin_snapshot();
        try {
            read(db, board, sink);
            if (own_transaction) db.commit();
        } catch (...) {
            if (own_transaction) {
                try {
                    db.rollback();
                } catch (...) {
                }
            }
            throw;
        }
    }

private:
    static void read(Connection &db, const BoardParams &board, RecordsSink &sink)
    {
        const std::vector<wire::Value> month_and_department = {board.month, board.department};
        // The salesmen's rows, held for their identities to go first: a
        // department's month is a few hundred rows.
        const auto &fields = contract::plan_fields();
        std::vector<wire::Row> rows;
        std::vector<wire::RowId> ids;
        std::map<std::string, std::int64_t> rows_of;  // salesman -> his rows
        db.each_row(kRowsQuery, month_and_department, [&](wire::Row &row) {
            ids.push_back(static_cast<wire::RowId>(wire::value_to_double(row.back())));
            wire::Row out(row.begin(), row.end() - 1);
            for (std::size_t c = 0; c < out.size(); ++c)
                out[c] = fields[c].type == wire::FieldType::String ? text_of(out[c]) : number_of(out[c]);
            ++rows_of[wire::value_to_text(out[6])];
            rows.push_back(std::move(out));
        });

        wire::DataPacket plan;
        plan.fields = contract::board_plan_fields();
        for (const auto &r : db.run(kPlanQuery, month_and_department).packet.rows)
            plan.rows.push_back({number_of(r.at(0)), text_of(r.at(1)), text_of(r.at(2)), number_of(r.at(3)),
                                 integer_of(r.at(4))});

        wire::DataPacket salesmen;
        salesmen.fields = contract::board_salesmen_fields();
        auto add_salesman = [&](const std::string &code, const wire::Value &name, const char *flag) {
            const auto held = rows_of.find(code);
            salesmen.rows.push_back({wire::Value(code), text_of(name), wire::Value(std::string(flag)),
                                     wire::Value(held == rows_of.end() ? std::int64_t{0} : held->second)});
        };
        std::map<std::string, bool> listed;
        for (const auto &r : db.run(kSalesmenQuery, {board.department}).packet.rows) {
            const std::string code = wire::value_to_text(r.at(0));
            listed[code] = true;
            add_salesman(code, r.at(1), contract::kVisitSalesman);
        }
        // Who holds plan rows of the month but is no longer a visit-salesman
        // of the department: his rows are on the board, shown as his.
        for (const auto &[code, count] : rows_of) {
            if (listed.count(code)) continue;
            const auto name = db.run(kNameQuery, {code}).packet.rows;
            add_salesman(code, name.empty() ? wire::Value{} : name[0].at(0), contract::kFormerSalesman);
        }

        wire::DataPacket department;
        department.fields = contract::board_department_fields();
        for (const auto &r : db.run(kDepartmentQuery, {board.department}).packet.rows)
            department.rows.push_back({text_of(r.at(0)), text_of(r.at(1))});

        sink.begin(fields);
        for (wire::RowId id : ids) sink.row_id(id);
        sink.identities_done();
        for (const auto &r : rows) sink.row(r);
        sink.detail(contract::kBoardDepartmentDetail, std::move(department));
        sink.detail(contract::kBoardPlanDetail, std::move(plan));
        sink.detail(contract::kBoardSalesmenDetail, std::move(salesmen));
        sink.end();
    }
};

}  // namespace

std::unique_ptr<Provider> make_board_provider() { return std::make_unique<BoardProvider>(); }

}  // namespace appserver
