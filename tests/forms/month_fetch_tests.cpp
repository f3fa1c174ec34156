// Which month each action of the planner fetches the plan rows of: every
// open of the plan dataset asks the provider for the month its filter then
// shows, and a department change fetches nothing, yet shows the same rows
// as when the whole table was loaded.
#include <QCoreApplication>
#include <QDialog>
#include <QTest>

#include <gtest/gtest.h>

#include "TDateTimePicker.h"
#include "TFlatComboBox.h"
#include "TdxDBGrid.h"
#include "Unit_dmYearplan.h"
#include "Unit_edit.h"
#include "Unit_saleplan.h"
#include "form_fixture.h"
#include "module_state.h"
#include "plan_vocabulary.h"
#include "ui.h"

using namespace formtest;
using Months = std::vector<std::string>;

namespace {

void choose(TFlatComboBox *combo, int index)
{
    combo->setFocus();
    const int steps = index - combo->currentIndex();
    for (int i = 0; i < std::abs(steps); ++i) QTest::keyClick(combo, steps > 0 ? Qt::Key_Down : Qt::Key_Up);
    ASSERT_EQ(combo->currentIndex(), index);
}

void pick_month(TFm_saleplan *f, const std::string &month)
{
    const QDate today = QDate::currentDate();
    const QDate date(std::stoi(month.substr(0, 4)), std::stoi(month.substr(4, 2)), 1);
    f->DateTimePicker1->setDate(date.addDays(std::min(today.day(), date.daysInMonth()) - 1));
    QTest::keyRelease(f->DateTimePicker1, Qt::Key_Right);
}

class MonthFetchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_module_state();
        // A plan of department 02 this month: a department change must show
        // it from the rows already loaded.
        server.exec("INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('" + this_month() +
                    "','02','0010',1,'1','卷烟销量',25)");
    }

    // The rows of the view as "month/department/salesman/number/quantity".
    static std::vector<std::string> view()
    {
        std::vector<std::string> out;
        const auto month = rows_in_view("NYUE00"), dept = rows_in_view("CKDM00"), man = rows_in_view("RYDM00"),
                   xhao = rows_in_view("XHAO00"), qty = rows_in_view("ZBSL00");
        for (std::size_t i = 0; i < month.size(); ++i)
            out.push_back(month[i] + "/" + dept[i] + "/" + man[i] + "/" + xhao[i] + "/" + qty[i]);
        return out;
    }

    SeededServer server;
    ui::testing::Hooks hooks;
};

TEST_F(MonthFetchTest, EachSelectionChangeFetchesTheMonthItsFilterShows)
{
    const std::string m = this_month(), p = last_month();
    run_main_form(hooks, [&](TFm_saleplan *f) {
        // Activation: the month of today, once.
        EXPECT_EQ(server.plan_months(), Months{m});
        EXPECT_EQ(view(), (std::vector<std::string>{m + "/01/0007/1/10", m + "/01/0007/2/5", m + "/01/0007/3/0"}));
        // The dataset holds the month's rows of every department and salesman, no other month's.
        EXPECT_EQ(saleplan::dm_yearplan->cds_xstyzb02.provider_params(), (wire::ProviderParams{{"NYUE00", m}}));

        server.reset_calls();
        choose(f->cb_fxy, 1);
        EXPECT_EQ(server.plan_months(), Months{m});
        EXPECT_EQ(view(), (std::vector<std::string>{m + "/01/0008/1/30", m + "/01/0008/2/20"}));

        server.reset_calls();
        choose(f->cb_fxy, 0);
        pick_month(f, p);
        EXPECT_EQ(server.plan_months(), (Months{m, p}));
        EXPECT_EQ(view(), (std::vector<std::string>{p + "/01/0007/1/9"}));

        // Another day of the month in view: nothing.
        server.reset_calls();
        QTest::keyRelease(f->DateTimePicker1, Qt::Key_Right);
        EXPECT_TRUE(server.plan_months().empty());

        server.reset_calls();
        pick_month(f, m);
        EXPECT_EQ(server.plan_months(), Months{m});

        // A department change filters what is loaded: no plan rows fetched.
        server.reset_calls();
        choose(f->cb_fxb, 1);
        EXPECT_EQ(server.calls("records:dsp_xstyzb02cys"), 0);
        EXPECT_EQ(view(), (std::vector<std::string>{m + "/02/0010/1/25"}));
        choose(f->cb_fxb, 0);
        EXPECT_EQ(server.calls("records:dsp_xstyzb02cys"), 0);
        EXPECT_EQ(view().size(), 3u);
        f->tbexit->click();
    });
    EXPECT_TRUE(hooks.errors().empty());
}

TEST_F(MonthFetchTest, TheEditorAndTheDeletionReloadTheMonthInForce)
{
    const std::string m = this_month(), p = last_month();
    run_main_form(hooks, [&](TFm_saleplan *f) {
        pick_month(f, p);
        Months at_editor_activation;
        std::vector<std::string> editor_rows;
        hooks.on_modal([&](QDialog *d) {
            auto *e = qobject_cast<TFm_edit *>(d);
            ASSERT_NE(e, nullptr);
            at_editor_activation = server.plan_months();
            editor_rows = view();
            server.reset_calls();
            e->tbexit->click();
        });
        server.reset_calls();
        f->tbedit->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(at_editor_activation, Months{p});
        EXPECT_EQ(editor_rows, (std::vector<std::string>{p + "/01/0007/1/9"}));
        // The close refills the lists and reloads the plan of the month edited.
        EXPECT_EQ(server.plan_months(), Months{p});
        EXPECT_EQ(view(), (std::vector<std::string>{p + "/01/0007/1/9"}));

        // 删除 of last month's plan, then the reload of that month.
        server.reset_calls();
        hooks.answer(ui::result_ok);
        QTest::mouseClick(f->tbdel, Qt::LeftButton);
        EXPECT_EQ(server.plan_months(), Months{p});
        EXPECT_TRUE(view().empty());
        EXPECT_EQ(server.scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE NYUE00='" + p + "'"), "0");
        EXPECT_EQ(server.scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE NYUE00='" + m + "'"), "6");
        f->tbexit->click();
    });
    EXPECT_TRUE(hooks.errors().empty());
}

TEST_F(MonthFetchTest, ADepartmentChangeAfterThePlanMonthMovedFetchesThatMonth)
{
    // The plan month in force can move without a reload (a generation into
    // another month that then fails to open its editor); the rows loaded
    // are then another month's, and filtering them would show nothing.
    const std::string m = this_month(), p = last_month();
    run_main_form(hooks, [&](TFm_saleplan *f) {
        saleplan::plan_month = p;
        server.reset_calls();
        choose(f->cb_fxb, 1);
        EXPECT_EQ(server.plan_months(), Months{p});
        EXPECT_TRUE(view().empty());  // department 02 has no plan last month
        choose(f->cb_fxb, 0);
        EXPECT_EQ(server.plan_months(), Months{p});  // now loaded: filtered without a fetch
        EXPECT_EQ(view(), (std::vector<std::string>{p + "/01/0007/1/9"}));
        f->tbexit->click();
    });
}

}  // namespace
