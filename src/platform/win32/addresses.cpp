// The machine's IPv4 address table, from IP Helper.
#include <winsock2.h>

#include <iphlpapi.h>
#include <windows.h>

#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace lumesk::platform {

std::vector<std::uint32_t> localAddressTable() {
    constexpr std::size_t kRows = 255;
    constexpr std::size_t kBytes = sizeof(MIB_IPADDRTABLE) + kRows * sizeof(MIB_IPADDRROW);
    // MIB_IPADDRTABLE carries one row itself, hence the extra.
    constexpr std::size_t kCapacity = kRows + 1;
    std::vector<std::uint64_t> storage((kBytes + sizeof(std::uint64_t) - 1) /
                                       sizeof(std::uint64_t));
    auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(storage.data());
    ULONG size = static_cast<ULONG>(kBytes);
    GetIpAddrTable(table, &size, TRUE);
    // The rows of the unsorted call are the ones used; codes are ignored on purpose.
    size = static_cast<ULONG>(kBytes);
    GetIpAddrTable(table, &size, FALSE);

    std::size_t count = table->dwNumEntries;
    if (count > kCapacity) count = kCapacity;
    std::vector<std::uint32_t> addresses;
    addresses.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        addresses.push_back(static_cast<std::uint32_t>(table->table[i].dwAddr));
    }
    return addresses;
}

}  // namespace lumesk::platform
