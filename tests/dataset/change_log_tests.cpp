// Editing and the change log: edit and post, cancel, merged edits, deletes,
// and applying the log to the provider.
#include <gtest/gtest.h>

#include "client_dataset.h"
#include "fake_link.h"

using namespace dataset;
using dataset_test::error_of;
using dataset_test::FakeLinkScope;
using dataset_test::FakeServer;
using dataset_test::make_packet;
using dataset_test::RecordingObserver;
using wire::ChangeKind;
using wire::FieldType;

namespace {

using S = std::string;

class ChangeLogTest : public ::testing::Test {
protected:
    ChangeLogTest() : scope(server), connection(remote::cust_object())
    {
        server.serve("dsp_xstyzb02cys", "",
                     make_packet({{"NYUE00", FieldType::String, 6}, {"XHAO00", FieldType::Float, 0},
                                  {"ZBSL00", FieldType::Float, 0}},
                                 {{S("200303"), 1.0, 10.0}, {S("200303"), 2.0, 20.0}, {S("200303"), 3.0, 30.0}},
                                 {11, 12, 13}));
        ds.set_connection(&connection);
        ds.set_provider_name("dsp_xstyzb02cys");
        ds.set_fixed_fields({{"NYUE00", FieldType::String, 6}, {"XHAO00", FieldType::Float, 0},
                             {"ZBSL00", FieldType::Float, 0}});
        ds.open();
    }

    static std::map<std::string, Value> row_values(const S &month, double xhao, Value zbsl)
    {
        return {{"NYUE00", month}, {"XHAO00", xhao}, {"ZBSL00", std::move(zbsl)}};
    }

    std::vector<double> quantities()
    {
        std::vector<double> out;
        for (int r = 0; r < ds.record_count(); ++r) out.push_back(wire::value_to_double(ds.value_at(r, 2)));
        return out;
    }

    FakeServer server;
    FakeLinkScope scope;
    remote::RemoteConnection connection;
    ClientDataset ds{"cds_xstyzb02"};
};

}  // namespace

TEST_F(ChangeLogTest, EditAndPostStoreTheValueAndLogTheOriginals)
{
    ds.next();
    ds.edit();
    EXPECT_EQ(ds.state(), State::Edit);
    ds.set_value("zbsl00", 25.0);
    EXPECT_EQ(ds.as_float("ZBSL00"), 25.0) << "the edit buffer is read while editing";
    EXPECT_EQ(ds.change_count(), 0) << "nothing is logged before the post";
    ds.post();
    EXPECT_EQ(ds.state(), State::Browse);
    EXPECT_EQ(ds.as_float("ZBSL00"), 25.0);
    ASSERT_EQ(ds.change_count(), 1);
    const auto delta = ds.pending_delta();
    ASSERT_EQ(delta.size(), 1u);
    EXPECT_EQ(delta[0].kind, ChangeKind::Modify);
    EXPECT_EQ(delta[0].row_id, 12);
    EXPECT_EQ(delta[0].original, row_values("200303", 2.0, 20.0));
    EXPECT_EQ(delta[0].values, (std::map<std::string, Value>{{"ZBSL00", 25.0}})) << "only the changed field";
}

TEST_F(ChangeLogTest, SetValueStartsTheEditAndConvertsTypedText)
{
    ds.set_value("ZBSL00", S("12.5"));
    EXPECT_EQ(ds.state(), State::Edit);
    EXPECT_EQ(ds.value("ZBSL00"), Value(12.5));
    ds.set_value("ZBSL00", S(""));
    EXPECT_EQ(ds.value("ZBSL00"), Value(std::monostate{})) << "empty text empties a number field";
    ds.set_value("NYUE00", 200304.0);
    EXPECT_EQ(ds.value("NYUE00"), Value(S("200304"))) << "a number put into a text field becomes its text";
}

TEST_F(ChangeLogTest, ABadValueIsRefusedAndChangesNothing)
{
    ds.set_value("ZBSL00", 11.0);
    const std::string msg = error_of([&] { ds.set_value("ZBSL00", S("12x")); });
    EXPECT_NE(msg.find("12x"), std::string::npos) << msg;
    EXPECT_NE(msg.find("ZBSL00"), std::string::npos) << msg;
    EXPECT_EQ(ds.value("ZBSL00"), Value(11.0));
    ds.cancel();
    EXPECT_THROW(ds.set_value("ZBSL00", S("abc")), DatasetError);
    EXPECT_EQ(ds.state(), State::Browse) << "a refused value does not start an edit";
    EXPECT_EQ(ds.change_count(), 0);
}

TEST_F(ChangeLogTest, CancelDropsTheEdit)
{
    RecordingObserver obs;
    ds.add_observer(&obs);
    ds.set_value("ZBSL00", 99.0);
    ds.cancel();
    EXPECT_EQ(ds.state(), State::Browse);
    EXPECT_EQ(ds.as_float("ZBSL00"), 10.0);
    EXPECT_EQ(ds.change_count(), 0);
    EXPECT_EQ(obs.states, (std::vector<State>{State::Edit, State::Browse}));
    EXPECT_FALSE(obs.changed_rows.empty()) << "views repaint the row after cancel";
}

TEST_F(ChangeLogTest, PostingAnUnchangedRowLogsNothing)
{
    ds.edit();
    ds.set_value("ZBSL00", 10.0);
    ds.post();
    EXPECT_EQ(ds.change_count(), 0);
}

TEST_F(ChangeLogTest, SeveralEditsOfOneRowMergeIntoOneChange)
{
    ds.set_value("ZBSL00", 11.0);
    ds.post();
    ds.set_value("ZBSL00", 12.0);
    ds.set_value("XHAO00", 7.0);
    ds.post();
    ASSERT_EQ(ds.change_count(), 1);
    const auto delta = ds.pending_delta();
    ASSERT_EQ(delta.size(), 1u);
    EXPECT_EQ(delta[0].original, row_values("200303", 1.0, 10.0)) << "the originals are the fetched values";
    EXPECT_EQ(delta[0].values, (std::map<std::string, Value>{{"XHAO00", 7.0}, {"ZBSL00", 12.0}}));
}

TEST_F(ChangeLogTest, EditingBackToTheOriginalRemovesTheChange)
{
    ds.set_value("ZBSL00", 11.0);
    ds.post();
    EXPECT_EQ(ds.change_count(), 1);
    ds.set_value("ZBSL00", 10.0);
    ds.post();
    EXPECT_EQ(ds.change_count(), 0);
    EXPECT_TRUE(ds.pending_delta().empty());
}

TEST_F(ChangeLogTest, MovingTheCursorPostsThePendingEdit)
{
    ds.set_value("ZBSL00", 15.0);
    ds.next();
    EXPECT_EQ(ds.state(), State::Browse);
    EXPECT_EQ(ds.change_count(), 1);
    ds.set_value("ZBSL00", 25.0);
    ds.last();
    ds.set_value("ZBSL00", 35.0);
    ds.first();
    ds.set_value("ZBSL00", 16.0);
    ds.move_to(2);
    EXPECT_EQ(quantities(), (std::vector<double>{16, 25, 35}));
    EXPECT_EQ(ds.change_count(), 3);
}

TEST_F(ChangeLogTest, EditOnAnEmptyViewDoesNothing)
{
    ds.set_filter("XHAO00 = 99");
    ds.set_filtered(true);
    ds.edit();
    EXPECT_EQ(ds.state(), State::Browse);
    EXPECT_EQ(ds.record_count(), 0) << "no blank row is started";
    EXPECT_THROW(ds.set_value("ZBSL00", 1.0), DatasetError);
}

TEST_F(ChangeLogTest, ValueAtShowsTheEditBufferOfTheCurrentRow)
{
    ds.next();
    ds.set_value("ZBSL00", 21.0);
    EXPECT_EQ(ds.value_at(1, 2), Value(21.0));
    EXPECT_EQ(ds.value_at(0, 2), Value(10.0));
    EXPECT_THROW((void)ds.value_at(3, 0), DatasetError);
    EXPECT_THROW((void)ds.value_at(0, 3), DatasetError);
}

TEST_F(ChangeLogTest, DeleteRemovesTheRowAndLogsItsOriginals)
{
    RecordingObserver obs;
    ds.add_observer(&obs);
    ds.next();
    ds.delete_current();
    EXPECT_EQ(ds.record_count(), 2);
    EXPECT_EQ(ds.rec_no(), 1) << "the cursor stays at the same position";
    EXPECT_EQ(ds.as_float("XHAO00"), 3.0);
    EXPECT_EQ(obs.resets, 1);
    ds.delete_current();
    EXPECT_EQ(ds.rec_no(), 0) << "deleting the last row moves to the new last row";
    const auto delta = ds.pending_delta();
    ASSERT_EQ(delta.size(), 2u);
    EXPECT_EQ(delta[0].kind, ChangeKind::Delete);
    EXPECT_EQ(delta[0].row_id, 12);
    EXPECT_EQ(delta[0].original, row_values("200303", 2.0, 20.0));
    EXPECT_TRUE(delta[0].values.empty());
    EXPECT_EQ(delta[1].row_id, 13);
}

TEST_F(ChangeLogTest, DeletingAModifiedRowSendsItsFetchedValues)
{
    ds.set_value("ZBSL00", 99.0);
    ds.post();
    ds.set_value("ZBSL00", 98.0);  // pending edit, dropped by the delete
    ds.delete_current();
    ASSERT_EQ(ds.change_count(), 1);
    const auto delta = ds.pending_delta();
    ASSERT_EQ(delta.size(), 1u);
    EXPECT_EQ(delta[0].kind, ChangeKind::Delete);
    EXPECT_EQ(delta[0].original, row_values("200303", 1.0, 10.0));
    EXPECT_EQ(ds.state(), State::Browse);
}

TEST_F(ChangeLogTest, DeleteOnAnEmptyViewRaisesAndSendsNothing)
{
    ds.set_filter("XHAO00 = 99");
    ds.set_filtered(true);
    const std::size_t calls = server.calls.size();
    const std::string msg = error_of([&] { ds.delete_current(); });
    EXPECT_EQ(msg, "数据集为空，不能执行该操作（cds_xstyzb02）");
    EXPECT_EQ(ds.change_count(), 0);
    EXPECT_EQ(ds.apply_updates(0), 0);
    EXPECT_EQ(server.calls.size(), calls) << "nothing reached the server";
    ds.set_filtered(false);
    EXPECT_EQ(ds.record_count(), 3) << "no row was lost";
}

TEST_F(ChangeLogTest, ApplySendsExactlyThePendingChangesAndClearsTheLog)
{
    ds.set_value("ZBSL00", 15.0);  // posted by apply itself
    ds.last();
    ds.delete_current();
    ds.first();
    ds.set_value("ZBSL00", 15.0);
    ASSERT_EQ(ds.apply_updates(0), 0);
    ASSERT_EQ(server.count("apply"), 1);
    const auto &call = server.calls.back();
    EXPECT_EQ(call.provider, "dsp_xstyzb02cys");
    EXPECT_EQ(call.max_errors, 0);
    ASSERT_EQ(call.delta.size(), 2u);
    EXPECT_EQ(call.delta[0], (wire::Change{ChangeKind::Modify, 11, row_values("200303", 1.0, 10.0),
                                           {{"ZBSL00", 15.0}}}));
    EXPECT_EQ(call.delta[1], (wire::Change{ChangeKind::Delete, 13, row_values("200303", 3.0, 30.0), {}}));
    EXPECT_EQ(ds.change_count(), 0);
    EXPECT_EQ(ds.state(), State::Browse);
    EXPECT_EQ(quantities(), (std::vector<double>{15, 20}));

    // The applied values are the new originals.
    ds.set_value("ZBSL00", 16.0);
    ds.post();
    EXPECT_EQ(ds.pending_delta()[0].original, row_values("200303", 1.0, 15.0));
    // With nothing pending, apply asks nothing of the server.
    ds.set_value("ZBSL00", 15.0);
    ds.post();
    EXPECT_EQ(ds.apply_updates(0), 0);
    EXPECT_EQ(server.count("apply"), 1);
}

TEST_F(ChangeLogTest, ARefusedApplyKeepsTheChangesPendingAndTheValues)
{
    ds.set_value("ZBSL00", 15.0);
    ds.next();
    ds.delete_current();
    server.next_apply_result = {1, {{11, "the row has changed since it was read"}}};
    EXPECT_EQ(ds.apply_updates(0), 1);
    EXPECT_EQ(ds.change_count(), 2) << "with no errors allowed the server applied nothing";
    ASSERT_EQ(ds.last_apply_errors().size(), 1u);
    EXPECT_EQ(ds.last_apply_errors()[0].message, "the row has changed since it was read");
    EXPECT_EQ(quantities(), (std::vector<double>{15, 30}));
    // The same changes go out again on the next apply.
    const auto first_delta = server.calls.back().delta;
    EXPECT_EQ(ds.apply_updates(0), 0);
    EXPECT_EQ(server.calls.back().delta, first_delta);
    EXPECT_EQ(ds.change_count(), 0);
    EXPECT_TRUE(ds.last_apply_errors().empty());
}

TEST_F(ChangeLogTest, WithErrorsAllowedOnlyTheRefusedChangesStayPending)
{
    ds.set_value("ZBSL00", 15.0);
    ds.next();
    ds.set_value("ZBSL00", 25.0);
    ds.post();
    server.next_apply_result = {1, {{12, "refused"}}};
    EXPECT_EQ(ds.apply_updates(5), 1);
    EXPECT_EQ(server.calls.back().max_errors, 5);
    ASSERT_EQ(ds.change_count(), 1);
    EXPECT_EQ(ds.pending_delta()[0].row_id, 12);
}

TEST_F(ChangeLogTest, MoreErrorsThanAllowedKeepEverythingPending)
{
    ds.set_value("ZBSL00", 15.0);
    ds.next();
    ds.set_value("ZBSL00", 25.0);
    ds.next();
    ds.set_value("ZBSL00", 35.0);
    server.next_apply_result = {2, {{11, "refused"}, {12, "refused"}}};
    EXPECT_EQ(ds.apply_updates(1), 2);
    EXPECT_EQ(ds.change_count(), 3) << "the server gave up and rolled back";
}

TEST_F(ChangeLogTest, ARemoteFailureDuringApplyKeepsTheLog)
{
    ds.set_value("ZBSL00", 15.0);
    server.fail_next_call = true;
    EXPECT_THROW(ds.apply_updates(0), remote::RemoteError);
    EXPECT_EQ(ds.change_count(), 1);
    EXPECT_EQ(ds.as_float("ZBSL00"), 15.0);
}

TEST_F(ChangeLogTest, CloseDropsChangesAndReopenFetchesAnew)
{
    ds.set_value("ZBSL00", 15.0);
    ds.post();
    ds.next();
    ds.delete_current();
    ds.next();
    ds.set_value("ZBSL00", 1.0);  // an unposted edit
    ds.close();
    EXPECT_EQ(ds.state(), State::Inactive);
    EXPECT_EQ(ds.change_count(), 0);
    EXPECT_TRUE(ds.pending_delta().empty());
    ds.open();
    EXPECT_EQ(server.count("get"), 2);
    EXPECT_EQ(quantities(), (std::vector<double>{10, 20, 30}));
    EXPECT_EQ(ds.change_count(), 0);
    EXPECT_EQ(ds.apply_updates(0), 0);
    EXPECT_EQ(server.count("apply"), 0);
}

TEST_F(ChangeLogTest, ObserversHearEditsAndPosts)
{
    RecordingObserver obs;
    ds.add_observer(&obs);
    ds.next();
    ds.set_value("ZBSL00", 21.0);
    ds.post();
    EXPECT_EQ(obs.states, (std::vector<State>{State::Edit, State::Browse}));
    EXPECT_EQ(obs.changed_rows, (std::vector<int>{1, 1}));
    EXPECT_EQ(obs.current_moves, (std::vector<int>{1}));
}

TEST_F(ChangeLogTest, DeletingKeepsTheOtherRowsOfAFilteredViewInOrder)
{
    ds.delete_current();
    EXPECT_EQ(quantities(), (std::vector<double>{20, 30}));
    ds.set_user_filter("ZBSL00 > 25");
    EXPECT_EQ(quantities(), (std::vector<double>{30}));
    ds.set_user_filter("");
    ds.move_to(1);
    ds.delete_current();
    EXPECT_EQ(quantities(), (std::vector<double>{20}));
    EXPECT_EQ(ds.as_float("ZBSL00"), 20.0);
}
