// The local IPv4 addresses offered in the address boxes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumesk::mapping {

// Rows n-2 down to 0 of the address table, as dotted texts: the last row
// (the loopback row) is never listed.
std::vector<std::string> addressListFromTable(const std::vector<std::uint32_t>& rows);

// Replaces `list` with this machine's addresses; returns how many.
int localAddressList(std::vector<std::string>& list);

}  // namespace lumesk::mapping
