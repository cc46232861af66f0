#include "ui/add_dialog.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/listctrl.h>
#include <wx/radiobut.h>
#include <wx/statbox.h>
#include <wx/textctrl.h>

#include "ui/wx_text.h"

namespace lumesk::ui {

AddDialog::AddDialog(wxWindow* parent, model::MappingTable& table,
                     const std::vector<std::string>& addresses)
    : wxDialog(parent, wxID_ANY, S("添加映射"), wxPoint(50, 50), wxSize(345, 331),
               wxCAPTION | wxCLOSE_BOX | wxSYSTEM_MENU),
      table_(table) {
    SetName(S("添加映射"));
    applyFormFont(this);
    const BuiltForm built = buildForm(this, addDialogForm(), form_);
    blacklistGroup_ = built.get<wxStaticBox>(FormPart::BlacklistGroup);
    for (wxRadioButton* mode : form_.modes) {
        mode->Bind(wxEVT_RADIOBUTTON, [this](wxCommandEvent&) { onModeClicked(); });
    }
    // Return presses OK, Esc cancel.
    built.get<wxButton>(FormPart::OkButton)->SetDefault();
    wxWindow* add = built.find(FormPart::AddButton);
    add->Bind(wxEVT_BUTTON,
              [this](wxCommandEvent&) { addBlacklistEntry(U(form_.blacklistIp->GetValue())); });
    // Return in the blacklist-IP box adds the address, as the button beside
    // it does, instead of pressing OK and dropping what was typed.
    pressOnReturn(form_.blacklistIp, add);
    built.find(FormPart::DeleteButton)->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        if (blacklistGroup_->IsEnabled()) form_.removeBlacklistRow(form_.blacklistIp->GetValue());
    });
    built.find(FormPart::ResetButton)->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        resetAddDialog();
    });
    built.find(FormPart::OkButton)->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        if (onAddDialogOk()) EndModal(wxID_OK);
    });

    // Under Wine a drop-down list whose item was chosen before the dialog
    // showed stays unpainted (black) until something repaints it.
    Bind(wxEVT_INIT_DIALOG, [this](wxInitDialogEvent& e) {
        e.Skip();
        CallAfter([this] { Refresh(); });
    });
    // The form's size is an outer one, and frames differ (Windows 10's are
    // thicker than Wine's): size the client area, which holds every control
    // on any frame.
    SetClientSize(formClientArea(built));
    for (const std::string& ip : addresses) {
        form_.listenIp->Append(S(ip));
        form_.forwardIp->Append(S(ip));
    }
    resetAddDialog();
}

void AddDialog::resetAddDialog() {
    const std::string first = form_.forwardIp->GetCount() ? U(form_.forwardIp->GetString(0)) : "";
    // The forward box's item chosen first, its text then set over it.
    if (form_.forwardIp->GetCount()) form_.forwardIp->SetSelection(0);
    form_.show(defaultForm(first));
}

void AddDialog::onModeClicked() {
    form_.setForwardEnabled(form_.modes[0]->GetValue());
}

void AddDialog::addBlacklistEntry(const std::string& ip) {
    if (!blacklistGroup_->IsEnabled() || !dialogBlacklistAccepts(form_.blacklistRows(), ip)) return;
    form_.appendBlacklistRow(ip);
}

bool AddDialog::onAddDialogOk() {
    added_ = addMapping(table_, readForm());
    return added_ > 0;
}

}  // namespace lumesk::ui
