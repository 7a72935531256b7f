// The UTF-16 twins of the cached lookups: texts converted to the locale's
// character set, the narrow operation called, texts converted back.
#include <cstdlib>
#include <cstring>

#include "ztbase/debuglog.h"
#include "ztbase/strings.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_addrinfo.h"
#include "vnet/vnet_wide.h"

using zt::vnet::wide::Narrow;
using zt::vnet::wide::widen_into;

namespace {

// A null-terminated list of narrow names as a new UTF-16 one (null on failure).
char16_t **widen_list(char *const *list, const char *tag) {
    size_t n = 0;
    while (list[n] != nullptr)
        ++n;
    auto **out = static_cast<char16_t **>(calloc(n + 1, sizeof(char16_t *)));
    if (out == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "out of memory");
        return nullptr;
    }
    for (size_t i = 0; i < n; ++i) {
        out[i] = V_StrDupACPToWide(list[i]);
        if (out[i] == nullptr) {
            logmsgf(ZTLOG_ERROR, tag, "V_StrDupACPToWide failed");
            vnet_free_aliasesW(out);
            return nullptr;
        }
    }
    return out;
}

// Calls a narrow operation giving a null-terminated list and hands it out in UTF-16.
template <class Fn> int wide_list(char16_t ***list_out, const char *tag, Fn narrow) {
    if (list_out == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "list_out is NULL");
        return VNET_BAD_PARAM;
    }
    *list_out = nullptr;
    char **list = nullptr;
    int rc = narrow(&list);
    if (rc != VNET_SUCCESS)
        return rc;
    char16_t **w = list != nullptr ? widen_list(list, tag) : nullptr;
    bool ok = list == nullptr || w != nullptr;
    vnet_free_aliases(list);
    if (!ok)
        return VNET_MALLOC_FAILED;
    *list_out = w;
    return VNET_SUCCESS;
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

extern "C" ZTBASE_API void vnet_free_aliasesW(char16_t **list) {
    if (list == nullptr)
        return;
    for (char16_t **p = list; *p != nullptr; ++p)
        free(*p);
    free(list);
}

extern "C" ZTBASE_API int vnet_cached_get_aliasesW(const char16_t *name, char16_t ***list_out) {
    const char *tag = "vnet_cached_get_aliasesW";
    Narrow n(name, "name", tag);
    if (!n.ok)
        return VNET_MALLOC_FAILED;
    return wide_list(list_out, tag, [&](char ***list) { return vnet_cached_get_aliases(n.text, list); });
}

extern "C" ZTBASE_API int vnet_getifaddrsW(int skip_loopback, int skip_link_local,
                                           char16_t ***list_out) {
    return wide_list(list_out, "vnet_getifaddrsW", [&](char ***list) {
        return vnet_getifaddrs(skip_loopback, skip_link_local, list);
    });
}

extern "C" ZTBASE_API void vnet_free_name_listW(vnet_name_listW *list) {
    if (list == nullptr)
        return;
    for (long i = 0; i < list->count; ++i)
        free(list->names[i]);
    free(list->names);
    free(list);
}

extern "C" ZTBASE_API int vnet_get_cached_uuid_hostsW(const vnet_uuid *uuid, vnet_name_listW **out) {
    const char *tag = "vnet_get_cached_uuid_hostsW";
    if (out == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "out is NULL");
        return VNET_BAD_PARAM;
    }
    *out = nullptr;
    vnet_name_list *list = nullptr;
    int rc = vnet_get_cached_uuid_hosts(uuid, &list);
    if (rc != VNET_SUCCESS || list == nullptr)
        return rc;
    auto *w = static_cast<vnet_name_listW *>(calloc(1, sizeof(vnet_name_listW)));
    if (w != nullptr && list->count > 0)
        w->names = static_cast<char16_t **>(calloc(size_t(list->count), sizeof(char16_t *)));
    bool ok = w != nullptr && (list->count == 0 || w->names != nullptr);
    for (long i = 0; ok && i < list->count; ++i) {
        w->names[i] = V_StrDupACPToWide(list->names[i]);
        ok = w->names[i] != nullptr;
        if (ok)
            w->count = i + 1;
    }
    vnet_free_name_list(list);
    if (!ok) {
        logmsgf(ZTLOG_ERROR, tag, "V_StrDupACPToWide failed");
        vnet_free_name_listW(w);
        return VNET_MALLOC_FAILED;
    }
    *out = w;
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_set_cached_uuid_hostsW(const vnet_uuid *uuid,
                                                      const vnet_name_listW *list) {
    const char *tag = "vnet_set_cached_uuid_hostsW";
    if (list == nullptr || list->count < 0 || (list->count > 0 && list->names == nullptr)) {
        logmsgf(ZTLOG_ERROR, tag, "list is NULL or malformed");
        return VNET_BAD_PARAM;
    }
    vnet_name_list narrow{0, nullptr};
    if (list->count > 0) {
        narrow.names = static_cast<char **>(calloc(size_t(list->count), sizeof(char *)));
        if (narrow.names == nullptr) {
            logmsgf(ZTLOG_ERROR, tag, "out of memory");
            return VNET_MALLOC_FAILED;
        }
    }
    int rc = VNET_SUCCESS;
    for (long i = 0; i < list->count; ++i) {
        if (list->names[i] == nullptr) {
            logmsgf(ZTLOG_ERROR, tag, "name %ld is NULL", i);
            rc = VNET_BAD_PARAM;
            break;
        }
        narrow.names[i] = V_StrDupWideToACP(list->names[i]);
        if (narrow.names[i] == nullptr) {
            logmsgf(ZTLOG_ERROR, tag, "V_StrDupWideToACP failed");
            rc = VNET_MALLOC_FAILED;
            break;
        }
        narrow.count = i + 1;
    }
    if (rc == VNET_SUCCESS)
        rc = vnet_set_cached_uuid_hosts(uuid, &narrow);
    for (long i = 0; i < narrow.count; ++i)
        free(narrow.names[i]);
    free(narrow.names);
    return rc;
}

namespace zt::vnet::wide {

Narrow::Narrow(const char16_t *w, const char *what, const char *tag) {
    if (w == nullptr)
        return;
    text = V_StrDupWideToACP(w);
    if (text == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "V_StrDupWideToACP failed %s", what);
        ok = false;
    }
}

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

} // namespace zt::vnet::wide
