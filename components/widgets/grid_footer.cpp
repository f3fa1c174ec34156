#include "grid_footer.h"

#include <QHeaderView>
#include <QPainter>

#include "TdxDBGrid.h"

GridFooter::GridFooter(TdxDBGrid *grid, QWidget *parent) : QWidget(parent), grid_(grid)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void GridFooter::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QColor back = grid_->header_color().isValid() ? grid_->header_color() : palette().color(QPalette::Button);
    p.fillRect(rect(), back);
    const QColor line = back.darker(140);
    p.setPen(line);
    p.drawLine(0, 0, width() - 1, 0);

    const QHeaderView *header = grid_->horizontalHeader();
    const int columns = grid_->column_count();
    for (int c = 0; c < columns; ++c) {
        if (header->isSectionHidden(c)) continue;
        const int x = header->sectionViewportPosition(c);
        const int w = header->sectionSize(c);
        if (x + w < 0 || x > width()) continue;  // scrolled out of sight
        const QRect cell(x, 1, w, height() - 1);
        p.setPen(line);
        p.drawLine(cell.right(), cell.top(), cell.right(), cell.bottom());
        const FooterCell fc = grid_->footer_cell(c);
        if (fc.text.isEmpty()) continue;
        p.setFont(fc.font);
        p.setPen(palette().color(QPalette::WindowText));
        const QRect text_rect = cell.adjusted(3, 1, -4, -1);
        const QString shown = QFontMetrics(fc.font).elidedText(fc.text, Qt::ElideRight, text_rect.width());
        p.drawText(text_rect, static_cast<int>(fc.alignment), shown);
    }
}
