/* The port exchange's client library (libztpbx): connect to a service through
 * the exchange by its extension name, register a server under an extension,
 * and accept the connections the exchange switches to it.
 *
 * Every call returns 0 (or, where stated, a value that is not -1) on success
 * and -1 with errno set on failure. Handles are used by one thread at a time;
 * the calls themselves may be made from any thread. The wire protocol is
 * described in README.md beside this file. */
#ifndef ZTPBX_H
#define ZTPBX_H

#include <sys/socket.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PBX_API __attribute__((visibility("default")))

/* Socket modes of a handle. */
#define PBX_MODE_NONBLOCKING 0
#define PBX_MODE_BLOCKING 1

/* The exchange's port when neither the services database nor the default-port
 * hook says otherwise. */
#define PBX_DEFAULT_PORT 1556

/* The status a pbxConnectExEx further output reports: the exchange's or the
 * server's answer to the hello, or PBX_REPLY_NONE when none came. */
#define PBX_REPLY_NONE (-1)
#define PBX_REPLY_CONNECTED 0
#define PBX_REPLY_NO_EXTENSION 1
#define PBX_REPLY_BUSY 2
#define PBX_REPLY_BAD_REQUEST 3
#define PBX_REPLY_BAD_VERSION 4

typedef struct pbx_handle *PBXHANDLE;

/* An exchange address: host text (empty: this host), port (0: the exchange's
 * default port) and extension name. */
typedef struct pbx_address {
    char host[256];
    int port;
    char extension[64];
} PBXADDR;

/* flags: 0. Counts calls; pbxUnInitialize undoes one (EINVAL when none is
 * left). The other calls do not need it. */
PBX_API int pbxInitialize(int flags);
PBX_API int pbxUnInitialize(void);

/* A new handle. sock: null or -1 for an empty handle, else a connected
 * socket the handle takes over in blocking mode. */
PBX_API int pbxAllocSocket(PBXHANDLE *handle, const int *sock);
/* The handle takes sock in mode (the socket's O_NONBLOCK is set to match);
 * -1 detaches the socket it held without closing it. A socket it held before
 * is let go of, not closed. */
PBX_API int pbxSetSocketHandle(PBXHANDLE handle, int sock, int mode);
/* *sock: the socket under the handle (-1: none, and the call fails ENOTCONN). */
PBX_API int pbxGetSocketHandle(PBXHANDLE handle, int *sock);
/* The handle's mode, -1 for a null handle. */
PBX_API int pbxGetSocketMode(PBXHANDLE handle);
/* The most pbxConnectExEx waits, in seconds, for its TCP leg and the
 * exchange's answer (30 unless set; EINVAL below 1). */
PBX_API int pbxSetHandshakeTimeout(PBXHANDLE handle, int seconds);

/* Fills *address. host may be null (this host); EINVAL for a port outside
 * 0-65535 or an extension that is not 1-63 letters, digits, '.', '_', '-'. */
PBX_API int pbxSetAddrEx(PBXADDR *address, const char *host, int port, const char *extension);

/* Switches the handle's connection to the extension. With no socket under the
 * handle the library first connects to address->host and port itself. Sends
 * the hello and waits up to the handle's handshake timeout (30 seconds
 * unless set) for the answer (in either mode). On
 * success (0) the socket talks to the server registered under the extension
 * and *peer_hint (optional) is the exchange's protocol version. *reply
 * (optional) gets the answer (PBX_REPLY_*). Errors: ECONNREFUSED no server
 * under the extension, EBUSY the server has too many waiting, EINVAL a bad
 * request, EPROTONOSUPPORT the version, EPROTO a reply that is not one,
 * ECONNRESET the exchange closed without one, ETIMEDOUT, EINTR. The socket
 * stays under the handle either way; the caller decides what to do with it. */
PBX_API int pbxConnectExEx(PBXHANDLE handle, const PBXADDR *address, int mode, int *peer_hint,
                           int *reply);

/* Registers a server under address->extension with the exchange of this host
 * on address->port (0: the default port). The handle then holds the control
 * socket: it becomes readable when a connection waits, as a listening socket
 * would. *alt and *alt_count: the exchange's listening addresses (free *alt
 * with pbxFree). backlog: the most connections handed over and not yet
 * accepted (1-128; the exchange refuses more clients with "busy"). Errors:
 * ECONNREFUSED no exchange, EADDRINUSE the extension is taken, EACCES,
 * ENOSPC, EPROTO, ETIMEDOUT. The registration lasts until pbxClose. */
PBX_API int pbxRegisterExEx(PBXHANDLE handle, PBXADDR *address, struct sockaddr_storage **alt,
                            int *alt_count, int backlog);

/* Takes the next connection handed over to a registered handle, answers the
 * client that it is connected, and gives the socket (close-on-exec, blocking)
 * in *sock and the client's protocol version in *peer_hint (optional). In
 * non-blocking mode EAGAIN when none waits. ECONNRESET when the exchange
 * went away (register again). A client that went away before the answer is
 * skipped. */
PBX_API int pbxAcceptEx(PBXHANDLE handle, int *sock, int *peer_hint);

/* Frees the handle; its socket is closed unless keep_socket. */
PBX_API int pbxClose(PBXHANDLE handle, int keep_socket);
/* Frees memory the library returned. */
PBX_API int pbxFree(void *memory);

/* The exchange's default port when an address gives 0: the hook's answer
 * when one is installed and it answers a port, else the services database's
 * "halvane_pbx", else PBX_DEFAULT_PORT. A host library installs a hook that
 * knows more places (its configuration); null removes it. */
typedef int (*pbx_default_port_fn)(void);
PBX_API void pbxSetDefaultPortHook(pbx_default_port_fn hook);
PBX_API int pbxDefaultPort(void);

#ifdef __cplusplus
}
#endif

#endif
