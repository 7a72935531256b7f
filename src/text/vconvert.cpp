// Conversions between UTF-8, the locale's character set and UTF-16.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <memory>

#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include "ztbase/strings.h"

namespace {

struct ConverterClose {
    void operator()(UConverter *c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterClose>;

// The character set of the calling thread's locale, as the process set it.
Converter locale_converter() {
    UErrorCode status = U_ZERO_ERROR;
    Converter c(ucnv_open(nl_langinfo(CODESET), &status));
    if (U_FAILURE(status))
        return nullptr;
    return c;
}

char16_t *alloc_units(size_t units) {
    return static_cast<char16_t *>(malloc((units + 1) * sizeof(char16_t)));
}

char *empty_string() {
    return static_cast<char *>(calloc(1, 1));
}

// Strict UTF-8 of one to three bytes per unit, with surrogates allowed as they
// come from V_UnicodeToUTF. Counts the units, or -1 when `in` is not such UTF-8.
long long count_utf8_units(const unsigned char *in) {
    long long units = 0;
    for (size_t i = 0; in[i] != 0; ++units) {
        unsigned char b = in[i];
        if (b < 0x80) {
            i += 1;
        } else if (b >= 0xC2 && b <= 0xDF) {
            if ((in[i + 1] & 0xC0) != 0x80)
                return -1;
            i += 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            if ((in[i + 1] & 0xC0) != 0x80 || (in[i + 2] & 0xC0) != 0x80)
                return -1;
            if (b == 0xE0 && in[i + 1] < 0xA0) // overlong
                return -1;
            i += 3;
        } else {
            return -1; // a continuation byte, an overlong two-byte lead or a four-byte lead
        }
    }
    return units;
}

} // namespace

extern "C" {

ZTBASE_API char16_t *V_StrDupUTF8ToWide(const char *s) {
    if (s == nullptr)
        return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    int32_t units = 0;
    u_strFromUTF8(nullptr, 0, &units, s, -1, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return nullptr;
    char16_t *out = alloc_units(static_cast<size_t>(units));
    if (out == nullptr)
        return nullptr;
    status = U_ZERO_ERROR;
    u_strFromUTF8(out, units + 1, nullptr, s, -1, &status);
    if (U_FAILURE(status)) {
        free(out);
        return nullptr;
    }
    return out;
}

ZTBASE_API char *V_StrDupWideToUTF8(const char16_t *w) {
    if (w == nullptr)
        return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    int32_t bytes = 0;
    u_strToUTF8(nullptr, 0, &bytes, w, -1, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return nullptr;
    char *out = static_cast<char *>(malloc(static_cast<size_t>(bytes) + 1));
    if (out == nullptr)
        return nullptr;
    status = U_ZERO_ERROR;
    u_strToUTF8(out, bytes + 1, nullptr, w, -1, &status);
    if (U_FAILURE(status)) {
        free(out);
        return nullptr;
    }
    return out;
}

ZTBASE_API char16_t *V_StrDupACPToWide(const char *s) {
    if (s == nullptr)
        return nullptr;
    Converter c = locale_converter();
    if (!c)
        return nullptr;
    size_t len = strlen(s);
    if (len > INT32_MAX)
        return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    int32_t units = ucnv_toUChars(c.get(), nullptr, 0, s, static_cast<int32_t>(len), &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return nullptr;
    char16_t *out = alloc_units(static_cast<size_t>(units));
    if (out == nullptr)
        return nullptr;
    status = U_ZERO_ERROR;
    ucnv_reset(c.get());
    ucnv_toUChars(c.get(), out, units + 1, s, static_cast<int32_t>(len), &status);
    if (U_FAILURE(status)) {
        free(out);
        return nullptr;
    }
    return out;
}

ZTBASE_API char *V_StrDupWideToACP(const char16_t *w) {
    if (w == nullptr)
        return empty_string();
    Converter c = locale_converter();
    if (!c)
        return empty_string();
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setSubstChars(c.get(), "?", 1, &status); // as the system code pages do
    status = U_ZERO_ERROR;
    int32_t bytes = ucnv_fromUChars(c.get(), nullptr, 0, w, -1, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return empty_string();
    char *out = static_cast<char *>(malloc(static_cast<size_t>(bytes) + 1));
    if (out == nullptr)
        return empty_string();
    status = U_ZERO_ERROR;
    ucnv_reset(c.get());
    ucnv_fromUChars(c.get(), out, bytes + 1, w, -1, &status);
    if (U_FAILURE(status)) {
        out[0] = 0;
    }
    return out;
}

ZTBASE_API int V_UnicodeToUTF(char *out, const char16_t *in, size_t size) {
    if (out == nullptr || size == 0)
        return 1;
    out[0] = 0;
    if (in == nullptr)
        return 1;
    size_t need = 0;
    for (const char16_t *p = in; *p != 0; ++p)
        need += *p < 0x80 ? 1 : *p < 0x800 ? 2 : 3;
    if (need >= size)
        return 1;
    char *o = out;
    for (const char16_t *p = in; *p != 0; ++p) {
        char16_t u = *p;
        if (u < 0x80) {
            *o++ = static_cast<char>(u);
        } else if (u < 0x800) {
            *o++ = static_cast<char>(0xC0 | (u >> 6));
            *o++ = static_cast<char>(0x80 | (u & 0x3F));
        } else {
            *o++ = static_cast<char>(0xE0 | (u >> 12));
            *o++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            *o++ = static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    *o = 0;
    return 0;
}

ZTBASE_API int V_UTFToUnicode(char16_t *out, const char *in, size_t size) {
    if (out == nullptr || size == 0)
        return 1;
    out[0] = 0;
    if (in == nullptr)
        return 1;
    auto bytes = reinterpret_cast<const unsigned char *>(in);
    long long units = count_utf8_units(bytes);
    if (units < 0) {
        // Not UTF-8: take it as text in the locale's character set.
        char16_t *wide = V_StrDupACPToWide(in);
        if (wide != nullptr) {
            size_t n = 0;
            while (wide[n] != 0)
                ++n;
            if (n < size)
                memcpy(out, wide, (n + 1) * sizeof(char16_t));
            free(wide);
        }
        return 1;
    }
    if (static_cast<unsigned long long>(units) >= size)
        return 1;
    char16_t *o = out;
    for (size_t i = 0; bytes[i] != 0;) {
        unsigned char b = bytes[i];
        if (b < 0x80) {
            *o++ = b;
            i += 1;
        } else if (b < 0xE0) {
            *o++ = static_cast<char16_t>(((b & 0x1F) << 6) | (bytes[i + 1] & 0x3F));
            i += 2;
        } else {
            *o++ = static_cast<char16_t>(((b & 0x0F) << 12) | ((bytes[i + 1] & 0x3F) << 6) |
                                         (bytes[i + 2] & 0x3F));
            i += 3;
        }
    }
    *o = 0;
    return 0;
}

ZTBASE_API void *V_dumb_realloc(void **p, size_t size) {
    if (p == nullptr)
        return nullptr;
    void *grown = realloc(*p, size);
    if (grown == nullptr && size != 0)
        free(*p);
    *p = grown;
    return grown;
}

} // extern "C"
