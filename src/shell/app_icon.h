// The program's icon without a toolkit: the picture the window and the tray
// show (a blue rounded square with two white arrows), as pixels and as a
// Windows .ico file, so the build can give lumesk.exe the same icon.
#pragma once

#include <cstdint>
#include <vector>

namespace lumesk::shell {

// `size` x `size` pixels, rows from the top, 4 bytes each: red, green, blue
// and alpha (not premultiplied).
std::vector<std::uint8_t> appIconPixels(int size);

// An .ico file holding the picture at each size (1 to 256), as 32-bit images
// with alpha, in the order given.
std::vector<std::uint8_t> icoFile(const std::vector<int>& sizes);

}  // namespace lumesk::shell
