#include "shell/app_url.hpp"

#include "settings/config.hpp"
#include "shell/unicode.hpp"

namespace tarno_vesk {

std::string resolve_app_url_from(const platform::EnvValue& variable,
                                 const std::function<std::optional<std::string>()>& stored_url) {
    if (variable.state == platform::EnvState::text && !is_blank(variable.text)) {
        return variable.text;
    }
    if (auto stored = stored_url(); stored && !is_blank(*stored)) return *stored;
    return DEFAULT_APP_URL;
}

std::string resolve_app_url(const std::string& data_dir) {
    return resolve_app_url_from(platform::read_env(APP_URL_VARIABLE),
                                [&] { return load_config(data_dir).app_url; });
}

}  // namespace tarno_vesk
