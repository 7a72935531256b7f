// Host-cache keys and file names from arbitrary names and services: a file
// name of at most 255 characters, one path component, only the mapped set.
#include <cstdint>
#include <cstring>
#include <netdb.h>
#include <string>

#include "vnet/vnet_file_cache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    namespace fc = zt::vnet::filecache;
    namespace rs = zt::vnet::resolve;
    std::string in(reinterpret_cast<const char *>(data), size);
    size_t cut = in.find('\0');
    std::string name = in.substr(0, cut);
    std::string service = cut == std::string::npos ? "" : in.substr(cut + 1);
    service = service.substr(0, service.find('\0'));
    addrinfo hints{};
    hints.ai_flags = size > 0 ? data[0] : 0;
    rs::AddrKey key = rs::make_key(name.c_str(), size % 2 ? service.c_str() : nullptr, hints, true);
    fc::Location loc = fc::locate("/var/cache/hosts", key, int(size % 40));
    if (loc.file.size() > 255 || loc.file.size() < 5 || loc.file.compare(loc.file.size() - 4, 4, ".txt") != 0)
        __builtin_trap();
    for (char c : loc.file)
        if (c == '/' || c == '\0' || c == '\n' || static_cast<unsigned char>(c) >= 128 ||
            static_cast<unsigned char>(c) < 32)
            __builtin_trap();
    if (loc.dir.size() != strlen("/var/cache/hosts/") + 3)
        __builtin_trap();
    (void)fc::key_string(key);
    return 0;
}
