// Message boxes, the handler guard, modal show, the wait cursor and the font
// substitutions, through the real widgets and through the test hooks.
#include "test_hooks.h"
#include "ui.h"

#include <QApplication>
#include <QDialog>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

using ui::testing::Hooks;

namespace {

// What a shown message box looked like.
struct SeenBox {
    QString title;
    QString text;
    QStringList buttons;
    QString default_button;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Waits for the next message box to show, notes how it looks, then lets
// `act` answer it. Runs from the box's own modal loop.
void when_box_shows(SeenBox &seen, std::function<void(QMessageBox *)> act)
{
    auto *poll = new QTimer;
    poll->setInterval(0);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, &seen, act] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        poll->stop();
        poll->deleteLater();
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        for (QAbstractButton *b : box->buttons()) seen.buttons << b->text();
        if (box->defaultButton()) seen.default_button = box->defaultButton()->text();
        act(box);
    });
    poll->start();
}

std::function<void(QMessageBox *)> press(const QString &button_text)
{
    return [button_text](QMessageBox *box) {
        for (QAbstractButton *b : box->buttons())
            if (b->text() == button_text) {
                QTest::mouseClick(b, Qt::LeftButton);
                return;
            }
        ADD_FAILURE() << "no button " << button_text.toStdString();
        box->reject();
    };
}

std::function<void(QMessageBox *)> key(Qt::Key k)
{
    return [k](QMessageBox *box) { QTest::keyClick(box, k); };
}

int shown_box(int flags, std::function<void(QMessageBox *)> act, SeenBox &seen)
{
    when_box_shows(seen, std::move(act));
    return ui::message_box(nullptr, QStringLiteral("正文"), QStringLiteral("警告"), flags);
}

}  // namespace

// ---------------------------------------------------------------------------
// Flag decoding

TEST(MessageBoxFlags, ValuesTheModuleUses)
{
    auto warning = ui::decode_message_box_flags(48);
    EXPECT_EQ(warning.buttons, std::vector<int>({1}));
    EXPECT_EQ(warning.icon, QMessageBox::Warning);
    EXPECT_EQ(warning.default_result, 1);
    EXPECT_EQ(warning.escape_result, 1);

    auto info = ui::decode_message_box_flags(64);
    EXPECT_EQ(info.buttons, std::vector<int>({1}));
    EXPECT_EQ(info.icon, QMessageBox::Information);

    auto confirm = ui::decode_message_box_flags(33);
    EXPECT_EQ(confirm.buttons, std::vector<int>({1, 2}));
    EXPECT_EQ(confirm.icon, QMessageBox::Question);
    EXPECT_EQ(confirm.default_result, 1);
    EXPECT_EQ(confirm.escape_result, 2);

    auto three = ui::decode_message_box_flags(547);
    EXPECT_EQ(three.buttons, std::vector<int>({6, 7, 2}));
    EXPECT_EQ(three.icon, QMessageBox::Question);
    EXPECT_EQ(three.default_result, 2) << "547 makes the third button (Cancel) the default";
    EXPECT_EQ(three.escape_result, 2);
}

TEST(MessageBoxFlags, GeneralDecoding)
{
    auto yes_no = ui::decode_message_box_flags(4 + 32 + 256);
    EXPECT_EQ(yes_no.buttons, std::vector<int>({6, 7}));
    EXPECT_EQ(yes_no.default_result, 7);
    EXPECT_EQ(yes_no.escape_result, 7) << "a Yes/No box has no Cancel: Escape answers No";

    auto plain = ui::decode_message_box_flags(0);
    EXPECT_EQ(plain.buttons, std::vector<int>({1}));
    EXPECT_EQ(plain.icon, QMessageBox::NoIcon);

    EXPECT_EQ(ui::decode_message_box_flags(16).icon, QMessageBox::Critical);
    EXPECT_EQ(ui::decode_message_box_flags(1 + 256).default_result, 2);

    // A default button past the last one falls back to the first.
    EXPECT_EQ(ui::decode_message_box_flags(0 + 512).default_result, 1);
    EXPECT_EQ(ui::decode_message_box_flags(4 + 512).default_result, 6);
}

// ---------------------------------------------------------------------------
// Real message boxes, answered by simulated keys and clicks

TEST(MessageBoxShown, WarningLooksRightAndEscapeGivesOk)
{
    SeenBox seen;
    EXPECT_EQ(shown_box(48, key(Qt::Key_Escape), seen), 1);
    EXPECT_EQ(seen.title, QStringLiteral("警告"));
    EXPECT_EQ(seen.text, QStringLiteral("正文"));
    EXPECT_EQ(seen.buttons, QStringList({QStringLiteral("确定")}));
    EXPECT_EQ(seen.icon, QMessageBox::Warning);
}

TEST(MessageBoxShown, InformationClosedByCloseButtonGivesOk)
{
    SeenBox seen;
    EXPECT_EQ(shown_box(64, [](QMessageBox *box) { box->close(); }, seen), 1);
    EXPECT_EQ(seen.icon, QMessageBox::Information);
}

TEST(MessageBoxShown, OkCancelResults)
{
    SeenBox seen;
    EXPECT_EQ(shown_box(33, press(QStringLiteral("确定")), seen), 1);
    EXPECT_EQ(seen.icon, QMessageBox::Question);
    EXPECT_EQ(seen.default_button, QStringLiteral("确定"));
    EXPECT_EQ(seen.buttons.size(), 2);
    EXPECT_TRUE(seen.buttons.contains(QStringLiteral("取消")));

    SeenBox again;
    EXPECT_EQ(shown_box(33, press(QStringLiteral("取消")), again), 2);
    SeenBox escaped;
    EXPECT_EQ(shown_box(33, key(Qt::Key_Escape), escaped), 2);
    SeenBox closed;
    EXPECT_EQ(shown_box(33, [](QMessageBox *box) { box->close(); }, closed), 2);
    SeenBox entered;
    EXPECT_EQ(shown_box(33, key(Qt::Key_Return), entered), 1) << "Enter presses the default OK";
}

TEST(MessageBoxShown, YesNoCancelResults)
{
    SeenBox seen;
    EXPECT_EQ(shown_box(547, press(QStringLiteral("是(&Y)")), seen), 6);
    EXPECT_EQ(seen.default_button, QStringLiteral("取消"));
    EXPECT_EQ(seen.buttons.size(), 3);
    EXPECT_TRUE(seen.buttons.contains(QStringLiteral("否(&N)")));

    SeenBox no;
    EXPECT_EQ(shown_box(547, press(QStringLiteral("否(&N)")), no), 7);
    SeenBox entered;
    EXPECT_EQ(shown_box(547, key(Qt::Key_Return), entered), 2) << "the third button is the default";
    SeenBox escaped;
    EXPECT_EQ(shown_box(547, key(Qt::Key_Escape), escaped), 2);
    SeenBox closed;
    EXPECT_EQ(shown_box(547, [](QMessageBox *box) { box->close(); }, closed), 2);
}

TEST(MessageBoxShown, YesNoEscapeGivesNo)
{
    SeenBox seen;
    EXPECT_EQ(shown_box(36, key(Qt::Key_Escape), seen), 7);
    SeenBox yes;
    EXPECT_EQ(shown_box(36, press(QStringLiteral("是(&Y)")), yes), 6);
}

TEST(MessageBoxShown, ErrorDisplayLooksRight)
{
    SeenBox seen;
    when_box_shows(seen, key(Qt::Key_Return));
    ui::show_error(QStringLiteral("连接失败"));
    EXPECT_EQ(seen.title, QStringLiteral("错误"));
    EXPECT_EQ(seen.text, QStringLiteral("连接失败"));
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_EQ(seen.buttons, QStringList({QStringLiteral("确定")}));
}

// ---------------------------------------------------------------------------
// Message boxes through the hooks

TEST(MessageBoxHooks, ScriptedAnswersInOrderAndRecorded)
{
    Hooks hooks;
    hooks.answer(2);
    hooks.answer(6);
    EXPECT_EQ(hooks.pending_answers(), 2);
    EXPECT_EQ(ui::message_box(nullptr, QStringLiteral("删除？"), QStringLiteral("提示"), 33), 2);
    EXPECT_EQ(ui::message_box(nullptr, QStringLiteral("保存？"), QStringLiteral("提示"), 547), 6);
    EXPECT_EQ(hooks.pending_answers(), 0);

    ASSERT_EQ(hooks.messages().size(), 2u);
    EXPECT_EQ(hooks.messages()[0].text, QStringLiteral("删除？"));
    EXPECT_EQ(hooks.messages()[0].caption, QStringLiteral("提示"));
    EXPECT_EQ(hooks.messages()[0].flags, 33);
    EXPECT_EQ(hooks.messages()[0].answer, 2);
    EXPECT_FALSE(hooks.messages()[0].is_error);
    EXPECT_EQ(hooks.messages()[1].flags, 547);
    EXPECT_EQ(hooks.messages()[1].answer, 6);
}

TEST(MessageBoxHooks, UnscriptedAnswerIsWhatEscapeGives)
{
    Hooks hooks;
    EXPECT_EQ(ui::message_box(nullptr, "a", "警告", 48), 1);
    EXPECT_EQ(ui::message_box(nullptr, "b", "提示", 64), 1);
    EXPECT_EQ(ui::message_box(nullptr, "c", "提示", 33), 2);
    EXPECT_EQ(ui::message_box(nullptr, "d", "提示", 547), 2);
    EXPECT_EQ(ui::message_box(nullptr, "e", "提示", 36), 7);
    EXPECT_EQ(hooks.boxes().size(), 5u);
    EXPECT_TRUE(hooks.errors().empty());
    hooks.clear_messages();
    EXPECT_TRUE(hooks.messages().empty());
}

TEST(MessageBoxHooks, InactiveOnceHooksAreGone)
{
    {
        Hooks hooks;
        EXPECT_TRUE(ui::testing::hooks_active());
    }
    EXPECT_FALSE(ui::testing::hooks_active());
    // Without hooks the real box shows again.
    SeenBox seen;
    EXPECT_EQ(shown_box(48, key(Qt::Key_Escape), seen), 1);
    EXPECT_EQ(seen.text, QStringLiteral("正文"));
}

// ---------------------------------------------------------------------------
// The handler guard

namespace {

class Panel : public QWidget {
public:
    int runs = 0;
    int last_value = -1;
    void plain() { ++runs; }
    void failing() { throw std::runtime_error("服务器拒绝了该语句"); }
    void with_value(bool value) { last_value = value ? 1 : 0; }
};

}  // namespace

TEST(Guarded, ErrorIsShownAndDoesNotPropagate)
{
    Hooks hooks;
    QWidget form;
    bool after = false;
    EXPECT_NO_THROW(ui::guarded(&form, [&] {
        throw std::runtime_error("连接失败: 127.0.0.1");
        after = true;
    }));
    EXPECT_FALSE(after);
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_EQ(hooks.errors()[0].text, QStringLiteral("连接失败: 127.0.0.1"));
    EXPECT_EQ(hooks.errors()[0].caption, QStringLiteral("错误"));
    EXPECT_EQ(hooks.errors()[0].flags, 16);
    EXPECT_TRUE(hooks.errors()[0].is_error);
}

TEST(Guarded, UnknownExceptionAndCleanRun)
{
    Hooks hooks;
    int ran = 0;
    ui::guarded(nullptr, [&] { ++ran; });
    EXPECT_EQ(ran, 1);
    EXPECT_TRUE(hooks.messages().empty());

    EXPECT_NO_THROW(ui::guarded(nullptr, [] { throw 42; }));
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_EQ(hooks.errors()[0].text, QStringLiteral("未知错误"));
}

TEST(Guarded, HandlerThatDestroysItsFormStillReports)
{
    Hooks hooks;
    auto *form = new QWidget;
    QPointer<QWidget> alive(form);
    ui::guarded(form, [&] {
        delete form;
        throw std::logic_error("gone");
    });
    EXPECT_TRUE(alive.isNull());
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_EQ(hooks.errors()[0].text, QStringLiteral("gone"));
}

TEST(Guarded, ConnectedMembersRunThroughTheGuard)
{
    Hooks hooks;
    Panel panel;
    QPushButton plain, failing, valued;
    valued.setCheckable(true);
    ui::connect_guarded(&plain, &QPushButton::clicked, &panel, &Panel::plain);
    ui::connect_guarded(&failing, &QPushButton::clicked, &panel, &Panel::failing);
    ui::connect_guarded(&valued, &QPushButton::toggled, &panel, &Panel::with_value);

    QTest::mouseClick(&plain, Qt::LeftButton);
    EXPECT_EQ(panel.runs, 1);
    QTest::mouseClick(&failing, Qt::LeftButton);  // would abort the test if it escaped
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_EQ(hooks.errors()[0].text, QStringLiteral("服务器拒绝了该语句"));
    QTest::mouseClick(&valued, Qt::LeftButton);
    EXPECT_EQ(panel.last_value, 1);
    QTest::mouseClick(&valued, Qt::LeftButton);
    EXPECT_EQ(panel.last_value, 0);
}

// ---------------------------------------------------------------------------
// Modal show

namespace {

class CountingDialog : public QDialog {
public:
    int shows = 0;

protected:
    void showEvent(QShowEvent *event) override
    {
        ++shows;
        QDialog::showEvent(event);
    }
};

}  // namespace

TEST(ShowModal, ActionRunsInsideTheModalLoopAfterTheShow)
{
    Hooks hooks;
    CountingDialog dialog;
    dialog.setWindowTitle(QStringLiteral("计划年月"));
    bool was_modal = false;
    int shows_seen = -1;
    hooks.on_modal([&](QDialog *d) {
        was_modal = d->isVisible() && QApplication::activeModalWidget() == d;
        shows_seen = static_cast<CountingDialog *>(d)->shows;
        d->accept();
    });
    EXPECT_EQ(ui::show_modal(&dialog), QDialog::Accepted);
    EXPECT_TRUE(was_modal);
    EXPECT_EQ(shows_seen, 1);
    EXPECT_FALSE(dialog.isVisible());
    ASSERT_EQ(hooks.modal_count(), 1);
    EXPECT_EQ(hooks.modals()[0].title, QStringLiteral("计划年月"));
    EXPECT_TRUE(hooks.modals()[0].had_action);
    EXPECT_FALSE(hooks.modals()[0].closed_by_hooks);
    EXPECT_EQ(hooks.pending_actions(), 0);
}

TEST(ShowModal, SelfDeletingDialogReturnsItsResult)
{
    Hooks hooks;
    auto *dialog = new QDialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<QDialog> alive(dialog);
    hooks.on_modal([](QDialog *d) { d->done(5); });
    EXPECT_EQ(ui::show_modal(dialog), 5);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(alive.isNull());
}

TEST(ShowModal, NestedModalTakesTheNextAction)
{
    Hooks hooks;
    QDialog outer;
    outer.setWindowTitle("outer");
    auto *open_inner = new QPushButton("open", &outer);
    int inner_result = -1;
    QObject::connect(open_inner, &QPushButton::clicked, &outer, [&] {
        auto *inner = new QDialog(&outer);
        inner->setWindowTitle("inner");
        inner->setAttribute(Qt::WA_DeleteOnClose);
        inner_result = ui::show_modal(inner);
        // The inner window may ask something while the outer one waits.
        if (ui::message_box(&outer, "继续？", "提示", 33) == ui::result_ok) outer.accept();
    });
    bool inner_was_on_top = false;
    hooks.on_modal([&](QDialog *) { QTest::mouseClick(open_inner, Qt::LeftButton); });
    hooks.on_modal([&](QDialog *d) {
        inner_was_on_top = QApplication::activeModalWidget() == d;
        d->accept();
    });
    hooks.answer(ui::result_ok);

    EXPECT_EQ(ui::show_modal(&outer), QDialog::Accepted);
    EXPECT_EQ(inner_result, QDialog::Accepted);
    EXPECT_TRUE(inner_was_on_top);
    ASSERT_EQ(hooks.modal_count(), 2);
    EXPECT_EQ(hooks.modals()[0].title, QStringLiteral("outer"));
    EXPECT_EQ(hooks.modals()[1].title, QStringLiteral("inner"));
    EXPECT_FALSE(hooks.modals()[0].closed_by_hooks);
    EXPECT_FALSE(hooks.modals()[1].closed_by_hooks);
    ASSERT_EQ(hooks.boxes().size(), 1u);
    EXPECT_EQ(hooks.boxes()[0].text, QStringLiteral("继续？"));
}

TEST(ShowModal, SafetyNetRejectsADialogWithoutAction)
{
    Hooks hooks;
    auto *dialog = new CountingDialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<QDialog> alive(dialog);
    EXPECT_EQ(ui::show_modal(dialog), QDialog::Rejected);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(alive.isNull());
    ASSERT_EQ(hooks.modal_count(), 1);
    EXPECT_FALSE(hooks.modals()[0].had_action);
    EXPECT_TRUE(hooks.modals()[0].closed_by_hooks);
    EXPECT_EQ(hooks.modals()[0].class_name, QStringLiteral("QDialog"));
}

TEST(ShowModal, SafetyNetClosesWhatAnActionLeftOpenOrBroke)
{
    Hooks hooks;
    QDialog left_open;
    bool visible_in_action = false;
    hooks.on_modal([&](QDialog *d) { visible_in_action = d->isVisible(); });
    EXPECT_EQ(ui::show_modal(&left_open), QDialog::Rejected);
    EXPECT_TRUE(visible_in_action);
    EXPECT_TRUE(hooks.modals()[0].closed_by_hooks);

    QDialog broken;
    hooks.on_modal([](QDialog *) { throw std::runtime_error("action failed"); });
    EXPECT_EQ(ui::show_modal(&broken), QDialog::Rejected);
    ASSERT_EQ(hooks.modal_count(), 2);
    EXPECT_EQ(hooks.modals()[1].action_error, QStringLiteral("action failed"));
    EXPECT_TRUE(hooks.modals()[1].closed_by_hooks);
}

TEST(ShowModal, AlreadyVisibleDialogStillGetsItsAction)
{
    Hooks hooks;
    QDialog dialog;
    dialog.show();
    bool ran = false;
    hooks.on_modal([&](QDialog *d) {
        ran = true;
        d->accept();
    });
    EXPECT_EQ(ui::show_modal(&dialog), QDialog::Accepted);
    EXPECT_TRUE(ran);
}

TEST(ShowModal, WithoutHooksRunsTheRealLoop)
{
    QDialog dialog;
    QTimer::singleShot(0, &dialog, [&] {
        if (QApplication::activeModalWidget() == &dialog) dialog.done(3);
    });
    EXPECT_EQ(ui::show_modal(&dialog), 3);
    EXPECT_EQ(ui::show_modal(nullptr), QDialog::Rejected);
}

// ---------------------------------------------------------------------------
// Wait cursor

TEST(WaitCursor, NestedBusyPeriodsShowOneWaitCursor)
{
    ASSERT_EQ(ui::busy_depth(), 0);
    ASSERT_EQ(QGuiApplication::overrideCursor(), nullptr);
    ui::set_busy(true);
    ui::set_busy(true);
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    ui::set_busy(false);
    EXPECT_NE(QGuiApplication::overrideCursor(), nullptr) << "the outer period still runs";
    ui::set_busy(false);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    ui::set_busy(false);  // unmatched: ignored
    EXPECT_EQ(ui::busy_depth(), 0);
    ui::set_busy(true);
    EXPECT_EQ(ui::busy_depth(), 1);
    ui::set_busy(false);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST(WaitCursor, RestoredWhenAnErrorLeavesTheScope)
{
    try {
        ui::WaitCursor wait;
        EXPECT_EQ(ui::busy_depth(), 1);
        EXPECT_NE(QGuiApplication::overrideCursor(), nullptr);
        throw std::runtime_error("remote call failed");
    } catch (const std::runtime_error &) {
    }
    EXPECT_EQ(ui::busy_depth(), 0);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

// ---------------------------------------------------------------------------
// Fonts

TEST(Fonts, FormFontsRenderChinese)
{
    const QString family = ui::chinese_substitute_family();
    ASSERT_FALSE(family.isEmpty()) << "fonts-wqy-microhei is expected on this machine";
    ui::install_font_substitutions();
    ui::install_font_substitutions();
    for (const char *name : {"宋体", "隶书", "SimSun", "LiSu"}) {
        const QStringList subs = QFont::substitutes(QString::fromUtf8(name));
        EXPECT_EQ(subs.filter(QRegularExpression(QRegularExpression::escape(family), QRegularExpression::CaseInsensitiveOption)).size(), 1)
            << name << ": idempotent";
    }
    QFont song(QStringLiteral("宋体"));
    song.setPixelSize(15);
    EXPECT_EQ(QFontInfo(song).family(), family);
    QFontMetrics metrics(song);
    for (QChar c : QStringLiteral("访销部月销售计划管理"))
        EXPECT_TRUE(metrics.inFont(c)) << int(c.unicode());
    QFont li(QStringLiteral("隶书"));
    li.setPixelSize(24);
    EXPECT_TRUE(QFontMetrics(li).inFont(QChar(0x57FA)));  // 基
}

// Qt's own texts in Chinese when nothing translates them yet; a translator
// already there (the host's) is left alone.
TEST(QtTranslations, InstalledOnlyWhereNoneIsThere)
{
    ASSERT_FALSE(ui::qt_texts_translated());
    auto chinese = ui::install_qt_translations();
    ASSERT_NE(chinese, nullptr) << "qtbase_zh_CN.qm not found in Qt's translations folder";
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));
    EXPECT_EQ(ui::install_qt_translations(), nullptr);
    chinese.reset();
    EXPECT_FALSE(ui::qt_texts_translated());
}
