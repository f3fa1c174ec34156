// The data packet written as text row by row. Numbers and any text that
// needs escaping go through the JSON library's own serializer, so the text is
// the one packet_to_json(p).dump() gives; plain text (valid UTF-8 without
// quotes, backslashes or control characters, nearly every value) is copied as
// it stands, which is what that serializer does with it too.
#include "wire.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>

namespace wire {

namespace {

using nlohmann::json;

class StringAppender : public nlohmann::detail::output_adapter_protocol<char> {
public:
    explicit StringAppender(std::string &out) : out_(out) {}
    void write_character(char c) override { out_.push_back(c); }
    void write_characters(const char *s, std::size_t length) override { out_.append(s, length); }

private:
    std::string &out_;
};

// Whether the serializer would copy the text unchanged: strictly valid UTF-8
// (no overlong forms, no surrogates, nothing past U+10FFFF), with no byte
// below 0x20, no quote and no backslash.
bool plain_text(const std::string &s)
{
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    const auto *e = p + s.size();
    while (p < e) {
        const unsigned c = *p;
        if (c < 0x80) {
            if (c < 0x20 || c == '"' || c == '\\') return false;
            ++p;
            continue;
        }
        int n;
        if (c >= 0xC2 && c <= 0xDF) n = 1;
        else if (c >= 0xE0 && c <= 0xEF) n = 2;
        else if (c >= 0xF0 && c <= 0xF4) n = 3;
        else return false;
        if (e - p < n + 1) return false;
        const unsigned c1 = p[1];
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) ||
            (c == 0xF4 && c1 > 0x8F))
            return false;
        for (int i = 1; i <= n; ++i)
            if ((p[i] & 0xC0) != 0x80) return false;
        p += n + 1;
    }
    return true;
}

// A whole number the serializer writes as its digits and ".0": up to 15
// digits, since its shortest digits of such a number are its own digits.
// Negative zero keeps its sign there, so it is no such number.
bool plain_whole(double d) { return std::fabs(d) < 1e15 && d == std::trunc(d) && !(d == 0 && std::signbit(d)); }

void append_integer(std::string &out, std::int64_t n)
{
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, res.ptr);
}

}  // namespace

struct PacketWriter::Numbers {
    explicit Numbers(std::string &out)
        : serializer(std::make_shared<StringAppender>(out), ' ', json::error_handler_t::replace)
    {
    }
    void dump(const json &j) { serializer.dump(j, false, false, 0); }
    nlohmann::detail::serializer<json> serializer;
};

PacketWriter::PacketWriter(std::string &out) : out_(out), numbers_(std::make_unique<Numbers>(out)) {}

PacketWriter::~PacketWriter() = default;

void PacketWriter::begin(const std::vector<FieldDef> &fields)
{
    json defs = json::array();
    for (const auto &f : fields) defs.push_back({{"name", f.name}, {"type", to_string(f.type)}, {"size", f.size}});
    out_.append("{\"fields\":");
    numbers_->dump(defs);
    field_count_ = fields.size();
    stage_ = Stage::Start;
    ids_ = rows_ = 0;
}

void PacketWriter::row_id(RowId id)
{
    if (stage_ == Stage::Rows || stage_ == Stage::Details || stage_ == Stage::Done)
        throw WireError("the row identities of a packet come before its rows");
    if (stage_ == Stage::Start) {
        out_.append(",\"rowIds\":[");
        stage_ = Stage::Ids;
    } else {
        out_.push_back(',');
    }
    append_integer(out_, id);
    ++ids_;
}

void PacketWriter::value(const Value &v)
{
    if (const auto *s = std::get_if<std::string>(&v)) {
        if (plain_text(*s)) {
            out_.push_back('"');
            out_.append(*s);
            out_.push_back('"');
        } else {
            numbers_->dump(json(*s));
        }
    } else if (const auto *d = std::get_if<double>(&v)) {
        if (!std::isfinite(*d)) throw WireError("a number that is not finite cannot be sent");
        // Nearly every plan value is a whole number, written directly.
        if (plain_whole(*d)) {
            append_integer(out_, static_cast<std::int64_t>(*d));
            out_.append(".0", 2);
        } else {
            numbers_->dump(json(*d));
        }
    } else if (const auto *i = std::get_if<std::int64_t>(&v)) {
        append_integer(out_, *i);
    } else {
        out_.append("null");
    }
}

void PacketWriter::row(std::span<const Value> r)
{
    if (stage_ == Stage::Done) throw WireError("the packet is already closed");
    if (stage_ == Stage::Details) throw WireError("the rows of a packet come before its details");
    if (r.size() != field_count_)
        throw WireError("row " + std::to_string(rows_ + 1) + " has " + std::to_string(r.size()) + " values for " +
                        std::to_string(field_count_) + " fields");
    if (stage_ != Stage::Rows) {
        out_.append(stage_ == Stage::Ids ? "],\"rows\":[" : ",\"rows\":[");
        stage_ = Stage::Rows;
    } else {
        out_.push_back(',');
    }
    ++rows_;
    // The usual row (plain text, whole numbers, integers, nulls) is written
    // straight into room made for all of it at once.
    std::size_t room = 2 + r.size();
    for (const auto &v : r) {
        if (const auto *s = std::get_if<std::string>(&v)) {
            if (!plain_text(*s)) return row_value_by_value(r);
            room += s->size() + 2;
        } else if (const auto *d = std::get_if<double>(&v)) {
            if (!plain_whole(*d)) return row_value_by_value(r);
            room += 24;
        } else {
            room += 24;
        }
    }
    const std::size_t start = out_.size();
    out_.resize(start + room);
    char *p = out_.data() + start;
    *p++ = '[';
    for (std::size_t c = 0; c < r.size(); ++c) {
        if (c) *p++ = ',';
        const Value &v = r[c];
        if (const auto *s = std::get_if<std::string>(&v)) {
            *p++ = '"';
            std::memcpy(p, s->data(), s->size());
            p += s->size();
            *p++ = '"';
        } else if (const auto *d = std::get_if<double>(&v)) {
            p = std::to_chars(p, p + 20, static_cast<std::int64_t>(*d)).ptr;
            *p++ = '.';
            *p++ = '0';
        } else if (const auto *i = std::get_if<std::int64_t>(&v)) {
            p = std::to_chars(p, p + 20, *i).ptr;
        } else {
            std::memcpy(p, "null", 4);
            p += 4;
        }
    }
    *p++ = ']';
    out_.resize(static_cast<std::size_t>(p - out_.data()));
}

void PacketWriter::row_value_by_value(std::span<const Value> r)
{
    out_.push_back('[');
    for (std::size_t c = 0; c < r.size(); ++c) {
        if (c) out_.push_back(',');
        value(r[c]);
    }
    out_.push_back(']');
}

// Ends the rows (and the identities before them).
void PacketWriter::close_rows()
{
    if (stage_ == Stage::Ids) out_.append("],\"rows\":[");
    else if (stage_ == Stage::Start) out_.append(",\"rows\":[");
    out_.push_back(']');
}

void PacketWriter::detail(const std::string &name, const DataPacket &packet)
{
    if (stage_ == Stage::Done) throw WireError("the packet is already closed");
    if (stage_ != Stage::Details) {
        close_rows();
        out_.append(",\"details\":{");
        stage_ = Stage::Details;
    } else {
        out_.push_back(',');
    }
    numbers_->dump(json(name));
    out_.push_back(':');
    out_.append(packet_to_text(packet));
}

void PacketWriter::end()
{
    if (stage_ == Stage::Done) return;
    if (stage_ == Stage::Details) out_.append("}");
    else close_rows();
    if (!version_.empty()) {
        out_.append(",\"version\":");
        numbers_->dump(json(version_));
    }
    out_.push_back('}');
    stage_ = Stage::Done;
}

std::string packet_to_text(const DataPacket &p)
{
    std::string out;
    PacketWriter w(out);
    w.begin(p.fields);
    for (RowId id : p.row_ids) w.row_id(id);
    for (const auto &r : p.rows) w.row(r);
    for (const auto &[name, detail] : p.details) w.detail(name, detail);
    if (!p.version.empty()) w.version(p.version);
    w.end();
    return out;
}

}  // namespace wire
