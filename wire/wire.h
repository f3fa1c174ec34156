// The JSON format shared by the module and the application server: data
// packets, deltas and error answers. Both sides read and write it with this
// code, so the two can never disagree on it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace wire {

// A malformed document. The message says what is wrong and where.
class WireError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class FieldType { String, Float, Integer };

std::string to_string(FieldType type);
FieldType field_type_from_string(const std::string &text);  // throws WireError

struct FieldDef {
    std::string name;
    FieldType type = FieldType::String;
    int size = 0;  // text width in bytes; 0 for numbers
    bool operator==(const FieldDef &) const = default;
};

// One cell: empty (SQL NULL), text, floating point or integer.
using Value = std::variant<std::monostate, std::string, double, std::int64_t>;

bool is_null(const Value &v);
// The value as text: empty for null, numbers in general format (12, not 12.0).
std::string value_to_text(const Value &v);
// The value as a number: 0 for null, text converted when it holds a number
// (empty text reads 0); other text throws WireError.
double value_to_double(const Value &v);

// General number format: whole numbers without decimals ("12"), others with
// as many digits as they need ("12.5", "-0.25").
std::string format_number(double d);

using RowId = std::int64_t;
using Row = std::vector<Value>;

struct DataPacket {
    std::vector<FieldDef> fields;
    std::vector<Row> rows;
    std::vector<RowId> row_ids;  // one per row where the provider has a row identity; else empty
    // Named packets that come with the rows (an answer of several parts: the
    // rows, and what they need beside them). Written as "details" after the
    // rows, and left out when there are none, so that a packet without
    // details reads and writes as it always has.
    std::map<std::string, DataPacket> details;
    // The version of the rows (the plan provider's, when asked with one);
    // written as "version" only when there is one. current: the answer to a
    // call that named the version the client holds, which is still the
    // version of the rows: no fields and no rows come, the client keeps its own.
    std::string version;
    bool current = false;
    bool operator==(const DataPacket &) const = default;
};

// How deep details may hold details of their own; a deeper packet is refused.
inline constexpr int kMaxDetailDepth = 8;

enum class ChangeKind { Modify, Delete, Insert };

struct Change {
    ChangeKind kind = ChangeKind::Modify;
    std::optional<RowId> row_id;
    std::map<std::string, Value> original;  // field -> value as fetched
    std::map<std::string, Value> values;    // field -> new value (modify, insert)
    bool operator==(const Change &) const = default;
};

using Delta = std::vector<Change>;

struct ApplyError {
    std::optional<RowId> row_id;
    std::string message;
    bool operator==(const ApplyError &) const = default;
};

struct ApplyResult {
    int error_count = 0;
    std::vector<ApplyError> errors;
    bool operator==(const ApplyResult &) const = default;
};

// JSON conversion. The from_json functions throw WireError on any document
// that does not have the expected shape.
nlohmann::json value_to_json(const Value &v);
Value value_from_json(const nlohmann::json &j);

// The tree of a packet: its members "fields", "rows", "rowIds" when it has
// identities and "details" when it has details.
nlohmann::json packet_to_json(const DataPacket &p);
DataPacket packet_from_json(const nlohmann::json &j);
// The packet straight from its JSON text, with no JSON tree in between (a
// large answer is held once as text and once as rows, never a third time):
// the same packet, and the same WireError for a document that is not one, as
// packet_from_json(parse_json(text)). A quick reader of its own reads the
// usual packet; the JSON library's parser reads what it gives up on.
DataPacket packet_from_text(std::string_view text);

// A data packet read while its text is still arriving. `receive` runs on a
// thread of its own and hands the pieces of the text, in order, to the sink it
// is given as they come (returning ends the text); meanwhile the calling
// thread turns them into rows, so reading overlaps receiving and the rows are
// the calling thread's as with packet_from_text. The result is what
// packet_from_text gives for the whole text, or its WireError; an exception
// of `receive` is thrown in place of either. The pieces are kept until the
// packet is read (a text the quick reader gives up on is read again from its
// start), so the text and the rows are held at once, never a JSON tree.
using PieceSink = std::function<void(std::string_view)>;
DataPacket packet_from_pieces(const std::function<void(const PieceSink &)> &receive);

// A data packet written as text while its rows come, without a JSON tree:
// byte for byte the text of packet_to_json(p) dumped compactly (invalid UTF-8
// replaced), so a reader cannot tell which of the two wrote it. The members
// come in that text's order: the fields, then every row identity, then the
// rows; then the details, if any, which the tree's dump would put first
// (its members go in name order), so that they can follow rows already
// sent. Text is appended to out; the caller may take what is there at any
// time (out.clear() or a swap) and send it on.
class PacketWriter {
public:
    explicit PacketWriter(std::string &out);
    ~PacketWriter();
    PacketWriter(const PacketWriter &) = delete;
    PacketWriter &operator=(const PacketWriter &) = delete;

    void begin(const std::vector<FieldDef> &fields);
    // The identities, one per row, all before the first row.
    void row_id(RowId id);
    // One row of as many values as there are fields. A number that is not
    // finite throws WireError, as packet_to_json does.
    void row(std::span<const Value> r);
    // One named detail, after every row (a name given twice is written twice;
    // a reader keeps the last).
    void detail(const std::string &name, const DataPacket &packet);
    // The rows' version, written by end() as the packet's last member.
    void version(const std::string &version) { version_ = version; }
    // Closes the packet; the text is complete only after this.
    void end();

private:
    void value(const Value &v);
    void row_value_by_value(std::span<const Value> r);
    void close_rows();
    struct Numbers;
    std::string &out_;
    std::unique_ptr<Numbers> numbers_;
    std::size_t field_count_ = 0;
    std::size_t ids_ = 0, rows_ = 0;
    std::string version_;
    enum class Stage { Start, Ids, Rows, Details, Done } stage_ = Stage::Start;
};

// The whole packet as packet_to_json(p) dumped compactly, written by PacketWriter.
std::string packet_to_text(const DataPacket &p);

// Named parameters of a provider's records call or of a method call
// ({"params":{"NYUE00":"202612"}}): names to text values. Which names a
// provider or method takes is its own affair.
using ProviderParams = std::map<std::string, std::string>;
using MethodParams = ProviderParams;
nlohmann::json params_to_json(const ProviderParams &params);
// An object of text values; null reads as no parameters. Throws WireError otherwise.
ProviderParams params_from_json(const nlohmann::json &j);

nlohmann::json delta_to_json(const Delta &d);
Delta delta_from_json(const nlohmann::json &j);

nlohmann::json apply_result_to_json(const ApplyResult &r);
ApplyResult apply_result_from_json(const nlohmann::json &j);

nlohmann::json error_to_json(const std::string &message);
// The message of an error answer, or nullopt when the document is not one.
std::optional<std::string> error_from_json(const nlohmann::json &j);
// An error answer as the server writes it: {"error":"MESSAGE","code":"CODE"},
// the message first (invalid UTF-8 replaced).
std::string error_to_text(const std::string &message, const std::string &code);
// An error answer's message and code (empty when it carries none), or
// nullopt when the document is not one.
struct ErrorAnswer {
    std::string message;
    std::string code;
};
std::optional<ErrorAnswer> error_answer_from_json(const nlohmann::json &j);

// Parses text as JSON; throws WireError("malformed JSON: ...") on bad text.
nlohmann::json parse_json(const std::string &text);

}  // namespace wire
