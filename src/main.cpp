// Start-up: settle the data directory and the address, open the window with the web view,
// and hand the thread to the event loop until the user closes the window.
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <source_location>
#include <string>

#include "bridge/command_handler.hpp"
#include "platform/platform.hpp"
#include "shell/app_url.hpp"
#include "shell/data_dir.hpp"
#include "shell/main_window.hpp"
#include "webview/gobject_ptr.hpp"
#include "webview/web_view.hpp"

namespace tarno_vesk {

extern const std::string_view BRIDGE_SCRIPT;

namespace {

constexpr const char* APPLICATION_ID = "com.quillmere.TarnoVesk";
constexpr const char* PROGRAM_NAME = "tarno-vesk";

struct StartUp {
    std::string data_dir;
    std::string app_url;
    std::string profile_folder;
    bool gpu_rendering = true;
};

// One line on standard error, then an abnormal end at once: no clean-up, nothing saved.
[[noreturn]] void fail_start_up(const char* message, const std::string& description,
                                std::source_location where = std::source_location::current()) {
    std::fprintf(stderr, "%s: %s (src/main.cpp:%u)\n", message, description.c_str(),
                 static_cast<unsigned>(where.line()));
    std::fflush(stderr);
    std::abort();
}

// Environment variables through which GTK or WebKit would open an inspector or a remote
// debugging server; the program offers no developer tools by any path.
void clear_inspector_environment() {
    for (const char* name :
         {"GTK_DEBUG", "WEBKIT_INSPECTOR_SERVER", "WEBKIT_INSPECTOR_HTTP_SERVER"}) {
        ::unsetenv(name);
    }
}

// GTK 4.8 and WebKitGTK 2.50 draw through OpenGL even where there is no GPU, and Mesa's
// software OpenGL (llvmpipe) then costs about 100 MiB and half a second at every start.
// Without a GPU render node both draw with the processor directly instead; with one, the GPU
// path stays. A GSK_RENDERER the user has chosen is left alone.
bool choose_rendering() {
    if (platform::has_gpu_render_node()) return true;
    g_setenv("GSK_RENDERER", "cairo", FALSE);
    return false;
}

void on_activate(GtkApplication* app, gpointer data) {
    const StartUp& start = *static_cast<const StartUp*>(data);
    MainWindow main = build_main_window(app);

    WebViewConfig config;
    config.profile_folder = start.profile_folder;
    config.address = start.app_url;
    config.document_start_scripts = {{BRIDGE_SCRIPT, true}};
    config.gpu_rendering = start.gpu_rendering;
    config.message_handler = [data_dir = start.data_dir](std::string_view text, std::string_view) {
        handle_command_message(data_dir, text);
    };
    std::string error;
    if (create_web_view(main, std::move(config), error) == nullptr) {
        fail_start_up("failed to initialize WebView2", error);
    }
}

}  // namespace
}  // namespace tarno_vesk

int main(int, char** argv) {
    using namespace tarno_vesk;
    clear_inspector_environment();

    StartUp start;
    start.data_dir = resolve_data_dir();
    platform::create_dir_all(start.data_dir);
    start.app_url = resolve_app_url(start.data_dir);
    start.profile_folder = path_join(start.data_dir, "webview2");
    platform::create_dir_all(start.profile_folder);

    start.gpu_rendering = choose_rendering();
    g_set_prgname(PROGRAM_NAME);  // the window class, matched by the desktop entry
    std::string error;
    if (!open_display(error)) fail_start_up("failed to build window", error);

    auto app = adopt(gtk_application_new(APPLICATION_ID, G_APPLICATION_NON_UNIQUE));
    g_signal_connect(app.get(), "activate", G_CALLBACK(on_activate), &start);
    // The program reads no arguments; GApplication would refuse to run on unknown ones.
    char* args[] = {argv[0], nullptr};
    return g_application_run(G_APPLICATION(app.get()), 1, args);
}
