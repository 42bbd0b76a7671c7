#include "webview/web_view.hpp"

#include <memory>

#include "platform/platform.hpp"
#include "shell/data_dir.hpp"
#include "shell/web_address.hpp"
#include "webview/failure_page.hpp"
#include "webview/gobject_ptr.hpp"

namespace tarno_vesk {
namespace {

// The script world of the channel's relay; pages and frames have no way into it.
constexpr const char* RELAY_WORLD = "tarno-vesk-ipc";
constexpr const char* MESSAGE_HANDLER_NAME = "ipc";

// A page that crashes its web process again and again is reloaded at most this many times
// within the window below; after that the window stays as it is.
constexpr int CRASH_RELOAD_BUDGET = 3;
constexpr gint64 CRASH_WINDOW_US = 60 * G_USEC_PER_SEC;

// What the web view's callbacks need; owned by the web view and freed with it.
struct WebViewState {
    MessageHandler message_handler;
    std::string address;
    GtkBox* content = nullptr;
    int crash_reloads = 0;
    gint64 last_crash_reload = 0;
};

WebViewState* state_of(gpointer web_view) {
    return static_cast<WebViewState*>(g_object_get_data(G_OBJECT(web_view), "tarno-vesk-state"));
}

// A text of at least this size is a large backup: once it is handled, the memory of its copies
// here and in the engine goes back to the system instead of staying with the idle window.
constexpr gsize LARGE_MESSAGE = 1 << 20;

void on_script_message(WebKitUserContentManager*, JSCValue* value, gpointer web_view) {
    if (!jsc_value_is_string(value)) return;  // only texts are messages
    const char* address = webkit_web_view_get_uri(WEBKIT_WEB_VIEW(web_view));
    if (address == nullptr) return;
    gsize size = 0;
    {
        // As bytes, not as a C string: a NUL inside the text must not cut it short.
        GBytesPtr bytes(jsc_value_to_string_as_bytes(value));
        if (!bytes) return;
        auto* data = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
        state_of(web_view)->message_handler(std::string_view(data ? data : "", size), address);
    }
    if (size >= LARGE_MESSAGE) platform::release_free_memory();
}

// New windows never open: the request yields no view and the navigation is ignored.
GtkWidget* on_create(WebKitWebView*, WebKitNavigationAction*, gpointer) {
    return nullptr;
}

gboolean on_decide_policy(WebKitWebView*, WebKitPolicyDecision* decision,
                          WebKitPolicyDecisionType type, gpointer) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) return FALSE;
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

// window.close() takes the page away; the main window stays, empty, until the user closes it.
void on_close(WebKitWebView* web_view, gpointer) {
    WebViewState* state = state_of(web_view);
    if (state->content != nullptr) gtk_box_remove(state->content, GTK_WIDGET(web_view));
}

// A web process that crashed or was killed leaves a blank view: load the page again, unless
// it keeps crashing.
void on_web_process_terminated(WebKitWebView* web_view, WebKitWebProcessTerminationReason reason,
                               gpointer) {
    if (reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API) return;
    WebViewState* state = state_of(web_view);
    gint64 now = g_get_monotonic_time();
    if (now - state->last_crash_reload > CRASH_WINDOW_US) state->crash_reloads = 0;
    if (state->crash_reloads >= CRASH_RELOAD_BUDGET) return;
    ++state->crash_reloads;
    state->last_crash_reload = now;
    const char* shown = webkit_web_view_get_uri(web_view);
    webkit_web_view_load_uri(web_view, shown != nullptr ? shown : state->address.c_str());
}

void show_failure_page(WebKitWebView* web_view, const char* failing_uri, LoadFailure failure) {
    std::string page = failure_page_html(failing_uri, failure);
    webkit_web_view_load_alternate_html(web_view, page.c_str(), failing_uri, nullptr);
}

// A failed load of a page shows our own Persian page instead of the engine's English one.
// Loads cancelled by a new navigation or a reload, and loads handed to a download, are not
// failures anyone needs to see.
gboolean on_load_failed(WebKitWebView* web_view, WebKitLoadEvent, gchar* failing_uri, GError* error,
                        gpointer) {
    if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
        error->domain == WEBKIT_POLICY_ERROR) {
        return FALSE;
    }
    LoadFailure failure = LoadFailure::unreachable;
    if (error->domain == G_RESOLVER_ERROR) {
        failure = LoadFailure::name_not_found;
    } else if (error->domain == G_TLS_ERROR) {
        failure = LoadFailure::secure_connection;
    } else if (g_error_matches(error, WEBKIT_NETWORK_ERROR,
                               WEBKIT_NETWORK_ERROR_FILE_DOES_NOT_EXIST)) {
        failure = LoadFailure::missing_file;
    }
    show_failure_page(web_view, failing_uri, failure);
    return TRUE;
}

// An untrusted certificate is a failed load like any other, shown with our own page.
gboolean on_load_failed_with_tls_errors(WebKitWebView* web_view, gchar* failing_uri,
                                        GTlsCertificate*, GTlsCertificateFlags, gpointer) {
    show_failure_page(web_view, failing_uri, LoadFailure::secure_connection);
    return TRUE;
}

// WebKitGTK 2.50 attaches a GtkGestureZoom to the view for pinch zoom, which no setting
// turns off; the page must not zoom, so the gesture is taken out of event handling.
void disable_pinch_zoom(GtkWidget* web_view) {
    GObjectPtr<GListModel> controllers(gtk_widget_observe_controllers(web_view));
    for (guint i = 0; i < g_list_model_get_n_items(controllers.get()); ++i) {
        GObjectPtr<GObject> controller(G_OBJECT(g_list_model_get_item(controllers.get(), i)));
        if (GTK_IS_GESTURE_ZOOM(controller.get())) {
            gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(controller.get()),
                                                       GTK_PHASE_NONE);
        }
    }
}

// The user's language from the environment, as a language tag ("fa-IR").
std::string preferred_language() {
    for (const char* const* name = g_get_language_names(); *name != nullptr; ++name) {
        std::string tag = *name;
        if (tag == "C" || tag == "POSIX" || tag.find_first_of(".@") != std::string::npos) {
            continue;
        }
        for (char& c : tag)
            c = c == '_' ? '-' : c;
        return tag;
    }
    return {};
}

void add_script(WebKitUserContentManager* manager, std::string_view source, bool main_frame_only,
                const char* world) {
    std::string text(source);
    auto frames = main_frame_only ? WEBKIT_USER_CONTENT_INJECT_TOP_FRAME
                                  : WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES;
    WebKitUserScript* script =
        world == nullptr
            ? webkit_user_script_new(text.c_str(), frames,
                                     WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr)
            : webkit_user_script_new_for_world(text.c_str(), frames,
                                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, world,
                                               nullptr, nullptr);
    webkit_user_content_manager_add_script(manager, script);
    webkit_user_script_unref(script);
}

}  // namespace

WebKitWebView* create_web_view(const MainWindow& main, WebViewConfig config, std::string& error) {
    // WebKit would show its own error page for anything; an address that is not even a URI
    // is refused here instead, as a start-up failure the user can see in the report.
    if (!is_absolute_uri(config.address)) {
        error = "not a valid absolute URI: " + config.address;
        return nullptr;
    }

    std::string data = path_join(config.profile_folder, "data");
    std::string cache = path_join(config.profile_folder, "cache");
    auto session = adopt(webkit_network_session_new(data.c_str(), cache.c_str()));
    // The session's folders do not keep cookies by themselves; a cookie file does.
    std::string cookies = path_join(config.profile_folder, "cookies.sqlite");
    webkit_cookie_manager_set_persistent_storage(
        webkit_network_session_get_cookie_manager(session.get()), cookies.c_str(),
        WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);

    auto context = adopt(webkit_web_context_new());
    if (std::string language = preferred_language(); !language.empty()) {
        const char* languages[] = {language.c_str(), nullptr};
        webkit_web_context_set_preferred_languages(context.get(), languages);
    }

    auto settings = adopt(webkit_settings_new());
    webkit_settings_set_enable_developer_extras(settings.get(), FALSE);
    webkit_settings_set_enable_javascript(settings.get(), TRUE);
    webkit_settings_set_media_playback_requires_user_gesture(settings.get(), FALSE);
    webkit_settings_set_enable_back_forward_navigation_gestures(settings.get(), FALSE);
    webkit_settings_set_javascript_can_open_windows_automatically(settings.get(), FALSE);
    if (!config.gpu_rendering) {
        webkit_settings_set_hardware_acceleration_policy(settings.get(),
                                                         WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    }

    // Autoplay needs the site policy as well as the setting.
    auto policies = adopt(
        webkit_website_policies_new_with_policies("autoplay", WEBKIT_AUTOPLAY_ALLOW, nullptr));

    auto content = adopt(webkit_user_content_manager_new());
    if (!webkit_user_content_manager_register_script_message_handler(
            content.get(), MESSAGE_HANDLER_NAME, RELAY_WORLD)) {
        error = "cannot register the page message channel";
        return nullptr;
    }
    add_script(content.get(), IPC_RELAY_SCRIPT, true, RELAY_WORLD);
    add_script(content.get(), IPC_CHANNEL_SCRIPT, true, nullptr);
    for (const auto& script : config.document_start_scripts) {
        add_script(content.get(), script.source, script.main_frame_only, nullptr);
    }

    auto* web_view = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context.get(), "network-session",
                     session.get(), "settings", settings.get(), "user-content-manager",
                     content.get(), "website-policies", policies.get(), nullptr));

    auto* state = new WebViewState{std::move(config.message_handler), config.address, main.content};
    g_object_set_data_full(G_OBJECT(web_view), "tarno-vesk-state", state,
                           [](gpointer p) { delete static_cast<WebViewState*>(p); });
    g_signal_connect_object(content.get(), "script-message-received::ipc",
                            G_CALLBACK(on_script_message), web_view, GConnectFlags(0));
    g_signal_connect(web_view, "create", G_CALLBACK(on_create), nullptr);
    g_signal_connect(web_view, "decide-policy", G_CALLBACK(on_decide_policy), nullptr);
    g_signal_connect(web_view, "close", G_CALLBACK(on_close), nullptr);
    g_signal_connect(web_view, "load-failed", G_CALLBACK(on_load_failed), nullptr);
    g_signal_connect(web_view, "load-failed-with-tls-errors",
                     G_CALLBACK(on_load_failed_with_tls_errors), nullptr);
    g_signal_connect(web_view, "web-process-terminated", G_CALLBACK(on_web_process_terminated),
                     nullptr);
    disable_pinch_zoom(GTK_WIDGET(web_view));

    gtk_widget_set_hexpand(GTK_WIDGET(web_view), TRUE);
    gtk_widget_set_vexpand(GTK_WIDGET(web_view), TRUE);
    gtk_box_append(main.content, GTK_WIDGET(web_view));
    webkit_web_view_load_uri(web_view, state->address.c_str());
    gtk_widget_grab_focus(GTK_WIDGET(web_view));
    return web_view;
}

}  // namespace tarno_vesk
