// Accounts and their sign-ins: signing in and out, the callers tokens stand
// for, and the administration of accounts (the "user" commands). The
// account table GSTYHZH0 and the token table GSTYHLP0 are this file's own:
// nothing else reads or writes them. Passwords are kept only as Argon2id
// hashes and tokens only as their BLAKE2b hashes (libsodium), so several
// servers on one database accept each other's tokens.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "caller.h"
#include "connection_pool.h"
#include "database.h"

namespace appserver {

// The account table and the token table (created by --init where missing).
inline constexpr const char *kAccountTable = "GSTYHZH0";
inline constexpr const char *kTokenTable = "GSTYHLP0";

void create_account_tables(Connection &db);

// bytes random bytes from the system's cryptographic source, as hex: an id
// seen on the wire tells nothing about any other.
std::string random_hex(std::size_t bytes = 32);

// What a sign-in gives.
struct SignIn {
    std::string token;  // 64 hex digits; only its hash is stored
    std::chrono::system_clock::time_point expires;
    std::string account;
    Role role = Role::Planner;
};

// A user name as a sign-in gives it, made the one key its account is known
// by: surrounding blanks dropped. Refused (nothing) when it can name no
// account: empty, longer than 32 characters, not UTF-8, or holding a blank
// or a control character (a NUL would cut the name short where the database
// reads C strings, and so sign in to another account than the one throttled).
std::optional<std::string> sign_in_name(const std::string &user);

// The sign-ins of a running server, through connections of the accounts'
// database (on SQLite a file of its own beside the plans', database_files.h).
inline constexpr std::chrono::seconds kTokenTrustedFor{5};

class Accounts {
public:
    Accounts(ConnectionPool &pool, std::chrono::seconds token_lifetime);
    ~Accounts();

    // Signs an account in from a client address. A wrong user or password is
    // Unauthorized with one message for both, and so is a user name that can
    // name no account (sign_in_name). Failed sign-ins are throttled before
    // any password is hashed, exactly under bursts (a sign-in being checked
    // counts as a failure until it succeeds): five a minute from one address
    // hold that address; five a minute for one account hold that account
    // for the addresses it has not signed in from, with a delay that doubles
    // with every further failure (1 s up to 60 s), while its owner at an
    // address it signed in from before goes on signing in. At most two
    // hashes run at once and four more wait.
    SignIn login(const std::string &user, const std::string &password, const std::string &address);
    // Ends the sign-in a token id stands for.
    void end_sign_in(const std::string &token_id);
    // The caller a bearer token stands for; Unauthorized when the token is
    // unknown, signed out or expired. With trust_recent_check (reads only),
    // a token checked good against the database within kTokenTrustedFor is
    // taken without asking it again: a sign-out on this server ends it at
    // once, one on another instance (or the account removed, its password
    // changed) within that time. Anything that may change data asks.
    Caller caller_of_token(const std::string &token, const std::string &address, bool trust_recent_check = false);
    // Whether this server saw the token signed in or good within the last
    // minutes: a cheap look, without the database, for letting its request
    // body in before the call checks it properly.
    bool recently_good(const std::string &token) const;
    // Of these token ids, the ones whose sign-in has ended (expired or signed
    // out). Nothing when the database is out of reach: they are asked again.
    std::set<std::string> ended_sign_ins(const std::set<std::string> &token_ids);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Account administration (the "user" commands), on a database made by --init;
// each takes the plans' connection string and works on the accounts'
// database of it (on SQLite the file beside, never held by a planner's
// open transaction).
struct AccountInfo {
    std::string name;
    Role role = Role::Planner;
    std::string created;  // UTC, ISO-8601
};
void add_account(const std::string &connection_string, const std::string &name, Role role, const std::string &password);
// A new password also ends the account's sign-ins. Unknown name: NotFound.
void set_account_password(const std::string &connection_string, const std::string &name, const std::string &password);
// Removes the account and every token it holds. Unknown name: NotFound.
void remove_account(const std::string &connection_string, const std::string &name);
std::vector<AccountInfo> list_accounts(const std::string &connection_string);

}  // namespace appserver
