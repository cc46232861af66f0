#include "ui/editor_panel.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/radiobut.h>
#include <wx/textctrl.h>

#include "ui/wx_text.h"

namespace lumesk::ui {

EditorPanel::EditorPanel(wxWindow* parent)
    : wxPanel(parent, wxID_ANY, wxPoint(173, 24), wxSize(380, 320)) {
    SetName(S("图片框1"));
    const BuiltForm built = buildForm(this, editorForm(), form_, &tags_);
    startButton_ = built.get<wxButton>(FormPart::StartButton);
    for (wxRadioButton* mode : form_.modes) {
        mode->Bind(wxEVT_RADIOBUTTON, &EditorPanel::onModeClicked, this);
    }
    // One handler for the five buttons, told apart by tag.
    for (FormPart b : {FormPart::StartButton, FormPart::AddButton, FormPart::DeleteButton,
                       FormPart::SaveButton, FormPart::ResetButton}) {
        built.find(b)->Bind(wxEVT_BUTTON, &EditorPanel::onButton, this);
    }
    // Return in the blacklist-IP box adds the address, as in the add dialog.
    pressOnReturn(form_.blacklistIp, built.find(FormPart::AddButton));
}

void EditorPanel::addAddresses(const std::vector<std::string>& addresses) {
    for (const std::string& ip : addresses) {
        form_.listenIp->Append(S(ip));
        form_.forwardIp->Append(S(ip));
    }
}

void EditorPanel::show(const model::MappingRecord& r) {
    form_.show(formOf(r));
    startButton_->SetLabel(S(r.service ? "停止" : "启动"));
    const bool running = r.service != nullptr;
    form_.listenIp->Enable(!running);
    form_.listenPort->Enable(!running);
    form_.modes[0]->Enable(!running);
    form_.modes[1]->Enable(!running);
    form_.modes[2]->Enable(!running);
}

void EditorPanel::onModeClicked(wxCommandEvent& event) {
    if (!hasMapping()) return;
    form_.setForwardEnabled(tags_[event.GetEventObject()] == 1);
}

void EditorPanel::onButton(wxCommandEvent& event) {
    if (!hasMapping()) return;
    switch (tags_[event.GetEventObject()]) {
        case 1:
            onStartStop(startButton_->GetLabel() == S("启动"));
            break;
        case 2: {
            const std::string ip = U(form_.blacklistIp->GetValue());
            if (editorBlacklistAccepts(form_.blacklistRows(), ip)) form_.appendBlacklistRow(ip);
            break;
        }
        case 3:
            form_.removeBlacklistRow(form_.blacklistIp->GetValue());
            break;
        case 4:
            onSave();
            break;
        case 5:
            onReset();
            break;
        default:
            break;
    }
}

}  // namespace lumesk::ui
