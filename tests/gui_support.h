// What the window's tests share: pumping the window's events, finding and
// pressing its controls, and a window made as the program makes it.
#pragma once

#include <wx/app.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/textctrl.h>
#include <wx/treectrl.h>
#include <wx/utils.h>
#include <wx/window.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "shell/process_state.h"
#include "ui/main_window.h"
#include "ui/wx_text.h"

namespace lumesk::test {

// Runs the window's events until `done` or the time is up.
inline bool pumpUntil(const std::function<bool()>& done, int ms = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        wxTheApp->ProcessPendingEvents();
        wxYield();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

template <typename T>
T* named(wxWindow* parent, const char* name) {
    return dynamic_cast<T*>(wxWindow::FindWindowByName(ui::S(name), parent));
}

inline void click(wxWindow* button) {
    wxCommandEvent ev(wxEVT_BUTTON, button->GetId());
    ev.SetEventObject(button);
    button->ProcessWindowEvent(ev);
}

// An empty folder of that name in the system's temporary folder (UTF-8).
inline std::string freshFolder(const std::string& name) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / name;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    std::filesystem::create_directories(dir, ec);
    const std::u8string text = dir.u8string();
    return std::string(text.begin(), text.end());
}

// The tree's node texts, top to bottom.
inline std::vector<std::string> treeTexts(wxTreeCtrl* tree) {
    std::vector<std::string> out;
    wxTreeItemIdValue c1, c2;
    for (auto a = tree->GetFirstChild(tree->GetRootItem(), c1); a.IsOk();
         a = tree->GetNextChild(tree->GetRootItem(), c1)) {
        out.push_back(ui::U(tree->GetItemText(a)));
        for (auto b = tree->GetFirstChild(a, c2); b.IsOk(); b = tree->GetNextChild(a, c2)) {
            out.push_back(ui::U(tree->GetItemText(b)));
        }
    }
    return out;
}

// A window as the program makes it: on the state's engine and sink, its
// only local address 127.0.0.1, the top window, shown.
inline ui::MainWindow* programLikeWindow(shell::ProcessState& state) {
    ui::UiContext context{
        state.table,
        state.engine,
        state.sink,
        [&state](const auto& copy, const auto* listener) {
            return state.statistics(copy, listener);
        },
        [] { return std::vector<std::string>{"127.0.0.1"}; },
        "about:blank",
        [&state](const std::vector<int>& order) { return state.keepMappings(order); },
        state.mappingOrder()};
    auto* window = new ui::MainWindow(std::move(context));
    wxTheApp->SetTopWindow(window);
    window->Show();
    pumpUntil([] { return false; }, 200);
    return window;
}

// Adds a mapping with the dialog: its name, listen port, the echo target's
// port, and whether it starts with the program.
inline void addWithDialog(ui::MainWindow* window, const std::string& name, int port, int targetPort,
                          bool autostart) {
    window->onDialogShown = [=](wxWindow* dialog) {
        named<wxTextCtrl>(dialog, "编辑框1")->ChangeValue(ui::S(name));
        named<wxTextCtrl>(dialog, "编辑框2")->ChangeValue(std::to_string(port));
        named<wxTextCtrl>(dialog, "编辑框3")->ChangeValue(std::to_string(targetPort));
        named<wxCheckBox>(dialog, "选择框1")->SetValue(autostart);
        click(named<wxButton>(dialog, "按钮3"));
    };
    window->runToolbarCommand(ui::S("添加"));
}

}  // namespace lumesk::test
