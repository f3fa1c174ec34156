#include "auth.h"

#include <sodium.h>

#include <ctime>

#include "server_text.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

std::string hex_of(const unsigned char *bytes, std::size_t n)
{
    std::string out(n * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), bytes, n);
    out.pop_back();
    return out;
}

// An account name as the tables hold it: not empty, at most 32 characters,
// no control characters or spaces.
void check_account_name(const std::string &name)
{
    std::size_t characters = 0;
    for (unsigned char c : name)
        if ((c & 0xC0) != 0x80) ++characters;
    if (characters == 0 || characters > 32)
        throw ServerError(Kind::BadRequest, "an account name has 1 to 32 characters");
    for (unsigned char c : name)
        if (c <= ' ' || c == 0x7f) throw ServerError(Kind::BadRequest, "an account name has no spaces or control characters");
}

void check_password(const std::string &password)
{
    if (password.size() < 8) throw ServerError(Kind::BadRequest, "a password has at least 8 characters");
    if (password.size() > 1024) throw ServerError(Kind::BadRequest, "a password has at most 1024 characters");
}

}  // namespace

void create_account_tables(Connection &db)
{
    db.run(std::string("CREATE TABLE IF NOT EXISTS ") + kAccountTable +
           " (YHMC00 VARCHAR(32) NOT NULL PRIMARY KEY, YHJS00 VARCHAR(8) NOT NULL, "
           "MMHX00 VARCHAR(160) NOT NULL, CJSJ00 VARCHAR(20))");
    // GQSJ00: seconds since 1970-01-01 UTC after which the token is refused.
    db.run(std::string("CREATE TABLE IF NOT EXISTS ") + kTokenTable +
           " (LPHX00 VARCHAR(64) NOT NULL PRIMARY KEY, YHMC00 VARCHAR(32) NOT NULL, "
           "GQSJ00 BIGINT NOT NULL, CJSJ00 VARCHAR(20))");
    db.run(std::string("CREATE INDEX IF NOT EXISTS GSTYHLP0_ACCOUNT ON ") + kTokenTable + " (YHMC00)");
}

void ensure_sodium()
{
    static const int status = sodium_init();
    if (status < 0) throw ServerError(Kind::Unavailable, "the cryptographic library cannot be initialised");
}

std::string random_hex(std::size_t bytes)
{
    ensure_sodium();
    std::string raw(bytes, '\0');
    randombytes_buf(raw.data(), raw.size());
    return hex_of(reinterpret_cast<const unsigned char *>(raw.data()), raw.size());
}

std::string token_hash(const std::string &token)
{
    ensure_sodium();
    unsigned char out[32];
    crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char *>(token.data()), token.size(), nullptr, 0);
    return hex_of(out, sizeof out);
}

std::string hash_password(const std::string &password)
{
    ensure_sodium();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw ServerError(Kind::Unavailable, "hashing the password ran out of memory");
    return out;
}

bool verify_password(const std::string &stored_hash, const std::string &password)
{
    ensure_sodium();
    return crypto_pwhash_str_verify(stored_hash.c_str(), password.data(), password.size()) == 0;
}

void LoginThrottle::prune(std::deque<Clock::time_point> &times, Clock::time_point now) const
{
    while (!times.empty() && now - times.front() >= window_) times.pop_front();
}

bool LoginThrottle::allows(const std::string &account, const std::string &address)
{
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    auto &a = by_account_[account];
    auto &b = by_address_[address];
    prune(a, now);
    prune(b, now);
    const bool ok = static_cast<int>(a.size()) < limit_ && static_cast<int>(b.size()) < limit_;
    if (a.empty()) by_account_.erase(account);
    if (b.empty()) by_address_.erase(address);
    return ok;
}

void LoginThrottle::record_failure(const std::string &account, const std::string &address)
{
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    by_account_[account].push_back(now);
    by_address_[address].push_back(now);
    // Forget quiet entries now and then, so that the maps stay small.
    if (by_account_.size() + by_address_.size() > 10000) {
        for (auto *m : {&by_account_, &by_address_})
            for (auto it = m->begin(); it != m->end();) {
                prune(it->second, now);
                it = it->second.empty() ? m->erase(it) : std::next(it);
            }
    }
}

bool HashSlots::acquire(std::chrono::milliseconds patience)
{
    std::unique_lock lock(mutex_);
    if (free_ > 0) {
        --free_;
        return true;
    }
    if (waiting_ >= max_waiting_) return false;
    ++waiting_;
    const bool got = cv_.wait_for(lock, patience, [this] { return free_ > 0; });
    --waiting_;
    if (got) --free_;
    return got;
}

void HashSlots::release()
{
    {
        std::lock_guard lock(mutex_);
        ++free_;
    }
    cv_.notify_one();
}

// --- account administration ----------------------------------------------------

void add_account(const std::string &cs, const std::string &name, Role role, const std::string &password)
{
    check_account_name(name);
    check_password(password);
    Connection db(cs);
    const auto exists = db.run(std::string("SELECT 1 FROM ") + kAccountTable + " WHERE YHMC00=?", {name});
    if (!exists.packet.rows.empty())
        throw ServerError(Kind::BadRequest, "the account \"" + name + "\" exists already (user passwd changes its password)");
    db.run(std::string("INSERT INTO ") + kAccountTable + " (YHMC00,YHJS00,MMHX00,CJSJ00) VALUES (?,?,?,?)",
           {name, std::string(role_name(role)), hash_password(password), iso_utc(std::chrono::system_clock::now())});
}

void set_account_password(const std::string &cs, const std::string &name, const std::string &password)
{
    check_password(password);
    Connection db(cs);
    db.begin_write();
    const auto done = db.run(std::string("UPDATE ") + kAccountTable + " SET MMHX00=? WHERE YHMC00=?",
                             {hash_password(password), name});
    if (done.rows_affected != 1) {
        db.rollback();
        throw ServerError(Kind::NotFound, "there is no account \"" + name + "\"");
    }
    // A new password ends the sign-ins made with the old one.
    db.run(std::string("DELETE FROM ") + kTokenTable + " WHERE YHMC00=?", {name});
    db.commit();
}

void remove_account(const std::string &cs, const std::string &name)
{
    Connection db(cs);
    db.begin_write();
    db.run(std::string("DELETE FROM ") + kTokenTable + " WHERE YHMC00=?", {name});
    const auto done = db.run(std::string("DELETE FROM ") + kAccountTable + " WHERE YHMC00=?", {name});
    if (done.rows_affected != 1) {
        db.rollback();
        throw ServerError(Kind::NotFound, "there is no account \"" + name + "\"");
    }
    db.commit();
}

std::vector<AccountInfo> list_accounts(const std::string &cs)
{
    Connection db(cs);
    const auto r = db.run(std::string("SELECT YHMC00,YHJS00,CJSJ00 FROM ") + kAccountTable + " ORDER BY YHMC00");
    std::vector<AccountInfo> out;
    for (const auto &row : r.packet.rows) {
        AccountInfo a;
        a.name = wire::value_to_text(row[0]);
        a.role = role_from_name(wire::value_to_text(row[1])).value_or(Role::Viewer);
        a.created = wire::is_null(row[2]) ? std::string() : wire::value_to_text(row[2]);
        out.push_back(std::move(a));
    }
    return out;
}

}  // namespace appserver
