// Echo throughput through the socket service on loopback.
// Usage: echo_bench [MiB per connection] [connections]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "support.h"

using namespace lumesk;

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 512;
    const int connections = argc > 2 ? std::atoi(argv[2]) : 1;
    const std::size_t total = mib << 20;
    test::EchoServer server(10, 100);
    const auto begin = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < connections; ++i) {
        threads.emplace_back([&] {
            test::Client client(server.port());
            std::vector<unsigned char> chunk(256 * 1024, 0x42);
            std::thread writer([&] {
                for (std::size_t at = 0; at < total; at += chunk.size()) {
                    client.sendAll(chunk.data(), chunk.size());
                }
            });
            std::vector<unsigned char> in(total < chunk.size() ? total : chunk.size());
            for (std::size_t at = 0; at < total; at += in.size())
                client.recvAll(in.data(), in.size());
            writer.join();
        });
    }
    for (auto& t : threads) t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("echo: %d connection(s), %zu MiB each way per connection, %.2f s, %.1f MiB/s\n",
                connections, mib, seconds, connections * static_cast<double>(mib) / seconds);
    return 0;
}
