// The summary footer strip under the grid's rows: one cell per visible
// column, placed exactly under the column's header section, so it scrolls
// sideways with the grid.
#pragma once

#include <QWidget>

class TdxDBGrid;

class GridFooter : public QWidget {
    Q_OBJECT
public:
    explicit GridFooter(TdxDBGrid *grid, QWidget *parent);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    TdxDBGrid *grid_;
};
