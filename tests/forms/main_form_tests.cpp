// The main form against a seeded in-process server: what the planner sees
// after activation and after each choice, and which calls reach the server.
#include <QDialog>
#include <QKeyEvent>
#include <QTest>

#include <gtest/gtest.h>

#include "TDateTimePicker.h"
#include "TFlatComboBox.h"
#include "TdxDBGrid.h"
#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "form_fixture.h"
#include "module_state.h"
#include "plan_vocabulary.h"
#include "ui.h"

using namespace formtest;
using saleplan::dm_yearplan;

namespace {

QStringList items_of(const TFlatComboBox *combo) { return combo->items(); }

// Chooses an item the way a user does with the keyboard, moving from the
// item shown to the one wanted.
void choose(TFlatComboBox *combo, int index)
{
    combo->setFocus();
    int steps = index - combo->currentIndex();
    const Qt::Key key = steps > 0 ? Qt::Key_Down : Qt::Key_Up;
    for (int i = 0; i < std::abs(steps); ++i) QTest::keyClick(combo, key);
    ASSERT_EQ(combo->currentIndex(), index);
}

// The user picks another date in the picker and lets go of a key.
void pick_date(TFm_saleplan *f, const QDate &date)
{
    f->DateTimePicker1->setDate(date);
    QTest::keyRelease(f->DateTimePicker1, Qt::Key_Right);
}

int column_of(TFm_saleplan *f, const char *name) { return f->dxDBGrid1->column_index(QString::fromLatin1(name)); }

class MainFormTest : public ::testing::Test {
protected:
    void SetUp() override { reset_module_state(); }
    SeededServer server;
    ui::testing::Hooks hooks;
};

TEST_F(MainFormTest, ActivationShowsTodaysMonthFirstDepartmentAndItsFirstSalesman)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        EXPECT_EQ(f->windowTitle(), "访销部月销售计划管理");
        EXPECT_EQ(f->pn_gl->text(), "访销员月计划管理");
        EXPECT_EQ(saleplan::plan_month, this_month());
        EXPECT_EQ(saleplan::shown_month, this_month());
        EXPECT_EQ(saleplan::short_date_format, "YYYY-MM-DD");
        EXPECT_EQ(f->DateTimePicker1->date(), QDate::currentDate());
        // Excluded and closed departments are not offered.
        EXPECT_EQ(items_of(f->cb_fxb), (QStringList{"01|东区", "02|西区", "03|南区"}));
        EXPECT_EQ(f->cb_fxb->text(), "01|东区");
        EXPECT_EQ(items_of(f->cb_fxy), (QStringList{"0007|甲", "0008|乙"}));
        EXPECT_EQ(f->cb_fxy->text(), "0007|甲");
        EXPECT_EQ(saleplan::dept_code, "01");
        EXPECT_EQ(saleplan::salesman_code, "0007");

        EXPECT_EQ(rows_in_view("XHAO00"), (std::vector<std::string>{"1", "2", "3"}));
        EXPECT_EQ(f->dxDBGrid1->model()->rowCount(), 3);
        const int name = column_of(f, "dxDBGrid1ZBMC00"), qty = column_of(f, "dxDBGrid1ZBSL00");
        EXPECT_EQ(f->dxDBGrid1->footer_text(name), "合计");
        EXPECT_TRUE(f->dxDBGrid1->footer_alignment(name) & Qt::AlignRight);
        EXPECT_TRUE(f->dxDBGrid1->footer_font(name).bold());
        EXPECT_EQ(f->dxDBGrid1->footer_text(qty), "15");
        // The lookup dataset holds the month's plan rows of every salesman.
        EXPECT_EQ(dm_yearplan->CDS_LOOKUP.record_count(), 5);
        f->tbexit->click();
    });
    EXPECT_TRUE(hooks.errors().empty());
}

TEST_F(MainFormTest, TheToolbarShowsEightCommandsInOrder)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        QStringList visible;
        int right = 0;
        for (TFlatSpeedButton *b : f->toolbar_buttons()) {
            if (!b->isVisible()) continue;
            visible << b->text();
            EXPECT_EQ(b->x(), right) << b->text().toStdString();
            right = b->x() + b->width();
            EXPECT_TRUE(b->isEnabled());
            EXPECT_FALSE(b->displayed_glyph().isNull()) << b->text().toStdString();
        }
        EXPECT_EQ(visible, (QStringList{"打印", "生成", "编辑", "删除", "删行", "分配", "退出", "导出"}));
        EXPECT_EQ(f->tbboard->toolTip(), QStringLiteral("分配 (Ctrl+B)"));
        f->tbexit->click();
    });
}

TEST_F(MainFormTest, ChoosingADepartmentRefillsSalesmenAndNarrowsWithoutFetchingRows)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        server.reset_calls();
        choose(f->cb_fxb, 1);
        EXPECT_EQ(saleplan::dept_code, "02");
        EXPECT_EQ(items_of(f->cb_fxy), (QStringList{"0010|丁"}));
        EXPECT_EQ(f->cb_fxy->text(), "0010|丁");
        EXPECT_EQ(saleplan::salesman_code, "0010");
        EXPECT_TRUE(rows_in_view("XHAO00").empty());
        EXPECT_EQ(server.calls("records:dsp_xstyzb02cys"), 0);
        EXPECT_EQ(server.calls("records:dsp_temp"), 1);  // the salesman list only

        // Back to 东区: its first salesman's rows again, still without a fetch.
        choose(f->cb_fxb, 0);
        EXPECT_EQ(rows_in_view("RYDM00"), (std::vector<std::string>(3, "0007")));
        EXPECT_EQ(server.calls("records:dsp_xstyzb02cys"), 0);
        f->tbexit->click();
    });
}

TEST_F(MainFormTest, ChoosingASalesmanFetchesAndFilters)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        // Another planner's change since activation shows after the fetch.
        server.exec("UPDATE XSTYZB02 SET ZBSL00=31 WHERE RYDM00='0008' AND XHAO00=1");
        server.reset_calls();
        choose(f->cb_fxy, 1);
        EXPECT_EQ(saleplan::salesman_code, "0008");
        EXPECT_EQ(server.calls("records:dsp_xstyzb02cys"), 1);
        EXPECT_EQ(rows_in_view("ZBSL00"), (std::vector<std::string>{"31", "20"}));
        EXPECT_EQ(f->dxDBGrid1->footer_text(column_of(f, "dxDBGrid1ZBSL00")), "51");
        f->tbexit->click();
    });
}

TEST_F(MainFormTest, AnotherMonthFetchesAndAnotherDayOfTheSameMonthFetchesNothing)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        server.reset_calls();
        const QDate today = QDate::currentDate();
        pick_date(f, QDate(today.year(), today.month(), today.day() == 1 ? 2 : 1));
        EXPECT_EQ(server.total_calls(), 0);
        EXPECT_EQ(saleplan::plan_month, this_month());

        pick_date(f, today.addMonths(-1));
        EXPECT_EQ(server.calls("records:dsp_xstyzb02cys"), 1);
        EXPECT_EQ(server.calls("records:dsp_temp"), 0);  // the lookup is not reloaded
        EXPECT_EQ(saleplan::plan_month, last_month());
        EXPECT_EQ(saleplan::shown_month, last_month());
        EXPECT_EQ(rows_in_view("ZBSL00"), (std::vector<std::string>{"9"}));
        EXPECT_EQ(dm_yearplan->cds_xstyzb02.filter(),
                  "NYUE00='" + last_month() + "' AND CKDM00='01' AND RYDM00='0007'");

        // Releasing more keys on the same month costs nothing.
        server.reset_calls();
        QTest::keyRelease(f->DateTimePicker1, Qt::Key_Left);
        EXPECT_EQ(server.total_calls(), 0);
        f->tbexit->click();
    });
}

TEST_F(MainFormTest, ADepartmentWithoutSalesmenShowsAnEmptyListAndNoRows)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        choose(f->cb_fxb, 2);
        EXPECT_EQ(saleplan::dept_code, "03");
        EXPECT_EQ(f->cb_fxy->count(), 0);
        EXPECT_EQ(f->cb_fxy->text(), "");
        EXPECT_EQ(saleplan::salesman_code, "");
        EXPECT_EQ(f->dxDBGrid1->model()->rowCount(), 0);
        EXPECT_EQ(f->dxDBGrid1->footer_text(column_of(f, "dxDBGrid1ZBSL00")), "0");
        f->tbexit->click();
    });
    EXPECT_TRUE(hooks.errors().empty());
}

TEST_F(MainFormTest, TypedCharactersChangeNeitherTheListsNorTheView)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        server.reset_calls();
        for (TFlatComboBox *combo : {f->cb_fxb, f->cb_fxy}) {
            const QString before = combo->text();
            combo->setFocus();
            QTest::keyClicks(combo, "02");
            QKeyEvent chinese(QEvent::KeyPress, 0, Qt::NoModifier, QStringLiteral("西"));
            QApplication::sendEvent(combo, &chinese);
            EXPECT_EQ(combo->text(), before);
        }
        EXPECT_EQ(saleplan::dept_code, "01");
        EXPECT_EQ(saleplan::salesman_code, "0007");
        EXPECT_EQ(rows_in_view("XHAO00").size(), 3u);
        EXPECT_EQ(server.total_calls(), 0);
        f->tbexit->click();
    });
}

TEST_F(MainFormTest, BrowseModeDisablesTheChangingCommandsOnly)
{
    for (const char *mode : {"b", "B"}) {
        run_main_form(
            hooks,
            [&](TFm_saleplan *f) {
                for (TFlatSpeedButton *b : {f->tbnew, f->tbedit, f->tbdel, f->tbok, f->tbcancel})
                    EXPECT_FALSE(b->isEnabled()) << mode << " " << b->objectName().toStdString();
                EXPECT_TRUE(f->tbprint->isEnabled());
                EXPECT_TRUE(f->tbexit->isEnabled());
                // The selection still works.
                choose(f->cb_fxy, 1);
                EXPECT_EQ(rows_in_view("RYDM00"), (std::vector<std::string>(2, "0008")));
                f->tbexit->click();
            },
            mode);
    }
    for (const char *mode : {"BB", "B ", "", "x"}) {
        run_main_form(
            hooks,
            [&](TFm_saleplan *f) {
                for (TFlatSpeedButton *b : {f->tbnew, f->tbedit, f->tbdel, f->tbok})
                    EXPECT_TRUE(b->isEnabled()) << '"' << mode << "\" " << b->objectName().toStdString();
                f->tbexit->click();
            },
            mode);
    }
}

TEST_F(MainFormTest, AModalWindowClosingDoesNotRunTheActivationAgain)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        pick_date(f, QDate::currentDate().addMonths(-1));
        Tdm_yearplan *first = dm_yearplan;
        server.reset_calls();
        auto *dialog = new QDialog(f);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        hooks.on_modal([](QDialog *d) { d->accept(); });
        ui::show_modal(dialog);
        f->activateWindow();
        QApplication::processEvents();
        EXPECT_EQ(dm_yearplan, first);
        EXPECT_EQ(saleplan::plan_month, last_month());
        EXPECT_EQ(f->DateTimePicker1->date(), QDate::currentDate().addMonths(-1));
        EXPECT_EQ(server.total_calls(), 0);
        f->tbexit->click();
    });
}

TEST_F(MainFormTest, ExitReleasesTheDataModuleAndClosesTheForm)
{
    QPointer<TFm_saleplan> form;
    run_main_form(hooks, [&](TFm_saleplan *f) {
        form = f;
        ASSERT_NE(dm_yearplan, nullptr);
        f->tbexit->click();
        EXPECT_EQ(dm_yearplan, nullptr);
        EXPECT_FALSE(f->isVisible());
    });
    EXPECT_TRUE(form.isNull());
    // Exit without a data module only closes the form.
    run_main_form(hooks, [&](TFm_saleplan *f) {
        f->tbexitClick();
        EXPECT_EQ(dm_yearplan, nullptr);
        f->tbexitClick();
        EXPECT_FALSE(f->isVisible());
    });
    EXPECT_TRUE(hooks.errors().empty());
}

TEST_F(MainFormTest, AFailingActivationStepEndsTheSequenceWithTheErrorShown)
{
    server.fail_next("records:dsp_xstyzb02cys");
    run_main_form(hooks, [&](TFm_saleplan *f) {
        ASSERT_EQ(hooks.errors().size(), 1u);
        EXPECT_NE(hooks.errors()[0].text.indexOf("simulated failure"), -1);
        EXPECT_TRUE(f->isVisible());
        // The steps after the failing one did not run.
        EXPECT_EQ(f->cb_fxb->count(), 0);
        EXPECT_EQ(saleplan::dept_code, "");
        EXPECT_NE(dm_yearplan, nullptr);
        f->tbexit->click();
    }, "b");
}

TEST_F(MainFormTest, AFailedMonthReloadKeepsTheFormerShownMonthAndTriesAgain)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        server.fail_next("records:dsp_xstyzb02cys");
        pick_date(f, QDate::currentDate().addMonths(-1));
        ASSERT_EQ(hooks.errors().size(), 1u);
        EXPECT_EQ(saleplan::plan_month, last_month());
        EXPECT_EQ(saleplan::shown_month, this_month());
        // The next key release retries the reload without another month change.
        QTest::keyRelease(f->DateTimePicker1, Qt::Key_Left);
        EXPECT_EQ(saleplan::shown_month, last_month());
        EXPECT_EQ(rows_in_view("ZBSL00"), (std::vector<std::string>{"9"}));
        f->tbexit->click();
    });
}

TEST_F(MainFormTest, TheHiddenNavigationCommandsMoveTheCurrentRow)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        auto &cds = dm_yearplan->cds_xstyzb02;
        f->tblastClick();
        EXPECT_EQ(cds.rec_no(), 2);
        f->tbpriorClick();
        EXPECT_EQ(cds.rec_no(), 1);
        EXPECT_EQ(f->dxDBGrid1->currentIndex().row(), 1);
        f->tbfirstClick();
        f->tbnextClick();
        EXPECT_EQ(cds.as_string("XHAO00"), "2");
        f->tbexit->click();
    });
}

}  // namespace
