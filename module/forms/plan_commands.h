// What the main form's 打印 command hands the report engine, apart from
// showing it: the template and the two report variables. Tests render the
// same report to PDF after this step instead of opening the preview.
#pragma once

class TFm_saleplan;

// The printout's template file, looked up in the current directory.
inline constexpr const char *kPlanReportTemplate = "fxyyxszb.frf";

// Loads "fxyyxszb.frf" into the form's report and sets the report variables:
// "fxbmc", the department name followed directly by the salesman name as the
// two lists show them, and "ywny", the month of the plan rows in view.
// A missing template file changes nothing and is no error (the report keeps
// the template it holds); one that cannot be read or is not a valid template
// throws report::ReportError before any variable is touched.
void prepare_plan_report(TFm_saleplan &form);
