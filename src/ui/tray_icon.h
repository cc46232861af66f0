// The notification-area icon: tip, balloon, menu and the way back to the window.
#pragma once

#include <wx/icon.h>
#include <wx/taskbar.h>

#include <functional>

namespace lumesk::ui {

class MainWindow;

class TrayIcon : public wxTaskBarIcon {
  public:
    explicit TrayIcon(MainWindow& window);
    ~TrayIcon() override;
    const wxIcon& icon() const { return icon_; }
    // A balloon on the icon (a desktop notification on GTK).
    void balloon(const wxString& title, const wxString& text);
    // Told of every balloon shown; tests read it.
    std::function<void(const wxString& title, const wxString& text)> onBalloon;

    wxMenu* CreatePopupMenu() override;  // "弹出的菜单"

  private:
    MainWindow& window_;
    wxIcon icon_;
};

}  // namespace lumesk::ui
