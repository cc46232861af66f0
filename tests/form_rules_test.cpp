// The add dialog's stored listen address and the splitters' bounds, at their
// edges, without the toolkit.
#include <gtest/gtest.h>

#include <string>

#include "ui/form_logic.h"
#include "ui/layout.h"

using namespace lumesk;
using namespace lumesk::ui;

// What the dialog stores is the address it checked and reserved the slot
// with: no selection means all addresses, stored as "0.0.0.0", so the
// editor's duplicate check sees the clash a later mapping would make.
TEST(AddDialogRules, TheCheckedListenAddressIsStored) {
    model::MappingTable table;
    MappingForm none = defaultForm("192.0.2.7");
    none.listenIpItem.clear();  // no item selected
    ASSERT_EQ(addMapping(table, none), 1);
    EXPECT_EQ(table.at(1).listen_ip, "0.0.0.0");
    EXPECT_EQ(table.at(1).listen_port, 7000);

    MappingForm all = defaultForm("192.0.2.7");
    all.name = "全部";
    all.listenPort = "7001";
    ASSERT_EQ(addMapping(table, all), 2);
    EXPECT_EQ(table.at(2).listen_ip, "0.0.0.0");

    MappingForm specific = defaultForm("192.0.2.7");
    specific.name = "指定";
    specific.listenIpItem = "127.0.0.1";
    specific.listenPort = "7002";
    ASSERT_EQ(addMapping(table, specific), 3);
    EXPECT_EQ(table.at(3).listen_ip, "127.0.0.1");

    // Moving mapping 3 onto mapping 1's port clashes with all addresses.
    MappingForm moved = specific;
    moved.listenPort = "7000";
    EXPECT_EQ(saveEditor(table, 3, moved, nullptr), "相同服务或监听重复");
    EXPECT_EQ(table.at(3).listen_port, 7002);
}

namespace {

// A position `offset` pixels away from `ratio` of an extent of 10^8 pixels:
// its ratio lies offset * 1e-8 away from `ratio`.
struct Edge {
    int position;
    float unclamped;
};
Edge near(double ratio, int offset) {
    constexpr int kExtent = 100000000;
    const int position = static_cast<int>(ratio * kExtent + 0.5) + offset;
    return {position, static_cast<float>(static_cast<double>(position) / kExtent)};
}

}  // namespace

// A ratio within 1e-7 of a bound counts as inside and is kept as it is; one
// further out becomes the bound. 0.9e-7 and 1.1e-7 out, on each side of both
// splitters' bounds, pin the tolerance itself.
TEST(SplitterRules, BoundsHoldATolerance) {
    constexpr int kExtent = 100000000;
    struct Bound {
        int tag;
        double value;
        int outward;  // -1 below the low bound, +1 above the high one
    };
    for (const Bound b :
         {Bound{1, 0.2, -1}, Bound{1, 0.4, 1}, Bound{2, 0.3, -1}, Bound{2, 0.7, 1}}) {
        SCOPED_TRACE(testing::Message() << "tag " << b.tag << " bound " << b.value);
        const float bound = static_cast<float>(b.value);
        const Edge inside = near(b.value, 9 * b.outward);
        ASSERT_NE(inside.unclamped, bound);  // a float tells them apart
        EXPECT_EQ(splitterRatio(b.tag, inside.position, kExtent, 0.5f), inside.unclamped);
        const Edge outside = near(b.value, 11 * b.outward);
        EXPECT_EQ(splitterRatio(b.tag, outside.position, kExtent, 0.5f), bound);
        // Well inside, a ratio is its own.
        const Edge within = near(b.value, -1000 * b.outward);
        EXPECT_EQ(splitterRatio(b.tag, within.position, kExtent, 0.5f), within.unclamped);
    }
    // At real pixel counts the bounds are exact.
    EXPECT_EQ(splitterRatio(1, 160, 800, 0.3f), 0.2f);
    EXPECT_EQ(splitterRatio(1, 159, 800, 0.3f), 0.2f);
    EXPECT_EQ(splitterRatio(1, 161, 800, 0.3f), static_cast<float>(161.0 / 800));
    EXPECT_EQ(splitterRatio(2, 281, 400, 0.5f), 0.7f);
    EXPECT_EQ(splitterRatio(2, 279, 400, 0.5f), static_cast<float>(279.0 / 400));
    EXPECT_EQ(splitterRatio(1, 300, 0, 0.25f), 0.25f);  // no extent: unchanged
}
