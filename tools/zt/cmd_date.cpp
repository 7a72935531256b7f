// zt date: what the library makes of a date typed by a user.
#include <cstdio>
#include <cstring>
#include <string>

#include <ztbase/dates.h>

#include "commands.h"

namespace zt {

int cmd_date(int argc, char **argv) {
    constexpr const char kUsage[] = "date TEXT [--start-of-day]";
    const char *text = nullptr;
    bool start_of_day = false;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--start-of-day") == 0 && !start_of_day)
            start_of_day = true;
        else if (text == nullptr && strncmp(argv[i], "--", 2) != 0)
            text = argv[i];
        else
            return usage(kUsage);
    }
    if (text == nullptr)
        return usage(kUsage);
    std::string copy(text); // the parser trims its text in place
    time_t t = 0;
    if (convert2unixdate(copy.data(), &t, start_of_day ? 1 : 0) != 1) {
        fprintf(stderr, "zt date: not a date: %s\n", text);
        return 1;
    }
    printf("%lld %s\n", static_cast<long long>(t), datestring(t));
    return 0;
}

} // namespace zt
