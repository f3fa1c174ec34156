#include "remote_connection.h"

#include <charconv>
#include <mutex>

namespace remote {

namespace {

struct Globals {
    LinkFactory factory;
    std::function<void(bool)> busy_hook;
};

Globals &globals()
{
    static Globals g;
    return g;
}

// Tells the busy hook for as long as one call runs.
class BusyScope {
public:
    BusyScope()
    {
        if (globals().busy_hook) globals().busy_hook(true);
    }
    ~BusyScope()
    {
        try {
            if (globals().busy_hook) globals().busy_hook(false);
        } catch (...) {
            // A failing hook must not end the program while an error unwinds.
        }
    }
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;
};

}  // namespace

bool detail::session_gone(const std::string &server_message)
{
    const std::string closed_tail = "has been closed";
    return server_message.starts_with("unknown session ") ||
           (server_message.starts_with("the session ") && server_message.ends_with(closed_tail));
}

const ServerObject &company_info_object()
{
    static const ServerObject o{"VendrixServer.CoCompanyInfo", "{19D455E5-E340-4D1D-9435-4443515DDE6D}"};
    return o;
}

const ServerObject &cust_object()
{
    static const ServerObject o{"VendrixServer.CoCustObj", "{45F5B273-F530-40FE-8074-886EFA4EAF10}"};
    return o;
}

void set_link_factory(LinkFactory factory) { globals().factory = std::move(factory); }

void set_busy_hook(std::function<void(bool)> hook) { globals().busy_hook = std::move(hook); }

RemoteConnection::RemoteConnection(ServerObject object) : object_(std::move(object)) {}

RemoteConnection::~RemoteConnection()
{
    try {
        close();
    } catch (...) {
        // A session that cannot be closed times out on the server.
    }
}

void RemoteConnection::set_computer_name(const std::string &name)
{
    if (name == computer_name_) return;
    close();
    computer_name_ = name;
}

void RemoteConnection::close()
{
    link_.reset();
    transaction_open_ = false;
}

Link &RemoteConnection::link()
{
    // A link that lost its connection is replaced; its session ends with it.
    if (link_ && link_->broken()) close();
    if (!link_) {
        const auto &factory = globals().factory;
        link_ = factory ? factory(object_, computer_name_) : make_http_link(object_, computer_name_);
        if (!link_) throw RemoteError("no connection could be opened to " + object_.prog_id);
    }
    return *link_;
}

template <class F> auto RemoteConnection::call(F &&f)
{
    BusyScope busy;
    try {
        return f(link());
    } catch (const RemoteError &e) {
        // A session the server closed while the form stood idle: the call did
        // not run, so it goes once more on a new session, unless a
        // transaction was open on the lost one.
        if (!detail::session_gone(e.what())) throw;
        if (transaction_open_) {
            close();
            throw RemoteError(std::string("the application server no longer had this session (it had been idle too "
                                          "long, or the server restarted); the open transaction was rolled back: ") +
                              e.what());
        }
        close();
        return f(link());
    }
}

wire::DataPacket RemoteConnection::get_records(const std::string &provider, const std::string &command_text)
{
    return call([&](Link &l) { return l.get_records(provider, command_text); });
}

std::int64_t RemoteConnection::execute(const std::string &provider, const std::string &command_text)
{
    return call([&](Link &l) { return l.execute(provider, command_text); });
}

wire::ApplyResult RemoteConnection::apply_updates(const std::string &provider, const wire::Delta &delta,
                                                  int max_errors)
{
    return call([&](Link &l) { return l.apply_updates(provider, delta, max_errors); });
}

void RemoteConnection::call_method(const std::string &name)
{
    call([&](Link &l) {
        l.call_method(name);
        return 0;
    });
    if (name == kTranStartMethod) transaction_open_ = true;
    if (name == kTranCommitMethod || name == kRollbackMethod) transaction_open_ = false;
}

}  // namespace remote
