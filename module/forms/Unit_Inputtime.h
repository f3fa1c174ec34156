// The plan month dialog "计划年月": the planner picks a month, a department
// and a salesman; the dialog checks that the salesman has no plan for the
// month yet and that the month has sales indicators, generates the plan from
// the department's plan and opens the quantity editor on it.
#pragma once

#include <QDialog>

class QCloseEvent;
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
    // Generates the salesman's plan inside a server transaction.
    void insert();

    // Event handlers.
    void FormActivate();
    void cb_ckChange();
    void BitBtn2Click();
    void BitBtn1Click();

protected:
    void FormClose(QCloseEvent *event);
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
};
