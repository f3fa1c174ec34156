// The plan provider's answer written while its rows are read: the streaming
// packet writer against the JSON tree, the streamed answer over HTTP against
// the packet built whole, and what the client sees when the database fails
// before the first byte and after the answer has begun.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "app_server.h"
#include "http_front_end.h"
#include "contract.h"
#include "backend_test.h"
#include "database.h"
#include "dialect.h"
#include "statement_catalogue.h"

namespace {

// The caller of the calls below: the anonymous planner, as every caller is
// with --auth none.
const appserver::Caller anyone;

using nlohmann::json;
using namespace wire;

std::string tree_text(const DataPacket &p)
{
    return packet_to_json(p).dump(-1, ' ', false, json::error_handler_t::replace);
}

DataPacket packet(std::vector<FieldDef> fields, std::vector<Row> rows, std::vector<RowId> ids = {})
{
    DataPacket p;
    p.fields = std::move(fields);
    p.rows = std::move(rows);
    p.row_ids = std::move(ids);
    return p;
}

TEST(PacketWriter, WritesTheTextOfTheJsonTreeByteForByte)
{
    const std::vector<FieldDef> three = {{"NYUE00", FieldType::String, 6},
                                         {"ZBSL00", FieldType::Float, 0},
                                         {"名称", FieldType::Integer, 0}};
    const std::vector<DataPacket> packets = {
        packet({}, {}),
        packet(three, {}),
        packet(three, {}, {1, 2}),  // identities without rows are still sent
        packet(three, {{std::string("202612"), 1.5, std::int64_t{7}}}),
        packet(three,
               {{std::monostate{}, std::monostate{}, std::monostate{}},
                {std::string(""), 0.0, std::int64_t{0}},
                {std::string("销量指标 🍺"), -0.0, std::numeric_limits<std::int64_t>::min()},
                {std::string("quote \" back \\ slash / tab\t nl\n cr\r bell\x07 del\x7f"), 12.0,
                 std::numeric_limits<std::int64_t>::max()},
                {std::string("bad \xff\xfe utf-8, cut \xe9\x94"), 0.1, std::int64_t{-1}},
                {std::string("overlong \xc0\xaf"), 1e20, std::int64_t{42}},
                {std::string("overlong \xe0\x80\xaf"), 1e21, std::int64_t{43}},
                {std::string("overlong \xf0\x80\x80\xaf"), 1e22, std::int64_t{44}},
                {std::string("surrogate \xed\xa0\x80"), 1e23, std::int64_t{45}},
                {std::string("past the last \xf4\x90\x80\x80"), 1e24, std::int64_t{46}},
                {std::string("lone \x80 continuation"), 1e25, std::int64_t{47}},
                {std::string("\x00 nul", 5), 1e-7, std::int64_t{3}},
                {std::string("edge \xef\xbf\xbf \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf"), 123456789.125, std::int64_t{9}},
                {std::string("A"), 1e15, std::int64_t{10}},
                {std::string("B"), 2.5e-300, std::int64_t{11}},
                {std::string("C"), -3.0e300, std::int64_t{12}},
                {std::string("D"), 0.30000000000000004, std::int64_t{13}},
                // Whole numbers, which have a short way of their own: around
                // the last of 15 digits, and past it, where the serializer
                // writes an exponent.
                {std::string("E"), 999999999999999.0, std::int64_t{14}},
                {std::string("F"), -999999999999999.0, std::int64_t{15}},
                {std::string("G"), -1e15, std::int64_t{16}},
                {std::string("H"), 9007199254740992.0, std::int64_t{17}},
                {std::string("I"), -1080.0, std::int64_t{18}},
                {std::string("J"), 100000.0, std::int64_t{19}},
                {std::string("K"), 999999999999999.5, std::int64_t{20}}},
               {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}),
    };
    for (const auto &p : packets) {
        const std::string expected = tree_text(p);
        EXPECT_EQ(packet_to_text(p), expected);
        // What a client reads from it is the packet itself (where the text was valid).
        if (p.rows.size() < 4 && (p.row_ids.empty() || p.row_ids.size() == p.rows.size()))
            EXPECT_EQ(packet_from_text(packet_to_text(p)), p);
    }

    // Random packets: every kind of value, text of random bytes and characters.
    std::mt19937_64 rng(20261209);
    const std::vector<std::string> pieces = {"a", "Z", " ", "\"", "\\", "\n", "\x01", "\x1f", "\x7f", "é", "销",
                                             "🍺", "\xff", "\xc3", "\xe2\x82", "\xed\xbf\xbf", "\xf5\x80\x80\x80",
                                             "\xc0\xaf", "\xe0\x9f\xbf", "\xf0\x8f\xbf\xbf", "\xf4\x90\x80\x80"};
    for (int round = 0; round < 200; ++round) {
        DataPacket p;
        const int fields = static_cast<int>(rng() % 5);
        for (int f = 0; f < fields; ++f) p.fields.push_back({"F" + std::to_string(f), FieldType::String, f});
        const int rows = static_cast<int>(rng() % 6);
        for (int r = 0; r < rows; ++r) {
            Row row;
            for (int f = 0; f < fields; ++f) {
                switch (rng() % 4) {
                case 0: row.emplace_back(std::monostate{}); break;
                case 1: {
                    std::string s;
                    for (int k = static_cast<int>(rng() % 6); k > 0; --k) s += pieces[rng() % pieces.size()];
                    row.emplace_back(s);
                    break;
                }
                case 2: {
                    double d;
                    do {
                        const std::uint64_t bits = rng();
                        std::memcpy(&d, &bits, sizeof d);
                        if (rng() % 2) d = std::round(std::fmod(d, 1e9) * 1000) / 1000;
                        if (rng() % 3 == 0) d = std::trunc(std::fmod(d, rng() % 2 ? 1e16 : 1e6));
                    } while (!std::isfinite(d));
                    row.emplace_back(d);
                    break;
                }
                default: row.emplace_back(static_cast<std::int64_t>(rng()));
                }
            }
            p.rows.push_back(std::move(row));
        }
        if (rng() % 2)
            for (int r = 0; r < rows; ++r) p.row_ids.push_back(static_cast<RowId>(rng() % 100000));
        ASSERT_EQ(packet_to_text(p), tree_text(p)) << "round " << round;
    }
}

TEST(PacketWriter, RefusesWhatThePacketCannotCarry)
{
    for (double d : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        const DataPacket p = packet({{"X", FieldType::Float, 0}}, {{d}});
        EXPECT_THROW(tree_text(p), WireError);
        EXPECT_THROW(packet_to_text(p), WireError);
    }
    std::string out;
    PacketWriter w(out);
    w.begin({{"X", FieldType::Float, 0}});
    EXPECT_THROW(w.row(Row{1.0, 2.0}), WireError);  // two values for one field
    w.row(Row{1.0});
    EXPECT_THROW(w.row_id(1), WireError);  // identities after rows
}

// A socket that sends one request and reads its answer at the pace the test sets.
class SlowReader {
public:
    SlowReader(int port, const std::string &request)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        // A small receive buffer, so that the server notices the reader lagging.
        const int small = 16 * 1024;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) ADD_FAILURE() << "no connection";
        ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
        timeval tv{20, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~SlowReader() { ::close(fd_); }
    // Reads until at least n bytes have come (or the connection ends).
    void read_at_least(std::size_t n)
    {
        char buf[65536];
        while (got_.size() < n) {
            const auto k = ::recv(fd_, buf, sizeof buf, 0);
            if (k <= 0) return;
            got_.append(buf, static_cast<std::size_t>(k));
        }
    }
    void read_to_end() { read_at_least(std::numeric_limits<std::size_t>::max()); }
    const std::string &got() const { return got_; }

private:
    int fd_ = -1;
    std::string got_;
};

// The body of a chunked answer; complete tells whether its last chunk came.
std::string dechunk(const std::string &body, bool &complete)
{
    std::string out;
    std::size_t pos = 0;
    complete = false;
    for (;;) {
        const auto eol = body.find("\r\n", pos);
        if (eol == std::string::npos) return out;
        const std::size_t size = std::stoul(body.substr(pos, eol - pos), nullptr, 16);
        if (size == 0) {
            complete = body.compare(eol + 2, 2, "\r\n") == 0;
            return out;
        }
        if (eol + 2 + size > body.size()) {
            out += body.substr(eol + 2);
            return out;
        }
        out += body.substr(eol + 2, size);
        pos = eol + 2 + size + 2;
    }
}

class PlanStream : public apptest::BackendTest {
protected:
    void SetUp() override
    {
        apptest::BackendTest::SetUp();
        if (IsSkipped()) return;
        server_ = std::make_unique<appserver::AppServer>(server_cs(), std::chrono::seconds(0));
    }
    void TearDown() override
    {
        front_.reset();
        server_.reset();
    }
    void start(std::chrono::milliseconds statement_timeout = std::chrono::seconds(30))
    {
        appserver::ServerLimits limits;
        limits.statement_timeout = statement_timeout;
        server_->set_limits(limits);
        front_ = std::make_unique<appserver::HttpFrontEnd>(*server_, "127.0.0.1", 0);
        front_->start();
    }
    // n plan rows, half of them in 202611 and half in 202612, with text that
    // needs escaping, Chinese text and empty values among them.
    void insert_rows(int n)
    {
        exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(n) +
             ") INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC) "
             "SELECT CASE WHEN i % 2 = 0 THEN '202611' ELSE '202612' END, i * 0.5, '1', "
             "CASE WHEN i % 7 = 0 THEN '销量 \"引号\" \\ 斜杠' ELSE 'indicator' END, "
             "CASE WHEN i % 5 = 0 THEN NULL ELSE i * 1.25 END, '0' || (i % 9 + 1), 'R' || (i % 100), "
             "CASE WHEN i % 3 = 0 THEN NULL ELSE 'SP' || i END, NULL, '卷烟' FROM n");
    }
    std::string records_path(const std::string &session) const
    {
        return "/v1/sessions/" + session + "/providers/dsp_xstyzb02cys/records";
    }
    std::string open_cust(httplib::Client &c)
    {
        auto r = c.Post("/v1/sessions", json{{"object", contract::kCustObject}}.dump(), "application/json");
        if (!r || r->status != 201) {
            ADD_FAILURE() << "cannot open a session";
            return {};
        }
        return json::parse(r->body).value("session", "");
    }

    std::unique_ptr<appserver::AppServer> server_;
    std::unique_ptr<appserver::HttpFrontEnd> front_;
};
BACKEND_TEST_SUITE(PlanStream);

TEST_P(PlanStream, TheStreamedAnswerIsTheTextOfThePacketBuiltWhole)
{
    insert_rows(30000);
    exec("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00) "
         "VALUES ('202612',-1,'2','tab\there 🍺',0.1,'01','0101')");
    start();
    httplib::Client c("127.0.0.1", front_->port());
    c.set_read_timeout(60);
    const std::string session = open_cust(c);
    const std::string direct = server_->open_session(anyone, contract::kCustObject);
    for (const json &body : {json{{"commandText", ""}}, json{{"commandText", ""}, {"params", {{"NYUE00", "202612"}}}},
                             json{{"commandText", ""}, {"params", {{"NYUE00", "203001"}}}}}) {
        SCOPED_TRACE(body.dump());
        const auto r = c.Post(records_path(session).c_str(), body.dump(), "application/json");
        ASSERT_TRUE(r) << httplib::to_string(r.error());
        ASSERT_EQ(r->status, 200);
        const ProviderParams params = body.contains("params") ? params_from_json(body["params"]) : ProviderParams{};
        const DataPacket whole = server_->get_records(anyone, direct, "dsp_xstyzb02cys", "", params);
        EXPECT_EQ(r->body, tree_text(whole));
        EXPECT_EQ(packet_from_text(r->body), whole);
        // A large answer goes out as it is written; a small one whole, as before.
        if (whole.rows.size() > 1000) {
            EXPECT_EQ(r->get_header_value("Transfer-Encoding"), "chunked");
            EXPECT_FALSE(r->has_header("Content-Length"));
        } else {
            EXPECT_EQ(r->get_header_value("Content-Length"), std::to_string(r->body.size()));
        }
        if (!body.contains("params")) {
            EXPECT_EQ(whole.rows.size(), 30001u);
        }
    }
}

// A dsp_temp read as large as a month of the plan goes out as it is read,
// exactly the answer built whole from the same statement; a small one whole.
TEST_P(PlanStream, ADspTempReadIsWrittenAsItIsReadAndIsTheAnswerBuiltWhole)
{
    insert_rows(30000);
    start();
    httplib::Client c("127.0.0.1", front_->port());
    c.set_read_timeout(60);
    auto opened = c.Post("/v1/sessions", json{{"object", contract::kCompanyInfoObject}}.dump(), "application/json");
    ASSERT_TRUE(opened && opened->status == 201);
    const std::string session = json::parse(opened->body).value("session", "");
    appserver::Connection db(server_cs());
    for (const std::string text : {std::string("SELECT * FROM XSTYZB02 WHERE NYUE00='202612'"),
                                   std::string("SELECT * FROM XSTYZB02 WHERE NYUE00='203001'")}) {
        SCOPED_TRACE(text);
        const auto r = c.Post(("/v1/sessions/" + session + "/providers/dsp_temp/records").c_str(),
                              json{{"commandText", text}}.dump(), "application/json");
        ASSERT_TRUE(r) << httplib::to_string(r.error());
        ASSERT_EQ(r->status, 200) << r->body.substr(0, 300);
        const auto m = appserver::match_module_statement(text);
        ASSERT_TRUE(m);
        const DataPacket whole =
            db.run(appserver::adapt_statement(m->sql, db.kind()), {m->values.begin(), m->values.end()}).packet;
        EXPECT_EQ(r->body, tree_text(whole));
        EXPECT_EQ(r->has_header("Content-Length"), whole.rows.size() < 1000) << whole.rows.size();
    }
}

TEST_P(PlanStream, TextColumnsGiveTheirTextEmptyTextAndNullAsStored)
{
    exec("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC) "
         "VALUES ('202612',1,'','卷烟销售总量',5,'01','0101',NULL,'',NULL)");
    if (!postgres()) {
        // SQLite keeps what it is given: a blob in a text column reads as its bytes.
        exec("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC) "
             "VALUES ('202612',2,'2',X'E4B8AD41',7,'01','0101','10010001',NULL,'')");
    }
    start();
    httplib::Client c("127.0.0.1", front_->port());
    const auto r = c.Post(records_path(open_cust(c)).c_str(),
                          json{{"commandText", ""}, {"params", {{"NYUE00", "202612"}}}}.dump(), "application/json");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    const DataPacket p = packet_from_text(r->body);
    ASSERT_EQ(p.rows.size(), postgres() ? 1u : 2u);
    auto at = [&](std::size_t row, const char *name) {
        for (std::size_t c = 0; c < p.fields.size(); ++c)
            if (p.fields[c].name == name) return p.rows[row][c];
        ADD_FAILURE() << "no field " << name;
        return Value{};
    };
    EXPECT_EQ(at(0, "ZBLB00"), Value(std::string()));  // empty text stays text
    EXPECT_TRUE(is_null(at(0, "SPDM00")));
    EXPECT_EQ(at(0, "SPDM01"), Value(std::string()));
    EXPECT_TRUE(is_null(at(0, "ZBLBMC")));
    EXPECT_EQ(at(0, "ZBMC00"), Value(std::string("卷烟销售总量")));
    EXPECT_EQ(at(0, "XHAO00"), Value(1.0));
    if (!postgres()) {
        EXPECT_EQ(at(1, "ZBMC00"), Value(std::string("中A")));
        EXPECT_EQ(at(1, "SPDM00"), Value(std::string("10010001")));
        EXPECT_TRUE(is_null(at(1, "SPDM01")));
        EXPECT_EQ(at(1, "ZBLBMC"), Value(std::string()));
    }
}

TEST_P(PlanStream, ADatabaseErrorBeforeTheFirstRowIsTheUsualErrorAnswer)
{
    insert_rows(20000);
    start();
    httplib::Client c("127.0.0.1", front_->port());
    const std::string session = open_cust(c);
    exec("DROP TABLE XSTYZB02");
    const auto r = c.Post(records_path(session).c_str(), json{{"commandText", ""}}.dump(), "application/json");
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 422);
    EXPECT_TRUE(error_from_json(json::parse(r->body)).has_value()) << r->body;
    EXPECT_EQ(r->get_header_value("Content-Length"), std::to_string(r->body.size()));
}

// A client that stops reading holds the statement open; once it runs past
// the statement time limit it is stopped. The answer has begun by then, so
// its status cannot change: the body must end broken, never as a shorter
// packet the client could take for the whole table.
TEST_P(PlanStream, AFailureAfterTheAnswerHasBegunEndsTheBodyBroken)
{
    insert_rows(120000);
    start(std::chrono::milliseconds(1500));
    httplib::Client c("127.0.0.1", front_->port());
    const std::string session = open_cust(c);
    const std::string body = json{{"commandText", ""}}.dump();
    SlowReader reader(front_->port(), "POST " + records_path(session) +
                                          " HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: " +
                                          std::to_string(body.size()) + "\r\n\r\n" + body);
    reader.read_at_least(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    reader.read_to_end();
    const std::string &got = reader.got();
    ASSERT_EQ(got.rfind("HTTP/1.1 200", 0), 0u) << got.substr(0, 200);
    const auto head_end = got.find("\r\n\r\n");
    ASSERT_NE(head_end, std::string::npos);
    EXPECT_NE(got.substr(0, head_end).find("chunked"), std::string::npos) << got.substr(0, head_end);
    bool complete = true;
    const std::string text = dechunk(got.substr(head_end + 4), complete);
    EXPECT_FALSE(complete) << "the broken answer ended with its last chunk";
    EXPECT_GT(text.size(), 0u);
    EXPECT_THROW(packet_from_text(text), WireError);

    // The same through the client library the module uses: an error, not a packet.
    const auto r = c.Post(records_path(session).c_str(), body, "application/json");
    if (r) {
        // Read at full speed the answer can be whole; then it is the packet.
        EXPECT_EQ(r->status, 200);
        EXPECT_EQ(packet_from_text(r->body).rows.size(), 120000u);
    }
    // The session and the server still serve after the broken answer.
    const auto again = c.Post(records_path(session).c_str(), json{{"commandText", ""}, {"params", {{"NYUE00", "202612"}}}}.dump(),
                              "application/json");
    ASSERT_TRUE(again) << httplib::to_string(again.error());
    EXPECT_EQ(again->status, 200);
    EXPECT_EQ(packet_from_text(again->body).rows.size(), 60000u);
}

}  // namespace
