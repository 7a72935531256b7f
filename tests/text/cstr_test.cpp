#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ztbase/cstr.h"

namespace {

using Opt = std::optional<std::string>;

// Takes over a malloc'd result.
Opt take(char *p) {
    if (p == nullptr)
        return std::nullopt;
    std::string s(p);
    std::free(p);
    return s;
}

std::vector<std::string> take(cstra a) {
    std::vector<std::string> out;
    for (cstra p = a; p != nullptr && *p != nullptr; ++p)
        out.emplace_back(*p);
    cstraFREE(a);
    return out;
}

// A heap copy of exactly strlen + 1 bytes, so that a read past the NUL is caught
// by the address sanitizer.
std::unique_ptr<char[]> exact(const std::string &s) {
    auto p = std::make_unique<char[]>(s.size() + 1);
    std::memcpy(p.get(), s.c_str(), s.size() + 1);
    return p;
}

TEST(Cstr, PredicatesAndCounts) {
    EXPECT_TRUE(cstrEMPTY(nullptr));
    EXPECT_TRUE(cstrEMPTY(""));
    EXPECT_FALSE(cstrEMPTY(" "));

    EXPECT_EQ(cstrLAST(nullptr), '\0');
    EXPECT_EQ(cstrLAST(""), '\0');
    EXPECT_EQ(cstrLAST("ab/"), '/');

    EXPECT_TRUE(cstrMATCH(nullptr, ""));
    EXPECT_TRUE(cstrMATCH("", nullptr));
    EXPECT_TRUE(cstrMATCH(nullptr, nullptr));
    EXPECT_TRUE(cstrMATCH("abc", "abc"));
    EXPECT_FALSE(cstrMATCH("abc", "abC"));
    EXPECT_FALSE(cstrMATCH(nullptr, "a"));

    EXPECT_EQ(cstrCOUNTchar("a,b,,c", ','), 3);
    EXPECT_EQ(cstrCOUNTchar("abc", '\0'), 0);
    EXPECT_EQ(cstrCOUNTchar(nullptr, ','), 0);
    EXPECT_EQ(cstrCOUNTchar("\xe9t\xe9", '\xe9'), 2);

    EXPECT_EQ(cstrCOUNTchars("a, b; c", ",; "), 4);
    EXPECT_EQ(cstrCOUNTchars("abc", ""), 0);
    EXPECT_EQ(cstrCOUNTchars(nullptr, "a"), 0);
    EXPECT_EQ(cstrCOUNTchars("abc", nullptr), 0);
}

TEST(Cstr, CaseConversionInPlace) {
    char text[] = "MiXeD 12-z";
    EXPECT_EQ(cstrLOWER(text), text);
    EXPECT_STREQ(text, "mixed 12-z");
    EXPECT_EQ(cstrUPPER(text), text);
    EXPECT_STREQ(text, "MIXED 12-Z");
    EXPECT_EQ(cstrLOWER(nullptr), nullptr);
    EXPECT_EQ(cstrUPPER(nullptr), nullptr);
}

struct TrimCase {
    const char *s;
    int mode;
    const char *set;
    const char *expected; // null: null result
};

TEST(Cstr, TrimModes) {
    const TrimCase cases[] = {
        {"  a b  ", 0, " ", "a b  "},
        {"  a b  ", 1, " ", "  a b"},
        {"  a b  ", 2, " ", "ab"},
        {"  a b  ", 3, " ", "a b"},
        {"\t- a -\t", 3, "\t -", "a"},
        {"    ", 3, " ", ""},
        {"    ", 1, " ", ""},
        {"xyx", 2, "xy", ""},
        {"000", 4, "", "0"},
        {"0012", 4, "", "12"},
        {"00a", 4, "", "0a"},
        {"0", 4, "0", "0"},
        {"0.50", 4, "x", "0.50"},
        {"100", 4, "", "100"},
        {" 01", 4, "", " 01"},
        // A null set or an empty string gives a copy in every mode.
        {"  a  ", 0, nullptr, "  a  "},
        {"00", 4, nullptr, "00"},
        {"", 9, " ", ""},
        // An empty set gives a copy except in mode 4 (which does not use it).
        {"  a  ", 3, "", "  a  "},
        {"  a  ", 9, "", "  a  "},
        {"  a  ", 5, " ", nullptr},
        {"  a  ", -1, " ", nullptr},
        {nullptr, 0, " ", nullptr},
    };
    for (const TrimCase &c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << (c.s ? c.s : "(null)") << "\" mode " << c.mode
                                        << " set \"" << (c.set ? c.set : "(null)") << '"');
        EXPECT_EQ(take(cstrTRIM(c.s, c.mode, c.set)), c.expected ? Opt(c.expected) : std::nullopt);
    }
}

TEST(Cstr, TrimSuffixNeverRemovesTheWholeString) {
    const TrimCase cases[] = {
        {"path///", 1, "/", "path"},
        {"abab", 1, "ab", "ab"},
        {"ab", 1, "ab", "ab"},
        {"xababab", 1, "ab", "x"},
        {"aba", 1, "ab", "aba"},
        {"a", 1, "abc", "a"},
        {"name.bak", 0, ".bak", nullptr},
        {"name.bak", 2, ".bak", nullptr},
        {"name.bak", 2, "", "name.bak"},
        {"name.bak", 0, nullptr, "name.bak"},
        {"", 0, ".bak", ""},
        {nullptr, 1, "/", nullptr},
    };
    for (const TrimCase &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.s ? c.s : "(null)") << " mode " << c.mode);
        EXPECT_EQ(take(cstrTRIMcstr(c.s, c.mode, c.set)),
                  c.expected ? Opt(c.expected) : std::nullopt);
    }
}

TEST(Cstr, LiteralSizeStopsAtClosingQuoteOrEndOfString) {
    const struct {
        const char *s;
        size_t size;
    } cases[] = {
        {"abc", 0},          {"", 0},          {"a\"b\"", 0},  {"\"\"", 2},  {"\"\"\"", 2},
        {"\"abc\" tail", 5}, {"\"a b", 4}, // unclosed: up to the end
        {"\"", 1},                         // a lone quote
        {"\"a\\\"b\"", 4},                 // a backslash does not protect a quote
        {"\"\\x41\"z", 6},   {"\"\\XfF\"", 6}, {"\"\\x\"", 4}, {"\"\\x", 3}, // "\x" at the very end
        {"\"\\xAB", 5},      {"\"\\", 2}, // a backslash at the very end
        {"\"\\12345\"", 8},  {"\"\\0", 3},     {"\"\\9\"", 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.s);
        auto buf = exact(c.s);
        EXPECT_EQ(cstrLiteralSIZE(buf.get()), c.size);
    }
    EXPECT_EQ(cstrLiteralSIZE(nullptr), 0u);
}

struct GetCase {
    const char *s;
    int n;
    const char *delims;
    const char *expected;
};

TEST(CstrTokens, GetTakesLiteralsWhole) {
    const GetCase cases[] = {
        {"a \"b c\" d", 1, " ", "a"},
        {"a \"b c\" d", 2, " ", "\"b c\""},
        {"a \"b c\" d", 3, " ", "d"},
        {"a \"b c\" d", 0, " ", "d"},
        {"a \"b c\" d", 4, " ", nullptr},
        {"a \"b c\" d", -1, " ", nullptr},
        {"  lead,,trail ,", 2, " ,", "trail"},
        {"  lead,,trail ,", 0, " ,", "trail"},
        {"x \"unclosed y z", 2, " ", "\"unclosed y z"},
        {"x \"unclosed y z", 0, " ", "\"unclosed y z"},
        {"\"ab\"cd", 2, " ", "cd"},     // a literal ends a token
        {"ab\"c d\"", 1, " ", "ab\"c"}, // a quote inside a run is ordinary
        {"a \"\\\"b\" c", 2, " ", "\"\\\""},
        {"a b", 1, "", "a b"},
        {"a\"b c\"", 0, "\"", "b c"}, // a quote in the set is a delimiter
        {" ,, ", 0, " ,", nullptr},
        {"", 1, " ", nullptr},
        {nullptr, 1, " ", nullptr},
        {"a b", 1, nullptr, nullptr},
    };
    for (const GetCase &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.s ? c.s : "(null)") << " n " << c.n);
        auto buf = c.s ? exact(c.s) : nullptr;
        EXPECT_EQ(take(cstrTokenGET(buf.get(), c.n, c.delims)),
                  c.expected ? Opt(c.expected) : std::nullopt);
    }
}

TEST(CstrTokens, NextAdvancesJustPastEachToken) {
    const std::string text = " one \"two 2\",three \"four";
    auto buf = exact(text);
    const char *cursor = buf.get();
    std::vector<std::pair<std::string, std::string>> seen; // token, rest
    while (char *t = cstrTokenNEXT(&cursor, " ,"))
        seen.emplace_back(*take(t), cursor);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"one", " \"two 2\",three \"four"},
        {"\"two 2\"", ",three \"four"},
        {"three", " \"four"},
        {"\"four", ""},
    };
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(cursor, buf.get() + text.size());

    const char *trailing = "a  ";
    const char *c2 = trailing;
    EXPECT_EQ(take(cstrTokenNEXT(&c2, " ")), "a");
    EXPECT_EQ(cstrTokenNEXT(&c2, " "), nullptr);
    EXPECT_EQ(c2, trailing + 1) << "no token: cursor stays";

    const char *null_cursor = nullptr;
    EXPECT_EQ(cstrTokenNEXT(&null_cursor, " "), nullptr);
    EXPECT_EQ(cstrTokenNEXT(nullptr, " "), nullptr);
    EXPECT_EQ(cstrTokenNEXT(&c2, nullptr), nullptr);
}

TEST(CstrTokens, FindGivesLengthAndStart) {
    const char *text = "  k1=v \"q u\"  last";
    const struct {
        int n;
        size_t length;
        size_t offset;
    } cases[] = {{1, 2, 2}, {2, 1, 5}, {3, 5, 7}, {4, 4, 14}, {5, 0, 0}, {0, 0, 0}, {-3, 0, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.n);
        const char *cursor = text;
        EXPECT_EQ(cstrTokenFIND(&cursor, c.n, " ="), c.length);
        EXPECT_EQ(cursor - text, static_cast<ptrdiff_t>(c.offset));
    }
    const char *cursor = nullptr;
    EXPECT_EQ(cstrTokenFIND(&cursor, 1, " "), 0u);
    EXPECT_EQ(cstrTokenFIND(nullptr, 1, " "), 0u);
    cursor = text;
    EXPECT_EQ(cstrTokenFIND(&cursor, 1, nullptr), 0u);
    EXPECT_EQ(cursor, text);
}

TEST(CstrTokens, ObtainCountsEmptyFields) {
    const GetCase cases[] = {
        {"a::b", 1, ":", "a"},
        {"a::b", 2, ":", nullptr},
        {"a::b", 3, ":", "b"},
        {"a::b", 4, ":", nullptr},
        {":a", 1, ":", nullptr},
        {":a", 2, ":", "a"},
        {"a:", 2, ":", nullptr},
        {"k -- v -- w", 2, " -- ", "v"},
        {"k -- v -- w", 3, " -- ", "w"},
        {"aaab", 2, "aa", "ab"}, // separators are found left to right without overlap
        {"\"a:b\":c", 2, ":", "b\""},
        {"abc", 1, ":", "abc"},
        {"abc", 0, ":", nullptr},
        {"abc", 1, "", nullptr},
        {"abc", 1, nullptr, nullptr},
        {nullptr, 1, ":", nullptr},
    };
    for (const GetCase &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.s ? c.s : "(null)") << " n " << c.n);
        auto buf = c.s ? exact(c.s) : nullptr;
        EXPECT_EQ(take(cstrTokenOBTAIN(buf.get(), c.n, c.delims)),
                  c.expected ? Opt(c.expected) : std::nullopt);
    }
}

TEST(CstrTokens, ToCstraSplitsEveryToken) {
    using V = std::vector<std::string>;
    EXPECT_EQ(take(cstrTOcstra("a \"b c\"\td \"e", " \t")), (V{"a", "\"b c\"", "d", "\"e"}));
    cstra none = cstrTOcstra("   ", " ");
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none[0], nullptr);
    cstraFREE(none);
    EXPECT_EQ(cstrTOcstra(nullptr, " "), nullptr);
    EXPECT_EQ(cstrTOcstra("a", nullptr), nullptr);
}

TEST(Cstr, DoubleQuotes) {
    const struct {
        const char *s;
        const char *strip, *uncheck, *enclose, *check;
    } cases[] = {
        {"\"a b\"", "a b", "a b", nullptr, "\"a b\""},
        {"\"\"", "", "", nullptr, "\"\""},
        {"\"", nullptr, "\"", nullptr, "\""},
        {"\"a b", nullptr, "\"a b", nullptr, "\"a b"},
        {"a b\"", nullptr, "a b\"", "\"a b\"\"", "\"a b\"\""},
        {"a b", nullptr, "a b", "\"a b\"", "\"a b\""},
        {"ab", nullptr, "ab", nullptr, "ab"},
        {"a\tb", nullptr, "a\tb", nullptr, "a\tb"},
        {"", nullptr, "", nullptr, ""},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    auto opt = [](const char *s) { return s ? Opt(s) : std::nullopt; };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.s ? c.s : "(null)");
        EXPECT_EQ(take(cstrDQuotesSTRIP(c.s)), opt(c.strip));
        EXPECT_EQ(take(cstrDQuotesUNCHECK(c.s)), opt(c.uncheck));
        EXPECT_EQ(take(cstrDQuotesENCLOSE(c.s)), opt(c.enclose));
        EXPECT_EQ(take(cstrDQuotesCHECK(c.s)), opt(c.check));
    }
}

TEST(Cstr, StripDelimsInPlace) {
    const struct {
        const char *s;
        char c;
        const char *expected;
    } cases[] = {
        {"'abc'", '\'', "abc"}, {"''", '\'', ""}, {"'", '\'', ""},      {"'abc", '\'', "'abc"},
        {"abc'", '\'', "abc'"}, {"", '\'', ""},   {"abc", '\0', "abc"}, {"[a]", '[', "[a]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.s);
        std::string buf = c.s;
        EXPECT_EQ(stripdelims(buf.data(), c.c), buf.data());
        EXPECT_STREQ(buf.c_str(), c.expected);
    }
    EXPECT_EQ(stripdelims(nullptr, '"'), nullptr);
}

TEST(Cstr, StrchrSkipsQuotedPairs) {
    const struct {
        const char *s;
        char c, q;
        long offset; // -1: null
    } cases[] = {
        {"a,b", ',', '"', 1},       {"\"a,b\",c", ',', '"', 5}, {"\"a,b", ',', '"', 2},
        {"'x''y',z", ',', '\'', 6}, {"abc", ',', '"', -1},      {"\"a,b\"", ',', '"', -1},
        {"a,b", ',', '\0', 1},      {"abc", '\0', '"', -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.s);
        const char *hit = strchrwdelim(c.s, c.c, c.q);
        EXPECT_EQ(hit == nullptr ? -1 : hit - c.s, c.offset);
    }
    EXPECT_EQ(strchrwdelim(nullptr, ',', '"'), nullptr);
}

TEST(Cstr, StrtokKeepsQuotedSeparatorsAndContinues) {
    char text[] = ",,a,\"b,c\",,d\"e,f,";
    std::vector<std::string> tokens;
    for (char *t = strtokwdelim(text, ',', '"'); t != nullptr; t = strtokwdelim(nullptr, ',', '"'))
        tokens.emplace_back(t);
    EXPECT_EQ(tokens, (std::vector<std::string>{"a", "\"b,c\"", "d\"e", "f"}));
    EXPECT_EQ(strtokwdelim(nullptr, ',', '"'), nullptr) << "stays at the end";

    char single[] = "only";
    EXPECT_STREQ(strtokwdelim(single, ',', '"'), "only");
    EXPECT_EQ(strtokwdelim(nullptr, ',', '"'), nullptr);
    char seps[] = ",,,";
    EXPECT_EQ(strtokwdelim(seps, ',', '"'), nullptr);
}

} // namespace
