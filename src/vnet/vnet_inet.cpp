// Address texts: literals recognised, converted to and from socket
// addresses, and the IPv4 "address/bits" and "address:mask" forms of
// network lists.
//
// Every parser here reads outside input (configuration, command lines,
// peers): it reads only the text it is given, accepts nothing after the
// value, and answers a status rather than guessing.
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <string>

#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_wide.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_host.h"

namespace {

using zt::vnet::wide::Narrow;
using zt::vnet::wide::widen_into;

// One number of an IPv4 text as inet_aton(3) reads it: "0x" hexadecimal,
// a leading 0 octal, else decimal; at least one digit, nothing else. p is
// left after the number. False past 32 bits.
bool parse_part(const char *&p, uint64_t &value) {
    value = 0;
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    const char *start = p;
    for (;; ++p) {
        unsigned d;
        char c = *p;
        if (c >= '0' && c <= '9')
            d = unsigned(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = unsigned(c - 'A' + 10);
        else
            break;
        if (d >= base)
            return false;
        value = value * base + d;
        if (value > 0xffffffffULL)
            return false;
    }
    return p != start;
}

// inet_aton's grammar, strictly: one to four parts separated by dots, the
// last part filling the remaining bytes; no blanks, signs or trailing text.
bool parse_ipv4(const char *text, uint32_t &host_order) {
    uint64_t parts[4];
    int n = 0;
    const char *p = text;
    for (;;) {
        if (n == 4 || !parse_part(p, parts[n]))
            return false;
        ++n;
        if (*p == '\0')
            break;
        if (*p != '.')
            return false;
        ++p;
    }
    static const uint64_t kLast[5] = {0, 0xffffffffULL, 0xffffffULL, 0xffffULL, 0xffULL};
    for (int i = 0; i + 1 < n; ++i)
        if (parts[i] > 0xff)
            return false;
    if (parts[n - 1] > kLast[n])
        return false;
    uint64_t v = 0;
    for (int i = 0; i + 1 < n; ++i)
        v |= parts[i] << (24 - 8 * i);
    host_order = uint32_t(v | parts[n - 1]);
    return true;
}

// A bit count of "/BITS": decimal, octal or hexadecimal, 0-32, nothing after.
bool parse_bits(const char *text, int &bits) {
    const char *p = text;
    uint64_t v = 0;
    if (!parse_part(p, v) || *p != '\0' || v > 32)
        return false;
    bits = int(v);
    return true;
}

int numeric_sockaddr(const char *text, int port, vnet_sockaddr_t *out, socklen_t *length) {
    const char *tag = "vnet_sockAddrPtoN";
    if (text == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "ipstr is NULL");
        return VNET_BAD_PARAM;
    }
    if (out == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "addrptr is NULL");
        return VNET_BAD_PARAM;
    }
    if (length == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "addrlen is NULL");
        return VNET_BAD_PARAM;
    }
    if (port < 0 || port > 65535) {
        logmsgf(ZTLOG_ERROR, tag, "port %d is out of range", port);
        return VNET_BAD_PARAM;
    }
    char service[8];
    snprintf(service, sizeof service, "%d", port);
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(text, service, &hints, &res);
    if (rc != 0 || res == nullptr || res->ai_addrlen > sizeof(vnet_sockaddr_t)) {
        logmsgf(ZTLOG_ERROR, tag, "getaddrinfo(%s,...) failed: %d", text,
                zt::vnet::resolve::map_resolver_code(rc, tag));
        if (res != nullptr)
            freeaddrinfo(res);
        return VNET_GETHOST_FAILED;
    }
    memset(out, 0, sizeof *out);
    memcpy(out, res->ai_addr, res->ai_addrlen);
    *length = res->ai_addrlen;
    freeaddrinfo(res);
    return VNET_SUCCESS;
}

int sockaddr_text(const sockaddr *addr, socklen_t length, bool length_given, char *out,
                  size_t size, int *port) {
    const char *tag = "vnet_sockAddrNtoPWithLength";
    if (addr == nullptr || out == nullptr || size == 0) {
        logmsgf(ZTLOG_ERROR, tag, "address or text buffer is NULL");
        return 0;
    }
    if (length_given && length > sizeof(vnet_sockaddr_t)) {
        logmsgf(ZTLOG_ERROR, tag, "sizeof (vnet_sockaddr_t) %ld too small for ai_addrlen %ld",
                long(sizeof(vnet_sockaddr_t)), long(length));
        return 0;
    }
    const void *bytes = nullptr;
    int p = 0;
    socklen_t need = 0;
    if (addr->sa_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(addr);
        bytes = &in->sin_addr;
        p = ntohs(in->sin_port);
        need = sizeof(sockaddr_in);
    } else if (addr->sa_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(addr);
        bytes = &in6->sin6_addr;
        p = ntohs(in6->sin6_port);
        need = sizeof(sockaddr_in6);
    } else {
        logmsgf(ZTLOG_ERROR, tag, "Unknown protocol specified.");
        return 0;
    }
    if (length_given && length < need) {
        logmsgf(ZTLOG_ERROR, tag, "address length %ld too short for family %d", long(length),
                addr->sa_family);
        return 0;
    }
    if (inet_ntop(addr->sa_family, bytes, out, socklen_t(size < 1024 ? size : 1024)) == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "inet_ntop() failed ERRNO=%d", errno);
        out[0] = '\0';
        return 0;
    }
    if (port != nullptr)
        *port = p;
    return 1;
}

} // namespace

extern "C" ZTBASE_API int vnet_is_ip_string(const char *text) {
    return zt::vnet::resolve::ip_literal_family(text);
}

extern "C" ZTBASE_API int vnet_inet_pton(int family, const char *text, void *out) {
    if (text == nullptr || out == nullptr || (family != AF_INET && family != AF_INET6)) {
        logmsgf(ZTLOG_ERROR, "vnet_inet_pton", "bad family %d or NULL argument", family);
        return -1;
    }
    return inet_pton(family, text, out);
}

extern "C" ZTBASE_API const char *vnet_inet_ntop(int family, const void *in, char *text_out,
                                                 size_t size) {
    if (in == nullptr || text_out == nullptr || (family != AF_INET && family != AF_INET6)) {
        logmsgf(ZTLOG_ERROR, "vnet_inet_ntop", "bad family %d or NULL argument", family);
        return nullptr;
    }
    return inet_ntop(family, in, text_out, socklen_t(size < 1024 ? size : 1024));
}

extern "C" ZTBASE_API int vnet_sockAddrPtoN(const char *text, int port,
                                            vnet_sockaddr_t *sockaddr_out, socklen_t *length_out) {
    return numeric_sockaddr(text, port, sockaddr_out, length_out);
}

extern "C" ZTBASE_API int vnet_sockAddrNtoP(const struct sockaddr *address, char *text_out,
                                            size_t size, int *port_out) {
    return sockaddr_text(address, 0, false, text_out, size, port_out);
}

extern "C" ZTBASE_API int vnet_sockAddrNtoPWithLength(const struct sockaddr *address,
                                                      socklen_t length, char *text_out,
                                                      size_t size, int *port_out) {
    return sockaddr_text(address, length, true, text_out, size, port_out);
}

extern "C" ZTBASE_API int vnet_inet_addr(const char *text, uint32_t *address_out) {
    if (text == nullptr) {
        logmsgf(ZTLOG_ERROR, "vnet_inet_addr", "address text is NULL");
        return VNET_BAD_ARGUMENT;
    }
    uint32_t v = 0;
    if (!parse_ipv4(text, v))
        return VNET_BAD_STRING;
    if (address_out != nullptr)
        *address_out = htonl(v);
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_inet_addrmask(const char *text, uint32_t *address_out,
                                             uint32_t *mask_out) {
    const char *tag = "vnet_inet_addrmask";
    if (address_out != nullptr)
        *address_out = 0xffffffffU;
    if (mask_out != nullptr)
        *mask_out = 0xffffffffU;
    if (text == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "address text is NULL");
        return VNET_BAD_ARGUMENT;
    }
    return zt::vnet::resolve::guarded(tag, [&] {
        std::string address = text, mask_text;
        bool bits_form = false;
        if (size_t slash = address.find('/'); slash != std::string::npos) {
            mask_text = address.substr(slash + 1);
            address.resize(slash);
            bits_form = true;
        } else if (size_t colon = address.find(':'); colon != std::string::npos) {
            mask_text = address.substr(colon + 1);
            address.resize(colon);
        }
        uint32_t a = 0;
        if (int rc = vnet_inet_addr(address.c_str(), &a); rc != VNET_SUCCESS) {
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] vnet_inet_addr failed, status=%d, teststr=%s",
                    __FILE_NAME__, __LINE__, rc, address.c_str());
            return rc;
        }
        if (address_out != nullptr)
            *address_out = a;
        if (bits_form) {
            int bits = 0;
            if (!parse_bits(mask_text.c_str(), bits)) {
                logmsgf(ZTLOG_ERROR, tag, "[%s:%d] bad bit count, teststr=%s", __FILE_NAME__,
                        __LINE__, mask_text.c_str());
                return int(VNET_BAD_STRING);
            }
            uint32_t m = bits == 0 ? 0 : 0xffffffffU << (32 - bits);
            char hex[16];
            snprintf(hex, sizeof hex, "0x%08x", m);
            mask_text = hex;
        } else if (mask_text.empty() && address.size() == strlen(text)) {
            return int(VNET_SUCCESS); // an address alone
        }
        uint32_t m = 0;
        if (int rc = vnet_inet_addr(mask_text.c_str(), &m); rc != VNET_SUCCESS) {
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] vnet_inet_addr failed, status=%d, teststr=%s",
                    __FILE_NAME__, __LINE__, rc, mask_text.c_str());
            return rc;
        }
        if (mask_out != nullptr)
            *mask_out = m;
        return int(VNET_SUCCESS);
    });
}

extern "C" ZTBASE_API int vnet_inet_addrmask_ipv6(int bits, unsigned char mask_out[16]) {
    if (mask_out == nullptr || bits < 0 || bits > 128) {
        logmsgf(ZTLOG_ERROR, "vnet_inet_addrmask_ipv6", "bad prefix length %d or NULL mask", bits);
        return VNET_BAD_ARGUMENT;
    }
    for (int i = 0; i < 16; ++i) {
        int here = bits - 8 * i;
        mask_out[i] = here >= 8 ? 0xff : here <= 0 ? 0 : static_cast<unsigned char>(0xff << (8 - here));
    }
    return VNET_SUCCESS;
}

// ---- UTF-16 twins ----

extern "C" ZTBASE_API int vnet_is_ip_stringW(const char16_t *text) {
    Narrow n(text, "ip_string", "vnet_is_ip_stringW");
    return n.ok ? vnet_is_ip_string(n.text) : 0;
}

extern "C" ZTBASE_API int vnet_inet_ptonW(int family, const char16_t *text, void *out) {
    Narrow n(text, "text", "vnet_inet_ptonW");
    return n.ok ? vnet_inet_pton(family, n.text, out) : -1;
}

extern "C" ZTBASE_API const char16_t *vnet_inet_ntopW(int family, const void *in,
                                                      char16_t *text_out, size_t size) {
    char buf[INET6_ADDRSTRLEN];
    if (text_out == nullptr || vnet_inet_ntop(family, in, buf, sizeof buf) == nullptr)
        return nullptr;
    return widen_into(buf, text_out, size, "vnet_inet_ntopW") ? text_out : nullptr;
}

extern "C" ZTBASE_API int vnet_sockAddrPtoNW(const char16_t *text, int port,
                                             vnet_sockaddr_t *sockaddr_out,
                                             socklen_t *length_out) {
    Narrow n(text, "ipstr", "vnet_sockAddrPtoNW");
    if (!n.ok)
        return VNET_MALLOC_FAILED;
    return vnet_sockAddrPtoN(n.text, port, sockaddr_out, length_out);
}

extern "C" ZTBASE_API int vnet_sockAddrNtoPW(const struct sockaddr *address, char16_t *text_out,
                                             size_t size, int *port_out) {
    char buf[INET6_ADDRSTRLEN];
    int port = 0;
    if (text_out == nullptr || vnet_sockAddrNtoP(address, buf, sizeof buf, &port) == 0)
        return 0;
    if (!widen_into(buf, text_out, size, "vnet_sockAddrNtoPW"))
        return 0;
    if (port_out != nullptr)
        *port_out = port;
    return 1;
}
