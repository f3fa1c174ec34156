// Form placement settings: the installation-wide settings file lets a site
// override a form's position, size, colour and font size before it is shown,
// and switch off its designed window styles. The file is only read.
#pragma once

#include <QColor>
#include <QString>

#include <optional>

class QWidget;

class TGETFORMSETTING
{
public:
    // The one settings file of the installation.
    static constexpr const char *settings_path = "/etc/mis_system.ini";

    // `path` exists so tests can point the reader at a file of their own;
    // the module always uses settings_path.
    explicit TGETFORMSETTING(QString path = QString::fromLatin1(settings_path));

    // Reads the section chosen by `settings_kind` ("A" -> "mainform",
    // "B" -> "preform", anything else -> the section with the empty name;
    // compared as a whole, letter case counts) and applies it to `form`:
    // top, left, height, width, height again, color, font.size, then the
    // switches form_align (3: no alignment), form_windowstate (2: normal),
    // form_position (3: designed position), form_borderstyle (1: no border),
    // form_formstyle (2: normal). A missing file, section or key, or a value
    // that is not an integer, leaves the property as it is.
    void apply_form_settings(QWidget *form, const QString &settings_kind) const;

    const QString &path() const { return path_; }

    // The application server the module reaches when the host passes no
    // computer name: key "server" of section "connection", beside the
    // "ca_file" that its certificate is checked against (for example
    // server=https://mis.example.com:7411). Blanks around it are dropped;
    // empty when the file, the section or the key is missing.
    QString server_address() const;

private:
    QString path_;
};

namespace settings {

// The section name for a settings kind.
QString section_for_kind(const QString &settings_kind);

// A profile-file integer: a decimal integer, or a hexadecimal one after 0x or
// 0X, with an optional sign; anything else (letters after the digits, an
// empty text, a number too large for 32 bits) is no integer.
std::optional<int> parse_integer(const QString &text);

// The platform colour value (red in the low byte, then green, then blue).
QColor colour_from_value(int value);
int colour_value(const QColor &colour);

// Font sizes in points against pixel heights at 96 pixels per inch, rounded
// the way the platform rounds them (11 pt <-> 15 px, 9 pt <-> 12 px).
int points_from_pixels(int pixels);
int pixels_from_points(int points);

} // namespace settings
