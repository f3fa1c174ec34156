// The board with 显示完成 on the demo database, for looking at it (not a
// test): the demo's sales view served, 分配 opens the board on the first
// department's month, 显示完成 is switched on, and the board's picture is
// saved to the first argument; with a second argument its printout (with
// the chart) is saved there as PDF. docs/board_actuals.png is made so:
//   QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x900x24" board_actuals_sample docs/board_actuals.png
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QPixmap>
#include <QTest>

#include <cstdio>
#include <cstdlib>

#include "Unit_board.h"
#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "actuals.h"
#include "actuals_view.h"
#include "board_commands.h"
#include "board_completion.h"
#include "database.h"
#include "demo_sales.h"
#include "inprocess_link.h"
#include "module_state.h"
#include "report.h"
#include "server_fixture.h"
#include "test_hooks.h"
#include "ui.h"
#include "unit_getsetting.h"

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s PICTURE.png [PRINTOUT.pdf]\n", argv[0]);
        return 2;
    }
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const QString picture = QString::fromLocal8Bit(argv[1]);
    const QString printout = argc == 3 ? QString::fromLocal8Bit(argv[2]) : QString();

    testsupport::SqliteDb db(true);
    appserver::AppServer server(db.connection_string());
    {
        appserver::Connection probe(db.connection_string());
        appserver::install_actuals(server, probe, {appserver::kDemoActualsViewName, std::chrono::seconds(2)});
    }
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
                auto *b = static_cast<TFm_board *>(dialog);
                b->showNormal();
                b->resize(1180, 820);
                if (!QTest::qWaitFor([b] { return b->completion->ready(); }, 10000))
                    std::fprintf(stderr, "the actuals did not come\n");
                b->completion->toggle()->setChecked(true);
                for (int i = 0; i < 10; ++i) QApplication::processEvents();
                saved = b->grab().save(picture);
                if (!printout.isEmpty()) {
                    prepare_board_report(*b);
                    b->frReport1->export_pdf(printout);
                }
                b->tbexit->click();
            });
            main_form->tbboard->click();
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
