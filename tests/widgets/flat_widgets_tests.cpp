// The flat combo box, the anti-aliased label and the date picker, driven by
// simulated keys and clicks.
#include "TAALinkLabel.h"
#include "TDateTimePicker.h"
#include "TFlatComboBox.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCalendarWidget>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// QTest types ASCII only; a Chinese character arrives as a key event with
// text and no key code, as an input method delivers it.
void type_chinese(QWidget *widget, const QString &text)
{
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &release);
    }
}

const QStringList departments = {QStringLiteral("01|一部"), QStringLiteral("02|二部"),
                                 QStringLiteral("03|三部")};

// A combo box in a shown window, with the department items and the second
// one shown.
struct ComboFixture : ::testing::Test {
    QWidget window;
    TFlatComboBox *combo = new TFlatComboBox(&window);

    void SetUp() override
    {
        combo->setGeometry(10, 10, 146, 20);
        window.resize(300, 200);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        combo->setItems(departments);
        combo->setText(departments[1]);
        combo->setFocus();
        QApplication::setActiveWindow(&window);
    }

    void TearDown() override
    {
        if (combo->view()->isVisible()) combo->hidePopup();
    }

    bool open_popup()
    {
        combo->showPopup();
        return QTest::qWaitFor([&] { return combo->view()->isVisible(); });
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Changes by program and by the user

TEST_F(ComboFixture, ProgramChangesFireNoChange)
{
    QSignalSpy changed(combo, &TFlatComboBox::changed);
    EXPECT_EQ(combo->text(), departments[1]);
    combo->setText(departments[2]);
    EXPECT_EQ(combo->text(), departments[2]);
    combo->setItems({QStringLiteral("09|九部")});
    combo->addItem(QStringLiteral("10|十部"));
    combo->clearAll();
    EXPECT_TRUE(combo->items().isEmpty());
    EXPECT_EQ(combo->text(), QString());
    combo->addItems(departments);
    combo->setText(departments[0]);
    EXPECT_EQ(changed.count(), 0);
}

TEST_F(ComboFixture, TextOutsideTheItemsShowsNothingInListStyle)
{
    combo->setText(QStringLiteral("99|无"));
    EXPECT_EQ(combo->text(), QString());
    EXPECT_EQ(combo->currentIndex(), -1);
    EXPECT_EQ(combo->items(), departments);
    combo->setText(QString());
    EXPECT_EQ(combo->text(), QString());
}

TEST_F(ComboFixture, ChoosingFromTheListFiresChange)
{
    QSignalSpy changed(combo, &TFlatComboBox::changed);
    QString text_at_change;
    QObject::connect(combo, &TFlatComboBox::changed, combo, [&] { text_at_change = combo->text(); });
    ASSERT_TRUE(open_popup());
    QAbstractItemView *view = combo->view();
    const QRect third = view->visualRect(view->model()->index(2, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, third.center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return changed.count() == 1; }));
    EXPECT_EQ(combo->text(), departments[2]);
    EXPECT_EQ(text_at_change, departments[2]) << "the text is set before the change event";
}

TEST_F(ComboFixture, ChoosingWithTheKeyboardFiresChange)
{
    QSignalSpy changed(combo, &TFlatComboBox::changed);
    QTest::keyClick(combo, Qt::Key_Down);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(combo->text(), departments[2]);

    ASSERT_TRUE(open_popup());
    QTest::keyClick(combo->view(), Qt::Key_Up);
    QTest::keyClick(combo->view(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return changed.count() == 2; }));
    EXPECT_EQ(combo->text(), departments[1]);
}

// ---------------------------------------------------------------------------
// Typed characters

TEST_F(ComboFixture, WithoutHandlerTypingSearchesTheList)
{
    // The behaviour the discarding handler has to stop.
    QSignalSpy changed(combo, &TFlatComboBox::changed);
    QTest::keyClicks(combo, QStringLiteral("0"));
    EXPECT_NE(combo->text(), departments[1]);
    EXPECT_EQ(changed.count(), 1);
}

TEST_F(ComboFixture, DiscardedCharactersChangeNothing)
{
    QString seen;
    combo->setKeyPressHandler([&](QKeyEvent *event, bool &discard) {
        seen += event->text();
        discard = true;
    });
    QSignalSpy changed(combo, &TFlatComboBox::changed);
    QTest::keyClicks(combo, QStringLiteral("03a"));
    type_chinese(combo, QStringLiteral("二"));
    QTest::keyClick(combo, Qt::Key_Backspace);
    EXPECT_EQ(seen, QStringLiteral("03a二\b"));
    EXPECT_EQ(combo->text(), departments[1]);
    EXPECT_EQ(combo->items(), departments);
    EXPECT_EQ(changed.count(), 0);
}

TEST_F(ComboFixture, DiscardedCharactersDoNotMoveTheOpenList)
{
    combo->setKeyPressHandler([](QKeyEvent *, bool &discard) { discard = true; });
    QSignalSpy changed(combo, &TFlatComboBox::changed);
    ASSERT_TRUE(open_popup());
    QTest::keyClicks(combo->view(), QStringLiteral("03"));
    // Enter takes the row under the list's cursor: still the shown one.
    QTest::keyClick(combo->view(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !combo->view()->isVisible(); }));
    EXPECT_EQ(combo->text(), departments[1]);
}

TEST_F(ComboFixture, KeptCharactersAndDialogKeys)
{
    int calls = 0;
    combo->setKeyPressHandler([&](QKeyEvent *, bool &) { ++calls; });
    QTest::keyClick(combo, Qt::Key_Return);
    QTest::keyClick(combo, Qt::Key_Escape);
    QTest::keyClick(combo, Qt::Key_Up);
    EXPECT_EQ(calls, 0) << "Return, Escape and arrows are not typed characters";
    EXPECT_EQ(combo->text(), departments[0]) << "the arrow still chooses";
    QTest::keyClicks(combo, QStringLiteral("0"));
    EXPECT_EQ(calls, 1);
    EXPECT_NE(combo->text(), departments[0]) << "a character that is kept searches the list";
}

// ---------------------------------------------------------------------------
// Editable mode (the plan month dialog)

TEST_F(ComboFixture, EditableAcceptsTypedTextAsItStands)
{
    combo->setEditable(true);
    EXPECT_EQ(combo->text(), departments[1]) << "the shown text survives the switch";
    QSignalSpy changed(combo, &TFlatComboBox::changed);
    combo->lineEdit()->selectAll();
    QTest::keyClicks(combo, QStringLiteral("0"));
    EXPECT_EQ(combo->text(), QStringLiteral("0")) << "no completion from the items";
    QTest::keyClicks(combo, QStringLiteral("7|"));
    type_chinese(combo, QStringLiteral("无此部"));
    EXPECT_EQ(combo->text(), QStringLiteral("07|无此部"));
    QTest::keyClick(combo, Qt::Key_Return);
    EXPECT_EQ(combo->text(), QStringLiteral("07|无此部"));
    EXPECT_EQ(combo->items(), departments) << "typed text is not added to the items";
    EXPECT_EQ(changed.count(), 0);

    combo->setText(QStringLiteral("任意"));
    EXPECT_EQ(combo->text(), QStringLiteral("任意"));
    combo->setText(departments[2]);
    EXPECT_EQ(combo->text(), departments[2]);
    EXPECT_EQ(combo->currentIndex(), 2);
    combo->clearAll();
    EXPECT_EQ(combo->text(), QString());
    EXPECT_TRUE(combo->items().isEmpty());
}

TEST_F(ComboFixture, EditableChoiceFiresChangeAndDiscardWorks)
{
    combo->setEditable(true);
    QSignalSpy changed(combo, &TFlatComboBox::changed);
    ASSERT_TRUE(open_popup());
    QAbstractItemView *view = combo->view();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                      view->visualRect(view->model()->index(0, 0)).center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return changed.count() == 1; }));
    EXPECT_EQ(combo->text(), departments[0]);

    combo->setKeyPressHandler([](QKeyEvent *, bool &discard) { discard = true; });
    QTest::keyClicks(combo, QStringLiteral("xyz"));
    EXPECT_EQ(combo->text(), departments[0]);
}

// ---------------------------------------------------------------------------
// Look

TEST_F(ComboFixture, FlatLookAndItemHeight)
{
    const QColor window_colour(197, 217, 220);
    const QColor border(0, 0, 128);
    combo->setColor(window_colour);
    combo->setBorderColor(border);
    combo->setItemHeight(12);
    EXPECT_EQ(combo->color(), window_colour);
    EXPECT_EQ(combo->palette().color(QPalette::Base), window_colour);
    EXPECT_EQ(combo->view()->sizeHintForRow(0), 12);

    combo->clearFocus();
    const QImage image = combo->grab().toImage();
    EXPECT_EQ(image.pixelColor(0, 0), border);
    EXPECT_EQ(image.pixelColor(image.width() - 1, image.height() - 1), border);
    EXPECT_EQ(image.pixelColor(1, 1), window_colour);
    EXPECT_EQ(image.pixelColor(1, image.height() / 2), window_colour);
}

// ---------------------------------------------------------------------------
// Label

TEST(AALinkLabel, AntialiasedAndFollowsTheFormFont)
{
    QWidget form;
    QFont form_font = form.font();
    form_font.setPixelSize(12);
    form.setFont(form_font);
    auto *label = new TAALinkLabel(QStringLiteral("访销部"), &form);
    EXPECT_EQ(label->text(), QStringLiteral("访销部"));
    EXPECT_TRUE(label->font().styleStrategy() & QFont::PreferAntialias);
    EXPECT_EQ(label->font().pixelSize(), 12);

    form_font.setPixelSize(15);
    form.setFont(form_font);
    EXPECT_EQ(label->font().pixelSize(), 15) << "the form's font still reaches the label";
    EXPECT_TRUE(label->font().styleStrategy() & QFont::PreferAntialias);

    QFont own;
    own.setPixelSize(20);
    own.setStyleStrategy(QFont::NoAntialias);
    label->setFont(own);
    EXPECT_EQ(label->font().pixelSize(), 20);
    EXPECT_TRUE(label->font().styleStrategy() & QFont::PreferAntialias);
    EXPECT_EQ(label->textInteractionFlags(), Qt::NoTextInteraction);
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
}

// ---------------------------------------------------------------------------
// Date picker

namespace {

struct PickerFixture : ::testing::Test {
    QWidget window;
    TDateTimePicker *picker = new TDateTimePicker(&window);

    void SetUp() override
    {
        window.move(100, 100);
        window.resize(300, 120);
        picker->setGeometry(34, 4, 146, 20);
        picker->setDate(QDate(2024, 3, 15));
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        QApplication::setActiveWindow(&window);
        picker->setFocus();
    }
};

}  // namespace

TEST_F(PickerFixture, DateOnlyInTheSystemShortStyle)
{
    EXPECT_EQ(picker->displayFormat(), QLocale::system().dateFormat(QLocale::ShortFormat));
    EXPECT_TRUE(picker->calendarPopup());
    EXPECT_EQ(picker->displayedSections() & QDateTimeEdit::TimeSections_Mask, 0);
    picker->setDateTime(QDateTime(QDate(2026, 11, 30), QTime(23, 59)));
    EXPECT_EQ(picker->date(), QDate(2026, 11, 30));
}

TEST_F(PickerFixture, KeyUpOnEveryRelease)
{
    QSignalSpy key_up(picker, &TDateTimePicker::keyUp);
    QTest::keyClick(picker, Qt::Key_Right);
    QTest::keyClick(picker, Qt::Key_Shift);
    ASSERT_EQ(key_up.count(), 2);
    EXPECT_EQ(key_up.at(0).at(0).toInt(), int(Qt::Key_Right));
    EXPECT_EQ(key_up.at(1).at(0).toInt(), int(Qt::Key_Shift));

    QTest::keyPress(picker, Qt::Key_Up);
    EXPECT_EQ(key_up.count(), 2) << "a press alone is no key-up";
    QKeyEvent repeat(QEvent::KeyRelease, Qt::Key_Up, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(picker, &repeat);
    EXPECT_EQ(key_up.count(), 2) << "auto-repeat releases are not key-ups";
    QTest::keyRelease(picker, Qt::Key_Up);
    ASSERT_EQ(key_up.count(), 3);
    EXPECT_EQ(key_up.at(2).at(0).toInt(), int(Qt::Key_Up));
}

TEST_F(PickerFixture, DropDownAlignedLeftAndCloseUpAfterTheChoice)
{
    QSignalSpy close_up(picker, &TDateTimePicker::closeUp);
    QDate date_at_close_up;
    QObject::connect(picker, &TDateTimePicker::closeUp, picker,
                     [&] { date_at_close_up = picker->date(); });

    QTest::keyClick(picker, Qt::Key_F4);
    ASSERT_TRUE(QTest::qWaitFor([&] { return picker->droppedDown(); }));
    QWidget *popup = picker->calendarWidget()->window();
    // The offscreen platform places every window, popups included, inside
    // a frame margin; take it out to compare with the picker's edges.
    const QPoint margin = window.geometry().topLeft() - window.pos();
    const QPoint popup_at = popup->geometry().topLeft() - margin;
    EXPECT_EQ(popup_at.x(), picker->mapToGlobal(QPoint(0, 0)).x()) << "aligned to the left edge";
    EXPECT_EQ(popup_at.y(), picker->mapToGlobal(QPoint(0, picker->height() - 1)).y())
        << "right under the picker";
    EXPECT_EQ(close_up.count(), 0);

    auto *table = picker->calendarWidget()->findChild<QTableView *>();
    ASSERT_NE(table, nullptr);
    QTest::keyClick(table, Qt::Key_Down);  // a week later
    QTest::keyClick(table, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !picker->droppedDown(); }));
    EXPECT_EQ(close_up.count(), 1);
    EXPECT_EQ(date_at_close_up, QDate(2024, 3, 22));
    EXPECT_EQ(picker->date(), QDate(2024, 3, 22));
}

TEST_F(PickerFixture, CloseUpWhenTheDropDownIsDismissed)
{
    QSignalSpy close_up(picker, &TDateTimePicker::closeUp);
    picker->dropDown();
    ASSERT_TRUE(QTest::qWaitFor([&] { return picker->droppedDown(); }));
    auto *table = picker->calendarWidget()->findChild<QTableView *>();
    ASSERT_NE(table, nullptr);
    QTest::keyClick(table, Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !picker->droppedDown(); }));
    EXPECT_EQ(close_up.count(), 1);
    EXPECT_EQ(picker->date(), QDate(2024, 3, 15));

    picker->dropDown();
    ASSERT_TRUE(QTest::qWaitFor([&] { return picker->droppedDown(); }));
    picker->calendarWidget()->window()->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !picker->droppedDown(); }));
    EXPECT_EQ(close_up.count(), 2);
}
