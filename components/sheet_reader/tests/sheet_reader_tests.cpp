// The reader against what planners bring: CSV files in each encoding that a
// spreadsheet program on a Chinese desktop writes, .xlsx workbooks written by
// two other writers (libxlsxwriter here, openpyxl through a script) and parts
// written by hand for what those writers never do, and bytes that are no
// spreadsheet at all.
#include <gtest/gtest.h>
#include <xlsxwriter.h>
#include <zip.h>

#include <QFile>
#include <QProcess>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <random>

#include "sheet_reader.h"

// Readable failures: gtest prints a QString as its text.
inline void PrintTo(const QString &s, std::ostream *out) { *out << '"' << s.toStdString() << '"'; }

namespace {

using sheet::Cell;
using Kind = sheet::Cell::Kind;

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
        for (const auto &c : row) cells << (c.kind == Kind::Empty ? QString() : c.text);
        rows << cells.join('|');
    }
    return rows.join('\n');
}

struct Expected {
    int row, col;
    Kind kind;
    QString text;
    double number = 0;
    bool is_date = false;
};

void expect_cells(const sheet::Table &t, const std::vector<Expected> &cells)
{
    for (const auto &e : cells) {
        const Cell &c = t.at(e.row, e.col);
        const std::string where = sheet::cell_name(e.row, e.col).toStdString();
        EXPECT_EQ(c.kind, e.kind) << where;
        if (e.kind != Kind::Empty) {
            EXPECT_EQ(c.text, e.text) << where;
        }
        if (e.kind == Kind::Number) {
            EXPECT_DOUBLE_EQ(c.number, e.number) << where;
        }
        EXPECT_EQ(c.is_date, e.is_date) << where;
    }
}

QByteArray file_bytes(const QString &path)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return f.readAll();
}

// A zip of the given parts, written by libzip; stored (not deflated) on request,
// so that mutations reach the XML itself.
QByteArray zip_of(const std::vector<std::pair<QString, QByteArray>> &parts, bool store = false)
{
    QTemporaryDir dir;
    const QByteArray path = dir.filePath("z.zip").toUtf8();
    int error = 0;
    zip_t *z = zip_open(path.constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    EXPECT_NE(z, nullptr);
    if (!z) return {};
    for (const auto &[name, data] : parts) {
        zip_source_t *s = zip_source_buffer(z, data.constData(), static_cast<zip_uint64_t>(data.size()), 0);
        const zip_int64_t index = zip_file_add(z, name.toUtf8().constData(), s, ZIP_FL_ENC_UTF_8);
        if (store) zip_set_file_compression(z, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    }
    EXPECT_EQ(zip_close(z), 0);
    return file_bytes(QString::fromUtf8(path));
}

// A workbook written by hand: the first sheet in the workbook's order is the
// part named sheet2.xml (reached through an absolute target); sheet1.xml,
// listed second, must never be read.
QByteArray hand_workbook(const QByteArray &sheet_data, const QByteArray &shared = {}, const QByteArray &styles = {},
                         bool store = false)
{
    const QByteArray ns = "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                          "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"";
    const QByteArray rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
    std::vector<std::pair<QString, QByteArray>> parts = {
        {"xl/workbook.xml", "<workbook " + ns + "><sheets><sheet name=\"甲\" sheetId=\"2\" r:id=\"rId2\"/>"
                                                "<sheet name=\"乙\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>"},
        {"xl/_rels/workbook.xml.rels",
         "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
         "<Relationship Id=\"rId1\" Type=\"" + rel + "worksheet\" Target=\"worksheets/sheet1.xml\"/>"
         "<Relationship Id=\"rId2\" Type=\"" + rel + "worksheet\" Target=\"/xl/worksheets/sheet2.xml\"/>"
         "<Relationship Id=\"rId3\" Type=\"" + rel + "sharedStrings\" Target=\"sharedStrings.xml\"/>"
         "<Relationship Id=\"rId4\" Type=\"" + rel + "styles\" Target=\"styles.xml\"/></Relationships>"},
        {"xl/worksheets/sheet1.xml", "<worksheet " + ns + "><sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\">"
                                                          "<is><t>wrong sheet</t></is></c></row></sheetData></worksheet>"},
        {"xl/worksheets/sheet2.xml", "<worksheet " + ns + "><sheetData>" + sheet_data + "</worksheet>"},
    };
    if (!shared.isEmpty()) parts.push_back({"xl/sharedStrings.xml", "<sst " + ns + ">" + shared + "</sst>"});
    if (!styles.isEmpty()) parts.push_back({"xl/styles.xml", "<styleSheet " + ns + ">" + styles + "</styleSheet>"});
    return zip_of(parts, store);
}

// The libxlsxwriter workbook of the tests, saved under a .csv name: the
// content decides how a file is read.
QString write_with_libxlsxwriter(const QTemporaryDir &dir)
{
    const QString path = dir.filePath("by_libxlsxwriter.csv");
    lxw_workbook *wb = workbook_new(path.toUtf8().constData());
    lxw_worksheet *ws = workbook_add_worksheet(wb, "部门计划");
    lxw_format *day = workbook_add_format(wb);
    format_set_num_format(day, "yyyy-mm-dd");
    lxw_format *builtin_day = workbook_add_format(wb);
    format_set_num_format_index(builtin_day, 14);
    lxw_format *two_places = workbook_add_format(wb);
    format_set_num_format(two_places, "0.00");
    lxw_format *bold = workbook_add_format(wb);
    format_set_bold(bold);

    worksheet_write_string(ws, 0, 0, "序号", nullptr);
    worksheet_merge_range(ws, 0, 1, 0, 2, "张三", nullptr);
    worksheet_write_string(ws, 0, 3, "李四", nullptr);
    worksheet_write_number(ws, 1, 0, 1, nullptr);
    worksheet_write_number(ws, 1, 1, 120, nullptr);
    worksheet_write_formula_num(ws, 1, 2, "=B2*2", nullptr, 240);
    worksheet_write_formula_str(ws, 1, 3, "=A1&\"x\"", nullptr, "序号x");
    worksheet_write_number(ws, 2, 0, 2, nullptr);
    worksheet_write_number(ws, 2, 2, 0.1, nullptr);  // B3 and row 4 left empty
    lxw_rich_string_tuple run1 = {bold, const_cast<char *>("销售")};
    lxw_rich_string_tuple run2 = {nullptr, const_cast<char *>("额")};
    lxw_rich_string_tuple *runs[] = {&run1, &run2, nullptr};
    worksheet_write_rich_string(ws, 4, 0, runs, nullptr);
    lxw_datetime when = {2026, 12, 10, 0, 0, 0};
    worksheet_write_datetime(ws, 5, 0, &when, day);
    worksheet_write_number(ws, 5, 1, 46366, two_places);
    worksheet_write_number(ws, 5, 2, 46366.5, builtin_day);
    worksheet_write_boolean(ws, 6, 0, 1, nullptr);
    lxw_worksheet *second = workbook_add_worksheet(wb, "第二页");
    worksheet_write_string(second, 0, 0, "不应读到", nullptr);
    EXPECT_EQ(workbook_close(wb), LXW_NO_ERROR);
    return path;
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
    expect_cells(t, {{0, 0, Kind::Empty, {}}, {0, 2, Kind::Empty, {}}, {5, 9, Kind::Empty, {}},
                     {0, 3, Kind::Text, "007"}});  // numbers stay text: the import parses them
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
        EXPECT_EQ(shape(t), QStringLiteral("指标|张三\n销售额|120")) << c.encoding.toStdString();
    }
    // Latin-1: "é" before a comma is neither UTF-8 nor GB18030; UTF-16 is refused alike.
    for (const auto &[name, bytes] : std::vector<std::pair<QString, QByteArray>>{
             {"latin1.csv", "Nom,Qt\nRen\xE9,5\n"}, {"unicode.txt", QByteArray("\xFF\xFE" "a\0,\0" "1\0", 8)}})
        EXPECT_EQ(refusal(bytes, name),
                  QStringLiteral("文件“%1”：无法识别文件的编码，请另存为 UTF-8 或 GB18030 编码的 CSV 文件").arg(name));
}

TEST(Xlsx, WorkbookByLibxlsxwriter)
{
    QTemporaryDir dir;
    const QString path = write_with_libxlsxwriter(dir);
    auto result = sheet::read_file(path);
    ASSERT_TRUE(std::holds_alternative<sheet::Table>(result)) << std::get<sheet::Error>(result).message.toStdString();
    const auto &t = std::get<sheet::Table>(result);
    EXPECT_EQ(t.format, "xlsx");
    EXPECT_EQ(t.sheet_name, QStringLiteral("部门计划"));
    EXPECT_EQ(t.merged, QVector<QString>{"B1:C1"});
    EXPECT_EQ(t.rows.size(), 7);
    expect_cells(t, {
        {0, 0, Kind::Text, QStringLiteral("序号")},
        {0, 1, Kind::Text, QStringLiteral("张三")},  // the merged header: its value top-left
        {0, 2, Kind::Empty, {}},
        {0, 3, Kind::Text, QStringLiteral("李四")},
        {1, 1, Kind::Number, "120", 120},
        {1, 2, Kind::Number, "240", 240},             // a formula: its cached value
        {1, 3, Kind::Text, QStringLiteral("序号x")},
        {2, 1, Kind::Empty, {}},
        {2, 2, Kind::Number, "0.1", 0.1},
        {3, 0, Kind::Empty, {}},
        {4, 0, Kind::Text, QStringLiteral("销售额")},  // rich text runs joined
        {5, 0, Kind::Number, "46366", 46366, true},
        {5, 1, Kind::Number, "46366", 46366, false},   // "0.00" is no date
        {5, 2, Kind::Number, "46366.5", 46366.5, true},
        {6, 0, Kind::Text, "TRUE"},
    });
    EXPECT_FALSE(shape(t).contains(QStringLiteral("不应读到")));
}

TEST(Xlsx, WorkbookByOpenpyxl)
{
    QTemporaryDir dir;
    const QString python = QFile::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    const int rc = QProcess::execute(python, {OPENPYXL_SCRIPT, dir.path()});
    if (rc == 3) GTEST_SKIP() << "python3-openpyxl is not installed (scripts/bootstrap installs it)";
    ASSERT_EQ(rc, 0);

    const auto t = read_ok(file_bytes(dir.filePath("openpyxl.xlsx")), "openpyxl.xlsx");
    EXPECT_EQ(t.sheet_name, QStringLiteral("计划"));
    EXPECT_EQ(shape(t).count('\n'), 6);  // seven rows, the second sheet not read
    expect_cells(t, {
        {0, 0, Kind::Text, QStringLiteral("序号")},
        {0, 1, Kind::Text, QStringLiteral("张三")},
        {0, 2, Kind::Empty, {}},
        {1, 1, Kind::Number, "120", 120},
        {1, 2, Kind::Number, "2.5", 2.5},
        {2, 1, Kind::Empty, {}},
        {2, 2, Kind::Number, "-7", -7},
        {3, 0, Kind::Empty, {}},
        {4, 0, Kind::Text, QStringLiteral("销售额（箱）")},
        {4, 3, Kind::Empty, {}},
        {4, 4, Kind::Number, "0.001", 0.001},
        {5, 0, Kind::Number, "46366", 46366, true},
        {5, 1, Kind::Number, "46366.75", 46366.75, true},  // a custom format with 年月日
        {5, 2, Kind::Number, "45000", 45000, false},
        {6, 0, Kind::Text, "TRUE"},
    });
    EXPECT_EQ(refusal(file_bytes(dir.filePath("openpyxl_formula.xlsx")), "公式.xlsx"),
              QStringLiteral("文件“公式.xlsx”：单元格 C5 是公式，但文件中没有保存它的计算结果，"
                             "请在电子表格程序中重新计算并保存后再导入"));
}

TEST(Xlsx, PartsWrittenByHand)
{
    // Rows and cells without references, phonetic runs, error values, inline
    // rich text, a cell past a gap, numbers written with an exponent, and a
    // format that only looks like a date in its quoted text.
    const QByteArray shared = "<si><t>甲</t></si><si><r><t>销</t></r><r><t>售</t></r><rPh><t>xiao</t></rPh></si>";
    const QByteArray styles = "<numFmts><numFmt numFmtId=\"170\" formatCode=\"0&quot; days&quot;\"/>"
                              "<numFmt numFmtId=\"171\" formatCode=\"[Red][h]:mm\"/></numFmts>"
                              "<cellXfs count=\"3\"><xf numFmtId=\"0\"/><xf numFmtId=\"170\"/><xf numFmtId=\"171\"/></cellXfs>";
    const QByteArray data =
        "<row><c t=\"s\"><v>0</v></c><c t=\"s\"><v>1</v></c><c t=\"e\"><v>#N/A</v></c></row>"
        "<row><c><v>1E3</v></c><c s=\"1\"><v>5</v></c><c s=\"2\"><v>0.5</v></c></row>"
        "<row r=\"5\"><c r=\"C5\" t=\"inlineStr\"><is><r><t>内</t></r><r><t xml:space=\"preserve\"> 联</t></r></is></c>"
        "<c t=\"str\"><f>C5</f><v>ok</v></c><c r=\"F5\" t=\"str\"><f>\"\"</f><v></v></c></row>"
        "<row><c><v>7</v></c><c><v>8</v></c></row>"  // a writer that fills every cell of a merged range
        "<row r=\"8\"><c><v></v></c><c><is><t>x</t></is></c></row>"  // an empty value, a string typed by <is> only
        "</sheetData><mergeCells count=\"1\"><mergeCell ref=\"A6:B7\"/></mergeCells>";
    const auto t = read_ok(hand_workbook(data, shared, styles), "hand.xlsx");
    EXPECT_EQ(t.sheet_name, QStringLiteral("甲"));
    EXPECT_EQ(shape(t), QStringLiteral("甲|销售|#N/A\n1E3|5|0.5\n\n\n||内 联|ok\n7|\n\n|x"));
    expect_cells(t, {{1, 0, Kind::Number, "1E3", 1000}, {1, 1, Kind::Number, "5", 5, false},
                     {1, 2, Kind::Number, "0.5", 0.5, true}, {4, 5, Kind::Empty, {}}});
}

TEST(BadInput, RefusedWithAMessageNamingTheFile)
{
    QTemporaryDir dir;
    const QByteArray workbook = file_bytes(write_with_libxlsxwriter(dir));
    std::mt19937 random(27);
    QByteArray noise(4096, '\0');
    for (char &b : noise) b = static_cast<char>(random());
    const QByteArray big_text(1024 * 1024, 'x');
    QByteArray million_rows;
    for (int i = 0; i < 1000000; ++i) million_rows += "1,2\n";
    sheet::Limits small_unzip;
    small_unzip.max_uncompressed_bytes = 4 * 1024 * 1024;

    struct Case {
        QString name;
        QByteArray bytes;
        QString says;
        sheet::Limits limits = {};
    };
    const std::vector<Case> cases = {
        {"noise.xlsx", noise, "不是电子表格文件"},
        {"picture.png", QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) + noise, "不是电子表格文件"},
        {"scan.pdf", "%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\n", "不是电子表格文件"},
        {"old.xls", QByteArray("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + noise, ".xls"},
        {"half.xlsx", workbook.left(workbook.size() / 2), "文件已损坏"},
        {"other.zip", zip_of({{"readme.txt", "hello"}}), "没有工作簿"},
        {"empty.csv", "", "文件是空的"},
        {"big.csv", "a," + big_text + "\n", "单元格 B1 的内容超过 32767 个字符"},
        {"unclosed.csv", "a,b\n\"c,d\n", "第 2 行的引号没有闭合"},
        {"big.xlsx", hand_workbook("<row><c r=\"B2\" t=\"inlineStr\"><is><t>" + big_text + "</t></is></c></row></sheetData>"),
         "单元格 B2 的内容超过 32767 个字符"},
        {"wide.csv", QByteArray(1100, ',') + "x\n", "超过 1024 列"},
        {"rows.csv", million_rows, "超过 100000 行"},
        {"bomb.xlsx", hand_workbook(QByteArray(16 * 1024 * 1024, ' ') + "</sheetData>"), "解压后超过 4 MB", small_unzip},
        {"bad_number.xlsx", hand_workbook("<row><c r=\"A1\"><v>12abc</v></c></row></sheetData>"), "单元格 A1 的数值“12abc”无法识别"},
        {"bad_xml.xlsx", hand_workbook("<row><c r=\"A1\"><v>1</row></sheetData>"), "无法解析"},
    };
    for (const auto &c : cases) {
        const QString message = refusal(c.bytes, c.name, c.limits);
        EXPECT_TRUE(message.startsWith(QStringLiteral("文件“%1”：").arg(c.name))) << message.toStdString();
        EXPECT_TRUE(message.contains(c.says)) << message.toStdString();
    }
}

TEST(BadInput, AMillionRowSheetStopsAtTheLimit)
{
    // Past the millionth row the part is broken: a reader that went on past
    // the row limit would report the damage instead of the rows.
    QByteArray data;
    data.reserve(27 * 1000000);
    for (int i = 0; i < 1000000; ++i) data += "<row><c><v>1</v></c></row>";
    data += "<<broken";
    EXPECT_TRUE(refusal(hand_workbook(data), "rows.xlsx").contains("超过 100000 行"));
    sheet::Limits few;
    few.max_rows = 10;
    EXPECT_TRUE(refusal("1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n\"broken", "rows.csv", few).contains("超过 10 行"));
}

TEST(BadInput, MutatedWorkbooksNeverCrash)
{
    QTemporaryDir dir;
    const std::vector<QByteArray> originals = {
        file_bytes(write_with_libxlsxwriter(dir)),
        hand_workbook("<row><c t=\"s\"><v>1</v></c><c r=\"C1\" s=\"1\"><v>2</v></c></row></sheetData>"
                      "<mergeCells><mergeCell ref=\"A1:C3\"/></mergeCells>",
                      "<si><t>a</t></si><si><r><t>b</t></r></si>", "<cellXfs><xf numFmtId=\"14\"/><xf numFmtId=\"14\"/></cellXfs>",
                      true),
    };
    std::mt19937 random(20261210);
    int read = 0, refused = 0;
    for (int n = 0; n < 400; ++n) {
        QByteArray bytes = originals[n % originals.size()];
        const int changes = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < changes; ++i) {
            const auto at = static_cast<qsizetype>(random() % static_cast<unsigned>(bytes.size()));
            bytes[at] = static_cast<char>(random());
        }
        if (n % 10 == 0) bytes.truncate(static_cast<qsizetype>(random() % static_cast<unsigned>(bytes.size())));
        auto result = sheet::read_bytes(bytes, "fuzz.xlsx");
        if (auto *error = std::get_if<sheet::Error>(&result)) {
            EXPECT_TRUE(error->message.startsWith(QStringLiteral("文件“fuzz.xlsx”："))) << n;
            ++refused;
        } else {
            ++read;
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_EQ(read + refused, 400);
}

}  // namespace
