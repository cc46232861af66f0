// Mappings outlive the program: what a user adds is there at the next start,
// and those marked "随程序启动" run and relay.
#include <gtest/gtest.h>
#include <wx/checkbox.h>
#include <wx/textctrl.h>

#include <memory>

#include "gui_support.h"
#include "support.h"

namespace lumesk {
namespace {

using test::pumpUntil;
using ui::S;

TEST(KeptMappings, AddedMappingsComeBackAndTheMarkedOneRunsAndRelays) {
    const std::string folder = test::freshFolder("lumesk-kept-mappings");
    test::EchoServer target(4, 10);
    {
        // A first run: two mappings added, the second of them marked.
        auto state = std::make_unique<shell::ProcessState>(folder);
        ASSERT_TRUE(state->startServices(4).empty());
        EXPECT_TRUE(state->loadMappings().empty());
        ui::MainWindow* window = test::programLikeWindow(*state);
        test::addWithDialog(window, "不启动", 7001, target.port(), false);
        test::addWithDialog(window, "随程序", 7000, target.port(), true);
        ASSERT_EQ(window->addedMappingNumber(), 2);
        // The tree's order is kept, not the numbers': the first gone, a third
        // takes its number at the tree's end.
        window->selectNode(1, false);
        ASSERT_TRUE(pumpUntil([&] { return window->currentMapping() == 1; }));
        window->runToolbarCommand(S("删除"));
        test::addWithDialog(window, "第三个", 7002, target.port(), false);
        ASSERT_EQ(window->addedMappingNumber(), 1);
        window->exitByWindow();
        pumpUntil([] { return false; }, 200);
    }
    // The next start, on the same folder.
    auto state = std::make_unique<shell::ProcessState>(folder);
    ASSERT_TRUE(state->startServices(4).empty());
    EXPECT_TRUE(state->loadMappings().empty()) << "nothing skipped";
    ui::MainWindow* window = test::programLikeWindow(*state);
    state->startMarkedMappings();
    EXPECT_EQ(test::treeTexts(window->tree()),
              (std::vector<std::string>{"随程序", "0.0.0.0:7000", "第三个", "0.0.0.0:7002"}));
    EXPECT_EQ(state->table.at(2).name, "随程序");
    EXPECT_TRUE(state->table.at(2).autostart);
    EXPECT_NE(state->table.at(2).service, nullptr) << "the marked mapping runs";
    EXPECT_EQ(state->table.at(1).service, nullptr);
    EXPECT_NE(window->monitorModel().log().back().find("[随程序]映射已启动"), std::string::npos);
    test::Client client(7000);
    ASSERT_TRUE(client.valid());
    EXPECT_TRUE(test::roundTrip(client, test::pattern(64 << 10), 4096));
    window->exitByWindow();
    pumpUntil([] { return false; }, 200);
}

}  // namespace
}  // namespace lumesk
