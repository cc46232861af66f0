// The main window's layout rule and splitter ratios, as arithmetic.
#pragma once

#include <array>

namespace lumesk::ui {

constexpr int kMinWidth = 560;
constexpr int kMinHeight = 420;

struct Rect {
    int left = 0, top = 0, width = 0, height = 0;
};

struct MainLayout {
    Rect toolbar, tree, treeSplitter, panel;       // panel: editor and monitor alike
    Rect clientList, monitorSplitter, messageLog;  // inside the monitor panel
    int messageColumn = 0;
    std::array<int, 5> paneWidths{};  // both status bars
};

// W, H: the client area; toolbarHeight and statusHeight as the toolkit made them.
MainLayout layoutMainWindow(int width, int height, int toolbarHeight, int statusHeight,
                            float treeRatio, float listRatio);

// A splitter moved to `position` within `extent` pixels: the new ratio, clamped
// to 0.2..0.4 for the tree splitter (tag 1) and 0.3..0.7 for the monitor
// splitter (tag 2); other tags keep `current`.
float splitterRatio(int tag, int position, int extent, float current);

}  // namespace lumesk::ui
