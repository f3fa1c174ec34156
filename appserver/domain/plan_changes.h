// Changes of the salesman plan rows as an apply sends them (deletions and
// quantity changes, by row identity): every rule checked inside the changing
// transaction, every change recorded. The plan provider's apply and any later
// server method that changes plan rows go through here.
#pragma once

#include "caller.h"
#include "database.h"
#include "wire.h"

namespace appserver {

// All changes of one apply run in one transaction: the connection's own when
// one is open (inside a savepoint, so that undoing the apply leaves the rest
// of that transaction alone; savepoints numbers them), else one of its own.
// A refused change is counted; once more than max_errors changes are refused
// (a negative max_errors tolerates any number), everything the apply did is
// undone and the apply stops. A database failure stops and undoes it too;
// every change of the apply is then counted as refused. A database out of
// reach throws (Unavailable).
wire::ApplyResult apply_plan_changes(Connection &db, const Caller &caller, int &savepoints, const wire::Delta &delta,
                                     int max_errors);

}  // namespace appserver
