// The report engine: a template loaded from a file, a list of named report
// variables, a dataset link that supplies the rows, the paper, prepared pages
// that go to PDF, to a printer, to a file of the engine's own or to a modal
// preview. Any printout uses it the same way: its own template, variables,
// dataset, paper and title.
//
// The template format (an HTML document with Mustache tags) is described in
// docs/report_template.md.
#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "report_pages.h"
#include "wire.h"

class QPrinter;
class QPainter;
class QWidget;

namespace dataset {
class ClientDataset;
}

namespace report {

// A template that cannot be read or is not a valid template, a report that
// cannot be prepared, a PDF that cannot be written. The message names the file.
class ReportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The rows a report is prepared from: the fields (in dataset order) and the
// values of every row of the dataset's view.
struct ReportField {
    std::string name;
    bool numeric = false;
};

struct ReportRows {
    std::vector<ReportField> fields;
    std::vector<wire::Row> rows;
};

// A list a program hands the template besides the dataset's rows: items of
// named texts, each of which may hold lists of its own (a board printed in
// sheets of columns: each sheet its headers and its lines, each line its
// cells). A template walks it with a section of the list's name.
struct ReportItem;
using ReportList = std::vector<ReportItem>;
struct ReportItem {
    std::map<std::string, std::string> values;
    std::map<std::string, ReportList> lists;
    // A flag for sections: an item's section of this name shows when true.
    std::map<std::string, bool> flags;
};

}  // namespace report

// The report's dataset link: reads the rows of a client dataset's current view
// (as its filter narrows them), every field by name. The dataset's cursor is
// left where it was.
class TfrDBDataSet {
public:
    explicit TfrDBDataSet(dataset::ClientDataset *dataset = nullptr);

    void set_dataset(dataset::ClientDataset *dataset);
    // The dataset is looked up at each read, so a link can follow whatever
    // dataset is current when the report is prepared (the current data module
    // may change between prints). Replaces a dataset set with set_dataset.
    void set_dataset_source(std::function<dataset::ClientDataset *()> source);
    dataset::ClientDataset *dataset() const;

    // Reads the view. `progress(done, total)` is called as rows are read.
    // An inactive or absent dataset gives no rows.
    report::ReportRows read(const std::function<void(int, int)> &progress = {}) const;

private:
    dataset::ClientDataset *dataset_ = nullptr;
    std::function<dataset::ClientDataset *()> source_;
};

namespace report {
class PreparedReport;
}

class TfrReport : public QObject {
    Q_OBJECT
public:
    explicit TfrReport(QObject *parent = nullptr);
    ~TfrReport() override;

    // Loads a template. A bare name is looked up in the current directory.
    // A missing file returns false and keeps the template held so far; a file
    // that cannot be read or is not a valid template throws report::ReportError
    // and also keeps the template held so far.
    bool LoadFromFile(const QString &file_name);
    // The same from text; `origin` names the template in error messages.
    void load_from_text(const QString &text, const QString &origin);
    bool has_template() const;
    QString template_file() const;  // the file the held template came from; empty for none

    void set_dataset(TfrDBDataSet *link);
    TfrDBDataSet *dataset() const;

    // The report variables. They outlive a print: a value stays until it is
    // set again or the list is cleared.
    void set_variable(const QString &name, const QString &value);
    QString variable(const QString &name) const;
    bool has_variable(const QString &name) const;
    QStringList variable_names() const;
    void clear_variables();

    // Named lists (ReportItem). Like the variables they outlive a print; a
    // list hides a variable of the same name. The dataset's "rows" cannot be
    // replaced this way.
    void set_list(const QString &name, report::ReportList list);
    void clear_lists();

    // The paper the pages are laid out on (A4 portrait unless set). Throws
    // report::ReportError for margins that leave no room for the body; the
    // paper held stays then.
    void set_page_format(const report::PageFormat &format);
    const report::PageFormat &page_format() const;

    // The report's title: the preview's window title, the PDF's title, the
    // printer's job name and the file name the save dialog proposes. Until one
    // is set, the name of the template file without its folder and suffix.
    void set_title(const QString &title);
    QString title() const;

    // Above this many rows, prepare() shows a progress window (when there is
    // a GUI to show it on). 0 turns the window off.
    void set_progress_threshold(int rows);
    int progress_threshold() const;

    // Renders the pages from the template, the rows and the variables. With no
    // template ever loaded, the pages show a plain table of every field of the
    // rows in view. Throws report::ReportError when preparing fails (the
    // dataset cannot be read, the template fails while rendering).
    void prepare();
    bool prepared() const;
    int page_count() const;      // 0 until prepared
    QString prepared_html() const;  // the rendered body of the last prepare

    // Prepares the report anew and writes it to a PDF file, without any
    // window. Throws report::ReportError when preparing fails or the file
    // cannot be written.
    void export_pdf(const QString &path);
    // Prepares the report anew and writes its pages to a file of the
    // engine's own (report_file.h), which the preview opens again. Throws
    // report::ReportError when preparing fails or the file cannot be written.
    void export_pages(const QString &path);
    // Prepares the report anew and prints it on the printer given, on the
    // report's paper.
    void print(QPrinter &printer);

    // Prepares the report and opens the modal preview on it. An error while
    // preparing is shown to the user by the engine; the result is false then.
    bool ShowReport(QWidget *parent = nullptr);

    // The last prepared pages (null before the first prepare).
    const report::PreparedReport *prepared_report() const;

signals:
    void progress(int done, int total);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
