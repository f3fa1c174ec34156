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
#include <functional>
#include <string_view>

#include <httplib.h>
#include <openssl/x509_vfy.h>
#include <nlohmann/json.hpp>

#include "contract.h"
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
        throw RemoteError("计算机名“" + computer_name + "”中的端口“" + text + "”无效：端口是 1 到 65535 之间的整数");
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

std::string errno_reason(int err)
{
    switch (err) {
    case ECONNREFUSED: return "连接被拒绝";
    case ETIMEDOUT: return std::to_string(kConnectTimeoutSeconds) + " 秒内没有应答";
    case EHOSTUNREACH: return "主机不可达";
    case ENETUNREACH: return "网络不可达";
    case ECONNRESET: return "连接被对方重置";
    case EADDRNOTAVAIL: return "地址不可用";
    case EACCES:
    case EPERM: return "连接不被允许";
    default: return "连接失败（错误码 " + std::to_string(err) + "）";
    }
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
        return rc == EAI_AGAIN ? "暂时无法解析主机名" : "找不到该主机";

    std::string reason = "连接失败";
    for (addrinfo *ai = found; ai; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            reason = errno_reason(errno);
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
            reason = "连接被拒绝或中断";
            break;
        }
        reason = errno_reason(err);
    }
    ::freeaddrinfo(found);
    return reason;
}

// Why OpenSSL did not accept the server's certificate, for the person.
std::string certificate_reason(long verify_result)
{
    switch (verify_result) {
    case X509_V_OK: return "证书不属于这台主机";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN: return "证书是自签名的，不受信任";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE: return "签发证书的机构不受信任";
    case X509_V_ERR_CERT_HAS_EXPIRED: return "证书已过期";
    case X509_V_ERR_CERT_NOT_YET_VALID: return "证书尚未生效";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return "证书不属于这台主机";
    case X509_V_ERR_CERT_REVOKED: return "证书已被吊销";
    default: return "证书无效（验证结果 " + std::to_string(verify_result) + "）";
    }
}

// One client to the server, plain or TLS. The token of the server's sign-in
// goes with every request made through request().
class ServerClient {
public:
    explicit ServerClient(const Endpoint &ep)
        : endpoint_(ep), where_(where_of(ep)), client_(scheme_host_port(ep))
    {
        client_.set_connection_timeout(kConnectTimeoutSeconds, 0);
        client_.set_read_timeout(kReadTimeoutSeconds, 0);
        client_.set_write_timeout(kReadTimeoutSeconds, 0);
        client_.set_tcp_nodelay(true);
        client_.set_keep_alive(true);
        if (ep.tls) {
            // No fallback: a certificate that does not verify ends the call.
            client_.enable_server_certificate_verification(true);
            const std::string ca = ca_file_setting();
            if (!ca.empty()) {
                if (::access(ca.c_str(), R_OK) != 0)
                    throw RemoteError("无法读取设置文件 [connection] 中 ca_file 指定的证书文件 " + ca +
                                      "，无法验证应用服务器 " + where_ + " 的证书");
                client_.set_ca_cert_path(ca);
            }
        }
    }

    const std::string &where() const { return where_; }
    httplib::Client &client() { return client_; }

    // Sends one request; a transport failure becomes a RemoteError that
    // names the server and the cause. `unreachable` is set when nothing
    // answered at all.
    // With `pieces`, the body of a 200 answer goes there piece by piece as it
    // arrives instead of into the response (any other answer's body, which
    // carries its message, is kept whole as usual).
    httplib::Result send(const std::string &method, const std::string &path, const std::string &body,
                         const httplib::Headers &headers, const std::string &what, bool *unreachable = nullptr,
                         const std::function<void(std::string_view)> *pieces = nullptr)
    {
        const auto started = std::chrono::steady_clock::now();
        httplib::Result res = pieces ? post_in_pieces(path, body, headers, *pieces)
                              : method == "GET" ? client_.Get(path, headers)
                                                : client_.Post(path, headers, body, "application/json");
        if (res) return res;

        const httplib::Error err = res.error();
        if (err == httplib::Error::Connection || err == httplib::Error::ConnectionTimeout) {
            if (unreachable) *unreachable = true;
            std::string reason = err == httplib::Error::ConnectionTimeout
                                     ? std::to_string(kConnectTimeoutSeconds) + " 秒内没有应答"
                                     : connect_failure_reason(endpoint_);
            throw RemoteError("无法连接应用服务器 " + where_ + "：" + reason);
        }
        if (err == httplib::Error::SSLServerVerification) {
            if (unreachable) *unreachable = true;
            throw RemoteError("应用服务器 " + where_ + " 的证书未通过验证：" +
                              certificate_reason(client_.get_openssl_verify_result()));
        }
        if (err == httplib::Error::SSLConnection || err == httplib::Error::SSLLoadingCerts) {
            if (unreachable) *unreachable = true;
            throw RemoteError("无法与应用服务器 " + where_ + " 建立加密连接" +
                              (err == httplib::Error::SSLLoadingCerts ? "：无法载入受信任的证书"
                                                                      : "（对方可能不是 HTTPS 服务）"));
        }
        if (err == httplib::Error::Read) {
            const auto waited = std::chrono::steady_clock::now() - started;
            if (waited >= std::chrono::seconds(kReadTimeoutSeconds))
                throw RemoteError("应用服务器 " + where_ + " 在 " + std::to_string(kReadTimeoutSeconds) +
                                  " 秒内没有应答（" + what + "）");
            throw RemoteError("应用服务器 " + where_ + " 断开了连接（" + what + "）");
        }
        throw RemoteError("与应用服务器 " + where_ + " 的连接失败（" + what + "，" + httplib::to_string(err) + "）");
    }

    // The server's own message and code of a refused call, if it gave them.
    static std::optional<wire::ErrorAnswer> server_error(const httplib::Response &res)
    {
        try {
            return wire::error_answer_from_json(wire::parse_json(res.body));
        } catch (const wire::WireError &) {
            return std::nullopt;
        }
    }
    static std::optional<std::string> server_message(const httplib::Response &res)
    {
        auto error = server_error(res);
        if (!error) return std::nullopt;
        return error->message;
    }

    RemoteError malformed(const std::string &what, const std::string &detail) const
    {
        return RemoteError("应用服务器 " + where_ + " 的应答无法识别（" + what + "）：" + detail);
    }

    json object_of(const httplib::Response &res, const std::string &what) const
    {
        if (res.status == 204 && res.body.empty()) return json::object();
        try {
            json answer = wire::parse_json(res.body);
            if (!answer.is_object()) throw malformed(what, "应答不是 JSON 对象");
            return answer;
        } catch (const wire::WireError &e) {
            throw malformed(what, e.what());
        }
    }

private:
    httplib::Result post_in_pieces(const std::string &path, const std::string &body, const httplib::Headers &headers,
                                   const std::function<void(std::string_view)> &pieces)
    {
        httplib::Request req;
        req.method = "POST";
        req.path = path;
        req.headers = headers;
        req.headers.emplace("Content-Type", "application/json");
        req.body = body;
        bool ok = false;
        std::string other;
        req.response_handler = [&](const httplib::Response &r) {
            ok = r.status == 200;
            return true;
        };
        req.content_receiver = [&](const char *data, std::size_t n, std::uint64_t, std::uint64_t) {
            if (ok) pieces(std::string_view(data, n));
            else other.append(data, n);
            return true;
        };
        httplib::Result res = client_.send(req);
        if (res && !ok) res->body = std::move(other);
        return res;
    }

    static std::string scheme_host_port(const Endpoint &ep)
    {
        return std::string(ep.tls ? "https://" : "http://") + where_of(ep);
    }

    Endpoint endpoint_;
    std::string where_;
    httplib::Client client_;
};

httplib::Headers bearer(const std::optional<std::string> &token)
{
    httplib::Headers headers;
    if (token) headers.emplace("Authorization", "Bearer " + *token);
    return headers;
}

class HttpLink final : public Link {
public:
    HttpLink(ServerObject object, const Endpoint &ep)
        : object_(std::move(object)), key_(std::string(ep.tls ? "https://" : "http://") + where_of(ep)), server_(ep)
    {
        json body{{contract::kObjectKey, object_.prog_id}};
        if (!object_.class_id.empty()) body[contract::kClassIdKey] = object_.class_id;
        const std::string what = "在 " + object_.prog_id + " 上打开会话";
        json answer = post(contract::kSessionsPath, body, what);
        auto it = answer.find(contract::kSessionKey);
        if (it == answer.end() || !it->is_string() || it->get<std::string>().empty())
            throw server_.malformed(what, "应答中没有会话");
        session_ = it->get<std::string>();
        base_ = std::string(contract::kSessionsPath) + "/" + escape_segment(session_);
    }

    ~HttpLink() override
    {
        // Nothing listens where the session was: it is gone with its server;
        // a session of a sign-in the server no longer takes cannot be closed.
        if (session_.empty() || unreachable_ || signed_out_) return;
        try {
            // A session that cannot be closed is rolled back by the server's idle timeout.
            server_.client().set_read_timeout(kConnectTimeoutSeconds, 0);
            server_.client().Delete(base_, bearer(token_for(key_)));
        } catch (...) {
        }
    }

    wire::DataPacket get_records(const std::string &provider, const std::string &command_text) override
    {
        return get_records(provider, command_text, {});
    }

    wire::DataPacket get_records(const std::string &provider, const std::string &command_text,
                                 const wire::ProviderParams &params) override
    {
        return records(provider, command_text, params, nullptr);
    }

    wire::DataPacket revalidate_records(const std::string &provider, const std::string &command_text,
                                        const wire::ProviderParams &params, const std::string &held_version) override
    {
        return records(provider, command_text, params, &held_version);
    }

    wire::DataPacket records(const std::string &provider, const std::string &command_text,
                             const wire::ProviderParams &params, const std::string *held_version)
    {
        const std::string what = "读取 " + provider;
        json body{{contract::kCommandTextKey, command_text}};
        if (!params.empty()) body[contract::kParamsKey] = wire::params_to_json(params);
        if (held_version) body[contract::kIfVersionKey] = *held_version;
        // The rows are read from the text while it is still arriving, with no
        // JSON tree between.
        try {
            return wire::packet_from_pieces([&](const wire::PieceSink &sink) {
                bool any = false;
                const std::function<void(std::string_view)> pieces = [&](std::string_view piece) {
                    any = any || !piece.empty();
                    sink(piece);
                };
                httplib::Result res = send_checked(provider_path(provider, contract::kRecordsCall), body, what, &pieces);
                if (!any && res->status == 204) sink("{}");
            });
        } catch (const wire::WireError &e) {
            throw server_.malformed(what, e.what());
        }
    }

    std::int64_t execute(const std::string &provider, const std::string &command_text) override
    {
        const std::string what = "在 " + provider + " 上执行语句";
        json answer = post(provider_path(provider, contract::kExecuteCall), json{{contract::kCommandTextKey, command_text}}, what);
        auto it = answer.find(contract::kRowsAffectedKey);
        if (it == answer.end() || !it->is_number_integer())
            throw server_.malformed(what, "没有给出整数的 rowsAffected");
        return it->get<std::int64_t>();
    }

    wire::ApplyResult apply_updates(const std::string &provider, const wire::Delta &delta,
                                    int max_errors) override
    {
        const std::string what = "向 " + provider + " 提交修改";
        json body{{contract::kMaxErrorsKey, max_errors}, {contract::kDeltaKey, wire::delta_to_json(delta)}};
        json answer = post(provider_path(provider, contract::kApplyCall), body, what);
        try {
            return wire::apply_result_from_json(answer);
        } catch (const wire::WireError &e) {
            throw server_.malformed(what, e.what());
        }
    }

    void call_method(const std::string &name) override
    {
        post(base_ + "/" + contract::kMethodsSegment + "/" + escape_segment(name), json::object(), "调用 " + name);
    }

    json call_method(const std::string &name, const wire::MethodParams &params) override
    {
        json body = json::object();
        if (!params.empty()) body[contract::kParamsKey] = wire::params_to_json(params);
        return post(base_ + "/" + contract::kMethodsSegment + "/" + escape_segment(name), body, "调用 " + name);
    }

    bool broken() const override { return broken_; }

private:
    std::string provider_path(const std::string &provider, const char *call) const
    {
        return base_ + "/" + contract::kProvidersSegment + "/" + escape_segment(provider) + "/" + call;
    }

    // Sends one request and returns the JSON of a successful answer; every
    // other outcome becomes a RemoteError.
    json post(const std::string &path, const json &body, const std::string &what)
    {
        httplib::Result res = send_checked(path, body, what);
        return server_.object_of(*res, what);
    }

    // Sends one request and returns a successful answer as it came; every
    // other outcome becomes a RemoteError.
    httplib::Result send_checked(const std::string &path, const json &body, const std::string &what,
                                 const std::function<void(std::string_view)> *pieces = nullptr)
    {
        httplib::Result res = [&] {
            try {
                return server_.send("POST", path, body.dump(), bearer(token_for(key_)), what, &unreachable_, pieces);
            } catch (const RemoteError &) {
                broken_ = true;
                throw;
            }
        }();

        const int status = res->status;
        if (status < 200 || status > 299) {
            // The server's own message says best what went wrong; its code
            // says what it means.
            const std::optional<wire::ErrorAnswer> error = ServerClient::server_error(*res);
            if (status == 401) {
                signed_out_ = true;
                broken_ = true;
                throw SignInRequired(error ? error->message : "应用服务器 " + server_.where() + " 要求登录");
            }
            if (error) {
                if (error->code == contract::error::kSessionGone) {
                    broken_ = true;
                    throw SessionGone(error->message);
                }
                throw RemoteError(error->message);
            }
            throw RemoteError("应用服务器 " + server_.where() + " 拒绝了请求（" + what + "，HTTP 状态 " +
                              std::to_string(status) + "）");
        }
        return res;
    }

    ServerObject object_;
    std::string key_;
    ServerClient server_;
    std::string session_;
    std::string base_;
    bool broken_ = false;
    bool unreachable_ = false;
    bool signed_out_ = false;
};

std::string text_of(const json &answer, const char *name)
{
    auto it = answer.find(name);
    if (it == answer.end() || it->is_null()) return {};
    return it->is_string() ? it->get<std::string>() : it->dump();
}

}  // namespace

Endpoint parse_computer_name(const std::string &computer_name)
{
    std::string name = trimmed(computer_name);
    Endpoint ep{"127.0.0.1", kDefaultPort, false};
    auto starts_with_nocase = [&](const char *prefix) {
        const std::size_t n = std::strlen(prefix);
        if (name.size() < n) return false;
        for (std::size_t i = 0; i < n; ++i)
            if (std::tolower(static_cast<unsigned char>(name[i])) != prefix[i]) return false;
        return true;
    };
    if (starts_with_nocase("https://")) {
        ep.tls = true;
        name.erase(0, 8);
    } else if (starts_with_nocase("http://")) {
        name.erase(0, 7);
    } else if (name.find("://") != std::string::npos) {
        throw RemoteError("计算机名“" + computer_name + "”无效：只能以 http:// 或 https:// 开头");
    }
    if (!name.empty() && name.back() == '/') name.pop_back();
    if (name.find('/') != std::string::npos)
        throw RemoteError("计算机名“" + computer_name + "”无效：只能写主机和端口，不能带路径");
    if (name.empty()) {
        if (ep.tls) throw RemoteError("计算机名“" + computer_name + "”无效：https:// 后面缺少主机名");
        return ep;
    }

    if (name.front() == '[') {
        // "[v6-address]" or "[v6-address]:port"
        auto close = name.find(']');
        if (close == std::string::npos || close == 1)
            throw RemoteError("计算机名“" + computer_name + "”无效：IPv6 地址写作 [地址]:端口");
        ep.host = name.substr(1, close - 1);
        std::string rest = name.substr(close + 1);
        if (rest.empty()) return ep;
        if (rest.front() != ':')
            throw RemoteError("计算机名“" + computer_name + "”无效：IPv6 地址写作 [地址]:端口");
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

std::string where_of(const Endpoint &ep)
{
    if (ep.host.find(':') != std::string::npos) return "[" + ep.host + "]:" + std::to_string(ep.port);
    return ep.host + ":" + std::to_string(ep.port);
}

std::string server_key(const std::string &computer_name)
{
    const Endpoint ep = parse_computer_name(computer_name);
    return std::string(ep.tls ? "https://" : "http://") + where_of(ep);
}

std::unique_ptr<Link> make_http_link(const ServerObject &object, const std::string &computer_name)
{
    return std::make_unique<HttpLink>(object, parse_computer_name(computer_name));
}

namespace detail {

std::pair<std::string, Account> post_login(const std::string &computer_name, const std::string &user,
                                           const std::string &password)
{
    ServerClient server(parse_computer_name(computer_name));
    const std::string what = "登录";
    const json body{{contract::kUserKey, user}, {contract::kPasswordKey, password}};
    httplib::Result res = server.send("POST", contract::kLoginPath, body.dump(), {}, what);
    if (res->status == 401 || res->status == 429 || res->status == 403) {
        // The server's refusal is what the person reads and acts on.
        if (auto message = ServerClient::server_message(*res)) throw SignInRefused(*message);
        throw SignInRefused(res->status == 429 ? "登录尝试过于频繁，请稍后再试" : "用户名或密码不正确");
    }
    if (res->status < 200 || res->status > 299) {
        if (auto message = ServerClient::server_message(*res)) throw RemoteError(*message);
        throw RemoteError("应用服务器 " + server.where() + " 拒绝了登录（HTTP 状态 " + std::to_string(res->status) +
                          "）");
    }
    const json answer = server.object_of(*res, what);
    const std::string token = text_of(answer, contract::kTokenKey);
    if (token.empty()) throw server.malformed(what, "应答中没有令牌");
    Account account{text_of(answer, contract::kUserKey), text_of(answer, contract::kRoleKey),
                    text_of(answer, contract::kExpiresKey)};
    if (account.user.empty()) account.user = user;
    return {token, account};
}

void post_logout(const std::string &computer_name, const std::string &token)
{
    ServerClient server(parse_computer_name(computer_name));
    server.client().set_read_timeout(kConnectTimeoutSeconds, 0);
    server.send("POST", contract::kLogoutPath, "", bearer(token), "退出登录");
}

Account get_account(const std::string &computer_name, const std::string &token)
{
    ServerClient server(parse_computer_name(computer_name));
    const std::string what = "查询登录账户";
    httplib::Result res = server.send("GET", contract::kAccountPath, "", bearer(token), what);
    if (res->status == 401) throw SignInRequired("应用服务器 " + server.where() + " 要求登录");
    if (res->status < 200 || res->status > 299)
        throw RemoteError("应用服务器 " + server.where() + " 拒绝了" + what);
    const json answer = server.object_of(*res, what);
    return Account{text_of(answer, contract::kUserKey), text_of(answer, contract::kRoleKey),
                   text_of(answer, contract::kExpiresKey)};
}

}  // namespace detail

}  // namespace remote
