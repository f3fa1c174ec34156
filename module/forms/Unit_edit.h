// The quantity editor "访销部月计划数量编辑": the planner types one salesman's
// quantities of one month and department, each held against the quantity the
// department has left once the other salesmen's shares are taken.
#pragma once

#include "Base.h"

class QCloseEvent;
class QKeyEvent;
class QShowEvent;
class TAALinkLabel;
class TdxDBGrid;
struct FooterCell;

class TFm_edit : public TFm_Base {
    Q_OBJECT

public:
    explicit TFm_edit(QWidget *owner = nullptr);
    ~TFm_edit() override;

    TAALinkLabel *AAyear = nullptr;  // "年度计划", on the heading panel
    TdxDBGrid *dxDBGrid1 = nullptr;

    // Event handlers.
    void FormActivate();
    void dxDBGrid1KeyDown(QKeyEvent *key);
    void dxDBGrid1EditChange();
    void dxDBGrid1ZBMC00DrawSummaryFooter(FooterCell &cell);
    void tbokClick();
    void tbexitClick() override;

protected:
    void FormClose(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
};
