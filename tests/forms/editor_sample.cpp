// The quantity editor on the demo database, for looking at it (not a test):
// the main form opens as the entry point opens it, 编辑 opens the editor on
// the first department's first salesman, and the editor's picture is saved
// to the file named by the argument. docs/editor.png is made this way:
//   QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" editor_sample docs/editor.png
#include <QApplication>
#include <QDialog>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>

#include "Unit_dmYearplan.h"
#include "Unit_edit.h"
#include "Unit_saleplan.h"
#include "inprocess_link.h"
#include "module_state.h"
#include "server_fixture.h"
#include "test_hooks.h"
#include "ui.h"
#include "unit_getsetting.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PICTURE.png\n", argv[0]);
        return 2;
    }
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const QString picture = QString::fromLocal8Bit(argv[1]);

    testsupport::SqliteDb db(true);
    appserver::AppServer server(db.connection_string());
    remote::set_link_factory(remote::inprocess_link_factory(server));
    saleplan::settings_reader = new TGETFORMSETTING(QStringLiteral("/nonexistent/mis_system.ini"));
    saleplan::open_mode = "";

    bool saved = false;
    {
        ui::testing::Hooks hooks;  // no person at hand: the forms are driven from here
        auto *main_form = new TFm_saleplan(nullptr);
        saleplan::Fm_saleplan = main_form;
        saleplan::settings_reader->apply_form_settings(main_form, QStringLiteral("B"));
        hooks.on_modal([&](QDialog *) {
            hooks.on_modal([&](QDialog *dialog) {
                auto *editor = static_cast<TFm_edit *>(dialog);
                // Let the layout and the grid's scroll range settle first.
                for (int i = 0; i < 5; ++i) QApplication::processEvents();
                saved = editor->grab().save(picture);
                editor->tbexit->click();
            });
            main_form->tbedit->click();
            main_form->tbexit->click();
        });
        QPointer<TFm_saleplan> alive(main_form);
        ui::show_modal(main_form);
        delete alive.data();
    }
    delete saleplan::dm_yearplan;
    saleplan::dm_yearplan = nullptr;
    remote::set_link_factory({});
    if (!saved) {
        std::fprintf(stderr, "could not save %s\n", argv[1]);
        return 1;
    }
    return 0;
}
