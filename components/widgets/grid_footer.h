// The summary footer strip under a table's rows: one cell per visible
// column, placed exactly under the column's header section, so it scrolls
// sideways with the table. What each cell shows comes from its owner.
#pragma once

#include <QColor>
#include <QWidget>

#include <functional>

#include "dataset_table_model.h"

class QTableView;

class GridFooter : public QWidget {
    Q_OBJECT
public:
    using CellOf = std::function<FooterCell(int column)>;
    GridFooter(QTableView *view, CellOf cell_of, QWidget *parent);

    // The strip's colour; invalid: the palette's button colour.
    void set_background(const QColor &colour);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QTableView *view_;
    CellOf cell_of_;
    QColor background_;
};
