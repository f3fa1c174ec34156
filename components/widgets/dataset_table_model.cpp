#include "dataset_table_model.h"

#include <QLocale>

#include <cmath>
#include <exception>
#include <limits>

namespace {

bool is_numeric_type(wire::FieldType type)
{
    return type == wire::FieldType::Float || type == wire::FieldType::Integer;
}

// A number as typed: the C locale first ("12.5"), then the user's locale.
std::optional<double> parse_number(const QString &text)
{
    bool ok = false;
    double d = QLocale::c().toDouble(text, &ok);
    if (!ok) d = QLocale().toDouble(text, &ok);
    if (!ok || !std::isfinite(d)) return std::nullopt;
    return d;
}

}  // namespace

DatasetTableModel::DatasetTableModel(QObject *parent) : QAbstractTableModel(parent) {}

DatasetTableModel::~DatasetTableModel()
{
    if (dataset_) dataset_->remove_observer(this);
}

void DatasetTableModel::set_dataset(dataset::ClientDataset *dataset)
{
    if (dataset == dataset_) return;
    beginResetModel();
    if (dataset_) dataset_->remove_observer(this);
    dataset_ = dataset;
    if (dataset_) dataset_->add_observer(this);
    resolve_fields();
    invalidate_summaries();
    endResetModel();
    emit summaries_changed();
}

void DatasetTableModel::set_columns(std::vector<TdxDBGridColumn> columns)
{
    beginResetModel();
    columns_ = std::move(columns);
    resolve_fields();
    invalidate_summaries();
    endResetModel();
    emit summaries_changed();
}

void DatasetTableModel::column_changed(int column)
{
    if (column < 0 || column >= columnCount()) return;
    resolve_fields();
    invalidate_summaries();
    emit headerDataChanged(Qt::Horizontal, column, column);
    if (rowCount() > 0) emit dataChanged(index(0, column), index(rowCount() - 1, column));
    emit summaries_changed();
}

void DatasetTableModel::resolve_fields()
{
    field_indexes_.assign(columns_.size(), -1);
    summary_field_indexes_.assign(columns_.size(), -1);
    if (!dataset_) return;
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        const auto &c = columns_[i];
        field_indexes_[i] = dataset_->field_index(c.field_name.toStdString());
        const QString summary = c.summary_field.isEmpty() ? c.field_name : c.summary_field;
        summary_field_indexes_[i] = dataset_->field_index(summary.toStdString());
    }
}

void DatasetTableModel::invalidate_summaries()
{
    sums_.assign(columns_.size(), std::nullopt);
}

int DatasetTableModel::field_index(int column) const
{
    if (column < 0 || column >= static_cast<int>(field_indexes_.size())) return -1;
    return field_indexes_[static_cast<std::size_t>(column)];
}

bool DatasetTableModel::is_numeric_column(int column) const
{
    const int fi = field_index(column);
    return fi >= 0 && is_numeric_type(dataset_->field(fi).type);
}

bool DatasetTableModel::is_editable(int column) const
{
    const int fi = field_index(column);
    if (!editing_enabled_ || fi < 0) return false;
    if (columns_[static_cast<std::size_t>(column)].read_only) return false;
    return !dataset_->field(fi).lookup;  // lookup values are computed, never typed
}

void DatasetTableModel::set_editing_enabled(bool on)
{
    if (on == editing_enabled_) return;
    editing_enabled_ = on;
    if (rowCount() > 0 && columnCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

int DatasetTableModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid() || !dataset_ || !dataset_->active()) return 0;
    return dataset_->record_count();
}

int DatasetTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QString DatasetTableModel::cell_text(int row, int column) const
{
    const int fi = field_index(column);
    if (fi < 0 || row < 0 || row >= rowCount()) return {};
    return QString::fromStdString(wire::value_to_text(dataset_->value_at(row, fi)));
}

QVariant DatasetTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid()) return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return cell_text(index.row(), index.column());
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(is_numeric_column(index.column()) ? (Qt::AlignRight | Qt::AlignVCenter)
                                                                     : (Qt::AlignLeft | Qt::AlignVCenter));
    default:
        return {};
    }
}

QVariant DatasetTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount())
        return QAbstractTableModel::headerData(section, orientation, role);
    const auto &c = columns_[static_cast<std::size_t>(section)];
    switch (role) {
    case Qt::DisplayRole:
        return c.shown_caption();
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(c.header_alignment);
    default:
        return {};
    }
}

Qt::ItemFlags DatasetTableModel::flags(const QModelIndex &index) const
{
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (is_editable(index.column())) f |= Qt::ItemIsEditable;
    return f;
}

std::optional<wire::Value> DatasetTableModel::parse_input(int column, const QString &text, QString &error) const
{
    const int fi = field_index(column);
    const auto type = dataset_->field(fi).type;
    const QString t = text.trimmed();
    if (type == wire::FieldType::String) return wire::Value{text.toStdString()};
    if (t.isEmpty()) return wire::Value{};  // an emptied number cell holds no value
    const auto d = parse_number(t);
    if (!d) {
        error = QStringLiteral("“%1”不是有效的数值").arg(t);
        return std::nullopt;
    }
    if (type == wire::FieldType::Float) return wire::Value{*d};
    if (*d != std::floor(*d) || std::fabs(*d) > 9.0e15) {
        error = QStringLiteral("“%1”不是有效的整数").arg(t);
        return std::nullopt;
    }
    return wire::Value{static_cast<std::int64_t>(*d)};
}

bool DatasetTableModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::EditRole || !index.isValid() || writes_blocked_) return false;
    const int row = index.row();
    const int column = index.column();
    if (!is_editable(column) || row >= rowCount()) return false;
    const int fi = field_index(column);

    QString error;
    const auto parsed = parse_input(column, value.toString(), error);
    if (!parsed) {
        last_edit_error_ = error;
        emit edit_refused(row, column, error);
        return false;
    }
    last_edit_error_.clear();
    // Committing an unchanged value (an editor closing after its text was
    // already taken in) neither moves the cursor nor starts an edit.
    if (dataset_->value_at(row, fi) == *parsed) return true;
    try {
        if (dataset_->rec_no() != row) dataset_->move_to(row);
        dataset_->set_value(dataset_->field(fi).name, *parsed);
    } catch (const std::exception &e) {
        last_edit_error_ = QString::fromStdString(e.what());
        emit edit_refused(row, column, last_edit_error_);
        return false;
    }
    return true;
}

double DatasetTableModel::summary_sum(int column) const
{
    if (column < 0 || column >= columnCount()) return 0.0;
    auto &cached = sums_[static_cast<std::size_t>(column)];
    if (cached) return *cached;
    double sum = 0.0;
    const int fi = summary_field_indexes_[static_cast<std::size_t>(column)];
    const int rows = rowCount();
    if (fi >= 0) {
        for (int r = 0; r < rows; ++r) {
            const wire::Value v = dataset_->value_at(r, fi);
            if (const double *d = std::get_if<double>(&v)) {
                sum += *d;
            } else if (const auto *i = std::get_if<std::int64_t>(&v)) {
                sum += static_cast<double>(*i);
            } else if (std::holds_alternative<std::string>(v)) {
                try {
                    sum += wire::value_to_double(v);
                } catch (const std::exception &) {
                    // text that is no number adds nothing
                }
            }
        }
    }
    cached = sum;
    return sum;
}

QString DatasetTableModel::summary_text(int column) const
{
    if (column < 0 || column >= columnCount()) return {};
    switch (columns_[static_cast<std::size_t>(column)].summary_kind) {
    case SummaryKind::None:
        return {};
    case SummaryKind::Count:
        return QString::number(rowCount());
    case SummaryKind::Sum:
        if (summary_field_indexes_[static_cast<std::size_t>(column)] < 0) return {};  // no such field: nothing shown
        return QString::fromStdString(wire::format_number(summary_sum(column)));
    }
    return {};
}

void DatasetTableModel::rows_reset()
{
    beginResetModel();
    resolve_fields();  // an open brings the fields
    invalidate_summaries();
    endResetModel();
    emit summaries_changed();
}

void DatasetTableModel::row_changed(int view_row)
{
    invalidate_summaries();
    if (view_row >= 0 && view_row < rowCount() && columnCount() > 0)
        emit dataChanged(index(view_row, 0), index(view_row, columnCount() - 1));
    emit summaries_changed();
}

void DatasetTableModel::current_changed(int view_row)
{
    emit cursor_moved(view_row);
}

void DatasetTableModel::state_changed(dataset::State)
{
    // A cancelled edit shows the stored values again.
    row_changed(dataset_ ? dataset_->rec_no() : -1);
}
