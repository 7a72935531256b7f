/* Host identity: address texts, whether two names denote the same host,
 * whether a name or address is this machine, which role a host plays, host
 * names, direct DNS queries and a small cache of trusted client names.
 *
 * Address families are the platform's own values: AF_INET is 2 and AF_INET6
 * is 10 on Linux, and vnet_is_ip_string answers with them (as the rest of the
 * vnet layer does).
 *
 * Answers: the comparison, locality and role questions return 1 for yes and
 * 0 for no; every failure on the way (no name, a failed lookup, a broken
 * configuration) is logged and answers 0. The other calls return a vnet
 * status (ztbase/vnet.h), 0 for success, unless their comment says otherwise.
 *
 * Cached flags: every answer about locality or a role is written into the
 * cached flags of the host's cache entry (ztbase/vnet_addrinfo.h), so that
 * the next question about the same host costs a memory lookup and no
 * resolver call, configuration scan or bind test.
 *
 * Threads: every call may be made from any thread. The comparisons hold no
 * lock of their own (the resolution caches have theirs); the thread context
 * and the peer name for authorization belong to the calling thread; the
 * trusted-client cache and the legacy host-entry cache have one mutex each. */
#ifndef ZTBASE_VNET_HOST_H
#define ZTBASE_VNET_HOST_H

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#ifndef __cplusplus
#include <uchar.h>
#endif
#include <ztbase/export.h>
#include <ztbase/vnet_addrinfo.h>

ZTBASE_BEGIN_C

/* A socket-address buffer large enough for any family (128 bytes). */
typedef struct sockaddr_storage vnet_sockaddr_t;

/* Thread contexts (vnet_set_thread_context): how a positive host match is
 * confirmed on this thread. */
#define VNET_THREAD_CONTEXT_ORDINARY 0
#define VNET_THREAD_CONTEXT_VANTREL 1 /* serving the monitoring console */
#define VNET_THREAD_CONTEXT_DHCP 2    /* serving a DHCP client registration */

/* ---- address text ---- */

/* AF_INET for an IPv4 literal, AF_INET6 for an IPv6 literal (a "%scope"
 * suffix allowed), else 0 (also for null). */
ZTBASE_API int vnet_is_ip_string(const char *text);
/* inet_pton(3) for AF_INET and AF_INET6: 1 on success, 0 for a text that is
 * not an address of the family, -1 for another family or a null argument. */
ZTBASE_API int vnet_inet_pton(int family, const char *text, void *out);
/* inet_ntop(3): text_out, or null (another family, no room, null argument). */
ZTBASE_API const char *vnet_inet_ntop(int family, const void *in, char *text_out, size_t size);
/* A socket address from an address literal and a port (host order, 0-65535)
 * by a numeric lookup for a stream socket. VNET_BAD_PARAM for a missing
 * argument or a port out of range, VNET_GETHOST_FAILED when the text is not
 * a literal; *length_out gets the address length. */
ZTBASE_API int vnet_sockAddrPtoN(const char *text, int port, vnet_sockaddr_t *sockaddr_out,
                                 socklen_t *length_out);
/* The address text (without port, IPv6 without brackets) and the port in
 * host order (port_out may be null). Returns non-zero on success and 0 on
 * failure: another family, a null argument, no room. The WithLength form
 * also refuses a length shorter than the family's structure or longer than
 * vnet_sockaddr_t. */
ZTBASE_API int vnet_sockAddrNtoP(const struct sockaddr *address, char *text_out, size_t size,
                                 int *port_out);
ZTBASE_API int vnet_sockAddrNtoPWithLength(const struct sockaddr *address, socklen_t length,
                                           char *text_out, size_t size, int *port_out);
/* An IPv4 address the way inet_aton(3) reads one ("a.b.c.d", "a.b.c", "a.b",
 * a single 32-bit number, each part decimal, octal or hexadecimal), in
 * network byte order. VNET_BAD_ARGUMENT for null, VNET_BAD_STRING for a text
 * that is not such an address. */
ZTBASE_API int vnet_inet_addr(const char *text, uint32_t *address_out);
/* "ADDRESS", "ADDRESS/BITS" (0-32, decimal, octal or hexadecimal, nothing
 * after) or "ADDRESS:MASK" into an IPv4 address and mask in network byte
 * order. Both outputs start as 255.255.255.255. VNET_BAD_ARGUMENT for no
 * text, VNET_BAD_STRING for a bad bit count, vnet_inet_addr's status for a
 * part that is not an address. */
ZTBASE_API int vnet_inet_addrmask(const char *text, uint32_t *address_out, uint32_t *mask_out);
/* The 16-byte prefix mask of bits leading one-bits (0-128; VNET_BAD_ARGUMENT
 * otherwise). */
ZTBASE_API int vnet_inet_addrmask_ipv6(int bits, unsigned char mask_out[16]);

/* ---- comparisons (1 the same host, 0 otherwise) ----
 * local_ok: two names that both resolve to addresses of this machine count
 * as the same host. */
ZTBASE_API int vnet_same_host(const char *name1, const char *name2, int local_ok);
ZTBASE_API int vnet_same_hostbyname(const char *name1, const char *name2);
ZTBASE_API int vnet_same_hostbyname_local(const char *name1, const char *name2, int local_ok);
/* ipv4 in network byte order. */
ZTBASE_API int vnet_same_hostbynameaddr(const char *name, struct in_addr ipv4);
ZTBASE_API int vnet_same_hostbyaddr_local(struct in_addr ipv4_1, struct in_addr ipv4_2,
                                          int local_ok);
/* address: 4 bytes for AF_INET, 16 for AF_INET6. */
ZTBASE_API int vnet_same_host_iaddr(const char *name, int family, const void *address,
                                    int local_ok);
/* While comparing, the address text is the thread's peer name for
 * authorization; the previous one is restored afterwards. */
ZTBASE_API int vnet_same_host_addr(const char *name, const struct sockaddr *address, int local_ok);
/* The peer of a connected socket; 0 when the peer cannot be read. */
ZTBASE_API int vnet_same_host_sock(const char *name, int sock, int local_ok);
/* vnet_same_host with local matching. */
ZTBASE_API int hosts_equal(const char *name1, const char *name2);
/* retry_same_host(name1, name2, 0); buffer (size bytes) is emptied. */
ZTBASE_API int dns_hosts_equal(const char *name1, const char *name2, char *buffer, size_t size);
/* Without the caches, flags and host validation: equal texts, canonical
 * names, the cluster rule (unless skip_cluster), shared addresses. */
ZTBASE_API int retry_same_host(const char *name1, const char *name2, int skip_cluster);
/* Texts, canonical names, then the legacy host entries: equal official
 * names, either name among the other's aliases, or a shared address. */
ZTBASE_API int vnet_same_hostbyname_alias(const char *name1, const char *name2);
/* The comparison every vnet_same_host* ends in. flag_update (14 values as
 * for vnet_cached_getaddrinfo_and_update, may be null) is written into
 * name2's cache entry when the answer is 1. */
ZTBASE_API int vnet_same_host_and_update(const char *name1, const char *name2, int local_ok,
                                         const int *flag_update);

/* ---- locality ---- */

/* 1 when the address is loopback or belongs to this machine: a stream socket
 * can be bound to it, or, where the system lets sockets bind to addresses it
 * does not own, it is among the local interface addresses. An IPv4-mapped
 * IPv6 address is tested as its IPv4 address. 0 otherwise and for null or
 * another family. */
ZTBASE_API int is_sockaddr_local(const struct sockaddr *address);
ZTBASE_API int vnet_is_local_host(const char *name);
ZTBASE_API int vnet_is_local_host_real(const char *name);
/* use_cache 0: the resolver is asked directly and only its first address is
 * tested (nothing is cached). */
ZTBASE_API int vnet_is_local_host_ex(const char *name, int use_cache);
/* ALLOW_LINK_LOCAL_APIPA_ADDRS of the host configuration; 0 when absent. */
ZTBASE_API int vnet_link_locals_allowed(void);

/* ---- roles (1 yes, 0 no) ---- */

ZTBASE_API int vnet_is_server(const char *host);
ZTBASE_API int vnet_is_media_server(const char *host);
ZTBASE_API int vnet_is_master_server(const char *host);
ZTBASE_API int vnet_is_emm_server(const char *host);
ZTBASE_API int vnet_is_trusted_master(const char *host);
ZTBASE_API int vnet_is_vantrel(const char *host);
/* No index servers are configured: always 0. */
ZTBASE_API int vnet_is_index_server(const char *host);
/* The port of a service (a decimal number up to 65535 or a service name) when
 * it is the port of one of the product's own services, else the negative
 * port; 0 on failure. */
ZTBASE_API int vnet_is_zt_service(const char *service);

/* ---- host names ---- */

/* The fully qualified form of a name (null or "": this host's name;
 * "localhost" stays as it is). VNET_BAD_PARAM for no out buffer,
 * VNET_MALLOC_FAILED when the answer does not fit, a lookup's status when it
 * failed. */
ZTBASE_API int vnet_getfqdn(const char *name, char *out, size_t size);
/* The name under which this host is configured: the first SERVER entry that
 * is local, else the first local MEDIA_SERVER entry, else CLIENT_NAME when
 * local, else vnet_getfqdn(name). */
ZTBASE_API int vnet_gethostname(const char *name, char *out, size_t size);
/* A 32-bit identity of this machine from its interface addresses: the first
 * IPv4 address as stored in its socket address, or the CRC-32 of the first
 * IPv6 address's text; 0 when there is none. */
ZTBASE_API uint32_t vnet_gethostid(void);
/* VNET_THREAD_CONTEXT_*; per thread. */
ZTBASE_API void vnet_set_thread_context(int context);
ZTBASE_API int vnet_get_thread_context(void);
/* The calling thread's peer name for authorization (borrowed: the caller
 * keeps it alive while it is set); returns the previous one. */
ZTBASE_API const char *vnet_set_peername_for_authorization(const char *name);
ZTBASE_API const char *vnet_get_peername_for_authorization(void);

/* ---- DNS on the wire ---- */

/* Asks the configured DNS servers (no hosts file, no cache) for A records
 * (unless family is AF_INET6) and AAAA records (unless family is AF_INET) of
 * host, and makes a list (vnet_freeaddrinfo) of the answers, each with the
 * record's name as canonical name. With filter 1 only addresses of this
 * machine are kept. VNET_GETHOST_FAILED when no record of the asked families
 * came back (*code_out: the resolver code), VNET_MALLOC_FAILED without
 * memory, VNET_BAD_PARAM for missing arguments. vnet_dnsquery uses filter 1. */
ZTBASE_API int vnet_dnsquery(int family, const char *host, vnet_addrinfo **result_out,
                             int *code_out);
ZTBASE_API int vnet_dnsquery_filter(int family, const char *host, int filter,
                                    vnet_addrinfo **result_out, int *code_out);

/* ---- trusted clients (an entry lives 30 seconds) ---- */

/* Adds the name unless present: 0, or VNET_MALLOC_FAILED / VNET_BAD_PARAM. */
ZTBASE_API int vnet_register_trusted_client(const char *name);
/* 1 when the name (any case) was registered less than 30 seconds ago. */
ZTBASE_API int vnet_is_trusted_client(const char *name);

/* ---- legacy host entries (IPv4) ----
 * Answers and failures are kept for the resolver cache lifetime in two
 * fixed-size tables. *entry_out is one allocation (vnet_free_vnet_hostent).
 * VNET_CACHE_FAILED for a name in the failed table, VNET_GETHOST_FAILED for
 * a failed lookup. */
ZTBASE_API int vnet_legacy_cached_gethostbyname(const char *name, vnet_hostent **entry_out);
/* address: 4 bytes (length 4, type AF_INET). */
ZTBASE_API int vnet_legacy_cached_gethostbyaddr_rnl(const void *address, socklen_t length,
                                                    int type, vnet_hostent **entry_out);

/* ---- UTF-16 twins ---- */

ZTBASE_API int vnet_is_ip_stringW(const char16_t *text);
ZTBASE_API int vnet_inet_ptonW(int family, const char16_t *text, void *out);
ZTBASE_API const char16_t *vnet_inet_ntopW(int family, const void *in, char16_t *text_out,
                                           size_t size);
ZTBASE_API int vnet_sockAddrPtoNW(const char16_t *text, int port, vnet_sockaddr_t *sockaddr_out,
                                  socklen_t *length_out);
ZTBASE_API int vnet_sockAddrNtoPW(const struct sockaddr *address, char16_t *text_out, size_t size,
                                  int *port_out);
ZTBASE_API int vnet_same_hostW(const char16_t *name1, const char16_t *name2, int local_ok);
ZTBASE_API int vnet_is_local_hostW(const char16_t *name);
ZTBASE_API int vnet_is_serverW(const char16_t *host);
ZTBASE_API int vnet_is_media_serverW(const char16_t *host);
ZTBASE_API int vnet_is_master_serverW(const char16_t *host);
ZTBASE_API int vnet_is_emm_serverW(const char16_t *host);
ZTBASE_API int vnet_is_trusted_masterW(const char16_t *host);
ZTBASE_API int vnet_is_vantrelW(const char16_t *host);
ZTBASE_API int vnet_is_index_serverW(const char16_t *host);
/* size in characters. */
ZTBASE_API int vnet_getfqdnW(const char16_t *name, char16_t *out, size_t size);
ZTBASE_API int vnet_dnsqueryW(int family, const char16_t *host, vnet_addrinfo **result_out,
                              int *code_out);
ZTBASE_API int vnet_dnsquery_filterW(int family, const char16_t *host, int filter,
                                     vnet_addrinfo **result_out, int *code_out);
ZTBASE_API int vnet_register_trusted_clientW(const char16_t *name);

ZTBASE_END_C

#endif
