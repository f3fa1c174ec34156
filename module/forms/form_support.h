// What the module's forms share beyond the base form: the designed colour,
// the settings of the two full-size windows, grid columns, and the
// activation that runs once per showing.
#pragma once

#include <QColor>
#include <QShowEvent>
#include <QString>

#include <utility>

#include "Base.h"
#include "dataset_table_model.h"
#include "ui.h"

namespace forms {

// The forms' colour 14473669: red 197, green 217, blue 220.
inline const QColor kFormColour(197, 217, 220);

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

// Runs a form's activation on its first showing, through the handler guard;
// a window closing over the form brings it back without a new activation.
template <class F> void activate_once(QWidget *form, bool &activated, const QShowEvent *event, F &&activation)
{
    if (activated || event->spontaneous()) return;
    activated = true;
    ui::guarded(form, std::forward<F>(activation));
}

}  // namespace forms
