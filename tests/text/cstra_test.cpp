#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ztbase/cstr.h"

namespace {

using V = std::vector<std::string>;

cstra make(std::initializer_list<const char *> items) {
    auto a = static_cast<cstra>(std::calloc(items.size() + 1, sizeof(char *)));
    size_t i = 0;
    for (const char *s : items)
        a[i++] = strdup(s);
    return a;
}

V items(cstra a) {
    V out;
    for (cstra p = a; p != nullptr && *p != nullptr; ++p)
        out.emplace_back(*p);
    return out;
}

std::string take(char *p) {
    std::string s = p != nullptr ? p : "(null)";
    std::free(p);
    return s;
}

TEST(Cstra, CountDupAndFree) {
    EXPECT_EQ(cstraCOUNT(nullptr), 0);
    cstra a = make({"x", "", "y"});
    EXPECT_EQ(cstraCOUNT(a), 3);

    cstra copy = cstraDUP(a);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(items(copy), items(a));
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(copy[i], a[i]) << "deep copy";
    EXPECT_EQ(cstraDUP(nullptr), nullptr);

    cstraItemsFREE(copy);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(copy[i], nullptr);
    EXPECT_EQ(cstraCOUNT(copy), 0);
    std::free(copy);

    cstra empty = make({});
    EXPECT_EQ(cstraCOUNT(empty), 0);
    cstra empty_copy = cstraDUP(empty);
    ASSERT_NE(empty_copy, nullptr);
    EXPECT_EQ(empty_copy[0], nullptr);
    cstraFREE(empty_copy);
    cstraFREE(empty);
    cstraFREE(a);
    cstraFREE(nullptr);
    cstraItemsFREE(nullptr);
}

TEST(Cstra, AppendTakesOverTheSecondArray) {
    cstra a = make({"a1", "a2"});
    cstra b = make({"b1"});
    char *b1 = b[0];
    a = cstraAPPEND(a, b);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(items(a), (V{"a1", "a2", "b1"}));
    EXPECT_EQ(a[2], b1) << "strings are moved, not copied";

    a = cstraAPPEND(a, make({}));
    EXPECT_EQ(items(a), (V{"a1", "a2", "b1"}));
    EXPECT_EQ(cstraAPPEND(a, nullptr), a);

    cstra c = make({"c"});
    EXPECT_EQ(cstraAPPEND(nullptr, c), c);
    cstraFREE(cstraAPPEND(make({}), c));
    EXPECT_EQ(cstraAPPEND(nullptr, nullptr), nullptr);
    cstraFREE(a);
}

TEST(Cstra, JoinToString) {
    cstra a = make({"usr", "", "bin"});
    EXPECT_EQ(take(cstraTOcstr(a, "/")), "usr//bin");
    EXPECT_EQ(take(cstraTOcstr(a, nullptr)), "usrbin");
    EXPECT_EQ(take(cstraTOcstr(a, ", ")), "usr, , bin");
    cstraFREE(a);

    cstra blanks = make({"", ""});
    EXPECT_EQ(take(cstraTOcstr(blanks, "")), "(null)") << "empty text";
    EXPECT_EQ(take(cstraTOcstr(blanks, "+")), "+");
    cstraFREE(blanks);

    cstra empty = make({});
    EXPECT_EQ(cstraTOcstr(empty, ","), nullptr);
    cstraFREE(empty);
    EXPECT_EQ(cstraTOcstr(nullptr, ","), nullptr);
}

TEST(Cstra, MatchFromEitherEnd) {
    cstra a = make({"a", "", "b", "a"});
    EXPECT_EQ(cstraMATCH(a, "a"), 0);
    EXPECT_EQ(cstraRMATCH(a, "a"), 3);
    EXPECT_EQ(cstraMATCH(a, "b"), 2);
    EXPECT_EQ(cstraRMATCH(a, "b"), 2);
    EXPECT_EQ(cstraMATCH(a, nullptr), 1) << "null matches the empty string";
    EXPECT_EQ(cstraMATCH(a, "c"), -1);
    EXPECT_EQ(cstraRMATCH(a, "c"), -1);
    EXPECT_EQ(cstraMATCH(nullptr, "a"), -1);
    EXPECT_EQ(cstraRMATCH(nullptr, "a"), -1);
    cstraFREE(a);
}

TEST(Cstra, DiffKeepsOrderAndDuplicates) {
    cstra a = make({"x", "y", "x", "z"});
    cstra b = make({"y", "w"});
    cstra d = cstraDIFF(a, b);
    EXPECT_EQ(items(d), (V{"x", "x", "z"}));
    EXPECT_NE(d[0], a[0]) << "copies";
    cstraFREE(d);

    d = cstraDIFF(a, nullptr);
    EXPECT_EQ(items(d), items(a));
    cstraFREE(d);

    EXPECT_EQ(cstraDIFF(a, a), nullptr) << "none left";
    EXPECT_EQ(cstraDIFF(nullptr, b), nullptr);
    cstraFREE(a);
    cstraFREE(b);
}

} // namespace
