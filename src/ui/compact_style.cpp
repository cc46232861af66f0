#include "ui/wx_text.h"

#include <wx/font.h>

#ifdef __WXGTK__
#include <gtk/gtk.h>
#endif

namespace lumesk::ui {

void applyCompactStyle() {
#ifdef __WXGTK__
    // The form's places are Windows sizes: 20-pixel boxes and 16-pixel radios.
    static bool applied = false;
    if (applied) return;
    applied = true;
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(
        css,
        "* { font-size: 9pt; }"
        "entry, spinbutton { min-height: 0; padding: 0 3px; }"
        "button { min-height: 0; min-width: 0; padding: 0 3px; }"
        "combobox button, combobox entry { min-height: 0; padding-top: 0;"
        " padding-bottom: 0; }"
        "radio, check { min-height: 12px; min-width: 12px; margin: 0 3px 0 0; }"
        "checkbutton, radiobutton { min-height: 0; padding: 0; }",
        -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
#endif
}

void showScrollbars([[maybe_unused]] wxWindow* w) {
#ifdef __WXGTK__
    // GTK's overlay scroll bars show only while the pointer moves over them:
    // a cut-off tree node would look like the whole text.
    GtkWidget* widget = static_cast<GtkWidget*>(w->GetHandle());
    if (GTK_IS_SCROLLED_WINDOW(widget)) {
        gtk_scrolled_window_set_overlay_scrolling(GTK_SCROLLED_WINDOW(widget), FALSE);
    }
#endif
}

void applyFormFont([[maybe_unused]] wxWindow* form) {
#ifdef __WXMSW__
    // The forms' places are laid out for SimSun at 9 points, whose Latin
    // glyphs are half a square wide: the system's UI face is wider and cuts
    // the numbers in the 32-pixel port boxes. SimSun ships with Windows.
    form->SetFont(wxFont(wxFontInfo(9).FaceName("SimSun")));
#endif
}

}  // namespace lumesk::ui
