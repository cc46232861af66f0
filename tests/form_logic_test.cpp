#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "ui/form_logic.h"
#include "ui/layout.h"

using namespace lumesk;
using namespace lumesk::ui;

TEST(FormLogic, NumbersReadLikeAtoiAfterFullWidth) {
    EXPECT_EQ(readNumber("7000"), 7000);
    EXPECT_EQ(readNumber("7000x"), 7000);
    EXPECT_EQ(readNumber("abc"), 0);
    EXPECT_EQ(readNumber("  -12"), -12);
    EXPECT_EQ(readNumber("７０００"), 7000);
    EXPECT_EQ(readNumber("　８０"), 80);  // a full-width blank first
    EXPECT_EQ(readNumber(""), 0);
}

TEST(FormLogic, AddDialogDefaultsAndSilentRefusals) {
    model::MappingTable table;
    const MappingForm form = defaultForm("192.0.2.7");
    const int n = addMapping(table, form);
    ASSERT_EQ(n, 1);
    const model::MappingRecord& r = table.at(1);
    EXPECT_EQ(r.name, "测试映射");
    EXPECT_EQ(r.listen_ip, "0.0.0.0");
    EXPECT_EQ(r.listen_port, 7000);
    EXPECT_EQ(r.forward_ip, "192.0.2.7");
    EXPECT_EQ(r.forward_port, 7001);
    EXPECT_EQ(r.capacity, 10000);
    EXPECT_EQ(r.per_ip_limit, 20);
    EXPECT_EQ(r.mode, 1);
    EXPECT_TRUE(r.blacklist.empty());
    EXPECT_EQ(r.service, nullptr);

    EXPECT_EQ(addMapping(table, form), 0);  // 7000 on all addresses is taken
    MappingForm specific = form;
    specific.name = "其他";
    specific.listenIpItem = "127.0.0.1";
    EXPECT_EQ(addMapping(table, specific), 0);  // still conflicts with 0.0.0.0:7000
    specific.listenPort = "7002";
    EXPECT_EQ(addMapping(table, specific), 2);
    MappingForm same = specific;  // same port, same specific address: accepted here
    EXPECT_EQ(addMapping(table, same), 3);

    for (auto change :
         {+[](MappingForm& f) { f.name.clear(); }, +[](MappingForm& f) { f.listenPort = "0"; },
          +[](MappingForm& f) { f.listenIpItem = "1.2.3"; }}) {
        MappingForm bad = defaultForm("1.2.3.4");
        bad.listenPort = "9000";
        change(bad);
        EXPECT_EQ(addMapping(table, bad), 0);
    }
    MappingForm listed = defaultForm("1.2.3.4");
    listed.listenPort = "9001";
    listed.blacklist = {"10.0.0.1", "", "10.0.0.3"};
    const int m = addMapping(table, listed);
    ASSERT_EQ(m, 4);  // the lowest free number
    EXPECT_EQ(table.at(m).blacklist, (std::vector<std::string>{"10.0.0.1", "10.0.0.3"}));
}

TEST(FormLogic, FullTableAndReusedNumbers) {
    model::MappingTable table;
    for (int i = 1; i <= 1000; ++i) {
        table.at(i).name = "m" + std::to_string(i);
        table.at(i).listen_port = i;
        table.at(i).listen_ip = "10.0.0.1";
    }
    MappingForm f = defaultForm("1.2.3.4");
    f.listenPort = "5000";
    f.listenIpItem = "10.0.0.2";
    EXPECT_EQ(addMapping(table, f), 0);
    table.reset(3);
    EXPECT_EQ(addMapping(table, f), 3);
}

// Mapping 1 with the dialog's defaults, mapping 2 "第二" on port 8000.
void addTwoMappings(model::MappingTable& table) {
    ASSERT_EQ(addMapping(table, defaultForm("192.0.2.7")), 1);
    MappingForm other = defaultForm("192.0.2.7");
    other.name = "第二";
    other.listenPort = "8000";
    ASSERT_EQ(addMapping(table, other), 2);
}

TEST(FormLogic, SaveChecksInOrderWithTheirMessages) {
    model::MappingTable table;
    net::Lock lock;
    addTwoMappings(table);

    MappingForm f = defaultForm("192.0.2.7");
    auto save = [&](const std::function<void(MappingForm&)>& change) {
        MappingForm g = f;
        change(g);
        return saveEditor(table, 1, g, &lock);
    };
    EXPECT_EQ(save([](MappingForm& g) { g.listenIpItem = "1.2.3"; }), "监听IP填写错误");
    EXPECT_EQ(save([](MappingForm& g) { g.listenPort = "abc"; }), "监听端口填写错误");
    EXPECT_EQ(save([](MappingForm& g) { g.listenPort = "0"; }), "监听端口填写错误");
    EXPECT_EQ(save([](MappingForm& g) { g.name = "第二"; }), "相同服务或监听重复");
    EXPECT_EQ(save([](MappingForm& g) { g.name.clear(); }), "相同服务或监听重复");
    EXPECT_EQ(save([](MappingForm& g) { g.listenPort = "8000"; }), "相同服务或监听重复");
    EXPECT_EQ(save([](MappingForm& g) { g.forwardIp = "0.0.0.0"; }), "转接IP填写错误");
    EXPECT_EQ(save([](MappingForm& g) { g.forwardIp = ""; }), "转接IP填写错误");
    EXPECT_EQ(save([](MappingForm& g) { g.forwardPort = "x"; }), "转接端口填写错误");
    // The first failing check wins.
    EXPECT_EQ(save([](MappingForm& g) {
                  g.listenPort = "0";
                  g.forwardIp = "";
              }),
              "监听端口填写错误");
    EXPECT_EQ(table.at(1).listen_port, 7000);  // nothing written by a refused save

    EXPECT_EQ(save([](MappingForm& g) {
                  g.mode = 2;
                  g.forwardIp = "";  // not checked outside port mapping
                  g.listenPort = "7100x";
                  g.blacklist = {};
              }),
              "");
    EXPECT_EQ(table.at(1).mode, 2);
    EXPECT_EQ(table.at(1).listen_port, 7100);
    EXPECT_EQ(table.at(1).forward_ip, "");
    EXPECT_TRUE(table.at(1).blacklist.empty());
}

TEST(FormLogic, ListenClashesOnAnyAddressOrTheSameOne) {
    model::MappingTable table;
    net::Lock lock;
    addTwoMappings(table);
    auto saveOn = [&](const std::string& otherIp, const char* item) {
        table.at(2).listen_ip = otherIp;
        MappingForm f = defaultForm("192.0.2.7");
        f.listenIpItem = item;
        f.listenPort = "8000";
        return saveEditor(table, 1, f, &lock);
    };
    EXPECT_EQ(saveOn("192.0.2.9", kAllAddresses), "相同服务或监听重复");  // ours on any
    EXPECT_EQ(saveOn("0.0.0.0", "192.0.2.10"), "相同服务或监听重复");     // theirs on any
    EXPECT_EQ(saveOn("192.0.2.9", "192.0.2.9"), "相同服务或监听重复");    // the same one
    EXPECT_EQ(saveOn("192.0.2.9", "192.0.2.10"), "");                     // two addresses
    EXPECT_EQ(table.at(1).listen_ip, "192.0.2.10");
}

TEST(FormLogic, BlacklistAddRules) {
    const std::vector<std::string> rows{"10.0.0.1"};
    EXPECT_TRUE(editorBlacklistAccepts(rows, "10.0.0.2"));
    for (const char* ip : {"0.0.0.0", "", "1.2.3", "10.0.0.1"}) {
        EXPECT_FALSE(editorBlacklistAccepts(rows, ip)) << ip;
    }
    EXPECT_TRUE(dialogBlacklistAccepts(rows, "not an address"));  // the dialog checks less
    EXPECT_FALSE(dialogBlacklistAccepts(rows, ""));
    EXPECT_FALSE(dialogBlacklistAccepts(rows, "10.0.0.1"));
}

TEST(Layout, PanesPanelsAndSplitterClamps) {
    const MainLayout l = layoutMainWindow(800, 600, 20, 22, 0.3f, 0.5f);
    EXPECT_EQ(l.tree.width, 240);
    EXPECT_EQ(l.paneWidths[0], 244);
    EXPECT_EQ(l.paneWidths[1], 142);
    EXPECT_EQ(l.paneWidths[2], 136);
    EXPECT_EQ(l.paneWidths[3], 136);
    EXPECT_EQ(l.paneWidths[4], 142);
    // At any width the panes fill the bar exactly: none ends past the window.
    for (int w : {560, 561, 562, 563, 800, 1023}) {
        const MainLayout m = layoutMainWindow(w, 420, 20, 22, 0.3f, 0.5f);
        int sum = 0;
        for (int pane : m.paneWidths) sum += pane;
        EXPECT_EQ(sum, w) << w;
        EXPECT_EQ(m.paneWidths[4], m.paneWidths[1]) << w;
    }
    EXPECT_EQ(l.tree.top, 21);
    EXPECT_EQ(l.tree.height, 600 - 20 - 44);
    EXPECT_EQ(l.treeSplitter.left, 240);
    EXPECT_EQ(l.panel.left, 244);
    EXPECT_EQ(l.panel.width, 556);
    EXPECT_EQ(l.panel.top, 21);
    EXPECT_EQ(l.panel.height, 536);
    EXPECT_EQ(l.clientList.height, 268);
    EXPECT_EQ(l.monitorSplitter.top, 268);
    EXPECT_EQ(l.messageLog.top, 272);
    EXPECT_EQ(l.messageLog.height, 536 - 4 - 268 - 2);
    // An odd height truncates the list's share.
    EXPECT_EQ(layoutMainWindow(800, 601, 20, 22, 0.3f, 0.35f).clientList.height, 187);
    EXPECT_EQ(l.messageColumn, 556 - 25);

    EXPECT_FLOAT_EQ(splitterRatio(1, 790, 800, 0.3f), 0.4f);  // far right
    EXPECT_FLOAT_EQ(splitterRatio(1, 5, 800, 0.3f), 0.2f);    // far left
    EXPECT_FLOAT_EQ(splitterRatio(1, 280, 800, 0.3f), 0.35f);
    EXPECT_FLOAT_EQ(splitterRatio(2, 10, 400, 0.5f), 0.3f);
    EXPECT_FLOAT_EQ(splitterRatio(2, 390, 400, 0.5f), 0.7f);
    EXPECT_FLOAT_EQ(splitterRatio(3, 390, 400, 0.5f), 0.5f);
}

// The builder finds each field's row and each row's group by part: every
// field is made once, a group before what is placed within it, and a control
// within a group stays inside it, clear of the margin the font fitting keeps.
// The tests find controls by name, so no name is given twice.
TEST(Layout, FormTablesMakeEachFieldOnceInsideItsGroup) {
    for (const std::span<const FormRow> rows : {addDialogForm(), editorForm()}) {
        SCOPED_TRACE(rows.size());
        std::map<FormPart, int> made;
        std::map<FormPart, Rect> groups;
        std::set<std::string> names;
        for (const FormRow& row : rows) {
            SCOPED_TRACE(row.name);
            ++made[row.part];
            if (*row.name) {
                EXPECT_TRUE(names.insert(row.name).second);
            }
            if (row.within != FormPart::Form) {
                const auto group = groups.find(row.within);
                ASSERT_NE(group, groups.end());
                EXPECT_GE(row.place.left, 0);
                EXPECT_GE(row.place.top, 0);
                EXPECT_LE(row.place.left + row.place.width, group->second.width - kGroupMargin);
                EXPECT_LE(row.place.top + row.place.height, group->second.height);
            }
            if (row.part == FormPart::AddressGroup || row.part == FormPart::LimitsGroup ||
                row.part == FormPart::BlacklistGroup) {
                EXPECT_EQ(row.within, FormPart::Form);
                groups[row.part] = row.place;
            }
        }
        EXPECT_EQ(made[FormPart::Form], 0);
        for (FormPart field :
             {FormPart::Name, FormPart::Autostart, FormPart::PortMapping, FormPart::HttpProxy,
              FormPart::Socks4, FormPart::ListenIp, FormPart::ListenPort, FormPart::ForwardIp,
              FormPart::ForwardPort, FormPart::Capacity, FormPart::PerIpLimit, FormPart::Blacklist,
              FormPart::BlacklistIp, FormPart::AddressGroup, FormPart::LimitsGroup,
              FormPart::BlacklistGroup}) {
            EXPECT_EQ(made[field], 1) << static_cast<int>(field);
        }
    }
}
