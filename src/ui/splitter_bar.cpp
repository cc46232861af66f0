#include "ui/splitter_bar.h"

namespace lumesk::ui {

SplitterBar::SplitterBar(wxWindow* parent, int tag, bool vertical, const wxPoint& pos,
                         const wxSize& size)
    : wxWindow(parent, wxID_ANY, pos, size, wxBORDER_NONE), tag_(tag), vertical_(vertical) {
    SetCursor(wxCursor(vertical ? wxCURSOR_SIZEWE : wxCURSOR_SIZENS));
    Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent&) { CaptureMouse(); });
    Bind(wxEVT_LEFT_UP, [this](wxMouseEvent& e) {
        if (!HasCapture()) return;
        ReleaseMouse();
        const wxPoint inParent = GetParent()->ScreenToClient(ClientToScreen(e.GetPosition()));
        if (onMoved) onMoved(tag_, vertical_ ? inParent.x : inParent.y);
    });
    Bind(wxEVT_MOUSE_CAPTURE_LOST, [](wxMouseCaptureLostEvent&) {});
}

}  // namespace lumesk::ui
