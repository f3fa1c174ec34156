#include "event_loop.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "contract.h"
#include "lane.h"
#include "server_log.h"

namespace appserver {

namespace {

namespace code = contract::error;

constexpr std::size_t kMaxBodyBytes = 16 * 1024 * 1024;
constexpr std::size_t kMaxUriBytes = 8192;

// One request on its way: read, parked while its call runs, answered.
struct Exchange {
    Request req;
    Response res;
    const Route *route = nullptr;
    bool too_big = false;
    bool started = false;
    bool answered_inline = false;
    bool committed = false;  // its answer's head is on its way while the call still writes the body
    std::chrono::steady_clock::time_point queued;
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

}  // namespace

struct EventLoop::Impl {
    AppServer &server;
    const Routes &routes;
    std::string host;
    int port;
    FrontEndOptions options;
    std::string tls_cert_pem, tls_key_pem;
    std::unique_ptr<Lane> health_lane, control_lane, holder_lane, database_lane;
    MHD_Daemon *daemon = nullptr;
    int listen_fd = -1;
    int bound_port = 0;
    std::atomic<bool> stopping{false};

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

    void dispatch(MHD_Connection *connection, const std::shared_ptr<Exchange> &keep)
    {
        Exchange &ex = *keep;
        if (ex.too_big) {
            // A body over the limit is a bad request like any other.
            answer_inline(ex, 400, "the request body is larger than the limit of " + std::to_string(kMaxBodyBytes) +
                                       " bytes",
                          code::kBadRequest);
            ex.answered_inline = true;
            return;
        }
        if (ex.req.path.size() > kMaxUriBytes) {
            answer_inline(ex, 414, "the request target is longer than " + std::to_string(kMaxUriBytes) + " bytes",
                         code::kTargetTooLong);
            ex.answered_inline = true;
            return;
        }
        ex.route = routes.find(ex.req);
        if (stopping) {
            answer_inline(ex, 503, "the server is stopping", code::kStopping);
            ex.answered_inline = true;
            return;
        }
        if (!ex.route) {
            answer_inline(ex, 404, "no such call: " + ex.req.method + " " + ex.req.path, code::kNotFound);
            ex.answered_inline = true;
            return;
        }
        Lane *lane = control_lane.get();
        bool waits_for_connection = false;
        if (ex.route->lane == LaneKind::Health) {
            lane = health_lane.get();
        } else if (ex.route->lane == LaneKind::Session) {
            if (server.session_holds_connection(ex.req.matches.at(1))) {
                lane = holder_lane.get();
            } else {
                lane = database_lane.get();
                waits_for_connection = true;
            }
        }
        ex.queued = std::chrono::steady_clock::now();
        MHD_suspend_connection(connection);
        // The job keeps the exchange: a streamed answer's call may outlive the
        // connection (the client went away while it was being written).
        lane->submit([this, connection, keep, waits_for_connection] {
            Exchange &ex = *keep;
            const auto waited = std::chrono::steady_clock::now() - ex.queued;
            if (waits_for_connection && waited > server.limits().connection_wait) {
                // Its turn came too late: the caller hears so instead of waiting on.
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
        });
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
                                 const char *, const char *upload_data, size_t *upload_size, void **context)
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
            return MHD_YES;
        }
        Exchange *ex = holder->get();
        if (*upload_size > 0) {
            if (!ex->too_big) {
                if (ex->req.body.size() + *upload_size > kMaxBodyBytes) {
                    ex->too_big = true;
                    std::string().swap(ex->req.body);
                } else {
                    ex->req.body.append(upload_data, *upload_size);
                }
            }
            *upload_size = 0;
            return MHD_YES;
        }
        if (!ex->started) {
            ex->started = true;
            self.dispatch(connection, *holder);
            if (!ex->answered_inline) return MHD_YES;  // parked until its call is done
        }
        return queue_answer(connection, *ex);
    }

    static void on_completed(void *, MHD_Connection *, void **context, MHD_RequestTerminationCode)
    {
        delete static_cast<std::shared_ptr<Exchange> *>(*context);
        *context = nullptr;
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
            fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0) continue;
            const int yes = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, kListenBacklog) == 0) break;
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

    static constexpr int kListenBacklog = 511;
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
    const int connections = d.server.limits().max_connections;
    const int workers = d.options.workers > 0 ? d.options.workers : connections;
    d.health_lane = std::make_unique<Lane>("health", 2);
    d.control_lane = std::make_unique<Lane>("control", 4);
    // A session with an open transaction holds one of the connections, so
    // this many threads never make such a session's call wait.
    d.holder_lane = std::make_unique<Lane>("holder", connections);
    d.database_lane = std::make_unique<Lane>("database", workers);
    d.bind_socket();

    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    const bool tls = !d.tls_cert_pem.empty();
    if (tls) flags |= MHD_USE_TLS;
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(d.listen_fd, reinterpret_cast<sockaddr *>(&bound), &len);
    if (bound.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
    std::vector<MHD_OptionItem> opts = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&mhd_log), nullptr},
        {MHD_OPTION_LISTEN_SOCKET, d.listen_fd, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, std::max(16, d.options.max_clients), nullptr},
        // An idle keep-alive connection costs no thread; it is closed after this long.
        {MHD_OPTION_CONNECTION_TIMEOUT, 300, nullptr},
        // Room for a request head well past the URI limit below, so that
        // such a request is answered 414 here (without a body for HEAD).
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, 256 * 1024, nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Impl::on_completed), nullptr},
    };
    if (tls) {
        opts.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, d.tls_cert_pem.data()});
        opts.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, d.tls_key_pem.data()});
    }
    opts.push_back({MHD_OPTION_END, 0, nullptr});
    d.daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &Impl::on_request, &d, MHD_OPTION_ARRAY, opts.data(),
                                MHD_OPTION_END);
    if (!d.daemon) {
        ::close(d.listen_fd);
        d.listen_fd = -1;
        d.health_lane.reset();
        d.control_lane.reset();
        d.holder_lane.reset();
        d.database_lane.reset();
        if (tls) throw d.bad_tls();
        throw ServerError(ServerError::Kind::Unavailable, "cannot serve HTTP on " + d.host);
    }
    d.listen_fd = -1;  // the daemon closes it
}

void EventLoop::stop()
{
    auto &d = *impl_;
    if (!d.daemon) return;
    d.stopping = true;
    const int fd = MHD_quiesce_daemon(d.daemon);
    // The calls still running finish and are answered before the loop ends.
    d.health_lane->stop();
    d.control_lane->stop();
    d.holder_lane->stop();
    d.database_lane->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    MHD_stop_daemon(d.daemon);
    d.daemon = nullptr;
    if (fd >= 0) ::close(fd);
}

int EventLoop::port() const { return impl_->bound_port; }

}  // namespace appserver
