// The print preview and its save-as dialog on the demo database, for looking
// at them (not a test): the main form opens as the entry point opens it, with
// Qt's Chinese texts installed as the entry point installs them; 打印 opens
// the preview, then 另存为PDF its file dialog, and the whole screen is
// photographed with `import -window root` each time. docs/print_preview.png
// and docs/save_as_dialog.png are made this way (from the folder holding
// fxyyxszb.frf):
//   QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" printout_sample docs/print_preview.png docs/save_as_dialog.png
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QProcess>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "inprocess_link.h"
#include "module_state.h"
#include "report_preview.h"
#include "server_fixture.h"
#include "test_hooks.h"
#include "ui.h"
#include "unit_getsetting.h"

namespace {

bool photograph(const QString &file)
{
    for (int i = 0; i < 20; ++i) QApplication::processEvents();
    return QProcess::execute(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), file}) == 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PREVIEW.png SAVE_AS.png\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    ui::install_font_substitutions();
    const std::unique_ptr<QTranslator> chinese = ui::install_qt_translations();
    const QString preview_picture = QString::fromLocal8Bit(argv[1]);
    const QString save_picture = QString::fromLocal8Bit(argv[2]);

    testsupport::SqliteDb db(true);
    appserver::AppServer server(db.connection_string());
    remote::set_link_factory(remote::inprocess_link_factory(server));
    saleplan::settings_reader = new TGETFORMSETTING(QStringLiteral("/nonexistent/mis_system.ini"));
    saleplan::open_mode = "";

    bool preview_saved = false, dialog_saved = false;
    {
        ui::testing::Hooks hooks;
        auto *main_form = new TFm_saleplan(nullptr);
        saleplan::Fm_saleplan = main_form;
        saleplan::settings_reader->apply_form_settings(main_form, QStringLiteral("B"));
        hooks.on_modal([&](QDialog *) {
            hooks.on_modal([&](QDialog *dialog) {
                auto *preview = qobject_cast<report::ReportPreview *>(dialog);
                if (!preview) return;
                preview_saved = photograph(preview_picture);
                hooks.on_modal([&](QDialog *file_dialog) {
                    dialog_saved = photograph(save_picture);
                    file_dialog->reject();
                });
                preview->save_report();
                preview->accept();
            });
            main_form->tbprint->click();
            main_form->tbexit->click();
        });
        QPointer<TFm_saleplan> alive(main_form);
        ui::show_modal(main_form);
        delete alive.data();
    }
    delete saleplan::dm_yearplan;
    saleplan::dm_yearplan = nullptr;
    remote::set_link_factory({});
    if (!preview_saved || !dialog_saved) {
        std::fprintf(stderr, "could not photograph the preview or the dialog\n");
        return 1;
    }
    return 0;
}
