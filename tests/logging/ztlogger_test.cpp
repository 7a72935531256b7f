// The unified logger bridge: loggers and their defaults, the shims, both
// redirections, ACE's records, translation, formatting and record upkeep.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <ace/Log_Msg.h>
#include <gtest/gtest.h>

#include <ztbase/debuglog.h>
#include <ztbase/paths.h>
#include <ztbase/ztlogger.h>

#include "logging/ul_internal.h"
#include "platform/eventlog.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace fs = std::filesystem;
using Halvane::L10N::Lis;
using zt::test::write_file;

namespace {

// A unified record as the reader gives it back.
struct Rec {
    hlvnLogKind_t kind;
    int level;
    std::string who, text;
    unsigned long msgid;
};

// Legacy lines as logmsg received them, with their levels.
struct Legacy {
    int level;
    std::string text, tag;
};
std::vector<Legacy> *g_legacy = nullptr;
int legacy_hook(int level, int, const char *text, const char *tag) {
    if (g_legacy != nullptr)
        g_legacy->push_back({level, text != nullptr ? text : "", tag != nullptr ? tag : ""});
    return 0;
}

class UlTest : public zt::test::ZtTest {
  protected:
    UlTest() {
        ZTLogger::SetDefLibLogger(nullptr);
        ZTLogger::SetDefSvcLogger(nullptr);
        const std::string lib = ZT_HXLIS_LIBRARY, cat = ZT_CATALOG_DIR;
        write_file(getFennicString("HXUL_CONF_FILE"),
                   "[*]\nDebugLevel = 6\nDiagLevel = 6\n"
                   "[51216.40]\nL10NLibrary = " + lib + "\nL10NResource = ztmsg\nL10NResourceDir = " + cat +
                   "\n[51216.50]\nL10NLibrary = " + lib + "\nL10NResource = ztbadcat\nL10NResourceDir = " + cat +
                   "\n[51216.51]\nL10NLibrary = /nonexistent/libnothing.so\nL10NResource = ztmsg\n"
                   "L10NResourceDir = " + cat +
                   "\n[51216.52]\nL10NLibrary = " ZT_HXUL_LIBRARY "\nL10NResource = ztmsg\n"
                   "L10NResourceDir = " + cat +
                   "\n[51216.53]\nL10NLibrary = " + lib + "\nL10NResource = ztmsg\n"
                   "L10NResourceDir = /nonexistent\n"
                   "[51216.137]\nDebugLevel = 6\nDiagLevel = 3\n");
    }
    ~UlTest() override {
        ZTLogger::SetDefLibLogger(nullptr);
        ZTLogger::SetDefSvcLogger(nullptr);
        c_shim_mod_logging = saved_hook_;
        g_legacy = nullptr;
    }

    // Legacy lines go to legacy_ from now on.
    void capture_legacy() {
        g_legacy = &legacy_;
        c_shim_mod_logging = &hook_;
    }

    std::vector<Rec> records(unsigned long oid) {
        std::vector<Rec> out;
        hlvnLogReader *r = nullptr;
        hlvnLogReaderOpen(long(ZT_UL_PRODUCT), long(oid), 0, &r);
        const hlvnLogRecord *rec = nullptr;
        while (hlvnLogReaderNext(r, &rec) == HLVN_OK) {
            Rec x{};
            const char *s = nullptr;
            hlvnLogRecGetKind(rec, &x.kind);
            hlvnLogRecGetLevel(rec, &x.level);
            hlvnLogRecGetMsgId(rec, &x.msgid);
            if (hlvnLogRecGetWho(rec, &s) == HLVN_OK)
                x.who = s;
            if (hlvnLogRecGetText(rec, &s) == HLVN_OK)
                x.text = s;
            out.push_back(x);
        }
        hlvnLogReaderClose(r);
        return out;
    }

    std::vector<Legacy> legacy_;
    c_shim_logging_fn hook_ = legacy_hook;
    c_shim_logging_fn *saved_hook_ = c_shim_mod_logging;
};

TEST_F(UlTest, DebugShimsFollowTheLoggersVerbosity) {
    ZTLogger logger(40);
    ASSERT_EQ(cGetZTLogger(), &logger); // the first logger is the default
    logger.setVerbosity(2);
    cZT_DLOG3("shim", "not written");
    logger.setVerbosity(3);
    cZT_DLOG3("shim", "written at 3");
    cZT_DLOG(nullptr, "shim", "no logger", 1);
    cELOG(nullptr, 0, "shim", 0, 16, "no logger", "");
    const std::vector<Rec> got = records(40);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, "written at 3");
    EXPECT_EQ(got[0].level, 3);
    EXPECT_EQ(got[0].who, "shim");
}

TEST_F(UlTest, DefaultsAndSharedCopies) {
    {
        ZTLogger a(46);
        ZTLogger b(a);
        ZTLogger c;
        c = a;
        EXPECT_EQ(b.getUL(), a.getUL());
        EXPECT_EQ(c.getUL(), a.getUL());
        EXPECT_EQ(ZTLogger::GetDefLibLogger(), &a);
        EXPECT_EQ(ZTLogger::GetDefSvcLogger(), &a);
        EXPECT_EQ(b.logDebug("copy", 1, "through a copy"), 0);
    } // the log is closed once, by the last copy
    EXPECT_EQ(ZTLogger::GetDefLibLogger(), nullptr);
    EXPECT_EQ(records(46).size(), 1u);
    ZTLogger none; // no unified log: writes report 1
    EXPECT_EQ(none.logDebug("t", 1, "x"), 1);
    EXPECT_EQ(none.logApp("t", HLVN_SEV_INFO, 1001), 1);
}

TEST_F(UlTest, MapsBetweenAceAndUnifiedLevels) {
    const int to_ul[][2] = {{0, 6}, {1, 6}, {2, 5}, {3, 4},  {4, 4},  {5, 3},
                            {6, 3}, {7, 2}, {8, 1}, {9, 1}, {10, 1}, {11, 6}};
    for (const auto &c : to_ul)
        EXPECT_EQ(ACELoggerTie::MapLevelToUL(c[0]), c[1]) << c[0];
    const int to_ace[][2] = {{1, 1}, {2, 2}, {3, 4}, {4, 6}, {5, 8}, {6, 10}, {7, 7}};
    for (const auto &c : to_ace)
        EXPECT_EQ(ACELoggerTie::MapLevelToACE(c[0]), c[1]) << c[0];
}

TEST_F(UlTest, AceRecordsReachTheirSinkAtTheMappedLevel) {
    ZTLogger logger(42);
    ACELoggerTie tie(logger);
    ACELoggerTie::SetCallback(&tie);
    ACE_DEBUG((LM_ERROR, ACE_TEXT("ace says %d\n"), 5));
    ACE_DEBUG((LM_INFO, ACE_TEXT("ace informs\n")));
    capture_legacy();
    OldAceLoggerTie old;
    ACELoggerTie::SetCallback(&old);
    ACE_DEBUG((LM_WARNING, ACE_TEXT("old tie\n")));
    ACE_LOG_MSG->msg_callback(nullptr);
    ACE_LOG_MSG->clr_flags(ACE_Log_Msg::MSG_CALLBACK);
    ACE_LOG_MSG->set_flags(ACE_Log_Msg::STDERR);

    const std::vector<Rec> got = records(42);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text, "ace says 5");
    EXPECT_EQ(got[0].who, "TAO");
    EXPECT_EQ(got[0].level, 2); // LM_ERROR, priority index 7
    EXPECT_EQ(got[1].level, 4); // LM_INFO, priority index 3
    ASSERT_EQ(legacy_.size(), 1u);
    EXPECT_EQ(legacy_[0].level, 2);
    EXPECT_EQ(legacy_[0].tag, "taolog");
    EXPECT_EQ(legacy_[0].text, "old tie");
}

TEST_F(UlTest, LegacyLinesReachTheUnifiedLogAfterTheRedirection) {
    ASSERT_EQ(debugFD, -1); // no debug log was ever opened
    ZTLogger logger(41);
    logger.setVerbosity(2);
    ZTLogger::RedirectLegacyLogToZTLogger();
    EXPECT_NE(debugFD, -1);
    struct stat a, b;
    ASSERT_EQ(fstat(debugFD, &a), 0);
    ASSERT_EQ(stat("/dev/null", &b), 0);
    EXPECT_EQ(a.st_rdev, b.st_rdev);
    EXPECT_EQ(log_get_process_bpconf_verbose(), 2);
    logmsg(ZTLOG_INFO, "a legacy line", "legacy_tag");
    logmsgvf(ZTLOG_DEBUG, 2, "legacy_tag", "a debug line at %d", 2);
    logger.logDebug("own", 1, "written once");

    log_set_callback_no_logging(nullptr, nullptr, nullptr);
    ztbase::ul::set_legacy_redirected(false);
    close(debugFD);
    debugFD = -1;

    std::vector<std::string> texts;
    for (const Rec &r : records(41))
        if (r.who != "log_set_callback")
            texts.push_back(r.who + ": " + r.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"legacy_tag: a legacy line",
                                               "legacy_tag: a debug line at 2",
                                               "own: written once"}));
}

TEST_F(UlTest, ApplicationAndDiagnosticMessagesReachTheLegacyLog) {
    fs::create_directories(std::string(getFennicString("BP_LOGS")) + "/ultest");
    ZTLogger logger(40);
    ASSERT_EQ(logger.open("ultest", "ultest", "ultest", nullptr), 0);
    ASSERT_TRUE(logger.hasLegacySink());
    capture_legacy();
    const struct {
        hlvnLogSeverity_t severity;
        int level;
    } cases[] = {{HLVN_SEV_INFO, 4},
                 {HLVN_SEV_WARNING, 8},
                 {HLVN_SEV_ERROR, 16},
                 {HLVN_SEV_CRITICAL, 32},
                 {HLVN_SEV_EMERGENCY, 32}};
    for (const auto &c : cases)
        EXPECT_EQ(logger.logApp("app", c.severity, 1001, "client1"), 0);
    std::ostringstream stream;
    stream << "disk" << 7;
    logger.logDiag("diag", 2, 1004, stream);
    logger.logDiag("diag", 2, Lis(9999, "lost?").add("no"));
    logger.xlateAndLog("xl", 16, Lis(1002, "c").add("0"));
    close_debug_log();

    ASSERT_EQ(legacy_.size(), 8u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(legacy_[i].level, cases[i].level) << i;
        EXPECT_EQ(legacy_[i].text, "Backup of client1 started.");
    }
    EXPECT_EQ(legacy_[5].level, 8);
    EXPECT_EQ(legacy_[5].text, "Client disk7 could not be reached.");
    EXPECT_EQ(legacy_[6].text, "message 9999: lost?, no"); // no text, nothing lost
    EXPECT_EQ(legacy_[7].level, 16);
    EXPECT_EQ(legacy_[7].text, "Backup of c finished with status 0.");
    // And in the unified log, as localisable records.
    const std::vector<Rec> got = records(40);
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got[1].kind, HLVN_KIND_APP);
    EXPECT_EQ(got[1].level, HLVN_SEV_WARNING);
    EXPECT_EQ(got[5].kind, HLVN_KIND_DIAG);
    EXPECT_EQ(got[5].msgid, 1004u);
}

int g_error_calls = 0;
int failing_error_log(int job, const char *name, const char *, int, int, const char *,
                      const char *) {
    ++g_error_calls;
    EXPECT_EQ(job, 77);
    EXPECT_STREQ(name, "errlog");
    return 5;
}

TEST_F(UlTest, ErrorLogFailureIsReported) {
    g_error_calls = 0;
    fs::create_directories(std::string(getFennicString("BP_LOGS")) + "/errlog");
    ZTLogger logger;
    ASSERT_EQ(logger.open("errlog", "errlog", "errlog", failing_error_log), 0);
    logger.setJobId(77);
    capture_legacy();
    logger.logError(0, "tag", 1, 8, "the error", "extra");
    close_debug_log();
    EXPECT_EQ(g_error_calls, 1);
    ASSERT_EQ(legacy_.size(), 2u);
    EXPECT_EQ(legacy_[0].text, "cannot log message to error ZTU error log, error=5");
    EXPECT_EQ(legacy_[0].level, 16);
    EXPECT_EQ(legacy_[0].tag, "log");
    EXPECT_EQ(legacy_[1].text, "the error");
    EXPECT_EQ(legacy_[1].level, 8);
}

TEST_F(UlTest, TranslatesInTwoLocalesAndFailsWithAStatus) {
    struct Case {
        unsigned long oid;
        const char *locale;
        Lis msg;
        int rc;
        const char *text;
    } cases[] = {
        {40, "en", Lis(1002, "c1").add("0"), 0, "Backup of c1 finished with status 0."},
        {40, "de", Lis(1002, "c1").add("0"), 0, "Sicherung von c1 mit Status 0 beendet."},
        {40, "de_AT", Lis(1003, "sda").add("2 GB"), 0,
         "Datentr\xc3\xa4ger sda ist fast voll: 2 GB frei."},
        {40, "de", Lis(1005, "x"), 0, "Service x is ready."}, // English where German has none
        {40, "de", Lis(1002, "only one"), 0, "Sicherung von only one mit Status {1} beendet."},
        {40, "en", Lis(9999), 5, nullptr},  // no such message
        {51, "en", Lis(1001, "x"), 1, nullptr}, // no library
        {52, "en", Lis(1001, "x"), 1, nullptr}, // a library without the entry points
        {53, "en", Lis(1001, "x"), 1, nullptr}, // no catalogue
        {54, "en", Lis(1001, "x"), HLVN_E_NOTSET, nullptr}, // no localisation settings
        {50, "en", Lis(1, "a"), 6, nullptr},                // a pattern that does not parse
        {50, "en", Lis(2, "a"), 0, "Asks for a, {1} and {7}"}, // never reads past the arguments
        {50, "en", Lis(3, "a"), 7, nullptr},
        {50, "en", Lis(4, "a"), 7, nullptr},
        {50, "en", Lis(5, "a"), 7, nullptr},
        {50, "en", Lis(6, "a"), 0, "Quote {0} is literal, a is not"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.oid) + " " + c.locale + " " + std::to_string(c.msg.id()));
        char *text = reinterpret_cast<char *>(1);
        EXPECT_EQ(xlatemsg(c.msg, c.oid, &text, c.locale), c.rc);
        if (c.text != nullptr && text != nullptr)
            EXPECT_STREQ(text, c.text);
        else
            EXPECT_EQ(text, nullptr);
        free(text);
    }
    char16_t *wide = nullptr;
    ASSERT_EQ(xlatemsgW(Lis(1003, "sda").add("2 GB"), 40, &wide, "de"), 0);
    EXPECT_EQ(std::u16string(wide), u"Datentr\u00e4ger sda ist fast voll: 2 GB frei.");
    free(wide);
}

TEST_F(UlTest, FormatsRecordsAsLines) {
    ZTLogger logger(40);
    logger.logDebug("dbgtag", 1, "a debug text");
    logger.logApp("apptag", HLVN_SEV_WARNING, Lis(1002, "c1").add("0"));
    logger.logDiag("diagtag", 1, Lis(1001, "c2"));
    hlvnLogReader *r = nullptr;
    hlvnLogReaderOpen(long(ZT_UL_PRODUCT), 40, 0, &r);
    const hlvnLogRecord *rec = nullptr;
    std::vector<std::string> lines;
    while (hlvnLogReaderNext(r, &rec) == HLVN_OK) {
        char *text = nullptr;
        ASSERT_EQ(formatULmsg(rec, &text, "de"), 0);
        lines.emplace_back(text);
        free(text);
    }
    hlvnLogReaderClose(r);
    ASSERT_EQ(lines.size(), 3u);
    const std::string head = R"(^\S+ \d\d:\d\d:\d\d\.\d{1,3} )";
    const std::string ids = R"( PID:\d+ TID:\d+ )";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(head + R"(\[Debug\])" + ids + R"(\[dbgtag\] a debug text$)")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(head + R"(\[Application\])" + ids +
                                                      R"(\[Warning\] Sicherung von c1 mit Status 0 beendet\.$)")))
        << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(head + R"(\[Diagnostic\])" + ids +
                                                      R"(\[diagtag\] Sicherung von c2 gestartet\.$)")))
        << lines[2];

    // A record of an originator without a catalogue keeps its id and arguments.
    const std::string line = "1796860800123\tAPP\t4\t51216\t54\t1\t2\tw\t1002\t2\ta\tb";
    hlvnLogRecord *own = nullptr;
    ASSERT_EQ(hlvnLogRecordParse(line.data(), line.size(), &own), HLVN_OK);
    char *text = nullptr;
    ASSERT_EQ(formatULmsg(own, &text, "en"), 0);
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(^\S+ \d\d:\d\d:\d\d\.123 \[Application\] PID:1 TID:2 \[Emergency\] message 1002: a, b$)")))
        << text;
    free(text);
    hlvnLogRecordFree(own);
    EXPECT_EQ(formatULmsg(nullptr, &text, nullptr), 3);
}

TEST_F(UlTest, RecycleQueryDeletesExactlyTheOldFiles) {
    const std::string logs = getFennicString("HXUL_LOGS");
    const std::string mine = logs + "/51216/43", other = logs + "/777/43";
    for (const char *name : {"hxul-1.log", "hxul-2.log", "hxul-3.log", "notes.txt"})
        write_file(mine + "/" + name, "x\n");
    write_file(other + "/hxul-1.log", "x\n");
    const time_t old = time(nullptr) - 10 * 86400;
    auto age = [&](const std::string &path) {
        const timespec t[2] = {{old, 0}, {old, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0);
    };
    age(mine + "/hxul-1.log");
    age(mine + "/hxul-2.log");
    age(mine + "/notes.txt");
    age(other + "/hxul-1.log");
    char query[128];
    ASSERT_EQ(create_recycle_query(query, sizeof query, 7), 0);
    EXPECT_TRUE(std::regex_match(query, std::regex(R"(\(\(ENDATE <= \d+\) && \(PRODID = 51216\)\))")));
    EXPECT_EQ(create_recycle_query(query, 10, 7), -1);
    ASSERT_EQ(create_recycle_query(query, sizeof query, 7), 0);
    zt::test::LogCapture capture;
    EXPECT_EQ(hxlogmgr_delete(query), 9);
    std::vector<std::string> left;
    for (const auto &e : fs::recursive_directory_iterator(logs))
        if (e.is_regular_file())
            left.push_back(fs::relative(e.path(), logs));
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"51216/43/hxul-3.log", "51216/43/notes.txt",
                                              "777/43/hxul-1.log"}));
    EXPECT_TRUE(capture.has("hxlogmgr_delete: Deleted " + mine + "/hxul-1.log"));
    EXPECT_TRUE(capture.has("hxlogmgr_delete: Destroyed query"));
    EXPECT_EQ(hxlogmgr_delete("ENDATE <="), HLVN_E_BADQUERY);
    EXPECT_TRUE(capture.has("CreateQuery failed 7"));
    EXPECT_EQ(hxlogmgr_delete(nullptr), 1);
}

// Links planted in the log tree, whether for a file, an originator folder or a
// product folder, must not let a match-all delete reach files outside it.
TEST_F(UlTest, DeleteStaysInsideTheLogTree) {
    const std::string logs = getFennicString("HXUL_LOGS");
    const std::string outside = logs + "/../outside";
    write_file(outside + "/victim.txt", "keep\n");
    write_file(outside + "/137/hxul-1.log", "keep\n");
    write_file(outside + "/o/hxul-1.log", "keep\n");
    write_file(logs + "/51216/137/hxul-1.log", "x\n");
    fs::create_symlink(fs::absolute(outside + "/victim.txt"), logs + "/51216/137/hxul-2.log");
    fs::create_symlink(fs::absolute(outside), logs + "/777");
    fs::create_symlink(fs::absolute(outside + "/o"), logs + "/51216/138");
    EXPECT_EQ(hxlogmgr_delete("(SIZE >= 0)"), HLVN_E_NOMORE);
    for (const char *kept : {"/victim.txt", "/137/hxul-1.log", "/o/hxul-1.log"})
        EXPECT_TRUE(fs::exists(outside + kept)) << kept;
    EXPECT_FALSE(fs::exists(logs + "/51216/137/hxul-1.log"));
}

TEST_F(UlTest, OpenFailuresGoToTheSystemLog) {
    std::vector<std::string> events;
    ztbase::eventlog::set_sink([&](const ztbase::eventlog::Event &e) {
        for (const std::string &s : e.strings)
            events.push_back(s);
    });
    const std::string res = getFennicString("RES_DIR");
    fs::create_directories(res);
    fs::copy(std::string(ZT_HXUL_RES_DIR) + "/hlvnlog", res + "/hlvnlog");
    // The logs directory cannot be made: the logger works on, unified writes fail.
    write_file(getFennicString("HXUL_LOGS"), "a file in the way");
    {
        ZTLogger logger(44);
        EXPECT_EQ(logger.logDebug("t", 1, "dropped"), 1);
    }
    SyslogHxULFailure(99, 45);
    ztbase::eventlog::set_sink(nullptr);
    EXPECT_EQ(events, (std::vector<std::string>{
                          "OID:44:The unified log directory cannot be created or written (status 4).",
                          "OID:45:Log open failed with UL errorcode: 2"}));
}

// (A test of its own: the resource library keeps a bundle it opened once.)
TEST_F(UlTest, OpenFailureWithoutItsResourceBundle) {
    std::vector<std::string> events;
    ztbase::eventlog::set_sink([&](const ztbase::eventlog::Event &e) {
        for (const std::string &s : e.strings)
            events.push_back(s);
    });
    SyslogHxULFailure(4, 46);
    ztbase::eventlog::set_sink(nullptr);
    EXPECT_EQ(events, (std::vector<std::string>{
                          "OID:46:Log open failed with UL errorcode: 0,could not open resource file "
                          "either"}));
}

TEST_F(UlTest, RedirectToLegacyLogTakesTheLevelsFromTheSettings) {
    ZTLogger::RedirectZTLoggerToLegacyLog();
    ZTLogger *def = ZTLogger::GetDefLibLogger();
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(ZTLogger::GetDefSvcLogger(), def);
    EXPECT_EQ(def->getOid(), ZT_UL_LEGACY_ORIGINATOR);
    EXPECT_EQ(def->getUL(), nullptr);
    EXPECT_TRUE(def->hasLegacySink());
    EXPECT_EQ(def->getVerbosity(), 6);
    EXPECT_EQ(def->getDiagVerbosity(), 3);
    EXPECT_TRUE(def->getTracing());
    EXPECT_EQ(log_get_process_bpconf_verbose(), 5); // min(6, 5) for a legacy sink
    ZTLogger::RedirectZTLoggerToLegacyLog(); // a default exists: nothing changes
    EXPECT_EQ(ZTLogger::GetDefLibLogger(), def);
    EXPECT_EQ(is_ul_recycling_enabled(), 0);
    delete def;
    EXPECT_EQ(ZTLogger::GetDefLibLogger(), nullptr);
    write_file(getFennicString("HXUL_CONF_FILE"), "[51216.112]\nRecycling = 1\n");
    EXPECT_EQ(is_ul_recycling_enabled(), 1);
}

TEST_F(UlTest, TracerAndAssertions) {
    ZTLogger logger(45);
    logger.setVerbosity(6);
    logger.setTracing(true);
    { Tracer t(&logger, &logger, "traced_fn", "file.cpp", 12); }
    logger.setTracing(false);
    { Tracer t(&logger, &logger, "silent_fn", "file.cpp", 13); }
    LAssert check;
    EXPECT_EQ(GetLAssert(), &check);
    check.assertFailed("x > 0", "x went negative", "f.cpp", 3);
    check.setAbort(true);
    EXPECT_DEATH(check.assertFailed("y", "m", "f.cpp", 4), "");
    const std::vector<Rec> got = records(45);
    ASSERT_EQ(got.size(), 4u); // the last one from the process that aborted
    EXPECT_NE(got[3].text.find("condition = ( y )"), std::string::npos);
    EXPECT_EQ(got[0].who, "traced_fn");
    EXPECT_EQ(got[0].level, 6);
    EXPECT_TRUE(std::regex_match(got[0].text, std::regex(R"(\+\+\+ ENTERING \+\+\+ : obj = 0x[0-9a-f]+ \(file\.cpp:12\))")))
        << got[0].text;
    EXPECT_EQ(got[1].text.rfind("--- EXITING --- : obj = ", 0), 0u);
    EXPECT_EQ(got[2].who, "LAssert::assertFailed");
    EXPECT_EQ(got[2].text.rfind("ASSERT failed; \n\t condition = ( x > 0 ) \n\t filename = f.cpp\n"
                                "\t line = 3\n\t msg = x went negative (",
                                0),
              0u)
        << got[2].text;
}

} // namespace
