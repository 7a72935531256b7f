// What a connect reads from its peers: the resilient daemon's SOCKS 5 replies
// and the local vnetd's indirect-connect reply. The first byte picks which;
// the rest is what the peer sends. Every answer is a status, no socket is
// left open and nothing is read past the peer's end.
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vnet/vnet_connect_internal.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_connect.h"

namespace cn = zt::vnet::connect;

namespace {

int g_client = -1;

int proxy(const char *, const char *) {
    return 1;
}
int local_vnetd(int *sock, int *version) {
    *sock = g_client;
    *version = 13;
    return 0;
}
int no_socket(int, int *sock, int) {
    *sock = -1;
    return VNET_NOT_AVAILABLE;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 20000)
        return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return 0;
    if (send(sv[1], data + 1, size - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(size - 1)) {
        close(sv[0]);
        close(sv[1]);
        return 0;
    }
    shutdown(sv[1], SHUT_WR);
    if (data[0] & 1) {
        int st = vnet_do_socks5_client_protocol(sv[0], "far.example", "13724", 1);
        if (st < 0 || st > 54)
            __builtin_trap();
        close(sv[0]);
    } else {
        static cn::Seams seams{};
        seams.proxy_required = proxy;
        seams.local_vnetd_connect = local_vnetd;
        seams.receive_network_socket = no_socket;
        cn::set_seams(&seams);
        g_client = sv[0];
        int sock = -1;
        int st = vnet_connect_to_service("far.example", "bpcd", nullptr, 0, 0, 1, &sock);
        if ((st == 0) != (sock >= 0) || fcntl(sv[0], F_GETFD) != -1) // the client end is closed
            __builtin_trap();
        vnet_tss_free();
    }
    close(sv[1]);
    return 0;
}
