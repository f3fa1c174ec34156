// The board "部门计划分配": a department's month on one grid, every salesman's
// share of every indicator, what is allocated and what remains, typed in
// place and saved in one apply. Opened modally by the main form's 分配 for
// the month and department in force; its own month picker and department
// list choose another. The rules live in the board model (board_model.h);
// this form shows it and runs the commands.
#pragma once

#include "Base.h"

#include <memory>
#include <string>
#include <vector>

#include "board_model.h"
#include "month_state.h"

class QCloseEvent;
class QLabel;
class TAALinkLabel;
class TDateTimePicker;
class TFlatComboBox;
class BoardGrid;
class BoardCompletion;
class TfrReport;
struct BoardCommand;

namespace board {
class BoardSource;
}

class TFm_board : public TFm_Base {
    Q_OBJECT

public:
    // The board of a month and department, read through `source`;
    // `read_only` names why nothing may be changed (browse mode, a viewer).
    TFm_board(QWidget *owner, std::unique_ptr<board::BoardSource> source, std::string month,
              std::string department, std::optional<std::string> read_only = std::nullopt);
    ~TFm_board() override;

    // Opens a board over the main form on the month and department in force,
    // shown modally; returns once it has closed. True when it changed the
    // database (a save or a generation), so the opener shows the new figures.
    static bool open(QWidget *owner);

    // Components added to the base form.
    QWidget *Panel2 = nullptr;
    TAALinkLabel *AALinkLabel1 = nullptr;  // "年月"
    TDateTimePicker *DateTimePicker1 = nullptr;
    TAALinkLabel *AALinkLabel2 = nullptr;  // "访销部"
    TFlatComboBox *cb_fxb = nullptr;
    BoardGrid *grid = nullptr;
    QLabel *lb_status = nullptr;
    TfrReport *frReport1 = nullptr;
    BoardCompletion *completion = nullptr;  // 显示完成: actual sales beside the plan

    board::BoardModel &model() { return model_; }
    board::BoardSource &source() { return *source_; }
    const std::string &month() const { return month_; }
    const std::string &department() const { return department_; }
    bool changed_database() const { return changed_database_; }
    // A save or a generation went through: the opener shows the new figures.
    void note_database_changed();

    // "2026年12月城东访销部计划分配".
    static QString compose_heading(const std::string &month, const std::string &department_name);

    // Event handlers.
    void FormActivate() override;
    void cb_fxbChange();
    void DateTimePicker1CloseUp();
    void tbokClick();
    void tbexitClick() override;

    // The save behind 保存: true when there was nothing to save or the
    // server took every change. A refused save has named each refused cell
    // and reloaded the board, keeping what was typed.
    bool save();
    // Reads the board again, keeping what was typed.
    void reload_keeping_edits();
    // Takes the text of an open cell editor in; false when it was refused.
    bool take_in_editor();

    // The month's sign-off as last read (board_state.cpp), and why the board
    // is read-only whatever the state (browse mode, a viewer), if it is.
    month_state::State &sign_off() { return sign_off_; }
    const std::optional<std::string> &read_only_reason() const { return read_only_; }

    // The toolbar button of a command (nullptr when there is none).
    TFlatSpeedButton *command_button(const char *object_name) const;

signals:
    void database_changed();

protected:
    void FormClose(QCloseEvent *event) override;

private:
    void build_selection_row();
    void build_commands();
    void update_commands();
    void update_status();
    void load(const std::string &month, const std::string &department);
    // Asked before the board leaves its month or department with unsaved
    // changes: false when the planner stays.
    bool may_leave_changes();
    void show_selection();
    void exit_command();

    board::BoardModel model_;
    std::unique_ptr<board::BoardSource> source_;
    std::string month_, department_;
    std::optional<std::string> read_only_;
    bool changed_database_ = false;
    month_state::State sign_off_;
    std::vector<std::pair<TFlatSpeedButton *, bool>> commands_;  // button, changes the plan
};
