#include "logging/debuglog_line.h"

#include <cstring>

#include "base/zt_status.h"

namespace ztbase::debuglog {
namespace {

inline bool is_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Appends to a bounded buffer; `end` is the last byte usable for text.
struct Out {
    char *p;
    char *end;
    void put(char c) {
        if (p < end)
            *p++ = c;
    }
    void put(const char *s, size_t n) {
        size_t room = static_cast<size_t>(end - p);
        if (n > room)
            n = room;
        memcpy(p, s, n);
        p += n;
    }
    void two(int v) {
        if (v >= 0 && v < 100) {
            put(static_cast<char>('0' + v / 10));
            put(static_cast<char>('0' + v % 10));
        } else {
            number(v);
        }
    }
    void three(int v) {
        if (v >= 0 && v < 1000) {
            put(static_cast<char>('0' + v / 100));
            put(static_cast<char>('0' + v / 10 % 10));
            put(static_cast<char>('0' + v % 10));
        } else {
            number(v);
        }
    }
    void number(long v) {
        char digits[24];
        int n = 0;
        unsigned long u =
            v < 0 ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
        do {
            digits[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0);
        if (v < 0)
            put('-');
        while (n > 0)
            put(digits[--n]);
    }
};

} // namespace

size_t prepare_body(const char *text, char *out, size_t size) {
    if (text == nullptr) {
        out[0] = '\0';
        return 0;
    }
    const char *p = text;
    while (is_space(static_cast<unsigned char>(*p)))
        ++p;
    const size_t limit = size - 1;
    size_t n = 0;
    bool cut = false;
    while (*p != '\0') {
        // Runs without line ends are copied whole; most messages are one run.
        const size_t run = strcspn(p, "\r\n");
        const size_t room = limit - n;
        if (run > room) {
            memcpy(out + n, p, room);
            n = limit;
            p += room;
            break;
        }
        memcpy(out + n, p, run);
        n += run;
        p += run;
        if (*p == '\0')
            break;
        // A line end becomes one blank, and the white space after it goes.
        while (is_space(static_cast<unsigned char>(*p)))
            ++p;
        if (*p == '\0')
            break;
        if (n == limit) {
            cut = true;
            break;
        }
        out[n++] = ' ';
    }
    if (n == limit && *p != '\0') {
        // Full: cut only when more than trailing white space follows.
        const char *q = p;
        while (is_space(static_cast<unsigned char>(*q)))
            ++q;
        cut = cut || *q != '\0';
    }
    if (cut) {
        memcpy(out + limit - 3, "...", 3);
        out[limit] = '\0';
        return limit;
    }
    while (n > 0 && is_space(static_cast<unsigned char>(out[n - 1])))
        --n;
    out[n] = '\0';
    return n;
}

long format_line(char *out, size_t size, const LineTime &t, long pid, long tid, int level,
                 const char *tag, const char *body, size_t body_len) {
    if (size < kMinLineBuffer)
        return -zt::status::kBufferTooSmall;
    Out o{out, out + size - 1};
    o.two(t.hour);
    o.put(':');
    o.two(t.minute);
    o.put(':');
    o.two(t.second);
    o.put('.');
    o.three(t.millisecond);
    o.put(" [", 2);
    o.number(pid);
    o.put('.');
    o.number(tid);
    o.put("] <", 3);
    o.number(level);
    o.put("> ", 2);
    if (tag != nullptr) {
        // A tag is a function name; one with a line end must not split the line.
        const size_t n = strnlen(tag, 128);
        const char *start = o.p;
        o.put(tag, n);
        for (char *c = const_cast<char *>(start); c < o.p; ++c)
            if (*c == '\n' || *c == '\r')
                *c = ' ';
    }
    o.put(": ", 2);
    o.put(body, body_len);
    o.put('\n');
    *o.p = '\0';
    return o.p - out;
}

} // namespace ztbase::debuglog
