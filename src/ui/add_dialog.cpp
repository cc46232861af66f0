#include "ui/add_dialog.h"

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

AddDialog::AddDialog(wxWindow* parent, model::MappingTable& table,
                     const std::vector<std::string>& addresses)
    : wxDialog(parent, wxID_ANY, S("添加映射"), wxPoint(50, 50), wxSize(345, 331),
               wxCAPTION | wxCLOSE_BOX | wxSYSTEM_MENU),
      table_(table) {
    SetName(S("添加映射"));
    applyFormFont(this);
    auto named = [](wxWindow* w, const char* name) {
        w->SetName(S(name));
        return w;
    };
    new wxStaticText(this, wxID_ANY, S("服务名称:"), wxPoint(4, 8), wxSize(56, 20));
    form_.name = new wxTextCtrl(this, wxID_ANY, "", wxPoint(64, 8), wxSize(176, 20));
    named(form_.name, "编辑框1");
    form_.autostart =
        new wxCheckBox(this, wxID_ANY, S("随程序启动"), wxPoint(248, 8), wxSize(88, 20));
    named(form_.autostart, "选择框1");

    auto* address =
        new wxStaticBox(this, wxID_ANY, S("IP地址-端口 设置"), wxPoint(8, 33), wxSize(328, 95));
    named(address, "分组框1");
    const char* modeTexts[3] = {"端口映射", "HTTP代理", "Socks4代理"};
    for (int i = 0; i < 3; ++i) {
        form_.modes[i] =
            new wxRadioButton(this, wxID_ANY, S(modeTexts[i]), inside(address, 16 + 104 * i, 16),
                              wxSize(90, 16), i == 0 ? wxRB_GROUP : 0);
        named(form_.modes[i], ("单选框" + std::to_string(i + 1)).c_str());
        form_.modes[i]->Bind(wxEVT_RADIOBUTTON, [this](wxCommandEvent&) { onModeClicked(); });
    }
    form_.modes[2]->Disable();
    new wxStaticText(this, wxID_ANY, S("监听IP:"), inside(address, 8, 43), wxSize(48, 16));
    form_.listenIp = new wxChoice(this, wxID_ANY, inside(address, 56, 41), wxSize(160, 20));
    named(form_.listenIp, "组合框1");
    form_.listenIp->Append(S(kAllAddresses));
    form_.listenPort = captionedText(this, address, "端口:", {216, 41}, 48, {265, 40}, {32, 20});
    named(form_.listenPort, "编辑框2");
    new wxStaticText(this, wxID_ANY, S("转发IP:"), inside(address, 8, 68), wxSize(48, 16));
    form_.forwardIp = new wxComboBox(this, wxID_ANY, "", inside(address, 56, 66), wxSize(160, 20));
    named(form_.forwardIp, "组合框2");
    form_.forwardPort = captionedText(this, address, "端口:", {216, 66}, 48, {265, 65}, {32, 20});
    named(form_.forwardPort, "编辑框3");

    auto* limits = new wxStaticBox(this, wxID_ANY, S("基本设置"), wxPoint(8, 130), wxSize(328, 40));
    named(limits, "分组框2");
    form_.capacity = captionedText(this, limits, "承载人数:", {13, 16}, 56, {72, 15}, {43, 20});
    named(form_.capacity, "编辑框4");
    form_.perIpLimit =
        captionedText(this, limits, "单IP连接数:", {165, 16}, 68, {237, 15}, {43, 20});
    named(form_.perIpLimit, "编辑框5");

    blacklistGroup_ =
        new wxStaticBox(this, wxID_ANY, S("IP黑名单"), wxPoint(6, 170), wxSize(330, 96));
    named(blacklistGroup_, "分组框3");
    form_.blacklist = new wxListCtrl(this, wxID_ANY, inside(blacklistGroup_, 5, 15),
                                     wxSize(224, 76), wxLC_REPORT | wxLC_SINGLE_SEL);
    named(form_.blacklist, "列表框1");
    form_.blacklist->AppendColumn(S("编号"), wxLIST_FORMAT_LEFT, 50);
    form_.blacklist->AppendColumn(S("IP地址"), wxLIST_FORMAT_LEFT, 140);
    form_.blacklistIp =
        captionedText(this, blacklistGroup_, "IP地址", {240, 11}, 82, {233, 32}, {88, 20});
    named(form_.blacklistIp, "编辑框7");
    auto* add =
        new wxButton(this, wxID_ANY, S("添加"), inside(blacklistGroup_, 240, 61), wxSize(36, 20));
    named(add, "按钮1");
    auto* del =
        new wxButton(this, wxID_ANY, S("删除"), inside(blacklistGroup_, 285, 61), wxSize(36, 20));
    named(del, "按钮2");
    auto* reset = new wxButton(this, wxID_ANY, S("重置"), wxPoint(48, 272), wxSize(72, 24));
    named(reset, "按钮5");
    // Return presses OK, Esc cancel.
    auto* ok = new wxButton(this, wxID_OK, S("确定"), wxPoint(128, 272), wxSize(72, 24));
    ok->SetDefault();
    named(ok, "按钮3");
    auto* cancel = new wxButton(this, wxID_CANCEL, S("取消"), wxPoint(208, 272), wxSize(72, 24));
    named(cancel, "按钮4");

    form_.fitToFont(address, limits, blacklistGroup_);
    add->Bind(wxEVT_BUTTON,
              [this](wxCommandEvent&) { addBlacklistEntry(U(form_.blacklistIp->GetValue())); });
    del->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        if (blacklistGroup_->IsEnabled()) form_.removeBlacklistRow(form_.blacklistIp->GetValue());
    });
    reset->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { resetAddDialog(); });
    ok->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        if (onAddDialogOk()) EndModal(wxID_OK);
    });

    // Under Wine a drop-down list whose item was chosen before the dialog
    // showed stays unpainted (black) until something repaints it.
    Bind(wxEVT_INIT_DIALOG, [this](wxInitDialogEvent& e) {
        e.Skip();
        CallAfter([this] { Refresh(); });
    });
    for (const std::string& ip : addresses) {
        form_.listenIp->Append(S(ip));
        form_.forwardIp->Append(S(ip));
    }
    resetAddDialog();
}

void AddDialog::resetAddDialog() {
    const std::string first = form_.forwardIp->GetCount() ? U(form_.forwardIp->GetString(0)) : "";
    const MappingForm f = defaultForm(first);
    form_.name->ChangeValue(S(f.name));
    form_.autostart->SetValue(false);
    form_.modes[0]->SetValue(true);
    form_.listenIp->SetSelection(0);
    if (form_.forwardIp->GetCount()) form_.forwardIp->SetSelection(0);
    form_.forwardIp->ChangeValue(S(f.forwardIp));
    form_.forwardIp->Enable();
    form_.forwardPort->ChangeValue(S(f.forwardPort));
    form_.forwardPort->Enable();
    form_.listenPort->ChangeValue(S(f.listenPort));
    form_.capacity->ChangeValue(S(f.capacity));
    form_.perIpLimit->ChangeValue(S(f.perIpLimit));
    form_.blacklist->DeleteAllItems();
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
