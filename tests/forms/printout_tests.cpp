// 打印 of the main form against a seeded in-process server. The printout is
// rendered to PDF through the report engine (the same preparation as the
// command, without the preview) and read back with pdftotext; the command
// itself is run with the report template present, missing, unreadable and
// broken in the current directory.
//
// PRINTOUT_TESTS_KEEP=1 leaves the PDFs for a person to look at; page 1 of
// the demo's printout, docs/demo_printout.png, is made with
//   PRINTOUT_TESTS_KEEP=1 bin/printout_tests --gtest_filter='DemoPrintout*'   # prints FOLDER
//   pdftoppm -png -r 80 -f 1 -l 1 FOLDER/demo.pdf page                        # page-1.png
#include <QDate>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "TDateTimePicker.h"
#include "TFlatComboBox.h"
#include "TFlatSpeedButton.h"
#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "app_server.h"
#include "form_fixture.h"
#include "inprocess_link.h"
#include "module_state.h"
#include "plan_commands.h"
#include "report.h"
#include "report_preview.h"
#include "server_fixture.h"
#include "ui.h"

namespace {

// The text of a PDF with all white space taken out (pdftotext lays columns
// out with spaces that vary with the layout).
QString pdf_text(const QString &path)
{
    QProcess pdftotext;
    pdftotext.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), path, QStringLiteral("-")});
    if (!pdftotext.waitForFinished(60000) || pdftotext.exitCode() != 0) return QStringLiteral("<pdftotext failed>");
    return QString::fromUtf8(pdftotext.readAllStandardOutput()).remove(QRegularExpression(QStringLiteral("\\s")));
}

QString squeezed(QString text) { return text.remove(QRegularExpression(QStringLiteral("\\s"))); }

bool write_file(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Folders for the current directory of the "host": one with the printout
// template, one without; the test's own current directory comes back at the end.
class Folders {
public:
    Folders()
    {
        if (qEnvironmentVariableIsSet("PRINTOUT_TESTS_KEEP")) {
            dir_.setAutoRemove(false);
            std::fprintf(stderr, "printout PDFs in %s\n", qPrintable(dir_.path()));
        }
        QDir(dir_.path()).mkpath(QStringLiteral("with_template"));
        QDir(dir_.path()).mkpath(QStringLiteral("without_template"));
        QDir(dir_.path()).mkpath(QStringLiteral("bad_template"));
        copied_ = QFile::copy(QStringLiteral(PLAN_REPORT_TEMPLATE), with_template() + "/fxyyxszb.frf");
        QDir::setCurrent(with_template());
    }
    ~Folders() { QDir::setCurrent(previous_); }

    bool ready() const { return dir_.isValid() && copied_; }
    QString with_template() const { return dir_.filePath(QStringLiteral("with_template")); }
    QString without_template() const { return dir_.filePath(QStringLiteral("without_template")); }
    QString bad_template() const { return dir_.filePath(QStringLiteral("bad_template")); }
    QString pdf(const QString &name) const { return dir_.filePath(name); }

private:
    QString previous_ = QDir::currentPath();
    QTemporaryDir dir_;
    bool copied_ = false;
};

class PrintoutTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        formtest::reset_module_state();
        ASSERT_TRUE(folders.ready());
    }

    // The printout as 打印 prepares it, written to a PDF; its text.
    QString print_to_pdf(TFm_saleplan *f, const QString &name)
    {
        prepare_plan_report(*f);
        f->frReport1->export_pdf(folders.pdf(name));
        return pdf_text(folders.pdf(name));
    }

    // Selects a list item with the arrow keys, as the planner would.
    static void choose_next_item(TFlatComboBox *combo)
    {
        combo->setFocus();
        QTest::keyClick(combo, Qt::Key_Down);
    }

    static void show_only_item(TFlatComboBox *combo, const QString &item)
    {
        combo->setItems({item});
        combo->setText(item);
        ASSERT_EQ(combo->text(), item);
    }

    // Runs 打印 and closes the preview from its own close button; returns
    // whether a preview opened.
    bool print_and_close_preview(TFm_saleplan *f)
    {
        bool opened = false;
        hooks.on_modal([&](QDialog *dialog) {
            auto *preview = qobject_cast<report::ReportPreview *>(dialog);
            if (!preview) return;
            opened = preview->isVisible() && preview->page_count() > 0;
            preview->action(QStringLiteral("action_close"))->trigger();
        });
        QTest::mouseClick(f->tbprint, Qt::LeftButton);
        // An action not taken (no window opened) must not be left for the next one.
        if (!opened && hooks.pending_actions() > 0) hooks.on_modal([](QDialog *) {});
        return opened;
    }

    int previews_shown() const
    {
        int n = 0;
        for (const auto &modal : hooks.modals())
            if (modal.class_name == QStringLiteral("report::ReportPreview")) ++n;
        return n;
    }

    Folders folders;
    formtest::SeededServer server;
    ui::testing::Hooks hooks;
    const std::string m = formtest::this_month();
    const std::string p = formtest::last_month();
};

// ---------------------------------------------------------------------------
// What the printout shows

TEST_F(PrintoutTest, PrintoutShowsTheNamesTheMonthEveryRowInViewAndTheTotal)
{
    QString text;
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        ASSERT_EQ(f->cb_fxy->text(), QStringLiteral("0007|甲"));
        text = print_to_pdf(f, QStringLiteral("first.pdf"));
        EXPECT_EQ(f->frReport1->page_count(), 1);
        f->tbexit->click();
    });
    EXPECT_TRUE(text.contains(QStringLiteral("访销员月销售计划")));
    EXPECT_TRUE(text.contains(QStringLiteral("东区甲")));
    EXPECT_TRUE(text.contains(QString::fromStdString(m)));
    EXPECT_TRUE(text.contains(QStringLiteral("1卷烟销量10")));
    EXPECT_TRUE(text.contains(QStringLiteral("2新品铺货5")));
    EXPECT_TRUE(text.contains(QStringLiteral("3终端陈列0")));
    EXPECT_TRUE(text.contains(QStringLiteral("合计15")));
    EXPECT_TRUE(text.contains(QStringLiteral("共3项指标")));
    // Nothing of the other salesmen, departments or months.
    EXPECT_FALSE(text.contains(QStringLiteral("乙")));
    EXPECT_FALSE(text.contains(QStringLiteral("1卷烟销量30")));
    EXPECT_FALSE(text.contains(QStringLiteral("1卷烟销量9")));
    EXPECT_FALSE(text.contains(QString::fromStdString(p)));
    EXPECT_TRUE(hooks.errors().empty());
}

TEST_F(PrintoutTest, ASecondPrintReplacesTheVariablesAndRowsOfTheFirst)
{
    QString first, second;
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        first = print_to_pdf(f, QStringLiteral("jia.pdf"));
        choose_next_item(f->cb_fxy);
        ASSERT_EQ(f->cb_fxy->text(), QStringLiteral("0008|乙"));
        second = print_to_pdf(f, QStringLiteral("yi.pdf"));
        EXPECT_EQ(f->frReport1->variable(QStringLiteral("fxbmc")), QStringLiteral("东区乙"));
        EXPECT_EQ(f->frReport1->variable(QStringLiteral("ywny")), QString::fromStdString(m));
        f->tbexit->click();
    });
    EXPECT_TRUE(first.contains(QStringLiteral("东区甲")));
    EXPECT_TRUE(second.contains(QStringLiteral("东区乙")));
    EXPECT_TRUE(second.contains(QStringLiteral("1卷烟销量30")));
    EXPECT_TRUE(second.contains(QStringLiteral("2新品铺货20")));
    EXPECT_TRUE(second.contains(QStringLiteral("合计50")));
    EXPECT_TRUE(second.contains(QStringLiteral("共2项指标")));
    EXPECT_FALSE(second.contains(QStringLiteral("甲")));
    EXPECT_FALSE(second.contains(QStringLiteral("终端陈列")));
}

TEST_F(PrintoutTest, DepartmentWithoutSalesmenPrintsTheDepartmentNameAndNoRows)
{
    QString text;
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        choose_next_item(f->cb_fxb);
        choose_next_item(f->cb_fxb);
        ASSERT_EQ(f->cb_fxb->text(), QStringLiteral("03|南区"));
        ASSERT_TRUE(f->cb_fxy->text().isEmpty());
        text = print_to_pdf(f, QStringLiteral("south.pdf"));
        EXPECT_EQ(f->frReport1->variable(QStringLiteral("fxbmc")), QStringLiteral("南区"));
        f->tbexit->click();
    });
    EXPECT_TRUE(text.contains(QStringLiteral("南区")));
    EXPECT_TRUE(text.contains(QStringLiteral("（本月没有计划指标）")));
    EXPECT_TRUE(text.contains(QStringLiteral("合计0")));
    EXPECT_FALSE(text.contains(QStringLiteral("卷烟销量")));
}

// Mend: the names belong to the codes in force, not to whatever item a
// list happens to show; an item without "|" is all name.
TEST_F(PrintoutTest, NamesBelongToTheCodesInForce)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        show_only_item(f->cb_fxb, QStringLiteral("总部"));
        show_only_item(f->cb_fxy, QStringLiteral("丙丁"));
        prepare_plan_report(*f);
        EXPECT_EQ(f->frReport1->variable(QStringLiteral("fxbmc")), QStringLiteral("东区甲"));
        // The list's own item of the code in force names it, even without a name.
        show_only_item(f->cb_fxb, QStringLiteral("01|东区"));
        show_only_item(f->cb_fxy, QStringLiteral("0007|"));
        prepare_plan_report(*f);
        EXPECT_EQ(f->frReport1->variable(QStringLiteral("fxbmc")), QStringLiteral("东区"));
        f->tbexit->click();
    });
    EXPECT_TRUE(hooks.errors().empty());
}

TEST_F(PrintoutTest, AnotherDayOfTheShownMonthPrintsTheSameRowsAndMonth)
{
    QString before, after;
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        before = print_to_pdf(f, QStringLiteral("before.pdf"));
        const QDate today = f->DateTimePicker1->date();
        f->DateTimePicker1->setDate(today.day() == 1 ? today.addDays(1) : today.addDays(-1));
        server.reset_calls();
        emit f->DateTimePicker1->closeUp();
        EXPECT_EQ(server.total_calls(), 0);
        after = print_to_pdf(f, QStringLiteral("after.pdf"));
        EXPECT_EQ(f->frReport1->variable(QStringLiteral("ywny")), QString::fromStdString(m));
        f->tbexit->click();
    });
    EXPECT_EQ(after, before);
    EXPECT_TRUE(after.contains(QStringLiteral("合计15")));
}

// After a month change whose reload failed, the view still holds the former
// month's selection; the printout names that month, not plan_month.
TEST_F(PrintoutTest, AfterAFailedMonthReloadTheMonthPrintedIsTheOneInView)
{
    QString text;
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        server.fail_next("records:dsp_xstyzb02cys");
        f->DateTimePicker1->setDate(QDate::currentDate().addMonths(-1));
        emit f->DateTimePicker1->closeUp();
        ASSERT_EQ(hooks.errors().size(), 1u);
        ASSERT_EQ(saleplan::plan_month, p);
        text = print_to_pdf(f, QStringLiteral("in_view.pdf"));
        EXPECT_EQ(f->frReport1->variable(QStringLiteral("ywny")), QString::fromStdString(m));
        f->tbexit->click();
    });
    EXPECT_TRUE(text.contains(QString::fromStdString(m)));
    EXPECT_FALSE(text.contains(QString::fromStdString(p)));
    EXPECT_FALSE(text.contains(QStringLiteral("1卷烟销量9")));
}

// ---------------------------------------------------------------------------
// The 打印 command

TEST_F(PrintoutTest, PrintOpensTheModalPreviewOnThePrintoutAndSendsNothing)
{
    QString label, html;
    bool visible = false;
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        server.reset_calls();
        hooks.on_modal([&](QDialog *dialog) {
            auto *preview = qobject_cast<report::ReportPreview *>(dialog);
            ASSERT_NE(preview, nullptr);
            visible = preview->isVisible() && preview->isModal();
            label = preview->page_label_text();
            html = f->frReport1->prepared_html();
            preview->action(QStringLiteral("action_close"))->trigger();
        });
        QTest::mouseClick(f->tbprint, Qt::LeftButton);
        // The main form is back, without a new activation.
        EXPECT_TRUE(f->isVisible());
        EXPECT_EQ(server.total_calls(), 0);
        EXPECT_EQ(formtest::rows_in_view("XHAO00").size(), 3u);
        f->tbexit->click();
    });
    EXPECT_EQ(previews_shown(), 1);
    ASSERT_EQ(hooks.modals().size(), 2u);
    EXPECT_FALSE(hooks.modals()[1].closed_by_hooks);
    EXPECT_TRUE(visible);
    EXPECT_EQ(label, QStringLiteral("第 1 页 / 共 1 页"));
    EXPECT_TRUE(html.contains(QStringLiteral("东区甲")));
    EXPECT_TRUE(html.contains(QStringLiteral("终端陈列")));
    EXPECT_TRUE(hooks.messages().empty());
}

TEST_F(PrintoutTest, PrintWorksInBrowseMode)
{
    formtest::run_main_form(
        hooks,
        [&](TFm_saleplan *f) {
            EXPECT_TRUE(f->tbprint->isEnabled());
            EXPECT_TRUE(print_and_close_preview(f));
            EXPECT_EQ(f->frReport1->variable(QStringLiteral("fxbmc")), QStringLiteral("东区甲"));
            f->tbexit->click();
        },
        "b");
    EXPECT_EQ(previews_shown(), 1);
    EXPECT_TRUE(hooks.messages().empty());
}

TEST_F(PrintoutTest, WithNoTemplateEverLoadedThePreviewShowsAPlainTableQuietly)
{
    QDir::setCurrent(folders.without_template());
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        EXPECT_TRUE(print_and_close_preview(f));
        EXPECT_FALSE(f->frReport1->has_template());
        const QString html = squeezed(f->frReport1->prepared_html());
        EXPECT_TRUE(html.contains(QStringLiteral("东区甲")));
        EXPECT_TRUE(html.contains(QString::fromStdString(m)));
        EXPECT_TRUE(html.contains(QStringLiteral("新品铺货")));
        EXPECT_FALSE(html.contains(QStringLiteral("访销员月销售计划")));
        f->tbexit->click();
    });
    EXPECT_EQ(previews_shown(), 1);
    EXPECT_TRUE(hooks.messages().empty());
}

TEST_F(PrintoutTest, AMissingTemplateKeepsTheOneLoadedBeforeQuietly)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        ASSERT_TRUE(print_and_close_preview(f));
        ASSERT_TRUE(f->frReport1->has_template());
        QDir::setCurrent(folders.without_template());
        choose_next_item(f->cb_fxy);
        EXPECT_TRUE(print_and_close_preview(f));
        EXPECT_TRUE(f->frReport1->has_template());
        const QString html = squeezed(f->frReport1->prepared_html());
        EXPECT_TRUE(html.contains(QStringLiteral("访销员月销售计划")));
        // The variables were set although the file was missing.
        EXPECT_TRUE(html.contains(QStringLiteral("东区乙")));
        f->tbexit->click();
    });
    EXPECT_EQ(previews_shown(), 2);
    EXPECT_TRUE(hooks.messages().empty());
}

// A template file that is there but cannot be read or is no valid template.
struct BadTemplate {
    const char *name;
    void (*make)(const QString &path);
};

class BadTemplateTest : public PrintoutTest, public ::testing::WithParamInterface<BadTemplate> {};

TEST_P(BadTemplateTest, EndsTheCommandWithTheErrorAndKeepsTemplateAndVariables)
{
    GetParam().make(folders.bad_template() + "/fxyyxszb.frf");
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        ASSERT_TRUE(print_and_close_preview(f));
        QDir::setCurrent(folders.bad_template());
        choose_next_item(f->cb_fxy);
        EXPECT_FALSE(print_and_close_preview(f));
        EXPECT_TRUE(f->isVisible());
        // The command ended at the load: the first print's variables and
        // template are still what the report holds.
        EXPECT_EQ(f->frReport1->variable(QStringLiteral("fxbmc")), QStringLiteral("东区甲"));
        EXPECT_TRUE(f->frReport1->has_template());
        f->frReport1->prepare();
        EXPECT_TRUE(squeezed(f->frReport1->prepared_html()).contains(QStringLiteral("访销员月销售计划")));
        f->tbexit->click();
    });
    EXPECT_EQ(previews_shown(), 1);
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_TRUE(hooks.errors()[0].text.contains(QStringLiteral("fxyyxszb.frf"))) << hooks.errors()[0].text.toStdString();
    EXPECT_TRUE(hooks.boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Templates, BadTemplateTest,
    ::testing::Values(
        BadTemplate{"Unreadable", [](const QString &path) { ASSERT_TRUE(QDir().mkpath(path)); }},
        BadTemplate{"NotText",
                    [](const QString &path) { ASSERT_TRUE(write_file(path, QByteArray("\xff\xfe\x00<\x00h\xc3", 7))); }},
        BadTemplate{"UnclosedSection",
                    [](const QString &path) {
                        ASSERT_TRUE(write_file(path, QByteArray("<p>{{fxbmc}}</p>{{#rows}}<p>{{ZBMC00}}</p>")));
                    }},
        BadTemplate{"UnclosedTag",
                    [](const QString &path) { ASSERT_TRUE(write_file(path, QByteArray("<p>{{fxbmc</p>"))); }}),
    [](const ::testing::TestParamInfo<BadTemplate> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The demo database

// The printout of the demo's first salesman this month, against the demo
// data set the demo server starts with (docs/demo_printout.png is page 1).
TEST(DemoPrintout, FirstSalesmanOfTheDemoPrintsEveryRowOfHisPlan)
{
    formtest::reset_module_state();
    Folders folders;
    ASSERT_TRUE(folders.ready());
    testsupport::SqliteDb demo(/*demo=*/true);
    appserver::AppServer server(demo.connection_string());
    remote::set_link_factory(remote::inprocess_link_factory(server));
    ui::testing::Hooks hooks;
    const std::string m = formtest::this_month();

    QString text;
    int pages = 0;
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        EXPECT_EQ(f->cb_fxb->text(), QStringLiteral("01|城东访销部"));
        EXPECT_EQ(f->cb_fxy->text(), QStringLiteral("0101|张伟"));
        prepare_plan_report(*f);
        f->frReport1->export_pdf(folders.pdf(QStringLiteral("demo.pdf")));
        pages = f->frReport1->page_count();
        text = pdf_text(folders.pdf(QStringLiteral("demo.pdf")));
        f->tbexit->click();
    });
    delete saleplan::dm_yearplan;
    saleplan::dm_yearplan = nullptr;
    remote::set_link_factory({});

    EXPECT_EQ(pages, 1);
    EXPECT_TRUE(text.contains(QStringLiteral("城东访销部张伟")));
    EXPECT_TRUE(text.contains(QString::fromStdString(m)));
    const auto rows = testsupport::query_sql(demo.connection_string(),
                                             "SELECT XHAO00, ZBMC00, ZBSL00 FROM XSTYZB02 WHERE NYUE00='" + m +
                                                 "' AND CKDM00='01' AND RYDM00='0101' ORDER BY XHAO00");
    ASSERT_FALSE(rows.empty());
    for (const auto &row : rows) {
        const QString line = QString::fromStdString(row[0] + row[1] + row[2]);
        EXPECT_TRUE(text.contains(line)) << line.toStdString();
    }
    const std::string total = testsupport::query_sql(demo.connection_string(),
                                                     "SELECT SUM(ZBSL00) FROM XSTYZB02 WHERE NYUE00='" + m +
                                                         "' AND CKDM00='01' AND RYDM00='0101'")[0][0];
    EXPECT_TRUE(text.contains(QStringLiteral("合计") + QString::fromStdString(total))) << total;
    EXPECT_FALSE(text.contains(QStringLiteral("李娜")));
    EXPECT_TRUE(hooks.errors().empty());
}

}  // namespace
