#include "call_runner.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QObject>
#include <QThread>

#include <exception>
#include <mutex>
#include <thread>

#include "remote_connection.h"
#include "sign_in_dialog.h"
#include "test_hooks.h"

namespace ui {

namespace {

// One call at a time, whichever thread runs it.
std::mutex one_call;
bool waiting = false;

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
    if (!testing::hooks_active()) {
        CloseRefuser refuser;
        app->installEventFilter(&refuser);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        app->removeEventFilter(&refuser);
    }
    worker.join();

    if (!testing::hooks_active()) {
        InputSwallower swallower;
        app->installEventFilter(&swallower);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        app->removeEventFilter(&swallower);
    }
    waiting = false;
    if (error) std::rethrow_exception(error);
}

void install_remote_services()
{
    remote::set_call_runner(&run_remote_call);
    remote::set_sign_in_hook(&sign_in_on_demand);
}

}  // namespace ui
