// The main window's controls, menus and layout.
#include <wx/dcclient.h>
#include <wx/menu.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/toolbar.h>

#ifdef __WXMSW__
#include <wx/msw/wrapwin.h>
#endif

#include "ui/editor_panel.h"
#include "ui/images.h"
#include "ui/layout.h"
#include "ui/main_window.h"
#include "ui/splitter_bar.h"
#include "ui/wx_text.h"

namespace lumesk::ui {

namespace {

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

    tree_ = new MappingTree(this);
    tree_->Bind(wxEVT_TREE_SEL_CHANGED, &MainWindow::onTreeSelection, this);
    // The banner lies on top of the tree's lower left corner and takes its
    // clicks: a window of its own (a static picture has none on GTK), raised
    // above the tree, which must not paint over it.
    // Below the banner's top the tree's column is a plain area in its colour.
    treeFoot_ = new wxWindow(this, wxID_ANY);
    treeFoot_->SetName(S("树下"));
    treeFoot_->SetBackgroundColour(tree_->GetBackgroundColour());
    auto* banner = new Picture(this, bannerPicture(), wxPoint(kBanner.left, kBanner.top),
                               wxSize(kBanner.width, kBanner.height));
    banner->SetName(S("图片框3"));
    banner->SetCursor(wxCursor(wxCURSOR_HAND));
    banner->Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent&) { openMakerPage(); });
    banner->Raise();
    clipSiblings(tree_);
    clipSiblings(treeFoot_);  // else on Windows it paints over the banner

    treeSplitter_ = new SplitterBar(this, 1, true, wxPoint(168, 23), wxSize(4, 322));
    treeSplitter_->SetName(S("分隔条1"));
    treeSplitter_->onMoved = [this](int tag, int position) { onSplitterMoved(tag, position); };

    editor_ = new EditorPanel(this);
    editor_->hasMapping = [this] { return model::MappingTable::validNumber(currentMapping_); };
    editor_->onStartStop = [this](bool start) {
        if (start) {
            ctx_.engine.startMapping(currentMapping_);
        } else {
            ctx_.engine.stopMapping(currentMapping_);
        }
    };
    editor_->onSave = [this] { saveCurrentMapping(); };
    editor_->onReset = [this] { editor_->show(ctx_.table.at(currentMapping_)); };
    monitorPanel_ = new MonitorPanel(this, ctx_.table, ctx_.engine.clientTableLock());
    monitorPanel_->splitter()->onMoved = [this](int tag, int position) {
        onSplitterMoved(tag, position);
    };
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
    place(treeFoot_, l.treeFoot);
    treeFoot_->Show(l.treeFoot.height > 0);
    place(treeSplitter_, l.treeSplitter);
    place(editor_, l.panel);
    place(monitorPanel_, l.panel);
    monitorPanel_->place(l);
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

}  // namespace lumesk::ui
