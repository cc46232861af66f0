// The program's icon drawn without the toolkit, and the .ico made from it.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "shell/app_icon.h"

using lumesk::shell::appIconPixels;
using lumesk::shell::icoFile;

namespace {

struct Pixel {
    int r, g, b, a;
    bool operator==(const Pixel&) const = default;
};

Pixel at(const std::vector<std::uint8_t>& rgba, int size, double fx, double fy) {
    const int x = static_cast<int>(fx * size), y = static_cast<int>(fy * size);
    const std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * size + x) * 4];
    return {p[0], p[1], p[2], p[3]};
}

unsigned read16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b.at(at) | b.at(at + 1) << 8;
}

std::uint32_t read32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return read16(b, at) | static_cast<std::uint32_t>(read16(b, at + 2)) << 16;
}

const Pixel kBlue{32, 104, 200, 255};
const Pixel kWhite{255, 255, 255, 255};
const Pixel kClear{0, 0, 0, 0};

}  // namespace

// The window's picture: a blue rounded square, its darker edge, clear corners,
// and two white arrows (right above, left below), at every size.
TEST(AppIcon, BlueSquareClearCornersWhiteArrows) {
    for (int size : {16, 32, 48, 256}) {
        SCOPED_TRACE(size);
        const auto rgba = appIconPixels(size);
        ASSERT_EQ(rgba.size(), static_cast<std::size_t>(size * size * 4));
        EXPECT_EQ(at(rgba, size, 0, 0), kClear);
        EXPECT_EQ(at(rgba, size, 0.999, 0.999), kClear);
        EXPECT_EQ(at(rgba, size, 0.5, 0.1), kBlue);
        EXPECT_EQ(at(rgba, size, 0.5, 0.9), kBlue);
        const Pixel edge = at(rgba, size, 0, 0.5);
        EXPECT_EQ(edge.a, 255);
        EXPECT_LT(edge.b, kBlue.b);  // the pen is darker than the fill
        // The shafts (at 16 pixels a 1-pixel pen straddles two rows), and the
        // heads: the upper one points right, the lower one left.
        for (const Pixel shaft : {at(rgba, size, 0.45, 0.38), at(rgba, size, 0.5, 0.66)}) {
            if (size == 16) {
                EXPECT_GT(shaft.r, 150);
            } else {
                EXPECT_EQ(shaft, kWhite);
            }
        }
        if (size >= 32) {
            EXPECT_EQ(at(rgba, size, 0.69, 0.30), kWhite);
            EXPECT_EQ(at(rgba, size, 0.31, 0.58), kWhite);
            EXPECT_EQ(at(rgba, size, 0.31, 0.30), kBlue);
            EXPECT_EQ(at(rgba, size, 0.69, 0.58), kBlue);
        }
    }
}

// Four 32-bit images in the order asked, each a bitmap of twice the height
// (colour, then mask) whose rows run from the bottom; the mask is set exactly
// where the picture is clear.
TEST(AppIcon, IcoFileHoldsEverySizeAsTheBitmapsWindowsReads) {
    const std::vector<int> sizes{16, 32, 48, 256};
    const auto ico = icoFile(sizes);
    ASSERT_GE(ico.size(), 6u + 16 * sizes.size());
    EXPECT_EQ(read16(ico, 0), 0u);
    EXPECT_EQ(read16(ico, 2), 1u);
    ASSERT_EQ(read16(ico, 4), sizes.size());
    std::size_t expectedOffset = 6 + 16 * sizes.size();
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const int size = sizes[i];
        SCOPED_TRACE(size);
        const std::size_t entry = 6 + 16 * i;
        EXPECT_EQ(ico[entry], size == 256 ? 0 : size);
        EXPECT_EQ(ico[entry + 1], size == 256 ? 0 : size);
        EXPECT_EQ(read16(ico, entry + 4), 1u);
        EXPECT_EQ(read16(ico, entry + 6), 32u);
        const std::uint32_t bytes = read32(ico, entry + 8);
        const std::uint32_t offset = read32(ico, entry + 12);
        EXPECT_EQ(offset, expectedOffset);
        const std::size_t maskStride = (size + 31) / 32 * 4;
        ASSERT_EQ(bytes, 40 + size * size * 4 + maskStride * size);
        expectedOffset += bytes;

        EXPECT_EQ(read32(ico, offset), 40u);
        EXPECT_EQ(read32(ico, offset + 4), static_cast<std::uint32_t>(size));
        EXPECT_EQ(read32(ico, offset + 8), static_cast<std::uint32_t>(2 * size));
        EXPECT_EQ(read16(ico, offset + 14), 32u);
        const auto rgba = appIconPixels(size);
        int differences = 0;
        for (int y = 0; y < size; ++y) {
            const std::size_t row = offset + 40 + static_cast<std::size_t>(size - 1 - y) * size * 4;
            const std::size_t maskRow =
                offset + 40 + size * size * 4 + static_cast<std::size_t>(size - 1 - y) * maskStride;
            for (int x = 0; x < size; ++x) {
                const std::uint8_t* want = &rgba[(static_cast<std::size_t>(y) * size + x) * 4];
                const std::uint8_t* got = &ico[row + x * 4];
                differences += got[0] != want[2] || got[1] != want[1] || got[2] != want[0] ||
                               got[3] != want[3];
                const bool masked = (ico[maskRow + x / 8] >> (7 - x % 8)) & 1;
                differences += masked != (want[3] == 0);
            }
        }
        EXPECT_EQ(differences, 0);
    }
    EXPECT_EQ(ico.size(), expectedOffset);
}
