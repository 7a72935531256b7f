// Bounded copy and concatenation in both widths, and the narrow formatters.
#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "ztbase/strings.h"

namespace {

using namespace std::string_literals;

template <class C> std::basic_string<C> widen(const std::string &s) {
    return std::basic_string<C>(s.begin(), s.end());
}

// Both widths share one set of rules; each case runs on both.
template <class C> struct Ops;
template <> struct Ops<char> {
    static constexpr auto lcpy = V_strlcpy;
    static constexpr auto lcat = V_strlcat;
    static constexpr auto lncpy = V_strlncpy;
    static constexpr auto lncat = V_strlncat;
    static constexpr auto xncpy = V_strXncpy;
    static constexpr auto verify = V_strverify;
};
template <> struct Ops<char16_t> {
    static constexpr auto lcpy = V_wcslcpy;
    static constexpr auto lcat = V_wcslcat;
    static constexpr auto lncpy = V_wcslncpy;
    static constexpr auto lncat = V_wcslncat;
    static constexpr auto xncpy = V_wstrXncpy;
    static constexpr auto verify = V_wstrverify;
};

// A destination of 12 places pre-filled with 'X', so that every write
// beyond the expected bytes shows.
template <class C> class BoundedCopy : public ::testing::Test {
  protected:
    using Op = Ops<C>;
    BoundedCopy() { buf.fill(C('X')); }
    void set(const std::string &s) { std::copy(s.begin(), s.end(), buf.begin()); }
    // The whole buffer must read `expected` followed by untouched 'X's.
    void expect(const std::string &expected) {
        std::string all = expected + std::string(buf.size() - expected.size(), 'X');
        EXPECT_EQ(std::basic_string<C>(buf.begin(), buf.end()), widen<C>(all));
    }
    std::basic_string<C> s(const std::string &text) { return widen<C>(text); }
    std::array<C, 12> buf;
};

using Widths = ::testing::Types<char, char16_t>;
TYPED_TEST_SUITE(BoundedCopy, Widths);

TYPED_TEST(BoundedCopy, CopyReturnsWhatItWrote) {
    using Op = typename TestFixture::Op;
    EXPECT_EQ(Op::lcpy(this->buf.data(), this->s("abcdef").c_str(), 4), 3u);
    this->expect("abc\0"s);
    EXPECT_EQ(Op::lcpy(this->buf.data(), this->s("ab").c_str(), 4), 2u);
    this->expect("ab\0\0"s);
    EXPECT_EQ(Op::lcpy(this->buf.data(), this->s("").c_str(), 1), 0u);
    this->expect("\0b\0\0"s);

    this->buf.fill('X');
    EXPECT_EQ(Op::lcpy(this->buf.data(), this->s("ab").c_str(), 0), 0u);
    EXPECT_EQ(Op::lcpy(this->buf.data(), nullptr, 4), 0u);
    EXPECT_EQ(Op::lcpy(nullptr, this->s("ab").c_str(), 4), 0u);
    this->expect("");
}

TYPED_TEST(BoundedCopy, CatNeedsTwoPlacesAndATerminator) {
    using Op = typename TestFixture::Op;
    this->set("abc\0"s);
    EXPECT_EQ(Op::lcat(this->buf.data(), this->s("d").c_str(), 4), 0u); // one place left
    this->expect("abc\0"s);
    EXPECT_EQ(Op::lcat(this->buf.data(), this->s("xyz").c_str(), 6), 2u);
    this->expect("abcxy\0"s);
    this->set("abcd"); // no NUL within 4
    EXPECT_EQ(Op::lcat(this->buf.data(), this->s("e").c_str(), 4), 0u);
    this->expect("abcdy\0"s);
}

TYPED_TEST(BoundedCopy, NCopyPadsAndTerminatesAtN) {
    using Op = typename TestFixture::Op;
    EXPECT_EQ(Op::lncpy(this->buf.data(), this->s("ab").c_str(), 5, 10), 5u);
    this->expect("ab\0\0\0\0"s);
    this->buf.fill('X');
    EXPECT_EQ(Op::lncpy(this->buf.data(), this->s("abcdef").c_str(), 10, 4), 3u);
    this->expect("abc\0"s);
    this->buf.fill('X');
    EXPECT_EQ(Op::lncpy(this->buf.data(), this->s("abcdef").c_str(), 4, 4), 3u);
    this->expect("abc\0"s);
    this->buf.fill('X');
    EXPECT_EQ(Op::lncpy(this->buf.data(), this->s("abcdef").c_str(), 2, 10), 2u);
    this->expect("ab\0"s);
    EXPECT_EQ(Op::lncpy(this->buf.data(), this->s("ab").c_str(), 2, 0), 0u);
}

TYPED_TEST(BoundedCopy, NCatAppendsAtMostN) {
    using Op = typename TestFixture::Op;
    this->set("ab\0"s);
    EXPECT_EQ(Op::lncat(this->buf.data(), this->s("cdef").c_str(), 2, 10), 2u);
    this->expect("abcd\0"s);
    EXPECT_EQ(Op::lncat(this->buf.data(), this->s("efgh").c_str(), 100, 7), 2u);
    this->expect("abcdef\0"s);
    EXPECT_EQ(Op::lncat(this->buf.data(), this->s("g").c_str(), 0, 10), 0u);
    this->expect("abcdef\0"s);
    // An unterminated destination is not read past its size, in either width.
    this->buf.fill('X');
    EXPECT_EQ(Op::lncat(this->buf.data(), this->s("g").c_str(), 1, 6), 0u);
    this->expect("");
}

TYPED_TEST(BoundedCopy, XNCopyWritesExactlyTheCount) {
    using Op = typename TestFixture::Op;
    EXPECT_EQ(Op::xncpy(this->buf.data(), this->s("ab").c_str(), 5, 4), 4u);
    this->expect("ab\0\0"s);
    this->buf.fill('X');
    EXPECT_EQ(Op::xncpy(this->buf.data(), this->s("abcdef").c_str(), 3, 10), 3u);
    this->expect("abc"); // no terminator
    EXPECT_EQ(Op::xncpy(this->buf.data(), nullptr, 3, 10), 0u);
    EXPECT_EQ(Op::xncpy(this->buf.data(), this->s("a").c_str(), 0, 10), 0u);
}

TYPED_TEST(BoundedCopy, VerifyFindsTheTerminatorWithinN) {
    using Op = typename TestFixture::Op;
    this->set("ab\0"s);
    size_t len = 99;
    EXPECT_EQ(Op::verify(this->buf.data(), 3, &len), 0);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(Op::verify(this->buf.data(), 2, &len), -1);
    EXPECT_EQ(len, 0u);
    len = 99;
    EXPECT_EQ(Op::verify(this->buf.data(), 0, &len), -1);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(Op::verify(nullptr, 3, &len), -1);
    EXPECT_EQ(Op::verify(this->buf.data(), 3, nullptr), 0);
}

TEST(Strnlen, StopsAtMax) {
    EXPECT_EQ(V_strnlen("abcdef", 3), 3u);
    EXPECT_EQ(V_strnlen("ab", 3), 2u);
    EXPECT_EQ(V_strnlen(nullptr, 3), 0u);
}

TEST(Snprintf, CutsAndReportsSizeMinusOne) {
    char buf[8];
    memset(buf, 'X', sizeof buf);
    EXPECT_EQ(V_snprintf(buf, 4, "%s", "abcdef"), 3);
    EXPECT_EQ(std::string(buf, 5), "abc\0X"s);
    EXPECT_EQ(V_snprintf(buf, 4, "%d", 123), 3); // exact fit
    EXPECT_STREQ(buf, "123");
    EXPECT_EQ(V_snprintf(buf, 1, "%d", 5), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(V_snprintf(nullptr, 4, "x"), -1);
    EXPECT_EQ(V_snprintf(buf, 0, "x"), -1);
    const char *no_format = nullptr;
    EXPECT_EQ(V_snprintf(buf, 4, no_format, 0), -1);
    EXPECT_STREQ(buf, "");
}

TEST(CatSnprintf, AppendsIntoTheSpaceLeft) {
    char buf[8] = "ab";
    EXPECT_EQ(V_cat_snprintf(buf, sizeof buf, "%d-%s", 42, "x"), 4);
    EXPECT_STREQ(buf, "ab42-x");
    EXPECT_EQ(V_cat_snprintf(buf, sizeof buf, "%s", "yz"), 1); // cut
    EXPECT_STREQ(buf, "ab42-xy");
    EXPECT_EQ(V_cat_snprintf(buf, sizeof buf, "%s", "z"), 0); // full
    EXPECT_STREQ(buf, "ab42-xy");

    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(V_cat_snprintf(full, sizeof full, "%s", "e"), -1);
    EXPECT_EQ(std::string(full, 4), "abcd");
    EXPECT_EQ(V_cat_snprintf(nullptr, 4, "%s", "e"), -1);
}

TEST(SnprintfUtf8, SetsAsideAnIncompleteTrailingCharacter) {
    struct Case {
        const char *format;
        size_t size;
        const char *expected;
        int result;
    } cases[] = {
        {"v=%d \xC3", 16, "v=7 \xC3", 5},         {"v=%d \xE2\x82", 16, "v=7 \xE2\x82", 6},
        {"v=%d \xE2\x82", 6, "v=7 \xE2", 5},      // appended while room remains
        {"v=%d \xE2\x82", 4, "v=7", 3},           // cut: nothing appended
        {"v=%d \xC3\xA9", 16, "v=7 \xC3\xA9", 6}, // complete: formatted as usual
        {"v=%d \xA9", 16, "v=7 \xA9", 5},         // a stray continuation byte is no lead
    };
    for (const Case &c : cases) {
        char buf[16];
        EXPECT_EQ(V_snprintfUtf8(buf, c.size, c.format, 7), c.result) << c.format;
        EXPECT_STREQ(buf, c.expected) << c.format;
    }
}

TEST(Syserror, SystemTextOrUnknown) {
    char buf[64];
    EXPECT_EQ(V_syserror(ENOENT, buf, sizeof buf), buf);
    EXPECT_STREQ(buf, strerror(ENOENT));
    V_syserror(987654, buf, sizeof buf);
    EXPECT_STREQ(buf, "Unknown error");
    V_syserror(ENOENT, buf, 4);
    EXPECT_STREQ(buf, "No ");
    EXPECT_EQ(V_syserror(ENOENT, nullptr, 10), nullptr);
}

} // namespace
