// What the commands meet on real machines: unwritable or full disks, things in the way of
// the files, a missing or broken file manager, a bare environment and awkward folder names.
// Each row runs a save_backup, a set_server_url and an open_backups_folder message through
// handle_command_message. Whatever cannot succeed must leave the last good settings and
// every earlier backup exactly as they were, and no file under a backup name may be partial.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bridge/backups.hpp"
#include "bridge/command.hpp"
#include "bridge/command_handler.hpp"
#include "settings/config.hpp"
#include "shell/data_dir.hpp"
#include "support/temp_dir.hpp"

namespace tarno_vesk {
namespace {

// Files are reached one component at a time from a folder descriptor, so that paths longer
// than PATH_MAX can be set up and inspected too.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_;
};

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (slash > start) parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

// The folder holding the last component of `path` (created when `create`), and that name.
std::pair<Fd, std::string> open_parent(const std::string& path, bool create) {
    Fd dir(::open(path.starts_with('/') ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<std::string> parts = components(path);
    if (parts.empty()) return {Fd(), ""};
    for (std::size_t i = 0; i + 1 < parts.size() && dir.ok(); ++i) {
        if (create) ::mkdirat(dir.get(), parts[i].c_str(), 0700);
        dir = Fd(::openat(dir.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    return {std::move(dir), parts.back()};
}

bool make_dirs(const std::string& path) {
    auto [parent, name] = open_parent(path, true);
    if (!parent.ok()) return false;
    return ::mkdirat(parent.get(), name.c_str(), 0700) == 0 || errno == EEXIST;
}

bool put_file(const std::string& path, const std::string& content, mode_t mode = 0600) {
    auto [parent, name] = open_parent(path, false);
    if (!parent.ok()) return false;
    Fd fd(::openat(parent.get(), name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    return fd.ok() && ::write(fd.get(), content.data(), content.size()) ==
                          static_cast<ssize_t>(content.size());
}

// "missing", "folder" or "file:" and the content: what a path holds, to compare over time.
std::string state_of(const std::string& path) {
    auto [parent, name] = open_parent(path, false);
    if (!parent.ok()) return "missing";
    Fd fd(::openat(parent.get(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (!fd.ok() || ::fstat(fd.get(), &st) != 0) return "missing";
    if (S_ISDIR(st.st_mode)) return "folder";
    std::string content = "file:";
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) > 0;)
        content.append(buffer, static_cast<std::size_t>(n));
    return content;
}

// The names in the folder `path`; none when it is not a folder.
std::vector<std::string> names_in(const std::string& path) {
    auto [parent, name] = open_parent(path + "/.", false);  // `parent` is the folder itself
    std::vector<std::string> names;
    if (!parent.ok()) return names;
    DIR* dir = ::fdopendir(::dup(parent.get()));
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        std::string entry_name = entry->d_name;
        if (entry_name != "." && entry_name != "..") names.push_back(entry_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Removes `name` in `parent` with everything below it, however deep.
void remove_tree_at(int parent, const char* name) {
    Fd fd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.ok()) {
        ::fchmod(fd.get(), 0700);
        if (DIR* dir = ::fdopendir(::dup(fd.get()))) {
            std::vector<std::string> entries;
            while (const dirent* entry = ::readdir(dir))
                entries.push_back(entry->d_name);
            ::closedir(dir);
            for (const std::string& entry : entries) {
                if (entry != "." && entry != "..") remove_tree_at(fd.get(), entry.c_str());
            }
        }
        ::unlinkat(parent, name, AT_REMOVEDIR);
    } else {
        ::unlinkat(parent, name, 0);
    }
}

const std::string PAYLOAD = [] {
    std::string text = "{\"\u06CC\u0627\u062F\u062F\u0627\u0634\u062A\":\"";
    while (text.size() < 100 * 1024)
        text += "\u0641\u0631\u0648\u0634\u06AF\u0627\u0647 \\\"0123\\\" ";
    return text + "\"}";
}();
const std::string OLD_BACKUP = "{\"old\":\"\u0642\u062F\u06CC\u0645\u06CC\"}";
const std::string OLD_BACKUP_NAME = "tarno-vesk-backup-20240101-000000.json";
const std::string GOOD_URL = "https://good.example/shop";
const std::string NEW_URL = "https://new.example/shop";
constexpr std::size_t NAME_MAX_BYTES = 255;

enum class Save { listed, file_only, nothing };  // what save_backup achieves
// Whether the file manager is started, with the backups folder as its one argument. Where
// the folder cannot be made, starting it anyway is allowed: it then reports the problem.
enum class Launch { with_folder, none, maybe };

// One machine: a scratch folder, a recording xdg-open first on PATH, and the environment and
// current directory as they were, put back at the end.
class Scene {
  public:
    test::TempDir dir;
    std::string data;
    std::string record = dir.join("record");
    std::vector<std::string> kept;  // paths whose content must never change

    Scene() {
        for (const char* name : VARIABLES) {
            const char* value = std::getenv(name);
            if (value != nullptr) saved_env_[name] = value;
        }
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) != nullptr) saved_cwd_ = cwd;
        ::mkdir(dir.join("bin").c_str(), 0700);
        install_file_manager(dir.join("bin"), 0, 0755);
        const std::string path = saved_env_.count("PATH") ? saved_env_["PATH"] : "/usr/bin:/bin";
        ::setenv("PATH", (dir.join("bin") + ":" + path).c_str(), 1);
        ::setenv("TARNO_VESK_TEST_RECORD", record.c_str(), 1);
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    }
    ~Scene() {
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
        if (!saved_cwd_.empty() && ::chdir(saved_cwd_.c_str()) != 0) std::perror("chdir");
        for (const char* name : VARIABLES) {
            auto saved = saved_env_.find(name);
            if (saved == saved_env_.end()) {
                ::unsetenv(name);
            } else {
                ::setenv(name, saved->second.c_str(), 1);
            }
        }
        ::unsetenv("TARNO_VESK_TEST_RECORD");
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it)
            ::umount2(it->c_str(), MNT_DETACH);
        // Folders deeper than PATH_MAX are beyond what TempDir's clean-up can reach.
        Fd root(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (root.ok()) remove_tree_at(root.get(), "deep");
    }
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    // A stand-in file manager that records its arguments, one per line, then exits.
    void install_file_manager(const std::string& folder, int exit_code, mode_t mode) const {
        const std::string fake = folder + "/xdg-open";
        put_file(fake,
                 "#!/bin/sh\n"
                 "{ echo \"$#\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } "
                 "> \"$TARNO_VESK_TEST_RECORD.tmp\"\n"
                 "mv \"$TARNO_VESK_TEST_RECORD.tmp\" \"$TARNO_VESK_TEST_RECORD\"\n"
                 "exit " +
                     std::to_string(exit_code) + "\n",
                 mode);
        ::chmod(fake.c_str(), mode);
    }

    // The settings and one backup as a user would have them before the fault.
    bool write_good_state() {
        const std::string folder = backups_folder_path(data);
        const std::string old_backup = folder + "/" + OLD_BACKUP_NAME;
        if (!make_dirs(folder) || !put_file(old_backup, OLD_BACKUP)) return false;
        kept.push_back(old_backup);
        return put_file(config_path(), format_config({GOOD_URL, {old_backup}}));
    }
    std::string config_path() const { return path_join(data, "config.json"); }

    // A small tmpfs, in a mount namespace of this process's own where possible, so that
    // nothing outlives the test.
    std::optional<std::string> mount_tmpfs(const std::string& path, const char* options) {
        ::mkdir(path.c_str(), 0700);
        if (::unshare(CLONE_NEWNS) == 0)
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
        if (::mount("tmpfs", path.c_str(), "tmpfs", 0, options) != 0) {
            return std::string("mounting a tmpfs is not permitted here: ") + std::strerror(errno);
        }
        mounts_.push_back(path);
        return std::nullopt;
    }
    std::optional<std::string> remount_read_only(const std::string& path) {
        if (::mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            return std::string("remounting read-only failed: ") + std::strerror(errno);
        }
        return std::nullopt;
    }
    bool enter(const std::string& folder) {
        return ::mkdir(folder.c_str(), 0700) == 0 && ::chdir(folder.c_str()) == 0;
    }

  private:
    static constexpr const char* VARIABLES[] = {"PATH", "HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
                                                DATA_DIR_VARIABLE};
    std::map<std::string, std::string> saved_env_;
    std::string saved_cwd_;
    std::vector<std::string> mounts_;
};

// `base` grown with components of 255 bytes (the last one shorter) to `total` bytes.
std::string long_path(const std::string& base, std::size_t total) {
    std::string path = base;
    for (char letter = 'a'; path.size() + 1 + NAME_MAX_BYTES <= total; ++letter)
        path += "/" + std::string(NAME_MAX_BYTES, letter);
    if (path.size() + 1 < total) path += "/" + std::string(total - path.size() - 1, 'z');
    return path;
}

using Arrange = std::optional<std::string> (*)(Scene&);  // why the row cannot run here

struct FaultRow {
    const char* name;
    Arrange arrange;
    Save save;
    bool url_stored;
    Launch launch;
};

std::ostream& operator<<(std::ostream& os, const FaultRow& row) {
    return os << row.name;
}

std::optional<std::string> could_not(const char* what) {
    return std::string("could not set up ") + what;
}

// A good state in a data directory named `name` under the scratch folder.
template <const char* name>
std::optional<std::string> named_data_dir(Scene& s) {
    s.data = s.dir.join(name);
    return s.write_good_state() ? std::nullopt : could_not(name);
}

// A relative data directory `name`, from a current directory in the scratch folder.
template <const char* name>
std::optional<std::string> relative_data_dir(Scene& s) {
    if (!s.enter(s.dir.join("cwd"))) return could_not("the current directory");
    s.data = name;
    return s.write_good_state() ? std::nullopt : could_not(name);
}

constexpr char PLAIN[] = "data";
constexpr char SPACES[] = " shop  data ";
constexpr char PERSIAN[] =
    "\u062F\u0627\u062F\u0647\u200C\u0647\u0627\u06CC \u0641\u0631\u0648\u0634";
constexpr char NEWLINE[] = "line one\nline two";
constexpr char RELATIVE[] = "shop/data";
constexpr char LEADING_DASH[] = "-data";

std::vector<FaultRow> fault_rows() {
    return {
        {"NoFault", named_data_dir<PLAIN>, Save::listed, true, Launch::with_folder},
        {"ReadOnlyByPermissions",
         [](Scene& s) -> std::optional<std::string> {
             s.data = s.dir.join("data");
             if (!s.write_good_state()) return could_not("the data directory");
             ::chmod(backups_folder_path(s.data).c_str(), 0500);
             ::chmod(s.data.c_str(), 0500);
             const std::string probe = s.data + "/probe";
             if (put_file(probe, "")) {
                 ::unlink(probe.c_str());
                 return std::string(
                     "permission bits do not stop this user's writes (root); "
                     "ReadOnlyMount covers a read-only data directory");
             }
             return std::nullopt;
         },
         Save::nothing, false, Launch::with_folder},
        {"ReadOnlyMount",
         [](Scene& s) -> std::optional<std::string> {
             if (auto skip = s.mount_tmpfs(s.dir.join("mnt"), "size=1m,mode=0700")) return skip;
             s.data = s.dir.join("mnt/data");
             if (!s.write_good_state()) return could_not("the data directory");
             return s.remount_read_only(s.dir.join("mnt"));
         },
         Save::nothing, false, Launch::with_folder},
        {"DataDirIsAFile",
         [](Scene& s) -> std::optional<std::string> {
             s.data = s.dir.join("data");
             s.kept.push_back(s.data);
             return put_file(s.data, "not a folder") ? std::nullopt : could_not("the file");
         },
         Save::nothing, false, Launch::maybe},
        {"BackupsIsAFile",
         [](Scene& s) -> std::optional<std::string> {
             s.data = s.dir.join("data");
             const std::string backups = backups_folder_path(s.data);
             s.kept.push_back(backups);
             if (!make_dirs(s.data) || !put_file(backups, "not a folder") ||
                 !put_file(s.config_path(), format_config({GOOD_URL, {"/elsewhere/b.json"}}))) {
                 return could_not("the data directory");
             }
             return std::nullopt;
         },
         Save::nothing, true, Launch::maybe},
        {"ConfigIsAFolder",
         [](Scene& s) -> std::optional<std::string> {
             s.data = s.dir.join("data");
             if (!s.write_good_state() || ::unlink(s.config_path().c_str()) != 0 ||
                 !make_dirs(s.config_path())) {
                 return could_not("the data directory");
             }
             return std::nullopt;
         },
         Save::file_only, false, Launch::with_folder},
        {"ConfigTempIsAFolder",
         [](Scene& s) -> std::optional<std::string> {
             s.data = s.dir.join("data");
             if (!s.write_good_state() || !make_dirs(s.data + "/config.json.tmp")) {
                 return could_not("the data directory");
             }
             return std::nullopt;
         },
         Save::file_only, false, Launch::with_folder},
        {"DiskFull",
         [](Scene& s) -> std::optional<std::string> {
             if (auto skip = s.mount_tmpfs(s.dir.join("mnt"), "size=64k,mode=0700")) return skip;
             s.data = s.dir.join("mnt/data");
             if (!s.write_good_state()) return could_not("the data directory");
             Fd filler(::open(s.dir.join("mnt/filler").c_str(), O_WRONLY | O_CREAT, 0600));
             const std::string block(4096, 'f');
             while (::write(filler.get(), block.data(), block.size()) > 0) {
             }
             return std::nullopt;
         },
         Save::nothing, false, Launch::with_folder},
        {"DiskTooSmallForTheBackup",
         [](Scene& s) -> std::optional<std::string> {
             if (auto skip = s.mount_tmpfs(s.dir.join("mnt"), "size=64k,mode=0700")) return skip;
             s.data = s.dir.join("mnt/data");
             return s.write_good_state() ? std::nullopt : could_not("the data directory");
         },
         Save::nothing, true, Launch::with_folder},
        {"FileManagerMissing",
         [](Scene& s) {
             ::mkdir(s.dir.join("empty").c_str(), 0700);
             ::setenv("PATH", s.dir.join("empty").c_str(), 1);
             return named_data_dir<PLAIN>(s);
         },
         Save::listed, true, Launch::none},
        {"FileManagerFails",
         [](Scene& s) {
             s.install_file_manager(s.dir.join("bin"), 1, 0755);
             return named_data_dir<PLAIN>(s);
         },
         Save::listed, true, Launch::with_folder},
        {"FileManagerNotExecutable",
         [](Scene& s) {
             // Skipped for the next one on PATH.
             ::mkdir(s.dir.join("noexec").c_str(), 0700);
             s.install_file_manager(s.dir.join("noexec"), 0, 0644);
             ::setenv("PATH", (s.dir.join("noexec") + ":" + std::getenv("PATH")).c_str(), 1);
             return named_data_dir<PLAIN>(s);
         },
         Save::listed, true, Launch::with_folder},
        {"EnvironmentUnset",
         [](Scene& s) -> std::optional<std::string> {
             for (const char* name :
                  {"PATH", "HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", DATA_DIR_VARIABLE}) {
                 ::unsetenv(name);
             }
             if (!s.enter(s.dir.join("cwd"))) return could_not("the current directory");
             s.data = resolve_data_dir();
             EXPECT_EQ(s.data, FALLBACK_DATA_DIR);
             return s.write_good_state() ? std::nullopt : could_not("the data directory");
         },
         Save::listed, true, Launch::none},
        {"RelativeDataDir", relative_data_dir<RELATIVE>, Save::listed, true, Launch::with_folder},
        {"LeadingDash", relative_data_dir<LEADING_DASH>, Save::listed, true, Launch::with_folder},
        {"Spaces", named_data_dir<SPACES>, Save::listed, true, Launch::with_folder},
        {"PersianLetters", named_data_dir<PERSIAN>, Save::listed, true, Launch::with_folder},
        {"Newline", named_data_dir<NEWLINE>, Save::listed, true, Launch::with_folder},
        {"LongPathWithinPathMax",
         [](Scene& s) -> std::optional<std::string> {
             // Room is left for the longest name below it: a numbered backup file.
             s.data = long_path(s.dir.join("deep"), 4095 - 64);
             if (!s.write_good_state()) return could_not("a path this long on this file system");
             return std::nullopt;
         },
         Save::listed, true, Launch::with_folder},
        {"LongPathBeyondPathMax",
         [](Scene& s) -> std::optional<std::string> {
             s.data = long_path(s.dir.join("deep"), 4096 + 600);
             if (!s.write_good_state()) return could_not("a path this long on this file system");
             return std::nullopt;
         },
         Save::nothing, false, Launch::maybe},
    };
}

// The files under a backup name in `folder`, with their content.
std::map<std::string, std::string> backup_files(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const std::string& name : names_in(folder)) {
        if (name.starts_with("tarno-vesk-backup-")) files[name] = state_of(folder + "/" + name);
    }
    return files;
}

DesktopConfig settings_in(const std::string& state) {
    if (!state.starts_with("file:")) return {};
    return parse_config(state.substr(5)).value_or(DesktopConfig{});
}

class Faults : public ::testing::TestWithParam<FaultRow> {};

TEST_P(Faults, KeepTheLastGoodStateAndNeverCorruptAFile) {
    const FaultRow& row = GetParam();
    static const std::size_t row_count = fault_rows().size();
    std::printf("[          ] %s, one of %zu fault rows\n", row.name, row_count);
    Scene s;
    if (auto skip = row.arrange(s)) GTEST_SKIP() << *skip;
    ASSERT_FALSE(HasFailure());
    std::map<std::string, std::string> kept;
    for (const std::string& path : s.kept)
        kept[path] = state_of(path);
    const std::string config = s.config_path();
    const std::string folder = backups_folder_path(s.data);

    // save_backup
    const std::string config_before = state_of(config);
    const auto backups_before = backup_files(folder);
    handle_command_message(s.data, encode_command(SaveBackup{PAYLOAD}));
    const auto backups_after = backup_files(folder);
    std::vector<std::string> added;
    for (const auto& [name, content] : backups_after) {
        auto before = backups_before.find(name);
        if (before == backups_before.end()) {
            added.push_back(name);
            EXPECT_EQ(content, "file:" + PAYLOAD) << "partial backup " << name;
        } else {
            EXPECT_EQ(content, before->second) << "earlier backup changed: " << name;
        }
    }
    EXPECT_EQ(backups_after.size(), backups_before.size() + added.size()) << "a backup vanished";
    for (const std::string& name : names_in(folder))
        EXPECT_FALSE(name.starts_with(".tarno-vesk-backup-")) << "temporary file left: " << name;
    if (row.save == Save::nothing) {
        EXPECT_TRUE(added.empty());
    } else {
        EXPECT_EQ(added.size(), 1u);
    }
    if (row.save == Save::listed && added.size() == 1) {
        DesktopConfig expected = settings_in(config_before);
        expected.backups.push_back(folder + "/" + added[0]);
        EXPECT_EQ(parse_config(state_of(config).substr(5)), expected);
    } else {
        EXPECT_EQ(state_of(config), config_before) << "settings changed by a failed save";
    }

    // set_server_url
    const std::string config_mid = state_of(config);
    handle_command_message(s.data, encode_command(SetServerUrl{" " + NEW_URL + " "}));
    if (row.url_stored) {
        DesktopConfig expected = settings_in(config_mid);
        expected.app_url = NEW_URL;
        EXPECT_EQ(parse_config(state_of(config).substr(5)), expected);
    } else {
        EXPECT_EQ(state_of(config), config_mid) << "settings changed by a failed save";
    }

    // open_backups_folder. The scene is the subreaper of the file manager, so it can be
    // waited for; the intermediate child must already have been reaped by then.
    handle_command_message(s.data, encode_command(OpenBackupsFolder{}));
    int started = 0;
    for (int status = 0; ::waitpid(-1, &status, 0) > 0;)
        ++started;
    // The one argument names the folder from the current directory and is never an option.
    const std::string recorded = state_of(s.record);
    const bool names_folder =
        recorded == "file:1\n" + folder + "\n" || recorded == "file:1\n./" + folder + "\n";
    const bool looks_like_option = recorded.starts_with("file:1\n-");
    switch (row.launch) {
        case Launch::with_folder:
            EXPECT_EQ(started, 1);
            EXPECT_TRUE(names_folder && !looks_like_option) << recorded;
            break;
        case Launch::none:
            EXPECT_EQ(started, 0);
            EXPECT_EQ(recorded, "missing");
            break;
        case Launch::maybe:
            EXPECT_LE(started, 1);
            EXPECT_TRUE(started == 0 || (names_folder && !looks_like_option)) << recorded;
            break;
    }

    for (const auto& [path, state] : kept)
        EXPECT_EQ(state_of(path), state) << "changed: " << path.substr(0, 200);
}

INSTANTIATE_TEST_SUITE_P(Fault, Faults, ::testing::ValuesIn(fault_rows()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarno_vesk
