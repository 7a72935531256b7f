// Token extraction that respects double-quoted literals.
#include <cstdlib>
#include <cstring>

#include "text/cstr_internal.h"
#include "ztbase/cstr.h"

using ztbase::cstr::CharSet;
using ztbase::cstr::dup_range;

namespace {

bool is_octal(char c) {
    return c >= '0' && c <= '7';
}

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

struct Token {
    const char *start;
    std::size_t size; // 0: no token
};

// The token at or after p: delimiters skipped, then a literal or a run of
// non-delimiters.
Token next_token(const char *p, const CharSet &delims) {
    while (delims.has(*p))
        ++p;
    if (*p == '\0')
        return {p, 0};
    if (*p == '"')
        return {p, cstrLiteralSIZE(p)};
    const char *end = p;
    while (*end != '\0' && !delims.has(*end))
        ++end;
    return {p, static_cast<std::size_t>(end - p)};
}

// The n-th token (n >= 1) of s, or the last one for n = 0.
Token nth_token(const char *s, int n, const CharSet &delims) {
    Token last{s, 0};
    for (long long i = 1;; ++i) {
        Token t = next_token(s, delims);
        if (t.size == 0)
            return n == 0 ? last : t;
        if (i == n)
            return t;
        last = t;
        s = t.start + t.size;
    }
}

} // namespace

ZTBASE_BEGIN_C

size_t cstrLiteralSIZE(const char *s) {
    if (s == nullptr || *s != '"')
        return 0;
    const char *p = s + 1;
    // Escapes are stepped over as units; each step stops at the NUL, so a backslash
    // or "\x" at the very end ends the literal there.
    while (*p != '\0' && *p != '"') {
        if (p[0] == '\\' && (p[1] == 'x' || p[1] == 'X')) {
            p += 2;
            while (is_hex(*p))
                ++p;
        } else if (p[0] == '\\' && is_octal(p[1])) {
            ++p;
            for (int i = 0; i < 4 && is_octal(*p); ++i)
                ++p;
        } else {
            ++p;
        }
    }
    return static_cast<size_t>(p - s) + (*p == '"' ? 1 : 0);
}

char *cstrTokenNEXT(const char **cursor, const char *delims) {
    if (cursor == nullptr || *cursor == nullptr || delims == nullptr)
        return nullptr;
    const Token t = next_token(*cursor, CharSet(delims));
    if (t.size == 0)
        return nullptr;
    char *out = dup_range(t.start, t.size, "cstrTokenNEXT");
    if (out != nullptr)
        *cursor = t.start + t.size;
    return out;
}

size_t cstrTokenFIND(const char **cursor, int n, const char *delims) {
    if (cursor == nullptr || *cursor == nullptr || delims == nullptr || n < 1)
        return 0;
    const Token t = nth_token(*cursor, n, CharSet(delims));
    if (t.size != 0)
        *cursor = t.start;
    return t.size;
}

char *cstrTokenGET(const char *s, int n, const char *delims) {
    if (s == nullptr || delims == nullptr || n < 0)
        return nullptr;
    const Token t = nth_token(s, n, CharSet(delims));
    return t.size == 0 ? nullptr : dup_range(t.start, t.size, "cstrTokenGET");
}

char *cstrTokenOBTAIN(const char *s, int n, const char *sep) {
    if (s == nullptr || sep == nullptr || *sep == '\0' || n < 1)
        return nullptr;
    const std::size_t seplen = std::strlen(sep);
    const char *field = s;
    for (int i = 1; i < n; ++i) {
        const char *hit = std::strstr(field, sep);
        if (hit == nullptr)
            return nullptr;
        field = hit + seplen;
    }
    const char *end = std::strstr(field, sep);
    const std::size_t len =
        end != nullptr ? static_cast<std::size_t>(end - field) : std::strlen(field);
    return len == 0 ? nullptr : dup_range(field, len, "cstrTokenOBTAIN");
}

cstra cstrTOcstra(const char *s, const char *delims) {
    static const char tag[] = "cstrTOcstra";
    if (s == nullptr || delims == nullptr)
        return nullptr;
    const CharSet cs(delims);
    std::size_t count = 0;
    for (Token t = next_token(s, cs); t.size != 0; t = next_token(t.start + t.size, cs))
        ++count;
    auto *out = static_cast<cstra>(std::calloc(count + 1, sizeof(char *)));
    if (out == nullptr) {
        ztbase::cstr::log_no_memory(tag, (count + 1) * sizeof(char *));
        return nullptr;
    }
    std::size_t i = 0;
    for (Token t = next_token(s, cs); t.size != 0; t = next_token(t.start + t.size, cs)) {
        if ((out[i++] = dup_range(t.start, t.size, tag)) == nullptr) {
            cstraFREE(out);
            return nullptr;
        }
    }
    return out;
}

ZTBASE_END_C
