#include "ui/main_window.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/dcclient.h>
#include <wx/listctrl.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/radiobut.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/thread.h>
#include <wx/toolbar.h>
#include <wx/treectrl.h>
#include <wx/utils.h>

#ifdef __WXMSW__
#include <wx/msw/wrapwin.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "ui/add_dialog.h"
#include "ui/images.h"
#include "ui/layout.h"
#include "ui/splitter_bar.h"
#include "ui/tray_icon.h"
#include "ui/wx_text.h"

namespace lumesk::ui {

namespace {

class NodeData : public wxTreeItemData {
  public:
    explicit NodeData(int n) : n(n) {}
    int n;
};

int nodeNumber(const wxTreeCtrl* tree, const wxTreeItemId& item) {
    auto* data = item.IsOk() ? static_cast<NodeData*>(tree->GetItemData(item)) : nullptr;
    return data ? data->n : 0;
}

using model::endpoint;

// Every item of the tree, in its own enumeration order.
void collectItems(const wxTreeCtrl* tree, const wxTreeItemId& parent,
                  std::vector<wxTreeItemId>& out) {
    wxTreeItemIdValue cookie;
    for (wxTreeItemId child = tree->GetFirstChild(parent, cookie); child.IsOk();
         child = tree->GetNextChild(parent, cookie)) {
        out.push_back(child);
        collectItems(tree, child, out);
    }
}

enum ToolId { kToolAdd = wxID_HIGHEST + 1, kToolDelete, kToolStart, kToolStop, kToolExit };
enum MenuId {
    kMenuAdd = wxID_HIGHEST + 50,
    kMenuHideShow,
    kMenuExit,
    kMenuHelp,
    kMenuAbout,
    kMenuContact,
};

// A picture that is a window of its own, so it can lie over a sibling.
class Picture : public wxWindow {
  public:
    Picture(wxWindow* parent, const wxBitmap& picture, const wxPoint& pos, const wxSize& size)
        : wxWindow(parent, wxID_ANY, pos, size, wxBORDER_NONE), picture_(picture) {
        Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
            wxPaintDC dc(this);
            dc.DrawBitmap(picture_, 0, 0, true);
        });
    }

  private:
    wxBitmap picture_;
};

// Windows lets overlapping siblings paint over each other unless told not to;
// then the one higher in the order stays on top.
void clipSiblings([[maybe_unused]] wxWindow* w) {
#ifdef __WXMSW__
    const HWND hwnd = static_cast<HWND>(w->GetHWND());
    ::SetWindowLongPtr(hwnd, GWL_STYLE, ::GetWindowLongPtr(hwnd, GWL_STYLE) | WS_CLIPSIBLINGS);
#endif
}

}  // namespace

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
    fillAddressBoxes();
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
    ctx_.engine.onRunStateChanged = [this](int n) { afterRunStateChange(n); };
    // Runs on a worker; the window is still there (the shell detaches its
    // sink before the window goes) and CallAfter only queues.
    events_.onWake = [this] { CallAfter([this] { drainEngineEvents(); }); };
    timer_.Start(1000);
    refreshStatistics();
}

MainWindow::~MainWindow() {
    closing_->store(true);
    timer_.Stop();
    ctx_.engine.onRunStateChanged = nullptr;
    wxTheApp->Unbind(wxEVT_QUERY_END_SESSION, &MainWindow::onQueryEndSession, this);
    wxTheApp->Unbind(wxEVT_END_SESSION, &MainWindow::onEndSession, this);
    tray_.reset();  // the icon goes with the window
}

// ---- controls ------------------------------------------------------------------

void MainWindow::createControls() {
    toolbar_ = new wxToolBar(this, wxID_ANY, wxPoint(0, 0), wxSize(515, 20),
                             wxTB_HORIZONTAL | wxTB_FLAT | wxTB_TEXT | wxTB_HORZ_LAYOUT);
    toolbar_->SetName(S("工具条1"));
    toolbar_->SetToolBitmapSize(wxSize(12, 12));
    const std::vector<wxBitmap> images = toolbarImages();
    toolbar_->AddTool(kToolAdd, S("添加"), images[0]);
    toolbar_->AddTool(kToolDelete, S("删除"), images[2]);
    toolbar_->AddSeparator();
    // A grouped pair that we keep exclusive ourselves: a radio tool that is
    // already down reports no click, and "启动" on a running mapping must
    // still reach the engine (which logs the start again).
    toolbar_->AddTool(kToolStart, S("启动"), images[3], wxNullBitmap, wxITEM_CHECK);
    toolbar_->AddTool(kToolStop, S("停止"), images[4], wxNullBitmap, wxITEM_CHECK);
    toolbar_->AddSeparator();
    toolbar_->AddTool(kToolExit, S("退出"), images[5]);
    toolbar_->Realize();
    toolbar_->EnableTool(kToolDelete, false);
    showStartStop(false);
    toolbar_->Bind(wxEVT_TOOL, &MainWindow::onTool, this);

    eventLabel_ = new wxStaticText(this, wxID_ANY, "", wxPoint(328, 0), wxSize(80, 24));
    eventLabel_->SetName(S("标签"));
    // It only names the event window and shows nothing; on Windows a static
    // control paints its own background, a grey block across the toolbar.
    eventLabel_->Hide();

    tree_ = new wxTreeCtrl(this, wxID_ANY, wxPoint(0, 24), wxSize(168, 320),
                           wxTR_HIDE_ROOT | wxTR_HAS_BUTTONS | wxTR_LINES_AT_ROOT | wxTR_SINGLE);
    tree_->SetName(S("树型框"));
    tree_->AssignImageList(treeImages());
    tree_->AddRoot("");
    showScrollbars(tree_);
    tree_->Bind(wxEVT_TREE_SEL_CHANGED, &MainWindow::onTreeSelection, this);
    // The banner lies on top of the tree's lower left corner and takes its
    // clicks: a window of its own (a static picture has none on GTK), raised
    // above the tree, which must not paint over it.
    auto* banner = new Picture(this, bannerPicture(), wxPoint(2, 263), wxSize(168, 64));
    banner->SetName(S("图片框3"));
    banner->SetCursor(wxCursor(wxCURSOR_HAND));
    banner->Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent&) { openMakerPage(); });
    banner->Raise();
    clipSiblings(tree_);

    treeSplitter_ = new SplitterBar(this, 1, true, wxPoint(168, 23), wxSize(4, 322));
    treeSplitter_->SetName(S("分隔条1"));
    treeSplitter_->onMoved = [this](int tag, int position) { onSplitterMoved(tag, position); };

    createEditorPanel();
    createMonitorPanel();
    // Before the first selection the editor lies on top and covers the monitor
    // panel; Windows would paint both sibling panels into the shared place.
    monitorPanel_->Hide();

    const int widths[5] = {170, 90, 100, 100, 100};
    const char* servicePanes[5] = {"类型名", "监听数:0", "线程总数:0", "工作线程:0", "空闲线程:0"};
    const char* mappingPanes[5] = {"映射名", "客户数:0", "发送:0B", "接收:0B", "总量:0B"};
    serviceBar_ = new wxStatusBar(this, wxID_ANY, 0);
    // No size grip: the panes' widths add up to more than the window, and a
    // grip would cover the last one's text.
    mappingBar_ = new wxStatusBar(this, wxID_ANY, 0);
    serviceBar_->SetName(S("状态条1"));
    mappingBar_->SetName(S("状态条2"));
    for (auto [bar, texts] : {std::pair{serviceBar_, servicePanes}, {mappingBar_, mappingPanes}}) {
        bar->SetFieldsCount(5, widths);
        for (int i = 0; i < 5; ++i) bar->SetStatusText(S(texts[i]), i);
    }
}

void MainWindow::createEditorPanel() {
    editor_ = new wxPanel(this, wxID_ANY, wxPoint(173, 24), wxSize(380, 320));
    editor_->SetName(S("图片框1"));
    const BuiltForm built = buildForm(editor_, editorForm(), form_, &tags_);
    startButton_ = built.get<wxButton>(FormPart::StartButton);
    for (wxRadioButton* mode : form_.modes) {
        mode->Bind(wxEVT_RADIOBUTTON, &MainWindow::onModeRadioClicked, this);
    }
    // One handler for the five buttons, told apart by tag.
    for (FormPart b : {FormPart::StartButton, FormPart::AddButton, FormPart::DeleteButton,
                       FormPart::SaveButton, FormPart::ResetButton}) {
        built.find(b)->Bind(wxEVT_BUTTON, &MainWindow::onEditorButton, this);
    }
    // Return in the blacklist-IP box adds the address, as in the add dialog.
    pressOnReturn(form_.blacklistIp, built.find(FormPart::AddButton));
}

void MainWindow::createMonitorPanel() {
    monitorPanel_ = new wxPanel(this, wxID_ANY, wxPoint(224, 56), wxSize(163, 239));
    monitorPanel_->SetName(S("图片框2"));
    clientList_ = new wxListCtrl(monitorPanel_, wxID_ANY, wxPoint(-1, 0), wxSize(147, 110),
                                 wxLC_REPORT | wxLC_SINGLE_SEL);
    clientList_->SetName(S("列表框1"));
    tags_[clientList_] = 1;
    clientList_->AssignImageList(clientListImages(), wxIMAGE_LIST_SMALL);
    clientList_->AppendColumn(S("编号"), wxLIST_FORMAT_LEFT, 50);
    clientList_->AppendColumn(S("IP地址"), wxLIST_FORMAT_LEFT, 150);
    clientList_->AppendColumn(S("转到IP"), wxLIST_FORMAT_LEFT, 150);
    monitorSplitter_ = new SplitterBar(monitorPanel_, 2, false, wxPoint(0, 118), wxSize(146, 4));
    monitorSplitter_->SetName(S("分隔条2"));
    monitorSplitter_->onMoved = [this](int tag, int position) { onSplitterMoved(tag, position); };
    messageLog_ = new wxListCtrl(monitorPanel_, wxID_ANY, wxPoint(-1, 128), wxSize(150, 98),
                                 wxLC_REPORT | wxLC_SINGLE_SEL);
    messageLog_->SetName(S("列表框2"));
    tags_[messageLog_] = 2;
    messageLog_->AppendColumn(S("消息文本"), wxLIST_FORMAT_LEFT, 350);
}

void MainWindow::createMenus() {
    auto* menu = new wxMenu;
    menu->Append(kMenuAdd, S("添加"));
    menu->AppendSeparator();
    menu->Append(kMenuHideShow, S("隐藏/显示"));  // has no command
    menu->AppendSeparator();
    menu->Append(kMenuExit, S("退出"));
    auto* help = new wxMenu;
    help->Append(kMenuHelp, S("及时帮助"));
    help->Append(kMenuAbout, S("关于程序"));
    help->AppendSeparator();
    help->Append(kMenuContact, S("联系方式"));
    auto* bar = new wxMenuBar;
    bar->Append(menu, S("菜单"));
    bar->Append(help, S("帮助"));
    SetMenuBar(bar);
    Bind(
        wxEVT_MENU, [this](wxCommandEvent&) { addMapping(); }, kMenuAdd);
    Bind(
        wxEVT_MENU, [this](wxCommandEvent&) { exitByWindow(); }, kMenuExit);
    for (int id : {kMenuHelp, kMenuAbout, kMenuContact}) {
        Bind(
            wxEVT_MENU, [this](wxCommandEvent&) { openMakerPage(); }, id);
    }

    clientMenu_ = std::make_unique<wxMenu>();
    clientMenu_->Append(wxID_ANY, S("查看详情"));
    clientMenu_->AppendSeparator();
    clientMenu_->Append(wxID_ANY, S("发送指令"));
    clientMenu_->AppendSeparator();
    clientMenu_->Append(wxID_ANY, S("断开连接"));
    logMenu_ = std::make_unique<wxMenu>();
    logMenu_->Append(wxID_ANY, S("查看消息"));
    logMenu_->AppendSeparator();
    logMenu_->AppendCheckItem(wxID_ANY, S("自动滚屏"))->Check(true);
    logMenu_->Append(wxID_ANY, S("显示提示"));
    logMenu_->AppendSeparator();
    logMenu_->Append(wxID_ANY, S("删除消息"));
}

void MainWindow::fillAddressBoxes() {
    for (const std::string& ip : ctx_.localAddresses()) {
        form_.listenIp->Append(S(ip));
        form_.forwardIp->Append(S(ip));
    }
}

// ---- layout --------------------------------------------------------------------

namespace {

// The rule's widths are the panes' whole widths, as the native control
// takes them. wxMSW adds each pane's borders and text margin on top, which
// pushed the last panes' values off the window: take that back out.
void setPaneWidths(wxStatusBar* bar, std::array<int, 5> widths) {
    bar->SetStatusWidths(5, widths.data());
    wxRect first, second;
    if (!bar->GetFieldRect(1, first) || !bar->GetFieldRect(2, second)) return;
    const int extra = second.x - first.x - widths[1];
    if (extra <= 0) return;
    for (int& w : widths) w = std::max(1, w - extra);
    bar->SetStatusWidths(5, widths.data());
}

// Room beside a pane's text for its margins.
constexpr int kPaneTextMargin = 8;

}  // namespace

std::array<int, 5> MainWindow::statusPaneNeeds() const {
    const std::array<std::vector<std::string>, 5> longest = longestPaneTexts();
    std::array<int, 5> needs{};
    for (std::size_t i = 0; i < needs.size(); ++i) {
        for (const std::string& text : longest[i]) {
            for (const wxStatusBar* bar : {serviceBar_, mappingBar_}) {
                needs[i] = std::max(needs[i], bar->GetTextExtent(S(text)).x + kPaneTextMargin);
            }
        }
    }
    return needs;
}

wxSize MainWindow::minimumSize() const {
    // The smallest size is an outer one, and frames differ (Windows 10's are
    // thicker than Wine's): it grows by what this frame takes, so that the
    // editor panel at the first tree ratio still holds all of its controls.
    // Where the bars' font is wider than the one the design's 560 pixels had
    // in mind, it grows so the status panes hold their longest counters and
    // sizes beside a listen address on all addresses.
    const wxSize decorations = GetSize() - GetClientSize();
    const Size editor =
        editorClientSize(toolbar_->GetBestSize().y, serviceBar_->GetBestSize().y, kFirstTreeRatio);
    int panes = 0;
    for (const std::string& text : allAddressesPaneTexts()) {
        panes = std::max(panes, mappingBar_->GetTextExtent(S(text)).x + kPaneTextMargin);
    }
    for (std::size_t i = 1; i < paneNeeds_.size(); ++i) panes += paneNeeds_[i];
    return {std::max({kMinWidth, editor.width + decorations.x, panes + decorations.x}),
            std::max(kMinHeight, editor.height + decorations.y)};
}

void MainWindow::layoutMainWindow() {
    if (!serviceBar_) return;
    if (paneNeeds_[1] == 0) paneNeeds_ = statusPaneNeeds();
    // A minimised window has no client area to measure the frame by.
    if (!IsIconized()) {
        const wxSize outer = GetSize();
        const wxSize minimum = minimumSize();
        if (GetMinSize() != minimum) SetMinSize(minimum);
        if (outer.x < minimum.x || outer.y < minimum.y) {
            SetSize(std::max(outer.x, minimum.x), std::max(outer.y, minimum.y));
        }
    }
    const wxSize client = GetClientSize();
    const int statusHeight = serviceBar_->GetBestSize().y;
    const MainLayout l =
        ::lumesk::ui::layoutMainWindow(client.x, client.y, toolbar_->GetBestSize().y, statusHeight,
                                       ratios_[0], ratios_[1], paneNeeds_);
    toolbar_->SetSize(0, 0, client.x, l.toolbar.height);
    auto place = [](wxWindow* w, const Rect& r) { w->SetSize(r.left, r.top, r.width, r.height); };
    place(tree_, l.tree);
    place(treeSplitter_, l.treeSplitter);
    place(editor_, l.panel);
    place(monitorPanel_, l.panel);
    place(clientList_, l.clientList);
    place(monitorSplitter_, l.monitorSplitter);
    place(messageLog_, l.messageLog);
    messageLog_->SetColumnWidth(0, l.messageColumn);
    // The service bar above, the mapping bar lowest.
    serviceBar_->SetSize(0, client.y - 2 * statusHeight, client.x, statusHeight);
    mappingBar_->SetSize(0, client.y - statusHeight, client.x, statusHeight);
    for (wxStatusBar* bar : {serviceBar_, mappingBar_}) setPaneWidths(bar, l.paneWidths);
    // A moved panel keeps the pixels Windows copied along with it, and those
    // of its labels are not always its own: paint everything anew.
    Refresh();
}

void MainWindow::onSplitterMoved(int tag, int position) {
    if (tag == 1) ratios_[0] = splitterRatio(1, position, GetClientSize().x, ratios_[0]);
    if (tag == 2) {
        ratios_[1] = splitterRatio(2, position, monitorPanel_->GetClientSize().y, ratios_[1]);
    }
    layoutMainWindow();
}

// ---- tree and editor -----------------------------------------------------------

void MainWindow::onTreeSelection(wxTreeEvent&) {
    followTreeSelection();
}

void MainWindow::followTreeSelection() {
    wxTreeItemId item = tree_->GetSelection();
    if (item == tree_->GetRootItem()) item = wxTreeItemId();  // hidden: never a node
    selectedImage_ = item.IsOk() ? tree_->GetItemImage(item) : 0;
    currentMapping_ = nodeNumber(tree_, item);
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
    const bool mappingNode = selectedImage_ >= 1 && selectedImage_ <= 3;
    editor_->Show(mappingNode);
    monitorPanel_->Show(!mappingNode);
    if (mappingNode) {
        showMappingInEditor(currentCopy_);
    } else {
        fillClientList(currentCopy_.clients);
    }
}

void MainWindow::selectNode(int n, bool addressNode) {
    const auto [mappingNode, address] = findTreeNodes(n);
    const wxTreeItemId item = addressNode ? address : mappingNode;
    if (item.IsOk()) tree_->SelectItem(item);
}

void MainWindow::showMappingInEditor(const model::MappingRecord& r) {
    form_.name->ChangeValue(S(r.name));
    form_.autostart->SetValue(r.autostart);
    form_.modes[0]->SetValue(r.mode == model::Mode::PortMapping || r.mode == model::Mode::None);
    if (r.mode == model::Mode::HttpProxy) form_.modes[1]->SetValue(true);
    if (r.mode == model::Mode::Socks4Proxy) form_.modes[2]->SetValue(true);
    if (!model::isAnyAddress(r.listen_ip)) {
        for (int i = static_cast<int>(form_.listenIp->GetCount()) - 1; i >= 0; --i) {
            if (form_.listenIp->GetString(static_cast<unsigned>(i)) == S(r.listen_ip)) {
                form_.listenIp->SetSelection(i);
                break;
            }
        }
    } else {
        form_.listenIp->SetSelection(0);
    }
    form_.forwardIp->ChangeValue(S(r.forward_ip));
    form_.listenPort->ChangeValue(std::to_string(r.listen_port));
    form_.forwardPort->ChangeValue(std::to_string(r.forward_port));
    form_.capacity->ChangeValue(std::to_string(r.capacity));
    form_.perIpLimit->ChangeValue(std::to_string(r.per_ip_limit));
    form_.blacklist->DeleteAllItems();
    for (std::size_t i = 0; i < r.blacklist.size(); ++i) {
        if (r.blacklist[i].empty()) continue;
        const long row =
            form_.blacklist->InsertItem(form_.blacklist->GetItemCount(), std::to_string(i + 1));
        form_.blacklist->SetItemData(row, static_cast<long>(i + 1));
        form_.blacklist->SetItem(row, 1, S(r.blacklist[i]));
    }
    form_.setForwardEnabled(form_.modes[0]->GetValue());
    startButton_->SetLabel(S(r.service ? "停止" : "启动"));
    const bool running = r.service != nullptr;
    form_.listenIp->Enable(!running);
    form_.listenPort->Enable(!running);
    form_.modes[0]->Enable(!running);
    form_.modes[1]->Enable(!running);
}

void MainWindow::onModeRadioClicked(wxCommandEvent& event) {
    if (!model::MappingTable::validNumber(currentMapping_)) return;
    form_.setForwardEnabled(tags_[event.GetEventObject()] == 1);
}

void MainWindow::onEditorButton(wxCommandEvent& event) {
    if (!model::MappingTable::validNumber(currentMapping_)) return;
    const int n = currentMapping_;
    switch (tags_[event.GetEventObject()]) {
        case 1:
            if (startButton_->GetLabel() == S("启动")) {
                ctx_.engine.startMapping(n);
            } else {
                ctx_.engine.stopMapping(n);
            }
            break;
        case 2: {
            const std::string ip = U(form_.blacklistIp->GetValue());
            if (editorBlacklistAccepts(form_.blacklistRows(), ip)) form_.appendBlacklistRow(ip);
            break;
        }
        case 3:
            form_.removeBlacklistRow(form_.blacklistIp->GetValue());
            break;
        case 4: {
            const std::string message =
                saveEditor(ctx_.table, n, form_.read(), ctx_.engine.clientTableLock());
            if (!message.empty()) {
                showMessage(S(message), S(kMessageCaption));
            } else {
                const model::MappingRecord& r = ctx_.table.at(n);
                const auto [mappingNode, addressNode] = findTreeNodes(n);
                if (mappingNode.IsOk()) {
                    tree_->SetItemText(mappingNode, S(r.name));
                    tree_->SetItemImage(mappingNode, static_cast<int>(r.mode));
                    tree_->SetItemImage(mappingNode, static_cast<int>(r.mode),
                                        wxTreeItemIcon_Selected);
                }
                if (addressNode.IsOk()) {
                    tree_->SetItemText(addressNode, S(endpoint(r.listen_ip, r.listen_port)));
                }
                // GTK's tree sizes its scroll area anew only when told its
                // layout changed; a new text alone leaves a longer node cut
                // or a scroll bar with nothing to scroll.
                tree_->SetIndent(tree_->GetIndent());
            }
            net::LockHold hold(ctx_.engine.clientTableLock());
            currentCopy_ = model::copyRecord(ctx_.table.at(n));
            break;
        }
        case 5:
            showMappingInEditor(ctx_.table.at(n));
            break;
        default:
            break;
    }
}

// ---- tree nodes ----------------------------------------------------------------

std::pair<wxTreeItemId, wxTreeItemId> MainWindow::findTreeNodes(int n) const {
    std::vector<wxTreeItemId> items;
    collectItems(tree_, tree_->GetRootItem(), items);
    wxTreeItemId mappingNode, addressNode;
    for (const wxTreeItemId& item : items) {
        if (nodeNumber(tree_, item) != n) continue;
        if (tree_->GetItemParent(item) == tree_->GetRootItem()) {
            mappingNode = item;
        } else {
            addressNode = item;
        }
        if (mappingNode.IsOk() && addressNode.IsOk()) break;
    }
    return {mappingNode, addressNode};
}

void MainWindow::insertTreeNodes(int n) {
    if (!model::MappingTable::validNumber(n)) return;
    const model::MappingRecord& r = ctx_.table.at(n);
    const wxTreeItemId node =
        tree_->AppendItem(tree_->GetRootItem(), S(r.name), static_cast<int>(r.mode),
                          static_cast<int>(r.mode), new NodeData(n));
    tree_->AppendItem(node, S(endpoint(r.listen_ip, r.listen_port)), 5, 5, new NodeData(n));
    tree_->Expand(node);
}

void MainWindow::showRunState(int n) {
    const auto [mappingNode, addressNode] = findTreeNodes(n);
    if (!mappingNode.IsOk() || !addressNode.IsOk()) return;
    const int image = ctx_.table.at(n).service ? 4 : 5;
    tree_->SetItemImage(addressNode, image);
    tree_->SetItemImage(addressNode, image, wxTreeItemIcon_Selected);
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
    showMappingInEditor(r);
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
    if (!item.IsOk() || nodeNumber(tree_, item) != n) return;
    const wxTreeItemId root = tree_->GetRootItem();
    const bool addressNode = tree_->GetItemParent(item) != root;
    const wxTreeItemId mappingNode = addressNode ? tree_->GetItemParent(item) : item;
    // The same kind of node of the next mapping (else the one before) takes
    // the selection, so the panel shown stays the same.
    wxTreeItemId next = tree_->GetNextSibling(mappingNode);
    if (!next.IsOk()) next = tree_->GetPrevSibling(mappingNode);
    if (next.IsOk() && addressNode) {
        wxTreeItemIdValue cookie;
        const wxTreeItemId child = tree_->GetFirstChild(next, cookie);
        if (child.IsOk()) next = child;
    }
    ctx_.engine.deleteMapping(n);
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
        selectedImage_ = 0;
        toolbar_->EnableTool(kToolDelete, false);
        showStartStop(false);
        showMappingInEditor(currentCopy_);
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
    if (addedMappingNumber_ > 0) insertTreeNodes(addedMappingNumber_);
}

void MainWindow::exitByWindow() {
    closing_->store(true);
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

// ---- engine events, client list and log ----------------------------------------

int MainWindow::deliver(const mapping::EngineEvent& event) {
    events_.deliver(event);
    // One of this thread's own (a start, a stop) is handled at once, after
    // whatever the workers queued before it.
    if (wxIsMainThread()) drainEngineEvents();
    return 0;
}

void MainWindow::drainEngineEvents() {
    if (closing_->load()) return;
    // A batch at a time, so a long queue never holds up painting and input.
    constexpr std::size_t kBatch = 500;
    mapping::EngineEventQueue::Batch batch = events_.take(kBatch);
    const std::size_t before = monitor_.appended();
    if (batch.dropped > 0) {
        monitor_.appendLog("窗口忙，略去" + std::to_string(batch.dropped) + "条较早的事件");
    }
    for (const mapping::EngineEvent& event : batch.events) {
        monitor_.handleEngineEvent(event, currentMapping_);
    }
    // What the dropped events would have done to the rows, the table knows.
    if (batch.dropped > 0 && model::MappingTable::validNumber(currentMapping_)) {
        net::LockHold hold(ctx_.engine.clientTableLock());
        monitor_.fillClientList(ctx_.table.at(currentMapping_).clients);
    }
    if (!batch.events.empty() || batch.dropped > 0) {
        syncClientRows();
        showNewLogLines(before);
    }
    if (batch.more) CallAfter([this] { drainEngineEvents(); });
}

void MainWindow::appendLog(const std::string& message) {
    const std::size_t before = monitor_.appended();
    monitor_.appendLog(message);
    showNewLogLines(before);
}

void MainWindow::showNewLogLines(std::size_t shownBefore) {
    const auto& log = monitor_.log();
    const std::size_t fresh = std::min(monitor_.appended() - shownBefore, log.size());
    for (std::size_t i = log.size() - fresh; i < log.size(); ++i) {
        const long row = messageLog_->InsertItem(messageLog_->GetItemCount(), S(log[i]));
        if (monitor_.autoScroll) messageLog_->EnsureVisible(row);
        if (row + 1 > static_cast<long>(monitor::kMaxLogRows)) messageLog_->DeleteItem(0);
    }
}

void MainWindow::fillClientList(const model::ClientTable& clients) {
    monitor_.fillClientList(clients);
    syncClientRows();
}

void MainWindow::syncClientRows() {
    const auto& rows = monitor_.clients();
    clientList_->Freeze();
    clientList_->DeleteAllItems();
    for (const monitor::ClientRow& r : rows) {
        const long row =
            clientList_->InsertItem(clientList_->GetItemCount(), std::to_string(r.slot), 0);
        clientList_->SetItem(row, 1, S(r.client));
        clientList_->SetItem(row, 2, S(r.forward));
    }
    clientList_->Thaw();
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
