// The system-log interface in the style of openlog/syslog/closelog: messages go
// to the event log under the event source of the program.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <syslog.h>
#include <vector>
#include <wchar.h>

#include "logging/syslog_internal.h"
#include "platform/eventlog.h"
#include "ztbase/cmnlog.h"

namespace {

constexpr size_t kFormatLimit = 1024; // an event text, in bytes
// Widths and precisions beyond this print the same first kFormatLimit bytes.
constexpr int kFieldLimit = 100000;

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

// Formatting -------------------------------------------------------------
//
// printf's own rules, conversion by conversion, so that a null string can print
// as a text of our choice: the format is parsed first (positional arguments
// and "*" included), the arguments are fetched in order of position with their
// types, then each conversion is printed by snprintf with its own argument.

enum class Arg {
    None,
    Int,
    Long,
    LongLong,
    IntMax,
    Size,
    PtrDiff,
    Double,
    LongDouble,
    Pointer,
    WInt
};

struct Conversion {
    const char *begin = nullptr, *end = nullptr; // the text of the conversion
    std::string flags;
    int width = -1, width_arg = -1; // a number, or the argument holding it
    int precision = -1, precision_arg = -1;
    bool has_precision = false;
    std::string length;
    char conv = 0;
    int arg = -1; // the argument printed, -1 for none
};

union ArgValue {
    long long ll;
    long l;
    int i;
    intmax_t j;
    ssize_t z;
    ptrdiff_t t;
    double d;
    long double ld;
    void *p;
    wint_t wc;
};

Arg arg_type(char conv, const std::string &length) {
    switch (conv) {
    case 'd':
    case 'i':
    case 'u':
    case 'o':
    case 'x':
    case 'X':
        if (length == "l")
            return Arg::Long;
        if (length == "ll" || length == "q" || length == "L")
            return Arg::LongLong;
        if (length == "j")
            return Arg::IntMax;
        if (length == "z" || length == "Z")
            return Arg::Size;
        if (length == "t")
            return Arg::PtrDiff;
        return Arg::Int;
    case 'c':
        return length == "l" ? Arg::WInt : Arg::Int;
    case 'C':
        return Arg::WInt;
    case 's':
    case 'S':
    case 'p':
    case 'n':
        return Arg::Pointer;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        return length == "L" ? Arg::LongDouble : Arg::Double;
    default:
        return Arg::None;
    }
}

// Reads "N$" at p; the zero-based position, or -1 (p unchanged) when absent.
int position(const char *&p) {
    const char *q = p;
    int n = 0;
    while (*q >= '0' && *q <= '9' && n < 100000)
        n = n * 10 + (*q++ - '0');
    if (q == p || *q != '$' || n == 0)
        return -1;
    p = q + 1;
    return n - 1;
}

// Parses one conversion at p (on its "%"); false when p holds none.
bool parse_conversion(const char *p, int &next, Conversion &c, std::vector<Arg> &types) {
    auto want = [&types](int index, Arg type) {
        if (index >= static_cast<int>(types.size()))
            types.resize(static_cast<size_t>(index) + 1, Arg::None);
        types[static_cast<size_t>(index)] = type;
    };
    c = Conversion{};
    c.begin = p;
    const char *q = p + 1;
    int value_pos = position(q);
    while (*q != '\0' && strchr("-+ #0'I", *q) != nullptr)
        c.flags.push_back(*q++);
    if (*q == '*') {
        ++q;
        int pos = position(q);
        c.width_arg = pos >= 0 ? pos : next++;
        want(c.width_arg, Arg::Int);
    } else {
        for (c.width = 0; *q >= '0' && *q <= '9';)
            c.width = std::min(c.width * 10 + (*q++ - '0'), kFieldLimit);
    }
    if (*q == '.') {
        ++q;
        c.has_precision = true;
        if (*q == '*') {
            ++q;
            int pos = position(q);
            c.precision_arg = pos >= 0 ? pos : next++;
            want(c.precision_arg, Arg::Int);
        } else {
            for (c.precision = 0; *q >= '0' && *q <= '9';)
                c.precision = std::min(c.precision * 10 + (*q++ - '0'), kFieldLimit);
        }
    }
    while (*q != '\0' && strchr("hljztLqZ", *q) != nullptr)
        c.length.push_back(*q++);
    c.conv = *q;
    if (c.conv == '\0')
        return false;
    c.end = q + 1;
    const Arg type = arg_type(c.conv, c.length);
    if (type != Arg::None) {
        c.arg = value_pos >= 0 ? value_pos : next++;
        want(c.arg, type);
    }
    return true;
}

// Appends what snprintf prints for one conversion; nothing when it fails.
template <typename T> void print_piece(std::string &out, const std::string &spec, T value) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    char small[256];
    int n = snprintf(small, sizeof small, spec.c_str(), value);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    n = snprintf(big.data(), big.size(), spec.c_str(), value);
#pragma GCC diagnostic pop
    if (n > 0)
        out.append(big.data(), static_cast<size_t>(n));
}

// Formats as printf does, but a null string argument prints as null_text and
// "%m" prints the text of err; "%n" writes nothing. The whole text is cut to
// kFormatLimit bytes afterwards.
// The conversions of format in order; types receives each argument's type.
std::vector<Conversion> conversions_of(const char *format, std::vector<Arg> &types) {
    std::vector<Conversion> conversions;
    int next = 0;
    for (const char *p = strchr(format, '%'); p != nullptr; p = strchr(p, '%')) {
        Conversion c;
        if (!parse_conversion(p, next, c, types))
            break;
        conversions.push_back(c);
        p = c.end;
    }
    return conversions;
}

// The arguments, taken from ap in order as their types say.
std::vector<ArgValue> fetch_arguments(const std::vector<Arg> &types, va_list ap) {
    std::vector<ArgValue> args(types.size());
    for (size_t i = 0; i < types.size(); ++i) {
        switch (types[i]) {
        case Arg::None: // a gap printf does not allow either: take an int's place
        case Arg::Int:
            args[i].i = va_arg(ap, int);
            break;
        case Arg::Long:
            args[i].l = va_arg(ap, long);
            break;
        case Arg::LongLong:
            args[i].ll = va_arg(ap, long long);
            break;
        case Arg::IntMax:
            args[i].j = va_arg(ap, intmax_t);
            break;
        case Arg::Size:
            args[i].z = va_arg(ap, ssize_t);
            break;
        case Arg::PtrDiff:
            args[i].t = va_arg(ap, ptrdiff_t);
            break;
        case Arg::Double:
            args[i].d = va_arg(ap, double);
            break;
        case Arg::LongDouble:
            args[i].ld = va_arg(ap, long double);
            break;
        case Arg::Pointer:
            args[i].p = va_arg(ap, void *);
            break;
        case Arg::WInt:
            args[i].wc = va_arg(ap, wint_t);
            break;
        }
    }
    return args;
}

// "%", the flags, width and precision of a conversion with its "*" arguments
// resolved and both bounded.
std::string spec_of(const Conversion &c, const std::vector<ArgValue> &args) {
    std::string flags = c.flags;
    int width = c.width_arg >= 0 ? args[static_cast<size_t>(c.width_arg)].i : c.width;
    if (width < 0) { // a negative "*" width is the "-" flag
        flags.push_back('-');
        width = width == INT_MIN ? INT_MAX : -width;
    }
    width = std::min(width, kFieldLimit); // a "*" of INT_MAX would be gigabytes
    int precision =
        c.precision_arg >= 0 ? args[static_cast<size_t>(c.precision_arg)].i : c.precision;
    precision = std::min(precision, kFieldLimit);
    std::string spec = "%" + flags;
    if (width > 0)
        spec += std::to_string(width);
    if (c.has_precision && precision >= 0) // a negative precision is none
        spec += "." + std::to_string(precision);
    return spec;
}

// A numeric conversion with its length modifier.
void print_number(std::string &out, const Conversion &c, const std::string &spec,
                  const ArgValue &v) {
    switch (arg_type(c.conv, c.length)) {
    case Arg::Double:
        print_piece(out, spec + c.conv, v.d);
        break;
    case Arg::LongDouble:
        print_piece(out, spec + "L" + c.conv, v.ld);
        break;
    case Arg::Long:
        print_piece(out, spec + "l" + c.conv, v.l);
        break;
    case Arg::LongLong:
        print_piece(out, spec + "ll" + c.conv, v.ll);
        break;
    case Arg::IntMax:
        print_piece(out, spec + "j" + c.conv, v.j);
        break;
    case Arg::Size:
        print_piece(out, spec + "z" + c.conv, v.z);
        break;
    case Arg::PtrDiff:
        print_piece(out, spec + "t" + c.conv, v.t);
        break;
    default:
        print_piece(out, spec + c.length + c.conv, v.i); // "", "h" or "hh"
        break;
    }
}

// One conversion appended to out.
void print_conversion(std::string &out, const Conversion &c, const std::vector<ArgValue> &args,
                      int err, const char *null_text) {
    const std::string spec = spec_of(c, args);
    const ArgValue *v = c.arg >= 0 ? &args[static_cast<size_t>(c.arg)] : nullptr;
    switch (c.conv) {
    case '%':
        out.push_back('%');
        break;
    case 'm':
        print_piece(out, spec + "s", strerror(err));
        break;
    case 'n':
        break;
    case 's':
    case 'S':
        if (v->p == nullptr)
            print_piece(out, spec + "s", null_text);
        else if (c.conv == 'S' || c.length == "l")
            print_piece(out, spec + "ls", static_cast<const wchar_t *>(v->p));
        else
            print_piece(out, spec + "s", static_cast<const char *>(v->p));
        break;
    case 'c':
    case 'C':
        if (c.conv == 'C' || c.length == "l")
            print_piece(out, spec + "lc", v->wc);
        else
            print_piece(out, spec + "c", v->i);
        break;
    case 'p':
        print_piece(out, spec + "p", v->p);
        break;
    default:
        if (v == nullptr) // not a conversion: printed as written
            out.append(c.begin, static_cast<size_t>(c.end - c.begin));
        else
            print_number(out, c, spec, *v);
    }
}

std::string format_event(const char *format, int err, const char *null_text, va_list ap) {
    std::vector<Arg> types;
    const std::vector<Conversion> conversions = conversions_of(format, types);
    const std::vector<ArgValue> args = fetch_arguments(types, ap);
    std::string out;
    const char *p = format;
    for (const Conversion &c : conversions) {
        if (out.size() >= kFormatLimit)
            break; // the rest is cut anyway
        out.append(p, static_cast<size_t>(c.begin - p));
        p = c.end;
        print_conversion(out, c, args, err, null_text);
    }
    out += p;
    if (out.size() > kFormatLimit)
        out.resize(kFormatLimit);
    return out;
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
    va_list ap;
    va_start(ap, format);
    const std::string text = format_event(format, err, "(null)", ap);
    va_end(ap);
    report(source, priority, text.c_str());
    errno = err;
}

extern "C" ZTBASE_API void V_Syslog(int priority, const char *format, ...) {
    const int err = errno;
    const char *source = registered_source();
    if (source == nullptr || format == nullptr)
        return;
    va_list ap;
    va_start(ap, format);
    const std::string text = format_event(format, err, "<NULL>", ap);
    va_end(ap);
    report(source, priority, text.c_str());
    errno = err;
}

void ztbase::syslog_internal::report_module_event(const char *ident, int priority,
                                                  const char *text) {
    // Under the lock throughout, so that a V_Openlog of another thread cannot
    // slip in between and have its source closed.
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_source != nullptr) {
        report(g_source, priority, text);
        return;
    }
    const char *source = source_for(ident);
    ztbase::eventlog::open_source(source, 0, LOG_USER);
    report(source, priority, text);
    ztbase::eventlog::close_source();
}

extern "C" ZTBASE_API void V_Closelog(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_source == nullptr)
        return;
    ztbase::eventlog::close_source();
    g_source = nullptr;
}
