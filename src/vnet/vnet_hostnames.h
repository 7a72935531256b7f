// Address texts and host names of socket addresses. The reverse lookup goes
// through one replaceable function: getnameinfo() until the resolver caches
// provide a cached one.
#pragma once

#include <cstddef>
#include <sys/socket.h>

namespace zt::vnet {

// Host name of addr into host; 0 or a getnameinfo EAI_* code.
using NameLookupFn = int (*)(const sockaddr *addr, socklen_t len, char *host, size_t size);
// Installs fn (null: the default) and returns the previous one.
NameLookupFn set_name_lookup(NameLookupFn fn);
int cached_getnameinfo(const sockaddr *addr, socklen_t len, char *host, size_t size);

// The numeric address of addr (without brackets) and its port; false for a
// family other than IPv4 and IPv6.
bool numeric_address(const sockaddr *addr, char *out, size_t size, int *port);
// Length of the address structure of addr's family (0 when unknown).
socklen_t address_length(const sockaddr *addr);

} // namespace zt::vnet
