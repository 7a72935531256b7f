// Call-backs: the address record, and the two sides of a connection that is
// made back through the vnetd of the side that waits for it.
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

#include "vnet/vnet_vnetd_internal.h"
#include "ztbase/vnet_addrinfo.h"

using zt::vnet::vnetd::drop;

namespace {

constexpr int kAddressSize = 256;
constexpr const char *kNoNat = "NOTNAT:";

bool text_form(int sock, const sockaddr_storage &local) {
    int pbx = 0;
    vnet_get_pbx_port(&pbx);
    sockaddr_storage peer{};
    socklen_t pl = sizeof peer;
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &pl) == 0) {
        int port = -1;
        if (peer.ss_family == AF_INET)
            port = ntohs(reinterpret_cast<sockaddr_in *>(&peer)->sin_port);
        else if (peer.ss_family == AF_INET6)
            port = ntohs(reinterpret_cast<sockaddr_in6 *>(&peer)->sin6_port);
        if (port == pbx)
            return true;
    }
    int v4 = 0, v6 = 0;
    if (vnet_configured_stacks(&v4, &v6) == VNET_SUCCESS && !v4)
        return true;
    if (vnet_adjusted_family(AF_UNSPEC) == AF_INET6)
        return true;
    return local.ss_family != AF_INET;
}

} // namespace

extern "C" ZTBASE_API int vnet_vnetd_push_ipaddr(int *sock, int timeout) {
    const char *fn = "vnet_vnetd_push_ipaddr";
    if (sock == nullptr || *sock < 0)
        return VNET_BAD_PARAM;
    sockaddr_storage local{};
    socklen_t ll = sizeof local;
    if (getsockname(*sock, reinterpret_cast<sockaddr *>(&local), &ll) != 0)
        return drop(sock, fn, VNET_SOCKET_FAILED);
    int st;
    if (text_form(*sock, local)) {
        char text[INET6_ADDRSTRLEN] = "";
        if (local.ss_family == AF_INET6) {
            const auto *in6 = reinterpret_cast<sockaddr_in6 *>(&local);
            if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr))
                inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], text, sizeof text);
            else
                inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        } else if (local.ss_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(&local)->sin_addr, text, sizeof text);
        }
        if ((st = vnet_push_signed(*sock, VN_IPADDR_TEXT, timeout)) != VNET_SUCCESS ||
            (st = vnet_push_string(*sock, text, timeout)) != VNET_SUCCESS)
            return drop(sock, fn, st);
        return VNET_SUCCESS;
    }
    const auto *in = reinterpret_cast<sockaddr_in *>(&local);
    const auto *b = reinterpret_cast<const unsigned char *>(&in->sin_addr.s_addr);
    if ((st = vnet_push_signed(*sock, VN_IPADDR_IPV4, timeout)) != VNET_SUCCESS)
        return drop(sock, fn, st);
    for (int i = 0; i < 4; ++i)
        if ((st = vnet_push_byte(*sock, b[i], timeout)) != VNET_SUCCESS)
            return drop(sock, fn, st);
    int port = 0;
    vnet_get_port(&port);
    if ((st = vnet_push_signed(*sock, port, timeout)) != VNET_SUCCESS)
        return drop(sock, fn, st);
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_vnetd_pop_ipaddr(int *sock, char *address, int size, int timeout) {
    const char *fn = "vnet_vnetd_pop_ipaddr";
    if (sock == nullptr || *sock < 0 || address == nullptr || size < 16)
        return VNET_BAD_PARAM;
    address[0] = '\0';
    timeout = vnet_adjust_timeout(*sock, timeout);
    long kind = 0;
    int st = vnet_pop_signed(*sock, &kind, timeout);
    if (st != VNET_SUCCESS)
        return drop(sock, fn, st);
    if (kind == VN_IPADDR_TEXT) {
        if ((st = vnet_pop_string(*sock, address, size, timeout)) != VNET_SUCCESS)
            return drop(sock, fn, st);
        return VNET_SUCCESS;
    }
    if (kind != VN_IPADDR_IPV4) {
        logmsgf(ZTLOG_ERROR, fn, "unknown address record %ld", kind);
        return drop(sock, fn, VNET_READ_FAILED);
    }
    int b[4];
    for (int &v : b)
        if ((st = vnet_pop_byte(*sock, &v, timeout)) != VNET_SUCCESS)
            return drop(sock, fn, st);
    long port = 0;
    if ((st = vnet_pop_signed(*sock, &port, timeout)) != VNET_SUCCESS)
        return drop(sock, fn, st);
    snprintf(address, static_cast<size_t>(size), "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_begin_connect_back(int *sock, int timeout, int *sock_out) {
    const char *fn = "vnet_begin_connect_back";
    if (sock == nullptr || *sock < 0 || sock_out == nullptr)
        return VNET_BAD_PARAM;
    *sock_out = -1;
    char ipc[32] = "0";
    int listener = -1;
    int st = vnet_listen_on_local_port(5, ipc, sizeof ipc, &listener);
    if (st != VNET_SUCCESS) {
        VNETD_FAIL(fn, st);
        return st;
    }
    char hash[VN_HASH_SIZE] = "";
    int status = 0;
    if ((st = vnet_vnetd_push_ipaddr(sock, timeout)) == VNET_SUCCESS &&
        (st = vnet_push_string(*sock, ipc, timeout)) == VNET_SUCCESS &&
        (st = vnet_pop_status(*sock, &status, timeout)) == VNET_SUCCESS &&
        status == VNET_SUCCESS && (st = vnet_pop_string(*sock, hash, sizeof hash, timeout)) == VNET_SUCCESS)
        st = vnet_vnetd_accept_and_receive(listener, hash, sock_out, timeout);
    else if (st == VNET_SUCCESS)
        st = status;
    else if (*sock >= 0)
        drop(sock, fn, st);
    vnet_closesocket(listener);
    if (st != VNET_SUCCESS)
        VNETD_FAIL(fn, st);
    return st;
}

extern "C" ZTBASE_API int vnet_end_connect_back(int *sock, int timeout, int daemon_socket,
                                                int *sock_out) {
    const char *fn = "vnet_end_connect_back";
    if (sock == nullptr || *sock < 0 || sock_out == nullptr)
        return VNET_BAD_PARAM;
    *sock_out = -1;
    char address[kAddressSize], ipc[32];
    int st = vnet_vnetd_pop_ipaddr(sock, address, sizeof address, timeout);
    if (st == VNET_SUCCESS && (st = vnet_pop_string(*sock, ipc, sizeof ipc, timeout)) != VNET_SUCCESS)
        drop(sock, fn, st);
    if (st != VNET_SUCCESS)
        return st;
    // Through address translation only the connection's own peer address
    // reaches the other side; a text marked NOTNAT is taken as given.
    std::string host;
    if (strncmp(address, kNoNat, strlen(kNoNat)) == 0) {
        host = address + strlen(kNoNat);
    } else {
        char peer[300] = "";
        if (vnet_socket_to_peer_hostname_and_ipstring(*sock, nullptr, 0, peer, sizeof peer) !=
            VNET_SUCCESS)
            return drop(sock, fn, VNET_SOCKET_FAILED);
        host = peer;
        const size_t colon = host.rfind(':');
        if (colon != std::string::npos)
            host.erase(colon);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
    }
    int port = 0;
    vnet_get_port(&port);
    int back = -1, version = 0;
    char hash[VN_HASH_SIZE] = "";
    st = vnet_vnetd_connect_host(host.c_str(), port, timeout, &back);
    if (st == VNET_SUCCESS)
        st = vnet_version_connect(&back, VN_VERSION_HIGHEST, 2, &version, timeout);
    if (st == VNET_SUCCESS) {
        if (daemon_socket) {
            if ((st = vnet_push_unsigned(back, VN_REQUEST_DAEMON_SOCKET, timeout)) == VNET_SUCCESS)
                st = vnet_push_string(back, ipc, timeout);
        } else {
            st = vnet_vnetd_connect_back_socket(&back, version, ipc, hash, sizeof hash, timeout);
        }
    }
    // The waiting side learns the outcome, and the hash it must check.
    int relay = vnet_push_status(*sock, st, timeout);
    if (relay == VNET_SUCCESS && st == VNET_SUCCESS)
        relay = vnet_push_string(*sock, hash, timeout);
    if (relay != VNET_SUCCESS) {
        vnet_closesocket(back);
        return drop(sock, fn, relay);
    }
    if (st != VNET_SUCCESS) {
        vnet_closesocket(back);
        VNETD_FAIL(fn, st);
        return st;
    }
    int status = 0;
    st = vnet_pop_status(back, &status, timeout);
    if (st != VNET_SUCCESS || status != VNET_SUCCESS) {
        vnet_closesocket(back);
        st = st != VNET_SUCCESS ? st : status;
        VNETD_FAIL(fn, st);
        return st;
    }
    *sock_out = back;
    return VNET_SUCCESS;
}
