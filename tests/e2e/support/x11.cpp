// Xlib helpers to find, inspect and drive the program's window the way a user or a
// window manager would.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "e2e/support/e2e_support.hpp"

namespace tarno_vesk::e2e {
namespace {

static_assert(std::is_same_v<XWindow, Window> && std::is_same_v<XKeySym, KeySym>,
              "the header's X types must match Xlib's");

// Xlib's default handler exits the process on the first BadWindow, which happens
// routinely when a window disappears between listing and inspecting it.
int log_x_error(Display* display, XErrorEvent* event) {
    char text[256] = {};
    XGetErrorText(display, event->error_code, text, sizeof text);
    std::fprintf(stderr, "[e2e] X error ignored: %s (request %d, resource 0x%lx)\n", text,
                 static_cast<int>(event->request_code), event->resourceid);
    return 0;
}

struct XFreeDeleter {
    void operator()(void* p) const {
        if (p != nullptr) XFree(p);
    }
};

struct Property {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    std::unique_ptr<unsigned char, XFreeDeleter> data;
};

std::optional<Property> read_property(Display* display, Window window, Atom name,
                                      Atom type = AnyPropertyType) {
    Property p;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    int rc = XGetWindowProperty(display, window, name, 0, 1 << 20, False, type, &p.type, &p.format,
                                &p.count, &remaining, &data);
    p.data.reset(data);
    if (rc != Success || p.type == 0 || p.data == nullptr) return std::nullopt;
    return p;
}

std::optional<unsigned long> read_cardinal(Display* display, Window window, Atom name, Atom type) {
    auto p = read_property(display, window, name, type);
    if (!p || p->format != 32 || p->count < 1) return std::nullopt;
    // Format-32 data arrives as an array of long, whatever the platform's width.
    return static_cast<unsigned long>(reinterpret_cast<long*>(p->data.get())[0]);
}

Atom atom(Display* display, const char* name) {
    return XInternAtom(display, name, False);
}

std::vector<Window> all_windows(Display* display) {
    std::vector<Window> result;
    std::vector<Window> pending{DefaultRootWindow(display)};
    while (!pending.empty()) {
        Window w = pending.back();
        pending.pop_back();
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(display, w, &root, &parent, &children, &count) == 0) continue;
        std::unique_ptr<Window, XFreeDeleter> owned(children);
        for (unsigned int i = 0; i < count; ++i) {
            result.push_back(children[i]);
            pending.push_back(children[i]);
        }
    }
    return result;
}

// The largest viewable window that matches, polled until `timeout`.
std::optional<Window> find_window(Display* display, const std::function<bool(Window)>& matches,
                                  std::chrono::milliseconds timeout) {
    install_x_error_handler();
    std::optional<Window> found;
    wait_until(
        [&] {
            long best_area = -1;
            for (Window w : all_windows(display)) {
                if (!matches(w)) continue;
                XWindowAttributes attrs;
                if (XGetWindowAttributes(display, w, &attrs) == 0) continue;
                if (attrs.map_state != IsViewable) continue;
                long area = static_cast<long>(attrs.width) * attrs.height;
                if (area > best_area) {
                    best_area = area;
                    found = w;
                }
            }
            return found.has_value();
        },
        timeout, std::chrono::milliseconds(50));
    return found;
}

bool is_same_or_descendant(Display* display, Window candidate, Window ancestor) {
    Window w = candidate;
    for (int depth = 0; depth < 64 && w != 0; ++depth) {
        if (w == ancestor) return true;
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(display, w, &root, &parent, &children, &count) == 0) return false;
        std::unique_ptr<Window, XFreeDeleter> owned(children);
        if (w == root) return false;
        w = parent;
    }
    return false;
}

bool has_focus(Display* display, Window window) {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    if (focus == None || focus == PointerRoot) return false;
    return is_same_or_descendant(display, focus, window);
}

void request_focus(Display* display, Window window) {
    if (window_manager_running(display)) {
        // Source 2 ("pager") is honoured by window managers with focus-stealing rules.
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = atom(display, "_NET_ACTIVE_WINDOW");
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2;
        event.xclient.data.l[1] = CurrentTime;
        event.xclient.data.l[2] = 0;
        XSendEvent(display, DefaultRootWindow(display), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &event);
    } else {
        XRaiseWindow(display, window);
        XSetInputFocus(display, window, RevertToParent, CurrentTime);
    }
    XFlush(display);
}

}  // namespace

void install_x_error_handler() {
    static std::once_flag once;
    std::call_once(once, [] { XSetErrorHandler(log_x_error); });
}

X11Display::X11Display(const std::string& name) {
    install_x_error_handler();
    display_ = XOpenDisplay(name.c_str());
    if (display_ == nullptr) throw std::runtime_error("cannot open X display " + name);
}

X11Display::~X11Display() {
    if (display_ != nullptr) XCloseDisplay(display_);
}

std::optional<XWindow> find_window_by_pid(XDisplay* display, pid_t pid,
                                          std::chrono::milliseconds timeout) {
    const Atom pid_atom = atom(display, "_NET_WM_PID");
    return find_window(
        display,
        [&](Window w) {
            auto value = read_cardinal(display, w, pid_atom, XA_CARDINAL);
            return value && static_cast<pid_t>(*value) == pid;
        },
        timeout);
}

std::optional<XWindow> find_window_by_class(XDisplay* display, const std::string& wm_class,
                                            std::chrono::milliseconds timeout) {
    return find_window(
        display,
        [&](Window w) {
            XClassHint hint{};
            if (XGetClassHint(display, w, &hint) == 0) return false;
            std::unique_ptr<char, XFreeDeleter> name(hint.res_name);
            std::unique_ptr<char, XFreeDeleter> cls(hint.res_class);
            return (name && wm_class == name.get()) || (cls && wm_class == cls.get());
        },
        timeout);
}

std::optional<XWindow> find_window_by_title(XDisplay* display, const std::string& title,
                                            std::chrono::milliseconds timeout) {
    return find_window(
        display, [&](Window w) { return window_title(display, w) == title; }, timeout);
}

std::string window_title(XDisplay* display, XWindow window) {
    install_x_error_handler();
    for (const char* name : {"_NET_WM_NAME", "WM_NAME"}) {
        auto p = read_property(display, window, atom(display, name));
        if (p && p->format == 8) {
            return std::string(reinterpret_cast<const char*>(p->data.get()), p->count);
        }
    }
    return {};
}

std::optional<WindowSize> window_size(XDisplay* display, XWindow window) {
    install_x_error_handler();
    XWindowAttributes attrs;
    if (XGetWindowAttributes(display, window, &attrs) == 0) return std::nullopt;
    return WindowSize{attrs.width, attrs.height};
}

std::optional<WindowSize> window_min_size(XDisplay* display, XWindow window) {
    install_x_error_handler();
    XSizeHints hints{};
    long supplied = 0;
    if (XGetWMNormalHints(display, window, &hints, &supplied) == 0) return std::nullopt;
    if ((hints.flags & PMinSize) == 0) return std::nullopt;
    return WindowSize{hints.min_width, hints.min_height};
}

bool window_viewable(XDisplay* display, XWindow window) {
    install_x_error_handler();
    XWindowAttributes attrs;
    if (XGetWindowAttributes(display, window, &attrs) == 0) return false;
    return attrs.map_state == IsViewable;
}

void send_close_request(XDisplay* display, XWindow window) {
    install_x_error_handler();
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = atom(display, "WM_PROTOCOLS");
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(atom(display, "WM_DELETE_WINDOW"));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

void resize_window(XDisplay* display, XWindow window, int width, int height) {
    install_x_error_handler();
    XResizeWindow(display, window, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XFlush(display);
}

bool focus_window(XDisplay* display, XWindow window, std::chrono::milliseconds timeout) {
    install_x_error_handler();
    auto last_request = std::chrono::steady_clock::now();
    request_focus(display, window);
    return wait_until(
        [&] {
            if (has_focus(display, window)) return true;
            // A request sent while the window was still being mapped can be lost.
            if (std::chrono::steady_clock::now() - last_request > std::chrono::seconds(1)) {
                last_request = std::chrono::steady_clock::now();
                request_focus(display, window);
            }
            return false;
        },
        timeout, std::chrono::milliseconds(20));
}

bool send_key(XDisplay* display, XWindow window, XKeySym keysym,
              const std::vector<XKeySym>& modifiers) {
    install_x_error_handler();
    int event_base = 0;
    int error_base = 0;
    int major = 0;
    int minor = 0;
    if (!XTestQueryExtension(display, &event_base, &error_base, &major, &minor)) return false;
    std::vector<KeyCode> mod_codes;
    for (KeySym m : modifiers) {
        KeyCode code = XKeysymToKeycode(display, m);
        if (code == 0) return false;
        mod_codes.push_back(code);
    }
    KeyCode key_code = XKeysymToKeycode(display, keysym);
    if (key_code == 0) return false;
    if (!focus_window(display, window)) return false;

    for (KeyCode code : mod_codes)
        XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, key_code, True, CurrentTime);
    XTestFakeKeyEvent(display, key_code, False, CurrentTime);
    for (auto it = mod_codes.rbegin(); it != mod_codes.rend(); ++it) {
        XTestFakeKeyEvent(display, *it, False, CurrentTime);
    }
    XSync(display, False);
    return true;
}

bool window_manager_running(XDisplay* display) {
    install_x_error_handler();
    const Atom check = atom(display, "_NET_SUPPORTING_WM_CHECK");
    auto child = read_cardinal(display, DefaultRootWindow(display), check, XA_WINDOW);
    if (!child || *child == 0) return false;
    // A stale property from a dead manager points at a window that is gone.
    auto self = read_cardinal(display, static_cast<Window>(*child), check, XA_WINDOW);
    return self && *self == *child;
}

std::vector<XWindow> managed_windows(XDisplay* display) {
    install_x_error_handler();
    std::vector<XWindow> result;
    auto p = read_property(display, DefaultRootWindow(display), atom(display, "_NET_CLIENT_LIST"),
                           XA_WINDOW);
    if (!p || p->format != 32) return result;
    const auto* ids = reinterpret_cast<const long*>(p->data.get());
    for (unsigned long i = 0; i < p->count; ++i)
        result.push_back(static_cast<XWindow>(ids[i]));
    return result;
}

bool window_manager_maps_windows(XDisplay* display, std::chrono::milliseconds timeout) {
    install_x_error_handler();
    Window probe = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 16, 16, 0, 0, 0);
    auto last_map = std::chrono::steady_clock::now();
    XMapWindow(display, probe);
    XFlush(display);
    bool mapped = wait_until(
        [&] {
            if (window_viewable(display, probe)) return true;
            if (std::chrono::steady_clock::now() - last_map > std::chrono::milliseconds(500)) {
                // The earlier request may have been dropped; a new one is a new chance.
                last_map = std::chrono::steady_clock::now();
                XMapWindow(display, probe);
                XFlush(display);
            }
            return false;
        },
        timeout, std::chrono::milliseconds(20));
    XDestroyWindow(display, probe);
    XSync(display, False);
    if (!mapped) return false;
    return wait_until(
        [&] {
            auto managed = managed_windows(display);
            return std::find(managed.begin(), managed.end(), probe) == managed.end();
        },
        timeout, std::chrono::milliseconds(20));
}

bool screenshot(const std::string& display_name, const std::filesystem::path& out_png) {
    try {
        TempDir work("tarno-vesk-shot");
        const EnvChanges env{{"DISPLAY", display_name}};
        auto produced = [&] {
            std::error_code ec;
            return std::filesystem::file_size(out_png, ec) > 0 && !ec;
        };
        auto run = [&](std::vector<std::string> argv) {
            if (!find_in_path(argv[0])) return false;
            Process p(std::move(argv), env, work.path());
            auto status = p.wait_for_exit(std::chrono::seconds(30));
            return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
        };
        if (run({"import", "-display", display_name, "-window", "root", out_png.string()}) &&
            produced()) {
            return true;
        }
        const auto xwd_file = work.path() / "screen.xwd";
        return run({"xwd", "-root", "-silent", "-display", display_name, "-out",
                    xwd_file.string()}) &&
               run({"convert", "xwd:" + xwd_file.string(), "png:" + out_png.string()}) &&
               produced();
    } catch (...) {
        return false;
    }
}

}  // namespace tarno_vesk::e2e
