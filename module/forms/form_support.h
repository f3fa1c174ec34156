// What the module's forms share beyond the base form: the designed colour,
// the placement of a control, the settings of the two full-size windows and
// their plan grid with its footer total.
#pragma once

#include <QColor>
#include <QString>

#include <functional>
#include <vector>

#include "Base.h"
#include "dataset_table_model.h"

class TdxDBGrid;
struct FooterCell;

namespace forms {

// The forms' colour 14473669: red 197, green 217, blue 220.
inline const QColor kFormColour(197, 217, 220);

// Names a control and places it at its designed spot (design pixels); without
// a height it keeps the height it asks for.
template <class W> W *place(W *widget, const char *name, int left, int top, int width, int height = 0)
{
    widget->setObjectName(QString::fromLatin1(name));
    widget->move(TFm_Base::pixels(left), TFm_Base::pixels(top));
    widget->resize(TFm_Base::pixels(width), height ? TFm_Base::pixels(height) : widget->sizeHint().height());
    return widget;
}

// The design both full-size windows share: a maximised dialog filling its
// parent, centred when restored, font height 12, the forms' colour on the
// form, its panels and every button's border.
inline void design_full_size_form(TFm_Base &form, const QString &caption, const QString &heading, int client_width,
                                  int client_height)
{
    form.setWindowTitle(caption);
    form.pn_gl->setText(heading);
    form.set_border_style(FormWindowStyles::BorderStyle::Dialog);
    form.set_align(FormWindowStyles::Align::Client);
    form.set_window_state(FormWindowStyles::WindowState::Maximized);
    form.set_position(FormWindowStyles::Position::ScreenCenter);
    form.set_client_size(client_width, client_height);
    form.setFont(TFm_Base::design_font(QStringLiteral("宋体"), 12));
    form.set_color(kFormColour);
    for (TFlatSpeedButton *button : form.toolbar_buttons()) button->set_color_border(kFormColour);
}

// A grid column as the forms design them.
inline TdxDBGridColumn grid_column(const char *name, const char *field, const QString &caption, bool visible,
                                   int width, bool read_only = true, SummaryKind summary = SummaryKind::None)
{
    TdxDBGridColumn c;
    c.name = QString::fromLatin1(name);
    c.field_name = QString::fromLatin1(field);
    c.caption = caption;
    c.visible = visible;
    c.width = width;
    c.read_only = read_only;
    c.summary_kind = summary;
    return c;
}

// The plan grid of both full-size windows, "dxDBGrid1", filling the form's
// client area below what it holds already: the columns given, keyed by the
// sequence number, the forms' header colour, the summary footer shown, its
// indicator-name cell drawn by `draw_name_footer` (the form's
// dxDBGrid1ZBMC00DrawSummaryFooter).
TdxDBGrid *add_plan_grid(TFm_Base &form, std::vector<TdxDBGridColumn> columns,
                         std::function<void(FooterCell &)> draw_name_footer);

// The footer cell under the indicator names: "合计" in place of the count,
// right-aligned, bold added to the footer font.
void draw_total_footer(FooterCell &cell);

}  // namespace forms
