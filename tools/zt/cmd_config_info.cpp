// zt config info: the information record of the host configuration, as JSON.
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <jansson.h>

#include <ztbase/ztconf.h>

#include "commands.h"
#include "config/snapshots/ztconf_info_fields.h"

namespace zt {
namespace {

json_t *text(const char *s) {
    return s != nullptr ? json_text(s) : json_null();
}

json_t *names(const ztconf_string_list_t *l) {
    json_t *a = json_array();
    for (; l != nullptr; l = l->next)
        json_array_append_new(a, text(l->name));
    return a;
}

json_t *window(int low, int high) {
    return json_pack("{s:i,s:i}", "low", low, "high", high);
}

json_t *netspec(const ztconf_netspec_t &n) {
    return json_pack("{s:i,s:i,s:b,s:o}", "family", n.family, "prefix", n.prefix, "wildcard",
                     n.wildcard, "hostname", text(n.hostname));
}

void set(json_t *o, const char *key, json_t *v) {
    json_object_set_new(o, key, v);
}

json_t *bandwidths(const ztconf_bandwidth_t *list) {
    json_t *a = json_array();
    for (auto *b = list; b != nullptr; b = b->next)
        json_array_append_new(a, json_pack("{s:o,s:o,s:i}", "first", text(b->first), "second",
                                           text(b->second), "value", b->value));
    return a;
}

json_t *numbers(std::initializer_list<int32_t> values) {
    json_t *a = json_array();
    for (int32_t v : values)
        json_array_append_new(a, json_integer(v));
    return a;
}

void own_web_server_tunnel(json_t *o, const ztconf_info_t &i) {
    json_t *tunnel = json_array();
    for (auto *p = i.web_server_tunnel; p != nullptr; p = p->next)
        json_array_append_new(tunnel, json_pack("[o,o]", text(p->first), text(p->second)));
    set(o, "web_server_tunnel", tunnel);
}

void own_client_port_window_low(json_t *o, const ztconf_info_t &i) {
    set(o, "client_port_window", window(i.client_port_window_low, i.client_port_window_high));
}

void own_authentication_domain(json_t *o, const ztconf_info_t &i) {
    json_t *domains = json_array();
    for (auto *d = i.authentication_domain; d != nullptr; d = d->next)
        json_array_append_new(domains, json_pack("{s:o,s:o,s:i,s:o,s:i}", "domain", text(d->domain),
                                                 "comment", text(d->comment), "type", d->type,
                                                 "broker", text(d->broker), "port", d->port));
    set(o, "authentication_domain", domains);
}

void own_authorization_service(json_t *o, const ztconf_info_t &i) {
    set(o, "authorization_service",
        i.authorization_service != nullptr
            ? json_pack("{s:o,s:i}", "host", text(i.authorization_service->host), "port",
                        i.authorization_service->port)
            : json_null());
}

void own_hxss_network(json_t *o, const ztconf_info_t &i) {
    json_t *hxss = json_array();
    for (auto *h = i.hxss_network; h != nullptr; h = h->next)
        json_array_append_new(hxss, json_pack("{s:o,s:i}", "host", text(h->host), "mode", h->mode));
    set(o, "hxss_network", hxss);
}

void own_connect_options(json_t *o, const ztconf_info_t &i) {
    json_t *options = json_array();
    for (auto *c = i.connect_options; c != nullptr; c = c->next)
        json_array_append_new(options, json_pack("{s:o,s:[i,i,i]}", "host", text(c->host), "values",
                                                 c->value[0], c->value[1], c->value[2]));
    set(o, "connect_options", options);
}

void own_default_connect_options(json_t *o, const ztconf_info_t &i) {
    const auto *d = i.default_connect_options;
    set(o, "default_connect_options",
        d != nullptr ? numbers({d->value[0], d->value[1], d->value[2]}) : json_null());
}

void own_limit_bandwidth(json_t *o, const ztconf_info_t &i) {
    set(o, "limit_bandwidth", bandwidths(i.limit_bandwidth));
}

void own_throttle_bandwidth(json_t *o, const ztconf_info_t &i) {
    set(o, "throttle_bandwidth", bandwidths(i.throttle_bandwidth));
}

void own_ztrb_reeval_period(json_t *o, const ztconf_info_t &i) {
    set(o, "ztrb",
        numbers({i.ztrb_reeval_period, i.ztrb_force_full_eval, i.ztrb_reeval_pending,
                 i.ztrb_retry_delay_after_emm_err, i.ztrb_mpx_group_unload_delay,
                 i.ztrb_cleanup_obsolete_dbinfo, i.ztrb_enable_optimizations}));
}

void own_vnet_options(json_t *o, const ztconf_info_t &i) {
    json_t *vnet = json_null();
    if (i.vnet_options != nullptr) {
        vnet = json_array();
        for (int k = 0; k < 12; ++k)
            json_array_append_new(vnet, json_integer(i.vnet_options->value[k]));
    }
    set(o, "vnet_options", vnet);
}

void own_client_reserved_port_window_low(json_t *o, const ztconf_info_t &i) {
    set(o, "client_reserved_port_window",
        window(i.client_reserved_port_window_low, i.client_reserved_port_window_high));
}

void own_preferred_network(json_t *o, const ztconf_info_t &i) {
    json_t *preferred = json_array();
    for (auto *p = i.preferred_network; p != nullptr; p = p->next)
        json_array_append_new(preferred, json_pack("{s:o,s:i,s:o,s:b,s:o,s:o}", "network",
                                                   text(p->network), "directive", p->directive,
                                                   "source", text(p->source), "pseudo", p->pseudo,
                                                   "network_spec", netspec(p->network_spec),
                                                   "source_spec", netspec(p->source_spec)));
    set(o, "preferred_network", preferred);
}

void own_ztrntd_peer_sock_expiration(json_t *o, const ztconf_info_t &i) {
    set(o, "ztrntd",
        numbers({i.ztrntd_peer_sock_expiration, i.ztrntd_idle_timeout, i.ztrntd_max_connections,
                 i.ztrntd_min_keep_alive_time, i.ztrntd_max_keep_alive_time}));
}

void own_resilient_network(json_t *o, const ztconf_info_t &i) {
    json_t *resilient = json_array();
    for (auto *r = i.resilient_network; r != nullptr; r = r->next)
        json_array_append_new(resilient,
                              json_pack("{s:o,s:b}", "host", text(r->host), "on", r->on));
    set(o, "resilient_network", resilient);
}

json_t *value_of(json_int_t v) {
    return json_integer(v);
}
json_t *value_of(const char *s) {
    return text(s);
}
json_t *value_of(const ztconf_string_list_t *l) {
    return names(l);
}

// The record's fields in its order: each under its own name, or as the field
// table's own JSON has it.
json_t *to_json(const ztconf_info_t &i) {
    json_t *o = json_object();
#define JSON_PLAIN(field) set(o, #field, value_of(i.field));
#define JSON_OWN(field) own_##field(o, i);
#define JSON_NONE(field)
#define ROW(field, item, kind, get, setter, json) JSON_##json(field)
    ZTCONF_INFO_FIELDS(ROW)
#undef ROW
#undef JSON_NONE
#undef JSON_OWN
#undef JSON_PLAIN
    return o;
}

} // namespace

int cmd_config_info(int argc, char **) {
    if (argc != 1)
        return bad_args("config", "info", "takes no arguments");
    ztconf_info_t *info = nullptr;
    int status = ztconf_get_info(&info);
    if (status != 0) {
        fprintf(stderr, "zt config info: the information record cannot be built (status %d)\n",
                status);
        return 1;
    }
    json_t *o = to_json(*info);
    char *out = json_dumps(o, JSON_INDENT(2) | JSON_PRESERVE_ORDER);
    json_decref(o);
    if (out == nullptr)
        return 1;
    printf("%s\n", out);
    free(out);
    return 0;
}

} // namespace zt
