// Fixed-form date texts and thread-safe wrappers of the runtime's time calls.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/log_sink.h"
#include "locale/dates_internal.h"
#include "ztbase/dates.h"
#include "ztbase/debuglog.h"
#include "ztbase/strings.h"

using ztbase::dates::local_fields;
using ztbase::dates::two_digit_year;

namespace {

constexpr const char kInfinity[] = "INFINITY      ";
constexpr const char kDateError[] = "DATE ERROR    ";

// Shared by datestring and short_datestring, which differ only in the seconds.
char *date_time_text(char *buf, size_t size, time_t t, bool seconds) {
    if (t == ZT_TIME_INFINITY) {
        V_strlcpy(buf, kInfinity, size);
        return buf;
    }
    struct tm f;
    if (!local_fields(t, f)) {
        V_strlcpy(buf, kDateError, size);
        return buf;
    }
    if (seconds)
        V_snprintf(buf, size, "%02d/%02d/%02d %02d:%02d:%02d", f.tm_mon + 1, f.tm_mday,
                   two_digit_year(f), f.tm_hour, f.tm_min, f.tm_sec);
    else
        V_snprintf(buf, size, "%02d/%02d/%02d %02d:%02d", f.tm_mon + 1, f.tm_mday,
                   two_digit_year(f), f.tm_hour, f.tm_min);
    return buf;
}

} // namespace

extern "C" {

char *datestring(time_t t) {
    static char buf[31];
    return date_time_text(buf, sizeof buf, t, true);
}

char *short_datestring(time_t t) {
    static char buf[31];
    return date_time_text(buf, sizeof buf, t, false);
}

char *datestring_for_oracle(time_t t) {
    static char buf[31];
    struct tm f;
    if (!local_fields(t, f))
        V_strlcpy(buf, kDateError, sizeof buf);
    else
        V_snprintf(buf, sizeof buf, "%02d/%02d/%02d:%02d%02d%02d", f.tm_mon + 1, f.tm_mday,
                   two_digit_year(f), f.tm_hour, f.tm_min, f.tm_sec);
    return buf;
}

char *date_and_time(time_t t) {
    static char buf[20];
    struct tm f;
    if (!local_fields(t, f))
        V_strlcpy(buf, kDateError, sizeof buf);
    else
        V_snprintf(buf, sizeof buf, "%02d%02d%02d  %02d%02d%02d", two_digit_year(f), f.tm_mon + 1,
                   f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec);
    return buf;
}

char *hhmmss(long seconds) {
    static char buf[100];
    // Work on the magnitude so that LONG_MIN and negative durations stay sane.
    const unsigned long mag = seconds < 0 ? 0UL - static_cast<unsigned long>(seconds)
                                          : static_cast<unsigned long>(seconds);
    V_snprintf(buf, sizeof buf, "%s%03lu:%02lu:%02lu", seconds < 0 ? "-" : "", mag / 3600,
               mag / 60 % 60, mag % 60);
    return buf;
}

struct tm *V_localtime(const time_t *t, struct tm *out) {
    if (t == nullptr || out == nullptr)
        return nullptr;
    return localtime_r(t, out);
}

struct tm *V_gmtime(const time_t *t, struct tm *out) {
    if (t == nullptr || out == nullptr)
        return nullptr;
    return gmtime_r(t, out);
}

char *V_asctime(const struct tm *tm, char *buf, size_t size) {
    if (tm == nullptr || buf == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (size < 26) {
        errno = ERANGE;
        return nullptr;
    }
    // asctime_r refuses (EOVERFLOW) what does not fit its 26 bytes.
    char text[26];
    if (asctime_r(tm, text) == nullptr) {
        ztbase::logsink::logf(ZTLOG_DEBUG, 1, "V_asctime", "cannot format the time: errno %d",
                              errno);
        return nullptr;
    }
    V_strlcpy(buf, text, size);
    return buf;
}

char *V_ctime(const time_t *t, char *buf, size_t size) {
    if (t == nullptr || buf == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (size < 26) {
        errno = ERANGE;
        return nullptr;
    }
    struct tm f;
    if (localtime_r(t, &f) == nullptr) {
        ztbase::logsink::logf(ZTLOG_DEBUG, 1, "V_ctime", "cannot break down %lld",
                              static_cast<long long>(*t));
        return nullptr;
    }
    return V_asctime(&f, buf, size);
}

// Computed directly rather than through mktime and the local offset: that way
// UTC fields that fall into a local daylight-saving gap come out right too.
time_t V_timegm(struct tm *fields) {
    if (fields == nullptr)
        return -1;
    struct tm copy = *fields;
    errno = 0;
    time_t t = timegm(&copy);
    if (t == -1 && errno == EOVERFLOW) {
        ztbase::logsink::logf(ZTLOG_WARNING, 0, "V_timegm", "calendar fields out of range");
        return -1;
    }
    *fields = copy;
    return t;
}

} // extern "C"
