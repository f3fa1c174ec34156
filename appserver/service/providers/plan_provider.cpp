// dsp_xstyzb02cys on the customer object: the salesman plan rows (all of
// them, or one month's with the parameter NYUE00) with their row identities,
// and applying changes to them. The rows are read once, into whichever sink
// the call brings: the same reading serves the in-process link and HTTP.
// A call for a month that names the version the client holds is answered
// "current" in a few bytes while the month's rows keep that version.
#include <optional>

#include "contract.h"
#include "plan_changes.h"
#include "plan_rules.h"
#include "plan_versions.h"
#include "provider.h"
#include "server_text.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

const char *kPlanQuery = "SELECT NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC,ROWID00 "
                         "FROM XSTYZB02 ORDER BY ROWID00";
// One month of it: the rows of every department and salesman in that month,
// the month bound as a parameter.
const char *kPlanMonthQuery = "SELECT NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC,ROWID00 "
                              "FROM XSTYZB02 WHERE NYUE00=? ORDER BY ROWID00";
// The row identities of the same rows, in the same order: the packet carries
// them ahead of the rows.
const char *kPlanIdQuery = "SELECT ROWID00 FROM XSTYZB02 ORDER BY ROWID00";
const char *kPlanMonthIdQuery = "SELECT ROWID00 FROM XSTYZB02 WHERE NYUE00=? ORDER BY ROWID00";

// One row of the plan query as the provider delivers it: text columns as
// text, number columns as finite numbers (or empty). The row is left with
// its identity at the end; the fields are the values before it.
wire::RowId take_plan_row(wire::Row &row)
{
    const auto id = static_cast<wire::RowId>(wire::value_to_double(row.back()));
    const auto &fields = contract::plan_fields();
    for (std::size_t c = 0; c + 1 < row.size(); ++c) {
        auto &v = row[c];
        if (wire::is_null(v)) continue;
        if (fields[c].type == wire::FieldType::String) {
            if (!std::holds_alternative<std::string>(v)) v = wire::value_to_text(v);
        }
        else if (auto q = stored_quantity(v)) v = *q;
        else v = wire::Value{};  // a number column holding text that is no number
    }
    return id;
}

// The month a records call asks for; none: every row.
std::optional<std::string> plan_month(const wire::ProviderParams &params)
{
    std::optional<std::string> month;
    for (const auto &[name, value] : params) {
        if (!equal_ignoring_case(name, contract::kMonthParam))
            throw ServerError(Kind::BadRequest,
                              "provider dsp_xstyzb02cys takes only the parameter NYUE00 (the month), not \"" + name +
                                  "\"");
        if (month) throw ServerError(Kind::BadRequest, "provider dsp_xstyzb02cys: the parameter NYUE00 is given twice");
        month = value;
    }
    return month;
}

class PlanProvider final : public Provider {
public:
    PlanProvider() : Provider(contract::kPlanProvider) {}

    // The identities and the rows are read by two statements; one snapshot
    // of the table serves both, so that a plan saved meanwhile by another
    // planner cannot put an identity without its row into the packet.
    void records(Call &call, const std::string &command_text, const wire::ProviderParams &params,
                 RecordsSink &sink) const override
    {
        if (!blank(command_text))
            throw ServerError(Kind::BadRequest, "provider dsp_xstyzb02cys has its own query and takes no command text");
        const auto month = plan_month(params);
        std::vector<wire::Value> args;
        if (month) args.emplace_back(*month);

        Connection &db = call.db;
        const bool own_transaction = !db.in_transaction();
        if (own_transaction) db.begin_snapshot();
        try {
            // Inside a transaction of the session's own (PostgreSQL reads each
            // statement afresh there) the two passes are checked against each
            // other: the same identities in the same order, or no packet.
            // The month's version, read in the same snapshot before its rows
            // (inside the session's own transaction, with its own changes,
            // whose marks it sees): rows read after it are never older.
            std::optional<std::string> version;
            if (month && sink.held_version()) {
                version = plan_month_version(db, *month);
                if (*version == *sink.held_version()) {
                    sink.current(*version);
                    if (own_transaction) db.commit();
                    return;
                }
            }
            std::uint64_t ids = 0, id_sum = 0;
            auto mix = [](std::uint64_t sum, wire::RowId rid) {
                return (sum ^ static_cast<std::uint64_t>(rid)) * 0x100000001b3ull + 0x9e3779b97f4a7c15ull;
            };
            sink.begin(contract::plan_fields());
            db.each_row(month ? kPlanMonthIdQuery : kPlanIdQuery, args, [&](wire::Row &row) {
                const auto rid = static_cast<wire::RowId>(wire::value_to_double(row.at(0)));
                sink.row_id(rid);
                ++ids;
                id_sum = mix(id_sum, rid);
            });
            sink.identities_done();
            std::uint64_t rows = 0, row_sum = 0;
            db.each_row(month ? kPlanMonthQuery : kPlanQuery, args, [&](wire::Row &row) {
                const wire::RowId rid = take_plan_row(row);
                ++rows;
                row_sum = mix(row_sum, rid);
                if (rows > ids) return;  // reported below
                sink.row(std::span<const wire::Value>(row.data(), row.size() - 1));
            });
            if (rows != ids || row_sum != id_sum)
                throw ServerError(Kind::Database, "the plan rows changed while they were read; open them again",
                                  contract::error::kRowsChanged);
            if (version) sink.version(*version);
            sink.end();
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

    wire::ApplyResult apply(Call &call, const wire::Delta &delta, int max_errors) const override
    {
        refuse_viewer(call);
        return apply_plan_changes(call.db, call.caller, call.savepoints, delta, max_errors);
    }
};

}  // namespace

std::unique_ptr<Provider> make_plan_provider() { return std::make_unique<PlanProvider>(); }

}  // namespace appserver
