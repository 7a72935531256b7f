// Null-terminated arrays of allocated strings.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "text/cstr_internal.h"
#include "ztbase/cstr.h"

using ztbase::cstr::dup;
using ztbase::cstr::log_no_memory;

namespace {

std::size_t count(cstra a) {
    std::size_t n = 0;
    if (a != nullptr)
        while (a[n] != nullptr)
            ++n;
    return n;
}

cstra new_array(std::size_t n, const char *tag) {
    auto *a = static_cast<cstra>(std::calloc(n + 1, sizeof(char *)));
    if (a == nullptr)
        log_no_memory(tag, (n + 1) * sizeof(char *));
    return a;
}

bool contains(cstra a, const char *s) {
    for (; a != nullptr && *a != nullptr; ++a)
        if (std::strcmp(*a, s) == 0)
            return true;
    return false;
}

} // namespace

ZTBASE_BEGIN_C

int cstraCOUNT(cstra a) {
    const std::size_t n = count(a);
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

cstra cstraAPPEND(cstra a, cstra b) {
    if (a == nullptr)
        return b;
    if (b == nullptr)
        return a;
    const std::size_t na = count(a);
    const std::size_t nb = count(b);
    auto *out = static_cast<cstra>(std::realloc(a, (na + nb + 1) * sizeof(char *)));
    if (out == nullptr) {
        // realloc left a in place: both arrays stay the caller's.
        log_no_memory("cstraAPPEND", (na + nb + 1) * sizeof(char *));
        return nullptr;
    }
    std::memcpy(out + na, b, (nb + 1) * sizeof(char *));
    std::free(b);
    return out;
}

cstra cstraDUP(cstra a) {
    static const char tag[] = "cstraDUP";
    if (a == nullptr)
        return nullptr;
    const std::size_t n = count(a);
    cstra out = new_array(n, tag);
    if (out == nullptr)
        return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        if ((out[i] = dup(a[i], tag)) == nullptr) {
            cstraFREE(out);
            return nullptr;
        }
    }
    return out;
}

void cstraItemsFREE(cstra a) {
    for (; a != nullptr && *a != nullptr; ++a) {
        std::free(*a);
        *a = nullptr;
    }
}

void cstraFREE(cstra a) {
    cstraItemsFREE(a);
    std::free(a);
}

char *cstraTOcstr(cstra a, const char *sep) {
    static const char tag[] = "cstraTOcstr";
    const std::size_t n = count(a);
    if (n == 0)
        return nullptr;
    const std::size_t seplen = sep != nullptr ? std::strlen(sep) : 0;
    std::size_t total = seplen * (n - 1);
    for (std::size_t i = 0; i < n; ++i)
        total += std::strlen(a[i]);
    if (total == 0)
        return nullptr;
    auto *out = static_cast<char *>(std::malloc(total + 1));
    if (out == nullptr) {
        log_no_memory(tag, total + 1);
        return nullptr;
    }
    char *w = out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0 && seplen != 0) {
            std::memcpy(w, sep, seplen);
            w += seplen;
        }
        const std::size_t len = std::strlen(a[i]);
        std::memcpy(w, a[i], len);
        w += len;
    }
    *w = '\0';
    return out;
}

int cstraMATCH(cstra a, const char *s) {
    for (int i = 0; a != nullptr && a[i] != nullptr; ++i)
        if (cstrMATCH(a[i], s))
            return i;
    return -1;
}

int cstraRMATCH(cstra a, const char *s) {
    for (int i = cstraCOUNT(a) - 1; i >= 0; --i)
        if (cstrMATCH(a[i], s))
            return i;
    return -1;
}

cstra cstraDIFF(cstra a, cstra b) {
    static const char tag[] = "cstraDIFF";
    std::size_t n = 0;
    for (cstra p = a; p != nullptr && *p != nullptr; ++p)
        n += !contains(b, *p);
    if (n == 0)
        return nullptr;
    cstra out = new_array(n, tag);
    if (out == nullptr)
        return nullptr;
    std::size_t i = 0;
    for (cstra p = a; *p != nullptr; ++p) {
        if (contains(b, *p))
            continue;
        if ((out[i++] = dup(*p, tag)) == nullptr) {
            cstraFREE(out);
            return nullptr;
        }
    }
    return out;
}

ZTBASE_END_C
