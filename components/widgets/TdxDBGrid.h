// The data grid of the forms: a table view over a client dataset, bound
// through a data source. Columns scaled to the grid's width, read-only and
// lookup columns, a summary footer with a per-column drawing hook, a key-down
// hook that sees Enter before the grid acts on it, an edit-change hook, and a
// per-column filter in the header that works through the dataset's user
// filter (the filter the module sets stays in force).
#pragma once

#include <QColor>
#include <QFont>
#include <QPointer>
#include <QTableView>

#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "client_dataset.h"
#include "dataset_table_model.h"

class QMenu;
class GridFooter;
class GridCellDelegate;

class TdxDBGrid : public QTableView {
    Q_OBJECT
public:
    explicit TdxDBGrid(QWidget *parent = nullptr);
    ~TdxDBGrid() override;

    // Binding. The dataset of the source must outlive the binding: bind
    // nullptr (or another source) before the dataset is destroyed.
    void set_data_source(dataset::DataSource *source);
    dataset::DataSource *data_source() const { return data_source_; }
    void refresh_binding();  // after the data source was pointed at another dataset
    dataset::ClientDataset *dataset() const { return model_->dataset(); }

    // Columns, in display order.
    void set_columns(std::vector<TdxDBGridColumn> columns);
    int add_column(TdxDBGridColumn column);  // returns its index
    int column_count() const { return static_cast<int>(model_->columns().size()); }
    const TdxDBGridColumn &column(int index) const { return model_->columns().at(static_cast<std::size_t>(index)); }
    int column_index(const QString &name) const;  // -1 when there is none
    void set_column_visible(int column, bool visible);
    void set_column_caption(int column, const QString &caption);
    void set_column_width(int column, int design_width);
    void set_column_read_only(int column, bool read_only);
    void set_column_summary(int column, SummaryKind kind, const QString &field = {});
    void set_draw_summary_footer(int column, std::function<void(FooterCell &)> hook);

    // Visible columns share the viewport's width in proportion to their
    // design widths (on by default); off: each column has its design width.
    void set_columns_auto_width(bool on);
    bool columns_auto_width() const { return auto_width_; }

    // Look and behaviour.
    void set_header_color(const QColor &color);
    QColor header_color() const { return header_color_; }
    void set_row_select(bool whole_rows);  // whole rows (main form) or single cells (editor)
    bool row_select() const { return row_select_; }
    void set_key_field_name(const QString &name) { key_field_name_ = name; }
    const QString &key_field_name() const { return key_field_name_; }
    void set_editing_enabled(bool on);
    bool editing_enabled() const { return model_->editing_enabled(); }

    // Summary footer.
    void set_show_footer(bool on);
    bool show_footer() const { return show_footer_; }
    void set_summary_separator(const QString &separator) { summary_separator_ = separator; }
    const QString &summary_separator() const { return summary_separator_; }
    void set_footer_font(const QFont &font);
    QFont footer_base_font() const { return footer_font_ ? *footer_font_ : font(); }
    int footer_height() const;
    // The footer cell as painted: the summary, then the column's drawing hook.
    FooterCell footer_cell(int column) const;
    QString footer_text(int column) const { return footer_cell(column).text; }
    Qt::Alignment footer_alignment(int column) const { return footer_cell(column).alignment; }
    QFont footer_font(int column) const { return footer_cell(column).font; }
    QWidget *footer_widget() const;

    // Column filter: one value per column, combined by AND into the dataset's
    // user filter. Returns false (filter unchanged, last_filter_error() says
    // why) on a bad column or a filter the dataset refuses.
    bool set_column_filter(int column, const QString &value);
    bool clear_column_filter(int column);
    void clear_column_filters();
    std::optional<QString> column_filter(int column) const;
    QString column_filter_expression() const;
    const QString &last_filter_error() const { return last_filter_error_; }
    // The distinct values of the column over the rows in view, sorted.
    QStringList column_filter_values(int column) const;
    // The header's filter menu for a column: "(全部)" then the values.
    QMenu *make_filter_menu(int column, QWidget *parent);

    // Whether the cell editor is open.
    bool is_editing() const { return state() == QAbstractItemView::EditingState; }

    // The message of the last edit the grid refused (empty after an accepted one).
    QString last_edit_error() const { return model_->last_edit_error(); }
    DatasetTableModel *dataset_model() const { return model_; }

    // The key code of a key event in the system's terms (Enter 13, Tab 9,
    // Escape 27, letters and digits their upper-case character), 0 for others.
    static int key_code(const QKeyEvent *event);

    // Called for every key pressed in the grid, also while the cell editor is
    // open. On Enter the editor's text is already in the dataset's edit buffer.
    std::function<void(QKeyEvent *)> onKeyDown;
    // Called on every change the user makes to the cell editor's content.
    std::function<void()> onEditChange;

signals:
    void edit_refused(const QString &message);
    void handler_failed(const QString &message);  // a hook threw; the grid carried on

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    void scrollTo(const QModelIndex &index, ScrollHint hint = EnsureVisible) override;
    void keyboardSearch(const QString &) override {}  // typing never moves the cursor

private:
    friend class GridCellDelegate;

    void run_key_down(QKeyEvent *event);
    void run_edit_change();
    void apply_column_layout();
    void apply_column_widths();
    void apply_header_style();
    void place_footer();
    void on_dataset_cursor_moved(int view_row);
    void on_grid_row_changed(const QModelIndex &current, const QModelIndex &previous);
    void sync_current_from_dataset();
    void on_edit_refused(int row, int column, const QString &message);
    void show_filter_menu(const QPoint &pos);
    QString filter_expression_for(const std::map<int, QString> &filters) const;
    bool apply_filters(const std::map<int, QString> &filters);

    DatasetTableModel *model_;
    GridCellDelegate *delegate_;
    GridFooter *footer_;
    dataset::DataSource *data_source_ = nullptr;
    bool auto_width_ = true;
    bool row_select_ = false;
    bool show_footer_ = false;
    bool syncing_ = false;
    int geometry_depth_ = 0;
    QColor header_color_;
    QString key_field_name_;
    QString summary_separator_ = QStringLiteral(", ");
    std::optional<QFont> footer_font_;
    std::map<int, QString> column_filters_;
    QString last_filter_error_;
    QKeyEvent *key_in_progress_ = nullptr;  // the key the grid itself is handling
};
