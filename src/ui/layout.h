// The main window's layout rule and splitter ratios, as arithmetic, and the
// two forms' controls as tables.
#pragma once

#include <array>
#include <span>

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

// What a row of a form's table makes. The fields and groups are those of
// both forms; the buttons each form binds itself.
enum class FormPart {
    Form,  // only as a row's `within`: the form itself
    Caption,
    Name,
    Autostart,
    PortMapping,  // the three mode radios, in this order
    HttpProxy,
    Socks4,
    ListenIp,
    ListenPort,
    ForwardIp,
    ForwardPort,
    Capacity,
    PerIpLimit,
    Blacklist,
    BlacklistIp,
    AddressGroup,
    LimitsGroup,
    BlacklistGroup,
    StartButton,
    AddButton,
    DeleteButton,
    SaveButton,
    ResetButton,
    OkButton,
    CancelButton,
};

// How far a control within a group stays left of the group's right edge.
constexpr int kGroupMargin = 6;

// One control of a form; the rows' order is the creation and tab order.
struct FormRow {
    FormPart part;
    const char* text;  // the label; "" for fields
    const char* name;  // the window's name; "" keeps the toolkit's
    FormPart within;   // the group `place` is relative to, made by an earlier row
    Rect place;
    int tag = 0;  // the editor's handlers tell their controls apart by it
};

std::span<const FormRow> addDialogForm();
std::span<const FormRow> editorForm();

}  // namespace lumesk::ui
