// dsp_temp on the company information object: runs a command text only when
// it is one of the module's own statements (domain/statement_catalogue.h),
// its values bound as parameters; the generation and the deletion run with
// their audit records; a read's rows are written as they are read. Anything
// else is refused and logged.
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

// Width of UTF-8 text in bytes of the 8-bit Chinese code page the columns
// are sized in: one for ASCII, two for any other character.
std::size_t code_page_width(const std::string &utf8)
{
    std::size_t width = 0;
    for (unsigned char c : utf8)
        if (c < 0x80) width += 1;
        else if ((c & 0xC0) != 0x80) width += 2;
    return width;
}

// The generation stores the salesman code it is given in every plan row it
// copies: one longer than its column is refused with a message saying so, on
// both databases (SQLite would store it whole, PostgreSQL refuse it in its
// own words), before the statement runs. A month or department longer than
// its column matches no department plan row, so such a generation (like a
// read or a deletion with one) copies nothing and is let run.
void check_widths(const CataloguedStatement &m)
{
    if (m.id != StatementId::PlanGeneration) return;
    if (code_page_width(m.month) > 6 || code_page_width(m.department) > 2) return;
    if (const std::size_t width = code_page_width(m.salesman); width > 4)
        throw ServerError(Kind::BadRequest, "the salesman code is " + std::to_string(width) +
                                                " bytes long; RYDM00 holds at most 4");
}

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
        const CataloguedStatement m = allowed(call, command_text);
        // A statement that returns no rows (the generation, the deletion) runs
        // as well and gives a packet without fields.
        if (m.changes_data) {
            sink.packet(std::move(run(call, m).packet));
            return;
        }
        // A read is written as it is read, like the plan provider's rows: a
        // small answer whole, a larger one in two passes over one snapshot,
        // the memory bounded by the sink's pieces, not by the answer.
        Connection &db = call.db;
        const bool own_transaction = !db.in_transaction();
        if (own_transaction) db.begin_snapshot();
        try {
            const std::vector<wire::Value> params(m.values.begin(), m.values.end());
            const AnswerLimit limit{call.limits.max_answer_rows, call.limits.max_answer_bytes};
            bool streamed = false;
            db.stream_answer(adapt_statement(m.sql, db.kind()), params, &limit, kHeldAnswerBytes,
                             {[&](StatementResult &&whole) { sink.packet(std::move(whole.packet)); },
                              [&](const std::vector<wire::FieldDef> &fields) {
                                  streamed = true;
                                  sink.begin(fields);
                                  sink.identities_done();
                              },
                              [&](std::span<const wire::Value> row) { sink.row(row); }});
            if (streamed) sink.end();
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

    std::int64_t execute(Call &call, const std::string &command_text) const override
    {
        if (blank(command_text)) throw ServerError(Kind::BadRequest, "provider dsp_temp needs a command text to execute");
        // A SELECT runs as well; it changes no row, so the answer is 0.
        return run(call, allowed(call, command_text)).rows_affected;
    }

private:
    // An answer this small is read once and sent whole.
    static constexpr std::size_t kHeldAnswerBytes = 64 * 1024;

    // The module's statement the text is, or refused (and logged); a viewer
    // runs only the statements that change nothing.
    static CataloguedStatement allowed(Call &call, const std::string &command_text)
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
        check_widths(*m);
        return *m;
    }

    static StatementResult run(Call &call, const CataloguedStatement &m)
    {
        const std::vector<wire::Value> params(m.values.begin(), m.values.end());
        const AnswerLimit limit{call.limits.max_answer_rows, call.limits.max_answer_bytes};
        auto statement = [&] {
            return run_recorded(call.db, call.caller, m, adapt_statement(m.sql, call.db.kind()), params, &limit);
        };
        // A submitted or approved month's plans change by no statement.
        return m.changes_data ? run_in_open_month(call.db, m.month, m.department, statement) : statement();
    }
};

}  // namespace

std::unique_ptr<Provider> make_temp_provider() { return std::make_unique<TempProvider>(); }

}  // namespace appserver
