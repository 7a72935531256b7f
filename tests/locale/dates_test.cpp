// Date texts, the date parser and local midnights, in real time zones.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "ztbase/dates.h"
#include "ztbase/paths.h"

// Allocation that fails on demand, for the calls that must not let
// std::bad_alloc out of a C function.
namespace {
thread_local bool t_starved = false;
void *allocate(std::size_t n) {
    void *p = t_starved ? nullptr : std::malloc(n != 0 ? n : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
} // namespace

void *operator new(std::size_t n) {
    return allocate(n);
}
void *operator new[](std::size_t n) {
    return allocate(n);
}
void *operator new(std::size_t n, const std::nothrow_t &) noexcept {
    return t_starved ? nullptr : std::malloc(n != 0 ? n : 1);
}
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept {
    return t_starved ? nullptr : std::malloc(n != 0 ? n : 1);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// Sets TZ for one scope and puts the previous value back.
class TimeZone {
  public:
    explicit TimeZone(const char *zone) {
        if (const char *old = getenv("TZ"))
            saved_ = old, had_ = true;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TimeZone() {
        if (had_)
            setenv("TZ", saved_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    TimeZone(const TimeZone &) = delete;
    TimeZone &operator=(const TimeZone &) = delete;

  private:
    std::string saved_;
    bool had_ = false;
};

time_t utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    struct tm f {};
    f.tm_year = y - 1900;
    f.tm_mon = mo - 1;
    f.tm_mday = d;
    f.tm_hour = h;
    f.tm_min = mi;
    f.tm_sec = s;
    return timegm(&f);
}

const time_t kLeapNoon = utc(2024, 2, 29, 12, 0, 0); // a Thursday
const time_t kUnbreakable = LLONG_MAX;               // beyond any calendar

TEST(FixedForms, TextsAndSpecialValues) {
    TimeZone tz("UTC");
    EXPECT_STREQ(datestring(kLeapNoon), "02/29/24 12:00:00");
    EXPECT_STREQ(datestring(utc(1999, 12, 31, 23, 59, 58)), "12/31/99 23:59:58");
    EXPECT_STREQ(short_datestring(kLeapNoon + 75), "02/29/24 12:01");
    EXPECT_STREQ(datestring_for_oracle(kLeapNoon + 3723), "02/29/24:130203");
    EXPECT_STREQ(date_and_time(kLeapNoon + 3723), "240229  130203");

    EXPECT_STREQ(datestring(ZT_TIME_INFINITY), "INFINITY      ");
    EXPECT_STREQ(short_datestring(ZT_TIME_INFINITY), "INFINITY      ");
    // These two have no infinity: it is an ordinary date for them.
    EXPECT_STREQ(datestring_for_oracle(ZT_TIME_INFINITY), "01/19/38:031407");
    EXPECT_STREQ(date_and_time(ZT_TIME_INFINITY), "380119  031407");

    EXPECT_STREQ(datestring(kUnbreakable), "DATE ERROR    ");
    EXPECT_STREQ(short_datestring(kUnbreakable), "DATE ERROR    ");
    EXPECT_STREQ(datestring_for_oracle(kUnbreakable), "DATE ERROR    ");
    EXPECT_STREQ(date_and_time(kUnbreakable), "DATE ERROR    ");
}

TEST(FixedForms, Durations) {
    const struct {
        long seconds;
        const char *text;
    } cases[] = {{0, "000:00:00"},      {3661, "001:01:01"},
                 {359999, "099:59:59"}, {3600000 + 59, "1000:00:59"},
                 {-61, "-000:01:01"},   {LONG_MIN, "-2562047788015215:30:08"}};
    for (const auto &c : cases)
        EXPECT_STREQ(hhmmss(c.seconds), c.text) << c.seconds;
}

TEST(ValidDay, MonthLengthsAndLeapYears) {
    const struct {
        int month0, day, year, valid;
    } cases[] = {{1, 29, 2024, 1}, {1, 29, 2023, 0},  {1, 29, 1900, 0},  {1, 29, 2000, 1},
                 {1, 28, 2023, 1}, {3, 31, 2024, 0},  {11, 31, 2024, 1}, {0, 0, 2024, 0},
                 {0, -3, 2024, 0}, {12, 45, 2024, 1}, {-1, 1, 2024, 1},  {-1, 0, 2024, 0}};
    for (const auto &c : cases)
        EXPECT_EQ(ValidDay(c.month0, c.day, c.year), c.valid)
            << c.month0 << " " << c.day << " " << c.year;
}

struct ParseCase {
    const char *text;
    int start_of_day;
    int ok;
    time_t value;
};

TEST(Convert2unixdate, DatesInUtc) {
    TimeZone tz("UTC");
    const ParseCase cases[] = {
        {"02/29/2024", 0, 1, utc(2024, 2, 29, 23, 59, 59)},
        {"02/29/2024", 1, 1, utc(2024, 2, 29)},
        {"02/29/24 12:00:00", 0, 1, kLeapNoon},
        {"2/29/24", 1, 1, utc(2024, 2, 29)},
        {"1/2/2019", 0, 1, utc(2019, 1, 2, 23, 59, 59)}, // not year 20 at 19:59
        {"12-31-1999 8", 0, 1, utc(1999, 12, 31, 8, 59, 59)},
        {"12.31.99 8:15", 1, 1, utc(1999, 12, 31, 8, 15)},
        {"01/01/70 00:00:00", 0, 1, 0},
        {"01/19/2038 03:14:06", 0, 1, ZT_TIME_BEYOND},
        {"01/19/2038 03:14:07", 0, 1, ZT_TIME_BEYOND}, // clamped
        {"12/31/38", 0, 1, ZT_TIME_BEYOND},
        // Years outside the range of time values.
        {"12/31/69", 0, 1, 0},
        {"01/01/39", 0, 1, ZT_TIME_BEYOND}, // 2039, not 1939
        {"01/01/40", 0, 1, 0},
        {"07/04/1901", 0, 1, 0},
        {"01/01/100", 0, 1, ZT_TIME_BEYOND},
        {"01/01/2039", 0, 1, ZT_TIME_BEYOND},
        {"06/15/9999 12:00:00", 0, 1, ZT_TIME_BEYOND},
        // Impossible dates and times, even where the year alone would answer.
        {"02/29/2023", 0, 0, 0},
        {"02/30/69", 0, 0, 0},
        {"13/01/2024", 0, 0, 0},
        {"00/10/2024", 0, 0, 0},
        {"04/31/2024", 0, 0, 0},
        {"02/00/2024", 0, 0, 0},
        {"02/28/2024 24:00:00", 0, 0, 0},
        {"02/28/2024 23:60:00", 0, 0, 0},
        {"02/28/2024 23:00:60", 0, 0, 0},
        {"02/28/1800", 0, 0, 0},
        {"02/28/-1", 0, 0, 0},
        // Not dates at all, half typed or with something left over.
        {"", 0, 0, 0},
        {"   ", 0, 0, 0},
        {"02", 0, 0, 0},
        {"02/", 0, 0, 0},
        {"02/28/", 0, 0, 0},
        {"02/28/2024 10:", 0, 0, 0},
        {"02/28/2024 10:30:", 0, 0, 0},
        {"02/28/2024 10:30:00 PM", 0, 0, 0},
        {"02/28/2024 10:30:00:00", 0, 0, 0},
        {"02/28/24 10:3O", 0, 0, 0},
        {"02/28/202410", 0, 0, 0},
        {"0228/2024", 0, 0, 0},
        {"02a28a2024", 0, 0, 0},
        {"02\x01"
         "28/2024",
         0, 0, 0},
        {"feb 28 2024", 0, 0, 0},
        {"123/28/2024", 0, 0, 0},
    };
    for (const auto &c : cases) {
        std::string text = c.text;
        time_t out = -12345;
        EXPECT_EQ(convert2unixdate(text.data(), &out, c.start_of_day), c.ok)
            << "'" << c.text << "'";
        if (c.ok == 1)
            EXPECT_EQ(out, c.value) << c.text;
        else
            EXPECT_EQ(out, -12345) << "output touched for " << c.text;
    }
}

TEST(Convert2unixdate, TrimsInPlaceAndTakesTheCurrentYear) {
    TimeZone tz("UTC");
    char text[] = "02/29/2024 \t\r\n\x01\x7f\xff";
    time_t out = 0;
    EXPECT_EQ(convert2unixdate(text, &out, 0), 1);
    EXPECT_STREQ(text, "02/29/2024");
    EXPECT_EQ(out, utc(2024, 2, 29, 23, 59, 59));

    struct tm now {};
    const time_t t = time(nullptr);
    gmtime_r(&t, &now);
    char no_year[] = "01/15";
    ASSERT_EQ(convert2unixdate(no_year, &out, 1), 1);
    EXPECT_EQ(out, utc(now.tm_year + 1900, 1, 15));

    EXPECT_EQ(convert2unixdate(nullptr, &out, 0), 0);
    EXPECT_EQ(convert2unixdate(text, nullptr, 0), 0);
}

// Each case: a zone, a time within the day of a daylight-saving change, and
// the first second of that day and of the next.
struct MidnightCase {
    const char *zone;
    time_t t;
    time_t midnight, next;
};

TEST(Midnight, OnDaysOfDaylightSavingChanges) {
    const MidnightCase cases[] = {
        // Spring forward and fall back at 02:00 local.
        {"America/New_York", utc(2024, 3, 10, 16), utc(2024, 3, 10, 5), utc(2024, 3, 11, 4)},
        {"America/New_York", utc(2024, 3, 9, 17), utc(2024, 3, 9, 5), utc(2024, 3, 10, 5)},
        {"America/New_York", utc(2024, 11, 3, 17), utc(2024, 11, 3, 4), utc(2024, 11, 4, 5)},
        {"America/New_York", utc(2024, 11, 2, 16), utc(2024, 11, 2, 4), utc(2024, 11, 3, 4)},
        {"America/New_York", utc(2024, 11, 3, 6, 30), utc(2024, 11, 3, 4), utc(2024, 11, 4, 5)},
        {"Europe/Berlin", utc(2024, 3, 31, 10), utc(2024, 3, 30, 23), utc(2024, 3, 31, 22)},
        {"Europe/Berlin", utc(2024, 10, 27, 11), utc(2024, 10, 26, 22), utc(2024, 10, 27, 23)},
        {"Europe/Berlin", utc(2024, 10, 26, 11), utc(2024, 10, 25, 22), utc(2024, 10, 26, 22)},
        // Midnight skipped: the day starts at 01:00.
        {"America/Sao_Paulo", utc(2018, 11, 4, 15), utc(2018, 11, 4, 3), utc(2018, 11, 5, 2)},
        {"America/Sao_Paulo", utc(2018, 11, 3, 15), utc(2018, 11, 3, 3), utc(2018, 11, 4, 3)},
        {"Asia/Beirut", utc(2024, 3, 31, 9), utc(2024, 3, 30, 22), utc(2024, 3, 31, 21)},
        {"America/Havana", utc(2024, 3, 10, 16), utc(2024, 3, 10, 5), utc(2024, 3, 11, 4)},
        // The midnight hour happens twice: the day starts at the first one.
        {"America/Havana", utc(2024, 11, 3, 17), utc(2024, 11, 3, 4), utc(2024, 11, 4, 5)},
        {"America/Havana", utc(2024, 11, 3, 5, 30), utc(2024, 11, 3, 4), utc(2024, 11, 4, 5)},
        {"America/Havana", utc(2024, 11, 2, 17), utc(2024, 11, 2, 4), utc(2024, 11, 3, 4)},
        // A change of half an hour.
        {"Australia/Lord_Howe", utc(2024, 10, 6, 1), utc(2024, 10, 5, 13, 30),
         utc(2024, 10, 6, 13)},
    };
    for (const auto &c : cases) {
        TimeZone tz(c.zone);
        EXPECT_EQ(get_midnight(c.t), c.midnight) << c.zone << " " << c.t;
        EXPECT_EQ(get_next_midnight(c.t), c.next) << c.zone << " " << c.t;
        EXPECT_EQ(get_midnight(c.midnight), c.midnight) << c.zone << " " << c.t;
    }
    EXPECT_EQ(get_midnight(kUnbreakable), -1);
    EXPECT_EQ(get_next_midnight(kUnbreakable), -1);
}

TEST(Convert2unixdate, DaylightSavingDays) {
    const struct {
        const char *zone;
        ParseCase c;
    } cases[] = {
        {"America/New_York", {"03/10/2024", 1, 1, utc(2024, 3, 10, 5)}},
        {"America/New_York", {"03/10/2024", 0, 1, utc(2024, 3, 11, 3, 59, 59)}},
        {"America/New_York", {"11/03/2024", 0, 1, utc(2024, 11, 4, 4, 59, 59)}},
        // A time the clocks skip is the first second after the change.
        {"America/New_York", {"03/10/2024 02:30:00", 0, 1, utc(2024, 3, 10, 7)}},
        {"Europe/Berlin", {"03/31/2024 02:30", 1, 1, utc(2024, 3, 31, 1)}},
        {"Europe/Berlin", {"10/27/2024", 1, 1, utc(2024, 10, 26, 22)}},
        {"Europe/Berlin", {"01/01/70 00:30:00", 0, 1, 0}},
        // The start of a day whose midnight does not exist is on that day.
        {"America/Sao_Paulo", {"11/04/18", 1, 1, utc(2018, 11, 4, 3)}},
        {"Asia/Beirut", {"03/31/2024", 1, 1, utc(2024, 3, 30, 22)}},
        {"America/Havana", {"03/10/2024 00:30:00", 0, 1, utc(2024, 3, 10, 5)}},
    };
    for (const auto &k : cases) {
        TimeZone tz(k.zone);
        std::string text = k.c.text;
        time_t out = -1;
        EXPECT_EQ(convert2unixdate(text.data(), &out, k.c.start_of_day), 1) << k.zone << k.c.text;
        EXPECT_EQ(out, k.c.value) << k.zone << " " << k.c.text;
    }

    // An hour that happens twice gives one of its two seconds.
    TimeZone tz("America/New_York");
    char twice[] = "11/03/2024 01:30:00";
    time_t out = 0;
    ASSERT_EQ(convert2unixdate(twice, &out, 0), 1);
    EXPECT_TRUE(out == utc(2024, 11, 3, 5, 30) || out == utc(2024, 11, 3, 6, 30)) << out;
}

TEST(Unctime, InvertsLocalTime) {
    TimeZone tz("Europe/Berlin");
    for (time_t t :
         {time_t{0}, time_t{86399}, kLeapNoon, utc(2024, 3, 31, 1), time_t{0x7FFFFFFF}}) {
        struct tm f;
        ASSERT_NE(localtime_r(&t, &f), nullptr);
        EXPECT_EQ(unctime(&f), t);
    }
    struct tm before {};
    before.tm_year = 60;
    before.tm_mday = 1;
    EXPECT_EQ(unctime(&before), 0);
    struct tm after {};
    after.tm_year = 200;
    after.tm_mday = 1;
    EXPECT_EQ(unctime(&after), 0x7FFFFFFF);
    EXPECT_EQ(unctime(nullptr), -1);
}

TEST(BpStrftime, CutsToSmallBuffers) {
    struct tm f {};
    f.tm_year = 124;
    f.tm_mon = 1;
    f.tm_mday = 29;
    char small[8] = "XXXXXXX";
    EXPECT_EQ(bp_strftime(small, 5, "%Y-%m-%d", &f), 10u);
    EXPECT_STREQ(small, "2024");
    EXPECT_EQ(small[5], 'X');

    const std::string long_format(300, 'a');
    char big[400];
    EXPECT_EQ(bp_strftime(big, sizeof big, long_format.c_str(), &f), 300u);
    EXPECT_EQ(bp_strftime(small, sizeof small, long_format.c_str(), &f), 0u);
    EXPECT_STREQ(small, "");

    EXPECT_EQ(bp_strftime(nullptr, 5, "%Y", &f), 0u);
    EXPECT_EQ(bp_strftime(small, 5, nullptr, &f), 0u);
    EXPECT_EQ(bp_strftime(small, 5, "%Y", nullptr), 0u);
}

TEST(Wrappers, LocalGmCtimeAsctime) {
    TimeZone tz("America/New_York");
    struct tm f;
    EXPECT_EQ(V_localtime(&kLeapNoon, &f), &f);
    EXPECT_EQ(f.tm_hour, 7);
    EXPECT_EQ(V_gmtime(&kLeapNoon, &f), &f);
    EXPECT_EQ(f.tm_hour, 12);
    EXPECT_EQ(V_localtime(nullptr, &f), nullptr);
    EXPECT_EQ(V_gmtime(&kLeapNoon, nullptr), nullptr);
    struct tm junk;
    EXPECT_EQ(V_localtime(&kUnbreakable, &junk), nullptr);

    char buf[26];
    EXPECT_STREQ(V_ctime(&kLeapNoon, buf, sizeof buf), "Thu Feb 29 07:00:00 2024\n");
    EXPECT_STREQ(V_asctime(&f, buf, sizeof buf), "Thu Feb 29 12:00:00 2024\n");
    errno = 0;
    EXPECT_EQ(V_ctime(&kLeapNoon, buf, 25), nullptr);
    EXPECT_EQ(errno, ERANGE);
    errno = 0;
    EXPECT_EQ(V_asctime(&f, buf, 0), nullptr);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(V_ctime(nullptr, buf, sizeof buf), nullptr);
    EXPECT_EQ(V_asctime(nullptr, buf, sizeof buf), nullptr);
    EXPECT_EQ(V_ctime(&kLeapNoon, nullptr, 26), nullptr);
    EXPECT_EQ(V_ctime(&kUnbreakable, buf, sizeof buf), nullptr);
    f.tm_year = 20000; // five-digit year: does not fit the 26 characters
    EXPECT_EQ(V_asctime(&f, buf, sizeof buf), nullptr);
}

TEST(Wrappers, TimegmIsExactInLocalGaps) {
    // 02:30 does not exist in New York that day; as UTC it is an ordinary time.
    TimeZone tz("America/New_York");
    struct tm f {};
    f.tm_year = 124;
    f.tm_mon = 2;
    f.tm_mday = 10;
    f.tm_hour = 2;
    f.tm_min = 30;
    EXPECT_EQ(V_timegm(&f), utc(2024, 3, 10, 2, 30));

    struct tm g {};
    g.tm_year = 124;
    g.tm_mon = 1;
    g.tm_mday = 30; // February 30 at hour -1: February 29, 23:00
    g.tm_hour = -1;
    EXPECT_EQ(V_timegm(&g), utc(2024, 2, 29, 23));
    EXPECT_EQ(g.tm_mon, 1);
    EXPECT_EQ(g.tm_mday, 29);
    EXPECT_EQ(g.tm_hour, 23);
    EXPECT_EQ(g.tm_wday, 4);
    EXPECT_EQ(V_timegm(nullptr), -1);
}

// ---- Locale-dependent forms ----

class LocaleDates : public zt::test::ZtTest {
  protected:
    void write_locale_file(const std::string &content) {
        zt::test::write_file(getFennicString("LOCALE_FILE"), content);
    }
    TimeZone tz_{"UTC"};
};

const time_t kAfternoon = utc(2024, 2, 9, 13, 5, 7);

TEST_F(LocaleDates, BuiltInRecordWithoutAFile) {
    for (const char *locale : {static_cast<const char *>(nullptr), "", "de", "C"}) {
        SCOPED_TRACE(locale == nullptr ? "(null)" : locale);
        EXPECT_STREQ(datestringl(kAfternoon, locale, 0), "02/09/2024 13:05:07");
        EXPECT_STREQ(datestringl(kAfternoon, locale, 1), "13:05:07 02/09/2024");
        EXPECT_STREQ(short_datestringl(kAfternoon, locale), "02/09/2024 13:05");
        EXPECT_STREQ(getdstring(locale), "mm/dd/yyyy ");
        EXPECT_STREQ(gettstring(locale), "HH:MM:SS ");
    }
}

TEST_F(LocaleDates, PatternsFromTheLocaleFile) {
    const std::string long_line(100000, 'x');
    write_locale_file("# patterns of the locales we ship\n" + long_line +
                      "\n"
                      "TL 2 de\thh:mn:ss ^ dd.mm.yyyy ^\r\n"
                      "TM 6 german 2 de\n"
                      "TL 4 us12 HH:mn:ss ^ mm/dd/yy ^\n"
                      "TL 8 spaced x HH.mn ^ yyyy-mm-dd\n"
                      "TL 4 wide hh<-->>mn ^ yyyy::::::mm ^\n"
                      "TL 3 bad no pattern here\n"
                      "TL 3 bad hh:mn\n"
                      "TL 99 overlong hh ^ dd ^\n"
                      "TM 4 loop 4 pool\n"
                      "TM 4 pool 4 loop\n"
                      "TM 2 far 3 far\n");
    const struct {
        const char *locale;
        const char *full, *time_first, *shrt, *zero, *time, *time_sec, *date, *dprompt, *tprompt;
    } cases[] = {
        {"de", "09.02.2024 13:05:07", "13:05:07 09.02.2024", "09.02.2024 13:05", "09.02.2024 13:05",
         "13:05", "13:05:07", "09.02.2024", "dd.mm.yyyy ", "HH:MM:SS "},
        {"german", "09.02.2024 13:05:07", "13:05:07 09.02.2024", "09.02.2024 13:05",
         "09.02.2024 13:05", "13:05", "13:05:07", "09.02.2024", "dd.mm.yyyy ", "HH:MM:SS "},
        {"us12", "02/09/24 1:05:07 PM", "1:05:07 PM 02/09/24", "02/09/24 1:05 PM",
         "02/09/24 01:05 PM", "1:05 PM", "1:05:07 PM", "02/09/24", "mm/dd/yy ", "HH:MM:SS AM/PM"},
        {"spaced x", "2024-02-09 1.05 PM", "1.05 PM 2024-02-09", "2024-02-09 1.05 PM",
         "2024-02-09 01.05 PM", "1.05 PM", "1.05 PM", "2024-02-09", "yyyy-mm-dd ", "HH.MM AM/PM"},
        // Separators keep four characters at most.
        {"wide", "2024::::02 13<-->05", "13<-->05 2024::::02", "2024::::02 13<-->05",
         "2024::::02 13<-->05", "13<-->05", "13<-->05", "2024::::02", "yyyy::::mm ", "HH<-->MM "},
        // Malformed lines, loops and unknown names give the built-in record.
        {"bad", "02/09/2024 13:05:07", "13:05:07 02/09/2024", "02/09/2024 13:05",
         "02/09/2024 13:05", "13:05", "13:05:07", "02/09/2024", "mm/dd/yyyy ", "HH:MM:SS "},
        {"loop", "02/09/2024 13:05:07", "13:05:07 02/09/2024", "02/09/2024 13:05",
         "02/09/2024 13:05", "13:05", "13:05:07", "02/09/2024", "mm/dd/yyyy ", "HH:MM:SS "},
        {"far", "02/09/2024 13:05:07", "13:05:07 02/09/2024", "02/09/2024 13:05",
         "02/09/2024 13:05", "13:05", "13:05:07", "02/09/2024", "mm/dd/yyyy ", "HH:MM:SS "},
        {"overlong", "02/09/2024 13:05:07", "13:05:07 02/09/2024", "02/09/2024 13:05",
         "02/09/2024 13:05", "13:05", "13:05:07", "02/09/2024", "mm/dd/yyyy ", "HH:MM:SS "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.locale);
        EXPECT_STREQ(datestringl(kAfternoon, c.locale, 0), c.full);
        EXPECT_STREQ(datestringl(kAfternoon, c.locale, 1), c.time_first);
        EXPECT_STREQ(short_datestringl(kAfternoon, c.locale), c.shrt);
        EXPECT_STREQ(zero_short_datestringl(kAfternoon, c.locale), c.zero);
        EXPECT_STREQ(short_timestringl(kAfternoon, c.locale), c.time);
        EXPECT_STREQ(hhmmssl(kAfternoon, c.locale), c.time_sec);
        EXPECT_STREQ(dateonlystringl(kAfternoon, c.locale), c.date);
        EXPECT_STREQ(getdstring(c.locale), c.dprompt);
        EXPECT_STREQ(gettstring(c.locale), c.tprompt);
    }
    // Midnight and noon on the 12-hour clock.
    EXPECT_STREQ(hhmmssl(utc(2024, 2, 9), "us12"), "12:00:00 AM");
    EXPECT_STREQ(hhmmssl(utc(2024, 2, 9, 12), "us12"), "12:00:00 PM");
}

TEST_F(LocaleDates, CachedRecordFollowsTheFile) {
    write_locale_file("TL 2 de hh:mn:ss ^ dd.mm.yyyy ^\n");
    EXPECT_STREQ(dateonlystringl(kAfternoon, "de"), "09.02.2024");
    write_locale_file("TL 2 de hh:mn:ss ^ yyyy/mm/dd ^  \n");
    EXPECT_STREQ(dateonlystringl(kAfternoon, "de"), "2024/02/09");
    EXPECT_STREQ(dateonlystringl(kAfternoon, "xx"), "02/09/2024");
    EXPECT_STREQ(dateonlystringl(kAfternoon, "de"), "2024/02/09");
    ASSERT_EQ(unlink(getFennicString("LOCALE_FILE")), 0);
    EXPECT_STREQ(dateonlystringl(kAfternoon, "de"), "02/09/2024");
}

TEST_F(LocaleDates, InfinityAndErrors) {
    EXPECT_STREQ(datestringl(ZT_TIME_INFINITY, "de", 0), "INFINITY      ");
    EXPECT_STREQ(short_datestringl(ZT_TIME_INFINITY, "de"), "INFINITY      ");
    EXPECT_STREQ(datestringl(kUnbreakable, "de", 1), "DATE ERROR    ");
    EXPECT_STREQ(short_datestringl(kUnbreakable, "de"), "DATE ERROR    ");
    EXPECT_STREQ(dateonlystringl(kUnbreakable, "de"), "DATE ERROR");
    EXPECT_STREQ(hhmmssl(kUnbreakable, "de"), "DATE ERROR");
    EXPECT_STREQ(spelled_date(kUnbreakable, "de"), "DATE ERROR");
    EXPECT_STREQ(fulldatestring(kUnbreakable, "de"), "DATE ERROR");
}

TEST_F(LocaleDates, NamesAndSpelledForms) {
    write_locale_file("TL 4 us12 HH:mn:ss ^ mm/dd/yy ^\n"
                      "TM 5 plain 1 C\n");
    EXPECT_STREQ(dayofweek(0, "C"), "Sunday");
    EXPECT_STREQ(dayofweek(8, nullptr), "Monday");
    EXPECT_STREQ(dayofweek(-1, "no-such"), "Saturday");
    EXPECT_STREQ(dayofweek(INT_MIN, "C"), "Friday");
    EXPECT_STREQ(monthofyearl(0, "plain"), "Jan");
    EXPECT_STREQ(monthofyearl(13, "C"), "Feb");
    EXPECT_STREQ(monthofyearl(-1, "../../etc"), "Dec");

    EXPECT_STREQ(spelled_date(kAfternoon, nullptr), "Feb 9  2024");
    EXPECT_STREQ(spelled_datetime(kAfternoon, "us12"), "Feb 9 1:05 PM");
    EXPECT_STREQ(spelled_datetimesec(kAfternoon, "us12"), "Feb 9 1:05:07 PM");
    EXPECT_STREQ(spelled_datel(kAfternoon, "plain"), "Feb 9  2024");
    EXPECT_STREQ(spelled_datetimel(kAfternoon, "C"), "Feb 9 13:05");
    EXPECT_STREQ(spelled_datetimesecl(kAfternoon, "C"), "Feb 9 13:05:07");
    EXPECT_STREQ(fulldatestring(kAfternoon, "C"), "Fri Feb  9 13:05:07 2024");
}

TEST_F(LocaleDates, NoMemoryGivesTheErrorResultNotAnException) {
    write_locale_file("TL 4 us12 HH:mn:ss ^ mm/dd/yy ^\n");
    const std::string whole = datestringl(kAfternoon, "us12", 0); // cached while memory lasts
    const struct {
        const char *what;
        char *(*call)();
        const char *error;
    } cases[] = {
        {"datestringl", [] { return datestringl(kAfternoon, "us12", 0); }, "DATE ERROR    "},
        {"dateonlystringl", [] { return dateonlystringl(kAfternoon, "us12"); }, "DATE ERROR"},
        {"hhmmssl", [] { return hhmmssl(kAfternoon, "us12"); }, "DATE ERROR"},
        {"getdstring", [] { return getdstring("us12"); }, ""},
        {"spelled_datetimel", [] { return spelled_datetimel(kAfternoon, "C"); }, "DATE ERROR"},
        {"dayofweek", [] { return dayofweek(1, "C"); }, ""},
        {"monthofyearl", [] { return monthofyearl(1, "C"); }, ""},
        {"fulldatestring", [] { return fulldatestring(kAfternoon, "C"); }, "DATE ERROR"},
    };
    for (const auto &c : cases) {
        t_starved = true;
        const char *got = c.call();
        t_starved = false;
        ASSERT_NE(got, nullptr) << c.what;
        EXPECT_STREQ(got, c.error) << c.what;
    }
    EXPECT_EQ(datestringl(kAfternoon, "us12", 0), whole); // and all is well with memory back
}

} // namespace
