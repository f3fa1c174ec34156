// The /v1 HTTP/JSON API over an AppServer. Every answer is JSON; every failed
// call answers {"error": "..."} with the status of its ServerError kind.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "app_server.h"

namespace appserver {

namespace {

using nlohmann::json;

constexpr std::size_t kMaxBodyBytes = 16 * 1024 * 1024;
constexpr const char *kJson = "application/json; charset=utf-8";

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
json body_object(const httplib::Request &req)
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

std::mutex log_mutex;

// One line per request: time, session, account, call, target, duration, outcome.
void log_request(const std::string &session, const std::string &account, const std::string &call,
                 const std::string &target, std::chrono::steady_clock::duration took, int status,
                 const std::string &error)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    const double ms = std::chrono::duration<double, std::milli>(took).count();
    std::lock_guard lock(log_mutex);
    std::fprintf(stderr, "%s session=%s user=%s call=%s target=%s %.1fms %d%s%s\n", when,
                 session.empty() ? "-" : session.c_str(), account.empty() ? "-" : account.c_str(), call.c_str(),
                 target.empty() ? "-" : target.c_str(), ms, status, error.empty() ? "" : " ", error.c_str());
    std::fflush(stderr);
}

constexpr const char *kSignInNeeded = "请先登录";
constexpr const char *kNoSignIn = "sign-in is not in use: this server runs with --auth none";

bool loopback(const std::string &host)
{
    return host == "localhost" || host == "::1" || host == "[::1]" || host.rfind("127.", 0) == 0;
}

// The token of an "Authorization: Bearer TOKEN" header; empty without one.
std::string bearer_token(const httplib::Request &req)
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
void serve(httplib::Response &res, const std::string &session, const std::string &call, const std::string &target,
           F &&f, const std::string *account = nullptr)
{
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    try {
        f();
    } catch (const ServerError &e) {
        res.status = status_of(e.kind());
        error = e.what();
    } catch (const wire::WireError &e) {
        res.status = 400;
        error = e.what();
    } catch (const json::exception &e) {
        res.status = 400;
        error = std::string("malformed request: ") + e.what();
    } catch (const std::exception &e) {
        res.status = 500;
        error = std::string("internal error: ") + e.what();
    }
    if (!error.empty()) res.set_content(dump(wire::error_to_json(error)), kJson);
    else if (res.status == -1) res.status = 200;
    if (res.status == 401) res.set_header("WWW-Authenticate", "Bearer");
    log_request(session, account ? *account : std::string(), call, target, std::chrono::steady_clock::now() - start,
                res.status, error);
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
    std::unique_ptr<httplib::Server> server_holder;
    httplib::Server &http;
    std::thread thread;
    int bound_port = 0;

    static std::unique_ptr<httplib::Server> make_server(const FrontEndOptions &o)
    {
        if (o.tls_cert.empty() && o.tls_key.empty()) return std::make_unique<httplib::Server>();
        if (o.tls_cert.empty() || o.tls_key.empty())
            throw ServerError(ServerError::Kind::BadRequest, "TLS needs both --tls-cert FILE and --tls-key FILE");
        auto ssl = std::make_unique<httplib::SSLServer>(o.tls_cert.c_str(), o.tls_key.c_str());
        if (!ssl->is_valid())
            throw ServerError(ServerError::Kind::BadRequest, "the TLS certificate \"" + o.tls_cert + "\" or key \"" +
                                                                 o.tls_key + "\" cannot be read or do not match");
        return ssl;
    }

    Impl(AppServer &s, std::string h, int p, FrontEndOptions o)
        : server(s), host(std::move(h)), port(p), options(std::move(o)), server_holder(make_server(options)),
          http(*server_holder)
    {
    }
    void routes();

    // The caller of a request: the anonymous planner at the client's address
    // with --auth none, else the account of its bearer token.
    Caller caller_of(const httplib::Request &req) const
    {
        if (options.auth == AuthMode::None) {
            Caller c;
            c.address = req.remote_addr;
            return c;
        }
        const std::string token = bearer_token(req);
        if (token.empty()) throw ServerError(ServerError::Kind::Unauthorized, kSignInNeeded);
        return server.caller_of_token(token, req.remote_addr);
    }
};

void HttpFrontEnd::Impl::routes()
{
    http.set_tcp_nodelay(true);
    http.set_keep_alive_max_count(100000);
    http.set_payload_max_length(kMaxBodyBytes);
    http.new_task_queue = [] { return new httplib::ThreadPool(16); };

    http.Post("/v1/login", [this](const httplib::Request &req, httplib::Response &res) {
        std::string user;
        serve(
            res, {}, "login", {},
            [&] {
                if (options.auth == AuthMode::None) throw ServerError(ServerError::Kind::NotFound, kNoSignIn);
                const json body = body_object(req);
                user = text_member(body, "user");
                const std::string password = text_member(body, "password");
                if (user.empty() || password.empty())
                    throw ServerError(ServerError::Kind::BadRequest, "a sign-in needs \"user\" and \"password\"");
                const SignIn in = server.login(user, password, req.remote_addr);
                res.set_content(dump({{"token", in.token},
                                      {"expires", iso_utc(in.expires)},
                                      {"user", in.account},
                                      {"role", role_name(in.role)}}),
                                kJson);
            },
            &user);
    });

    http.Post("/v1/logout", [this](const httplib::Request &req, httplib::Response &res) {
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

    http.Get("/v1/account", [this](const httplib::Request &req, httplib::Response &res) {
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
                res.set_content(dump({{"user", caller.account},
                                      {"role", role_name(caller.role)},
                                      {"expires", iso_utc(caller.expires)}}),
                                kJson);
            },
            &account);
    });

    http.Post("/v1/sessions", [this](const httplib::Request &req, httplib::Response &res) {
        std::string object, account;
        serve(
            res, {}, "open", object,
            [&] {
                const Caller caller = caller_of(req);
                account = caller.account;
                const json body = body_object(req);
                object = text_member(body, "object");
                if (object.empty()) throw ServerError(ServerError::Kind::BadRequest, "\"object\" names no server object");
                const std::string id = server.open_session(caller, object, text_member(body, "clsid"));
                res.status = 201;
                res.set_content(dump({{"session", id}}), kJson);
            },
            &account);
    });

    http.Delete(R"(/v1/sessions/([^/]+))", [this](const httplib::Request &req, httplib::Response &res) {
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

    http.Post(R"(/v1/sessions/([^/]+)/providers/([^/]+)/(records|execute|apply))",
              [this](const httplib::Request &req, httplib::Response &res) {
                  const std::string id = req.matches[1], provider = req.matches[2], call = req.matches[3];
                  std::string account;
                  serve(res, id, call, provider, [&] {
                      const Caller caller = caller_of(req);
                      account = caller.account;
                      const json body = body_object(req);
                      if (call == "records") {
                          auto params = body.contains("params") ? wire::params_from_json(body.at("params"))
                                                                : wire::ProviderParams{};
                          auto packet = server.get_records(caller, id, provider, text_member(body, "commandText"), params);
                          res.set_content(dump(wire::packet_to_json(packet)), kJson);
                      } else if (call == "execute") {
                          auto n = server.execute(caller, id, provider, text_member(body, "commandText"));
                          res.set_content(dump({{"rowsAffected", n}}), kJson);
                      } else {
                          int max_errors = 0;
                          if (auto it = body.find("maxErrors"); it != body.end() && !it->is_null()) {
                              if (!it->is_number_integer())
                                  throw ServerError(ServerError::Kind::BadRequest, "\"maxErrors\" must be a whole number");
                              max_errors = static_cast<int>(std::clamp<long long>(it->get<long long>(), -1, 1 << 30));
                          }
                          auto it = body.find("delta");
                          if (it == body.end()) throw ServerError(ServerError::Kind::BadRequest, "the request has no \"delta\"");
                          auto result = server.apply(caller, id, provider, wire::delta_from_json(*it), max_errors);
                          res.set_content(dump(wire::apply_result_to_json(result)), kJson);
                      }
                  }, &account);
              });

    http.Post(R"(/v1/sessions/([^/]+)/methods/([^/]+))", [this](const httplib::Request &req, httplib::Response &res) {
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
    http.Get("/v1/health", [this](const httplib::Request &, httplib::Response &res) {
        serve(res, {}, "health", {}, [&] {
            if (!server.database_reachable())
                throw ServerError(ServerError::Kind::Unavailable, "the database cannot be reached");
            res.set_content(dump({{"status", "ok"}, {"database", server.database_kind()}}), kJson);
        });
    });

    // Answers the server library gives by itself (no such path, a body over
    // the limit, a request it cannot read) in the same JSON form. A body over
    // the limit is a bad request like any other.
    http.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &req,
                                                                   httplib::Response &res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        std::string message;
        if (res.status == 413) {
            res.status = 400;
            message = "the request body is larger than the limit of " + std::to_string(kMaxBodyBytes) + " bytes";
        } else if (res.status == 404) {
            message = "no such call: " + req.method + " " + req.path;
        } else {
            message = "the request could not be read (HTTP status " + std::to_string(res.status) + ")";
        }
        res.set_content(dump(wire::error_to_json(message)), kJson);
        log_request({}, {}, "-", req.path, {}, res.status, message);
        return httplib::Server::HandlerResponse::Handled;
    }));
}

HttpFrontEnd::HttpFrontEnd(AppServer &server, std::string host, int port, FrontEndOptions options)
    : impl_(std::make_unique<Impl>(server, std::move(host), port, std::move(options)))
{
    impl_->routes();
}

HttpFrontEnd::~HttpFrontEnd() { stop(); }

void HttpFrontEnd::start()
{
    if (impl_->thread.joinable()) return;
    // Checked before anything is bound.
    if (auto refusal = listen_refusal(impl_->host, impl_->options)) throw ServerError(ServerError::Kind::BadRequest, *refusal);
    auto &http = impl_->http;
    if (impl_->port == 0) {
        impl_->bound_port = http.bind_to_any_port(impl_->host);
        if (impl_->bound_port <= 0)
            throw ServerError(ServerError::Kind::Unavailable, "cannot listen on " + impl_->host + " (no free port)");
    } else {
        if (!http.bind_to_port(impl_->host, impl_->port))
            throw ServerError(ServerError::Kind::Unavailable, "cannot listen on " + impl_->host + ":" +
                                                                 std::to_string(impl_->port) +
                                                                 " (address in use or not available)");
        impl_->bound_port = impl_->port;
    }
    impl_->thread = std::thread([&http] { http.listen_after_bind(); });
    while (!http.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void HttpFrontEnd::stop()
{
    if (!impl_->thread.joinable()) return;
    impl_->http.stop();
    impl_->thread.join();
}

int HttpFrontEnd::port() const { return impl_->bound_port; }

}  // namespace appserver
