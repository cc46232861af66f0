// Address texts and the machine's IPv4 address table.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace lumesk::platform {

std::uint32_t parseIPv4(const std::string& text) {
    return ::inet_addr(text.c_str());
}

std::string formatIPv4(std::uint32_t addressNet) {
    in_addr a{};
    a.s_addr = addressNet;
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

std::uint16_t toNetwork16(std::uint16_t value) {
    return htons(value);
}
std::uint16_t fromNetwork16(std::uint16_t value) {
    return ntohs(value);
}

std::vector<std::uint32_t> localAddressTable() {
    std::vector<std::uint32_t> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    std::vector<std::uint32_t> loopback;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET) {
            const std::uint32_t a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
            ((ntohl(a) >> 24) == 127 ? loopback : out).push_back(a);
        }
    }
    ::freeifaddrs(list);
    // Windows' table ends with the loopback row, which the address list leaves out.
    out.insert(out.end(), loopback.begin(), loopback.end());
    return out;
}

}  // namespace lumesk::platform
