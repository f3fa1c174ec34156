// The report engine against a client dataset fed from memory: PDFs are
// rendered without a person and read back with pdftotext.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QProcess>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtEndian>
#include <QTest>
#include <QTextDocument>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>

#include "client_dataset.h"
#include "remote_connection.h"
#include "report.h"
#include "report_file.h"
#include "report_pages.h"
#include "report_preview.h"
#include "test_hooks.h"
#include "ui.h"

namespace {

using wire::FieldType;

// A server object that hands out one packet from memory.
class MemoryLink : public remote::Link {
public:
    explicit MemoryLink(wire::DataPacket packet) : packet_(std::move(packet)) {}
    wire::DataPacket get_records(const std::string &, const std::string &) override { return packet_; }
    std::int64_t execute(const std::string &, const std::string &) override { return 0; }
    wire::ApplyResult apply_updates(const std::string &, const wire::Delta &, int) override { return {}; }
    void call_method(const std::string &) override {}

private:
    wire::DataPacket packet_;
};

std::vector<dataset::FieldDef> plan_fields()
{
    return {{"NYUE00", FieldType::String, 6},  {"XHAO00", FieldType::Float, 0}, {"ZBLB00", FieldType::String, 1},
            {"ZBMC00", FieldType::String, 50}, {"ZBSL00", FieldType::Float, 0}, {"CKDM00", FieldType::String, 2},
            {"RYDM00", FieldType::String, 4},  {"SPDM00", FieldType::String, 8}, {"SPDM01", FieldType::String, 8},
            {"ZBLBMC", FieldType::String, 8}};
}

wire::Row plan_row(const std::string &month, double no, const std::string &name, double quantity,
                   const std::string &dept, const std::string &salesman)
{
    return {month, no, std::string("1"), name, quantity, dept, salesman, std::string("01010001"),
            std::string("01010002"), std::string("卷烟")};
}

QString pdf_text(const QString &path)
{
    QProcess pdftotext;
    pdftotext.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), path, QStringLiteral("-")});
    if (!pdftotext.waitForFinished(60000) || pdftotext.exitCode() != 0) return QStringLiteral("<pdftotext failed>");
    return QString::fromUtf8(pdftotext.readAllStandardOutput());
}

// pdftotext ends every page with a form feed; spaces differ with the layout,
// so pages are compared with the white space taken out.
QStringList pdf_pages(const QString &path)
{
    QStringList pages = pdf_text(path).split(QChar('\f'));
    if (!pages.isEmpty() && pages.last().trimmed().isEmpty()) pages.removeLast();
    for (QString &page : pages) page.remove(QRegularExpression(QStringLiteral("\\s")));
    return pages;
}

QString squeezed(const QString &text)
{
    QString s = text;
    return s.remove(QRegularExpression(QStringLiteral("\\s")));
}

void write_file(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// One salesman's month plan: the rows in view of the demo plan.
struct DemoItem {
    double no;
    const char *name;
    double quantity;
};
const DemoItem kDemoPlan[] = {
    {1, "卷烟销售总量", 1860}, {2, "一类烟销量", 12},     {3, "高端卷烟销量", 7.5},
    {4, "二类烟销量", 236},     {5, "三类烟销量", 548},   {6, "四、五类烟销量", 410},
    {7, "省内品牌销量", 1320},   {8, "省外品牌销量", 540},  {9, "重点品牌“红塔山”销量", 185},
    {10, "低焦油卷烟销量", 96},  {11, "新品牌推广销量", 40}, {12, "雪茄烟销量", 0}};
constexpr const char *kDemoTotal = "5254.5";

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        // REPORT_TESTS_KEEP=1 leaves the PDFs for a person to look at.
        if (qEnvironmentVariableIsSet("REPORT_TESTS_KEEP")) {
            dir_.setAutoRemove(false);
            std::printf("PDFs in %s\n", qPrintable(dir_.path()));
        }
        packet_.fields.clear();
        for (const auto &f : plan_fields()) packet_.fields.push_back({f.name, f.type, f.size});
    }

    void TearDown() override { remote::set_link_factory({}); }

    // Opens the plan dataset on the rows given and narrows it to one
    // salesman's month plan.
    void open_plan(std::vector<wire::Row> rows, const std::string &filter)
    {
        packet_.rows = std::move(rows);
        const wire::DataPacket packet = packet_;
        remote::set_link_factory([packet](const remote::ServerObject &, const std::string &) {
            return std::make_unique<MemoryLink>(packet);
        });
        connection_ = std::make_unique<remote::RemoteConnection>(remote::cust_object());
        plan_ = std::make_unique<dataset::ClientDataset>("cds_xstyzb02");
        plan_->set_connection(connection_.get());
        plan_->set_provider_name("dsp_xstyzb02cys");
        plan_->set_fixed_fields(plan_fields());
        plan_->open();
        plan_->set_filter(filter);
        plan_->set_filtered(true);
        link_.set_dataset(plan_.get());
        report_.set_dataset(&link_);
    }

    // Two salesmen of department 01 in March 2003, and one row of April.
    void open_demo_plan()
    {
        std::vector<wire::Row> rows = {plan_row("200303", 1, "别人的指标甲", 999, "01", "0002"),
                                       plan_row("200304", 1, "下月的指标乙", 888, "01", "0001")};
        for (const auto &item : kDemoPlan)
            rows.push_back(plan_row("200303", item.no, item.name, item.quantity, "01", "0001"));
        open_plan(std::move(rows), "NYUE00='200303' and CKDM00='01' and RYDM00='0001'");
    }

    // n rows of department 01, named 指标R1001号, 指标R1002号, …, with
    // quantities 5001, 5002, …: a printout of several pages.
    void open_numbered_plan(int n)
    {
        std::vector<wire::Row> rows;
        for (int i = 1; i <= n; ++i)
            rows.push_back(plan_row("200303", i, "指标R" + std::to_string(1000 + i) + "号", 5000 + i, "01", "0001"));
        open_plan(std::move(rows), "");
    }

    QString path(const QString &name) const { return dir_.filePath(name); }

    QTemporaryDir dir_;
    wire::DataPacket packet_;
    std::unique_ptr<remote::RemoteConnection> connection_;
    std::unique_ptr<dataset::ClientDataset> plan_;
    TfrDBDataSet link_;
    TfrReport report_;
};

// ---------------------------------------------------------------------------
// The printout template

TEST_F(ReportTest, PrintoutShowsNamesMonthRowsInViewAndTotal)
{
    open_demo_plan();
    ASSERT_TRUE(report_.LoadFromFile(QStringLiteral(REPORT_TEMPLATE)));
    report_.set_variable("fxbmc", "城区一部王建国");
    report_.set_variable("ywny", "200303");
    report_.export_pdf(path("plan.pdf"));

    const QStringList pages = pdf_pages(path("plan.pdf"));
    ASSERT_EQ(pages.size(), 1);
    const QString text = pages.first();
    EXPECT_TRUE(text.contains("访销员月销售计划"));
    EXPECT_TRUE(text.contains("城区一部王建国"));
    EXPECT_TRUE(text.contains("200303"));
    EXPECT_TRUE(text.contains("序号指标名称指标数量(条)"));
    // Every row in view with its number and quantity, numbers in general format.
    EXPECT_TRUE(text.contains("1卷烟销售总量1860"));
    EXPECT_TRUE(text.contains("2一类烟销量12"));
    EXPECT_TRUE(text.contains("3高端卷烟销量7.5"));
    EXPECT_FALSE(text.contains("12.0"));
    EXPECT_TRUE(text.contains("12雪茄烟销量0"));
    EXPECT_TRUE(text.contains(QStringLiteral("合计") + kDemoTotal));
    EXPECT_TRUE(text.contains("共12项指标"));
    EXPECT_TRUE(text.contains("打印日期：" + QDate::currentDate().toString("yyyy-MM-dd")));
    EXPECT_TRUE(text.contains("第1页共1页"));
    // Nothing of the other salesman or of another month.
    EXPECT_FALSE(text.contains("别人的指标甲"));
    EXPECT_FALSE(text.contains("999"));
    EXPECT_FALSE(text.contains("下月的指标乙"));
}

TEST_F(ReportTest, RowsFollowTheFilterAndTheCursorStays)
{
    open_demo_plan();
    ASSERT_TRUE(report_.LoadFromFile(QStringLiteral(REPORT_TEMPLATE)));
    plan_->move_to(2);
    report_.export_pdf(path("a.pdf"));
    EXPECT_EQ(plan_->rec_no(), 2);
    EXPECT_EQ(plan_->as_string("ZBMC00"), "高端卷烟销量");

    plan_->set_filter("NYUE00='200303' and CKDM00='01' and RYDM00='0002'");
    report_.export_pdf(path("b.pdf"));
    const QString text = pdf_pages(path("b.pdf")).join("");
    EXPECT_TRUE(text.contains("1别人的指标甲999"));
    EXPECT_TRUE(text.contains("合计999"));
    EXPECT_FALSE(text.contains("卷烟销售总量"));
}

TEST_F(ReportTest, EmptyViewPrintsOnePageWithZeroTotal)
{
    open_demo_plan();
    plan_->set_filter("RYDM00='9999'");
    ASSERT_TRUE(report_.LoadFromFile(QStringLiteral(REPORT_TEMPLATE)));
    report_.export_pdf(path("empty.pdf"));
    const QStringList pages = pdf_pages(path("empty.pdf"));
    ASSERT_EQ(pages.size(), 1);
    EXPECT_TRUE(pages.first().contains("（本月没有计划指标）"));
    EXPECT_TRUE(pages.first().contains("合计0"));
    EXPECT_TRUE(pages.first().contains("共0项指标"));
}

TEST_F(ReportTest, LongReportBreaksPagesWithTheHeaderOnEachAndRowsWhole)
{
    std::vector<wire::Row> rows;
    for (int i = 1; i <= 120; ++i) {
        // Every seventh name is long enough to wrap onto a second line.
        std::string name = "指标R" + std::to_string(1000 + i) + "号";
        if (i % 7 == 0) name += "这是一个很长的指标名称用来让这一行折成两行以上以检查分页时行不被拆开的情况";
        rows.push_back(plan_row("200303", i, name, 5000 + i, "01", "0001"));
    }
    open_plan(std::move(rows), "RYDM00='0001'");
    ASSERT_TRUE(report_.LoadFromFile(QStringLiteral(REPORT_TEMPLATE)));
    report_.set_variable("fxbmc", "一部张三");
    report_.export_pdf(path("long.pdf"));

    const QStringList pages = pdf_pages(path("long.pdf"));
    ASSERT_GE(pages.size(), 3);
    EXPECT_EQ(report_.page_count(), pages.size());
    // Each row lies whole on one page: its name starts there and its
    // quantity, which follows the whole name, is on the same page.
    std::vector<int> row_page(121, -1);
    for (int i = 1; i <= 120; ++i) {
        SCOPED_TRACE(i);
        int quantity_page = -1;
        for (int p = 0; p < pages.size(); ++p) {
            if (pages[p].contains(QStringLiteral("R%1号").arg(1000 + i))) row_page[i] = p;
            if (pages[p].contains(QString::number(5000 + i))) quantity_page = p;
        }
        ASSERT_NE(row_page[i], -1);
        EXPECT_EQ(row_page[i], quantity_page);
    }
    // Every page with rows has the column header once, every page its number.
    for (int p = 0; p < pages.size(); ++p) {
        SCOPED_TRACE(p + 1);
        const bool has_rows = std::count(row_page.begin(), row_page.end(), p) > 0;
        EXPECT_EQ(pages[p].count("序号指标名称指标数量(条)"), has_rows ? 1 : 0);
        EXPECT_TRUE(pages[p].contains(QStringLiteral("第%1页共%2页").arg(p + 1).arg(pages.size())));
    }
    EXPECT_EQ(row_page[1], 0);
    EXPECT_GE(row_page[120], 2);
    // The total once, after the last row.
    const QString total = QStringLiteral("合计%1").arg(120 * 5000 + 120 * 121 / 2);
    for (int p = 0; p < pages.size(); ++p) EXPECT_EQ(pages[p].contains(total), p == row_page[120]);
}

// ---------------------------------------------------------------------------
// Loading templates

TEST_F(ReportTest, BareNameIsLookedUpInTheCurrentDirectory)
{
    write_file(path("mine.frf"), "<p>HERE {{ywny}}</p>");
    const QString old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    const bool loaded = report_.LoadFromFile("mine.frf");
    QDir::setCurrent(old);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(report_.template_file(), "mine.frf");
    report_.set_variable("ywny", "200305");
    report_.prepare();
    EXPECT_TRUE(report_.prepared_html().contains("HERE 200305"));
}

TEST_F(ReportTest, MissingTemplateKeepsTheOneHeld)
{
    open_demo_plan();
    write_file(path("first.frf"), "<h1>FIRST</h1>{{#rows}}[{{ZBMC00}}]{{/rows}}");
    ASSERT_TRUE(report_.LoadFromFile(path("first.frf")));
    EXPECT_FALSE(report_.LoadFromFile(path("no_such_template.frf")));
    EXPECT_FALSE(report_.LoadFromFile(QString()));
    EXPECT_EQ(report_.template_file(), path("first.frf"));
    report_.export_pdf(path("kept.pdf"));
    const QString text = pdf_pages(path("kept.pdf")).join("");
    EXPECT_TRUE(text.contains("FIRST"));
    EXPECT_TRUE(text.contains("[卷烟销售总量][一类烟销量][高端卷烟销量]"));
}

TEST_F(ReportTest, WithNoTemplateEverLoadedThePagesShowAPlainTable)
{
    open_demo_plan();
    EXPECT_FALSE(report_.LoadFromFile(path("no_such_template.frf")));
    EXPECT_FALSE(report_.has_template());
    report_.set_variable("fxbmc", "一部张三");
    report_.export_pdf(path("plain.pdf"));
    const QStringList pages = pdf_pages(path("plain.pdf"));
    ASSERT_EQ(pages.size(), 1);
    const QString text = pages.first();
    EXPECT_TRUE(text.contains("fxbmc：一部张三"));
    EXPECT_TRUE(text.contains("NYUE00XHAO00ZBLB00ZBMC00ZBSL00CKDM00RYDM00SPDM00SPDM01ZBLBMC"));
    EXPECT_TRUE(text.contains("20030311卷烟销售总量1860010001"));
    EXPECT_TRUE(text.contains("20030331高端卷烟销量7.5010001"));
    EXPECT_FALSE(text.contains("别人的指标甲"));
    EXPECT_TRUE(text.contains("第1页共1页"));
}

TEST_F(ReportTest, UnreadableTemplateThrowsNamingTheFileAndKeepsTheOneHeld)
{
    open_demo_plan();
    write_file(path("good.frf"), "<h1>GOOD</h1>");
    ASSERT_TRUE(report_.LoadFromFile(path("good.frf")));

    // Tests run as root, who reads any file: a directory cannot be read as one.
    ASSERT_TRUE(QDir(dir_.path()).mkdir("fxyyxszb.frf"));
    try {
        report_.LoadFromFile(path("fxyyxszb.frf"));
        ADD_FAILURE() << "no error";
    } catch (const report::ReportError &e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).contains(path("fxyyxszb.frf"))) << e.what();
    }
    // Bytes that are not UTF-8 text are not a template either.
    write_file(path("binary.frf"), QByteArray("<p>\xff\xfe\x80 broken</p>"));
    EXPECT_THROW(report_.LoadFromFile(path("binary.frf")), report::ReportError);

    EXPECT_EQ(report_.template_file(), path("good.frf"));
    report_.prepare();
    EXPECT_TRUE(report_.prepared_html().contains("GOOD"));
}

TEST_F(ReportTest, BrokenTemplateThrowsNamingTheFileAndKeepsTheOneHeld)
{
    write_file(path("good.frf"), "<h1>GOOD</h1>");
    ASSERT_TRUE(report_.LoadFromFile(path("good.frf")));
    const struct {
        const char *name;
        const char *text;
    } broken[] = {{"unclosed.frf", "<table>{{#rows}}<tr><td>{{ZBMC00}}</td></tr></table>"},
                  {"mismatched.frf", "{{#rows}}{{ZBMC00}}{{/totals}}"},
                  {"unclosed_tag.frf", "<p>{{fxbmc</p>"}};
    for (const auto &t : broken) {
        SCOPED_TRACE(t.name);
        write_file(path(t.name), t.text);
        try {
            report_.LoadFromFile(path(t.name));
            ADD_FAILURE() << "no error";
        } catch (const report::ReportError &e) {
            EXPECT_TRUE(QString::fromUtf8(e.what()).contains(path(t.name))) << e.what();
        }
    }
    EXPECT_EQ(report_.template_file(), path("good.frf"));
    report_.prepare();
    EXPECT_TRUE(report_.prepared_html().contains("GOOD"));
}

// ---------------------------------------------------------------------------
// Variables and template features

TEST_F(ReportTest, VariablesOutliveAPrintAndASecondPrintReplacesThem)
{
    open_demo_plan();
    ASSERT_TRUE(report_.LoadFromFile(QStringLiteral(REPORT_TEMPLATE)));
    report_.set_variable("fxbmc", "城区一部王建国");
    report_.set_variable("ywny", "200303");
    report_.export_pdf(path("first.pdf"));
    // Still there for a print that does not set them.
    report_.export_pdf(path("again.pdf"));
    EXPECT_TRUE(pdf_pages(path("again.pdf")).join("").contains("城区一部王建国"));

    report_.set_variable("fxbmc", "郊区二部李四");
    report_.set_variable("ywny", "200411");
    report_.export_pdf(path("second.pdf"));
    const QString first = pdf_pages(path("first.pdf")).join("");
    const QString second = pdf_pages(path("second.pdf")).join("");
    EXPECT_TRUE(first.contains("城区一部王建国"));
    EXPECT_TRUE(second.contains("郊区二部李四"));
    EXPECT_TRUE(second.contains("200411"));
    EXPECT_FALSE(second.contains("城区一部王建国"));
    EXPECT_FALSE(second.contains("200303"));
    EXPECT_EQ(report_.variable("fxbmc"), "郊区二部李四");
    EXPECT_EQ(report_.variable_names(), (QStringList{"fxbmc", "ywny"}));
}

TEST_F(ReportTest, TemplateSeesFieldsTotalsCountsAndEscapedText)
{
    open_plan({plan_row("200303", 1, "A<b>&", 12, "01", "0001"), plan_row("200303", 2, "B", 0.25, "01", "0001"),
               plan_row("200303", 3, "C", -2, "01", "0001")},
              "");
    report_.load_from_text("{{#rows}}[{{row_no}}|{{XHAO00}}|{{ZBMC00}}|{{ZBSL00}}|{{RYDM00}}|{{fxbmc}}]{{/rows}}"
                           " total={{total_ZBSL00}} seq={{total_XHAO00}} n={{row_count}} raw={{{fxbmc}}}"
                           " none={{total_ZBMC00}}|",
                           "inline");
    report_.set_variable("fxbmc", "x<y");
    report_.prepare();
    const QString html = report_.prepared_html();
    EXPECT_TRUE(html.contains("[1|1|A&lt;b&gt;&amp;|12|0001|x&lt;y][2|2|B|0.25|0001|x&lt;y][3|3|C|-2|0001|x&lt;y]"))
        << html.toStdString();
    EXPECT_TRUE(html.contains("total=10.25 seq=6 n=3 raw=x<y none=|")) << html.toStdString();
    // The escaped text reaches the page as the characters themselves.
    EXPECT_TRUE(report_.prepared_report()->page_text(0).contains("A<b>&"));
}

TEST_F(ReportTest, ListsOfTheProgramNestWithFlagsAndOutliveAPrint)
{
    report::ReportItem line;
    line.values["name"] = "A<1>";
    line.lists["cells"] = {report::ReportItem{{{"v", "3"}}, {}, {}}, report::ReportItem{{{"v", "4"}}, {}, {}}};
    line.flags["over"] = true;
    report::ReportItem other;
    other.values["name"] = "B";
    other.flags["over"] = false;
    report_.load_from_text("{{#sheets}}<{{name}}:{{#cells}}[{{v}}]{{/cells}}{{#over}}!{{/over}}{{^over}}-{{/over}}"
                           "{{fxbmc}}>{{/sheets}}{{^empty}}none{{/empty}}",
                           "inline");
    report_.set_variable("fxbmc", "v");
    report_.set_list("sheets", {line, other});
    report_.set_list("empty", {});
    report_.prepare();
    EXPECT_TRUE(report_.prepared_html().contains("<A&lt;1&gt;:[3][4]!v><B:-v>none")) << report_.prepared_html().toStdString();
    report_.prepare();  // still there for the next print
    EXPECT_TRUE(report_.prepared_html().contains("<B:-v>"));
    report_.clear_lists();
    report_.prepare();
    EXPECT_FALSE(report_.prepared_html().contains("<B:"));
    EXPECT_THROW(report_.set_list("rows", {}), report::ReportError);
}

TEST_F(ReportTest, PageFooterOfTheTemplateIsDrawnOnEveryPageWithItsNumber)
{
    std::vector<wire::Row> rows;
    for (int i = 1; i <= 80; ++i) rows.push_back(plan_row("200303", i, "指标", i, "01", "0001"));
    open_plan(std::move(rows), "");
    report_.load_from_text("<table><thead><tr><th>H</th></tr></thead>{{#rows}}<tr><td>{{XHAO00}}</td></tr>{{/rows}}"
                           "</table>{{#page_footer}}<p>P{{page}}/{{pages}} {{ywny}} n={{row_count}}</p>"
                           "{{/page_footer}}",
                           "inline");
    report_.set_variable("ywny", "200303");
    report_.prepare();
    const int pages = report_.page_count();
    ASSERT_GE(pages, 2);
    const report::PreparedReport &prepared = *report_.prepared_report();
    for (int p = 0; p < pages; ++p)
        EXPECT_TRUE(prepared.page_text(p).contains(QStringLiteral("P%1/%2 200303 n=80").arg(p + 1).arg(pages)));
    // The footer is not part of the body.
    EXPECT_FALSE(report_.prepared_html().contains("P1/"));

    // Without one, the engine's own footer numbers the pages.
    report_.load_from_text("{{#rows}}<p>{{XHAO00}}</p>{{/rows}}", "inline");
    report_.prepare();
    EXPECT_TRUE(squeezed(report_.prepared_report()->page_text(0)).contains(
        QStringLiteral("第1页共%1页").arg(report_.page_count())));
}

TEST_F(ReportTest, InactiveOrAbsentDatasetGivesAnEmptyReport)
{
    report_.load_from_text("<p>n={{row_count}}</p>", "inline");
    report_.prepare();  // no dataset link at all
    EXPECT_TRUE(report_.prepared_html().contains("n=0"));

    open_demo_plan();
    plan_->close();
    report_.prepare();
    EXPECT_TRUE(report_.prepared_html().contains("n=0"));
    EXPECT_EQ(report_.page_count(), 1);
}

TEST_F(ReportTest, DatasetSourceIsAskedAtEachPrint)
{
    open_demo_plan();
    dataset::ClientDataset *current = nullptr;
    link_.set_dataset_source([&current] { return current; });
    report_.load_from_text("n={{row_count}}", "inline");
    report_.prepare();
    EXPECT_TRUE(report_.prepared_html().contains("n=0"));
    current = plan_.get();
    report_.prepare();
    EXPECT_TRUE(report_.prepared_html().contains("n=12"));
    EXPECT_EQ(link_.dataset(), plan_.get());
}

TEST_F(ReportTest, LongViewReportsProgressAndShowsAProgressWindow)
{
    std::vector<wire::Row> rows;
    for (int i = 1; i <= 120; ++i) rows.push_back(plan_row("200303", i, "指标", i, "01", "0001"));
    open_plan(std::move(rows), "");
    report_.load_from_text("n={{row_count}}", "inline");

    bool window_seen = false;
    QSignalSpy spy(&report_, &TfrReport::progress);
    QObject::connect(&report_, &TfrReport::progress, [&window_seen] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (qobject_cast<QProgressDialog *>(w) && w->objectName() == "report_progress") window_seen = true;
    });
    report_.set_progress_threshold(100);
    report_.prepare();
    ASSERT_FALSE(spy.isEmpty());
    EXPECT_EQ(spy.last().at(0).toInt(), 120);
    EXPECT_EQ(spy.last().at(1).toInt(), 120);
    EXPECT_TRUE(window_seen);

    // A short view shows no window.
    window_seen = false;
    report_.set_progress_threshold(500);
    report_.prepare();
    EXPECT_FALSE(window_seen);
}

TEST_F(ReportTest, PdfThatCannotBeWrittenThrowsNamingTheFile)
{
    report_.load_from_text("x", "inline");
    const QString target = path("no_such_dir/out.pdf");
    try {
        report_.export_pdf(target);
        ADD_FAILURE() << "no error";
    } catch (const report::ReportError &e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).contains(target)) << e.what();
    }
}

// ---------------------------------------------------------------------------
// The preview

TEST_F(ReportTest, PreviewOpensOnThePreparedPagesNavigatesZoomsAndCloses)
{
    std::vector<wire::Row> rows;
    for (int i = 1; i <= 120; ++i) rows.push_back(plan_row("200303", i, "指标", i, "01", "0001"));
    open_plan(std::move(rows), "");
    ASSERT_TRUE(report_.LoadFromFile(QStringLiteral(REPORT_TEMPLATE)));

    ui::testing::Hooks hooks;
    int pages = 0;
    QString first_label, next_label, last_label;
    double zoom_before = 0, zoom_in = 0, zoom_out = 0;
    bool prior_enabled_on_first = true, next_enabled_on_last = true;
    hooks.on_modal([&](QDialog *dialog) {
        auto *preview = qobject_cast<report::ReportPreview *>(dialog);
        ASSERT_NE(preview, nullptr);
        EXPECT_TRUE(preview->isVisible());
        pages = preview->page_count();
        first_label = preview->page_label_text();
        prior_enabled_on_first = preview->action("action_prior")->isEnabled();
        preview->action("action_next")->trigger();
        next_label = preview->page_label_text();
        preview->action("action_last")->trigger();
        last_label = preview->page_label_text();
        next_enabled_on_last = preview->action("action_next")->isEnabled();
        zoom_before = preview->zoom();
        preview->action("action_zoom_in")->trigger();
        zoom_in = preview->zoom();
        preview->action("action_zoom_out")->trigger();
        preview->action("action_zoom_out")->trigger();
        zoom_out = preview->zoom();
        for (int i = 0; i < 20; ++i) preview->zoom_out();
        EXPECT_DOUBLE_EQ(preview->zoom(), report::ReportPreview::kMinZoom);
        EXPECT_FALSE(preview->action("action_zoom_out")->isEnabled());
        preview->action("action_close")->trigger();
    });
    EXPECT_TRUE(report_.ShowReport());

    ASSERT_EQ(hooks.modal_count(), 1);
    EXPECT_FALSE(hooks.modals().front().closed_by_hooks);
    EXPECT_EQ(pages, report_.page_count());
    ASSERT_GE(pages, 3);
    EXPECT_EQ(first_label, QStringLiteral("第 1 页 / 共 %1 页").arg(pages));
    EXPECT_EQ(next_label, QStringLiteral("第 2 页 / 共 %1 页").arg(pages));
    EXPECT_EQ(last_label, QStringLiteral("第 %1 页 / 共 %1 页").arg(pages));
    EXPECT_FALSE(prior_enabled_on_first);
    EXPECT_FALSE(next_enabled_on_last);
    EXPECT_DOUBLE_EQ(zoom_before, 1.0);
    EXPECT_DOUBLE_EQ(zoom_in, 1.25);
    EXPECT_DOUBLE_EQ(zoom_out, 0.8);
    EXPECT_TRUE(hooks.errors().empty());
}

TEST_F(ReportTest, PreviewSavesAsPdfThroughTheFileDialog)
{
    open_demo_plan();
    ASSERT_TRUE(report_.LoadFromFile(QStringLiteral(REPORT_TEMPLATE)));
    report_.set_variable("fxbmc", "城区一部王建国");
    const QString target = path("saved.pdf");

    ui::testing::Hooks hooks;
    hooks.on_modal([](QDialog *dialog) {
        auto *preview = qobject_cast<report::ReportPreview *>(dialog);
        ASSERT_NE(preview, nullptr);
        preview->action("action_save_pdf")->trigger();
        preview->accept();
    });
    hooks.on_modal([&target](QDialog *dialog) {
        auto *files = qobject_cast<QFileDialog *>(dialog);
        ASSERT_NE(files, nullptr);
        files->selectFile(target);
        dialog->accept();
    });
    EXPECT_TRUE(report_.ShowReport());
    EXPECT_EQ(hooks.modal_count(), 2);
    ASSERT_TRUE(QFile::exists(target));
    const QString text = pdf_pages(target).join("");
    EXPECT_TRUE(text.contains("城区一部王建国"));
    EXPECT_TRUE(text.contains(QStringLiteral("合计") + kDemoTotal));
}

TEST_F(ReportTest, PreviewPrintsThePagesTheSystemDialogAsksFor)
{
    std::vector<wire::Row> rows;
    for (int i = 1; i <= 120; ++i) rows.push_back(plan_row("200303", i, "指标", 7000 + i, "01", "0001"));
    open_plan(std::move(rows), "");
    ASSERT_TRUE(report_.LoadFromFile(QStringLiteral(REPORT_TEMPLATE)));
    const QString target = path("printed.pdf");

    ui::testing::Hooks hooks;
    hooks.on_modal([](QDialog *dialog) {
        auto *preview = qobject_cast<report::ReportPreview *>(dialog);
        ASSERT_NE(preview, nullptr);
        preview->action("action_print")->trigger();  // cancelled
        preview->action("action_print")->trigger();  // pages 2 to 3 into a file
        preview->accept();
    });
    hooks.on_modal([](QDialog *dialog) { dialog->reject(); });
    hooks.on_modal([&target](QDialog *dialog) {
        auto *print = qobject_cast<QPrintDialog *>(dialog);
        ASSERT_NE(print, nullptr);
        // No printer here: the choices go into the printer as the dialog
        // would leave them for a file, and the dialog closes with OK.
        print->printer()->setOutputFormat(QPrinter::PdfFormat);
        print->printer()->setOutputFileName(target);
        print->printer()->setPrintRange(QPrinter::PageRange);
        print->printer()->setFromTo(2, 3);
        dialog->done(QDialog::Accepted);
    });
    EXPECT_TRUE(report_.ShowReport());
    ASSERT_EQ(hooks.modal_count(), 3);
    EXPECT_EQ(hooks.modals()[1].class_name, "QPrintDialog");
    EXPECT_TRUE(hooks.boxes().empty());
    ASSERT_TRUE(QFile::exists(target));
    const QStringList pages = pdf_pages(target);
    ASSERT_EQ(pages.size(), 2);
    EXPECT_TRUE(pages[0].contains(QStringLiteral("第2页共%1页").arg(report_.page_count())));
    EXPECT_TRUE(pages[1].contains(QStringLiteral("第3页共%1页").arg(report_.page_count())));
    EXPECT_TRUE(pages[0].contains("序号指标名称指标数量(条)"));
    EXPECT_FALSE(pages[0].contains("访销员月销售计划部门"));
}

TEST_F(ReportTest, ErrorWhilePreparingIsShownAndNoPreviewOpens)
{
    link_.set_dataset_source([]() -> dataset::ClientDataset * { throw std::runtime_error("数据模块已释放"); });
    report_.set_dataset(&link_);
    ui::testing::Hooks hooks;
    EXPECT_FALSE(report_.ShowReport());
    EXPECT_EQ(hooks.modal_count(), 0);
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_TRUE(hooks.errors().front().text.contains("数据模块已释放"));
    EXPECT_THROW(report_.export_pdf(path("x.pdf")), report::ReportError);
}

TEST_F(ReportTest, PreviewReportsAPdfThatCannotBeWritten)
{
    report_.load_from_text("<p>x</p>", "inline");
    report_.prepare();
    report::ReportPreview preview(*report_.prepared_report());
    ui::testing::Hooks hooks;
    EXPECT_FALSE(preview.save_pdf(path("no_such_dir/x.pdf")));
    ASSERT_EQ(hooks.boxes().size(), 1u);
    EXPECT_TRUE(hooks.boxes().front().text.contains(path("no_such_dir/x.pdf")));
    EXPECT_EQ(hooks.boxes().front().caption, "警告");
}

// ---------------------------------------------------------------------------
// The engine's file of prepared pages

// Two sets of pages are the same when every item is: text, place, font,
// colour, outline, pen, brush, picture and clip.
void expect_same_pages(const report::PreparedReport &a, const report::PreparedReport &b)
{
    ASSERT_EQ(a.page_count(), b.page_count());
    EXPECT_EQ(a.page_size(), b.page_size());
    EXPECT_EQ(a.title(), b.title());
    ASSERT_EQ(a.fonts().size(), b.fonts().size());
    for (std::size_t f = 0; f < a.fonts().size(); ++f) {
        EXPECT_EQ(a.fonts()[f].font.toString(), b.fonts()[f].font.toString());
        EXPECT_EQ(a.fonts()[f].font.families(), b.fonts()[f].font.families());
        EXPECT_EQ(a.fonts()[f].pixel_size, b.fonts()[f].pixel_size);
    }
    for (int p = 0; p < a.page_count(); ++p) {
        const auto &items_a = a.page(p).items;
        const auto &items_b = b.page(p).items;
        ASSERT_EQ(items_a.size(), items_b.size()) << "page " << p + 1;
        for (std::size_t i = 0; i < items_a.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "page " << p + 1 << " item " << i);
            ASSERT_EQ(items_a[i].item.index(), items_b[i].item.index());
            EXPECT_EQ(items_a[i].clip, items_b[i].clip);
            if (const auto *t = std::get_if<report::TextItem>(&items_a[i].item)) {
                const auto &u = std::get<report::TextItem>(items_b[i].item);
                EXPECT_EQ(t->text, u.text);
                EXPECT_EQ(t->origin, u.origin);
                EXPECT_EQ(t->font, u.font);
                EXPECT_EQ(t->color, u.color);
                EXPECT_EQ(t->bounds(), u.bounds());
            } else if (const auto *s = std::get_if<report::ShapeItem>(&items_a[i].item)) {
                const auto &u = std::get<report::ShapeItem>(items_b[i].item);
                EXPECT_EQ(s->path, u.path);
                EXPECT_EQ(s->pen, u.pen);
                EXPECT_EQ(s->brush, u.brush);
            } else {
                const auto &x = std::get<report::ImageItem>(items_a[i].item);
                const auto &y = std::get<report::ImageItem>(items_b[i].item);
                EXPECT_EQ(x.target, y.target);
                EXPECT_EQ(x.image.convertToFormat(QImage::Format_ARGB32), y.image.convertToFormat(QImage::Format_ARGB32));
            }
        }
    }
}

// A page made by hand with what a template rarely draws: a picture, curves,
// a pattern brush, a cosmetic pen, a clip.
std::unique_ptr<report::PreparedReport> hand_made_pages()
{
    QImage picture(7, 5, QImage::Format_ARGB32);
    picture.fill(QColor(10, 200, 30, 128));
    picture.setPixel(3, 2, qRgba(255, 0, 0, 255));
    QPainterPath curve;
    curve.moveTo(10, 10);
    curve.cubicTo(20, 0, 40, 30, 50, 10);
    curve.addEllipse(QRectF(60, 60, 30, 20));
    QPen cosmetic(QColor(0, 0, 255), 0, Qt::DashLine, Qt::RoundCap, Qt::BevelJoin);
    cosmetic.setCosmetic(true);
    QFont font;
    font.setFamilies(report::report_font_families());
    font.setBold(true);
    std::vector<report::Page> pages(2);
    pages[0].items.push_back({report::TextItem{{100, 120}, "手工页面 Hand", 0, 0xff336699, 12, 3, 90}, QRectF(0, 0, 300, 300)});
    pages[0].items.push_back({report::ShapeItem{curve, cosmetic, QBrush(Qt::red, Qt::Dense4Pattern)}, {}});
    pages[1].items.push_back({report::ImageItem{QRectF(20, 30, 70, 50), picture}, QRectF(25, 25, 40, 40)});
    auto made = std::make_unique<report::PreparedReport>(QSizeF(500, 400),
                                                         std::vector<report::PageFont>{{font, 16.0}}, std::move(pages));
    made->set_title("手工");
    return made;
}

TEST_F(ReportTest, SavedPagesOpenAgainAsTheSamePagesAndTheSamePdf)
{
    open_numbered_plan(120);
    ASSERT_TRUE(report_.LoadFromFile(QStringLiteral(REPORT_TEMPLATE)));
    report_.set_variable("fxbmc", "城区一部王建国");
    report_.prepare();
    ASSERT_GE(report_.page_count(), 3);

    const struct {
        const char *name;
        const report::PreparedReport *pages;
    } cases[] = {{"printout", report_.prepared_report()}, {"hand_made", nullptr}};
    const auto hand_made = hand_made_pages();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const report::PreparedReport &pages = c.pages ? *c.pages : *hand_made;
        const QString file = path(QString(c.name) + ".rpp");
        report::write_pages_file(pages, file);
        const auto opened = report::read_pages_file(file);
        expect_same_pages(pages, *opened);
        for (int p = 0; p < pages.page_count(); ++p) EXPECT_EQ(opened->page_text(p), pages.page_text(p));

        pages.write_pdf(path(QString(c.name) + "_shown.pdf"));
        opened->write_pdf(path(QString(c.name) + "_opened.pdf"));
        const QStringList shown = pdf_pages(path(QString(c.name) + "_shown.pdf"));
        EXPECT_EQ(shown.size(), pages.page_count());
        EXPECT_EQ(pdf_pages(path(QString(c.name) + "_opened.pdf")), shown);
    }
    // The pages are the printout's: every row, the footer on every page.
    const QString text = pdf_pages(path("printout_opened.pdf")).join("");
    EXPECT_TRUE(text.contains("1指标R1001号5001"));
    EXPECT_TRUE(text.contains("120指标R1120号5120"));
    EXPECT_TRUE(text.contains(QStringLiteral("第%1页共%1页").arg(report_.page_count())));
    EXPECT_TRUE(pdf_pages(path("hand_made_opened.pdf")).join("").contains("手工页面Hand"));
}

TEST_F(ReportTest, PreviewSavesAReportFileThatAnotherPreviewOpens)
{
    open_numbered_plan(120);
    ASSERT_TRUE(report_.LoadFromFile(QStringLiteral(REPORT_TEMPLATE)));
    const QString saved = path("月计划.rpp");
    const QString saved_pdf = path("月计划.pdf");
    QStringList filters;
    QString default_filter, proposed, renamed;

    ui::testing::Hooks hooks;
    hooks.on_modal([](QDialog *dialog) {
        auto *preview = qobject_cast<report::ReportPreview *>(dialog);
        ASSERT_NE(preview, nullptr);
        preview->action("action_save")->trigger();  // as a report file
        preview->action("action_save")->trigger();  // as PDF, the type proposed
        preview->accept();
    });
    hooks.on_modal([&](QDialog *dialog) {
        auto *files = qobject_cast<QFileDialog *>(dialog);
        ASSERT_NE(files, nullptr);
        filters = files->nameFilters();
        default_filter = files->selectedNameFilter();
        proposed = files->selectedFiles().value(0);
        // Choosing the type with the keyboard changes the name's suffix.
        auto *types = files->findChild<QComboBox *>("fileTypeCombo");
        auto *name = files->findChild<QLineEdit *>("fileNameEdit");
        ASSERT_TRUE(types && name);
        QTest::keyClick(types, Qt::Key_Down);
        EXPECT_EQ(files->selectedNameFilter(), report::pages_file_filter());
        renamed = name->text();
        files->selectFile(saved);
        dialog->accept();
    });
    hooks.on_modal([&](QDialog *dialog) {
        qobject_cast<QFileDialog *>(dialog)->selectFile(saved_pdf);
        dialog->accept();
    });
    EXPECT_TRUE(report_.ShowReport());
    EXPECT_EQ(filters, (QStringList{"PDF 文件 (*.pdf)", report::pages_file_filter()}));
    EXPECT_EQ(default_filter, "PDF 文件 (*.pdf)");
    EXPECT_TRUE(proposed.endsWith("fxyyxszb.pdf")) << proposed.toStdString();
    EXPECT_EQ(renamed, "fxyyxszb.rpp");
    ASSERT_TRUE(QFile::exists(saved));
    EXPECT_EQ(pdf_pages(saved_pdf).size(), report_.page_count());
    const report::PreparedReport &printed = *report_.prepared_report();
    const auto kept = report::read_pages_file(saved);
    expect_same_pages(printed, *kept);

    // Another report's preview opens the file: its pages replace those shown.
    report::PreparedReport other("<p>另一份报表</p>", {});
    report::ReportPreview preview(other, nullptr, "另一份");
    hooks.on_modal([&](QDialog *dialog) {
        auto *files = qobject_cast<QFileDialog *>(dialog);
        ASSERT_NE(files, nullptr);
        files->selectFile(saved);
        dialog->accept();
    });
    preview.action("action_open")->trigger();
    EXPECT_TRUE(hooks.boxes().empty());
    EXPECT_EQ(preview.windowTitle(), "打印预览 - 月计划.rpp");
    ASSERT_EQ(preview.page_count(), printed.page_count());
    EXPECT_EQ(preview.page_label_text(), QStringLiteral("第 1 页 / 共 %1 页").arg(printed.page_count()));
    for (int p = 0; p < printed.page_count(); ++p) EXPECT_EQ(preview.pages().page_text(p), printed.page_text(p));
    EXPECT_TRUE(preview.save_pdf(path("again.pdf")));
    EXPECT_EQ(pdf_pages(path("again.pdf")), pdf_pages(saved_pdf));
}

TEST_F(ReportTest, FileThatIsNotGoodPagesIsRefusedAndThePagesShownStay)
{
    open_demo_plan();
    ASSERT_TRUE(report_.LoadFromFile(QStringLiteral(REPORT_TEMPLATE)));
    report_.prepare();
    const QByteArray good = report::encode_pages(*report_.prepared_report());
    auto with_byte = [&good](int at, char value) {
        QByteArray bytes = good;
        bytes[at] = value;
        return bytes;
    };
    QByteArray huge_header = good.left(48);
    huge_header[12] = '\x7f';  // contents of about 2 GB

    using Reason = report::ReportFileError::Reason;
    const struct {
        const char *name;
        QByteArray bytes;
        Reason reason;
        const char *says;
    } cases[] = {
        {"text.rpp", "这不是报表\n", Reason::NotAReport, "不是报表文件"},
        {"empty.rpp", "", Reason::NotAReport, "不是报表文件"},
        {"pdf.rpp", "%PDF-1.4\n", Reason::NotAReport, "不是报表文件"},
        {"five_bytes.rpp", good.left(5), Reason::Truncated, "不完整"},
        {"header_cut.rpp", good.left(30), Reason::Truncated, "不完整"},
        {"half.rpp", good.left(good.size() / 2), Reason::Truncated, "不完整"},
        {"one_short.rpp", good.left(good.size() - 1), Reason::Truncated, "不完整"},
        {"flipped.rpp", with_byte(static_cast<int>(good.size()) - 20, good[good.size() - 20] ^ 0x5a), Reason::Damaged, "已损坏"},
        {"digest.rpp", with_byte(20, good[20] ^ 1), Reason::Damaged, "已损坏"},
        {"trailing.rpp", good + "x", Reason::Damaged, "已损坏"},
        {"newer.rpp", with_byte(9, 2), Reason::NewerVersion, "较新版本"},
        {"huge_header.rpp", huge_header, Reason::TooLarge, "太大"},
    };

    report::ReportPreview preview(*report_.prepared_report(), nullptr, "月计划");
    const QString title = preview.windowTitle();
    const QString text = preview.pages().page_text(0);
    ui::testing::Hooks hooks;
    auto expect_refused = [&](const QString &file, Reason reason, const QString &says) {
        SCOPED_TRACE(file.toStdString());
        hooks.clear_messages();
        EXPECT_FALSE(preview.open_file(file));
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes().front().caption, "警告");
        EXPECT_TRUE(hooks.boxes().front().text.contains(file)) << hooks.boxes().front().text.toStdString();
        EXPECT_TRUE(hooks.boxes().front().text.contains(says)) << hooks.boxes().front().text.toStdString();
        EXPECT_EQ(&preview.pages(), report_.prepared_report());
        EXPECT_EQ(preview.pages().page_text(0), text);
        EXPECT_EQ(preview.windowTitle(), title);
        try {
            report::read_pages_file(file);
            ADD_FAILURE() << "read";
        } catch (const report::ReportFileError &e) {
            EXPECT_EQ(e.reason(), reason);
        }
    };
    for (const auto &c : cases) {
        write_file(path(c.name), c.bytes);
        expect_refused(path(c.name), c.reason, QString::fromUtf8(c.says));
    }
    // A file past the limit is not even read (it is sparse: no disk is used).
    QFile huge(path("huge.rpp"));
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
    huge.write(good.left(48));
    ASSERT_TRUE(huge.resize(report::kMaxPagesFileBytes + 1));
    huge.close();
    expect_refused(path("huge.rpp"), Reason::TooLarge, "太大");
    expect_refused(path("missing.rpp"), Reason::Unreadable, "无法读取");
    ASSERT_TRUE(QDir(dir_.path()).mkdir("folder.rpp"));
    expect_refused(path("folder.rpp"), Reason::Unreadable, "无法读取");

    // The good file still opens.
    write_file(path("good.rpp"), good);
    EXPECT_TRUE(preview.open_file(path("good.rpp")));
}

TEST_F(ReportTest, ContentsWithTheRightDigestButWrongInsideAreRefusedWithoutACrash)
{
    open_numbered_plan(60);
    ASSERT_TRUE(report_.LoadFromFile(QStringLiteral(REPORT_TEMPLATE)));
    report_.prepare();
    const QByteArray good = report::encode_pages(*report_.prepared_report());
    // Changed contents under a recomputed length and digest, as a file made
    // on purpose would be: cut short, or bytes changed anywhere.
    auto sealed = [](QByteArray file, QByteArray contents) {
        file.truncate(48);
        qToBigEndian(static_cast<quint32>(contents.size()), file.data() + 12);
        file.replace(16, 32, QCryptographicHash::hash(contents, QCryptographicHash::Sha256));
        return file + contents;
    };
    const QByteArray contents = good.mid(48);
    std::mt19937 random(24);
    int refused = 0;
    for (int round = 0; round < 600; ++round) {
        QByteArray changed = contents;
        if (round % 3 == 0) {
            changed.truncate(static_cast<qsizetype>(random() % static_cast<unsigned>(contents.size())));
        } else {
            for (int n = 0; n < 1 + round % 4; ++n)
                changed[static_cast<qsizetype>(random() % static_cast<unsigned>(changed.size()))] = static_cast<char>(random());
        }
        try {
            const auto pages = report::decode_pages(sealed(good, changed), "x.rpp");
            // What opens can be drawn and searched.
            QImage canvas(100, 100, QImage::Format_ARGB32);
            QPainter painter(&canvas);
            for (int p = 0; p < pages->page_count(); ++p) pages->paint_page(painter, p);
            pages->find("R10");
        } catch (const report::ReportFileError &e) {
            EXPECT_EQ(e.reason(), report::ReportFileError::Reason::Damaged);
            ++refused;
        }
    }
    // Cut short, the contents never pass.
    EXPECT_GE(refused, 200);
}

// ---------------------------------------------------------------------------
// Finding text in the preview

TEST_F(ReportTest, FindVisitsEveryHitInPageOrderAndWrapsAround)
{
    open_numbered_plan(120);
    ASSERT_TRUE(report_.LoadFromFile(QStringLiteral(REPORT_TEMPLATE)));
    report_.prepare();
    report::ReportPreview preview(*report_.prepared_report(), nullptr, "月计划");
    preview.show();
    QApplication::setActiveWindow(&preview);
    ASSERT_GE(preview.page_count(), 3);

    // Ctrl+F opens the bar with the text box ready for typing.
    QTest::keyClick(&preview, Qt::Key_F, Qt::ControlModifier);
    auto *box = preview.findChild<QLineEdit *>("find_text");
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(preview.find_bar_visible());
    EXPECT_TRUE(box->hasFocus());
    QTest::keyClicks(box, "r10");  // case is ignored: R1001 … R1099
    QTest::keyClick(box, Qt::Key_Return);

    std::vector<int> pages_seen;
    for (int i = 1; i <= 99; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(preview.current_hit(), i - 1);
        const report::TextHit &hit = preview.hits()[static_cast<std::size_t>(i - 1)];
        EXPECT_TRUE(hit.line.contains(QStringLiteral("指标R%1号").arg(1000 + i))) << hit.line.toStdString();
        EXPECT_EQ(preview.current_page(), hit.page);
        EXPECT_EQ(preview.find_status(), QStringLiteral("第 %1 处，共 99 处").arg(i));
        ASSERT_FALSE(hit.rects.empty());
        const QRectF page_rect(QPointF(0, 0), preview.pages().page_size());
        EXPECT_TRUE(page_rect.contains(hit.rects.front()));
        pages_seen.push_back(hit.page);
        if (i < 99) QTest::keyClick(&preview, Qt::Key_F3);
    }
    EXPECT_TRUE(std::is_sorted(pages_seen.begin(), pages_seen.end()));
    EXPECT_GE(pages_seen.back(), 2);

    // The hit shown is marked on the page.
    auto *view = preview.findChild<QWidget *>("page_view");
    const QImage shot = view->grab().toImage();
    int marked = 0;
    const QRectF hit_rect = preview.hits()[98].rects.front();
    const double scale = preview.zoom() * view->logicalDpiX() / report::PreparedReport::kLayoutDpi;
    for (double x = hit_rect.left() + 1; x < hit_rect.right(); x += 2) {
        const QColor c = shot.pixelColor(QPoint(qRound(16 + x * scale), qRound(16 + (hit_rect.top() + 1) * scale)));
        if (c.red() > 200 && c.green() > 100 && c.green() < 200 && c.blue() < 100) ++marked;
    }
    EXPECT_GT(marked, 3);

    // Past the last hit the search starts again at the first and says so;
    // before the first it goes on at the last.
    QTest::keyClick(&preview, Qt::Key_F3);
    EXPECT_EQ(preview.current_hit(), 0);
    EXPECT_EQ(preview.current_page(), 0);
    EXPECT_EQ(preview.find_status(), "已查到末尾，从头继续：第 1 处，共 99 处");
    QTest::keyClick(&preview, Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(preview.current_hit(), 98);
    EXPECT_EQ(preview.find_status(), "已查到开头，从末尾继续：第 99 处，共 99 处");
    QTest::keyClick(box, Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_EQ(preview.current_hit(), 97);

    // A new text starts on the page shown.
    preview.show_page(1);
    preview.set_find_text("指标R1");  // typed with an input method
    QTest::keyClick(box, Qt::Key_Return);
    EXPECT_EQ(preview.hits().size(), 120u);
    EXPECT_EQ(preview.hits()[static_cast<std::size_t>(preview.current_hit())].page, 1);
    EXPECT_EQ(preview.hits()[static_cast<std::size_t>(preview.current_hit() - 1)].page, 0);

    // Text that is nowhere: said so, nothing moves.
    const int page = preview.current_page();
    preview.set_find_text("无此指标");
    EXPECT_FALSE(preview.find_next());
    EXPECT_EQ(preview.find_status(), "未找到“无此指标”");
    EXPECT_EQ(preview.current_page(), page);
    EXPECT_EQ(preview.current_hit(), -1);

    // Escape in the box closes the bar, not the preview.
    QTest::keyClick(box, Qt::Key_Escape);
    EXPECT_FALSE(preview.find_bar_visible());
    EXPECT_TRUE(preview.isVisible());
}

// ---------------------------------------------------------------------------
// Help, names, another paper

TEST_F(ReportTest, HelpListsTheKeysTheCommandsHave)
{
    report_.load_from_text("<p>x</p>", "inline");
    report_.prepare();
    report::ReportPreview preview(*report_.prepared_report());
    preview.show();
    QApplication::setActiveWindow(&preview);
    // A key changed at run time shows in the help: it is read, not written down.
    preview.action("action_print")->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_P));

    std::vector<std::pair<QString, QString>> shown;
    ui::testing::Hooks hooks;
    hooks.on_modal([&shown](QDialog *dialog) {
        EXPECT_EQ(dialog->windowTitle(), "帮助");
        auto *table = dialog->findChild<QTableWidget *>("help_keys");
        ASSERT_NE(table, nullptr);
        for (int r = 0; r < table->rowCount(); ++r) shown.emplace_back(table->item(r, 0)->text(), table->item(r, 1)->text());
        dialog->reject();
    });
    QTest::keyClick(&preview, Qt::Key_F1);
    ASSERT_EQ(hooks.modal_count(), 1);

    int commands_with_keys = 0;
    for (QAction *command : preview.findChildren<QAction *>()) {
        if (command->shortcuts().isEmpty()) continue;
        ++commands_with_keys;
        QStringList keys;
        for (const QKeySequence &key : command->shortcuts()) keys << key.toString(QKeySequence::NativeText);
        const std::pair<QString, QString> row{keys.join("，"), command->text()};
        EXPECT_NE(std::find(shown.begin(), shown.end(), row), shown.end()) << command->objectName().toStdString();
    }
    EXPECT_GE(commands_with_keys, 14);
    const std::pair<QString, QString> print{"Ctrl+Shift+P", "打印"};
    EXPECT_NE(std::find(shown.begin(), shown.end(), print), shown.end());
    // The toolbar's 帮助 opens the same list.
    hooks.on_modal([](QDialog *dialog) { dialog->reject(); });
    preview.action("action_help")->trigger();
    EXPECT_EQ(hooks.modal_count(), 2);
    EXPECT_EQ(preview.action("action_help")->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_EQ(preview.action("action_find")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_F));
    EXPECT_EQ(preview.action("action_save")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
    EXPECT_EQ(preview.action("action_save_pdf")->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    EXPECT_EQ(preview.action("action_find_next")->shortcut(), QKeySequence(Qt::Key_F3));
    EXPECT_EQ(preview.action("action_find_previous")->shortcut(), QKeySequence(Qt::SHIFT | Qt::Key_F3));
}

TEST_F(ReportTest, PreviewCommandsAndFindBarHaveNamesInChinese)
{
    report_.load_from_text("<p>x</p>", "inline");
    report_.prepare();
    report::ReportPreview preview(*report_.prepared_report());
    const struct {
        const char *action;
        const char *text;
    } commands[] = {{"action_open", "打开"},   {"action_save", "保存"},   {"action_save_pdf", "另存为PDF"},
                    {"action_print", "打印"},  {"action_find", "查找"},   {"action_help", "帮助"},
                    {"action_close", "关闭"},  {"action_zoom_in", "放大"}, {"action_find_next", "查找下一个"},
                    {"action_find_previous", "查找上一个"}};
    for (const auto &c : commands) {
        SCOPED_TRACE(c.action);
        ASSERT_NE(preview.action(c.action), nullptr);
        EXPECT_EQ(preview.action(c.action)->text(), QString::fromUtf8(c.text));
    }
    for (const char *name : {"action_open_button", "action_save_button", "action_find_button", "action_help_button",
                             "find_bar", "find_text", "find_previous_button", "find_next_button", "find_status",
                             "find_close_button", "page_view", "preview_toolbar"}) {
        SCOPED_TRACE(name);
        auto *widget = preview.findChild<QWidget *>(name);
        ASSERT_NE(widget, nullptr);
        EXPECT_FALSE(widget->accessibleName().isEmpty());
    }
}

TEST_F(ReportTest, LandscapeReportIsPreviewedPrintedAndSavedOnItsPaper)
{
    open_numbered_plan(30);
    report_.load_from_text("<h1>{{title}}</h1><table>{{#rows}}<tr><td>{{ZBMC00}}</td></tr>{{/rows}}</table>", "board");
    report::PageFormat landscape;
    landscape.orientation = QPageLayout::Landscape;
    report_.set_page_format(landscape);
    report_.set_title("部门计划分配");
    report_.set_variable("title", "部门计划分配");
    // Margins that leave no body are refused and the paper stays.
    report::PageFormat absurd = landscape;
    absurd.top_mm = 200;
    EXPECT_THROW(report_.set_page_format(absurd), report::ReportError);
    EXPECT_EQ(report_.page_format(), landscape);

    report_.export_pdf(path("board.pdf"));
    report_.export_pages(path("board.rpp"));
    const auto opened = report::read_pages_file(path("board.rpp"));
    EXPECT_EQ(opened->page_layout().orientation(), QPageLayout::Landscape);
    EXPECT_EQ(opened->page_layout().pageSize().id(), QPageSize::A4);
    EXPECT_GT(opened->page_size().width(), opened->page_size().height());

    QProcess info;
    info.start("pdfinfo", {path("board.pdf")});
    ASSERT_TRUE(info.waitForFinished(60000));
    EXPECT_TRUE(QString::fromUtf8(info.readAllStandardOutput()).contains(QRegularExpression("Page size:\\s+842 x 595 pts")));
    EXPECT_EQ(opened->title(), "部门计划分配");

    QString title;
    QPageLayout::Orientation printed = QPageLayout::Portrait;
    ui::testing::Hooks hooks;
    hooks.on_modal([&](QDialog *dialog) {
        auto *preview = qobject_cast<report::ReportPreview *>(dialog);
        ASSERT_NE(preview, nullptr);
        title = preview->windowTitle();
        EXPECT_DOUBLE_EQ(preview->zoom(), report::ReportPreview::kDefaultZoom);
        preview->action("action_print")->trigger();
        preview->accept();
    });
    hooks.on_modal([&](QDialog *dialog) {
        auto *print = qobject_cast<QPrintDialog *>(dialog);
        ASSERT_NE(print, nullptr);
        printed = print->printer()->pageLayout().orientation();
        dialog->reject();
    });
    EXPECT_TRUE(report_.ShowReport());
    EXPECT_EQ(title, "打印预览 - 部门计划分配");
    EXPECT_EQ(printed, QPageLayout::Landscape);
}

}  // namespace
