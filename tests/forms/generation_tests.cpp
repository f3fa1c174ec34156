// Plan generation against a seeded in-process server: the generate command's
// precondition, the plan month dialog as the planner sees it, the confirm's
// tests in their order, the generation inside the server transaction, the
// quantity editor it opens and the main form it leaves behind. Then the
// generation statement itself inside the server transaction on SQLite and
// PostgreSQL.
#include <QDialog>
#include <QFile>
#include <QLineEdit>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "TAALinkLabel.h"
#include "TDateTimePicker.h"
#include "TFlatComboBox.h"
#include "TFlatSpeedButton.h"
#include "TdxDBGrid.h"
#include "Unit_Inputtime.h"
#include "Unit_dmYearplan.h"
#include "Unit_edit.h"
#include "Unit_saleplan.h"
#include "form_fixture.h"
#include "inprocess_link.h"
#include "module_state.h"
#include "plan_commands.h"
#include "plan_vocabulary.h"
#include "report.h"
#include "server_fixture.h"
#include "ui.h"
#include "unit_getsetting.h"

using namespace formtest;
using saleplan::Fm_edit;
using saleplan::Fm_inputtime;

namespace {

const QString kNoDepartmentPlan = QStringLiteral("对应年月的上级计划还未生成，请先生成上级计划");
const QString kAlreadyPlanned = QStringLiteral("已经有该人员的记录，可以编辑该人员记录！");
const QString kNoIndicators = QStringLiteral("没有该年月的销售指标，不能生成！");
const QString kChoose = QStringLiteral("请选择仓库和人员");

QDate date_of(const std::string &month)
{
    return QDate(std::stoi(month.substr(0, 4)), std::stoi(month.substr(4, 2)), 1);
}

// Chooses an item with the keyboard, moving from the item shown to the one wanted.
void choose(TFlatComboBox *combo, int index)
{
    combo->setFocus();
    const int steps = index - combo->currentIndex();
    const Qt::Key key = steps > 0 ? Qt::Key_Down : Qt::Key_Up;
    for (int i = 0; i < std::abs(steps); ++i) QTest::keyClick(combo, key);
    ASSERT_EQ(combo->currentIndex(), index);
}

// Types a text over the box's text and presses Enter.
void type_into(TFlatComboBox *combo, const QString &text)
{
    QLineEdit *editor = combo->lineEdit();
    ASSERT_NE(editor, nullptr);
    editor->selectAll();
    QTest::keyClicks(editor, text);
    // Tab, not Enter: Enter in the dialog is 确定.
    QTest::keyClick(editor, Qt::Key_Tab);
    ASSERT_EQ(combo->text(), text);
}

// The user picks another month in the main form's picker.
void show_month(TFm_saleplan *f, const std::string &month)
{
    f->DateTimePicker1->setDate(date_of(month));
    QTest::keyRelease(f->DateTimePicker1, Qt::Key_Right);
    ASSERT_EQ(saleplan::shown_month, month);
}

void click(TFlatSpeedButton *button) { QTest::mouseClick(button, Qt::LeftButton); }

// Presses 生成 with the steps queued for the plan month dialog it opens.
void with_dialog(ui::testing::Hooks &hooks, TFm_saleplan *f, const std::function<void(TFm_inputtime *)> &steps)
{
    bool ran = false;
    hooks.on_modal([steps, &ran](QDialog *d) {
        ran = true;
        auto *dialog = qobject_cast<TFm_inputtime *>(d);
        ASSERT_NE(dialog, nullptr) << d->metaObject()->className();
        steps(dialog);
    });
    click(f->tbnew);
    EXPECT_TRUE(ran) << "the plan month dialog did not open";
}

bool dialog_gone() { return QTest::qWaitFor([] { return Fm_inputtime.isNull(); }, 2000); }

int modals_of(const ui::testing::Hooks &hooks, const char *class_name)
{
    int n = 0;
    for (const auto &m : hooks.modals()) n += m.class_name == QLatin1String(class_name);
    return n;
}

struct Box {
    QString text, caption;
    int flags;
    bool operator==(const Box &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Box &b)
{
    return os << b.text.toStdString() << " / " << b.caption.toStdString() << " / " << b.flags;
}
std::vector<Box> boxes_of(const ui::testing::Hooks &hooks)
{
    std::vector<Box> out;
    for (const auto &m : hooks.boxes()) out.push_back({m.text, m.caption, m.flags});
    return out;
}

class GenerationTest : public ::testing::Test {
protected:
    void SetUp() override { reset_module_state(); }

    std::string count(const std::string &where)
    {
        return server.scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE " + where);
    }
    std::string plan_rows_of(const std::string &month, const std::string &dept, const std::string &salesman)
    {
        return count("NYUE00=" + ::quoted(month) + " AND CKDM00=" + ::quoted(dept) + " AND RYDM00=" + ::quoted(salesman));
    }
    // Everything the module could have changed, as text.
    std::vector<std::vector<std::string>> snapshot()
    {
        auto rows = server.query("SELECT * FROM XSTYZB02 ORDER BY NYUE00,CKDM00,RYDM00,XHAO00");
        for (const char *sql : {"SELECT * FROM XSTYZB01 ORDER BY NYUE00,CKDM00,XHAO00,ZBSL00",
                                "SELECT * FROM XSTYXSZB ORDER BY NYUE00,XHAO00",
                                "SELECT * FROM GSTCKGL0 ORDER BY CKDM00", "SELECT * FROM GSTRYGL0 ORDER BY RYDM00"})
            for (auto &row : server.query(sql)) rows.push_back(row);
        return rows;
    }
    void expect_selection(const std::string &month, const std::string &dept, const std::string &salesman)
    {
        EXPECT_EQ(saleplan::plan_month, month);
        EXPECT_EQ(saleplan::dept_code, dept);
        EXPECT_EQ(saleplan::salesman_code, salesman);
    }

    SeededServer server;
    ui::testing::Hooks hooks;
};

// ---------------------------------------------------------------------------
// The generate command

TEST_F(GenerationTest, WithoutTheDepartmentsPlanForTheMonthInViewTheCommandWarnsAndOpensNoDialog)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        // 南区 has no plan this month.
        choose(f->cb_fxb, 2);
        server.reset_calls();
        click(f->tbnew);
        ASSERT_EQ(server.log().size(), 1u);
        EXPECT_EQ(server.log()[0].second, department_plan_count_statement("03", this_month()));

        // 东区 has none the month before last.
        choose(f->cb_fxb, 0);
        show_month(f, month_before_last());
        click(f->tbnew);
        EXPECT_EQ(boxes_of(hooks), (std::vector<Box>{{kNoDepartmentPlan, "警告", 48}, {kNoDepartmentPlan, "警告", 48}}));
        EXPECT_EQ(modals_of(hooks, "TFm_inputtime"), 0);
        EXPECT_TRUE(Fm_inputtime.isNull());

        // Last month it has one: the dialog opens.
        show_month(f, last_month());
        with_dialog(hooks, f, [&](TFm_inputtime *d) {
            EXPECT_EQ(Fm_inputtime.data(), d);
            click(d->BitBtn1);
        });
        EXPECT_EQ(modals_of(hooks, "TFm_inputtime"), 1);
        EXPECT_EQ(hooks.boxes().size(), 2u);
        f->tbexit->click();
    });
    EXPECT_TRUE(hooks.errors().empty());
}

// The precondition asks about the month the view was last set to: after a
// month reload that failed, that is not the month the picker shows.
TEST_F(GenerationTest, ThePreconditionUsesTheShownMonthNotThePickersMonth)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        choose(f->cb_fxb, 1);  // 西区 has a plan this month only
        server.fail_next("records:dsp_xstyzb02cys");
        f->DateTimePicker1->setDate(date_of(month_before_last()));
        emit f->DateTimePicker1->closeUp();
        ASSERT_EQ(hooks.errors().size(), 1u);
        ASSERT_EQ(saleplan::plan_month, month_before_last());
        ASSERT_EQ(saleplan::shown_month, this_month());
        server.reset_calls();
        with_dialog(hooks, f, [&](TFm_inputtime *d) { click(d->BitBtn1); });
        ASSERT_GE(server.log().size(), 1u);
        EXPECT_EQ(server.log()[0].second, department_plan_count_statement("02", this_month()));
        EXPECT_TRUE(hooks.boxes().empty());
        f->tbexit->click();
    });
}

// Mend: a salesman typed in from another department is named as himself
// everywhere: in the editor's heading, in the main form's list afterwards and
// on the printout, which prints his rows under his name.
TEST_F(GenerationTest, ATypedInSalesmanOfAnotherDepartmentIsNamedByHisOwnCode)
{
    QString heading;
    run_main_form(hooks, [&](TFm_saleplan *f) {
        with_dialog(hooks, f, [&](TFm_inputtime *d) {
            ASSERT_EQ(d->cb_ck->text(), "01|东区");
            type_into(d->cb_fxry, "0010|x");
            hooks.on_modal([&](QDialog *e) {
                heading = static_cast<TFm_edit *>(e)->pn_gl->text();
                EXPECT_EQ(rows_in_view("RYDM00"), (std::vector<std::string>{"0010", "0010", "0010"}));
                click(static_cast<TFm_edit *>(e)->tbexit);
            });
            click(d->BitBtn2);
        });
        EXPECT_TRUE(dialog_gone());
        EXPECT_EQ(f->cb_fxb->text(), "01|东区");
        EXPECT_EQ(f->cb_fxy->text(), "0010|丁");
        EXPECT_EQ(saleplan::dm_yearplan->plan_filter_in_force, (PlanSelection{this_month(), "01", "0010"}));
        prepare_plan_report(*f);
        EXPECT_EQ(f->frReport1->variable(QStringLiteral("fxbmc")), QStringLiteral("东区丁"));
        EXPECT_EQ(f->frReport1->variable(QStringLiteral("ywny")), QString::fromStdString(this_month()));
        f->tbexit->click();
    });
    const std::string m = this_month();
    EXPECT_EQ(heading, QString::fromStdString(m.substr(0, 4) + "年" + m.substr(4, 2) + "月东区丁销售计划"));
    EXPECT_EQ(plan_rows_of(this_month(), "01", "0010"), "3");
    EXPECT_TRUE(hooks.errors().empty());
}

// The keyboard in the dialog: Enter is 确定 and Escape 取消, also from the
// month picker.
TEST_F(GenerationTest, EnterConfirmsAndEscapeCancelsFromThePicker)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        with_dialog(hooks, f, [&](TFm_inputtime *d) {
            d->DateTimePicker1->setFocus();
            QTest::keyClick(d->DateTimePicker1, Qt::Key_Escape);
        });
        EXPECT_TRUE(dialog_gone());
        with_dialog(hooks, f, [&](TFm_inputtime *d) {
            d->DateTimePicker1->setFocus();
            // 甲 has this month's plan: 确定 says so and the dialog stays.
            QTest::keyClick(d->DateTimePicker1, Qt::Key_Return);
            EXPECT_EQ(boxes_of(hooks), (std::vector<Box>{{kAlreadyPlanned, "提示", 64}}));
            EXPECT_TRUE(d->isVisible());
            QTest::keyClick(d->cb_fxry, Qt::Key_Escape);
        });
        EXPECT_TRUE(dialog_gone());
        f->tbexit->click();
    });
    EXPECT_EQ(modals_of(hooks, "TFm_edit"), 0);
}

// ---------------------------------------------------------------------------
// The dialog

TEST_F(GenerationTest, TheDialogOpensCentredOnTodayWithTheFirstDepartmentAndItsFirstSalesman)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        // The main form shows another department: the dialog does not follow it.
        choose(f->cb_fxb, 1);
        saleplan::short_date_format.clear();
        with_dialog(hooks, f, [&](TFm_inputtime *d) {
            const auto px = [](int design) { return TFm_Base::pixels(design); };
            EXPECT_EQ(d->windowTitle(), "计划年月");
            EXPECT_EQ(d->size(), QSize(px(253), px(192)));
            EXPECT_EQ(settings::colour_value(d->palette().color(QPalette::Window)), 14473669);
            EXPECT_EQ(d->font().pixelSize(), px(12));
            EXPECT_TRUE(d->windowFlags() & Qt::WindowCloseButtonHint);
            EXPECT_FALSE(d->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
            EXPECT_LE((d->frameGeometry().center() - d->screen()->geometry().center()).manhattanLength(), 2);

            EXPECT_EQ(d->Label1->text(), "计划年月");
            EXPECT_EQ(d->AALinkLabel1->text(), "访销部门");
            EXPECT_EQ(d->AALinkLabel2->text(), "访销人员");
            EXPECT_EQ(d->BitBtn2->text(), "确定");
            EXPECT_EQ(d->BitBtn1->text(), "取消");
            EXPECT_EQ(d->cb_ck->geometry(), QRect(px(92), px(72),
                                                  px(130), px(20)));
            EXPECT_EQ(d->cb_fxry->geometry().topLeft(), QPoint(px(92), px(115)));
            EXPECT_EQ(d->BitBtn2->geometry(), QRect(px(44), px(150),
                                                    px(65), px(25)));
            EXPECT_EQ(d->BitBtn1->geometry().topLeft(), QPoint(px(148), px(150)));
            EXPECT_EQ(d->DateTimePicker1->geometry().topLeft(), QPoint(px(92), px(32)));
            EXPECT_TRUE(d->cb_ck->isEditable());
            EXPECT_TRUE(d->cb_fxry->isEditable());
            EXPECT_EQ(d->cb_ck->color(), QColor(197, 217, 220));

            EXPECT_EQ(saleplan::short_date_format, "YYYY-MM-DD");
            EXPECT_EQ(d->DateTimePicker1->date(), QDate::currentDate());
            EXPECT_EQ(d->cb_ck->items(), (QStringList{"01|东区", "02|西区", "03|南区"}));
            EXPECT_EQ(d->cb_ck->text(), "01|东区");
            EXPECT_EQ(d->cb_fxry->items(), (QStringList{"0007|甲", "0008|乙"}));
            EXPECT_EQ(d->cb_fxry->text(), "0007|甲");
            EXPECT_TRUE(d->activated());
            click(d->BitBtn1);
        });
        EXPECT_TRUE(dialog_gone());
        f->tbexit->click();
    });
    EXPECT_TRUE(hooks.errors().empty());
}

TEST_F(GenerationTest, ADepartmentChosenOrTypedInTheDialogRefillsItsSalesmen)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        with_dialog(hooks, f, [&](TFm_inputtime *d) {
            choose(d->cb_ck, 1);
            EXPECT_EQ(saleplan::dlg_dept_code, "02");
            EXPECT_EQ(d->cb_fxry->items(), (QStringList{"0010|丁"}));
            EXPECT_EQ(d->cb_fxry->text(), "0010|丁");

            choose(d->cb_ck, 2);  // 南区 has no visit-salesmen
            EXPECT_EQ(saleplan::dlg_dept_code, "03");
            EXPECT_TRUE(d->cb_fxry->items().isEmpty());
            EXPECT_EQ(d->cb_fxry->text(), "");

            type_into(d->cb_ck, "01|");
            EXPECT_EQ(saleplan::dlg_dept_code, "01");
            EXPECT_EQ(d->cb_fxry->items(), (QStringList{"0007|甲", "0008|乙"}));

            // The main form's selection is not the dialog's.
            EXPECT_EQ(saleplan::dept_code, "01");
            EXPECT_EQ(f->cb_fxb->text(), "01|东区");
            EXPECT_EQ(f->cb_fxy->items(), (QStringList{"0007|甲", "0008|乙"}));
            click(d->BitBtn1);
        });
        f->tbexit->click();
    });
    EXPECT_TRUE(hooks.errors().empty());
}

TEST_F(GenerationTest, CancelTheCloseButtonAndEscapeChangeNothing)
{
    const auto before = snapshot();
    run_main_form(hooks, [&](TFm_saleplan *f) {
        show_month(f, last_month());
        const auto rows_before = rows_in_view("ZBSL00");
        server.reset_calls();
        with_dialog(hooks, f, [&](TFm_inputtime *d) {
            choose(d->cb_ck, 1);
            d->DateTimePicker1->setDate(QDate::currentDate().addMonths(-2));
            // Escape in a box is 取消.
            QTest::keyClick(d->cb_ck->lineEdit(), Qt::Key_Escape);
        });
        EXPECT_TRUE(dialog_gone());
        with_dialog(hooks, f, [&](TFm_inputtime *d) { d->close(); });  // the window's close button
        EXPECT_TRUE(dialog_gone());

        expect_selection(last_month(), "01", "0007");
        EXPECT_EQ(saleplan::shown_month, last_month());
        EXPECT_EQ(rows_in_view("ZBSL00"), rows_before);
        EXPECT_EQ(server.calls("execute:dsp_temp"), 0);
        EXPECT_EQ(server.calls("method:CompanydbTranStart"), 0);
        f->tbexit->click();
    });
    for (const auto &m : hooks.modals()) EXPECT_FALSE(m.closed_by_hooks) << m.class_name.toStdString();
    EXPECT_EQ(modals_of(hooks, "TFm_inputtime"), 2);
    EXPECT_EQ(snapshot(), before);
    EXPECT_TRUE(hooks.messages().empty());
}

// ---------------------------------------------------------------------------
// The confirm's tests

TEST_F(GenerationTest, TheConfirmStopsAtItsTestsInOrderAndLeavesTheMainFormsSelectionAlone)
{
    // A plan the month before last, a month without sales indicators.
    server.exec("INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES (" +
                ::quoted(month_before_last()) + ",'01','0007',1,'1','卷烟销量',1)");
    const auto before = snapshot();
    run_main_form(hooks, [&](TFm_saleplan *f) {
        show_month(f, last_month());
        server.reset_calls();
        with_dialog(hooks, f, [&](TFm_inputtime *d) {
            QPointer<TFm_inputtime> alive(d);
            auto confirm_and_check = [&] {
                click(d->BitBtn2);
                ASSERT_FALSE(alive.isNull());
                EXPECT_TRUE(d->isVisible());
                // The main form's month, department and salesman stay as they were.
                expect_selection(last_month(), "01", "0007");
            };
            // 甲 already has this month's plan.
            confirm_and_check();
            EXPECT_EQ(saleplan::dlg_dept_code, "01");
            EXPECT_EQ(saleplan::dlg_salesman_code, "0007");
            // The existence test comes before the indicator test.
            d->DateTimePicker1->setDate(date_of(month_before_last()));
            confirm_and_check();
            // 乙 has none then, and the month has no sales indicators.
            choose(d->cb_fxry, 1);
            confirm_and_check();
            EXPECT_EQ(saleplan::dlg_salesman_code, "0008");
            // The indicator test comes before the choice test, even with an empty code.
            choose(d->cb_ck, 2);
            ASSERT_EQ(d->cb_fxry->text(), "");
            confirm_and_check();
            EXPECT_EQ(saleplan::dlg_dept_code, "03");
            EXPECT_EQ(saleplan::dlg_salesman_code, "");
            // This month has indicators: now the choice test speaks.
            d->DateTimePicker1->setDate(QDate::currentDate());
            confirm_and_check();
            // A typed salesman without a code.
            choose(d->cb_ck, 1);
            type_into(d->cb_fxry, "0010");
            confirm_and_check();
            EXPECT_EQ(saleplan::dlg_dept_code, "02");
            EXPECT_EQ(saleplan::dlg_salesman_code, "");
            click(d->BitBtn1);
        });
        EXPECT_EQ(boxes_of(hooks), (std::vector<Box>{{kAlreadyPlanned, "提示", 64},
                                                     {kAlreadyPlanned, "提示", 64},
                                                     {kNoIndicators, "提示", 64},
                                                     {kNoIndicators, "提示", 64},
                                                     {kChoose, "警告", 48},
                                                     {kChoose, "警告", 48}}));
        // The tests asked the dialog's month, not the main form's.
        const auto first_test = std::find_if(server.log().begin(), server.log().end(), [](const auto &call) {
            return call.second.rfind("SELECT * FROM XSTYZB02", 0) == 0;
        });
        ASSERT_NE(first_test, server.log().end());
        EXPECT_EQ(first_test->second, salesman_plan_statement(this_month(), "01", "0007"));
        EXPECT_EQ(server.calls("method:CompanydbTranStart"), 0);
        EXPECT_EQ(server.calls("execute:dsp_temp"), 0);
        EXPECT_EQ(modals_of(hooks, "TFm_edit"), 0);
        // The view still shows last month.
        EXPECT_EQ(rows_in_view("ZBSL00"), (std::vector<std::string>{"9"}));
        f->tbexit->click();
    });
    EXPECT_EQ(snapshot(), before);
    EXPECT_TRUE(hooks.errors().empty());
}

// ---------------------------------------------------------------------------
// Generation

TEST_F(GenerationTest, ACleanGenerationOpensTheEditorOnZeroRowsAndTheMainFormThenShowsThePlan)
{
    server.exec("INSERT INTO GSTRYGL0(RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0011','戊','Y','01')");
    // Site settings of kind "B" that the editor must receive: the normal window state.
    QTemporaryDir dir;
    const QString ini = dir.filePath("mis_system.ini");
    {
        QFile file(ini);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[preform]\nform_windowstate=2\n");
    }
    delete saleplan::settings_reader;
    saleplan::settings_reader = new TGETFORMSETTING(ini);

    run_main_form(hooks, [&](TFm_saleplan *f) {
        show_month(f, last_month());
        server.reset_calls();
        with_dialog(hooks, f, [&](TFm_inputtime *d) {
            choose(d->cb_fxry, 2);
            ASSERT_EQ(d->cb_fxry->text(), "0011|戊");
            hooks.on_modal([&](QDialog *e) {
                auto *editor = qobject_cast<TFm_edit *>(e);
                ASSERT_NE(editor, nullptr);
                EXPECT_EQ(Fm_edit.data(), editor);
                EXPECT_EQ(editor->parentWidget(), nullptr);
                EXPECT_EQ(editor->window_state(), TFm_Base::WindowState::Normal);
                // The codes are taken over before the editor opens.
                expect_selection(this_month(), "01", "0011");
                EXPECT_EQ(rows_in_view("XHAO00"), (std::vector<std::string>{"1", "2", "3"}));
                EXPECT_EQ(rows_in_view("ZBSL00"), (std::vector<std::string>{"0", "0", "0"}));
                EXPECT_EQ(rows_in_view("RYDM00"), (std::vector<std::string>(3, "0011")));
                EXPECT_EQ(editor->dxDBGrid1->model()->rowCount(), 3);
                EXPECT_FALSE(Fm_inputtime.isNull());  // the dialog waits under the editor
                click(editor->tbexit);
            });
            click(d->BitBtn2);
        });
        EXPECT_TRUE(dialog_gone());

        // One zero row per indicator of the department's plan, product codes empty.
        EXPECT_EQ(server.query("SELECT XHAO00,ZBLB00,ZBMC00,ZBSL00,COALESCE(SPDM00,'null'),COALESCE(SPDM01,'null'),"
                               "COALESCE(ZBLBMC,'null') FROM XSTYZB02 WHERE NYUE00=" +
                               ::quoted(this_month()) + " AND CKDM00='01' AND RYDM00='0011' ORDER BY XHAO00"),
                  (std::vector<std::vector<std::string>>{{"1", "1", "卷烟销量", "0", "null", "null", "null"},
                                                         {"2", "2", "新品铺货", "0", "null", "null", "null"},
                                                         {"3", "2", "终端陈列", "0", "null", "null", "null"}}));
        // Inside the server transaction, once.
        EXPECT_EQ(server.calls("method:CompanydbTranStart"), 1);
        EXPECT_EQ(server.calls("execute:dsp_temp"), 1);
        EXPECT_EQ(server.calls("method:CompanydbTranCommit"), 1);
        EXPECT_EQ(server.calls("method:CompanydbRollback"), 0);
        std::vector<std::string> bracket;
        for (const auto &[kind, text] : server.log())
            if (kind.rfind("method:", 0) == 0 || kind.rfind("execute:", 0) == 0) bracket.push_back(kind + " " + text);
        EXPECT_EQ(bracket, (std::vector<std::string>{"method:CompanydbTranStart ",
                                                     "execute:dsp_temp " +
                                                         generation_statement(this_month(), "01", "0011"),
                                                     "method:CompanydbTranCommit "}));

        // The main form shows the new plan: month, department, salesman, rows.
        expect_selection(this_month(), "01", "0011");
        EXPECT_EQ(saleplan::shown_month, this_month());
        EXPECT_EQ(month_key(f->DateTimePicker1->date()), this_month());
        EXPECT_EQ(f->cb_fxb->text(), "01|东区");
        EXPECT_EQ(f->cb_fxy->text(), "0011|戊");
        EXPECT_EQ(rows_in_view("RYDM00"), (std::vector<std::string>(3, "0011")));
        EXPECT_EQ(f->dxDBGrid1->model()->rowCount(), 3);
        EXPECT_EQ(f->dxDBGrid1->footer_text(f->dxDBGrid1->column_index("dxDBGrid1ZBSL00")), "0");
        f->tbexit->click();
    });
    EXPECT_EQ(modals_of(hooks, "TFm_edit"), 1);
    for (const auto &m : hooks.modals()) EXPECT_FALSE(m.closed_by_hooks) << m.class_name.toStdString();
    EXPECT_TRUE(hooks.messages().empty());
}

TEST_F(GenerationTest, TwoDepartmentPlanRowsAlikeInMonthNumberCategoryAndNameYieldOneSalesmanRow)
{
    const std::string m = ::quoted(this_month());
    server.exec("INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES (" + m +
                ",'02',1,'1','卷烟销量',99)");
    server.exec("INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES (" + m +
                ",'02',1,'1','卷烟销量(新)',80)");
    run_main_form(hooks, [&](TFm_saleplan *f) {
        with_dialog(hooks, f, [&](TFm_inputtime *d) {
            choose(d->cb_ck, 1);
            hooks.on_modal([&](QDialog *e) {
                EXPECT_EQ(rows_in_view("ZBMC00"), (std::vector<std::string>{"卷烟销量", "卷烟销量(新)"}));
                click(static_cast<TFm_edit *>(e)->tbexit);
            });
            click(d->BitBtn2);
        });
        EXPECT_TRUE(dialog_gone());
        f->tbexit->click();
    });
    EXPECT_EQ(modals_of(hooks, "TFm_edit"), 1);
    EXPECT_EQ(plan_rows_of(this_month(), "02", "0010"), "2");
    EXPECT_EQ(count("RYDM00='0010' AND ZBMC00='卷烟销量'"), "1");
    EXPECT_TRUE(hooks.errors().empty());
}

TEST_F(GenerationTest, AFailingGenerationIsRolledBackShownAndKeepsTheDialogOpenWithNothingTakenOver)
{
    server.exec("INSERT INTO GSTRYGL0(RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0011','戊','Y','01')");
    run_main_form(hooks, [&](TFm_saleplan *f) {
        show_month(f, last_month());
        with_dialog(hooks, f, [&](TFm_inputtime *d) {
            QPointer<TFm_inputtime> alive(d);
            choose(d->cb_fxry, 2);
            // Confirms with the calls of `kind` failing (none when empty) and
            // checks that the confirm ended with the error and took nothing over.
            auto confirm_failing = [&](const std::string &kind, const std::string &expected_error) {
                server.reset_calls();
                hooks.clear_messages();
                if (!kind.empty()) server.fail_next(kind);
                click(d->BitBtn2);
                ASSERT_FALSE(alive.isNull());
                EXPECT_TRUE(d->isVisible());
                ASSERT_EQ(hooks.errors().size(), 1u);
                EXPECT_NE(hooks.errors()[0].text.toStdString().find(expected_error), std::string::npos)
                    << hooks.errors()[0].text.toStdString();
                EXPECT_TRUE(hooks.boxes().empty());
                EXPECT_EQ(plan_rows_of(this_month(), "01", "0011"), "0");
                expect_selection(last_month(), "01", "0007");
                EXPECT_TRUE(Fm_edit.isNull());
                EXPECT_EQ(modals_of(hooks, "TFm_edit"), 0);
            };
            // The statement fails: rolled back, the error shown.
            confirm_failing("execute:dsp_temp", "simulated failure of execute:dsp_temp");
            EXPECT_EQ(server.calls("method:CompanydbRollback"), 1);
            EXPECT_EQ(server.calls("method:CompanydbTranCommit"), 0);
            // The transaction cannot begin: nothing is executed.
            confirm_failing("method:CompanydbTranStart", "simulated failure of method:CompanydbTranStart");
            EXPECT_EQ(server.calls("method:CompanydbRollback"), 1);
            EXPECT_EQ(server.calls("execute:dsp_temp"), 0);
            // The commit fails: rolled back.
            confirm_failing("method:CompanydbTranCommit", "simulated failure of method:CompanydbTranCommit");
            EXPECT_EQ(server.calls("method:CompanydbRollback"), 1);
            // The statement and then the roll-back fail: the roll-back's error ends the confirm.
            server.fail_next("method:CompanydbRollback");
            confirm_failing("execute:dsp_temp", "simulated failure of method:CompanydbRollback");
            // The server's transaction was left open: the next confirm cannot
            // begin one, says so, and its roll-back closes the transaction.
            confirm_failing("", "a transaction is already open");
            EXPECT_EQ(server.calls("method:CompanydbRollback"), 1);

            // The dialog is still usable: the next confirm generates.
            hooks.on_modal([&](QDialog *e) {
                EXPECT_EQ(rows_in_view("ZBSL00"), (std::vector<std::string>{"0", "0", "0"}));
                click(static_cast<TFm_edit *>(e)->tbexit);
            });
            click(d->BitBtn2);
        });
        EXPECT_TRUE(dialog_gone());
        expect_selection(this_month(), "01", "0011");
        f->tbexit->click();
    });
    EXPECT_EQ(plan_rows_of(this_month(), "01", "0011"), "3");
    EXPECT_EQ(modals_of(hooks, "TFm_edit"), 1);
}

// A department typed into the box changes the salesman list as it is typed,
// so 确定 (which takes no focus from the box) never generates a plan for a
// salesman of another department than the one typed.
TEST_F(GenerationTest, ATypedDepartmentRefillsTheSalesmenWithoutEnterBeforeTheConfirm)
{
    run_main_form(hooks, [&](TFm_saleplan *f) {
        with_dialog(hooks, f, [&](TFm_inputtime *d) {
            QLineEdit *editor = d->cb_ck->lineEdit();
            ASSERT_NE(editor, nullptr);
            editor->setFocus();
            editor->selectAll();
            QTest::keyClicks(editor, "02|");
            ASSERT_EQ(d->cb_ck->text(), "02|");
            // What the planner sees before pressing anything else.
            EXPECT_EQ(saleplan::dlg_dept_code, "02");
            EXPECT_EQ(d->cb_fxry->items(), (QStringList{"0010|丁"}));
            EXPECT_EQ(d->cb_fxry->text(), "0010|丁");
            hooks.on_modal([&](QDialog *e) {
                EXPECT_EQ(rows_in_view("RYDM00"), (std::vector<std::string>{"0010"}));
                click(static_cast<TFm_edit *>(e)->tbexit);
            });
            click(d->BitBtn2);
        });
        EXPECT_TRUE(dialog_gone());
        f->tbexit->click();
    });
    EXPECT_EQ(plan_rows_of(this_month(), "02", "0010"), "1");
    EXPECT_EQ(plan_rows_of(this_month(), "02", "0007"), "0");
    EXPECT_TRUE(hooks.messages().empty());
}

TEST_F(GenerationTest, HostileTextTypedIntoTheListsChangesNothingInTheDatabase)
{
    const auto before = snapshot();
    const std::string dept = "01' OR '1'='1", salesman = "0007'); DELETE FROM XSTYZB02; --";
    run_main_form(hooks, [&](TFm_saleplan *f) {
        server.reset_calls();
        with_dialog(hooks, f, [&](TFm_inputtime *d) {
            type_into(d->cb_ck, QString::fromStdString(dept + "|x"));
            type_into(d->cb_fxry, QString::fromStdString(salesman + "|y"));
            // Nothing matches the typed codes: the editor opens on an empty plan.
            hooks.on_modal([&](QDialog *e) {
                EXPECT_TRUE(rows_in_view("XHAO00").empty());
                click(static_cast<TFm_edit *>(e)->tbexit);
            });
            click(d->BitBtn2);
        });
        EXPECT_TRUE(dialog_gone());
        f->tbexit->click();
    });
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(modals_of(hooks, "TFm_edit"), 1);
    bool generated = false;
    for (const auto &[kind, text] : server.log())
        if (kind == "execute:dsp_temp") {
            generated = true;
            EXPECT_EQ(text, generation_statement(this_month(), dept, salesman));
        }
    EXPECT_TRUE(generated);
    EXPECT_TRUE(hooks.boxes().empty());
}

// ---------------------------------------------------------------------------
// The generation statement in the server transaction, on both databases

enum class Backend { Sqlite, Postgres };

class GenerationStatementTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        if (GetParam() == Backend::Postgres) {
            if (!testsupport::PgDb::available()) GTEST_SKIP() << "SALEPLAN_TEST_PG is not set";
            pg = std::make_unique<testsupport::PgDb>();
            db = pg->connection_string();
        } else {
            sqlite = std::make_unique<testsupport::SqliteDb>();
            db = sqlite->connection_string();
        }
        for (const char *sql : {
                 "INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01',1,'1','卷烟销量',100)",
                 "INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01',1,'1','卷烟销量',70)",
                 "INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','01',2,'2','新品铺货',50)",
                 "INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200303','02',1,'1','卷烟销量',80)",
                 "INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('200304','01',1,'1','卷烟销量',90)",
             })
            testsupport::exec_sql(db, sql);
        server = std::make_unique<appserver::AppServer>(db);
        remote::set_link_factory(remote::inprocess_link_factory(*server));
        dm = std::make_unique<Tdm_yearplan>();
    }
    void TearDown() override
    {
        dm.reset();
        remote::set_link_factory({});
        server.reset();
    }
    std::vector<std::vector<std::string>> generated_rows()
    {
        return testsupport::query_sql(db, "SELECT NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00,"
                                          "COALESCE(SPDM00,'null'),COALESCE(SPDM01,'null') FROM XSTYZB02 "
                                          "ORDER BY XHAO00");
    }

    std::unique_ptr<testsupport::SqliteDb> sqlite;
    std::unique_ptr<testsupport::PgDb> pg;
    std::string db;
    std::unique_ptr<appserver::AppServer> server;
    std::unique_ptr<Tdm_yearplan> dm;
};

TEST_P(GenerationStatementTest, RunsInsideTheServerTransactionAndCopiesTheDistinctIndicatorsWithQuantityZero)
{
    const std::string statement = generation_statement("200303", "01", "0007");
    // Executed after "CompanydbTranStart", the insert belongs to that
    // transaction: a roll-back takes it back.
    dm->Dcom_cominfo.call_method(server_contract::kTranStart);
    dm->cds_temp.close();
    dm->cds_temp.set_command_text(statement);
    dm->cds_temp.execute();
    dm->Dcom_cominfo.call_method(server_contract::kRollback);
    EXPECT_TRUE(generated_rows().empty());

    run_in_server_transaction(*dm, statement);
    EXPECT_EQ(generated_rows(),
              (std::vector<std::vector<std::string>>{{"200303", "01", "0007", "1", "1", "卷烟销量", "0", "null", "null"},
                                                     {"200303", "01", "0007", "2", "2", "新品铺货", "0", "null", "null"}}));

    // A department without a plan that month inserts nothing and raises nothing.
    run_in_server_transaction(*dm, generation_statement("200303", "03", "0012"));
    EXPECT_EQ(generated_rows().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Databases, GenerationStatementTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const auto &info) { return info.param == Backend::Postgres ? "Postgres" : "Sqlite"; });

}  // namespace
