// Opening, fields, value access, the cursor, the filters and the observers
// of a client dataset, against rows served from memory.
#include <gtest/gtest.h>

#include "client_dataset.h"
#include "fake_link.h"

using namespace dataset;
using dataset_test::error_of;
using dataset_test::FakeLinkScope;
using dataset_test::FakeServer;
using dataset_test::make_packet;
using dataset_test::RecordingObserver;
using wire::FieldType;

namespace {

// Plan rows: month, sequence number, department, salesman, quantity.
wire::DataPacket plan_packet()
{
    using S = std::string;
    return make_packet({{"NYUE00", FieldType::String, 6},
                        {"XHAO00", FieldType::Float, 0},
                        {"CKDM00", FieldType::String, 2},
                        {"RYDM00", FieldType::String, 4},
                        {"ZBSL00", FieldType::Float, 0}},
                       {
                           {S("200303"), 1.0, S("01"), S("0007"), 10.0},
                           {S("200303"), 2.0, S("01"), S("0007"), 20.0},
                           {S("200303"), 1.0, S("01"), S("0008"), 5.0},
                           {S("200304"), 1.0, S("01"), S("0007"), 7.0},
                           {S("200303"), 3.0, S("02"), S("0007"), std::monostate{}},
                       },
                       {101, 102, 103, 104, 105});
}

class DatasetTest : public ::testing::Test {
protected:
    DatasetTest() : scope(server), connection(remote::cust_object())
    {
        server.serve("dsp_plan", "", plan_packet());
        ds.set_connection(&connection);
        ds.set_provider_name("dsp_plan");
    }
    FakeServer server;
    FakeLinkScope scope;
    remote::RemoteConnection connection;
    ClientDataset ds{"cds_plan"};
};

}  // namespace

TEST_F(DatasetTest, OpenFetchesOnceAndStartsOnTheFirstRow)
{
    EXPECT_FALSE(ds.active());
    EXPECT_EQ(ds.state(), State::Inactive);
    ds.open();
    EXPECT_TRUE(ds.active());
    EXPECT_EQ(ds.state(), State::Browse);
    EXPECT_EQ(ds.record_count(), 5);
    EXPECT_EQ(ds.rec_no(), 0);
    EXPECT_FALSE(ds.eof());
    EXPECT_EQ(ds.as_string("ZBSL00"), "10");
    ds.next();
    ds.open();  // already open: nothing happens
    EXPECT_EQ(server.count("get"), 1);
    EXPECT_EQ(ds.rec_no(), 1);
}

TEST_F(DatasetTest, ProviderParametersGoWithEveryOpenUntilChanged)
{
    ds.set_provider_params({{"NYUE00", "200303"}});
    ds.open();
    ds.close();
    ds.open();
    ds.close();
    ds.set_provider_params({{"NYUE00", "200304"}});
    ds.open();
    ds.close();
    ds.set_provider_params({});
    ds.open();
    ASSERT_EQ(server.count("get"), 4);
    const wire::ProviderParams march{{"NYUE00", "200303"}}, april{{"NYUE00", "200304"}};
    EXPECT_EQ(server.calls[0].params, march);
    EXPECT_EQ(server.calls[1].params, march);
    EXPECT_EQ(server.calls[2].params, april);
    EXPECT_TRUE(server.calls[3].params.empty());
}

TEST_F(DatasetTest, WithoutFixedFieldsTheFieldsAreThePacketsAndSurviveClose)
{
    ds.open();
    ASSERT_EQ(ds.field_count(), 5);
    EXPECT_EQ(ds.field(1).name, "XHAO00");
    EXPECT_EQ(ds.field(1).type, FieldType::Float);
    ds.close();
    EXPECT_EQ(ds.field_count(), 5) << "kept until the next open";
    server.serve("dsp_plan", "SELECT 1 AS SL", make_packet({{"SL", FieldType::Float, 0}}, {{1.0}}));
    ds.set_command_text("SELECT 1 AS SL");
    ds.open();
    ASSERT_EQ(ds.field_count(), 1);
    EXPECT_EQ(ds.as_float("Sl"), 1.0);
    EXPECT_THROW(ds.field(1), DatasetError);
}

TEST_F(DatasetTest, FixedFieldsAreTakenByNameInTheirOwnOrder)
{
    ds.set_fixed_fields({{"zbsl00", FieldType::Float, 0}, {"Nyue00", FieldType::String, 6}});
    ds.open();
    ASSERT_EQ(ds.field_count(), 2);
    EXPECT_EQ(ds.field(0).name, "zbsl00");
    EXPECT_EQ(ds.as_float("ZBSL00"), 10.0);
    EXPECT_EQ(ds.as_string("NYUE00"), "200303");
    EXPECT_FALSE(ds.has_field("CKDM00")) << "columns outside the fixed fields are not fields";
}

TEST_F(DatasetTest, AFixedFieldThePacketLacksIsNamedAndTheDatasetStaysClosed)
{
    ds.set_fixed_fields({{"NYUE00", FieldType::String, 6}, {"SPDM00", FieldType::String, 8}});
    const std::string msg = error_of([&] { ds.open(); });
    EXPECT_NE(msg.find("\"SPDM00\""), std::string::npos) << msg;
    EXPECT_NE(msg.find("cds_plan"), std::string::npos) << msg;
    EXPECT_FALSE(ds.active());
    EXPECT_EQ(ds.state(), State::Inactive);
}

TEST_F(DatasetTest, FixedNumericFieldsConvertNumericTextAndIntegers)
{
    using S = std::string;
    server.serve("dsp_plan", "",
                 make_packet({{"A", FieldType::String, 0}, {"B", FieldType::Integer, 0}, {"C", FieldType::String, 0}},
                             {{S("12.5"), std::int64_t{3}, S("")}}));
    ds.set_fixed_fields({{"A", FieldType::Float, 0}, {"B", FieldType::Float, 0}, {"C", FieldType::Float, 0}});
    ds.open();
    EXPECT_EQ(ds.value("A"), Value(12.5));
    EXPECT_EQ(ds.value("B"), Value(3.0));
    EXPECT_EQ(ds.value("C"), Value(std::monostate{})) << "empty text in a number field is empty";
}

TEST_F(DatasetTest, FieldAccessIgnoresCase)
{
    ds.open();
    EXPECT_EQ(ds.as_string("nyue00"), "200303");
    EXPECT_EQ(ds.as_string("Ckdm00"), "01");
    EXPECT_EQ(ds.field_index("ryDM00"), 3);
    EXPECT_TRUE(ds.has_field("zbsl00"));
    EXPECT_EQ(ds.field_index("NOPE"), -1);
}

TEST_F(DatasetTest, ReadingAMissingFieldNamesItAndTheDataset)
{
    ds.open();
    const std::string msg = error_of([&] { (void)ds.value("SPDM01"); });
    EXPECT_NE(msg.find("field \"SPDM01\" not found"), std::string::npos) << msg;
    EXPECT_NE(msg.find("cds_plan"), std::string::npos) << msg;
    EXPECT_THROW((void)ds.as_float("SPDM01"), DatasetError);
    EXPECT_THROW(ds.set_value("SPDM01", 1.0), DatasetError);
}

TEST_F(DatasetTest, ValuesReadAsTextAndAsNumbers)
{
    using S = std::string;
    server.serve("dsp_plan", "",
                 make_packet({{"T", FieldType::String, 0}, {"N", FieldType::Float, 0}, {"E", FieldType::Float, 0},
                              {"X", FieldType::String, 0}},
                             {{S(" 42 "), 12.0, std::monostate{}, S("abc")}}));
    ds.open();
    EXPECT_EQ(ds.as_float("T"), 42.0) << "numeric text converts";
    EXPECT_EQ(ds.as_string("N"), "12") << "general number format";
    EXPECT_EQ(ds.as_float("E"), 0.0) << "empty reads as 0";
    EXPECT_EQ(ds.as_string("E"), "");
    const std::string msg = error_of([&] { (void)ds.as_float("X"); });
    EXPECT_NE(msg.find("\"X\""), std::string::npos) << msg;
    EXPECT_NE(msg.find("abc"), std::string::npos) << msg;
}

TEST_F(DatasetTest, ReadingWithoutACurrentRowIsAnError)
{
    EXPECT_THROW((void)ds.value("ZBSL00"), DatasetError) << "closed";
    server.serve("dsp_plan", "", make_packet({{"ZBSL00", FieldType::Float, 0}}, {}));
    ds.open();
    EXPECT_THROW((void)ds.value("ZBSL00"), DatasetError) << "empty";
}

TEST_F(DatasetTest, AnEmptyResultIsAtEndOfDataAtOnce)
{
    server.serve("dsp_plan", "", make_packet({{"ZBSL00", FieldType::Float, 0}}, {}));
    ds.open();
    EXPECT_TRUE(ds.eof());
    EXPECT_TRUE(ds.bof());
    EXPECT_EQ(ds.record_count(), 0);
    EXPECT_EQ(ds.rec_no(), -1);
    ds.next();
    ds.prior();
    ds.last();
    ds.first();
    EXPECT_TRUE(ds.eof());
    EXPECT_EQ(ds.rec_no(), -1);
}

TEST_F(DatasetTest, CursorStopsAtTheEdges)
{
    ds.open();
    EXPECT_TRUE(ds.bof());
    ds.prior();
    EXPECT_EQ(ds.rec_no(), 0);
    EXPECT_TRUE(ds.bof());
    ds.next();
    EXPECT_EQ(ds.rec_no(), 1);
    EXPECT_FALSE(ds.bof());
    EXPECT_FALSE(ds.eof());
    ds.last();
    EXPECT_EQ(ds.rec_no(), 4);
    EXPECT_FALSE(ds.eof()) << "on the last row, not past it";
    ds.next();
    EXPECT_EQ(ds.rec_no(), 4);
    EXPECT_TRUE(ds.eof());
    ds.prior();
    EXPECT_EQ(ds.rec_no(), 3);
    EXPECT_FALSE(ds.eof());
    ds.first();
    EXPECT_EQ(ds.rec_no(), 0);
    EXPECT_TRUE(ds.bof());
    ds.move_to(2);
    EXPECT_EQ(ds.as_string("RYDM00"), "0008");
    EXPECT_THROW(ds.move_to(5), DatasetError);
    EXPECT_THROW(ds.move_to(-1), DatasetError);
    EXPECT_EQ(ds.rec_no(), 2);
}

TEST_F(DatasetTest, WalkingToEndOfDataVisitsEveryRowOnce)
{
    ds.open();
    std::vector<std::string> seen;
    for (ds.first(); !ds.eof(); ds.next()) seen.push_back(ds.as_string("ZBSL00"));
    EXPECT_EQ(seen, (std::vector<std::string>{"10", "20", "5", "7", ""}));
}

TEST_F(DatasetTest, CursorMovesOnAClosedDatasetAreErrors)
{
    EXPECT_THROW(ds.first(), DatasetError);
    EXPECT_THROW(ds.next(), DatasetError);
    EXPECT_TRUE(ds.eof());
    EXPECT_EQ(ds.record_count(), 0);
}

TEST_F(DatasetTest, ThePlanRowFilterNarrowsTheView)
{
    ds.set_filter("NYUE00='200303' AND CKDM00='01' AND RYDM00='0007'");
    ds.set_filtered(true);
    ds.open();
    ASSERT_EQ(ds.record_count(), 2);
    EXPECT_EQ(ds.as_float("XHAO00"), 1.0);
    ds.next();
    EXPECT_EQ(ds.as_float("XHAO00"), 2.0);
    // Switched off, every row shows; back on, the view narrows again from its first row.
    ds.set_filtered(false);
    EXPECT_EQ(ds.record_count(), 5);
    ds.set_filtered(true);
    EXPECT_EQ(ds.record_count(), 2);
    EXPECT_EQ(ds.rec_no(), 0);
    EXPECT_EQ(server.count("get"), 1) << "filtering fetches nothing";
}

TEST_F(DatasetTest, ChangingTheFilterRebuildsTheViewFromItsFirstRow)
{
    ds.set_filtered(true);
    ds.open();
    ds.last();
    ds.set_filter("RYDM00='0008'");
    EXPECT_EQ(ds.record_count(), 1);
    EXPECT_EQ(ds.rec_no(), 0);
    EXPECT_EQ(ds.as_float("ZBSL00"), 5.0);
    ds.set_filter("RYDM00='9999'");
    EXPECT_EQ(ds.record_count(), 0);
    EXPECT_TRUE(ds.eof());
}

TEST_F(DatasetTest, AFilterSetWhileOffActsOnlyWhenSwitchedOn)
{
    ds.open();
    ds.set_filter("ZBSL00 > 8");
    EXPECT_EQ(ds.record_count(), 5);
    ds.set_filtered(true);
    EXPECT_EQ(ds.record_count(), 2);
}

TEST_F(DatasetTest, UserFilterNarrowsTheFilterAndNeverReplacesIt)
{
    ds.set_filter("NYUE00='200303'");
    ds.set_filtered(true);
    ds.open();
    EXPECT_EQ(ds.record_count(), 4);
    ds.set_user_filter("ZBSL00 >= 7");
    EXPECT_EQ(ds.record_count(), 2) << "both must pass";
    ds.set_filtered(false);
    EXPECT_EQ(ds.record_count(), 3) << "the user filter acts on its own";
    ds.set_filtered(true);
    ds.set_filter("RYDM00='0008'");
    EXPECT_EQ(ds.record_count(), 0) << "the new filter still meets the user filter";
    ds.set_user_filter("");
    EXPECT_EQ(ds.record_count(), 1);
    EXPECT_EQ(ds.user_filter(), "");
    EXPECT_EQ(ds.filter(), "RYDM00='0008'");
}

TEST_F(DatasetTest, AMalformedFilterKeepsTheFormerOne)
{
    ds.set_filter("RYDM00='0008'");
    ds.set_filtered(true);
    ds.open();
    const std::string msg = error_of([&] { ds.set_filter("RYDM00='0007' AND"); });
    EXPECT_NE(msg.find("position 18"), std::string::npos) << msg;
    EXPECT_EQ(ds.filter(), "RYDM00='0008'");
    EXPECT_EQ(ds.record_count(), 1);
    EXPECT_THROW(ds.set_user_filter("ZBSL00 >"), DatasetError);
    EXPECT_EQ(ds.record_count(), 1);
}

TEST_F(DatasetTest, AFilterNamingAnUnknownFieldFailsWhenApplied)
{
    ds.open();
    ds.set_filter("NOSUCH = 1");  // not acting yet: accepted
    const std::string msg = error_of([&] { ds.set_filtered(true); });
    EXPECT_NE(msg.find("\"NOSUCH\""), std::string::npos) << msg;
    EXPECT_NE(msg.find("cds_plan"), std::string::npos) << msg;
    EXPECT_FALSE(ds.filtered());
    EXPECT_EQ(ds.record_count(), 5);

    // Acting at once while filtered.
    ds.set_filter("");
    ds.set_filtered(true);
    EXPECT_THROW(ds.set_filter("NOSUCH = 1"), DatasetError);
    EXPECT_EQ(ds.filter(), "");
    EXPECT_THROW(ds.set_user_filter("NOSUCH = 1"), DatasetError);
    EXPECT_EQ(ds.user_filter(), "");
    EXPECT_EQ(ds.record_count(), 5);

    // On open: the dataset stays closed.
    ds.close();
    ds.set_filtered(false);
    ds.set_filter("NOSUCH = 1");
    ds.set_filtered(true);
    EXPECT_THROW(ds.open(), DatasetError);
    EXPECT_FALSE(ds.active());
}

TEST_F(DatasetTest, TheFilterSetBeforeAReopenActsOnTheNewRows)
{
    // The editor's order: filter first, then close and open.
    ds.open();
    ds.set_filtered(false);
    ds.set_filter("RYDM00='0007' AND NYUE00='200303'");
    ds.set_filtered(true);
    ds.close();
    ds.open();
    EXPECT_EQ(ds.record_count(), 3);
    EXPECT_EQ(server.count("get"), 2);
}

TEST_F(DatasetTest, ExecuteRunsTheCommandTextAndLeavesTheDataset)
{
    ds.open();
    ds.set_command_text("DELETE XSTYZB02 WHERE NYUE00='200303'");
    EXPECT_EQ(ds.execute(), 1);
    ASSERT_EQ(server.calls.back().kind, "execute");
    EXPECT_EQ(server.calls.back().command_text, "DELETE XSTYZB02 WHERE NYUE00='200303'");
    EXPECT_EQ(server.calls.back().provider, "dsp_plan");
    EXPECT_TRUE(ds.active());
    EXPECT_EQ(ds.record_count(), 5);
}

TEST_F(DatasetTest, WithoutAConnectionOpenIsAnError)
{
    ClientDataset lone("cds_lone");
    EXPECT_THROW(lone.open(), DatasetError);
    EXPECT_THROW(lone.execute(), DatasetError);
}

TEST_F(DatasetTest, ARemoteFailureOnOpenLeavesTheDatasetClosed)
{
    server.fail_next_call = true;
    EXPECT_THROW(ds.open(), remote::RemoteError);
    EXPECT_FALSE(ds.active());
    ds.open();
    EXPECT_TRUE(ds.active());
}

TEST_F(DatasetTest, APacketWithRowsOfTheWrongWidthIsRefused)
{
    server.serve("dsp_plan", "", make_packet({{"A", FieldType::Float, 0}, {"B", FieldType::Float, 0}}, {{1.0}}));
    EXPECT_THROW(ds.open(), DatasetError);
    EXPECT_FALSE(ds.active());
}

TEST_F(DatasetTest, ObserversHearOpenFilterMovesAndClose)
{
    RecordingObserver obs;
    ds.add_observer(&obs);
    ds.open();
    EXPECT_EQ(obs.resets, 1);
    EXPECT_EQ(obs.states, (std::vector<State>{State::Browse}));
    ds.next();
    ds.next();
    EXPECT_EQ(obs.current_moves.back(), 2);
    ds.set_user_filter("RYDM00='0008'");
    EXPECT_EQ(obs.resets, 2);
    EXPECT_EQ(obs.current_moves.back(), 0);
    ds.close();
    EXPECT_EQ(obs.resets, 3);
    EXPECT_EQ(obs.states.back(), State::Inactive);
    EXPECT_EQ(obs.current_moves.back(), -1);
}

TEST_F(DatasetTest, ARemovedObserverIsNeverCalled)
{
    RecordingObserver kept, removed;
    ds.add_observer(&kept);
    ds.add_observer(&removed);
    ds.remove_observer(&removed);
    ds.open();
    EXPECT_EQ(kept.resets, 1);
    EXPECT_EQ(removed.resets, 0);
}

TEST_F(DatasetTest, AnObserverMayRemoveAnotherWhileBeingNotified)
{
    struct Remover : RecordingObserver {
        ClientDataset *ds = nullptr;
        DatasetObserver *victim = nullptr;
        void rows_reset() override
        {
            RecordingObserver::rows_reset();
            ds->remove_observer(victim);
            ds->remove_observer(this);
        }
    };
    Remover first;
    RecordingObserver victim;
    first.ds = &ds;
    first.victim = &victim;
    ds.add_observer(&first);
    ds.add_observer(&victim);
    ds.open();
    ds.close();
    EXPECT_EQ(first.resets, 1);
    EXPECT_EQ(victim.resets, 0);
}

// Rows kept by version: a reopen names the version kept for the same call
// and, answered "current", opens the rows as they were fetched; pending
// changes, an apply or another call's rows are never taken for them.
TEST(KeptVersions, AReopenTakesTheRowsAsFetchedOnlyWhenTheyAreCurrent)
{
    FakeServer server;
    FakeLinkScope scope(server);
    remote::RemoteConnection conn(remote::cust_object());
    auto month = [](const char *m, double q, const char *version) {
        auto p = make_packet({{"NYUE00", FieldType::String, 6}, {"ZBSL00", FieldType::Float, 0}},
                             {{std::string(m), q}, {std::string(m), q + 1}}, {1, 2});
        p.version = version;
        return p;
    };
    ClientDataset cds("cds_xstyzb02");
    cds.set_connection(&conn);
    cds.set_provider_name("dsp_xstyzb02cys");
    cds.set_keeps_versions(true);
    auto open_month = [&](const char *m) {
        cds.close();
        cds.set_provider_params({{"NYUE00", m}});
        cds.open();
    };
    auto values = [&] {
        std::vector<std::string> out;
        for (cds.first(); !cds.eof(); cds.next()) out.push_back(cds.as_string("ZBSL00"));
        return out;
    };
    server.serve("dsp_xstyzb02cys", "", month("200303", 10, "v1"));
    struct Step {
        const char *what, *month;
        std::function<void()> before;
        const char *held;  // the version the call names
        std::vector<std::string> shown;
    };
    const std::vector<Step> steps = {
        {"first open", "200303", nullptr, "", {"10", "11"}},
        {"nothing changed", "200303", nullptr, "v1", {"10", "11"}},
        {"a pending change is dropped", "200303", [&] { cds.set_value("ZBSL00", 99.0); cds.post(); }, "", {"10", "11"}},
        {"the rows changed on the server", "200303",
         [&] { server.serve("dsp_xstyzb02cys", "", month("200303", 20, "v2")); }, "v1", {"20", "21"}},
        {"another month", "200304", [&] { server.serve("dsp_xstyzb02cys", "", month("200304", 5, "w1")); }, "",
         {"5", "6"}},
        {"back: the month kept is current", "200303",
         [&] { server.serve("dsp_xstyzb02cys", "", month("200303", 20, "v2")); }, "v2", {"20", "21"}},
        {"after an apply the rows are fetched", "200303",
         [&] {
             cds.first();
             cds.set_value("ZBSL00", 30.0);
             EXPECT_EQ(cds.apply_updates(0), 0);
         },
         "", {"20", "21"}},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.what);
        if (step.before) step.before();
        open_month(step.month);
        ASSERT_TRUE(server.calls.back().held.has_value());
        EXPECT_EQ(*server.calls.back().held, step.held);
        EXPECT_EQ(values(), step.shown);
        EXPECT_EQ(cds.version(), server.packets["dsp_xstyzb02cys|"].version);
    }
    // Without versions kept the call is the plain one.
    cds.set_keeps_versions(false);
    open_month("200303");
    EXPECT_FALSE(server.calls.back().held.has_value());
}

TEST(KeptVersions, OpenFromTakesEveryRowOfAnotherDatasetWithoutACall)
{
    FakeServer server;
    FakeLinkScope scope(server);
    remote::RemoteConnection conn(remote::cust_object());
    server.serve("p", "", make_packet({{"XHAO00", FieldType::Float, 0}, {"ZBSL00", FieldType::Float, 0}},
                                      {{1.0, 5.0}, {2.0, 6.0}, {3.0, 7.0}}));
    ClientDataset source("source"), copy("copy");
    source.set_connection(&conn);
    source.set_provider_name("p");
    source.open();
    source.set_filter("XHAO00=1");
    source.set_filtered(true);
    copy.set_fixed_fields({{"ZBSL00", FieldType::Float, 0}, {"XHAO00", FieldType::Float, 0}});
    const auto calls = server.calls.size();
    copy.open_from(source);
    EXPECT_EQ(server.calls.size(), calls);
    EXPECT_EQ(copy.record_count(), 3);
    copy.last();
    EXPECT_EQ(copy.as_float("ZBSL00"), 7.0);
}
