// The window stays alive while a remote call runs: the call goes to a worker
// thread and the GUI thread waits for it in a local event loop that takes no
// user input, so the window repaints and the wait cursor shows while nothing
// the planner clicks or types is acted on. For the handler that made it, the
// call stays synchronous, and calls run one at a time.
#pragma once

#include <functional>

class QWidget;

namespace ui {

// Runs `job` to its end and passes on its exception. On the GUI thread the job
// runs on a worker thread while this thread waits; anywhere else, and for a
// call made while another one is waited for, it runs on the calling thread
// after the running one has ended.
void run_remote_call(const std::function<void()> &job);

// Installs run_remote_call and the sign-in dialog (sign_in_dialog.h) into the
// remote connections. Safe to call more than once.
void install_remote_services();

// A widget whose painting waits for the end of an action's remote calls
// (one paint per action, not one while each call waits): from the first call
// of an action its updates are off (the window system's expose still paints
// it), and once the action has ended, back in the event loop that ran it, it
// is painted once with what the action left. Forgotten when destroyed.
void hold_painting_during_calls(QWidget *widget);
// Holds them from the start of an action (a handler) on, since the action
// may change their rows before its first call; released as above. ui::guarded
// calls it. Under the test hooks only while the wait pumps.
void hold_painting_for_action();

// Tests: under the test hooks the wait pumps nothing; on, it pumps events as
// it does for the planner.
void set_wait_pumps_under_test_hooks(bool on);

}  // namespace ui
