// Locale-dependent date texts: patterns from the locale file, the one-locale
// cache, AM/PM and the spelled and runtime forms.
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <locale.h>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "base/log_sink.h"
#include "locale/dates_internal.h"
#include "locale/locale_dates.h"
#include "base/message_lookup.h"
#include "platform/posix_io.h"
#include "ztbase/dates.h"
#include "ztbase/debuglog.h"
#include "ztbase/paths.h"
#include "ztbase/strings.h"
#include "platform/posix_io.h"
#include "text/trim.h"

using ztbase::dates::local_fields;
using ztbase::dates::two_digit_year;

namespace ztbase::dates {

namespace {

constexpr const char kDefaultName[] = "ql";
constexpr const char kDefaultTime[] = "hh:mn:ss";
constexpr const char kDefaultDate[] = "mm/dd/yyyy";
constexpr int kMaxHops = 8;
constexpr size_t kMaxSeparator = 4;
constexpr size_t kMaxName = 255;

std::string_view trim(std::string_view s) {
    return ztbase::text::trim(s, ztbase::text::kSpaces);
}

// Next blank-separated token of s, which is advanced past it.
std::string_view next_token(std::string_view &s) {
    s = trim(s);
    const size_t end = s.find(' ');
    std::string_view tok = s.substr(0, end);
    s.remove_prefix(end == std::string_view::npos ? s.size() : end);
    return tok;
}

// A length followed by that many characters, then a blank or the end.
bool counted_name(std::string_view &s, std::string_view &name) {
    std::string_view len = next_token(s);
    if (len.empty() || len.size() > 4)
        return false;
    size_t n = 0;
    for (char c : len) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + static_cast<size_t>(c - '0');
    }
    s = trim(s);
    if (n == 0 || n > s.size() || (n < s.size() && s[n] != ' '))
        return false;
    name = s.substr(0, n);
    s.remove_prefix(n);
    return true;
}

} // namespace

bool has_token(std::string_view pattern) {
    for (const char *t : {"mm", "dd", "yy", "hh", "HH", "mn", "ss"})
        if (pattern.find(t) != std::string_view::npos)
            return true;
    return false;
}

LocaleLine parse_locale_line(std::string_view line) {
    LocaleLine out;
    std::string_view rest = trim(line);
    if (rest.empty() || rest.front() == '#')
        return out;
    const std::string_view kind = next_token(rest);
    std::string_view name, target;
    if (kind == "TM") {
        if (!counted_name(rest, name) || !counted_name(rest, target) || !trim(rest).empty()) {
            out.kind = LocaleLine::Malformed;
            return out;
        }
        out.kind = LocaleLine::Map;
        out.name = name;
        out.target = target;
        return out;
    }
    if (kind != "TL")
        return out;
    out.kind = LocaleLine::Malformed;
    if (!counted_name(rest, name))
        return out;
    const size_t caret = rest.find('^');
    if (caret == std::string_view::npos)
        return out;
    const std::string_view time = trim(rest.substr(0, caret));
    std::string_view after = rest.substr(caret + 1);
    const size_t caret2 = after.find('^');
    const std::string_view date = trim(after.substr(0, caret2));
    if (!has_token(time) || !has_token(date))
        return out;
    // Optional after the second caret: the runtime and database names.
    std::string_view runtime, database;
    if (caret2 != std::string_view::npos) {
        std::string_view tail = after.substr(caret2 + 1);
        if (!trim(tail).empty() && !counted_name(tail, runtime))
            return out;
        if (!trim(tail).empty() && !counted_name(tail, database))
            return out;
    }
    out.kind = LocaleLine::Define;
    out.name = name;
    out.time_pattern = time;
    out.date_pattern = date;
    out.runtime = runtime;
    out.database = database;
    return out;
}

std::vector<LocaleLine> parse_locale_text(std::string_view text, std::vector<int> *malformed) {
    std::vector<LocaleLine> lines;
    int number = 0;
    while (!text.empty()) {
        ++number;
        const size_t nl = text.find('\n');
        std::string line(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        // Tabs, carriage returns and any other control byte read as blanks.
        for (char &c : line)
            if (static_cast<unsigned char>(c) < ' ' || c == 0x7F)
                c = ' ';
        LocaleLine parsed = parse_locale_line(line);
        if (parsed.kind == LocaleLine::Malformed && malformed != nullptr)
            malformed->push_back(number);
        else if (parsed.kind != LocaleLine::Other && parsed.kind != LocaleLine::Malformed)
            lines.push_back(std::move(parsed));
    }
    return lines;
}

bool read_locale_file(const std::string &path, std::vector<LocaleLine> &lines) {
    constexpr const char *fn = "read_locale_file";
    constexpr size_t kMaxLocaleFile = 4 << 20;
    lines.clear();
    std::string text;
    const int rc = pio::read_regular_file(path.c_str(), kMaxLocaleFile, text);
    if (rc != 0) {
        logsink::logf(ZTLOG_DEBUG, 1, fn, "locale file <%s> not readable: errno %d", path.c_str(),
                      rc);
        return false;
    }
    std::vector<int> malformed;
    lines = parse_locale_text(text, &malformed);
    for (int number : malformed)
        logsink::logf(ZTLOG_WARNING, 0, fn, "%s line %d is malformed", path.c_str(), number);
    return true;
}

LocaleRecord builtin_record() {
    LocaleRecord r;
    r.name = kDefaultName;
    r.time_pattern = kDefaultTime;
    r.date_pattern = kDefaultDate;
    return r;
}

namespace {

bool runtime_accepts(const std::string &name, locale_t &loc) {
    // A name with a slash would be read as a path to locale data.
    if (name.empty() || name.size() > kMaxName || name.find('/') != std::string::npos)
        return false;
    loc = newlocale(LC_TIME_MASK, name.c_str(), static_cast<locale_t>(nullptr));
    return loc != static_cast<locale_t>(nullptr);
}

struct FileId {
    std::string path;
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime {};
    bool operator==(const FileId &o) const {
        return path == o.path && exists == o.exists && dev == o.dev && ino == o.ino &&
               size == o.size && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

FileId identify(const std::string &path) {
    FileId id;
    id.path = path;
    struct stat st;
    if (!path.empty() && stat(path.c_str(), &st) == 0) {
        id.exists = true;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        id.size = st.st_size;
        id.mtime = st.st_mtim;
    }
    return id;
}

// One locale at a time: its record, its runtime locale and its AM/PM texts.
// Filled again when another locale is asked for or the locale file changes.
struct Cache {
    std::mutex mutex;
    bool filled = false;
    std::string key;
    FileId file;
    LocaleContext ctx;
};

Cache &cache() {
    static Cache *c = new Cache; // never destroyed: formatters may run during exit
    return *c;
}

void fill(Cache &c, const std::string &key, const FileId &file) {
    if (c.ctx.runtime != static_cast<locale_t>(nullptr))
        freelocale(c.ctx.runtime);
    c.ctx = LocaleContext{};
    c.ctx.record = builtin_record();
    c.key = key;
    c.file = file;
    c.filled = true;

    std::vector<std::string> names; // the name asked for and the targets it maps to
    if (!key.empty()) {
        names.push_back(key);
        std::vector<LocaleLine> lines;
        if (file.exists)
            read_locale_file(file.path, lines);
        if (!file.exists)
            logsink::logf(ZTLOG_DEBUG, 1, "locale_record", "no locale file <%s>: built-in patterns",
                          file.path.c_str());
        bool found = false;
        for (int hop = 0; hop <= kMaxHops && !found; ++hop) {
            const LocaleLine *hit = nullptr;
            for (const LocaleLine &l : lines)
                if (l.name == names.back()) {
                    hit = &l;
                    break;
                }
            if (hit == nullptr)
                break;
            if (hit->kind == LocaleLine::Define) {
                c.ctx.record.name = hit->name;
                c.ctx.record.time_pattern = hit->time_pattern;
                c.ctx.record.date_pattern = hit->date_pattern;
                if (!hit->runtime.empty())
                    names.push_back(hit->runtime); // month and weekday names
                found = true;
            } else if (hop < kMaxHops) {
                names.push_back(hit->target);
            } else {
                logsink::logf(ZTLOG_WARNING, 0, "locale_record",
                              "locale <%s> maps on too many times", key.c_str());
            }
        }
    }
    for (const std::string &n : names)
        if (runtime_accepts(n, c.ctx.runtime))
            break;
    if (c.ctx.runtime == static_cast<locale_t>(nullptr))
        c.ctx.runtime = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(nullptr));

    const char *loc = key.c_str();
    if (msg::lookup("CerTmf0010N", loc, sizeof c.ctx.am, c.ctx.am, "AM") != 0)
        V_strlcpy(c.ctx.am, "AM", sizeof c.ctx.am);
    if (msg::lookup("CerTmf0020N", loc, sizeof c.ctx.pm, c.ctx.pm, "PM") != 0)
        V_strlcpy(c.ctx.pm, "PM", sizeof c.ctx.pm);
}

} // namespace

void with_locale(const char *locale, const std::function<void(const LocaleContext &)> &use) {
    Cache &c = cache();
    const std::string key = locale != nullptr ? std::string(locale) : std::string();
    std::lock_guard<std::mutex> lock(c.mutex);
    const FileId file =
        identify(key.empty() ? std::string() : std::string(getFennicString("LOCALE_FILE")));
    if (!c.filled || c.key != key || !(c.file == file))
        fill(c, key, file);
    use(c.ctx);
}

namespace {

enum class Token { None, Year4, Year2, Month, Day, Hour24, Hour12, Minute, Second };

Token token_at(std::string_view p, size_t i, size_t &len) {
    static const struct {
        const char *text;
        Token token;
    } kTokens[] = {{"yyyy", Token::Year4}, {"yy", Token::Year2},  {"mm", Token::Month},
                   {"dd", Token::Day},     {"hh", Token::Hour24}, {"HH", Token::Hour12},
                   {"mn", Token::Minute},  {"ss", Token::Second}};
    for (const auto &t : kTokens) {
        const size_t n = strlen(t.text);
        if (p.compare(i, n, t.text) == 0) {
            len = n;
            return t.token;
        }
    }
    len = 1;
    return Token::None;
}

// Walks a pattern: each token goes to `emit`, the separators before it (at most
// four characters) are copied. Without seconds the seconds and the separator
// that leads to them are left out.
template <class Emit>
std::string walk(std::string_view pattern, bool seconds, bool &twelve, Emit emit) {
    std::string out, sep;
    twelve = false;
    for (size_t i = 0; i < pattern.size();) {
        size_t len = 1;
        const Token t = token_at(pattern, i, len);
        if (t == Token::None) {
            if (sep.size() < kMaxSeparator)
                sep += pattern[i];
        } else if (t == Token::Second && !seconds) {
            sep.clear();
        } else {
            if (t == Token::Hour12)
                twelve = true;
            out += sep;
            sep.clear();
            out += emit(t);
        }
        i += len;
    }
    return out + sep;
}

std::string number(const char *fmt, int v) {
    char b[16];
    V_snprintf(b, sizeof b, fmt, v);
    return b;
}

} // namespace

std::string format_pattern(const LocaleContext &ctx, std::string_view pattern, const struct tm &f,
                           bool seconds, bool pad12) {
    bool twelve = false;
    std::string text = walk(pattern, seconds, twelve, [&](Token t) -> std::string {
        switch (t) {
        case Token::Year4:
            return number("%04d", f.tm_year + 1900);
        case Token::Year2:
            return number("%02d", two_digit_year(f));
        case Token::Month:
            return number("%02d", f.tm_mon + 1);
        case Token::Day:
            return number("%02d", f.tm_mday);
        case Token::Hour24:
            return number("%02d", f.tm_hour);
        case Token::Hour12: {
            const int h = f.tm_hour % 12 == 0 ? 12 : f.tm_hour % 12;
            return number(pad12 ? "%02d" : "%d", h);
        }
        case Token::Minute:
            return number("%02d", f.tm_min);
        case Token::Second:
            return number("%02d", f.tm_sec);
        case Token::None:
            break;
        }
        return std::string();
    });
    if (twelve) {
        text += ' ';
        text += f.tm_hour < 12 ? ctx.am : ctx.pm;
    }
    return text;
}

std::string display_pattern(const LocaleContext &ctx, const char *locale,
                            std::string_view pattern) {
    bool twelve = false;
    const char *loc = locale != nullptr ? locale : "";
    std::string text = walk(pattern, true, twelve, [&](Token t) -> std::string {
        char b[64];
        int rc = -1;
        switch (t) {
        case Token::Month:
            rc = msg::lookup("CerTmf0100N", loc, sizeof b, b, "mm");
            break;
        case Token::Day:
            rc = msg::lookup("CerTmf0110N", loc, sizeof b, b, "dd");
            break;
        case Token::Year2:
            rc = msg::lookup("CerTmf0120N", loc, sizeof b, b, "yy");
            break;
        case Token::Year4:
            rc = msg::lookup("CerTmf0130N", loc, sizeof b, b, "yyyy");
            break;
        case Token::Hour24:
        case Token::Hour12:
            rc = msg::lookup("CerTmf0140N", loc, sizeof b, b, "HH");
            break;
        case Token::Minute:
            rc = msg::lookup("CerTmf0150N", loc, sizeof b, b, "MM");
            break;
        case Token::Second:
            rc = msg::lookup("CerTmf0160N", loc, sizeof b, b, "SS");
            break;
        case Token::None:
            break;
        }
        return rc == 0 ? std::string(b) : std::string();
    });
    text += ' ';
    if (twelve) {
        text += ctx.am;
        text += '/';
        text += ctx.pm;
    }
    return text;
}

} // namespace ztbase::dates

namespace {

using ztbase::dates::LocaleContext;
using ztbase::dates::with_locale;
namespace msg = ztbase::msg;

const char *loc_or_empty(const char *locale) {
    return locale != nullptr ? locale : "";
}

enum class Special { Infinity, Error, ShortError };

// The localised texts for infinity and for times that cannot be broken down.
char *special_text(char *buf, size_t size, const char *locale, Special which) {
    const char *loc = loc_or_empty(locale);
    int rc = -1;
    switch (which) {
    case Special::Infinity:
        rc = msg::lookup("CerTmf0040N", loc, size, buf, "INFINITY      ");
        break;
    case Special::Error:
        rc = msg::lookup("CerTmf0041N", loc, size, buf, "DATE ERROR    ");
        break;
    case Special::ShortError:
        rc = msg::lookup("CerTmf0042N", loc, size, buf, "DATE ERROR");
        break;
    }
    if (rc != 0)
        V_strlcpy(buf, "DATE ERROR", size);
    return buf;
}

enum Part { kDate = 1, kTime = 2, kBoth = 3 };

// The date and/or time of t by the locale's patterns into buf. Full date and
// time forms answer infinity and failures like datestring; partial forms with
// the short error text.
char *pattern_text(char *buf, size_t size, time_t t, const char *locale, int parts, bool seconds,
                   bool pad12, bool time_first = false) {
    if (parts == kBoth && t == ZT_TIME_INFINITY)
        return special_text(buf, size, locale, Special::Infinity);
    struct tm f;
    if (!local_fields(t, f))
        return special_text(buf, size, locale,
                            parts == kBoth ? Special::Error : Special::ShortError);
    with_locale(locale, [&](const LocaleContext &ctx) {
        std::string date, time;
        if (parts & kDate)
            date = format_pattern(ctx, ctx.record.date_pattern, f, true, true);
        if (parts & kTime)
            time = format_pattern(ctx, ctx.record.time_pattern, f, seconds, pad12);
        std::string text;
        if (parts == kBoth)
            text = time_first ? time + " " + date : date + " " + time;
        else
            text = parts == kDate ? date : time;
        V_strlcpy(buf, text.c_str(), size);
    });
    return buf;
}

// strftime in the locale's runtime locale, cut to size.
void runtime_format(char *buf, size_t size, const char *format, const struct tm &f,
                    const char *locale) {
    with_locale(locale, [&](const LocaleContext &ctx) {
        char text[256];
        size_t n = 0;
        if (ctx.runtime != static_cast<locale_t>(nullptr))
            n = strftime_l(text, sizeof text, format, &f, ctx.runtime);
        else
            n = strftime(text, sizeof text, format, &f);
        if (n == 0)
            text[0] = '\0';
        V_strlcpy(buf, text, size);
    });
}

const char *const kEnglishMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

enum class Spelled { Date, DateTime, DateTimeSec };

char *spelled(char *buf, size_t size, time_t t, const char *locale, Spelled form,
              bool locale_months) {
    struct tm f;
    if (!local_fields(t, f))
        return special_text(buf, size, locale, Special::ShortError);
    char month[64];
    if (locale_months)
        runtime_format(month, sizeof month, "%b", f, locale);
    else
        V_strlcpy(month, kEnglishMonths[f.tm_mon], sizeof month);
    char day[16];
    V_snprintf(day, sizeof day, "%d", f.tm_mday);
    if (form == Spelled::Date) {
        char year[16];
        V_snprintf(year, sizeof year, "%d", f.tm_year + 1900);
        V_snprintf(buf, size, "%s %s  %s", month, day, year);
        return buf;
    }
    char time[64];
    pattern_text(time, sizeof time, t, locale, kTime, form == Spelled::DateTimeSec, false);
    V_snprintf(buf, size, "%s %s %s", month, day, time);
    return buf;
}

int modulo(int v, int m) {
    return ((v % m) + m) % m;
}

// No exception may leave a C function: when memory runs out (the locale
// files, the patterns and the message lookups all allocate), the function
// gives its error text, unlocalised, as finding that text would allocate too.
template <class F> char *guarded(char *buf, size_t size, const char *error, F f) noexcept {
    try {
        return f();
    } catch (...) {
        V_strlcpy(buf, error, size);
        errno = ENOMEM;
        return buf;
    }
}

constexpr const char kLongError[] = "DATE ERROR    ";
constexpr const char kShortError[] = "DATE ERROR";

} // namespace

extern "C" {

char *datestringl(time_t t, const char *locale, int time_first) {
    static char buf[61];
    return guarded(buf, sizeof buf, kLongError, [&] {
        return pattern_text(buf, sizeof buf, t, locale, kBoth, true, false, time_first != 0);
    });
}

char *dateonlystringl(time_t t, const char *locale) {
    static char buf[61];
    return guarded(buf, sizeof buf, kShortError,
                   [&] { return pattern_text(buf, sizeof buf, t, locale, kDate, true, false); });
}

char *short_datestringl(time_t t, const char *locale) {
    static char buf[61];
    return guarded(buf, sizeof buf, kLongError,
                   [&] { return pattern_text(buf, sizeof buf, t, locale, kBoth, false, false); });
}

char *zero_short_datestringl(time_t t, const char *locale) {
    static char buf[61];
    return guarded(buf, sizeof buf, kLongError,
                   [&] { return pattern_text(buf, sizeof buf, t, locale, kBoth, false, true); });
}

char *short_timestringl(time_t t, const char *locale) {
    static char buf[61];
    return guarded(buf, sizeof buf, kShortError,
                   [&] { return pattern_text(buf, sizeof buf, t, locale, kTime, false, false); });
}

char *hhmmssl(time_t t, const char *locale) {
    static char buf[61];
    return guarded(buf, sizeof buf, kShortError,
                   [&] { return pattern_text(buf, sizeof buf, t, locale, kTime, true, false); });
}

char *getdstring(const char *locale) {
    static char buf[61];
    return guarded(buf, sizeof buf, "", [&] {
        with_locale(locale, [&](const LocaleContext &ctx) {
            V_strlcpy(buf, display_pattern(ctx, locale, ctx.record.date_pattern).c_str(),
                      sizeof buf);
        });
        return buf;
    });
}

char *gettstring(const char *locale) {
    static char buf[61];
    return guarded(buf, sizeof buf, "", [&] {
        with_locale(locale, [&](const LocaleContext &ctx) {
            V_strlcpy(buf, display_pattern(ctx, locale, ctx.record.time_pattern).c_str(),
                      sizeof buf);
        });
        return buf;
    });
}

char *dayofweek(int n, const char *locale) {
    static char buf[30];
    return guarded(buf, sizeof buf, "", [&] {
        struct tm f {};
        f.tm_wday = modulo(n, 7);
        runtime_format(buf, sizeof buf, "%A", f, locale);
        return buf;
    });
}

char *monthofyearl(int m, const char *locale) {
    static char buf[30];
    return guarded(buf, sizeof buf, "", [&] {
        struct tm f {};
        f.tm_mon = modulo(m, 12);
        runtime_format(buf, sizeof buf, "%b", f, locale);
        return buf;
    });
}

char *spelled_date(time_t t, const char *locale) {
    static char buf[61];
    return guarded(buf, sizeof buf, kShortError,
                   [&] { return spelled(buf, sizeof buf, t, locale, Spelled::Date, false); });
}

char *spelled_datetime(time_t t, const char *locale) {
    static char buf[61];
    return guarded(buf, sizeof buf, kShortError,
                   [&] { return spelled(buf, sizeof buf, t, locale, Spelled::DateTime, false); });
}

char *spelled_datetimesec(time_t t, const char *locale) {
    static char buf[61];
    return guarded(buf, sizeof buf, kShortError, [&] {
        return spelled(buf, sizeof buf, t, locale, Spelled::DateTimeSec, false);
    });
}

char *spelled_datel(time_t t, const char *locale) {
    static char buf[61];
    return guarded(buf, sizeof buf, kShortError,
                   [&] { return spelled(buf, sizeof buf, t, locale, Spelled::Date, true); });
}

char *spelled_datetimel(time_t t, const char *locale) {
    static char buf[61];
    return guarded(buf, sizeof buf, kShortError,
                   [&] { return spelled(buf, sizeof buf, t, locale, Spelled::DateTime, true); });
}

char *spelled_datetimesecl(time_t t, const char *locale) {
    static char buf[61];
    return guarded(buf, sizeof buf, kShortError,
                   [&] { return spelled(buf, sizeof buf, t, locale, Spelled::DateTimeSec, true); });
}

// The runtime locale is passed to strftime_l rather than switched in for the
// process, so other threads never see it change.
char *fulldatestring(time_t t, const char *locale) {
    static char buf[60];
    return guarded(buf, sizeof buf, kShortError, [&] {
        struct tm f;
        if (!local_fields(t, f))
            return special_text(buf, sizeof buf, locale, Special::ShortError);
        runtime_format(buf, sizeof buf, "%c", f, locale);
        return buf;
    });
}

} // extern "C"
