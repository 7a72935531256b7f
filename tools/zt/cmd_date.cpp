// zt date: what the library makes of a date typed by a user.
#include <cstdio>
#include <cstring>
#include <string>

#include <ztbase/dates.h>

#include "commands.h"

namespace zt {

int cmd_date(int argc, char **argv) {
    const char *text = nullptr;
    bool start_of_day = false;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--start-of-day") == 0 && !start_of_day)
            start_of_day = true;
        else if (text == nullptr && strncmp(argv[i], "--", 2) != 0)
            text = argv[i];
        else
            return bad_args("date", nullptr,
                            ("'" + std::string(argv[i]) + "': " +
                             (strncmp(argv[i], "--", 2) == 0 ? "unknown option" : "one date only"))
                                .c_str());
    }
    if (text == nullptr)
        return bad_args("date", nullptr, "no date given");
    std::string copy(text); // the parser trims its text in place
    time_t t = 0;
    if (convert2unixdate(copy.data(), &t, start_of_day ? 1 : 0) != 1) {
        fprintf(stderr, "zt date: '%s': not a date (MM/DD/YYYY [HH:MM[:SS]], a real day)\n", text);
        return 1;
    }
    printf("%lld %s\n", static_cast<long long>(t), datestring(t));
    return 0;
}

} // namespace zt
