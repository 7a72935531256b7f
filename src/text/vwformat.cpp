// A printf-style formatter for UTF-16 format strings. Numbers are formatted by
// the runtime's narrow formatter without a width and padded here, so that a
// wide field never needs a buffer of its own.
#include "text/vwformat.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>

namespace ztbase::text {

size_t decode_utf8(const char *s, char32_t &cp) {
    auto b0 = static_cast<unsigned char>(s[0]);
    cp = b0;
    if (b0 < 0x80)
        return b0 == 0 ? 0 : 1;
    size_t need;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1, min = 0x80, cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2, min = 0x800, cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3, min = 0x10000, cp = b0 & 0x07;
    } else {
        cp = 0xFFFD;
        return 1;
    }
    for (size_t i = 1; i <= need; ++i) {
        auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80) {
            cp = 0xFFFD;
            return i;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    return need + 1;
}

namespace {

// Writes what fits (keeping one place for the terminator) and counts all.
class Sink {
  public:
    Sink(char16_t *buf, size_t size) : buf_(buf), size_(size) {}

    void put(char16_t c) {
        if (pos_ + 1 < size_)
            buf_[pos_] = c;
        ++pos_;
    }
    void put_code_point(char32_t cp) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(static_cast<char16_t>(0xD800 + (cp >> 10)));
            put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            put(static_cast<char16_t>(cp));
        }
    }
    void fill(char16_t c, size_t n) {
        if (pos_ + 1 < size_) {
            size_t fit = std::min<unsigned long long>(n, size_ - 1 - pos_);
            std::fill_n(buf_ + pos_, fit, c);
        }
        pos_ += n;
    }
    // Narrow runtime output is ASCII except in exotic locales; decode it anyway.
    void put_narrow(const char *s, size_t n) {
        for (size_t i = 0; i < n;) {
            char32_t cp;
            size_t used = decode_utf8(s + i, cp);
            if (used == 0) // an embedded NUL
                used = 1;
            put_code_point(cp);
            i += used;
        }
    }
    long long finish() {
        buf_[std::min<unsigned long long>(pos_, size_ - 1)] = 0;
        return pos_ > LLONG_MAX ? LLONG_MAX : static_cast<long long>(pos_);
    }

  private:
    char16_t *buf_;
    size_t size_;
    unsigned long long pos_ = 0;
};

enum class Length { none, hh, h, l, ll, L, j, z, t };

struct Field {
    bool minus = false, plus = false, space = false, hash = false, zero = false;
    int width = 0;
    int precision = -1; // none
    Length length = Length::none;
    char16_t conversion = 0;
};

bool parse_number(const char16_t *&p, int &out) {
    long long v = 0;
    while (*p >= u'0' && *p <= u'9') {
        v = v * 10 + (*p - u'0');
        if (v > INT_MAX)
            return false;
        ++p;
    }
    out = static_cast<int>(v);
    return true;
}

// The narrow conversion text without width ("%+#.*lld" and the like).
void narrow_pattern(const Field &s, const char *length, char conversion, char *out) {
    char *p = out;
    *p++ = '%';
    if (s.plus)
        *p++ = '+';
    if (s.space)
        *p++ = ' ';
    if (s.hash)
        *p++ = '#';
    *p++ = '.';
    *p++ = '*';
    while (*length != 0)
        *p++ = *length++;
    *p++ = conversion;
    *p = 0;
}

// Formats one value with the runtime's formatter, then pads to the width.
class Narrow {
  public:
    Narrow() = default;
    Narrow(const Narrow &) = delete;
    Narrow &operator=(const Narrow &) = delete;
    ~Narrow() {
        if (text_ != small_)
            free(text_);
    }

    template <class T> bool format(const char *pattern, int precision, T value) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        int n = snprintf(small_, sizeof small_, pattern, precision, value);
        if (n < 0)
            return false;
        length_ = static_cast<size_t>(n);
        if (length_ < sizeof small_)
            return true;
        text_ = static_cast<char *>(malloc(length_ + 1));
        if (text_ == nullptr)
            return false;
        snprintf(text_, length_ + 1, pattern, precision, value);
#pragma GCC diagnostic pop
        return true;
    }

    // Zero padding goes after a sign and a 0x prefix, and never into inf or nan.
    void emit(Sink &sink, const Field &s, bool zero_allowed) const {
        size_t pad = static_cast<size_t>(s.width) > length_ ? s.width - length_ : 0;
        if (s.minus) {
            sink.put_narrow(text_, length_);
            sink.fill(u' ', pad);
            return;
        }
        size_t prefix = 0;
        if (prefix < length_ && strchr("+- ", text_[prefix]) != nullptr)
            ++prefix;
        if (prefix + 1 < length_ && text_[prefix] == '0' &&
            (text_[prefix + 1] == 'x' || text_[prefix + 1] == 'X'))
            prefix += 2;
        bool digits = prefix < length_ && strchr("iInN", text_[prefix]) == nullptr;
        if (s.zero && zero_allowed && digits) {
            sink.put_narrow(text_, prefix);
            sink.fill(u'0', pad);
            sink.put_narrow(text_ + prefix, length_ - prefix);
        } else {
            sink.fill(u' ', pad);
            sink.put_narrow(text_, length_);
        }
    }

  private:
    char small_[512];
    char *text_ = small_;
    size_t length_ = 0;
};

void pad_before(Sink &sink, const Field &s, size_t length) {
    if (!s.minus && static_cast<size_t>(s.width) > length)
        sink.fill(u' ', s.width - length);
}
void pad_after(Sink &sink, const Field &s, size_t length) {
    if (s.minus && static_cast<size_t>(s.width) > length)
        sink.fill(u' ', s.width - length);
}

size_t max_units(const Field &s) {
    return s.precision < 0 ? SIZE_MAX : static_cast<size_t>(s.precision);
}

void emit_wide(Sink &sink, const Field &s, const char16_t *text) {
    if (text == nullptr)
        text = u"(null)";
    size_t limit = max_units(s), n = 0;
    while (n < limit && text[n] != 0)
        ++n;
    // A cut after a high surrogate would leave half a character. The unit
    // beyond the precision is not read: the array may end there.
    if (n > 0 && n == limit && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF)
        --n;
    pad_before(sink, s, n);
    for (size_t i = 0; i < n; ++i)
        sink.put(text[i]);
    pad_after(sink, s, n);
}

// Walks a UTF-8 text, at most `limit` units of output; calls f per character.
// With a precision the text may be an array without terminator, so no byte
// is read once the limit is reached, nor the rest of a character that would
// not fit.
template <class F> size_t walk_utf8(const char *text, size_t limit, F f) {
    size_t units = 0;
    for (size_t i = 0;;) {
        if (units == limit)
            break;
        auto lead = static_cast<unsigned char>(text[i]);
        if (lead >= 0xF0 && lead <= 0xF4 && units + 2 > limit)
            break;
        char32_t cp;
        size_t used = decode_utf8(text + i, cp);
        if (used == 0)
            break;
        size_t w = cp >= 0x10000 ? 2 : 1;
        if (units + w > limit)
            break;
        f(cp);
        units += w;
        i += used;
    }
    return units;
}

void emit_narrow_string(Sink &sink, const Field &s, const char *text) {
    if (text == nullptr)
        text = "(null)";
    size_t limit = max_units(s);
    size_t n = walk_utf8(text, limit, [](char32_t) {});
    pad_before(sink, s, n);
    walk_utf8(text, limit, [&](char32_t cp) { sink.put_code_point(cp); });
    pad_after(sink, s, n);
}

void emit_char(Sink &sink, const Field &s, int value) {
    char32_t cp = value < 0 || value > 0x10FFFF ? 0xFFFD : static_cast<char32_t>(value);
    size_t n = cp >= 0x10000 ? 2 : 1;
    pad_before(sink, s, n);
    sink.put_code_point(cp);
    pad_after(sink, s, n);
}

const char *length_text(Length l) {
    switch (l) {
    case Length::L:
        return "L";
    default:
        return "";
    }
}

// Parses flags, width, precision and length after a '%'. The '*' arguments
// are read here, in order.
bool parse_field(const char16_t *&p, Field &s, va_list &args) {
    for (;; ++p) {
        if (*p == u'-')
            s.minus = true;
        else if (*p == u'+')
            s.plus = true;
        else if (*p == u' ')
            s.space = true;
        else if (*p == u'#')
            s.hash = true;
        else if (*p == u'0')
            s.zero = true;
        else
            break;
    }
    if (*p == u'*') {
        ++p;
        int w = va_arg(args, int);
        if (w < 0) {
            s.minus = true;
            w = w == INT_MIN ? INT_MAX : -w;
        }
        s.width = w;
    } else if (!parse_number(p, s.width)) {
        return false;
    }
    if (*p == u'.') {
        ++p;
        if (*p == u'*') {
            ++p;
            int prec = va_arg(args, int);
            s.precision = prec < 0 ? -1 : prec;
        } else if (!parse_number(p, s.precision)) {
            return false;
        }
    }
    switch (*p) {
    case u'h':
        s.length = p[1] == u'h' ? Length::hh : Length::h;
        p += s.length == Length::hh ? 2 : 1;
        break;
    case u'l':
        s.length = p[1] == u'l' ? Length::ll : Length::l;
        p += s.length == Length::ll ? 2 : 1;
        break;
    case u'L':
        s.length = Length::L, ++p;
        break;
    case u'j':
        s.length = Length::j, ++p;
        break;
    case u'z':
        s.length = Length::z, ++p;
        break;
    case u't':
        s.length = Length::t, ++p;
        break;
    default:
        break;
    }
    s.conversion = *p;
    return true;
}

long long signed_arg(Length l, va_list &args) {
    switch (l) {
    case Length::hh:
        return static_cast<signed char>(va_arg(args, int));
    case Length::h:
        return static_cast<short>(va_arg(args, int));
    case Length::l:
        return va_arg(args, long);
    case Length::ll:
        return va_arg(args, long long);
    case Length::j:
        return va_arg(args, intmax_t);
    case Length::z:
        return va_arg(args, ssize_t);
    case Length::t:
        return va_arg(args, ptrdiff_t);
    default:
        return va_arg(args, int);
    }
}

unsigned long long unsigned_arg(Length l, va_list &args) {
    switch (l) {
    case Length::hh:
        return static_cast<unsigned char>(va_arg(args, unsigned));
    case Length::h:
        return static_cast<unsigned short>(va_arg(args, unsigned));
    case Length::l:
        return va_arg(args, unsigned long);
    case Length::ll:
        return va_arg(args, unsigned long long);
    case Length::j:
        return va_arg(args, uintmax_t);
    case Length::z:
        return va_arg(args, size_t);
    case Length::t:
        return static_cast<unsigned long long>(va_arg(args, ptrdiff_t));
    default:
        return va_arg(args, unsigned);
    }
}

// One conversion; false when it is not supported (nothing was read for it).
bool convert(Sink &sink, const Field &s, va_list &args, bool &failed) {
    char pattern[16];
    Narrow narrow;
    char16_t c = s.conversion;
    switch (c) {
    case u'%':
        sink.put(u'%');
        return true;
    case u'd':
    case u'i':
        narrow_pattern(s, "ll", 'd', pattern);
        failed = !narrow.format(pattern, s.precision, signed_arg(s.length, args));
        if (!failed)
            narrow.emit(sink, s, s.precision < 0);
        return true;
    case u'u':
    case u'o':
    case u'x':
    case u'X':
        narrow_pattern(s, "ll", static_cast<char>(c), pattern);
        failed = !narrow.format(pattern, s.precision, unsigned_arg(s.length, args));
        if (!failed)
            narrow.emit(sink, s, s.precision < 0);
        return true;
    case u'e':
    case u'E':
    case u'f':
    case u'F':
    case u'g':
    case u'G':
    case u'a':
    case u'A':
        narrow_pattern(s, length_text(s.length), static_cast<char>(c), pattern);
        if (s.length == Length::L)
            failed = !narrow.format(pattern, s.precision, va_arg(args, long double));
        else
            failed = !narrow.format(pattern, s.precision, va_arg(args, double));
        if (!failed)
            narrow.emit(sink, s, true);
        return true;
    case u'p':
        failed = !narrow.format("%.*p", -1, va_arg(args, void *));
        if (!failed)
            narrow.emit(sink, s, false);
        return true;
    case u'c':
        emit_char(sink, s, va_arg(args, int));
        return true;
    case u's':
        if (s.length == Length::l)
            emit_wide(sink, s, va_arg(args, const char16_t *));
        else
            emit_narrow_string(sink, s, va_arg(args, const char *));
        return true;
    default:
        return false;
    }
}

} // namespace

long long format_utf16(char16_t *buf, size_t size, const char16_t *fmt, va_list args_in) {
    Sink sink(buf, size);
    va_list args;
    va_copy(args, args_in);
    bool failed = false;
    for (const char16_t *p = fmt; *p != 0 && !failed;) {
        if (*p != u'%') {
            sink.put(*p++);
            continue;
        }
        const char16_t *start = p++;
        Field s;
        if (!parse_field(p, s, args) || s.conversion == 0 || !convert(sink, s, args, failed)) {
            // Unknown ground: no more arguments are read.
            for (p = start; *p != 0; ++p)
                sink.put(*p);
            break;
        }
        ++p;
    }
    va_end(args);
    long long n = sink.finish();
    return failed ? -1 : n;
}

} // namespace ztbase::text
