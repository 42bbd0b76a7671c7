// The web view that fills the main window: its profile, settings, page scripts and the
// channel that brings page messages to the program.
#pragma once

#include <webkit/webkit.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/main_window.hpp"

namespace tarno_vesk {

extern const std::string_view IPC_CHANNEL_SCRIPT;
extern const std::string_view IPC_RELAY_SCRIPT;

struct DocumentStartScript {
    std::string_view source;
    bool main_frame_only = true;
};

// Called once for each text a page posts through window.ipc.postMessage, with the address
// of the document shown.
using MessageHandler = std::function<void(std::string_view text, std::string_view address)>;

struct WebViewConfig {
    std::string profile_folder;
    std::string address;
    std::vector<DocumentStartScript> document_start_scripts;
    MessageHandler message_handler;
    bool gpu_rendering = true;  // false: the page is composited on the processor
};

// Creates the web view inside `main` and starts loading the address. Returns nullptr and
// the reason in `error` when it cannot.
WebKitWebView* create_web_view(const MainWindow& main, WebViewConfig config, std::string& error);

}  // namespace tarno_vesk
