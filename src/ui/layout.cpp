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
    const int columnBottom = l.tree.top + l.tree.height;
    if (kBanner.left < l.tree.left + l.tree.width && kBanner.top < columnBottom) {
        const int treeBottom = std::max(kBanner.top, l.tree.top);
        l.treeFoot = {l.tree.left, treeBottom, l.tree.width, columnBottom - treeBottom};
        l.tree.height = treeBottom - l.tree.top;
    }
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
