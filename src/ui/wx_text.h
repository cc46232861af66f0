// Our texts are UTF-8; the toolkit's are wxString.
#pragma once

#include <wx/string.h>

#include <string>

namespace lumesk::ui {

inline wxString S(const char* text) {
    return wxString::FromUTF8(text);
}
inline wxString S(const std::string& text) {
    return wxString::FromUTF8(text);
}
inline std::string U(const wxString& text) {
    return std::string(text.utf8_str());
}

}  // namespace lumesk::ui

#include <wx/window.h>

namespace lumesk::ui {

// A place inside a group box, in the coordinates of the group's own parent:
// controls sit on the panel, drawn over the box, as on Windows.
inline wxPoint inside(const wxWindow* group, int x, int y) {
    return group->GetPosition() + wxPoint(x, y);
}

// Makes the toolkit's controls as compact as the window's fixed places need.
void applyCompactStyle();
// Scroll bars that are always drawn while there is something to scroll to.
void showScrollbars(wxWindow* w);
// Gives a form, before its controls are made, the face its places are laid out for.
void applyFormFont(wxWindow* form);

}  // namespace lumesk::ui
