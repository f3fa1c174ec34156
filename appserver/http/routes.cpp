#include "routes.h"

#include <algorithm>
#include <cctype>

#include <malloc.h>
#include <nlohmann/json.hpp>

#include "contract.h"
#include "refusals.h"
#include "server_text.h"

namespace appserver {

namespace {

using nlohmann::json;
namespace code = contract::error;

// A streamed answer this large leaves its memory to the allocator's arenas:
// it is given back afterwards.
constexpr std::size_t kTrimAfterBytes = 16u * 1024 * 1024;

std::string dump(const json &j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

// The request body as a JSON object; an empty body reads as {}. Its size is
// bounded by the event loop (far less before sign-in); its nesting here.
json body_object(const Request &req)
{
    if (req.body.find_first_not_of(" \t\r\n") == std::string::npos) return json::object();
    json j;
    try {
        j = json::parse(req.body, [](int depth, json::parse_event_t, json &) {
            if (depth > kMaxJsonDepth) {
                refusal::count(refusal::kJsonTooDeep);
                throw ServerError(ServerError::Kind::BadRequest,
                                  "the request body nests deeper than " + std::to_string(kMaxJsonDepth) + " levels");
            }
            return true;
        });
    } catch (const json::exception &e) {
        throw wire::WireError(std::string("malformed JSON: ") + e.what());
    }
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

// Whether a request body may change data: the module's changing statements
// are its generation (INSERT) and deletion (DELETE); any body holding such a
// word, or a JSON escape that could spell one, counts as changing.
bool may_change_data(std::string body)
{
    for (char &c : body) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return body.find("INSERT") != std::string::npos || body.find("DELETE") != std::string::npos ||
           body.find("UPDATE") != std::string::npos || body.find("\\U") != std::string::npos;
}

constexpr const char *kSignInNeeded = "请先登录";
constexpr const char *kNoSignIn = "sign-in is not in use: this server runs with --auth none";

}  // namespace

std::string bearer_token(const std::string &h)
{
    if (h.size() < 7) return {};
    std::string scheme = h.substr(0, 7);
    for (char &c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "bearer ") return {};
    const auto start = h.find_first_not_of(' ', 7);
    if (start == std::string::npos) return {};
    const auto end = h.find_last_not_of(" \t");
    return h.substr(start, end + 1 - start);
}

Routes::Routes(AppServer &server, FrontEndOptions options) : server_(server), options_(std::move(options))
{
    // A session's own calls: /v1/sessions/ID, then the provider or method.
    const std::string session_path = std::string(contract::kSessionsPath) + "/([^/]+)";
    add("POST", contract::kLoginPath, LaneKind::Control, [this](const Request &req, Response &res) {
        // The request log names the account once the sign-in succeeded:
        // what was typed as a user name could have been the password.
        std::string account;
        serve(
            res, {}, "login", {},
            [&] {
                if (options_.auth == AuthMode::None) throw ServerError(ServerError::Kind::NotFound, kNoSignIn);
                const json body = body_object(req);
                const std::string user = text_member(body, contract::kUserKey);
                const std::string password = text_member(body, contract::kPasswordKey);
                if (user.empty() || password.empty())
                    throw ServerError(ServerError::Kind::BadRequest, "a sign-in needs \"user\" and \"password\"");
                const SignIn in = server_.login(user, password, req.remote_addr);
                account = in.account;
                res.set_content(dump({{contract::kTokenKey, in.token},
                                      {contract::kExpiresKey, iso_utc(in.expires)},
                                      {contract::kUserKey, in.account},
                                      {contract::kRoleKey, role_name(in.role)}}),
                                kJson);
            },
            &account);
        if (res.status == 401) metrics::count_sign_in_failure("wrong_user_or_password");
        else if (res.status == 429) metrics::count_sign_in_failure("throttled");
    });

    add("POST", contract::kLogoutPath, LaneKind::Control, [this](const Request &req, Response &res) {
        std::string account;
        serve(
            res, {}, "logout", {},
            [&] {
                if (options_.auth == AuthMode::None) throw ServerError(ServerError::Kind::NotFound, kNoSignIn);
                const Caller caller = caller_of(req);
                account = caller.account;
                server_.logout(caller);
                res.status = 204;
            },
            &account);
    });

    add("GET", contract::kAccountPath, LaneKind::Control, [this](const Request &req, Response &res) {
        std::string account;
        serve(
            res, {}, "account", {},
            [&] {
                if (options_.auth == AuthMode::None) {
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
                const std::string id = server_.open_session(caller, object, text_member(body, contract::kClassIdKey));
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
                server_.close_session(caller, id);
                res.status = 204;
            },
            &account);
    });

    add("POST", session_path + "/" + contract::kProvidersSegment + "/([^/]+)/(" + contract::kRecordsCall + "|" + contract::kExecuteCall + "|" + contract::kApplyCall + ")", LaneKind::Session,
              [this](const Request &req, Response &res) {
                  const std::string id = req.matches[1], provider = req.matches[2], call = req.matches[3];
                  std::string account, cut_short;
                  serve(res, id, call, provider, [&] {
                      // A records call of a statement that changes nothing is a read:
                      // it may take a token checked good a few seconds ago.
                      const Caller caller = caller_of(req, call == contract::kRecordsCall && !may_change_data(req.body));
                      account = caller.account;
                      const json body = body_object(req);
                      if (call == contract::kRecordsCall) {
                          auto params = body.contains(contract::kParamsKey) ? wire::params_from_json(body.at(contract::kParamsKey))
                                                                : wire::ProviderParams{};
                          std::optional<std::string> if_version;
                          if (auto it = body.find(contract::kIfVersionKey); it != body.end() && !it->is_null()) {
                              if (!it->is_string())
                                  throw ServerError(ServerError::Kind::BadRequest, "\"ifVersion\" must be text");
                              if_version = it->get<std::string>();
                          }
                          records(caller, id, provider, text_member(body, contract::kCommandTextKey), params, res, cut_short,
                                  if_version);
                      } else if (call == contract::kExecuteCall) {
                          auto n = server_.execute(caller, id, provider, text_member(body, contract::kCommandTextKey));
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
                          auto result = server_.apply(caller, id, provider, wire::delta_from_json(*it), max_errors);
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
            // A body, when there is one, must still be JSON; its "params" are
            // the method's named parameters.
            const json body = body_object(req);
            const auto params = body.contains(contract::kParamsKey) ? wire::params_from_json(body.at(contract::kParamsKey))
                                                                    : wire::MethodParams{};
            res.set_content(dump(server_.call_method(caller, id, method, params)), kJson);
        }, &account);
    });

    // Open to everyone, so that a monitor sees a database out of reach (503).
    add("GET", contract::kHealthPath, LaneKind::Health, [this](const Request &, Response &res) {
        serve(res, {}, "health", {}, [&] {
            if (!server_.database_reachable())
                throw ServerError(ServerError::Kind::Unavailable, "the database cannot be reached");
            res.set_content(dump({{"status", "ok"}, {"database", server_.database_kind()}}), kJson);
        });
    });

}

void Routes::records(const Caller &caller, const std::string &id, const std::string &provider,
             const std::string &command_text, const wire::ProviderParams &params, Response &res,
             std::string &cut_short, const std::optional<std::string> &if_version)
{
    std::shared_ptr<AnswerStream> stream;
    std::size_t streamed = 0;
    try {
        std::string rest = server_.records_text(caller, id, provider, command_text, params, [&](std::string &text) {
            streamed += text.size();
            if (!stream) {
                stream = std::make_shared<AnswerStream>(res.connection);
                res.status = 200;
                res.content_type = kJson;
                res.stream = stream;
                res.commit();
            }
            stream->push(text);
        }, 64 * 1024, if_version);
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

// The caller of a request: the anonymous planner at the client's address
// with --auth none, else the account of its bearer token.
Caller Routes::caller_of(const Request &req, bool reading) const
{
    if (options_.auth == AuthMode::None) {
        Caller c;
        c.address = req.remote_addr;
        c.connection = req.connection;
        return c;
    }
    const std::string token = bearer_token(req.authorization);
    if (token.empty()) throw ServerError(ServerError::Kind::Unauthorized, kSignInNeeded, code::kSignInRequired);
    Caller c = server_.caller_of_token(token, req.remote_addr, reading);
    c.connection = req.connection;
    return c;
}

void Routes::add(const char *method, const std::string &pattern, LaneKind lane,
                 std::function<void(const Request &, Response &)> handler)
{
    table_.push_back({method, PathPattern(pattern), lane, std::move(handler)});
}

const Route *Routes::find(Request &req) const
{
    const std::string method = req.method == "HEAD" ? std::string("GET") : req.method;
    for (const auto &r : table_) {
        if (r.method != method) continue;
        if (!r.pattern.match(req.path, req.matches)) continue;
        return &r;
    }
    return nullptr;
}

}  // namespace appserver
