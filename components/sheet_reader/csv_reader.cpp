// CSV as spreadsheet programs write it: fields separated by commas (or, when
// the first line has no comma, by tabs or semicolons), quoted fields that hold
// separators, doubled quotes and line breaks, CRLF or LF line ends. The
// encoding is found from the bytes: a byte order mark or valid UTF-8 is UTF-8;
// otherwise the file must be valid GB18030 (which covers GBK and GB2312).
#include <QStringDecoder>

#include "sheet_reader_parts.h"

namespace sheet::detail {

namespace {

std::optional<QString> decode(QStringDecoder decoder, QByteArrayView bytes)
{
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) return std::nullopt;
    return text;
}

QChar separator_of(const QString &text)
{
    int tabs = 0, semicolons = 0;
    bool quoted = false;
    for (QChar c : text) {
        if (c == u'"') quoted = !quoted;
        else if (quoted) continue;
        else if (c == u',') return u',';
        else if (c == u'\n' || c == u'\r') break;
        else if (c == u'\t') ++tabs;
        else if (c == u';') ++semicolons;
    }
    if (tabs > 0) return u'\t';
    if (semicolons > 0) return u';';
    return u',';
}

// A control character that no spreadsheet program writes into a CSV file.
bool binary(QChar c)
{
    return c.unicode() < 0x20 && c != u'\t' && c != u'\n' && c != u'\r' && c != u'\f';
}

}  // namespace

std::variant<Table, Error> read_csv(const QByteArray &bytes, const QString &name, const Limits &limits)
{
    Table table;
    table.format = QStringLiteral("csv");
    std::optional<QString> text;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        text = decode(QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless), QByteArrayView(bytes.constData() + 3, bytes.size() - 3));
        table.encoding = QStringLiteral("UTF-8 BOM");
    } else if ((text = decode(QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless), bytes))) {
        table.encoding = QStringLiteral("UTF-8");
    } else if ((text = decode(QStringDecoder("GB18030", QStringDecoder::Flag::Stateless), bytes))) {
        table.encoding = QStringLiteral("GB18030");
    }
    if (!text) return refuse(name, unknown_encoding());

    const QChar sep = separator_of(*text);
    TableBuilder builder(table, limits);
    int row = 0, col = 0, quote_row = 0;
    QString field;
    bool quoted = false, was_quoted = false;
    auto end_field = [&]() -> std::optional<QString> {
        if (auto bad = builder.check_text(row, col, field)) return bad;
        if (!field.isEmpty()) {
            Cell cell;
            cell.kind = Cell::Kind::Text;
            cell.text = field;
            if (auto bad = builder.place(row, col, std::move(cell))) return bad;
        } else if (col > 0 || was_quoted) {
            if (auto bad = builder.place(row, col, Cell{})) return bad;
        }
        field.clear();
        was_quoted = false;
        ++col;
        return std::nullopt;
    };
    const QString &s = *text;
    const qsizetype n = s.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = s[i];
        if (binary(c)) return refuse(name, QStringLiteral("不是电子表格文件"));
        if (quoted) {
            if (c == u'"') {
                if (i + 1 < n && s[i + 1] == u'"') {
                    field += c;
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field += c;
            }
        } else if (c == u'"' && field.isEmpty() && !was_quoted) {
            quoted = was_quoted = true;
            quote_row = row;
        } else if (c == sep) {
            if (auto bad = end_field()) return refuse(name, *bad);
        } else if (c == u'\r' || c == u'\n') {
            if (c == u'\r' && i + 1 < n && s[i + 1] == u'\n') ++i;
            if (auto bad = end_field()) return refuse(name, *bad);
            ++row;
            col = 0;
            if (row > limits.max_rows) return refuse(name, too_many_rows(limits));
        } else {
            field += c;
        }
        // A quoted field that never closes would otherwise swallow the rest of the file.
        if (field.size() > limits.max_cell_chars)
            return refuse(name, *builder.check_text(row, col, field));
    }
    if (quoted)
        return refuse(name, QStringLiteral("第 %1 行的引号没有闭合，文件可能不完整").arg(quote_row + 1));
    if (!field.isEmpty() || was_quoted || col > 0)
        if (auto bad = end_field()) return refuse(name, *bad);
    builder.drop_trailing_empty_rows();
    if (table.rows.size() > limits.max_rows) return refuse(name, too_many_rows(limits));
    return table;
}

}  // namespace sheet::detail
