#include "mapping/local_addresses.h"

#include "platform/platform.h"

namespace lumesk::mapping {

std::vector<std::string> addressListFromTable(const std::vector<std::uint32_t>& rows) {
    std::vector<std::string> list;
    for (std::size_t k = rows.size(); k > 1; --k) list.push_back(platform::formatIPv4(rows[k - 2]));
    return list;
}

int localAddressList(std::vector<std::string>& list) {
    list = addressListFromTable(platform::localAddressTable());
    return static_cast<int>(list.size());
}

}  // namespace lumesk::mapping
