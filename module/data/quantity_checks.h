// The quantity editor's two checks of typed quantities against what the
// department has left for the salesman (the remaining quantity, lookup field
// SHZBSL of the plan rows). Quantities compare as numbers, an empty value
// reads 0, and a quantity equal to the remaining one passes. A check that
// refuses says what the planner is shown.
#pragma once

#include <optional>
#include <string>

#include "client_dataset.h"

// The largest quantity the server stores for one indicator of a month (its
// bound on a plan quantity); anything above it is refused before it is sent.
inline constexpr double kMaxQuantity = 1e9;

// A refusal as the planner sees it: a message box's text, caption and flags.
struct Refusal {
    std::string text;
    std::string caption;
    int flags = 0;
    bool operator==(const Refusal &) const = default;
};

// Enter on a plan row, its typed value posted: the current row's quantity
// (ZBSL00) may be neither negative ("计划数量不能为负数") nor above its
// remaining quantity ("计划数量不能超过剩余计划数量"); both "警告", OK with the
// exclamation icon. nullopt when the quantity may stand.
std::optional<Refusal> refusal_on_enter(const dataset::ClientDataset &plan);

// The save: every plan row, in dataset order, within its remaining quantity.
// The first row over it is refused, named by its sequence number in general
// number format ("序号为'12'指标的计划数量超过剩余计划数量，请重新修改", "警告",
// OK with the exclamation icon), and the cursor rests on it. With every row
// within, nullopt, and the cursor has gone past the last row.
std::optional<Refusal> refusal_on_save(dataset::ClientDataset &plan);
