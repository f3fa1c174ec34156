// The board's grid: a table view over the board model, one row per
// indicator (序号, 指标名称, 上级计划), one column per salesman, then 已分配 and
// 剩余, with a footer of totals under the rows. The model behind it holds
// every rule; this only shows its figures, states and notes, and hands it
// what the planner types.
//
// Keys: the arrows move between cells; typing opens the cell's editor; Enter
// (or an arrow up or down) in the editor posts the value through the model's
// check, and a refusal keeps the editor open with its text; Enter outside
// the editor moves down a row; Tab and Shift+Tab leave the grid; Escape in
// the editor drops the typing (a second Escape is the form's).
#pragma once

#include <QAbstractTableModel>
#include <QTableView>

#include <functional>

#include "board_model.h"

class GridFooter;
struct FooterCell;

// Colours that tell the states apart; each state also has its text (the
// cell's tooltip, the state line).
namespace board_colours {
inline const QColor kLeft(255, 240, 190);       // quantity left
inline const QColor kOver(248, 196, 196);       // over-allocated
inline const QColor kNoPlan(214, 214, 214);     // 未生成, and a salesman who left
inline const QColor kProposed(204, 226, 255);   // a helper's proposal, not yet taken
inline const QColor kChangedText(0, 0, 160);    // typed, not yet saved
}  // namespace board_colours

class BoardTableModel : public QAbstractTableModel, private board::BoardObserver {
    Q_OBJECT
public:
    explicit BoardTableModel(board::BoardModel &board, QObject *parent = nullptr);
    ~BoardTableModel() override;

    board::BoardModel &board() const { return board_; }

    // Columns: 序号, 指标名称, 上级计划, the salesmen, 已分配, 剩余.
    static constexpr int kSequenceColumn = 0;
    static constexpr int kNameColumn = 1;
    static constexpr int kPlanColumn = 2;
    static constexpr int kFirstSalesmanColumn = 3;
    int allocated_column() const { return kFirstSalesmanColumn + board_.salesman_count(); }
    int remaining_column() const { return allocated_column() + 1; }
    bool is_salesman_column(int column) const;
    // The board cell of a model index; nothing for the indicator and figure columns.
    std::optional<board::Position> position(const QModelIndex &index) const;
    QModelIndex index_of(const board::Position &cell) const;

    // The footer cell of a column: "合计", the totals.
    FooterCell footer_cell(int column, const QFont &font) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    // Enter's post: the model's check, then the value. A refusal is kept in
    // last_refusal() and nothing changes.
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    const std::optional<Refusal> &last_refusal() const { return last_refusal_; }

signals:
    void figures_updated();  // totals and the state may have changed

private:
    void board_reset() override;
    void figures_changed(const board::Position &cell) override;

    board::BoardModel &board_;
    std::optional<Refusal> last_refusal_;
};

class BoardGrid : public QTableView {
    Q_OBJECT
public:
    explicit BoardGrid(board::BoardModel &board, QWidget *parent = nullptr);
    ~BoardGrid() override;

    BoardTableModel *board_model() const { return model_; }
    GridFooter *footer() const { return footer_; }
    FooterCell footer_cell(int column) const;
    QString footer_text(int column) const;
    int footer_height() const;

    void set_header_color(const QColor &colour);
    // The cell under the cursor, when it is a salesman's.
    std::optional<board::Position> current_position() const;
    bool is_editing() const { return state() == QAbstractItemView::EditingState; }

    // Posts the text of an open cell editor through the check. False when it
    // was refused: the refusal has been shown and the editor stays open.
    bool take_in_editor();
    // Closes an open cell editor and drops its typing.
    void drop_editor();

    // Shows a refusal of what was typed (the form's message box).
    std::function<void(const Refusal &)> onRefused;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    bool focusNextPrevChild(bool next) override;
    void resizeEvent(QResizeEvent *event) override;
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    void closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint) override;

private:
    friend class BoardCellDelegate;
    void place_footer();
    void fit_columns();
    // Posts the editor's text; true when taken (the editor is closed then).
    bool post_editor(QWidget *editor);
    void move_row(int step);
    void show_refusal(const Refusal &refusal);

    BoardTableModel *model_;
    GridFooter *footer_;
    QColor header_color_;
};
