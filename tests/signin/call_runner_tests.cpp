// The window stays alive during a remote call: the call runs on a worker
// thread while the GUI thread repaints, and the handler still sees a
// synchronous call with its result or its error, one call at a time.
#include <QApplication>
#include <QCursor>
#include <QPainter>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "call_runner.h"
#include "fake_servers.h"
#include "remote_connection.h"
#include "ui.h"

namespace {

using remote_test::FakeApi;

class PaintCounter : public QWidget {
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent *) override
    {
        ++paints;
        QPainter(this).fillRect(rect(), paints % 2 ? Qt::white : Qt::gray);
    }
};

class CallRunnerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        remote::set_link_factory({});
        remote::set_busy_hook(&ui::set_busy);
        ui::install_remote_services();
    }
    void TearDown() override
    {
        remote::set_call_runner({});
        remote::set_sign_in_hook({});
        remote::set_busy_hook({});
    }
};

// A server that holds every call for a while and counts how many it holds at once.
struct SlowServer {
    FakeApi api;
    std::atomic<int> running{0};
    std::atomic<int> most_at_once{0};
    std::atomic<std::thread::id> handler_thread{};

    explicit SlowServer(std::chrono::milliseconds hold)
    {
        api.set_on_call([this, hold](const httplib::Request &req, httplib::Response &res) {
            const int now = ++running;
            int seen = most_at_once;
            while (now > seen && !most_at_once.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(hold);
            --running;
            if (req.body.find("fail") != std::string::npos)
                FakeApi::answer(res, 422, R"({"error":"ORA-00942: 表或视图不存在"})");
            else
                FakeApi::answer(res, 200, R"({"rowsAffected":7})");
        });
    }
};

TEST_F(CallRunnerTest, TheWindowRepaintsWhileACallIsHeldAndTheCallStaysSynchronous)
{
    SlowServer server(std::chrono::milliseconds(1200));
    PaintCounter window;
    window.resize(200, 100);
    window.show();
    QApplication::processEvents();

    remote::RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name(server.api.computer_name());
    conn.call_method(remote::kTranCommitMethod);  // the session is open; the next call is the held one

    const int paints_before = window.paints;
    bool cursor_waited = false;
    QTimer repaint;
    QObject::connect(&repaint, &QTimer::timeout, &window, [&] {
        window.update();
        if (QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor)
            cursor_waited = true;
    });
    repaint.start(40);

    const auto started = std::chrono::steady_clock::now();
    const std::int64_t rows = conn.execute("dsp_temp", "DELETE XSTYZB02 WHERE 1=0");
    const auto waited = std::chrono::steady_clock::now() - started;
    repaint.stop();

    EXPECT_EQ(rows, 7);
    EXPECT_GE(waited, std::chrono::milliseconds(1200));
    // About one repaint per 40 ms while the server held the call.
    EXPECT_GE(window.paints - paints_before, 10) << "the window did not repaint during the call";
    EXPECT_TRUE(cursor_waited);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(ui::busy_depth(), 0);
}

TEST_F(CallRunnerTest, TheServersRefusalReachesTheHandlerUnchanged)
{
    SlowServer server(std::chrono::milliseconds(100));
    remote::RemoteConnection conn(remote::company_info_object());
    conn.set_computer_name(server.api.computer_name());
    try {
        conn.execute("dsp_temp", "fail");
        FAIL() << "no error";
    } catch (const remote::RemoteError &e) {
        EXPECT_STREQ(e.what(), "ORA-00942: 表或视图不存在");
    }
    EXPECT_EQ(ui::busy_depth(), 0);
}

TEST_F(CallRunnerTest, ACallMadeWhileAnotherIsWaitedForRunsAfterIt)
{
    SlowServer server(std::chrono::milliseconds(500));
    remote::RemoteConnection first(remote::company_info_object());
    remote::RemoteConnection second(remote::cust_object());
    first.set_computer_name(server.api.computer_name());
    second.set_computer_name(server.api.computer_name());
    first.call_method(remote::kTranCommitMethod);
    second.call_method(remote::kTranCommitMethod);

    // A timer that fires during the wait makes a call of its own.
    std::int64_t nested = 0;
    QTimer::singleShot(100, [&] { nested = second.execute("dsp_temp", "nested"); });
    EXPECT_EQ(first.execute("dsp_temp", "outer"), 7);
    EXPECT_EQ(nested, 7);
    EXPECT_EQ(server.most_at_once.load(), 1) << "two calls ran at once";
}

TEST_F(CallRunnerTest, ACallOffTheGuiThreadRunsWhereItWasMade)
{
    SlowServer server(std::chrono::milliseconds(10));
    std::int64_t rows = 0;
    std::thread other([&] {
        remote::RemoteConnection conn(remote::company_info_object());
        conn.set_computer_name(server.api.computer_name());
        rows = conn.execute("dsp_temp", "x");
    });
    other.join();
    EXPECT_EQ(rows, 7);
}

}  // namespace
