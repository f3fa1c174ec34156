// The common frame of the module's full-size windows: across the top a
// toolbar of fourteen flat command buttons with pictures, under it a heading
// strip in large navy script, below that a client area the derived form
// fills. The exit button closes the form, and a closed form frees itself.
//
// Deriving: the base layout is built by this constructor; a derived form's
// constructor changes only what differs (captions, pictures, visibility,
// colours, size, window styles) and adds its own components to
// client_area() / client_layout(). tbexitClick and FormClose are virtual
// with the base behaviour as their default; tbexit is the form's exit
// command (modal_form.h). A hidden toolbar button takes no room: the visible
// ones close up from the left keeping their widths.
#pragma once

#include "TFlatSpeedButton.h"
#include "form_styles.h"
#include "modal_form.h"

#include <QKeySequence>
#include <QLabel>
#include <QList>

class QVBoxLayout;

// The toolbar strip of the base form: buttons side by side from the left,
// top 2, with a border line along the top edge.
class TBaseToolBar : public QWidget
{
    Q_OBJECT

public:
    explicit TBaseToolBar(QWidget *parent = nullptr);

    // Appends a button at the right end; its width stays its own.
    void add_button(TFlatSpeedButton *button, int width, int height);
    // Puts a button in before another one (at the right end when `before` is
    // not on the toolbar).
    void insert_button(TFlatSpeedButton *button, int width, int height, TFlatSpeedButton *before);
    const QList<TFlatSpeedButton *> &buttons() const { return buttons_; }

    // Places the buttons that are not hidden edge to edge from the left.
    // Runs by itself whenever a button is shown, hidden or resized.
    void relayout();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    QList<TFlatSpeedButton *> buttons_;
    bool relayouting_ = false;
};

class TFm_Base : public ModalForm, public FormWindowStyles
{
    Q_OBJECT

public:
    explicit TFm_Base(QWidget *parent = nullptr);
    ~TFm_Base() override;

    // Components, in their declared order.
    QWidget *Panel1 = nullptr;        // toolbar and heading, height 73
    QLabel *pn_gl = nullptr;          // heading strip "基础管理"
    TBaseToolBar *tbr_base = nullptr; // the fourteen buttons
    TFlatSpeedButton *tbprint = nullptr;
    TFlatSpeedButton *tbpreview = nullptr;
    TFlatSpeedButton *tbseek = nullptr;
    TFlatSpeedButton *tbrefresh = nullptr;
    TFlatSpeedButton *tbfirst = nullptr;
    TFlatSpeedButton *tbprior = nullptr;
    TFlatSpeedButton *tbnext = nullptr;
    TFlatSpeedButton *tblast = nullptr;
    TFlatSpeedButton *tbnew = nullptr;
    TFlatSpeedButton *tbedit = nullptr;
    TFlatSpeedButton *tbdel = nullptr;
    TFlatSpeedButton *tbexit = nullptr;
    TFlatSpeedButton *tbcancel = nullptr;
    TFlatSpeedButton *tbok = nullptr;

    // The buttons in toolbar order, left to right as designed.
    QList<TFlatSpeedButton *> toolbar_buttons() const { return tbr_base->buttons(); }

    // The area below Panel1, empty in the base form. Its layout (vertical,
    // no margins, no spacing) is where derived forms add their components.
    QWidget *client_area() const { return client_; }
    QVBoxLayout *client_layout() const { return client_layout_; }

    // A design size in pixels at 96 pixels per inch, in the screen's pixels.
    static int pixels(int design_pixels);
    // A font of the given face whose characters are `design_height` pixels
    // high at 96 pixels per inch.
    static QFont design_font(const QString &face, int design_height, bool bold = false);

    // The one-pixel margin inside the frame, around the client area.
    static constexpr int border_width = 1;
    // The frame the form draws around its contents for its border style
    // (sizeable 4, dialog 3, none 0), kept within the outer size.
    int frame_width() const;
    // Sets the outer size from the size of the client area (below the
    // frame and the border width).
    void set_client_size(int width, int height);

    // The form's colour (the button face colour as designed).
    QColor color() const;
    void set_color(const QColor &colour);

    // FormWindowStyles. As designed: no alignment, normal state, designed
    // position, sizeable border, normal form style.
    Align align() const override { return align_; }
    void set_align(Align value) override;
    WindowState window_state() const override { return window_state_; }
    void set_window_state(WindowState value) override;
    Position position() const override { return position_; }
    void set_position(Position value) override;
    BorderStyle border_style() const override { return border_style_; }
    void set_border_style(BorderStyle value) override;
    FormStyle form_style() const override { return form_style_; }
    void set_form_style(FormStyle value) override;

    void setVisible(bool visible) override;

    // Gives a toolbar command a shortcut and names it in the button's
    // tooltip ("打印 (Ctrl+P)"); `also` adds keys the form handles itself.
    static void set_command_key(TFlatSpeedButton *button, const QKeySequence &key, const QString &also = {});

public slots:
    // tbexit's click: closes the form. Shown modally, this ends the modal
    // run with Rejected, after which the close event runs (FormClose, by
    // default the close action "free"). Escape, Alt+F4 and the window
    // manager's close run the same command, through tbexit.
    virtual void tbexitClick();

private:
    void update_window_flags();
    void update_margins();
    void sync_window_state();
    void apply_placement(); // alignment, state and position, when shown

    QWidget *client_ = nullptr;
    QVBoxLayout *client_layout_ = nullptr;
    QVBoxLayout *form_layout_ = nullptr;
    Align align_ = Align::None;
    WindowState window_state_ = WindowState::Normal;
    Position position_ = Position::Designed;
    BorderStyle border_style_ = BorderStyle::Sizeable;
    FormStyle form_style_ = FormStyle::Normal;
};
