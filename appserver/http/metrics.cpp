#include "metrics.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>

#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "front_end_options.h"
#include "server_log.h"

namespace appserver::metrics {

namespace {

// Upper bounds of the latency buckets, in seconds (+Inf follows).
constexpr std::array<double, 12> kBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};

struct Histogram {
    std::array<std::uint64_t, kBuckets.size()> counts{};  // per bucket, not yet summed up
    std::uint64_t count = 0;
    double sum = 0;
};

struct Registry {
    std::mutex mutex;
    std::map<std::pair<std::string, int>, std::uint64_t> requests;
    std::map<std::string, Histogram> latency;
    std::map<std::string, std::uint64_t> refusals, sign_in_failures;
};

// Never destroyed: worker threads may still count while the program ends.
Registry &registry()
{
    static Registry *r = new Registry;
    return *r;
}

std::string label_value(const std::string &v)
{
    std::string out;
    for (char c : v) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string number(double v)
{
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    if (std::isnan(v)) return "NaN";
    char text[40];
    if (v == std::floor(v) && std::fabs(v) < 1e15) std::snprintf(text, sizeof text, "%.0f", v);
    else std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

std::string bound_text(double bound)
{
    char text[24];
    std::snprintf(text, sizeof text, "%g", bound);
    return text;
}

void write_family(std::string &out, const Family &f)
{
    out += "# HELP " + f.name + " " + f.help + "\n# TYPE " + f.name + " " + f.type + "\n";
    for (const auto &s : f.samples) {
        out += f.name + s.suffix;
        if (!s.labels.empty()) {
            out += '{';
            for (std::size_t i = 0; i < s.labels.size(); ++i)
                out += (i ? "," : "") + s.labels[i].first + "=\"" + label_value(s.labels[i].second) + "\"";
            out += '}';
        }
        out += " " + number(s.value) + "\n";
    }
}

Family counter_by(const char *name, const char *label, const char *help,
                  const std::map<std::string, std::uint64_t> &counts)
{
    Family f{name, "counter", help, {}};
    for (const auto &[key, n] : counts) f.samples.push_back({{{label, key}}, static_cast<double>(n), {}});
    return f;
}

}  // namespace

void observe_request(const std::string &route, int status, std::chrono::steady_clock::duration took)
{
    const double seconds = std::chrono::duration<double>(took).count();
    auto &r = registry();
    std::lock_guard lock(r.mutex);
    ++r.requests[{route, status}];
    Histogram &h = r.latency[route];
    std::size_t i = 0;
    while (i < kBuckets.size() && seconds > kBuckets[i]) ++i;
    if (i < kBuckets.size()) ++h.counts[i];
    ++h.count;
    h.sum += seconds;
}

void count_refusal(const std::string &reason)
{
    auto &r = registry();
    std::lock_guard lock(r.mutex);
    ++r.refusals[reason];
}

void count_sign_in_failure(const std::string &reason)
{
    auto &r = registry();
    std::lock_guard lock(r.mutex);
    ++r.sign_in_failures[reason];
}

std::vector<Family> server_families(const AppServer &server)
{
    std::vector<Family> out;
    out.push_back({"vendrix_sessions", "gauge", "Sessions open on this instance.",
                   {{{}, static_cast<double>(server.session_count()), {}}}});
    Family max{"vendrix_database_connections_max", "gauge", "Database connections a pool may open.", {}};
    Family open{"vendrix_database_connections_open", "gauge", "Database connections open, idle or in use.", {}};
    Family in_use{"vendrix_database_connections_in_use", "gauge", "Database connections lent out to calls.", {}};
    Family waiting{"vendrix_database_connection_waiting", "gauge", "Calls waiting for a database connection now.", {}};
    Family waits{"vendrix_database_connection_waits_total", "counter",
                 "Calls that found no database connection free and waited for one.", {}};
    Family waited{"vendrix_database_connection_wait_seconds_total", "counter",
                  "Time calls spent waiting for a database connection.", {}};
    Family timeouts{"vendrix_database_connection_wait_timeouts_total", "counter",
                    "Calls refused because no database connection came in time.", {}};
    for (const auto &[pool, s] : server.pool_stats()) {
        const std::vector<std::pair<std::string, std::string>> label = {{"pool", pool}};
        max.samples.push_back({label, static_cast<double>(s.capacity), {}});
        open.samples.push_back({label, static_cast<double>(s.open), {}});
        in_use.samples.push_back({label, static_cast<double>(s.in_use), {}});
        waiting.samples.push_back({label, static_cast<double>(s.waiting), {}});
        waits.samples.push_back({label, static_cast<double>(s.waits), {}});
        waited.samples.push_back({label, s.wait_seconds, {}});
        timeouts.samples.push_back({label, static_cast<double>(s.timeouts), {}});
    }
    for (auto *f : {&max, &open, &in_use, &waiting, &waits, &waited, &timeouts}) out.push_back(std::move(*f));
    return out;
}

std::string exposition(const std::vector<Family> &more)
{
    std::vector<Family> families;
    {
        auto &r = registry();
        std::lock_guard lock(r.mutex);
        Family requests{"vendrix_requests_total", "counter", "Requests answered, by route and HTTP status.", {}};
        for (const auto &[key, n] : r.requests)
            requests.samples.push_back(
                {{{"route", key.first}, {"status", std::to_string(key.second)}}, static_cast<double>(n), {}});
        Family latency{"vendrix_request_duration_seconds", "histogram",
                       "Time from a request's arrival at its route to its answer, by route.", {}};
        for (const auto &[route, h] : r.latency) {
            std::uint64_t below = 0;
            for (std::size_t i = 0; i < kBuckets.size(); ++i) {
                below += h.counts[i];
                latency.samples.push_back(
                    {{{"route", route}, {"le", bound_text(kBuckets[i])}}, static_cast<double>(below), "_bucket"});
            }
            latency.samples.push_back({{{"route", route}, {"le", "+Inf"}}, static_cast<double>(h.count), "_bucket"});
            latency.samples.push_back({{{"route", route}}, h.sum, "_sum"});
            latency.samples.push_back({{{"route", route}}, static_cast<double>(h.count), "_count"});
        }
        families.push_back(std::move(requests));
        families.push_back(std::move(latency));
        families.push_back(counter_by("vendrix_refusals_total", "reason",
                                      "Requests refused, by reason (the error answer's code).", r.refusals));
        families.push_back(counter_by("vendrix_sign_in_failures_total", "reason", "Sign-ins that failed, by reason.",
                                      r.sign_in_failures));
    }
    families.insert(families.end(), more.begin(), more.end());
    std::string out;
    for (const auto &f : families) write_family(out, f);
    return out;
}

std::optional<std::string> listen_refusal(const std::string &host)
{
    if (is_loopback(host)) return std::nullopt;
    return "the metrics are served on a loopback address only (such as 127.0.0.1:9411), not on " + host +
           ": a Prometheus agent on this machine reads them";
}

struct MetricsServer::Impl {
    const AppServer &server;
    std::string host;
    int port;
    int bound_port = 0;
    MHD_Daemon *daemon = nullptr;

    static MHD_Result on_request(void *cls, MHD_Connection *connection, const char *url, const char *method,
                                 const char *, const char *, size_t *, void **)
    {
        const auto &self = *static_cast<Impl *>(cls);
        const std::string path = url ? url : "", verb = method ? method : "";
        int status = 200;
        std::string body;
        const char *type = "text/plain; version=0.0.4; charset=utf-8";
        if (path != "/metrics") {
            status = 404;
            body = "not found: the metrics are at /metrics\n";
            type = "text/plain; charset=utf-8";
        } else if (verb != "GET" && verb != "HEAD") {
            status = 405;
            body = "only GET\n";
            type = "text/plain; charset=utf-8";
        } else {
            body = exposition(server_families(self.server));
        }
        MHD_Response *response = MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
        if (!response) return MHD_NO;
        MHD_add_response_header(response, "Content-Type", type);
        const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(status), response);
        MHD_destroy_response(response);
        return queued;
    }

    // A listening socket on the loopback address and port given.
    int bind_socket()
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo *found = nullptr;
        const std::string node = host == "[::1]" ? std::string("::1") : host;
        const std::string service = std::to_string(port);
        int fd = -1;
        if (getaddrinfo(node.c_str(), service.c_str(), &hints, &found) == 0) {
            for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
                fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
                if (fd < 0) continue;
                const int yes = 1;
                ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
                if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 64) != 0) {
                    ::close(fd);
                    fd = -1;
                }
            }
            freeaddrinfo(found);
        }
        if (fd < 0)
            throw ServerError(ServerError::Kind::Unavailable, "cannot serve the metrics on " + host + ":" +
                                                                  std::to_string(port) +
                                                                  " (address in use or not available)");
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
        bound_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                                       : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
        return fd;
    }
};

MetricsServer::MetricsServer(const AppServer &server, std::string host, int port)
    : impl_(std::make_unique<Impl>(Impl{server, std::move(host), port}))
{
}

MetricsServer::~MetricsServer() { stop(); }

void MetricsServer::start()
{
    auto &d = *impl_;
    if (d.daemon) return;
    if (auto refusal = listen_refusal(d.host)) throw ServerError(ServerError::Kind::BadRequest, *refusal);
    const int fd = d.bind_socket();
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL;
    if (bound.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
    d.daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &Impl::on_request, &d, MHD_OPTION_LISTEN_SOCKET, fd,
                                MHD_OPTION_CONNECTION_LIMIT, 16u, MHD_OPTION_CONNECTION_TIMEOUT, 30u, MHD_OPTION_END);
    if (!d.daemon) {
        ::close(fd);
        throw ServerError(ServerError::Kind::Unavailable, "cannot serve the metrics on " + d.host);
    }
}

void MetricsServer::stop()
{
    if (!impl_->daemon) return;
    MHD_stop_daemon(impl_->daemon);
    impl_->daemon = nullptr;
}

int MetricsServer::port() const { return impl_->bound_port; }

}  // namespace appserver::metrics
