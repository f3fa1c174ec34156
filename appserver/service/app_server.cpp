#include "app_server.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "connection_pool.h"
#include "database_files.h"
#include "contract.h"
#include "records_sink.h"
#include "server_objects.h"
#include "server_text.h"
#include "sessions.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

}  // namespace

struct AppServer::Impl {
    std::string connection_string;
    DatabaseKind kind;
    std::chrono::seconds timeout;
    ServerLimits limits;
    ServerObjects objects;
    // A serving server holds its SQLite file's lock, so that a restore
    // refuses to replace the file under it.
    std::unique_ptr<DatabaseFileLock> file_lock;
    // The accounts' database: on SQLite a file of its own beside the plans',
    // which a planner's open transaction never holds.
    std::string accounts_string;
    // The sessions' calls, and apart from them (never behind a session's
    // lock) sign-in, token checks and health; on SQLite the accounts have
    // connections of their own to their file.
    ConnectionPool connections, auxiliary, account_connections;
    Sessions sessions{connections};
    Accounts accounts;

    Impl(std::string cs, std::chrono::seconds session_timeout, std::chrono::seconds token_lifetime)
        : connection_string(std::move(cs)), kind(parse_connection_string(connection_string).kind),
          timeout(session_timeout), file_lock(DatabaseFileLock::serving(connection_string)),
          accounts_string(accounts_connection_string(connection_string)),
          accounts(accounts_string == connection_string ? auxiliary : account_connections, token_lifetime)
    {
        configure_pools();
    }

    void configure_pools()
    {
        connections.configure({connection_string, limits.max_connections, limits.connection_wait,
                               limits.statement_timeout, [](const ConnectionPool::Settings &s) {
                                   return "all " + std::to_string(s.capacity) +
                                          " database connections of the server are in use: waited " +
                                          seconds_text(s.wait) + " s for one; try again in a moment";
                               }});
        auto too_busy = [](const ConnectionPool::Settings &) {
            return std::string("the server is too busy to check sign-ins: try again in a moment");
        };
        auxiliary.configure({connection_string, kAuxiliaryConnections, limits.connection_wait,
                             limits.statement_timeout, too_busy});
        account_connections.configure(
            {accounts_string, kAuxiliaryConnections, limits.connection_wait, limits.statement_timeout, too_busy});
    }

    // A provider of the session's object, or NotFound.
    static const Provider &provider_of(const Session &s, const std::string &name)
    {
        if (const Provider *p = s.object->provider(name)) return *p;
        throw ServerError(Kind::NotFound, "unknown provider \"" + name + "\" on " + s.object->name);
    }

    Call call_of(Session &s) { return Call{*s.db, s.caller, s.id, limits, s.savepoints}; }
};

AppServer::AppServer(std::string connection_string, std::chrono::seconds session_timeout,
                     std::chrono::seconds token_lifetime)
    : impl_(std::make_unique<Impl>(std::move(connection_string), session_timeout, token_lifetime))
{
}

AppServer::~AppServer() = default;

void AppServer::set_limits(const ServerLimits &limits)
{
    impl_->limits = limits;
    impl_->limits.max_connections = std::max(1, limits.max_connections);
    impl_->configure_pools();
}

const ServerLimits &AppServer::limits() const { return impl_->limits; }

void AppServer::add_provider(const std::string &object, std::unique_ptr<Provider> provider)
{
    impl_->objects.add_provider(object, std::move(provider));
}

bool AppServer::session_holds_connection(const std::string &id) const { return impl_->sessions.holds_connection(id); }

std::string AppServer::session_account(const std::string &id) const { return impl_->sessions.account_of(id); }

int AppServer::open_connection_count() const { return impl_->connections.open(); }

std::vector<std::pair<std::string, ConnectionPool::Stats>> AppServer::pool_stats() const
{
    return {{"sessions", impl_->connections.stats()}, {"sign_in", impl_->auxiliary.stats()}};
}

std::string AppServer::database_kind() const
{
    return impl_->kind == DatabaseKind::Sqlite ? "sqlite" : "postgresql";
}

std::string AppServer::open_session(const Caller &caller, const std::string &object, const std::string &class_id)
{
    const ServerObject *found = impl_->objects.find(object);
    if (!found) throw ServerError(Kind::NotFound, "unknown server object \"" + object + "\"");
    if (!class_id.empty() && !equal_ignoring_case(class_id, found->class_id))
        throw ServerError(Kind::BadRequest, "the class id " + class_id + " does not belong to " + found->name +
                                                " (its class id is " + found->class_id + ")");
    // The session takes a connection only for its calls; one database out
    // of reach is still said at once (503).
    impl_->auxiliary.with([](Connection &) { return 0; });
    return impl_->sessions.open(caller, *found, impl_->limits);
}

void AppServer::close_session(const Caller &caller, const std::string &id) { impl_->sessions.close(caller, id); }

void AppServer::records(const Caller &caller, const std::string &id, const std::string &provider,
                        const std::string &command_text, const wire::ProviderParams &params, RecordsSink &sink)
{
    Sessions::Lease s(impl_->sessions, caller, id);
    const Provider &p = Impl::provider_of(*s, provider);
    Call call = impl_->call_of(*s);
    p.records(call, command_text, params, sink);
}

wire::DataPacket AppServer::get_records(const Caller &caller, const std::string &id, const std::string &provider,
                                        const std::string &command_text, const wire::ProviderParams &params,
                                        const std::optional<std::string> &if_version)
{
    PacketSink sink;
    sink.set_held_version(if_version);
    records(caller, id, provider, command_text, params, sink);
    return sink.take();
}

std::string AppServer::records_text(const Caller &caller, const std::string &id, const std::string &provider,
                                    const std::string &command_text, const wire::ProviderParams &params,
                                    const std::function<void(std::string &)> &emit, std::size_t chunk,
                                    const std::optional<std::string> &if_version)
{
    TextSink sink(emit, chunk);
    sink.set_held_version(if_version);
    records(caller, id, provider, command_text, params, sink);
    return sink.take();
}

std::int64_t AppServer::execute(const Caller &caller, const std::string &id, const std::string &provider,
                                const std::string &command_text)
{
    Sessions::Lease s(impl_->sessions, caller, id);
    const Provider &p = Impl::provider_of(*s, provider);
    Call call = impl_->call_of(*s);
    return p.execute(call, command_text);
}

wire::ApplyResult AppServer::apply(const Caller &caller, const std::string &id, const std::string &provider,
                                   const wire::Delta &delta, int max_errors)
{
    Sessions::Lease s(impl_->sessions, caller, id);
    const Provider &p = Impl::provider_of(*s, provider);
    Call call = impl_->call_of(*s);
    return p.apply(call, delta, max_errors);
}

namespace {

// The parameters under the names the method spells; refuses any it does not
// take, and one given twice (in two spellings).
wire::MethodParams method_params(const Method &m, const wire::MethodParams &given)
{
    wire::MethodParams out;
    for (const auto &[name, value] : given) {
        const auto known = std::find_if(m.params().begin(), m.params().end(),
                                        [&](const std::string &p) { return equal_ignoring_case(p, name); });
        if (known == m.params().end()) {
            std::string taken;
            for (const auto &p : m.params()) taken += (taken.empty() ? "" : ", ") + p;
            throw ServerError(Kind::BadRequest, "method " + m.name() + " takes " +
                                                    (taken.empty() ? "no parameters" : "only the parameters " + taken) +
                                                    ", not \"" + name + "\"");
        }
        if (!out.emplace(*known, value).second)
            throw ServerError(Kind::BadRequest, "method " + m.name() + ": the parameter " + *known + " is given twice");
    }
    return out;
}

}  // namespace

MethodResult AppServer::call_method(const Caller &caller, const std::string &id, const std::string &method,
                                    const wire::MethodParams &params)
{
    Sessions::Lease s(impl_->sessions, caller, id);
    const Method *m = s->object->method(method);
    if (!m) throw ServerError(Kind::NotFound, "unknown method \"" + method + "\" on " + s->object->name);
    const wire::MethodParams named = method_params(*m, params);
    Call call = impl_->call_of(*s);
    if (m->serves_changes()) refuse_viewer(call);
    return m->call(call, named);
}

std::size_t AppServer::expire_idle_sessions()
{
    // The tokens the open sessions were opened with, checked outside the lock.
    const std::set<std::string> ended = impl_->accounts.ended_sign_ins(impl_->sessions.token_ids());
    const auto timeout = impl_->timeout;
    // A session of an ended token goes even while a request of it runs:
    // closing waits for that request and then rolls back.
    return impl_->sessions.close_if([&](const Session &s, std::chrono::steady_clock::time_point now) {
        return ended.count(s.caller.token_id) || (s.users == 0 && now - s.last_used >= timeout);
    });
}

SignIn AppServer::login(const std::string &user, const std::string &password, const std::string &address)
{
    return impl_->accounts.login(user, password, address);
}

void AppServer::logout(const Caller &caller)
{
    if (caller.token_id.empty()) return;
    // Its sessions go first, their open transactions rolled back (on SQLite
    // such a transaction would otherwise hold up the token's removal).
    impl_->sessions.close_if([&](const Session &s, auto) { return s.caller.token_id == caller.token_id; });
    impl_->accounts.end_sign_in(caller.token_id);
}

Caller AppServer::caller_of_token(const std::string &token, const std::string &address, bool trust_recent_check)
{
    return impl_->accounts.caller_of_token(token, address, trust_recent_check);
}

bool AppServer::token_recently_good(const std::string &token) const { return impl_->accounts.recently_good(token); }

std::size_t AppServer::client_gone(std::uint64_t connection) { return impl_->sessions.close_abandoned(connection); }

std::vector<SessionInfo> AppServer::session_list() const { return impl_->sessions.list(); }

std::string AppServer::end_session(const std::string &prefix)
{
    if (prefix.size() < 8) throw ServerError(Kind::BadRequest, "name a session by at least 8 characters of its id");
    std::vector<std::string> matching;
    for (const auto &s : impl_->sessions.list())
        if (s.id.compare(0, prefix.size(), prefix) == 0) matching.push_back(s.id);
    if (matching.empty()) throw ServerError(Kind::NotFound, "no session's id begins with " + prefix);
    if (matching.size() > 1)
        throw ServerError(Kind::BadRequest, std::to_string(matching.size()) + " sessions' ids begin with " + prefix +
                                                ": give more of the id");
    impl_->sessions.close_if([&](const Session &s, auto) { return s.id == matching[0]; });
    return matching[0];
}

bool AppServer::database_reachable()
{
    try {
        return impl_->auxiliary.with([](Connection &db) {
            db.run("SELECT 1");
            return true;
        });
    } catch (const ServerError &) {
        return false;
    }
}

std::size_t AppServer::session_count() const { return impl_->sessions.count(); }

}  // namespace appserver
