// Winsock error codes as the texts that failed posts report.
#pragma once

#include <string>

namespace lumesk::net {

// "错误码:" + code + " " + the row's text; empty for a code of 0 or below.
std::string receiveErrorText(int code);
std::string sendErrorText(int code);

}  // namespace lumesk::net
