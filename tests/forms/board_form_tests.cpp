// The board "部门计划分配" against a seeded in-process server, opened by 分配
// from the main form's modal run, driven as a planner would: what it shows
// against the database's own arithmetic, typing and Enter, the save and its
// audit records, a save another planner made stale, generation of missing
// plans, browse mode, the department and month on the board itself, the
// keyboard, and the printout read back from its PDF.
#include <QAccessible>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "TDateTimePicker.h"
#include "TFlatComboBox.h"
#include "Unit_board.h"
#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "board_commands.h"
#include "board_grid.h"
#include "form_fixture.h"
#include "module_state.h"
#include "plan_vocabulary.h"
#include "report.h"
#include "ui.h"

using namespace formtest;

namespace {

const QString kAskSave = QStringLiteral("数据已经改动，是否保存？");

QString text_at(BoardGrid *g, int row, int column) { return g->model()->index(row, column).data().toString(); }

// The column headed by a caption, -1 when there is none.
int column_headed(BoardGrid *g, const QString &caption)
{
    for (int c = 0; c < g->model()->columnCount(); ++c)
        if (g->model()->headerData(c, Qt::Horizontal).toString() == caption) return c;
    return -1;
}

// The planner steps through a list with the arrow keys, as the main form's tests do.
void step(TFlatComboBox *combo, Qt::Key key)
{
    combo->setFocus();
    QTest::keyClick(combo, key);
}

QWidget *key_target(BoardGrid *g)
{
    if (g->is_editing())
        if (QWidget *editor = g->indexWidget(g->currentIndex())) return editor;
    return g;
}

// Puts the cursor on a cell, types a text (the first key opens the editor) and presses Enter.
void type_into(BoardGrid *g, int row, int column, const QString &text, bool enter = true)
{
    g->setFocus();
    g->setCurrentIndex(g->model()->index(row, column));
    for (QChar ch : text) QTest::keyClicks(key_target(g), QString(ch));
    if (enter) QTest::keyClick(key_target(g), Qt::Key_Return);
}

QString pdf_text(const QString &path)
{
    QProcess pdftotext;
    pdftotext.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), path, QStringLiteral("-")});
    if (!pdftotext.waitForFinished(60000) || pdftotext.exitCode() != 0) return QStringLiteral("<pdftotext failed>");
    return QString::fromUtf8(pdftotext.readAllStandardOutput());
}

class BoardFormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_module_state();
        // The board's template, found in the current folder as the host finds it.
        ASSERT_TRUE(folder.isValid());
        previous = QDir::currentPath();
        ASSERT_TRUE(QFile::copy(QStringLiteral(BOARD_REPORT_TEMPLATE), folder.filePath("bmjhfp.frf")));
        QDir::setCurrent(folder.path());
    }
    void TearDown() override { QDir::setCurrent(previous); }

    // Runs the main form; `before` runs on it, then 分配 opens the board and
    // `steps` drive it (a board they leave open is closed by the hooks);
    // `after` looks at the main form once the board is gone.
    void board(const std::function<void(TFm_board *)> &steps, const char *mode = "",
               const std::function<void(TFm_saleplan *)> &before = {},
               const std::function<void(TFm_saleplan *)> &after = {})
    {
        bool ran = false;
        run_main_form(hooks, [&](TFm_saleplan *f) {
            if (before) before(f);
            hooks.on_modal([&](QDialog *d) {
                auto *b = qobject_cast<TFm_board *>(d);
                ASSERT_NE(b, nullptr);
                ran = true;
                // Shortcuts reach the active window only.
                EXPECT_TRUE(QTest::qWaitFor([b] { return b->isActiveWindow(); }));
                steps(b);
            });
            f->tbboard->click();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            EXPECT_TRUE(saleplan::Fm_board.isNull()) << "the board frees itself when it closes";
            if (after) after(f);
            f->tbexit->click();
        }, mode);
        EXPECT_TRUE(ran);
    }

    std::string stored(const std::string &salesman, int xhao)
    {
        return server.scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE NYUE00='" + this_month() +
                             "' AND CKDM00='01' AND RYDM00='" + salesman + "' AND XHAO00=" + std::to_string(xhao));
    }

    // What is left of an indicator of department 01, as the database computes it.
    std::string database_remainder(int xhao)
    {
        const std::string m = this_month();
        return server.scalar("SELECT (SELECT SUM(ZBSL00) FROM XSTYZB01 WHERE NYUE00='" + m +
                             "' AND CKDM00='01' AND XHAO00=" + std::to_string(xhao) +
                             ") - (SELECT COALESCE(SUM(COALESCE(ZBSL00,0)),0) FROM XSTYZB02 WHERE NYUE00='" + m +
                             "' AND CKDM00='01' AND XHAO00=" + std::to_string(xhao) + ")");
    }

    SeededServer server;
    ui::testing::Hooks hooks;
    QTemporaryDir folder;
    QString previous;
};

// ---- opening and what it shows ------------------------------------------------------

TEST_F(BoardFormTest, OpensFromTheMainFormWithTheDepartmentsMonthAndTheDatabasesRemainders)
{
    server.reset_calls();
    board([&](TFm_board *b) {
        EXPECT_EQ(saleplan::Fm_board.data(), b);
        EXPECT_EQ(b->windowTitle(), "部门计划分配");
        const std::string m = this_month();
        EXPECT_EQ(b->pn_gl->text(),
                  QString::fromStdString(m.substr(0, 4) + "年" + m.substr(4, 2) + "月东区计划分配　状态：草稿"));
        EXPECT_EQ(b->cb_fxb->text(), "01|东区");
        EXPECT_EQ(month_key(b->DateTimePicker1->date()), m);
        // One call for the whole board.
        EXPECT_EQ(server.calls("records:dsp_board"), 1);

        QStringList visible;
        for (TFlatSpeedButton *button : b->toolbar_buttons()) {
            if (button->isHidden()) continue;
            visible << button->text();
            // Each caption is read whole and each button draws one picture of its strip.
            EXPECT_GE(button->width(), button->fontMetrics().horizontalAdvance(button->text())) << button->text().toStdString();
            EXPECT_LE(button->displayed_glyph().width(), button->displayed_glyph().height()) << button->text().toStdString();
        }
        EXPECT_EQ(visible, (QStringList{"打印", "导出", "导入", "生成", "保存", "分配剩余", "沿用上月", "提交", "批准", "退回", "申请修订", "退出"}));

        BoardGrid *g = b->grid;
        QStringList headers;
        for (int c = 0; c < g->model()->columnCount(); ++c) headers << g->model()->headerData(c, Qt::Horizontal).toString();
        EXPECT_EQ(headers, (QStringList{"序号", "指标名称", "上级计划", "甲", "乙", "已分配", "剩余"}));
        EXPECT_EQ(g->model()->headerData(3, Qt::Horizontal, Qt::ToolTipRole).toString(), "甲（代码 0007）");
        EXPECT_EQ(g->model()->headerData(4, Qt::Horizontal, Qt::AccessibleTextRole).toString(), "乙");

        ASSERT_EQ(g->model()->rowCount(), 3);
        const int remaining = column_headed(g, "剩余");
        for (int row = 0; row < 3; ++row) {
            SCOPED_TRACE(row);
            EXPECT_EQ(text_at(g, row, remaining).toStdString(), database_remainder(row + 1));
        }
        EXPECT_EQ(text_at(g, 0, column_headed(g, "上级计划")), "100");
        EXPECT_EQ(text_at(g, 0, column_headed(g, "甲")), "10");
        EXPECT_EQ(text_at(g, 2, column_headed(g, "乙")), "");  // his plan lacks indicator 3
        EXPECT_EQ(text_at(g, 1, column_headed(g, "已分配")), "25");
        EXPECT_EQ(g->footer_text(1), "合计");
        EXPECT_EQ(g->footer_text(column_headed(g, "上级计划")), "190");
        EXPECT_EQ(g->footer_text(column_headed(g, "甲")), "15");
        EXPECT_EQ(g->footer_text(remaining), "125");
        EXPECT_EQ(b->lb_status->text(), "尚有 3 项指标未分配完，共剩余 125 条");
        // Quantity left is told by colour and by text.
        EXPECT_EQ(g->model()->index(0, remaining).data(Qt::BackgroundRole).value<QColor>(), board_colours::kLeft);
        EXPECT_EQ(g->model()->index(0, remaining).data(Qt::ToolTipRole).toString(), "尚未分配完：剩余 60 条");

        // Assistive technology reads the salesmen's headers: name and code.
        QAccessibleInterface *table = QAccessible::queryAccessibleInterface(g);
        ASSERT_NE(table, nullptr);
        QStringList header_names, header_notes;
        for (int i = 0; i < table->childCount(); ++i) {
            QAccessibleInterface *child = table->child(i);
            if (!child || child->role() != QAccessible::ColumnHeader) continue;
            header_names << child->text(QAccessible::Name);
            header_notes << child->text(QAccessible::Description);
        }
        EXPECT_EQ(header_names, headers);
        EXPECT_TRUE(header_notes.contains("乙（代码 0008）")) << header_notes.join("|").toStdString();
        for (QWidget *w : std::initializer_list<QWidget *>{g, b->lb_status, b->cb_fxb, b->DateTimePicker1})
            EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
        EXPECT_TRUE(QTest::qWaitFor([&] { return g->hasFocus(); }));
        b->tbexit->click();
    });
    EXPECT_TRUE(hooks.boxes().empty());
}

// ---- typing, Enter, save ------------------------------------------------------------

TEST_F(BoardFormTest, FiguresFollowTheTypingAndEnterRefusesWhatWouldGoPastThePlan)
{
    board([&](TFm_board *b) {
        BoardGrid *g = b->grid;
        const int jia = column_headed(g, "甲"), allocated = column_headed(g, "已分配"),
                  remaining = column_headed(g, "剩余");
        type_into(g, 0, jia, "71", false);  // 100 - 30 leaves 70 for 甲
        EXPECT_EQ(text_at(g, 0, allocated), "101");
        EXPECT_EQ(text_at(g, 0, remaining), "-1");
        QTest::keyClick(key_target(g), Qt::Key_Return);
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, "计划数量不能超过剩余计划数量");
        EXPECT_EQ(hooks.boxes()[0].caption, "警告");
        EXPECT_EQ(hooks.boxes()[0].flags, 48);
        ASSERT_TRUE(g->is_editing()) << "the typed text stays for correcting";
        EXPECT_EQ(g->currentIndex().row(), 0);

        auto *editor = qobject_cast<QLineEdit *>(key_target(g));
        ASSERT_NE(editor, nullptr);
        editor->selectAll();
        QTest::keyClicks(editor, "70");
        QTest::keyClick(editor, Qt::Key_Return);
        EXPECT_FALSE(g->is_editing());
        EXPECT_EQ(g->currentIndex().row(), 1) << "Enter moves down a row";
        EXPECT_EQ(text_at(g, 0, remaining), "0");
        EXPECT_EQ(g->model()->index(0, jia).data(Qt::ForegroundRole).value<QColor>(), board_colours::kChangedText);

        // Bad input: a clear message each, nothing taken.
        const struct {
            const char *typed;
            const char *message;
        } bad[] = {{"abc", "“abc”不是有效的数值，请输入计划数量"},
                   {"-5", "计划数量不能为负数"},
                   {"2000000000", "计划数量不能超过 1000000000 条"}};
        for (const auto &t : bad) {
            SCOPED_TRACE(t.typed);
            hooks.clear_messages();
            type_into(g, 1, jia, t.typed);
            ASSERT_EQ(hooks.boxes().size(), 1u);
            EXPECT_EQ(hooks.boxes()[0].text, t.message);
            g->drop_editor();
            EXPECT_EQ(text_at(g, 1, jia), "5");
        }
        hooks.answer(ui::result_no);
        b->tbexit->click();
    });
    EXPECT_EQ(server.calls("apply:dsp_xstyzb02cys"), 0) << "nothing was sent";
    EXPECT_EQ(stored("0007", 1), "10");
}

TEST_F(BoardFormTest, SaveSendsEveryChangedCellInOneApplyWithItsAuditRecords)
{
    board(
        [&](TFm_board *b) {
            BoardGrid *g = b->grid;
            type_into(g, 0, column_headed(g, "甲"), "0");   // 甲 gives up 10 ...
            type_into(g, 0, column_headed(g, "乙"), "100"); // ... so 乙 can take the whole 100
            type_into(g, 1, column_headed(g, "乙"), "45");
            type_into(g, 2, column_headed(g, "甲"), "40");
            server.reset_calls();
            QTest::keyClick(g, Qt::Key_S, Qt::ControlModifier);  // 保存
            // A shortcut presses its button visibly, a moment later.
            QTest::qWaitFor([&] { return !b->model().modified(); }, 2000);
            EXPECT_TRUE(hooks.boxes().empty());
            EXPECT_EQ(server.calls("apply:dsp_xstyzb02cys"), 1);
            EXPECT_FALSE(b->model().modified());
            EXPECT_EQ(b->lb_status->text(), "已全部分配");
            EXPECT_EQ(b->lb_status->toolTip(), "已全部分配");
            b->tbexit->click();  // nothing unsaved: no question
        },
        "", {},
        [&](TFm_saleplan *) {
            // The main form shows the saved figures of its salesman.
            EXPECT_EQ(rows_in_view("ZBSL00"), (std::vector<std::string>{"0", "5", "40"}));
        });
    EXPECT_TRUE(hooks.boxes().empty());
    EXPECT_EQ(stored("0007", 1), "0");
    EXPECT_EQ(stored("0008", 1), "100");
    EXPECT_EQ(stored("0008", 2), "45");
    EXPECT_EQ(stored("0007", 3), "40");
    const auto audit = server.query("SELECT RYDM00,XHAO00,SLQIAN,SLHOU0 FROM XSTYZBRZ WHERE CZLX00='quantity changed' "
                                    "ORDER BY JLHAO0");
    EXPECT_EQ(audit, (std::vector<std::vector<std::string>>{
                         {"0007", "1", "10", "0"}, {"0008", "1", "30", "100"}, {"0008", "2", "20", "45"},
                         {"0007", "3", "0", "40"}}));
}

TEST_F(BoardFormTest, ASaveAnotherPlannerMadeStaleNamesEachRefusedCellReloadsAndKeepsTheTyping)
{
    board([&](TFm_board *b) {
        BoardGrid *g = b->grid;
        const int jia = column_headed(g, "甲"), yi = column_headed(g, "乙");
        type_into(g, 0, jia, "60");  // 70 left when read
        type_into(g, 1, jia, "25");  // 30 left when read
        // Meanwhile another planner gives 乙 80 of indicator 1 and 45 of 2.
        server.exec("UPDATE XSTYZB02 SET ZBSL00=80 WHERE RYDM00='0008' AND XHAO00=1");
        server.exec("UPDATE XSTYZB02 SET ZBSL00=45 WHERE RYDM00='0008' AND XHAO00=2");
        b->tbok->click();
        ASSERT_EQ(hooks.boxes().size(), 1u);
        const QString text = hooks.boxes()[0].text;
        EXPECT_TRUE(text.startsWith("保存失败")) << text.toStdString();
        EXPECT_NE(text.indexOf("序号为'1'的指标“卷烟销量”，甲"), -1) << text.toStdString();
        EXPECT_NE(text.indexOf("序号为'2'的指标“新品铺货”，甲：计划数量不能超过剩余计划数量（可分配 5 条）"), -1)
            << text.toStdString();
        EXPECT_EQ(hooks.boxes()[0].caption, "警告");
        // The other planner's figures, what this planner typed still there.
        EXPECT_EQ(text_at(g, 0, yi), "80");
        EXPECT_EQ(text_at(g, 0, jia), "60");
        EXPECT_EQ(text_at(g, 1, jia), "25");
        EXPECT_EQ(b->model().changed_count(), 2);
        EXPECT_NE(b->lb_status->text().indexOf("2 项指标超额分配"), -1) << b->lb_status->text().toStdString();
        EXPECT_EQ(g->model()->index(0, jia).data(Qt::BackgroundRole).value<QColor>(), board_colours::kOver);
        hooks.answer(ui::result_no);
        b->tbexit->click();
    });
    EXPECT_EQ(stored("0007", 1), "10") << "all or nothing";
    EXPECT_EQ(stored("0007", 2), "5");
    EXPECT_EQ(server.scalar("SELECT COUNT(*) FROM XSTYZBRZ WHERE CZLX00='quantity changed'"), "0");
}

TEST_F(BoardFormTest, ExitWithUnsavedChangesAsksYesSavesNoDropsCancelStays)
{
    const struct {
        int answer;
        bool closes;
        std::string stored;
    } table[] = {{ui::result_yes, true, "20"}, {ui::result_no, true, "10"}, {ui::result_cancel, false, "10"}};
    for (const auto &t : table) {
        SCOPED_TRACE(t.answer);
        hooks.clear_messages();
        server.exec("UPDATE XSTYZB02 SET ZBSL00=10 WHERE RYDM00='0007' AND XHAO00=1");
        board([&](TFm_board *b) {
            type_into(b->grid, 0, column_headed(b->grid, "甲"), "20");
            hooks.answer(t.answer);
            QTest::keyClick(b->grid, Qt::Key_Escape);  // Escape is 退出
            ASSERT_EQ(hooks.boxes().size(), 1u);
            EXPECT_EQ(hooks.boxes()[0].text, kAskSave);
            EXPECT_EQ(hooks.boxes()[0].caption, "警告");
            EXPECT_EQ(hooks.boxes()[0].flags, 547);
            EXPECT_EQ(b->isVisible(), !t.closes);
            if (!t.closes) {
                hooks.answer(ui::result_no);
                b->tbexit->click();
            }
        });
        EXPECT_EQ(stored("0007", 1), t.stored);
    }
}

// ---- generation ---------------------------------------------------------------------

TEST_F(BoardFormTest, GenerateMakesThePlansOfTheChosenMissingSalesmenWithTheirAuditRecords)
{
    server.exec("INSERT INTO GSTRYGL0(RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0011','戊','Y','01')");
    server.exec("INSERT INTO GSTRYGL0(RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0012','己','Y','01')");
    board([&](TFm_board *b) {
        BoardGrid *g = b->grid;
        const int wu = column_headed(g, "戊");
        ASSERT_GE(wu, 0);
        EXPECT_EQ(text_at(g, 0, wu), "未生成");
        EXPECT_FALSE(g->model()->index(0, wu).flags() & Qt::ItemIsEditable);
        EXPECT_EQ(g->model()->index(0, wu).data(Qt::BackgroundRole).value<QColor>(), board_colours::kNoPlan);
        EXPECT_NE(b->lb_status->text().indexOf("2 名访销员未生成本月计划"), -1);
        type_into(g, 0, column_headed(g, "甲"), "20");  // kept through the generation

        g->setCurrentIndex(g->model()->index(0, wu));
        QStringList offered, checked;
        hooks.on_modal([&](QDialog *d) {
            auto *list = d->findChild<QListWidget *>(QStringLiteral("lst_salesmen"));
            ASSERT_NE(list, nullptr);
            for (int r = 0; r < list->count(); ++r) {
                offered << list->item(r)->text();
                if (list->item(r)->checkState() == Qt::Checked) checked << list->item(r)->text();
            }
            list->item(1)->setCheckState(Qt::Checked);  // 己 too
            d->findChild<QPushButton *>(QStringLiteral("bt_ok"))->click();
        });
        b->command_button("tbnew")->click();
        EXPECT_EQ(offered, (QStringList{"0011|戊", "0012|己"}));
        EXPECT_EQ(checked, QStringList{"0011|戊"}) << "the salesman under the cursor";
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, "已为 戊、己 生成本月计划");
        EXPECT_EQ(text_at(g, 0, wu), "0");
        EXPECT_TRUE(g->model()->index(0, wu).flags() & Qt::ItemIsEditable);
        EXPECT_EQ(text_at(g, 0, column_headed(g, "甲")), "20");
        EXPECT_EQ(b->lb_status->text().indexOf("未生成"), -1);
        hooks.answer(ui::result_no);
        b->tbexit->click();
    });
    for (const char *code : {"0011", "0012"}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(server.scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE NYUE00='" + this_month() +
                                "' AND CKDM00='01' AND RYDM00='" + code + "' AND ZBSL00=0"),
                  "3");
        EXPECT_EQ(server.scalar("SELECT COUNT(*) FROM XSTYZBRZ WHERE CZLX00='generated' AND RYDM00='" +
                                std::string(code) + "'"),
                  "3");
    }
}

// ---- read-only ------------------------------------------------------------------------

TEST_F(BoardFormTest, InBrowseModeTheBoardOpensReadOnlyAndPrints)
{
    board(
        [&](TFm_board *b) {
            EXPECT_FALSE(b->tbok->isEnabled());
            EXPECT_FALSE(b->command_button("tbnew")->isEnabled());
            EXPECT_TRUE(b->command_button("tbprint")->isEnabled());
            BoardGrid *g = b->grid;
            EXPECT_FALSE(g->model()->index(0, column_headed(g, "甲")).flags() & Qt::ItemIsEditable);
            type_into(g, 0, column_headed(g, "甲"), "5");
            EXPECT_FALSE(b->model().modified());
            EXPECT_NE(b->lb_status->text().indexOf("只读：浏览模式，只能查看"), -1);
            b->tbexit->click();
        },
        "B",
        [&](TFm_saleplan *f) {
            EXPECT_TRUE(f->tbboard->isEnabled());
            EXPECT_FALSE(f->tbedit->isEnabled());
        });
    EXPECT_EQ(server.calls("apply:dsp_xstyzb02cys"), 0);
}

// ---- department and month on the board ------------------------------------------------

TEST_F(BoardFormTest, ADepartmentWithoutPlanOrSalesmenSaysSoAndLeavingChangesAsksFirst)
{
    board([&](TFm_board *b) {
        type_into(b->grid, 0, column_headed(b->grid, "甲"), "20");
        // Cancel: the board stays on its department, the list too.
        hooks.answer(ui::result_cancel);
        step(b->cb_fxb, Qt::Key_Down);
        EXPECT_EQ(b->department(), "01");
        EXPECT_EQ(b->cb_fxb->text(), "01|东区");
        EXPECT_TRUE(b->model().modified());

        // No: the changes go and 西区 shows, its salesman without a plan.
        hooks.answer(ui::result_no);
        step(b->cb_fxb, Qt::Key_Down);
        EXPECT_EQ(b->department(), "02");
        EXPECT_EQ(text_at(b->grid, 0, column_headed(b->grid, "丁")), "未生成");

        // 南区 has no plan and no salesmen: the board says so.
        step(b->cb_fxb, Qt::Key_Down);
        EXPECT_EQ(b->department(), "03");
        EXPECT_NE(b->pn_gl->text().indexOf("南区计划分配"), -1);
        EXPECT_EQ(b->lb_status->text(), "该部门本月没有上级计划，没有可分配的指标");
        EXPECT_EQ(b->grid->model()->rowCount(), 0);
        EXPECT_FALSE(b->tbok->isEnabled());
        EXPECT_FALSE(b->command_button("tbnew")->isEnabled());
        step(b->cb_fxb, Qt::Key_Up);
        step(b->cb_fxb, Qt::Key_Up);
        EXPECT_EQ(b->department(), "01");

        // Last month of 东区: 甲's plan only.
        b->DateTimePicker1->setDate(QDate::currentDate().addMonths(-1));
        emit b->DateTimePicker1->closeUp();
        EXPECT_EQ(b->month(), last_month());
        EXPECT_EQ(text_at(b->grid, 0, column_headed(b->grid, "甲")), "9");
        EXPECT_EQ(text_at(b->grid, 0, column_headed(b->grid, "乙")), "未生成");
        b->tbexit->click();
    });
    EXPECT_EQ(stored("0007", 1), "10");
    EXPECT_EQ(hooks.boxes().size(), 2u);  // the two questions, nothing else
}

// ---- keyboard -------------------------------------------------------------------------

TEST_F(BoardFormTest, ArrowsMoveTabLeavesTheGridAndEscapeExits)
{
    board([&](TFm_board *b) {
        BoardGrid *g = b->grid;
        const int jia = column_headed(g, "甲");
        g->setFocus();
        g->setCurrentIndex(g->model()->index(0, jia));
        QTest::keyClick(g, Qt::Key_Right);
        EXPECT_EQ(g->currentIndex().column(), jia + 1);
        QTest::keyClick(g, Qt::Key_Down);
        EXPECT_EQ(g->currentIndex().row(), 1);
        QTest::keyClick(g, Qt::Key_Left);
        // Typing then an arrow down posts the value like Enter.
        QTest::keyClicks(g, "7");
        QTest::keyClick(key_target(g), Qt::Key_Down);
        EXPECT_FALSE(g->is_editing());
        EXPECT_EQ(g->currentIndex().row(), 2);
        EXPECT_EQ(text_at(g, 1, jia), "7");
        QTest::keyClick(g, Qt::Key_Tab);
        EXPECT_FALSE(g->hasFocus()) << "Tab leaves the grid";
        g->setFocus();
        hooks.answer(ui::result_no);
        QTest::keyClick(g, Qt::Key_Escape);
        EXPECT_FALSE(b->isVisible());
    });
    EXPECT_EQ(stored("0007", 2), "5");
}

// ---- printing --------------------------------------------------------------------------

TEST_F(BoardFormTest, ThePrintoutIsA4LandscapeWithTheStateAndTotalsAndPagesAcrossManySalesmen)
{
    // Ten salesmen: two sheets of columns, the indicator columns on both.
    for (int k = 11; k <= 18; ++k)
        server.exec("INSERT INTO GSTRYGL0(RYDM00,RYMC00,FXY000,CKDM00) VALUES ('00" + std::to_string(k) + "','员" +
                    std::to_string(k) + "','Y','01')");
    QTemporaryDir out;
    ASSERT_TRUE(out.isValid());
    const QString pdf = out.filePath("board.pdf");
    board([&](TFm_board *b) {
        prepare_board_report(*b);
        EXPECT_EQ(b->frReport1->template_file(), QDir::current().absoluteFilePath("bmjhfp.frf"));
        EXPECT_EQ(b->frReport1->page_format().orientation, QPageLayout::Landscape);
        EXPECT_EQ(b->frReport1->page_format().paper, QPageSize::A4);
        b->frReport1->export_pdf(pdf);
        // 打印 opens the module's preview on the same pages.
        QString preview_class;
        hooks.on_modal([&](QDialog *d) {
            preview_class = QString::fromLatin1(d->metaObject()->className());
            d->reject();
        });
        b->command_button("tbprint")->click();
        EXPECT_EQ(preview_class, "report::ReportPreview");
        // Without a file of it anywhere, the copy built into the module.
        ASSERT_TRUE(QFile::remove("bmjhfp.frf"));
        prepare_board_report(*b);
        if (!QFile::exists("/usr/share/saleplan/bmjhfp.frf"))
            EXPECT_EQ(b->frReport1->template_file(), ":/reports/bmjhfp.frf");
        b->tbexit->click();
    });
    const QString text = pdf_text(pdf);
    const QString flat = QString(text).remove(QRegularExpression(QStringLiteral("\\s")));
    const std::string m = this_month();
    EXPECT_NE(flat.indexOf(QString::fromStdString(m.substr(0, 4) + "年" + m.substr(4, 2) + "月东区计划分配")), -1)
        << text.toStdString();
    EXPECT_NE(flat.indexOf(QString::fromStdString("计划月份：" + m)), -1);
    EXPECT_NE(flat.indexOf("尚有3项指标未分配完，共剩余125条；8名访销员未生成本月计划"), -1) << text.toStdString();
    EXPECT_NE(flat.indexOf("第1张共2张"), -1);
    EXPECT_NE(flat.indexOf("第2张共2张"), -1);
    EXPECT_EQ(flat.count("指标名称"), 2) << "the indicator columns on each sheet";
    EXPECT_NE(flat.indexOf("员18"), -1);
    EXPECT_NE(flat.indexOf("合计"), -1);
    EXPECT_NE(flat.indexOf("190"), -1);  // the department's total
}

}  // namespace
