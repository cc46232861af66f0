// The main window: mapping tree, editor and monitor panels, toolbar, menus,
// status bars and the refresh timer, and the commands that tie them together.
// Engine events reach it through the UI-thread sink.
#pragma once

#include <wx/frame.h>
#include <wx/timer.h>
#include <wx/treebase.h>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mapping/engine.h"
#include "mapping/event_queue.h"
#include "model/mapping.h"
#include "monitor/monitor.h"
#include "ui/mapping_tree.h"
#include "ui/monitor_panel.h"
#include "ui/ui_thread_sink.h"

class wxTreeCtrl;
class wxTreeEvent;
class wxListCtrl;
class wxStatusBar;
class wxToolBar;
class wxStaticText;
class wxMenu;
class wxCommandEvent;
class wxMessageDialog;

namespace lumesk::ui {

class EditorPanel;
class SplitterBar;
class TrayIcon;

// What the window works on; the shell builds it.
struct UiContext {
    model::MappingTable& table;
    mapping::MappingEngine& engine;
    // How the engine's events reach the window; it attaches itself.
    UiThreadSink& events;
    // Live counters for the status bars: the current copy and its listener.
    std::function<monitor::StatisticsInput(const model::MappingRecord&, const net::IoRecord*)>
        statistics;
    // The local addresses for the address boxes, read anew at each use: the
    // window's boxes at start, the add dialog each time it opens.
    std::function<std::vector<std::string>()> localAddresses;
    std::string makerPage;  // address opened by the help items and the banner
    // After every change of the table's mappings (an add, a save, a delete):
    // the table is kept, its mappings in the tree's order. A text to log when
    // it cannot be, else empty.
    std::function<std::string(const std::vector<int>& order)> tableChanged;
    // The mappings the tree shows at start, in its order (kept from the last run).
    std::vector<int> mappingOrder;
};

class MainWindow : public wxFrame, public EngineEventReceiver {
  public:
    explicit MainWindow(UiContext context);
    ~MainWindow() override;

    // The sink's side: see ui_thread_sink.h.
    void showEngineEvents(const mapping::EngineEventQueue::Batch& batch) override {
        monitorPanel_->showEngineEvents(batch, currentMapping_);
    }
    void appendLog(const std::string& message) override { monitorPanel_->appendLog(message); }
    // wxWidgets takes the function by reference and copies it.
    void runOnWindowThread(std::function<void()> f) override { CallAfter(f); }
    bool onWindowThread() const override;
    void runStateChanged(int n) override { afterRunStateChange(n); }
    const mapping::EngineEventQueue& engineEvents() const { return ctx_.events.events(); }

    // Commands, also driven by the tests.
    void addMapping();
    void runToolbarCommand(const wxString& caption);
    void exitByWindow();
    // "退出软件", and the end of a Windows session: the tray icon goes first
    // (the shell would keep a dead one), then the process ends with code 0.
    void exitProcess();
    void toggleMainWindow();
    // A second start of the program asks this one to come forward: shown,
    // restored and raised.
    void showFromOutside();
    void openMakerPage();
    int addedMappingNumber() const { return addedMappingNumber_; }
    int currentMapping() const { return currentMapping_; }
    void selectNode(int n, bool addressNode);
    void refreshStatistics();
    void layoutMainWindow();

    // Runs when the window is about to go, after workers were told it closes.
    std::function<void()> onClosing;
    // The message box of the editor panel: tests replace it to read the text.
    std::function<void(const wxString& text, const wxString& caption)> showMessage;
    // For tests that open the add dialog without a person: presses OK at once.
    std::function<void(wxWindow* dialog)> onDialogShown;
    // Opens a page in the browser, false when it could not; tests replace it
    // to see what was opened.
    std::function<bool(const wxString& url)> openUrl;
    // Ends the process; tests replace it to see that it would end, and how.
    std::function<void(int code)> endProcess;
    // The default browser, without wxWidgets' own (English) error box.
    static bool launchBrowser(const wxString& url);

    const monitor::MonitorModel& monitorModel() const { return monitorPanel_->model(); }
    wxTreeCtrl* tree() const { return tree_; }
    wxStatusBar* statusBar(int which) const { return which == 1 ? serviceBar_ : mappingBar_; }
    wxListCtrl* clientList() const { return monitorPanel_->clientList(); }
    wxListCtrl* messageLog() const { return monitorPanel_->messageLog(); }
    wxToolBar* toolbar() const { return toolbar_; }
    const TrayIcon& trayIcon() const { return *tray_; }
    TrayIcon& trayIcon() { return *tray_; }
    // The editor's message box: no icon, and "确定" whatever the locale.
    static std::unique_ptr<wxMessageDialog> messageBox(wxWindow* parent, const wxString& text,
                                                       const wxString& caption);

  private:
    enum ToolId { kToolAdd = wxID_HIGHEST + 1, kToolDelete, kToolStart, kToolStop, kToolExit };

    // main_window_controls.cpp
    void createControls();
    void createMenus();

    void onTreeSelection(wxTreeEvent& event);
    // Makes the tree's selected node current, whether or not the tree said
    // it changed.
    void followTreeSelection();
    void onSplitterMoved(int tag, int position);
    // What each status pane needs for its longest text in the bars' font.
    std::array<int, 5> statusPaneNeeds() const;
    wxSize minimumSize() const;
    void saveCurrentMapping();
    void onTool(wxCommandEvent& event);
    void onClose(wxCloseEvent& event);
    void onQueryEndSession(wxCloseEvent& event);
    void onEndSession(wxCloseEvent& event);
#ifdef __WXMSW__
    WXLRESULT MSWWindowProc(WXUINT message, WXWPARAM wParam, WXLPARAM lParam) override;
    unsigned showRequest_ = 0;  // the registered message of a second start
#endif

    void updateStartStopButtons(int n);
    void showStartStop(bool running);
    int findToolbarButton(const wxString& caption) const;
    void afterRunStateChange(int n);
    void keepTable();
    void showRunState(int n);
    void deleteCurrentMapping();

    UiContext ctx_;
    model::MappingRecord currentCopy_;
    int currentMapping_ = 0;
    // The current mapping's listener while it runs, read by the refresh.
    // Starts and stops run on this thread and reset it (afterRunStateChange)
    // before the listener can go (net/records.h).
    const net::IoRecord* currentService_ = nullptr;
    float ratios_[2] = {0, 0};
    std::array<int, 5> paneNeeds_{};  // measured at the first layout
    int addedMappingNumber_ = 0;
    bool blink_ = false;

    wxToolBar* toolbar_ = nullptr;
    wxStaticText* eventLabel_ = nullptr;
    MappingTree* tree_ = nullptr;
    wxWindow* treeFoot_ = nullptr;  // the tree column under the banner
    SplitterBar* treeSplitter_ = nullptr;
    EditorPanel* editor_ = nullptr;
    MonitorPanel* monitorPanel_ = nullptr;
    wxStatusBar* serviceBar_ = nullptr;
    wxStatusBar* mappingBar_ = nullptr;
    wxTimer timer_;

    std::unique_ptr<wxMenu> clientMenu_;  // "右键_菜单": defined, never opened
    std::unique_ptr<wxMenu> logMenu_;     // "右键_提示": defined, never opened
    std::unique_ptr<TrayIcon> tray_;
    bool toldStillRunning_ = false;  // the balloon of the first hiding to the tray
};

}  // namespace lumesk::ui
