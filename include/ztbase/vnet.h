/* The vnet network layer: its status codes, the readiness wait every socket
 * transfer goes through, the text codec and the per-thread record. */
#ifndef ZTBASE_VNET_H
#define ZTBASE_VNET_H

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <time.h>
#include <ztbase/export.h>

struct json_t; /* Jansson's value */

ZTBASE_BEGIN_C

/* vnet statuses: a closed set, 0 to 54. vnet_status_to_text gives the text,
 * vnet_to_zt_status the product status. */
enum {
    VNET_SUCCESS = 0,
    VNET_BAD_NUMBER = 1,
    VNET_BAD_PARAM = 2,
    VNET_BAD_STRING = 3,
    VNET_BAD_TABLE = 4,
    VNET_CACHE_FAILED = 5,
    VNET_GETHOST_FAILED = 6,
    VNET_GETSERV_FAILED = 7,
    VNET_MALLOC_FAILED = 8,
    VNET_READ_FAILED = 9,
    VNET_SOCKET_FAILED = 10,
    VNET_TIMEOUT = 11,
    VNET_WRITE_FAILED = 12,
    VNET_BAD_HASH = 13,
    VNET_SYSCALL_FAILED = 14,
    VNET_BIND_FAILED = 15,
    VNET_LISTEN_FAILED = 16,
    VNET_ACCEPT_FAILED = 17,
    VNET_CONNECT_FAILED = 18,
    VNET_OPEN_FAILED = 19,
    VNET_FORK_FAILED = 20,
    VNET_BAD_REQUEST = 21,
    VNET_BAD_ARGUMENT = 22,
    VNET_IOCTL_FAILED = 23,
    VNET_BAD_VERSION = 24,
    VNET_SELECT_FAILED = 25,
    VNET_STAT_FAILED = 26,
    VNET_CHMOD_FAILED = 27,
    VNET_CHOWN_FAILED = 28,
    VNET_RENAME_FAILED = 29,
    VNET_TEXT_FAILED = 30,
    VNET_NO_SERVICE = 31,
    VNET_EXEC_FAILED = 32,
    VNET_NOT_DIRECTORY = 33,
    VNET_MKDIR_FAILED = 34,
    VNET_NO_CREDENTIAL = 35,
    VNET_HXSS_FAILED = 36,
    VNET_HXSS_REQUIRED = 37,
    VNET_HXSS_PROHIBITED = 38,
    VNET_USE_HXSS_REQUIRED = 39,
    VNET_USE_HXSS_PROHIBITED = 40,
    VNET_ADDR_IN_USE = 41,
    VNET_CONNECT_REFUSED = 42,
    VNET_CONNECT_RESET = 43,
    VNET_CONNECT_TIMEOUT = 44,
    VNET_NOT_AVAILABLE = 45,
    VNET_NOT_CONNECTED = 46,
    VNET_PBX_API_FAILED = 47,
    VNET_LIBRARY_CALLBACK_QUIT = 48,
    VNET_PROXY_SKIP = 49,
    VNET_PROXY_KEEPALIVE = 50,
    VNET_READ_IN_PROGRESS = 51,
    VNET_WRITE_IN_PROGRESS = 52,
    VNET_PROXY_ERROR = 53,
    VNET_INTEGRITY_MISMATCH = 54,
};

/* Socket errors of six conditions map to their own statuses; any other error
 * gives dflt. */
ZTBASE_API int vnet_errno_to_status(int error, int dflt);

/* Waits until sock is readable and/or writable, in slices of at most one
 * second so that the library callback is consulted between them. */
ZTBASE_API int vnet_sock_ready(int sock, int want_read, int want_write, int timeout);
ZTBASE_API int vnet_sock_ready_abs(int sock, int want_read, int want_write, time_t deadline,
                                   int *error_out);

/* The resilient-socket registry. */
ZTBASE_API int vnet_adjust_timeout(int sock, int timeout);
ZTBASE_API int vnet_deregister_resilient_socket(int sock);

/* ---- statuses ---- */

/* The status's text for 0-54, "UNKNOWN" when negative, above 54 the product
 * catalogue's text of that number. Constant data. */
ZTBASE_API const char *vnet_status_to_text(int status);
/* The product status of a vnet status; a status above 54 is taken as a product
 * status already. Outside 0-255 it is folded unless the thread allowed large
 * statuses (vnet_tss_set_large_status): 7600-7660 become 61, others 21. */
ZTBASE_API int vnet_to_zt_status(int status);
ZTBASE_API int vnet_to_zt_status_ex(int status, int allow_large);
/* The reverse map; a product status without a vnet status comes back unchanged. */
ZTBASE_API int vnet_zt_to_vnet_status(int product_status);
ZTBASE_API int vnet_zt_safe_exit_status(int status);
ZTBASE_API int vnet_zt_safe_exit_status_proxy(int status);
/* A text record file status (ztbase/vtext.h) as a vnet status. */
ZTBASE_API int vnet_text_to_net_status(int text_status);

/* ---- the codec ----
 * byte: one octet. string: the characters and a NUL, no length. signed and
 * unsigned: decimal text ("%ld", "%lu") sent as a string; readers accept
 * decimal, octal and hexadecimal and want the whole string to be the number
 * (a value that does not fit is VNET_BAD_NUMBER). status: sent as signed.
 * timeout in seconds: 0 polls once, a negative value counts as one second.
 * Readers never consume a byte past the value's own. With the environment
 * variable VNET_DEBUG_STRING_INFO=YES every string is traced at verbosity 1. */
ZTBASE_API int vnet_push_byte(int sock, int value, int timeout);
/* *value is -1 on failure. */
ZTBASE_API int vnet_pop_byte(int sock, int *value, int timeout);
ZTBASE_API int vnet_push_string(int sock, const char *text, int timeout);
/* Reads through the NUL into buffer (size bytes with the NUL). A string that
 * fills the buffer without its NUL is VNET_BAD_STRING, cut by one character;
 * the peer closing first is VNET_READ_FAILED. */
ZTBASE_API int vnet_pop_string(int sock, char *buffer, int size, int timeout);
ZTBASE_API int vnet_push_signed(int sock, long value, int timeout);
ZTBASE_API int vnet_pop_signed(int sock, long *value, int timeout);
ZTBASE_API int vnet_push_unsigned(int sock, unsigned long value, int timeout);
ZTBASE_API int vnet_pop_unsigned(int sock, unsigned long *value, int timeout);
ZTBASE_API int vnet_push_status(int sock, int status, int timeout);
ZTBASE_API int vnet_pop_status(int sock, int *status, int timeout);

/* Strings framed by a 4-byte big-endian length (no NUL on the wire). Zero-fill
 * the record before first use and release it with vcomm_reader_free; it keeps
 * bytes read past one string for the next call. */
typedef struct vcomm_reader {
    char *buf;   /* receive buffer (allocated on first use) */
    size_t size; /* its size */
    size_t held; /* bytes held */
    size_t pos;  /* read position */
} vcomm_reader;
/* The string's length, with a NUL-terminated copy in buffer; -1 when it does
 * not fit (nothing consumed: a larger buffer may try again); -3 for a length
 * below 1, missing arguments or a receive error (errno in *error_out); -9 when
 * the peer closed first. The socket's receive timeout is timeout seconds for
 * this call only. */
ZTBASE_API int vcomm_get_string_buf(int sock, char *buffer, int size, int timeout, int *error_out,
                                    vcomm_reader *reader);
ZTBASE_API void vcomm_reader_free(vcomm_reader *reader);

/* ---- socket operations ---- */

ZTBASE_API int vnet_set_blocking(int sock);
ZTBASE_API int vnet_set_non_blocking(int sock);
/* Whether a child process inherits the descriptor (not close-on-exec). */
ZTBASE_API int vnet_get_inherit_flag(int handle, int *flag);
ZTBASE_API int vnet_set_inherit_flag(int handle, int flag);
/* Leaves the resilient-socket registry and closes; -1 is a no-op. */
ZTBASE_API int vnet_closesocket(int sock);
/* Shuts down sending and waits for the peer's end of stream before closing
 * (discard: read and drop up to ten 4096-byte buffers of data first).
 * VNET_READ_FAILED when the end of stream was not seen; the socket is closed
 * in every case except VNET_BAD_PARAM for a descriptor that is not a socket. */
ZTBASE_API int vnet_close_socket_safely(int sock, int timeout);
ZTBASE_API int vnet_close_socket_safely_ex(int sock, int timeout, int discard);

/* An IPv6 literal as "[address]", anything else unchanged; returns out. */
ZTBASE_API char *vnet_format_IP(const char *address, char *out, size_t size);
/* Host name (reverse lookup; null hostname skips it) and "address:port"
 * ("[address]:port" for IPv6) of an address or of a socket's local or peer
 * end. 0 or a vnet status. */
ZTBASE_API int vnet_sockaddr_to_hostname_and_ipstring(const struct sockaddr *addr, char *hostname,
                                                      size_t hostname_size, char *ipstring,
                                                      size_t ipstring_size);
ZTBASE_API int vnet_socket_to_local_hostname_and_ipstring(int sock, char *hostname,
                                                          size_t hostname_size, char *ipstring,
                                                          size_t ipstring_size);
ZTBASE_API int vnet_socket_to_peer_hostname_and_ipstring(int sock, char *hostname,
                                                         size_t hostname_size, char *ipstring,
                                                         size_t ipstring_size);
/* "SERVICE CONNECT|ACCEPT FROM a.port TO b.port fd = N" (FROM is the side that
 * connected); returns out. */
ZTBASE_API char *vnet_logconnections(int sock, const char *service, int accepted, char *out,
                                     size_t size);
ZTBASE_API char *vnet_logconnections_by_addr(const struct sockaddr *local,
                                             const struct sockaddr *peer, const char *service,
                                             int accepted, char *out, size_t size);

/* The POSIX cksum CRC of a NUL-terminated text (without the NUL). */
ZTBASE_API uint32_t vnet_crc32(const char *text);

/* ---- the per-thread record ----
 * A JSON object owned by the calling thread; each member is an entry
 * {"timestamp", "who", "line_number", "comment", "data"}. */
ZTBASE_API int vnet_tss_init(void);
/* Stores an entry under key, replacing any; takes ownership of data. */
ZTBASE_API int vnet_tss_set_new(const char *key, const char *who, int line, const char *comment,
                                struct json_t *data);
/* take 0: a deep copy; else the record itself, leaving the thread without
 * one. Null when there is no record. */
ZTBASE_API struct json_t *vnet_tss_get(int take);
/* A copy of the "logs" array, or null. */
ZTBASE_API struct json_t *vnet_tss_get_logs(void);
/* Appends entry (ownership passes) to "logs". */
ZTBASE_API int vnet_tss_append_log_new(const char *who, int line, struct json_t *entry);
ZTBASE_API int vnet_tss_get_large_status(void);
ZTBASE_API int vnet_tss_set_large_status(const char *who, int line, int allow);
ZTBASE_API void vnet_tss_free(void);

/* ---- the registered-services file ---- */

typedef struct vnet_service_entry {
    struct vnet_service_entry *next, *prev;
    char *name;
    unsigned long regtime, exptime, pid;
    char *ipc, *icmd, *dcmd;
    char **args; /* ends with a null entry */
    int arg_count;
} vnet_service_entry;

/* All entries in file order; lines that do not parse are skipped (logged). */
ZTBASE_API int vnet_read_service_file(const char *path, vnet_service_entry **list);
/* Inserts a new entry after `after` (at the head when it is null or not in the
 * list). Texts holding a line end or both kinds of quote are VNET_BAD_STRING.
 * args: null-terminated, may be null. */
ZTBASE_API int vnet_add_service_entry(vnet_service_entry **list, vnet_service_entry *after,
                                      const char *name, unsigned long pid, unsigned long regtime,
                                      unsigned long exptime, const char *ipc, const char *icmd,
                                      const char *dcmd, char **args);
/* Replaces the file with the list's entries; on error it stays as it was. */
ZTBASE_API int vnet_update_service_file(const char *path, const vnet_service_entry *list);
ZTBASE_API void vnet_free_service_list(vnet_service_entry *list);

/* ---- debug values ---- */

/* With level 0, or not above the process verbosity: one line under function,
 * "FILE.LINE: 0: LABEL: TEXT" or, without text, the value in decimal and hex
 * (a pointer-style hex at 2^31 and above). */
ZTBASE_API void vnet_debug_value_level(const char *file, int line, const char *function,
                                       const char *label, const char *text, int64_t value,
                                       int level);
ZTBASE_API void vnet_debug_value(const char *file, int line, const char *function,
                                 const char *label, const char *text, int64_t value);
/* "Function failed" with status; every failing vnet call logs one on its way out. */
ZTBASE_API void vnet_failure(const char *file, int line, const char *function, int status);
/* The first 48 bytes in hex, at error level. */
ZTBASE_API void vnet_debug_dump(const char *file, int line, const char *function, const char *label,
                                const void *bytes, size_t count);
/* The part after the last "/". */
ZTBASE_API const char *vnet_log_basename(const char *path);
ZTBASE_API void vnet_cache_ztconf(void);
/* Where debug-value lines go instead of the debug log (null: the debug log,
 * which filters by verbosity itself). The sink gets every line that passed
 * the level rule. Returns the previous sink. */
typedef void (*vnet_debug_sink_fn)(const char *function, int level, const char *line);
ZTBASE_API vnet_debug_sink_fn vnet_set_debug_sink(vnet_debug_sink_fn sink);

/* Overrides of the network layer's private helpers a host process may fill; a
 * null table or entry keeps the default. The first entry is reserved; the
 * second replaces the pause between retries of a busy database (default:
 * sleep the given milliseconds). */
typedef struct c_shim_vnet_private {
    void (*reserved)(void);
    void (*sleep_ms)(unsigned int milliseconds);
} c_shim_vnet_private;
ZTBASE_API extern c_shim_vnet_private *c_shim_mod_vnet_private;

ZTBASE_END_C

#endif
