// A thin bar the operator drags; reports where it was dropped.
#pragma once

#include <wx/window.h>

#include <functional>

namespace lumesk::ui {

class SplitterBar : public wxWindow {
  public:
    // `vertical`: dragged left and right; positions are in the parent's client area.
    SplitterBar(wxWindow* parent, int tag, bool vertical, const wxPoint& pos, const wxSize& size);

    std::function<void(int tag, int position)> onMoved;
    int tag() const { return tag_; }

  private:
    int tag_;
    bool vertical_;
};

}  // namespace lumesk::ui
