// Whether an address or a name is this machine.
//
// An address is local when it is loopback or when a stream socket can be
// bound to it. Where the system lets sockets bind to addresses it does not
// own (non-local bind switched on), a successful bind proves nothing, and
// the interface list decides instead. Answers about names are written into
// flag 0 of the name's cache entry, so the next question makes no bind test.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <unistd.h>

#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_host_internal.h"
#include "vnet/vnet_wide.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_host.h"

namespace zt::vnet::host {
namespace {

namespace rs = zt::vnet::resolve;

socklen_t family_length(int family) {
    return family == AF_INET ? socklen_t(sizeof(sockaddr_in))
           : family == AF_INET6 ? socklen_t(sizeof(sockaddr_in6))
                                : 0;
}

bool loopback4(const sockaddr_in &in) {
    return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
}

bool loopback(const sockaddr *addr) {
    if (addr->sa_family == AF_INET)
        return loopback4(*reinterpret_cast<const sockaddr_in *>(addr));
    const in6_addr &a = reinterpret_cast<const sockaddr_in6 *>(addr)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&a);
}

// 0 when a stream socket of the address's family could be bound to it (port
// 0), else the errno of the failure.
int bind_error(const sockaddr *addr, socklen_t len) {
    sockaddr_storage copy{};
    memcpy(&copy, addr, len < sizeof copy ? len : sizeof copy);
    if (copy.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in *>(&copy)->sin_port = 0;
    else
        reinterpret_cast<sockaddr_in6 *>(&copy)->sin6_port = 0;
    int s = socket(copy.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return errno;
    int rc = bind(s, reinterpret_cast<const sockaddr *>(&copy), len) == 0 ? 0 : errno;
    close(s);
    return rc;
}

// freebind_allowed: addresses this host cannot own bind all the same.
bool freebind_allowed() {
    for (const char *test : {"255.255.255.0", "223.254.253.0"}) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        inet_pton(AF_INET, test, &in.sin_addr);
        if (bind_error(reinterpret_cast<const sockaddr *>(&in), sizeof in) == EADDRNOTAVAIL)
            return false;
    }
    return true;
}

// is_sockaddr_local_if: listed among the local interface addresses.
bool listed_locally(const sockaddr *addr) {
    char text[INET6_ADDRSTRLEN] = "";
    const void *bytes = addr->sa_family == AF_INET
                            ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in *>(addr)->sin_addr)
                            : static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 *>(addr)->sin6_addr);
    if (inet_ntop(addr->sa_family, bytes, text, sizeof text) == nullptr)
        return false;
    char **list = nullptr;
    if (vnet_getifaddrs(0, 0, &list) != VNET_SUCCESS)
        return false;
    bool found = false;
    for (char **p = list; p != nullptr && *p != nullptr && !found; ++p)
        found = strcasecmp(*p, text) == 0;
    vnet_free_aliases(list);
    return found;
}

// The IPv4 address inside ::ffff:a.b.c.d.
bool embedded_ipv4(const sockaddr *addr, sockaddr_in &out) {
    if (addr->sa_family != AF_INET6)
        return false;
    const in6_addr &a = reinterpret_cast<const sockaddr_in6 *>(addr)->sin6_addr;
    if (!IN6_IS_ADDR_V4MAPPED(&a))
        return false;
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    memcpy(&out.sin_addr, &a.s6_addr[12], 4);
    return true;
}

} // namespace

bool sockaddr_local(const sockaddr *addr, socklen_t len) {
    if (addr == nullptr)
        return false;
    const socklen_t need = family_length(addr->sa_family);
    if (need == 0 || (len != 0 && len < need))
        return false;
    if (loopback(addr))
        return true;
    sockaddr_in v4{};
    const bool mapped = embedded_ipv4(addr, v4);
    if (freebind_allowed()) {
        if (mapped)
            return loopback4(v4) || listed_locally(reinterpret_cast<const sockaddr *>(&v4));
        return listed_locally(addr);
    }
    if (bind_error(addr, need) == 0)
        return true;
    if (mapped)
        return loopback4(v4) || bind_error(reinterpret_cast<const sockaddr *>(&v4), sizeof v4) == 0;
    return false;
}

} // namespace zt::vnet::host

namespace host = zt::vnet::host;
namespace rs = zt::vnet::resolve;

extern "C" ZTBASE_API int is_sockaddr_local(const struct sockaddr *address) {
    return host::sockaddr_local(address, 0) ? 1 : 0;
}

static int is_local_host_real(const char *name) {
    const char *tag = "vnet_is_local_host_real";
    host::set_last_from_flags(false);
    if (name == nullptr || name[0] == '\0') {
        logmsgvf(ZTLOG_DEBUG, 5, tag, "name is NULL or empty");
        return 0;
    }
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    int rc = vnet_cached_getaddrinfo(name, nullptr, nullptr, &list, &rv);
    rs::List owned(list);
    if (rc != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] vnet_cached_getaddrinfo() failed STAT=%d RV=%d NAME=%s",
                __FILE_NAME__, __LINE__, rc, rv, name);
        return 0;
    }
    bool local = false, from_flag = false;
    for (const vnet_addrinfo *e = list; e != nullptr; e = e->ai_next) {
        if (e->cached_flags[VNET_CF_LOCAL_HOST] == 2 || e->cached_flags[VNET_CF_LOCAL_HOST] == 1) {
            local = e->cached_flags[VNET_CF_LOCAL_HOST] == 2;
            from_flag = true;
            break;
        }
        if (e->ai_socktype == SOCK_STREAM && e->ai_addr != nullptr &&
            rs::resolver().is_local_address(e->ai_addr, e->ai_addrlen)) {
            local = true;
            break;
        }
    }
    host::set_last_from_flags(from_flag);
    if (!from_flag) {
        host::Flags f;
        f.set(VNET_CF_LOCAL_HOST, local ? 2 : 1);
        host::record_flags(name, f);
    }
    return local ? 1 : 0;
}

extern "C" ZTBASE_API int vnet_is_local_host_real(const char *name) {
    int answer = 0;
    int rc = rs::guarded("vnet_is_local_host_real", [&] {
        answer = is_local_host_real(name);
        return int(VNET_SUCCESS);
    });
    return rc == VNET_SUCCESS ? answer : 0;
}

extern "C" ZTBASE_API int vnet_is_local_host(const char *name) {
    return vnet_is_local_host_real(name);
}

extern "C" ZTBASE_API int vnet_is_local_host_ex(const char *name, int use_cache) {
    const char *tag = "vnet_is_local_host_ex";
    if (use_cache != 0)
        return vnet_is_local_host(name);
    if (name == nullptr || name[0] == '\0')
        return 0;
    const rs::ResolverTable &r = rs::resolver();
    addrinfo *res = nullptr;
    int eai = r.getaddrinfo(name, nullptr, nullptr, &res);
    if (eai != 0 || res == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] getaddrinfo() failed STAT=%d (%s) NAME=%s",
                __FILE_NAME__, __LINE__, rs::map_resolver_code(eai, tag), gai_strerror(eai), name);
        if (res != nullptr)
            r.freeaddrinfo(res);
        return 0;
    }
    bool local = res->ai_addr != nullptr && r.is_local_address(res->ai_addr, res->ai_addrlen);
    r.freeaddrinfo(res);
    return local ? 1 : 0;
}

extern "C" ZTBASE_API int vnet_link_locals_allowed(void) {
    int allowed = 0;
    rs::guarded("vnet_link_locals_allowed", [&] {
        allowed = rs::lookup_settings()->link_local_allowed ? 1 : 0;
        return int(VNET_SUCCESS);
    });
    return allowed;
}

extern "C" ZTBASE_API int vnet_is_local_hostW(const char16_t *name) {
    zt::vnet::wide::Narrow n(name, "name", "vnet_is_local_hostW");
    return n.ok ? vnet_is_local_host(n.text) : 0;
}
