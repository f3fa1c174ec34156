// The shared vocabulary of the plan data: month keys, code-name items, the
// statements that fill the department and salesman lists, the plan row
// filter, and the one way a value is placed into a statement.
#pragma once

#include <QDate>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Unit_dmYearplan.h"

// A value between single quotes, any quote inside doubled, so that no value
// can change the statement it is placed in. For every ordinary value the
// result is the value between quotes, byte for byte.
std::string quoted(std::string_view value);
// Exact overloads, so a call with a std::string or a literal never picks
// std::quoted of <iomanip> through argument-dependent lookup.
inline std::string quoted(const std::string &value) { return quoted(std::string_view(value)); }
inline std::string quoted(const char *value) { return quoted(std::string_view(value)); }

// Month key YYYYMM: the year, then the month with two digits (200303, 200311).
std::string month_key(int year, int month);
std::string month_key(const QDate &date);

// Code-name items "code|name": the text before and after the first "|".
// Without "|" the code is empty and the name is the whole item.
std::string code_of(std::string_view item);
std::string name_of(std::string_view item);

std::string department_statement();
std::string salesman_statement(const std::string &dept);

// The statements of the forms, with their values in place.
// Every salesman plan row of a month (the main form's first CDS_LOOKUP load).
std::string month_plan_rows_statement(const std::string &month);
// The quantity still free per indicator for a salesman: the department's
// quantity less what the department's other salesmen hold.
std::string remaining_quantity_statement(const std::string &month, const std::string &dept,
                                         const std::string &salesman);
// How many indicator rows the department's own plan has for a month (field SL).
std::string department_plan_count_statement(const std::string &dept, const std::string &month);
// The salesman plan rows of a month, department and salesman.
std::string salesman_plan_statement(const std::string &month, const std::string &dept,
                                    const std::string &salesman);
// The sales indicators of a month.
std::string sales_indicator_statement(const std::string &month);
// Copies the department's plan of a month into a salesman's plan with quantity 0.
std::string generation_statement(const std::string &month, const std::string &dept, const std::string &salesman);
// Deletes a salesman's plan of a month and department.
std::string delete_plan_statement(const std::string &month, const std::string &dept, const std::string &salesman);

// The client-side filter of the plan rows of one month, department and salesman.
std::string plan_row_filter(const std::string &month, const std::string &dept, const std::string &salesman);

// Switches the filter of cds_xstyzb02 off, sets it from plan_month, dept_code
// and salesman_code of the module state and switches it on again. That
// selection becomes the one in force; the view counts as loaded when the
// plan dataset is open.
void apply_plan_filter(Tdm_yearplan &dm);

// Fetches the plan rows again and filters them to plan_month, dept_code and
// salesman_code; shown_month becomes plan_month. A fetch that fails leaves
// the view unloaded (the commands refuse) and passes the error on.
void reload_plan_view(Tdm_yearplan &dm);

// The plan provider's parameter naming the month whose rows it delivers.
inline constexpr const char *kPlanMonthParam = contract::kMonthParam;
// (Re)opens cds_xstyzb02 on one month's rows, of every department and
// salesman: all that a plan row filter of that month can show, so a change
// of department needs no fetch.
void open_plan_rows(Tdm_yearplan &dm, const std::string &month);
// The month cds_xstyzb02 holds the rows of; empty when it is closed (or was
// opened on every month).
std::string plan_rows_month(const Tdm_yearplan &dm);

// The name of a department, taken from the rows of the department statement;
// empty when the statement has no row of that code.
std::string fetch_department_name(dataset::ClientDataset &cds_temp, const std::string &dept);
// The name of a salesman, taken from the rows of the salesman statement of
// each department in `departments` in turn (the department in force first);
// empty when none of them has the salesman.
std::string fetch_salesman_name(dataset::ClientDataset &cds_temp, const std::string &salesman,
                                const std::vector<std::string> &departments);

// A list of code-name items as the fill rule sees it: a combo box on a form,
// a plain list in a test.
class CodeNameList {
public:
    virtual ~CodeNameList() = default;
    virtual void clear_all() = 0;  // the text and every item
    virtual void add_item(const std::string &item) = 0;
    virtual int item_count() const = 0;
    virtual std::string item(int index) const = 0;
    virtual void set_text(const std::string &text) = 0;
    virtual std::string text() const = 0;
};

// The fill rule: open the statement in cds_temp, clear the list, add one
// item code|name per row in the order the server returns them, show item 0
// (or the empty text when there is none).
void fill_list(dataset::ClientDataset &cds_temp, const std::string &statement, const char *code_field,
               const char *name_field, CodeNameList &list);
void fill_departments(dataset::ClientDataset &cds_temp, CodeNameList &list);
void fill_salesmen(dataset::ClientDataset &cds_temp, const std::string &dept, CodeNameList &list);

// Shows the item whose code is `code`; returns false (and changes nothing)
// when the list has no such item.
bool show_item_with_code(CodeNameList &list, const std::string &code);

// The name of the list's item whose code is `code`, if it has one.
std::optional<std::string> name_in_list(const CodeNameList &list, const std::string &code);

// Makes the list show the item of a code in force. When the list has no item
// of that code (a salesman typed in from another department, say) the item
// code|name is added, its name from `fetch_name`, so the list never shows
// another code's item in its place. An empty code shows the empty text.
void show_code_in_force(CodeNameList &list, const std::string &code,
                        const std::function<std::string()> &fetch_name);
