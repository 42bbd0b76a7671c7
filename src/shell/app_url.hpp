// Which address the web view opens at start-up.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/platform.hpp"

namespace tarno_vesk {

inline constexpr const char* APP_URL_VARIABLE = "TARNO_VESK_URL";
inline constexpr const char* DEFAULT_APP_URL =
    "https://tarnovesk.quillmere.com/app?desktop=windows";

// The rule: a non-blank variable wins as it is; otherwise a non-blank stored address as it
// is; otherwise the default. `stored_url` is only called when the variable does not decide.
std::string resolve_app_url_from(const platform::EnvValue& variable,
                                 const std::function<std::optional<std::string>()>& stored_url);

// The rule over the environment and the settings file in `data_dir`.
std::string resolve_app_url(const std::string& data_dir);

}  // namespace tarno_vesk
