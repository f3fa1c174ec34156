// Lookup fields: the remaining quantity of a plan row read from another
// dataset by sequence number.
#include <gtest/gtest.h>

#include "client_dataset.h"
#include "fake_link.h"

using namespace dataset;
using dataset_test::FakeLinkScope;
using dataset_test::FakeServer;
using dataset_test::make_packet;
using dataset_test::RecordingObserver;
using wire::FieldType;

namespace {

const char *kRemaining1 = "SELECT remaining 1";
const char *kRemaining2 = "SELECT remaining 2";

class LookupTest : public ::testing::Test {
protected:
    LookupTest() : scope(server), info(remote::company_info_object()), cust(remote::cust_object())
    {
        using S = std::string;
        // Plan rows; XHAO00 arrives once as a number, once as text, once unmatched.
        server.serve("dsp_xstyzb02cys", "",
                     make_packet({{"XHAO00", FieldType::Float, 0}, {"ZBSL00", FieldType::Float, 0},
                                  {"RYDM00", FieldType::String, 4}},
                                 {{1.0, 10.0, S("0007")}, {S("2"), 20.0, S("0007")}, {9.0, 5.0, S("0008")},
                                  {std::monostate{}, 1.0, S("0009")}},
                                 {1, 2, 3, 4}));
        server.serve("dsp_temp", kRemaining1,
                     make_packet({{"ZBMC00", FieldType::String, 50}, {"ZBSL00", FieldType::String, 0},
                                  {"XHAO00", FieldType::Integer, 0}},
                                 {{S("卷烟"), S("100"), std::int64_t{1}}, {S("雪茄"), S("200.5"), std::int64_t{2}}}));
        server.serve("dsp_temp", kRemaining2,
                     make_packet({{"ZBMC00", FieldType::String, 50}, {"ZBSL00", FieldType::Float, 0},
                                  {"XHAO00", FieldType::Float, 0}},
                                 {{S("卷烟"), 7.0, 1.0}, {S("其他"), 99.0, 9.0}}));

        lookup.set_connection(&info);
        lookup.set_provider_name("dsp_temp");
        lookup.set_fixed_fields({{"ZBMC00", FieldType::String, 50}, {"ZBSL00", FieldType::Float, 0},
                                 {"XHAO00", FieldType::Float, 0}});
        plan.set_connection(&cust);
        plan.set_provider_name("dsp_xstyzb02cys");
        plan.set_fixed_fields({{"XHAO00", FieldType::Float, 0}, {"ZBSL00", FieldType::Float, 0},
                               {"RYDM00", FieldType::String, 4}});
        plan.add_lookup_field({"SHZBSL", FieldType::Float, &lookup, "XHAO00", "XHAO00", "ZBSL00"});
    }

    std::vector<std::string> remaining_column()
    {
        std::vector<std::string> out;
        const int col = plan.field_index("SHZBSL");
        for (int r = 0; r < plan.record_count(); ++r) out.push_back(wire::value_to_text(plan.value_at(r, col)));
        return out;
    }

    FakeServer server;
    FakeLinkScope scope;
    remote::RemoteConnection info;
    remote::RemoteConnection cust;
    ClientDataset lookup{"CDS_LOOKUP"};
    ClientDataset plan{"cds_xstyzb02"};
};

}  // namespace

TEST_F(LookupTest, TheLookupFieldComesAfterTheDataFields)
{
    ASSERT_EQ(plan.field_count(), 4);
    EXPECT_EQ(plan.field(3).name, "SHZBSL");
    EXPECT_TRUE(plan.field(3).lookup);
    EXPECT_FALSE(plan.field(0).lookup);
    plan.open();
    EXPECT_EQ(plan.field_index("shzbsl"), 3);
}

TEST_F(LookupTest, MatchesByValueAndNoMatchIsEmptyReadingZero)
{
    lookup.set_command_text(kRemaining1);
    lookup.open();
    plan.open();
    // 1 matches 1, "2" matches 2 (its text "200.5" read as a number); 9 and an empty key match nothing.
    EXPECT_EQ(remaining_column(), (std::vector<std::string>{"100", "200.5", "", ""}));
    EXPECT_EQ(plan.value("SHZBSL"), Value(100.0));
    plan.move_to(2);
    EXPECT_EQ(plan.value("SHZBSL"), Value(std::monostate{}));
    EXPECT_EQ(plan.as_float("SHZBSL"), 0.0);
    EXPECT_EQ(plan.as_string("SHZBSL"), "");
}

TEST_F(LookupTest, ReopeningTheLookupDatasetChangesEveryRowAndTellsTheViews)
{
    lookup.set_command_text(kRemaining1);
    lookup.open();
    plan.open();
    RecordingObserver obs;
    plan.add_observer(&obs);
    lookup.close();
    EXPECT_EQ(remaining_column(), (std::vector<std::string>{"", "", "", ""})) << "a closed lookup matches nothing";
    lookup.set_command_text(kRemaining2);
    lookup.open();
    EXPECT_EQ(remaining_column(), (std::vector<std::string>{"7", "", "99", ""}));
    EXPECT_EQ(obs.resets, 2) << "close and open each reset the dependent views";
    EXPECT_EQ(server.count("get"), 3) << "the plan rows are not fetched again";
}

TEST_F(LookupTest, OpeningThePlanBeforeTheLookupFillsInLater)
{
    plan.open();
    EXPECT_EQ(remaining_column(), (std::vector<std::string>{"", "", "", ""}));
    lookup.set_command_text(kRemaining2);
    lookup.open();
    EXPECT_EQ(remaining_column(), (std::vector<std::string>{"7", "", "99", ""}));
}

TEST_F(LookupTest, FirstMatchingRowWinsOnDuplicateKeys)
{
    using S = std::string;
    server.serve("dsp_temp", "dup",
                 make_packet({{"ZBMC00", FieldType::String, 0}, {"ZBSL00", FieldType::Float, 0},
                              {"XHAO00", FieldType::Float, 0}},
                             {{S("a"), 1.0, 1.0}, {S("b"), 2.0, 1.0}}));
    lookup.set_command_text("dup");
    lookup.open();
    plan.open();
    EXPECT_EQ(plan.as_float("SHZBSL"), 1.0);
}

TEST_F(LookupTest, EditingTheKeyRecomputesTheLookup)
{
    lookup.set_command_text(kRemaining2);
    lookup.open();
    plan.open();
    plan.set_value("XHAO00", 9.0);
    EXPECT_EQ(plan.as_float("SHZBSL"), 99.0) << "read through the edit buffer";
    plan.post();
    EXPECT_EQ(plan.as_float("SHZBSL"), 99.0);
    EXPECT_EQ(plan.value_at(0, 3), Value(99.0));
}

TEST_F(LookupTest, ChangesInTheLookupDatasetReachTheDependent)
{
    lookup.set_command_text(kRemaining2);
    lookup.open();
    plan.open();
    lookup.set_value("ZBSL00", 8.0);
    EXPECT_EQ(plan.as_float("SHZBSL"), 7.0) << "an unposted edit is not seen";
    lookup.post();
    EXPECT_EQ(plan.as_float("SHZBSL"), 8.0);
    lookup.delete_current();
    EXPECT_EQ(plan.value("SHZBSL"), Value(std::monostate{}));
}

TEST_F(LookupTest, AFilterOnTheLookupFieldFollowsTheLookup)
{
    lookup.set_command_text(kRemaining1);
    lookup.open();
    plan.set_user_filter("SHZBSL > 90");
    plan.open();
    EXPECT_EQ(plan.record_count(), 2);
    lookup.close();
    lookup.set_command_text(kRemaining2);
    lookup.open();
    EXPECT_EQ(plan.record_count(), 1);
    EXPECT_EQ(plan.as_float("SHZBSL"), 99.0);
}

TEST_F(LookupTest, TheLookupFieldCannotBeChangedAndNeverTravels)
{
    lookup.set_command_text(kRemaining1);
    lookup.open();
    plan.open();
    EXPECT_THROW(plan.set_value("SHZBSL", 1.0), DatasetError);
    EXPECT_EQ(plan.state(), State::Browse);
    plan.set_value("ZBSL00", 11.0);
    plan.post();
    const auto delta = plan.pending_delta();
    ASSERT_EQ(delta.size(), 1u);
    EXPECT_EQ(delta[0].original.count("SHZBSL"), 0u);
    EXPECT_EQ(delta[0].values.count("SHZBSL"), 0u);
}

TEST_F(LookupTest, AMissingKeyFieldIsNamedOnOpen)
{
    ClientDataset other("cds_other");
    other.set_connection(&cust);
    other.set_provider_name("dsp_xstyzb02cys");
    other.add_lookup_field({"REST", FieldType::Float, &lookup, "NOPE00", "XHAO00", "ZBSL00"});
    try {
        other.open();
        FAIL() << "open must fail";
    } catch (const DatasetError &e) {
        EXPECT_NE(std::string(e.what()).find("\"NOPE00\""), std::string::npos) << e.what();
    }
    EXPECT_FALSE(other.active());
}

TEST_F(LookupTest, BadLookupDefinitionsAreRefused)
{
    EXPECT_THROW(plan.add_lookup_field({"SHZBSL", FieldType::Float, &lookup, "XHAO00", "XHAO00", "ZBSL00"}),
                 DatasetError)
        << "a second field of the same name";
    EXPECT_THROW(plan.add_lookup_field({"X", FieldType::Float, nullptr, "XHAO00", "XHAO00", "ZBSL00"}), DatasetError);
    EXPECT_THROW(plan.add_lookup_field({"X", FieldType::Float, &plan, "XHAO00", "XHAO00", "ZBSL00"}), DatasetError);
    plan.open();
    EXPECT_THROW(plan.add_lookup_field({"Y", FieldType::Float, &lookup, "XHAO00", "XHAO00", "ZBSL00"}), DatasetError);
}

TEST_F(LookupTest, ALookupDatasetDestroyedFirstLeavesTheLookupEmpty)
{
    auto source = std::make_unique<ClientDataset>("CDS_TEMP_LOOKUP");
    source->set_connection(&info);
    source->set_provider_name("dsp_temp");
    source->set_command_text(kRemaining2);
    ClientDataset dependent("cds_dep");
    dependent.set_connection(&cust);
    dependent.set_provider_name("dsp_xstyzb02cys");
    dependent.add_lookup_field({"REST", FieldType::Float, source.get(), "XHAO00", "XHAO00", "ZBSL00"});
    source->open();
    dependent.open();
    EXPECT_EQ(dependent.as_float("REST"), 7.0);
    source.reset();
    EXPECT_EQ(dependent.value("REST"), Value(std::monostate{}));
}

TEST_F(LookupTest, ALookupNamedLikeADataColumnIsRefusedOnOpen)
{
    // Without fixed fields the data columns are known only when the rows arrive.
    ClientDataset temp("cds_temp");
    temp.set_connection(&cust);
    temp.set_provider_name("dsp_xstyzb02cys");
    temp.add_lookup_field({"zbsl00", FieldType::Float, &lookup, "XHAO00", "XHAO00", "ZBSL00"});
    EXPECT_THROW(temp.open(), DatasetError);
    EXPECT_FALSE(temp.active());
}
