// The effective connect options of a host, their JSON form, the settings a
// connect reads from the configuration, and the maximum timeout.
#include <cstdio>
#include <cstring>
#include <jansson.h>

#include "vnet/vnet_connect_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/ztconf.h"

namespace zt::vnet::connect {

Settings read_settings() {
    Settings s;
    ztconf_info_t *info = nullptr;
    if (ztconf_get_info(&info) != 0 || info == nullptr) {
        logmsgf(ZTLOG_ERROR, "read_settings", "ztconf_get_info() failed");
        return s;
    }
    if (info->client_connect_timeout > 0)
        s.connect_timeout = info->client_connect_timeout;
    if (info->client_read_timeout > 0)
        s.read_timeout = info->client_read_timeout;
    s.port_low = info->client_port_window_low;
    s.port_high = info->client_port_window_high;
    s.reserved_low = info->client_reserved_port_window_low;
    s.reserved_high = info->client_reserved_port_window_high;
    s.random_ports = info->random_ports != 0;
    return s;
}

} // namespace zt::vnet::connect

using namespace zt::vnet::connect;

namespace {

const char kTag[] = "vnet_get_connect_options";

void fill_defaults(vnet_connect_options_rec *o, int reserved, int callback, int daemon) {
    if (o->reserved_port_kind == ZTCONF_RESERVED_PORT_KIND_DEFAULT)
        o->reserved_port_kind = reserved;
    if (o->callback_kind == ZTCONF_CALLBACK_KIND_DEFAULT)
        o->callback_kind = callback;
    if (o->daemon_port_type == ZTCONF_DAEMON_PORT_TYPE_DEFAULT)
        o->daemon_port_type = daemon;
}

} // namespace

extern "C" ZTBASE_API int vnet_get_connect_options(const char *host, int keep_given,
                                                   vnet_connect_options_rec *options) {
    if (options == nullptr) {
        logmsgf(ZTLOG_ERROR, kTag, "no connect options parameter");
        vnet_failure(__FILE__, __LINE__, kTag, VNET_BAD_PARAM);
        return VNET_BAD_PARAM;
    }
    if (host == nullptr || *host == '\0') {
        logmsgf(ZTLOG_ERROR, kTag, "no hostname parameter");
        vnet_failure(__FILE__, __LINE__, kTag, VNET_BAD_PARAM);
        return VNET_BAD_PARAM;
    }
    if (strlen(host) >= VNET_CONNECT_HOST_SIZE) {
        logmsgf(ZTLOG_ERROR, kTag, "host name too long: %zu bytes", strlen(host));
        vnet_failure(__FILE__, __LINE__, kTag, VNET_BAD_PARAM);
        return VNET_BAD_PARAM;
    }
    ztconf_info_t *info = nullptr;
    if (ztconf_get_info(&info) != 0 || info == nullptr) {
        logmsgf(ZTLOG_ERROR, kTag, "ztconf_get_info() failed");
        vnet_failure(__FILE__, __LINE__, kTag, VNET_READ_FAILED);
        return VNET_READ_FAILED;
    }
    vnet_connect_options_rec o = *options;
    if (!keep_given) {
        o.reserved_port_kind = ZTCONF_RESERVED_PORT_KIND_DEFAULT;
        o.callback_kind = ZTCONF_CALLBACK_KIND_DEFAULT;
        o.daemon_port_type = ZTCONF_DAEMON_PORT_TYPE_DEFAULT;
    }
    snprintf(o.server, sizeof o.server, "%s", host);
    const Seams &s = seams();
    for (const ztconf_connect_options_t *e = info->connect_options; e != nullptr; e = e->next) {
        if (e->host == nullptr || s.same_host(e->host, host) == 0)
            continue;
        fill_defaults(&o, e->value[0], e->value[1], e->value[2]);
        break;
    }
    if (const ztconf_default_connect_options_t *d = info->default_connect_options)
        fill_defaults(&o, d->value[0], d->value[1], d->value[2]);
    else
        fill_defaults(&o, ZTCONF_RESERVED_PORT_KIND_LEGACY, ZTCONF_CALLBACK_KIND_VNETD,
                      ZTCONF_DAEMON_PORT_TYPE_AUTOMATIC);
    // The configured paths decide only for this host; another host is reached
    // through vnetd whatever an entry says.
    if (s.is_local_host(host) == 0) {
        o.callback_kind = ZTCONF_CALLBACK_KIND_VNETD;
        o.daemon_port_type = ZTCONF_DAEMON_PORT_TYPE_VNETD;
    }
    *options = o;
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API json_t *vnet_json_connect_options_rec(const vnet_connect_options_rec *o) {
    if (o == nullptr)
        return json_null();
    return json_pack("{s:s, s:i, s:i, s:i}", "server", o->server, "reserved_port_kind",
                     o->reserved_port_kind, "callback_kind", o->callback_kind, "daemon_port_type",
                     o->daemon_port_type);
}

extern "C" ZTBASE_API int vnet_get_max_timeout(void) {
    ztconf_info_t *info = nullptr;
    if (ztconf_get_info(&info) != 0 || info == nullptr || info->vnet_options == nullptr)
        return 120;
    return info->vnet_options->value[0];
}
