// Address literals and socket addresses from arbitrary text: what becomes a
// socket address turns back into a text that makes the same address.
#include <cstdint>
#include <cstring>
#include <string>

#include "ztbase/vnet.h"
#include "ztbase/vnet_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text.resize(strlen(text.c_str())); // what a C caller's text holds
    const int family = vnet_is_ip_string(text.c_str());
    unsigned char raw[16];
    if (family != 0 && text.find('%') == std::string::npos &&
        vnet_inet_pton(family, text.c_str(), raw) != 1)
        __builtin_trap();
    vnet_sockaddr_t sa;
    socklen_t len = 0;
    if (vnet_sockAddrPtoN(text.c_str(), int(size % 65536), &sa, &len) != VNET_SUCCESS)
        return 0;
    char back[64];
    int port = -1;
    const auto *addr = reinterpret_cast<const sockaddr *>(&sa);
    if (vnet_sockAddrNtoPWithLength(addr, len, back, sizeof back, &port) == 0 || port != int(size % 65536))
        __builtin_trap();
    vnet_sockaddr_t again;
    socklen_t len2 = 0;
    if (vnet_sockAddrPtoN(back, port, &again, &len2) != VNET_SUCCESS || len2 != len)
        __builtin_trap();
    if (sa.ss_family == AF_INET &&
        memcmp(&reinterpret_cast<sockaddr_in *>(&sa)->sin_addr,
               &reinterpret_cast<sockaddr_in *>(&again)->sin_addr, 4) != 0)
        __builtin_trap();
    if (sa.ss_family == AF_INET6 &&
        memcmp(&reinterpret_cast<sockaddr_in6 *>(&sa)->sin6_addr,
               &reinterpret_cast<sockaddr_in6 *>(&again)->sin6_addr, 16) != 0)
        __builtin_trap();
    return 0;
}
