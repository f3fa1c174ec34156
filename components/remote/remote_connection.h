// A remote connection: a named server object on a computer, reached over a
// link that opens on first use. The data module holds one per server object.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "contract.h"
#include "wire.h"

namespace remote {

// Every failure of a remote call: refused connection, timeout, HTTP error, a
// statement the server rejects. The message is what a person needs to read.
class RemoteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The server refused a call for want of a valid sign-in (none given, expired
// or signed out: HTTP 401). Nothing of the refused call ran.
class SignInRequired : public RemoteError {
public:
    using RemoteError::RemoteError;
};

// The server no longer holds the link's session (closed after its idle
// timeout, or the server restarted): its answer carried the code
// "session_gone". Nothing of the refused call ran.
class SessionGone : public RemoteError {
public:
    using RemoteError::RemoteError;
};

// The server refused a sign-in (wrong user or password, too many attempts).
// The message is the server's own.
class SignInRefused : public RemoteError {
public:
    using RemoteError::RemoteError;
};

struct ServerObject {
    std::string prog_id;   // "VendrixServer.CoCompanyInfo"
    std::string class_id;  // "{19D455E5-...}", may be empty
};

const ServerObject &company_info_object();

// The transaction methods of the company information object.
inline constexpr const char *kTranStartMethod = contract::kTranStartMethod;
inline constexpr const char *kTranCommitMethod = contract::kTranCommitMethod;
inline constexpr const char *kRollbackMethod = contract::kRollbackMethod;
const ServerObject &cust_object();

// One open session on one server object. Implementations: HTTP (the real
// one) and in-process (tests and benchmarks).
class Link {
public:
    virtual ~Link() = default;
    virtual wire::DataPacket get_records(const std::string &provider, const std::string &command_text) = 0;
    // The same with named parameters of the provider ({"NYUE00":"202612"}).
    // A link that does not pass parameters on refuses any, rather than
    // answering with rows the caller did not ask for.
    virtual wire::DataPacket get_records(const std::string &provider, const std::string &command_text,
                                         const wire::ProviderParams &params);
    // The same, naming the version of the rows the caller holds ("" when it
    // holds none yet): the answer is packet.current with the version when
    // they are still current, else the rows with their version (none when
    // the provider keeps no versions). A link that cannot name a version
    // answers with the rows alone.
    virtual wire::DataPacket revalidate_records(const std::string &provider, const std::string &command_text,
                                                const wire::ProviderParams &params, const std::string &held_version);
    virtual std::int64_t execute(const std::string &provider, const std::string &command_text) = 0;
    virtual wire::ApplyResult apply_updates(const std::string &provider, const wire::Delta &delta,
                                            int max_errors) = 0;
    virtual void call_method(const std::string &name) = 0;
    // A method with named parameters ({"NYUE00":"202612"}), answering its
    // result (a JSON object; {} from the transaction methods). A link that
    // does not pass parameters on refuses any, and answers {} for a call
    // without them.
    virtual nlohmann::json call_method(const std::string &name, const wire::MethodParams &params);
    // True once the link can no longer reach its session (the connection
    // failed or was lost); the next call of the connection opens a new one.
    virtual bool broken() const { return false; }
};

// Opens a link (a session) to a server object on a computer. Throws RemoteError.
using LinkFactory =
    std::function<std::unique_ptr<Link>(const ServerObject &object, const std::string &computer_name)>;

// The application server's port when the computer name gives none.
inline constexpr int kDefaultPort = contract::kDefaultPort;

// The computer name as the user gives it: empty = this machine at the
// default port, "host" = that host at the default port, "host:port" as given,
// "[v6-address]:port" for IPv6; any of them after "http://" (the same: plain
// HTTP) or "https://" (TLS, the certificate checked). Surrounding blanks and
// one trailing "/" are ignored.
struct Endpoint {
    std::string host;
    int port = 0;
    bool tls = false;
};
Endpoint parse_computer_name(const std::string &computer_name);  // throws RemoteError on a bad name

// "host:port" ("[v6]:port"), as messages name the server.
std::string where_of(const Endpoint &endpoint);
// The server a sign-in belongs to: "http://host:port" or "https://host:port".
// Different spellings of one server give the same key.
std::string server_key(const std::string &computer_name);

// Certificates of an https server are checked against the system's trusted
// authorities, or against the CA file that the settings file names in its
// section [connection], key ca_file. The settings file is read when a link
// opens; tests point it elsewhere.
inline constexpr const char *kDefaultSettingsFile = "/etc/mis_system.ini";
void set_settings_file(const std::string &path);
// The CA file named by the settings file, empty when none is named.
std::string ca_file_setting();

// ---------------------------------------------------------------------------
// Sign-in. One token per server serves every connection of the process.

struct Account {
    std::string user;
    std::string role;     // "planner", "viewer" or "approver"
    std::string expires;  // as the server gives it
};

// Signs in through POST /v1/login and keeps the token for the server.
// Throws SignInRefused with the server's message when it refuses the user
// or password (or throttles), RemoteError when it cannot be reached.
Account sign_in(const std::string &computer_name, const std::string &user, const std::string &password);
// Signs out (best effort) and forgets the token.
void sign_out(const std::string &computer_name);

// The token in use for a server (by server_key), if any.
std::optional<std::string> token_for(const std::string &key);
// Uses a token found elsewhere (a remembered one); its account is not known yet.
void set_token(const std::string &key, const std::string &token);
void forget_token(const std::string &key);
// The account signed in, when known (a sign-in of this process, or asked of the server).
std::optional<Account> known_account(const std::string &key);

// True when the process holds a token for the server and the account behind
// it is a viewer; asks the server (GET /v1/account) when the account is not
// known yet. Without a token (a server without accounts) or when the server
// cannot tell, false: the server refuses what the account may not do anyway.
bool account_is_viewer(const std::string &computer_name);
// The role of the account signed in ("planner", "viewer", "approver"), asked
// of the server as account_is_viewer does; empty without a token or when the
// server cannot tell.
std::string account_role(const std::string &computer_name);

// Asked when the server refuses a call for want of a sign-in, on the thread
// that made the call; `reason` is the server's refusal. Returns true once a
// token is in place (the refused call is then repeated), false when the
// person gave up. Without a hook the refusal is an error.
using SignInHook = std::function<bool(const std::string &computer_name, const std::string &reason)>;
void set_sign_in_hook(SignInHook hook);

// Runs the network part of every remote call. The GUI installs one that runs
// the job on a worker thread while its own thread waits in a local event
// loop; the runner must return only when the job has ended and pass on its
// exception. Without one, calls run on the caller's thread.
using CallRunner = std::function<void(const std::function<void()> &job)>;
void set_call_runner(CallRunner runner);

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
    wire::DataPacket get_records(const std::string &provider, const std::string &command_text,
                                 const wire::ProviderParams &params = {});
    // Link::revalidate_records.
    wire::DataPacket revalidate_records(const std::string &provider, const std::string &command_text,
                                        const wire::ProviderParams &params, const std::string &held_version);
    std::int64_t execute(const std::string &provider, const std::string &command_text);
    wire::ApplyResult apply_updates(const std::string &provider, const wire::Delta &delta, int max_errors);
    void call_method(const std::string &name);
    // A server method with named parameters, answering its result (a JSON
    // object; a method that answers rows gives a data packet's JSON, read
    // with wire::packet_from_json). A refusal is a RemoteError with the
    // server's message, as for the other calls.
    nlohmann::json call_method(const std::string &name, const wire::MethodParams &params);

private:
    Link &link();
    template <class F> auto call(F &&f);
    bool ask_sign_in(const std::string &reason);
    void note_transaction(const std::string &method);

    ServerObject object_;
    std::string computer_name_;
    std::unique_ptr<Link> link_;
    // A transaction begun on the session ("CompanydbTranStart") and not yet
    // committed or rolled back.
    bool transaction_open_ = false;
};

}  // namespace remote
