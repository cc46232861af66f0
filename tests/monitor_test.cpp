#include <gtest/gtest.h>

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

TEST(Monitor, EngineEventsMakeRowsAndLines) {
    model::MappingTable table;
    net::Lock lock;
    auto& slots = table.at(3).clients;
    slots[1].connections[0] = reinterpret_cast<net::IoRecord*>(0x10);
    slots[1].addresses = {"10.0.0.5", "192.0.2.1"};
    slots[1].ports = {5000, 80};
    const auto* conn = slots[1].connections[0];
    MonitorModel m;
    using mapping::EngineEvent;
    auto ev = [&](int kind, int n, int slot, std::string text = {}) {
        EngineEvent e;
        e.kind = kind;
        e.mapping = n;
        e.slot = slot;
        e.connection = const_cast<net::IoRecord*>(conn);
        e.text = std::move(text);
        m.handleEngineEvent(e, 3, table, &lock);
    };
    ev(2, 3, 2);
    ev(3, 3, 2);  // the same row, no line
    ASSERT_EQ(m.clients().size(), 1u);
    EXPECT_EQ(m.clients()[0].slot, 2);
    EXPECT_EQ(m.clients()[0].client, "10.0.0.5:5000");
    EXPECT_EQ(m.clients()[0].forward, "192.0.2.1:80");
    ev(2, 4, 2);                                   // another mapping: nothing
    ev(2, 3, 0);                                   // no slot: nothing
    ev(2, 3, 101);                                 // beyond the table: nothing
    ev(1, 7, 0, "客户[1.2.3.4:5]此IP不允许连接");  // messages of any mapping are logged
    ev(4, 3, 2);
    EXPECT_TRUE(m.clients().empty());
    ev(4, 3, 2);  // no row left: still logged
    ASSERT_EQ(m.log().size(), 4u);
    EXPECT_NE(m.log()[0].find("> 客户[10.0.0.5:5000]进入"), std::string::npos);
    EXPECT_NE(m.log()[1].find("> 客户[1.2.3.4:5]此IP不允许连接"), std::string::npos);
    EXPECT_NE(m.log()[2].find("> 客户[10.0.0.5:5000]离开"), std::string::npos);
    EXPECT_NE(m.log()[3].find("]离开"), std::string::npos);

    // Rebuilt from a table: occupied slots, in slot order.
    slots[7].connections[0] = reinterpret_cast<net::IoRecord*>(0x20);
    slots[7].addresses[0] = "10.0.0.9";
    m.fillClientList(table.at(3).clients);
    ASSERT_EQ(m.clients().size(), 2u);
    EXPECT_EQ(m.clients()[0].slot, 2);
    EXPECT_EQ(m.clients()[1].slot, 8);
}

// A row is made when the client enters, before its relay has a forward
// address; the relayed event completes it. A left event finds its row by
// connection, else by client address, else by slot.
TEST(Monitor, RelayedCompletesTheRowAndLeftFallsBack) {
    model::MappingTable table;
    net::Lock lock;
    auto& slot = table.at(1).clients[4];
    auto* a = reinterpret_cast<net::IoRecord*>(0x10);
    auto* b = reinterpret_cast<net::IoRecord*>(0x20);
    slot.connections[0] = a;
    slot.addresses = {"10.0.0.5", ""};
    slot.ports = {5000, 0};
    MonitorModel m;
    auto ev = [&](int kind, net::IoRecord* connection) {
        mapping::EngineEvent e;
        e.kind = kind;
        e.mapping = 1;
        e.slot = 5;
        e.connection = connection;
        m.handleEngineEvent(e, 1, table, &lock);
    };
    ev(mapping::EVENT_ENTERED, a);
    ASSERT_EQ(m.clients().size(), 1u);
    EXPECT_EQ(m.clients()[0].forward, ":0");
    slot.addresses[1] = "192.0.2.1";
    slot.ports[1] = 80;
    ev(mapping::EVENT_RELAYED, a);
    ASSERT_EQ(m.clients().size(), 1u);
    EXPECT_EQ(m.clients()[0].forward, "192.0.2.1:80");

    ev(mapping::EVENT_LEFT, b);  // another connection, the same client address
    EXPECT_TRUE(m.clients().empty());
    ev(mapping::EVENT_RELAYED, a);  // a relay that connected as its client left
    EXPECT_TRUE(m.clients().empty());

    ev(mapping::EVENT_ENTERED, a);
    slot.addresses[0] = "10.0.0.6";  // neither connection nor address match: the slot does
    ev(mapping::EVENT_LEFT, b);
    EXPECT_TRUE(m.clients().empty());

    ev(mapping::EVENT_ENTERED, a);
    table.at(1).clients[5].addresses[0] = "10.0.0.7";
    table.at(1).clients[5].connections[0] = b;
    mapping::EngineEvent other;
    other.kind = mapping::EVENT_LEFT;
    other.mapping = 1;
    other.slot = 6;
    other.connection = b;
    m.handleEngineEvent(other, 1, table, &lock);  // matches nothing: the row stays
    EXPECT_EQ(m.clients().size(), 1u);
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
