// zt status: the text of a status code, or every code that has one.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include <ztbase/status.h>

#include "commands.h"

namespace zt {
namespace {

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

// Whether some catalogue has a text for code.
bool known(int code) {
    bool found = false;
#define ZT_KNOWN(name, first, last)                                                                \
    if (code >= (first) && code <= (last) && name[code - (first)] != nullptr)                      \
        found = true;
    ZTBASE_STATUS_CATALOGUES(ZT_KNOWN)
#undef ZT_KNOWN
    return found;
}

} // namespace

int cmd_status(int argc, char **argv) {
    if (argc == 1 && strcmp(argv[0], "--all") == 0)
        return list_all();
    int code = 0;
    if (argc < 1 || argc > 2)
        return bad_args("status", nullptr, argc < 1 ? "no code given" : "too many arguments");
    if (!parse_code(argv[0], code))
        return bad_args("status", nullptr,
                        ("'" + std::string(argv[0]) + "': not a number").c_str());
    if (!known(code)) {
        fprintf(stderr, "zt status: %s: %s (no status has this code)\n", argv[0], getECmsg(code));
        return 1;
    }
    puts(argc == 2 ? getECmsgl(code, argv[1]) : getECmsg(code));
    return 0;
}

} // namespace zt
