// A sheet of the export's shape (sheet_export.h) read against the board:
// which cells it changes, which it leaves as they are, and which it cannot
// take, each refusal with the cell's address (D5) and the reason. Rows are
// matched by 序号 (and 指标 where 序号 is empty or shared), columns by the
// salesman's code or name in the header; 上级计划, 已分配, 剩余 and the 合计
// row are the board's own figures and are not read. An empty cell changes
// nothing. The heading's month and department must be the board's.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "board_model.h"
#include "sheet_export.h"

namespace sheet {
struct Table;
}

namespace sheets {

// The sheet as read: rows of cells (nothing, a number or a text).
using Grid = std::vector<std::vector<Value>>;

struct ImportRefusal {
    std::string address;  // "D5", or "第5行", "D列"
    std::string reason;
    std::optional<board::CellKey> cell;  // the board's cell, when there is one
};

struct ImportPlan {
    // The whole sheet refused (another month or department, not the board's shape).
    std::optional<std::string> wrong_sheet;
    std::map<board::CellKey, double> changes;
    int unchanged = 0;
    std::vector<ImportRefusal> refusals;
    bool applicable() const { return !wrong_sheet && refusals.empty() && !changes.empty(); }
};

ImportPlan plan_import(const Grid &grid, const board::BoardModel &model);

// The reader's table as the import reads it (numbers as numbers, texts as texts).
Grid grid_of(const sheet::Table &table);

// "A1" for row 0, column 0; "AA10" for row 9, column 26.
std::string cell_address(int row, int column);

}  // namespace sheets
