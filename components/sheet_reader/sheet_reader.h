// Reading a planner's spreadsheet: the first sheet of an .xlsx workbook, or a
// CSV file in UTF-8 (with or without a byte order mark) or GB18030. The file's
// content decides how it is read, not its name. Whatever the bytes, the reader
// returns a table or a message for the planner; it never throws and keeps its
// memory and time within the limits it is given.
#pragma once
#include <QByteArray>
#include <QString>
#include <QVector>
#include <optional>
#include <variant>
namespace sheet {
struct Cell {
    enum class Kind { Empty, Number, Text };
    Kind kind = Kind::Empty;
    double number = 0;     // Kind::Number (dates: the serial number as stored; see is_date)
    QString text;          // Kind::Text; for numbers: the text as written in the file
    bool is_date = false;  // a number whose cell style is a date/time format
};
struct Table {
    QVector<QVector<Cell>> rows;   // the first sheet, row-major from A1; ragged rows allowed
    QString format;                // "xlsx" or "csv"
    QString encoding;              // csv: "UTF-8", "UTF-8 BOM", "GB18030"; xlsx: empty
    const Cell &at(int row, int col) const;   // an Empty cell outside the table
    QVector<QString> merged;       // xlsx: the merged ranges as written ("A1:C1"); values sit top-left
    QString sheet_name;            // xlsx: the name of the sheet that was read
    bool date1904 = false;         // xlsx: serial numbers count days from 1904-01-01, not 1899-12-30
};
struct Limits {
    qint64 max_file_bytes = 64LL * 1024 * 1024;
    int max_rows = 100000;             // more: refused (a 1,000,000-row sheet is refused quickly)
    int max_columns = 1024;
    int max_cell_chars = 32767;        // a cell of 1 MB of text is refused
    qint64 max_uncompressed_bytes = 256LL * 1024 * 1024;  // zip bombs
    qint64 max_cells = 4000000;        // cells kept in memory, empty ones included
};
struct Error { QString message; };  // Chinese, for the planner, names the file and what is wrong
// Reads by content (a zip's signature "PK\x03\x04" → xlsx; anything else → CSV), not by suffix.
// Never throws, never crashes on any input.
std::variant<Table, Error> read_file(const QString &path, const Limits &limits = {});
std::variant<Table, Error> read_bytes(const QByteArray &bytes, const QString &name, const Limits &limits = {});

// "A1"-style name of a cell (row and column from 0), as the messages write it.
QString cell_name(int row, int col);
}
