// The quantity editor "访销部月计划数量编辑": the planner types one salesman's
// quantities of one month and department, each held against the quantity the
// department has left once the other salesmen's shares are taken.
#pragma once

#include "Base.h"

#include <string>

class QCloseEvent;
class QKeyEvent;
class TAALinkLabel;
class TdxDBGrid;
struct FooterCell;

class TFm_edit : public TFm_Base {
    Q_OBJECT

public:
    explicit TFm_edit(QWidget *owner = nullptr);
    ~TFm_edit() override;

    // Opens an editor over `owner` (none from the plan month dialog) on
    // plan_month, dept_code and salesman_code: the current editor, with the
    // placement settings of kind "B", shown modally. Returns once it has
    // closed; it frees itself.
    static void open(QWidget *owner);

    TAALinkLabel *AAyear = nullptr;  // "年度计划", on the heading panel
    TdxDBGrid *dxDBGrid1 = nullptr;

    // Event handlers.
    void FormActivate() override;
    void dxDBGrid1KeyDown(QKeyEvent *key);
    void dxDBGrid1EditChange();
    void dxDBGrid1ZBMC00DrawSummaryFooter(FooterCell &cell);
    void tbokClick();
    void tbexitClick() override;

    // The save behind 保存: true when every row was within its remaining
    // quantity and the server took every change. A refused save has shown
    // its message and left the typed quantities in place.
    bool save();

    // The heading of a plan: "2003年03月东区甲销售计划".
    static QString compose_heading(const std::string &month, const std::string &dept_name,
                                   const std::string &salesman_name);

protected:
    void FormClose(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void build_grid();
    // Keeps "年度计划" at its designed place right of the heading, moving it
    // past the centred heading where a wide screen brings the two together.
    void place_year_label();
    void exit_command();
    void refresh_main_form();
    // After a refused save: the remaining quantities as the server has them
    // now, the typed quantities left as they are.
    void reload_remaining_quantities();
    // The quantity cell of the current row gets the focus.
    void focus_quantity_cell();
    // Ctrl+Delete: deletes the current row after the confirmation.
    void delete_row(QKeyEvent *key);
    // An open cell editor hands its text to the dataset; false when the
    // grid refused the text (the refusal is shown, the editor stays open).
    bool take_in_cell_editor();
};
