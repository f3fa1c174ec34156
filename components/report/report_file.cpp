#include "report_file.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>
#include <QStringDecoder>
#include <QtEndian>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "report_pages.h"

namespace report {

namespace {

constexpr std::array<char, 8> kMagic = {'R', 'P', 'P', 'A', 'G', 'E', 'S', '\x1a'};
constexpr qsizetype kHeaderBytes = 48;
constexpr qsizetype kDigestBytes = 32;

// Bounds of what a page holds: coordinates within a few page sides, fonts and
// pens of sensible sizes, pictures of sensible dimensions.
constexpr double kMaxCoordinate = 4 * PreparedReport::kMaxPageSide;
constexpr double kMaxFontSize = 2000.0;
constexpr double kMaxPenWidth = 1000.0;
constexpr int kMaxImageSide = 10000;
constexpr qint64 kMaxImagePixels = 4096LL * 4096;
constexpr quint32 kMaxFonts = 10000;
constexpr quint32 kMaxTitle = 10000;

enum class Kind : quint8 { Text = 1, Shape = 2, Image = 3 };

constexpr std::array<Qt::PenCapStyle, 3> kCaps = {Qt::FlatCap, Qt::SquareCap, Qt::RoundCap};
constexpr std::array<Qt::PenJoinStyle, 4> kJoins = {Qt::MiterJoin, Qt::BevelJoin, Qt::RoundJoin, Qt::SvgMiterJoin};

template <class T, std::size_t N>
quint8 index_of(const std::array<T, N> &values, T value)
{
    for (std::size_t i = 0; i < N; ++i)
        if (values[i] == value) return static_cast<quint8>(i);
    return 0;
}

QString megabytes(qint64 bytes) { return QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'f', 1); }

ReportFileError damaged(const QString &origin)
{
    return {ReportFileError::Reason::Damaged, QStringLiteral("报表文件“%1”已损坏，无法打开。").arg(origin)};
}

ReportFileError truncated(const QString &origin)
{
    return {ReportFileError::Reason::Truncated,
            QStringLiteral("报表文件“%1”不完整（可能没有保存完，或复制时被截断），无法打开。").arg(origin)};
}

ReportFileError too_large(const QString &origin, qint64 bytes)
{
    return {ReportFileError::Reason::TooLarge, QStringLiteral("文件“%1”太大（%2 MB），报表文件最大 %3 MB，无法打开。")
                                                   .arg(origin, megabytes(bytes), megabytes(kMaxPagesFileBytes))};
}

// ---------------------------------------------------------------------------
// Writing

class Writer {
public:
    QByteArray bytes;

    void u8(quint8 value) { bytes.append(static_cast<char>(value)); }
    void u16(quint16 value)
    {
        char raw[2];
        qToBigEndian(value, raw);
        bytes.append(raw, 2);
    }
    void u32(quint32 value)
    {
        char raw[4];
        qToBigEndian(value, raw);
        bytes.append(raw, 4);
    }
    void real(double value)
    {
        char raw[8];
        qToBigEndian(std::bit_cast<quint64>(value), raw);
        bytes.append(raw, 8);
    }
    void blob(const QByteArray &data)
    {
        u32(static_cast<quint32>(data.size()));
        bytes.append(data);
    }
    void text(const QString &value) { blob(value.toUtf8()); }
    void point(QPointF p)
    {
        real(p.x());
        real(p.y());
    }
    void rect(const QRectF &r)
    {
        real(r.x());
        real(r.y());
        real(r.width());
        real(r.height());
    }
};

void write_item(Writer &out, const PageItem &item)
{
    // The kinds number the alternatives of the item in order.
    static_assert(std::is_same_v<std::variant_alternative_t<0, decltype(item.item)>, TextItem>);
    out.u8(static_cast<quint8>(item.item.index() + static_cast<std::size_t>(Kind::Text)));
    out.u8(item.clip ? 1 : 0);
    if (item.clip) out.rect(*item.clip);

    if (const auto *text = std::get_if<TextItem>(&item.item)) {
        out.point(text->origin);
        out.text(text->text);
        out.u32(static_cast<quint32>(text->font));
        out.u32(text->color);
        out.real(text->ascent);
        out.real(text->descent);
        out.real(text->width);
    } else if (const auto *shape = std::get_if<ShapeItem>(&item.item)) {
        out.u8(shape->path.fillRule() == Qt::OddEvenFill ? 0 : 1);
        out.u32(static_cast<quint32>(shape->path.elementCount()));
        for (int i = 0; i < shape->path.elementCount(); ++i) {
            const QPainterPath::Element e = shape->path.elementAt(i);
            out.u8(static_cast<quint8>(e.type));
            out.real(e.x);
            out.real(e.y);
        }
        out.u8(static_cast<quint8>(shape->pen.style()));
        out.u8(index_of(kCaps, shape->pen.capStyle()));
        out.u8(index_of(kJoins, shape->pen.joinStyle()));
        out.u8(shape->pen.isCosmetic() ? 1 : 0);
        out.real(shape->pen.widthF());
        out.u32(shape->pen.color().rgba());
        out.u8(static_cast<quint8>(shape->brush.style()));
        out.u32(shape->brush.color().rgba());
    } else if (const auto *image = std::get_if<ImageItem>(&item.item)) {
        out.rect(image->target);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "png");
        if (!writer.write(image->image))
            throw ReportError(QStringLiteral("无法保存报表中的图片：%1").arg(writer.errorString()).toStdString());
        out.blob(png);
    }
}

QByteArray encode_contents(const PreparedReport &pages)
{
    Writer out;
    out.text(pages.title());
    out.real(pages.page_size().width());
    out.real(pages.page_size().height());
    out.u32(static_cast<quint32>(pages.fonts().size()));
    for (const PageFont &font : pages.fonts()) {
        out.text(font.font.toString());
        const QStringList families = font.font.families();
        out.u32(static_cast<quint32>(families.size()));
        for (const QString &family : families) out.text(family);
        out.real(font.pixel_size);
    }
    out.u32(static_cast<quint32>(pages.page_count()));
    for (int p = 0; p < pages.page_count(); ++p) {
        const Page &page = pages.page(p);
        out.u32(static_cast<quint32>(page.items.size()));
        for (const PageItem &item : page.items) write_item(out, item);
    }
    return out.bytes;
}

// ---------------------------------------------------------------------------
// Reading: every count is checked against the bytes left before anything is
// made room for, every number against its bounds; anything else is damage.

class Reader {
public:
    Reader(const QByteArray &bytes, qsizetype from, const QString &origin)
        : bytes_(bytes), at_(from), origin_(origin)
    {
    }

    [[noreturn]] void fail() const { throw damaged(origin_); }

    qsizetype remaining() const { return bytes_.size() - at_; }
    bool at_end() const { return at_ == bytes_.size(); }

    const char *take(qsizetype n)
    {
        if (n < 0 || remaining() < n) fail();
        const char *data = bytes_.constData() + at_;
        at_ += n;
        return data;
    }

    quint8 u8() { return static_cast<quint8>(*take(1)); }
    quint32 u32() { return qFromBigEndian<quint32>(take(4)); }
    double real(double bound = kMaxCoordinate)
    {
        const double value = std::bit_cast<double>(qFromBigEndian<quint64>(take(8)));
        if (!std::isfinite(value) || std::abs(value) > bound) fail();
        return value;
    }
    double non_negative(double bound)
    {
        const double value = real(bound);
        if (value < 0) fail();
        return value;
    }
    // A count of things that take at least `each` bytes apiece.
    quint32 count(qsizetype each, quint32 most)
    {
        const quint32 n = u32();
        if (n > most || static_cast<qsizetype>(n) > remaining() / std::max<qsizetype>(each, 1)) fail();
        return n;
    }
    QByteArray blob() { const quint32 n = count(1, UINT32_MAX); return QByteArray(take(n), n); }
    QString text(quint32 most = UINT32_MAX)
    {
        const quint32 n = count(1, most);
        QStringDecoder decoder(QStringDecoder::Utf8);
        QString value = decoder.decode(QByteArrayView(take(n), n));
        if (decoder.hasError()) fail();
        return value;
    }
    QPointF point()
    {
        const double x = real();
        return {x, real()};
    }
    QRectF rect()
    {
        const double x = real(), y = real();
        const double w = non_negative(kMaxCoordinate), h = non_negative(kMaxCoordinate);
        return {x, y, w, h};
    }

private:
    const QByteArray &bytes_;
    qsizetype at_;
    QString origin_;
};

QPainterPath read_path(Reader &in)
{
    const quint8 rule = in.u8();
    if (rule > 1) in.fail();
    QPainterPath path;
    path.setFillRule(rule == 0 ? Qt::OddEvenFill : Qt::WindingFill);
    const quint32 n = in.count(17, UINT32_MAX);
    for (quint32 i = 0; i < n; ++i) {
        const quint8 type = in.u8();
        const QPointF p = in.point();
        switch (type) {
        case QPainterPath::MoveToElement: path.moveTo(p); break;
        case QPainterPath::LineToElement:
            if (i == 0) in.fail();
            path.lineTo(p);
            break;
        case QPainterPath::CurveToElement: {
            if (i == 0 || i + 2 >= n) in.fail();
            QPointF control[2];
            for (QPointF &c : control) {
                if (in.u8() != QPainterPath::CurveToDataElement) in.fail();
                c = in.point();
            }
            path.cubicTo(p, control[0], control[1]);
            i += 2;
            break;
        }
        default: in.fail();
        }
    }
    return path;
}

QImage read_image(Reader &in)
{
    QByteArray png = in.blob();
    QBuffer buffer(&png);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "png");
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > kMaxImageSide || size.height() > kMaxImageSide ||
        qint64(size.width()) * size.height() > kMaxImagePixels)
        in.fail();
    QImage image = reader.read();
    if (image.isNull()) in.fail();
    return image;
}

PageItem read_item(Reader &in, std::size_t font_count)
{
    const quint8 kind = in.u8();
    const quint8 has_clip = in.u8();
    if (has_clip > 1) in.fail();
    PageItem item;
    if (has_clip) item.clip = in.rect();

    switch (static_cast<Kind>(kind)) {
    case Kind::Text: {
        TextItem text;
        text.origin = in.point();
        text.text = in.text();
        const quint32 font = in.u32();
        if (font >= font_count) in.fail();
        text.font = static_cast<int>(font);
        text.color = in.u32();
        text.ascent = in.non_negative(kMaxFontSize);
        text.descent = in.non_negative(kMaxFontSize);
        text.width = in.non_negative(kMaxCoordinate);
        item.item = std::move(text);
        break;
    }
    case Kind::Shape: {
        ShapeItem shape;
        shape.path = read_path(in);
        const quint8 style = in.u8(), cap = in.u8(), join = in.u8(), cosmetic = in.u8();
        if (style > Qt::DashDotDotLine || cap >= kCaps.size() || join >= kJoins.size() || cosmetic > 1) in.fail();
        const double width = in.non_negative(kMaxPenWidth);
        const QColor pen_color = QColor::fromRgba(in.u32());
        shape.pen = QPen(QBrush(pen_color), width, static_cast<Qt::PenStyle>(style), kCaps[cap], kJoins[join]);
        shape.pen.setCosmetic(cosmetic == 1);
        const quint8 brush_style = in.u8();
        const QColor brush_color = QColor::fromRgba(in.u32());
        if (brush_style > Qt::DiagCrossPattern) in.fail();
        if (brush_style != Qt::NoBrush) shape.brush = QBrush(brush_color, static_cast<Qt::BrushStyle>(brush_style));
        item.item = std::move(shape);
        break;
    }
    case Kind::Image: {
        ImageItem image;
        image.target = in.rect();
        image.image = read_image(in);
        item.item = std::move(image);
        break;
    }
    default: in.fail();
    }
    return item;
}

std::unique_ptr<PreparedReport> decode_contents(const QByteArray &bytes, const QString &origin)
{
    Reader in(bytes, kHeaderBytes, origin);
    const QString title = in.text(kMaxTitle * 4);
    const double width = in.real(PreparedReport::kMaxPageSide);
    const double height = in.real(PreparedReport::kMaxPageSide);
    if (width < 1 || height < 1) in.fail();

    std::vector<PageFont> fonts;
    const quint32 font_count = in.count(16, kMaxFonts);
    fonts.reserve(font_count);
    for (quint32 i = 0; i < font_count; ++i) {
        PageFont font;
        if (!font.font.fromString(in.text(1000))) in.fail();
        QStringList families;
        const quint32 family_count = in.count(4, 100);
        for (quint32 f = 0; f < family_count; ++f) families << in.text(1000);
        if (!families.isEmpty()) font.font.setFamilies(families);
        font.pixel_size = in.real(kMaxFontSize);
        if (!(font.pixel_size > 0)) in.fail();
        fonts.push_back(std::move(font));
    }

    std::vector<Page> pages;
    const quint32 page_count = in.count(4, PreparedReport::kMaxPages);
    if (page_count == 0) in.fail();
    pages.reserve(page_count);
    for (quint32 p = 0; p < page_count; ++p) {
        Page page;
        const quint32 items = in.count(2, UINT32_MAX);
        page.items.reserve(items);
        for (quint32 i = 0; i < items; ++i) page.items.push_back(read_item(in, fonts.size()));
        pages.push_back(std::move(page));
    }
    if (!in.at_end()) in.fail();

    auto report = std::make_unique<PreparedReport>(QSizeF(width, height), std::move(fonts), std::move(pages));
    report->set_title(title);
    return report;
}

}  // namespace

QString pages_file_filter() { return QStringLiteral("报表文件 (*.%1)").arg(QLatin1String(kPagesFileSuffix)); }

ReportFileError::ReportFileError(Reason reason, const QString &message)
    : ReportError(message.toStdString()), reason_(reason)
{
}

QByteArray encode_pages(const PreparedReport &pages)
{
    const QByteArray contents = encode_contents(pages);
    Writer header;
    header.bytes.append(kMagic.data(), static_cast<qsizetype>(kMagic.size()));
    header.u16(kFormatVersion);
    header.u16(0);
    header.u32(static_cast<quint32>(contents.size()));
    header.bytes.append(QCryptographicHash::hash(contents, QCryptographicHash::Sha256));
    return header.bytes + contents;
}

std::unique_ptr<PreparedReport> decode_pages(const QByteArray &bytes, const QString &origin)
{
    const QByteArrayView magic(kMagic.data(), static_cast<qsizetype>(kMagic.size()));
    if (bytes.isEmpty() || !(bytes.size() < magic.size() ? magic.startsWith(bytes) : bytes.startsWith(magic)))
        throw ReportFileError(ReportFileError::Reason::NotAReport,
                              QStringLiteral("“%1”不是报表文件，无法打开。").arg(origin));
    if (bytes.size() < kHeaderBytes) throw truncated(origin);

    const quint16 version = qFromBigEndian<quint16>(bytes.constData() + 8);
    const quint16 reserved = qFromBigEndian<quint16>(bytes.constData() + 10);
    const quint32 length = qFromBigEndian<quint32>(bytes.constData() + 12);
    if (version > kFormatVersion)
        throw ReportFileError(ReportFileError::Reason::NewerVersion,
                              QStringLiteral("报表文件“%1”是较新版本的程序保存的（格式版本 %2），"
                                             "本程序只能打开格式版本 %3 的文件。")
                                  .arg(origin)
                                  .arg(version)
                                  .arg(kFormatVersion));
    if (version == 0 || reserved != 0) throw damaged(origin);
    if (length > kMaxPagesFileBytes - kHeaderBytes) throw too_large(origin, kHeaderBytes + qint64(length));
    if (bytes.size() - kHeaderBytes < qsizetype(length)) throw truncated(origin);
    if (bytes.size() - kHeaderBytes > qsizetype(length)) throw damaged(origin);

    const QByteArrayView contents(bytes.constData() + kHeaderBytes, length);
    const QByteArray digest = QCryptographicHash::hash(contents, QCryptographicHash::Sha256);
    if (std::memcmp(digest.constData(), bytes.constData() + 16, kDigestBytes) != 0) throw damaged(origin);
    return decode_contents(bytes, origin);
}

void write_pages_file(const PreparedReport &pages, const QString &path)
{
    const QByteArray bytes = encode_pages(pages);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw ReportError(QStringLiteral("无法写入报表文件“%1”：%2").arg(path, file.errorString()).toStdString());
}

std::unique_ptr<PreparedReport> read_pages_file(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        throw ReportFileError(ReportFileError::Reason::Unreadable,
                              QStringLiteral("无法读取报表文件“%1”：文件不存在").arg(path));
    if (info.isDir())
        throw ReportFileError(ReportFileError::Reason::Unreadable,
                              QStringLiteral("无法读取报表文件“%1”：它是一个目录").arg(path));
    if (info.size() > kMaxPagesFileBytes) throw too_large(path, info.size());

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ReportFileError(ReportFileError::Reason::Unreadable,
                              QStringLiteral("无法读取报表文件“%1”：%2").arg(path, file.errorString()));
    // Read no more than the limit even if the file grows meanwhile.
    const QByteArray bytes = file.read(kMaxPagesFileBytes + 1);
    if (file.error() != QFileDevice::NoError)
        throw ReportFileError(ReportFileError::Reason::Unreadable,
                              QStringLiteral("无法读取报表文件“%1”：%2").arg(path, file.errorString()));
    if (bytes.size() > kMaxPagesFileBytes) throw too_large(path, bytes.size());
    return decode_pages(bytes, path);
}

}  // namespace report
