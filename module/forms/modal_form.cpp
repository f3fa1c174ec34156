#include "modal_form.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QShortcut>
#include <QShowEvent>

#include "ui.h"

ModalForm::ModalForm(QWidget *owner) : QDialog(owner)
{
    // Where the window system leaves Alt+F4 to the window, it is the exit too.
    auto *alt_f4 = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_F4), this);
    alt_f4->setContext(Qt::WindowShortcut);
    connect(alt_f4, &QShortcut::activated, this, [this] { press(exit_); });
}

ModalForm::~ModalForm() = default;

void ModalForm::set_exit_command(QAbstractButton *button) { exit_ = button; }

void ModalForm::set_confirm_command(QAbstractButton *button) { confirm_ = button; }

void ModalForm::take_keys_from(std::initializer_list<QWidget *> inputs)
{
    for (QWidget *input : inputs) {
        if (!input) continue;
        input->installEventFilter(this);
        key_inputs_.append(input);
    }
}

void ModalForm::press(QAbstractButton *button)
{
    if (button && button->isVisible() && button->isEnabled()) button->click();
}

void ModalForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // Once per showing: a window closing over the form shows it again, and
    // the window system's own show events are no showing of the form.
    if (activated_ || event->spontaneous()) return;
    activated_ = true;
    ui::guarded(this, [this] { FormActivate(); });
}

bool ModalForm::take_key(QKeyEvent *event)
{
    if (event->modifiers() != Qt::NoModifier && event->modifiers() != Qt::KeypadModifier) return false;
    QAbstractButton *command = nullptr;
    switch (event->key()) {
    case Qt::Key_Escape:
        command = exit_;
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        command = confirm_;
        break;
    default:
        return false;
    }
    if (!command) return false;
    // A dropped-down list or calendar takes its own Enter and Escape.
    if (QApplication::activePopupWidget()) return false;
    for (const QComboBox *combo : findChildren<QComboBox *>())
        if (combo->view() && combo->view()->isVisible()) return false;
    event->accept();
    press(command);
    return true;
}

void ModalForm::keyPressEvent(QKeyEvent *event)
{
    if (take_key(event)) return;
    // QDialog's own Escape would end the modal run past the exit command.
    if (exit_ && event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool ModalForm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && key_inputs_.contains(watched) &&
        take_key(static_cast<QKeyEvent *>(event)))
        return true;
    return QDialog::eventFilter(watched, event);
}

void ModalForm::FormClose(QCloseEvent *event)
{
    setAttribute(Qt::WA_DeleteOnClose);
    event->accept();
}

void ModalForm::run_form_close(QCloseEvent *event)
{
    event->accept();
    // The close event is a handler like any other: an error that ends it is
    // shown, goes no further (a close asked for by the window system comes
    // straight from the event loop) and keeps the form open.
    bool finished = false;
    ui::guarded(this, [&] {
        FormClose(event);
        finished = true;
    });
    if (!finished) event->ignore();
}

void ModalForm::closeEvent(QCloseEvent *event)
{
    // A close from the window system (Alt+F4, the window manager) is the
    // exit command, with whatever it asks first; the command closes the form.
    if (event->spontaneous() && exit_ && exit_->isVisible() && exit_->isEnabled()) {
        event->ignore();
        if (!exit_queued_) {
            exit_queued_ = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    exit_queued_ = false;
                    if (exit_) exit_->click();
                },
                Qt::QueuedConnection);
        }
        return;
    }
    run_form_close(event);
    if (!event->isAccepted()) return;  // the form stays open
    // QDialog ends a modal run through done(); FormClose has run already.
    in_close_event_ = true;
    QDialog::closeEvent(event);
    in_close_event_ = false;
}

void ModalForm::done(int result)
{
    if (!in_close_event_) {
        // Qt closes a dialog from done() without a close event of its own.
        QCloseEvent event;
        run_form_close(&event);
        if (!event.isAccepted()) return;
    }
    QDialog::done(result);
}
