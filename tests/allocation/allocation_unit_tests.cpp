// The split in whole units: the largest remainder on fixed cases, and over
// thousands of random department months (a seeded generator) the properties
// every split and roll-forward must keep.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>

#include "allocation.h"

namespace {

using allocation::Key;
using allocation::Mode;
using allocation::Month;

TEST(LargestRemainder, FixedCases)
{
    struct Case {
        std::int64_t total;
        std::vector<double> weights;
        std::vector<std::int64_t> parts;
    };
    const std::vector<Case> cases = {
        {10, {1, 1, 1}, {4, 3, 3}},          // the tie goes to the earliest
        {1, {1, 1}, {1, 0}},
        {3, {1, 1, 1, 1}, {1, 1, 1, 0}},
        {7, {0, 1, 0, 1}, {0, 4, 0, 3}},     // no weight, no unit
        {100, {1.5, 1.5, 3}, {25, 25, 50}},
        {10, {0.1, 0.2, 0.7}, {1, 2, 7}},    // not exact in binary, still exact in whole units
        {5, {2, 2, 1}, {2, 2, 1}},
        {11, {1, 2, 3}, {2, 4, 5}},          // 1.83, 3.67, 5.5: the largest remainder first
        {0, {1, 2}, {0, 0}},
        {1000000000, {1, 1, 1}, {333333334, 333333333, 333333333}},
    };
    for (const auto &c : cases) EXPECT_EQ(allocation::largest_remainder(c.total, c.weights), c.parts) << c.total;
    for (const auto &bad : std::vector<std::vector<double>>{{-1, 2}, {0, 0}, {NAN, 1}, {INFINITY, 1}})
        EXPECT_THROW(allocation::largest_remainder(5, bad), allocation::Refused);
}

TEST(LargestRemainder, PartsAddUpAndStayWithinAUnitOfTheQuota)
{
    std::mt19937_64 random(20261210);
    for (int n = 0; n < 5000; ++n) {
        const std::int64_t total = std::uniform_int_distribution<std::int64_t>(0, n % 3 == 0 ? 20 : 5000000)(random);
        std::vector<double> weights(std::uniform_int_distribution<int>(1, 12)(random));
        for (double &w : weights)
            w = n % 2 ? std::uniform_int_distribution<int>(0, 9)(random)
                      : std::uniform_real_distribution<double>(0, 100)(random) * (random() % 4 != 0);
        weights[0] += 1;  // never all zero
        const auto parts = allocation::largest_remainder(total, weights);
        double sum = 0;
        for (double w : weights) sum += w;
        std::int64_t given = 0;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            const double quota = static_cast<double>(total) * weights[i] / sum;
            EXPECT_GE(parts[i], 0);
            EXPECT_LT(std::abs(static_cast<double>(parts[i]) - quota), 1.0 + 1e-6) << n;
            if (weights[i] == 0) {
                EXPECT_EQ(parts[i], 0);
            }
            given += parts[i];
        }
        ASSERT_EQ(given, total) << "case " << n;
    }
}

// A random department month: indicators with whole or fractional plans,
// visit-salesmen (some without a plan, some who left), rows with shares.
struct Generator {
    std::mt19937_64 random{424242};
    int pick(int from, int to) { return std::uniform_int_distribution<int>(from, to)(random); }

    Month month(const std::string &key, int indicators, int salesmen, double filled, bool whole = true)
    {
        Month m;
        m.month = key;
        m.department = "01";
        for (int i = 1; i <= indicators; ++i)
            m.indicators.push_back({{double(i), "指标" + std::to_string(i)}, "1",
                                    whole ? double(pick(0, 5000)) : pick(0, 50000) / 10.0});
        wire::RowId id = 1;
        for (int s = 1; s <= salesmen; ++s) {
            char code[16];
            std::snprintf(code, sizeof code, "%04d", 100 + s);
            m.salesmen.push_back({code, pick(0, 9) != 0});
            if (pick(0, 5) == 0) continue;  // no plan this month
            for (const auto &i : m.indicators)
                m.rows.push_back({id++, code, i.key, pick(0, 7) == 0 ? std::nullopt : std::optional<double>(0)});
        }
        // Shares up to `filled` of each plan, in whole units.
        for (const auto &i : m.indicators) {
            std::vector<Month::Row *> cells;
            for (auto &r : m.rows)
                if (r.key == i.key) cells.push_back(&r);
            double left = std::floor(i.plan * filled);
            for (auto *c : cells) {
                const double q = left > 0 ? double(pick(0, int(left))) : 0;
                if (q > 0) c->quantity = q;
                left -= q;
            }
        }
        return m;
    }
};

double total_of(const Month &m, const Key &key)
{
    double sum = 0;
    for (const auto &r : m.rows)
        if (r.key == key) sum += r.quantity.value_or(0);
    return sum;
}

void apply_changes(Month &m, const std::vector<allocation::Change> &changes)
{
    for (const auto &c : changes)
        for (auto &r : m.rows)
            if (r.id == c.row) r.quantity = c.after;
}

TEST(Split, EveryIndicatorGetsWhatRemainedInWholeUnitsNeverMore)
{
    Generator g;
    for (int n = 0; n < 3000; ++n) {
        Month now = g.month("202612", g.pick(1, 8), g.pick(1, 10), g.pick(0, 100) / 100.0, n % 4 != 0);
        const Month before_month = g.month("202611", int(now.indicators.size()), int(now.salesmen.size()), 1.0);
        allocation::SplitRequest request;
        request.mode = static_cast<Mode>(n % 3);
        for (const auto &s : now.salesmen) request.weights[s.code] = g.pick(0, 5);
        request.weights[now.salesmen.front().code] += 1;
        if (n % 5 == 0) request.indicators = {1, 3};
        std::vector<allocation::Change> changes;
        try {
            changes = allocation::split_remaining(now, &before_month, request);
        } catch (const allocation::Refused &) {
            // Only weights can be refused: every chosen salesman's is 0.
            ASSERT_EQ(request.mode, Mode::Weights);
            continue;
        }
        Month after = now;
        apply_changes(after, changes);
        std::set<wire::RowId> changed;
        for (const auto &c : changes) {
            EXPECT_TRUE(changed.insert(c.row).second);
            const double added = c.after - c.before.value_or(0);
            EXPECT_GE(added, 1) << n;
            EXPECT_EQ(added, std::floor(added)) << n;
        }
        for (const auto &i : now.indicators) {
            const double was = total_of(now, i.key), is = total_of(after, i.key);
            const double units = i.plan - was >= 1 ? std::floor(i.plan - was) : 0;
            const bool chosen = request.indicators.empty() || i.key.sequence == 1 || i.key.sequence == 3;
            EXPECT_LE(is, std::max(i.plan, was)) << n;  // never over
            // All of it when anyone can take it (in Mode::Weights only those weighing anything).
            bool anyone = false;
            for (const auto &r : now.rows) {
                bool visit = false;
                for (const auto &s : now.salesmen) visit = visit || (s.code == r.salesman && s.visit);
                const bool weighs = request.mode != Mode::Weights || request.weights[r.salesman] > 0;
                anyone = anyone || (r.key == i.key && visit && weighs);
            }
            EXPECT_EQ(is - was, chosen && anyone ? units : 0) << "case " << n << " indicator " << i.key.sequence;
        }
        // Once all of it is split, splitting again changes nothing.
        if (request.mode == Mode::Even) {
            EXPECT_TRUE(allocation::split_remaining(after, nullptr, request).empty()) << n;
        }
    }
}

TEST(Split, LastMonthsSharesRuleAndNobodysShareMeansEvenly)
{
    Month last{"202611", "01", {{{1, "甲"}, "1", 100}, {{2, "乙"}, "1", 10}}, {{"0101"}, {"0102"}, {"0103"}},
               {{1, "0101", {1, "甲"}, 30}, {2, "0102", {1, "甲"}, 70}, {3, "0101", {2, "乙"}, 0}}};
    Month now{"202612", "01", {{{1, "甲"}, "1", 50}, {{2, "乙"}, "1", 5}}, {{"0101"}, {"0102"}, {"0103"}},
              {{11, "0101", {1, "甲"}, 0}, {12, "0102", {1, "甲"}, 10}, {13, "0103", {1, "甲"}, {}},
               {14, "0101", {2, "乙"}, 0}, {15, "0102", {2, "乙"}, 0}}};
    const auto changes = allocation::split_remaining(now, &last, {Mode::LastMonth, {}, {}, {}});
    std::vector<std::pair<wire::RowId, double>> got;
    for (const auto &c : changes) got.emplace_back(c.row, c.after);
    // 40 left of 甲: 30:70 -> 12, 28 (0103 had none); 乙: nobody had any -> 3, 2.
    EXPECT_EQ(got, (std::vector<std::pair<wire::RowId, double>>{{11, 12}, {12, 38}, {14, 3}, {15, 2}}));
}

TEST(RollForward, AFullyAllocatedMonthCarriesTheWholeNewPlan)
{
    Generator g;
    for (int n = 0; n < 2000; ++n) {
        Month last = g.month("202611", g.pick(1, 10), g.pick(1, 10), 1.0);
        // Last month fully allocated: the remainder of each indicator on its first row.
        for (auto &i : last.indicators)
            for (auto &r : last.rows)
                if (r.key == i.key) {
                    r.quantity = r.quantity.value_or(0) + (i.plan - total_of(last, i.key));
                    break;
                }
        for (auto &s : last.salesmen) s.visit = true;
        Month now = last;
        now.month = "202612";
        now.rows.clear();
        for (auto &i : now.indicators) i.plan = g.pick(0, 3) == 0 ? i.plan / 3 : g.pick(0, 9000);  // smaller too
        allocation::RollForward r;
        try {
            r = allocation::roll_forward(now, last);
        } catch (const allocation::Refused &) {
            ASSERT_TRUE(last.rows.empty());
            continue;
        }
        std::map<Key, double> total;
        for (const auto &row : r.rows) {
            EXPECT_GE(row.quantity, 0);
            EXPECT_EQ(row.quantity, std::floor(row.quantity));
            total[row.key] += row.quantity;
        }
        for (const auto &i : now.indicators) {
            const double had = total_of(last, i.key);
            EXPECT_EQ(total[i.key], had > 0 ? std::floor(i.plan) : 0) << "case " << n;
        }
        EXPECT_EQ(r.rows.size(), (r.carried.size() + r.new_salesmen.size()) * now.indicators.size());
    }
}

TEST(RollForward, NamesWhoLeftWhoIsNewAndWhatIsNew)
{
    Month last{"202611", "01", {{{1, "甲"}, "1", 10}}, {{"0101"}, {"0102"}, {"0105"}},
               {{1, "0101", {1, "甲"}, 6}, {2, "0102", {1, "甲"}, 4}, {3, "0105", {1, "甲"}, 0}}};
    Month now{"202612", "01", {{{1, "甲"}, "1", 7}, {{2, "新品"}, "4", 9}},
              {{"0101"}, {"0102", false}, {"0103"}, {"0104"}, {"0105"}}, {{9, "0104", {1, "甲"}, 2}}};
    const auto r = allocation::roll_forward(now, last);
    EXPECT_EQ(r.carried, (std::vector<std::string>{"0101", "0105"}));
    EXPECT_EQ(r.left, (std::vector<std::string>{"0102"}));
    EXPECT_EQ(r.new_salesmen, (std::vector<std::string>{"0103"}));  // 0104 has a plan already
    EXPECT_EQ(r.new_indicators, (std::vector<std::string>{"新品"}));
    std::vector<std::string> rows;
    for (const auto &row : r.rows) rows.push_back(row.salesman + row.key.name + std::to_string(int(row.quantity)));
    // 5 left of 甲 (0104 holds 2), all to 0101: 0105 had no share.
    EXPECT_EQ(rows, (std::vector<std::string>{"0101甲5", "0101新品0", "0103甲0", "0103新品0", "0105甲0", "0105新品0"}));

    struct Refusal {
        Month now, last;
        const char *says;
    };
    Month empty_last = last;
    empty_last.rows.clear();
    Month no_plan = now;
    no_plan.indicators.clear();
    Month all_planned = now;
    for (const char *code : {"0101", "0103", "0105"}) all_planned.rows.push_back({0, code, {1, "甲"}, 0});
    for (const auto &c : std::vector<Refusal>{{now, empty_last, "没有访销员计划"},
                                              {no_plan, last, "上级计划还未生成"},
                                              {all_planned, last, "都已有计划"}}) {
        try {
            allocation::roll_forward(c.now, c.last);
            ADD_FAILURE() << c.says;
        } catch (const allocation::Refused &e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

TEST(Weights, ReadAndRefused)
{
    EXPECT_EQ(allocation::parse_weights(" 0101:3, 0102:1.5,"), (allocation::Weights{{"0101", 3}, {"0102", 1.5}}));
    EXPECT_EQ(allocation::weights_text({{"0101", 3}, {"0102", 1.5}}), "0101:3,0102:1.5");
    for (const char *bad : {"0101:abc", "0101", "0101:", ":3", "0101:3x"})
        EXPECT_THROW(allocation::parse_weights(bad), allocation::Refused) << bad;
    const std::vector<std::string> who = {"0101", "0102"};
    EXPECT_NE(allocation::weights_refusal({{"0101", -1}, {"0102", 2}}, who)->find("负数"), std::string::npos);
    EXPECT_NE(allocation::weights_refusal({{"0101", 0}, {"0103", 5}}, who)->find("全为 0"), std::string::npos);
    EXPECT_NE(allocation::weights_refusal({{"0101", NAN}}, who)->find("有限"), std::string::npos);
    EXPECT_FALSE(allocation::weights_refusal({{"0101", 0}, {"0102", 2}}, who));
}

TEST(Fingerprint, ChangesWithAnythingTheHelpersRead)
{
    wire::DataPacket board;
    board.fields = {{"RYDM00", wire::FieldType::String, 4}, {"XHAO00", wire::FieldType::Float, 0},
                    {"ZBMC00", wire::FieldType::String, 50}, {"ZBSL00", wire::FieldType::Float, 0}};
    board.row_ids = {1, 2};
    board.rows = {{std::string("0101"), 1.0, std::string("甲"), 5.0}, {std::string("0102"), 1.0, std::string("甲"), wire::Value{}}};
    board.details["plan"].fields = {{"XHAO00", wire::FieldType::Float, 0}, {"ZBLB00", wire::FieldType::String, 1},
                                    {"ZBMC00", wire::FieldType::String, 50}, {"ZBSL00", wire::FieldType::Float, 0}};
    board.details["plan"].rows = {{1.0, std::string("1"), std::string("甲"), 10.0}};
    board.details["salesmen"].fields = {{"RYDM00", wire::FieldType::String, 4}, {"FXY000", wire::FieldType::String, 1}};
    board.details["salesmen"].rows = {{std::string("0101"), std::string("Y")}, {std::string("0102"), std::string("Y")}};
    const auto print = [](const wire::DataPacket &p) {
        return allocation::fingerprint(allocation::month_from_packet(p, "202612", "01"));
    };
    const std::string base = print(board);
    EXPECT_EQ(base.size(), 16u);
    auto reordered = board;
    std::swap(reordered.rows[0], reordered.rows[1]);
    std::swap(reordered.row_ids[0], reordered.row_ids[1]);
    EXPECT_EQ(print(reordered), base);
    std::vector<std::function<void(wire::DataPacket &)>> changes = {
        [](auto &p) { p.rows[0][3] = 6.0; },                         // a quantity
        [](auto &p) { p.rows[1][3] = 0.0; },                         // empty becomes 0
        [](auto &p) { p.row_ids[1] = 7; },                           // another row
        [](auto &p) { p.details["plan"].rows[0][3] = 11.0; },        // the department's plan
        [](auto &p) { p.details["salesmen"].rows[1][1] = std::string("N"); },  // one left
        [](auto &p) { p.details["salesmen"].rows.push_back({std::string("0103"), std::string("Y")}); },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        auto changed = board;
        changes[i](changed);
        EXPECT_NE(print(changed), base) << i;
    }
    EXPECT_EQ(allocation::previous_month("202601"), "202512");
    EXPECT_EQ(allocation::previous_month("202612"), "202611");
}

}  // namespace
