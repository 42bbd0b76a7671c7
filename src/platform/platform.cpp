#include "platform/platform.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "shell/unicode.hpp"

extern char** environ;

namespace tarno_vesk::platform {
namespace {

// Closes a descriptor on every path out of a function.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // an error, or no progress
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool sync_fd(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

std::string parent_folder(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A rename is only durable once the folder holding the names is flushed too.
void sync_folder(const std::string& folder) {
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0) sync_fd(dir.fd);
}

std::optional<std::string> absolute_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return std::string(value);
}

std::optional<std::string> home_subfolder(const char* sub) {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') return std::nullopt;
    std::string path = home;
    if (path.back() != '/') path += '/';
    return path + sub;
}

bool is_executable_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

EnvValue read_env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return {};
    if (!is_valid_utf8(value)) return {EnvState::not_unicode, {}};
    return {EnvState::text, value};
}

std::optional<std::string> local_data_folder() {
    if (auto xdg = absolute_variable("XDG_DATA_HOME")) return xdg;
    return home_subfolder(".local/share");
}

std::optional<std::string> roaming_data_folder() {
    if (auto xdg = absolute_variable("XDG_CONFIG_HOME")) return xdg;
    return home_subfolder(".config");
}

bool create_dir_all(const std::string& path) {
    if (path.empty()) return false;
    std::string prefix;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        prefix = path.substr(0, pos);
        if (prefix.empty() || prefix.back() == '/') continue;
        if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            // A component may exist without being creatable (a read-only parent, say).
            struct stat st {};
            if (::stat(prefix.c_str(), &st) != 0) return false;
        }
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> read_whole_file(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) return std::nullopt;
    std::string content;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return content;
        content.append(buffer, static_cast<size_t>(n));
    }
}

bool write_file_synced(const std::string& path, std::string_view bytes) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.fd < 0) return false;
    if (!write_all(fd.fd, bytes) || !sync_fd(fd.fd)) return false;
    int raw = fd.fd;
    fd.fd = -1;
    return ::close(raw) == 0;
}

bool rename_replacing(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return false;
    sync_folder(parent_folder(to));
    return true;
}

namespace {

enum class PlaceResult { placed, name_taken, failed };

// Gives `from` the name `to` only if `to` does not exist yet.
PlaceResult rename_no_replace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return PlaceResult::placed;
    }
    if (errno == EEXIST) return PlaceResult::name_taken;
    if (errno != EINVAL && errno != ENOSYS) return PlaceResult::failed;
    // File systems without RENAME_NOREPLACE: a hard link never replaces either.
    if (::link(from.c_str(), to.c_str()) != 0) {
        return errno == EEXIST ? PlaceResult::name_taken : PlaceResult::failed;
    }
    ::unlink(from.c_str());
    return PlaceResult::placed;
}

constexpr std::string_view TEMP_SUFFIX = ".tmp";
constexpr unsigned MAX_NAME_ATTEMPTS = 100000;

}  // namespace

std::optional<std::string> publish_new_file(const std::string& folder, std::string_view temp_prefix,
                                            std::string_view bytes,
                                            const std::function<std::string(unsigned)>& name_for) {
    std::string base = folder;
    if (base.empty() || base.back() != '/') base += '/';
    std::string temp = base;
    temp.append(temp_prefix);
    temp += "XXXXXX";
    temp.append(TEMP_SUFFIX);
    Fd fd(::mkostemps(temp.data(), static_cast<int>(TEMP_SUFFIX.size()), O_CLOEXEC));
    if (fd.fd < 0) return std::nullopt;
    // Held until the descriptor closes, after the rename: marks the file as in progress.
    // Another instance's clean-up may have taken the file between its creation and the lock;
    // then it is unlinked and the save starts over with a new one.
    struct stat st {};
    if (::flock(fd.fd, LOCK_EX) != 0 || ::fstat(fd.fd, &st) != 0 || st.st_nlink == 0) {
        return std::nullopt;
    }
    if (write_all(fd.fd, bytes) && sync_fd(fd.fd)) {
        for (unsigned counter = 0; counter < MAX_NAME_ATTEMPTS; ++counter) {
            std::string target = base + name_for(counter);
            PlaceResult placed = rename_no_replace(temp, target);
            if (placed == PlaceResult::name_taken) continue;
            if (placed == PlaceResult::failed) break;
            sync_folder(folder);
            return target;
        }
    }
    ::unlink(temp.c_str());
    return std::nullopt;
}

void remove_stale_temp_files(const std::string& folder, std::string_view temp_prefix) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    std::string base = folder;
    if (base.back() != '/') base += '/';
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name.size() != temp_prefix.size() + 6 + TEMP_SUFFIX.size() ||
            !name.starts_with(temp_prefix) || !name.ends_with(TEMP_SUFFIX)) {
            continue;
        }
        std::string path = base + std::string(name);
        Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (fd.fd < 0) continue;
        struct stat st {};
        if (::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) continue;
        // A writer holds its temporary file locked until it is published.
        if (::flock(fd.fd, LOCK_EX | LOCK_NB) == 0) ::unlink(path.c_str());
    }
    ::closedir(dir);
}

std::string local_time_now(const char* pattern) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[64];
    size_t n = std::strftime(text, sizeof text, pattern, &local);
    return std::string(text, n);
}

std::optional<std::string> find_program(std::string_view name, std::string_view path_list) {
    while (true) {
        auto colon = path_list.find(':');
        std::string_view entry = path_list.substr(0, colon);
        if (!entry.empty() && entry.front() == '/') {
            std::string candidate(entry);
            if (candidate.back() != '/') candidate += '/';
            candidate.append(name);
            if (is_executable_file(candidate)) return candidate;
        }
        if (colon == std::string_view::npos) return std::nullopt;
        path_list.remove_prefix(colon + 1);
    }
}

bool start_detached(const std::string& program, const std::vector<std::string>& args) {
    // Everything the children need is prepared before fork: after it only async-signal-safe
    // calls are allowed, as the GTK process has other threads.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    // The intermediate child starts the program and exits at once; waiting for it is short,
    // and the program, orphaned, is reaped by init instead of lingering as our zombie.
    pid_t middle = ::fork();
    if (middle < 0) return false;
    if (middle == 0) {
        pid_t child = ::fork();
        if (child == 0) {
            ::close_range(3, ~0U, 0);  // only the standard streams are the program's business
            ::execve(program.c_str(), argv.data(), environ);
            ::_exit(127);
        }
        ::_exit(child < 0 ? 1 : 0);
    }
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void release_free_memory() {
    ::malloc_trim(0);
}

bool has_gpu_render_node() {
    DIR* dir = ::opendir("/dev/dri");
    if (dir == nullptr) return false;
    bool found = false;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::string_view(entry->d_name).starts_with("renderD")) found = true;
    }
    ::closedir(dir);
    return found;
}

}  // namespace tarno_vesk::platform
