// Reading a large planner's sheet: 10,000 rows x 60 columns written as .xlsx
// (libxlsxwriter) and as CSV (UTF-8 with a byte order mark), each read in a
// process of its own so that its peak resident memory is its own.
//   sheet_reader_bench [--rows N] [--columns N] [--runs N] [--keep FOLDER]
// prints, per format, the file's size, the best and median read time and the
// reading process's peak RSS, next to that of a process that reads nothing.
#include <xlsxwriter.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "sheet_reader.h"

namespace {

// The high-water mark of this process's own memory (getrusage would also count
// the parent's, which this process was forked from).
long peak_rss_kb()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

QString header(int col) { return col == 0 ? QStringLiteral("指标") : QStringLiteral("访销员%1").arg(col); }
double value(int row, int col) { return (row * 61 + col * 7) % 5000 + (col % 3 == 0 ? 0.5 : 0); }

void write_files(const QString &xlsx, const QString &csv, int rows, int columns)
{
    lxw_workbook *wb = workbook_new(xlsx.toUtf8().constData());
    lxw_worksheet *ws = workbook_add_worksheet(wb, "plan");
    QFile out(csv);
    if (!out.open(QIODevice::WriteOnly)) qFatal("cannot write %s", qPrintable(csv));
    out.write("\xEF\xBB\xBF");
    for (int r = 0; r < rows; ++r) {
        QByteArray line;
        for (int c = 0; c < columns; ++c) {
            if (c) line += ',';
            if (r == 0 || c == 0) {
                const QByteArray text = (r == 0 ? header(c) : QStringLiteral("指标%1").arg(r)).toUtf8();
                worksheet_write_string(ws, r, c, text.constData(), nullptr);
                line += text;
            } else {
                worksheet_write_number(ws, r, c, value(r, c), nullptr);
                line += QByteArray::number(value(r, c));
            }
        }
        out.write(line + "\r\n");
    }
    workbook_close(wb);
}

// The child: reads the file `runs` times, prints each time in ms and the peak RSS.
int read_child(const QString &path, int runs)
{
    QStringList times;
    for (int i = 0; i < runs && !path.isEmpty(); ++i) {
        QElapsedTimer timer;
        timer.start();
        auto result = sheet::read_file(path);
        const double ms = timer.nsecsElapsed() / 1e6;
        if (auto *error = std::get_if<sheet::Error>(&result)) {
            std::fprintf(stderr, "%s\n", qPrintable(error->message));
            return 1;
        }
        times << QString::number(ms, 'f', 1);
    }
    std::printf("%s %ld\n", times.isEmpty() ? "-" : qPrintable(times.join(',')), peak_rss_kb());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    auto option = [&](const QString &name, int fallback) {
        const auto i = args.indexOf(name);
        return i >= 0 && i + 1 < args.size() ? args[i + 1].toInt() : fallback;
    };
    const int runs = std::max(1, option("--runs", 5));
    if (args.contains("--child")) return read_child(args.value(args.indexOf("--child") + 1), runs);

    const int rows = option("--rows", 10000), columns = option("--columns", 60);
    QTemporaryDir temporary;
    const auto keep = args.indexOf("--keep");  // the files stay there, to read them again
    const QDir dir(keep >= 0 ? args.value(keep + 1) : temporary.path());
    const QString xlsx = dir.filePath("plan.xlsx"), csv = dir.filePath("plan.csv");
    write_files(xlsx, csv, rows, columns);
    std::printf("sheet_reader_bench: %d rows x %d columns, %d runs per format\n", rows, columns, runs);
    const std::vector<std::pair<QString, QString>> cases = {{"none", ""}, {"xlsx", xlsx}, {"csv", csv}};
    for (const auto &[format, path] : cases) {
        QProcess child;
        child.start(app.applicationFilePath(), {"--child", path, "--runs", QString::number(runs)});
        child.waitForFinished(-1);
        const QStringList answer = QString::fromUtf8(child.readAllStandardOutput()).trimmed().split(' ');
        if (child.exitCode() != 0 || answer.size() != 2) {
            std::printf("%s: failed: %s\n", qPrintable(format), child.readAllStandardError().constData());
            return 1;
        }
        const long rss_mb = answer[1].toLong() / 1024;
        if (path.isEmpty()) {
            std::printf("%-5s  a process that reads nothing: peak RSS %ld MB\n", qPrintable(format), rss_mb);
            continue;
        }
        std::vector<double> ms;
        for (const auto &t : answer[0].split(',')) ms.push_back(t.toDouble());
        std::sort(ms.begin(), ms.end());
        std::printf("%-5s  %6.1f MB file: best %7.1f ms, median %7.1f ms, peak RSS %ld MB\n", qPrintable(format),
                    QFileInfo(path).size() / 1048576.0, ms.front(), ms[ms.size() / 2], rss_mb);
    }
    return 0;
}
