#include "server_fixture.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <httplib.h>

#include "app_server.h"
#include "accounts.h"
#include "database_setup.h"
#include "database.h"
#include "schema.h"

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

std::string random_password()
{
    static std::mt19937_64 engine{std::random_device{}()};
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::string out;
    for (int i = 0; i < 24; ++i) out += "abcdefghijkmnpqrstuvwxyzACDEFGHJKLMNPQRTUVWXY34679"[engine() % 50];
    return out;
}

// The same connection string with one key=value replaced (or added).
std::string with_parameter(std::string cs, const std::string &key, const std::string &value)
{
    const auto at = cs.find(key + "=");
    if (at == std::string::npos) return cs + " " + key + "=" + value;
    const auto end = cs.find(' ', at);
    return cs.substr(0, at) + key + "=" + value + (end == std::string::npos ? std::string() : cs.substr(end));
}

// PgDb's superuser connection string -> (server role's, password file).
std::mutex registry_mutex;
std::map<std::string, std::pair<std::string, std::string>> server_roles;

}  // namespace

// SALEPLAN_SERVER names another build's server (the benchmarks' before and after).
std::string server_executable()
{
    const char *other = std::getenv("SALEPLAN_SERVER");
    return other && *other ? other : VENDRIX_SERVER_PATH;
}

std::string server_connection_for(const std::string &connection_string)
{
    std::lock_guard lock(registry_mutex);
    auto it = server_roles.find(connection_string);
    if (it == server_roles.end()) return connection_string;
    std::ifstream in(it->second.second);
    std::string password;
    std::getline(in, password);
    std::string quoted = "'";
    for (char c : password) {
        if (c == '\'' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return it->second.first + " password=" + quoted + "'";
}

std::string PgDb::server_connection_string_with_password() const { return server_connection_for(connection_string_); }

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
    role_ = name_ + "_srv";
    password_ = random_password();
    server_cs_ = with_parameter(connection_string_, "user", role_);
    if (server_cs_.find("password=") != std::string::npos) {
        // The superuser's own password must not stand in for the role's.
        const auto at = server_cs_.find("password=");
        const auto end = server_cs_.find(' ', at);
        server_cs_.erase(at, end == std::string::npos ? std::string::npos : end - at);
    }
    password_file_ = (std::filesystem::temp_directory_path() / (name_ + ".pw")).string();
    {
        std::ofstream out(password_file_);
        out << password_ << "\n";
    }
    std::filesystem::permissions(password_file_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    try {
        appserver::init_database(connection_string_, demo, appserver::ServerRole{role_, password_});
    } catch (...) {
        appserver::Connection(admin_).run("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
        appserver::Connection(admin_).run("DROP ROLE IF EXISTS " + role_);
        std::filesystem::remove(password_file_);
        throw;
    }
    std::lock_guard lock(registry_mutex);
    server_roles[connection_string_] = {server_cs_, password_file_};
}

PgDb::~PgDb()
{
    {
        std::lock_guard lock(registry_mutex);
        server_roles.erase(connection_string_);
    }
    try {
        appserver::Connection(admin_).run("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
        appserver::Connection(admin_).run("DROP ROLE IF EXISTS " + role_);
    } catch (...) {
        // The cluster is thrown away at the end of the run anyway.
    }
    std::error_code ec;
    std::filesystem::remove(password_file_, ec);
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
    std::string database = connection_string, password_file;
    {
        std::lock_guard lock(registry_mutex);
        if (auto it = server_roles.find(connection_string); it != server_roles.end()) {
            database = it->second.first;
            password_file = it->second.second;
        }
    }
    const bool tls = std::find(extra_args.begin(), extra_args.end(), "--tls-cert") != extra_args.end();
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = free_loopback_port();
        log_file_ = (std::filesystem::temp_directory_path() / ("vendrix-server-" + unique_suffix() + ".log")).string();
        std::vector<std::string> args = {server_executable(), "--listen", "127.0.0.1:" + std::to_string(port_),
                                         "--database", database};
        if (!password_file.empty()) {
            args.push_back("--database-password-file");
            args.push_back(password_file);
        }
        args.insert(args.end(), extra_args.begin(), extra_args.end());
        args_.assign(args.begin() + 1, args.end());

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

        // Ready when /v1/health answers (503 too: the database may be out of
        // reach on purpose); given up when the process ends.
        httplib::Client client((tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_));
        client.enable_server_certificate_verification(false);
        client.set_connection_timeout(1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (auto res = client.Get("/v1/health"); res && (res->status == 200 || res->status == 503)) return;
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

TlsFiles::TlsFiles()
{
    folder_ = (std::filesystem::temp_directory_path() / ("saleplan-tls-" + unique_suffix())).string();
    std::filesystem::create_directories(folder_);
    cert_ = folder_ + "/cert.pem";
    key_ = folder_ + "/key.pem";
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                                "-addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout '" +
                                key_ + "' -out '" + cert_ + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a test certificate");
}

TlsFiles::~TlsFiles()
{
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

void add_account(const std::string &connection_string, const std::string &name, const std::string &role,
                 const std::string &password)
{
    appserver::add_account(connection_string, name, appserver::role_from_name(role).value(), password);
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
