// Host names of this machine and the per-thread values the identity
// questions consult: the thread context and the peer name for authorization.
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <unistd.h>

#include "base/tss.h"
#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_host_internal.h"
#include "vnet/vnet_wide.h"
#include "ztbase/debuglog.h"
#include "ztbase/frame.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_host.h"

namespace {

ztbase_tss_data *block(const char *tag) {
    ztbase_tss_data *b = nullptr;
    if (ztbase_get_tss_data(&b) != 0 || b == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "ztbase_get_tss_data() failed");
        return nullptr;
    }
    return b;
}

namespace rs = zt::vnet::resolve;

size_t dots(const std::string &s) {
    size_t n = 0;
    for (char c : s)
        n += c == '.';
    return n;
}

int put(const std::string &text, char *out, size_t size, const char *tag, const char *what) {
    if (text.size() >= size) {
        logmsgf(ZTLOG_ERROR, tag, "%s", what);
        return VNET_MALLOC_FAILED;
    }
    memcpy(out, text.c_str(), text.size() + 1);
    return VNET_SUCCESS;
}

bool resolves(const char *name) {
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    int rc = vnet_cached_getaddrinfo(name, nullptr, nullptr, &list, &rv);
    vnet_freeaddrinfo(list);
    return rc == VNET_SUCCESS;
}

std::string local_host_name() {
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0)
        return {};
    return host;
}

int getfqdn(const char *name_in, char *out, size_t size) {
    const char *tag = "vnet_getfqdn";
    if (out == nullptr || size == 0) {
        logmsgf(ZTLOG_ERROR, tag, "fqdn buffer is NULL or empty");
        return VNET_BAD_PARAM;
    }
    out[0] = '\0';
    std::string name = name_in != nullptr ? name_in : "";
    const std::string here = local_host_name();
    if (name.empty()) {
        if (here.empty()) {
            logmsgf(ZTLOG_ERROR, tag, "gethostname() failed");
            return VNET_SYSCALL_FAILED;
        }
        name = here;
    }
    if (strcasecmp(name.c_str(), "localhost") == 0)
        return put(name, out, size, tag, "canonname length exceeds fqdnlen");
    const bool local = !here.empty() && strcasecmp(name.c_str(), here.c_str()) == 0;
    const size_t name_dots = dots(name);
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    int rc = vnet_cached_getaddrinfo(name.c_str(), nullptr, &hints, &list, &rv);
    rs::List owned(list);
    if (rc != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] vnet_cached_getaddrinfo failed, status=%d, ret=%d, hostname=%s",
                __FILE_NAME__, __LINE__, rc, rv, name.c_str());
        return rc;
    }
    for (const vnet_addrinfo *e = list; e != nullptr; e = e->ai_next)
        if (e->ai_canonname != nullptr && strchr(e->ai_canonname, '.') != nullptr)
            return put(e->ai_canonname, out, size, tag, "canonname length exceeds fqdnlen");
    char **aliases = nullptr;
    rc = local ? vnet_cached_get_local_aliases(&aliases) : vnet_cached_get_aliases(name.c_str(), &aliases);
    const char *which = local ? "vnet_cached_get_local_aliases" : "vnet_cached_get_aliases";
    if (rc != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, tag, "%s failed", which);
    } else {
        std::string best;
        const std::string prefix = name + ".";
        for (char **a = aliases; a != nullptr && *a != nullptr; ++a) {
            const std::string alias = *a;
            if (dots(alias) <= name_dots || dots(alias) <= dots(best) ||
                strncasecmp(alias.c_str(), prefix.c_str(), prefix.size()) != 0 ||
                !resolves(alias.c_str()))
                continue;
            best = alias;
        }
        vnet_free_aliases(aliases);
        if (!best.empty())
            return put(best, out, size, tag, "alias length exceeds fqdnlen");
        logmsgvf(ZTLOG_DEBUG, 5, tag, "%s returned no valid aliases", which);
    }
    if (vnet_is_ip_string(name.c_str()) != 0)
        return VNET_GETHOST_FAILED;
    return put(name, out, size, tag, "canonname length exceeds fqdnlen");
}

int gethostname_configured(const char *name, char *out, size_t size) {
    const char *tag = "vnet_gethostname";
    if (out == nullptr || size == 0) {
        logmsgf(ZTLOG_ERROR, tag, "hostname buffer is NULL or empty");
        return VNET_BAD_PARAM;
    }
    zt::vnet::host::Roles r;
    if (zt::vnet::host::configured_roles(tag, r)) {
        for (const auto *list : {&r.server, &r.media_server})
            for (const std::string &n : *list)
                if (vnet_is_local_host(n.c_str()) != 0)
                    return put(n, out, size, tag, "hostname length exceeds size");
        if (!r.client_name.empty() && vnet_is_local_host(r.client_name.c_str()) != 0)
            return put(r.client_name, out, size, tag, "hostname length exceeds size");
    }
    int rc = vnet_getfqdn(name, out, size);
    if (rc != VNET_SUCCESS)
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] vnet_getfqdn failed, status=%d", __FILE_NAME__, __LINE__, rc);
    return rc;
}

} // namespace

extern "C" ZTBASE_API int vnet_getfqdn(const char *name, char *out, size_t size) {
    return rs::guarded("vnet_getfqdn", [&] { return getfqdn(name, out, size); });
}

extern "C" ZTBASE_API int vnet_getfqdnW(const char16_t *name, char16_t *out, size_t size) {
    const char *tag = "vnet_getfqdnW";
    zt::vnet::wide::Narrow n(name, "name", tag);
    if (!n.ok)
        return VNET_MALLOC_FAILED;
    if (out == nullptr || size == 0)
        return VNET_BAD_PARAM;
    char buf[1025];
    int rc = vnet_getfqdn(n.text, buf, sizeof buf);
    if (rc != VNET_SUCCESS)
        return rc;
    return zt::vnet::wide::widen_into(buf, out, size, tag) ? VNET_SUCCESS : VNET_MALLOC_FAILED;
}

extern "C" ZTBASE_API int vnet_gethostname(const char *name, char *out, size_t size) {
    return rs::guarded("vnet_gethostname", [&] { return gethostname_configured(name, out, size); });
}

extern "C" ZTBASE_API uint32_t vnet_gethostid(void) {
    char **list = nullptr;
    if (vnet_getifaddrs(1, 1, &list) != VNET_SUCCESS)
        return 0;
    uint32_t id = 0;
    for (char **p = list; p != nullptr && *p != nullptr && id == 0; ++p) {
        if (vnet_is_ip_string(*p) == AF_INET) {
            in_addr a{};
            inet_pton(AF_INET, *p, &a);
            memcpy(&id, &a, sizeof id);
            break;
        }
        in6_addr a6{};
        if (inet_pton(AF_INET6, *p, &a6) == 1 && !IN6_IS_ADDR_UNSPECIFIED(&a6) &&
            !IN6_IS_ADDR_LOOPBACK(&a6)) {
            id = vnet_crc32(*p);
            break;
        }
    }
    vnet_free_aliases(list);
    return id;
}

extern "C" ZTBASE_API void vnet_set_thread_context(int context) {
    const char *tag = "vnet_set_thread_context";
    logmsgvf(ZTLOG_DEBUG, 10, tag, "setting context as:%d", context);
    if (ztbase_tss_data *b = block(tag))
        b->vnet_thread_context = context;
}

extern "C" ZTBASE_API int vnet_get_thread_context(void) {
    const char *tag = "vnet_get_thread_context";
    ztbase_tss_data *b = block(tag);
    int context = b != nullptr ? b->vnet_thread_context : VNET_THREAD_CONTEXT_ORDINARY;
    logmsgvf(ZTLOG_DEBUG, 10, tag, "returning context :%d", context);
    return context;
}

extern "C" ZTBASE_API const char *vnet_set_peername_for_authorization(const char *name) {
    const char *tag = "vnet_set_peername_for_authorization";
    ztbase_tss_data *b = block(tag);
    if (b == nullptr)
        return nullptr;
    const char *previous = b->peername_for_authorization;
    b->peername_for_authorization = name;
    logmsgvf(ZTLOG_DEBUG, 6, tag, "prev_peername:[%s], current peername:[%s]",
             previous != nullptr ? previous : "", name != nullptr ? name : "");
    return previous;
}

extern "C" ZTBASE_API const char *vnet_get_peername_for_authorization(void) {
    ztbase_tss_data *b = block("vnet_get_peername_for_authorization");
    return b != nullptr ? b->peername_for_authorization : nullptr;
}
