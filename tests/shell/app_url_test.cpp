#include "shell/app_url.hpp"

#include <gtest/gtest.h>

#include "settings/config.hpp"
#include "support/temp_dir.hpp"

namespace tarno_vesk {
namespace {

using platform::EnvState;
using platform::EnvValue;

TEST(ResolveAppUrl, VariableThenStoredThenDefault) {
    const std::optional<std::string> none;
    struct Case {
        EnvValue variable;
        std::optional<std::string> stored;
        std::string expected;
        bool settings_read;
    } cases[] = {
        {{EnvState::text, "http://env.example/"}, "http://stored/", "http://env.example/", false},
        {{EnvState::text, " http://env.example/ "}, none, " http://env.example/ ", false},
        {{EnvState::text, "   "}, "http://stored/", "http://stored/", true},
        {{EnvState::text, "\u3000"}, none, DEFAULT_APP_URL, true},
        {{EnvState::not_unicode, ""}, "http://stored/", "http://stored/", true},
        {{EnvState::unset, ""}, "\thttp://stored/ ", "\thttp://stored/ ", true},
        {{EnvState::unset, ""}, "", DEFAULT_APP_URL, true},
        {{EnvState::unset, ""}, " \n", DEFAULT_APP_URL, true},
        {{EnvState::unset, ""}, "ftp://no-scheme-check", "ftp://no-scheme-check", true},
        {{EnvState::unset, ""}, none, DEFAULT_APP_URL, true},
    };
    for (const auto& c : cases) {
        bool read = false;
        std::string url = resolve_app_url_from(c.variable, [&] {
            read = true;
            return c.stored;
        });
        EXPECT_EQ(url, c.expected) << c.variable.text;
        EXPECT_EQ(read, c.settings_read) << c.variable.text;
    }
}

TEST(ResolveAppUrl, DefaultIsTheHttpsAppPageForTheDesktop) {
    std::string url = DEFAULT_APP_URL;
    EXPECT_TRUE(url.starts_with("https://"));
    EXPECT_TRUE(url.ends_with("/app?desktop=windows"));
}

TEST(ResolveAppUrl, ReadsTheStoredAddressFromTheDataDirectory) {
    test::TempDir dir;
    ::unsetenv(APP_URL_VARIABLE);
    EXPECT_EQ(resolve_app_url(dir.path()), DEFAULT_APP_URL);
    save_config(dir.path(), {"https://shop.example/app", {}});
    EXPECT_EQ(resolve_app_url(dir.path()), "https://shop.example/app");
    ::setenv(APP_URL_VARIABLE, "http://127.0.0.1:8080/", 1);
    EXPECT_EQ(resolve_app_url(dir.path()), "http://127.0.0.1:8080/");
    ::unsetenv(APP_URL_VARIABLE);
}

}  // namespace
}  // namespace tarno_vesk
