#include "report_pages.h"

#include "report.h"

#include <QAbstractTextDocumentLayout>
#include <QFile>
#include <QPageLayout>
#include <QPdfWriter>
#include <QFont>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QTextDocument>

namespace report {

namespace {

constexpr double kMm = PreparedReport::kLayoutDpi / 25.4;  // layout units per millimetre

// A4, with room for the footer below the body.
constexpr double kPageWidth = 210.0 * kMm;
constexpr double kPageHeight = 297.0 * kMm;
constexpr double kLeft = 18.0 * kMm;
constexpr double kRight = 18.0 * kMm;
constexpr double kTop = 15.0 * kMm;
constexpr double kFooterHeight = 10.0 * kMm;
constexpr double kBottom = 10.0 * kMm;
constexpr double kBodyWidth = kPageWidth - kLeft - kRight;
constexpr double kBodyHeight = kPageHeight - kTop - kFooterHeight - kBottom;

QFont report_font()
{
    QFont font;
    font.setFamilies(report_font_families());
    font.setPointSizeF(10.5);
    return font;
}

void setup_document(QTextDocument &doc)
{
    doc.setDefaultFont(report_font());
    doc.setDocumentMargin(0);
    doc.setUseDesignMetrics(true);
}

}  // namespace

QStringList report_font_families()
{
    return {QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Micro Hei"),
            QStringLiteral("Noto Sans CJK SC")};
}

PreparedReport::PreparedReport(const QString &body_html,
                               const std::function<QString(int, int)> &footer_for_page)
    : body_(std::make_unique<QTextDocument>()), page_size_(kPageWidth, kPageHeight)
{
    setup_document(*body_);
    body_->setHtml(body_html);
    body_->setPageSize(QSizeF(kBodyWidth, kBodyHeight));
    const int pages = body_->pageCount();
    for (int page = 1; page <= pages; ++page)
        footers_ << (footer_for_page ? footer_for_page(page, pages) : QString());
}

PreparedReport::~PreparedReport() = default;

int PreparedReport::page_count() const { return static_cast<int>(footers_.size()); }

QSizeF PreparedReport::page_size() const { return page_size_; }

QString PreparedReport::footer_html(int page_index) const
{
    return page_index >= 0 && page_index < footers_.size() ? footers_.at(page_index) : QString();
}

const QTextDocument &PreparedReport::body() const { return *body_; }

void PreparedReport::paint_page(QPainter &painter, int page_index) const
{
    if (page_index < 0 || page_index >= page_count()) return;

    painter.save();
    painter.translate(kLeft, kTop - page_index * kBodyHeight);
    const QRectF clip(0, page_index * kBodyHeight, kBodyWidth, kBodyHeight);
    painter.setClipRect(clip);
    QAbstractTextDocumentLayout::PaintContext context;
    context.clip = clip;
    context.palette.setColor(QPalette::Text, Qt::black);
    body_->documentLayout()->draw(&painter, context);
    painter.restore();

    const QString footer = footers_.at(page_index);
    if (footer.trimmed().isEmpty()) return;
    QTextDocument doc;
    setup_document(doc);
    doc.setHtml(footer);
    doc.setTextWidth(kBodyWidth);
    painter.save();
    painter.translate(kLeft, kPageHeight - kBottom - kFooterHeight);
    // A thin rule separates the footer from the body.
    painter.setPen(QPen(Qt::black, 0.6));
    painter.drawLine(QPointF(0, 0), QPointF(kBodyWidth, 0));
    painter.translate(0, 2.0 * kMm);
    QAbstractTextDocumentLayout::PaintContext footer_context;
    footer_context.palette.setColor(QPalette::Text, Qt::black);
    footer_context.clip = QRectF(0, 0, kBodyWidth, kFooterHeight);
    doc.documentLayout()->draw(&painter, footer_context);
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
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(0, 0, 0, 0)));
    writer.setCreator(QStringLiteral("月销售计划"));
    if (!title.isEmpty()) writer.setTitle(title);
    if (!paint_all(writer))
        throw ReportError(QStringLiteral("无法写入PDF文件“%1”").arg(path).toStdString());
}

}  // namespace report
