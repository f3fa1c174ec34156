// The allocation helpers' calls on the data module's customer-object
// connection: the board as its provider answers it (the preview is computed
// from it with the server's own code, components/allocation), a
// department's weights, and the methods that compute again and apply. No
// statement text travels for any of it.
#pragma once

#include <string>
#include <vector>

#include "allocation.h"
#include "wire.h"

namespace remote {
class RemoteConnection;
}

namespace board {

// A department's month as the board provider answers it.
wire::DataPacket read_board_packet(remote::RemoteConnection &cust, const std::string &month,
                                   const std::string &department);

allocation::Weights read_weights(remote::RemoteConnection &cust, const std::string &department);
void save_weights(remote::RemoteConnection &cust, const std::string &department, const allocation::Weights &weights);

// The split applied by the server, refused whole when the board it finds
// has another fingerprint. Returns how many cells changed.
int allocate_remaining(remote::RemoteConnection &cust, const std::string &month, const std::string &department,
                       const allocation::SplitRequest &request, const std::string &fingerprint);

struct RolledForward {
    std::vector<std::string> carried, new_salesmen, left, new_indicators;
    int rows = 0;
};
RolledForward roll_forward(remote::RemoteConnection &cust, const std::string &month, const std::string &department,
                           const std::string &fingerprint);

}  // namespace board
