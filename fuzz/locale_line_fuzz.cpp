// Lines of the locale file and the patterns they carry: parsed, formatted and
// displayed for an arbitrary time, with no length limit on the line.
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "locale/locale_dates.h"

using namespace ztbase::dates;

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4)
        return 0;
    uint32_t seconds;
    std::memcpy(&seconds, data, sizeof seconds);
    std::string line(reinterpret_cast<const char *>(data + 4), size - 4);
    for (char &c : line)
        if (static_cast<unsigned char>(c) < ' ' || c == 0x7F)
            c = ' ';

    const LocaleLine parsed = parse_locale_line(line);
    if (parsed.kind != LocaleLine::Define)
        return 0;
    check(!parsed.name.empty() && has_token(parsed.time_pattern) && has_token(parsed.date_pattern));

    LocaleContext ctx;
    const time_t t = seconds;
    struct tm f;
    check(gmtime_r(&t, &f) != nullptr);
    for (const std::string *p : {&parsed.time_pattern, &parsed.date_pattern}) {
        const std::string full = format_pattern(ctx, *p, f, true, false);
        const std::string shrt = format_pattern(ctx, *p, f, false, true);
        const std::string shown = display_pattern(ctx, "C", *p);
        // Every pattern character gives at most the widest field, "2106".
        check(full.size() <= 4 * p->size() + 4 && shrt.size() <= full.size() + p->size());
        check(!shown.empty() && shown.back() != '\0');
    }
    return 0;
}
