#include "TFlatSpeedButton.h"

#include <QApplication>
#include <QEnterEvent>
#include <QFile>
#include <QEvent>
#include <QPainter>
#include <QPalette>

#include <algorithm>

namespace {

constexpr int k_spacing = 4; // between glyph and caption

QColor menu_colour()
{
    return QApplication::palette("QMenu").color(QPalette::Window);
}

} // namespace

TFlatSpeedButton::TFlatSpeedButton(QWidget *parent)
    : QAbstractButton(parent), color_border_(menu_colour())
{
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_Hover);
}

TFlatSpeedButton::TFlatSpeedButton(const QString &caption, QWidget *parent)
    : TFlatSpeedButton(parent)
{
    setText(caption);
}

void TFlatSpeedButton::set_glyph(const QImage &bitmap)
{
    glyph_ = bitmap;
    updateGeometry();
    update();
}

bool TFlatSpeedButton::load_glyph(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray data = file.readAll();
    QImage bitmap = QImage::fromData(data);
    if (bitmap.isNull()) return false;
    // Qt widens the 5-bit channels of a 16-bit bitmap by a plain shift
    // (31 -> 248); fill the low bits so white stays white (31 -> 255).
    if (data.size() > 29 && data.startsWith("BM") && static_cast<unsigned char>(data[28]) == 16
        && data[29] == 0) {
        bitmap = bitmap.convertToFormat(QImage::Format_RGB32);
        for (int y = 0; y < bitmap.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(bitmap.scanLine(y));
            for (int x = 0; x < bitmap.width(); ++x) {
                const auto widen = [](int c) { return c | (c >> 5); };
                line[x] = qRgb(widen(qRed(line[x])), widen(qGreen(line[x])), widen(qBlue(line[x])));
            }
        }
    }
    set_glyph(bitmap);
    return true;
}

void TFlatSpeedButton::set_num_glyphs(int count)
{
    num_glyphs_ = std::clamp(count, 1, 4);
    updateGeometry();
    update();
}

void TFlatSpeedButton::set_color_border(const QColor &color)
{
    color_border_ = color;
    update();
}

QColor TFlatSpeedButton::transparent_color() const
{
    if (glyph_.isNull()) return {};
    return glyph_.pixelColor(0, glyph_.height() - 1);
}

QImage TFlatSpeedButton::image_at(int index) const
{
    const int width = glyph_.width() / num_glyphs_;
    if (width <= 0) return {};
    QImage image = glyph_.copy(index * width, 0, width, glyph_.height())
                       .convertToFormat(QImage::Format_ARGB32);
    const QRgb transparent = transparent_color().rgb() & 0xFFFFFF;
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if ((line[x] & 0xFFFFFF) == transparent) line[x] = 0;
    }
    return image;
}

QImage TFlatSpeedButton::greyed(const QImage &image) const
{
    // The classic embossed look: the picture's shape in white, one pixel
    // down and right, under the same shape in dark grey.
    QImage result(image.size(), QImage::Format_ARGB32);
    result.fill(Qt::transparent);
    const QRgb light = qRgb(255, 255, 255);
    const QRgb dark = qRgb(128, 128, 128); // the button shadow colour
    auto opaque = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < image.width() && y < image.height()
               && qAlpha(image.pixel(x, y)) != 0;
    };
    // Dark for the picture's darker pixels; light ones vanish into the face.
    auto dark_pixel = [&](int x, int y) {
        return opaque(x, y) && qGray(image.pixel(x, y)) < 192;
    };
    for (int y = 0; y < result.height(); ++y)
        for (int x = 0; x < result.width(); ++x) {
            if (dark_pixel(x, y))
                result.setPixel(x, y, dark);
            else if (dark_pixel(x - 1, y - 1))
                result.setPixel(x, y, light);
        }
    return result;
}

QImage TFlatSpeedButton::displayed_glyph() const
{
    if (glyph_.isNull()) return {};
    if (!isEnabled()) {
        if (num_glyphs_ >= 2) return image_at(1);
        return greyed(image_at(0));
    }
    if (isDown() && num_glyphs_ >= 3) return image_at(2);
    return image_at(0);
}

QSize TFlatSpeedButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    const int text_width = text().isEmpty() ? 0 : metrics.horizontalAdvance(text());
    const int glyph_width = glyph_.isNull() ? 0 : glyph_.width() / num_glyphs_;
    const int glyph_height = glyph_.isNull() ? 0 : glyph_.height();
    const int gap = (glyph_height && !text().isEmpty()) ? k_spacing : 0;
    const int text_height = text().isEmpty() ? 0 : metrics.height();
    return {std::max({text_width, glyph_width, 16}) + 8, glyph_height + gap + text_height + 6};
}

QSize TFlatSpeedButton::minimumSizeHint() const
{
    return {8, 8};
}

void TFlatSpeedButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    const QColor face = palette().color(QPalette::Window);

    const bool down = isDown() || isChecked();
    const bool hot = hovered_ && isEnabled();
    if (down && isEnabled())
        painter.fillRect(rect().adjusted(1, 1, -1, -1), face.darker(112));
    else if (hot)
        painter.fillRect(rect().adjusted(1, 1, -1, -1), face.lighter(108));

    QColor border = color_border_;
    if (isEnabled() && (hot || down)) border = face.darker(down ? 150 : 135);
    painter.setPen(border);
    painter.drawRect(frame);

    // Glyph above caption, the pair centred in the button.
    const QImage picture = displayed_glyph();
    const QFontMetrics metrics(font());
    const int text_height = text().isEmpty() ? 0 : metrics.height();
    const int gap = (!picture.isNull() && text_height) ? k_spacing : 0;
    const int block = picture.height() + gap + text_height;
    const int shift = (down && isEnabled()) ? 1 : 0;
    int y = (height() - block) / 2 + shift;
    if (!picture.isNull()) {
        painter.drawImage(QPoint((width() - picture.width()) / 2 + shift, y), picture);
        y += picture.height() + gap;
    }
    if (text_height) {
        QRect text_rect(shift, y, width(), text_height);
        painter.setFont(font());
        if (isEnabled()) {
            painter.setPen(palette().color(QPalette::WindowText));
            painter.drawText(text_rect, Qt::AlignHCenter | Qt::AlignTop, text());
        } else {
            painter.setPen(QColor(255, 255, 255));
            painter.drawText(text_rect.translated(1, 1), Qt::AlignHCenter | Qt::AlignTop, text());
            painter.setPen(QColor(128, 128, 128));
            painter.drawText(text_rect, Qt::AlignHCenter | Qt::AlignTop, text());
        }
    }
    // A button reached with Tab shows a dotted frame inside its border.
    if (hasFocus()) {
        QPen focus(palette().color(QPalette::WindowText), 1, Qt::DotLine);
        painter.setPen(focus);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect().adjusted(2, 2, -3, -3));
    }
}

void TFlatSpeedButton::enterEvent(QEnterEvent *event)
{
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void TFlatSpeedButton::leaveEvent(QEvent *event)
{
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void TFlatSpeedButton::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::EnabledChange) {
        if (!isEnabled()) hovered_ = false;
        update();
    }
    QAbstractButton::changeEvent(event);
}
