#include "report_pages.h"

#include "report.h"

#include <QAbstractTextDocumentLayout>
#include <QFile>
#include <QFontMetricsF>
#include <QHash>
#include <QPageLayout>
#include <QPagedPaintDevice>
#include <QPaintEngine>
#include <QPainter>
#include <QPdfWriter>
#include <QPixmap>
#include <QTextDocument>
#include <QTextItem>
#include <QTextLayout>

#include <algorithm>
#include <climits>
#include <cmath>

namespace report {

namespace {

constexpr double kMm = PreparedReport::kLayoutDpi / 25.4;  // layout units per millimetre

// Runs of text further apart than this (layout units) are separate words of
// a line: table cells, not the pieces one run of text was drawn in.
constexpr double kWordGap = 2.0;
// Runs whose baselines lie this close (layout units) share a line.
constexpr double kBaselineTolerance = 1.0;

QFont report_font()
{
    QFont font;
    font.setFamilies(report_font_families());
    font.setPointSizeF(10.5);
    return font;
}

// A pen or brush reduced to what the pages keep: a solid colour for the
// brush of a pen, the standard patterns for a brush, a solid colour for a
// gradient or a texture.
QPen kept_pen(const QPen &pen, double scale)
{
    Qt::PenStyle style = pen.style();
    if (style == Qt::CustomDashLine) style = Qt::SolidLine;
    QPen kept(QBrush(pen.color()), pen.isCosmetic() ? pen.widthF() : pen.widthF() * scale, style, pen.capStyle(),
              pen.joinStyle());
    kept.setCosmetic(pen.isCosmetic());
    return kept;
}

QBrush kept_brush(const QBrush &brush)
{
    const Qt::BrushStyle style = brush.style();
    if (style == Qt::NoBrush) return QBrush();
    if (style >= Qt::SolidPattern && style <= Qt::DiagCrossPattern) return QBrush(brush.color(), style);
    return QBrush(brush.color());
}

// The pages are drawn once onto this device, which keeps what is drawn as
// items of a page. It has the layout's resolution, so the body is laid out
// for it as well.
class PageRecorder final : public QPaintDevice {
public:
    explicit PageRecorder(QSizeF page_size = QSizeF(100, 100)) : page_size_(page_size) {}

    // Items drawn from now on go to `page`, their fonts into `fonts`.
    void record_into(Page *page, std::vector<PageFont> *fonts, QHash<QString, int> *font_index)
    {
        engine_.page = page;
        engine_.fonts = fonts;
        engine_.font_index = font_index;
    }

    QPaintEngine *paintEngine() const override { return &engine_; }

protected:
    int metric(PaintDeviceMetric metric) const override
    {
        switch (metric) {
        case PdmWidth: return static_cast<int>(std::ceil(page_size_.width()));
        case PdmHeight: return static_cast<int>(std::ceil(page_size_.height()));
        case PdmWidthMM: return static_cast<int>(std::lround(page_size_.width() / kMm));
        case PdmHeightMM: return static_cast<int>(std::lround(page_size_.height() / kMm));
        case PdmNumColors: return INT_MAX;
        case PdmDepth: return 32;
        case PdmDpiX:
        case PdmDpiY:
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY: return static_cast<int>(PreparedReport::kLayoutDpi);
        case PdmDevicePixelRatio: return 1;
        case PdmDevicePixelRatioScaled: return static_cast<int>(devicePixelRatioFScale());
        }
        return 0;
    }

private:
    class Engine final : public QPaintEngine {
    public:
        Engine() : QPaintEngine(QPaintEngine::AllFeatures) {}

        Page *page = nullptr;
        std::vector<PageFont> *fonts = nullptr;
        QHash<QString, int> *font_index = nullptr;

        bool begin(QPaintDevice *) override
        {
            transform_ = QTransform();
            clip_.reset();
            clip_enabled_ = false;
            return true;
        }
        bool end() override { return true; }
        Type type() const override { return QPaintEngine::User; }

        void updateState(const QPaintEngineState &state) override
        {
            const DirtyFlags flags = state.state();
            if (flags & DirtyTransform) transform_ = state.transform();
            if (flags & DirtyPen) pen_ = state.pen();
            if (flags & DirtyBrush) brush_ = state.brush();
            // A clip is given in the coordinates in force when it is set.
            if (flags & DirtyClipPath) {
                clip_enabled_ = true;
                set_clip(transform_.map(state.clipPath()).boundingRect(), state.clipOperation());
            } else if (flags & DirtyClipRegion) {
                clip_enabled_ = true;
                set_clip(transform_.mapRect(QRectF(state.clipRegion().boundingRect())), state.clipOperation());
            } else if (flags & DirtyClipEnabled) {
                clip_enabled_ = state.isClipEnabled();
            }
        }

        void drawPath(const QPainterPath &path) override { add_shape(path, pen_, brush_); }

        void drawPolygon(const QPointF *points, int count, PolygonDrawMode mode) override
        {
            if (count <= 0) return;
            QPainterPath path;
            path.setFillRule(mode == OddEvenMode ? Qt::OddEvenFill : Qt::WindingFill);
            path.moveTo(points[0]);
            for (int i = 1; i < count; ++i) path.lineTo(points[i]);
            if (mode == PolylineMode) {
                add_shape(path, pen_, QBrush());
            } else {
                path.closeSubpath();
                add_shape(path, pen_, brush_);
            }
        }

        void drawRects(const QRectF *rects, int count) override
        {
            QPainterPath path;
            for (int i = 0; i < count; ++i) path.addRect(rects[i].normalized());
            add_shape(path, pen_, brush_);
        }

        void drawLines(const QLineF *lines, int count) override
        {
            QPainterPath path;
            for (int i = 0; i < count; ++i) {
                path.moveTo(lines[i].p1());
                path.lineTo(lines[i].p2());
            }
            add_shape(path, pen_, QBrush());
        }

        void drawEllipse(const QRectF &rect) override
        {
            QPainterPath path;
            path.addEllipse(rect);
            add_shape(path, pen_, brush_);
        }

        void drawPoints(const QPointF *points, int count) override
        {
            QPainterPath path;
            for (int i = 0; i < count; ++i) {
                path.moveTo(points[i]);
                path.lineTo(points[i]);
            }
            add_shape(path, pen_, QBrush());
        }

        void drawPixmap(const QRectF &rect, const QPixmap &pixmap, const QRectF &source) override
        {
            add_image(rect, pixmap.toImage(), source);
        }

        void drawImage(const QRectF &rect, const QImage &image, const QRectF &source, Qt::ImageConversionFlags) override
        {
            add_image(rect, image, source);
        }

        void drawTiledPixmap(const QRectF &rect, const QPixmap &pixmap, const QPointF &offset) override
        {
            const QSize size = rect.size().toSize().boundedTo(QSize(4096, 4096));
            if (size.isEmpty()) return;
            QImage tiled(size, QImage::Format_ARGB32_Premultiplied);
            tiled.fill(Qt::transparent);
            QPainter painter(&tiled);
            painter.drawTiledPixmap(QRectF(QPointF(0, 0), QSizeF(size)), pixmap, offset);
            painter.end();
            add_image(rect, tiled, QRectF(tiled.rect()));
        }

        void drawTextItem(const QPointF &origin, const QTextItem &text_item) override
        {
            const QString text = text_item.text();
            if (text.isEmpty()) return;
            QFont font = text_item.font();
            // Underlines and the like arrive as shapes of their own.
            font.setUnderline(false);
            font.setOverline(false);
            font.setStrikeOut(false);
            const double scale = transform_scale();
            const double size = (font.pixelSize() > 0 ? font.pixelSize()
                                                      : font.pointSizeF() * PreparedReport::kLayoutDpi / 72.0) *
                                scale;
            if (!(size > 0)) return;

            TextItem item;
            item.origin = transform_.map(origin);
            item.text = text;
            item.font = font_number(font, size);
            item.color = pen_.color().rgba();
            item.ascent = text_item.ascent() * scale;
            item.descent = text_item.descent() * scale;
            item.width = text_item.width() * scale;
            add(PageItem{item, {}}, item.bounds());
        }

    private:
        double transform_scale() const { return std::sqrt(std::abs(transform_.determinant())); }

        void set_clip(const QRectF &rect, Qt::ClipOperation operation)
        {
            switch (operation) {
            case Qt::NoClip:
                clip_enabled_ = false;
                clip_.reset();
                break;
            case Qt::ReplaceClip: clip_ = rect; break;
            case Qt::IntersectClip: clip_ = clip_ ? clip_->intersected(rect) : rect; break;
            }
        }

        // Keeps the item unless the clip hides all of it.
        void add(PageItem item, const QRectF &bounds)
        {
            if (!page) return;
            if (clip_enabled_ && clip_) {
                const QRectF area = bounds.adjusted(-1, -1, 1, 1);
                if (clip_->isEmpty() || !clip_->intersects(area)) return;
                if (!clip_->contains(area)) item.clip = *clip_;
            }
            page->items.push_back(std::move(item));
        }

        void add_shape(const QPainterPath &path, const QPen &pen, const QBrush &brush)
        {
            if (path.isEmpty()) return;
            if (pen.style() == Qt::NoPen && brush.style() == Qt::NoBrush) return;
            ShapeItem shape{transform_.map(path), kept_pen(pen, transform_scale()), kept_brush(brush)};
            const double half_pen = shape.pen.style() == Qt::NoPen ? 0 : std::max(shape.pen.widthF(), 1.0) / 2;
            const QRectF bounds = shape.path.controlPointRect().adjusted(-half_pen, -half_pen, half_pen, half_pen);
            add(PageItem{std::move(shape), {}}, bounds);
        }

        void add_image(const QRectF &rect, const QImage &image, const QRectF &source)
        {
            if (image.isNull() || rect.isEmpty()) return;
            const QRect part = source.toAlignedRect().intersected(image.rect());
            if (part.isEmpty()) return;
            ImageItem item{transform_.mapRect(rect), part == image.rect() ? image : image.copy(part)};
            const QRectF bounds = item.target;
            add(PageItem{std::move(item), {}}, bounds);
        }

        int font_number(const QFont &font, double size)
        {
            const QString key = font.toString() + QLatin1Char('|') + font.families().join(QLatin1Char(',')) +
                                QLatin1Char('|') + QString::number(size, 'g', 12);
            const auto found = font_index->constFind(key);
            if (found != font_index->cend()) return found.value();
            const int number = static_cast<int>(fonts->size());
            fonts->push_back({font, size});
            font_index->insert(key, number);
            return number;
        }

        QTransform transform_;
        QPen pen_;
        QBrush brush_;
        std::optional<QRectF> clip_;
        bool clip_enabled_ = false;
    };

    QSizeF page_size_;
    mutable Engine engine_;
};

// A device of the layout's resolution for measuring text.
const QPaintDevice &layout_device()
{
    static const PageRecorder device;
    return device;
}

void setup_document(QTextDocument &doc, QPaintDevice *device)
{
    doc.documentLayout()->setPaintDevice(device);
    doc.setDefaultFont(report_font());
    doc.setDocumentMargin(0);
    doc.setUseDesignMetrics(true);
}

// The font of a page font for drawing on a painter's device: sized so that,
// with the painter scaled from layout units to the device, it comes out at
// the size it had on the page.
QFont font_for_device(const PageFont &page_font, const QPaintDevice *device)
{
    QFont font = page_font.font;
    const double dpi = device ? device->logicalDpiY() : PreparedReport::kLayoutDpi;
    font.setPointSizeF(page_font.pixel_size * 72.0 / (dpi > 0 ? dpi : PreparedReport::kLayoutDpi));
    return font;
}

void draw_text(QPainter &painter, const TextItem &item, const PageFont &page_font)
{
    QTextLayout layout(item.text, font_for_device(page_font, painter.device()), painter.device());
    QTextOption option;
    option.setUseDesignMetrics(true);
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    layout.endLayout();
    if (!line.isValid()) return;
    painter.setPen(QColor::fromRgba(item.color));
    line.draw(&painter, QPointF(item.origin.x(), item.origin.y() - line.ascent()));
}

// A line of a page's text and the runs it is made of.
struct LineRun {
    const TextItem *item;
    int start;  // where the run's text begins in the line's text
};

struct TextLine {
    double baseline = 0;
    QString text;
    std::vector<LineRun> runs;
};

std::vector<TextLine> text_lines(const Page &page)
{
    std::vector<const TextItem *> items;
    for (const PageItem &item : page.items)
        if (const auto *text = std::get_if<TextItem>(&item.item)) items.push_back(text);
    std::stable_sort(items.begin(), items.end(),
                     [](const TextItem *a, const TextItem *b) { return a->origin.y() < b->origin.y(); });

    std::vector<TextLine> lines;
    std::size_t first = 0;
    while (first < items.size()) {
        std::size_t last = first + 1;
        while (last < items.size() && items[last]->origin.y() - items[first]->origin.y() <= kBaselineTolerance) ++last;
        std::vector<const TextItem *> runs(items.begin() + static_cast<std::ptrdiff_t>(first),
                                           items.begin() + static_cast<std::ptrdiff_t>(last));
        std::stable_sort(runs.begin(), runs.end(),
                         [](const TextItem *a, const TextItem *b) { return a->origin.x() < b->origin.x(); });
        TextLine line;
        line.baseline = items[first]->origin.y();
        double end = 0;
        for (const TextItem *run : runs) {
            if (!line.text.isEmpty() && run->origin.x() - end > kWordGap && !line.text.back().isSpace() &&
                !run->text.front().isSpace())
                line.text += QLatin1Char(' ');
            line.runs.push_back({run, static_cast<int>(line.text.size())});
            line.text += run->text;
            end = std::max(end, run->origin.x() + run->width);
        }
        lines.push_back(std::move(line));
        first = last;
    }
    return lines;
}

}  // namespace

QStringList report_font_families()
{
    return {QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Micro Hei"),
            QStringLiteral("Noto Sans CJK SC")};
}

QSizeF PageFormat::page_size() const
{
    const QSizeF paper_mm = QPageSize(paper).size(QPageSize::Millimeter);
    const QSizeF size = paper_mm * kMm;
    return orientation == QPageLayout::Landscape ? size.transposed() : size;
}

PreparedReport::PreparedReport(const QString &body_html, const std::function<QString(int, int)> &footer_for_page,
                               const PageFormat &format)
    : page_size_(format.page_size())
{
    const double left = format.left_mm * kMm;
    const double top = format.top_mm * kMm;
    const double footer_height = format.footer_mm * kMm;
    const double bottom = format.bottom_mm * kMm;
    const QSizeF body_size(page_size_.width() - left - format.right_mm * kMm,
                           page_size_.height() - top - footer_height - bottom);
    // Less than 2 cm of body would give a page a line, or none.
    if (!page_size_.isValid() || body_size.width() < 20 * kMm || body_size.height() < 20 * kMm ||
        std::min({left, top, footer_height, bottom, format.right_mm * kMm}) < 0)
        throw ReportError("报表的页边距太大或为负数，页面上放不下报表内容");

    PageRecorder recorder(page_size_);
    QTextDocument body;
    setup_document(body, &recorder);
    body.setHtml(body_html);
    body.setPageSize(body_size);
    const int pages = body.pageCount();

    QHash<QString, int> font_index;
    pages_.reserve(static_cast<std::size_t>(pages));
    for (int page_index = 0; page_index < pages; ++page_index) {
        Page page;
        recorder.record_into(&page, &fonts_, &font_index);
        QPainter painter(&recorder);

        painter.save();
        painter.translate(left, top - page_index * body_size.height());
        const QRectF clip(QPointF(0, page_index * body_size.height()), body_size);
        painter.setClipRect(clip);
        QAbstractTextDocumentLayout::PaintContext context;
        context.clip = clip;
        context.palette.setColor(QPalette::Text, Qt::black);
        body.documentLayout()->draw(&painter, context);
        painter.restore();

        const QString footer = footer_for_page ? footer_for_page(page_index + 1, pages) : QString();
        if (!footer.trimmed().isEmpty()) {
            QTextDocument doc;
            setup_document(doc, &recorder);
            doc.setHtml(footer);
            doc.setTextWidth(body_size.width());
            painter.save();
            painter.translate(left, page_size_.height() - bottom - footer_height);
            // A thin rule separates the footer from the body.
            painter.setPen(QPen(Qt::black, 0.6));
            painter.drawLine(QPointF(0, 0), QPointF(body_size.width(), 0));
            painter.translate(0, 2.0 * kMm);
            QAbstractTextDocumentLayout::PaintContext footer_context;
            footer_context.palette.setColor(QPalette::Text, Qt::black);
            footer_context.clip = QRectF(0, 0, body_size.width(), footer_height);
            doc.documentLayout()->draw(&painter, footer_context);
            painter.restore();
        }
        painter.end();
        pages_.push_back(std::move(page));
    }
    recorder.record_into(nullptr, nullptr, nullptr);
}

PreparedReport::PreparedReport(QSizeF page_size, std::vector<PageFont> fonts, std::vector<Page> pages)
    : page_size_(page_size), fonts_(std::move(fonts)), pages_(std::move(pages))
{
}

PreparedReport::~PreparedReport() = default;

int PreparedReport::page_count() const { return static_cast<int>(pages_.size()); }

QSizeF PreparedReport::page_size() const { return page_size_; }

QPageLayout PreparedReport::page_layout() const
{
    const QSizeF mm = page_size_ / kMm;
    const QSizeF portrait(std::min(mm.width(), mm.height()), std::max(mm.width(), mm.height()));
    const QPageSize paper(portrait, QPageSize::Millimeter, QString(), QPageSize::FuzzyMatch);
    return QPageLayout(paper, mm.width() > mm.height() ? QPageLayout::Landscape : QPageLayout::Portrait,
                       QMarginsF(0, 0, 0, 0));
}

const Page &PreparedReport::page(int page_index) const { return pages_.at(static_cast<std::size_t>(page_index)); }

const std::vector<PageFont> &PreparedReport::fonts() const { return fonts_; }

QString PreparedReport::title() const { return title_; }

void PreparedReport::set_title(const QString &title) { title_ = title; }

QStringList PreparedReport::page_lines(int page_index) const
{
    QStringList result;
    if (page_index < 0 || page_index >= page_count()) return result;
    for (const TextLine &line : text_lines(page(page_index))) result << line.text;
    return result;
}

QString PreparedReport::page_text(int page_index) const { return page_lines(page_index).join(QLatin1Char('\n')); }

std::vector<TextHit> PreparedReport::find(const QString &text) const
{
    std::vector<TextHit> hits;
    if (text.isEmpty()) return hits;
    const QPaintDevice &device = layout_device();
    for (int page_index = 0; page_index < page_count(); ++page_index) {
        for (const TextLine &line : text_lines(page(page_index))) {
            for (qsizetype at = line.text.indexOf(text, 0, Qt::CaseInsensitive); at >= 0;
                 at = line.text.indexOf(text, at + text.size(), Qt::CaseInsensitive)) {
                TextHit hit{page_index, line.text, {}};
                const qsizetype end = at + text.size();
                for (const LineRun &run : line.runs) {
                    const qsizetype from = std::max<qsizetype>(at, run.start) - run.start;
                    const qsizetype to = std::min<qsizetype>(end, run.start + run.item->text.size()) - run.start;
                    if (from >= to) continue;
                    // Where the characters lie along the run, measured in its
                    // font and fitted to the run's drawn width.
                    const QFontMetricsF metrics(font_for_device(fonts_.at(static_cast<std::size_t>(run.item->font)), &device),
                                                &device);
                    const double whole = metrics.horizontalAdvance(run.item->text);
                    const double fit = whole > 0 ? run.item->width / whole : 1.0;
                    const double x0 = metrics.horizontalAdvance(run.item->text.left(from)) * fit;
                    const double x1 = metrics.horizontalAdvance(run.item->text.left(to)) * fit;
                    const QRectF bounds = run.item->bounds();
                    hit.rects.emplace_back(bounds.left() + x0, bounds.top(), std::max(x1 - x0, 1.0), bounds.height());
                }
                hits.push_back(std::move(hit));
            }
        }
    }
    return hits;
}

void PreparedReport::paint_page(QPainter &painter, int page_index) const
{
    if (page_index < 0 || page_index >= page_count()) return;

    painter.save();
    std::optional<QRectF> clip;
    for (const PageItem &item : page(page_index).items) {
        if (item.clip != clip) {
            clip = item.clip;
            if (clip)
                painter.setClipRect(*clip);
            else
                painter.setClipping(false);
        }
        if (const auto *text = std::get_if<TextItem>(&item.item)) {
            if (text->font >= 0 && text->font < static_cast<int>(fonts_.size()))
                draw_text(painter, *text, fonts_[static_cast<std::size_t>(text->font)]);
        } else if (const auto *shape = std::get_if<ShapeItem>(&item.item)) {
            painter.setPen(shape->pen);
            painter.setBrush(shape->brush);
            painter.drawPath(shape->path);
        } else if (const auto *image = std::get_if<ImageItem>(&item.item)) {
            painter.drawImage(image->target, image->image);
        }
    }
    painter.restore();
}

bool PreparedReport::paint_all(QPagedPaintDevice &device, int from_page, int to_page) const
{
    const int first = from_page > 0 ? from_page - 1 : 0;
    const int last = to_page > 0 ? std::min(to_page, page_count()) - 1 : page_count() - 1;
    QPainter painter;
    if (!painter.begin(&device)) return false;
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.scale(device.logicalDpiX() / kLayoutDpi, device.logicalDpiY() / kLayoutDpi);
    for (int page = first; page <= last; ++page) {
        if (page > first) device.newPage();
        paint_page(painter, page);
    }
    return painter.end();
}

void PreparedReport::write_pdf(const QString &path, const QString &title) const
{
    // QPdfWriter only finds out at the first page that the file cannot be
    // written; ask first so the message can say why.
    QFile probe(path);
    if (!probe.open(QIODevice::WriteOnly))
        throw ReportError(QStringLiteral("无法写入PDF文件“%1”：%2").arg(path, probe.errorString()).toStdString());
    probe.close();

    QPdfWriter writer(path);
    writer.setResolution(1200);
    writer.setPageLayout(page_layout());
    writer.setCreator(QStringLiteral("月销售计划"));
    const QString document_title = title.isEmpty() ? title_ : title;
    if (!document_title.isEmpty()) writer.setTitle(document_title);
    if (!paint_all(writer))
        throw ReportError(QStringLiteral("无法写入PDF文件“%1”").arg(path).toStdString());
}

}  // namespace report
