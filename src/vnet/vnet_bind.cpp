// Source-port binding: a stream socket bound to a port of a window, tried
// from a first port downwards and then from the top of the window down to
// just above the first port, so that each port is tried once.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_addrinfo.h"
#include "ztbase/vnet_connect.h"

namespace {

const char kTag[] = "vnet_bind_to_port_addr_extra_ipi";

// Seeded once per process from the process id, the time and the first window.
int random_port(int low, int high) {
    static std::mutex mu;
    static std::mt19937 gen;
    static bool seeded = false;
    std::lock_guard<std::mutex> lock(mu);
    if (!seeded) {
        gen.seed(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr)) ^
                 (static_cast<unsigned>(low) << 16) ^ static_cast<unsigned>(high));
        seeded = true;
    }
    return std::uniform_int_distribution<int>(low, high)(gen);
}

// The address to bind: the given one (or any address of family) at port.
socklen_t bind_address(int family, const sockaddr *given, int port, sockaddr_storage *out) {
    memset(out, 0, sizeof *out);
    if (family == AF_INET6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(out);
        if (given != nullptr && given->sa_family == AF_INET6)
            *a = *reinterpret_cast<const sockaddr_in6 *>(given);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        return sizeof(sockaddr_in6);
    }
    auto *a = reinterpret_cast<sockaddr_in *>(out);
    if (given != nullptr && given->sa_family == AF_INET)
        *a = *reinterpret_cast<const sockaddr_in *>(given);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof(sockaddr_in);
}

// 0 bound, 1 try the next port, -1 stop (errno kept in *error).
int try_port(int sock, int family, const sockaddr *given, int port, int *error) {
    sockaddr_storage a;
    socklen_t len = bind_address(family, given, port, &a);
    if (bind(sock, reinterpret_cast<sockaddr *>(&a), len) == 0)
        return 0;
    *error = errno;
    return *error == EADDRINUSE || *error == EADDRNOTAVAIL ? 1 : -1;
}

void set_v6only(int sock) {
    int ipv4 = 0, ipv6 = 0;
    if (vnet_configured_stacks(&ipv4, &ipv6) != 0) {
        logmsgf(ZTLOG_WARNING, kTag, "vnet_configured_stacks() failed, but continuing anyway");
        return;
    }
    // With IPv4 configured, IPv4 peers are reached over IPv4 sockets.
    int on = ipv4 ? 1 : 0;
    if (setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0)
        logmsgf(ZTLOG_WARNING, kTag, "setsockopt(IPV6_V6ONLY) failed, but continuing anyway: %d",
                errno);
}

} // namespace

namespace zt::vnet::connect {

int bind_source_socket(int low, int high, int family, const sockaddr *address, int from_high,
                       int type_flags, int *sock_out) {
    if (sock_out == nullptr) {
        vnet_failure(__FILE__, __LINE__, kTag, VNET_BAD_PARAM);
        return VNET_BAD_PARAM;
    }
    *sock_out = -1;
    if (family != AF_INET && family != AF_INET6) {
        logmsgf(ZTLOG_ERROR, kTag, "unsupported address family %d", family);
        vnet_failure(__FILE__, __LINE__, kTag, VNET_BAD_PARAM);
        return VNET_BAD_PARAM;
    }
    const bool any = low < 1 || high > 65535 || low > high;
    int sock = socket(family, SOCK_STREAM | SOCK_CLOEXEC | type_flags, 0);
    if (sock < 0) {
        logmsgf(ZTLOG_ERROR, kTag, "socket() failed: %d", errno);
        vnet_failure(__FILE__, __LINE__, kTag, VNET_SOCKET_FAILED);
        return VNET_SOCKET_FAILED;
    }
    if (family == AF_INET6)
        set_v6only(sock);
    int error = 0;
    int rc = 1;
    if (any && address == nullptr) {
        rc = 0; // connect picks the port; a bind to port 0 would hold one early
    } else if (any) {
        // The port is chosen at connect time, sharing the kernel's pool.
        int on = 1;
        setsockopt(sock, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        rc = try_port(sock, family, address, 0, &error);
    } else {
        const int first = from_high ? high : random_port(low, high);
        for (int port = first; port >= low && rc == 1; --port)
            rc = try_port(sock, family, address, port, &error);
        for (int port = high; port > first && rc == 1; --port)
            rc = try_port(sock, family, address, port, &error);
    }
    if (rc != 0) {
        logmsgf(ZTLOG_ERROR, kTag, "bind() failed in [%d, %d]: %d %s", low, high, error,
                strerror(error));
        close(sock);
        vnet_failure(__FILE__, __LINE__, kTag, VNET_SOCKET_FAILED);
        return VNET_SOCKET_FAILED;
    }
    *sock_out = sock;
    return VNET_SUCCESS;
}

} // namespace zt::vnet::connect

extern "C" ZTBASE_API int vnet_bind_to_port_addr_extra_ipi(int low, int high, int family,
                                                           int exclusive, const sockaddr *address,
                                                           int *sock_out, int from_high) {
    (void)exclusive; // ports are never shared: SO_REUSEADDR is not set
    return zt::vnet::connect::bind_source_socket(low, high, family, address, from_high, 0,
                                                 sock_out);
}
