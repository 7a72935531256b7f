// The address record a peer sends before a call-back, and the security
// items a daemon answers: any bytes give an address that fits its buffer, or
// a status with the socket closed and set to -1.
#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "ztbase/vnet.h"
#include "ztbase/vnet_vnetd.h"
#include "ztbase/ztconf.h"

namespace {

int feed(const uint8_t *data, size_t size, int *peer) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return -1;
    if (size > 0 && send(sv[0], data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
        close(sv[0]);
        close(sv[1]);
        return -1;
    }
    shutdown(sv[0], SHUT_WR);
    *peer = sv[0];
    return sv[1];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536)
        return 0;
    int peer = -1;
    int sock = feed(data, size, &peer);
    if (sock < 0)
        return 0;
    char address[64];
    const int st = vnet_vnetd_pop_ipaddr(&sock, address, sizeof address, 0);
    if (st == VNET_SUCCESS && (sock < 0 || strlen(address) >= sizeof address))
        __builtin_trap();
    if (st != VNET_SUCCESS && sock != -1)
        __builtin_trap();
    if (sock >= 0)
        close(sock);
    close(peer);

    sock = feed(data, size, &peer);
    if (sock < 0)
        return 0;
    ztconf_info_t info{};
    if (vnet_vnetd_get_security_info(&sock, 13, &info, 0) != VNET_SUCCESS && sock != -1)
        __builtin_trap();
    ztconf_free_authorization_service(info.authorization_service);
    ztconf_free_authentication_domain_list(info.authentication_domain);
    ztconf_free_hxss_network(info.hxss_network);
    if (sock >= 0)
        close(sock);
    close(peer);
    return 0;
}
