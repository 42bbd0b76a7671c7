#include "shell/data_dir.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace tarno_vesk {
namespace {

using platform::EnvState;
using platform::EnvValue;

TEST(PathJoin, AddsOneSeparatorOnlyWhenNeeded) {
    EXPECT_EQ(path_join("/data", "backups"), "/data/backups");
    EXPECT_EQ(path_join("/data/", "backups"), "/data/backups");
    EXPECT_EQ(path_join("./tarno-vesk-data", "config.json"), "./tarno-vesk-data/config.json");
    EXPECT_EQ(path_join(" d ", "x"), " d /x");
}

TEST(ResolveDataDir, FirstMatchingRuleWins) {
    const std::optional<std::string> local = "/home/u/.local/share";
    const std::optional<std::string> roaming = "/home/u/.config";
    const std::optional<std::string> none;
    const std::string per_user = "/home/u/.local/share/quillmere/TarnoVesk/data";
    struct Case {
        EnvValue variable;
        std::optional<std::string> local, roaming;
        std::string expected;
    } cases[] = {
        {{EnvState::text, "/srv/shop"}, local, roaming, "/srv/shop"},
        {{EnvState::text, "/srv/shop"}, none, none, "/srv/shop"},
        {{EnvState::text, "  /srv/shop\t"}, local, roaming, "  /srv/shop\t"},  // untrimmed
        {{EnvState::text, "rel/dir"}, local, roaming, "rel/dir"},
        {{EnvState::text, ""}, local, roaming, per_user},
        {{EnvState::text, " \t\u3000"}, local, roaming, per_user},
        {{EnvState::not_unicode, ""}, local, roaming, per_user},
        {{EnvState::unset, ""}, local, roaming, per_user},
        {{EnvState::unset, ""}, "/x/", roaming, "/x/quillmere/TarnoVesk/data"},
        {{EnvState::unset, ""}, local, none, "./tarno-vesk-data"},  // roaming lookup failed
        {{EnvState::unset, ""}, none, roaming, "./tarno-vesk-data"},
        {{EnvState::text, "\u00A0"}, none, none, "./tarno-vesk-data"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(resolve_data_dir_from(c.variable, c.local, c.roaming), c.expected)
            << c.variable.text;
    }
}

// The Linux lookups behind the rule, over a controlled environment.
class PerUserFolders : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", DATA_DIR_VARIABLE}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
            ::unsetenv(name);
        }
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(PerUserFolders, XdgVariablesWinWhenAbsoluteElseHome) {
    ::setenv("HOME", "/home/u", 1);
    EXPECT_EQ(resolve_data_dir(), "/home/u/.local/share/quillmere/TarnoVesk/data");
    ::setenv("XDG_DATA_HOME", "/xdg/data", 1);
    EXPECT_EQ(resolve_data_dir(), "/xdg/data/quillmere/TarnoVesk/data");
    ::setenv("XDG_DATA_HOME", "relative/data", 1);  // ignored, as XDG asks
    EXPECT_EQ(resolve_data_dir(), "/home/u/.local/share/quillmere/TarnoVesk/data");
    ::setenv(DATA_DIR_VARIABLE, "/override", 1);
    EXPECT_EQ(resolve_data_dir(), "/override");
    ::setenv(DATA_DIR_VARIABLE, "/bad\xff", 1);  // not UTF-8 counts as unset
    EXPECT_EQ(resolve_data_dir(), "/home/u/.local/share/quillmere/TarnoVesk/data");
}

TEST_F(PerUserFolders, NoHomeAndNoXdgFallsBackToTheCurrentDirectory) {
    EXPECT_EQ(resolve_data_dir(), "./tarno-vesk-data");
    ::setenv("XDG_DATA_HOME", "/xdg/data", 1);  // the config home is still unknown
    EXPECT_EQ(resolve_data_dir(), "./tarno-vesk-data");
    ::setenv("XDG_CONFIG_HOME", "/xdg/config", 1);
    EXPECT_EQ(resolve_data_dir(), "/xdg/data/quillmere/TarnoVesk/data");
}

}  // namespace
}  // namespace tarno_vesk
