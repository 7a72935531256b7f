// The system-log interface in the style of openlog/syslog/closelog: messages go
// to the event log under the event source of the program.
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <wchar.h>

#include "platform/eventlog.h"
#include "ztbase/cmnlog.h"

namespace {

constexpr size_t kFormatLimit = 1024; // the expanded format, without its NUL
constexpr size_t kTextSize = 1025;    // the formatted event string with its NUL

struct SourceRow {
    const char *ident;
    const char *source;
};

const SourceRow kSources[] = {
    {"vmd", "Zentor Volume Manager"},
    {"bpdbm", "Zentor Database Manager"},
    {"bprd", "Zentor Request Daemon"},
    {"bptm", "Zentor Tape Manager"},
    {"ltid", "Zentor Device Manager"},
    {"avrd", "Zentor AVR Daemon"},
    {"tldd", "Zentor TLD Daemon"},
    {"tldcd", "Zentor TLD Control Daemon"},
    {"ts8d", "Zentor TS8 Daemon"},
    {"tl8d", "Zentor TL8 Daemon"},
    {"tl8cd", "Zentor TL8 Control Daemon"},
    {"tc8d", "Zentor TC8 Daemon"},
    {"tc4d", "Zentor TC4 Daemon"},
    {"tl4d", "Zentor TL4 Daemon"},
    {"tsdd", "Zentor TSD Daemon"},
    {"tshd", "Zentor TSH Daemon"},
    {"tlhd", "Zentor TLH Daemon"},
    {"tlhcd", "Zentor TLH Control Daemon"},
    {"lmfd", "Zentor LMF Daemon"},
    {"lmfcd", "Zentor LMF Control Daemon"},
    {"tlmd", "Zentor TLM Daemon"},
    {"acsd", "Zentor ACS Daemon"},
    {"rsmd", "Zentor RSM Daemon"},
    {"bpcd", "Zentor Client Service"},
    {"vnetd", "Zentor Legacy Network Service"},
    {"tar32", "Zentor Legacy Client Service"},
    {"bpbkar32", "Zentor Legacy Client Service"},
    {"bpinetd", "Zentor Legacy Client Service"},
    {"bmrd", "Zentor Bare Metal Restore Master Server"},
    {"bmrbd", "Zentor Bare Metal Restore Boot Server"},
    {"bpcompatd", "Zentor Compatibility Service"},
};

std::mutex g_mutex;
const char *g_source = nullptr; // static storage: syslog keeps the pointer

const char *source_for(const char *ident) {
    if (ident != nullptr)
        for (const SourceRow &row : kSources)
            if (strcmp(row.ident, ident) == 0)
                return row.source;
    return "Zentor";
}

const char *registered_source() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_source;
}

void report(const char *source, int priority, const char *text) {
    ztbase::eventlog::Event event;
    event.source = source;
    event.priority = priority;
    event.type = ztbase::eventlog::type_for_priority(priority);
    event.strings.emplace_back(text);
    ztbase::eventlog::report(event);
}

// Appends `piece` to a format being built, whole or not at all, within the limit.
bool append_piece(std::string &out, const char *piece, size_t n) {
    if (out.size() + n > kFormatLimit)
        return false;
    out.append(piece, n);
    return true;
}

// Replaces each "%m" not escaped by a preceding "%" with the error text (its own
// percent signs doubled, so that they print as themselves).
std::string expand_errno(const char *format, int err) {
    std::string out;
    const char *errtext = strerror(err);
    for (const char *p = format; *p != '\0';) {
        if (p[0] == '%' && p[1] == '%') {
            if (!append_piece(out, p, 2))
                break;
            p += 2;
        } else if (p[0] == '%' && p[1] == 'm') {
            std::string escaped;
            for (const char *e = errtext; *e != '\0'; ++e) {
                escaped.push_back(*e);
                if (*e == '%')
                    escaped.push_back('%');
            }
            if (!append_piece(out, escaped.data(), escaped.size()))
                break;
            p += 2;
        } else {
            if (!append_piece(out, p, 1))
                break;
            ++p;
        }
    }
    // A cut must not leave a lone "%" at the end for the formatter to read past.
    size_t percents = 0;
    for (size_t i = out.size(); i > 0 && out[i - 1] == '%'; --i)
        ++percents;
    if (percents % 2 == 1)
        out.pop_back();
    return out;
}

// Formats like vsnprintf, but a null string argument prints as "<NULL>" and
// "%m" prints the error text; "%n" writes nothing.
void format_event(char *out, size_t size, const char *format, int err, va_list ap) {
    size_t used = 0;
    auto put = [&](const char *text, size_t n) {
        size_t room = size - 1 - used;
        if (n > room)
            n = room;
        memcpy(out + used, text, n);
        used += n;
    };
    for (const char *p = format; *p != '\0' && used < size - 1;) {
        if (*p != '%') {
            const char *next = strchr(p, '%');
            size_t n = next != nullptr ? static_cast<size_t>(next - p) : strlen(p);
            put(p, n);
            p += n;
            continue;
        }
        // One conversion: %[flags][width][.precision][length]conversion
        std::string spec = "%";
        const char *q = p + 1;
        while (*q != '\0' && strchr("-+ #0'", *q) != nullptr)
            spec.push_back(*q++);
        if (*q == '*') {
            spec += std::to_string(va_arg(ap, int));
            ++q;
        } else {
            while (*q >= '0' && *q <= '9')
                spec.push_back(*q++);
        }
        if (*q == '.') {
            spec.push_back(*q++);
            if (*q == '*') {
                spec += std::to_string(va_arg(ap, int));
                ++q;
            } else {
                while (*q >= '0' && *q <= '9')
                    spec.push_back(*q++);
            }
        }
        std::string length;
        while (*q != '\0' && strchr("hljztLq", *q) != nullptr)
            length.push_back(*q++);
        const char conv = *q;
        if (conv == '\0') { // a lone "%" at the end prints as itself
            put(p, static_cast<size_t>(q - p));
            break;
        }
        p = q + 1;
        char piece[512];
        int n = 0;
        const std::string full = spec + length + conv;
        switch (conv) {
        case '%':
            put("%", 1);
            continue;
        case 'm': {
            const char *text = strerror(err);
            put(text, strlen(text));
            continue;
        }
        case 'n':
            (void)va_arg(ap, void *);
            continue;
        case 'd':
        case 'i':
            if (length == "hh" || length == "h" || length.empty())
                n = snprintf(piece, sizeof piece, full.c_str(), va_arg(ap, int));
            else if (length == "l")
                n = snprintf(piece, sizeof piece, full.c_str(), va_arg(ap, long));
            else if (length == "ll" || length == "q")
                n = snprintf(piece, sizeof piece, (spec + "ll" + conv).c_str(),
                             va_arg(ap, long long));
            else if (length == "j")
                n = snprintf(piece, sizeof piece, full.c_str(), va_arg(ap, intmax_t));
            else if (length == "z")
                n = snprintf(piece, sizeof piece, full.c_str(), va_arg(ap, ssize_t));
            else
                n = snprintf(piece, sizeof piece, full.c_str(), va_arg(ap, ptrdiff_t));
            break;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            if (length == "hh" || length == "h" || length.empty())
                n = snprintf(piece, sizeof piece, full.c_str(), va_arg(ap, unsigned));
            else if (length == "l")
                n = snprintf(piece, sizeof piece, full.c_str(), va_arg(ap, unsigned long));
            else if (length == "ll" || length == "q")
                n = snprintf(piece, sizeof piece, (spec + "ll" + conv).c_str(),
                             va_arg(ap, unsigned long long));
            else if (length == "j")
                n = snprintf(piece, sizeof piece, full.c_str(), va_arg(ap, uintmax_t));
            else
                n = snprintf(piece, sizeof piece, full.c_str(), va_arg(ap, size_t));
            break;
        case 'c':
            if (length == "l")
                n = snprintf(piece, sizeof piece, full.c_str(), va_arg(ap, wint_t));
            else
                n = snprintf(piece, sizeof piece, full.c_str(), va_arg(ap, int));
            break;
        case 's': {
            if (length == "l") {
                const wchar_t *w = va_arg(ap, const wchar_t *);
                n = w != nullptr ? snprintf(piece, sizeof piece, full.c_str(), w)
                                 : snprintf(piece, sizeof piece, (spec + 's').c_str(), "<NULL>");
                break;
            }
            const char *s = va_arg(ap, const char *);
            // Strings may be longer than the piece buffer: format them straight in.
            size_t room = size - used;
            int w = snprintf(out + used, room, full.c_str(), s != nullptr ? s : "<NULL>");
            if (w > 0)
                used += static_cast<size_t>(w) < room ? static_cast<size_t>(w) : room - 1;
            continue;
        }
        case 'p':
            n = snprintf(piece, sizeof piece, full.c_str(), va_arg(ap, void *));
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (length == "L")
                n = snprintf(piece, sizeof piece, full.c_str(), va_arg(ap, long double));
            else
                n = snprintf(piece, sizeof piece, (spec + conv).c_str(), va_arg(ap, double));
            break;
        default: // not a conversion: print it as written
            put(full.c_str() + 0, 1);
            p = q;
            continue;
        }
        if (n > 0)
            put(piece,
                static_cast<size_t>(n) < sizeof piece ? static_cast<size_t>(n) : sizeof piece - 1);
    }
    out[used] = '\0';
}

} // namespace

extern "C" ZTBASE_API void V_Openlog(const char *ident, int option, int facility) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_source != nullptr)
        return;
    g_source = source_for(ident);
    ztbase::eventlog::open_source(g_source, option, facility);
}

extern "C" ZTBASE_API void NTsyslog(int priority, const char *format, ...) {
    const int err = errno;
    const char *source = registered_source();
    if (source == nullptr || format == nullptr)
        return;
    const std::string expanded = expand_errno(format, err);
    char text[kTextSize];
    va_list ap;
    va_start(ap, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = vsnprintf(text, sizeof text, expanded.c_str(), ap);
#pragma GCC diagnostic pop
    va_end(ap);
    if (n < 0)
        text[0] = '\0';
    report(source, priority, text);
    errno = err;
}

extern "C" ZTBASE_API void V_Syslog(int priority, const char *format, ...) {
    const int err = errno;
    const char *source = registered_source();
    if (source == nullptr || format == nullptr)
        return;
    char text[kTextSize];
    va_list ap;
    va_start(ap, format);
    format_event(text, sizeof text, format, err, ap);
    va_end(ap);
    report(source, priority, text);
    errno = err;
}

extern "C" ZTBASE_API void V_Closelog(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_source == nullptr)
        return;
    ztbase::eventlog::close_source();
    g_source = nullptr;
}
