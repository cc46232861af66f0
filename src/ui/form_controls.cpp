#include "ui/form_controls.h"

#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/listctrl.h>
#include <wx/radiobut.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "ui/wx_text.h"

namespace lumesk::ui {

MappingForm FormControls::read() const {
    MappingForm f;
    f.name = U(name->GetValue());
    f.autostart = autostart->GetValue();
    f.mode = modes[0]->GetValue() ? 1 : modes[1]->GetValue() ? 2 : 3;
    f.listenIpItem = U(listenIp->GetStringSelection());
    f.listenPort = U(listenPort->GetValue());
    f.forwardIp = U(forwardIp->GetValue());
    f.forwardPort = U(forwardPort->GetValue());
    f.capacity = U(capacity->GetValue());
    f.perIpLimit = U(perIpLimit->GetValue());
    f.blacklist = blacklistRows();
    return f;
}

std::vector<std::string> FormControls::blacklistRows() const {
    std::vector<std::string> rows;
    for (long i = 0; i < blacklist->GetItemCount(); ++i) {
        rows.push_back(U(blacklist->GetItemText(i, 1)));
    }
    return rows;
}

void FormControls::appendBlacklistRow(const std::string& ip) {
    const long count = blacklist->GetItemCount();
    const long last = count ? static_cast<long>(blacklist->GetItemData(count - 1)) : 0;
    const long row = blacklist->InsertItem(count, std::to_string(last + 1));
    blacklist->SetItemData(row, last + 1);
    blacklist->SetItem(row, 1, S(ip));
}

void FormControls::removeBlacklistRow(const wxString& ip) {
    for (long i = 0; i < blacklist->GetItemCount(); ++i) {
        if (blacklist->GetItemText(i, 1) == ip) {
            blacklist->DeleteItem(i);
            return;
        }
    }
}

void FormControls::setForwardEnabled(bool enabled) {
    forwardIp->Enable(enabled);
    forwardPort->Enable(enabled);
}

namespace {

// The right edge a control inside `group` must not pass.
int innerRight(const wxWindow* group) {
    return group->GetRect().GetRight() - 6;
}

// Widens `w` to `width` if it is narrower; what would pass `right` moves left.
void widen(wxWindow* w, int width, int right) {
    wxRect r = w->GetRect();
    if (width <= r.width) return;
    r.width = width;
    if (r.GetRight() > right) r.x -= r.GetRight() - right;
    w->SetSize(r);
}

void fitText(wxTextCtrl* box, const char* longest, int right) {
    widen(box, box->GetSizeFromTextSize(box->GetTextExtent(S(longest)).x).x, right);
}

}  // namespace

void FormControls::fitToFont(const wxWindow* addressGroup, const wxWindow* limitsGroup,
                             const wxWindow* blacklistGroup) {
    for (wxRadioButton* mode : modes) {
        widen(mode, mode->GetBestSize().x, innerRight(addressGroup));
    }
    fitText(listenPort, "65535", innerRight(addressGroup));
    fitText(forwardPort, "65535", innerRight(addressGroup));
    fitText(capacity, "10000", innerRight(limitsGroup));
    fitText(perIpLimit, "0000", innerRight(limitsGroup));
    fitText(blacklistIp, "255.255.255.255", innerRight(blacklistGroup));
    // A box moved left makes room by narrowing the list beside it.
    const wxRect list = blacklist->GetRect();
    const int free = blacklistIp->GetPosition().x - 4 - list.x;
    if (free < list.width) blacklist->SetSize(free, list.height);
}

wxTextCtrl* captionedText(wxWindow* parent, const wxWindow* group, const char* caption,
                          wxPoint captionAt, int captionWidth, wxPoint fieldAt, wxSize fieldSize) {
    new wxStaticText(parent, wxID_ANY, S(caption), inside(group, captionAt.x, captionAt.y),
                     wxSize(captionWidth, 16));
    return new wxTextCtrl(parent, wxID_ANY, "", inside(group, fieldAt.x, fieldAt.y), fieldSize);
}

}  // namespace lumesk::ui
