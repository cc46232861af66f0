#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <set>
#include <string>

#include "monitor/formats.h"

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
    // Past the int range: the bound, never an overflow.
    EXPECT_EQ(readNumber("99999999999999999999"), 2147483647);
    EXPECT_EQ(readNumber("-99999999999999999999"), -2147483647 - 1);

    EXPECT_EQ(readPort("65535"), 65535);
    EXPECT_EQ(readPort("65536"), 0);  // would be cut to port 0
    EXPECT_EQ(readPort("70000"), 0);  // would be cut to 4464
    EXPECT_EQ(readPort("-80"), 0);
    EXPECT_EQ(readCount("0"), 0);
    EXPECT_EQ(readCount("２０x"), 20);
    EXPECT_EQ(readCount("abc"), -1);
    EXPECT_EQ(readCount("-1"), -1);
    EXPECT_EQ(readCount(""), -1);
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
    EXPECT_EQ(r.mode, model::Mode::PortMapping);
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
          +[](MappingForm& f) { f.listenPort = "70000"; },
          +[](MappingForm& f) { f.capacity = "abc"; }, +[](MappingForm& f) { f.perIpLimit = "-3"; },
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
    MappingForm socks = specific;  // a proxy needs no forward address
    socks.name = "代理";
    socks.listenPort = "1080";
    socks.mode = model::Mode::Socks4Proxy;
    socks.forwardIp = "not an address";
    EXPECT_EQ(addMapping(table, socks), 5);
    EXPECT_EQ(table.at(5).mode, model::Mode::Socks4Proxy);
    EXPECT_EQ(table.at(5).forward_ip, "");
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
    std::mutex lock;
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
    EXPECT_EQ(save([](MappingForm& g) { g.listenPort = "70000"; }), "监听端口填写错误");
    EXPECT_EQ(save([](MappingForm& g) { g.forwardPort = "65536"; }), "转接端口填写错误");
    EXPECT_EQ(save([](MappingForm& g) { g.capacity = "abc"; }), "承载人数填写错误");
    EXPECT_EQ(save([](MappingForm& g) { g.capacity = ""; }), "承载人数填写错误");
    EXPECT_EQ(save([](MappingForm& g) { g.perIpLimit = "-1"; }), "单IP连接数填写错误");
    // The first failing check wins.
    EXPECT_EQ(save([](MappingForm& g) {
                  g.listenPort = "0";
                  g.forwardIp = "";
              }),
              "监听端口填写错误");
    EXPECT_EQ(table.at(1).listen_port, 7000);  // nothing written by a refused save
    EXPECT_EQ(table.at(1).capacity, 10000);
    // An explicit 0 is a capacity that refuses everyone, and is kept.
    EXPECT_EQ(save([](MappingForm& g) { g.capacity = "0"; }), "");
    EXPECT_EQ(table.at(1).capacity, 0);

    EXPECT_EQ(save([](MappingForm& g) {
                  g.mode = model::Mode::HttpProxy;
                  g.forwardIp = "";  // not checked outside port mapping
                  g.listenPort = "7100x";
                  g.blacklist = {};
              }),
              "");
    EXPECT_EQ(table.at(1).mode, model::Mode::HttpProxy);
    EXPECT_EQ(table.at(1).listen_port, 7100);
    EXPECT_EQ(table.at(1).forward_ip, "");
    EXPECT_TRUE(table.at(1).blacklist.empty());
}

// What the editor shows of a record is what saving it back writes; the
// any-address shows as the box's first item, and the blacklist keeps its
// numbering, an empty entry included.
TEST(FormLogic, ARecordShowsAsTheFormThatSavesItBack) {
    model::MappingTable table;
    std::mutex lock;
    ASSERT_EQ(addMapping(table, defaultForm("192.0.2.7")), 1);
    MappingForm shown = formOf(table.at(1));
    EXPECT_EQ(shown.listenIpItem, kAllAddresses);
    EXPECT_EQ(shown.name, "测试映射");
    EXPECT_EQ(shown.listenPort, "7000");
    EXPECT_EQ(shown.forwardIp, "192.0.2.7");
    EXPECT_EQ(shown.forwardPort, "7001");
    EXPECT_EQ(shown.capacity, "10000");
    EXPECT_EQ(shown.perIpLimit, "20");
    EXPECT_EQ(shown.mode, model::Mode::PortMapping);

    shown.listenIpItem = "127.0.0.1";
    shown.mode = model::Mode::HttpProxy;
    shown.autostart = true;
    shown.blacklist = {"10.0.0.1", "10.0.0.2"};
    ASSERT_EQ(saveEditor(table, 1, shown, &lock), "");
    const MappingForm again = formOf(table.at(1));
    EXPECT_EQ(again.listenIpItem, "127.0.0.1");
    EXPECT_EQ(again.mode, model::Mode::HttpProxy);
    EXPECT_TRUE(again.autostart);
    EXPECT_EQ(again.blacklist, shown.blacklist);

    table.at(1).blacklist = {"", "10.0.0.3"};
    EXPECT_EQ(formOf(table.at(1)).blacklist, (std::vector<std::string>{"", "10.0.0.3"}));
}

TEST(FormLogic, ListenClashesOnAnyAddressOrTheSameOne) {
    model::MappingTable table;
    std::mutex lock;
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
    // Pane 0 is the tree's width + 4; the others share the rest evenly.
    EXPECT_EQ(l.paneWidths, (std::array<int, 5>{244, 139, 139, 139, 139}));
    EXPECT_EQ(l.tree.top, 21);
    // The tree ends where the banner begins; the column below is its foot.
    EXPECT_EQ(l.tree.height, kBanner.top - 21);
    EXPECT_EQ(l.treeFoot.top, kBanner.top);
    EXPECT_EQ(l.treeFoot.top + l.treeFoot.height, 21 + 600 - 20 - 44);
    EXPECT_EQ(l.treeFoot.width, 240);
    EXPECT_EQ(l.treeSplitter.left, 240);
    EXPECT_EQ(l.panel.left, 244);
    EXPECT_EQ(l.panel.width, 556);
    EXPECT_EQ(l.panel.top, 21);
    EXPECT_EQ(l.panel.height, 536);
    // A window too short to reach the banner has no foot.
    const MainLayout low = layoutMainWindow(800, 280, 20, 22, 0.3f, 0.5f);
    EXPECT_EQ(low.tree.height, 280 - 20 - 44);
    EXPECT_EQ(low.treeFoot.height, 0);
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

// The panes end exactly at the window's edge at any width. Panes 1 to 4 hold
// their needs whenever the window can hold those, and otherwise share evenly;
// pane 0 keeps the tree's width + 4 (or its own need) with what they leave.
TEST(Layout, StatusPanesHoldTheirNeedsAndEndAtTheEdge) {
    const std::array<int, 5> none{};
    const std::array<int, 5> needs{209, 132, 106, 106, 106};
    // At the smallest size pane 0 gives way: the counters stay whole.
    EXPECT_EQ(statusPaneWidths(560, 168, needs), (std::array<int, 5>{110, 132, 106, 106, 106}));
    // Wider, pane 0 has the tree's width again and the needy pane its need.
    EXPECT_EQ(statusPaneWidths(700, 210, needs), (std::array<int, 5>{214, 132, 118, 118, 118}));
    // Pane 0 widens to its own need when the others can spare it; the
    // pixels left over go one each from pane 1 on.
    const std::array<int, 5> wide{300, 132, 106, 106, 106};
    EXPECT_EQ(statusPaneWidths(800, 240, wide), (std::array<int, 5>{300, 132, 123, 123, 122}));
    // Narrower than the needs (no window is): in their proportion.
    EXPECT_EQ(statusPaneWidths(300, 90, needs), (std::array<int, 5>{0, 88, 70, 70, 72}));
    for (int w = 300; w <= 1400; ++w) {
        for (const float ratio : {0.2f, 0.3f, 0.4f}) {
            const int tree = static_cast<int>(static_cast<float>(w) * ratio);
            for (const auto& n : {none, needs, wide}) {
                SCOPED_TRACE(std::to_string(w) + " " + std::to_string(ratio));
                const std::array<int, 5> p = statusPaneWidths(w, tree, n);
                EXPECT_EQ(std::accumulate(p.begin(), p.end(), 0), w);
                const int others = n[1] + n[2] + n[3] + n[4];
                if (w < others) continue;
                EXPECT_EQ(p[0], std::min(std::max(tree + 4, n[0]), w - others));
                // Panes wider than their needs are at one level, give or
                // take the pixel left over, and no pane at its need is below it.
                int low = w, high = 0;
                for (std::size_t i = 1; i < 5; ++i) {
                    EXPECT_GE(p[i], n[i]);
                    if (p[i] > n[i]) {
                        low = std::min(low, p[i]);
                        high = std::max(high, p[i]);
                    }
                }
                EXPECT_LE(high - low, 1);
                for (std::size_t i = 1; i < 5; ++i) {
                    if (p[i] == n[i] && high > 0) {
                        EXPECT_GE(p[i], low - 1);
                    }
                }
            }
        }
    }
    // The window's layout passes the needs on.
    EXPECT_EQ(layoutMainWindow(560, 420, 20, 22, 0.3f, 0.5f, needs).paneWidths,
              statusPaneWidths(560, 168, needs));
}

// Each pane's longest texts are what the statistics show at their extremes:
// 1000 pending accepts, two-digit thread counts, a five-digit online count
// and capacity, the longest listen address, and the widest size of each unit
// below 10000 GB (no shorter size is wider: every size up to there has at
// most nine characters).
TEST(Layout, LongestPaneTextsAreTheExtremes) {
    const auto texts = longestPaneTexts();
    auto has = [&texts](std::size_t pane, const char* text) {
        const auto& list = texts[pane];
        return std::find(list.begin(), list.end(), text) != list.end();
    };
    EXPECT_TRUE(has(0, "■ 监听[255.255.255.255:65535]"));
    EXPECT_TRUE(has(0, "□ 监听[255.255.255.255:65535]"));
    EXPECT_TRUE(has(1, "监听数:1000"));
    EXPECT_TRUE(has(1, "客户数:10000/10000"));
    for (const char* text : {"线程总数:99", "接收:1024.00KB", "接收:1024.00MB", "接收:9999.99GB"}) {
        EXPECT_TRUE(has(2, text)) << text;
    }
    for (const char* text : {"工作线程:99", "发送:1024.00KB", "发送:1024.00MB", "发送:9999.99GB"}) {
        EXPECT_TRUE(has(3, text)) << text;
    }
    for (const char* text : {"空闲线程:99", "总量:1024.00KB", "总量:1024.00MB", "总量:9999.99GB"}) {
        EXPECT_TRUE(has(4, text)) << text;
    }
    // The service bar's pane 0 is the name, which has no longest.
    EXPECT_EQ(texts[0].size(), 2u);
    // Sizes below 10000 GB: at most nine characters, as the ones listed.
    constexpr std::int64_t kFirstTenThousandGb = 10737412871291;  // 9999.995 GB
    for (std::int64_t bytes = 1; bytes < kFirstTenThousandGb; bytes += bytes / 7 + 1) {
        for (const std::int64_t b : {bytes, bytes * 3 / 2, kFirstTenThousandGb - bytes}) {
            if (b < kFirstTenThousandGb) {
                EXPECT_LE(monitor::formatSize(b).size(), 9u) << b;
            }
        }
    }
    EXPECT_EQ(monitor::formatSize(kFirstTenThousandGb), "10000.00GB");
}

// A form's client size holds every row's place, a group's rows where the
// group is, with the margin; the window's smallest client area holds the
// editor form in its panel at the first tree ratio, and a pixel less does not.
TEST(Layout, FormsClientSizesHoldEveryPlace) {
    const Size dialog = formClientSize(addDialogForm());
    EXPECT_EQ(dialog.width, 336 + kFormMargin);   // the autostart box and the groups
    EXPECT_EQ(dialog.height, 296 + kFormMargin);  // the buttons
    const Size editor = formClientSize(editorForm());
    EXPECT_EQ(editor.width, 370 + kFormMargin);
    EXPECT_EQ(editor.height, 296 + kFormMargin);
    for (const auto& rows : {addDialogForm(), editorForm()}) {
        const Size size = formClientSize(rows);
        for (const FormRow& row : rows) {
            Rect place = row.place;
            for (const FormRow& group : rows) {
                if (row.within != FormPart::Form && group.part == row.within) {
                    place.left += group.place.left;
                    place.top += group.place.top;
                }
            }
            EXPECT_LE(place.left + place.width + kFormMargin, size.width) << row.name;
            EXPECT_LE(place.top + place.height + kFormMargin, size.height) << row.name;
        }
    }
    for (const int toolbar : {20, 26}) {
        for (const int status : {20, 23}) {
            const Size client = editorClientSize(toolbar, status, kFirstTreeRatio);
            const MainLayout l = layoutMainWindow(client.width, client.height, toolbar, status,
                                                  kFirstTreeRatio, 0.5f);
            EXPECT_GE(l.panel.width, editor.width);
            EXPECT_EQ(l.panel.height, editor.height);
            EXPECT_LT(layoutMainWindow(client.width - 1, client.height, toolbar, status,
                                       kFirstTreeRatio, 0.5f)
                          .panel.width,
                      editor.width);
        }
    }
    EXPECT_EQ(editorClientSize(20, 22, 0.3f).width, 542);
    EXPECT_EQ(editorClientSize(20, 22, 0.3f).height, 302 + 20 + 44);
}
