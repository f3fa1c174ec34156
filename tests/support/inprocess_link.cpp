#include "inprocess_link.h"

#include <exception>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

namespace remote {

namespace {

// Runs one server call; a server error reaches the caller as the one error
// type of remote calls, with the message the HTTP front end answers (the
// database's own words replaced as for planners). `gone` is set
// when the server no longer holds the session.
template <class F> auto server_call(F &&f, bool *gone = nullptr)
{
    try {
        return f();
    } catch (const appserver::ServerError &e) {
        if (gone && e.code() && std::string_view(e.code()) == contract::error::kSessionGone) {
            *gone = true;
            throw SessionGone(e.what());
        }
        throw RemoteError(e.planner_message());
    } catch (const RemoteError &) {
        throw;
    } catch (const std::exception &e) {
        // Not one of the server's own answers; still one error type for the caller.
        throw RemoteError(std::string("the application server failed: ") + e.what());
    }
}

class InProcessLink final : public Link {
public:
    InProcessLink(appserver::AppServer &server, const ServerObject &object) : server_(server)
    {
        session_ = server_call([&] { return server_.open_session(appserver::Caller{}, object.prog_id, object.class_id); });
    }

    ~InProcessLink() override
    {
        if (gone_) return;
        try {
            server_.close_session(appserver::Caller{}, session_);
        } catch (...) {
            // Already closed by the server (idle timeout): nothing to end.
        }
    }

    wire::DataPacket get_records(const std::string &provider, const std::string &command_text) override
    {
        return get_records(provider, command_text, {});
    }

    wire::DataPacket get_records(const std::string &provider, const std::string &command_text,
                                 const wire::ProviderParams &params) override
    {
        return server_call(
            [&] { return server_.get_records(appserver::Caller{}, session_, provider, command_text, params); },
            &gone_);
    }

    wire::DataPacket revalidate_records(const std::string &provider, const std::string &command_text,
                                        const wire::ProviderParams &params, const std::string &held_version) override
    {
        return server_call(
            [&] {
                return server_.get_records(appserver::Caller{}, session_, provider, command_text, params, held_version);
            },
            &gone_);
    }

    std::int64_t execute(const std::string &provider, const std::string &command_text) override
    {
        return server_call([&] { return server_.execute(appserver::Caller{}, session_, provider, command_text); }, &gone_);
    }

    wire::ApplyResult apply_updates(const std::string &provider, const wire::Delta &delta,
                                    int max_errors) override
    {
        return server_call([&] { return server_.apply(appserver::Caller{}, session_, provider, delta, max_errors); }, &gone_);
    }

    void call_method(const std::string &name) override
    {
        server_call([&] {
            server_.call_method(appserver::Caller{}, session_, name);
            return 0;
        }, &gone_);
    }

    nlohmann::json call_method(const std::string &name, const wire::MethodParams &params) override
    {
        // Through its text, as HTTP carries it: what reaches the caller is
        // what a client of the server reads.
        return server_call(
            [&] { return wire::parse_json(server_.call_method(appserver::Caller{}, session_, name, params).dump()); },
            &gone_);
    }

    bool broken() const override { return gone_; }

private:
    appserver::AppServer &server_;
    std::string session_;
    bool gone_ = false;
};

}  // namespace

LinkFactory inprocess_link_factory(appserver::AppServer &server)
{
    // The computer name has no meaning in this process: every connection
    // reaches the one server given here.
    return [&server](const ServerObject &object, const std::string &) -> std::unique_ptr<Link> {
        return std::make_unique<InProcessLink>(server, object);
    };
}

}  // namespace remote
