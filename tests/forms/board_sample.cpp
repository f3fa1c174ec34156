// The board on the demo database, for looking at it (not a test): the main
// form opens as the entry point opens it, 分配 opens the board on the first
// department's month, a few quantities are typed (not saved), and the
// board's picture is saved to the first argument; with a second argument its
// printout is saved there as PDF. docs/board.png and docs/board_printout.png
// are made this way:
//   QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" board_sample docs/board.png /tmp/board.pdf
//   pdftoppm -png -r 60 -f 1 -l 1 /tmp/board.pdf /tmp/board && cp /tmp/board-1.png docs/board_printout.png
#include <QApplication>
#include <QDialog>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>

#include "Unit_board.h"
#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "board_commands.h"
#include "board_grid.h"
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
                // 张伟 takes more of two indicators; the typing is shown unsaved.
                board::BoardModel &m = b->model();
                if (m.indicator_count() > 4 && m.salesman_count() > 0) {
                    m.enter({3, 0}, board::format_quantity(m.left_for({3, 0})));
                    m.enter({4, 0}, board::format_quantity(m.left_for({4, 0}) / 2));
                    b->grid->setCurrentIndex(b->grid->board_model()->index_of({4, 0}));
                }
                for (int i = 0; i < 5; ++i) QApplication::processEvents();
                saved = b->grab().save(picture);
                if (!printout.isEmpty()) {
                    prepare_board_report(*b);
                    b->frReport1->export_pdf(printout);
                }
                hooks.answer(ui::result_no);
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
