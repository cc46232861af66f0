// Bytes through the service come back unchanged.
#include <gtest/gtest.h>

#include <thread>

#include "support.h"

using namespace lumesk;
using test::Client;
using test::EchoServer;

namespace {

void echoThrough(EchoServer& server, std::size_t total, std::size_t chunk) {
    Client client(server.port());
    ASSERT_TRUE(client.valid());
    EXPECT_TRUE(test::roundTrip(client, test::pattern(total), chunk)) << "chunk " << chunk;
}

}  // namespace

TEST(Echo, OneMebibyteInManyChunkSizes) {
    EchoServer server;
    for (std::size_t chunk : {1u, 20480u, 7u, 4099u, 20481u, 65537u}) {
        echoThrough(server, chunk == 1 ? 64 * 1024 : 1 << 20, chunk);
    }
}

TEST(Echo, SixtyFourMebibytes) {
    EchoServer server;
    echoThrough(server, 64u << 20, 1u << 20);
}

TEST(Echo, ManyConnectionsAtOnce) {
    EchoServer server(4, 100);
    std::vector<std::thread> threads;
    for (int i = 0; i < 20; ++i) {
        threads.emplace_back([&] { echoThrough(server, 1 << 20, 12345); });
    }
    for (auto& t : threads) t.join();
}
