#include "server_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <httplib.h>

#include "app_server.h"
#include "database.h"

namespace testsupport {

namespace {

// A name no other test process uses at the same time.
std::string unique_suffix()
{
    static std::atomic<int> counter{0};
    static std::mt19937 engine{std::random_device{}()};
    return std::to_string(::getpid()) + "_" + std::to_string(++counter) + "_" + std::to_string(engine() % 1000000);
}

int free_loopback_port()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("cannot create a socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot find a free loopback port");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace

std::string server_executable() { return VENDRIX_SERVER_PATH; }

SqliteDb::SqliteDb(bool demo)
{
    file_ = (std::filesystem::temp_directory_path() / ("saleplan-test-" + unique_suffix() + ".db")).string();
    appserver::init_database(connection_string(), demo);
}

SqliteDb::~SqliteDb()
{
    std::error_code ec;
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(file_ + suffix, ec);
}

std::string SqliteDb::connection_string() const { return "sqlite3://db=" + file_; }

bool PgDb::available()
{
    const char *v = std::getenv("SALEPLAN_TEST_PG");
    return v && *v;
}

PgDb::PgDb(bool demo)
{
    if (!available()) throw std::runtime_error("SALEPLAN_TEST_PG is not set");
    admin_ = std::getenv("SALEPLAN_TEST_PG");
    name_ = "saleplan_test_" + unique_suffix();
    appserver::Connection(admin_).run("CREATE DATABASE " + name_);
    // The same connection string with this database in place of the admin one.
    const auto at = admin_.find("dbname=");
    if (at == std::string::npos) {
        connection_string_ = admin_ + " dbname=" + name_;
    } else {
        auto end = admin_.find(' ', at);
        connection_string_ = admin_.substr(0, at) + "dbname=" + name_ +
                             (end == std::string::npos ? std::string() : admin_.substr(end));
    }
    try {
        appserver::init_database(connection_string_, demo);
    } catch (...) {
        appserver::Connection(admin_).run("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
        throw;
    }
}

PgDb::~PgDb()
{
    try {
        appserver::Connection(admin_).run("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    } catch (...) {
        // The cluster is thrown away at the end of the run anyway.
    }
}

void exec_sql(const std::string &connection_string, const std::string &sql)
{
    appserver::Connection(connection_string).run(sql);
}

std::vector<std::vector<std::string>> query_sql(const std::string &connection_string, const std::string &sql)
{
    auto result = appserver::Connection(connection_string).run(sql);
    std::vector<std::vector<std::string>> rows;
    for (const auto &row : result.packet.rows) {
        std::vector<std::string> texts;
        for (const auto &v : row) texts.push_back(wire::value_to_text(v));
        rows.push_back(std::move(texts));
    }
    return rows;
}

ServerProcess::ServerProcess(const std::string &connection_string, std::vector<std::string> extra_args)
{
    std::string last_output;
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = free_loopback_port();
        log_file_ = (std::filesystem::temp_directory_path() / ("vendrix-server-" + unique_suffix() + ".log")).string();
        std::vector<std::string> args = {server_executable(), "--listen", "127.0.0.1:" + std::to_string(port_),
                                         "--database", connection_string};
        args.insert(args.end(), extra_args.begin(), extra_args.end());

        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("cannot start vendrix-server");
        if (pid_ == 0) {
            std::vector<char *> argv;
            for (auto &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            FILE *log = std::fopen(log_file_.c_str(), "w");
            if (log) {
                ::dup2(fileno(log), STDOUT_FILENO);
                ::dup2(fileno(log), STDERR_FILENO);
            }
            ::execv(argv[0], argv.data());
            std::_Exit(127);
        }

        // Ready when /v1/health answers; given up when the process ends.
        httplib::Client client("127.0.0.1", port_);
        client.set_connection_timeout(1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (auto res = client.Get("/v1/health"); res && res->status == 200) return;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        last_output = output();
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        std::filesystem::remove(log_file_);
        if (last_output.find("cannot listen") == std::string::npos) break;  // not a port taken meanwhile
    }
    throw std::runtime_error("vendrix-server did not come up: " + last_output);
}

ServerProcess::~ServerProcess()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    std::error_code ec;
    std::filesystem::remove(log_file_, ec);
}

std::string ServerProcess::computer_name() const { return "127.0.0.1:" + std::to_string(port_); }

std::string ServerProcess::output() const
{
    std::ifstream in(log_file_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace testsupport
