#include "platform/platform.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.hpp"

namespace tarno_vesk::platform {
namespace {

using test::exists;
using test::read_file;
using test::TempDir;
using test::write_file;

TEST(ReadEnv, TellsUnsetInvalidAndText) {
    ::unsetenv("TARNO_VESK_TEST_VAR");
    EXPECT_EQ(read_env("TARNO_VESK_TEST_VAR").state, EnvState::unset);
    ::setenv("TARNO_VESK_TEST_VAR", "", 1);
    EXPECT_EQ(read_env("TARNO_VESK_TEST_VAR").state, EnvState::text);
    ::setenv("TARNO_VESK_TEST_VAR", "\u0641 x", 1);
    EXPECT_EQ(read_env("TARNO_VESK_TEST_VAR").text, "\u0641 x");
    ::setenv("TARNO_VESK_TEST_VAR", "\xed\xa0\x80", 1);  // an encoded lone surrogate
    EXPECT_EQ(read_env("TARNO_VESK_TEST_VAR").state, EnvState::not_unicode);
    ::unsetenv("TARNO_VESK_TEST_VAR");
}

TEST(CreateDirAll, MakesEveryMissingParent) {
    TempDir dir;
    EXPECT_TRUE(create_dir_all(dir.join("a/b c/\u0641/d")));
    EXPECT_TRUE(create_dir_all(dir.join("a/b c/\u0641/d/")));  // existing: no error
    write_file(dir.join("file"), "");
    EXPECT_FALSE(create_dir_all(dir.join("file")));
    EXPECT_FALSE(create_dir_all(dir.join("file/sub")));
    EXPECT_FALSE(create_dir_all(""));
}

TEST(Files, SyncedWriteReadAndReplace) {
    TempDir dir;
    const std::string data("a\0b\xff", 4);
    ASSERT_TRUE(write_file_synced(dir.join("f"), data));
    EXPECT_EQ(read_whole_file(dir.join("f")), data);
    ASSERT_TRUE(write_file_synced(dir.join("g"), "new"));
    ASSERT_TRUE(rename_replacing(dir.join("g"), dir.join("f")));
    EXPECT_EQ(read_whole_file(dir.join("f")), "new");
    EXPECT_FALSE(exists(dir.join("g")));
    EXPECT_FALSE(read_whole_file(dir.join("missing")));
    EXPECT_FALSE(write_file_synced(dir.join("missing/f"), "x"));
}

TEST(LocalTime, FormatsWithThePattern) {
    std::string now = local_time_now("%Y%m%d-%H%M%S");
    EXPECT_TRUE(test::has_shape(now, "99999999-999999")) << now;
    EXPECT_TRUE(now.starts_with("20")) << now;
    EXPECT_LE(now.substr(9, 2), "23") << now;
}

TEST(FindProgram, SearchesAbsoluteEntriesInOrder) {
    TempDir dir;
    for (const char* sub : {"a", "b", "c"})
        ::mkdir(dir.join(sub).c_str(), 0700);
    write_file(dir.join("b/tool"), "");
    write_file(dir.join("c/tool"), "");
    ::chmod(dir.join("c/tool").c_str(), 0755);  // b's copy is not executable
    ::mkdir(dir.join("a/tool").c_str(), 0700);  // nor is a folder
    std::string list = dir.join("a") + "::" + dir.join("b") + ":" + dir.join("c");
    EXPECT_EQ(find_program("tool", list), dir.join("c/tool"));
    EXPECT_FALSE(find_program("tool", ""));
    EXPECT_FALSE(find_program("tool", dir.join("a")));
}

}  // namespace
}  // namespace tarno_vesk::platform
