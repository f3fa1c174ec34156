// 导出 and 导入 driven from the board against a seeded in-process server, and
// 导出 from the main form: files in a temporary folder (the file dialog
// replaced by a chooser), what the planner sees (the preview, its marks, the
// messages) and what reached the database (quantities, the audit records).
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "TFlatSpeedButton.h"
#include "Unit_board.h"
#include "Unit_saleplan.h"
#include "board_grid.h"
#include "board_preview.h"
#include "form_fixture.h"
#include "module_state.h"
#include "sheet_files.h"
#include "ui.h"

using namespace formtest;

namespace {

QByteArray read(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
void write(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// The openpyxl script's output; empty when it failed.
QString openpyxl(const QStringList &args)
{
    QProcess p;
    // The system's Python, whose packages scripts/bootstrap installs.
    const QString python = QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                                              : QStringLiteral("python3");
    p.start(python, QStringList{QStringLiteral(OPENPYXL_EDIT)} + args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) return {};
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

class SheetBoardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_module_state();
        ASSERT_TRUE(dir.isValid());
        sheet_files::set_chooser([this](QWidget *, bool, const QString &, const QString &proposed, const QStringList &) {
            proposals << proposed;
            return next.isEmpty() ? std::nullopt : std::optional<sheet_files::Choice>(next.takeFirst());
        });
    }
    void TearDown() override { sheet_files::set_chooser({}); }

    void board(const std::function<void(TFm_board *)> &steps)
    {
        bool ran = false;
        run_main_form(hooks, [&](TFm_saleplan *f) {
            hooks.on_modal([&](QDialog *d) {
                auto *b = qobject_cast<TFm_board *>(d);
                ASSERT_NE(b, nullptr);
                ran = true;
                steps(b);
            });
            f->tbboard->click();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            f->tbexit->click();
        });
        EXPECT_TRUE(ran);
    }
    QString path(const char *name) const { return dir.filePath(QString::fromUtf8(name)); }
    std::string stored(const std::string &salesman, int xhao)
    {
        return server.scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE NYUE00='" + this_month() +
                             "' AND CKDM00='01' AND RYDM00='" + salesman + "' AND XHAO00=" + std::to_string(xhao));
    }
    QString last_message() const { return hooks.messages().empty() ? QString() : hooks.messages().back().text; }

    QTemporaryDir dir;
    QList<sheet_files::Choice> next;
    QStringList proposals;
    SeededServer server;
    ui::testing::Hooks hooks;
};

TEST_F(SheetBoardTest, ExportThenAnEditedSheetImportedThroughItsPreview)
{
    const QString month = QString::fromStdString(this_month());
    board([&](TFm_board *b) {
        // The two commands stand right after 打印.
        QList<TFlatSpeedButton *> buttons;
        for (TFlatSpeedButton *button : b->toolbar_buttons())
            if (button->isVisibleTo(b)) buttons << button;
        const int print = static_cast<int>(buttons.indexOf(b->tbprint));
        ASSERT_GE(print, 0);
        EXPECT_EQ(buttons.value(print + 1)->objectName(), "tbexport");
        EXPECT_EQ(buttons.value(print + 2)->objectName(), "tbimport");

        next = {{path("board.xlsx"), 0}, {path("board.csv"), 1}};
        b->command_button("tbexport")->click();
        b->command_button("tbexport")->click();
        EXPECT_EQ(proposals.value(0), QStringLiteral("部门计划_%1_01.xlsx").arg(month));
        EXPECT_TRUE(read(path("board.xlsx")).startsWith("PK")) << "an .xlsx is a zip";
        const QByteArray csv = read(path("board.csv"));
        EXPECT_TRUE(csv.startsWith("\xEF\xBB\xBF年月," + month.toUtf8() + ",访销部,01,东区,状态,草稿\r\n"))
            << csv.left(80).toStdString();
        EXPECT_NE(csv.indexOf("序号,指标,上级计划,0007 甲,0008 乙,已分配,剩余\r\n1,卷烟销量,100,10,30,40,60\r\n"), -1)
            << csv.toStdString();
        EXPECT_EQ(last_message(), QStringLiteral("已导出到 %1").arg(path("board.csv")));

        // 甲's 卷烟销量 10 -> 25 and 新品铺货 5 -> 4 in another program; imported.
        QByteArray edited = csv;
        edited.replace("1,卷烟销量,100,10,30", "1,卷烟销量,100,25,30").replace("2,新品铺货,50,5,20", "2,新品铺货,50,4,20");
        write(path("edited.csv"), edited);
        next = {{path("edited.csv"), 0}};
        b->command_button("tbimport")->click();
        BoardPreview *preview = BoardPreview::of(*b);
        ASSERT_NE(preview, nullptr);
        EXPECT_TRUE(preview->bt_ok->isEnabled());
        EXPECT_NE(preview->lb_preview->text().indexOf("2 处改动"), -1) << preview->lb_preview->text().toStdString();
        const QModelIndex cell = b->grid->model()->index(0, 3);
        EXPECT_EQ(cell.data().toString(), "25");
        EXPECT_EQ(cell.data(Qt::BackgroundRole).value<QColor>(), board_colours::kProposed);
        preview->bt_cancel->click();
        EXPECT_EQ(stored("0007", 1), "10") << "取消 changes nothing";

        next = {{path("edited.csv"), 0}};
        b->command_button("tbimport")->click();
        BoardPreview::of(*b)->bt_ok->click();
        EXPECT_EQ(stored("0007", 1), "25");
        EXPECT_EQ(stored("0007", 2), "4");
        EXPECT_EQ(stored("0008", 1), "30");
        EXPECT_EQ(server.query("SELECT RYDM00,XHAO00,SLQIAN,SLHOU0,LYOU00 FROM XSTYZBRZ WHERE CZLX00='导入' ORDER BY XHAO00"),
                  (std::vector<std::vector<std::string>>{{"0007", "1", "10", "25", "edited.csv"},
                                                         {"0007", "2", "5", "4", "edited.csv"}}));
        EXPECT_NE(last_message().indexOf("2 处改动已保存"), -1) << last_message().toStdString();
        EXPECT_EQ(b->grid->model()->index(0, 3).data().toString(), "25");
    });
}

TEST_F(SheetBoardTest, AWorkbookEditedByAnotherProgramImportsExactlyItsEdits)
{
    board([&](TFm_board *b) {
        next = {{path("board.xlsx"), 0}, {path("all.xlsx"), 2}};
        b->command_button("tbexport")->click();
        b->command_button("tbexport")->click();
        // Every department of the list on a tab of its own; the header stays in view.
        EXPECT_EQ(openpyxl({QStringLiteral("sheets"), path("all.xlsx")}), "01 东区\n02 西区\n03 南区");
        EXPECT_EQ(openpyxl({QStringLiteral("frozen"), path("board.xlsx")}), "C3");

        // 乙's 卷烟销量 30 -> 12 and 甲's 终端陈列 0 -> 40; 剩余 and 合计 typed over (not read).
        ASSERT_EQ(openpyxl({QStringLiteral("edit"), path("board.xlsx"), path("edited.xlsx"), QStringLiteral("E3=12"),
                            QStringLiteral("D5=40"), QStringLiteral("G3=1"), QStringLiteral("D6=999")}),
                  "saved");
        next = {{path("edited.xlsx"), 0}};
        b->command_button("tbimport")->click();
        BoardPreview *preview = BoardPreview::of(*b);
        ASSERT_NE(preview, nullptr);
        ASSERT_TRUE(preview->bt_ok->isEnabled()) << preview->lb_preview->text().toStdString();
        preview->bt_ok->click();
    });
    EXPECT_EQ(server.query("SELECT RYDM00,XHAO00,SLQIAN,SLHOU0 FROM XSTYZBRZ WHERE CZLX00='导入' ORDER BY RYDM00,XHAO00"),
              (std::vector<std::vector<std::string>>{{"0007", "3", "0", "40"}, {"0008", "1", "30", "12"}}));
    EXPECT_EQ(server.query("SELECT RYDM00,XHAO00,ZBSL00 FROM XSTYZB02 WHERE NYUE00='" + this_month() +
                           "' AND CKDM00='01' ORDER BY RYDM00,XHAO00"),
              (std::vector<std::vector<std::string>>{
                  {"0007", "1", "10"}, {"0007", "2", "5"}, {"0007", "3", "40"}, {"0008", "1", "12"}, {"0008", "2", "20"}}));
}

TEST_F(SheetBoardTest, RefusedSheetsApplyNothing)
{
    board([&](TFm_board *b) {
        next = {{path("board.csv"), 1}};
        b->command_button("tbexport")->click();
        const QByteArray csv = read(path("board.csv"));

        // A refused cell: 确定 disabled, the cell red, its address and reason on the bar.
        QByteArray negative = csv;
        negative.replace("1,卷烟销量,100,10,30", "1,卷烟销量,100,-5,31");
        write(path("negative.csv"), negative);
        next = {{path("negative.csv"), 0}};
        b->command_button("tbimport")->click();
        BoardPreview *preview = BoardPreview::of(*b);
        ASSERT_NE(preview, nullptr);
        EXPECT_FALSE(preview->bt_ok->isEnabled());
        EXPECT_NE(preview->lb_preview->text().indexOf("D3：计划数量不能为负数"), -1)
            << preview->lb_preview->text().toStdString();
        EXPECT_EQ(b->grid->model()->index(0, 3).data(Qt::BackgroundRole).value<QColor>(), board_colours::kOver);
        preview->bt_cancel->click();

        // Another department's sheet: refused naming both, nothing previewed.
        QByteArray other = csv;
        other.replace(",访销部,01,", ",访销部,02,");
        write(path("other.csv"), other);
        next = {{path("other.csv"), 0}};
        b->command_button("tbimport")->click();
        EXPECT_EQ(BoardPreview::of(*b), nullptr);
        EXPECT_NE(last_message().indexOf(" 02 部门的计划，当前是 "), -1) << last_message().toStdString();

        // A cell of 1 MB of text: the reader refuses it, said in a message.
        write(path("huge.csv"), csv + QByteArray(1024 * 1024, 'x') + "\r\n");
        next = {{path("huge.csv"), 0}};
        b->command_button("tbimport")->click();
        EXPECT_EQ(BoardPreview::of(*b), nullptr);
        EXPECT_NE(last_message().indexOf(QStringLiteral("huge.csv")), -1) << last_message().toStdString();

        // No spreadsheet at all: the reader's message.
        write(path("junk.csv"), QByteArray("\x00\x01\x02\xff\xfe", 5));
        next = {{path("junk.csv"), 0}};
        const auto before = hooks.messages().size();
        b->command_button("tbimport")->click();
        EXPECT_EQ(hooks.messages().size(), before + 1);
        EXPECT_EQ(BoardPreview::of(*b), nullptr);
    });
    EXPECT_EQ(stored("0007", 1), "10");
    EXPECT_EQ(stored("0008", 1), "30");
    EXPECT_EQ(server.scalar("SELECT COUNT(*) FROM XSTYZBRZ WHERE CZLX00='导入'"), "0");
}

TEST_F(SheetBoardTest, AnApprovedMonthDisablesImportWithTheReasonAndStillExports)
{
    server.exec("INSERT INTO XSTYZBZT (NYUE00,CKDM00,BBHAO0,DZUO00,ZTAI00,YHMC00,CZSJ00) VALUES ('" + this_month() +
                "','01',1,'批准','已批准','li','2026-01-01T00:00:00Z')");
    board([&](TFm_board *b) {
        EXPECT_FALSE(b->command_button("tbimport")->isEnabled());
        EXPECT_EQ(b->command_button("tbimport")->toolTip(), "该月计划已批准，不能修改");
        EXPECT_TRUE(b->command_button("tbexport")->isEnabled());
        next = {{path("approved.csv"), 1}};
        b->command_button("tbexport")->click();
        EXPECT_NE(read(path("approved.csv")).indexOf(",状态,已批准\r\n"), -1);
    });
}

TEST_F(SheetBoardTest, TheMainFormExportsThePlanInView)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        auto *button = f->findChild<TFlatSpeedButton *>(QStringLiteral("tbexport"));
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(f->toolbar_buttons().back(), button) << "at the end of the toolbar";
        next = {{path("plan.csv"), 1}};
        button->click();
        const QByteArray csv = read(path("plan.csv"));
        EXPECT_EQ(csv, "\xEF\xBB\xBF年月," + QByteArray::fromStdString(this_month()) +
                           ",访销部,01,东区,访销员,0007,甲\r\n序号,指标名称,指标数量(条)\r\n1,卷烟销量,10\r\n"
                           "2,新品铺货,5\r\n3,终端陈列,0\r\n");
        f->tbexit->click();
    });
}

}  // namespace
