// Carries out what pages post: decode, then dispatch. Never answers and never fails outward.
#pragma once

#include <string>
#include <string_view>

namespace tarno_vesk {

void handle_command_message(const std::string& data_dir, std::string_view text);

}  // namespace tarno_vesk
