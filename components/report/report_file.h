// The report engine's own file of prepared pages ("报表文件", *.rpp): what
// the preview saves besides a PDF, and opens again to show the same pages.
//
// Layout (numbers big-endian):
//   0   8 bytes  "RPPAGES\x1a"
//   8   quint16  format version (kFormatVersion; a newer one is refused)
//   10  quint16  0
//   12  quint32  length of the contents
//   16  32 bytes SHA-256 of the contents
//   48  the contents: the title, the page size (layout units), the fonts
//       (QFont::toString(), the families, the size in layout units), then
//       page by page its items in drawing order, each with its clip: runs of
//       text (baseline origin, text, font, colour, ascent, descent, width),
//       shapes (path elements, pen, brush) and pictures (target, PNG bytes).
// Nothing follows the contents.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

#include "report.h"

namespace report {

class PreparedReport;

inline constexpr char kPagesFileSuffix[] = "rpp";
// The name filter of file dialogs for the engine's files.
QString pages_file_filter();

// Why a file could not be opened. The message (what()) says so in words for
// the user and names the file.
class ReportFileError : public ReportError {
public:
    enum class Reason { Unreadable, NotAReport, Truncated, Damaged, NewerVersion, TooLarge };
    ReportFileError(Reason reason, const QString &message);
    Reason reason() const { return reason_; }

private:
    Reason reason_;
};

inline constexpr quint16 kFormatVersion = 1;
// Files beyond this size are not opened: no report comes near it.
inline constexpr qint64 kMaxPagesFileBytes = 64LL * 1024 * 1024;

// The pages as the file holds them, and back. `origin` names the file in
// messages.
QByteArray encode_pages(const PreparedReport &pages);
std::unique_ptr<PreparedReport> decode_pages(const QByteArray &bytes, const QString &origin);

// Writes the file whole or not at all (an existing file is replaced only
// once the new one is complete); throws ReportError naming the file.
void write_pages_file(const PreparedReport &pages, const QString &path);
// Reads a file; throws ReportFileError, and reads no more than the limit.
std::unique_ptr<PreparedReport> read_pages_file(const QString &path);

}  // namespace report
