// The table model behind the data grid: one model column per grid column,
// one model row per row of the dataset's view. It observes the dataset, so
// the grid follows every open, refilter, value change and cursor move, and it
// computes the footer summaries from the dataset (never from the view).
#pragma once

#include <QAbstractTableModel>
#include <QFont>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

#include "client_dataset.h"

enum class SummaryKind { None, Count, Sum };

struct FooterCell {
    QString text;
    Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
    QFont font;
};

// One column of the grid, named as the forms name it ("dxDBGrid1ZBSL00").
struct TdxDBGridColumn {
    QString name;
    QString field_name;
    QString caption;  // empty: the header shows the field name
    bool visible = true;
    int width = 64;  // design width; visible columns share the grid's width in proportion
    bool read_only = false;
    Qt::Alignment header_alignment = Qt::AlignCenter;
    SummaryKind summary_kind = SummaryKind::None;
    QString summary_field;  // empty: the column's own field
    // Called whenever the footer cell of this column is drawn or read; it may
    // change the text, alignment and font that the footer then shows.
    std::function<void(FooterCell &)> onDrawSummaryFooter;

    QString shown_caption() const { return caption.isEmpty() ? field_name : caption; }
};

class DatasetTableModel : public QAbstractTableModel, private dataset::DatasetObserver {
    Q_OBJECT
public:
    explicit DatasetTableModel(QObject *parent = nullptr);
    ~DatasetTableModel() override;

    // The dataset shown; nullptr shows nothing. The dataset must outlive the
    // binding (bind another or nullptr before destroying it).
    void set_dataset(dataset::ClientDataset *dataset);
    dataset::ClientDataset *dataset() const { return dataset_; }

    void set_columns(std::vector<TdxDBGridColumn> columns);
    const std::vector<TdxDBGridColumn> &columns() const { return columns_; }
    TdxDBGridColumn &column_ref(int column) { return columns_.at(static_cast<std::size_t>(column)); }
    void column_changed(int column);  // after column_ref changed a caption, field or read-only flag

    // Index of the column's field in the dataset, -1 when the dataset has none.
    int field_index(int column) const;
    bool is_numeric_column(int column) const;
    bool is_editable(int column) const;
    void set_editing_enabled(bool on);
    bool editing_enabled() const { return editing_enabled_; }

    // The summary of a column as the footer shows it before the drawing hook
    // runs: the row count, the sum in general number format, or empty.
    QString summary_text(int column) const;
    double summary_sum(int column) const;

    // The cell's text as the grid shows it (edit buffer of the current row).
    QString cell_text(int row, int column) const;

    // The message of the last refused edit (empty after an accepted one).
    const QString &last_edit_error() const { return last_edit_error_; }

    // While set, edits coming from the view are dropped: the dataset's cursor
    // has moved by program and a closing editor must not move it back.
    void set_writes_blocked(bool blocked) { writes_blocked_ = blocked; }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

signals:
    void cursor_moved(int view_row);       // the dataset's cursor moved (-1: no current row)
    void summaries_changed();              // footer values may have changed
    void edit_refused(int row, int column, const QString &message);

private:
    void rows_reset() override;
    void row_changed(int view_row) override;
    void current_changed(int view_row) override;
    void state_changed(dataset::State state) override;

    void resolve_fields();
    void invalidate_summaries();
    std::optional<wire::Value> parse_input(int column, const QString &text, QString &error) const;

    dataset::ClientDataset *dataset_ = nullptr;
    std::vector<TdxDBGridColumn> columns_;
    std::vector<int> field_indexes_;
    std::vector<int> summary_field_indexes_;
    mutable std::vector<std::optional<double>> sums_;
    bool editing_enabled_ = true;
    bool writes_blocked_ = false;
    QString last_edit_error_;
};
