// The process's resident memory, for the benchmarks' reports.
#pragma once

#include <cstdio>

namespace lumesk::bench {

// VmRSS in KiB, -1 where /proc cannot tell.
inline long residentKb() {
    long kb = -1;
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            if (std::sscanf(line, "VmRSS: %ld", &kb) == 1) break;
        }
        std::fclose(f);
    }
    return kb;
}

}  // namespace lumesk::bench
