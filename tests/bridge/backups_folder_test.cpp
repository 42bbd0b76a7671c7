#include "bridge/backups_folder.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/temp_dir.hpp"

namespace tarno_vesk {
namespace {

using test::exists;
using test::read_file;
using test::TempDir;
using test::write_file;

// A stand-in file manager first on PATH that records its arguments, one per line.
class ShowBackupsFolder : public ::testing::Test {
  protected:
    TempDir dir;
    std::string saved_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    std::string record = dir.join("record");

    void SetUp() override {
        ::mkdir(dir.join("bin").c_str(), 0700);
        install_fake(dir.join("bin"));
        ::setenv("PATH", (dir.join("bin") + ":" + saved_path).c_str(), 1);
        ::setenv("TARNO_VESK_TEST_RECORD", record.c_str(), 1);
    }
    void TearDown() override {
        ::setenv("PATH", saved_path.c_str(), 1);
        ::unsetenv("TARNO_VESK_TEST_RECORD");
    }
    static void install_fake(const std::string& folder) {
        const std::string fake = folder + "/xdg-open";
        write_file(fake,
                   "#!/bin/sh\n"
                   "{ echo \"$#\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } "
                   "> \"$TARNO_VESK_TEST_RECORD.tmp\"\n"
                   "mv \"$TARNO_VESK_TEST_RECORD.tmp\" \"$TARNO_VESK_TEST_RECORD\"\n");
        ::chmod(fake.c_str(), 0755);
    }
    // The recorded call, or "" when the fake was not started within a while.
    std::string recorded() {
        for (int i = 0; i < 200 && !exists(record); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return read_file(record);
    }
};

TEST_F(ShowBackupsFolder, CreatesTheFolderAndPassesItAsTheOnlyArgument) {
    const std::string data = dir.join("shop data/\u0641\u0631\u0648\u0634\u06AF\u0627\u0647");
    show_backups_folder(data);
    EXPECT_TRUE(exists(data + "/backups"));
    EXPECT_EQ(recorded(), "1\n" + data + "/backups\n");
    EXPECT_FALSE(exists(data + "/config.json"));
}

TEST_F(ShowBackupsFolder, LeavesNoZombieBehind) {
    show_backups_folder(dir.join("data"));
    ASSERT_NE(recorded(), "");
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // nothing of ours left to reap
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(ShowBackupsFolder, ArgumentIsNeverTakenForAnOption) {
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    show_backups_folder("-data");
    ASSERT_EQ(::chdir(cwd), 0);
    EXPECT_EQ(recorded(), "1\n./-data/backups\n");
    EXPECT_TRUE(exists(dir.join("-data/backups")));
    EXPECT_EQ(file_manager_argument("./x/backups"), "./x/backups");
    EXPECT_EQ(file_manager_argument("/a b\n/backups"), "/a b\n/backups");
}

TEST_F(ShowBackupsFolder, OnlyAbsolutePathEntriesAreSearched) {
    // The fake sits in a folder named relatively and in the current directory: neither counts.
    ::mkdir(dir.join("rel").c_str(), 0700);
    install_fake(dir.join("rel"));
    install_fake(dir.path());
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    ::setenv("PATH", "::rel:.:/nonexistent", 1);
    show_backups_folder(dir.join("data"));
    ASSERT_EQ(::chdir(cwd), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(exists(record));
    EXPECT_TRUE(exists(dir.join("data/backups")));  // the folder is still made
}

TEST_F(ShowBackupsFolder, AFailingFileManagerIsHarmless) {
    write_file(dir.join("bin/xdg-open"), "#!/bin/sh\nexit 3\n");
    show_backups_folder(dir.join("data"));
    ::unsetenv("PATH");
    show_backups_folder(dir.join("data"));
    EXPECT_TRUE(exists(dir.join("data/backups")));
}

}  // namespace
}  // namespace tarno_vesk
