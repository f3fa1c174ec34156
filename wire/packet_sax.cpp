// A data packet read straight from its JSON text by nlohmann-json's SAX
// parser: values go into the rows as they are read, no JSON tree is built.
//
// The checks are those of packet_from_json, in the same order, with the same
// messages: what a SAX pass can only know at the end (how many fields a row
// must have, whether "fields" came at all) is noted while reading and judged
// once the text is through, so a document with one fault is refused alike by
// both readers.

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "wire.h"

namespace wire {

namespace {

using nlohmann::json;

// What stood under one name of a field definition.
struct RawMember {
    bool present = false;
    bool is_text = false;
    bool is_integer = false;
    std::string text;
    long long integer = 0;
};

struct RawField {
    bool is_object = false;
    RawMember name, type, size;
};

// A row that is not an array, or holds a value no cell can take.
struct RowFault {
    std::size_t row = 0;
    bool not_array = false;
    std::string bad_value_type;  // "object", "array", "boolean"
};

enum class Slot { Absent, Null, Array, Other };

class PacketReader final : public json::json_sax_t {
public:
    // ---- scalars
    bool null() override { return scalar(Value{}, nullptr, Scalar::Null); }
    bool boolean(bool) override { return scalar(Value{}, "boolean", Scalar::Other); }
    bool number_integer(number_integer_t v) override { return scalar(Value(std::int64_t{v}), nullptr, Scalar::Integer); }
    bool number_unsigned(number_unsigned_t u) override
    {
        // As value_from_json: beyond the signed range a number becomes a double.
        Value v = u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                      ? Value(static_cast<double>(u))
                      : Value(static_cast<std::int64_t>(u));
        unsigned_integer_ = static_cast<long long>(u);
        return scalar(std::move(v), nullptr, Scalar::Unsigned);
    }
    bool number_float(number_float_t d, const string_t &) override { return scalar(Value(d), nullptr, Scalar::Other); }
    bool string(string_t &s) override { return scalar(Value(std::move(s)), nullptr, Scalar::Text); }
    bool binary(binary_t &) override { return scalar(Value{}, "binary", Scalar::Other); }

    // ---- structure
    bool start_object(std::size_t) override { return open(true); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t &k) override
    {
        key_ = std::move(k);
        return true;
    }

    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &e) override
    {
        parse_error_ = std::string("malformed JSON: ") + e.what();
        return false;
    }

    // Judges what was read; throws WireError as packet_from_json would.
    DataPacket finish()
    {
        if (parse_error_) throw WireError(*parse_error_);
        if (!top_is_object_) throw WireError("a data packet must be an object");
        if (fields_ == Slot::Absent) throw WireError("a data packet has no \"fields\"");
        if (fields_ != Slot::Array) throw WireError("\"fields\" must be an array");
        for (std::size_t i = 0; i < raw_fields_.size(); ++i) packet_.fields.push_back(field_of(raw_fields_[i], i));
        raw_fields_.clear();

        if (rows_ == Slot::Absent) throw WireError("a data packet has no \"rows\"");
        if (rows_ != Slot::Array) throw WireError("\"rows\" must be an array");
        const std::size_t width = packet_.fields.size();
        auto fault = row_faults_.begin();
        for (std::size_t i = 0; i < packet_.rows.size(); ++i) {
            const bool faulty = fault != row_faults_.end() && fault->row == i;
            if ((faulty && fault->not_array) || packet_.rows[i].size() != width)
                throw WireError("row " + std::to_string(i + 1) + " must be an array of " + std::to_string(width) +
                                " values");
            if (faulty)
                throw WireError("a value must be null, text or a number, not " + fault->bad_value_type);
        }

        if (row_ids_ == Slot::Array || row_ids_ == Slot::Other) {
            if (row_ids_ == Slot::Other || row_id_count_ != packet_.rows.size())
                throw WireError("\"rowIds\" must be an array with one identity per row");
            if (bad_row_id_) throw WireError("a row identity must be an integer row identity");
        } else {
            packet_.row_ids.clear();
        }
        return std::move(packet_);
    }

private:
    // Where the parser stands: the top object, one of its three members, a
    // field definition, a row, or something of no interest (skipped whole).
    enum class Ctx { Top, Fields, Field, Rows, Row, RowIds, Skip };
    enum class Scalar { Null, Text, Integer, Unsigned, Other };

    static FieldDef field_of(const RawField &raw, std::size_t index)
    {
        const std::string where = "field " + std::to_string(index + 1);
        if (!raw.is_object) throw WireError(where + " must be an object");
        if (!raw.name.present) throw WireError(where + " has no \"name\"");
        if (!raw.name.is_text || raw.name.text.empty()) throw WireError(where + " needs a name");
        if (!raw.type.present) throw WireError(where + " has no \"type\"");
        if (!raw.type.is_text) throw WireError(where + ": \"type\" must be text");
        FieldDef def;
        def.name = raw.name.text;
        def.type = field_type_from_string(raw.type.text);
        if (raw.size.present) {
            if (!raw.size.is_integer || raw.size.integer < 0 || raw.size.integer > 1 << 20)
                throw WireError(where + ": \"size\" must be a small whole number");
            def.size = static_cast<int>(raw.size.integer);
        }
        return def;
    }

    Ctx top() const { return stack_.back(); }

    void note_row_fault(bool not_array, const char *bad_type)
    {
        const std::size_t row = packet_.rows.size() - 1;
        if (!row_faults_.empty() && row_faults_.back().row == row) return;  // the first fault of a row counts
        row_faults_.push_back({row, not_array, not_array ? std::string() : std::string(bad_type)});
    }

    RawMember *field_member()
    {
        RawField &f = raw_fields_.back();
        if (key_ == "name") return &f.name;
        if (key_ == "type") return &f.type;
        if (key_ == "size") return &f.size;
        return nullptr;
    }

    bool scalar(Value v, const char *bad_type, Scalar kind)
    {
        if (stack_.empty()) return true;  // a document that is no object: refused at the end
        switch (top()) {
        case Ctx::Top:
            if (key_ == "fields") {
                fields_ = Slot::Other;
                raw_fields_.clear();
            } else if (key_ == "rows") {
                rows_ = Slot::Other;
                packet_.rows.clear();
                row_faults_.clear();
            } else if (key_ == "rowIds") {
                row_ids_ = kind == Scalar::Null ? Slot::Null : Slot::Other;
            }
            break;
        case Ctx::Fields: raw_fields_.emplace_back(); break;  // not an object
        case Ctx::Field:
            if (RawMember *m = field_member()) {
                *m = RawMember{};
                m->present = true;
                if (kind == Scalar::Text) {
                    m->is_text = true;
                    m->text = std::move(std::get<std::string>(v));
                } else if (kind == Scalar::Integer) {
                    m->is_integer = true;
                    m->integer = std::get<std::int64_t>(v);
                } else if (kind == Scalar::Unsigned) {
                    m->is_integer = true;
                    m->integer = unsigned_integer_;
                }
            }
            break;
        case Ctx::Rows:
            packet_.rows.emplace_back();
            note_row_fault(true, nullptr);
            break;
        case Ctx::Row:
            packet_.rows.back().push_back(std::move(v));
            if (bad_type) note_row_fault(false, bad_type);
            break;
        case Ctx::RowIds:
            ++row_id_count_;
            if (kind == Scalar::Integer || kind == Scalar::Unsigned)
                packet_.row_ids.push_back(kind == Scalar::Integer ? std::get<std::int64_t>(v)
                                                                  : static_cast<RowId>(unsigned_integer_));
            else
                bad_row_id_ = true;
            break;
        case Ctx::Skip: break;
        }
        return true;
    }

    bool open(bool object)
    {
        if (stack_.empty()) {
            top_is_object_ = object;
            stack_.push_back(object ? Ctx::Top : Ctx::Skip);
            return true;
        }
        Ctx next = Ctx::Skip;
        switch (top()) {
        case Ctx::Top:
            if (key_ == "fields") {
                fields_ = object ? Slot::Other : Slot::Array;
                raw_fields_.clear();
                if (!object) next = Ctx::Fields;
            } else if (key_ == "rows") {
                rows_ = object ? Slot::Other : Slot::Array;
                packet_.rows.clear();
                row_faults_.clear();
                if (!object) next = Ctx::Rows;
            } else if (key_ == "rowIds") {
                row_ids_ = object ? Slot::Other : Slot::Array;
                packet_.row_ids.clear();
                row_id_count_ = 0;
                bad_row_id_ = false;
                if (!object) next = Ctx::RowIds;
            }
            break;
        case Ctx::Fields:
            raw_fields_.emplace_back();
            raw_fields_.back().is_object = object;
            if (object) next = Ctx::Field;
            break;
        case Ctx::Field:
            if (RawMember *m = field_member()) {
                *m = RawMember{};
                m->present = true;  // neither text nor a whole number
            }
            break;
        case Ctx::Rows:
            packet_.rows.emplace_back();
            if (object) note_row_fault(true, nullptr);
            else next = Ctx::Row;
            break;
        case Ctx::Row:
            packet_.rows.back().emplace_back();
            note_row_fault(false, object ? "object" : "array");
            break;
        case Ctx::RowIds:
            ++row_id_count_;
            bad_row_id_ = true;
            break;
        case Ctx::Skip: break;
        }
        stack_.push_back(next);
        return true;
    }

    bool close()
    {
        stack_.pop_back();
        return true;
    }

    std::vector<Ctx> stack_;
    std::string key_;
    long long unsigned_integer_ = 0;
    std::optional<std::string> parse_error_;

    bool top_is_object_ = false;
    Slot fields_ = Slot::Absent, rows_ = Slot::Absent, row_ids_ = Slot::Absent;
    std::vector<RawField> raw_fields_;
    std::vector<RowFault> row_faults_;  // in row order
    std::size_t row_id_count_ = 0;
    bool bad_row_id_ = false;
    DataPacket packet_;
};

}  // namespace

DataPacket packet_from_text(std::string_view text)
{
    PacketReader reader;
    try {
        json::sax_parse(text, &reader);
    } catch (const json::exception &e) {
        // The parser reports through parse_error; this is for what it throws regardless.
        throw WireError(std::string("malformed JSON: ") + e.what());
    }
    return reader.finish();
}

}  // namespace wire
