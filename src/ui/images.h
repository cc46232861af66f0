// The program's pictures: icon, tree, toolbar and client-list images, banner.
#pragma once

#include <wx/bitmap.h>
#include <wx/iconbndl.h>
#include <wx/imaglist.h>

#include <vector>

namespace lumesk::ui {

wxIconBundle appIcons();                // 128, 64, 48, 32 and 16 pixels
wxImageList* treeImages();              // 16 x 16: unused, port, HTTP, Socks4, running, stopped
std::vector<wxBitmap> toolbarImages();  // 12 x 12: add, spare, delete, start, stop, exit
wxImageList* clientListImages();        // 16 x 15, two of them
wxBitmap bannerPicture();               // 168 x 64

}  // namespace lumesk::ui
