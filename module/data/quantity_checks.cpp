#include "quantity_checks.h"

#include "message_box_flags.h"

namespace {

constexpr const char *kWarning = "警告";
constexpr int kWarningFlags = ui::mb::ok | ui::mb::icon_warning;

// Whether the current row's quantity is within what is left for it.
bool within_remaining(const dataset::ClientDataset &plan)
{
    return plan.as_float("SHZBSL") >= plan.as_float("ZBSL00");
}

}  // namespace

std::optional<Refusal> refusal_on_enter(const dataset::ClientDataset &plan)
{
    if (plan.as_float("ZBSL00") < 0) return Refusal{"计划数量不能为负数", kWarning, kWarningFlags};
    if (within_remaining(plan)) return std::nullopt;
    return Refusal{"计划数量不能超过剩余计划数量", kWarning, kWarningFlags};
}

std::optional<Refusal> refusal_on_save(dataset::ClientDataset &plan)
{
    for (plan.first(); !plan.eof(); plan.next()) {
        if (within_remaining(plan)) continue;
        return Refusal{"序号为'" + plan.as_string("XHAO00") + "'指标的计划数量超过剩余计划数量，请重新修改", kWarning,
                       kWarningFlags};
    }
    return std::nullopt;
}
