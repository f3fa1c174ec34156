#include "call_runner.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "remote_connection.h"
#include "sign_in_dialog.h"
#include "test_hooks.h"

namespace ui {

namespace {

// One call at a time, whichever thread runs it.
std::mutex one_call;
bool waiting = false;
bool pumping_after_call = false;
bool pump_under_hooks = false;

bool wait_pumps() { return !testing::hooks_active() || pump_under_hooks; }

// The widgets held while calls run, and those held now.
std::vector<QPointer<QWidget>> &registered()
{
    static std::vector<QPointer<QWidget>> widgets;
    return widgets;
}
std::vector<QPointer<QWidget>> &held()
{
    static std::vector<QPointer<QWidget>> widgets;
    return widgets;
}
bool release_scheduled = false;

void hold_painting()
{
    auto &all = registered();
    all.erase(std::remove_if(all.begin(), all.end(), [](const QPointer<QWidget> &w) { return w.isNull(); }), all.end());
    for (const auto &w : all)
        if (w->updatesEnabled()) {
            w->setUpdatesEnabled(false);
            held().push_back(w);
        }
}

// Runs from the event loop once the call is over; while another call of
// the same action runs, or in the pump right after a call, it waits on.
void release_painting()
{
    if (waiting || pumping_after_call) {
        QTimer::singleShot(0, &release_painting);
        return;
    }
    release_scheduled = false;
    for (const auto &w : held())
        if (w) w->setUpdatesEnabled(true);  // one update of the whole widget
    held().clear();
}

void schedule_release()
{
    if (held().empty() || release_scheduled) return;
    release_scheduled = true;
    QTimer::singleShot(0, &release_painting);
}

bool is_user_input(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Shortcut:
    case QEvent::ShortcutOverride:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::ContextMenu:
        return true;
    default:
        return false;
    }
}

// Swallows the input that arrived while a call ran: the wait only deferred
// it, and a click on a button during the call must not act once it is over.
class InputSwallower : public QObject {
protected:
    bool eventFilter(QObject *, QEvent *event) override { return is_user_input(event->type()); }
};

// A window closed from its title bar while a call runs would go away under
// the handler that made the call: the close is refused, the planner may
// close it again once the call is over.
class CloseRefuser : public QObject {
protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::Close || !event->spontaneous()) return false;
        event->ignore();
        return true;
    }
};

}  // namespace

void run_remote_call(const std::function<void()> &job)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread() || waiting) {
        // Off the GUI thread, or something the wait let run (a timer, a
        // posted event) made a call of its own: it waits for the running one.
        std::lock_guard lock(one_call);
        job();
        return;
    }

    waiting = true;
    hold_painting();
    std::exception_ptr error;
    QEventLoop loop;
    std::thread worker([&] {
        {
            std::lock_guard lock(one_call);
            try {
                job();
            } catch (...) {
                error = std::current_exception();
            }
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    // Under the test hooks the wait pumps nothing: they drive modal windows
    // from timers, which must not run in the middle of an activation.
    if (wait_pumps()) {
        CloseRefuser refuser;
        app->installEventFilter(&refuser);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        app->removeEventFilter(&refuser);
    }
    worker.join();

    schedule_release();
    if (wait_pumps()) {
        InputSwallower swallower;
        app->installEventFilter(&swallower);
        pumping_after_call = true;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        pumping_after_call = false;
        app->removeEventFilter(&swallower);
    }
    waiting = false;
    if (error) std::rethrow_exception(error);
}

void hold_painting_for_action()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread() || !wait_pumps()) return;
    hold_painting();
    schedule_release();
}

void hold_painting_during_calls(QWidget *widget)
{
    if (widget) registered().emplace_back(widget);
}

void set_wait_pumps_under_test_hooks(bool on) { pump_under_hooks = on; }

void install_remote_services()
{
    remote::set_call_runner(&run_remote_call);
    remote::set_sign_in_hook(&sign_in_on_demand);
}

}  // namespace ui
