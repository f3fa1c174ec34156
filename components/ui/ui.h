// User-interface services shared by every form of the module: message boxes
// with the platform's flag values, the default error display and the guard
// every event handler runs through, modal show, the wait cursor while a remote
// call blocks the form, and the font substitutions that let Chinese captions
// render. Test hooks for all of this live in test_hooks.h.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <exception>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "message_box_flags.h"

class QDialog;
class QTranslator;

namespace ui {

// ---------------------------------------------------------------------------
// Message boxes (flag values and results: message_box_flags.h)

// What a flag value asks for. Button kinds other than 0, 1, 3 and 4 are not
// used by the module and show a single OK button.
struct MessageBoxLayout {
    std::vector<int> buttons;    // results of the buttons, left to right
    int default_result = result_ok;  // the button that Enter presses
    int escape_result = result_ok;   // what Escape or the close button gives
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

MessageBoxLayout decode_message_box_flags(int flags);

// Shows a modal message box and returns the result of the button pressed:
// 1 OK, 2 Cancel, 6 Yes, 7 No. Escape and the close button give Cancel; a
// box without Cancel gives its only button's result (No for Yes/No).
int message_box(QWidget *parent, const QString &text, const QString &caption, int flags);
// The same with a detailed text the user can unfold under the message (the
// reasons behind it); an empty one shows none.
int message_box(QWidget *parent, const QString &text, const QString &caption, int flags, const QString &details);

// ---------------------------------------------------------------------------
// Errors

// The caption of the default error display.
QString error_caption();

// The default error display: the message with a stop icon and an OK button.
void show_error(const QString &message, QWidget *parent = nullptr);

// Shows an error that escaped a handler; never throws. what == nullptr means
// an exception that is not a std::exception.
void report_exception(QWidget *context, const char *what) noexcept;

// Runs an event handler. An error that ends it is shown by the default error
// display and goes no further, so no exception ever crosses the event loop.
// The context may be destroyed by the handler itself (an exit command).
void hold_painting_for_action();  // call_runner.h

template <class F>
void guarded(QWidget *context, F &&handler) noexcept
{
    QPointer<QWidget> alive(context);
    // The grids are painted once the action is over, with what it left.
    hold_painting_for_action();
    try {
        std::invoke(std::forward<F>(handler));
    } catch (const std::exception &e) {
        report_exception(alive.data(), e.what());
    } catch (...) {
        report_exception(alive.data(), nullptr);
    }
}

// Connects a signal to a member function of the receiver, run through
// guarded(). The member may take the signal's arguments or none at all:
//   ui::connect_guarded(tbexit, &TFlatSpeedButton::clicked, this, &TFm_Base::tbexitClick);
template <class Sender, class Signal, class Receiver, class Method>
QMetaObject::Connection connect_guarded(Sender *sender, Signal signal, Receiver *receiver,
                                        Method method)
{
    return QObject::connect(sender, signal, receiver, [receiver, method](auto &&...args) {
        QWidget *context = nullptr;
        if constexpr (std::is_base_of_v<QWidget, Receiver>) context = receiver;
        guarded(context, [&] {
            if constexpr (std::is_invocable_v<Method, Receiver *, decltype(args)...>)
                std::invoke(method, receiver, std::forward<decltype(args)>(args)...);
            else
                std::invoke(method, receiver);
        });
    });
}

// ---------------------------------------------------------------------------
// Modal windows

// Runs the dialog modally and returns its result (QDialog::Accepted,
// Rejected or the value given to done()). Works with dialogs that delete
// themselves on close: the dialog is not touched after exec() returns.
int show_modal(QDialog *dialog);

// ---------------------------------------------------------------------------
// Wait cursor

// Counts nested busy periods: the first true shows the wait cursor, the
// matching last false restores the cursor. A false without a true is ignored.
// Fits the busy hook of the remote connections.
void set_busy(bool busy);

// How many busy periods are open.
int busy_depth();

// The wait cursor for the lifetime of the object.
class WaitCursor {
public:
    WaitCursor() { set_busy(true); }
    ~WaitCursor() { set_busy(false); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

// ---------------------------------------------------------------------------
// Qt's own texts

// Whether a translator for Qt's own dialog texts is installed: Qt's
// "Cancel" then reads otherwise.
bool qt_texts_translated();

// Qt's own Chinese translations (qtbase_zh_CN from Qt's translations
// folder), installed into the application when no translator for Qt's texts
// is there yet, so the print and file dialogs speak Chinese. Returns the
// translator installed, or nullptr when one was there already or the file
// is missing; destroying it removes it again.
std::unique_ptr<QTranslator> install_qt_translations();

// ---------------------------------------------------------------------------
// Fonts

// The Chinese font that stands in for the forms' fonts, or an empty string
// when none of the known ones is installed.
QString chinese_substitute_family();

// Substitutes "宋体" and "隶书" (and their Western names) by an installed
// Chinese font so Chinese captions render. Safe to call more than once.
void install_font_substitutions();

}  // namespace ui
