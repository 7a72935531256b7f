#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "logging/debuglog_internal.h"
#include "logging/debuglog_line.h"
#include "logging/log_clock.h"
#include "logging/log_config.h"
#include "support/temp_root.h"
#include "ztbase/debuglog.h"

namespace fs = std::filesystem;
using namespace ztbase;

namespace {

// Body preparation and the line ---------------------------------------------------

TEST(DebugLogLine, BodyIsOneBoundedLine) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"  a\n  b \r\n", "a b"},
        {"", ""},
        {" \t\r\n ", ""},
        {"one\r\ntwo\n\nthree", "one two three"},
        {"tab\tkept \x01 control", "tab\tkept \x01 control"},
        {"a \n b", "a  b"},
        {"\xff\xfe invalid utf-8", "\xff\xfe invalid utf-8"},
    };
    char body[debuglog::kBodySize];
    for (const auto &c : cases) {
        size_t n = debuglog::prepare_body(c.in.c_str(), body, sizeof body);
        EXPECT_EQ(std::string(body, n), c.out) << c.in;
        EXPECT_EQ(strlen(body), n);
    }
    const std::string big(100 * 1024, 'x');
    size_t n = debuglog::prepare_body(big.c_str(), body, sizeof body);
    EXPECT_EQ(n, 7679u);
    EXPECT_EQ(std::string(body + n - 4), "x...");
    const std::string exact = std::string(7679, 'y') + "   \n ";
    n = debuglog::prepare_body(exact.c_str(), body, sizeof body);
    EXPECT_EQ(n, 7679u);
    EXPECT_EQ(body[n - 1], 'y'); // only trailing blanks were left over: nothing cut
}

TEST(DebugLogLine, LineFormatAndSmallBuffers) {
    char line[debuglog::kLineSize];
    const debuglog::LineTime t{1, 2, 3, 4};
    long n = debuglog::format_line(line, sizeof line, t, 12, 345, 4, "tag", "body", 4);
    EXPECT_EQ(std::string(line, static_cast<size_t>(n)), "01:02:03.004 [12.345] <4> tag: body\n");
    const std::string long_tag(300, 't');
    n = debuglog::format_line(line, sizeof line, t, 1, 2, 16, long_tag.c_str(), "b", 1);
    EXPECT_EQ(std::string(line, static_cast<size_t>(n)),
              "01:02:03.004 [1.2] <16> " + std::string(128, 't') + ": b\n");
    n = debuglog::format_line(line, sizeof line, t, 1, 2, 2, "two\nlines\r", "b", 1);
    EXPECT_EQ(std::string(line, static_cast<size_t>(n)), "01:02:03.004 [1.2] <2> two lines : b\n");
    n = debuglog::format_line(line, sizeof line, t, 1, 2, 2, nullptr, "", 0);
    EXPECT_EQ(std::string(line, static_cast<size_t>(n)), "01:02:03.004 [1.2] <2> : \n");
    EXPECT_EQ(debuglog::format_line(line, 511, t, 1, 2, 2, "", "", 0), -235);
}

// The log in a temporary root, with a clock the test moves -------------------------

timespec g_now;
timespec g_mono;
void fake_now(timespec *out) {
    *out = g_now;
}
void fake_monotonic(timespec *out) {
    *out = g_mono;
}
// Moves both clocks on, as real time passing does.
void advance(time_t seconds) {
    g_now.tv_sec += seconds;
    g_mono.tv_sec += seconds;
}

time_t local_time(int year, int month, int day, int hour, int minute, int second) {
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

const std::regex kLine(R"(\d\d:\d\d:\d\d\.\d\d\d \[\d+\.\d+\] <-?\d+> [^\n]*: [^\n]*)");

// The body of the line the log writes once it can write again.
std::string lost_note(int lines, time_t since) {
    struct tm tm;
    localtime_r(&since, &tm);
    char when[32];
    strftime(when, sizeof when, "%m/%d/%y %H:%M:%S", &tm);
    return "<8> logmsg: " + std::to_string(lines) + " lines could not be written since " + when;
}

class DebugLog : public zt::test::ZtTest {
  protected:
    void SetUp() override {
        g_now = {local_time(2026, 12, 4, 10, 0, 0), 0};
        g_mono = {1000, 0};
        logclock::set(fake_now);
        logclock::set_monotonic(fake_monotonic);
        logcfg::memory().set(logcfg::Values{});
        logcfg::memory().set_readable(true);
        dir = root().path() + "/logs/myproc";
        fs::create_directories(dir);
    }
    void TearDown() override {
        close_debug_log();
        log_set_callback_no_logging(nullptr, nullptr, nullptr);
        log_set_verbosity_filter(0);
        log_set_process_bpconf_verbose(0);
        logclock::set(nullptr);
        logclock::set_monotonic(nullptr);
        logcfg::memory().set(logcfg::Values{});
        debugFD = -1;
    }
    int open(const char *program = "myproc") {
        int err = 0;
        return open_debug_log((root().path() + "/logs").c_str(), "myproc", program, 0, &err);
    }
    std::string user() const {
        return geteuid() == 0 ? "ALL_ADMINS" : getenv("USER") ? getenv("USER") : "";
    }
    std::string file(const char *date, int seq) const {
        char name[64];
        snprintf(name, sizeof name, ".%s_%05d.log", date, seq);
        return dir + "/" + user() + name;
    }
    std::vector<std::string> lines(const std::string &path) const {
        std::vector<std::string> out;
        std::string text = zt::test::read_file(path), line;
        for (char c : text)
            if (c == '\n') {
                out.push_back(line);
                line.clear();
            } else {
                line += c;
            }
        EXPECT_TRUE(line.empty()) << "unterminated last line in " << path;
        return out;
    }
    std::set<std::string> files() const {
        std::set<std::string> out;
        for (const auto &e : fs::directory_iterator(dir))
            out.insert(e.path().filename().string());
        return out;
    }
    void set_config(const logcfg::Values &v) { logcfg::memory().set(v); }
    // The log directory's files with their contents, to explain a failure.
    std::string listing() const {
        std::string out;
        for (const auto &name : files())
            out += "\n" + name + ":\n" + zt::test::read_file(dir + "/" + name);
        return out;
    }
    std::string dir;
};

TEST_F(DebugLog, OpensTodaysFileAndWritesExactLines) {
    if (geteuid() != 0)
        GTEST_SKIP() << "the administrator's file name needs uid 0";
    int fd = open();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(debugFD, fd);
    EXPECT_EQ(logmsg(4, "  hello\n  world ", "main"), 0);
    g_now.tv_nsec = 7000000;
    EXPECT_EQ(logmsgf(16, "fn", "value %d", 42), 0);
    const auto got = lines(dir + "/ALL_ADMINS.120426_00001.log");
    ASSERT_EQ(got.size(), 2u);
    const std::string prefix = "10:00:00.000 [" + std::to_string(getpid()) + ".";
    EXPECT_EQ(got[0].rfind(prefix, 0), 0u) << got[0];
    EXPECT_NE(got[0].find("] <4> main: hello world"), std::string::npos) << got[0];
    EXPECT_EQ(got[1].rfind("10:00:00.007 [", 0), 0u) << got[1];
    EXPECT_NE(got[1].find("] <16> fn: value 42"), std::string::npos) << got[1];
}

TEST_F(DebugLog, MissingDirectoryFailsUnlessCriticalWithRobustLogging) {
    fs::remove_all(dir);
    int err = 0;
    EXPECT_EQ(open_debug_log((root().path() + "/logs").c_str(), "myproc", "myproc", 0, &err), -1);
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(debugFD, -1);
    EXPECT_EQ(logmsg(4, "nowhere", "t"), 0);

    // A critical process keeps its log object and, with robust logging on,
    // makes the directory when it writes.
    logcfg::Values v;
    v.enable_robust_logging = 1;
    set_config(v);
    fs::remove_all(root().path() + "/logs");
    int fd = open_debug_log((root().path() + "/logs").c_str(), "bptm", "bptm", 0, &err);
    EXPECT_GE(fd, 0); // robust logging made the directory at open
    fs::remove_all(root().path() + "/logs");
    close_debug_log();
    v.enable_robust_logging = 0;
    set_config(v);
    EXPECT_EQ(open_debug_log((root().path() + "/logs").c_str(), "bptm", "bptm", 0, &err), -1);
    v.enable_robust_logging = 1;
    set_config(v);
    advance(61); // the next check reads robust logging, the write makes the directory
    EXPECT_EQ(logmsg(4, "recreated", "t"), 0);
    EXPECT_TRUE(fs::exists(root().path() + "/logs/bptm"));
}

TEST_F(DebugLog, VerbosityFiltersLevelTwoOnly) {
    for (int verbose : {-2, 0, 1, 5}) {
        SCOPED_TRACE(verbose);
        logcfg::Values v;
        v.verbose = verbose;
        v.keys["myproc_VERBOSE"] = 0; // 0: take the global VERBOSE
        set_config(v);
        fs::remove_all(dir);
        fs::create_directories(dir);
        int fd = open();
        ASSERT_GE(fd, 0);
        for (int level_verbosity = 0; level_verbosity <= 6; ++level_verbosity)
            logmsgvf(2, level_verbosity, "t", "debug at %d", level_verbosity);
        logmsgf(16, "t", "error");
        logmsgf(4, "t", "info");
        const auto names = files();
        ASSERT_EQ(names.size(), 1u);
        const auto got = lines(dir + "/" + *names.begin());
        if (verbose == -2) {
            ASSERT_EQ(got.size(), 1u);
            EXPECT_NE(got[0].find("Logging for this program has been disabled (x_VERBOSE is -2)"),
                      std::string::npos);
        } else {
            // debug lines 0..verbose, then the error and the info line
            EXPECT_EQ(got.size(), static_cast<size_t>(std::min(verbose, 6) + 1 + 2));
        }
        close_debug_log();
        log_set_verbosity_filter(0);
    }
}

TEST_F(DebugLog, ConfiguredVerbosityRules) {
    logcfg::Values v;
    v.verbose = 3;
    v.keys["BPTM_VERBOSE"] = 0;
    set_config(v);
    EXPECT_EQ(get_configured_verbose("bptm", nullptr), 3);
    v.keys["BPTM_VERBOSE"] = -1;
    set_config(v);
    EXPECT_EQ(get_configured_verbose("bptm", nullptr), 0);
    v.keys["BPTM_VERBOSE"] = -2;
    v.keys["MYTOOL_VERBOSE"] = 4;
    set_config(v);
    EXPECT_EQ(get_configured_verbose("bptm", nullptr), -2);
    EXPECT_EQ(get_configured_verbose("mytool", nullptr), 4);
    EXPECT_EQ(get_configured_verbose("other", "mytool"), 4);
    EXPECT_EQ(get_configured_verbose("other", "missing"), 3);
    logcfg::memory().set_readable(false);
    EXPECT_EQ(get_configured_verbose("bptm", nullptr), -1);
    logcfg::memory().set_readable(true);

    const int cases[][3] = {{-1, 5, 0}, {-3, 5, 0}, {0, 5, 5}, {0, -1, 0}, {2, 5, 2}, {-2, 5, -2}};
    for (const auto &c : cases)
        EXPECT_EQ(log_get_verbose(c[0], c[1]), c[2]) << c[0] << "," << c[1];

    // the log object: BPTM at the global 3, then at 0
    v.keys["BPTM_VERBOSE"] = 0;
    set_config(v);
    fs::create_directories(root().path() + "/logs/bptm");
    int err = 0;
    ASSERT_GE(open_debug_log((root().path() + "/logs").c_str(), "bptm", "bptm", 0, &err), 0);
    log_callback old{};
    int seen = 0;
    log_set_callback_no_logging(
        [](void *ctx, int, int, const char *, const char *) { ++*static_cast<int *>(ctx); }, &seen,
        &old);
    logmsgvf(2, 3, "t", "at 3");
    logmsgvf(2, 4, "t", "at 4");
    EXPECT_EQ(seen, 1);
}

TEST_F(DebugLog, CallbackReceivesThePreparedBody) {
    ASSERT_GE(open(), 0);
    struct Seen {
        int level = 0, verbosity = -1;
        std::string body, tag;
    } seen;
    log_set_callback(
        [](void *ctx, int level, int verbosity, const char *body, const char *tag) {
            auto *s = static_cast<Seen *>(ctx);
            s->level = level;
            s->verbosity = verbosity;
            s->body = body;
            s->tag = tag != nullptr ? tag : "";
        },
        &seen, nullptr);
    EXPECT_EQ(log_get_callback().context, &seen);
    logmsg(8, "  two\r\n  lines  ", "cb");
    EXPECT_EQ(seen.level, 8);
    EXPECT_EQ(seen.verbosity, 1); // verbosity 0 is reported as 1
    EXPECT_EQ(seen.body, "two lines");
    EXPECT_EQ(seen.tag, "cb");
    const auto got = files();
    ASSERT_EQ(got.size(), 1u);
    // the file holds the switch line written before the callback took over
    const auto text = zt::test::read_file(dir + "/" + *got.begin());
    EXPECT_NE(text.find("switching to a new logging callback"), std::string::npos);
    EXPECT_EQ(text.find("two lines"), std::string::npos);
}

TEST_F(DebugLog, RotationBySizeKeepsMaxNumLogfiles) {
    logcfg::Values v;
    v.max_num_logfiles = 3;
    set_config(v);
    ASSERT_GE(open(), 0);
    log_set_max_file_size(1000);
    const std::string text(200, 'r');
    for (int i = 0; i < 60; ++i)
        ASSERT_EQ(logmsgf(4, "rot", "%03d %s", i, text.c_str()), 0);
    const auto got = files();
    EXPECT_EQ(got.size(), 3u);
    std::set<int> numbers;
    size_t total = 0;
    for (const auto &name : got) {
        numbers.insert(atoi(name.substr(name.size() - 9, 5).c_str()));
        for (const auto &line : lines(dir + "/" + name)) {
            EXPECT_TRUE(std::regex_match(line, kLine)) << line;
            ++total;
        }
        EXPECT_LE(fs::file_size(dir + "/" + name), 1000u + 300u);
    }
    // the three newest numbers are kept, and they hold the last lines
    EXPECT_EQ(*numbers.rbegin() - *numbers.begin(), 2);
    EXPECT_GE(total, 3u);
    EXPECT_LE(total, 60u);
}

TEST_F(DebugLog, NextLineAfterMidnightGoesToANewFileNumberedOne) {
    if (geteuid() != 0)
        GTEST_SKIP() << "the administrator's file name needs uid 0";
    g_now = {local_time(2026, 12, 4, 23, 59, 59), 0};
    ASSERT_GE(open(), 0);
    log_set_max_file_size(50); // one line fills the day's file: a second one is made
    logmsg(4, "late on the fourth, and a long line to fill the file past its limit", "t");
    logmsg(4, "still the fourth", "t");
    g_now = {local_time(2026, 12, 5, 0, 0, 1), 0};
    logmsg(4, "early on the fifth", "t");
    EXPECT_TRUE(fs::exists(dir + "/ALL_ADMINS.120426_00001.log")) << listing();
    EXPECT_TRUE(fs::exists(dir + "/ALL_ADMINS.120426_00002.log")) << listing();
    const auto fifth = lines(dir + "/ALL_ADMINS.120526_00001.log");
    ASSERT_EQ(fifth.size(), 1u);
    EXPECT_NE(fifth[0].find("early on the fifth"), std::string::npos);
    EXPECT_EQ(fifth[0].rfind("00:00:01.000", 0), 0u);
}

TEST_F(DebugLog, DeletedFileIsRecreatedAfterTheCheck) {
    ASSERT_GE(open(), 0);
    logmsg(4, "first", "t");
    const auto before = files();
    ASSERT_EQ(before.size(), 1u);
    const std::string path = dir + "/" + *before.begin();
    fs::remove(path);
    advance(30);
    logmsg(4, "lost: goes to the deleted file", "t");
    EXPECT_FALSE(fs::exists(path));
    advance(31);
    logmsg(4, "after the check", "t");
    const auto got = lines(path);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("after the check"), std::string::npos);
}

TEST_F(DebugLog, RemovedDirectoryReportsLostLinesUntilItIsBack) {
    const struct {
        const char *what;
        std::function<void(const std::string &)> replace;
    } cases[] = {
        {"removed", [](const std::string &) {}},
        {"a file in its place", [](const std::string &d) { zt::test::write_file(d, "x"); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_GE(open(), 0);
        ASSERT_EQ(logmsg(4, "first", "t"), 0);
        fs::remove_all(dir);
        c.replace(dir);
        advance(61);
        const time_t first_lost = g_now.tv_sec;
        EXPECT_EQ(logmsg(4, "nowhere to go", "t"), 142);
        advance(1);
        EXPECT_EQ(logmsg(4, "still nowhere", "t"), 142);
        fs::remove_all(dir);
        fs::create_directories(dir);
        advance(61);
        EXPECT_EQ(logmsg(4, "back", "t"), 0);
        EXPECT_EQ(logmsg(4, "and on", "t"), 0);
        // The log tells, once, what it could not write.
        const auto got = lines(file("120426", 1));
        ASSERT_EQ(got.size(), 3u) << listing();
        EXPECT_NE(got[0].find(lost_note(2, first_lost)), std::string::npos) << got[0];
        EXPECT_TRUE(std::regex_match(got[0], kLine)) << got[0];
        EXPECT_NE(got[1].find("t: back"), std::string::npos);
        EXPECT_NE(got[2].find("t: and on"), std::string::npos);
        close_debug_log();
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
}

// Lines lost before a fork are the parent's to report: a child forked then
// lost nothing and says nothing of them.
TEST_F(DebugLog, AForkedChildDoesNotReportItsParentsLostLines) {
    ASSERT_GE(open(), 0);
    ASSERT_EQ(logmsg(4, "first", "t"), 0);
    fs::remove_all(dir);
    advance(61);
    const time_t first_lost = g_now.tv_sec;
    EXPECT_EQ(logmsg(4, "nowhere to go", "t"), 142);
    EXPECT_EQ(logmsg(4, "still nowhere", "t"), 142);
    fs::create_directories(dir);
    advance(61);
    const pid_t child = fork();
    if (child == 0)
        _exit(logmsg(4, "child", "t") == 0 ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(logmsg(4, "parent", "t"), 0);
    const auto got = lines(file("120426", 1));
    ASSERT_EQ(got.size(), 3u) << listing();
    EXPECT_NE(got[0].find("t: child"), std::string::npos) << listing();
    const std::string parent = "[" + std::to_string(getpid()) + ".";
    EXPECT_NE(got[1].find(lost_note(2, first_lost)), std::string::npos) << listing();
    EXPECT_NE(got[1].find(parent), std::string::npos) << listing();
    EXPECT_NE(got[2].find("t: parent"), std::string::npos) << listing();
}

TEST_F(DebugLog, InvalidLimitsAreRepairedAndReportedOnce) {
    logcfg::Values v;
    v.max_logfile_size = 0;
    v.max_num_logfiles = 1;
    set_config(v);
    ASSERT_GE(open(), 0);
    logcfg::Values now;
    ASSERT_TRUE(logcfg::memory().read(now));
    EXPECT_EQ(now.max_logfile_size, 50);
    EXPECT_EQ(now.max_num_logfiles, 0);
    EXPECT_EQ(log_get_max_file_size(), 50LL * 1048576);
    advance(61);
    logmsg(4, "after a check", "t");
    const auto got = files();
    ASSERT_EQ(got.size(), 1u);
    const std::string text = zt::test::read_file(dir + "/" + *got.begin());
    EXPECT_NE(
        text.find(
            "<8> log_bpconf_update_warn: MAX_LOGFILE_SIZE was set to invalid value. Updated to "
            "default[50] in bp.conf"),
        std::string::npos)
        << text;
    EXPECT_NE(
        text.find("MAX_NUM_LOGFILES was set to invalid value. Updated to default[0] in bp.conf"),
        std::string::npos);
    EXPECT_EQ(text.find("MAX_LOGFILE_SIZE was set"), text.rfind("MAX_LOGFILE_SIZE was set"));
}

TEST_F(DebugLog, WriteErrorReturnsTheFailureAndTheLogRecovers) {
    ASSERT_GE(open(), 0);
    int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    log_set_locking(0);
    ASSERT_EQ(log_set_debug_fd(full), 0);
    EXPECT_EQ(logmsg(4, "disk full", "t"), 14);
    // Dropped until the next check reopens the file: the caller goes on, told
    // the line was not written.
    EXPECT_EQ(logmsg(4, "file closed", "t"), 14);
    advance(61);
    EXPECT_EQ(logmsg(4, "recovered", "t"), 0);
    const auto got = files();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(zt::test::read_file(dir + "/" + *got.begin()).find("recovered"), std::string::npos);
}

TEST_F(DebugLog, FallbackWriterWithoutALogObject) {
    const std::string path = root().path() + "/fallback.log";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    debugFD = fd;
    EXPECT_EQ(logmsg(16, "no log object", "fb"), 0);
    static std::atomic<int> calls;
    calls = 0;
    ztbase::debuglog::test_hook_write = [](int, const void *, size_t) -> ssize_t {
        ++calls;
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(logmsg(16, "failing", "fb"), EIO);
    ztbase::debuglog::test_hook_write = nullptr;
    EXPECT_EQ(calls.load(), 1);
    const auto got = lines(path);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(std::regex_match(got[0], kLine));
    EXPECT_NE(got[0].find("<16> fb: no log object"), std::string::npos);
    debugFD = -1;
    close(fd);
}

TEST_F(DebugLog, LogparamsMasksPasswords) {
    ASSERT_GE(open(), 0);
    const char *args[] = {"prog", "-user", "bob", "-password", "secret", "-dbpwd", "x1", "tail"};
    logparams(8, const_cast<char **>(args));
    logparamswithdate(3, const_cast<char **>(args));
    const auto got = files();
    ASSERT_EQ(got.size(), 1u);
    const std::string text = zt::test::read_file(dir + "/" + *got.begin());
    EXPECT_NE(text.find("<2> logparams: prog -user bob -password ****** -dbpwd ** tail\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("<2> : logparams: prog -user bob\n"), std::string::npos) << text;
}

TEST_F(DebugLog, ProcessesAndThreadsShareOneFileWithoutTornLines) {
    ASSERT_GE(open(), 0);
    logmsg(4, "parent", "t");
    close_debug_log();
    constexpr int kChildren = 3, kThreads = 2, kLines = 300;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        pid_t pid = fork();
        if (pid == 0) {
            int err = 0;
            if (open_debug_log((root().path() + "/logs").c_str(), "myproc", "myproc", 0, &err) < 0)
                _exit(1);
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t)
                threads.emplace_back([c, t] {
                    const std::string pad(3000, static_cast<char>('a' + c * kThreads + t));
                    for (int i = 0; i < kLines; ++i)
                        logmsgf(4, "w", "c%d t%d i%04d %s end", c, t, i, pad.c_str());
                });
            for (auto &th : threads)
                th.join();
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto got = files();
    ASSERT_EQ(got.size(), 1u);
    const auto all = lines(dir + "/" + *got.begin());
    ASSERT_EQ(all.size(), 1u + kChildren * kThreads * kLines);
    std::set<std::string> seen;
    const std::regex shape(R"(.*<4> w: c(\d) t(\d) i(\d{4}) ([a-z])\4{2999} end)");
    for (size_t i = 1; i < all.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(all[i], m, shape)) << "torn line " << i;
        EXPECT_TRUE(seen.insert(m[1].str() + m[2].str() + m[3].str()).second);
    }
}

} // namespace

namespace {

TEST_F(DebugLog, SuppressedFileManagementKeepsOneInheritableFile) {
    ASSERT_GE(open(), 0);
    int fd = suppress_log_file_mgmt();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0); // children may inherit it now
    log_set_max_file_size(50);
    for (int i = 0; i < 5; ++i)
        logmsgf(4, "t", "line %d after the limit", i);
    advance(86400); // nor does a day change move it
    logmsg(4, "a day later", "t");
    const auto got = files();
    ASSERT_EQ(got.size(), 1u) << listing();
    EXPECT_EQ(lines(dir + "/" + *got.begin()).size(), 6u);
}

TEST_F(DebugLog, CurrentFileCanBeReplaced) {
    ASSERT_GE(open(), 0);
    const int first = ZtLog_GetHandle(nullptr);
    EXPECT_EQ(first, ZtLog_GetFD());
    const std::string other = root().path() + "/other.log";
    int err = 0;
    ASSERT_EQ(ZtLog_OpenFile(nullptr, other.c_str(), 0, 0, &err), 0);
    EXPECT_NE(ZtLog_GetHandle(nullptr), -1);
    logmsg(4, "to the other file", "t");
    EXPECT_NE(zt::test::read_file(other).find("to the other file"), std::string::npos);
    EXPECT_EQ(ZtLog_OpenFile(nullptr, (root().path() + "/no/such/dir/x.log").c_str(), 0, 0, &err),
              12);
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(ZtLog_CloseLoggerInfo(nullptr), 0);
    EXPECT_EQ(ZtLog_GetHandle(nullptr), -1);
    EXPECT_EQ(debugFD, -1);
}

TEST_F(DebugLog, LoggingFileStreamAndRawWriters) {
    FILE *f = open_logging_file((root().path() + "/logs/myproc").c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(log_get_process_bpconf_verbose(), 1);
    fputs("written through the stream\n", f);
    fflush(f);
    logmsgvf(2, 1, "t", "a debug line at verbosity 1");
    const auto got = files();
    ASSERT_EQ(got.size(), 1u);
    const std::string path = dir + "/" + *got.begin();
    close_logging_file(f);
    EXPECT_EQ(debugFD, -1);
    const std::string text = zt::test::read_file(path);
    EXPECT_NE(text.find("written through the stream\n"), std::string::npos);
    EXPECT_NE(text.find("<2> t: a debug line at verbosity 1\n"), std::string::npos);

    const std::string raw = root().path() + "/raw.log";
    int fd = ::open(raw.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::debuglog(-1, "x"), -1);
    EXPECT_EQ(::debuglog(fd, "straight"), 0);
    EXPECT_EQ(logwithtime(fd, "timed"), 0);
    EXPECT_EQ(logwithtime_and_id(fd, "job 7", "with id"), 0);
    EXPECT_EQ(logwithoutdate(fd, "as is\n"), 0);
    close(fd);
    const auto got_raw = lines(raw);
    ASSERT_EQ(got_raw.size(), 4u);
    EXPECT_TRUE(std::regex_match(got_raw[0], std::regex(R"(10:00:00\.000 \[\d+\.\d+\] straight)")))
        << got_raw[0];
    EXPECT_EQ(got_raw[1], "10:00:00 timed");
    EXPECT_EQ(got_raw[2], "10:00:00 (job 7) with id");
    EXPECT_EQ(got_raw[3], "as is");
}

} // namespace

// Faults: peers, full disks, forks, broken pipes, clocks, planted files --------------

namespace {

// Waits for a child at most `seconds`; a child still running then is killed and
// reported, so that a deadlock fails the test instead of hanging it.
bool reap(pid_t pid, int seconds, int *status) {
    for (int i = 0; i < seconds * 100; ++i) {
        if (waitpid(pid, status, WNOHANG) == pid)
            return true;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
    return false;
}

bool whole_lines(const std::string &text, std::string *bad) {
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        const std::string line = text.substr(start, nl - start);
        if (!std::regex_match(line, kLine)) {
            *bad = line.substr(0, 120);
            return false;
        }
        start = nl + 1;
    }
    return true;
}

TEST_F(DebugLog, QuietProcessAmongRotatingPeersLosesNoLine) {
    ASSERT_GE(open(), 0);
    log_set_max_file_size(1000);
    const std::string pad(400, 'q');
    ASSERT_EQ(logmsgf(4, "quiet", "q-000 %s", pad.c_str()), 0);
    ASSERT_EQ(logmsgf(4, "quiet", "q-001 %s", pad.c_str()), 0);
    ASSERT_EQ(logmsgf(4, "quiet", "q-002 %s", pad.c_str()), 0); // file 1 is full now
    // Peers rotate through some thirty files while this process says nothing.
    std::vector<pid_t> peers;
    for (int p = 0; p < 2; ++p) {
        pid_t pid = fork();
        if (pid == 0) {
            int err = 0;
            if (open_debug_log((root().path() + "/logs").c_str(), "myproc", "myproc", 0, &err) < 0)
                _exit(1);
            log_set_max_file_size(1000);
            for (int i = 0; i < 40; ++i)
                if (logmsgf(4, "peer", "p%d-%03d %s", p, i, pad.c_str()) != 0)
                    _exit(2);
            _exit(0);
        }
        peers.push_back(pid);
    }
    for (pid_t pid : peers) {
        int status = 0;
        ASSERT_TRUE(reap(pid, 60, &status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    ASSERT_GT(files().size(), 21u) << "the peers did not rotate far enough";
    for (int i = 3; i < 10; ++i)
        EXPECT_EQ(logmsgf(4, "quiet", "q-%03d %s", i, pad.c_str()), 0) << i;
    std::set<std::string> seen;
    for (const auto &name : files())
        for (const auto &line : lines(dir + "/" + name)) {
            const size_t at = line.find("quiet: q-");
            if (at != std::string::npos)
                seen.insert(line.substr(at + 9, 3));
        }
    EXPECT_EQ(seen.size(), 10u) << listing();
}

// A small tmpfs as the log directory, filled to the brim.
class FullDisk : public DebugLog {
  protected:
    void SetUp() override {
        DebugLog::SetUp();
        if (mount("zt-full", dir.c_str(), "tmpfs", 0, "size=64k") != 0)
            GTEST_SKIP() << "cannot mount a small tmpfs here (" << strerror(errno)
                         << "): the full-disk cases need one";
        mounted_ = true;
    }
    void TearDown() override {
        DebugLog::TearDown();
        if (mounted_)
            umount2(dir.c_str(), MNT_DETACH);
    }
    // Fills what is left of the file system; the filler is removed to recover.
    void fill() {
        int fd = ::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        const std::string block(4096, 'f');
        while (write(fd, block.data(), block.size()) > 0) {
        }
        while (write(fd, "f", 1) > 0) {
        }
        close(fd);
    }
    bool mounted_ = false;
};

TEST_F(FullDisk, HalfLinesNeverGlueAndDroppedLinesReportFailure) {
    for (int locking : {1, 0}) {
        SCOPED_TRACE(locking);
        ASSERT_GE(open(), 0);
        log_set_locking(locking);
        ASSERT_EQ(logmsg(4, "before the disk filled", "t"), 0);
        fill();
        const time_t first_lost = g_now.tv_sec;
        // Most of this line finds room in the file's last page, then the disk is full.
        const std::string big(6000, 'b');
        EXPECT_EQ(logmsg(4, big.c_str(), "t"), 14);
        EXPECT_EQ(logmsg(4, "dropped while the file is closed", "t"), 14);
        fs::remove(dir + "/filler");
        advance(61);
        EXPECT_EQ(logmsg(4, "recovered", "t"), 0);
        close_debug_log();
        const auto names = files();
        ASSERT_EQ(names.size(), 1u) << listing();
        const std::string text = zt::test::read_file(dir + "/" + *names.begin());
        EXPECT_NE(text.find("<4> t: before the disk filled\n"), std::string::npos);
        const size_t at = text.find("<4> t: recovered\n");
        ASSERT_NE(at, std::string::npos) << text.substr(0, 200);
        const size_t note = text.find(lost_note(2, first_lost) + "\n");
        EXPECT_NE(note, std::string::npos) << text.substr(0, 300);
        EXPECT_EQ(text.find('\n', note) + 1, text.rfind('\n', at) + 1)
            << "the note is the line just before the first line written again";
        const size_t line_start = text.rfind('\n', at);
        ASSERT_NE(line_start, std::string::npos);
        EXPECT_TRUE(std::regex_match(text.substr(line_start + 1, at + 16 - line_start - 1), kLine))
            << "the line after the failure is glued to a fragment";
        std::string bad;
        if (locking) { // holding the file lock, the half line is taken back
            EXPECT_TRUE(whole_lines(text, &bad)) << bad;
        }
        fs::remove(dir + "/" + *names.begin());
    }
}

TEST_F(DebugLog, ForkStormWithTheFallbackWriter) {
    const std::string path = root().path() + "/fallback.log";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    debugFD = fd;
    std::atomic<bool> stop{false};
    std::vector<std::thread> loggers;
    for (int t = 0; t < 3; ++t)
        loggers.emplace_back([&stop, t] {
            for (int i = 0; !stop.load(); ++i)
                logmsgf(4, "thread", "t%d line %d", t, i);
        });
    constexpr int kChildren = 60;
    int hung = 0, failed = 0;
    for (int c = 0; c < kChildren; ++c) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            _exit(logmsgf(4, "child", "child %d", c) == 0 ? 0 : 1);
        int status = 0;
        if (!reap(pid, 20, &status))
            ++hung;
        else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            ++failed;
    }
    stop = true;
    for (auto &t : loggers)
        t.join();
    debugFD = -1;
    close(fd);
    EXPECT_EQ(hung, 0) << "children deadlocked on their first line";
    EXPECT_EQ(failed, 0);
    const std::string text = zt::test::read_file(path);
    std::string bad;
    EXPECT_TRUE(whole_lines(text, &bad)) << bad;
    for (int c = 0; c < kChildren; ++c)
        EXPECT_NE(text.find("child: child " + std::to_string(c) + "\n"), std::string::npos) << c;
}

TEST_F(DebugLog, ForkDoesNotWaitForALineBlockedOnAnotherProcesssLock) {
    ASSERT_GE(open(), 0);
    ASSERT_EQ(logmsg(4, "first", "t"), 0);
    const auto names = files();
    ASSERT_EQ(names.size(), 1u);
    const std::string path = dir + "/" + *names.begin();
    int go[2], held[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(held), 0);
    pid_t holder = fork();
    if (holder == 0) {
        int fd = ::open(path.c_str(), O_WRONLY);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_len = 8;
        if (fd < 0 || fcntl(fd, F_SETLKW, &fl) != 0)
            _exit(1);
        char c = 'h';
        if (write(held[1], &c, 1) != 1 || read(go[0], &c, 1) != 1)
            _exit(2);
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(held[0], &c, 1), 1);
    std::atomic<int> rc{-1};
    std::thread blocked([&rc] { rc = logmsg(4, "waits for the lock", "t"); });
    usleep(200000); // let the thread reach the lock wait
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    int status = 0;
    const bool forked = reap(child, 20, &status);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    blocked.join();
    ASSERT_TRUE(reap(holder, 20, &status));
    EXPECT_TRUE(forked) << "fork waited for a line blocked on another process's lock";
    EXPECT_EQ(rc.load(), 0);
    for (int fd : {go[0], go[1], held[0], held[1]})
        close(fd);
}

TEST_F(DebugLog, ReaderlessPipeGivesAnErrorNotSigpipe) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    const struct {
        const char *what;
        std::function<int()> write;
        int expected;
    } cases[] = {
        {"fallback writer",
         [&] {
             debugFD = p[1];
             int r = logmsg(16, "x", "t");
             debugFD = -1;
             return r;
         },
         EPIPE},
        {"debuglog", [&] { return ::debuglog(p[1], "x"); }, -1},
        {"logwithtime", [&] { return logwithtime(p[1], "x"); }, -1},
        {"logwithtime_and_id", [&] { return logwithtime_and_id(p[1], "id", "x"); }, -1},
        {"logwithoutdate", [&] { return logwithoutdate(p[1], "x\n"); }, -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.write(), c.expected) << c.what;
        sigset_t pending;
        sigpending(&pending);
        EXPECT_FALSE(sigismember(&pending, SIGPIPE)) << c.what;
    }
    // The log object writing through a pipe that log_set_debug_fd gave it.
    ASSERT_GE(open(), 0);
    log_set_locking(0);
    ASSERT_EQ(log_set_debug_fd(dup(p[1])), 0);
    EXPECT_EQ(logmsg(4, "to a broken pipe", "t"), 14);
    close(p[1]);
}

TEST_F(DebugLog, ClockStepsBackAndLongGapsBetweenLines) {
    ASSERT_GE(open(), 0);
    ASSERT_EQ(logmsg(4, "first", "t"), 0);
    const std::string first = dir + "/" + *files().begin();
    fs::remove(first);
    // The wall clock is set back an hour; a minute passes all the same.
    g_now.tv_sec -= 3600;
    g_mono.tv_sec += 61;
    EXPECT_EQ(logmsg(4, "after the check", "t"), 0);
    ASSERT_TRUE(fs::exists(first)) << "the check stalled on the wall clock";
    EXPECT_NE(zt::test::read_file(first).find("after the check"), std::string::npos);

    // A month with no lines: same day of the month, a new date all the same.
    g_now = {local_time(2027, 1, 4, 10, 0, 0), 0};
    EXPECT_EQ(logmsg(4, "a month later", "t"), 0);
    const auto got = lines(file("010427", 1));
    ASSERT_EQ(got.size(), 1u) << listing();
    EXPECT_NE(got[0].find("a month later"), std::string::npos);
}

TEST_F(DebugLog, PlantedFilesAreNotAppendedTo) {
    const std::string today = file("120426", 1);
    const std::string target = root().path() + "/victim";
    zt::test::write_file(target, "precious\n");
    ASSERT_EQ(symlink(target.c_str(), today.c_str()), 0);
    int err = 0;
    EXPECT_EQ(open_debug_log((root().path() + "/logs").c_str(), "myproc", "myproc", 0, &err), -1);
    EXPECT_EQ(err, ELOOP);
    EXPECT_EQ(logmsg(4, "into the link?", "t"), 0); // no log: nothing written, nothing claimed
    EXPECT_EQ(zt::test::read_file(target), "precious\n");
    fs::remove(today);

    // A FIFO without a reader fails the open instead of blocking the process
    // (in a child, so that a hang shows as a failure).
    ASSERT_EQ(mkfifo(today.c_str(), 0666), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int e = 0;
        const int fd = open_debug_log((root().path() + "/logs").c_str(), "myproc", "myproc", 0, &e);
        _exit(fd == -1 && e == ENXIO ? 0 : 1);
    }
    int status = 0;
    ASSERT_TRUE(reap(pid, 20, &status)) << "the open hung on a planted FIFO";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    fs::remove(today);

    // A critical process with robust logging that cannot open its file leaves
    // the mode of the existing directory alone, also where a link points.
    const std::string shared = root().path() + "/shared";
    fs::create_directories(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string logs = root().path() + "/logs", mine = logs + "/bptm";
    fs::remove_all(mine);
    EXPECT_EQ(open_debug_log(logs.c_str(), "bptm", "bptm", 0, &err), -1); // keeps its log
    ASSERT_EQ(symlink(shared.c_str(), mine.c_str()), 0);
    const std::string planted = shared + "/" + user() + ".120426_00001.log";
    ASSERT_EQ(symlink(target.c_str(), planted.c_str()), 0);
    logcfg::Values v;
    v.enable_robust_logging = 1;
    set_config(v);
    advance(61); // robust logging is read at the next check
    EXPECT_EQ(logmsg(4, "no file", "t"), 12);
    EXPECT_EQ(zt::test::read_file(target), "precious\n");
    struct stat sb;
    ASSERT_EQ(stat(shared.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 01777u);
    set_config(logcfg::Values{});

    if (geteuid() != 0)
        return; // a file of another user needs root to make
    zt::test::write_file(today, "");
    ASSERT_EQ(chown(today.c_str(), 12345, 12345), 0);
    EXPECT_EQ(open_debug_log((root().path() + "/logs").c_str(), "myproc", "myproc", 0, &err), -1);
    EXPECT_EQ(err, EPERM);
    EXPECT_EQ(zt::test::read_file(today), "");
    EXPECT_EQ(ZtLog_OpenFile(nullptr, today.c_str(), 0, 0, &err), 12); // no log object
}

} // namespace
