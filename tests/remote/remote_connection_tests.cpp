// The remote connection without a network: computer names, the lazy
// session, the busy hook and the link factory.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "contract.h"
#include "remote_connection.h"

static_assert(remote::kDefaultPort == contract::kDefaultPort,
              "the module and the server must agree on the default port");

namespace {

using remote::Endpoint;
using remote::parse_computer_name;
using remote::RemoteError;

void expect_endpoint(const std::string &name, const std::string &host, int port)
{
    SCOPED_TRACE("computer name \"" + name + "\"");
    Endpoint ep = parse_computer_name(name);
    EXPECT_EQ(ep.host, host);
    EXPECT_EQ(ep.port, port);
}

TEST(ComputerName, EmptyMeansThisMachineAtTheDefaultPort)
{
    expect_endpoint("", "127.0.0.1", 7411);
    expect_endpoint("   ", "127.0.0.1", 7411);
}

TEST(ComputerName, HostAloneTakesTheDefaultPort)
{
    expect_endpoint("appsrv", "appsrv", 7411);
    expect_endpoint("10.1.2.3", "10.1.2.3", 7411);
    expect_endpoint(" appsrv.example.com ", "appsrv.example.com", 7411);
}

TEST(ComputerName, HostAndPortAsGiven)
{
    expect_endpoint("appsrv:8080", "appsrv", 8080);
    expect_endpoint("127.0.0.1:1", "127.0.0.1", 1);
    expect_endpoint("127.0.0.1:65535", "127.0.0.1", 65535);
    expect_endpoint(":9000", "127.0.0.1", 9000);
}

TEST(ComputerName, Ipv6InBrackets)
{
    expect_endpoint("[::1]:7500", "::1", 7500);
    expect_endpoint("[::1]", "::1", 7411);
    expect_endpoint("[fe80::1]:80", "fe80::1", 80);
    expect_endpoint("::1", "::1", 7411);
}

TEST(ComputerName, BadPortsAreRefusedWithTheNameInTheMessage)
{
    for (const char *bad : {"host:", "host:abc", "host:0", "host:65536", "host:-1", "host:80x", "host:99999999999",
                            "[::1]:", "[::1]:x"}) {
        SCOPED_TRACE(bad);
        try {
            parse_computer_name(bad);
            ADD_FAILURE() << "accepted";
        } catch (const RemoteError &e) {
            EXPECT_NE(std::string(e.what()).find(std::string("计算机名“") + bad + "”"), std::string::npos) << e.what();
        }
    }
}

TEST(ComputerName, MalformedBracketsAreRefused)
{
    for (const char *bad : {"[::1", "[]:80", "[::1]80"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(parse_computer_name(bad), RemoteError);
    }
}

// A link that records what it is asked and fails on request.
struct Log {
    std::vector<std::string> events;
    int opened = 0;
    int closed = 0;
    bool fail_calls = false;
    bool fail_open = false;
    bool break_after_call = false;
    int expire_calls = 0;  // the next calls find the session closed by the server
};

class FakeLink : public remote::Link {
public:
    explicit FakeLink(Log &log) : log_(log) { ++log_.opened; }
    ~FakeLink() override { ++log_.closed; }

    wire::DataPacket get_records(const std::string &provider, const std::string &command_text) override
    {
        step("records " + provider + " " + command_text);
        wire::DataPacket p;
        p.fields = {{"N", wire::FieldType::Integer, 0}};
        p.rows = {{std::int64_t{7}}};
        return p;
    }
    std::int64_t execute(const std::string &provider, const std::string &command_text) override
    {
        step("execute " + provider + " " + command_text);
        return 3;
    }
    wire::ApplyResult apply_updates(const std::string &provider, const wire::Delta &delta, int max_errors) override
    {
        step("apply " + provider + " " + std::to_string(delta.size()) + " " + std::to_string(max_errors));
        return {1, {{std::int64_t{5}, "changed by someone else"}}};
    }
    void call_method(const std::string &name) override { step("method " + name); }
    bool broken() const override { return broken_; }

private:
    void step(const std::string &event)
    {
        log_.events.push_back(event);
        if (log_.break_after_call) broken_ = true;
        if (log_.fail_calls) throw RemoteError("refused: " + event);
        if (log_.expire_calls > 0) {
            --log_.expire_calls;
            broken_ = true;
            throw remote::SessionGone("unknown session \"abc\"");
        }
    }
    Log &log_;
    bool broken_ = false;
};

class RemoteConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        remote::set_link_factory([this](const remote::ServerObject &object, const std::string &computer_name) {
            factory_calls.push_back(object.prog_id + "@" + computer_name);
            if (log.fail_open) throw RemoteError("cannot open");
            return std::make_unique<FakeLink>(log);
        });
        remote::set_busy_hook([this](bool busy) { busy_events.push_back(busy); });
    }
    void TearDown() override
    {
        remote::set_link_factory({});
        remote::set_busy_hook({});
    }

    Log log;
    std::vector<std::string> factory_calls;
    std::vector<bool> busy_events;
};

TEST_F(RemoteConnectionTest, ConnectsOnFirstCallAndKeepsOneSession)
{
    remote::RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name("appsrv:7500");
    EXPECT_FALSE(conn.connected());
    EXPECT_EQ(log.opened, 0);

    EXPECT_EQ(conn.get_records("dsp_temp", "select 1").rows.at(0).at(0), wire::Value(std::int64_t{7}));
    EXPECT_TRUE(conn.connected());
    EXPECT_EQ(conn.execute("dsp_temp", "delete x"), 3);
    conn.call_method("CompanydbTranStart");
    auto result = conn.apply_updates("dsp_temp", wire::Delta(2), 0);
    EXPECT_EQ(result.error_count, 1);

    EXPECT_EQ(log.opened, 1);
    EXPECT_EQ(factory_calls, (std::vector<std::string>{"VendrixServer.CoCompanyInfo@appsrv:7500"}));
    EXPECT_EQ(log.events, (std::vector<std::string>{"records dsp_temp select 1", "execute dsp_temp delete x",
                                                    "method CompanydbTranStart", "apply dsp_temp 2 0"}));
}

TEST_F(RemoteConnectionTest, ALinkThatCannotPassParametersRefusesThemInsteadOfDroppingThem)
{
    // FakeLink knows only the call without parameters: rows of every month
    // must not come back as if they were the month's.
    remote::RemoteConnection conn(remote::cust_object());
    std::string m;
    try {
        conn.get_records("dsp_xstyzb02cys", "", {{"NYUE00", "202612"}});
    } catch (const RemoteError &e) {
        m = e.what();
    }
    EXPECT_NE(m.find("cannot pass parameters to provider dsp_xstyzb02cys"), std::string::npos) << m;
    EXPECT_TRUE(log.events.empty());
    EXPECT_EQ(conn.get_records("dsp_xstyzb02cys", "", {}).rows.size(), 1u);
}

TEST_F(RemoteConnectionTest, ChangingTheComputerNameClosesTheSession)
{
    remote::RemoteConnection conn(remote::cust_object());
    conn.call_method("m");
    conn.set_computer_name("");  // unchanged: the session stays
    EXPECT_TRUE(conn.connected());
    EXPECT_EQ(log.closed, 0);

    conn.set_computer_name("other");
    EXPECT_FALSE(conn.connected());
    EXPECT_EQ(log.closed, 1);
    conn.call_method("m");
    EXPECT_EQ(log.opened, 2);
    EXPECT_EQ(factory_calls.back(), "VendrixServer.CoCustObj@other");
}

TEST_F(RemoteConnectionTest, ReleasingTheConnectionClosesItsSession)
{
    {
        remote::RemoteConnection conn(remote::cust_object());
        conn.call_method("m");
        EXPECT_EQ(log.closed, 0);
    }
    EXPECT_EQ(log.closed, 1);

    remote::RemoteConnection never_used(remote::cust_object());
    never_used.close();
    EXPECT_EQ(log.opened, 1);
}

TEST_F(RemoteConnectionTest, AFailedCallKeepsTheSessionButABrokenLinkIsReplaced)
{
    remote::RemoteConnection conn(remote::company_info_object());
    log.fail_calls = true;
    EXPECT_THROW(conn.execute("dsp_temp", "bad"), RemoteError);
    EXPECT_TRUE(conn.connected());
    log.fail_calls = false;
    conn.execute("dsp_temp", "good");
    EXPECT_EQ(log.opened, 1);

    // A link that lost its connection: the next call opens a fresh session.
    log.break_after_call = true;
    conn.execute("dsp_temp", "last on the old link");
    log.break_after_call = false;
    conn.execute("dsp_temp", "first on the new link");
    EXPECT_EQ(log.opened, 2);
    EXPECT_EQ(log.closed, 1);
}

TEST_F(RemoteConnectionTest, BusyHookBracketsEveryCall)
{
    remote::RemoteConnection conn(remote::company_info_object());
    conn.get_records("p", "");
    conn.execute("p", "x");
    conn.apply_updates("p", {}, 0);
    conn.call_method("m");
    EXPECT_EQ(busy_events, (std::vector<bool>{true, false, true, false, true, false, true, false}));
}

TEST_F(RemoteConnectionTest, BusyHookEndsWhenTheCallOrTheConnectFails)
{
    remote::RemoteConnection conn(remote::company_info_object());
    log.fail_open = true;
    EXPECT_THROW(conn.get_records("p", ""), RemoteError);
    EXPECT_EQ(busy_events, (std::vector<bool>{true, false}));
    EXPECT_FALSE(conn.connected());

    log.fail_open = false;
    log.fail_calls = true;
    busy_events.clear();
    EXPECT_THROW(conn.call_method("m"), RemoteError);
    EXPECT_THROW(conn.apply_updates("p", {}, 0), RemoteError);
    EXPECT_EQ(busy_events, (std::vector<bool>{true, false, true, false}));
}

TEST_F(RemoteConnectionTest, AFactoryThatGivesNoLinkIsAnError)
{
    remote::set_link_factory([](const remote::ServerObject &, const std::string &) { return nullptr; });
    remote::RemoteConnection conn(remote::cust_object());
    try {
        conn.call_method("m");
        FAIL() << "no error";
    } catch (const RemoteError &e) {
        EXPECT_NE(std::string(e.what()).find("VendrixServer.CoCustObj"), std::string::npos);
    }
    EXPECT_FALSE(conn.connected());
}

TEST(ServerObjects, NamesAndClassIds)
{
    EXPECT_EQ(remote::company_info_object().prog_id, contract::kCompanyInfoObject);
    EXPECT_EQ(remote::company_info_object().class_id, contract::kCompanyInfoClassId);
    EXPECT_EQ(remote::cust_object().prog_id, contract::kCustObject);
    EXPECT_EQ(remote::cust_object().class_id, contract::kCustClassId);
}

}  // namespace

TEST_F(RemoteConnectionTest, ASessionClosedWhileIdleIsReopenedAndTheCallRepeatedOnce)
{
    remote::RemoteConnection conn(remote::company_info_object());
    conn.get_records("dsp_temp", "select 1");
    log.expire_calls = 1;
    EXPECT_EQ(conn.execute("dsp_temp", "delete x"), 3);
    EXPECT_EQ(log.opened, 2);
    EXPECT_EQ(log.events, (std::vector<std::string>{"records dsp_temp select 1", "execute dsp_temp delete x",
                                                    "execute dsp_temp delete x"}));
    // Busy exactly once around the call, repeat included.
    EXPECT_EQ(busy_events, (std::vector<bool>{true, false, true, false}));

    // Repeated once only: a second refusal is passed on.
    log.expire_calls = 2;
    EXPECT_THROW(conn.get_records("dsp_temp", "select 2"), RemoteError);
    EXPECT_EQ(log.opened, 3);
}

TEST_F(RemoteConnectionTest, ASessionLostInsideATransactionIsReportedAndNotRepeated)
{
    remote::RemoteConnection conn(remote::company_info_object());
    conn.call_method(remote::kTranStartMethod);
    log.expire_calls = 1;
    try {
        conn.execute("dsp_temp", "delete x");
        FAIL() << "the call went on without its transaction";
    } catch (const RemoteError &e) {
        EXPECT_NE(std::string(e.what()).find("未提交的事务已撤销"), std::string::npos) << e.what();
    }
    EXPECT_EQ(log.opened, 1);
    // The roll-back that follows goes to a new session; after it, an expired
    // session is reopened again.
    conn.call_method(remote::kRollbackMethod);
    EXPECT_EQ(log.opened, 2);
    conn.call_method(remote::kTranStartMethod);
    conn.call_method(remote::kTranCommitMethod);
    log.expire_calls = 1;
    EXPECT_EQ(conn.execute("dsp_temp", "delete y"), 3);
    EXPECT_EQ(log.opened, 3);
}
