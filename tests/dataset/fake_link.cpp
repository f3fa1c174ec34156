#include "fake_link.h"

#include <algorithm>

namespace dataset_test {

namespace {

class FakeLink : public remote::Link {
public:
    explicit FakeLink(FakeServer &server) : server_(server) {}

    wire::DataPacket get_records(const std::string &provider, const std::string &command_text) override
    {
        return get_records(provider, command_text, {});
    }

    wire::DataPacket get_records(const std::string &provider, const std::string &command_text,
                                 const wire::ProviderParams &params) override
    {
        record("get", provider, command_text);
        server_.calls.back().params = params;
        auto it = server_.packets.find(provider + "|" + command_text);
        if (it == server_.packets.end()) it = server_.packets.find(provider + "|");
        if (it == server_.packets.end()) throw remote::RemoteError("no data for " + provider + ": " + command_text);
        return it->second;
    }

    wire::DataPacket revalidate_records(const std::string &provider, const std::string &command_text,
                                        const wire::ProviderParams &params, const std::string &held) override
    {
        wire::DataPacket p = get_records(provider, command_text, params);
        server_.calls.back().held = held;
        if (!held.empty() && p.version == held) {
            wire::DataPacket current;
            current.current = true;
            current.version = held;
            return current;
        }
        return p;
    }

    std::int64_t execute(const std::string &provider, const std::string &command_text) override
    {
        record("execute", provider, command_text);
        return 1;
    }

    wire::ApplyResult apply_updates(const std::string &provider, const wire::Delta &delta, int max_errors) override
    {
        record("apply", provider, {});
        server_.calls.back().delta = delta;
        server_.calls.back().max_errors = max_errors;
        wire::ApplyResult r = server_.next_apply_result;
        server_.next_apply_result = {};
        return r;
    }

    void call_method(const std::string &name) override { record("method", name, {}); }

private:
    void record(const std::string &kind, const std::string &provider, const std::string &text)
    {
        if (server_.fail_next_call) {
            server_.fail_next_call = false;
            throw remote::RemoteError("cannot reach the application server");
        }
        server_.calls.push_back(FakeServer::Call{kind, provider, text, {}, 0, {}, {}});
    }
    FakeServer &server_;
};

}  // namespace

int FakeServer::count(const std::string &kind) const
{
    return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const Call &c) { return c.kind == kind; }));
}

FakeLinkScope::FakeLinkScope(FakeServer &server)
{
    remote::set_link_factory([&server](const remote::ServerObject &, const std::string &) {
        return std::make_unique<FakeLink>(server);
    });
}

FakeLinkScope::~FakeLinkScope() { remote::set_link_factory({}); }

wire::DataPacket make_packet(std::vector<wire::FieldDef> fields, std::vector<wire::Row> rows,
                             std::vector<wire::RowId> ids)
{
    wire::DataPacket p;
    p.fields = std::move(fields);
    p.rows = std::move(rows);
    p.row_ids = std::move(ids);
    return p;
}

}  // namespace dataset_test
