// The month's sign-off on the board: 提交, 批准, 退回 and 申请修订, each
// enabled by the account's role and the month's state, a reason asked for
// where the move needs one; the state in the heading, the history of moves
// under the grid, and a submitted or approved month read-only on the board
// as the server holds it. The server decides every move; a refusal is shown
// with its reason and the board then shows the state as it is.
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "TFlatSpeedButton.h"
#include "Unit_board.h"
#include "Unit_dmYearplan.h"
#include "board_commands.h"
#include "form_support.h"
#include "modal_form.h"
#include "module_state.h"
#include "report.h"
#include "ui.h"

using namespace saleplan;

namespace {

QString text_of(const std::string &s) { return QString::fromStdString(s); }

const char *const kHistoryName = "lst_state_history";

// The reason of a move, asked for in a small window of its own.
class TFm_reason : public ModalForm {
public:
    TFm_reason(QWidget *owner, const QString &move) : ModalForm(owner)
    {
        setObjectName(QStringLiteral("Fm_reason"));
        setWindowTitle(move);
        setAccessibleName(move + QStringLiteral("理由"));
        auto *layout = new QVBoxLayout(this);
        auto *label = new QLabel(QStringLiteral("请填写%1的理由：").arg(move), this);
        layout->addWidget(label);
        ed_reason = new QLineEdit(this);
        ed_reason->setObjectName(QStringLiteral("ed_reason"));
        ed_reason->setAccessibleName(QStringLiteral("理由"));
        ed_reason->setMaxLength(100);
        label->setBuddy(ed_reason);
        layout->addWidget(ed_reason);
        auto *buttons = new QDialogButtonBox(this);
        bt_ok = buttons->addButton(QStringLiteral("确定"), QDialogButtonBox::AcceptRole);
        bt_ok->setObjectName(QStringLiteral("bt_ok"));
        bt_cancel = buttons->addButton(QStringLiteral("取消"), QDialogButtonBox::RejectRole);
        bt_cancel->setObjectName(QStringLiteral("bt_cancel"));
        layout->addWidget(buttons);
        connect(bt_ok, &QPushButton::clicked, this, [this] {
            // Not empty: the server would refuse it anyway.
            if (ed_reason->text().trimmed().isEmpty()) {
                ui::message_box(this, QStringLiteral("请填写理由"), QStringLiteral("警告"), ui::mb::ok | ui::mb::icon_warning);
                return;
            }
            accept();
        });
        connect(bt_cancel, &QPushButton::clicked, this, &QDialog::reject);
        set_exit_command(bt_cancel);
        set_confirm_command(bt_ok);
    }
    QLineEdit *ed_reason = nullptr;
    QPushButton *bt_ok = nullptr;
    QPushButton *bt_cancel = nullptr;

protected:
    void FormClose(QCloseEvent *event) override { event->accept(); }  // the command owns it
};

QTreeWidget *history_of(TFm_board &form) { return form.findChild<QTreeWidget *>(QLatin1String(kHistoryName)); }

void run_move(TFm_board &form, const char *move)
{
    if (!form.take_in_editor()) return;
    if (form.model().modified()) {
        ui::message_box(&form, QStringLiteral("有未保存的改动，请先保存或放弃后再%1").arg(QString::fromUtf8(move)),
                        QStringLiteral("警告"), ui::mb::ok | ui::mb::icon_warning);
        return;
    }
    std::string reason;
    if (month_state::needs_reason(move)) {
        TFm_reason dialog(&form, QString::fromUtf8(move));
        if (ui::show_modal(&dialog) != QDialog::Accepted) return;
        reason = dialog.ed_reason->text().trimmed().toStdString();
    }
    try {
        month_state::move(current_data_module().Dcom_cocustobj, form.month(), form.department(), move, reason,
                          form.sign_off().state);
    } catch (...) {
        // The refusal is shown (the handler's guard); the board shows the state as it is now.
        try {
            board_state::read(form);
            form.reload_keeping_edits();
        } catch (...) {
        }
        throw;
    }
    board_state::read(form);
    form.reload_keeping_edits();
}

BoardCommand move_command(const char *object_name, const char *move, const char *glyph)
{
    BoardCommand c;
    c.object_name = object_name;
    c.caption = QString::fromUtf8(move);
    c.glyph = QString::fromLatin1(glyph);
    c.run = [move](TFm_board &form) { run_move(form, move); };
    return c;
}

}  // namespace

BoardCommand board_submit_command() { return move_command("tbsubmit", contract::kMoveSubmit, "tbok"); }
BoardCommand board_approve_command() { return move_command("tbapprove", contract::kMoveApprove, "tbok"); }
BoardCommand board_return_command() { return move_command("tbreturn", contract::kMoveReturn, "tbcancel"); }
BoardCommand board_revise_command() { return move_command("tbrevise", contract::kMoveRevise, "tbedit"); }

namespace board_state {

void install(TFm_board &form)
{
    auto *history = new QTreeWidget(form.client_area());
    history->setObjectName(QLatin1String(kHistoryName));
    history->setAccessibleName(QStringLiteral("计划状态历史"));
    history->setHeaderLabels({QStringLiteral("时间"), QStringLiteral("操作"), QStringLiteral("状态"),
                              QStringLiteral("操作人"), QStringLiteral("理由")});
    history->setRootIsDecorated(false);
    history->setSelectionMode(QAbstractItemView::NoSelection);
    history->setMaximumHeight(form.pixels(96));
    history->header()->setStretchLastSection(true);
    history->setVisible(false);  // until the month has a history
    form.client_layout()->addWidget(history);
}

void read(TFm_board &form)
{
    month_state::State &s = form.sign_off();
    try {
        s = month_state::read(current_data_module().Dcom_cocustobj, form.month(), form.department());
    } catch (const std::exception &) {
        s = {};  // not known: the board is as it was, the server refuses what it must
    }
    board::BoardModel &m = form.model();
    const auto lock = month_state::lock_reason(s.state);
    if (form.read_only_reason()) m.set_lock(*form.read_only_reason());
    else if (lock) m.set_lock(*lock);
    else m.clear_lock();

    if (!s.state.empty()) {
        QString heading = form.pn_gl->text();
        const int at = heading.indexOf(QStringLiteral("　状态："));
        if (at >= 0) heading.truncate(at);
        form.pn_gl->setText(heading + QStringLiteral("　状态：") + text_of(s.state));
    }
    if (QTreeWidget *history = history_of(form)) {
        history->clear();
        for (const month_state::Move &move : s.history)
            new QTreeWidgetItem(history, {text_of(month_state::local_time_text(move.time)), text_of(move.move),
                                          text_of(move.state), text_of(move.account), text_of(move.reason)});
        history->setVisible(!s.history.empty());
        if (!s.history.empty()) history->scrollToItem(history->topLevelItem(history->topLevelItemCount() - 1));
    }
}

void update_buttons(TFm_board &form)
{
    const month_state::State &s = form.sign_off();
    const std::string role = remote::account_role(server_name);
    const bool browse = is_browse_mode(open_mode);
    const std::pair<const char *, const char *> moves[] = {{"tbsubmit", contract::kMoveSubmit},
                                                           {"tbapprove", contract::kMoveApprove},
                                                           {"tbreturn", contract::kMoveReturn},
                                                           {"tbrevise", contract::kMoveRevise}};
    for (const auto &[name, move] : moves)
        if (TFlatSpeedButton *button = form.command_button(name))
            button->setEnabled(form.model().loaded() && !browse && !s.state.empty() &&
                               month_state::may_move(role, s.state, move));
}

void set_report_variables(TFm_board &form, TfrReport &report)
{
    const month_state::State &s = form.sign_off();
    const bool approved = s.state == contract::kStateApproved;
    report.set_variable(QStringLiteral("jhzt"), approved ? text_of(s.state) : QString::fromUtf8(contract::kStateDraft));
    report.set_variable(QStringLiteral("pzr"), approved ? text_of(s.approved_by) : QString());
    report.set_variable(QStringLiteral("pzsj"),
                        approved ? text_of(month_state::local_time_text(s.approved_at)) : QString());
}

}  // namespace board_state
