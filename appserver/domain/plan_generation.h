// Generating the plans of several salesmen of a department's month at once:
// for each, the plan month dialog's generation (the module's own statement,
// its values bound), with its unique key and its audit records, all in one
// transaction.
#pragma once

#include <string>
#include <vector>

#include "caller.h"
#include "database.h"

namespace appserver {

struct GenerationResult {
    std::vector<std::string> generated;  // who got a plan, by code
    std::vector<std::string> skipped;    // named, but had a plan of the month already
};

// Generates the month's plan of each salesman named (none named: every
// visit-salesman of the department without a plan of the month), in one
// transaction: the connection's own when one is open (inside a savepoint),
// else one of its own, after the department's allocation lock, so that two
// generations of one department and month run one after the other. A
// salesman named who has a plan of the month already is skipped and
// reported. Refused (ServerError, code generation_refused), with nothing
// generated: a department without a plan of the month, a month without
// sales indicators, a code that is not a visit-salesman of the department.
GenerationResult generate_plans(Connection &db, const Caller &caller, int &savepoints, const std::string &month,
                                const std::string &department, const std::vector<std::string> &salesmen);

}  // namespace appserver
