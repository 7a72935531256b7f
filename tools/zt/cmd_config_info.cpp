// zt config info: the information record of the host configuration, as JSON.
#include <cstdio>
#include <cstdlib>
#include <jansson.h>
#include <utility>

#include <ztbase/ztconf.h>

#include "commands.h"

namespace zt {
namespace {

json_t *text(const char *s) {
    return s != nullptr ? json_string(s) : json_null();
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

json_t *to_json(const ztconf_info_t &i) {
    json_t *o = json_object();
    auto set_int = [o](const char *key, json_int_t v) {
        json_object_set_new(o, key, json_integer(v));
    };
    auto set = [o](const char *key, json_t *v) { json_object_set_new(o, key, v); };

    set_int("update_time", i.update_time);
    set("server", names(i.server));
    set_int("web_server_connection_timeout", i.web_server_connection_timeout);
    set_int("web_server_tunnel_use", i.web_server_tunnel_use);
    set_int("web_server_tunnel_enabled", i.web_server_tunnel_enabled);
    json_t *tunnel = json_array();
    for (auto *p = i.web_server_tunnel; p != nullptr; p = p->next)
        json_array_append_new(tunnel, json_pack("[o,o]", text(p->first), text(p->second)));
    set("web_server_tunnel", tunnel);
    set("trusted_master", names(i.trusted_master));
    set("authorize_server", text(i.authorize_server));
    set("client_port_window", window(i.client_port_window_low, i.client_port_window_high));
    set("required_interface", text(i.required_interface));
    json_t *domains = json_array();
    for (auto *d = i.authentication_domain; d != nullptr; d = d->next)
        json_array_append_new(domains, json_pack("{s:o,s:o,s:i,s:o,s:i}", "domain", text(d->domain),
                                                 "comment", text(d->comment), "type", d->type,
                                                 "broker", text(d->broker), "port", d->port));
    set("authentication_domain", domains);
    set("authorization_service",
        i.authorization_service != nullptr
            ? json_pack("{s:o,s:i}", "host", text(i.authorization_service->host), "port",
                        i.authorization_service->port)
            : json_null());
    set_int("use_hxss", i.use_hxss);
    json_t *hxss = json_array();
    for (auto *h = i.hxss_network; h != nullptr; h = h->next)
        json_array_append_new(hxss, json_pack("{s:o,s:i}", "host", text(h->host), "mode", h->mode));
    set("hxss_network", hxss);
    set_int("client_connect_timeout", i.client_connect_timeout);
    set_int("client_read_timeout", i.client_read_timeout);
    set("cluster_name", text(i.cluster_name));
    set("client_name", text(i.client_name));
    set_int("verbose", i.verbose);
    set("required_network", text(i.required_network));
    set("emmserver", text(i.emmserver));
    set_int("pbx_port", i.pbx_port);
    set("emmorboptions", text(i.emmorboptions));
    set_int("open_ztsl_ztnos", i.open_ztsl_ztnos);
    json_t *options = json_array();
    for (auto *c = i.connect_options; c != nullptr; c = c->next)
        json_array_append_new(options, json_pack("{s:o,s:[i,i,i]}", "host", text(c->host), "values",
                                                 c->value[0], c->value[1], c->value[2]));
    set("connect_options", options);
    set("default_connect_options",
        i.default_connect_options != nullptr
            ? json_pack("[i,i,i]", i.default_connect_options->value[0],
                        i.default_connect_options->value[1], i.default_connect_options->value[2])
            : json_null());
    set_int("disable_job_logging", i.disable_job_logging);
    set_int("incomplete_bkup_job_clean_interval", i.incomplete_bkup_job_clean_interval);
    set_int("max_vault_jobs", i.max_vault_jobs);
    set_int("max_indexing_jobs", i.max_indexing_jobs);
    set_int("server_connect_timeout", i.server_connect_timeout);
    for (auto [key, list] : {std::pair{"limit_bandwidth", i.limit_bandwidth},
                             std::pair{"throttle_bandwidth", i.throttle_bandwidth}}) {
        json_t *a = json_array();
        for (auto *b = list; b != nullptr; b = b->next)
            json_array_append_new(a, json_pack("{s:o,s:o,s:i}", "first", text(b->first), "second",
                                               text(b->second), "value", b->value));
        set(key, a);
    }
    set_int("media_unmount_delay", i.media_unmount_delay);
    set("ztrb", json_pack("[i,i,i,i,i,i,i]", i.ztrb_reeval_period, i.ztrb_force_full_eval,
                          i.ztrb_reeval_pending, i.ztrb_retry_delay_after_emm_err,
                          i.ztrb_mpx_group_unload_delay, i.ztrb_cleanup_obsolete_dbinfo,
                          i.ztrb_enable_optimizations));
    set("media_server", names(i.media_server));
    set_int("reverse_name_lookup", i.reverse_name_lookup);
    set("ssod_config_server", text(i.ssod_config_server));
    set("firewall_out", text(i.firewall_out));
    set("firewall_in", text(i.firewall_in));
    json_t *vnet = json_null();
    if (i.vnet_options != nullptr) {
        vnet = json_array();
        for (int k = 0; k < 12; ++k)
            json_array_append_new(vnet, json_integer(i.vnet_options->value[k]));
    }
    set("vnet_options", vnet);
    set_int("any_cluster_interface", i.any_cluster_interface);
    set_int("crypt_altaes", i.crypt_altaes);
    set_int("random_ports", i.random_ports);
    set_int("max_corba_payload_size", i.max_corba_payload_size);
    set("ztfsd_staging_dir", text(i.ztfsd_staging_dir));
    set("vantrel_server_name", names(i.vantrel_server_name));
    set_int("keep_dbm_imagechangelog_days", i.keep_dbm_imagechangelog_days);
    set("client_reserved_port_window",
        window(i.client_reserved_port_window_low, i.client_reserved_port_window_high));
    json_t *preferred = json_array();
    for (auto *p = i.preferred_network; p != nullptr; p = p->next)
        json_array_append_new(preferred, json_pack("{s:o,s:i,s:o,s:b,s:o,s:o}", "network",
                                                   text(p->network), "directive", p->directive,
                                                   "source", text(p->source), "pseudo", p->pseudo,
                                                   "network_spec", netspec(p->network_spec),
                                                   "source_spec", netspec(p->source_spec)));
    set("preferred_network", preferred);
    set_int("announce_dhcp_interval", i.announce_dhcp_interval);
    set_int("local_cache", i.local_cache);
    set("host_cache_path", text(i.host_cache_path));
    set_int("host_cache_ttl", i.host_cache_ttl);
    set_int("ip_address_family", i.ip_address_family);
    set_int("appliance_mode", i.appliance_mode);
    set("ztrntd", json_pack("[i,i,i,i,i]", i.ztrntd_peer_sock_expiration, i.ztrntd_idle_timeout,
                            i.ztrntd_max_connections, i.ztrntd_min_keep_alive_time,
                            i.ztrntd_max_keep_alive_time));
    json_t *resilient = json_array();
    for (auto *r = i.resilient_network; r != nullptr; r = r->next)
        json_array_append_new(resilient,
                              json_pack("{s:o,s:b}", "host", text(r->host), "on", r->on));
    set("resilient_network", resilient);
    set_int("ztjm_job_update_time", i.ztjm_job_update_time);
    set_int("request_stu_resource_for_snapshot_jobs", i.request_stu_resource_for_snapshot_jobs);
    set("vm_proxy_server", names(i.vm_proxy_server));
    set_int("use_authentication", i.use_authentication);
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
