// What the form tests share: a seeded database behind an in-process
// application server (every remote call counted), a clean module state, and
// the main form run modally the way the entry point runs it, with the test's
// steps running inside its modal loop.
#pragma once

#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app_server.h"
#include "server_fixture.h"
#include "test_hooks.h"

class TFm_saleplan;

namespace formtest {

// What SeededServer::plan_months() holds for an open of every month.
inline const std::string kEveryMonth = "(every month)";

// This month's key, last month's and the month before (months of the seed).
std::string this_month();
std::string last_month();
std::string month_before_last();

// The seed: departments 01 东区 (salesmen 0007 甲, 0008 乙; 0009 丙 is no
// visit-salesman), 02 西区 (0010 丁), 03 南区 (no salesmen), and the excluded
// or closed HZ, 0F, 04; department plans of this month for 01 (indicators 1
// 卷烟销量 100, 2 新品铺货 50, 3 终端陈列 40) and 02 (1 卷烟销量 80), and of
// last month for 01 (1 卷烟销量 90); sales indicators for this month and last
// month; salesman plans of this month: 0007 (1: 10, 2: 5, 3: 0), 0008 (1: 30,
// 2: 20); of last month: 0007 (1: 9).
class SeededServer {
public:
    SeededServer();
    ~SeededServer();
    SeededServer(const SeededServer &) = delete;
    SeededServer &operator=(const SeededServer &) = delete;

    std::string connection_string() const { return db_.connection_string(); }
    appserver::AppServer &server() { return *server_; }
    void exec(const std::string &sql);
    std::vector<std::vector<std::string>> query(const std::string &sql);
    // One value of a query, "" when there is no row.
    std::string scalar(const std::string &sql);

    // Remote calls since the last reset, by kind: "records:PROVIDER",
    // "execute:PROVIDER", "apply:PROVIDER", "method:NAME"; and of the records
    // calls, those answered that the rows held are current (none moved):
    // "current:PROVIDER".
    int calls(const std::string &kind) const;
    int total_calls() const;
    void reset_calls();
    // Command texts sent, in order, with their kind.
    const std::vector<std::pair<std::string, std::string>> &log() const { return *log_; }
    // The month (NYUE00) each open of the plan provider asked for, in order;
    // kEveryMonth for an open without one.
    const std::vector<std::string> &plan_months() const { return *plan_months_; }
    // Makes the next calls of a kind fail with a server error; 0 stops it.
    void fail_next(const std::string &kind, int count = 1);

private:
    testsupport::SqliteDb db_;
    std::unique_ptr<appserver::AppServer> server_;
    std::shared_ptr<std::map<std::string, int>> counts_;
    std::shared_ptr<std::vector<std::pair<std::string, std::string>>> log_;
    std::shared_ptr<std::map<std::string, int>> failures_;
    std::shared_ptr<std::vector<std::string>> plan_months_;
};

// Empties the module state as a freshly loaded module has it, and points the
// settings reader at a file that does not exist (no site settings).
void reset_module_state();

// Runs the main form modally as the entry point does, with the open mode
// given, and runs `steps` inside its modal loop once the form has shown.
// The steps end the run (the exit button) or leave the form open for the
// hooks to close. Messages and modal windows go through `hooks`.
void run_main_form(ui::testing::Hooks &hooks, const std::function<void(TFm_saleplan *)> &steps,
                   const char *open_mode = "");

// The items of a combo box and the grid's rows as the user sees them.
std::vector<std::string> rows_in_view(const std::string &field);

}  // namespace formtest
