// The real window under a virtual display: add, start, a client through the
// mapping, the log and the status bars, a refused save; the forms' builder.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/evtloop.h>
#include <wx/filename.h>
#include <wx/listctrl.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/radiobut.h>
#include <wx/statusbr.h>
#include <wx/taskbar.h>
#include <wx/textctrl.h>
#include <wx/toolbar.h>
#include <wx/treectrl.h>
#include <wx/uiaction.h>
#include <wx/utils.h>

#ifdef __WXMSW__
#include <wx/msw/wrapwin.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <sstream>
#include <thread>
#include <tuple>

#include "gui_support.h"
#include "shell/process_state.h"
#include "shell/single_instance.h"
#include "support.h"
#include "ui/form_controls.h"
#include "ui/layout.h"
#include "ui/main_window.h"
#include "ui/tray_icon.h"
#include "ui/wx_text.h"

using namespace lumesk;
using test::click;
using test::named;
using test::programLikeWindow;
using test::pumpUntil;
using test::treeTexts;
using ui::S;
using ui::U;

namespace {

bool logHas(ui::MainWindow& w, const std::string& text) {
    for (const auto& line : w.monitorModel().log()) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

// The screen's pixels where the window is, as a person would see them, into
// the folder the variable `folderVariable` names (none taken without it).
void screenshot(wxWindow* window, const std::string& name,
                const char* folderVariable = "LUMESK_SCREENSHOT") {
    const char* folder = std::getenv(folderVariable);
    if (!folder) return;
    pumpUntil([] { return false; }, 1000);  // the last paints
    const std::string path = std::string(folder) + "/" + name;
    const wxRect r = window->GetScreenRect();
    const std::string geometry = std::to_string(r.width) + "x" + std::to_string(r.height) + "+" +
                                 std::to_string(r.x) + "+" + std::to_string(r.y);
#ifdef __WXMSW__
    // Under Wine there is no shell to run ImageMagick from: the script that
    // runs us takes the picture when asked, while we go on drawing.
    const std::string ready = path + ".ready", done = path + ".done";
    { std::ofstream(ready + ".part") << geometry << "\n"; }
    std::rename((ready + ".part").c_str(), ready.c_str());
    EXPECT_TRUE(pumpUntil([&] { return std::ifstream(done).good(); }, 20000)) << path;
    std::remove(done.c_str());
#else
    const std::string command = "import -window root -crop " + geometry + " +repage '" + path + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
#endif
}

}  // namespace

namespace {

// A window as the program makes it, at the design's size, with a mapping
// target to relay to; its message box and browser replaced to read what
// they were given.
class ProgramWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(state.startServices(10).empty());  // nothing for the log to report
        ui::UiContext context{state.table,
                              state.engine,
                              state.sink,
                              [this](const auto& copy, const auto* listener) {
                                  return state.statistics(copy, listener);
                              },
                              [this] { return addresses; },
                              "about:blank",
                              {},
                              {}};
        window = new ui::MainWindow(std::move(context));
        window->showMessage = [this](const wxString& text, const wxString& caption) {
            shownText = U(text);
            shownCaption = U(caption);
        };
        window->openUrl = [this](const wxString& url) {
            opened.push_back(U(url));
            return true;
        };
        window->Show();
        window->SetSize(560, 420);
        pumpUntil([] { return false; }, 300);
    }
    void TearDown() override {
        if (!window) return;
        window->exitByWindow();
        pumpUntil([] { return false; }, 200);
    }

    // Mapping 1 with the add dialog's defaults, its node selected.
    void addAndSelect() {
        window->onDialogShown = [](wxWindow* dialog) { click(named<wxButton>(dialog, "按钮3")); };
        window->runToolbarCommand(S("添加"));
        ASSERT_EQ(window->addedMappingNumber(), 1);
        window->selectNode(1, false);
        ASSERT_TRUE(pumpUntil([&] { return window->currentMapping() == 1; }));
    }
    // The editor's forward port at the echo target, saved.
    void forwardToTarget() {
        named<wxTextCtrl>(window, "编辑框3")->ChangeValue(std::to_string(target.port()));
        click(named<wxButton>(window, "按钮4"));
    }
    // Started from its address node.
    void start() {
        window->selectNode(1, true);
        window->runToolbarCommand(S("启动"));
        ASSERT_NE(state.table.at(1).service, nullptr) << window->monitorModel().log().back();
    }
    wxTreeItemId addressNode() const {
        wxTreeItemIdValue cookie;
        const auto mappingNode =
            window->tree()->GetFirstChild(window->tree()->GetRootItem(), cookie);
        return window->tree()->GetFirstChild(mappingNode, cookie);
    }

    shell::ProcessState state;
    test::EchoServer target{4, 10};
    std::vector<std::string> addresses{"127.0.0.1"};
    ui::MainWindow* window = nullptr;
    std::string shownText, shownCaption;
    std::vector<std::string> opened;
};

}  // namespace

// One panel at a time, the editor first; nothing hides the toolbar. The
// banner lies over the tree's corner, and a real click on it opens the page.
TEST_F(ProgramWindow, OpensOnTheEditorAndTheBannerOpensTheMakersPage) {
    auto* editor = named<wxWindow>(window, "图片框1");
    auto* monitorPanel = named<wxWindow>(window, "图片框2");
    EXPECT_TRUE(editor->IsShown());
    EXPECT_FALSE(monitorPanel->IsShown());
    EXPECT_EQ(editor->GetRect(), monitorPanel->GetRect());
    EXPECT_FALSE(named<wxWindow>(window, "标签")->IsShown());
    EXPECT_EQ(window->trayIcon().icon().GetWidth(), 128);  // the shell scales it down

    wxUIActionSimulator mouse;
    mouse.MouseMove(named<wxWindow>(window, "图片框3")->GetScreenRect().GetPosition() +
                    wxPoint(84, 32));
    mouse.MouseClick();
    EXPECT_TRUE(pumpUntil([&] { return !opened.empty(); }, 5000));
    EXPECT_EQ(opened, std::vector<std::string>{"about:blank"});
}

// Add with the dialog's defaults: OK is its default button (Return); press
// it as soon as the dialog shows. The mapping and its address are in the tree.
TEST_F(ProgramWindow, AddWithTheDialogsDefaultsPutsTheMappingInTheTree) {
    window->onDialogShown = [](wxWindow* dialog) {
        auto* ok = named<wxButton>(dialog, "按钮3");
        EXPECT_EQ(static_cast<wxTopLevelWindow*>(dialog)->GetDefaultItem(), ok);
        screenshot(dialog, "add-dialog.png");
        click(ok);
    };
    window->runToolbarCommand(S("添加"));
    ASSERT_EQ(window->addedMappingNumber(), 1);
    EXPECT_EQ(treeTexts(window->tree()), (std::vector<std::string>{"测试映射", "0.0.0.0:7000"}));
}

// A name wider than the tree gets a horizontal scroll bar that is drawn
// (it takes its height from the tree's client area), not one that shows
// only under a moving pointer; a short name again takes it away.
TEST_F(ProgramWindow, ALongNameScrollsTheTreeAndAShortOneNoLonger) {
    addAndSelect();
    auto rename = [&](const char* name) {
        named<wxTextCtrl>(window, "编辑框1")->ChangeValue(S(name));
        click(named<wxButton>(window, "按钮4"));
        pumpUntil([] { return false; }, 300);
        return window->tree()->GetClientSize().y;
    };
    const int treeHeight = window->tree()->GetClientSize().y;
    EXPECT_LT(rename("一个名字很长很长很长的映射服务名称"), treeHeight);
    EXPECT_EQ(rename("测试映射"), treeHeight);
    EXPECT_EQ(shownText, "");
}

// Pointed at the echo target through the editor, and saved.
TEST_F(ProgramWindow, TheEditorSavesWhatItHolds) {
    addAndSelect();
    forwardToTarget();
    EXPECT_EQ(shownText, "");
    EXPECT_EQ(state.table.at(1).forward_port, target.port());
}

// A refused save shows its message, in a box without an icon whose button
// reads "确定", and writes nothing.
TEST_F(ProgramWindow, ARefusedSaveSaysWhyAndWritesNothing) {
    addAndSelect();
    forwardToTarget();
    named<wxTextCtrl>(window, "编辑框2")->ChangeValue("abc");
    click(named<wxButton>(window, "按钮4"));
    EXPECT_EQ(shownText, "监听端口填写错误");
    screenshot(window, "editor-panel.png");
    EXPECT_EQ(shownCaption, "信息：");
    {
        const auto box = ui::MainWindow::messageBox(window, S(shownText), S(shownCaption));
        EXPECT_EQ(box->GetEffectiveIcon(), wxICON_NONE);
        EXPECT_EQ(U(box->GetOKLabel()), "确定");
    }
    EXPECT_EQ(state.table.at(1).listen_port, 7000);
    // A capacity that is no number is refused too, not saved as 0.
    named<wxTextCtrl>(window, "编辑框2")->ChangeValue("7000");
    named<wxTextCtrl>(window, "编辑框4")->ChangeValue("abc");
    click(named<wxButton>(window, "按钮4"));
    EXPECT_EQ(shownText, "承载人数填写错误");
    EXPECT_EQ(state.table.at(1).capacity, 10000);
}

// Started from its address node: the monitor panel shows, the log says so,
// the node's picture is the running one and "启动" is down. Two clients
// through the mapping to the echo target get their rows, the status bars
// count them, and at the smallest size every pane shows its whole text; when
// they leave, their rows go and the log says so. Stopped, the address node's
// picture goes back to 5 and "停止" is down.
TEST_F(ProgramWindow, AStartedMappingShowsItsClientsInTheListLogAndStatusBars) {
    addAndSelect();
    forwardToTarget();
    start();
    EXPECT_FALSE(named<wxWindow>(window, "图片框1")->IsShown());
    EXPECT_TRUE(named<wxWindow>(window, "图片框2")->IsShown());
    EXPECT_TRUE(logHas(*window, "[测试映射]映射已启动"));
    EXPECT_EQ(window->tree()->GetItemImage(addressNode()), 4);
    EXPECT_TRUE(window->toolbar()->GetToolState(window->toolbar()->GetToolByPos(3)->GetId()));

    // A client through the mapping to the echo target.
    test::Client client(7000);
    ASSERT_TRUE(client.valid());
    const std::string entered = "客户[127.0.0.1:" + std::to_string(client.localPort()) + "]进入";
    std::vector<unsigned char> data = test::pattern(100000);
    std::atomic<bool> done{false};
    std::thread io([&] {
        EXPECT_TRUE(test::roundTrip(client, data, 4096));
        done = true;
    });
    // This thread is the window's: it must go on handling events (the engine
    // waits for them) until the client is done.
    const bool finished = pumpUntil([&] { return done.load(); });
    if (!finished) client.close();  // unblocks the client thread
    io.join();
    ASSERT_TRUE(finished);
    ASSERT_TRUE(pumpUntil([&] { return logHas(*window, entered); }));
    // The target is filled in by a later event than the row's own.
    ASSERT_TRUE(pumpUntil([&] {
        return window->clientList()->GetItemCount() == 1 &&
               U(window->clientList()->GetItemText(0, 2)) ==
                   "127.0.0.1:" + std::to_string(target.port());
    }));
    EXPECT_EQ(U(window->clientList()->GetItemText(0, 1)),
              "127.0.0.1:" + std::to_string(client.localPort()));
    window->refreshStatistics();
    EXPECT_EQ(U(window->statusBar(2)->GetStatusText(1)), "客户数:1/10000");
    EXPECT_EQ(U(window->statusBar(2)->GetStatusText(2)), "接收:97.66KB");
    EXPECT_EQ(U(window->statusBar(1)->GetStatusText(2)), "线程总数:20");

    // A second client gets its own row.
    test::Client second(7000);
    ASSERT_TRUE(second.valid());
    ASSERT_TRUE(pumpUntil([&] { return window->clientList()->GetItemCount() == 2; }));
    EXPECT_EQ(U(window->clientList()->GetItemText(1, 1)),
              "127.0.0.1:" + std::to_string(second.localPort()));
    // At the smallest size every pane of both bars shows its whole text, and
    // none reaches past the window.
    window->refreshStatistics();
    for (int b : {1, 2}) {
        wxStatusBar* bar = window->statusBar(b);
        for (int i = 0; i < bar->GetFieldsCount(); ++i) {
            wxRect r;
            ASSERT_TRUE(bar->GetFieldRect(i, r));
            SCOPED_TRACE(U(bar->GetStatusText(i)));
            EXPECT_LE(r.GetRight(), bar->GetClientSize().x);
            EXPECT_LE(bar->GetTextExtent(bar->GetStatusText(i)).x, r.width - 4);
        }
    }
    screenshot(window, "main-window.png");

    const std::string leftFirst = "客户[127.0.0.1:" + std::to_string(client.localPort()) + "]离开";
    client.close();
    second.close();
    ASSERT_TRUE(pumpUntil([&] { return window->clientList()->GetItemCount() == 0; }));
    EXPECT_TRUE(logHas(*window, leftFirst));

    window->runToolbarCommand(S("停止"));
    EXPECT_EQ(state.table.at(1).service, nullptr);
    EXPECT_EQ(window->tree()->GetItemImage(addressNode()), 5);
    EXPECT_TRUE(window->toolbar()->GetToolState(window->toolbar()->GetToolByPos(4)->GetId()));
}

// A proxy mapping of each kind, its mode chosen in the add dialog: a client
// asks for the echo target, and its row shows that target.
TEST_F(ProgramWindow, AProxyClientsRowShowsTheTargetItAskedFor) {
    const std::string wanted = "127.0.0.1:" + std::to_string(target.port());
    struct Kind {
        const char* radio;
        int listen;
        std::string request;
        std::size_t answerSize;
        std::string yes;  // how the answer starts when the target is connected
    };
    const Kind kinds[] = {
        {"单选框2", 7010, "CONNECT " + wanted + " HTTP/1.1\r\n\r\n", 39, "HTTP/1.1 200 "},
        {"单选框3", 7011,
         std::string{4, 1, static_cast<char>(target.port() >> 8),
                     static_cast<char>(target.port() & 0xFF), 127, 0, 0, 1, 0},
         8, std::string{0, 90}},
    };
    int n = 0;
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.radio);
        window->onDialogShown = [&](wxWindow* dialog) {
            named<wxTextCtrl>(dialog, "编辑框2")->ChangeValue(std::to_string(kind.listen));
            auto* radio = named<wxRadioButton>(dialog, kind.radio);
            radio->SetValue(true);
            wxCommandEvent ev(wxEVT_RADIOBUTTON, radio->GetId());
            ev.SetEventObject(radio);
            radio->ProcessWindowEvent(ev);
            click(named<wxButton>(dialog, "按钮3"));
        };
        window->runToolbarCommand(S("添加"));
        ASSERT_EQ(window->addedMappingNumber(), ++n);
        EXPECT_EQ(state.table.at(n).mode,
                  n == 1 ? model::Mode::HttpProxy : model::Mode::Socks4Proxy);
        window->selectNode(n, true);
        window->runToolbarCommand(S("启动"));
        ASSERT_NE(state.table.at(n).service, nullptr) << window->monitorModel().log().back();

        test::Client client(static_cast<std::uint16_t>(kind.listen));
        ASSERT_TRUE(client.sendAll(kind.request.data(), kind.request.size()));
        std::string answer(kind.answerSize, '\0');
        std::atomic<bool> answered{false};
        std::thread io([&] { answered = client.recvAll(answer.data(), answer.size()); });
        pumpUntil([&] { return answered.load(); }, 10000);
        if (!answered) client.close();
        io.join();
        ASSERT_TRUE(answered);
        EXPECT_EQ(answer.substr(0, kind.yes.size()), kind.yes) << answer;
        // The row comes when the client enters; its target when it is relayed.
        ASSERT_TRUE(pumpUntil([&] {
            return window->clientList()->GetItemCount() == 1 &&
                   U(window->clientList()->GetItemText(0, 2)) == wanted;
        }));
        EXPECT_EQ(U(window->clientList()->GetItemText(0, 1)),
                  "127.0.0.1:" + std::to_string(client.localPort()));
        if (n == 1) screenshot(window, "proxy-client.png");
        // The relay behind the row carries bytes.
        std::atomic<bool> echoed{false};
        std::thread echo([&] { echoed = test::roundTrip(client, test::pattern(5000), 1000); });
        pumpUntil([&] { return echoed.load(); }, 10000);
        if (!echoed) client.close();
        echo.join();
        EXPECT_TRUE(echoed);
        client.close();
        ASSERT_TRUE(pumpUntil([&] { return window->clientList()->GetItemCount() == 0; }));
    }
}

// The window's log keeps the model's last 1000 lines.
TEST_F(ProgramWindow, TheLogKeepsTheModelsLastThousandLines) {
    for (int i = 0; i < 1005; ++i) window->appendLog("行" + std::to_string(i));
    ASSERT_EQ(window->messageLog()->GetItemCount(), 1000);
    EXPECT_EQ(U(window->messageLog()->GetItemText(0)), window->monitorModel().log().front());
    EXPECT_NE(U(window->messageLog()->GetItemText(0)).find("> 行5"), std::string::npos);
}

// The add dialog reads the local addresses each time it opens; cancelled,
// it adds nothing.
TEST_F(ProgramWindow, TheAddDialogReadsTheAddressesEachTimeAndCancelAddsNothing) {
    addAndSelect();
    addresses.push_back("192.0.2.50");
    bool listed = false;
    window->onDialogShown = [&](wxWindow* dialog) {
        listed = named<wxChoice>(dialog, "组合框1")->FindString("192.0.2.50") != wxNOT_FOUND;
        click(named<wxButton>(dialog, "按钮4"));
    };
    window->runToolbarCommand(S("添加"));
    EXPECT_TRUE(listed);
    EXPECT_EQ(window->addedMappingNumber(), 0);
    EXPECT_EQ(treeTexts(window->tree()).size(), 2u);
}

// Deleting the selected mapping, the only one, leaves no node current.
TEST_F(ProgramWindow, DeletingTheOnlyMappingLeavesNothingCurrent) {
    addAndSelect();
    window->runToolbarCommand(S("删除"));
    pumpUntil([] { return false; }, 300);
    EXPECT_TRUE(treeTexts(window->tree()).empty());
    EXPECT_EQ(window->currentMapping(), 0);
    EXPECT_FALSE(window->toolbar()->GetToolEnabled(window->toolbar()->GetToolByPos(1)->GetId()));
    EXPECT_TRUE(window->toolbar()->GetToolState(window->toolbar()->GetToolByPos(4)->GetId()));
}

// The close box never ends the program. Windows has a notification area
// to come back from, so the window hides; bare Xvfb has none, so the
// window is only minimised there. The tray's way back shows it again.
TEST_F(ProgramWindow, TheCloseBoxNeverEndsTheProgram) {
    wxCloseEvent close(wxEVT_CLOSE_WINDOW, window->GetId());
    close.SetCanVeto(true);
    close.SetEventObject(window);
    window->ProcessWindowEvent(close);
    EXPECT_TRUE(close.GetVeto());
#ifdef __WXMSW__
    EXPECT_TRUE(wxTaskBarIcon::IsAvailable());
    EXPECT_FALSE(window->IsShown());
    window->toggleMainWindow();  // the tray's way back, restored
#else
    EXPECT_FALSE(wxTaskBarIcon::IsAvailable());
#endif
    EXPECT_TRUE(window->IsShown());
    window->toggleMainWindow();
    EXPECT_FALSE(window->IsShown());
    window->toggleMainWindow();
    EXPECT_TRUE(window->IsShown());
}

// Each row becomes one control on the form, in the rows' order (the tab
// order), with the row's text, name, tag and place; fitting to the font only
// moves a field left to widen it, or narrows the list beside the IP box.
TEST(FormBuilder, RowsBecomeTheFormsControlsInOrder) {
    for (const std::span<const ui::FormRow> rows : {ui::addDialogForm(), ui::editorForm()}) {
        auto* frame = new wxFrame(nullptr, wxID_ANY, "");
        ui::applyFormFont(frame);
        ui::FormControls form;
        std::map<const wxObject*, int> tags;
        const ui::BuiltForm built = ui::buildForm(frame, rows, form, &tags);
        ASSERT_EQ(frame->GetChildren().size(), rows.size());
        ASSERT_EQ(built.windows.size(), rows.size());
        std::size_t i = 0;
        for (wxWindow* w : frame->GetChildren()) {
            const ui::FormRow& row = rows[i];
            SCOPED_TRACE(std::string(row.text) + row.name);
            EXPECT_EQ(w, built.windows[i++]);
            EXPECT_EQ(U(w->GetLabel()), row.text);
            if (*row.name) {
                EXPECT_EQ(U(w->GetName()), row.name);
            }
            EXPECT_EQ(tags.count(w) ? tags[w] : 0, row.tag);
            wxRect place(row.place.left, row.place.top, row.place.width, row.place.height);
            if (row.within != ui::FormPart::Form) {
                place.Offset(built.find(row.within)->GetPosition());
            }
            const wxRect r = w->GetRect();
            EXPECT_EQ(r.y, place.y);
            if (w == form.blacklist) {
                EXPECT_EQ(r.x, place.x);
                EXPECT_LE(r.width, place.width);
            } else if (dynamic_cast<wxTextCtrl*>(w) || dynamic_cast<wxRadioButton*>(w)) {
                EXPECT_LE(r.x, place.x);
                EXPECT_GE(r.GetRight(), place.GetRight());
            } else if (!dynamic_cast<wxChoice*>(w) && !dynamic_cast<wxComboBox*>(w)) {
                EXPECT_EQ(r, place);
            }
        }
        // The fields are the rows' controls.
        using P = ui::FormPart;
        const std::pair<wxWindow*, P> fields[] = {
            {form.name, P::Name},
            {form.autostart, P::Autostart},
            {form.modes[0], P::PortMapping},
            {form.modes[1], P::HttpProxy},
            {form.modes[2], P::Socks4},
            {form.listenIp, P::ListenIp},
            {form.listenPort, P::ListenPort},
            {form.forwardIp, P::ForwardIp},
            {form.forwardPort, P::ForwardPort},
            {form.capacity, P::Capacity},
            {form.perIpLimit, P::PerIpLimit},
            {form.blacklist, P::Blacklist},
            {form.blacklistIp, P::BlacklistIp},
        };
        for (const auto& [field, part] : fields) {
            EXPECT_EQ(field, built.find(part)) << static_cast<int>(part);
        }
        // Every mode can be chosen, SOCKS too.
        for (wxRadioButton* mode : form.modes) EXPECT_TRUE(mode->IsEnabled());
        frame->Destroy();
    }
}

namespace {

// What wxWidgets would have put up as a box.
class LogRecorder : public wxLog {
  public:
    std::vector<std::string> lines;

  protected:
    void DoLogRecord(wxLogLevel, const wxString& text, const wxLogRecordInfo&) override {
        lines.push_back(U(text));
    }
};

#ifdef __WXMSW__
BOOL CALLBACK collectWindow(HWND window, LPARAM out) {
    reinterpret_cast<std::vector<HWND>*>(out)->push_back(window);
    return TRUE;
}
#endif

}  // namespace

// The end of a Windows session is never refused, and never hides the window
// on the way; when the session does end, the program ends as "退出软件" ends
// it: the tray icon first, then the process with code 0.
TEST(Window, SessionEndAndQuitRemoveTheIconAndEndWithZero) {
    shell::ProcessState state;
    ui::MainWindow* window = programLikeWindow(state);
    ui::TrayIcon& tray = window->trayIcon();
    std::vector<int> ended;
    bool iconAtEnd = true;
    window->endProcess = [&](int code) {
        ended.push_back(code);
        iconAtEnd = tray.IsIconInstalled();
    };
    ASSERT_TRUE(tray.IsIconInstalled());
#ifdef __WXMSW__
    // Windows asks every top-level window of ours (the tray's hidden one
    // too), each of which hands the question to the application.
    std::vector<HWND> windows;
    ::EnumThreadWindows(::GetCurrentThreadId(), collectWindow, reinterpret_cast<LPARAM>(&windows));
    EXPECT_GE(windows.size(), 2u);
    for (HWND w : windows) {
        DWORD_PTR answer = 0;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_NE(::SendMessageTimeoutW(w, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, &answer),
                  0);
        EXPECT_NE(answer, 0u) << "window " << w;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    }
    EXPECT_TRUE(window->IsShown());
    EXPECT_FALSE(window->IsIconized());
    EXPECT_TRUE(ended.empty());
    // A session that goes on after all ends nothing.
    ::SendMessageW(static_cast<HWND>(window->GetHWND()), WM_ENDSESSION, FALSE, 0);
    EXPECT_TRUE(ended.empty());
    ::SendMessageW(static_cast<HWND>(window->GetHWND()), WM_ENDSESSION, TRUE, 0);
#else
    // GTK tells of no session; these are the events wxMSW sends.
    wxCloseEvent query(wxEVT_QUERY_END_SESSION);
    query.SetEventObject(wxTheApp);
    query.SetCanVeto(true);
    EXPECT_TRUE(wxTheApp->SafelyProcessEvent(query));
    EXPECT_FALSE(query.GetVeto());
    EXPECT_TRUE(window->IsShown());
    EXPECT_FALSE(window->IsIconized());
    EXPECT_TRUE(ended.empty());
    wxCloseEvent end(wxEVT_END_SESSION);
    end.SetEventObject(wxTheApp);
    end.SetCanVeto(false);
    EXPECT_TRUE(wxTheApp->SafelyProcessEvent(end));
#endif
    EXPECT_EQ(ended, std::vector<int>{0});
    EXPECT_FALSE(iconAtEnd);

    // "退出软件" from the tray's menu.
    ended.clear();
    iconAtEnd = true;
    ASSERT_TRUE(tray.SetIcon(tray.icon(), S("Lumesk端口映射工具")));
    ASSERT_TRUE(tray.IsIconInstalled());
    {
        std::unique_ptr<wxMenu> menu(tray.CreatePopupMenu());
        const int quit = menu->FindItem(S("退出软件"));
        ASSERT_NE(quit, wxNOT_FOUND);
        wxCommandEvent pick(wxEVT_MENU, quit);
        pick.SetEventObject(menu.get());
        tray.SafelyProcessEvent(pick);
    }
    EXPECT_EQ(ended, std::vector<int>{0});
    EXPECT_FALSE(iconAtEnd);

    window->exitByWindow();
    pumpUntil([] { return false; }, 200);
}

// The first time the close box hides the window to the tray, a balloon says
// that the program goes on running there; not again. Where there is no tray
// (bare Xvfb) the window is only minimised, and no balloon speaks of a tray.
TEST(Window, FirstHidingToTheTraySaysSoOnce) {
    shell::ProcessState state;
    ui::MainWindow* window = programLikeWindow(state);
    std::vector<std::pair<std::string, std::string>> balloons;
    window->trayIcon().onBalloon = [&](const wxString& title, const wxString& text) {
        balloons.emplace_back(U(title), U(text));
    };
    for (int i = 0; i < 2; ++i) {
        wxCloseEvent close(wxEVT_CLOSE_WINDOW, window->GetId());
        close.SetCanVeto(true);
        close.SetEventObject(window);
        window->ProcessWindowEvent(close);
        EXPECT_TRUE(close.GetVeto());
        EXPECT_EQ(window->IsShown(), !wxTaskBarIcon::IsAvailable());
        window->toggleMainWindow();
        if (!window->IsShown()) window->toggleMainWindow();
    }
    if (wxTaskBarIcon::IsAvailable()) {
        using Balloons = std::vector<std::pair<std::string, std::string>>;
        EXPECT_EQ(balloons,
                  (Balloons{{"Lumesk端口映射工具", "程序仍在运行，双击托盘图标可显示窗口。"}}));
    } else {
        EXPECT_TRUE(balloons.empty());
    }
    window->exitByWindow();
    pumpUntil([] { return false; }, 200);
}

// A second start of the program brings the running window back: hidden (or
// minimised), it is shown and restored. The request comes from another
// thread, as it would from another process.
TEST(Window, SecondStartShowsTheRunningWindow) {
    shell::ProcessState state;
    ui::MainWindow* window = programLikeWindow(state);
    const std::string title = U(window->GetTitle());
    // Beside the tests' own files, not the user's running program's.
    const std::string folder =
        U(wxFileName::GetTempDir()) + "/lumesk-gui-test-" + std::to_string(wxGetProcessId());
    wxFileName::Mkdir(S(folder), wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
    {
        shell::SingleInstance first(title, folder);
        ASSERT_TRUE(first.first());
        first.serve([window] { wxTheApp->CallAfter([window] { window->showFromOutside(); }); });
        for (const bool hide : {true, false}) {
            SCOPED_TRACE(hide ? "hidden" : "minimised");
            if (hide) {
                window->Hide();
            } else {
                window->Iconize(true);
            }
            pumpUntil([] { return false; }, 200);
            shell::SingleInstance second(title, folder);
            EXPECT_FALSE(second.first());
            std::atomic<int> answered{-1};
            const auto start = std::chrono::steady_clock::now();
            std::thread asker(
                [&] { answered = second.askToShow(std::chrono::seconds(5)) ? 1 : 0; });
            EXPECT_TRUE(pumpUntil(
                [&] { return answered.load() >= 0 && window->IsShown() && !window->IsIconized(); },
                8000));
            asker.join();
            EXPECT_EQ(answered.load(), 1);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
            EXPECT_TRUE(window->IsShown());
        }
    }
    wxFileName::Rmdir(S(folder), wxPATH_RMDIR_RECURSIVE);
    window->exitByWindow();
    pumpUntil([] { return false; }, 200);
}

// A help page that cannot be opened puts up no English box of wxWidgets';
// the window says so itself, in Chinese, with the page's address.
TEST(Window, HelpThatCannotOpenSaysSoInChinese) {
    auto* recorder = new LogRecorder;
    wxLog* before = wxLog::SetActiveTarget(recorder);
    const wxString missing = wxFileName::FileNameToURL(
        wxFileName(wxFileName::GetTempDir() + "/lumesk-no-such-folder/help.html"));
    // Left to itself, wxWidgets has its say (the box a person would see).
    EXPECT_FALSE(wxLaunchDefaultBrowser(missing));
    wxLog::FlushActive();
    EXPECT_FALSE(recorder->lines.empty());
    recorder->lines.clear();
    EXPECT_FALSE(ui::MainWindow::launchBrowser(missing));
    EXPECT_FALSE(ui::MainWindow::launchBrowser(""));
    wxLog::FlushActive();
    EXPECT_TRUE(recorder->lines.empty()) << recorder->lines.front();

    shell::ProcessState state;
    ui::MainWindow* window = programLikeWindow(state);
    std::vector<std::pair<std::string, std::string>> shown;
    window->showMessage = [&](const wxString& text, const wxString& caption) {
        shown.emplace_back(U(text), U(caption));
    };
    bool opens = true;
    std::vector<std::string> asked;
    window->openUrl = [&](const wxString& url) {
        asked.push_back(U(url));
        return opens;
    };
    window->openMakerPage();
    EXPECT_TRUE(shown.empty());
    opens = false;
    window->openMakerPage();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].first, "无法打开帮助页面，请在浏览器中打开：\nabout:blank");
    EXPECT_EQ(shown[0].second, "Lumesk端口映射工具");
    EXPECT_EQ(asked, (std::vector<std::string>{"about:blank", "about:blank"}));
    wxLog::FlushActive();
    EXPECT_TRUE(recorder->lines.empty());
    delete wxLog::SetActiveTarget(before);
    window->exitByWindow();
    pumpUntil([] { return false; }, 200);
}

namespace {

// The controls of `parent` all lie within its client area.
void expectHoldsItsControls(wxWindow* parent) {
    const wxSize client = parent->GetClientSize();
    for (const wxWindow* child : parent->GetChildren()) {
        if (child->IsTopLevel()) continue;
        const wxRect r = child->GetRect();
        SCOPED_TRACE(U(child->GetName()) + " " + U(child->GetLabel()));
        EXPECT_GE(r.x, 0);
        EXPECT_GE(r.y, 0);
        EXPECT_LE(r.GetRight() + 1, client.x);
        EXPECT_LE(r.GetBottom() + 1, client.y);
    }
}

// The forms at the window's smallest size, on the frame Windows (or Wine)
// gives them now.
void expectFormsHoldTheirControls(ui::MainWindow* window) {
    window->SetSize(1, 1);  // the layout takes it to the smallest size
    pumpUntil([] { return false; }, 300);
    EXPECT_EQ(window->GetSize(), window->GetMinSize());
    EXPECT_GE(window->GetSize().x, ui::kMinWidth);
    EXPECT_GE(window->GetSize().y, ui::kMinHeight);
    auto* editor = named<wxWindow>(window, "图片框1");
    expectHoldsItsControls(editor);
    const wxRect panel = editor->GetRect();
    EXPECT_LE(panel.GetRight() + 1, window->GetClientSize().x);
    EXPECT_LE(panel.GetBottom(), window->statusBar(1)->GetRect().GetTop());
    bool checked = false;
    window->onDialogShown = [&](wxWindow* dialog) {
        expectHoldsItsControls(dialog);
        checked = true;
        click(named<wxButton>(dialog, "按钮4"));
    };
    window->runToolbarCommand(S("添加"));
    EXPECT_TRUE(checked);
}

#ifdef __WXMSW__
// Makes the frames of windows made from now on as thick as Windows 10 and 11
// draw them (and thicker), for as long as it lives.
class ThickFrames {
  public:
    ThickFrames() {
        saved_.cbSize = sizeof saved_;
        ok_ = ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof saved_, &saved_, 0);
        NONCLIENTMETRICSW thick = saved_;
        thick.iBorderWidth += 8;
        thick.iCaptionHeight += 16;
        thick.iMenuHeight += 8;
        ok_ = ok_ && ::SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof thick, &thick, 0);
    }
    ~ThickFrames() {
        if (ok_) ::SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof saved_, &saved_, 0);
    }
    bool ok() const { return ok_; }

  private:
    NONCLIENTMETRICSW saved_{};
    bool ok_ = false;
};
#endif

}  // namespace

// The design's sizes are outer ones: each form's client area holds every
// control at its place, on this frame and (on Windows) on a much thicker one.
TEST(Window, FormsHoldEveryControlOnAnyFrame) {
    shell::ProcessState state;
    ui::MainWindow* window = programLikeWindow(state);
    expectFormsHoldTheirControls(window);
    const wxSize decorations = window->GetSize() - window->GetClientSize();
    window->exitByWindow();
    pumpUntil([] { return false; }, 200);
#ifdef __WXMSW__
    ThickFrames thick;
    ASSERT_TRUE(thick.ok());
    ui::MainWindow* framed = programLikeWindow(state);
    const wxSize thicker = framed->GetSize() - framed->GetClientSize();
    EXPECT_GT(thicker.x, decorations.x);
    EXPECT_GT(thicker.y, decorations.y);
    expectFormsHoldTheirControls(framed);
    framed->exitByWindow();
    pumpUntil([] { return false; }, 200);
#else
    EXPECT_GE(decorations.y, 0);  // the menu bar, and whatever a manager adds
#endif
}

// Every pane of both status bars holds the longest text it can show: at the
// smallest size panes 1 to 4, and pane 0 a mapping on all addresses at any
// port (longer addresses give way there, whole in the tree); pane 0 holds its
// longest too once the window has room for it. No pane ends past the window.
TEST(Window, StatusPanesHoldTheirLongestTexts) {
    shell::ProcessState state;
    ui::MainWindow* window = programLikeWindow(state);
    const auto longest = ui::longestPaneTexts();
    auto expectWhole = [&](std::size_t firstPane) {
        for (int b : {1, 2}) {
            wxStatusBar* bar = window->statusBar(b);
            for (std::size_t i = 0; i < 5; ++i) {
                const int pane = static_cast<int>(i);
                wxRect r;
                ASSERT_TRUE(bar->GetFieldRect(pane, r));
                EXPECT_LE(r.GetRight(), bar->GetClientSize().x);
                if (i < firstPane) continue;
                for (const std::string& text : longest[i]) {
                    SCOPED_TRACE(text);
                    bar->SetStatusText(S(text), pane);
                    EXPECT_LE(bar->GetTextExtent(bar->GetStatusText(pane)).x, r.width - 4);
                }
            }
        }
    };
    window->SetSize(1, 1);
    pumpUntil([] { return false; }, 300);
    ASSERT_EQ(window->GetSize(), window->GetMinSize());
    expectWhole(1);
    {
        wxStatusBar* bar = window->statusBar(2);
        wxRect r;
        ASSERT_TRUE(bar->GetFieldRect(0, r));
        for (const std::string& text : ui::allAddressesPaneTexts()) {
            bar->SetStatusText(S(text), 0);
            EXPECT_LE(bar->GetTextExtent(S(text)).x, r.width - 4) << text;
        }
    }
    // As wide as every longest text needs, and a little more.
    int needed = 0;
    for (const auto& texts : longest) {
        int widest = 0;
        for (const std::string& text : texts) {
            widest = std::max(widest, window->statusBar(2)->GetTextExtent(S(text)).x + 12);
        }
        needed += widest;
    }
    window->SetSize(needed + window->GetSize().x - window->GetClientSize().x, 500);
    pumpUntil([] { return false; }, 300);
    expectWhole(0);
    window->exitByWindow();
    pumpUntil([] { return false; }, 200);
}

namespace {

// The current mapping, whether the tree's selected node is an address node,
// and the name its mapping node shows.
std::tuple<int, bool, std::string> selectedNode(ui::MainWindow* window) {
    wxTreeCtrl* tree = window->tree();
    const wxTreeItemId item = tree->GetSelection();
    if (!item.IsOk() || item == tree->GetRootItem()) return {window->currentMapping(), false, ""};
    const bool address = tree->GetItemParent(item) != tree->GetRootItem();
    const wxString name = tree->GetItemText(address ? tree->GetItemParent(item) : item);
    return {window->currentMapping(), address, U(name)};
}

// No record runs that is not a named mapping.
void expectNoNamelessListener(const shell::ProcessState& state) {
    for (int n = 1; n <= model::kMappingCount; ++n) {
        const model::MappingRecord& r = state.table.at(n);
        if (r.service) {
            EXPECT_FALSE(r.name.empty()) << "record " << n << " runs";
        }
    }
}

}  // namespace

// Deleting the middle one of three mappings, from its mapping node and from
// its address node: the next mapping's node of the same kind becomes current
// and is shown as it is (running), and every toolbar button then acts on
// what the tree shows; no deleted number stays current, and no blank record
// is ever started.
TEST(Window, DeletingAmongSeveralMappingsFollowsTheSelection) {
    shell::ProcessState state;
    ASSERT_TRUE(state.startServices(10).empty());
    ui::MainWindow* window = programLikeWindow(state);
    wxToolBar* toolbar = window->toolbar();
    auto tool = [toolbar](int pos) { return toolbar->GetToolByPos(pos)->GetId(); };
    auto add = [&](const std::string& name, int port) {
        window->onDialogShown = [&](wxWindow* dialog) {
            named<wxTextCtrl>(dialog, "编辑框1")->ChangeValue(S(name));
            named<wxTextCtrl>(dialog, "编辑框2")->ChangeValue(std::to_string(port));
            click(named<wxButton>(dialog, "按钮3"));
        };
        window->runToolbarCommand(S("添加"));
        return window->addedMappingNumber();
    };
    auto settle = [] { pumpUntil([] { return false; }, 300); };
    // Ports nothing else holds now (other tests may run beside this one).
    auto freePort = [] { return static_cast<int>(test::ClosedPort().port()); };
    for (const bool fromAddress : {false, true}) {
        SCOPED_TRACE(fromAddress ? "address node" : "mapping node");
        const int a = add("甲", freePort()), b = add("乙", freePort()), c = add("丙", freePort());
        ASSERT_TRUE(a > 0 && b > 0 && c > 0);
        window->selectNode(c, false);
        window->runToolbarCommand(S("启动"));
        ASSERT_NE(state.table.at(c).service, nullptr);

        window->selectNode(b, fromAddress);
        settle();
        ASSERT_EQ(window->currentMapping(), b);
        window->runToolbarCommand(S("删除"));
        settle();
        EXPECT_TRUE(state.table.at(b).name.empty());
        EXPECT_EQ(selectedNode(window), std::make_tuple(c, fromAddress, std::string("丙")));
        // Shown as it is: running.
        EXPECT_TRUE(toolbar->GetToolEnabled(tool(1)));
        EXPECT_TRUE(toolbar->GetToolState(tool(3)));
        EXPECT_FALSE(toolbar->GetToolState(tool(4)));
        EXPECT_EQ(named<wxWindow>(window, "图片框1")->IsShown(), !fromAddress);
        EXPECT_EQ(named<wxWindow>(window, "图片框2")->IsShown(), fromAddress);
        EXPECT_EQ(U(named<wxButton>(window, "按钮1")->GetLabel()), "停止");
        EXPECT_EQ(U(named<wxTextCtrl>(window, "编辑框1")->GetValue()), "丙");
        window->refreshStatistics();
        EXPECT_EQ(U(window->statusBar(1)->GetStatusText(0)), "丙");
        EXPECT_EQ(U(window->statusBar(1)->GetStatusText(1)), "监听数:1000");

        // Every button: 添加 (closed at once), 启动 on the running one, 停止.
        window->onDialogShown = [](wxWindow* dialog) { click(named<wxButton>(dialog, "按钮4")); };
        window->runToolbarCommand(S("添加"));
        EXPECT_EQ(window->addedMappingNumber(), 0);
        EXPECT_EQ(window->currentMapping(), c);
        window->runToolbarCommand(S("启动"));
        EXPECT_NE(state.table.at(c).service, nullptr);
        window->runToolbarCommand(S("停止"));
        EXPECT_EQ(state.table.at(c).service, nullptr);
        EXPECT_TRUE(toolbar->GetToolState(tool(4)));
        window->runToolbarCommand(S("启动"));
        EXPECT_NE(state.table.at(c).service, nullptr);
        expectNoNamelessListener(state);

        // 删除 again: the last one goes, the one before it takes over.
        window->runToolbarCommand(S("删除"));
        settle();
        EXPECT_TRUE(state.table.at(c).name.empty());
        EXPECT_EQ(selectedNode(window), std::make_tuple(a, fromAddress, std::string("甲")));
        EXPECT_FALSE(toolbar->GetToolState(tool(3)));
        EXPECT_TRUE(toolbar->GetToolState(tool(4)));
        window->refreshStatistics();
        EXPECT_EQ(U(window->statusBar(1)->GetStatusText(0)), "甲");
        EXPECT_EQ(U(window->statusBar(1)->GetStatusText(1)), "监听数:0");
        window->runToolbarCommand(S("启动"));
        EXPECT_NE(state.table.at(a).service, nullptr) << window->monitorModel().log().back();
        window->runToolbarCommand(S("停止"));
        EXPECT_EQ(state.table.at(a).service, nullptr);

        // And the only one: nothing is current, and the buttons do nothing.
        window->runToolbarCommand(S("删除"));
        settle();
        EXPECT_EQ(window->currentMapping(), 0);
        EXPECT_EQ(selectedNode(window), std::make_tuple(0, false, std::string()));
        EXPECT_FALSE(toolbar->GetToolEnabled(tool(1)));
        EXPECT_TRUE(toolbar->GetToolState(tool(4)));
        for (const char* caption : {"删除", "启动", "停止"}) window->runToolbarCommand(S(caption));
        settle();
        EXPECT_EQ(window->currentMapping(), 0);
        EXPECT_TRUE(treeTexts(window->tree()).empty());
        expectNoNamelessListener(state);
        for (int n = 1; n <= model::kMappingCount; ++n) {
            EXPECT_EQ(state.table.at(n).service, nullptr) << n;
        }
    }
    window->exitByWindow();
    pumpUntil([] { return false; }, 200);
}

namespace {

// Return pressed in `box` as a person presses it.
void pressReturn(wxTextCtrl* box) {
    box->SetFocus();
    pumpUntil([] { return false; }, 100);
    ASSERT_EQ(wxWindow::FindFocus(), box);
    wxUIActionSimulator keys;
    keys.Char(WXK_RETURN);
}

}  // namespace

// Return in the blacklist-IP box adds the address, as the button beside it
// does: in the add dialog (which stays open, OK not pressed) and in the
// editor panel.
TEST(Window, ReturnInTheBlacklistBoxAddsTheAddress) {
    shell::ProcessState state;
    ui::MainWindow* window = programLikeWindow(state);
    std::vector<std::string> listed;
    bool open = false;
    window->onDialogShown = [&](wxWindow* dialog) {
        auto* box = named<wxTextCtrl>(dialog, "编辑框7");
        auto* list = named<wxListCtrl>(dialog, "列表框1");
        for (const char* ip : {"10.0.0.7", "10.0.0.8", "10.0.0.7"}) {
            box->ChangeValue(ip);
            pressReturn(box);
            pumpUntil([&] { return list->GetItemCount() == 2; }, 1000);
        }
        for (long i = 0; i < list->GetItemCount(); ++i)
            listed.push_back(U(list->GetItemText(i, 1)));
        open = dialog->IsShown();
        click(named<wxButton>(dialog, "按钮4"));
    };
    window->runToolbarCommand(S("添加"));
    EXPECT_TRUE(open);
    EXPECT_EQ(listed, (std::vector<std::string>{"10.0.0.7", "10.0.0.8"}));
    EXPECT_EQ(window->addedMappingNumber(), 0);
    EXPECT_TRUE(treeTexts(window->tree()).empty());

    // The editor's box, with the editor's own rule (a malformed address is not taken).
    window->onDialogShown = [](wxWindow* dialog) { click(named<wxButton>(dialog, "按钮3")); };
    window->runToolbarCommand(S("添加"));
    ASSERT_EQ(window->addedMappingNumber(), 1);
    window->selectNode(1, false);
    ASSERT_TRUE(pumpUntil([&] { return window->currentMapping() == 1; }));
    auto* box = named<wxTextCtrl>(window, "编辑框7");
    auto* list = named<wxListCtrl>(window, "列表框3");
    box->ChangeValue("not an address");
    pressReturn(box);
    pumpUntil([] { return false; }, 300);
    EXPECT_EQ(list->GetItemCount(), 0);
    box->ChangeValue("10.0.0.9");
    pressReturn(box);
    ASSERT_TRUE(pumpUntil([&] { return list->GetItemCount() == 1; }, 3000));
    EXPECT_EQ(U(list->GetItemText(0, 1)), "10.0.0.9");
    window->exitByWindow();
    pumpUntil([] { return false; }, 200);
}

namespace {

// Every control of `window` and below, a line each: class, name, label,
// place and size, shown; the tree's nodes with their pictures and the status
// panes with their places and texts. Into the folder LUMESK_DUMP names (none
// written without it), so two builds' windows can be compared line by line.
std::vector<std::string> describeControls(wxWindow* window) {
    std::vector<std::string> lines;
    std::function<void(wxWindow*, int)> describe = [&](wxWindow* w, int depth) {
        const wxRect r = w->GetRect();
        std::ostringstream line;
        line << std::string(static_cast<std::size_t>(depth) * 2, ' ')
             << U(w->GetClassInfo()->GetClassName()) << " '" << U(w->GetName()) << "' '"
             << U(w->GetLabel()) << "' " << r.x << "," << r.y << " " << r.width << "x" << r.height
             << (w->IsShown() ? "" : " hidden") << (w->IsEnabled() ? "" : " disabled");
        // What a field holds: a text, a check, a chosen item.
        if (auto* text = dynamic_cast<wxTextEntry*>(w))
            line << " = '" << U(text->GetValue()) << "'";
        if (auto* check = dynamic_cast<wxCheckBox*>(w)) line << " = " << check->GetValue();
        if (auto* radio = dynamic_cast<wxRadioButton*>(w)) line << " = " << radio->GetValue();
        if (auto* choice = dynamic_cast<wxChoice*>(w)) {
            line << " = " << choice->GetSelection() << " of " << choice->GetCount();
        }
        lines.push_back(line.str());
        const std::string inner(static_cast<std::size_t>(depth + 1) * 2, ' ');
        if (auto* tree = dynamic_cast<wxTreeCtrl*>(w)) {
            std::function<void(const wxTreeItemId&, int)> nodes = [&](const wxTreeItemId& parent,
                                                                      int level) {
                wxTreeItemIdValue cookie;
                for (auto item = tree->GetFirstChild(parent, cookie); item.IsOk();
                     item = tree->GetNextChild(parent, cookie)) {
                    lines.push_back(inner + std::string(static_cast<std::size_t>(level) * 2, ' ') +
                                    "node '" + U(tree->GetItemText(item)) + "' image " +
                                    std::to_string(tree->GetItemImage(item)) +
                                    (tree->IsSelected(item) ? " selected" : ""));
                    nodes(item, level + 1);
                }
            };
            nodes(tree->GetRootItem(), 0);
        }
        if (auto* bar = dynamic_cast<wxStatusBar*>(w)) {
            for (int i = 0; i < bar->GetFieldsCount(); ++i) {
                wxRect field;
                bar->GetFieldRect(i, field);
                lines.push_back(inner + "pane " + std::to_string(field.x) + " " +
                                std::to_string(field.width) + " '" + U(bar->GetStatusText(i)) +
                                "'");
            }
        }
        if (auto* list = dynamic_cast<wxListCtrl*>(w)) {
            for (int c = 0; c < list->GetColumnCount(); ++c) {
                wxListItem column;
                column.SetMask(wxLIST_MASK_TEXT | wxLIST_MASK_WIDTH);
                list->GetColumn(c, column);
                lines.push_back(inner + "column '" + U(column.GetText()) + "' " +
                                std::to_string(list->GetColumnWidth(c)));
            }
            for (long row = 0; row < list->GetItemCount(); ++row) {
                std::string cells = inner + "row";
                for (int c = 0; c < list->GetColumnCount(); ++c) {
                    cells += " '" + U(list->GetItemText(row, c)) + "'";
                }
                lines.push_back(cells + " data " + std::to_string(list->GetItemData(row)));
            }
        }
        for (wxWindow* child : w->GetChildren()) {
            if (!child->IsTopLevel()) describe(child, depth + 1);
        }
    };
    describe(window, 0);
    return lines;
}

void dumpControls(const std::vector<std::string>& lines, const std::string& name) {
    const char* folder = std::getenv("LUMESK_DUMP");
    if (!folder) return;
    std::ofstream out(std::string(folder) + "/" + name);
    for (const std::string& line : lines) out << line << "\n";
    EXPECT_TRUE(out.good()) << name;
}

// The lines of `lines` that describe a control made by `row`: its class's
// line holds the row's name and label.
std::size_t linesOfRow(const std::vector<std::string>& lines, const ui::FormRow& row) {
    const std::string named = std::string(" '") + row.name + "' '" + row.text + "' ";
    const std::string unnamed = std::string("' '") + row.text + "' ";
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(*row.name ? named : unnamed) != std::string::npos;
        }));
}

}  // namespace

// The main window (empty, on a mapping node, on an address node) and the add
// dialog hold a control for every row of their form's table, each described
// with its class, label, place and size. With LUMESK_DUMP the descriptions
// and pictures are written there, the same moments in every run, to compare
// the window of one build with another's.
TEST(Window, EveryControlOfTheFormsIsThereAndDescribed) {
    shell::ProcessState state;
    ui::MainWindow* window = programLikeWindow(state);
    window->SetSize(560, 420);
    pumpUntil([] { return false; }, 300);
    window->refreshStatistics();
    auto expectEveryRow = [](const std::vector<std::string>& lines,
                             std::span<const ui::FormRow> rows) {
        for (const ui::FormRow& row : rows) {
            EXPECT_GE(linesOfRow(lines, row), 1u) << row.name << " " << row.text;
        }
    };
    const std::vector<std::string> empty = describeControls(window);
    expectEveryRow(empty, ui::editorForm());
    dumpControls(empty, "main-empty.txt");
    screenshot(window, "main-empty.png", "LUMESK_DUMP");

    bool described = false;
    window->onDialogShown = [&](wxWindow* dialog) {
        const std::vector<std::string> lines = describeControls(dialog);
        EXPECT_EQ(dialog->GetChildren().size(), ui::addDialogForm().size());
        expectEveryRow(lines, ui::addDialogForm());
        dumpControls(lines, "add-dialog.txt");
        screenshot(dialog, "add-dialog.png", "LUMESK_DUMP");
        // Another name and mode (the forward fields go grey), then "重置":
        // the dialog is as it was.
        named<wxTextCtrl>(dialog, "编辑框1")->ChangeValue("别的名字");
        auto* http = named<wxRadioButton>(dialog, "单选框2");
        http->SetValue(true);
        wxCommandEvent picked(wxEVT_RADIOBUTTON, http->GetId());
        picked.SetEventObject(http);
        http->ProcessWindowEvent(picked);
        EXPECT_FALSE(named<wxWindow>(dialog, "组合框2")->IsEnabled());
        click(named<wxButton>(dialog, "按钮5"));
        EXPECT_EQ(describeControls(dialog), lines);
        // One blacklist entry, for the editor to show.
        named<wxTextCtrl>(dialog, "编辑框7")->ChangeValue("10.0.0.1");
        click(named<wxButton>(dialog, "按钮1"));
        described = true;
        click(named<wxButton>(dialog, "按钮3"));
    };
    window->runToolbarCommand(S("添加"));
    EXPECT_TRUE(described);
    ASSERT_EQ(window->addedMappingNumber(), 1);

    for (const bool addressNode : {false, true}) {
        window->selectNode(1, addressNode);
        pumpUntil([] { return false; }, 300);
        window->refreshStatistics();  // not left to the timer
        const std::vector<std::string> lines = describeControls(window);
        EXPECT_EQ(lines.size(), empty.size() + 3);  // the two nodes, the blacklist's row
        expectEveryRow(lines, ui::editorForm());
        const std::string name = addressNode ? "main-monitor" : "main-editor";
        dumpControls(lines, name + ".txt");
        screenshot(window, name + ".png", "LUMESK_DUMP");
    }
    window->exitByWindow();
    pumpUntil([] { return false; }, 200);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Windows made as the program makes them keep their mappings: in a
    // folder of the run's own, never the user's settings.
    std::string settings;
    try {
        settings = test::freshFolder("lumesk-gui-settings");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "no settings folder for the run: %s\n", e.what());
        return 1;
    }
#ifdef _WIN32
    ::SetEnvironmentVariableW(L"LUMESK_CONFIG_DIR", S(settings).wc_str());
#else
    ::setenv("LUMESK_CONFIG_DIR", settings.c_str(), 1);
#endif
    wxApp::SetInstance(new wxApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) return 1;
    wxInitAllImageHandlers();
    // An active loop for the tests' pumping: without one, a yield on Windows
    // dispatches no window message at all, so nothing would be painted.
    wxGUIEventLoop loop;
    wxEventLoopActivator activate(&loop);
    const int result = RUN_ALL_TESTS();
    std::fflush(nullptr);
    std::_Exit(result);  // workers still run; the process end closes everything
}
