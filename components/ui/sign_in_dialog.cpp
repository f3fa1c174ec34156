#include "sign_in_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <map>
#include <set>

#include <qt6keychain/keychain.h>

#include "remote_connection.h"
#include "ui.h"

namespace ui {

namespace {

// The module's forms' colour (red 197, green 217, blue 220) and font.
const QColor kFormColour(197, 217, 220);

QString from_std(const std::string &s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

SignInDialog::SignInDialog(const QString &server, const QString &notice, Attempt attempt, QWidget *parent)
    : QDialog(parent), attempt_(std::move(attempt))
{
    setObjectName(QStringLiteral("SignInDialog"));
    setWindowTitle(QStringLiteral("登录"));
    setModal(true);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kFormColour);
    setPalette(pal);
    QFont f(QStringLiteral("宋体"));
    f.setPixelSize(12);
    setFont(f);

    lb_server = new QLabel(notice.isEmpty() ? QStringLiteral("登录应用服务器 %1").arg(server) : notice, this);
    lb_server->setObjectName(QStringLiteral("lb_server"));
    lb_server->setWordWrap(true);

    ed_user = new QLineEdit(this);
    ed_user->setObjectName(QStringLiteral("ed_user"));
    ed_user->setAccessibleName(QStringLiteral("用户名"));
    ed_password = new QLineEdit(this);
    ed_password->setObjectName(QStringLiteral("ed_password"));
    ed_password->setAccessibleName(QStringLiteral("密码"));
    ed_password->setEchoMode(QLineEdit::Password);
    cb_remember = new QCheckBox(QStringLiteral("记住密码"), this);
    cb_remember->setObjectName(QStringLiteral("cb_remember"));

    lb_message = new QLabel(this);
    lb_message->setObjectName(QStringLiteral("lb_message"));
    lb_message->setWordWrap(true);
    QPalette warn = lb_message->palette();
    warn.setColor(QPalette::WindowText, QColor(176, 0, 0));
    lb_message->setPalette(warn);
    lb_message->hide();

    bt_ok = new QPushButton(QStringLiteral("确定"), this);
    bt_ok->setObjectName(QStringLiteral("bt_ok"));
    bt_ok->setDefault(true);
    bt_cancel = new QPushButton(QStringLiteral("取消"), this);
    bt_cancel->setObjectName(QStringLiteral("bt_cancel"));
    bt_cancel->setAutoDefault(false);
    connect(bt_ok, &QPushButton::clicked, this, &SignInDialog::accept);
    connect(bt_cancel, &QPushButton::clicked, this, &SignInDialog::reject);

    auto *fields = new QGridLayout;
    auto *user_label = new QLabel(QStringLiteral("用户名"), this);
    user_label->setBuddy(ed_user);
    auto *password_label = new QLabel(QStringLiteral("密码"), this);
    password_label->setBuddy(ed_password);
    fields->addWidget(user_label, 0, 0);
    fields->addWidget(ed_user, 0, 1);
    fields->addWidget(password_label, 1, 0);
    fields->addWidget(ed_password, 1, 1);
    fields->addWidget(cb_remember, 2, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(bt_ok);
    buttons->addWidget(bt_cancel);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lb_server);
    layout->addLayout(fields);
    layout->addWidget(lb_message);
    layout->addLayout(buttons);
    setMinimumWidth(300);
    ed_user->setFocus();
}

bool SignInDialog::remember() const { return cb_remember->isChecked(); }

QString SignInDialog::message() const { return lb_message->isVisible() || !lb_message->text().isEmpty() ? lb_message->text() : QString(); }

void SignInDialog::accept()
{
    const QString user = ed_user->text().trimmed();
    std::optional<QString> refusal;
    if (user.isEmpty())
        refusal = QStringLiteral("请输入用户名");
    else if (attempt_)
        refusal = attempt_(user, ed_password->text());
    if (!refusal) {
        QDialog::accept();
        return;
    }
    lb_message->setText(*refusal);
    lb_message->show();
    // The planner types the password again.
    QLineEdit *again = user.isEmpty() ? ed_user : ed_password;
    again->setFocus();
    again->selectAll();
}

// ---------------------------------------------------------------------------
// The keyring

namespace {

const QString kKeyringService = QStringLiteral("saleplan");

// Runs a keyring job to its end; false when it failed or took too long (no
// keyring daemon answering).
bool run_job(QKeychain::Job &job)
{
    job.setAutoDelete(false);
    job.setInsecureFallback(false);
    bool done = false;
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, [&] {
        done = true;
        loop.quit();
    });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    job.start();
    if (!done) loop.exec(QEventLoop::ExcludeUserInputEvents);
    return done && job.error() == QKeychain::NoError;
}

class KeyringStore final : public TokenStore {
public:
    std::optional<std::string> load(const std::string &key) override
    {
        QKeychain::ReadPasswordJob job(kKeyringService);
        job.setKey(from_std(key));
        if (!run_job(job) || job.textData().isEmpty()) return std::nullopt;
        return job.textData().toStdString();
    }
    bool save(const std::string &key, const std::string &token) override
    {
        QKeychain::WritePasswordJob job(kKeyringService);
        job.setKey(from_std(key));
        job.setTextData(from_std(token));
        return run_job(job);
    }
    void remove(const std::string &key) override
    {
        QKeychain::DeletePasswordJob job(kKeyringService);
        job.setKey(from_std(key));
        run_job(job);
    }
};

TokenStore *test_store = nullptr;
testing::SignInDriver test_driver;
// Servers whose remembered token was looked up in this process, and the
// token the keyring gave, so that one the server refuses is removed.
std::set<std::string> keyring_tried;
std::map<std::string, std::string> from_keyring;

TokenStore &store()
{
    return test_store ? *test_store : keyring_store();
}

}  // namespace

TokenStore &keyring_store()
{
    static KeyringStore keyring;
    return keyring;
}

bool sign_in_on_demand(const std::string &computer_name, const std::string &reason)
{
    const std::string key = remote::server_key(computer_name);
    const std::optional<std::string> refused = remote::token_for(key);

    // A remembered token that the server no longer takes is of no further use.
    if (auto it = from_keyring.find(key); it != from_keyring.end() && refused && it->second == *refused) {
        store().remove(key);
        from_keyring.erase(it);
    }
    if (keyring_tried.insert(key).second) {
        if (auto remembered = store().load(key); remembered && remembered != refused) {
            remote::set_token(key, *remembered);
            from_keyring[key] = *remembered;
            return true;
        }
    }
    remote::forget_token(key);

    const QString server = from_std(remote::where_of(remote::parse_computer_name(computer_name)));
    // A sign-in that ran out says so; a first one only asks.
    const QString notice = refused ? QStringLiteral("应用服务器 %1 要求重新登录：%2").arg(server, from_std(reason))
                                   : QStringLiteral("登录应用服务器 %1").arg(server);
    QWidget *parent = QApplication::activeModalWidget();
    if (!parent) parent = QApplication::activeWindow();
    SignInDialog dialog(server, notice, [&](const QString &user, const QString &password) -> std::optional<QString> {
        try {
            remote::sign_in(computer_name, user.toStdString(), password.toStdString());
            return std::nullopt;
        } catch (const std::exception &e) {
            return QString::fromUtf8(e.what());
        }
    }, parent);
    int result = QDialog::Rejected;
    if (test_driver) {
        dialog.show();
        test_driver(dialog);
        result = dialog.isVisible() ? QDialog::Rejected : dialog.result();
        dialog.hide();
    } else {
        result = show_modal(&dialog);
    }
    if (result != QDialog::Accepted) return false;

    auto token = remote::token_for(key);
    if (!token) return false;
    if (dialog.remember()) {
        // Without a keyring the planner is asked again next time; nothing more is said.
        if (store().save(key, *token)) from_keyring[key] = *token;
    } else if (from_keyring.erase(key)) {
        store().remove(key);
    }
    return true;
}

namespace testing {

void set_token_store(TokenStore *store) { test_store = store; }

void set_sign_in_driver(SignInDriver driver) { test_driver = std::move(driver); }

void reset_sign_in()
{
    for (const std::string &key : keyring_tried) remote::forget_token(key);
    keyring_tried.clear();
    from_keyring.clear();
}

}  // namespace testing

}  // namespace ui
