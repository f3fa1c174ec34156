// A link that serves data packets from memory and records what the dataset
// sends, so dataset tests need no server.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "client_dataset.h"
#include "remote_connection.h"

namespace dataset_test {

// What the fake server holds and what it was asked; shared by every link the
// factory opens, so a test can change the rows between two opens.
struct FakeServer {
    // by "provider|command text"; "provider|" for any text. A packet with a
    // version is answered "current" to a call that names it.
    std::map<std::string, wire::DataPacket> packets;
    struct Call {
        std::string kind;  // "get", "execute", "apply"
        std::string provider;
        std::string command_text;
        wire::Delta delta;
        int max_errors = 0;
        wire::ProviderParams params;  // "get" only
        std::optional<std::string> held;  // the version a "get" named
    };
    std::vector<Call> calls;
    wire::ApplyResult next_apply_result;  // returned by the next apply, then reset
    bool fail_next_call = false;          // the next call throws RemoteError

    void serve(const std::string &provider, const std::string &command_text, wire::DataPacket packet)
    {
        packets[provider + "|" + command_text] = std::move(packet);
    }
    int count(const std::string &kind) const;
};

// Installs a link factory serving `server` for the life of the object.
class FakeLinkScope {
public:
    explicit FakeLinkScope(FakeServer &server);
    ~FakeLinkScope();
    FakeLinkScope(const FakeLinkScope &) = delete;
    FakeLinkScope &operator=(const FakeLinkScope &) = delete;
};

// Builds a packet: field names with types, then rows.
wire::DataPacket make_packet(std::vector<wire::FieldDef> fields, std::vector<wire::Row> rows,
                             std::vector<wire::RowId> ids = {});

// An observer that counts what it hears.
struct RecordingObserver : dataset::DatasetObserver {
    int resets = 0;
    std::vector<int> changed_rows;
    std::vector<int> current_moves;
    std::vector<dataset::State> states;
    void rows_reset() override { ++resets; }
    void row_changed(int row) override { changed_rows.push_back(row); }
    void current_changed(int row) override { current_moves.push_back(row); }
    void state_changed(dataset::State s) override { states.push_back(s); }
};

// The message of the DatasetError that f raises, or "no error".
inline std::string error_of(const std::function<void()> &f)
{
    try {
        f();
    } catch (const dataset::DatasetError &e) {
        return e.what();
    }
    return "no error";
}

}  // namespace dataset_test
