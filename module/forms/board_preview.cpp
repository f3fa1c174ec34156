#include "board_preview.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

#include "Unit_board.h"
#include "Unit_dmYearplan.h"
#include "allocation_calls.h"
#include "board_grid.h"
#include "board_source.h"
#include "form_support.h"
#include "module_state.h"
#include "ui.h"

using namespace saleplan;

namespace {

QString text_of(const std::string &s) { return QString::fromStdString(s); }
const QString kWarning = QStringLiteral("警告");
const QString kNotice = QStringLiteral("提示");

}  // namespace

namespace board_helpers {

remote::RemoteConnection &connection() { return current_data_module().Dcom_cocustobj; }

wire::DataPacket reload(TFm_board &form, const std::string &month)
{
    wire::DataPacket packet = board::read_board_packet(connection(), month, form.department());
    if (month == form.month()) form.model().load(board::snapshot_from_packet(packet, month, form.department()));
    return packet;
}

bool settle_edits(TFm_board &form)
{
    if (!form.take_in_editor()) return false;
    if (!form.model().modified()) return true;
    switch (ui::message_box(&form, QStringLiteral("数据已经改动，是否保存？"), kWarning,
                            ui::mb::yes_no_cancel | ui::mb::icon_question | ui::mb::default_button3)) {
    case ui::result_yes:
        return form.save();
    case ui::result_no:
        form.model().drop_edits();
        return true;
    default:
        return false;
    }
}

QString names_of(const board::BoardModel &model, const std::vector<std::string> &codes)
{
    QStringList names;
    for (const std::string &code : codes) {
        const auto s = model.salesman_index(code);
        names << text_of(s ? model.salesman(*s).name : code);
    }
    return names.join(QStringLiteral("、"));
}

}  // namespace board_helpers

BoardPreview::BoardPreview(TFm_board &form, Compute compute, Apply apply)
    : QWidget(form.client_area()), form_(form), compute_(std::move(compute)), apply_(std::move(apply))
{
    setObjectName(QStringLiteral("board_preview"));
    setAccessibleName(QStringLiteral("预览"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 2, 6, 2);
    lb_preview = new QLabel(this);
    lb_preview->setObjectName(QStringLiteral("lb_preview"));
    lb_preview->setAccessibleName(QStringLiteral("预览说明"));
    lb_preview->setWordWrap(true);
    layout->addWidget(lb_preview, 1);
    bt_ok = new QPushButton(QStringLiteral("确定"), this);
    bt_ok->setObjectName(QStringLiteral("bt_preview_ok"));
    bt_ok->setAccessibleName(QStringLiteral("确定"));
    bt_cancel = new QPushButton(QStringLiteral("取消"), this);
    bt_cancel->setObjectName(QStringLiteral("bt_preview_cancel"));
    bt_cancel->setAccessibleName(QStringLiteral("取消"));
    layout->addWidget(bt_ok);
    layout->addWidget(bt_cancel);
    QPalette p = palette();
    p.setColor(QPalette::Window, board_colours::kProposed);
    setPalette(p);
    setAutoFillBackground(true);
    connect(bt_ok, &QPushButton::clicked, this, [this] { ui::guarded(&form_, [this] { confirm(); }); });
    connect(bt_cancel, &QPushButton::clicked, this, [this] { ui::guarded(&form_, [this] { cancel(); }); });

    // Under the grid, above the state line.
    const int at = form.client_layout()->indexOf(form.lb_status);
    form.client_layout()->insertWidget(at < 0 ? form.client_layout()->count() : at, this);
    // The other commands and the choice of month and department wait.
    for (TFlatSpeedButton *button : form.toolbar_buttons())
        if (button != form.tbexit) waiting_.emplace_back(button, button->isEnabled());
    waiting_.emplace_back(form.Panel2, form.Panel2->isEnabled());
    for (auto &[widget, enabled] : waiting_) widget->setEnabled(false);
}

BoardPreview *BoardPreview::of(TFm_board &form) { return form.findChild<BoardPreview *>(QStringLiteral("board_preview")); }

void BoardPreview::start(TFm_board &form, Compute compute, Apply apply)
{
    if (BoardPreview *old = of(form)) old->finish();
    auto *preview = new BoardPreview(form, std::move(compute), std::move(apply));
    try {
        if (!preview->show_computed()) preview->finish();
    } catch (...) {
        preview->finish();
        throw;
    }
}

bool BoardPreview::show_computed()
{
    Computed computed = compute_();
    if (computed.proposal.values.empty()) {
        ui::message_box(&form_, computed.summary, kNotice, ui::mb::ok | ui::mb::icon_information);
        return false;
    }
    fingerprint_ = computed.fingerprint;
    form_.model().propose(std::move(computed.proposal));
    lb_preview->setText(computed.summary);
    show();
    bt_ok->setFocus(Qt::OtherFocusReason);
    return true;
}

void BoardPreview::confirm()
{
    QString notice;
    try {
        notice = apply_(fingerprint_);
    } catch (const std::exception &refused) {
        // Nothing was applied. Read the board again: when it changed, the
        // preview is computed again from what the others saved.
        form_.model().discard_proposal();
        const std::string before = fingerprint_;
        ui::message_box(&form_, QStringLiteral("没有应用：%1").arg(QString::fromUtf8(refused.what())), kWarning,
                        ui::mb::ok | ui::mb::icon_warning);
        bool again = false;
        try {
            again = show_computed() && fingerprint_ != before;
        } catch (...) {
            finish();
            throw;
        }
        if (!again) {
            form_.model().discard_proposal();
            finish();
        }
        return;
    }
    form_.note_database_changed();
    finish();
    form_.reload_keeping_edits();
    ui::message_box(&form_, notice, kNotice, ui::mb::ok | ui::mb::icon_information);
}

void BoardPreview::cancel()
{
    form_.model().discard_proposal();
    finish();
}

void BoardPreview::finish()
{
    form_.model().discard_proposal();
    for (auto &[widget, enabled] : waiting_) widget->setEnabled(enabled);
    waiting_.clear();
    hide();
    setObjectName(QString());
    deleteLater();
}
