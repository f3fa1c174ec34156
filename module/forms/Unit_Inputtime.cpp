#include "Unit_Inputtime.h"

#include <QApplication>
#include <QDateTime>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>

#include <exception>

#include "Base.h"
#include "TAALinkLabel.h"
#include "TDateTimePicker.h"
#include "TFlatComboBox.h"
#include "TFlatSpeedButton.h"
#include "Unit_dmYearplan.h"
#include "Unit_edit.h"
#include "Unit_saleplan.h"
#include "combo_list.h"
#include "form_support.h"
#include "module_state.h"
#include "plan_vocabulary.h"
#include "ui.h"

using namespace saleplan;

using forms::kFormColour;
using forms::place;

// ---------------------------------------------------------------------------
// The generate command of the main form

void TFm_saleplan::tbnewClick()
{
    // The department's own plan for the month in view must exist first.
    Tdm_yearplan &dm = current_data_module();
    open_statement(dm.cds_temp, department_plan_count_statement(dept_code, shown_month));
    if (dm.cds_temp.as_float("Sl") == 0) {
        ui::message_box(this, QStringLiteral("对应年月的上级计划还未生成，请先生成上级计划"), QStringLiteral("警告"),
                        ui::mb::ok | ui::mb::icon_warning);
        return;
    }
    auto *dialog = new TFm_inputtime(nullptr);
    Fm_inputtime = dialog;
    ui::show_modal(dialog);  // the dialog frees itself when it closes
}

// ---------------------------------------------------------------------------
// The plan month dialog

TFm_inputtime::TFm_inputtime(QWidget *owner) : ModalForm(owner)
{
    ui::install_font_substitutions();
    setObjectName(QStringLiteral("Fm_inputtime"));
    setWindowTitle(QStringLiteral("计划年月"));
    // Dialog border with the window's close button only.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setSizeGripEnabled(false);
    setFixedSize(TFm_Base::pixels(253), TFm_Base::pixels(192));
    setFont(TFm_Base::design_font(QStringLiteral("宋体"), 12));
    QPalette colours = palette();
    colours.setColor(QPalette::Window, kFormColour);
    setPalette(colours);
    setAutoFillBackground(true);

    Label1 = place(new QLabel(QStringLiteral("计划年月"), this), "Label1", 19, 36, 48);
    DateTimePicker1 = place(new TDateTimePicker(this), "DateTimePicker1", 92, 32, 130, 20);
    AALinkLabel1 = place(new TAALinkLabel(QStringLiteral("访销部门"), this), "AALinkLabel1", 18, 78, 48);
    cb_ck = place(new TFlatComboBox(this), "cb_ck", 92, 72, 130, 20);
    AALinkLabel2 = place(new TAALinkLabel(QStringLiteral("访销人员"), this), "AALinkLabel2", 18, 118, 48);
    cb_fxry = place(new TFlatComboBox(this), "cb_fxry", 92, 115, 130, 20);
    BitBtn2 = place(new TFlatSpeedButton(QStringLiteral("确定"), this), "BitBtn2", 44, 150, 65, 25);
    BitBtn1 = place(new TFlatSpeedButton(QStringLiteral("取消"), this), "BitBtn1", 148, 150, 65, 25);

    // Both lists take typed text as well as a choice from the list.
    for (TFlatComboBox *combo : {cb_ck, cb_fxry}) {
        combo->setEditable(true);
        combo->setColor(kFormColour);
    }
    const QColor menu_colour = QApplication::palette("QMenu").color(QPalette::Window);
    for (TFlatSpeedButton *button : {BitBtn2, BitBtn1}) {
        button->set_color_border(menu_colour);
        button->setFocusPolicy(Qt::NoFocus);
    }

    setTabOrder(DateTimePicker1, cb_ck);
    setTabOrder(cb_ck, cb_fxry);
    set_confirm_command(BitBtn2);
    set_exit_command(BitBtn1);
    // The picker and the boxes would keep Enter and Escape to themselves.
    take_keys_from({DateTimePicker1, cb_ck, cb_fxry, cb_ck->lineEdit(), cb_fxry->lineEdit()});
    for (QObject *child : DateTimePicker1->children())
        if (auto *edit = qobject_cast<QLineEdit *>(child)) take_keys_from({edit});
    BitBtn2->setToolTip(QStringLiteral("确定 (Enter)"));
    BitBtn1->setToolTip(QStringLiteral("取消 (Esc)"));

    ui::connect_guarded(cb_ck, &TFlatComboBox::changed, this, &TFm_inputtime::cb_ckChange);
    // Typing into the box changes its text: the salesman list follows the
    // department code typed at once, so that 确定, which takes no focus from
    // the box, never pairs the typed department with another one's salesman.
    connect(cb_ck->lineEdit(), &QLineEdit::textEdited, this, [this] {
        ui::guarded(this, [this] {
            if (code_of(text_of(cb_ck)) != salesmen_filled_for_) cb_ckChange();
        });
    });
    ui::connect_guarded(BitBtn2, &TFlatSpeedButton::clicked, this, &TFm_inputtime::BitBtn2Click);
    ui::connect_guarded(BitBtn1, &TFlatSpeedButton::clicked, this, &TFm_inputtime::BitBtn1Click);
}

TFm_inputtime::~TFm_inputtime() = default;

void TFm_inputtime::setVisible(bool visible)
{
    if (visible && !isVisible()) {
        if (const QScreen *screen = QGuiApplication::primaryScreen()) {
            create();  // the window's frame is known from here on
            QRect box = frameGeometry();
            box.moveCenter(screen->geometry().center());
            move(box.topLeft());
        }
    }
    ModalForm::setVisible(visible);
}

void TFm_inputtime::FormActivate()
{
    short_date_format = "YYYY-MM-DD";
    DateTimePicker1->setDateTime(QDateTime::currentDateTime());
    ComboList departments(cb_ck);
    fill_departments(current_data_module().cds_temp, departments);
    cb_fxryadd();
}

void TFm_inputtime::cb_fxryadd()
{
    ComboList salesmen(cb_fxry);
    const std::string dept = code_of(text_of(cb_ck));
    fill_salesmen(current_data_module().cds_temp, dept, salesmen);
    salesmen_filled_for_ = dept;
}

void TFm_inputtime::cb_ckChange()
{
    dlg_dept_code = code_of(text_of(cb_ck));
    cb_fxryadd();
}

void TFm_inputtime::BitBtn2Click()
{
    short_date_format = "YYYY-MM-DD";
    // The tests use the dialog's month; plan_month takes it only once the
    // confirm reaches the generation, so a stopped confirm leaves the main
    // form's month alone.
    const std::string month = month_key(DateTimePicker1->date());
    dlg_dept_code = code_of(text_of(cb_ck));
    dlg_salesman_code = code_of(text_of(cb_fxry));
    Tdm_yearplan &dm = current_data_module();

    open_statement(dm.cds_temp, salesman_plan_statement(month, dlg_dept_code, dlg_salesman_code));
    if (dm.cds_temp.record_count() > 0) {
        ui::message_box(this, QStringLiteral("已经有该人员的记录，可以编辑该人员记录！"), QStringLiteral("提示"),
                        ui::mb::ok | ui::mb::icon_information);
        return;
    }
    open_statement(dm.cds_temp, sales_indicator_statement(month));
    if (dm.cds_temp.record_count() == 0) {
        ui::message_box(this, QStringLiteral("没有该年月的销售指标，不能生成！"), QStringLiteral("提示"),
                        ui::mb::ok | ui::mb::icon_information);
        return;
    }
    if (dlg_dept_code.empty() || dlg_salesman_code.empty()) {
        ui::message_box(this, QStringLiteral("请选择仓库和人员"), QStringLiteral("警告"),
                        ui::mb::ok | ui::mb::icon_warning);
        return;
    }

    const std::string former_month = plan_month;
    plan_month = month;
    if (!insert(former_month)) return;  // the error is shown; the dialog stays open

    TFm_edit::open(nullptr);

    // An error while the editor showed ends the handler above and keeps the dialog open.
    (Fm_inputtime ? Fm_inputtime.data() : this)->close();
}

bool TFm_inputtime::insert(const std::string &former_month)
{
    try {
        run_in_server_transaction(current_data_module(),
                                  generation_statement(plan_month, dlg_dept_code, dlg_salesman_code));
    } catch (const std::exception &error) {
        // Rolled back already (or the roll-back itself failed, whose error
        // this then is): nothing was generated, so nothing is taken over.
        plan_month = former_month;
        ui::show_error(QString::fromUtf8(error.what()), this);
        return false;
    }
    salesman_code = dlg_salesman_code;
    dept_code = dlg_dept_code;
    return true;
}

void TFm_inputtime::BitBtn1Click() { close(); }
