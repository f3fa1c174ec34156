// dsp_temp on the company information object: runs a command text only when
// it is one of the module's own statements (domain/statement_catalogue.h),
// its values bound as parameters; the generation and the deletion run with
// their audit records. Anything else is refused and logged.
#include "audit.h"
#include "contract.h"
#include "dialect.h"
#include "month_states.h"
#include "provider.h"
#include "server_log.h"
#include "server_text.h"
#include "statement_catalogue.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

class TempProvider final : public Provider {
public:
    TempProvider() : Provider(contract::kTempProvider) {}

    void records(Call &call, const std::string &command_text, const wire::ProviderParams &params,
                 RecordsSink &sink) const override
    {
        if (!params.empty())
            throw ServerError(Kind::BadRequest, "provider dsp_temp takes no parameters (its values stand in the "
                                                "command text); \"" + params.begin()->first + "\" refused");
        if (blank(command_text)) throw ServerError(Kind::BadRequest, "provider dsp_temp needs a command text to open");
        // A statement that returns no rows (the generation, the deletion) runs
        // as well and gives a packet without fields. The answer is bounded by
        // the server's limits and built whole.
        sink.packet(std::move(run(call, command_text).packet));
    }

    std::int64_t execute(Call &call, const std::string &command_text) const override
    {
        if (blank(command_text)) throw ServerError(Kind::BadRequest, "provider dsp_temp needs a command text to execute");
        // A SELECT runs as well; it changes no row, so the answer is 0.
        return run(call, command_text).rows_affected;
    }

private:
    // A viewer runs only the statements that change nothing.
    static StatementResult run(Call &call, const std::string &command_text)
    {
        const auto m = match_module_statement(command_text);
        if (!m) {
            std::string shown = command_text.substr(0, 80);
            for (char &c : shown)
                if (static_cast<unsigned char>(c) < ' ') c = ' ';
            log_line("statement not allowed: session=" + call.session + " user=" + call.caller.account +
                     " address=" + (call.caller.address.empty() ? "-" : call.caller.address) + " text=\"" + shown +
                     (command_text.size() > 80 ? "...\"" : "\""));
            throw ServerError(Kind::Forbidden, "statement not allowed", contract::error::kStatementNotAllowed);
        }
        if (m->changes_data) refuse_viewer(call);
        const std::vector<wire::Value> params(m->values.begin(), m->values.end());
        const AnswerLimit limit{call.limits.max_answer_rows, call.limits.max_answer_bytes};
        auto statement = [&] {
            return run_recorded(call.db, call.caller, *m, adapt_statement(m->sql, call.db.kind()), params, &limit);
        };
        // A submitted or approved month's plans change by no statement.
        return m->changes_data ? run_in_open_month(call.db, m->month, m->department, statement) : statement();
    }
};

}  // namespace

std::unique_ptr<Provider> make_temp_provider() { return std::make_unique<TempProvider>(); }

}  // namespace appserver
