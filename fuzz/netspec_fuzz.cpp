// Network specifications of the preferred-network list from arbitrary text.
#include <cstdint>
#include <string>

#include "ztbase/ztconf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    ztconf_netspec_t spec;
    int status = parseNetspec(text.c_str(), &spec);
    if (status == 0 && spec.hostname == nullptr && spec.address == nullptr && !spec.wildcard)
        __builtin_trap();
    if (status != 0 && (spec.hostname != nullptr || spec.address != nullptr))
        __builtin_trap();
    ztconf_free_netspec(&spec);
    return 0;
}
