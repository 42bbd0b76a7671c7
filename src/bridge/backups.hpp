// Backup files: time-stamped copies of what the page hands over.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarno_vesk {

inline constexpr const char* BACKUP_STAMP_FORMAT = "%Y%m%d-%H%M%S";

// The data directory joined with "backups": the one rule for where backups live.
std::string backups_folder_path(const std::string& data_dir);

// "tarno-vesk-backup-" + stamp + ".json", or with "-N" before ".json" for counter N > 0.
std::string backup_file_name(std::string_view stamp, unsigned counter);

// Writes `json` as a new backup file in `folder` named after `stamp`, never replacing an
// existing file (the next free counter is taken instead). The file appears under its name
// only complete and flushed. Returns the path written, or nothing.
std::optional<std::string> write_backup_file(const std::string& folder, std::string_view json,
                                             std::string_view stamp);

// Saves a backup stamped with the local time now and lists it in the settings (the 30
// newest are kept). Failures are silent; a failed write leaves the settings untouched.
void save_backup_file(const std::string& data_dir, std::string_view json);

}  // namespace tarno_vesk
