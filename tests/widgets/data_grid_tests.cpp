// The data grid against client datasets served from memory: columns and
// widths, the footer and its drawing hook, the key-down and edit-change
// hooks, cell editing, cursor following and the column filter.
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QSignalSpy>
#include <QTimer>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "TdxDBGrid.h"
#include "client_dataset.h"
#include "remote_connection.h"

namespace {

using wire::Value;

struct MemoryServer {
    std::map<std::string, wire::DataPacket> packets;  // by command text
    std::vector<wire::Delta> applied;
};

class MemoryLink : public remote::Link {
public:
    explicit MemoryLink(MemoryServer *server) : server_(server) {}
    wire::DataPacket get_records(const std::string &, const std::string &command_text) override
    {
        return server_->packets.at(command_text);
    }
    std::int64_t execute(const std::string &, const std::string &) override { return 0; }
    wire::ApplyResult apply_updates(const std::string &, const wire::Delta &delta, int) override
    {
        server_->applied.push_back(delta);
        return {};
    }
    void call_method(const std::string &) override {}

private:
    MemoryServer *server_;
};

wire::DataPacket plan_packet()
{
    wire::DataPacket p;
    p.fields = {{"NYUE00", wire::FieldType::String, 6},
                {"XHAO00", wire::FieldType::Float, 0},
                {"ZBMC00", wire::FieldType::String, 40},
                {"ZBSL00", wire::FieldType::Float, 0}};
    p.rows = {{std::string("200303"), 1.0, std::string("卷烟"), 10.0},
              {std::string("200303"), 2.0, std::string("啤酒"), 2.5},
              {std::string("200303"), 3.0, std::string("卷烟"), Value{}},
              {std::string("200304"), 1.0, std::string("卷烟"), 7.0},
              {std::string("200303"), 4.0, std::string("a'b"), 1.0}};
    p.row_ids = {1, 2, 3, 4, 5};
    return p;
}

wire::DataPacket remaining_packet()
{
    wire::DataPacket p;
    p.fields = {{"XHAO00", wire::FieldType::Float, 0}, {"ZBSL00", wire::FieldType::Float, 0}};
    p.rows = {{1.0, 20.0}, {2.0, 2.0}, {3.0, 5.0}};
    return p;
}

TdxDBGridColumn col(const char *name, const char *field, const QString &caption, bool visible, int width,
                    bool read_only, SummaryKind summary = SummaryKind::None)
{
    TdxDBGridColumn c;
    c.name = QString::fromLatin1(name);
    c.field_name = QString::fromLatin1(field);
    c.caption = caption;
    c.visible = visible;
    c.width = width;
    c.read_only = read_only;
    c.summary_kind = summary;
    return c;
}

enum Col { NIAN00, XHAO00, ZBLB00, ZBMC00, SHZBSL, ZBSL00 };

class GridTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.packets[""] = plan_packet();
        server.packets["remaining"] = remaining_packet();
        remote::set_link_factory([this](const remote::ServerObject &, const std::string &) {
            return std::make_unique<MemoryLink>(&server);
        });
        connection = std::make_unique<remote::RemoteConnection>(remote::cust_object());
        lookup = std::make_unique<dataset::ClientDataset>("CDS_LOOKUP");
        lookup->set_connection(connection.get());
        lookup->set_command_text("remaining");
        lookup->open();
        plan = std::make_unique<dataset::ClientDataset>("cds_xstyzb02");
        plan->set_connection(connection.get());
        plan->add_lookup_field({"SHZBSL", wire::FieldType::Float, lookup.get(), "XHAO00", "XHAO00", "ZBSL00"});
        plan->open();
        source.set_dataset(plan.get());

        grid = std::make_unique<TdxDBGrid>();
        grid->set_columns({col("dxDBGrid1NIAN00", "NIAN00", "年度", false, 49, true),
                           col("dxDBGrid1XHAO00", "XHAO00", "序号", true, 60, true),
                           col("dxDBGrid1ZBLB00", "ZBLB00", "", false, 34, true),
                           col("dxDBGrid1ZBMC00", "ZBMC00", "指标名称", true, 98, true, SummaryKind::Count),
                           col("dxDBGrid1SHZBSL", "SHZBSL", "剩余计划数量(条)", true, 113, true, SummaryKind::Sum),
                           col("dxDBGrid1ZBSL00", "ZBSL00", "指标数量(条)", true, 97, false, SummaryKind::Sum)});
        grid->set_data_source(&source);
        grid->set_show_footer(true);
        grid->resize(600, 300);
    }

    void TearDown() override
    {
        grid.reset();
        plan.reset();
        lookup.reset();
        connection.reset();
        remote::set_link_factory({});
    }

    void show_and_focus()
    {
        grid->show();
        grid->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(grid.get()));
        grid->setFocus();
        ASSERT_TRUE(QTest::qWaitFor([&] { return grid->hasFocus(); }));
    }

    QWidget *focus() const { return QApplication::focusWidget() ? QApplication::focusWidget() : grid.get(); }
    void key(Qt::Key k) { QTest::keyClick(focus(), k); }
    void type(const QString &text)
    {
        for (QChar ch : text) QTest::keyClick(focus(), ch.toLatin1());
    }
    void go_to(int row, int column) { grid->setCurrentIndex(grid->model()->index(row, column)); }
    bool editing() const { return grid->is_editing(); }
    QString cell(int row, int column) const { return grid->model()->index(row, column).data().toString(); }

    MemoryServer server;
    std::unique_ptr<remote::RemoteConnection> connection;
    std::unique_ptr<dataset::ClientDataset> lookup;
    std::unique_ptr<dataset::ClientDataset> plan;
    dataset::DataSource source;
    std::unique_ptr<TdxDBGrid> grid;
};

// ---- columns ---------------------------------------------------------------

TEST_F(GridTest, HeadersShowCaptionsOrTheFieldNameCentred)
{
    auto *m = grid->model();
    EXPECT_EQ(m->headerData(ZBMC00, Qt::Horizontal).toString(), QString("指标名称"));
    EXPECT_EQ(m->headerData(ZBLB00, Qt::Horizontal).toString(), QString("ZBLB00"));
    EXPECT_EQ(m->headerData(XHAO00, Qt::Horizontal, Qt::TextAlignmentRole).value<Qt::Alignment>(), Qt::AlignCenter);
    grid->set_column_caption(ZBLB00, "指标类别");
    EXPECT_EQ(m->headerData(ZBLB00, Qt::Horizontal).toString(), QString("指标类别"));
    EXPECT_EQ(grid->column_index("dxdbgrid1zbsl00"), ZBSL00);
    EXPECT_EQ(grid->column_index("nothing"), -1);
}

TEST_F(GridTest, VisibleColumnsShareTheWidthInProportionAndHiddenOnesTakeNone)
{
    show_and_focus();
    const int total_design = 60 + 98 + 113 + 97;
    auto check = [&] {
        const int w = grid->viewport()->width();
        int sum = 0;
        for (int c : {XHAO00, ZBMC00, SHZBSL, ZBSL00}) sum += grid->columnWidth(c);
        EXPECT_EQ(sum, w);
        EXPECT_NEAR(grid->columnWidth(XHAO00), 60.0 * w / total_design, 1.0);
        EXPECT_NEAR(grid->columnWidth(SHZBSL), 113.0 * w / total_design, 1.0);
        EXPECT_TRUE(grid->isColumnHidden(NIAN00));
        EXPECT_TRUE(grid->isColumnHidden(ZBLB00));
    };
    check();
    grid->resize(900, 300);
    ASSERT_TRUE(QTest::qWaitFor([&] { return grid->viewport()->width() > 800; }));
    check();
    grid->set_column_visible(XHAO00, false);
    const int w = grid->viewport()->width();
    EXPECT_NEAR(grid->columnWidth(ZBMC00), 98.0 * w / (98 + 113 + 97), 1.0);
}

TEST_F(GridTest, CellsShowDatasetValuesAndLookupValues)
{
    EXPECT_EQ(grid->model()->rowCount(), 5);
    EXPECT_EQ(cell(0, ZBMC00), QString("卷烟"));
    EXPECT_EQ(cell(1, ZBSL00), QString("2.5"));
    EXPECT_EQ(cell(0, XHAO00), QString("1"));
    EXPECT_EQ(cell(0, SHZBSL), QString("20"));
    EXPECT_EQ(cell(2, ZBSL00), QString(""));   // empty value
    EXPECT_EQ(cell(4, SHZBSL), QString(""));   // no remaining row for 4
}

TEST_F(GridTest, ColumnWhoseFieldIsMissingShowsNothingAndTakesNoInput)
{
    grid->set_column_visible(NIAN00, true);
    grid->set_column_summary(NIAN00, SummaryKind::Sum);
    EXPECT_EQ(cell(0, NIAN00), QString());
    EXPECT_FALSE(grid->model()->flags(grid->model()->index(0, NIAN00)) & Qt::ItemIsEditable);
    EXPECT_EQ(grid->footer_text(NIAN00), QString());
    EXPECT_FALSE(grid->set_column_filter(NIAN00, "2003"));
    EXPECT_EQ(plan->record_count(), 5);
}

// ---- footer ----------------------------------------------------------------

TEST_F(GridTest, FooterCountsAndSumsTheRowsInViewAndFollowsChanges)
{
    EXPECT_EQ(grid->footer_text(ZBMC00), QString("5"));
    EXPECT_EQ(grid->footer_text(ZBSL00), QString("20.5"));  // 10 + 2.5 + empty + 7 + 1
    EXPECT_EQ(grid->footer_text(SHZBSL), QString("47"));    // 20 + 2 + 5 + 20 + empty
    EXPECT_EQ(grid->footer_text(XHAO00), QString());        // no summary

    plan->move_to(1);
    plan->set_value("ZBSL00", 4.0);  // edit buffer counts at once
    EXPECT_EQ(grid->footer_text(ZBSL00), QString("22"));
    plan->post();
    EXPECT_EQ(grid->footer_text(ZBSL00), QString("22"));

    plan->set_filter("NYUE00='200303'");
    plan->set_filtered(true);
    EXPECT_EQ(grid->footer_text(ZBMC00), QString("4"));
    EXPECT_EQ(grid->footer_text(ZBSL00), QString("15"));
    EXPECT_EQ(grid->model()->rowCount(), 4);
}

TEST_F(GridTest, FooterIsShownUnderTheRowsOnlyWhenAskedFor)
{
    show_and_focus();
    QWidget *footer = grid->footer_widget();
    EXPECT_TRUE(footer->isVisible());
    EXPECT_EQ(footer->geometry().bottom(), grid->viewport()->height() - 1);
    EXPECT_EQ(footer->width(), grid->viewport()->width());
    // A row that would lie under the footer is scrolled up above it.
    grid->resize(400, grid->horizontalHeader()->height() + grid->rowHeight(0) * 3 + 4);
    ASSERT_TRUE(QTest::qWaitFor([&] { return grid->verticalScrollBar()->maximum() > 0; }));
    go_to(4, XHAO00);
    EXPECT_LE(grid->visualRect(grid->model()->index(4, XHAO00)).bottom(), footer->geometry().top());
    EXPECT_EQ(footer->geometry().bottom(), grid->viewport()->height() - 1);

    grid->set_show_footer(false);
    EXPECT_FALSE(footer->isVisible());
}

TEST_F(GridTest, DrawingHookChangesTextAlignmentAndWeight)
{
    QFont base = grid->footer_base_font();
    base.setItalic(true);
    grid->set_footer_font(base);
    int calls = 0;
    grid->set_draw_summary_footer(ZBMC00, [&](FooterCell &c) {
        ++calls;
        c.text = "合计";
        c.alignment = Qt::AlignRight | Qt::AlignVCenter;
        c.font.setBold(true);
    });
    EXPECT_EQ(grid->footer_text(ZBMC00), QString("合计"));
    EXPECT_TRUE(grid->footer_alignment(ZBMC00) & Qt::AlignRight);
    EXPECT_TRUE(grid->footer_font(ZBMC00).bold());
    EXPECT_TRUE(grid->footer_font(ZBMC00).italic());  // other style flags kept
    EXPECT_FALSE(grid->footer_font(ZBSL00).bold());   // other columns untouched
    EXPECT_EQ(grid->footer_text(ZBSL00), QString("20.5"));

    show_and_focus();
    calls = 0;
    grid->footer_widget()->grab();  // painting runs the hook
    EXPECT_GE(calls, 1);
}

// ---- editing and hooks -----------------------------------------------------

TEST_F(GridTest, EnterTakesTypedTextIntoTheDatasetBeforeTheKeyDownHook)
{
    show_and_focus();
    std::vector<std::pair<int, Value>> seen;  // key code, ZBSL00 when the hook ran
    grid->onKeyDown = [&](QKeyEvent *e) {
        seen.emplace_back(TdxDBGrid::key_code(e), plan->value("ZBSL00"));
        if (TdxDBGrid::key_code(e) == 13) {
            plan->post();
            plan->next();
        }
    };
    go_to(0, ZBSL00);
    type("75");
    ASSERT_TRUE(editing());
    key(Qt::Key_Return);

    ASSERT_EQ(seen.size(), 3u);  // each key once, also those typed into the editor
    EXPECT_EQ(seen[0].first, '7');
    EXPECT_EQ(seen[2].first, 13);
    EXPECT_EQ(seen[2].second, Value{75.0});
    EXPECT_EQ(wire::value_to_text(plan->value_at(0, plan->field_index("ZBSL00"))), "75");
    EXPECT_EQ(plan->change_count(), 1);
    EXPECT_EQ(plan->rec_no(), 1);
    EXPECT_EQ(grid->currentIndex().row(), 1);
    EXPECT_FALSE(editing());

    // Enter without an open editor: hook, then the editor opens on the cell.
    key(Qt::Key_Return);
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_TRUE(editing());
    EXPECT_EQ(grid->currentIndex().row(), 2);  // the hook moved on before the editor opened

    // Enter sent to the grid itself while the editor is open is the editor's Enter.
    auto *editor = qobject_cast<QLineEdit *>(focus());
    ASSERT_NE(editor, nullptr);
    editor->setText("4");
    QTest::keyClick(grid.get(), Qt::Key_Return);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[4].second, Value{4.0});
    EXPECT_FALSE(editing());
    EXPECT_EQ(plan->rec_no(), 3);
}

TEST_F(GridTest, EditChangeFiresPerTypedCharacterOnly)
{
    show_and_focus();
    int changes = 0;
    grid->onEditChange = [&] { ++changes; };
    go_to(0, ZBSL00);
    key(Qt::Key_Return);  // opens the editor with the value; no change yet
    ASSERT_TRUE(editing());
    EXPECT_EQ(changes, 0);
    type("123");
    EXPECT_EQ(changes, 3);
    key(Qt::Key_Backspace);
    EXPECT_EQ(changes, 4);
    key(Qt::Key_Escape);
    plan->set_value("ZBSL00", 9.0);  // a change by program
    plan->post();
    EXPECT_EQ(changes, 4);
    EXPECT_EQ(cell(0, ZBSL00), QString("9"));
}

TEST_F(GridTest, ReadOnlyAndLookupColumnsRefuseEditing)
{
    show_and_focus();
    for (int c : {XHAO00, ZBMC00, SHZBSL}) {
        go_to(1, c);
        type("5");
        EXPECT_FALSE(editing()) << c;
        key(Qt::Key_Return);
        EXPECT_FALSE(editing()) << c;
        EXPECT_FALSE(grid->model()->setData(grid->model()->index(1, c), "5"));
    }
    EXPECT_EQ(plan->change_count(), 0);
    EXPECT_EQ(plan->state(), dataset::State::Browse);
    EXPECT_EQ(cell(1, ZBMC00), QString("啤酒"));
    EXPECT_EQ(plan->rec_no(), 1);  // typing did not search and move the cursor

    grid->set_column_read_only(ZBMC00, false);
    go_to(1, ZBMC00);
    type("x");
    EXPECT_TRUE(editing());
}

TEST_F(GridTest, NumbersAreParsedAndBadNumbersRefusedWithAMessage)
{
    show_and_focus();
    go_to(1, ZBSL00);
    type("ab");
    key(Qt::Key_Return);
    EXPECT_TRUE(editing());  // the editor stays open for a correction
    EXPECT_FALSE(grid->last_edit_error().isEmpty());
    EXPECT_EQ(plan->value("ZBSL00"), Value{2.5});

    key(Qt::Key_Escape);
    go_to(1, ZBSL00);
    key(Qt::Key_Return);
    auto *editor = qobject_cast<QLineEdit *>(focus());
    ASSERT_NE(editor, nullptr);
    editor->clear();
    key(Qt::Key_Return);
    EXPECT_TRUE(grid->last_edit_error().isEmpty());
    EXPECT_TRUE(wire::is_null(plan->value("ZBSL00")));  // emptied cell holds no value
    EXPECT_EQ(plan->state(), dataset::State::Edit);     // the grid does not post by itself
}

TEST_F(GridTest, TabCommitsAndMovesOnPostingTheRowLeft)
{
    show_and_focus();
    go_to(0, ZBSL00);
    type("3");
    key(Qt::Key_Tab);
    EXPECT_EQ(grid->currentIndex().row(), 1);
    EXPECT_EQ(plan->rec_no(), 1);
    EXPECT_EQ(plan->state(), dataset::State::Browse);  // moving posted row 0
    EXPECT_EQ(plan->change_count(), 1);
    EXPECT_EQ(cell(0, ZBSL00), QString("3"));
}

TEST_F(GridTest, EnterHookMayShowAModalWindowAndThrow)
{
    show_and_focus();
    int modal_runs = 0;
    grid->onKeyDown = [&](QKeyEvent *e) {
        if (TdxDBGrid::key_code(e) != 13) return;
        plan->post();
        QDialog box(grid.get());  // a message box of the handler
        QTimer::singleShot(0, &box, &QDialog::accept);
        box.exec();
        ++modal_runs;
        if (plan->as_float("ZBSL00") > 50) throw std::runtime_error("too much");
    };
    QSignalSpy failures(grid.get(), &TdxDBGrid::handler_failed);
    go_to(0, ZBSL00);
    type("8");
    key(Qt::Key_Return);
    EXPECT_EQ(modal_runs, 1);
    EXPECT_EQ(cell(0, ZBSL00), QString("8"));
    EXPECT_EQ(plan->change_count(), 1);
    EXPECT_FALSE(editing());

    show_and_focus();
    type("99");
    ASSERT_TRUE(editing());
    key(Qt::Key_Return);
    EXPECT_EQ(modal_runs, 2);
    ASSERT_EQ(failures.count(), 1);
    EXPECT_EQ(failures.at(0).at(0).toString(), QString("too much"));
    EXPECT_EQ(cell(0, ZBSL00), QString("99"));  // the grid carried on
}

TEST_F(GridTest, HookErrorsOfAnyKindStayInTheGrid)
{
    show_and_focus();
    QSignalSpy failures(grid.get(), &TdxDBGrid::handler_failed);
    grid->onKeyDown = [](QKeyEvent *) { throw 42; };
    grid->onEditChange = [] { throw 7; };
    grid->set_draw_summary_footer(ZBMC00, [](FooterCell &c) {
        c.text = "合计";
        throw 3;
    });
    go_to(0, ZBSL00);
    EXPECT_NO_THROW(type("5"));
    EXPECT_TRUE(editing());  // the grid carried on and opened the editor
    EXPECT_NO_THROW(key(Qt::Key_Return));
    EXPECT_EQ(cell(0, ZBSL00), QString("5"));
    EXPECT_GE(failures.count(), 3);  // key-down of "5", its edit change, Enter
    for (const auto &failure : failures) EXPECT_FALSE(failure.at(0).toString().isEmpty());
    // A failed drawing hook leaves the summary as it was.
    EXPECT_EQ(grid->footer_text(ZBMC00), QString("5"));
    EXPECT_NO_THROW(grid->footer_widget()->grab());
}

// ---- cursor ----------------------------------------------------------------

TEST_F(GridTest, CurrentRowFollowsTheDatasetCursorAndBack)
{
    show_and_focus();
    plan->move_to(3);
    EXPECT_EQ(grid->currentIndex().row(), 3);
    plan->first();
    EXPECT_EQ(grid->currentIndex().row(), 0);

    plan->set_value("ZBSL00", 11.0);
    key(Qt::Key_Down);
    EXPECT_EQ(plan->rec_no(), 1);
    EXPECT_EQ(plan->state(), dataset::State::Browse);
    EXPECT_EQ(plan->change_count(), 1);

    go_to(4, XHAO00);
    EXPECT_EQ(plan->rec_no(), 4);

    plan->set_filter("ZBMC00='啤酒'");
    plan->set_filtered(true);
    EXPECT_EQ(grid->currentIndex().row(), 0);
    EXPECT_EQ(cell(0, ZBMC00), QString("啤酒"));
}

TEST_F(GridTest, RowSelectionSelectsTheWholeRow)
{
    grid->set_row_select(true);
    plan->move_to(2);
    const auto selected = grid->selectionModel()->selectedIndexes();
    EXPECT_EQ(selected.size(), grid->model()->columnCount());
    for (const auto &i : selected) EXPECT_EQ(i.row(), 2);
}

// ---- column filter ---------------------------------------------------------

TEST_F(GridTest, ColumnFilterNarrowsTheViewAndKeepsTheDatasetFilter)
{
    plan->set_filter("NYUE00='200303'");
    plan->set_filtered(true);
    ASSERT_TRUE(grid->set_column_filter(ZBMC00, "卷烟"));
    EXPECT_EQ(plan->filter(), "NYUE00='200303'");
    EXPECT_EQ(plan->user_filter(), "ZBMC00='卷烟'");
    EXPECT_EQ(grid->model()->rowCount(), 2);  // 200303 and 卷烟
    EXPECT_EQ(grid->footer_text(ZBMC00), QString("2"));

    ASSERT_TRUE(grid->set_column_filter(XHAO00, "3"));
    EXPECT_EQ(plan->user_filter(), "XHAO00=3 AND ZBMC00='卷烟'");
    EXPECT_EQ(grid->model()->rowCount(), 1);

    // The module sets its filter again: the column filter stays in force.
    plan->set_filtered(false);
    plan->set_filter("NYUE00='200304'");
    plan->set_filtered(true);
    EXPECT_EQ(grid->model()->rowCount(), 0);
    ASSERT_TRUE(grid->clear_column_filter(XHAO00));
    EXPECT_EQ(grid->model()->rowCount(), 1);
    EXPECT_EQ(cell(0, XHAO00), QString("1"));

    grid->clear_column_filters();
    EXPECT_EQ(plan->user_filter(), "");
    EXPECT_EQ(plan->filter(), "NYUE00='200304'");
    EXPECT_EQ(grid->model()->rowCount(), 1);
}

TEST_F(GridTest, ColumnFilterQuotesTextAndOffersDistinctValues)
{
    EXPECT_EQ(grid->column_filter_values(ZBMC00), (QStringList{"a'b", "卷烟", "啤酒"}));
    EXPECT_EQ(grid->column_filter_values(ZBSL00), (QStringList{"", "1", "2.5", "7", "10"}));
    ASSERT_TRUE(grid->set_column_filter(ZBMC00, "a'b"));
    EXPECT_EQ(plan->user_filter(), "ZBMC00='a''b'");
    ASSERT_EQ(grid->model()->rowCount(), 1);
    EXPECT_EQ(cell(0, XHAO00), QString("4"));

    std::unique_ptr<QMenu> menu(grid->make_filter_menu(ZBMC00, nullptr));
    const auto actions = menu->actions();
    ASSERT_EQ(actions.size(), 2);  // "(全部)" and the one value in view
    EXPECT_EQ(actions[0]->text(), QString("(全部)"));
    EXPECT_TRUE(actions[1]->isChecked());
    actions[0]->trigger();
    EXPECT_FALSE(grid->column_filter(ZBMC00).has_value());
    EXPECT_EQ(grid->model()->rowCount(), 5);

    std::unique_ptr<QMenu> again(grid->make_filter_menu(ZBMC00, nullptr));
    again->actions()[3]->trigger();  // 啤酒
    EXPECT_EQ(plan->user_filter(), "ZBMC00='啤酒'");
    EXPECT_EQ(grid->model()->rowCount(), 1);
}

TEST_F(GridTest, GridWithoutDatasetShowsNothingAndRefusesFilters)
{
    grid->set_data_source(nullptr);
    EXPECT_EQ(grid->model()->rowCount(), 0);
    EXPECT_EQ(grid->footer_text(ZBMC00), QString("0"));
    EXPECT_EQ(grid->footer_text(ZBSL00), QString());
    EXPECT_FALSE(grid->set_column_filter(ZBMC00, "x"));
    plan->close();  // no longer observed: nothing to follow
    grid->set_data_source(&source);
    EXPECT_EQ(grid->model()->rowCount(), 0);
    plan->open();
    EXPECT_EQ(grid->model()->rowCount(), 5);
    EXPECT_EQ(grid->currentIndex().row(), 0);
}

}  // namespace
