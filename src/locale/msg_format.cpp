// Formatting a message: the catalogue text or the caller's default, checked
// against the default's arguments, the system error text in place of "%%s",
// narrow and UTF-16 output; and the catalogue interface the status texts and
// date texts reach through base/message_lookup.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/log_sink.h"
#include "base/module_hooks.h"
#include "locale/messages_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/messages.h"
#include "ztbase/status.h"
#include "ztbase/strings.h"

namespace ztbase::messages {

namespace {

// What a conversion reads from the argument list.
enum class Arg : unsigned char { None, Int, Long, Double, LongDouble, Pointer, String, WideString };

// A format's arguments by position; no allocation, since every qlgetmsg
// checks its catalogue text against its default.
constexpr int kMaxArgs = 64;
struct Signature {
    bool valid = true;       // every conversion understood, none writes (%n)
    bool positional = false; // "%1$s" style
    int sequential = 0;      // arguments read without positions
    int highest = 0;         // the highest position read
    Arg args[kMaxArgs] = {}; // args[i]: what position i + 1 is read as
};

bool digit(char c) {
    return c >= '0' && c <= '9';
}

// A field width or precision beyond this is refused: the formatter would
// pad or compute every character of it even into a small buffer, so a
// catalogue line of "%2000000000s" would stall each lookup for seconds
// ("%.2000000000f" for minutes).
constexpr int kMaxField = 8192;

// Steps over the digits of a width or precision; false when they ask for more
// than kMaxField.
bool field(const char *&p) {
    int n = 0;
    for (; digit(*p); ++p)
        if (n <= kMaxField)
            n = n * 10 + (*p - '0');
    return n <= kMaxField;
}

// Reads "<n>$" at p when present; 0 when there is none.
int position(const char *&p) {
    const char *q = p;
    int n = 0;
    while (digit(*q) && n < 10000)
        n = n * 10 + (*q++ - '0');
    if (q == p || *q != '$' || n == 0)
        return 0;
    p = q + 1;
    return n;
}

void add(Signature &s, int pos, Arg a) {
    if (pos == 0) {
        if (s.positional)
            s.valid = false; // mixed forms
        pos = ++s.sequential;
    } else {
        if (s.sequential > 0)
            s.valid = false;
        s.positional = true;
    }
    if (pos > kMaxArgs) {
        s.valid = false;
        return;
    }
    Arg &slot = s.args[pos - 1];
    if (slot != Arg::None && slot != a)
        s.valid = false; // one argument read as two kinds
    slot = a;
    if (pos > s.highest)
        s.highest = pos;
}

Signature scan(const char *f) {
    Signature s;
    for (const char *p = f; *p != '\0' && s.valid;) {
        if (*p++ != '%')
            continue;
        if (*p == '%') {
            ++p;
            continue;
        }
        const int pos = position(p);
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0' || *p == '\'' ||
               *p == 'I')
            ++p;
        if (*p == '*') {
            ++p;
            add(s, position(p), Arg::Int);
        } else if (!field(p)) {
            s.valid = false;
            break;
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                ++p;
                add(s, position(p), Arg::Int);
            } else if (!field(p)) {
                s.valid = false;
                break;
            }
        }
        int longs = 0;
        bool long_double = false;
        for (;; ++p) {
            if (*p == 'h')
                continue;
            if (*p == 'l')
                ++longs;
            else if (*p == 'q' || *p == 'j' || *p == 'z' || *p == 'Z' || *p == 't')
                longs = 2;
            else if (*p == 'L')
                long_double = true, longs = 2;
            else
                break;
        }
        const char conv = *p;
        if (conv == '\0') {
            s.valid = false;
            break;
        }
        ++p;
        switch (conv) {
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X':
            add(s, pos, longs > 0 ? Arg::Long : Arg::Int);
            break;
        case 'c':
        case 'C':
            add(s, pos, Arg::Int);
            break;
        case 's':
            add(s, pos, longs > 0 ? Arg::WideString : Arg::String);
            break;
        case 'S':
            add(s, pos, Arg::WideString);
            break;
        case 'p':
            add(s, pos, Arg::Pointer);
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            add(s, pos, long_double ? Arg::LongDouble : Arg::Double);
            break;
        case 'm':
            break; // the text of errno: reads no argument
        default:
            s.valid = false; // %n and anything unknown
        }
    }
    return s;
}

} // namespace

bool formats_compatible(const char *candidate, const char *reference) {
    const Signature c = scan(candidate);
    if (!c.valid)
        return false;
    const Signature r = scan(reference);
    for (int i = 0; i < c.highest; ++i) {
        // No gap in the positions: the formatter could not step over a hole.
        if (c.args[i] == Arg::None || c.args[i] != r.args[i])
            return false;
    }
    return true;
}

namespace {

std::string escape_percent(const std::string &text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '%')
            out += '%';
    }
    return out;
}

// Replaces each "%%s" that is a placeholder (not the tail of "%%%s" and the
// like: conversions are stepped over whole) by `text`.
template <class Str> Str replace_placeholder(const Str &format, const Str &text) {
    Str out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 >= format.size()) {
            out += format[i];
            continue;
        }
        if (format[i + 1] == '%') {
            if (i + 2 < format.size() && format[i + 2] == 's') {
                out += text;
                i += 2;
            } else {
                out += format[i];
                out += format[i + 1];
                ++i;
            }
            continue;
        }
        out += format[i]; // a conversion: its letters are copied as they come
    }
    return out;
}

std::string system_text(int code) {
    char buf[512];
    std::string text = V_syserror(code, buf, sizeof buf);
    std::string utf8;
    if (converting() && acp_to_utf8(text, utf8))
        text.swap(utf8);
    return text;
}

// The catalogue text of id when it may stand in for default_format (UTF-8),
// into text; false when the default is to be used.
bool catalogue_format(const char *id, const char *locale, const char *default_utf8,
                      std::string &text) {
    constexpr const char *fn = "qlgetmsg";
    // This thread's last text: asked for again before any unload, it is
    // still the cache's, and no lock is taken.
    thread_local std::string last_id, last_locale, last_text;
    thread_local uint64_t last_generation = 0, last_record = 0;
    uint64_t record = 0;
    const uint64_t now = generation();
    if (now == last_generation && last_id == id && last_locale == locale) {
        text = last_text;
        record = last_record;
    } else {
        if (!find_text(locale, id, false, text, &record))
            return false;
        last_id = id;
        last_locale = locale;
        last_text = text;
        last_record = record;
        last_generation = now;
    }
    if (converting()) {
        std::string utf8;
        if (!acp_to_utf8(text, utf8)) {
            logsink::logf(ZTLOG_WARNING, 0, fn, "text of %s in %s cannot be converted", id, locale);
            return false;
        }
        text.swap(utf8);
    }
    // The last verdict of this thread: a message formatted again and again
    // is checked once. (A converted text is checked each time.)
    thread_local uint64_t checked_record = 0;
    thread_local std::string checked_default;
    thread_local bool checked_ok = false;
    if (converting() || record != checked_record || checked_default != default_utf8) {
        checked_ok = formats_compatible(text.c_str(), default_utf8);
        checked_record = converting() ? 0 : record;
        checked_default = default_utf8;
    }
    if (!checked_ok) {
        logsink::logf(ZTLOG_WARNING, 0, fn,
                      "text of %s in %s reads other arguments than its default: not used", id,
                      locale);
        return false;
    }
    return true;
}

int format_narrow(const char *id, const char *locale, size_t size, char *out, const char *id2,
                  size_t size2, char *out2, const int *syserr, const char *default_format,
                  va_list args) {
    if (id == nullptr || locale == nullptr || out == nullptr || default_format == nullptr)
        return -1;
    const int saved = errno;
    const std::string error =
        syserr != nullptr ? escape_percent(system_text(*syserr)) : std::string();
    auto emit = [&](const char *which, size_t n, char *buf, va_list ap) {
        thread_local std::string text; // keeps its capacity from call to call
        const bool found = catalogue_format(which, locale, default_format, text);
        const char *format = found ? text.c_str() : default_format;
        std::string replaced;
        if (syserr != nullptr) {
            replaced = replace_placeholder(std::string(format), error);
            format = replaced.c_str();
        }
        if (n > 0)
            V_vsnprintf(buf, n, format, ap);
        return found;
    };
    va_list first;
    va_copy(first, args);
    const bool found = emit(id, size, out, first);
    va_end(first);
    if (out2 != nullptr && size2 > 0) {
        if (found && id2 != nullptr) {
            va_list second;
            va_copy(second, args);
            emit(id2, size2, out2, second);
            va_end(second);
        } else {
            out2[0] = '\0';
        }
    }
    errno = saved;
    return 0;
}

std::u16string to_u16(const std::string &utf8, bool &ok) {
    char16_t *w = V_StrDupUTF8ToWide(utf8.c_str());
    ok = w != nullptr;
    std::u16string out = ok ? std::u16string(w) : std::u16string();
    free(w);
    return out;
}

std::string to_utf8(const char16_t *w) {
    char *s = V_StrDupWideToUTF8(w);
    std::string out = s != nullptr ? s : "";
    free(s);
    return out;
}

std::u16string system_text16(int code) {
    char buf[512];
    V_syserror(code, buf, sizeof buf);
    char16_t *w = V_StrDupACPToWide(buf);
    std::u16string text = w != nullptr ? std::u16string(w) : u"Unknown error";
    free(w);
    std::u16string out;
    for (char16_t c : text) {
        out += c;
        if (c == u'%')
            out += u'%';
    }
    return out;
}

int format_wide(const char *id, const char *locale, size_t size, char16_t *out, const char *id2,
                size_t size2, char16_t *out2, const int *syserr, const char16_t *default_format,
                va_list args) {
    if (id == nullptr || locale == nullptr || out == nullptr || default_format == nullptr)
        return -1;
    const int saved = errno;
    const std::string default_utf8 = to_utf8(default_format);
    const std::u16string error = syserr != nullptr ? system_text16(*syserr) : u"";
    auto emit = [&](const char *which, size_t n, char16_t *buf, va_list ap) {
        std::string text;
        bool found = catalogue_format(which, locale, default_utf8.c_str(), text);
        std::u16string format;
        if (found)
            format = to_u16(text, found);
        if (!found)
            format = default_format;
        if (syserr != nullptr)
            format = replace_placeholder(format, error);
        if (n > 0)
            V_vsnwprintf(buf, n, format.c_str(), ap);
        return found;
    };
    va_list first;
    va_copy(first, args);
    const bool found = emit(id, size, out, first);
    va_end(first);
    if (out2 != nullptr && size2 > 0) {
        if (found && id2 != nullptr) {
            va_list second;
            va_copy(second, args);
            emit(id2, size2, out2, second);
            va_end(second);
        } else {
            out2[0] = u'\0';
        }
    }
    errno = saved;
    return 0;
}

// ---- the interface of base/message_lookup ----

int catalogue_vlookup(const char *id, const char *locale, size_t size, char *out,
                      const char *default_format, va_list args) {
    return format_narrow(id, locale, size, out, nullptr, 0, nullptr, nullptr, default_format, args);
}

int lookup_status(char *out, size_t size, const char *id, const char *locale, ...) {
    va_list ap;
    va_start(ap, locale);
    const int rc = catalogue_vlookup(id, locale, size, out, "%s", ap);
    va_end(ap);
    return rc;
}

// Status texts come from the same catalogues, as "NecErr<code>N".
bool catalogue_status(int code, const char *locale, std::string &out) {
    const char *english = getECmsg(code);
    if (locale == nullptr) {
        out = english;
        return true;
    }
    char id[16], text[1024];
    snprintf(id, sizeof id, "NecErr%.4dN", code);
    if (lookup_status(text, sizeof text, id, locale, english) != 0)
        return false;
    out = text;
    return true;
}

constexpr msg::Catalogue kCatalogue{catalogue_vlookup, catalogue_status};

} // namespace

const msg::Catalogue *catalogue() {
    return &kCatalogue;
}

} // namespace ztbase::messages

namespace m = ztbase::messages;

namespace ztbase {

// The message cache lives until the library is unloaded.
void message_cache_event(LoadReason reason) {
    if (reason == LoadReason::ProcessDetach)
        messages::unload();
}

} // namespace ztbase

extern "C" ZTBASE_API int qlgetmsgv(const char *id, const char *locale, size_t size, char *out,
                                    const char *id2, size_t size2, char *out2,
                                    const char *default_format, va_list args) {
    return m::format_narrow(id, locale, size, out, id2, size2, out2, nullptr, default_format, args);
}

extern "C" ZTBASE_API int qlgetmsg(const char *id, const char *locale, size_t size, char *out,
                                   const char *id2, size_t size2, char *out2,
                                   const char *default_format, ...) {
    va_list ap;
    va_start(ap, default_format);
    const int rc =
        m::format_narrow(id, locale, size, out, id2, size2, out2, nullptr, default_format, ap);
    va_end(ap);
    return rc;
}

extern "C" ZTBASE_API int qlgetmsgv_errno(const char *id, const char *locale, size_t size,
                                          char *out, const char *id2, size_t size2, char *out2,
                                          int syserr, const char *default_format, va_list args) {
    return m::format_narrow(id, locale, size, out, id2, size2, out2, &syserr, default_format, args);
}

extern "C" ZTBASE_API int qlgetmsg_errno(const char *id, const char *locale, size_t size, char *out,
                                         const char *id2, size_t size2, char *out2, int syserr,
                                         const char *default_format, ...) {
    va_list ap;
    va_start(ap, default_format);
    const int rc =
        m::format_narrow(id, locale, size, out, id2, size2, out2, &syserr, default_format, ap);
    va_end(ap);
    return rc;
}

extern "C" ZTBASE_API int qlgetmsgvW(const char *id, const char *locale, size_t size, char16_t *out,
                                     const char *id2, size_t size2, char16_t *out2,
                                     const char16_t *default_format, va_list args) {
    return m::format_wide(id, locale, size, out, id2, size2, out2, nullptr, default_format, args);
}

extern "C" ZTBASE_API int qlgetmsgW(const char *id, const char *locale, size_t size, char16_t *out,
                                    const char *id2, size_t size2, char16_t *out2,
                                    const char16_t *default_format, ...) {
    va_list ap;
    va_start(ap, default_format);
    const int rc =
        m::format_wide(id, locale, size, out, id2, size2, out2, nullptr, default_format, ap);
    va_end(ap);
    return rc;
}

extern "C" ZTBASE_API int qlgetmsgv_errnoW(const char *id, const char *locale, size_t size,
                                           char16_t *out, const char *id2, size_t size2,
                                           char16_t *out2, int syserr,
                                           const char16_t *default_format, va_list args) {
    return m::format_wide(id, locale, size, out, id2, size2, out2, &syserr, default_format, args);
}

extern "C" ZTBASE_API int qlgetmsg_errnoW(const char *id, const char *locale, size_t size,
                                          char16_t *out, const char *id2, size_t size2,
                                          char16_t *out2, int syserr,
                                          const char16_t *default_format, ...) {
    va_list ap;
    va_start(ap, default_format);
    const int rc =
        m::format_wide(id, locale, size, out, id2, size2, out2, &syserr, default_format, ap);
    va_end(ap);
    return rc;
}
