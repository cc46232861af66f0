// Program entry: the process state, the main window and the message loop.
#include <wx/app.h>
#include <wx/filename.h>
#include <wx/stdpaths.h>

#include <cstdlib>
#include <memory>

#include "mapping/local_addresses.h"
#include "shell/process_state.h"
#include "ui/main_window.h"

namespace {

// The help page beside the program, as a URL on either platform.
std::string makerPage() {
    const wxFileName exe(wxStandardPaths::Get().GetExecutablePath());
    return std::string(
        wxFileName::FileNameToURL(wxFileName(exe.GetPath(), "help.html")).utf8_str());
}

class LumeskApp : public wxApp {
  public:
    bool OnInit() override {
        state_ = std::make_unique<lumesk::shell::ProcessState>();
        const std::vector<std::string> failures = state_->startServices(10);
        auto* state = state_.get();
        lumesk::ui::UiContext ui{state->table, state->engine,
                                 [state](const auto& copy, const auto* listener) {
                                     return state->statistics(copy, listener);
                                 },
                                 [] {
                                     std::vector<std::string> addresses;
                                     lumesk::mapping::localAddressList(addresses);
                                     return addresses;
                                 },
                                 makerPage()};
        window_ = new lumesk::ui::MainWindow(std::move(ui));
        state_->proxy.attach(window_, window_);
        for (const std::string& text : failures) state_->proxy.appendLog(text);
        window_->onClosing = [state] { state->proxy.detach(); };
        window_->Show();
        return true;
    }

    int OnExit() override {
        // Running mappings are not stopped: the end of the process closes them.
        std::fflush(nullptr);
        std::_Exit(0);
    }

  private:
    std::unique_ptr<lumesk::shell::ProcessState> state_;
    lumesk::ui::MainWindow* window_ = nullptr;
};

}  // namespace

wxIMPLEMENT_APP(LumeskApp);
