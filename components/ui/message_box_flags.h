// The message-box flag values and results, free of any toolkit, so the data
// layer can say how a refusal is to be shown without knowing the windows.
#pragma once

namespace ui {

// Flag values: the low nibble chooses the buttons, the next one the icon,
// bits 256/512 the default button.
namespace mb {
inline constexpr int ok = 0;               // OK
inline constexpr int ok_cancel = 1;        // OK, Cancel
inline constexpr int yes_no_cancel = 3;    // Yes, No, Cancel
inline constexpr int yes_no = 4;           // Yes, No
inline constexpr int icon_error = 16;      // stop sign
inline constexpr int icon_question = 32;   // question mark
inline constexpr int icon_warning = 48;    // exclamation mark
inline constexpr int icon_information = 64;
inline constexpr int default_button2 = 256;
inline constexpr int default_button3 = 512;
// The three parts of a flag value.
inline constexpr int buttons_part = 0x0F;
inline constexpr int icon_part = 0xF0;
inline constexpr int default_button_part = 0xF00;
}  // namespace mb

// Results of a message box.
inline constexpr int result_ok = 1;
inline constexpr int result_cancel = 2;
inline constexpr int result_yes = 6;
inline constexpr int result_no = 7;

}  // namespace ui
