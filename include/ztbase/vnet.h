/* The vnet network layer: its status codes, the readiness wait every socket
 * transfer goes through, the text codec and the per-thread record. */
#ifndef ZTBASE_VNET_H
#define ZTBASE_VNET_H

#include <stdint.h>
#include <time.h>
#include <ztbase/export.h>

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

ZTBASE_END_C

#endif
