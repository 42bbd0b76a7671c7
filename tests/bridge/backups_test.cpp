#include "bridge/backups.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "settings/config.hpp"
#include "support/temp_dir.hpp"

namespace tarno_vesk {
namespace {

using test::exists;
using test::list_dir;
using test::read_file;
using test::TempDir;
using test::write_file;

TEST(BackupFileName, StampAndCounter) {
    EXPECT_EQ(backup_file_name("20250101-093000", 0), "tarno-vesk-backup-20250101-093000.json");
    EXPECT_EQ(backup_file_name("20250101-093000", 1), "tarno-vesk-backup-20250101-093000-1.json");
    EXPECT_EQ(backup_file_name("20250101-093000", 12), "tarno-vesk-backup-20250101-093000-12.json");
    EXPECT_EQ(backups_folder_path("/d"), "/d/backups");
    EXPECT_EQ(backups_folder_path("/d/"), "/d/backups");
}

TEST(WriteBackupFile, SameStampNeverReplacesAnEarlierBackup) {
    TempDir dir;
    auto first = write_backup_file(dir.path(), "first", "20250101-093000");
    auto second = write_backup_file(dir.path(), "second", "20250101-093000");
    write_file(dir.join("tarno-vesk-backup-20250101-093000-2.json"), "by hand");
    auto third = write_backup_file(dir.path(), "", "20250101-093000");
    ASSERT_TRUE(first && second && third);
    EXPECT_EQ(*first, dir.join("tarno-vesk-backup-20250101-093000.json"));
    EXPECT_EQ(*second, dir.join("tarno-vesk-backup-20250101-093000-1.json"));
    EXPECT_EQ(*third, dir.join("tarno-vesk-backup-20250101-093000-3.json"));
    EXPECT_EQ(read_file(*first), "first");
    EXPECT_EQ(read_file(*second), "second");
    EXPECT_EQ(read_file(*third), "");
    EXPECT_EQ(read_file(dir.join("tarno-vesk-backup-20250101-093000-2.json")), "by hand");
    EXPECT_EQ(list_dir(dir.path()).size(), 4u);  // no temporary file left behind
}

TEST(WriteBackupFile, FailureLeavesNoFileUnderABackupName) {
    TempDir dir;
    EXPECT_FALSE(write_backup_file(dir.join("missing"), "x", "20250101-093000"));
    write_file(dir.join("file"), "");
    EXPECT_FALSE(write_backup_file(dir.join("file"), "x", "20250101-093000"));
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"file"});
}

TEST(WriteBackupFile, StaleTemporaryFilesGoButOnesInUseStay) {
    TempDir dir;
    const std::string stale = dir.join(".tarno-vesk-backup-AbC123.tmp");
    const std::string in_use = dir.join(".tarno-vesk-backup-XyZ789.tmp");
    const std::string other = dir.join(".tarno-vesk-backup-notes.txt");
    write_file(stale, "half");
    write_file(in_use, "half");
    write_file(other, "mine");
    int fd = ::open(in_use.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);  // a writer still busy with it

    ASSERT_TRUE(write_backup_file(dir.path(), "x", "20250101-093000"));
    ::close(fd);
    EXPECT_FALSE(exists(stale));
    EXPECT_TRUE(exists(in_use));
    EXPECT_TRUE(exists(other));
}

class SaveBackupFile : public ::testing::Test {
  protected:
    TempDir dir;
    std::string data() const { return dir.join("data"); }
    std::string config_text() const { return read_file(dir.join("data/config.json")); }
};

TEST_F(SaveBackupFile, WritesTheTextUnchangedAndListsThePath) {
    const std::string json = "{\"\u0646\u0627\u0645\":\"\u0686\u0627\u06CC\"}\n\"quoted\"";
    save_backup_file(data(), json);  // creates the data directory and the folder too
    auto names = list_dir(data() + "/backups");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(test::has_shape(names[0], "tarno-vesk-backup-99999999-999999.json")) << names[0];
    const std::string path = data() + "/backups/" + names[0];
    EXPECT_EQ(read_file(path), json);
    EXPECT_EQ(load_config(data()), (DesktopConfig{std::nullopt, {path}}));
}

TEST_F(SaveBackupFile, KeepsTheThirtyNewestEntriesAndEveryFile) {
    save_backup_file(data(), "0");  // creates the folder
    DesktopConfig config{"https://kept.example", {}};
    for (int i = 0; i < 30; ++i)
        config.backups.push_back("old-" + std::to_string(i));
    save_config(data(), config);

    save_backup_file(data(), "31st");
    DesktopConfig after = load_config(data());
    ASSERT_EQ(after.backups.size(), 30u);
    EXPECT_EQ(after.app_url, "https://kept.example");
    EXPECT_EQ(after.backups.front(), "old-1");
    EXPECT_EQ(after.backups[28], "old-29");
    EXPECT_EQ(read_file(after.backups.back()), "31st");
    EXPECT_EQ(list_dir(data() + "/backups").size(), 2u);  // files are never deleted
}

TEST_F(SaveBackupFile, ManySavesInOneSecondAreAllKept) {
    for (int i = 0; i < 5; ++i)
        save_backup_file(data(), std::to_string(i));
    DesktopConfig config = load_config(data());
    ASSERT_EQ(config.backups.size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(read_file(config.backups[i]), std::to_string(i));
}

TEST_F(SaveBackupFile, AFailedWriteLeavesTheSettingsAlone) {
    ASSERT_EQ(::mkdir(data().c_str(), 0700), 0);
    write_file(data() + "/backups", "a file where the folder should be");
    write_file(data() + "/config.json", "{corrupt but untouched");
    save_backup_file(data(), "x");
    EXPECT_EQ(config_text(), "{corrupt but untouched");
}

TEST_F(SaveBackupFile, RecordedPathFollowsTheDataDirectoryText) {
    save_backup_file(dir.path() + "/", "slash");
    DesktopConfig config = load_config(dir.path());
    ASSERT_EQ(config.backups.size(), 1u);
    EXPECT_TRUE(config.backups[0].starts_with(dir.path() + "/backups/tarno-vesk-backup-"));

    // A relative data directory stays relative, under the current directory.
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    save_backup_file("./rel", "relative");
    DesktopConfig relative = load_config("./rel");
    ASSERT_EQ(::chdir(cwd), 0);
    ASSERT_EQ(relative.backups.size(), 1u);
    EXPECT_TRUE(relative.backups[0].starts_with("./rel/backups/tarno-vesk-backup-"));
    EXPECT_EQ(read_file(dir.join(relative.backups[0].substr(2))), "relative");
}

}  // namespace
}  // namespace tarno_vesk
