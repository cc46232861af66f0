#include "shell/help_page.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "shell/utf8_path.h"

namespace lumesk::shell {

namespace fs = std::filesystem;

namespace {

bool sameContent(const fs::path& file, std::string_view text) {
    std::ifstream in(file, std::ios::binary);
    const std::string present{std::istreambuf_iterator<char>(in), {}};
    return in.good() || in.eof() ? present == text : false;
}

}  // namespace

std::string helpPageIn(const std::string& folder, std::string_view text, bool refresh) {
    if (folder.empty()) return {};
    const fs::path dir = fromUtf8(folder);
    const fs::path page = dir / "help.html";
    std::error_code ec;
    if (fs::is_regular_file(page, ec) && (!refresh || sameContent(page, text))) {
        return toUtf8(page);
    }
    fs::create_directories(dir, ec);
    // Whole or not at all: a page cut short would be kept as present.
    const fs::path part = dir / "help.html.part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (!out.flush()) {
            out.close();
            fs::remove(part, ec);
            return {};
        }
    }
    fs::rename(part, page, ec);
    if (ec) {
        fs::remove(part, ec);
        return {};
    }
    return toUtf8(page);
}

std::string helpPageFile(const std::string& programFolder, const std::string& fallbackFolder,
                         std::string_view text) {
    std::string page = helpPageIn(programFolder, text, false);
    if (page.empty()) page = helpPageIn(fallbackFolder, text, true);
    return page;
}

}  // namespace lumesk::shell
