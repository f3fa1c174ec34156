// What both engines share: a whole result's columns settled from their
// declarations and values, a streamed row's numbers read from text, the
// limit of an answer, and the refusals of a database that cannot be opened
// and of the time limit.
#include <algorithm>
#include <charconv>

#include "contract.h"
#include "engine.h"
#include "server_text.h"

namespace appserver {

namespace {

// Width of UTF-8 text in bytes of the 8-bit Chinese code page: one byte for
// ASCII, two for every other character.
int code_page_width(const std::string &utf8)
{
    int width = 0;
    for (unsigned char c : utf8) {
        if (c < 0x80) width += 1;
        else if ((c & 0xC0) != 0x80) width += 2;  // lead byte of a multi-byte character
    }
    return width;
}

std::optional<std::int64_t> whole_number_of(const std::string &text)
{
    std::string t = trimmed(text);
    const char *first = t.data();
    if (!t.empty() && *first == '+') ++first;
    std::int64_t n = 0;
    auto res = std::from_chars(first, t.data() + t.size(), n);
    if (t.empty() || res.ec != std::errc() || res.ptr != t.data() + t.size()) return std::nullopt;
    return n;
}

std::optional<double> number_of(const std::string &text)
{
    std::string t = trimmed(text);
    if (t.empty()) return std::nullopt;
    const char *first = t.data();
    if (*first == '+') ++first;
    double d = 0;
    auto res = std::from_chars(first, t.data() + t.size(), d);
    if (res.ec != std::errc() || res.ptr != t.data() + t.size()) return std::nullopt;
    return d;
}

}  // namespace

std::int64_t Engine::run_rows(const std::string &sql, const std::vector<wire::Value> &values, std::size_t width)
{
    std::int64_t changed = 0;
    std::vector<wire::Value> row(width);
    for (std::size_t at = 0; at + width <= values.size(); at += width) {
        std::copy_n(values.begin() + static_cast<std::ptrdiff_t>(at), width, row.begin());
        changed += run(sql, row, nullptr).rows_affected;
    }
    return changed;
}

namespace {

// What planners are told in place of the database's own words.
constexpr const char *kCannotOpen = "无法连接数据库，请稍后再试；一直如此时请告诉系统管理员";
constexpr const char *kLost = "与数据库的连接中断了，请稍后再试；一直如此时请告诉系统管理员";
constexpr const char *kRefused = "数据库没有执行这项操作，原因已记入应用服务器的日志，请告诉系统管理员";
constexpr const char *kDuplicate = "要保存的数据已经存在（可能是别人刚刚保存的），请刷新后再看";
constexpr const char *kNotPermitted = "应用服务器的数据库账号没有这项操作的权限，请告诉系统管理员";

}  // namespace

void cannot_open(const std::string &why)
{
    throw ServerError::in_database_words(ServerError::Kind::Unavailable, "the database cannot be opened: " + why,
                                         kCannotOpen);
}

void connection_lost(const std::string &why)
{
    throw ServerError::in_database_words(ServerError::Kind::Unavailable, "the database connection was lost: " + why,
                                         kLost);
}

void database_refused(const std::string &text, Refusal refusal)
{
    throw ServerError::in_database_words(
        ServerError::Kind::Database, text,
        refusal == Refusal::Duplicate ? kDuplicate : refusal == Refusal::NotPermitted ? kNotPermitted : kRefused);
}

void ran_too_long(std::chrono::milliseconds limit)
{
    throw ServerError(ServerError::Kind::Database,
                      "the statement ran longer than the limit of " + seconds_text(limit) + " s and was stopped",
                      contract::error::kStatementTimeout);
}

void locked_too_long(std::chrono::milliseconds limit)
{
    throw ServerError(ServerError::Kind::Unavailable,
                      "the data is locked by another session's open transaction: waited " + seconds_text(limit) +
                          " s for it; try again later",
                      contract::error::kLocked);
}

std::optional<int> declared_width(const std::string &decl)
{
    auto open = decl.find('(');
    auto close = decl.find(')', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) return std::nullopt;
    int n = 0;
    auto res = std::from_chars(decl.data() + open + 1, decl.data() + close, n);
    if (res.ec != std::errc() || res.ptr != decl.data() + close || n <= 0) return std::nullopt;
    return n;
}

void ColumnTyping::observe(const wire::Value &v)
{
    if (wire::is_null(v)) return;
    any_value_ = true;
    if (const auto *s = std::get_if<std::string>(&v)) {
        if (!width_) widest_ = std::max(widest_, code_page_width(*s));
        if (declared_ == Declared::Float || declared_ == Declared::Integer) {
            if (whole_number_of(*s)) return;
            if (number_of(*s)) {
                any_double_ = true;
                return;
            }
        }
        any_text_ = true;
        return;
    }
    // A number's width as text, should the column turn out to be text.
    if (!width_) widest_ = std::max(widest_, code_page_width(wire::value_to_text(v)));
    if (std::holds_alternative<double>(v)) any_double_ = true;
}

wire::FieldType ColumnTyping::type() const
{
    if (declared_ == Declared::String || any_text_) return wire::FieldType::String;
    if (declared_ == Declared::Float) return wire::FieldType::Float;
    if (declared_ == Declared::Integer) return any_double_ ? wire::FieldType::Float : wire::FieldType::Integer;
    if (!any_value_) return wire::FieldType::String;
    return any_double_ ? wire::FieldType::Float : wire::FieldType::Integer;
}

int ColumnTyping::size() const
{
    if (type() != wire::FieldType::String) return 0;
    return width_ ? *width_ : std::max(widest_, 1);
}

void ColumnTyping::convert(wire::Value &v) const
{
    if (wire::is_null(v)) return;
    switch (type()) {
    case wire::FieldType::String:
        if (!std::holds_alternative<std::string>(v)) v = wire::value_to_text(v);
        break;
    case wire::FieldType::Float:
        if (!std::holds_alternative<double>(v)) v = wire::value_to_double(v);
        break;
    case wire::FieldType::Integer:
        if (const auto *s = std::get_if<std::string>(&v)) {
            const auto n = whole_number_of(*s);
            if (!n) throw wire::WireError("\"" + *s + "\" is no whole number");
            v = *n;
        } else if (const auto *d = std::get_if<double>(&v)) {
            v = static_cast<std::int64_t>(*d);
        }
        break;
    }
}

void settle_column(wire::DataPacket &p, std::size_t col, Declared declared, std::optional<int> width)
{
    ColumnTyping typing(declared, width);
    for (const auto &row : p.rows) typing.observe(row[col]);
    for (auto &row : p.rows) typing.convert(row[col]);
    p.fields[col].type = typing.type();
    p.fields[col].size = typing.size();
}

wire::Value number_value(Declared declared, std::string text)
{
    if (declared == Declared::Integer)
        if (auto n = whole_number_of(text)) return *n;
    if (auto d = number_of(text)) return *d;
    return text;
}

void AnswerMeter::row(std::size_t rows_so_far)
{
    if (limit && limit->rows && rows_so_far > limit->rows)
        throw ServerError(ServerError::Kind::Database,
                          "the answer has more than " + std::to_string(limit->rows) +
                              " rows, the most this server sends: narrow the statement",
                          contract::error::kAnswerTooLarge);
}

void AnswerMeter::value(std::size_t n)
{
    bytes += n + 8;
    if (limit && limit->bytes && bytes > limit->bytes)
        throw ServerError(ServerError::Kind::Database,
                          "the answer is larger than " + std::to_string(limit->bytes) +
                              " bytes, the most this server sends: narrow the statement",
                          contract::error::kAnswerTooLarge);
}

}  // namespace appserver
