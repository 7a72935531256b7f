// Bounded copy, concatenation and formatting of narrow and wide strings.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "text/vwformat.h"
#include "ztbase/strings.h"

namespace {

template <class C> size_t bounded_len(const C *s, size_t max) {
    if constexpr (sizeof(C) == 1) {
        return strnlen(s, max);
    } else {
        size_t n = 0;
        while (n < max && s[n] != 0)
            ++n;
        return n;
    }
}

// A wide text cut at `end` would keep half a character when the last unit
// kept is a high surrogate whose low half was cut off: that unit goes too, so
// the result still converts to UTF-8. src[end] is only read when src[end - 1]
// was not its terminator.
template <class C> bool splits_pair(const C *src, size_t end) {
    if constexpr (sizeof(C) == 1) {
        return false;
    } else {
        return end > 0 && src[end - 1] >= 0xD800 && src[end - 1] <= 0xDBFF && src[end] >= 0xDC00 &&
               src[end] <= 0xDFFF;
    }
}

template <class C> size_t lcpy(C *dst, const C *src, size_t size) {
    if (dst == nullptr || src == nullptr || size == 0)
        return 0;
    size_t n = bounded_len(src, size - 1);
    if (n == size - 1 && splits_pair(src, n))
        --n;
    std::copy_n(src, n, dst);
    dst[n] = 0;
    return n;
}

// Appends into dst within `limit` (<= size) places counted from the start.
template <class C> size_t lcat_within(C *dst, const C *src, size_t len, size_t limit) {
    if (limit < len + 2)
        return 0;
    return lcpy(dst + len, src, limit - len);
}

template <class C> size_t lcat(C *dst, const C *src, size_t size) {
    if (dst == nullptr || src == nullptr || size == 0)
        return 0;
    size_t len = bounded_len(dst, size);
    if (len == size)
        return 0;
    return lcat_within(dst, src, len, size);
}

template <class C> size_t lncpy(C *dst, const C *src, size_t n, size_t size) {
    if (dst == nullptr || src == nullptr || size == 0)
        return 0;
    size_t count = std::min(n, size);
    size_t copied = bounded_len(src, count);
    const size_t end = std::min(n, size - 1); // where the text is terminated
    if (copied >= end && splits_pair(src, end))
        copied = end - 1; // the lone half becomes one of the filling NULs
    std::copy_n(src, copied, dst);
    std::fill(dst + copied, dst + count, C{0});
    if (n >= size) {
        dst[size - 1] = 0;
        return size - 1;
    }
    dst[n] = 0;
    return n;
}

// The end of dst is looked for within size in both widths: an unterminated
// destination must not be read past its capacity.
template <class C> size_t lncat(C *dst, const C *src, size_t n, size_t size) {
    if (dst == nullptr || src == nullptr || size == 0)
        return 0;
    size_t len = bounded_len(dst, size);
    if (len == size)
        return 0;
    size_t room = size - len - 1; // places for characters after the string
    size_t limit = n < room ? len + n + 1 : size;
    return lcat_within(dst, src, len, limit);
}

template <class C> size_t xncpy(C *dst, const C *src, size_t size, size_t n) {
    if (dst == nullptr || src == nullptr || size == 0)
        return 0;
    size_t count = std::min(size, n);
    size_t copied = bounded_len(src, count);
    if (copied == count && splits_pair(src, count))
        --copied;
    std::copy_n(src, copied, dst);
    std::fill(dst + copied, dst + count, C{0});
    return count;
}

template <class C> int verify(const C *buf, size_t n, size_t *len) {
    size_t found = buf == nullptr ? 0 : bounded_len(buf, n);
    bool ok = buf != nullptr && found < n;
    if (len != nullptr)
        *len = ok ? found : 0;
    return ok ? 0 : -1;
}

int clamp_result(size_t n) {
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

// The result rule shared by the narrow and wide formatters: `needed` is the
// full length the text would have had, or negative on failure.
template <class C> int finish_format(C *buf, size_t size, long long needed) {
    if (needed < 0) {
        buf[0] = 0;
        return -1;
    }
    if (static_cast<unsigned long long>(needed) >= size) {
        buf[size - 1] = 0;
        // The cut may have split a pair: no lone high half (the result stays
        // size - 1, the sign of a cut text).
        if constexpr (sizeof(C) == 2)
            if (size >= 2 && buf[size - 2] >= 0xD800 && buf[size - 2] <= 0xDBFF)
                buf[size - 2] = 0;
        return clamp_result(size - 1);
    }
    return static_cast<int>(needed);
}

// Length of an incomplete UTF-8 character at the very end of s (0 when the
// text ends on a whole character).
size_t incomplete_utf8_tail(const char *s, size_t len) {
    size_t back = 0;
    while (back < 3 && back < len && (static_cast<unsigned char>(s[len - 1 - back]) & 0xC0) == 0x80)
        ++back;
    if (back == len)
        return 0;
    auto lead = static_cast<unsigned char>(s[len - 1 - back]);
    size_t need = lead >= 0xF0 && lead <= 0xF7   ? 4
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xC0 && lead <= 0xDF ? 2
                                                 : 0;
    return need > back + 1 ? back + 1 : 0;
}

} // namespace

extern "C" {

ZTBASE_API size_t V_strlcpy(char *dst, const char *src, size_t size) {
    return lcpy(dst, src, size);
}
ZTBASE_API size_t V_wcslcpy(char16_t *dst, const char16_t *src, size_t size) {
    return lcpy(dst, src, size);
}

ZTBASE_API size_t V_strlcat(char *dst, const char *src, size_t size) {
    return lcat(dst, src, size);
}
ZTBASE_API size_t V_wcslcat(char16_t *dst, const char16_t *src, size_t size) {
    return lcat(dst, src, size);
}

ZTBASE_API size_t V_strlncpy(char *dst, const char *src, size_t n, size_t size) {
    return lncpy(dst, src, n, size);
}
ZTBASE_API size_t V_wcslncpy(char16_t *dst, const char16_t *src, size_t n, size_t size) {
    return lncpy(dst, src, n, size);
}

ZTBASE_API size_t V_strlncat(char *dst, const char *src, size_t n, size_t size) {
    return lncat(dst, src, n, size);
}
ZTBASE_API size_t V_wcslncat(char16_t *dst, const char16_t *src, size_t n, size_t size) {
    return lncat(dst, src, n, size);
}

ZTBASE_API size_t V_strXncpy(char *dst, const char *src, size_t size, size_t n) {
    return xncpy(dst, src, size, n);
}
ZTBASE_API size_t V_wstrXncpy(char16_t *dst, const char16_t *src, size_t size, size_t n) {
    return xncpy(dst, src, size, n);
}

ZTBASE_API size_t V_strnlen(const char *s, size_t max) {
    return s == nullptr ? 0 : strnlen(s, max);
}

ZTBASE_API int V_strverify(const char *buf, size_t n, size_t *len) {
    return verify(buf, n, len);
}
ZTBASE_API int V_wstrverify(const char16_t *buf, size_t n, size_t *len) {
    return verify(buf, n, len);
}

ZTBASE_API int V_vsnprintf(char *buf, size_t size, const char *fmt, va_list args) {
    if (buf == nullptr || size == 0)
        return -1;
    if (fmt == nullptr) {
        buf[0] = 0;
        return -1;
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int needed = vsnprintf(buf, size, fmt, args);
#pragma GCC diagnostic pop
    return finish_format(buf, size, needed);
}

ZTBASE_API int V_snprintf(char *buf, size_t size, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = V_vsnprintf(buf, size, fmt, args);
    va_end(args);
    return n;
}

ZTBASE_API int V_cat_snprintf(char *buf, size_t size, const char *fmt, ...) {
    if (buf == nullptr)
        return -1;
    size_t len = strnlen(buf, size);
    if (len == size)
        return -1;
    va_list args;
    va_start(args, fmt);
    int n = V_vsnprintf(buf + len, size - len, fmt, args);
    va_end(args);
    return n;
}

ZTBASE_API int V_vsnprintfUtf8(char *buf, size_t size, const char *fmt, va_list args) {
    if (buf == nullptr || size == 0)
        return -1;
    if (fmt == nullptr) {
        buf[0] = 0;
        return -1;
    }
    size_t len = strlen(fmt);
    size_t tail = incomplete_utf8_tail(fmt, len);
    if (tail == 0)
        return V_vsnprintf(buf, size, fmt, args);
    char *head = strndup(fmt, len - tail);
    if (head == nullptr) {
        buf[0] = 0;
        errno = ENOMEM;
        return -1;
    }
    int n = V_vsnprintf(buf, size, head, args);
    free(head);
    if (n < 0)
        return n;
    size_t written = static_cast<size_t>(n);
    for (size_t i = len - tail; i < len && written + 1 < size; ++i)
        buf[written++] = fmt[i];
    buf[written] = 0;
    return clamp_result(written);
}

ZTBASE_API int V_snprintfUtf8(char *buf, size_t size, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = V_vsnprintfUtf8(buf, size, fmt, args);
    va_end(args);
    return n;
}

ZTBASE_API int V_vsnwprintf(char16_t *buf, size_t size, const char16_t *fmt, va_list args) {
    if (buf == nullptr || size == 0)
        return -1;
    if (fmt == nullptr) {
        buf[0] = 0;
        return -1;
    }
    return finish_format(buf, size, ztbase::text::format_utf16(buf, size, fmt, args));
}

ZTBASE_API int V_snwprintf(char16_t *buf, size_t size, const char16_t *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = V_vsnwprintf(buf, size, fmt, args);
    va_end(args);
    return n;
}

ZTBASE_API int V_cat_snwprintf(char16_t *buf, size_t size, const char16_t *fmt, ...) {
    if (buf == nullptr)
        return -1;
    size_t len = bounded_len(buf, size);
    if (len == size)
        return -1;
    va_list args;
    va_start(args, fmt);
    int n = V_vsnwprintf(buf + len, size - len, fmt, args);
    va_end(args);
    return n;
}

ZTBASE_API char *V_syserror(int code, char *buf, size_t size) {
    if (buf == nullptr || size == 0)
        return buf;
    // strerror_r makes up "Unknown error N" for codes without a text of their own.
    if (strerrorname_np(code) == nullptr) {
        V_strlcpy(buf, "Unknown error", size);
        return buf;
    }
    char scratch[256];
    const char *text = strerror_r(code, scratch, sizeof scratch);
    V_strlcpy(buf, text != nullptr ? text : "Unknown error", size);
    for (char *p = buf; *p != 0; ++p)
        if (*p == '\r' || *p == '\n')
            *p = ' ';
    return buf;
}

} // extern "C"
