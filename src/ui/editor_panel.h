// The editor panel: the form of the selected mapping, with its buttons.
#pragma once

#include <wx/panel.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "model/mapping.h"
#include "ui/form_controls.h"
#include "ui/form_logic.h"

class wxButton;

namespace lumesk::ui {

class EditorPanel : public wxPanel {
  public:
    explicit EditorPanel(wxWindow* parent);

    // The record as the form shows it; a running one keeps its listen
    // address and mode, and its button stops it.
    void show(const model::MappingRecord& r);
    MappingForm read() const { return form_.read(); }
    void addAddresses(const std::vector<std::string>& addresses);

    // What the window does for the buttons; none of them is asked without a
    // current mapping. `onStartStop`: true for "启动".
    std::function<bool()> hasMapping;
    std::function<void(bool start)> onStartStop;
    std::function<void()> onSave;
    std::function<void()> onReset;

  private:
    void onButton(wxCommandEvent& event);
    void onModeClicked(wxCommandEvent& event);

    FormControls form_;
    wxButton* startButton_ = nullptr;
    std::map<const wxObject*, int> tags_;
};

}  // namespace lumesk::ui
