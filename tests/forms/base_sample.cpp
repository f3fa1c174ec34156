// A base-derived sample window: the toolbar, the heading and a client area
// with a few Chinese captions. With an argument it saves a picture of the
// window to that file and quits; otherwise it stays up until closed.
#include "Base.h"
#include "TdxDBGrid.h"
#include "client_dataset.h"
#include "remote_connection.h"
#include "ui.h"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// Serves three plan rows from memory in place of an application server.
class SampleLink : public remote::Link {
public:
    wire::DataPacket get_records(const std::string &, const std::string &) override
    {
        wire::DataPacket p;
        p.fields = {{"XHAO00", wire::FieldType::Float, 0}, {"ZBMC00", wire::FieldType::String, 50},
                    {"ZBSL00", wire::FieldType::Float, 0}};
        p.rows = {{1.0, std::string("卷烟销售总量"), 1260.0},
                  {2.0, std::string("一类卷烟销量"), 126.0},
                  {3.0, std::string("新品推广"), 40.0}};
        return p;
    }
    std::int64_t execute(const std::string &, const std::string &) override { return 0; }
    wire::ApplyResult apply_updates(const std::string &, const wire::Delta &, int) override { return {}; }
    void call_method(const std::string &) override {}
};

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

        // A real data grid over a dataset served from memory, with its footer.
        connection_.set_computer_name("sample");
        plan_.set_connection(&connection_);
        plan_.set_provider_name("sample");
        plan_.open();
        auto *grid = new TdxDBGrid;
        auto column = [](const char *field, const char *caption, int width, SummaryKind kind) {
            TdxDBGridColumn c;
            c.name = QString::fromLatin1(field);
            c.field_name = QString::fromLatin1(field);
            c.caption = QString::fromUtf8(caption);
            c.width = width;
            c.read_only = true;
            c.summary_kind = kind;
            return c;
        };
        grid->set_columns({column("XHAO00", "序号", 80, SummaryKind::None),
                           column("ZBMC00", "指标名称", 113, SummaryKind::Count),
                           column("ZBSL00", "指标数量(条)", 108, SummaryKind::Sum)});
        grid->set_draw_summary_footer(1, [](FooterCell &cell) {
            cell.text = QStringLiteral("合计");
            cell.alignment = Qt::AlignRight | Qt::AlignVCenter;
            cell.font.setBold(true);
        });
        grid->set_header_color(QColor(197, 217, 220));
        grid->set_row_select(true);
        grid->set_show_footer(true);
        grid->set_data_source(&source_);
        client_layout()->addWidget(grid, 1);
    }
    ~SampleForm() override
    {
        if (auto *grid = findChild<TdxDBGrid *>()) grid->set_data_source(nullptr);
    }

private:
    remote::RemoteConnection connection_{remote::ServerObject{"Sample", {}}};
    dataset::ClientDataset plan_{"plan"};
    dataset::DataSource source_{&plan_};
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ui::install_font_substitutions();
    remote::set_link_factory([](const remote::ServerObject &, const std::string &) {
        return std::make_unique<SampleLink>();
    });
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
