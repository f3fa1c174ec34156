// The spreadsheet commands of the board (导出, 导入) and of the main form
// (导出: the salesman's plan in view), and the file dialogs they share.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

#include "sheet_import.h"

class QWidget;
class QTableView;

namespace sheet_files {

struct Choice {
    QString path;
    int filter = 0;  // the index of the filter chosen
};
// Asks for a file to save (`save`) or open: the path and the filter, or
// nothing when the planner cancels. A QFileDialog unless a test put another
// chooser in its place.
using Chooser = std::function<std::optional<Choice>(QWidget *parent, bool save, const QString &caption,
                                                    const QString &proposed, const QStringList &filters)>;
void set_chooser(Chooser chooser);  // an empty one: the dialog again
std::optional<Choice> choose(QWidget *parent, bool save, const QString &caption, const QString &proposed,
                             const QStringList &filters);

// The rows and columns a grid shows (hidden columns left out), the header
// as the first row, numbers as numbers.
sheets::Sheet view_sheet(const QTableView &view, const std::string &name, std::vector<sheets::Value> heading);

}  // namespace sheet_files

class TFm_saleplan;
namespace sheet_files {
// 导出 at the end of the main form's toolbar: the salesman's plan in view
// (the grid's rows and visible columns) as .xlsx or CSV.
void install_plan_export(TFm_saleplan &form);
}  // namespace sheet_files
