// The vnet_connect_to_ operations: each names itself, picks its kinds of
// path and hands the rest to connect_to_service.
#include <cstdio>
#include <cstring>
#include <jansson.h>

#include "vnet/vnet_connect_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet_connect.h"

using namespace zt::vnet::connect;

namespace {

const char kAuthOnly[] = "-auth-only";

bool ends_with(const char *s, const char *suffix) {
    const size_t n = strlen(s), m = strlen(suffix);
    return n >= m && strcmp(s + n - m, suffix) == 0;
}

Request request(const char *who, const char *host, const char *service, const char *iface,
                int extra_tries, int getsock_disable_to, int connect_timeout) {
    Request r;
    r.who = who;
    r.host = host;
    r.service = service;
    r.required_interface = iface;
    r.extra_tries = extra_tries;
    r.getsock_disable_to = getsock_disable_to;
    r.connect_timeout = connect_timeout;
    return r;
}

void set_proxy_flag(json_t *info, int flags) {
    if (!json_is_object(info))
        return;
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(flags));
    json_object_set_new(info, "proxy_flag", json_integer(flags));
    json_object_set_new(info, "proxy_flag_hex", json_string(hex));
}

// A fresh vnetd connection's version exchange and domain context; the
// socket is closed on any failure.
int greet(int *sock, int lowest, int *version_out) {
    const int timeout = read_settings().read_timeout;
    int version = 0;
    int st = seams().vnetd_greeting(sock, lowest, timeout, &version);
    if (st != 0) {
        vnet_closesocket(*sock);
        *sock = -1;
        return st;
    }
    if (version_out != nullptr)
        *version_out = version;
    return VNET_SUCCESS;
}

} // namespace

extern "C" {

ZTBASE_API int vnet_connect_to_service(const char *host, const char *service,
                                       const char *required_interface, int extra_tries,
                                       int getsock_disable_to, int connect_timeout, int *sock_out) {
    const char *who = "vnet_connect_to_service";
    Request r = request(who, host, service, required_interface, extra_tries, getsock_disable_to,
                        connect_timeout);
    if (service == nullptr || !ends_with(service, kAuthOnly))
        return connect_to_service(r, sock_out, nullptr);
    r.pbx_only = true;
    int st = connect_to_service(r, sock_out, nullptr);
    if (st == 0)
        return st;
    logmsgf(ZTLOG_ERROR, who, "vnet_connect_to_pbx_service(%s, %s,...) failed: %d",
            host != nullptr ? host : "(null)", service, st);
    if (strcmp(service, "bpdbm-auth-only") != 0)
        return st;
    logmsgf(ZTLOG_INFO, who, "retrying with non-auth_only service name %s", "bpdbm");
    Request plain = request(who, host, "bpdbm", required_interface, extra_tries, getsock_disable_to,
                            connect_timeout);
    return connect_to_service(plain, sock_out, nullptr);
}

ZTBASE_API int vnet_connect_to_pbx_service_ex(const char *host, const char *service,
                                              const char *required_interface, int extra_tries,
                                              int getsock_disable_to, int connect_timeout,
                                              int *sock_out, json_t *json_info) {
    Request r = request("vnet_connect_to_pbx_service", host, service, required_interface,
                        extra_tries, getsock_disable_to, connect_timeout);
    r.pbx_only = true;
    r.json_info = json_info;
    return connect_to_service(r, sock_out, nullptr);
}

ZTBASE_API int vnet_connect_to_pbx_service(const char *host, const char *service,
                                           const char *required_interface, int extra_tries,
                                           int getsock_disable_to, int connect_timeout,
                                           int *sock_out) {
    return vnet_connect_to_pbx_service_ex(host, service, required_interface, extra_tries,
                                          getsock_disable_to, connect_timeout, sock_out, nullptr);
}

ZTBASE_API int vnet_connect_to_vnetd_auth_only(const char *host, const char *required_interface,
                                               int extra_tries, int getsock_disable_to,
                                               int connect_timeout, int *sock_out, int *version_out,
                                               json_t *json_info) {
    Request r = request("vnet_connect_to_vnetd_auth_only", host, "vnetd-auth-only",
                        required_interface, extra_tries, getsock_disable_to, connect_timeout);
    r.pbx_only = true;
    r.json_info = json_info;
    int st = connect_to_service(r, sock_out, nullptr);
    return st != 0 ? st : greet(sock_out, 10, version_out);
}

ZTBASE_API int vnet_connect_to_vnetd_no_auth(int *sock_out, int *version_out) {
    Request r =
        request("vnet_connect_to_vnetd_no_auth", "localhost", "vnetd-no-auth", nullptr, 0, 0, 0);
    r.pbx_only = true;
    int st = connect_to_service(r, sock_out, nullptr);
    return st != 0 ? st : greet(sock_out, 13, version_out);
}

ZTBASE_API int vnet_connect_to_vnetd_ipi(const char *host, const char *required_interface,
                                         int extra_tries, int getsock_disable_to,
                                         int connect_timeout, int flags, int *sock_out,
                                         int *version_out) {
    if ((flags & VNET_CONNECT_FLAG_AUTH_ONLY) != 0 && (flags & VNET_CONNECT_FLAG_RESILIENT) == 0)
        return vnet_connect_to_vnetd_auth_only(host, required_interface, extra_tries,
                                               getsock_disable_to, connect_timeout, sock_out,
                                               version_out, nullptr);
    Request r = request("vnet_connect_to_vnetd_ipi", host, "vnetd", required_interface, extra_tries,
                        getsock_disable_to, connect_timeout);
    r.vnetd_only = true;
    r.flags = flags;
    return connect_to_service(r, sock_out, version_out);
}

ZTBASE_API int vnet_connect_to_bpcd(const char *host, const char *required_interface,
                                    int extra_tries, int getsock_disable_to, int connect_timeout,
                                    const vnet_connect_options_rec *connect_options, int *sock_out,
                                    json_t *json_info) {
    set_proxy_flag(json_info, VNET_CONNECT_FLAG_BPCD);
    Request r = request("vnet_connect_to_bpcd", host, "bpcd", required_interface, extra_tries,
                        getsock_disable_to, connect_timeout);
    r.options = connect_options;
    r.flags = VNET_CONNECT_FLAG_BPCD;
    r.json_info = json_info;
    return connect_to_service(r, sock_out, nullptr);
}

ZTBASE_API int vnet_connect_to_vnetd_bpcd(int cmd_sock, const char *remote_host,
                                          const char *remote_client, const char *required_interface,
                                          int extra_tries, int getsock_disable_to,
                                          int connect_timeout, int flags, int *sock_out,
                                          int *version_out) {
    json_t *info = json_object();
    if (info == nullptr)
        return VNET_MALLOC_FAILED;
    json_object_set_new(info, "cmd_sock", json_integer(cmd_sock));
    set_proxy_flag(info, flags);
    if (cmd_sock < 0) {
        // Without the command's socket the peer is described by its names;
        // a client known by another name than its host probably moves.
        const int same = remote_host != nullptr && remote_client != nullptr &&
                         seams().same_host(remote_host, remote_client) != 0;
        json_object_set_new(info, "remote_host",
                            remote_host != nullptr ? json_string(remote_host) : json_null());
        json_object_set_new(info, "remote_client",
                            remote_client != nullptr ? json_string(remote_client) : json_null());
        json_object_set_new(info, "remote_probably_dhcp", json_boolean(!same));
    }
    int st;
    if ((flags & VNET_CONNECT_FLAG_AUTH_ONLY) != 0 && (flags & VNET_CONNECT_FLAG_RESILIENT) == 0) {
        st = vnet_connect_to_vnetd_auth_only(remote_host, required_interface, extra_tries,
                                             getsock_disable_to, connect_timeout, sock_out,
                                             version_out, info);
    } else {
        Request r = request("vnet_connect_to_vnetd_bpcd", remote_host, "vnetd", required_interface,
                            extra_tries, getsock_disable_to, connect_timeout);
        r.vnetd_only = true;
        r.flags = flags;
        r.json_info = info;
        st = connect_to_service(r, sock_out, version_out);
    }
    json_decref(info);
    return st;
}

ZTBASE_API int vnet_connect_to_reserved_service(const char *host, const char *service,
                                                const char *required_interface, int extra_tries,
                                                int getsock_disable_to, int connect_timeout,
                                                int use_options, int *sock_out) {
    Request r = request("vnet_connect_to_reserved_service", host, service, required_interface,
                        extra_tries, getsock_disable_to, connect_timeout);
    r.legacy_only = true;
    vnet_connect_options_rec options{};
    if (use_options) {
        if (int st = vnet_get_connect_options(host, 0, &options); st != 0)
            return st;
        options.reserved_port_kind = ZTCONF_RESERVED_PORT_KIND_LEGACY;
        r.options = &options;
    }
    return connect_to_service(r, sock_out, nullptr);
}

ZTBASE_API int vnet_connect_to_third_party_service(const char *host, const char *service,
                                                   const char *required_interface, int extra_tries,
                                                   int getsock_disable_to, int connect_timeout,
                                                   int *sock_out) {
    Request r = request("vnet_connect_to_third_party_service", host, service, required_interface,
                        extra_tries, getsock_disable_to, connect_timeout);
    r.legacy_only = true;
    return connect_to_service(r, sock_out, nullptr);
}

} // extern "C"
