// Whether a host's service answers: a connect that works, or that the host
// refuses, shows the host is there; anything else does not.
#include <unistd.h>

#include "vnet/vnet_connect_internal.h"
#include "vnet/vnet_wide.h"
#include "ztbase/debuglog.h"

using zt::vnet::wide::Narrow;

namespace {

// Seconds a bpcd ping waits, unless the host is reached over a resilient
// network, where the read timeout applies.
constexpr int kBpcdPingTimeout = 10;

} // namespace

extern "C" {

ZTBASE_API int vnet_ztservice_ping(const char *host, const char *service, int timeout) {
    int sock = -1;
    const int st = vnet_connect_to_service(host, service, nullptr, 0, 0, timeout, &sock);
    if (st == 0) {
        vnet_closesocket(sock);
        return 1;
    }
    logmsgvf(ZTLOG_DEBUG, 5, "vnet_ztservice_ping", "%s %s: %d %s",
             host != nullptr ? host : "(null)", service != nullptr ? service : "(null)", st,
             vnet_status_to_text(st));
    return st == VNET_CONNECT_REFUSED ? 1 : 0;
}

ZTBASE_API int vnet_bpcd_ping(const char *host) {
    using namespace zt::vnet::connect;
    const int timeout = host != nullptr && seams().in_resilient_network(host) != 0
                            ? read_settings().read_timeout
                            : kBpcdPingTimeout;
    return vnet_ztservice_ping(host, "bpcd", timeout);
}

ZTBASE_API int vnet_ztservice_pingW(const char16_t *host, const char16_t *service, int timeout) {
    Narrow h(host, "host", "vnet_ztservice_pingW");
    Narrow s(service, "service", "vnet_ztservice_pingW");
    return h.ok && s.ok ? vnet_ztservice_ping(h.text, s.text, timeout) : 0;
}

ZTBASE_API int vnet_bpcd_pingW(const char16_t *host) {
    Narrow h(host, "host", "vnet_bpcd_pingW");
    return h.ok ? vnet_bpcd_ping(h.text) : 0;
}

} // extern "C"
