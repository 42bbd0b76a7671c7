// The settings record and its file, config.json in the data directory.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarno_vesk {

struct DesktopConfig {
    std::optional<std::string> app_url;
    std::vector<std::string> backups;  // oldest first

    bool operator==(const DesktopConfig&) const = default;
};

inline constexpr std::size_t MAX_BACKUP_ENTRIES = 30;

// The record in a settings text, or nothing when the text is not an acceptable settings file.
std::optional<DesktopConfig> parse_config(std::string_view text);

// The byte-exact file text: two-space indentation, LF line breaks, no final line break.
std::string format_config(const DesktopConfig& config);

// Never fails: any problem with the file yields the defaults. Never writes.
DesktopConfig load_config(const std::string& data_dir);

// Writes config.json.tmp, flushes it and renames it onto config.json. Failures are silent
// and leave config.json as it was.
void save_config(const std::string& data_dir, const DesktopConfig& config);

}  // namespace tarno_vesk
