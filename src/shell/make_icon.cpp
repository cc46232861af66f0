// Build tool: writes the program's icon as an .ico file (16, 32, 48 and 256
// pixels) for the Windows resources. Runs on the machine that builds.
#include <cstdio>
#include <vector>

#include "shell/app_icon.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_icon OUT.ico\n");
        return 2;
    }
    const std::vector<std::uint8_t> ico = lumesk::shell::icoFile({16, 32, 48, 256});
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(ico.data(), 1, ico.size(), file) == ico.size();
    if (std::fclose(file) != 0 || !written) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
