// Localised messages: catalogue lookup and its fallbacks, the catalogue line
// format, the cache, format safety, and the locale names.
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "locale/messages_internal.h"
#include "platform/registry/registry.h"
#include "support/temp_root.h"
#include "ztbase/dates.h"
#include "ztbase/messages.h"
#include "ztbase/paths.h"
#include "ztbase/status.h"

namespace {

using zt::test::write_file;

class MessagesTest : public zt::test::ZtTest {
  protected:
    MessagesTest() { msgCacheUnload(); }
    ~MessagesTest() override {
        msgCacheUnload();
        setNeedAcpToUtf8Conversion(0);
    }
    static std::string msg_dir() { return getFennicString("MSG_DIR"); }
    static void catalogue(const std::string &locale, const std::string &content,
                          const std::string &file = "CerMsgs", const char *family = "zentor") {
        write_file(msg_dir() + "/" + locale + "/" + family + "/" + file, content);
    }
    static void locale_file(const std::string &content) {
        write_file(getFennicString("LOCALE_FILE"), content);
    }
    // qlgetmsg of one string argument.
    static std::string message(const char *id, const char *locale, const char *fmt = "default %s",
                               const char *arg = "x") {
        char out[256] = "untouched";
        EXPECT_EQ(qlgetmsg(id, locale, sizeof out, out, nullptr, 0, nullptr, fmt, arg), 0);
        return out;
    }
};

TEST_F(MessagesTest, EveryMissingPieceFallsBackToTheDefault) {
    EXPECT_EQ(message("CerDem0001N", "de"), "default x"); // no message directory at all
    catalogue("de", "CerDem0001N \"Meldung %s\"\n");
    catalogue("de", "CerDem0001V \"Volumen %s\"\n", "CerMsgs", "volmgr");
    write_file(msg_dir() + "/../outside/zentor/CerMsgs", "CerDem0001N \"outside %s\"\n");
    msgCacheUnload(); // files found missing stay missing until then
    const struct {
        const char *id, *locale, *want;
    } cases[] = {
        {"CerDem0001N", "de", "Meldung x"},
        {"CerDem0001V", "de", "Volumen x"},  // family by the last letter
        {"CerDem0001N", "fr", "default x"},  // no locale directory
        {"CerDem0002N", "de", "default x"},  // no such line
        {"XyzDem0001N", "de", "default x"},  // no such file
        {"CerDem001N", "de", "default x"},   // ten characters
        {"CerDem00001N", "de", "default x"}, // twelve
        {"../Dem0001N", "de", "default x"},  // never a path
        {"CerDem0001N", "..", "default x"},
        {"CerDem0001N", "../outside", "default x"},
        {"CerDem0001N", "", "default x"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(message(c.id, c.locale), c.want) << c.id << " in " << c.locale;
    char out[8];
    EXPECT_EQ(qlgetmsg(nullptr, "de", sizeof out, out, nullptr, 0, nullptr, "x"), -1);
    EXPECT_EQ(qlgetmsg("CerDem0001N", nullptr, sizeof out, out, nullptr, 0, nullptr, "x"), -1);
    EXPECT_EQ(qlgetmsg("CerDem0001N", "de", sizeof out, nullptr, nullptr, 0, nullptr, "x"), -1);
    EXPECT_EQ(qlgetmsg("CerDem0001N", "de", sizeof out, out, nullptr, 0, nullptr, nullptr), -1);
    errno = EDOM;
    message("CerDem0001N", "de");
    EXPECT_EQ(errno, EDOM);
}

TEST_F(MessagesTest, LineFormatEscapesAndLongLines) {
    const std::string long_text(9000, 'a');
    catalogue("de", "# CerDem0009N \"a comment\"\n"
                    "CerDem0001N \"tab\\there \\\"quoted\\\" back\\\\slash \\q\" trailing words\n"
                    "CerDem0002N\t  \"two\\nlines\\r\\b\\f\\v\"\r\n"
                    "CerDem0003N \"unbalanced\n"
                    "CerDem0004N \"" +
                        long_text +
                        "CerDem0005N \"smuggled\"\"\n"
                        "CerDem0006N \"first\"\nCerDem0006N \"second\"\n"
                        "CerDem0007N \"no final newline\"");
    const struct {
        const char *id;
        std::string want;
    } cases[] = {
        {"CerDem0001N", "tab\there \"quoted\" back\\slash q"},
        {"CerDem0002N", "two\nlines\r\b\f\v"},
        {"CerDem0004N", long_text + "CerDem0005N \"smuggled\""},
        {"CerDem0006N", "first"},
        {"CerDem0007N", "no final newline"},
    };
    for (const auto &c : cases) {
        const char *text = getLocalMsgFmt("de", c.id);
        ASSERT_NE(text, nullptr) << c.id;
        EXPECT_EQ(std::string(text), c.want) << c.id;
    }
    for (const char *missing : {"CerDem0003N", "CerDem0005N", "CerDem0009N"})
        EXPECT_EQ(getLocalMsgFmt("de", missing), nullptr) << missing;
}

TEST_F(MessagesTest, MultibyteCataloguesKeepTheirCharactersWhole) {
    // U+8868 is 0x95 0x5C in Shift-JIS: its second byte reads as a backslash
    // to anyone who walks the text byte by byte.
    locale_file("TL 6 jasjis hh:mn:ss ^ yyyy/mm/dd ^ 10 ja_JP.SJIS\n"
                "TL 2 ja hh:mn:ss ^ yyyy/mm/dd ^ 11 ja_JP.UTF-8\n");
    catalogue("jasjis", "CerDem0001N \"\x95\x5Cn \\t\"\n");
    catalogue("ja", "CerDem0001N \"\xE8\xA1\xA8\\n\\t\"\n");
    ASSERT_NE(getLocalMsgFmt("jasjis", "CerDem0001N"), nullptr);
    EXPECT_EQ(std::string(getLocalMsgFmt("jasjis", "CerDem0001N")), "\x95\x5Cn \t");
    ASSERT_NE(getLocalMsgFmt("ja", "CerDem0001N"), nullptr);
    EXPECT_EQ(std::string(getLocalMsgFmt("ja", "CerDem0001N")), "\xE8\xA1\xA8\n\t");
}

TEST_F(MessagesTest, TheFirstLookupReadsTheWholeFileOnce) {
    catalogue("de", "CerDem0001N \"eins\"\nCerDem0002N \"zwei\"\nCerOth0001V \"other family\"\n");
    const int before = ztbase::messages::files_read();
    EXPECT_EQ(message("CerDem0001N", "de", "%s"), "eins");
    EXPECT_EQ(message("CerDem0002N", "de", "%s"), "zwei");
    EXPECT_EQ(message("CerDem0003N", "de", "%s"), "x"); // missing, but the file is read
    EXPECT_EQ(message("CerDem0001N", "de", "%s"), "eins");
    EXPECT_EQ(ztbase::messages::files_read() - before, 1);
    EXPECT_EQ(getLocalMsgFmt("de", "CerOth0001V"), nullptr); // not a zentor message
    // Another locale is another file; an unload reads again.
    message("CerDem0001N", "fr");
    EXPECT_EQ(ztbase::messages::files_read() - before, 3);
    msgCacheUnload();
    message("CerDem0001N", "de");
    EXPECT_EQ(ztbase::messages::files_read() - before, 4);
}

TEST_F(MessagesTest, ThreadsLookUpWhileTheCacheIsUnloaded) {
    catalogue("de", "CerDem0001N \"eins %s\"\n");
    catalogue("ja", "CerDem0001N \"\xE4\xB8\x80 %s\"\n");
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const char *locale = (i + t) % 2 ? "de" : "ja";
                char out[64];
                qlgetmsg("CerDem0001N", locale, sizeof out, out, nullptr, 0, nullptr, "d %s", "x");
                if (std::string(out) != (*locale == 'd' ? "eins x" : "\xE4\xB8\x80 x"))
                    ++wrong;
                if (t == 0 && i % 20 == 0)
                    msgCacheUnload();
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(wrong, 0);
}

// A child forked while another thread is inside the cache (loading a large
// catalogue) looks messages up without hanging on the cache's mutex.
TEST_F(MessagesTest, AChildForkedDuringALoadLooksUpMessages) {
#if defined(__SANITIZE_ADDRESS__)
    // This sanitizer's allocator is not fork-safe: a child forked while the
    // loading thread allocates would hang in its own first allocation.
    GTEST_SKIP();
#endif
    std::string big;
    for (int i = 0; i < 20000; ++i)
        big += "CerBig" + std::to_string(10000 + i).substr(1) + "N \"Text " + std::to_string(i) +
               "\"\n";
    catalogue("de", big);
    std::atomic<bool> stop{false};
    std::thread loader([&] {
        while (!stop) {
            msgCacheUnload();
            getLocalMsgFmt("de", "CerBig0001N");
        }
    });
    int hung = 0;
    for (int i = 0; i < 40; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            // A locale without a directory: the lookup needs the cache and
            // nothing else (the C library's locale calls and the converters
            // are not safe in a child forked during their use).
            alarm(5);
            _exit(getLocalMsgFmt("xx", "CerDem0001N") == nullptr ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            ++hung;
    }
    stop = true;
    loader.join();
    EXPECT_EQ(hung, 0);
}

TEST_F(MessagesTest, UniqueMessageIdentifiers) {
    catalogue("de", "TrbErr3758130351N \"schreibgeschützt\"\nTrbErr0018N \"klein\"\n",
              "TrbMsgs.79");
    const struct {
        const char *id;
        const char *want; // null: not found
    } cases[] = {
        {"V-79-57344-33967", "schreibgeschützt"}, // E000 84AF
        {"V-79-1-2", "klein"},                    // "12" hexadecimal is 18
        {"V-80-1-2", nullptr},                    // another file
        {"V-79", nullptr},
        {"V-79-", nullptr},
        {"V-7/9-1-2", nullptr},
        {"V-..-1-2", nullptr},
        {"V-79-x-2", nullptr},
        {"V-79-18446744073709551615-1", nullptr}, // beyond 64 bits
    };
    for (const auto &c : cases) {
        const char *text = getLocalMsgFmtUMI("de", c.id);
        if (c.want == nullptr)
            EXPECT_EQ(text, nullptr) << c.id;
        else
            EXPECT_STREQ(text, c.want) << c.id;
    }
}

TEST_F(MessagesTest, ACatalogueCannotAskForOtherArguments) {
    catalogue("de", "CerFmt0001N \"%s %s\"\n"
                    "CerFmt0002N \"%d\"\n"
                    "CerFmt0003N \"%s%n\"\n"
                    "CerFmt0004N \"%2$d: %1$s\"\n"
                    "CerFmt0005N \"%2$d\"\n"
                    "CerFmt0006N \"%*s\"\n"
                    "CerFmt0007N \"%%s %.3s!\"\n"
                    "CerFmt0008N \"%s %1$s\"\n"
                    "CerFmt0009N \"nur Text\"\n"
                    "CerFmt0010N \"%2000000000s %d\"\n"
                    "CerFmt0011N \"%s %.2000000000d\"\n"
                    "CerFmt0012N \"%.8192s|%-4d|\"\n");
    const struct {
        const char *id, *want;
    } cases[] = {
        {"CerFmt0001N", "default x 7"},
        {"CerFmt0002N", "default x 7"},
        {"CerFmt0003N", "default x 7"},
        {"CerFmt0004N", "7: x"},
        {"CerFmt0005N", "default x 7"},
        {"CerFmt0006N", "default x 7"},
        {"CerFmt0007N", "%s x!"},
        {"CerFmt0008N", "default x 7"},
        {"CerFmt0009N", "nur Text"},
        // Fields so wide that formatting would stall: refused.
        {"CerFmt0010N", "default x 7"},
        {"CerFmt0011N", "default x 7"},
        {"CerFmt0012N", "x|7   |"},
    };
    for (const auto &c : cases) {
        char out[64];
        qlgetmsg(c.id, "de", sizeof out, out, nullptr, 0, nullptr, "default %s %d", "x", 7);
        EXPECT_STREQ(out, c.want) << c.id;
    }
}

TEST_F(MessagesTest, SystemErrorTextsWideOutputAndSecondMessages) {
    catalogue("de", "CerDem0001N \"Datei %s: %%s\"\nCerDem0002N \"zweite %s\"\n"
                    "CerDem0003N \"%s\xFF\"\n");
    char out[128], out2[64] = "old";
    qlgetmsg_errno("CerDem0001N", "de", sizeof out, out, nullptr, 0, nullptr, ENOENT,
                   "file %s: %%s", "/a");
    EXPECT_STREQ(out, "Datei /a: No such file or directory");
    qlgetmsg_errno("CerDem0009N", "de", sizeof out, out, nullptr, 0, nullptr, ENOENT,
                   "100%% of %s%%%s: %%s", "/a", "!");
    EXPECT_STREQ(out, "100% of /a%!: No such file or directory");

    qlgetmsg("CerDem0001N", "de", sizeof out, out, "CerDem0002N", sizeof out2, out2, "%s", "y");
    EXPECT_STREQ(out2, "zweite y");
    qlgetmsg("CerDem0009N", "de", sizeof out, out, "CerDem0002N", sizeof out2, out2, "%s", "y");
    EXPECT_STREQ(out2, ""); // the first was not found

    char16_t wide[64];
    qlgetmsgW("CerDem0002N", "de", 64, wide, nullptr, 0, nullptr, u"second %s", "z");
    EXPECT_EQ(std::u16string(wide), u"zweite z");
    qlgetmsgW("CerDem0003N", "de", 64, wide, nullptr, 0, nullptr, u"bad %s", "z"); // not UTF-8
    EXPECT_EQ(std::u16string(wide), u"bad z");
    qlgetmsg_errnoW("CerDem0001N", "de", 64, wide, nullptr, 0, nullptr, EACCES, u"f %s %%s", "q");
    EXPECT_EQ(std::u16string(wide), u"Datei q: Permission denied");
}

TEST_F(MessagesTest, StatusTextsAndDatesReadTheCatalogue) {
    catalogue("de", "NecErr0036N \"Speicher reicht nicht\"\n", "NecMsgs");
    catalogue("de", "CerCom2055N \"unbekannt\"\n"
                    "CerTmf0100N \"MM\"\nCerTmf0110N \"TT\"\nCerTmf0130N \"JJJJ\"\n");
    EXPECT_STREQ(getECmsgl(36, "de"), "Speicher reicht nicht");
    EXPECT_STREQ(getECmsgl(9999, "de"), "unbekannt");
    EXPECT_STREQ(getECmsgl(37, "de"), getECmsg(37)); // no translation: English
    EXPECT_STREQ(ECMsgL(36, "de").c_str(), "Speicher reicht nicht");
    EXPECT_STREQ(getdstring("de"), "MM/TT/JJJJ ");
}

TEST_F(MessagesTest, BadCatalogueFilesFallBackWithoutHarm) {
    const std::string nul("CerDem0001N \"with\0nul\"\n", 24);
    const std::string big_line = "CerDem0001N \"" + std::string(1 << 20, 'b') + "\"\n";
    const std::string cases[] = {nul, "CerDem0001N \"\xC3(\xFF\"", "\"\"\"\n\n\n\\", big_line,
                                 std::string(1000, '"')};
    for (const std::string &content : cases) {
        msgCacheUnload();
        catalogue("de", content);
        char out[32];
        EXPECT_EQ(qlgetmsg("CerDem0001N", "de", sizeof out, out, nullptr, 0, nullptr, "d"), 0);
        EXPECT_LT(strlen(out), sizeof out);
    }
    msgCacheUnload();
    const std::string dir = msg_dir() + "/de/zentor";
    ASSERT_EQ(unlink((dir + "/CerMsgs").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/CerMsgs").c_str(), 0600), 0); // no writer: a plain read would hang
    EXPECT_EQ(message("CerDem0001N", "de"), "default x");
    // The locale file too, for the locale names and the date texts.
    const std::string locale_path = getFennicString("LOCALE_FILE");
    ASSERT_EQ(mkfifo(locale_path.c_str(), 0600), 0);
    char common[32], note[256];
    EXPECT_EQ(real2commonlocale("de_DE.UTF-8", common, sizeof common, note, sizeof note), 0);
    EXPECT_STREQ(common, "C");
    EXPECT_STREQ(getdstring("de"), "mm/dd/yyyy ");
}

TEST_F(MessagesTest, LocaleNamesThroughTheLocaleFile) {
    char common[32], note[256];
    EXPECT_EQ(real2commonlocale("de_DE.UTF-8", common, sizeof common, note, sizeof note), 0);
    EXPECT_STREQ(common, "C");
    EXPECT_EQ(std::string(note), "**WARNING** Locale definition file <" +
                                     std::string(getFennicString("LOCALE_FILE")) +
                                     "> not found.  Using defaults");
    EXPECT_EQ(real2oraclelocale("de"), nullptr);

    locale_file("TL 2 de hh:mn:ss ^ dd.mm.yyyy ^ 11 de_DE.UTF-8 23 GERMAN_GERMANY.AL32UTF8\n"
                "TL 2 ja hh:mn:ss ^ yyyy/mm/dd ^ 11 ja_JP.UTF-8\n"
                "TM 6 german 11 de_DE.UTF-8\n");
    const struct {
        const char *real;
        int rc;
        const char *common;
    } reals[] = {{"de_DE.UTF-8", 0, "de"}, {"de_DE.utf8", 0, "de"}, {"de_DE", 0, "de"},
                 {"ja", 0, "ja"},          {"C.UTF-8", 0, "C"},     {"POSIX", 0, "C"},
                 {"fr_FR.UTF-8", -1, ""}};
    for (const auto &c : reals) {
        strcpy(common, "");
        EXPECT_EQ(real2commonlocale(c.real, common, sizeof common, note, sizeof note), c.rc)
            << c.real;
        EXPECT_STREQ(common, c.common) << c.real;
    }
    EXPECT_EQ(std::string(note), "**LOCALE ERROR** locale <fr_FR.UTF-8> not found in file <" +
                                     std::string(getFennicString("LOCALE_FILE")) + ">");
    EXPECT_STREQ(common2reallocale("C"), "C");
    EXPECT_STREQ(common2reallocale("german"), "de_DE.UTF-8"); // TM line
    EXPECT_STREQ(common2reallocale("ja"), "ja_JP.UTF-8");     // TL line
    EXPECT_STREQ(common2reallocale("klingon"), "C");
    EXPECT_STREQ(real2oraclelocale("de_DE.UTF-8"), "GERMAN_GERMANY.AL32UTF8");
    EXPECT_EQ(real2oraclelocale("ja_JP.UTF-8"), nullptr);
    EXPECT_EQ(setOracleLocaleFromReal("de"), 0);
    EXPECT_STREQ(getenv("NLS_LANG"), "GERMAN_GERMANY.AL32UTF8");
    EXPECT_EQ(setOracleLocaleFromReal("ja"), -1);
    unsetenv("NLS_LANG");

    // Setting the process locale: "C.UTF-8" is installed everywhere, the
    // runtime locale behind "de" need not be.
    char time_name[32] = "C.UTF-8", ctype_name[32] = "de", messages[32] = "";
    EXPECT_EQ(qlsetlocale(sizeof time_name, nullptr, nullptr, ctype_name, nullptr, nullptr,
                          time_name, messages),
              setlocale(LC_CTYPE, "de_DE.UTF-8") != nullptr ? 0 : -1);
    EXPECT_STREQ(time_name, "C");
    EXPECT_STREQ(messages, ""); // not asked for
    setlocale(LC_ALL, "C");

    // Answers are per thread: another thread's call leaves this one's alone.
    const char *mine = common2reallocale("ja");
    std::thread([] { EXPECT_STREQ(common2reallocale("german"), "de_DE.UTF-8"); }).join();
    EXPECT_STREQ(mine, "ja_JP.UTF-8");
}

TEST_F(MessagesTest, TheRegistryLocaleComesBeforeTheEnvironment) {
    using namespace ztbase::registry;
    locale_file("TL 2 de hh:mn:ss ^ dd.mm.yyyy ^ 11 de_DE.UTF-8 23 GERMAN_GERMANY.AL32UTF8\n"
                "TL 2 ja hh:mn:ss ^ yyyy/mm/dd ^ 11 ja_JP.UTF-8\n");
    const std::string lang = getenv("LANG") != nullptr ? getenv("LANG") : "";
    for (const char *name : {"LANG", "LC_ALL", "LC_TIME", "LC_CTYPE", "LC_MESSAGES"})
        unsetenv(name);
    char abbreviation[8], all[32], time[32];
    EXPECT_EQ(getregistrylocale(abbreviation, sizeof abbreviation), -1);
    EXPECT_EQ(qlgetlocaleEx(sizeof all, all, nullptr, nullptr, nullptr, nullptr, time, nullptr),
              -1); // neither the registry nor the environment names one
    setenv("LANG", "C.UTF-8", 1);
    EXPECT_EQ(qlgetlocaleEx(sizeof all, all, nullptr, nullptr, nullptr, nullptr, time, nullptr), 0);
    EXPECT_STREQ(all, "C");

    const char *path = "SOFTWARE\\Halvane\\Zentor\\CurrentVersion";
    Key machine, user;
    ASSERT_EQ(Key::create(Root::LocalMachine, path, machine), Status::Ok);
    ASSERT_EQ(machine.set(Value::dword("Locale", 0x0407)), Status::Ok);
    EXPECT_EQ(getregistrylocale(abbreviation, sizeof abbreviation), 0);
    EXPECT_STREQ(abbreviation, "DEU");
    EXPECT_EQ(qlgetlocaleEx(sizeof all, all, nullptr, nullptr, nullptr, nullptr, time, nullptr), 0);
    EXPECT_STREQ(all, "de");
    EXPECT_STREQ(time, "de");
    EXPECT_EQ(setOracleLocaleFromRegistry(), 0);
    EXPECT_STREQ(getenv("NLS_LANG"), "GERMAN_GERMANY.AL32UTF8");
    unsetenv("NLS_LANG");
    ASSERT_EQ(Key::create(Root::CurrentUser, path, user), Status::Ok);
    ASSERT_EQ(user.set(Value::dword("Locale", 0x0411)), Status::Ok);
    EXPECT_EQ(getregistrylocale(abbreviation, sizeof abbreviation), 0);
    EXPECT_STREQ(abbreviation, "JPN");
    ASSERT_EQ(user.set(Value::dword("Locale", 0x0418)), Status::Ok); // Romanian, asked of ICU
    EXPECT_EQ(getregistrylocale(abbreviation, sizeof abbreviation), 0);
    EXPECT_STREQ(abbreviation, "RON");
    EXPECT_EQ(getregistrylocale(abbreviation, 3), -1); // no room for the terminator
    if (!lang.empty())
        setenv("LANG", lang.c_str(), 1);
}

TEST_F(MessagesTest, CodePageSwitchAndConsoleWriter) {
    setNeedAcpToUtf8Conversion(41);
    EXPECT_EQ(needAcpToUtf8Conversion(), 1);
    setNeedAcpToUtf8Conversion(7);
    EXPECT_EQ(needAcpToUtf8Conversion(), 0);
    const std::string path = root() / "console";
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(writeCliLocalizedMessage(f, "caf\xC3\xA9", 1), 0); // written as it is
    EXPECT_EQ(writeCliLocalizedMessage(f, nullptr, 1), -1);
    EXPECT_EQ(writeCliLocalizedMessage(nullptr, "x", 1), -1);
    setNeedAcpToUtf8Conversion(40);
    EXPECT_EQ(writeCliLocalizedMessage(f, "plain", 0), 0);
    EXPECT_EQ(writeCliLocalizedMessage(f, "\xFF", 0), -1); // not UTF-8: nothing to convert
    fclose(f);
    EXPECT_EQ(zt::test::read_file(path), "caf\xC3\xA9\nplain");
}

} // namespace
