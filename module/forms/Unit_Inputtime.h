// The plan month dialog "计划年月": the planner picks a month, a department
// and a salesman; the dialog checks that the salesman has no plan for the
// month yet and that the month has sales indicators, generates the plan from
// the department's plan and opens the quantity editor on it.
#pragma once

#include <QDialog>

#include <string>

class QCloseEvent;
class QKeyEvent;
class QLabel;
class QShowEvent;
class TAALinkLabel;
class TDateTimePicker;
class TFlatComboBox;
class TFlatSpeedButton;

class TFm_inputtime : public QDialog {
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

    // Whether the activation sequence has run for this showing.
    bool activated() const { return activated_; }

    // Event handlers.
    void FormActivate();
    void cb_ckChange();
    void BitBtn2Click();
    void BitBtn1Click();

    // Ending the modal run by any means closes the dialog: FormClose runs first.
    void done(int result) override;
    // Shown at the centre of the screen.
    void setVisible(bool visible) override;

protected:
    void FormClose(QCloseEvent *event);
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Enter runs 确定 and Escape 取消; true when the key was taken.
    bool take_key(QKeyEvent *event);

    // The department code the salesman list was last filled for.
    std::string salesmen_filled_for_;
    bool activated_ = false;
    bool in_close_event_ = false;
};
