#include "unit_getsetting.h"

#include "form_styles.h"

#include <INIReader.h>

#include <QFile>
#include <QFont>
#include <QPalette>
#include <QWidget>

#include <cmath>
#include <limits>

namespace settings {

QString section_for_kind(const QString &settings_kind)
{
    if (settings_kind == QLatin1String("A")) return QStringLiteral("mainform");
    if (settings_kind == QLatin1String("B")) return QStringLiteral("preform");
    return QString();
}

std::optional<int> parse_integer(const QString &text)
{
    QString digits = text.trimmed();
    bool negative = false;
    if (digits.startsWith(QLatin1Char('-')) || digits.startsWith(QLatin1Char('+'))) {
        negative = digits.startsWith(QLatin1Char('-'));
        digits.remove(0, 1);
    }
    int base = 10;
    if (digits.startsWith(QLatin1String("0x")) || digits.startsWith(QLatin1String("0X"))) {
        base = 16;
        digits.remove(0, 2);
    }
    if (digits.isEmpty()) return std::nullopt;
    // QString::toULongLong would accept a second sign or a base prefix of
    // its own; only plain digits of the chosen base are an integer here.
    for (QChar c : digits) {
        const bool ok = base == 10 ? (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                                   : QStringLiteral("0123456789abcdefABCDEF").contains(c);
        if (!ok) return std::nullopt;
    }
    bool ok = false;
    const qulonglong magnitude = digits.toULongLong(&ok, base);
    if (!ok) return std::nullopt;
    if (base == 16) {
        // Hexadecimal values name bit patterns: up to 32 bits, as the
        // platform stores them (0xFFFFFFFF is -1).
        if (magnitude > 0xFFFFFFFFull) return std::nullopt;
        const auto bits = static_cast<qint64>(static_cast<qint32>(static_cast<quint32>(magnitude)));
        const qint64 value = negative ? -bits : bits;
        if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
            return std::nullopt;
        return static_cast<int>(value);
    }
    const qlonglong limit = negative ? -static_cast<qlonglong>(std::numeric_limits<int>::min())
                                     : std::numeric_limits<int>::max();
    if (magnitude > static_cast<qulonglong>(limit)) return std::nullopt;
    return static_cast<int>(negative ? -static_cast<qlonglong>(magnitude)
                                     : static_cast<qlonglong>(magnitude));
}

QColor colour_from_value(int value)
{
    const auto bits = static_cast<quint32>(value);
    return QColor(bits & 0xFF, (bits >> 8) & 0xFF, (bits >> 16) & 0xFF);
}

int colour_value(const QColor &colour)
{
    return colour.red() | (colour.green() << 8) | (colour.blue() << 16);
}

namespace {
int mul_div(int a, int b, int c)
{
    return static_cast<int>(std::lround(static_cast<double>(a) * b / c));
}
} // namespace

int points_from_pixels(int pixels) { return mul_div(pixels, 72, 96); }
int pixels_from_points(int points) { return mul_div(points, 96, 72); }

} // namespace settings

namespace {

// The form's geometry as the settings file means it: the outer box,
// frame included where the window system draws one.
int outer_top(const QWidget *form) { return form->frameGeometry().y(); }
int outer_left(const QWidget *form) { return form->frameGeometry().x(); }
int outer_width(const QWidget *form) { return form->frameGeometry().width(); }
int outer_height(const QWidget *form) { return form->frameGeometry().height(); }

void set_outer_top(QWidget *form, int top) { form->move(outer_left(form), top); }
void set_outer_left(QWidget *form, int left) { form->move(left, outer_top(form)); }

void set_outer_width(QWidget *form, int width)
{
    const int frame = outer_width(form) - form->width();
    form->resize(width - frame, form->height());
}

void set_outer_height(QWidget *form, int height)
{
    const int frame = outer_height(form) - form->height();
    form->resize(form->width(), height - frame);
}

int font_points(const QWidget *form)
{
    const QFont font = form->font();
    if (font.pixelSize() > 0) return settings::points_from_pixels(font.pixelSize());
    return font.pointSize();
}

void set_font_points(QWidget *form, int points)
{
    if (points == font_points(form)) return; // the same size again changes nothing
    QFont font = form->font();
    if (font.pixelSize() > 0) {
        const int pixels = settings::pixels_from_points(points);
        if (pixels <= 0) return; // no font has such a size
        font.setPixelSize(pixels);
    } else {
        if (points <= 0) return;
        font.setPointSize(points);
    }
    form->setFont(font);
}

int colour_of(const QWidget *form)
{
    return settings::colour_value(form->palette().color(QPalette::Window));
}

void set_colour(QWidget *form, int value)
{
    if (value == colour_of(form)) return;
    QPalette palette = form->palette();
    palette.setColor(QPalette::Window, settings::colour_from_value(value));
    form->setPalette(palette);
    form->setAutoFillBackground(true);
}

void change_window_flags(QWidget *form, Qt::WindowFlags flags)
{
    if (flags == form->windowFlags()) return;
    const bool visible = form->isVisible();
    form->setWindowFlags(flags);
    if (visible) form->show(); // changing the flags hides a window
}

// What the switches do on a window that has no designed styles of its own.
void switch_plain_window(QWidget *form, bool state_normal, bool border_none, bool style_normal)
{
    if (state_normal) form->setWindowState(form->windowState() & ~Qt::WindowMaximized);
    Qt::WindowFlags flags = form->windowFlags();
    if (border_none) flags |= Qt::FramelessWindowHint;
    if (style_normal) flags &= ~Qt::WindowStaysOnTopHint;
    change_window_flags(form, flags);
}

} // namespace

TGETFORMSETTING::TGETFORMSETTING(QString path) : path_(std::move(path)) {}

void TGETFORMSETTING::apply_form_settings(QWidget *form, const QString &settings_kind) const
{
    if (!form) return;
    const std::string section = settings::section_for_kind(settings_kind).toStdString();
    // A missing file reads as a file without sections: every key is missing.
    const INIReader reader(QFile::encodeName(path_).toStdString());

    auto read = [&](const char *key) -> std::optional<int> {
        if (!reader.HasValue(section, key)) return std::nullopt;
        return settings::parse_integer(QString::fromStdString(reader.Get(section, key, {})));
    };
    // Each of keys 1 to 7 is read with the current value as its default and
    // set at once, so a missing key sets the value the form already has.
    auto read_or = [&](const char *key, int current) { return read(key).value_or(current); };

    set_outer_top(form, read_or("top", outer_top(form)));
    set_outer_left(form, read_or("left", outer_left(form)));
    set_outer_height(form, read_or("height", outer_height(form)));
    set_outer_width(form, read_or("width", outer_width(form)));
    set_outer_height(form, read_or("height", outer_height(form)));
    set_colour(form, read_or("color", colour_of(form)));
    set_font_points(form, read_or("font.size", font_points(form)));

    // The switches act only on their trigger value.
    const bool align_none = read("form_align") == 3;
    const bool state_normal = read("form_windowstate") == 2;
    const bool position_designed = read("form_position") == 3;
    const bool border_none = read("form_borderstyle") == 1;
    const bool style_normal = read("form_formstyle") == 2;

    if (auto *styles = dynamic_cast<FormWindowStyles *>(form)) {
        if (align_none) styles->set_align(FormWindowStyles::Align::None);
        if (state_normal) styles->set_window_state(FormWindowStyles::WindowState::Normal);
        if (position_designed) styles->set_position(FormWindowStyles::Position::Designed);
        if (border_none) styles->set_border_style(FormWindowStyles::BorderStyle::None);
        if (style_normal) styles->set_form_style(FormWindowStyles::FormStyle::Normal);
    } else {
        switch_plain_window(form, state_normal, border_none, style_normal);
    }
}

QString TGETFORMSETTING::server_address() const
{
    // Read as the placement keys are: a missing file has no keys.
    const INIReader reader(QFile::encodeName(path_).toStdString());
    return QString::fromStdString(reader.Get("connection", "server", "")).trimmed();
}
