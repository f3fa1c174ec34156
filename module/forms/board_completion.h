// 显示完成 on the board: actual sales beside the plan. A switch in the
// board's selection row opens a panel under the grid: a table of 已完成 and
// 完成率 for every salesman and indicator with the department's totals and
// a "其他" line and column for sales that find no cell, each rate with the
// month's pace beside it and coloured below pace / on pace / above plan;
// and a chart of plan and actual per salesman for the indicator chosen.
//
// The actuals are read after the board has drawn (a second call, queued
// behind the board's own), once per month and department shown; a server
// without a view of actual sales hides the switch, one whose view fails or
// is slow leaves the board as it is and says so in the panel.
#pragma once

#include <QColor>
#include <QObject>
#include <QTemporaryDir>

#include <functional>
#include <string>

#include "actuals.h"
#include "board_model.h"

class QCheckBox;
class QChart;
class QChartView;
class QComboBox;
class QLabel;
class QStandardItemModel;
class QTableView;
class QWidget;
class TfrReport;

namespace board_colours {
inline const QColor kBelowPace(248, 196, 196);
inline const QColor kOnPace(200, 235, 200);
inline const QColor kAbovePlan(190, 215, 255);
}  // namespace board_colours

class BoardCompletion : public QObject, private board::BoardObserver {
    Q_OBJECT
public:
    using Fetch = std::function<board::Actuals(const std::string &month, const std::string &department)>;
    // The switch goes on `selection_row`, the panel is made for the form to place.
    BoardCompletion(board::BoardModel &model, QWidget *selection_row, QWidget *panel_parent, Fetch fetch,
                    QObject *parent = nullptr);
    ~BoardCompletion() override;

    QCheckBox *toggle() const { return toggle_; }
    QWidget *panel() const { return panel_; }
    QTableView *table() const { return table_; }
    QStandardItemModel *items() const { return items_; }
    QComboBox *indicator_list() const { return indicators_; }
    QChartView *chart_view() const { return chart_view_; }
    QLabel *note() const { return note_; }

    const board::Actuals &actuals() const { return actuals_; }
    const board::OtherActuals &others() const { return others_; }
    double elapsed() const;
    // The day the pace is reckoned on (today unless a test sets it).
    void set_today(const board::Day &day);
    // Whether the actuals of the board's month and department have been read.
    bool ready() const;

    // The printout's part: the variable "wcqk" (HTML: the department's figure, the table and the chart)
    // when 显示完成 is on, else empty.
    void add_to_report(TfrReport &report);

private:
    void board_reset() override;
    void figures_changed(const board::Position &cell) override;
    void schedule();
    void refresh();
    void show_panel();
    void fill_table();
    void fill_indicators();
    void fill_chart();

    board::BoardModel &model_;
    Fetch fetch_;
    std::optional<board::Day> today_;
    board::Actuals actuals_;
    board::OtherActuals others_;
    std::string fetched_;  // month|department of the actuals held
    bool pending_ = false, updating_ = false;
    // The layers as last set on the board.
    board::CellLayer set_done_, set_rate_;
    bool layers_set_ = false;

    QCheckBox *toggle_ = nullptr;
    QWidget *panel_ = nullptr;
    QLabel *note_ = nullptr;
    QTableView *table_ = nullptr;
    QStandardItemModel *items_ = nullptr;
    QComboBox *indicators_ = nullptr;
    QChartView *chart_view_ = nullptr;
    QChart *chart_ = nullptr;
    QTemporaryDir print_folder_;
};
