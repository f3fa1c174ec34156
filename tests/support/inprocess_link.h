// A link that calls the application server's objects directly, in this
// process. For tests and benchmarks; the module ships with the HTTP link.
#pragma once

#include <memory>

#include "app_server.h"
#include "remote_connection.h"

namespace remote {

// A factory whose links open sessions on `server`, which must outlive them.
// Server errors become RemoteError with the server's message.
LinkFactory inprocess_link_factory(appserver::AppServer &server);

}  // namespace remote
