// The icon drawn by hand: the same shapes, colours and pen widths as the
// window's picture (ui/images.cpp), each pixel the average of 8 x 8 samples.
#include "shell/app_icon.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace lumesk::shell {

namespace {

struct Rgb {
    double r, g, b;
};

constexpr Rgb kBlue{32, 104, 200};
constexpr Rgb kBorder{22, 73, 140};  // the blue at 70 % lightness, as its pen
constexpr Rgb kWhite{255, 255, 255};
constexpr int kSamples = 8;  // per pixel side

struct Segment {
    double x0, y0, x1, y1;
};

// The two arrows, as fractions of the picture's size.
constexpr std::array<Segment, 6> kArrows{{
    {0.2, 0.38, 0.75, 0.38},
    {0.6, 0.22, 0.78, 0.38},
    {0.78, 0.38, 0.6, 0.54},
    {0.8, 0.66, 0.25, 0.66},
    {0.4, 0.5, 0.22, 0.66},
    {0.22, 0.66, 0.4, 0.82},
}};

double distanceToSegment(double x, double y, const Segment& s, double size) {
    const double ax = s.x0 * size, ay = s.y0 * size, bx = s.x1 * size, by = s.y1 * size;
    const double dx = bx - ax, dy = by - ay;
    const double length2 = dx * dx + dy * dy;
    double t = length2 > 0 ? ((x - ax) * dx + (y - ay) * dy) / length2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    const double px = ax + t * dx - x, py = ay + t * dy - y;
    return std::sqrt(px * px + py * py);
}

// Inside the rounded square from `low` to `high` on both axes with corner `radius`.
bool insideRounded(double x, double y, double low, double high, double radius) {
    if (x < low || x > high || y < low || y > high) return false;
    const double cx = std::clamp(x, low + radius, high - radius);
    const double cy = std::clamp(y, low + radius, high - radius);
    return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius;
}

void put16(std::vector<std::uint8_t>& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

// One icon image: a BITMAPINFOHEADER (twice the height: colour, then mask),
// the BGRA rows from the bottom, then the 1-bit mask rows (1 = transparent).
std::vector<std::uint8_t> iconImage(int size) {
    const std::vector<std::uint8_t> rgba = appIconPixels(size);
    const auto side = static_cast<std::uint32_t>(size);
    const std::uint32_t maskStride = (side + 31) / 32 * 4;
    std::vector<std::uint8_t> out;
    put32(out, 40);
    put32(out, side);
    put32(out, 2 * side);
    put16(out, 1);   // planes
    put16(out, 32);  // bits per pixel
    put32(out, 0);   // no compression
    put32(out, side * side * 4 + maskStride * side);
    for (int i = 0; i < 4; ++i) put32(out, 0);
    for (int row = size - 1; row >= 0; --row) {
        for (int column = 0; column < size; ++column) {
            const std::uint8_t* p = &rgba[(static_cast<std::size_t>(row) * side + column) * 4];
            out.insert(out.end(), {p[2], p[1], p[0], p[3]});
        }
    }
    for (int row = size - 1; row >= 0; --row) {
        std::vector<std::uint8_t> bits(maskStride, 0);
        for (int column = 0; column < size; ++column) {
            if (rgba[(static_cast<std::size_t>(row) * side + column) * 4 + 3] == 0) {
                bits[column / 8] |= static_cast<std::uint8_t>(0x80 >> (column % 8));
            }
        }
        out.insert(out.end(), bits.begin(), bits.end());
    }
    return out;
}

}  // namespace

std::vector<std::uint8_t> appIconPixels(int size) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(size) * size * 4, 0);
    if (size <= 0) return out;
    const double w = size;
    const double radius = w / 5;  // the square's path runs at 0.5 .. w - 0.5
    const double halfPen = std::max(1, size / 10) / 2.0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            double r = 0, g = 0, b = 0, covered = 0;
            for (int sy = 0; sy < kSamples; ++sy) {
                for (int sx = 0; sx < kSamples; ++sx) {
                    const double px = x + (sx + 0.5) / kSamples;
                    const double py = y + (sy + 0.5) / kSamples;
                    if (!insideRounded(px, py, 0, w, radius + 0.5)) continue;
                    const Rgb* colour =
                        insideRounded(px, py, 1, w - 1, radius - 0.5) ? &kBlue : &kBorder;
                    for (const Segment& s : kArrows) {
                        if (distanceToSegment(px, py, s, w) <= halfPen) colour = &kWhite;
                    }
                    r += colour->r;
                    g += colour->g;
                    b += colour->b;
                    covered += 1;
                }
            }
            std::uint8_t* p = &out[(static_cast<std::size_t>(y) * size + x) * 4];
            if (covered == 0) continue;
            p[0] = static_cast<std::uint8_t>(std::lround(r / covered));
            p[1] = static_cast<std::uint8_t>(std::lround(g / covered));
            p[2] = static_cast<std::uint8_t>(std::lround(b / covered));
            p[3] = static_cast<std::uint8_t>(std::lround(255 * covered / (kSamples * kSamples)));
        }
    }
    return out;
}

std::vector<std::uint8_t> icoFile(const std::vector<int>& sizes) {
    std::vector<std::vector<std::uint8_t>> images;
    for (int size : sizes) images.push_back(iconImage(std::clamp(size, 1, 256)));
    std::vector<std::uint8_t> out;
    put16(out, 0);
    put16(out, 1);  // an icon, not a cursor
    put16(out, static_cast<unsigned>(images.size()));
    auto offset = static_cast<std::uint32_t>(6 + 16 * images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const int size = std::clamp(sizes[i], 1, 256);
        out.push_back(static_cast<std::uint8_t>(size == 256 ? 0 : size));  // 0 means 256
        out.push_back(static_cast<std::uint8_t>(size == 256 ? 0 : size));
        out.push_back(0);  // no palette
        out.push_back(0);
        put16(out, 1);
        put16(out, 32);
        put32(out, static_cast<std::uint32_t>(images[i].size()));
        put32(out, offset);
        offset += static_cast<std::uint32_t>(images[i].size());
    }
    for (const auto& image : images) out.insert(out.end(), image.begin(), image.end());
    return out;
}

}  // namespace lumesk::shell
