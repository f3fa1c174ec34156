#include "event_loop.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <utility>

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "contract.h"
#include "lane.h"
#include "refusals.h"
#include "server_log.h"

namespace appserver {

namespace {

namespace code = contract::error;

using Clock = std::chrono::steady_clock;

// The largest request body of a signed-in caller (and of everyone with
// --auth none), and before sign-in: a sign-in needs a few hundred bytes.
constexpr std::size_t kMaxBodyBytes = 16 * 1024 * 1024;
constexpr std::size_t kPreSignInBodyBytes = 4 * 1024;
// A refused request's body up to this size is read and let go of before the
// answer; a larger one is not read at all.
constexpr std::size_t kRefusedBodyReadBytes = 64 * 1024;
constexpr std::size_t kMaxUriBytes = 8192;
// The library's buffer per client connection (request head, answer head):
// the most a request head may take before the library answers 414 itself.
constexpr std::size_t kConnectionMemory = 32 * 1024;
// A slow client is cut: its request's head must be there this long after
// it began, its body this long after the head (a small one sooner), and a
// kept-open connection may wait this long for its next request.
constexpr std::chrono::seconds kHeadTimeout{10};
constexpr std::chrono::seconds kBodyTimeout{60};
constexpr std::chrono::seconds kSmallBodyTimeout{10};
constexpr std::chrono::seconds kIdleTimeout{300};

// One client connection, from its accept to its close, and where its
// current request stands: the head or the body still coming (it is
// "sending"), its call being served, or nothing asked (idle).
struct Client {
    std::uint64_t id = 0;
    std::string address;
    int fd = -1;
    enum class Phase { Head, Body, Serving, Idle } phase = Phase::Head;
    Clock::time_point since;
    std::chrono::seconds body_timeout = kSmallBodyTimeout;
    bool cut = false;    // shut down by the sweep; MHD closes it next
    bool bound = false;  // a kept-open connection a session's call came on
};

// One request on its way: its head checked, its body read, parked while its
// call runs, answered.
struct Exchange {
    Request req;
    Response res;
    const Route *route = nullptr;
    enum class Stage { New, Checking, Reading, Dispatched, Answered } stage = Stage::New;
    std::size_t body_limit = kMaxBodyBytes;
    bool too_big = false;
    bool has_body = false;
    bool small_body = false;  // one of known length a refusal reads and lets go of
    bool refused = false;    // refused before its body: res holds the answer
    bool committed = false;  // its answer's head is on its way while the call still writes the body
    Clock::time_point queued;
};

std::string read_file(const std::string &file, bool &ok)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    ok = static_cast<bool>(in) && !out.str().empty();
    return out.str();
}

std::string address_text(const sockaddr *sa)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (!sa) return {};
    if (sa->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, text, sizeof text);
    else if (sa->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, text, sizeof text);
    return text;
}

void mhd_log(void *, const char *format, va_list ap)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, ap);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    log_raw("vendrix-server: http: " + line);
}

// An answer given by the loop itself, before any lane (and its log line).
void answer_inline(Exchange &ex, int status, const std::string &message, const char *error_code)
{
    answer_error(ex.res, status, message, error_code);
    log_request({}, {}, "-", ex.req.path, {}, status, message);
    metrics::observe_request("unrouted", status, {});
}

Client *client_of(MHD_Connection *connection)
{
    const auto *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<Client *>(info->socket_context) : nullptr;
}

// Whether the client keeps the connection for more requests.
bool keeps_connection(MHD_Connection *connection, const char *version)
{
    const char *header = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Connection");
    std::string value = header ? header : "";
    for (char &c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (version && std::strcmp(version, MHD_HTTP_VERSION_1_1) == 0) return value.find("close") == std::string::npos;
    return value.find("keep-alive") != std::string::npos;
}

// A body that may change data: anything that is not plainly a read goes
// where a lock wait holds only its small share of the workers. (A JSON
// escape could hide a word, so any escape counts as such.)
bool may_change_data(const std::string &body)
{
    std::string lower = body.size() > 4096 ? body.substr(0, 4096) : body;
    for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("insert") != std::string::npos || lower.find("delete") != std::string::npos ||
           lower.find("\\u") != std::string::npos || body.size() > 4096;
}

}  // namespace

struct EventLoop::Impl {
    AppServer &server;
    const Routes &routes;
    std::string host;
    int port;
    FrontEndOptions options;
    std::string tls_cert_pem, tls_key_pem;
    std::unique_ptr<Lane> health_lane, control_lane, auth_lane, holder_lane, database_lane, writer_lane;
    MHD_Daemon *daemon = nullptr;
    int listen_fd = -1;
    int bound_port = 0;
    int max_clients = 0;
    std::atomic<bool> stopping{false};

    // The client connections and, per address, how many are open and how
    // many still send their request: read by the accept policy and the
    // sweep, changed by MHD's callbacks (its one thread) under the mutex.
    struct PerAddress {
        int open = 0, sending = 0;
    };
    std::mutex clients_mutex;
    std::map<std::uint64_t, Client *> clients;
    std::unordered_map<std::string, PerAddress> per_address;
    std::uint64_t next_client = 0;
    std::thread sweeper, acceptor;
    std::condition_variable sweep_cv;

    Impl(AppServer &s, const Routes &r, std::string h, int p, FrontEndOptions o)
        : server(s), routes(r), host(std::move(h)), port(p), options(std::move(o))
    {
        if (options.tls_cert.empty() && options.tls_key.empty()) return;
        if (options.tls_cert.empty() || options.tls_key.empty())
            throw ServerError(ServerError::Kind::BadRequest, "TLS needs both --tls-cert FILE and --tls-key FILE");
        bool cert_ok = false, key_ok = false;
        tls_cert_pem = read_file(options.tls_cert, cert_ok);
        tls_key_pem = read_file(options.tls_key, key_ok);
        if (!cert_ok || !key_ok) throw bad_tls();
    }
    ~Impl()
    {
        if (listen_fd >= 0) ::close(listen_fd);
    }

    ServerError bad_tls() const
    {
        return ServerError(ServerError::Kind::BadRequest, "the TLS certificate \"" + options.tls_cert + "\" or key \"" +
                                                              options.tls_key + "\" cannot be read or do not match");
    }

    // --- connections -------------------------------------------------------------

    static bool sending(Client::Phase p) { return p == Client::Phase::Head || p == Client::Phase::Body; }

    // Moves a client to a phase, keeping its address's count of sending ones.
    void set_phase(Client &c, Client::Phase phase)
    {
        std::lock_guard lock(clients_mutex);
        auto &counts = per_address[c.address];
        counts.sending += (sending(phase) ? 1 : 0) - (sending(c.phase) ? 1 : 0);
        c.phase = phase;
        c.since = Clock::now();
    }

    // A new connection from an address already holding its share is turned
    // away at once (closed before anything is read).
    static MHD_Result accept_policy(void *cls, const sockaddr *addr, socklen_t)
    {
        auto &self = *static_cast<Impl *>(cls);
        const std::string address = address_text(addr);
        const char *refused = nullptr;
        {
            std::lock_guard lock(self.clients_mutex);
            auto it = self.per_address.find(address);
            if (it != self.per_address.end()) {
                if (self.options.max_clients_per_address > 0 && it->second.open >= self.options.max_clients_per_address)
                    refused = refusal::kClientsPerAddress;
                else if (self.options.max_sending_per_address > 0 &&
                         it->second.sending >= self.options.max_sending_per_address)
                    refused = refusal::kSendingPerAddress;
            }
        }
        if (!refused) return MHD_YES;
        refusal::count(refused);
        return MHD_NO;
    }

    static void notify_connection(void *cls, MHD_Connection *connection, void **socket_context,
                                  MHD_ConnectionNotificationCode code)
    {
        auto &self = *static_cast<Impl *>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto *c = new Client;
            if (const auto *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
                c->address = address_text(info->client_addr);
            if (const auto *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
                c->fd = info->connect_fd;
            c->since = Clock::now();
            std::lock_guard lock(self.clients_mutex);
            c->id = ++self.next_client;
            self.clients[c->id] = c;
            auto &counts = self.per_address[c->address];
            ++counts.open;
            ++counts.sending;
            *socket_context = c;
            return;
        }
        auto *c = static_cast<Client *>(*socket_context);
        if (!c) return;
        *socket_context = nullptr;
        {
            std::lock_guard lock(self.clients_mutex);
            auto it = self.per_address.find(c->address);
            if (it != self.per_address.end()) {
                --it->second.open;
                if (sending(c->phase)) --it->second.sending;
                if (it->second.open <= 0) self.per_address.erase(it);
            }
            self.clients.erase(c->id);
        }
        // Its client went away: an open transaction it left is rolled back
        // (on a lane: closing a session may wait for a call of it to end).
        if (c->bound && !self.stopping) {
            const std::uint64_t id = c->id;
            self.control_lane->submit([&server = self.server, id] {
                if (const auto closed = server.client_gone(id))
                    log_line("closed " + std::to_string(closed) +
                             " session(s) whose client connection went away, open transactions rolled back");
            });
        }
        delete c;
    }

    // The request line of a new request came: the connection sends again.
    static void *request_began(void *cls, const char *, MHD_Connection *connection)
    {
        auto &self = *static_cast<Impl *>(cls);
        if (Client *c = client_of(connection); c && c->phase == Client::Phase::Idle) self.set_phase(*c, Client::Phase::Head);
        return nullptr;
    }

    // Every second: connections whose request head or body comes too slowly,
    // and kept-open ones idle too long, are shut down (MHD then closes them).
    void sweep()
    {
        std::unique_lock lock(clients_mutex);
        while (!stopping) {
            sweep_cv.wait_for(lock, std::chrono::seconds(1));
            const auto now = Clock::now();
            int head = 0, body = 0, idle = 0;
            for (auto &[id, c] : clients) {
                if (c->cut || c->fd < 0) continue;
                const auto age = now - c->since;
                const char *why = nullptr;
                if (c->phase == Client::Phase::Head && age > kHeadTimeout) why = refusal::kSlowRequestHead, ++head;
                else if (c->phase == Client::Phase::Body && age > c->body_timeout) why = refusal::kSlowRequestBody, ++body;
                else if (c->phase == Client::Phase::Idle && age > kIdleTimeout) why = refusal::kIdleConnection, ++idle;
                if (!why) continue;
                ::shutdown(c->fd, SHUT_RDWR);
                c->cut = true;
                refusal::count(why);
            }
            if (head + body > 0)
                log_line("closed slow client connections: " + std::to_string(head) + " sent no request head within " +
                         std::to_string(kHeadTimeout.count()) + " s, " + std::to_string(body) +
                         " no request body in time");
        }
    }

    // --- requests ---------------------------------------------------------------

    // The head is there: the request is checked before its body is read. A
    // caller that must sign in and has no token is answered at once; a
    // token this server has not seen good lately is checked on the auth
    // lane meanwhile (the connection parked); only then may a body of a
    // signed-in size come in. Before sign-in a body is a few KiB at most.
    // Returns false when the request is answered already (res holds it).
    bool check_head(MHD_Connection *connection, const std::shared_ptr<Exchange> &keep)
    {
        Exchange &ex = *keep;
        const char *length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
        ex.has_body = (length && std::strtoull(length, nullptr, 10) > 0) ||
                      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Transfer-Encoding");
        ex.small_body = length && std::strtoull(length, nullptr, 10) <= kRefusedBodyReadBytes &&
                        !MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Transfer-Encoding");
        // A refusal of a request without a body, or with a small one (read
        // and let go of, so that a client still writing it is not cut off
        // mid-write), waits for its turn and the connection stays in step
        // for the requests behind it; one with a larger body is answered
        // before the body is read, and the connection closes.
        auto refuse = [&](int status, const std::string &message, const char *error_code) {
            answer_inline(ex, status, message, error_code);
            ex.refused = true;
            return !ex.has_body || ex.small_body;
        };
        if (ex.req.path.size() > kMaxUriBytes) {
            ex.body_limit = kPreSignInBodyBytes;
            return refuse(414, "the request target is longer than " + std::to_string(kMaxUriBytes) + " bytes",
                          code::kTargetTooLong);
        }
        ex.route = routes.find(ex.req);
        if (options.auth == AuthMode::Accounts) {
            const bool open_route = !ex.route || ex.route->lane == LaneKind::Health || ex.req.path == contract::kLoginPath;
            if (open_route) {
                ex.body_limit = kPreSignInBodyBytes;
            } else {
                const std::string token = bearer_token(ex.req.authorization);
                if (token.empty()) {
                    refusal::count(refusal::kNoToken);
                    try {
                        routes.caller_of(ex.req);  // refuses at once, without the database
                    } catch (...) {
                        const Failure f = failure_of(std::current_exception());
                        return refuse(f.status, f.message, f.code);
                    }
                }
                if (!server.token_recently_good(token)) {
                    ex.stage = Exchange::Stage::Checking;
                    MHD_suspend_connection(connection);
                    auth_lane->submit([this, connection, keep] {
                        Exchange &ex = *keep;
                        try {
                            routes.caller_of(ex.req);
                        } catch (...) {
                            const Failure f = failure_of(std::current_exception());
                            if (f.status == 401) refusal::count(refusal::kBadToken);
                            answer_inline(ex, f.status, f.message, f.code);
                            ex.refused = true;
                        }
                        MHD_resume_connection(connection);
                    });
                    return true;
                }
            }
        }
        if (length) {
            char *end = nullptr;
            const unsigned long long n = std::strtoull(length, &end, 10);
            if (end != length && n > ex.body_limit) {
                refusal::count(refusal::kBodyTooLarge);
                // A signed-in caller's body is read and let go of, then
                // answered as it always was; before sign-in nothing of it
                // is read (the connection closes after the answer).
                if (ex.body_limit > kPreSignInBodyBytes) {
                    ex.too_big = true;
                    return true;
                }
                return refuse(400, "the request body is larger than the limit of " + std::to_string(ex.body_limit) + " bytes",
                              code::kBadRequest);
            }
        }
        return true;
    }

    void dispatch(MHD_Connection *connection, const std::shared_ptr<Exchange> &keep)
    {
        Exchange &ex = *keep;
        if (ex.refused) {  // answered by check_head, its turn come
            ex.stage = Exchange::Stage::Answered;
            return;
        }
        if (ex.too_big) {
            // A body over the limit is a bad request like any other.
            answer_inline(ex, 400, "the request body is larger than the limit of " + std::to_string(ex.body_limit) +
                                       " bytes",
                          code::kBadRequest);
            ex.stage = Exchange::Stage::Answered;
            return;
        }
        if (stopping) {
            answer_inline(ex, 503, "the server is stopping", code::kStopping);
            ex.stage = Exchange::Stage::Answered;
            return;
        }
        if (!ex.route) {
            answer_inline(ex, 404, "no such call: " + ex.req.method + " " + ex.req.path, code::kNotFound);
            ex.stage = Exchange::Stage::Answered;
            return;
        }
        Lane *lane = control_lane.get();
        bool waits_for_connection = false;
        std::string key;
        if (ex.route->lane == LaneKind::Health) {
            lane = health_lane.get();
        } else if (ex.route->lane == LaneKind::Session) {
            const std::string &session = ex.req.matches.at(1);
            if (ex.req.connection)
                if (Client *c = client_of(connection)) c->bound = true;
            // Each account (each address with --auth none) takes its turn.
            key = options.auth == AuthMode::Accounts ? server.session_account(session) : ex.req.remote_addr;
            if (server.session_holds_connection(session)) {
                lane = holder_lane.get();
            } else {
                // What may wait for another session's lock (applies,
                // executes, anything that may change data) holds at most the
                // writers' share of the workers; reads never queue behind it.
                const bool call = ex.req.matches.size() > 3;
                const bool writes = call && (ex.req.matches[3] == contract::kApplyCall ||
                                             ex.req.matches[3] == contract::kExecuteCall ||
                                             may_change_data(ex.req.body));
                lane = writes ? writer_lane.get() : database_lane.get();
                waits_for_connection = true;
            }
        }
        ex.queued = Clock::now();
        ex.stage = Exchange::Stage::Dispatched;
        MHD_suspend_connection(connection);
        // The job keeps the exchange: a streamed answer's call may outlive the
        // connection (the client went away while it was being written).
        lane->submit(
            [this, connection, keep, waits_for_connection] {
                Exchange &ex = *keep;
                const auto waited = Clock::now() - ex.queued;
                if (waits_for_connection && waited > server.limits().connection_wait) {
                    // Its turn came too late: the caller hears so instead of waiting on.
                    refusal::count(refusal::kBusy);
                    serve(ex.res, ex.req.matches.at(1), "-", ex.req.path, [&] {
                        throw ServerError(ServerError::Kind::Unavailable,
                                          "the server is busy: every database worker was in use for longer than the "
                                          "connection wait; try again in a moment",
                                          code::kBusy);
                    });
                } else {
                    ex.res.connection = connection;
                    ex.res.commit = [connection, &ex] {
                        ex.committed = true;
                        MHD_resume_connection(connection);
                    };
                    try {
                        ex.route->handler(ex.req, ex.res);
                    } catch (const std::exception &e) {
                        if (ex.committed) return;
                        ex.res = Response{};
                        answer_error(ex.res, 500, std::string("internal error: ") + e.what(), code::kInternal);
                    }
                }
                if (!ex.committed) MHD_resume_connection(connection);
            },
            key);
    }

    static MHD_Result queue_answer(MHD_Connection *connection, Exchange &ex)
    {
        Response &res = ex.res;
        if (res.status <= 0) res.status = 200;
        MHD_Response *response = nullptr;
        if (res.stream) {
            auto *stream = new std::shared_ptr<AnswerStream>(res.stream);
            response = MHD_create_response_from_callback(
                MHD_SIZE_UNKNOWN, 64 * 1024,
                [](void *cls, uint64_t, char *buf, size_t max) -> ssize_t {
                    return (*static_cast<std::shared_ptr<AnswerStream> *>(cls))->read(buf, max);
                },
                stream,
                [](void *cls) {
                    auto *s = static_cast<std::shared_ptr<AnswerStream> *>(cls);
                    (*s)->released();
                    delete s;
                });
        } else {
            response = MHD_create_response_from_buffer(res.body.size(), res.body.data(), MHD_RESPMEM_MUST_COPY);
        }
        if (!response) return MHD_NO;
        if (!res.content_type.empty()) MHD_add_response_header(response, "Content-Type", res.content_type.c_str());
        for (const auto &[k, v] : res.headers) MHD_add_response_header(response, k.c_str(), v.c_str());
        const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(res.status), response);
        MHD_destroy_response(response);
        return queued;
    }

    static MHD_Result on_request(void *cls, MHD_Connection *connection, const char *url, const char *method,
                                 const char *version, const char *upload_data, size_t *upload_size, void **context)
    {
        auto &self = *static_cast<Impl *>(cls);
        auto *holder = static_cast<std::shared_ptr<Exchange> *>(*context);
        if (!holder) {
            holder = new std::shared_ptr<Exchange>(std::make_shared<Exchange>());
            *context = holder;
            Exchange *ex = holder->get();
            ex->req.method = method ? method : "";
            ex->req.path = url ? url : "";
            if (const char *auth = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Authorization"))
                ex->req.authorization = auth;
            if (const auto *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
                ex->req.remote_addr = address_text(info->client_addr);
            Client *c = client_of(connection);
            if (c && keeps_connection(connection, version)) ex->req.connection = c->id;
            if (!self.check_head(connection, *holder)) {
                ex->stage = Exchange::Stage::Answered;
                return queue_answer(connection, *ex);
            }
            if (ex->stage == Exchange::Stage::Checking) return MHD_YES;  // parked until the token is checked
            ex->stage = Exchange::Stage::Reading;
            if (c) {
                c->body_timeout = ex->body_limit > kPreSignInBodyBytes ? kBodyTimeout : kSmallBodyTimeout;
                self.set_phase(*c, Client::Phase::Body);
            }
            return MHD_YES;
        }
        Exchange *ex = holder->get();
        if (ex->stage == Exchange::Stage::Checking) {
            // Back from the token check: refused with a larger body, it is
            // answered now; a small one is read and let go of first.
            if (ex->refused && ex->has_body && !ex->small_body) {
                ex->stage = Exchange::Stage::Answered;
                return queue_answer(connection, *ex);
            }
            ex->stage = Exchange::Stage::Reading;
            if (Client *c = client_of(connection)) {
                c->body_timeout = kBodyTimeout;
                self.set_phase(*c, Client::Phase::Body);
            }
            if (*upload_size == 0) return MHD_YES;
        }
        if (ex->stage == Exchange::Stage::Reading) {
            if (*upload_size > 0) {
                if (!ex->too_big && !ex->refused) {
                    if (ex->req.body.size() + *upload_size > ex->body_limit) {
                        refusal::count(refusal::kBodyTooLarge);
                        // Before sign-in nothing more is read: the connection goes.
                        if (ex->body_limit == kPreSignInBodyBytes) return MHD_NO;
                        ex->too_big = true;
                        std::string().swap(ex->req.body);
                    } else {
                        ex->req.body.append(upload_data, *upload_size);
                    }
                }
                *upload_size = 0;
                return MHD_YES;
            }
            if (Client *c = client_of(connection)) self.set_phase(*c, Client::Phase::Serving);
            self.dispatch(connection, *holder);
            if (ex->stage == Exchange::Stage::Dispatched) return MHD_YES;  // parked until its call is done
        }
        return queue_answer(connection, *ex);
    }

    static void on_completed(void *cls, MHD_Connection *connection, void **context, MHD_RequestTerminationCode)
    {
        auto &self = *static_cast<Impl *>(cls);
        delete static_cast<std::shared_ptr<Exchange> *>(*context);
        *context = nullptr;
        if (Client *c = client_of(connection)) self.set_phase(*c, Client::Phase::Idle);
    }

    // A listening socket of our own: the address and port as given (0: any
    // free one), a backlog far above what a site's planners open at once.
    void bind_socket()
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo *found = nullptr;
        const std::string service = std::to_string(port);
        const std::string node = host == "[::1]" ? std::string("::1") : host;
        auto fail = [&] {
            if (port == 0) throw ServerError(ServerError::Kind::Unavailable, "cannot listen on " + host + " (no free port)");
            throw ServerError(ServerError::Kind::Unavailable, "cannot listen on " + host + ":" + std::to_string(port) +
                                                                  " (address in use or not available)");
        };
        if (getaddrinfo(node.empty() ? nullptr : node.c_str(), service.c_str(), &hints, &found) != 0 || !found) fail();
        int fd = -1;
        for (addrinfo *a = found; a; a = a->ai_next) {
            fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
            if (fd < 0) continue;
            const int yes = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, listen_backlog()) == 0) break;
            ::close(fd);
            fd = -1;
        }
        freeaddrinfo(found);
        if (fd < 0) fail();
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
        bound_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                                       : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
        listen_fd = fd;
    }

    // The client connections this process can hold: raises its descriptor
    // limit as far as it may, and keeps room for the database connections,
    // the log and the listening sockets.
    int client_limit(int workers) const
    {
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return options.max_clients;
        if (limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &limit);
            ::getrlimit(RLIMIT_NOFILE, &limit);
        }
        const long long others = 64 + 2LL * (server.limits().max_connections + 2 * kAuxiliaryConnections + workers);
        const long long room = static_cast<long long>(std::min<rlim_t>(limit.rlim_cur, 1 << 30)) - others;
        const int fitting = static_cast<int>(std::clamp<long long>(room, 16, options.max_clients));
        if (fitting < options.max_clients)
            log_line("at most " + std::to_string(fitting) + " client connections (not " +
                     std::to_string(options.max_clients) + "): the descriptor limit is " +
                     std::to_string(static_cast<long long>(limit.rlim_cur)));
        return fitting;
    }

    // Room in the listen queue for every planner's connections arriving at
    // once (two per running module: 2,000 for 1,000 planners), as many as the
    // kernel gives: it caps the backlog at net.core.somaxconn (4096 by
    // default since Linux 5.4; raise it on older kernels).
    static int listen_backlog()
    {
        int backlog = kListenBacklog;
        if (std::FILE *f = std::fopen("/proc/sys/net/core/somaxconn", "r")) {
            int cap = 0;
            if (std::fscanf(f, "%d", &cap) == 1 && cap > backlog) backlog = cap;
            std::fclose(f);
        }
        return backlog;
    }

    // Takes every connection waiting in the listen queue (until the queue
    // is empty, not a few per turn of the event loop) and hands each to
    // the loop, which applies the accept policy and the client limit.
    void accept_connections()
    {
        while (!stopping) {
            pollfd p{listen_fd, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            for (;;) {
                sockaddr_storage from{};
                socklen_t len = sizeof from;
                const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr *>(&from), &len,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno == EINTR || errno == ECONNABORTED) continue;
                    if (errno == EMFILE || errno == ENFILE) {
                        log_line("cannot accept a client connection: out of file descriptors");
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    }
                    break;  // EAGAIN: the queue is empty
                }
                // MHD closes the socket itself when it refuses it.
                MHD_add_connection(daemon, fd, reinterpret_cast<sockaddr *>(&from), len);
            }
        }
    }

    static constexpr int kListenBacklog = 4096;
    // The TLS the server speaks: 1.2 and 1.3 only, and only key exchanges
    // with forward secrecy (ephemeral elliptic-curve Diffie-Hellman; every
    // TLS 1.3 suite has it) with authenticated encryption, as current
    // server guidance recommends.
    static constexpr const char *kTlsPriorities =
        "NONE:+VERS-TLS1.3:+VERS-TLS1.2:+ECDHE-ECDSA:+ECDHE-RSA:+AES-256-GCM:+AES-128-GCM:+CHACHA20-POLY1305:"
        "+AEAD:+SIGN-ALL:+GROUP-ALL:+COMP-NULL:+CTYPE-X509:%SERVER_PRECEDENCE";
};

EventLoop::EventLoop(AppServer &server, const Routes &routes, std::string host, int port, FrontEndOptions options)
    : impl_(std::make_unique<Impl>(server, routes, std::move(host), port, std::move(options)))
{
}

EventLoop::~EventLoop() { stop(); }

void EventLoop::start()
{
    auto &d = *impl_;
    if (d.daemon) return;
    // Every refusal the server counts by its reason is a refusal of the metrics too.
    static std::once_flag hooked;
    std::call_once(hooked, [] { refusal::set_hook([](const char *reason) { metrics::count_refusal(reason); }); });
    const int connections = d.server.limits().max_connections;
    const int workers = d.options.workers > 0 ? d.options.workers : connections;
    d.max_clients = d.client_limit(workers);
    d.health_lane = std::make_unique<Lane>("health", 2);
    d.control_lane = std::make_unique<Lane>("control", 4);
    d.auth_lane = std::make_unique<Lane>("auth", 2);
    // A session with an open transaction holds one of the connections, so
    // this many threads never make such a session's call wait.
    d.holder_lane = std::make_unique<Lane>("holder", connections);
    d.database_lane = std::make_unique<Lane>("database", workers);
    // A small share of the workers for what may wait for another session's lock.
    d.writer_lane = std::make_unique<Lane>("writer", std::max(2, workers / 4));
    d.bind_socket();

    // The loop's own thread accepts nothing: the acceptor below drains the
    // listen queue and hands it the connections.
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG |
                     MHD_USE_NO_LISTEN_SOCKET | MHD_USE_ITC;
    const bool tls = !d.tls_cert_pem.empty();
    if (tls) flags |= MHD_USE_TLS;
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(d.listen_fd, reinterpret_cast<sockaddr *>(&bound), &len);
    if (bound.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
    std::vector<MHD_OptionItem> opts = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&mhd_log), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, d.max_clients, nullptr},
        // An idle keep-alive connection costs no thread; it is closed after this long.
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(kIdleTimeout.count()), nullptr},
        // Each connection's buffer, idle ones included, which the library
        // takes whole and clears between requests: room for a request head
        // well past the URI limit below, so that such a request is answered
        // 414 here (without a body for HEAD), and no more.
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Impl::on_completed), &d},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Impl::notify_connection), &d},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&Impl::request_began), &d},
    };
    if (tls) {
        opts.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, d.tls_cert_pem.data()});
        opts.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, d.tls_key_pem.data()});
        opts.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char *>(Impl::kTlsPriorities)});
    }
    opts.push_back({MHD_OPTION_END, 0, nullptr});
    d.stopping = false;
    d.daemon = MHD_start_daemon(flags, 0, &Impl::accept_policy, &d, &Impl::on_request, &d, MHD_OPTION_ARRAY,
                                opts.data(), MHD_OPTION_END);
    if (!d.daemon) {
        ::close(d.listen_fd);
        d.listen_fd = -1;
        d.health_lane.reset();
        d.control_lane.reset();
        d.auth_lane.reset();
        d.holder_lane.reset();
        d.database_lane.reset();
        d.writer_lane.reset();
        if (tls) throw d.bad_tls();
        throw ServerError(ServerError::Kind::Unavailable, "cannot serve HTTP on " + d.host);
    }
    d.sweeper = std::thread([&d] { d.sweep(); });
    d.acceptor = std::thread([&d] { d.accept_connections(); });
}

void EventLoop::stop()
{
    auto &d = *impl_;
    if (!d.daemon) return;
    d.stopping = true;
    d.sweep_cv.notify_all();
    if (d.sweeper.joinable()) d.sweeper.join();
    if (d.acceptor.joinable()) d.acceptor.join();
    // No new connection from here on.
    const int fd = std::exchange(d.listen_fd, -1);
    // The calls still running finish and are answered before the loop ends.
    d.health_lane->stop();
    d.control_lane->stop();
    d.auth_lane->stop();
    d.holder_lane->stop();
    d.database_lane->stop();
    d.writer_lane->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    MHD_stop_daemon(d.daemon);
    d.daemon = nullptr;
    if (fd >= 0) ::close(fd);
}

int EventLoop::port() const { return impl_->bound_port; }

}  // namespace appserver
