// The glyph bitmaps: exact file formats, the transparent bottom-left colour,
// readable by Qt, and redrawn byte for byte by their script.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>

namespace {

const QStringList k_sixteen = {"tbprint", "tbpreview", "tbseek", "tbrefresh", "tbfirst",
                               "tbprior", "tbnext", "tblast", "tbnew", "tbedit",
                               "tbdel", "tbexit", "tbok_delete_row", "tbboard"};
const QStringList k_two_image = {"tbok", "tbcancel"};

QByteArray read_file(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

quint32 u32(const QByteArray &data, int offset)
{
    quint32 v = 0;
    std::memcpy(&v, data.constData() + offset, 4);
    return v; // the files are little-endian, as is this machine
}

quint16 u16(const QByteArray &data, int offset)
{
    quint16 v = 0;
    std::memcpy(&v, data.constData() + offset, 2);
    return v;
}

QString glyph_file(const QString &name)
{
    return QStringLiteral(GLYPH_DIR "/%1.bmp").arg(name);
}

} // namespace

TEST(GlyphFiles, SixteenBitGlyphsAreBitFieldBitmapsOf578Bytes)
{
    for (const QString &name : k_sixteen) {
        SCOPED_TRACE(name.toStdString());
        const QByteArray data = read_file(glyph_file(name));
        ASSERT_EQ(data.size(), 578);
        EXPECT_EQ(data.left(2), "BM");
        EXPECT_EQ(u32(data, 2), 578u);   // file size
        EXPECT_EQ(u32(data, 10), 66u);   // pixels start after header and masks
        EXPECT_EQ(u32(data, 14), 40u);   // info header size
        EXPECT_EQ(u32(data, 18), 16u);   // width
        EXPECT_EQ(u32(data, 22), 16u);   // height, bottom-up
        EXPECT_EQ(u16(data, 26), 1u);    // planes
        EXPECT_EQ(u16(data, 28), 16u);   // bits per pixel
        EXPECT_EQ(u32(data, 30), 3u);    // BI_BITFIELDS
        EXPECT_EQ(u32(data, 34), 512u);  // pixel data
        EXPECT_EQ(u32(data, 54), 0x7C00u);
        EXPECT_EQ(u32(data, 58), 0x03E0u);
        EXPECT_EQ(u32(data, 62), 0x001Fu);
        // The first pixel of the file is the bottom-left one.
        const quint16 transparent = name == "tbrefresh" ? quint16((23 << 10) | (23 << 5) | 23)
                                                          : quint16(0x7C1F);
        EXPECT_EQ(u16(data, 66), transparent);
    }
}

TEST(GlyphFiles, TwoImageGlyphsAreSixteenColourBitmapsOf478Bytes)
{
    for (const QString &name : k_two_image) {
        SCOPED_TRACE(name.toStdString());
        const QByteArray data = read_file(glyph_file(name));
        ASSERT_EQ(data.size(), 478);
        EXPECT_EQ(data.left(2), "BM");
        EXPECT_EQ(u32(data, 2), 478u);
        EXPECT_EQ(u32(data, 10), 118u);  // header and 16 palette entries
        EXPECT_EQ(u32(data, 18), 36u);
        EXPECT_EQ(u32(data, 22), 18u);
        EXPECT_EQ(u16(data, 28), 4u);
        EXPECT_EQ(u32(data, 30), 0u);    // BI_RGB
        EXPECT_EQ(u32(data, 34), 360u);
        // Palette entry 3 is olive (blue, green, red, 0), and the bottom-left
        // pixel (high nibble of the first pixel byte) uses it.
        EXPECT_EQ(data.mid(54 + 3 * 4, 4), QByteArray("\x00\x80\x80\x00", 4));
        EXPECT_EQ((static_cast<unsigned char>(data[118]) >> 4), 3);
    }
}

TEST(GlyphFiles, QtReadsThemWithTheirTransparentColours)
{
    for (const QString &name : k_sixteen + k_two_image) {
        SCOPED_TRACE(name.toStdString());
        const QImage image(glyph_file(name));
        ASSERT_FALSE(image.isNull());
        const bool two = k_two_image.contains(name);
        EXPECT_EQ(image.size(), two ? QSize(36, 18) : QSize(16, 16));
        const QColor corner = image.pixelColor(0, image.height() - 1);
        // Qt widens 5-bit channels by a shift: 255 reads 248, 189 reads 184.
        const QColor expected = two ? QColor(128, 128, 0)
                                : name == "tbrefresh" ? QColor(184, 184, 184)
                                                      : QColor(248, 0, 248);
        EXPECT_EQ(corner, expected);
        // Something is drawn: not every pixel is the transparent colour.
        int drawn = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                drawn += image.pixelColor(x, y) != corner;
        EXPECT_GT(drawn, 20);
    }
}

TEST(GlyphFiles, CompiledInAsResources)
{
    for (const QString &name : k_sixteen + k_two_image) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_EQ(read_file(QStringLiteral(":/glyphs/%1.bmp").arg(name)),
                  read_file(glyph_file(name)));
    }
}

TEST(GlyphFiles, ScriptRedrawsTheSameBytes)
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty()) GTEST_SKIP() << "python3 is not installed";
    QTemporaryDir out;
    QProcess script;
    script.start(python, {QStringLiteral(GLYPH_DIR "/draw_glyphs.py"), out.path()});
    ASSERT_TRUE(script.waitForFinished(60000));
    ASSERT_EQ(script.exitCode(), 0) << script.readAllStandardError().toStdString();
    const QStringList written = QDir(out.path()).entryList({"*.bmp"}, QDir::Files);
    EXPECT_EQ(written.size(), k_sixteen.size() + k_two_image.size());
    for (const QString &file : written)
        EXPECT_EQ(read_file(out.filePath(file)), read_file(QStringLiteral(GLYPH_DIR "/") + file))
            << file.toStdString();
}
