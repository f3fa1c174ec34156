// A department's month signed off through the board by three accounts of a
// real vendrix-server over HTTPS: the planner submits, the viewer only
// looks, the approver returns it with a reason, the planner submits again
// and the approver approves; what each saw (the heading, the buttons, the
// history, the printout's state) and what reached the database; and the
// main form in a locked month: its changing commands disabled with the
// reason, and the server's refusal shown where the planner acted when the
// form learnt of the lock too late.
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <unistd.h>

#include "TFlatComboBox.h"
#include "TFlatSpeedButton.h"
#include "Unit_board.h"
#include "Unit_saleplan.h"
#include "board_commands.h"
#include "module_entry.h"
#include "module_state.h"
#include "remote_connection.h"
#include "report.h"
#include "server_fixture.h"
#include "sign_in_dialog.h"
#include "test_hooks.h"
#include "ui.h"
#include "unit_getsetting.h"

namespace {

struct Account {
    const char *name, *role, *password;
};
const Account kPlanner{"wang", "planner", "planner-2024"};
const Account kApprover{"li", "approver", "approver-2024"};
const Account kViewer{"zhao", "viewer", "viewer-2024"};

// The keyring, replaced: nothing is remembered between the accounts.
class NoKeyring : public ui::TokenStore {
public:
    std::optional<std::string> load(const std::string &) override { return std::nullopt; }
    bool save(const std::string &, const std::string &) override { return false; }
    void remove(const std::string &) override {}
};

class SignOffTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        db = new testsupport::SqliteDb(true);
        tls = new testsupport::TlsFiles();
        for (const Account &a : {kPlanner, kApprover, kViewer})
            testsupport::add_account(db->connection_string(), a.name, a.role, a.password);
        // The demo month has quantity left and a salesman without a plan:
        // this site allows partial submission (the server's own tests cover the refusal).
        server = new testsupport::ServerProcess(db->connection_string(),
                                                {"--auth", "accounts", "--tls-cert", tls->cert(), "--tls-key",
                                                 tls->key(), "--allow-partial-submission"});
    }
    static void TearDownTestSuite()
    {
        delete server;
        delete tls;
        delete db;
    }

    void SetUp() override
    {
        delete saleplan::settings_reader;
        saleplan::settings_reader = new TGETFORMSETTING(QStringLiteral("/nonexistent/mis_system.ini"));
        remote::set_link_factory({});
        settings_file = testing::TempDir() + "signoff_mis_system." + std::to_string(::getpid()) + ".ini";
        std::ofstream(settings_file) << "[preform]\ntop=0\n[connection]\nca_file=" << tls->cert() << "\n";
        remote::set_settings_file(settings_file);
        computer = "https://127.0.0.1:" + std::to_string(server->port());
        ui::testing::set_token_store(&keyring);
    }
    void TearDown() override
    {
        ui::testing::set_sign_in_driver({});
        ui::testing::set_token_store(nullptr);
        ui::testing::reset_sign_in();
        remote::set_settings_file(remote::kDefaultSettingsFile);
        std::remove(settings_file.c_str());
    }

    // Shows the module signed in as the account; `on_form` runs on the main form.
    void as(const Account &account, const std::function<void(TFm_saleplan *)> &on_form)
    {
        ui::testing::reset_sign_in();
        remote::forget_token(remote::server_key(computer));
        ui::testing::set_sign_in_driver([account](ui::SignInDialog &d) {
            d.ed_user->setText(QString::fromUtf8(account.name));
            d.ed_password->insert(QString::fromUtf8(account.password));
            d.bt_ok->click();
        });
        hooks.on_modal([&](QDialog *dialog) {
            auto *f = qobject_cast<TFm_saleplan *>(dialog);
            ASSERT_NE(f, nullptr);
            on_form(f);
            f->tbexit->click();
        });
        saleplan::show_module(0, "", computer.c_str());
    }
    // Opens the board from the main form; `steps` drive it, then it is closed.
    void on_board(TFm_saleplan *f, const std::function<void(TFm_board *)> &steps)
    {
        hooks.on_modal([&](QDialog *d) {
            auto *b = qobject_cast<TFm_board *>(d);
            ASSERT_NE(b, nullptr);
            steps(b);
            b->tbexit->click();
        });
        f->tbboard->click();
    }

    // Which of 提交, 批准, 退回, 申请修订 are enabled: "1010".
    static std::string moves_enabled(TFm_board *b)
    {
        std::string out;
        for (const char *name : {"tbsubmit", "tbapprove", "tbreturn", "tbrevise"})
            out += b->command_button(name) && b->command_button(name)->isEnabled() ? '1' : '0';
        return out;
    }
    static QString state_in_heading(TFm_board *b)
    {
        const QString heading = b->pn_gl->text();
        const int at = heading.indexOf(QStringLiteral("状态："));
        return at < 0 ? QString() : heading.mid(at + 3);
    }
    static int history_rows(TFm_board *b)
    {
        auto *h = b->findChild<QTreeWidget *>(QStringLiteral("lst_state_history"));
        return h && h->isVisible() ? h->topLevelItemCount() : 0;
    }
    std::vector<std::vector<std::string>> moves_in_database()
    {
        return testsupport::query_sql(db->connection_string(),
                                      "SELECT DZUO00,ZTAI00,YHMC00,COALESCE(LYOU00,'') FROM XSTYZBZT ORDER BY BBHAO0");
    }
    std::string plan_rows()
    {
        return testsupport::query_sql(db->connection_string(), "SELECT COUNT(*) FROM XSTYZB02").at(0).at(0);
    }

    static testsupport::SqliteDb *db;
    static testsupport::TlsFiles *tls;
    static testsupport::ServerProcess *server;
    ui::testing::Hooks hooks;
    NoKeyring keyring;
    std::string settings_file, computer;
};

testsupport::SqliteDb *SignOffTest::db = nullptr;
testsupport::TlsFiles *SignOffTest::tls = nullptr;
testsupport::ServerProcess *SignOffTest::server = nullptr;

TEST_F(SignOffTest, TheWholeCycleThroughTheBoardWithThreeAccounts)
{
    // The planner submits; the board is then read-only and the main form's commands disabled.
    as(kPlanner, [&](TFm_saleplan *f) {
        on_board(f, [&](TFm_board *b) {
            EXPECT_EQ(state_in_heading(b), "草稿");
            EXPECT_EQ(moves_enabled(b), "1000");
            EXPECT_TRUE(b->tbok->isEnabled() || b->model().modified() == false);
            b->command_button("tbsubmit")->click();
            EXPECT_EQ(state_in_heading(b), "已提交");
            EXPECT_EQ(moves_enabled(b), "0000");
            EXPECT_FALSE(b->tbok->isEnabled());
            EXPECT_FALSE(b->command_button("tbnew")->isEnabled());
            EXPECT_EQ(history_rows(b), 1);
        });
        for (TFlatSpeedButton *c : {f->tbnew, f->tbedit, f->tbdel, f->tbok}) {
            EXPECT_FALSE(c->isEnabled()) << c->objectName().toStdString();
            EXPECT_EQ(c->toolTip(), "该月计划已提交，不能修改");
        }
        EXPECT_TRUE(f->tbprint->isEnabled());
    });
    EXPECT_TRUE(hooks.errors().empty()) << hooks.errors().at(0).text.toStdString();

    // The viewer sees the state and its history, and may move nothing.
    as(kViewer, [&](TFm_saleplan *f) {
        on_board(f, [&](TFm_board *b) {
            EXPECT_EQ(state_in_heading(b), "已提交");
            EXPECT_EQ(moves_enabled(b), "0000");
            EXPECT_EQ(history_rows(b), 1);
        });
    });

    // The approver returns it with a reason (an empty one is not taken).
    as(kApprover, [&](TFm_saleplan *f) {
        on_board(f, [&](TFm_board *b) {
            EXPECT_EQ(moves_enabled(b), "0110");
            hooks.on_modal([&](QDialog *d) {
                auto *reason = d->findChild<QLineEdit *>(QStringLiteral("ed_reason"));
                ASSERT_NE(reason, nullptr);
                d->findChild<QPushButton *>(QStringLiteral("bt_ok"))->click();
                EXPECT_TRUE(d->isVisible()) << "an empty reason is not taken";
                reason->setText(QStringLiteral("新品推广还没分完"));
                d->findChild<QPushButton *>(QStringLiteral("bt_ok"))->click();
            });
            hooks.answer(ui::result_ok);  // 请填写理由
            b->command_button("tbreturn")->click();
            EXPECT_EQ(state_in_heading(b), "草稿");
            EXPECT_TRUE(b->tbok->isEnabled());
            EXPECT_EQ(history_rows(b), 2);
        });
    });

    // Submitted again by the planner, approved by the approver, and printed.
    as(kPlanner, [&](TFm_saleplan *f) { on_board(f, [&](TFm_board *b) { b->command_button("tbsubmit")->click(); }); });
    as(kApprover, [&](TFm_saleplan *f) {
        on_board(f, [&](TFm_board *b) {
            b->command_button("tbapprove")->click();
            EXPECT_EQ(state_in_heading(b), "已批准");
            EXPECT_EQ(moves_enabled(b), "0001");
            prepare_board_report(*b);
            EXPECT_EQ(b->frReport1->variable(QStringLiteral("jhzt")), "已批准");
            EXPECT_EQ(b->frReport1->variable(QStringLiteral("pzr")), "li");
            EXPECT_FALSE(b->frReport1->variable(QStringLiteral("pzsj")).isEmpty());
        });
    });
    EXPECT_TRUE(hooks.errors().empty()) << hooks.errors().at(0).text.toStdString();
    EXPECT_EQ(moves_in_database(), (std::vector<std::vector<std::string>>{{"提交", "已提交", "wang", ""},
                                                                          {"退回", "草稿", "li", "新品推广还没分完"},
                                                                          {"提交", "已提交", "wang", ""},
                                                                          {"批准", "已批准", "li", ""}}));

    // The main form learnt the month's state while it was a draft: 删除
    // and 删行 go to the server, which refuses them with its reason.
    testsupport::exec_sql(db->connection_string(), "DELETE FROM XSTYZBZT WHERE BBHAO0>=3");
    const std::string rows = plan_rows();
    as(kPlanner, [&](TFm_saleplan *f) {
        EXPECT_TRUE(f->tbdel->isEnabled());
        testsupport::exec_sql(db->connection_string(),
                              "INSERT INTO XSTYZBZT (NYUE00,CKDM00,BBHAO0,DZUO00,ZTAI00,YHMC00,CZSJ00) VALUES ('" +
                                  saleplan::plan_month + "','01',3,'批准','已批准','li','2026-01-01T00:00:00Z')");
        hooks.answer(ui::result_ok);
        f->tbdel->click();
        hooks.answer(ui::result_ok);
        hooks.answer(ui::result_ok);
        f->tbok->click();
    });
    ASSERT_EQ(hooks.errors().size(), 1u);
    EXPECT_EQ(hooks.errors()[0].text, "该月计划已批准，不能修改");
    const auto boxes = hooks.boxes();
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().text, "删除失败！");
    EXPECT_EQ(boxes.back().details, "该月计划已批准，不能修改");
    EXPECT_EQ(plan_rows(), rows);
}

}  // namespace
