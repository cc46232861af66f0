// What a proxy client asks for, read from the bytes it sent so far: an HTTP
// request head (CONNECT or an absolute-form request) or a SOCKS 4, 4a or 5
// request. No sockets here: the engine feeds the bytes (mapping/proxy.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lumesk::mapping::proxy {

// A request longer than this is refused: its bytes wait in memory until whole.
constexpr std::size_t kHeadLimit = 16 * 1024;

enum class Status { NeedMore, Ready, Failed };
enum class Protocol { Http, Socks4, Socks5 };

struct Request {
    Protocol protocol = Protocol::Http;
    // A tunnel is answered once the target connects, then bytes go both
    // ways; otherwise (an absolute-form HTTP request) `forward` goes first.
    bool tunnel = true;
    std::string host;  // a name or a dotted IPv4 address
    std::uint16_t port = 0;
    std::string forward;       // the request as the target gets it
    std::size_t consumed = 0;  // bytes of the input the request took
};

struct Step {
    Status status = Status::NeedMore;
    Request request;
    // To send the client now: SOCKS5's method choice (also with Ready), or
    // with Failed the protocol's refusal (none for a client that is no
    // client of the protocol at all).
    std::string reply;
    std::string reason;  // with Failed, for the log
};

// `bytes` is all the client sent so far.
Step parseHttp(std::string_view bytes);
// `greeted`: SOCKS5's method choice has been sent already.
Step parseSocks(std::string_view bytes, bool greeted);

// Why a request could not be carried out.
enum class Failure { BadRequest, Unresolved, Unreachable, Refused, TimedOut, Other };
// A failed connect's Winsock code as a failure.
Failure failureOf(int code);

// The answer once the target is connected: empty for a forwarded HTTP
// request (the target answers). The relay's own address for SOCKS5.
std::string successReply(const Request& request, std::uint32_t boundNet, std::uint16_t boundPort);
std::string failureReply(Protocol protocol, Failure failure);

}  // namespace lumesk::mapping::proxy
