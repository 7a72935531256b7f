// Conversions between UTF-8, the locale's character set and UTF-16.
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ztbase/strings.h"

namespace {

using namespace std::string_literals;

// The calling thread's locale for the character set, restored on exit.
class ThreadCharset {
  public:
    explicit ThreadCharset(const char *name)
        : locale_(newlocale(LC_CTYPE_MASK, name, nullptr)), previous_(uselocale(locale_)) {}
    ~ThreadCharset() {
        uselocale(previous_);
        freelocale(locale_);
    }
    ThreadCharset(const ThreadCharset &) = delete;
    ThreadCharset &operator=(const ThreadCharset &) = delete;

  private:
    locale_t locale_;
    locale_t previous_;
};

std::u16string take(char16_t *w) {
    std::unique_ptr<char16_t, decltype(&free)> owned(w, free);
    return w == nullptr ? u"<null>" : std::u16string(w);
}
std::string take(char *s) {
    std::unique_ptr<char, decltype(&free)> owned(s, free);
    return s == nullptr ? "<null>" : std::string(s);
}

TEST(StrDupUtf8, RoundTripsAndRefusesInvalidText) {
    struct Case {
        const char *utf8;
        std::u16string wide;
    } cases[] = {
        {"", u""},
        {"plain", u"plain"},
        {"\xC3\xA9\xE2\x82\xAC", u"\u00E9\u20AC"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(take(V_StrDupUTF8ToWide(c.utf8)), c.wide) << c.utf8;
        EXPECT_EQ(take(V_StrDupWideToUTF8(c.wide.c_str())), c.utf8) << c.utf8;
    }
    for (const char *bad : {"a\xFF", "\xC0\xAF", "\xE2\x82", "\x80", "\xED\xA0\x80"})
        EXPECT_EQ(V_StrDupUTF8ToWide(bad), nullptr) << bad;
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(V_StrDupWideToUTF8(lone), nullptr);
    EXPECT_EQ(V_StrDupUTF8ToWide(nullptr), nullptr);
    EXPECT_EQ(V_StrDupWideToUTF8(nullptr), nullptr);
}

TEST(StrDupAcp, FollowsTheLocaleCharset) {
    {
        ThreadCharset ascii("C");
        EXPECT_EQ(take(V_StrDupACPToWide("abc")), u"abc");
        EXPECT_EQ(take(V_StrDupACPToWide("a\xC3\xA9")), u"a\uFFFD\uFFFD");
        EXPECT_EQ(take(V_StrDupWideToACP(u"a\u00E9")), "a?");
    }
    {
        ThreadCharset utf8("C.UTF-8");
        EXPECT_EQ(take(V_StrDupACPToWide("a\xC3\xA9")), u"a\u00E9");
        EXPECT_EQ(take(V_StrDupWideToACP(u"a\u00E9")), "a\xC3\xA9");
    }
    EXPECT_EQ(V_StrDupACPToWide(nullptr), nullptr);
    EXPECT_EQ(take(V_StrDupWideToACP(nullptr)), ""); // failure still gives a string
}

TEST(UnicodeToUtf, ThreeBytesAtMostAndAllOrNothing) {
    struct Case {
        std::u16string in;
        std::string out;
    } cases[] = {
        {u"A", "A"},
        {u"\u00E9", "\xC3\xA9"},
        {u"\u07FF\u0800", "\xDF\xBF\xE0\xA0\x80"},
        {u"\U0001F600", "\xED\xA0\xBD\xED\xB8\x80"}, // each surrogate on its own
    };
    for (const Case &c : cases) {
        char out[16];
        EXPECT_EQ(V_UnicodeToUTF(out, c.in.c_str(), c.out.size() + 1), 0);
        EXPECT_EQ(std::string(out), c.out);
        memset(out, 'X', sizeof out);
        EXPECT_EQ(V_UnicodeToUTF(out, c.in.c_str(), c.out.size()), 1);
        EXPECT_EQ(out[0], 0);
    }
    char out[4] = "abc";
    EXPECT_EQ(V_UnicodeToUTF(out, nullptr, sizeof out), 1);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(V_UnicodeToUTF(nullptr, u"a", 4), 1);
    EXPECT_EQ(V_UnicodeToUTF(out, u"a", 0), 1);
}

TEST(UtfToUnicode, DecodesOrFallsBackToTheLocaleCharset) {
    ThreadCharset ascii("C");
    struct Case {
        const char *in;
        int result;
        std::u16string out;
    } cases[] = {
        {"", 0, u""},
        {"A\xC3\xA9\xE2\x82\xAC", 0, u"A\u00E9\u20AC"},
        {"\xED\xA0\xBD\xED\xB8\x80", 0, u"\U0001F600"}, // as V_UnicodeToUTF writes it
        // Not such UTF-8: converted from the (ASCII) charset instead.
        {"\xF0\x9F\x98\x80", 1, u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"a\xFF", 1, u"a\uFFFD"},
        {"\xE2\x82", 1, u"\uFFFD\uFFFD"},
        {"\xC0\xAF", 1, u"\uFFFD\uFFFD"}, // an overlong '/' stays no '/'
        {"\xE0\x80\xAF", 1, u"\uFFFD\uFFFD\uFFFD"},
    };
    for (const Case &c : cases) {
        char16_t out[16];
        EXPECT_EQ(V_UTFToUnicode(out, c.in, 16), c.result) << c.in;
        EXPECT_EQ(std::u16string(out), c.out) << c.in;
    }
    char16_t out[4] = u"abc";
    EXPECT_EQ(V_UTFToUnicode(out, "abcd", 4), 1); // no room for the terminator
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(V_UTFToUnicode(out, "\xF0\x9F\x98\x80", 4), 1); // fallback that does not fit
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(V_UTFToUnicode(out, nullptr, 4), 1);
    EXPECT_EQ(V_UTFToUnicode(nullptr, "a", 4), 1);

    ThreadCharset utf8("C.UTF-8");
    EXPECT_EQ(V_UTFToUnicode(out, "\xF0\x9F\x98\x80", 4), 1);
    EXPECT_EQ(std::u16string(out), u"\U0001F600");
}

TEST(DumbRealloc, KeepsTheContentOrReleases) {
    void *p = malloc(4);
    memcpy(p, "abc", 4);
    void *grown = V_dumb_realloc(&p, 4096);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(p, grown);
    EXPECT_STREQ(static_cast<char *>(p), "abc");
    EXPECT_EQ(V_dumb_realloc(&p, 0), nullptr); // released once, by realloc
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(V_dumb_realloc(nullptr, 8), nullptr);
}

} // namespace
