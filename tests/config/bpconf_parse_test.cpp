// The text image parser, records, images and key/value access.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <ztbase/bpconf.h>

#include "bpconf_support.h"
#include "support/temp_root.h"

namespace {

using namespace bpconf_test;

int32_t word(ZtConfig *definition, const char *label) {
    int32_t w;
    memcpy(&w, getConfigDataPointer(definition, getConfigIndexA(label)), sizeof w);
    return w;
}

class ParseTest : public zt::test::ZtTest {};

struct MessageCase {
    const char *text;
    int flags;
    int status;
    const char *message; // a logged line that must be there, or ""
};

TEST_F(ParseTest, StatusesAndMessagesOfBadLines) {
    const MessageCase cases[] = {
        {"# c\nSERVER\n", 0, 0,
         "ParseConfigExA: Missing 'value'; Option skipped on line 2: SERVER"},
        {"CLIENT_NAME = a b\n", 0, 0, "Extra data (b) at end of line 1 ignored."},
        {"INDEX_SERVER = x\n", 0, 0, "Obsolete configuration option on line 1: INDEX_SERVER = x"},
        {"INDEX_SERVER\n", ZTPARSE_STRICT, 20,
         "Obsolete configuration option on line 1: INDEX_SERVER"},
        {"VERBOSE = many\n", 0, 0, "Badly formed configuration entry on line 1: VERBOSE = many"},
        {"VERBOSE = many\nCLIENT_NAME = x\n", ZTPARSE_STRICT, 20,
         "Badly formed configuration entry"},
        {"GENERIC_KEY_VAL_LIST = (a (b)\n", ZTPARSE_STRICT, 20,
         "Badly formed configuration entry on line 1"},
        {"GENERIC_KEY_VAL_LIST = (a) (b) c\n", 0, 0, "Badly formed configuration entry on line 1"},
        {"= value\n", ZTPARSE_STRICT, 20, "Badly formed configuration entry on line 1"},
        // a generic key may not carry an item's (or an obsolete item's) name
        {"GENERIC_KEY_VAL_LIST = (server) (evil)\n", ZTPARSE_STRICT, 20,
         "Badly formed configuration entry on line 1: GENERIC_KEY_VAL_LIST = (server) (evil)"},
        {"GENERIC_KEY_VAL_LIST = (INDEX_SERVER) (x)\n", ZTPARSE_STRICT, 20,
         "Badly formed configuration entry on line 1"},
        {"SLP.MAX_SIZE_PER_DUPLICATION_JOB = 2 hours\n", ZTPARSE_STRICT, 20,
         "Badly formed configuration entry"},
    };
    for (const MessageCase &c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        Record record;
        std::string text = c.text;
        EXPECT_EQ(parse_over_defaults(text, record.get(), nullptr, c.flags), c.status);
        EXPECT_TRUE(log.has(c.message)) << log.all();
    }
}

TEST_F(ParseTest, LineRulesAndDefinitionWords) {
    Record record;
    Definition def;
    std::string text = "  # comment\r\n"
                       "\r\n"
                       "SERVER\r\n"                 // 3: no value, recorded as -3
                       "CLIENT_NAME = first\n"      // 4
                       "  verbose=0x10  \r\n"       // 5: case, white space, "\r\n"
                       "CLIENT_NAME\t=\tsecond\r\n" // 6: redefined
                       "KEEP_LOGS_DAYS = 4\r 5\n"   // 7: a lone '\r' is white space: extra data
                       "unknown_key = a b c\n"
                       "SERVER_CONNECT_TIMEOUT";
    const std::string original = text;
    LogCapture log;
    ASSERT_EQ(InitConfig(nullptr, record.get(), def.get()), 0);
    EXPECT_EQ(ParseConfigExA(text.data(), record.get(), def.get(), ZTPARSE_RECORD_EMPTY), 0);
    EXPECT_EQ(text, original); // the caller's text is left as it was
    EXPECT_EQ(def.get()->valid, 1);
    EXPECT_EQ(record->valid, 1);
    EXPECT_EQ(word(def.get(), "SERVER"), -3);
    EXPECT_EQ(word(def.get(), "CLIENT_NAME"), 6);
    EXPECT_EQ(word(def.get(), "VERBOSE"), 5);
    EXPECT_EQ(word(def.get(), "GENERIC_KEY_VAL_LIST"), 1);
    EXPECT_EQ(word(def.get(), "SERVER_CONNECT_TIMEOUT"), -9);
    EXPECT_EQ(record->SERVER_CONNECT_TIMEOUT, 30); // a required value: defined, not read
    EXPECT_STREQ(record->CLIENT_NAME, "second");
    EXPECT_EQ(record->VERBOSE, 16);
    EXPECT_EQ(record->KEEP_LOGS_DAYS, 4);
    EXPECT_TRUE(
        log.has("Option (CLIENT_NAME) redefined on line 6, discarding definition on line 4."));
    EXPECT_TRUE(log.has("Extra data (5) at end of line 7 ignored."));
    char *value = nullptr;
    ASSERT_EQ(bpconfGetKeyValPair(record.get(), "UNKNOWN_KEY", &value), 0);
    EXPECT_STREQ(value, "a b c");
    free(value);

    // The same key alone deletes it; keeping the definition adds to it.
    std::string more = "unknown_key\n";
    EXPECT_EQ(ParseConfigExA(more.data(), record.get(), def.get(), ZTPARSE_KEEP_DEFINITION), 0);
    EXPECT_EQ(word(def.get(), "CLIENT_NAME"), 6);
    EXPECT_EQ(bpconfGetKeyValPair(record.get(), "unknown_key", &value), 227);
    ASSERT_NE(record->GENERIC_KEY_VAL_LIST, nullptr);
    EXPECT_STREQ(record->GENERIC_KEY_VAL_LIST->value, ZTCONFIG_TOMBSTONE);
}

TEST_F(ParseTest, HostileImagesNeverCrashAndKeepTheGoodLines) {
    std::string huge_line = "CLIENT_NAME = " + std::string(1 << 20, 'x') + "\nVERBOSE = 3\n";
    std::string no_line_end = "VERBOSE = 3";
    std::string nul_inside = std::string("VERBOSE = 3\nCLIENT") + '\0' + "_NAME = x\n";
    std::string lone_cr = "VERBOSE = 3\r\rCLIENT_NAME = a\r";
    std::string many_unknown;
    for (int i = 0; i < 5000; ++i)
        many_unknown += "key" + std::to_string(i) + " = " + std::to_string(i) + "\n";
    many_unknown += "VERBOSE = 3\n";
    std::string bad_generic =
        "GENERIC_KEY_VAL_LIST = ((a) (b\nVERBOSE = 3\nGENERIC_KEY_VAL_LIST = )(\n";
    std::string junk;
    for (int i = 0; i < 4096; ++i)
        junk += char((i * 7919) % 255 + 1);
    junk += "\nVERBOSE = 3\n";
    struct Case {
        const char *name;
        std::string *text;
        bool bad; // holds a line strict mode refuses
    } cases[] = {{"1 MB line", &huge_line, false},
                 {"no line end", &no_line_end, false},
                 {"NUL inside", &nul_inside, false},
                 {"lone CR", &lone_cr, false},
                 {"unknown keys", &many_unknown, false},
                 {"unbalanced generic", &bad_generic, true},
                 {"junk", &junk, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Record lenient;
        EXPECT_EQ(parse_over_defaults(*c.text, lenient.get()), 0);
        EXPECT_EQ(lenient->VERBOSE, 3);
        Record strict;
        int status = parse_over_defaults(*c.text, strict.get(), nullptr, ZTPARSE_STRICT);
        EXPECT_TRUE(status == 0 || status == 20) << status;
        if (c.bad) {
            EXPECT_EQ(status, 20);
        }
    }
    Record unknown;
    parse_over_defaults(many_unknown, unknown.get());
    int count = 0;
    for (ZtKeyValNode *n = unknown->GENERIC_KEY_VAL_LIST; n != nullptr; n = n->next)
        ++count;
    EXPECT_EQ(count, 5000);
}

TEST_F(ParseTest, EveryItemSurvivesImageAndParse) {
    std::vector<std::string> unset;
    std::string text = full_text(&unset);
    EXPECT_TRUE(unset.empty()) << "items without a test value: " << ::testing::PrintToString(unset);
    Record full;
    ASSERT_EQ(parse_over_defaults(text, full.get(), nullptr, ZTPARSE_STRICT), 0);
    const std::string image = image_of(full.get());
    // The last item comes after the obsolete rows and is still written.
    EXPECT_NE(image.find("\nCP_PARALLEL_CONNECTIONS=7\n"), std::string::npos);
    EXPECT_NE(image.find("\nALLOW_MEDIA_OVERWRITE=DBR\nALLOW_MEDIA_OVERWRITE=TAR\n"),
              std::string::npos);
    Record back;
    ASSERT_EQ(parse_over_defaults(image, back.get(), nullptr, ZTPARSE_STRICT), 0);
    EXPECT_EQ(image_of(back.get()), image);

    // A deep copy outlives its source.
    Record copy;
    ASSERT_EQ(CopyConfig(copy.get(), full.get()), 0);
    FreeConfig(full.get());
    EXPECT_EQ(image_of(copy.get()), image);
}

TEST_F(ParseTest, ImageWithDefinitionWritesOnlyDefinedItems) {
    Record record;
    Definition def;
    std::string text = "SERVER = a\nSERVER = b\nBUSY_FILE_DIRECTORY\nUSEMAIL\nfoo = bar\n";
    ASSERT_EQ(InitConfig(nullptr, record.get(), def.get()), 0);
    ASSERT_EQ(ParseConfigExA(text.data(), record.get(), def.get(), ZTPARSE_RECORD_EMPTY), 0);
    EXPECT_EQ(
        image_of(record.get(), def.get()),
        "SERVER=a\nSERVER=b\nUSEMAIL\nBUSY_FILE_DIRECTORY\nGENERIC_KEY_VAL_LIST=(foo) (bar)\n");
}

TEST_F(ParseTest, FilterKeepsSelectedLinesAndAddsReportedDefaults) {
    Definition selection;
    Record scratch;
    std::string wanted = "CLIENT_NAME\nRANDOM_PORTS\nVERBOSE\n";
    ParseConfigExA(wanted.data(), scratch.get(), selection.get(), ZTPARSE_RECORD_EMPTY);
    char *image = strdup("SERVER=a\n# c\nclient_name=b\nfoo=bar\nVERBOSE=2");
    ASSERT_EQ(filterConfigImageA(nullptr, selection.get(), &image), 0);
    EXPECT_STREQ(image, "client_name=b\nVERBOSE=2\nRANDOM_PORTS=YES\n");
    free(image);
    image = strdup("foo=bar\n");
    ASSERT_EQ(filterConfigImageA(nullptr, nullptr, &image), 0);
    std::string all = image;
    free(image);
    EXPECT_EQ(all.rfind("foo=bar\n", 0), 0u);
    EXPECT_NE(all.find("\nKMS_DIR="), std::string::npos);
    EXPECT_NE(all.find("\nZENTOR_APPLIANCE_MODE=NOT_APPLIANCE\n"), std::string::npos);
}

TEST_F(ParseTest, SemanticChecks) {
    Record record;
    ASSERT_EQ(parse_over_defaults("USE_CTIME_FOR_INCREMENTALS = YES\n", record.get()), 0);
    LogCapture log;
    EXPECT_EQ(CheckSemantics(record.get()), 111);
    EXPECT_TRUE(log.has("SERVER not specified in Zentor configuration"));
    EXPECT_EQ(formatted(record.get(), "DO_NOT_RESET_FILE_ACCESS_TIME"), "YES");
    EXPECT_TRUE(log.has("DO_NOT_RESET_FILE_ACCESS_TIME set also"));

    struct {
        const char *update;
        int status;
    } cases[] = {{"VERBOSE = 1\n", 0}, {"SERVER = a\n", 0}, {"SERVER\n", 111}};
    for (const auto &c : cases) {
        Record r;
        Definition def;
        std::string text = c.update;
        ParseConfigExA(text.data(), r.get(), def.get(), ZTPARSE_RECORD_EMPTY);
        EXPECT_EQ(CheckSemanticsForUpdate(r.get(), def.get()), c.status) << c.update;
    }
}

TEST_F(ParseTest, KeyValueAccess) {
    Record record;
    ASSERT_EQ(
        parse_over_defaults("flag = yes\nnum = 0x1F\nbad = 12abc\nempty_one\nCLIENT_NAME = me\n"
                            "GENERIC_KEY_VAL_LIST = (paren key) (v (nested))\n",
                            record.get()),
        0);
    struct {
        const char *key;
        int status;
        const char *value;
    } pairs[] = {{"FLAG", 0, "yes"},       {"paren key", 0, "v (nested)"},
                 {"CLIENT_NAME", 0, "me"}, {"VERBOSE", 0, "0"},
                 {"SERVER", 227, ""},      {"ACCEPT_PORT", 227, ""},
                 {"empty_one", 227, ""},   {"nothing", 227, ""},
                 {"USEMAIL", 227, ""}};
    for (const auto &p : pairs) {
        char *value = nullptr;
        EXPECT_EQ(bpconfGetKeyValPair(record.get(), p.key, &value), p.status) << p.key;
        if (p.status == 0) {
            EXPECT_STREQ(value, p.value);
        }
        free(value);
    }
    char small[3];
    EXPECT_EQ(bpconfGetKeyValPairInBuffer(record.get(), "CLIENT_NAME", small, 3), 0);
    EXPECT_EQ(bpconfGetKeyValPairInBuffer(record.get(), "flag", small, 3), 119);
    EXPECT_STREQ(small, "ye");
    int out = -1;
    EXPECT_EQ(bpconfGetKeyValPairAsBool(record.get(), "flag", &out), 0);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(bpconfGetKeyValPairAsBool(record.get(), "num", &out), 223);
    EXPECT_EQ(bpconfGetKeyValPairAsInt(record.get(), "num", &out), 0);
    EXPECT_EQ(out, 31);
    EXPECT_EQ(bpconfGetKeyValPairAsInt(record.get(), "bad", &out), 223);
    EXPECT_EQ(bpconfGetKeyValPairAsInt(record.get(), "nothing", &out), 227);
}

TEST(KeyValList, SplitsTwoGroups) {
    struct {
        const char *text;
        int status;
        const char *key;
        const char *value;
    } cases[] = {{"(a) (b)", 0, "a", "b"},
                 {" (a b )(c d)  ", 0, "a b", "c d"},
                 {"((x)) (y (z))", 0, "(x)", "y (z)"},
                 {"(a) b", -1, "", ""},
                 {"(a", -1, "", ""},
                 {"(a) (b) c", -1, "", ""},
                 {"", -1, "", ""},
                 {"a) (b", -1, "", ""}};
    for (const auto &c : cases) {
        std::string text = c.text;
        char *key = nullptr;
        char *value = nullptr;
        EXPECT_EQ(getKeyValPairFromList(&key, &value, text.data()), c.status) << c.text;
        if (c.status == 0) {
            EXPECT_STREQ(key, c.key);
            EXPECT_STREQ(value, c.value);
        }
    }
}

TEST_F(ParseTest, CombineKeepsTheUpdateAndAddsTheRestOfTheStore) {
    Record updated;
    Record stored;
    ASSERT_EQ(parse_over_defaults("k1 = new\nk2\n", updated.get()), 0);
    ASSERT_EQ(parse_over_defaults("K1 = old\nk2 = x\nk3 = y\n", stored.get()), 0);
    combineKeyValLists(updated.get(), stored.get());
    std::string seen;
    for (ZtKeyValNode *n = updated->GENERIC_KEY_VAL_LIST; n != nullptr; n = n->next)
        seen += std::string(n->key) + "=" +
                (strcmp(n->value, ZTCONFIG_TOMBSTONE) == 0 ? "-" : n->value) + ";";
    EXPECT_EQ(seen, "k1=new;k2=-;k3=y;");
}

TEST_F(ParseTest, GenericKeysReplaceIgnoringCaseAcrossParses) {
    const auto list = [](const ZtConfig *r) {
        std::string seen;
        for (const ZtKeyValNode *n = r->GENERIC_KEY_VAL_LIST; n != nullptr; n = n->next)
            seen += std::string(n->key) + "=" +
                    (strcmp(n->value, ZTCONFIG_TOMBSTONE) == 0 ? "-" : n->value) + ";";
        return seen;
    };
    Record record;
    ASSERT_EQ(parse_over_defaults("a = 1\nb = 2\nA = 3\n", record.get()), 0);
    EXPECT_EQ(list(record.get()), "a=3;b=2;");
    std::string more = "B = 4\nx = 0\n";
    ASSERT_EQ(ParseConfigExA(more.data(), record.get(), nullptr, 0), 0);
    EXPECT_EQ(list(record.get()), "a=3;b=4;x=0;");
    more = "b = 5\nGENERIC_KEY_VAL_LIST =\nc = 5\nC\nd = 6\n";
    ASSERT_EQ(ParseConfigExA(more.data(), record.get(), nullptr, 0), 0);
    EXPECT_EQ(list(record.get()), "c=-;d=6;");
}

TEST_F(ParseTest, WideTextIsParsedAsUtf8) {
    Record record;
    ASSERT_EQ(InitConfig(nullptr, record.get(), nullptr), 0);
    EXPECT_EQ(ParseConfigExW(u"CLIENT_NAME = h\u00e9te\nVERBOSE = 2\n", record.get(), nullptr, 0),
              0);
    EXPECT_STREQ(record->CLIENT_NAME, "h\xc3\xa9te");
    EXPECT_EQ(record->VERBOSE, 2);
}

} // namespace
