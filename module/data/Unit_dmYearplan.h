// The module's one data module, "dm_yearplan": the two remote connections and
// the client datasets through which every form reads and writes plan data.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "client_dataset.h"
#include "contract.h"
#include "remote_connection.h"

// Provider and method names of the application server (wire/contract.h).
namespace server_contract {
inline constexpr const char *kTempProvider = contract::kTempProvider;
inline constexpr const char *kPlanProvider = contract::kPlanProvider;
inline constexpr const char *kTranStart = contract::kTranStartMethod;
inline constexpr const char *kTranCommit = contract::kTranCommitMethod;
inline constexpr const char *kRollback = contract::kRollbackMethod;
}  // namespace server_contract

// The month, department and salesman a plan row filter was built from.
struct PlanSelection {
    std::string month;
    std::string dept;
    std::string salesman;
    bool operator==(const PlanSelection &) const = default;
};

class Tdm_yearplan {
public:
    static constexpr const char *kName = "dm_yearplan";

    Tdm_yearplan();
    ~Tdm_yearplan();
    Tdm_yearplan(const Tdm_yearplan &) = delete;
    Tdm_yearplan &operator=(const Tdm_yearplan &) = delete;

    // Points both connections at the application server's computer.
    void set_computer_name(const std::string &server_name);

    remote::RemoteConnection Dcom_cominfo;
    remote::RemoteConnection Dcom_cocustobj;
    dataset::ClientDataset cds_temp;
    dataset::ClientDataset CDS_LOOKUP;
    dataset::ClientDataset cds_xstyzb02;
    dataset::DataSource ds_xstnzb02;

    // The selection the plan view shows, the one every command acts on: set
    // by apply_plan_filter. plan_view_loaded tells whether the view holds
    // that selection's rows; a reload that failed leaves it false, and the
    // commands then refuse rather than act on a selection nobody sees.
    PlanSelection plan_filter_in_force;
    bool plan_view_loaded = false;

    // Called by apply_plan_filter once the selection in force is set (the
    // main form shows there whether its month may change).
    std::function<void()> on_selection_in_force;
    // The departments' month states (month_state.h) of states_month, read
    // once a month; cleared to read them again.
    std::string states_month;
    std::map<std::string, std::string> month_states;

    // The selection in force when the view holds its rows, nullptr otherwise.
    const PlanSelection *loaded_selection() const { return plan_view_loaded ? &plan_filter_in_force : nullptr; }
};

// The data module the forms work on: the current one, or the error that
// there is none (the main form's activation makes it, its exit releases it).
Tdm_yearplan &current_data_module();

// Runs a changing statement inside a server transaction on Dcom_cominfo:
// "CompanydbTranStart"; cds_temp closed, given the statement and executed;
// "CompanydbTranCommit"; then `after_commit` (a reload). On any error
// "CompanydbRollback" is called and the error is passed on; an error of the
// roll-back call itself is passed on in its place.
void run_in_server_transaction(Tdm_yearplan &dm, const std::string &statement,
                               const std::function<void()> &after_commit = {});

// Closes cds_temp, gives it the statement and opens it.
void open_statement(dataset::ClientDataset &cds, const std::string &statement);
