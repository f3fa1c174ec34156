#include "sheet_export.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "board_model.h"

namespace sheets {

namespace {

// How wide a text shows in a sheet's column: a Chinese character takes two.
int display_width(const std::string &text)
{
    int width = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const int length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        width += length >= 3 ? 2 : 1;
        i += static_cast<std::size_t>(length);
    }
    return width;
}

std::string text_of(const Value &value)
{
    if (const auto *number = std::get_if<double>(&value)) return board::format_quantity(*number);
    if (const auto *text = std::get_if<std::string>(&value)) return *text;
    return {};
}

}  // namespace

Sheet board_sheet(const board::BoardModel &model, const std::string &state)
{
    Sheet sheet;
    sheet.name = tab_name(model.department() + " " + model.department_name());
    sheet.rows.push_back({std::string(kMonthLabel), model.month(), std::string(kDepartmentLabel), model.department(),
                          model.department_name(), std::string(kStateLabel), state});
    std::vector<Value> header{std::string(kSequenceHeader), std::string(kIndicatorHeader), std::string(kPlanHeader)};
    for (int s = 0; s < model.salesman_count(); ++s)
        header.emplace_back(model.salesman(s).code + " " + model.salesman(s).name);
    header.emplace_back(std::string(kAllocatedHeader));
    header.emplace_back(std::string(kRemainingHeader));
    sheet.rows.push_back(std::move(header));
    sheet.header_row = 1;
    sheet.frozen_columns = 2;

    for (int i = 0; i < model.indicator_count(); ++i) {
        const board::Indicator &ind = model.indicator(i);
        std::vector<Value> row{ind.key.sequence, ind.key.name};
        row.emplace_back(ind.in_department_plan ? Value(ind.plan) : Value());
        for (int s = 0; s < model.salesman_count(); ++s) {
            const board::Position cell{i, s};
            if (model.cell_kind(cell) == board::CellKind::NoPlan) row.emplace_back();
            else if (model.cell_kind(cell) == board::CellKind::NoRow) row.emplace_back();
            else row.emplace_back(model.cell_quantity(cell));
        }
        row.emplace_back(model.allocated(i));
        row.emplace_back(model.remaining(i));
        sheet.rows.push_back(std::move(row));
    }
    std::vector<Value> totals{std::string(kTotalsLabel), Value(), model.plan_total()};
    for (int s = 0; s < model.salesman_count(); ++s) totals.emplace_back(model.salesman_total(s));
    totals.emplace_back(model.allocated_total());
    totals.emplace_back(model.remaining_total());
    sheet.totals_row = static_cast<int>(sheet.rows.size());
    sheet.rows.push_back(std::move(totals));
    return sheet;
}

std::string tab_name(const std::string &wanted)
{
    std::string name;
    int characters = 0;
    for (std::size_t i = 0; i < wanted.size() && characters < 31;) {
        const auto c = static_cast<unsigned char>(wanted[i]);
        const std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        std::string piece = wanted.substr(i, length);
        if (piece.size() == 1 && std::string("[]:*?/\\").find(piece[0]) != std::string::npos) piece = "_";
        name += piece;
        ++characters;
        i += length;
    }
    while (!name.empty() && (name.back() == ' ' || name.back() == '\'')) name.pop_back();
    return name.empty() ? "Sheet" : name;
}

std::optional<std::string> write_xlsx(const std::string &path, const std::vector<Sheet> &sheets)
{
    lxw_workbook *book = workbook_new(path.c_str());
    if (!book) return "无法创建文件 " + path;
    lxw_format *bold = workbook_add_format(book);
    format_set_bold(bold);
    lxw_format *number = workbook_add_format(book);
    format_set_num_format(number, "General");
    std::vector<std::string> used;
    for (const Sheet &sheet : sheets) {
        // Two departments of the same name still get tabs of their own.
        std::string name = tab_name(sheet.name);
        for (int n = 2; std::find(used.begin(), used.end(), name) != used.end(); ++n)
            name = tab_name(sheet.name).substr(0, 24) + " (" + std::to_string(n) + ")";
        used.push_back(name);
        lxw_worksheet *ws = workbook_add_worksheet(book, name.c_str());
        if (!ws) {
            workbook_close(book);
            std::remove(path.c_str());
            return "工作表名称“" + name + "”不能使用";
        }
        std::vector<int> widths;
        for (std::size_t r = 0; r < sheet.rows.size(); ++r) {
            const bool strong = static_cast<int>(r) == sheet.header_row || static_cast<int>(r) == sheet.totals_row;
            for (std::size_t c = 0; c < sheet.rows[r].size(); ++c) {
                const Value &v = sheet.rows[r][c];
                const auto row = static_cast<lxw_row_t>(r);
                const auto col = static_cast<lxw_col_t>(c);
                if (const auto *d = std::get_if<double>(&v)) worksheet_write_number(ws, row, col, *d, strong ? bold : number);
                else if (const auto *s = std::get_if<std::string>(&v))
                    worksheet_write_string(ws, row, col, s->c_str(), strong ? bold : nullptr);
                if (widths.size() <= c) widths.resize(c + 1, 0);
                // The heading row above the header does not widen the columns.
                if (static_cast<int>(r) >= sheet.header_row)
                    widths[c] = std::max(widths[c], display_width(text_of(v)));
            }
        }
        for (std::size_t c = 0; c < widths.size(); ++c)
            worksheet_set_column(ws, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c),
                                 std::clamp(widths[c] + 2, 6, 40), nullptr);
        worksheet_freeze_panes(ws, static_cast<lxw_row_t>(sheet.header_row + 1),
                               static_cast<lxw_col_t>(sheet.frozen_columns));
    }
    const lxw_error error = workbook_close(book);
    if (error != LXW_NO_ERROR) {
        std::remove(path.c_str());
        return "无法写入文件 " + path + "（" + lxw_strerror(error) + "）";
    }
    return std::nullopt;
}

std::string csv_text(const Sheet &sheet)
{
    std::string out = "\xEF\xBB\xBF";
    for (const auto &row : sheet.rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (c) out += ',';
            const std::string field = text_of(row[c]);
            if (field.find_first_of(",\"\r\n") == std::string::npos) {
                out += field;
                continue;
            }
            out += '"';
            for (char ch : field) {
                if (ch == '"') out += '"';
                out += ch;
            }
            out += '"';
        }
        out += "\r\n";
    }
    return out;
}

std::optional<std::string> write_csv(const std::string &path, const Sheet &sheet)
{
    const std::string text = csv_text(sheet);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) return "无法创建文件 " + path;
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    if (!file) return "无法写入文件 " + path;
    return std::nullopt;
}

std::string default_file_name(const std::string &what, const std::string &month, const std::string &code,
                              const std::string &suffix)
{
    return what + "_" + month + (code.empty() ? "" : "_" + code) + "." + suffix;
}

}  // namespace sheets
