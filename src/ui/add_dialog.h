// The add-mapping dialog ("添加映射").
#pragma once

#include <wx/dialog.h>

#include <string>
#include <vector>

#include "model/mapping.h"
#include "ui/form_controls.h"
#include "ui/form_logic.h"

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
    MappingForm readForm() const { return form_.read(); }

  private:
    void onModeClicked();

    model::MappingTable& table_;
    int added_ = 0;
    FormControls form_;
    wxStaticBox* blacklistGroup_ = nullptr;
};

}  // namespace lumesk::ui
