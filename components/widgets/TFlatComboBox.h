// A flat combo box: a list of items and a shown text, a one-pixel border.
//
// - changed() is emitted only when the user chooses an item (from the
//   drop-down list or with the arrow keys); setting the text or the items by
//   program never emits it.
// - A key-press handler sees every typed character first and may discard it;
//   a discarded character changes neither the items nor the text, and the
//   list's keyboard search does not run. Return, Enter, Escape and Tab are
//   not typed characters: they keep their meaning in the dialog.
// - Drop-down list style by default: the text is always one of the items (or
//   empty). In editable mode typed text is accepted as it stands and becomes
//   the text; it is neither completed nor added to the items.
// - Adding the first item to an empty list shows that item.
#pragma once

#include <QColor>
#include <QComboBox>
#include <QStringList>

#include <functional>

class QKeyEvent;

class TFlatComboBox : public QComboBox {
    Q_OBJECT
public:
    using KeyPressHandler = std::function<void(QKeyEvent *event, bool &discard)>;

    explicit TFlatComboBox(QWidget *parent = nullptr);

    // The shown text. In drop-down list style a text that is not an item
    // shows nothing.
    QString text() const;
    void setText(const QString &text);

    QStringList items() const;
    void setItems(const QStringList &items);
    // Clears the items and the text.
    void clearAll();

    // Hides QComboBox::setEditable: editable mode without completion and
    // without adding typed text to the items.
    void setEditable(bool editable);

    void setKeyPressHandler(KeyPressHandler handler);

    // The window colour of the box and of its list.
    QColor color() const { return color_; }
    void setColor(const QColor &color);
    QColor borderColor() const { return border_color_; }
    void setBorderColor(const QColor &color);
    // Height of one item of the drop-down list in pixels (0: the style's).
    int itemHeight() const { return item_height_; }
    void setItemHeight(int height);

signals:
    // The user chose an item.
    void changed();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // True when the handler discarded the typed character of the event.
    bool discard_typed(QKeyEvent *event);
    void apply_palette();

    KeyPressHandler key_press_handler_;
    QColor color_;
    QColor border_color_;
    int item_height_ = 0;
};
