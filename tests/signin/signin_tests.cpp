// The module against a real vendrix-server that requires accounts, over
// HTTPS with a certificate the test makes: the sign-in dialog, a wrong
// password, cancelling, a remembered token, a sign-in that runs out while
// the form is open, a viewer account, and a certificate that does not verify.
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>

#include <unistd.h>

#include "TFlatComboBox.h"
#include "TFlatSpeedButton.h"
#include "TdxDBGrid.h"
#include "Unit_board.h"
#include "board_grid.h"
#include "board_source.h"
#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "module_entry.h"
#include "module_state.h"
#include "remote_connection.h"
#include "server_fixture.h"
#include "sign_in_dialog.h"
#include "test_hooks.h"
#include "unit_getsetting.h"

namespace {

// The keyring, replaced.
class MemoryStore : public ui::TokenStore {
public:
    std::map<std::string, std::string> tokens;
    bool available = true;
    std::optional<std::string> load(const std::string &key) override
    {
        auto it = tokens.find(key);
        if (it == tokens.end()) return std::nullopt;
        return it->second;
    }
    bool save(const std::string &key, const std::string &token) override
    {
        if (!available) return false;
        tokens[key] = token;
        return true;
    }
    void remove(const std::string &key) override { tokens.erase(key); }
};

// What the planner does in the sign-in dialog, and what it showed.
struct Planner {
    struct Try {
        QString user, password;
        bool remember = false;
        enum { Enter, Click, Escape } how = Enter;
    };
    std::vector<Try> tries;  // one per showing of the dialog, or several on one showing when refused
    int shown = 0;
    std::vector<QString> refusals;  // what the dialog said after a refused try
    QString title, notice;
    bool ok_is_default = false;
    QString ok_text, cancel_text, remember_text;
    std::size_t next = 0;

    void operator()(ui::SignInDialog &d)
    {
        ++shown;
        title = d.windowTitle();
        notice = d.lb_server->text();
        ok_is_default = d.bt_ok->isDefault();
        ok_text = d.bt_ok->text();
        cancel_text = d.bt_cancel->text();
        remember_text = d.cb_remember->text();
        while (d.isVisible() && next < tries.size()) {
            const Try &t = tries[next++];
            if (t.how == Try::Escape) {
                QTest::keyClick(&d, Qt::Key_Escape);
                break;
            }
            d.ed_user->setText(t.user);
            d.ed_password->clear();
            d.ed_password->insert(t.password);
            d.cb_remember->setChecked(t.remember);
            if (t.how == Try::Enter)
                QTest::keyClick(d.ed_password, Qt::Key_Return);
            else
                d.bt_ok->click();
            if (d.isVisible()) refusals.push_back(d.message());
        }
    }
};

const std::string kPlanner = "planner1", kPlannerPassword = "春天-2024";
const std::string kViewer = "guest", kViewerPassword = "look-only";

// What the form showed once its activation had run.
struct Seen {
    int rows = -1;
    bool changing_enabled = false;  // 生成, 编辑, 删除, 删行
    bool print_enabled = false;
    QString department;
};

Seen seen_on(TFm_saleplan *f)
{
    Seen s;
    s.rows = f->dxDBGrid1->model()->rowCount();
    s.changing_enabled = f->tbnew->isEnabled() && f->tbedit->isEnabled() && f->tbdel->isEnabled() &&
                         f->tbok->isEnabled();
    s.print_enabled = f->tbprint->isEnabled();
    s.department = f->cb_fxb->text();
    return s;
}

class SignInTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        db = new testsupport::SqliteDb(true);
        tls = new testsupport::TlsFiles();
        testsupport::add_account(db->connection_string(), kPlanner, "planner", kPlannerPassword);
        testsupport::add_account(db->connection_string(), kViewer, "viewer", kViewerPassword);
        server = new testsupport::ServerProcess(
            db->connection_string(), {"--auth", "accounts", "--tls-cert", tls->cert(), "--tls-key", tls->key()});
    }
    static void TearDownTestSuite()
    {
        delete server;
        delete tls;
        delete db;
    }

    void SetUp() override
    {
        saleplan::plan_month.clear();
        saleplan::shown_month.clear();
        saleplan::dept_code.clear();
        saleplan::salesman_code.clear();
        delete saleplan::settings_reader;
        saleplan::settings_reader = new TGETFORMSETTING(QStringLiteral("/nonexistent/mis_system.ini"));
        remote::set_link_factory({});
        settings_file = testing::TempDir() + "signin_mis_system." + std::to_string(::getpid()) + ".ini";
        write_settings("[preform]\ntop=0\n[connection]\nca_file=" + tls->cert() + "\n");
        remote::set_settings_file(settings_file);
        ui::testing::reset_sign_in();
        ui::testing::set_token_store(&store);
        ui::testing::set_sign_in_driver(std::ref(planner));
        computer = "https://127.0.0.1:" + std::to_string(server->port());
    }
    void TearDown() override
    {
        ui::testing::set_sign_in_driver({});
        ui::testing::set_token_store(nullptr);
        ui::testing::reset_sign_in();
        remote::set_settings_file(remote::kDefaultSettingsFile);
        std::remove(settings_file.c_str());
    }

    void write_settings(const std::string &text) { std::ofstream(settings_file) << text; }

    // Shows the module once; the form's action records what it showed and exits.
    Seen show(ui::testing::Hooks &hooks, const std::function<void(TFm_saleplan *)> &more = {},
              const char *mode = "")
    {
        Seen s;
        hooks.on_modal([&](QDialog *dialog) {
            auto *f = qobject_cast<TFm_saleplan *>(dialog);
            ASSERT_NE(f, nullptr);
            s = seen_on(f);
            if (more) more(f);
            f->tbexit->click();
        });
        saleplan::show_module(0, mode, computer.c_str());
        return s;
    }

    std::string key() const { return remote::server_key(computer); }

    static testsupport::SqliteDb *db;
    static testsupport::TlsFiles *tls;
    static testsupport::ServerProcess *server;
    std::string settings_file;
    std::string computer;
    MemoryStore store;
    Planner planner;
};

testsupport::SqliteDb *SignInTest::db = nullptr;
testsupport::TlsFiles *SignInTest::tls = nullptr;
testsupport::ServerProcess *SignInTest::server = nullptr;

std::string first_error(const ui::testing::Hooks &hooks)
{
    return hooks.errors().empty() ? std::string() : hooks.errors()[0].text.toStdString();
}

TEST_F(SignInTest, FirstSignInOpensThePlanAndServesBothConnectionsAndLaterShowings)
{
    planner.tries = {{QString::fromStdString(kPlanner), QString::fromStdString(kPlannerPassword)}};
    ui::testing::Hooks hooks;
    Seen s = show(hooks);
    EXPECT_TRUE(hooks.errors().empty()) << first_error(hooks);
    EXPECT_EQ(planner.shown, 1);
    EXPECT_EQ(planner.title, "登录");
    EXPECT_EQ(planner.ok_text, "确定");
    EXPECT_EQ(planner.cancel_text, "取消");
    EXPECT_EQ(planner.remember_text, "记住密码");
    EXPECT_TRUE(planner.ok_is_default);
    EXPECT_NE(planner.notice.indexOf(QString::fromStdString("127.0.0.1:" + std::to_string(server->port()))), -1);
    EXPECT_GT(s.rows, 0);
    EXPECT_FALSE(s.department.isEmpty());
    EXPECT_TRUE(s.changing_enabled);
    ASSERT_TRUE(remote::known_account(key()));
    EXPECT_EQ(remote::known_account(key())->role, "planner");
    EXPECT_TRUE(store.tokens.empty()) << "kept without 记住密码";

    // A later showing in the same process asks nothing.
    Seen again = show(hooks);
    EXPECT_EQ(planner.shown, 1);
    EXPECT_GT(again.rows, 0);
    EXPECT_TRUE(hooks.errors().empty()) << first_error(hooks);
}

TEST_F(SignInTest, AWrongPasswordShowsTheServersRefusalAndTheNextTryGetsIn)
{
    planner.tries = {{QString::fromStdString(kPlanner), "wrong", false, Planner::Try::Click},
                     {QString::fromStdString(kPlanner), QString::fromStdString(kPlannerPassword)}};
    ui::testing::Hooks hooks;
    Seen s = show(hooks);
    EXPECT_EQ(planner.shown, 1) << "the same dialog takes the second try";
    ASSERT_EQ(planner.refusals.size(), 1u);
    // The server's own words, in Chinese, not a message of the module's.
    EXPECT_FALSE(planner.refusals[0].isEmpty());
    EXPECT_NE(planner.refusals[0].toStdString().find("密码"), std::string::npos) << planner.refusals[0].toStdString();
    EXPECT_GT(s.rows, 0);
    EXPECT_TRUE(hooks.errors().empty()) << first_error(hooks);
}

TEST_F(SignInTest, CancelEndsTheActivationLikeAnUnreachableServerAndTheFormStaysOpen)
{
    planner.tries = {{"", "", false, Planner::Try::Escape}};
    ui::testing::Hooks hooks;
    bool open = false;
    Seen s = show(hooks, [&](TFm_saleplan *f) { open = f->isVisible(); });
    EXPECT_EQ(planner.shown, 1);
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_EQ(first_error(hooks), "未登录应用服务器 127.0.0.1:" + std::to_string(server->port()) + "：登录已取消");
    EXPECT_TRUE(open);
    EXPECT_EQ(s.rows, 0);
    EXPECT_TRUE(s.department.isEmpty());
    EXPECT_FALSE(remote::token_for(key()));
}

TEST_F(SignInTest, ARememberedTokenIsUsedSilentlyNextTimeAndOneTheServerRefusesIsDropped)
{
    planner.tries = {{QString::fromStdString(kPlanner), QString::fromStdString(kPlannerPassword), true}};
    ui::testing::Hooks hooks;
    EXPECT_GT(show(hooks).rows, 0);
    EXPECT_EQ(planner.shown, 1);
    ASSERT_EQ(store.tokens.count(key()), 1u) << "记住密码 keeps the token in the keyring";
    const std::string remembered = store.tokens[key()];
    EXPECT_EQ(remote::token_for(key()), remembered);

    // The next process: nothing in memory, the keyring has the token.
    ui::testing::reset_sign_in();
    EXPECT_GT(show(hooks).rows, 0);
    EXPECT_EQ(planner.shown, 1) << "the remembered token was not used";
    EXPECT_EQ(remote::token_for(key()), remembered);
    EXPECT_TRUE(hooks.errors().empty()) << first_error(hooks);

    // A remembered token the server no longer takes: removed, and the dialog asks.
    store.tokens[key()] = "0000stale0000";
    ui::testing::reset_sign_in();
    planner.tries.push_back({QString::fromStdString(kPlanner), QString::fromStdString(kPlannerPassword), false});
    EXPECT_GT(show(hooks).rows, 0);
    EXPECT_EQ(planner.shown, 2);
    EXPECT_EQ(store.tokens.count(key()), 0u);
    EXPECT_TRUE(hooks.errors().empty()) << first_error(hooks);
}

TEST_F(SignInTest, WithoutAKeyringThePlannerIsAskedAgainNextTimeAndNothingIsSaid)
{
    store.available = false;
    planner.tries = {{QString::fromStdString(kPlanner), QString::fromStdString(kPlannerPassword), true},
                     {QString::fromStdString(kPlanner), QString::fromStdString(kPlannerPassword), true}};
    ui::testing::Hooks hooks;
    EXPECT_GT(show(hooks).rows, 0);
    ui::testing::reset_sign_in();
    EXPECT_GT(show(hooks).rows, 0);
    EXPECT_EQ(planner.shown, 2);
    EXPECT_TRUE(hooks.messages().empty());
}

TEST_F(SignInTest, AViewerAccountOpensWithTheChangingCommandsDisabled)
{
    planner.tries = {{QString::fromStdString(kViewer), QString::fromStdString(kViewerPassword), true}};
    ui::testing::Hooks hooks;
    Seen s = show(hooks);
    EXPECT_TRUE(hooks.errors().empty()) << first_error(hooks);
    EXPECT_GT(s.rows, 0);
    EXPECT_FALSE(s.changing_enabled);
    EXPECT_TRUE(s.print_enabled);

    // Signed in from the keyring, the account is asked of the server.
    ui::testing::reset_sign_in();
    Seen later = show(hooks);
    EXPECT_EQ(planner.shown, 1);
    EXPECT_FALSE(later.changing_enabled);
    EXPECT_TRUE(later.print_enabled);
}

TEST_F(SignInTest, AViewerOpensTheBoardReadOnlyAndTheServerRefusesItsChanges)
{
    planner.tries = {{QString::fromStdString(kViewer), QString::fromStdString(kViewerPassword)}};
    ui::testing::Hooks hooks;
    bool seen = false, save_enabled = true, generate_enabled = true, editable = true;
    QString status;
    std::string save_refusal, generate_refusal;
    const auto before = testsupport::query_sql(db->connection_string(), "SELECT ZBSL00 FROM XSTYZB02 ORDER BY ROWID00");
    show(hooks, [&](TFm_saleplan *f) {
        EXPECT_TRUE(f->tbboard->isEnabled());
        hooks.on_modal([&](QDialog *d) {
            auto *b = qobject_cast<TFm_board *>(d);
            ASSERT_NE(b, nullptr);
            seen = true;
            save_enabled = b->tbok->isEnabled();
            generate_enabled = b->command_button("tbnew")->isEnabled();
            editable = b->grid->model()->index(0, BoardTableModel::kFirstSalesmanColumn).flags() & Qt::ItemIsEditable;
            status = b->lb_status->text();
            // Whatever the route, the server refuses a viewer's change.
            const auto row = b->model().cell_row({0, 0});
            ASSERT_TRUE(row);
            wire::Change change;
            change.row_id = *row;
            change.original["ZBSL00"] = b->model().cell_original({0, 0});
            change.values["ZBSL00"] = 1.0;
            try {
                const wire::ApplyResult r = b->source().save({change});
                save_refusal = r.errors.empty() ? std::string() : r.errors[0].message;
            } catch (const remote::RemoteError &e) {
                save_refusal = e.what();
            }
            try {
                b->source().generate(b->month(), b->department(), {});
            } catch (const remote::RemoteError &e) {
                generate_refusal = e.what();
            }
            b->tbexit->click();
        });
        f->tbboard->click();
    });
    EXPECT_TRUE(hooks.errors().empty()) << first_error(hooks);
    EXPECT_TRUE(seen);
    EXPECT_FALSE(save_enabled);
    EXPECT_FALSE(generate_enabled);
    EXPECT_FALSE(editable);
    EXPECT_NE(status.indexOf("只读：只读账户，只能查看"), -1) << status.toStdString();
    EXPECT_FALSE(save_refusal.empty());
    EXPECT_NE(generate_refusal.find("只读账号不能修改计划数据"), std::string::npos) << generate_refusal;
    EXPECT_EQ(testsupport::query_sql(db->connection_string(), "SELECT ZBSL00 FROM XSTYZB02 ORDER BY ROWID00"), before);
}

TEST_F(SignInTest, ACertificateThatDoesNotVerifyIsAnErrorWithNoFallback)
{
    // No CA file: the system's authorities do not know the test's certificate.
    write_settings("[connection]\n");
    ui::testing::Hooks hooks;
    Seen s = show(hooks);
    EXPECT_EQ(planner.shown, 0);
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_EQ(first_error(hooks).rfind("应用服务器 127.0.0.1:" + std::to_string(server->port()) + " 的证书未通过验证：", 0),
              0u)
        << first_error(hooks);
    EXPECT_EQ(s.rows, 0);

    // A CA file that cannot be read says so.
    write_settings("[connection]\nca_file=/nonexistent/ca.pem\n");
    show(hooks);
    ASSERT_EQ(hooks.errors().size(), 2u);
    EXPECT_NE(hooks.errors()[1].text.indexOf("/nonexistent/ca.pem"), -1) << hooks.errors()[1].text.toStdString();
}

// A sign-in that runs out while the form is open: the next call asks again
// and is repeated once signed in. The lifetime leaves a loaded machine time
// to finish the activation first.
TEST(SignInExpiry, ASignInThatRunsOutMidShowingAsksAgainAndTheCallGoesOn)
{
    testsupport::SqliteDb db(true);
    testsupport::TlsFiles tls;
    testsupport::add_account(db.connection_string(), kPlanner, "planner", kPlannerPassword);
    testsupport::ServerProcess server(db.connection_string(), {"--auth", "accounts", "--token-lifetime", "5",
                                                               "--tls-cert", tls.cert(), "--tls-key", tls.key()});
    const std::string settings = testing::TempDir() + "expiry_mis_system." + std::to_string(::getpid()) + ".ini";
    std::ofstream(settings) << "[connection]\nca_file=" << tls.cert() << "\n";
    remote::set_settings_file(settings);
    delete saleplan::settings_reader;
    saleplan::settings_reader = new TGETFORMSETTING(QStringLiteral("/nonexistent/mis_system.ini"));
    remote::set_link_factory({});
    ui::testing::reset_sign_in();
    MemoryStore store;
    ui::testing::set_token_store(&store);
    Planner planner;
    planner.tries = {{QString::fromStdString(kPlanner), QString::fromStdString(kPlannerPassword)},
                     {QString::fromStdString(kPlanner), QString::fromStdString(kPlannerPassword)}};
    ui::testing::set_sign_in_driver(std::ref(planner));
    const std::string computer = "https://127.0.0.1:" + std::to_string(server.port());

    ui::testing::Hooks hooks;
    int rows_before = -1, rows_after = -1, shown_before = -1;
    QString notice_before;
    hooks.on_modal([&](QDialog *dialog) {
        auto *f = static_cast<TFm_saleplan *>(dialog);
        rows_before = f->dxDBGrid1->model()->rowCount();
        shown_before = planner.shown;
        notice_before = planner.notice;
        std::this_thread::sleep_for(std::chrono::milliseconds(5600));
        // The planner chooses the salesman again: the plan rows are fetched anew.
        f->cb_fxyChange();
        rows_after = f->dxDBGrid1->model()->rowCount();
        f->tbexit->click();
    });
    saleplan::show_module(0, "", computer.c_str());
    EXPECT_TRUE(hooks.errors().empty()) << first_error(hooks);
    EXPECT_EQ(shown_before, 1);
    EXPECT_EQ(planner.shown, 2) << "the run-out sign-in was not asked for again";
    EXPECT_NE(planner.notice.indexOf("重新登录"), -1) << planner.notice.toStdString();
    EXPECT_GT(rows_before, 0);
    EXPECT_EQ(rows_after, rows_before);

    ui::testing::set_sign_in_driver({});
    ui::testing::set_token_store(nullptr);
    ui::testing::reset_sign_in();
    remote::set_settings_file(remote::kDefaultSettingsFile);
    std::remove(settings.c_str());
}

}  // namespace
