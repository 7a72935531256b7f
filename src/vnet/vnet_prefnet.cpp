// Source selection: which local address a connection to a target leaves
// from, by the preferred-network list of the configuration (or by the
// caller's required interface).
//
// Results: 0 any local address, 1 prohibited, 2 one given address, 3 one of a
// list, 4 a configured name did not resolve. The walk follows the list's
// order: a result 1 ends it; otherwise a later deciding node replaces an
// earlier one.
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_connect_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet_addrinfo.h"
#include "ztbase/ztconf.h"

namespace {

const char kTag[] = "vnet_get_pref_netconnection";
#define HERE vnet_log_basename(__FILE__), __LINE__

using Addrs = std::vector<sockaddr_storage>;

std::string text_of(const sockaddr *a) {
    char buf[INET6_ADDRSTRLEN] = "?";
    if (a->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(a)->sin_addr, buf, sizeof buf);
    else if (a->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr, buf, sizeof buf);
    return buf;
}

const unsigned char *bytes_of(const sockaddr *a, int *bits) {
    if (a->sa_family == AF_INET) {
        *bits = 32;
        return reinterpret_cast<const unsigned char *>(
            &reinterpret_cast<const sockaddr_in *>(a)->sin_addr);
    }
    *bits = 128;
    return reinterpret_cast<const unsigned char *>(
        &reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr);
}

bool prefix_equal(const sockaddr *a, const sockaddr *b, int prefix) {
    if (a->sa_family != b->sa_family)
        return false;
    int bits = 0;
    const unsigned char *x = bytes_of(a, &bits);
    const unsigned char *y = bytes_of(b, &bits);
    if (prefix <= 0 || prefix > bits)
        prefix = bits;
    const int whole = prefix / 8, rest = prefix % 8;
    if (memcmp(x, y, whole) != 0)
        return false;
    if (rest == 0)
        return true;
    const unsigned char mask = static_cast<unsigned char>(0xff << (8 - rest));
    return (x[whole] & mask) == (y[whole] & mask);
}

// The stream addresses of name in family (ports 0); false when it does not
// resolve.
bool resolve_name(const char *name, int family, Addrs &out, int *status, int *code) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    vnet_addrinfo *list = nullptr;
    *status = vnet_cached_getaddrinfo(name, nullptr, &hints, &list, code);
    if (*status != 0)
        return false;
    for (vnet_addrinfo *e = list; e != nullptr; e = e->ai_next) {
        if (e->ai_addr == nullptr || e->ai_addr->sa_family != family ||
            e->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        sockaddr_storage s{};
        memcpy(&s, e->ai_addr, e->ai_addrlen);
        reinterpret_cast<sockaddr_in *>(&s)->sin_port = 0; // same place in both families
        out.push_back(s);
    }
    vnet_freeaddrinfo(list);
    return true;
}

void add_unique(Addrs &to, const sockaddr_storage &a) {
    for (const sockaddr_storage &b : to)
        if (prefix_equal(reinterpret_cast<const sockaddr *>(&a),
                         reinterpret_cast<const sockaddr *>(&b), 0))
            return;
    to.push_back(a);
}

bool contains(const ztconf_netspec_t &spec, bool pseudo, const sockaddr *target) {
    if (pseudo || spec.wildcard)
        return pseudo || spec.family == 0 || spec.family == target->sa_family;
    if (spec.address != nullptr)
        return prefix_equal(spec.address, target, spec.prefix);
    if (spec.hostname != nullptr) {
        Addrs addrs;
        int status = 0, code = 0;
        if (!resolve_name(spec.hostname, target->sa_family, addrs, &status, &code))
            return false;
        for (const sockaddr_storage &a : addrs)
            if (prefix_equal(reinterpret_cast<const sockaddr *>(&a), target, 0))
                return true;
    }
    return false;
}

// The candidate sources: local interface addresses of the target's family
// and those of the configured required interface. False (result 4) when a
// name did not resolve.
bool build_source_binding_list(const ztconf_info_t *info, int family, Addrs &out) {
    char **ifs = nullptr;
    if (int rc = vnet_getifaddrs(1, 1, &ifs); rc != 0) {
        logmsgf(ZTLOG_ERROR, "build_source_binding_list", "vnet_getifaddrs(1,1,&res) failed: %d",
                rc);
        return false;
    }
    for (char **p = ifs; p != nullptr && *p != nullptr; ++p) {
        sockaddr_storage s{};
        if (family == AF_INET &&
            inet_pton(AF_INET, *p, &reinterpret_cast<sockaddr_in *>(&s)->sin_addr) == 1)
            s.ss_family = AF_INET;
        else if (family == AF_INET6 &&
                 inet_pton(AF_INET6, *p, &reinterpret_cast<sockaddr_in6 *>(&s)->sin6_addr) == 1)
            s.ss_family = AF_INET6;
        else
            continue;
        add_unique(out, s);
    }
    vnet_free_aliases(ifs);
    const char *req = info->required_interface;
    if (req != nullptr && *req != '\0') {
        Addrs addrs;
        int status = 0, code = 0;
        if (!resolve_name(req, family, addrs, &status, &code)) {
            logmsgf(ZTLOG_ERROR, "build_source_binding_list",
                    "[%s:%d] REQ_IF: vnet_cached_getaddrinfo failed HOST=%s FMLY=%d RV=%d STAT=%d "
                    "ERRSTR=%s",
                    HERE, req, family, code, status, gai_strerror(EAI_NONAME));
            return false;
        }
        for (const sockaddr_storage &a : addrs)
            add_unique(out, a);
    }
    return true;
}

int finish(int result, const Addrs &addrs, int *result_out, vnet_pref_binding **binding_out) {
    if ((result == VNET_PREFNET_BIND_ONE || result == VNET_PREFNET_BIND_LIST) && addrs.empty())
        result = VNET_PREFNET_ANY; // nothing to bind to: any local address
    *result_out = result;
    if (result != VNET_PREFNET_BIND_ONE && result != VNET_PREFNET_BIND_LIST)
        return VNET_SUCCESS;
    auto *b = static_cast<vnet_pref_binding *>(calloc(1, sizeof(vnet_pref_binding)));
    auto *a = static_cast<sockaddr_storage *>(calloc(addrs.size() + 1, sizeof(sockaddr_storage)));
    if (b == nullptr || a == nullptr) {
        free(b);
        free(a);
        *result_out = VNET_PREFNET_ANY;
        vnet_failure(__FILE__, __LINE__, kTag, VNET_MALLOC_FAILED);
        return VNET_MALLOC_FAILED;
    }
    for (size_t i = 0; i < addrs.size(); ++i)
        a[i] = addrs[i];
    b->count = static_cast<int>(addrs.size());
    b->addrs = a;
    *binding_out = b;
    return VNET_SUCCESS;
}

const char *directive_text(int d) {
    switch (d) {
    case 1:
        return "MATCH";
    case 2:
        return "PROHIBITED";
    case 3:
        return "ONLY";
    default:
        return "UNKNOWN";
    }
}

} // namespace

extern "C" ZTBASE_API void vnet_free_pref_binding(vnet_pref_binding *binding) {
    if (binding == nullptr)
        return;
    free(binding->addrs);
    free(binding);
}

extern "C" ZTBASE_API int vnet_get_pref_netconnection(const sockaddr *target,
                                                      const char *override_interface,
                                                      int *result_out,
                                                      vnet_pref_binding **binding_out) {
    using zt::vnet::resolve::resolver;
    if (target == nullptr || result_out == nullptr || binding_out == nullptr ||
        (target->sa_family != AF_INET && target->sa_family != AF_INET6)) {
        vnet_failure(__FILE__, __LINE__, kTag, VNET_BAD_PARAM);
        return VNET_BAD_PARAM;
    }
    *binding_out = nullptr;
    *result_out = VNET_PREFNET_ANY;
    const int family = target->sa_family;
    const std::string targ = text_of(target);
    const socklen_t tlen = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (vnet_adjusted_family(family) != family) {
        logmsgf(ZTLOG_WARNING, kTag, "[%s:%d] targaddr=%s prefnet=PROHIBITED (IP_ADDRESS_FAMILY)",
                HERE, targ.c_str());
        *result_out = VNET_PREFNET_PROHIBITED;
        return VNET_SUCCESS;
    }
    ztconf_info_t *info = nullptr;
    if (ztconf_get_info(&info) != 0 || info == nullptr) {
        logmsgf(ZTLOG_ERROR, kTag, "ztconf_get_info() failed");
        return VNET_SUCCESS;
    }
    const bool override = override_interface != nullptr && *override_interface != '\0';
    if (info->preferred_network == nullptr && !override) {
        logmsgvf(ZTLOG_DEBUG, 6, kTag,
                 "using interface "
                 "ANY");
        return VNET_SUCCESS;
    }
    // A target on this host is reached from any local address. Asked only
    // now: without a list the answer is "any" already, and the test costs a
    // bind.
    if (resolver().is_local_address(target, tlen))
        return VNET_SUCCESS;

    Addrs candidates;
    ztconf_preferred_network_t override_node{};
    const ztconf_preferred_network_t *nodes = info->preferred_network;
    if (override) {
        int status = 0, code = 0;
        if (!resolve_name(override_interface, family, candidates, &status, &code)) {
            logmsgf(ZTLOG_ERROR, kTag, "lookup of override REQUIRED_INTERFACE failed, error: %d %s",
                    code, override_interface);
            *result_out = VNET_PREFNET_NOT_CONFIGURED;
            return VNET_SUCCESS;
        }
        std::string all;
        for (const sockaddr_storage &a : candidates)
            all += " " + text_of(reinterpret_cast<const sockaddr *>(&a));
        logmsgvf(ZTLOG_DEBUG, 5, kTag, "Override REQUIRED_INTERFACE resolves to: %s", all.c_str());
        // One MATCH node for every target, its source the override.
        override_node.directive = 1;
        override_node.pseudo = 1;
        nodes = &override_node;
    } else if (!build_source_binding_list(info, family, candidates)) {
        logmsgf(ZTLOG_ERROR, kTag, "error reading config");
        logmsgf(ZTLOG_ERROR, kTag, "build_source_binding_list failed");
        *result_out = VNET_PREFNET_NOT_CONFIGURED;
        return VNET_SUCCESS;
    }

    bool decided = false;
    int result = VNET_PREFNET_ANY;
    Addrs chosen;
    for (const ztconf_preferred_network_t *n = nodes; n != nullptr; n = n->next) {
        const bool inside = contains(n->network_spec, n->pseudo != 0, target);
        if (n->directive == 3 && !inside) {
            logmsgf(ZTLOG_WARNING, kTag, "[%s:%d] targaddr=%s prefnet=ONLY", HERE, targ.c_str());
            return finish(VNET_PREFNET_PROHIBITED, {}, result_out, binding_out);
        }
        if (n->directive == 2 && inside) {
            logmsgf(ZTLOG_WARNING, kTag, "[%s:%d] targaddr=%s prefnet=PROHIBITED", HERE,
                    targ.c_str());
            return finish(VNET_PREFNET_PROHIBITED, {}, result_out, binding_out);
        }
        if ((n->directive != 1 && n->directive != 3) || !inside)
            continue;
        logmsgvf(ZTLOG_DEBUG, 5, kTag, "[%s:%d] targaddr=%s prefnet=%s", HERE, targ.c_str(),
                 directive_text(n->directive));
        decided = true;
        chosen.clear();
        const bool has_source = override || (n->source != nullptr && *n->source != '\0');
        if (!has_source) {
            result = VNET_PREFNET_ANY;
            continue;
        }
        for (const sockaddr_storage &c : candidates)
            if (override ||
                contains(n->source_spec, false, reinterpret_cast<const sockaddr *>(&c))) {
                chosen.push_back(c);
                break;
            }
        if (!chosen.empty()) {
            logmsgvf(ZTLOG_DEBUG, 5, kTag,
                     "prefnet = "
                     "REQIF");
            result = VNET_PREFNET_BIND_ONE;
        } else {
            logmsgvf(ZTLOG_DEBUG, 5, kTag,
                     "prefnet = "
                     "IF_LIST");
            chosen = candidates;
            result = VNET_PREFNET_BIND_LIST;
        }
    }
    if (!decided) {
        if (candidates.empty())
            return finish(VNET_PREFNET_ANY, {}, result_out, binding_out);
        logmsgvf(ZTLOG_DEBUG, 5, kTag,
                 "[%s:%d] targaddr=%s No match, some prohibited, prefnet=IF_LIST", HERE,
                 targ.c_str());
        return finish(VNET_PREFNET_BIND_LIST, candidates, result_out, binding_out);
    }
    return finish(result, chosen, result_out, binding_out);
}
