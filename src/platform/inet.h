// Internal to the platform layers: what both build addresses with.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#endif

#include <cstdint>

namespace lumesk::platform {

sockaddr_in makeAddress(std::uint32_t addressNet, std::uint16_t portHost);

}  // namespace lumesk::platform
