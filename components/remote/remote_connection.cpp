#include "remote_connection.h"

#include <charconv>
#include <map>
#include <utility>
#include <mutex>

#include <INIReader.h>
#include <nlohmann/json.hpp>

namespace remote {

namespace {

struct Globals {
    LinkFactory factory;
    std::function<void(bool)> busy_hook;
    SignInHook sign_in_hook;
    CallRunner runner;
    // Read by links on the worker thread while the GUI thread may sign in.
    std::mutex mutex;
    std::string settings_file = kDefaultSettingsFile;
    std::map<std::string, std::string> tokens;
    std::map<std::string, Account> accounts;
};

Globals &globals()
{
    static Globals g;
    return g;
}

// Tells the busy hook for as long as one call runs.
class BusyScope {
public:
    BusyScope()
    {
        if (globals().busy_hook) globals().busy_hook(true);
    }
    ~BusyScope()
    {
        try {
            if (globals().busy_hook) globals().busy_hook(false);
        } catch (...) {
            // A failing hook must not end the program while an error unwinds.
        }
    }
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;
};

// Runs the network part of a call through the installed runner and hands
// back its result (or its error) on the calling thread.
template <class F> auto run_job(F &&f)
{
    using R = decltype(f());
    CallRunner runner = globals().runner;
    if (!runner) return f();
    std::optional<R> result;
    runner([&] { result.emplace(f()); });
    if (!result) throw RemoteError("远程调用没有执行");
    return std::move(*result);
}

}  // namespace

void set_settings_file(const std::string &path)
{
    std::lock_guard lock(globals().mutex);
    globals().settings_file = path;
}

std::string ca_file_setting()
{
    std::string file;
    {
        std::lock_guard lock(globals().mutex);
        file = globals().settings_file;
    }
    // The placement settings reader keeps its own strict reading of the
    // form sections; this one key belongs to the connection.
    const INIReader reader(file);
    if (reader.ParseError() != 0) return {};
    return reader.Get("connection", "ca_file", "");
}

std::optional<std::string> token_for(const std::string &key)
{
    std::lock_guard lock(globals().mutex);
    auto it = globals().tokens.find(key);
    if (it == globals().tokens.end()) return std::nullopt;
    return it->second;
}

void set_token(const std::string &key, const std::string &token)
{
    std::lock_guard lock(globals().mutex);
    globals().tokens[key] = token;
    globals().accounts.erase(key);
}

void forget_token(const std::string &key)
{
    std::lock_guard lock(globals().mutex);
    globals().tokens.erase(key);
    globals().accounts.erase(key);
}

std::optional<Account> known_account(const std::string &key)
{
    std::lock_guard lock(globals().mutex);
    auto it = globals().accounts.find(key);
    if (it == globals().accounts.end()) return std::nullopt;
    return it->second;
}

namespace detail {
void remember_account(const std::string &key, const std::string &token, const Account &account)
{
    std::lock_guard lock(globals().mutex);
    globals().tokens[key] = token;
    globals().accounts[key] = account;
}
void remember_account_of_token(const std::string &key, const std::string &token, const Account &account)
{
    std::lock_guard lock(globals().mutex);
    // Only if the token asked about is still the one in use.
    auto it = globals().tokens.find(key);
    if (it != globals().tokens.end() && it->second == token) globals().accounts[key] = account;
}
// Network parts of the sign-in calls, in http_link.cpp.
std::pair<std::string, Account> post_login(const std::string &computer_name, const std::string &user,
                                           const std::string &password);
void post_logout(const std::string &computer_name, const std::string &token);
Account get_account(const std::string &computer_name, const std::string &token);
}  // namespace detail

Account sign_in(const std::string &computer_name, const std::string &user, const std::string &password)
{
    BusyScope busy;
    auto [token, account] = run_job([&] { return detail::post_login(computer_name, user, password); });
    detail::remember_account(server_key(computer_name), token, account);
    return account;
}

void sign_out(const std::string &computer_name)
{
    const std::string key = server_key(computer_name);
    auto token = token_for(key);
    forget_token(key);
    if (!token) return;
    try {
        BusyScope busy;
        run_job([&] {
            detail::post_logout(computer_name, *token);
            return 0;
        });
    } catch (const RemoteError &) {
        // The token ends with its expiry anyway.
    }
}

bool account_is_viewer(const std::string &computer_name) { return account_role(computer_name) == "viewer"; }

std::string account_role(const std::string &computer_name)
{
    try {
        const std::string key = server_key(computer_name);
        if (auto account = known_account(key)) return account->role;
        auto token = token_for(key);
        if (!token) return {};
        BusyScope busy;
        Account account = run_job([&] { return detail::get_account(computer_name, *token); });
        detail::remember_account_of_token(key, *token, account);
        return account.role;
    } catch (const RemoteError &) {
        return {};
    }
}

void set_sign_in_hook(SignInHook hook) { globals().sign_in_hook = std::move(hook); }

void set_call_runner(CallRunner runner) { globals().runner = std::move(runner); }

const ServerObject &company_info_object()
{
    static const ServerObject o{contract::kCompanyInfoObject, contract::kCompanyInfoClassId};
    return o;
}

const ServerObject &cust_object()
{
    static const ServerObject o{contract::kCustObject, contract::kCustClassId};
    return o;
}

void set_link_factory(LinkFactory factory) { globals().factory = std::move(factory); }

void set_busy_hook(std::function<void(bool)> hook) { globals().busy_hook = std::move(hook); }

RemoteConnection::RemoteConnection(ServerObject object) : object_(std::move(object)) {}

RemoteConnection::~RemoteConnection()
{
    try {
        close();
    } catch (...) {
        // A session that cannot be closed times out on the server.
    }
}

void RemoteConnection::set_computer_name(const std::string &name)
{
    if (name == computer_name_) return;
    close();
    computer_name_ = name;
}

void RemoteConnection::close()
{
    link_.reset();
    transaction_open_ = false;
}

Link &RemoteConnection::link()
{
    // A link that lost its connection is replaced; its session ends with it.
    if (link_ && link_->broken()) close();
    if (!link_) {
        const auto &factory = globals().factory;
        link_ = factory ? factory(object_, computer_name_) : make_http_link(object_, computer_name_);
        if (!link_) throw RemoteError("无法打开到 " + object_.prog_id + " 的连接");
    }
    return *link_;
}

bool RemoteConnection::ask_sign_in(const std::string &reason)
{
    const SignInHook &hook = globals().sign_in_hook;
    return hook && hook(computer_name_, reason);
}

template <class F> auto RemoteConnection::call(F &&f)
{
    BusyScope busy;
    bool session_renewed = false;
    // A sign-in that the server refuses again at once is not asked for forever.
    int sign_ins = 0;
    for (;;) {
        try {
            return run_job([&] { return f(link()); });
        } catch (const SignInRequired &e) {
            // The session belongs to the sign-in the server no longer takes.
            const bool lost_transaction = transaction_open_;
            close();
            if (lost_transaction)
                throw RemoteError("应用服务器 " + where_of(parse_computer_name(computer_name_)) +
                                  " 的登录已失效，未提交的事务已撤销：" + e.what());
            if (++sign_ins > 3 || !ask_sign_in(e.what()))
                throw RemoteError("未登录应用服务器 " + where_of(parse_computer_name(computer_name_)) +
                                  "：登录已取消");
            // Nothing of the refused call ran: it goes again, signed in.
        } catch (const SessionGone &e) {
            // A session the server closed while the form stood idle: the call
            // did not run, so it goes once more on a new session, unless a
            // transaction was open on the lost one (what it did was rolled
            // back with it).
            if (session_renewed) throw;
            if (transaction_open_) {
                close();
                throw RemoteError(std::string("应用服务器已不再保留此会话（空闲过久，或服务器已重启），"
                                              "未提交的事务已撤销：") +
                                  e.what());
            }
            close();
            session_renewed = true;
        }
    }
}

wire::DataPacket Link::get_records(const std::string &provider, const std::string &command_text,
                                   const wire::ProviderParams &params)
{
    if (!params.empty()) throw RemoteError("this connection cannot pass parameters to provider " + provider);
    return get_records(provider, command_text);
}

wire::DataPacket RemoteConnection::get_records(const std::string &provider, const std::string &command_text,
                                               const wire::ProviderParams &params)
{
    // Without parameters the call is the one every link has always taken.
    if (params.empty()) return call([&](Link &l) { return l.get_records(provider, command_text); });
    return call([&](Link &l) { return l.get_records(provider, command_text, params); });
}

wire::DataPacket Link::revalidate_records(const std::string &provider, const std::string &command_text,
                                         const wire::ProviderParams &params, const std::string &)
{
    if (params.empty()) return get_records(provider, command_text);
    return get_records(provider, command_text, params);
}

wire::DataPacket RemoteConnection::revalidate_records(const std::string &provider, const std::string &command_text,
                                                      const wire::ProviderParams &params,
                                                      const std::string &held_version)
{
    return call([&](Link &l) { return l.revalidate_records(provider, command_text, params, held_version); });
}

std::int64_t RemoteConnection::execute(const std::string &provider, const std::string &command_text)
{
    return call([&](Link &l) { return l.execute(provider, command_text); });
}

wire::ApplyResult RemoteConnection::apply_updates(const std::string &provider, const wire::Delta &delta,
                                                  int max_errors)
{
    return call([&](Link &l) { return l.apply_updates(provider, delta, max_errors); });
}

nlohmann::json Link::call_method(const std::string &name, const wire::MethodParams &params)
{
    if (!params.empty()) throw RemoteError("this connection cannot pass parameters to method " + name);
    call_method(name);
    return nlohmann::json::object();
}

void RemoteConnection::call_method(const std::string &name)
{
    call([&](Link &l) {
        l.call_method(name);
        return 0;
    });
    note_transaction(name);
}

nlohmann::json RemoteConnection::call_method(const std::string &name, const wire::MethodParams &params)
{
    nlohmann::json result = call([&](Link &l) { return l.call_method(name, params); });
    note_transaction(name);
    return result;
}

void RemoteConnection::note_transaction(const std::string &method)
{
    if (method == kTranStartMethod) transaction_open_ = true;
    if (method == kTranCommitMethod || method == kRollbackMethod) transaction_open_ = false;
}

}  // namespace remote
