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
// variable SALEPLAN_TEST_PG (a connection string to a superuser, e.g.
// "postgresql://host=127.0.0.1 port=54329 user=postgres dbname=postgres"),
// initialised like SqliteDb, with a server role of its own made by --init's
// code (least privilege, a random password). Dropped in the destructor.
// connection_string() is the superuser's (for setting up data); a server
// started on it connects as the server role.
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
    // The server role: its name, the connection string without and with its
    // password, and a file holding the password (--database-password-file).
    const std::string &server_role() const { return role_; }
    std::string server_connection_string() const { return server_cs_; }
    std::string server_connection_string_with_password() const;
    const std::string &server_password_file() const { return password_file_; }
    const std::string &server_password() const { return password_; }

private:
    std::string admin_;
    std::string name_;
    std::string connection_string_;
    std::string role_, server_cs_, password_, password_file_;
};

// The connection string a server should use for a test database: a PgDb's
// server role (with its password) for its superuser connection string, the
// string itself otherwise.
std::string server_connection_for(const std::string &connection_string);

// Runs one statement as it stands (no dialect adaptation). Throws on error.
void exec_sql(const std::string &connection_string, const std::string &sql);
// Runs a query; every value as text: "" for null, numbers in general format
// (12, not 12.0).
std::vector<std::vector<std::string>> query_sql(const std::string &connection_string, const std::string &sql);

// The built vendrix-server, started on a free loopback port with
// --database connection_string and extra_args, ready once /v1/health
// answers at all (throws with the server's output if it does not come up).
// With --tls-cert among the arguments it is asked over HTTPS. A PgDb's
// connection string is replaced by its server role's, with the password
// passed in a file. Stopped (SIGTERM, then SIGKILL) in the destructor.
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
    // The arguments it was started with (argv[1...]).
    const std::vector<std::string> &arguments() const { return args_; }

private:
    std::vector<std::string> args_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string log_file_;
};

// Path of the built vendrix-server executable.
std::string server_executable();

// A throwaway self-signed certificate and key for 127.0.0.1 and localhost,
// made with openssl in a temporary folder removed in the destructor.
class TlsFiles {
public:
    TlsFiles();
    ~TlsFiles();
    TlsFiles(const TlsFiles &) = delete;
    TlsFiles &operator=(const TlsFiles &) = delete;
    const std::string &cert() const { return cert_; }
    const std::string &key() const { return key_; }

private:
    std::string folder_, cert_, key_;
};

// Adds an account to a database made by --init (what "user add" does).
void add_account(const std::string &connection_string, const std::string &name, const std::string &role,
                 const std::string &password);

}  // namespace testsupport
