// What a server object offers: providers (records, execute, apply) and
// methods, each a unit of its own behind these small interfaces, found by
// name in the one table of server_objects.cpp. A provider writes a records
// answer into a sink: the same reading of the rows serves the in-process
// link (the rows collected) and HTTP (the packet's text written as it comes).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "caller.h"
#include "database.h"
#include "server_limits.h"
#include "wire.h"

namespace appserver {

// What one call of a session gets.
struct Call {
    Connection &db;             // the session's connection (its open transaction, if any)
    const Caller &caller;       // who makes the call
    const std::string &session;  // the session's id, for log lines
    const ServerLimits &limits;
    int &savepoints;            // the session's count of savepoints taken, to name the next
};

// Refuses a change to a viewer (403).
void refuse_viewer(const Call &call);

// Where a records answer goes. A provider calls begin, then row_id for every
// identity (if its rows have them), identities_done, row for every row,
// detail for every named detail (if it has any), and end; or packet once
// with an answer built whole.
class RecordsSink {
public:
    virtual ~RecordsSink() = default;
    // The version of the rows the caller holds, when the call named one
    // ("" when it holds none yet). A provider that keeps versions answers
    // such a call with current(version) when it still is the rows' version,
    // else with the rows and version(version) before end; one that keeps
    // none answers as always.
    const std::optional<std::string> &held_version() const { return held_version_; }
    void set_held_version(std::optional<std::string> version) { held_version_ = std::move(version); }
    // The rows' version, written with the packet.
    virtual void version(const std::string &version) = 0;
    // The rows held are current: the whole answer, in place of begin ... end.
    virtual void current(const std::string &version) = 0;
    virtual void begin(const std::vector<wire::FieldDef> &fields) = 0;
    virtual void row_id(wire::RowId id) = 0;
    // Every identity is there and the rows are to come.
    virtual void identities_done() {}
    virtual void row(std::span<const wire::Value> values) = 0;
    // A named packet that comes with the rows (DataPacket::details), after them.
    virtual void detail(const std::string &name, wire::DataPacket &&packet) = 0;
    virtual void end() = 0;
    virtual void packet(wire::DataPacket &&packet) = 0;

private:
    std::optional<std::string> held_version_;
};

class Provider {
public:
    explicit Provider(std::string name) : name_(std::move(name)) {}
    virtual ~Provider() = default;
    const std::string &name() const { return name_; }

    // Named parameters are the provider's own affair: any it does not take
    // is refused (BadRequest).
    virtual void records(Call &call, const std::string &command_text, const wire::ProviderParams &params,
                         RecordsSink &sink) const = 0;
    // Without an override: "provider NAME executes no command texts" (BadRequest).
    virtual std::int64_t execute(Call &call, const std::string &command_text) const;
    // Without an override: "provider NAME applies no updates" (BadRequest).
    virtual wire::ApplyResult apply(Call &call, const wire::Delta &delta, int max_errors) const;

private:
    std::string name_;
};

// A method's result: a JSON object (the transaction methods answer {}), or
// a data packet as its JSON (wire::packet_to_json). A method's file includes
// <nlohmann/json.hpp> to make one.
using MethodResult = nlohmann::json;

class Method {
public:
    // params: the names of the named parameters it takes (none: it takes none).
    explicit Method(std::string name, std::vector<std::string> params = {})
        : name_(std::move(name)), params_(std::move(params))
    {
    }
    virtual ~Method() = default;
    // Matched without regard to case.
    const std::string &name() const { return name_; }
    // Matched without regard to case; the server refuses any other (BadRequest)
    // before the call, and hands the method its parameters under these names.
    const std::vector<std::string> &params() const { return params_; }
    // A viewer may not call a method that changes data (or serves changes).
    virtual bool serves_changes() const = 0;
    virtual MethodResult call(Call &call, const wire::MethodParams &params) const = 0;

private:
    std::string name_;
    std::vector<std::string> params_;
};

}  // namespace appserver
