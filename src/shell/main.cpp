// Program entry: the process state, the main window and the message loop.
#include <wx/app.h>
#include <wx/filename.h>
#include <wx/stdpaths.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "mapping/local_addresses.h"
#include "shell/help_page.h"
#include "shell/process_state.h"
#include "shell/single_instance.h"
#include "ui/main_window.h"
#include "ui/wx_text.h"

namespace {

using lumesk::ui::S;
using lumesk::ui::U;

// The program's name, its main window's title.
const char* const kProgram = "Lumesk端口映射工具";

// The help page as a URL on either platform: the one beside the program, or
// the program's own copy written out (empty when it could be written nowhere).
std::string makerPage() {
    const wxFileName exe(wxStandardPaths::Get().GetExecutablePath());
    wxFileName fallback = wxFileName::DirName(wxFileName::GetTempDir());
    fallback.AppendDir(S(kProgram));
    const std::string page = lumesk::shell::helpPageFile(U(exe.GetPath()), U(fallback.GetPath()),
                                                         lumesk::shell::helpPageText());
    if (page.empty()) return {};
    return U(wxFileName::FileNameToURL(wxFileName(S(page))));
}

class LumeskApp : public wxApp {
  public:
    bool OnInit() override {
        // One program per user: a second start brings the first forward and
        // ends, with 0 once the first has answered.
        instance_ = std::make_unique<lumesk::shell::SingleInstance>(kProgram);
        if (!instance_->first()) {
            secondExitCode_ = instance_->askToShow(std::chrono::seconds(10)) ? 0 : 1;
            return true;
        }
        state_ = std::make_unique<lumesk::shell::ProcessState>();
        const std::vector<std::string> failures = state_->startServices(10);
        const std::vector<std::string> skipped = state_->loadMappings();
        auto* state = state_.get();
        lumesk::ui::UiContext ui{
            state->table,
            state->engine,
            state->sink,
            [state](const auto& copy, const auto* listener) {
                return state->statistics(copy, listener);
            },
            [] {
                std::vector<std::string> addresses;
                lumesk::mapping::localAddressList(addresses);
                return addresses;
            },
            makerPage(),
            [state](const std::vector<int>& order) { return state->keepMappings(order); },
            state->mappingOrder()};
        window_ = new lumesk::ui::MainWindow(std::move(ui));
        for (const std::string& text : failures) state_->sink.appendLog(text);
        for (const std::string& text : skipped) state_->sink.appendLog(text);
        window_->onClosing = [this] { window_ = nullptr; };
        // The window that hears the end of a Windows session.
        SetTopWindow(window_);
        window_->Show();
        state_->startMarkedMappings();
        instance_->serve([this] {
            CallAfter([this] {
                if (window_) window_->showFromOutside();
            });
        });
        return true;
    }

    int OnRun() override {
        if (secondExitCode_ >= 0) return secondExitCode_;
        return wxApp::OnRun();
    }

    int OnExit() override {
        // Running mappings are not stopped: the end of the process closes them.
        std::fflush(nullptr);
        std::_Exit(secondExitCode_ > 0 ? secondExitCode_ : 0);
    }

  private:
    std::unique_ptr<lumesk::shell::SingleInstance> instance_;
    int secondExitCode_ = -1;  // set when another instance runs
    std::unique_ptr<lumesk::shell::ProcessState> state_;
    lumesk::ui::MainWindow* window_ = nullptr;
};

}  // namespace

wxIMPLEMENT_APP(LumeskApp);
