// Test hooks of the user-interface services: GUI tests script the answers to
// message boxes and drive modal windows without a person.
//
//   ui::testing::Hooks hooks;
//   hooks.answer(ui::result_ok);                     // the next message box answers OK
//   hooks.on_modal([&](QDialog *d) { ...; d->reject(); });
//   form->tbnewClick();
//   EXPECT_EQ(hooks.messages().at(0).text, "...");
//
// While a Hooks object lives:
// - message_box() shows nothing. It records {text, caption, flags} and
//   returns the next scripted answer. With no answer scripted it returns what
//   Escape would give: 1 for a box with only OK, 2 for a box with Cancel,
//   7 for a Yes/No box. Scripted answers are returned as given.
// - show_error() shows nothing and records the message with is_error set,
//   caption error_caption() and flags 16.
// - show_modal() runs the dialog's real exec(), so its show events and
//   activation really run. Once the dialog is shown, the next queued action
//   runs inside the modal loop; it drives the dialog (clicks, keys) and
//   usually closes it. An action may open further modal windows: each of
//   them takes the next action from the queue.
// - Nothing can hang on a modal loop: a dialog without a queued action is
//   rejected right after it is shown, and a dialog still showing when its
//   action has returned is rejected then; both are recorded
//   (ModalRecord::closed_by_hooks). An exception thrown by an action is
//   recorded (ModalRecord::action_error) and the dialog is rejected.
// Hooks objects do not nest.
#pragma once

#include <QString>

#include <deque>
#include <functional>
#include <vector>

class QDialog;

namespace ui::testing {

struct MessageRecord {
    QString text;
    QString caption;
    int flags = 0;
    bool is_error = false;
    int answer = 0;  // what the call returned (0 for show_error)
    QString details;  // the box's detailed text, empty when it has none
};

struct ModalRecord {
    QString class_name;      // the dialog's meta-object class name
    QString title;           // the window title when it was shown
    bool had_action = false; // an action was queued for it
    bool closed_by_hooks = false;
    QString action_error;    // what() of an exception thrown by the action
};

using ModalAction = std::function<void(QDialog *)>;

class Hooks {
public:
    Hooks();
    ~Hooks();
    Hooks(const Hooks &) = delete;
    Hooks &operator=(const Hooks &) = delete;

    // Scripts the answer of the next message box (first in, first out).
    void answer(int result);
    // Queues the action for the next modal window.
    void on_modal(ModalAction action);

    const std::vector<MessageRecord> &messages() const;
    // Only the records of show_error / only those of message_box.
    std::vector<MessageRecord> errors() const;
    std::vector<MessageRecord> boxes() const;
    void clear_messages();

    const std::vector<ModalRecord> &modals() const;
    int modal_count() const;

    int pending_answers() const;
    int pending_actions() const;
};

// True while a Hooks object lives.
bool hooks_active();

}  // namespace ui::testing

// Used by the services themselves, not by tests.
namespace ui::testing::detail {
// Records the box and returns the answer to give.
int hooked_message_box(const QString &text, const QString &caption, int flags, int unscripted,
                       const QString &details = QString());
void hooked_error(const QString &message);
// Arranges the queued action (or the safety net) for a dialog about to run.
void prepare_modal(QDialog *dialog);
}  // namespace ui::testing::detail
