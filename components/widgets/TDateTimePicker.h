// A date picker: date only, in the system's short date style, with a
// drop-down calendar that opens under the picker, aligned to its left edge.
// closeUp() tells that the drop-down calendar has closed (the chosen date is
// already set); keyUp() tells every key release in the picker.
#pragma once

#include <QDateEdit>

class TDateTimePicker : public QDateEdit {
    Q_OBJECT
public:
    explicit TDateTimePicker(QWidget *parent = nullptr);

    // True while the drop-down calendar shows.
    bool droppedDown() const;
    // Opens the drop-down calendar, as F4, Alt+Down or the arrow button do.
    void dropDown();

signals:
    void closeUp();
    void keyUp(int key);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *popup() const;
};
