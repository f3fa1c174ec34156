#include "report_preview.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableWidget>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "report.h"
#include "report_file.h"
#include "ui.h"

namespace report {

// Draws the current page on a grey desk, scaled by the zoom, with the hits
// of a search on it marked.
class PageView : public QWidget {
public:
    static constexpr int kDesk = 16;  // grey border around the page, in pixels

    PageView(const PreparedReport *pages, QWidget *parent) : QWidget(parent), pages_(pages)
    {
        setObjectName(QStringLiteral("page_view"));
        setAccessibleName(QStringLiteral("报表页面"));
        setAttribute(Qt::WA_OpaquePaintEvent);
        update_size();
    }

    void set_pages(const PreparedReport *pages)
    {
        pages_ = pages;
        update_size();
        update();
    }
    void set_page(int page) { page_ = page; update(); }
    void set_zoom(double zoom) { zoom_ = zoom; update_size(); update(); }
    void set_highlights(std::vector<QRectF> others, std::vector<QRectF> current)
    {
        others_ = std::move(others);
        current_ = std::move(current);
        update();
    }

    // Screen pixels per layout unit.
    double scale() const { return zoom_ * logicalDpiX() / PreparedReport::kLayoutDpi; }
    QSize page_pixels() const
    {
        const QSizeF size = pages_->page_size() * scale();
        return QSize(static_cast<int>(std::ceil(size.width())), static_cast<int>(std::ceil(size.height())));
    }
    // Where a rectangle of the page (layout units) lies on the view.
    QRect to_view(const QRectF &rect) const
    {
        return QRectF(rect.topLeft() * scale() + QPointF(kDesk, kDesk), rect.size() * scale()).toAlignedRect();
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
        pages_->paint_page(painter, page_);
        // Hits over the text, as a marker pen would mark them.
        painter.setCompositionMode(QPainter::CompositionMode_Multiply);
        for (const QRectF &rect : others_) painter.fillRect(rect, QColor(255, 240, 120));
        for (const QRectF &rect : current_) painter.fillRect(rect, QColor(255, 150, 50));
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.setPen(QPen(QColor(200, 60, 0), 0));
        for (const QRectF &rect : current_) painter.drawRect(rect);
    }

private:
    void update_size() { setFixedSize(page_pixels() + QSize(2 * kDesk, 2 * kDesk)); }

    const PreparedReport *pages_;
    int page_ = 0;
    double zoom_ = ReportPreview::kDefaultZoom;
    std::vector<QRectF> others_;
    std::vector<QRectF> current_;
};

namespace {

QString keys_text(const QList<QKeySequence> &keys)
{
    QStringList texts;
    for (const QKeySequence &key : keys)
        if (!key.isEmpty()) texts << key.toString(QKeySequence::NativeText);
    return texts.join(QStringLiteral("，"));
}

QString pdf_filter() { return QStringLiteral("PDF 文件 (*.pdf)"); }

// The proposed file name with its suffix replaced.
QString with_suffix(const QString &name, const QString &suffix)
{
    const QFileInfo info(name);
    const QString base = info.suffix().isEmpty() ? name : name.left(name.size() - info.suffix().size() - 1);
    return base + QLatin1Char('.') + suffix;
}

}  // namespace

QAction *ReportPreview::add_action(QToolBar *bar, const QString &name, const QString &text,
                                   const QList<QKeySequence> &keys)
{
    auto *action = new QAction(text, this);
    action->setObjectName(name);
    action->setShortcuts(keys);
    const QString shortcut = keys_text(keys);
    action->setToolTip(shortcut.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, shortcut));
    if (bar) {
        bar->addAction(action);
        if (QWidget *button = bar->widgetForAction(action)) {
            button->setObjectName(name + QStringLiteral("_button"));
            button->setAccessibleName(text);
        }
    } else {
        // Not on the toolbar: the window itself takes its keys.
        addAction(action);
    }
    return action;
}

ReportPreview::ReportPreview(const PreparedReport &pages, QWidget *parent, const QString &title)
    : QDialog(parent), pages_(&pages), title_(title)
{
    setObjectName(QStringLiteral("report_preview"));
    setAccessibleName(QStringLiteral("打印预览"));
    setWindowTitle(title.isEmpty() ? QStringLiteral("打印预览") : QStringLiteral("打印预览 - %1").arg(title));
    setModal(true);

    auto *bar = new QToolBar(this);
    bar->setObjectName(QStringLiteral("preview_toolbar"));
    bar->setAccessibleName(QStringLiteral("预览工具栏"));
    bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    connect(add_action(bar, "action_zoom_in", QStringLiteral("放大"), QKeySequence::keyBindings(QKeySequence::ZoomIn)),
            &QAction::triggered, this, &ReportPreview::zoom_in);
    connect(add_action(bar, "action_zoom_out", QStringLiteral("缩小"), QKeySequence::keyBindings(QKeySequence::ZoomOut)),
            &QAction::triggered, this, &ReportPreview::zoom_out);
    connect(add_action(bar, "action_zoom_100", QStringLiteral("实际大小"), {QKeySequence(Qt::CTRL | Qt::Key_0)}),
            &QAction::triggered, this, [this] { set_zoom(kDefaultZoom); });
    connect(add_action(bar, "action_fit_width", QStringLiteral("适合宽度"), {}), &QAction::triggered, this,
            &ReportPreview::fit_width);
    zoom_label_ = new QLabel(bar);
    zoom_label_->setObjectName(QStringLiteral("zoom_label"));
    zoom_label_->setAccessibleName(QStringLiteral("缩放比例"));
    zoom_label_->setMinimumWidth(48);
    zoom_label_->setAlignment(Qt::AlignCenter);
    bar->addWidget(zoom_label_);
    bar->addSeparator();
    connect(add_action(bar, "action_first", QStringLiteral("首页"), {QKeySequence(Qt::CTRL | Qt::Key_Home)}),
            &QAction::triggered, this, [this] { show_page(0); });
    connect(add_action(bar, "action_prior", QStringLiteral("上页"), {QKeySequence(Qt::Key_PageUp)}),
            &QAction::triggered, this, [this] { show_page(page_ - 1); });
    page_label_ = new QLabel(bar);
    page_label_->setObjectName(QStringLiteral("page_label"));
    page_label_->setAccessibleName(QStringLiteral("页码"));
    page_label_->setMinimumWidth(110);
    page_label_->setAlignment(Qt::AlignCenter);
    bar->addWidget(page_label_);
    connect(add_action(bar, "action_next", QStringLiteral("下页"), {QKeySequence(Qt::Key_PageDown)}),
            &QAction::triggered, this, [this] { show_page(page_ + 1); });
    connect(add_action(bar, "action_last", QStringLiteral("末页"), {QKeySequence(Qt::CTRL | Qt::Key_End)}),
            &QAction::triggered, this, [this] { show_page(page_count() - 1); });
    bar->addSeparator();
    connect(add_action(bar, "action_open", QStringLiteral("打开"), {QKeySequence(Qt::CTRL | Qt::Key_O)}),
            &QAction::triggered, this, [this] { ui::guarded(this, [this] { open_report(); }); });
    connect(add_action(bar, "action_save", QStringLiteral("保存"), {QKeySequence(Qt::CTRL | Qt::Key_S)}),
            &QAction::triggered, this, [this] { ui::guarded(this, [this] { save_report(); }); });
    connect(add_action(bar, "action_save_pdf", QStringLiteral("另存为PDF"), {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S)}),
            &QAction::triggered, this, [this] { ui::guarded(this, [this] { save_report_as_pdf(); }); });
    connect(add_action(bar, "action_print", QStringLiteral("打印"), {QKeySequence(Qt::CTRL | Qt::Key_P)}),
            &QAction::triggered, this, [this] { ui::guarded(this, [this] { print_report(); }); });
    bar->addSeparator();
    connect(add_action(bar, "action_find", QStringLiteral("查找"), {QKeySequence(Qt::CTRL | Qt::Key_F)}),
            &QAction::triggered, this, &ReportPreview::show_find_bar);
    connect(add_action(nullptr, "action_find_next", QStringLiteral("查找下一个"), {QKeySequence(Qt::Key_F3)}),
            &QAction::triggered, this, [this] { find_next(); });
    connect(add_action(nullptr, "action_find_previous", QStringLiteral("查找上一个"),
                       {QKeySequence(Qt::SHIFT | Qt::Key_F3)}),
            &QAction::triggered, this, [this] { find_previous(); });
    connect(add_action(bar, "action_help", QStringLiteral("帮助"), {QKeySequence(Qt::Key_F1)}), &QAction::triggered,
            this, [this] { ui::guarded(this, [this] { show_help(); }); });
    bar->addSeparator();
    connect(add_action(bar, "action_close", QStringLiteral("关闭"), {}), &QAction::triggered, this,
            &QDialog::accept);

    view_ = new PageView(pages_, this);
    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("page_scroll"));
    scroll_->setAccessibleName(QStringLiteral("报表页面区"));
    scroll_->setBackgroundRole(QPalette::Dark);
    scroll_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    scroll_->setWidget(view_);

    // The find bar: text, previous, next, what was found, close.
    find_bar_ = new QWidget(this);
    find_bar_->setObjectName(QStringLiteral("find_bar"));
    find_bar_->setAccessibleName(QStringLiteral("查找栏"));
    auto *find_label = new QLabel(QStringLiteral("查找："), find_bar_);
    find_label->setObjectName(QStringLiteral("find_label"));
    find_label->setAccessibleName(QStringLiteral("查找"));
    find_edit_ = new QLineEdit(find_bar_);
    find_edit_->setObjectName(QStringLiteral("find_text"));
    find_edit_->setAccessibleName(QStringLiteral("查找内容"));
    find_edit_->setPlaceholderText(QStringLiteral("要查找的文字"));
    find_edit_->setClearButtonEnabled(true);
    find_edit_->installEventFilter(this);
    find_label->setBuddy(find_edit_);
    connect(find_edit_, &QLineEdit::textEdited, this, [this] { hits_valid_ = false; });
    auto make_button = [this](const QString &name, QAction *action) {
        auto *button = new QToolButton(find_bar_);
        button->setObjectName(name);
        button->setDefaultAction(action);
        button->setAccessibleName(action->text());
        return button;
    };
    QToolButton *previous_button = make_button(QStringLiteral("find_previous_button"), action("action_find_previous"));
    QToolButton *next_button = make_button(QStringLiteral("find_next_button"), action("action_find_next"));
    find_status_ = new QLabel(find_bar_);
    find_status_->setObjectName(QStringLiteral("find_status"));
    find_status_->setAccessibleName(QStringLiteral("查找结果"));
    auto *close_find = new QToolButton(find_bar_);
    close_find->setObjectName(QStringLiteral("find_close_button"));
    close_find->setText(QStringLiteral("关闭查找栏"));
    close_find->setAccessibleName(QStringLiteral("关闭查找栏"));
    close_find->setToolTip(QStringLiteral("关闭查找栏 (Esc)"));
    connect(close_find, &QToolButton::clicked, this, &ReportPreview::hide_find_bar);
    auto *find_layout = new QHBoxLayout(find_bar_);
    find_layout->setContentsMargins(6, 3, 6, 3);
    find_layout->addWidget(find_label);
    find_layout->addWidget(find_edit_, 1);
    find_layout->addWidget(previous_button);
    find_layout->addWidget(next_button);
    find_layout->addWidget(find_status_, 1);
    find_layout->addWidget(close_find);
    find_bar_->hide();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(bar);
    layout->addWidget(scroll_, 1);
    layout->addWidget(find_bar_);

    resize(1000, 760);
    update_state();
}

ReportPreview::~ReportPreview() = default;

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
    const double page_width = pages_->page_size().width() * view_->logicalDpiX() / PreparedReport::kLayoutDpi;
    if (available > 0 && page_width > 0) set_zoom(available / page_width);
}

int ReportPreview::current_page() const { return page_; }

int ReportPreview::page_count() const { return pages_->page_count(); }

void ReportPreview::show_page(int page_index)
{
    page_ = std::clamp(page_index, 0, std::max(0, page_count() - 1));
    view_->set_page(page_);
    scroll_->verticalScrollBar()->setValue(0);
    update_highlights();
    update_state();
}

const PreparedReport &ReportPreview::pages() const { return *pages_; }

QString ReportPreview::title() const { return title_; }

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
    for (const char *name : {"action_print", "action_save", "action_save_pdf", "action_find"})
        action(QLatin1String(name))->setEnabled(pages > 0);
}

void ReportPreview::set_pages(const PreparedReport *pages)
{
    pages_ = pages;
    view_->set_pages(pages_);
    hits_.clear();
    hits_valid_ = false;
    hit_ = -1;
    find_status_->clear();
    show_page(0);
}

// ---------------------------------------------------------------------------
// Open and save

void ReportPreview::open_report()
{
    QFileDialog dialog(this, QStringLiteral("打开"));
    dialog.setObjectName(QStringLiteral("open_dialog"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilters({pages_file_filter(), QStringLiteral("所有文件 (*)")});
    if (!last_folder_.isEmpty()) dialog.setDirectory(last_folder_);
    if (ui::show_modal(&dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    open_file(dialog.selectedFiles().constFirst());
}

bool ReportPreview::open_file(const QString &path)
{
    std::unique_ptr<PreparedReport> loaded;
    try {
        loaded = read_pages_file(path);
    } catch (const std::exception &e) {
        ui::message_box(this, QString::fromUtf8(e.what()), QStringLiteral("警告"), ui::mb::icon_warning);
        return false;
    }
    const QFileInfo info(path);
    last_folder_ = info.absolutePath();
    title_ = info.completeBaseName();
    setWindowTitle(QStringLiteral("打印预览 - %1").arg(info.fileName()));
    // The view lets go of the pages shown before they are freed.
    set_pages(loaded.get());
    opened_ = std::move(loaded);
    return true;
}

void ReportPreview::save_report()
{
    const QString pages_filter = pages_file_filter();
    const QString suffix = QString::fromLatin1(kPagesFileSuffix);
    QFileDialog dialog(this, QStringLiteral("保存"));
    dialog.setObjectName(QStringLiteral("save_dialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilters({pdf_filter(), pages_filter});
    dialog.selectNameFilter(pdf_filter());
    dialog.setDefaultSuffix(QStringLiteral("pdf"));
    if (!last_folder_.isEmpty()) dialog.setDirectory(last_folder_);
    dialog.selectFile((title_.isEmpty() ? QStringLiteral("报表") : title_) + QStringLiteral(".pdf"));
    // Choosing the type changes the suffix of the name being typed.
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, pages_filter, suffix](const QString &filter) {
        const QString wanted = filter == pages_filter ? suffix : QStringLiteral("pdf");
        dialog.setDefaultSuffix(wanted);
        if (auto *name = dialog.findChild<QLineEdit *>(QStringLiteral("fileNameEdit")); name && !name->text().isEmpty())
            name->setText(with_suffix(name->text(), wanted));
    });
    if (ui::show_modal(&dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;

    const QString path = dialog.selectedFiles().constFirst();
    last_folder_ = QFileInfo(path).absolutePath();
    // The name's suffix says the type; a name without a known one takes the
    // type chosen.
    const QString given = QFileInfo(path).suffix().toLower();
    const bool as_pages = given == suffix || (given != QStringLiteral("pdf") && dialog.selectedNameFilter() == pages_filter);
    if (as_pages)
        save_pages(path);
    else
        save_pdf(path);
}

void ReportPreview::save_report_as_pdf()
{
    QFileDialog dialog(this, QStringLiteral("另存为PDF"));
    dialog.setObjectName(QStringLiteral("save_pdf_dialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilter(pdf_filter());
    dialog.setDefaultSuffix(QStringLiteral("pdf"));
    if (!last_folder_.isEmpty()) dialog.setDirectory(last_folder_);
    dialog.selectFile((title_.isEmpty() ? QStringLiteral("报表") : title_) + QStringLiteral(".pdf"));
    if (ui::show_modal(&dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    last_folder_ = QFileInfo(dialog.selectedFiles().constFirst()).absolutePath();
    save_pdf(dialog.selectedFiles().constFirst());
}

bool ReportPreview::save_pdf(const QString &path)
{
    try {
        pages_->write_pdf(path, title_);
        return true;
    } catch (const std::exception &e) {
        ui::message_box(this, QString::fromUtf8(e.what()), QStringLiteral("警告"), ui::mb::icon_warning);
        return false;
    }
}

bool ReportPreview::save_pages(const QString &path)
{
    try {
        write_pages_file(*pages_, path);
        return true;
    } catch (const std::exception &e) {
        ui::message_box(this, QString::fromUtf8(e.what()), QStringLiteral("警告"), ui::mb::icon_warning);
        return false;
    }
}

void ReportPreview::print_report()
{
    QPrinter printer(QPrinter::HighResolution);
    printer.setFullPage(true);
    printer.setPageLayout(pages_->page_layout());
    printer.setDocName(title_.isEmpty() ? QStringLiteral("报表") : title_);
    printer.setFromTo(1, page_count());
    QPrintDialog dialog(&printer, this);
    dialog.setWindowTitle(QStringLiteral("打印"));
    dialog.setMinMax(1, page_count());
    if (ui::show_modal(&dialog) != QDialog::Accepted) return;
    const bool range = printer.printRange() == QPrinter::PageRange;
    if (!pages_->paint_all(printer, range ? printer.fromPage() : 0, range ? printer.toPage() : 0))
        ui::message_box(this, QStringLiteral("打印失败！"), QStringLiteral("警告"), ui::mb::icon_warning);
}

// ---------------------------------------------------------------------------
// Find

void ReportPreview::show_find_bar()
{
    find_bar_->show();
    find_edit_->setFocus(Qt::ShortcutFocusReason);
    find_edit_->selectAll();
}

void ReportPreview::hide_find_bar()
{
    find_bar_->hide();
    hit_ = -1;
    update_highlights();
    scroll_->setFocus();
}

bool ReportPreview::find_bar_visible() const { return find_bar_->isVisible(); }

void ReportPreview::set_find_text(const QString &text)
{
    find_edit_->setText(text);
    hits_valid_ = false;
}

const std::vector<TextHit> &ReportPreview::hits() const { return hits_; }

int ReportPreview::current_hit() const { return hit_; }

QString ReportPreview::find_status() const { return find_status_->text(); }

// Searches the pages for the text in the find bar unless that was done
// already; false when there is nothing to show.
bool ReportPreview::search_ready()
{
    if (!find_bar_->isVisible()) show_find_bar();
    const QString text = find_edit_->text();
    if (!hits_valid_ || text != searched_) {
        hits_ = pages_->find(text);
        searched_ = text;
        hits_valid_ = true;
        hit_ = -1;
    }
    if (text.isEmpty()) {
        find_status_->setText(QStringLiteral("请输入要查找的文字"));
        update_highlights();
        return false;
    }
    if (hits_.empty()) {
        find_status_->setText(QStringLiteral("未找到“%1”").arg(text));
        update_highlights();
        return false;
    }
    return true;
}

bool ReportPreview::find_next()
{
    if (!search_ready()) return false;
    if (hit_ < 0) {
        // The first search starts on the page shown.
        const auto from = std::find_if(hits_.begin(), hits_.end(), [this](const TextHit &h) { return h.page >= page_; });
        return show_hit(from == hits_.end() ? 0 : static_cast<int>(from - hits_.begin()),
                        from == hits_.end() ? QStringLiteral("已查到末尾，从头继续") : QString());
    }
    if (hit_ + 1 < static_cast<int>(hits_.size())) return show_hit(hit_ + 1, {});
    return show_hit(0, QStringLiteral("已查到末尾，从头继续"));
}

bool ReportPreview::find_previous()
{
    if (!search_ready()) return false;
    if (hit_ < 0) {
        const auto from = std::find_if(hits_.rbegin(), hits_.rend(), [this](const TextHit &h) { return h.page <= page_; });
        const int index = from == hits_.rend() ? static_cast<int>(hits_.size()) - 1
                                               : static_cast<int>(hits_.rend() - from) - 1;
        return show_hit(index, from == hits_.rend() ? QStringLiteral("已查到开头，从末尾继续") : QString());
    }
    if (hit_ > 0) return show_hit(hit_ - 1, {});
    return show_hit(static_cast<int>(hits_.size()) - 1, QStringLiteral("已查到开头，从末尾继续"));
}

bool ReportPreview::show_hit(int index, const QString &note)
{
    hit_ = index;
    const TextHit &hit = hits_[static_cast<std::size_t>(index)];
    const QString where = QStringLiteral("第 %1 处，共 %2 处").arg(index + 1).arg(hits_.size());
    find_status_->setText(note.isEmpty() ? where : note + QStringLiteral("：") + where);
    show_page(hit.page);
    // Scroll the hit into view.
    QRectF area;
    for (const QRectF &rect : hit.rects) area = area.united(rect);
    const QRect on_view = view_->to_view(area);
    scroll_->ensureVisible(on_view.center().x(), on_view.center().y(), on_view.width() / 2 + 60,
                           on_view.height() / 2 + 60);
    return true;
}

void ReportPreview::update_highlights()
{
    std::vector<QRectF> others, current;
    for (int i = 0; i < static_cast<int>(hits_.size()) && hit_ >= 0; ++i) {
        const TextHit &hit = hits_[static_cast<std::size_t>(i)];
        if (hit.page != page_) continue;
        auto &into = i == hit_ ? current : others;
        into.insert(into.end(), hit.rects.begin(), hit.rects.end());
    }
    view_->set_highlights(std::move(others), std::move(current));
}

bool ReportPreview::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == find_edit_ && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Escape) {
            hide_find_bar();
            return true;
        }
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers() & Qt::ShiftModifier)
                find_previous();
            else
                find_next();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------
// Help

std::vector<ReportPreview::KeyHelp> ReportPreview::key_help() const
{
    std::vector<KeyHelp> rows;
    // The commands in the order the toolbar shows them, then those that only
    // have keys.
    const QList<QAction *> commands = findChildren<QAction *>(QString(), Qt::FindDirectChildrenOnly);
    for (const QAction *command : commands) {
        const QString keys = keys_text(command->shortcuts());
        if (!keys.isEmpty()) rows.push_back({keys, QString(command->text()).remove(QLatin1Char('&'))});
    }
    // The keys of the window and of the find bar.
    const auto key = [](QKeySequence sequence) { return sequence.toString(QKeySequence::NativeText); };
    rows.push_back({key(QKeySequence(Qt::Key_Escape)), QStringLiteral("关闭预览（在查找栏中：关闭查找栏）")});
    rows.push_back({key(QKeySequence(Qt::Key_Return)), QStringLiteral("在查找栏中：查找下一个")});
    rows.push_back({key(QKeySequence(Qt::SHIFT | Qt::Key_Return)), QStringLiteral("在查找栏中：查找上一个")});
    return rows;
}

void ReportPreview::show_help()
{
    QDialog dialog(this);
    dialog.setObjectName(QStringLiteral("preview_help"));
    dialog.setAccessibleName(QStringLiteral("打印预览的按键"));
    dialog.setWindowTitle(QStringLiteral("帮助"));
    auto *heading = new QLabel(QStringLiteral("打印预览的按键："), &dialog);
    heading->setObjectName(QStringLiteral("help_heading"));
    heading->setAccessibleName(QStringLiteral("打印预览的按键"));
    const std::vector<KeyHelp> rows = key_help();
    auto *table = new QTableWidget(static_cast<int>(rows.size()), 2, &dialog);
    table->setObjectName(QStringLiteral("help_keys"));
    table->setAccessibleName(QStringLiteral("按键列表"));
    table->setHorizontalHeaderLabels({QStringLiteral("按键"), QStringLiteral("功能")});
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        table->setItem(r, 0, new QTableWidgetItem(rows[static_cast<std::size_t>(r)].keys));
        table->setItem(r, 1, new QTableWidgetItem(rows[static_cast<std::size_t>(r)].command));
    }
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 8);
    table->resizeColumnsToContents();
    table->horizontalHeader()->setStretchLastSection(true);
    table->setCurrentCell(-1, -1);
    auto *buttons = new QDialogButtonBox(&dialog);
    QPushButton *close = buttons->addButton(QStringLiteral("关闭"), QDialogButtonBox::RejectRole);
    close->setObjectName(QStringLiteral("help_close"));
    close->setAccessibleName(QStringLiteral("关闭"));
    close->setDefault(true);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto *layout = new QVBoxLayout(&dialog);
    layout->addWidget(heading);
    layout->addWidget(table, 1);
    layout->addWidget(buttons);
    // Room for every row without scrolling, as far as the screen allows.
    const int rows_height = table->horizontalHeader()->sizeHint().height() +
                            table->verticalHeader()->defaultSectionSize() * table->rowCount() + 4;
    dialog.resize(460, std::min(rows_height + 110, 700));
    ui::show_modal(&dialog);
}

}  // namespace report
