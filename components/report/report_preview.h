// The modal preview of prepared pages: zoom, page navigation, open a saved
// report file, save (as PDF or as a report file), print (the system's print
// dialog), find text, help on the keys, close. It shows whatever pages it is
// given, on whatever paper they were laid out; nothing in it belongs to one
// printout.
#pragma once

#include <QDialog>

#include <memory>
#include <vector>

#include "report_pages.h"

class QAction;
class QLabel;
class QLineEdit;
class QScrollArea;
class QToolBar;

namespace report {

class PageView;

class ReportPreview : public QDialog {
    Q_OBJECT
public:
    // `pages` must outlive the preview. `title` names the report in the
    // window title, proposed file names and the printer's job.
    explicit ReportPreview(const PreparedReport &pages, QWidget *parent = nullptr, const QString &title = {});
    ~ReportPreview() override;

    // The zoom the preview opens at: the page at its real size.
    static constexpr double kDefaultZoom = 1.0;
    static constexpr double kMinZoom = 0.25;
    static constexpr double kMaxZoom = 4.0;

    double zoom() const;
    void set_zoom(double zoom);  // clamped to kMinZoom..kMaxZoom
    void zoom_in();
    void zoom_out();
    void fit_width();

    int current_page() const;  // 0-based
    int page_count() const;
    void show_page(int page_index);  // clamped to the pages there are

    // The pages shown: those given, or those of the file opened last.
    const PreparedReport &pages() const;
    QString title() const;

    // 打开: asks for a report file and shows its pages. open_file shows the
    // file given; a file that cannot be shown is reported in a message box
    // and the pages shown stay. True when the file's pages are shown.
    void open_report();
    bool open_file(const QString &path);

    // 保存: asks for a file name and a type (PDF, the default, or a report
    // file that 打开 shows again). 另存为PDF: asks for a PDF file name.
    // save_pdf and save_pages write the file given and report a failure in
    // a message box. True when the file was written.
    void save_report();
    void save_report_as_pdf();
    bool save_pdf(const QString &path);
    bool save_pages(const QString &path);

    // Asks for a printer with the system's print dialog and prints.
    void print_report();

    // 查找: the find bar under the pages. The first search starts on the page
    // shown; next and previous go on through every hit in page order and
    // wrap around at the end (the status says so). The hit shown is
    // highlighted on its page and the page turned to it.
    void show_find_bar();
    void hide_find_bar();
    bool find_bar_visible() const;
    void set_find_text(const QString &text);
    bool find_next();      // true when a hit is shown
    bool find_previous();
    const std::vector<TextHit> &hits() const;  // of the text searched last
    int current_hit() const;                   // index into hits(); -1 for none
    QString find_status() const;

    // 帮助: the preview's keys, from the shortcuts its commands have.
    struct KeyHelp {
        QString keys;
        QString command;
    };
    std::vector<KeyHelp> key_help() const;
    void show_help();

    QString page_label_text() const;
    QAction *action(const QString &object_name) const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QAction *add_action(QToolBar *bar, const QString &name, const QString &text, const QList<QKeySequence> &keys);
    void set_pages(const PreparedReport *pages);
    void update_state();
    void update_highlights();
    bool search_ready();
    bool show_hit(int index, const QString &note);

    const PreparedReport *pages_;
    std::unique_ptr<PreparedReport> opened_;  // the pages of a file opened
    QString title_;
    PageView *view_ = nullptr;
    QScrollArea *scroll_ = nullptr;
    QLabel *page_label_ = nullptr;
    QLabel *zoom_label_ = nullptr;
    QWidget *find_bar_ = nullptr;
    QLineEdit *find_edit_ = nullptr;
    QLabel *find_status_ = nullptr;
    std::vector<TextHit> hits_;
    QString searched_;       // the text hits_ belong to
    bool hits_valid_ = false;
    int hit_ = -1;
    QString last_folder_;
    double zoom_ = kDefaultZoom;
    int page_ = 0;
};

}  // namespace report
