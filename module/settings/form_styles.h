// The designed window styles of a form that the placement settings can
// switch off: alignment, window state, position rule, border style and form
// style. A form that has them (TFm_Base) implements this interface; the
// placement settings reach them through it and set each one through its
// setter, so the form changes at once.
#pragma once

class FormWindowStyles
{
public:
    enum class Align { None, Client };                // client: fill the parent's area
    enum class WindowState { Normal, Maximized };
    enum class Position { Designed, ScreenCenter };   // designed: keep left and top
    enum class BorderStyle { None, Sizeable, Dialog };
    enum class FormStyle { Normal, StayOnTop };

    virtual ~FormWindowStyles() = default;

    virtual Align align() const = 0;
    virtual void set_align(Align value) = 0;
    virtual WindowState window_state() const = 0;
    virtual void set_window_state(WindowState value) = 0;
    virtual Position position() const = 0;
    virtual void set_position(Position value) = 0;
    virtual BorderStyle border_style() const = 0;
    virtual void set_border_style(BorderStyle value) = 0;
    virtual FormStyle form_style() const = 0;
    virtual void set_form_style(FormStyle value) = 0;
};
