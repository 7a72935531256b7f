/* Configuration snapshots: the calling thread's cached host and users
 * records, re-read only when the store changed (looked at no more than once
 * every 10 seconds per key), private reference-counted snapshots, overrides
 * that freeze the configuration, the master-server name, and the condensed
 * information record the network and security layers read. Also the shell
 * safety and name checks of the same module.
 *
 * Access keys: 1 host configuration, 2 users configuration, 3 and above
 * private snapshots (bpconf_readonly_ref / bpconf_writeable_ref).
 *
 * Threads: snapshots, the information record and their counts belong to the
 * calling thread and are released when it ends; a thread that ends holding
 * private-snapshot references aborts the process. The global override is
 * process-wide and meant to be installed before worker threads start.
 *
 * Misuse of keys and reference counts is a programming error: it is logged
 * at level 32 and the process aborts. */
#ifndef ZTBASE_ZTCONF_H
#define ZTBASE_ZTCONF_H

#include <stddef.h>
#include <stdint.h>
#include <ztbase/config.h>
#include <ztbase/export.h>

struct sockaddr;

ZTBASE_BEGIN_C

#define ZTCONF_HOST_KEY 1
#define ZTCONF_USERS_KEY 2

/* ---- snapshots ---- */

/* Brings the thread's snapshot for key 1 or 2 up to date: nothing while an
 * override is in force; unless forced, nothing within 10 seconds of the last
 * check; a re-read only when the store's times moved. A failed read keeps the
 * previous snapshot (the built-in defaults on the thread's first read) and
 * returns the status. */
ZTBASE_API int bpconf_read_into_tss(int key, int force);
ZTBASE_API int ZT_read_master_config(void);
ZTBASE_API int ZT_forced_read_master_config(void);
ZTBASE_API int read_users_config(void);
ZTBASE_API int forced_read_users_config(void);
/* The current host record; aborts the process when it cannot be had. */
ZTBASE_API ZtConfig *get_master_config_ptr(void);
ZTBASE_API ZtConfig *get_users_config_ptr(void);
/* 1 when the host record can be read, else 0 (logged). */
ZTBASE_API int check_master_config_ptr(void);

/* The current record for key 1 or 2 without a reference (the override record
 * when one is in force); valid until the thread's next refresh. */
ZTBASE_API int bpconf_no_ref(ZtConfig **out, int key);
/* *key 0: a new private snapshot of the host configuration with one
 * reference, its key stored in *key; an existing key of the same kind: one
 * more reference. 227 (and *key = 0) for a key of the other kind or an
 * unknown key. Private snapshots are never refreshed. */
ZTBASE_API int bpconf_readonly_ref(ZtConfig **out, int *key);
ZTBASE_API int bpconf_writeable_ref(ZtConfig **out, int *key);
ZTBASE_API int bpconf_decrement_ref_count(int key);

/* The later of the Config key's last-write time and, for key 1, the
 * cluster-aware file's modification time (seconds since 1970); 0 when neither
 * can be read. */
ZTBASE_API int64_t get_bpconf_update_time(int key);
/* The store time of the thread's snapshot for key (0 when none); while an
 * override is in force a process-wide counter that grows on every call. */
ZTBASE_API int64_t tss_conf_update_time(int key);

/* Overrides: deep copies of record replace the thread's snapshots (or the
 * process-wide one). The _buffer forms parse text strictly over the built-in
 * defaults; a bad line gives its status and installs nothing. */
ZTBASE_API int bpconf_disable_thread_config_reads(const ZtConfig *record);
ZTBASE_API int bpconf_disable_thread_config_reads_key(const ZtConfig *record, int key);
ZTBASE_API int bpconf_disable_thread_config_reads_buffer(const char *text);
ZTBASE_API int bpconf_enable_thread_config_reads(void);
ZTBASE_API int bpconf_disable_global_config_reads(const ZtConfig *record);
ZTBASE_API int bpconf_disable_global_config_reads_buffer(const char *text);
ZTBASE_API int bpconf_enable_global_config_reads(void);

/* The thread's master server (the first SERVER entry on first use) into
 * buffer; 37 when there is none, 20 for bad arguments. */
ZTBASE_API int get_master_server(char *buffer, int size);
/* 20 for null, 36 without memory. */
ZTBASE_API int set_master_server(const char *name);

/* ---- network specifications ---- */

/* Families: 0 any, AF_INET, AF_INET6. */
typedef struct ztconf_netspec_t {
    int32_t family;
    int32_t prefix;
    int32_t wildcard;
    char *hostname;           /* names only */
    struct sockaddr *address; /* sockaddr_in or sockaddr_in6 */
} ztconf_netspec_t;

/* "address[/prefix]" or a host name: 0, 20 for a bad prefix (0, not
 * decimal, above 32 / 128) or text, 36 without memory. Free the owned parts
 * with ztconf_free_netspec. */
ZTBASE_API int parseNetspec(const char *text, ztconf_netspec_t *out);
ZTBASE_API void ztconf_free_netspec(ztconf_netspec_t *spec);

/* ---- the information record ---- */

typedef struct ztconf_string_list_t {
    char *name;
    struct ztconf_string_list_t *next;
} ztconf_string_list_t;

typedef struct ztconf_pair_list_t {
    char *first;
    char *second;
    struct ztconf_pair_list_t *next;
} ztconf_pair_list_t;

typedef struct ztconf_authentication_domain_t {
    char *domain;
    char *comment;
    int32_t type;
    char *broker;
    int32_t port;
    struct ztconf_authentication_domain_t *next;
} ztconf_authentication_domain_t;

typedef struct ztconf_authorization_service_t {
    char *host;
    int32_t port;
} ztconf_authorization_service_t;

typedef struct ztconf_hxss_network_t {
    char *host;
    int32_t mode;
    struct ztconf_hxss_network_t *next;
} ztconf_hxss_network_t;

typedef struct ztconf_connect_options_t {
    char *host;
    int32_t value[3];
    struct ztconf_connect_options_t *next;
} ztconf_connect_options_t;

typedef struct ztconf_default_connect_options_t {
    int32_t value[3];
} ztconf_default_connect_options_t;

/* Bandwidth lists: second is null for throttle entries. */
typedef struct ztconf_bandwidth_t {
    char *first;
    char *second;
    int32_t value;
    struct ztconf_bandwidth_t *next;
} ztconf_bandwidth_t;

typedef struct ztconf_vnet_options_t {
    int32_t value[12];
} ztconf_vnet_options_t;

/* Directives as in PREFERRED_NETWORK: 1 MATCH, 2 PROHIBITED, 3 ONLY. */
#define ZTCONF_PSEUDO_PREFERRED_NETWORK "<PSEUDO PREFERRED NETWORK>"
typedef struct ztconf_preferred_network_t {
    char *network;
    int32_t directive;
    char *source;
    int32_t pseudo;
    ztconf_netspec_t network_spec;
    ztconf_netspec_t source_spec;
    struct ztconf_preferred_network_t *next;
} ztconf_preferred_network_t;

typedef struct ztconf_resilient_network_t {
    char *host;
    int32_t on;
    struct ztconf_resilient_network_t *next;
} ztconf_resilient_network_t;

/* Every string and list is owned by the record (ztconf_free_info). */
typedef struct ztconf_info_t {
    int64_t update_time;
    ztconf_string_list_t *server;
    int32_t web_server_connection_timeout;
    int32_t web_server_tunnel_use;
    int32_t web_server_tunnel_enabled;
    ztconf_pair_list_t *web_server_tunnel;
    ztconf_string_list_t *trusted_master;
    char *authorize_server;
    int32_t client_port_window_low;
    int32_t client_port_window_high;
    char *required_interface;
    ztconf_authentication_domain_t *authentication_domain;
    ztconf_authorization_service_t *authorization_service;
    int32_t use_hxss;
    ztconf_hxss_network_t *hxss_network;
    int32_t client_connect_timeout;
    int32_t client_read_timeout;
    int32_t reserved;
    char *cluster_name;
    char *client_name;
    int32_t verbose;
    char *required_network;
    char *emmserver;
    int32_t pbx_port;
    char *emmorboptions;
    int32_t open_ztsl_ztnos;
    ztconf_connect_options_t *connect_options;
    ztconf_default_connect_options_t *default_connect_options;
    int32_t disable_job_logging;
    int32_t incomplete_bkup_job_clean_interval;
    int32_t max_vault_jobs;
    int32_t max_indexing_jobs;
    int32_t server_connect_timeout;
    ztconf_bandwidth_t *limit_bandwidth;
    ztconf_bandwidth_t *throttle_bandwidth;
    int32_t media_unmount_delay;
    int32_t ztrb_reeval_period;
    int32_t ztrb_force_full_eval;
    int32_t ztrb_reeval_pending;
    int32_t ztrb_retry_delay_after_emm_err;
    int32_t ztrb_mpx_group_unload_delay;
    int32_t ztrb_cleanup_obsolete_dbinfo;
    int32_t ztrb_enable_optimizations;
    ztconf_string_list_t *media_server;
    int32_t reverse_name_lookup;
    char *ssod_config_server;
    char *firewall_out;
    char *firewall_in;
    ztconf_vnet_options_t *vnet_options;
    int32_t any_cluster_interface;
    int32_t crypt_altaes;
    int32_t random_ports;
    int32_t max_corba_payload_size;
    char *ztfsd_staging_dir;
    ztconf_string_list_t *vantrel_server_name;
    int32_t keep_dbm_imagechangelog_days;
    int32_t client_reserved_port_window_low;
    int32_t client_reserved_port_window_high;
    ztconf_preferred_network_t *preferred_network;
    int32_t announce_dhcp_interval;
    int32_t local_cache;
    char *host_cache_path;
    int32_t host_cache_ttl;
    int32_t ip_address_family;
    int32_t appliance_mode;
    int32_t ztrntd_peer_sock_expiration;
    int32_t ztrntd_idle_timeout;
    int32_t ztrntd_max_connections;
    int32_t ztrntd_min_keep_alive_time;
    int32_t ztrntd_max_keep_alive_time;
    ztconf_resilient_network_t *resilient_network;
    int32_t ztjm_job_update_time;
    int32_t request_stu_resource_for_snapshot_jobs;
    ztconf_string_list_t *vm_proxy_server;
    int32_t use_authentication;
} ztconf_info_t;

/* Makes *holder the thread's current information record (owned by the
 * thread: do not free it). */
ZTBASE_API int ztconf_get_info(ztconf_info_t **holder);
/* Frees a record built by ztconf_get_bpinfo (null is ignored). */
ZTBASE_API void ztconf_free_info(ztconf_info_t *info);
/* A new record from any configuration record: 110 when it is not valid, 20
 * for a bad preferred network, 36 without memory. */
ZTBASE_API int ztconf_get_bpinfo(const ZtConfig *record, ztconf_info_t **out);
/* Writes info back to the local host configuration; info is freed in every
 * case. 12 when the stored configuration cannot be read. */
ZTBASE_API int ztconf_set_info(ztconf_info_t *info);
/* The thread's record with one more reference; *count is the new count. */
ZTBASE_API int ztconf_get_info_ref_count(ztconf_info_t **out, int *count);
ZTBASE_API int ztconf_decrement_ref_count(int count);

ZTBASE_API int ztconf_create_authentication_domain(const char *domain, const char *comment,
                                                   int type, const char *broker, int port,
                                                   ztconf_authentication_domain_t **out);
ZTBASE_API void ztconf_free_authentication_domain(ztconf_authentication_domain_t *node);
ZTBASE_API void ztconf_free_authentication_domain_list(ztconf_authentication_domain_t *list);
ZTBASE_API int ztconf_create_authorization_service(const char *host, int port,
                                                   ztconf_authorization_service_t **out);
ZTBASE_API void ztconf_free_authorization_service(ztconf_authorization_service_t *service);
ZTBASE_API int ztconf_create_hxss_network(const char *host, int mode, ztconf_hxss_network_t **out);
ZTBASE_API void ztconf_free_hxss_network(ztconf_hxss_network_t *list);

/* ---- string checks ---- */

/* 1 when command is safe to hand to a shell, else 0 (the reason is logged).
 * Refused: ';', '&', '|', '`', "$(", line ends, redirections other than to
 * /dev/null, below /tmp/ without "..", or to descriptors 1 and 2; with
 * requireNoWhiteSpace any white space. The mb form takes the locale's
 * character set, the UTF8 form UTF-8. */
ZTBASE_API int sanitary_mb_str(const char *command, int requireNoWhiteSpace);
ZTBASE_API int sanitary_UTF8_str(const char *command, int requireNoWhiteSpace);
/* 1 for a non-empty name of letters, digits and ".-_+%()" not ending in '.'. */
ZTBASE_API int is_valid_client_id(const char *text);
/* 1 when text holds a '%' that does not start "%20". */
ZTBASE_API int has_percent_char_other_than_encoded_space(const char *text);
/* The absolute, normalised form of path into out; 0 or -1. */
ZTBASE_API int get_abs_path(const char *path, char *out, size_t size);

ZTBASE_END_C

#endif
