// The local vnetd's side of an indirect connect: the caller's connect
// parameters read back from their JSON form and handed to the engine, which
// connects as if the caller had asked directly (but never indirectly again).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jansson.h>

#include "base/tss.h"
#include "vnet/vnet_connect_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet_connect.h"

using namespace zt::vnet::connect;

namespace {

const char kTag[] = "vnet_connect_for_caller";

// A member that must be text (or absent/null when optional).
bool text_member(const json_t *params, const char *name, bool optional, const char **out) {
    const json_t *v = json_object_get(params, name);
    *out = nullptr;
    if (v == nullptr || json_is_null(v)) {
        if (!optional)
            logmsgf(ZTLOG_ERROR, kTag, "connect parameter %s missing", name);
        return optional;
    }
    if (!json_is_string(v)) {
        logmsgf(ZTLOG_ERROR, kTag, "connect parameter %s is not text", name);
        return false;
    }
    *out = json_string_value(v);
    return true;
}

// A number member in [low, high]; absent counts as 0.
bool number_member(const json_t *params, const char *name, long low, long high, int *out) {
    const json_t *v = json_object_get(params, name);
    *out = 0;
    if (v == nullptr)
        return true;
    if (!json_is_integer(v) || json_integer_value(v) < low || json_integer_value(v) > high) {
        logmsgf(ZTLOG_ERROR, kTag, "connect parameter %s is not a number from %ld to %ld", name,
                low, high);
        return false;
    }
    *out = static_cast<int>(json_integer_value(v));
    return true;
}

bool options_member(const json_t *params, vnet_connect_options_rec *rec, bool *given) {
    const json_t *o = json_object_get(params, "connect_options");
    *given = false;
    if (o == nullptr || json_is_null(o))
        return true;
    const char *server = nullptr;
    if (!json_is_object(o) || !text_member(o, "server", true, &server) ||
        !number_member(o, "reserved_port_kind", 0, ZTCONF_RESERVED_PORT_KIND_DEFAULT,
                       &rec->reserved_port_kind) ||
        !number_member(o, "callback_kind", 0, ZTCONF_CALLBACK_KIND_DEFAULT, &rec->callback_kind) ||
        !number_member(o, "daemon_port_type", 0, ZTCONF_DAEMON_PORT_TYPE_DEFAULT,
                       &rec->daemon_port_type)) {
        logmsgf(ZTLOG_ERROR, kTag, "connect parameter %s is not an options record",
                "connect_options");
        return false;
    }
    if (server != nullptr && strlen(server) >= sizeof rec->server) {
        logmsgf(ZTLOG_ERROR, kTag, "connect option server too long: %zu bytes", strlen(server));
        return false;
    }
    snprintf(rec->server, sizeof rec->server, "%s", server != nullptr ? server : "");
    *given = true;
    return true;
}

} // namespace

namespace zt::vnet::connect {

int read_caller_params(const json_t *params, Request *r, vnet_connect_options_rec *options) {
    bool with_options = false;
    if (!json_is_object(params) || !text_member(params, "who", true, &r->who) ||
        !text_member(params, "host", false, &r->host) ||
        !text_member(params, "service", false, &r->service) ||
        !text_member(params, "override_required_interface", true, &r->required_interface) ||
        !number_member(params, "extra_tries_on_connect", 0, 1000, &r->extra_tries) ||
        !number_member(params, "getsock_disable_to", 0, 1000, &r->getsock_disable_to) ||
        !number_member(params, "overide_connect_timeout", -1, 86400, &r->connect_timeout) ||
        !options_member(params, options, &with_options)) {
        logmsgf(ZTLOG_ERROR, kTag, "bad connect parameters");
        return VNET_BAD_PARAM;
    }
    if (r->who == nullptr)
        r->who = kTag;
    r->options = with_options ? options : nullptr;
    r->no_indirect = true;
    return VNET_SUCCESS;
}

} // namespace zt::vnet::connect

extern "C" ZTBASE_API int vnet_connect_for_caller(const json_t *params, int *sock_out,
                                                  int *version_out, char **report_out) {
    if (report_out != nullptr)
        *report_out = nullptr;
    if (version_out != nullptr)
        *version_out = 0;
    if (sock_out == nullptr)
        return VNET_BAD_PARAM;
    *sock_out = -1;
    Request r;
    vnet_connect_options_rec options{};
    if (int st = read_caller_params(params, &r, &options); st != VNET_SUCCESS)
        return st;
    int version = 0;
    const int status = connect_to_service(r, sock_out, &version);
    if (version_out != nullptr)
        *version_out = status == 0 ? version : 0;
    ztbase_tss_data *b = nullptr;
    if (report_out != nullptr && ztbase_get_tss_data(&b) == 0 && b != nullptr &&
        b->connect_recs != nullptr)
        *report_out = strdup(b->connect_recs);
    return status;
}
