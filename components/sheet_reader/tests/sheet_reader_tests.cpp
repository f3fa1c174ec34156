// The reader against what planners bring: CSV files in each encoding that a
// spreadsheet program on a Chinese desktop writes, .xlsx workbooks written by
// two other writers, and bytes that are no spreadsheet at all.
#include <gtest/gtest.h>

#include <QStringDecoder>
#include <QStringEncoder>

#include "sheet_reader.h"

// Readable failures: gtest prints a QString as its text.
inline void PrintTo(const QString &s, std::ostream *out) { *out << '"' << s.toStdString() << '"'; }

namespace {

using sheet::Cell;

sheet::Table read_ok(const QByteArray &bytes, const QString &name = "t.csv", const sheet::Limits &limits = {})
{
    auto result = sheet::read_bytes(bytes, name, limits);
    if (auto *error = std::get_if<sheet::Error>(&result)) {
        ADD_FAILURE() << name.toStdString() << ": " << error->message.toStdString();
        return {};
    }
    return std::get<sheet::Table>(result);
}

QString refusal(const QByteArray &bytes, const QString &name, const sheet::Limits &limits = {})
{
    auto result = sheet::read_bytes(bytes, name, limits);
    if (auto *error = std::get_if<sheet::Error>(&result)) return error->message;
    ADD_FAILURE() << name.toStdString() << " was read, a refusal was expected";
    return {};
}

// The table as text, row by row: cells joined by '|', empty cells blank.
QString shape(const sheet::Table &t)
{
    QStringList rows;
    for (const auto &row : t.rows) {
        QStringList cells;
        for (const auto &c : row) cells << (c.kind == Cell::Kind::Empty ? QString() : c.text);
        rows << cells.join('|');
    }
    return rows.join('\n');
}

TEST(Csv, QuotingLineEndsAndSeparators)
{
    struct Case {
        QByteArray bytes;
        QString expected;
    };
    const std::vector<Case> cases = {
        {"a,b\r\nc,d\r\n", "a|b\nc|d"},
        {"a,b\nc,d", "a|b\nc|d"},
        {"\"x,y\",\"say \"\"hi\"\"\"\n", "x,y|say \"hi\""},
        {"\"two\r\nlines\",z\n", "two\r\nlines|z"},
        {"a,,c\n,\nx", "a||c\n|\nx"},
        {"a\n\nb\n\n\n", "a\n\nb"},          // a blank line keeps its place, trailing ones go
        {"1;2;3\n4;5;6\n", "1|2|3\n4|5|6"},  // no comma on the first line: semicolons
        {"1\t2\n3\t4\n", "1|2\n3|4"},
        {"\"a;b\",c;d\n", "a;b|c;d"},        // a comma on the first line keeps commas
    };
    for (const auto &c : cases) EXPECT_EQ(shape(read_ok(c.bytes)), c.expected) << c.bytes.toStdString();

    const auto t = read_ok("\"\",x,,007\n");
    EXPECT_EQ(t.at(0, 0).kind, Cell::Kind::Empty);
    EXPECT_EQ(t.at(0, 2).kind, Cell::Kind::Empty);
    EXPECT_EQ(t.at(0, 3).kind, Cell::Kind::Text);  // numbers stay text: the import parses them
    EXPECT_EQ(t.at(0, 3).text, "007");
    EXPECT_EQ(t.at(5, 9).kind, Cell::Kind::Empty);
    EXPECT_EQ(t.format, "csv");
}

TEST(Csv, EncodingsAreFoundFromTheBytes)
{
    const QString text = QStringLiteral("指标,张三\n销售额,120\n");
    struct Case {
        QByteArray bytes;
        QString encoding;
    };
    const std::vector<Case> cases = {
        {text.toUtf8(), "UTF-8"},
        {"\xEF\xBB\xBF" + text.toUtf8(), "UTF-8 BOM"},
        {QStringEncoder("GB18030")(text), "GB18030"},
    };
    for (const auto &c : cases) {
        const auto t = read_ok(c.bytes);
        EXPECT_EQ(t.encoding, c.encoding);
        EXPECT_EQ(t.at(0, 1).text, QStringLiteral("张三")) << c.encoding.toStdString();
        EXPECT_EQ(t.at(1, 0).text, QStringLiteral("销售额"));
    }
    // Latin-1: "é" before a comma is neither UTF-8 nor GB18030.
    EXPECT_EQ(refusal("Nom,Qt\nRen\xE9,5\n", "latin1.csv"),
              QStringLiteral("文件“latin1.csv”：无法识别文件的编码，请另存为 UTF-8 或 GB18030 编码的 CSV 文件"));
}

}  // namespace
