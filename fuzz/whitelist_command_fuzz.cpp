// The program check of arbitrary command lines: never a crash, an answer of
// 0 or 1, and the caller's errno left as it was.
#include <cerrno>
#include <cstdint>
#include <string>

#include "ztbase/debuglog.h"
#include "ztbase/whitelist.h"

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
    const std::string command(reinterpret_cast<const char *>(data + 1), size - 1);
    const char *allowed[] = {"/zt-fuzz-none", "/tmp/", "", nullptr};
    errno = 4321;
    // The declared length is the text's up to its first NUL, or a wrong one.
    const size_t length = (data[0] & 1)                             ? command.size()
                          : command.find('\0') == std::string::npos ? command.size()
                                                                    : command.find('\0');
    int rc = is_path_whitelisted(command.c_str(), length, allowed, data[0] & 2 ? 1 : 0);
    if ((rc != 0 && rc != 1) || errno != 4321)
        __builtin_trap();
    return 0;
}
