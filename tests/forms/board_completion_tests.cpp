// 显示完成 on the board against a seeded in-process server with a view of
// actual sales: the switch, what the table and the chart show against the
// sales put in, "其他", a server without a view, a wrong view, and the
// chart in the board's PDF.
#include <QApplication>
#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QStandardItemModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "Unit_board.h"
#include "Unit_saleplan.h"
#include "actuals.h"
#include "actuals_view.h"
#include "board_commands.h"
#include "board_completion.h"
#include "board_grid.h"
#include "database.h"
#include "demo_sales.h"
#include "form_fixture.h"
#include "module_state.h"
#include "report.h"

using namespace formtest;

namespace {

QString run_tool(const QString &tool, const QStringList &args)
{
    QProcess p;
    p.start(tool, args);
    if (!p.waitForFinished(60000) || p.exitCode() != 0) return QStringLiteral("<%1 failed>").arg(tool);
    return QString::fromUtf8(p.readAllStandardOutput());
}

// The table's cell under a column header, in a row whose name column reads `row_name`.
QStandardItem *cell(BoardCompletion *c, const QString &row_name, const QString &header)
{
    QStandardItemModel *m = c->items();
    int column = -1, row = -1;
    for (int k = 0; k < m->columnCount(); ++k)
        if (m->horizontalHeaderItem(k)->text() == header) column = k;
    for (int r = 0; r < m->rowCount(); ++r)
        if (m->item(r, 1) && m->item(r, 1)->text() == row_name) row = r;
    if (row < 0 || column < 0) return nullptr;
    return m->item(row, column);
}

class BoardCompletionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_module_state();
        ASSERT_TRUE(folder.isValid());
        previous = QDir::currentPath();
        ASSERT_TRUE(QFile::copy(QStringLiteral(BOARD_REPORT_TEMPLATE), folder.filePath("bmjhfp.frf")));
        QDir::setCurrent(folder.path());
        server.exec(appserver::kDemoSalesTable);
        server.exec(appserver::kDemoActualsView);
        // This month in department 01 (plans: 甲 1: 10, 2: 5; 乙 1: 30, 2: 20).
        const std::string m = this_month();
        const char *lines[][3] = {{"0007", "1", "8"},  {"0008", "1", "6"}, {"0008", "2", "25"},
                                  {"0099", "1", "3"},  {"0007", "9", "4"}};
        for (const auto &l : lines)
            server.exec("INSERT INTO XSSJMX01 (NYUE00,CKDM00,RYDM00,XHAO00,XSSL00) VALUES ('" + m + "','01','" + l[0] +
                        "'," + l[1] + "," + l[2] + ")");
    }
    void TearDown() override { QDir::setCurrent(previous); }

    void serve_actuals(const std::string &view)
    {
        appserver::Connection probe(server.connection_string());
        appserver::install_actuals(server.server(), probe, {view, std::chrono::seconds(5)});
    }

    // Opens the board from the main form and runs `steps` once its actuals are in.
    void board(const std::function<void(TFm_board *)> &steps)
    {
        bool ran = false;
        run_main_form(hooks, [&](TFm_saleplan *f) {
            hooks.on_modal([&](QDialog *d) {
                auto *b = qobject_cast<TFm_board *>(d);
                ASSERT_NE(b, nullptr);
                ran = true;
                ASSERT_NE(b->completion, nullptr);
                EXPECT_TRUE(QTest::qWaitFor([b] { return b->completion->ready(); }));
                // The pace on the month's last day: 100%.
                const QDate today = QDate::currentDate();
                b->completion->set_today({today.year(), today.month(), today.daysInMonth()});
                steps(b);
                b->tbexitClick();
            });
            f->tbboard->click();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            f->tbexit->click();
        });
        EXPECT_TRUE(ran);
    }

    SeededServer server;
    ui::testing::Hooks hooks;
    QTemporaryDir folder;
    QString previous;
};

TEST_F(BoardCompletionTest, TheSwitchShowsDoneRatesPaceAndOthersAfterTheBoardHasOpened)
{
    serve_actuals(appserver::kDemoActualsViewName);
    server.reset_calls();
    board([&](TFm_board *b) {
        BoardCompletion *c = b->completion;
        EXPECT_EQ(server.calls("records:dsp_board"), 1);
        EXPECT_EQ(server.calls("records:dsp_actuals"), 1);
        EXPECT_TRUE(c->toggle()->isVisible());
        EXPECT_EQ(c->toggle()->text(), "显示完成");
        EXPECT_FALSE(c->panel()->isVisible()) << "off until the planner asks";

        c->toggle()->click();
        ASSERT_TRUE(c->panel()->isVisible());
        QStringList headers;
        for (int k = 0; k < c->items()->columnCount(); ++k) headers << c->items()->horizontalHeaderItem(k)->text();
        EXPECT_EQ(headers, (QStringList{"序号", "指标名称", "甲", "乙", "其他", "部门合计"}));

        const struct {
            const char *row, *column, *text;
            QColor colour;
            const char *note;
        } cases[] = {
            {"卷烟销量", "甲", "8  80%（100%） ▼", board_colours::kBelowPace, "落后于进度"},
            {"新品铺货", "乙", "25  125%（100%） ▲", board_colours::kAbovePlan, "超额完成"},
            {"新品铺货", "甲", "0  0%（100%） ▼", board_colours::kBelowPace, "完成率 0%"},
            // Sold by one not on the board, counted for the department.
            {"卷烟销量", "其他", "3", QColor(), ""},
            {"卷烟销量", "部门合计", "17  17%（100%） ▼", board_colours::kBelowPace, "计划 100 条"},
            // An indicator the plan lacks: its own line.
            {"其他", "甲", "4", QColor(), ""},
            {"合计", "乙", "31  62%（100%） ▼", board_colours::kBelowPace, "计划 50 条"},
            {"合计", "部门合计", "46  24%（100%） ▼", board_colours::kBelowPace, "计划 190 条"},
        };
        for (const auto &k : cases) {
            SCOPED_TRACE(std::string(k.row) + " " + k.column);
            QStandardItem *item = cell(c, QString::fromUtf8(k.row), QString::fromUtf8(k.column));
            ASSERT_NE(item, nullptr);
            EXPECT_EQ(item->text(), QString::fromUtf8(k.text));
            if (k.colour.isValid()) {
                EXPECT_EQ(item->background().color(), k.colour);
            }
            EXPECT_TRUE(item->toolTip().contains(QString::fromUtf8(k.note))) << item->toolTip().toStdString();
        }
        // The plan on the grid is what it was.
        EXPECT_EQ(b->grid->model()->index(0, BoardTableModel::kFirstSalesmanColumn).data().toString(), "10");

        // The chart: plan and actual per salesman for the indicator chosen.
        const auto series = c->chart_view()->chart()->series();
        ASSERT_EQ(series.size(), 1);
        auto *bars = qobject_cast<QBarSeries *>(series[0]);
        ASSERT_NE(bars, nullptr);
        ASSERT_EQ(bars->barSets().size(), 2);
        auto values = [](QBarSet *set) {
            QList<double> v;
            for (int i = 0; i < set->count(); ++i) v << set->at(i);
            return v;
        };
        EXPECT_EQ(bars->barSets()[0]->label(), "计划");
        EXPECT_EQ(values(bars->barSets()[0]), (QList<double>{10, 30, 0}));
        EXPECT_EQ(values(bars->barSets()[1]), (QList<double>{8, 6, 3}));
        auto *axis = qobject_cast<QBarCategoryAxis *>(c->chart_view()->chart()->axes(Qt::Horizontal).value(0));
        ASSERT_NE(axis, nullptr);
        EXPECT_EQ(axis->categories(), (QStringList{"甲", "乙", "其他"}));
        c->indicator_list()->setCurrentIndex(1);
        bars = qobject_cast<QBarSeries *>(c->chart_view()->chart()->series().value(0));
        ASSERT_NE(bars, nullptr);
        EXPECT_EQ(values(bars->barSets()[1]), (QList<double>{0, 25}));

        // Printed with the board: the chart is in its PDF.
        prepare_board_report(*b);
        const QString pdf = folder.filePath("board.pdf");
        b->frReport1->export_pdf(pdf);
        const QString printed = run_tool("pdftotext", {pdf, "-"});
        EXPECT_TRUE(printed.contains("完成情况"));
        EXPECT_TRUE(printed.contains("17 17%（100%） ▼") || printed.contains("17  17%（100%） ▼")) << printed.toStdString();
        EXPECT_GT(run_tool("pdfimages", {"-list", pdf}).count('\n'), 2) << "a picture under the header of the list";

        // Switched off, the printout goes without it.
        c->toggle()->click();
        EXPECT_FALSE(c->panel()->isVisible());
        prepare_board_report(*b);
        b->frReport1->export_pdf(pdf);
        EXPECT_FALSE(run_tool("pdftotext", {pdf, "-"}).contains("完成情况"));
        EXPECT_EQ(run_tool("pdfimages", {"-list", pdf}).count('\n'), 2) << "no picture";
    });
}

TEST_F(BoardCompletionTest, WithoutAViewTheBoardShowsNothingOfIt)
{
    for (bool installed : {false, true}) {
        SCOPED_TRACE(installed);
        if (installed) serve_actuals("");
        board([&](TFm_board *b) {
            EXPECT_EQ(b->completion->actuals().state, board::ActualsState::Off);
            EXPECT_FALSE(b->completion->toggle()->isVisible());
            EXPECT_FALSE(b->completion->panel()->isVisible());
            EXPECT_TRUE(b->model().layer_names().empty());
        });
    }
}

TEST_F(BoardCompletionTest, AWrongViewLeavesTheBoardWorkingAndSaysWhy)
{
    server.exec("CREATE VIEW XSSJBAD1 AS SELECT NYUE00, CKDM00, RYDM00, XHAO00 FROM XSSJMX01");
    serve_actuals("XSSJBAD1");
    board([&](TFm_board *b) {
        BoardCompletion *c = b->completion;
        EXPECT_EQ(c->actuals().state, board::ActualsState::Unavailable);
        ASSERT_TRUE(c->toggle()->isVisible());
        c->toggle()->click();
        EXPECT_TRUE(c->note()->text().startsWith("完成数据暂不可用")) << c->note()->text().toStdString();
        EXPECT_TRUE(c->note()->text().contains("缺少列 SJSL00"));
        EXPECT_FALSE(c->table()->isVisible());
        EXPECT_TRUE(b->grid->model()->flags(b->grid->model()->index(0, BoardTableModel::kFirstSalesmanColumn)) &
                    Qt::ItemIsEditable)
            << "the plan can still be allocated";
    });
}

}  // namespace
