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

wxTextCtrl* captionedText(wxWindow* parent, const wxWindow* group, const char* caption,
                          wxPoint captionAt, int captionWidth, wxPoint fieldAt, wxSize fieldSize) {
    new wxStaticText(parent, wxID_ANY, S(caption), inside(group, captionAt.x, captionAt.y),
                     wxSize(captionWidth, 16));
    return new wxTextCtrl(parent, wxID_ANY, "", inside(group, fieldAt.x, fieldAt.y), fieldSize);
}

}  // namespace lumesk::ui
