// The allocation helpers applied by the server: what remains split in whole
// units, last month's split carried forward. Each computes from the
// server's own reading of the department's month (the board's, taken inside
// the changing transaction after the department's allocation lock), with
// the one computation the module previews with (components/allocation), and
// applies it whole: the quantity bounds, the allocation rule, the plan's
// unique key and one audit record per changed row named after the
// operation. A preview computed from another state of the month (its
// fingerprint differs) is refused whole.
#pragma once

#include <functional>
#include <vector>
#include <string>

#include "allocation.h"
#include "caller.h"
#include "database.h"

namespace appserver {

// Reads a department's month as the board provider answers it.
using BoardReader = std::function<wire::DataPacket(const std::string &month, const std::string &department)>;

struct SplitApplied {
    std::string operation;
    int changed = 0;
};

// Refused whole (ServerError 422): code board_changed when `fingerprint` is
// not empty and differs from the month's now; allocation_refused for
// weights that cannot split.
SplitApplied apply_split(Connection &db, const Caller &caller, int &savepoints, const BoardReader &read,
                         const std::string &month, const std::string &department,
                         const allocation::SplitRequest &request, const std::string &fingerprint);

// Refused whole (ServerError 422): board_changed as above (the fingerprint
// of this month and last month); allocation_refused when last month holds no
// plan or nobody is left to carry; generation_refused without a department
// plan or sales indicators for the month.
allocation::RollForward apply_roll_forward(Connection &db, const Caller &caller, int &savepoints,
                                           const BoardReader &read, const std::string &month,
                                           const std::string &department, const std::string &fingerprint);

}  // namespace appserver

namespace appserver {

// A sheet imported onto the board: the new quantity of each plan row it
// changes, by row identity.
struct ImportedQuantity {
    wire::RowId row = 0;
    double quantity = 0;
};
inline constexpr const char *kImportOperation = "导入";

// Applies an imported sheet whole, in one transaction: every row must be a
// plan row of a visit-salesman of the department's month, each quantity
// within the bounds and the allocation rule (lowered shares first), one
// audit record per changed row named 导入 with the file's name as its
// reason. Refused whole (ServerError 422): board_changed as above;
// allocation_refused for a row that is none of the month's or a quantity
// the rule refuses; month_locked for a submitted or approved month.
SplitApplied apply_import(Connection &db, const Caller &caller, int &savepoints, const BoardReader &read,
                          const std::string &month, const std::string &department, const std::string &file_name,
                          std::vector<ImportedQuantity> changes, const std::string &fingerprint);

}  // namespace appserver
