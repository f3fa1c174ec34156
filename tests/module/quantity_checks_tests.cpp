// The quantity editor's checks against the remaining quantity, on plan rows
// served from memory: what passes, and the refusal word for word.
#include "quantity_checks.h"

#include <gtest/gtest.h>

#include "client_dataset.h"
#include "fake_link.h"
#include "remote_connection.h"

namespace {

using dataset_test::FakeLinkScope;
using dataset_test::FakeServer;
using dataset_test::make_packet;
using wire::FieldType;
using wire::Value;

const Value kEmpty = std::monostate{};

const Refusal kNegative{"计划数量不能为负数", "警告", 48};
const Refusal kOverRemaining{"计划数量不能超过剩余计划数量", "警告", 48};

Refusal over_at_save(const std::string &sequence)
{
    return {"序号为'" + sequence + "'指标的计划数量超过剩余计划数量，请重新修改", "警告", 48};
}

struct Row {
    Value xhao00;
    Value zbsl00;  // the typed quantity
    Value shzbsl;  // what is left for it
};

// Plan rows with their remaining quantities, opened in a dataset.
class PlanRows {
public:
    explicit PlanRows(const std::vector<Row> &rows) : scope_(server_), connection_(remote::cust_object())
    {
        std::vector<wire::Row> packet_rows;
        for (const Row &r : rows) packet_rows.push_back({r.xhao00, r.zbsl00, r.shzbsl});
        server_.serve("dsp_plan", "",
                      make_packet({{"XHAO00", FieldType::Float, 0},
                                   {"ZBSL00", FieldType::Float, 0},
                                   {"SHZBSL", FieldType::Float, 0}},
                                  packet_rows));
        plan.set_connection(&connection_);
        plan.set_provider_name("dsp_plan");
        plan.open();
    }

    dataset::ClientDataset plan{"cds_xstyzb02"};

private:
    FakeServer server_;
    FakeLinkScope scope_;
    remote::RemoteConnection connection_;
};

}  // namespace

TEST(QuantityChecks, EnterPassesWithinTheRemainingQuantityAndRefusesNegativeOrOver)
{
    struct Case {
        const char *what;
        Value quantity, remaining;
        std::optional<Refusal> refusal;
    };
    const Case cases[] = {
        {"equal passes", 40.0, 40.0, std::nullopt},
        {"below passes", 39.5, 40.0, std::nullopt},
        {"empty quantity reads 0", kEmpty, 0.0, std::nullopt},
        {"empty remaining reads 0: zero passes", 0.0, kEmpty, std::nullopt},
        {"empty remaining reads 0: more is over", 1.0, kEmpty, kOverRemaining},
        {"over", 40.5, 40.0, kOverRemaining},
        {"negative, however much is left", -1.0, 40.0, kNegative},
    };
    for (const Case &c : cases) {
        PlanRows rows({{1.0, c.quantity, c.remaining}});
        EXPECT_EQ(refusal_on_enter(rows.plan), c.refusal) << c.what;
        EXPECT_EQ(rows.plan.rec_no(), 0) << c.what;  // the check moves nothing
    }
}

TEST(QuantityChecks, SaveNamesTheFirstRowOverItsRemainingQuantityAndRestsOnIt)
{
    struct Case {
        const char *what;
        std::vector<Row> rows;
        std::optional<Refusal> refusal;
        int rests_on;  // -1: every row passed
    };
    const Case cases[] = {
        {"every row within, equal and empty included",
         {{1.0, 100.0, 100.0}, {2.0, kEmpty, 0.0}, {3.0, 0.0, kEmpty}}, std::nullopt, -1},
        {"the first of two over-large rows, in general number format",
         {{1.0, 5.0, 10.0}, {12.0, 11.0, 10.0}, {13.0, 50.0, 10.0}}, over_at_save("12"), 1},
        {"a row without a remaining quantity",
         {{1.0, 5.0, 10.0}, {9.0, 1.0, kEmpty}}, over_at_save("9"), 1},
        {"a negative quantity is left to the server", {{1.0, -1.0, 10.0}}, std::nullopt, -1},
        {"a fractional sequence number", {{2.5, 3.0, 2.0}}, over_at_save("2.5"), 0},
    };
    for (const Case &c : cases) {
        PlanRows rows(c.rows);
        rows.plan.last();  // the check starts from the first row wherever the cursor is
        EXPECT_EQ(refusal_on_save(rows.plan), c.refusal) << c.what;
        if (c.rests_on >= 0)
            EXPECT_EQ(rows.plan.rec_no(), c.rests_on) << c.what;
        else
            EXPECT_TRUE(rows.plan.eof()) << c.what;
    }
}
