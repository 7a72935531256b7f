/* The conversation with a vnetd daemon: the version handshake, the requests,
 * handing an open socket to another process of this host with a hash proof,
 * call-backs, local service registration files and the cache of remote
 * product versions.
 *
 * Sockets are passed by reference where a request may fail after the
 * handshake: on a failed send or receive the socket is closed and set to -1.
 * A non-zero status received from the daemon is returned as it came.
 *
 * On this system an IPC endpoint (the "IPC string" of requests, registration
 * files and call-backs) is a local stream socket in the abstract namespace
 * named "ztbase-ipc-<N>", N being the IPC string; descriptors travel over it
 * as ancillary data. Connections to other hosts are TCP. */
#ifndef ZTBASE_VNET_VNETD_H
#define ZTBASE_VNET_VNETD_H

#include <stddef.h>
#include <sys/types.h>
#include <ztbase/export.h>

struct json_t;
struct ztconf_info_t;

ZTBASE_BEGIN_C

/* Protocol versions. */
#define VN_VERSION_HIGHEST 13
#define VN_VERSION_RESILIENT_OFFSET 256
#define VN_VERSION_SERVICE_SOCKET 2
#define VN_VERSION_SECURITY_INFO 3
#define VN_VERSION_PBX_C_SUPPORTED 10
#define VN_VERSION_MASTER_NAME 10
#define VN_VERSION_FORWARD_USER 12
#define VN_VERSION_SECURE_COMM 13

/* Request codes, sent as unsigned numbers. */
#define VN_REQUEST_NOOP 0
#define VN_REQUEST_DISCONNECT 1
#define VN_REQUEST_DAEMON_SOCKET 2
#define VN_REQUEST_CONNECT_BACK_SOCKET 3
#define VN_REQUEST_SERVICE_SOCKET 6
#define VN_REQUEST_VERSION 8
#define VN_REQUEST_GET_SECURITY_INFO 9
#define VN_REQUEST_CONNECT_FORWARD_SOCKET 10
#define VN_REQUEST_PBX_C_SUPPORTED 13
#define VN_REQUEST_MASTER_NAME 14
#define VN_REQUEST_CONNECT_FORWARD_SOCKET_EX 16
#define VN_REQUEST_INDIRECT_CONNECT 17
#define VN_REQUEST_INDIRECT_HANDOFF 18
#define VN_REQUEST_GET_DOMAIN_CTX 20
#define VN_REQUEST_SET_DOMAIN_CTX 21

#define VN_VNETD_DEFAULT_PORT 13724
#define VN_PBX_DEFAULT_PORT 1556
/* 32 hex digits and the NUL. */
#define VN_HASH_SIZE 33
/* The first number of an address record: a text address follows, or four
 * address bytes and a port. */
#define VN_IPADDR_TEXT 13579
#define VN_IPADDR_IPV4 4
/* A vnetd also listens on a local stream endpoint in the abstract
 * namespace, named this prefix and its TCP port in decimal ("ztvnetd-13724").
 * The indirect connect reaches the local vnetd there, so that the socket the
 * daemon connects can come back as ancillary data on the same connection. */
#define VN_LOCAL_ENDPOINT_PREFIX "ztvnetd-"
/* The library's own product version number. */
#define VN_PRODUCT_VERSION 810000

/* ---- handshake and requests ---- */

/* Offers highest, accepts the daemon's version V when lowest <= V <= highest
 * and tells the daemon the outcome (V or -1). *version_out receives V;
 * hint_out (may be null) the proxy hint for V. */
ZTBASE_API int vnet_version_connect_ex(int *sock, int highest, int lowest, int *version_out,
                                       int timeout, int *hint_out);
ZTBASE_API int vnet_version_connect(int *sock, int highest, int lowest, int *version_out,
                                   int timeout);
ZTBASE_API int vnet_proxy_map_vnetd_version_to_hint(int version);

ZTBASE_API int vnet_vnetd_noop(int *sock, int version, int timeout);
ZTBASE_API int vnet_vnetd_disconnect(int *sock, int version, int timeout);
/* Hands this connection to the service registered under that name; from a
 * status of 0 on, the socket speaks the service's protocol. */
ZTBASE_API int vnet_vnetd_service_socket(int *sock, int version, const char *service, int timeout);
/* Hands this connection to the process waiting on the IPC endpoint. */
ZTBASE_API int vnet_vnetd_daemon_socket(int *sock, int version, const char *ipc, int timeout);
/* Asks the daemon to hand this connection to the process waiting on ipc;
 * hash (VN_HASH_SIZE bytes) receives the hash that process must check. The
 * status follows after the hand-over (vnet_pop_status on the socket). */
ZTBASE_API int vnet_vnetd_connect_back_socket(int *sock, int version, const char *ipc, char *hash,
                                              int hash_size, int timeout);
ZTBASE_API int vnet_vnetd_pbx_c_supported(int *sock, int version, int *supported, int timeout);
ZTBASE_API int vnet_vnetd_get_master_server_name(int *sock, char *buffer, int size, int version,
                                                 int timeout);
/* Request 8: the product version text (its first decimal number is the
 * version number). */
ZTBASE_API int vnet_version_get_ipi(int *sock, int timeout, char *buffer, int size);
/* *constraints_out: a new JSON value (json_decref). */
ZTBASE_API int vnet_get_domain_ctx(int *sock, int version, struct json_t **constraints_out,
                                   int timeout);
ZTBASE_API int vnet_set_domain_ctx(int *sock, int version, const struct json_t *constraints,
                                   int timeout);
/* Fills the authorization service, authentication domains and HxSS networks
 * that config lacks. */
ZTBASE_API int vnet_vnetd_get_security_info(int *sock, int version, struct ztconf_info_t *config,
                                            int timeout);
ZTBASE_API int vnet_vnetd_get_master_useat_info(int *sock, int version, int *use_at, int timeout);
/* Request 18; json gains the caller's "descriptor", "owner_sid" and
 * "integrity". The reply's "status" is the result. */
ZTBASE_API int vnet_vnetd_indirect_handoff(int *sock, struct json_t *json, int timeout);

/* Forward socket: request 10 (16 with a user other than "root" from version
 * 12 on); receives the IPC string and the hash, sends the port. The end waits
 * for the status, again while the daemon answers VNET_TIMEOUT. */
ZTBASE_API int vnet_vnetd_connect_forward_socket_begin(int *sock, int port, char *ipc,
                                                       int ipc_size, char *hash, int hash_size,
                                                       int timeout, const char *user, int version);
ZTBASE_API int vnet_vnetd_connect_forward_socket_end(int *sock, int timeout);

/* ---- handing a socket over ---- */

/* hash2 = MD5(pid, time, local address, peer address) in hex; hash1 = MD5
 * of those 16 bytes, in hex. Sizes at least VN_HASH_SIZE. */
ZTBASE_API int vnet_generate_hashes(int sock, char *hash1, int size1, char *hash2, int size2);
/* 1 when hash2 proves hash1. No hash1 (null or empty) is proven only by an
 * empty hash2; no hash2 never proves. */
ZTBASE_API int verify_hashes(const char *hash1, const char *hash2);
/* Gives *sock to the process at the other end of ipc_sock; *sock is closed
 * here and set to -1 whatever the outcome once it was sent. */
ZTBASE_API int vnet_send_network_socket(int ipc_sock, int *sock, const char *hash2, int timeout);
/* Receives a socket proven by hash1 (VNET_BAD_HASH before anything is sent
 * back when hash2 does not prove it). */
ZTBASE_API int vnet_receive_network_socket(int ipc_sock, const char *hash1, int *sock_out,
                                           int timeout);
/* The connection a daemon started for it finds as descriptor 0. */
ZTBASE_API int vnet_inherit_socket_from_vnetd(int *sock_out);

/* Handing sockets to a child process: the child waits at most 30 s for them;
 * the parent looks for the child's endpoint once a second for 100 s (600 s
 * when log_level >= 16) while the child lives. 0 or 1 on failure. */
ZTBASE_API int v_getSockets(int pid, int number, int count, int *socks_out);
ZTBASE_API int v_sendSockets(int pid, int number, pid_t child_process, int count,
                             const int *socks, int log_level);

/* ---- local endpoints ---- */

/* A local endpoint for hand-overs; port_text "0" or empty picks a free IPC
 * number, which is written back ("%d"). */
ZTBASE_API int vnet_listen_on_local_port(int backlog, char *port_text, int size, int *sock_out);
ZTBASE_API int vnet_listen_for_vnetd(int backlog, char *port_text, int size, int *sock_out);
ZTBASE_API int vnet_listen_for_vnetd_ex(int backlog, char *port_text, int size, int *sock_out,
                                        int flags);
/* Accepts one connection (VNET_TIMEOUT when none came) from this host only. */
ZTBASE_API int vnet_accept_from_vnetd(int listen_sock, int *sock_out, int timeout);
/* 0 when the peer of sock is a process of this host. */
ZTBASE_API int vnet_verify_local_accept(int sock);
/* Accepts, receives the handed-over socket proven by hash1, and sends status
 * 0 on it. */
ZTBASE_API int vnet_vnetd_accept_and_receive(int listen_sock, const char *hash1, int *sock_out,
                                             int timeout);
ZTBASE_API int vnet_connect_by_vnetd(const char *ipc, int *sock_out, int timeout);

/* ---- registration ---- */

/* "DIR/service.EXT" with the service in lower case, into out (size bytes). */
ZTBASE_API int vnet_generate_service_path(const char *service, char *out, size_t size);
ZTBASE_API int vnet_generate_service_path_ex(const char *directory, const char *service,
                                             const char *extension, char *out, size_t size);
/* args: null-terminated, may be null. */
ZTBASE_API int vnet_vnetd_register_service(const char *service, long pid, long exptime,
                                           const char *ipc, const char *icmd, const char *dcmd,
                                           char **args);
ZTBASE_API int vnet_vnetd_register_service_ex(const char *directory, const char *service, long pid,
                                              long exptime, const char *ipc, const char *icmd,
                                              const char *dcmd, char **args);
ZTBASE_API int vnet_vnetd_unregister_service(const char *service);
ZTBASE_API int vnet_vnetd_unregister_service_ex(const char *directory, const char *service);
ZTBASE_API int vnet_vnetd_listen_and_register_service(const char *service, int backlog,
                                                      int *sock_out);
ZTBASE_API int vnet_vnetd_listen_and_register_service_ex(const char *directory,
                                                         const char *service, int backlog,
                                                         int *sock_out);
/* Connects to the service's IPC endpoint and sends *sock to it (send != 0)
 * or receives one from it, with an empty hash. */
ZTBASE_API int vnet_vnetd_ipc_connect(const char *directory, const char *service, int send,
                                      int *sock, int timeout);

/* ---- call-back ---- */

/* The address record of this end of *sock. */
ZTBASE_API int vnet_vnetd_push_ipaddr(int *sock, int timeout);
/* The address of an address record as text (the port of the binary form is
 * read and dropped). */
ZTBASE_API int vnet_vnetd_pop_ipaddr(int *sock, char *address, int size, int timeout);
/* The side that wants to be called back: waits for the call-back connection. */
ZTBASE_API int vnet_begin_connect_back(int *sock, int timeout, int *sock_out);
/* The called side: calls back through the vnetd of the peer's host (request
 * 3, or request 2 when daemon_socket is non-zero). */
ZTBASE_API int vnet_end_connect_back(int *sock, int timeout, int daemon_socket, int *sock_out);

/* ---- versions and ports ---- */

ZTBASE_API int vnet_get_vnetd_version(const char *host, int *version_out);
/* The product version number of a host: the caches first, then request 8. */
ZTBASE_API int vnet_get_host_version_ipi(const char *host, int timeout, int *version_out);
/* Removes remote version cache files older than age seconds. */
ZTBASE_API int vnet_flush_cache(long age);
ZTBASE_API int vnet_is_vnetd_remote_port(int sock);
ZTBASE_API int vnet_get_port(int *port_out);
ZTBASE_API int vnet_get_pbx_port(int *port_out);
/* A plain TCP connection to host:port (every address in turn). */
ZTBASE_API int vnet_vnetd_connect_host(const char *host, int port, int timeout, int *sock_out);

ZTBASE_END_C

#endif
