// The main window's layout rule and splitter ratios, as arithmetic.
#pragma once

#include <array>
#include <span>
#include <string>
#include <vector>

#include "ui/form_tables.h"

namespace lumesk::ui {

constexpr int kMinWidth = 560;
constexpr int kMinHeight = 420;
constexpr float kFirstTreeRatio = 0.3f;  // the tree's share until a splitter moves

// The banner picture's place, as the design has it: over the tree's column.
constexpr Rect kBanner{2, 263, 168, 64};

struct MainLayout {
    Rect toolbar, tree, treeSplitter, panel;  // panel: editor and monitor alike
    // Where the tree's column meets the banner the tree ends; below its top
    // the column is a plain area in the tree's colour, so no node is ever
    // under the picture.
    Rect treeFoot;
    Rect clientList, monitorSplitter, messageLog;  // inside the monitor panel
    int messageColumn = 0;
    std::array<int, 5> paneWidths{};  // both status bars
};

// W, H: the client area; toolbarHeight and statusHeight as the toolkit made them;
// paneNeeds: what each status pane needs for its longest text (none: zeros).
MainLayout layoutMainWindow(int width, int height, int toolbarHeight, int statusHeight,
                            float treeRatio, float listRatio,
                            const std::array<int, 5>& paneNeeds = {});

// The status panes of a client area `width` wide beside a tree `treeWidth`
// wide. Pane 0 is the tree's width + 4, or wider to hold its need, as long as
// panes 1 to 4 keep theirs; those share the rest as evenly as their needs
// allow. The panes end exactly at the window's edge. When the window is too
// narrow for every need, pane 0 (the name, the listen address) gives way:
// the counters and sizes stay whole.
std::array<int, 5> statusPaneWidths(int width, int treeWidth, const std::array<int, 5>& needs);

// The longest texts each pane of either status bar can show: 1000 pending
// accepts, two-digit thread counts, a five-digit capacity and online count,
// the longest listen address, and sizes below 10000 GB (a byte short of 1 GB
// reads "1024.00MB", the widest of them, as wide as "9999.99GB"). The
// service bar's pane 0, the mapping's name, has no bound and is left out.
std::array<std::vector<std::string>, 5> longestPaneTexts();

// What pane 0 holds whole even at the smallest size: a mapping on all
// addresses (the add dialog's default) at any port. Longer specific
// addresses and names give way there; the tree shows them whole.
std::vector<std::string> allAddressesPaneTexts();

// A splitter moved to `position` within `extent` pixels: the new ratio, clamped
// to 0.2..0.4 for the tree splitter (tag 1) and 0.3..0.7 for the monitor
// splitter (tag 2); other tags keep `current`.
float splitterRatio(int tag, int position, int extent, float current);

// The smallest client area whose editor panel holds the editor form at the
// tree ratio `treeRatio`, with the toolbar and the two status bars.
Size editorClientSize(int toolbarHeight, int statusHeight, float treeRatio);

}  // namespace lumesk::ui
