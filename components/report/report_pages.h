// Prepared pages of a report. Preparing lays the rendered body out on pages of
// the report's paper, draws every page once with a footer, and keeps what was
// drawn: each page's items (runs of text, shapes, pictures) with their places
// in layout units of 96 per inch, measured from the page's top left corner.
// A PDF, a printer and the preview all draw the same items; a file of the
// engine's own keeps them (report_file.h), and finding text reads them.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPainterPath>
#include <QPen>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <variant>
#include <vector>

class QPainter;
class QPagedPaintDevice;

namespace report {

// The paper a report is laid out on and the room left around the body. The
// footer has a band of its own above the bottom margin.
struct PageFormat {
    QPageSize::PageSizeId paper = QPageSize::A4;
    QPageLayout::Orientation orientation = QPageLayout::Portrait;
    double left_mm = 18.0;
    double right_mm = 18.0;
    double top_mm = 15.0;
    double bottom_mm = 10.0;
    double footer_mm = 10.0;

    // The paper as it lies (width and height swapped for landscape), in
    // layout units.
    QSizeF page_size() const;
    bool operator==(const PageFormat &) const = default;
};

// A font as the pages use it: the font itself, and its size in layout units
// (the size of the font is not used when drawing).
struct PageFont {
    QFont font;
    double pixel_size = 0;
};

// A run of text in one font and colour, drawn from `origin` on its baseline.
struct TextItem {
    QPointF origin;
    QString text;
    int font = 0;  // index into PreparedReport::fonts()
    QRgb color = 0xff000000;
    double ascent = 0;
    double descent = 0;
    double width = 0;
    QRectF bounds() const { return {origin.x(), origin.y() - ascent, width, ascent + descent}; }
};

// An outline stroked with the pen and filled with the brush (a solid colour
// or none).
struct ShapeItem {
    QPainterPath path;
    QPen pen;
    QBrush brush;
};

// A picture scaled into its target rectangle.
struct ImageItem {
    QRectF target;
    QImage image;
};

struct PageItem {
    std::variant<TextItem, ShapeItem, ImageItem> item;
    std::optional<QRectF> clip;  // what may show of the item; none: all of it
};

struct Page {
    std::vector<PageItem> items;
};

// One place where a searched text was found: its page, the line of the page
// it is on, and the rectangles (layout units) that cover it on the page.
struct TextHit {
    int page = 0;
    QString line;
    std::vector<QRectF> rects;
};

class PreparedReport {
public:
    // Layout units per inch: the body is laid out as a screen would lay it out.
    static constexpr double kLayoutDpi = 96.0;
    // The most pages a report may have, and the largest side of a page in
    // layout units (about 2.6 m): beyond them pages are not a report.
    static constexpr int kMaxPages = 100000;
    static constexpr double kMaxPageSide = 10000.0;

    // Lays `body_html` (the rendered report body) out on pages of `format`;
    // `footer_for_page(page, pages)` gives the footer HTML of each page
    // (1-based page number).
    PreparedReport(const QString &body_html, const std::function<QString(int, int)> &footer_for_page,
                   const PageFormat &format = {});
    // Pages as they were kept (read back from a file). The page size is in
    // layout units; every item's font must be one of `fonts`.
    PreparedReport(QSizeF page_size, std::vector<PageFont> fonts, std::vector<Page> pages);
    ~PreparedReport();
    PreparedReport(const PreparedReport &) = delete;
    PreparedReport &operator=(const PreparedReport &) = delete;

    int page_count() const;
    QSizeF page_size() const;  // in layout units, as the paper lies
    // The paper for a printer or a PDF: the standard size the page size is,
    // or a custom one, in the orientation the page lies in, without margins.
    QPageLayout page_layout() const;
    const Page &page(int page_index) const;
    const std::vector<PageFont> &fonts() const;

    // The title that goes into a PDF's properties and a printer's job name.
    QString title() const;
    void set_title(const QString &title);

    // The text of a page, line by line from the top: the runs of text that
    // share a baseline, left to right, with a space where they stand apart.
    QStringList page_lines(int page_index) const;
    QString page_text(int page_index) const;  // the lines joined with newlines

    // Every place `text` occurs in a line of a page, page by page, from the
    // top of each page down and left to right along a line. Case is ignored;
    // a hit never spans two lines. An empty text is found nowhere.
    std::vector<TextHit> find(const QString &text) const;

    // Draws one page (0-based) with the painter's origin at the page's top
    // left corner, in layout units.
    void paint_page(QPainter &painter, int page_index) const;

    // Draws every page, or the pages from..to (1-based, inclusive; 0 = all), on
    // a paged device set up for the report's paper with no margins of its
    // own. False when the device cannot be painted on (a file that cannot be
    // written).
    bool paint_all(QPagedPaintDevice &device, int from_page = 0, int to_page = 0) const;

    // Writes every page to a PDF file; throws ReportError naming the file
    // when it cannot be written. The title goes into the document's
    // properties (the report's own title when none is given).
    void write_pdf(const QString &path, const QString &title = {}) const;

private:
    QSizeF page_size_;
    std::vector<PageFont> fonts_;
    std::vector<Page> pages_;
    QString title_;
};

// The default font of report pages: a Chinese song face where the system maps
// one, otherwise a Chinese sans face.
QStringList report_font_families();

}  // namespace report
