// The add-mapping dialog ("添加映射").
#pragma once

#include <wx/dialog.h>

#include <string>
#include <vector>

#include "model/mapping.h"
#include "ui/form_logic.h"

class wxTextCtrl;
class wxCheckBox;
class wxRadioButton;
class wxChoice;
class wxComboBox;
class wxListCtrl;
class wxStaticBox;

namespace lumesk::ui {

class AddDialog : public wxDialog {
  public:
    AddDialog(wxWindow* parent, model::MappingTable& table,
              const std::vector<std::string>& addresses);

    int addedMappingNumber() const { return added_; }
    // The buttons' actions, for the tests too.
    void resetAddDialog();
    bool onAddDialogOk();
    void addBlacklistEntry(const std::string& ip);
    MappingForm readForm() const;

  private:
    void onModeClicked();
    std::vector<std::string> blacklistRows() const;

    model::MappingTable& table_;
    int added_ = 0;
    wxTextCtrl* nameBox_ = nullptr;
    wxCheckBox* autostartBox_ = nullptr;
    wxRadioButton* modeRadios_[3] = {};
    wxChoice* listenIpBox_ = nullptr;
    wxTextCtrl* listenPortBox_ = nullptr;
    wxComboBox* forwardIpBox_ = nullptr;
    wxTextCtrl* forwardPortBox_ = nullptr;
    wxTextCtrl* capacityBox_ = nullptr;
    wxTextCtrl* perIpBox_ = nullptr;
    wxStaticBox* blacklistGroup_ = nullptr;
    wxListCtrl* blacklistList_ = nullptr;
    wxTextCtrl* blacklistIpBox_ = nullptr;
};

}  // namespace lumesk::ui
