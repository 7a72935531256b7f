// The codec's number texts: whatever parses prints back to the same value,
// and a value is never a wrapped one.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vnet/vnet_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str(); // the wire string ends at its NUL
    long s = 0;
    if (zt::vnet::parse_signed(text.c_str(), &s) == 0) {
        char back[32];
        snprintf(back, sizeof back, "%ld", s);
        long again = 0;
        if (zt::vnet::parse_signed(back, &again) != 0 || again != s)
            __builtin_trap();
    }
    unsigned long u = 0;
    if (zt::vnet::parse_unsigned(text.c_str(), &u) == 0) {
        if (text.find('-') != std::string::npos)
            __builtin_trap(); // a negative text would have wrapped
        char back[32];
        snprintf(back, sizeof back, "%lu", u);
        unsigned long again = 0;
        if (zt::vnet::parse_unsigned(back, &again) != 0 || again != u)
            __builtin_trap();
    }
    return 0;
}
