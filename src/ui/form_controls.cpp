#include "ui/form_controls.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/listctrl.h>
#include <wx/radiobut.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "ui/wx_text.h"

namespace lumesk::ui {

MappingForm FormControls::read() const {
    MappingForm f;
    f.name = U(name->GetValue());
    f.autostart = autostart->GetValue();
    f.mode = modes[0]->GetValue()   ? model::Mode::PortMapping
             : modes[1]->GetValue() ? model::Mode::HttpProxy
                                    : model::Mode::Socks4Proxy;
    f.listenIpItem = U(listenIp->GetStringSelection());
    f.listenPort = U(listenPort->GetValue());
    f.forwardIp = U(forwardIp->GetValue());
    f.forwardPort = U(forwardPort->GetValue());
    f.capacity = U(capacity->GetValue());
    f.perIpLimit = U(perIpLimit->GetValue());
    f.blacklist = blacklistRows();
    return f;
}

void FormControls::show(const MappingForm& f) {
    name->ChangeValue(S(f.name));
    autostart->SetValue(f.autostart);
    modes[0]->SetValue(f.mode == model::Mode::PortMapping || f.mode == model::Mode::None);
    if (f.mode == model::Mode::HttpProxy) modes[1]->SetValue(true);
    if (f.mode == model::Mode::Socks4Proxy) modes[2]->SetValue(true);
    if (f.listenIpItem == kAllAddresses) {
        listenIp->SetSelection(0);
    } else {
        for (int i = static_cast<int>(listenIp->GetCount()) - 1; i >= 0; --i) {
            if (listenIp->GetString(static_cast<unsigned>(i)) == S(f.listenIpItem)) {
                listenIp->SetSelection(i);
                break;
            }
        }
    }
    forwardIp->ChangeValue(S(f.forwardIp));
    listenPort->ChangeValue(S(f.listenPort));
    forwardPort->ChangeValue(S(f.forwardPort));
    capacity->ChangeValue(S(f.capacity));
    perIpLimit->ChangeValue(S(f.perIpLimit));
    blacklist->DeleteAllItems();
    for (std::size_t i = 0; i < f.blacklist.size(); ++i) {
        if (f.blacklist[i].empty()) continue;
        const long row = blacklist->InsertItem(blacklist->GetItemCount(), std::to_string(i + 1));
        blacklist->SetItemData(row, static_cast<long>(i + 1));
        blacklist->SetItem(row, 1, S(f.blacklist[i]));
    }
    setForwardEnabled(modes[0]->GetValue());
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
    return group->GetRect().GetRight() - kGroupMargin;
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

wxWindow* BuiltForm::find(FormPart part) const {
    // Only rows made so far: a row may look for its group while building.
    for (std::size_t i = 0; i < windows.size(); ++i) {
        if (rows[i].part == part) return windows[i];
    }
    return nullptr;
}

namespace {

wxWindow* makeControl(wxWindow* parent, const FormRow& row, wxPoint at, FormControls& form) {
    const wxSize size(row.place.width, row.place.height);
    const wxString text = S(row.text);
    auto textBox = [&] { return new wxTextCtrl(parent, wxID_ANY, "", at, size); };
    auto button = [&](wxWindowID id) { return new wxButton(parent, id, text, at, size); };
    switch (row.part) {
        case FormPart::Caption:
            return new wxStaticText(parent, wxID_ANY, text, at, size);
        case FormPart::Name:
            return form.name = textBox();
        case FormPart::Autostart:
            return form.autostart = new wxCheckBox(parent, wxID_ANY, text, at, size);
        case FormPart::PortMapping:
        case FormPart::HttpProxy:
        case FormPart::Socks4: {
            const int i = static_cast<int>(row.part) - static_cast<int>(FormPart::PortMapping);
            auto* mode = new wxRadioButton(parent, wxID_ANY, text, at, size,
                                           row.part == FormPart::PortMapping ? wxRB_GROUP : 0);
            return form.modes[i] = mode;
        }
        case FormPart::ListenIp:
            form.listenIp = new wxChoice(parent, wxID_ANY, at, size);
            form.listenIp->Append(S(kAllAddresses));
            return form.listenIp;
        case FormPart::ListenPort:
            return form.listenPort = textBox();
        case FormPart::ForwardIp:
            return form.forwardIp = new wxComboBox(parent, wxID_ANY, "", at, size);
        case FormPart::ForwardPort:
            return form.forwardPort = textBox();
        case FormPart::Capacity:
            return form.capacity = textBox();
        case FormPart::PerIpLimit:
            return form.perIpLimit = textBox();
        case FormPart::Blacklist:
            form.blacklist =
                new wxListCtrl(parent, wxID_ANY, at, size, wxLC_REPORT | wxLC_SINGLE_SEL);
            form.blacklist->AppendColumn(S("编号"), wxLIST_FORMAT_LEFT, 50);
            form.blacklist->AppendColumn(S("IP地址"), wxLIST_FORMAT_LEFT, 140);
            return form.blacklist;
        case FormPart::BlacklistIp:
            // Return adds the address: the form binds the text-enter event.
            return form.blacklistIp =
                       new wxTextCtrl(parent, wxID_ANY, "", at, size, wxTE_PROCESS_ENTER);
        case FormPart::AddressGroup:
        case FormPart::LimitsGroup:
        case FormPart::BlacklistGroup:
            return new wxStaticBox(parent, wxID_ANY, text, at, size);
        case FormPart::OkButton:
            return button(wxID_OK);
        case FormPart::CancelButton:
            return button(wxID_CANCEL);
        case FormPart::StartButton:
        case FormPart::AddButton:
        case FormPart::DeleteButton:
        case FormPart::SaveButton:
        case FormPart::ResetButton:
            return button(wxID_ANY);
        case FormPart::Form:
            break;
    }
    wxFAIL_MSG("a row cannot make the form itself");
    return nullptr;
}

}  // namespace

BuiltForm buildForm(wxWindow* parent, std::span<const FormRow> rows, FormControls& form,
                    std::map<const wxObject*, int>* tags) {
    BuiltForm built{rows, {}};
    for (const FormRow& row : rows) {
        const wxPoint offset(row.place.left, row.place.top);
        const wxPoint at = row.within == FormPart::Form
                               ? offset
                               : inside(built.find(row.within), offset.x, offset.y);
        wxWindow* w = makeControl(parent, row, at, form);
        if (*row.name) w->SetName(S(row.name));
        if (tags && row.tag) (*tags)[w] = row.tag;
        built.windows.push_back(w);
    }
    form.fitToFont(built.find(FormPart::AddressGroup), built.find(FormPart::LimitsGroup),
                   built.find(FormPart::BlacklistGroup));
    return built;
}

wxSize formClientArea(const BuiltForm& built) {
    const Size places = formClientSize(built.rows);
    wxSize size(places.width, places.height);
    for (const wxWindow* w : built.windows) {
        const wxRect r = w->GetRect();
        size.IncTo(wxSize(r.GetRight() + 1 + kFormMargin, r.GetBottom() + 1 + kFormMargin));
    }
    return size;
}

void pressButton(wxWindow* button) {
    wxCommandEvent click(wxEVT_BUTTON, button->GetId());
    click.SetEventObject(button);
    button->ProcessWindowEvent(click);
}

void pressOnReturn(wxTextCtrl* box, wxWindow* button) {
    // Taken before the control sees the key: in a dialog the native edit
    // control would also hand Return to the default button (OK) and end the
    // dialog, even with the text-enter event handled.
    box->Bind(wxEVT_CHAR_HOOK, [button](wxKeyEvent& key) {
        const int code = key.GetKeyCode();
        if ((code == WXK_RETURN || code == WXK_NUMPAD_ENTER) && !key.HasAnyModifiers()) {
            pressButton(button);
            return;
        }
        key.Skip();
    });
    box->Bind(wxEVT_TEXT_ENTER, [button](wxCommandEvent&) { pressButton(button); });
}

}  // namespace lumesk::ui
