// Debug log file names: accepted forms, parts, order and dates.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ztbase/logfiles.h"

namespace {

struct NameCase {
    const char *name;
    int valid;
    const char *date;
    const char *user;
    int seq;
    int compressed;
};

// Every accepted form, its boundaries, and names that only look like one.
const NameCase kNames[] = {
    {"ALL_ADMINS.120426_00001.log", 1, "120426", "ALL_ADMINS", 1, 0},
    {"ALL_ADMINS.120426_00001.log.gz", 1, "120426", "ALL_ADMINS", 1, 1},
    {"bob.120426_99999.log.ZLIB", 1, "120426", "bob", 99999, 1},
    {"bob.120426_00042.log.z", 1, "120426", "bob", 42, 1},
    {"a.b.120426_00001.log.Zip", 1, "120426", "a.b", 1, 1},
    {"120426_00007.log", 1, "120426", "", 7, 0},
    {"120426_00007.log.zip", 1, "120426", "", 7, 1},
    {"bob.120426.log", 1, "120426", "bob", 0, 0},
    {"bob.120426.log.Z", 1, "120426", "bob", 0, 1},
    {"010100.log", 1, "010100", "", 0, 0},
    {"123199.log", 1, "123199", "", 0, 0},
    {"log.120426", 1, "120426", "", 0, 0},
    {"log.120426.gz", 1, "120426", "", 0, 1},
    {"HxMS-1234-bob-120426-103000.log", 1, "120426", "", 0, 0},
    {"hxms-7-bob-pid-120426_core", 1, "120426", "", 0, 0},
    {"HXMS-7-bob-120426-x_provider", 1, "120426", "", 0, 0},
    {"b\x01o\xffg.120426_00001.log", 1, "120426", "b\x01o\xffg", 1, 0},
    // dates outside 10100..123199
    {"123226_00001.log", 0, "", "", 0, 0},
    {"010099.log", 0, "", "", 0, 0},
    {"bob.129900_00001.log", 0, "", "", 0, 0},
    // wrong widths, signs and blanks where digits belong
    {"120426_000001.log", 0, "", "", 0, 0},
    {"120426_0001.log", 0, "", "", 0, 0},
    {"12042_00001.log", 0, "", "", 0, 0},
    {"1204266_00001.log", 0, "", "", 0, 0},
    {"120426_+0001.log", 0, "", "", 0, 0},
    {"120426_ 0001.log", 0, "", "", 0, 0},
    {"12\x01"
     "426_00001.log",
     0, "", "", 0, 0},
    {"log.1204266", 0, "", "", 0, 0},
    {"log.12042", 0, "", "", 0, 0},
    // wrong extension, suffix or form
    {"120426_00001.LOG", 0, "", "", 0, 0},
    {"120426_00001.log.bz2", 0, "", "", 0, 0},
    {"120426_00001.log.gz.gz", 0, "", "", 0, 0},
    {"120426.log.gz", 0, "", "", 0, 0},
    {"bob.log.120426", 0, "", "", 0, 0},
    {"bob.120426_00001", 0, "", "", 0, 0},
    {"", 0, "", "", 0, 0},
    {".", 0, "", "", 0, 0},
    // HxMS names need six fields, a numeric second field and a date
    {"HxMS-1234-bob-120426-103000", 0, "", "", 0, 0},
    {"HxMS-12a-bob-120426-1.log", 0, "", "", 0, 0},
    {"HxMS-1-bob-x-y.log", 0, "", "", 0, 0},
    {"HxMS-1-bob-1204266-120426.log", 0, "", "", 0, 0},
    {"HxMS-1-bob-123226-1.log", 0, "", "", 0, 0},
    {"HxMS-1-bob-120426-1-2.log", 0, "", "", 0, 0},
    {"HxMS-1-bob-120426.log", 0, "", "", 0, 0},
    {"HxMS-1-bob-120426-1_other", 0, "", "", 0, 0},
};

TEST(LogFileNames, ValidityAndParts) {
    for (const NameCase &c : kNames) {
        SCOPED_TRACE(c.name);
        char date[7] = "x", user[64] = "x";
        int seq = -1, compressed = -1;
        EXPECT_EQ(ZtLog_IsValidLogFileFormat(c.name, date, sizeof date, user, sizeof user, &seq,
                                             &compressed),
                  c.valid);
        EXPECT_STREQ(date, c.date);
        EXPECT_STREQ(user, c.user);
        EXPECT_EQ(seq, c.seq);
        EXPECT_EQ(compressed, c.compressed);
        EXPECT_EQ(ZtLog_IsValidLogFileFormat(c.name, nullptr, 0, nullptr, 0, nullptr, nullptr),
                  c.valid);
    }
    EXPECT_EQ(ZtLog_IsValidLogFileFormat(nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr), 0);
}

TEST(LogFileNames, LongNamesAreCutToTheCallersBuffers) {
    const std::string user(5000, 'u');
    const std::string name = user + ".120426_00001.log";
    char date[4], small[8];
    int seq = 0;
    ASSERT_EQ(ZtLog_IsValidLogFileFormat(name.c_str(), date, sizeof date, small, sizeof small, &seq,
                                         nullptr),
              1);
    EXPECT_STREQ(date, "120");
    EXPECT_STREQ(small, "uuuuuuu");
    EXPECT_EQ(seq, 1);
    int found = 0;
    EXPECT_EQ(ZtLog_FetchUserNameLogFile(name.c_str(), small, sizeof small, &found), 7);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(ZtLog_IsValidLogFileFormat((std::string(5000, '1') + ".log").c_str(), nullptr, 0,
                                         nullptr, 0, nullptr, nullptr),
              0);
}

TEST(LogFileNames, UserPartIsFoundFromTheEnd) {
    struct {
        const char *name;
        int found;
        const char *user;
    } cases[] = {
        {"ALL_ADMINS.120426_00001.log", 1, "ALL_ADMINS"},
        {"ALL_ADMINS.120426_00001.log.gz", 1, "ALL_ADMINS"},
        {"a.b.c.d", 1, "a.b"},
        {"a.b.c.d.GZ", 1, "a.b"},
        {".x.y", 1, ""},
        {"120426_00001.log.gz", 0, ""},
        {"120426_00001.log", 0, ""},
        {"nodots", 0, ""},
        {"", 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        char user[32] = "x";
        int found = -1;
        EXPECT_EQ(ZtLog_FetchUserNameLogFile(c.name, user, sizeof user, &found),
                  static_cast<int>(strlen(c.user)));
        EXPECT_EQ(found, c.found);
        EXPECT_STREQ(user, c.user);
        found = -1;
        EXPECT_EQ(ZtLog_FetchUserNameLogFile(c.name, nullptr, 0, &found), 0);
        EXPECT_EQ(found, c.found);
    }
    int found = -1;
    EXPECT_EQ(ZtLog_FetchUserNameLogFile(nullptr, nullptr, 0, &found), 0);
    EXPECT_EQ(found, 0);
}

TEST(LogFileNames, ParseCountsFieldsOrUserCharacters) {
    char date[7], user[4];
    int seq = -1;
    // The parser checks the shape only; the date range is the validity check's.
    EXPECT_EQ(ZtLog_ParseLogFileName(date, sizeof date, nullptr, 0, &seq, "bob.123226_00002.log"),
              2);
    EXPECT_STREQ(date, "123226");
    EXPECT_EQ(seq, 2);
    EXPECT_EQ(ZtLog_ParseLogFileName(date, sizeof date, nullptr, 0, &seq, "u.120426_00003.log.gz"),
              3);
    EXPECT_EQ(ZtLog_ParseLogFileName(date, sizeof date, nullptr, 0, &seq, "u.120426.log"), 1);
    EXPECT_EQ(seq, 0);
    EXPECT_EQ(log_parse_logfile_name(date, sizeof date, nullptr, 0, &seq, "log.120426"), 1);
    // With a user buffer the result is what was copied of the user part.
    EXPECT_EQ(
        ZtLog_ParseLogFileName(date, sizeof date, user, sizeof user, &seq, "bob.120426_00004.log"),
        3);
    EXPECT_STREQ(user, "bob");
    EXPECT_EQ(ZtLog_ParseLogFileName(date, sizeof date, user, sizeof user, &seq,
                                     "bobby.120426_00004.log"),
              3);
    EXPECT_STREQ(user, "bob");
    EXPECT_EQ(seq, 4);
    EXPECT_EQ(
        ZtLog_ParseLogFileName(date, sizeof date, user, sizeof user, &seq, "120426_00005.log"), 0);
    EXPECT_STREQ(user, "");
    EXPECT_EQ(seq, 5);
    // A percent sign in the user part is text, not a conversion.
    EXPECT_EQ(ZtLog_ParseLogFileName(date, sizeof date, nullptr, 0, &seq, "%s%n.120426_00006.log"),
              2);
    EXPECT_EQ(seq, 6);

    EXPECT_EQ(ZtLog_ParseLogFileName(date, sizeof date, user, sizeof user, &seq, "junk.txt"), 0);
    EXPECT_STREQ(date, "");
    EXPECT_STREQ(user, "");
    EXPECT_EQ(seq, 0);
    EXPECT_EQ(ZtLog_ParseLogFileName(nullptr, 0, nullptr, 0, nullptr, nullptr), 0);
}

int sign(int v) {
    return (v > 0) - (v < 0);
}

TEST(LogFileNames, OrderIsUserThenDateThenSequence) {
    std::vector<std::string> names = {"ALL_ADMINS.010527_00002.log", "ALL_ADMINS.123126_00001.log",
                                      "ALL_ADMINS.010527_00001.log"};
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return ZtLog_CompareFileName(a.c_str(), b.c_str()) < 0;
    });
    EXPECT_EQ(names, (std::vector<std::string>{"ALL_ADMINS.123126_00001.log",
                                               "ALL_ADMINS.010527_00001.log",
                                               "ALL_ADMINS.010527_00002.log"}));

    // Each pair in ascending order.
    const char *ascending[][2] = {
        {"u.123100_00001.log", "u.010199_00001.log"}, // year 99 after 00
        {"u.120426.log", "u.120426_00001.log"},       // no sequence counts as 0
        {"u.120426_00009.log", "u.120426_00010.log"},
        {"a.123199_99999.log", "b.010100_00001.log"},        // user first
        {"ALL_ADMINS.120426_00001.log", "120426_00001.log"}, // no user sorts as "root"
        {"120426_00001.log", "root.120426_00001.log"},       // same key: by name
        {"u.120426_00001.log.gz", "u.120426_00001.log"},     // a compressed copy first
        {"junk", "u.010100.log"},                            // no accepted form first
        {"", "junk"},
    };
    for (const auto &p : ascending) {
        SCOPED_TRACE(std::string(p[0]) + " < " + p[1]);
        EXPECT_LT(ZtLog_CompareFileName(p[0], p[1]), 0);
        EXPECT_GT(ZtLog_CompareFileName(p[1], p[0]), 0);
        EXPECT_EQ(ZtLog_CompareFileName(p[0], p[0]), 0);
    }
    EXPECT_EQ(ZtLog_CompareFileName(nullptr, nullptr), 0);
    EXPECT_LT(ZtLog_CompareFileName(nullptr, "junk"), 0);
    EXPECT_GT(ZtLog_CompareFileName("junk", nullptr), 0);

    // A total order over every name of the table, so sorting is well defined.
    for (const NameCase &a : kNames)
        for (const NameCase &b : kNames) {
            const int ab = ZtLog_CompareFileName(a.name, b.name);
            EXPECT_EQ(sign(ab), -sign(ZtLog_CompareFileName(b.name, a.name)));
            EXPECT_EQ(ab == 0, strcmp(a.name, b.name) == 0);
        }
}

time_t local_midnight(int year, int month, int day) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

TEST(LogFileNames, DateOfAName) {
    struct {
        const char *name;
        int status;
        time_t when;
        const char *msg;
    } cases[] = {
        {"ALL_ADMINS.120426_00001.log", 0, local_midnight(2026, 12, 4), ""},
        {"u.022924_00001.log.gz", 0, local_midnight(2024, 2, 29), ""},
        {"log.010199", 0, local_midnight(1999, 1, 1), ""},
        {"u.011238.log", 0, local_midnight(2038, 1, 12), ""},
        {"u.123138.log", 0, 0x7FFFFFFE, ""}, // past the 32-bit range
        {"u.010150.log", 0, 0, ""},          // years 39-69 have no time
        {"u.022923_00001.log", 109, -1,
         "Could not convert to unix date for file u.022923_00001.log. Invalid Date"},
        {"u.043126.log", 109, -1,
         "Could not convert to unix date for file u.043126.log. Invalid Date"},
        {"u.123226_00001.log", 106, -1, "u.123226_00001.log is not a valid debug log file name"},
        {"junk", 106, -1, "junk is not a valid debug log file name"},
        {"u.023226.log", 106, -1, ""}, // in range, but day 32
        {"u.020026.log", 106, -1, ""}, // day 0
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        char msg[128] = "x";
        time_t t = -1;
        EXPECT_EQ(ZtLog_Extract_Date_From_Filename(c.name, msg, sizeof msg, &t), c.status);
        EXPECT_EQ(t, c.when);
        EXPECT_STREQ(msg, c.msg);
        EXPECT_EQ(ZtLog_Extract_Date_From_Filename(c.name, nullptr, 0, nullptr), c.status);
    }
    char small[8];
    EXPECT_EQ(ZtLog_Extract_Date_From_Filename("junk.txt", small, sizeof small, nullptr), 106);
    EXPECT_STREQ(small, "junk.tx");
    EXPECT_EQ(ZtLog_Extract_Date_From_Filename(nullptr, small, sizeof small, nullptr), 106);
}

} // namespace
