// The main form "访销部月销售计划管理": the planner picks a month, a department
// and one of its salesmen and sees that salesman's plan of the month, with a
// footer total. Its toolbar starts the module's commands.
#pragma once

#include "Base.h"

#include <string>
#include <utility>
#include <vector>

#include "Unit_dmYearplan.h"

class QCloseEvent;
class TAALinkLabel;
class TDateTimePicker;
class TFlatComboBox;
class TdxDBGrid;
class TfrReport;
class TfrDBDataSet;
struct FooterCell;

class TFm_saleplan : public TFm_Base {
    Q_OBJECT

public:
    explicit TFm_saleplan(QWidget *parent = nullptr);
    ~TFm_saleplan() override;

    // Components added to the base form, in their order.
    QWidget *Panel2 = nullptr;
    TAALinkLabel *AALinkLabel2 = nullptr;  // "访销部"
    TFlatComboBox *cb_fxb = nullptr;       // departments
    TAALinkLabel *AALinkLabel1 = nullptr;  // "年月"
    TFlatComboBox *cb_fxy = nullptr;       // salesmen of the department
    TAALinkLabel *AALinkLabel3 = nullptr;  // "访销员"
    TDateTimePicker *DateTimePicker1 = nullptr;
    TdxDBGrid *dxDBGrid1 = nullptr;
    TfrReport *frReport1 = nullptr;
    TfrDBDataSet *frDBDataSet1 = nullptr;
    // "分配": the department's month on one board, after 删行.
    TFlatSpeedButton *tbboard = nullptr;

    // Refills both lists from the database: the departments, then the
    // salesmen of the department now shown. Codes and plan rows stay as they are.
    void cb_add();
    // Refills the salesman list for the department shown and takes its first
    // salesman as the selected one.
    void cb_fxryadd1();
    // Brings the lists and the month picker back to the selection in force
    // (plan_month, dept_code, salesman_code) after the lists were refilled;
    // a code that its refilled list lacks is shown with its fetched name.
    void show_selection_in_force();
    // The department and salesman names of a selection's codes: the lists'
    // items where they hold the codes, else fetched from the database.
    std::pair<std::string, std::string> names_of(const PlanSelection &selection);

    // Event handlers.
    void FormActivate() override;
    void cb_fxbChange();
    void cb_fxyChange();
    void CB_yearKeyPress(QKeyEvent *key, bool &discard);
    void DateTimePicker1CloseUp();
    void DateTimePicker1KeyUp(int key);
    void dxDBGrid1ZBMC00DrawSummaryFooter(FooterCell &cell);
    void tbfirstClick();
    void tbpriorClick();
    void tbnextClick();
    void tblastClick();
    void tbexitClick() override;
    void tbnewClick();
    void tbeditClick();
    void tbdelClick();
    void tbokClick();
    void tbprintClick();
    void tbboardClick();
    // 生成, 编辑, 删除 and 删行 disabled, the reason in their tooltips, while
    // the month and department in force are submitted or approved
    // (saleplan_month_lock.cpp).
    void show_month_lock();

protected:
    void FormClose(QCloseEvent *event) override;

private:
    void build_selection_row();
    std::vector<std::string> department_codes() const;
    void build_grid();
    void month_changed();
    void bind_views();
    // Releases the current data module, if there is one, and clears the
    // module's reference to it.
    void release_data_module();
};
