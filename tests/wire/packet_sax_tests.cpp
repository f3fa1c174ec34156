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

namespace {

// The text handed over in pieces of the given sizes (cycled), as a
// connection hands over what arrives.
Outcome by_pieces(const std::string &text, const std::vector<std::size_t> &sizes)
{
    try {
        return {packet_from_pieces([&](const PieceSink &sink) {
                    std::size_t at = 0, k = 0;
                    while (at < text.size()) {
                        const std::size_t n = std::min(text.size() - at, std::max<std::size_t>(1, sizes[k++ % sizes.size()]));
                        sink(std::string_view(text).substr(at, n));
                        at += n;
                    }
                }),
                {}};
    } catch (const WireError &e) {
        return {std::nullopt, e.what()};
    }
}

void expect_same_in_pieces(const std::string &text, const std::vector<std::size_t> &sizes)
{
    const Outcome tree = by_tree(text), pieces = by_pieces(text, sizes);
    EXPECT_EQ(tree.error, pieces.error) << text;
    ASSERT_EQ(tree.packet.has_value(), pieces.packet.has_value()) << text;
    if (tree.packet) {
        EXPECT_EQ(*tree.packet, *pieces.packet) << text;
    }
}

// Texts where the quick reader must either read exactly what the JSON
// library reads or give up and leave the text to it.
const std::vector<std::string> &edge_texts()
{
    static const std::vector<std::string> texts = [] {
        const std::string f = R"({"fields":[{"name":"A","type":"string"},{"name":"B","type":"float"}],"rows":[)";
        std::vector<std::string> t;
        for (const char *row :
             {R"(["x",0])", R"(["x",-0])", R"(["x",-0.0])", R"(["x",0.1e1])", R"(["x",1E+2])", R"(["x",1e-2])",
              R"(["x",01])", R"(["x",1.])", R"(["x",.5])", R"(["x",+1])", R"(["x",-])", R"(["x",1e])", R"(["x",1e+])",
              R"(["x",18446744073709551615])", R"(["x",18446744073709551616])", R"(["x",-9223372036854775808])",
              R"(["x",-9223372036854775809])", R"(["x",1e400])", R"(["x",-1e400])", R"(["x",1e-400])",
              R"(["x",4.9e-324])", R"(["x",2.2250738585072011e-308])", R"(["x",0.30000000000000004])",
              R"(["x",123456789012345678901234567890123456789012345678901234567890123456789012345])",
              R"(["x",1.00000000000000000000000000000000000000000000000000000000000000000000000001])",
              R"(["\u0041\n\"\\\/\b\f\r\t",1])", R"(["\ud83d\ude00",1])", R"(["\ud83d",1])", R"(["\x",1])",
              "[\"tab\there\",1]", "[\"nl\nhere\",1]", "[\"del\x7f\",1]", "[\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x8d\xba\",1]",
              "[\"\xc0\xaf\",1]", "[\"\xe0\x9f\xbf\",1]", "[\"\xed\xa0\x80\",1]", "[\"\xf0\x8f\xbf\xbf\",1]",
              "[\"\xf4\x90\x80\x80\",1]", "[\"\xf5\x80\x80\x80\",1]", "[\"\xc3\",1]", "[\"\xe4\xb8\",1]", "[\"\x80\",1]",
              R"(["x",true])", R"(["x",tru])", R"(["x",nul])", R"([null,null])", R"(["x",1],)", R"(["x" 1])",
              R"(["x",1]])", " [ \"x\" ,\t1 \r\n] "})
            t.push_back(f + row + "]}");
        t.push_back("\xef\xbb\xbf" + f + R"(["x",1]]})");  // a byte order mark
        t.push_back(R"({"fields":[],"rows":[],})");
        t.push_back(R"({"fields":[],"rows":[]} {})");
        t.push_back(R"({"fields":[],"rows":[] )");
        t.push_back(R"({"fields" [],"rows":[]})");
        t.push_back(R"({fields:[],"rows":[]})");
        t.push_back(R"({"fields":[],"rows":[],"x":{"y":[[[{}]]],"z":false}})");
        t.push_back(R"({"fields":[{"name":"A","type":"string","size":6}],"rowIds":[1,-2,3],"rows":[["a"],["b"],["c"]]})");
        return t;
    }();
    return texts;
}

}  // namespace

TEST(PacketSax, QuickReaderReadsWhatTheLibraryReadsOrLeavesItToIt)
{
    for (const auto &t : edge_texts()) expect_same(t);
    // Values the quick reader takes itself come out as the library reads them.
    const DataPacket p = packet_from_text(edge_texts()[3]);  // 0.1e1
    EXPECT_EQ(std::get<double>(p.rows[0][1]), 1.0);
    EXPECT_EQ(std::get<std::int64_t>(packet_from_text(edge_texts()[1]).rows[0][1]), 0);  // -0
    EXPECT_TRUE(std::signbit(std::get<double>(packet_from_text(edge_texts()[2]).rows[0][1])));  // -0.0

    // Random damage to a packet's text: one byte changed, dropped or doubled.
    DataPacket sample;
    sample.fields = {{"NYUE00", FieldType::String, 6}, {"XHAO00", FieldType::Float, 0}, {"ZBMC00", FieldType::String, 50}};
    for (int r = 0; r < 4; ++r)
        sample.rows.push_back({std::string("202612"), 1.0 + r, std::string("卷烟销售总量")});
    sample.row_ids = {11, 12, 13, 14};
    const std::string text = packet_to_json(sample).dump();
    const std::string bytes = "\"\\{}[],:0123456789-+.eEtfn \t\n\x01\x7f\xc3\xa9\xe4\xff";
    std::mt19937_64 rng(20261209);
    for (int round = 0; round < 3000; ++round) {
        std::string t = text;
        const std::size_t at = rng() % t.size();
        switch (rng() % 3) {
        case 0: t[at] = bytes[rng() % bytes.size()]; break;
        case 1: t.erase(at, 1); break;
        default: t.insert(at, 1, t[at]); break;
        }
        expect_same(t);
    }
}

TEST(PacketSax, PiecesAsTheyArriveGiveWhatTheWholeTextGives)
{
    // Every text of the other tests, in pieces of one byte, of a few, and of
    // sizes that fall anywhere in a string, a number or a UTF-8 character.
    const std::vector<std::vector<std::size_t>> cuts = {{1}, {2, 3, 5, 7}, {64 * 1024}, {13, 1, 1, 200}};
    for (const auto &t : edge_texts())
        for (const auto &c : cuts) expect_same_in_pieces(t, c);
    for (const char *t : {"", "{", "[1,2]", R"({"fields":[],"rows":[]})"})
        for (const auto &c : cuts) expect_same_in_pieces(t, c);

    std::mt19937_64 rng(7);
    DataPacket p;
    p.fields = {{"A", FieldType::String, 8}, {"B", FieldType::Float, 0}, {"C", FieldType::Integer, 0}};
    for (int r = 0; r < 3000; ++r) {
        p.rows.push_back({std::string("销售") + std::to_string(rng() % 100000), static_cast<double>(rng() % 100000) / 8,
                          static_cast<std::int64_t>(rng())});
        p.row_ids.push_back(r + 1);
    }
    p.rows[1500][0] = std::string("quote \" and \\ inside");  // read by the library from the start again
    const std::string text = packet_to_json(p).dump();
    for (const auto &c : cuts) {
        const Outcome o = by_pieces(text, c);
        ASSERT_TRUE(o.packet) << o.error;
        EXPECT_EQ(*o.packet, p);
    }
}

TEST(PacketSax, PiecesThatStopOrFailEndTheReadingAsTheyShould)
{
    const std::string good = R"({"fields":[{"name":"A","type":"string"}],"rows":[["x"],["y"]]})";
    // The connection fails half way: its error, not the unfinished text's.
    try {
        packet_from_pieces([&](const PieceSink &sink) {
            sink(good.substr(0, 30));
            throw std::runtime_error("the connection broke");
        });
        ADD_FAILURE() << "a broken text gave a packet";
    } catch (const WireError &) {
        ADD_FAILURE() << "the reader's error came before the connection's";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "the connection broke");
    }
    // A text refused early: what still comes is taken and dropped, the
    // receiving side is never left waiting, and the refusal is the library's.
    std::size_t handed = 0;
    const Outcome o = [&]() -> Outcome {
        try {
            return {packet_from_pieces([&](const PieceSink &sink) {
                        sink("{\"fields\":[1]} x");
                        for (int i = 0; i < 20000; ++i, ++handed) sink(std::string(100, ' '));
                    }),
                    {}};
        } catch (const WireError &e) {
            return {std::nullopt, e.what()};
        }
    }();
    EXPECT_EQ(handed, 20000u);
    EXPECT_FALSE(o.packet);
    EXPECT_EQ(o.error, by_tree("{\"fields\":[1]} x" + std::string(2000000, ' ')).error);
    // Nothing at all: refused as the empty text.
    EXPECT_EQ(by_pieces("", {1}).error, by_tree("").error);
}

namespace {

// A packet with two details, one of them holding a detail of its own.
DataPacket packet_with_details()
{
    DataPacket p;
    p.fields = {{"RYDM00", FieldType::String, 4}, {"ZBSL00", FieldType::Float, 0}};
    p.rows = {{std::string("0101"), 120.0}, {std::string("0102"), std::monostate{}}};
    p.row_ids = {5, 9};
    DataPacket plan;
    plan.fields = {{"XHAO00", FieldType::Float, 0}, {"ZBMC00", FieldType::String, 50}};
    plan.rows = {{1.0, std::string("卷烟销售总量")}};
    DataPacket inner;
    inner.fields = {{"N", FieldType::Integer, 0}};
    inner.rows = {{std::int64_t{3}}};
    plan.details["count"] = inner;
    p.details["plan"] = plan;
    p.details["salesmen \"all\""] = DataPacket{{{"RYDM00", FieldType::String, 4}}, {}, {}, {}};
    return p;
}

}  // namespace

TEST(PacketDetails, EveryReaderAndWriterCarriesThemAndAPacketWithoutThemIsUnchanged)
{
    const DataPacket p = packet_with_details();
    const std::string text = packet_to_text(p);
    // Written after the rows, so that they can follow rows already sent.
    EXPECT_GT(text.find("\"details\""), text.find("\"rows\""));
    EXPECT_EQ(packet_from_text(text), p);
    EXPECT_EQ(packet_from_json(parse_json(text)), p);
    EXPECT_EQ(packet_from_json(packet_to_json(p)), p);
    EXPECT_EQ(packet_from_text(packet_to_json(p).dump()), p);
    for (const auto &cut : std::vector<std::vector<std::size_t>>{{1}, {3, 7}}) {
        const Outcome o = by_pieces(text, cut);
        ASSERT_TRUE(o.packet) << o.error;
        EXPECT_EQ(*o.packet, p);
    }
    // Without details: no member, the text the tree's dump gives.
    DataPacket plain = p;
    plain.details.clear();
    EXPECT_EQ(packet_to_text(plain).find("details"), std::string::npos);
    EXPECT_EQ(packet_to_text(plain), packet_to_json(plain).dump());
    // Written row by row, a detail comes after every row and before the end only.
    std::string out;
    PacketWriter w(out);
    w.begin(p.fields);
    w.detail("a", plain);
    EXPECT_THROW(w.row(p.rows[0]), WireError);
    EXPECT_THROW(w.row_id(1), WireError);
    w.end();
    EXPECT_THROW(w.detail("b", plain), WireError);
    EXPECT_EQ(packet_from_text(out).details.at("a"), plain);
}

TEST(PacketDetails, MalformedDetailsAreRefusedAlikeByEveryReader)
{
    const std::string head = R"({"fields":[{"name":"A","type":"string"}],"rows":[["x"]])";
    const std::string ok = R"({"fields":[],"rows":[]})";
    std::string deep = ok;
    for (int i = 0; i <= kMaxDetailDepth; ++i) deep = R"({"fields":[],"rows":[],"details":{"d":)" + deep + "}}";
    std::string deepest_allowed = ok;
    for (int i = 0; i < kMaxDetailDepth; ++i)
        deepest_allowed = R"({"fields":[],"rows":[],"details":{"d":)" + deepest_allowed + "}}";
    const std::vector<std::pair<std::string, bool>> texts = {  // text, read
        {head + R"(,"details":null})", true},
        {head + R"(,"details":{}})", true},
        {head + R"(,"details":{"a":)" + ok + R"(,"b":)" + ok + "}}", true},
        {head + R"(,"details":{"a":5,"a":)" + ok + "}}", true},  // the last of a name counts
        {R"({"details":{"a":)" + ok + "}," + head.substr(1) + "}", true},
        {deepest_allowed, true},
        {head + R"(,"details":[]})", false},
        {head + R"(,"details":"x"})", false},
        {head + R"(,"details":{"a":5}})", false},
        {head + R"(,"details":{"a":[1]}})", false},
        {head + R"(,"details":{"a":{"fields":[]}}})", false},
        {head + R"(,"details":{"a":{"fields":[{"name":"B","type":"float"}],"rows":[["x",1]]}}})", false},
        {head + R"(,"details":{"a":{"fields":[],"rows":[],"details":{"b":{"rows":[]}}}}})", false},
        {head + R"(,"details":{"a":)" + ok + R"(,"b":)" + ok, false},  // cut short
        {deep, false},
    };
    for (const auto &[t, read] : texts) {
        expect_same(t);
        expect_same_in_pieces(t, {2, 5});
        EXPECT_EQ(by_sax(t).packet.has_value(), read) << t << ": " << by_sax(t).error;
    }
    EXPECT_EQ(by_sax(head + R"(,"details":{"a":{"fields":[]}}})").error, "detail \"a\": a data packet has no \"rows\"");
}

// The rows' version: written last by the writer and the tree alike, read by
// every reader; an answer that the rows are current has no packet at all.
TEST(PacketVersion, EveryReaderAndWriterCarriesItAndAnAnswerCurrentHasNoRows)
{
    wire::DataPacket p;
    p.fields = {{"A", wire::FieldType::String, 2}};
    p.rows = {{std::string("x")}};
    p.row_ids = {7};
    const std::string plain = wire::packet_to_text(p);
    p.version = "9f3a";
    const std::string text = wire::packet_to_text(p);
    EXPECT_EQ(text, plain.substr(0, plain.size() - 1) + ",\"version\":\"9f3a\"}");
    EXPECT_EQ(wire::packet_from_text(text), p);
    EXPECT_EQ(wire::packet_from_json(nlohmann::json::parse(text)), p);
    EXPECT_EQ(wire::packet_from_json(wire::packet_to_json(p)), p);
    p.details["d"] = wire::DataPacket{{{"B", wire::FieldType::Float, 0}}, {{1.0}}};
    EXPECT_EQ(wire::packet_from_text(wire::packet_to_text(p)), p);

    for (const std::string current : {R"({"current":true,"version":"9f3a"})", R"({"version":"9f3a","current":true})"}) {
        const auto a = wire::packet_from_text(current);
        EXPECT_TRUE(a.current);
        EXPECT_EQ(a.version, "9f3a");
        EXPECT_TRUE(a.fields.empty() && a.rows.empty());
        EXPECT_EQ(wire::packet_from_json(nlohmann::json::parse(current)), a);
    }
    for (const char *bad : {R"({"current":true})", R"({"current":true,"version":""})"}) {
        EXPECT_THROW(wire::packet_from_text(bad), wire::WireError) << bad;
        EXPECT_THROW(wire::packet_from_json(nlohmann::json::parse(bad)), wire::WireError) << bad;
    }
    // "current":false is a packet as any other, which needs its fields.
    EXPECT_THROW(wire::packet_from_text(R"({"current":false,"version":"9f3a"})"), wire::WireError);
}
