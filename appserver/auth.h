// Sign-in plumbing of the application server: random values and hashes from
// libsodium, the account and token tables, and the throttle of failed
// sign-ins.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <vector>

#include "caller.h"
#include "database.h"
#include "server_error.h"

namespace appserver {

// The account table and the token table (created by --init where missing).
inline constexpr const char *kAccountTable = "GSTYHZH0";
inline constexpr const char *kTokenTable = "GSTYHLP0";

void create_account_tables(Connection &db);

// Account administration (the "user" commands), on a database made by --init.
struct AccountInfo {
    std::string name;
    Role role = Role::Planner;
    std::string created;  // UTC, ISO-8601
};
void add_account(const std::string &connection_string, const std::string &name, Role role, const std::string &password);
void set_account_password(const std::string &connection_string, const std::string &name, const std::string &password);
// Removes the account and every token it holds. Unknown name: NotFound.
void remove_account(const std::string &connection_string, const std::string &name);
std::vector<AccountInfo> list_accounts(const std::string &connection_string);

// Initialises libsodium once; throws when it cannot be.
void ensure_sodium();
// bytes random bytes from the system's cryptographic source, as hex.
std::string random_hex(std::size_t bytes = 32);
// The hash a token is stored and known by (hex of a 256-bit generic hash).
std::string token_hash(const std::string &token);
// Argon2id with the interactive limits, in libsodium's text form.
std::string hash_password(const std::string &password);
bool verify_password(const std::string &stored_hash, const std::string &password);

// Counts failed sign-ins per account and per client address over the last
// minute. A sign-in is let through only while both are below the limit.
class LoginThrottle {
public:
    explicit LoginThrottle(int limit = 5, std::chrono::seconds window = std::chrono::seconds(60))
        : limit_(limit), window_(window) {}
    // Whether a sign-in for account from address may be tried now.
    bool allows(const std::string &account, const std::string &address);
    void record_failure(const std::string &account, const std::string &address);

private:
    using Clock = std::chrono::steady_clock;
    void prune(std::deque<Clock::time_point> &times, Clock::time_point now) const;
    std::mutex mutex_;
    int limit_;
    std::chrono::seconds window_;
    std::map<std::string, std::deque<Clock::time_point>> by_account_, by_address_;
};

// At most `slots` password hashes run at once and at most `waiting` more
// sign-ins wait for a slot, so that a flood of sign-ins cannot take every
// worker of the server.
class HashSlots {
public:
    HashSlots(int slots, int waiting) : free_(slots), max_waiting_(waiting) {}
    // False when the server is too busy with sign-ins: nothing to release then.
    bool acquire(std::chrono::milliseconds patience);
    void release();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int free_;
    int waiting_ = 0;
    int max_waiting_;
};

}  // namespace appserver
