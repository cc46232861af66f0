#include "ui/layout.h"

#include <algorithm>
#include <cstdint>

#include "mapping/engine.h"
#include "monitor/monitor.h"

namespace lumesk::ui {

namespace {

int trunc(double v) {
    return static_cast<int>(v);
}

float clamp(double v, double low, double high) {
    constexpr double kTolerance = 1e-7;
    if (v < low - kTolerance) v = low;
    if (v > high + kTolerance) v = high;
    return static_cast<float>(v);
}

}  // namespace

MainLayout layoutMainWindow(int W, int H, int toolbarHeight, int statusHeight, float treeRatio,
                            float listRatio, const std::array<int, 5>& paneNeeds) {
    MainLayout l;
    l.toolbar = {0, 0, W, toolbarHeight};
    l.tree.left = 0;
    l.tree.top = toolbarHeight + 1;
    l.tree.width = trunc(static_cast<double>(W) * treeRatio);
    l.tree.height = trunc(static_cast<double>(H) - toolbarHeight - 2.0 * statusHeight);
    l.treeSplitter = {l.tree.left + l.tree.width, l.tree.top - 1, 4, l.tree.height + 10};
    l.panel = {l.treeSplitter.left + l.treeSplitter.width, l.tree.top,
               W - l.tree.width - l.treeSplitter.width, l.tree.height};
    l.clientList = {0, 0, l.panel.width, trunc(static_cast<double>(l.panel.height) * listRatio)};
    l.monitorSplitter = {0, l.clientList.top + l.clientList.height, l.panel.width, 4};
    l.messageLog = {0, l.monitorSplitter.top + l.monitorSplitter.height, l.panel.width,
                    l.panel.height - l.monitorSplitter.height - l.clientList.height - 2};
    l.messageColumn = trunc(l.messageLog.width - 25.0);
    l.paneWidths = statusPaneWidths(W, l.tree.width, paneNeeds);
    return l;
}

std::array<int, 5> statusPaneWidths(int W, int treeWidth, const std::array<int, 5>& needs) {
    // The rule's own widths, the tree's + 4 and a quarter of W - tree + 4
    // plus one for each other pane, add up to 12 to 16 pixels more than the
    // window and cut off the last value. Instead the panes end at the edge:
    // pane 0 keeps the tree's width (or its text's, if the others can spare
    // it) and the others share the rest.
    std::array<int, 5> w{};
    int othersNeed = 0;
    for (int i = 1; i < 5; ++i) othersNeed += std::max(needs[i], 0);
    w[0] = std::clamp(std::max(treeWidth + 4, needs[0]), 0, std::max(W - othersNeed, 0));
    const int rest = std::max(W - w[0], 0);
    if (rest < othersNeed) {
        // Narrower than any window we allow: in proportion to the needs.
        int given = 0;
        for (int i = 1; i < 4; ++i) {
            w[i] = static_cast<int>(static_cast<std::int64_t>(needs[i]) * rest / othersNeed);
            given += w[i];
        }
        w[4] = rest - given;
        return w;
    }
    // The highest even level the needs leave room for; the pixels left over
    // go one each to the panes at that level.
    auto total = [&](int level) {
        int sum = 0;
        for (int i = 1; i < 5; ++i) sum += std::max(needs[i], level);
        return sum;
    };
    int level = rest / 4;
    while (level > 0 && total(level) > rest) --level;
    int spare = rest - total(level);
    for (int i = 1; i < 5; ++i) {
        w[i] = std::max(needs[i], level);
        if (spare > 0 && needs[i] <= level) {
            ++w[i];
            --spare;
        }
    }
    return w;
}

std::array<std::vector<std::string>, 5> longestPaneTexts() {
    monitor::StatisticsInput in;
    in.listenIp = "255.255.255.255";
    in.listenPort = 65535;
    in.capacity = 10000;
    in.online = 10000;
    in.pendingAccepts = mapping::kAcceptsPerListener;
    in.threads = {99, 99, 99};
    in.listening = true;
    // 1024.00KB, 1024.00MB and 9999.99GB: the longest of each unit below 10000 GB.
    constexpr std::int64_t kSizes[] = {1048575, 1073741823, 10737407502581};
    std::array<std::vector<std::string>, 5> texts;
    auto add = [&texts](std::size_t pane, const std::string& text) {
        auto& list = texts[pane];
        if (std::find(list.begin(), list.end(), text) == list.end()) list.push_back(text);
    };
    for (const bool blink : {true, false}) {
        for (const std::int64_t size : kSizes) {
            // One direction at a time, so the total shows the same size.
            for (const bool received : {true, false}) {
                in.received = received ? size : 0;
                in.sent = received ? 0 : size;
                const monitor::StatisticsPanes panes = monitor::statisticsTexts(in, blink);
                for (std::size_t i = 1; i < 5; ++i) add(i, panes.service[i]);
                add(0, panes.mapping[0]);
                add(1, panes.mapping[1]);
                add(received ? 2 : 3, panes.mapping[received ? 2 : 3]);
                add(4, panes.mapping[4]);
            }
        }
    }
    return texts;
}

std::vector<std::string> allAddressesPaneTexts() {
    monitor::StatisticsInput in;
    in.listenIp = model::kAnyAddress;
    in.listenPort = 65535;
    in.listening = true;
    return {monitor::statisticsTexts(in, true).mapping[0],
            monitor::statisticsTexts(in, false).mapping[0]};
}

float splitterRatio(int tag, int position, int extent, float current) {
    if (extent <= 0) return current;
    const double ratio = static_cast<double>(position) / extent;
    if (tag == 1) return clamp(ratio, 0.2, 0.4);
    if (tag == 2) return clamp(ratio, 0.3, 0.7);
    return current;
}

namespace {

using P = FormPart;

constexpr FormRow kAddDialogForm[] = {
    {P::Caption, "服务名称:", "", P::Form, {4, 8, 56, 20}},
    {P::Name, "", "编辑框1", P::Form, {64, 8, 176, 20}},
    {P::Autostart, "随程序启动", "选择框1", P::Form, {248, 8, 88, 20}},
    {P::AddressGroup, "IP地址-端口 设置", "分组框1", P::Form, {8, 33, 328, 95}},
    {P::PortMapping, "端口映射", "单选框1", P::AddressGroup, {16, 16, 90, 16}},
    {P::HttpProxy, "HTTP代理", "单选框2", P::AddressGroup, {120, 16, 90, 16}},
    {P::Socks4, "Socks4代理", "单选框3", P::AddressGroup, {224, 16, 90, 16}},
    {P::Caption, "监听IP:", "", P::AddressGroup, {8, 43, 48, 16}},
    {P::ListenIp, "", "组合框1", P::AddressGroup, {56, 41, 160, 20}},
    {P::Caption, "端口:", "", P::AddressGroup, {216, 41, 48, 16}},
    {P::ListenPort, "", "编辑框2", P::AddressGroup, {265, 40, 32, 20}},
    {P::Caption, "转发IP:", "", P::AddressGroup, {8, 68, 48, 16}},
    {P::ForwardIp, "", "组合框2", P::AddressGroup, {56, 66, 160, 20}},
    {P::Caption, "端口:", "", P::AddressGroup, {216, 66, 48, 16}},
    {P::ForwardPort, "", "编辑框3", P::AddressGroup, {265, 65, 32, 20}},
    {P::LimitsGroup, "基本设置", "分组框2", P::Form, {8, 130, 328, 40}},
    {P::Caption, "承载人数:", "", P::LimitsGroup, {13, 16, 56, 16}},
    {P::Capacity, "", "编辑框4", P::LimitsGroup, {72, 15, 43, 20}},
    {P::Caption, "单IP连接数:", "", P::LimitsGroup, {165, 16, 68, 16}},
    {P::PerIpLimit, "", "编辑框5", P::LimitsGroup, {237, 15, 43, 20}},
    {P::BlacklistGroup, "IP黑名单", "分组框3", P::Form, {6, 170, 330, 96}},
    {P::Blacklist, "", "列表框1", P::BlacklistGroup, {5, 15, 224, 76}},
    {P::Caption, "IP地址", "", P::BlacklistGroup, {240, 11, 82, 16}},
    {P::BlacklistIp, "", "编辑框7", P::BlacklistGroup, {233, 32, 88, 20}},
    {P::AddButton, "添加", "按钮1", P::BlacklistGroup, {240, 61, 36, 20}},
    {P::DeleteButton, "删除", "按钮2", P::BlacklistGroup, {285, 61, 36, 20}},
    {P::ResetButton, "重置", "按钮5", P::Form, {48, 272, 72, 24}},
    {P::OkButton, "确定", "按钮3", P::Form, {128, 272, 72, 24}},
    {P::CancelButton, "取消", "按钮4", P::Form, {208, 272, 72, 24}},
};

// The editor also has a start button, tags for its handlers and its own
// names for the list and the blacklist buttons.
constexpr FormRow kEditorForm[] = {
    {P::Caption, "服务名称:", "", P::Form, {12, 8, 56, 20}},
    {P::Name, "", "编辑框1", P::Form, {72, 8, 154, 20}, 1},
    {P::Autostart, "随程序启动", "选择框1", P::Form, {232, 8, 82, 20}},
    {P::StartButton, "启动", "按钮1", P::Form, {323, 7, 40, 24}, 1},
    {P::AddressGroup, "IP地址-端口 设置", "分组框1", P::Form, {12, 33, 358, 95}},
    {P::PortMapping, "端口映射", "单选框1", P::AddressGroup, {16, 16, 90, 16}, 1},
    {P::HttpProxy, "HTTP代理", "单选框2", P::AddressGroup, {142, 16, 90, 16}, 2},
    {P::Socks4, "Socks4代理", "单选框3", P::AddressGroup, {253, 16, 82, 16}, 3},
    {P::Caption, "监听IP:", "", P::AddressGroup, {8, 43, 48, 16}},
    {P::ListenIp, "", "组合框1", P::AddressGroup, {56, 41, 189, 20}},
    {P::Caption, "端口:", "", P::AddressGroup, {256, 41, 35, 16}},
    {P::ListenPort, "", "编辑框2", P::AddressGroup, {294, 40, 32, 20}, 2},
    {P::Caption, "转发IP:", "", P::AddressGroup, {8, 68, 48, 16}},
    {P::ForwardIp, "", "组合框2", P::AddressGroup, {56, 66, 189, 20}},
    {P::Caption, "端口:", "", P::AddressGroup, {256, 66, 35, 16}},
    {P::ForwardPort, "", "编辑框3", P::AddressGroup, {294, 65, 32, 20}, 3},
    {P::LimitsGroup, "基本设置", "分组框2", P::Form, {12, 130, 358, 40}},
    {P::Caption, "承载人数:", "", P::LimitsGroup, {45, 16, 56, 16}},
    {P::Capacity, "", "编辑框4", P::LimitsGroup, {104, 15, 38, 20}, 4},
    {P::Caption, "单IP连接数:", "", P::LimitsGroup, {205, 16, 68, 16}},
    {P::PerIpLimit, "", "编辑框5", P::LimitsGroup, {277, 15, 33, 20}, 5},
    {P::BlacklistGroup, "IP黑名单", "分组框3", P::Form, {10, 170, 360, 96}},
    {P::Blacklist, "", "列表框3", P::BlacklistGroup, {5, 15, 224, 76}, 3},
    {P::Caption, "IP地址", "", P::BlacklistGroup, {264, 11, 56, 16}},
    {P::BlacklistIp, "", "编辑框7", P::BlacklistGroup, {233, 32, 119, 20}},
    {P::AddButton, "添加", "按钮2", P::BlacklistGroup, {256, 61, 36, 20}, 2},
    {P::DeleteButton, "删除", "按钮3", P::BlacklistGroup, {311, 61, 36, 20}, 3},
    {P::SaveButton, "保存", "按钮4", P::Form, {98, 271, 48, 24}, 4},
    {P::ResetButton, "重置", "按钮5", P::Form, {224, 272, 48, 24}, 5},
};

}  // namespace

std::span<const FormRow> addDialogForm() {
    return kAddDialogForm;
}

std::span<const FormRow> editorForm() {
    return kEditorForm;
}

Size formClientSize(std::span<const FormRow> rows) {
    Size size;
    for (const FormRow& row : rows) {
        int left = row.place.left, top = row.place.top;
        if (row.within != FormPart::Form) {
            const auto group = std::find_if(rows.begin(), rows.end(), [&row](const FormRow& r) {
                return r.part == row.within;
            });
            if (group != rows.end()) {
                left += group->place.left;
                top += group->place.top;
            }
        }
        size.width = std::max(size.width, left + row.place.width + kFormMargin);
        size.height = std::max(size.height, top + row.place.height + kFormMargin);
    }
    return size;
}

Size editorClientSize(int toolbarHeight, int statusHeight, float treeRatio) {
    const Size form = formClientSize(editorForm());
    Size client{form.width, form.height + toolbarHeight + 2 * statusHeight};
    while (
        layoutMainWindow(client.width, client.height, toolbarHeight, statusHeight, treeRatio, 0.5f)
            .panel.width < form.width) {
        ++client.width;
    }
    return client;
}

}  // namespace lumesk::ui
