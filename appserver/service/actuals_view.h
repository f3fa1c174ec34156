// Actual sales from the site's own data: a view the site creates over its
// sales tables, named in the server's config (actuals_view), with the
// columns NYUE00 (month YYYYMM), CKDM00 (department), RYDM00 (salesman),
// XHAO00 (indicator sequence number) and SJSL00 (quantity sold). The server
// checks the view once at start and serves dsp_actuals on the customer
// object: a department's month summed per salesman and indicator, under a
// time limit of its own, so that a slow or broken view never holds up the
// board (wire/contract.h).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database.h"
#include "provider.h"

namespace appserver {

class AppServer;

struct ActualsSettings {
    std::string view;  // empty: no view, no actuals
    std::chrono::milliseconds time_limit{std::chrono::seconds(2)};
};

// The view's columns, in the order of the answer's query, each with what it holds.
struct ActualsColumn {
    const char *name;
    const char *meaning;
};
const std::vector<ActualsColumn> &actuals_columns();

// Whether a config value can name a view: a name, or schema.name, of
// letters, digits and underscores not starting with a digit (it is placed
// in the statement's text, so nothing else may pass).
bool is_view_name(const std::string &name);

// Why the view cannot serve actuals: in the administrator's words (the
// first column it lacks, a name that is no name, the database's refusal)
// and in a planner's.
struct ViewProblem {
    std::string why;
    std::string planner;
};
std::optional<ViewProblem> check_actuals_view(Connection &db, const std::string &view);

// The provider: with a view that passed the check it reads it; without a
// view it answers "off"; with one that failed it answers "unavailable" and
// the reason given (in planners' words).
std::unique_ptr<Provider> make_actuals_provider(const ActualsSettings &settings,
                                                std::optional<std::string> unavailable = std::nullopt);

// At start: checks the configured view on `db`, writes to the log whether
// actuals are served (or which column is missing; nothing without a view)
// and adds the provider to the server. Returns what it found.
std::string install_actuals(AppServer &server, Connection &db, const ActualsSettings &settings);

// The statement the provider runs on a view that passed the check.
std::string actuals_query(const std::string &view);

}  // namespace appserver
