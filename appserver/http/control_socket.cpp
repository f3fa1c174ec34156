#include "control_socket.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "server_log.h"
#include "server_text.h"

namespace appserver {

namespace {

using Kind = ServerError::Kind;

constexpr const char *kRuntimeFolder = "/run/saleplan";

sockaddr_un address_of(const std::string &path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof a.sun_path)
        throw ServerError(Kind::BadRequest, "the control socket's path \"" + path + "\" is empty or too long");
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    return a;
}

// Reads one line (without its end) of at most 256 bytes, waiting at most 5 s.
bool read_line(int fd, std::string &line)
{
    line.clear();
    char c;
    while (line.size() < 256) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return false;
        if (::read(fd, &c, 1) != 1) return false;
        if (c == '\n') return true;
        line += c;
    }
    return false;
}

void write_all(int fd, const std::string &text)
{
    for (std::size_t sent = 0; sent < text.size();) {
        const auto n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

std::string utc_text(std::chrono::system_clock::time_point t) { return iso_utc(t); }

}  // namespace

std::string default_control_socket()
{
    std::error_code ec;
    if (std::filesystem::is_directory(kRuntimeFolder, ec)) return std::string(kRuntimeFolder) + "/vendrix-server.sock";
    return {};
}

struct ControlSocket::Impl {
    AppServer &server;
    std::string path;
    int fd = -1;
    std::atomic<bool> stopping{false};
    std::thread thread;

    std::string answer(const std::string &request)
    {
        try {
            if (request == "list") {
                std::string out = "ok\n";
                for (const auto &s : server.session_list()) {
                    char idle[32];
                    std::snprintf(idle, sizeof idle, "%llds", static_cast<long long>(s.idle.count()));
                    // The id's first 16 digits name it; the whole id is the
                    // session's key and stays with its client.
                    out += s.id.substr(0, 16) + " " + (s.account.empty() ? "-" : s.account) + " " +
                           (s.address.empty() ? "-" : s.address) + " " + s.object + " opened " + utc_text(s.opened) +
                           " idle " + idle + (s.transaction ? " transaction-open" : "") + (s.running ? " running" : "") +
                           "\n";
                }
                return out;
            }
            if (request.rfind("end ", 0) == 0) {
                const std::string id = server.end_session(trimmed(request.substr(4)));
                log_line("session " + id.substr(0, 16) + " ended by the administrator, its open transaction rolled back");
                return "ok\nended " + id.substr(0, 16) + "\n";
            }
            return "error: unknown request \"" + request + "\" (list, or end ID)\n";
        } catch (const std::exception &e) {
            return std::string("error: ") + e.what() + "\n";
        }
    }

    void serve()
    {
        while (!stopping) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            std::string request;
            if (read_line(client, request)) write_all(client, answer(trimmed(request)));
            ::close(client);
        }
    }
};

ControlSocket::ControlSocket(AppServer &server, std::string path) : impl_(new Impl{server, std::move(path)}) {}

ControlSocket::~ControlSocket() { stop(); }

void ControlSocket::start()
{
    auto &d = *impl_;
    const sockaddr_un a = address_of(d.path);
    // A socket file left by a server that ended is replaced; one a running
    // server answers on is not.
    struct stat st {};
    if (::lstat(d.path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            throw ServerError(Kind::Unavailable, "the control socket's path \"" + d.path + "\" is taken by a file");
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool answered = ::connect(probe, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
        ::close(probe);
        if (answered)
            throw ServerError(Kind::Unavailable,
                              "another server answers on the control socket \"" + d.path + "\": give --control-socket");
        ::unlink(d.path.c_str());
    }
    d.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (d.fd < 0 || ::bind(d.fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0 || ::listen(d.fd, 8) != 0) {
        const std::string why = std::strerror(errno);
        if (d.fd >= 0) ::close(d.fd);
        d.fd = -1;
        throw ServerError(Kind::Unavailable, "cannot make the control socket \"" + d.path + "\": " + why);
    }
    // The service's user and group only.
    ::chmod(d.path.c_str(), 0660);
    d.thread = std::thread([&d] { d.serve(); });
}

void ControlSocket::stop()
{
    auto &d = *impl_;
    if (d.fd < 0) return;
    d.stopping = true;
    if (d.thread.joinable()) d.thread.join();
    ::close(d.fd);
    d.fd = -1;
    ::unlink(d.path.c_str());
}

std::string ask_control_socket(const std::string &path, const std::string &request)
{
    const sockaddr_un a = address_of(path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
        const std::string why = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        throw ServerError(Kind::Unavailable, "no server answers on the control socket \"" + path + "\" (" + why + ")");
    }
    write_all(fd, request + "\n");
    std::string text;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) break;
        const auto n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (text.rfind("ok\n", 0) == 0) return text.substr(3);
    if (text.rfind("error: ", 0) == 0) {
        std::string message = text.substr(7);
        while (!message.empty() && message.back() == '\n') message.pop_back();
        throw ServerError(Kind::BadRequest, message);
    }
    throw ServerError(Kind::Unavailable, "the server on the control socket \"" + path + "\" gave no answer");
}

}  // namespace appserver
