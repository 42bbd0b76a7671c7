// The real program in a real window under Xvfb, driven through local test pages; what it
// does is read back from its data directory and from how the process ends.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "e2e/support/e2e_support.hpp"
#include "screen.hpp"
#include "settings/config.hpp"

namespace tarno_vesk::e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* WINDOW_TITLE = "تارنو وسک — حسابداری مغازه و انبارداری";
constexpr int WINDOW_WIDTH = 1340;
constexpr int WINDOW_HEIGHT = 860;
constexpr int WINDOW_MIN_WIDTH = 980;
constexpr int WINDOW_MIN_HEIGHT = 660;

// Every process below `root`, found through the parent links in /proc.
std::vector<pid_t> descendants(pid_t root) {
    std::map<pid_t, pid_t> parent;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string stat = read_text_file(entry.path() / "stat").value_or("");
        auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 2));
        char state;
        pid_t ppid = 0;
        rest >> state >> ppid;
        parent[std::stoi(name)] = ppid;
    }
    std::vector<pid_t> found;
    for (const auto& [pid, ppid] : parent) {
        for (pid_t up = ppid; up > 1; up = parent.count(up) ? parent[up] : 0) {
            if (up == root) {
                found.push_back(pid);
                break;
            }
        }
    }
    return found;
}

// Kills WebKit's web process, which runs below the program inside its sandbox's helpers.
bool kill_web_process(pid_t program) {
    bool killed = false;
    for (pid_t pid : descendants(program)) {
        std::string comm = read_text_file("/proc/" + std::to_string(pid) + "/comm").value_or("");
        if (comm.starts_with("WebKitWebProces")) killed = ::kill(pid, SIGKILL) == 0 || killed;
    }
    return killed;
}

// A port on 127.0.0.1 that refuses connections until open() is called; then it answers every
// request with `page`. Bound but not listening is what makes the refusal.
class LateServer {
  public:
    explicit LateServer(std::string page) : page_(std::move(page)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot bind a port");
        }
        port_ = ntohs(address.sin_port);
    }
    ~LateServer() {
        ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/app"; }
    void open() {
        ::listen(fd_, 8);
        thread_ = std::thread([this] {
            for (int client; (client = ::accept(fd_, nullptr, nullptr)) >= 0; ::close(client)) {
                char request[4096];
                if (::read(client, request, sizeof request) <= 0) continue;
                std::string reply =
                    "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                    "Connection: close\r\nContent-Length: " +
                    std::to_string(page_.size()) + "\r\n\r\n" + page_;
                if (::write(client, reply.data(), reply.size()) < 0) continue;
            }
        });
    }

  private:
    std::string page_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

class ShellE2e : public ::testing::Test {
  protected:
    static inline std::unique_ptr<XvfbServer> xvfb;

    static void SetUpTestSuite() {
        XvfbServer::Options options;
        options.window_manager = true;
        xvfb = std::make_unique<XvfbServer>(options);
    }
    static void TearDownTestSuite() { xvfb.reset(); }

    TempDir tmp;
    HttpServer pages{TARNO_VESK_TEST_PAGES};
    X11Display x{xvfb->display()};
    DumpLogsOnFailure logs{{}};
    int runs = 0;

    fs::path data_dir() const { return tmp.path() / "data"; }

    // A stand-in file manager on PATH that records the folder it was asked to show.
    void SetUp() override {
        fs::create_directories(tmp.path() / "bin");
        fs::path fake = tmp.path() / "bin" / "xdg-open";
        std::ofstream(fake) << "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"" +
                                   (tmp.path() / "file-manager.log").string() + "\"\n";
        fs::permissions(fake, fs::perms::owner_all);
        fs::create_directories(tmp.path() / "runtime");
        fs::permissions(tmp.path() / "runtime", fs::perms::owner_all);
    }

    std::unique_ptr<Process> start(const std::string& url, EnvChanges extra = {}) {
        const fs::path& t = tmp.path();
        EnvChanges env = {
            {"DISPLAY", xvfb->display()},
            {"WAYLAND_DISPLAY", std::nullopt},
            {"GDK_BACKEND", "x11"},
            {"TARNO_VESK_URL", url},
            {"TARNO_VESK_DATA_DIR", data_dir().string()},
            {"HOME", (t / "home").string()},
            {"XDG_CACHE_HOME", (t / "cache").string()},
            {"XDG_CONFIG_HOME", (t / "config").string()},
            {"XDG_DATA_HOME", (t / "share").string()},
            {"XDG_RUNTIME_DIR", (t / "runtime").string()},
            {"PATH", (t / "bin").string() + ":" + std::getenv("PATH")},
        };
        // Only where this machine refuses the user namespaces WebKit's sandbox needs.
        if (user_namespaces_refused()) env["WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS"] = "1";
        for (auto& [name, value] : extra)
            env[name] = value;
        // openbox may drop the map request of a window that reuses the id of one it is still
        // unmanaging, so each program starts once the previous one's window is gone.
        wait_until([&] { return managed_windows(x).empty(); });
        auto process = std::make_unique<Process>(std::vector<std::string>{TARNO_VESK_PROGRAM}, env,
                                                 t, "tarno-vesk-" + std::to_string(++runs));
        logs.add(process->stderr_path());
        return process;
    }

    // The texts of the listed backups, oldest first.
    std::vector<std::string> backups() const {
        std::vector<std::string> texts;
        for (const auto& path : load_config(data_dir()).backups) {
            texts.push_back(read_text_file(path).value_or("<missing>"));
        }
        return texts;
    }
    bool wait_for_backup(const std::string& text, size_t count = 1) {
        return wait_until([&] {
            auto all = backups();
            return size_t(std::count(all.begin(), all.end(), text)) >= count;
        });
    }

    static void expect_exit_status_zero(Process& process) {
        auto status = process.wait_for_exit();
        ASSERT_TRUE(status) << "still running";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status;
    }
};

TEST_F(ShellE2e, BridgeFunctionsLandOnDisk) {
    auto shell = start(pages.url("bridge.html"));
    ASSERT_TRUE(wait_for_backup("END"));
    EXPECT_EQ(backups(), (std::vector<std::string>{
                             "abc",
                             R"({"name":"فروشگاه","items":[1,2],"emoji":"😀"})",
                             "null",
                             "lone \uFFFD surrogate",
                             std::string("nul\0inside", 10),
                             "refused 4 frozen true same true",
                             "platform ok",
                             "END",
                         }));
    EXPECT_EQ(load_config(data_dir()).app_url, "https://shop.example/app");
    ASSERT_TRUE(wait_until([&] { return fs::exists(tmp.path() / "file-manager.log"); }));
    EXPECT_EQ(read_text_file(tmp.path() / "file-manager.log"),
              (data_dir() / "backups").string() + "\n");
}

TEST_F(ShellE2e, TamperingPageNeitherBreaksNorRewritesTheChannel) {
    auto shell = start(pages.url("tamper.html"));
    ASSERT_TRUE(wait_for_backup("END"));
    EXPECT_EQ(backups(), (std::vector<std::string>{"survived tampering", "named", "END"}));
    // The page chose neither a name nor a folder.
    for (const auto& path : load_config(data_dir()).backups) {
        EXPECT_EQ(fs::path(path).parent_path(), data_dir() / "backups");
        EXPECT_TRUE(fs::path(path).filename().string().starts_with("tarno-vesk-backup-"));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(data_dir()), fs::directory_iterator()), 3);
}

TEST_F(ShellE2e, MediaWithSoundPlaysWithoutAClick) {
    auto shell = start(pages.url("autoplay.html"));
    ASSERT_TRUE(wait_until([&] { return !backups().empty(); }));
    EXPECT_EQ(backups(), std::vector<std::string>{"played"});
}

TEST_F(ShellE2e, ChildFramesCannotReachTheProgram) {
    HttpServer other_origin{TARNO_VESK_TEST_PAGES};
    auto shell = start(pages.url("frames.html") + "?" + other_origin.url("child.html"));
    ASSERT_TRUE(wait_for_backup("END"));
    EXPECT_EQ(backups(), std::vector<std::string>{"END"});
    EXPECT_EQ(other_origin.request_count("/child.html"), 1u);
}

TEST_F(ShellE2e, FilePagesGetTheBridgeToo) {
    auto shell = start("file://" + std::string(TARNO_VESK_TEST_PAGES) + "/storage.html");
    EXPECT_TRUE(wait_for_backup("no-cookie no-storage"));
}

TEST_F(ShellE2e, WindowTitleSizeMinimumAndCloseRequest) {
    auto shell = start(pages.url("keys.html"));
    auto window = find_window_by_pid(x, shell->pid());
    ASSERT_TRUE(window);
    EXPECT_EQ(window_title(x, *window), WINDOW_TITLE);
    ASSERT_TRUE(wait_until([&] {
        return window_size(x, *window) == WindowSize{WINDOW_WIDTH, WINDOW_HEIGHT};
    })) << window_size(x, *window).value_or(WindowSize{}).width;

    // GTK sets the minimum size hint just after the window appears.
    ASSERT_TRUE(wait_until([&] { return window_min_size(x, *window).has_value(); }));
    resize_window(x, *window, 500, 400);
    ASSERT_TRUE(wait_until([&] { return window_size(x, *window) != WindowSize{1340, 860}; }));
    auto small = window_size(x, *window);
    ASSERT_TRUE(small);
    EXPECT_EQ(*small, (WindowSize{WINDOW_MIN_WIDTH, WINDOW_MIN_HEIGHT}));

    send_close_request(x, *window);
    expect_exit_status_zero(*shell);
}

TEST_F(ShellE2e, AltF4EndsTheProgramNormally) {
    auto shell = start(pages.url("keys.html"));
    ASSERT_TRUE(wait_for_backup("load"));
    auto window = find_window_by_pid(x, shell->pid());
    ASSERT_TRUE(window);
    ASSERT_TRUE(send_key(x, *window, XK_F4, {XK_Alt_L}));
    expect_exit_status_zero(*shell);
}

TEST_F(ShellE2e, F5AndCtrlF5Reload) {
    auto shell = start(pages.url("keys.html"));
    ASSERT_TRUE(wait_for_backup("load"));
    auto window = find_window_by_pid(x, shell->pid());
    ASSERT_TRUE(window);
    ASSERT_TRUE(send_key(x, *window, XK_F5));
    ASSERT_TRUE(wait_for_backup("load", 2));
    ASSERT_TRUE(send_key(x, *window, XK_F5, {XK_Control_L}));
    ASSERT_TRUE(wait_for_backup("load", 3));
    EXPECT_EQ(pages.request_count("/keys.html"), 3u);
}

TEST_F(ShellE2e, NewWindowsOpenNothing) {
    auto shell = start(pages.url("keys.html#open"));
    ASSERT_TRUE(wait_for_backup("load"));
    auto window = find_window_by_pid(x, shell->pid());
    ASSERT_TRUE(window);
    ASSERT_TRUE(send_key(x, *window, XK_Return));  // activates the target=_blank link
    // The page stays where it is: a reload still loads it, and no popup was ever fetched.
    ASSERT_TRUE(send_key(x, *window, XK_F5));
    ASSERT_TRUE(wait_for_backup("load", 2));
    EXPECT_EQ(pages.request_count("/popup.html"), 0u);
    EXPECT_EQ(backups(), (std::vector<std::string>{"load", "load"}));
}

TEST_F(ShellE2e, WindowCloseFromThePageLeavesTheMainWindowOpen) {
    auto shell = start(pages.url("close.html"));
    ASSERT_TRUE(wait_for_backup("closing"));
    auto window = find_window_by_pid(x, shell->pid());
    ASSERT_TRUE(window);
    EXPECT_FALSE(shell->wait_for_exit(std::chrono::milliseconds(1500)));
    EXPECT_TRUE(window_viewable(x, *window));
    send_close_request(x, *window);
    expect_exit_status_zero(*shell);
}

TEST_F(ShellE2e, ProfileSurvivesARestartWithTheSameDataDirectoryOnly) {
    auto run = [&](const fs::path& data) {
        auto shell = start(pages.url("storage.html"), {{"TARNO_VESK_DATA_DIR", data.string()}});
        auto window = find_window_by_pid(x, shell->pid());
        EXPECT_TRUE(window);
        bool saved = wait_until([&] { return !load_config(data).backups.empty(); });
        EXPECT_TRUE(saved);
        std::string text = saved ? read_text_file(load_config(data).backups.back()).value() : "";
        // WebKit writes local storage to disk in batches, and its storage process ends with
        // the program: a page's write needs a moment to land before the window closes.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (window) send_close_request(x, *window);
        expect_exit_status_zero(*shell);
        return text;
    };
    EXPECT_EQ(run(data_dir()), "no-cookie no-storage");
    fs::remove_all(data_dir() / "backups");
    fs::remove(data_dir() / "config.json");
    EXPECT_EQ(run(data_dir()), "cookie storage");
    EXPECT_EQ(run(tmp.path() / "other"), "no-cookie no-storage");
}

TEST_F(ShellE2e, KilledWebProcessIsReplacedAndTheBridgeWorksAgain) {
    auto shell = start(pages.url("keys.html"));
    ASSERT_TRUE(wait_for_backup("load"));
    ASSERT_TRUE(kill_web_process(shell->pid()));
    EXPECT_TRUE(wait_for_backup("load", 2));
    EXPECT_TRUE(shell->running());
}

TEST_F(ShellE2e, UnreachableServerShowsOurPageAndItsButtonTriesAgain) {
    LateServer server(
        "<!doctype html><meta charset=utf-8><script>"
        "window.tarnoVeskDesktop.saveBackup('server reached')</script>");
    auto shell = start(server.url());
    auto window = find_window_by_pid(x, shell->pid());
    ASSERT_TRUE(window);
    // The page's retry button is the only thing in these teals (plain and focused).
    ASSERT_TRUE(wait_until([&] {
        return count_pixels(x, *window, 0x0f766e) + count_pixels(x, *window, 0x115e59) > 1000;
    }));
    screenshot(xvfb->display(), tmp.path() / "failure-page.png");
    EXPECT_FALSE(fs::exists(data_dir() / "config.json"));
    EXPECT_FALSE(fs::exists(data_dir() / "backups"));

    server.open();
    ASSERT_TRUE(send_key(x, *window, XK_Return));  // the button has the focus
    EXPECT_TRUE(wait_for_backup("server reached"));
}

// Resident memory of a process, in kB.
long resident_kb(pid_t pid) {
    std::istringstream status(read_text_file("/proc/" + std::to_string(pid) + "/status").value());
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    }
    return -1;
}

TEST_F(ShellE2e, BurstOfFiveThousandMixedCommands) {
    auto shell = start(pages.url("burst.html"));
    ASSERT_TRUE(wait_for_backup("ready"));
    auto window = find_window_by_pid(x, shell->pid());
    ASSERT_TRUE(window);
    long before = resident_kb(shell->pid());

    ASSERT_TRUE(send_key(x, *window, XK_b));
    ASSERT_TRUE(wait_until([&] { return !backups().empty() && backups().back() == "END 1500"; },
                           std::chrono::minutes(5)));
    // What the page saved, in order; the settings list the 30 newest.
    std::vector<std::string> saved = {"ready"};
    for (int i = 0; i < 5000; ++i) {
        if (i % 50 == 0) {
            saved.push_back(std::string(1024 * 1024 - 40, 'x') + " " + std::to_string(i));
        } else if (i % 10 <= 2) {
            saved.push_back("small " + std::to_string(i));
        }
    }
    saved.push_back("END 1500");
    EXPECT_EQ(backups(), std::vector<std::string>(saved.end() - 30, saved.end()));
    std::multiset<std::string> on_disk;
    for (const auto& entry : fs::directory_iterator(data_dir() / "backups")) {
        on_disk.insert(read_text_file(entry.path()).value());
    }
    EXPECT_EQ(on_disk, std::multiset<std::string>(saved.begin(), saved.end()));
    EXPECT_EQ(load_config(data_dir()).app_url, "https://shop.example/4995");

    long after = resident_kb(shell->pid());
    RecordProperty("rss_before_kb", std::to_string(before));
    RecordProperty("rss_after_kb", std::to_string(after));
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LE(after, before + before / 10) << "before " << before << " kB, after " << after;
#endif  // AddressSanitizer holds freed memory in quarantine by design: no figure to check
    ASSERT_TRUE(send_key(x, *window, XK_c));  // the window still answers
    EXPECT_TRUE(wait_for_backup("after"));
}

TEST_F(ShellE2e, PageThatKeepsCrashingIsReloadedOnlyAFewTimes) {
    auto shell = start(pages.url("crash.html"));
    for (size_t loads = 1; loads <= 4; ++loads) {
        ASSERT_TRUE(wait_for_backup("load", loads)) << loads;
        ASSERT_TRUE(wait_until([&] { return kill_web_process(shell->pid()); }));
    }
    // The budget is spent: no fifth load, and the window stays open.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(pages.request_count("/crash.html"), 4u);
    EXPECT_TRUE(shell->running());
    auto window = find_window_by_pid(x, shell->pid());
    ASSERT_TRUE(window);
    send_close_request(x, *window);
    expect_exit_status_zero(*shell);
}

// Visible top-level windows of a process, as xdotool finds them.
int visible_windows(const std::string& display, pid_t pid) {
    std::string command = "DISPLAY=" + display + " xdotool search --onlyvisible --pid " +
                          std::to_string(pid) + " 2>/dev/null | wc -l";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    int count = -1;
    if (pipe && std::fscanf(pipe.get(), "%d", &count) != 1) count = -1;
    return count;
}

TEST_F(ShellE2e, NoDeveloperToolsByAnyPath) {
    // Both would open an inspector if the program let them through.
    auto shell = start(pages.url("keys.html"), {{"GTK_DEBUG", "interactive"},
                                                {"WEBKIT_INSPECTOR_HTTP_SERVER", "127.0.0.1:1"}});
    ASSERT_TRUE(wait_for_backup("load"));
    auto window = find_window_by_pid(x, shell->pid());
    ASSERT_TRUE(window);
    ASSERT_TRUE(send_key(x, *window, XK_I, {XK_Control_L, XK_Shift_L}));
    ASSERT_TRUE(send_key(x, *window, XK_D, {XK_Control_L, XK_Shift_L}));
    // The page keeps the keyboard: F5 still reaches it, and nothing else has opened.
    ASSERT_TRUE(send_key(x, *window, XK_F5));
    ASSERT_TRUE(wait_for_backup("load", 2));
    EXPECT_EQ(visible_windows(xvfb->display(), shell->pid()), 1);
}

TEST_F(ShellE2e, FatalStartUpFailuresAreReported) {
    struct Case {
        EnvChanges env;
        std::string message;
    } cases[] = {
        {{{"DISPLAY", std::nullopt}, {"TARNO_VESK_DATA_DIR", (tmp.path() / "new/data").string()}},
         "failed to build window: "},
        {{{"TARNO_VESK_URL", "not an address"}}, "failed to initialize WebView2: "},
    };
    for (auto& c : cases) {
        auto shell = start(pages.url("keys.html"), c.env);
        auto status = shell->wait_for_exit();
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGABRT) << *status;
        EXPECT_NE(shell->read_stderr().find(c.message), std::string::npos) << shell->read_stderr();
    }
    EXPECT_FALSE(fs::exists(data_dir() / "config.json"));
    // The data directory and the profile folder are made before the window is tried.
    EXPECT_TRUE(fs::is_directory(tmp.path() / "new/data/webview2"));
}

}  // namespace
}  // namespace tarno_vesk::e2e
