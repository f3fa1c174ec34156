// The plan month dialog "计划年月": the planner picks a month, a department
// and a salesman; the dialog checks that the salesman has no plan for the
// month yet and that the month has sales indicators, generates the plan from
// the department's plan and opens the quantity editor on it.
#pragma once

#include "modal_form.h"

#include <string>

class QLabel;
class TAALinkLabel;
class TDateTimePicker;
class TFlatComboBox;
class TFlatSpeedButton;

class TFm_inputtime : public ModalForm {
    Q_OBJECT

public:
    explicit TFm_inputtime(QWidget *owner = nullptr);
    ~TFm_inputtime() override;

    QLabel *Label1 = nullptr;                // "计划年月"
    TDateTimePicker *DateTimePicker1 = nullptr;
    TAALinkLabel *AALinkLabel1 = nullptr;    // "访销部门"
    TFlatComboBox *cb_ck = nullptr;          // departments
    TAALinkLabel *AALinkLabel2 = nullptr;    // "访销人员"
    TFlatComboBox *cb_fxry = nullptr;        // salesmen of the department
    TFlatSpeedButton *BitBtn2 = nullptr;     // "确定"
    TFlatSpeedButton *BitBtn1 = nullptr;     // "取消"

    // Refills the salesman list for the department in the department box.
    void cb_fxryadd();
    // Generates the salesman's plan of plan_month for dlg_dept_code and
    // dlg_salesman_code inside a server transaction. On success the chosen
    // department and salesman become the selected ones and true is returned.
    // On an error the transaction is rolled back, the error is shown, no code
    // is taken over, plan_month goes back to `former_month`, and false is
    // returned.
    bool insert(const std::string &former_month);

    // Event handlers. Enter runs 确定 and Escape 取消, wherever the focus is
    // in the dialog; the close event is the close action "free"
    // (modal_form.h).
    void FormActivate() override;
    void cb_ckChange();
    void BitBtn2Click();
    void BitBtn1Click();

    // Shown at the centre of the screen.
    void setVisible(bool visible) override;

private:
    // The department code the salesman list was last filled for.
    std::string salesmen_filled_for_;
};
