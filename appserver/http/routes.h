// The /v1 API's routes: each call's path, its worker lane, and the handler
// that reads the request, calls the AppServer and writes the answer.
#pragma once

#include <string>
#include <vector>

#include "app_server.h"
#include "exchange.h"
#include "front_end_options.h"

namespace appserver {

class Routes {
public:
    Routes(AppServer &server, FrontEndOptions options);
    // The route of a request, its pattern's groups put in req.matches; HEAD
    // is answered as GET (without the body). nullptr when none.
    const Route *find(Request &req) const;

private:
    void add(const char *method, const std::string &pattern, LaneKind lane,
             std::function<void(const Request &, Response &)> handler);
    Caller caller_of(const Request &req) const;
    void records(const Caller &caller, const std::string &id, const std::string &provider,
                 const std::string &command_text, const wire::ProviderParams &params, Response &res,
                 std::string &cut_short);

    AppServer &server_;
    FrontEndOptions options_;
    std::vector<Route> table_;
};

}  // namespace appserver
