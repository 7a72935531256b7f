// File-system calls on UTF-8 paths.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "ztbase/strings.h"

namespace {

using zt::test::read_file;
using zt::test::write_file;

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

class Utf8Path : public zt::test::ZtTest {
  protected:
    std::string path(const std::string &relative) const { return root() / relative; }
};

TEST_F(Utf8Path, WrappersActOnValidPaths) {
    const std::string dir = path("d\xC3\xA9j\xC3\xA0");
    const std::string file = dir + "/f\xE2\x82\xAC.txt";
    ASSERT_EQ(mkdirUTF8Path(dir.c_str()), 0);
    struct stat st;
    ASSERT_EQ(statUTF8Path(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    int fd = openUTF8PathMode(file.c_str(), O_CREAT | O_WRONLY | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "hello", 5), 5);
    close(fd);
    ASSERT_EQ(statUTF8Path(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(accessUTF8Path(file.c_str(), R_OK), 0);

    FILE *f = fopenUTF8Path(file.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char text[8] = {};
    EXPECT_EQ(fread(text, 1, sizeof text - 1, f), 5u);
    fclose(f);
    EXPECT_STREQ(text, "hello");

    const std::string link = dir + "/l\xC3\xAEnk";
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    ASSERT_EQ(lstatUTF8Path(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(unlinkUTF8Path(link.c_str()), 0);

    fd = openUTF8Path((dir + "/new").c_str(), O_CREAT | O_WRONLY);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(removeUTF8Path((dir + "/new").c_str()), 0);
    EXPECT_EQ(removeUTF8Path(file.c_str()), 0);
    EXPECT_EQ(rmdirUTF8Path(dir.c_str()), 0);
    EXPECT_FALSE(exists(dir));

    // The system call's own failure comes through unchanged.
    errno = 0;
    EXPECT_EQ(rmdirUTF8Path(dir.c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Utf8Path, PathThatIsNotUtf8IsRefusedBeforeTheCall) {
    const std::string bad = path("bad\xFF");
    write_file(bad, "keep");
    const char *p = bad.c_str();
    const std::string good = path("good");
    struct stat st;
    auto refused = [&](int result, const char *what) {
        EXPECT_EQ(result, -1) << what;
        EXPECT_EQ(errno, EINVAL) << what;
        errno = 0;
    };
    refused(accessUTF8Path(p, F_OK), "access");
    refused(unlinkUTF8Path(p), "unlink");
    refused(removeUTF8Path(p), "remove");
    refused(openUTF8Path(p, O_RDONLY), "open");
    refused(openUTF8PathMode(p, O_RDONLY, 0), "openmode");
    refused(statUTF8Path(p, &st), "stat");
    refused(lstatUTF8Path(p, &st), "lstat");
    refused(rmdirUTF8Path(p), "rmdir");
    refused(mkdirUTF8Path(path("dir\xC0\xAF").c_str()), "mkdir");
    refused(renameUTF8Path(p, good.c_str()), "rename from");
    refused(renameUTF8Path(good.c_str(), p), "rename to");
    refused(statUTF8Path(nullptr, &st), "null");
    EXPECT_EQ(fopenUTF8Path(p, "r"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(read_file(bad), "keep");
    EXPECT_FALSE(exists(path("dir\xC0\xAF")));
}

TEST_F(Utf8Path, RenameReplacesTheTargetAndMapsErrors) {
    write_file(path("a"), "new");
    write_file(path("b"), "old");
    EXPECT_EQ(renameUTF8Path(path("a").c_str(), path("b").c_str()), 0);
    EXPECT_EQ(read_file(path("b")), "new");
    EXPECT_FALSE(exists(path("a")));

    struct Case {
        std::string from, to;
        int result, mapped;
    } cases[] = {
        {path("missing"), path("c"), ENOENT, 2},
        {path("b"), path("no/such/dir"), ENOENT, 2},
        {path("b/x"), path("c"), ENOTDIR, 2},
    };
    for (const Case &c : cases) {
        errno = 0;
        EXPECT_EQ(renameUTF8Path(c.from.c_str(), c.to.c_str()), c.result) << c.from;
        EXPECT_EQ(errno, c.mapped) << c.from;
    }
    write_file(path("full/x"), "");
    ASSERT_EQ(mkdir(path("empty").c_str(), 0755), 0);
    int result = renameUTF8Path(path("empty").c_str(), path("full").c_str());
    EXPECT_TRUE(result == ENOTEMPTY || result == EEXIST) << result;
    EXPECT_EQ(errno, 22);
}

TEST_F(Utf8Path, RenameRefusedForLackOfAccessGives13) {
    write_file(path("locked/f"), "x");
    ASSERT_EQ(chmod(root().path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(path("locked").c_str(), 0555), 0);
    auto attempt = [&] {
        errno = 0;
        int r = renameUTF8Path(path("locked/f").c_str(), path("locked/g").c_str());
        return r == EACCES && errno == 13;
    };
    if (geteuid() != 0) {
        EXPECT_TRUE(attempt());
    } else { // root passes every permission check: try as nobody
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            _exit(setgid(65534) == 0 && setuid(65534) == 0 && attempt() ? 0 : 1);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    chmod(path("locked").c_str(), 0755);
    EXPECT_EQ(read_file(path("locked/f")), "x");
}

// /dev/shm is a file system of its own on Linux hosts; without it there is
// nothing to cross.
class CrossDevice : public Utf8Path {
  protected:
    void SetUp() override {
        char templ[] = "/dev/shm/ztbase-test.XXXXXX";
        if (mkdtemp(templ) == nullptr)
            GTEST_SKIP() << "no /dev/shm";
        other_ = templ;
        struct stat a, b;
        if (stat(other_.c_str(), &a) != 0 || stat(root().path().c_str(), &b) != 0 ||
            a.st_dev == b.st_dev)
            GTEST_SKIP() << "/dev/shm shares the test root's file system";
    }
    void TearDown() override {
        std::error_code ec;
        if (!other_.empty())
            std::filesystem::remove_all(other_, ec);
    }
    std::string other_;
};

TEST_F(CrossDevice, RegularFileIsCopiedIntoPlace) {
    const std::string from = other_ + "/src\xC3\xA9";
    const std::string to = path("dst");
    std::string content(200000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7);
    write_file(from, content);
    ASSERT_EQ(chmod(from.c_str(), 0640), 0);
    struct timespec times[2] = {{1000000000, 0}, {1200000000, 5}};
    ASSERT_EQ(utimensat(AT_FDCWD, from.c_str(), times, 0), 0);
    write_file(to, "old");

    EXPECT_EQ(renameUTF8Path(from.c_str(), to.c_str()), 0);
    EXPECT_EQ(read_file(to), content);
    EXPECT_FALSE(exists(from));
    struct stat st;
    ASSERT_EQ(stat(to.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    // Nothing but the target is left in its directory.
    DIR *d = opendir(root().path().c_str());
    ASSERT_NE(d, nullptr);
    for (dirent *e; (e = readdir(d)) != nullptr;)
        EXPECT_TRUE(e->d_name[0] != '.' || strcmp(e->d_name, ".") == 0 ||
                    strcmp(e->d_name, "..") == 0)
            << e->d_name;
    closedir(d);
}

TEST_F(CrossDevice, DirectoryOrDirectoryTargetIsRefused) {
    ASSERT_EQ(mkdir((other_ + "/dir").c_str(), 0755), 0);
    errno = 0;
    EXPECT_EQ(renameUTF8Path((other_ + "/dir").c_str(), path("dir").c_str()), EXDEV);
    EXPECT_EQ(errno, 22);
    EXPECT_TRUE(exists(other_ + "/dir"));
    EXPECT_FALSE(exists(path("dir")));

    write_file(other_ + "/f", "x");
    ASSERT_EQ(mkdir(path("target").c_str(), 0755), 0);
    EXPECT_EQ(renameUTF8Path((other_ + "/f").c_str(), path("target").c_str()), EISDIR);
    EXPECT_EQ(errno, 22);
    EXPECT_EQ(read_file(other_ + "/f"), "x");
}

} // namespace
