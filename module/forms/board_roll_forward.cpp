// 沿用上月 on the board: every visit-salesman of the department with a plan
// last month and none in this one gets this month's plan, each indicator's
// quantity split by his share of it last month; who left the department is
// skipped, a new salesman gets a zero plan, an indicator new this month
// stays at zero, and each is named. Previewed on the board, then computed
// again and applied whole by the server.
#include <QStringList>

#include "Unit_board.h"
#include "allocation_calls.h"
#include "board_commands.h"
#include "board_preview.h"
#include "ui.h"

namespace {

QString text_of(const std::string &s) { return QString::fromStdString(s); }

// What the roll-forward does besides the shares, in words.
QString named(const board::BoardModel &m, const allocation::RollForward &r)
{
    QStringList parts;
    if (!r.carried.empty()) parts << QStringLiteral("%1 按上月比例生成本月计划").arg(board_helpers::names_of(m, r.carried));
    if (!r.new_salesmen.empty())
        parts << QStringLiteral("新访销员 %1 生成数量为 0 的计划").arg(board_helpers::names_of(m, r.new_salesmen));
    if (!r.left.empty()) parts << QStringLiteral("%1 已离开本部门，跳过").arg(board_helpers::names_of(m, r.left));
    if (!r.new_indicators.empty()) {
        QStringList names;
        for (const auto &name : r.new_indicators) names << text_of(name);
        parts << QStringLiteral("本月新增指标 %1 为 0").arg(names.join(QStringLiteral("、")));
    }
    return parts.join(QStringLiteral("；"));
}

void roll_forward(TFm_board &form)
{
    if (!board_helpers::settle_edits(form)) return;
    BoardPreview::start(
        form,
        [&form] {
            const std::string before = allocation::previous_month(form.month());
            const wire::DataPacket now_packet = board_helpers::reload(form, form.month());
            const wire::DataPacket last_packet = board_helpers::reload(form, before);
            const allocation::Month now = allocation::month_from_packet(now_packet, form.month(), form.department());
            const allocation::Month last = allocation::month_from_packet(last_packet, before, form.department());
            BoardPreview::Computed c;
            c.fingerprint = allocation::fingerprint(now, &last);
            allocation::RollForward r;
            try {
                r = allocation::roll_forward(now, last);
            } catch (const allocation::Refused &refused) {
                c.summary = QString::fromUtf8(refused.what());  // nothing to preview: said, nothing done
                return c;
            }
            c.proposal.title = allocation::kRollForwardName;
            c.proposal.generates = true;
            for (const auto &row : r.rows) c.proposal.values[{{row.key.sequence, row.key.name}, row.salesman}] = row.quantity;
            c.summary = QStringLiteral("预览“沿用上月”：%1（蓝色为将生成的计划），确定后保存").arg(named(form.model(), r));
            return c;
        },
        [&form](const std::string &fingerprint) {
            const board::RolledForward done =
                board::roll_forward(board_helpers::connection(), form.month(), form.department(), fingerprint);
            allocation::RollForward r;
            r.carried = done.carried;
            r.new_salesmen = done.new_salesmen;
            r.left = done.left;
            r.new_indicators = done.new_indicators;
            return QStringLiteral("已沿用上月，生成 %1 行计划：%2").arg(done.rows).arg(named(form.model(), r));
        });
}

}  // namespace

BoardCommand board_roll_forward_command()
{
    BoardCommand c;
    c.object_name = "tbrollforward";
    c.caption = QStringLiteral("沿用上月");
    c.glyph = QStringLiteral("tbrefresh");
    c.key = QKeySequence(Qt::CTRL | Qt::Key_R);
    c.changes_plan = true;
    c.run = roll_forward;
    return c;
}
