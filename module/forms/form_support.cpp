#include "form_support.h"

#include <QVBoxLayout>

#include <utility>

#include "TdxDBGrid.h"
#include "call_runner.h"

namespace forms {

TdxDBGrid *add_plan_grid(TFm_Base &form, std::vector<TdxDBGridColumn> columns,
                         std::function<void(FooterCell &)> draw_name_footer)
{
    auto *grid = new TdxDBGrid(form.client_area());
    grid->setObjectName(QStringLiteral("dxDBGrid1"));
    form.client_layout()->addWidget(grid, 1);
    grid->set_columns(std::move(columns));
    grid->set_draw_summary_footer(grid->column_index(QStringLiteral("dxDBGrid1ZBMC00")), std::move(draw_name_footer));
    grid->set_key_field_name(QStringLiteral("XHAO00"));
    grid->set_header_color(kFormColour);
    grid->set_show_footer(true);
    // Painted once an action's rows are in, not while its calls wait.
    ui::hold_painting_during_calls(grid);
    return grid;
}

void draw_total_footer(FooterCell &cell)
{
    cell.text = QStringLiteral("合计");
    cell.alignment = (cell.alignment & ~Qt::AlignHorizontal_Mask) | Qt::AlignRight;
    cell.font.setBold(true);
}

}  // namespace forms
