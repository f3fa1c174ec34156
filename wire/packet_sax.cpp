// A data packet read straight from its JSON text by nlohmann-json's SAX
// parser: values go into the rows as they are read, no JSON tree is built.
//
// The checks are those of packet_from_json, in the same order, with the same
// messages: what a SAX pass can only know at the end (how many fields a row
// must have, whether "fields" came at all) is noted while reading and judged
// once the text is through, so a document with one fault is refused alike by
// both readers.

#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
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

enum class Slot { Absent, Null, Array, Object, Other };

class PacketReader final : public json::json_sax_t {
public:
    // depth: how deep in details the packet read stands (0: the answer itself).
    explicit PacketReader(int depth = 0) : depth_(depth) {}

    // ---- scalars (while a detail is being read, its events go to its reader)
    bool null() override
    {
        if (detail_) return to_detail([](PacketReader &r) { r.null(); }, 0);
        return scalar(Value{}, nullptr, Scalar::Null);
    }
    bool boolean(bool b) override
    {
        if (detail_) return to_detail([b](PacketReader &r) { r.boolean(b); }, 0);
        if (stack_.size() == 1 && top() == Ctx::Top && key_ == "current") current_ = b;
        return scalar(Value{}, "boolean", Scalar::Other);
    }
    bool number_integer(number_integer_t v) override
    {
        if (detail_) return to_detail([v](PacketReader &r) { r.number_integer(v); }, 0);
        return scalar(Value(std::int64_t{v}), nullptr, Scalar::Integer);
    }
    bool number_unsigned(number_unsigned_t u) override
    {
        if (detail_) return to_detail([u](PacketReader &r) { r.number_unsigned(u); }, 0);
        // As value_from_json: beyond the signed range a number becomes a double.
        Value v = u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                      ? Value(static_cast<double>(u))
                      : Value(static_cast<std::int64_t>(u));
        unsigned_integer_ = static_cast<long long>(u);
        return scalar(std::move(v), nullptr, Scalar::Unsigned);
    }
    bool number_float(number_float_t d, const string_t &t) override
    {
        if (detail_) return to_detail([d, &t](PacketReader &r) { r.number_float(d, t); }, 0);
        return scalar(Value(d), nullptr, Scalar::Other);
    }
    bool string(string_t &s) override
    {
        if (detail_) return to_detail([&s](PacketReader &r) { r.string(s); }, 0);
        return scalar(Value(std::move(s)), nullptr, Scalar::Text);
    }
    bool binary(binary_t &b) override
    {
        if (detail_) return to_detail([&b](PacketReader &r) { r.binary(b); }, 0);
        return scalar(Value{}, "binary", Scalar::Other);
    }

    // ---- structure
    bool start_object(std::size_t n) override
    {
        if (detail_) return to_detail([n](PacketReader &r) { r.start_object(n); }, 1);
        return open(true);
    }
    bool start_array(std::size_t n) override
    {
        if (detail_) return to_detail([n](PacketReader &r) { r.start_array(n); }, 1);
        return open(false);
    }
    bool end_object() override
    {
        if (detail_) return to_detail([](PacketReader &r) { r.end_object(); }, -1);
        return close();
    }
    bool end_array() override
    {
        if (detail_) return to_detail([](PacketReader &r) { r.end_array(); }, -1);
        return close();
    }
    bool key(string_t &k) override
    {
        if (detail_) return to_detail([&k](PacketReader &r) { r.key(k); }, 0);
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
        if (current_ && depth_ == 0) {
            // The rows the client holds are current: no packet follows.
            DataPacket current;
            current.current = true;
            current.version = std::move(packet_.version);
            if (current.version.empty()) throw WireError("an answer that the rows are current names no version");
            return current;
        }
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
            if (!bad_row_id_.empty()) throw WireError(bad_row_id_);
        } else {
            packet_.row_ids.clear();
        }

        if (details_ == Slot::Other) throw WireError("\"details\" must be an object of named data packets");
        if (details_ == Slot::Object && depth_ >= kMaxDetailDepth)
            throw WireError("details are nested more than " + std::to_string(kMaxDetailDepth) + " deep");
        for (auto &[name, reader] : detail_readers_) {
            try {
                packet_.details[name] = reader->finish();
            } catch (const WireError &e) {
                throw WireError("detail \"" + name + "\": " + e.what());
            }
        }
        return std::move(packet_);
    }

private:
    // Where the parser stands: the top object, one of its four members, a
    // field definition, a row, or something of no interest (skipped whole).
    enum class Ctx { Top, Fields, Field, Rows, Row, RowIds, Details, Skip };

    // Hands one event to the reader of the detail being read; depth_change
    // is +1 for an opening, -1 for a closing. The detail is read once its
    // value is through (a scalar at once, a container when it closes).
    template <class F> bool to_detail(F &&event, int depth_change)
    {
        event(*detail_);
        detail_depth_ += depth_change;
        if (detail_depth_ == 0) detail_ = nullptr;
        return true;
    }

    // A detail's value starts under the name just read: a reader of its own
    // takes it (a later one of the same name replaces it, as the tree does).
    void start_detail()
    {
        auto &reader = detail_readers_[key_];
        reader = std::make_unique<PacketReader>(depth_ + 1);
        detail_ = reader.get();
        detail_depth_ = 0;
    }
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
            } else if (key_ == "details") {
                details_ = kind == Scalar::Null ? Slot::Null : Slot::Other;
                detail_readers_.clear();
            } else if (key_ == "version" && kind == Scalar::Text && depth_ == 0 && stack_.size() == 1) {
                packet_.version = std::move(std::get<std::string>(v));
            }
            break;
        case Ctx::Details:
            start_detail();
            return to_detail([&](PacketReader &r) { r.scalar(std::move(v), bad_type, kind); }, 0);
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
            if (kind == Scalar::Integer || (kind == Scalar::Unsigned && std::holds_alternative<std::int64_t>(v)))
                packet_.row_ids.push_back(std::get<std::int64_t>(v));
            else
                note_bad_row_id(kind == Scalar::Unsigned ? "a row identity is out of the range of a row identity"
                                                         : "a row identity must be an integer row identity");
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
                if (!object) {
                    next = Ctx::Rows;
                    // The identities come first in a packet's text, one per row.
                    packet_.rows.reserve(packet_.row_ids.size());
                }
            } else if (key_ == "rowIds") {
                row_ids_ = object ? Slot::Other : Slot::Array;
                packet_.row_ids.clear();
                row_id_count_ = 0;
                bad_row_id_.clear();
                if (!object) next = Ctx::RowIds;
            } else if (key_ == "details") {
                details_ = object ? Slot::Object : Slot::Other;
                detail_readers_.clear();
                // Past the deepest details allowed, they are refused, not read.
                if (object && depth_ < kMaxDetailDepth) next = Ctx::Details;
            }
            break;
        case Ctx::Details:
            start_detail();
            return to_detail([object](PacketReader &r) { r.open(object); }, 1);
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
            else {
                next = Ctx::Row;
                // The fields come first in a packet's text: a row has room
                // for them at once, and for two more values (a dataset adds
                // its lookup values to the row it takes over).
                packet_.rows.back().reserve(raw_fields_.size() + 2);
            }
            break;
        case Ctx::Row:
            packet_.rows.back().emplace_back();
            note_row_fault(false, object ? "object" : "array");
            break;
        case Ctx::RowIds:
            ++row_id_count_;
            note_bad_row_id("a row identity must be an integer row identity");
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
    bool current_ = false;
    Slot fields_ = Slot::Absent, rows_ = Slot::Absent, row_ids_ = Slot::Absent;
    std::vector<RawField> raw_fields_;
    std::vector<RowFault> row_faults_;  // in row order
    std::size_t row_id_count_ = 0;
    // The first bad identity's message, as the tree reader words it.
    std::string bad_row_id_;
    void note_bad_row_id(const char *message)
    {
        if (bad_row_id_.empty()) bad_row_id_ = message;
    }
    DataPacket packet_;

    int depth_ = 0;
    Slot details_ = Slot::Absent;
    std::map<std::string, std::unique_ptr<PacketReader>> detail_readers_;  // by name, as the tree keeps them
    PacketReader *detail_ = nullptr;  // the detail being read, if any
    int detail_depth_ = 0;            // its containers open
};

}  // namespace

// ---- the packet read while its text arrives

namespace {

// The pieces between the receiving thread and the reading one.
struct PieceQueue {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::string> pieces;  // handed over, not yet read
    bool ended = false;              // no piece comes after those queued
    bool reading_done = false;       // the reader reads no more: what comes is dropped

    // A connection hands over a few KiB at a time: they are gathered into
    // pieces of kGather bytes, and the reader is woken once a piece is full,
    // not for every few KiB (on one core each wake is a switch of threads).
    static constexpr std::size_t kGather = 32 * 1024;
    void put(std::string_view piece)
    {
        if (piece.empty()) return;
        bool wake = false;
        {
            std::lock_guard lock(mutex);
            if (reading_done) return;
            if (pieces.empty() || pieces.back().size() >= kGather) {
                pieces.emplace_back();
                pieces.back().reserve(std::max(kGather, piece.size()));
            }
            pieces.back().append(piece);
            wake = pieces.size() > 1 || pieces.back().size() >= kGather;
        }
        if (wake) arrived.notify_one();
    }
    void end()
    {
        {
            std::lock_guard lock(mutex);
            ended = true;
        }
        arrived.notify_one();
    }
    void done_reading()
    {
        std::lock_guard lock(mutex);
        reading_done = true;
        pieces.clear();
    }
    // The next piece for the reading thread; false at the end of the text.
    bool next(std::string &piece)
    {
        std::unique_lock lock(mutex);
        arrived.wait(lock, [&] {
            return ended || pieces.size() > 1 || (!pieces.empty() && pieces.front().size() >= kGather);
        });
        if (pieces.empty()) return false;
        piece = std::move(pieces.front());
        pieces.pop_front();
        return true;
    }
};

// The text as the readers see it: the pieces one after the other. The quick
// reader goes first and keeps what it has read; should it give up, the JSON
// library's parser reads it all again from the start, the kept pieces and
// then the rest as it comes.
class PieceSource {
public:
    explicit PieceSource(PieceQueue *queue) : queue_(queue) {}
    explicit PieceSource(std::string_view whole)
        : at_(whole.data()), stop_(whole.data() + whole.size()), whole_(whole)
    {
    }

    // The next byte, or -1 at the end of the text.
    int get()
    {
        if (at_ == stop_ && !next_piece()) return -1;
        return static_cast<unsigned char>(*at_++);
    }
    // Gives back the byte get() returned last.
    void unget() { --at_; }
    // The bytes still unread in the piece at hand (the quick paths use them in place).
    const char *&at() { return at_; }
    const char *stop() const { return stop_; }
    bool next_piece()
    {
        if (!queue_) return false;
        std::string piece;
        while (queue_->next(piece)) {
            if (piece.empty()) continue;
            kept_.push_back(std::move(piece));
            at_ = kept_.back().data();
            stop_ = at_ + kept_.back().size();
            return true;
        }
        return false;
    }

    // From the start again: the whole text, or the kept pieces and then
    // what the queue brings.
    void rewind()
    {
        replay_ = 0;
        at_ = stop_ = nullptr;
    }
    // The second reading's next piece (for PieceIterator).
    bool replay_piece(const char *&at, const char *&stop)
    {
        if (!whole_.empty() && replay_ == 0) {
            replay_ = 1;
            at = whole_.data();
            stop = at + whole_.size();
            return true;
        }
        if (!whole_.empty()) return false;
        if (replay_ < kept_.size()) {
            const std::string &p = kept_[replay_++];
            at = p.data();
            stop = at + p.size();
            return true;
        }
        if (!next_piece()) return false;
        replay_ = kept_.size();
        at = at_;
        stop = stop_;
        return true;
    }

private:
    PieceQueue *queue_ = nullptr;
    const char *at_ = nullptr, *stop_ = nullptr;
    std::vector<std::string> kept_;
    std::size_t replay_ = 0;
    std::string_view whole_;  // the text, when it was there whole from the start
};

// The characters of the text, as the JSON library's parser reads its input:
// the next piece is waited for when one is used up. It is only ever compared
// with the end, which is where the text ends.
class PieceIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char *;
    using reference = const char &;

    PieceIterator() = default;  // the end
    explicit PieceIterator(PieceSource *source) : source_(source) {}

    reference operator*() const { return *at_; }
    PieceIterator &operator++()
    {
        ++at_;
        return *this;
    }
    PieceIterator operator++(int)
    {
        PieceIterator before = *this;
        ++at_;
        return before;
    }
    bool operator!=(const PieceIterator &) { return at_ != stop_ || next_piece(); }
    bool operator==(const PieceIterator &end) { return !(*this != end); }

private:
    bool next_piece()
    {
        while (source_ && source_->replay_piece(at_, stop_))
            if (at_ != stop_) return true;
        return false;
    }

    PieceSource *source_ = nullptr;
    const char *at_ = nullptr, *stop_ = nullptr;
};

// The quick reader: JSON read straight from the bytes into the packet
// reader's events, the very events the JSON library's parser gives for the
// same text. It reads what packets are made of, and gives up (returns false)
// at anything else: an escape or a control character in a string, UTF-8
// that is not valid, a number the library would read another way or could
// not read, a byte order mark, any fault of the syntax. The library then
// reads the text instead, so what is refused is refused with its message.
class QuickReader {
public:
    QuickReader(PieceSource &source, PacketReader &events) : in_(source), events_(events) {}

    bool read()
    {
        std::vector<char> open;  // '{' or '[' for each container entered
        int c = next_token();
        for (;;) {
            // c starts a value.
            switch (c) {
            case '{':
                events_.start_object(static_cast<std::size_t>(-1));
                c = next_token();
                if (c == '}') {
                    events_.end_object();
                    break;
                }
                open.push_back('{');
                if (!key(c)) return false;
                c = next_token();
                continue;
            case '[':
                events_.start_array(static_cast<std::size_t>(-1));
                c = next_token();
                if (c == ']') {
                    events_.end_array();
                    break;
                }
                open.push_back('[');
                continue;
            case '"': {
                if (!text(text_)) return false;
                events_.string(text_);
                break;
            }
            case 'n':
                if (!word("ull")) return false;
                events_.null();
                break;
            case 't':
                if (!word("rue")) return false;
                events_.boolean(true);
                break;
            case 'f':
                if (!word("alse")) return false;
                events_.boolean(false);
                break;
            default:
                if (!number(c)) return false;
            }
            // After a value: a comma, the end of its container, or the end of the text.
            for (;;) {
                c = next_token();
                if (open.empty()) return c == -1;
                if (c == ',') {
                    c = next_token();
                    if (open.back() == '{') {
                        if (!key(c)) return false;
                        c = next_token();
                    }
                    break;
                }
                if (c == (open.back() == '{' ? '}' : ']')) {
                    if (open.back() == '{') events_.end_object();
                    else events_.end_array();
                    open.pop_back();
                    continue;
                }
                return false;
            }
        }
    }

private:
    // The next byte that is not white space.
    int next_token()
    {
        for (;;) {
            const int c = in_.get();
            if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return c;
        }
    }

    // A member's name and the colon after it; c is the byte before the name.
    bool key(int c)
    {
        if (c != '"' || !text(text_)) return false;
        events_.key(text_);
        return next_token() == ':';
    }

    bool word(const char *rest)
    {
        for (; *rest; ++rest)
            if (in_.get() != static_cast<unsigned char>(*rest)) return false;
        return true;
    }

    // A string's text after its opening quote, up to the closing one.
    bool text(std::string &out)
    {
        out.clear();
        for (;;) {
            // The plain run in the piece at hand, taken in one go.
            const char *&at = in_.at();
            const char *from = at, *stop = in_.stop();
            while (at != stop) {
                const auto b = static_cast<unsigned char>(*at);
                if (b == '"' || b == '\\' || b < 0x20 || b >= 0x80) break;
                ++at;
            }
            out.append(from, at);
            const int c = in_.get();
            if (c == '"') return true;
            if (c < 0x80) {
                if (c == -1 || c == '\\' || c < 0x20) return false;
                out.push_back(static_cast<char>(c));  // the piece ended inside the run
                continue;
            }
            if (!multibyte(c, out)) return false;
        }
    }

    // One UTF-8 character of two to four bytes, valid as the library checks it.
    bool multibyte(int c, std::string &out)
    {
        int more;
        int low = 0x80, high = 0xBF;  // the range of the second byte
        if (c >= 0xC2 && c <= 0xDF) more = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        out.push_back(static_cast<char>(c));
        for (int i = 0; i < more; ++i) {
            const int b = in_.get();
            if (b < (i == 0 ? low : 0x80) || b > (i == 0 ? high : 0xBF)) return false;
            out.push_back(static_cast<char>(b));
        }
        return true;
    }

    // A number as the grammar has it: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    bool number(int c)
    {
        char token[64];
        std::size_t n = 0;
        auto put = [&](int b) {
            if (n == sizeof token) return false;
            token[n++] = static_cast<char>(b);
            return true;
        };
        auto digits = [&](int &b) {  // one digit at least
            if (b < '0' || b > '9') return false;
            while (b >= '0' && b <= '9') {
                if (!put(b)) return false;
                b = in_.get();
            }
            return true;
        };
        const bool negative = c == '-';
        if (negative) {
            put(c);
            c = in_.get();
        }
        if (c == '0') {
            put(c);
            c = in_.get();
            if (c >= '0' && c <= '9') return false;
        } else if (!digits(c)) {
            return false;
        }
        bool whole = true;
        if (c == '.') {
            whole = false;
            if (!put(c)) return false;
            c = in_.get();
            if (!digits(c)) return false;
        }
        if (c == 'e' || c == 'E') {
            whole = false;
            if (!put(c)) return false;
            c = in_.get();
            if (c == '+' || c == '-') {
                if (!put(c)) return false;
                c = in_.get();
            }
            if (!digits(c)) return false;
        }
        if (c != -1) in_.unget();
        const char *first = token, *last = token + n;
        if (whole && negative) {
            std::int64_t v = 0;
            const auto r = std::from_chars(first, last, v);
            if (r.ec != std::errc() || r.ptr != last) return false;
            events_.number_integer(v);
            return true;
        }
        if (whole) {
            std::uint64_t v = 0;
            const auto r = std::from_chars(first, last, v);
            if (r.ec != std::errc() || r.ptr != last) return false;
            events_.number_unsigned(v);
            return true;
        }
        double d = 0;
        const auto r = std::from_chars(first, last, d);
        if (r.ec != std::errc() || r.ptr != last || !std::isfinite(d)) return false;
        events_.number_float(d, number_text_);  // the packet reader has no use for the number's text
        return true;
    }

    PieceSource &in_;
    PacketReader &events_;
    std::string text_, number_text_;
};

// The packet from a text: the quick reader first, the JSON library's parser
// when it gives up.
DataPacket read_packet(PieceSource &source)
{
    {
        PacketReader reader;
        if (QuickReader(source, reader).read()) return reader.finish();
    }
    source.rewind();
    PacketReader reader;
    try {
        json::sax_parse(PieceIterator(&source), PieceIterator(), &reader);
    } catch (const json::exception &e) {
        // The parser reports through parse_error; this is for what it throws regardless.
        throw WireError(std::string("malformed JSON: ") + e.what());
    }
    return reader.finish();
}

}  // namespace

DataPacket packet_from_pieces(const std::function<void(const PieceSink &)> &receive)
{
    PieceQueue queue;
    std::exception_ptr receive_error;
    std::thread receiver([&] {
        try {
            receive([&](std::string_view piece) { queue.put(piece); });
        } catch (...) {
            receive_error = std::current_exception();
        }
        queue.end();
    });
    std::optional<DataPacket> packet;
    std::exception_ptr read_error;
    try {
        PieceSource source(&queue);
        packet = read_packet(source);  // either reader reads up to the end of the text, or throws
    } catch (...) {
        read_error = std::current_exception();
    }
    queue.done_reading();  // a text that failed early is still received to its end, unread
    receiver.join();
    if (receive_error) std::rethrow_exception(receive_error);
    if (read_error) std::rethrow_exception(read_error);
    return std::move(*packet);
}

DataPacket packet_from_text(std::string_view text)
{
    PieceSource source(text);
    return read_packet(source);
}

}  // namespace wire
