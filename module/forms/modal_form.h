// What every window of the module does on its first showing and on its way
// out, written once for the full-size forms and the plan month dialog alike:
// - the activation FormActivate runs once, on the first showing, through the
//   handler guard; a window closing over the form brings it back without a
//   new activation;
// - the close event FormClose (close action "free" unless a form says
//   otherwise) runs through the handler guard before every close, also when
//   the modal run is ended by program; a FormClose that fails or ignores the
//   event keeps the form open;
// - Escape, Alt+F4 and a close asked for by the window system press the
//   form's exit command, so a form whose exit asks first keeps asking and
//   none of them closes a form past it; Enter presses the confirm command of
//   a form that has one. A dropped-down list or calendar keeps its own Enter
//   and Escape.
#pragma once

#include <QDialog>
#include <QList>
#include <QPointer>

#include <initializer_list>

class QAbstractButton;
class QCloseEvent;
class QKeyEvent;
class QShowEvent;

class ModalForm : public QDialog {
    Q_OBJECT

public:
    explicit ModalForm(QWidget *owner = nullptr);
    ~ModalForm() override;

    // Whether the activation has run for this showing.
    bool activated() const { return activated_; }

    // Ending the modal run by any means closes the form: FormClose runs
    // first and may keep the form open.
    void done(int result) override;

protected:
    // The activation of the form's first showing; none by default.
    virtual void FormActivate() {}
    // The close event. The default sets the close action "free": the form
    // deletes itself once it has closed. A handler that ignores the event
    // keeps the form open.
    virtual void FormClose(QCloseEvent *event);

    // The button whose click is the form's way out, pressed (when it is
    // visible and enabled) by Escape, Alt+F4 and the window system's close.
    void set_exit_command(QAbstractButton *button);
    // The button Enter presses; a form without one leaves Enter alone.
    void set_confirm_command(QAbstractButton *button);
    // Inputs that would keep Enter and Escape to themselves (a date picker,
    // an editable box) hand them to the form.
    void take_keys_from(std::initializer_list<QWidget *> inputs);

    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Enter or Escape as the form's command; true when the key was taken.
    bool take_key(QKeyEvent *event);
    void press(QAbstractButton *button);
    void run_form_close(QCloseEvent *event);  // FormClose through the handler guard

    QPointer<QAbstractButton> exit_;
    QPointer<QAbstractButton> confirm_;
    QList<QObject *> key_inputs_;
    bool activated_ = false;
    bool in_close_event_ = false;
    bool exit_queued_ = false;
};
