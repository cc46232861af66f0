#include "mapping/proxy_protocol.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

namespace lumesk::mapping::proxy {

namespace {

constexpr std::string_view kBadRequest =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr std::string_view kBadGateway =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr std::string_view kGatewayTimeout =
    "HTTP/1.1 504 Gateway Timeout\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr std::string_view kEstablished = "HTTP/1.1 200 Connection established\r\n\r\n";

const char* const kInvalid = "请求无效";
const char* const kTooLong = "请求过长";
const char* const kCommand = "不支持的命令";

// Hop-by-hop fields: they end at the proxy. Transfer-Encoding frames the
// body, which is passed on as it is, so it stays.
const std::set<std::string, std::less<>> kHopByHop = {
    "connection", "proxy-connection", "keep-alive", "proxy-authorization",
    "te",         "trailer",          "upgrade"};

Step failed(std::string reply, std::string reason) {
    Step s;
    s.status = Status::Failed;
    s.reply = std::move(reply);
    s.reason = std::move(reason);
    return s;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool isAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isToken(std::string_view text) {
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return isAlnum(c) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
    });
}

// Names and dotted IPv4 only: no IPv6 literal, no user part.
bool validHost(std::string_view host) {
    if (host.empty() || host.size() > 255) return false;
    return std::all_of(host.begin(), host.end(),
                       [](char c) { return isAlnum(c) || c == '-' || c == '.' || c == '_'; });
}

bool parsePort(std::string_view text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// host[:port]; without a port, `defaultPort` (0: the port is required).
bool splitAuthority(std::string_view authority, std::string& host, std::uint16_t& port,
                    std::uint16_t defaultPort) {
    const std::size_t colon = authority.rfind(':');
    std::string_view name = authority.substr(0, colon);
    if (colon == std::string_view::npos) {
        if (defaultPort == 0) return false;
        port = defaultPort;
    } else if (!parsePort(authority.substr(colon + 1), port)) {
        return false;
    }
    if (!validHost(name)) return false;
    host = std::string(name);
    return true;
}

// Past the empty line that ends the head, or npos while it has not come.
std::size_t headEnd(std::string_view bytes) {
    std::size_t pos = 0;
    while (true) {
        const std::size_t newline = bytes.find('\n', pos);
        if (newline == std::string_view::npos) return newline;
        const bool empty = newline == pos || (newline == pos + 1 && bytes[pos] == '\r');
        if (empty) return newline + 1;
        pos = newline + 1;
    }
}

std::vector<std::string_view> headLines(std::string_view head) {
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const std::size_t newline = head.find('\n');
        if (newline == std::string_view::npos) break;
        std::string_view line = head.substr(0, newline);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;
        lines.push_back(line);
        head.remove_prefix(newline + 1);
    }
    return lines;
}

// The origin form of an absolute-form request, its hop-by-hop fields dropped.
bool rewriteHead(const std::vector<std::string_view>& lines, std::string_view method,
                 std::string_view path, std::string_view version, std::string_view authority,
                 std::string& out) {
    std::set<std::string, std::less<>> dropped(kHopByHop);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const std::size_t colon = line.find(':');
        // A folded line or a field name with space before its colon is refused.
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return false;
        if (lower(line.substr(0, colon)) != "connection") continue;
        std::string_view value = line.substr(colon + 1);
        while (!value.empty()) {
            const std::size_t comma = value.find(',');
            const std::string_view option = trim(value.substr(0, comma));
            if (!option.empty()) dropped.insert(lower(option));
            value.remove_prefix(comma == std::string_view::npos ? value.size() : comma + 1);
        }
    }
    out.append(method).append(" ").append(path).append(" ").append(version).append("\r\n");
    // The target's own name, whatever Host the client sent (it was the proxy's).
    out.append("Host: ").append(authority).append("\r\n");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string name = lower(lines[i].substr(0, lines[i].find(':')));
        if (name == "host" || dropped.count(name) > 0) continue;
        out.append(lines[i]).append("\r\n");
    }
    out.append("Connection: close\r\n\r\n");
    return true;
}

std::string dotted(const unsigned char* b) {
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

std::uint16_t port16(const unsigned char* b) {
    return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}

std::string socks4Refusal() {
    return std::string("\x00\x5B\x00\x00\x00\x00\x00\x00", 8);
}

std::string socks5Reply(unsigned char code) {
    std::string r("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);
    r[1] = static_cast<char>(code);
    return r;
}

// The NUL-ended field from `from`: its end, or npos while it has not come.
std::size_t fieldEnd(std::string_view bytes, std::size_t from) {
    return bytes.find('\0', from);
}

Step parseSocks4(std::string_view bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() < 2) return {};
    if (b[1] != 1) return failed(socks4Refusal(), kCommand);
    if (bytes.size() < 8) return {};
    Request r;
    r.protocol = Protocol::Socks4;
    r.port = port16(b + 2);
    const std::size_t userEnd = fieldEnd(bytes, 8);
    if (userEnd == std::string_view::npos) {
        return bytes.size() > kHeadLimit ? failed(socks4Refusal(), kTooLong) : Step{};
    }
    r.consumed = userEnd + 1;
    // SOCKS4a: 0.0.0.x asks the proxy to resolve the name after the user.
    if (b[4] == 0 && b[5] == 0 && b[6] == 0 && b[7] != 0) {
        const std::size_t nameEnd = fieldEnd(bytes, userEnd + 1);
        if (nameEnd == std::string_view::npos) {
            return bytes.size() > kHeadLimit ? failed(socks4Refusal(), kTooLong) : Step{};
        }
        r.host = std::string(bytes.substr(userEnd + 1, nameEnd - userEnd - 1));
        r.consumed = nameEnd + 1;
        if (!validHost(r.host)) return failed(socks4Refusal(), kInvalid);
    } else {
        r.host = dotted(b + 4);
        if (b[4] == 0) return failed(socks4Refusal(), kInvalid);
    }
    if (r.port == 0) return failed(socks4Refusal(), kInvalid);
    Step s;
    s.status = Status::Ready;
    s.request = std::move(r);
    return s;
}

Step parseSocks5(std::string_view bytes, bool greeted) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() < 2) return {};
    const std::size_t p = 2 + std::size_t{b[1]};
    if (bytes.size() < p) return {};
    // Only "no authentication" is offered.
    if (std::find(b + 2, b + p, 0) == b + p)
        return failed(std::string("\x05\xFF", 2), "不支持的认证方法");
    Step s;
    if (!greeted) s.reply = std::string("\x05\x00", 2);
    auto refuse = [&](unsigned char code, const char* reason) {
        return failed(s.reply + socks5Reply(code), reason);
    };
    if (bytes.size() < p + 4) return s;
    if (b[p] != 5) return refuse(1, kInvalid);
    if (b[p + 1] != 1) return refuse(7, kCommand);
    Request r;
    r.protocol = Protocol::Socks5;
    std::size_t addressEnd;
    if (b[p + 3] == 1) {
        addressEnd = p + 8;
        if (bytes.size() < addressEnd + 2) return s;
        r.host = dotted(b + p + 4);
    } else if (b[p + 3] == 3) {
        if (bytes.size() < p + 5) return s;
        addressEnd = p + 5 + b[p + 4];
        if (bytes.size() < addressEnd + 2) return s;
        r.host = std::string(bytes.substr(p + 5, b[p + 4]));
        if (!validHost(r.host)) return refuse(1, kInvalid);
    } else {
        return refuse(8, "不支持的地址类型");
    }
    r.port = port16(b + addressEnd);
    r.consumed = addressEnd + 2;
    if (r.port == 0) return refuse(1, kInvalid);
    s.status = Status::Ready;
    s.request = std::move(r);
    return s;
}

}  // namespace

Step parseHttp(std::string_view bytes) {
    const std::size_t end = headEnd(bytes);
    if (end == std::string_view::npos) {
        return bytes.size() > kHeadLimit ? failed(std::string(kBadRequest), kTooLong) : Step{};
    }
    if (end > kHeadLimit) return failed(std::string(kBadRequest), kTooLong);
    const std::vector<std::string_view> lines = headLines(bytes.substr(0, end));
    Step bad = failed(std::string(kBadRequest), kInvalid);
    if (lines.empty()) return bad;
    const std::string_view line = lines[0];
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos) {
        return bad;
    }
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    if (!isToken(method) || (version != "HTTP/1.1" && version != "HTTP/1.0")) return bad;
    Step s;
    s.status = Status::Ready;
    s.request.consumed = end;
    if (method == "CONNECT") {
        if (!splitAuthority(target, s.request.host, s.request.port, 0)) return bad;
        return s;
    }
    if (lower(target.substr(0, 7)) != "http://") return bad;
    std::string_view rest = target.substr(7);
    rest = rest.substr(0, rest.find('#'));  // a fragment is the client's own
    const std::size_t pathStart = std::min(rest.find('/'), rest.find('?'));
    const std::string_view authority = rest.substr(0, pathStart);
    std::string path(pathStart == std::string_view::npos ? "" : rest.substr(pathStart));
    if (path.empty() || path[0] == '?') path.insert(0, "/");
    s.request.tunnel = false;
    if (!splitAuthority(authority, s.request.host, s.request.port, 80) ||
        !rewriteHead(lines, method, path, version, authority, s.request.forward)) {
        return bad;
    }
    return s;
}

Step parseSocks(std::string_view bytes, bool greeted) {
    if (bytes.empty()) return {};
    if (bytes[0] == 4) return parseSocks4(bytes);
    if (bytes[0] == 5) return parseSocks5(bytes, greeted);
    return failed({}, kInvalid);  // no SOCKS client: nothing it would understand
}

Failure failureOf(int code) {
    switch (code) {
        case 10061:
            return Failure::Refused;
        case 10060:
            return Failure::TimedOut;
        case 10051:
        case 10065:
            return Failure::Unreachable;
        default:
            return Failure::Other;
    }
}

std::string successReply(const Request& request, std::uint32_t boundNet, std::uint16_t boundPort) {
    unsigned char address[4];
    std::memcpy(address, &boundNet, 4);
    const char portHigh = static_cast<char>(boundPort >> 8);
    const char portLow = static_cast<char>(boundPort & 0xFF);
    std::string r;
    switch (request.protocol) {
        case Protocol::Http:
            return request.tunnel ? std::string(kEstablished) : std::string();
        case Protocol::Socks4:
            r = {0, 90, portHigh, portLow};
            break;
        case Protocol::Socks5:
            r = {5, 0, 0, 1};
            break;
    }
    r.append(reinterpret_cast<const char*>(address), 4);
    if (request.protocol == Protocol::Socks5) r += {portHigh, portLow};
    return r;
}

std::string failureReply(Protocol protocol, Failure failure) {
    switch (protocol) {
        case Protocol::Http:
            if (failure == Failure::BadRequest) return std::string(kBadRequest);
            return std::string(failure == Failure::TimedOut ? kGatewayTimeout : kBadGateway);
        case Protocol::Socks4:
            return socks4Refusal();
        case Protocol::Socks5:
            switch (failure) {
                case Failure::Unresolved:
                case Failure::Unreachable:
                case Failure::TimedOut:
                    return socks5Reply(4);
                case Failure::Refused:
                    return socks5Reply(5);
                default:
                    return socks5Reply(1);
            }
    }
    return {};
}

}  // namespace lumesk::mapping::proxy
