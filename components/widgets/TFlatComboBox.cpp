#include "TFlatComboBox.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QSignalBlocker>
#include <QStyleOption>
#include <QStyledItemDelegate>

namespace {

// List items of a fixed height (or the style's when the height is 0).
class ItemHeightDelegate : public QStyledItemDelegate {
public:
    ItemHeightDelegate(const int *height, QObject *parent)
        : QStyledItemDelegate(parent), height_(height)
    {
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (*height_ > 0) size.setHeight(*height_);
        return size;
    }

private:
    const int *height_;
};

bool is_typed_character(const QKeyEvent *event)
{
    if (event->text().isEmpty()) return false;
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return false;
    default:
        return true;
    }
}

}  // namespace

TFlatComboBox::TFlatComboBox(QWidget *parent)
    : QComboBox(parent),
      color_(palette().color(QPalette::Base)),
      border_color_(palette().color(QPalette::Mid))
{
    QComboBox::setEditable(false);
    setInsertPolicy(QComboBox::NoInsert);
    setFrame(false);
    view()->setItemDelegate(new ItemHeightDelegate(&item_height_, this));
    view()->installEventFilter(this);
    connect(this, &QComboBox::activated, this, [this](int) { emit changed(); });
    apply_palette();
}

QString TFlatComboBox::text() const { return currentText(); }

void TFlatComboBox::setText(const QString &text)
{
    const QSignalBlocker blocker(this);
    const int index = findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    setCurrentIndex(index);
    if (isEditable() && lineEdit()) lineEdit()->setText(text);
    update();
}

QStringList TFlatComboBox::items() const
{
    QStringList out;
    out.reserve(count());
    for (int i = 0; i < count(); ++i) out.push_back(itemText(i));
    return out;
}

void TFlatComboBox::setItems(const QStringList &items)
{
    const QString shown = text();
    const QSignalBlocker blocker(this);
    clear();
    addItems(items);
    setText(shown);
}

void TFlatComboBox::clearAll()
{
    const QSignalBlocker blocker(this);
    clear();
    if (lineEdit()) lineEdit()->clear();
    update();
}

void TFlatComboBox::setEditable(bool editable)
{
    if (editable == isEditable()) return;
    const QString shown = text();
    {
        const QSignalBlocker blocker(this);
        QComboBox::setEditable(editable);
    }
    if (editable) {
        // Typed text stays as typed: no inline completion from the items.
        setCompleter(nullptr);
        lineEdit()->setFrame(false);
    }
    setInsertPolicy(QComboBox::NoInsert);
    apply_palette();
    setText(shown);
}

void TFlatComboBox::setKeyPressHandler(KeyPressHandler handler)
{
    key_press_handler_ = std::move(handler);
}

void TFlatComboBox::setColor(const QColor &color)
{
    color_ = color;
    apply_palette();
    update();
}

void TFlatComboBox::setBorderColor(const QColor &color)
{
    border_color_ = color;
    update();
}

void TFlatComboBox::setItemHeight(int height)
{
    item_height_ = height > 0 ? height : 0;
    view()->doItemsLayout();
}

void TFlatComboBox::apply_palette()
{
    QPalette pal = palette();
    pal.setColor(QPalette::Base, color_);
    pal.setColor(QPalette::Button, color_);
    setPalette(pal);
    if (lineEdit()) lineEdit()->setPalette(pal);
    view()->setPalette(pal);
}

bool TFlatComboBox::discard_typed(QKeyEvent *event)
{
    if (!key_press_handler_ || !is_typed_character(event)) return false;
    bool discard = false;
    key_press_handler_(event, discard);
    if (discard) event->accept();
    return discard;
}

void TFlatComboBox::keyPressEvent(QKeyEvent *event)
{
    // The handler sees the character before the list's keyboard search or
    // the editor do.
    if (discard_typed(event)) return;
    QComboBox::keyPressEvent(event);
}

bool TFlatComboBox::eventFilter(QObject *watched, QEvent *event)
{
    // Characters typed while the list is dropped down go to the list's own
    // keyboard search; the handler gets them first there too.
    if (watched == view() && event->type() == QEvent::KeyPress)
        return discard_typed(static_cast<QKeyEvent *>(event));
    return QComboBox::eventFilter(watched, event);
}

void TFlatComboBox::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect frame = rect();
    const bool enabled = isEnabled();

    painter.fillRect(frame, enabled ? color_ : palette().color(QPalette::Disabled, QPalette::Window));
    painter.setPen(border_color_);
    painter.drawRect(frame.adjusted(0, 0, -1, -1));

    // The drop-down arrow in a square at the right edge.
    const int side = qMax(8, frame.height() - 2);
    const QRect arrow_box(frame.right() - side, frame.top() + 1, side, frame.height() - 2);
    QStyleOption arrow;
    arrow.initFrom(this);
    arrow.rect = arrow_box.adjusted(side / 4, side / 4, -side / 4, -side / 4);
    style()->drawPrimitive(QStyle::PE_IndicatorArrowDown, &arrow, &painter, this);

    if (isEditable()) return;  // the line editor draws the text

    const QRect text_box(frame.left() + 2, frame.top() + 2, arrow_box.left() - frame.left() - 3,
                         frame.height() - 4);
    QColor text_color = palette().color(enabled ? QPalette::Active : QPalette::Disabled,
                                        QPalette::Text);
    if (hasFocus() && !currentText().isEmpty()) {
        painter.fillRect(text_box, palette().color(QPalette::Highlight));
        text_color = palette().color(QPalette::HighlightedText);
    }
    painter.setPen(text_color);
    const QString shown = fontMetrics().elidedText(currentText(), Qt::ElideRight, text_box.width() - 2);
    painter.drawText(text_box.adjusted(1, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, shown);
}
