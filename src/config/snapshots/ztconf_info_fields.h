// The fields of the information record (ztconf_info_t), in the record's order,
// with the configuration item each comes from and how the three places that
// handle the record treat it: ztconf_get_bpinfo (get), ztconf_set_info (set)
// and zt config info (json).
//
//   X(field, ITEM, kind, get, set, json)
//
// kind: INT (int32_t, or update_time's int64_t), STRING (char *), HOSTS (a
// name list) or OTHER (a list or structure of its own).
// get/set/json: PLAIN when the kind's generic code handles the field, OWN when
// code of its own next to the generic code does, NONE when that place leaves
// the field alone. An OWN json field writes every key that stands at its place
// (one key for a pair of window fields, one array for a group of numbers).
// A NONE item means the field comes from no configuration item.
#pragma once

#define ZTCONF_INFO_FIELDS(X)                                                                      \
    X(update_time, NONE, INT, NONE, NONE, PLAIN)                                                   \
    X(server, SERVER, HOSTS, PLAIN, PLAIN, PLAIN)                                                  \
    X(web_server_connection_timeout, WEB_SERVER_CONNECTION_TIMEOUT, INT, PLAIN, PLAIN, PLAIN)      \
    X(web_server_tunnel_use, WEB_SERVER_TUNNEL_USE, INT, OWN, PLAIN, PLAIN)                        \
    X(web_server_tunnel_enabled, WEB_SERVER_TUNNEL_ENABLED, INT, OWN, PLAIN, PLAIN)                \
    X(web_server_tunnel, WEB_SERVER_TUNNEL, OTHER, OWN, NONE, OWN)                                 \
    X(trusted_master, TRUSTED_MASTER, HOSTS, PLAIN, PLAIN, PLAIN)                                  \
    X(authorize_server, AUTHORIZE_SERVER, STRING, PLAIN, PLAIN, PLAIN)                             \
    X(client_port_window_low, CLIENT_PORT_WINDOW, INT, OWN, OWN, OWN)                              \
    X(client_port_window_high, CLIENT_PORT_WINDOW, INT, OWN, OWN, NONE)                            \
    X(required_interface, REQUIRED_INTERFACE, STRING, PLAIN, PLAIN, PLAIN)                         \
    X(authentication_domain, AUTHENTICATION_DOMAIN, OTHER, OWN, OWN, OWN)                          \
    X(authorization_service, AUTHORIZATION_SERVICE, OTHER, OWN, OWN, OWN)                          \
    X(use_hxss, USE_HXSS, INT, OWN, OWN, PLAIN)                                                    \
    X(hxss_network, HXSS_NETWORK, OTHER, OWN, NONE, OWN)                                           \
    X(client_connect_timeout, CLIENT_CONNECT_TIMEOUT, INT, PLAIN, PLAIN, PLAIN)                    \
    X(client_read_timeout, CLIENT_READ_TIMEOUT, INT, PLAIN, PLAIN, PLAIN)                          \
    X(reserved, NONE, INT, OWN, NONE, NONE)                                                        \
    X(cluster_name, CLUSTER_NAME, STRING, PLAIN, PLAIN, PLAIN)                                     \
    X(client_name, CLIENT_NAME, STRING, PLAIN, PLAIN, PLAIN)                                       \
    X(verbose, VERBOSE, INT, PLAIN, PLAIN, PLAIN)                                                  \
    X(required_network, REQUIRED_NETWORK, STRING, PLAIN, PLAIN, PLAIN)                             \
    X(emmserver, EMMSERVER, STRING, PLAIN, PLAIN, PLAIN)                                           \
    X(pbx_port, NONE, INT, OWN, NONE, PLAIN)                                                       \
    X(emmorboptions, EMMORBOPTIONS, STRING, PLAIN, PLAIN, PLAIN)                                   \
    X(open_ztsl_ztnos, OPEN_ZTSL_ZTNOS, INT, PLAIN, PLAIN, PLAIN)                                  \
    X(connect_options, CONNECT_OPTIONS, OTHER, OWN, NONE, OWN)                                     \
    X(default_connect_options, DEFAULT_CONNECT_OPTIONS, OTHER, OWN, NONE, OWN)                     \
    X(disable_job_logging, DISABLE_JOB_LOGGING, INT, PLAIN, PLAIN, PLAIN)                          \
    X(incomplete_bkup_job_clean_interval, INCOMPLETE_BKUP_JOB_CLEAN_INTERVAL, INT, PLAIN, PLAIN,   \
      PLAIN)                                                                                       \
    X(max_vault_jobs, MAX_VAULT_JOBS, INT, PLAIN, PLAIN, PLAIN)                                    \
    X(max_indexing_jobs, MAX_INDEXING_JOBS, INT, PLAIN, PLAIN, PLAIN)                              \
    X(server_connect_timeout, SERVER_CONNECT_TIMEOUT, INT, PLAIN, PLAIN, PLAIN)                    \
    X(limit_bandwidth, LIMIT_BANDWIDTH, OTHER, OWN, NONE, OWN)                                     \
    X(throttle_bandwidth, THROTTLE_BANDWIDTH, OTHER, OWN, NONE, OWN)                               \
    X(media_unmount_delay, MEDIA_UNMOUNT_DELAY, INT, PLAIN, PLAIN, PLAIN)                          \
    X(ztrb_reeval_period, ZTRB_REEVAL_PERIOD, INT, PLAIN, PLAIN, OWN)                              \
    X(ztrb_force_full_eval, ZTRB_FORCE_FULL_EVAL, INT, PLAIN, PLAIN, NONE)                         \
    X(ztrb_reeval_pending, ZTRB_REEVAL_PENDING, INT, PLAIN, PLAIN, NONE)                           \
    X(ztrb_retry_delay_after_emm_err, ZTRB_RETRY_DELAY_AFTER_EMM_ERR, INT, PLAIN, PLAIN, NONE)     \
    X(ztrb_mpx_group_unload_delay, ZTRB_MPX_GROUP_UNLOAD_DELAY, INT, PLAIN, PLAIN, NONE)           \
    X(ztrb_cleanup_obsolete_dbinfo, ZTRB_CLEANUP_OBSOLETE_DBINFO, INT, PLAIN, PLAIN, NONE)         \
    X(ztrb_enable_optimizations, ZTRB_ENABLE_OPTIMIZATIONS, INT, PLAIN, PLAIN, NONE)               \
    X(media_server, MEDIA_SERVER, HOSTS, PLAIN, NONE, PLAIN)                                       \
    X(reverse_name_lookup, REVERSE_NAME_LOOKUP, INT, PLAIN, PLAIN, PLAIN)                          \
    X(ssod_config_server, SSOD_CONFIG_SERVER, STRING, PLAIN, PLAIN, PLAIN)                         \
    X(firewall_out, FIREWALL_OUT, STRING, PLAIN, PLAIN, PLAIN)                                     \
    X(firewall_in, FIREWALL_IN, STRING, PLAIN, PLAIN, PLAIN)                                       \
    X(vnet_options, VNET_OPTIONS, OTHER, OWN, NONE, OWN)                                           \
    X(any_cluster_interface, ANY_CLUSTER_INTERFACE, INT, PLAIN, PLAIN, PLAIN)                      \
    X(crypt_altaes, CRYPT_ALTAES, INT, PLAIN, PLAIN, PLAIN)                                        \
    X(random_ports, RANDOM_PORTS, INT, PLAIN, PLAIN, PLAIN)                                        \
    X(max_corba_payload_size, MAX_CORBA_PAYLOAD_SIZE, INT, PLAIN, PLAIN, PLAIN)                    \
    X(ztfsd_staging_dir, ZTFSD_STAGING_DIR, STRING, PLAIN, PLAIN, PLAIN)                           \
    X(vantrel_server_name, VANTREL_SERVER_NAME, HOSTS, PLAIN, PLAIN, PLAIN)                        \
    X(keep_dbm_imagechangelog_days, KEEP_DBM_IMAGECHANGELOG_DAYS, INT, PLAIN, PLAIN, PLAIN)        \
    X(client_reserved_port_window_low, CLIENT_RESERVED_PORT_WINDOW, INT, OWN, OWN, OWN)            \
    X(client_reserved_port_window_high, CLIENT_RESERVED_PORT_WINDOW, INT, OWN, OWN, NONE)          \
    X(preferred_network, PREFERRED_NETWORK, OTHER, OWN, NONE, OWN)                                 \
    X(announce_dhcp_interval, Announce_DHCP_Interval, INT, PLAIN, PLAIN, PLAIN)                    \
    X(local_cache, LOCAL_CACHE, INT, PLAIN, PLAIN, PLAIN)                                          \
    X(host_cache_path, HOST_CACHE_PATH, STRING, PLAIN, PLAIN, PLAIN)                               \
    X(host_cache_ttl, HOST_CACHE_TTL, INT, OWN, PLAIN, PLAIN)                                      \
    X(ip_address_family, IP_ADDRESS_FAMILY, INT, PLAIN, PLAIN, PLAIN)                              \
    X(appliance_mode, ZENTOR_APPLIANCE_MODE, INT, PLAIN, PLAIN, PLAIN)                             \
    X(ztrntd_peer_sock_expiration, ZTRNTD_PEER_SOCK_EXPIRATION, INT, PLAIN, PLAIN, OWN)            \
    X(ztrntd_idle_timeout, ZTRNTD_IDLE_TIMEOUT, INT, PLAIN, PLAIN, NONE)                           \
    X(ztrntd_max_connections, ZTRNTD_MAX_CONNECTIONS, INT, PLAIN, PLAIN, NONE)                     \
    X(ztrntd_min_keep_alive_time, ZTRNTD_MIN_KEEP_ALIVE_TIME, INT, PLAIN, PLAIN, NONE)             \
    X(ztrntd_max_keep_alive_time, ZTRNTD_MAX_KEEP_ALIVE_TIME, INT, PLAIN, PLAIN, NONE)             \
    X(resilient_network, RESILIENT_NETWORK, OTHER, OWN, OWN, OWN)                                  \
    X(ztjm_job_update_time, ZTJM_JOB_UPDATE_TIME, INT, PLAIN, PLAIN, PLAIN)                        \
    X(request_stu_resource_for_snapshot_jobs, REQUEST_STU_RESOURCE_FOR_SNAPSHOT_JOBS, INT, PLAIN,  \
      OWN, PLAIN)                                                                                  \
    X(vm_proxy_server, VM_PROXY_SERVER, HOSTS, PLAIN, PLAIN, PLAIN)                                \
    X(use_authentication, USE_AUTHENTICATION, INT, OWN, OWN, PLAIN)
