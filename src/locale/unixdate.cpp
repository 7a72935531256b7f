// Dates typed by users, calendar fields back to time values, and local midnights.
#include <cstring>
#include <ctime>

#include "base/log_sink.h"
#include "locale/dates_internal.h"
#include "ztbase/dates.h"
#include "ztbase/debuglog.h"
#include "ztbase/strings.h"

using ztbase::dates::local_fields;

namespace {

constexpr time_t kLargest = 0x7FFFFFFF;

int compare_fields(const struct tm &a, const struct tm &b) {
    const int pa[] = {a.tm_year, a.tm_mon, a.tm_mday, a.tm_hour, a.tm_min, a.tm_sec};
    const int pb[] = {b.tm_year, b.tm_mon, b.tm_mday, b.tm_hour, b.tm_min, b.tm_sec};
    for (int i = 0; i < 6; ++i)
        if (pa[i] != pb[i])
            return pa[i] < pb[i] ? -1 : 1;
    return 0;
}

bool same_date(const struct tm &a, const struct tm &b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday;
}

int second_of_day(const struct tm &f) {
    return f.tm_hour * 3600 + f.tm_min * 60 + f.tm_sec;
}

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
// Between fields: a blank or ASCII punctuation, never a letter, digit or
// control byte, so that typing slips are refused instead of read as something.
bool is_separator(char c) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return c == ' ' || (c > ' ' && c < 0x7F && !is_digit(c) && !letter);
}

// The user's date in scanf terms: month, separator, day, separator, year,
// hour, separator, minute, separator, second; `count` is how many were read.
struct DateFields {
    int month = 0, day = 0, year = 0, hour = 0, minute = 0, second = 0;
    int count = 0;
};

// Reads the fields as scanf would with "%2d%c%2d%c%4d %2d%c%2d%c%2d" (numbers
// may be preceded by white space). The year takes up to four digits, so that
// "1/2/2019" is not read as the year 20 at hour 19. False when something is
// left over that is not part of a date.
bool scan_date(const char *s, DateFields &d) {
    const char *p = s;
    auto number = [&](int width, int &out) {
        while (is_space(*p))
            ++p;
        if (!is_digit(*p))
            return false;
        int v = 0;
        for (int k = 0; k < width && is_digit(*p); ++k)
            v = v * 10 + (*p++ - '0');
        out = v;
        ++d.count;
        return true;
    };
    auto separator = [&]() {
        if (!is_separator(*p))
            return false;
        ++p;
        ++d.count;
        return true;
    };
    (void)(number(2, d.month) && separator() && number(2, d.day) && separator() &&
           number(4, d.year) && !is_digit(*p) && number(2, d.hour) && separator() &&
           number(2, d.minute) && separator() && number(2, d.second));
    while (is_space(*p))
        ++p;
    return *p == '\0';
}

enum class YearRule { Take, Zero, Beyond, Fail };

// Maps the typed year to a full year; Zero and Beyond are dates outside the
// range of time values, answered with 0 or ZT_TIME_BEYOND.
YearRule full_year(int typed, int &year) {
    if (typed >= 70 && typed <= 99) {
        year = 1900 + typed;
        return YearRule::Take;
    }
    if (typed >= 0 && typed <= 38) {
        year = 2000 + typed;
        return YearRule::Take;
    }
    if (typed >= 1970 && typed <= 2038) {
        year = typed;
        return YearRule::Take;
    }
    if (typed == 39) {
        // 2039, past the range: the far end rather than 1970, so that an
        // expiry typed as "39" never means "expired already".
        year = 2039;
        return YearRule::Beyond;
    }
    if (typed >= 40 && typed <= 69) {
        year = 1900 + typed;
        return YearRule::Zero;
    }
    if (typed >= 1901 && typed <= 1969) {
        year = typed;
        return YearRule::Zero;
    }
    if (typed >= 100 && typed <= 138) {
        year = 1900 + typed;
        return YearRule::Beyond;
    }
    if (typed >= 2039) {
        year = typed;
        return YearRule::Beyond;
    }
    return YearRule::Fail;
}

// Cuts trailing white space and unprintable bytes.
void trim_trailing(char *text) {
    size_t n = strlen(text);
    while (n > 0) {
        const unsigned char c = static_cast<unsigned char>(text[n - 1]);
        if (!is_space(static_cast<char>(c)) && c > ' ' && c < 0x7F)
            break;
        text[--n] = '\0';
    }
}

} // namespace

extern "C" {

int ValidDay(int month0, int day, int year) {
    if (day < 1)
        return 0;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month0 < 0 || month0 > 11)
        return 1;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int last = kDays[month0] + (month0 == 1 && leap ? 1 : 0);
    return day <= last ? 1 : 0;
}

// Local time only grows with the time value except where clocks go back; the
// bisection then still ends on a second whose successor is later than fields.
time_t unctime(const struct tm *fields) {
    if (fields == nullptr)
        return -1;
    time_t result = 0;
    for (int bit = 30; bit >= 0; --bit) {
        const time_t candidate = result | (time_t{1} << bit);
        struct tm f;
        if (local_fields(candidate, f) && compare_fields(f, *fields) <= 0)
            result = candidate;
    }
    return result;
}

int convert2unixdate(char *text, time_t *out, int start_of_day) {
    constexpr const char *fn = "convert2unixdate";
    if (text == nullptr || out == nullptr)
        return 0;
    trim_trailing(text);

    DateFields d;
    // A trailing separator (4, 7 or 9 fields) leaves a field half typed.
    if (!scan_date(text, d) || d.count < 3 || d.count == 4 || d.count == 7 || d.count == 9) {
        ztbase::logsink::logf(ZTLOG_DEBUG, 1, fn, "not a date: <%s>", text);
        return 0;
    }
    int year = 0;
    YearRule rule = YearRule::Take;
    if (d.count < 5) {
        const time_t now = time(nullptr);
        struct tm f;
        if (!local_fields(now, f))
            return 0;
        year = f.tm_year + 1900;
    } else {
        rule = full_year(d.year, year);
    }
    const int end = start_of_day ? 0 : 59;
    const int hour = d.count >= 6 ? d.hour : (start_of_day ? 0 : 23);
    const int minute = d.count >= 8 ? d.minute : end;
    const int second = d.count >= 10 ? d.second : end;
    if (rule == YearRule::Fail || d.month < 1 || d.month > 12 ||
        !ValidDay(d.month - 1, d.day, year) || hour > 23 || minute > 59 || second > 59) {
        ztbase::logsink::logf(ZTLOG_DEBUG, 1, fn, "no such date: <%s>", text);
        return 0;
    }
    if (rule == YearRule::Zero) {
        *out = 0;
        return 1;
    }
    if (rule == YearRule::Beyond) {
        *out = ZT_TIME_BEYOND;
        return 1;
    }

    struct tm want {};
    want.tm_year = year - 1900;
    want.tm_mon = d.month - 1;
    want.tm_mday = d.day;
    want.tm_hour = hour;
    want.tm_min = minute;
    want.tm_sec = second;
    time_t t = unctime(&want);
    // A local time skipped by a daylight-saving change leaves the last second
    // before the change; the time the user meant starts right after it.
    struct tm got;
    if (t < kLargest && local_fields(t, got) && compare_fields(got, want) < 0)
        ++t;
    *out = t > ZT_TIME_BEYOND ? ZT_TIME_BEYOND : t;
    return 1;
}

time_t get_midnight(time_t t) {
    struct tm day;
    if (!local_fields(t, day))
        return -1;
    time_t m = t - second_of_day(day);
    struct tm f;
    if (!local_fields(m, f))
        return -1;
    if (second_of_day(f) != 0) {
        // The clock changed in between: went back (still the same day) or went
        // forward (the previous day), by an hour or by any other amount.
        m = same_date(f, day) ? m - second_of_day(f) : m + (86400 - second_of_day(f));
    }
    // Where the clock goes back over midnight the day has begun earlier.
    for (int i = 0; i < 3; ++i) {
        if (!local_fields(m - 1, f) || !same_date(f, day))
            break;
        m = m - 1 - second_of_day(f);
    }
    return m;
}

time_t get_next_midnight(time_t t) {
    const time_t m = get_midnight(t);
    if (m == -1)
        return -1;
    return get_midnight(m + 129600);
}

size_t bp_strftime(char *buf, size_t size, const char *format, const struct tm *tm) {
    if (buf == nullptr || format == nullptr || tm == nullptr)
        return 0;
    if (size >= 256) {
        const size_t n = strftime(buf, size, format, tm);
        if (n == 0)
            buf[0] = '\0';
        return n;
    }
    char text[256];
    const size_t n = strftime(text, sizeof text, format, tm);
    if (n == 0)
        text[0] = '\0';
    V_strlcpy(buf, text, size);
    return n;
}

} // extern "C"
