#include "TdxDBGrid.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QToolTip>
#include <QtDebug>

#include <exception>
#include <set>

#include "grid_footer.h"

namespace {

// What handler_failed says about an error that is no std::exception.
QString unknown_error() { return QStringLiteral("未知错误"); }

}  // namespace

// The cell editor's delegate: feeds the editor's keys to the grid's key-down
// hook, takes the text in on Enter before the hook runs, and reports every
// change the user makes to the editor's text.
class GridCellDelegate : public QStyledItemDelegate {
public:
    explicit GridCellDelegate(TdxDBGrid *grid) : QStyledItemDelegate(grid), grid_(grid) {}

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override
    {
        QWidget *editor = QStyledItemDelegate::createEditor(parent, option, index);
        if (auto *line = qobject_cast<QLineEdit *>(editor)) {
            // textEdited, not textChanged: the text the grid puts in is no edit.
            QObject::connect(line, &QLineEdit::textEdited, grid_, [g = grid_] { g->run_edit_change(); });
        }
        return editor;
    }

    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override
    {
        if (auto *line = qobject_cast<QLineEdit *>(editor)) {
            last_commit_ok_ = model->setData(index, line->text(), Qt::EditRole);
            return;
        }
        QStyledItemDelegate::setModelData(editor, model, index);
        last_commit_ok_ = true;
    }

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        auto *editor = qobject_cast<QWidget *>(object);
        if (!editor || event->type() != QEvent::KeyPress) return QStyledItemDelegate::eventFilter(object, event);
        auto *key = static_cast<QKeyEvent *>(event);
        // The key that opened the editor was seen by the hook in the grid already.
        if (key == grid_->key_in_progress_) return QStyledItemDelegate::eventFilter(object, event);

        QPointer<QWidget> editor_alive(editor);
        QPointer<TdxDBGrid> grid_alive(grid_);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            // The typed text goes into the dataset first, so a hook that posts
            // the row stores it. A refused text keeps the editor open.
            last_commit_ok_ = false;
            emit commitData(editor);
            if (!last_commit_ok_) return true;
            // Closed before the hook: a hook may show a modal window, during
            // which a closed editor may already be destroyed.
            emit closeEditor(editor, QAbstractItemDelegate::NoHint);
            grid_->run_key_down(key);
            return true;
        }
        grid_->run_key_down(key);
        if (!editor_alive || !grid_alive || grid_->state() != QAbstractItemView::EditingState) return true;
        return QStyledItemDelegate::eventFilter(object, event);
    }

private:
    TdxDBGrid *grid_;
    mutable bool last_commit_ok_ = true;
};

TdxDBGrid::TdxDBGrid(QWidget *parent)
    : QTableView(parent),
      model_(new DatasetTableModel(this)),
      delegate_(new GridCellDelegate(this)),
      footer_(nullptr)
{
    footer_ = new GridFooter(this, [this](int column) { return footer_cell(column); }, viewport());
    footer_->hide();
    setModel(model_);
    setItemDelegate(delegate_);

    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setEditTriggers(QAbstractItemView::AnyKeyPressed | QAbstractItemView::DoubleClicked |
                    QAbstractItemView::EditKeyPressed);
    setTabKeyNavigation(true);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setWordWrap(false);
    setFrameShape(QFrame::Box);

    // Uniform row heights: the view never measures a row.
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setMinimumSectionSize(8);
    horizontalHeader()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(horizontalHeader(), &QHeaderView::customContextMenuRequested, this, &TdxDBGrid::show_filter_menu);
    connect(horizontalHeader(), &QHeaderView::sectionResized, footer_, qOverload<>(&QWidget::update));
    connect(horizontalHeader(), &QHeaderView::sectionMoved, footer_, qOverload<>(&QWidget::update));

    connect(model_, &DatasetTableModel::summaries_changed, footer_, qOverload<>(&QWidget::update));
    connect(model_, &DatasetTableModel::cursor_moved, this, &TdxDBGrid::on_dataset_cursor_moved);
    connect(model_, &DatasetTableModel::modelReset, this, &TdxDBGrid::sync_current_from_dataset);
    connect(model_, &DatasetTableModel::modelReset, this, &TdxDBGrid::apply_column_layout);
    connect(model_, &DatasetTableModel::edit_refused, this, &TdxDBGrid::on_edit_refused);
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this, &TdxDBGrid::on_grid_row_changed);
    apply_header_style();
}

TdxDBGrid::~TdxDBGrid()
{
    model_->set_dataset(nullptr);
}

// ---- binding ---------------------------------------------------------------

void TdxDBGrid::set_data_source(dataset::DataSource *source)
{
    data_source_ = source;
    refresh_binding();
}

void TdxDBGrid::refresh_binding()
{
    dataset::ClientDataset *ds = data_source_ ? data_source_->dataset() : nullptr;
    if (ds != model_->dataset()) column_filters_.clear();
    model_->set_dataset(ds);
}

// ---- columns ---------------------------------------------------------------

void TdxDBGrid::set_columns(std::vector<TdxDBGridColumn> columns)
{
    clear_column_filters();
    model_->set_columns(std::move(columns));
    apply_column_layout();
}

int TdxDBGrid::add_column(TdxDBGridColumn column)
{
    // The columns before it keep their indexes, so their filters stay.
    auto columns = model_->columns();
    columns.push_back(std::move(column));
    model_->set_columns(std::move(columns));
    apply_column_layout();
    return column_count() - 1;
}

int TdxDBGrid::column_index(const QString &name) const
{
    for (int i = 0; i < column_count(); ++i)
        if (column(i).name.compare(name, Qt::CaseInsensitive) == 0) return i;
    return -1;
}

void TdxDBGrid::set_column_visible(int c, bool visible)
{
    if (c < 0 || c >= column_count()) return;
    model_->column_ref(c).visible = visible;
    setColumnHidden(c, !visible);
    apply_column_widths();
    footer_->update();
}

void TdxDBGrid::set_column_caption(int c, const QString &caption)
{
    if (c < 0 || c >= column_count()) return;
    model_->column_ref(c).caption = caption;
    model_->column_changed(c);
}

void TdxDBGrid::set_column_width(int c, int design_width)
{
    if (c < 0 || c >= column_count()) return;
    model_->column_ref(c).width = std::max(0, design_width);
    apply_column_widths();
}

void TdxDBGrid::set_column_read_only(int c, bool read_only)
{
    if (c < 0 || c >= column_count()) return;
    model_->column_ref(c).read_only = read_only;
    model_->column_changed(c);
}

void TdxDBGrid::set_column_summary(int c, SummaryKind kind, const QString &field)
{
    if (c < 0 || c >= column_count()) return;
    model_->column_ref(c).summary_kind = kind;
    model_->column_ref(c).summary_field = field;
    model_->column_changed(c);
}

void TdxDBGrid::set_draw_summary_footer(int c, std::function<void(FooterCell &)> hook)
{
    if (c < 0 || c >= column_count()) return;
    model_->column_ref(c).onDrawSummaryFooter = std::move(hook);
    footer_->update();
}

void TdxDBGrid::set_columns_auto_width(bool on)
{
    auto_width_ = on;
    apply_column_layout();
}

void TdxDBGrid::apply_column_layout()
{
    for (int c = 0; c < column_count(); ++c) setColumnHidden(c, !column(c).visible);
    horizontalHeader()->setSectionResizeMode(auto_width_ ? QHeaderView::Fixed : QHeaderView::Interactive);
    apply_column_widths();
}

// Visible columns fill the viewport's width in proportion to their design
// widths; the last visible column takes what rounding leaves. Work per
// column, never per row.
void TdxDBGrid::apply_column_widths()
{
    const int n = column_count();
    if (!auto_width_) {
        for (int c = 0; c < n; ++c)
            if (column(c).visible) setColumnWidth(c, column(c).width);
        return;
    }
    long long total = 0;
    int last = -1;
    for (int c = 0; c < n; ++c) {
        if (!column(c).visible) continue;
        total += column(c).width;
        last = c;
    }
    if (last < 0 || total <= 0) return;
    const int available = viewport()->width();
    int used = 0;
    for (int c = 0; c < n; ++c) {
        if (!column(c).visible) continue;
        const int w = c == last ? std::max(0, available - used)
                                : static_cast<int>(static_cast<long long>(column(c).width) * available / total);
        setColumnWidth(c, w);
        used += w;
    }
}

// ---- look ------------------------------------------------------------------

void TdxDBGrid::set_header_color(const QColor &color)
{
    header_color_ = color;
    apply_header_style();
    footer_->set_background(color);
}

void TdxDBGrid::apply_header_style()
{
    // Flat header sections in the header colour with thin dividing lines.
    const QColor back = header_color_.isValid() ? header_color_ : palette().color(QPalette::Button);
    const QColor line = back.darker(140);
    horizontalHeader()->setStyleSheet(QStringLiteral("QHeaderView::section { background-color: %1; border: none; "
                                                     "border-right: 1px solid %2; border-bottom: 1px solid %2; "
                                                     "padding: 2px; }")
                                          .arg(back.name(), line.name()));
}

void TdxDBGrid::set_row_select(bool whole_rows)
{
    row_select_ = whole_rows;
    setSelectionBehavior(whole_rows ? QAbstractItemView::SelectRows : QAbstractItemView::SelectItems);
    if (currentIndex().isValid())
        selectionModel()->setCurrentIndex(currentIndex(), QItemSelectionModel::ClearAndSelect |
                                                              (whole_rows ? QItemSelectionModel::Rows
                                                                          : QItemSelectionModel::NoUpdate));
}

void TdxDBGrid::set_editing_enabled(bool on)
{
    model_->set_editing_enabled(on);
}

// ---- footer ----------------------------------------------------------------

void TdxDBGrid::set_show_footer(bool on)
{
    show_footer_ = on;
    updateGeometries();
    place_footer();
}

void TdxDBGrid::set_footer_font(const QFont &font)
{
    footer_font_ = font;
    updateGeometries();
    place_footer();
}

int TdxDBGrid::footer_height() const
{
    return QFontMetrics(footer_base_font()).height() + 8;
}

QWidget *TdxDBGrid::footer_widget() const
{
    return footer_;
}

FooterCell TdxDBGrid::footer_cell(int c) const
{
    FooterCell cell;
    cell.font = footer_base_font();
    if (c < 0 || c >= column_count()) return cell;
    cell.text = model_->summary_text(c);
    const auto &col = column(c);
    const QString field = col.summary_field.isEmpty() ? col.field_name : col.summary_field;
    const bool numeric = col.summary_kind == SummaryKind::Sum || model_->is_numeric_column(c);
    cell.alignment = (numeric ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter;
    if (col.onDrawSummaryFooter) {
        FooterCell drawn = cell;
        try {
            col.onDrawSummaryFooter(drawn);
            cell = drawn;
        } catch (const std::exception &e) {
            qWarning("footer drawing hook of %s failed: %s", qPrintable(col.name), e.what());
        } catch (...) {
            // Runs while the footer paints: nothing may leave it.
            qWarning("footer drawing hook of %s failed", qPrintable(col.name));
        }
    }
    return cell;
}

// The footer lies over the bottom of the viewport; the scroll range grows by
// its height so the last row can still be scrolled into sight above it.
void TdxDBGrid::place_footer()
{
    if (!show_footer_) {
        footer_->hide();
        return;
    }
    const int h = footer_height();
    footer_->setGeometry(0, std::max(0, viewport()->height() - h), viewport()->width(), h);
    footer_->raise();
    footer_->show();
    footer_->update();
}

void TdxDBGrid::updateGeometries()
{
    QTableView::updateGeometries();
    // A changed range may show or hide a scroll bar, which resizes the
    // viewport and comes back here; that settles within a step or two.
    if (geometry_depth_ > 2) return;
    ++geometry_depth_;
    if (show_footer_) {
        const int visible = std::max(0, viewport()->height() - footer_height());
        const int content = verticalHeader()->length();
        verticalScrollBar()->setPageStep(visible);
        verticalScrollBar()->setRange(0, std::max(0, content - visible));
    }
    place_footer();
    --geometry_depth_;
}

void TdxDBGrid::resizeEvent(QResizeEvent *event)
{
    QTableView::resizeEvent(event);
    apply_column_widths();
    place_footer();
}

void TdxDBGrid::scrollContentsBy(int dx, int dy)
{
    QTableView::scrollContentsBy(dx, dy);  // moves the viewport's children, the footer too
    place_footer();
}

void TdxDBGrid::scrollTo(const QModelIndex &index, ScrollHint hint)
{
    QTableView::scrollTo(index, hint);
    if (!show_footer_ || !index.isValid()) return;
    // A row under the footer is not in sight: scroll it up above the footer.
    const int hidden_below = visualRect(index).bottom() + 1 - (viewport()->height() - footer_height());
    if (hidden_below > 0) verticalScrollBar()->setValue(verticalScrollBar()->value() + hidden_below);
}

// ---- keys and hooks --------------------------------------------------------

int TdxDBGrid::key_code(const QKeyEvent *event)
{
    const int k = event->key();
    switch (k) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return 13;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return 9;
    case Qt::Key_Escape:
        return 27;
    case Qt::Key_Backspace:
        return 8;
    case Qt::Key_Delete:
        return 46;
    case Qt::Key_Insert:
        return 45;
    case Qt::Key_Left:
        return 37;
    case Qt::Key_Up:
        return 38;
    case Qt::Key_Right:
        return 39;
    case Qt::Key_Down:
        return 40;
    case Qt::Key_Space:
        return 32;
    default:
        break;
    }
    if ((k >= Qt::Key_0 && k <= Qt::Key_9) || (k >= Qt::Key_A && k <= Qt::Key_Z)) return k;
    return 0;
}

void TdxDBGrid::run_key_down(QKeyEvent *event)
{
    if (!onKeyDown) return;
    try {
        onKeyDown(event);
    } catch (const std::exception &e) {
        emit handler_failed(QString::fromUtf8(e.what()));
    } catch (...) {
        emit handler_failed(unknown_error());
    }
}

void TdxDBGrid::run_edit_change()
{
    if (!onEditChange) return;
    try {
        onEditChange();
    } catch (const std::exception &e) {
        emit handler_failed(QString::fromUtf8(e.what()));
    } catch (...) {
        emit handler_failed(unknown_error());
    }
}

bool TdxDBGrid::event(QEvent *event)
{
    // Keys reach the hook here, before the view's own handling (Tab included,
    // which never gets to keyPressEvent). A key that an open editor did not
    // want comes up here too; the editor's filter has run the hook already.
    if (event->type() != QEvent::KeyPress || state() == QAbstractItemView::EditingState)
        return QTableView::event(event);
    auto *key = static_cast<QKeyEvent *>(event);
    QPointer<TdxDBGrid> alive(this);
    run_key_down(key);
    if (!alive) return true;
    QKeyEvent *outer = key_in_progress_;
    key_in_progress_ = key;
    const bool handled = QTableView::event(event);
    if (alive) key_in_progress_ = outer;
    return handled;
}

void TdxDBGrid::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // Enter opens the cell editor on an editable cell. An Enter that
        // reaches the grid while the editor is open (the editor without the
        // focus) is handed to the editor, which takes the text in, runs the
        // hook and closes.
        const QModelIndex current = currentIndex();
        if (state() == QAbstractItemView::EditingState) {
            if (QWidget *editor = indexWidget(current)) QCoreApplication::sendEvent(editor, event);
        } else if (current.isValid() && (model_->flags(current) & Qt::ItemIsEditable)) {
            edit(current);
        }
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

// ---- cursor ----------------------------------------------------------------

void TdxDBGrid::on_dataset_cursor_moved(int view_row)
{
    if (syncing_) return;
    syncing_ = true;
    model_->set_writes_blocked(true);  // an editor closing now must not pull the cursor back
    if (view_row < 0 || view_row >= model_->rowCount()) {
        selectionModel()->clearCurrentIndex();
    } else {
        int c = currentIndex().isValid() ? currentIndex().column() : -1;
        if (c < 0 || isColumnHidden(c)) {
            c = 0;
            while (c < column_count() - 1 && isColumnHidden(c)) ++c;
        }
        if (column_count() > 0) {
            const auto flags = QItemSelectionModel::ClearAndSelect |
                               (row_select_ ? QItemSelectionModel::Rows : QItemSelectionModel::NoUpdate);
            selectionModel()->setCurrentIndex(model_->index(view_row, c), flags);
        }
    }
    model_->set_writes_blocked(false);
    syncing_ = false;
}

void TdxDBGrid::sync_current_from_dataset()
{
    auto *ds = model_->dataset();
    on_dataset_cursor_moved(ds && ds->active() ? ds->rec_no() : -1);
}

void TdxDBGrid::on_grid_row_changed(const QModelIndex &current, const QModelIndex &)
{
    auto *ds = model_->dataset();
    if (syncing_ || !ds || !ds->active() || !current.isValid()) return;
    if (ds->rec_no() == current.row()) return;
    syncing_ = true;
    try {
        ds->move_to(current.row());  // posts a pending edit of the row left
    } catch (const std::exception &e) {
        emit handler_failed(QString::fromUtf8(e.what()));
    } catch (...) {
        emit handler_failed(unknown_error());
    }
    syncing_ = false;
    if (ds->rec_no() != current.row()) sync_current_from_dataset();
}

void TdxDBGrid::on_edit_refused(int row, int column, const QString &message)
{
    const QRect cell = visualRect(model_->index(row, column));
    QToolTip::showText(viewport()->mapToGlobal(cell.bottomLeft()), message, viewport(), cell);
    emit edit_refused(message);
}

// ---- column filter ---------------------------------------------------------

std::optional<QString> TdxDBGrid::column_filter(int c) const
{
    const auto it = column_filters_.find(c);
    if (it == column_filters_.end()) return std::nullopt;
    return it->second;
}

QString TdxDBGrid::filter_expression_for(const std::map<int, QString> &filters) const
{
    QStringList parts;
    for (const auto &[c, value] : filters) {
        const int fi = model_->field_index(c);
        if (fi < 0) continue;
        const QString field = QString::fromStdString(dataset()->field(fi).name);
        bool numeric = false;
        if (model_->is_numeric_column(c) && !value.isEmpty()) QLocale::c().toDouble(value, &numeric);
        QString literal = value;
        if (!numeric) literal = QLatin1Char('\'') + QString(value).replace(QLatin1Char('\''), QStringLiteral("''")) +
                                QLatin1Char('\'');
        parts << field + QLatin1Char('=') + literal;
    }
    return parts.join(QStringLiteral(" AND "));
}

QString TdxDBGrid::column_filter_expression() const
{
    return filter_expression_for(column_filters_);
}

bool TdxDBGrid::apply_filters(const std::map<int, QString> &filters)
{
    auto *ds = dataset();
    if (!ds) {
        last_filter_error_ = QStringLiteral("表格没有数据集");
        return false;
    }
    try {
        ds->set_user_filter(filter_expression_for(filters).toStdString());
    } catch (const std::exception &e) {
        last_filter_error_ = QString::fromUtf8(e.what());
        return false;
    }
    column_filters_ = filters;
    last_filter_error_.clear();
    return true;
}

bool TdxDBGrid::set_column_filter(int c, const QString &value)
{
    if (c < 0 || c >= column_count() || model_->field_index(c) < 0) {
        last_filter_error_ = QStringLiteral("该列不能过滤");
        return false;
    }
    auto filters = column_filters_;
    filters[c] = value;
    return apply_filters(filters);
}

bool TdxDBGrid::clear_column_filter(int c)
{
    auto filters = column_filters_;
    if (filters.erase(c) == 0) return true;
    return apply_filters(filters);
}

void TdxDBGrid::clear_column_filters()
{
    if (column_filters_.empty() && (!dataset() || dataset()->user_filter().empty())) return;
    apply_filters({});
}

QStringList TdxDBGrid::column_filter_values(int c) const
{
    const int fi = model_->field_index(c);
    if (fi < 0) return {};
    const bool numeric = model_->is_numeric_column(c);
    std::set<std::string> texts;
    std::set<double> numbers;
    bool has_empty = false;
    const int rows = model_->rowCount();
    for (int r = 0; r < rows; ++r) {
        const wire::Value v = dataset()->value_at(r, fi);
        if (wire::is_null(v)) {
            has_empty = true;
        } else if (numeric && !std::holds_alternative<std::string>(v)) {
            numbers.insert(wire::value_to_double(v));
        } else {
            texts.insert(wire::value_to_text(v));
        }
    }
    QStringList out;
    if (has_empty) out << QString();
    for (double d : numbers) out << QString::fromStdString(wire::format_number(d));
    for (const auto &t : texts) out << QString::fromStdString(t);
    return out;
}

QMenu *TdxDBGrid::make_filter_menu(int c, QWidget *parent)
{
    auto *menu = new QMenu(parent);
    const auto current = column_filter(c);
    QAction *all = menu->addAction(QStringLiteral("(全部)"));
    all->setCheckable(true);
    all->setChecked(!current);
    connect(all, &QAction::triggered, this, [this, c] { clear_column_filter(c); });
    const QStringList values = column_filter_values(c);
    constexpr int kMaxValues = 500;  // a menu longer than this helps nobody
    for (int i = 0; i < values.size() && i < kMaxValues; ++i) {
        const QString value = values[i];
        QAction *a = menu->addAction(value.isEmpty() ? QStringLiteral("(空白)") : value);
        a->setCheckable(true);
        a->setChecked(current && *current == value);
        connect(a, &QAction::triggered, this, [this, c, value] {
            if (!set_column_filter(c, value)) emit handler_failed(last_filter_error_);
        });
    }
    return menu;
}

void TdxDBGrid::show_filter_menu(const QPoint &pos)
{
    const int c = horizontalHeader()->logicalIndexAt(pos);
    if (c < 0 || model_->field_index(c) < 0) return;
    QMenu *menu = make_filter_menu(c, this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(horizontalHeader()->mapToGlobal(pos));
}
