// DataBuffer and the Serializable wire forms: byte for byte, round trips, and
// every short buffer refused without a byte written or read past the end.
#include <ztbase/databuffer.h>

#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<unsigned char>;
using Writer = std::function<void(char *&, size_t &)>;

Bytes write_with(const Writer &w, size_t room = 64) {
    std::vector<char> buf(room, '\x55');
    char *p = buf.data();
    size_t avail = room;
    w(p, avail);
    EXPECT_EQ(static_cast<size_t>(p - buf.data()), room - avail);
    return Bytes(buf.begin(), buf.begin() + (p - buf.data()));
}

std::string expect_invalid(const std::function<void()> &fn) {
    try {
        fn();
    } catch (const std::invalid_argument &e) {
        return e.what();
    }
    ADD_FAILURE() << "no invalid_argument";
    return {};
}

struct WireCase {
    const char *name;
    Writer write;
    Bytes bytes;
};

const std::vector<WireCase> &wire_cases() {
    static const std::vector<WireCase> cases = {
        {"short", [](char *&p, size_t &a) { Serializable::marshallShort(-2, p, a); }, {0xff, 0xfe}},
        {"long", [](char *&p, size_t &a) { Serializable::marshallLong(0x01020304, p, a); },
         {1, 2, 3, 4}},
        {"long long",
         [](char *&p, size_t &a) { Serializable::marshallLongLong(0x0000000100000002LL, p, a); },
         {0, 0, 0, 1, 0, 0, 0, 2}},
        {"long long Jobd",
         [](char *&p, size_t &a) {
             Serializable::marshallLongLongJobd(0x0000000100000002LL, p, a);
         },
         {0, 0, 0, 2, 0, 0, 0, 1}},
        {"padded string", [](char *&p, size_t &a) { Serializable::marshall("hello", p, a); },
         {0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0}},
        {"padded empty string", [](char *&p, size_t &a) { Serializable::marshall("", p, a); },
         {0, 0, 0, 0}},
        {"padded aligned string", [](char *&p, size_t &a) { Serializable::marshall("abcd", p, a); },
         {0, 0, 0, 4, 'a', 'b', 'c', 'd'}},
        {"string with length",
         [](char *&p, size_t &a) { Serializable::marshallWithLength("hello", p, a); },
         {0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o'}},
        {"string without length",
         [](char *&p, size_t &a) { Serializable::marshallNoLength("hi", p, a); },
         {'h', 'i'}},
        {"vector of strings",
         [](char *&p, size_t &a) {
             Serializable::marshall(std::vector<std::string>{"a", "bcd", "efghi"}, p, a);
         },
         {0, 0, 0, 3, 0, 0, 0, 1, 'a', 0, 0, 0, 0, 0, 0, 3, 'b', 'c', 'd', 0,
          0, 0, 0, 5, 'e', 'f', 'g', 'h', 'i', 0, 0, 0}},
        {"vector of integers",
         [](char *&p, size_t &a) {
             Serializable::marshall(std::vector<int32_t>{1, -1}, p, a);
         },
         {0, 0, 0, 2, 0, 0, 0, 1, 0xff, 0xff, 0xff, 0xff}},
    };
    return cases;
}

TEST(Serializable, WritesEachFormByteForByte) {
    for (const auto &c : wire_cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(write_with(c.write), c.bytes);
    }
}

// Every room shorter than the form is refused with nothing written and the
// pointer and count unchanged.
TEST(Serializable, ShortRoomWritesNothing) {
    for (const auto &c : wire_cases()) {
        SCOPED_TRACE(c.name);
        for (size_t room = 0; room < c.bytes.size(); ++room) {
            std::vector<char> buf(c.bytes.size(), '\x55');
            char *p = buf.data();
            size_t avail = room;
            EXPECT_EQ(expect_invalid([&] { c.write(p, avail); }), "dataAvail too small");
            EXPECT_EQ(p, buf.data());
            EXPECT_EQ(avail, room);
            EXPECT_EQ(buf, std::vector<char>(c.bytes.size(), '\x55')) << "room " << room;
        }
    }
}

TEST(Serializable, EveryFormRoundTrips) {
    const std::vector<int64_t> numbers = {0, 1, -1, INT16_MIN, INT16_MAX, INT32_MIN, INT32_MAX,
                                          INT64_MIN, INT64_MAX, 0x0102030405060708LL};
    const std::vector<std::string> texts = {"", "a", "ab", "abc", "abcd", "abcde",
                                            std::string("\0x\0", 3), std::string(1000, 'z')};
    std::vector<char> buf(8192);
    for (int64_t n : numbers) {
        char *w = buf.data();
        size_t wa = buf.size();
        Serializable::marshallShort(static_cast<int16_t>(n), w, wa);
        Serializable::marshallLong(static_cast<int32_t>(n), w, wa);
        Serializable::marshallLongLong(n, w, wa);
        Serializable::marshallLongLongJobd(n, w, wa);
        const char *r = buf.data();
        size_t ra = buf.size() - wa;
        EXPECT_EQ(Serializable::unmarshallShort(r, ra), static_cast<int16_t>(n));
        EXPECT_EQ(Serializable::unmarshallLongNoConsume(r, ra), static_cast<int32_t>(n));
        EXPECT_EQ(Serializable::unmarshallLong(r, ra), static_cast<int32_t>(n));
        EXPECT_EQ(Serializable::unmarshallLongLong(r, ra), n);
        EXPECT_EQ(Serializable::unmarshallLongLongJobd(r, ra), n);
        EXPECT_EQ(ra, 0u);
    }
    for (const auto &t : texts) {
        SCOPED_TRACE(t.size());
        char *w = buf.data();
        size_t wa = buf.size();
        Serializable::marshall(t, w, wa);
        Serializable::marshallWithLength(t, w, wa);
        Serializable::marshallNoLength(t, w, wa);
        EXPECT_EQ(buf.size() - wa, 4 + t.size() + Serializable::getNeededPad(t.size(), 4) + 4 +
                                       2 * t.size());
        char *r = buf.data(); // the writable-pointer overloads
        size_t ra = buf.size() - wa;
        std::string a, b, c;
        Serializable::unmarshall(a, r, ra);
        Serializable::unmarshallWithLength(b, r, ra);
        Serializable::unmarshallNoLength(c, t.size(), r, ra);
        EXPECT_EQ(a, t);
        EXPECT_EQ(b, t);
        EXPECT_EQ(c, t);
        EXPECT_EQ(ra, 0u);
        EXPECT_EQ(r, w);
    }
    char *w = buf.data();
    size_t wa = buf.size();
    std::vector<int32_t> ints = {0, 7, INT32_MIN, INT32_MAX};
    Serializable::marshall(texts, w, wa);
    Serializable::marshall(ints, w, wa);
    Serializable::marshall(std::vector<std::string>{}, w, wa);
    const char *r = buf.data();
    size_t ra = buf.size() - wa;
    std::vector<std::string> texts_back{"stale"};
    std::vector<int32_t> ints_back{99};
    std::vector<std::string> none{"stale"};
    Serializable::unmarshall(texts_back, r, ra);
    Serializable::unmarshall(ints_back, r, ra);
    Serializable::unmarshall(none, r, ra);
    EXPECT_EQ(texts_back, texts);
    EXPECT_EQ(ints_back, ints);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(ra, 0u);
}

// Readers on every truncation of each form, and on lengths and counts that
// promise more than the bytes hold: refused, nothing consumed, the output kept.
TEST(Serializable, ReadersRefuseShortAndLyingInput) {
    using Reader = std::function<void(const char *&, size_t &)>;
    std::string s_out = "kept";
    std::vector<std::string> sv_out{"kept"};
    std::vector<int32_t> iv_out{42};
    struct ReadCase {
        const char *name;
        Bytes bytes;
        Reader read;
    };
    const std::vector<ReadCase> cases = {
        {"short", {0, 1}, [](const char *&p, size_t &a) { Serializable::unmarshallShort(p, a); }},
        {"long", {0, 0, 0, 1}, [](const char *&p, size_t &a) { Serializable::unmarshallLong(p, a); }},
        {"long long", Bytes(8, 1),
         [](const char *&p, size_t &a) { Serializable::unmarshallLongLong(p, a); }},
        {"padded string", {0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0},
         [&](const char *&p, size_t &a) { Serializable::unmarshall(s_out, p, a); }},
        {"string with length", {0, 0, 0, 2, 'h', 'i'},
         [&](const char *&p, size_t &a) { Serializable::unmarshallWithLength(s_out, p, a); }},
        {"string without length", {'h', 'i', '!'},
         [&](const char *&p, size_t &a) { Serializable::unmarshallNoLength(s_out, 3, p, a); }},
        {"vector of strings", {0, 0, 0, 2, 0, 0, 0, 1, 'a', 0, 0, 0, 0, 0, 0, 0},
         [&](const char *&p, size_t &a) { Serializable::unmarshall(sv_out, p, a); }},
        {"vector of integers", {0, 0, 0, 1, 0, 0, 0, 9},
         [&](const char *&p, size_t &a) { Serializable::unmarshall(iv_out, p, a); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t len = 0; len < c.bytes.size(); ++len) {
            // A heap block of exactly len bytes: a read past it is caught by the
            // address sanitizer.
            std::unique_ptr<char[]> block(new char[len]);
            std::memcpy(block.get(), c.bytes.data(), len);
            const char *p = block.get();
            size_t avail = len;
            EXPECT_EQ(expect_invalid([&] { c.read(p, avail); }), "dataAvail too small");
            EXPECT_EQ(p, block.get());
            EXPECT_EQ(avail, len);
        }
        const char *p = reinterpret_cast<const char *>(c.bytes.data());
        size_t avail = c.bytes.size();
        c.read(p, avail);
        EXPECT_EQ(avail, 0u);
    }
    EXPECT_EQ(s_out, "hi!");

    const std::vector<std::pair<const char *, Bytes>> lies = {
        {"negative length", {0xff, 0xff, 0xff, 0xff, 'a', 'b', 'c', 'd'}},
        {"huge length", {0x7f, 0xff, 0xff, 0xfc, 'a', 'b', 'c', 'd'}},
        {"length one past", {0, 0, 0, 5, 'a', 'b', 'c', 'd'}},
        {"padding missing", {0, 0, 0, 5, 'a', 'b', 'c', 'd', 'e'}},
    };
    for (const auto &[name, bytes] : lies) {
        SCOPED_TRACE(name);
        s_out = "kept";
        const char *p = reinterpret_cast<const char *>(bytes.data());
        size_t avail = bytes.size();
        EXPECT_EQ(expect_invalid([&] { Serializable::unmarshall(s_out, p, avail); }),
                  "dataAvail too small");
        EXPECT_EQ(avail, bytes.size());
        EXPECT_EQ(s_out, "kept");
    }
    // Counts promising more items than the bytes can hold, and a bad item late in the list.
    const std::vector<std::pair<const char *, Bytes>> counts = {
        {"huge count", {0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0}},
        {"count of 3, 2 present", {0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"second item too long", {0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 9, 'x', 0, 0, 0}},
    };
    for (const auto &[name, bytes] : counts) {
        SCOPED_TRACE(name);
        sv_out = {"kept"};
        const char *p = reinterpret_cast<const char *>(bytes.data());
        size_t avail = bytes.size();
        expect_invalid([&] { Serializable::unmarshall(sv_out, p, avail); });
        EXPECT_EQ(p, reinterpret_cast<const char *>(bytes.data()));
        EXPECT_EQ(sv_out, std::vector<std::string>{"kept"});
        if (std::string(name) != "second item too long") {
            iv_out = {42};
            expect_invalid([&] { Serializable::unmarshall(iv_out, p, avail); });
            EXPECT_EQ(iv_out, std::vector<int32_t>{42});
        }
    }
    EXPECT_EQ(expect_invalid([] { Serializable::unmarshallLongNoConsume("abc", 3); }), "no length");
}

TEST(Serializable, PaddingHelpers) {
    const struct {
        size_t length, alignment, pad;
    } cases[] = {{0, 4, 0}, {1, 4, 3}, {3, 4, 1}, {4, 4, 0}, {5, 4, 3}, {5, 8, 3}, {7, 1, 0}, {7, 0, 0}};
    for (const auto &c : cases)
        EXPECT_EQ(Serializable::getNeededPad(c.length, c.alignment), c.pad)
            << c.length << " " << c.alignment;
    std::string t = "hello";
    Serializable::padd(t, 4);
    EXPECT_EQ(t, std::string("hello\0\0\0", 8));
}

TEST(DataBuffer, AppendGrowsByTheFactorAndKeepsTheBytes) {
    DataBuffer b(16);
    std::string data(100, 'x');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i);
    b.appendData(data.data(), data.size());
    EXPECT_EQ(b.getBufferSize(), 102u); // 16, 25, 40, 64, 102
    EXPECT_EQ(b.getStartOffset(), 0u);
    EXPECT_EQ(b.getEndOffset(), 100u);
    EXPECT_EQ(std::string(b.getStartDataPtr(), b.getDataAvail()), data);
}

TEST(DataBuffer, OffsetsAndCompaction) {
    DataBuffer b(10);
    b.appendData("abcdefgh", 8);
    b.bumpStartOffset(3);
    EXPECT_EQ(std::string(b.getStartDataPtr(), b.getDataAvail()), "defgh");
    b.maybeCompact(); // 3/10 is below 0.8
    EXPECT_EQ(b.getStartOffset(), 3u);
    b.setCompactionFactor(0.2f);
    b.maybeCompact();
    EXPECT_EQ(b.getStartOffset(), 0u);
    EXPECT_EQ(std::string(b.getStartDataPtr(), b.getDataAvail()), "defgh");
    b.bumpEndOffset(100); // stops at the size
    EXPECT_EQ(b.getEndOffset(), 10u);
    b.bumpStartOffset(1000); // past the end: empty, both offsets 0
    EXPECT_EQ(b.getStartOffset(), 0u);
    EXPECT_EQ(b.getEndOffset(), 0u);
    EXPECT_TRUE(b.empty());

    DataBuffer c(10);
    c.appendData("abcdef", 6);
    c.bumpStartOffset(8); // more than the unread bytes, less than the size
    EXPECT_EQ(c.getDataAvail(), 0u);
    EXPECT_TRUE(c.empty());
    c.resize(4); // smaller: nothing happens
    EXPECT_EQ(c.getBufferSize(), 10u);
}

TEST(DataBuffer, FactorsThatCannotGrowStillMakeRoom) {
    for (float factor : {1.0f, 0.5f, 0.0f}) {
        DataBuffer b(4);
        b.setGrowthFactor(factor);
        b.appendData("0123456789", 10);
        EXPECT_EQ(std::string(b.getStartDataPtr(), b.getDataAvail()), "0123456789") << factor;
    }
    DataBuffer zero(0);
    zero.appendData("ab", 2);
    EXPECT_EQ(std::string(zero.getStartDataPtr(), 2), "ab");
    DataBuffer huge(8);
    huge.appendData("x", 1);
    volatile uint64_t too_much = UINT64_MAX; // not a constant the compiler could check
    EXPECT_THROW(huge.appendData("y", too_much), std::bad_alloc);
    EXPECT_EQ(std::string(huge.getStartDataPtr(), huge.getDataAvail()), "x");
}

TEST(DataBuffer, CopiesOwnTheirStorage) {
    DataBuffer a(8);
    a.appendData("abc", 3);
    a.bumpStartOffset(1);
    DataBuffer b(a);
    DataBuffer c(1);
    c = a;
    EXPECT_NE(b.getDataPtr(), a.getDataPtr());
    EXPECT_NE(c.getDataPtr(), a.getDataPtr());
    a.getStartDataPtr()[0] = 'X';
    for (DataBuffer *copy : {&b, &c}) {
        EXPECT_EQ(std::string(copy->getStartDataPtr(), copy->getDataAvail()), "bc");
        EXPECT_EQ(copy->getStartOffset(), 1u);
    }
    DataBuffer moved(std::move(b));
    EXPECT_EQ(std::string(moved.getStartDataPtr(), moved.getDataAvail()), "bc");
    EXPECT_EQ(b.getBufferSize(), 0u);
    b.appendData("again", 5); // a moved-from buffer grows again
    EXPECT_EQ(std::string(b.getStartDataPtr(), b.getDataAvail()), "again");
}

// Random appends, reads, bumps, compactions and growth against a plain string model.
TEST(DataBuffer, MatchesAModelUnderRandomOperations) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        DataBuffer b(rng() % 8);
        std::string model;
        auto check = [&] {
            ASSERT_LE(b.getStartOffset(), b.getEndOffset());
            ASSERT_LE(b.getEndOffset(), b.getBufferSize());
            if (b.getStartOffset() == b.getEndOffset()) {
                ASSERT_EQ(b.getEndOffset(), 0u);
            }
            ASSERT_EQ(b.getDataAvail(), model.size());
            ASSERT_EQ(std::string(b.getStartDataPtr(), b.getDataAvail()), model);
            ASSERT_EQ(b.empty(), model.empty());
        };
        for (int step = 0; step < 2000; ++step) {
            switch (rng() % 7) {
            case 0:
            case 1: {
                std::string more(rng() % 40, '\0');
                for (char &ch : more)
                    ch = static_cast<char>(rng());
                b.appendData(more.data(), more.size());
                model += more;
                break;
            }
            case 2: {
                size_t n = rng() % 50;
                b.bumpStartOffset(n);
                model.erase(0, std::min(n, model.size()));
                break;
            }
            case 3: b.compact(); break;
            case 4: b.maybeCompact(); break;
            case 5:
                if (b.getBufferSize() < 4096)
                    b.grow();
                break;
            case 6: {
                // Write straight into the free room, then bump the end.
                size_t n = std::min<uint64_t>(rng() % 10, b.getDataFree());
                for (size_t i = 0; i < n; ++i)
                    b.getEndDataPtr()[i] = static_cast<char>('a' + i);
                b.bumpEndOffset(n);
                for (size_t i = 0; i < n; ++i)
                    model += static_cast<char>('a' + i);
                break;
            }
            }
            if (step % 97 == 0)
                b.setGrowthFactor(0.5f + static_cast<float>(rng() % 30) / 10.0f);
            check();
            if (HasFatalFailure())
                return;
        }
    }
}

TEST(DefaultValueAndEnv, KindsAndConversions) {
    DefaultValue i(DefaultValue::INT_VAL, 7), l(DefaultValue::LONG_VAL, 8L),
        u(DefaultValue::UNSIGNED_VAL, 9u), t(DefaultValue::BOOL_VAL, true);
    EXPECT_EQ(i.getI(), 7);
    EXPECT_EQ(l.getL(), 8);
    EXPECT_EQ(u.getU(), 9u);
    EXPECT_TRUE(t.getB());
    EXPECT_EQ(l.getI(), -1);
    EXPECT_EQ(i.getL(), -1);
    EXPECT_EQ(i.getU(), 0u);
    EXPECT_FALSE(i.getB());

    Env &env = Env::Instance();
    EXPECT_EQ(&env, &Env::Instance());
    EXPECT_STRNE(env.lc_ctype(), "");
    EXPECT_STRNE(env.lc_langinfo(), "");
    EXPECT_EQ(env.convertLocaleToUTF8("plain", static_cast<size_t>(-1)), "plain");
    EXPECT_EQ(env.convertUTF8ToLocale("plain", 3), "pla");
    char *mine = env.bufc();
    char *other = nullptr;
    std::thread([&] { other = Env::Instance().bufc(); }).join();
    EXPECT_NE(mine, other);
    EXPECT_GE(env.buf_size(), 256u);
}

} // namespace
