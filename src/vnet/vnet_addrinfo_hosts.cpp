// What is built on the cached lookup: host UUID lists and the "UUID="
// pseudo entries, host entries, alias lists, the local interface addresses,
// the configured stacks and the ordering of result lists.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "vnet/vnet_addrinfo_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/paths.h"
#include "ztbase/ztconf.h"

namespace zt::vnet::resolve {
namespace {

using Names = std::vector<std::string>;

void add_unique(Names &names, const std::string &name) {
    if (name.empty())
        return;
    for (const std::string &n : names)
        if (strcasecmp(n.c_str(), name.c_str()) == 0)
            return;
    names.push_back(name);
}

char **to_array(const Names &names) {
    auto **out = static_cast<char **>(calloc(names.size() + 1, sizeof(char *)));
    if (out == nullptr)
        return nullptr;
    for (size_t i = 0; i < names.size(); ++i)
        if ((out[i] = strdup(names[i].c_str())) == nullptr) {
            vnet_free_aliases(out);
            return nullptr;
        }
    return out;
}

std::string uuid_name(const vnet_uuid *uuid) {
    char text[40];
    vnet_uuid_to_string(uuid, text, sizeof text);
    return std::string("UUID=") + text;
}

// The configured names whose domains qualify a short name.
Names configured_names() {
    Names out;
    ztconf_info_t *info = nullptr;
    int count = 0;
    if (ztconf_get_info_ref_count(&info, &count) != 0 || info == nullptr) {
        logmsgf(ZTLOG_ERROR, "add_potential_domain_names", "ztconf_get_info_ref_count() failed");
        return out;
    }
    auto add = [&out](const char *n) {
        if (n != nullptr && n[0] != '\0')
            out.emplace_back(n);
    };
    auto add_list = [&add](const ztconf_string_list_t *l) {
        for (; l != nullptr; l = l->next)
            add(l->name);
    };
    add(info->cluster_name);
    add(info->required_interface);
    add(info->emmserver);
    add_list(info->vantrel_server_name);
    add(info->client_name);
    add_list(info->server);
    add_list(info->media_server);
    ztconf_decrement_ref_count(count);
    return out;
}

// add_potential_domain_names: "name.domain" for the domains of the
// configured names (and the names themselves with USE_SERVER_AS_DOMAIN).
void add_potential_domain_names(Names &names, const std::string &name) {
    if (name.find('.') != std::string::npos || ip_literal_family(name.c_str()) != 0)
        return;
    std::string marker = std::string(getFennicString("VA_PATH_VAR")) + "/USE_SERVER_AS_DOMAIN";
    struct stat sb;
    bool server_as_domain = stat(marker.c_str(), &sb) == 0;
    for (const std::string &c : configured_names()) {
        if (ip_literal_family(c.c_str()) != 0)
            continue;
        size_t dot = c.find('.');
        if (dot != std::string::npos && dot + 1 < c.size())
            add_unique(names, name + "." + c.substr(dot + 1));
        if (server_as_domain)
            add_unique(names, name + "." + c);
    }
}

std::string numeric(int family, const void *addr) {
    char buf[INET6_ADDRSTRLEN] = "";
    return inet_ntop(family, addr, buf, sizeof buf) != nullptr ? buf : "";
}

// The interface addresses, IPv4 first; with add_loopbacks the loopback
// addresses are added at the end of each family.
int interface_addresses(bool skip_loopback, bool skip_link_local, bool add_loopbacks, Names &out) {
    const char *tag = "vnet_getifaddrs";
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        logmsgf(ZTLOG_ERROR, tag, "getifaddrs() failed ERRNO=%d", errno);
        return VNET_IOCTL_FAILED;
    }
    for (int family : {AF_INET, AF_INET6}) {
        for (const ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
            if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != family)
                continue;
            if (family == AF_INET) {
                const in_addr &a = reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr;
                if (skip_link_local && (ntohl(a.s_addr) >> 16) == 0xa9fe) {
                    logmsgvf(ZTLOG_DEBUG, 6, tag, "ignoring IPv4 APIPA address");
                    continue;
                }
                add_unique(out, numeric(AF_INET, &a));
            } else {
                const in6_addr &a = reinterpret_cast<const sockaddr_in6 *>(i->ifa_addr)->sin6_addr;
                if (skip_loopback && IN6_IS_ADDR_LOOPBACK(&a)) {
                    logmsgvf(ZTLOG_DEBUG, 6, tag, "ignoring IPv6 loopback");
                    continue;
                }
                if (skip_link_local && IN6_IS_ADDR_LINKLOCAL(&a)) {
                    logmsgvf(ZTLOG_DEBUG, 6, tag, "ignoring IPv6 link local");
                    continue;
                }
                add_unique(out, numeric(AF_INET6, &a));
            }
        }
        if (add_loopbacks && family == AF_INET)
            add_unique(out, "127.0.0.1");
        if (add_loopbacks && family == AF_INET6 && !skip_loopback)
            add_unique(out, "::1");
    }
    freeifaddrs(list);
    return VNET_SUCCESS;
}

struct Stacks {
    std::mutex mu;
    time_t read = 0;
    bool valid = false;
    int ipv4 = 0, ipv6 = 0;
};

Stacks &stacks() {
    static Stacks *s = [] {
        auto *p = new Stacks;
        hold_across_fork(&p->mu);
        return p;
    }();
    return *s;
}

void derive(const Names &addrs, int &ipv4, int &ipv6) {
    const char *tag = "vnet_configured_stacks";
    bool lo4 = false, lo6 = false, remote4 = false, remote6 = false;
    for (const std::string &a : addrs) {
        int f = ip_literal_family(a.c_str());
        if (a == "127.0.0.1")
            lo4 = true;
        else if (a == "::1")
            lo6 = true;
        else if (f == AF_INET && a.rfind("127.", 0) != 0 && a != "0.0.0.0" && a != "255.255.255.255")
            remote4 = true;
        else if (f == AF_INET6 && a != "::")
            remote6 = true;
    }
    if (!lo4)
        logmsgf(ZTLOG_WARNING, tag, "WARN:  No IPv4 configured for localhost");
    if (!lo4 && !lo6)
        logmsgf(ZTLOG_WARNING, tag, "WARN:  Neither IPv4 nor IPv6 configured for localhost");
    if (!remote4 && !remote6)
        logmsgf(ZTLOG_WARNING, tag, "WARN:  Neither IPv4 nor IPv6 configured for remote");
    if (!lo4 && remote4)
        logmsgf(ZTLOG_WARNING, tag, "WARN:  IPv4 not configured for localhost, but is configured for remote");
    if (!lo6 && remote6)
        logmsgf(ZTLOG_WARNING, tag, "WARN:  IPv6 not configured for localhost, but is configured for remote");
    ipv4 = lo4 || remote4;
    ipv6 = lo6 || remote6;
}

size_t addr_bytes(int family) {
    return family == AF_INET ? sizeof(in_addr) : family == AF_INET6 ? sizeof(in6_addr) : 0;
}

const void *addr_of(const vnet_addrinfo *e) {
    if (e->ai_family == AF_INET)
        return &reinterpret_cast<const sockaddr_in *>(e->ai_addr)->sin_addr;
    return &reinterpret_cast<const sockaddr_in6 *>(e->ai_addr)->sin6_addr;
}

} // namespace
} // namespace zt::vnet::resolve

using namespace zt::vnet::resolve;

extern "C" ZTBASE_API int vnet_uuid_to_string(const vnet_uuid *uuid, char *out, size_t size) {
    if (uuid == nullptr || out == nullptr || size < 32) {
        logmsgf(ZTLOG_ERROR, "vnet_uuid_to_string", "uuid or out is NULL or out is too small");
        return VNET_BAD_PARAM;
    }
    uint32_t d1;
    uint16_t d2, d3;
    memcpy(&d1, uuid->bytes, 4);
    memcpy(&d2, uuid->bytes + 4, 2);
    memcpy(&d3, uuid->bytes + 6, 2);
    const unsigned char *b = uuid->bytes;
    snprintf(out, size, "%08x-%04x-%04x-%02x%02x%02x%02x%02x%02x", d1, d2, d3, b[8], b[9], b[10],
             b[11], b[12], b[13]);
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_string_to_uuid(const char *text, vnet_uuid *uuid) {
    if (text == nullptr || uuid == nullptr || strlen(text) != 31 || text[8] != '-' ||
        text[13] != '-' || text[18] != '-') {
        logmsgf(ZTLOG_ERROR, "vnet_string_to_uuid", "not a UUID text");
        return VNET_BAD_PARAM;
    }
    for (size_t i = 0; i < 31; ++i)
        if (i != 8 && i != 13 && i != 18 && !isxdigit(static_cast<unsigned char>(text[i]))) {
            logmsgf(ZTLOG_ERROR, "vnet_string_to_uuid", "not a UUID text");
            return VNET_BAD_PARAM;
        }
    auto hex = [text](size_t from, size_t n) {
        return static_cast<uint32_t>(strtoul(std::string(text + from, n).c_str(), nullptr, 16));
    };
    vnet_uuid u{};
    uint32_t d1 = hex(0, 8);
    auto d2 = static_cast<uint16_t>(hex(9, 4));
    auto d3 = static_cast<uint16_t>(hex(14, 4));
    memcpy(u.bytes, &d1, 4);
    memcpy(u.bytes + 4, &d2, 2);
    memcpy(u.bytes + 6, &d3, 2);
    for (size_t i = 0; i < 6; ++i)
        u.bytes[8 + i] = static_cast<unsigned char>(hex(19 + i * 2, 2));
    *uuid = u;
    return VNET_SUCCESS;
}

static int vnet_get_cached_host_uuids_impl(const char *name, vnet_uuid_list **out) {
    if (name == nullptr || out == nullptr) {
        logmsgf(ZTLOG_ERROR, "vnet_get_cached_host_uuids", "name or out is NULL");
        return VNET_BAD_PARAM;
    }
    *out = nullptr;
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    int rc = vnet_cached_getaddrinfo(name, nullptr, nullptr, &list, &rv);
    bool ok = true;
    if (rc == VNET_SUCCESS && list != nullptr)
        *out = clone_uuids(list->host_uuids, &ok);
    vnet_freeaddrinfo(list);
    return ok ? rc : VNET_MALLOC_FAILED;
}

extern "C" ZTBASE_API int vnet_get_cached_host_uuids(const char *name, vnet_uuid_list **out) {
    return guarded("vnet_get_cached_host_uuids", [&] { return vnet_get_cached_host_uuids_impl(name, out); });
}


extern "C" ZTBASE_API int vnet_set_cached_host_uuids(const char *name, const vnet_uuid_list *list) {
    if (name == nullptr || list == nullptr) {
        logmsgf(ZTLOG_ERROR, "vnet_set_cached_host_uuids", "name or list is NULL");
        return VNET_BAD_PARAM;
    }
    vnet_addrinfo *result = nullptr;
    int rv = 0;
    int rc = vnet_cached_getaddrinfo_and_update(name, nullptr, nullptr, nullptr, list, nullptr,
                                                &result, &rv);
    vnet_freeaddrinfo(result);
    return rc;
}

static int vnet_get_cached_uuid_hosts_impl(const vnet_uuid *uuid, vnet_name_list **out) {
    if (uuid == nullptr || out == nullptr) {
        logmsgf(ZTLOG_ERROR, "vnet_get_cached_uuid_hosts", "uuid or out is NULL");
        return VNET_BAD_PARAM;
    }
    *out = nullptr;
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    int rc = vnet_cached_getaddrinfo(uuid_name(uuid).c_str(), nullptr, nullptr, &list, &rv);
    bool ok = true;
    if (rc == VNET_SUCCESS && list != nullptr)
        *out = clone_names(list->uuid_hosts, &ok);
    vnet_freeaddrinfo(list);
    return ok ? rc : VNET_MALLOC_FAILED;
}

extern "C" ZTBASE_API int vnet_get_cached_uuid_hosts(const vnet_uuid *uuid, vnet_name_list **out) {
    return guarded("vnet_get_cached_uuid_hosts", [&] { return vnet_get_cached_uuid_hosts_impl(uuid, out); });
}


extern "C" ZTBASE_API int vnet_set_cached_uuid_hosts(const vnet_uuid *uuid,
                                                     const vnet_name_list *list) {
    if (uuid == nullptr || list == nullptr) {
        logmsgf(ZTLOG_ERROR, "vnet_set_cached_uuid_hosts", "uuid or list is NULL");
        return VNET_BAD_PARAM;
    }
    vnet_addrinfo *result = nullptr;
    int rv = 0;
    int rc = vnet_cached_getaddrinfo_and_update(uuid_name(uuid).c_str(), nullptr, nullptr, nullptr,
                                                nullptr, list, &result, &rv);
    vnet_freeaddrinfo(result);
    return rc;
}

// One block: the record, the alias and address pointer arrays, the
// addresses, then the texts.
static int vnet_cached_gethostent_impl(const char *name, vnet_hostent **out) {
    const char *tag = "vnet_cached_gethostent";
    if (name == nullptr || out == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "name or out is NULL");
        return VNET_BAD_PARAM;
    }
    *out = nullptr;
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    int rc = vnet_cached_getaddrinfo(name, nullptr, nullptr, &list, &rv);
    if (rc != VNET_SUCCESS)
        return rc;
    List owned(list);
    std::string official = list != nullptr && list->ai_canonname != nullptr ? list->ai_canonname : name;
    Names aliases;
    for (const vnet_addrinfo *e = list; e != nullptr; e = e->ai_next)
        if (e->ai_canonname != nullptr && strcasecmp(e->ai_canonname, official.c_str()) != 0)
            add_unique(aliases, e->ai_canonname);
    if (strcasecmp(name, official.c_str()) != 0)
        add_unique(aliases, name);
    int family = 0;
    std::vector<std::string> addrs;
    for (const vnet_addrinfo *e = list; e != nullptr; e = e->ai_next) {
        if (e->ai_addr == nullptr || addr_bytes(e->ai_family) == 0)
            continue;
        if (family == 0)
            family = e->ai_family;
        if (e->ai_family != family)
            continue;
        std::string bytes(static_cast<const char *>(addr_of(e)), addr_bytes(family));
        bool dup = false;
        for (const std::string &a : addrs)
            dup = dup || a == bytes;
        if (!dup)
            addrs.push_back(bytes);
    }
    size_t size = sizeof(vnet_hostent) + (aliases.size() + 1 + addrs.size() + 1) * sizeof(char *) +
                  addrs.size() * addr_bytes(family) + official.size() + 1;
    for (const std::string &a : aliases)
        size += a.size() + 1;
    auto *block = static_cast<char *>(calloc(1, size));
    if (block == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "calloc() failed");
        return VNET_MALLOC_FAILED;
    }
    auto *h = reinterpret_cast<vnet_hostent *>(block);
    char *p = block + sizeof(vnet_hostent);
    h->h_aliases = reinterpret_cast<char **>(p);
    p += (aliases.size() + 1) * sizeof(char *);
    h->h_addr_list = reinterpret_cast<char **>(p);
    p += (addrs.size() + 1) * sizeof(char *);
    for (size_t i = 0; i < addrs.size(); ++i, p += addr_bytes(family)) {
        memcpy(p, addrs[i].data(), addrs[i].size());
        h->h_addr_list[i] = p;
    }
    h->h_name = p;
    memcpy(p, official.c_str(), official.size() + 1);
    p += official.size() + 1;
    for (size_t i = 0; i < aliases.size(); ++i) {
        memcpy(p, aliases[i].c_str(), aliases[i].size() + 1);
        h->h_aliases[i] = p;
        p += aliases[i].size() + 1;
    }
    h->h_addrtype = family;
    h->h_length = int(addr_bytes(family));
    *out = h;
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_cached_gethostent(const char *name, vnet_hostent **out) {
    return guarded("vnet_cached_gethostent", [&] { return vnet_cached_gethostent_impl(name, out); });
}


extern "C" ZTBASE_API size_t vnet_sizeof_vnet_hostent(const vnet_hostent *h) {
    if (h == nullptr)
        return 0;
    size_t size = sizeof(vnet_hostent);
    size_t n = 0;
    for (; h->h_aliases[n] != nullptr; ++n)
        size += strlen(h->h_aliases[n]) + 1;
    size += (n + 1) * sizeof(char *);
    size_t m = 0;
    for (; h->h_addr_list[m] != nullptr; ++m)
        size += size_t(h->h_length);
    size += (m + 1) * sizeof(char *);
    return size + strlen(h->h_name) + 1;
}

extern "C" ZTBASE_API void vnet_free_vnet_hostent(vnet_hostent *entry) {
    free(entry);
}

static int vnet_cached_get_aliases_impl(const char *name, char ***list_out) {
    if (name == nullptr || list_out == nullptr) {
        logmsgf(ZTLOG_ERROR, "vnet_cached_get_aliases", "name or list_out is NULL");
        return VNET_BAD_PARAM;
    }
    *list_out = nullptr;
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    int rc = vnet_cached_getaddrinfo(name, nullptr, nullptr, &list, &rv);
    Names names;
    for (const vnet_addrinfo *e = list; e != nullptr; e = e->ai_next)
        if (e->ai_canonname != nullptr)
            add_unique(names, e->ai_canonname);
    vnet_freeaddrinfo(list);
    if (rc != VNET_SUCCESS)
        return rc;
    add_unique(names, name);
    add_potential_domain_names(names, name);
    *list_out = to_array(names);
    return *list_out != nullptr ? VNET_SUCCESS : VNET_MALLOC_FAILED;
}

extern "C" ZTBASE_API int vnet_cached_get_aliases(const char *name, char ***list_out) {
    return guarded("vnet_cached_get_aliases", [&] { return vnet_cached_get_aliases_impl(name, list_out); });
}


static int vnet_cached_get_local_aliases_impl(char ***list_out) {
    const char *tag = "vnet_cached_get_local_aliases";
    if (list_out == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "list_out is NULL");
        return VNET_BAD_PARAM;
    }
    *list_out = nullptr;
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0) {
        logmsgf(ZTLOG_ERROR, tag, "gethostname() failed ERRNO=%d", errno);
        return VNET_SYSCALL_FAILED;
    }
    Names names;
    char **aliases = nullptr;
    if (vnet_cached_get_aliases(host, &aliases) == VNET_SUCCESS)
        for (char **a = aliases; *a != nullptr; ++a)
            add_unique(names, *a);
    vnet_free_aliases(aliases);
    Names addrs;
    interface_addresses(false, false, true, addrs);
    for (const std::string &a : addrs) {
        addrinfo hints{};
        hints.ai_flags = AI_NUMERICHOST;
        addrinfo *res = nullptr;
        if (getaddrinfo(a.c_str(), nullptr, &hints, &res) != 0)
            continue;
        char name[1025];
        int rv = 0;
        if (vnet_cached_getnameinfo(res->ai_addr, res->ai_addrlen, name, sizeof name, nullptr, 0,
                                    NI_NAMEREQD, &rv) == VNET_SUCCESS)
            add_unique(names, name);
        freeaddrinfo(res);
    }
    add_unique(names, host);
    *list_out = to_array(names);
    return *list_out != nullptr ? VNET_SUCCESS : VNET_MALLOC_FAILED;
}

extern "C" ZTBASE_API int vnet_cached_get_local_aliases(char ***list_out) {
    return guarded("vnet_cached_get_local_aliases", [&] { return vnet_cached_get_local_aliases_impl(list_out); });
}


extern "C" ZTBASE_API void vnet_free_aliases(char **list) {
    if (list == nullptr)
        return;
    for (char **p = list; *p != nullptr; ++p)
        free(*p);
    free(list);
}

static int vnet_getifaddrs_impl(int skip_loopback, int skip_link_local,
                                          char ***list_out) {
    if (list_out == nullptr) {
        logmsgf(ZTLOG_ERROR, "vnet_getifaddrs", "list_out is NULL");
        return VNET_BAD_PARAM;
    }
    *list_out = nullptr;
    Names addrs;
    if (int rc = interface_addresses(skip_loopback != 0, skip_link_local != 0, true, addrs))
        return rc;
    *list_out = to_array(addrs);
    return *list_out != nullptr ? VNET_SUCCESS : VNET_MALLOC_FAILED;
}

extern "C" ZTBASE_API int vnet_getifaddrs(int skip_loopback, int skip_link_local,
                                          char ***list_out) {
    return guarded("vnet_getifaddrs", [&] { return vnet_getifaddrs_impl(skip_loopback, skip_link_local, list_out); });
}


static int vnet_configured_stacks_impl(int *ipv4, int *ipv6) {
    Stacks &s = stacks();
    const long lifetime = lookup_settings()->lifetime;
    time_t now = resolver().now();
    long refresh = lifetime < 60 ? lifetime : 60;
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.valid || now - s.read > refresh || now < s.read) {
        Names addrs;
        // The stacks are derived from the interfaces as they are: the loopback
        // addresses count only where the host really has them.
        if (int rc = interface_addresses(false, false, false, addrs); rc != VNET_SUCCESS)
            return rc;
        derive(addrs, s.ipv4, s.ipv6);
        s.read = now;
        s.valid = true;
    }
    if (ipv4 != nullptr)
        *ipv4 = s.ipv4;
    if (ipv6 != nullptr)
        *ipv6 = s.ipv6;
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_configured_stacks(int *ipv4, int *ipv6) {
    return guarded("vnet_configured_stacks", [&] { return vnet_configured_stacks_impl(ipv4, ipv6); });
}


extern "C" ZTBASE_API int vnet_adjusted_family(int family) {
    int v4 = 1, v6 = 0;
    vnet_configured_stacks(&v4, &v6);
    if (!v4)
        return v6 ? AF_INET6 : AF_INET;
    if (v6)
        return family;
    return AF_INET;
}

extern "C" ZTBASE_API int vnet_sortaddrs(vnet_addrinfo **list) {
    if (list == nullptr) {
        logmsgf(ZTLOG_ERROR, "vnet_sortaddrs", "list is NULL");
        return VNET_BAD_PARAM;
    }
    vnet_addrinfo *v4 = nullptr, **t4 = &v4, *rest = nullptr, **tr = &rest;
    for (vnet_addrinfo *e = *list; e != nullptr;) {
        vnet_addrinfo *next = e->ai_next;
        e->ai_next = nullptr;
        if (e->ai_family != AF_INET && e->ai_family != AF_INET6)
            logmsgf(ZTLOG_WARNING, "vnet_sortaddrs", "strange address family: %d", e->ai_family);
        if (e->ai_family == AF_INET) {
            *t4 = e;
            t4 = &e->ai_next;
        } else {
            *tr = e;
            tr = &e->ai_next;
        }
        e = next;
    }
    *t4 = rest;
    *list = v4;
    return VNET_SUCCESS;
}
