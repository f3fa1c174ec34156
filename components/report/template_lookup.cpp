#include "template_lookup.h"

#include <QDir>
#include <QFileInfo>

#include <dlfcn.h>

#ifndef SALEPLAN_INSTALL_DATADIR
#define SALEPLAN_INSTALL_DATADIR "/usr/share/saleplan"
#endif
#ifndef SALEPLAN_INSTALL_REL_DATADIR
#define SALEPLAN_INSTALL_REL_DATADIR "share/saleplan"
#endif

namespace report {

namespace {

// The folder of the binary this code is linked into: the module's library
// when the host loaded it, the program itself otherwise.
QString own_binary_folder()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void *>(&own_binary_folder), &info) == 0 || !info.dli_fname) return {};
    return QFileInfo(QFile::decodeName(info.dli_fname)).absolutePath();
}

}  // namespace

QStringList template_folders()
{
    QStringList folders{QDir::currentPath()};
    // lib/ or lib/<multiarch>/ beside share/: walk up until share/saleplan is there.
    QDir dir(own_binary_folder());
    for (int up = 0; up < 3 && !dir.path().isEmpty(); ++up) {
        if (!dir.cdUp()) break;
        const QString candidate = dir.filePath(QStringLiteral(SALEPLAN_INSTALL_REL_DATADIR));
        if (QFileInfo(candidate).isDir()) {
            folders << QDir::cleanPath(candidate);
            break;
        }
    }
    folders << QDir::cleanPath(QStringLiteral(SALEPLAN_INSTALL_DATADIR));
    folders.removeDuplicates();
    return folders;
}

QString locate_template(const QString &file_name) { return locate_template(file_name, template_folders()); }

QString locate_template(const QString &file_name, const QStringList &folders)
{
    if (file_name.isEmpty() || QFileInfo(file_name).isAbsolute()) return file_name;
    for (const QString &folder : folders) {
        const QString path = QDir(folder).filePath(file_name);
        if (QFileInfo::exists(path)) return path;
    }
    return file_name;
}

}  // namespace report
