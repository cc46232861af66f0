#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "mapping/event_queue.h"
#include "monitor/formats.h"
#include "monitor/monitor.h"

using namespace lumesk;
using namespace lumesk::monitor;

TEST(Formats, SizesAtEveryUnitBoundary) {
    EXPECT_EQ(formatSize(0), "0B");
    EXPECT_EQ(formatSize(-5), "0B");
    EXPECT_EQ(formatSize(512), "512B");
    EXPECT_EQ(formatSize(1023), "1023B");
    EXPECT_EQ(formatSize(1024), "1.00KB");
    EXPECT_EQ(formatSize(1536), "1.50KB");
    EXPECT_EQ(formatSize(2000), "1.95KB");
    EXPECT_EQ(formatSize(1048575), "1024.00KB");
    EXPECT_EQ(formatSize(1048576), "1.00MB");
    EXPECT_EQ(formatSize(1073741823), "1024.00MB");
    EXPECT_EQ(formatSize(5368709120LL), "5.00GB");
    EXPECT_EQ(formatSize(1099511627776LL * 3), "3072.00GB");  // no unit above GB
    EXPECT_EQ(formatSize(1029), "1.00KB");                    // 1.0048..: rounds down
    EXPECT_EQ(formatSize(1034), "1.01KB");                    // 1.0097..: rounds up
    EXPECT_EQ(formatSize(1152), "1.13KB");                    // 1.125: a half, away from zero
    EXPECT_EQ(formatSize(1049088), "1.00MB");                 // 1.00048..
}

TEST(Formats, DateTimeTokens) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;  // December
    t.tm_mday = 8;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    t.tm_yday = 341;
    t.tm_wday = 2;  // Tuesday
    EXPECT_EQ(formatDateTime(t, "P%-N%-S%"), "9-5-3");
    EXPECT_EQ(formatDateTime(t, ""), "2026/12/8/9-5-3");
    EXPECT_EQ(formatDateTime(t, "J% Z% X%"), "4 49 3");
    EXPECT_EQ(formatDateTime(t, "S% S%"), "3 S%");  // first occurrence only
    EXPECT_EQ(logLine(t, "消息"), "<9-5-3> 消息");
}

TEST(Monitor, LogKeepsTheLastThousandLines) {
    MonitorModel m;
    std::tm t{};
    for (int i = 1; i <= 1005; ++i) m.appendLog(std::to_string(i), t);
    ASSERT_EQ(m.log().size(), kMaxLogRows);
    EXPECT_EQ(m.log().front(), "<0-0-0> 6");
    EXPECT_EQ(m.log().back(), "<0-0-0> 1005");
}

namespace {

mapping::EngineEvent event(int kind, int n, int slot, std::uint64_t serial, std::string client = {},
                           std::string forward = ":0") {
    mapping::EngineEvent e;
    e.kind = kind;
    e.mapping = n;
    e.slot = slot;
    e.serial = serial;
    e.client = std::move(client);
    e.forward = std::move(forward);
    return e;
}

}  // namespace

TEST(Monitor, EngineEventsMakeRowsAndLines) {
    MonitorModel m;
    auto ev = [&](int kind, int n, int slot, std::string forward = ":0") {
        m.handleEngineEvent(event(kind, n, slot, 7, "10.0.0.5:5000", std::move(forward)), 3);
    };
    ev(2, 3, 2);
    ev(3, 3, 2, "192.0.2.1:80");  // the same row, completed, no line
    ASSERT_EQ(m.clients().size(), 1u);
    EXPECT_EQ(m.clients()[0].slot, 2);
    EXPECT_EQ(m.clients()[0].client, "10.0.0.5:5000");
    EXPECT_EQ(m.clients()[0].forward, "192.0.2.1:80");
    ev(2, 4, 2);    // another mapping: nothing
    ev(2, 3, 0);    // no slot: nothing
    ev(2, 3, 101);  // beyond the table: nothing
    mapping::EngineEvent message;
    message.kind = mapping::EVENT_MESSAGE;
    message.mapping = 7;
    message.text = "客户[1.2.3.4:5]此IP不允许连接";
    m.handleEngineEvent(message, 3);  // messages of any mapping are logged
    ev(4, 3, 2);
    EXPECT_TRUE(m.clients().empty());
    ev(4, 3, 2);  // no row left: still logged
    ASSERT_EQ(m.log().size(), 4u);
    EXPECT_NE(m.log()[0].find("> 客户[10.0.0.5:5000]进入"), std::string::npos);
    EXPECT_NE(m.log()[1].find("> 客户[1.2.3.4:5]此IP不允许连接"), std::string::npos);
    EXPECT_NE(m.log()[2].find("> 客户[10.0.0.5:5000]离开"), std::string::npos);
    EXPECT_NE(m.log()[3].find("> 客户[10.0.0.5:5000]离开"), std::string::npos);

    // Rebuilt from a table: occupied slots, in slot order, with their serials.
    model::MappingTable table;
    auto& slots = table.at(3).clients;
    slots[1].connections[0] = reinterpret_cast<net::IoRecord*>(0x10);
    slots[1].serial = 11;
    slots[7].connections[0] = reinterpret_cast<net::IoRecord*>(0x20);
    slots[7].serial = 12;
    slots[7].addresses[0] = "10.0.0.9";
    m.fillClientList(table.at(3).clients);
    ASSERT_EQ(m.clients().size(), 2u);
    EXPECT_EQ(m.clients()[0].slot, 2);
    EXPECT_EQ(m.clients()[1].slot, 8);
    EXPECT_EQ(m.clients()[1].serial, 12u);
}

// Events are handled after a delay, from what they carry: a late event of a
// client that has gone never takes the row of a later client in the same
// slot, with the same address, or in the same record's memory.
TEST(Monitor, LateEventsTouchOnlyTheirOwnClientsRow) {
    MonitorModel m;
    // The list was rebuilt from the table after client 1 left and client 2
    // took its slot (and its address); client 1's events were still queued.
    model::MappingTable table;
    auto& slot = table.at(1).clients[4];
    slot.connections[0] = reinterpret_cast<net::IoRecord*>(0x10);  // memory reused
    slot.serial = 2;
    slot.addresses = {"10.0.0.5", "192.0.2.1"};
    slot.ports = {5000, 80};
    m.fillClientList(table.at(1).clients);
    ASSERT_EQ(m.clients().size(), 1u);

    m.handleEngineEvent(event(mapping::EVENT_ENTERED, 1, 5, 1, "10.0.0.5:5000"), 1);
    m.handleEngineEvent(event(mapping::EVENT_RELAYED, 1, 5, 1, "10.0.0.5:5000", "9.9.9.9:1"), 1);
    m.handleEngineEvent(event(mapping::EVENT_LEFT, 1, 5, 1, "10.0.0.5:5000", "9.9.9.9:1"), 1);
    ASSERT_EQ(m.clients().size(), 1u);
    EXPECT_EQ(m.clients()[0].serial, 2u);
    EXPECT_EQ(m.clients()[0].forward, "192.0.2.1:80");

    // A relay that connects as its client leaves brings back no row.
    m.handleEngineEvent(event(mapping::EVENT_LEFT, 1, 5, 2, "10.0.0.5:5000"), 1);
    m.handleEngineEvent(event(mapping::EVENT_RELAYED, 1, 5, 2, "10.0.0.5:5000", "1.1.1.1:1"), 1);
    EXPECT_TRUE(m.clients().empty());
    // Entered, relayed, left, in that order, give the lines in that order.
    ASSERT_EQ(m.log().size(), 3u);
    EXPECT_NE(m.log()[0].find("]进入"), std::string::npos);
    EXPECT_NE(m.log()[1].find("]离开"), std::string::npos);
}

// A "left" event whose client has no row (the list was rebuilt from the
// table after it went) takes no other row: not the one with its address,
// nor the one in its slot. Its line is still written.
TEST(Monitor, ALeftEventWithoutItsRowTakesNoOtherRow) {
    MonitorModel m;
    model::MappingTable table;
    auto& slots = table.at(1).clients;
    slots[4].connections[0] = reinterpret_cast<net::IoRecord*>(0x10);
    slots[4].serial = 2;
    slots[4].addresses = {"10.0.0.5", "192.0.2.1"};
    slots[4].ports = {5000, 80};
    slots[6].connections[0] = reinterpret_cast<net::IoRecord*>(0x20);
    slots[6].serial = 3;
    slots[6].addresses = {"10.0.0.7", "192.0.2.1"};
    slots[6].ports = {7000, 80};
    m.fillClientList(table.at(1).clients);
    ASSERT_EQ(m.clients().size(), 2u);

    // Client 1 had slot 5 and the address client 2 has now.
    m.handleEngineEvent(event(mapping::EVENT_LEFT, 1, 5, 1, "10.0.0.5:5000"), 1);
    // Another client, gone before the rebuild, with client 3's address in another slot.
    m.handleEngineEvent(event(mapping::EVENT_LEFT, 1, 2, 4, "10.0.0.7:7000"), 1);
    // And one that had client 3's slot, from another address.
    m.handleEngineEvent(event(mapping::EVENT_LEFT, 1, 7, 5, "10.0.0.9:9000"), 1);
    ASSERT_EQ(m.clients().size(), 2u);
    EXPECT_EQ(m.clients()[0].serial, 2u);
    EXPECT_EQ(m.clients()[1].serial, 3u);
    ASSERT_EQ(m.log().size(), 3u);
    EXPECT_NE(m.log()[0].find("> 客户[10.0.0.5:5000]离开"), std::string::npos);
    EXPECT_NE(m.log()[2].find("> 客户[10.0.0.9:9000]离开"), std::string::npos);

    // Their own "left" events still take them.
    m.handleEngineEvent(event(mapping::EVENT_LEFT, 1, 7, 3, "10.0.0.7:7000"), 1);
    ASSERT_EQ(m.clients().size(), 1u);
    EXPECT_EQ(m.clients()[0].serial, 2u);
}

TEST(EventQueue, WakesOnceTakesInOrderAndDropsTheOldestPastItsBound) {
    mapping::EngineEventQueue q(5);
    int wakes = 0;
    q.onWake = [&] { ++wakes; };
    for (int i = 1; i <= 3; ++i) q.deliver(event(2, 1, i, static_cast<std::uint64_t>(i)));
    EXPECT_EQ(wakes, 1);  // until a take empties it, the taker knows
    auto b = q.take(2);
    ASSERT_EQ(b.events.size(), 2u);
    EXPECT_EQ(b.events[0].serial, 1u);
    EXPECT_EQ(b.events[1].serial, 2u);
    EXPECT_TRUE(b.more);
    q.deliver(event(2, 1, 4, 4));
    EXPECT_EQ(wakes, 1);  // not emptied yet: the taker takes again by itself
    b = q.take(10);
    ASSERT_EQ(b.events.size(), 2u);
    EXPECT_FALSE(b.more);
    q.deliver(event(2, 1, 5, 5));
    EXPECT_EQ(wakes, 2);

    for (int i = 6; i <= 12; ++i) q.deliver(event(2, 1, 1, static_cast<std::uint64_t>(i)));
    EXPECT_EQ(q.size(), 5u);
    EXPECT_EQ(q.peakSize(), 5u);
    b = q.take(100);
    EXPECT_EQ(b.dropped, 3u);  // 5, 6 and 7 went
    ASSERT_EQ(b.events.size(), 5u);
    EXPECT_EQ(b.events.front().serial, 8u);
    EXPECT_EQ(b.events.back().serial, 12u);
    EXPECT_EQ(q.take(100).dropped, 0u);  // told once
    EXPECT_EQ(q.droppedTotal(), 3u);
}

// Workers on many threads never wait for the taker; every event arrives once,
// and each worker's events keep their order.
TEST(EventQueue, ManyPushersOneTaker) {
    mapping::EngineEventQueue q(1 << 20);
    std::atomic<int> wakes{0};
    q.onWake = [&] { wakes.fetch_add(1); };
    constexpr int kThreads = 4, kEach = 5000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&q, t] {
            for (int i = 0; i < kEach; ++i) {
                q.deliver(event(2, t + 1, 1, static_cast<std::uint64_t>(i)));
            }
        });
    }
    std::vector<std::uint64_t> next(kThreads, 0);
    int taken = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (taken < kThreads * kEach && std::chrono::steady_clock::now() < end) {
        for (const auto& e : q.take(300).events) {
            auto& expected = next[static_cast<std::size_t>(e.mapping - 1)];
            EXPECT_EQ(e.serial, expected);
            expected = e.serial + 1;
            ++taken;
        }
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(taken, kThreads * kEach);
    EXPECT_GE(wakes.load(), 1);
    EXPECT_EQ(q.droppedTotal(), 0u);
}

TEST(Statistics, PanesForNoMappingAndForARunningOne) {
    StatisticsInput none;
    none.threads = {20, 0, 20};
    auto p = statisticsTexts(none, true);
    EXPECT_EQ(p.service, (std::array<std::string, 5>{"", "监听数:0", "线程总数:20", "工作线程:0",
                                                     "空闲线程:20"}));
    EXPECT_EQ(p.mapping, (std::array<std::string, 5>{"■ 监听[:0]", "客户数:0/0", "接收:0B",
                                                     "发送:0B", "总量:0B"}));
    EXPECT_EQ(statisticsTexts(none, false).mapping[0], "■ 监听[:0]");  // stopped: no blinking

    StatisticsInput running;
    running.name = "测试映射";
    running.listenIp = "0.0.0.0";
    running.listenPort = 7000;
    running.capacity = 10000;
    running.pendingAccepts = 1000;
    running.listening = true;
    running.received = 1000;
    running.sent = 1000;
    EXPECT_EQ(statisticsTexts(running, true).mapping[0], "■ 监听[0.0.0.0:7000]");
    p = statisticsTexts(running, false);
    EXPECT_EQ(p.mapping[0], "□ 监听[0.0.0.0:7000]");
    EXPECT_EQ(p.mapping[1], "客户数:0/10000");
    EXPECT_EQ(p.mapping[2], "接收:1000B");
    EXPECT_EQ(p.mapping[3], "发送:1000B");
    EXPECT_EQ(p.mapping[4], "总量:1.95KB");
    running.sent = 3072;
    p = statisticsTexts(running, false);
    EXPECT_EQ(p.mapping[2], "接收:1000B");
    EXPECT_EQ(p.mapping[3], "发送:3.00KB");
    EXPECT_EQ(p.mapping[4], "总量:3.98KB");
    EXPECT_EQ(p.service[1], "监听数:1000");
}
