// The resilient daemon's connect request: SOCKS version 5 (RFC 1928), no
// authentication, CONNECT to a domain name, carried byte by byte by the vnet
// codec.
//
//   client: 05 01 00                      version, one method, "no authentication"
//   server: 05 00                         version, chosen method
//   client: 05 01 00 03 LEN HOST PORT(2)  CONNECT, reserved, domain name, port (network order)
//   server: 05 REP 00 ATYP ADDR PORT(2)   ATYP 1: 4 bytes, 4: 16 bytes, 3: LEN and LEN bytes
#include <cstring>

#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_addrinfo.h"
#include "ztbase/vnet_connect.h"

namespace {

const char kTag[] = "vnet_do_socks5_client_protocol";

int fail(int status, const char *why, int value) {
    if (why != nullptr)
        logmsgf(ZTLOG_ERROR, kTag, "%s: %d", why, value);
    vnet_failure(__FILE__, __LINE__, kTag, status);
    return status;
}

int push_all(int sock, const unsigned char *bytes, size_t n, int timeout) {
    for (size_t i = 0; i < n; ++i)
        if (int st = vnet_push_byte(sock, bytes[i], timeout))
            return st;
    return 0;
}

int pop_skip(int sock, int n, int timeout) {
    int v = 0;
    for (int i = 0; i < n; ++i)
        if (int st = vnet_pop_byte(sock, &v, timeout))
            return st;
    return 0;
}

} // namespace

extern "C" ZTBASE_API int vnet_do_socks5_client_protocol(int sock, const char *host,
                                                         const char *service, int timeout) {
    if (sock < 0 || host == nullptr || service == nullptr)
        return fail(VNET_BAD_PARAM, "missing argument", sock);
    const size_t len = strlen(host);
    if (len >= 256)
        return fail(VNET_BAD_PARAM, "host name too long", static_cast<int>(len));
    int port = 0;
    if (int st = vnet_cached_get_service_port(service, &port))
        return fail(st, "no port for the service", st);

    const unsigned char hello[] = {5, 1, 0};
    if (int st = push_all(sock, hello, sizeof hello, timeout))
        return fail(st, nullptr, 0);
    int version = 0, method = 0;
    if (int st = vnet_pop_byte(sock, &version, timeout))
        return fail(st, nullptr, 0);
    if (int st = vnet_pop_byte(sock, &method, timeout))
        return fail(st, nullptr, 0);
    if (version != 5)
        return fail(VNET_BAD_VERSION, "bad socks5 version", version);
    if (method != 0)
        return fail(VNET_BAD_NUMBER, "bad authentication method", method);

    unsigned char request[4 + 1 + 255 + 2];
    size_t n = 0;
    request[n++] = 5;
    request[n++] = 1;
    request[n++] = 0;
    request[n++] = 3;
    request[n++] = static_cast<unsigned char>(len);
    memcpy(request + n, host, len);
    n += len;
    request[n++] = static_cast<unsigned char>((port >> 8) & 0xff);
    request[n++] = static_cast<unsigned char>(port & 0xff);
    if (int st = push_all(sock, request, n, timeout))
        return fail(st, nullptr, 0);

    int reply = 0, reserved = 0, type = 0;
    if (int st = vnet_pop_byte(sock, &version, timeout))
        return fail(st, nullptr, 0);
    if (version != 5)
        return fail(VNET_BAD_VERSION, "bad socks5 version", version);
    if (int st = vnet_pop_byte(sock, &reply, timeout))
        return fail(st, nullptr, 0);
    if (int st = vnet_pop_byte(sock, &reserved, timeout))
        return fail(st, nullptr, 0);
    if (reserved != 0)
        return fail(VNET_BAD_NUMBER, "bad reserved", reserved);
    if (int st = vnet_pop_byte(sock, &type, timeout))
        return fail(st, nullptr, 0);
    int addr_len = 0;
    if (type == 1) {
        addr_len = 4;
    } else if (type == 4) {
        addr_len = 16;
    } else if (type == 3) {
        if (int st = vnet_pop_byte(sock, &addr_len, timeout))
            return fail(st, nullptr, 0);
    } else {
        return fail(VNET_BAD_NUMBER, "bad address type", type);
    }
    if (int st = pop_skip(sock, addr_len + 2, timeout))
        return fail(st, nullptr, 0);
    if (reply == 0)
        return VNET_SUCCESS;
    return fail(reply == 2 ? VNET_BAD_VERSION : VNET_BAD_NUMBER, "bad status", reply);
}
