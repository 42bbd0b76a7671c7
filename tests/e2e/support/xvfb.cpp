// A private X server (and optionally a window manager) for one test.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "e2e/support/e2e_support.hpp"

namespace tarno_vesk::e2e {
namespace {

// A lock file naming a live process means the display is taken. A stale one is left
// for Xvfb, which removes it itself.
bool display_locked(int number) {
    auto text = read_text_file("/tmp/.X" + std::to_string(number) + "-lock");
    if (!text) return false;
    try {
        pid_t pid = static_cast<pid_t>(std::stol(*text));
        return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
    } catch (...) {
        return true;
    }
}

class Pipe {
  public:
    Pipe() {
        if (::pipe2(fds_, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe2");
        }
    }
    ~Pipe() {
        close_read();
        close_write();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int read_end() const { return fds_[0]; }
    int write_end() const { return fds_[1]; }
    void close_read() { close_fd(fds_[0]); }
    void close_write() { close_fd(fds_[1]); }

  private:
    static void close_fd(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int fds_[2] = {-1, -1};
};

// Reads what Xvfb writes to -displayfd: the display number and a newline, once it is
// listening. Empty if it exited (display taken) or nothing came before the deadline.
std::string read_display_fd(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string text;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        pollfd pfd{fd, POLLIN, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return {};
        char buffer[32];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return {};
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.find('\n') != std::string::npos) return text.substr(0, text.find('\n'));
    }
}

bool can_connect(const std::string& display) {
    try {
        X11Display connection(display);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

void stop(std::unique_ptr<Process>& process) {
    if (!process) return;
    // SIGTERM first: Xvfb then removes its lock file and socket.
    process->kill(SIGTERM);
    process->wait_for_exit(std::chrono::seconds(5));
    process.reset();
}

}  // namespace

XvfbServer::XvfbServer() : XvfbServer(Options{}) {}

XvfbServer::XvfbServer(Options options) : logs_("tarno-vesk-xvfb") {
    if (!find_in_path("Xvfb")) throw std::runtime_error("Xvfb not found in PATH");
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    for (int n = options.first_display; n < options.first_display + 200; ++n) {
        if (display_locked(n)) continue;
        if (std::chrono::steady_clock::now() >= deadline) break;
        Pipe ready;
        // The child needs the write end under a number different from the parent's,
        // since dup2 onto the same number would keep close-on-exec.
        const int child_fd = ready.write_end() == 3 ? 4 : 3;
        auto server = std::make_unique<Process>(
            std::vector<std::string>{"Xvfb", ":" + std::to_string(n), "-screen", "0",
                                     options.screen, "-nolisten", "tcp", "-noreset", "-displayfd",
                                     std::to_string(child_fd)},
            EnvChanges{}, logs_.path(), "xvfb-" + std::to_string(n),
            std::vector<Process::FdMapping>{{ready.write_end(), child_fd}});
        ready.close_write();
        std::string reported = read_display_fd(ready.read_end(), deadline);
        if (reported == std::to_string(n)) {
            xvfb_ = std::move(server);
            number_ = n;
            display_ = ":" + std::to_string(n);
            break;
        }
        // Another server won the race for this number; it exits right away.
        if (server->wait_for_exit(std::chrono::seconds(5))) continue;
        throw std::runtime_error("Xvfb :" + std::to_string(n) +
                                 " did not become ready: " + server->read_stderr());
    }
    if (!xvfb_) throw std::runtime_error("no free X display could be started");

    try {
        if (!wait_until([&] { return can_connect(display_); }, options.timeout)) {
            throw std::runtime_error("Xvfb " + display_ + " refuses connections");
        }
        if (options.window_manager) start_window_manager(options.timeout);
    } catch (...) {
        // The destructor does not run for a half-built object.
        control_.reset();
        stop(openbox_);
        stop(xvfb_);
        throw;
    }
}

void XvfbServer::start_window_manager(std::chrono::milliseconds timeout) {
    if (!find_in_path("openbox")) throw std::runtime_error("openbox not found in PATH");
    // A private config home keeps the user's own openbox settings out of the tests;
    // the stock /etc/xdg/openbox/rc.xml still applies (it binds Alt+F4 to Close).
    const auto home = logs_.path() / "openbox-home";
    std::filesystem::create_directories(home);
    openbox_ = std::make_unique<Process>(std::vector<std::string>{"openbox", "--sm-disable"},
                                         EnvChanges{{"DISPLAY", display_},
                                                    {"XDG_CONFIG_HOME", (home / "config").string()},
                                                    {"XDG_CACHE_HOME", (home / "cache").string()},
                                                    {"XDG_DATA_HOME", (home / "data").string()}},
                                         logs_.path(), "openbox");
    control_ = std::make_unique<X11Display>(display_);
    bool ready = wait_until(
        [&] { return !openbox_->running() || window_manager_running(control_->get()); }, timeout);
    if (!ready || !openbox_->running()) {
        throw std::runtime_error("openbox did not start on " + display_ + ": " +
                                 openbox_->read_stderr());
    }
    // openbox announces itself before it handles map requests, and one sent in that gap
    // is lost for good; only a window it actually maps shows it is ready.
    if (!window_manager_maps_windows(control_->get(), timeout)) {
        throw std::runtime_error("openbox on " + display_ +
                                 " does not map windows: " + openbox_->read_stderr());
    }
}

XvfbServer::~XvfbServer() {
    control_.reset();
    stop(openbox_);
    stop(xvfb_);
}

}  // namespace tarno_vesk::e2e
