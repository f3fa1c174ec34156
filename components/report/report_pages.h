// Prepared pages of a report: the rendered body laid out on A4 pages, with a
// footer drawn on every page. Drawn the same way on a PDF, a printer and the
// preview, in layout units of 96 per inch.
#pragma once

#include <QSizeF>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QPainter;
class QPagedPaintDevice;
class QTextDocument;

namespace report {

class PreparedReport {
public:
    // Layout units per inch: the body is laid out as a screen would lay it out.
    static constexpr double kLayoutDpi = 96.0;

    // `body_html` is the rendered report body; `footer_for_page(page, pages)`
    // gives the footer HTML of each page (1-based page number).
    PreparedReport(const QString &body_html, const std::function<QString(int, int)> &footer_for_page);
    ~PreparedReport();
    PreparedReport(const PreparedReport &) = delete;
    PreparedReport &operator=(const PreparedReport &) = delete;

    int page_count() const;
    QSizeF page_size() const;  // A4 in layout units
    QString footer_html(int page_index) const;
    const QTextDocument &body() const;

    // Draws one page (0-based) with the painter's origin at the page's top
    // left corner, in layout units.
    void paint_page(QPainter &painter, int page_index) const;

    // Draws every page, or the pages from..to (1-based, inclusive; 0 = all), on
    // a paged device set up for A4 with no margins of its own. False when the
    // device cannot be painted on (a file that cannot be written).
    bool paint_all(QPagedPaintDevice &device, int from_page = 0, int to_page = 0) const;

    // Writes every page to a PDF file; throws ReportError naming the file
    // when it cannot be written. `title` goes into the document's properties.
    void write_pdf(const QString &path, const QString &title = {}) const;

private:
    std::unique_ptr<QTextDocument> body_;
    QStringList footers_;
    QSizeF page_size_;
};

// The default font of report pages: a Chinese song face where the system maps
// one, otherwise a Chinese sans face.
QStringList report_font_families();

}  // namespace report
