#include "ui/main_window.h"

#include <wx/app.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/statusbr.h>
#include <wx/thread.h>
#include <wx/toolbar.h>
#include <wx/utils.h>

#ifdef __WXMSW__
#include <wx/msw/wrapwin.h>
#endif

#include <cstdio>
#include <cstdlib>

#include "ui/add_dialog.h"
#include "ui/editor_panel.h"
#include "ui/images.h"
#include "ui/layout.h"
#include "ui/tray_icon.h"
#include "ui/wx_text.h"

namespace lumesk::ui {

MainWindow::MainWindow(UiContext context)
    : wxFrame(nullptr, wxID_ANY, S("Lumesk端口映射工具"), wxPoint(50, 50), wxSize(559, 418)),
      ctx_(std::move(context)),
      timer_(this) {
    SetName(S("主窗口"));
    applyCompactStyle();
    applyFormFont(this);
    SetIcons(appIcons());
    SetMinSize(wxSize(kMinWidth, kMinHeight));  // grown to the frame by the layout
    showMessage = [this](const wxString& text, const wxString& caption) {
        messageBox(this, text, caption)->ShowModal();
    };
    openUrl = &MainWindow::launchBrowser;
    endProcess = [](int code) { std::_Exit(code); };
    createControls();
    createMenus();
    // The creation handler's part that belongs to the window.
    editor_->addAddresses(ctx_.localAddresses());
    for (int n : ctx_.mappingOrder) {
        if (model::MappingTable::validNumber(n) && !ctx_.table.at(n).name.empty()) {
            tree_->append(n, ctx_.table.at(n));
        }
    }
    ratios_[0] = kFirstTreeRatio;
    ratios_[1] = 0.5f;
    tray_ = std::make_unique<TrayIcon>(*this);
    Bind(wxEVT_SIZE, [this](wxSizeEvent& e) {
        layoutMainWindow();
        e.Skip();
    });
    Bind(wxEVT_CLOSE_WINDOW, &MainWindow::onClose, this);
    // wxMSW asks the application about the end of a session from every
    // top-level window of ours (the tray's hidden one too); by default it
    // closes this window, whose close box hides it and refuses.
    wxTheApp->Bind(wxEVT_QUERY_END_SESSION, &MainWindow::onQueryEndSession, this);
    wxTheApp->Bind(wxEVT_END_SESSION, &MainWindow::onEndSession, this);
#ifdef __WXMSW__
    showRequest_ = ::RegisterWindowMessageW((GetTitle() + ".show").wc_str());
    // Let a second start that runs with fewer rights (the first one elevated) ask too.
    ::ChangeWindowMessageFilterEx(GetHWND(), showRequest_, MSGFLT_ALLOW, nullptr);
#endif
    Bind(wxEVT_TIMER, [this](wxTimerEvent&) { refreshStatistics(); });
    ctx_.events.attach(*this);
    timer_.Start(1000);
    refreshStatistics();
}

MainWindow::~MainWindow() {
    ctx_.events.detach();
    timer_.Stop();
    wxTheApp->Unbind(wxEVT_QUERY_END_SESSION, &MainWindow::onQueryEndSession, this);
    wxTheApp->Unbind(wxEVT_END_SESSION, &MainWindow::onEndSession, this);
    tray_.reset();  // the icon goes with the window
}

// ---- tree and editor -----------------------------------------------------------

void MainWindow::onTreeSelection(wxTreeEvent&) {
    followTreeSelection();
}

void MainWindow::followTreeSelection() {
    wxTreeItemId item = tree_->GetSelection();
    if (item == tree_->GetRootItem()) item = wxTreeItemId();  // hidden: never a node
    currentMapping_ = tree_->numberOf(item);
    const bool deleteOn = toolbar_->GetToolEnabled(kToolDelete);
    if (!deleteOn && item.IsOk()) toolbar_->EnableTool(kToolDelete, true);
    if (deleteOn && !item.IsOk()) toolbar_->EnableTool(kToolDelete, false);
    if (!model::MappingTable::validNumber(currentMapping_)) return;
    updateStartStopButtons(currentMapping_);
    {
        net::LockHold hold(ctx_.engine.clientTableLock());
        currentCopy_ = model::copyRecord(ctx_.table.at(currentMapping_));
    }
    currentService_ = currentCopy_.service;
    const bool mappingNode = tree_->kindOf(item) == NodeKind::Mapping;
    editor_->Show(mappingNode);
    monitorPanel_->Show(!mappingNode);
    if (mappingNode) {
        editor_->show(currentCopy_);
    } else {
        monitorPanel_->fillClientList(currentCopy_.clients);
    }
}

void MainWindow::selectNode(int n, bool addressNode) {
    tree_->select(n, addressNode ? NodeKind::Address : NodeKind::Mapping);
}

void MainWindow::saveCurrentMapping() {
    const int n = currentMapping_;
    const std::string message =
        saveEditor(ctx_.table, n, editor_->read(), ctx_.engine.clientTableLock());
    if (!message.empty()) {
        showMessage(S(message), S(kMessageCaption));
    } else {
        tree_->showSaved(n, ctx_.table.at(n));
        keepTable();
    }
    net::LockHold hold(ctx_.engine.clientTableLock());
    currentCopy_ = model::copyRecord(ctx_.table.at(n));
}

void MainWindow::showRunState(int n) {
    tree_->showRunState(n, ctx_.table.at(n).service != nullptr);
}

void MainWindow::afterRunStateChange(int n) {
    if (!model::MappingTable::validNumber(n)) return;
    const model::MappingRecord& r = ctx_.table.at(n);
    currentService_ = r.service;
    {
        net::LockHold hold(ctx_.engine.clientTableLock());
        currentCopy_ = model::copyRecord(r);
    }
    updateStartStopButtons(n);
    editor_->show(r);
    showRunState(n);
}

void MainWindow::updateStartStopButtons(int n) {
    const bool running = ctx_.table.at(n).service != nullptr;
    if (findToolbarButton(S("启动")) < 0 || findToolbarButton(S("停止")) < 0) return;
    showStartStop(running);
}

int MainWindow::findToolbarButton(const wxString& caption) const {
    if (caption.empty()) return -1;
    for (size_t i = 0; i < toolbar_->GetToolsCount(); ++i) {
        if (toolbar_->GetToolByPos(static_cast<int>(i))->GetLabel() == caption) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// ---- commands ------------------------------------------------------------------

void MainWindow::onTool(wxCommandEvent& event) {
    const wxToolBarToolBase* tool = toolbar_->FindById(event.GetId());
    if (tool) runToolbarCommand(tool->GetLabel());
    // A click flips a check tool by itself: the pair shows the state again.
    if (!IsBeingDeleted() && (event.GetId() == kToolStart || event.GetId() == kToolStop)) {
        const bool valid = model::MappingTable::validNumber(currentMapping_);
        showStartStop(valid && ctx_.table.at(currentMapping_).service != nullptr);
    }
}

void MainWindow::showStartStop(bool running) {
    toolbar_->ToggleTool(kToolStart, running);
    toolbar_->ToggleTool(kToolStop, !running);
}

void MainWindow::runToolbarCommand(const wxString& caption) {
    if (caption == S("添加")) {
        addMapping();
        return;
    }
    const int n = currentMapping_;
    if (!model::MappingTable::validNumber(n)) return;
    if (caption == S("删除")) {
        deleteCurrentMapping();
    } else if (caption == S("启动")) {
        // A free record would listen, nameless, on any port of all addresses.
        if (!ctx_.table.at(n).name.empty()) ctx_.engine.startMapping(n);
    } else if (caption == S("停止")) {
        ctx_.engine.stopMapping(n);
    } else if (caption == S("退出")) {
        exitByWindow();
    }
}

void MainWindow::deleteCurrentMapping() {
    const int n = currentMapping_;
    const wxTreeItemId item = tree_->GetSelection();
    if (!item.IsOk() || tree_->numberOf(item) != n) return;
    const wxTreeItemId mappingNode = tree_->mappingNodeOf(item);
    // The same kind of node of the next mapping (else the one before) takes
    // the selection, so the panel shown stays the same.
    const wxTreeItemId next = tree_->neighbourOf(item);
    ctx_.engine.deleteMapping(n);
    keepTable();
    // Nothing refers to the deleted number from here on (a stop inside the
    // delete has just made it current), whatever the tree reports next.
    currentMapping_ = 0;
    currentService_ = nullptr;
    currentCopy_ = model::MappingRecord{};
    // Windows announces no new selection when the node that goes only holds
    // the selected one, nor when a selection is set where it already is:
    // select the neighbour, then follow the tree's real selection ourselves.
    tree_->Delete(mappingNode);
    if (next.IsOk()) tree_->SelectItem(next);
    followTreeSelection();
    if (!model::MappingTable::validNumber(currentMapping_)) {
        // None left: nothing current, as before the first selection.
        currentMapping_ = 0;
        toolbar_->EnableTool(kToolDelete, false);
        showStartStop(false);
        editor_->show(currentCopy_);
    }
}

void MainWindow::addMapping() {
    addedMappingNumber_ = 0;
    AddDialog dialog(this, ctx_.table, ctx_.localAddresses());
    if (onDialogShown) {
        CallAfter([this, &dialog] { onDialogShown(&dialog); });
    }
    dialog.ShowModal();
    addedMappingNumber_ = dialog.addedMappingNumber();
    if (addedMappingNumber_ > 0) {
        tree_->append(addedMappingNumber_, ctx_.table.at(addedMappingNumber_));
        keepTable();
    }
}

void MainWindow::keepTable() {
    if (!ctx_.tableChanged) return;
    const std::string message = ctx_.tableChanged(tree_->order());
    if (!message.empty()) appendLog(message);
}

void MainWindow::exitByWindow() {
    // Nothing of the engine's reaches the window from here on.
    ctx_.events.detach();
    if (onClosing) onClosing();
    Destroy();
}

void MainWindow::exitProcess() {
    // Otherwise the shell keeps a dead icon until the pointer passes over it.
    tray_->RemoveIcon();
    std::fflush(nullptr);
    endProcess(0);
}

void MainWindow::showFromOutside() {
    if (!IsShown()) {
        toggleMainWindow();  // as from the tray: shown, restored and centred
    } else if (IsIconized()) {
        Restore();
    }
    Raise();
}

void MainWindow::toggleMainWindow() {
    if (IsShown()) {
        Hide();
        return;
    }
    Show();
    if (IsIconized() || IsMaximized()) Restore();
    const wxSize screen = wxGetDisplaySize();
    const wxSize size = GetSize();
    Move((screen.x - size.x) / 2, (screen.y - size.y) / 2);
}

std::unique_ptr<wxMessageDialog> MainWindow::messageBox(wxWindow* parent, const wxString& text,
                                                        const wxString& caption) {
    auto box = std::make_unique<wxMessageDialog>(parent, text, caption, wxOK | wxICON_NONE);
    box->SetOKLabel(S("确定"));
    return box;
}

bool MainWindow::launchBrowser(const wxString& url) {
    wxLogNull quiet;  // the caller says it in our own words
    return !url.empty() && wxLaunchDefaultBrowser(url);
}

void MainWindow::openMakerPage() {
    const wxString url = S(ctx_.makerPage);
    if (!openUrl(url)) {
        showMessage(S("无法打开帮助页面，请在浏览器中打开：\n") + url, S("Lumesk端口映射工具"));
    }
}

void MainWindow::onClose(wxCloseEvent& event) {
    if (!event.CanVeto()) {
        event.Skip();
        return;
    }
    event.Veto();
    Iconize(true);
    // Without a tray to bring it back, a hidden window would be lost: only minimise.
    if (!TrayIcon::IsAvailable()) return;
    Hide();
    // The first time only: the window went, the program did not.
    if (!toldStillRunning_) {
        toldStillRunning_ = true;
        tray_->balloon(S("Lumesk端口映射工具"), S("程序仍在运行，双击托盘图标可显示窗口。"));
    }
}

void MainWindow::onQueryEndSession(wxCloseEvent&) {
    // Not skipped, not vetoed: yes to Windows, and the window stays as it is.
}

void MainWindow::onEndSession(wxCloseEvent&) {
    exitProcess();
}

#ifdef __WXMSW__
WXLRESULT MainWindow::MSWWindowProc(WXUINT message, WXWPARAM wParam, WXLPARAM lParam) {
    if (showRequest_ != 0 && message == showRequest_) {
        showFromOutside();
        return 1;
    }
    return wxFrame::MSWWindowProc(message, wParam, lParam);
}
#endif

bool MainWindow::onWindowThread() const {
    return wxIsMainThread();
}

void MainWindow::refreshStatistics() {
    blink_ = !blink_;
    const monitor::StatisticsPanes panes =
        monitor::statisticsTexts(ctx_.statistics(currentCopy_, currentService_), blink_);
    for (int i = 0; i < 5; ++i) {
        serviceBar_->SetStatusText(S(panes.service[static_cast<std::size_t>(i)]), i);
        mappingBar_->SetStatusText(S(panes.mapping[static_cast<std::size_t>(i)]), i);
    }
}

}  // namespace lumesk::ui
