// The /v1 HTTP/JSON API over an AppServer. Every answer is JSON; every failed
// call answers {"error": "..."} with the status of its ServerError kind.
//
// One event loop (libmicrohttpd, epoll) holds every client connection, idle
// keep-alive ones included, and reads and writes them; a request is parked
// (suspended) while its call runs on one of the worker lanes below, and
// answered when it is resumed:
//   health   - GET /v1/health, never behind anything else;
//   control  - sign-in, account, opening sessions: no session's lock;
//   holder   - the calls of a session whose transaction is open (it keeps
//              its connection), so that its commit or rollback never queues
//              behind calls waiting for a connection or a lock;
//   database - every other session call; it waits for a pooled connection.
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <ctime>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <vector>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <malloc.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include "http_front_end.h"
#include "contract.h"
#include "server_log.h"
#include "server_text.h"

namespace appserver {

namespace {

using nlohmann::json;

// A request as the routes see it.
struct Request {
    std::string method, path, body, remote_addr, authorization;
    std::vector<std::string> matches;  // the route pattern's groups, [0] the whole path
    std::string get_header_value(const char *name) const
    {
        return std::string(name) == "Authorization" ? authorization : std::string();
    }
};

// A body written while its call still runs: the call's thread hands it over
// piece by piece, the event loop sends what is there. At most kMaxQueued
// bytes wait between the two, so the answer's memory is bounded by that, not
// by its size. When nothing is ready the connection is parked (suspended)
// until the next piece or the end comes, so that the loop never waits.
class AnswerStream {
public:
    explicit AnswerStream(MHD_Connection *connection) : connection_(connection) {}

    // The call's side. Takes the text (leaving it empty); waits while the
    // client is behind. Throws when the client has gone or has read nothing
    // for kStallLimit.
    void push(std::string &text)
    {
        if (text.empty()) return;
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, kStallLimit, [&] { return queued_ < kMaxQueued || released_; }))
            throw std::runtime_error("the client read nothing for " + std::to_string(kStallLimit.count()) + " s");
        if (released_) throw std::runtime_error("the client closed the connection");
        queued_ += text.size();
        chunks_.push_back(std::move(text));
        text = std::string();
        wake(lock);
    }
    // The end: complete, or cut short (the client then sees the body end
    // before its last chunk, i.e. a broken answer, never a short packet).
    void finish(bool complete)
    {
        std::unique_lock lock(mutex_);
        finished_ = true;
        complete_ = complete;
        wake(lock);
    }

    // The event loop's side, with MHD's content reader results.
    ssize_t read(char *buf, std::size_t max)
    {
        std::lock_guard lock(mutex_);
        if (chunks_.empty()) {
            if (finished_) return complete_ ? MHD_CONTENT_READER_END_OF_STREAM : MHD_CONTENT_READER_END_WITH_ERROR;
            parked_ = true;
            MHD_suspend_connection(connection_);
            return 0;
        }
        std::size_t n = 0;
        while (n < max && !chunks_.empty()) {
            const std::string &front = chunks_.front();
            const std::size_t take = std::min(max - n, front.size() - offset_);
            std::memcpy(buf + n, front.data() + offset_, take);
            n += take;
            offset_ += take;
            if (offset_ == front.size()) {
                queued_ -= front.size();
                chunks_.pop_front();
                offset_ = 0;
            }
        }
        cv_.notify_all();
        return static_cast<ssize_t>(n);
    }
    // The answer is done with (sent, or its connection closed).
    void released()
    {
        std::lock_guard lock(mutex_);
        released_ = true;
        chunks_.clear();
        cv_.notify_all();
    }

    static constexpr std::size_t kMaxQueued = 512 * 1024;
    static constexpr std::chrono::seconds kStallLimit{60};

private:
    // A parked connection goes back to the loop; never once it is released
    // (a parked one cannot be: MHD sees nothing of a suspended connection).
    void wake(std::unique_lock<std::mutex> &lock)
    {
        const bool resume = parked_ && !released_;
        parked_ = false;
        lock.unlock();
        if (resume) MHD_resume_connection(connection_);
    }

    MHD_Connection *connection_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::string> chunks_;
    std::size_t offset_ = 0, queued_ = 0;
    bool parked_ = false, finished_ = false, complete_ = false, released_ = false;
};

// An answer: a body held whole, or one streamed (chunked) as its call writes
// it. connection and commit are set for the handler: commit sends the status
// and headers at once, while the call goes on writing the stream; after it
// the handler must not touch the answer.
struct Response {
    int status = -1;
    std::string body, content_type;
    std::vector<std::pair<std::string, std::string>> headers;
    std::shared_ptr<AnswerStream> stream;
    MHD_Connection *connection = nullptr;
    std::function<void()> commit;
    void set_content(std::string b, const char *type)
    {
        body = std::move(b);
        content_type = type;
    }
    void set_header(const std::string &k, const std::string &v) { headers.emplace_back(k, v); }
};

// A fixed number of threads taking jobs in order.
class Lane {
public:
    Lane(std::string name, int threads) : name_(std::move(name))
    {
        for (int i = 0; i < std::max(1, threads); ++i) threads_.emplace_back([this] { run(); });
    }
    ~Lane() { stop(); }
    void submit(std::function<void()> job)
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        cv_.notify_one();
    }
    // Runs what is queued, then ends the threads.
    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            cv_.notify_all();
        }
        for (auto &t : threads_)
            if (t.joinable()) t.join();
    }

private:
    void run()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }
    std::string name_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
};

enum class LaneKind { Health, Control, Session };

constexpr std::size_t kMaxBodyBytes = 16 * 1024 * 1024;
constexpr std::size_t kMaxUriBytes = 8192;
constexpr const char *kJson = "application/json; charset=utf-8";

namespace code = contract::error;

// The stable code of a failure: the one its thrower named, else its kind's.
const char *code_of(const ServerError &e)
{
    if (e.code()) return e.code();
    switch (e.kind()) {
    case ServerError::Kind::NotFound: return code::kNotFound;
    case ServerError::Kind::BadRequest: return code::kBadRequest;
    case ServerError::Kind::Database: return code::kDatabase;
    case ServerError::Kind::Unavailable: return code::kUnavailable;
    case ServerError::Kind::Unauthorized: return code::kSignInRequired;
    case ServerError::Kind::Forbidden: return code::kForbidden;
    case ServerError::Kind::Throttled: return code::kThrottled;
    }
    return code::kInternal;
}

int status_of(ServerError::Kind kind)
{
    switch (kind) {
    case ServerError::Kind::NotFound: return 404;
    case ServerError::Kind::BadRequest: return 400;
    case ServerError::Kind::Database: return 422;
    case ServerError::Kind::Unavailable: return 503;
    case ServerError::Kind::Unauthorized: return 401;
    case ServerError::Kind::Forbidden: return 403;
    case ServerError::Kind::Throttled: return 429;
    }
    return 500;
}

std::string dump(const json &j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

// The request body as a JSON object; an empty body reads as {}.
json body_object(const Request &req)
{
    if (req.body.find_first_not_of(" \t\r\n") == std::string::npos) return json::object();
    json j = wire::parse_json(req.body);
    if (!j.is_object()) throw ServerError(ServerError::Kind::BadRequest, "the request body must be a JSON object");
    return j;
}

std::string text_member(const json &body, const char *name)
{
    auto it = body.find(name);
    if (it == body.end() || it->is_null()) return {};
    if (!it->is_string()) throw ServerError(ServerError::Kind::BadRequest, std::string("\"") + name + "\" must be text");
    return it->get<std::string>();
}

// One line per request: time, session, account, call, target, duration, outcome.
void log_request(const std::string &session, const std::string &account, const std::string &call,
                 const std::string &target, std::chrono::steady_clock::duration took, int status,
                 const std::string &error)
{
    const double ms = std::chrono::duration<double, std::milli>(took).count();
    char line[160];
    std::snprintf(line, sizeof line, " %.1fms %d", ms, status);
    log_line("session=" + (session.empty() ? std::string("-") : session) +
             " user=" + (account.empty() ? std::string("-") : account) + " call=" + call +
             " target=" + (target.empty() ? std::string("-") : target) + line + (error.empty() ? "" : " ") + error);
}

constexpr const char *kSignInNeeded = "请先登录";
constexpr const char *kNoSignIn = "sign-in is not in use: this server runs with --auth none";

bool loopback(const std::string &host)
{
    return host == "localhost" || host == "::1" || host == "[::1]" || host.rfind("127.", 0) == 0;
}

// The token of an "Authorization: Bearer TOKEN" header; empty without one.
std::string bearer_token(const Request &req)
{
    const std::string h = req.get_header_value("Authorization");
    if (h.size() < 7) return {};
    std::string scheme = h.substr(0, 7);
    for (char &c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "bearer ") return {};
    const auto start = h.find_first_not_of(' ', 7);
    if (start == std::string::npos) return {};
    const auto end = h.find_last_not_of(" \t");
    return h.substr(start, end + 1 - start);
}

// Runs one call: turns its result or its failure into the answer, and logs it.
template <class F>
void serve(Response &res, const std::string &session, const std::string &call, const std::string &target,
           F &&f, const std::string *account = nullptr)
{
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    const char *error_code = nullptr;
    try {
        f();
    } catch (const ServerError &e) {
        res.status = status_of(e.kind());
        error = e.what();
        error_code = code_of(e);
    } catch (const wire::WireError &e) {
        res.status = 400;
        error = e.what();
        error_code = code::kBadRequest;
    } catch (const json::exception &e) {
        res.status = 400;
        error = std::string("malformed request: ") + e.what();
        error_code = code::kBadRequest;
    } catch (const std::exception &e) {
        res.status = 500;
        error = std::string("internal error: ") + e.what();
        error_code = code::kInternal;
    }
    if (error_code) res.set_content(wire::error_to_text(error, error_code), kJson);
    else if (res.status == -1) res.status = 200;
    if (res.status == 401) res.set_header("WWW-Authenticate", "Bearer");
    log_request(session, account ? *account : std::string(), call, target, std::chrono::steady_clock::now() - start,
                res.status, error);
}

struct Route {
    std::string method;
    std::regex pattern;
    LaneKind lane;
    std::function<void(const Request &, Response &)> handler;
};

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

}  // namespace
std::optional<std::string> listen_refusal(const std::string &host, const FrontEndOptions &options)
{
    if (loopback(host)) return std::nullopt;
    if (options.auth != AuthMode::Accounts)
        return "listening on " + host +
               " needs --auth accounts and --tls-cert FILE --tls-key FILE; --auth none is only for a loopback "
               "address such as 127.0.0.1";
    if (options.tls_cert.empty() || options.tls_key.empty())
        return "listening on " + host + " needs TLS: give --tls-cert FILE and --tls-key FILE";
    return std::nullopt;
}


struct HttpFrontEnd::Impl {
    AppServer &server;
    std::string host;
    int port;
    FrontEndOptions options;
    std::string tls_cert_pem, tls_key_pem;
    std::vector<Route> route_table;
    std::unique_ptr<Lane> health_lane, control_lane, holder_lane, database_lane;
    MHD_Daemon *daemon = nullptr;
    int listen_fd = -1;
    int bound_port = 0;
    std::atomic<bool> stopping{false};

    Impl(AppServer &s, std::string h, int p, FrontEndOptions o)
        : server(s), host(std::move(h)), port(p), options(std::move(o))
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

    void routes();

    // A records call's answer: a small one whole, a large one streamed while
    // the provider reads its rows. Until the first piece goes out a failure
    // is the usual error answer; after it the status is sent and cannot
    // change, so the body is ended broken (no last chunk) and the failure
    // told in cut_short.
    void records(const Caller &caller, const std::string &id, const std::string &provider,
                 const std::string &command_text, const wire::ProviderParams &params, Response &res,
                 std::string &cut_short)
    {
        std::shared_ptr<AnswerStream> stream;
        std::size_t streamed = 0;
        try {
            std::string rest = server.records_text(caller, id, provider, command_text, params, [&](std::string &text) {
                streamed += text.size();
                if (!stream) {
                    stream = std::make_shared<AnswerStream>(res.connection);
                    res.status = 200;
                    res.content_type = kJson;
                    res.stream = stream;
                    res.commit();
                }
                stream->push(text);
            });
            if (!stream) {
                res.set_content(std::move(rest), kJson);
                return;
            }
            stream->push(rest);
            stream->finish(true);
        } catch (const std::exception &e) {
            if (!stream) throw;
            stream->finish(false);
            cut_short = e.what();
        }
        // A large answer leaves its memory to the allocator's arenas; give it back.
        if (streamed >= kTrimAfterBytes) malloc_trim(0);
    }
    void add(const char *method, const std::string &pattern, LaneKind lane, std::function<void(const Request &, Response &)> h)
    {
        route_table.push_back({method, std::regex(pattern), lane, std::move(h)});
    }

    // The caller of a request: the anonymous planner at the client's address
    // with --auth none, else the account of its bearer token.
    Caller caller_of(const Request &req) const
    {
        if (options.auth == AuthMode::None) {
            Caller c;
            c.address = req.remote_addr;
            return c;
        }
        const std::string token = bearer_token(req);
        if (token.empty()) throw ServerError(ServerError::Kind::Unauthorized, kSignInNeeded, code::kSignInRequired);
        return server.caller_of_token(token, req.remote_addr);
    }

    // The route of a request; HEAD is answered as GET without the body.
    const Route *route_of(Request &req) const
    {
        const std::string method = req.method == "HEAD" ? std::string("GET") : req.method;
        for (const auto &r : route_table) {
            if (r.method != method) continue;
            std::smatch m;
            if (!std::regex_match(req.path, m, r.pattern)) continue;
            req.matches.assign(m.begin(), m.end());
            return &r;
        }
        return nullptr;
    }

    static void answer_error(Exchange &ex, int status, const std::string &message, const char *error_code)
    {
        ex.res.status = status;
        ex.res.set_content(wire::error_to_text(message, error_code), kJson);
        log_request({}, {}, "-", ex.req.path, {}, status, message);
    }

    void dispatch(MHD_Connection *connection, const std::shared_ptr<Exchange> &keep)
    {
        Exchange &ex = *keep;
        if (ex.too_big) {
            // A body over the limit is a bad request like any other.
            answer_error(ex, 400, "the request body is larger than the limit of " + std::to_string(kMaxBodyBytes) +
                                      " bytes",
                         code::kBadRequest);
            ex.answered_inline = true;
            return;
        }
        if (ex.req.path.size() > kMaxUriBytes) {
            answer_error(ex, 414, "the request target is longer than " + std::to_string(kMaxUriBytes) + " bytes",
                         code::kTargetTooLong);
            ex.answered_inline = true;
            return;
        }
        ex.route = route_of(ex.req);
        if (stopping) {
            answer_error(ex, 503, "the server is stopping", code::kStopping);
            ex.answered_inline = true;
            return;
        }
        if (!ex.route) {
            answer_error(ex, 404, "no such call: " + ex.req.method + " " + ex.req.path, code::kNotFound);
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
                    ex.res.status = 500;
                    ex.res.set_content(wire::error_to_text(std::string("internal error: ") + e.what(), code::kInternal), kJson);
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
    static constexpr std::size_t kTrimAfterBytes = 16u * 1024 * 1024;
};

void HttpFrontEnd::Impl::routes()
{
    // A session's own calls: /v1/sessions/ID, then the provider or method.
    const std::string session_path = std::string(contract::kSessionsPath) + "/([^/]+)";
    add("POST", contract::kLoginPath, LaneKind::Control, [this](const Request &req, Response &res) {
        std::string user;
        serve(
            res, {}, "login", {},
            [&] {
                if (options.auth == AuthMode::None) throw ServerError(ServerError::Kind::NotFound, kNoSignIn);
                const json body = body_object(req);
                user = text_member(body, contract::kUserKey);
                const std::string password = text_member(body, contract::kPasswordKey);
                if (user.empty() || password.empty())
                    throw ServerError(ServerError::Kind::BadRequest, "a sign-in needs \"user\" and \"password\"");
                const SignIn in = server.login(user, password, req.remote_addr);
                res.set_content(dump({{contract::kTokenKey, in.token},
                                      {contract::kExpiresKey, iso_utc(in.expires)},
                                      {contract::kUserKey, in.account},
                                      {contract::kRoleKey, role_name(in.role)}}),
                                kJson);
            },
            &user);
    });

    add("POST", contract::kLogoutPath, LaneKind::Control, [this](const Request &req, Response &res) {
        std::string account;
        serve(
            res, {}, "logout", {},
            [&] {
                if (options.auth == AuthMode::None) throw ServerError(ServerError::Kind::NotFound, kNoSignIn);
                const Caller caller = caller_of(req);
                account = caller.account;
                server.logout(caller);
                res.status = 204;
            },
            &account);
    });

    add("GET", contract::kAccountPath, LaneKind::Control, [this](const Request &req, Response &res) {
        std::string account;
        serve(
            res, {}, "account", {},
            [&] {
                if (options.auth == AuthMode::None) {
                    res.set_content(dump({{"user", "anonymous"}, {"role", "planner"}, {"auth", "none"}}), kJson);
                    return;
                }
                const Caller caller = caller_of(req);
                account = caller.account;
                res.set_content(dump({{contract::kUserKey, caller.account},
                                      {contract::kRoleKey, role_name(caller.role)},
                                      {contract::kExpiresKey, iso_utc(caller.expires)}}),
                                kJson);
            },
            &account);
    });

    add("POST", contract::kSessionsPath, LaneKind::Control, [this](const Request &req, Response &res) {
        std::string object, account;
        serve(
            res, {}, "open", object,
            [&] {
                const Caller caller = caller_of(req);
                account = caller.account;
                const json body = body_object(req);
                object = text_member(body, contract::kObjectKey);
                if (object.empty()) throw ServerError(ServerError::Kind::BadRequest, "\"object\" names no server object");
                const std::string id = server.open_session(caller, object, text_member(body, contract::kClassIdKey));
                res.status = 201;
                res.set_content(dump({{contract::kSessionKey, id}}), kJson);
            },
            &account);
    });

    add("DELETE", session_path, LaneKind::Session, [this](const Request &req, Response &res) {
        const std::string id = req.matches[1];
        std::string account;
        serve(
            res, id, "close", {},
            [&] {
                const Caller caller = caller_of(req);
                account = caller.account;
                server.close_session(caller, id);
                res.status = 204;
            },
            &account);
    });

    add("POST", session_path + "/" + contract::kProvidersSegment + "/([^/]+)/(" + contract::kRecordsCall + "|" + contract::kExecuteCall + "|" + contract::kApplyCall + ")", LaneKind::Session,
              [this](const Request &req, Response &res) {
                  const std::string id = req.matches[1], provider = req.matches[2], call = req.matches[3];
                  std::string account, cut_short;
                  serve(res, id, call, provider, [&] {
                      const Caller caller = caller_of(req);
                      account = caller.account;
                      const json body = body_object(req);
                      if (call == contract::kRecordsCall) {
                          auto params = body.contains(contract::kParamsKey) ? wire::params_from_json(body.at(contract::kParamsKey))
                                                                : wire::ProviderParams{};
                          records(caller, id, provider, text_member(body, contract::kCommandTextKey), params, res, cut_short);
                      } else if (call == contract::kExecuteCall) {
                          auto n = server.execute(caller, id, provider, text_member(body, contract::kCommandTextKey));
                          res.set_content(dump({{contract::kRowsAffectedKey, n}}), kJson);
                      } else {
                          int max_errors = 0;
                          if (auto it = body.find(contract::kMaxErrorsKey); it != body.end() && !it->is_null()) {
                              if (!it->is_number_integer())
                                  throw ServerError(ServerError::Kind::BadRequest, "\"maxErrors\" must be a whole number");
                              max_errors = static_cast<int>(std::clamp<long long>(it->get<long long>(), -1, 1 << 30));
                          }
                          auto it = body.find(contract::kDeltaKey);
                          if (it == body.end()) throw ServerError(ServerError::Kind::BadRequest, "the request has no \"delta\"");
                          auto result = server.apply(caller, id, provider, wire::delta_from_json(*it), max_errors);
                          res.set_content(dump(wire::apply_result_to_json(result)), kJson);
                      }
                  }, &account);
                  if (!cut_short.empty())
                      log_request(id, account, call, provider, {}, 200, "the answer was cut short: " + cut_short);
              });

    add("POST", session_path + "/" + contract::kMethodsSegment + "/([^/]+)", LaneKind::Session, [this](const Request &req, Response &res) {
        const std::string id = req.matches[1], method = req.matches[2];
        std::string account;
        serve(res, id, "method", method, [&] {
            const Caller caller = caller_of(req);
            account = caller.account;
            body_object(req);  // a body, when there is one, must still be JSON
            server.call_method(caller, id, method);
            res.set_content("{}", kJson);
        }, &account);
    });

    // Open to everyone, so that a monitor sees a database out of reach (503).
    add("GET", contract::kHealthPath, LaneKind::Health, [this](const Request &, Response &res) {
        serve(res, {}, "health", {}, [&] {
            if (!server.database_reachable())
                throw ServerError(ServerError::Kind::Unavailable, "the database cannot be reached");
            res.set_content(dump({{"status", "ok"}, {"database", server.database_kind()}}), kJson);
        });
    });

}


HttpFrontEnd::HttpFrontEnd(AppServer &server, std::string host, int port, FrontEndOptions options)
    : impl_(std::make_unique<Impl>(server, std::move(host), port, std::move(options)))
{
    impl_->routes();
}

HttpFrontEnd::~HttpFrontEnd() { stop(); }

void HttpFrontEnd::start()
{
    auto &d = *impl_;
    if (d.daemon) return;
    // Checked before anything is bound.
    if (auto refusal = listen_refusal(d.host, d.options)) throw ServerError(ServerError::Kind::BadRequest, *refusal);
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

void HttpFrontEnd::stop()
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

int HttpFrontEnd::port() const { return impl_->bound_port; }

}  // namespace appserver
