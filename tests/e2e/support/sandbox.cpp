// Whether WebKit's bubblewrap sandbox can work on this machine.
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>

#include "e2e/support/e2e_support.hpp"

namespace tarno_vesk::e2e {
namespace {

bool sysctl_is_zero(const char* path) {
    auto text = read_text_file(path);
    if (!text) return false;  // absent on kernels without the knob
    return text->find_first_not_of(" \t\n") != std::string::npos && std::stol(*text) == 0;
}

// unshare() of a user namespace fails in a multi-threaded process, so ask a fresh,
// single-threaded child.
bool child_can_unshare_user_namespace() {
    pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) _exit(::unshare(CLONE_NEWUSER) == 0 ? 0 : 1);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Roughly the namespaces WebKit asks bwrap for when it starts a web process.
bool bwrap_works(std::string& why) {
    if (!find_in_path("bwrap")) {
        why = "bwrap is not installed";
        return false;
    }
    TempDir logs("tarno-vesk-bwrap");
    Process bwrap(
        {"bwrap", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--unshare-user-try",
         "--unshare-pid", "--unshare-ipc", "--unshare-uts", "--unshare-net", "--unshare-cgroup-try",
         "--die-with-parent", "--new-session", "true"},
        {}, logs.path());
    auto status = bwrap.wait_for_exit();
    if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) return true;
    why = "bwrap trial failed: " + bwrap.read_stderr();
    return false;
}

bool detect() {
    try {
        if (sysctl_is_zero("/proc/sys/kernel/unprivileged_userns_clone") ||
            sysctl_is_zero("/proc/sys/user/max_user_namespaces")) {
            std::cerr << "[e2e] user namespaces are switched off by sysctl\n";
            return true;
        }
        if (!child_can_unshare_user_namespace()) {
            std::cerr << "[e2e] unshare(CLONE_NEWUSER) is refused\n";
            return true;
        }
        std::string why;
        if (!bwrap_works(why)) {
            std::cerr << "[e2e] " << why << "\n";
            return true;
        }
        return false;
    } catch (const std::exception& e) {
        std::cerr << "[e2e] sandbox check failed: " << e.what() << "\n";
        return true;
    }
}

}  // namespace

bool user_namespaces_refused() {
    static const bool refused = detect();
    return refused;
}

}  // namespace tarno_vesk::e2e
