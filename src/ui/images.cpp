// Our pictures, drawn at start-up so the program ships no image files.
#include "ui/images.h"

#include <wx/dcmemory.h>
#include <wx/graphics.h>

#include <algorithm>
#include <memory>

namespace lumesk::ui {

namespace {

const wxColour kBlue(32, 104, 200);
const wxColour kGreen(40, 160, 72);
const wxColour kOrange(230, 130, 30);
const wxColour kRed(200, 48, 48);

// A face that holds the banner's Chinese words: a font given by size alone
// gets the system's Latin face on Windows, and its glyphs draw as boxes.
#ifdef __WXMSW__
const wxString kBannerFace = wxString::FromUTF8("Microsoft YaHei");
#else
const wxString kBannerFace = wxString::FromUTF8("Noto Sans CJK SC");
#endif

// Draws on a transparent bitmap of the given size.
template <typename Paint>
wxBitmap draw(int width, int height, Paint paint) {
    wxImage image(width, height);
    image.InitAlpha();
    std::fill_n(image.GetAlpha(), width * height, 0);
    wxBitmap bitmap(image, 32);
    {
        wxMemoryDC dc(bitmap);
        std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(dc));
        if (gc) paint(*gc, static_cast<double>(width), static_cast<double>(height));
    }
    return bitmap;
}

void arrows(wxGraphicsContext& gc, double w, double h, const wxColour& colour) {
    gc.SetPen(wxPen(*wxWHITE, std::max(1.0, w / 10)));
    wxGraphicsPath p = gc.CreatePath();
    p.MoveToPoint(w * 0.2, h * 0.38);
    p.AddLineToPoint(w * 0.75, h * 0.38);
    p.MoveToPoint(w * 0.6, h * 0.22);
    p.AddLineToPoint(w * 0.78, h * 0.38);
    p.AddLineToPoint(w * 0.6, h * 0.54);
    p.MoveToPoint(w * 0.8, h * 0.66);
    p.AddLineToPoint(w * 0.25, h * 0.66);
    p.MoveToPoint(w * 0.4, h * 0.5);
    p.AddLineToPoint(w * 0.22, h * 0.66);
    p.AddLineToPoint(w * 0.4, h * 0.82);
    gc.StrokePath(p);
    (void)colour;
}

wxBitmap badge(int size, const wxColour& colour, bool withArrows, const wxString& letter = {}) {
    return draw(size, size, [&](wxGraphicsContext& gc, double w, double h) {
        gc.SetBrush(wxBrush(colour));
        gc.SetPen(wxPen(colour.ChangeLightness(70)));
        gc.DrawRoundedRectangle(0.5, 0.5, w - 1, h - 1, w / 5);
        if (withArrows) arrows(gc, w, h, colour);
        if (!letter.empty()) {
            gc.SetFont(wxFont(wxFontInfo(static_cast<int>(h * 0.55)).Bold()), *wxWHITE);
            double tw, th;
            gc.GetTextExtent(letter, &tw, &th);
            gc.DrawText(letter, (w - tw) / 2, (h - th) / 2);
        }
    });
}

}  // namespace

wxIconBundle appIcons() {
    wxIconBundle bundle;
    for (int size : {128, 64, 48, 32, 16}) {
        wxIcon icon;
        icon.CopyFromBitmap(badge(size, kBlue, true));
        bundle.AddIcon(icon);
    }
    return bundle;
}

wxImageList* treeImages() {
    auto* list = new wxImageList(16, 16, true, 6);
    list->Add(draw(16, 16, [](wxGraphicsContext&, double, double) {}));     // 0: unused
    list->Add(badge(16, kBlue, true));                                      // 1: port mapping
    list->Add(badge(16, kGreen, false, "H"));                               // 2: HTTP proxy
    list->Add(badge(16, kOrange, false, "S"));                              // 3: Socks4 proxy
    list->Add(draw(16, 16, [](wxGraphicsContext& gc, double w, double h) {  // 4: running
        gc.SetBrush(wxBrush(kGreen));
        gc.SetPen(wxPen(kGreen.ChangeLightness(70)));
        gc.DrawEllipse(2, 2, w - 4, h - 4);
    }));
    list->Add(draw(16, 16, [](wxGraphicsContext& gc, double w, double h) {  // 5: stopped
        gc.SetBrush(wxBrush(kRed));
        gc.SetPen(wxPen(kRed.ChangeLightness(70)));
        gc.DrawRectangle(3, 3, w - 6, h - 6);
    }));
    return list;
}

std::vector<wxBitmap> toolbarImages() {
    auto glyph = [](const wxColour& colour, auto paint) {
        return draw(12, 12, [&](wxGraphicsContext& gc, double w, double h) {
            gc.SetPen(wxPen(colour, 2));
            gc.SetBrush(wxBrush(colour));
            paint(gc, w, h);
        });
    };
    return {
        glyph(kGreen,
              [](wxGraphicsContext& gc, double w, double h) {  // 0: add
                  gc.StrokeLine(w / 2, 1, w / 2, h - 1);
                  gc.StrokeLine(1, h / 2, w - 1, h / 2);
              }),
        glyph(kBlue,
              [](wxGraphicsContext& gc, double w, double h) {  // 1: spare
                  gc.DrawEllipse(2, 2, w - 4, h - 4);
              }),
        glyph(kRed,
              [](wxGraphicsContext& gc, double w, double h) {  // 2: delete
                  gc.StrokeLine(2, 2, w - 2, h - 2);
                  gc.StrokeLine(w - 2, 2, 2, h - 2);
              }),
        glyph(kGreen,
              [](wxGraphicsContext& gc, double w, double h) {  // 3: start
                  wxGraphicsPath p = gc.CreatePath();
                  p.MoveToPoint(2, 1);
                  p.AddLineToPoint(w - 1, h / 2);
                  p.AddLineToPoint(2, h - 1);
                  p.CloseSubpath();
                  gc.FillPath(p);
              }),
        glyph(kRed, [](wxGraphicsContext& gc, double w,
                       double h) { gc.DrawRectangle(2, 2, w - 4, h - 4); }),  // 4: stop
        glyph(kBlue,
              [](wxGraphicsContext& gc, double w, double h) {  // 5: exit
                  gc.StrokeLine(1, h / 2, w - 3, h / 2);
                  gc.StrokeLine(w - 6, 2, w - 2, h / 2);
                  gc.StrokeLine(w - 6, h - 2, w - 2, h / 2);
              }),
    };
}

wxImageList* clientListImages() {
    auto* list = new wxImageList(16, 15, true, 2);
    list->Add(badge(15, kBlue, false, "C").ConvertToImage().Size(wxSize(16, 15), wxPoint(0, 0)));
    list->Add(badge(15, kGreen, false, "T").ConvertToImage().Size(wxSize(16, 15), wxPoint(0, 0)));
    return list;
}

wxBitmap bannerPicture() {
    return draw(168, 64, [](wxGraphicsContext& gc, double w, double h) {
        gc.SetBrush(gc.CreateLinearGradientBrush(0, 0, w, h, kBlue, kBlue.ChangeLightness(150)));
        gc.SetPen(*wxTRANSPARENT_PEN);
        gc.DrawRoundedRectangle(0, 0, w, h, 6);
        arrows(gc, 44, h, kBlue);
        gc.SetFont(wxFont(wxFontInfo(11).FaceName(kBannerFace).Bold()), *wxWHITE);
        gc.DrawText(wxString::FromUTF8("Lumesk"), 48, 12);
        gc.SetFont(wxFont(wxFontInfo(10).FaceName(kBannerFace)), *wxWHITE);
        gc.DrawText(wxString::FromUTF8("端口映射工具"), 48, 34);
    });
}

}  // namespace lumesk::ui
