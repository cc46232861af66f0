// Runs one port mapping headless until standard input closes (or a signal):
//   lumesk_relay LISTEN_PORT TARGET_PORT [TARGET_IP [map|http|socks]]
// Prints "ready PORT" once the mapping runs. For the comparison benchmark.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mapping/headless.h"
#include "resident.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LISTEN_PORT TARGET_PORT [TARGET_IP [map|http|socks]]\n",
                     argv[0]);
        return 2;
    }
    using lumesk::model::Mode;
    const char* kind = argc > 4 ? argv[4] : "map";
    const Mode mode = std::strcmp(kind, "http") == 0    ? Mode::HttpProxy
                      : std::strcmp(kind, "socks") == 0 ? Mode::Socks4Proxy
                                                        : Mode::PortMapping;
    lumesk::mapping::HeadlessEngine engine(10, false);
    const int n =
        engine.addMapping("127.0.0.1", std::atoi(argv[1]), argc > 3 ? argv[3] : "127.0.0.1",
                          std::atoi(argv[2]), 10000, 0, mode);
    const long before = lumesk::bench::residentKb();
    if (!engine.start(n)) {
        std::fprintf(stderr, "%s\n", engine.logLines().back().c_str());
        return 1;
    }
    // What one idle running mapping costs: the listener and its 1000 accepts.
    std::fprintf(stderr, "rss_before_start_kb=%ld rss_running_kb=%ld\n", before,
                 lumesk::bench::residentKb());
    std::printf("ready %d\n", engine.mapping(n).listen_port);
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    std::_Exit(0);  // as the program does: the end of the process closes the sockets
}
