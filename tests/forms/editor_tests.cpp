// The quantity editor against a seeded in-process server, opened by 编辑 from
// the main form's modal run: what the planner sees, what the Enter and save
// checks refuse, what reaches the database, and what the main form shows
// once the editor has closed.
#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QFile>
#include <QTemporaryDir>
#include <QFontMetrics>
#include <QTest>

#include <gtest/gtest.h>

#include "TAALinkLabel.h"
#include "TDateTimePicker.h"
#include "TFlatComboBox.h"
#include "TdxDBGrid.h"
#include "Unit_Inputtime.h"
#include "Unit_dmYearplan.h"
#include "Unit_edit.h"
#include "Unit_saleplan.h"
#include "form_fixture.h"
#include "module_state.h"
#include "plan_vocabulary.h"
#include "ui.h"
#include "unit_getsetting.h"

using namespace formtest;
using saleplan::dm_yearplan;

namespace {

const QString kEnterRefusal = QStringLiteral("计划数量不能超过剩余计划数量");
const QString kAskSave = QStringLiteral("数据已经改动，是否保存？");

int column_of(TdxDBGrid *grid, const char *name) { return grid->column_index(QString::fromLatin1(name)); }
int qty_column(TFm_edit *e) { return column_of(e->dxDBGrid1, "dxDBGrid1ZBSL00"); }

// Where a key goes: the open cell editor, else the grid.
QWidget *key_target(TFm_edit *e)
{
    if (e->dxDBGrid1->is_editing())
        if (QWidget *editor = e->dxDBGrid1->indexWidget(e->dxDBGrid1->currentIndex())) return editor;
    return e->dxDBGrid1;
}

// The planner types into the current cell (the first key opens the editor).
void type(TFm_edit *e, const QString &text)
{
    for (QChar ch : text) QTest::keyClick(key_target(e), ch.toLatin1());
}

void enter(TFm_edit *e) { QTest::keyClick(key_target(e), Qt::Key_Return); }

// Types a quantity into the quantity cell of a row and presses Enter.
void enter_quantity(TFm_edit *e, int row, const QString &text)
{
    e->dxDBGrid1->setCurrentIndex(e->dxDBGrid1->model()->index(row, qty_column(e)));
    type(e, text);
    enter(e);
}

QString cell(TdxDBGrid *grid, int row, const char *column)
{
    return grid->model()->index(row, column_of(grid, column)).data().toString();
}

int current_row(TFm_edit *e) { return e->dxDBGrid1->currentIndex().row(); }

class EditorTest : public ::testing::Test {
protected:
    void SetUp() override { reset_module_state(); }

    // Runs the main form; `before` runs on it, then 编辑 opens the editor and
    // `steps` drive it (an editor they leave open is closed by the hooks);
    // `after` looks at the main form once the editor is gone.
    void edit(const std::function<void(TFm_saleplan *)> &before, const std::function<void(TFm_edit *)> &steps,
              const std::function<void(TFm_saleplan *)> &after = {})
    {
        bool editor_ran = false;
        run_main_form(hooks, [&](TFm_saleplan *f) {
            if (before) before(f);
            hooks.on_modal([&](QDialog *d) {
                auto *e = qobject_cast<TFm_edit *>(d);
                ASSERT_NE(e, nullptr);
                editor_ran = true;
                steps(e);
            });
            // A selection set by the steps (as the plan month dialog sets
            // it after a generation) is opened the way the dialog opens it;
            // 编辑 opens the selection in force.
            const PlanSelection wanted{saleplan::plan_month, saleplan::dept_code, saleplan::salesman_code};
            if (wanted == saleplan::dm_yearplan->plan_filter_in_force) {
                f->tbedit->click();
            } else {
                auto *editor = new TFm_edit(nullptr);
                saleplan::Fm_edit = editor;
                ui::show_modal(editor);
            }
            // The editor closed by its own command, not by the hooks' safety net...
            ASSERT_GE(hooks.modals().size(), 2u);
            EXPECT_EQ(hooks.modals().back().class_name, "TFm_edit");
            EXPECT_FALSE(hooks.modals().back().closed_by_hooks);
            EXPECT_TRUE(hooks.modals().back().action_error.isEmpty());
            // ... and frees itself.
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            EXPECT_TRUE(saleplan::Fm_edit.isNull()) << "the editor frees itself when it closes";
            if (after) after(f);
            f->tbexit->click();
        });
        EXPECT_TRUE(editor_ran);
    }

    // A quantity of salesman 0007's plan of department 01.
    std::string stored(int xhao, const std::string &month = this_month(), const std::string &salesman = "0007")
    {
        return server.scalar("SELECT ZBSL00 FROM XSTYZB02 WHERE NYUE00='" + month + "' AND CKDM00='01' AND RYDM00='" +
                             salesman + "' AND XHAO00=" + std::to_string(xhao));
    }

    SeededServer server;
    ui::testing::Hooks hooks;
};

// ---- what the planner sees --------------------------------------------------

TEST_F(EditorTest, OpensOnTheSelectedPlanWithHeadingColumnsFooterAndFocusInTheFirstQuantity)
{
    edit({}, [&](TFm_edit *e) {
        EXPECT_EQ(saleplan::Fm_edit.data(), e);
        EXPECT_EQ(e->parentWidget(), saleplan::Fm_saleplan.data());
        EXPECT_EQ(e->windowTitle(), "访销部月计划数量编辑");
        const std::string m = this_month();
        EXPECT_EQ(e->pn_gl->text(), QString::fromStdString(m.substr(0, 4) + "年" + m.substr(4, 2) + "月东区甲销售计划"));
        EXPECT_EQ(e->AAyear->text(), "年度计划");
        EXPECT_EQ(e->AAyear->parentWidget(), e->pn_gl);
        EXPECT_EQ(e->AAyear->pos(), QPoint(TFm_Base::pixels(711), TFm_Base::pixels(8)));
        // On a wider heading strip the centred heading would reach the label:
        // the label moves past it instead of covering it.
        e->pn_gl->resize(1600, e->pn_gl->height());
        const int heading_width = QFontMetrics(e->pn_gl->font()).horizontalAdvance(e->pn_gl->text());
        EXPECT_GT(e->AAyear->x(), (1600 + heading_width) / 2);
        EXPECT_EQ(e->AAyear->y(), TFm_Base::pixels(8));
        EXPECT_EQ(e->color(), QColor(197, 217, 220));
        EXPECT_EQ(e->border_style(), FormWindowStyles::BorderStyle::Dialog);
        EXPECT_EQ(e->align(), FormWindowStyles::Align::Client);

        QStringList visible;
        for (TFlatSpeedButton *b : e->toolbar_buttons())
            if (!b->isHidden()) visible << b->text();
        EXPECT_EQ(visible, (QStringList{"保存", "退出"}));
        EXPECT_LT(e->tbok->x(), e->tbexit->x());

        TdxDBGrid *g = e->dxDBGrid1;
        QStringList headers, editable;
        for (int c = 0; c < g->column_count(); ++c) {
            if (!g->isColumnHidden(c)) headers << g->column(c).shown_caption();
            if (g->model()->index(0, c).flags() & Qt::ItemIsEditable) editable << g->column(c).field_name;
        }
        EXPECT_EQ(headers, (QStringList{"序号", "指标名称", "剩余计划数量(条)", "指标数量(条)"}));
        EXPECT_EQ(editable, QStringList{"ZBSL00"});
        EXPECT_FALSE(g->row_select());

        // Remaining: 100-30, 50-20, 40 (salesman 0008 holds the others' shares).
        ASSERT_EQ(g->model()->rowCount(), 3);
        EXPECT_EQ(cell(g, 0, "dxDBGrid1XHAO00"), "1");
        EXPECT_EQ(cell(g, 0, "dxDBGrid1ZBMC00"), "卷烟销量");
        EXPECT_EQ(cell(g, 0, "dxDBGrid1SHZBSL"), "70");
        EXPECT_EQ(cell(g, 1, "dxDBGrid1SHZBSL"), "30");
        EXPECT_EQ(cell(g, 2, "dxDBGrid1SHZBSL"), "40");
        EXPECT_EQ(cell(g, 0, "dxDBGrid1ZBSL00"), "10");

        const int name = column_of(g, "dxDBGrid1ZBMC00");
        EXPECT_EQ(g->footer_text(name), "合计");
        EXPECT_TRUE(g->footer_alignment(name) & Qt::AlignRight);
        EXPECT_TRUE(g->footer_font(name).bold());
        EXPECT_EQ(g->footer_text(column_of(g, "dxDBGrid1SHZBSL")), "140");
        EXPECT_EQ(g->footer_text(qty_column(e)), "15");

        EXPECT_TRUE(QTest::qWaitFor([&] { return g->hasFocus(); }));
        EXPECT_EQ(g->currentIndex(), g->model()->index(0, qty_column(e)));
        EXPECT_EQ(dm_yearplan->cds_xstyzb02.state(), dataset::State::Edit);
        EXPECT_FALSE(saleplan::data_changed);
        // The editor writes the short date format in its own spelling.
        EXPECT_EQ(saleplan::short_date_format, "yyyy-mm-dd");
        e->tbexit->click();
    });
    EXPECT_TRUE(hooks.boxes().empty());
}

TEST_F(EditorTest, ThePlacementSettingsOfKindBApplyToTheEditorBeforeItShows)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("mis_system.ini");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[mainform]\ncolor=65280\n[preform]\ncolor=255\nform_windowstate=2\n");
    file.close();
    edit(
        [&](TFm_saleplan *) {
            delete saleplan::settings_reader;
            saleplan::settings_reader = new TGETFORMSETTING(path);
        },
        [&](TFm_edit *e) {
            EXPECT_EQ(e->color(), QColor(255, 0, 0));
            EXPECT_EQ(e->window_state(), FormWindowStyles::WindowState::Normal);
            EXPECT_FALSE(e->isMaximized());
            EXPECT_EQ(e->align(), FormWindowStyles::Align::Client);  // not switched off
            e->tbexit->click();
        });
}

TEST_F(EditorTest, TheRemainingQuantitiesComeFromTheQuotedStatement)
{
    server.reset_calls();
    edit({}, [&](TFm_edit *e) {
        const auto &cds = dm_yearplan->CDS_LOOKUP;
        EXPECT_EQ(cds.command_text(), remaining_quantity_statement(this_month(), "01", "0007"));
        EXPECT_NE(cds.command_text().find(" Union all SELECT NYUE00,XHAO00,ZBMC00,NVL(-ZBSL00,0) ZBSL00 FROM XSTYZB02"),
                  std::string::npos);
        e->tbexit->click();
    });
}

TEST_F(EditorTest, TypingFooterAndEditChangeFollowTheQuantity)
{
    edit({}, [&](TFm_edit *e) {
        type(e, "25");
        EXPECT_TRUE(saleplan::data_changed);
        enter(e);
        EXPECT_EQ(e->dxDBGrid1->footer_text(qty_column(e)), "30");  // 25 + 5 + 0
        e->tbok->click();
        EXPECT_FALSE(saleplan::data_changed);
        e->tbexit->click();
    });
    EXPECT_EQ(stored(1), "25");
}

// ---- Enter ------------------------------------------------------------------

TEST_F(EditorTest, EnterAcceptsAQuantityEqualToTheRemainingOneAndTheSaveStoresIt)
{
    edit({}, [&](TFm_edit *e) {
        enter_quantity(e, 0, "70");
        EXPECT_TRUE(hooks.boxes().empty());
        EXPECT_EQ(current_row(e), 1);
        EXPECT_EQ(dm_yearplan->cds_xstyzb02.rec_no(), 1);
        e->tbok->click();
        EXPECT_TRUE(hooks.boxes().empty());
        e->tbexit->click();
    });
    EXPECT_EQ(stored(1), "70");
    EXPECT_EQ(server.calls("apply:dsp_xstyzb02cys"), 1);
}

TEST_F(EditorTest, EnterRefusesAnOverLargeQuantityAndStaysOnTheRowWithTheValueKept)
{
    edit({}, [&](TFm_edit *e) {
        e->dxDBGrid1->setCurrentIndex(e->dxDBGrid1->model()->index(1, qty_column(e)));
        type(e, "31");
        enter(e);
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, kEnterRefusal);
        EXPECT_EQ(hooks.boxes()[0].caption, "警告");
        EXPECT_EQ(hooks.boxes()[0].flags, 48);
        EXPECT_EQ(current_row(e), 1);
        EXPECT_EQ(dm_yearplan->cds_xstyzb02.rec_no(), 1);
        EXPECT_EQ(dm_yearplan->cds_xstyzb02.as_float("ZBSL00"), 31.0);
        EXPECT_EQ(cell(e->dxDBGrid1, 1, "dxDBGrid1ZBSL00"), "31");

        // Corrected on the same row, Enter moves on.
        type(e, "30");
        enter(e);
        EXPECT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(current_row(e), 2);
        e->tbok->click();
        e->tbexit->click();
    });
    EXPECT_EQ(stored(2), "30");
}

TEST_F(EditorTest, OtherKeysAreLeftToTheGrid)
{
    edit({}, [&](TFm_edit *e) {
        QTest::keyClick(e->dxDBGrid1, Qt::Key_Down);
        EXPECT_EQ(current_row(e), 1);
        EXPECT_TRUE(hooks.boxes().empty());
        EXPECT_FALSE(saleplan::data_changed);
        e->tbexit->click();
    });
    EXPECT_TRUE(hooks.boxes().empty());
}

// A plan row whose sequence number the department's plan does not hold has
// nothing left: 0 passes, anything above is refused, at Enter and at save.
TEST_F(EditorTest, ARowWithoutARemainingQuantityAcceptsZeroOnlyAndTheSaveNamesItInGeneralFormat)
{
    server.exec("INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('" + this_month() +
                "','01','0007',12,'2','陈列补贴',NULL)");
    edit({}, [&](TFm_edit *e) {
        TdxDBGrid *g = e->dxDBGrid1;
        ASSERT_EQ(g->model()->rowCount(), 4);
        EXPECT_EQ(cell(g, 3, "dxDBGrid1XHAO00"), "12");
        EXPECT_EQ(cell(g, 3, "dxDBGrid1SHZBSL"), "");

        enter_quantity(e, 3, "0");
        EXPECT_TRUE(hooks.boxes().empty());
        enter_quantity(e, 3, "1");
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, kEnterRefusal);
        EXPECT_EQ(current_row(e), 3);

        server.reset_calls();
        e->tbok->click();
        ASSERT_EQ(hooks.boxes().size(), 2u);
        EXPECT_EQ(hooks.boxes()[1].text, "序号为'12'指标的计划数量超过剩余计划数量，请重新修改");
        EXPECT_EQ(hooks.boxes()[1].flags, 48);
        EXPECT_EQ(server.calls("apply:dsp_xstyzb02cys"), 0);

        enter_quantity(e, 3, "0");
        e->tbok->click();
        EXPECT_EQ(hooks.boxes().size(), 2u);
        e->tbexit->click();
    });
    EXPECT_EQ(stored(12), "0");
}

// ---- save -------------------------------------------------------------------

TEST_F(EditorTest, ASaveWithTwoOverLargeRowsNamesTheFirstSendsNothingAndRestsOnIt)
{
    edit({}, [&](TFm_edit *e) {
        enter_quantity(e, 1, "31");
        enter_quantity(e, 2, "41");
        enter_quantity(e, 0, "60");
        ASSERT_EQ(hooks.boxes().size(), 2u);
        hooks.clear_messages();
        server.reset_calls();

        e->tbok->click();
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, "序号为'2'指标的计划数量超过剩余计划数量，请重新修改");
        EXPECT_EQ(hooks.boxes()[0].caption, "警告");
        EXPECT_EQ(hooks.boxes()[0].flags, 48);
        EXPECT_EQ(server.calls("apply:dsp_xstyzb02cys"), 0);
        EXPECT_EQ(dm_yearplan->cds_xstyzb02.rec_no(), 1);
        EXPECT_EQ(current_row(e), 1);
        EXPECT_TRUE(saleplan::data_changed);
        EXPECT_EQ(cell(e->dxDBGrid1, 0, "dxDBGrid1ZBSL00"), "60");
        hooks.answer(ui::result_no);
        e->tbexit->click();
    });
    EXPECT_EQ(stored(1), "10");
    EXPECT_EQ(stored(2), "5");
    EXPECT_EQ(stored(3), "0");
}

TEST_F(EditorTest, ACleanSaveShowsNothingAndStoresEveryTypedQuantity)
{
    edit({}, [&](TFm_edit *e) {
        enter_quantity(e, 0, "69.5");
        enter_quantity(e, 2, "40");
        server.reset_calls();
        e->tbok->click();
        EXPECT_TRUE(hooks.messages().empty());
        EXPECT_FALSE(saleplan::data_changed);
        EXPECT_EQ(server.calls("apply:dsp_xstyzb02cys"), 1);
        EXPECT_EQ(dm_yearplan->cds_xstyzb02.change_count(), 0);
        EXPECT_EQ(dm_yearplan->cds_xstyzb02.state(), dataset::State::Edit);
        e->tbexit->click();  // nothing left to ask about
    });
    EXPECT_TRUE(hooks.boxes().empty());
    EXPECT_EQ(stored(1), "69.5");
    EXPECT_EQ(stored(2), "5");
    EXPECT_EQ(stored(3), "40");
    EXPECT_EQ(stored(1, this_month(), "0008"), "30");
}

TEST_F(EditorTest, TheValueStillInTheCellEditorIsTakenInBySave)
{
    edit({}, [&](TFm_edit *e) {
        e->dxDBGrid1->setCurrentIndex(e->dxDBGrid1->model()->index(1, qty_column(e)));
        type(e, "12");
        ASSERT_TRUE(e->dxDBGrid1->is_editing());
        e->tbok->click();
        EXPECT_TRUE(hooks.messages().empty());
        EXPECT_FALSE(e->dxDBGrid1->is_editing());
        e->tbexit->click();
    });
    EXPECT_EQ(stored(2), "12");
}

TEST_F(EditorTest, TextThatIsNoNumberIsRefusedAndNothingIsSaved)
{
    edit({}, [&](TFm_edit *e) {
        type(e, "7x");
        server.reset_calls();
        e->tbok->click();
        ASSERT_EQ(hooks.errors().size(), 1u);
        EXPECT_EQ(server.calls("apply:dsp_xstyzb02cys"), 0);
        EXPECT_TRUE(e->isVisible());
        hooks.answer(ui::result_no);
        e->tbexit->click();
    });
    EXPECT_EQ(stored(1), "10");
}

// Another planner changed a row after the editor loaded it: the server
// refuses, nothing of the save is applied, and the typed quantities stay.
TEST_F(EditorTest, AServerRefusalShowsSaveFailedAndAppliesNothing)
{
    edit({}, [&](TFm_edit *e) {
        enter_quantity(e, 0, "20");
        enter_quantity(e, 1, "6");
        server.exec("UPDATE XSTYZB02 SET ZBSL00=11 WHERE NYUE00='" + this_month() +
                    "' AND RYDM00='0007' AND XHAO00=1");
        e->tbok->click();
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, "保存失败");
        EXPECT_EQ(hooks.boxes()[0].caption, "警告");
        EXPECT_EQ(hooks.boxes()[0].flags, 64);
        EXPECT_EQ(stored(1), "11");
        EXPECT_EQ(stored(2), "5");
        // The typed quantities are still there, and still count as changed.
        EXPECT_EQ(cell(e->dxDBGrid1, 0, "dxDBGrid1ZBSL00"), "20");
        EXPECT_EQ(cell(e->dxDBGrid1, 1, "dxDBGrid1ZBSL00"), "6");
        EXPECT_TRUE(saleplan::data_changed);
        hooks.answer(ui::result_no);
        e->tbexit->click();
    });
}

// Another planner saved for another salesman after this editor loaded the
// remaining quantities: the server refuses what no longer fits, says why in
// the details, and the editor shows what is really left; the typed
// quantities stay for the planner to correct.
TEST_F(EditorTest, ASaveOverWhatIsReallyLeftIsRefusedWithTheReasonAndTheRemainingQuantitiesReloaded)
{
    edit({}, [&](TFm_edit *e) {
        // 100 of indicator 1, 30 held by 0008: 70 left when the editor opened.
        EXPECT_EQ(cell(e->dxDBGrid1, 0, "dxDBGrid1SHZBSL"), "70");
        enter_quantity(e, 0, "60");
        server.exec("UPDATE XSTYZB02 SET ZBSL00=50 WHERE NYUE00='" + this_month() +
                    "' AND RYDM00='0008' AND XHAO00=1");
        e->tbok->click();
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, "保存失败");
        EXPECT_EQ(hooks.boxes()[0].caption, "警告");
        EXPECT_EQ(hooks.boxes()[0].flags, 64);
        EXPECT_EQ(hooks.boxes()[0].details, "序号为'1'的指标只剩 50 条可分配");
        EXPECT_EQ(stored(1), "10");
        EXPECT_EQ(cell(e->dxDBGrid1, 0, "dxDBGrid1SHZBSL"), "50");
        EXPECT_EQ(cell(e->dxDBGrid1, 0, "dxDBGrid1ZBSL00"), "60");
        EXPECT_TRUE(saleplan::data_changed);
        // The planner corrects and saves again.
        enter_quantity(e, 0, "50");
        hooks.clear_messages();
        e->tbok->click();
        EXPECT_TRUE(hooks.boxes().empty());
        e->tbexit->click();
    });
    EXPECT_EQ(stored(1), "50");
}

TEST_F(EditorTest, EnterRefusesANegativeQuantityWithAMessageOfItsOwn)
{
    edit({}, [&](TFm_edit *e) {
        enter_quantity(e, 1, "-3");
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, "计划数量不能为负数");
        EXPECT_EQ(hooks.boxes()[0].caption, "警告");
        EXPECT_EQ(hooks.boxes()[0].flags, 48);
        EXPECT_EQ(current_row(e), 1) << "the cursor stays on the row";
        hooks.answer(ui::result_no);
        e->tbexit->click();
    });
    EXPECT_EQ(stored(2), "5");
}

TEST_F(EditorTest, AFailingApplyCallIsShownAndTheEditorStaysOpen)
{
    edit({}, [&](TFm_edit *e) {
        enter_quantity(e, 0, "20");
        server.fail_next("apply:dsp_xstyzb02cys");
        e->tbok->click();
        ASSERT_EQ(hooks.errors().size(), 1u);
        EXPECT_TRUE(e->isVisible());
        EXPECT_EQ(cell(e->dxDBGrid1, 0, "dxDBGrid1ZBSL00"), "20");
        e->tbok->click();
        EXPECT_EQ(hooks.messages().size(), 1u);
        e->tbexit->click();
    });
    EXPECT_EQ(stored(1), "20");
}

// ---- no rows ----------------------------------------------------------------

TEST_F(EditorTest, WithoutRowsTheGridIsEmptyAndASaveSendsNothing)
{
    edit(
        [&](TFm_saleplan *) { saleplan::salesman_code = "0009"; },
        [&](TFm_edit *e) {
            EXPECT_EQ(e->dxDBGrid1->model()->rowCount(), 0);
            type(e, "5");
            enter(e);
            EXPECT_EQ(e->dxDBGrid1->model()->rowCount(), 0);
            server.reset_calls();
            e->tbok->click();
            EXPECT_TRUE(hooks.messages().empty());
            EXPECT_EQ(server.calls("apply:dsp_xstyzb02cys"), 0);
            EXPECT_EQ(dm_yearplan->cds_xstyzb02.record_count(), 0);
            e->tbexit->click();
        });
    EXPECT_EQ(server.scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE RYDM00='0009'"), "0");
    EXPECT_TRUE(hooks.boxes().empty());
}

// ---- exit -------------------------------------------------------------------

TEST_F(EditorTest, ExitRightAfterOpeningAsksNothingEvenAfterEnterWithoutTyping)
{
    edit({}, [&](TFm_edit *e) {
        enter(e);  // opens the cell editor with its value
        enter(e);  // takes the unchanged value in and moves on
        EXPECT_EQ(current_row(e), 2);
        EXPECT_EQ(dm_yearplan->cds_xstyzb02.change_count(), 0);
        e->tbexit->click();
        EXPECT_FALSE(e->isVisible());
    });
    EXPECT_TRUE(hooks.boxes().empty());
    EXPECT_EQ(server.calls("apply:dsp_xstyzb02cys"), 0);
}

TEST_F(EditorTest, ExitCancelKeepsTheEditorOpenWithItsEdit)
{
    edit({}, [&](TFm_edit *e) {
        enter_quantity(e, 0, "33");
        hooks.answer(ui::result_cancel);
        e->tbexit->click();
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, kAskSave);
        EXPECT_EQ(hooks.boxes()[0].caption, "警告");
        EXPECT_EQ(hooks.boxes()[0].flags, 547);
        EXPECT_TRUE(e->isVisible());
        EXPECT_FALSE(saleplan::Fm_edit.isNull());
        EXPECT_EQ(cell(e->dxDBGrid1, 0, "dxDBGrid1ZBSL00"), "33");
        EXPECT_TRUE(saleplan::data_changed);

        // Yes now saves and closes.
        hooks.answer(ui::result_yes);
        e->tbexit->click();
        EXPECT_EQ(hooks.boxes().size(), 2u);
    });
    EXPECT_EQ(stored(1), "33");
}

TEST_F(EditorTest, ExitNoClosesAndDropsTheTypedQuantities)
{
    edit({}, [&](TFm_edit *e) {
        enter_quantity(e, 0, "33");
        hooks.answer(ui::result_no);
        e->tbexit->click();
    },
         [&](TFm_saleplan *) {
             EXPECT_EQ(dm_yearplan->cds_xstyzb02.change_count(), 0);
             EXPECT_EQ(rows_in_view("ZBSL00"), (std::vector<std::string>{"10", "5", "0"}));
         });
    EXPECT_EQ(hooks.boxes().size(), 1u);
    EXPECT_EQ(stored(1), "10");
}

// Mend: Exit → Yes closes only when the save went through.
TEST_F(EditorTest, ExitYesWithAnOverLargeRowShowsTheSaveMessageAndKeepsTheEditorOpen)
{
    edit({}, [&](TFm_edit *e) {
        enter_quantity(e, 0, "50");
        enter_quantity(e, 1, "31");
        hooks.clear_messages();
        hooks.answer(ui::result_yes);
        e->tbexit->click();
        ASSERT_EQ(hooks.boxes().size(), 2u);
        EXPECT_EQ(hooks.boxes()[0].text, kAskSave);
        EXPECT_EQ(hooks.boxes()[1].text, "序号为'2'指标的计划数量超过剩余计划数量，请重新修改");
        EXPECT_TRUE(e->isVisible());
        EXPECT_EQ(cell(e->dxDBGrid1, 0, "dxDBGrid1ZBSL00"), "50");
        EXPECT_EQ(cell(e->dxDBGrid1, 1, "dxDBGrid1ZBSL00"), "31");
        EXPECT_EQ(server.calls("apply:dsp_xstyzb02cys"), 0);

        enter_quantity(e, 1, "29");
        hooks.answer(ui::result_yes);
        e->tbexit->click();
        EXPECT_EQ(hooks.boxes().size(), 3u);
    });
    EXPECT_EQ(stored(1), "50");
    EXPECT_EQ(stored(2), "29");
}

// Mend: after 保存失败 the editor still counts as changed, so exit asks
// again and Yes does not close over a failed save.
TEST_F(EditorTest, AfterSaveFailedExitAsksAgainAndYesKeepsTheEditorOpen)
{
    edit({}, [&](TFm_edit *e) {
        enter_quantity(e, 0, "20");
        server.exec("UPDATE XSTYZB02 SET ZBSL00=11 WHERE NYUE00='" + this_month() +
                    "' AND RYDM00='0007' AND XHAO00=1");
        e->tbok->click();
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, "保存失败");

        hooks.answer(ui::result_yes);
        e->tbexit->click();
        ASSERT_EQ(hooks.boxes().size(), 3u);
        EXPECT_EQ(hooks.boxes()[1].text, kAskSave);
        EXPECT_EQ(hooks.boxes()[2].text, "保存失败");
        EXPECT_TRUE(e->isVisible());
        EXPECT_EQ(cell(e->dxDBGrid1, 0, "dxDBGrid1ZBSL00"), "20");

        hooks.answer(ui::result_no);
        e->tbexit->click();
        EXPECT_EQ(hooks.boxes().size(), 4u);
    });
    EXPECT_EQ(stored(1), "11");
}

// ---- opened for another month or from the plan month dialog -----------------

// Mend: the remaining quantities are those of the month being edited, not
// of the month the main form shows.
TEST_F(EditorTest, RemainingQuantitiesAreThoseOfThePlanMonthWhenItDiffersFromTheShownOne)
{
    // Last month another salesman holds 25 of indicator 1 (90 planned).
    server.exec("INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('" + last_month() +
                "','01','0008',1,'1','卷烟销量',25)");
    edit([&](TFm_saleplan *) { saleplan::plan_month = last_month(); },
         [&](TFm_edit *e) {
             // The view now holds the month being edited.
             EXPECT_EQ(saleplan::shown_month, last_month());
             ASSERT_EQ(e->dxDBGrid1->model()->rowCount(), 1);
             EXPECT_EQ(cell(e->dxDBGrid1, 0, "dxDBGrid1ZBSL00"), "9");
             EXPECT_EQ(cell(e->dxDBGrid1, 0, "dxDBGrid1SHZBSL"), "65");
             EXPECT_EQ(dm_yearplan->CDS_LOOKUP.command_text(),
                       remaining_quantity_statement(last_month(), "01", "0007"));
             const std::string m = last_month();
             EXPECT_EQ(e->pn_gl->text(),
                       QString::fromStdString(m.substr(0, 4) + "年" + m.substr(4, 2) + "月东区甲销售计划"));
             // This month 70 would be left; last month only 65 is.
             enter_quantity(e, 0, "66");
             EXPECT_EQ(hooks.boxes().size(), 1u);
             enter_quantity(e, 0, "65");
             EXPECT_EQ(hooks.boxes().size(), 1u);
             e->tbok->click();
             EXPECT_EQ(hooks.boxes().size(), 1u);
             e->tbexit->click();
         });
    EXPECT_EQ(stored(1, last_month()), "65");
    EXPECT_EQ(stored(1), "10");
}

// Mend: opened from the plan month dialog, the heading names the department
// and salesman being edited, from the dialog's lists.
TEST_F(EditorTest, FromThePlanMonthDialogTheHeadingNamesTheSalesmanBeingEdited)
{
    std::unique_ptr<TFm_inputtime> dialog;
    edit(
        [&](TFm_saleplan *f) {
            dialog = std::make_unique<TFm_inputtime>();
            saleplan::Fm_inputtime = dialog.get();
            dialog->cb_ck->addItem("01|东区");
            dialog->cb_ck->addItem("02|西区");
            dialog->cb_ck->setText("01|东区");  // shows another item than the one in force
            dialog->cb_fxry->addItem("0010|丁");
            dialog->cb_fxry->setText("0010|丁");
            saleplan::dept_code = "02";
            saleplan::salesman_code = "0010";
            EXPECT_EQ(f->cb_fxb->text(), "01|东区");
            EXPECT_EQ(f->cb_fxy->text(), "0007|甲");
        },
        [&](TFm_edit *e) {
            const std::string m = this_month();
            EXPECT_EQ(e->pn_gl->text(), QString::fromStdString(m.substr(0, 4) + "年" + m.substr(4, 2) + "月西区丁销售计划"));
            e->tbexit->click();
        });
    saleplan::Fm_inputtime = nullptr;
}

TEST_F(EditorTest, FromTheMainFormTheHeadingTakesTheNamesOfTheCodesInForce)
{
    edit([&](TFm_saleplan *f) { f->cb_fxy->setText("0008|乙"); },  // a shown text that is not in force
         [&](TFm_edit *e) {
             EXPECT_TRUE(e->pn_gl->text().endsWith("月东区甲销售计划")) << e->pn_gl->text().toStdString();
             e->tbexit->click();
         });
}

TEST(EditorHeading, ComposedFromMonthAndNames)
{
    EXPECT_EQ(TFm_edit::compose_heading("200303", "东区", "甲"), "2003年03月东区甲销售计划");
    EXPECT_EQ(TFm_edit::compose_heading("200311", "", ""), "2003年11月销售计划");
}

// ---- close ------------------------------------------------------------------

// Mend: after the close, the main form shows the plan just edited: its
// lists, its picker and its rows, not the first items the refill showed.
TEST_F(EditorTest, AfterCloseTheMainFormShowsThePlanJustEdited)
{
    server.exec("INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES ('" + last_month() +
                "','01','0008',1,'1','卷烟销量',25)");
    edit(
        [&](TFm_saleplan *f) {
            // The plan month dialog's choice: last month, department 01, salesman 0008.
            ASSERT_EQ(f->cb_fxy->items().indexOf("0008|乙"), 1);
            saleplan::plan_month = last_month();
            saleplan::salesman_code = "0008";
            server.reset_calls();
        },
        [&](TFm_edit *e) {
            ASSERT_EQ(e->dxDBGrid1->model()->rowCount(), 1);
            enter_quantity(e, 0, "81");  // 90 less 0007's 9
            e->tbok->click();
            EXPECT_TRUE(hooks.boxes().empty());
            e->tbexit->click();
        },
        [&](TFm_saleplan *f) {
            EXPECT_EQ(f->cb_fxb->text(), "01|东区");
            EXPECT_EQ(f->cb_fxy->text(), "0008|乙");
            EXPECT_EQ(f->cb_fxy->items(), (QStringList{"0007|甲", "0008|乙"}));
            EXPECT_EQ(month_key(f->DateTimePicker1->date()), last_month());
            EXPECT_EQ(saleplan::shown_month, last_month());
            EXPECT_EQ(saleplan::plan_month, last_month());
            EXPECT_EQ(saleplan::dept_code, "01");
            EXPECT_EQ(saleplan::salesman_code, "0008");
            EXPECT_EQ(dm_yearplan->plan_filter_in_force, (PlanSelection{last_month(), "01", "0008"}));
            EXPECT_EQ(rows_in_view("ZBSL00"), std::vector<std::string>{"81"});
            EXPECT_EQ(f->dxDBGrid1->model()->rowCount(), 1);
            EXPECT_EQ(f->dxDBGrid1->footer_text(column_of(f->dxDBGrid1, "dxDBGrid1ZBSL00")), "81");
            // The close refilled the lists and fetched the plan rows again.
            EXPECT_GE(server.calls("records:dsp_xstyzb02cys"), 2);

            // A key let go in the picker keeps the salesman in force.
            QTest::keyRelease(f->DateTimePicker1, Qt::Key_Right);
            EXPECT_EQ(saleplan::salesman_code, "0008");
            EXPECT_EQ(rows_in_view("ZBSL00"), std::vector<std::string>{"81"});
        });
    EXPECT_EQ(stored(1, last_month(), "0008"), "81");
}

TEST_F(EditorTest, EveryShowingActivatesOnceAndTheMainFormGetsTheEditorsRowsBack)
{
    int shown = 0;
    run_main_form(hooks, [&](TFm_saleplan *f) {
        for (const char *qty : {"21", "22"}) {
            hooks.on_modal([&, qty](QDialog *d) {
                auto *e = static_cast<TFm_edit *>(d);
                ++shown;
                EXPECT_TRUE(e->activated());
                EXPECT_EQ(cell(e->dxDBGrid1, 0, "dxDBGrid1ZBSL00"), shown == 1 ? "10" : "21");
                enter_quantity(e, 0, qty);
                e->tbok->click();
                e->tbexit->click();
            });
            f->tbedit->click();
        }
        EXPECT_EQ(rows_in_view("ZBSL00"), (std::vector<std::string>{"22", "5", "0"}));
        f->tbexit->click();
    });
    EXPECT_EQ(shown, 2);
    EXPECT_EQ(hooks.modal_count(), 3);
    EXPECT_TRUE(hooks.boxes().empty());
}

}  // namespace

// ---- the keyboard ------------------------------------------------------------

// Enter posts the row before it checks it: a refused quantity stays in the
// dataset as a pending change, not in an open edit.
TEST_F(EditorTest, EnterPostsTheRowAlsoWhenItRefusesTheQuantity)
{
    edit({}, [&](TFm_edit *e) {
        enter_quantity(e, 0, "71");  // 70 are left
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, kEnterRefusal);
        EXPECT_EQ(dm_yearplan->cds_xstyzb02.state(), dataset::State::Browse);
        EXPECT_EQ(dm_yearplan->cds_xstyzb02.change_count(), 1);
        EXPECT_EQ(current_row(e), 0);
        hooks.answer(ui::result_no);
        e->tbexit->click();
    });
}

// After a save that went through, the cursor is back on the first row.
TEST_F(EditorTest, ASaveGoesBackToTheFirstRow)
{
    edit({}, [&](TFm_edit *e) {
        enter_quantity(e, 2, "40");
        e->tbok->click();
        EXPECT_TRUE(hooks.boxes().empty());
        EXPECT_EQ(dm_yearplan->cds_xstyzb02.rec_no(), 0);
        EXPECT_EQ(current_row(e), 0);
        e->tbexit->click();
    });
    EXPECT_EQ(stored(3), "40");
}

// Ctrl+Delete deletes the current row after the confirmation; the deletion
// is sent with the next save, and only then.
TEST_F(EditorTest, CtrlDeleteDeletesTheRowWithTheNextSave)
{
    edit({}, [&](TFm_edit *e) {
        TdxDBGrid *g = e->dxDBGrid1;
        g->setCurrentIndex(g->model()->index(1, qty_column(e)));
        server.reset_calls();
        hooks.answer(ui::result_cancel);
        QTest::keyClick(g, Qt::Key_Delete, Qt::ControlModifier);
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, QStringLiteral("确实要删除该条记录吗？"));
        EXPECT_EQ(hooks.boxes()[0].flags, 33);
        EXPECT_EQ(g->model()->rowCount(), 3);

        hooks.answer(ui::result_ok);
        QTest::keyClick(g, Qt::Key_Delete, Qt::ControlModifier);
        EXPECT_EQ(g->model()->rowCount(), 2);
        EXPECT_EQ(cell(g, 1, "dxDBGrid1ZBMC00"), "终端陈列");
        EXPECT_EQ(server.total_calls(), 0);
        EXPECT_TRUE(saleplan::data_changed);

        // Ctrl+S is 保存 (shortcuts work in the active window).
        e->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(e));
        EXPECT_EQ(e->tbok->toolTip(), QStringLiteral("保存 (Ctrl+S)"));
        QTest::keyClick(g, Qt::Key_S, Qt::ControlModifier);
        // A shortcut presses its button visibly, a moment later.
        QTest::qWaitFor([&] { return server.calls("apply:dsp_xstyzb02cys") > 0; }, 2000);
        EXPECT_EQ(server.calls("apply:dsp_xstyzb02cys"), 1);
        EXPECT_EQ(hooks.boxes().size(), 2u);
        e->tbexit->click();
    });
    EXPECT_EQ(stored(2), "");
    EXPECT_EQ(stored(1), "10");
    EXPECT_EQ(stored(3), "0");
    EXPECT_EQ(server.scalar("SELECT COUNT(*) FROM XSTYZB02 WHERE RYDM00='0008'"), "2");
}

// Escape and Alt+F4 are 退出, with its question when something changed.
TEST_F(EditorTest, EscapeAndAltF4AskLikeTheExitButton)
{
    edit({}, [&](TFm_edit *e) {
        enter_quantity(e, 0, "20");
        hooks.answer(ui::result_cancel);
        QTest::keyClick(e->dxDBGrid1, Qt::Key_Escape);
        ASSERT_EQ(hooks.boxes().size(), 1u);
        EXPECT_EQ(hooks.boxes()[0].text, kAskSave);
        EXPECT_EQ(hooks.boxes()[0].flags, 547);
        EXPECT_TRUE(e->isVisible());
        hooks.answer(ui::result_yes);
        e->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(e));
        QTest::keyClick(e->dxDBGrid1, Qt::Key_F4, Qt::AltModifier);
        EXPECT_EQ(hooks.boxes().size(), 2u);
    });
    EXPECT_EQ(stored(1), "20");
}
