// The parser of dates typed by users. Input: one byte choosing the time zone
// and start_of_day, then the text, copied into a heap block of exactly its
// length plus the NUL so that any read past the terminator is caught.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "ztbase/dates.h"

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

// Zones with daylight-saving changes, one of them skipping midnight.
const char *const kZones[] = {"UTC", "America/Sao_Paulo", "Europe/Berlin", "America/Havana"};

void use_zone(const char *zone) {
    static const char *current = nullptr;
    if (current == zone)
        return;
    setenv("TZ", zone, 1);
    tzset();
    current = zone;
}

bool same_fields(time_t a, time_t b) {
    struct tm fa, fb;
    check(localtime_r(&a, &fa) != nullptr && localtime_r(&b, &fb) != nullptr);
    return fa.tm_year == fb.tm_year && fa.tm_mon == fb.tm_mon && fa.tm_mday == fb.tm_mday &&
           fa.tm_hour == fb.tm_hour && fa.tm_min == fb.tm_min && fa.tm_sec == fb.tm_sec;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    use_zone(kZones[(data[0] >> 1) % 4]);
    const int start_of_day = data[0] & 1;
    const char *in = reinterpret_cast<const char *>(data + 1);
    const size_t len = strnlen(in, size - 1);
    auto text = std::make_unique<char[]>(len + 1);
    std::memcpy(text.get(), in, len);
    text[len] = '\0';

    time_t out = -7;
    const int rc = convert2unixdate(text.get(), &out, start_of_day);
    check(rc == 0 || rc == 1);
    // Only a tail was cut.
    const size_t kept = std::strlen(text.get());
    check(kept <= len && std::memcmp(text.get(), in, kept) == 0);
    if (rc == 0) {
        check(out == -7);
        return 0;
    }
    check(out >= 0 && out <= ZT_TIME_BEYOND);
    if (out > 0 && out < ZT_TIME_BEYOND) {
        // The date of the result reads back as the same local time.
        struct tm f;
        check(localtime_r(&out, &f) != nullptr);
        char again[64];
        snprintf(again, sizeof again, "%02d/%02d/%04d %02d:%02d:%02d", f.tm_mon + 1, f.tm_mday,
                 f.tm_year + 1900, f.tm_hour, f.tm_min, f.tm_sec);
        time_t back = -7;
        check(convert2unixdate(again, &back, 0) == 1);
        check(same_fields(back, out));
        check(get_midnight(out) <= out && get_next_midnight(out) > out);
    }
    return 0;
}
