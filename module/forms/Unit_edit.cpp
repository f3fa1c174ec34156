#include "Unit_edit.h"

#include <QAbstractItemDelegate>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QStringList>

#include <algorithm>

#include "TAALinkLabel.h"
#include "TFlatComboBox.h"
#include "TdxDBGrid.h"
#include "Unit_Inputtime.h"
#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "combo_list.h"
#include "form_support.h"
#include "module_state.h"
#include "plan_commands.h"
#include "plan_vocabulary.h"
#include "quantity_checks.h"
#include "ui.h"
#include "unit_getsetting.h"

using namespace saleplan;

namespace {

const QString kSaveFailed = QStringLiteral("保存失败");
const QString kAskSave = QStringLiteral("数据已经改动，是否保存？");
const QString kWarning = QStringLiteral("警告");

const QString kDeleteRowQuestion = QStringLiteral("确实要删除该条记录吗？");

void show_refusal(QWidget *form, const Refusal &refusal)
{
    ui::message_box(form, QString::fromStdString(refusal.text), QString::fromStdString(refusal.caption),
                    refusal.flags);
}

}  // namespace

TFm_edit::TFm_edit(QWidget *owner) : TFm_Base(owner)
{
    setObjectName(QStringLiteral("Fm_edit"));
    forms::design_full_size_form(*this, QStringLiteral("访销部月计划数量编辑"), QStringLiteral("访销员月计划数量编辑"),
                                 576, 407);

    // The label sits on the heading strip at its designed spot; it has no action.
    AAyear = new TAALinkLabel(QStringLiteral("年度计划"), pn_gl);
    AAyear->setObjectName(QStringLiteral("AAyear"));
    AAyear->setFont(design_font(QStringLiteral("宋体"), 12));
    QPalette label = AAyear->palette();
    label.setColor(QPalette::WindowText, palette().color(QPalette::WindowText));
    AAyear->setPalette(label);
    AAyear->resize(AAyear->sizeHint());
    place_year_label();
    pn_gl->installEventFilter(this);

    tbok->setText(QStringLiteral("保存"));
    set_command_key(tbok, QKeySequence(Qt::CTRL | Qt::Key_S));
    for (TFlatSpeedButton *button : toolbar_buttons()) button->setVisible(button == tbok || button == tbexit);

    build_grid();

    ui::connect_guarded(tbok, &TFlatSpeedButton::clicked, this, &TFm_edit::tbokClick);
    // tbexit is connected to tbexitClick by the base form.
}

TFm_edit::~TFm_edit()
{
    // The grid lets go of the data module's dataset before either goes.
    dxDBGrid1->set_data_source(nullptr);
}

void TFm_edit::build_grid()
{
    using forms::grid_column;
    dxDBGrid1 = forms::add_plan_grid(*this, {
        grid_column("dxDBGrid1NIAN00", "NIAN00", QStringLiteral("年度"), false, 49),
        grid_column("dxDBGrid1XHAO00", "XHAO00", QStringLiteral("序号"), true, 60),
        grid_column("dxDBGrid1CKMC00", "CKMC00", QStringLiteral("仓库名称"), false, 91),
        grid_column("dxDBGrid1SPMC00", "SPMC00", QStringLiteral("分子商品"), false, 111),
        grid_column("dxDBGrid1SPMC01", "SPMC01", QStringLiteral("分母商品"), false, 108),
        grid_column("dxDBGrid1ZBLB00", "ZBLB00", QString(), false, 34),
        grid_column("dxDBGrid1ZBLBMC", "ZBLBMC", QStringLiteral("指标类别"), false, 102),
        grid_column("dxDBGrid1ZBMC00", "ZBMC00", QStringLiteral("指标名称"), true, 98, true, SummaryKind::Count),
        grid_column("dxDBGrid1SHZBSL", "SHZBSL", QStringLiteral("剩余计划数量(条)"), true, 113, true, SummaryKind::Sum),
        grid_column("dxDBGrid1ZBSL00", "ZBSL00", QStringLiteral("指标数量(条)"), true, 97, false, SummaryKind::Sum),
    }, [this](FooterCell &cell) { dxDBGrid1ZBMC00DrawSummaryFooter(cell); });
    dxDBGrid1->set_row_select(false);  // single cells
    dxDBGrid1->set_editing_enabled(true);

    dxDBGrid1->onKeyDown = [this](QKeyEvent *key) { ui::guarded(this, [&] { dxDBGrid1KeyDown(key); }); };
    dxDBGrid1->onEditChange = [this] { ui::guarded(this, [this] { dxDBGrid1EditChange(); }); };
    // A row the grid could not post when the cursor moved off it.
    connect(dxDBGrid1, &TdxDBGrid::handler_failed, this, [this](const QString &message) {
        ui::show_error(message, this);
    });
}

QString TFm_edit::compose_heading(const std::string &month, const std::string &dept_name,
                                  const std::string &salesman_name)
{
    const std::string heading = month.substr(0, 4) + "年" + (month.size() > 4 ? month.substr(4, 2) : std::string()) +
                                "月" + dept_name + salesman_name + "销售计划";
    return QString::fromStdString(heading);
}

void TFm_edit::place_year_label()
{
    const int heading_width = QFontMetrics(pn_gl->font()).horizontalAdvance(pn_gl->text());
    const int heading_right = (pn_gl->width() + heading_width) / 2;
    AAyear->move(std::max(pixels(711), heading_right + pixels(8)), pixels(8));
}

bool TFm_edit::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == pn_gl && event->type() == QEvent::Resize) place_year_label();
    return TFm_Base::eventFilter(watched, event);
}

void TFm_edit::FormActivate()
{
    short_date_format = "yyyy-mm-dd";
    data_changed = false;

    Tdm_yearplan &dm = current_data_module();
    // The plan about to be edited becomes the selection in force; the heading
    // names its codes, also one its list does not hold.
    const PlanSelection editing{plan_month, dept_code, salesman_code};
    std::pair<std::string, std::string> names;
    if (Fm_saleplan) {
        names = Fm_saleplan->names_of(editing);
    } else {
        names = {fetch_department_name(dm.cds_temp, dept_code),
                 fetch_salesman_name(dm.cds_temp, salesman_code, {dept_code})};
    }
    pn_gl->setText(compose_heading(plan_month, names.first, names.second));
    place_year_label();

    dxDBGrid1->set_data_source(&dm.ds_xstnzb02);
    // The quantities still free are those of the month being edited.
    open_statement(dm.CDS_LOOKUP, remaining_quantity_statement(plan_month, dept_code, salesman_code));
    reload_plan_view(dm);
    // Without a row there is nothing to edit; no blank row is started.
    dm.cds_xstyzb02.edit();
    focus_quantity_cell();
}

void TFm_edit::focus_quantity_cell()
{
    const int column = dxDBGrid1->column_index(QStringLiteral("dxDBGrid1ZBSL00"));
    const dataset::ClientDataset *cds = dxDBGrid1->dataset();
    dxDBGrid1->setFocus(Qt::OtherFocusReason);
    if (!cds || cds->rec_no() < 0) return;
    dxDBGrid1->setCurrentIndex(dxDBGrid1->model()->index(cds->rec_no(), column));
}

bool TFm_edit::take_in_cell_editor()
{
    if (!dxDBGrid1->is_editing()) return true;
    QWidget *editor = dxDBGrid1->indexWidget(dxDBGrid1->currentIndex());
    if (!editor) return true;
    QAbstractItemDelegate *delegate = dxDBGrid1->itemDelegate();
    emit delegate->commitData(editor);
    if (!dxDBGrid1->last_edit_error().isEmpty()) {
        ui::show_error(dxDBGrid1->last_edit_error(), this);
        return false;
    }
    emit delegate->closeEditor(editor, QAbstractItemDelegate::NoHint);
    return true;
}

void TFm_edit::dxDBGrid1KeyDown(QKeyEvent *key)
{
    if (key->key() == Qt::Key_Delete && key->modifiers() == Qt::ControlModifier) {
        delete_row(key);
        return;
    }
    if (TdxDBGrid::key_code(key) != 13) return;
    dataset::ClientDataset &cds = current_data_module().cds_xstyzb02;
    if (cds.rec_no() < 0) return;
    cds.post();
    if (const auto refusal = refusal_on_enter(cds))
        show_refusal(this, *refusal);  // the cursor stays on the row
    else
        cds.next();
}

void TFm_edit::delete_row(QKeyEvent *key)
{
    // With the cell editor open the key belongs to the editor's text.
    if (dxDBGrid1->is_editing()) return;
    key->accept();
    dataset::ClientDataset &cds = current_data_module().cds_xstyzb02;
    if (!cds.active() || cds.record_count() == 0) return;
    if (ui::message_box(this, kDeleteRowQuestion, kWarning, ui::mb::ok_cancel | ui::mb::icon_question) !=
        ui::result_ok)
        return;
    // Pending like a typed quantity: the next save sends it, a close without
    // saving drops it.
    cds.delete_current();
    data_changed = true;
    focus_quantity_cell();
}

void TFm_edit::dxDBGrid1EditChange() { data_changed = true; }

void TFm_edit::dxDBGrid1ZBMC00DrawSummaryFooter(FooterCell &cell) { forms::draw_total_footer(cell); }

void TFm_edit::tbokClick() { save(); }

bool TFm_edit::save()
{
    if (!take_in_cell_editor()) return false;
    if (!selection_for_command(this)) return false;
    dataset::ClientDataset &cds = current_data_module().cds_xstyzb02;
    cds.edit();
    cds.post();

    // Every row within what its department has left, or nothing is sent.
    if (const auto refusal = refusal_on_save(cds)) {
        show_refusal(this, *refusal);  // the cursor rests on the row it names
        return false;
    }

    cds.first();
    const int errors = cds.apply_updates(0);
    cds.edit();
    if (errors > 0) {
        // Nothing was applied: the typed quantities stay pending and the
        // editor still counts as changed. The server's reasons go into the
        // details, and what the department really has left (another planner
        // may have saved meanwhile) is shown from now on.
        QStringList reasons;
        for (const auto &e : cds.last_apply_errors()) reasons << QString::fromStdString(e.message);
        ui::message_box(this, kSaveFailed, kWarning, ui::mb::ok | ui::mb::icon_information,
                        reasons.join(QLatin1Char('\n')));
        reload_remaining_quantities();
        return false;
    }
    data_changed = false;
    return true;
}

void TFm_edit::reload_remaining_quantities()
{
    Tdm_yearplan &dm = current_data_module();
    dataset::ClientDataset &cds = dm.cds_xstyzb02;
    const int row = cds.rec_no();
    open_statement(dm.CDS_LOOKUP, remaining_quantity_statement(plan_month, dept_code, salesman_code));
    if (row >= 0 && row < cds.record_count()) cds.move_to(row);
    cds.edit();
    dxDBGrid1->viewport()->update();
}

void TFm_edit::tbexitClick()
{
    // Guarded also when it is called directly rather than from the button.
    ui::guarded(this, [this] { exit_command(); });
}

void TFm_edit::exit_command()
{
    if (!data_changed) {
        close();
        return;
    }
    switch (ui::message_box(this, kAskSave, kWarning,
                            ui::mb::yes_no_cancel | ui::mb::icon_question | ui::mb::default_button3)) {
    case ui::result_yes:
        // Closes only on a save that went through; otherwise the save's
        // message has been shown and the typed quantities stay.
        if (save()) close();
        break;
    case ui::result_no:
        close();
        break;
    default:
        break;  // the editor stays open
    }
}

void TFm_edit::refresh_main_form()
{
    if (Fm_saleplan) {
        Fm_saleplan->cb_add();
        // The refill shows the first items; the main form goes back to the
        // month, department and salesman whose rows it is about to show.
        Fm_saleplan->show_selection_in_force();
    }
    if (!dm_yearplan) return;
    reload_plan_view(*dm_yearplan);  // what was not applied is dropped
}

void TFm_edit::FormClose(QCloseEvent *event)
{
    bool refreshed = false;
    ui::guarded(this, [&] {
        refresh_main_form();
        refreshed = true;
    });
    if (!refreshed) {
        // A failed reload ends the close; the editor stays open.
        event->ignore();
        return;
    }
    TFm_Base::FormClose(event);  // close action "free"
}

void TFm_saleplan::tbeditClick()
{
    // The editor opens on the plan in view and on nothing else.
    const PlanSelection *in_force = selection_for_command(this);
    if (!in_force) return;
    plan_month = in_force->month;
    dept_code = in_force->dept;
    salesman_code = in_force->salesman;
    TFm_edit::open(this);
}

void TFm_edit::open(QWidget *owner)
{
    auto *editor = new TFm_edit(owner);
    Fm_edit = editor;
    if (settings_reader) settings_reader->apply_form_settings(editor, QStringLiteral("B"));
    ui::show_modal(editor);  // the editor frees itself when it closes
}
