#include "TAALinkLabel.h"

#include <QEvent>

TAALinkLabel::TAALinkLabel(QWidget *parent) : TAALinkLabel(QString(), parent) {}

TAALinkLabel::TAALinkLabel(const QString &caption, QWidget *parent) : QLabel(caption, parent)
{
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::NoTextInteraction);
    setOpenExternalLinks(false);
    setAutoFillBackground(false);
    // Only the style strategy is set here, so the label still takes the
    // face and size of the form's font.
    QFont strategy_only;
    strategy_only.setStyleStrategy(QFont::PreferAntialias);
    setFont(strategy_only);
}

void TAALinkLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    // A font given later (by the form or a parent's font) stays anti-aliased.
    if (event->type() == QEvent::FontChange) antialias_font();
}

void TAALinkLabel::antialias_font()
{
    if (font().styleStrategy() & QFont::PreferAntialias) return;
    QFont f = font();
    f.setStyleStrategy(QFont::StyleStrategy(f.styleStrategy() | QFont::PreferAntialias));
    setFont(f);
}
