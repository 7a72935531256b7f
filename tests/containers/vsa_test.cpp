#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ztbase/vsa.h"

namespace {

// Frees a detached string array. Once the string toolkit is in, cstraFREE
// takes this loop's place and shows that a detached array is a valid cstra.
void free_strings(cstra a) {
    for (char **p = a; p != nullptr && *p != nullptr; ++p)
        free(*p);
    free(a);
}

int64_t raw_slot(const vsa *v, int i) {
    int64_t slot;
    memcpy(&slot, static_cast<const char *>(v->array) + i * sizeof slot, sizeof slot);
    return slot;
}

// Slots past the count are zero; a terminated array always has one of them.
void expect_tail_zero(const vsa *v, bool terminated) {
    ASSERT_NE(v, nullptr);
    if (terminated) {
        EXPECT_GT(v->capacity, v->count) << "no room for the terminating null";
    }
    for (int i = v->count; i < v->capacity; ++i)
        EXPECT_EQ(raw_slot(v, i), 0) << "slot " << i << " of " << v->capacity;
}

TEST(CstrVsa, AppendsKeepTheTerminatorThroughGrowth) {
    cstrvsa *v = cstrvsaNEW(0, 4);
    ASSERT_NE(v, nullptr);
    const char *words[] = {"one", "two", "three", "four", "five"};
    for (const char *w : words) {
        char **slot = cstrvsaAPPEND(v, strdup(w));
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot, cstrvsaVSARRAY(v) + cstrvsaCOUNT(v) - 1);
        EXPECT_EQ(cstrvsaVSARRAY(v)[cstrvsaCOUNT(v)], nullptr);
        expect_tail_zero(v, true);
        if (cstrvsaCOUNT(v) == 3) {
            EXPECT_EQ(cstrvsaSIZE(v), 4) << "three strings and the null fit the first block";
        }
    }
    EXPECT_EQ(cstrvsaSIZE(v), 8);
    cstra a = cstrvsaDETACH(v);
    int n = 0;
    for (; a[n] != nullptr; ++n)
        EXPECT_STREQ(a[n], words[n]);
    EXPECT_EQ(n, 5);
    free_strings(a);
}

struct NewCase {
    char flavour; // 's' strings, 'p' pointers, 'i' integers
    int initial, step;
    bool made;
    int capacity, count, stored_step;
};

vsa *make(char flavour, int initial, int step) {
    switch (flavour) {
    case 's':
        return cstrvsaNEW(initial, step);
    case 'p':
        return vpvsaNEW(initial, step);
    default:
        return intvsaNEW(initial, step);
    }
}

TEST(Vsa, NewSizesTheFirstBlockByFlavour) {
    const NewCase cases[] = {
        {'s', 0, 4, true, 4, 0, 4},    {'s', 3, 4, true, 4, 3, 4},    {'s', -2, 4, true, 4, 0, 4},
        {'s', 0, 0, false, 0, 0, 0},   {'s', -1, 0, false, 0, 0, 0},  {'s', 2, 0, true, 3, 2, 0},
        {'s', 0, -1, true, 16, 0, 16}, {'s', 5, -3, true, 6, 5, 16},  {'p', 0, 4, true, 4, 0, 4},
        {'p', 3, 0, true, 4, 3, 0},    {'i', 0, 4, true, 4, 0, 4},    {'i', 3, 4, true, 3, 3, 4},
        {'i', 0, 0, false, 0, 0, 0},   {'i', 0, -5, true, 16, 0, 16}, {'i', 3, 0, true, 3, 3, 0},
    };
    for (const NewCase &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.flavour << "NEW(" << c.initial << ", " << c.step << ")");
        vsa *v = make(c.flavour, c.initial, c.step);
        ASSERT_EQ(v != nullptr, c.made);
        if (v == nullptr)
            continue;
        EXPECT_EQ(v->capacity, c.capacity);
        EXPECT_EQ(v->count, c.count);
        EXPECT_EQ(v->step, c.stored_step);
        for (int i = 0; i < v->count; ++i)
            EXPECT_EQ(raw_slot(v, i), 0) << "new element " << i;
        expect_tail_zero(v, c.flavour != 'i');
        free(v->array);
        free(v);
    }
}

TEST(Vsa, StepZeroNeverGrows) {
    cstrvsa *s = cstrvsaNEW(2, 0);
    EXPECT_EQ(cstrvsaAPPEND(s, nullptr), nullptr) << "two elements and the null fill it";
    EXPECT_EQ(cstrvsaCOUNT(s), 2);
    cstrvsaFREE(s);

    intvsa *i = intvsaNEW(2, 0);
    EXPECT_EQ(intvsaAPPEND(i, 7), nullptr);
    EXPECT_EQ(intvsaREMOVE(i, 0, 1), 1);
    EXPECT_NE(intvsaAPPEND(i, 7), nullptr) << "room freed by a removal is reused";
    EXPECT_EQ(intvsaSIZE(i), 2);
    intvsaFREE(i);

    auto *arr = static_cast<char **>(calloc(2, sizeof(char *)));
    arr[0] = strdup("x");
    cstrvsa *a = cstrvsaATTACH(arr, 0);
    EXPECT_EQ(cstrvsaINSERT(a, nullptr, 0), nullptr);
    EXPECT_STREQ(cstrvsaOBJECT(a, 0), "x");
    cstrvsaFREEALL(a);
}

// The three flavours through one script of edits, checked against a vector.
struct Strings {
    using T = char *;
    static constexpr bool terminated = true;
    static T value(int k) {
        static const char *const words[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"};
        return const_cast<char *>(words[k % 10]);
    }
    static vsa *make(int initial, int step) { return cstrvsaNEW(initial, step); }
    static T *insert(vsa *v, T x, int i) { return cstrvsaINSERT(v, x, i); }
    static T *append(vsa *v, T x) { return cstrvsaAPPEND(v, x); }
    static T *set(vsa *v, T x, int i) { return cstrvsaSET(v, x, i); }
    static T *pointer(vsa *v, int i) { return cstrvsaPOINTER(v, i); }
    static T object(vsa *v, int i) { return cstrvsaOBJECT(v, i); }
    static int remove(vsa *v, int i, int n) { return cstrvsaREMOVE(v, i, n); }
    static T *array(vsa *v) { return cstrvsaVSARRAY(v); }
    static void destroy(vsa *v) { cstrvsaFREE(v); }
};

struct Pointers {
    using T = void *;
    static constexpr bool terminated = true;
    static T value(int k) { return reinterpret_cast<void *>(uintptr_t{0x1000} + k); }
    static vsa *make(int initial, int step) { return vpvsaNEW(initial, step); }
    static T *insert(vsa *v, T x, int i) { return vpvsaINSERT(v, x, i); }
    static T *append(vsa *v, T x) { return vpvsaAPPEND(v, x); }
    static T *set(vsa *v, T x, int i) { return vpvsaSET(v, x, i); }
    static T *pointer(vsa *v, int i) { return vpvsaPOINTER(v, i); }
    static T object(vsa *v, int i) { return vpvsaOBJECT(v, i); }
    static int remove(vsa *v, int i, int n) { return vpvsaREMOVE(v, i, n); }
    static T *array(vsa *v) { return vpvsaVSARRAY(v); }
    static void destroy(vsa *v) { vpvsaFREE(v); }
};

struct Integers {
    using T = int64_t;
    static constexpr bool terminated = false;
    static T value(int k) { return -1000 - k; }
    static vsa *make(int initial, int step) { return intvsaNEW(initial, step); }
    static T *insert(vsa *v, T x, int i) { return intvsaINSERT(v, x, i); }
    static T *append(vsa *v, T x) { return intvsaAPPEND(v, x); }
    static T *set(vsa *v, T x, int i) { return intvsaSET(v, x, i); }
    static T *pointer(vsa *v, int i) { return intvsaPOINTER(v, i); }
    static T object(vsa *v, int i) { return intvsaOBJECT(v, i); }
    static int remove(vsa *v, int i, int n) { return intvsaREMOVE(v, i, n); }
    static T *array(vsa *v) { return intvsaVSARRAY(v); }
    static void destroy(vsa *v) { intvsaFREE(v); }
};

template <typename F> class VsaFlavour : public testing::Test {};
using Flavours = testing::Types<Strings, Pointers, Integers>;
TYPED_TEST_SUITE(VsaFlavour, Flavours);

TYPED_TEST(VsaFlavour, EditsMatchAVectorAndKeepSpareSlotsZero) {
    using F = TypeParam;
    using T = typename F::T;
    vsa *v = F::make(0, 3);
    ASSERT_NE(v, nullptr);
    std::vector<T> model;
    int serial = 0;
    auto check = [&](const char *what) {
        SCOPED_TRACE(what);
        ASSERT_EQ(v->count, static_cast<int>(model.size()));
        for (int i = 0; i < v->count; ++i) {
            EXPECT_EQ(F::object(v, i), model[i]) << "element " << i;
            EXPECT_EQ(F::pointer(v, i), F::array(v) + i);
        }
        expect_tail_zero(v, F::terminated);
    };
    auto insert = [&](int i) {
        const T x = F::value(serial++);
        T *slot = F::insert(v, x, i);
        ASSERT_NE(slot, nullptr) << "insert at " << i;
        EXPECT_EQ(slot, F::array(v) + i);
        model.insert(model.begin() + i, x);
    };

    for (int k = 0; k < 7; ++k) {
        ASSERT_NE(F::append(v, F::value(serial)), nullptr);
        model.push_back(F::value(serial++));
    }
    check("appends across two growths");
    insert(0);
    insert(4);
    insert(static_cast<int>(model.size()));
    check("inserts at the front, the middle and the end");

    const int n = static_cast<int>(model.size());
    EXPECT_EQ(F::insert(v, F::value(0), -1), nullptr);
    EXPECT_EQ(F::insert(v, F::value(0), n + 1), nullptr);
    EXPECT_EQ(F::set(v, F::value(0), n), nullptr);
    EXPECT_EQ(F::pointer(v, -1), nullptr);
    EXPECT_EQ(F::object(v, n), T{});
    EXPECT_EQ(F::remove(v, n, 1), 0);
    EXPECT_EQ(F::remove(v, -1, 1), 0);
    EXPECT_EQ(F::remove(v, 0, 0), 0);
    check("out-of-range edits change nothing");

    const T x = F::value(serial++);
    EXPECT_EQ(F::set(v, x, 2), F::array(v) + 2);
    model[2] = x;
    EXPECT_EQ(F::remove(v, 3, 2), 2);
    model.erase(model.begin() + 3, model.begin() + 5);
    check("a set and a removal from the middle");

    const int from = static_cast<int>(model.size()) - 2;
    EXPECT_EQ(F::remove(v, from, 100), 2) << "only the elements that exist";
    model.resize(from);
    check("a removal past the end");

    EXPECT_EQ(F::remove(v, 0, v->count), static_cast<int>(model.size()));
    model.clear();
    check("everything removed");
    insert(0);
    check("reused after emptying");
    F::destroy(v);
}

cstrvsa *strings(std::initializer_list<const char *> words, std::vector<char *> *made = nullptr) {
    cstrvsa *v = cstrvsaNEW(0, 2);
    for (const char *w : words) {
        char *s = w != nullptr ? strdup(w) : nullptr;
        cstrvsaAPPEND(v, s);
        if (made != nullptr)
            made->push_back(s);
    }
    return v;
}

std::vector<std::string> contents(cstrvsa *v) {
    std::vector<std::string> out;
    for (int i = 0; i < cstrvsaCOUNT(v); ++i) {
        const char *s = cstrvsaOBJECT(v, i);
        out.push_back(s != nullptr ? s : "(null)");
    }
    return out;
}

using Words = std::vector<std::string>;

TEST(CstrVsa, RemoveLeavesStringsToTheCallerAndRemoveAllFreesThem) {
    std::vector<char *> made;
    cstrvsa *v = strings({"a", "b", "c", "d", "e"}, &made);
    EXPECT_EQ(cstrvsaREMOVE(v, 1, 100), 4);
    EXPECT_EQ(contents(v), Words{"a"});
    expect_tail_zero(v, true);
    for (size_t i = 1; i < made.size(); ++i)
        free(made[i]); // still ours: a double free here would mean REMOVE freed them

    cstrvsaAPPEND(v, strdup("f"));
    cstrvsaAPPEND(v, strdup("g"));
    EXPECT_EQ(cstrvsaREMOVEALL(v, 1, 1), 1);
    EXPECT_EQ(contents(v), (Words{"a", "g"}));
    EXPECT_EQ(cstrvsaREMOVEALL(v, 0, 5), 2);
    EXPECT_EQ(cstrvsaCOUNT(v), 0);
    cstrvsaFREE(v);
}

TEST(CstrVsa, FreeAllFreesStringsAfterANullElement) {
    // Under the leak checker a string after the null would show as a leak.
    cstrvsa *v = strings({"a", nullptr, "c"});
    cstrvsaFREEALL(v);
}

TEST(CstrVsa, MatchAndUnique) {
    std::vector<char *> made;
    cstrvsa *v = strings({"a", "b", "a", "c", "b"}, &made);
    EXPECT_EQ(cstrvsaMATCH(v, "b"), 1);
    EXPECT_EQ(cstrvsaMATCH(v, "x"), -1);
    EXPECT_EQ(cstrvsaMATCH(v, nullptr), -1);
    EXPECT_EQ(cstrvsaUNIQUE(v, 0), 3);
    EXPECT_EQ(contents(v), (Words{"a", "b", "c"}));
    expect_tail_zero(v, true);
    EXPECT_EQ(cstrvsaVSARRAY(v)[0], made[0]) << "the first occurrence is kept";
    free(made[2]); // removed without freeing: still the caller's
    free(made[4]);
    cstrvsaFREEALL(v);

    v = strings({"x", nullptr, "x", nullptr, "y", "x"});
    EXPECT_EQ(cstrvsaMATCH(v, nullptr), 1);
    EXPECT_EQ(cstrvsaUNIQUE(v, 1), 3);
    EXPECT_EQ(contents(v), (Words{"x", "(null)", "y"}));
    cstrvsaFREEALL(v);
}

TEST(Vsa, AttachAndDetach) {
    auto *arr = static_cast<char **>(calloc(3, sizeof(char *)));
    arr[0] = strdup("x");
    arr[1] = strdup("y");
    cstrvsa *s = cstrvsaATTACH(arr, 2);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cstrvsaCOUNT(s), 2);
    EXPECT_EQ(cstrvsaSIZE(s), 3);
    EXPECT_EQ(cstrvsaVSARRAY(s), arr);
    ASSERT_NE(cstrvsaAPPEND(s, strdup("z")), nullptr);
    EXPECT_EQ(cstrvsaSIZE(s), 5);
    expect_tail_zero(s, true);
    cstra back = cstrvsaDETACH(s);
    EXPECT_STREQ(back[2], "z");
    EXPECT_EQ(back[3], nullptr);
    free_strings(back);

    auto *ptrs = static_cast<void **>(calloc(1, sizeof(void *)));
    vpvsa *p = vpvsaATTACH(ptrs, -1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(vpvsaCOUNT(p), 0);
    EXPECT_EQ(p->step, 16);
    vpvsaAPPEND(p, &arr);
    void **pa = vpvsaDETACH(p);
    EXPECT_EQ(pa[0], static_cast<void *>(&arr));
    EXPECT_EQ(pa[1], nullptr);
    free(pa);

    EXPECT_EQ(cstrvsaATTACH(nullptr, 4), nullptr);
    EXPECT_EQ(vpvsaATTACH(nullptr, 4), nullptr);
    auto *nums = static_cast<int64_t *>(malloc(sizeof(int64_t)));
    EXPECT_EQ(intvsaATTACH(nullptr, 0, 4), nullptr);
    EXPECT_EQ(intvsaATTACH(nums, -1, 4), nullptr);
    intvsa *i = intvsaATTACH(nums, 0, 2);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(intvsaSIZE(i), 0);
    ASSERT_NE(intvsaAPPEND(i, 9), nullptr);
    EXPECT_EQ(intvsaSIZE(i), 2);
    expect_tail_zero(i, false);
    int64_t *ia = intvsaDETACH(i);
    EXPECT_EQ(ia[0], 9);
    free(ia);
}

TEST(IntVsa, FindMaxAndDup) {
    intvsa *v = intvsaNEW(0, 3);
    EXPECT_EQ(intvsaFIND(v, 0), -1) << "empty";
    EXPECT_EQ(intvsaMAX(v), -1);
    for (int64_t x : {int64_t{5}, int64_t{-1}, int64_t{4294967295}, int64_t{-7}})
        intvsaAPPEND(v, x);
    EXPECT_EQ(intvsaFIND(v, -1), 1) << "-1 is not 0xFFFFFFFF";
    EXPECT_EQ(intvsaFIND(v, 4294967295), 2);
    EXPECT_EQ(intvsaFIND(v, 42), -1);
    EXPECT_EQ(intvsaMAX(v), 4294967295);

    intvsa *copy = intvsaDUP(v);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->array, v->array);
    EXPECT_EQ(intvsaCOUNT(copy), 4);
    EXPECT_EQ(intvsaSIZE(copy), intvsaSIZE(v));
    EXPECT_EQ(copy->step, 3);
    EXPECT_EQ(memcmp(copy->array, v->array, 4 * sizeof(int64_t)), 0);
    expect_tail_zero(copy, false);
    intvsaSET(copy, 100, 0);
    EXPECT_EQ(intvsaOBJECT(v, 0), 5) << "the copy is independent";
    intvsaFREE(copy);

    intvsaREMOVE(v, 0, 4);
    intvsaAPPEND(v, -9);
    intvsaAPPEND(v, -3);
    EXPECT_EQ(intvsaMAX(v), -3);
    intvsaFREE(v);
}

TEST(Vsa, NullRecordIsHarmless) {
    EXPECT_EQ(cstrvsaDETACH(nullptr), nullptr);
    cstrvsaFREE(nullptr);
    cstrvsaFREEALL(nullptr);
    EXPECT_EQ(cstrvsaCOUNT(nullptr), 0);
    EXPECT_EQ(cstrvsaSIZE(nullptr), 0);
    EXPECT_EQ(cstrvsaVSARRAY(nullptr), nullptr);
    EXPECT_EQ(cstrvsaPOINTER(nullptr, 0), nullptr);
    EXPECT_EQ(cstrvsaOBJECT(nullptr, 0), nullptr);
    EXPECT_EQ(cstrvsaSET(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(cstrvsaINSERT(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(cstrvsaAPPEND(nullptr, nullptr), nullptr);
    EXPECT_EQ(cstrvsaREMOVE(nullptr, 0, 1), 0);
    EXPECT_EQ(cstrvsaREMOVEALL(nullptr, 0, 1), 0);
    EXPECT_EQ(cstrvsaMATCH(nullptr, "a"), -1);
    EXPECT_EQ(cstrvsaUNIQUE(nullptr, 1), 0);

    EXPECT_EQ(vpvsaDETACH(nullptr), nullptr);
    vpvsaFREE(nullptr);
    EXPECT_EQ(vpvsaCOUNT(nullptr), 0);
    EXPECT_EQ(vpvsaSIZE(nullptr), 0);
    EXPECT_EQ(vpvsaVSARRAY(nullptr), nullptr);
    EXPECT_EQ(vpvsaPOINTER(nullptr, 0), nullptr);
    EXPECT_EQ(vpvsaOBJECT(nullptr, 0), nullptr);
    EXPECT_EQ(vpvsaSET(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(vpvsaINSERT(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(vpvsaAPPEND(nullptr, nullptr), nullptr);
    EXPECT_EQ(vpvsaREMOVE(nullptr, 0, 1), 0);

    EXPECT_EQ(intvsaDETACH(nullptr), nullptr);
    intvsaFREE(nullptr);
    EXPECT_EQ(intvsaCOUNT(nullptr), 0);
    EXPECT_EQ(intvsaSIZE(nullptr), 0);
    EXPECT_EQ(intvsaVSARRAY(nullptr), nullptr);
    EXPECT_EQ(intvsaPOINTER(nullptr, 0), nullptr);
    EXPECT_EQ(intvsaOBJECT(nullptr, 0), 0);
    EXPECT_EQ(intvsaSET(nullptr, 1, 0), nullptr);
    EXPECT_EQ(intvsaINSERT(nullptr, 1, 0), nullptr);
    EXPECT_EQ(intvsaAPPEND(nullptr, 1), nullptr);
    EXPECT_EQ(intvsaREMOVE(nullptr, 0, 1), 0);
    EXPECT_EQ(intvsaFIND(nullptr, 0), -1);
    EXPECT_EQ(intvsaMAX(nullptr), -1);
    EXPECT_EQ(intvsaDUP(nullptr), nullptr);
}

} // namespace
