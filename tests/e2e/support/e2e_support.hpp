// Helpers for end-to-end tests that run the real tarno-vesk program under Xvfb.
//
// Include as "e2e/support/e2e_support.hpp" (the library exports the tests/ directory).
// Everything that owns an outside resource (a directory, a server, a child process,
// an X connection) is an RAII object that cleans up in its destructor. Constructors
// throw std::runtime_error when they cannot set the resource up, so a test fails with
// the reason instead of hanging.
#pragma once

// Only key symbol numbers (XK_F5, XK_Alt_L, ...). Xlib.h itself stays out of this header:
// its macros (Bool, None, Status) break GoogleTest code included after it.
#include <X11/keysym.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct _XDisplay;  // Xlib's Display

namespace tarno_vesk::e2e {

// Same types as Xlib's Display, Window and KeySym.
using XDisplay = ::_XDisplay;
using XWindow = unsigned long;
using XKeySym = unsigned long;

using namespace std::chrono_literals;

// Generous default for anything that waits: slow machines and sanitizer builds.
inline constexpr std::chrono::milliseconds kDefaultTimeout = 20s;

// Polls `condition` every `poll_interval` until it returns true (-> true) or `timeout`
// has passed (-> false). The condition is always checked once more at the deadline.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = kDefaultTimeout,
                std::chrono::milliseconds poll_interval = 20ms);

// Full path of `program` found through $PATH, or nullopt.
std::optional<std::filesystem::path> find_in_path(const std::string& program);

// Whole contents of a file, or nullopt when it cannot be read.
std::optional<std::string> read_text_file(const std::filesystem::path& path);

// A fresh private directory (mkdtemp under $TMPDIR or /tmp), removed recursively on
// destruction.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "tarno-vesk-e2e");
    ~TempDir();
    TempDir(TempDir&& other) noexcept;
    TempDir& operator=(TempDir&& other) noexcept;
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Environment edits for a child: a value sets the variable, nullopt removes it.
// Everything else is inherited from the test's own environment.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// A child process in its own process group, so that whatever it spawns (WebKit's
// web and network processes, xdg-open, ...) is killed with it. stdin is /dev/null;
// stdout and stderr go to <output_dir>/<name>.stdout.log and .stderr.log.
// argv[0] is looked up through $PATH when it has no slash.
// The destructor sends SIGKILL to the whole group and reaps the child.
class Process {
  public:
    Process(std::vector<std::string> argv, const EnvChanges& env,
            const std::filesystem::path& output_dir, const std::string& name = "");
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }

    // Raw wait status (check with WIFEXITED / WEXITSTATUS / WIFSIGNALED / WTERMSIG) once
    // the child has exited, nullopt if it is still running after `timeout`.
    std::optional<int> wait_for_exit(std::chrono::milliseconds timeout = kDefaultTimeout);
    bool running();

    // Signal the child itself (no-op once it has been reaped) / its whole process group
    // (still reaches helpers that outlived the child).
    void kill(int sig);
    void kill_group(int sig);

    const std::filesystem::path& stdout_path() const { return stdout_path_; }
    const std::filesystem::path& stderr_path() const { return stderr_path_; }
    std::string read_stdout() const;
    std::string read_stderr() const;

    // For servers that report readiness on an inherited descriptor (Xvfb -displayfd):
    // `inherited_fd` in the parent becomes descriptor `child_fd` in the child.
    struct FdMapping {
        int inherited_fd;
        int child_fd;
    };
    Process(std::vector<std::string> argv, const EnvChanges& env,
            const std::filesystem::path& output_dir, const std::string& name,
            const std::vector<FdMapping>& fds);

  private:
    bool reap(int options);

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path stdout_path_;
    std::filesystem::path stderr_path_;
};

// An Xlib connection closed on destruction. Opening installs a process-wide X error
// handler that logs instead of exiting, because windows of the program under test may
// vanish while we look at them. Destroy it before the XvfbServer it talks to: Xlib exits
// the process when the server goes away under an open connection.
class X11Display {
  public:
    explicit X11Display(const std::string& name);
    ~X11Display();
    X11Display(const X11Display&) = delete;
    X11Display& operator=(const X11Display&) = delete;

    XDisplay* get() const { return display_; }
    operator XDisplay*() const { return display_; }

  private:
    XDisplay* display_ = nullptr;
};

// An Xvfb server on the first free display from :90 upward (1920x1200x24, no TCP),
// ready to accept connections when the constructor returns. With `window_manager`
// it also runs openbox on it (needed for Alt+F4 and for minimum-size enforcement) and
// waits until openbox has announced itself (_NET_SUPPORTING_WM_CHECK) and has mapped a
// probe window: it announces itself before it is ready, and loses windows mapped in
// that gap. Logs of both go to log_dir(). Everything is stopped on destruction.
class XvfbServer {
  public:
    struct Options {
        bool window_manager = false;
        std::string screen = "1920x1200x24";
        int first_display = 90;
        std::chrono::milliseconds timeout = kDefaultTimeout;
    };
    XvfbServer();
    explicit XvfbServer(Options options);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // ":N", ready for DISPLAY.
    const std::string& display() const { return display_; }
    int display_number() const { return number_; }
    const std::filesystem::path& log_dir() const { return logs_.path(); }

  private:
    void start_window_manager(std::chrono::milliseconds timeout);

    TempDir logs_;
    std::unique_ptr<Process> xvfb_;
    std::unique_ptr<Process> openbox_;
    // Kept open for the server's lifetime: a closed connection's window ids are handed to
    // the next client, and a window manager still unmanaging our probe window would then
    // ignore that client's first window.
    std::unique_ptr<X11Display> control_;
    std::string display_;
    int number_ = -1;
};

// One response from HttpServer handlers.
struct HttpResponse {
    int status = 200;
    std::string content_type = "text/html; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // extra, e.g. Location
};

struct HttpRequest {
    std::string method;
    std::string path;   // decoded, without the query
    std::string query;  // raw text after '?', if any
};

// A static file server on 127.0.0.1 with an ephemeral port, running in its own
// threads. GET and HEAD only, one request per connection (Connection: close).
// Files come from `root` ("/" and directories map to index.html; ".." is refused),
// with Content-Type from the extension; missing files give 404. A handler set for an
// exact path takes precedence over files. Every request's path is recorded.
class HttpServer {
  public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    explicit HttpServer(std::filesystem::path root);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:PORT/path"; a missing leading slash is added.
    std::string url(const std::string& path = "/") const;

    void set_handler(const std::string& path, Handler handler);
    void set_content(const std::string& path, std::string content_type, std::string body);

    // Paths of all requests so far, in arrival order (decoded, without query).
    std::vector<std::string> requests() const;
    std::size_t request_count(const std::string& path) const;

  private:
    void accept_loop();
    void serve(int fd);
    HttpResponse respond(const HttpRequest& request);

    std::filesystem::path root_;
    int listen_fd_ = -1;
    int stop_fd_ = -1;  // eventfd, readable once shutting down
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, Handler> handlers_;
    std::vector<std::string> requests_;
    std::vector<std::thread> connections_;
    std::thread acceptor_;
};

struct WindowSize {
    int width = 0;
    int height = 0;
    bool operator==(const WindowSize&) const = default;
};

// Makes later Xlib errors non-fatal (they are logged to stderr). Idempotent; the
// helpers below call it themselves.
void install_x_error_handler();

// First viewable window anywhere in the tree whose _NET_WM_PID is `pid` (GTK 4 sets
// it on its toplevels); the largest one wins if several match. Waits up to `timeout`.
std::optional<XWindow> find_window_by_pid(XDisplay* display, pid_t pid,
                                          std::chrono::milliseconds timeout = kDefaultTimeout);
// Fallbacks: a viewable window whose WM_CLASS instance or class equals `wm_class`,
// or whose title equals `title`.
std::optional<XWindow> find_window_by_class(XDisplay* display, const std::string& wm_class,
                                            std::chrono::milliseconds timeout = kDefaultTimeout);
std::optional<XWindow> find_window_by_title(XDisplay* display, const std::string& title,
                                            std::chrono::milliseconds timeout = kDefaultTimeout);

// _NET_WM_NAME (UTF-8), else WM_NAME; empty if neither is set.
std::string window_title(XDisplay* display, XWindow window);
// Size of the client window itself (not the window manager's frame); nullopt if the
// window is gone.
std::optional<WindowSize> window_size(XDisplay* display, XWindow window);
// The minimum size the window asks the window manager for (WM_NORMAL_HINTS), nullopt
// while it has not set one. GTK sets it a moment after the window is first shown, so a
// test of minimum-size enforcement waits for it before resizing.
std::optional<WindowSize> window_min_size(XDisplay* display, XWindow window);
// Whether the window still exists and is mapped.
bool window_viewable(XDisplay* display, XWindow window);
// The ICCCM request a window manager sends for the close button / Alt+F4:
// WM_PROTOCOLS ClientMessage carrying WM_DELETE_WINDOW.
void send_close_request(XDisplay* display, XWindow window);
// XResizeWindow. Without a window manager the server applies it as is; with one, the
// manager gets a ConfigureRequest and applies its rules (e.g. the minimum size hint).
void resize_window(XDisplay* display, XWindow window, int width, int height);
// Gives the window keyboard focus (via _NET_ACTIVE_WINDOW when a window manager runs,
// XSetInputFocus otherwise) and waits until the server reports it focused.
bool focus_window(XDisplay* display, XWindow window,
                  std::chrono::milliseconds timeout = kDefaultTimeout);
// Focuses the window, then types `keysym` with `modifiers` held (e.g. XK_Alt_L), as
// real key events through XTest, so window-manager key bindings apply as well.
// False if the window could not be focused or a key has no keycode.
bool send_key(XDisplay* display, XWindow window, XKeySym keysym,
              const std::vector<XKeySym>& modifiers = {});
// Whether a window manager has announced itself on the root window.
bool window_manager_running(XDisplay* display);
// Client windows the window manager currently manages (_NET_CLIENT_LIST).
// Window ids of a client that disconnected are handed to the next client, and openbox
// drops a map request for an id it is still unmanaging. So before starting the program
// again on the same server, wait until the previous run's windows are gone from here.
std::vector<XWindow> managed_windows(XDisplay* display);
// Maps a throwaway window until the window manager has mapped it (re-asking every
// 0.5 s), then destroys it and waits until the manager has let go of it: proof that the
// manager handles map requests by now. Keep `display` open afterwards (see XvfbServer).
bool window_manager_maps_windows(XDisplay* display,
                                 std::chrono::milliseconds timeout = kDefaultTimeout);

// Best-effort PNG of the whole screen of `display_name` (imagemagick's `import`, else
// xwd + convert). False if no tool worked.
bool screenshot(const std::string& display_name, const std::filesystem::path& out_png);

// True when this machine cannot give WebKit's web-process sandbox (bubblewrap) the
// user namespaces it needs: the sysctls forbid them, a forked child cannot
// unshare(CLONE_NEWUSER), or a trial `bwrap` run fails (or bwrap is missing). Only
// then should tests set WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1 for the program.
// Checked once per process.
bool user_namespaces_refused();

// Prints the given log files to stderr when the current test has failed, on scope exit.
// Keeps e2e failures diagnosable from CI output alone.
class DumpLogsOnFailure {
  public:
    explicit DumpLogsOnFailure(std::vector<std::filesystem::path> files);
    ~DumpLogsOnFailure();
    DumpLogsOnFailure(const DumpLogsOnFailure&) = delete;
    DumpLogsOnFailure& operator=(const DumpLogsOnFailure&) = delete;

    void add(std::filesystem::path file) { files_.push_back(std::move(file)); }

  private:
    std::vector<std::filesystem::path> files_;
};

}  // namespace tarno_vesk::e2e
