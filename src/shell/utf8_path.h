// Our paths are UTF-8 everywhere; Windows would read a narrow path in its
// ANSI code page, so they cross into std::filesystem as UTF-8 explicitly.
#pragma once

#include <filesystem>
#include <string>

namespace lumesk::shell {

inline std::filesystem::path fromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string toUtf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace lumesk::shell
