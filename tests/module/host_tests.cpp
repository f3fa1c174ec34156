// mis-host, the stand-in host: it loads the real module with dlopen, calls
// showdll, and says clearly when it cannot.
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "server_fixture.h"

namespace {

struct HostRun {
    int exit_code = -1;
    QString errors;
};

HostRun run_host(const QStringList &arguments, const QString &folder = QString())
{
    QProcess host;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    host.setProcessEnvironment(env);
    if (!folder.isEmpty()) host.setWorkingDirectory(folder);
    host.start(MIS_HOST, arguments);
    EXPECT_TRUE(host.waitForFinished(60000));
    return {host.exitCode(), QString::fromLocal8Bit(host.readAllStandardError())};
}

TEST(MisHost, AModuleThatCannotBeLoadedGivesAClearMessageAndAFailingExit)
{
    HostRun missing = run_host({"--library", "/nonexistent/libsaleplan.so"});
    EXPECT_NE(missing.exit_code, 0);
    EXPECT_TRUE(missing.errors.contains("module not found: /nonexistent/libsaleplan.so")) << missing.errors.toStdString();

    QTemporaryDir dir;
    const QString junk = dir.filePath("libjunk.so");
    QFile file(junk);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a library");
    file.close();
    HostRun broken = run_host({"--library", junk});
    EXPECT_NE(broken.exit_code, 0);
    EXPECT_TRUE(broken.errors.contains("cannot load")) << broken.errors.toStdString();

    // A real library without the entry point.
    HostRun other = run_host({"--library", OTHER_LIBRARY});
    EXPECT_NE(other.exit_code, 0);
    EXPECT_TRUE(other.errors.contains("has no entry point \"showdll\"")) << other.errors.toStdString();
}

TEST(MisHost, ShowsTheModuleOnARealServerAndEndsWhenTheFormCloses)
{
    testsupport::SqliteDb db(true);
    testsupport::ServerProcess server(db.connection_string());
    QTemporaryDir dir;
    const QString shot = dir.filePath("form.png");
    HostRun run = run_host({"--library", SALEPLAN_LIBRARY, "--server", QString::fromStdString(server.computer_name()),
                        "--screenshot", shot, "--screenshot-delay", "300"},
                       dir.path());
    EXPECT_EQ(run.exit_code, 0) << run.errors.toStdString();
    QImage picture(shot);
    ASSERT_FALSE(picture.isNull()) << run.errors.toStdString();
    EXPECT_GT(picture.width(), 300);
    // The module reached the server: sessions were opened for the form.
    EXPECT_NE(server.output().find("CompanyInfo"), std::string::npos);
}

}  // namespace
