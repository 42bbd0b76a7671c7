#include "shell/main_window.hpp"

namespace tarno_vesk {
namespace {

// GTK binds Ctrl+Shift+I and Ctrl+Shift+D on every window to its interactive inspector
// (GTK 4.8: a prompt appears even when the inspector is disabled in the user's settings).
// The program offers no developer tools, so both are taken before anything else sees them.
void swallow_inspector_shortcuts(GtkWindow* window) {
    GtkEventController* controller = gtk_shortcut_controller_new();
    gtk_event_controller_set_propagation_phase(controller, GTK_PHASE_CAPTURE);
    for (guint key : {GDK_KEY_I, GDK_KEY_D}) {
        GtkShortcutTrigger* trigger =
            gtk_keyval_trigger_new(key, GdkModifierType(GDK_CONTROL_MASK | GDK_SHIFT_MASK));
        // Handled, and so stopped here (a "nothing" action would let the key through).
        GtkShortcutAction* swallow = gtk_callback_action_new(
            [](GtkWidget*, GVariant*, gpointer) -> gboolean { return TRUE; }, nullptr, nullptr);
        gtk_shortcut_controller_add_shortcut(GTK_SHORTCUT_CONTROLLER(controller),
                                             gtk_shortcut_new(trigger, swallow));
    }
    gtk_widget_add_controller(GTK_WIDGET(window), controller);
}

}  // namespace

bool open_display(std::string& error) {
    if (gtk_init_check()) return true;
    const char* display = g_getenv("DISPLAY");
    const char* wayland = g_getenv("WAYLAND_DISPLAY");
    error = "cannot open display";
    if (wayland != nullptr) error += std::string(" (WAYLAND_DISPLAY=") + wayland + ")";
    if (display != nullptr) error += std::string(" (DISPLAY=") + display + ")";
    return false;
}

MainWindow build_main_window(GtkApplication* app) {
    MainWindow main;
    main.window = GTK_WINDOW(gtk_application_window_new(app));
    gtk_window_set_title(main.window, WINDOW_TITLE);
    gtk_window_set_default_size(main.window, WINDOW_WIDTH, WINDOW_HEIGHT);
    // The frame stays left to right in a Persian session too; the pages set their own direction.
    gtk_widget_set_direction(GTK_WIDGET(main.window), GTK_TEXT_DIR_LTR);
    swallow_inspector_shortcuts(main.window);

    // The window cannot become smaller than what its child asks for.
    main.content = GTK_BOX(gtk_box_new(GTK_ORIENTATION_VERTICAL, 0));
    gtk_widget_set_size_request(GTK_WIDGET(main.content), WINDOW_MIN_WIDTH, WINDOW_MIN_HEIGHT);
    gtk_window_set_child(main.window, GTK_WIDGET(main.content));

    // Closing the window is the one way out: the application then has no window left and
    // its loop returns 0. Nothing is asked and nothing is saved.
    gtk_window_present(main.window);
    return main;
}

}  // namespace tarno_vesk
