#include "client_dataset.h"

#include <algorithm>
#include <deque>
#include <cmath>
#include <functional>
#include <optional>
#include <unordered_map>
#include <utility>

#include "filter_expression.h"
#include "remote_connection.h"

namespace dataset {

namespace {

template <class Defs> int find_field(const Defs &defs, std::string_view name)
{
    for (std::size_t i = 0; i < defs.size(); ++i)
        if (iequals(defs[i].name, name)) return static_cast<int>(i);
    return -1;
}

std::string quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

bool is_blank_text(const std::string &s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// A value arriving from the provider, turned into the field's type where it
// converts without loss of meaning; anything else is kept as it came.
Value coerce_fetched(Value v, FieldType type)
{
    if (type == FieldType::Float) {
        if (const auto *i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
        if (const auto *s = std::get_if<std::string>(&v)) {
            if (is_blank_text(*s)) return std::monostate{};
            double d = 0;
            if (parse_number(*s, d)) return d;
        }
    } else if (type == FieldType::Integer) {
        if (const auto *d = std::get_if<double>(&v)) {
            if (*d == std::trunc(*d) && std::fabs(*d) < 9e15) return static_cast<std::int64_t>(*d);
        } else if (const auto *s = std::get_if<std::string>(&v)) {
            if (is_blank_text(*s)) return std::monostate{};
            double d = 0;
            if (parse_number(*s, d) && d == std::trunc(d) && std::fabs(d) < 9e15)
                return static_cast<std::int64_t>(d);
        }
    }
    return v;
}

// coerce_fetched on the value where it stands, for the values it could
// change (most already have their field's type).
void coerce_in_place(Value &v, FieldType type)
{
    const bool may_change =
        type == FieldType::Float     ? std::holds_alternative<std::int64_t>(v) || std::holds_alternative<std::string>(v)
        : type == FieldType::Integer ? std::holds_alternative<double>(v) || std::holds_alternative<std::string>(v)
                                     : false;
    if (may_change) v = coerce_fetched(std::move(v), type);
}

bool same_value(const Value &a, const Value &b)
{
    if (a.index() != b.index()) return false;
    return a == b;
}

// A lookup key: numbers and numeric text by value, other text as it stands.
struct LookupKey {
    bool is_number = false;
    double number = 0;
    std::string text;
    bool operator==(const LookupKey &o) const
    {
        return is_number == o.is_number && (is_number ? number == o.number : text == o.text);
    }
};

struct LookupKeyHash {
    std::size_t operator()(const LookupKey &k) const
    {
        return k.is_number ? std::hash<double>{}(k.number) : std::hash<std::string>{}(k.text) ^ 0x9e3779b9u;
    }
};

// Null and empty text match nothing.
std::optional<LookupKey> lookup_key(const Value &v)
{
    LookupKey k;
    if (const auto *d = std::get_if<double>(&v)) {
        k.is_number = true;
        k.number = *d;
    } else if (const auto *i = std::get_if<std::int64_t>(&v)) {
        k.is_number = true;
        k.number = static_cast<double>(*i);
    } else if (const auto *s = std::get_if<std::string>(&v)) {
        if (s->empty()) return std::nullopt;
        double d = 0;
        if (parse_number(*s, d)) {
            k.is_number = true;
            k.number = d;
        } else {
            k.text = *s;
        }
    } else {
        return std::nullopt;
    }
    if (k.is_number && k.number == 0) k.number = 0;  // -0 and 0 are one key
    return k;
}

struct StoredRow {
    std::vector<Value> values;  // the data fields, then the lookup fields
    std::optional<wire::RowId> row_id;
    std::unique_ptr<std::vector<Value>> original;  // data values as fetched, while the row is modified
    std::uint64_t change_seq = 0;                   // order of the first change
};

struct DeletedRow {
    std::optional<wire::RowId> row_id;
    std::vector<Value> original;
    std::uint64_t change_seq = 0;
};

struct LookupBinding {
    LookupDef def;
    int key_column = -1;  // in this dataset's data fields, set at open
};

}  // namespace

struct ClientDataset::Impl {
    explicit Impl(ClientDataset *owner, std::string n) : self(owner), name(std::move(n)) {}

    ClientDataset *self;
    std::string name;
    remote::RemoteConnection *connection = nullptr;
    std::string provider;
    std::string command_text;
    wire::ProviderParams provider_params;

    std::vector<FieldDef> fixed_fields;
    std::vector<FieldDef> data_fields;  // fixed fields, or the last packet's columns
    std::vector<LookupBinding> lookups;
    std::vector<FieldDef> fields;  // data fields, then lookup fields

    bool active = false;
    State state = State::Inactive;
    std::vector<StoredRow> rows;
    std::vector<int> view;  // indexes into rows
    int cur = -1;
    bool at_eof = true;
    bool at_bof = true;
    std::optional<std::vector<Value>> buffer;  // data values of the current row while editing

    std::vector<DeletedRow> deleted;
    int modified_count = 0;
    std::uint64_t next_seq = 1;
    std::vector<wire::ApplyError> last_errors;

    std::string filter_text;
    FilterExpression filter_expr;
    bool filtered = false;
    std::string user_filter_text;
    FilterExpression user_expr;
    BoundFilter bound_filter;  // while active and filtered
    BoundFilter bound_user;    // while active

    std::vector<DatasetObserver *> observers;
    int notify_depth = 0;

    // Rows kept by version: the version of the rows open (from the provider,
    // empty when it gave none), and the rows of recent opens as fetched,
    // each with the provider, command text and parameters that fetched it.
    struct Kept {
        std::string provider, command_text;
        wire::ProviderParams params;
        std::string version;
        std::vector<FieldDef> data_fields;
        std::vector<StoredRow> rows;
    };
    bool keeps_versions = false;
    std::string version;
    std::deque<Kept> kept;
    static constexpr std::size_t kMaxKept = 2;

    bool same_call(const Kept &k) const
    {
        return k.provider == provider && k.command_text == command_text && k.params == provider_params;
    }
    std::deque<Kept>::iterator kept_for_call()
    {
        return std::find_if(kept.begin(), kept.end(), [&](const Kept &k) { return same_call(k); });
    }

    std::vector<Impl *> dependents;  // datasets whose lookup fields read this one
    bool updating_lookups = false;
    using Index = std::unordered_map<LookupKey, int, LookupKeyHash>;
    std::unordered_map<int, Index> indexes;  // key column -> first view row's store index

    // ---- helpers ----------------------------------------------------------

    int data_count() const { return static_cast<int>(data_fields.size()); }
    std::string who() const { return "dataset " + quoted(name); }

    [[noreturn]] void throw_not_open() const { throw DatasetError(who() + " is not open"); }
    [[noreturn]] void throw_empty() const { throw DatasetError("数据集为空，不能执行该操作（" + name + "）"); }

    void require_active() const
    {
        if (!active) throw_not_open();
    }

    remote::RemoteConnection &require_connection() const
    {
        if (!connection) throw DatasetError(who() + " has no remote connection");
        return *connection;
    }

    int require_field(std::string_view field) const
    {
        int i = find_field(fields, field);
        if (i < 0) throw DatasetError("field " + quoted(field) + " not found in " + who());
        return i;
    }

    void rebuild_field_list()
    {
        fields = data_fields;
        for (const auto &l : lookups) fields.push_back(FieldDef{l.def.name, l.def.type, 0, true});
    }

    template <class F> void notify(F &&f)
    {
        struct Depth {
            Impl &impl;
            ~Depth()
            {
                if (--impl.notify_depth == 0) {
                    auto &obs = impl.observers;
                    obs.erase(std::remove(obs.begin(), obs.end(), nullptr), obs.end());
                }
            }
        };
        ++notify_depth;
        Depth depth{*this};
        const std::size_t n = observers.size();  // observers added meanwhile wait for the next event
        for (std::size_t i = 0; i < n; ++i)
            if (DatasetObserver *o = observers[i]) f(*o);
    }

    void set_state(State s)
    {
        if (state == s) return;
        state = s;
        notify([&](DatasetObserver &o) { o.state_changed(s); });
    }

    // ---- lookups ------------------------------------------------------------

    // The store index of the first row of the view whose column `key_col`
    // equals the key, or -1.
    int find_by_key(int key_col, const LookupKey &key)
    {
        auto it = indexes.find(key_col);
        if (it == indexes.end()) {
            Index index;
            index.reserve(view.size());
            for (int r : view)
                if (auto k = lookup_key(rows[static_cast<std::size_t>(r)].values[static_cast<std::size_t>(key_col)]))
                    index.emplace(std::move(*k), r);
            it = indexes.emplace(key_col, std::move(index)).first;
        }
        auto hit = it->second.find(key);
        return hit == it->second.end() ? -1 : hit->second;
    }

    // Where a lookup reads in its source: key and result columns, or nothing
    // while the source is closed or lacks one of them.
    struct LookupSource {
        Impl *src = nullptr;
        int key_col = -1;
        int result_col = -1;
    };

    LookupSource source_of(const LookupBinding &l) const
    {
        LookupSource s;
        if (!l.def.lookup_dataset) return s;
        Impl *src = l.def.lookup_dataset->d.get();
        if (!src->active) return s;
        s.key_col = find_field(src->fields, l.def.lookup_key_field);
        s.result_col = find_field(src->fields, l.def.result_field);
        if (s.key_col >= 0 && s.result_col >= 0) s.src = src;
        return s;
    }

    Value lookup_value(const LookupBinding &l, const LookupSource &s, const Value &key_value) const
    {
        if (!s.src) return {};
        auto key = lookup_key(key_value);
        if (!key) return {};
        int r = s.src->find_by_key(s.key_col, *key);
        if (r < 0) return {};
        return coerce_fetched(s.src->rows[static_cast<std::size_t>(r)].values[static_cast<std::size_t>(s.result_col)],
                              l.def.type);
    }

    void fill_lookups(std::vector<StoredRow> &target, const std::vector<LookupBinding> &binds)
    {
        const std::size_t base = data_fields.size();
        for (std::size_t j = 0; j < binds.size(); ++j) {
            const LookupSource s = source_of(binds[j]);
            const auto key_col = static_cast<std::size_t>(binds[j].key_column);
            for (auto &row : target) row.values[base + j] = lookup_value(binds[j], s, row.values[key_col]);
        }
    }

    void fill_row_lookups(StoredRow &row)
    {
        const std::size_t base = data_fields.size();
        for (std::size_t j = 0; j < lookups.size(); ++j)
            row.values[base + j] = lookup_value(lookups[j], source_of(lookups[j]),
                                                row.values[static_cast<std::size_t>(lookups[j].key_column)]);
    }

    // The source of a lookup changed: recompute every row's lookup values.
    void lookup_source_changed()
    {
        if (!active || lookups.empty() || updating_lookups) return;  // a cycle of lookups ends here
        updating_lookups = true;
        struct Flag {
            bool &f;
            ~Flag() { f = false; }
        } flag{updating_lookups};
        fill_lookups(rows, lookups);
        if (bound_filter.reads_columns(data_count(), static_cast<int>(fields.size())) ||
            bound_user.reads_columns(data_count(), static_cast<int>(fields.size()))) {
            // The view depends on lookup values: rebuild it, keeping the current row where it stays.
            if (state == State::Edit) post();
            const int current_store = cur >= 0 ? view[static_cast<std::size_t>(cur)] : -1;
            build_view();
            auto it = std::find(view.begin(), view.end(), current_store);
            const int old_cur = cur;
            if (it != view.end()) {
                cur = static_cast<int>(it - view.begin());
            } else {
                cur = view.empty() ? -1 : 0;
                at_bof = true;
            }
            at_eof = view.empty();
            notify([](DatasetObserver &o) { o.rows_reset(); });
            if (cur != old_cur) notify([&](DatasetObserver &o) { o.current_changed(cur); });
            source_changed();
            return;
        }
        notify([](DatasetObserver &o) { o.rows_reset(); });
        source_changed();  // lookups further on may read the values just computed
    }

    // This dataset's rows changed: drop the lookup indexes and tell the
    // datasets whose lookups read it.
    void source_changed()
    {
        indexes.clear();
        const auto deps = dependents;  // a dependent may react by changing the list
        for (Impl *dep : deps) dep->lookup_source_changed();
    }

    // ---- filtering and the view ---------------------------------------------

    BoundFilter bind(const FilterExpression &e, const std::vector<FieldDef> &defs) const
    {
        try {
            return BoundFilter(e, [&](std::string_view n) { return find_field(defs, n); });
        } catch (const DatasetError &err) {
            throw DatasetError(std::string(err.what()) + " (" + who() + ")");
        }
    }

    void build_view()
    {
        view.clear();
        view.reserve(rows.size());
        const bool use_filter = filtered && !bound_filter.empty();
        const bool use_user = !bound_user.empty();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const auto &v = rows[i].values;
            if (use_filter && !bound_filter.matches(v)) continue;
            if (use_user && !bound_user.matches(v)) continue;
            view.push_back(static_cast<int>(i));
        }
    }

    // The filter changed: rebuild the view and go to its first row.
    void refilter()
    {
        if (!active) return;
        if (state == State::Edit) post();
        build_view();
        cur = view.empty() ? -1 : 0;
        at_bof = true;
        at_eof = view.empty();
        notify([](DatasetObserver &o) { o.rows_reset(); });
        notify([&](DatasetObserver &o) { o.current_changed(cur); });
        source_changed();
    }

    // A new expression for the filter or the user filter, parsed at once.
    // Where it acts now it is bound before anything changes, so one that
    // names a missing field leaves the former one in force.
    void replace_filter(const std::string &expression, bool acts_now, std::string &text, FilterExpression &expr,
                        BoundFilter &bound)
    {
        FilterExpression parsed = FilterExpression::parse(expression);
        if (!acts_now) {
            expr = std::move(parsed);
            text = expression;
            return;
        }
        BoundFilter new_bound = bind(parsed, fields);
        expr = std::move(parsed);
        text = expression;
        bound = std::move(new_bound);
        refilter();
    }

    // ---- cursor ---------------------------------------------------------------

    void move_cursor(int to)
    {
        require_active();
        if (state == State::Edit) post();
        const int old = cur;
        cur = to;
        if (cur != old) notify([&](DatasetObserver &o) { o.current_changed(cur); });
    }

    const Value &current_value(int index) const
    {
        if (state == State::Edit && buffer && index < data_count()) return (*buffer)[static_cast<std::size_t>(index)];
        return rows[static_cast<std::size_t>(view[static_cast<std::size_t>(cur)])].values[static_cast<std::size_t>(index)];
    }

    Value read(int view_row, int index) const
    {
        if (view_row == cur && state == State::Edit && buffer) {
            if (index < data_count()) return (*buffer)[static_cast<std::size_t>(index)];
            const auto &l = lookups[static_cast<std::size_t>(index - data_count())];
            return lookup_value(l, source_of(l), (*buffer)[static_cast<std::size_t>(l.key_column)]);
        }
        return rows[static_cast<std::size_t>(view[static_cast<std::size_t>(view_row)])].values[static_cast<std::size_t>(index)];
    }

    // ---- editing --------------------------------------------------------------

    Value coerce_input(const Value &v, const FieldDef &f) const
    {
        const auto bad = [&](const std::string &why) {
            return DatasetError(why + " for field " + quoted(f.name) + " of " + who());
        };
        if (std::holds_alternative<std::monostate>(v)) return v;
        switch (f.type) {
        case FieldType::String:
            return wire::value_to_text(v);
        case FieldType::Float: {
            double d = 0;
            if (const auto *s = std::get_if<std::string>(&v)) {
                if (is_blank_text(*s)) return std::monostate{};
                if (!parse_number(*s, d)) throw bad(quoted(*s) + " is not a valid number");
            } else {
                d = wire::value_to_double(v);
            }
            if (!std::isfinite(d)) throw bad("a number that is not finite is not a valid value");
            return d;
        }
        case FieldType::Integer: {
            if (const auto *i = std::get_if<std::int64_t>(&v)) return *i;
            double d = 0;
            if (const auto *s = std::get_if<std::string>(&v)) {
                if (is_blank_text(*s)) return std::monostate{};
                if (!parse_number(*s, d)) throw bad(quoted(*s) + " is not a valid number");
            } else {
                d = std::get<double>(v);
            }
            if (d != std::trunc(d) || std::fabs(d) >= 9e15)
                throw bad(quoted(wire::format_number(d)) + " is not a valid whole number");
            return static_cast<std::int64_t>(d);
        }
        }
        return v;
    }

    void edit()
    {
        require_active();
        if (state == State::Edit || cur < 0) return;
        const auto &values = rows[static_cast<std::size_t>(view[static_cast<std::size_t>(cur)])].values;
        buffer.emplace(values.begin(), values.begin() + data_count());
        set_state(State::Edit);
    }

    void post()
    {
        if (state != State::Edit) return;
        std::vector<Value> values = std::move(*buffer);
        buffer.reset();
        StoredRow &row = rows[static_cast<std::size_t>(view[static_cast<std::size_t>(cur)])];
        bool changed = false;
        for (int i = 0; i < data_count(); ++i)
            if (!same_value(values[static_cast<std::size_t>(i)], row.values[static_cast<std::size_t>(i)])) changed = true;
        if (changed) {
            if (!row.original) {
                row.original = std::make_unique<std::vector<Value>>(row.values.begin(),
                                                                    row.values.begin() + data_count());
                row.change_seq = next_seq++;
                ++modified_count;
            }
            std::move(values.begin(), values.end(), row.values.begin());
            bool back_to_original = true;
            for (int i = 0; i < data_count(); ++i)
                if (!same_value((*row.original)[static_cast<std::size_t>(i)], row.values[static_cast<std::size_t>(i)]))
                    back_to_original = false;
            if (back_to_original) {
                row.original.reset();
                row.change_seq = 0;
                --modified_count;
            }
            fill_row_lookups(row);
        }
        set_state(State::Browse);
        if (changed) {
            notify([&](DatasetObserver &o) { o.row_changed(cur); });
            source_changed();
        }
    }

    void cancel()
    {
        if (state != State::Edit) return;
        buffer.reset();
        set_state(State::Browse);
        notify([&](DatasetObserver &o) { o.row_changed(cur); });
    }

    // ---- the change log ---------------------------------------------------------

    std::map<std::string, Value> named(const std::vector<Value> &values) const
    {
        std::map<std::string, Value> out;
        for (int i = 0; i < data_count(); ++i)
            out.emplace(data_fields[static_cast<std::size_t>(i)].name, values[static_cast<std::size_t>(i)]);
        return out;
    }

    // Marks every change as applied, except those the predicate keeps.
    void merge(const std::function<bool(const std::optional<wire::RowId> &)> &keep)
    {
        for (auto &row : rows) {
            if (!row.original || keep(row.row_id)) continue;
            row.original.reset();
            row.change_seq = 0;
            --modified_count;
        }
        deleted.erase(std::remove_if(deleted.begin(), deleted.end(),
                                     [&](const DeletedRow &r) { return !keep(r.row_id); }),
                      deleted.end());
    }

    // ---- open and close -------------------------------------------------------

    void open()
    {
        if (active) return;
        if (!keeps_versions) {
            open_packet(require_connection().get_records(provider, command_text, provider_params));
            return;
        }
        // Asked with the version of the rows kept for this call: when they are
        // still current, they are opened again as they were fetched.
        auto hit = kept_for_call();
        const std::string held = hit == kept.end() ? std::string() : hit->version;
        wire::DataPacket packet =
            require_connection().revalidate_records(provider, command_text, provider_params, held);
        hit = kept_for_call();
        if (packet.current) {
            if (hit == kept.end() || held.empty() || packet.version != held)
                throw DatasetError("the server took the rows of " + who() + " for current, but they are not held");
            Kept k = std::move(*hit);
            kept.erase(hit);
            open_rows(std::move(k.data_fields), std::move(k.rows), std::move(k.version));
            return;
        }
        if (hit != kept.end()) kept.erase(hit);
        open_packet(std::move(packet));
    }

    // The rows kept: the data fields they were fetched with, no packet between.
    void open_rows(std::vector<FieldDef> new_data, std::vector<StoredRow> new_rows, std::string new_version)
    {
        auto [new_fields, new_lookups, new_filter, new_user] = bind_fields(new_data);
        for (auto &r : new_rows) r.values.resize(new_fields.size());
        become_active(std::move(new_data), std::move(new_fields), std::move(new_lookups), std::move(new_filter),
                      std::move(new_user), std::move(new_rows));
        version = std::move(new_version);
    }

    struct Bound {
        std::vector<FieldDef> fields;
        std::vector<LookupBinding> lookups;
        BoundFilter filter, user;
    };

    // The fields, lookups and filters over these data fields; throws before anything changes.
    Bound bind_fields(const std::vector<FieldDef> &new_data)
    {
        Bound b;
        b.fields = new_data;
        b.lookups = lookups;
        for (auto &l : b.lookups) {
            if (find_field(new_data, l.def.name) >= 0)
                throw DatasetError("lookup field " + quoted(l.def.name) + " of " + who() +
                                   " has the name of a data field");
            l.key_column = find_field(new_data, l.def.key_field);
            if (l.key_column < 0)
                throw DatasetError("key field " + quoted(l.def.key_field) + " of lookup field " + quoted(l.def.name) +
                                   " not found in " + who());
            if (l.def.lookup_dataset && l.def.lookup_dataset->active()) {
                for (const auto *n : {&l.def.lookup_key_field, &l.def.result_field})
                    if (!l.def.lookup_dataset->has_field(*n))
                        throw DatasetError("field " + quoted(*n) + " not found in " +
                                           l.def.lookup_dataset->d->who() + ", read by lookup field " +
                                           quoted(l.def.name) + " of " + who());
            }
            b.fields.push_back(FieldDef{l.def.name, l.def.type, 0, true});
        }
        b.filter = filtered ? bind(filter_expr, b.fields) : BoundFilter{};
        b.user = bind(user_expr, b.fields);
        return b;
    }

    // Nothing here throws: the dataset becomes active as a whole.
    void become_active(std::vector<FieldDef> new_data, std::vector<FieldDef> new_fields,
                       std::vector<LookupBinding> new_lookups, BoundFilter new_filter, BoundFilter new_user,
                       std::vector<StoredRow> new_rows)
    {
        data_fields = std::move(new_data);
        fields = std::move(new_fields);
        lookups = std::move(new_lookups);
        fill_lookups(new_rows, lookups);
        rows = std::move(new_rows);
        bound_filter = std::move(new_filter);
        bound_user = std::move(new_user);
        deleted.clear();
        modified_count = 0;
        last_errors.clear();
        buffer.reset();
        version.clear();
        active = true;
        build_view();
        cur = view.empty() ? -1 : 0;
        at_bof = true;
        at_eof = view.empty();
        set_state(State::Browse);
        notify([](DatasetObserver &o) { o.rows_reset(); });
        notify([&](DatasetObserver &o) { o.current_changed(cur); });
        source_changed();
    }

    void open_packet(wire::DataPacket packet)
    {

        const std::size_t width = packet.fields.size();
        for (std::size_t i = 0; i < packet.rows.size(); ++i)
            if (packet.rows[i].size() != width)
                throw DatasetError("row " + std::to_string(i + 1) + " of the data for " + who() + " has " +
                                   std::to_string(packet.rows[i].size()) + " values for " +
                                   std::to_string(width) + " fields");
        if (!packet.row_ids.empty() && packet.row_ids.size() != packet.rows.size())
            throw DatasetError("the data for " + who() + " has " + std::to_string(packet.row_ids.size()) +
                               " row identities for " + std::to_string(packet.rows.size()) + " rows");

        // Which packet column feeds each data field.
        std::vector<FieldDef> new_data;
        std::vector<std::size_t> source;
        if (!fixed_fields.empty()) {
            for (const auto &f : fixed_fields) {
                int c = find_field(packet.fields, f.name);
                if (c < 0)
                    throw DatasetError("field " + quoted(f.name) + " not found in the data delivered for " + who());
                new_data.push_back(f);
                source.push_back(static_cast<std::size_t>(c));
            }
        } else {
            for (std::size_t c = 0; c < width; ++c) {
                new_data.push_back(FieldDef{packet.fields[c].name, packet.fields[c].type, packet.fields[c].size, false});
                source.push_back(c);
            }
        }
        auto [new_fields, new_lookups, new_filter, new_user] = bind_fields(new_data);

        std::vector<StoredRow> new_rows(packet.rows.size());
        const bool typed = !fixed_fields.empty();
        // The packet's columns in their own order: each row is taken over
        // as it is (no copy, and no allocation where it has room for the
        // lookup values).
        bool as_delivered = new_data.size() == width;
        for (std::size_t c = 0; c < source.size() && as_delivered; ++c) as_delivered = source[c] == c;
        for (std::size_t i = 0; i < packet.rows.size(); ++i) {
            auto &src = packet.rows[i];
            auto &dst = new_rows[i].values;
            if (typed)
                for (std::size_t c = 0; c < new_data.size(); ++c) coerce_in_place(src[source[c]], new_data[c].type);
            if (as_delivered) {
                dst = std::move(src);
            } else {
                dst.reserve(new_fields.size());
                for (std::size_t c = 0; c < new_data.size(); ++c) dst.push_back(std::move(src[source[c]]));
            }
            dst.resize(new_fields.size());
            if (!packet.row_ids.empty()) new_rows[i].row_id = packet.row_ids[i];
        }

        become_active(std::move(new_data), std::move(new_fields), std::move(new_lookups), std::move(new_filter),
                      std::move(new_user), std::move(new_rows));
        version = std::move(packet.version);
    }

    void close()
    {
        if (!active) return;
        buffer.reset();
        // Rows as fetched (no change pending) with a version are kept for the
        // next open of the same call; any others are read again.
        if (keeps_versions && !version.empty() && modified_count == 0 && deleted.empty()) {
            if (auto old = kept_for_call(); old != kept.end()) kept.erase(old);
            kept.push_front(Kept{provider, command_text, provider_params, std::move(version), data_fields, std::move(rows)});
            if (kept.size() > kMaxKept) kept.pop_back();
        }
        version.clear();
        rows.clear();
        rows.shrink_to_fit();
        view.clear();
        deleted.clear();
        modified_count = 0;
        bound_filter = BoundFilter{};
        bound_user = BoundFilter{};
        active = false;
        cur = -1;
        at_bof = at_eof = true;
        set_state(State::Inactive);
        notify([](DatasetObserver &o) { o.rows_reset(); });
        notify([](DatasetObserver &o) { o.current_changed(-1); });
        source_changed();
    }

    void delete_current()
    {
        require_active();
        if (view.empty()) throw_empty();
        if (state == State::Edit) {
            buffer.reset();  // deleting the row discards its unposted edit
            set_state(State::Browse);
        }
        const int store = view[static_cast<std::size_t>(cur)];
        StoredRow &row = rows[static_cast<std::size_t>(store)];
        DeletedRow gone;
        gone.row_id = row.row_id;
        if (row.original) {
            gone.original = std::move(*row.original);
            gone.change_seq = row.change_seq;
            --modified_count;
        } else {
            gone.original.assign(row.values.begin(), row.values.begin() + data_count());
            gone.change_seq = next_seq++;
        }
        deleted.push_back(std::move(gone));
        rows.erase(rows.begin() + store);
        view.erase(view.begin() + cur);
        for (int &v : view)
            if (v > store) --v;
        if (cur >= static_cast<int>(view.size())) cur = static_cast<int>(view.size()) - 1;
        at_eof = view.empty();
        if (view.empty()) at_bof = true;
        notify([](DatasetObserver &o) { o.rows_reset(); });
        notify([&](DatasetObserver &o) { o.current_changed(cur); });
        source_changed();
    }
};

// ---- ClientDataset --------------------------------------------------------------

ClientDataset::ClientDataset(std::string name) : d(std::make_unique<Impl>(this, std::move(name))) {}

ClientDataset::~ClientDataset()
{
    // Leave the sources of the lookup fields...
    for (auto &l : d->lookups) {
        if (!l.def.lookup_dataset) continue;
        auto &deps = l.def.lookup_dataset->d->dependents;
        deps.erase(std::remove(deps.begin(), deps.end(), d.get()), deps.end());
    }
    // ...and let the datasets that read this one forget it.
    const auto deps = d->dependents;
    for (Impl *dep : deps) {
        for (auto &l : dep->lookups)
            if (l.def.lookup_dataset == this) l.def.lookup_dataset = nullptr;
        try {
            dep->lookup_source_changed();
        } catch (...) {
            // Recomputing cannot fail short of memory; a destructor must not throw.
        }
    }
}

const std::string &ClientDataset::name() const { return d->name; }

void ClientDataset::set_connection(remote::RemoteConnection *connection) { d->connection = connection; }
remote::RemoteConnection *ClientDataset::connection() const { return d->connection; }
void ClientDataset::set_provider_name(std::string provider) { d->provider = std::move(provider); }
const std::string &ClientDataset::provider_name() const { return d->provider; }
void ClientDataset::set_command_text(std::string text) { d->command_text = std::move(text); }
const std::string &ClientDataset::command_text() const { return d->command_text; }
void ClientDataset::set_provider_params(wire::ProviderParams params) { d->provider_params = std::move(params); }
const wire::ProviderParams &ClientDataset::provider_params() const { return d->provider_params; }

void ClientDataset::set_fixed_fields(std::vector<FieldDef> fields)
{
    if (d->active) throw DatasetError("the fields of " + d->who() + " cannot change while it is open");
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].lookup)
            throw DatasetError("field " + quoted(fields[i].name) + " of " + d->who() +
                               " is a lookup field; add it as one");
        if (fields[i].name.empty()) throw DatasetError("a field of " + d->who() + " has no name");
        for (std::size_t j = 0; j < i; ++j)
            if (iequals(fields[i].name, fields[j].name))
                throw DatasetError("field " + quoted(fields[i].name) + " appears twice in " + d->who());
        for (const auto &l : d->lookups)
            if (iequals(fields[i].name, l.def.name))
                throw DatasetError("field " + quoted(fields[i].name) + " of " + d->who() +
                                   " has the name of a lookup field");
    }
    d->fixed_fields = std::move(fields);
    d->data_fields = d->fixed_fields;
    d->rebuild_field_list();
}

void ClientDataset::add_lookup_field(LookupDef lookup)
{
    if (d->active) throw DatasetError("a lookup field cannot be added to " + d->who() + " while it is open");
    if (lookup.name.empty()) throw DatasetError("a lookup field of " + d->who() + " has no name");
    if (!lookup.lookup_dataset || lookup.lookup_dataset == this)
        throw DatasetError("lookup field " + quoted(lookup.name) + " of " + d->who() +
                           " needs another dataset to read from");
    if (find_field(d->fields, lookup.name) >= 0)
        throw DatasetError("field " + quoted(lookup.name) + " appears twice in " + d->who());
    auto &deps = lookup.lookup_dataset->d->dependents;
    if (std::find(deps.begin(), deps.end(), d.get()) == deps.end()) deps.push_back(d.get());
    d->lookups.push_back(LookupBinding{std::move(lookup), -1});
    d->rebuild_field_list();
}

int ClientDataset::field_count() const { return static_cast<int>(d->fields.size()); }

const FieldDef &ClientDataset::field(int index) const
{
    if (index < 0 || index >= field_count())
        throw DatasetError(d->who() + " has no field number " + std::to_string(index));
    return d->fields[static_cast<std::size_t>(index)];
}

int ClientDataset::field_index(std::string_view name) const { return find_field(d->fields, name); }
bool ClientDataset::has_field(std::string_view name) const { return field_index(name) >= 0; }

void ClientDataset::open() { d->open(); }
void ClientDataset::set_keeps_versions(bool on)
{
    d->keeps_versions = on;
    if (!on) d->kept.clear();
}
void ClientDataset::open_from(const ClientDataset &source)
{
    if (d->active) return;
    const Impl &src = *source.d;
    src.require_active();
    wire::DataPacket packet;
    for (const auto &f : src.data_fields) packet.fields.push_back({f.name, f.type, f.size});
    packet.rows.reserve(src.rows.size());
    const auto n = static_cast<std::ptrdiff_t>(src.data_fields.size());
    for (const auto &r : src.rows) {
        packet.rows.emplace_back();
        packet.rows.back().reserve(static_cast<std::size_t>(n) + 2);
        packet.rows.back().assign(r.values.begin(), r.values.begin() + n);
    }
    d->open_packet(std::move(packet));
}

bool ClientDataset::keeps_versions() const { return d->keeps_versions; }
const std::string &ClientDataset::version() const { return d->version; }
void ClientDataset::close() { d->close(); }
bool ClientDataset::active() const { return d->active; }

std::int64_t ClientDataset::execute() { return d->require_connection().execute(d->provider, d->command_text); }

void ClientDataset::set_filter(const std::string &expression)
{
    d->replace_filter(expression, d->active && d->filtered, d->filter_text, d->filter_expr, d->bound_filter);
}

const std::string &ClientDataset::filter() const { return d->filter_text; }

void ClientDataset::set_filtered(bool on)
{
    if (on == d->filtered) return;
    if (d->active) {
        d->bound_filter = on ? d->bind(d->filter_expr, d->fields) : BoundFilter{};
        d->filtered = on;
        d->refilter();
        return;
    }
    d->filtered = on;
}

bool ClientDataset::filtered() const { return d->filtered; }

void ClientDataset::set_user_filter(const std::string &expression)
{
    d->replace_filter(expression, d->active, d->user_filter_text, d->user_expr, d->bound_user);
}

const std::string &ClientDataset::user_filter() const { return d->user_filter_text; }

void ClientDataset::first()
{
    d->require_active();
    d->move_cursor(d->view.empty() ? -1 : 0);
    d->at_bof = true;
    d->at_eof = d->view.empty();
}

void ClientDataset::prior()
{
    d->require_active();
    if (d->cur > 0) {
        d->move_cursor(d->cur - 1);
        d->at_bof = d->at_eof = false;
    } else {
        d->move_cursor(d->cur);
        d->at_bof = true;
    }
}

void ClientDataset::next()
{
    d->require_active();
    if (d->cur >= 0 && d->cur + 1 < record_count()) {
        d->move_cursor(d->cur + 1);
        d->at_bof = d->at_eof = false;
    } else {
        d->move_cursor(d->cur);
        d->at_eof = true;
    }
}

void ClientDataset::last()
{
    d->require_active();
    d->move_cursor(record_count() - 1);
    d->at_eof = d->view.empty();
    d->at_bof = d->view.empty();
}

void ClientDataset::move_to(int view_row)
{
    d->require_active();
    if (view_row < 0 || view_row >= record_count())
        throw DatasetError("row " + std::to_string(view_row) + " is outside the " + std::to_string(record_count()) +
                           " rows of " + d->who());
    d->move_cursor(view_row);
    d->at_bof = d->at_eof = false;
}

bool ClientDataset::eof() const { return !d->active || d->at_eof; }
bool ClientDataset::bof() const { return !d->active || d->at_bof; }
int ClientDataset::record_count() const { return static_cast<int>(d->view.size()); }
int ClientDataset::rec_no() const { return d->cur; }

Value ClientDataset::value(std::string_view field) const
{
    const int index = d->require_field(field);
    d->require_active();
    if (d->cur < 0) throw DatasetError(d->who() + " has no current row to read " + quoted(field) + " from");
    return d->read(d->cur, index);
}

std::string ClientDataset::as_string(std::string_view field) const { return wire::value_to_text(value(field)); }

double ClientDataset::as_float(std::string_view field) const
{
    const Value v = value(field);
    try {
        return wire::value_to_double(v);
    } catch (const wire::WireError &) {
        throw DatasetError("field " + quoted(field) + " of " + d->who() + " does not hold a number: " +
                           quoted(wire::value_to_text(v)));
    }
}

void ClientDataset::set_value(std::string_view field, const Value &value)
{
    const int index = d->require_field(field);
    const FieldDef &def = d->fields[static_cast<std::size_t>(index)];
    if (def.lookup) throw DatasetError("lookup field " + quoted(def.name) + " of " + d->who() + " cannot be changed");
    d->require_active();
    if (d->cur < 0) d->throw_empty();
    Value coerced = d->coerce_input(value, def);  // a bad value changes nothing
    d->edit();
    (*d->buffer)[static_cast<std::size_t>(index)] = std::move(coerced);
    const int row = d->cur;
    d->notify([&](DatasetObserver &o) { o.row_changed(row); });
}

Value ClientDataset::value_at(int view_row, int field_index) const
{
    if (view_row < 0 || view_row >= record_count())
        throw DatasetError("row " + std::to_string(view_row) + " is outside the " + std::to_string(record_count()) +
                           " rows of " + d->who());
    if (field_index < 0 || field_index >= field_count())
        throw DatasetError(d->who() + " has no field number " + std::to_string(field_index));
    return d->read(view_row, field_index);
}

State ClientDataset::state() const { return d->state; }
void ClientDataset::edit() { d->edit(); }
void ClientDataset::post() { d->post(); }
void ClientDataset::cancel() { d->cancel(); }
void ClientDataset::delete_current() { d->delete_current(); }

int ClientDataset::change_count() const { return d->modified_count + static_cast<int>(d->deleted.size()); }

wire::Delta ClientDataset::pending_delta() const
{
    std::vector<std::pair<std::uint64_t, wire::Change>> changes;
    for (const auto &row : d->rows) {
        if (!row.original) continue;
        wire::Change c;
        c.kind = wire::ChangeKind::Modify;
        c.row_id = row.row_id;
        c.original = d->named(*row.original);
        for (int i = 0; i < d->data_count(); ++i) {
            const auto k = static_cast<std::size_t>(i);
            if (!same_value((*row.original)[k], row.values[k])) c.values.emplace(d->data_fields[k].name, row.values[k]);
        }
        changes.emplace_back(row.change_seq, std::move(c));
    }
    for (const auto &gone : d->deleted) {
        wire::Change c;
        c.kind = wire::ChangeKind::Delete;
        c.row_id = gone.row_id;
        c.original = d->named(gone.original);
        changes.emplace_back(gone.change_seq, std::move(c));
    }
    std::sort(changes.begin(), changes.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    wire::Delta delta;
    delta.reserve(changes.size());
    for (auto &c : changes) delta.push_back(std::move(c.second));
    return delta;
}

int ClientDataset::apply_updates(int max_errors)
{
    if (d->state == State::Edit) d->post();
    d->last_errors.clear();
    if (change_count() == 0) return 0;
    // The rows held are no longer the rows as fetched at their version.
    d->version.clear();
    auto &connection = d->require_connection();
    const wire::ApplyResult result = connection.apply_updates(d->provider, pending_delta(), max_errors);
    d->last_errors = result.errors;
    const int errors = std::max(result.error_count, static_cast<int>(result.errors.size()));
    if (errors == 0) {
        d->merge([](const auto &) { return false; });
    } else if (max_errors < 0 || errors <= max_errors) {
        // The server applied what it could; what it refused stays pending.
        d->merge([&](const std::optional<wire::RowId> &id) {
            return std::any_of(result.errors.begin(), result.errors.end(),
                               [&](const wire::ApplyError &e) { return e.row_id == id; });
        });
    }
    // More errors than allowed: the server applied nothing, every change stays pending.
    return errors;
}

const std::vector<wire::ApplyError> &ClientDataset::last_apply_errors() const { return d->last_errors; }

void ClientDataset::add_observer(DatasetObserver *observer)
{
    if (!observer) return;
    auto &obs = d->observers;
    if (std::find(obs.begin(), obs.end(), observer) == obs.end()) obs.push_back(observer);
}

void ClientDataset::remove_observer(DatasetObserver *observer)
{
    auto &obs = d->observers;
    if (d->notify_depth > 0) {
        std::replace(obs.begin(), obs.end(), observer, static_cast<DatasetObserver *>(nullptr));
    } else {
        obs.erase(std::remove(obs.begin(), obs.end(), observer), obs.end());
    }
}

}  // namespace dataset
