// Every mapping in the tree can be seen and clicked: the banner over the
// tree's column never covers a node.
#include <gtest/gtest.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/treectrl.h>
#include <wx/uiaction.h>

#include <chrono>
#include <thread>

#include "gui_support.h"
#include "support.h"
#include "ui/images.h"
#include "ui/layout.h"

namespace lumesk {
namespace {

using test::pumpUntil;

// A real click: down, a short pause, up. Nothing is dispatched between down
// and up: Windows' tree answers the press with a loop of its own that holds
// the mouse until the release comes, and this thread would send it.
void realClick(const wxPoint& screen) {
    wxUIActionSimulator mouse;
    mouse.MouseMove(screen);
    pumpUntil([] { return false; }, 50);
    mouse.MouseDown();
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    mouse.MouseUp();
}

std::vector<wxTreeItemId> allNodes(wxTreeCtrl* tree) {
    std::vector<wxTreeItemId> out;
    wxTreeItemIdValue c1, c2;
    for (auto a = tree->GetFirstChild(tree->GetRootItem(), c1); a.IsOk();
         a = tree->GetNextChild(tree->GetRootItem(), c1)) {
        out.push_back(a);
        for (auto b = tree->GetFirstChild(a, c2); b.IsOk(); b = tree->GetNextChild(a, c2)) {
            out.push_back(b);
        }
    }
    return out;
}

TEST(TreeAndBanner, EveryNodeOfTwelveMappingsCanBeScrolledToAndClicked) {
    shell::ProcessState state(test::freshFolder("lumesk-tree-banner"));
    ASSERT_TRUE(state.startServices(2).empty());
    ui::MainWindow* window = test::programLikeWindow(state);
    window->SetSize(560, 420);
    for (int i = 1; i <= 12; ++i) {
        test::addWithDialog(window, "映射" + std::to_string(i), 7100 + i, 80, false);
        ASSERT_EQ(window->addedMappingNumber(), i);
    }
    pumpUntil([] { return false; }, 300);
    wxTreeCtrl* tree = window->tree();
    wxWindow* banner = test::named<wxWindow>(window, "图片框3");
    ASSERT_NE(banner, nullptr);
    const wxRect bannerOnScreen = banner->GetScreenRect();
    // Where nodes show: the tree's client area (its border may meet the banner).
    const wxRect treeArea(tree->ClientToScreen(wxPoint(0, 0)), tree->GetClientSize());
    EXPECT_LT(treeArea.GetBottom(), bannerOnScreen.GetTop()) << "the tree ends at the banner";

    const std::vector<wxTreeItemId> nodes = allNodes(tree);
    ASSERT_EQ(nodes.size(), 24u);
    for (const wxTreeItemId& node : nodes) {
        tree->EnsureVisible(node);
        pumpUntil([] { return false; }, 60);
        wxRect text;
        ASSERT_TRUE(tree->GetBoundingRect(node, text, true));
        const wxRect onScreen(tree->ClientToScreen(text.GetPosition()), text.GetSize());
        // Wholly inside the tree's visible area, so wholly above the banner.
        EXPECT_LT(onScreen.GetBottom(), bannerOnScreen.GetTop()) << ui::U(tree->GetItemText(node));
        EXPECT_TRUE(
            wxRect(tree->ClientToScreen(wxPoint(0, 0)), tree->GetClientSize()).Contains(onScreen))
            << ui::U(tree->GetItemText(node));
        realClick(onScreen.GetPosition() + wxPoint(4, onScreen.GetHeight() / 2));
        EXPECT_TRUE(pumpUntil([&] { return tree->GetSelection() == node; }, 3000))
            << ui::U(tree->GetItemText(node)) << " was not selected by a click";
    }
    // What shows on the screen where the banner is, is the banner: nothing
    // else in the tree's column paints over it.
    pumpUntil([] { return false; }, 300);
    wxBitmap shot(bannerOnScreen.GetWidth(), bannerOnScreen.GetHeight());
    {
        wxScreenDC screen;
        wxMemoryDC into(shot);
        into.Blit(0, 0, shot.GetWidth(), shot.GetHeight(), &screen, bannerOnScreen.GetX(),
                  bannerOnScreen.GetY());
    }
    const wxImage seen = shot.ConvertToImage();
    const wxImage drawn = ui::bannerPicture().ConvertToImage();
    int alike = 0;
    int samples = 0;
    for (int y = 4; y < drawn.GetHeight(); y += 8) {
        for (int x = 4; x < drawn.GetWidth(); x += 8, ++samples) {
            const int d = std::abs(seen.GetRed(x, y) - drawn.GetRed(x, y)) +
                          std::abs(seen.GetGreen(x, y) - drawn.GetGreen(x, y)) +
                          std::abs(seen.GetBlue(x, y) - drawn.GetBlue(x, y));
            alike += d < 48 ? 1 : 0;
        }
    }
    EXPECT_GT(alike, samples * 9 / 10) << "the banner is not what shows where it lies";
    window->exitByWindow();
    pumpUntil([] { return false; }, 200);
}

}  // namespace
}  // namespace lumesk
