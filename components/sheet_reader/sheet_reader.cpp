#include "sheet_reader.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include "sheet_reader_parts.h"

namespace sheet {

namespace {
const Cell empty_cell;
}

const Cell &Table::at(int row, int col) const
{
    if (row < 0 || col < 0 || row >= rows.size() || col >= rows[row].size()) return empty_cell;
    return rows[row][col];
}

QString cell_name(int row, int col)
{
    QString letters;
    for (int c = col + 1; c > 0; c = (c - 1) / 26) letters.prepend(QChar('A' + (c - 1) % 26));
    return letters + QString::number(row + 1);
}

namespace detail {

Error refuse(const QString &name, const QString &what)
{
    return Error{QStringLiteral("文件“%1”：%2").arg(name, what)};
}

QString unknown_encoding()
{
    return QStringLiteral("无法识别文件的编码，请另存为 UTF-8 或 GB18030 编码的 CSV 文件");
}

QString too_many_rows(const Limits &limits)
{
    return QStringLiteral("表格超过 %1 行，超出了能导入的行数").arg(limits.max_rows);
}

std::optional<QString> TableBuilder::check_text(int row, int col, const QString &text) const
{
    if (text.size() > limits_.max_cell_chars)
        return QStringLiteral("单元格 %1 的内容超过 %2 个字符").arg(cell_name(row, col)).arg(limits_.max_cell_chars);
    return std::nullopt;
}

std::optional<QString> TableBuilder::place(int row, int col, Cell cell)
{
    if (row >= limits_.max_rows) return too_many_rows(limits_);
    if (col >= limits_.max_columns)
        return QStringLiteral("表格超过 %1 列（单元格 %2），超出了能导入的列数").arg(limits_.max_columns).arg(cell_name(row, col));
    if (auto bad = check_text(row, col, cell.text)) return bad;
    if (row >= table_.rows.size()) table_.rows.resize(row + 1);
    auto &cells = table_.rows[row];
    if (col >= cells.size()) {
        cells_ += col + 1 - cells.size();
        if (cells_ > limits_.max_cells)
            return QStringLiteral("表格的单元格超过 %1 个，超出了能导入的大小").arg(limits_.max_cells);
        if (cells.capacity() < col + 1) cells.reserve(std::max<qsizetype>({col + 1, 2 * cells.capacity(), 16}));
        cells.resize(col + 1);
    }
    cells[col] = std::move(cell);
    return std::nullopt;
}

void TableBuilder::drop_trailing_empty_rows()
{
    auto blank = [](const QVector<Cell> &row) {
        for (const auto &c : row)
            if (c.kind != Cell::Kind::Empty) return false;
        return true;
    };
    while (!table_.rows.isEmpty() && blank(table_.rows.last())) table_.rows.removeLast();
}

}  // namespace detail

namespace {

std::variant<Table, Error> read_any(const QByteArray &bytes, const QString &name, const Limits &limits)
{
    using detail::refuse;
    if (bytes.size() > limits.max_file_bytes)
        return refuse(name, QStringLiteral("文件大于 %1 MB，超出了能导入的大小").arg(limits.max_file_bytes / (1024 * 1024)));
    if (bytes.isEmpty()) return refuse(name, QStringLiteral("文件是空的"));
    if (bytes.startsWith("PK\x03\x04")) return detail::read_xlsx(bytes, name, limits);
    if (bytes.startsWith("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"))
        return refuse(name, QStringLiteral("是旧的 .xls 格式或加密的工作簿，无法读取，请在电子表格程序中另存为 .xlsx 或 CSV 后再导入"));
    if (bytes.startsWith("PK\x05\x06") || bytes.startsWith("PK\x07\x08")) return refuse(name, QStringLiteral("文件已损坏，不是完整的 .xlsx 工作簿"));
    // UTF-16 text ("Unicode text" of spreadsheet programs) has NUL bytes, but is text.
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF"))
        return refuse(name, detail::unknown_encoding());
    if (bytes.startsWith("%PDF-") || bytes.contains('\0')) return refuse(name, QStringLiteral("不是电子表格文件"));
    return detail::read_csv(bytes, name, limits);
}

}  // namespace

std::variant<Table, Error> read_bytes(const QByteArray &bytes, const QString &name, const Limits &limits)
{
    try {
        return read_any(bytes, name, limits);
    } catch (const std::bad_alloc &) {
        return detail::refuse(name, QStringLiteral("文件太大，内存不足，无法读取"));
    }
}

std::variant<Table, Error> read_file(const QString &path, const Limits &limits)
{
    const QString name = QFileInfo(path).fileName();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return detail::refuse(name, QStringLiteral("无法打开（%1）").arg(file.errorString()));
    if (file.size() > limits.max_file_bytes)
        return detail::refuse(name, QStringLiteral("文件大于 %1 MB，超出了能导入的大小").arg(limits.max_file_bytes / (1024 * 1024)));
    // At most one byte over the limit, for files whose size is not known beforehand.
    QByteArray bytes;
    try {
        bytes = file.read(limits.max_file_bytes + 1);
    } catch (const std::bad_alloc &) {
        return detail::refuse(name, QStringLiteral("文件太大，内存不足，无法读取"));
    }
    if (file.error() != QFileDevice::NoError)
        return detail::refuse(name, QStringLiteral("读取失败（%1）").arg(file.errorString()));
    return read_bytes(bytes, name, limits);
}

}  // namespace sheet
