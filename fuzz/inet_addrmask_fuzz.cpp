// IPv4 address-and-mask texts of network lists from arbitrary text. What the
// parser accepts must mean what inet_aton(3) makes of it, and a bit count
// must give a prefix mask.
#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <string>

#include "ztbase/vnet.h"
#include "ztbase/vnet_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text.resize(strlen(text.c_str())); // what a C caller's text holds
    uint32_t address = 0, mask = 0;
    int status = vnet_inet_addrmask(text.c_str(), &address, &mask);
    const size_t slash = text.find('/');
    if (status == VNET_SUCCESS) {
        const std::string addr_part = text.substr(0, std::min(slash, text.find(':')));
        in_addr a{};
        if (inet_aton(addr_part.c_str(), &a) == 0 || a.s_addr != address)
            __builtin_trap();
        const uint32_t m = ntohl(mask);
        if (slash != std::string::npos && (m & (~m >> 1)) != 0)
            __builtin_trap(); // a one-bit after a zero-bit: not a prefix
    } else if (status != VNET_BAD_STRING && status != VNET_BAD_ARGUMENT) {
        __builtin_trap();
    }
    uint32_t plain = 0;
    if (vnet_inet_addr(text.c_str(), &plain) == VNET_SUCCESS) {
        in_addr a{};
        if (inet_aton(text.c_str(), &a) == 0 || a.s_addr != plain)
            __builtin_trap();
    }
    unsigned char mask6[16];
    vnet_inet_addrmask_ipv6(size > 0 ? int(int8_t(data[0])) + 64 : 0, mask6);
    return 0;
}
