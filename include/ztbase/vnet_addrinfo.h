/* Cached address resolution: getaddrinfo and getnameinfo behind a memory table
 * per process and a file cache shared by every process of the machine, with a
 * bounded retry on the resolver's try-again answer.
 *
 * Every operation returns a vnet status (ztbase/vnet.h); 0 is success. The
 * resolver's own result travels separately as a "resolver code" in the values
 * below (the codes of getaddrinfo/getnameinfo are mapped onto them where they
 * are returned, stored in the file cache or compared).
 *
 * Threads: every operation may be called from any thread. One process-wide
 * mutex guards the tables; it is never held across a resolver call or file
 * I/O. Lists handed out are the caller's and are freed with the family's own
 * free functions. */
#ifndef ZTBASE_VNET_ADDRINFO_H
#define ZTBASE_VNET_ADDRINFO_H

#include <netdb.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <time.h>
#ifndef __cplusplus
#include <uchar.h>
#endif
#include <ztbase/export.h>

ZTBASE_BEGIN_C

struct addrinfo; /* <netdb.h>; declared here for strict ISO C builds */

/* Resolver codes. */
#define VNET_EAI_OK 0
#define VNET_EAI_HOST_NOT_FOUND 11001 /* EAI_NONAME, EAI_NODATA, EAI_ADDRFAMILY */
#define VNET_EAI_TRY_AGAIN 11002      /* EAI_AGAIN */
#define VNET_EAI_NO_RECOVERY 11003    /* EAI_FAIL, EAI_SYSTEM, anything unknown */
#define VNET_EAI_INVALID 10022        /* EAI_BADFLAGS, EAI_FAMILY, EAI_SOCKTYPE, EAI_SERVICE, EAI_OVERFLOW */
#define VNET_EAI_NO_MEMORY 8          /* EAI_MEMORY */
#define VNET_EAI_NOT_INITIALISED 10093 /* never produced here; kept for comparison */

/* Cached host flags: 14 values per entry. Indexes 0-8 are tri-state (0 not
 * known, 1 no, 2 yes); index 7 is the path of the last successful connection
 * (2 port exchange, 1 another path, 0 not known); 9 the host's product version
 * (-2 while not known); 13 the negotiated vnetd protocol version. In an update
 * 3 leaves indexes 0-8 as they are and -1 leaves 9-13. */
#define VNET_CACHED_FLAG_COUNT 14
#define VNET_CF_LOCAL_HOST 0
#define VNET_CF_SERVER 1
#define VNET_CF_MEDIA_SERVER 2
#define VNET_CF_MASTER_SERVER 3
#define VNET_CF_EMM_SERVER 4
#define VNET_CF_TRUSTED_MASTER 5
#define VNET_CF_VANTREL_SERVER 6
#define VNET_CF_CONNECT_PATH 7
#define VNET_CF_INDEX_SERVER 8
#define VNET_CF_VERSION 9
#define VNET_CF_VNETD_VERSION 13
#define VNET_CF_KEEP_TRISTATE 3
#define VNET_CF_KEEP_NUMBER (-1)

typedef struct vnet_uuid {
    unsigned char bytes[16];
} vnet_uuid;

/* A list that is "known" even when empty: a null list pointer means not known. */
typedef struct vnet_uuid_list {
    long count;
    vnet_uuid *uuids;
} vnet_uuid_list;

typedef struct vnet_name_list {
    long count;
    char **names;
} vnet_name_list;

/* One result entry. The first eight fields are those of struct addrinfo in
 * its order, so &entry->ai_flags may be read as a struct addrinfo prefix. */
typedef struct vnet_addrinfo {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    socklen_t ai_addrlen;
    struct sockaddr *ai_addr;
    char *ai_canonname;
    struct vnet_addrinfo *ai_next;
    int32_t cached_flags[VNET_CACHED_FLAG_COUNT];
    uint32_t lookup_milliseconds;
    time_t expiry_time;
    vnet_uuid_list *host_uuids; /* null: not known */
    vnet_name_list *uuid_hosts; /* null: not known */
} vnet_addrinfo;

/* Host entry built from a cached lookup; one allocation. */
typedef struct vnet_hostent {
    char *h_name;
    char **h_aliases;   /* null-terminated */
    int h_addrtype;     /* family of the first address */
    int h_length;       /* its address length */
    char **h_addr_list; /* null-terminated; raw addresses of h_addrtype */
} vnet_hostent;

/* ---- lookups ---- */

/* name or service may be null, not both (VNET_BAD_PARAM, resolver code
 * 11001). A trailing "/N" (N a decimal of at most 128) is dropped from name.
 * VNET_GETHOST_FAILED when the lookup (cached or real) failed, with its code
 * in *resolver_code; on success *result is a new list (vnet_freeaddrinfo). */
ZTBASE_API int vnet_cached_getaddrinfo(const char *name, const char *service,
                                       const struct addrinfo *hints, vnet_addrinfo **result,
                                       int *resolver_code);
/* The same with an optional update of the cached flags (14 values, see
 * above) and optional replacement lists stored in the cached entry. */
ZTBASE_API int vnet_cached_getaddrinfo_and_update(const char *name, const char *service,
                                                  const struct addrinfo *hints,
                                                  const int *flag_update,
                                                  const vnet_uuid_list *host_uuids,
                                                  const vnet_name_list *uuid_hosts,
                                                  vnet_addrinfo **result, int *resolver_code);
/* Reverse lookup through the name-information table. host/service may be null
 * when their size is 0. VNET_MALLOC_FAILED when an answer does not fit. */
ZTBASE_API int vnet_cached_getnameinfo(const struct sockaddr *address, socklen_t address_length,
                                       char *host, size_t host_size, char *service,
                                       size_t service_size, int flags, int *resolver_code);
/* Uncached lookups with the try-again retry; they return the resolver code.
 * retry_getaddrinfo's list is freed with freeaddrinfo(3). */
ZTBASE_API int retry_getaddrinfo(const char *name, const char *service,
                                 const struct addrinfo *hints, struct addrinfo **result);
ZTBASE_API int retry_getnameinfo(const struct sockaddr *address, socklen_t address_length,
                                 char *host, size_t host_size, char *service, size_t service_size,
                                 int flags);
/* Port (host order) of a service name or number. */
ZTBASE_API int vnet_cached_get_service_port(const char *service, int *port);
/* The hints used when a caller gives none. */
ZTBASE_API int vnet_get_default_hints(const char *name, const char *service, struct addrinfo *hints);
ZTBASE_API void vnet_freeaddrinfo(vnet_addrinfo *list);

/* ---- host UUIDs and UUID hosts ---- */

/* "%08x-%04x-%04x-%02x%02x%02x%02x%02x%02x": bytes 14 and 15 are not
 * written and read back as 0; the first three fields are read as native integers
 * (the in-memory GUID layout). out needs 32 bytes. */
ZTBASE_API int vnet_uuid_to_string(const vnet_uuid *uuid, char *out, size_t size);
ZTBASE_API int vnet_string_to_uuid(const char *text, vnet_uuid *uuid);
/* *out: a new list (vnet_free_uuid_list) or null when the entry has none. */
ZTBASE_API int vnet_get_cached_host_uuids(const char *name, vnet_uuid_list **out);
ZTBASE_API int vnet_set_cached_host_uuids(const char *name, const vnet_uuid_list *list);
ZTBASE_API int vnet_get_cached_uuid_hosts(const vnet_uuid *uuid, vnet_name_list **out);
ZTBASE_API int vnet_set_cached_uuid_hosts(const vnet_uuid *uuid, const vnet_name_list *list);
ZTBASE_API void vnet_free_uuid_list(vnet_uuid_list *list);
ZTBASE_API void vnet_free_name_list(vnet_name_list *list);

/* ---- host entries and aliases ---- */

ZTBASE_API int vnet_cached_gethostent(const char *name, vnet_hostent **out);
ZTBASE_API size_t vnet_sizeof_vnet_hostent(const vnet_hostent *entry);
ZTBASE_API void vnet_free_vnet_hostent(vnet_hostent *entry);
/* *list_out: null-terminated array of names (vnet_free_aliases). */
ZTBASE_API int vnet_cached_get_aliases(const char *name, char ***list_out);
ZTBASE_API int vnet_cached_get_local_aliases(char ***list_out);
ZTBASE_API void vnet_free_aliases(char **list);

/* ---- tables and files ---- */

ZTBASE_API int vnet_cleanup_memory_cache(void);
/* older_than: -1 every entry, 0 those older than the lifetime, else a time.
 * With record_clear_time the clear time is written for other processes. */
ZTBASE_API int vnet_cleanup_file_cache(time_t older_than, int record_clear_time);
/* A process-wide file-cache directory over the configured one; null clears it. */
ZTBASE_API int vnet_set_override_values(const char *path);
ZTBASE_API void vnet_cached_report(void);
ZTBASE_API void vnet_cached_free_memory(void);

/* ---- local host ---- */

ZTBASE_API int vnet_localhost_check(const char *name);
ZTBASE_API int vnet_adjusted_family(int family);
/* Whether IPv4 / IPv6 are configured on this host. */
ZTBASE_API int vnet_configured_stacks(int *ipv4, int *ipv6);
/* Numeric texts of the local interface addresses, IPv4 first; *list_out is a
 * null-terminated array (vnet_free_aliases). */
ZTBASE_API int vnet_getifaddrs(int skip_loopback, int skip_link_local, char ***list_out);
/* IPv4 entries first, each group in its order. */
ZTBASE_API int vnet_sortaddrs(vnet_addrinfo **list);

/* ---- UTF-16 twins ---- */

ZTBASE_API int vnet_cached_getaddrinfoW(const char16_t *name, const char16_t *service,
                                        const struct addrinfo *hints, vnet_addrinfo **result,
                                        int *resolver_code);
ZTBASE_API int vnet_cached_getaddrinfo_and_updateW(const char16_t *name, const char16_t *service,
                                                   const struct addrinfo *hints,
                                                   const int *flag_update,
                                                   const vnet_uuid_list *host_uuids,
                                                   const vnet_name_list *uuid_hosts,
                                                   vnet_addrinfo **result, int *resolver_code);
ZTBASE_API int vnet_cached_getnameinfoW(const struct sockaddr *address, socklen_t address_length,
                                        char16_t *host, size_t host_size, char16_t *service,
                                        size_t service_size, int flags, int *resolver_code);
ZTBASE_API int vnet_cached_get_service_portW(const char16_t *service, int *port);
ZTBASE_API int vnet_localhost_checkW(const char16_t *name);
/* The host entry stays narrow (the locale's character set). */
ZTBASE_API int vnet_cached_gethostentW(const char16_t *name, vnet_hostent **out);
ZTBASE_API int vnet_get_cached_host_uuidsW(const char16_t *name, vnet_uuid_list **out);
ZTBASE_API int vnet_set_cached_host_uuidsW(const char16_t *name, const vnet_uuid_list *list);
ZTBASE_API int vnet_set_override_valuesW(const char16_t *path);

/* Lists of names in UTF-16: null-terminated arrays freed with
 * vnet_free_aliasesW, and name lists freed with vnet_free_name_listW. */
typedef struct vnet_name_listW {
    long count;
    char16_t **names;
} vnet_name_listW;

ZTBASE_API int vnet_cached_get_aliasesW(const char16_t *name, char16_t ***list_out);
ZTBASE_API int vnet_getifaddrsW(int skip_loopback, int skip_link_local, char16_t ***list_out);
ZTBASE_API void vnet_free_aliasesW(char16_t **list);
ZTBASE_API int vnet_get_cached_uuid_hostsW(const vnet_uuid *uuid, vnet_name_listW **out);
ZTBASE_API int vnet_set_cached_uuid_hostsW(const vnet_uuid *uuid, const vnet_name_listW *list);
ZTBASE_API void vnet_free_name_listW(vnet_name_listW *list);

ZTBASE_END_C

#endif
