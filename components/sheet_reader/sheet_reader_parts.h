// What the two readers share inside the component; not part of its interface.
#pragma once
#include "sheet_reader.h"

namespace sheet::detail {

// A message for the planner that names the file first.
Error refuse(const QString &name, const QString &what);

// Keeps the cells of a table within the limits while a reader fills it.
class TableBuilder {
public:
    TableBuilder(Table &table, const Limits &limits) : table_(table), limits_(limits) {}
    // The cell at (row, col) from 0, made room for; a message when a limit is passed.
    std::optional<QString> place(int row, int col, Cell cell);
    std::optional<QString> check_text(int row, int col, const QString &text) const;
    void drop_trailing_empty_rows();

private:
    Table &table_;
    const Limits &limits_;
    qint64 cells_ = 0;
};

QString too_many_rows(const Limits &limits);
QString unknown_encoding();
std::variant<Table, Error> read_csv(const QByteArray &bytes, const QString &name, const Limits &limits);
std::variant<Table, Error> read_xlsx(const QByteArray &bytes, const QString &name, const Limits &limits);

}  // namespace sheet::detail
