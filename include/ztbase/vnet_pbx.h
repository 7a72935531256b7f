/* Connections through the port exchange: the exchange listens on one port
 * (service "halvane_pbx", 1556) and switches each connection to the local
 * server registered under an extension name ("bpcd", "vnetd", ...). These
 * calls connect the TCP leg by the vnet rules (cached resolution, IPv4 first,
 * keep-alive), hand it to the exchange's client library for the switch, and
 * register and accept servers.
 *
 * Every call returns a vnet status (ztbase/vnet.h); a failure of the
 * exchange's library is VNET_PBX_API_FAILED unless stated otherwise. A handle
 * belongs to one thread at a time; vnet_pbxInitialize is called once per
 * process before the others. */
#ifndef ZTBASE_VNET_PBX_H
#define ZTBASE_VNET_PBX_H

#include <sys/socket.h>
#include <ztbase/export.h>

ZTBASE_BEGIN_C

/* An exchange handle: opaque, owned by the exchange's library. Functions that
 * may free it take it by reference and set it to null. */
typedef void *vnet_pbx_handle;

/* Socket modes of a handle. */
#define VNET_PBX_MODE_NONBLOCKING 0
#define VNET_PBX_MODE_BLOCKING 1

/* Initialises the exchange's library (VNET_NO_SERVICE when it refuses) and
 * has it find the exchange's default port by the "halvane_pbx" rule of
 * vnet_cached_get_service_port. */
ZTBASE_API int vnet_pbxInitialize(void);
ZTBASE_API int vnet_pbxUnInitialize(void);
/* Frees memory the exchange's library returned. */
ZTBASE_API int vnet_pbxFree(void *memory);

/* A new handle in *handle_out (null on failure). sock: -1, or a connected
 * socket the handle takes over, made blocking first (VNET_SOCKET_FAILED when
 * that fails; the socket stays the caller's). */
ZTBASE_API int vnet_pbxAllocSocket(vnet_pbx_handle *handle_out, int sock);
/* Frees the handle and sets it to null; its socket is closed unless
 * keep_socket. A null handle is success. errno holds the library's result. */
ZTBASE_API int vnet_pbxClose(vnet_pbx_handle *handle, int keep_socket);
/* The socket under the handle, -1 when none. */
ZTBASE_API int vnet_pbxGetSocketHandle(vnet_pbx_handle handle);
/* The most vnet_pbxConnect waits, in seconds, for the exchange's answer
 * (30 unless set). VNET_BAD_PARAM for a null handle or less than 1 s. */
ZTBASE_API int vnet_pbxSetHandshakeTimeout(vnet_pbx_handle handle, int seconds);

/* Connects to host's exchange and has it switch the connection to the server
 * under extension. When the handle already holds a connected socket, that
 * one is switched (in the handle's mode); otherwise a TCP connection to the
 * "halvane_pbx" port is made (each address of the host in turn, IPv4 first,
 * with keep-alive) and attached in mode. On success the handle's socket talks
 * to the server and *hint_out (optional) is the proxy hint of the exchange's
 * version. On any failure the socket is closed and detached from the handle
 * (which stays the caller's); the hint is still reported. Statuses:
 * VNET_BAD_PARAM, VNET_GETHOST_FAILED, VNET_CONNECT_* for the TCP leg,
 * VNET_LIBRARY_CALLBACK_QUIT, VNET_PBX_API_FAILED for the switch. */
ZTBASE_API int vnet_pbxConnect(vnet_pbx_handle *handle, const char *host, const char *extension,
                               int mode);
ZTBASE_API int vnet_pbxConnect_ex(vnet_pbx_handle *handle, const char *host, const char *extension,
                                  int mode, int *hint_out);

/* Registers a server under extension with this host's exchange (backlog 25).
 * *handle receives a new handle, *sock_out the socket to wait on (readable
 * when a connection waits), *alt_addrs_out the exchange's listening addresses
 * (the caller frees them with free(); null when there are none) and
 * *alt_count_out their number. On failure the handle is closed and null.
 * The registration lasts until the handle is closed. */
ZTBASE_API int vnet_registerPBXServer(vnet_pbx_handle *handle, int *sock_out, const char *extension,
                                      struct sockaddr_storage **alt_addrs_out, int *alt_count_out);

/* Accepts the next connection switched to a registered handle: *sock_out is
 * a blocking socket, *peer_out (optional, *peer_len its size in and length
 * out) the client's address, *hint_out (optional) the proxy hint of the
 * client's version. flags: 0. A non-blocking handle is made blocking for the
 * wait and put back after. */
ZTBASE_API int vnet_pbxAcceptSocket(vnet_pbx_handle *handle, int *sock_out, int flags,
                                    struct sockaddr *peer_out, socklen_t *peer_len);
ZTBASE_API int vnet_pbxAcceptSocket_ex(vnet_pbx_handle *handle, int *sock_out, int flags,
                                       struct sockaddr *peer_out, socklen_t *peer_len,
                                       int *hint_out);

/* Connects through host's exchange to extension (null: "vnetd") only to
 * learn the remote peer hint, then closes. */
ZTBASE_API int vnet_get_remote_peer_hint(const char *host, const char *extension, int *hint_out);

/* 1: this build makes connections through the exchange. */
ZTBASE_API int vnet_pbx_c_supported(void);
/* 0. */
ZTBASE_API int vnet_ping(void);

ZTBASE_END_C

#endif
