// Log directories: the path of a process's logs and the sorted listing.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "ztbase/logfiles.h"
#include "ztbase/paths.h"

namespace {

using zt::test::write_file;

std::vector<std::string> take(char **list, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i)
        names.emplace_back(list[i]);
    if (list != nullptr) {
        EXPECT_EQ(list[count], nullptr);
    }
    ZtLog_FreeDirList(list, count);
    return names;
}

class LogDirs : public zt::test::ZtTest {
  protected:
    // A directory holding the given (empty) files.
    std::string make_dir(const std::string &name, const std::vector<std::string> &files) {
        const std::string dir = root() / name;
        mkdir(dir.c_str(), 0755);
        for (const std::string &f : files)
            write_file(dir + "/" + f, "");
        return dir;
    }
    // The listing of dir, failing the test when it fails.
    std::vector<std::string> list(const std::string &dir, const char *date, const char *user,
                                  int all_users = 0) {
        char **names = nullptr;
        int count = -1, err = -1;
        EXPECT_EQ(ZtLog_GetSortedDirList(&names, &count, dir.c_str(), date, user, &err, all_users),
                  0);
        EXPECT_EQ(err, 0);
        return take(names, count);
    }
};

TEST_F(LogDirs, RootPathOfAProcess) {
    char out[ZTLOG_PATH_MAX];
    ASSERT_EQ(ZtLog_GetRootPath(out, "/var/x", "bptm"), 0);
    EXPECT_STREQ(out, "/var/x/bptm");
    ASSERT_EQ(ZtLog_GetRootPath(out, "/var/x", ""), 0);
    EXPECT_STREQ(out, "/var/x");
    ASSERT_EQ(ZtLog_GetRootPath(out, nullptr, nullptr), 0);
    EXPECT_EQ(std::string(out), getFennicString("BP_LOGS"));
    EXPECT_EQ(std::string(out).rfind(root().path(), 0), 0u);
    ASSERT_EQ(ZtLog_GetRootPath(out, nullptr, "bprd"), 0);
    EXPECT_EQ(std::string(out), std::string(getFennicString("BP_LOGS")) + "/bprd");

    // The longest path that fits, then one that does not.
    const std::string base(ZTLOG_PATH_MAX - 3, 'r');
    ASSERT_EQ(ZtLog_GetRootPath(out, base.c_str(), "p"), 0);
    EXPECT_EQ(strlen(out), static_cast<size_t>(ZTLOG_PATH_MAX - 1));
    EXPECT_EQ(ZtLog_GetRootPath(out, base.c_str(), "pq"), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(ZtLog_GetRootPath(nullptr, "/var/x", "p"), -1);
}

TEST_F(LogDirs, ListsValidNamesOfTheUserAndDate) {
    const std::string dir = make_dir(
        "bptm", {"ALL_ADMINS.010527_00002.log", "ALL_ADMINS.123126_00001.log",
                 "ALL_ADMINS.010527_00001.log", "all_admins.010527_00003.log.gz",
                 "bob.010527_00001.log", "010527_00001.log", "123226_00001.log", "notes.txt"});
    mkdir((dir + "/sub").c_str(), 0755);

    EXPECT_EQ(list(dir, nullptr, "ALL_ADMINS"),
              (std::vector<std::string>{
                  "ALL_ADMINS.123126_00001.log", "ALL_ADMINS.010527_00001.log",
                  "ALL_ADMINS.010527_00002.log", "all_admins.010527_00003.log.gz"}));
    EXPECT_EQ(list(dir, "123126", "all_admins"),
              (std::vector<std::string>{"ALL_ADMINS.123126_00001.log"}));
    EXPECT_EQ(list(dir, "010527", "BOB"), (std::vector<std::string>{"bob.010527_00001.log"}));
    EXPECT_EQ(
        list(dir, "010527", "ALL_ADMINS", 1),
        (std::vector<std::string>{"ALL_ADMINS.010527_00001.log", "ALL_ADMINS.010527_00002.log",
                                  "all_admins.010527_00003.log.gz", "bob.010527_00001.log",
                                  "010527_00001.log"})); // no user part sorts as "root"
    EXPECT_EQ(list(dir, "", "").size(), 6u);
    EXPECT_TRUE(list(dir, "010528", nullptr).empty());
    EXPECT_TRUE(list(dir, nullptr, "root").empty());
}

TEST_F(LogDirs, LargeListsKeepTheLibrarysOrder) {
    // More names than the first two sizes of the array, created in random order.
    std::vector<std::string> names;
    for (int day = 1; day <= 20; ++day)
        for (int seq = 1; seq <= 10; ++seq) {
            char name[64];
            snprintf(name, sizeof name, "u.%02d%02d%02d_%05d.log", 1 + day % 12, day,
                     (90 + day) % 100, seq);
            names.emplace_back(name);
        }
    std::shuffle(names.begin(), names.end(), std::mt19937(7));
    const std::string dir = make_dir("big", names);
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return ZtLog_CompareFileName(a.c_str(), b.c_str()) < 0;
    });
    EXPECT_EQ(list(dir, nullptr, "u"), names);

    int count = -1;
    char **got = rl_get_logfile_list(dir.c_str(), nullptr, nullptr, &count, nullptr, 0);
    ASSERT_EQ(count, 200);
    EXPECT_EQ(got[0], names[0]);
    rl_free_logfile_list(got);
}

TEST_F(LogDirs, EmptyAndMissingDirectories) {
    const std::string empty = make_dir("empty", {"notes.txt"});
    char *stale = nullptr;
    char **names = &stale;
    int count = -1, err = -1;
    EXPECT_EQ(ZtLog_GetSortedDirList(&names, &count, empty.c_str(), nullptr, nullptr, &err, 0), 0);
    EXPECT_EQ(names, nullptr);
    EXPECT_EQ(count, 0);

    const std::string missing = root() / "missing";
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZtLog_GetSortedDirList(&names, &count, missing.c_str(), nullptr, nullptr, &err, 0),
              12);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "unable to open directory " + missing + ": No such file or directory (2)\n");
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(names, nullptr);
    EXPECT_EQ(count, 0);

    const std::string bad = root() / "bad\xff";
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZtLog_GetSortedDirList(&names, &count, bad.c_str(), nullptr, nullptr, &err, 0), 12);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(
                  "Error converting root path directory name " + bad + ": ", 0),
              0u);
    EXPECT_EQ(err, EILSEQ);

    count = -1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(rl_get_logfile_list(missing.c_str(), nullptr, nullptr, &count, nullptr, 0), nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ZtLog_GetSortedDirList(nullptr, &count, empty.c_str(), nullptr, nullptr, &err, 0),
              20);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZtLog_GetSortedDirList(&names, &count, nullptr, nullptr, nullptr, nullptr, 0), 12);
    testing::internal::GetCapturedStderr();
    ZtLog_FreeDirList(nullptr, 3);
    rl_free_logfile_list(nullptr);
}

TEST_F(LogDirs, NamesThatAreNotUtf8AreSkipped) {
    const std::string dir = make_dir("mixed", {"u.120426_00001.log", "u\xff.120426_00001.log"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(list(dir, nullptr, nullptr), (std::vector<std::string>{"u.120426_00001.log"}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error converting directory file name u\xff.120426_00001.log (84)\n");
}

} // namespace
