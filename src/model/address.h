// Address texts as mappings hold them: dotted IPv4, "ip:port".
#pragma once

#include <cstdint>
#include <string>

namespace lumesk::model {

// Every local address: what an empty listen IP stands for.
inline constexpr const char* kAnyAddress = "0.0.0.0";

inline bool isAnyAddress(const std::string& ip) {
    return ip.empty() || ip == kAnyAddress;
}

// Four dot-separated parts, each "0" or what atoi reads as non-zero: the
// check the listener's and the relay's addresses both get.
bool looksLikeIPv4(const std::string& ip);

// An address text as the engine takes it: an empty one stands for 0.0.0.0
// and becomes it; false when it is no dotted IPv4 address. The forms check
// with it what the engine will later accept.
bool normalizeIpText(std::string& ip);

std::string endpoint(const std::string& ip, std::int32_t port);  // "ip:port"

}  // namespace lumesk::model
