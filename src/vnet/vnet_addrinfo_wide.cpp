// The UTF-16 twins of the cached lookups: texts converted to the locale's
// character set, the narrow operation called, texts converted back.
#include <cstdlib>
#include <cstring>

#include "ztbase/debuglog.h"
#include "ztbase/strings.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_addrinfo.h"

namespace {

struct Narrow {
    char *text = nullptr;
    bool ok = true;
    Narrow(const char16_t *w, const char *what, const char *tag) {
        if (w == nullptr)
            return;
        text = V_StrDupWideToACP(w);
        if (text == nullptr) {
            logmsgf(ZTLOG_ERROR, tag, "V_StrDupWideToACP failed %s", what);
            ok = false;
        }
    }
    ~Narrow() { free(text); }
    Narrow(const Narrow &) = delete;
    Narrow &operator=(const Narrow &) = delete;
};

// Copies a narrow text into a wide buffer of size characters.
bool widen_into(const char *text, char16_t *out, size_t size, const char *tag) {
    if (out == nullptr || size == 0)
        return true;
    char16_t *w = V_StrDupACPToWide(text);
    if (w == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "V_StrDupACPToWide failed");
        return false;
    }
    size_t n = 0;
    while (w[n] != 0)
        ++n;
    bool fits = n < size;
    if (fits)
        memcpy(out, w, (n + 1) * sizeof(char16_t));
    free(w);
    return fits;
}

} // namespace

extern "C" ZTBASE_API int vnet_cached_getaddrinfo_and_updateW(
    const char16_t *name, const char16_t *service, const struct addrinfo *hints,
    const int *flag_update, const vnet_uuid_list *host_uuids, const vnet_name_list *uuid_hosts,
    vnet_addrinfo **result, int *resolver_code) {
    const char *tag = "vnet_cached_getaddrinfo_and_updateW";
    Narrow n(name, "name", tag), s(service, "service", tag);
    if (!n.ok || !s.ok)
        return VNET_MALLOC_FAILED;
    return vnet_cached_getaddrinfo_and_update(n.text, s.text, hints, flag_update, host_uuids,
                                              uuid_hosts, result, resolver_code);
}

extern "C" ZTBASE_API int vnet_cached_getaddrinfoW(const char16_t *name, const char16_t *service,
                                                   const struct addrinfo *hints,
                                                   vnet_addrinfo **result, int *resolver_code) {
    return vnet_cached_getaddrinfo_and_updateW(name, service, hints, nullptr, nullptr, nullptr,
                                               result, resolver_code);
}

extern "C" ZTBASE_API int vnet_cached_getnameinfoW(const struct sockaddr *address,
                                                   socklen_t address_length, char16_t *host,
                                                   size_t host_size, char16_t *service,
                                                   size_t service_size, int flags,
                                                   int *resolver_code) {
    const char *tag = "vnet_cached_getnameinfoW";
    char h[1025] = "", s[32] = "";
    int rc = vnet_cached_getnameinfo(address, address_length, host != nullptr ? h : nullptr,
                                     host != nullptr ? sizeof h : 0,
                                     service != nullptr ? s : nullptr,
                                     service != nullptr ? sizeof s : 0, flags, resolver_code);
    if (rc != VNET_SUCCESS)
        return rc;
    if (!widen_into(h, host, host_size, tag) || !widen_into(s, service, service_size, tag))
        return VNET_MALLOC_FAILED;
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_cached_get_service_portW(const char16_t *service, int *port) {
    Narrow s(service, "service", "vnet_cached_get_service_portW");
    if (!s.ok)
        return VNET_MALLOC_FAILED;
    return vnet_cached_get_service_port(s.text, port);
}

extern "C" ZTBASE_API int vnet_localhost_checkW(const char16_t *name) {
    Narrow n(name, "name", "vnet_localhost_checkW");
    return n.ok ? vnet_localhost_check(n.text) : 0;
}

extern "C" ZTBASE_API int vnet_cached_gethostentW(const char16_t *name, vnet_hostent **out) {
    Narrow n(name, "name", "vnet_cached_gethostentW");
    return n.ok ? vnet_cached_gethostent(n.text, out) : VNET_MALLOC_FAILED;
}

extern "C" ZTBASE_API int vnet_cached_get_aliasesW(const char16_t *name, char ***list_out) {
    Narrow n(name, "name", "vnet_cached_get_aliasesW");
    return n.ok ? vnet_cached_get_aliases(n.text, list_out) : VNET_MALLOC_FAILED;
}

extern "C" ZTBASE_API int vnet_get_cached_host_uuidsW(const char16_t *name, vnet_uuid_list **out) {
    Narrow n(name, "name", "vnet_get_cached_host_uuidsW");
    return n.ok ? vnet_get_cached_host_uuids(n.text, out) : VNET_MALLOC_FAILED;
}

extern "C" ZTBASE_API int vnet_set_cached_host_uuidsW(const char16_t *name,
                                                      const vnet_uuid_list *list) {
    Narrow n(name, "name", "vnet_set_cached_host_uuidsW");
    return n.ok ? vnet_set_cached_host_uuids(n.text, list) : VNET_MALLOC_FAILED;
}

extern "C" ZTBASE_API int vnet_set_override_valuesW(const char16_t *path) {
    Narrow p(path, "path", "vnet_set_override_valuesW");
    return p.ok ? vnet_set_override_values(p.text) : VNET_MALLOC_FAILED;
}
