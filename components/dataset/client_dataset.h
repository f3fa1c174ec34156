// The client dataset: rows fetched from a provider of a remote connection,
// typed fields, a cursor over a client-side filtered view, lookup fields, and
// a change log applied back to the provider. No Qt here.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "wire.h"

namespace remote {
class RemoteConnection;
}

namespace dataset {

using wire::FieldType;
using wire::Value;

// Misuse or bad data: a missing field, a malformed filter, an operation on
// an empty dataset. The message names what is wrong.
class DatasetError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct FieldDef {
    std::string name;
    FieldType type = FieldType::String;
    int size = 0;
    bool lookup = false;  // computed from another dataset, never stored or sent
};

// A lookup field: its value is `result_field` of the row of `lookup_dataset`
// whose `lookup_key_field` equals this row's `key_field`; empty when no row
// matches. Numbers and numeric text compare by value (1 matches 1.0 and "1").
class ClientDataset;
struct LookupDef {
    std::string name;
    FieldType type = FieldType::Float;
    ClientDataset *lookup_dataset = nullptr;  // must outlive this dataset's use of it
    std::string key_field;
    std::string lookup_key_field;
    std::string result_field;
};

enum class State { Inactive, Browse, Edit };

// Views (a grid model, a report link) follow a dataset through this.
class DatasetObserver {
public:
    virtual ~DatasetObserver() = default;
    virtual void rows_reset() {}                 // opened, closed, refiltered, a row deleted, lookups recomputed
    virtual void row_changed(int view_row) {}    // a value of this row of the view changed
    virtual void current_changed(int view_row) {}  // the cursor moved (-1: no current row)
    virtual void state_changed(State state) {}
};

class ClientDataset {
public:
    explicit ClientDataset(std::string name = {});
    ~ClientDataset();
    ClientDataset(const ClientDataset &) = delete;
    ClientDataset &operator=(const ClientDataset &) = delete;

    const std::string &name() const;

    // Where the rows come from.
    void set_connection(remote::RemoteConnection *connection);
    remote::RemoteConnection *connection() const;
    void set_provider_name(std::string provider);
    const std::string &provider_name() const;
    void set_command_text(std::string text);
    const std::string &command_text() const;
    // Named parameters sent to the provider with every open (the plan
    // provider's month); kept until changed, like the command text.
    void set_provider_params(wire::ProviderParams params);
    const wire::ProviderParams &provider_params() const;

    // Fields. With fixed fields, open() takes those columns of the packet
    // (matched without regard to case; a missing one is an error naming it);
    // without, the fields are the packet's columns. Lookup fields come after.
    void set_fixed_fields(std::vector<FieldDef> fields);
    void add_lookup_field(LookupDef lookup);
    int field_count() const;
    const FieldDef &field(int index) const;
    int field_index(std::string_view name) const;  // -1 when there is none; case-insensitive
    bool has_field(std::string_view name) const;

    // open() fetches every row; close() drops rows and pending changes;
    // execute() runs the command text and leaves the dataset as it is.
    // With versions kept, open() names the version of the rows kept from an
    // earlier open of the same provider, command text and parameters, and
    // when the provider answers that they are current, opens those rows as
    // they were fetched, without moving them again; close() keeps the rows of
    // a version (only while no change is pending: others are fetched anew).
    // The rows opened are the provider's in every case.
    void set_keeps_versions(bool on);
    // Opens on the rows another open dataset holds (every one, whatever its
    // filter, with its pending changes), as if the provider had delivered
    // them: no call is made.
    void open_from(const ClientDataset &source);
    bool keeps_versions() const;
    // The version of the rows open, empty when the provider gave none.
    const std::string &version() const;
    void open();
    void close();
    bool active() const;
    std::int64_t execute();

    // Client-side filter. set_filter parses at once and throws DatasetError
    // naming the position of a fault; the filter acts while filtered() is on.
    // The user filter (a grid's column filter) narrows the view further and
    // acts on its own; it never replaces the filter.
    void set_filter(const std::string &expression);
    const std::string &filter() const;
    void set_filtered(bool on);
    bool filtered() const;
    void set_user_filter(const std::string &expression);
    const std::string &user_filter() const;

    // Cursor over the view (0-based).
    void first();
    void prior();
    void next();
    void last();
    void move_to(int view_row);
    bool eof() const;  // past the last row, or the view is empty
    bool bof() const;
    int record_count() const;
    int rec_no() const;  // -1 when the view is empty

    // Values of the current row (the edit buffer while editing).
    Value value(std::string_view field) const;
    std::string as_string(std::string_view field) const;
    double as_float(std::string_view field) const;  // empty reads 0; numeric text converts
    void set_value(std::string_view field, const Value &value);  // puts the row into edit first

    // Values by position in the view, for views.
    Value value_at(int view_row, int field_index) const;

    // Editing of the current row. edit() on an empty view does nothing (no
    // blank row is ever started); moving the cursor posts a pending edit.
    State state() const;
    void edit();
    void post();
    void cancel();
    void delete_current();  // throws DatasetError on an empty view

    // Pending changes; apply_updates sends them and returns the error count.
    int change_count() const;
    wire::Delta pending_delta() const;
    int apply_updates(int max_errors);
    const std::vector<wire::ApplyError> &last_apply_errors() const;

    void add_observer(DatasetObserver *observer);
    void remove_observer(DatasetObserver *observer);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The link between a dataset and the views bound to it (ds_xstnzb02).
class DataSource {
public:
    explicit DataSource(ClientDataset *dataset = nullptr) : dataset_(dataset) {}
    ClientDataset *dataset() const { return dataset_; }
    void set_dataset(ClientDataset *dataset) { dataset_ = dataset; }

private:
    ClientDataset *dataset_;
};

}  // namespace dataset
