#include "test_hooks.h"

#include "ui.h"

#include <QDialog>
#include <QEvent>
#include <QPointer>
#include <QTimer>

#include <exception>
#include <memory>

namespace ui::testing {

namespace {

struct State {
    std::deque<int> answers;
    std::deque<ModalAction> actions;
    std::vector<MessageRecord> messages;
    std::vector<ModalRecord> modals;
};

State *state = nullptr;

// Waits for the dialog's first show, then runs its action (or the safety
// net) from the modal loop that exec() enters right after showing it.
class ShowWatcher : public QObject {
public:
    ShowWatcher(QDialog *dialog, ModalAction action, std::size_t record)
        : QObject(dialog), action_(std::move(action)), record_(record)
    {
        // A dialog that is already showing gets no further show event.
        if (dialog->isVisible())
            schedule(dialog);
        else
            dialog->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && !scheduled_) {
            watched->removeEventFilter(this);
            schedule(static_cast<QDialog *>(watched));
        }
        return false;
    }

private:
    void schedule(QDialog *dialog)
    {
        scheduled_ = true;
        if (state && record_ < state->modals.size())
            state->modals[record_].title = dialog->windowTitle();
        // Timers run only once exec() has entered its modal loop.
        QTimer::singleShot(0, this, [this, dialog] { run(dialog); });
    }

    void run(QDialog *dialog)
    {
        QPointer<QDialog> alive(dialog);
        ModalRecord *record = nullptr;
        auto note = [&]() -> ModalRecord * {
            // The vector may grow while the action opens further windows.
            if (state && record_ < state->modals.size()) return &state->modals[record_];
            return nullptr;
        };
        if (action_) {
            try {
                ModalAction action = std::move(action_);
                action(dialog);
            } catch (const std::exception &e) {
                if ((record = note())) record->action_error = QString::fromUtf8(e.what());
            } catch (...) {
                if ((record = note())) record->action_error = QStringLiteral("unknown exception");
            }
        }
        if (alive && alive->isVisible()) {
            if ((record = note())) record->closed_by_hooks = true;
            alive->reject();
        }
        deleteLater();
    }

    ModalAction action_;
    std::size_t record_;
    bool scheduled_ = false;
};

}  // namespace

Hooks::Hooks() { state = new State; }

Hooks::~Hooks()
{
    delete state;
    state = nullptr;
}

void Hooks::answer(int result) { state->answers.push_back(result); }

void Hooks::on_modal(ModalAction action) { state->actions.push_back(std::move(action)); }

const std::vector<MessageRecord> &Hooks::messages() const { return state->messages; }

std::vector<MessageRecord> Hooks::errors() const
{
    std::vector<MessageRecord> out;
    for (const auto &m : state->messages)
        if (m.is_error) out.push_back(m);
    return out;
}

std::vector<MessageRecord> Hooks::boxes() const
{
    std::vector<MessageRecord> out;
    for (const auto &m : state->messages)
        if (!m.is_error) out.push_back(m);
    return out;
}

void Hooks::clear_messages() { state->messages.clear(); }

const std::vector<ModalRecord> &Hooks::modals() const { return state->modals; }

int Hooks::modal_count() const { return static_cast<int>(state->modals.size()); }

int Hooks::pending_answers() const { return static_cast<int>(state->answers.size()); }

int Hooks::pending_actions() const { return static_cast<int>(state->actions.size()); }

bool hooks_active() { return state != nullptr; }

namespace detail {

int hooked_message_box(const QString &text, const QString &caption, int flags, int unscripted, const QString &details)
{
    int answer = unscripted;
    if (!state->answers.empty()) {
        answer = state->answers.front();
        state->answers.pop_front();
    }
    state->messages.push_back({text, caption, flags, false, answer, details});
    return answer;
}

void hooked_error(const QString &message)
{
    state->messages.push_back({message, error_caption(), mb::icon_error, true, 0, QString()});
}

void prepare_modal(QDialog *dialog)
{
    ModalRecord record;
    record.class_name = QString::fromLatin1(dialog->metaObject()->className());
    record.title = dialog->windowTitle();
    ModalAction action;
    if (!state->actions.empty()) {
        action = std::move(state->actions.front());
        state->actions.pop_front();
        record.had_action = true;
    }
    state->modals.push_back(record);
    new ShowWatcher(dialog, std::move(action), state->modals.size() - 1);
}

}  // namespace detail

}  // namespace ui::testing
