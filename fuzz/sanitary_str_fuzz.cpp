// The shell-safety check on arbitrary text: whatever passes holds no command
// separator, substitution or line end.
#include <cstdint>
#include <cstring>
#include <string>

#include "ztbase/debuglog.h"
#include "ztbase/ztconf.h"

namespace {
int quiet(int, int, const char *, const char *) {
    return 0;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static c_shim_logging_fn fn = quiet;
    c_shim_mod_logging = &fn;
    if (size < 1)
        return 0;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const int no_white = data[0] & 1;
    for (int utf8 = 0; utf8 < 2; ++utf8) {
        int safe = utf8 ? sanitary_UTF8_str(text.c_str(), no_white)
                        : sanitary_mb_str(text.c_str(), no_white);
        if (!safe)
            continue;
        const char *t = text.c_str();
        if (strpbrk(t, ";|`\n\r") != nullptr || strstr(t, "$(") != nullptr)
            __builtin_trap();
        // An '&' only ever joins a '>' to its target (blanks between allowed).
        for (const char *amp = strchr(t, '&'); amp != nullptr; amp = strchr(amp + 1, '&')) {
            const char *p = amp;
            while (p > t && strchr(" \t\v\f", p[-1]) != nullptr)
                --p;
            if (p == t || p[-1] != '>')
                __builtin_trap();
        }
    }
    return 0;
}
