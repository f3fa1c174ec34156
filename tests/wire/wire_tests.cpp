#include "wire.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace wire;
using nlohmann::json;

namespace {

DataPacket sample_packet()
{
    DataPacket p;
    p.fields = {{"NYUE00", FieldType::String, 6}, {"XHAO00", FieldType::Float, 0},
                {"ZBMC00", FieldType::String, 50}, {"N", FieldType::Integer, 0}};
    p.rows = {{std::string("200303"), 1.0, std::string("卷烟销量"), std::int64_t{9007199254740993}},
              {std::string("200303"), -2.5, std::monostate{}, std::int64_t{-42}}};
    p.row_ids = {7, 8};
    return p;
}

}  // namespace

TEST(WirePacket, RoundTripKeepsChineseNullsAndLargeNumbers)
{
    DataPacket p = sample_packet();
    const std::string text = packet_to_json(p).dump();
    DataPacket back = packet_from_json(parse_json(text));
    EXPECT_EQ(back, p);
    EXPECT_EQ(std::get<std::string>(back.rows[0][2]), "卷烟销量");
    EXPECT_EQ(std::get<std::int64_t>(back.rows[0][3]), 9007199254740993);
}

TEST(WirePacket, UsesTheDocumentedShape)
{
    json j = packet_to_json(sample_packet());
    EXPECT_EQ(j["fields"][0], json({{"name", "NYUE00"}, {"type", "string"}, {"size", 6}}));
    EXPECT_EQ(j["fields"][1]["type"], "float");
    EXPECT_TRUE(j["rows"][1][2].is_null());
    EXPECT_EQ(j["rowIds"], json({7, 8}));

    DataPacket no_ids = sample_packet();
    no_ids.row_ids.clear();
    EXPECT_FALSE(packet_to_json(no_ids).contains("rowIds"));
}

TEST(WirePacket, MalformedDocumentsGiveClearErrors)
{
    const char *bad[] = {
        R"([])",
        R"({"rows":[]})",
        R"({"fields":{},"rows":[]})",
        R"({"fields":[{"type":"string"}],"rows":[]})",
        R"({"fields":[{"name":"A","type":"blob"}],"rows":[]})",
        R"({"fields":[{"name":"A","type":"string","size":-1}],"rows":[]})",
        R"({"fields":[{"name":"A","type":"string"}],"rows":[[1,2]]})",
        R"({"fields":[{"name":"A","type":"string"}],"rows":[[[1]]]})",
        R"({"fields":[{"name":"A","type":"string"}],"rows":[["x"]],"rowIds":[1,2]})",
        R"({"fields":[{"name":"A","type":"string"}],"rows":[["x"]],"rowIds":["a"]})",
    };
    for (const char *doc : bad) {
        try {
            packet_from_json(parse_json(doc));
            ADD_FAILURE() << "accepted: " << doc;
        } catch (const WireError &e) {
            EXPECT_FALSE(std::string(e.what()).empty()) << doc;
        }
    }
    EXPECT_THROW(parse_json("{\"fields\":"), WireError);
    EXPECT_THROW(parse_json(""), WireError);
}

TEST(WireDelta, RoundTripOfEveryKind)
{
    Delta d;
    d.push_back({ChangeKind::Modify, 12, {{"ZBSL00", 3.0}}, {{"ZBSL00", 4.5}}});
    d.push_back({ChangeKind::Delete, 13, {{"ZBSL00", std::monostate{}}, {"ZBMC00", std::string("零售户")}}, {}});
    d.push_back({ChangeKind::Insert, std::nullopt, {}, {{"NYUE00", std::string("200312")}}});
    json j = delta_to_json(d);
    EXPECT_EQ(j[0]["kind"], "modify");
    EXPECT_EQ(j[1]["kind"], "delete");
    EXPECT_TRUE(j[2]["rowId"].is_null());
    EXPECT_EQ(delta_from_json(parse_json(j.dump())), d);
}

TEST(WireDelta, MalformedChangesAreRefused)
{
    EXPECT_THROW(delta_from_json(json::object()), WireError);
    EXPECT_THROW(delta_from_json(parse_json(R"([{"rowId":1}])")), WireError);
    EXPECT_THROW(delta_from_json(parse_json(R"([{"kind":"upsert"}])")), WireError);
    EXPECT_THROW(delta_from_json(parse_json(R"([{"kind":"modify","rowId":1.5}])")), WireError);
    EXPECT_THROW(delta_from_json(parse_json(R"([{"kind":"modify","values":[1]}])")), WireError);
    EXPECT_THROW(delta_from_json(parse_json(R"([{"kind":"modify","values":{"A":{}}}])")), WireError);
}

TEST(WireApplyResult, RoundTripAndValidation)
{
    ApplyResult r{2, {{5, "该行已被其他用户修改"}, {std::nullopt, "refused"}}};
    EXPECT_EQ(apply_result_from_json(parse_json(apply_result_to_json(r).dump())), r);
    EXPECT_THROW(apply_result_from_json(parse_json(R"({"errorCount":-1})")), WireError);
    EXPECT_THROW(apply_result_from_json(parse_json(R"({"errorCount":"1"})")), WireError);
    EXPECT_THROW(apply_result_from_json(parse_json(R"({"errorCount":1,"errors":[{}]})")), WireError);
}

TEST(WireErrors, ErrorAnswer)
{
    EXPECT_EQ(error_from_json(error_to_json("no such table: X")), "no such table: X");
    EXPECT_EQ(error_from_json(json({{"session", "abc"}})), std::nullopt);
    EXPECT_EQ(error_from_json(json::array()), std::nullopt);
}

TEST(WireErrors, TheCodeFollowsTheMessageAndReadsBack)
{
    const std::string text = error_to_text("表 \"X\" 不存在\xff", "session_gone");
    EXPECT_EQ(text, "{\"error\":\"表 \\\"X\\\" 不存在\xef\xbf\xbd\",\"code\":\"session_gone\"}");
    const auto answer = error_answer_from_json(parse_json(text));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->code, "session_gone");
    EXPECT_EQ(error_from_json(parse_json(text)), answer->message);
    // An answer without a code (an older server, another program) has none.
    EXPECT_EQ(error_answer_from_json(error_to_json("x"))->code, "");
    EXPECT_EQ(error_answer_from_json(json({{"session", "abc"}})), std::nullopt);
}

TEST(WireValues, TextAndNumberReadings)
{
    EXPECT_EQ(value_to_text(Value{12.0}), "12");
    EXPECT_EQ(value_to_text(Value{12.5}), "12.5");
    EXPECT_EQ(value_to_text(Value{-0.0}), "0");
    EXPECT_EQ(value_to_text(Value{std::int64_t{-7}}), "-7");
    EXPECT_EQ(value_to_text(Value{}), "");
    EXPECT_DOUBLE_EQ(value_to_double(Value{}), 0.0);
    EXPECT_DOUBLE_EQ(value_to_double(Value{std::string("")}), 0.0);
    EXPECT_DOUBLE_EQ(value_to_double(Value{std::string(" 3.25 ")}), 3.25);
    EXPECT_DOUBLE_EQ(value_to_double(Value{std::string("+4")}), 4.0);
    EXPECT_DOUBLE_EQ(value_to_double(Value{std::int64_t{5}}), 5.0);
    EXPECT_THROW(value_to_double(Value{std::string("12abc")}), WireError);
    EXPECT_THROW(value_to_json(Value{std::numeric_limits<double>::infinity()}), WireError);
}
