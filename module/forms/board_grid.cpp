#include "board_grid.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QScrollBar>
#include <QStyledItemDelegate>

#include "grid_footer.h"

using board::CellKind;
using board::IndicatorState;
using board::Position;

namespace {

QString text_of(const std::string &s) { return QString::fromStdString(s); }
QString quantity_text(double q) { return text_of(board::format_quantity(q)); }

// Design widths of the columns: indicator columns, a salesman, a figure.
constexpr int kSequenceWidth = 48;
constexpr int kNameWidth = 150;
constexpr int kFigureWidth = 84;
constexpr int kSalesmanWidth = 76;

// Marks an editor whose text has been posted, so its closing does not post it again.
constexpr const char *kPostedProperty = "board_posted";
// Marks an editor that holds its cell's value already.
constexpr const char *kFilledProperty = "board_filled";

}  // namespace

// ---- the model ---------------------------------------------------------------

BoardTableModel::BoardTableModel(board::BoardModel &board, QObject *parent) : QAbstractTableModel(parent), board_(board)
{
    board_.add_observer(this);
}

BoardTableModel::~BoardTableModel() { board_.remove_observer(this); }

bool BoardTableModel::is_salesman_column(int column) const
{
    return column >= kFirstSalesmanColumn && column < allocated_column();
}

std::optional<Position> BoardTableModel::position(const QModelIndex &index) const
{
    if (!index.isValid() || !is_salesman_column(index.column())) return std::nullopt;
    return Position{index.row(), index.column() - kFirstSalesmanColumn};
}

QModelIndex BoardTableModel::index_of(const Position &cell) const
{
    return index(cell.indicator, kFirstSalesmanColumn + cell.salesman);
}

int BoardTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : board_.indicator_count();
}

int BoardTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : remaining_column() + 1;
}

QVariant BoardTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= board_.indicator_count()) return {};
    const int i = index.row();
    const int column = index.column();
    const board::Indicator &ind = board_.indicator(i);
    const auto cell = position(index);

    switch (role) {
    case Qt::DisplayRole:
        if (cell) {
            if (const auto proposed = board_.proposed_value(*cell)) return quantity_text(*proposed);
            if (board_.cell_kind(*cell) == CellKind::NoPlan) return QString::fromUtf8(board::kNoPlanMark);
            return text_of(wire::value_to_text(board_.cell_value(*cell)));
        }
        if (column == kSequenceColumn) return quantity_text(ind.key.sequence);
        if (column == kNameColumn) return text_of(ind.key.name);
        if (column == kPlanColumn) return ind.in_department_plan ? quantity_text(ind.plan) : QString();
        if (column == allocated_column()) return quantity_text(board_.allocated(i));
        if (column == remaining_column()) return quantity_text(board_.remaining(i));
        return {};
    case Qt::EditRole:
        if (cell) return text_of(wire::value_to_text(board_.cell_value(*cell)));
        return data(index, Qt::DisplayRole);
    case Qt::TextAlignmentRole:
        if (column == kNameColumn) return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
        if (column == kSequenceColumn || (cell && board_.cell_kind(*cell) == CellKind::NoPlan))
            return QVariant::fromValue(Qt::AlignCenter);
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    case Qt::BackgroundRole:
        if (cell) {
            const CellKind kind = board_.cell_kind(*cell);
            if (board_.proposal() && board_.proposal()->refused.count(board_.key_of(*cell))) return board_colours::kOver;
            if (board_.proposed_value(*cell)) return board_colours::kProposed;
            if (kind == CellKind::NoPlan || kind == CellKind::LeftDepartment) return board_colours::kNoPlan;
        }
        switch (board_.indicator_state(i)) {
        case IndicatorState::Left: return board_colours::kLeft;
        case IndicatorState::Over: return board_colours::kOver;
        case IndicatorState::Allocated: return {};
        }
        return {};
    case Qt::ForegroundRole:
        if (cell && board_.cell_changed(*cell)) return board_colours::kChangedText;
        return {};
    case Qt::FontRole:
        if (cell && (board_.cell_changed(*cell) || board_.proposed_value(*cell))) {
            QFont font;
            font.setBold(board_.cell_changed(*cell));
            font.setItalic(board_.proposed_value(*cell).has_value());
            return font;
        }
        return {};
    case Qt::ToolTipRole:
    case Qt::AccessibleDescriptionRole:
        if (cell && board_.proposal() && board_.proposal()->refused.count(board_.key_of(*cell)))
            return text_of("“" + board_.proposal()->title + "”不能填入：" + board_.proposal()->refused.at(board_.key_of(*cell)));
        return text_of(cell ? board_.cell_note(*cell) : board_.indicator_note(i));
    default:
        return {};
    }
}

QVariant BoardTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal) return QAbstractTableModel::headerData(section, orientation, role);
    if (is_salesman_column(section)) {
        const int s = section - kFirstSalesmanColumn;
        const board::Salesman &man = board_.salesman(s);
        switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole:
            return man.visit_salesman ? text_of(man.name)
                                      : text_of(man.name) + QStringLiteral("（") +
                                            QString::fromUtf8(board::kLeftMark) + QStringLiteral("）");
        case Qt::ToolTipRole:
        case Qt::AccessibleDescriptionRole:
            return text_of(board_.salesman_note(s));
        case Qt::BackgroundRole:
            return man.has_plan && man.visit_salesman ? QVariant() : QVariant(board_colours::kNoPlan);
        default:
            return {};
        }
    }
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole && role != Qt::ToolTipRole) return {};
    if (section == kSequenceColumn) return QStringLiteral("序号");
    if (section == kNameColumn) return QStringLiteral("指标名称");
    if (section == kPlanColumn) return QStringLiteral("上级计划");
    if (section == allocated_column()) return QStringLiteral("已分配");
    if (section == remaining_column()) return QStringLiteral("剩余");
    return {};
}

Qt::ItemFlags BoardTableModel::flags(const QModelIndex &index) const
{
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (const auto cell = position(index); cell && board_.cell_editable(*cell)) f |= Qt::ItemIsEditable;
    return f;
}

bool BoardTableModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    const auto cell = position(index);
    if (role != Qt::EditRole || !cell) return false;
    last_refusal_ = board_.enter(*cell, value.toString().toStdString());
    return !last_refusal_;
}

FooterCell BoardTableModel::footer_cell(int column, const QFont &font) const
{
    FooterCell fc;
    fc.font = font;
    fc.alignment = Qt::AlignRight | Qt::AlignVCenter;
    if (!board_.loaded() || board_.indicator_count() == 0) return fc;
    if (column == kNameColumn) {
        fc.text = QStringLiteral("合计");
        fc.font.setBold(true);
    } else if (column == kPlanColumn) {
        fc.text = quantity_text(board_.plan_total());
    } else if (is_salesman_column(column)) {
        fc.text = quantity_text(board_.salesman_total(column - kFirstSalesmanColumn));
    } else if (column == allocated_column()) {
        fc.text = quantity_text(board_.allocated_total());
    } else if (column == remaining_column()) {
        fc.text = quantity_text(board_.remaining_total());
    }
    return fc;
}

void BoardTableModel::board_reset()
{
    beginResetModel();
    endResetModel();
    emit figures_updated();
}

void BoardTableModel::figures_changed(const Position &cell)
{
    // The whole row: its figures and its colour follow the cell (an open
    // editor keeps what is being typed: the delegate fills it once).
    emit dataChanged(index(cell.indicator, 0), index(cell.indicator, columnCount() - 1));
    emit figures_updated();
}

// ---- the cell editor's delegate ------------------------------------------------------

class BoardCellDelegate : public QStyledItemDelegate {
public:
    explicit BoardCellDelegate(BoardGrid *grid) : QStyledItemDelegate(grid), grid_(grid) {}

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        auto *line = new QLineEdit(parent);
        line->setObjectName(QStringLiteral("board_cell_editor"));
        line->setAccessibleName(QStringLiteral("计划数量"));
        line->setFrame(false);
        line->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        const auto cell = grid_->model_->position(index);
        QObject::connect(line, &QLineEdit::textEdited, grid_, [g = grid_, cell](const QString &text) {
            if (cell) g->model_->board().set_typing(*cell, text.toStdString());
        });
        Q_UNUSED(option);
        return line;
    }

    void setEditorData(QWidget *editor, const QModelIndex &index) const override
    {
        // Once: the view refreshes open editors whenever the row's figures
        // change, which they do with every key typed.
        if (editor->property(kFilledProperty).toBool()) return;
        editor->setProperty(kFilledProperty, true);
        QStyledItemDelegate::setEditorData(editor, index);
    }

    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override
    {
        auto *line = qobject_cast<QLineEdit *>(editor);
        if (!line || editor->property(kPostedProperty).toBool()) return;
        // The editor is closing by itself (the focus went elsewhere): its
        // text goes through the check like Enter; a refusal is shown once
        // the focus has settled, and the cell keeps its value.
        if (!model->setData(index, line->text(), Qt::EditRole) && grid_->model_->last_refusal()) {
            const Refusal refusal = *grid_->model_->last_refusal();
            QPointer<BoardGrid> grid(grid_);
            QMetaObject::invokeMethod(
                grid_, [grid, refusal] { if (grid) grid->show_refusal(refusal); }, Qt::QueuedConnection);
        }
    }

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        auto *editor = qobject_cast<QWidget *>(object);
        if (!editor || event->type() != QEvent::KeyPress) return QStyledItemDelegate::eventFilter(object, event);
        auto *key = static_cast<QKeyEvent *>(event);
        switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (grid_->post_editor(editor)) grid_->move_row(1);
            return true;
        case Qt::Key_Up:
        case Qt::Key_Down:
            if (grid_->post_editor(editor)) grid_->move_row(key->key() == Qt::Key_Up ? -1 : 1);
            return true;
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            if (grid_->post_editor(editor)) grid_->focusNextPrevChild(key->key() == Qt::Key_Tab);
            return true;
        case Qt::Key_Escape:
            editor->setProperty(kPostedProperty, true);  // dropped, not posted
            grid_->drop_editor();
            return true;
        default:
            return QStyledItemDelegate::eventFilter(object, event);
        }
    }

private:
    BoardGrid *grid_;
};

// ---- the view ------------------------------------------------------------------------

BoardGrid::BoardGrid(board::BoardModel &board, QWidget *parent)
    : QTableView(parent), model_(new BoardTableModel(board, this)),
      footer_(new GridFooter(this, [this](int column) { return footer_cell(column); }, this))
{
    setModel(model_);
    setItemDelegate(new BoardCellDelegate(this));
    footer_->setObjectName(QStringLiteral("board_footer"));
    footer_->setAccessibleName(QStringLiteral("合计"));

    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setEditTriggers(QAbstractItemView::AnyKeyPressed | QAbstractItemView::DoubleClicked |
                    QAbstractItemView::EditKeyPressed);
    setTabKeyNavigation(false);  // Tab leaves the grid
    setWordWrap(false);
    setFrameShape(QFrame::Box);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 8);
    horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);

    connect(model_, &BoardTableModel::figures_updated, footer_, qOverload<>(&QWidget::update));
    connect(model_, &QAbstractItemModel::modelReset, this, &BoardGrid::fit_columns);
    connect(horizontalHeader(), &QHeaderView::sectionResized, footer_, qOverload<>(&QWidget::update));
}

BoardGrid::~BoardGrid() = default;

FooterCell BoardGrid::footer_cell(int column) const { return model_->footer_cell(column, font()); }

QString BoardGrid::footer_text(int column) const { return footer_cell(column).text; }

int BoardGrid::footer_height() const { return fontMetrics().height() + 8; }

void BoardGrid::set_header_color(const QColor &colour)
{
    header_color_ = colour;
    const QColor line = colour.darker(140);
    horizontalHeader()->setStyleSheet(QStringLiteral("QHeaderView::section { background-color: %1; border: none; "
                                                     "border-right: 1px solid %2; border-bottom: 1px solid %2; "
                                                     "padding: 2px; }")
                                          .arg(colour.name(), line.name()));
    footer_->set_background(colour);
}

std::optional<Position> BoardGrid::current_position() const { return model_->position(currentIndex()); }

void BoardGrid::fit_columns()
{
    const int n = model_->columnCount();
    int used = 0;
    for (int c = 0; c < n; ++c) {
        int w = kFigureWidth;
        if (c == BoardTableModel::kSequenceColumn) w = kSequenceWidth;
        else if (c == BoardTableModel::kNameColumn) w = kNameWidth;
        else if (model_->is_salesman_column(c)) w = kSalesmanWidth;
        setColumnWidth(c, w);
        used += w;
    }
    // Room to spare goes to the indicator names.
    const int spare = viewport()->width() - used;
    if (spare > 0 && n > BoardTableModel::kNameColumn)
        setColumnWidth(BoardTableModel::kNameColumn, kNameWidth + spare);
    footer_->update();
}

void BoardGrid::place_footer()
{
    const QRect area = viewport()->geometry();
    footer_->setGeometry(area.left(), area.bottom() + 1, area.width(), footer_height());
    footer_->show();
    footer_->update();
}

void BoardGrid::resizeEvent(QResizeEvent *event)
{
    QTableView::resizeEvent(event);
    fit_columns();
    place_footer();
}

void BoardGrid::updateGeometries()
{
    // The table keeps its header in the viewport's top margin; the footer
    // takes the bottom one.
    QTableView::updateGeometries();
    const QMargins margins = viewportMargins();
    if (margins.bottom() != footer_height())
        setViewportMargins(margins.left(), margins.top(), margins.right(), footer_height());
    place_footer();
}

void BoardGrid::scrollContentsBy(int dx, int dy)
{
    QTableView::scrollContentsBy(dx, dy);
    footer_->update();
}

bool BoardGrid::focusNextPrevChild(bool next)
{
    // Tab belongs to the form: it leaves the grid for the next control.
    return QWidget::focusNextPrevChild(next);
}

void BoardGrid::move_row(int step)
{
    const QModelIndex current = currentIndex();
    if (!current.isValid()) return;
    const int row = current.row() + step;
    if (row < 0 || row >= model_->rowCount()) return;
    setCurrentIndex(model_->index(row, current.column()));
}

void BoardGrid::show_refusal(const Refusal &refusal)
{
    if (onRefused) onRefused(refusal);
}

bool BoardGrid::post_editor(QWidget *editor)
{
    auto *line = qobject_cast<QLineEdit *>(editor);
    const QModelIndex index = currentIndex();
    if (!line || !index.isValid()) return true;
    if (!model_->setData(index, line->text(), Qt::EditRole)) {
        if (model_->last_refusal()) show_refusal(*model_->last_refusal());
        // The text stays for correcting; the figures still count it.
        if (QPointer<QLineEdit> alive(line); alive) {
            alive->setFocus(Qt::OtherFocusReason);
            alive->selectAll();
        }
        return false;
    }
    line->setProperty(kPostedProperty, true);
    QTableView::closeEditor(line, QAbstractItemDelegate::NoHint);
    return true;
}

bool BoardGrid::take_in_editor()
{
    if (!is_editing()) return true;
    QWidget *editor = indexWidget(currentIndex());
    return editor ? post_editor(editor) : true;
}

void BoardGrid::drop_editor()
{
    model_->board().clear_typing();
    if (!is_editing()) return;
    if (QWidget *editor = indexWidget(currentIndex())) {
        editor->setProperty(kPostedProperty, true);
        QTableView::closeEditor(editor, QAbstractItemDelegate::RevertModelCache);
    }
    setFocus(Qt::OtherFocusReason);
}

void BoardGrid::closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint)
{
    model_->board().clear_typing();
    QTableView::closeEditor(editor, hint);
}

void BoardGrid::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !is_editing() &&
        event->modifiers() == Qt::NoModifier) {
        move_row(1);
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}
