#include "model/address.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace lumesk::model {

namespace {

std::vector<std::string> splitDots(const std::string& text) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, '.')) parts.push_back(part);
    if (!text.empty() && text.back() == '.') parts.emplace_back();
    return parts;
}

}  // namespace

bool looksLikeIPv4(const std::string& ip) {
    const std::vector<std::string> parts = splitDots(ip);
    if (parts.size() != 4) return false;
    for (const std::string& part : parts) {
        if (part != "0" && std::atoi(part.c_str()) == 0) return false;
    }
    return true;
}

bool normalizeIpText(std::string& ip) {
    if (ip.empty()) {
        ip = kAnyAddress;
        return true;
    }
    return looksLikeIPv4(ip);
}

std::string endpoint(const std::string& ip, std::int32_t port) {
    return ip + ":" + std::to_string(port);
}

}  // namespace lumesk::model
