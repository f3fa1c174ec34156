#include "Base.h"

#include "ui.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

static void init_glyph_resources()
{
    Q_INIT_RESOURCE(glyphs);
}

namespace {

constexpr int k_button_top = 2;
constexpr int k_button_height = 35;

struct ButtonDesign
{
    TFlatSpeedButton *TFm_Base::*member;
    const char *name;
    int width;
    const char *caption;
    const char *glyph;
    int num_glyphs;
};

// The toolbar as designed, left to right.
const ButtonDesign k_buttons[] = {
    {&TFm_Base::tbprint, "tbprint", 35, "打印", "tbprint", 1},
    {&TFm_Base::tbpreview, "tbpreview", 38, "设置", "tbpreview", 1},
    {&TFm_Base::tbseek, "tbseek", 35, "查找", "tbseek", 1},
    {&TFm_Base::tbrefresh, "tbrefresh", 35, "刷新", "tbrefresh", 1},
    {&TFm_Base::tbfirst, "tbfirst", 35, "首条", "tbfirst", 1},
    {&TFm_Base::tbprior, "tbprior", 35, "上条", "tbprior", 1},
    {&TFm_Base::tbnext, "tbnext", 35, "下条", "tbnext", 1},
    {&TFm_Base::tblast, "tblast", 35, "末条", "tblast", 1},
    {&TFm_Base::tbnew, "tbnew", 35, "新增", "tbnew", 1},
    {&TFm_Base::tbedit, "tbedit", 35, "编辑", "tbedit", 1},
    {&TFm_Base::tbdel, "tbdel", 35, "删除", "tbdel", 1},
    {&TFm_Base::tbok, "tbok", 35, "确定", "tbok", 2},
    {&TFm_Base::tbcancel, "tbcancel", 35, "取消", "tbcancel", 2},
    {&TFm_Base::tbexit, "tbexit", 35, "退出", "tbexit", 1},
};

QScreen *screen_of(const QWidget *widget)
{
    if (QScreen *screen = widget->screen()) return screen;
    return QGuiApplication::primaryScreen();
}

} // namespace

// ---------------------------------------------------------------- toolbar

TBaseToolBar::TBaseToolBar(QWidget *parent) : QWidget(parent) {}

void TBaseToolBar::add_button(TFlatSpeedButton *button, int width, int height)
{
    button->setParent(this);
    button->resize(width, height);
    button->installEventFilter(this);
    buttons_.append(button);
    relayout();
}

void TBaseToolBar::insert_button(TFlatSpeedButton *button, int width, int height, TFlatSpeedButton *before)
{
    button->setParent(this);
    button->resize(width, height);
    button->installEventFilter(this);
    const qsizetype at = buttons_.indexOf(before);
    buttons_.insert(at < 0 ? buttons_.size() : at, button);
    relayout();
}

void TBaseToolBar::relayout()
{
    if (relayouting_) return;
    relayouting_ = true;
    int left = 0;
    for (TFlatSpeedButton *button : buttons_) {
        if (button->isHidden()) continue;
        button->move(left, TFm_Base::pixels(k_button_top));
        left += button->width();
    }
    relayouting_ = false;
}

bool TBaseToolBar::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::ShowToParent:
    case QEvent::HideToParent:
    case QEvent::Resize:
        relayout();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void TBaseToolBar::showEvent(QShowEvent *event)
{
    // Buttons resized while the form was hidden report it only now.
    relayout();
    QWidget::showEvent(event);
}

void TBaseToolBar::paintEvent(QPaintEvent *)
{
    // The etched line along the top edge.
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawLine(0, 0, width() - 1, 0);
    painter.setPen(palette().color(QPalette::Light));
    painter.drawLine(0, 1, width() - 1, 1);
}

// ---------------------------------------------------------------- form

int TFm_Base::pixels(int design_pixels)
{
    // Qt lays windows out in device-independent pixels and scales them to
    // the screen itself, so its logical resolution is 96 unless that
    // scaling is switched off.
    const QScreen *screen = QGuiApplication::primaryScreen();
    const double dpi = screen ? screen->logicalDotsPerInchY() : 96.0;
    return qRound(design_pixels * dpi / 96.0);
}

QFont TFm_Base::design_font(const QString &face, int design_height, bool bold)
{
    QFont font(face);
    font.setPixelSize(pixels(design_height));
    font.setBold(bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

TFm_Base::TFm_Base(QWidget *parent) : ModalForm(parent)
{
    init_glyph_resources();
    ui::install_font_substitutions();

    setObjectName(QStringLiteral("Fm_Base"));
    setWindowTitle(QStringLiteral("Fm_Base"));
    setFont(design_font(QStringLiteral("宋体"), 15));
    setSizeGripEnabled(false);

    form_layout_ = new QVBoxLayout(this);
    form_layout_->setSpacing(0);

    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFixedHeight(pixels(73));
    auto *panel_layout = new QVBoxLayout(Panel1);
    panel_layout->setContentsMargins(0, 0, 0, pixels(3));
    panel_layout->setSpacing(0);

    tbr_base = new TBaseToolBar(Panel1);
    tbr_base->setObjectName(QStringLiteral("tbr_base"));
    tbr_base->setAccessibleName(QStringLiteral("tbr_base"));
    tbr_base->setFixedHeight(pixels(40));
    tbr_base->setFont(design_font(QStringLiteral("宋体"), 12));
    panel_layout->addWidget(tbr_base);

    pn_gl = new QLabel(QStringLiteral("基础管理"), Panel1);
    pn_gl->setObjectName(QStringLiteral("pn_gl"));
    pn_gl->setAlignment(Qt::AlignCenter);
    pn_gl->setFixedHeight(pixels(30));
    pn_gl->setFont(design_font(QStringLiteral("隶书"), 24, true));
    QPalette heading = pn_gl->palette();
    heading.setColor(QPalette::WindowText, QColor(0, 0, 128));
    pn_gl->setPalette(heading);
    panel_layout->addWidget(pn_gl);

    form_layout_->addWidget(Panel1);

    client_ = new QWidget(this);
    client_->setObjectName(QStringLiteral("client_area"));
    client_layout_ = new QVBoxLayout(client_);
    client_layout_->setContentsMargins(0, 0, 0, 0);
    client_layout_->setSpacing(0);
    form_layout_->addWidget(client_, 1);

    for (const ButtonDesign &design : k_buttons) {
        auto *button = new TFlatSpeedButton(QString::fromUtf8(design.caption));
        button->setObjectName(QString::fromLatin1(design.name));
        button->load_glyph(QStringLiteral(":/glyphs/%1.bmp").arg(QLatin1String(design.glyph)));
        button->set_num_glyphs(design.num_glyphs);
        tbr_base->add_button(button, pixels(design.width), pixels(k_button_height));
        this->*design.member = button;
    }
    // Every exit runs through the handler guard, whichever form overrides it.
    ui::connect_guarded(tbexit, &QAbstractButton::clicked, this, &TFm_Base::tbexitClick);

    // The commands can be reached with Tab (a click leaves the focus where
    // it was, so an open cell editor keeps its text).
    for (TFlatSpeedButton *button : toolbar_buttons()) button->setFocusPolicy(Qt::TabFocus);
    set_exit_command(tbexit);
    set_command_key(tbexit, QKeySequence(), QStringLiteral("Esc, Alt+F4"));

    update_margins();
    update_window_flags();
    setGeometry(pixels(103), pixels(97), pixels(697), pixels(450));
}

TFm_Base::~TFm_Base() = default;

int TFm_Base::frame_width() const
{
    switch (border_style_) {
    case BorderStyle::Sizeable: return pixels(4);
    case BorderStyle::Dialog: return pixels(3);
    case BorderStyle::None: return 0;
    }
    return 0;
}

void TFm_Base::set_client_size(int width, int height)
{
    const int around = 2 * (frame_width() + pixels(border_width));
    resize(width + around, height + around);
}

void TFm_Base::update_margins()
{
    const int margin = frame_width() + pixels(border_width);
    form_layout_->setContentsMargins(margin, margin, margin, margin);
}

QColor TFm_Base::color() const
{
    return palette().color(QPalette::Window);
}

void TFm_Base::set_color(const QColor &colour)
{
    QPalette p = palette();
    p.setColor(QPalette::Window, colour);
    setPalette(p);
    setAutoFillBackground(true);
}

void TFm_Base::set_align(Align value)
{
    align_ = value;
    if (isVisible()) apply_placement();
}

void TFm_Base::set_window_state(WindowState value)
{
    window_state_ = value;
    sync_window_state();
}

void TFm_Base::sync_window_state()
{
    const Qt::WindowStates state = window_state_ == WindowState::Maximized
                                       ? windowState() | Qt::WindowMaximized
                                       : windowState() & ~Qt::WindowMaximized;
    if (state != windowState()) setWindowState(state);
    // Changing the window flags of a hidden form can leave its native
    // window with the state it had before; keep the two in step.
    if (QWindow *window = windowHandle()) {
        const Qt::WindowStates native = state & ~Qt::WindowActive;
        if (window->windowStates() != native) window->setWindowStates(native);
    }
}

void TFm_Base::set_position(Position value)
{
    position_ = value;
    if (isVisible()) apply_placement();
}

void TFm_Base::set_border_style(BorderStyle value)
{
    border_style_ = value;
    update_margins();
    update_window_flags();
}

void TFm_Base::set_form_style(FormStyle value)
{
    form_style_ = value;
    update_window_flags();
}

void TFm_Base::update_window_flags()
{
    // No system menu and no minimise, maximise, help or close button.
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if (border_style_ == BorderStyle::None)
        flags |= Qt::FramelessWindowHint;
    else
        flags |= Qt::WindowTitleHint;
    if (form_style_ == FormStyle::StayOnTop) flags |= Qt::WindowStaysOnTopHint;
    if (flags == windowFlags()) return;
    const bool visible = isVisible();
    setWindowFlags(flags);
    sync_window_state(); // Qt may bring back an earlier state with new flags
    if (visible) show(); // new flags hide a window
}

void TFm_Base::apply_placement()
{
    const QScreen *screen = screen_of(this);
    QRect box = geometry();
    if (align_ == Align::Client) {
        if (const QWidget *owner = parentWidget())
            box = owner->window()->geometry();
        else if (screen)
            box = screen->availableGeometry();
    } else if (position_ == Position::ScreenCenter && screen) {
        box.moveCenter(screen->geometry().center());
    }
    if (box != geometry()) setGeometry(box);
    sync_window_state();
}

void TFm_Base::setVisible(bool visible)
{
    if (visible && !isVisible()) apply_placement();
    ModalForm::setVisible(visible);
}

void TFm_Base::tbexitClick()
{
    close();
}

void TFm_Base::set_command_key(TFlatSpeedButton *button, const QKeySequence &key, const QString &also)
{
    QStringList keys;
    if (!key.isEmpty()) {
        button->setShortcut(key);
        keys << key.toString(QKeySequence::NativeText);
    }
    if (!also.isEmpty()) keys << also;
    button->setToolTip(keys.isEmpty() ? button->text()
                                      : QStringLiteral("%1 (%2)").arg(button->text(), keys.join(QStringLiteral(", "))));
}
