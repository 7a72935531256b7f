// Single-string operations: tests, counting, case, trimming, double quotes and the
// quote-aware character search and tokenizer.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "base/log_sink.h"
#include "text/cstr_internal.h"
#include "ztbase/cstr.h"
#include "ztbase/debuglog.h"

namespace ztbase::cstr {

void log_no_memory(const char *tag, std::size_t bytes) {
    logsink::logf(ZTLOG_ERROR, 0, tag, "unable to allocate %zu bytes", bytes);
}

char *dup_range(const char *p, std::size_t n, const char *tag) {
    auto *out = static_cast<char *>(std::malloc(n + 1));
    if (out == nullptr) {
        log_no_memory(tag, n + 1);
        return nullptr;
    }
    std::memcpy(out, p, n);
    out[n] = '\0';
    return out;
}

} // namespace ztbase::cstr

using ztbase::cstr::CharSet;
using ztbase::cstr::dup;
using ztbase::cstr::dup_range;

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool quoted(const char *s, std::size_t len) {
    return len >= 2 && s[0] == '"' && s[len - 1] == '"';
}

char *trim(const char *s, int mode, const char *set) {
    static const char tag[] = "cstrTRIM";
    const std::size_t len = std::strlen(s);
    if (mode == 4) {
        const char *p = s;
        while (p[0] == '0' && is_digit(p[1]))
            ++p;
        return dup_range(p, len - (p - s), tag);
    }
    const CharSet cs(set);
    const char *begin = s;
    const char *end = s + len;
    if (mode == 0 || mode == 3)
        while (begin < end && cs.has(*begin))
            ++begin;
    if (mode == 1 || mode == 3)
        while (end > begin && cs.has(end[-1]))
            --end;
    if (mode != 2)
        return dup_range(begin, end - begin, tag);

    char *out = dup_range(s, len, tag);
    if (out == nullptr)
        return nullptr;
    char *w = out;
    for (const char *r = out; *r != '\0'; ++r)
        if (!cs.has(*r))
            *w++ = *r;
    *w = '\0';
    return out;
}

} // namespace

ZTBASE_BEGIN_C

int cstrEMPTY(const char *s) {
    return s == nullptr || *s == '\0';
}

char cstrLAST(const char *s) {
    if (cstrEMPTY(s))
        return '\0';
    return s[std::strlen(s) - 1];
}

int cstrMATCH(const char *a, const char *b) {
    return std::strcmp(a != nullptr ? a : "", b != nullptr ? b : "") == 0;
}

int cstrCOUNTchar(const char *s, char c) {
    if (s == nullptr || c == '\0')
        return 0;
    int n = 0;
    for (; *s != '\0'; ++s)
        n += *s == c;
    return n;
}

int cstrCOUNTchars(const char *s, const char *set) {
    if (s == nullptr || set == nullptr)
        return 0;
    const CharSet cs(set);
    int n = 0;
    for (; *s != '\0'; ++s)
        n += cs.has(*s);
    return n;
}

char *cstrLOWER(char *s) {
    if (s != nullptr)
        for (char *p = s; *p != '\0'; ++p)
            *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return s;
}

char *cstrUPPER(char *s) {
    if (s != nullptr)
        for (char *p = s; *p != '\0'; ++p)
            *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    return s;
}

char *cstrTRIM(const char *s, int mode, const char *set) {
    if (s == nullptr)
        return nullptr;
    if (*s == '\0' || set == nullptr || (mode != 4 && *set == '\0'))
        return dup(s, "cstrTRIM");
    if (mode < 0 || mode > 4)
        return nullptr;
    return trim(s, mode, set);
}

char *cstrTRIMcstr(const char *s, int mode, const char *suffix) {
    static const char tag[] = "cstrTRIMcstr";
    if (s == nullptr)
        return nullptr;
    if (*s == '\0' || suffix == nullptr || *suffix == '\0')
        return dup(s, tag);
    if (mode != 1)
        return nullptr;
    const std::size_t n = std::strlen(suffix);
    std::size_t len = std::strlen(s);
    // Strictly longer than the suffix: the string is never removed whole.
    while (len > n && std::memcmp(s + len - n, suffix, n) == 0)
        len -= n;
    return dup_range(s, len, tag);
}

char *cstrDQuotesSTRIP(const char *s) {
    if (s == nullptr)
        return nullptr;
    const std::size_t len = std::strlen(s);
    return quoted(s, len) ? dup_range(s + 1, len - 2, "cstrDQuotesSTRIP") : nullptr;
}

char *cstrDQuotesUNCHECK(const char *s) {
    if (s == nullptr)
        return nullptr;
    const std::size_t len = std::strlen(s);
    return quoted(s, len) ? dup_range(s + 1, len - 2, "cstrDQuotesUNCHECK")
                          : dup_range(s, len, "cstrDQuotesUNCHECK");
}

char *cstrDQuotesENCLOSE(const char *s) {
    static const char tag[] = "cstrDQuotesENCLOSE";
    if (s == nullptr || *s == '"' || std::strchr(s, ' ') == nullptr)
        return nullptr;
    const std::size_t len = std::strlen(s);
    auto *out = static_cast<char *>(std::malloc(len + 3));
    if (out == nullptr) {
        ztbase::cstr::log_no_memory(tag, len + 3);
        return nullptr;
    }
    out[0] = '"';
    std::memcpy(out + 1, s, len);
    out[len + 1] = '"';
    out[len + 2] = '\0';
    return out;
}

char *cstrDQuotesCHECK(const char *s) {
    if (s == nullptr)
        return nullptr;
    if (*s == '"' || std::strchr(s, ' ') == nullptr)
        return dup(s, "cstrDQuotesCHECK");
    return cstrDQuotesENCLOSE(s);
}

char *stripdelims(char *s, char c) {
    if (s == nullptr || c == '\0' || s[0] != c)
        return s;
    const std::size_t len = std::strlen(s);
    if (s[len - 1] != c)
        return s;
    if (len <= 2) {
        s[0] = '\0';
        return s;
    }
    std::memmove(s, s + 1, len - 2);
    s[len - 2] = '\0';
    return s;
}

char *strchrwdelim(const char *s, char c, char q) {
    if (s == nullptr || c == '\0')
        return nullptr;
    for (const char *p = s; *p != '\0'; ++p) {
        if (*p == c)
            return const_cast<char *>(p);
        if (*p == q) {
            // A closed pair hides its separators; an unclosed q is an ordinary character.
            if (const char *close = std::strchr(p + 1, q))
                p = close;
        }
    }
    return nullptr;
}

char *strtokwdelim(char *s, char c, char q) {
    static char *next = nullptr;
    char *p = s != nullptr ? s : next;
    next = nullptr;
    if (p == nullptr || c == '\0')
        return nullptr;
    while (*p == c)
        ++p;
    if (*p == '\0')
        return nullptr;
    if (char *sep = strchrwdelim(p, c, q)) {
        *sep = '\0';
        next = sep + 1;
    }
    return p;
}

ZTBASE_END_C
