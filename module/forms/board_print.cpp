// 打印 on the board: the department's month through the board's own
// template, on A4 landscape, in sheets of at most kSalesmenPerSheet salesman
// columns, the indicator columns repeated on each; previewed, printed or
// saved as PDF from the module's report preview.
#include <QFileInfo>

#include <algorithm>

#include "Unit_board.h"
#include "board_commands.h"
#include "board_completion.h"
#include "board_grid.h"
#include "report.h"
#include "template_lookup.h"

static void init_report_resources() { Q_INIT_RESOURCE(reports); }

namespace {

using board::Position;

std::string quantity(double q) { return board::format_quantity(q); }

// One sheet: the salesmen [first, last) with every indicator.
report::ReportItem sheet(const board::BoardModel &m, int first, int last, int number, int count)
{
    report::ReportItem item;
    item.values["sheet_no"] = std::to_string(number);
    item.values["sheet_count"] = std::to_string(count);
    item.flags["first"] = number == 1;
    item.flags["last"] = number == count;
    for (int s = first; s < last; ++s) {
        const board::Salesman &man = m.salesman(s);
        report::ReportItem head;
        head.values["name"] = man.name;
        head.values["code"] = man.code;
        head.values["note"] = !man.has_plan ? board::kNoPlanMark : !man.visit_salesman ? board::kLeftMark : "";
        head.flags["marked"] = !man.has_plan || !man.visit_salesman;
        item.lists["salesmen"].push_back(std::move(head));
        report::ReportItem total;
        total.values["v"] = quantity(m.salesman_total(s));
        item.lists["totals"].push_back(std::move(total));
    }
    for (int i = 0; i < m.indicator_count(); ++i) {
        const board::Indicator &ind = m.indicator(i);
        report::ReportItem line;
        line.values["xh"] = quantity(ind.key.sequence);
        line.values["mc"] = ind.key.name;
        line.values["sj"] = ind.in_department_plan ? quantity(ind.plan) : "";
        line.values["yfp"] = quantity(m.allocated(i));
        line.values["sy"] = quantity(m.remaining(i));
        const board::IndicatorState state = m.indicator_state(i);
        line.flags["left"] = state == board::IndicatorState::Left;
        line.flags["over"] = state == board::IndicatorState::Over;
        for (int s = first; s < last; ++s) {
            report::ReportItem cell;
            const Position at{i, s};
            cell.values["v"] = m.cell_kind(at) == board::CellKind::NoPlan ? board::kNoPlanMark
                                                                          : wire::value_to_text(m.cell_value(at));
            line.lists["cells"].push_back(std::move(cell));
        }
        item.lists["lines"].push_back(std::move(line));
    }
    item.values["plan_total"] = quantity(m.plan_total());
    item.values["allocated_total"] = quantity(m.allocated_total());
    item.values["remaining_total"] = quantity(m.remaining_total());
    return item;
}

}  // namespace

void prepare_board_report(TFm_board &form)
{
    TfrReport &report = *form.frReport1;
    // The current folder first (a site's own template there wins), then the
    // installed data folder, then the copy built into the module: a board
    // printed as the engine's plain table would show nothing of it.
    init_report_resources();
    QString file = report::locate_template(QString::fromLatin1(kBoardReportTemplate));
    if (!QFileInfo::exists(file)) file = QStringLiteral(":/reports/%1").arg(QString::fromLatin1(kBoardReportTemplate));
    report.LoadFromFile(file);
    report::PageFormat paper;
    paper.orientation = QPageLayout::Landscape;
    report.set_page_format(paper);

    const board::BoardModel &m = form.model();
    const std::string name = m.department_name().empty() ? m.department() : m.department_name();
    const std::string month = m.month();
    report.set_title(QStringLiteral("部门计划分配_%1_%2").arg(QString::fromStdString(month), QString::fromStdString(name)));
    report.set_variable(QStringLiteral("bmmc"), QString::fromStdString(name));
    report.set_variable(QStringLiteral("ywny"), QString::fromStdString(month));
    report.set_variable(QStringLiteral("nyzw"),
                        QString::fromStdString(month.substr(0, 4) + "年" + month.substr(4, 2) + "月"));
    report.set_variable(QStringLiteral("zt"), QString::fromStdString(m.status_line()));
    board_state::set_report_variables(form, report);

    report::ReportList sheets;
    const int salesmen = m.salesman_count();
    const int count = std::max(1, (salesmen + kSalesmenPerSheet - 1) / kSalesmenPerSheet);
    for (int k = 0; k < count; ++k)
        sheets.push_back(sheet(m, k * kSalesmenPerSheet, std::min(salesmen, (k + 1) * kSalesmenPerSheet), k + 1, count));
    report.set_list(QStringLiteral("sheets"), std::move(sheets));
    if (form.completion) form.completion->add_to_report(report);
}

BoardCommand board_print_command()
{
    BoardCommand c;
    c.object_name = "tbprint";
    c.caption = QStringLiteral("打印");
    c.glyph = QStringLiteral("tbprint");
    c.key = QKeySequence(Qt::CTRL | Qt::Key_P);
    c.base_button = &TFm_Base::tbprint;
    c.run = [](TFm_board &form) {
        // A value still being typed is taken in first, as for a save.
        if (!form.take_in_editor()) return;
        prepare_board_report(form);
        form.frReport1->ShowReport(&form);
    };
    return c;
}
