// The modal preview of a prepared report: zoom, page navigation, print
// (the system's print dialog), save as PDF and close.
#pragma once

#include <QDialog>

class QAction;
class QLabel;
class QScrollArea;

namespace report {

class PreparedReport;
class PageView;

class ReportPreview : public QDialog {
    Q_OBJECT
public:
    // `pages` must outlive the preview.
    explicit ReportPreview(const PreparedReport &pages, QWidget *parent = nullptr, const QString &title = {});

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

    // Asks for a printer with the system's print dialog and prints.
    void print_report();
    // Asks for a file name and saves; save_pdf writes to the file given and
    // reports a failure in a message box. True when the file was written.
    void save_report();
    bool save_pdf(const QString &path);

    QString page_label_text() const;
    QAction *action(const QString &object_name) const;

private:
    void update_state();

    const PreparedReport &pages_;
    QString title_;
    PageView *view_ = nullptr;
    QScrollArea *scroll_ = nullptr;
    QLabel *page_label_ = nullptr;
    QLabel *zoom_label_ = nullptr;
    double zoom_ = 1.0;
    int page_ = 0;
};

}  // namespace report
