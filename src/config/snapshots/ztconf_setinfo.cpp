// Writing an information record back to the local host configuration. Zero
// and null fields mean "not set": they never clear a stored value, except for
// the few fields whose zero is a real choice.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>
#include <ztbase/ztconf.h>

#include "config/store/bpconf_internal.h"
#include "config/snapshots/ztconf_internal.h"
#include "base/zt_status.h"

namespace st = zt::status;

namespace {

struct IntField {
    size_t offset;
    const char *label;
};
#define INT_FIELD(f, label)                                                                        \
    { offsetof(ztconf_info_t, f), label }

// Scalars written when set and different from the stored value.
const IntField kInts[] = {
    INT_FIELD(web_server_connection_timeout, "WEB_SERVER_CONNECTION_TIMEOUT"),
    INT_FIELD(web_server_tunnel_use, "WEB_SERVER_TUNNEL_USE"),
    INT_FIELD(web_server_tunnel_enabled, "WEB_SERVER_TUNNEL_ENABLED"),
    INT_FIELD(client_connect_timeout, "CLIENT_CONNECT_TIMEOUT"),
    INT_FIELD(client_read_timeout, "CLIENT_READ_TIMEOUT"),
    INT_FIELD(verbose, "VERBOSE"),
    INT_FIELD(open_ztsl_ztnos, "OPEN_ZTSL_ZTNOS"),
    INT_FIELD(disable_job_logging, "DISABLE_JOB_LOGGING"),
    INT_FIELD(incomplete_bkup_job_clean_interval, "INCOMPLETE_BKUP_JOB_CLEAN_INTERVAL"),
    INT_FIELD(max_vault_jobs, "MAX_VAULT_JOBS"),
    INT_FIELD(max_indexing_jobs, "MAX_INDEXING_JOBS"),
    INT_FIELD(server_connect_timeout, "SERVER_CONNECT_TIMEOUT"),
    INT_FIELD(media_unmount_delay, "MEDIA_UNMOUNT_DELAY"),
    INT_FIELD(ztrb_reeval_period, "ZTRB_REEVAL_PERIOD"),
    INT_FIELD(ztrb_force_full_eval, "ZTRB_FORCE_FULL_EVAL"),
    INT_FIELD(ztrb_reeval_pending, "ZTRB_REEVAL_PENDING"),
    INT_FIELD(ztrb_retry_delay_after_emm_err, "ZTRB_RETRY_DELAY_AFTER_EMM_ERR"),
    INT_FIELD(ztrb_mpx_group_unload_delay, "ZTRB_MPX_GROUP_UNLOAD_DELAY"),
    INT_FIELD(ztrb_cleanup_obsolete_dbinfo, "ZTRB_CLEANUP_OBSOLETE_DBINFO"),
    INT_FIELD(ztrb_enable_optimizations, "ZTRB_ENABLE_OPTIMIZATIONS"),
    INT_FIELD(reverse_name_lookup, "REVERSE_NAME_LOOKUP"),
    INT_FIELD(any_cluster_interface, "ANY_CLUSTER_INTERFACE"),
    INT_FIELD(crypt_altaes, "CRYPT_ALTAES"),
    INT_FIELD(random_ports, "RANDOM_PORTS"),
    INT_FIELD(max_corba_payload_size, "MAX_CORBA_PAYLOAD_SIZE"),
    INT_FIELD(keep_dbm_imagechangelog_days, "KEEP_DBM_IMAGECHANGELOG_DAYS"),
    INT_FIELD(announce_dhcp_interval, "Announce_DHCP_Interval"),
    INT_FIELD(local_cache, "LOCAL_CACHE"),
    INT_FIELD(host_cache_ttl, "HOST_CACHE_TTL"),
    INT_FIELD(ip_address_family, "IP_ADDRESS_FAMILY"),
    INT_FIELD(appliance_mode, "ZENTOR_APPLIANCE_MODE"),
    INT_FIELD(ztrntd_peer_sock_expiration, "ZTRNTD_PEER_SOCK_EXPIRATION"),
    INT_FIELD(ztrntd_idle_timeout, "ZTRNTD_IDLE_TIMEOUT"),
    INT_FIELD(ztrntd_max_connections, "ZTRNTD_MAX_CONNECTIONS"),
    INT_FIELD(ztrntd_min_keep_alive_time, "ZTRNTD_MIN_KEEP_ALIVE_TIME"),
    INT_FIELD(ztrntd_max_keep_alive_time, "ZTRNTD_MAX_KEEP_ALIVE_TIME"),
    INT_FIELD(ztjm_job_update_time, "ZTJM_JOB_UPDATE_TIME"),
};

// Strings written when set and different from the stored value.
const IntField kStrings[] = {
    INT_FIELD(authorize_server, "AUTHORIZE_SERVER"),
    INT_FIELD(required_interface, "REQUIRED_INTERFACE"),
    INT_FIELD(cluster_name, "CLUSTER_NAME"),
    INT_FIELD(client_name, "CLIENT_NAME"),
    INT_FIELD(required_network, "REQUIRED_NETWORK"),
    INT_FIELD(emmserver, "EMMSERVER"),
    INT_FIELD(emmorboptions, "EMMORBOPTIONS"),
    INT_FIELD(ssod_config_server, "SSOD_CONFIG_SERVER"),
    INT_FIELD(firewall_out, "FIREWALL_OUT"),
    INT_FIELD(firewall_in, "FIREWALL_IN"),
    INT_FIELD(ztfsd_staging_dir, "ZTFSD_STAGING_DIR"),
    INT_FIELD(host_cache_path, "HOST_CACHE_PATH"),
};
#undef INT_FIELD

using ztbase::bpconf::new_record;
using ztbase::bpconf::Record;

// Fills the update record; 0 or 36.
class Writer {
  public:
    Writer(const ZtConfig &stored, ZtConfig &update, ZtConfig &definition)
        : stored_(stored), update_(update), definition_(definition) {}

    void mark(const char *label) {
        ztbase::bpconf::set_def_word(&definition_, getConfigIndexA(label), 1);
    }

    template <typename T> T &field(const char *label) {
        return *static_cast<T *>(getConfigDataPointer(&update_, getConfigIndexA(label)));
    }
    template <typename T> const T &stored(const char *label) {
        return *static_cast<const T *>(
            getConfigDataPointer(const_cast<ZtConfig *>(&stored_), getConfigIndexA(label)));
    }

    void int_value(const char *label, int32_t value) {
        field<int32_t>(label) = value;
        mark(label);
    }

    void string_value(const char *label, const char *value) {
        char *copy = strdup(value);
        if (copy == nullptr) {
            status = st::kNoMemory;
            return;
        }
        field<char *>(label) = copy;
        mark(label);
    }

    void hosts(const char *label, const ztconf_string_list_t *list) {
        if (list == nullptr)
            return;
        ZtHostNode **tail = &field<ZtHostNode *>(label);
        for (; list != nullptr && status == 0; list = list->next) {
            auto *node = static_cast<ZtHostNode *>(calloc(1, sizeof(ZtHostNode)));
            if (node == nullptr || (node->host = strdup(list->name ? list->name : "")) == nullptr) {
                free(node);
                status = st::kNoMemory;
                return;
            }
            *tail = node;
            tail = &node->next;
        }
        mark(label);
    }

    void window(const char *label, int32_t low, int32_t high) {
        const ZtPortWindow *old = stored<ZtPortWindow *>(label);
        if ((low == 0 && high == 0) || (old != nullptr && old->low == low && old->high == high))
            return;
        auto *w = static_cast<ZtPortWindow *>(malloc(sizeof(ZtPortWindow)));
        if (w == nullptr) {
            status = st::kNoMemory;
            return;
        }
        w->low = low;
        w->high = high;
        field<ZtPortWindow *>(label) = w;
        mark(label);
    }

    int status = 0;

  private:
    const ZtConfig &stored_;
    ZtConfig &update_;
    ZtConfig &definition_;
};

int fill(const ztconf_info_t &info, Writer &w) {
    w.hosts("SERVER", info.server);
    w.hosts("TRUSTED_MASTER", info.trusted_master);
    w.hosts("VANTREL_SERVER_NAME", info.vantrel_server_name);
    w.hosts("VM_PROXY_SERVER", info.vm_proxy_server);
    if (info.authentication_domain != nullptr) {
        ZtAuthDomainNode **tail = &w.field<ZtAuthDomainNode *>("AUTHENTICATION_DOMAIN");
        for (auto *d = info.authentication_domain; d != nullptr && w.status == 0; d = d->next) {
            auto *node = static_cast<ZtAuthDomainNode *>(calloc(1, sizeof(ZtAuthDomainNode)));
            if (node == nullptr)
                return st::kNoMemory;
            *tail = node;
            tail = &node->next;
            node->type = d->type;
            node->port = d->port;
            if ((d->domain && !(node->domain = strdup(d->domain))) ||
                (d->comment && !(node->comment = strdup(d->comment))) ||
                (d->broker && !(node->broker = strdup(d->broker))))
                return st::kNoMemory;
        }
        w.mark("AUTHENTICATION_DOMAIN");
    }
    if (info.authorization_service != nullptr) {
        auto *s = static_cast<ZtAuthService *>(calloc(1, sizeof(ZtAuthService)));
        if (s == nullptr)
            return st::kNoMemory;
        w.field<ZtAuthService *>("AUTHORIZATION_SERVICE") = s;
        s->port = info.authorization_service->port;
        if (info.authorization_service->host != nullptr &&
            (s->host = strdup(info.authorization_service->host)) == nullptr)
            return st::kNoMemory;
        w.mark("AUTHORIZATION_SERVICE");
    }
    if (info.resilient_network != nullptr) {
        ZtResilientNetworkNode **tail = &w.field<ZtResilientNetworkNode *>("RESILIENT_NETWORK");
        for (auto *r = info.resilient_network; r != nullptr; r = r->next) {
            auto *node =
                static_cast<ZtResilientNetworkNode *>(calloc(1, sizeof(ZtResilientNetworkNode)));
            if (node == nullptr)
                return st::kNoMemory;
            *tail = node;
            tail = &node->next;
            node->on = r->on;
            if ((node->network = strdup(r->host != nullptr ? r->host : "")) == nullptr)
                return st::kNoMemory;
        }
        w.mark("RESILIENT_NETWORK");
    }

    w.int_value("USE_HXSS", info.use_hxss);
    if ((w.stored<int32_t>("USE_AUTHENTICATION") == 1 ? 1 : 0) != info.use_authentication)
        w.int_value("USE_AUTHENTICATION", info.use_authentication != 0 ? 1 : 0);
    if (w.stored<int32_t>("REQUEST_STU_RESOURCE_FOR_SNAPSHOT_JOBS") !=
        info.request_stu_resource_for_snapshot_jobs)
        w.int_value("REQUEST_STU_RESOURCE_FOR_SNAPSHOT_JOBS",
                    info.request_stu_resource_for_snapshot_jobs);

    const auto *base = reinterpret_cast<const char *>(&info);
    for (const IntField &f : kInts) {
        int32_t value = *reinterpret_cast<const int32_t *>(base + f.offset);
        if (value != 0 && value != w.stored<int32_t>(f.label))
            w.int_value(f.label, value);
    }
    for (const IntField &f : kStrings) {
        const char *value = *reinterpret_cast<char *const *>(base + f.offset);
        const char *old = w.stored<char *>(f.label);
        if (value != nullptr && value[0] != '\0' && (old == nullptr || strcmp(old, value) != 0))
            w.string_value(f.label, value);
    }
    w.window("CLIENT_PORT_WINDOW", info.client_port_window_low, info.client_port_window_high);
    w.window("CLIENT_RESERVED_PORT_WINDOW", info.client_reserved_port_window_low,
             info.client_reserved_port_window_high);
    return w.status;
}

} // namespace

extern "C" ZTBASE_API int ztconf_set_info(ztconf_info_t *info) {
    if (info == nullptr)
        return st::kInvalidParameter;
    // The thread's own record stays with the thread whatever happens.
    ztbase_tss_data *b = ztbase::ztconf::block();
    const bool owned_by_thread = b != nullptr && b->conf_info == info;
    auto fail = [&](int status) {
        ZTCONF_TRACE(status);
        if (!owned_by_thread)
            ztconf_free_info(info);
        return status;
    };

    Record stored = new_record(), update = new_record(), definition = new_record();
    if (!stored || !update || !definition)
        return fail(st::kNoMemory);
    if (ztbase::bpconf::read_stored_for_update(bpconfLocalSource, stored.get()) != 0)
        return fail(st::kFileOpenFailed);
    Writer writer(*stored, *update, *definition);
    int status = fill(*info, writer);
    if (status != 0)
        return fail(status);
    definition->valid = 1;
    update->valid = 1;
    status = UpdateLocalHostConfig(bpconfLocalSource, update.get(), definition.get());
    // The definition record owns nothing: zero it before its deleter runs.
    memset(definition.get(), 0, sizeof(ZtConfig));
    if (status != 0) {
        logmsgf(ZTLOG_ERROR, "ztconf_set_info", "UpdateLocalHostConfig failed: %d", status);
        return fail(status);
    }
    return 0;
}
