// The UTF-16 formatter: numbers must read as the narrow runtime prints them,
// strings are converted, and the result rules match V_snprintf.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "ztbase/strings.h"

namespace {

std::u16string widen(const char *s) {
    return std::u16string(s, s + strlen(s));
}

template <class... A> std::u16string wide(const char16_t *fmt, A... args) {
    char16_t buf[512];
    int n = V_snwprintf(buf, 512, fmt, args...);
    EXPECT_EQ(n, static_cast<int>(std::char_traits<char16_t>::length(buf)));
    return buf;
}

// The same format through the narrow runtime and through the wide formatter.
template <class... A> void expect_as_narrow(const char *fmt, A... args) {
    char narrow[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(narrow, sizeof narrow, fmt, args...);
#pragma GCC diagnostic pop
    std::u16string wfmt = widen(fmt);
    EXPECT_EQ(wide(wfmt.c_str(), args...), widen(narrow)) << fmt;
}

TEST(Snwprintf, NumbersReadAsTheNarrowRuntimePrintsThem) {
    for (const char *f :
         {"%d", "%i", "%5d|", "%-5d|", "%05d", "%+d", "% d", "%.3d", "%08.3d", "%+06d", "%-+6d|",
          "%x", "%#x", "%#010x", "%X", "%o", "%#o", "%#08o", "%u"}) {
        expect_as_narrow(f, 42);
        expect_as_narrow(f, -42);
        expect_as_narrow(f, 0);
    }
    expect_as_narrow("%lld %llx", -1234567890123LL, 0xFEDCBA9876543210ULL);
    expect_as_narrow("%ld %lu %zu %zd %td %jd", -5L, 5UL, size_t(7), ssize_t(-7), ptrdiff_t(-3),
                     intmax_t(-9));
    expect_as_narrow("%hhd %hhu %hd %hu", 300, 300, 70000, 70000); // truncated as in C
    expect_as_narrow("%*d|%-*d|%.*d", 6, 1, 6, 2, 4, 3);
    expect_as_narrow("%*d|", -6, 1); // a negative width left-justifies
    for (const char *f : {"%f", "%.2f", "%010.3f", "%+08.2f", "%-10.1f|", "%e", "%E", "%g", "%G",
                          "%a", "%010a", "%#.0f", "% .3e"}) {
        expect_as_narrow(f, 3.14159);
        expect_as_narrow(f, -0.5);
    }
    expect_as_narrow("%05f|%-6f|%06F", INFINITY, -INFINITY, NAN); // never zero-padded
    expect_as_narrow("%Lf %.3Le", 2.5L, 1e300L * 1e100L);
    int x = 0;
    expect_as_narrow("%p|%20p|%-20p|", static_cast<void *>(&x), static_cast<void *>(&x),
                     static_cast<void *>(nullptr));
}

TEST(Snwprintf, StringsAndCharacters) {
    EXPECT_EQ(wide(u"%s|%ls", "h\xC3\xA9llo", u"w\u00F6rld"), u"h\u00E9llo|w\u00F6rld");
    EXPECT_EQ(wide(u"%hs", "\xF0\x9F\x98\x80"), u"\U0001F600");
    EXPECT_EQ(wide(u"[%s]", "a\xFF"
                            "b\xE2\x82"
                            "c\xC0\xAF"),
              u"[a\uFFFDb\uFFFDc\uFFFD\uFFFD]");
    EXPECT_EQ(wide(u"%s %ls", static_cast<char *>(nullptr), static_cast<char16_t *>(nullptr)),
              u"(null) (null)");
    EXPECT_EQ(wide(u"[%5s][%-5ls][%.2s][%6.3ls]", "ab", u"cd", "efgh", u"ijkl"),
              u"[   ab][cd   ][ef][   ijk]");
    // Precision counts units written and never splits a pair.
    EXPECT_EQ(wide(u"[%.1s][%.1ls][%.3ls]", "\xF0\x9F\x98\x80", u"\U0001F600", u"a\U0001F600b"),
              u"[][][a\U0001F600]");
    // An array without terminator, read no further than the precision.
    const char unterminated[3] = {'x', 'y', 'z'};
    const char16_t unterminated_wide[3] = {u'x', u'y', 0xD83D};
    EXPECT_EQ(wide(u"%.3s|%.3ls", unterminated, unterminated_wide), u"xyz|xy");
    EXPECT_EQ(wide(u"%c%lc%3c|%-3c|", 'A', 0x1F600, 0xE9, 'z'), u"A\U0001F600  \u00E9|z  |");
    EXPECT_EQ(wide(u"100%% %c", -1), u"100% \uFFFD");
}

TEST(Snwprintf, UnsupportedConversionStopsReadingArguments) {
    EXPECT_EQ(wide(u"a=%d %q %s", 1, "never read"), u"a=1 %q %s");
    EXPECT_EQ(wide(u"%d%n", 1, static_cast<int *>(nullptr)), u"1%n");
    EXPECT_EQ(wide(u"end %"), u"end %");
    EXPECT_EQ(wide(u"%99999999999d", 1), u"%99999999999d");
}

TEST(Snwprintf, ResultRulesMatchTheNarrowForm) {
    char16_t buf[8];
    std::fill(std::begin(buf), std::end(buf), u'X');
    EXPECT_EQ(V_snwprintf(buf, 4, u"%ls", u"abcdef"), 3);
    EXPECT_EQ(std::u16string(buf, 5), std::u16string(u"abc\0X", 5));
    EXPECT_EQ(V_snwprintf(buf, 4, u"%d", 123), 3);
    EXPECT_EQ(std::u16string(buf), u"123");
    // A field far wider than the buffer is cut, not built.
    EXPECT_EQ(V_snwprintf(buf, 8, u"%2000000000d", 1), 7);
    EXPECT_EQ(std::u16string(buf), u"       ");
    EXPECT_EQ(V_snwprintf(nullptr, 4, u"x"), -1);
    EXPECT_EQ(V_snwprintf(buf, 0, u"x"), -1);
    EXPECT_EQ(V_snwprintf(buf, 4, nullptr), -1);
    EXPECT_EQ(buf[0], 0);
}

TEST(CatSnwprintf, AppendsOrRefusesAnUnterminatedBuffer) {
    char16_t buf[8] = u"ab";
    EXPECT_EQ(V_cat_snwprintf(buf, 8, u"%d%s", 42, "x"), 3);
    EXPECT_EQ(std::u16string(buf), u"ab42x");
    EXPECT_EQ(V_cat_snwprintf(buf, 8, u"%s", "yz"), 2);
    EXPECT_EQ(V_cat_snwprintf(buf, 8, u"%s", "w"), 0);
    EXPECT_EQ(std::u16string(buf), u"ab42xyz");
    char16_t full[3] = {u'a', u'b', u'c'};
    EXPECT_EQ(V_cat_snwprintf(full, 3, u"%s", "d"), -1);
    EXPECT_EQ(std::u16string(full, 3), u"abc");
}

} // namespace

namespace {

// "ab", a pair for U+1F600, "c": a bound of 4 units falls between the halves.
const char16_t kPair[] = u"ab\U0001F600c";

bool converts(const char16_t *w) {
    char *u = V_StrDupWideToUTF8(w);
    free(u);
    return u != nullptr;
}

TEST(WideCuts, NoCopyOrFormatKeepsHalfAPair) {
    const struct {
        const char *what;
        std::function<size_t(char16_t *)> run;
        size_t returned;
        std::u16string text;
    } cases[] = {
        {"wcslcpy", [](char16_t *d) { return V_wcslcpy(d, kPair, 4); }, 2, u"ab"},
        {"wcslcpy whole pair", [](char16_t *d) { return V_wcslcpy(d, kPair, 5); }, 4,
         u"ab\U0001F600"},
        {"wcslcat",
         [](char16_t *d) {
             d[0] = u'x';
             d[1] = 0;
             return V_wcslcat(d, kPair, 5);
         },
         2, u"xab"},
        {"wcslncpy n", [](char16_t *d) { return V_wcslncpy(d, kPair, 3, 10); }, 3, u"ab"},
        {"wcslncpy size", [](char16_t *d) { return V_wcslncpy(d, kPair, 9, 4); }, 3, u"ab"},
        {"wcslncat",
         [](char16_t *d) {
             d[0] = 0;
             return V_wcslncat(d, kPair, 3, 10);
         },
         2, u"ab"},
        {"wstrXncpy",
         [](char16_t *d) {
             d[3] = 0;
             return V_wstrXncpy(d, kPair, 10, 3);
         },
         3, u"ab"},
        {"snwprintf",
         [](char16_t *d) { return static_cast<size_t>(V_snwprintf(d, 4, u"%ls", kPair)); }, 3,
         u"ab"},
        {"cat_snwprintf",
         [](char16_t *d) {
             d[0] = u'x';
             d[1] = 0;
             return static_cast<size_t>(V_cat_snwprintf(d, 5, u"%ls", kPair));
         },
         3, u"xab"},
    };
    for (const auto &c : cases) {
        char16_t out[16];
        std::fill(std::begin(out), std::end(out), u'#');
        EXPECT_EQ(c.run(out), c.returned) << c.what;
        EXPECT_EQ(std::u16string(out), c.text) << c.what;
        EXPECT_TRUE(converts(out)) << c.what;
    }
}

} // namespace
