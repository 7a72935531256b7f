// zt status: the text of a status code, or every code that has one.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <ztbase/status.h>

#include "commands.h"

namespace zt {
namespace {

constexpr const char kUsage[] = "status CODE [LOCALE] | zt status --all";

bool parse_code(const char *text, int &code) {
    errno = 0;
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < INT_MIN || value > INT_MAX)
        return false;
    code = static_cast<int>(value);
    return true;
}

int list_all() {
#define ZT_LIST(name, first, last)                                                                 \
    for (int code = first; code <= (last); ++code)                                                 \
        if (name[code - (first)] != nullptr)                                                       \
            printf("%d\t%s\n", code, name[code - (first)]);
    ZTBASE_STATUS_CATALOGUES(ZT_LIST)
#undef ZT_LIST
    return 0;
}

} // namespace

int cmd_status(int argc, char **argv) {
    if (argc == 1 && strcmp(argv[0], "--all") == 0)
        return list_all();
    int code = 0;
    if (argc < 1 || argc > 2 || !parse_code(argv[0], code))
        return usage(kUsage);
    puts(argc == 2 ? getECmsgl(code, argv[1]) : getECmsg(code));
    return 0;
}

} // namespace zt
