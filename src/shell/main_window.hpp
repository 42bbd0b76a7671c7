// The one main window and the loop that drives the program.
#pragma once

#include <gtk/gtk.h>

#include <string>

namespace tarno_vesk {

inline constexpr const char* WINDOW_TITLE =
    "\u062A\u0627\u0631\u0646\u0648 \u0648\u0633\u06A9 \u2014 "
    "\u062D\u0633\u0627\u0628\u062F\u0627\u0631\u06CC \u0645\u063A\u0627\u0632\u0647 "
    "\u0648 \u0627\u0646\u0628\u0627\u0631\u062F\u0627\u0631\u06CC";
inline constexpr int WINDOW_WIDTH = 1340;
inline constexpr int WINDOW_HEIGHT = 860;
inline constexpr int WINDOW_MIN_WIDTH = 980;
inline constexpr int WINDOW_MIN_HEIGHT = 660;

struct MainWindow {
    GtkWindow* window = nullptr;  // owned by the application until it is closed
    GtkBox* content = nullptr;    // fills the window and holds the web view
};

// Opens the display, or returns false with the reason in `error`.
bool open_display(std::string& error);

// Builds and shows the main window for `app`. Closing it ends the loop with status 0.
MainWindow build_main_window(GtkApplication* app);

}  // namespace tarno_vesk
