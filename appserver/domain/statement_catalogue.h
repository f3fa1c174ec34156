// The statements the module sends through the generic provider, as shapes:
// the module's exact text with each variable value a slot. A text is run only
// when it has one of these shapes; its slot values are then bound as
// parameters of the parametrised statement, never placed into its text.
//
// What a text must be to match:
//  - outside its slots, byte for byte the module's text: the same case, the
//    same blanks, the fixed literals ('F', 'HZ', 'Y', the generation's '0')
//    as they are; no leading or trailing blanks, no ";", no comment, nothing
//    after the statement (the module sends none of these);
//  - a slot is one SQL string literal: a quote, any characters with '' for
//    one quote, a closing quote;
//  - where the module places the same value twice (the month and department
//    of the remaining quantities, the department of the generation) both
//    slots hold the same value;
//  - at most kMaxStatementLength bytes and no NUL byte.
// Matching takes time linear in the text's length.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace appserver {

enum class StatementId {
    Departments,
    Salesmen,
    MonthPlanRows,
    RemainingQuantities,
    DepartmentPlanCount,
    SalesmanPlanRows,
    SalesIndicators,
    PlanGeneration,
    PlanDeletion
};

struct CataloguedStatement {
    StatementId id;
    const char *name;   // "departments", "plan generation", ... for log lines
    bool changes_data;  // generation and deletion
    // The module's text with each slot replaced by "?", still in the module's
    // dialect: run it through adapt_statement, then with values as parameters.
    std::string sql;
    std::vector<std::string> values;  // the slot values in order, doubled quotes undone
    // The named values; empty where the statement has none.
    std::string month, department, salesman;
};

// The longest text looked at; a longer one is refused without reading it.
constexpr std::size_t kMaxStatementLength = 64 * 1024;

// The catalogue entry whose shape the text has, with its slot values;
// nullopt for any other text.
std::optional<CataloguedStatement> match_module_statement(std::string_view text);

// The entry of one of the module's statements with the given values in its
// slots: what match_module_statement gives for the module's own text with
// those values, for the server's own callers (the generation of several
// plans at once runs the module's generation this way).
CataloguedStatement module_statement(StatementId id, const std::string &month, const std::string &department,
                                     const std::string &salesman);

}  // namespace appserver
