// The main form's changing commands in a month that is submitted or
// approved: disabled, with the server's reason in their tooltips, once the
// month's state is known. The state of every department of the month is
// read once a month (a department change costs no call); without an answer
// the commands stay as they were, and the server refuses what it must.
#include <exception>

#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "month_state.h"
#include "module_state.h"
#include "plan_vocabulary.h"

using namespace saleplan;

void TFm_saleplan::show_month_lock()
{
    if (!dm_yearplan) return;
    Tdm_yearplan &dm = *dm_yearplan;
    const PlanSelection &in_force = dm.plan_filter_in_force;
    if (dm.states_month != in_force.month) {
        dm.states_month.clear();
        try {
            dm.month_states = month_state::read_month(dm.Dcom_cocustobj, in_force.month);
            dm.states_month = in_force.month;
        } catch (const std::exception &) {
            dm.month_states.clear();  // not known: nothing is disabled for it
        }
    }
    std::optional<std::string> reason;
    if (dm.states_month == in_force.month) {
        const auto it = dm.month_states.find(in_force.dept);
        if (it != dm.month_states.end()) reason = month_state::lock_reason(it->second);
    }
    const bool may_change = !is_browse_mode(open_mode) && !remote::account_is_viewer(server_name);
    for (TFlatSpeedButton *command : {tbnew, tbedit, tbdel, tbok}) {
        if (!command->property("plain_tool_tip").isValid()) command->setProperty("plain_tool_tip", command->toolTip());
        command->setEnabled(may_change && !reason);
        command->setToolTip(reason ? QString::fromStdString(*reason)
                                   : command->property("plain_tool_tip").toString());
    }
}
