#include "ui/tray_icon.h"

#include <wx/menu.h>
#include <wx/notifmsg.h>

#include "ui/images.h"
#include "ui/main_window.h"
#include "ui/wx_text.h"

namespace lumesk::ui {

namespace {
enum { kToggle = wxID_HIGHEST + 100, kAbout, kSite, kQuit };
}

TrayIcon::TrayIcon(MainWindow& window) : window_(window) {
    // The largest picture: the shell scales it down, sharp at any density.
    icon_ = appIcons().GetIcon(wxSize(128, 128));
    SetIcon(icon_, S("Lumesk端口映射工具"));
    Bind(wxEVT_TASKBAR_LEFT_DOWN, [this](wxTaskBarIconEvent&) {
        balloon(S("欢迎使用Lumesk端口映射工具"), S("当前版本：1.0"));
    });
    Bind(wxEVT_TASKBAR_LEFT_DCLICK, [this](wxTaskBarIconEvent&) { window_.toggleMainWindow(); });
    Bind(
        wxEVT_MENU, [this](wxCommandEvent&) { window_.toggleMainWindow(); }, kToggle);
    Bind(
        wxEVT_MENU, [this](wxCommandEvent&) { window_.openMakerPage(); }, kAbout);
    Bind(
        wxEVT_MENU, [this](wxCommandEvent&) { window_.openMakerPage(); }, kSite);
    // Ends at once, running mappings and all.
    Bind(
        wxEVT_MENU, [this](wxCommandEvent&) { window_.exitProcess(); }, kQuit);
}

TrayIcon::~TrayIcon() {
    RemoveIcon();
}

void TrayIcon::balloon(const wxString& title, const wxString& text) {
#ifdef __WXMSW__
    ShowBalloon(title, text, 0, wxICON_INFORMATION);
#else
    wxNotificationMessage(title, text).Show();
#endif
    if (onBalloon) onBalloon(title, text);
}

wxMenu* TrayIcon::CreatePopupMenu() {
    auto* menu = new wxMenu;
    menu->Append(kToggle, S("显示/隐藏主窗口"));
    menu->Append(kAbout, S("关于我们"));
    menu->AppendSeparator();
    menu->Append(kSite, S("Lumesk互联"));
    menu->Append(kQuit, S("退出软件"));
    return menu;
}

}  // namespace lumesk::ui
