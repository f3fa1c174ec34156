// mis-host: a small stand-in for the company's host application. It loads
// the plan module as a shared library, resolves its one entry point and calls
// it with its own window, an open mode and the application server's address.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

#include "saleplan_version.h"

namespace {

using ShowDll = void (*)(std::intptr_t, std::int32_t, std::int32_t, const char *, std::int32_t, const char *);

int fail(const QString &message)
{
    std::fprintf(stderr, "mis-host: %s\n", message.toLocal8Bit().constData());
    return 1;
}

// --help and --version need no display: they are answered before any window
// system is opened.
bool asks_only_for_text(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h") || !std::strcmp(a, "-?") ||
            !std::strcmp(a, "--help-all") || !std::strcmp(a, "--version") || !std::strcmp(a, "-v"))
            return true;
    }
    return false;
}

// The module to load when --library is not given: next to mis-host (a build
// folder), else the installed one in its private folder, found relative to
// mis-host first so that a copy unpacked elsewhere (a scratch root) loads its
// own module.
QString default_library()
{
    const QDir here(QCoreApplication::applicationDirPath());
    const QString candidates[] = {
        here.filePath("libsaleplan.so"),
        QDir::cleanPath(here.filePath("../" SALEPLAN_INSTALL_REL_MODULEDIR "/libsaleplan.so")),
        QStringLiteral(SALEPLAN_INSTALL_MODULEDIR "/libsaleplan.so"),
    };
    for (const QString &c : candidates)
        if (QFileInfo::exists(c)) return c;
    return candidates[0];
}

// Watches for the module's main form: the host reports a failure when the
// module returned without ever showing it (it shows its own error first).
class FormWatch : public QObject {
public:
    bool shown = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && watched->objectName() == QLatin1String("Fm_saleplan")) shown = true;
        return false;
    }
};

// --printout FILE: does what a planner does to keep a printout as a PDF file:
// 打印 on the form, 另存为PDF in the preview, the file's name in the save
// dialog, then 关闭 and 退出. Each step waits for the window it acts on to
// be the one in front; a message box in between is reported and closed.
class PrintoutRun : public QObject {
public:
    explicit PrintoutRun(QString file) : file_(std::move(file))
    {
        connect(&timer_, &QTimer::timeout, this, [this] { step(); });
        timer_.start(200);
    }
    bool written() const { return written_; }

private:
    void step()
    {
        QWidget *front = QApplication::activeModalWidget();
        if (!front) return;
        const QString name = front->objectName();
        if (auto *box = qobject_cast<QMessageBox *>(front)) {
            std::fprintf(stderr, "mis-host: the module said: %s\n", box->text().toLocal8Bit().constData());
            box->done(QMessageBox::Ok);
            return;
        }
        // Most actions below open the next window and return only when that
        // window closes; they run from a timer of their own, since this one
        // does not fire again until its handler has returned.
        if (name == QLatin1String("Fm_saleplan") && stage_ == 0) {
            stage_ = 1;
            click(front, "tbprint");
        } else if (name == QLatin1String("report_preview") && stage_ == 1) {
            stage_ = 2;
            trigger(front, "action_save_pdf");
        } else if (auto *dialog = qobject_cast<QFileDialog *>(front); dialog && stage_ == 2) {
            stage_ = 3;
            // Typed into the file name box, as a person would.
            if (auto *name_box = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                name_box->setText(file_);
            QMetaObject::invokeMethod(dialog, "accept");  // what the dialog's save button does
        } else if (name == QLatin1String("report_preview") && stage_ == 3) {
            stage_ = 4;
            written_ = QFileInfo(file_).size() > 0;
            trigger(front, "action_close");
        } else if (name == QLatin1String("Fm_saleplan") && stage_ == 4) {
            timer_.stop();
            click(front, "tbexit");
        }
    }
    static void click(QWidget *window, const char *name)
    {
        if (auto *button = window->findChild<QAbstractButton *>(QLatin1String(name)))
            QTimer::singleShot(0, button, &QAbstractButton::click);
    }
    static void trigger(QWidget *window, const char *name)
    {
        if (auto *action = window->findChild<QAction *>(QLatin1String(name)))
            QTimer::singleShot(0, action, &QAction::trigger);
    }

    QString file_;
    QTimer timer_;
    int stage_ = 0;
    bool written_ = false;
};

}  // namespace

int main(int argc, char **argv)
{
    std::unique_ptr<QCoreApplication> app_holder;
    const bool text_only = asks_only_for_text(argc, argv);
    if (!text_only && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") &&
        !(std::getenv("QT_QPA_PLATFORM") && *std::getenv("QT_QPA_PLATFORM"))) {
        std::fprintf(stderr, "mis-host: no display to show the module on (DISPLAY is not set; "
                             "QT_QPA_PLATFORM=offscreen runs without one)\n");
        return 1;
    }
    if (text_only) app_holder = std::make_unique<QCoreApplication>(argc, argv);
    else app_holder = std::make_unique<QApplication>(argc, argv);
    QCoreApplication &app = *app_holder;
    QCoreApplication::setApplicationName("mis-host");
    QCoreApplication::setApplicationVersion(QStringLiteral(SALEPLAN_VERSION " (commit " SALEPLAN_COMMIT ")"));

    QCommandLineParser cli;
    cli.setApplicationDescription("Loads the monthly sales plan module and shows it.");
    cli.addHelpOption();
    cli.addVersionOption();
    QCommandLineOption library_opt("library",
                                   "The module to load (default: libsaleplan.so next to mis-host, else the "
                                   "installed one).",
                                   "PATH");
    QCommandLineOption mode_opt("mode", "Open mode passed to the module (\"B\" or \"b\": browse only).", "MODE",
                                "");
    QCommandLineOption server_opt("server",
                                  "Application server: host[:port], http://host[:port] or https://host[:port]; "
                                  "without it the settings file's [connection] server, else this machine.",
                                  "ADDRESS", "");
    QCommandLineOption shot_opt("screenshot",
                                "Save a picture of the screen to FILE once the module's form shows, then close it.",
                                "FILE");
    QCommandLineOption delay_opt("screenshot-delay", "Milliseconds to wait before the screenshot (default 1500).",
                                 "MS", "1500");
    QCommandLineOption printout_opt("printout",
                                    "Once the module's form shows, print the plan in view and save the printout "
                                    "as the PDF file FILE, then close it.",
                                    "FILE");
    cli.addOptions({library_opt, mode_opt, server_opt, shot_opt, delay_opt, printout_opt});
    cli.process(app);

    const QString library = cli.isSet(library_opt)
                                ? cli.value(library_opt)
                                : default_library();
    if (!QFileInfo::exists(library)) return fail(QString("module not found: %1").arg(library));

    void *handle = dlopen(QFile::encodeName(library).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return fail(QString("cannot load %1: %2").arg(library, QString::fromLocal8Bit(dlerror())));
    auto showdll = reinterpret_cast<ShowDll>(dlsym(handle, "showdll"));
    if (!showdll) return fail(QString("%1 has no entry point \"showdll\"").arg(library));

    QMainWindow window;
    window.setWindowTitle("管理信息系统");
    auto *label = new QLabel("管理信息系统", &window);
    label->setAlignment(Qt::AlignCenter);
    window.setCentralWidget(label);
    window.resize(800, 600);
    window.show();

    if (cli.isSet(shot_opt)) {
        const QString file = cli.value(shot_opt);
        bool ok = false;
        int delay = cli.value(delay_opt).toInt(&ok);
        if (!ok || delay < 0) delay = 1500;
        // Runs inside the module's modal loop: take the picture, then close the
        // form the way its own exit button would.
        // The picture is of the module's form: on a slow machine the form may
        // show only after the delay, so the shot waits for it.
        static std::function<void()> shoot;
        shoot = [file] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal) {
                QTimer::singleShot(100, [] { shoot(); });
                return;
            }
            QScreen *screen = QGuiApplication::primaryScreen();
            if (screen && !screen->grabWindow(0).save(file))
                std::fprintf(stderr, "mis-host: cannot write %s\n", file.toLocal8Bit().constData());
            if (auto *exit = modal->findChild<QAbstractButton *>("tbexit"); exit && exit->isVisible())
                exit->click();
            else
                modal->close();
        };
        QTimer::singleShot(delay, [] { shoot(); });
    }

    std::unique_ptr<PrintoutRun> printout;
    if (cli.isSet(printout_opt)) printout = std::make_unique<PrintoutRun>(QFileInfo(cli.value(printout_opt)).absoluteFilePath());

    FormWatch watch;
    app.installEventFilter(&watch);
    const QByteArray mode = cli.value(mode_opt).toLocal8Bit();
    const QByteArray server = cli.value(server_opt).toLocal8Bit();
    showdll(static_cast<std::intptr_t>(window.winId()), 0, 0, mode.constData(), 0, server.constData());
    app.removeEventFilter(&watch);
    // The stand-in host has nothing else to offer: it ends when the module returns.
    if (!watch.shown) return fail(QStringLiteral("the module could not show its form"));
    if (printout && !printout->written())
        return fail(QString("the printout was not saved to %1").arg(cli.value(printout_opt)));
    return 0;
}
