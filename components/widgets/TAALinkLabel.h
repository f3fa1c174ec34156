// An anti-aliased text label. It only shows its caption: no links, no
// selection, no action.
#pragma once

#include <QLabel>

class TAALinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit TAALinkLabel(QWidget *parent = nullptr);
    explicit TAALinkLabel(const QString &caption, QWidget *parent = nullptr);

protected:
    void changeEvent(QEvent *event) override;

private:
    void antialias_font();
};
