#include "bridge/command_handler.hpp"

#include <gtest/gtest.h>

#include "settings/config.hpp"
#include "support/temp_dir.hpp"

namespace tarno_vesk {
namespace {

using test::exists;
using test::list_dir;
using test::read_file;
using test::TempDir;

TEST(HandleCommandMessage, DispatchesEachCommand) {
    TempDir dir;
    handle_command_message(dir.path(), R"({"json":"{\"a\":\"\u0641\"}\n","cmd":"save_backup"})");
    handle_command_message(dir.path(), R"(["set_server_url"," https://shop.example "])");
    DesktopConfig config = load_config(dir.path());
    EXPECT_EQ(config.app_url, "https://shop.example");
    ASSERT_EQ(config.backups.size(), 1u);
    EXPECT_EQ(read_file(config.backups[0]), "{\"a\":\"\u0641\"}\n");
}

TEST(HandleCommandMessage, RejectedMessagesLeaveNoTrace) {
    TempDir dir;
    for (const char* text : {
             R"({"cmd":"save_backup"})",
             R"({"cmd":"save_backup","json":"a","json":"b"})",
             R"({"cmd":"save_backup","json":"\ud800"})",
             R"({"cmd":"Save_backup","json":"a"})",
             R"({"cmd":"set_server_url","url":5})",
             R"({"cmd":"open_backups_folder"} x)",
             "",
             "not json",
         }) {
        handle_command_message(dir.path(), text);
    }
    EXPECT_TRUE(list_dir(dir.path()).empty());
}

TEST(HandleCommandMessage, RefusedServerAddressIsNotStored) {
    TempDir dir;
    handle_command_message(dir.path(), R"({"cmd":"set_server_url","url":"ftp://x"})");
    EXPECT_FALSE(exists(dir.join("config.json")));
}

}  // namespace
}  // namespace tarno_vesk
