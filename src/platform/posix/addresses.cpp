// The machine's IPv4 address table, from the interface list.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <vector>

#include "platform/platform.h"

namespace lumesk::platform {

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
