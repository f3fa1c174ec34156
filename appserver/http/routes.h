// The /v1 API's routes: each call's path, its worker lane, and the handler
// that reads the request, calls the AppServer and writes the answer.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app_server.h"
#include "exchange.h"
#include "front_end_options.h"

namespace appserver {

// The token of an "Authorization: Bearer TOKEN" header; empty without one.
std::string bearer_token(const std::string &authorization);

// How deep a request's JSON body may nest (a delta nests four deep): a
// deeper one is refused before it is taken apart any further.
inline constexpr int kMaxJsonDepth = 32;

class Routes {
public:
    Routes(AppServer &server, FrontEndOptions options);
    // The route of a request, its pattern's groups put in req.matches; HEAD
    // is answered as GET (without the body). nullptr when none.
    const Route *find(Request &req) const;
    // The caller of a request: the anonymous planner with --auth none, else
    // the account of its bearer token; Unauthorized without a token (no
    // database asked) or with one unknown, ended or expired.
    // A read (reading) may take a token checked good a few seconds ago
    // without the database (kTokenTrustedFor).
    Caller caller_of(const Request &req, bool reading = false) const;

private:
    void add(const char *method, const std::string &pattern, LaneKind lane,
             std::function<void(const Request &, Response &)> handler);
    void records(const Caller &caller, const std::string &id, const std::string &provider,
                 const std::string &command_text, const wire::ProviderParams &params, Response &res,
                 std::string &cut_short,
                 const std::optional<std::string> &if_version = std::nullopt);

    AppServer &server_;
    FrontEndOptions options_;
    std::vector<Route> table_;
};

}  // namespace appserver
