// The board's helpers against a seeded in-process server, driven from the
// board as a planner would: 分配剩余 in each mode and 沿用上月, each shown as
// a preview first (the cells marked, the figures and the state line
// counting them), 取消 that sends nothing, 确定 that applies it whole with
// the operation's audit records, and an apply refused after another
// planner's save with the preview computed again.
#include <QApplication>
#include <QButtonGroup>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include "Unit_board.h"
#include "Unit_saleplan.h"
#include "board_grid.h"
#include "board_preview.h"
#include "form_fixture.h"
#include "module_state.h"
#include "ui.h"

using namespace formtest;

namespace {

QString text_at(BoardGrid *g, int row, int column) { return g->model()->index(row, column).data().toString(); }

int column_headed(BoardGrid *g, const QString &caption)
{
    for (int c = 0; c < g->model()->columnCount(); ++c)
        if (g->model()->headerData(c, Qt::Horizontal).toString() == caption) return c;
    return -1;
}

// The salesmen's cells of a column, top to bottom.
QStringList column_text(BoardGrid *g, const QString &caption)
{
    QStringList out;
    for (int r = 0; r < g->model()->rowCount(); ++r) out << text_at(g, r, column_headed(g, caption));
    return out;
}

class BoardHelperTest : public ::testing::Test {
protected:
    void SetUp() override { reset_module_state(); }

    void board(const std::function<void(TFm_board *)> &steps, const char *mode = "")
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
        }, mode);
        EXPECT_TRUE(ran);
    }

    // 分配剩余 with a mode; `weights` typed into the dialog's table first.
    void split(TFm_board *b, const char *mode, const QStringList &weights = {})
    {
        hooks.on_modal([&](QDialog *d) {
            d->findChild<QRadioButton *>(QString::fromLatin1(mode))->setChecked(true);
            auto *table = d->findChild<QTableWidget *>(QStringLiteral("tbl_salesmen"));
            ASSERT_NE(table, nullptr);
            for (int r = 0; r < weights.size() && r < table->rowCount(); ++r) table->item(r, 1)->setText(weights[r]);
            d->findChild<QPushButton *>(QStringLiteral("bt_ok"))->click();
            // A refused choice keeps the dialog open: leave it.
            if (d->isVisible()) d->findChild<QPushButton *>(QStringLiteral("bt_cancel"))->click();
        });
        b->command_button("tballocate")->click();
    }

    std::vector<std::vector<std::string>> audit(const char *kind)
    {
        return server.query(std::string("SELECT RYDM00,XHAO00,SLQIAN,SLHOU0 FROM XSTYZBRZ WHERE CZLX00='") + kind +
                            "' ORDER BY RYDM00,XHAO00");
    }
    std::string stored(const std::string &salesman, int xhao, const std::string &month = this_month())
    {
        return server.scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE NYUE00='" + month + "' AND CKDM00='01' AND RYDM00='" +
                             salesman + "' AND XHAO00=" + std::to_string(xhao));
    }

    SeededServer server;
    ui::testing::Hooks hooks;
};

TEST_F(BoardHelperTest, AnEvenSplitIsPreviewedCancelledThenAppliedWithItsAudit)
{
    board([&](TFm_board *b) {
        BoardGrid *g = b->grid;
        // Left: 60 of 卷烟销量, 25 of 新品铺货, 40 of 终端陈列 (乙's plan lacks it).
        server.reset_calls();
        split(b, "rb_even");
        BoardPreview *preview = BoardPreview::of(*b);
        ASSERT_NE(preview, nullptr);
        EXPECT_TRUE(preview->isVisible());
        EXPECT_EQ(column_text(g, "甲"), (QStringList{"40", "18", "40"}));
        EXPECT_EQ(column_text(g, "乙"), (QStringList{"60", "32", ""}));
        EXPECT_EQ(g->model()->index(0, column_headed(g, "甲")).data(Qt::BackgroundRole).value<QColor>(),
                  board_colours::kProposed);
        EXPECT_EQ(column_text(g, "剩余"), (QStringList{"0", "0", "0"}));
        EXPECT_TRUE(b->lb_status->text().startsWith("已全部分配")) << b->lb_status->text().toStdString();
        EXPECT_NE(preview->lb_preview->text().indexOf("5 个单元格共分配 125 条"), -1)
            << preview->lb_preview->text().toStdString();
        EXPECT_FALSE(g->model()->index(0, column_headed(g, "甲")).flags() & Qt::ItemIsEditable) << "no typing meanwhile";
        EXPECT_FALSE(b->command_button("tbrollforward")->isEnabled());
        EXPECT_EQ(server.calls("method:AllocateRemaining"), 0) << "a preview sends nothing";

        preview->bt_cancel->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(BoardPreview::of(*b), nullptr);
        EXPECT_EQ(column_text(g, "甲"), (QStringList{"10", "5", "0"}));
        EXPECT_EQ(column_text(g, "剩余"), (QStringList{"60", "25", "40"}));
        EXPECT_TRUE(b->command_button("tbrollforward")->isEnabled());
        EXPECT_EQ(server.calls("method:AllocateRemaining"), 0);
        EXPECT_EQ(stored("0007", 1), "10");

        split(b, "rb_even");
        hooks.clear_messages();
        BoardPreview::of(*b)->bt_ok->click();
        EXPECT_EQ(server.calls("method:AllocateRemaining"), 1);
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, "已平均分配：5 个单元格");
        EXPECT_EQ(column_text(g, "甲"), (QStringList{"40", "18", "40"}));
        EXPECT_EQ(b->lb_status->text(), "已全部分配");
        b->tbexit->click();
    });
    EXPECT_EQ(audit("平均分配"), (std::vector<std::vector<std::string>>{{"0007", "1", "10", "40"},
                                                                    {"0007", "2", "5", "18"},
                                                                    {"0007", "3", "0", "40"},
                                                                    {"0008", "1", "30", "60"},
                                                                    {"0008", "2", "20", "32"}}));
}

TEST_F(BoardHelperTest, AnApplyAfterAnotherPlannersSaveIsRefusedAndThePreviewComputedAgain)
{
    board([&](TFm_board *b) {
        BoardGrid *g = b->grid;
        split(b, "rb_even");
        ASSERT_NE(BoardPreview::of(*b), nullptr);
        // Meanwhile another planner gives 乙 50 of 卷烟销量: 40 left, not 60.
        server.exec("UPDATE XSTYZB02 SET ZBSL00=50 WHERE RYDM00='0008' AND XHAO00=1");
        hooks.clear_messages();
        BoardPreview::of(*b)->bt_ok->click();
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_TRUE(hooks.boxes()[0].text.startsWith("没有应用：部门计划在预览之后已有改动")) << hooks.boxes()[0].text.toStdString();
        EXPECT_EQ(hooks.boxes()[0].caption, "警告");
        BoardPreview *again = BoardPreview::of(*b);
        ASSERT_NE(again, nullptr) << "the preview computed again";
        EXPECT_EQ(text_at(g, 0, column_headed(g, "甲")), "30");
        EXPECT_EQ(text_at(g, 0, column_headed(g, "乙")), "70");
        again->bt_cancel->click();
        EXPECT_EQ(text_at(g, 0, column_headed(g, "乙")), "50");
        b->tbexit->click();
    });
    EXPECT_EQ(stored("0007", 1), "10") << "nothing of the refused apply";
    EXPECT_EQ(server.scalar("SELECT COUNT(*) FROM XSTYZBRZ"), "0");
}

TEST_F(BoardHelperTest, WeightsAreCheckedKeptForTheDepartmentAndSplitBy)
{
    board([&](TFm_board *b) {
        split(b, "rb_weights", {"abc", "1"});
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, "访销员 0007 的权重“abc”不是数字");
        split(b, "rb_weights", {"0", "0"});
        ASSERT_EQ(hooks.boxes().size(), 2u);
        EXPECT_EQ(hooks.boxes()[1].text, "所选访销员的权重全为 0，无法按权重分配");
        EXPECT_EQ(BoardPreview::of(*b), nullptr);
        EXPECT_EQ(server.scalar("SELECT COUNT(*) FROM XSTYQZ00"), "0") << "refused before anything";

        split(b, "rb_weights", {"3", "1"});
        ASSERT_NE(BoardPreview::of(*b), nullptr);
        BoardPreview::of(*b)->bt_ok->click();
        // 60 by 3:1 -> 45, 15; 25 -> 18.75, 6.25 -> 19, 6; 终端陈列 all to 甲.
        EXPECT_EQ(column_text(b->grid, "甲"), (QStringList{"55", "24", "40"}));
        EXPECT_EQ(column_text(b->grid, "乙"), (QStringList{"45", "26", ""}));
        b->tbexit->click();
    });
    EXPECT_EQ(server.query("SELECT CKDM00,RYDM00,QZ0000 FROM XSTYQZ00 ORDER BY RYDM00"),
              (std::vector<std::vector<std::string>>{{"01", "0007", "3"}, {"01", "0008", "1"}}));
    EXPECT_EQ(server.scalar("SELECT COUNT(*) FROM XSTYZBRZ WHERE CZLX00='按权重'"), "5");
    // The next planner finds them in the dialog.
    board([&](TFm_board *b) {
        QStringList shown;
        hooks.on_modal([&](QDialog *d) {
            auto *table = d->findChild<QTableWidget *>(QStringLiteral("tbl_salesmen"));
            for (int r = 0; r < table->rowCount(); ++r) shown << table->item(r, 0)->text() + "=" + table->item(r, 1)->text();
            d->findChild<QPushButton *>(QStringLiteral("bt_cancel"))->click();
        });
        b->command_button("tballocate")->click();
        EXPECT_EQ(shown, (QStringList{"0007|甲=3", "0008|乙=1"}));
        b->tbexit->click();
    });
}

TEST_F(BoardHelperTest, RollForwardPreviewsTheNewPlansAndGeneratesThemWhole)
{
    const std::string m = this_month(), p = last_month();
    server.exec("DELETE FROM XSTYZB02 WHERE NYUE00='" + m + "'");
    // Last month 甲 held 9 of 卷烟销量 (90), 乙 had no plan.
    board([&](TFm_board *b) {
        BoardGrid *g = b->grid;
        EXPECT_EQ(column_text(g, "甲"), (QStringList{"未生成", "未生成", "未生成"}));
        b->command_button("tbrollforward")->click();
        BoardPreview *preview = BoardPreview::of(*b);
        ASSERT_NE(preview, nullptr);
        EXPECT_EQ(column_text(g, "甲"), (QStringList{"100", "0", "0"}));
        EXPECT_EQ(column_text(g, "乙"), (QStringList{"0", "0", "0"}));
        EXPECT_EQ(preview->lb_preview->text(),
                  "预览“沿用上月”：甲 按上月比例生成本月计划；新访销员 乙 生成数量为 0 的计划；"
                  "本月新增指标 新品铺货、终端陈列 为 0（蓝色为将生成的计划），确定后保存");
        server.reset_calls();
        preview->bt_ok->click();
        EXPECT_EQ(server.calls("method:RollForward"), 1);
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_TRUE(hooks.boxes()[0].text.startsWith("已沿用上月，生成 6 行计划")) << hooks.boxes()[0].text.toStdString();
        EXPECT_EQ(column_text(g, "甲"), (QStringList{"100", "0", "0"}));
        EXPECT_TRUE(g->model()->index(0, column_headed(g, "乙")).flags() & Qt::ItemIsEditable);

        // Nothing more to carry: said, nothing done.
        hooks.clear_messages();
        b->command_button("tbrollforward")->click();
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_NE(hooks.boxes()[0].text.indexOf("都已有计划"), -1) << hooks.boxes()[0].text.toStdString();
        EXPECT_EQ(BoardPreview::of(*b), nullptr);
        b->tbexit->click();
    });
    EXPECT_EQ(audit("沿用上月"), (std::vector<std::vector<std::string>>{{"0007", "1", "", "100"},
                                                                     {"0007", "2", "", "0"},
                                                                     {"0007", "3", "", "0"},
                                                                     {"0008", "1", "", "0"},
                                                                     {"0008", "2", "", "0"},
                                                                     {"0008", "3", "", "0"}}));
    EXPECT_EQ(stored("0007", 1), "100");
    EXPECT_EQ(stored("0007", 1, p), "9") << "last month stays";
}

TEST_F(BoardHelperTest, WithoutLastMonthsPlanRollForwardSaysSoAndTheHelpersWaitInBrowseMode)
{
    server.exec("DELETE FROM XSTYZB02 WHERE NYUE00='" + last_month() + "'");
    board([&](TFm_board *b) {
        b->command_button("tbrollforward")->click();
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_NE(hooks.boxes()[0].text.indexOf("没有访销员计划，不能沿用上月"), -1) << hooks.boxes()[0].text.toStdString();
        EXPECT_EQ(hooks.boxes()[0].caption, "提示");
        EXPECT_EQ(BoardPreview::of(*b), nullptr);
        b->tbexit->click();
    });
    EXPECT_EQ(server.scalar("SELECT COUNT(*) FROM XSTYZBRZ"), "0");
    board(
        [&](TFm_board *b) {
            for (const char *name : {"tballocate", "tbrollforward"}) {
                ASSERT_NE(b->command_button(name), nullptr);
                EXPECT_FALSE(b->command_button(name)->isEnabled()) << name;
                EXPECT_FALSE(b->command_button(name)->accessibleName().isEmpty()) << name;
            }
            b->tbexit->click();
        },
        "b");
}

}  // namespace
