// Where a report template is found: the host's current folder first, so a
// site's own template there wins, then the installed data folder
// (share/saleplan beside the module's library folder, then the folder the
// build was configured to install to).
#pragma once

#include <QString>
#include <QStringList>

namespace report {

// The folders looked in, in order (absolute paths, duplicates removed).
QStringList template_folders();

// The path of the first folder's file_name that exists; when none does, the
// bare file_name (relative to the current folder), so that a caller that
// goes on without a template behaves as before. An absolute file_name is
// returned as it stands.
QString locate_template(const QString &file_name);
QString locate_template(const QString &file_name, const QStringList &folders);

}  // namespace report
