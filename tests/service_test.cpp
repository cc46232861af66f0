#include <gtest/gtest.h>

#include <thread>

#include "net/service.h"
#include "support.h"

using namespace lumesk;
using namespace lumesk::net;
using test::Client;
using test::EchoServer;
using test::waitFor;

TEST(ServiceStart, WorkersCountThemselvesAfterTheirDelay) {
    ServiceContext ctx;
    WnSocketService server(ctx, ServiceRole::Server);
    EXPECT_EQ(server.threadStatus(3), 0);
    std::string error = "untouched";
    ASSERT_TRUE(server.start(10, true, error));
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(server.createdThreads(), 10);
    EXPECT_EQ(server.threadStatus(0), 0);  // still in their 500 ms start delay
    EXPECT_GT(server.threadStatus(3), 0);
    ASSERT_TRUE(waitFor([&] { return server.threadStatus(0) == 10; }));
    EXPECT_EQ(server.threadStatus(1), 0);
    EXPECT_EQ(server.threadStatus(2), 10);
    for (int kind : {4, 5, -1, 1000}) EXPECT_EQ(server.threadStatus(kind), 0);

    // Starting again changes nothing.
    ASSERT_TRUE(server.start(10, true, error));
    EXPECT_EQ(server.createdThreads(), 10);
}

TEST(ServiceStart, InstancesShareLockAndHeap) {
    ServiceContext ctx;
    WnSocketService server(ctx, ServiceRole::Server);
    WnSocketService client(ctx, ServiceRole::Client);
    server.startDelay = client.startDelay = std::chrono::milliseconds(0);
    std::string error;
    ASSERT_TRUE(server.start(2, true, error));
    auto* heap = ctx.heap.handle();
    Lock* lock = ctx.globalLock;
    ASSERT_TRUE(client.start(3, true, error));
    EXPECT_EQ(ctx.heap.handle(), heap);
    EXPECT_EQ(ctx.globalLock, lock);
    EXPECT_EQ(ctx.locks.size(), 1u);
    EXPECT_NE(server.port(), client.port());
    EXPECT_EQ(client.createdThreads(), 3);
    // Without a count the pool is four per processor.
    WnSocketService third(ctx, ServiceRole::Client);
    third.startDelay = std::chrono::milliseconds(0);
    ASSERT_TRUE(third.start(0, false, error));
    EXPECT_EQ(third.createdThreads(), 4 * platform::processorCount());
}

TEST(ServiceStart, OneExitPacketEndsEveryWorkerOfItsInstanceOnly) {
    ServiceContext ctx;
    WnSocketService server(ctx, ServiceRole::Server);
    WnSocketService client(ctx, ServiceRole::Client);  // shares the loop where it can
    server.startDelay = client.startDelay = std::chrono::milliseconds(0);
    std::string error;
    ASSERT_TRUE(server.start(6, true, error));
    ASSERT_TRUE(client.start(3, true, error));
    ASSERT_TRUE(
        waitFor([&] { return server.threadStatus(0) == 6 && client.threadStatus(0) == 3; }));
    ASSERT_TRUE(platform::postPacket(server.port(), 0, kExitKey, nullptr));
    ASSERT_TRUE(waitFor([&] { return server.threadStatus(0) == 0; }));
    // The last worker did not post it again: nothing is left in the port.
    platform::Completion c;
    EXPECT_FALSE(platform::dequeue(server.port(), 50, c));
    EXPECT_EQ(c.overlapped, nullptr);
    EXPECT_EQ(client.threadStatus(0), 3);
    client.stop();
    EXPECT_EQ(client.threadStatus(0), 0);
}

TEST(Accepts, PrePostedAndReplaced) {
    EchoServer server(4, 1000);
    EXPECT_EQ(server.context().pendingAccepts(server.listener()), 1000);
    std::vector<Client> clients;
    for (int i = 0; i < 20; ++i) clients.emplace_back(server.port());
    ASSERT_TRUE(waitFor([&] { return server.count(EV_ACCEPTED) == 20; }));
    ASSERT_TRUE(
        waitFor([&] { return server.context().pendingAccepts(server.listener()) == 1000; }));
    // Every event of a listener's connection carries the listener's tag.
    for (const auto& e : server.events()) EXPECT_EQ(e.tag, 7);
}

// Clients that reset before their accept completes (Windows fails such an
// accept with 10054 or 64) cost the listener nothing: no failure is reported,
// no accept waits out the back-off, and the next client is served at once.
TEST(Accepts, ClientsResettingAtOnceAreNoFailure) {
    EchoServer server(4, 1);  // one accept: the resets wait in the backlog for it
    server.context().acceptBackoff = std::chrono::milliseconds(60000);
    for (int i = 0; i < 300; ++i) {
        Client c;
        ASSERT_TRUE(c.connect(server.port()));
        c.reset();
    }
    const auto start = std::chrono::steady_clock::now();
    Client talker(server.port());
    char b = 'x';
    ASSERT_TRUE(talker.sendAll(&b, 1));
    ASSERT_TRUE(talker.recvAll(&b, 1));
    EXPECT_EQ(b, 'x');
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(server.count(EV_ACCEPT_FAILED), 0);
    EXPECT_TRUE(waitFor([&] { return server.context().pendingAccepts(server.listener()) == 1; }));
}

TEST(Accepts, BurstOfFiveHundredConnects) {
    EchoServer server(4, 1000);
    std::vector<Client> clients(500);
    std::vector<std::thread> threads;
    for (int t = 0; t < 5; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < 500; i += 5) EXPECT_TRUE(clients[i].connect(server.port()));
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_TRUE(waitFor([&] { return server.count(EV_ACCEPTED) == 500; }));
    // Each client is live: one byte echoes on every one.
    for (auto& c : clients) {
        char b = 'x';
        ASSERT_TRUE(c.sendAll(&b, 1));
        ASSERT_TRUE(c.recvAll(&b, 1));
        EXPECT_EQ(b, 'x');
    }
}

TEST(Events, OrderPerConnection) {
    EchoServer server;
    {
        Client silent(server.port());  // connects and leaves without a byte
    }
    Client talker(server.port());
    for (int i = 0; i < 5; ++i) {
        char buf[100] = {};
        ASSERT_TRUE(talker.sendAll(buf, sizeof buf));
        ASSERT_TRUE(talker.recvAll(buf, sizeof buf));
    }
    talker.close();
    ASSERT_TRUE(waitFor([&] { return server.count(EV_CLOSED) == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // nothing more may come
    const auto events = server.events();
    ASSERT_EQ(server.count(EV_CLOSED), 2);
    for (int number : {1, 2}) {
        const auto seq = server.eventsOf(number);
        ASSERT_GE(seq.size(), 2u);
        EXPECT_EQ(seq.front(), EV_ACCEPTED);
        EXPECT_EQ(seq.back(), EV_CLOSED);
        for (std::size_t i = 1; i + 1 < seq.size(); ++i) EXPECT_EQ(seq[i], EV_RECEIVED);
    }
    const int silentNumber = server.eventsOf(1).size() == 2 ? 1 : 2;
    EXPECT_EQ(server.eventsOf(silentNumber), (std::vector<int>{EV_ACCEPTED, EV_CLOSED}));
}

TEST(Events, ClosingFromOutsideEndsWithOneClose) {
    EchoServer server;
    Client client(server.port());
    ASSERT_TRUE(waitFor([&] { return server.count(EV_ACCEPTED) == 1; }));
    // Its receive is pending; closing the socket fails it, and the close is reported.
    ASSERT_TRUE(server.closeConnection(1));
    ASSERT_TRUE(waitFor([&] { return server.count(EV_CLOSED) == 1; }));
    EXPECT_TRUE(client.waitClosed(5000));
    EXPECT_EQ(server.eventsOf(1), (std::vector<int>{EV_ACCEPTED, EV_CLOSED}));
}

TEST(Events, FailedFirstReceiveStillCloses) {
    EchoServer server;
    // Break the socket inside EV_ACCEPTED: the first receive cannot be posted.
    server.onAccepted = [&server](IoRecord* r) { server.context().closeSocketOf(r); };
    Client client(server.port());
    ASSERT_TRUE(client.sendAll("data", 4));
    ASSERT_TRUE(waitFor([&] { return server.count(EV_CLOSED) == 1; }));
    EXPECT_EQ(server.eventsOf(1), (std::vector<int>{EV_ACCEPTED, EV_CLOSED}));
}

TEST(Sends, NotASocketTriesTwiceReportsAndFrees) {
    EchoServer server;
    ServiceContext& ctx = server.context();
    const std::size_t before = ctx.heap.liveBlocks();
    IoRecord* record = ctx.allocRecord();
    record->socket = platform::kNoSocket;
    SendRecord* send = ctx.allocSendRecord(record, "abc", 3);
    std::string error;
    EXPECT_FALSE(ctx.postSend(send, &error));
    EXPECT_EQ(error, "错误码:10038 WSAENOTSOCK 描述字不是一个套接口。");
    // Forwarding meets the same fault the same way, and keeps nothing.
    error.clear();
    EXPECT_FALSE(ctx.sendCopy(record, "abc", 3, &error));
    EXPECT_EQ(error, "错误码:10038 WSAENOTSOCK 描述字不是一个套接口。");
    EXPECT_EQ(record->queuedBytes.load(), 0);
    ctx.releaseRecord(record);
    EXPECT_EQ(ctx.heap.liveBlocks(), before);
}

TEST(Counters, BytesCountOnConnectionAndListener) {
    EchoServer server;
    Client client(server.port());
    std::vector<unsigned char> data = test::pattern(100000);
    ASSERT_TRUE(client.sendAll(data.data(), data.size()));
    ASSERT_TRUE(client.recvAll(data.data(), data.size()));
    IoRecord* listener = server.listener();
    // A receive is counted after its event: the echo may arrive first.
    ASSERT_TRUE(waitFor(
        [&] { return readBytes(listener, 1) == 100000 && readBytes(listener, 0) == 100000; }));
    std::int64_t received = 0;
    ASSERT_TRUE(waitFor([&] {
        server.withConnection(1, [&](IoRecord* r) { received = readBytes(r, 0); });
        return received == 100000;
    }));
}

// Connections close while their sends are still queued, and the listener goes
// away while accepts complete: no record may be read after it is freed (the
// sanitizer builds run this), and every record is freed in the end.
TEST(Lifetime, ClosesUnderOutstandingSendsAndAccepts) {
    platform::startup();  // its reserve descriptor stays for the process
    const int fdsBefore = test::processDescriptorCount();
    {
        EchoServer server(4, 200);
        std::vector<Client> clients;
        std::vector<unsigned char> data(1 << 20, 0x5A);
        for (int i = 0; i < 8; ++i) {
            clients.emplace_back(server.port(), 4096);
            // The client never reads: echoed sends pile up on the server.
            ASSERT_TRUE(clients.back().sendAll(data.data(), 256 * 1024));
        }
        ASSERT_TRUE(waitFor([&] { return server.count(EV_ACCEPTED) == 8; }));
        ASSERT_TRUE(waitFor([&] {
            for (int n = 1; n <= 8; ++n) {
                if (server.eventsOf(n).size() < 2) return false;
            }
            return true;
        }));
        for (int n = 1; n <= 8; ++n) EXPECT_TRUE(server.closeConnection(n));

        std::atomic<bool> stop{false};
        std::thread connector([&] {
            while (!stop) Client c(server.port());
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        server.stopListening();
        stop = true;
        connector.join();
        ASSERT_TRUE(waitFor([&] { return server.count(EV_CLOSED) == server.count(EV_ACCEPTED); }));
        clients.clear();
        ASSERT_TRUE(waitFor([&] { return server.context().heap.liveBlocks() == 0; }));
    }
    EXPECT_TRUE(waitFor([&] { return test::processDescriptorCount() <= fdsBefore; }));
}

// A connected record's first receive is its owner's to post, so the owner can
// report its failure before it tells anyone the connection is there.
TEST(Connects, TheOwnerPostsTheFirstReceive) {
    ServiceContext ctx;
    WnSocketService client(ctx, ServiceRole::Client);
    client.startDelay = std::chrono::milliseconds(0);
    std::string error;
    ASSERT_TRUE(client.start(2, true, error));
    test::TargetServer target("hi");  // speaks first, then closes

    struct Seen {
        std::mutex mutex;
        std::vector<int> events;
    } seen;
    auto handler = [](void* context, int event, IoRecord*, std::uint32_t, std::int32_t) {
        auto* s = static_cast<Seen*>(context);
        std::lock_guard<std::mutex> hold(s->mutex);
        s->events.push_back(event);
    };
    auto events = [&] {
        std::lock_guard<std::mutex> hold(seen.mutex);
        return seen.events;
    };
    IoRecord* record = ctx.allocRecord();
    record->socket = platform::createSocket();
    ASSERT_EQ(platform::bindSocket(record->socket, 0, 0), 0);
    ASSERT_TRUE(client.adopt(record));
    setCallback(record, handler, &seen);
    ASSERT_EQ(ctx.postConnect(record, platform::parseIPv4("127.0.0.1"), target.port()), 0);
    ASSERT_TRUE(waitFor([&] { return !events().empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(events(), std::vector<int>{EV_CONNECTED});  // nothing read yet
    ASSERT_TRUE(ctx.postReceive(record, &error));
    ASSERT_TRUE(waitFor([&] { return events().size() == 3; }));
    EXPECT_EQ(events(), (std::vector<int>{EV_CONNECTED, EV_RECEIVED, EV_CLOSED}));
    ASSERT_TRUE(waitFor([&] { return ctx.heap.liveBlocks() == 0; }));
    client.stop();
}
