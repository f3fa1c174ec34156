#include "report.h"

#include <QApplication>
#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QPageLayout>
#include <QPrinter>
#include <QProgressDialog>
#include <QStringDecoder>

#include <kainjow/mustache.hpp>

#include <optional>

#include "client_dataset.h"
#include "report_file.h"
#include "report_pages.h"
#include "report_preview.h"
#include "ui.h"

namespace mustache = kainjow::mustache;

using report::PreparedReport;
using report::ReportError;
using report::ReportRows;

// ---------------------------------------------------------------------------
// TfrDBDataSet

TfrDBDataSet::TfrDBDataSet(dataset::ClientDataset *dataset) : dataset_(dataset) {}

void TfrDBDataSet::set_dataset(dataset::ClientDataset *dataset)
{
    dataset_ = dataset;
    source_ = nullptr;
}

void TfrDBDataSet::set_dataset_source(std::function<dataset::ClientDataset *()> source)
{
    source_ = std::move(source);
    dataset_ = nullptr;
}

dataset::ClientDataset *TfrDBDataSet::dataset() const { return source_ ? source_() : dataset_; }

ReportRows TfrDBDataSet::read(const std::function<void(int, int)> &progress) const
{
    ReportRows result;
    dataset::ClientDataset *ds = dataset();
    if (!ds) return result;
    for (int i = 0; i < ds->field_count(); ++i) {
        const dataset::FieldDef &field = ds->field(i);
        result.fields.push_back({field.name, field.type != wire::FieldType::String});
    }
    if (!ds->active()) return result;
    // Rows are read by their place in the view, so the cursor never moves.
    const int count = ds->record_count();
    result.rows.reserve(static_cast<std::size_t>(count));
    for (int row = 0; row < count; ++row) {
        wire::Row values;
        values.reserve(result.fields.size());
        for (int field = 0; field < static_cast<int>(result.fields.size()); ++field)
            values.push_back(ds->value_at(row, field));
        result.rows.push_back(std::move(values));
        if (progress && ((row + 1) % 50 == 0 || row + 1 == count)) progress(row + 1, count);
    }
    return result;
}

// ---------------------------------------------------------------------------
// TfrReport

namespace {

QString html_escaped(const QString &text) { return text.toHtmlEscaped(); }

// The footer every page gets when the template does not give one.
QString default_footer(int page, int pages)
{
    return QStringLiteral("<p align=\"center\">第 %1 页 共 %2 页</p>").arg(page).arg(pages);
}

// The pages shown when no template was ever loaded: the variables, then a
// plain table of every field of the rows in view.
QString plain_table_html(const ReportRows &rows, const QMap<QString, QString> &variables)
{
    QString html = QStringLiteral("<html><body>");
    for (auto it = variables.cbegin(); it != variables.cend(); ++it)
        html += QStringLiteral("<p>%1：%2</p>").arg(html_escaped(it.key()), html_escaped(it.value()));
    html += QStringLiteral(
        "<table border=\"1\" cellspacing=\"0\" cellpadding=\"3\" width=\"100%\" "
        "style=\"border-collapse: collapse; border-color: #000000;\"><thead><tr>");
    for (const auto &field : rows.fields)
        html += QStringLiteral("<th>%1</th>").arg(html_escaped(QString::fromStdString(field.name)));
    html += QStringLiteral("</tr></thead><tbody>");
    for (const auto &row : rows.rows) {
        html += QStringLiteral("<tr>");
        for (std::size_t i = 0; i < row.size(); ++i) {
            const QString text = html_escaped(QString::fromStdString(wire::value_to_text(row[i])));
            html += rows.fields[i].numeric ? QStringLiteral("<td align=\"right\">%1</td>").arg(text)
                                           : QStringLiteral("<td>%1</td>").arg(text);
        }
        html += QStringLiteral("</tr>");
    }
    html += QStringLiteral("</tbody></table></body></html>");
    return html;
}

// The sum of a numeric field over the rows; values that are not numbers
// count as 0.
double field_total(const ReportRows &rows, std::size_t field)
{
    double total = 0;
    for (const auto &row : rows.rows) {
        try {
            total += wire::value_to_double(row[field]);
        } catch (const wire::WireError &) {
        }
    }
    return total;
}

mustache::data list_data(const report::ReportList &list)
{
    mustache::data out{mustache::data::type::list};
    for (const report::ReportItem &item : list) {
        mustache::data entry{mustache::data::type::object};
        for (const auto &[name, value] : item.values) entry.set(name, value);
        for (const auto &[name, flag] : item.flags) entry.set(name, flag ? mustache::data::type::bool_true
                                                                         : mustache::data::type::bool_false);
        for (const auto &[name, inner] : item.lists) entry.set(name, list_data(inner));
        out.push_back(entry);
    }
    return out;
}

}  // namespace

struct TfrReport::Impl {
    std::optional<std::string> template_text;  // none: no template loaded yet
    QString template_file;
    TfrDBDataSet *link = nullptr;
    QMap<QString, QString> variables;
    std::map<std::string, report::ReportList> lists;
    int progress_threshold = 500;
    report::PageFormat page_format;
    std::optional<QString> title;  // none: the template's name
    std::unique_ptr<PreparedReport> prepared;
    QString prepared_html;
};

TfrReport::TfrReport(QObject *parent) : QObject(parent), d(std::make_unique<Impl>()) {}

TfrReport::~TfrReport() = default;

bool TfrReport::LoadFromFile(const QString &file_name)
{
    // A relative name resolves against the current directory.
    const QFileInfo info(file_name);
    if (file_name.isEmpty() || !info.exists()) return false;

    if (info.isDir())
        throw ReportError(QStringLiteral("无法读取报表模板“%1”：它是一个目录").arg(file_name).toStdString());
    QFile file(info.absoluteFilePath());
    if (!file.open(QIODevice::ReadOnly))
        throw ReportError(
            QStringLiteral("无法读取报表模板“%1”：%2").arg(file_name, file.errorString()).toStdString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw ReportError(
            QStringLiteral("无法读取报表模板“%1”：%2").arg(file_name, file.errorString()).toStdString());

    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        throw ReportError(QStringLiteral("报表模板“%1”不是有效的模板：不是 UTF-8 文本").arg(file_name).toStdString());

    load_from_text(text, file_name);
    return true;
}

void TfrReport::load_from_text(const QString &text, const QString &origin)
{
    std::string utf8 = text.toStdString();
    const mustache::mustache parsed(utf8);
    if (!parsed.is_valid())
        throw ReportError(QStringLiteral("报表模板“%1”不是有效的模板：%2")
                              .arg(origin, QString::fromStdString(parsed.error_message()))
                              .toStdString());
    d->template_text = std::move(utf8);
    d->template_file = origin;
}

bool TfrReport::has_template() const { return d->template_text.has_value(); }

QString TfrReport::template_file() const { return d->template_file; }

void TfrReport::set_dataset(TfrDBDataSet *link) { d->link = link; }

TfrDBDataSet *TfrReport::dataset() const { return d->link; }

void TfrReport::set_variable(const QString &name, const QString &value) { d->variables.insert(name, value); }

QString TfrReport::variable(const QString &name) const { return d->variables.value(name); }

bool TfrReport::has_variable(const QString &name) const { return d->variables.contains(name); }

QStringList TfrReport::variable_names() const { return d->variables.keys(); }

void TfrReport::clear_variables() { d->variables.clear(); }

void TfrReport::set_list(const QString &name, report::ReportList list)
{
    if (name == QLatin1String("rows")) throw ReportError("报表列表不能命名为“rows”");
    d->lists[name.toStdString()] = std::move(list);
}

void TfrReport::clear_lists() { d->lists.clear(); }

void TfrReport::set_page_format(const report::PageFormat &format)
{
    // Laying an empty body out checks that the margins leave room for one.
    PreparedReport check(QString(), {}, format);
    d->page_format = format;
}

const report::PageFormat &TfrReport::page_format() const { return d->page_format; }

void TfrReport::set_title(const QString &title) { d->title = title; }

QString TfrReport::title() const { return d->title ? *d->title : QFileInfo(d->template_file).completeBaseName(); }

void TfrReport::set_progress_threshold(int rows) { d->progress_threshold = rows; }

int TfrReport::progress_threshold() const { return d->progress_threshold; }

void TfrReport::prepare()
{
    d->prepared.reset();
    d->prepared_html.clear();

    // A progress window while a long view is read and laid out.
    std::unique_ptr<QProgressDialog> progress_window;
    auto on_progress = [&](int done, int total) {
        emit progress(done, total);
        if (!progress_window && d->progress_threshold > 0 && total > d->progress_threshold &&
            qobject_cast<QApplication *>(QCoreApplication::instance())) {
            progress_window = std::make_unique<QProgressDialog>(QStringLiteral("正在准备报表…"), QString(), 0,
                                                                total + 1);
            progress_window->setObjectName(QStringLiteral("report_progress"));
            progress_window->setWindowTitle(QStringLiteral("报表"));
            progress_window->setCancelButton(nullptr);
            progress_window->setMinimumDuration(0);
            progress_window->setWindowModality(Qt::ApplicationModal);
        }
        if (progress_window) progress_window->setValue(done);
    };

    ReportRows rows;
    if (d->link) {
        try {
            rows = d->link->read(on_progress);
        } catch (const std::exception &e) {
            throw ReportError(QStringLiteral("无法读取报表数据：%1").arg(QString::fromUtf8(e.what())).toStdString());
        }
    }
    if (rows.rows.empty()) emit progress(0, 0);

    if (!d->template_text) {
        d->prepared_html = plain_table_html(rows, d->variables);
        d->prepared = std::make_unique<PreparedReport>(d->prepared_html, default_footer, d->page_format);
        d->prepared->set_title(title());
        if (progress_window) progress_window->setValue(progress_window->maximum());
        return;
    }

    // What every part of the template sees: the variables, the row count, the
    // print date and the totals of the numeric fields.
    mustache::object common;
    for (auto it = d->variables.cbegin(); it != d->variables.cend(); ++it)
        common[it.key().toStdString()] = it.value().toStdString();
    common["row_count"] = std::to_string(rows.rows.size());
    common["print_date"] = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")).toStdString();
    for (std::size_t f = 0; f < rows.fields.size(); ++f)
        if (rows.fields[f].numeric)
            common["total_" + rows.fields[f].name] = wire::format_number(field_total(rows, f));

    mustache::data body_data{common};
    for (const auto &[name, list] : d->lists) body_data.set(name, list_data(list));
    mustache::data row_list{mustache::data::type::list};
    for (std::size_t r = 0; r < rows.rows.size(); ++r) {
        mustache::object row;
        row["row_no"] = std::to_string(r + 1);
        for (std::size_t f = 0; f < rows.fields.size(); ++f)
            row[rows.fields[f].name] = wire::value_to_text(rows.rows[r][f]);
        row_list.push_back(mustache::data{row});
    }
    body_data.set("rows", row_list);
    // The page footer is kept aside and rendered on each page with its number.
    std::optional<std::string> footer_text;
    body_data.set("page_footer", mustache::lambda{[&footer_text](const std::string &text) {
                      if (!footer_text) footer_text = text;
                      return std::string();
                  }});

    mustache::mustache body_template(*d->template_text);
    const std::string body = body_template.render(body_data);
    if (!body_template.is_valid())
        throw ReportError(QStringLiteral("报表模板“%1”无法生成报表：%2")
                              .arg(d->template_file, QString::fromStdString(body_template.error_message()))
                              .toStdString());
    d->prepared_html = QString::fromStdString(body);

    std::function<QString(int, int)> footer = default_footer;
    if (footer_text) {
        auto footer_template = std::make_shared<mustache::mustache>(*footer_text);
        footer = [footer_template, common](int page, int pages) {
            mustache::data page_data{common};
            page_data.set("page", std::to_string(page));
            page_data.set("pages", std::to_string(pages));
            return QString::fromStdString(footer_template->render(page_data));
        };
    }
    d->prepared = std::make_unique<PreparedReport>(d->prepared_html, footer, d->page_format);
    d->prepared->set_title(title());
    if (progress_window) progress_window->setValue(progress_window->maximum());
}

bool TfrReport::prepared() const { return d->prepared != nullptr; }

int TfrReport::page_count() const { return d->prepared ? d->prepared->page_count() : 0; }

QString TfrReport::prepared_html() const { return d->prepared_html; }

const PreparedReport *TfrReport::prepared_report() const { return d->prepared.get(); }

void TfrReport::export_pdf(const QString &path)
{
    prepare();
    d->prepared->write_pdf(path);
}

void TfrReport::export_pages(const QString &path)
{
    prepare();
    report::write_pages_file(*d->prepared, path);
}

void TfrReport::print(QPrinter &printer)
{
    prepare();
    printer.setFullPage(true);
    printer.setPageLayout(d->prepared->page_layout());
    printer.setDocName(title());
    if (!d->prepared->paint_all(printer)) throw ReportError("无法打印报表");
}

bool TfrReport::ShowReport(QWidget *parent)
{
    try {
        prepare();
    } catch (const std::exception &e) {
        ui::show_error(QString::fromUtf8(e.what()), parent);
        return false;
    }
    report::ReportPreview preview(*d->prepared, parent, title());
    ui::show_modal(&preview);
    return true;
}
