// The flat speed button: glyph cutting and transparency, the disabled
// looks, clicks, and what its picture shows.
#include "TFlatSpeedButton.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const QColor k_magenta(255, 0, 255);

// A two-image bitmap: left a red square, right a blue one, on magenta.
QImage two_squares()
{
    QImage image(8, 4, QImage::Format_RGB32);
    image.fill(k_magenta);
    for (int y = 1; y < 3; ++y) {
        image.setPixelColor(1, y, Qt::red);
        image.setPixelColor(2, y, Qt::red);
        image.setPixelColor(5, y, Qt::blue);
        image.setPixelColor(6, y, Qt::blue);
    }
    return image;
}

bool contains_colour(const QImage &image, auto &&predicate)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (predicate(image.pixelColor(x, y))) return true;
    return false;
}

} // namespace

TEST(FlatSpeedButton, BottomLeftColourIsDrawnTransparent)
{
    TFlatSpeedButton button;
    QImage glyph(4, 4, QImage::Format_RGB32);
    glyph.fill(Qt::green);
    glyph.setPixelColor(0, 3, k_magenta);
    glyph.setPixelColor(2, 0, k_magenta);
    button.set_glyph(glyph);
    EXPECT_EQ(button.transparent_color(), k_magenta);
    const QImage shown = button.displayed_glyph();
    EXPECT_EQ(shown.pixelColor(0, 3).alpha(), 0);
    EXPECT_EQ(shown.pixelColor(2, 0).alpha(), 0);
    EXPECT_EQ(shown.pixelColor(1, 1), QColor(Qt::green));
}

TEST(FlatSpeedButton, TwoGlyphsLeftEnabledRightDisabled)
{
    TFlatSpeedButton button;
    button.set_glyph(two_squares());
    button.set_num_glyphs(2);
    QImage shown = button.displayed_glyph();
    ASSERT_EQ(shown.size(), QSize(4, 4));
    EXPECT_EQ(shown.pixelColor(1, 1), QColor(Qt::red));
    EXPECT_EQ(shown.pixelColor(0, 0).alpha(), 0);
    button.setEnabled(false);
    shown = button.displayed_glyph();
    EXPECT_EQ(shown.pixelColor(1, 1), QColor(Qt::blue));
    EXPECT_EQ(shown.pixelColor(0, 0).alpha(), 0);
}

TEST(FlatSpeedButton, SingleGlyphIsGreyedWhenDisabled)
{
    TFlatSpeedButton button;
    button.set_glyph(two_squares()); // one image, 8 x 4
    const QImage enabled = button.displayed_glyph();
    button.setEnabled(false);
    const QImage disabled = button.displayed_glyph();
    ASSERT_EQ(disabled.size(), enabled.size());
    EXPECT_FALSE(contains_colour(disabled, [](const QColor &c) {
        return c.alpha() != 0 && (c.red() != c.green() || c.green() != c.blue());
    })) << "only greys are left";
    // The shape stays where it was, in the shadow colour.
    EXPECT_EQ(disabled.pixelColor(1, 1), QColor(128, 128, 128));
    EXPECT_EQ(disabled.pixelColor(0, 0).alpha(), 0);
}

TEST(FlatSpeedButton, NumGlyphsIsClamped)
{
    TFlatSpeedButton button;
    button.set_num_glyphs(0);
    EXPECT_EQ(button.num_glyphs(), 1);
    button.set_num_glyphs(9);
    EXPECT_EQ(button.num_glyphs(), 4);
}

TEST(FlatSpeedButton, LoadingAMissingFileKeepsTheGlyph)
{
    TFlatSpeedButton button;
    button.set_glyph(two_squares());
    EXPECT_FALSE(button.load_glyph(QStringLiteral("/no/such/file.bmp")));
    EXPECT_EQ(button.glyph().size(), QSize(8, 4));
    QTemporaryDir dir;
    const QString garbage = dir.filePath("garbage.bmp");
    QFile file(garbage);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a bitmap");
    file.close();
    EXPECT_FALSE(button.load_glyph(garbage));
    EXPECT_EQ(button.glyph().size(), QSize(8, 4));
}

TEST(FlatSpeedButton, SixteenBitBitmapKeepsFullWhite)
{
    // A 2 x 1 bitmap, 16 bits per pixel, bit fields 5-5-5: white, magenta.
    QByteArray bmp;
    auto put32 = [&](quint32 v) { for (int i = 0; i < 4; ++i) bmp.append(char(v >> (8 * i))); };
    auto put16 = [&](quint16 v) { bmp.append(char(v)); bmp.append(char(v >> 8)); };
    bmp.append("BM");
    put32(14 + 40 + 12 + 4); put32(0); put32(14 + 40 + 12);
    put32(40); put32(2); put32(1); put16(1); put16(16); put32(3); put32(4);
    put32(0); put32(0); put32(0); put32(0);
    put32(0x7C00); put32(0x03E0); put32(0x001F);
    put16(0x7FFF); put16(0x7C1F);
    QTemporaryDir dir;
    const QString path = dir.filePath("w.bmp");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bmp);
    file.close();
    TFlatSpeedButton button;
    ASSERT_TRUE(button.load_glyph(path));
    EXPECT_EQ(button.glyph().pixelColor(0, 0), QColor(255, 255, 255));
    EXPECT_EQ(button.transparent_color(), QColor(255, 255, 255)); // bottom-left is (0, 0) here
}

TEST(FlatSpeedButton, ClickedOnlyWhileEnabled)
{
    TFlatSpeedButton button(QStringLiteral("退出"));
    button.resize(35, 35);
    button.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&button));
    QSignalSpy clicks(&button, &QAbstractButton::clicked);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(clicks.count(), 1);
    button.setEnabled(false);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_EQ(button.focusPolicy(), Qt::NoFocus);
}

TEST(FlatSpeedButton, PaintsGlyphAboveCaptionAndItsBorder)
{
    TFlatSpeedButton button(QStringLiteral("打印"));
    button.set_glyph(two_squares());
    button.set_num_glyphs(2);
    button.set_color_border(QColor(0, 200, 0));
    button.resize(35, 35);
    const QImage shot = button.grab().toImage();
    EXPECT_EQ(shot.pixelColor(0, 0), QColor(0, 200, 0));
    EXPECT_EQ(shot.pixelColor(34, 34), QColor(0, 200, 0));
    // The red image is drawn in the upper part, the magenta nowhere.
    int red_row = -1;
    for (int y = 0; y < shot.height() && red_row < 0; ++y)
        for (int x = 0; x < shot.width(); ++x)
            if (shot.pixelColor(x, y) == QColor(Qt::red)) { red_row = y; break; }
    EXPECT_GE(red_row, 0);
    EXPECT_LT(red_row, 17);
    EXPECT_FALSE(contains_colour(shot, [](const QColor &c) { return c == k_magenta; }));
    EXPECT_FALSE(contains_colour(shot, [](const QColor &c) { return c == QColor(Qt::blue); }));
    button.setEnabled(false);
    const QImage grey = button.grab().toImage();
    EXPECT_TRUE(contains_colour(grey, [](const QColor &c) { return c == QColor(Qt::blue); }));
    EXPECT_FALSE(contains_colour(grey, [](const QColor &c) { return c == QColor(Qt::red); }));
}
