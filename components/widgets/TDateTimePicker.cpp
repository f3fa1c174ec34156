#include "TDateTimePicker.h"

#include <QCalendarWidget>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionComboBox>

TDateTimePicker::TDateTimePicker(QWidget *parent) : QDateEdit(parent)
{
    setDisplayFormat(QLocale::system().dateFormat(QLocale::ShortFormat));
    setCalendarPopup(true);
    // The popup exists from here on; its hiding is the close-up.
    popup()->installEventFilter(this);
}

QWidget *TDateTimePicker::popup() const { return calendarWidget()->window(); }

bool TDateTimePicker::droppedDown() const { return popup()->isVisible(); }

void TDateTimePicker::dropDown()
{
    if (droppedDown() || !isEnabled() || isReadOnly()) return;
    // The calendar opens from a press on the arrow button: press it.
    QStyleOptionComboBox option;
    option.initFrom(this);
    option.editable = true;
    option.frame = hasFrame();
    option.subControls = QStyle::SC_All;
    const QRect arrow = style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                QStyle::SC_ComboBoxArrow, this);
    const QPointF at = arrow.center();
    QMouseEvent press(QEvent::MouseButtonPress, at, mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QDateEdit::mousePressEvent(&press);
}

void TDateTimePicker::keyPressEvent(QKeyEvent *event)
{
    // F4 and Alt+Down open the calendar, as with a drop-down list.
    const bool alt_arrow = (event->modifiers() & Qt::AltModifier) &&
                           (event->key() == Qt::Key_Down || event->key() == Qt::Key_Up);
    if ((event->key() == Qt::Key_F4 && event->modifiers() == Qt::NoModifier) || alt_arrow) {
        dropDown();
        event->accept();
        return;
    }
    QDateEdit::keyPressEvent(event);
}

void TDateTimePicker::keyReleaseEvent(QKeyEvent *event)
{
    QDateEdit::keyReleaseEvent(event);
    // One key-up per key release, not one per auto-repeat.
    if (!event->isAutoRepeat()) emit keyUp(event->key());
}

bool TDateTimePicker::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == popup() && event->type() == QEvent::Hide) emit closeUp();
    return QDateEdit::eventFilter(watched, event);
}
