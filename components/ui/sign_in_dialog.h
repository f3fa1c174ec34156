// Signing in to the application server: the dialog "登录" that the module
// shows when the server asks for a sign-in, the desktop keyring that keeps a
// remembered token, and the hook the remote connections call.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <optional>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace ui {

// User, password, "记住密码", 确定 and 取消. Enter confirms, Escape cancels.
// 确定 tries the sign-in; a refusal is shown in the dialog, which stays open
// for another try.
class SignInDialog : public QDialog {
    Q_OBJECT
public:
    // Tries a sign-in; returns the refusal to show, or nothing once signed in.
    using Attempt = std::function<std::optional<QString>(const QString &user, const QString &password)>;

    SignInDialog(const QString &server, const QString &notice, Attempt attempt, QWidget *parent = nullptr);

    bool remember() const;
    QString message() const;  // the refusal shown, empty before one

    QLabel *lb_server;
    QLineEdit *ed_user;
    QLineEdit *ed_password;
    QCheckBox *cb_remember;
    QLabel *lb_message;
    QPushButton *bt_ok;
    QPushButton *bt_cancel;

public slots:
    void accept() override;

private:
    Attempt attempt_;
};

// Where remembered tokens are kept: the desktop's keyring. Tests put a store
// of their own in its place.
class TokenStore {
public:
    virtual ~TokenStore() = default;
    virtual std::optional<std::string> load(const std::string &server_key) = 0;
    // False when there is no keyring to keep it in.
    virtual bool save(const std::string &server_key, const std::string &token) = 0;
    virtual void remove(const std::string &server_key) = 0;
};

// The keyring through QtKeychain; a desktop without one loads nothing and keeps nothing.
TokenStore &keyring_store();

// The remote connections' sign-in hook: the server refused a call for want
// of a sign-in. A token remembered in the keyring is tried first (once per
// server and process); otherwise, or when the server refuses it, the dialog
// asks. True once a token is in place, false when the planner cancelled.
bool sign_in_on_demand(const std::string &computer_name, const std::string &reason);

namespace testing {
// Replaces the keyring (nullptr restores it).
void set_token_store(TokenStore *store);
// Forgets which servers' remembered tokens were tried and every token of the process.
void reset_sign_in();
// While set, the dialog is shown without a modal loop of its own and the
// driver works it (types, clicks 确定 or 取消, presses Enter or Escape); a
// dialog still open when the driver returns is cancelled. A modal loop
// would run the test hooks' pending actions in the middle of an activation.
using SignInDriver = std::function<void(SignInDialog &dialog)>;
void set_sign_in_driver(SignInDriver driver);
}  // namespace testing

}  // namespace ui
