// The board's toolbar commands other than 保存 and 退出. Each is defined in a
// file of its own (board_print.cpp, board_generate.cpp, ...) and listed once,
// in toolbar order, by board_commands(); the board makes a button of each and
// keeps those that change the plan disabled while it is read-only. A later
// command (分配剩余, 沿用上月, 提交, 导出, ...) is one more file and one more line.
#pragma once

#include <QKeySequence>
#include <QString>

#include <functional>
#include <vector>

class TFm_Base;
class TFm_board;
class TFlatSpeedButton;
class TfrReport;

struct BoardCommand {
    const char *object_name = nullptr;  // the button's, and its accessible name's key
    QString caption;
    QString glyph;  // a picture of resources/glyphs, by name
    QKeySequence key;
    // Disabled while the board is read-only or offers nothing to edit.
    bool changes_plan = false;
    // A button of the base toolbar the command takes over (at its place);
    // none: a new button placed before 退出.
    TFlatSpeedButton *TFm_Base::*base_button = nullptr;
    // Where a new button stands: before this base button (none: before 退出).
    TFlatSpeedButton *TFm_Base::*place_before = nullptr;
    std::function<void(TFm_board &)> run;
};

// The board's commands, in toolbar order.
std::vector<BoardCommand> board_commands();

// The commands, one per file.
BoardCommand board_print_command();     // 打印 (board_print.cpp)
BoardCommand board_generate_command();  // 生成 (board_generate.cpp)
BoardCommand board_allocate_command();      // 分配剩余 (board_allocate.cpp)
BoardCommand board_roll_forward_command();  // 沿用上月 (board_roll_forward.cpp)
BoardCommand board_export_command();        // 导出 (board_sheets.cpp)
BoardCommand board_import_command();        // 导入 (board_sheets.cpp)

// 提交, 批准, 退回, 申请修订 (board_state.cpp): the month's sign-off, its
// state in the heading, its history under the grid, its lock on the board.
BoardCommand board_submit_command();
BoardCommand board_approve_command();
BoardCommand board_return_command();
BoardCommand board_revise_command();
namespace board_state {
// Builds the history list under the grid (from the board's constructor).
void install(TFm_board &form);
// Reads the month's state after the board has loaded: the heading, the lock
// (a submitted or approved month is read-only), the history.
void read(TFm_board &form);
// The four buttons enabled by the account's role and the state.
void update_buttons(TFm_board &form);
// The printout's jhzt, pzr and pzsj.
void set_report_variables(TFm_board &form, TfrReport &report);
}  // namespace board_state

// The board's printout template, found like the salesman printout's (the
// current folder, then the installed data folder), else the copy built in.
inline constexpr const char *kBoardReportTemplate = "bmjhfp.frf";
// Salesman columns on one sheet of the printout; more go on further sheets,
// the indicator columns repeated.
inline constexpr int kSalesmenPerSheet = 8;

// Loads the template and hands the report the board: the variables (bmmc
// the department, ywny the month, nyzw the month in words, zt the state
// line) and the list "sheets" (see docs/report_template.md).
void prepare_board_report(TFm_board &form);
