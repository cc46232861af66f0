// Address texts and byte order, written once for both platforms: the
// system calls are the same, only their headers differ.
#ifdef _WIN32
#include <winsock2.h>

#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#endif

#include <string>

#include "platform/inet.h"
#include "platform/platform.h"

namespace lumesk::platform {

std::uint32_t parseIPv4(const std::string& text) {
    return static_cast<std::uint32_t>(::inet_addr(text.c_str()));
}

std::string formatIPv4(std::uint32_t addressNet) {
    in_addr a{};
    a.s_addr = addressNet;
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

int resolveIPv4(const std::string& host, std::uint32_t& addressNet) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (code != 0) return code;
    if (!found || !found->ai_addr) {
        if (found) ::freeaddrinfo(found);
        return -1;
    }
    addressNet = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return 0;
}

sockaddr_in makeAddress(std::uint32_t addressNet, std::uint16_t portHost) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(portHost);
    address.sin_addr.s_addr = addressNet;
    return address;
}

std::uint16_t toNetwork16(std::uint16_t value) {
    return htons(value);
}
std::uint16_t fromNetwork16(std::uint16_t value) {
    return ntohs(value);
}

}  // namespace lumesk::platform
