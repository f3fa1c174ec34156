// A flat tool button: a picture (glyph) above a caption, a one-pixel border
// in a colour of its own, no focus frame. The glyph is a bitmap whose
// bottom-left pixel names the colour drawn transparent. A bitmap may hold
// several images side by side (num_glyphs); with two, the left one is drawn
// while the button is enabled and the right one while it is disabled. A
// single image is drawn greyed (embossed) while the button is disabled.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QImage>
#include <QString>

class TFlatSpeedButton : public QAbstractButton
{
    Q_OBJECT

public:
    explicit TFlatSpeedButton(QWidget *parent = nullptr);
    TFlatSpeedButton(const QString &caption, QWidget *parent = nullptr);

    // The glyph bitmap as loaded, all images side by side. An empty image
    // means no glyph (only the caption is drawn).
    void set_glyph(const QImage &bitmap);
    // Loads the glyph from a bitmap file or a resource path (":/glyphs/...").
    // Returns false and leaves the current glyph unchanged when the file
    // cannot be read.
    bool load_glyph(const QString &path);
    const QImage &glyph() const { return glyph_; }

    // How many images the glyph bitmap holds side by side (1 to 4); values
    // out of range are clamped.
    void set_num_glyphs(int count);
    int num_glyphs() const { return num_glyphs_; }

    void set_color_border(const QColor &color);
    QColor color_border() const { return color_border_; }

    // The colour of the bitmap's bottom-left pixel; invalid without a glyph.
    QColor transparent_color() const;

    // The picture as the button draws it in its present state: the image cut
    // from the bitmap (left one enabled, second one disabled when there are
    // two), the transparent colour turned into alpha 0, greyed when disabled
    // with a single image. Null without a glyph.
    QImage displayed_glyph() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    bool is_hovered() const { return hovered_; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QImage image_at(int index) const; // one image cut out, transparency applied
    QImage greyed(const QImage &image) const;

    QImage glyph_;
    int num_glyphs_ = 1;
    QColor color_border_;
    bool hovered_ = false;
};
