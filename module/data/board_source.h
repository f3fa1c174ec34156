// Where the board's figures come from and where its changes go: the board
// provider of the customer object (one call, one snapshot), the plan
// provider's apply (row identities, quantities as read, the allocation rule
// and the audit), and the server's generation of missing plans. No statement
// text travels for any of it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "actuals.h"
#include "board_model.h"
#include "wire.h"

class Tdm_yearplan;

namespace board {

// What a generation did: who got a plan, and who was named but had one already.
struct Generation {
    std::vector<std::string> generated;
    std::vector<std::string> skipped;
};

class BoardSource {
public:
    virtual ~BoardSource() = default;
    // The department's month. Throws remote::RemoteError as the calls do.
    virtual Snapshot read(const std::string &month, const std::string &department) = 0;
    // Every change in one apply, all or nothing (no error allowed).
    virtual wire::ApplyResult save(const wire::Delta &delta) = 0;
    // Plans with zero quantities for the salesmen named (none named: every
    // visit-salesman of the department without a plan of the month).
    virtual Generation generate(const std::string &month, const std::string &department,
                                const std::vector<std::string> &salesmen) = 0;
    // The department's month's actual sales; a source without them has none (Off).
    virtual Actuals read_actuals(const std::string &month, const std::string &department)
    {
        (void)month, (void)department;
        return {};
    }
};

// The board's source on a data module's customer-object connection.
std::unique_ptr<BoardSource> data_module_source(Tdm_yearplan &dm);

// The snapshot a board provider's answer holds.
Snapshot snapshot_from_packet(const wire::DataPacket &packet, const std::string &month,
                              const std::string &department);

}  // namespace board
