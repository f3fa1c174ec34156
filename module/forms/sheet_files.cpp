#include "sheet_files.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QTableView>


namespace sheet_files {

namespace {

Chooser &chooser()
{
    static Chooser c;
    return c;
}

}  // namespace

void set_chooser(Chooser c) { chooser() = std::move(c); }

std::optional<Choice> choose(QWidget *parent, bool save, const QString &caption, const QString &proposed,
                             const QStringList &filters)
{
    if (chooser()) return chooser()(parent, save, caption, proposed, filters);
    QString selected = filters.value(0);
    const QString filter = filters.join(QStringLiteral(";;"));
    const QString path = save ? QFileDialog::getSaveFileName(parent, caption, proposed, filter, &selected)
                              : QFileDialog::getOpenFileName(parent, caption, proposed, filter, &selected);
    if (path.isEmpty()) return std::nullopt;
    return Choice{path, std::max<int>(0, static_cast<int>(filters.indexOf(selected)))};
}

sheets::Sheet view_sheet(const QTableView &view, const std::string &name, std::vector<sheets::Value> heading)
{
    sheets::Sheet sheet;
    sheet.name = sheets::tab_name(name);
    sheet.rows.push_back(std::move(heading));
    const QAbstractItemModel *model = view.model();
    std::vector<int> columns;
    std::vector<sheets::Value> header;
    for (int c = 0; model && c < model->columnCount(); ++c) {
        if (view.isColumnHidden(c)) continue;
        columns.push_back(c);
        header.emplace_back(model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString().toStdString());
    }
    sheet.rows.push_back(std::move(header));
    sheet.header_row = 1;
    for (int r = 0; model && r < model->rowCount(); ++r) {
        if (view.isRowHidden(r)) continue;
        std::vector<sheets::Value> row;
        for (int c : columns) {
            const QVariant v = model->data(model->index(r, c), Qt::DisplayRole);
            const QString text = v.toString();
            bool number = false;
            const double d = text.toDouble(&number);
            // A code with a leading zero ("0101") stays text.
            const bool code = text.size() > 1 && text[0] == QLatin1Char('0') && text[1].isDigit();
            if (v.isNull() || text.isEmpty()) row.emplace_back();
            else if (number && !code) row.emplace_back(d);
            else row.emplace_back(v.toString().toStdString());
        }
        sheet.rows.push_back(std::move(row));
    }
    return sheet;
}

}  // namespace sheet_files
