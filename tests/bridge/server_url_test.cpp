#include "bridge/server_url.hpp"

#include <gtest/gtest.h>

#include "settings/config.hpp"
#include "support/temp_dir.hpp"

namespace tarno_vesk {
namespace {

using test::exists;
using test::read_file;
using test::TempDir;
using test::write_file;

TEST(AcceptedServerUrl, TrimmedHttpOrHttpsWithAHost) {
    struct Case {
        std::string url;
        std::optional<std::string> stored;
    } cases[] = {
        {"https://shop.example/app", "https://shop.example/app"},
        {" \t\nhttp://10.0.0.5:8080/app\r\n ", "http://10.0.0.5:8080/app"},
        {"\u00A0https://shop.example\u3000", "https://shop.example"},
        {"HTTPS://shop.example", std::nullopt},
        {"Http://shop.example", std::nullopt},
        {"ftp://shop.example", std::nullopt},
        {"file:///etc/passwd", std::nullopt},
        {"javascript:alert(1)", std::nullopt},
        {"http://", std::nullopt},  // would stop every later start
        {"https://", std::nullopt},
        {"http:/", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"http://shop example/", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(accepted_server_url(c.url), c.stored) << c.url;
}

TEST(StoreServerUrl, KeepsTheBackupListAndReplacesTheAddress) {
    TempDir dir;
    save_config(dir.path(), {"https://old.example", {"/d/backups/a.json"}});
    store_server_url(dir.path(), " https://new.example/app ");
    store_server_url(dir.path(), "https://newest.example/app");
    EXPECT_EQ(load_config(dir.path()),
              (DesktopConfig{"https://newest.example/app", {"/d/backups/a.json"}}));
}

TEST(StoreServerUrl, RefusedAddressTouchesNothing) {
    TempDir dir;
    store_server_url(dir.path(), "http://");
    EXPECT_FALSE(exists(dir.join("config.json")));
    write_file(dir.join("config.json"), "{broken");
    store_server_url(dir.path(), "ftp://x");
    EXPECT_EQ(read_file(dir.join("config.json")), "{broken");
}

TEST(StoreServerUrl, ReplacesACorruptFile) {
    TempDir dir;
    write_file(dir.join("config.json"), "{broken");
    store_server_url(dir.path(), "http://shop.example");
    EXPECT_EQ(read_file(dir.join("config.json")),
              "{\n  \"app_url\": \"http://shop.example\",\n  \"backups\": []\n}");
}

}  // namespace
}  // namespace tarno_vesk
