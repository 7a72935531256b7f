// The path whitelist on a real tree: direct children and subdirectories,
// prefixes of longer names, trailing separators, "..", case, and links that
// point out of an allowed directory.
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/temp_root.h"
#include "ztbase/whitelist.h"

namespace {

namespace fs = std::filesystem;

class PathWhitelistTest : public zt::test::ZtTest {
  protected:
    void SetUp() override {
        base_ = fs::canonical(root().path()).string();
        for (const char *f : {"allowed/file", "allowed/sub/deeper/file", "allowed-more/file",
                              "other/secret", "Allowed/file"})
            zt::test::write_file(base_ + "/" + f, "x");
        fs::create_directory_symlink(base_ + "/other", base_ + "/allowed/out");
        fs::create_directory_symlink("sub", base_ + "/allowed/in");
        fs::create_directory_symlink(base_ + "/allowed", base_ + "/alias");
        fs::create_symlink("loop", base_ + "/allowed/loop");
        list_ = zt_whitelist_create();
        ASSERT_NE(list_, nullptr);
    }
    void TearDown() override { free_zt_whitelist(list_); }
    std::string at(const std::string &rel) const { return base_ + "/" + rel; }

    std::string base_;
    ZTWhiteList *list_ = nullptr;
};

TEST_F(PathWhitelistTest, EntriesAllowWhatTheyShould) {
    const struct {
        const char *entry;
        int recursive;
        std::string path;
        int want;
    } cases[] = {
        {"allowed", 0, "allowed/file", 1},
        {"allowed", 0, "allowed", 1},
        {"allowed", 0, "allowed/sub/deeper/file", 0},
        {"allowed", 1, "allowed/sub/deeper/file", 1},
        {"allowed", 1, "allowed-more/file", 0}, // prefix of a longer name
        {"allowed/", 0, "allowed/file", 1},     // trailing separators
        {"allowed//", 1, "allowed/sub//deeper/", 1},
        {"allowed", 1, "Allowed/file", 0},            // another directory on Linux
        {"allowed", 1, "allowed/../other/secret", 0}, // ".." leaves it
        {"allowed", 0, "other/../allowed/./file", 1},
        {"allowed", 1, "allowed/out/secret", 0}, // a link pointing out
        {"allowed", 1, "allowed/out/not-yet", 0},
        {"allowed", 1, "allowed/out/../other/secret", 0}, // ".." after the link
        {"allowed", 0, "allowed/in/file-to-be", 0},       // in/ is sub/: a subdirectory
        {"allowed", 1, "allowed/in/file-to-be", 1},
        {"allowed", 0, "allowed/new-file", 1},
        {"allowed", 1, "allowed/loop/x", 0}, // cannot be resolved
        {"allowed", 1, "allowed/loop/../file", 0},
        {"allowed/sub", 1, "alias/sub/deeper", 1}, // a link into it
        {"", 1, "allowed/file", 0},
        {"allowed", 1, "allowed/" + std::string(PATH_MAX, 'x'), 0}, // longer than any name
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.entry) + (c.recursive ? " (recursive) " : " ") + c.path);
        ZTWhiteList *list = zt_whitelist_create();
        const std::string entry = *c.entry != '\0' ? at(c.entry) : "";
        ASSERT_EQ(zt_whitelist_add_entry(list, entry.c_str(), c.recursive, 1), 0);
        EXPECT_EQ(zt_whitelist_validate_path(list, at(c.path).c_str(), 0), c.want);
        EXPECT_EQ(zt_whitelist_validate_path(list, at(c.path).c_str(), 1), c.want);
        free_zt_whitelist(list);
    }
}

// A caller that may not search a directory cannot see the links in it; the
// path is not resolved by its text then, or "locked/esc/../../x" would be
// taken for allowed/x while the kernel takes esc to the root.
TEST_F(PathWhitelistTest, APathThroughADirectoryTheCallerCannotSearchIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    fs::create_directory(at("allowed/locked"));
    fs::create_directory_symlink("/", at("allowed/locked/esc"));
    ASSERT_EQ(chmod(at("allowed/locked").c_str(), 0700), 0);
    for (fs::path p = base_; p != p.root_path(); p = p.parent_path())
        chmod(p.c_str(), 0755); // the rest of the way stays open to the child
    ASSERT_EQ(zt_whitelist_add_entry(list_, at("allowed").c_str(), 1, 1), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        const int refused =
            zt_whitelist_validate_path(list_, at("allowed/locked/esc/../../x").c_str(), 1) == 0;
        const int readable = zt_whitelist_validate_path(list_, at("allowed/file").c_str(), 1);
        _exit(refused && readable ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(PathWhitelistTest, RootRelativePathsAndUnexpandedEntries) {
    ASSERT_EQ(zt_whitelist_add_entry(list_, "/", 0, 0), 0);
    EXPECT_EQ(zt_whitelist_validate_path(list_, "/etc", 0), 1);
    EXPECT_EQ(zt_whitelist_validate_path(list_, at("allowed/file").c_str(), 0), 0);
    ASSERT_EQ(zt_whitelist_remove_entry(list_, "/", 0, 0), 0);
    ASSERT_EQ(zt_whitelist_add_entry(list_, "/", 1, 0), 0);
    EXPECT_EQ(zt_whitelist_validate_path(list_, at("allowed/file").c_str(), 0), 1);
    ASSERT_EQ(zt_whitelist_remove_entry(list_, "/", 1, 1), 0);
    EXPECT_EQ(zt_whitelist_validate_path(list_, "/etc", 0), 0);

    // An entry kept as given is resolved only at validation, when asked.
    ASSERT_EQ(zt_whitelist_add_entry(list_, at("alias").c_str(), 1, 0), 0);
    EXPECT_EQ(zt_whitelist_validate_path(list_, at("allowed/file").c_str(), 0), 0);
    EXPECT_EQ(zt_whitelist_validate_path(list_, at("allowed/file").c_str(), 1), 1);
    ASSERT_EQ(zt_whitelist_add_entry(list_, at("other/../allowed/sub").c_str(), 0, 0), 0);
    EXPECT_EQ(zt_whitelist_validate_path(list_, at("allowed/sub/deeper").c_str(), 0), 1);

    // Relative paths are taken from the working directory.
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(at("allowed").c_str()), 0);
    EXPECT_EQ(zt_whitelist_validate_path(list_, "sub/deeper/file", 1), 1);
    EXPECT_EQ(zt_whitelist_validate_path(list_, "../other/secret", 1), 0);
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(PathWhitelistTest, AddingAndRemovingEntries) {
    const std::string dir = at("allowed");
    ASSERT_EQ(zt_whitelist_add_entry(list_, dir.c_str(), 1, 0), 0);
    ASSERT_EQ(zt_whitelist_add_entry(list_, (dir + "/").c_str(), 1, 0), 0); // a duplicate
    ASSERT_EQ(zt_whitelist_add_entry(list_, dir.c_str(), 0, 0), 0);
    ASSERT_EQ(list_->entries().size(), 3u);
    EXPECT_EQ(list_->entries()[1].path, dir);
    ASSERT_EQ(zt_whitelist_remove_entry(list_, (dir + "//").c_str(), 1, 0), 0);
    ASSERT_EQ(list_->entries().size(), 1u);
    EXPECT_FALSE(list_->entries()[0].recursive);
    // A drive path has no meaning here: kept as given, it allows nothing.
    ASSERT_EQ(zt_whitelist_add_entry(list_, "C:", 1, 1), 0);
    EXPECT_EQ(list_->entries().back().path, "C:");
    EXPECT_EQ(zt_whitelist_validate_path(list_, "C:/x", 1), 0);

    EXPECT_EQ(zt_whitelist_add_entry(nullptr, "/x", 0, 0), 1);
    EXPECT_EQ(zt_whitelist_add_entry(list_, nullptr, 0, 0), 1);
    EXPECT_EQ(zt_whitelist_remove_entry(nullptr, "/x", 0, 0), 1);
    EXPECT_EQ(zt_whitelist_validate_path(nullptr, "/x", 0), 0);
    EXPECT_EQ(zt_whitelist_validate_path(list_, nullptr, 0), 0);
    EXPECT_EQ(ZTWhiteList::expand_path(""), "");
    EXPECT_EQ(ZTWhiteList::expand_path(at("allowed/in/") + "/"), at("allowed/sub"));
}

TEST_F(PathWhitelistTest, ProgramOfACommandLine) {
    zt::test::write_file(at("allowed/my prog"), "x");
    const std::string allowed_dir = at("allowed");
    const char *allowed[] = {allowed_dir.c_str(), nullptr};
    const struct {
        std::string command;
        int recursive, want;
    } cases[] = {
        {at("allowed/file") + " --flag x", 0, 1},
        {"  " + at("allowed/file"), 0, 1},
        {"\"" + at("allowed/my prog") + "\" arg", 0, 1},
        {"'" + at("allowed/my prog") + "'", 1, 1},
        {"\"" + at("allowed/my prog"), 0, 0}, // unterminated quote
        {at("allowed/sub/deeper/file"), 0, 0},
        {at("allowed/sub/deeper/file"), 1, 1},
        {at("allowed"), 0, 1}, // a directory is taken as it is
        {at("allowed/sub"), 0, 0},
        {at("allowed-more/file"), 1, 0},
        {at("Allowed/file"), 1, 0},
        {at("allowed/../other/secret"), 1, 0},
        {at("allowed/out/secret"), 1, 0},
        {"", 0, 0},
        {std::string(PATH_MAX + 10, 'a'), 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        errno = 1234;
        EXPECT_EQ(is_path_whitelisted(c.command.c_str(), c.command.size(), allowed, c.recursive),
                  c.want);
        EXPECT_EQ(errno, 1234);
    }
    const std::string cmd = at("allowed/file");
    EXPECT_EQ(is_path_whitelisted(nullptr, 0, allowed, 1), 0);
    EXPECT_EQ(is_path_whitelisted(cmd.c_str(), cmd.size() - 1, allowed, 1), 0); // not bounded
    EXPECT_EQ(is_path_whitelisted(cmd.c_str(), cmd.size(), nullptr, 1), 0);
}

TEST_F(PathWhitelistTest, ExpandedPaths) {
    const struct {
        std::string in, want;
    } cases[] = {
        {"/no-such-dir/./a//b/../c/", "/no-such-dir/a/c"},
        {"/../..", "/"},
        {at("allowed/in/deeper"), at("allowed/sub/deeper")},
        {at("allowed/out/not/yet/.."), at("other/not")},
        {at("allowed/out/../allowed"), at("allowed")}, // ".." of the link's target
        {at("allowed/loop/x"), at("allowed/loop/x")},  // unresolvable: kept as given
    };
    for (const auto &c : cases)
        EXPECT_EQ(ZTWhiteList::expand_path(c.in), c.want) << c.in;
}

} // namespace
