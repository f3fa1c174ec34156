#include "Unit_saleplan.h"
#include "sheet_files.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>

#include <optional>
#include <vector>

#include "TAALinkLabel.h"
#include "TDateTimePicker.h"
#include "TFlatComboBox.h"
#include "TdxDBGrid.h"
#include "Unit_dmYearplan.h"
#include "combo_list.h"
#include "form_support.h"
#include "module_state.h"
#include "plan_vocabulary.h"
#include "report.h"
#include "ui.h"

using namespace saleplan;
using forms::place;

TFm_saleplan::TFm_saleplan(QWidget *parent) : TFm_Base(parent)
{
    setObjectName(QStringLiteral("Fm_saleplan"));
    forms::design_full_size_form(*this, QStringLiteral("访销部月销售计划管理"), QStringLiteral("访销员月计划管理"), 597,
                                 420);

    tbnew->setText(QStringLiteral("生成"));
    tbok->setText(QStringLiteral("删行"));
    tbok->load_glyph(QStringLiteral(":/glyphs/tbok_delete_row.bmp"));
    tbok->set_num_glyphs(1);
    for (TFlatSpeedButton *hidden : {tbpreview, tbseek, tbrefresh, tbfirst, tbprior, tbnext, tblast, tbcancel})
        hidden->setVisible(false);
    tbboard = new TFlatSpeedButton(QStringLiteral("分配"));
    tbboard->setObjectName(QStringLiteral("tbboard"));
    tbboard->load_glyph(QStringLiteral(":/glyphs/tbboard.bmp"));
    tbboard->set_num_glyphs(1);
    tbboard->set_color_border(forms::kFormColour);
    tbboard->setFocusPolicy(Qt::TabFocus);
    tbr_base->insert_button(tbboard, pixels(35), pixels(35), tbcancel);

    build_selection_row();
    build_grid();

    set_command_key(tbprint, QKeySequence(Qt::CTRL | Qt::Key_P));
    set_command_key(tbnew, QKeySequence(Qt::CTRL | Qt::Key_N));
    set_command_key(tbedit, QKeySequence(Qt::CTRL | Qt::Key_E));
    set_command_key(tbdel, QKeySequence(Qt::CTRL | Qt::Key_D));
    set_command_key(tbok, QKeySequence(Qt::Key_Delete));
    set_command_key(tbboard, QKeySequence(Qt::CTRL | Qt::Key_B));
    sheet_files::install_plan_export(*this);  // 导出, at the end of the toolbar

    frReport1 = new TfrReport(this);
    frReport1->setObjectName(QStringLiteral("frReport1"));
    frDBDataSet1 = new TfrDBDataSet();
    // The report reads the plan rows of whichever data module is current.
    frDBDataSet1->set_dataset_source(
        [] { return dm_yearplan ? &dm_yearplan->cds_xstyzb02 : static_cast<dataset::ClientDataset *>(nullptr); });
    frReport1->set_dataset(frDBDataSet1);

    ui::connect_guarded(cb_fxb, &TFlatComboBox::changed, this, &TFm_saleplan::cb_fxbChange);
    ui::connect_guarded(cb_fxy, &TFlatComboBox::changed, this, &TFm_saleplan::cb_fxyChange);
    ui::connect_guarded(DateTimePicker1, &TDateTimePicker::closeUp, this, &TFm_saleplan::DateTimePicker1CloseUp);
    ui::connect_guarded(DateTimePicker1, &TDateTimePicker::keyUp, this, &TFm_saleplan::DateTimePicker1KeyUp);
    ui::connect_guarded(tbfirst, &TFlatSpeedButton::clicked, this, &TFm_saleplan::tbfirstClick);
    ui::connect_guarded(tbprior, &TFlatSpeedButton::clicked, this, &TFm_saleplan::tbpriorClick);
    ui::connect_guarded(tbnext, &TFlatSpeedButton::clicked, this, &TFm_saleplan::tbnextClick);
    ui::connect_guarded(tblast, &TFlatSpeedButton::clicked, this, &TFm_saleplan::tblastClick);
    ui::connect_guarded(tbnew, &TFlatSpeedButton::clicked, this, &TFm_saleplan::tbnewClick);
    ui::connect_guarded(tbedit, &TFlatSpeedButton::clicked, this, &TFm_saleplan::tbeditClick);
    ui::connect_guarded(tbdel, &TFlatSpeedButton::clicked, this, &TFm_saleplan::tbdelClick);
    ui::connect_guarded(tbok, &TFlatSpeedButton::clicked, this, &TFm_saleplan::tbokClick);
    ui::connect_guarded(tbprint, &TFlatSpeedButton::clicked, this, &TFm_saleplan::tbprintClick);
    ui::connect_guarded(tbboard, &TFlatSpeedButton::clicked, this, &TFm_saleplan::tbboardClick);
    // tbexit is connected to tbexitClick by the base form.

    setTabOrder(cb_fxb, cb_fxy);
    setTabOrder(cb_fxy, DateTimePicker1);
    setTabOrder(DateTimePicker1, dxDBGrid1);
}

TFm_saleplan::~TFm_saleplan()
{
    // The views must let go of the data module's datasets before it can go.
    dxDBGrid1->set_data_source(nullptr);
    delete frDBDataSet1;
}

void TFm_saleplan::build_selection_row()
{
    Panel2 = new QWidget(client_area());
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setFixedHeight(pixels(30));
    client_layout()->addWidget(Panel2);

    AALinkLabel2 = place(new TAALinkLabel(QStringLiteral("访销部"), Panel2), "AALinkLabel2", 189, 8, 36);
    cb_fxb = place(new TFlatComboBox(Panel2), "cb_fxb", 232, 4, 146, 20);
    AALinkLabel1 = place(new TAALinkLabel(QStringLiteral("年月"), Panel2), "AALinkLabel1", 7, 8, 24);
    cb_fxy = place(new TFlatComboBox(Panel2), "cb_fxy", 426, 4, 146, 20);
    AALinkLabel3 = place(new TAALinkLabel(QStringLiteral("访销员"), Panel2), "AALinkLabel3", 386, 8, 36);
    DateTimePicker1 = place(new TDateTimePicker(Panel2), "DateTimePicker1", 34, 4, 146, 20);

    for (TFlatComboBox *combo : {cb_fxb, cb_fxy}) {
        combo->setItemHeight(12);
        combo->setColor(palette().color(QPalette::Base));
        combo->setKeyPressHandler([this](QKeyEvent *key, bool &discard) {
            ui::guarded(this, [&] { CB_yearKeyPress(key, discard); });
        });
    }
}

void TFm_saleplan::build_grid()
{
    using forms::grid_column;
    dxDBGrid1 = forms::add_plan_grid(*this, {
        grid_column("dxDBGrid1XHAO00", "XHAO00", QStringLiteral("序号"), true, 80),
        grid_column("dxDBGrid1ZBLBMC", "ZBLBMC", QStringLiteral("指标类别"), false, 117),
        grid_column("dxDBGrid1ZBMC00", "ZBMC00", QStringLiteral("指标名称"), true, 113, true, SummaryKind::Count),
        grid_column("dxDBGrid1ZBSL00", "ZBSL00", QStringLiteral("指标数量(条)"), true, 108, true, SummaryKind::Sum),
        grid_column("dxDBGrid1ZBLB00", "ZBLB00", QString(), false, 39),
        grid_column("dxDBGrid1SHZBSL", "SHZBSL", QString(), false, 63),
    }, [this](FooterCell &cell) { dxDBGrid1ZBMC00DrawSummaryFooter(cell); });
    dxDBGrid1->set_row_select(true);
    dxDBGrid1->set_summary_separator(QStringLiteral(", "));
    // The main grid only shows the plan; quantities are typed in the quantity editor.
    dxDBGrid1->set_editing_enabled(false);
}

void TFm_saleplan::bind_views() { dxDBGrid1->set_data_source(dm_yearplan ? &dm_yearplan->ds_xstnzb02 : nullptr); }

void TFm_saleplan::FormActivate()
{
    short_date_format = "YYYY-MM-DD";
    DateTimePicker1->setDateTime(QDateTime::currentDateTime());
    plan_month = month_key(DateTimePicker1->date());
    shown_month = plan_month;

    // One data module per showing; one left by a showing that ended without
    // the exit command goes now.
    release_data_module();
    dm_yearplan = new Tdm_yearplan();
    dm_yearplan->set_computer_name(server_name);
    dm_yearplan->on_selection_in_force = [this] { show_month_lock(); };
    bind_views();
    // The keyboard starts on the plan rows, not on the first toolbar command
    // (where Enter would print at once).
    dxDBGrid1->setFocus(Qt::OtherFocusReason);

    // The month the plan row filter below selects from, read once: the
    // lookup of the hidden remaining-quantity column takes the same rows (its
    // statement reads the month's plan rows of every salesman, all there).
    open_plan_rows(*dm_yearplan, plan_month);
    dm_yearplan->CDS_LOOKUP.close();
    dm_yearplan->CDS_LOOKUP.set_command_text(month_plan_rows_statement(shown_month));
    dm_yearplan->CDS_LOOKUP.open_from(dm_yearplan->cds_xstyzb02);
    cb_add();
    dept_code = code_of(text_of(cb_fxb));
    salesman_code = code_of(text_of(cb_fxy));
    apply_plan_filter(*dm_yearplan);

    // A viewer account may change nothing: the same commands as browse mode.
    if (is_browse_mode(open_mode) || remote::account_is_viewer(server_name))
        for (TFlatSpeedButton *command : {tbedit, tbdel, tbok, tbcancel, tbnew}) command->setEnabled(false);
}

void TFm_saleplan::cb_add()
{
    ComboList departments(cb_fxb), salesmen(cb_fxy);
    fill_departments(current_data_module().cds_temp, departments);
    fill_salesmen(current_data_module().cds_temp, code_of(text_of(cb_fxb)), salesmen);
}

void TFm_saleplan::cb_fxryadd1()
{
    ComboList salesmen(cb_fxy);
    fill_salesmen(current_data_module().cds_temp, code_of(text_of(cb_fxb)), salesmen);
    salesman_code = code_of(text_of(cb_fxy));
}

std::vector<std::string> TFm_saleplan::department_codes() const
{
    std::vector<std::string> codes;
    for (const QString &item : cb_fxb->items()) codes.push_back(code_of(item.toStdString()));
    return codes;
}

void TFm_saleplan::show_selection_in_force()
{
    Tdm_yearplan &dm = current_data_module();
    ComboList departments(cb_fxb), salesmen(cb_fxy);
    show_code_in_force(departments, dept_code, [&] { return fetch_department_name(dm.cds_temp, dept_code); });
    fill_salesmen(dm.cds_temp, code_of(text_of(cb_fxb)), salesmen);
    std::vector<std::string> depts = department_codes();
    depts.insert(depts.begin(), dept_code);
    show_code_in_force(salesmen, salesman_code,
                       [&] { return fetch_salesman_name(dm.cds_temp, salesman_code, depts); });

    // The picker shows plan_month, keeping its day where the month has it.
    const QDate today = DateTimePicker1->date();
    const int year = std::stoi(plan_month.substr(0, 4));
    const int month = std::stoi(plan_month.substr(4, 2));
    const int day = std::min(today.day(), QDate(year, month, 1).daysInMonth());
    DateTimePicker1->setDate(QDate(year, month, day));
}

std::pair<std::string, std::string> TFm_saleplan::names_of(const PlanSelection &selection)
{
    Tdm_yearplan &dm = current_data_module();
    const ComboList departments(cb_fxb), salesmen(cb_fxy);
    std::optional<std::string> dept = name_in_list(departments, selection.dept);
    if (!dept) dept = fetch_department_name(dm.cds_temp, selection.dept);
    std::optional<std::string> salesman;
    // The salesman list holds the salesmen of the department it was filled for.
    if (code_of(text_of(cb_fxb)) == selection.dept) salesman = name_in_list(salesmen, selection.salesman);
    if (!salesman) {
        std::vector<std::string> depts = department_codes();
        depts.insert(depts.begin(), selection.dept);
        salesman = fetch_salesman_name(dm.cds_temp, selection.salesman, depts);
    }
    return {*dept, *salesman};
}

void TFm_saleplan::cb_fxbChange()
{
    Tdm_yearplan &dm = current_data_module();
    dept_code = code_of(text_of(cb_fxb));
    cb_fxryadd1();
    // The rows already loaded (the month's, of every department) are
    // filtered again; nothing is fetched, unless an earlier reload failed and
    // there are no rows to filter, or the month in force is not the one loaded.
    if (dm.plan_view_loaded && plan_rows_month(dm) == plan_month)
        apply_plan_filter(dm);
    else
        reload_plan_view(dm);
}

void TFm_saleplan::cb_fxyChange()
{
    Tdm_yearplan &dm = current_data_module();
    salesman_code = code_of(text_of(cb_fxy));
    reload_plan_view(dm);
}

void TFm_saleplan::CB_yearKeyPress(QKeyEvent *, bool &discard)
{
    // The lists change only by choosing an item.
    discard = true;
}

void TFm_saleplan::DateTimePicker1CloseUp() { month_changed(); }

void TFm_saleplan::DateTimePicker1KeyUp(int) { month_changed(); }

void TFm_saleplan::month_changed()
{
    short_date_format = "YYYY-MM-DD";
    plan_month = month_key(DateTimePicker1->date());
    dept_code = code_of(text_of(cb_fxb));
    salesman_code = code_of(text_of(cb_fxy));
    Tdm_yearplan &dm = current_data_module();
    // Another day of the month in view costs no server call (once the view
    // holds its rows).
    if (shown_month == plan_month && dm.plan_view_loaded && plan_rows_month(dm) == plan_month) return;
    reload_plan_view(dm);
}

void TFm_saleplan::dxDBGrid1ZBMC00DrawSummaryFooter(FooterCell &cell) { forms::draw_total_footer(cell); }

void TFm_saleplan::tbfirstClick() { current_data_module().cds_xstyzb02.first(); }
void TFm_saleplan::tbpriorClick() { current_data_module().cds_xstyzb02.prior(); }
void TFm_saleplan::tbnextClick() { current_data_module().cds_xstyzb02.next(); }
void TFm_saleplan::tblastClick() { current_data_module().cds_xstyzb02.last(); }

void TFm_saleplan::release_data_module()
{
    if (!dm_yearplan) return;
    // The views let go of the data module's datasets before it goes.
    dxDBGrid1->set_data_source(nullptr);
    delete dm_yearplan;
    dm_yearplan = nullptr;
}

void TFm_saleplan::tbexitClick()
{
    release_data_module();
    (Fm_saleplan ? Fm_saleplan.data() : this)->close();
}

void TFm_saleplan::FormClose(QCloseEvent *event)
{
    TFm_Base::FormClose(event);  // close action "free"
}
