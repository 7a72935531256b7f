/* Connecting to a service on another host: the effective connect options of a
 * host, source-port binding and source selection, the process domain type and
 * hint, and the vnet_connect_to_ operations.
 *
 * A connect tries every chosen path (straight to the service's port, through
 * vnetd, through the port exchange, through the local resilient daemon) to
 * every address of the host at once with non-blocking sockets multiplexed in
 * the calling thread, keeps the first that completes its handshake and closes
 * the others. The path that worked is remembered in the host's cached flags
 * (flag 7, and flag 13 for the vnetd version), so that the next connect to
 * that host goes straight to it.
 *
 * Every operation returns a vnet status (ztbase/vnet.h); sockets handed out
 * are the caller's, -1 on failure. Every attempt of the last connect of the
 * calling thread is described in its connection report, which the thread's
 * vnet record (vnet_tss_get) carries as "connect_recs".
 *
 * Threads: a connect runs entirely in the calling thread and never blocks it
 * beyond the connect timeout plus the handshakes' own limits. The domain type
 * is process-wide; the domain hint lives in the process environment
 * (VNET_DOMAIN) so that child processes inherit it: set it before starting
 * threads that read the environment. */
#ifndef ZTBASE_VNET_CONNECT_H
#define ZTBASE_VNET_CONNECT_H

#include <stddef.h>
#include <sys/socket.h>
#ifndef __cplusplus
#include <uchar.h>
#endif
#include <ztbase/export.h>

struct json_t; /* Jansson's value */

ZTBASE_BEGIN_C

/* ---- connect options ---- */

#define ZTCONF_RESERVED_PORT_KIND_LEGACY 0 /* bind a reserved source port */
#define ZTCONF_RESERVED_PORT_KIND_NONE 1
#define ZTCONF_RESERVED_PORT_KIND_DEFAULT 2 /* not decided */
#define ZTCONF_CALLBACK_KIND_LEGACY 0
#define ZTCONF_CALLBACK_KIND_VNETD 1
#define ZTCONF_CALLBACK_KIND_DEFAULT 2
#define ZTCONF_DAEMON_PORT_TYPE_AUTOMATIC 0
#define ZTCONF_DAEMON_PORT_TYPE_VNETD 1
#define ZTCONF_DAEMON_PORT_TYPE_LEGACY 2
#define ZTCONF_DAEMON_PORT_TYPE_DEFAULT 3

#define VNET_CONNECT_HOST_SIZE 1025

/* The options of one host. */
typedef struct vnet_connect_options_rec {
    char server[VNET_CONNECT_HOST_SIZE]; /* the host the entry applies to */
    int reserved_port_kind;              /* ZTCONF_RESERVED_PORT_KIND_ */
    int callback_kind;                   /* ZTCONF_CALLBACK_KIND_ */
    int daemon_port_type;                /* ZTCONF_DAEMON_PORT_TYPE_ */
} vnet_connect_options_rec;

/* The effective options for host: unless keep_given, every field starts as
 * Default; then the first CONNECT_OPTIONS entry naming the same host fills the
 * fields still Default, then DEFAULT_CONNECT_OPTIONS (Legacy, Vnetd, Automatic
 * when absent). For a host that is not the local host the callback kind and
 * daemon port type are Vnetd whatever the configuration says. VNET_BAD_PARAM
 * for a null host or options (options untouched), VNET_READ_FAILED when the
 * configuration cannot be read. */
ZTBASE_API int vnet_get_connect_options(const char *host, int keep_given,
                                        vnet_connect_options_rec *options);
/* {"server", "reserved_port_kind", "callback_kind", "daemon_port_type"}: a new
 * reference, JSON null for a null record. */
ZTBASE_API struct json_t *vnet_json_connect_options_rec(const vnet_connect_options_rec *options);
/* VNET_OPTIONS' first value, 120 seconds when absent. */
ZTBASE_API int vnet_get_max_timeout(void);

/* ---- connection kinds and record states ----
 * Texts of the connection report. An unknown value is an internal error: it is
 * logged and the process aborts. */
#define VNET_CONN2_KIND_LEGACY 0 /* "legacy": the service's own port */
#define VNET_CONN2_KIND_VNETD 1  /* "vnetd" */
#define VNET_CONN2_KIND_PBX 2    /* "pbx": the port exchange */
#define VNET_CONN2_KIND_ZTRNTD 3 /* "ztrntd": the local resilient daemon */
#define VNET_CONN2_UNUSED 0      /* "UNUSED": not started */
#define VNET_CONN2_SUCCESS 1     /* "SUCCESS" */
#define VNET_CONN2_STARTED 2     /* "STARTED": connect in progress */
#define VNET_CONN2_RETRY 3       /* "RETRY": may start again after its retry time */
#define VNET_CONN2_FAILED 4      /* "FAILED" */
ZTBASE_API const char *conn2_kind_to_text(int kind);
ZTBASE_API const char *conn2_status_to_text(int status);

/* ---- process domain ---- */

#define VNET_DOMAIN_SERVER_TYPE 0
#define VNET_DOMAIN_SERVER_CHILD_PER_REQUEST_TYPE 1
#define VNET_DOMAIN_CLIENT_TYPE 2 /* the type until a process sets another */
#define VNET_DOMAIN_BAD_HINT "badfeed"

ZTBASE_API int vnet_get_process_domain_type(void);
/* Logs the change; any int is stored, unknown types show as "UNKNOWN". */
ZTBASE_API int vnet_set_process_domain_type(int type);
/* "VNET_DOMAIN_SERVER_TYPE" ...; "UNKNOWN" for other values. Constant data. */
ZTBASE_API const char *vnet_map_domain_type_to_string(int type);
/* The process's VNET_DOMAIN, null when absent or empty. The text stays valid
 * until the process ends (the environment keeps replaced values). */
ZTBASE_API const char *vnet_get_process_domain_hint(void);
/* Sets VNET_DOMAIN; null or "" clears it. VNET_SYSCALL_FAILED when the
 * environment cannot be changed (logged; the old hint stays). */
ZTBASE_API int vnet_set_process_domain_hint(const char *hint);
/* {"svc_type": type (only with_type), "process_hint": hint or null}; a new
 * reference, null without memory. */
ZTBASE_API struct json_t *vnet_build_domain_constraints(int with_type);
/* The receiving side of constraints: a service connection adopts the peer's
 * hint when this process serves per request or is a client, ignores it in a
 * server, and sets the bad hint when the peer sent none; a client connection
 * ignores it. VNET_BAD_PARAM for constraints that are not an object. */
ZTBASE_API int vnet_apply_domain_constraints(int is_service, const struct json_t *constraints);

/* ---- source ports and source addresses ---- */

/* A new stream socket of family bound to a source port in [low, high] (and to
 * address, when given; its port is ignored). A window with low < 1,
 * high > 65535 or low > high means any port. The first port tried is high
 * with from_high, else a random one in the window; then downwards to low,
 * then from high down to just above the first. Only "in use" and "not
 * available" move on to the next port. exclusive has no effect here: a
 * bound port is never shared without SO_REUSEADDR, which is not set.
 * VNET_SOCKET_FAILED when every port failed or the socket cannot be made
 * (nothing left open); *sock_out is -1 on failure. */
ZTBASE_API int vnet_bind_to_port_addr_extra_ipi(int low, int high, int family, int exclusive,
                                                const struct sockaddr *address, int *sock_out,
                                                int from_high);

/* Results of vnet_get_pref_netconnection. */
#define VNET_PREFNET_ANY 0            /* any local address */
#define VNET_PREFNET_PROHIBITED 1     /* no connection to this target */
#define VNET_PREFNET_BIND_ONE 2       /* bind to the one address given */
#define VNET_PREFNET_BIND_LIST 3      /* bind to one of the addresses given */
#define VNET_PREFNET_NOT_CONFIGURED 4 /* a configured name did not resolve */

typedef struct vnet_pref_binding {
    int count;
    struct sockaddr_storage *addrs; /* ports 0 */
} vnet_pref_binding;

/* Chooses the local source for target from the preferred-network list of the
 * configuration (or from override_interface, the caller's required interface,
 * when given). *binding_out holds the addresses of results 2 and 3 (null for
 * the others; free with vnet_free_pref_binding). 0, or VNET_BAD_PARAM /
 * VNET_MALLOC_FAILED. */
ZTBASE_API int vnet_get_pref_netconnection(const struct sockaddr *target,
                                           const char *override_interface, int *result_out,
                                           vnet_pref_binding **binding_out);
ZTBASE_API void vnet_free_pref_binding(vnet_pref_binding *binding);

/* ---- the resilient daemon's SOCKS 5 request ---- */

/* Asks the peer on sock (the local resilient daemon) to connect to host at
 * the port of service: RFC 1928 CONNECT to a domain name, no authentication.
 * VNET_BAD_PARAM for a host of 256 bytes or more, VNET_BAD_VERSION for a
 * reply of another version or reply code 2, VNET_BAD_NUMBER for a bad method,
 * reserved byte, address type or reply code, else the codec's statuses. */
ZTBASE_API int vnet_do_socks5_client_protocol(int sock, const char *host, const char *service,
                                              int timeout);

/* ---- connecting ----
 * Common arguments: host and service (name or port number);
 * required_interface: the local interface to connect from (null: the
 * configured preferred networks decide); extra_tries non-zero: retry refused
 * attempts every second, for up to 120 s; getsock_disable_to non-zero: a
 * timed-out attempt is tried again after 10 seconds; connect_timeout in
 * seconds (0 or less: CLIENT_CONNECT_TIMEOUT). */

/* Flags of the vnetd operations; they travel as the connection's proxy flag. */
#define VNET_CONNECT_FLAG_RESILIENT 0x1 /* through the local resilient daemon */
#define VNET_CONNECT_FLAG_AUTH_ONLY 0x8 /* vnetd's authenticated entry */
#define VNET_CONNECT_FLAG_BPCD 0x10

/* Any service. A name ending in "-auth-only" goes through the port exchange
 * only; when that fails only "bpdbm-auth-only" is tried again as "bpdbm". */
ZTBASE_API int vnet_connect_to_service(const char *host, const char *service,
                                       const char *required_interface, int extra_tries,
                                       int getsock_disable_to, int connect_timeout, int *sock_out);
/* Through the port exchange only. json_info (may be null) is an object that
 * travels with the connection to the proxy layer. */
ZTBASE_API int vnet_connect_to_pbx_service(const char *host, const char *service,
                                           const char *required_interface, int extra_tries,
                                           int getsock_disable_to, int connect_timeout,
                                           int *sock_out);
ZTBASE_API int vnet_connect_to_pbx_service_ex(const char *host, const char *service,
                                              const char *required_interface, int extra_tries,
                                              int getsock_disable_to, int connect_timeout,
                                              int *sock_out, struct json_t *json_info);
/* To vnetd itself; *version_out (may be null) gets its protocol version. With
 * VNET_CONNECT_FLAG_AUTH_ONLY and without VNET_CONNECT_FLAG_RESILIENT it is
 * vnet_connect_to_vnetd_auth_only. */
ZTBASE_API int vnet_connect_to_vnetd_ipi(const char *host, const char *required_interface,
                                         int extra_tries, int getsock_disable_to,
                                         int connect_timeout, int flags, int *sock_out,
                                         int *version_out);
/* "vnetd-auth-only" through the port exchange, then the version exchange
 * (versions 10 to 13) and the domain context within CLIENT_READ_TIMEOUT. */
ZTBASE_API int vnet_connect_to_vnetd_auth_only(const char *host, const char *required_interface,
                                               int extra_tries, int getsock_disable_to,
                                               int connect_timeout, int *sock_out, int *version_out,
                                               struct json_t *json_info);
/* "vnetd-no-auth" of this host through the port exchange, version 13. */
ZTBASE_API int vnet_connect_to_vnetd_no_auth(int *sock_out, int *version_out);
/* "bpcd"; json_info (may be null) gets "proxy_flag" and "proxy_flag_hex". */
ZTBASE_API int vnet_connect_to_bpcd(const char *host, const char *required_interface,
                                    int extra_tries, int getsock_disable_to, int connect_timeout,
                                    const vnet_connect_options_rec *connect_options, int *sock_out,
                                    struct json_t *json_info);
/* "vnetd" as vnet_connect_to_vnetd_ipi, for a command that came in on
 * cmd_sock (or, when cmd_sock is -1, on behalf of remote_client of
 * remote_host). */
ZTBASE_API int vnet_connect_to_vnetd_bpcd(int cmd_sock, const char *remote_host,
                                          const char *remote_client, const char *required_interface,
                                          int extra_tries, int getsock_disable_to,
                                          int connect_timeout, int flags, int *sock_out,
                                          int *version_out);
/* The service's own port only. With use_options the host's connect options
 * are used with the reserved port kind forced to Legacy (a source port from
 * CLIENT_RESERVED_PORT_WINDOW). */
ZTBASE_API int vnet_connect_to_reserved_service(const char *host, const char *service,
                                                const char *required_interface, int extra_tries,
                                                int getsock_disable_to, int connect_timeout,
                                                int use_options, int *sock_out);
/* The service's own port only, without options. */
ZTBASE_API int vnet_connect_to_third_party_service(const char *host, const char *service,
                                                   const char *required_interface, int extra_tries,
                                                   int getsock_disable_to, int connect_timeout,
                                                   int *sock_out);

/* The local vnetd's side of an indirect connect: connects on behalf of a
 * local caller from its connect parameters, the JSON object the caller sent
 * ("who", "host", "service", "override_required_interface",
 * "extra_tries_on_connect", "getsock_disable_to", "overide_connect_timeout",
 * "connect_options"). Never goes indirect itself. *sock_out: the connected
 * socket or -1; *version_out: the remote vnetd version (0 when none);
 * *report_out (may be null): the connection report (free(); null when none).
 * VNET_BAD_PARAM for parameters that are not such an object. */
ZTBASE_API int vnet_connect_for_caller(const struct json_t *params, int *sock_out,
                                       int *version_out, char **report_out);

/* ---- pings ---- */

/* 1 when service on host answers: the connect works (the socket is closed
 * again) or the host refuses it; 0 otherwise. */
ZTBASE_API int vnet_ztservice_ping(const char *host, const char *service, int timeout);
/* "bpcd" within 10 seconds (CLIENT_READ_TIMEOUT for a host in a resilient
 * network). */
ZTBASE_API int vnet_bpcd_ping(const char *host);
ZTBASE_API int vnet_ztservice_pingW(const char16_t *host, const char16_t *service, int timeout);
ZTBASE_API int vnet_bpcd_pingW(const char16_t *host);

ZTBASE_END_C

#endif
