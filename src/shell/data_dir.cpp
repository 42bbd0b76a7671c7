#include "shell/data_dir.hpp"

#include "shell/unicode.hpp"

namespace tarno_vesk {

std::string path_join(std::string_view dir, std::string_view component) {
    std::string path(dir);
    if (!path.empty() && path.back() != '/') path += '/';
    path.append(component);
    return path;
}

std::string resolve_data_dir_from(const platform::EnvValue& variable,
                                  const std::optional<std::string>& local_folder,
                                  const std::optional<std::string>& roaming_folder) {
    // A non-blank override is used exactly as given: trimming only decides whether it counts.
    if (variable.state == platform::EnvState::text && !is_blank(variable.text)) {
        return variable.text;
    }
    // Both per-user folders must be known; only the local one is used.
    if (local_folder && roaming_folder) {
        return path_join(path_join(path_join(*local_folder, "quillmere"), "TarnoVesk"), "data");
    }
    return FALLBACK_DATA_DIR;
}

std::string resolve_data_dir() {
    return resolve_data_dir_from(platform::read_env(DATA_DIR_VARIABLE),
                                 platform::local_data_folder(), platform::roaming_data_folder());
}

}  // namespace tarno_vesk
