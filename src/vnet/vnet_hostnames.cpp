// Address texts and host names of addresses and socket ends, and the
// one-line connection description daemons log.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

#include "vnet/vnet_hostnames.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"

namespace zt::vnet {
namespace {

int system_lookup(const sockaddr *addr, socklen_t len, char *host, size_t size) {
    return getnameinfo(addr, len, host, static_cast<socklen_t>(size), nullptr, 0, NI_NAMEREQD);
}

std::atomic<NameLookupFn> g_lookup{system_lookup};

} // namespace

NameLookupFn set_name_lookup(NameLookupFn fn) {
    return g_lookup.exchange(fn != nullptr ? fn : system_lookup);
}

int cached_getnameinfo(const sockaddr *addr, socklen_t len, char *host, size_t size) {
    return g_lookup.load()(addr, len, host, size);
}

socklen_t address_length(const sockaddr *addr) {
    if (addr == nullptr)
        return 0;
    if (addr->sa_family == AF_INET)
        return sizeof(sockaddr_in);
    if (addr->sa_family == AF_INET6)
        return sizeof(sockaddr_in6);
    return 0;
}

bool numeric_address(const sockaddr *addr, char *out, size_t size, int *port) {
    if (addr == nullptr)
        return false;
    if (addr->sa_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(addr);
        *port = ntohs(in->sin_port);
        return inet_ntop(AF_INET, &in->sin_addr, out, static_cast<socklen_t>(size)) != nullptr;
    }
    if (addr->sa_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(addr);
        *port = ntohs(in6->sin6_port);
        return inet_ntop(AF_INET6, &in6->sin6_addr, out, static_cast<socklen_t>(size)) != nullptr;
    }
    return false;
}

} // namespace zt::vnet

using zt::vnet::numeric_address;

namespace {

#define VNET_FAIL(tag, status) (vnet_failure(__FILE_NAME__, __LINE__, tag, status), (status))

using EndFn = int (*)(int, sockaddr *, socklen_t *);

int socket_end(int sock, EndFn end, sockaddr_storage &ss, const char *tag) {
    socklen_t len = sizeof ss;
    memset(&ss, 0, sizeof ss);
    if (end(sock, reinterpret_cast<sockaddr *>(&ss), &len) != 0) {
        int error = errno;
        logmsgf(ZTLOG_ERROR, tag, "%s(%d) failed: errno %d",
                end == getsockname ? "getsockname" : "getpeername", sock, error);
        return VNET_FAIL(tag, vnet_errno_to_status(error, VNET_SOCKET_FAILED));
    }
    return VNET_SUCCESS;
}

int names_of_end(int sock, EndFn end, char *hostname, size_t hostname_size, char *ipstring,
                 size_t ipstring_size, const char *tag) {
    sockaddr_storage ss;
    int rc = socket_end(sock, end, ss, tag);
    if (rc != 0)
        return rc;
    rc = vnet_sockaddr_to_hostname_and_ipstring(reinterpret_cast<sockaddr *>(&ss), hostname,
                                                hostname_size, ipstring, ipstring_size);
    return rc != 0 ? VNET_FAIL(tag, rc) : VNET_SUCCESS;
}

// "ADDRESS.PORT" with brackets for IPv6, or "what() failed".
void end_text(const sockaddr *addr, char *out, size_t size) {
    char ip[INET6_ADDRSTRLEN];
    int port = 0;
    if (!numeric_address(addr, ip, sizeof ip, &port)) {
        snprintf(out, size, "%s() failed", "inet_ntop");
        return;
    }
    snprintf(out, size, addr->sa_family == AF_INET6 ? "[%s].%d" : "%s.%d", ip, port);
}

char *describe(const sockaddr *local, const sockaddr *peer, const char *local_failure,
               const char *peer_failure, const char *service, int accepted, long sock, char *out,
               size_t size) {
    if (out == nullptr || size == 0)
        return out;
    char l[INET6_ADDRSTRLEN + 32], p[INET6_ADDRSTRLEN + 32];
    if (local_failure != nullptr)
        snprintf(l, sizeof l, "%s", local_failure);
    else
        end_text(local, l, sizeof l);
    if (peer_failure != nullptr)
        snprintf(p, sizeof p, "%s", peer_failure);
    else
        end_text(peer, p, sizeof p);
    // FROM is the side that connected: this end for CONNECT, the peer for ACCEPT.
    snprintf(out, size, "%s %s FROM %s TO %s fd = %ld", service != nullptr ? service : "",
             accepted ? "ACCEPT" : "CONNECT", accepted ? p : l, accepted ? l : p, sock);
    return out;
}

} // namespace

extern "C" ZTBASE_API char *vnet_format_IP(const char *address, char *out, size_t size) {
    if (out == nullptr || size == 0)
        return out;
    in6_addr a6;
    if (address != nullptr && inet_pton(AF_INET6, address, &a6) == 1)
        snprintf(out, size, "[%s]", address);
    else
        snprintf(out, size, "%s", address != nullptr ? address : "");
    return out;
}

extern "C" ZTBASE_API int
vnet_sockaddr_to_hostname_and_ipstring(const sockaddr *addr, char *hostname, size_t hostname_size,
                                       char *ipstring, size_t ipstring_size) {
    static const char *const tag = "vnet_sockaddr_to_hostname_and_ipstring";
    char ip[INET6_ADDRSTRLEN];
    int port = 0;
    if (!numeric_address(addr, ip, sizeof ip, &port))
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    if (ipstring != nullptr && ipstring_size > 0)
        snprintf(ipstring, ipstring_size, addr->sa_family == AF_INET6 ? "[%s]:%d" : "%s:%d", ip,
                 port);
    if (hostname != nullptr && hostname_size > 0) {
        hostname[0] = '\0';
        int rc = zt::vnet::cached_getnameinfo(addr, zt::vnet::address_length(addr), hostname,
                                              hostname_size);
        if (rc != 0) {
            logmsgf(ZTLOG_ERROR, tag, "vnet_cached_getnameinfo() failed: %d", rc);
            return VNET_FAIL(tag, VNET_GETHOST_FAILED);
        }
    }
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_socket_to_local_hostname_and_ipstring(int sock, char *hostname,
                                                                     size_t hostname_size,
                                                                     char *ipstring,
                                                                     size_t ipstring_size) {
    return names_of_end(sock, getsockname, hostname, hostname_size, ipstring, ipstring_size,
                        "vnet_socket_to_local_hostname_and_ipstring");
}

extern "C" ZTBASE_API int vnet_socket_to_peer_hostname_and_ipstring(int sock, char *hostname,
                                                                    size_t hostname_size,
                                                                    char *ipstring,
                                                                    size_t ipstring_size) {
    return names_of_end(sock, getpeername, hostname, hostname_size, ipstring, ipstring_size,
                        "vnet_socket_to_peer_hostname_and_ipstring");
}

extern "C" ZTBASE_API char *vnet_logconnections(int sock, const char *service, int accepted,
                                                char *out, size_t size) {
    sockaddr_storage local{}, peer{};
    socklen_t llen = sizeof local, plen = sizeof peer;
    char lfail[64], pfail[64];
    const char *lf = nullptr, *pf = nullptr;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&local), &llen) != 0) {
        snprintf(lfail, sizeof lfail, "%s(%d) failed", "getsockname", sock);
        lf = lfail;
    }
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &plen) != 0) {
        snprintf(pfail, sizeof pfail, "%s(%d) failed", "getpeername", sock);
        pf = pfail;
    }
    return describe(reinterpret_cast<sockaddr *>(&local), reinterpret_cast<sockaddr *>(&peer), lf,
                    pf, service, accepted, sock, out, size);
}

extern "C" ZTBASE_API char *vnet_logconnections_by_addr(const sockaddr *local, const sockaddr *peer,
                                                        const char *service, int accepted,
                                                        char *out, size_t size) {
    return describe(local, peer, nullptr, nullptr, service, accepted, -1, out, size);
}
