#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <random>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "ztbase/vtext.h"

namespace {

using zt::test::read_file;
using zt::test::write_file;

// Every record of an open handle, as strings (handles without callbacks).
std::vector<std::string> drain(vtext_handle *h) {
    std::vector<std::string> out;
    for (;;) {
        void *item = nullptr;
        EXPECT_EQ(vtext_get_next_item(h, &item), 0);
        if (item == nullptr)
            return out;
        out.emplace_back(static_cast<char *>(item));
        free(item);
    }
}

std::vector<std::string> records_of(const std::string &path_or_text, int mode) {
    vtext_handle *h = nullptr;
    EXPECT_EQ(vtext_open(path_or_text.c_str(), mode, nullptr, nullptr, nullptr, &h), 0);
    if (h == nullptr)
        return {};
    auto out = drain(h);
    EXPECT_EQ(vtext_close(&h, 0), 0);
    EXPECT_EQ(h, nullptr);
    return out;
}

// Names in dir other than the given one: leftovers of working files.
std::vector<std::string> others_in(const std::string &dir, const std::string &keep) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != ".." && n != keep)
                names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

class VtextTest : public zt::test::ZtTest {
  protected:
    std::string dir() const { return root() / "rec"; }
    std::string target() const { return dir() + "/list"; }
};

TEST_F(VtextTest, LogicalLinesFromFilesAndMemory) {
    const struct {
        const char *text;
        std::vector<std::string> file, memory;
    } cases[] = {
        // backslash-newline joins; comments and blank lines (spaces, tabs, CR) are skipped
        {"a\\\nb\\\nc\nd\n", {"abc", "d"}, {"abc", "d"}},
        {"# note\n\n \t \r\nx\n  #not a comment line\n",
         {"x", "  #not a comment line"},
         {"x", "  #not a comment line"}},
        // an unterminated last line is a record in a file but not in memory
        {"one\ntwo", {"one", "two"}, {"one"}},
        // in memory a carriage return ends a line by itself
        {"a\rb\r\nc\n", {"a\rb\r", "c"}, {"a", "b", "c"}},
        // a backslash-newline at the very end joins with nothing
        {"tail\\\n", {"tail"}, {"tail"}},
        {"x\\", {"x\\"}, {}},
        {"", {}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        write_file(target(), c.text);
        EXPECT_EQ(records_of(target(), VTEXT_MODE_READ), c.file);
        EXPECT_EQ(records_of(c.text, VTEXT_MODE_MEMORY), c.memory);
    }
}

TEST_F(VtextTest, HostileBytesGiveRecordsNotCrashes) {
    std::string huge(1 << 20, 'q');
    std::string nul = std::string("ab\0cd\n", 6) + "ef\n";
    write_file(target(), huge + "\n" + nul);
    auto records = records_of(target(), VTEXT_MODE_READ);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0], huge);
    EXPECT_EQ(records[1], "ab"); // a record is a C string: it ends at the NUL
    EXPECT_EQ(records[2], "ef");
}

TEST_F(VtextTest, GetItemRewindsWhenAskedForAnEarlierRecord) {
    write_file(target(), "r0\nr1\nr2\n");
    vtext_handle *h = nullptr;
    ASSERT_EQ(vtext_open(target().c_str(), VTEXT_MODE_READ, nullptr, nullptr, nullptr, &h), 0);
    EXPECT_EQ(drain(h).size(), 3u);
    for (int index : {0, 2, 1, 3, -1}) {
        void *item = nullptr;
        EXPECT_EQ(vtext_get_item(h, index, &item), 0);
        if (index == 3 || index == -1) {
            EXPECT_EQ(item, nullptr);
        } else {
            ASSERT_NE(item, nullptr);
            EXPECT_EQ(std::string(static_cast<char *>(item)), "r" + std::to_string(index));
        }
        free(item);
    }
    vtext_close(&h, 0);
}

TEST_F(VtextTest, PutItemOnAThreeRecordFile) {
    const char *original = "a\nb\nc\n";
    char item[] = "new";
    const struct {
        const char *name;
        int index, replace;
        bool with_item;
        int status;
        const char *after;
    } cases[] = {
        // no record at or past the end is replaced, and nothing is appended
        {"replace at the record count", 3, 1, true, VTEXT_NO_RECORD, "a\nb\nc\n"},
        {"replace one past the end", 4, 1, true, VTEXT_NO_RECORD, "a\nb\nc\n"},
        {"replace past the end", 5, 1, true, VTEXT_NO_RECORD, "a\nb\nc\n"},
        {"replace at the append index", 2147483647, 1, true, VTEXT_NO_RECORD, "a\nb\nc\n"},
        {"delete at the record count", 3, 0, false, 0, "a\nb\nc\n"},
        {"delete past the end", 5, 0, false, 0, "a\nb\nc\n"},
        {"insert past the end appends", 5, 0, true, 0, "a\nb\nc\nnew\n"},
        {"append", 2147483647, 0, true, 0, "a\nb\nc\nnew\n"},
        {"insert in the middle", 1, 0, true, 0, "a\nnew\nb\nc\n"},
        {"replace the middle", 1, 1, true, 0, "a\nnew\nc\n"},
        {"delete the first", 0, 0, false, 0, "b\nc\n"},
        {"replace the last", 2, 1, true, 0, "a\nb\nnew\n"},
        // a negative index (a caller's "not found") names no record
        {"delete at -1", -1, 0, false, VTEXT_NO_RECORD, "a\nb\nc\n"},
        {"replace at -1", -1, 1, true, VTEXT_NO_RECORD, "a\nb\nc\n"},
        {"insert at -1", -1, 0, true, VTEXT_NO_RECORD, "a\nb\nc\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(target(), original);
        vtext_handle *h = nullptr;
        ASSERT_EQ(vtext_open(target().c_str(), VTEXT_MODE_UPDATE, nullptr, nullptr, nullptr, &h),
                  0);
        EXPECT_EQ(vtext_put_item(h, c.index, c.replace, c.with_item ? item : nullptr), c.status);
        EXPECT_EQ(vtext_close(&h, 1), 0);
        EXPECT_EQ(read_file(target()), c.after);
        EXPECT_TRUE(others_in(dir(), "list").empty());
    }
}

TEST_F(VtextTest, CloseWithoutCommitLeavesTargetAndNoWorkingFile) {
    write_file(target(), "keep\n");
    vtext_handle *h = nullptr;
    ASSERT_EQ(vtext_open(target().c_str(), VTEXT_MODE_UPDATE, nullptr, nullptr, nullptr, &h), 0);
    char item[] = "more";
    ASSERT_EQ(vtext_append_item(h, item), 0);
    EXPECT_EQ(others_in(dir(), "list").size(), 1u); // the working file, beside the target
    EXPECT_EQ(vtext_close(&h, 0), 0);
    EXPECT_EQ(read_file(target()), "keep\n");
    EXPECT_TRUE(others_in(dir(), "list").empty());
    EXPECT_EQ(vtext_close(&h, 0), VTEXT_BAD_HANDLE);
}

// A child that opens the file for update, changes it and stops before the
// commit: its working file stays beside the target while it lives.
pid_t writer_stopped_mid_update(const std::string &target) {
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        vtext_handle *h = nullptr;
        char item[] = "half";
        if (vtext_open(target.c_str(), VTEXT_MODE_UPDATE, nullptr, nullptr, nullptr, &h) != 0 ||
            vtext_append_item(h, item) != 0)
            _exit(1);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char c;
    close(ready[1]);
    const bool ok = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    return ok ? pid : -1;
}

TEST_F(VtextTest, TheNextCommitRemovesWorkingFilesOfKilledWritersOnly) {
    write_file(target(), "a\n");
    std::vector<pid_t> killed;
    for (int i = 0; i < 5; ++i) {
        pid_t pid = writer_stopped_mid_update(target());
        ASSERT_GT(pid, 0);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    const pid_t alive = writer_stopped_mid_update(target());
    ASSERT_GT(alive, 0);
    EXPECT_EQ(others_in(dir(), "list").size(), 6u);
    vtext_handle *h = nullptr;
    ASSERT_EQ(vtext_open(target().c_str(), VTEXT_MODE_UPDATE, nullptr, nullptr, nullptr, &h), 0);
    char item[] = "b";
    ASSERT_EQ(vtext_append_item(h, item), 0);
    ASSERT_EQ(vtext_close(&h, 1), 0);
    EXPECT_EQ(read_file(target()), "a\nb\n");
    EXPECT_EQ(others_in(dir(), "list").size(), 1u); // the live writer's own
    kill(alive, SIGKILL);
    waitpid(alive, nullptr, 0);
}

TEST_F(VtextTest, OpenStatusesAndReadOnlyHandles) {
    vtext_handle *h = nullptr;
    EXPECT_EQ(vtext_open(target().c_str(), VTEXT_MODE_READ, nullptr, nullptr, nullptr, &h),
              VTEXT_OPEN_FAILED);
    EXPECT_EQ(h, nullptr);
    // update of a missing target starts empty
    write_file(dir() + "/other", "");
    ASSERT_EQ(vtext_open(target().c_str(), VTEXT_MODE_UPDATE, nullptr, nullptr, nullptr, &h), 0);
    EXPECT_TRUE(drain(h).empty());
    vtext_close(&h, 0);
    EXPECT_EQ(access(target().c_str(), F_OK), -1);

    char item[] = "x";
    write_file(target(), "r\n");
    ASSERT_EQ(vtext_open(target().c_str(), VTEXT_MODE_READ, nullptr, nullptr, nullptr, &h), 0);
    EXPECT_EQ(vtext_append_item(h, item), VTEXT_WRITE_FAILED);
    EXPECT_EQ(vtext_close(&h, 1), 0);
    EXPECT_EQ(read_file(target()), "r\n");
}

// A FIFO planted at the target's name (no writer: opening it would wait for
// ever) and a directory are not record files, in either reading mode.
TEST_F(VtextTest, TargetsThatAreNoFilesFailToOpen) {
    const std::string fifo = dir() + "/fifo", sub = dir() + "/sub";
    mkdir(dir().c_str(), 0755);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    for (const std::string &path : {fifo, sub})
        for (int mode : {VTEXT_MODE_READ, VTEXT_MODE_UPDATE}) {
            SCOPED_TRACE(path + " mode " + std::to_string(mode));
            vtext_handle *h = nullptr;
            EXPECT_EQ(vtext_open(path.c_str(), mode, nullptr, nullptr, nullptr, &h),
                      VTEXT_OPEN_FAILED);
            EXPECT_EQ(h, nullptr);
        }
    EXPECT_EQ(others_in(dir(), "fifo"), std::vector<std::string>{"sub"}); // no working file left
}

TEST_F(VtextTest, CommitKeepsTheTargetsPermissionsOrGives0644) {
    for (bool existing : {true, false}) {
        SCOPED_TRACE(existing);
        unlink(target().c_str());
        if (existing) {
            write_file(target(), "old\n");
            chmod(target().c_str(), 0640);
        } else {
            write_file(dir() + "/other", "");
        }
        vtext_handle *h = nullptr;
        ASSERT_EQ(vtext_open(target().c_str(), existing ? VTEXT_MODE_UPDATE : VTEXT_MODE_CREATE,
                             nullptr, nullptr, nullptr, &h),
                  0);
        char item[] = "new";
        ASSERT_EQ(vtext_append_item(h, item), 0);
        ASSERT_EQ(vtext_close(&h, 1), 0);
        struct stat st;
        ASSERT_EQ(stat(target().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, existing ? 0640u : 0644u);
        EXPECT_EQ(read_file(target()), existing ? "old\nnew\n" : "new\n");
    }
}

// Callbacks over "key=value" records; a line "bad" is an error, "skip" is skipped.
struct Pair {
    std::string key, value;
};
int parse_pair(char *line, void **item, char *) {
    if (strcmp(line, "bad") == 0)
        return 42;
    char *eq = strchr(line, '=');
    if (eq == nullptr)
        return 0;
    *eq = '\0';
    *item = new Pair{line, eq + 1};
    return 0;
}
int format_pair(void *item, char **text, void *) {
    auto *p = static_cast<Pair *>(item);
    *text = strdup((p->key + "=" + p->value).c_str());
    return 0;
}
void free_pair(void **item) {
    delete static_cast<Pair *>(*item);
    *item = nullptr;
}

TEST_F(VtextTest, CallbacksParseFormatAndFailCleanly) {
    write_file(target(), "a=1\nskip\nb=2\n");
    vtext_handle *h = nullptr;
    ASSERT_EQ(
        vtext_open(target().c_str(), VTEXT_MODE_UPDATE, parse_pair, format_pair, free_pair, &h), 0);
    Pair c{"c", "3"};
    ASSERT_EQ(vtext_replace_item(h, 1, &c), 0);
    void *item = nullptr;
    ASSERT_EQ(vtext_get_item(h, 1, &item), 0);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(static_cast<Pair *>(item)->value, "3");
    free_pair(&item);
    ASSERT_EQ(vtext_close(&h, 1), 0);
    EXPECT_EQ(read_file(target()), "a=1\nc=3\n"); // skipped lines do not survive a rewrite

    // a parse error stops the open and leaves nothing behind
    write_file(target(), "a=1\nbad\n");
    EXPECT_EQ(
        vtext_open(target().c_str(), VTEXT_MODE_UPDATE, parse_pair, format_pair, free_pair, &h),
        42);
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(others_in(dir(), "list").empty());
    EXPECT_EQ(read_file(target()), "a=1\nbad\n");
}

TEST(VtextPaths, BasenameAndDirname) {
    const struct {
        const char *path, *base, *dir;
    } cases[] = {
        {"name", "name", "."},   {"/", "", "/"},    {"///", "", "/"},
        {"/a", "a", "/"},        {"a/b", "b", "a"}, {"//a//b//", "b", "//a"},
        {"/x/y/z", "z", "/x/y"}, {"", "", "."},     {"rel/", "rel", "."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        char *b = vtext_basename(c.path);
        char *d = vtext_dirname(c.path);
        EXPECT_STREQ(b, c.base);
        EXPECT_STREQ(d, c.dir);
        free(b);
        free(d);
    }
}

TEST(VtextFields, DelimiterAndFieldCutting) {
    const struct {
        const char *text;
        char delimiter;
        int status;
    } delims[] = {
        {"plain", ' ', 0}, {"", ' ', 0},      {"a b", '"', 0},
        {"a#b", '"', 0},   {"it's", '"', 0},  {"say \"hi\"", '\'', 0},
        {"\"'", '\'', 2},  {"tab\t", '"', 0},
    };
    for (const auto &c : delims) {
        char d = 0;
        EXPECT_EQ(vtext_delimiter(c.text, &d), c.status) << c.text;
        EXPECT_EQ(d, c.delimiter) << c.text;
    }

    const struct {
        const char *line, *field, *rest;
    } fields[] = {
        {"  word rest", "word", "rest"},
        {"\"two words\" rest", "two words", " rest"},
        {"'it \"x\"'tail", "it \"x\"", "tail"},
        {"word#comment", "word", ""},
        {"# all comment", "", ""},
        {"\"unterminated", "unterminated", ""},
        {"last", "last", ""},
    };
    for (const auto &c : fields) {
        SCOPED_TRACE(c.line);
        std::string buf = c.line;
        char *p = vtext_skip_space(buf.data());
        char *rest = vtext_skip_no_space(&p);
        EXPECT_STREQ(p, c.field);
        EXPECT_STREQ(rest, c.rest);
    }
}

TEST_F(VtextTest, TempnamNamesAnUnusedFileInTheDirectory) {
    write_file(dir() + "/x", "");
    const struct {
        const char *prefix, *stem;
    } cases[] = {{"vtext", "vtext"}, {"longprefix", "longp"}, {nullptr, "temp"}, {"", "temp"}};
    for (const auto &c : cases) {
        char *name = V_tempnam(dir().c_str(), c.prefix);
        ASSERT_NE(name, nullptr);
        std::regex pattern(dir() + "/" + c.stem + "-[0-9]{29}-[A-Za-z0-9]{6}");
        EXPECT_TRUE(std::regex_match(name, pattern)) << name;
        EXPECT_EQ(access(name, F_OK), -1);
        free(name);
    }
    char *fallback = V_tempnam((dir() + "/x").c_str(), "t"); // a file, not a directory
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(std::string(fallback).rfind(root().path(), 0), 0u) << fallback; // $TMPDIR
    free(fallback);
}

TEST_F(VtextTest, RenameFailsWithoutRetryOnAPermanentError) {
    EXPECT_EQ(vtext_rename_file((dir() + "/missing").c_str(), target().c_str()),
              VTEXT_RENAME_FAILED);
    EXPECT_EQ(vtext_rename_file(nullptr, target().c_str()), VTEXT_RENAME_FAILED);
}

// A child rewrites the file between two versions for ever; killed at random
// moments, it must leave one version or the other, whole.
TEST_F(VtextTest, KilledUpdateLeavesTheOldOrTheNewFile) {
    std::string a, b;
    for (int i = 0; i < 2000; ++i) {
        a += "line " + std::to_string(i) + " of version a\n";
        b += "version b has line " + std::to_string(i) + "\n";
    }
    write_file(target(), a);
    std::mt19937 random(12345);
    for (int round = 0; round < 25; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int n = 0;; ++n) {
                vtext_handle *h = nullptr;
                if (vtext_open(target().c_str(), VTEXT_MODE_CREATE, nullptr, nullptr, nullptr,
                               &h) != 0)
                    _exit(1);
                const std::string &text = n % 2 == 0 ? b : a;
                vtext_append_item(h, const_cast<char *>(text.c_str())); // one item of many lines
                if (vtext_close(&h, 1) != 0)
                    _exit(1);
            }
        }
        usleep(1000 + random() % 40000);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed: " << status;
        std::string now = read_file(target());
        ASSERT_TRUE(now == a || now == b) << "round " << round << ": " << now.size() << " bytes";
        EXPECT_EQ(records_of(target(), VTEXT_MODE_READ).size(), 2000u);
    }
}

} // namespace
