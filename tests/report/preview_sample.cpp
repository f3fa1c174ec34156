// The print preview with its find bar and its help, for looking at them (not
// a test): a salesman's month plan printed through the module's template,
// searched for "销量" (the third hit shown), then 帮助; the screen is
// photographed with `import -window root` each time. With --landscape the
// pages are A4 landscape, as a department's board prints. docs/preview_find.png
// and docs/preview_help.png are made this way:
//   QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" build/bin/preview_sample FIND.png HELP.png
#include <QApplication>
#include <QDialog>
#include <QProcess>
#include <QTranslator>

#include <cstdio>
#include <memory>

#include "client_dataset.h"
#include "remote_connection.h"
#include "report.h"
#include "report_preview.h"
#include "test_hooks.h"
#include "ui.h"

namespace {

class MemoryLink : public remote::Link {
public:
    explicit MemoryLink(wire::DataPacket packet) : packet_(std::move(packet)) {}
    wire::DataPacket get_records(const std::string &, const std::string &) override { return packet_; }
    std::int64_t execute(const std::string &, const std::string &) override { return 0; }
    wire::ApplyResult apply_updates(const std::string &, const wire::Delta &, int) override { return {}; }
    void call_method(const std::string &) override {}

private:
    wire::DataPacket packet_;
};

bool photograph(const QString &file)
{
    for (int i = 0; i < 20; ++i) QApplication::processEvents();
    return QProcess::execute(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), file}) == 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const bool landscape = argc == 4 && QByteArray(argv[1]) == "--landscape";
    if (argc != (landscape ? 4 : 3)) {
        std::fprintf(stderr, "usage: %s [--landscape] FIND.png HELP.png\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    ui::install_font_substitutions();
    const std::unique_ptr<QTranslator> chinese = ui::install_qt_translations();
    const QString find_picture = QString::fromLocal8Bit(argv[landscape ? 2 : 1]);
    const QString help_picture = QString::fromLocal8Bit(argv[landscape ? 3 : 2]);

    using wire::FieldType;
    wire::DataPacket packet;
    packet.fields = {{"XHAO00", FieldType::Float, 0}, {"ZBMC00", FieldType::String, 50}, {"ZBSL00", FieldType::Float, 0}};
    const char *names[] = {"卷烟销售总量", "一类烟销量", "高端卷烟销量", "二类烟销量", "三类烟销量", "四、五类烟销量",
                           "省内品牌销量", "省外品牌销量", "重点品牌销量", "低焦油卷烟销量", "新品牌推广销量", "雪茄烟销量"};
    const double quantities[] = {1860, 12, 7.5, 236, 548, 410, 1320, 540, 185, 96, 40, 0};
    for (int i = 0; i < 12; ++i) packet.rows.push_back({double(i + 1), std::string(names[i]), quantities[i]});
    remote::set_link_factory([packet](const remote::ServerObject &, const std::string &) {
        return std::make_unique<MemoryLink>(packet);
    });
    remote::RemoteConnection connection(remote::cust_object());
    dataset::ClientDataset plan("cds_xstyzb02");
    plan.set_connection(&connection);
    plan.set_provider_name("dsp_xstyzb02cys");
    plan.open();
    TfrDBDataSet link(&plan);

    TfrReport report;
    report.LoadFromFile(QStringLiteral("fxyyxszb.frf"));
    report.set_dataset(&link);
    report.set_variable(QStringLiteral("fxbmc"), QStringLiteral("城东访销部张伟"));
    report.set_variable(QStringLiteral("ywny"), QStringLiteral("202612"));
    if (landscape) {
        report::PageFormat format;
        format.orientation = QPageLayout::Landscape;
        report.set_page_format(format);
    }

    bool find_saved = false, help_saved = false;
    {
        ui::testing::Hooks hooks;
        hooks.on_modal([&](QDialog *dialog) {
            auto *preview = qobject_cast<report::ReportPreview *>(dialog);
            if (!preview) return;
            preview->show_find_bar();
            preview->set_find_text(QStringLiteral("销量"));
            for (int i = 0; i < 3; ++i) preview->find_next();
            find_saved = photograph(find_picture);
            hooks.on_modal([&](QDialog *help) {
                help_saved = photograph(help_picture);
                help->reject();
            });
            preview->show_help();
            preview->accept();
        });
        report.ShowReport();
    }
    remote::set_link_factory({});
    if (!find_saved || !help_saved) {
        std::fprintf(stderr, "could not photograph the preview or its help\n");
        return 1;
    }
    return 0;
}
