#include "module_entry.h"

#include <QApplication>
#include <QPointer>
#include <QTranslator>
#include <QWidget>
#include <QWindow>

#include <memory>

#include "Unit_saleplan.h"
#include "call_runner.h"
#include "module_state.h"
#include "remote_connection.h"
#include "ui.h"
#include "unit_getsetting.h"

namespace saleplan {

namespace {

std::intptr_t application_window = 0;

// The module works inside a Qt host and inside any other: it makes the
// application object only when there is none, and removes only its own.
class ApplicationScope {
public:
    ApplicationScope()
    {
        if (!QApplication::instance()) {
            static int argc = 1;
            static char name[] = "saleplan";
            static char *argv[] = {name, nullptr};
            own_ = std::make_unique<QApplication>(argc, argv);
        }
        // Qt's dialogs in Chinese unless the host chose their language.
        translator_ = ui::install_qt_translations();
    }
    ~ApplicationScope() = default;

private:
    std::unique_ptr<QApplication> own_;
    std::unique_ptr<QTranslator> translator_;  // goes before the application
};

// Sets the module's application window; setting it again does nothing.
void set_application_window(std::intptr_t handle)
{
    if (application_window == 0) application_window = handle;
}

// Puts the form over the host's window where the platform can: a window of
// the host's own Qt application, or a foreign native window.
// Returns the foreign window object, kept for as long as the form shows.
std::unique_ptr<QWindow> attach_to_host(QWidget *form)
{
    if (application_window == 0) return nullptr;
    const auto id = static_cast<WId>(application_window);
    if (QWidget *host = QWidget::find(id)) {
        form->winId();
        if (form->windowHandle() && host->window()->windowHandle())
            form->windowHandle()->setTransientParent(host->window()->windowHandle());
        return nullptr;
    }
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
    std::unique_ptr<QWindow> foreign(QWindow::fromWinId(id));
    if (foreign) {
        form->winId();
        if (form->windowHandle()) form->windowHandle()->setTransientParent(foreign.get());
    }
    return foreign;
}

}  // namespace

void show_module(std::intptr_t app_window, const char *mode, const char *server) noexcept
{
    std::unique_ptr<ApplicationScope> app;
    QPointer<TFm_saleplan> form;
    std::unique_ptr<QWindow> host_window;
    try {
        app = std::make_unique<ApplicationScope>();
        ui::install_font_substitutions();
        remote::set_busy_hook(&ui::set_busy);
        ui::install_remote_services();

        set_application_window(app_window);
        open_mode = mode;
        server_name = server ? server : "";
        form = new TFm_saleplan(nullptr);
        Fm_saleplan = form;
        if (!settings_reader) settings_reader = new TGETFORMSETTING();
        // Without a computer name from the host, the installation's settings
        // file names the server (a menu launcher passes none).
        if (server_name.empty()) server_name = settings_reader->server_address().toStdString();
        settings_reader->apply_form_settings(form, QStringLiteral("B"));
        host_window = attach_to_host(form);
        ui::show_modal(form);
    } catch (const std::exception &e) {
        ui::show_error(QString::fromUtf8(e.what()));
    } catch (...) {
        ui::show_error(QStringLiteral("未知错误"));
    }
    // showdll destroys the main form whatever happened.
    delete form.data();
    host_window.reset();
}

}  // namespace saleplan
