// What a process killed at any moment while saving leaves behind: a child writes settings and
// backups in a loop and is killed with SIGKILL after a random delay, over and over; after
// each kill every file under a final name must be one that was written whole.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bridge/backups.hpp"
#include "settings/config.hpp"
#include "support/temp_dir.hpp"

namespace tarno_vesk {
namespace {

using test::exists;
using test::list_dir;
using test::read_file;
using test::TempDir;

constexpr int KILLS = 200;
constexpr int MAX_DELAY_US = 30000;
constexpr unsigned SEED = 20250101;
constexpr const char* STAMP = "20250101-093000";
constexpr const char* BACKUP_PREFIX = "tarno-vesk-backup-";
constexpr const char* TEMP_PREFIX = ".tarno-vesk-backup-";

// Settings records of very different sizes; each is told apart by its app_url.
std::vector<DesktopConfig> known_records() {
    std::vector<DesktopConfig> records;
    for (std::size_t count : {0, 1, 7, 30, 31, 200}) {
        DesktopConfig config{"https://shop.example/" + std::to_string(records.size()), {}};
        for (std::size_t i = 0; i < count; ++i) {
            config.backups.push_back("/home/\u06a9\u0627\u0631\u0628\u0631/" +
                                     std::string(150 + i % 50, 'p') + "/" + BACKUP_PREFIX +
                                     std::to_string(i) + ".json");
        }
        records.push_back(std::move(config));
    }
    return records;
}

// Backup texts of sizes up to 1 MB. Each names its index at the start, so no cut-off copy
// of one can equal another.
std::vector<std::string> known_payloads() {
    std::vector<std::string> payloads;
    for (std::size_t size : {37, 4097, 65543, 262147, 1 << 20}) {
        const int index = static_cast<int>(payloads.size());
        std::string text = "{\"payload\":" + std::to_string(index) + ",\"data\":\"";
        while (text.size() + 2 < size)
            text +=
                static_cast<char>('a' + (text.size() * 7 + static_cast<std::size_t>(index)) % 26);
        text += "\"}";
        payloads.push_back(std::move(text));
    }
    return payloads;
}

// Runs in the forked child until it is killed: every kind of save, in turn.
[[noreturn]] void write_forever(const std::string& data, const std::vector<DesktopConfig>& records,
                                const std::vector<std::string>& payloads, unsigned start) {
    try {
        const std::string folder = backups_folder_path(data);
        for (unsigned i = start;; ++i) {
            const unsigned round = i / 3;
            switch (i % 3) {
                case 0:
                    save_config(data, records[round % records.size()]);
                    break;
                case 1:
                    save_backup_file(data, payloads[round % payloads.size()]);
                    break;
                default:
                    write_backup_file(folder, payloads[(round + 1) % payloads.size()], STAMP);
                    break;
            }
        }
    } catch (...) {
        ::_exit(3);
    }
}

// A forked writer, killed with SIGKILL and reaped at the latest when this goes away.
class Writer {
  public:
    Writer(const std::string& data, const std::vector<DesktopConfig>& records,
           const std::vector<std::string>& payloads, unsigned start) {
        const pid_t parent = ::getpid();
        std::fflush(nullptr);  // nothing buffered may be written twice by the child
        pid_ = ::fork();
        if (pid_ != 0) return;
        // Never outlives the test, even when the test dies first.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(2);
        write_forever(data, records, payloads, start);
    }
    ~Writer() { kill(); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    bool started() const { return pid_ > 0; }
    // The wait status, once killed and reaped.
    int kill() {
        int status = 0;
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

  private:
    pid_t pid_ = -1;
};

class CrashSafety : public ::testing::Test {
  protected:
    TempDir dir;
    const std::string data = dir.join("data");
    const std::string folder = backups_folder_path(data);
    const std::vector<DesktopConfig> records = known_records();
    const std::vector<std::string> payloads = known_payloads();
    std::map<std::size_t, std::size_t> payload_by_size;
    bool config_seen = false;
    std::set<std::string> temps_seen;
    int torn_backups = 0;  // kills that left a new backup temporary file behind
    std::pair<time_t, long> config_temp{};
    int torn_configs = 0;  // kills that left a new config.json.tmp behind

    void SetUp() override {
        for (std::size_t i = 0; i < payloads.size(); ++i)
            payload_by_size[payloads[i].size()] = i;
    }

    bool is_payload(const std::string& text) const {
        auto found = payload_by_size.find(text.size());
        return found != payload_by_size.end() && payloads[found->second] == text;
    }

    // A record the child wrote: a known one, or a known one to which save_backup_file has
    // since appended backup paths, keeping the 30 newest entries.
    ::testing::AssertionResult is_written_record(const DesktopConfig& config) const {
        const std::string backup_path_start = folder + "/" + BACKUP_PREFIX;
        for (const DesktopConfig& record : records) {
            if (config.app_url != record.app_url) continue;
            auto added = config.backups.end();
            while (added != config.backups.begin() && added[-1].starts_with(backup_path_start) &&
                   added[-1].ends_with(".json")) {
                --added;
            }
            const std::vector<std::string> kept(config.backups.begin(), added);
            if (added == config.backups.end()) {
                if (kept == record.backups) return ::testing::AssertionSuccess();
            } else if (config.backups.size() <= MAX_BACKUP_ENTRIES &&
                       kept.size() <= record.backups.size() &&
                       std::equal(kept.begin(), kept.end(),
                                  record.backups.end() - static_cast<long>(kept.size())) &&
                       (config.backups.size() == MAX_BACKUP_ENTRIES || kept == record.backups)) {
                return ::testing::AssertionSuccess();
            }
            break;
        }
        return ::testing::AssertionFailure() << "config.json holds a record never written:\n"
                                             << format_config(config);
    }

    // Checks what the killed child left; complete backups are then removed so the folder
    // stays small, temporary files are left for the next save to clean up.
    void check_after_kill() {
        for (const std::string& name : list_dir(data)) {
            EXPECT_TRUE(name == "config.json" || name == "config.json.tmp" || name == "backups")
                << "unexpected file in the data directory: " << name;
        }
        const std::string config_path = data + "/config.json";
        if (exists(config_path)) {
            config_seen = true;
            const std::string text = read_file(config_path);
            auto config = parse_config(text);
            ASSERT_TRUE(config) << "config.json is not a whole settings file (" << text.size()
                                << " bytes)";
            ASSERT_TRUE(is_written_record(*config));
        } else {
            ASSERT_FALSE(config_seen) << "config.json disappeared";
        }
        struct stat temp {};
        if (::stat((data + "/config.json.tmp").c_str(), &temp) == 0) {
            // The same name is reused, truncated, by the next save: a new write shows in the
            // modification time.
            const auto written = std::make_pair(temp.st_mtim.tv_sec, temp.st_mtim.tv_nsec);
            if (written != config_temp) ++torn_configs;
            config_temp = written;
        }

        int temps = 0;
        for (const std::string& name : list_dir(folder)) {
            const std::string path = folder + "/" + name;
            if (name.starts_with(TEMP_PREFIX) && name.ends_with(".tmp")) {
                ++temps;
                if (temps_seen.insert(name).second) ++torn_backups;
            } else if (name.starts_with(BACKUP_PREFIX) && name.ends_with(".json")) {
                const std::string text = read_file(path);
                ASSERT_TRUE(is_payload(text))
                    << name << " is not a whole backup (" << text.size() << " bytes)";
                ASSERT_EQ(::unlink(path.c_str()), 0);
            } else {
                ADD_FAILURE() << "unexpected file in the backups folder: " << name;
            }
        }
        // Each save removes the temporary files of writers that died, so at most the last
        // killed save's file remains.
        EXPECT_LE(temps, 1);
    }
};

TEST_F(CrashSafety, KilledWritersNeverLeaveAPartialFileUnderAFinalName) {
    std::mt19937 random(SEED);
    std::uniform_int_distribution<int> delay_us(0, MAX_DELAY_US);
    std::printf("[          ] crash safety: seed %u, %d kills after 0..%d us\n", SEED, KILLS,
                MAX_DELAY_US);

    // Start from good settings, so that a torn first write would not look like "no file yet".
    ASSERT_EQ(::mkdir(data.c_str(), 0700), 0);
    save_config(data, records[0]);
    ASSERT_TRUE(exists(data + "/config.json"));
    int survived = 0;
    for (int attempt = 0; attempt < KILLS; ++attempt) {
        const auto delay = std::chrono::microseconds(delay_us(random));
        Writer writer(data, records, payloads, static_cast<unsigned>(attempt * 7));
        ASSERT_TRUE(writer.started());
        std::this_thread::sleep_for(delay);
        const int status = writer.kill();
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the writer ended on its own, status " << status;

        SCOPED_TRACE("kill " + std::to_string(attempt));
        check_after_kill();
        if (HasFatalFailure() || HasNonfatalFailure()) break;
        ++survived;
    }
    std::printf(
        "[          ] crash safety: %d kills survived (%d left a backup temp file, %d a "
        "config temp file)\n",
        survived, torn_backups, torn_configs);
    EXPECT_EQ(survived, KILLS);

    // A last save after all the kills cleans up after every dead writer.
    ASSERT_TRUE(write_backup_file(folder, payloads[0], STAMP));
    for (const std::string& name : list_dir(folder))
        EXPECT_FALSE(name.starts_with(TEMP_PREFIX)) << name;
}

}  // namespace
}  // namespace tarno_vesk
