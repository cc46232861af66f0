// Pairs that stop moving: a client paused by flow control that leaves, and a
// half-closed pair whose other side never ends.
#include <thread>

#include "engine_fixture.h"

namespace lumesk::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

bool leftWithin(RecordingListener& sink, milliseconds limit) {
    return waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 1; }, limit);
}

// Sends until the mapping stops taking bytes: its receives are paused and
// every buffer on the way is full. What it sent.
std::size_t sendUntilPaused(Client& c) {
    c.setSendTimeout(400);
    const std::vector<unsigned char> chunk(64 << 10, 'x');
    std::size_t sent = 0;
    while (sent < (256u << 20) && c.sendAll(chunk.data(), chunk.size())) sent += chunk.size();
    return sent;
}

TEST_F(Engine, PausedClientThatResetsIsSeenLeaving) {
    TargetServer target("");  // takes the connection, never reads
    define(1, target.port());
    const std::uint16_t port = start(1);
    for (int round = 0; round < 2; ++round) {
        Client c(port, round == 0 ? 0 : 8192);
        ASSERT_TRUE(c.valid());
        ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_RELAYED) == round + 1; }));
        const std::size_t sent = sendUntilPaused(c);
        ASSERT_GT(sent, static_cast<std::size_t>(net::kSendHighWater));
        ASSERT_LT(sent, 256u << 20) << "the mapping never paused";
        EXPECT_EQ(engine.onlineCount(1), 1);
        EXPECT_EQ(sink.count(mapping::EVENT_LEFT), round);

        const Clock::time_point resetAt = Clock::now();
        c.reset();
        EXPECT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == round + 1; },
                            milliseconds(3000)))
            << "a paused client's reset went unseen";
        EXPECT_TRUE(waitFor([&] { return engine.onlineCount(1) == 0; }, milliseconds(3000)));
        EXPECT_TRUE(slotsFree(1));
        EXPECT_LT(Clock::now() - resetAt, milliseconds(3000));
    }
    // The free slots take new clients that are relayed as before.
    Client next(port);
    EXPECT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_RELAYED) == 3; }));
}

TEST_F(Engine, PausedClientThatEndsIsBoundedAsHalfClosed) {
    // Its end of stream waits behind bytes the target never takes.
    if (underWine()) {
        GTEST_SKIP() << "Wine's WSAPoll reports a graceful close only once no bytes wait; "
                        "Windows reports it at once";
    }
    ctx.halfCloseBound = milliseconds(1000);
    TargetServer target("");
    define(1, target.port());
    const std::uint16_t port = start(1);
    Client c(port);
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_RELAYED) == 1; }));
    // Stops sending as soon as the mapping stops taking bytes, so the end
    // fits in the mapping's receive window and arrives.
    const std::vector<unsigned char> chunk(16 << 10, 'x');
    const net::IoRecord* listener = table.at(1).service;
    bool paused = false;
    for (int i = 0; i < 4096 && !paused; ++i) {
        const std::int64_t before = net::readBytes(listener, 0);
        ASSERT_TRUE(c.sendAll(chunk.data(), chunk.size()));
        paused = !waitFor([&] { return net::readBytes(listener, 0) > before; }, milliseconds(300));
    }
    ASSERT_TRUE(paused) << "the mapping never paused";
    c.shutdownSend();
    const Clock::time_point endAt = Clock::now();
    EXPECT_TRUE(leftWithin(sink, milliseconds(5000))) << "a paused client's end went unseen";
    EXPECT_GE(Clock::now() - endAt, milliseconds(1000)) << "closed before its bound";
    EXPECT_TRUE(waitFor([&] { return engine.onlineCount(1) == 0; }));
    EXPECT_TRUE(slotsFree(1));
}

TEST_F(Engine, HalfClosedPairIsBoundedWhenNothingMoves) {
    ctx.halfCloseBound = milliseconds(1000);
    const std::string request(1000, 'q');
    {
        // The target never reads, so it never sees the end either.
        TargetServer target("");
        define(1, target.port());
        const std::uint16_t port = start(1);
        Client c(port);
        ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_RELAYED) == 1; }));
        ASSERT_TRUE(c.sendAll(request.data(), request.size()));
        c.shutdownSend();
        const Clock::time_point endAt = Clock::now();
        std::this_thread::sleep_for(milliseconds(300));
        EXPECT_EQ(sink.count(mapping::EVENT_LEFT), 0) << "closed before its bound";
        EXPECT_TRUE(leftWithin(sink, milliseconds(4000)));
        EXPECT_GE(Clock::now() - endAt, milliseconds(1000));
        EXPECT_TRUE(c.waitClosed(3000));
        EXPECT_TRUE(slotsFree(1));
        EXPECT_EQ(engine.onlineCount(1), 0);
        engine.stopMapping(1);
    }
    {
        // The target reads to the end and never answers it.
        std::atomic<bool> sawEnd{false};
        std::atomic<bool> done{false};
        ScriptedTarget target([&](Client& t) {
            sawEnd = t.recvToEnd().size() == request.size();
            waitFor([&] { return done.load(); }, milliseconds(10000));
        });
        define(2, target.port());
        const std::uint16_t port = start(2);
        Client c(port);
        ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_RELAYED) == 2; }));
        ASSERT_TRUE(c.sendAll(request.data(), request.size()));
        c.shutdownSend();
        const Clock::time_point endAt = Clock::now();
        std::this_thread::sleep_for(milliseconds(300));
        EXPECT_EQ(sink.count(mapping::EVENT_LEFT), 1) << "closed before its bound";
        EXPECT_TRUE(
            waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 2; }, milliseconds(4000)));
        EXPECT_GE(Clock::now() - endAt, milliseconds(1000));
        EXPECT_TRUE(waitFor([&] { return sawEnd.load(); }));
        EXPECT_TRUE(c.waitClosed(3000));
        EXPECT_TRUE(slotsFree(2));
        done = true;
    }
}

TEST_F(Engine, HalfClosedPairStaysWhileBytesMove) {
    // The answer comes slowly, over twice the bound: each byte is progress.
    ctx.halfCloseBound = milliseconds(1200);
    constexpr int kBytes = 12;
    ScriptedTarget target([](Client& t) {
        t.recvToEnd();
        for (int i = 0; i < kBytes; ++i) {
            std::this_thread::sleep_for(milliseconds(200));
            if (!t.sendAll("a", 1)) return;
        }
    });
    define(1, target.port());
    const std::uint16_t port = start(1);
    Client c(port);
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_RELAYED) == 1; }));
    ASSERT_TRUE(c.sendAll("request", 7));
    c.shutdownSend();
    EXPECT_EQ(c.recvToEnd(), std::string(kBytes, 'a'));
    EXPECT_TRUE(leftWithin(sink, milliseconds(3000)));
}

}  // namespace
}  // namespace lumesk::test
