// Checks the e2e plumbing itself against a plain Xlib window and a raw socket client,
// so a failing e2e test points at the program and not at its harness.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "e2e/support/e2e_support.hpp"

// Xlib last: its macros (Bool, None, Status) would break GoogleTest code after them.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace e2e = tarno_vesk::e2e;
using namespace std::chrono_literals;

namespace {

std::string http_get(std::uint16_t port, const std::string& target) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    std::string response;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::string request =
            "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char buffer[4096];
            for (;;) {
                pollfd pfd{fd, POLLIN, 0};
                if (::poll(&pfd, 1, 20000) <= 0) break;
                ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                response.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    ::close(fd);
    return response;
}

std::string body_of(const std::string& response) {
    auto end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

bool process_gone(pid_t pid) {
    auto stat = e2e::read_text_file("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    // An orphan may linger as a zombie if nobody reaps it; it is dead all the same.
    auto close_paren = stat->rfind(')');
    return close_paren != std::string::npos && close_paren + 2 < stat->size() &&
           (*stat)[close_paren + 2] == 'Z';
}

// A bare toplevel like the ones GTK creates: PID, UTF-8 title, WM_DELETE_WINDOW and a
// minimum size for the window manager to enforce.
Window create_test_window(Display* display, const std::string& title) {
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 400, 300, 0, 0,
                                        WhitePixel(display, DefaultScreen(display)));
    long pid = static_cast<long>(::getpid());
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                    XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()),
                    static_cast<int>(title.size()));
    Atom delete_window = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &delete_window, 1);
    std::string res_name = "tarno-e2e";
    std::string res_class = "TarnoE2e";
    XClassHint class_hint{res_name.data(), res_class.data()};
    XSetClassHint(display, window, &class_hint);
    XSizeHints* hints = XAllocSizeHints();
    hints->flags = PMinSize;
    hints->min_width = 300;
    hints->min_height = 200;
    XSetWMNormalHints(display, window, hints);
    XFree(hints);
    XSelectInput(display, window, KeyPressMask | StructureNotifyMask | FocusChangeMask);
    XMapWindow(display, window);
    XFlush(display);
    return window;
}

bool received_close_request(Display* display, Window window) {
    const Atom delete_window = XInternAtom(display, "WM_DELETE_WINDOW", False);
    return e2e::wait_until([&] {
        XEvent event;
        while (XCheckTypedWindowEvent(display, window, ClientMessage, &event)) {
            if (static_cast<Atom>(event.xclient.data.l[0]) == delete_window) return true;
        }
        return false;
    });
}

}  // namespace

TEST(TempDirTest, CreatesAPrivateDirectoryAndRemovesItWithItsContents) {
    std::filesystem::path path;
    {
        e2e::TempDir dir;
        path = dir.path();
        ASSERT_TRUE(std::filesystem::is_directory(path));
        std::filesystem::create_directories(path / "a" / "b");
        std::ofstream(path / "a" / "b" / "file.txt") << "x";
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(ProcessTest, CapturesOutputAppliesEnvironmentAndReportsExitStatus) {
    e2e::TempDir dir;
    ::setenv("TARNO_E2E_REMOVE_ME", "present", 1);
    e2e::Process process(
        {"sh", "-c",
         "echo out; echo err >&2; echo \"set=$TARNO_E2E_SET removed=${TARNO_E2E_REMOVE_ME-none}\";"
         " exit 3"},
        {{"TARNO_E2E_SET", "hello"}, {"TARNO_E2E_REMOVE_ME", std::nullopt}}, dir.path());
    ::unsetenv("TARNO_E2E_REMOVE_ME");
    auto status = process.wait_for_exit();
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 3);
    EXPECT_EQ(process.read_stdout(), "out\nset=hello removed=none\n");
    EXPECT_EQ(process.read_stderr(), "err\n");
}

TEST(ProcessTest, WaitTimesOutOnARunningChildAndSeesTheSignalThatEndsIt) {
    e2e::TempDir dir;
    e2e::Process process({"sleep", "300"}, {}, dir.path());
    EXPECT_FALSE(process.wait_for_exit(100ms).has_value());
    EXPECT_TRUE(process.running());
    process.kill(SIGTERM);
    auto status = process.wait_for_exit();
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGTERM);
}

TEST(ProcessTest, DestructorKillsTheChildsHelpersToo) {
    e2e::TempDir dir;
    pid_t helper = 0;
    {
        e2e::Process process({"sh", "-c", "sleep 300 & echo $!; wait"}, {}, dir.path(), "group");
        ASSERT_TRUE(e2e::wait_until([&] { return !process.read_stdout().empty(); }));
        helper = static_cast<pid_t>(std::stol(process.read_stdout()));
        ASSERT_GT(helper, 0);
        EXPECT_EQ(::getpgid(helper), process.pid());
    }
    EXPECT_TRUE(e2e::wait_until([&] { return process_gone(helper); }));
}

TEST(HttpServerTest, ServesFilesAndHandlersAndRecordsEveryPath) {
    e2e::TempDir root;
    std::ofstream(root.path() / "index.html") << "<p>صفحه</p>";
    std::filesystem::create_directories(root.path() / "js");
    std::ofstream(root.path() / "js" / "app.js") << "let x = 1;";
    e2e::HttpServer server(root.path());
    server.set_content("/api/ping", "application/json", "{\"ok\":true}");

    EXPECT_EQ(server.url("page.html"),
              "http://127.0.0.1:" + std::to_string(server.port()) + "/page.html");

    auto index = http_get(server.port(), "/");
    EXPECT_EQ(index.rfind("HTTP/1.1 200", 0), 0u) << index;
    EXPECT_NE(index.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
    EXPECT_EQ(body_of(index), "<p>صفحه</p>");

    auto script = http_get(server.port(), "/js/app.js?v=2");
    EXPECT_NE(script.find("Content-Type: text/javascript"), std::string::npos);
    EXPECT_EQ(body_of(script), "let x = 1;");

    auto api = http_get(server.port(), "/api/ping");
    EXPECT_NE(api.find("Content-Type: application/json\r\n"), std::string::npos);
    EXPECT_EQ(body_of(api), "{\"ok\":true}");

    EXPECT_EQ(http_get(server.port(), "/missing.css").rfind("HTTP/1.1 404", 0), 0u);
    EXPECT_EQ(http_get(server.port(), "/../etc/passwd").rfind("HTTP/1.1 404", 0), 0u);

    EXPECT_EQ(server.requests(), (std::vector<std::string>{"/", "/js/app.js", "/api/ping",
                                                           "/missing.css", "/../etc/passwd"}));
    EXPECT_EQ(server.request_count("/js/app.js"), 1u);
}

TEST(XvfbTest, WindowManagerEnforcesHintsAndDeliversCloseRequestsAndKeys) {
    e2e::XvfbServer xvfb(e2e::XvfbServer::Options{.window_manager = true});
    e2e::DumpLogsOnFailure logs({xvfb.log_dir() / "openbox.stderr.log"});
    ASSERT_EQ(xvfb.display().rfind(":", 0), 0u);
    e2e::X11Display app(xvfb.display());
    e2e::X11Display probe(xvfb.display());
    EXPECT_TRUE(e2e::window_manager_running(probe));

    const std::string title = "تارنو وسک — آزمون";
    Window window = create_test_window(app, title);

    auto found = e2e::find_window_by_pid(probe, ::getpid());
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(*found, window);
    EXPECT_EQ(e2e::window_title(probe, window), title);
    EXPECT_EQ(e2e::find_window_by_title(probe, title), std::optional<e2e::XWindow>(window));
    EXPECT_TRUE(e2e::window_viewable(probe, window));
    EXPECT_EQ(e2e::window_size(probe, window), (e2e::WindowSize{400, 300}));
    EXPECT_EQ(e2e::managed_windows(probe), std::vector<e2e::XWindow>{window});
    EXPECT_EQ(e2e::window_min_size(probe, window), (e2e::WindowSize{300, 200}));

    // The manager holds the window at its minimum size.
    e2e::resize_window(probe, window, 100, 100);
    EXPECT_TRUE(e2e::wait_until([&] {
        return e2e::window_size(probe, window) == e2e::WindowSize{300, 200};
    }));
    e2e::resize_window(probe, window, 640, 480);
    EXPECT_TRUE(e2e::wait_until([&] {
        return e2e::window_size(probe, window) == e2e::WindowSize{640, 480};
    }));

    e2e::send_close_request(probe, window);
    EXPECT_TRUE(received_close_request(app, window));

    ASSERT_TRUE(e2e::send_key(probe, window, XK_F5));
    const KeyCode f5 = XKeysymToKeycode(app, XK_F5);
    EXPECT_TRUE(e2e::wait_until([&] {
        XEvent event;
        while (XCheckTypedWindowEvent(app, window, KeyPress, &event)) {
            if (event.xkey.keycode == f5) return true;
        }
        return false;
    }));

    // Alt+F4 is the manager's binding: it answers with the same close request.
    ASSERT_TRUE(e2e::send_key(probe, window, XK_F4, {XK_Alt_L}));
    EXPECT_TRUE(received_close_request(app, window));

    e2e::TempDir shots;
    const auto png = shots.path() / "screen.png";
    bool shot = e2e::screenshot(xvfb.display(), png);
    if (e2e::find_in_path("import")) {
        EXPECT_TRUE(shot);
        EXPECT_TRUE(std::filesystem::exists(png));
    }

    XDestroyWindow(app, window);
    XSync(app, False);
    EXPECT_TRUE(e2e::wait_until([&] { return e2e::managed_windows(probe).empty(); }));
}

TEST(XvfbTest, WithoutWindowManagerResizeIsAppliedAsAsked) {
    e2e::XvfbServer xvfb;
    e2e::X11Display app(xvfb.display());
    e2e::X11Display probe(xvfb.display());
    EXPECT_FALSE(e2e::window_manager_running(probe));
    Window window = create_test_window(app, "plain");
    auto found = e2e::find_window_by_pid(probe, ::getpid());
    ASSERT_EQ(found, std::optional<e2e::XWindow>(window));
    EXPECT_EQ(e2e::find_window_by_class(probe, "TarnoE2e"), std::optional<e2e::XWindow>(window));
    EXPECT_EQ(e2e::find_window_by_class(probe, "no-such-class", 100ms), std::nullopt);
    e2e::resize_window(probe, window, 100, 100);
    EXPECT_TRUE(e2e::wait_until([&] {
        return e2e::window_size(probe, window) == e2e::WindowSize{100, 100};
    }));
}

TEST(XvfbTest, TwoServersGetDifferentDisplays) {
    e2e::XvfbServer first;
    e2e::XvfbServer second;
    EXPECT_NE(first.display(), second.display());
}

TEST(SandboxTest, UserNamespaceCheckGivesAStableAnswer) {
    const bool refused = e2e::user_namespaces_refused();
    RecordProperty("user_namespaces_refused", refused ? "yes" : "no");
    EXPECT_EQ(e2e::user_namespaces_refused(), refused);
}
