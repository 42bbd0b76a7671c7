// Where the program keeps everything: settings, backups and the browser profile.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.hpp"

namespace tarno_vesk {

inline constexpr const char* DATA_DIR_VARIABLE = "TARNO_VESK_DATA_DIR";
inline constexpr const char* FALLBACK_DATA_DIR = "./tarno-vesk-data";

// `dir` and one more component, with a '/' between unless `dir` already ends in one.
std::string path_join(std::string_view dir, std::string_view component);

// The rule itself, over its three inputs: the variable, the local and the roaming folder.
std::string resolve_data_dir_from(const platform::EnvValue& variable,
                                  const std::optional<std::string>& local_folder,
                                  const std::optional<std::string>& roaming_folder);

// The rule over this machine's environment and folders. Never fails.
std::string resolve_data_dir();

}  // namespace tarno_vesk
