#include "wire.h"

#include <charconv>
#include <cstdint>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace wire {

using nlohmann::json;

std::string to_string(FieldType type)
{
    switch (type) {
    case FieldType::String: return "string";
    case FieldType::Float: return "float";
    case FieldType::Integer: return "integer";
    }
    return "string";
}

FieldType field_type_from_string(const std::string &text)
{
    if (text == "string") return FieldType::String;
    if (text == "float") return FieldType::Float;
    if (text == "integer") return FieldType::Integer;
    throw WireError("unknown field type \"" + text + "\"");
}

bool is_null(const Value &v) { return std::holds_alternative<std::monostate>(v); }

std::string format_number(double d)
{
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d < 0 ? "-Inf" : "Inf";
    if (d == std::trunc(d) && std::fabs(d) < 1e15) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.0f", d);
        std::string s = buf;
        return s == "-0" ? "0" : s;
    }
    // Shortest text that reads back as the same number.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, res.ptr);
}

std::string value_to_text(const Value &v)
{
    if (const auto *s = std::get_if<std::string>(&v)) return *s;
    if (const auto *d = std::get_if<double>(&v)) return format_number(*d);
    if (const auto *i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
    return {};
}

namespace {
std::string trimmed(const std::string &s)
{
    auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}
}  // namespace

double value_to_double(const Value &v)
{
    if (const auto *d = std::get_if<double>(&v)) return *d;
    if (const auto *i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    if (const auto *s = std::get_if<std::string>(&v)) {
        std::string t = trimmed(*s);
        if (t.empty()) return 0.0;
        double out = 0;
        const char *first = t.data();
        if (*first == '+') ++first;
        auto res = std::from_chars(first, t.data() + t.size(), out);
        if (res.ec != std::errc() || res.ptr != t.data() + t.size())
            throw WireError("\"" + *s + "\" is not a number");
        return out;
    }
    return 0.0;
}

json value_to_json(const Value &v)
{
    if (const auto *s = std::get_if<std::string>(&v)) return *s;
    if (const auto *d = std::get_if<double>(&v)) {
        if (!std::isfinite(*d)) throw WireError("a number that is not finite cannot be sent");
        return *d;
    }
    if (const auto *i = std::get_if<std::int64_t>(&v)) return *i;
    return nullptr;
}

Value value_from_json(const json &j)
{
    switch (j.type()) {
    case json::value_t::null: return std::monostate{};
    case json::value_t::string: return j.get<std::string>();
    case json::value_t::number_integer: return j.get<std::int64_t>();
    case json::value_t::number_unsigned: {
        auto u = j.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT64_MAX)) return static_cast<double>(u);
        return static_cast<std::int64_t>(u);
    }
    case json::value_t::number_float: return j.get<double>();
    default: throw WireError("a value must be null, text or a number, not " + std::string(j.type_name()));
    }
}

namespace {

const json &member(const json &obj, const char *name, const std::string &where)
{
    if (!obj.is_object()) throw WireError(where + " must be an object");
    auto it = obj.find(name);
    if (it == obj.end()) throw WireError(where + " has no \"" + name + "\"");
    return *it;
}

RowId row_id_from_json(const json &j, const std::string &where)
{
    // A number past the identity's range would wrap around (2^64-1 to -1).
    if (j.is_number_unsigned() && j.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
        throw WireError(where + " is out of the range of a row identity");
    if (j.is_number_integer()) return j.get<RowId>();
    throw WireError(where + " must be an integer row identity");
}

std::map<std::string, Value> fields_from_json(const json &j, const std::string &where)
{
    if (!j.is_object()) throw WireError(where + " must be an object of field values");
    std::map<std::string, Value> out;
    for (auto it = j.begin(); it != j.end(); ++it) out[it.key()] = value_from_json(it.value());
    return out;
}

json fields_to_json(const std::map<std::string, Value> &m)
{
    json out = json::object();
    for (const auto &[k, v] : m) out[k] = value_to_json(v);
    return out;
}

const char *kind_name(ChangeKind k)
{
    switch (k) {
    case ChangeKind::Modify: return "modify";
    case ChangeKind::Delete: return "delete";
    case ChangeKind::Insert: return "insert";
    }
    return "modify";
}

}  // namespace

json packet_to_json(const DataPacket &p)
{
    json fields = json::array();
    for (const auto &f : p.fields)
        fields.push_back({{"name", f.name}, {"type", to_string(f.type)}, {"size", f.size}});
    json rows = json::array();
    for (const auto &r : p.rows) {
        json row = json::array();
        for (const auto &v : r) row.push_back(value_to_json(v));
        rows.push_back(std::move(row));
    }
    json out = {{"fields", std::move(fields)}, {"rows", std::move(rows)}};
    if (!p.row_ids.empty()) out["rowIds"] = p.row_ids;
    if (!p.details.empty()) {
        json details = json::object();
        for (const auto &[name, detail] : p.details) details[name] = packet_to_json(detail);
        out["details"] = std::move(details);
    }
    if (!p.version.empty()) out["version"] = p.version;
    return out;
}

namespace {

DataPacket packet_from_json_at(const json &j, int depth)
{
    DataPacket p;
    // The rows the client holds are current: the answer is that and the version.
    if (depth == 0 && j.is_object()) {
        if (auto it = j.find("current"); it != j.end() && it->is_boolean() && it->get<bool>()) {
            p.current = true;
            if (auto v = j.find("version"); v != j.end() && v->is_string()) p.version = v->get<std::string>();
            if (p.version.empty()) throw WireError("an answer that the rows are current names no version");
            return p;
        }
    }
    const json &fields = member(j, "fields", "a data packet");
    if (!fields.is_array()) throw WireError("\"fields\" must be an array");
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::string where = "field " + std::to_string(i + 1);
        const json &f = fields[i];
        FieldDef def;
        const json &name = member(f, "name", where);
        if (!name.is_string() || name.get<std::string>().empty())
            throw WireError(where + " needs a name");
        def.name = name.get<std::string>();
        const json &type = member(f, "type", where);
        if (!type.is_string()) throw WireError(where + ": \"type\" must be text");
        def.type = field_type_from_string(type.get<std::string>());
        if (auto it = f.find("size"); it != f.end()) {
            if (!it->is_number_integer() || it->get<long long>() < 0 || it->get<long long>() > 1 << 20)
                throw WireError(where + ": \"size\" must be a small whole number");
            def.size = it->get<int>();
        }
        p.fields.push_back(std::move(def));
    }
    const json &rows = member(j, "rows", "a data packet");
    if (!rows.is_array()) throw WireError("\"rows\" must be an array");
    p.rows.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const json &r = rows[i];
        if (!r.is_array() || r.size() != p.fields.size())
            throw WireError("row " + std::to_string(i + 1) + " must be an array of " +
                            std::to_string(p.fields.size()) + " values");
        Row row;
        row.reserve(r.size());
        for (const auto &v : r) row.push_back(value_from_json(v));
        p.rows.push_back(std::move(row));
    }
    if (auto it = j.find("rowIds"); it != j.end() && !it->is_null()) {
        if (!it->is_array() || it->size() != p.rows.size())
            throw WireError("\"rowIds\" must be an array with one identity per row");
        for (const auto &id : *it) p.row_ids.push_back(row_id_from_json(id, "a row identity"));
    }
    if (auto it = j.find("details"); it != j.end() && !it->is_null()) {
        if (!it->is_object()) throw WireError("\"details\" must be an object of named data packets");
        if (depth >= kMaxDetailDepth)
            throw WireError("details are nested more than " + std::to_string(kMaxDetailDepth) + " deep");
        for (auto d = it->begin(); d != it->end(); ++d) {
            try {
                p.details[d.key()] = packet_from_json_at(d.value(), depth + 1);
            } catch (const WireError &e) {
                throw WireError("detail \"" + d.key() + "\": " + e.what());
            }
        }
    }
    if (auto it = j.find("version"); depth == 0 && it != j.end() && it->is_string()) p.version = it->get<std::string>();
    return p;
}

}  // namespace

DataPacket packet_from_json(const json &j) { return packet_from_json_at(j, 0); }

json delta_to_json(const Delta &d)
{
    json out = json::array();
    for (const auto &c : d) {
        json item = {{"kind", kind_name(c.kind)}};
        item["rowId"] = c.row_id ? json(*c.row_id) : json(nullptr);
        item["original"] = fields_to_json(c.original);
        item["values"] = fields_to_json(c.values);
        out.push_back(std::move(item));
    }
    return out;
}

Delta delta_from_json(const json &j)
{
    if (!j.is_array()) throw WireError("a delta must be an array of changes");
    Delta d;
    for (std::size_t i = 0; i < j.size(); ++i) {
        const std::string where = "change " + std::to_string(i + 1);
        const json &item = j[i];
        Change c;
        const json &kind = member(item, "kind", where);
        const std::string k = kind.is_string() ? kind.get<std::string>() : std::string();
        if (k == "modify") c.kind = ChangeKind::Modify;
        else if (k == "delete") c.kind = ChangeKind::Delete;
        else if (k == "insert") c.kind = ChangeKind::Insert;
        else throw WireError(where + ": \"kind\" must be \"modify\", \"delete\" or \"insert\"");
        if (auto it = item.find("rowId"); it != item.end() && !it->is_null())
            c.row_id = row_id_from_json(*it, where + ": \"rowId\"");
        if (auto it = item.find("original"); it != item.end() && !it->is_null())
            c.original = fields_from_json(*it, where + ": \"original\"");
        if (auto it = item.find("values"); it != item.end() && !it->is_null())
            c.values = fields_from_json(*it, where + ": \"values\"");
        d.push_back(std::move(c));
    }
    return d;
}

json apply_result_to_json(const ApplyResult &r)
{
    json errors = json::array();
    for (const auto &e : r.errors) {
        json item = {{"message", e.message}};
        item["rowId"] = e.row_id ? json(*e.row_id) : json(nullptr);
        errors.push_back(std::move(item));
    }
    return {{"errorCount", r.error_count}, {"errors", std::move(errors)}};
}

ApplyResult apply_result_from_json(const json &j)
{
    ApplyResult r;
    const json &count = member(j, "errorCount", "an apply result");
    if (!count.is_number_integer() || count.get<long long>() < 0)
        throw WireError("\"errorCount\" must be a whole number not below 0");
    r.error_count = count.get<int>();
    if (auto it = j.find("errors"); it != j.end() && !it->is_null()) {
        if (!it->is_array()) throw WireError("\"errors\" must be an array");
        for (const auto &e : *it) {
            ApplyError err;
            const json &msg = member(e, "message", "an apply error");
            if (!msg.is_string()) throw WireError("an apply error's \"message\" must be text");
            err.message = msg.get<std::string>();
            if (auto id = e.find("rowId"); id != e.end() && !id->is_null())
                err.row_id = row_id_from_json(*id, "an apply error's \"rowId\"");
            r.errors.push_back(std::move(err));
        }
    }
    return r;
}

json params_to_json(const ProviderParams &params)
{
    json out = json::object();
    for (const auto &[name, value] : params) out[name] = value;
    return out;
}

ProviderParams params_from_json(const json &j)
{
    if (j.is_null()) return {};
    if (!j.is_object()) throw WireError("\"params\" must be an object of named text values");
    ProviderParams out;
    for (auto it = j.begin(); it != j.end(); ++it) {
        if (!it.value().is_string())
            throw WireError("parameter \"" + it.key() + "\" must be text, not " + it.value().type_name());
        out[it.key()] = it.value().get<std::string>();
    }
    return out;
}

json error_to_json(const std::string &message) { return {{"error", message}}; }

std::optional<std::string> error_from_json(const json &j)
{
    if (!j.is_object()) return std::nullopt;
    auto it = j.find("error");
    if (it == j.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::string error_to_text(const std::string &message, const std::string &code)
{
    auto text = [](const std::string &s) { return json(s).dump(-1, ' ', false, json::error_handler_t::replace); };
    return "{\"error\":" + text(message) + ",\"code\":" + text(code) + "}";
}

std::optional<ErrorAnswer> error_answer_from_json(const json &j)
{
    auto message = error_from_json(j);
    if (!message) return std::nullopt;
    ErrorAnswer answer{std::move(*message), {}};
    if (auto it = j.find("code"); it != j.end() && it->is_string()) answer.code = it->get<std::string>();
    return answer;
}

json parse_json(const std::string &text)
{
    try {
        return json::parse(text);
    } catch (const json::exception &e) {
        // Not only parse errors: a number too large for a double ("1e400")
        // is refused with out_of_range, and is just as malformed a document.
        throw WireError(std::string("malformed JSON: ") + e.what());
    }
}

}  // namespace wire
