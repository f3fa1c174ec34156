// A remote connection: a named server object on a computer, reached over a
// link that opens on first use. The data module holds one per server object.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "wire.h"

namespace remote {

// Every failure of a remote call: refused connection, timeout, HTTP error, a
// statement the server rejects. The message is what a person needs to read.
class RemoteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ServerObject {
    std::string prog_id;   // "VendrixServer.CoCompanyInfo"
    std::string class_id;  // "{19D455E5-...}", may be empty
};

const ServerObject &company_info_object();

// The transaction methods of the company information object.
inline constexpr const char *kTranStartMethod = "CompanydbTranStart";
inline constexpr const char *kTranCommitMethod = "CompanydbTranCommit";
inline constexpr const char *kRollbackMethod = "CompanydbRollback";
const ServerObject &cust_object();

// One open session on one server object. Implementations: HTTP (the real
// one) and in-process (tests and benchmarks).
class Link {
public:
    virtual ~Link() = default;
    virtual wire::DataPacket get_records(const std::string &provider, const std::string &command_text) = 0;
    virtual std::int64_t execute(const std::string &provider, const std::string &command_text) = 0;
    virtual wire::ApplyResult apply_updates(const std::string &provider, const wire::Delta &delta,
                                            int max_errors) = 0;
    virtual void call_method(const std::string &name) = 0;
    // True once the link can no longer reach its session (the connection
    // failed or was lost); the next call of the connection opens a new one.
    virtual bool broken() const { return false; }
};

// Opens a link (a session) to a server object on a computer. Throws RemoteError.
using LinkFactory =
    std::function<std::unique_ptr<Link>(const ServerObject &object, const std::string &computer_name)>;

// The application server's port when the computer name gives none.
inline constexpr int kDefaultPort = 7411;

// The computer name as the user gives it: empty = this machine at the
// default port, "host" = that host at the default port, "host:port" as given,
// "[v6-address]:port" for IPv6. Surrounding blanks are ignored.
struct Endpoint {
    std::string host;
    int port = 0;
};
Endpoint parse_computer_name(const std::string &computer_name);  // throws RemoteError on a bad port

// Timeouts of the HTTP link: connecting, and waiting for an answer (a long
// statement on a large plan may take a while; a server that is not running
// is reported at once, a host that does not answer after the connect timeout).
inline constexpr int kConnectTimeoutSeconds = 5;
inline constexpr int kReadTimeoutSeconds = 120;

std::unique_ptr<Link> make_http_link(const ServerObject &object, const std::string &computer_name);

// Which links new connections open. The module uses HTTP; tests install an
// in-process factory. Passing an empty function restores HTTP.
void set_link_factory(LinkFactory factory);

// Called with true before and false after every remote call, so the GUI can
// show a wait cursor while a call blocks the form.
void set_busy_hook(std::function<void(bool busy)> hook);

namespace detail {
// True when a refusal of the server says the session itself is gone (closed
// after its idle timeout, or the server restarted). Nothing of the refused
// call ran. The connection repeats the call once on a new session when no
// transaction was open on the lost one; inside a transaction the refusal is
// passed on, since what the transaction did before was rolled back with it.
bool session_gone(const std::string &server_message);
}  // namespace detail

class RemoteConnection {
public:
    explicit RemoteConnection(ServerObject object);
    ~RemoteConnection();  // closes the session
    RemoteConnection(const RemoteConnection &) = delete;
    RemoteConnection &operator=(const RemoteConnection &) = delete;

    const ServerObject &object() const { return object_; }
    // Changing the computer name closes an open session.
    void set_computer_name(const std::string &name);
    const std::string &computer_name() const { return computer_name_; }

    bool connected() const { return link_ != nullptr; }
    void close();

    // The four calls; each connects first when not yet connected.
    wire::DataPacket get_records(const std::string &provider, const std::string &command_text);
    std::int64_t execute(const std::string &provider, const std::string &command_text);
    wire::ApplyResult apply_updates(const std::string &provider, const wire::Delta &delta, int max_errors);
    void call_method(const std::string &name);

private:
    Link &link();
    template <class F> auto call(F &&f);

    ServerObject object_;
    std::string computer_name_;
    std::unique_ptr<Link> link_;
    // A transaction begun on the session ("CompanydbTranStart") and not yet
    // committed or rolled back.
    bool transaction_open_ = false;
};

}  // namespace remote
