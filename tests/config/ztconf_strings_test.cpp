// The shell-safety check against hostile commands, client names, percent
// encodings, absolute paths, and key=value files.
#include <clocale>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ztbase/keyvalue.h>
#include <ztbase/ztconf.h>

#include "bpconf_support.h"
#include "support/temp_root.h"

namespace {

namespace common = Halvane::Zentor::Common;

struct Shell {
    const char *command;
    int no_white_space;
    int safe;
};

TEST(Sanitary, HostileCommandsAreRefusedAndPlainOnesPass) {
    const Shell cases[] = {
        // plain commands, '$' alone, and the accepted redirections
        {"bpbackup -p policy -s sched", 0, 1},
        {"echo $HOME", 0, 1},
        {"cost 5$", 0, 1},
        {"cmd > /dev/null", 0, 1},
        {"cmd >/dev/null 2>&1", 0, 1},
        {"cmd 2> /dev/null < /dev/null", 0, 1},
        {"cmd >& /dev/null", 0, 1},
        {"cmd > /tmp/out.log", 0, 1},
        {"cmd >/tmp/a.b/c", 0, 1},
        {"cmd 1>&2 next", 0, 1},
        {"caf\xc3\xa9 na\xc3\xafve \xe6\x97\xa5\xe6\x9c\xac", 0, 1},
        {"a<b HxFIv5", 0, 1}, // media paths skip the redirection checks
        {"one-word", 1, 1},
        // command separators and substitutions
        {"a; rm -rf /", 0, 0},
        {"a && b", 0, 0},
        {"a & b", 0, 0},
        {"a | sh", 0, 0},
        {"a || b", 0, 0},
        {"echo `id`", 0, 0},
        {"echo $(id)", 0, 0},
        {"echo \"$(id)\"", 0, 0},
        {"a\nrm -rf /", 0, 0},
        {"a\rb", 0, 0},
        {">\r\r\f\r&1", 0, 0}, // line ends among the blanks of a redirection
        {"cmd >\n/dev/null", 0, 0},
        {"cmd <\n/dev/null", 0, 0},
        {"HxFIv5 ; id", 0, 0}, // the media exception covers redirections only
        // redirections elsewhere
        {"cmd > /etc/passwd", 0, 0},
        {"cmd >", 0, 0},
        {"cmd > ", 0, 0},
        {"cmd >> /tmp/x", 0, 0},
        {"cmd < /etc/shadow", 0, 0},
        {"cmd < /dev/nullx", 0, 0},
        {"cmd > /dev/null/../etc/x", 0, 0},
        {"cmd > /dev/nullfile", 0, 0},
        {"cmd >& 3", 0, 0},
        {"cmd >&1x", 0, 0},
        {"cmd > ~/x", 0, 0},
        {"cmd > relative", 0, 0},
        // escapes from /tmp/
        {"cmd > /tmp/../etc/passwd", 0, 0},
        {"cmd > /tmp/\\.\\./etc/passwd", 0, 0},
        {"cmd > /tmp/.\\./etc/passwd", 0, 0},
        {"cmd > /tmp/\".\"./etc/passwd", 0, 0},
        {"cmd > /tmp/'.'./etc/passwd", 0, 0},
        {"cmd > /tmp/$X", 0, 0},
        {"cmd > /tmp/${X}", 0, 0},
        {"cmd > /tmp/x other/../y", 0, 0}, // ".." anywhere after the target
        // patterns that may match ".." where a shell expands redirections
        {"cmd > /tmp/.?/etc/passwd", 0, 0},
        {"cmd > /tmp/x/.*/etc/passwd", 0, 0},
        {"cmd > /tmp/.*./etc/passwd", 0, 0},
        {"cmd > /tmp/'.'[.]/etc/passwd", 0, 0},
        {"cmd > /tmp/*.log", 0, 1},
        {"cmd > /tmp/a.?", 0, 1},
        {"cmd > /tmp/x/.hidden", 0, 1},
        // other shell forms: what runs a command is refused, the rest is text
        {"cat <<< x", 0, 0},
        {"cat <(id)", 0, 0},
        {"tee >(sh)", 0, 0},
        {"cmd ><(id)", 0, 0},
        {"cmd >|/tmp/x", 0, 0},
        {"cmd <> /dev/null", 0, 0},
        {"cmd <&0", 0, 0},
        {"echo $((1+1))", 0, 0},
        {"echo ${x:-`id`}", 0, 0},
        {"a\\\nb", 0, 0}, // backslash-newline
        {"echo $'\\n'id", 0, 1},
        {"echo {a,b} $[1+1]", 0, 1},
        {"find . -exec ls {} +", 0, 1},
        // quoting tricks on the target
        {"cmd > \"/etc/passwd\"", 0, 0},
        {"cmd > '/tmp/x'", 0, 0},
        {"cmd >\\/etc/passwd", 0, 0},
        // white space when none is allowed
        {"a b", 1, 0},
        {"a\tb", 1, 0},
        {"cmd>/dev/null", 1, 1},
        {"cmd> /dev/null", 1, 0},
        {"cat${IFS}/etc/passwd", 1, 0},
        {"cat$IFS/etc/passwd", 1, 0},
        {"cat${IFS}/etc/passwd", 0, 1},
        {"echo$HOME", 1, 1},
    };
    for (const Shell &c : cases) {
        EXPECT_EQ(sanitary_mb_str(c.command, c.no_white_space), c.safe) << c.command;
        EXPECT_EQ(sanitary_UTF8_str(c.command, c.no_white_space), c.safe) << c.command;
    }
    EXPECT_EQ(sanitary_mb_str(nullptr, 0), 0);
    EXPECT_EQ(sanitary_UTF8_str("\xff\xfe bad", 0), 0); // not UTF-8
}

// In a double-byte charset the second byte of a character may be '|' or '`':
// the check sees one character, the shell sees the byte.
TEST(Sanitary, ShellBytesHiddenInDoubleByteCharactersAreRefused) {
    zt::test::TempRoot root;
    const std::string command =
        "localedef -f SHIFT_JIS -i ja_JP '" + root.path() + "/ja_JP.SJIS' >/dev/null 2>&1";
    const int made_status = std::system(command.c_str());
    if (!WIFEXITED(made_status) || WEXITSTATUS(made_status) > 1) // 1: made with warnings
        GTEST_SKIP() << "no Shift_JIS locale can be made here";
    setenv("LOCPATH", root.path().c_str(), 1);
    const bool made = setlocale(LC_CTYPE, "ja_JP.SJIS") != nullptr;
    const Shell cases[] = {
        {"echo \x83\x7c id", 0, 0},        // 0x83 0x7C holds '|'
        {"echo \x81\x60id\x81\x60", 0, 0}, // 0x81 0x60 holds '`'
        {"ls \x83\x5c \x83\x41", 0, 1},    // '\\' and letters as second bytes are text
        {"echo plain > /dev/null", 0, 1},
    };
    for (const Shell &c : cases) {
        if (made) {
            EXPECT_EQ(sanitary_mb_str(c.command, c.no_white_space), c.safe) << c.command;
        }
    }
    setlocale(LC_CTYPE, "C");
    unsetenv("LOCPATH");
    if (!made)
        GTEST_SKIP() << "the Shift_JIS locale cannot be loaded";
}

TEST(Sanitary, TheVerdictIsLoggedWithSecretsHidden) {
    bpconf_test::LogCapture log;
    EXPECT_EQ(sanitary_mb_str("tool -password hunter2 -key k3y ; id", 0), 0);
    EXPECT_TRUE(log.has("Found illegal character.")) << log.all();
    EXPECT_TRUE(log.has("is considered unsanitary.")) << log.all();
    EXPECT_EQ(log.all().find("hunter2"), std::string::npos) << log.all();
    EXPECT_EQ(log.all().find("k3y"), std::string::npos) << log.all();
}

TEST(NameChecks, ClientIdsAndPercentSigns) {
    const std::pair<const char *, int> ids[] = {
        {"client-1.example_x+(y)%", 1},
        {"client.", 0},
        {"a b", 0},
        {"", 0},
        {"host;id", 0},
        {"caf\xc3\xa9", 0},
    };
    for (const auto &[text, ok] : ids)
        EXPECT_EQ(is_valid_client_id(text), ok) << text;
    EXPECT_EQ(is_valid_client_id(nullptr), 0);

    const std::pair<const char *, int> percents[] = {
        {"a%20b", 0},   {"no percent", 0}, {"a%2", 1}, {"a%", 1},
        {"a%20%21", 1}, {"%41", 1},        {"%20", 0},
    };
    for (const auto &[text, has] : percents)
        EXPECT_EQ(has_percent_char_other_than_encoded_space(text), has) << text;
}

TEST(NameChecks, AbsolutePaths) {
    char out[64];
    EXPECT_EQ(get_abs_path("/a/./b//c/../d", out, sizeof out), 0);
    EXPECT_STREQ(out, "/a/b/d");
    EXPECT_EQ(get_abs_path("/../..", out, sizeof out), 0);
    EXPECT_STREQ(out, "/");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    char big[4200];
    EXPECT_EQ(get_abs_path("x/y", big, sizeof big), 0);
    EXPECT_EQ(std::string(big), std::string(cwd == std::string("/") ? "" : cwd) + "/x/y");
    EXPECT_EQ(get_abs_path("/a/long/path", out, 5), -1);
    EXPECT_EQ(get_abs_path("", out, sizeof out), -1);
    EXPECT_EQ(get_abs_path(nullptr, out, sizeof out), -1);
}

class KeyValueTest : public zt::test::ZtTest {};

TEST_F(KeyValueTest, FilesOfEveryShape) {
    struct Case {
        const char *name;
        std::string content;
        int status;
        std::map<std::string, std::string> expected;
    };
    const std::string huge(1 << 20, 'v');
    const Case cases[] = {
        {"plain", "# comment\n\n a = 1 \nb=two words\t\n", 0, {{"a", "1"}, {"b", "two words"}}},
        {"no final newline", "k = v", 0, {{"k", "v"}}},
        {"equals runs", "k === v=w\n", 0, {{"k", "v=w"}}},
        {"duplicates", "k = 1\nk = 2\n", 0, {{"k", "2"}}},
        {"bad lines skipped", "no equals\nempty =\n= novalue\nok = 1\n", 0, {{"ok", "1"}}},
        {"only bad lines", "no equals\nempty = \n", 13, {}},
        {"empty", "", 13, {}},
        {"binary",
         std::string("k = a\0b\n\xff\xfe=\x01\n", 14),
         0,
         {{"k", std::string("a\0b", 3)}, {"\xff\xfe", "\x01"}}},
        {"megabyte line", "big = " + huge + "\n", 0, {{"big", huge}}},
    };
    for (const Case &c : cases) {
        std::string path = root() / c.name;
        zt::test::write_file(path, c.content);
        common::keyvalue_map out{{"stale", common::value("x")}};
        EXPECT_EQ(common::read_keyvalue_file(path, out), c.status) << c.name;
        if (c.status != 0) {
            EXPECT_EQ(out.count("stale"), 1u) << c.name; // left as it was
            continue;
        }
        std::map<std::string, std::string> got;
        for (const auto &[k, v] : out)
            got[k] = v.get();
        EXPECT_EQ(got, c.expected) << c.name;
    }
    common::keyvalue_map out;
    EXPECT_EQ(common::read_keyvalue_file("", out), 20);
    EXPECT_EQ(common::read_keyvalue_file(root() / "missing", out), 12);
    // What else an operator may leave at the path: only a plain file is read,
    // so a FIFO without a writer does not hang and a device does not run on.
    ASSERT_EQ(mkfifo((root() / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", (root() / "device").c_str()), 0);
    ASSERT_EQ(symlink("loop", (root() / "loop").c_str()), 0);
    ASSERT_EQ(mkdir((root() / "directory").c_str(), 0755), 0);
    for (const char *name : {"fifo", "device", "loop", "directory"})
        EXPECT_EQ(common::read_keyvalue_file(root() / name, out), 12) << name;
}

TEST(KeyValue, ValuesTrimAndConvert) {
    common::value v(" \t 42 \f");
    EXPECT_EQ(v.get(), "42");
    int n = 0;
    EXPECT_EQ(v.to_int(n), 0);
    EXPECT_EQ(n, 42);
    bpconf_test::LogCapture log;
    for (const char *bad : {"4x", "", "99999999999", "x"}) {
        common::value b(bad);
        EXPECT_EQ(b.to_int(n), 20) << bad;
    }
    EXPECT_TRUE(log.has("failed to parse value (\"4x\") as an integer, status: 20")) << log.all();
    common::value empty(static_cast<const char *>(nullptr));
    EXPECT_EQ(std::string(empty), "");
    common::value copy = v;
    copy.set("  7 ");
    copy.swap(empty);
    EXPECT_EQ(empty.get(), "7");
    EXPECT_EQ(copy.get(), "");
    EXPECT_EQ(v.get(), "42");
}

} // namespace
