// Password masking in texts and command lines.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ztbase/strings.h"

namespace {

TEST(HidePasswordInString, MasksListedTokens) {
    struct Case {
        const char *in, *delims;
        std::vector<int> positions;
        size_t size;
        const char *expected;
    } cases[] = {
        {"user secret host", " ", {1}, 64, "user ****** host"},
        {"a b c", " ", {0, 2}, 64, "****** b ******"},
        {"a *NULL* c", " ", {1}, 64, "a *NULL* c"},
        {"a,,b,", ",", {5}, 64, "a,b"},     // runs of delimiters collapse
        {"a b", " ,", {}, 64, "a ,b"},      // joined by the whole delimiter string
        {"   ", " ", {0}, 64, "   "},       // no token: copied unchanged
        {"a b", " ", {1}, 4, "a *"},        // a full output is cut
        {"ab", nullptr, {0}, 64, "******"}, // no delimiters: one token
    };
    for (const Case &c : cases) {
        std::vector<char> out(c.size, 'X');
        const char *r =
            V_HidePasswordInString(out.data(), c.size, c.in, c.delims, c.positions.data(),
                                   static_cast<int>(c.positions.size()));
        ASSERT_EQ(r, out.data()) << c.in;
        EXPECT_STREQ(r, c.expected) << c.in;
    }
}

TEST(HidePasswordInString, RefusesWhatItCannotMask) {
    char out[8] = "keep";
    int pos = 0;
    EXPECT_EQ(V_HidePasswordInString(nullptr, 8, "a", " ", &pos, 1), nullptr);
    EXPECT_EQ(V_HidePasswordInString(out, 0, "a", " ", &pos, 1), nullptr);
    EXPECT_EQ(V_HidePasswordInString(out, 8, nullptr, " ", &pos, 1), nullptr);
    EXPECT_EQ(V_HidePasswordInString(out, 8, "", " ", &pos, 1), nullptr);
    EXPECT_EQ(V_HidePasswordInString(out, 3, "a b c", " ", &pos, 1), nullptr);
    EXPECT_STREQ(out, "keep");
    EXPECT_NE(V_HidePasswordInString(out, 5, "a b c", " ", nullptr, 3), nullptr);
    EXPECT_STREQ(out, "a b ");
}

TEST(HidePasswordInCmdLine, MasksTheTokenAfterAKeyword) {
    const char *keywords[] = {"-password", "-pw", nullptr};
    struct Case {
        const char *in;
        const char *expected;
    } cases[] = {
        {"cmd -user bob -password secret", "cmd -user bob -password ******"},
        {"cmd  -pw  x -password y z", "cmd -pw ****** -password ****** z"},
        {"cmd -password", "cmd -password "}, // the keyword last
        {"-password -password x", "-password ****** x"},
        {"cmd -Password x", "cmd -Password x"},
        {"", ""},
        {"   ", ""},
    };
    for (const Case &c : cases) {
        char out[64];
        const char *r = V_HidePasswordInCmdLine(out, sizeof out, c.in, " ", keywords, 3);
        ASSERT_EQ(r, out) << c.in;
        EXPECT_STREQ(r, c.expected) << c.in;
    }
    char out[64];
    EXPECT_EQ(V_HidePasswordInCmdLine(nullptr, 8, "a", " ", keywords, 2), nullptr);
    EXPECT_EQ(V_HidePasswordInCmdLine(out, 0, "a", " ", keywords, 2), nullptr);
    EXPECT_EQ(V_HidePasswordInCmdLine(out, 8, nullptr, " ", keywords, 2), nullptr);
    EXPECT_EQ(V_HidePasswordInCmdLine(out, 2, "a b c", " ", keywords, 2), nullptr);
    EXPECT_STREQ(V_HidePasswordInCmdLine(out, sizeof out, "a -pw b", " ", nullptr, 2), "a -pw b");
}

} // namespace

namespace {

TEST(HidePasswordInCmdLine, QuotedValuesAreMaskedWhole) {
    const char *keywords[] = {"-password", "-pw"};
    struct Case {
        const char *in;
        const char *expected;
    } cases[] = {
        {"cmd -password \"my secret\" -x", "cmd -password ****** -x"},
        {"cmd -pw 'a b  c' -x 'not masked'", "cmd -pw ****** -x 'not masked'"},
        {"cmd -password \"unclosed secret -x", "cmd -password ******"},
        {"cmd -password \"a b\"tail -x", "cmd -password ****** -x"},
        {"cmd -password \"\" -x", "cmd -password ****** -x"},
        {"cmd \"-password\" x", "cmd \"-password\" x"}, // a quoted keyword is no keyword
        {"cmd x\"y z\" -pw s", "cmd x\"y z\" -pw ******"},
    };
    for (const Case &c : cases) {
        char out[64];
        EXPECT_STREQ(V_HidePasswordInCmdLine(out, sizeof out, c.in, " ", keywords, 2), c.expected)
            << c.in;
    }
}

TEST(HidePassword, InPlace) {
    const char *keywords[] = {"-password"};
    char line[64] = "cmd -password secret -x";
    EXPECT_STREQ(V_HidePasswordInCmdLine(line, sizeof line, line, " ", keywords, 1),
                 "cmd -password ****** -x");
    char text[64] = "user secret host";
    const int pos = 1;
    EXPECT_STREQ(V_HidePasswordInString(text, sizeof text, text, " ", &pos, 1), "user ****** host");
    char blanks[8] = "   ";
    EXPECT_STREQ(V_HidePasswordInString(blanks, sizeof blanks, blanks, " ", &pos, 1), "   ");
}

} // namespace
