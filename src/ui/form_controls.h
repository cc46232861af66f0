// The controls the add dialog and the editor panel share, and what both do
// with them.
#pragma once

#include <wx/gdicmn.h>
#include <wx/string.h>

#include <string>
#include <vector>

#include "ui/form_logic.h"

class wxTextCtrl;
class wxWindow;
class wxCheckBox;
class wxRadioButton;
class wxChoice;
class wxComboBox;
class wxListCtrl;

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

// A caption and the text box after it, both placed inside `group` (a line
// high): the shape of most fields of both forms.
wxTextCtrl* captionedText(wxWindow* parent, const wxWindow* group, const char* caption,
                          wxPoint captionAt, int captionWidth, wxPoint fieldAt, wxSize fieldSize);

}  // namespace lumesk::ui
