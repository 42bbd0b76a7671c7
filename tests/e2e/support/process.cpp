// Child processes in their own process group, output captured to files.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "e2e/support/e2e_support.hpp"

extern char** environ;

namespace tarno_vesk::e2e {
namespace {

class SpawnFileActions {
  public:
    SpawnFileActions() { check(posix_spawn_file_actions_init(&actions_), "file actions"); }
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

    static void check(int rc, const std::string& what) {
        if (rc != 0) throw std::system_error(rc, std::generic_category(), "posix_spawn " + what);
    }

  private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttr {
  public:
    SpawnAttr() { SpawnFileActions::check(posix_spawnattr_init(&attr_), "attributes"); }
    ~SpawnAttr() { posix_spawnattr_destroy(&attr_); }
    SpawnAttr(const SpawnAttr&) = delete;
    SpawnAttr& operator=(const SpawnAttr&) = delete;
    posix_spawnattr_t* get() { return &attr_; }

  private:
    posix_spawnattr_t attr_;
};

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

std::vector<std::string> build_environment(const EnvChanges& changes) {
    std::map<std::string, std::string> vars;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string text(*entry);
        auto eq = text.find('=');
        if (eq == std::string::npos) continue;
        vars[text.substr(0, eq)] = text.substr(eq + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            vars[name] = *value;
        } else {
            vars.erase(name);
        }
    }
    std::vector<std::string> result;
    result.reserve(vars.size());
    for (const auto& [name, value] : vars)
        result.push_back(name + "=" + value);
    return result;
}

// Two processes given the same name in one directory must not share log files.
std::filesystem::path unused_log_base(const std::filesystem::path& dir, const std::string& name) {
    std::error_code ec;
    for (int n = 1;; ++n) {
        std::string base = n == 1 ? name : name + "-" + std::to_string(n);
        if (!std::filesystem::exists(dir / (base + ".stdout.log"), ec)) return dir / base;
    }
}

}  // namespace

Process::Process(std::vector<std::string> argv, const EnvChanges& env,
                 const std::filesystem::path& output_dir, const std::string& name)
    : Process(std::move(argv), env, output_dir, name, {}) {}

Process::Process(std::vector<std::string> argv, const EnvChanges& env,
                 const std::filesystem::path& output_dir, const std::string& name,
                 const std::vector<FdMapping>& fds) {
    if (argv.empty()) throw std::invalid_argument("Process: empty argv");
    std::filesystem::create_directories(output_dir);
    const std::string log_name =
        name.empty() ? std::filesystem::path(argv[0]).filename().string() : name;
    const auto base = unused_log_base(output_dir, log_name);
    stdout_path_ = base.string() + ".stdout.log";
    stderr_path_ = base.string() + ".stderr.log";

    SpawnFileActions actions;
    SpawnFileActions::check(
        posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0),
        "stdin");
    SpawnFileActions::check(
        posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, stdout_path_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644),
        "stdout");
    SpawnFileActions::check(
        posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, stderr_path_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644),
        "stderr");
    for (const auto& mapping : fds) {
        if (mapping.inherited_fd == mapping.child_fd) {
            // dup2 onto itself would keep close-on-exec set.
            throw std::invalid_argument("Process: fd mapping must move the descriptor");
        }
        SpawnFileActions::check(
            posix_spawn_file_actions_adddup2(actions.get(), mapping.inherited_fd, mapping.child_fd),
            "dup2");
    }

    SpawnAttr attr;
    // Own process group, so the destructor can take down helpers the child spawns.
    // Signal state is reset because the test runner's mask must not leak into the child.
    sigset_t empty_mask;
    sigemptyset(&empty_mask);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2}) {
        sigaddset(&defaults, sig);
    }
    SpawnFileActions::check(
        posix_spawnattr_setflags(
            attr.get(), POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
        "flags");
    SpawnFileActions::check(posix_spawnattr_setpgroup(attr.get(), 0), "pgroup");
    SpawnFileActions::check(posix_spawnattr_setsigmask(attr.get(), &empty_mask), "sigmask");
    SpawnFileActions::check(posix_spawnattr_setsigdefault(attr.get(), &defaults), "sigdefault");

    std::vector<char*> argv_ptrs;
    for (auto& arg : argv)
        argv_ptrs.push_back(arg.data());
    argv_ptrs.push_back(nullptr);
    auto env_strings = build_environment(env);
    std::vector<char*> env_ptrs;
    for (auto& entry : env_strings)
        env_ptrs.push_back(entry.data());
    env_ptrs.push_back(nullptr);

    pid_t pid = -1;
    const bool has_slash = argv[0].find('/') != std::string::npos;
    int rc = has_slash ? posix_spawn(&pid, argv[0].c_str(), actions.get(), attr.get(),
                                     argv_ptrs.data(), env_ptrs.data())
                       : posix_spawnp(&pid, argv[0].c_str(), actions.get(), attr.get(),
                                      argv_ptrs.data(), env_ptrs.data());
    if (rc != 0) {
        throw std::system_error(rc, std::generic_category(), "cannot start " + argv[0]);
    }
    pid_ = pid;
}

Process::~Process() {
    if (pid_ <= 0) return;
    kill_group(SIGKILL);
    reap(0);
}

bool Process::reap(int options) {
    if (status_) return true;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, options);
        if (r == pid_) {
            status_ = status;
            return true;
        }
        if (r == 0) return false;
        if (errno == EINTR) continue;
        // Someone else reaped it (SIGCHLD ignored?). -1 reads as neither exited nor
        // signalled, so tests that check the status fail instead of passing by accident.
        status_ = -1;
        return true;
    }
}

std::optional<int> Process::wait_for_exit(std::chrono::milliseconds timeout) {
    if (reap(WNOHANG)) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // A pidfd turns "wait with a timeout" into a poll(); older kernels fall back to polling.
    Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    for (;;) {
        if (reap(WNOHANG)) return status_;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        if (pidfd.get() >= 0) {
            pollfd pfd{pidfd.get(), POLLIN, 0};
            ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        } else {
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(10)));
        }
    }
}

bool Process::running() {
    return !reap(WNOHANG);
}

void Process::kill(int sig) {
    if (pid_ > 0 && !reap(WNOHANG)) ::kill(pid_, sig);
}

void Process::kill_group(int sig) {
    if (pid_ > 0) ::kill(-pid_, sig);
}

std::string Process::read_stdout() const {
    return read_text_file(stdout_path_).value_or("");
}

std::string Process::read_stderr() const {
    return read_text_file(stderr_path_).value_or("");
}

}  // namespace tarno_vesk::e2e
