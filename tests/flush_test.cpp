// Closing after the queued sends: a connection whose sends wait on a slow
// reader is closed only once they are through, or once they have made no
// progress for the flush bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "net/service.h"
#include "support.h"

using namespace lumesk;
using namespace lumesk::net;
using test::Client;
using test::EchoServer;
using test::waitFor;

namespace {

using Clock = std::chrono::steady_clock;

// Far more than the reader's small window and both systems' buffers hold, in
// chunks as the relay forwards them (one send record each).
constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kTotal = 8u << 20;

// Sends `data` to connection `number` and returns what is still queued in
// the service, not yet taken by the system.
std::int64_t queueTowards(EchoServer& server, int number, const std::vector<unsigned char>& data) {
    std::int64_t queued = -1;
    server.withConnection(number, [&](IoRecord* r) {
        for (std::size_t at = 0; at < data.size(); at += kChunk) {
            const auto size = static_cast<std::uint32_t>(std::min(kChunk, data.size() - at));
            if (!server.context().sendCopy(r, reinterpret_cast<const char*>(data.data()) + at,
                                           size)) {
                return;
            }
        }
        queued = r->queuedBytes.load();
    });
    return queued;
}

bool closeAfterSends(EchoServer& server, int number) {
    return server.withConnection(number, [&](IoRecord* r) { server.context().closeAfterSends(r); });
}

}  // namespace

// The close comes while most of the stream still waits in the queue: the
// reader gets every byte, in order, and then the end of the stream.
TEST(Flush, CloseAfterSendsDeliversEveryQueuedByte) {
    EchoServer server(2, 4, false);
    Client reader(server.port(), 4096);
    ASSERT_TRUE(waitFor([&] { return server.count(EV_ACCEPTED) == 1; }));
    const std::vector<unsigned char> data = test::pattern(kTotal);
    const std::int64_t queued = queueTowards(server, 1, data);
    ASSERT_GT(queued, 0) << "the reader's window took the whole stream";
    ASSERT_TRUE(closeAfterSends(server, 1));

    const std::string got = reader.recvToEnd();
    EXPECT_EQ(got.size(), data.size()) << queued << " bytes were queued at the close";
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + std::min(data.size(), got.size()),
                           reinterpret_cast<const unsigned char*>(got.data())));
    EXPECT_TRUE(waitFor([&] { return server.count(EV_CLOSED) == 1; }));
    EXPECT_EQ(server.eventsOf(1), (std::vector<int>{EV_ACCEPTED, EV_CLOSED}));
}

// A reader that never reads holds the close for the flush bound, counted
// from the close, and no longer; with nothing queued the close is at once.
TEST(Flush, StuckSendsEndAtTheBoundAndNoSendsEndAtOnce) {
    EchoServer server(2, 4, false);
    constexpr auto kBound = std::chrono::milliseconds(400);
    server.context().flushBound = kBound;

    Client stuck(server.port(), 4096);  // never reads
    ASSERT_TRUE(waitFor([&] { return server.count(EV_ACCEPTED) == 1; }));
    ASSERT_GT(queueTowards(server, 1, test::pattern(kTotal)), 0);
    const auto closing = Clock::now();
    ASSERT_TRUE(closeAfterSends(server, 1));
    ASSERT_TRUE(waitFor([&] { return server.count(EV_CLOSED) == 1; }));
    const auto took = Clock::now() - closing;
    EXPECT_GE(took, kBound);
    EXPECT_LT(took, kBound + std::chrono::seconds(5));

    server.context().flushBound = std::chrono::seconds(60);
    Client idle(server.port());
    ASSERT_TRUE(waitFor([&] { return server.count(EV_ACCEPTED) == 2; }));
    const auto idleClosing = Clock::now();
    ASSERT_TRUE(closeAfterSends(server, 2));
    EXPECT_TRUE(idle.waitClosed(5000));
    ASSERT_TRUE(waitFor([&] { return server.count(EV_CLOSED) == 2; }));
    EXPECT_LT(Clock::now() - idleClosing, std::chrono::seconds(5));
}
