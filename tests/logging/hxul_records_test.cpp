// The structured log library: records written and read back, bad bytes in
// record and configuration files, several writing processes (one killed),
// rotation, queries.
#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <hxul/hxul.h>

#include "support/temp_root.h"

namespace fs = std::filesystem;
using zt::test::read_file;
using zt::test::TempRoot;
using zt::test::write_file;

namespace {

constexpr unsigned long kProduct = 51216;

size_t hxul_files(const std::string &dir) {
    size_t n = 0;
    for (const auto &e : fs::directory_iterator(dir))
        n += e.path().extension() == ".log";
    return n;
}

class HxulTest : public ::testing::Test {
  protected:
    HxulTest() {
        hlvnLogSetPaths(conf().c_str(), logs().c_str());
        write_file(conf(), "[*]\nDebugLevel = 6\nDiagLevel = 6\n");
    }
    std::string conf() const { return root_ / "hxul.conf"; }
    std::string logs() const { return root_ / "logs"; }
    std::string dir(unsigned long originator) const {
        return logs() + "/" + std::to_string(kProduct) + "/" + std::to_string(originator);
    }

    struct Read {
        std::vector<std::string> texts; // debug texts, or msgid:args of the others
        long skipped = 0;
    };
    // Every record of an originator as the reader gives it.
    Read read_all(long originator, int64_t since = 0) {
        Read out;
        hlvnLogReader *r = nullptr;
        EXPECT_EQ(hlvnLogReaderOpen(long(kProduct), originator, since, &r), HLVN_OK);
        const hlvnLogRecord *rec = nullptr;
        int rc;
        while ((rc = hlvnLogReaderNext(r, &rec)) == HLVN_OK) {
            const char *text = nullptr;
            if (hlvnLogRecGetText(rec, &text) == HLVN_OK) {
                out.texts.emplace_back(text);
                continue;
            }
            unsigned long id = 0;
            int n = 0;
            hlvnLogRecGetMsgId(rec, &id);
            hlvnLogRecGetArgCount(rec, &n);
            std::string s = std::to_string(id);
            for (int i = 0; i < n; ++i) {
                const char *a = nullptr;
                hlvnLogRecGetArg(rec, i, &a);
                s += std::string(":") + a;
            }
            out.texts.push_back(s);
        }
        EXPECT_EQ(rc, HLVN_E_NOMORE);
        out.skipped = hlvnLogReaderSkipped(r);
        hlvnLogReaderClose(r);
        return out;
    }

    TempRoot root_;
};

TEST_F(HxulTest, RecordsRoundTripWithEveryAttribute) {
    hlvnLog *log = nullptr;
    ASSERT_EQ(hlvnLogOpen(kProduct, 7, &log), HLVN_OK);
    hlvnLogSetUtf8Input(log, 1);
    struct Case {
        const char *text;
        const char *expect; // what a reader gets back
    } cases[] = {
        {"plain text", "plain text"},
        {"tab\there\nnew line\r\\ back", "tab\there\nnew line\r\\ back"},
        {"bell \a and del \x7f", "bell \a and del \x7f"},
        {"caf\xc3\xa9 \xff\xfe", "caf\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd"}, // invalid bytes replaced
        {"", ""},
    };
    for (const Case &c : cases)
        ASSERT_EQ(hlvnLogDebug(log, "who\tw", 3, c.text), HLVN_OK);
    const char *args[] = {"a\tb", "c"};
    ASSERT_EQ(hlvnLogDiag(log, "diag", 2, 1002, 2, args), HLVN_OK);
    ASSERT_EQ(hlvnLogApp(log, "app", HLVN_SEV_WARNING, 1001, 1, args + 1), HLVN_OK);
    ASSERT_EQ(hlvnLogApp(log, "app", 7, 1001, 0, nullptr), HLVN_E_PARAM);
    // A child writing through the handle it inherited names itself, not its parent.
    const pid_t child = fork();
    if (child == 0)
        _exit(hlvnLogDebug(log, "child", 1, "from the child") == HLVN_OK ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    hlvnLogClose(log);

    hlvnLogReader *r = nullptr;
    ASSERT_EQ(hlvnLogReaderOpen(-1, -1, 0, &r), HLVN_OK);
    const hlvnLogRecord *rec = nullptr;
    for (const Case &c : cases) {
        ASSERT_EQ(hlvnLogReaderNext(r, &rec), HLVN_OK);
        const char *text = nullptr, *who = nullptr;
        hlvnLogKind_t kind;
        int level = 0;
        unsigned long product = 0, originator = 0, pid = 0;
        int64_t ms = 0;
        ASSERT_EQ(hlvnLogRecGetText(rec, &text), HLVN_OK);
        EXPECT_EQ(std::string(text), c.expect);
        hlvnLogRecGetWho(rec, &who);
        EXPECT_STREQ(who, "who\tw");
        hlvnLogRecGetKind(rec, &kind);
        hlvnLogRecGetLevel(rec, &level);
        hlvnLogRecGetProduct(rec, &product);
        hlvnLogRecGetOriginator(rec, &originator);
        hlvnLogRecGetPid(rec, &pid);
        hlvnLogRecGetTime(rec, &ms);
        EXPECT_EQ(kind, HLVN_KIND_DEBUG);
        EXPECT_EQ(level, 3);
        EXPECT_EQ(product, kProduct);
        EXPECT_EQ(originator, 7u);
        EXPECT_EQ(pid, static_cast<unsigned long>(getpid()));
        EXPECT_NEAR(double(ms / 1000), double(time(nullptr)), 5);
    }
    ASSERT_EQ(hlvnLogReaderNext(r, &rec), HLVN_OK);
    unsigned long id = 0;
    const char *arg = nullptr;
    hlvnLogRecGetMsgId(rec, &id);
    EXPECT_EQ(id, 1002u);
    ASSERT_EQ(hlvnLogRecGetArg(rec, 0, &arg), HLVN_OK);
    EXPECT_STREQ(arg, "a\tb");
    EXPECT_EQ(hlvnLogRecGetArg(rec, 2, &arg), HLVN_E_NOTSET);
    ASSERT_EQ(hlvnLogReaderNext(r, &rec), HLVN_OK);
    hlvnLogSeverity_t sev;
    ASSERT_EQ(hlvnLogRecGetSeverity(rec, &sev), HLVN_OK);
    EXPECT_EQ(sev, HLVN_SEV_WARNING);
    ASSERT_EQ(hlvnLogReaderNext(r, &rec), HLVN_OK);
    unsigned long pid = 0, tid = 0;
    hlvnLogRecGetPid(rec, &pid);
    hlvnLogRecGetTid(rec, &tid);
    EXPECT_EQ(pid, static_cast<unsigned long>(child));
    EXPECT_EQ(tid, static_cast<unsigned long>(child));
    EXPECT_EQ(hlvnLogReaderNext(r, &rec), HLVN_E_NOMORE);
    EXPECT_EQ(hlvnLogReaderSkipped(r), 0);
    hlvnLogReaderClose(r);

    // One line per record, readable as it stands: no raw tab inside a field.
    const std::string file = read_file(dir(7) + "/hxul-1.log");
    EXPECT_NE(file.find("\tDBG\t3\t51216\t7\t"), std::string::npos);
    EXPECT_NE(file.find("tab\\there\\nnew line\\r\\\\ back"), std::string::npos);
    EXPECT_NE(file.find("bell \\x07 and del \\x7F"), std::string::npos);
}

TEST_F(HxulTest, LevelsFilterAndFollowTheConfigurationFile) {
    write_file(conf(), "[*]\nDebugLevel = 2\nDiagLevel = 1\n");
    hlvnLog *log = nullptr;
    ASSERT_EQ(hlvnLogOpen(kProduct, 8, &log), HLVN_OK);
    EXPECT_EQ(hlvnLogDebug(log, "t", 3, "too deep"), HLVN_E_FILTERED);
    EXPECT_EQ(hlvnLogDebug(log, "t", 2, "kept"), HLVN_OK);
    EXPECT_EQ(hlvnLogDiag(log, "t", 2, 1, 0, nullptr), HLVN_E_FILTERED);
    EXPECT_EQ(hlvnLogApp(log, "t", HLVN_SEV_INFO, 1, 0, nullptr), HLVN_OK); // always written
    // The file changes while the log is open; a second later the log follows.
    write_file(conf(), "[*]\nDebugLevel = 2\n[51216.8]\nDebugLevel = 5\n");
    usleep(1100 * 1000);
    EXPECT_EQ(hlvnDynaLoadConfig(log), HLVN_OK);
    int level = 0;
    hlvnLogGetDebugLevel(log, &level);
    EXPECT_EQ(level, 5);
    EXPECT_EQ(hlvnLogDebug(log, "t", 3, "now kept"), HLVN_OK);
    hlvnLogClose(log);
    EXPECT_EQ(read_all(8).texts, (std::vector<std::string>{"kept", "1", "now kept"}));
}

TEST_F(HxulTest, ConfigurationSectionsAndBadLines) {
    struct Case {
        std::string text;
        int debug, diag;
        long max_kb, files;
        int bad;
    } cases[] = {
        {"", 0, 1, 51200, 0, 0},
        {"[*]\nDebugLevel=3\n[51216]\nDebugLevel = 4\n[51216.9]\ndebuglevel = 5\n", 5, 1, 51200, 0,
         0},
        // the most specific section wins wherever it stands
        {"[51216.9]\nDiagLevel = 4\n[*]\nDiagLevel = 2\n", 0, 4, 51200, 0, 0},
        {"[51216.10]\nDebugLevel = 6\n[99]\nMaxFileSize = 5\n", 0, 1, 51200, 0, 0},
        {"[*]\nDebugLevel = 9\nMaxFileSize = 0\nNumberOfLogFiles = -1\nnonsense\nNoSuchKey = 1\n",
         0, 1, 51200, 0, 5},
        {"[*\nDebugLevel = 4\n[51216.9]\nMaxFileSize = 64\nNumberOfLogFiles = 3\n", 0, 1, 64, 3,
         1},
        {std::string("DebugLevel = 2\0garbage\nDiagLevel = 3\n", 37), 0, 3, 51200, 0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const std::string &text = c.text;
        hlvnLogCfg *cfg = nullptr;
        int bad = -1;
        ASSERT_EQ(hlvnLogParseCfg(text.data(), text.size(), kProduct, 9, &cfg, &bad), HLVN_OK);
        int debug = -1;
        hlvnLogDiagLevel_t diag = -1;
        long max_kb = 0, files = -1;
        hlvnLogCfgGetDebugLevel(cfg, &debug);
        hlvnLogCfgGetDiagLevel(cfg, &diag);
        hlvnLogCfgGetMaxFileSize(cfg, &max_kb);
        hlvnLogCfgGetNumberOfLogFiles(cfg, &files);
        EXPECT_EQ(debug, c.debug);
        EXPECT_EQ(diag, c.diag);
        EXPECT_EQ(max_kb, c.max_kb);
        EXPECT_EQ(files, c.files);
        EXPECT_EQ(bad, c.bad);
        const char *lib = nullptr;
        EXPECT_EQ(hlvnLogCfgGetL10NLibrary(cfg, &lib), HLVN_E_NOTSET);
        hlvnLogFreeCfg(cfg);
    }
}

TEST_F(HxulTest, ConfigurationFileThatIsNotAFile) {
    hlvnLogCfg *cfg = nullptr;
    fs::remove(conf());
    ASSERT_EQ(hlvnLogReadCfg(kProduct, 1, &cfg), HLVN_OK); // missing: the defaults
    hlvnLogFreeCfg(cfg);
    ASSERT_EQ(mkfifo(conf().c_str(), 0600), 0);
    EXPECT_EQ(hlvnLogReadCfg(kProduct, 1, &cfg), HLVN_E_CONFIG); // no hang on a FIFO
    EXPECT_EQ(cfg, nullptr);
    fs::remove(conf());
    write_file(conf(), std::string(2 * 1024 * 1024, 'x'));
    EXPECT_EQ(hlvnLogReadCfg(kProduct, 1, &cfg), HLVN_E_CONFIG);
}

TEST_F(HxulTest, ReaderSkipsWhatIsNotARecordAndKeepsEveryWholeOne) {
    hlvnLog *log = nullptr;
    ASSERT_EQ(hlvnLogOpen(kProduct, 11, &log), HLVN_OK);
    for (int i = 0; i < 3; ++i)
        hlvnLogDebug(log, "t", 1, ("good " + std::to_string(i)).c_str());
    hlvnLogClose(log);
    const std::string file = dir(11) + "/hxul-1.log";
    const std::string good = read_file(file);
    const size_t second = good.find('\n', good.find('\n') + 1) + 1; // past the header and record 0
    const std::string rec1 = good.substr(second, good.find('\n', second) + 1 - second);
    std::string bad;
    bad += good;
    bad += rec1.substr(0, rec1.size() / 2);               // a killed writer's piece ...
    bad += rec1;                                          // ... and a whole record after it
    bad += std::string("garbage\0with NUL\n", 17);        // NUL bytes
    bad += "\xff\xfe not utf-8 \tDBG\n";                  // invalid UTF-8, not a record
    bad += std::string(1024 * 1024, 'A') + "\n";           // a 1 MB line
    bad += rec1.substr(0, 13) + "\tDBG\t1\t1\t1\t1\t1\tt\t0\t2\ta\tb\n"; // wrong count
    bad += rec1;
    bad += rec1.substr(0, 20); // the last line, cut short
    write_file(file, bad);
    // Things that are no record file at all are passed over.
    ASSERT_EQ(mkfifo((dir(11) + "/hxul-5.log").c_str(), 0600), 0);
    fs::create_symlink("/etc/passwd", dir(11) + "/hxul-6.log");
    const Read got = read_all(11);
    EXPECT_EQ(got.texts, (std::vector<std::string>{"good 0", "good 1", "good 2", "good 1",
                                                   "good 1"}));
    EXPECT_EQ(got.skipped, 5);
}

// Several processes write one log at once while it rotates; one is killed in
// the middle of a record, another at an arbitrary moment. The reader finds
// every whole record, in order per process, and nothing else.
TEST_F(HxulTest, SeveralProcessesOneKilledMidRecord) {
    write_file(conf(), "[*]\nDebugLevel = 6\nMaxFileSize = 16\n");
    constexpr int kWriters = 3, kRecords = 1500, kBeforeTear = 200;
    auto writer = [](int id, int count) {
        hlvnLog *log = nullptr;
        if (hlvnLogOpen(kProduct, 12, &log) != HLVN_OK)
            _exit(2);
        for (int i = 0; i < count; ++i) {
            char text[64];
            snprintf(text, sizeof text, "w%d %d", id, i);
            if (hlvnLogDebug(log, "multi", 1, text) != HLVN_OK)
                _exit(3);
        }
        return log;
    };
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::vector<pid_t> children;
    // The torn writer: whole records, then half of one written as a killed
    // writer leaves it, then it waits to be killed.
    pid_t torn = fork();
    if (torn == 0) {
        hlvnLog *log = writer(100, kBeforeTear);
        (void)log;
        const std::string path = [&] {
            std::string newest;
            long best = 0;
            for (const auto &e : fs::directory_iterator(
                     std::string(hlvnLogGetLogsDir()) + "/51216/12")) {
                const std::string n = e.path().filename();
                const long seq = atol(n.c_str() + 5);
                if (seq > best)
                    best = seq, newest = e.path();
            }
            return newest;
        }();
        const char piece[] = "1796860800000\tDBG\t1\t51216\t12\t1\t1\tmulti\t0\t1\tw100 torn";
        int fd = open(path.c_str(), O_WRONLY | O_APPEND);
        if (write(fd, piece, sizeof piece - 1) < 0)
            _exit(4);
        if (write(ready[1], "x", 1) < 0)
            _exit(4);
        pause();
        _exit(0);
    }
    // The endless writer, killed whenever the others are done.
    pid_t endless = fork();
    if (endless == 0) {
        writer(200, 1 << 30);
        _exit(0);
    }
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        if (pid == 0) {
            hlvnLog *log = writer(w, kRecords);
            hlvnLogClose(log);
            _exit(0);
        }
        children.push_back(pid);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    kill(torn, SIGKILL);
    for (pid_t pid : children) {
        int st = 0;
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    }
    kill(endless, SIGKILL);
    waitpid(torn, nullptr, 0);
    waitpid(endless, nullptr, 0);
    close(ready[0]);
    close(ready[1]);

    std::map<int, std::vector<int>> seen;
    for (const std::string &t : read_all(12).texts) {
        int id = -1, i = -1;
        ASSERT_EQ(sscanf(t.c_str(), "w%d %d", &id, &i), 2) << t;
        seen[id].push_back(i);
    }
    auto in_order = [](const std::vector<int> &v) {
        for (size_t k = 0; k < v.size(); ++k)
            if (v[k] != int(k))
                return false;
        return true;
    };
    for (int w = 0; w < kWriters; ++w) {
        EXPECT_EQ(seen[w].size(), size_t(kRecords)) << w;
        EXPECT_TRUE(in_order(seen[w])) << w;
    }
    EXPECT_EQ(seen[100].size(), size_t(kBeforeTear));
    EXPECT_TRUE(in_order(seen[100]));
    EXPECT_TRUE(in_order(seen[200])); // whatever it wrote before it died
    EXPECT_EQ(seen.size(), size_t(kWriters + 2));
    EXPECT_GT(hxul_files(dir(12)), 3u) << "the log rotated";
}

TEST_F(HxulTest, RotationKeepsTheNewestFiles) {
    write_file(conf(), "[*]\nDebugLevel = 6\nMaxFileSize = 1\nNumberOfLogFiles = 3\n");
    hlvnLog *log = nullptr;
    ASSERT_EQ(hlvnLogOpen2(kProduct, 13, "svc/../x", &log), HLVN_OK);
    const std::string text(200, 'r');
    for (int i = 0; i < 60; ++i)
        ASSERT_EQ(hlvnLogDebug(log, "t", 1, text.c_str()), HLVN_OK);
    hlvnLogClose(log);
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir(13)))
        names.insert(e.path().filename());
    ASSERT_EQ(names.size(), 3u);
    // Names are kept inside the directory; the numbers are the newest.
    long last = 0;
    for (const std::string &n : names) {
        ASSERT_EQ(n.rfind("svc_.._x-", 0), 0u) << n;
        last = std::max(last, atol(n.c_str() + 9));
    }
    EXPECT_GT(last, 10);
    EXPECT_TRUE(names.count("svc_.._x-" + std::to_string(last - 2) + ".log"));
}

TEST_F(HxulTest, QueriesParseOrFailWithAStatus) {
    struct Case {
        const char *text;
        int rc;
    } cases[] = {
        {"((ENDATE <= 1796860800) && (PRODID = 51216))", HLVN_OK},
        {"ENDATE<5||!(ORIGID!=3)&&SIZE>=0", HLVN_OK},
        {"STARTDATE == -5", HLVN_OK},
        {"", HLVN_E_BADQUERY},
        {"((ENDATE <= 1)", HLVN_E_BADQUERY},
        {"ENDATE <= 1)", HLVN_E_BADQUERY},
        {"ENDDATE <= 1", HLVN_E_BADQUERY},
        {"ENDATE <= ", HLVN_E_BADQUERY},
        {"ENDATE <= 99999999999999999999", HLVN_E_BADQUERY},
        {"ENDATE << 1", HLVN_E_BADQUERY},
        {"ENDATE <= 1 &&", HLVN_E_BADQUERY},
    };
    for (const Case &c : cases) {
        hlvnLogQuery *q = nullptr;
        EXPECT_EQ(hlvnLogMgrCreateQuery(c.text, &q), c.rc) << c.text;
        EXPECT_EQ(q != nullptr, c.rc == HLVN_OK);
        hlvnLogMgrDestroyQuery(q);
    }
    // Deep nesting is refused, not a stack overflow.
    const std::string deep = std::string(100000, '(') + "SIZE>0" + std::string(100000, ')');
    hlvnLogQuery *q = nullptr;
    EXPECT_EQ(hlvnLogMgrCreateQuery(deep.c_str(), &q), HLVN_E_BADQUERY);
    const std::string nots = std::string(100000, '!') + "SIZE>0";
    EXPECT_EQ(hlvnLogMgrCreateQuery(nots.c_str(), &q), HLVN_E_BADQUERY);
}

} // namespace
