// Test helpers around the application server: a throwaway database (SQLite
// file or fresh PostgreSQL database), direct SQL on it, and a running
// vendrix-server process on a free loopback port.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// A SQLite database in a temporary file with the schema created (and the demo
// data loaded when demo is set). The file is removed in the destructor.
class SqliteDb {
public:
    explicit SqliteDb(bool demo = false);
    ~SqliteDb();
    SqliteDb(const SqliteDb &) = delete;
    SqliteDb &operator=(const SqliteDb &) = delete;
    std::string connection_string() const;  // "sqlite3://db=/tmp/..."
    const std::string &file() const { return file_; }

private:
    std::string file_;
};

// A fresh PostgreSQL database on the cluster named by the environment
// variable SALEPLAN_TEST_PG (a SOCI connection string to a superuser, e.g.
// "postgresql://host=127.0.0.1 port=54329 user=postgres dbname=postgres"),
// initialised like SqliteDb. Dropped in the destructor.
class PgDb {
public:
    // True when SALEPLAN_TEST_PG is set; tests GTEST_SKIP otherwise.
    static bool available();
    explicit PgDb(bool demo = false);
    ~PgDb();
    PgDb(const PgDb &) = delete;
    PgDb &operator=(const PgDb &) = delete;
    std::string connection_string() const { return connection_string_; }
    const std::string &name() const { return name_; }

private:
    std::string admin_;
    std::string name_;
    std::string connection_string_;
};

// Runs one statement as it stands (no dialect adaptation). Throws on error.
void exec_sql(const std::string &connection_string, const std::string &sql);
// Runs a query; every value as text: "" for null, numbers in general format
// (12, not 12.0).
std::vector<std::vector<std::string>> query_sql(const std::string &connection_string, const std::string &sql);

// The built vendrix-server, started on a free loopback port with
// --database connection_string and extra_args, ready once /v1/health
// answers (throws with the server's output if it does not come up). Stopped
// (SIGTERM, then SIGKILL) in the destructor.
class ServerProcess {
public:
    explicit ServerProcess(const std::string &connection_string, std::vector<std::string> extra_args = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;
    int port() const { return port_; }
    std::string computer_name() const;  // "127.0.0.1:PORT"
    pid_t pid() const { return pid_; }
    // What the server wrote to standard error so far.
    std::string output() const;

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string log_file_;
};

// Path of the built vendrix-server executable.
std::string server_executable();

}  // namespace testsupport
