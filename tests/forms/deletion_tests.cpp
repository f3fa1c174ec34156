// 删除 and 删行 of the main form, driven like a planner would, against a seeded
// in-process server: what the planner sees afterwards and what is left in
// the database.
#include <QApplication>
#include <QDate>
#include <QTest>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TDateTimePicker.h"
#include "TFlatComboBox.h"
#include "TFlatSpeedButton.h"
#include "TdxDBGrid.h"
#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "form_fixture.h"
#include "module_state.h"
#include "plan_vocabulary.h"
#include "ui.h"

using formtest::rows_in_view;
using Rows = std::vector<std::string>;

namespace {

const QString kDeletePlanQuestion = QStringLiteral("确实要删除该访销员的记录吗？");
const QString kDeleteRowQuestion = QStringLiteral("确实要删除该条记录吗？");

class DeletionTest : public ::testing::Test {
protected:
    void SetUp() override { formtest::reset_module_state(); }

    // Rows of XSTYZB02 for a month, department and salesman.
    std::string plan_rows(const std::string &month, const std::string &dept, const std::string &salesman)
    {
        return server.scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE NYUE00='" + month + "' AND CKDM00='" + dept +
                             "' AND RYDM00='" + salesman + "'");
    }
    std::string all_plan_rows() { return server.scalar("SELECT COUNT(*) FROM XSTYZB02"); }

    // Kinds of the remote calls since the last reset, in order.
    std::vector<std::string> call_kinds() const
    {
        std::vector<std::string> kinds;
        for (const auto &[kind, text] : server.log()) kinds.push_back(kind);
        return kinds;
    }

    static QString footer_sum(TFm_saleplan *f)
    {
        return f->dxDBGrid1->footer_text(f->dxDBGrid1->column_index(QStringLiteral("dxDBGrid1ZBSL00")));
    }

    // Selects a list item with the arrow keys, as the planner would.
    static void choose_next_item(TFlatComboBox *combo)
    {
        combo->setFocus();
        QTest::keyClick(combo, Qt::Key_Down);
    }

    // Clicks a row of the grid.
    static void click_row(TFm_saleplan *f, int row)
    {
        TdxDBGrid *grid = f->dxDBGrid1;
        const QRect cell = grid->visualRect(grid->model()->index(row, 0));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
    }

    formtest::SeededServer server;
    ui::testing::Hooks hooks;
    const std::string m = formtest::this_month();
    const std::string p = formtest::last_month();
};

// ---------------------------------------------------------------------------
// Confirmations

TEST_F(DeletionTest, CancelOnEitherConfirmationSendsNothingAndKeepsTheRows)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        ASSERT_EQ(f->cb_fxy->text(), QStringLiteral("0007|甲"));
        server.reset_calls();
        hooks.answer(ui::result_cancel);
        QTest::mouseClick(f->tbdel, Qt::LeftButton);
        hooks.answer(ui::result_cancel);
        QTest::mouseClick(f->tbok, Qt::LeftButton);
        // Closing the box (Escape) is no OK either.
        QTest::mouseClick(f->tbdel, Qt::LeftButton);
        QTest::mouseClick(f->tbok, Qt::LeftButton);

        EXPECT_EQ(server.total_calls(), 0);
        EXPECT_EQ(rows_in_view("XHAO00"), (Rows{"1", "2", "3"}));
        EXPECT_EQ(saleplan::dm_yearplan->cds_xstyzb02.change_count(), 0);
        f->tbexit->click();
    });

    const auto boxes = hooks.boxes();
    ASSERT_EQ(boxes.size(), 4u);
    for (int i : {0, 2}) {
        EXPECT_EQ(boxes[i].text, kDeletePlanQuestion);
        EXPECT_EQ(boxes[i].caption, QStringLiteral("警告"));
        EXPECT_EQ(boxes[i].flags, 33);
    }
    for (int i : {1, 3}) {
        EXPECT_EQ(boxes[i].text, kDeleteRowQuestion);
        EXPECT_EQ(boxes[i].caption, QStringLiteral("警告"));
        EXPECT_EQ(boxes[i].flags, 33);
    }
    EXPECT_EQ(boxes[2].answer, ui::result_cancel);
    EXPECT_TRUE(hooks.errors().empty());
    EXPECT_EQ(plan_rows(m, "01", "0007"), "3");
    EXPECT_EQ(all_plan_rows(), "6");
}

TEST_F(DeletionTest, BothCommandsAreDisabledInBrowseMode)
{
    formtest::run_main_form(
        hooks,
        [&](TFm_saleplan *f) {
            EXPECT_FALSE(f->tbdel->isEnabled());
            EXPECT_FALSE(f->tbok->isEnabled());
            server.reset_calls();
            QTest::mouseClick(f->tbdel, Qt::LeftButton);
            QTest::mouseClick(f->tbok, Qt::LeftButton);
            EXPECT_EQ(server.total_calls(), 0);
            EXPECT_EQ(rows_in_view("XHAO00").size(), 3u);
            f->tbexit->click();
        },
        "B");
    EXPECT_TRUE(hooks.messages().empty());
    EXPECT_EQ(all_plan_rows(), "6");
}

// ---------------------------------------------------------------------------
// 删除

TEST_F(DeletionTest, DeleteRemovesExactlyTheSalesmansPlanOfTheMonthInOneTransaction)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        ASSERT_EQ(footer_sum(f), QStringLiteral("15"));
        server.reset_calls();
        hooks.answer(ui::result_ok);
        QTest::mouseClick(f->tbdel, Qt::LeftButton);

        EXPECT_TRUE(rows_in_view("XHAO00").empty());
        EXPECT_EQ(f->dxDBGrid1->model()->rowCount(), 0);
        EXPECT_EQ(footer_sum(f), QStringLiteral("0"));
        // The view was fetched again and filtered with the same selection.
        EXPECT_EQ(saleplan::dm_yearplan->plan_filter_in_force, (PlanSelection{m, "01", "0007"}));
        f->tbexit->click();
    });

    EXPECT_EQ(call_kinds(), (Rows{"method:CompanydbTranStart", "execute:dsp_temp", "method:CompanydbTranCommit",
                                  "records:dsp_xstyzb02cys"}));
    EXPECT_EQ(server.log().at(1).second,
              "DELETE XSTYZB02 WHERE NYUE00='" + m + "' And Ckdm00='01' And Rydm00='0007'");
    EXPECT_EQ(plan_rows(m, "01", "0007"), "0");
    // Another salesman, and the same salesman's other month, are untouched.
    EXPECT_EQ(plan_rows(m, "01", "0008"), "2");
    EXPECT_EQ(plan_rows(p, "01", "0007"), "1");
    EXPECT_EQ(hooks.boxes().size(), 1u);
    EXPECT_TRUE(hooks.errors().empty());
}

TEST_F(DeletionTest, DeleteOfTheSecondSalesmanLeavesTheFirstOnesPlan)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        choose_next_item(f->cb_fxy);
        ASSERT_EQ(f->cb_fxy->text(), QStringLiteral("0008|乙"));
        ASSERT_EQ(rows_in_view("ZBSL00"), (Rows{"30", "20"}));
        hooks.answer(ui::result_ok);
        QTest::mouseClick(f->tbdel, Qt::LeftButton);
        EXPECT_TRUE(rows_in_view("XHAO00").empty());
        f->tbexit->click();
    });
    EXPECT_EQ(plan_rows(m, "01", "0008"), "0");
    EXPECT_EQ(plan_rows(m, "01", "0007"), "3");
    EXPECT_TRUE(hooks.errors().empty());
}

TEST_F(DeletionTest, DeleteForASalesmanWithoutRowsStillCommitsQuietly)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        choose_next_item(f->cb_fxb);
        ASSERT_EQ(f->cb_fxb->text(), QStringLiteral("02|西区"));
        ASSERT_EQ(f->cb_fxy->text(), QStringLiteral("0010|丁"));
        ASSERT_TRUE(rows_in_view("XHAO00").empty());
        server.reset_calls();
        hooks.answer(ui::result_ok);
        QTest::mouseClick(f->tbdel, Qt::LeftButton);
        EXPECT_TRUE(rows_in_view("XHAO00").empty());
        f->tbexit->click();
    });
    EXPECT_EQ(call_kinds(), (Rows{"method:CompanydbTranStart", "execute:dsp_temp", "method:CompanydbTranCommit",
                                  "records:dsp_xstyzb02cys"}));
    EXPECT_EQ(server.log().at(1).second,
              "DELETE XSTYZB02 WHERE NYUE00='" + m + "' And Ckdm00='02' And Rydm00='0010'");
    EXPECT_EQ(server.calls("method:CompanydbRollback"), 0);
    EXPECT_EQ(hooks.boxes().size(), 1u);
    EXPECT_TRUE(hooks.errors().empty());
    EXPECT_EQ(all_plan_rows(), "6");
}

// ---------------------------------------------------------------------------
// A deletion that fails is rolled back and reported.

TEST_F(DeletionTest, RefusedStatementRollsBackShowsTheErrorAndKeepsTheRows)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        server.reset_calls();
        server.fail_next("execute:dsp_temp");
        hooks.answer(ui::result_ok);
        QTest::mouseClick(f->tbdel, Qt::LeftButton);

        EXPECT_EQ(rows_in_view("XHAO00"), (Rows{"1", "2", "3"}));
        EXPECT_EQ(footer_sum(f), QStringLiteral("15"));
        EXPECT_TRUE(f->isVisible());
        f->tbexit->click();
    });
    EXPECT_EQ(call_kinds(), (Rows{"method:CompanydbTranStart", "execute:dsp_temp", "method:CompanydbRollback"}));
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_EQ(hooks.errors()[0].text, QStringLiteral("simulated failure of execute:dsp_temp"));
    EXPECT_EQ(hooks.errors()[0].caption, ui::error_caption());
    EXPECT_EQ(plan_rows(m, "01", "0007"), "3");
    EXPECT_EQ(all_plan_rows(), "6");
}

TEST_F(DeletionTest, RefusedTransactionStartRollsBackWithoutSendingTheStatement)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        server.reset_calls();
        server.fail_next("method:CompanydbTranStart");
        hooks.answer(ui::result_ok);
        QTest::mouseClick(f->tbdel, Qt::LeftButton);
        EXPECT_EQ(rows_in_view("XHAO00").size(), 3u);
        f->tbexit->click();
    });
    EXPECT_EQ(call_kinds(), (Rows{"method:CompanydbTranStart", "method:CompanydbRollback"}));
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_EQ(hooks.errors()[0].text, QStringLiteral("simulated failure of method:CompanydbTranStart"));
    EXPECT_EQ(plan_rows(m, "01", "0007"), "3");
}

TEST_F(DeletionTest, FailedReloadAfterTheCommitIsReportedAndTheDeletionStands)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        server.reset_calls();
        server.fail_next("records:dsp_xstyzb02cys");
        hooks.answer(ui::result_ok);
        QTest::mouseClick(f->tbdel, Qt::LeftButton);
        // Nothing of the deleted plan is left to look at.
        EXPECT_TRUE(rows_in_view("XHAO00").empty());
        f->tbexit->click();
    });
    EXPECT_EQ(call_kinds(), (Rows{"method:CompanydbTranStart", "execute:dsp_temp", "method:CompanydbTranCommit",
                                  "records:dsp_xstyzb02cys", "method:CompanydbRollback"}));
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_EQ(hooks.errors()[0].text, QStringLiteral("simulated failure of records:dsp_xstyzb02cys"));
    EXPECT_EQ(plan_rows(m, "01", "0007"), "0");
}

TEST_F(DeletionTest, FailingRollbackEndsTheCommandWithItsOwnError)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        server.reset_calls();
        server.fail_next("execute:dsp_temp");
        server.fail_next("method:CompanydbRollback");
        hooks.answer(ui::result_ok);
        QTest::mouseClick(f->tbdel, Qt::LeftButton);
        EXPECT_EQ(rows_in_view("XHAO00").size(), 3u);
        EXPECT_TRUE(f->isVisible());
        f->tbexit->click();
    });
    // One message: the roll-back's failure, which stands for the whole command.
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_EQ(hooks.errors()[0].text, QStringLiteral("simulated failure of method:CompanydbRollback"));
    EXPECT_EQ(server.calls("method:CompanydbTranCommit"), 0);
    EXPECT_EQ(plan_rows(m, "01", "0007"), "3");
}

// Mend: after a reload that failed the view shows nothing, and 删除 deletes
// nothing: neither the plan of the former selection nor the one chosen.
TEST_F(DeletionTest, DeleteAfterAFailedSalesmanReloadIsRefusedAndDeletesNothing)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        server.fail_next("records:dsp_xstyzb02cys");
        choose_next_item(f->cb_fxy);
        ASSERT_EQ(f->cb_fxy->text(), QStringLiteral("0008|乙"));
        ASSERT_EQ(hooks.errors().size(), 1u);
        EXPECT_EQ(f->dxDBGrid1->model()->rowCount(), 0);

        server.reset_calls();
        hooks.answer(ui::result_ok);
        QTest::mouseClick(f->tbdel, Qt::LeftButton);
        EXPECT_EQ(server.total_calls(), 0);
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, QStringLiteral("计划数据未能载入，请重新选择"));
        EXPECT_EQ(hooks.boxes()[0].flags, 48);

        // Choosing again loads the view.
        f->cb_fxy->setFocus();
        QTest::keyClick(f->cb_fxy, Qt::Key_Up);
        ASSERT_EQ(f->cb_fxy->text(), QStringLiteral("0007|甲"));
        EXPECT_EQ(rows_in_view("ZBSL00"), (Rows{"10", "5", "0"}));
        EXPECT_EQ(saleplan::dm_yearplan->plan_filter_in_force, (PlanSelection{m, "01", "0007"}));
        f->tbexit->click();
    });
    EXPECT_EQ(plan_rows(m, "01", "0007"), "3");
    EXPECT_EQ(plan_rows(m, "01", "0008"), "2");
    EXPECT_EQ(all_plan_rows(), "6");
}

// Mend: after a month change whose reload failed, 删除, 删行, 打印 and 编辑
// refuse and send nothing; the next choice of the month loads the view again.
TEST_F(DeletionTest, EveryCommandOnThePlanInViewIsRefusedAfterAFailedMonthReload)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        server.fail_next("records:dsp_xstyzb02cys");
        f->DateTimePicker1->setDate(QDate::currentDate().addMonths(-1));
        emit f->DateTimePicker1->closeUp();
        ASSERT_EQ(hooks.errors().size(), 1u);
        ASSERT_EQ(saleplan::plan_month, p);

        server.reset_calls();
        hooks.answer(ui::result_ok);
        for (TFlatSpeedButton *command : {f->tbdel, f->tbok, f->tbprint, f->tbedit})
            QTest::mouseClick(command, Qt::LeftButton);
        EXPECT_EQ(server.total_calls(), 0);
        ASSERT_EQ(hooks.boxes().size(), 4u);
        for (const auto &box : hooks.boxes()) {
            EXPECT_EQ(box.text, QStringLiteral("计划数据未能载入，请重新选择"));
            EXPECT_EQ(box.caption, QStringLiteral("警告"));
        }
        EXPECT_EQ(hooks.modals().size(), 1u);  // no preview, no editor

        // Another day of the same month reloads now, since nothing is loaded.
        QTest::keyRelease(f->DateTimePicker1, Qt::Key_Right);
        EXPECT_EQ(saleplan::dm_yearplan->plan_filter_in_force, (PlanSelection{p, "01", "0007"}));
        EXPECT_EQ(rows_in_view("ZBSL00"), (Rows{"9"}));
        EXPECT_EQ(saleplan::shown_month, p);
        f->tbexit->click();
    });
    EXPECT_EQ(plan_rows(m, "01", "0007"), "3");
    EXPECT_EQ(all_plan_rows(), "6");
}

// ---------------------------------------------------------------------------
// 删行

TEST_F(DeletionTest, DeleteRowRemovesOnlyTheRowUnderTheCursor)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        click_row(f, 1);
        ASSERT_EQ(saleplan::dm_yearplan->cds_xstyzb02.as_string("ZBMC00"), "新品铺货");
        server.reset_calls();
        hooks.answer(ui::result_ok);
        QTest::mouseClick(f->tbok, Qt::LeftButton);

        EXPECT_EQ(rows_in_view("XHAO00"), (Rows{"1", "3"}));
        EXPECT_EQ(f->dxDBGrid1->model()->rowCount(), 2);
        EXPECT_EQ(footer_sum(f), QStringLiteral("10"));
        f->tbexit->click();
    });
    // One apply of one change; no transaction, no reload.
    EXPECT_EQ(call_kinds(), (Rows{"apply:dsp_xstyzb02cys"}));
    EXPECT_EQ(server.log().at(0).second, "1 changes");
    EXPECT_EQ(plan_rows(m, "01", "0007"), "2");
    EXPECT_EQ(server.scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE NYUE00='" + m +
                            "' AND RYDM00='0007' AND XHAO00=2"),
              "0");
    EXPECT_EQ(all_plan_rows(), "5");
    EXPECT_EQ(hooks.boxes().size(), 1u);
    EXPECT_TRUE(hooks.errors().empty());
}

TEST_F(DeletionTest, DeleteRowSendsOtherPendingChangesWithIt)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        auto &plan = saleplan::dm_yearplan->cds_xstyzb02;
        plan.first();
        plan.set_value("ZBSL00", 12.0);
        plan.post();
        click_row(f, 2);
        server.reset_calls();
        hooks.answer(ui::result_ok);
        QTest::mouseClick(f->tbok, Qt::LeftButton);
        EXPECT_EQ(rows_in_view("ZBSL00"), (Rows{"12", "5"}));
        f->tbexit->click();
    });
    EXPECT_EQ(call_kinds(), (Rows{"apply:dsp_xstyzb02cys"}));
    EXPECT_EQ(server.log().at(0).second, "2 changes");
    EXPECT_EQ(server.scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE NYUE00='" + m + "' AND RYDM00='0007' AND XHAO00=1"),
              "12");
    EXPECT_EQ(plan_rows(m, "01", "0007"), "2");
}

TEST_F(DeletionTest, DeleteRowOnAnEmptyViewShowsTheDatasetErrorAndSendsNothing)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        choose_next_item(f->cb_fxb);
        ASSERT_EQ(f->cb_fxy->text(), QStringLiteral("0010|丁"));
        ASSERT_TRUE(rows_in_view("XHAO00").empty());
        server.reset_calls();
        hooks.answer(ui::result_ok);
        QTest::mouseClick(f->tbok, Qt::LeftButton);
        EXPECT_TRUE(f->isVisible());
        f->tbexit->click();
    });
    EXPECT_EQ(server.total_calls(), 0);
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_FALSE(hooks.errors()[0].text.isEmpty());
    // The confirmation came first; no "删除失败！".
    ASSERT_EQ(hooks.boxes().size(), 1u);
    EXPECT_EQ(hooks.boxes()[0].text, kDeleteRowQuestion);
    EXPECT_EQ(all_plan_rows(), "6");
}

TEST_F(DeletionTest, DeleteRowTheServerRefusesShowsDeletionFailed)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        // Another planner changed the row since it was fetched: the server
        // refuses to delete it.
        server.exec("UPDATE XSTYZB02 SET ZBSL00=11 WHERE NYUE00='" + m + "' AND RYDM00='0007' AND XHAO00=1");
        hooks.answer(ui::result_ok);
        QTest::mouseClick(f->tbok, Qt::LeftButton);
        f->tbexit->click();
    });
    const auto boxes = hooks.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, QStringLiteral("删除失败！"));
    EXPECT_EQ(boxes[1].caption, QStringLiteral("警告"));
    EXPECT_EQ(boxes[1].flags, 48);
    EXPECT_TRUE(hooks.errors().empty());
    EXPECT_EQ(plan_rows(m, "01", "0007"), "3");
    EXPECT_EQ(server.scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE NYUE00='" + m + "' AND RYDM00='0007' AND XHAO00=1"),
              "11");
}

TEST_F(DeletionTest, DeleteRowWhenTheServerCannotBeReachedShowsTheError)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        server.fail_next("apply:dsp_xstyzb02cys");
        hooks.answer(ui::result_ok);
        QTest::mouseClick(f->tbok, Qt::LeftButton);
        EXPECT_TRUE(f->isVisible());
        f->tbexit->click();
    });
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_EQ(hooks.errors()[0].text, QStringLiteral("simulated failure of apply:dsp_xstyzb02cys"));
    EXPECT_EQ(hooks.boxes().size(), 1u);
    EXPECT_EQ(plan_rows(m, "01", "0007"), "3");
}

}  // namespace

// ---------------------------------------------------------------------------
// The keyboard

TEST_F(DeletionTest, ToolbarCommandsHaveShortcutsNamedInTheirTooltipsAndTakeTabFocus)
{
    formtest::run_main_form(hooks, [&](TFm_saleplan *f) {
        EXPECT_EQ(f->tbprint->toolTip(), QStringLiteral("打印 (Ctrl+P)"));
        EXPECT_EQ(f->tbnew->toolTip(), QStringLiteral("生成 (Ctrl+N)"));
        EXPECT_EQ(f->tbedit->toolTip(), QStringLiteral("编辑 (Ctrl+E)"));
        EXPECT_EQ(f->tbok->toolTip(), QStringLiteral("删行 (Del)"));
        EXPECT_EQ(f->tbexit->toolTip(), QStringLiteral("退出 (Esc, Alt+F4)"));
        for (TFlatSpeedButton *b : f->toolbar_buttons()) EXPECT_EQ(b->focusPolicy(), Qt::TabFocus);
        EXPECT_EQ(f->tbok->objectName(), QStringLiteral("tbok"));
        EXPECT_EQ(f->tbok->text(), QStringLiteral("删行"));

        // Delete is 删行, with its confirmation (shortcuts work in the active window).
        f->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(f));
        // The keyboard starts on the plan rows, not on 打印.
        EXPECT_EQ(QApplication::focusWidget(), f->dxDBGrid1);
        hooks.answer(ui::result_cancel);
        QTest::keyClick(f->dxDBGrid1, Qt::Key_Delete);
        // A shortcut presses its button visibly, a moment later.
        QTest::qWaitFor([&] { return !hooks.boxes().empty(); }, 2000);
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, kDeleteRowQuestion);
        EXPECT_EQ(rows_in_view("XHAO00"), (Rows{"1", "2", "3"}));
        // Escape is 退出: the data module goes and the form closes.
        QTest::keyClick(f->dxDBGrid1, Qt::Key_Escape);
        EXPECT_EQ(saleplan::dm_yearplan, nullptr);
    });
    EXPECT_EQ(hooks.modals().size(), 1u);
    EXPECT_FALSE(hooks.modals()[0].closed_by_hooks);
    EXPECT_EQ(plan_rows(m, "01", "0007"), "3");
}
