// 导出 and 导入 on the board. 导出 writes the department's month (or every
// department's of the month, one sheet each) as .xlsx, or the department's
// as CSV. 导入 reads a sheet of that shape into a preview on the board: the
// cells it changes marked blue, the cells it cannot take red with the
// reason; 确定 (only when nothing is refused) has the server apply it whole
// through the allocation rule and the audit (导入 and the file's name).
#include <nlohmann/json.hpp>

#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QStringList>

#include "Unit_board.h"
#include "Unit_dmYearplan.h"
#include "allocation_calls.h"
#include "board_commands.h"
#include "board_preview.h"
#include "board_source.h"
#include "contract.h"
#include "month_state.h"
#include "plan_vocabulary.h"
#include "remote_connection.h"
#include "sheet_files.h"
#include "sheet_reader.h"
#include "TFlatComboBox.h"
#include "ui.h"

namespace {

QString text_of(const std::string &s) { return QString::fromStdString(s); }
const QString kWarning = QStringLiteral("警告");
const QString kNotice = QStringLiteral("提示");

const QStringList &export_filters()
{
    static const QStringList filters = {QStringLiteral("本部门 Excel 工作簿 (*.xlsx)"),
                                        QStringLiteral("本部门 CSV 文件 (*.csv)"),
                                        QStringLiteral("本月所有部门 Excel 工作簿 (*.xlsx)")};
    return filters;
}

void export_board(TFm_board &form)
{
    if (!form.take_in_editor()) return;
    const auto choice = sheet_files::choose(
        &form, true, QStringLiteral("导出部门计划"),
        text_of(sheets::default_file_name("部门计划", form.month(), form.department(), "xlsx")), export_filters());
    if (!choice) return;
    const std::string path = choice->path.toStdString();
    const std::string state = form.sign_off().state.empty() ? "草稿" : form.sign_off().state;
    std::optional<std::string> failed;
    if (choice->filter == 2) {
        // Every department of the list, each read as the board reads it.
        std::vector<sheets::Sheet> all;
        std::map<std::string, std::string> states;
        try {
            states = month_state::read_month(board_helpers::connection(), form.month());
        } catch (const std::exception &) {
            // Not known: each sheet says 草稿.
        }
        for (int i = 0; i < form.cb_fxb->count(); ++i) {
            const std::string code = code_of(form.cb_fxb->itemText(i).toStdString());
            if (code == form.department()) {
                all.push_back(sheets::board_sheet(form.model(), state));
                continue;
            }
            board::BoardModel other;
            other.load(board::snapshot_from_packet(
                board::read_board_packet(board_helpers::connection(), form.month(), code), form.month(), code));
            const auto it = states.find(code);
            all.push_back(sheets::board_sheet(other, it == states.end() ? "草稿" : it->second));
        }
        failed = sheets::write_xlsx(path, all);
    } else if (choice->filter == 1 || choice->path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive)) {
        failed = sheets::write_csv(path, sheets::board_sheet(form.model(), state));
    } else {
        failed = sheets::write_xlsx(path, {sheets::board_sheet(form.model(), state)});
    }
    if (failed) {
        ui::message_box(&form, text_of(*failed), kWarning, ui::mb::ok | ui::mb::icon_warning);
        return;
    }
    ui::message_box(&form, QStringLiteral("已导出到 %1").arg(choice->path), kNotice, ui::mb::ok | ui::mb::icon_information);
}

// The refusals as the bar lists them: "D5：不是有效的数值；…", at most `most`.
QString refusals_text(const std::vector<sheets::ImportRefusal> &refusals, std::size_t most)
{
    QStringList parts;
    for (std::size_t i = 0; i < refusals.size() && i < most; ++i)
        parts << QStringLiteral("%1：%2").arg(text_of(refusals[i].address), text_of(refusals[i].reason));
    if (refusals.size() > most) parts << QStringLiteral("等共 %1 处").arg(refusals.size());
    return parts.join(QStringLiteral("；"));
}

void import_sheet(TFm_board &form)
{
    if (!board_helpers::settle_edits(form)) return;
    const auto choice = sheet_files::choose(&form, false, QStringLiteral("导入部门计划"), QString(),
                                            {QStringLiteral("表格 (*.xlsx *.csv)"), QStringLiteral("所有文件 (*)")});
    if (!choice) return;
    // The reader keeps to its limits (rows, cell size, the file's size), so this wait ends.
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const auto read = sheet::read_file(choice->path);
    QGuiApplication::restoreOverrideCursor();
    if (const auto *error = std::get_if<sheet::Error>(&read)) {
        ui::message_box(&form, error->message, kWarning, ui::mb::ok | ui::mb::icon_warning);
        return;
    }
    const sheets::Grid grid = sheets::grid_of(std::get<sheet::Table>(read));
    const std::string file_name = QFileInfo(choice->path).fileName().toStdString();
    // Another month's or department's sheet, or none of the board's shape: said, nothing previewed.
    if (const auto wrong = sheets::plan_import(grid, form.model()).wrong_sheet) {
        ui::message_box(&form, text_of(*wrong), kWarning, ui::mb::ok | ui::mb::icon_warning);
        return;
    }
    // The plan rows the preview changes, as the apply sends them.
    auto rows = std::make_shared<std::string>();
    BoardPreview::start(
        form,
        [&form, grid, file_name, rows] {
            const wire::DataPacket packet = board_helpers::reload(form, form.month());
            BoardPreview::Computed c;
            c.fingerprint = allocation::fingerprint(allocation::month_from_packet(packet, form.month(), form.department()));
            const sheets::ImportPlan plan = sheets::plan_import(grid, form.model());
            if (plan.wrong_sheet) {
                c.summary = text_of(*plan.wrong_sheet);
                return c;
            }
            rows->clear();
            board::BoardModel &m = form.model();
            for (const auto &[key, value] : plan.changes) {
                const auto i = m.indicator_index(key.indicator);
                const auto s = m.salesman_index(key.salesman);
                const auto row = i && s ? m.cell_row({*i, *s}) : std::nullopt;
                if (row) *rows += (rows->empty() ? "" : ",") + std::to_string(*row) + ":" + wire::format_number(value);
            }
            c.proposal.title = "导入";
            c.proposal.values = plan.changes;
            for (const auto &r : plan.refusals)
                if (r.cell) c.proposal.refused[*r.cell] = r.reason;
            if (plan.changes.empty() && plan.refusals.empty()) {
                c.summary = QStringLiteral("“%1”与看板上的数字相同，没有要导入的改动").arg(text_of(file_name));
                return c;
            }
            if (plan.changes.empty()) {
                c.summary = QStringLiteral("“%1”不能导入，请改正表格后再导入：%2")
                                .arg(text_of(file_name), refusals_text(plan.refusals, 20));
                return c;
            }
            c.summary = QStringLiteral("预览“导入”%1：%2 处改动（蓝色），%3 处不变")
                            .arg(text_of(file_name))
                            .arg(plan.changes.size())
                            .arg(plan.unchanged);
            if (!plan.refusals.empty())
                c.summary += QStringLiteral("；%1 处不能导入（红色），改正表格后再导入：%2")
                                 .arg(plan.refusals.size())
                                 .arg(refusals_text(plan.refusals, 8));
            else c.summary += QStringLiteral("，确定后保存");
            if (BoardPreview *preview = BoardPreview::of(form)) {
                preview->bt_ok->setEnabled(plan.refusals.empty());
                preview->lb_preview->setToolTip(refusals_text(plan.refusals, plan.refusals.size()));
            }
            return c;
        },
        [&form, file_name, rows](const std::string &fingerprint) {
            const nlohmann::json answer = board_helpers::connection().call_method(
                contract::kImportPlansMethod, {{contract::kMonthParam, form.month()},
                                               {contract::kDepartmentParam, form.department()},
                                               {contract::kFileNameParam, file_name},
                                               {contract::kImportedParam, *rows},
                                               {contract::kFingerprintParam, fingerprint}});
            const int changed = answer.is_object() && answer.contains(contract::kChangedKey) &&
                                        answer[contract::kChangedKey].is_number_integer()
                                    ? answer[contract::kChangedKey].get<int>()
                                    : 0;
            return QStringLiteral("已导入“%1”：%2 处改动已保存").arg(text_of(file_name)).arg(changed);
        });
}

}  // namespace

BoardCommand board_export_command()
{
    BoardCommand c;
    c.object_name = "tbexport";
    c.caption = QStringLiteral("导出");
    c.glyph = QStringLiteral("tbpreview");
    c.key = QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E);
    c.place_before = &TFm_Base::tbpreview;  // right after 打印
    c.run = export_board;
    return c;
}

BoardCommand board_import_command()
{
    BoardCommand c;
    c.object_name = "tbimport";
    c.caption = QStringLiteral("导入");
    c.glyph = QStringLiteral("tbnew");
    c.key = QKeySequence(Qt::CTRL | Qt::Key_I);
    c.changes_plan = true;
    c.place_before = &TFm_Base::tbpreview;
    c.run = import_sheet;
    return c;
}
