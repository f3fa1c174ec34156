// What years of plan history cost the planner and the server: the module's
// real forms driven against a real vendrix-server over loopback HTTP, on
// databases of 20 departments x 10 salesmen x 50 indicators a month with 1
// and with 100 months of history (bench/make_history_db.py makes them).
//
//   history_bench [--months 1,100] [--runs 2] [--fetch-runs 9] [--fetches 20] [--keep DIR]
//
// Each history size runs in a child process of its own, so that the module's
// memory after the actions is that size's alone. The form reaches the server
// through a counting relay on loopback, so the bytes of an action are exactly
// the bytes the server sent back during it (headers included); the fetch
// comparison goes to the server directly. The server's memory is its VmRSS /
// VmHWM after 1 and after N fetches of the plan provider's whole table, each
// on a new connection (as N planners would).
#include <malloc.h>

#include <QApplication>
#include <QDate>
#include <QDialog>
#include <QLabel>
#include <QTableWidget>
#include <QPointer>
#include <QTest>
#include <QThread>

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TDateTimePicker.h"
#include "copy_to_postgres.h"
#include "TFlatComboBox.h"
#include "TdxDBGrid.h"
#include "Unit_dmYearplan.h"
#include "Unit_edit.h"
#include "Unit_saleplan.h"
#include "call_runner.h"
#include "database.h"
#include "module_state.h"
#include "plan_vocabulary.h"
#include "remote_connection.h"
#include "server_fixture.h"
#include "test_hooks.h"
#include "ui.h"
#include "unit_getsetting.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// ---- process figures -------------------------------------------------------

// A "Key:   value kB" line of /proc/PID/status, in kB; -1 when missing.
long status_kb(pid_t pid, const std::string &key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
    return -1;
}

long mem_available_kb()
{
    std::ifstream in("/proc/meminfo");
    std::string key;
    long value = 0;
    std::string unit;
    while (in >> key >> value >> unit)
        if (key == "MemAvailable:") return value;
    return -1;
}

double median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// ---- the child: one history size ------------------------------------------

// A loopback relay in front of the server that counts the bytes the server
// sends back: the module connects to it, and every answer passes through it
// unchanged. One thread per connection; a connection ends when either side
// closes it.
class CountingRelay {
public:
    explicit CountingRelay(int server_port) : server_port_(server_port)
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            throw std::runtime_error("cannot start the counting relay");
        port_ = ntohs(addr.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    ~CountingRelay()
    {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        acceptor_.join();
        for (auto &t : pumps_) t.join();
    }
    int port() const { return port_; }
    long long received() const { return received_.load(); }

private:
    void accept_loop()
    {
        for (;;) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                if (stopping_) return;
                continue;
            }
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(static_cast<uint16_t>(server_port_));
            if (server < 0 || ::connect(server, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
                if (server >= 0) ::close(server);
                ::close(client);
                continue;
            }
            for (int fd : {client, server}) {
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            }
            pumps_.emplace_back([this, client, server] { pump(client, server); });
        }
    }
    void pump(int client, int server)
    {
        std::vector<char> buffer(256 * 1024);
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        while (!stopping_) {
            if (::poll(fds, 2, 200) < 0) break;
            bool done = false;
            for (int i = 0; i < 2 && !done; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
                if (n <= 0) {
                    done = true;
                    break;
                }
                if (i == 1) received_ += n;
                for (ssize_t sent = 0; sent < n;) {
                    const ssize_t w = ::send(fds[1 - i].fd, buffer.data() + sent, n - sent, MSG_NOSIGNAL);
                    if (w <= 0) {
                        done = true;
                        break;
                    }
                    sent += w;
                }
            }
            if (done) break;
        }
        ::close(client);
        ::close(server);
    }

    int server_port_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<long long> received_{0};
    std::thread acceptor_;
    std::vector<std::thread> pumps_;
};

// Records calls and rows delivered, around the real HTTP link.
struct Traffic {
    long records_calls = 0;
    long rows = 0;
};

class CountingLink : public remote::Link {
public:
    CountingLink(std::unique_ptr<remote::Link> inner, Traffic &traffic) : inner_(std::move(inner)), traffic_(traffic) {}
    wire::DataPacket get_records(const std::string &provider, const std::string &text) override
    {
        return get_records(provider, text, {});
    }
    wire::DataPacket get_records(const std::string &provider, const std::string &text,
                                 const wire::ProviderParams &params) override
    {
        auto packet = inner_->get_records(provider, text, params);
        ++traffic_.records_calls;
        traffic_.rows += static_cast<long>(packet.rows.size());
        return packet;
    }
    wire::DataPacket revalidate_records(const std::string &provider, const std::string &text,
                                        const wire::ProviderParams &params, const std::string &held) override
    {
        auto packet = inner_->revalidate_records(provider, text, params, held);
        ++traffic_.records_calls;
        traffic_.rows += static_cast<long>(packet.rows.size());
        return packet;
    }
    std::int64_t execute(const std::string &provider, const std::string &text) override
    {
        return inner_->execute(provider, text);
    }
    wire::ApplyResult apply_updates(const std::string &provider, const wire::Delta &delta, int max_errors) override
    {
        return inner_->apply_updates(provider, delta, max_errors);
    }
    void call_method(const std::string &name) override { inner_->call_method(name); }
    bool broken() const override { return inner_->broken(); }

private:
    std::unique_ptr<remote::Link> inner_;
    Traffic &traffic_;
};

// What a measured step started from.
struct Mark {
    Clock::time_point at;
    long long read;
    Traffic traffic;
};

class Scenario {
public:
    // pg: the PostgreSQL database holding the same rows, which the server
    // then serves (empty: the SQLite file).
    Scenario(const std::string &db_file, const std::string &pg, int runs, int fetch_runs)
        : runs_(runs), fetch_runs_(fetch_runs), db_file_(db_file), pg_(pg),
          server_(pg.empty() ? "sqlite3://db=" + db_file : pg), relay_(server_.port())
    {
        remote::set_link_factory([this](const remote::ServerObject &object, const std::string &computer) {
            return std::make_unique<CountingLink>(remote::make_http_link(object, computer), traffic_);
        });
        using namespace saleplan;
        delete settings_reader;
        settings_reader = new TGETFORMSETTING(QStringLiteral("/nonexistent/mis_system.ini"));
        ui::install_font_substitutions();
        server_name = "127.0.0.1:" + std::to_string(relay_.port());
        load_fonts();
    }

    ~Scenario()
    {
        delete saleplan::dm_yearplan;
        saleplan::dm_yearplan = nullptr;
        remote::set_link_factory({});
    }

    void run_actions()
    {
        for (int run = 0; run < runs_; ++run) {
            std::fprintf(stderr, "  actions, run %d of %d\n", run + 1, runs_);
            one_showing(run + 1 == runs_);
        }
        for (const auto &e : hooks_.errors())
            std::fprintf(stderr, "  the form reported: %s\n", e.text.toUtf8().constData());
        std::printf("errors\t%zu\n", hooks_.errors().size());
    }

    // The plan month's fetch: as the module's dataset does it over HTTP,
    // the month's rows through dsp_temp, and the same queries straight on
    // SQLite (the floor). The three take turns, sample by sample, so that a
    // slower stretch of the machine weighs on each of them alike; each
    // sample's ratio of the dataset's fetch to the floor is reported too.
    void run_fetches(const std::string &db_file)
    {
        std::fprintf(stderr, "  fetches\n");
        // Memory freed by one sample stays with the process for the next:
        // otherwise whether a sample finds its pages mapped or has to fault
        // them in anew depends on when the allocator last gave memory back,
        // which made each line's samples fall in two groups, 60% apart.
        ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
        ::mallopt(M_TRIM_THRESHOLD, 512 << 20);
        const std::string month = month_key(QDate::currentDate());
        saleplan::plan_month = month;  // the month the plan row filter will use
        const std::string columns = "SELECT NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC,ROWID00 "
                                    "FROM XSTYZB02";
        {
            Tdm_yearplan dm;
            dm.set_computer_name(server_.computer_name());  // no relay: the time is the figure here
            // A fetch each time: rows kept under their version would be opened again
            // without moving them, which is the planner actions' figure, not this one.
            dm.cds_xstyzb02.set_keeps_versions(false);
            open_statement(dm.cds_temp, department_statement());  // the session is opened outside the figures
            for (int i = 0; i < fetch_runs_; ++i) {
                dm.cds_xstyzb02.close();
                Mark m = mark();
                open_plan_rows(dm, month);  // as every reload of the plan view opens it
                const double plan_ms = ms_since(m.at);
                emit_fetch("plan provider open over HTTP (module's dataset)", m, dm.cds_xstyzb02.record_count());
                dm.cds_xstyzb02.close();

                m = mark();
                open_statement(dm.cds_temp, month_plan_rows_statement(month));
                emit_fetch("the month's rows over HTTP (dsp_temp)", m, dm.cds_temp.record_count());
                dm.cds_temp.close();

                const double floor_ms = sqlite_fetch(db_file, columns + " WHERE NYUE00='" + month + "' ORDER BY ROWID00",
                                                     "the month's rows straight on SQLite (floor)");
                std::printf("ratio\t%.4f\n", plan_ms / floor_ms);
                std::fflush(stdout);
            }
        }
        for (int i = 0; i < std::min(fetch_runs_, 3); ++i)
            sqlite_fetch(db_file, columns + " ORDER BY ROWID00", "the whole table straight on SQLite");
    }

private:
    // Fontconfig reads its files on the first text laid out; done before
    // anything is measured so the first activation does not pay for it.
    static void load_fonts()
    {
        QLabel label(QStringLiteral("访销部月销售计划管理 0123456789"));
        label.grab();
    }

    long long bytes_read() const { return relay_.received(); }
    Mark mark() const { return {Clock::now(), bytes_read(), traffic_}; }

    void emit_action(const char *name, const Mark &m)
    {
        const double ms = ms_since(m.at);
        std::printf("action\t%s\t%.3f\t%lld\t%ld\t%ld\n", name, ms, bytes_read() - m.read,
                    traffic_.records_calls - m.traffic.records_calls, traffic_.rows - m.traffic.rows);
        std::fflush(stdout);
    }

    void emit_fetch(const char *name, const Mark &m, long rows)
    {
        const double ms = ms_since(m.at);
        std::printf("fetch\t%s\t%.3f\t%lld\t%ld\n", name, ms, bytes_read() - m.read, rows);
        std::fflush(stdout);
    }

    static void choose(TFlatComboBox *combo, int index)
    {
        combo->setFocus();
        const int steps = index - combo->currentIndex();
        const Qt::Key key = steps > 0 ? Qt::Key_Down : Qt::Key_Up;
        for (int i = 0; i < std::abs(steps); ++i) QTest::keyClick(combo, key);
        if (combo->currentIndex() != index) throw std::runtime_error("could not choose a list item");
    }

    static void pick_date(TFm_saleplan *f, const QDate &date)
    {
        f->DateTimePicker1->setDate(date);
        QTest::keyRelease(f->DateTimePicker1, Qt::Key_Right);
    }

    // One showing of the main form: activation, then each action once.
    void one_showing(bool last)
    {
        saleplan::open_mode = "";
        const Mark shown = mark();
        auto *form = new TFm_saleplan(nullptr);
        saleplan::Fm_saleplan = form;
        saleplan::settings_reader->apply_form_settings(form, QStringLiteral("B"));
        hooks_.on_modal([&](QDialog *dialog) {
            auto *f = static_cast<TFm_saleplan *>(dialog);
            emit_action("activation (the form appears)", shown);
            actions(f);
            if (last) {
                std::printf("rss\t%ld\t%ld\n", status_kb(::getpid(), "VmRSS"), status_kb(::getpid(), "VmHWM"));
                std::fflush(stdout);
            }
            f->tbexit->click();
        });
        QPointer<TFm_saleplan> alive(form);
        ui::show_modal(form);
        delete alive.data();
    }

    void actions(TFm_saleplan *f)
    {
        // One keystroke: the first salesman to the second (a keystroke is a change).
        Mark m = mark();
        choose(f->cb_fxy, 1);
        emit_action("salesman change", m);

        // The same change back after another planner changed one row of the
        // month; then once more as every reload fetched before versions.
        another_planner_changes_one_row(f);
        m = mark();
        choose(f->cb_fxy, 0);
        emit_action("salesman change (one row changed meanwhile)", m);
        saleplan::dm_yearplan->cds_xstyzb02.set_keeps_versions(false);
        m = mark();
        choose(f->cb_fxy, 1);
        emit_action("salesman change (full reload, no version)", m);
        saleplan::dm_yearplan->cds_xstyzb02.set_keeps_versions(true);
        m = mark();
        choose(f->cb_fxy, 0);
        choose(f->cb_fxy, 1);  // the version is held again from here
        floor_of_shown_rows(f);

        // The two directions apart: with one month of history the month
        // before is empty, so only the way back is the same work at both sizes.
        m = mark();
        pick_date(f, QDate::currentDate().addMonths(-1));
        emit_action("month change (to last month)", m);
        m = mark();
        pick_date(f, QDate::currentDate());
        emit_action("month change (back to this one)", m);

        m = mark();
        choose(f->cb_fxb, 1);
        emit_action("department change", m);
        m = mark();
        choose(f->cb_fxb, 0);
        emit_action("department change", m);
        choose(f->cb_fxy, 1);  // the department change took its first salesman

        Mark closing{};
        hooks_.on_modal([&](QDialog *editor) {
            emit_action("editor opening", m);
            closing = mark();
            auto *e = qobject_cast<TFm_edit *>(editor);
            if (!e) throw std::runtime_error("编辑 opened no quantity editor");
            e->tbexit->click();  // nothing typed: the editor closes without asking
        });
        m = mark();
        f->tbedit->click();
        emit_action("editor closing", closing);

        count_paints(f);

        // 删除 of the second salesman's month (50 rows on the first showing,
        // none left on later ones), then the reload.
        hooks_.answer(ui::result_ok);
        m = mark();
        f->tbdel->click();
        emit_action("delete and reload", m);
    }

    // The grid's paints per action as the planner's module makes its calls
    // (on a worker thread while the window waits, pumping its events): the
    // salesman change, the month change and back, each followed by the
    // event loop until nothing is left to paint.
    void count_paints(TFm_saleplan *f)
    {
        struct Counter : QObject {
            int paints = 0;
            bool eventFilter(QObject *, QEvent *e) override
            {
                if (e->type() == QEvent::Paint) ++paints;
                return false;
            }
        } counter;
        ui::install_remote_services();
        ui::set_wait_pumps_under_test_hooks(true);
        f->dxDBGrid1->viewport()->installEventFilter(&counter);
        auto settle = [] {
            for (int i = 0; i < 5; ++i) {
                QCoreApplication::processEvents();
                QThread::msleep(2);
            }
        };
        const std::vector<std::pair<const char *, std::function<void()>>> steps = {
            {"salesman change", [&] { choose(f->cb_fxy, 1); }},
            {"month change (to last month)", [&] { pick_date(f, QDate::currentDate().addMonths(-1)); }},
            {"month change (back to this one)", [&] { pick_date(f, QDate::currentDate()); }},
            {"salesman change", [&] { choose(f->cb_fxy, 0); }},
            {"salesman change", [&] { choose(f->cb_fxy, 1); }},  // the second salesman, as 删除 below expects
        };
        for (const auto &[name, step] : steps) {
            settle();
            counter.paints = 0;
            step();
            settle();
            std::printf("paints\t%s\t%d\n", name, counter.paints);
        }
        std::fflush(stdout);
        f->dxDBGrid1->viewport()->removeEventFilter(&counter);
        ui::set_wait_pumps_under_test_hooks(false);
        remote::set_call_runner({});
    }

    // Another planner lowers (or raises) one quantity of another department's
    // salesman in the month shown, through a session of his own.
    void another_planner_changes_one_row(TFm_saleplan *)
    {
        Tdm_yearplan other;
        other.set_computer_name(server_.computer_name());  // no relay: not the planner's traffic
        other.cds_xstyzb02.set_keeps_versions(false);
        open_plan_rows(other, saleplan::plan_month);
        auto &cds = other.cds_xstyzb02;
        for (cds.first(); !cds.eof(); cds.next())
            if (cds.as_string("CKDM00") != saleplan::dept_code) break;
        if (cds.eof()) return;
        const double was = cds.as_float("ZBSL00");
        cds.set_value("ZBSL00", was > 0 ? was - 1 : was + 1);
        cds.post();
        if (cds.apply_updates(0) != 0) throw std::runtime_error("the other planner's change was refused");
    }

    // The floor of a salesman change: the rows shown, straight on SQLite,
    // and one paint of them in a minimal Qt table.
    void floor_of_shown_rows(TFm_saleplan *f)
    {
        const std::string sql = "SELECT XHAO00,ZBMC00,ZBSL00 FROM XSTYZB02 WHERE NYUE00='" + saleplan::plan_month +
                                "' AND CKDM00='" + saleplan::dept_code + "' AND RYDM00='" + saleplan::salesman_code +
                                "' ORDER BY ROWID00";
        QTableWidget table;
        table.resize(f->dxDBGrid1->size());
        table.setColumnCount(3);
        table.show();
        QCoreApplication::processEvents();
        int row = 0;
        auto add = [&](const std::string &a, const std::string &b, const std::string &c) {
            table.setRowCount(row + 1);
            table.setItem(row, 0, new QTableWidgetItem(QString::fromStdString(a)));
            table.setItem(row, 1, new QTableWidgetItem(QString::fromStdString(b)));
            table.setItem(row, 2, new QTableWidgetItem(QString::fromStdString(c)));
            ++row;
        };
        table.setRowCount(0);
        Mark m{};
        if (!pg_.empty()) {
            appserver::Connection db(pg_);  // connected outside the figure, as the server's pool is
            db.run("SELECT 1");
            m = mark();
            db.each_row(sql, {}, [&](wire::Row &r) {
                add(wire::value_to_text(r[0]), wire::value_to_text(r[1]), wire::value_to_text(r[2]));
            });
        } else {
            sqlite3 *db = nullptr;
            sqlite3_open_v2(db_file_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
            m = mark();
            sqlite3_stmt *stmt = nullptr;
            sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                auto text = [&](int c) {
                    const auto *t = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
                    return t ? std::string(t) : std::string();
                };
                add(text(0), text(1), text(2));
            }
            sqlite3_finalize(stmt);
            sqlite3_close(db);
        }
        const double query_ms = ms_since(m.at);
        table.viewport()->repaint();
        std::printf("action\t%s\t%.3f\t0\t0\t%d\n", "floor: the shown rows straight from the database", query_ms, row);
        std::printf("action\t%s\t%.3f\t0\t0\t%d\n", "floor: the same + one paint in a Qt table", ms_since(m.at), row);
        std::fflush(stdout);
    }

    // The query's time, request to rows in memory, in ms.
    double sqlite_fetch(const std::string &db_file, const std::string &sql, const char *name)
    {
        sqlite3 *db = nullptr;
        if (sqlite3_open_v2(db_file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open " + db_file);
        const Mark m = mark();
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
        // The rows as values in memory, as a dataset holds them.
        std::vector<wire::Row> rows;
        const int columns = sqlite3_column_count(stmt);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            wire::Row row;
            row.reserve(columns);
            for (int c = 0; c < columns; ++c) {
                switch (sqlite3_column_type(stmt, c)) {
                case SQLITE_NULL: row.emplace_back(); break;
                case SQLITE_INTEGER: row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(stmt, c))); break;
                case SQLITE_FLOAT: row.emplace_back(sqlite3_column_double(stmt, c)); break;
                default:
                    row.emplace_back(std::string(reinterpret_cast<const char *>(sqlite3_column_text(stmt, c)),
                                                 sqlite3_column_bytes(stmt, c)));
                }
            }
            rows.push_back(std::move(row));
        }
        sqlite3_finalize(stmt);
        const double ms = ms_since(m.at);
        sqlite3_close(db);
        std::printf("fetch\t%s\t%.3f\t0\t%zu\n", name, ms, rows.size());
        std::fflush(stdout);
        return ms;
    }

    int runs_, fetch_runs_;
    std::string db_file_, pg_;
    testsupport::ServerProcess server_;
    CountingRelay relay_;
    Traffic traffic_;
    ui::testing::Hooks hooks_;
};

int run_child(const std::string &db_file, const std::string &pg, int runs, int fetch_runs)
{
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int argc = 1;
    char name[] = "history_bench";
    char *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    try {
        Scenario scenario(db_file, pg, runs, fetch_runs);
        scenario.run_actions();
        if (pg.empty()) scenario.run_fetches(db_file);  // the fetch table compares with SQLite's own query
    } catch (const std::exception &e) {
        std::fprintf(stderr, "history_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}

// ---- the parent ----------------------------------------------------------

struct Samples {
    std::vector<double> ms, bytes, calls, rows;
};

struct SizeResult {
    int months = 0;
    double build_s = 0;
    std::vector<std::string> action_order, fetch_order;
    std::map<std::string, Samples> actions, fetches;
    std::vector<double> fetch_ratios;  // per sample: the dataset's fetch / the floor
    std::map<std::string, std::vector<int>> paints;  // the grid's paints per action, per sample
    long rss_kb = -1, hwm_kb = -1;
    int errors = -1;
    bool ok = false;
};

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> out;
    std::stringstream ss(s);
    std::string part;
    while (std::getline(ss, part, sep)) out.push_back(part);
    return out;
}

std::string self_path() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

std::string shell_quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string make_database(const std::string &dir, int months, double &seconds)
{
    const std::string file = dir + "/history-" + std::to_string(months) + ".db";
    const auto start = Clock::now();
    const std::string cmd = "python3 " + shell_quote(HISTORY_DB_SCRIPT) + " --server " +
                            shell_quote(testsupport::server_executable()) + " --months " + std::to_string(months) +
                            " --out " + shell_quote(file) + " >&2";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("making the database failed: " + cmd);
    seconds = ms_since(start) / 1000;
    return file;
}


SizeResult run_size(const std::string &dir, int months, int runs, int fetch_runs, bool postgresql)
{
    SizeResult r;
    r.months = months;
    std::fprintf(stderr, "history_bench: %d month(s) of history\n", months);
    const std::string db = make_database(dir, months, r.build_s);
    std::unique_ptr<testsupport::PgDb> pg;  // dropped once the child is done
    if (postgresql) {
        const auto start = Clock::now();
        pg = std::make_unique<testsupport::PgDb>();
        copy_to_postgres(db, pg->connection_string());
        r.build_s += ms_since(start) / 1000;
    }
    const std::string cmd = shell_quote(self_path()) + " --child " + shell_quote(db) +
                            (pg ? " --child-pg " + shell_quote(pg->connection_string()) : std::string()) +
                            " --runs " + std::to_string(runs) + " --fetch-runs " + std::to_string(fetch_runs);
    FILE *child = ::popen(cmd.c_str(), "r");
    if (!child) throw std::runtime_error("cannot start " + cmd);
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, child)) {
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        const auto f = split(line, '\t');
        if (f.empty()) continue;
        if ((f[0] == "action" && f.size() == 6) || (f[0] == "fetch" && f.size() == 5)) {
            auto &order = f[0] == "action" ? r.action_order : r.fetch_order;
            auto &map = f[0] == "action" ? r.actions : r.fetches;
            if (!map.count(f[1])) order.push_back(f[1]);
            Samples &s = map[f[1]];
            s.ms.push_back(std::stod(f[2]));
            s.bytes.push_back(std::stod(f[3]));
            if (f[0] == "action") {
                s.calls.push_back(std::stod(f[4]));
                s.rows.push_back(std::stod(f[5]));
            } else {
                s.rows.push_back(std::stod(f[4]));
            }
        } else if (f[0] == "paints" && f.size() == 3) {
            r.paints[f[1]].push_back(std::stoi(f[2]));
        } else if (f[0] == "ratio" && f.size() == 2) {
            r.fetch_ratios.push_back(std::stod(f[1]));
        } else if (f[0] == "rss" && f.size() == 3) {
            r.rss_kb = std::stol(f[1]);
            r.hwm_kb = std::stol(f[2]);
        } else if (f[0] == "errors" && f.size() == 2) {
            r.errors = std::stoi(f[1]);
        }
    }
    const int status = ::pclose(child);
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!r.ok) std::fprintf(stderr, "history_bench: the run at %d month(s) failed\n", months);
    return r;
}

// The server's memory after fetches of the plan provider's whole table.
struct ServerMemory {
    int months = 0;
    long idle_rss = 0;
    std::vector<std::pair<int, std::pair<long, long>>> after;  // fetch n -> (VmRSS, VmHWM) kB
    std::vector<double> ms;
    double body_bytes = 0;
    long rows = 0;
    std::string stopped;
};

ServerMemory measure_server_memory(const std::string &db, int months, int fetches, long cap_mb)
{
    ServerMemory out;
    out.months = months;
    std::fprintf(stderr, "history_bench: server memory, %d fetches at %d month(s)\n", fetches, months);
    testsupport::ServerProcess server("sqlite3://db=" + db);
    out.idle_rss = status_kb(server.pid(), "VmRSS");
    for (int n = 1; n <= fetches; ++n) {
        if (const long rss = status_kb(server.pid(), "VmRSS"); n > 1 && rss > cap_mb * 1024) {
            out.stopped = "stopped before fetch " + std::to_string(n) + ": the server holds over " +
                          std::to_string(cap_mb) + " MB (--server-cap-mb)";
            break;
        }
        if (const long avail = mem_available_kb(); avail >= 0 && avail < 6L * 1024 * 1024) {
            out.stopped = "stopped before fetch " + std::to_string(n) + ": under 6 GiB of memory left on the machine";
            break;
        }
        // A new connection and session each time, as another planner's would be.
        httplib::Client client("127.0.0.1", server.port());
        client.set_read_timeout(300, 0);
        auto opened = client.Post("/v1/sessions", R"({"object":"VendrixServer.CoCustObj"})", "application/json");
        if (!opened || opened->status != 201) throw std::runtime_error("opening a session failed");
        const std::string id = nlohmann::json::parse(opened->body).at("session");
        const auto start = Clock::now();
        auto res = client.Post(("/v1/sessions/" + id + "/providers/dsp_xstyzb02cys/records").c_str(),
                               R"({"commandText":""})", "application/json");
        out.ms.push_back(ms_since(start));
        if (!res || res->status != 200) throw std::runtime_error("the plan provider's records call failed");
        out.body_bytes = static_cast<double>(res->body.size());
        if (n == 1) {
            // Rows are arrays of values, nothing else in the answer is: one "],[" between two rows.
            long rows = 0;
            for (size_t at = res->body.find("],["); at != std::string::npos; at = res->body.find("],[", at + 3)) ++rows;
            out.rows = rows + 1;
        }
        client.Delete(("/v1/sessions/" + id).c_str());
        if (n == 1 || n == 2 || n == 4 || n == 8 || n % 5 == 0 || n == fetches ||
            status_kb(server.pid(), "VmRSS") > cap_mb * 1024)
            out.after.push_back({n, {status_kb(server.pid(), "VmRSS"), status_kb(server.pid(), "VmHWM")}});
        std::fprintf(stderr, "  fetch %d: %.0f ms, server VmRSS %ld MB\n", n, out.ms.back(),
                     status_kb(server.pid(), "VmRSS") / 1024);
    }
    return out;
}

// ---- the report ------------------------------------------------------------

std::string fmt(const char *f, double v)
{
    char b[64];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

std::string size_text(double bytes)
{
    if (bytes < 1024 * 1024) return fmt("%.1f KB", bytes / 1024);
    return fmt("%.1f MB", bytes / 1024 / 1024);
}

std::string ms_text(double ms) { return ms < 10 ? fmt("%.2f ms", ms) : ms < 1000 ? fmt("%.1f ms", ms) : fmt("%.2f s", ms / 1000); }

void print_report(const std::vector<SizeResult> &sizes, const std::vector<ServerMemory> &memory)
{
    std::printf("\nPlanner actions (median of the samples; bytes = what the module read from the server)\n");
    std::printf("%-46s", "action");
    for (const auto &s : sizes) std::printf(" | %-40s", (std::to_string(s.months) + " month(s): time, bytes, calls, rows").c_str());
    if (sizes.size() == 2) std::printf(" | time ratio");
    std::printf("\n");
    if (sizes.empty()) return;
    for (const auto &name : sizes.front().action_order) {
        std::printf("%-46s", name.c_str());
        std::vector<double> medians;
        for (const auto &s : sizes) {
            auto it = s.actions.find(name);
            if (it == s.actions.end()) {
                std::printf(" | %-40s", "-");
                continue;
            }
            const Samples &x = it->second;
            const double ms = median(x.ms);
            medians.push_back(ms);
            std::printf(" | %-40s", (ms_text(ms) + ", " + size_text(median(x.bytes)) + ", " + fmt("%.0f", median(x.calls)) +
                                     ", " + fmt("%.0f", median(x.rows)) + " (n=" + std::to_string(x.ms.size()) + ")")
                                        .c_str());
        }
        if (medians.size() == 2 && medians[0] > 0) std::printf(" | %.1fx", medians[1] / medians[0]);
        std::printf("\n");
    }
    // The reloads that found nothing changed against their floor (the rows
    // shown straight from the database and one paint of them), and the
    // reload after another planner's change against a full reload.
    auto med = [](const SizeResult &s, const char *name) {
        auto it = s.actions.find(name);
        return it == s.actions.end() ? 0.0 : median(it->second.ms);
    };
    for (const auto &s : sizes) {
        const double floor = med(s, "floor: the same + one paint in a Qt table");
        if (floor <= 0) continue;
        std::printf("%-46s", (std::to_string(s.months) + " month(s), against the floor (" + ms_text(floor) + ")").c_str());
        for (const char *name : {"salesman change", "month change (back to this one)", "editor closing"})
            std::printf(" | %s %.1fx", name, med(s, name) / floor);
        const double full = med(s, "salesman change (full reload, no version)");
        if (full > 0)
            std::printf(" | one row changed / full reload %.2fx", med(s, "salesman change (one row changed meanwhile)") / full);
        std::printf("\n");
    }
    for (const auto &s : sizes) {
        std::printf("%-46s", (std::to_string(s.months) + " month(s), the grid's paints per action").c_str());
        for (const auto &[name, counts] : s.paints) {
            std::string list;
            for (int n : counts) list += (list.empty() ? "" : ",") + std::to_string(n);
            std::printf(" | %s: %s", name.c_str(), list.c_str());
        }
        std::printf("\n");
    }
    std::printf("%-46s", "module memory after the actions");
    for (const auto &s : sizes)
        std::printf(" | %-40s", ("VmRSS " + size_text(s.rss_kb * 1024.0) + ", VmHWM " + size_text(s.hwm_kb * 1024.0)).c_str());
    std::printf("\n%-46s", "messages the form reported");
    for (const auto &s : sizes) std::printf(" | %-40s", (s.ok ? std::to_string(s.errors) : std::string("RUN FAILED")).c_str());
    std::printf("\n%-46s", "database built in");
    for (const auto &s : sizes) std::printf(" | %-40s", fmt("%.1f s", s.build_s).c_str());
    std::printf("\n\nThe plan month's fetch, request to rows in memory (median)\n");
    std::printf("%-50s", "fetch");
    for (const auto &s : sizes) std::printf(" | %-30s", (std::to_string(s.months) + " month(s): time, rows").c_str());
    std::printf("\n");
    for (const auto &name : sizes.front().fetch_order) {
        std::printf("%-50s", name.c_str());
        for (const auto &s : sizes) {
            auto it = s.fetches.find(name);
            if (it == s.fetches.end()) {
                std::printf(" | %-30s", "-");
                continue;
            }
            const Samples &x = it->second;
            std::printf(" | %-30s",
                        (ms_text(median(x.ms)) + ", " + fmt("%.0f", median(x.rows))).c_str());
        }
        std::printf("\n");
    }
    std::printf("%-50s", "the dataset's fetch / the floor, sample by sample");
    for (const auto &s : sizes) {
        std::vector<double> r = s.fetch_ratios;
        std::sort(r.begin(), r.end());
        std::printf(" | %-30s", r.empty() ? "-"
                                          : (fmt("median %.2fx", median(r)) + fmt(" (%.2f", r.front()) +
                                             fmt("-%.2f", r.back()) + ", n=" + std::to_string(r.size()) + ")")
                                                .c_str());
    }
    std::printf("\n");
    for (const auto &m : memory) {
        std::printf("\nServer memory, the plan provider's whole table at %d month(s) (%ld rows, %s body, median %s a fetch), "
                    "each fetch on a new connection\n",
                    m.months, m.rows, size_text(m.body_bytes).c_str(), ms_text(median(m.ms)).c_str());
        std::printf("%-22s | %-12s | %-12s\n", "after", "VmRSS", "VmHWM");
        std::printf("%-22s | %-12s | %-12s\n", "start (idle)", size_text(m.idle_rss * 1024.0).c_str(), "");
        for (const auto &[n, kb] : m.after)
            std::printf("%-22s | %-12s | %-12s\n", (std::to_string(n) + (n == 1 ? " fetch" : " fetches")).c_str(),
                        size_text(kb.first * 1024.0).c_str(), size_text(kb.second * 1024.0).c_str());
        if (m.after.size() >= 2 && m.after.front().second.first > 0)
            std::printf("%-22s | %.2fx\n", ("after " + std::to_string(m.after.back().first) + " / after 1").c_str(),
                        double(m.after.back().second.first) / double(m.after.front().second.first));
        if (!m.stopped.empty()) std::printf("(%s)\n", m.stopped.c_str());
    }
}

int usage()
{
    std::fprintf(stderr,
                 "usage: history_bench [--months 1,100] [--runs 2] [--fetch-runs 9] [--fetches 20]\n"
                 "                     [--fetch-months LIST] [--server-cap-mb 8192] [--keep DIR]\n"
                 "  --months LIST        history sizes of the planner actions, in months\n"
                 "  --runs N             showings of the form per size (each runs every action once)\n"
                 "  --fetch-runs N       samples of each line of the month's fetch (the whole table: at most 3)\n"
                 "  --fetches N          large fetches for the server memory; 0 skips it\n"
                 "  --fetch-months LIST  history sizes of the server memory (default: the last of --months)\n"
                 "  --server-cap-mb N    stop the large fetches once the server holds more than this\n"
                 "  --keep DIR           make the databases in DIR and keep them (default: a temporary folder)\n"
                 "  --postgresql         the planner actions on PostgreSQL (the cluster SALEPLAN_TEST_PG names),\n"
                 "                       the same rows copied there; no fetch table, no server memory\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<int> months = {1, 100}, fetch_months;
    int runs = 2, fetch_runs = 9, fetches = 20;
    long cap_mb = 8192;
    std::string keep, child_db, child_pg;
    bool postgresql = false;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            auto next = [&]() -> std::string {
                if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
                return argv[++i];
            };
            if (a == "--months") {
                months.clear();
                for (const auto &m : split(next(), ',')) months.push_back(std::stoi(m));
            } else if (a == "--runs") {
                runs = std::stoi(next());
            } else if (a == "--fetch-runs") {
                fetch_runs = std::stoi(next());
            } else if (a == "--fetches") {
                fetches = std::stoi(next());
            } else if (a == "--fetch-months") {
                for (const auto &m : split(next(), ',')) fetch_months.push_back(std::stoi(m));
            } else if (a == "--server-cap-mb") {
                cap_mb = std::stol(next());
            } else if (a == "--keep") {
                keep = next();
            } else if (a == "--child") {
                child_db = next();
            } else if (a == "--child-pg") {
                child_pg = next();
            } else if (a == "--postgresql") {
                postgresql = true;
            } else {
                return usage();
            }
        }
    } catch (const std::exception &) {
        return usage();
    }
    if (fetch_months.empty() && !months.empty()) fetch_months.push_back(months.back());
    auto bad_size = [](int m) { return m < 1 || m > 1200; };
    if (runs < 1 || fetch_runs < 1 || fetches < 0 || cap_mb < 64 || months.empty() || std::any_of(months.begin(), months.end(), bad_size) ||
        std::any_of(fetch_months.begin(), fetch_months.end(), bad_size))
        return usage();
    if (!child_db.empty()) return run_child(child_db, child_pg, runs, fetch_runs);
    if (postgresql && !testsupport::PgDb::available()) {
        std::fprintf(stderr, "history_bench: --postgresql needs SALEPLAN_TEST_PG (a superuser's connection string)\n");
        return 2;
    }

    std::string dir = keep;
    if (dir.empty()) {
        char tmpl[] = "/tmp/history-bench-XXXXXX";
        if (!::mkdtemp(tmpl)) {
            std::perror("mkdtemp");
            return 1;
        }
        dir = tmpl;
    } else {
        std::filesystem::create_directories(dir);
    }
    const auto start = Clock::now();
    int rc = 0;
    try {
        std::vector<SizeResult> sizes;
        for (int m : months) {
            sizes.push_back(run_size(dir, m, runs, fetch_runs, postgresql));
            if (!sizes.back().ok) rc = 1;
        }
        std::vector<ServerMemory> memory;
        for (int m : fetches > 0 && !postgresql ? fetch_months : std::vector<int>{}) {
            const std::string db = dir + "/history-" + std::to_string(m) + ".db";
            double seconds = 0;
            if (!std::filesystem::exists(db)) make_database(dir, m, seconds);
            memory.push_back(measure_server_memory(db, m, fetches, cap_mb));
        }
        std::printf("database: %s\n\n", postgresql ? "PostgreSQL" : "SQLite");
        print_report(sizes, memory);
        std::printf("\nwhole run: %.0f s, %d run(s) per size\n", ms_since(start) / 1000, runs);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "history_bench: %s\n", e.what());
        rc = 1;
    }
    if (keep.empty()) std::filesystem::remove_all(dir);
    return rc;
}
