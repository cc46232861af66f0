// Runs one port mapping headless until standard input closes (or a signal):
//   lumesk_relay LISTEN_PORT TARGET_PORT [TARGET_IP [map|http|socks [COUNT]]]
// Prints "ready PORT" once the mapping runs. For the comparison benchmark.
// COUNT runs that many mappings, on LISTEN_PORT and the ports after it, to
// weigh a full table.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mapping/headless.h"
#include "resident.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s LISTEN_PORT TARGET_PORT [TARGET_IP [map|http|socks [COUNT]]]\n",
                     argv[0]);
        return 2;
    }
    using lumesk::model::Mode;
    const char* kind = argc > 4 ? argv[4] : "map";
    const Mode mode = std::strcmp(kind, "http") == 0    ? Mode::HttpProxy
                      : std::strcmp(kind, "socks") == 0 ? Mode::Socks4Proxy
                                                        : Mode::PortMapping;
    lumesk::mapping::HeadlessEngine engine(10, false);
    const int count = argc > 5 ? std::atoi(argv[5]) : 1;
    const long before = lumesk::bench::residentKb();
    int n = 0;
    for (int i = 0; i < count; ++i) {
        const int added =
            engine.addMapping("127.0.0.1", std::atoi(argv[1]) + i, argc > 3 ? argv[3] : "127.0.0.1",
                              std::atoi(argv[2]), 10000, 0, mode);
        if (i == 0) n = added;
        if (!engine.start(added)) {
            std::fprintf(stderr, "%s\n", engine.logLines().back().c_str());
            return 1;
        }
    }
    // What the idle running mappings cost: each a listener and its 1000 accepts.
    std::fprintf(stderr, "mappings=%d rss_before_start_kb=%ld rss_running_kb=%ld\n", count, before,
                 lumesk::bench::residentKb());
    std::printf("ready %d\n", engine.mapping(n).listen_port);
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    std::_Exit(0);  // as the program does: the end of the process closes the sockets
}
