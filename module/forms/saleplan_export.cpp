// 导出 on the main form: the salesman's plan in view, as the grid shows it
// (its rows, its visible columns, their headers), under a heading with the
// month, the department and the salesman, as .xlsx or CSV.
#include "Unit_saleplan.h"

#include "TFlatComboBox.h"
#include "TFlatSpeedButton.h"
#include "TdxDBGrid.h"
#include "form_support.h"
#include "module_state.h"
#include "plan_vocabulary.h"
#include "sheet_files.h"
#include "ui.h"

using namespace saleplan;

namespace {

void export_plan(TFm_saleplan &form)
{
    const std::string department = code_of(form.cb_fxb->currentText().toStdString());
    const std::string salesman = code_of(form.cb_fxy->currentText().toStdString());
    const auto choice = sheet_files::choose(
        &form, true, QStringLiteral("导出访销员计划"),
        QString::fromStdString(sheets::default_file_name("访销员计划", plan_month, salesman, "xlsx")),
        {QStringLiteral("Excel 工作簿 (*.xlsx)"), QStringLiteral("CSV 文件 (*.csv)")});
    if (!choice) return;
    const sheets::Sheet sheet = sheet_files::view_sheet(
        *form.dxDBGrid1, department + " " + salesman + " " + name_of(form.cb_fxy->currentText().toStdString()),
        {std::string(sheets::kMonthLabel), plan_month, std::string(sheets::kDepartmentLabel), department,
         name_of(form.cb_fxb->currentText().toStdString()), std::string("访销员"), salesman,
         name_of(form.cb_fxy->currentText().toStdString())});
    const std::string path = choice->path.toStdString();
    const auto failed = choice->filter == 1 || choice->path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive)
                            ? sheets::write_csv(path, sheet)
                            : sheets::write_xlsx(path, {sheet});
    if (failed)
        ui::message_box(&form, QString::fromStdString(*failed), QStringLiteral("警告"), ui::mb::ok | ui::mb::icon_warning);
    else
        ui::message_box(&form, QStringLiteral("已导出到 %1").arg(choice->path), QStringLiteral("提示"),
                        ui::mb::ok | ui::mb::icon_information);
}

}  // namespace

namespace sheet_files {

void install_plan_export(TFm_saleplan &form)
{
    auto *button = new TFlatSpeedButton(QStringLiteral("导出"));
    button->setObjectName(QStringLiteral("tbexport"));
    button->setAccessibleName(QStringLiteral("导出"));
    button->load_glyph(QStringLiteral(":/glyphs/tbpreview.bmp"));
    button->set_num_glyphs(1);
    button->set_color_border(forms::kFormColour);
    button->setFocusPolicy(Qt::TabFocus);
    form.tbr_base->add_button(button, TFm_Base::pixels(35), TFm_Base::pixels(35));
    TFm_Base::set_command_key(button, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
    QObject::connect(button, &TFlatSpeedButton::clicked, &form, [&form] { ui::guarded(&form, [&] { export_plan(form); }); });
}

}  // namespace sheet_files
