// Connections through the port exchange. The TCP leg to the exchange is ours
// (resolution, address order, keep-alive and error reports follow the vnet
// rules); the exchange's library does the switch on the connected socket.
// Invariant: no path leaves a socket half attached: on failure it is closed
// and detached from the handle before the call returns.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ztbase/comm.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_addrinfo.h"
#include "ztbase/vnet_pbx.h"
#include "ztpbx.h"

#define VNET_FAIL(tag, status) (vnet_failure(__FILE_NAME__, __LINE__, tag, status), (status))

namespace {

constexpr int kDefaultPbxPort = 1556;
constexpr int kConnectSeconds = 30; // each address of the TCP leg
constexpr int kRegisterBacklog = 25;

PBXHANDLE lib(vnet_pbx_handle h) {
    return static_cast<PBXHANDLE>(h);
}

// The remote peer hint is the exchange's protocol version; callers want the
// proxy hint of it (0..3: 2, 4..24: 0, 25 and above: 1).
int pbx_version_to_hint(int version) {
    if (version <= 3)
        return 2;
    return version <= 24 ? 0 : 1;
}

// The exchange's port for the library when an address gives none.
// The exchange's port: an override file, else the service by name.
int pbx_port_rule() {
    const int over = getoverridePORT("halvane_pbx");
    if (over > 0 && over < 65536)
        return over;
    int port = 0;
    return vnet_cached_get_service_port("halvane_pbx", &port) == VNET_SUCCESS ? port : 0;
}

int exchange_port() {
    int port = pbx_port_rule();
    return port > 0 && port < 65536 ? port : kDefaultPbxPort;
}

// Numeric address text and port of a socket address.
bool address_text(const sockaddr *sa, socklen_t len, char *host, size_t size, int *port) {
    char service[16];
    if (getnameinfo(sa, len, host, socklen_t(size), service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return false;
    *port = atoi(service);
    return true;
}

void log_local_end(const char *tag, int sock) {
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    char host[NI_MAXHOST] = "";
    int port = 0;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&local), &len) == 0)
        address_text(reinterpret_cast<sockaddr *>(&local), len, host, sizeof host, &port);
    logmsgf(ZTLOG_ERROR, tag, "%s.%d: local sock info: IP:%s Port %d", __FILE_NAME__, __LINE__,
            host, port);
}

// One address of the TCP leg: 0 with *out connected, else a vnet status (the
// socket is closed).
int connect_one(const char *tag, const vnet_addrinfo *a, int *out) {
    // The local source follows the preferred-network rules once the connect
    // engine provides them; until then the kernel chooses it.
    int s = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        int err = errno;
        logmsgf(ZTLOG_ERROR, tag, "%s.%d: socket/bind/connect() returns error %d:%s", __FILE_NAME__,
                __LINE__, err, strerror(err));
        return vnet_errno_to_status(err, VNET_CONNECT_FAILED);
    }
    if (fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK) != 0) {
        logmsgf(ZTLOG_ERROR, tag, "%s.%d: ioctl/fcntl for non-blocking failed", __FILE_NAME__,
                __LINE__);
        close(s);
        return VNET_TIMEOUT;
    }
    int err = 0;
    if (connect(s, a->ai_addr, a->ai_addrlen) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            int ready = vnet_sock_ready(s, 0, 1, kConnectSeconds);
            if (ready == VNET_LIBRARY_CALLBACK_QUIT) {
                close(s);
                return ready;
            }
            socklen_t len = sizeof err;
            if (ready != VNET_SUCCESS)
                err = ETIMEDOUT;
            else if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
        }
    }
    if (err != 0) {
        logmsgf(ZTLOG_ERROR, tag, "%s.%d: socket/bind/connect() returns error %d:%s", __FILE_NAME__,
                __LINE__, err, strerror(err));
        log_local_end(tag, s);
        close(s);
        return vnet_errno_to_status(err, VNET_CONNECT_FAILED);
    }
    *out = s;
    return VNET_SUCCESS;
}

// The TCP leg to host's exchange: every address in turn, IPv4 first.
int connect_leg(const char *tag, const char *host, int *out) {
    char service[16];
    snprintf(service, sizeof service, "%d", exchange_port());
    addrinfo hints{};
    vnet_get_default_hints(host, service, &hints);
    hints.ai_family = vnet_adjusted_family(hints.ai_family);
    vnet_addrinfo *list = nullptr;
    int code = 0;
    if (vnet_cached_getaddrinfo(host, service, &hints, &list, &code) != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, tag, "%s.%d: error %d in vnet_cached_getaddrinfo for host %s:%s: %s",
                __FILE_NAME__, __LINE__, code, host, service, gai_strerror(code));
        return VNET_GETHOST_FAILED;
    }
    vnet_sortaddrs(&list);
    int status = VNET_CONNECT_FAILED;
    for (const vnet_addrinfo *a = list; a != nullptr; a = a->ai_next) {
        status = connect_one(tag, a, out);
        if (status == VNET_SUCCESS || status == VNET_LIBRARY_CALLBACK_QUIT)
            break;
    }
    vnet_freeaddrinfo(list);
    return status;
}

// Closes the handle's socket and detaches it.
void close_and_detach(PBXHANDLE h, int sock) {
    if (sock >= 0)
        vnet_closesocket(sock);
    pbxSetSocketHandle(h, -1, PBX_MODE_BLOCKING);
}

} // namespace

extern "C" {

ZTBASE_API int vnet_pbxInitialize(void) {
    static const char *const tag = "vnet_pbxInitialize";
    pbxSetDefaultPortHook(pbx_port_rule);
    if (pbxInitialize(0) != 0) {
        int err = errno;
        logmsgf(ZTLOG_ERROR, tag, "%s.%d: pbxInitialize returns error %d:%s", __FILE_NAME__,
                __LINE__, err, strerror(err));
        return VNET_FAIL(tag, VNET_NO_SERVICE);
    }
    return VNET_SUCCESS;
}

ZTBASE_API int vnet_pbxUnInitialize(void) {
    static const char *const tag = "vnet_pbxUnInitialize";
    if (pbxUnInitialize() != 0) {
        int err = errno;
        logmsgf(ZTLOG_ERROR, tag, "%s.%d: pbxUnInitialize returns error %d:%s", __FILE_NAME__,
                __LINE__, err, strerror(err));
        return VNET_FAIL(tag, VNET_PBX_API_FAILED);
    }
    return VNET_SUCCESS;
}

ZTBASE_API int vnet_pbxFree(void *memory) {
    static const char *const tag = "vnet_pbxFree";
    if (pbxFree(memory) != 0) {
        int err = errno;
        logmsgf(ZTLOG_ERROR, tag, "%s.%d: pbxFree returns error %d:%s", __FILE_NAME__, __LINE__,
                err, strerror(err));
        return VNET_FAIL(tag, VNET_PBX_API_FAILED);
    }
    return VNET_SUCCESS;
}

ZTBASE_API int vnet_pbxAllocSocket(vnet_pbx_handle *handle_out, int sock) {
    static const char *const tag = "vnet_pbxAllocSocket";
    if (handle_out == nullptr)
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    *handle_out = nullptr;
    PBXHANDLE h = nullptr;
    if (pbxAllocSocket(&h, nullptr) != 0) {
        logmsgf(ZTLOG_ERROR, tag, "pbxAllocSocket() failed: %d", errno);
        return VNET_FAIL(tag, VNET_PBX_API_FAILED);
    }
    if (sock >= 0) {
        int flags = fcntl(sock, F_GETFL);
        if (flags < 0 || fcntl(sock, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            int err = errno;
            logmsgf(ZTLOG_ERROR, tag, "%s.%d: fcntl return error %d:%s", __FILE_NAME__, __LINE__,
                    err, strerror(err));
            pbxClose(h, 1);
            return VNET_FAIL(tag, VNET_SOCKET_FAILED);
        }
        if (pbxSetSocketHandle(h, sock, PBX_MODE_BLOCKING) != 0) {
            logmsgf(ZTLOG_ERROR, tag, "%s.%d: pbxSetSocketHandle failed", __FILE_NAME__, __LINE__);
            pbxClose(h, 1);
            return VNET_FAIL(tag, VNET_PBX_API_FAILED);
        }
    }
    *handle_out = h;
    return VNET_SUCCESS;
}

ZTBASE_API int vnet_pbxClose(vnet_pbx_handle *handle, int keep_socket) {
    if (handle == nullptr || *handle == nullptr)
        return VNET_SUCCESS;
    int rc = pbxClose(lib(*handle), keep_socket);
    *handle = nullptr;
    errno = rc == 0 ? 0 : errno;
    return rc == 0 ? VNET_SUCCESS : VNET_FAIL("vnet_pbxClose", VNET_PBX_API_FAILED);
}

ZTBASE_API int vnet_pbxGetSocketHandle(vnet_pbx_handle handle) {
    int sock = -1;
    return handle != nullptr && pbxGetSocketHandle(lib(handle), &sock) == 0 ? sock : -1;
}

ZTBASE_API int vnet_pbxSetHandshakeTimeout(vnet_pbx_handle handle, int seconds) {
    if (handle == nullptr || seconds < 1)
        return VNET_BAD_PARAM;
    return pbxSetHandshakeTimeout(lib(handle), seconds) == 0 ? VNET_SUCCESS : VNET_PBX_API_FAILED;
}

ZTBASE_API int vnet_pbxConnect_ex(vnet_pbx_handle *handle, const char *host, const char *extension,
                                  int mode, int *hint_out) {
    static const char *const tag = "vnet_pbxConnect_ex";
    if (handle == nullptr || *handle == nullptr || host == nullptr || extension == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "invalid arguments, some are NULL");
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    }
    PBXHANDLE h = lib(*handle);
    int sock = -1;
    bool connected = false;
    if (pbxGetSocketHandle(h, &sock) == 0 && sock >= 0) {
        // The connect engine may have connected the TCP leg itself.
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        if (getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &len) == 0) {
            connected = true;
            mode = pbxGetSocketMode(h);
        } else {
            int err = errno;
            if (err != ENOTCONN)
                logmsgf(ZTLOG_ERROR, tag, "%s.%d: zt_getpeername returned error %d:%s",
                        __FILE_NAME__, __LINE__, err, strerror(err));
            // An unconnected socket is no use: a fresh leg replaces it.
            close_and_detach(h, sock);
            sock = -1;
        }
    }
    if (!connected) {
        int status = connect_leg(tag, host, &sock);
        if (status != VNET_SUCCESS)
            return VNET_FAIL(tag, status);
    }
    int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
        logmsgf(ZTLOG_WARNING, tag, "%s.%d: setsockopt SO_KEEPALIVE failed", __FILE_NAME__,
                __LINE__);
    if (!connected) {
        if (pbxSetSocketHandle(h, sock, mode) != 0) {
            logmsgf(ZTLOG_ERROR, tag, "%s.%d: pbxSetSocketHandle failed", __FILE_NAME__, __LINE__);
            vnet_closesocket(sock);
            return VNET_FAIL(tag, VNET_PBX_API_FAILED);
        }
    }

    int raw_hint = 0;
    int err = 0;
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    char peer_host[NI_MAXHOST];
    int peer_port = 0;
    PBXADDR address;
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &len) != 0 ||
        !address_text(reinterpret_cast<sockaddr *>(&peer), len, peer_host, sizeof peer_host,
                      &peer_port)) {
        err = errno != 0 ? errno : ENOTCONN;
        logmsgf(ZTLOG_ERROR, tag, "zt_getpeername() failed: %d", err);
    } else if (pbxSetAddrEx(&address, peer_host, peer_port, extension) == -1) {
        err = errno;
        logmsgf(ZTLOG_ERROR, tag, "pbxSetAddrEx() failed: %d", err);
    } else if (pbxConnectExEx(h, &address, mode, &raw_hint, nullptr) == -1) {
        err = errno;
        if (err == EINTR)
            logmsgf(ZTLOG_ERROR, tag, "pbxConnectExEx() failed with INTERRUPT_ERROR: %d", err);
        else
            logmsgf(ZTLOG_ERROR, tag, "pbxConnectExEx() failed: %d", err);
    }
    if (hint_out != nullptr)
        *hint_out = pbx_version_to_hint(raw_hint);
    if (err != 0) {
        logmsgf(ZTLOG_ERROR, tag, "%s.%d: pbxSetAddrEx/pbxConnectExEx return error %d:%s",
                __FILE_NAME__, __LINE__, err, strerror(err));
        close_and_detach(h, sock);
        const int st = VNET_FAIL(tag, VNET_PBX_API_FAILED);
        errno = err; // the caller tells a refused extension from other failures
        return st;
    }
    logmsgvf(ZTLOG_DEBUG, 6, tag, "pbxConnectExEx Succeeded");
    logmsgvf(ZTLOG_DEBUG, 6, tag, "remote_peer_hint = %d", raw_hint);
    return VNET_SUCCESS;
}

ZTBASE_API int vnet_pbxConnect(vnet_pbx_handle *handle, const char *host, const char *extension,
                               int mode) {
    return vnet_pbxConnect_ex(handle, host, extension, mode, nullptr);
}

ZTBASE_API int vnet_registerPBXServer(vnet_pbx_handle *handle, int *sock_out, const char *extension,
                                      struct sockaddr_storage **alt_addrs_out, int *alt_count_out) {
    static const char *const tag = "vnet_registerPBXServer";
    if (handle == nullptr || sock_out == nullptr || extension == nullptr ||
        alt_addrs_out == nullptr || alt_count_out == nullptr)
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    *sock_out = -1;
    *alt_addrs_out = nullptr;
    *alt_count_out = 0;
    if (vnet_pbxAllocSocket(handle, -1) != VNET_SUCCESS)
        return VNET_FAIL(tag, VNET_PBX_API_FAILED);
    PBXHANDLE h = lib(*handle);
    int status = VNET_PBX_API_FAILED;
    PBXADDR address;
    sockaddr_storage *alt = nullptr;
    int count = 0;
    int sock = -1;
    if (pbxSetAddrEx(&address, nullptr, 0, extension) == -1) {
        logmsgf(ZTLOG_ERROR, tag, "pbxSetAddrEx() failed: %d", errno);
    } else if (pbxRegisterExEx(h, &address, &alt, &count, kRegisterBacklog) != 0) {
        int err = errno;
        logmsgf(ZTLOG_ERROR, tag, "%s.%d: pbxRegisterExEx failed with error %d:%s", __FILE_NAME__,
                __LINE__, err, strerror(err));
    } else {
        logmsgf(ZTLOG_INFO, tag,
                "%s.%d: pbxRegisterExEx successful at %s:%d/%s, returns with %d alt_addrs",
                __FILE_NAME__, __LINE__, address.host[0] != '\0' ? address.host : "localhost",
                address.port, extension, count);
        for (int i = 0; i < count; ++i) {
            char text[NI_MAXHOST] = "";
            int port = 0;
            address_text(reinterpret_cast<sockaddr *>(&alt[i]), sizeof alt[i], text, sizeof text,
                         &port);
            logmsgf(ZTLOG_INFO, tag, "%s.%d: alt_addr: %s:%d", __FILE_NAME__, __LINE__, text, port);
        }
        if (pbxGetSocketHandle(h, &sock) != 0) {
            logmsgf(ZTLOG_ERROR, tag, "%s.%d: pbxGetSocketHandle failed.", __FILE_NAME__, __LINE__);
        } else if (count > 0 && (*alt_addrs_out = static_cast<sockaddr_storage *>(malloc(
                                     sizeof(sockaddr_storage) * size_t(count)))) == nullptr) {
            status = VNET_MALLOC_FAILED;
        } else {
            if (count > 0)
                memcpy(*alt_addrs_out, alt, sizeof(sockaddr_storage) * size_t(count));
            *alt_count_out = count;
            *sock_out = sock;
            status = VNET_SUCCESS;
        }
    }
    if (alt != nullptr)
        vnet_pbxFree(alt);
    if (status != VNET_SUCCESS) {
        vnet_pbxClose(handle, 0);
        return VNET_FAIL(tag, status);
    }
    return VNET_SUCCESS;
}

ZTBASE_API int vnet_pbxAcceptSocket_ex(vnet_pbx_handle *handle, int *sock_out, int flags,
                                       struct sockaddr *peer_out, socklen_t *peer_len,
                                       int *hint_out) {
    static const char *const tag = "vnet_pbxAcceptSocket_ex";
    (void)flags;
    if (handle == nullptr || *handle == nullptr || sock_out == nullptr ||
        (peer_out != nullptr && peer_len == nullptr))
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    *sock_out = -1;
    PBXHANDLE h = lib(*handle);
    int listen_sock = -1;
    pbxGetSocketHandle(h, &listen_sock);
    bool was_nonblocking = pbxGetSocketMode(h) == PBX_MODE_NONBLOCKING;
    if (was_nonblocking && pbxSetSocketHandle(h, listen_sock, PBX_MODE_BLOCKING) != 0) {
        int err = errno;
        logmsgf(ZTLOG_ERROR, tag, "%s.%d: setting pbx sock to blocking returns error %d:%s",
                __FILE_NAME__, __LINE__, err, strerror(err));
    }
    int raw_hint = 0;
    int status = VNET_SUCCESS;
    if (pbxAcceptEx(h, sock_out, &raw_hint) != 0) {
        int err = errno;
        logmsgf(ZTLOG_ERROR, tag, "%s.%d: pbxAcceptEx returns error %d:%s", __FILE_NAME__, __LINE__,
                err, strerror(err));
        *sock_out = -1;
        status = VNET_PBX_API_FAILED;
    } else {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        char text[NI_MAXHOST], shown[NI_MAXHOST + 2];
        int port = 0;
        if (getpeername(*sock_out, reinterpret_cast<sockaddr *>(&peer), &len) != 0) {
            int err = errno;
            if (err == EBADF || err == ENOTSOCK)
                logmsgf(ZTLOG_ERROR, tag, "invalid socket passed to getpeername %d:%s )", err,
                        strerror(err));
            else
                logmsgf(ZTLOG_ERROR, tag,
                        "zt_getpeername on accepted sock failed returns error %d:%s", err,
                        strerror(err));
        } else {
            if (address_text(reinterpret_cast<sockaddr *>(&peer), len, text, sizeof text, &port))
                logmsgvf(ZTLOG_DEBUG, 5, tag, "Accepted sock[%ld] from %s:%d", long(*sock_out),
                         vnet_format_IP(text, shown, sizeof shown), port);
            if (peer_out != nullptr) {
                memcpy(peer_out, &peer, std::min<size_t>(*peer_len, len));
                *peer_len = len;
            }
        }
        int fl = fcntl(*sock_out, F_GETFL);
        if (fl < 0 || fcntl(*sock_out, F_SETFL, fl & ~O_NONBLOCK) != 0) {
            int err = errno;
            logmsgf(ZTLOG_ERROR, tag,
                    "%s.%d: setting accepted sock to blocking returns error %d:%s", __FILE_NAME__,
                    __LINE__, err, strerror(err));
        }
    }
    if (was_nonblocking && pbxSetSocketHandle(h, listen_sock, PBX_MODE_NONBLOCKING) != 0) {
        int err = errno;
        logmsgf(ZTLOG_ERROR, tag,
                "%s.%d: setting pbx sock back to non-blocking returns error %d:%s", __FILE_NAME__,
                __LINE__, err, strerror(err));
    }
    if (status != VNET_SUCCESS)
        return VNET_FAIL(tag, status);
    logmsgvf(ZTLOG_DEBUG, 6, tag, "remote_peer_hint = %d", raw_hint);
    if (hint_out != nullptr)
        *hint_out = pbx_version_to_hint(raw_hint);
    return VNET_SUCCESS;
}

ZTBASE_API int vnet_pbxAcceptSocket(vnet_pbx_handle *handle, int *sock_out, int flags,
                                    struct sockaddr *peer_out, socklen_t *peer_len) {
    return vnet_pbxAcceptSocket_ex(handle, sock_out, flags, peer_out, peer_len, nullptr);
}

ZTBASE_API int vnet_get_remote_peer_hint(const char *host, const char *extension, int *hint_out) {
    static const char *const tag = "vnet_get_remote_peer_hint";
    if (host == nullptr || hint_out == nullptr)
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    int status = vnet_pbxInitialize();
    if (status != VNET_SUCCESS)
        return VNET_FAIL(tag, status);
    vnet_pbx_handle handle = nullptr;
    status = vnet_pbxAllocSocket(&handle, -1);
    if (status == VNET_SUCCESS)
        status = vnet_pbxConnect_ex(&handle, host, extension != nullptr ? extension : "vnetd",
                                    VNET_PBX_MODE_BLOCKING, hint_out);
    vnet_pbxClose(&handle, 0);
    vnet_pbxUnInitialize();
    return status != VNET_SUCCESS ? VNET_FAIL(tag, status) : VNET_SUCCESS;
}

ZTBASE_API int vnet_pbx_c_supported(void) {
    return 1;
}

ZTBASE_API int vnet_ping(void) {
    return 0;
}

} // extern "C"
