#include "grid_footer.h"

#include <QHeaderView>
#include <QPainter>
#include <QTableView>

GridFooter::GridFooter(QTableView *view, CellOf cell_of, QWidget *parent)
    : QWidget(parent), view_(view), cell_of_(std::move(cell_of))
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void GridFooter::set_background(const QColor &colour)
{
    background_ = colour;
    update();
}

void GridFooter::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QColor back = background_.isValid() ? background_ : palette().color(QPalette::Button);
    p.fillRect(rect(), back);
    const QColor line = back.darker(140);
    p.setPen(line);
    p.drawLine(0, 0, width() - 1, 0);

    const QHeaderView *header = view_->horizontalHeader();
    const int columns = view_->model() ? view_->model()->columnCount() : 0;
    for (int c = 0; c < columns; ++c) {
        if (header->isSectionHidden(c)) continue;
        const int x = header->sectionViewportPosition(c);
        const int w = header->sectionSize(c);
        if (x + w < 0 || x > width()) continue;  // scrolled out of sight
        const QRect cell(x, 1, w, height() - 1);
        p.setPen(line);
        p.drawLine(cell.right(), cell.top(), cell.right(), cell.bottom());
        const FooterCell fc = cell_of_(c);
        if (fc.text.isEmpty()) continue;
        p.setFont(fc.font);
        p.setPen(palette().color(QPalette::WindowText));
        const QRect text_rect = cell.adjusted(3, 1, -4, -1);
        const QString shown = QFontMetrics(fc.font).elidedText(fc.text, Qt::ElideRight, text_rect.width());
        p.drawText(text_rect, static_cast<int>(fc.alignment), shown);
    }
}
