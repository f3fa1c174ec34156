// The weights a department's planners split by, kept by the server per
// department and salesman so that every planner of the department finds
// them (table XSTYQZ00: CKDM00 department, RYDM00 salesman, QZ0000 weight).
#pragma once

#include <string>

#include "allocation.h"
#include "database.h"

namespace appserver {

inline constexpr const char *kWeightsTable = "XSTYQZ00";

// Creates the table where it is missing: the one step the layout of the
// allocation helpers adds (migrate runs it on an older database too).
void create_weights_table(Connection &db);

// The department's weights by salesman code.
allocation::Weights read_weights(Connection &db, const std::string &department);

// Replaces the department's weights in one transaction (the connection's own
// when one is open). Weights that are negative, not finite or all zero are
// refused (ServerError, code allocation_refused) and nothing changes.
void save_weights(Connection &db, int &savepoints, const std::string &department, const allocation::Weights &weights);

}  // namespace appserver
