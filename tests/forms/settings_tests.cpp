// Placement settings read from a settings file of the test's own and
// applied to a window: the section choice, the twelve keys, strict integers
// and the switches that act only on their trigger values.
#include "form_styles.h"
#include "unit_getsetting.h"

#include <QFile>
#include <QFont>
#include <QPalette>
#include <QResizeEvent>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <vector>

namespace {

// A window with designed styles that records what the settings switch.
class StyledWindow : public QWidget, public FormWindowStyles
{
public:
    StyledWindow()
    {
        setGeometry(103, 97, 697, 450);
        QFont f(QStringLiteral("宋体"));
        f.setPixelSize(15);
        setFont(f);
    }
    Align align() const override { return align_; }
    void set_align(Align v) override { align_ = v; calls.push_back("align"); }
    WindowState window_state() const override { return state_; }
    void set_window_state(WindowState v) override { state_ = v; calls.push_back("state"); }
    Position position() const override { return position_; }
    void set_position(Position v) override { position_ = v; calls.push_back("position"); }
    BorderStyle border_style() const override { return border_; }
    void set_border_style(BorderStyle v) override { border_ = v; calls.push_back("border"); }
    FormStyle form_style() const override { return style_; }
    void set_form_style(FormStyle v) override { style_ = v; calls.push_back("style"); }

    std::vector<std::string> calls;

private:
    Align align_ = Align::Client;
    WindowState state_ = WindowState::Maximized;
    Position position_ = Position::ScreenCenter;
    BorderStyle border_ = BorderStyle::Dialog;
    FormStyle style_ = FormStyle::StayOnTop;
};

class PlacementSettings : public ::testing::Test
{
protected:
    QString write(const QByteArray &text)
    {
        const QString path = dir.filePath(QStringLiteral("mis_system.ini"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        return path;
    }
    void apply(const QByteArray &text, const QString &kind = QStringLiteral("B"))
    {
        TGETFORMSETTING(write(text)).apply_form_settings(&form, kind);
    }
    void expect_as_designed()
    {
        EXPECT_EQ(form.geometry(), QRect(103, 97, 697, 450));
        EXPECT_EQ(form.font().pixelSize(), 15);
        EXPECT_EQ(form.align(), FormWindowStyles::Align::Client);
        EXPECT_EQ(form.window_state(), FormWindowStyles::WindowState::Maximized);
        EXPECT_EQ(form.position(), FormWindowStyles::Position::ScreenCenter);
        EXPECT_EQ(form.border_style(), FormWindowStyles::BorderStyle::Dialog);
        EXPECT_EQ(form.form_style(), FormWindowStyles::FormStyle::StayOnTop);
        EXPECT_TRUE(form.calls.empty());
    }

    QTemporaryDir dir;
    StyledWindow form;
};

} // namespace

TEST(SettingsIntegers, DecimalAndHexadecimalOnly)
{
    using settings::parse_integer;
    EXPECT_EQ(parse_integer("512"), 512);
    EXPECT_EQ(parse_integer("010"), 10); // decimal, not octal
    EXPECT_EQ(parse_integer("0x200"), 512);
    EXPECT_EQ(parse_integer("0X1f"), 31);
    EXPECT_EQ(parse_integer("-7"), -7);
    EXPECT_EQ(parse_integer("0xFFFFFFFF"), -1);
    EXPECT_EQ(parse_integer(" 42 "), 42);
    for (const char *bad : {"", "abc", "12abc", "0x", "0xg1", "1.5", "--1", "+-1", "0x-1",
                            "1 2", "4294967296", "0x100000000", "+"})
        EXPECT_EQ(parse_integer(QString::fromLatin1(bad)), std::nullopt) << bad;
}

TEST(SettingsSections, KindChoosesSectionWithLetterCase)
{
    EXPECT_EQ(settings::section_for_kind("A"), "mainform");
    EXPECT_EQ(settings::section_for_kind("B"), "preform");
    EXPECT_EQ(settings::section_for_kind("b"), "");
    EXPECT_EQ(settings::section_for_kind("a"), "");
    EXPECT_EQ(settings::section_for_kind("BB"), "");
    EXPECT_EQ(settings::section_for_kind(""), "");
}

TEST(SettingsColours, PlatformValueHasRedInTheLowByte)
{
    EXPECT_EQ(settings::colour_from_value(14473669), QColor(197, 217, 220));
    EXPECT_EQ(settings::colour_value(QColor(197, 217, 220)), 14473669);
    EXPECT_EQ(settings::colour_from_value(0xFF), QColor(255, 0, 0));
    EXPECT_EQ(settings::points_from_pixels(15), 11);
    EXPECT_EQ(settings::pixels_from_points(11), 15);
    EXPECT_EQ(settings::points_from_pixels(12), 9);
    EXPECT_EQ(settings::pixels_from_points(9), 12);
}

TEST_F(PlacementSettings, MissingFileChangesNothing)
{
    TGETFORMSETTING(dir.filePath("no_such.ini")).apply_form_settings(&form, "B");
    expect_as_designed();
}

TEST_F(PlacementSettings, ModuleReadsTheInstallationFile)
{
    EXPECT_EQ(TGETFORMSETTING().path(), "/etc/mis_system.ini");
}

TEST_F(PlacementSettings, OnlyWindowStateTwoMakesTheFormNormalAndNothingElse)
{
    apply("[preform]\nform_windowstate=2\n");
    EXPECT_EQ(form.window_state(), FormWindowStyles::WindowState::Normal);
    EXPECT_EQ(form.calls, std::vector<std::string>{"state"});
    EXPECT_EQ(form.geometry(), QRect(103, 97, 697, 450));
    EXPECT_EQ(form.align(), FormWindowStyles::Align::Client);
    EXPECT_EQ(form.position(), FormWindowStyles::Position::ScreenCenter);
    EXPECT_EQ(form.border_style(), FormWindowStyles::BorderStyle::Dialog);
}

TEST_F(PlacementSettings, NonTriggerSwitchValuesChangeNothing)
{
    apply("[preform]\nform_align=5\nform_windowstate=0\nform_position=0\n"
          "form_borderstyle=0\nform_formstyle=0\n");
    expect_as_designed();
    apply("[preform]\nform_align=0\nform_windowstate=1\nform_position=2\n"
          "form_borderstyle=2\nform_formstyle=1\n");
    expect_as_designed();
    apply("[preform]\nform_align=abc\nform_windowstate=2x\nform_position=\n");
    expect_as_designed();
}

TEST_F(PlacementSettings, EveryTriggerValueActsInOrder)
{
    apply("[preform]\nform_formstyle=2\nform_borderstyle=1\nform_position=3\n"
          "form_windowstate=2\nform_align=3\n");
    EXPECT_EQ(form.calls, (std::vector<std::string>{"align", "state", "position", "border", "style"}));
    EXPECT_EQ(form.align(), FormWindowStyles::Align::None);
    EXPECT_EQ(form.window_state(), FormWindowStyles::WindowState::Normal);
    EXPECT_EQ(form.position(), FormWindowStyles::Position::Designed);
    EXPECT_EQ(form.border_style(), FormWindowStyles::BorderStyle::None);
    EXPECT_EQ(form.form_style(), FormWindowStyles::FormStyle::Normal);
    // Hexadecimal trigger values are the same integers.
    StyledWindow other;
    TGETFORMSETTING(write("[preform]\nform_align=0x3\n")).apply_form_settings(&other, "B");
    EXPECT_EQ(other.align(), FormWindowStyles::Align::None);
}

TEST_F(PlacementSettings, MainformSectionAloneIsNotReadForKindB)
{
    apply("[mainform]\ntop=1\nleft=2\nwidth=300\nheight=200\nform_windowstate=2\nform_align=3\n");
    expect_as_designed();
}

TEST_F(PlacementSettings, KindAReadsMainform)
{
    apply("[mainform]\ntop=1\nleft=2\n[preform]\ntop=50\n", "A");
    EXPECT_EQ(form.pos(), QPoint(2, 1));
}

TEST_F(PlacementSettings, LowerCaseKindReadsTheSectionWithoutName)
{
    apply("top=11\n[preform]\ntop=50\n[]\nleft=22\n", "b");
    EXPECT_EQ(form.pos(), QPoint(22, 11));
}

TEST_F(PlacementSettings, SectionAndKeyNamesIgnoreLetterCase)
{
    apply("[PreForm]\nTOP=5\nLeft=6\n");
    EXPECT_EQ(form.pos(), QPoint(6, 5));
}

TEST_F(PlacementSettings, GeometryKeysSetTheFormAtOnce)
{
    apply("[preform]\ntop=10\nleft=20\nheight=300\nwidth=0x200\n");
    EXPECT_EQ(form.geometry(), QRect(20, 10, 512, 300));
}

TEST_F(PlacementSettings, ValuesThatAreNoIntegersCountAsMissing)
{
    apply("[preform]\ntop=abc\nleft=12abc\nwidth=\nheight=1e3\ncolor=red\nfont.size=11pt\n");
    expect_as_designed();
    EXPECT_FALSE(form.testAttribute(Qt::WA_SetPalette));
}

TEST_F(PlacementSettings, LeadingZeroIsDecimal)
{
    apply("[preform]\nleft=010\n");
    EXPECT_EQ(form.x(), 10);
}

TEST_F(PlacementSettings, HeightIsSetAgainAfterTheWidth)
{
    // A window that makes itself square whenever its width changes: only
    // the second reading of "height" gives it the height from the file.
    class SquareWindow : public QWidget
    {
    protected:
        void resizeEvent(QResizeEvent *event) override
        {
            if (event->oldSize().width() != width()) resize(width(), width());
        }
    } square;
    square.setGeometry(0, 0, 100, 100);
    square.show();
    TGETFORMSETTING(write("[preform]\nheight=250\nwidth=400\n")).apply_form_settings(&square, "B");
    // Sizes in the file are outer sizes, frame included.
    EXPECT_EQ(square.frameGeometry().size(), QSize(400, 250));
    // Without a height in the file the width's own effect stays.
    TGETFORMSETTING(write("[preform]\nwidth=300\n")).apply_form_settings(&square, "B");
    EXPECT_EQ(square.frameGeometry().size(), QSize(300, 300));
}

TEST_F(PlacementSettings, ColourAndFontSize)
{
    apply("[preform]\ncolor=14473669\nfont.size=9\n");
    EXPECT_EQ(form.palette().color(QPalette::Window), QColor(197, 217, 220));
    EXPECT_EQ(form.font().pixelSize(), 12);
    EXPECT_EQ(form.font().family(), QStringLiteral("宋体"));
}

TEST_F(PlacementSettings, PointSizedFontOfAPlainWindow)
{
    QWidget plain;
    QFont f = plain.font();
    f.setPointSize(10);
    plain.setFont(f);
    TGETFORMSETTING(write("[preform]\nfont.size=14\n")).apply_form_settings(&plain, "B");
    EXPECT_EQ(plain.font().pointSize(), 14);
}

TEST_F(PlacementSettings, SwitchesOnAPlainWindowUseItsWindowFlags)
{
    QWidget plain;
    plain.setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint);
    plain.setWindowState(Qt::WindowMaximized);
    TGETFORMSETTING(write("[preform]\nform_windowstate=2\nform_borderstyle=1\nform_formstyle=2\n"))
        .apply_form_settings(&plain, "B");
    EXPECT_FALSE(plain.windowState() & Qt::WindowMaximized);
    EXPECT_TRUE(plain.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_FALSE(plain.windowFlags() & Qt::WindowStaysOnTopHint);
}

// The server's address in section [connection], beside ca_file: names and
// sections match without regard to case, blanks around the value go.
TEST_F(PlacementSettings, ServerAddressComesFromTheConnectionSection)
{
    const std::pair<QByteArray, QString> cases[] = {
        {"[connection]\nca_file=/etc/ssl/mis/ca.pem\nserver = https://mis.example.com:7411 \n",
         "https://mis.example.com:7411"},
        {"[Connection]\nSERVER=10.0.0.5:7500\n", "10.0.0.5:7500"},
        {"[preform]\nserver=10.0.0.5\n[connection]\nca_file=/x.pem\n", ""},
        {"[connection]\nserver=\n", ""},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(TGETFORMSETTING(write(text)).server_address(), expected) << text.constData();
    EXPECT_EQ(TGETFORMSETTING(dir.filePath(QStringLiteral("missing.ini"))).server_address(), QString());
}
