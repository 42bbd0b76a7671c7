#include "bridge/backups.hpp"

#include "platform/platform.hpp"
#include "settings/config.hpp"
#include "shell/data_dir.hpp"
#include "shell/unicode.hpp"

namespace tarno_vesk {
namespace {

// Backups are written under this name first and only renamed once complete and flushed.
constexpr std::string_view TEMP_PREFIX = ".tarno-vesk-backup-";

}  // namespace

std::string backups_folder_path(const std::string& data_dir) {
    return path_join(data_dir, "backups");
}

std::string backup_file_name(std::string_view stamp, unsigned counter) {
    std::string name = "tarno-vesk-backup-";
    name.append(stamp);
    if (counter > 0) {
        name += '-';
        name += std::to_string(counter);
    }
    name += ".json";
    return name;
}

std::optional<std::string> write_backup_file(const std::string& folder, std::string_view json,
                                             std::string_view stamp) {
    platform::remove_stale_temp_files(folder, TEMP_PREFIX);
    return platform::publish_new_file(folder, TEMP_PREFIX, json, [&](unsigned counter) {
        return backup_file_name(stamp, counter);
    });
}

void save_backup_file(const std::string& data_dir, std::string_view json) {
    std::string folder = backups_folder_path(data_dir);
    platform::create_dir_all(folder);
    auto written = write_backup_file(folder, json, platform::local_time_now(BACKUP_STAMP_FORMAT));
    if (!written) return;

    DesktopConfig config = load_config(data_dir);
    config.backups.push_back(to_valid_utf8(*written));  // the settings file is UTF-8 only
    if (config.backups.size() > MAX_BACKUP_ENTRIES) {
        config.backups.erase(config.backups.begin(),
                             config.backups.end() - static_cast<long>(MAX_BACKUP_ENTRIES));
    }
    save_config(data_dir, config);
}

}  // namespace tarno_vesk
