#include "report_preview.h"

#include <QAction>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "report.h"
#include "report_pages.h"
#include "ui.h"

namespace report {

// Draws the current page on a grey desk, scaled by the zoom.
class PageView : public QWidget {
public:
    static constexpr int kDesk = 16;  // grey border around the page, in pixels

    PageView(const PreparedReport &pages, QWidget *parent) : QWidget(parent), pages_(pages)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        update_size();
    }

    void set_page(int page) { page_ = page; update(); }
    void set_zoom(double zoom) { zoom_ = zoom; update_size(); update(); }

    // Screen pixels per layout unit.
    double scale() const { return zoom_ * logicalDpiX() / PreparedReport::kLayoutDpi; }
    QSize page_pixels() const
    {
        const QSizeF size = pages_.page_size() * scale();
        return QSize(static_cast<int>(std::ceil(size.width())), static_cast<int>(std::ceil(size.height())));
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QPainter painter(this);
        painter.fillRect(event->rect(), QColor(128, 128, 128));
        const QRect page(QPoint(kDesk, kDesk), page_pixels());
        painter.fillRect(page.translated(3, 3), QColor(70, 70, 70));
        painter.fillRect(page, Qt::white);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.translate(page.topLeft());
        painter.scale(scale(), scale());
        pages_.paint_page(painter, page_);
    }

private:
    void update_size() { setFixedSize(page_pixels() + QSize(2 * kDesk, 2 * kDesk)); }

    const PreparedReport &pages_;
    int page_ = 0;
    double zoom_ = 1.0;
};

namespace {

QAction *add_action(QToolBar *bar, const QString &name, const QString &text, const QKeySequence &key)
{
    QAction *action = bar->addAction(text);
    action->setObjectName(name);
    if (!key.isEmpty()) action->setShortcut(key);
    return action;
}

}  // namespace

ReportPreview::ReportPreview(const PreparedReport &pages, QWidget *parent, const QString &title)
    : QDialog(parent), pages_(pages), title_(title)
{
    setObjectName(QStringLiteral("report_preview"));
    setWindowTitle(title.isEmpty() ? QStringLiteral("打印预览") : QStringLiteral("打印预览 - %1").arg(title));
    setModal(true);

    auto *bar = new QToolBar(this);
    bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    connect(add_action(bar, "action_zoom_in", QStringLiteral("放大"), QKeySequence::ZoomIn), &QAction::triggered,
            this, &ReportPreview::zoom_in);
    connect(add_action(bar, "action_zoom_out", QStringLiteral("缩小"), QKeySequence::ZoomOut),
            &QAction::triggered, this, &ReportPreview::zoom_out);
    connect(add_action(bar, "action_zoom_100", QStringLiteral("实际大小"), QKeySequence(Qt::CTRL | Qt::Key_0)), &QAction::triggered, this,
            [this] { set_zoom(1.0); });
    connect(add_action(bar, "action_fit_width", QStringLiteral("适合宽度"), QKeySequence()), &QAction::triggered,
            this, &ReportPreview::fit_width);
    zoom_label_ = new QLabel(bar);
    zoom_label_->setObjectName(QStringLiteral("zoom_label"));
    zoom_label_->setMinimumWidth(48);
    zoom_label_->setAlignment(Qt::AlignCenter);
    bar->addWidget(zoom_label_);
    bar->addSeparator();
    connect(add_action(bar, "action_first", QStringLiteral("首页"), QKeySequence(Qt::CTRL | Qt::Key_Home)),
            &QAction::triggered, this, [this] { show_page(0); });
    connect(add_action(bar, "action_prior", QStringLiteral("上页"), QKeySequence(Qt::Key_PageUp)),
            &QAction::triggered, this, [this] { show_page(page_ - 1); });
    page_label_ = new QLabel(bar);
    page_label_->setObjectName(QStringLiteral("page_label"));
    page_label_->setMinimumWidth(110);
    page_label_->setAlignment(Qt::AlignCenter);
    bar->addWidget(page_label_);
    connect(add_action(bar, "action_next", QStringLiteral("下页"), QKeySequence(Qt::Key_PageDown)),
            &QAction::triggered, this, [this] { show_page(page_ + 1); });
    connect(add_action(bar, "action_last", QStringLiteral("末页"), QKeySequence(Qt::CTRL | Qt::Key_End)),
            &QAction::triggered, this, [this] { show_page(page_count() - 1); });
    bar->addSeparator();
    connect(add_action(bar, "action_print", QStringLiteral("打印"), QKeySequence::Print), &QAction::triggered, this,
            &ReportPreview::print_report);
    connect(add_action(bar, "action_save_pdf", QStringLiteral("另存为PDF"), QKeySequence::Save),
            &QAction::triggered, this, &ReportPreview::save_report);
    bar->addSeparator();
    connect(add_action(bar, "action_close", QStringLiteral("关闭"), QKeySequence()), &QAction::triggered, this,
            &QDialog::accept);

    view_ = new PageView(pages_, this);
    scroll_ = new QScrollArea(this);
    scroll_->setBackgroundRole(QPalette::Dark);
    scroll_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    scroll_->setWidget(view_);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(bar);
    layout->addWidget(scroll_, 1);

    resize(900, 760);
    update_state();
}

double ReportPreview::zoom() const { return zoom_; }

void ReportPreview::set_zoom(double zoom)
{
    zoom_ = std::clamp(zoom, kMinZoom, kMaxZoom);
    view_->set_zoom(zoom_);
    update_state();
}

void ReportPreview::zoom_in() { set_zoom(zoom_ * 1.25); }

void ReportPreview::zoom_out() { set_zoom(zoom_ / 1.25); }

void ReportPreview::fit_width()
{
    // The width the page may take: the viewport less the desk and a
    // vertical scroll bar.
    const int available = scroll_->viewport()->width() - 2 * PageView::kDesk - scroll_->verticalScrollBar()->sizeHint().width();
    const double page_width = pages_.page_size().width() * view_->logicalDpiX() / PreparedReport::kLayoutDpi;
    if (available > 0 && page_width > 0) set_zoom(available / page_width);
}

int ReportPreview::current_page() const { return page_; }

int ReportPreview::page_count() const { return pages_.page_count(); }

void ReportPreview::show_page(int page_index)
{
    page_ = std::clamp(page_index, 0, std::max(0, page_count() - 1));
    view_->set_page(page_);
    scroll_->verticalScrollBar()->setValue(0);
    update_state();
}

QString ReportPreview::page_label_text() const { return page_label_->text(); }

QAction *ReportPreview::action(const QString &object_name) const
{
    return findChild<QAction *>(object_name);
}

void ReportPreview::update_state()
{
    const int pages = page_count();
    page_label_->setText(pages > 0 ? QStringLiteral("第 %1 页 / 共 %2 页").arg(page_ + 1).arg(pages)
                                   : QStringLiteral("无页面"));
    zoom_label_->setText(QStringLiteral("%1%").arg(qRound(zoom_ * 100)));
    action("action_first")->setEnabled(page_ > 0);
    action("action_prior")->setEnabled(page_ > 0);
    action("action_next")->setEnabled(page_ + 1 < pages);
    action("action_last")->setEnabled(page_ + 1 < pages);
    action("action_zoom_in")->setEnabled(zoom_ < kMaxZoom);
    action("action_zoom_out")->setEnabled(zoom_ > kMinZoom);
    action("action_print")->setEnabled(pages > 0);
    action("action_save_pdf")->setEnabled(pages > 0);
}

void ReportPreview::print_report()
{
    QPrinter printer(QPrinter::HighResolution);
    printer.setFullPage(true);
    printer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(0, 0, 0, 0)));
    printer.setDocName(title_.isEmpty() ? QStringLiteral("报表") : title_);
    printer.setFromTo(1, page_count());
    QPrintDialog dialog(&printer, this);
    dialog.setWindowTitle(QStringLiteral("打印"));
    dialog.setMinMax(1, page_count());
    if (ui::show_modal(&dialog) != QDialog::Accepted) return;
    const bool range = printer.printRange() == QPrinter::PageRange;
    if (!pages_.paint_all(printer, range ? printer.fromPage() : 0, range ? printer.toPage() : 0))
        ui::message_box(this, QStringLiteral("打印失败！"), QStringLiteral("警告"), ui::mb::icon_warning);
}

void ReportPreview::save_report()
{
    QFileDialog dialog(this, QStringLiteral("另存为PDF"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilter(QStringLiteral("PDF 文件 (*.pdf)"));
    dialog.setDefaultSuffix(QStringLiteral("pdf"));
    dialog.selectFile(title_.isEmpty() ? QStringLiteral("报表.pdf") : title_ + QStringLiteral(".pdf"));
    if (ui::show_modal(&dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    save_pdf(dialog.selectedFiles().constFirst());
}

bool ReportPreview::save_pdf(const QString &path)
{
    try {
        pages_.write_pdf(path, title_);
        return true;
    } catch (const std::exception &e) {
        ui::message_box(this, QString::fromStdString(e.what()), QStringLiteral("警告"), ui::mb::icon_warning);
        return false;
    }
}

}  // namespace report
