#include "ui/layout.h"

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
                            float listRatio) {
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
    l.paneWidths[0] = l.tree.width + 4;
    const int rest = trunc((static_cast<double>(W) - l.tree.width + 4) / 4 + 1);
    for (int i = 1; i < 5; ++i) l.paneWidths[static_cast<std::size_t>(i)] = rest;
    return l;
}

float splitterRatio(int tag, int position, int extent, float current) {
    if (extent <= 0) return current;
    const double ratio = static_cast<double>(position) / extent;
    if (tag == 1) return clamp(ratio, 0.2, 0.4);
    if (tag == 2) return clamp(ratio, 0.3, 0.7);
    return current;
}

}  // namespace lumesk::ui
