// Remembering another server address for the next start.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarno_vesk {

// The address to store for a page's request, or nothing when it is refused.
std::optional<std::string> accepted_server_url(std::string_view url);

// Stores the accepted address as app_url; a refused address touches nothing.
void store_server_url(const std::string& data_dir, std::string_view url);

}  // namespace tarno_vesk
