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
    auto named = [](wxWindow* w, const char* name) {
        w->SetName(S(name));
        return w;
    };
    new wxStaticText(this, wxID_ANY, S("服务名称:"), wxPoint(4, 8), wxSize(56, 20));
    nameBox_ = new wxTextCtrl(this, wxID_ANY, "", wxPoint(64, 8), wxSize(176, 20));
    named(nameBox_, "编辑框1");
    autostartBox_ =
        new wxCheckBox(this, wxID_ANY, S("随程序启动"), wxPoint(248, 8), wxSize(88, 20));
    named(autostartBox_, "选择框1");

    auto* address =
        new wxStaticBox(this, wxID_ANY, S("IP地址-端口 设置"), wxPoint(8, 33), wxSize(328, 95));
    named(address, "分组框1");
    const char* modeTexts[3] = {"端口映射", "HTTP代理", "Socks4代理"};
    for (int i = 0; i < 3; ++i) {
        modeRadios_[i] =
            new wxRadioButton(this, wxID_ANY, S(modeTexts[i]), inside(address, 16 + 104 * i, 16),
                              wxSize(90, 16), i == 0 ? wxRB_GROUP : 0);
        named(modeRadios_[i], ("单选框" + std::to_string(i + 1)).c_str());
        modeRadios_[i]->Bind(wxEVT_RADIOBUTTON, [this](wxCommandEvent&) { onModeClicked(); });
    }
    modeRadios_[2]->Disable();
    new wxStaticText(this, wxID_ANY, S("监听IP:"), inside(address, 8, 43), wxSize(48, 16));
    listenIpBox_ = new wxChoice(this, wxID_ANY, inside(address, 56, 41), wxSize(160, 20));
    named(listenIpBox_, "组合框1");
    listenIpBox_->Append(S(kAllAddresses));
    new wxStaticText(this, wxID_ANY, S("端口:"), inside(address, 216, 41), wxSize(48, 16));
    listenPortBox_ = new wxTextCtrl(this, wxID_ANY, "", inside(address, 265, 40), wxSize(32, 20));
    named(listenPortBox_, "编辑框2");
    new wxStaticText(this, wxID_ANY, S("转发IP:"), inside(address, 8, 68), wxSize(48, 16));
    forwardIpBox_ = new wxComboBox(this, wxID_ANY, "", inside(address, 56, 66), wxSize(160, 20));
    named(forwardIpBox_, "组合框2");
    new wxStaticText(this, wxID_ANY, S("端口:"), inside(address, 216, 66), wxSize(48, 16));
    forwardPortBox_ = new wxTextCtrl(this, wxID_ANY, "", inside(address, 265, 65), wxSize(32, 20));
    named(forwardPortBox_, "编辑框3");

    auto* limits = new wxStaticBox(this, wxID_ANY, S("基本设置"), wxPoint(8, 130), wxSize(328, 40));
    named(limits, "分组框2");
    new wxStaticText(this, wxID_ANY, S("承载人数:"), inside(limits, 13, 16), wxSize(56, 16));
    capacityBox_ = new wxTextCtrl(this, wxID_ANY, "", inside(limits, 72, 15), wxSize(43, 20));
    named(capacityBox_, "编辑框4");
    new wxStaticText(this, wxID_ANY, S("单IP连接数:"), inside(limits, 165, 16), wxSize(68, 16));
    perIpBox_ = new wxTextCtrl(this, wxID_ANY, "", inside(limits, 237, 15), wxSize(43, 20));
    named(perIpBox_, "编辑框5");

    blacklistGroup_ =
        new wxStaticBox(this, wxID_ANY, S("IP黑名单"), wxPoint(6, 170), wxSize(330, 96));
    named(blacklistGroup_, "分组框3");
    blacklistList_ = new wxListCtrl(this, wxID_ANY, inside(blacklistGroup_, 5, 15), wxSize(224, 76),
                                    wxLC_REPORT | wxLC_SINGLE_SEL);
    named(blacklistList_, "列表框1");
    blacklistList_->AppendColumn(S("编号"), wxLIST_FORMAT_LEFT, 50);
    blacklistList_->AppendColumn(S("IP地址"), wxLIST_FORMAT_LEFT, 140);
    new wxStaticText(this, wxID_ANY, S("IP地址"), inside(blacklistGroup_, 240, 11), wxSize(82, 16));
    blacklistIpBox_ =
        new wxTextCtrl(this, wxID_ANY, "", inside(blacklistGroup_, 233, 32), wxSize(88, 20));
    named(blacklistIpBox_, "编辑框7");
    auto* add =
        new wxButton(this, wxID_ANY, S("添加"), inside(blacklistGroup_, 240, 61), wxSize(36, 20));
    named(add, "按钮1");
    auto* del =
        new wxButton(this, wxID_ANY, S("删除"), inside(blacklistGroup_, 285, 61), wxSize(36, 20));
    named(del, "按钮2");
    auto* reset = new wxButton(this, wxID_ANY, S("重置"), wxPoint(48, 272), wxSize(72, 24));
    named(reset, "按钮5");
    auto* ok = new wxButton(this, wxID_ANY, S("确定"), wxPoint(128, 272), wxSize(72, 24));
    named(ok, "按钮3");
    auto* cancel = new wxButton(this, wxID_CANCEL, S("取消"), wxPoint(208, 272), wxSize(72, 24));
    named(cancel, "按钮4");

    add->Bind(wxEVT_BUTTON,
              [this](wxCommandEvent&) { addBlacklistEntry(U(blacklistIpBox_->GetValue())); });
    del->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        if (!blacklistGroup_->IsEnabled()) return;
        for (long i = 0; i < blacklistList_->GetItemCount(); ++i) {
            if (blacklistList_->GetItemText(i, 1) == blacklistIpBox_->GetValue()) {
                blacklistList_->DeleteItem(i);
                return;
            }
        }
    });
    reset->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { resetAddDialog(); });
    ok->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        if (onAddDialogOk()) EndModal(wxID_OK);
    });

    for (const std::string& ip : addresses) {
        listenIpBox_->Append(S(ip));
        forwardIpBox_->Append(S(ip));
    }
    resetAddDialog();
}

void AddDialog::resetAddDialog() {
    const std::string first = forwardIpBox_->GetCount() ? U(forwardIpBox_->GetString(0)) : "";
    const MappingForm f = defaultForm(first);
    nameBox_->ChangeValue(S(f.name));
    autostartBox_->SetValue(false);
    modeRadios_[0]->SetValue(true);
    listenIpBox_->SetSelection(0);
    if (forwardIpBox_->GetCount()) forwardIpBox_->SetSelection(0);
    forwardIpBox_->ChangeValue(S(f.forwardIp));
    forwardIpBox_->Enable();
    forwardPortBox_->ChangeValue(S(f.forwardPort));
    forwardPortBox_->Enable();
    listenPortBox_->ChangeValue(S(f.listenPort));
    capacityBox_->ChangeValue(S(f.capacity));
    perIpBox_->ChangeValue(S(f.perIpLimit));
    blacklistList_->DeleteAllItems();
}

void AddDialog::onModeClicked() {
    const bool portMapping = modeRadios_[0]->GetValue();
    forwardIpBox_->Enable(portMapping);
    forwardPortBox_->Enable(portMapping);
}

std::vector<std::string> AddDialog::blacklistRows() const {
    std::vector<std::string> rows;
    for (long i = 0; i < blacklistList_->GetItemCount(); ++i) {
        rows.push_back(U(blacklistList_->GetItemText(i, 1)));
    }
    return rows;
}

void AddDialog::addBlacklistEntry(const std::string& ip) {
    if (!blacklistGroup_->IsEnabled() || !dialogBlacklistAccepts(blacklistRows(), ip)) return;
    const long count = blacklistList_->GetItemCount();
    const long last = count ? static_cast<long>(blacklistList_->GetItemData(count - 1)) : 0;
    const long row = blacklistList_->InsertItem(count, std::to_string(last + 1));
    blacklistList_->SetItemData(row, last + 1);
    blacklistList_->SetItem(row, 1, S(ip));
}

MappingForm AddDialog::readForm() const {
    MappingForm f;
    f.name = U(nameBox_->GetValue());
    f.autostart = autostartBox_->GetValue();
    f.mode = modeRadios_[0]->GetValue() ? 1 : modeRadios_[1]->GetValue() ? 2 : 3;
    f.listenIpItem = U(listenIpBox_->GetStringSelection());
    f.listenPort = U(listenPortBox_->GetValue());
    f.forwardIp = U(forwardIpBox_->GetValue());
    f.forwardPort = U(forwardPortBox_->GetValue());
    f.capacity = U(capacityBox_->GetValue());
    f.perIpLimit = U(perIpBox_->GetValue());
    f.blacklist = blacklistRows();
    return f;
}

bool AddDialog::onAddDialogOk() {
    added_ = addMapping(table_, readForm());
    return added_ > 0;
}

}  // namespace lumesk::ui
