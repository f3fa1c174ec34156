// The main form's commands that remove or print the salesman plan in view:
// 删除 (the whole month plan), 删行 (the row under the cursor) and 打印.
#include <QString>

#include <exception>
#include <stdexcept>

#include "TFlatComboBox.h"
#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "combo_list.h"
#include "module_state.h"
#include "plan_commands.h"
#include "plan_vocabulary.h"
#include "report.h"
#include "ui.h"

using namespace saleplan;

namespace {

// The commands only run on a shown form, whose activation made the data module.
Tdm_yearplan &current_data_module()
{
    if (!dm_yearplan) throw std::logic_error("plan data module is not open");
    return *dm_yearplan;
}

// Fetches the plan rows again and filters them to the selection in force.
void reload_plan_view(Tdm_yearplan &dm)
{
    dm.cds_xstyzb02.close();
    dm.cds_xstyzb02.open();
    apply_plan_filter(dm);
    // The view now holds plan_month's rows, also where a failed month reload
    // had left it on another month.
    shown_month = plan_month;
}

}  // namespace

void TFm_saleplan::tbdelClick()
{
    if (ui::message_box(this, QStringLiteral("确实要删除该访销员的记录吗？"), QStringLiteral("警告"), 33) != ui::result_ok)
        return;

    Tdm_yearplan &dm = current_data_module();
    // Exactly the rows the view is filtered to: after a month reload that
    // failed, plan_month already names a month nobody sees.
    const PlanSelection in_view = dm.plan_filter_in_force;
    try {
        run_in_server_transaction(dm, delete_plan_statement(in_view.month, in_view.dept, in_view.salesman),
                                  [&dm] { reload_plan_view(dm); });
    } catch (const std::exception &e) {
        // The transaction has been rolled back (a failing roll-back call
        // brings its own error here instead); the planner learns why nothing
        // was deleted, and rows that were not deleted stay in view.
        ui::show_error(QString::fromUtf8(e.what()), this);
    }
}

void TFm_saleplan::tbokClick()
{
    if (ui::message_box(this, QStringLiteral("确实要删除该条记录吗？"), QStringLiteral("警告"), 33) != ui::result_ok)
        return;

    dataset::ClientDataset &plan = current_data_module().cds_xstyzb02;
    // An empty view raises the dataset's own error here, before anything is sent.
    plan.delete_current();
    if (plan.apply_updates(0) > 0)
        ui::message_box(this, QStringLiteral("删除失败！"), QStringLiteral("警告"), 48);
}

void TFm_saleplan::tbprintClick()
{
    prepare_plan_report(*this);
    frReport1->ShowReport(this);
}

void prepare_plan_report(TFm_saleplan &form)
{
    // Whether the file was there is of no interest: without it the report
    // goes on with the template it already holds.
    form.frReport1->LoadFromFile(QString::fromLatin1(kPlanReportTemplate));

    const std::string names = name_of(text_of(form.cb_fxb)) + name_of(text_of(form.cb_fxy));
    // The month of the rows in view, which is plan_month on every path but a
    // failed month reload.
    const std::string month = dm_yearplan ? dm_yearplan->plan_filter_in_force.month : plan_month;
    form.frReport1->set_variable(QStringLiteral("fxbmc"), QString::fromStdString(names));
    form.frReport1->set_variable(QStringLiteral("ywny"), QString::fromStdString(month));
}
