// Which role a host plays: configured server, media server, master, EMM
// server, trusted master, monitoring console, index server.
//
// A role question first looks at the host's cached flag for the role: a
// known answer (1 no, 2 yes) is returned at once, at the cost of one memory
// lookup. Otherwise the host is compared (with local matching) with the
// configured names in their order; the first match records the positive
// answer, with what it implies for other roles, in the host's cache entry,
// and when none matches the negative answer is recorded instead.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_host_internal.h"
#include "vnet/vnet_wide.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_host.h"
#include "ztbase/ztconf.h"

namespace zt::vnet::host {
namespace {

namespace rs = zt::vnet::resolve;

// The host's cached answer for a role flag: 1 yes, 0 no, -1 not known.
int cached_answer(const char *host, int index) {
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    int rc = vnet_cached_getaddrinfo(host, nullptr, nullptr, &list, &rv);
    int answer = -1;
    if (rc == VNET_SUCCESS && list != nullptr) {
        if (list->cached_flags[index] == 2)
            answer = 1;
        else if (list->cached_flags[index] == 1)
            answer = 0;
    }
    vnet_freeaddrinfo(list);
    return answer;
}

struct Candidate {
    std::string name;
    Flags on_match;
};

Flags flags(std::initializer_list<std::pair<int, int>> values) {
    Flags f;
    for (auto [index, value] : values)
        f.set(index, value);
    return f;
}

// The common walk: cached flag, candidates in order, the negative record.
int decide(const char *tag, const char *host, const std::vector<Candidate> &candidates,
           const Flags &on_none) {
    for (const Candidate &c : candidates)
        if (vnet_same_host_and_update(c.name.c_str(), host, 1, c.on_match.v) != 0) {
            logmsgvf(ZTLOG_DEBUG, 6, tag, "[%s:%d] %s matched %s", __FILE_NAME__, __LINE__, host,
                     c.name.c_str());
            return 1;
        }
    record_flags(host, on_none);
    return 0;
}

// A role question: the cached answer when known, else decide().
template <class Build> int role(const char *tag, const char *host, int index, Build build) {
    set_last_from_flags(false);
    if (host == nullptr || host[0] == '\0') {
        logmsgvf(ZTLOG_DEBUG, 5, tag, "host is NULL or empty");
        return 0;
    }
    if (int known = cached_answer(host, index); known >= 0) {
        set_last_from_flags(true);
        return known;
    }
    Roles r;
    if (!configured_roles(tag, r))
        return 0;
    std::vector<Candidate> candidates;
    Flags on_none;
    build(r, candidates, on_none);
    return decide(tag, host, candidates, on_none);
}

int answer(const char *tag, const auto &fn) {
    int result = 0;
    rs::guarded(tag, [&] {
        result = fn();
        return int(VNET_SUCCESS);
    });
    return result;
}

int is_server(const char *host) {
    return role("vnet_is_server", host, VNET_CF_SERVER,
                [](const Roles &r, std::vector<Candidate> &c, Flags &none) {
                    for (size_t i = 0; i < r.server.size(); ++i) {
                        Flags f = flags({{VNET_CF_SERVER, 2}, {VNET_CF_MEDIA_SERVER, 2}});
                        if (i == 0)
                            f.set(VNET_CF_MASTER_SERVER, 2);
                        c.push_back({r.server[i], f});
                    }
                    if (!r.emmserver.empty())
                        c.push_back({r.emmserver, flags({{VNET_CF_SERVER, 2},
                                                         {VNET_CF_MEDIA_SERVER, 2},
                                                         {VNET_CF_EMM_SERVER, 2}})});
                    for (const std::string &v : r.vantrel)
                        c.push_back({v, flags({{VNET_CF_SERVER, 2},
                                               {VNET_CF_MEDIA_SERVER, 2},
                                               {VNET_CF_VANTREL_SERVER, 2}})});
                    none = flags({{VNET_CF_SERVER, 1}});
                });
}

int is_media_server(const char *host) {
    const char *tag = "vnet_is_media_server";
    set_last_from_flags(false);
    if (host == nullptr || host[0] == '\0')
        return 0;
    if (int known = cached_answer(host, VNET_CF_MEDIA_SERVER); known >= 0) {
        set_last_from_flags(true);
        return known;
    }
    Roles r;
    if (!configured_roles(tag, r))
        return 0;
    std::vector<Candidate> c;
    for (const std::string &m : r.media_server)
        c.push_back({m, flags({{VNET_CF_MEDIA_SERVER, 2}})});
    for (const Candidate &m : c)
        if (vnet_same_host_and_update(m.name.c_str(), host, 1, m.on_match.v) != 0)
            return 1;
    // Every server is a media server too: vnet_is_server has recorded it so.
    if (is_server(host) != 0) {
        set_last_from_flags(false);
        return 1;
    }
    record_flags(host, flags({{VNET_CF_MEDIA_SERVER, 1}}));
    return 0;
}

int is_master_server(const char *host) {
    return role("vnet_is_master_server", host, VNET_CF_MASTER_SERVER,
                [](const Roles &r, std::vector<Candidate> &c, Flags &none) {
                    if (!r.server.empty())
                        c.push_back({r.server[0], flags({{VNET_CF_MASTER_SERVER, 2}})});
                    none = flags({{VNET_CF_MASTER_SERVER, 1}});
                });
}

int is_emm_server(const char *host) {
    return role("vnet_is_emm_server", host, VNET_CF_EMM_SERVER,
                [](const Roles &r, std::vector<Candidate> &c, Flags &none) {
                    if (!r.emmserver.empty()) {
                        c.push_back({r.emmserver, flags({{VNET_CF_EMM_SERVER, 2}})});
                        none = flags({{VNET_CF_EMM_SERVER, 1}});
                    } else {
                        // Without an EMM server of its own the master serves.
                        if (!r.server.empty())
                            c.push_back({r.server[0], flags({{VNET_CF_EMM_SERVER, 2},
                                                             {VNET_CF_MASTER_SERVER, 2}})});
                        none = flags({{VNET_CF_EMM_SERVER, 1}, {VNET_CF_MASTER_SERVER, 1}});
                    }
                });
}

int is_trusted_master(const char *host) {
    return role("vnet_is_trusted_master", host, VNET_CF_TRUSTED_MASTER,
                [](const Roles &r, std::vector<Candidate> &c, Flags &none) {
                    for (const std::string &t : r.trusted_master)
                        c.push_back({t, flags({{VNET_CF_TRUSTED_MASTER, 2}})});
                    none = flags({{VNET_CF_TRUSTED_MASTER, 1}});
                });
}

int is_vantrel(const char *host) {
    return role("vnet_is_vantrel", host, VNET_CF_VANTREL_SERVER,
                [](const Roles &r, std::vector<Candidate> &c, Flags &none) {
                    for (const std::string &v : r.vantrel)
                        c.push_back({v, flags({{VNET_CF_VANTREL_SERVER, 2}})});
                    none = flags({{VNET_CF_VANTREL_SERVER, 1}});
                });
}

int is_index_server(const char *host) {
    set_last_from_flags(false);
    if (host == nullptr || host[0] == '\0')
        return 0;
    if (cached_answer(host, VNET_CF_INDEX_SERVER) >= 0) {
        set_last_from_flags(true);
        return 0;
    }
    record_flags(host, flags({{VNET_CF_INDEX_SERVER, 1}}));
    return 0;
}

// The port of a service: a decimal number up to 65535, or the port of its
// passive stream lookup. 0 on failure (logged).
int service_port(const char *service) {
    const char *tag = "vnet_is_zt_service";
    size_t n = strlen(service);
    if (n > 0 && n <= 5 && strspn(service, "0123456789") == n) {
        long v = strtol(service, nullptr, 10);
        return v <= 65535 ? int(v) : 0;
    }
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    int rc = vnet_cached_getaddrinfo(nullptr, service, &hints, &list, &rv);
    rs::List owned(list);
    if (rc != VNET_SUCCESS || list == nullptr || list->ai_addr == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "vnet_cached_getaddrinfo(NULL, %s,...) failed: %d %d\n", service,
                rc, rv);
        return 0;
    }
    char text[64];
    int port = 0;
    if (vnet_sockAddrNtoPWithLength(list->ai_addr, list->ai_addrlen, text, sizeof text, &port) ==
        0) {
        logmsgf(ZTLOG_ERROR, tag, "vnet_sockAddrNtoPWithLength() for service %s failed: %d\n",
                service, VNET_BAD_PARAM);
        return 0;
    }
    return port;
}

int is_zt_service(const char *service) {
    if (service == nullptr || service[0] == '\0') {
        logmsgf(ZTLOG_ERROR, "vnet_is_zt_service", "service is NULL or empty");
        return 0;
    }
    const int port = service_port(service);
    if (port <= 0)
        return 0;
    for (const std::string &name : rs::builtin_service_names())
        if (service_port(name.c_str()) == port)
            return port;
    return -port;
}

} // namespace

bool configured_roles(const char *tag, Roles &out) {
    ztconf_info_t *info = nullptr;
    int count = 0;
    if (ztconf_get_info_ref_count(&info, &count) != 0 || info == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "ztconf_get_info_ref_count() failed");
        return false;
    }
    auto copy = [](const ztconf_string_list_t *l, std::vector<std::string> &to) {
        for (; l != nullptr; l = l->next)
            if (l->name != nullptr && l->name[0] != '\0')
                to.emplace_back(l->name);
    };
    copy(info->server, out.server);
    copy(info->media_server, out.media_server);
    copy(info->trusted_master, out.trusted_master);
    copy(info->vantrel_server_name, out.vantrel);
    out.emmserver = info->emmserver != nullptr ? info->emmserver : "";
    out.client_name = info->client_name != nullptr ? info->client_name : "";
    ztconf_decrement_ref_count(count);
    return true;
}

} // namespace zt::vnet::host

namespace host = zt::vnet::host;
using zt::vnet::wide::Narrow;

#define ZT_ROLE(name, impl)                                                                        \
    extern "C" ZTBASE_API int name(const char *host) {                                             \
        return host::answer(#name, [&] { return host::impl(host); });                             \
    }                                                                                              \
    extern "C" ZTBASE_API int name##W(const char16_t *host) {                                      \
        Narrow n(host, "host", #name "W");                                                         \
        return n.ok ? name(n.text) : 0;                                                            \
    }

ZT_ROLE(vnet_is_server, is_server)
ZT_ROLE(vnet_is_media_server, is_media_server)
ZT_ROLE(vnet_is_master_server, is_master_server)
ZT_ROLE(vnet_is_emm_server, is_emm_server)
ZT_ROLE(vnet_is_trusted_master, is_trusted_master)
ZT_ROLE(vnet_is_vantrel, is_vantrel)
ZT_ROLE(vnet_is_index_server, is_index_server)

#undef ZT_ROLE

extern "C" ZTBASE_API int vnet_is_zt_service(const char *service) {
    return host::answer("vnet_is_zt_service", [&] { return host::is_zt_service(service); });
}
