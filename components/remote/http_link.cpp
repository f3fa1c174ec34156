// The HTTP link: one session of the application server's /v1 API, opened
// when the link is made and closed when it is destroyed.

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "remote_connection.h"

namespace remote {

namespace {

using nlohmann::json;

std::string trimmed(const std::string &s)
{
    auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

int parse_port(const std::string &text, const std::string &computer_name)
{
    int port = 0;
    const char *first = text.data();
    const char *last = text.data() + text.size();
    auto res = std::from_chars(first, last, port);
    if (text.empty() || res.ec != std::errc() || res.ptr != last || port < 1 || port > 65535)
        throw RemoteError("invalid port \"" + text + "\" in the computer name \"" + computer_name +
                          "\": a port is a number from 1 to 65535");
    return port;
}

// Path segments are names the module chose (providers, methods) or ids the
// server gave; escape them all the same so that no name can change the path.
std::string escape_segment(const std::string &s)
{
    static const char *hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// httplib reports a failed connect without its cause. Finding the cause
// again is cheap for the common case (nothing listens: refused at once) and
// gives the person the reason instead of "it failed".
std::string connect_failure_reason(const Endpoint &ep)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const std::string port = std::to_string(ep.port);
    if (int rc = ::getaddrinfo(ep.host.c_str(), port.c_str(), &hints, &found); rc != 0)
        return std::string("unknown host (") + ::gai_strerror(rc) + ")";

    std::string reason = "connection failed";
    for (addrinfo *ai = found; ai; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            reason = std::strerror(errno);
            continue;
        }
        int err = 0;
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                int n = ::poll(&p, 1, kConnectTimeoutSeconds * 1000);
                if (n == 0) {
                    err = ETIMEDOUT;
                } else {
                    socklen_t len = sizeof err;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
                }
            }
        }
        ::close(fd);
        if (err == 0) {
            // It answers now; it did not a moment ago.
            reason = "the connection was refused or dropped";
            break;
        }
        if (err == ETIMEDOUT)
            reason = "no answer within " + std::to_string(kConnectTimeoutSeconds) + " seconds";
        else if (err == ECONNREFUSED)
            reason = "connection refused";
        else
            reason = std::strerror(err);
    }
    ::freeaddrinfo(found);
    // strerror capitalises; the message reads as one sentence.
    if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    return reason;
}

std::string where_of(const Endpoint &ep)
{
    if (ep.host.find(':') != std::string::npos) return "[" + ep.host + "]:" + std::to_string(ep.port);
    return ep.host + ":" + std::to_string(ep.port);
}

class HttpLink final : public Link {
public:
    HttpLink(ServerObject object, const Endpoint &ep)
        : object_(std::move(object)), endpoint_(ep), where_(where_of(ep)), client_(ep.host, ep.port)
    {
        client_.set_connection_timeout(kConnectTimeoutSeconds, 0);
        client_.set_read_timeout(kReadTimeoutSeconds, 0);
        client_.set_write_timeout(kReadTimeoutSeconds, 0);
        client_.set_tcp_nodelay(true);
        client_.set_keep_alive(true);

        json body{{"object", object_.prog_id}};
        if (!object_.class_id.empty()) body["clsid"] = object_.class_id;
        json answer = post("/v1/sessions", body, "opening a session on " + object_.prog_id);
        auto it = answer.find("session");
        if (it == answer.end() || !it->is_string() || it->get<std::string>().empty())
            throw malformed("opening a session on " + object_.prog_id, "it names no session");
        session_ = it->get<std::string>();
        base_ = "/v1/sessions/" + escape_segment(session_);
    }

    ~HttpLink() override
    {
        // Nothing listens where the session was: it is gone with its server.
        if (session_.empty() || unreachable_) return;
        try {
            // A session that cannot be closed is rolled back by the server's idle timeout.
            client_.set_read_timeout(kConnectTimeoutSeconds, 0);
            client_.Delete(base_);
        } catch (...) {
        }
    }

    wire::DataPacket get_records(const std::string &provider, const std::string &command_text) override
    {
        const std::string what = "reading " + provider;
        json answer = post(provider_path(provider, "records"), json{{"commandText", command_text}}, what);
        try {
            return wire::packet_from_json(answer);
        } catch (const wire::WireError &e) {
            throw malformed(what, e.what());
        }
    }

    std::int64_t execute(const std::string &provider, const std::string &command_text) override
    {
        const std::string what = "executing a statement on " + provider;
        json answer = post(provider_path(provider, "execute"), json{{"commandText", command_text}}, what);
        auto it = answer.find("rowsAffected");
        if (it == answer.end() || !it->is_number_integer())
            throw malformed(what, "it gives no whole rowsAffected count");
        return it->get<std::int64_t>();
    }

    wire::ApplyResult apply_updates(const std::string &provider, const wire::Delta &delta,
                                    int max_errors) override
    {
        const std::string what = "applying updates to " + provider;
        json body{{"maxErrors", max_errors}, {"delta", wire::delta_to_json(delta)}};
        json answer = post(provider_path(provider, "apply"), body, what);
        try {
            return wire::apply_result_from_json(answer);
        } catch (const wire::WireError &e) {
            throw malformed(what, e.what());
        }
    }

    void call_method(const std::string &name) override
    {
        post(base_ + "/methods/" + escape_segment(name), json::object(), "calling " + name);
    }

    bool broken() const override { return broken_; }

private:
    std::string provider_path(const std::string &provider, const char *call) const
    {
        return base_ + "/providers/" + escape_segment(provider) + "/" + call;
    }

    RemoteError malformed(const std::string &what, const std::string &detail) const
    {
        return RemoteError("the application server at " + where_ + " gave a malformed answer when " + what +
                           ": " + detail);
    }

    // Sends one request and returns the JSON of a successful answer; every
    // other outcome becomes a RemoteError.
    json post(const std::string &path, const json &body, const std::string &what)
    {
        const auto started = std::chrono::steady_clock::now();
        httplib::Result res = client_.Post(path, body.dump(), "application/json");
        if (!res) {
            broken_ = true;
            const httplib::Error err = res.error();
            if (err == httplib::Error::Connection || err == httplib::Error::ConnectionTimeout) {
                unreachable_ = true;
                std::string reason = err == httplib::Error::ConnectionTimeout
                                         ? "no answer within " + std::to_string(kConnectTimeoutSeconds) + " seconds"
                                         : connect_failure_reason(endpoint_);
                throw RemoteError("cannot reach the application server at " + where_ + ": " + reason);
            }
            if (err == httplib::Error::Read) {
                const auto waited = std::chrono::steady_clock::now() - started;
                if (waited >= std::chrono::seconds(kReadTimeoutSeconds))
                    throw RemoteError("the application server at " + where_ + " did not answer within " +
                                      std::to_string(kReadTimeoutSeconds) + " seconds when " + what);
                throw RemoteError("the application server at " + where_ + " closed the connection when " + what);
            }
            throw RemoteError("the connection to the application server at " + where_ + " failed when " + what +
                              " (" + httplib::to_string(err) + ")");
        }

        const int status = res->status;
        if (status < 200 || status > 299) {
            // The server's own message says best what went wrong.
            try {
                if (auto message = wire::error_from_json(wire::parse_json(res->body))) {
                    if (status == 404 && detail::session_gone(*message)) broken_ = true;
                    throw RemoteError(*message);
                }
            } catch (const wire::WireError &) {
            }
            throw RemoteError("the application server at " + where_ + " refused " + what + " (HTTP status " +
                              std::to_string(status) + ")");
        }
        if (status == 204 && res->body.empty()) return json::object();
        try {
            json answer = wire::parse_json(res->body);
            if (!answer.is_object()) throw malformed(what, "expected a JSON object");
            return answer;
        } catch (const wire::WireError &e) {
            throw malformed(what, e.what());
        }
    }

    ServerObject object_;
    Endpoint endpoint_;
    std::string where_;
    httplib::Client client_;
    std::string session_;
    std::string base_;
    bool broken_ = false;
    bool unreachable_ = false;
};

}  // namespace

Endpoint parse_computer_name(const std::string &computer_name)
{
    const std::string name = trimmed(computer_name);
    Endpoint ep{"127.0.0.1", kDefaultPort};
    if (name.empty()) return ep;

    if (name.front() == '[') {
        // "[v6-address]" or "[v6-address]:port"
        auto close = name.find(']');
        if (close == std::string::npos || close == 1)
            throw RemoteError("invalid computer name \"" + computer_name + "\": an IPv6 address is written as [address]:port");
        ep.host = name.substr(1, close - 1);
        std::string rest = name.substr(close + 1);
        if (rest.empty()) return ep;
        if (rest.front() != ':')
            throw RemoteError("invalid computer name \"" + computer_name + "\": an IPv6 address is written as [address]:port");
        ep.port = parse_port(rest.substr(1), computer_name);
        return ep;
    }

    auto colon = name.find(':');
    if (colon == std::string::npos) {
        ep.host = name;
        return ep;
    }
    if (name.find(':', colon + 1) != std::string::npos) {
        // Several colons and no brackets: a bare IPv6 address.
        ep.host = name;
        return ep;
    }
    if (colon > 0) ep.host = name.substr(0, colon);
    ep.port = parse_port(name.substr(colon + 1), computer_name);
    return ep;
}

std::unique_ptr<Link> make_http_link(const ServerObject &object, const std::string &computer_name)
{
    return std::make_unique<HttpLink>(object, parse_computer_name(computer_name));
}

}  // namespace remote
