// The mapping engine end to end on loopback, driven without a window.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#endif

#include "engine_fixture.h"
#include "mapping/engine.h"
#include "mapping/local_addresses.h"
#include "net/error_texts.h"
#include "support.h"

using namespace lumesk;
using mapping::EngineEvent;
using test::Client;
using test::waitFor;

using test::Engine;
using test::RecordingListener;
using test::roundTrip;

TEST_F(Engine, BytesUnchangedBothWaysForManyClients) {
    test::EchoServer target(4, 200);
    define(1, target.port());
    const std::uint16_t port = start(1);
    EXPECT_EQ(log.lines.back(), "[映射1]映射已启动");
    {
        Client c(port);
        for (std::size_t chunk : {1u, 7u, 1000u, 20480u}) roundTrip(c, 40000, chunk, chunk);
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < 50; ++i) {
        threads.emplace_back([&, i] {
            Client c(port);
            roundTrip(c, 256 * 1024, 4096 + i, static_cast<std::uint64_t>(i));
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 51; }));
    EXPECT_EQ(sink.count(mapping::EVENT_ENTERED), 51);
    EXPECT_EQ(sink.count(mapping::EVENT_RELAYED), 51);
    EXPECT_TRUE(sink.messages().empty());
    EXPECT_TRUE(noneOnline(1));
    EXPECT_TRUE(slotsFree(1));
    // Per client: entered, relayed, left, in that order, each carrying the
    // client's own addresses (the window reads them after the slot is gone).
    const auto events = sink.events();
    std::map<std::uint64_t, std::vector<const EngineEvent*>> byClient;
    for (const auto& e : events) {
        if (e.kind != mapping::EVENT_MESSAGE) byClient[e.serial].push_back(&e);
    }
    ASSERT_EQ(byClient.size(), 51u);  // a serial of its own for each
    const std::string forward = "127.0.0.1:" + std::to_string(target.port());
    for (const auto& [serial, seen] : byClient) {
        ASSERT_EQ(seen.size(), 3u) << serial;
        EXPECT_EQ(seen[0]->kind, mapping::EVENT_ENTERED);
        EXPECT_EQ(seen[1]->kind, mapping::EVENT_RELAYED);
        EXPECT_EQ(seen[2]->kind, mapping::EVENT_LEFT);
        EXPECT_EQ(seen[0]->client.rfind("127.0.0.1:", 0), 0u) << seen[0]->client;
        EXPECT_EQ(seen[0]->forward, ":0");  // no relay yet
        EXPECT_EQ(seen[1]->forward, forward);
        EXPECT_EQ(seen[2]->client, seen[0]->client);
        EXPECT_EQ(seen[2]->forward, forward);
    }
}

TEST_F(Engine, SixtyFourMebibyteStream) {
    test::EchoServer target(4, 10);
    define(1, target.port());
    Client c(start(1));
    roundTrip(c, 64u << 20, 1u << 20, 42);
}

TEST_F(Engine, TargetAnswersAndClosesAtOnce) {
    const std::string answer(3 << 20, 'a');
    test::TargetServer target(answer);
    define(1, target.port());
    Client c(start(1));
    EXPECT_EQ(c.recvToEnd().size(), answer.size());
    // The target's end is passed on as an end; the pair goes once the client
    // has ended too.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sink.count(mapping::EVENT_LEFT), 0);
    c.close();
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 1; }));
    EXPECT_TRUE(noneOnline(1));
    EXPECT_TRUE(slotsFree(1));
}

TEST_F(Engine, ClientClosesFirstAfterSending) {
    test::EchoServer target(4, 10, false);  // keeps what it gets
    define(1, target.port());
    {
        Client c(start(1));
        std::vector<unsigned char> data(2 << 20, 0x33);
        ASSERT_TRUE(c.sendAll(data.data(), data.size()));
    }
    // Every byte the client sent reaches the target before the relay goes.
    ASSERT_TRUE(waitFor([&] { return readBytes(target.listener(), 0) == (2 << 20); }));
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 1; }));
    EXPECT_TRUE(waitFor([&] { return target.count(net::EV_CLOSED) == 1; }));
    EXPECT_TRUE(noneOnline(1));
}

TEST_F(Engine, CapacitySlotsBlacklistAndPerIpRefusals) {
    test::EchoServer target(4, 200);
    model::MappingRecord& r = define(1, target.port());
    r.capacity = 1;
    const std::uint16_t port = start(1);
    Client first(port);
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_RELAYED) == 1; }));
    Client second(port);
    ASSERT_TRUE(second.waitClosed(5000));
    ASSERT_TRUE(waitFor([&] { return sink.messages().size() == 2; }));
    EXPECT_EQ(sink.messages()[0], clientText(second, "服务设置在线人数 错误"));
    EXPECT_EQ(sink.messages()[1], "索引大于客户数组下标");
    first.close();
    ASSERT_TRUE(noneOnline(1));

    // 100 slots whatever the capacity.
    edit([&] { r.capacity = 10000; });
    std::vector<Client> clients;
    for (int i = 0; i < 100; ++i) clients.emplace_back(port);
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_RELAYED) == 101; }));
    Client extra(port);
    ASSERT_TRUE(extra.waitClosed(5000));
    ASSERT_TRUE(waitFor([&] { return sink.messages().size() == 4; }));
    EXPECT_EQ(sink.messages()[2], clientText(extra, "分配客户索引 错误"));
    clients.clear();
    ASSERT_TRUE(noneOnline(1));
    ASSERT_TRUE(slotsFree(1));

    // Per-IP cap: two from one address, the third refused.
    edit([&] { r.per_ip_limit = 2; });
    Client a(port), b(port);
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_RELAYED) == 103; }));
    Client c(port);
    ASSERT_TRUE(c.waitClosed(5000));
    ASSERT_TRUE(waitFor([&] { return sink.messages().size() == 6; }));
    EXPECT_EQ(sink.messages()[4], clientText(c, "此IP不允许连接"));

    // Blacklisted address.
    edit([&] {
        r.per_ip_limit = 0;
        r.blacklist = {"", "127.0.0.1"};
    });
    Client d(port);
    ASSERT_TRUE(d.waitClosed(5000));
    ASSERT_TRUE(waitFor([&] { return sink.messages().size() == 8; }));
    EXPECT_EQ(sink.messages()[6], clientText(d, "此IP不允许连接"));
}

TEST_F(Engine, RelayFailuresAreReported) {
    test::ClosedPort closed;
    const std::uint16_t deadPort = closed.port();
    define(1, deadPort);
    define(2, deadPort, "1.2.3");
    define(3, deadPort, "");
    const std::uint16_t p1 = start(1), p2 = start(2), p3 = start(3);
    const std::string target = "转接到[127.0.0.1:" + std::to_string(deadPort) + "]错误:";
    Client c1(p1);
    ASSERT_TRUE(c1.waitClosed(5000));
    Client c2(p2);
    ASSERT_TRUE(c2.waitClosed(5000));
    Client c3(p3);
    ASSERT_TRUE(c3.waitClosed(5000));
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 3; }));
    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], clientText(c1, target + "套接口捆绑错误:10061"));
    EXPECT_EQ(messages[1], clientText(c2, "转接到[1.2.3:" + std::to_string(deadPort) +
                                              "]错误:提供的IP地址不正确:1.2.3"));
    EXPECT_EQ(table.at(3).forward_ip, "0.0.0.0");
    EXPECT_EQ(messages[2].rfind(clientText(c3, "转接到[0.0.0.0:" + std::to_string(deadPort) +
                                                   "]错误:套接口捆绑错误:"),
                                0),
              0u);
    for (int n : {1, 2, 3}) EXPECT_TRUE(noneOnline(n));
}

// An empty forward IP reads 0.0.0.0, which is no target: a connect to it
// fails as on Windows instead of reaching whatever listens on this machine.
TEST_F(Engine, AnyAddressTargetConnectsNowhere) {
    test::EchoServer local(2, 10);
    define(1, local.port(), "");
    Client c(start(1));
    ASSERT_TRUE(c.waitClosed(5000));
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 1; }));
    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], clientText(c, "转接到[0.0.0.0:" + std::to_string(local.port()) +
                                             "]错误:套接口捆绑错误:10049"));
    EXPECT_EQ(local.count(net::EV_ACCEPTED), 0);
}

// A delete stops the mapping as a stop does and gives up every relay its
// slots held: the fixture's end finds no record left behind.
TEST_F(Engine, DeletingARunningMappingLeavesNothing) {
    test::EchoServer target(4, 10);
    define(1, target.port());
    const std::uint16_t port = start(1);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        roundTrip(*clients.back(), 10000, 1000, static_cast<std::uint64_t>(i));
    }
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_RELAYED) == 3; }));
    engine.deleteMapping(1);
    EXPECT_EQ(log.lines.back(), "[映射1]映射已停止");
    EXPECT_EQ(table.at(1).service, nullptr);
    EXPECT_TRUE(table.at(1).name.empty());
    for (auto& c : clients) EXPECT_TRUE(c->waitClosed(5000));
    // A new mapping in the same place is not touched by the old clients' ends.
    define(1, target.port());
    Client fresh(start(1));
    roundTrip(fresh, 1000, 100, 7);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(engine.onlineCount(1), 1);
    std::lock_guard<std::mutex> lock(*engine.clientTableLock());
    EXPECT_FALSE(table.at(1).clients[0].isFree());
}

// Clients from one address that arrive together: a per-IP limit of 1 lets
// exactly one in, however the workers interleave.
TEST_F(Engine, PerIpLimitHoldsForClientsArrivingTogether) {
    test::EchoServer target(4, 200);
    model::MappingRecord& r = define(1, target.port());
    r.per_ip_limit = 1;
    const std::uint16_t port = start(1);
    for (int round = 0; round < 100; ++round) {
        const int before = sink.count(mapping::EVENT_ENTERED);
        const std::size_t refusedBefore = sink.messages().size();
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 6; ++i) clients.push_back(std::make_unique<Client>(port));
        // Five refused (each with its line and a slot-less close line), one in.
        ASSERT_TRUE(waitFor([&] {
            return sink.messages().size() >= refusedBefore + 10 &&
                   sink.count(mapping::EVENT_ENTERED) > before;
        })) << "round "
            << round;
        EXPECT_EQ(sink.messages().size(), refusedBefore + 10) << "round " << round;
        EXPECT_EQ(sink.count(mapping::EVENT_ENTERED) - before, 1) << "round " << round;
        clients.clear();
        ASSERT_TRUE(noneOnline(1));
        ASSERT_TRUE(slotsFree(1));
    }
}

TEST_F(Engine, StartAndStopChecks) {
    define(1, 9).listen_ip = "1.2.3";
    engine.startMapping(1);
    EXPECT_EQ(log.lines.back(), "[映射1]映射启动错误:IP地址提供错误(1.2.3)");
    table.at(1).listen_ip = "127.00.0.1";
    engine.startMapping(1);
    EXPECT_EQ(log.lines.back(), "[映射1]映射启动错误:IP地址提供错误(127.00.0.1)");
    table.at(1).listen_ip = "";
    const std::uint16_t port = start(1);
    EXPECT_EQ(table.at(1).listen_ip, "0.0.0.0");
    engine.startMapping(1);  // running already: reported as started, nothing changes
    EXPECT_EQ(log.lines.back(), "[映射1]映射已启动");
    define(2, 9).listen_port = port;
    engine.startMapping(2);
    EXPECT_EQ(log.lines.back(), "[映射2]映射启动错误:一个端口只许绑定一个套接口句柄(127.0.0.1:" +
                                    std::to_string(port) + ")");
    engine.stopMapping(1);
    EXPECT_EQ(log.lines.back(), "[映射1]映射已停止");
    engine.stopMapping(1);
    EXPECT_EQ(log.lines.back(), "[映射1]映射已停止");
    engine.startMapping(1001);
    EXPECT_EQ(log.lines.back(), "[]映射启动错误:索引(1001)超出数组范围");
    const std::size_t lines = log.lines.size();
    engine.startMapping(3);  // a free record: nothing starts, nothing to say
    EXPECT_EQ(table.at(3).service, nullptr);
    EXPECT_EQ(log.lines.size(), lines);
}

TEST_F(Engine, StopClosesEveryPairAndLeaksNothing) {
    test::EchoServer target(4, 100);
    define(1, target.port());
    const int fdsBefore = test::processDescriptorCount();
    const std::uint16_t port = start(1);
    std::vector<Client> clients;
    for (int i = 0; i < 50; ++i) {
        clients.emplace_back(port);
        char b = 'q';
        ASSERT_TRUE(clients.back().sendAll(&b, 1));
        ASSERT_TRUE(clients.back().recvAll(&b, 1));
    }
    engine.stopMapping(1);
    for (auto& c : clients) EXPECT_TRUE(c.waitClosed(5000));
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 50; }));
    EXPECT_TRUE(slotsFree(1));
    clients.clear();
    EXPECT_TRUE(waitFor([&] { return test::processDescriptorCount() <= fdsBefore; }));
}

TEST_F(Engine, SlowReaderKeepsQueuesBounded) {
    test::TargetServer target("");  // takes the connection, never reads
    define(1, target.port());
    Client c(start(1));
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_RELAYED) == 1; }));
    std::atomic<std::size_t> sent{0};
    std::thread writer([&] {
        std::vector<unsigned char> chunk(64 * 1024, 1);
        while (sent < (256u << 20) && c.sendAll(chunk.data(), chunk.size())) sent += chunk.size();
    });
    // The writer stalls once the kernel buffers and our bounded queue are full.
    std::size_t last = 0;
    ASSERT_TRUE(waitFor([&] {
        const std::size_t now = sent;
        const bool still = now == last && now > 0;
        last = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return still;
    }));
    std::int64_t queued = -1;
    {
        std::lock_guard<std::mutex> lock(*engine.clientTableLock());
        net::IoRecord* relay = std::as_const(table.at(1).clients)[0].connections[1];
        ASSERT_NE(relay, nullptr);
        queued = relay->queuedBytes.load();
    }
    EXPECT_LE(queued, net::kSendHighWater + net::BUFFER_SIZE);
    EXPECT_LT(sent.load(), 256u << 20);
    engine.stopMapping(1);  // resets the client: the blocked writer returns
    writer.join();
}

TEST_F(Engine, DeadTargetStallsNoOtherMapping) {
    test::StalledTarget dead;
    test::EchoServer alive(4, 10);
    define(1, dead.port());
    define(2, alive.port());
    const std::uint16_t deadPort = start(1);
    const std::uint16_t alivePort = start(2);
    std::vector<Client> waiting;
    for (int i = 0; i < 10; ++i) waiting.emplace_back(deadPort);
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_ENTERED) == 10; }));
    // Ten connects hang on the dead target; a client of the other mapping is served.
    Client c(alivePort);
    roundTrip(c, 100000, 1000, 7);
    EXPECT_EQ(sink.count(mapping::EVENT_RELAYED), 1);
    EXPECT_EQ(engine.onlineCount(1), 10);
    // Stopping ends the hanging connects: every waiting client leaves.
    engine.stopMapping(1);
    for (auto& w : waiting) EXPECT_TRUE(w.waitClosed(5000));
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 10; }));
    EXPECT_TRUE(slotsFree(1));
}

// A connect that takes longer than the bound fails as a timed-out connect,
// and its client leaves with its slot freed.
TEST_F(Engine, RelayConnectHasABound) {
    engine.connectBound = std::chrono::milliseconds(300);
    test::StalledTarget dead;
    define(1, dead.port());
    const auto started = std::chrono::steady_clock::now();
    Client c(start(1));
    ASSERT_TRUE(c.waitClosed(5000));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 1; }));
    const auto messages = sink.messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0], clientText(c, "转接到[127.0.0.1:" + std::to_string(dead.port()) +
                                             "]错误:套接口捆绑错误:10060"));
    EXPECT_EQ(sink.count(mapping::EVENT_RELAYED), 0);
    EXPECT_TRUE(slotsFree(1));
}

// An end from either side is passed on as an end of sending: what the other
// side sends after it still arrives whole, also to a slow reader after both
// sides have ended, and the pair goes once both ended.
TEST_F(Engine, HalfCloseKeepsTheOtherDirection) {
    const std::size_t request = 100000;
    const std::size_t reply = 8 << 20;
    std::atomic<bool> requestWhole{false};
    test::ScriptedTarget answersAtTheEnd([&](Client& t) {
        const std::string in = t.recvToEnd();
        const auto expected = test::pattern(request);
        requestWhole =
            std::equal(in.begin(), in.end(), expected.begin(), expected.end(),
                       [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; });
        const auto out = test::pattern(reply, 5);
        t.sendAll(out.data(), out.size());
    });
    define(1, answersAtTheEnd.port());
    {
        Client c(start(1), 4096);
        const auto out = test::pattern(request);
        ASSERT_TRUE(c.sendAll(out.data(), out.size()));
        c.shutdownSend();
        std::vector<unsigned char> back(reply);
        for (std::size_t at = 0; at < reply; at += 64 * 1024) {  // a slow reader
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ASSERT_TRUE(c.recvAll(back.data() + at, std::min<std::size_t>(64 * 1024, reply - at)));
        }
        EXPECT_EQ(back, test::pattern(reply, 5));
        EXPECT_TRUE(c.waitClosed(5000));
        EXPECT_TRUE(requestWhole);
        ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 1; }));
    }

    std::atomic<std::size_t> heard{0};
    test::ScriptedTarget speaksFirst([&](Client& t) {
        t.sendAll("hello", 5);
        t.shutdownSend();
        heard = t.recvToEnd().size();
    });
    define(2, speaksFirst.port());
    Client c(start(2));
    EXPECT_EQ(c.recvToEnd(), "hello");
    const auto out = test::pattern(2 << 20);
    ASSERT_TRUE(c.sendAll(out.data(), out.size()));
    EXPECT_EQ(sink.count(mapping::EVENT_LEFT), 1);
    c.close();
    EXPECT_TRUE(waitFor([&] { return heard == out.size(); })) << heard;
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 2; }));
    EXPECT_TRUE(noneOnline(1) && noneOnline(2));
    EXPECT_TRUE(sink.messages().empty());
}

// A reset is passed on to the other side once what came before it is through,
// and an orderly end stays orderly, both ways.
TEST_F(Engine, AResetIsPassedOnAndAnOrderlyEndStaysOne) {
    if (test::underWine()) {
        // Wine closes in order despite a zero linger, and ends a pending
        // receive on the peer's reset as if the peer had ended.
        GTEST_SKIP() << "Wine neither sends nor reports a reset as Windows does";
    }
    using End = Client::End;
    std::vector<End> targetSaw;
    std::mutex mutex;
    std::atomic<int> served{0};
    // The target echoes three bytes, then says "hi" and resets when asked to
    // ('R'), or reads on to the end and keeps how it came.
    test::ScriptedTarget target([&](Client& t) {
        char in[3];
        if (t.recvAll(in, 3)) t.sendAll(in, 3);
        if (in[0] == 'R') {
            t.sendAll("hi", 2);
            t.reset();
        } else {
            const End end = t.waitEnd(5000);
            std::lock_guard<std::mutex> lock(mutex);
            targetSaw.push_back(end);
        }
        ++served;
    });
    define(1, target.port());
    const std::uint16_t port = start(1);
    int round = 0;
    for (const char* how : {"cut", "end", "RST"}) {
        SCOPED_TRACE(how);
        Client c(port);
        ASSERT_TRUE(c.sendAll(how, 3));
        char back[3];
        ASSERT_TRUE(c.recvAll(back, 3));
        if (how[0] == 'c') c.reset();
        if (how[0] == 'e') c.close();
        if (how[0] == 'R') {
            char hi[2];
            ASSERT_TRUE(c.recvAll(hi, 2));
            EXPECT_EQ(c.waitEnd(5000), End::Reset);
        }
        ++round;
        ASSERT_TRUE(waitFor([&] { return served.load() == round; }));
    }
    EXPECT_EQ(targetSaw, (std::vector<End>{End::Reset, End::Orderly}));
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 3; }));
    EXPECT_TRUE(sink.messages().empty());
}

// Clients that give up while their relays still connect free their slots at
// once: the connects are cancelled, and that is no failure to report.
TEST_F(Engine, ClientsLeavingWhileTheRelayConnectsGoAtOnce) {
    test::StalledTarget dead;
    define(1, dead.port());
    const std::uint16_t port = start(1);
    const std::size_t socketsBefore = platform::openSocketCount();
    {
        std::vector<Client> waiting;
        for (int i = 0; i < 10; ++i) waiting.emplace_back(port);
        ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_ENTERED) == 10; }));
    }
    ASSERT_TRUE(
        waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 10; }, std::chrono::seconds(3)));
    EXPECT_TRUE(slotsFree(1));
    EXPECT_EQ(engine.onlineCount(1), 0);
    EXPECT_TRUE(waitFor([&] { return platform::openSocketCount() <= socketsBefore; },
                        std::chrono::seconds(3)));
    EXPECT_TRUE(sink.messages().empty());
}

namespace {

// Per client (by serial): "relayed" at most once, never after "left".
std::string orderFault(const std::vector<EngineEvent>& events) {
    std::map<std::uint64_t, int> last;  // the last kind seen
    for (const EngineEvent& e : events) {
        if (e.kind != mapping::EVENT_RELAYED && e.kind != mapping::EVENT_LEFT) continue;
        int& seen = last[e.serial];
        if (e.kind == mapping::EVENT_RELAYED && seen != 0) {
            return "client " + std::to_string(e.serial) + ": relayed after kind " +
                   std::to_string(seen);
        }
        if (e.kind == mapping::EVENT_LEFT && seen == mapping::EVENT_LEFT) {
            return "client " + std::to_string(e.serial) + ": left twice";
        }
        seen = e.kind;
    }
    return {};
}

int countOf(const std::vector<EngineEvent>& events, int kind) {
    return static_cast<int>(std::count_if(events.begin(), events.end(),
                                          [&](const EngineEvent& e) { return e.kind == kind; }));
}

}  // namespace

// Clients that knock while a mapping starts are served from the listener's
// first accept on: each admitted client is relayed, none is cut off as if
// the mapping had been stopped, over ten starts and stops on one port.
TEST_F(Engine, ClientsArrivingAsAMappingStartsAreRelayed) {
    test::EchoServer target(4, 200);
    define(1, target.port());
    const std::uint16_t port = start(1);  // the port every later start binds again
    engine.stopMapping(1);
    int echoed = 0;
    for (int round = 0; round < 10; ++round) {
        std::atomic<bool> knocking{true};
        std::atomic<int> echoes{0};
        std::vector<std::thread> knockers;
        for (int k = 0; k < 8; ++k) {
            knockers.emplace_back([&] {
                while (knocking) {
                    Client c;
                    if (!c.connect(port)) continue;  // refused until the listener is up
                    char b = 'k';
                    if (c.sendAll(&b, 1) && c.recvAll(&b, 1)) ++echoes;
                    c.reset();  // gone at once: no half-closed pairs pile up in the slots
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // knocking on a closed port
        engine.startMapping(1);
        ASSERT_NE(table.at(1).service, nullptr) << log.lines.back();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        knocking = false;
        for (auto& t : knockers) t.join();
        EXPECT_GT(echoes.load(), 0) << "round " << round;
        echoed += echoes;
        ASSERT_TRUE(waitFor([&] {
            const auto events = sink.events();
            return countOf(events, mapping::EVENT_LEFT) == countOf(events, mapping::EVENT_ENTERED);
        })) << "round "
            << round;
        engine.stopMapping(1);
        EXPECT_EQ(log.lines.back(), "[映射1]映射已停止");
        const auto events = sink.events();
        EXPECT_EQ(countOf(events, mapping::EVENT_RELAYED), countOf(events, mapping::EVENT_ENTERED))
            << "round " << round;
        const auto messages = sink.messages();
        ASSERT_TRUE(messages.empty()) << "round " << round << ": " << messages.front();
    }
    EXPECT_EQ(orderFault(sink.events()), "");
    EXPECT_EQ(sink.count(mapping::EVENT_RELAYED), echoed);
}

// A stop while relays still connect cancels them: no failure is reported for
// their clients, whether or not they had sent something, and so for a delete.
TEST_F(Engine, StoppingWhileRelaysConnectReportsNothing) {
    test::StalledTarget dead;
    define(1, dead.port());
    for (int round = 0; round < 2; ++round) {
        const std::uint16_t port = start(1);
        const int left = sink.count(mapping::EVENT_LEFT);
        std::vector<Client> waiting;
        for (int i = 0; i < 5; ++i) {
            waiting.emplace_back(port);
            char b = 'x';
            ASSERT_TRUE(waiting.back().sendAll(&b, 1));
        }
        // Each byte waits in its client's record for the relay.
        ASSERT_TRUE(waitFor([&] {
            std::lock_guard<std::mutex> lock(*engine.clientTableLock());
            int held = 0;
            for (const auto& s : std::as_const(table.at(1).clients)) {
                held += !s.isFree() &&
                        s.connections[0]->ownerPause.load() == net::ReceivePause::BytesWaiting;
            }
            return held == 5;
        }));
        if (round == 0) {
            engine.stopMapping(1);
        } else {
            engine.deleteMapping(1);
        }
        EXPECT_EQ(log.lines.back(), "[映射1]映射已停止");
        define(1, dead.port());  // a port of its own for the next round
        for (auto& w : waiting) EXPECT_TRUE(w.waitClosed(5000));
        // A delete gives the slots up with the record: its clients leave unannounced.
        if (round == 0) {
            EXPECT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == left + 5; }));
        }
        EXPECT_TRUE(waitFor([&] { return ctx.heap.liveBlocks() == 0; }, std::chrono::seconds(5)))
            << "round " << round;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a late report would be here
    const auto messages = sink.messages();
    EXPECT_TRUE(messages.empty()) << messages.front();
    EXPECT_EQ(sink.count(mapping::EVENT_RELAYED), 0);
}

// Clients that leave just as their relays connect: for each, "relayed" comes
// before its "left" or not at all, and every one that entered leaves.
TEST_F(Engine, RelayedNeverFollowsLeft) {
    test::EchoServer target(4, 200);
    define(1, target.port());
    const std::uint16_t port = start(1);
    for (int i = 0; i < 300; ++i) {
        if (i % 25 == 0) {
            // The last 25 taken in (or given up by the system) and gone, so
            // no burst fills the 100 slots.
            waitFor([&] { return sink.count(mapping::EVENT_ENTERED) >= i; },
                    std::chrono::seconds(2));
            ASSERT_TRUE(waitFor([&] {
                return sink.count(mapping::EVENT_LEFT) == sink.count(mapping::EVENT_ENTERED);
            }));
            ASSERT_TRUE(noneOnline(1));
        }
        Client c(port);
        if (i % 2) {
            char b = 'r';
            ASSERT_TRUE(c.sendAll(&b, 1));
        }
        c.reset();
    }
    // A client reset before its accept completed never enters.
    ASSERT_TRUE(waitFor(
        [&] { return sink.count(mapping::EVENT_LEFT) == sink.count(mapping::EVENT_ENTERED); }));
    EXPECT_TRUE(noneOnline(1));
    EXPECT_TRUE(slotsFree(1));
    EXPECT_GT(sink.count(mapping::EVENT_ENTERED), 0);
    EXPECT_EQ(orderFault(sink.events()), "");
    const auto messages = sink.messages();
    EXPECT_TRUE(messages.empty()) << messages.size() << ", " << messages.front();
}

namespace {

// Sends to a target that never reads until the relay holds bytes it cannot
// pass on, then resets: the client is gone, its relay is left flushing. Each
// chunk is sent only once the engine has read the last, so the relay's queue
// never reaches the flow-control mark (a paused client could not be seen
// leaving).
void leaveRelayFlushing(model::MappingRecord& record, net::Lock* lock, RecordingListener& sink) {
    const int relayed = sink.count(mapping::EVENT_RELAYED);
    Client c(static_cast<std::uint16_t>(record.listen_port));
    char byte = 1;
    ASSERT_TRUE(c.sendAll(&byte, 1));
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_RELAYED) > relayed; }));
    const net::IoRecord* client = nullptr;
    const net::IoRecord* relay = nullptr;
    {
        std::lock_guard<std::mutex> hold(*lock);
        client = std::as_const(record.clients)[0].connections[0];
        relay = std::as_const(record.clients)[0].connections[1];
    }
    ASSERT_TRUE(client && relay);
    std::vector<unsigned char> chunk(16 * 1024, 9);
    std::int64_t sent = 1;
    bool stuck = false;
    for (int i = 0; i < 4000 && !stuck; ++i) {
        ASSERT_TRUE(c.sendAll(chunk.data(), chunk.size()));
        sent += static_cast<std::int64_t>(chunk.size());
        ASSERT_TRUE(waitFor([&] { return readBytes(client, 0) == sent; }));
        constexpr std::int64_t kStuck = 64 * 1024;
        if (relay->queuedBytes.load() > kStuck) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            stuck = relay->queuedBytes.load() > kStuck;
        }
    }
    ASSERT_TRUE(stuck);
    const int left = sink.count(mapping::EVENT_LEFT);
    c.reset();
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) > left; }));
}

}  // namespace

// A relay still sending what its gone client sent is closed by a stop, and
// without one once its sends make no progress for the flush bound.
TEST_F(Engine, RelaysOfGoneClientsEndWithTheStopOrTheFlushBound) {
    test::TargetServer target("");  // never reads
    define(1, target.port());
    start(1);
    leaveRelayFlushing(table.at(1), engine.clientTableLock(), sink);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GT(platform::openSocketCount(), 1000u);  // the relay still flushes
    engine.stopMapping(1);
    EXPECT_TRUE(waitFor([&] { return ctx.heap.liveBlocks() == 0; }, std::chrono::seconds(5)));

    ctx.flushBound = std::chrono::milliseconds(300);
    define(2, target.port());
    start(2);
    const std::size_t socketsBefore = platform::openSocketCount();
    const auto left = std::chrono::steady_clock::now();
    leaveRelayFlushing(table.at(2), engine.clientTableLock(), sink);
    ASSERT_TRUE(waitFor([&] { return platform::openSocketCount() <= socketsBefore; },
                        std::chrono::seconds(5)));
    EXPECT_GE(std::chrono::steady_clock::now() - left, std::chrono::milliseconds(300));
}

#ifndef _WIN32
// Out of descriptors, a listener refuses the clients it cannot take at once,
// says so once per burst, and serves again as soon as descriptors are free,
// with its full set of accepts posted.
TEST_F(Engine, AListenerOutOfDescriptorsRefusesAndRecovers) {
    define(1, 9).mode = model::Mode::HttpProxy;  // admission only: one descriptor per client
    engine.headBound = std::chrono::minutes(5);  // while they send no request
    const std::uint16_t port = start(1);
    std::vector<Client> clients(40);
    for (auto& c : clients) ASSERT_TRUE(c.open());

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The limit is a bound on descriptor numbers: leave four numbers free.
    rlimit low = saved;
    int free = 0;
    for (low.rlim_cur = 0; free < 4; ++low.rlim_cur) {
        free += ::fcntl(static_cast<int>(low.rlim_cur), F_GETFD) < 0;
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    struct Restore {
        rlimit limit;
        ~Restore() { ::setrlimit(RLIMIT_NOFILE, &limit); }
    } restore{saved};

    std::size_t served = 0;
    int refused = 0;
    for (std::size_t i = 0; i < clients.size() && refused < 2; ++i) {
        const int entered = sink.count(mapping::EVENT_ENTERED);
        ASSERT_TRUE(clients[i].connectOpened(port));
        if (waitFor([&] { return sink.count(mapping::EVENT_ENTERED) > entered; },
                    std::chrono::milliseconds(500))) {
            ASSERT_EQ(refused, 0) << "served after a refusal while still full";
            ++served;
        } else {
            EXPECT_TRUE(clients[i].waitClosed(3000)) << "client " << i << " left waiting";
            ++refused;
        }
    }
    EXPECT_GE(served, 1u);
    EXPECT_EQ(refused, 2);
    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 1u) << messages.back();
    EXPECT_EQ(messages[0], "[映射1]接受连接错误:10024,稍后重试");

    for (std::size_t i = 0; i < served; ++i) clients[i].close();
    ASSERT_TRUE(noneOnline(1));
    ASSERT_TRUE(waitFor([&] { return ctx.pendingAccepts(table.at(1).service) == 1000; }));
    Client again;
    ASSERT_TRUE(again.open());
    ASSERT_TRUE(again.connectOpened(port));
    EXPECT_TRUE(waitFor(
        [&] { return sink.count(mapping::EVENT_ENTERED) == static_cast<int>(served) + 1; }));
}
#endif

TEST_F(Engine, HttpProxyModeAdmitsBeforeReadingAndFrees) {
    test::EchoServer target(4, 10);
    define(1, target.port()).mode = model::Mode::HttpProxy;
    const std::uint16_t port = start(1);
    {
        Client c(port);  // sends nothing yet
        ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_ENTERED) == 1; }));
        EXPECT_EQ(engine.onlineCount(1), 1);
    }
    // Its slot and online count come back when it leaves.
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 1; }));
    EXPECT_TRUE(noneOnline(1));
    EXPECT_TRUE(slotsFree(1));
    EXPECT_EQ(sink.count(mapping::EVENT_RELAYED), 0);
    EXPECT_EQ(target.count(net::EV_ACCEPTED), 0);  // no request, no relay
    EXPECT_TRUE(sink.messages().empty());
}

TEST(LocalAddresses, LastRowIsNeverListed) {
    const auto a = [](const char* ip) { return platform::parseIPv4(ip); };
    EXPECT_TRUE(mapping::addressListFromTable({}).empty());
    EXPECT_TRUE(mapping::addressListFromTable({a("10.0.0.1")}).empty());
    EXPECT_EQ(mapping::addressListFromTable({a("10.0.0.1"), a("10.0.0.2"), a("127.0.0.1")}),
              (std::vector<std::string>{"10.0.0.2", "10.0.0.1"}));
    std::vector<std::string> list{"stale"};
    const int n = mapping::localAddressList(list);
    EXPECT_EQ(n, static_cast<int>(list.size()));
    for (const auto& ip : list) EXPECT_NE(ip.rfind("127.", 0), 0u) << ip;
}

TEST(RelayTexts, AFailedFirstReceiveIsReportedUnlessCancelledHere) {
    using mapping::MappingEngine;
    const std::string prefix = "转接到[10.0.0.9:80]错误:";
    const std::string reset = net::receiveErrorText(10054);
    EXPECT_EQ(MappingEngine::receivePostFailure(prefix, reset, false, false, false),
              prefix + "投递WSARecv 错误" + reset);
    // Cancelled: the client left first, the mapping stopped, or the socket
    // was closed here (a stop meeting a connect that has just completed).
    EXPECT_EQ(MappingEngine::receivePostFailure(prefix, reset, false, true, false), "");
    EXPECT_EQ(MappingEngine::receivePostFailure(prefix, reset, false, false, true), "");
    EXPECT_EQ(MappingEngine::receivePostFailure(prefix, net::receiveErrorText(10038), false, false,
                                                false),
              "");
    // The connect bound closed it: a timed-out connect, whatever else held.
    EXPECT_EQ(
        MappingEngine::receivePostFailure(prefix, net::receiveErrorText(10038), true, true, false),
        prefix + "套接口捆绑错误:10060");
}
