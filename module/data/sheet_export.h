// The board and a salesman's plan as spreadsheets: .xlsx (one sheet per
// department) and CSV (UTF-8 with a byte order mark, RFC 4180 quoting). No
// widgets: the commands of the board and the main form choose the file.
//
// The board's sheet:
//   row 1  年月 | 202612 | 访销部 | 01 | 城东访销部 | 状态 | 草稿
//   row 2  序号 | 指标 | 上级计划 | 0101 张伟 | 0102 李娜 | ... | 已分配 | 剩余
//   rows   one per indicator, the quantities as numbers (a salesman without a
//          plan: an empty cell)
//   last   合计 | | the totals
// The import (sheet_import.h) reads the same shape back.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace board {
class BoardModel;
}

namespace sheets {

// A cell to write: nothing, a number or a text.
using Value = std::variant<std::monostate, double, std::string>;

struct Sheet {
    std::string name;  // the tab's name (.xlsx)
    std::vector<std::vector<Value>> rows;
    int header_row = 1;  // the rows up to and including it stay in view (frozen)
    int frozen_columns = 0;
    int totals_row = -1;  // written bold, like the header
};

// The words of the board's sheet.
inline constexpr const char *kMonthLabel = "年月";
inline constexpr const char *kDepartmentLabel = "访销部";
inline constexpr const char *kStateLabel = "状态";
inline constexpr const char *kSequenceHeader = "序号";
inline constexpr const char *kIndicatorHeader = "指标";
inline constexpr const char *kPlanHeader = "上级计划";
inline constexpr const char *kAllocatedHeader = "已分配";
inline constexpr const char *kRemainingHeader = "剩余";
inline constexpr const char *kTotalsLabel = "合计";

// The board's department month as a sheet; `state` is the month's state (草稿, ...).
Sheet board_sheet(const board::BoardModel &model, const std::string &state);

// A tab name .xlsx accepts: at most 31 characters, none of []:*?/\, not empty.
std::string tab_name(const std::string &wanted);

// Writes the sheets as one workbook (in this order); the reason in the
// planner's words when the file cannot be written.
std::optional<std::string> write_xlsx(const std::string &path, const std::vector<Sheet> &sheets);
// The sheet as CSV text: UTF-8 with a byte order mark, CRLF line ends, a
// field quoted when it holds a comma, quote or line break.
std::string csv_text(const Sheet &sheet);
std::optional<std::string> write_csv(const std::string &path, const Sheet &sheet);

// The file's name the dialogs propose: 部门计划_202612_01.xlsx.
std::string default_file_name(const std::string &what, const std::string &month, const std::string &code,
                              const std::string &suffix);

}  // namespace sheets
