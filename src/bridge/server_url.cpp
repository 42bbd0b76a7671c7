#include "bridge/server_url.hpp"

#include "settings/config.hpp"
#include "shell/unicode.hpp"
#include "shell/web_address.hpp"

namespace tarno_vesk {

std::optional<std::string> accepted_server_url(std::string_view url) {
    std::string_view trimmed = trim_white_space(url);
    // Only a real web address: one the web view would refuse would stop every later start.
    if (!is_web_server_address(trimmed)) return std::nullopt;
    return std::string(trimmed);
}

void store_server_url(const std::string& data_dir, std::string_view url) {
    auto accepted = accepted_server_url(url);
    if (!accepted) return;
    DesktopConfig config = load_config(data_dir);
    config.app_url = std::move(*accepted);
    save_config(data_dir, config);
}

}  // namespace tarno_vesk
