#include "board_completion.h"

#include <algorithm>

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QValueAxis>

#include "form_support.h"
#include "report.h"

using board::Figure;
using board::Pace;

namespace {

QString text_of(const std::string &s) { return QString::fromStdString(s); }

QColor colour_of(Pace pace)
{
    switch (pace) {
    case Pace::Below: return board_colours::kBelowPace;
    case Pace::On: return board_colours::kOnPace;
    case Pace::Above: return board_colours::kAbovePlan;
    case Pace::None: return {};
    }
    return {};
}

// "900  71%（58%）▼": sold, the rate with the pace beside it, and a mark
// that says below (▼) or above (▲) without the colour.
QString figure_text(const Figure &f, double elapsed)
{
    QString text = text_of(board::format_quantity(f.actual));
    if (f.rate)
        text += QStringLiteral("  %1（%2）").arg(text_of(board::rate_text(*f.rate)), text_of(board::rate_text(elapsed * 100)));
    if (f.pace == Pace::Below) text += QStringLiteral(" ▼");
    if (f.pace == Pace::Above) text += QStringLiteral(" ▲");
    return text;
}

QStandardItem *figure_item(const Figure &f, double elapsed)
{
    auto *item = new QStandardItem(figure_text(f, elapsed));
    item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    const QString note = text_of(board::figure_note(f, elapsed));
    item->setToolTip(note);
    item->setData(note, Qt::AccessibleDescriptionRole);
    if (f.pace != Pace::None) item->setBackground(colour_of(f.pace));
    item->setData(static_cast<int>(f.pace), Qt::UserRole);
    return item;
}

QStandardItem *quantity_item(double q)
{
    auto *item = new QStandardItem(text_of(board::format_quantity(q)));
    item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return item;
}

QStandardItem *label_item(const QString &text)
{
    auto *item = new QStandardItem(text);
    item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return item;
}

}  // namespace

BoardCompletion::BoardCompletion(board::BoardModel &model, QWidget *selection_row, QWidget *panel_parent, Fetch fetch,
                                 QObject *parent)
    : QObject(parent), model_(model), fetch_(std::move(fetch))
{
    toggle_ = forms::place(new QCheckBox(QStringLiteral("显示完成"), selection_row), "cb_showdone", 392, 6, 90, 18);
    toggle_->setAccessibleName(QStringLiteral("显示完成"));
    toggle_->setAccessibleDescription(QStringLiteral("在表下显示各访销员的已完成数量、完成率和图表"));
    toggle_->hide();  // until the server has said it has actuals

    panel_ = new QWidget(panel_parent);
    panel_->setObjectName(QStringLiteral("board_completion_panel"));
    panel_->setAccessibleName(QStringLiteral("完成情况"));
    auto *column = new QVBoxLayout(panel_);
    column->setContentsMargins(0, 0, 0, 0);
    note_ = new QLabel(panel_);
    note_->setObjectName(QStringLiteral("board_completion_note"));
    note_->setAccessibleName(QStringLiteral("完成情况说明"));
    note_->setWordWrap(true);
    column->addWidget(note_);

    auto *split = new QSplitter(Qt::Horizontal, panel_);
    table_ = new QTableView(split);
    table_->setObjectName(QStringLiteral("board_completion"));
    table_->setAccessibleName(QStringLiteral("完成情况表"));
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    items_ = new QStandardItemModel(this);
    table_->setModel(items_);

    auto *chart_box = new QWidget(split);
    auto *chart_column = new QVBoxLayout(chart_box);
    chart_column->setContentsMargins(0, 0, 0, 0);
    indicators_ = new QComboBox(chart_box);
    indicators_->setObjectName(QStringLiteral("cb_chart_indicator"));
    indicators_->setAccessibleName(QStringLiteral("图表指标"));
    chart_column->addWidget(indicators_);
    chart_ = new QChart();
    chart_->legend()->setAlignment(Qt::AlignBottom);
    chart_view_ = new QChartView(chart_, chart_box);
    chart_view_->setObjectName(QStringLiteral("board_chart"));
    chart_view_->setAccessibleName(QStringLiteral("计划与已完成图表"));
    chart_view_->setRenderHint(QPainter::Antialiasing);
    chart_view_->setMinimumSize(260, 180);
    chart_column->addWidget(chart_view_, 1);
    split->addWidget(table_);
    split->addWidget(chart_box);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    column->addWidget(split, 1);
    panel_->hide();

    connect(toggle_, &QCheckBox::toggled, this, [this] { show_panel(); });
    connect(indicators_, &QComboBox::currentIndexChanged, this, [this] { fill_chart(); });
    model_.add_observer(this);
}

BoardCompletion::~BoardCompletion() { model_.remove_observer(this); }

void BoardCompletion::set_today(const board::Day &day)
{
    today_ = day;
    if (ready()) refresh();
}

double BoardCompletion::elapsed() const
{
    board::Day day = today_.value_or(board::Day{});
    if (!today_) {
        const QDate now = QDate::currentDate();
        day = {now.year(), now.month(), now.day()};
    }
    return board::month_elapsed(model_.month(), day);
}

bool BoardCompletion::ready() const
{
    return model_.loaded() && !pending_ && fetched_ == model_.month() + "|" + model_.department();
}

void BoardCompletion::board_reset()
{
    if (!updating_) schedule();
}

void BoardCompletion::figures_changed(const board::Position &) {}

void BoardCompletion::schedule()
{
    // After the board has drawn: the actuals never hold up its opening.
    if (pending_) return;
    pending_ = true;
    QTimer::singleShot(0, this, [this] { refresh(); });
}

void BoardCompletion::refresh()
{
    pending_ = false;
    if (!model_.loaded()) return;
    const std::string key = model_.month() + "|" + model_.department();
    if (key != fetched_) {
        // Another month or department: the figures held are not its own.
        updating_ = true;
        model_.remove_layer(board::kDoneLayer);
        model_.remove_layer(board::kRateLayer);
        updating_ = false;
        layers_set_ = false;
        fetched_ = key;
        try {
            actuals_ = fetch_ ? fetch_(model_.month(), model_.department()) : board::Actuals{};
        } catch (const std::exception &e) {
            actuals_ = {board::ActualsState::Unavailable, e.what(), {}};
        }
    }
    const board::Placement placed = board::place_actuals(model_, actuals_.lines);
    others_ = placed.others;
    if (actuals_.state == board::ActualsState::Ok && (!layers_set_ || placed.done != set_done_ || placed.rate != set_rate_)) {
        // Only when they change: setting a layer resets the board's views.
        updating_ = true;
        model_.set_layer(board::kDoneLayer, placed.done);
        model_.set_layer(board::kRateLayer, placed.rate);
        updating_ = false;
        set_done_ = placed.done;
        set_rate_ = placed.rate;
        layers_set_ = true;
    }
    toggle_->setVisible(actuals_.state != board::ActualsState::Off);
    show_panel();
}

void BoardCompletion::show_panel()
{
    const bool shown = actuals_.state != board::ActualsState::Off && toggle_->isChecked();
    panel_->setVisible(shown);
    if (!shown) return;
    const std::string pace = board::rate_text(elapsed() * 100);
    if (actuals_.state == board::ActualsState::Unavailable) {
        note_->setText(QStringLiteral("完成数据暂不可用：%1。计划照常分配。").arg(text_of(actuals_.reason)));
    } else {
        note_->setText(QStringLiteral("每格：已完成（条） 完成率（括号内为时间进度 %1）；"
                                      "红色 ▼ 落后于进度，绿色 符合进度，蓝色 ▲ 超额完成；计划为 0 不计完成率。")
                           .arg(text_of(pace)));
    }
    table_->setVisible(actuals_.state == board::ActualsState::Ok);
    chart_view_->parentWidget()->setVisible(actuals_.state == board::ActualsState::Ok);
    fill_table();
    fill_indicators();
    fill_chart();
}

void BoardCompletion::fill_table()
{
    items_->clear();
    if (actuals_.state != board::ActualsState::Ok) return;
    const double e = elapsed();
    const int salesmen = model_.salesman_count();
    const bool other_column = !others_.by_indicator.empty() || others_.neither != 0;
    const bool other_line = !others_.by_salesman.empty() || others_.neither != 0;

    QStringList headers{QStringLiteral("序号"), QStringLiteral("指标名称")};
    for (int s = 0; s < salesmen; ++s) headers << text_of(model_.salesman(s).name);
    if (other_column) headers << QString::fromUtf8(board::kOthersLine);
    headers << QStringLiteral("部门合计");
    items_->setHorizontalHeaderLabels(headers);

    for (int i = 0; i < model_.indicator_count(); ++i) {
        QList<QStandardItem *> row{quantity_item(model_.indicator(i).key.sequence),
                                   label_item(text_of(model_.indicator(i).key.name))};
        for (int s = 0; s < salesmen; ++s) row << figure_item(board::cell_figure(model_, {i, s}, e), e);
        if (other_column) {
            const auto it = others_.by_indicator.find(i);
            row << quantity_item(it == others_.by_indicator.end() ? 0.0 : it->second);
        }
        row << figure_item(board::indicator_figure(model_, others_, i, e), e);
        items_->appendRow(row);
    }
    if (other_line) {
        // Sales of indicators the plan lacks: not dropped, shown apart.
        QString sequences;
        for (const auto &[sequence, q] : others_.sequences)
            sequences += (sequences.isEmpty() ? QString() : QStringLiteral("、")) + text_of(board::format_quantity(sequence));
        QList<QStandardItem *> row{label_item(QString()), label_item(QString::fromUtf8(board::kOthersLine))};
        row[1]->setToolTip(QStringLiteral("计划中没有的指标（序号 %1）").arg(sequences));
        double line_total = others_.neither;
        for (int s = 0; s < salesmen; ++s) {
            const auto it = others_.by_salesman.find(s);
            const double q = it == others_.by_salesman.end() ? 0.0 : it->second;
            line_total += q;
            row << quantity_item(q);
        }
        if (other_column) row << quantity_item(others_.neither);
        row << quantity_item(line_total);
        items_->appendRow(row);
    }
    QList<QStandardItem *> total{label_item(QString()), label_item(QStringLiteral("合计"))};
    QFont bold = table_->font();
    bold.setBold(true);
    total[1]->setFont(bold);
    for (int s = 0; s < salesmen; ++s) total << figure_item(board::salesman_figure(model_, others_, s, e), e);
    if (other_column) {
        double q = others_.neither;
        for (const auto &[i, v] : others_.by_indicator) q += v;
        total << quantity_item(q);
    }
    total << figure_item(board::department_figure(model_, others_, e), e);
    items_->appendRow(total);
    table_->resizeColumnsToContents();
}

void BoardCompletion::fill_indicators()
{
    const int chosen = std::max(0, indicators_->currentIndex());
    const QSignalBlocker quiet(indicators_);
    indicators_->clear();
    for (int i = 0; i < model_.indicator_count(); ++i)
        indicators_->addItem(text_of(board::format_quantity(model_.indicator(i).key.sequence) + " " +
                                     model_.indicator(i).key.name));
    if (chosen < indicators_->count()) indicators_->setCurrentIndex(chosen);
}

void BoardCompletion::fill_chart()
{
    chart_->removeAllSeries();
    for (QAbstractAxis *axis : chart_->axes()) {
        chart_->removeAxis(axis);
        delete axis;
    }
    const int i = indicators_->currentIndex();
    if (actuals_.state != board::ActualsState::Ok || i < 0 || i >= model_.indicator_count()) return;
    const double e = elapsed();
    auto *plan = new QBarSet(QStringLiteral("计划"));
    auto *done = new QBarSet(QStringLiteral("已完成"));
    plan->setColor(QColor(150, 170, 200));
    done->setColor(QColor(70, 140, 90));
    QStringList names;
    double top = 0;
    for (int s = 0; s < model_.salesman_count(); ++s) {
        const Figure f = board::cell_figure(model_, {i, s}, e);
        names << text_of(model_.salesman(s).name);
        *plan << f.plan;
        *done << f.actual;
        top = std::max({top, f.plan, f.actual});
    }
    if (const auto it = others_.by_indicator.find(i); it != others_.by_indicator.end()) {
        names << QString::fromUtf8(board::kOthersLine);
        *plan << 0;
        *done << it->second;
        top = std::max(top, it->second);
    }
    auto *series = new QBarSeries();
    series->append(plan);
    series->append(done);
    chart_->addSeries(series);
    chart_->setTitle(QStringLiteral("%1：计划与已完成（时间进度 %2）")
                         .arg(text_of(model_.indicator(i).key.name), text_of(board::rate_text(e * 100))));
    auto *x = new QBarCategoryAxis();
    x->append(names);
    chart_->addAxis(x, Qt::AlignBottom);
    series->attachAxis(x);
    auto *y = new QValueAxis();
    y->setRange(0, top > 0 ? top * 1.1 : 1);
    y->setLabelFormat(QStringLiteral("%d"));
    y->applyNiceNumbers();
    chart_->addAxis(y, Qt::AlignLeft);
    series->attachAxis(y);
}

void BoardCompletion::add_to_report(TfrReport &report)
{
    if (!panel_->isVisible() || actuals_.state != board::ActualsState::Ok || !print_folder_.isValid()) {
        report.set_variable(QStringLiteral("wcqk"), QString());
        return;
    }
    // The chart as the board shows it, at a size that prints sharply.
    const QString file = print_folder_.filePath(QStringLiteral("chart.png"));
    QPixmap picture(900, 420);
    picture.fill(Qt::white);
    {
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        chart_view_->render(&painter, picture.rect(), chart_view_->rect());
    }
    picture.save(file, "PNG");
    const Figure dept = board::department_figure(model_, others_, elapsed());
    // The table as the panel shows it, each figure in its colour.
    QString table = QStringLiteral("<table border=\"1\" cellspacing=\"0\" cellpadding=\"3\" "
                                   "style=\"border-collapse: collapse; font-size: 9pt;\"><thead><tr>");
    for (int c = 0; c < items_->columnCount(); ++c)
        table += QStringLiteral("<th>%1</th>").arg(items_->horizontalHeaderItem(c)->text().toHtmlEscaped());
    table += QStringLiteral("</tr></thead><tbody>");
    for (int r = 0; r < items_->rowCount(); ++r) {
        table += QStringLiteral("<tr>");
        for (int c = 0; c < items_->columnCount(); ++c) {
            const QStandardItem *item = items_->item(r, c);
            const QColor back = item ? item->background().color() : QColor();
            const bool coloured = item && item->background().style() != Qt::NoBrush;
            table += QStringLiteral("<td align=\"%1\"%2>%3</td>")
                         .arg(c == 1 ? QStringLiteral("left") : QStringLiteral("right"),
                              coloured ? QStringLiteral(" style=\"background-color: %1;\"").arg(back.name()) : QString(),
                              item ? item->text().toHtmlEscaped() : QString());
        }
        table += QStringLiteral("</tr>");
    }
    table += QStringLiteral("</tbody></table>");
    const QString html =
        QStringLiteral("<p style=\"page-break-before: always\"><b>完成情况</b>　%1</p>%2<p>%3</p><p><img src=\"%4\" width=\"600\"></p>")
            .arg(text_of(board::figure_note(dept, elapsed())).toHtmlEscaped(), table, note_->text().toHtmlEscaped(),
                 QUrl::fromLocalFile(file).toString());
    report.set_variable(QStringLiteral("wcqk"), html);
}
