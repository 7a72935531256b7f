/* Date and time text: fixed-form and locale-dependent formatters, the parser of
 * dates typed by users, conversions between time values and calendar fields,
 * and thread-safe wrappers around the runtime's time functions.
 *
 * Time values are seconds since 1970 (UTC); calendar fields are a struct tm
 * (month 0-11, years since 1900). Formatters work in local time and return a
 * buffer of their own that stays valid until the same function is called
 * again; they share those buffers between threads and are not meant for
 * concurrent use. The V_ wrappers are safe from any thread. */
#ifndef ZTBASE_DATES_H
#define ZTBASE_DATES_H

#include <stddef.h>
#include <time.h>
#include <ztbase/export.h>

ZTBASE_BEGIN_C

/* Infinity for the formatters that check for it. */
#define ZT_TIME_INFINITY ((time_t)0x7FFFFFFF)
/* What convert2unixdate gives for a date past its range. */
#define ZT_TIME_BEYOND ((time_t)0x7FFFFFFE)

/* ---- Fixed forms (local time) ----
 * The two-digit year is the year since 1900, less 100 from 2000 on. */

/* "MM/DD/YY hh:mm:ss"; "INFINITY      " for ZT_TIME_INFINITY and
 * "DATE ERROR    " when t cannot be broken down. */
ZTBASE_API char *datestring(time_t t);
/* "MM/DD/YY hh:mm", with the special texts of datestring. */
ZTBASE_API char *short_datestring(time_t t);
/* "MM/DD/YY:hhmmss"; "DATE ERROR    " when t cannot be broken down. */
ZTBASE_API char *datestring_for_oracle(time_t t);
/* "YYMMDD  hhmmss"; "DATE ERROR    " when t cannot be broken down. */
ZTBASE_API char *date_and_time(time_t t);
/* A duration as "HHH:MM:SS" (hours at least three digits); a negative
 * duration is written with a leading '-'. */
ZTBASE_API char *hhmmss(long seconds);

/* ---- Locale-dependent forms ----
 * The patterns come from the locale file (path label LOCALE_FILE):
 *
 *   # comment
 *   TL <length> <name> <time pattern> ^ <date pattern> ^
 *   TM <length> <name> <length> <target>
 *
 * A TL line defines the patterns of a locale; a TM line sends a name on to
 * another (at most 8 hops). Tabs and other white space read as blanks. A
 * missing or unreadable file, an unknown locale (or a null one) and a
 * malformed line give the built-in record "ql hh:mn:ss ^ mm/dd/yyyy ^".
 * Pattern tokens: hh hour 0-23, HH hour 1-12 followed by the AM/PM text, mn
 * minutes, ss seconds, mm month, dd day, yy two-digit year, yyyy year; other
 * characters are separators, at most four of them kept between tokens.
 * Month and weekday names come from the runtime locale of the same name
 * (else the TM target it maps to, else "C"). AM, PM and the error texts are
 * localised messages. */

/* Date and time (time first when time_first is set) separated by a blank;
 * the localised "INFINITY      " and "DATE ERROR    " as datestring. */
ZTBASE_API char *datestringl(time_t t, const char *locale, int time_first);
/* The date alone; the localised "DATE ERROR" on failure (so for every form
 * below that is not a full date and time). */
ZTBASE_API char *dateonlystringl(time_t t, const char *locale);
/* Date and time without seconds; infinity as datestringl. The 12-hour hour
 * is written without a leading zero, except by zero_short_datestringl, which
 * keeps every field at fixed width for columns. */
ZTBASE_API char *short_datestringl(time_t t, const char *locale);
ZTBASE_API char *zero_short_datestringl(time_t t, const char *locale);
/* The time alone, without and with seconds. */
ZTBASE_API char *short_timestringl(time_t t, const char *locale);
ZTBASE_API char *hhmmssl(time_t t, const char *locale);
/* The date or time pattern for prompts ("mm/dd/yyyy ", "HH:MM:SS "), with
 * "AM/PM" after a 12-hour time pattern. */
ZTBASE_API char *getdstring(const char *locale);
ZTBASE_API char *gettstring(const char *locale);
/* Weekday name ("%A") of weekday n modulo 7 (0 Sunday). */
ZTBASE_API char *dayofweek(int n, const char *locale);
/* Abbreviated month name ("%b") of month m modulo 12 (0 January). */
ZTBASE_API char *monthofyearl(int m, const char *locale);
/* "Mon D  YYYY", "Mon D <short time>", "Mon D <time>" with English month
 * names; the forms ending in l use the locale's month names. */
ZTBASE_API char *spelled_date(time_t t, const char *locale);
ZTBASE_API char *spelled_datetime(time_t t, const char *locale);
ZTBASE_API char *spelled_datetimesec(time_t t, const char *locale);
ZTBASE_API char *spelled_datel(time_t t, const char *locale);
ZTBASE_API char *spelled_datetimel(time_t t, const char *locale);
ZTBASE_API char *spelled_datetimesecl(time_t t, const char *locale);
/* The runtime's "%c" in the locale. */
ZTBASE_API char *fulldatestring(time_t t, const char *locale);

/* ---- Parsing and conversion ---- */

/* Parses a user's date "M/D[/Y[ h[:m[:s]]]]" (any punctuation or blank as
 * separator; trailing white space and unprintable bytes are cut off text in
 * place). Without a year the current one is used; missing time fields are
 * 23:59:59, or 00:00:00 with start_of_day. Years 70-99 are 1970-1999 and 0-38
 * 2000-2038; 39 is 2039; 40-69 and 1901-1969 give 0, 100-138 and 2039 on give
 * ZT_TIME_BEYOND. A local time that does not exist (skipped by a daylight
 * saving change) gives the first second after the change. Returns 1 with
 * *out set, or 0 for a null argument or text that is not such a date (an
 * impossible day, month or time, a trailing separator or anything left over). */
ZTBASE_API int convert2unixdate(char *text, time_t *out, int start_of_day);
/* The local time of fields (year, month, day, hour, minute, second), found by
 * bisection over 0..0x7FFFFFFF: the time whose local fields equal them (in an
 * hour that occurs twice, either one), else the last second before them (0
 * when there is none); -1 for null. */
ZTBASE_API time_t unctime(const struct tm *fields);
/* 1 when day exists in month0 (0-11) of year; any month outside 0-11 only
 * needs day >= 1. */
ZTBASE_API int ValidDay(int month0, int day, int year);
/* The local midnight that starts the day of t (the first second of the day
 * when a daylight-saving change skips midnight); -1 when t cannot be broken
 * down. */
ZTBASE_API time_t get_midnight(time_t t);
/* The local midnight that starts the day after that of t. */
ZTBASE_API time_t get_next_midnight(time_t t);
/* strftime that cuts the text to a buffer under 256 bytes rather than
 * failing. Returns the full length (0 when it exceeds 255 bytes or an
 * argument is null). */
ZTBASE_API size_t bp_strftime(char *buf, size_t size, const char *format, const struct tm *tm);

/* ---- Thread-safe wrappers ---- */

/* The broken-down local or UTC time of *t in *out; out, or null when a pointer
 * is null or t cannot be converted. */
ZTBASE_API struct tm *V_localtime(const time_t *t, struct tm *out);
ZTBASE_API struct tm *V_gmtime(const time_t *t, struct tm *out);
/* The runtime's 26-character text ("Wed Jun 30 21:49:08 1993\n") in buf;
 * null with errno ERANGE when size is under 26, EINVAL for a null pointer,
 * or the runtime's errno when it cannot be produced. */
ZTBASE_API char *V_ctime(const time_t *t, char *buf, size_t size);
ZTBASE_API char *V_asctime(const struct tm *tm, char *buf, size_t size);
/* The time value of UTC calendar fields, which are normalised in place; -1
 * for null or fields out of range. */
ZTBASE_API time_t V_timegm(struct tm *fields);

ZTBASE_END_C

#endif
