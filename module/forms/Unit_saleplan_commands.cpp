// The main form's commands that remove or print the salesman plan in view:
// 删除 (the whole month plan), 删行 (the row under the cursor) and 打印.
#include <QString>
#include <QStringList>

#include <exception>

#include "TFlatComboBox.h"
#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "combo_list.h"
#include "module_state.h"
#include "plan_commands.h"
#include "plan_vocabulary.h"
#include "report.h"
#include "template_lookup.h"
#include "ui.h"

using namespace saleplan;

const PlanSelection *selection_for_command(QWidget *form)
{
    const PlanSelection *selection = current_data_module().loaded_selection();
    if (!selection)
        ui::message_box(form, QString::fromUtf8(kViewNotLoaded), QStringLiteral("警告"),
                        ui::mb::ok | ui::mb::icon_warning);
    return selection;
}

void TFm_saleplan::tbdelClick()
{
    // Exactly the rows the view shows; with no rows in view nothing is asked.
    const PlanSelection *in_force = selection_for_command(this);
    if (!in_force) return;
    if (ui::message_box(this, QStringLiteral("确实要删除该访销员的记录吗？"), QStringLiteral("警告"),
                        ui::mb::ok_cancel | ui::mb::icon_question) != ui::result_ok)
        return;

    Tdm_yearplan &dm = current_data_module();
    const PlanSelection in_view = *in_force;
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
    if (!selection_for_command(this)) return;
    if (ui::message_box(this, QStringLiteral("确实要删除该条记录吗？"), QStringLiteral("警告"),
                        ui::mb::ok_cancel | ui::mb::icon_question) != ui::result_ok)
        return;

    dataset::ClientDataset &plan = current_data_module().cds_xstyzb02;
    // An empty view raises the dataset's own error here, before anything is sent.
    plan.delete_current();
    if (plan.apply_updates(0) > 0) {
        // The server's reasons (a month submitted or approved, a row changed
        // meanwhile) as the box's details.
        QStringList reasons;
        for (const wire::ApplyError &e : plan.last_apply_errors()) reasons << QString::fromStdString(e.message);
        ui::message_box(this, QStringLiteral("删除失败！"), QStringLiteral("警告"), ui::mb::ok | ui::mb::icon_warning,
                        reasons.join(QLatin1Char('\n')));
    }
}

void TFm_saleplan::tbprintClick()
{
    if (!selection_for_command(this)) return;
    prepare_plan_report(*this);
    frReport1->ShowReport(this);
}

void prepare_plan_report(TFm_saleplan &form)
{
    // The current folder first (a site's own template there wins), then the
    // installed data folder. Whether the file was found is of no interest:
    // without it the report goes on with the template it already holds.
    form.frReport1->LoadFromFile(report::locate_template(QString::fromLatin1(kPlanReportTemplate)));

    // The rows, the names and the month all belong to the selection in force.
    const PlanSelection in_force = current_data_module().plan_filter_in_force;
    const auto [dept_name, salesman_name] = form.names_of(in_force);
    form.frReport1->set_variable(QStringLiteral("fxbmc"), QString::fromStdString(dept_name + salesman_name));
    form.frReport1->set_variable(QStringLiteral("ywny"), QString::fromStdString(in_force.month));
}
