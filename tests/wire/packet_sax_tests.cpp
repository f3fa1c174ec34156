// The SAX reader of data packets against the tree reader: the same packet or
// the same refusal for every text.
#include "wire.h"

#include <random>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace wire;
using nlohmann::json;

namespace {

// What a reader made of a text: the packet, or the message it refused it with.
struct Outcome {
    std::optional<DataPacket> packet;
    std::string error;
};

Outcome by_tree(const std::string &text)
{
    try {
        return {packet_from_json(parse_json(text)), {}};
    } catch (const WireError &e) {
        return {std::nullopt, e.what()};
    }
}

Outcome by_sax(const std::string &text)
{
    try {
        return {packet_from_text(text), {}};
    } catch (const WireError &e) {
        return {std::nullopt, e.what()};
    }
}

void expect_same(const std::string &text)
{
    const Outcome tree = by_tree(text), sax = by_sax(text);
    EXPECT_EQ(tree.error, sax.error) << text;
    ASSERT_EQ(tree.packet.has_value(), sax.packet.has_value()) << text;
    if (tree.packet) {
        EXPECT_EQ(*tree.packet, *sax.packet) << text;
    }
}

}  // namespace

TEST(PacketSax, ReadsWhatTheTreeReaderReads)
{
    const std::vector<std::string> texts = {
        // Chinese, escapes, a surrogate pair, nulls, the integer range and beyond it.
        R"({"fields":[{"name":"NYUE00","type":"string","size":6},{"name":"XHAO00","type":"float"},)"
        R"({"name":"N","type":"integer","size":0}],"rows":[["200303",1.0,9007199254740993],)"
        R"(["\u4e2d\"文\"\\ \ud83d\ude00",null,-9223372036854775808],[null,-0.0,18446744073709551615],)"
        R"(["",1e300,9223372036854775807]],"rowIds":[7,8,9,9223372036854775807]})",
        R"({"fields":[{"name":"A","type":"float"}],"rows":[[0.1],[-2.5e-300],[12]]})",
        // Members in another order, unknown members, rowIds null or before the rows.
        R"({"rows":[["x"]],"extra":{"a":[1,{"b":null}]},"fields":[{"name":"A","type":"string","x":[1]}]})",
        R"({"fields":[{"name":"A","type":"string"}],"rowIds":[3],"rows":[["x"]]})",
        R"({"fields":[{"name":"A","type":"string"}],"rows":[["x"]],"rowIds":null})",
        R"({"fields":[],"rows":[]})",
        R"({"fields":[],"rows":[[]],"rowIds":[18446744073709551615]})",
        // A member given twice: the last one counts.
        R"({"fields":[{"name":"A","type":"string"}],"rows":[[1,2]],"rows":[["y"]]})",
        R"({"fields":[{"name":"A","type":"string","type":"float"}],"rows":[[1.5]]})",
        R"(  {"fields":[{"name":"A","type":"string"}],"rows":[["x"]]}  )",
    };
    for (const auto &t : texts) expect_same(t);
    // And what it read is what was written.
    const DataPacket p = packet_from_text(texts[0]);
    EXPECT_EQ(std::get<std::string>(p.rows[1][0]), "中\"文\"\\ \xF0\x9F\x98\x80");
    EXPECT_EQ(std::get<std::int64_t>(p.rows[0][2]), 9007199254740993);
    EXPECT_EQ(std::get<double>(p.rows[2][2]), 18446744073709551615.0);
    EXPECT_TRUE(is_null(p.rows[1][1]));
    EXPECT_EQ(p.row_ids, (std::vector<RowId>{7, 8, 9, 9223372036854775807}));
}

TEST(PacketSax, RefusesWhatTheTreeReaderRefusesWithTheSameMessage)
{
    const std::string f = R"("fields":[{"name":"A","type":"string"},{"name":"B","type":"float"}])";
    const std::vector<std::string> texts = {
        "", "{", "[1,2]", "5", "null", "{}", R"({"fields":{}})", R"({"fields":null})", R"({"fields":[1]})",
        R"({"fields":[[]]})", R"({"fields":[{"type":"string"}]})", R"({"fields":[{"name":"","type":"string"}]})",
        R"({"fields":[{"name":7,"type":"string"}]})", R"({"fields":[{"name":"A"}]})",
        R"({"fields":[{"name":"A","type":5}]})", R"({"fields":[{"name":"A","type":"date"}]})",
        R"({"fields":[{"name":"A","type":"string","size":-1}]})",
        R"({"fields":[{"name":"A","type":"string","size":1.5}]})",
        R"({"fields":[{"name":"A","type":"string","size":99999999}]})",
        R"({"fields":[{"name":"A","type":"string","size":18446744073709551615}]})",
        R"({"fields":[{"name":"A","type":"string","size":null}]})",
        "{" + f + "}", "{" + f + R"(,"rows":{}})", "{" + f + R"(,"rows":[["x"]]})",
        "{" + f + R"(,"rows":[["x",1],"x"]})", "{" + f + R"(,"rows":[["x",{}]]})",
        "{" + f + R"(,"rows":[["x",[1]]]})", "{" + f + R"(,"rows":[["x",true]]})",
        "{" + f + R"(,"rows":[["x",true],["y"]]})", "{" + f + R"(,"rows":[["x",1],[true,{}]]})", "{" + f + R"(,"rows":[["x",1]],"rowIds":[]})",
        "{" + f + R"(,"rows":[["x",1]],"rowIds":[1.5]})", "{" + f + R"(,"rows":[["x",1]],"rowIds":["1"]})",
        "{" + f + R"(,"rows":[["x",1]],"rowIds":{}})", "{" + f + R"(,"rows":[["x",1]],"rowIds":[[1]]})",
        "{" + f + R"(,"rows":[["x",1e400]]})", "{" + f + R"(,"rows":[["x",1]]} trailing)",
        "{" + f + R"(,"rows":[["\xff",1]]})", R"({"error":"statement not allowed"})",
    };
    for (const auto &t : texts) {
        expect_same(t);
        EXPECT_FALSE(by_sax(t).packet) << t;
    }
    EXPECT_EQ(by_sax("{").error.rfind("malformed JSON: ", 0), 0u);
    EXPECT_EQ(by_sax("{" + f + R"(,"rows":[["x",1e400]]})").error.rfind("malformed JSON: ", 0), 0u);
}

TEST(PacketSax, AgreesOnRandomPacketsAndEveryCutOfThem)
{
    std::mt19937_64 rng(20260101);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); };
    for (int round = 0; round < 40; ++round) {
        DataPacket p;
        const int width = pick(5);
        for (int c = 0; c < width; ++c)
            p.fields.push_back({"F" + std::to_string(c), static_cast<FieldType>(pick(3)), pick(60)});
        const int rows = pick(6);
        for (int r = 0; r < rows; ++r) {
            Row row;
            for (int c = 0; c < width; ++c) {
                switch (pick(5)) {
                case 0: row.emplace_back(std::monostate{}); break;
                case 1: row.emplace_back(std::string("指标") + std::to_string(rng() % 1000) + "\t\"'"); break;
                case 2: row.emplace_back(static_cast<double>(static_cast<std::int64_t>(rng())) / 1e6); break;
                case 3: row.emplace_back(static_cast<std::int64_t>(rng())); break;
                default: row.emplace_back(std::int64_t{pick(100)}); break;
                }
            }
            p.rows.push_back(std::move(row));
        }
        if (pick(2)) {
            for (int r = 0; r < rows; ++r) p.row_ids.push_back(static_cast<RowId>(rng() >> 1));
        }
        const std::string text = packet_to_json(p).dump();
        ASSERT_EQ(packet_from_text(text), p) << text;
        // Every text that breaks off somewhere is refused alike.
        for (std::size_t cut = 0; cut < text.size(); cut += 1 + text.size() / 25) expect_same(text.substr(0, cut));
    }
}
