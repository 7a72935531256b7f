// Variable-size arrays. The three flavours share the record and every slot
// operation; they differ only in the element type and in whether one spare
// zero slot is kept after the last element.
#include "ztbase/vsa.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "base/log_sink.h"

static_assert(sizeof(char *) == sizeof(int64_t) && sizeof(void *) == sizeof(int64_t),
              "every flavour's element fills one 64-bit slot");

namespace ztbase {
namespace {

constexpr int kDefaultStep = 16;
constexpr size_t kSlot = sizeof(int64_t);

// Zero slots always kept after the last element.
enum class Spare : int { none = 0, terminator = 1 };

int step_or_default(int step) {
    return step < 0 ? kDefaultStep : step;
}

unsigned char *slot_bytes(const vsa *v, int i) {
    return static_cast<unsigned char *>(v->array) + static_cast<size_t>(i) * kSlot;
}

vsa *record(void *array, int64_t capacity, int step, int64_t count, const char *fn) {
    auto *v = static_cast<vsa *>(malloc(sizeof(vsa)));
    if (v == nullptr) {
        logsink::logf(16, 0, fn, "cannot allocate the array record");
        return nullptr;
    }
    *v = vsa{array, step, static_cast<int32_t>(capacity), static_cast<int32_t>(count)};
    return v;
}

// A record over `slots` fresh zero slots.
vsa *allocate(int64_t slots, int step, int count, const char *fn) {
    if (slots > INT32_MAX) {
        logsink::logf(16, 0, fn, "%lld slots exceed the largest array",
                      static_cast<long long>(slots));
        return nullptr;
    }
    void *array = calloc(slots > 0 ? static_cast<size_t>(slots) : 1, kSlot);
    if (array == nullptr) {
        logsink::logf(16, 0, fn, "cannot allocate %lld slots", static_cast<long long>(slots));
        return nullptr;
    }
    vsa *v = record(array, slots, step, count, fn);
    if (v == nullptr)
        free(array);
    return v;
}

vsa *create(int initial, int step, Spare spare, const char *fn) {
    if (initial < 1 && step == 0)
        return nullptr;
    // The step is settled first: a negative one must not size the first block.
    step = step_or_default(step);
    const int64_t slots = initial >= 1 ? int64_t{initial} + static_cast<int>(spare) : step;
    return allocate(slots, step, initial >= 1 ? initial : 0, fn);
}

vsa *wrap(void *array, int64_t count, Spare spare, int step, const char *fn) {
    const int64_t capacity = count + static_cast<int>(spare);
    if (capacity > INT32_MAX) {
        logsink::logf(16, 0, fn, "%lld elements exceed the largest array",
                      static_cast<long long>(count));
        return nullptr;
    }
    return record(array, capacity, step_or_default(step), count, fn);
}

// Makes room for one more element, growing by the step when the array is full.
bool make_room(vsa *v, Spare spare, const char *fn) {
    if (int64_t{v->count} + static_cast<int>(spare) < v->capacity)
        return true;
    if (v->step < 1) {
        logsink::logf(8, 0, fn, "array of %d slots is full and has no growth step", v->capacity);
        return false;
    }
    const int64_t slots = int64_t{v->capacity} + v->step;
    if (slots > INT32_MAX) {
        logsink::logf(16, 0, fn, "%lld slots exceed the largest array",
                      static_cast<long long>(slots));
        return false;
    }
    void *grown = realloc(v->array, static_cast<size_t>(slots) * kSlot);
    if (grown == nullptr) {
        logsink::logf(16, 0, fn, "cannot grow the array to %lld slots",
                      static_cast<long long>(slots));
        return false;
    }
    v->array = grown;
    memset(slot_bytes(v, v->capacity), 0, static_cast<size_t>(v->step) * kSlot);
    v->capacity = static_cast<int32_t>(slots);
    return true;
}

// Opens a gap at i and counts it as an element; null when i is out of range
// or the array cannot grow.
void *open_gap(vsa *v, int i, Spare spare, const char *fn) {
    if (v == nullptr || i < 0 || i > v->count || !make_room(v, spare, fn))
        return nullptr;
    memmove(slot_bytes(v, i + 1), slot_bytes(v, i), static_cast<size_t>(v->count - i) * kSlot);
    ++v->count;
    return slot_bytes(v, i);
}

// How many of n elements from i exist to be removed.
int removable(const vsa *v, int i, int n) {
    if (v == nullptr || i < 0 || i >= v->count || n < 1)
        return 0;
    return n < v->count - i ? n : v->count - i;
}

void close_gap(vsa *v, int i, int n) {
    memmove(slot_bytes(v, i), slot_bytes(v, i + n), static_cast<size_t>(v->count - i - n) * kSlot);
    v->count -= n;
    memset(slot_bytes(v, v->count), 0, static_cast<size_t>(n) * kSlot);
}

void *release_record(vsa *v) {
    void *array = v->array;
    free(v);
    return array;
}

template <typename T, Spare S> struct Flavour {
    static vsa *create(int initial, int step, const char *fn) {
        return ztbase::create(initial, step, S, fn);
    }
    static T *array(const vsa *v) { return v != nullptr ? static_cast<T *>(v->array) : nullptr; }
    static T *at(const vsa *v, int i) {
        return v != nullptr && i >= 0 && i < v->count ? array(v) + i : nullptr;
    }
    static T get(const vsa *v, int i) {
        const T *p = at(v, i);
        return p != nullptr ? *p : T{};
    }
    static T *set(vsa *v, T value, int i) {
        T *p = at(v, i);
        if (p != nullptr)
            *p = value;
        return p;
    }
    static T *insert(vsa *v, T value, int i, const char *fn) {
        T *p = static_cast<T *>(open_gap(v, i, S, fn));
        if (p != nullptr)
            *p = value;
        return p;
    }
    static int remove(vsa *v, int i, int n) {
        const int k = removable(v, i, n);
        if (k > 0)
            close_gap(v, i, k);
        return k;
    }
    static T *detach(vsa *v) {
        return v != nullptr ? static_cast<T *>(release_record(v)) : nullptr;
    }
    static void destroy(vsa *v) { free(detach(v)); }
};

using Strings = Flavour<char *, Spare::terminator>;
using Pointers = Flavour<void *, Spare::terminator>;
using Integers = Flavour<int64_t, Spare::none>;

bool same_string(const char *a, const char *b) {
    return a == b || (a != nullptr && b != nullptr && strcmp(a, b) == 0);
}

bool among(char *const *kept, int n, const char *s) {
    for (int i = 0; i < n; ++i)
        if (same_string(kept[i], s))
            return true;
    return false;
}

int unique_strings(vsa *v, bool free_removed) {
    char **a = Strings::array(v);
    // A hash of what was kept; a plain scan of the kept prefix when memory for
    // the hash runs out.
    std::unordered_set<std::string_view> seen;
    bool hashed = true;
    try {
        seen.reserve(static_cast<size_t>(v->count));
    } catch (const std::bad_alloc &) {
        hashed = false;
    }
    bool null_seen = false;
    int kept = 0;
    for (int r = 0; r < v->count; ++r) {
        char *s = a[r];
        bool duplicate;
        if (s == nullptr) {
            duplicate = std::exchange(null_seen, true);
        } else if (hashed) {
            try {
                duplicate = !seen.insert(s).second;
            } catch (const std::bad_alloc &) {
                hashed = false;
                duplicate = among(a, kept, s);
            }
        } else {
            duplicate = among(a, kept, s);
        }
        if (!duplicate)
            a[kept++] = s;
        else if (free_removed)
            free(s);
    }
    memset(slot_bytes(v, kept), 0, static_cast<size_t>(v->count - kept) * kSlot);
    v->count = kept;
    return kept;
}

} // namespace
} // namespace ztbase

using ztbase::Integers;
using ztbase::Pointers;
using ztbase::Spare;
using ztbase::Strings;

// ---- strings ----

extern "C" ZTBASE_API cstrvsa *cstrvsaNEW(int initial, int step) {
    return Strings::create(initial, step, __func__);
}

extern "C" ZTBASE_API cstrvsa *cstrvsaATTACH(cstra array, int step) {
    if (array == nullptr)
        return nullptr;
    int64_t count = 0;
    while (array[count] != nullptr)
        ++count;
    return ztbase::wrap(array, count, Spare::terminator, step, __func__);
}

extern "C" ZTBASE_API cstra cstrvsaDETACH(cstrvsa *v) {
    return Strings::detach(v);
}
extern "C" ZTBASE_API void cstrvsaFREE(cstrvsa *v) {
    Strings::destroy(v);
}

extern "C" ZTBASE_API void cstrvsaFREEALL(cstrvsa *v) {
    // Every element in use, not only those before the first null: a null set
    // in the middle must not leak the strings after it.
    for (int i = 0; v != nullptr && i < v->count; ++i)
        free(Strings::get(v, i));
    Strings::destroy(v);
}

extern "C" ZTBASE_API int cstrvsaCOUNT(const cstrvsa *v) {
    return v != nullptr ? v->count : 0;
}
extern "C" ZTBASE_API int cstrvsaSIZE(const cstrvsa *v) {
    return v != nullptr ? v->capacity : 0;
}
extern "C" ZTBASE_API cstra cstrvsaVSARRAY(cstrvsa *v) {
    return Strings::array(v);
}
extern "C" ZTBASE_API char **cstrvsaPOINTER(cstrvsa *v, int i) {
    return Strings::at(v, i);
}
extern "C" ZTBASE_API char *cstrvsaOBJECT(cstrvsa *v, int i) {
    return Strings::get(v, i);
}

extern "C" ZTBASE_API char **cstrvsaSET(cstrvsa *v, char *value, int i) {
    return Strings::set(v, value, i);
}

extern "C" ZTBASE_API char **cstrvsaINSERT(cstrvsa *v, char *value, int i) {
    return Strings::insert(v, value, i, __func__);
}

extern "C" ZTBASE_API char **cstrvsaAPPEND(cstrvsa *v, char *value) {
    return Strings::insert(v, value, cstrvsaCOUNT(v), __func__);
}

extern "C" ZTBASE_API int cstrvsaREMOVE(cstrvsa *v, int i, int n) {
    return Strings::remove(v, i, n);
}

extern "C" ZTBASE_API int cstrvsaREMOVEALL(cstrvsa *v, int i, int n) {
    const int k = ztbase::removable(v, i, n);
    for (int j = i; j < i + k; ++j)
        free(Strings::get(v, j));
    return Strings::remove(v, i, k);
}

extern "C" ZTBASE_API int cstrvsaMATCH(const cstrvsa *v, const char *s) {
    for (int i = 0; v != nullptr && i < v->count; ++i)
        if (ztbase::same_string(Strings::get(v, i), s))
            return i;
    return -1;
}

extern "C" ZTBASE_API int cstrvsaUNIQUE(cstrvsa *v, int free_removed) {
    return v != nullptr ? ztbase::unique_strings(v, free_removed != 0) : 0;
}

// ---- untyped pointers ----

extern "C" ZTBASE_API vpvsa *vpvsaNEW(int initial, int step) {
    return Pointers::create(initial, step, __func__);
}

extern "C" ZTBASE_API vpvsa *vpvsaATTACH(void **array, int step) {
    if (array == nullptr)
        return nullptr;
    int64_t count = 0;
    while (array[count] != nullptr)
        ++count;
    return ztbase::wrap(array, count, Spare::terminator, step, __func__);
}

extern "C" ZTBASE_API void **vpvsaDETACH(vpvsa *v) {
    return Pointers::detach(v);
}
extern "C" ZTBASE_API void vpvsaFREE(vpvsa *v) {
    Pointers::destroy(v);
}
extern "C" ZTBASE_API int vpvsaCOUNT(const vpvsa *v) {
    return v != nullptr ? v->count : 0;
}
extern "C" ZTBASE_API int vpvsaSIZE(const vpvsa *v) {
    return v != nullptr ? v->capacity : 0;
}
extern "C" ZTBASE_API void **vpvsaVSARRAY(vpvsa *v) {
    return Pointers::array(v);
}
extern "C" ZTBASE_API void **vpvsaPOINTER(vpvsa *v, int i) {
    return Pointers::at(v, i);
}
extern "C" ZTBASE_API void *vpvsaOBJECT(vpvsa *v, int i) {
    return Pointers::get(v, i);
}

extern "C" ZTBASE_API void **vpvsaSET(vpvsa *v, void *value, int i) {
    return Pointers::set(v, value, i);
}

extern "C" ZTBASE_API void **vpvsaINSERT(vpvsa *v, void *value, int i) {
    return Pointers::insert(v, value, i, __func__);
}

extern "C" ZTBASE_API void **vpvsaAPPEND(vpvsa *v, void *value) {
    return Pointers::insert(v, value, vpvsaCOUNT(v), __func__);
}

extern "C" ZTBASE_API int vpvsaREMOVE(vpvsa *v, int i, int n) {
    return Pointers::remove(v, i, n);
}

// ---- 64-bit integers ----

extern "C" ZTBASE_API intvsa *intvsaNEW(int initial, int step) {
    return Integers::create(initial, step, __func__);
}

extern "C" ZTBASE_API intvsa *intvsaATTACH(int64_t *array, int count, int step) {
    if (array == nullptr || count < 0)
        return nullptr;
    return ztbase::wrap(array, count, Spare::none, step, __func__);
}

extern "C" ZTBASE_API int64_t *intvsaDETACH(intvsa *v) {
    return Integers::detach(v);
}
extern "C" ZTBASE_API void intvsaFREE(intvsa *v) {
    Integers::destroy(v);
}
extern "C" ZTBASE_API int intvsaCOUNT(const intvsa *v) {
    return v != nullptr ? v->count : 0;
}
extern "C" ZTBASE_API int intvsaSIZE(const intvsa *v) {
    return v != nullptr ? v->capacity : 0;
}
extern "C" ZTBASE_API int64_t *intvsaVSARRAY(intvsa *v) {
    return Integers::array(v);
}
extern "C" ZTBASE_API int64_t *intvsaPOINTER(intvsa *v, int i) {
    return Integers::at(v, i);
}
extern "C" ZTBASE_API int64_t intvsaOBJECT(intvsa *v, int i) {
    return Integers::get(v, i);
}

extern "C" ZTBASE_API int64_t *intvsaSET(intvsa *v, int64_t value, int i) {
    return Integers::set(v, value, i);
}

extern "C" ZTBASE_API int64_t *intvsaINSERT(intvsa *v, int64_t value, int i) {
    return Integers::insert(v, value, i, __func__);
}

extern "C" ZTBASE_API int64_t *intvsaAPPEND(intvsa *v, int64_t value) {
    return Integers::insert(v, value, intvsaCOUNT(v), __func__);
}

extern "C" ZTBASE_API int intvsaREMOVE(intvsa *v, int i, int n) {
    return Integers::remove(v, i, n);
}

extern "C" ZTBASE_API int intvsaFIND(const intvsa *v, int64_t value) {
    for (int i = 0; v != nullptr && i < v->count; ++i)
        if (Integers::get(v, i) == value)
            return i;
    return -1;
}

extern "C" ZTBASE_API int64_t intvsaMAX(const intvsa *v) {
    if (v == nullptr || v->count < 1)
        return -1;
    int64_t best = Integers::get(v, 0);
    for (int i = 1; i < v->count; ++i)
        if (Integers::get(v, i) > best)
            best = Integers::get(v, i);
    return best;
}

extern "C" ZTBASE_API intvsa *intvsaDUP(const intvsa *v) {
    if (v == nullptr)
        return nullptr;
    intvsa *copy = ztbase::allocate(v->capacity, v->step, v->count, __func__);
    if (copy != nullptr)
        memcpy(copy->array, v->array, static_cast<size_t>(v->count) * sizeof(int64_t));
    return copy;
}
