#include "accounts.h"

#include <sodium.h>

#include <condition_variable>
#include <ctime>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include "contract.h"
#include "database_files.h"
#include "refusals.h"
#include "server_log.h"
#include "server_text.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;
namespace code = contract::error;

constexpr const char *kWrongPassword = "用户名或密码不正确";
constexpr const char *kTooManyFailures = "登录失败次数过多，请稍后再试";
constexpr const char *kTooManySignIns = "同时登录的请求过多，请稍后再试";
constexpr const char *kSignInExpired = "登录已过期，请重新登录";

std::string hex_of(const unsigned char *bytes, std::size_t n)
{
    std::string out(n * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), bytes, n);
    out.pop_back();
    return out;
}

// An account name as the tables hold it: not empty, at most 32 characters,
// no control characters or blanks, so that every account can sign in under
// the one name it was made with (sign_in_name).
void check_account_name(const std::string &name)
{
    std::size_t characters = 0;
    for (unsigned char c : name)
        if ((c & 0xC0) != 0x80) ++characters;
    if (characters == 0 || characters > 32)
        throw ServerError(Kind::BadRequest, "an account name has 1 to 32 characters");
    const auto as_signed_in = sign_in_name(name);
    if (!as_signed_in || *as_signed_in != name)
        throw ServerError(Kind::BadRequest, "an account name has no spaces or control characters");
}

// Initialises libsodium once; throws when it cannot be.
void ensure_sodium()
{
    static const int status = sodium_init();
    if (status < 0) throw ServerError(Kind::Unavailable, "the cryptographic library cannot be initialised");
}

// The hash a token is stored and known by (hex of a 256-bit generic hash).
std::string token_hash(const std::string &token);
// Argon2id with the interactive limits, in libsodium's text form.
std::string hash_password(const std::string &password);
bool verify_password(const std::string &stored_hash, const std::string &password);

// Failed sign-ins over the last minute, by client address and by account.
// A sign-in being checked counts as a failure until it is known to have
// succeeded, so that a burst of sign-ins at once checks no more passwords
// than the limit. An address is held once it reaches the limit. An account
// is never held for everyone: once it reaches the limit, strangers (addresses
// it has not signed in from) wait a delay that doubles with each further
// failure, while its owner at a usual address goes on.
class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    explicit LoginThrottle(int limit = 5, std::chrono::seconds window = std::chrono::seconds(60))
        : limit_(limit), window_(window) {}

    // Why the sign-in may not be tried now (a refusal reason of refusals.h),
    // or nothing: then it is counted as under way until finish().
    const char *begin(const std::string &account, const std::string &address);
    void finish(const std::string &account, const std::string &address, bool failed, bool account_exists);
    // Whether failures were recorded for an account that exists (so that
    // its name may be logged: any other could be a password typed into the
    // wrong field).
    bool known_account(const std::string &account);

    static constexpr std::chrono::seconds kLongestDelay{60};
    static constexpr std::chrono::hours kUsualFor{24 * 30};

private:
    struct Entry {
        std::deque<Clock::time_point> failures;
        int under_way = 0;
        bool exists = false;
        Clock::time_point last_failure{};
    };
    void prune(Entry &e, Clock::time_point now) const;
    bool usual(const std::string &account, const std::string &address, Clock::time_point now) const;
    std::mutex mutex_;
    int limit_;
    std::chrono::seconds window_;
    std::map<std::string, Entry> by_address_, by_account_;
    // The addresses each account signed in from, and when last.
    std::map<std::string, std::map<std::string, Clock::time_point>> usual_;
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

void check_password(const std::string &password)
{
    if (password.size() < 8) throw ServerError(Kind::BadRequest, "a password has at least 8 characters");
    if (password.size() > 1024) throw ServerError(Kind::BadRequest, "a password has at most 1024 characters");
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

void LoginThrottle::prune(Entry &e, Clock::time_point now) const
{
    while (!e.failures.empty() && now - e.failures.front() >= window_) e.failures.pop_front();
}

bool LoginThrottle::usual(const std::string &account, const std::string &address, Clock::time_point now) const
{
    auto a = usual_.find(account);
    if (a == usual_.end()) return false;
    auto at = a->second.find(address);
    return at != a->second.end() && now - at->second < kUsualFor;
}

const char *LoginThrottle::begin(const std::string &account, const std::string &address)
{
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    Entry &from = by_address_[address];
    Entry &of = by_account_[account];
    prune(from, now);
    prune(of, now);
    const char *refused = nullptr;
    if (static_cast<int>(from.failures.size()) + from.under_way >= limit_) {
        refused = refusal::kAddressThrottled;
    } else if (!usual(account, address, now)) {
        // Strangers to the account: up to the limit freely, then one at a
        // time, each after a delay doubling with every failure past it.
        const int past = static_cast<int>(of.failures.size()) + of.under_way - limit_;
        if (past >= 0) {
            const auto delay = std::min<std::chrono::seconds>(kLongestDelay, std::chrono::seconds(1LL << std::min(past, 6)));
            if (of.under_way > 0 || now - of.last_failure < delay) refused = refusal::kSignInDelayed;
        }
    }
    if (refused) {
        if (from.failures.empty() && from.under_way == 0) by_address_.erase(address);
        if (of.failures.empty() && of.under_way == 0) by_account_.erase(account);
        return refused;
    }
    ++from.under_way;
    ++of.under_way;
    return nullptr;
}

void LoginThrottle::finish(const std::string &account, const std::string &address, bool failed, bool account_exists)
{
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    Entry &from = by_address_[address];
    Entry &of = by_account_[account];
    --from.under_way;
    --of.under_way;
    if (failed) {
        from.failures.push_back(now);
        of.failures.push_back(now);
        of.last_failure = now;
        of.exists = of.exists || account_exists;
    } else {
        usual_[account][address] = now;
    }
    if (from.failures.empty() && from.under_way == 0) by_address_.erase(address);
    if (of.failures.empty() && of.under_way == 0) by_account_.erase(account);
    // Forget quiet entries now and then, so that the maps stay small.
    if (by_account_.size() + by_address_.size() > 10000) {
        for (auto *m : {&by_account_, &by_address_})
            for (auto it = m->begin(); it != m->end();) {
                prune(it->second, now);
                it = it->second.failures.empty() && it->second.under_way == 0 ? m->erase(it) : std::next(it);
            }
    }
    if (usual_.size() > 100000) usual_.clear();
}

bool LoginThrottle::known_account(const std::string &account)
{
    std::lock_guard lock(mutex_);
    auto it = by_account_.find(account);
    return it != by_account_.end() && it->second.exists;
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

std::string random_hex(std::size_t bytes)
{
    ensure_sodium();
    std::string raw(bytes, '\0');
    randombytes_buf(raw.data(), raw.size());
    return hex_of(reinterpret_cast<const unsigned char *>(raw.data()), raw.size());
}

// --- sign-ins ------------------------------------------------------------------

namespace {

// Tokens this server saw signed in or good lately, by their hash: lets a
// request body in before its call checks the token against the database,
// and spares that check to a token checked good within kTrusted (its
// account and role kept with it). A sign-out here ends it at once; one on
// another instance on the same database, or the account's removal or new
// password, is seen within kTrusted.
class RecentTokens {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::minutes kFor{5};
    static constexpr auto kTrustedFor = kTokenTrustedFor;
    void good(const std::string &token_id, std::chrono::system_clock::time_point expires, const std::string &account = {},
              Role role = Role::Planner)
    {
        std::lock_guard lock(mutex_);
        if (seen_.size() > 100000) seen_.clear();  // a bound, never reached by a site's planners
        seen_[token_id] = {Clock::now(), expires, account, role};
    }
    void ended(const std::string &token_id)
    {
        std::lock_guard lock(mutex_);
        seen_.erase(token_id);
    }
    bool recently_good(const std::string &token_id) const
    {
        std::lock_guard lock(mutex_);
        auto it = seen_.find(token_id);
        return it != seen_.end() && Clock::now() - it->second.checked < kFor &&
               std::chrono::system_clock::now() < it->second.expires;
    }
    // The caller of a token checked good within kTrusted and not expired.
    bool trusted(Caller &caller) const
    {
        std::lock_guard lock(mutex_);
        auto it = seen_.find(caller.token_id);
        if (it == seen_.end() || it->second.account.empty() || Clock::now() - it->second.checked >= kTrustedFor ||
            std::chrono::system_clock::now() >= it->second.expires)
            return false;
        caller.account = it->second.account;
        caller.role = it->second.role;
        caller.expires = it->second.expires;
        return true;
    }

private:
    struct Seen {
        Clock::time_point checked;
        std::chrono::system_clock::time_point expires;
        std::string account;  // empty: seen at sign-in, not yet checked by a call
        Role role;
    };
    mutable std::mutex mutex_;
    std::map<std::string, Seen> seen_;
};

bool well_formed_token(const std::string &token)
{
    return token.size() == 64 && token.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

std::optional<std::string> sign_in_name(const std::string &user)
{
    const std::string name = trimmed(user);
    std::size_t characters = 0;
    for (std::size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        std::size_t len = 0;
        std::uint32_t code = 0;
        if (c < 0x80) len = 1, code = c;
        else if ((c & 0xE0) == 0xC0) len = 2, code = c & 0x1F;
        else if ((c & 0xF0) == 0xE0) len = 3, code = c & 0x0F;
        else if ((c & 0xF8) == 0xF0) len = 4, code = c & 0x07;
        else return std::nullopt;
        if (i + len > name.size()) return std::nullopt;
        for (std::size_t k = 1; k < len; ++k) {
            const auto follow = static_cast<unsigned char>(name[i + k]);
            if ((follow & 0xC0) != 0x80) return std::nullopt;
            code = (code << 6) | (follow & 0x3F);
        }
        // Control characters (C0, DEL, C1) and blanks inside the name.
        if (code <= 0x20 || (code >= 0x7F && code <= 0xA0) || code == 0x3000) return std::nullopt;
        i += len;
        ++characters;
    }
    if (characters == 0 || characters > 32) return std::nullopt;
    return name;
}

namespace {

// The account's name in a log line: only an account that exists; any other
// name could be a password typed into the user field.
std::string logged_name(const std::string &name, bool exists) { return exists ? name : std::string("(no such account)"); }

}  // namespace

struct Accounts::Impl {
    ConnectionPool &pool;
    std::chrono::seconds token_lifetime;
    LoginThrottle throttle;
    HashSlots hash_slots{2, 4};
    std::once_flag dummy_once;
    std::string dummy_hash;  // verified against for an unknown account, so that it takes as long
    RecentTokens recent;
};

Accounts::Accounts(ConnectionPool &pool, std::chrono::seconds token_lifetime)
    : impl_(new Impl{pool, token_lifetime, {}, {2, 4}, {}, {}, {}})
{
    ensure_sodium();
}

Accounts::~Accounts() = default;

SignIn Accounts::login(const std::string &user_given, const std::string &password, const std::string &address)
{
    const std::optional<std::string> name = sign_in_name(user_given);
    if (!name) {
        // It can name no account: refused like a wrong password, before any
        // key of the throttle is made of it and without hashing anything.
        refusal::count(refusal::kUserNameRefused);
        log_line("sign-in refused, a user name that can name no account: address=" + address);
        throw ServerError(Kind::Unauthorized, kWrongPassword, code::kSignInRefused);
    }
    const std::string &user = *name;
    // The throttle comes before any hashing: a flood of guesses costs nothing.
    if (const char *refused = impl_->throttle.begin(user, address)) {
        refusal::count(refused);
        log_line(std::string("sign-in throttled (") + refused + "): account=" +
                 logged_name(user, impl_->throttle.known_account(user)) + " address=" + address);
        throw ServerError(Kind::Throttled, kTooManyFailures);
    }
    // Until finish() the sign-in counts as a failure under way.
    bool failed = true, exists = false;
    struct Finish {
        Impl &impl;
        const std::string &user, &address;
        bool &failed, &exists;
        ~Finish() { impl.throttle.finish(user, address, failed, exists); }
    } finish{*impl_, user, address, failed, exists};

    std::call_once(impl_->dummy_once, [&] { impl_->dummy_hash = hash_password(random_hex(16)); });
    auto stored = impl_->pool.with([&](Connection &db) {
        const auto r = db.run(std::string("SELECT MMHX00,YHJS00 FROM ") + kAccountTable + " WHERE YHMC00=?", {user});
        std::optional<std::pair<std::string, std::string>> found;
        if (!r.packet.rows.empty())
            found.emplace(wire::value_to_text(r.packet.rows[0][0]), wire::value_to_text(r.packet.rows[0][1]));
        return found;
    });
    exists = stored.has_value();

    if (!impl_->hash_slots.acquire(std::chrono::seconds(5))) {
        failed = false;  // no password was checked: nothing to count against the account
        refusal::count(refusal::kTooManySignIns);
        log_line("sign-in refused, too many at once: account=" + logged_name(user, exists) + " address=" + address);
        throw ServerError(Kind::Throttled, kTooManySignIns);
    }
    bool good = false;
    try {
        // An unknown account is verified against a hash of its own, so that
        // the answer takes as long and says the same as for a wrong password.
        good = verify_password(stored ? stored->first : impl_->dummy_hash, password) && stored.has_value();
    } catch (...) {
        impl_->hash_slots.release();
        throw;
    }
    impl_->hash_slots.release();
    const auto role = stored ? role_from_name(stored->second) : std::nullopt;
    if (!good || !role) {
        log_line("sign-in failed: account=" + logged_name(user, exists) + " address=" + address);
        throw ServerError(Kind::Unauthorized, kWrongPassword, code::kSignInRefused);
    }

    SignIn in;
    in.token = random_hex(32);
    in.account = user;
    in.role = *role;
    const auto now = std::chrono::system_clock::now();
    in.expires = std::chrono::time_point_cast<std::chrono::seconds>(now + impl_->token_lifetime);
    const std::string token_id = token_hash(in.token);
    impl_->pool.with([&](Connection &db) {
        db.run(std::string("DELETE FROM ") + kTokenTable + " WHERE YHMC00=? AND GQSJ00<=?",
               {user, wire::Value(static_cast<double>(epoch_seconds(now)))});
        db.run(std::string("INSERT INTO ") + kTokenTable + " (LPHX00,YHMC00,GQSJ00,CJSJ00) VALUES (?,?,?,?)",
               {token_id, user, wire::Value(static_cast<double>(epoch_seconds(in.expires))), iso_utc(now)});
        return 0;
    });
    failed = false;
    impl_->recent.good(token_id, in.expires);
    log_line("signed in: account=" + user + " role=" + role_name(in.role) + " address=" + address);
    return in;
}

void Accounts::end_sign_in(const std::string &token_id)
{
    impl_->recent.ended(token_id);
    impl_->pool.with([&](Connection &db) {
        db.run(std::string("DELETE FROM ") + kTokenTable + " WHERE LPHX00=?", {token_id});
        return 0;
    });
    // Again: a check that read the token before it was deleted may have
    // put it back meanwhile.
    impl_->recent.ended(token_id);
}

Caller Accounts::caller_of_token(const std::string &token, const std::string &address, bool trust_recent_check)
{
    if (!well_formed_token(token)) throw ServerError(Kind::Unauthorized, kSignInExpired, code::kSignInExpired);
    Caller caller;
    caller.token_id = token_hash(token);
    caller.address = address;
    if (trust_recent_check && impl_->recent.trusted(caller)) return caller;
    const bool valid = impl_->pool.with([&](Connection &db) {
        const auto r = db.run(std::string("SELECT t.YHMC00,t.GQSJ00,a.YHJS00 FROM ") + kTokenTable + " t JOIN " +
                                  kAccountTable + " a ON a.YHMC00=t.YHMC00 WHERE t.LPHX00=?",
                              {caller.token_id});
        if (r.packet.rows.empty()) return false;
        const auto &row = r.packet.rows[0];
        const auto expires = static_cast<std::int64_t>(wire::value_to_double(row[1]));
        const auto role = role_from_name(wire::value_to_text(row[2]));
        if (!role || expires <= epoch_seconds(std::chrono::system_clock::now())) return false;
        caller.account = wire::value_to_text(row[0]);
        caller.role = *role;
        caller.expires = std::chrono::system_clock::time_point(std::chrono::seconds(expires));
        return true;
    });
    if (!valid) {
        impl_->recent.ended(caller.token_id);
        throw ServerError(Kind::Unauthorized, kSignInExpired, code::kSignInExpired);
    }
    impl_->recent.good(caller.token_id, caller.expires, caller.account, caller.role);
    return caller;
}

bool Accounts::recently_good(const std::string &token) const
{
    return well_formed_token(token) && impl_->recent.recently_good(token_hash(token));
}

std::set<std::string> Accounts::ended_sign_ins(const std::set<std::string> &token_ids)
{
    std::set<std::string> ended;
    if (token_ids.empty()) return ended;
    try {
        const auto now = epoch_seconds(std::chrono::system_clock::now());
        impl_->pool.with([&](Connection &db) {
            for (const auto &token : token_ids) {
                const auto r = db.run(std::string("SELECT GQSJ00 FROM ") + kTokenTable + " WHERE LPHX00=?", {token});
                if (r.packet.rows.empty() || wire::value_to_double(r.packet.rows[0][0]) <= static_cast<double>(now)) {
                    ended.insert(token);
                    impl_->recent.ended(token);
                }
            }
            return 0;
        });
    } catch (const ServerError &) {
        // The database is out of reach: the tokens are checked again at the next sweep.
    }
    return ended;
}

// --- account administration ----------------------------------------------------

namespace {

// The accounts' database of the plans' connection string, open.
std::unique_ptr<Connection> open_accounts(const std::string &cs)
{
    const std::string accounts = accounts_connection_string(cs);
    if (accounts != cs && !std::filesystem::exists(parse_connection_string(accounts).sqlite_file))
        throw ServerError(Kind::Unavailable, "the accounts' database \"" + parse_connection_string(accounts).sqlite_file +
                                                 "\" does not exist: `vendrix-server init` makes it (and `vendrix-server "
                                                 "migrate` moves the accounts of an older release's database there)");
    return std::make_unique<Connection>(accounts);
}

}  // namespace

void add_account(const std::string &cs, const std::string &name, Role role, const std::string &password)
{
    check_account_name(name);
    check_password(password);
    const auto accounts = open_accounts(cs);
    Connection &db = *accounts;
    const auto exists = db.run(std::string("SELECT 1 FROM ") + kAccountTable + " WHERE YHMC00=?", {name});
    if (!exists.packet.rows.empty())
        throw ServerError(Kind::BadRequest, "the account \"" + name + "\" exists already (user passwd changes its password)");
    db.run(std::string("INSERT INTO ") + kAccountTable + " (YHMC00,YHJS00,MMHX00,CJSJ00) VALUES (?,?,?,?)",
           {name, std::string(role_name(role)), hash_password(password), iso_utc(std::chrono::system_clock::now())});
}

void set_account_password(const std::string &cs, const std::string &name, const std::string &password)
{
    check_password(password);
    const auto accounts = open_accounts(cs);
    Connection &db = *accounts;
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
    const auto accounts = open_accounts(cs);
    Connection &db = *accounts;
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
    const auto accounts = open_accounts(cs);
    Connection &db = *accounts;
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
