// The first sheet of an .xlsx workbook: the zip opened with libzip from the
// bytes in memory, each part inflated in chunks into Qt's XML stream reader, so
// a sheet of a million rows is refused at the first row past the limit and a
// part that inflates past the limit (a zip bomb) is refused while it inflates.
// Read: the workbook's first sheet (in the workbook's order), its relationships,
// the shared strings (rich text runs joined), the styles' number formats (to
// tell dates), each cell's cached value, and the merged ranges.
#include <zip.h>

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QXmlStreamReader>

#include <charconv>
#include <cmath>
#include <memory>

#include "sheet_reader_parts.h"

namespace sheet::detail {

namespace {

// A refusal that stops the reading; caught at the top of read_xlsx.
struct Stop {
    QString what;
};

QString damaged(const QString &part)
{
    return QStringLiteral("文件已损坏（%1 无法读取），请在电子表格程序中重新保存后再导入").arg(part);
}

class Archive {
public:
    Archive(const QByteArray &bytes, const Limits &limits) : limits_(limits)
    {
        zip_error_t error;
        zip_error_init(&error);
        zip_source_t *source = zip_source_buffer_create(bytes.constData(), static_cast<zip_uint64_t>(bytes.size()), 0, &error);
        if (source) {
            zip_ = zip_open_from_source(source, ZIP_RDONLY, &error);
            if (!zip_) zip_source_free(source);
        }
        zip_error_fini(&error);
    }
    ~Archive()
    {
        if (zip_) zip_discard(zip_);
    }
    Archive(const Archive &) = delete;
    Archive &operator=(const Archive &) = delete;

    bool is_open() const { return zip_ != nullptr; }
    bool has(const QString &part) const { return locate(part) >= 0; }
    zip_int64_t locate(const QString &part) const { return zip_name_locate(zip_, part.toUtf8().constData(), 0); }

    // Every byte inflated from any part counts against one limit.
    void count(qint64 n)
    {
        inflated_ += n;
        if (inflated_ > limits_.max_uncompressed_bytes)
            throw Stop{QStringLiteral("文件解压后超过 %1 MB，不是正常的工作簿，已拒绝读取")
                           .arg(limits_.max_uncompressed_bytes / (1024 * 1024))};
    }
    zip_t *handle() const { return zip_; }

private:
    const Limits &limits_;
    zip_t *zip_ = nullptr;
    qint64 inflated_ = 0;
};

// One XML part of the workbook, inflated as the reader asks for more.
class Part {
public:
    Part(Archive &archive, const QString &path) : archive_(archive), path_(path)
    {
        const zip_int64_t index = archive.locate(path);
        if (index < 0) throw Stop{damaged(path)};
        file_ = zip_fopen_index(archive.handle(), static_cast<zip_uint64_t>(index), 0);
        if (!file_) throw Stop{damaged(path)};
    }
    ~Part() { zip_fclose(file_); }
    Part(const Part &) = delete;
    Part &operator=(const Part &) = delete;

    // The next token; false at the end of the part.
    bool next()
    {
        for (;;) {
            const auto token = xml.readNext();
            if (token == QXmlStreamReader::EndDocument) return false;
            if (token != QXmlStreamReader::Invalid) return true;
            if (xml.error() != QXmlStreamReader::PrematureEndOfDocumentError || at_end_)
                throw Stop{QStringLiteral("文件已损坏（%1 第 %2 行无法解析），请在电子表格程序中重新保存后再导入")
                               .arg(path_)
                               .arg(xml.lineNumber())};
            feed();
        }
    }
    bool start(QStringView local_name) const { return xml.isStartElement() && xml.name() == local_name; }
    bool end(QStringView local_name) const { return xml.isEndElement() && xml.name() == local_name; }
    QString attribute(QStringView local_name) const
    {
        const QXmlStreamAttributes attributes = xml.attributes();
        for (const auto &a : attributes)  // const: no copy of the reader's list
            if (a.name() == local_name) return a.value().toString();
        return {};
    }
    // The text of the current element up to its end, ignoring the elements
    // named `skip` (the phonetic runs of East Asian text), at most `limit`
    // characters kept (the caller refuses longer ones).
    QString text(qsizetype limit, QStringView skip = {})
    {
        QString out;
        int depth = 1, skipped = 0;
        while (depth > 0 && next()) {
            if (xml.isStartElement()) {
                ++depth;
                if (skipped || (!skip.isEmpty() && xml.name() == skip)) ++skipped;
            } else if (xml.isEndElement()) {
                --depth;
                if (skipped) --skipped;
            } else if (xml.isCharacters() && !skipped && out.size() <= limit) {
                out += xml.text();
            }
        }
        return out;
    }
    // Text inside <t> elements only (shared and inline strings: plain or in runs).
    QString runs(qsizetype limit)
    {
        QString out;
        int depth = 1;
        bool in_t = false, in_phonetic = false;
        while (depth > 0 && next()) {
            if (xml.isStartElement()) {
                ++depth;
                if (xml.name() == u"rPh") in_phonetic = true;
                else if (xml.name() == u"t" && !in_phonetic) in_t = true;
            } else if (xml.isEndElement()) {
                --depth;
                if (xml.name() == u"rPh") in_phonetic = false;
                else if (xml.name() == u"t") in_t = false;
            } else if (in_t && xml.isCharacters() && out.size() <= limit) {
                out += xml.text();
            }
        }
        return out;
    }

    const QString &path() const { return path_; }
    QXmlStreamReader xml;

private:
    void feed()
    {
        QByteArray chunk(64 * 1024, Qt::Uninitialized);
        const zip_int64_t n = zip_fread(file_, chunk.data(), static_cast<zip_uint64_t>(chunk.size()));
        if (n < 0) throw Stop{damaged(path_)};
        if (n == 0) {
            at_end_ = true;
            return;
        }
        archive_.count(n);
        chunk.truncate(static_cast<qsizetype>(n));
        xml.addData(chunk);
    }

    Archive &archive_;
    QString path_;
    zip_file_t *file_ = nullptr;
    bool at_end_ = false;
};

struct Relationship {
    QString target;
    QString type;
};

// The relationships of a part, by id, their targets resolved from `base` (a folder).
QHash<QString, Relationship> relationships(Archive &archive, const QString &rels_path, const QString &base)
{
    QHash<QString, Relationship> out;
    if (!archive.has(rels_path)) return out;
    Part part(archive, rels_path);
    while (part.next()) {
        if (!part.start(u"Relationship") || part.attribute(u"TargetMode") == u"External") continue;
        QString target = part.attribute(u"Target");
        target = target.startsWith('/') ? target.mid(1) : QDir::cleanPath(base + '/' + target);
        out.insert(part.attribute(u"Id"), {target, part.attribute(u"Type")});
    }
    return out;
}

QString of_type(const QHash<QString, Relationship> &rels, QStringView type_suffix, const QString &fallback)
{
    for (const auto &r : rels)
        if (r.type.endsWith(type_suffix)) return r.target;
    return fallback;
}

// Built-in number formats that show dates or times, those of the Chinese
// locale included.
bool builtin_date(int id)
{
    return (id >= 14 && id <= 22) || (id >= 27 && id <= 36) || (id >= 45 && id <= 47) || (id >= 50 && id <= 58);
}

// A format code shows a date or time when, outside quoted text, escaped
// characters and bracketed colours or conditions, it has d, m, y, h or s;
// elapsed time ([h], [mm], [ss]) counts too.
bool date_format(const QString &code)
{
    const QString section = code.section(';', 0, 0);
    for (qsizetype i = 0; i < section.size(); ++i) {
        const QChar c = section[i].toLower();
        if (c == u'"') {
            i = section.indexOf(u'"', i + 1);
            if (i < 0) return false;
        } else if (c == u'\\' || c == u'_' || c == u'*') {
            ++i;
        } else if (c == u'[') {
            const qsizetype close = section.indexOf(u']', i);
            if (close < 0) return false;
            const QString inside = section.mid(i + 1, close - i - 1).toLower();
            if (!inside.isEmpty() && inside.count(inside[0]) == inside.size() &&
                (inside[0] == u'h' || inside[0] == u'm' || inside[0] == u's'))
                return true;
            i = close;
        } else if (c == u'd' || c == u'm' || c == u'y' || c == u'h' || c == u's') {
            return true;
        }
    }
    return false;
}

// For each cell style (by index), whether its number format is a date.
QVector<bool> date_styles(Archive &archive, const QString &path, const Limits &limits)
{
    QVector<bool> out;
    if (!archive.has(path)) return out;
    Part part(archive, path);
    QHash<int, QString> codes;
    bool in_cell_xfs = false;
    while (part.next()) {
        if (part.start(u"numFmt")) {
            codes.insert(part.attribute(u"numFmtId").toInt(), part.attribute(u"formatCode"));
        } else if (part.start(u"cellXfs")) {
            in_cell_xfs = true;
        } else if (part.end(u"cellXfs")) {
            in_cell_xfs = false;
        } else if (in_cell_xfs && part.start(u"xf")) {
            if (out.size() >= limits.max_cells) throw Stop{damaged(path)};
            const int id = part.attribute(u"numFmtId").toInt();
            out.append(codes.contains(id) ? date_format(codes.value(id)) : builtin_date(id));
        }
    }
    return out;
}

QVector<QString> shared_strings(Archive &archive, const QString &path, const Limits &limits)
{
    QVector<QString> out;
    if (!archive.has(path)) return out;
    Part part(archive, path);
    while (part.next()) {
        if (!part.start(u"si")) continue;
        if (out.size() >= limits.max_cells)
            throw Stop{QStringLiteral("表格的单元格超过 %1 个，超出了能导入的大小").arg(limits.max_cells)};
        out.append(part.runs(limits.max_cell_chars));
    }
    return out;
}

// "C5" → row 4, column 2; false when it is no cell reference.
bool parse_reference(const QString &ref, int &row, int &col)
{
    qsizetype i = 0;
    int c = 0, r = 0;
    for (; i < ref.size() && ref[i].isLetter() && ref[i].unicode() < 128; ++i) {
        if (i >= 3) return false;
        c = c * 26 + (ref[i].toUpper().unicode() - 'A' + 1);
    }
    const qsizetype digits = i;
    for (; i < ref.size() && ref[i].isDigit() && ref[i].unicode() < 128; ++i) {
        if (i - digits >= 7) return false;
        r = r * 10 + (ref[i].unicode() - '0');
    }
    if (digits == 0 || i == digits || i != ref.size() || r < 1 || c > 16384 || r > 1048576) return false;
    row = r - 1;
    col = c - 1;
    return true;
}

// A number as the file writes it ("120", "-7", "0.001", "1E-3"); nothing
// when it is none or not finite.
std::optional<double> number_of(QStringView text)
{
    text = text.trimmed();
    char latin1[64];
    if (text.isEmpty() || text.size() >= qsizetype(sizeof latin1)) return std::nullopt;
    qsizetype n = 0;
    for (QChar c : text) {
        if (c.unicode() > 127) return std::nullopt;
        latin1[n++] = static_cast<char>(c.unicode());
    }
    const char *begin = latin1[0] == '+' ? latin1 + 1 : latin1;
    double value = 0;
    const auto [end, error] = std::from_chars(begin, latin1 + n, value);
    if (error != std::errc() || end != latin1 + n || !std::isfinite(value)) return std::nullopt;
    return value;
}

// An ISO 8601 date or date-time as the serial number the 1900 date system stores.
std::optional<double> serial_of(const QString &iso)
{
    const QDateTime when = QDateTime::fromString(iso, Qt::ISODate);
    const QDate day = when.isValid() ? when.date() : QDate::fromString(iso, Qt::ISODate);
    if (!day.isValid()) return std::nullopt;
    double serial = static_cast<double>(QDate(1899, 12, 30).daysTo(day));
    if (when.isValid()) serial += when.time().msecsSinceStartOfDay() / 86400000.0;
    return serial;
}

class SheetReader {
public:
    SheetReader(Archive &archive, const QString &path, const QVector<QString> &strings, const QVector<bool> &dates,
                Table &table, const Limits &limits)
        : part_(archive, path), strings_(strings), dates_(dates), table_(table), limits_(limits), builder_(table, limits)
    {
    }

    void read()
    {
        int row = -1, col = -1;
        while (part_.next()) {
            if (part_.start(u"row")) {
                const QString r = part_.attribute(u"r");
                bool ok = true;
                row = r.isEmpty() ? row + 1 : r.toInt(&ok) - 1;
                if (!ok || row < 0 || row >= 1048576) throw Stop{damaged(part_.path())};
                col = -1;
            } else if (part_.start(u"c")) {
                const QString r = part_.attribute(u"r");
                if (r.isEmpty()) {
                    row = std::max(row, 0);
                    ++col;
                } else if (!parse_reference(r, row, col)) {
                    throw Stop{damaged(part_.path())};
                }
                cell(row, col);
            } else if (part_.start(u"mergeCell")) {
                table_.merged.append(part_.attribute(u"ref"));
            }
        }
        unmerge();
    }

private:
    void cell(int row, int col)
    {
        const QString type = part_.attribute(u"t");
        const int style = part_.attribute(u"s").toInt();
        bool has_formula = false, has_value = false, has_inline = false;
        QString value, inline_text;
        int depth = 1;
        while (depth > 0 && part_.next()) {
            if (part_.start(u"v")) {
                has_value = true;
                value = part_.text(limits_.max_cell_chars);
            } else if (part_.start(u"f")) {
                has_formula = true;
                part_.text(0);
            } else if (part_.start(u"is")) {
                has_value = has_inline = true;
                inline_text = part_.runs(limits_.max_cell_chars);
            } else if (part_.xml.isStartElement()) {
                ++depth;
            } else if (part_.xml.isEndElement()) {
                --depth;
            }
        }
        const bool string_result = type == u"str" || type == u"inlineStr";
        if (has_formula && (!has_value || (value.isEmpty() && !string_result)))
            throw Stop{QStringLiteral("单元格 %1 是公式，但文件中没有保存它的计算结果，请在电子表格程序中重新计算并保存后再导入")
                           .arg(cell_name(row, col))};
        // Nothing in it: an empty <v/> without a formula, as some writers leave.
        if (!has_value || (!has_formula && !has_inline && value.trimmed().isEmpty())) return;

        Cell c;
        if (type == u"s") {
            bool ok = false;
            const int index = value.toInt(&ok);
            if (!ok || index < 0 || index >= strings_.size())
                throw Stop{QStringLiteral("文件已损坏（单元格 %1 引用的共享字符串不存在）").arg(cell_name(row, col))};
            c.kind = Cell::Kind::Text;
            c.text = strings_[index];
        } else if (type == u"inlineStr" || (has_inline && type.isEmpty())) {
            c.kind = Cell::Kind::Text;
            c.text = inline_text.isNull() ? value : inline_text;
        } else if (type == u"str" || type == u"e") {
            c.kind = Cell::Kind::Text;
            c.text = value;
        } else if (type == u"b") {
            c.kind = Cell::Kind::Text;
            c.text = value.trimmed() == u"1" ? QStringLiteral("TRUE") : QStringLiteral("FALSE");
        } else if (type == u"d") {
            const auto serial = serial_of(value.trimmed());
            if (!serial) throw Stop{QStringLiteral("单元格 %1 的日期“%2”无法识别").arg(cell_name(row, col), value.left(40))};
            c.kind = Cell::Kind::Number;
            c.number = *serial;
            c.text = value;
            c.is_date = true;
        } else if (type.isEmpty() || type == u"n") {
            const auto number = number_of(value);
            c.number = number.value_or(0);
            if (!number)
                throw Stop{QStringLiteral("单元格 %1 的数值“%2”无法识别").arg(cell_name(row, col), value.left(40))};
            c.kind = Cell::Kind::Number;
            c.text = value;
            c.is_date = style >= 0 && style < dates_.size() && dates_[style];
        } else {
            throw Stop{QStringLiteral("文件已损坏（单元格 %1 的类型“%2”无法识别）").arg(cell_name(row, col), type.left(20))};
        }
        if (c.kind == Cell::Kind::Text && c.text.isEmpty()) return;
        if (auto bad = builder_.place(row, col, std::move(c))) throw Stop{*bad};
    }

    // A merged range keeps its value in the top-left cell; other cells of the
    // range are empty, whatever a writer left in them.
    void unmerge()
    {
        for (const QString &range : std::as_const(table_.merged)) {
            int r0 = 0, c0 = 0, r1 = 0, c1 = 0;
            const QString first = range.section(':', 0, 0), last = range.section(':', 1, 1);
            if (!parse_reference(first, r0, c0) || !parse_reference(last, r1, c1)) continue;
            for (int r = r0; r <= r1 && r < table_.rows.size(); ++r) {
                auto &cells = table_.rows[r];
                for (int c = c0; c <= c1 && c < cells.size(); ++c)
                    if (r != r0 || c != c0) cells[c] = Cell{};
            }
        }
    }

    Part part_;
    const QVector<QString> &strings_;
    const QVector<bool> &dates_;
    Table &table_;
    const Limits &limits_;
    TableBuilder builder_;
};

}  // namespace

std::variant<Table, Error> read_xlsx(const QByteArray &bytes, const QString &name, const Limits &limits)
{
    Archive archive(bytes, limits);
    if (!archive.is_open()) return refuse(name, QStringLiteral("文件已损坏，不是完整的 .xlsx 工作簿"));
    const QString workbook = QStringLiteral("xl/workbook.xml");
    if (!archive.has(workbook))
        return refuse(name, QStringLiteral("压缩包中没有工作簿（xl/workbook.xml），不是 .xlsx 电子表格文件"));
    Table table;
    table.format = QStringLiteral("xlsx");
    try {
        QString first_sheet_id;
        {
            Part part(archive, workbook);
            while (part.next()) {
                if (part.start(u"workbookPr")) {
                    const QString v = part.attribute(u"date1904");
                    table.date1904 = v == u"1" || v == u"true";
                } else if (part.start(u"sheet")) {
                    table.sheet_name = part.attribute(u"name");
                    first_sheet_id = part.attribute(u"id");
                    break;
                }
            }
        }
        if (first_sheet_id.isEmpty()) return refuse(name, QStringLiteral("工作簿中没有工作表"));
        const auto rels = relationships(archive, QStringLiteral("xl/_rels/workbook.xml.rels"), QStringLiteral("xl"));
        const auto sheet = rels.find(first_sheet_id);
        if (sheet == rels.end() || !archive.has(sheet->target))
            return refuse(name, damaged(QStringLiteral("工作簿的第一个工作表")));
        if (!sheet->type.endsWith(u"/worksheet"))
            return refuse(name, QStringLiteral("第一个工作表“%1”不是数据表（可能是图表），请把数据放在第一个工作表").arg(table.sheet_name));
        const auto strings = shared_strings(archive, of_type(rels, u"/sharedStrings", QStringLiteral("xl/sharedStrings.xml")), limits);
        const auto dates = date_styles(archive, of_type(rels, u"/styles", QStringLiteral("xl/styles.xml")), limits);
        SheetReader(archive, sheet->target, strings, dates, table, limits).read();
    } catch (const Stop &stop) {
        return refuse(name, stop.what);
    }
    TableBuilder(table, limits).drop_trailing_empty_rows();
    return table;
}

}  // namespace sheet::detail
