#include "Unit_board.h"

#include <algorithm>

#include <QCloseEvent>
#include <QDate>
#include <QLabel>
#include <QStringList>
#include <QVBoxLayout>

#include <set>

#include "TAALinkLabel.h"
#include "TDateTimePicker.h"
#include "TFlatComboBox.h"
#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "board_commands.h"
#include "board_completion.h"
#include "board_grid.h"
#include "board_source.h"
#include "combo_list.h"
#include "form_support.h"
#include "module_state.h"
#include "plan_commands.h"
#include "plan_vocabulary.h"
#include "remote_connection.h"
#include "report.h"
#include "ui.h"
#include "unit_getsetting.h"

using namespace saleplan;
using forms::place;

namespace {

const QString kWarning = QStringLiteral("警告");
const QString kAskSave = QStringLiteral("数据已经改动，是否保存？");
const QString kSaveFailed = QStringLiteral("保存失败");

const char *const kBrowseReason = "浏览模式，只能查看";
const char *const kViewerReason = "只读账户，只能查看";

QString text_of(const std::string &s) { return QString::fromStdString(s); }

}  // namespace

TFm_board::TFm_board(QWidget *owner, std::unique_ptr<board::BoardSource> source, std::string month,
                     std::string department, std::optional<std::string> read_only)
    : TFm_Base(owner), source_(std::move(source)), month_(std::move(month)), department_(std::move(department)),
      read_only_(std::move(read_only))
{
    setObjectName(QStringLiteral("Fm_board"));
    forms::design_full_size_form(*this, QStringLiteral("部门计划分配"), QStringLiteral("部门计划分配"), 760, 480);
    setAccessibleName(QStringLiteral("部门计划分配"));

    tbok->setText(QStringLiteral("保存"));
    set_command_key(tbok, QKeySequence(Qt::CTRL | Qt::Key_S));
    for (TFlatSpeedButton *button : toolbar_buttons()) button->setVisible(button == tbok || button == tbexit);
    if (read_only_) model_.set_lock(*read_only_);

    build_selection_row();
    grid = new BoardGrid(model_, client_area());
    grid->setObjectName(QStringLiteral("board_grid"));
    grid->setAccessibleName(QStringLiteral("部门计划分配表"));
    grid->setAccessibleDescription(QStringLiteral("每行一项指标，每列一名访销员；方向键移动，输入数字后按回车确认"));
    grid->set_header_color(forms::kFormColour);
    grid->onRefused = [this](const Refusal &refusal) {
        ui::message_box(this, text_of(refusal.text), text_of(refusal.caption), refusal.flags);
    };
    client_layout()->addWidget(grid, 1);
    completion = new BoardCompletion(
        model_, Panel2, client_area(),
        [this](const std::string &m, const std::string &d) { return source_->read_actuals(m, d); }, this);
    client_layout()->addWidget(completion->panel(), 1);

    lb_status = new QLabel(client_area());
    lb_status->setObjectName(QStringLiteral("board_status"));
    lb_status->setAccessibleName(QStringLiteral("分配状态"));
    lb_status->setWordWrap(true);
    lb_status->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    lb_status->setContentsMargins(pixels(6), pixels(4), pixels(6), pixels(4));
    client_layout()->addWidget(lb_status);

    frReport1 = new TfrReport(this);
    frReport1->setObjectName(QStringLiteral("frReport1"));

    build_commands();
    board_state::install(*this);
    update_commands();

    ui::connect_guarded(tbok, &TFlatSpeedButton::clicked, this, &TFm_board::tbokClick);
    ui::connect_guarded(cb_fxb, &TFlatComboBox::changed, this, &TFm_board::cb_fxbChange);
    ui::connect_guarded(DateTimePicker1, &TDateTimePicker::closeUp, this, &TFm_board::DateTimePicker1CloseUp);
    connect(DateTimePicker1, &TDateTimePicker::keyUp, this,
            [this](int) { ui::guarded(this, [this] { DateTimePicker1CloseUp(); }); });
    connect(grid->board_model(), &BoardTableModel::figures_updated, this, &TFm_board::update_status);
    // tbexit is connected to tbexitClick by the base form.

    setTabOrder(DateTimePicker1, cb_fxb);
    setTabOrder(cb_fxb, grid);
}

TFm_board::~TFm_board() = default;

void TFm_board::build_selection_row()
{
    Panel2 = new QWidget(client_area());
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setFixedHeight(pixels(30));
    client_layout()->addWidget(Panel2);

    AALinkLabel1 = place(new TAALinkLabel(QStringLiteral("年月"), Panel2), "AALinkLabel1", 7, 8, 24);
    DateTimePicker1 = place(new TDateTimePicker(Panel2), "DateTimePicker1", 34, 4, 146, 20);
    DateTimePicker1->setAccessibleName(QStringLiteral("年月"));
    AALinkLabel2 = place(new TAALinkLabel(QStringLiteral("访销部"), Panel2), "AALinkLabel2", 189, 8, 36);
    cb_fxb = place(new TFlatComboBox(Panel2), "cb_fxb", 232, 4, 146, 20);
    cb_fxb->setAccessibleName(QStringLiteral("访销部"));
    cb_fxb->setItemHeight(12);
    cb_fxb->setColor(palette().color(QPalette::Base));
    // The list changes only by choosing an item, as on the main form.
    cb_fxb->setKeyPressHandler([](QKeyEvent *, bool &discard) { discard = true; });
}

void TFm_board::build_commands()
{
    for (const BoardCommand &command : board_commands()) {
        TFlatSpeedButton *button = command.base_button ? this->*command.base_button : nullptr;
        if (!button) {
            button = new TFlatSpeedButton(command.caption);
            tbr_base->insert_button(button, pixels(35), pixels(35), command.place_before ? this->*command.place_before : tbexit);
            button->setFocusPolicy(Qt::TabFocus);
            button->set_color_border(forms::kFormColour);
        }
        button->setObjectName(QString::fromLatin1(command.object_name));
        button->setText(command.caption);
        if (button->accessibleName().isEmpty()) button->setAccessibleName(command.caption);
        button->load_glyph(QStringLiteral(":/glyphs/%1.bmp").arg(command.glyph));
        // A strip of square pictures holds the button's states side by side
        // (enabled, disabled, ...): only one of them is drawn.
        const QImage &glyph = button->glyph();
        const bool strip = glyph.height() > 0 && glyph.width() > glyph.height() && glyph.width() % glyph.height() == 0;
        button->set_num_glyphs(strip ? glyph.width() / glyph.height() : 1);
        // A caption of four characters does not fit the toolbar's usual width.
        if (!command.base_button) button->resize(std::max(pixels(35), button->sizeHint().width()), button->height());
        button->setVisible(true);
        set_command_key(button, command.key);
        const auto run = command.run;
        connect(button, &TFlatSpeedButton::clicked, this, [this, run] { ui::guarded(this, [&] { run(*this); }); });
        commands_.emplace_back(button, command.changes_plan);
    }
}

TFlatSpeedButton *TFm_board::command_button(const char *object_name) const
{
    for (const auto &[button, changes] : commands_)
        if (button->objectName() == QLatin1String(object_name)) return button;
    return nullptr;
}

void TFm_board::update_commands()
{
    // Nothing to change before the board has loaded (a failed read leaves it so).
    const bool editable = model_.loaded() && !model_.read_only() && !model_.empty_reason();
    tbok->setEnabled(editable);
    for (const auto &[button, changes_plan] : commands_) button->setEnabled(!changes_plan || editable);
    // A command that waits for the lock says why in its tooltip.
    for (const auto &[button, changes_plan] : commands_) {
        if (!changes_plan) continue;
        if (!button->property("plain_tool_tip").isValid()) button->setProperty("plain_tool_tip", button->toolTip());
        const auto reason = model_.lock_reason();
        button->setToolTip(reason ? text_of(*reason) : button->property("plain_tool_tip").toString());
    }
    board_state::update_buttons(*this);
}

void TFm_board::update_status()
{
    const QString line = text_of(model_.status_line());
    lb_status->setText(line);
    lb_status->setToolTip(line);
    // The line's colour says the same as its words.
    const board::Status st = model_.status();
    QPalette p = lb_status->palette();
    p.setColor(QPalette::WindowText, st.indicators_over > 0   ? QColor(160, 0, 0)
                                     : st.fully_allocated()   ? QColor(0, 110, 0)
                                                              : palette().color(QPalette::WindowText));
    lb_status->setPalette(p);
}

QString TFm_board::compose_heading(const std::string &month, const std::string &department_name)
{
    return text_of(month.substr(0, 4) + "年" + (month.size() > 4 ? month.substr(4, 2) : std::string()) + "月" +
                   department_name + "计划分配");
}

void TFm_board::FormActivate()
{
    short_date_format = "YYYY-MM-DD";
    ComboList departments(cb_fxb);
    Tdm_yearplan &dm = current_data_module();
    fill_departments(dm.cds_temp, departments);
    show_selection();
    load(month_, department_);
}

void TFm_board::show_selection()
{
    // The list and the picker show the board's department and month.
    ComboList departments(cb_fxb);
    show_code_in_force(departments, department_,
                       [this] { return fetch_department_name(current_data_module().cds_temp, department_); });
    if (month_.size() == 6) {
        const int year = std::stoi(month_.substr(0, 4));
        const int month = std::stoi(month_.substr(4, 2));
        const QDate shown = DateTimePicker1->date();
        const int day = std::min(shown.isValid() ? shown.day() : 1, QDate(year, month, 1).daysInMonth());
        DateTimePicker1->setDate(QDate(year, month, day));
    }
}

void TFm_board::load(const std::string &month, const std::string &department)
{
    model_.load(source_->read(month, department));
    month_ = month;
    department_ = department;
    pn_gl->setText(compose_heading(month_, model_.department_name().empty() ? department_ : model_.department_name()));
    board_state::read(*this);
    update_status();
    update_commands();
    // The cursor on the first salesman's first indicator.
    if (model_.indicator_count() > 0 && model_.salesman_count() > 0)
        grid->setCurrentIndex(grid->board_model()->index_of({0, 0}));
    grid->setFocus(Qt::OtherFocusReason);
}

void TFm_board::reload_keeping_edits()
{
    model_.reload_keeping_edits(source_->read(month_, department_));
    update_status();
    update_commands();
}

bool TFm_board::take_in_editor() { return grid->take_in_editor(); }

void TFm_board::note_database_changed()
{
    changed_database_ = true;
    emit database_changed();
}

bool TFm_board::may_leave_changes()
{
    if (!take_in_editor()) return false;
    if (!model_.modified()) return true;
    switch (ui::message_box(this, kAskSave, kWarning,
                            ui::mb::yes_no_cancel | ui::mb::icon_question | ui::mb::default_button3)) {
    case ui::result_yes:
        return save();
    case ui::result_no:
        model_.drop_edits();
        return true;
    default:
        return false;
    }
}

void TFm_board::cb_fxbChange()
{
    const std::string chosen = code_of(text_of(cb_fxb));
    if (chosen == department_) return;
    if (!may_leave_changes()) {
        show_selection();
        return;
    }
    try {
        load(month_, chosen);
    } catch (...) {
        show_selection();  // the board still shows the department it had
        throw;
    }
}

void TFm_board::DateTimePicker1CloseUp()
{
    short_date_format = "YYYY-MM-DD";
    const std::string chosen = month_key(DateTimePicker1->date());
    if (chosen == month_) return;
    if (!may_leave_changes()) {
        show_selection();
        return;
    }
    try {
        load(chosen, department_);
    } catch (...) {
        show_selection();
        throw;
    }
}

void TFm_board::tbokClick() { save(); }

bool TFm_board::save()
{
    if (model_.read_only()) return false;
    if (!take_in_editor()) return false;
    if (!model_.modified()) return true;

    const wire::ApplyResult result = source_->save(model_.delta());
    const int errors = std::max(result.error_count, static_cast<int>(result.errors.size()));
    if (errors == 0) {
        note_database_changed();
        load(month_, department_);  // what the others saved meanwhile shows too
        return true;
    }

    // Nothing was applied. Each cell the server refused is named with its
    // reason; then the board shows the figures as they are now, the typed
    // values kept, and names every typed value they no longer leave room for.
    QStringList lines, reasons;
    std::set<board::Position> named;
    for (const wire::ApplyError &e : result.errors) {
        reasons << text_of(e.message);
        const auto cell = e.row_id ? model_.cell_of_row(*e.row_id) : std::nullopt;
        if (!cell) continue;
        named.insert(*cell);
        lines << text_of(model_.cell_name(*cell) + "：" + e.message);
    }
    reload_keeping_edits();
    for (const auto &[cell, refusal] : model_.refused_changes()) {
        if (named.count(cell)) continue;
        lines << text_of(model_.cell_name(cell) + "：" + refusal.text + "（可分配 " +
                         board::format_quantity(std::max(0.0, model_.left_for(cell))) + " 条）");
    }
    QString text = kSaveFailed;
    if (!lines.isEmpty()) text += QStringLiteral("，以下单元格未能保存：\n") + lines.join(QLatin1Char('\n'));
    ui::message_box(this, text, kWarning, ui::mb::ok | ui::mb::icon_warning, reasons.join(QLatin1Char('\n')));
    return false;
}

void TFm_board::tbexitClick()
{
    // Guarded also when it is called directly rather than from the button.
    ui::guarded(this, [this] { exit_command(); });
}

void TFm_board::exit_command()
{
    if (!take_in_editor()) return;
    if (!model_.modified()) {
        close();
        return;
    }
    switch (ui::message_box(this, kAskSave, kWarning,
                            ui::mb::yes_no_cancel | ui::mb::icon_question | ui::mb::default_button3)) {
    case ui::result_yes:
        // Closes only on a save that went through; otherwise the refusal has
        // been shown and the typed values stay.
        if (save()) close();
        break;
    case ui::result_no:
        close();
        break;
    default:
        break;  // the board stays open
    }
}

void TFm_board::FormClose(QCloseEvent *event)
{
    TFm_Base::FormClose(event);  // close action "free"
}

bool TFm_board::open(QWidget *owner)
{
    const PlanSelection *in_force = selection_for_command(owner);
    if (!in_force) return false;
    Tdm_yearplan &dm = current_data_module();
    std::optional<std::string> read_only;
    if (is_browse_mode(open_mode))
        read_only = kBrowseReason;
    else if (remote::account_is_viewer(server_name))
        read_only = kViewerReason;
    auto *form = new TFm_board(owner, board::data_module_source(dm), in_force->month, in_force->dept, read_only);
    Fm_board = form;
    bool changed = false;
    connect(form, &TFm_board::database_changed, owner, [&changed] { changed = true; });
    if (settings_reader) settings_reader->apply_form_settings(form, QStringLiteral("B"));
    ui::show_modal(form);  // the board frees itself when it closes
    return changed;
}

void TFm_saleplan::tbboardClick()
{
    // The main form shows what the board saved or generated, and the
    // month's state as the board may have moved it.
    const bool changed = TFm_board::open(this);
    current_data_module().states_month.clear();
    if (changed) reload_plan_view(current_data_module());
    else show_month_lock();
}
