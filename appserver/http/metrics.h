// The server's metrics in the Prometheus text format, served at GET /metrics
// on a listener of their own (--metrics-listen, loopback only), never on the
// planners' port. One registry per process, which any code of the front end
// counts into with one line, from any thread:
//     metrics::count_refusal("max_clients");
//     metrics::observe_request("records", 200, took);
// The gauges (sessions, connection pools) are read from the server when the
// text is made.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app_server.h"

namespace appserver::metrics {

// A request answered: its route (the call name of the request log: "login",
// "open", "records", "apply", ...; "unrouted" for none), its HTTP status,
// and how long it took.
void observe_request(const std::string &route, int status, std::chrono::steady_clock::duration took);
// A request refused, by the reason's name: an error answer's code ("busy",
// "throttled", "statement_not_allowed", ...) or a limit's own name.
void count_refusal(const std::string &reason);
// A sign-in that failed: "wrong_user_or_password" or "throttled".
void count_sign_in_failure(const std::string &reason);

// One metric family of the text format with its samples; a sample's suffix
// follows the family's name ("_bucket", "_sum", "_count" of a histogram).
struct Sample {
    std::vector<std::pair<std::string, std::string>> labels;
    double value = 0;
    std::string suffix;
};
struct Family {
    std::string name, type, help;
    std::vector<Sample> samples;
};

// The families of a running server at this moment: its sessions and its
// connection pools (in use, open, the most, waiting, waits and their time).
std::vector<Family> server_families(const AppServer &server);

// The registry's counters and histograms, then the families given, as the
// text of the exposition format (version 0.0.4).
std::string exposition(const std::vector<Family> &more = {});

// Why the metrics may not be served on host: any address but loopback
// (127.x.x.x, ::1, localhost). Nothing when they may.
std::optional<std::string> listen_refusal(const std::string &host);

class MetricsServer {
public:
    MetricsServer(const AppServer &server, std::string host, int port);
    ~MetricsServer();
    MetricsServer(const MetricsServer &) = delete;
    MetricsServer &operator=(const MetricsServer &) = delete;
    // Binds (port 0: a free one) and serves on a thread of its own. Throws
    // ServerError when the host is refused or the address cannot be bound.
    void start();
    void stop();
    int port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace appserver::metrics
