// The controls the add dialog and the editor panel share, and what both do
// with them.
#pragma once

#include <wx/gdicmn.h>
#include <wx/string.h>

#include <map>
#include <span>
#include <string>
#include <vector>

#include "ui/form_logic.h"
#include "ui/form_tables.h"

class wxTextCtrl;
class wxWindow;
class wxCheckBox;
class wxRadioButton;
class wxChoice;
class wxComboBox;
class wxListCtrl;
class wxObject;

namespace lumesk::ui {

struct FormControls {
    wxTextCtrl* name = nullptr;
    wxCheckBox* autostart = nullptr;
    wxRadioButton* modes[3] = {};
    wxChoice* listenIp = nullptr;
    wxTextCtrl* listenPort = nullptr;
    wxComboBox* forwardIp = nullptr;
    wxTextCtrl* forwardPort = nullptr;
    wxTextCtrl* capacity = nullptr;
    wxTextCtrl* perIpLimit = nullptr;
    wxListCtrl* blacklist = nullptr;
    wxTextCtrl* blacklistIp = nullptr;

    MappingForm read() const;
    // Fills the fields from `form`. The listen-IP box keeps its selection
    // when it lists no such address.
    void show(const MappingForm& form);
    std::vector<std::string> blacklistRows() const;
    // A row numbered one past the last row's number.
    void appendBlacklistRow(const std::string& ip);
    void removeBlacklistRow(const wxString& ip);
    void setForwardEnabled(bool enabled);
    // Widens what the font leaves too narrow for its longest value (ports,
    // capacity, limit, an IP address, the mode radios), within its group;
    // places that are wide enough stay as they are.
    void fitToFont(const wxWindow* addressGroup, const wxWindow* limitsGroup,
                   const wxWindow* blacklistGroup);
};

// The windows a form's rows made, one per row, in the rows' order.
struct BuiltForm {
    std::span<const FormRow> rows;
    std::vector<wxWindow*> windows;

    // The window of the first row making `part`, null if none does.
    wxWindow* find(FormPart part) const;
    template <typename T>
    T* get(FormPart part) const {
        return static_cast<T*>(find(part));
    }
};

// The client size that holds the form's places and its controls as made
// (a control the font widened or the toolkit made taller included).
wxSize formClientArea(const BuiltForm& built);

// Clicks `button` as a person would: its handler runs.
void pressButton(wxWindow* button);

// Return in `box` presses `button` and goes no further.
void pressOnReturn(wxTextCtrl* box, wxWindow* button);

// Makes the rows' controls on `parent`, in order (which is the tab order),
// puts the fields into `form`, records the rows' tags in `tags` if given, and
// last fits the fields to the font.
BuiltForm buildForm(wxWindow* parent, std::span<const FormRow> rows, FormControls& form,
                    std::map<const wxObject*, int>* tags = nullptr);

}  // namespace lumesk::ui
