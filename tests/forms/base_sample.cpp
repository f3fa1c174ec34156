// A base-derived sample window: the toolbar, the heading and a client area
// with a few Chinese captions. With an argument it saves a picture of the
// window to that file and quits; otherwise it stays up until closed.
#include "Base.h"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

namespace {

class SampleForm : public TFm_Base
{
public:
    SampleForm()
    {
        setWindowTitle(QStringLiteral("访销部月销售计划管理"));
        pn_gl->setText(QStringLiteral("访销员月计划管理"));
        set_color(QColor(197, 217, 220));
        for (TFlatSpeedButton *button : toolbar_buttons()) {
            button->set_color_border(QColor(197, 217, 220));
        }
        // The main form's own picture for 删行; tbcancel keeps its two
        // images and shows the disabled one.
        tbnew->setText(QStringLiteral("生成"));
        tbok->setText(QStringLiteral("删行"));
        tbok->load_glyph(QStringLiteral(":/glyphs/tbok_delete_row.bmp"));
        tbok->set_num_glyphs(1);
        tbedit->setEnabled(false);
        tbdel->setEnabled(false);
        tbcancel->setEnabled(false);

        auto *row = new QWidget;
        row->setFixedHeight(30);
        auto *row_layout = new QHBoxLayout(row);
        row_layout->setContentsMargins(7, 4, 7, 4);
        for (const char *caption : {"年月", "2024-05", "访销部", "01|一部", "访销员", "0101|张三"}) {
            auto *label = new QLabel(QString::fromUtf8(caption));
            label->setFont(design_font(QStringLiteral("宋体"), 12));
            row_layout->addWidget(label);
        }
        row_layout->addStretch(1);
        client_layout()->addWidget(row);

        auto *grid = new QFrame;
        grid->setFrameShape(QFrame::StyledPanel);
        grid->setAutoFillBackground(true);
        QPalette p = grid->palette();
        p.setColor(QPalette::Window, Qt::white);
        grid->setPalette(p);
        auto *grid_layout = new QVBoxLayout(grid);
        auto *text = new QLabel(QStringLiteral("序号　指标名称　指标数量(条)\n1　　销售额　　　120\n合计　　　　　　120"));
        grid_layout->addWidget(text, 0, Qt::AlignTop | Qt::AlignLeft);
        client_layout()->addWidget(grid, 1);
    }
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    auto *form = new SampleForm;
    form->show();
    if (argc > 1) {
        const QString target = QString::fromLocal8Bit(argv[1]);
        QTimer::singleShot(500, form, [form, target] {
            form->grab().save(target);
            QApplication::quit();
        });
        return app.exec();
    }
    return app.exec();
}
