// 分配剩余 on the board: what remains of the chosen indicators (the current
// row, the selected rows, or all) split among the chosen salesmen in whole
// units, evenly (平均), by each one's quantity of the indicator last month
// (按上月比例) or by weights the server keeps for the department (按权重).
// Shares already held stay; only what remains is split. Previewed on the
// board, then computed again and applied whole by the server.
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <set>

#include "Unit_board.h"
#include "allocation_calls.h"
#include "board_commands.h"
#include "board_grid.h"
#include "board_preview.h"
#include "form_support.h"
#include "modal_form.h"
#include "ui.h"

namespace {

QString text_of(const std::string &s) { return QString::fromStdString(s); }

QRadioButton *radio(const QString &caption, const char *name, QWidget *parent, QButtonGroup *group, int id)
{
    auto *button = new QRadioButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAccessibleName(caption);
    group->addButton(button, id);
    return button;
}

}  // namespace

// The choice of a split: its mode, indicators, salesmen and weights.
class TFm_board_allocate : public ModalForm {
public:
    enum Scope { CurrentRow, SelectedRows, AllRows };

    TFm_board_allocate(QWidget *owner, const board::BoardModel &model, const allocation::Weights &weights,
                       bool has_selection)
        : ModalForm(owner)
    {
        setObjectName(QStringLiteral("Fm_board_allocate"));
        setWindowTitle(QStringLiteral("分配剩余"));
        setAccessibleName(QStringLiteral("分配剩余"));
        auto *layout = new QVBoxLayout(this);

        auto *how = new QGroupBox(QStringLiteral("分配方式"), this);
        how->setObjectName(QStringLiteral("gb_mode"));
        auto *how_layout = new QHBoxLayout(how);
        modes = new QButtonGroup(this);
        how_layout->addWidget(radio(QStringLiteral("平均"), "rb_even", how, modes, int(allocation::Mode::Even)));
        how_layout->addWidget(radio(QStringLiteral("按上月比例"), "rb_last_month", how, modes, int(allocation::Mode::LastMonth)));
        how_layout->addWidget(radio(QStringLiteral("按权重"), "rb_weights", how, modes, int(allocation::Mode::Weights)));
        modes->button(int(allocation::Mode::Even))->setChecked(true);
        layout->addWidget(how);

        auto *which = new QGroupBox(QStringLiteral("指标"), this);
        which->setObjectName(QStringLiteral("gb_indicators"));
        auto *which_layout = new QHBoxLayout(which);
        scopes = new QButtonGroup(this);
        which_layout->addWidget(radio(QStringLiteral("当前行"), "rb_current_row", which, scopes, CurrentRow));
        which_layout->addWidget(radio(QStringLiteral("所选行"), "rb_selected_rows", which, scopes, SelectedRows));
        which_layout->addWidget(radio(QStringLiteral("全部指标"), "rb_all_rows", which, scopes, AllRows));
        scopes->button(has_selection ? SelectedRows : AllRows)->setChecked(true);
        scopes->button(SelectedRows)->setEnabled(has_selection);
        layout->addWidget(which);

        // The visit-salesmen with a plan, each with his weight.
        auto *label = new QLabel(QStringLiteral("参与分配的访销员（按权重时填写权重）："), this);
        layout->addWidget(label);
        table = new QTableWidget(0, 2, this);
        table->setObjectName(QStringLiteral("tbl_salesmen"));
        table->setAccessibleName(QStringLiteral("参与分配的访销员和权重"));
        table->setHorizontalHeaderLabels({QStringLiteral("访销员"), QStringLiteral("权重")});
        table->horizontalHeader()->setStretchLastSection(true);
        table->verticalHeader()->hide();
        label->setBuddy(table);
        for (int s = 0; s < model.salesman_count(); ++s) {
            const board::Salesman &man = model.salesman(s);
            if (!man.visit_salesman || !man.has_plan) continue;
            const int row = table->rowCount();
            table->insertRow(row);
            auto *who = new QTableWidgetItem(text_of(man.code + "|" + man.name));
            who->setData(Qt::UserRole, text_of(man.code));
            who->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
            who->setCheckState(Qt::Checked);
            table->setItem(row, 0, who);
            const auto w = weights.find(man.code);
            table->setItem(row, 1, new QTableWidgetItem(w == weights.end() ? QStringLiteral("1")
                                                                           : text_of(wire::format_number(w->second))));
        }
        layout->addWidget(table, 1);

        auto *buttons = new QDialogButtonBox(this);
        bt_ok = buttons->addButton(QStringLiteral("预览"), QDialogButtonBox::AcceptRole);
        bt_ok->setObjectName(QStringLiteral("bt_ok"));
        bt_cancel = buttons->addButton(QStringLiteral("取消"), QDialogButtonBox::RejectRole);
        bt_cancel->setObjectName(QStringLiteral("bt_cancel"));
        layout->addWidget(buttons);
        connect(bt_ok, &QPushButton::clicked, this, [this] { ui::guarded(this, [this] { confirm(); }); });
        connect(bt_cancel, &QPushButton::clicked, this, &QDialog::reject);
        set_exit_command(bt_cancel);
        set_confirm_command(bt_ok);
        QPalette p = palette();
        p.setColor(QPalette::Window, forms::kFormColour);
        setPalette(p);
        setAutoFillBackground(true);
        resize(420, 420);
    }

    allocation::Mode mode() const { return static_cast<allocation::Mode>(modes->checkedId()); }
    Scope scope() const { return static_cast<Scope>(scopes->checkedId()); }
    const std::vector<std::string> &salesmen() const { return chosen_; }
    const allocation::Weights &weights() const { return weights_; }

    QButtonGroup *modes = nullptr;
    QButtonGroup *scopes = nullptr;
    QTableWidget *table = nullptr;
    QPushButton *bt_ok = nullptr;
    QPushButton *bt_cancel = nullptr;

protected:
    void FormClose(QCloseEvent *event) override { event->accept(); }  // the command owns it

private:
    // The choice read and checked; the dialog stays open on a refusal.
    void confirm()
    {
        chosen_.clear();
        weights_.clear();
        for (int r = 0; r < table->rowCount(); ++r) {
            const std::string code = table->item(r, 0)->data(Qt::UserRole).toString().toStdString();
            if (table->item(r, 0)->checkState() == Qt::Checked) chosen_.push_back(code);
            const QString typed = table->item(r, 1) ? table->item(r, 1)->text().trimmed() : QString();
            bool number = false;
            const double w = typed.toDouble(&number);
            if (mode() == allocation::Mode::Weights && !number) {
                refuse(QStringLiteral("访销员 %1 的权重“%2”不是数字").arg(text_of(code), typed));
                return;
            }
            if (number) weights_[code] = w;
        }
        if (chosen_.empty()) {
            refuse(QStringLiteral("请至少选择一名访销员"));
            return;
        }
        if (mode() == allocation::Mode::Weights)
            if (auto refusal = allocation::weights_refusal(weights_, chosen_)) {
                refuse(text_of(*refusal));
                return;
            }
        accept();
    }
    void refuse(const QString &text)
    {
        ui::message_box(this, text, QStringLiteral("警告"), ui::mb::ok | ui::mb::icon_warning);
    }

    std::vector<std::string> chosen_;
    allocation::Weights weights_;
};

namespace {

void allocate(TFm_board &form)
{
    if (!board_helpers::settle_edits(form)) return;
    board::BoardModel &m = form.model();
    remote::RemoteConnection &cust = board_helpers::connection();

    // The indicators under the cursor and in the selection, by sequence number.
    std::set<int> selected_rows;
    for (const QModelIndex &index : form.grid->selectionModel()->selectedIndexes()) selected_rows.insert(index.row());
    const auto at = form.grid->current_position();

    TFm_board_allocate dialog(&form, m, board::read_weights(cust, form.department()), selected_rows.size() > 1);
    if (ui::show_modal(&dialog) != QDialog::Accepted) return;

    allocation::SplitRequest request;
    request.mode = dialog.mode();
    request.salesmen = dialog.salesmen();
    request.weights = dialog.weights();
    std::set<double> sequences;
    if (dialog.scope() == TFm_board_allocate::CurrentRow && at) sequences.insert(m.indicator(at->indicator).key.sequence);
    if (dialog.scope() == TFm_board_allocate::SelectedRows)
        for (int row : selected_rows)
            if (row < m.indicator_count()) sequences.insert(m.indicator(row).key.sequence);
    request.indicators.assign(sequences.begin(), sequences.end());
    if (dialog.scope() != TFm_board_allocate::AllRows && request.indicators.empty()) return;
    // The weights are the department's: every planner of it finds them next time.
    if (request.mode == allocation::Mode::Weights) board::save_weights(cust, form.department(), request.weights);

    const QString name = QString::fromUtf8(allocation::operation_name(request.mode));
    BoardPreview::start(
        form,
        [&form, request, name] {
            const wire::DataPacket now_packet = board_helpers::reload(form, form.month());
            const allocation::Month now = allocation::month_from_packet(now_packet, form.month(), form.department());
            std::optional<allocation::Month> previous;
            if (request.mode == allocation::Mode::LastMonth) {
                const std::string before = allocation::previous_month(form.month());
                previous = allocation::month_from_packet(board_helpers::reload(form, before), before, form.department());
            }
            BoardPreview::Computed c;
            c.fingerprint = allocation::fingerprint(now, previous ? &*previous : nullptr);
            c.proposal.title = name.toStdString();
            double total = 0;
            for (const auto &change : allocation::split_remaining(now, previous ? &*previous : nullptr, request)) {
                c.proposal.values[{{change.key.sequence, change.key.name}, change.salesman}] = change.after;
                total += change.after - change.before.value_or(0);
            }
            c.summary = c.proposal.values.empty()
                            ? QStringLiteral("所选指标没有可分配的剩余数量")
                            : QStringLiteral("预览“%1”：%2 个单元格共分配 %3 条（蓝色为将改变的单元格），确定后保存")
                                  .arg(name)
                                  .arg(c.proposal.values.size())
                                  .arg(text_of(board::format_quantity(total)));
            return c;
        },
        [&form, request, name](const std::string &fingerprint) {
            const int changed =
                board::allocate_remaining(board_helpers::connection(), form.month(), form.department(), request, fingerprint);
            return QStringLiteral("已%1：%2 个单元格").arg(name).arg(changed);
        });
}

}  // namespace

BoardCommand board_allocate_command()
{
    BoardCommand c;
    c.object_name = "tballocate";
    c.caption = QStringLiteral("分配剩余");
    c.glyph = QStringLiteral("tbboard");
    c.key = QKeySequence(Qt::CTRL | Qt::Key_L);
    c.changes_plan = true;
    c.run = allocate;
    return c;
}
