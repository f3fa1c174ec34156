#include "app_server.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <map>
#include <cstdio>
#include <mutex>
#include <set>
#include <vector>

#include "audit.h"
#include "contract.h"
#include "auth.h"
#include "connection_pool.h"
#include "database.h"
#include "dialect.h"
#include "plan_rules.h"
#include "statement_catalogue.h"
#include "server_log.h"
#include "server_text.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

enum class ObjectKind { CompanyInfo, Cust };

using contract::kCompanyInfoClassId;
using contract::kCompanyInfoObject;
using contract::kCustClassId;
using contract::kCustObject;
using contract::kPlanProvider;
using contract::kTempProvider;
using contract::plan_fields;
namespace code = contract::error;

const char *object_name(ObjectKind k) { return k == ObjectKind::CompanyInfo ? kCompanyInfoObject : kCustObject; }

const char *kPlanQuery = "SELECT NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC,ROWID00 "
                         "FROM XSTYZB02 ORDER BY ROWID00";
// One month of it: the rows of every department and salesman in that month,
// the month bound as a parameter.
const char *kPlanMonthQuery = "SELECT NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC,ROWID00 "
                              "FROM XSTYZB02 WHERE NYUE00=? ORDER BY ROWID00";
// The row identities of the same rows, in the same order: the packet carries
// them ahead of the rows.
const char *kPlanIdQuery = "SELECT ROWID00 FROM XSTYZB02 ORDER BY ROWID00";
const char *kPlanMonthIdQuery = "SELECT ROWID00 FROM XSTYZB02 WHERE NYUE00=? ORDER BY ROWID00";
// The identities of a plan answer are sent ahead of its rows once they take
// this much text (about 2,000 rows: the rows to come are far over 64 KiB).
constexpr std::size_t kEarlyIdentities = 16 * 1024;
constexpr const char *kPlanMonthParam = contract::kMonthParam;

// Two field values are the same when both are empty, both read as the same
// number, or both are the same text.
bool same_value(const wire::Value &a, const wire::Value &b)
{
    if (wire::is_null(a) || wire::is_null(b)) return wire::is_null(a) && wire::is_null(b);
    const bool a_text = std::holds_alternative<std::string>(a), b_text = std::holds_alternative<std::string>(b);
    if (a_text && b_text) return std::get<std::string>(a) == std::get<std::string>(b);
    try {
        return wire::value_to_double(a) == wire::value_to_double(b);
    } catch (const wire::WireError &) {
        return false;
    }
}

const wire::Value *find_field(const std::map<std::string, wire::Value> &values, const std::string &name)
{
    for (const auto &[k, v] : values)
        if (equal_ignoring_case(k, name)) return &v;
    return nullptr;
}

// A quantity as the plan table stores it: empty or a finite number. Text
// such as "inf" or "nan" reads as a number but is none a plan can hold: once
// stored, no data packet could carry the row again.
std::optional<wire::Value> quantity_of(const wire::Value &v)
{
    if (wire::is_null(v)) return wire::Value{};
    try {
        const double d = wire::value_to_double(v);
        if (!std::isfinite(d)) return std::nullopt;
        return wire::Value(d);
    } catch (const wire::WireError &) {
        return std::nullopt;
    }
}

std::string quantity_text(const wire::Value &v) { return wire::is_null(v) ? "empty" : wire::value_to_text(v); }

// One row of the plan query as the plan provider delivers it: the row
// identity taken off the end, text columns as text, number columns as finite
// numbers (or empty). Row by row, so that the rows can be written as they come.
// The row is left with its identity at the end; the fields are the values before it.
wire::RowId take_plan_row(wire::Row &row)
{
    const auto id = static_cast<wire::RowId>(wire::value_to_double(row.back()));
    const auto &fields = plan_fields();
    for (std::size_t c = 0; c + 1 < row.size(); ++c) {
        auto &v = row[c];
        if (wire::is_null(v)) continue;
        if (fields[c].type == wire::FieldType::String) {
            if (!std::holds_alternative<std::string>(v)) v = wire::value_to_text(v);
        }
        else if (auto q = quantity_of(v)) v = *q;
        else v = wire::Value{};  // a number column holding text that is no number
    }
    return id;
}

// The month a records call of the plan provider asks for; none: every row.
std::optional<std::string> plan_month(const wire::ProviderParams &params)
{
    std::optional<std::string> month;
    for (const auto &[name, value] : params) {
        if (!equal_ignoring_case(name, kPlanMonthParam))
            throw ServerError(ServerError::Kind::BadRequest,
                              "provider dsp_xstyzb02cys takes only the parameter NYUE00 (the month), not \"" + name +
                                  "\"");
        if (month)
            throw ServerError(ServerError::Kind::BadRequest,
                              "provider dsp_xstyzb02cys: the parameter NYUE00 is given twice");
        month = value;
    }
    return month;
}

// 256 bits from the system's cryptographic source: an id seen on the wire
// tells nothing about any other.
std::string new_session_id() { return random_hex(32); }

constexpr const char *kWrongPassword = "用户名或密码不正确";
constexpr const char *kTooManyFailures = "登录失败次数过多，请稍后再试";
constexpr const char *kTooManySignIns = "同时登录的请求过多，请稍后再试";
constexpr const char *kSignInExpired = "登录已过期，请重新登录";
constexpr const char *kViewerRefused = "只读账号不能修改计划数据";

}  // namespace

struct Session {
    std::string id;
    Caller caller;  // who opened it; only the same token may use it
    ObjectKind object = ObjectKind::CompanyInfo;
    std::mutex mutex;  // one request of the session at a time
    // From the pool while a call runs, and between calls while its
    // transaction is open; empty otherwise.
    std::unique_ptr<Connection> db;
    bool closed = false;
    int savepoints = 0;
    // Guarded by AppServer::Impl::mutex:
    int users = 0;
    bool holds_connection = false;  // db kept between calls
    std::chrono::steady_clock::time_point last_used;
};

struct AppServer::Impl {
    std::string connection_string;
    DatabaseKind kind;
    std::chrono::seconds timeout;
    std::chrono::seconds token_lifetime;
    mutable std::mutex mutex;
    std::map<std::string, std::shared_ptr<Session>> sessions;
    ServerLimits limits;
    ConnectionPool connections;

    LoginThrottle throttle;
    HashSlots hash_slots{2, 4};
    std::once_flag dummy_once;
    std::string dummy_hash;  // verified against for an unknown account, so that it takes as long

    // Connections for sign-in, token checks and health, apart from the
    // sessions': these never wait behind a session's lock.
    ConnectionPool auxiliary;
    template <class F>
    auto with_db(F &&f)
    {
        return auxiliary.with(std::forward<F>(f));
    }

    // Both pools, from the limits.
    void configure_pools()
    {
        connections.configure({connection_string, limits.max_connections, limits.connection_wait,
                               limits.statement_timeout, [](const ConnectionPool::Settings &s) {
                                   return "all " + std::to_string(s.capacity) +
                                          " database connections of the server are in use: waited " +
                                          seconds_text(s.wait) + " s for one; try again in a moment";
                               }});
        auxiliary.configure({connection_string, kAuxiliaryConnections, limits.connection_wait,
                             limits.statement_timeout, [](const ConnectionPool::Settings &) {
                                 return std::string("the server is too busy to check sign-ins: try again in a moment");
                             }});
    }

    static void refuse_viewer(const Session &s)
    {
        if (s.caller.role == Role::Viewer) throw ServerError(Kind::Forbidden, kViewerRefused, code::kReadOnlyAccount);
    }

    // Runs a command text of dsp_temp when it is one of the module's own
    // statements, its values bound as parameters; anything else is refused
    // and logged. A viewer runs only those that change nothing.
    StatementResult run_module_statement(Session &s, const std::string &command_text)
    {
        const auto m = match_module_statement(command_text);
        if (!m) {
            std::string shown = command_text.substr(0, 80);
            for (char &c : shown)
                if (static_cast<unsigned char>(c) < ' ') c = ' ';
            log_line("statement not allowed: session=" + s.id + " user=" + s.caller.account + " address=" +
                     (s.caller.address.empty() ? "-" : s.caller.address) + " text=\"" + shown +
                     (command_text.size() > 80 ? "...\"" : "\""));
            throw ServerError(Kind::Forbidden, "statement not allowed", code::kStatementNotAllowed);
        }
        if (m->changes_data) refuse_viewer(s);
        const std::vector<wire::Value> params(m->values.begin(), m->values.end());
        const AnswerLimit limit{limits.max_answer_rows, limits.max_answer_bytes};
        // The generation and the deletion run with their audit records.
        return run_recorded(*s.db, s.caller, *m, adapt_statement(m->sql, kind), params, &limit);
    }

    // Holds a session for one request: it cannot expire meanwhile, and no
    // other request of it runs at the same time.
    class Lease {
    public:
        Lease(Impl &impl, const Caller &caller, const std::string &id) : impl_(impl)
        {
            {
                std::lock_guard lock(impl.mutex);
                auto it = impl.sessions.find(id);
                // Another token's session is answered as one that does not exist.
                if (it == impl.sessions.end() || it->second->caller.token_id != caller.token_id)
                    throw ServerError(Kind::NotFound, "unknown session \"" + id + "\"", code::kSessionGone);
                session_ = it->second;
                ++session_->users;
            }
            lock_ = std::unique_lock(session_->mutex);
            if (session_->closed) {
                release();
                throw ServerError(Kind::NotFound, "the session \"" + id + "\" has been closed", code::kSessionGone);
            }
            if (!session_->db) {
                try {
                    session_->db = impl.connections.acquire();
                } catch (...) {
                    release();
                    throw;
                }
            }
        }
        ~Lease() { release(); }
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        Session &operator*() const { return *session_; }
        Session *operator->() const { return session_.get(); }

    private:
        void release()
        {
            if (!session_) return;
            bool holds = false;
            if (lock_.owns_lock()) {
                // The connection stays with the session only while its transaction is open.
                if (session_->db) {
                    bool keep = false;
                    try {
                        keep = session_->db->usable() && session_->db->in_transaction();
                    } catch (...) {
                    }
                    if (!keep) impl_.connections.release(std::move(session_->db));
                }
                holds = session_->db != nullptr;
                lock_.unlock();
            }
            std::lock_guard lock(impl_.mutex);
            session_->holds_connection = holds;
            --session_->users;
            session_->last_used = std::chrono::steady_clock::now();
            session_.reset();
        }
        Impl &impl_;
        std::shared_ptr<Session> session_;
        std::unique_lock<std::mutex> lock_;
    };

    void close(Session &s)
    {
        std::lock_guard lock(s.mutex);
        if (s.closed) return;
        s.closed = true;
        try {
            if (s.db) s.db->rollback();
        } catch (const ServerError &) {
            // The pool drops a connection still in a transaction: that ends it in the database.
        }
        connections.release(std::move(s.db));
    }

    [[noreturn]] static void unknown_provider(const Session &s, const std::string &provider)
    {
        throw ServerError(Kind::NotFound,
                          "unknown provider \"" + provider + "\" on " + object_name(s.object));
    }

    wire::ApplyResult apply_plan(Session &s, const wire::Delta &delta, int max_errors);
    std::optional<std::string> apply_change(Session &s, const wire::Change &change);
};

AppServer::AppServer(std::string connection_string, std::chrono::seconds session_timeout,
                     std::chrono::seconds token_lifetime)
    : impl_(std::make_unique<Impl>())
{
    ensure_sodium();
    impl_->token_lifetime = token_lifetime;
    impl_->kind = parse_connection_string(connection_string).kind;
    impl_->connection_string = std::move(connection_string);
    impl_->timeout = session_timeout;
    impl_->configure_pools();
}

void AppServer::set_limits(const ServerLimits &limits)
{
    impl_->limits = limits;
    impl_->limits.max_connections = std::max(1, limits.max_connections);
    impl_->configure_pools();
}

const ServerLimits &AppServer::limits() const { return impl_->limits; }

bool AppServer::session_holds_connection(const std::string &id) const
{
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->sessions.find(id);
    return it != impl_->sessions.end() && it->second->holds_connection;
}

int AppServer::open_connection_count() const { return impl_->connections.open(); }

AppServer::~AppServer()
{
    std::map<std::string, std::shared_ptr<Session>> sessions;
    {
        std::lock_guard lock(impl_->mutex);
        sessions.swap(impl_->sessions);
    }
    for (auto &[id, s] : sessions) impl_->close(*s);
}

std::string AppServer::database_kind() const
{
    return impl_->kind == DatabaseKind::Sqlite ? "sqlite" : "postgresql";
}

std::string AppServer::open_session(const std::string &object, const std::string &class_id)
{
    return open_session(Caller{}, object, class_id);
}

std::string AppServer::open_session(const Caller &caller, const std::string &object, const std::string &class_id)
{
    ObjectKind kind;
    const char *expected_class;
    if (equal_ignoring_case(object, kCompanyInfoObject)) {
        kind = ObjectKind::CompanyInfo;
        expected_class = kCompanyInfoClassId;
    } else if (equal_ignoring_case(object, kCustObject)) {
        kind = ObjectKind::Cust;
        expected_class = kCustClassId;
    } else {
        throw ServerError(Kind::NotFound, "unknown server object \"" + object + "\"");
    }
    if (!class_id.empty() && !equal_ignoring_case(class_id, expected_class))
        throw ServerError(Kind::BadRequest, "the class id " + class_id + " does not belong to " + object_name(kind) +
                                                " (its class id is " + expected_class + ")");
    auto session = std::make_shared<Session>();
    session->caller = caller;
    session->object = kind;
    session->last_used = std::chrono::steady_clock::now();
    // The session takes a connection only for its calls; one database out
    // of reach is still said at once (503).
    impl_->with_db([](Connection &) { return 0; });
    std::lock_guard lock(impl_->mutex);
    if (impl_->sessions.size() >= static_cast<std::size_t>(impl_->limits.max_sessions))
        throw ServerError(Kind::Unavailable, "the server holds " + std::to_string(impl_->limits.max_sessions) +
                                                 " sessions, the most it may: try again later",
                              code::kBusy);
    if (!caller.token_id.empty()) {
        const auto own = std::count_if(impl_->sessions.begin(), impl_->sessions.end(), [&](const auto &e) {
            return e.second->caller.account == caller.account && !e.second->caller.token_id.empty();
        });
        if (own >= impl_->limits.max_sessions_per_account)
            throw ServerError(Kind::Throttled, "the account " + caller.account + " holds " +
                                                   std::to_string(impl_->limits.max_sessions_per_account) +
                                                   " sessions, the most one account may: close some first");
    }
    do session->id = new_session_id();
    while (impl_->sessions.count(session->id));
    impl_->sessions.emplace(session->id, session);
    return session->id;
}

void AppServer::close_session(const std::string &id) { close_session(Caller{}, id); }

void AppServer::close_session(const Caller &caller, const std::string &id)
{
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(impl_->mutex);
        auto it = impl_->sessions.find(id);
        if (it == impl_->sessions.end() || it->second->caller.token_id != caller.token_id) throw ServerError(Kind::NotFound, "unknown session \"" + id + "\"", code::kSessionGone);
        session = it->second;
        impl_->sessions.erase(it);
    }
    impl_->close(*session);  // waits for a request of the session that is still running
}

wire::DataPacket AppServer::get_records(const std::string &id, const std::string &provider,
                                        const std::string &command_text, const wire::ProviderParams &params)
{
    return get_records(Caller{}, id, provider, command_text, params);
}

wire::DataPacket AppServer::get_records(const Caller &caller, const std::string &id, const std::string &provider,
                                        const std::string &command_text, const wire::ProviderParams &params)
{
    Impl::Lease s(*impl_, caller, id);
    if (s->object == ObjectKind::CompanyInfo && provider == kTempProvider) {
        if (!params.empty())
            throw ServerError(Kind::BadRequest, "provider dsp_temp takes no parameters (its values stand in the "
                                                "command text); \"" + params.begin()->first + "\" refused");
        if (blank(command_text))
            throw ServerError(Kind::BadRequest, "provider dsp_temp needs a command text to open");
        // A statement that returns no rows (the generation, the deletion) runs
        // as well and gives a packet without fields.
        return impl_->run_module_statement(*s, command_text).packet;
    }
    if (s->object == ObjectKind::Cust && provider == kPlanProvider) {
        if (!blank(command_text))
            throw ServerError(Kind::BadRequest, "provider dsp_xstyzb02cys has its own query and takes no command text");
        const auto month = plan_month(params);
        wire::DataPacket p;
        p.fields = plan_fields();
        std::vector<wire::Value> args;
        if (month) args.emplace_back(*month);
        s->db->each_row(month ? kPlanMonthQuery : kPlanQuery, args, [&](wire::Row &row) {
            p.row_ids.push_back(take_plan_row(row));
            p.rows.emplace_back(row.begin(), row.end() - 1);
        });
        return p;
    }
    Impl::unknown_provider(*s, provider);
}

std::string AppServer::records_text(const Caller &caller, const std::string &id, const std::string &provider,
                                    const std::string &command_text, const wire::ProviderParams &params,
                                    const std::function<void(std::string &)> &emit, std::size_t chunk)
{
    {
        // Everything but the plan provider answers with a packet built whole.
        std::shared_ptr<Session> session;
        {
            std::lock_guard lock(impl_->mutex);
            auto it = impl_->sessions.find(id);
            if (it != impl_->sessions.end()) session = it->second;
        }
        if (!session || session->object != ObjectKind::Cust || provider != kPlanProvider)
            return wire::packet_to_text(get_records(caller, id, provider, command_text, params));
    }
    Impl::Lease s(*impl_, caller, id);
    if (s->object != ObjectKind::Cust || provider != kPlanProvider) Impl::unknown_provider(*s, provider);
    if (!blank(command_text))
        throw ServerError(Kind::BadRequest, "provider dsp_xstyzb02cys has its own query and takes no command text");
    const auto month = plan_month(params);
    std::vector<wire::Value> args;
    if (month) args.emplace_back(*month);

    Connection &db = *s->db;
    // The identities and the rows are read by two statements; one snapshot
    // of the table serves both, so that a plan saved meanwhile by another
    // planner cannot put an identity without its row into the packet.
    const bool own_transaction = !db.in_transaction();
    if (own_transaction)
        db.begin_snapshot();
    std::string out;
    try {
        wire::PacketWriter writer(out);
        out.reserve(chunk + chunk / 4);
        auto flush = [&] {
            if (out.size() < chunk) return;
            emit(out);
            out.clear();
            out.reserve(chunk + chunk / 4);  // one buffer a piece, not one growing from nothing
        };
        // Inside a transaction of the session's own (PostgreSQL reads each
        // statement afresh there) the two passes are checked against each
        // other: the same identities in the same order, or no packet.
        std::uint64_t ids = 0, id_sum = 0;
        auto mix = [](std::uint64_t sum, wire::RowId rid) {
            return (sum ^ static_cast<std::uint64_t>(rid)) * 0x100000001b3ull + 0x9e3779b97f4a7c15ull;
        };
        writer.begin(plan_fields());
        db.each_row(month ? kPlanMonthIdQuery : kPlanIdQuery, args, [&](wire::Row &row) {
            const auto rid = static_cast<wire::RowId>(wire::value_to_double(row.at(0)));
            writer.row_id(rid);
            ++ids;
            id_sum = mix(id_sum, rid);
            flush();
        });
        // Many identities mean a large answer: they go out at once, to be
        // read while the rows are being fetched.
        if (out.size() >= kEarlyIdentities) {
            emit(out);
            out.clear();
            out.reserve(chunk + chunk / 4);
        }
        std::uint64_t rows = 0, row_sum = 0;
        db.each_row(month ? kPlanMonthQuery : kPlanQuery, args, [&](wire::Row &row) {
            const wire::RowId rid = take_plan_row(row);
            ++rows;
            row_sum = mix(row_sum, rid);
            if (rows > ids) return;  // reported below
            writer.row(std::span<const wire::Value>(row.data(), row.size() - 1));
            flush();
        });
        if (rows != ids || row_sum != id_sum)
            throw ServerError(Kind::Database, "the plan rows changed while they were read; open them again",
                              code::kRowsChanged);
        writer.end();
        if (own_transaction) db.commit();
    } catch (...) {
        if (own_transaction) {
            try {
                db.rollback();
            } catch (...) {
            }
        }
        throw;
    }
    return out;
}

std::int64_t AppServer::execute(const std::string &id, const std::string &provider, const std::string &command_text)
{
    return execute(Caller{}, id, provider, command_text);
}

std::int64_t AppServer::execute(const Caller &caller, const std::string &id, const std::string &provider,
                                const std::string &command_text)
{
    Impl::Lease s(*impl_, caller, id);
    if (s->object == ObjectKind::CompanyInfo && provider == kTempProvider) {
        if (blank(command_text)) throw ServerError(Kind::BadRequest, "provider dsp_temp needs a command text to execute");
        // A SELECT runs as well; it changes no row, so the answer is 0.
        return impl_->run_module_statement(*s, command_text).rows_affected;
    }
    if (s->object == ObjectKind::Cust && provider == kPlanProvider)
        throw ServerError(Kind::BadRequest, "provider dsp_xstyzb02cys executes no command texts");
    Impl::unknown_provider(*s, provider);
}

wire::ApplyResult AppServer::apply(const std::string &id, const std::string &provider, const wire::Delta &delta,
                                   int max_errors)
{
    return apply(Caller{}, id, provider, delta, max_errors);
}

wire::ApplyResult AppServer::apply(const Caller &caller, const std::string &id, const std::string &provider,
                                   const wire::Delta &delta, int max_errors)
{
    Impl::Lease s(*impl_, caller, id);
    if (s->object == ObjectKind::Cust && provider == kPlanProvider) {
        Impl::refuse_viewer(*s);
        return impl_->apply_plan(*s, delta, max_errors);
    }
    if (s->object == ObjectKind::CompanyInfo && provider == kTempProvider)
        throw ServerError(Kind::BadRequest, "provider dsp_temp applies no updates");
    Impl::unknown_provider(*s, provider);
}

void AppServer::call_method(const std::string &id, const std::string &method)
{
    call_method(Caller{}, id, method);
}

void AppServer::call_method(const Caller &caller, const std::string &id, const std::string &method)
{
    Impl::Lease s(*impl_, caller, id);
    if (s->object == ObjectKind::CompanyInfo) {
        // The transaction methods serve only changes, which a viewer may not make.
        for (const char *name : {"CompanydbTranStart", "CompanydbTranCommit", "CompanydbRollback"})
            if (equal_ignoring_case(method, name)) Impl::refuse_viewer(*s);
        // Late-bound method names match without regard to case.
        if (equal_ignoring_case(method, "CompanydbTranStart")) {
            if (s->db->in_transaction())
                throw ServerError(Kind::BadRequest, "a transaction is already open on this session");
            s->db->begin();
            return;
        }
        if (equal_ignoring_case(method, "CompanydbTranCommit")) return s->db->commit();
        if (equal_ignoring_case(method, "CompanydbRollback")) return s->db->rollback();
    }
    throw ServerError(Kind::NotFound, "unknown method \"" + method + "\" on " + object_name(s->object));
}

std::size_t AppServer::expire_idle_sessions()
{
    // The tokens the open sessions were opened with, checked outside the lock.
    std::set<std::string> tokens;
    {
        std::lock_guard lock(impl_->mutex);
        for (const auto &[id, session] : impl_->sessions)
            if (!session->caller.token_id.empty()) tokens.insert(session->caller.token_id);
    }
    std::set<std::string> ended;
    if (!tokens.empty()) {
        try {
            const auto now = epoch_seconds(std::chrono::system_clock::now());
            impl_->with_db([&](Connection &db) {
                for (const auto &token : tokens) {
                    const auto r = db.run(std::string("SELECT GQSJ00 FROM ") + kTokenTable + " WHERE LPHX00=?", {token});
                    if (r.packet.rows.empty() || wire::value_to_double(r.packet.rows[0][0]) <= static_cast<double>(now))
                        ended.insert(token);
                }
                return 0;
            });
        } catch (const ServerError &) {
            // The database is out of reach: the tokens are checked again at the next sweep.
        }
    }

    std::vector<std::shared_ptr<Session>> expired;
    {
        std::lock_guard lock(impl_->mutex);
        const auto now = std::chrono::steady_clock::now();
        for (auto it = impl_->sessions.begin(); it != impl_->sessions.end();) {
            const auto &session = *it->second;
            // A session of an ended token goes even while a request of it runs:
            // closing waits for that request and then rolls back.
            if (ended.count(session.caller.token_id) ||
                (session.users == 0 && now - session.last_used >= impl_->timeout)) {
                expired.push_back(it->second);
                it = impl_->sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &s : expired) impl_->close(*s);
    return expired.size();
}

SignIn AppServer::login(const std::string &user, const std::string &password, const std::string &address)
{
    // The throttle comes before any hashing: a flood of guesses costs nothing.
    if (!impl_->throttle.allows(user, address)) {
        log_line("sign-in throttled: account=" + user + " address=" + address);
        throw ServerError(Kind::Throttled, kTooManyFailures);
    }
    std::call_once(impl_->dummy_once, [&] { impl_->dummy_hash = hash_password(random_hex(16)); });

    auto stored = impl_->with_db([&](Connection &db) {
        const auto r = db.run(std::string("SELECT MMHX00,YHJS00 FROM ") + kAccountTable + " WHERE YHMC00=?", {user});
        std::optional<std::pair<std::string, std::string>> found;
        if (!r.packet.rows.empty())
            found.emplace(wire::value_to_text(r.packet.rows[0][0]), wire::value_to_text(r.packet.rows[0][1]));
        return found;
    });

    if (!impl_->hash_slots.acquire(std::chrono::seconds(5))) {
        log_line("sign-in refused, too many at once: account=" + user + " address=" + address);
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
        impl_->throttle.record_failure(user, address);
        log_line("sign-in failed: account=" + user + " address=" + address);
        throw ServerError(Kind::Unauthorized, kWrongPassword, code::kSignInRefused);
    }

    SignIn in;
    in.token = random_hex(32);
    in.account = user;
    in.role = *role;
    const auto now = std::chrono::system_clock::now();
    in.expires = std::chrono::time_point_cast<std::chrono::seconds>(now + impl_->token_lifetime);
    impl_->with_db([&](Connection &db) {
        db.run(std::string("DELETE FROM ") + kTokenTable + " WHERE YHMC00=? AND GQSJ00<=?", {user, wire::Value(static_cast<double>(epoch_seconds(now)))});
        db.run(std::string("INSERT INTO ") + kTokenTable + " (LPHX00,YHMC00,GQSJ00,CJSJ00) VALUES (?,?,?,?)",
               {token_hash(in.token), user, wire::Value(static_cast<double>(epoch_seconds(in.expires))), iso_utc(now)});
        return 0;
    });
    log_line("signed in: account=" + user + " role=" + role_name(in.role) + " address=" + address);
    return in;
}

void AppServer::logout(const Caller &caller)
{
    if (caller.token_id.empty()) return;
    // Its sessions go first, their open transactions rolled back (on SQLite
    // such a transaction would otherwise hold up the token's removal).
    std::vector<std::shared_ptr<Session>> ended;
    {
        std::lock_guard lock(impl_->mutex);
        for (auto it = impl_->sessions.begin(); it != impl_->sessions.end();) {
            if (it->second->caller.token_id == caller.token_id) {
                ended.push_back(it->second);
                it = impl_->sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &s : ended) impl_->close(*s);
    impl_->with_db([&](Connection &db) {
        db.run(std::string("DELETE FROM ") + kTokenTable + " WHERE LPHX00=?", {caller.token_id});
        return 0;
    });
}

Caller AppServer::caller_of_token(const std::string &token, const std::string &address)
{
    const bool well_formed = token.size() == 64 && token.find_first_not_of("0123456789abcdef") == std::string::npos;
    if (!well_formed) throw ServerError(Kind::Unauthorized, kSignInExpired, code::kSignInExpired);
    Caller caller;
    caller.token_id = token_hash(token);
    caller.address = address;
    const bool valid = impl_->with_db([&](Connection &db) {
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
    if (!valid) throw ServerError(Kind::Unauthorized, kSignInExpired, code::kSignInExpired);
    return caller;
}

bool AppServer::database_reachable()
{
    try {
        return impl_->with_db([](Connection &db) {
            db.run("SELECT 1");
            return true;
        });
    } catch (const ServerError &) {
        return false;
    }
}

std::size_t AppServer::session_count() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->sessions.size();
}

// All changes of one apply run in one transaction: the session's own when
// CompanydbTranStart has opened one (inside a savepoint, so that undoing the
// apply leaves the rest of that transaction alone), else one of its own. A
// refused change is counted; once more than max_errors changes are refused
// (a negative max_errors tolerates any number), everything the apply did is
// undone and the apply stops. A database failure stops and undoes it too;
// every change of the apply is then counted as refused.
wire::ApplyResult AppServer::Impl::apply_plan(Session &s, const wire::Delta &delta, int max_errors)
{
    Connection &db = *s.db;
    const bool own = !db.in_transaction();
    const std::string savepoint = "plan_apply_" + std::to_string(++s.savepoints);
    if (own) db.begin_write();
    else db.savepoint(savepoint);
    auto undo = [&] {
        try {
            if (own) {
                db.rollback();
            } else {
                db.rollback_to_savepoint(savepoint);
            }
        } catch (const ServerError &) {
            // Only a lost connection gets here; the database then drops the work itself.
        }
    };

    wire::ApplyResult result;
    std::vector<const wire::Change *> refused;  // in the order of result.errors
    const wire::Change *current = nullptr;
    try {
        // No other apply of these departments' plans runs until this one ends.
        lock_allocations(db, delta);
        for (const auto &change : delta) {
            current = &change;
            if (auto refusal = apply_change(s, change)) {
                ++result.error_count;
                result.errors.push_back({change.row_id, *refusal});
                refused.push_back(&change);
                if (max_errors >= 0 && result.error_count > max_errors) {
                    undo();
                    return result;
                }
            }
        }
        current = nullptr;
        if (own) db.commit();
        else db.release_savepoint(savepoint);
    } catch (const ServerError &e) {
        undo();
        if (e.kind() == Kind::Unavailable) throw;
        // Nothing of the apply stayed, so every change of it is reported as
        // not applied: a client that tolerates some refusals must not take
        // the changes before the failure for done.
        wire::ApplyResult undone;
        for (const auto &change : delta) {
            std::string message;
            const auto was_refused = std::find(refused.begin(), refused.end(), &change);
            if (&change == current) {
                message = e.what();
            } else if (was_refused != refused.end()) {
                message = result.errors[static_cast<std::size_t>(was_refused - refused.begin())].message;
            } else {
                message = std::string("not applied: the whole apply was undone (") + e.what() + ")";
            }
            undone.errors.push_back({change.row_id, std::move(message)});
        }
        undone.error_count = static_cast<int>(undone.errors.size());
        return undone;
    }
    return result;
}

// Applies one change; the reason when it is refused.
std::optional<std::string> AppServer::Impl::apply_change(Session &s, const wire::Change &change)
{
    Connection &db = *s.db;
    if (change.kind == wire::ChangeKind::Insert)
        return "new plan rows cannot be inserted here: a salesman's plan is generated from the department plan";
    if (!change.row_id) return "the change names no row (rowId is missing)";
    const wire::RowId row = *change.row_id;

    const wire::Value *original = find_field(change.original, "ZBSL00");
    std::optional<wire::Value> before;
    if (original) {
        before = quantity_of(*original);
        if (!before) return "the original quantity \"" + wire::value_to_text(*original) + "\" is not a number";
    }

    // The row as it is now, for the rule and the audit record.
    const auto plan_row = read_plan_row(db, row);
    StatementResult done;
    std::optional<wire::Value> after;
    if (!plan_row) {
        done.rows_affected = 0;  // reported below as deleted since read
    } else if (change.kind == wire::ChangeKind::Delete) {
        if (!before) done = db.run("DELETE FROM XSTYZB02 WHERE ROWID00=?", {row});
        else if (wire::is_null(*before)) done = db.run("DELETE FROM XSTYZB02 WHERE ROWID00=? AND ZBSL00 IS NULL", {row});
        else done = db.run("DELETE FROM XSTYZB02 WHERE ROWID00=? AND ZBSL00=?", {row, *before});
    } else {
        for (const auto &[name, value] : change.values) {
            if (equal_ignoring_case(name, "ZBSL00")) {
                if (auto refusal = quantity_refusal(value)) return refusal;
                after = quantity_of(value);
                if (!after) return "the quantity \"" + wire::value_to_text(value) + "\" is not a number";
                continue;
            }
            const bool known = std::any_of(plan_fields().begin(), plan_fields().end(),
                                           [&](const wire::FieldDef &f) { return equal_ignoring_case(f.name, name); });
            if (!known) return "the plan has no field \"" + name + "\"";
            const wire::Value *was = find_field(change.original, name);
            if (!was || !same_value(*was, value))
                return "only the planned quantity (ZBSL00) can be changed, not " + upper(name);
        }
        if (!before) return "the change does not carry the quantity (ZBSL00) as it was read";
        if (!after) after = before;
        // The salesmen of a department never hold more than its plan.
        if (auto refusal = allocation_refusal(db, *plan_row, *before, *after)) return refusal;
        if (wire::is_null(*before))
            done = db.run("UPDATE XSTYZB02 SET ZBSL00=? WHERE ROWID00=? AND ZBSL00 IS NULL", {*after, row});
        else
            done = db.run("UPDATE XSTYZB02 SET ZBSL00=? WHERE ROWID00=? AND ZBSL00=?", {*after, row, *before});
    }
    if (done.rows_affected == 1) {
        if (change.kind == wire::ChangeKind::Delete)
            record_row_change(db, s.caller, kAuditRowDeleted, *plan_row, plan_row->quantity, wire::Value{});
        else if (!same_value(*before, *after))
            record_row_change(db, s.caller, kAuditQuantityChanged, *plan_row, *before, *after);
        return std::nullopt;
    }

    // Nothing matched: the row is gone, or another planner changed it.
    const auto now = db.run("SELECT ZBSL00 FROM XSTYZB02 WHERE ROWID00=?", {row}).packet;
    if (now.rows.empty()) return "the plan row " + std::to_string(row) + " has been deleted since it was read";
    return "the plan row " + std::to_string(row) + " has been changed since it was read: its quantity is now " +
           quantity_text(now.rows[0][0]) + ", it was " + quantity_text(*before) + " when read";
}

}  // namespace appserver
