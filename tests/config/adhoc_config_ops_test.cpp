// The readers, formatters and tokenizer of the item table, with the messages
// they log; the formatting interface; ad-hoc touch files and test triggers.
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "config/items/adhoc_config_ops.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "ztbase/config.h"
#include "ztbase/debuglog.h"

namespace {

using namespace ztbase::config;

class Config : public zt::test::ZtTest {
  protected:
    void SetUp() override { log_.emplace(); }
    void TearDown() override {
        log_.reset();
        for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i)
            free_item(i, &c_);
    }
    int read(const char *label, const std::string &text, int line = 7) {
        std::vector<char> buf(text.begin(), text.end());
        buf.push_back('\0');
        char *cursor = buf.data();
        int rc = read_item(getConfigIndexA(label), &cursor, &c_, line);
        rest_ = cursor;
        return rc;
    }
    std::string format(const char *label) {
        std::string out;
        int rc = format_item(getConfigIndexA(label), &c_, out);
        return rc == 0 ? out : "<" + std::to_string(rc) + ">";
    }
    std::string log() const { return log_->all(); }
    const std::vector<std::string> &log_lines() const { return log_->lines(); }
    std::optional<zt::test::LogCapture> log_;
    ZtConfig c_{};
    std::string rest_;
};

struct ReadCase {
    const char *label;
    const char *text;
    int rc;
    const char *formatted; // after the read (nullptr: not checked)
    const char *logged;    // a line that must be logged ("" for none)
};

TEST_F(Config, ReadersFollowTheirRules) {
    const ReadCase cases[] = {
        {"VERBOSE", "", 0, "1", ""},
        {"VERBOSE", "0x10", 0, "16", ""},
        {"VERBOSE", "010", 0, "8", ""},
        {"VERBOSE", "-3", 0, "-3", ""},
        {"MEDIA_UNMOUNT_DELAY", "5000", 0, "1800",
         "readInt: Integer (5000) out of range on line 7, substituting maximum legal value "
         "(1800)."},
        {"SLP.DISK_RESOURCE_MULTIPLIER", "0", 20, "0",
         "readInt: Integer (0) out of range on line 7, below minimum legal value (1)."},
        {"HOST_CACHE_RESYNC_TIMEOUT", "-5", 0, "0",
         "readInt: Integer (-5) out of range on line 7, substituting minimum legal value (0)."},
        {"CP_PARALLEL_CONNECTIONS", "101", 0, "100", "substituting maximum legal value (100)."},
        {"CRYPT_STRENGTH", "50", 0, "DES_56",
         "readEnum: Illegal enumerated value (50) on line 7, substituting DES_56."},
        {"CRYPT_STRENGTH", "48", 0, "DES_40", "substituting DES_40."},
        {"CRYPT_STRENGTH", "des56", 0, "DES_56", ""},
        {"DISALLOW_SERVER_FILE_WRITES", "YES", 0, "YES", ""},
        {"DISALLOW_SERVER_FILE_WRITES", "5", 0, "YES", ""},
        {"DISALLOW_SERVER_FILE_WRITES", "0", 0, "NO", ""},
        {"RANDOM_PORTS", "7", 0, "YES", ""},
        {"RANDOM_PORTS", "false", 0, "NO", ""},
        {"WEB_SERVER_TUNNEL_USE", "3", 20, "AUTO", ""},
        {"WEB_SERVER_TUNNEL_USE", "2", 0, "NEVER", ""},
        {"ACCEPT_PORT", "maybe", 20, "AUTOMATIC", "Illegal enumerated value (maybe) on line 7."},
        {"IP_ADDRESS_FAMILY", "IPV6", 0, "AF_UNSPEC", ""},
        {"SLP.MAX_SIZE_PER_DUPLICATION_JOB", "512", 0, "1024 bytes",
         "readUnits: Units data (512,8) out of range on line 7, substituting minimum legal value "
         "(1024,8)."},
        {"SLP.MAX_SIZE_PER_DUPLICATION_JOB", "2 gigabytes", 0, "2 GB", ""},
        {"SLP.MAX_SIZE_PER_DUPLICATION_JOB", "3 hours", 20, "0 raw",
         "readUnits: hours is not a valid unit type for this value"},
        {"SLP.MAX_SIZE_PER_DUPLICATION_JOB", "3 parsecs", 20, "0 raw",
         "readUnits: parsecs is not a recognized units value"},
        {"SLP.MAX_SIZE_PER_DUPLICATION_JOB", "2 byte", 20, "0 raw",
         "byte is not a recognized units value"},
        {"SLP.VERSION_CLEANUP_DELAY", "1 HOUR", 0, "1 hour", ""},
        {"SLP.VERSION_CLEANUP_DELAY", "90", 0, "90 seconds", ""},
        {"SLP.VERSION_CLEANUP_DELAY", "", 0, "14 days", ""},
        {"CLIENT_NAME", "alpha beta", 0, "alpha", ""},
        {"MEDIA_ID_PREFIX", "ABCDE", 0, "ABC",
         "readString: String too long on line 7.  Truncating \"ABCDE\" to \"ABC\"."},
        {"USEMAIL", "a b  c", 0, "a b  c", ""},
        {"USEMAIL", "", 0, "", ""},
        {"DEFAULT_CONNECT_OPTIONS", "1 0 3", 0, "1 0 3", ""},
        {"DEFAULT_CONNECT_OPTIONS", "1 0 4", 20, "",
         "out of range on line 7, above maximum legal value (3)."},
        {"CLIENT_PORT_WINDOW", "10", 20, "", "readStruct: Missing required data field on line 7."},
        {"CLIENT_PORT_WINDOW", "10 20x", 0, "10 20", ""},
        {"AUTHORIZATION_SERVICE", "host 13783", 0, "host 13783", ""},
        {"VNET_OPTIONS", "5 0 1 1 0 0 0 1 0 0 0 0", 0, "60 0 3 3 0 0 0 1 1541 0 0 0",
         "readInt: Integer (5) out of range on line 7, substituting minimum legal value (60)."},
        {"CONNECT_OPTIONS", "h1 0 9", 0, "h1 0 2 3",
         "Integer (9) out of range on line 7, substituting maximum legal value (2)."},
        {"AUTHENTICATION_DOMAIN", "dom \"a comment\" LDAP broker 80", 0,
         "dom \"a comment\" LDAP broker 80", ""},
        {"AUTHENTICATION_DOMAIN", "dom NIS+ broker", 0, "dom \"\" NIS+ broker 0", ""},
        {"AUTHENTICATION_DOMAIN", "dom \"open NIS broker", 20, "",
         "Missing required data field on line 7."},
        {"PREFERRED_NETWORK", "10.0.0.0/8 ONLY", 0, "10.0.0.0/8 ONLY", ""},
        {"GENERIC_KEY_VAL_LIST", "(a key) ( b (c) )", 0, "(a key) (b (c))", ""},
        {"GENERIC_KEY_VAL_LIST", "(a key (b)", 20, "", "Missing required data field"},
        {"KNOWN_MASTER", "m1 , m2", 0, nullptr, ""},
        {"BPCD_WHITELIST_PATH", "/a path/with spaces \r\n", 0, "/a path/with spaces", ""},
        {"FAILOVER_RESTORE_MEDIA_SERVERS", "a  b\tc", 0, "a b c", ""},
        {"VERSIONINFO", "\"Linux\" \"6\" \"x86\" \"Z\" \"10.1\" 1010", 0,
         "\"Linux\" \"6\" \"x86\" \"Z\" \"10.1\" 1010", ""},
        {"BPDBJOBS_COLDEFS", "JOBID 9 NO", 0, "JOBID 9 NO", ""},
        {"ALLOW_MEDIA_OVERWRITE", "TAR", 0, "TAR", ""},
        {"ALLOW_MEDIA_OVERWRITE", "3", 20, "", "Illegal enumerated value (3) on line 7."},
    };
    for (const ReadCase &k : cases) {
        SCOPED_TRACE(std::string(k.label) + " = " + k.text);
        TearDown();
        c_ = ZtConfig{};
        SetUp();
        EXPECT_EQ(read(k.label, k.text), k.rc);
        if (k.formatted != nullptr) {
            EXPECT_EQ(format(k.label),
                      std::string(k.formatted, strlen(k.formatted)) +
                          (IsMultiLineConfigData(getConfigIndexA(k.label)) && k.rc == 0
                               ? std::string(1, '\0')
                               : ""));
        }
        if (*k.logged) {
            EXPECT_NE(log().find(k.logged), std::string::npos) << log();
        } else if (k.rc == 0) {
            EXPECT_EQ(log(), "");
        }
    }
}

TEST_F(Config, KnownMasterSecondWordIsOptional) {
    ASSERT_EQ(read("KNOWN_MASTER", "m1 , m2"), 0);
    ASSERT_EQ(read("KNOWN_MASTER", "m3"), 0);
    ASSERT_NE(c_.KNOWN_MASTER, nullptr);
    EXPECT_STREQ(c_.KNOWN_MASTER->first, "m1");
    EXPECT_STREQ(c_.KNOWN_MASTER->second, "m2");
    ASSERT_NE(c_.KNOWN_MASTER->next, nullptr);
    EXPECT_STREQ(c_.KNOWN_MASTER->next->first, "m3");
    EXPECT_EQ(c_.KNOWN_MASTER->next->second, nullptr);
}

TEST_F(Config, FlagsAndListsAccumulateOverLines) {
    ASSERT_EQ(read("ALLOW_MEDIA_OVERWRITE", "DBR"), 0);
    ASSERT_EQ(read("ALLOW_MEDIA_OVERWRITE", "cpio"), 0);
    EXPECT_EQ(format("ALLOW_MEDIA_OVERWRITE"), std::string("DBR\0CPIO\0", 9));
    c_.ALLOW_MEDIA_OVERWRITE |= 0x100; // a bit no name stands for
    EXPECT_EQ(format("ALLOW_MEDIA_OVERWRITE"), "<20>");
    ASSERT_EQ(read("SERVER", "primary"), 0);
    ASSERT_EQ(read("SERVER", "second extra"), 0);
    EXPECT_EQ(rest_, "extra"); // the parser reports it
    EXPECT_EQ(format("SERVER"), std::string("primary\0second\0", 15));
    // A failed element leaves the list as it was.
    EXPECT_EQ(read("SERVER", ""), 20);
    EXPECT_EQ(format("SERVER"), std::string("primary\0second\0", 15));
    // A failed struct keeps the old structure.
    ASSERT_EQ(read("SERVER_PORT_WINDOW", "1 2"), 0);
    EXPECT_EQ(read("SERVER_PORT_WINDOW", "3 99999"), 20);
    EXPECT_EQ(format("SERVER_PORT_WINDOW"), "1 2");
}

// Hostile text: every reader gets it and answers 20 (or cuts it), never
// wrapping a number or touching memory past the text.
TEST_F(Config, HostileInputIsBadlyFormed) {
    const std::string kX5000(5000, 'x'), kX256(256, 'x');
    const ReadCase cases[] = {
        {"VERBOSE", "99999999999999999999", 20, "0", "Badly formed integer"},
        {"VERBOSE", "4294967296", 20, "0", ""},
        {"VERBOSE", "0xFFFFFFFF", 20, "0", ""},
        {"VERBOSE", "-2147483649", 20, "0", ""},
        {"VERBOSE", "abc", 20, "0", ""},
        {"VERBOSE", "-", 20, "0", ""},
        {"SLP.VERSION_CLEANUP_DELAY", "99999999999999999999 days", 20, "0 raw", ""},
        {"SLP.VERSION_CLEANUP_DELAY", "9223372036854775807 years", 0, "9223372036854775807 years",
         ""},
        {"RANDOM_PORTS", "99999999999999999999", 20, "NO", ""},
        {"CRYPT_STRENGTH", "-2147483648", 0, "DES_40", ""},
        {"GENERIC_KEY_VAL_LIST", "((((", 20, "", ""},
        {"GENERIC_KEY_VAL_LIST", ")(", 20, "", ""},
        {"VERSIONINFO", "\"a\" \"b", 20, "", ""},
        {"AUTHORIZATION_SERVICE", "", 20, "", ""},
        {"CLIENT_NAME", kX5000.c_str(), 0, kX256.c_str(), "String too long"},
    };
    for (const ReadCase &k : cases) {
        SCOPED_TRACE(std::string(k.label) + " = " + std::string(k.text).substr(0, 40));
        TearDown();
        c_ = ZtConfig{};
        SetUp();
        EXPECT_EQ(read(k.label, k.text), k.rc);
        EXPECT_EQ(format(k.label), k.formatted);
        if (*k.logged) {
            EXPECT_NE(log().find(k.logged), std::string::npos) << log();
        }
    }
    // An overlong truncation message leaves out the cut text rather than overflow.
    TearDown();
    SetUp();
    ASSERT_EQ(read("HOST_CACHE_PATH", std::string(3000, 'y')), 0);
    ASSERT_EQ(log_lines().size(), 1u);
    EXPECT_EQ(log_lines()[0].find(" to \""), std::string::npos);
    EXPECT_EQ(format("HOST_CACHE_PATH"), std::string(1024, 'y'));
}

struct TokenCase {
    uint32_t cls;
    const char *text;
    int ret;
    const char *token;
    const char *after; // the text from the token on, with its terminator put back
};

TEST(ConfigToken, DelimiterClasses) {
    const TokenCase cases[] = {
        {kWhole, "  all of it ", 0, "all of it ", "all of it "},
        {kOneLine, "\ta b", 0, "a b", "a b"},
        {kWord, "  one\ttwo", ' ', "one", "one two"},
        {kWord, "one", 0, "one", "one"},
        {kEquals, "key  = value", '=', "key", "key=   value"},
        {kEquals, "no equals", 0, "no equals", "no equals"},
        {kComma, "a,b", ',', "a", "a,b"},
        {kLine, "line one \r\nline two", '\n', "line one", "line one\n  line two"},
        {kLine, "  \nnext", '\n', "", "\nnext"},
        {kLine, "lone\rcr", '\n', "lone", "lone\ncr"},
        {kQuoted, " \"q w\" rest", '"', "q w", "q w\" rest"},
        {kQuoted, "noquote", -1, nullptr, nullptr},
        {kQuoted, "\"open", -1, nullptr, nullptr},
        {kParen, "(a (b) ) x", ')', "a (b)", "a (b))  x"},
        {kParen, "(a (b)", -1, nullptr, nullptr},
        {kBrace, "{x{y}}", '}', "x{y}", "x{y}}"},
        {kBrace, "x}", -1, nullptr, nullptr},
        {kWord, "", 0, "", ""},
    };
    for (const TokenCase &k : cases) {
        SCOPED_TRACE(std::to_string(k.cls) + ": " + k.text);
        std::vector<char> buf(k.text, k.text + strlen(k.text) + 1);
        char *cursor = buf.data();
        int ret = getConfigTokenA(&cursor, int(k.cls));
        ASSERT_EQ(ret, k.ret);
        if (ret < 0)
            continue;
        EXPECT_STREQ(cursor, k.token);
        if (ret > 0)
            cursor[strlen(cursor)] = char(ret);
        EXPECT_STREQ(cursor, k.after);
    }
}

TEST_F(Config, FormattingInterface) {
    const int server = getConfigIndexA("SERVER");
    ASSERT_EQ(read("SERVER", "a"), 0);
    ASSERT_EQ(read("SERVER", "bb"), 0);
    int size = 0;
    EXPECT_EQ(formatConfigItemA(&c_, server, nullptr, &size), -1);
    EXPECT_EQ(size, 6); // "a\0bb\0" and the final NUL
    char small[3];
    size = sizeof small;
    EXPECT_EQ(formatConfigItemA(&c_, server, small, &size), -1);
    EXPECT_EQ(size, 6);
    char buf[6];
    size = sizeof buf;
    EXPECT_EQ(formatConfigItemA(&c_, server, buf, &size), 0);
    EXPECT_EQ(std::string(buf, 6), std::string("a\0bb\0\0", 6));
    size = 99;
    EXPECT_EQ(formatConfigItemA(&c_, 360, buf, &size), -1);
    EXPECT_EQ(size, 0);

    char *heap = nullptr;
    size = 0;
    EXPECT_EQ(getFormattedConfigItemA(&c_, server, &heap, &size), 6);
    EXPECT_EQ(size, 1024);
    ASSERT_EQ(read("USEMAIL", std::string(3000, 'm')), 0);
    EXPECT_EQ(getFormattedConfigItemA(&c_, getConfigIndexA("USEMAIL"), &heap, &size), 3001);
    EXPECT_EQ(size, 4096);
    EXPECT_EQ(strlen(heap), 3000u);
    free(heap);

    char16_t wide[8];
    size = 8;
    EXPECT_EQ(formatConfigItemW(&c_, server, wide, &size), 0);
    EXPECT_EQ(size, 6);
    EXPECT_EQ(std::u16string(wide, 6), std::u16string(u"a\0bb\0\0", 6));
    char16_t *wheap = nullptr;
    size = 0;
    ASSERT_EQ(read("CLIENT_NAME", "h\xc3\xa9te"), 0);
    EXPECT_EQ(getFormattedConfigItemW(&c_, getConfigIndexA("CLIENT_NAME"), &wheap, &size), 5);
    EXPECT_EQ(std::u16string(wheap), u"h\u00e9te");
    free(wheap);
}

TEST(ConfigUnits, NamesAndBaseValues) {
    ZtUnits one_hour{1, kHour}, two_gb{2, kGB}, minus{-1, kDay}, bad{5, 99}, huge{INT64_MAX, kPB};
    EXPECT_STREQ(getConfigUnitsName(&one_hour), "hour");
    EXPECT_STREQ(getConfigUnitsName(&two_gb), "GB");
    EXPECT_STREQ(getConfigUnitsName(&minus), "day");
    EXPECT_STREQ(getConfigUnitsName(&bad), "raw");
    EXPECT_STREQ(getConfigUnitsName(nullptr), "raw");
    EXPECT_EQ(computeConfigUnitsBaseValue(&two_gb), 2147483648);
    EXPECT_EQ(computeConfigUnitsBaseValue(&one_hour), 3600);
    EXPECT_EQ(computeConfigUnitsBaseValue(&huge), INT64_MAX);
}

TEST_F(Config, IpAddressesByClass) {
    struct Case {
        const char *text;
        uint64_t accepted;
        int rc;
        const char *formatted;
    };
    const Case cases[] = {
        {"10.1.2.3", 1, 0, "10.1.2.3"},
        {"127.0.0.1", 4096, 0, "127.0.0.1"},
        {"127.0.0.1", 1, 20, "0.0.0.0"},
        {"192.168.1.255", 256, 0, "192.168.1.255"},
        {"0x0A000001", 1, 0, "10.0.0.1"},
        {"10.65536", 1, 0, "10.1.0.0"},
        {"10.1.70000", 1, 20, "0.0.0.0"},
        {"256.1.1.1", 0xFFFF, 20, "0.0.0.0"},
        {"1.2.3.4.5", 0xFFFF, 20, "0.0.0.0"},
        {"a.b", 0xFFFF, 20, "0.0.0.0"},
        {"255.255.255.255", 8192, 0, "255.255.255.255"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.text);
        uint32_t field = 0;
        std::vector<char> buf(k.text, k.text + strlen(k.text) + 1);
        char *cursor = buf.data();
        EXPECT_EQ(kTypeOps[uint8_t(Type::IPAddr)].read(&cursor, &field, k.accepted, nullptr, 3),
                  k.rc);
        std::string out;
        kTypeOps[uint8_t(Type::IPAddr)].format(&field, out, 0, nullptr);
        EXPECT_EQ(out, k.formatted);
    }
    EXPECT_NE(log().find("Wrong class of IP address (127.0.0.1) on line 3"), std::string::npos);
    EXPECT_NE(log().find("Badly formed IP address (256.1.1.1) on line 3"), std::string::npos);
}

TEST_F(Config, Int64Reader) {
    const RangeRule64 rule{kCheckMax | kSubstitute, 0, 1000};
    struct Case {
        const char *text;
        const RangeRule64 *rule;
        int rc;
        int64_t value;
    };
    const Case cases[] = {{"123", nullptr, 0, 123},
                          {"", nullptr, 0, 42},
                          {"9223372036854775807", nullptr, 0, INT64_MAX},
                          {"99999999999999999999", nullptr, 20, -1},
                          {"0x10", nullptr, 0, 0},
                          {"5000", &rule, 0, 1000}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.text);
        int64_t v = -1;
        std::vector<char> buf(k.text, k.text + strlen(k.text) + 1);
        char *cursor = buf.data();
        EXPECT_EQ(kTypeOps[uint8_t(Type::Int64)].read(&cursor, &v, 42, k.rule, 5), k.rc);
        EXPECT_EQ(v, k.value);
    }
    EXPECT_NE(
        log().find(
            "Integer64 (5000) out of range on line 5, substituting maximum legal value (1000)."),
        std::string::npos);
}

class AdHoc : public Config {};

TEST_F(AdHoc, TouchFiles) {
    const std::string dir = root().path();
    zt::test::write_file(dir + "/PRESENT", "");
    zt::test::write_file(dir + "/NUMBER", "42\nignored\n");
    zt::test::write_file(dir + "/WORDS", "some text\r\n");
    int n = -1;
    char line[64] = "";
    struct Case {
        const char *name;
        int *int_out;
        char *line_out;
        int line_size;
        int rc;
        const char *logged;
    };
    const Case cases[] = {
        {"MISSING", nullptr, nullptr, 0, 227, ""},
        {"PRESENT", nullptr, nullptr, 0, 0, "Found "},
        {"PRESENT", &n, nullptr, 0, 0, "is empty; requested from (caller.c.12)."},
        {"NUMBER", &n, nullptr, 0, 0, "42 read ; requested from (caller.c.12)."},
        {"WORDS", &n, line, sizeof line, 0,
         "Can't read int from >some text< ; requested from (caller.c.12)."},
        {"WORDS", nullptr, line, 1, 223,
         "The line_buffer_size (1) from (caller.c.12) must be at least 2"},
        {nullptr, nullptr, nullptr, 0, 223, "config_name cannot be NULL; from (caller.c.12)"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name ? k.name : "(null)");
        log_->clear();
        EXPECT_EQ(read_AD_HOC_config_entry(dir.c_str(), k.name, k.int_out, k.line_out, k.line_size,
                                           nullptr, "caller.c", 12),
                  k.rc);
        if (*k.logged) {
            EXPECT_NE(log().find(k.logged), std::string::npos) << log();
        }
    }
    EXPECT_STREQ(line, "some text");
    EXPECT_EQ(
        read_AD_HOC_config_entry("*NODE_SPECIFIC_DB?", "X", nullptr, nullptr, 0, nullptr, "f", 1),
        113);
    EXPECT_EQ(read_AD_HOC_config_entry(nullptr, "X", nullptr, nullptr, 0, nullptr, "f", 1), 223);
}

// What an operator may leave under a touch file's name: a FIFO must not block
// the reader, a number too large for an int is not read as a wrapped one, and
// a line that cannot be read never leaves the caller's old text behind.
TEST_F(AdHoc, TouchFilesThatAreNotPlainNumbers) {
    const std::string dir = root().path();
    ASSERT_EQ(mkfifo((dir + "/FIFO").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((dir + "/DIRECTORY").c_str(), 0755), 0);
    zt::test::write_file(dir + "/HUGE", "99999999999999999999\n");
    zt::test::write_file(dir + "/BELOW", "-2147483649\n");
    zt::test::write_file(dir + "/LIMIT", "-2147483648 and more\n");
    struct Case {
        const char *name;
        int value;        // intOut afterwards (it starts at 7)
        const char *line; // lineOut afterwards (it starts as "stale")
        const char *logged;
    };
    const Case cases[] = {
        {"FIFO", 7, "", "File " /* no writer: an empty file */},
        {"DIRECTORY", 7, "", "Unable to read from file "},
        {"HUGE", 7, "99999999999999999999",
         "Can't read int from >99999999999999999999< ; requested from (c.c.3)."},
        {"BELOW", 7, "-2147483649", "Can't read int from >-2147483649<"},
        {"LIMIT", -2147483647 - 1, "-2147483648 and more",
         "-2147483648 read ; requested from (c.c.3)."},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        log_->clear();
        int n = 7;
        char line[32] = "stale";
        EXPECT_EQ(
            read_AD_HOC_config_entry(dir.c_str(), k.name, &n, line, sizeof line, nullptr, "c.c", 3),
            0);
        EXPECT_EQ(n, k.value);
        EXPECT_STREQ(line, k.line);
        EXPECT_NE(log().find(k.logged), std::string::npos) << log();
    }
}

TEST_F(AdHoc, TestTriggersOverrideTouchFiles) {
    // The trigger file name is derived from the path: "/x/TeStS" -> "x:\TeStS.TeStS".
    char *here = get_current_dir_name();
    const std::string cwd = here;
    free(here);
    ASSERT_EQ(chdir(root().path().c_str()), 0);
    zt::test::write_file(root() / "x:\\TeStS.TeStS",
                         "TARGET=BPTM\nTEST=9\nWRITER\nP1=0x0\nSTRING=/OFF_FLAG\n"
                         "TARGET=bpcd\nTEST=9\nWRITER\nCOUNT=1\nP1=7\nSTRING=/ON_FLAG\n"
                         "TARGET=DISK\nTEST=3\n"
                         "TARGET=other\nTEST=9\n");
    Borvel_TeST *list = nullptr, *media = nullptr;
    ASSERT_EQ(CheckAndParseTeStS("/x/TeStS", &list, &media, "bpcd", 4), 0);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(media, nullptr);
    EXPECT_EQ(list->test & 0xFFF, 9u);
    EXPECT_NE(
        log().find("Processed test 0x00010009, for target bpcd count 1 copy_index 0 writer 1"),
        std::string::npos)
        << log();
    const std::string dir = root().path() + "/d";
    int n = 0;
    // COUNT=1: the first look passes it by, the second fires.
    EXPECT_EQ(read_AD_HOC_config_entry(dir.c_str(), "ON_FLAG", &n, nullptr, 0, &list, "f", 1), 227);
    EXPECT_EQ(read_AD_HOC_config_entry(dir.c_str(), "ON_FLAG", &n, nullptr, 0, &list, "f", 1), 0);
    EXPECT_EQ(n, 7);
    EXPECT_NE(log().find("Borvel Test override, Found " + dir + "/ON_FLAG from (f.1)"),
              std::string::npos);
    UnlinkTeStS(list, &list);
    EXPECT_EQ(list, nullptr);

    // The media triggers go with BPTM; test 9 parameters for BPTM are in network order.
    ASSERT_EQ(chdir(root().path().c_str()), 0);
    ASSERT_EQ(CheckAndParseTeStS("/x/TeStS", &list, &media, "BPTM", 4), 0);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(media, nullptr);
    EXPECT_STREQ(media->target, "DISK");
    char message[128] = "";
    EXPECT_EQ(CheckForTeStSAndString(9, (dir + "/OFF_FLAG").c_str(), 1, message, sizeof message,
                                     &list, "g", 2),
              list);
    EXPECT_EQ(std::string(message), "Triggered test 0x00010009 (g:2)");
    EXPECT_EQ(read_AD_HOC_config_entry(dir.c_str(), "OFF_FLAG", nullptr, nullptr, 0, &list, "f", 1),
              13);
    EXPECT_EQ(CheckForTeStS(3, 0, &media, "h", 3), media);
    UnlinkTeStS(list, &list);
    UnlinkTeStS(media, &media);

    // A FIFO in the trigger file's place reads as an empty file.
    ASSERT_EQ(chdir(root().path().c_str()), 0);
    ASSERT_EQ(unlink("x:\\TeStS.TeStS"), 0);
    ASSERT_EQ(mkfifo("x:\\TeStS.TeStS", 0644), 0);
    EXPECT_EQ(CheckAndParseTeStS("/x/TeStS", &list, &media, "BPTM", 4), 0);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(media, nullptr);
}

} // namespace
