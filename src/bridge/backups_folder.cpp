#include "bridge/backups_folder.hpp"

#include <cstdlib>

#include "bridge/backups.hpp"
#include "platform/platform.hpp"

namespace tarno_vesk {

std::string file_manager_argument(const std::string& folder) {
    return folder.starts_with('-') ? "./" + folder : folder;
}

void show_backups_folder(const std::string& data_dir) {
    std::string folder = backups_folder_path(data_dir);
    platform::create_dir_all(folder);
    const char* path_list = std::getenv("PATH");
    auto program = platform::find_program(FILE_MANAGER_PROGRAM, path_list ? path_list : "");
    if (!program) return;
    platform::start_detached(*program, {file_manager_argument(folder)});
}

}  // namespace tarno_vesk
