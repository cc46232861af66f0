// The engine never waits for the window: while the window's thread sits in a
// modal loop (a native message box, the add dialog), new clients are relayed
// and an existing one keeps relaying; once the loop ends the window shows
// every client's entered and left, in order.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/evtloop.h>
#include <wx/listctrl.h>
#include <wx/msgdlg.h>
#include <wx/textctrl.h>
#include <wx/uiaction.h>

#ifdef __WXMSW__
#include <wx/msw/wrapwin.h>
#else
#include <gtk/gtk.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "gui_support.h"
#include "shell/process_state.h"
#include "support.h"
#include "ui/main_window.h"
#include "ui/wx_text.h"

using namespace lumesk;
using namespace lumesk::test;
using ui::S;

namespace {

#ifndef __WXMSW__
// Runs `f` on the window's thread even inside a native modal loop: GLib's
// own idle sources run in every nested loop, wxWidgets' queued calls not.
void onUiThreadEvenInModalLoop(std::function<void()> f) {
    g_idle_add(
        [](gpointer p) -> gboolean {
            auto* job = static_cast<std::function<void()>*>(p);
            (*job)();
            delete job;
            return G_SOURCE_REMOVE;
        },
        new std::function<void()>(std::move(f)));
}
#endif

// Presses OK of the box captioned `caption` from another thread, as a person
// would; `box` is the box's object while it is up.
void pressOkFromOutside(const std::atomic<wxMessageDialog*>& box) {
#ifdef __WXMSW__
    (void)box;
    for (int i = 0; i < 500; ++i) {
        if (const HWND hwnd = ::FindWindowW(nullptr, L"信息：")) {
            ::PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
#else
    onUiThreadEvenInModalLoop([&box] {
        if (wxMessageDialog* b = box.load()) {
            gtk_dialog_response(GTK_DIALOG(b->GetHandle()), GTK_RESPONSE_OK);
        }
    });
#endif
}

void closeFromOutside(wxDialog* dialog) {
#ifdef __WXMSW__
    ::PostMessageW(static_cast<HWND>(dialog->GetHWND()), WM_CLOSE, 0, 0);
#else
    onUiThreadEvenInModalLoop([dialog] { dialog->EndModal(wxID_CANCEL); });
#endif
}

// Runs `f` from a running main loop, as the program runs its handlers, and
// returns when `f` has returned.
void runInMainLoop(const std::function<void()>& f) {
    wxGUIEventLoop loop;
    wxTheApp->CallAfter([&] {
        f();
        loop.Exit();
    });
    loop.Run();
}

// What the clients saw while the window could not take events.
struct Traffic {
    std::vector<std::uint16_t> ports;  // each new client's own port, in order
    int relayed = 0;
    double slowestSeconds = 0;
    double totalSeconds = 0;
    bool keeperRelayed = true;
};

// For the record: how long relaying took while the window took nothing.
void report(const char* when, const Traffic& t) {
    std::printf("%s: %d clients relayed in %.2f s, the slowest in %.0f ms\n", when, t.relayed,
                t.totalSeconds, t.slowestSeconds * 1000);
}

// 100 new clients one after another, each an echo round trip of its own and
// then gone; between them the long-lived client goes on relaying.
Traffic runClients(std::uint16_t port, Client& keeper) {
    Traffic t;
    const auto begin = std::chrono::steady_clock::now();
    const std::vector<unsigned char> data = pattern(200);
    for (int i = 0; i < 100; ++i) {
        const auto start = std::chrono::steady_clock::now();
        Client c(port);
        if (!c.valid() || !roundTrip(c, data, data.size())) break;  // one is enough
        ++t.relayed;
        t.ports.push_back(c.localPort());
        c.close();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        t.slowestSeconds = std::max(t.slowestSeconds, took.count());
        if (i % 10 == 9)
            t.keeperRelayed = t.keeperRelayed && roundTrip(keeper, pattern(5000), 1000);
    }
    t.totalSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    return t;
}

std::vector<std::string> logLines(const ui::MainWindow& w) {
    return {w.monitorModel().log().begin(), w.monitorModel().log().end()};
}

// Every client's "进入" and then its "离开", the clients in the order they came.
void expectEveryEnteredAndLeftInOrder(const ui::MainWindow& w, const Traffic& t) {
    const std::vector<std::string> log = logLines(w);
    auto find = [&](const std::string& text) -> long {
        for (std::size_t i = 0; i < log.size(); ++i) {
            if (log[i].find(text) != std::string::npos) return static_cast<long>(i);
        }
        return -1;
    };
    long previous = -1;
    for (std::uint16_t p : t.ports) {
        const std::string client = "客户[127.0.0.1:" + std::to_string(p) + "]";
        const long entered = find(client + "进入");
        const long left = find(client + "离开");
        ASSERT_GE(entered, 0) << client;
        EXPECT_GT(left, entered) << client;
        EXPECT_GT(entered, previous) << client;
        previous = entered;
    }
}

}  // namespace

TEST(Window, EngineNeverWaitsForAModalLoop) {
    shell::ProcessState state;
    ASSERT_TRUE(state.startServices(10).empty());
    EchoServer target(4, 200);
    ui::MainWindow* window = programLikeWindow(state);
    window->SetSize(560, 420);

    // A mapping on a port of its own, to the echo target, started.
    std::uint16_t port = 0;
    {
        ClosedPort probe;  // a port nobody listens on now
        port = probe.port();
    }
    window->onDialogShown = [](wxWindow* dialog) { click(named<wxButton>(dialog, "按钮3")); };
    window->runToolbarCommand(S("添加"));
    const int n = window->addedMappingNumber();
    ASSERT_GT(n, 0);
    window->selectNode(n, false);
    ASSERT_TRUE(pumpUntil([&] { return window->currentMapping() == n; }));
    named<wxTextCtrl>(window, "编辑框2")->ChangeValue(std::to_string(port));
    named<wxTextCtrl>(window, "编辑框3")->ChangeValue(std::to_string(target.port()));
    click(named<wxButton>(window, "按钮4"));
    ASSERT_EQ(state.table.at(n).listen_port, port);
    window->selectNode(n, true);
    window->runToolbarCommand(S("启动"));
    ASSERT_NE(state.table.at(n).service, nullptr) << window->monitorModel().log().back();

    // A client that stays: its first bytes go through while this thread
    // pumps the window's events, as its message loop would.
    Client keeper(port);
    ASSERT_TRUE(keeper.valid());
    std::atomic<int> first{0};
    std::thread([&] { first = roundTrip(keeper, pattern(1000), 100) ? 1 : 2; }).detach();
    ASSERT_TRUE(pumpUntil([&] { return first.load() != 0; }));
    ASSERT_EQ(first.load(), 1);
    ASSERT_TRUE(pumpUntil([&] { return window->clientList()->GetItemCount() == 1; }));

    // A refused save opens the editor's real box, from a real press of
    // "保存" that the running main loop dispatches, as in the program. The
    // clients run while it is up, and then press its OK.
    window->selectNode(n, false);  // the editor
    auto* save = named<wxButton>(window, "按钮4");
    ASSERT_TRUE(pumpUntil([&] { return save->IsShownOnScreen(); }));
    named<wxTextCtrl>(window, "编辑框2")->ChangeValue("abc");
    std::atomic<wxMessageDialog*> box{nullptr};
    wxGUIEventLoop loop;
    window->showMessage = [&](const wxString& text, const wxString& caption) {
        const auto b = ui::MainWindow::messageBox(window, text, caption);
        box = b.get();
        b->ShowModal();
        box = nullptr;
        loop.ScheduleExit();
    };
    Traffic duringBox;
    std::thread clients([&] {
        for (int i = 0; i < 1000 && !box.load(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // its loop runs
        duringBox = runClients(port, keeper);
        pressOkFromOutside(box);
    });
    wxTheApp->CallAfter([save] {
        wxUIActionSimulator mouse;
        mouse.MouseMove(save->GetScreenRect().GetPosition() + wxPoint(8, 8));
        mouse.MouseClick();
    });
    loop.Run();
    clients.join();
    report("a message box up", duringBox);
    EXPECT_EQ(duringBox.relayed, 100);
    EXPECT_LT(duringBox.slowestSeconds, 5.0);
    EXPECT_TRUE(duringBox.keeperRelayed);
    ASSERT_TRUE(pumpUntil([&] { return window->engineEvents().size() == 0; }));
    ASSERT_TRUE(pumpUntil([&] { return window->clientList()->GetItemCount() == 1; }));
    expectEveryEnteredAndLeftInOrder(*window, duringBox);
    named<wxTextCtrl>(window, "编辑框2")->ChangeValue(std::to_string(port));

    // The same while the add dialog is open; it is closed from outside.
    Traffic duringDialog;
    std::thread dialogClients;
    window->onDialogShown = [&](wxWindow* dialog) {
        dialogClients = std::thread([&, dialog] {
            duringDialog = runClients(port, keeper);
            closeFromOutside(static_cast<wxDialog*>(dialog));
        });
    };
    runInMainLoop([&] { window->runToolbarCommand(S("添加")); });
    if (dialogClients.joinable()) dialogClients.join();
    EXPECT_EQ(window->addedMappingNumber(), 0);
    report("the add dialog up", duringDialog);
    EXPECT_EQ(duringDialog.relayed, 100);
    EXPECT_LT(duringDialog.slowestSeconds, 5.0);
    EXPECT_TRUE(duringDialog.keeperRelayed);
    ASSERT_TRUE(pumpUntil([&] { return window->engineEvents().size() == 0; }));
    ASSERT_TRUE(pumpUntil([&] { return window->clientList()->GetItemCount() == 1; }));
    expectEveryEnteredAndLeftInOrder(*window, duringDialog);
    EXPECT_EQ(window->engineEvents().droppedTotal(), 0u);

    // The worst a native loop can do: this thread runs nothing of ours at
    // all until the clients are done.
    std::atomic<bool> finished{false};
    Traffic duringStall;
    std::thread stalled([&] {
        duringStall = runClients(port, keeper);
        finished = true;
    });
    while (!finished.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stalled.join();
    report("the window's thread held up", duringStall);
    EXPECT_EQ(duringStall.relayed, 100);
    EXPECT_LT(duringStall.slowestSeconds, 5.0);
    EXPECT_TRUE(duringStall.keeperRelayed);
    EXPECT_GE(window->engineEvents().size(), 300u);  // all still waiting, none lost
    ASSERT_TRUE(pumpUntil([&] { return window->engineEvents().size() == 0; }));
    ASSERT_TRUE(pumpUntil([&] { return window->clientList()->GetItemCount() == 1; }));
    expectEveryEnteredAndLeftInOrder(*window, duringStall);

    keeper.close();
    ASSERT_TRUE(pumpUntil([&] { return window->clientList()->GetItemCount() == 0; }));
    window->runToolbarCommand(S("停止"));
    window->exitByWindow();
    pumpUntil([] { return false; }, 200);
}
