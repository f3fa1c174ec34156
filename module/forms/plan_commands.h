// What the main form's 打印 command hands the report engine, apart from
// showing it: the template and the two report variables. Tests render the
// same report to PDF after this step instead of opening the preview. And the
// one check every command acting on the plan in view makes first.
#pragma once

class QWidget;
class TFm_saleplan;
struct PlanSelection;

// The printout's template file, looked up in the current directory, then in
// the installed data folder (report::locate_template).
inline constexpr const char *kPlanReportTemplate = "fxyyxszb.frf";

// The refusal of a command when the plan view failed to load.
inline constexpr const char *kViewNotLoaded = "计划数据未能载入，请重新选择";

// The selection in force when the view holds its rows. Otherwise the planner
// is told that the plan data did not load ("警告", flags 48) and nullptr is
// returned: the command then acts on nothing.
const PlanSelection *selection_for_command(QWidget *form);

// Loads "fxyyxszb.frf" into the form's report and sets the report variables:
// "fxbmc", the department name followed directly by the salesman name of the
// selection in force, and "ywny", the month of the plan rows in view.
// A missing template file changes nothing and is no error (the report keeps
// the template it holds); one that cannot be read or is not a valid template
// throws report::ReportError before any variable is touched.
void prepare_plan_report(TFm_saleplan &form);
