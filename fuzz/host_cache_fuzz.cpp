// Host-cache entry files of arbitrary bytes: the reader never crashes, and
// what it accepts writes back to a text that reads back to the same text.
#include <cstdint>
#include <string>
#include <string_view>

#include "vnet/vnet_file_cache.h"
#include "ztbase/debuglog.h"

namespace {
int quiet(int, int, const char *, const char *) {
    return 0;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static c_shim_logging_fn fn = quiet;
    c_shim_mod_logging = &fn;
    namespace fc = zt::vnet::filecache;
    std::string_view text(reinterpret_cast<const char *>(data), size);
    std::string key(text.substr(0, text.find('\n')));
    zt::vnet::resolve::AddrItem item;
    if (fc::parse_body(text, key, item) != fc::Read::Hit)
        return 0;
    std::string once = fc::format_body(key, item);
    zt::vnet::resolve::AddrItem again;
    if (fc::parse_body(once, key, again) != fc::Read::Hit)
        __builtin_trap();
    if (fc::format_body(key, again) != once)
        __builtin_trap();
    return 0;
}
