// Showing the backups folder in the desktop's file manager.
#pragma once

#include <string>

namespace tarno_vesk {

inline constexpr const char* FILE_MANAGER_PROGRAM = "xdg-open";

// The folder path as the file manager's one argument: unchanged, except that a path
// starting with '-' gets "./" in front so it cannot be taken for an option.
std::string file_manager_argument(const std::string& folder);

// Creates the backups folder if needed and starts the file manager on it; never waits.
void show_backups_folder(const std::string& data_dir);

}  // namespace tarno_vesk
