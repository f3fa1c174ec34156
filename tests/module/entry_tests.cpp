// The entry point: what the library exports, and showdll called in this
// process against a real vendrix-server over loopback.
#include <QApplication>
#include <QDialog>
#include <QProcess>
#include <QTemporaryDir>

#include <fstream>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "TFlatComboBox.h"
#include "TdxDBGrid.h"
#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "module_entry.h"
#include "module_state.h"
#include "plan_vocabulary.h"
#include "remote_connection.h"
#include "server_fixture.h"
#include "test_hooks.h"
#include "unit_getsetting.h"

namespace {

void fresh_module_state()
{
    saleplan::plan_month.clear();
    saleplan::shown_month.clear();
    saleplan::dept_code.clear();
    saleplan::salesman_code.clear();
    delete saleplan::settings_reader;
    saleplan::settings_reader = new TGETFORMSETTING(QStringLiteral("/nonexistent/mis_system.ini"));
    remote::set_link_factory({});
}

TEST(ModuleLibrary, ExportsShowdllAndNothingElse)
{
    QProcess nm;
    nm.start("nm", {"-D", "--defined-only", SALEPLAN_LIBRARY});
    ASSERT_TRUE(nm.waitForFinished(30000));
    QStringList symbols;
    for (const QString &line : QString::fromLocal8Bit(nm.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts))
        symbols << line.section(' ', -1);
    EXPECT_EQ(symbols, QStringList{"showdll"});

    void *handle = dlopen(SALEPLAN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    EXPECT_NE(dlsym(handle, "showdll"), nullptr);
    EXPECT_EQ(dlsym(handle, "_ZN8saleplan11show_moduleElPKcS1_"), nullptr);
    dlclose(handle);
}

TEST(ShowDll, ShowsTheDemoPlanFromARealServerAndReturnsAfterExit)
{
    fresh_module_state();
    testsupport::SqliteDb db(true);
    testsupport::ServerProcess server(db.connection_string());
    ui::testing::Hooks hooks;
    const std::string computer = server.computer_name();
    const std::string month = month_key(QDate::currentDate());
    int rows = 0;
    QString footer;
    hooks.on_modal([&](QDialog *dialog) {
        auto *form = qobject_cast<TFm_saleplan *>(dialog);
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(saleplan::Fm_saleplan.data(), form);
        EXPECT_EQ(saleplan::server_name, computer);
        EXPECT_EQ(saleplan::plan_month, month);
        EXPECT_FALSE(form->cb_fxb->text().isEmpty());
        EXPECT_FALSE(form->cb_fxy->text().isEmpty());
        rows = form->dxDBGrid1->model()->rowCount();
        footer = form->dxDBGrid1->footer_text(form->dxDBGrid1->column_index("dxDBGrid1ZBMC00"));
        form->tbexit->click();
    });
    saleplan::show_module(0, "", computer.c_str());
    EXPECT_GT(rows, 0);
    EXPECT_EQ(footer, "合计");
    EXPECT_TRUE(hooks.errors().empty()) << hooks.errors()[0].text.toStdString();
    EXPECT_EQ(saleplan::dm_yearplan, nullptr);
    EXPECT_TRUE(saleplan::Fm_saleplan.isNull());
    // The state outlives the call; the reader is created once.
    EXPECT_EQ(saleplan::plan_month, month);
    TGETFORMSETTING *reader = saleplan::settings_reader;
    // The open mode "b" reaches the form as browse mode.
    bool browse = false;
    hooks.on_modal([&](QDialog *dialog) {
        auto *form = static_cast<TFm_saleplan *>(dialog);
        browse = !form->tbnew->isEnabled() && !form->tbedit->isEnabled() && !form->tbdel->isEnabled() &&
                 !form->tbok->isEnabled() && form->tbprint->isEnabled();
        form->tbexit->click();
    });
    saleplan::show_module(0, "b", computer.c_str());
    EXPECT_TRUE(browse);
    EXPECT_EQ(saleplan::settings_reader, reader);
}

// A menu launcher passes no computer name: the settings file names the
// server then. A name from the host wins; with neither, the empty name goes on.
TEST(ShowDll, TheSettingsFileNamesTheServerWhenTheHostPassesNone)
{
    testsupport::SqliteDb db(true);
    testsupport::ServerProcess server(db.connection_string());
    const std::string real = server.computer_name();
    struct Case {
        std::string from_host, in_settings, expected;
    } cases[] = {
        {"", "[connection]\nserver = " + real + "\n", real},
        {real, "[connection]\nserver = 127.0.0.1:1\n", real},
        {"", "[preform]\ntop=0\n", ""},
    };
    for (const Case &c : cases) {
        fresh_module_state();
        QTemporaryDir dir;
        const QString ini = dir.filePath("mis_system.ini");
        std::ofstream(ini.toStdString()) << c.in_settings;
        delete saleplan::settings_reader;
        saleplan::settings_reader = new TGETFORMSETTING(ini);
        ui::testing::Hooks hooks;
        std::string used;
        int rows = -1;
        hooks.on_modal([&](QDialog *dialog) {
            auto *form = static_cast<TFm_saleplan *>(dialog);
            used = saleplan::server_name;
            rows = form->dxDBGrid1->model()->rowCount();
            form->tbexit->click();
        });
        saleplan::show_module(0, "", c.from_host.c_str());
        EXPECT_EQ(used, c.expected) << c.in_settings;
        // The server named reached: the demo plan of the month is shown.
        if (!c.expected.empty()) EXPECT_GT(rows, 0) << c.in_settings;
    }
}

TEST(ShowDll, AServerThatCannotBeReachedShowsTheErrorAndReturnsNormally)
{
    fresh_module_state();
    ui::testing::Hooks hooks;
    bool form_stayed_open = false;
    hooks.on_modal([&](QDialog *dialog) {
        form_stayed_open = dialog->isVisible();
        static_cast<TFm_saleplan *>(dialog)->tbexit->click();
    });
    saleplan::show_module(0, "", "127.0.0.1:1");
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_NE(hooks.errors()[0].text.indexOf("127.0.0.1:1"), -1) << hooks.errors()[0].text.toStdString();
    EXPECT_TRUE(form_stayed_open);
    EXPECT_TRUE(saleplan::Fm_saleplan.isNull());
    EXPECT_EQ(saleplan::dm_yearplan, nullptr);
}

}  // namespace
