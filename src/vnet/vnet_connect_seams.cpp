// The connect engine's seams and their built-in entries: the clock, host
// comparison, the proxy helper, resilient connections, the local vnetd's
// indirect-connect pieces and the handshakes by kind.
#include <chrono>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "vnet/vnet_connect_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet_addrinfo.h"
#include "ztbase/vnet_host.h"

namespace zt::vnet::connect {
namespace {

int64_t real_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void real_sleep_ms(int64_t ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int no_proxy(const char *, const char *) {
    return 0;
}

int swap_keeps_socket(int *, int, const char *, const char *, int, int) {
    return VNET_SUCCESS;
}

int never(const char *) {
    return 0;
}

int off() {
    return 0;
}

// Request 1 (disconnect) and its status; the socket is closed either way.
int disconnect(int *sock, int, int timeout) {
    int status = vnet_push_unsigned(*sock, 1, timeout);
    int remote = 0;
    if (status == 0)
        status = vnet_pop_status(*sock, &remote, timeout);
    if (status == 0)
        status = remote;
    vnet_closesocket(*sock);
    *sock = -1;
    return status;
}

int legacy_handshake(Record &, const Request &, const Settings &) {
    return VNET_SUCCESS;
}

const Seams kBuiltIn = {
    real_now_ms,
    real_sleep_ms,
    host_same,
    host_is_local,
    no_proxy,
    swap_keeps_socket,
    never,
    off,
    local_vnetd_endpoint,
    receive_from_local_vnetd,
    disconnect,
    vnetd_greeting,
    {legacy_handshake, do_vnetd_service, do_pbx_service, do_vnetd_service},
};

Seams g_merged = kBuiltIn;
const Seams *g_installed = nullptr;

template <class T> void pick(T &field, T given, T fallback) {
    field = given != nullptr ? given : fallback;
}

} // namespace

int host_same(const char *a, const char *b) {
    return vnet_same_host_and_update(a, b, 1, nullptr) == 1 ? 1 : 0;
}

int host_is_local(const char *name) {
    return vnet_is_local_host_real(name) == 1 ? 1 : 0;
}

const Seams &seams() {
    return g_merged;
}

const Seams *set_seams(const Seams *table) {
    const Seams *old = g_installed;
    g_installed = table;
    Seams m = kBuiltIn;
    if (table != nullptr) {
        pick(m.now_ms, table->now_ms, kBuiltIn.now_ms);
        pick(m.sleep_ms, table->sleep_ms, kBuiltIn.sleep_ms);
        pick(m.same_host, table->same_host, kBuiltIn.same_host);
        pick(m.is_local_host, table->is_local_host, kBuiltIn.is_local_host);
        pick(m.proxy_required, table->proxy_required, kBuiltIn.proxy_required);
        pick(m.proxy_socket_swap, table->proxy_socket_swap, kBuiltIn.proxy_socket_swap);
        pick(m.in_resilient_network, table->in_resilient_network, kBuiltIn.in_resilient_network);
        pick(m.resiliency_enabled, table->resiliency_enabled, kBuiltIn.resiliency_enabled);
        pick(m.local_vnetd_connect, table->local_vnetd_connect, kBuiltIn.local_vnetd_connect);
        pick(m.receive_network_socket, table->receive_network_socket,
             kBuiltIn.receive_network_socket);
        pick(m.vnetd_disconnect, table->vnetd_disconnect, kBuiltIn.vnetd_disconnect);
        pick(m.vnetd_greeting, table->vnetd_greeting, kBuiltIn.vnetd_greeting);
        for (int k = 0; k < kKinds; ++k)
            pick(m.handshake[k], table->handshake[k], kBuiltIn.handshake[k]);
    }
    g_merged = m;
    return old;
}

} // namespace zt::vnet::connect
