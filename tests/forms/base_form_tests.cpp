// The base form as the user sees it: toolbar order, positions and captions,
// heading, fonts, frame; hidden buttons closing up; exit ending the modal
// run and the form freeing itself; the window styles and the placement
// settings acting on them.
#include "Base.h"
#include "test_hooks.h"
#include "unit_getsetting.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QPointer>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace {

QStringList names_of(const QList<TFlatSpeedButton *> &buttons)
{
    QStringList names;
    for (const auto *button : buttons) names << button->objectName();
    return names;
}

// A derived form that uses two buttons, as the quantity editor does.
class TwoButtonForm : public TFm_Base
{
public:
    TwoButtonForm()
    {
        for (TFlatSpeedButton *button : toolbar_buttons())
            if (button != tbok && button != tbexit) button->hide();
        tbok->setText(QStringLiteral("保存"));
    }
};

// A derived form with a way out of its own.
class OwnExitForm : public TFm_Base
{
public:
    int exits = 0;
    int closes = 0;
    void tbexitClick() override { ++exits; }
    void FormClose(QCloseEvent *event) override
    {
        ++closes;
        event->ignore(); // stays open
    }
};

// A derived form whose close event fails, as a reload on closing can.
class FailingCloseForm : public TFm_Base
{
public:
    bool fail = true;
    void FormClose(QCloseEvent *event) override
    {
        if (fail) throw std::runtime_error("reload failed");
        TFm_Base::FormClose(event);
    }
};

// A derived form with the full-size window styles of the module's forms.
class FullSizeForm : public TFm_Base
{
public:
    FullSizeForm()
    {
        set_align(Align::Client);
        set_window_state(WindowState::Maximized);
        set_position(Position::ScreenCenter);
        set_border_style(BorderStyle::Dialog);
    }
};

std::unique_ptr<TFm_Base> shown_form()
{
    auto form = std::make_unique<TFm_Base>();
    form->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    return form;
}

} // namespace

TEST(BaseForm, DesignedFrameAndGeometry)
{
    TFm_Base form;
    EXPECT_EQ(form.windowTitle(), "Fm_Base");
    EXPECT_EQ(form.geometry(), QRect(103, 97, 697, 450));
    EXPECT_EQ(form.font().family(), QStringLiteral("宋体"));
    EXPECT_EQ(form.font().pixelSize(), 15);
    EXPECT_EQ(form.color(), QApplication::palette().color(QPalette::Window));
    EXPECT_EQ(form.align(), FormWindowStyles::Align::None);
    EXPECT_EQ(form.window_state(), FormWindowStyles::WindowState::Normal);
    EXPECT_EQ(form.border_style(), FormWindowStyles::BorderStyle::Sizeable);
    EXPECT_FALSE(form.testAttribute(Qt::WA_DeleteOnClose)); // only once it closes
}

TEST(BaseForm, TitleBarOffersNoCloseButton)
{
    TFm_Base form;
    const Qt::WindowFlags flags = form.windowFlags();
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
    EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(flags & Qt::WindowMinMaxButtonsHint);
    EXPECT_FALSE(flags & Qt::WindowContextHelpButtonHint);
}

TEST(BaseForm, PanelsAndClientAreaLayout)
{
    auto form = shown_form();
    // One pixel of border width inside a four-pixel sizeable frame.
    EXPECT_EQ(form->frame_width(), 4);
    EXPECT_EQ(form->Panel1->geometry(), QRect(5, 5, 687, 73));
    EXPECT_EQ(form->tbr_base->geometry(), QRect(0, 0, 687, 40));
    EXPECT_EQ(form->pn_gl->geometry(), QRect(0, 40, 687, 30));
    EXPECT_EQ(form->client_area()->geometry(), QRect(5, 78, 687, 450 - 78 - 5));
    EXPECT_TRUE(form->client_area()->children().size() == 1); // only its layout
}

TEST(BaseForm, ToolbarButtonsInOrderEdgeToEdge)
{
    auto form = shown_form();
    const QList<TFlatSpeedButton *> buttons = form->toolbar_buttons();
    EXPECT_EQ(names_of(buttons),
              QStringList({"tbprint", "tbpreview", "tbseek", "tbrefresh", "tbfirst", "tbprior",
                           "tbnext", "tblast", "tbnew", "tbedit", "tbdel", "tbok", "tbcancel",
                           "tbexit"}));
    const QStringList captions = {"打印", "设置", "查找", "刷新", "首条", "上条", "下条",
                                  "末条", "新增", "编辑", "删除", "确定", "取消", "退出"};
    const int lefts[] = {0, 35, 73, 108, 143, 178, 213, 248, 283, 318, 353, 388, 423, 458};
    for (int i = 0; i < buttons.size(); ++i) {
        SCOPED_TRACE(buttons[i]->objectName().toStdString());
        EXPECT_EQ(buttons[i]->text(), captions[i]);
        EXPECT_EQ(buttons[i]->geometry(), QRect(lefts[i], 2, i == 1 ? 38 : 35, 35));
        EXPECT_TRUE(buttons[i]->isVisible());
        EXPECT_FALSE(buttons[i]->glyph().isNull());
        EXPECT_EQ(buttons[i]->num_glyphs(), (i == 11 || i == 12) ? 2 : 1);
        EXPECT_EQ(buttons[i]->font().pixelSize(), 12); // the toolbar's font
        EXPECT_EQ(buttons[i]->color_border(), buttons[0]->color_border());
    }
    EXPECT_EQ(form->tbok->glyph().size(), QSize(36, 18));
}

TEST(BaseForm, HeadingInLargeNavyScript)
{
    TFm_Base form;
    EXPECT_EQ(form.pn_gl->text(), "基础管理");
    EXPECT_TRUE(form.pn_gl->alignment() & Qt::AlignHCenter);
    EXPECT_EQ(form.pn_gl->font().family(), QStringLiteral("隶书"));
    EXPECT_EQ(form.pn_gl->font().pixelSize(), 24);
    EXPECT_TRUE(form.pn_gl->font().bold());
    EXPECT_EQ(form.pn_gl->palette().color(QPalette::WindowText), QColor(0, 0, 128));
    EXPECT_EQ(form.tbr_base->font().family(), QStringLiteral("宋体"));
    EXPECT_EQ(form.tbr_base->font().pixelSize(), 12);
    EXPECT_FALSE(form.tbr_base->font().bold());
}

TEST(BaseForm, HiddenButtonsTakeNoRoom)
{
    TwoButtonForm form;
    EXPECT_EQ(form.tbok->pos(), QPoint(0, 2));
    EXPECT_EQ(form.tbexit->pos(), QPoint(35, 2));
    EXPECT_EQ(form.tbok->text(), "保存");
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_TRUE(form.tbok->isVisible());
    EXPECT_FALSE(form.tbprint->isVisible());
    // Showing a button again while the form is up puts it back in its place.
    form.tbdel->show();
    EXPECT_EQ(form.tbdel->pos(), QPoint(0, 2));
    EXPECT_EQ(form.tbok->pos(), QPoint(35, 2));
    EXPECT_EQ(form.tbexit->pos(), QPoint(70, 2));
    form.tbdel->hide();
    EXPECT_EQ(form.tbexit->pos(), QPoint(35, 2));
}

TEST(BaseForm, VisibleButtonsKeepTheirWidths)
{
    TFm_Base form;
    form.tbprint->hide();
    EXPECT_EQ(form.tbpreview->geometry(), QRect(0, 2, 38, 35));
    EXPECT_EQ(form.tbseek->pos(), QPoint(38, 2));
    form.tbpreview->resize(50, 35);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(form.tbseek->pos(), QPoint(50, 2));
    form.tbseek->resize(40, 35);
    EXPECT_EQ(form.tbrefresh->pos(), QPoint(90, 2));
}

TEST(BaseForm, ExitEndsTheModalRunWithCancelAndTheFormFreesItself)
{
    QPointer<TFm_Base> form = new TFm_Base;
    bool clicked = false;
    QTimer::singleShot(0, form, [&] {
        QTest::mouseClick(form->tbexit, Qt::LeftButton);
        clicked = true;
    });
    const int result = form->exec();
    EXPECT_TRUE(clicked);
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.isNull(); }));
}

TEST(BaseForm, ClosingByOtherMeansAlsoFreesTheForm)
{
    QPointer<TFm_Base> form = new TFm_Base;
    QTimer::singleShot(0, form, [&] { form->accept(); });
    EXPECT_EQ(form->exec(), QDialog::Accepted);
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.isNull(); }));
}

// Escape is the exit command itself, so a form whose exit asks first (or
// refuses) keeps doing so; Escape never closes a form past it.
TEST(BaseForm, EscapeRunsTheExitCommand)
{
    OwnExitForm form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTest::keyClick(&form, Qt::Key_Escape);
    EXPECT_EQ(form.exits, 1);
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.tbexit->toolTip(), QStringLiteral("退出 (Esc, Alt+F4)"));
}

TEST(BaseForm, DerivedHandlersTakeThePlaceOfTheBase)
{
    OwnExitForm form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTest::mouseClick(form.tbexit, Qt::LeftButton);
    EXPECT_EQ(form.exits, 1);
    EXPECT_TRUE(form.isVisible());
    form.close();
    EXPECT_EQ(form.closes, 1);
    EXPECT_TRUE(form.isVisible()); // the close was refused
    EXPECT_FALSE(form.testAttribute(Qt::WA_DeleteOnClose));
}

TEST(BaseForm, FailingCloseEventIsShownAndTheFormStaysOpen)
{
    ui::testing::Hooks hooks;
    QPointer<FailingCloseForm> form = new FailingCloseForm;
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.data()));
    // A close asked for by the window system (Alt+F4), outside any handler.
    QCloseEvent from_window_system;
    EXPECT_NO_THROW(QCoreApplication::sendEvent(form.data(), &from_window_system));
    EXPECT_FALSE(from_window_system.isAccepted());
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_EQ(hooks.errors()[0].text, QStringLiteral("reload failed"));
    EXPECT_TRUE(form->isVisible());
    // Ending the modal run by program fails the same way.
    EXPECT_NO_THROW(form->accept());
    EXPECT_EQ(hooks.errors().size(), 2u);
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->testAttribute(Qt::WA_DeleteOnClose));
    // Once the close event succeeds, the form closes and frees itself.
    form->fail = false;
    EXPECT_TRUE(form->close());
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.isNull(); }));
}

TEST(BaseForm, TwoImageGlyphShowsItsRightImageWhileDisabled)
{
    auto form = shown_form();
    const QImage enabled = form->tbok->displayed_glyph();
    form->tbok->setEnabled(false);
    const QImage disabled = form->tbok->displayed_glyph();
    ASSERT_EQ(disabled.size(), QSize(18, 18));
    const QImage bitmap = form->tbok->glyph();
    for (int y = 0; y < 18; ++y)
        for (int x = 0; x < 18; ++x) {
            const QColor right = bitmap.pixelColor(18 + x, y);
            const QColor left = bitmap.pixelColor(x, y);
            if (right != QColor(128, 128, 0)) {
                EXPECT_EQ(disabled.pixelColor(x, y), right) << x << "," << y;
            } else {
                EXPECT_EQ(disabled.pixelColor(x, y).alpha(), 0) << x << "," << y;
            }
            if (left != QColor(128, 128, 0)) {
                EXPECT_EQ(enabled.pixelColor(x, y), left);
            }
        }
    // What the user sees: the green tick is gone from the disabled button.
    auto has_green = [](const QImage &shot) {
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) {
                const QColor c = shot.pixelColor(x, y);
                if (c.green() > 100 && c.red() < 60 && c.blue() < 60) return true;
            }
        return false;
    };
    EXPECT_FALSE(has_green(form->tbok->grab().toImage()));
    form->tbok->setEnabled(true);
    EXPECT_TRUE(has_green(form->tbok->grab().toImage()));
}

TEST(BaseForm, FullSizeFormOpensMaximisedAndFillsTheScreen)
{
    FullSizeForm form;
    EXPECT_EQ(form.frame_width(), 3);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_TRUE(form.windowState() & Qt::WindowMaximized);
    EXPECT_EQ(form.frameGeometry(), form.screen()->availableGeometry());
}

TEST(BaseForm, ClientAlignedFormFillsItsOwner)
{
    QWidget owner;
    owner.setGeometry(50, 60, 800, 600);
    owner.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&owner));
    TFm_Base form(&owner);
    form.set_align(FormWindowStyles::Align::Client);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(form.geometry(), owner.geometry());
}

TEST(BaseForm, CentredWhenItsPositionIsScreenCentre)
{
    TFm_Base form;
    form.set_position(FormWindowStyles::Position::ScreenCenter);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QPoint centre = form.screen()->geometry().center();
    EXPECT_LE((form.geometry().center() - centre).manhattanLength(), 2);
    EXPECT_EQ(form.size(), QSize(697, 450));
}

TEST(BaseForm, BorderAndFormStyleChangeTheWindowFlags)
{
    TFm_Base form;
    form.set_form_style(FormWindowStyles::FormStyle::StayOnTop);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowStaysOnTopHint);
    form.set_border_style(FormWindowStyles::BorderStyle::None);
    EXPECT_TRUE(form.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(form.frame_width(), 0);
    form.set_client_size(597, 420);
    EXPECT_EQ(form.size(), QSize(599, 422));
    form.set_form_style(FormWindowStyles::FormStyle::Normal);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowCloseButtonHint);
}

namespace {

class BaseFormSettings : public ::testing::Test
{
protected:
    void apply(TFm_Base &form, const QByteArray &text)
    {
        const QString path = dir.filePath("mis_system.ini");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        file.close();
        TGETFORMSETTING(path).apply_form_settings(&form, "B");
    }
    QTemporaryDir dir;
};

} // namespace

TEST_F(BaseFormSettings, WithoutAFileTheFormOpensAsDesigned)
{
    FullSizeForm form;
    TGETFORMSETTING(dir.filePath("none.ini")).apply_form_settings(&form, "B");
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_TRUE(form.windowState() & Qt::WindowMaximized);
    EXPECT_EQ(form.align(), FormWindowStyles::Align::Client);
    EXPECT_EQ(form.border_style(), FormWindowStyles::BorderStyle::Dialog);
}

TEST_F(BaseFormSettings, WindowStateTwoOpensTheFormNormal)
{
    FullSizeForm form;
    apply(form, "[preform]\nform_windowstate=2\n");
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_FALSE(form.windowState() & Qt::WindowMaximized);
    EXPECT_EQ(form.align(), FormWindowStyles::Align::Client);
    EXPECT_EQ(form.position(), FormWindowStyles::Position::ScreenCenter);
    EXPECT_EQ(form.border_style(), FormWindowStyles::BorderStyle::Dialog);
}

TEST_F(BaseFormSettings, PlacedWhereTheFileSaysWhenTheStylesAreOff)
{
    FullSizeForm form;
    apply(form, "[preform]\ntop=20\nleft=30\nwidth=0x200\nheight=400\ncolor=14473669\n"
                "font.size=9\nform_align=3\nform_windowstate=2\nform_position=3\n");
    EXPECT_EQ(form.frameGeometry(), QRect(30, 20, 512, 400)); // outer box
    EXPECT_EQ(form.color(), QColor(197, 217, 220));
    EXPECT_EQ(form.font().pixelSize(), 12);
    EXPECT_EQ(form.tbr_base->font().pixelSize(), 12); // the toolbar keeps its own font
    EXPECT_EQ(form.pn_gl->font().pixelSize(), 24);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_FALSE(form.windowState() & Qt::WindowMaximized);
    EXPECT_EQ(form.frameGeometry(), QRect(30, 20, 512, 400)); // not moved when shown
}

TEST_F(BaseFormSettings, BorderStyleOneTakesTheFrameAway)
{
    FullSizeForm form;
    apply(form, "[preform]\nform_borderstyle=1\nform_formstyle=2\n");
    EXPECT_EQ(form.border_style(), FormWindowStyles::BorderStyle::None);
    EXPECT_TRUE(form.windowFlags() & Qt::FramelessWindowHint);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_TRUE(form.windowState() & Qt::WindowMaximized); // still as designed
    EXPECT_EQ(form.Panel1->x(), 1); // only the border width is left
}
