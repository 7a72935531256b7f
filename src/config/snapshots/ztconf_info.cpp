// The information record: the part of the host configuration the network and
// security layers read, condensed into one owned structure per thread and
// rebuilt only when the host snapshot's update time moved.
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <vector>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>
#include <ztbase/ztconf.h>

#include "config/snapshots/ztconf_info_fields.h"
#include "config/snapshots/ztconf_internal.h"
#include "base/zt_status.h"

namespace st = zt::status;

namespace {

// The field table names every field of the record, in the record's order.
struct FieldPlace {
    size_t offset, size, align;
};
#define PLACE(field, ...)                                                                          \
    FieldPlace{offsetof(ztconf_info_t, field), sizeof(ztconf_info_t::field),                       \
               alignof(decltype(ztconf_info_t::field))},
constexpr FieldPlace kPlaces[] = {ZTCONF_INFO_FIELDS(PLACE)};
#undef PLACE

constexpr bool fields_fill_the_record() {
    size_t end = 0;
    for (const FieldPlace &f : kPlaces) {
        if (f.offset != (end + f.align - 1) / f.align * f.align)
            return false;
        end = f.offset + f.size;
    }
    return (end + alignof(ztconf_info_t) - 1) / alignof(ztconf_info_t) * alignof(ztconf_info_t) ==
           sizeof(ztconf_info_t);
}
static_assert(fields_fill_the_record(), "ZTCONF_INFO_FIELDS must list every field in order");

} // namespace

namespace ztbase::ztconf {
namespace {

constexpr int kDefaultPbxPort = 1556;
constexpr int kMaxInfoRefs = 21;
constexpr int kDirectiveMatch = 1;
constexpr int kDirectiveOnly = 3;
constexpr int kDirectiveRequired = 4;

// Copies that remember whether memory ran out, so that the builder can go
// field by field and check once.
struct Builder {
    int status = 0;

    char *dup(const char *s) {
        if (s == nullptr || status != 0)
            return nullptr;
        char *copy = strdup(s);
        if (copy == nullptr)
            status = st::kNoMemory;
        return copy;
    }
    char *dup_or_empty(const char *s) { return dup(s != nullptr ? s : ""); }

    template <typename T> T *alloc() {
        if (status != 0)
            return nullptr;
        auto *p = static_cast<T *>(calloc(1, sizeof(T)));
        if (p == nullptr)
            status = st::kNoMemory;
        return p;
    }

    // Copies a list in order: make(node) fills a new element.
    template <typename Out, typename In, typename Make> Out *list(const In *in, Make make) {
        Out *head = nullptr;
        Out **tail = &head;
        for (; in != nullptr && status == 0; in = in->next) {
            Out *node = alloc<Out>();
            if (node == nullptr)
                break;
            *tail = node;
            tail = &node->next;
            make(*node, *in);
        }
        return head;
    }

    ztconf_string_list_t *hosts(const ZtHostNode *in) {
        return list<ztconf_string_list_t>(
            in, [this](ztconf_string_list_t &o, const ZtHostNode &i) { o.name = dup(i.host); });
    }
};

template <typename T> void free_list(T *node, void (*free_node)(T *)) {
    while (node != nullptr) {
        T *next = node->next;
        free_node(node);
        free(node);
        node = next;
    }
}

void free_strings(ztconf_string_list_t *l) {
    free_list<ztconf_string_list_t>(l, [](ztconf_string_list_t *n) { free(n->name); });
}

int tunnel_mode(int value) {
    return value == 1 || value == 2 ? value : 0;
}

// Pushes a preferred-network node in front of the list; a text that is not a
// network specification fails the record.
int push_preferred(ztconf_preferred_network_t **head, Builder &b, const char *network,
                   int directive, const char *source, int pseudo) {
    auto *node = b.alloc<ztconf_preferred_network_t>();
    if (node == nullptr)
        return b.status;
    node->next = *head;
    *head = node;
    node->network = b.dup(network);
    node->source = b.dup(source);
    node->directive = directive;
    node->pseudo = pseudo;
    if (b.status != 0)
        return b.status;
    int status = parseNetspec(network, &node->network_spec);
    if (status == 0 && source != nullptr)
        status = parseNetspec(source, &node->source_spec);
    if (status != 0)
        logmsgf(ZTLOG_ERROR, "ztconf_get_bpinfo", "bad preferred network \"%s\" (source \"%s\")",
                network != nullptr ? network : "", source != nullptr ? source : "");
    return status;
}

int build_preferred(const ZtConfig *c, ztconf_preferred_network_t **head, Builder &b) {
    for (const ZtPreferredNetworkNode *p = c->PREFERRED_NETWORK; p != nullptr; p = p->next) {
        int directive = p->directive == kDirectiveRequired ? kDirectiveMatch : p->directive;
        if (int s = push_preferred(head, b, p->network, directive, p->source, 0))
            return s;
    }
    const char *iface = c->CLUSTER_NAME != nullptr && c->CLUSTER_NAME[0] != '\0' ? c->CLUSTER_NAME
                        : c->REQUIRED_INTERFACE != nullptr && c->REQUIRED_INTERFACE[0] != '\0'
                            ? c->REQUIRED_INTERFACE
                            : nullptr;
    if (c->ANY_CLUSTER_INTERFACE == 0 && iface != nullptr)
        if (int s =
                push_preferred(head, b, ZTCONF_PSEUDO_PREFERRED_NETWORK, kDirectiveMatch, iface, 1))
            return s;
    if (c->REQUIRED_NETWORK != nullptr && c->REQUIRED_NETWORK[0] != '\0')
        if (int s = push_preferred(head, b, c->REQUIRED_NETWORK, kDirectiveOnly, nullptr, 0))
            return s;
    if (iface != nullptr)
        for (const ZtHostNode *h = c->VANTREL_SERVER_NAME; h != nullptr; h = h->next)
            if (int s = push_preferred(head, b, h->host, kDirectiveMatch, iface, 0))
                return s;
    return 0;
}


// Every field the table marks as copied as it is.
void copy_plain_fields(const ZtConfig &c, ztconf_info_t &info, Builder &b) {
#define GET_INT(field, item) info.field = c.item;
#define GET_STRING(field, item) info.field = b.dup(c.item);
#define GET_HOSTS(field, item) info.field = b.hosts(c.item);
#define GET_PLAIN(field, item, kind) GET_##kind(field, item)
#define GET_OWN(field, item, kind)
#define GET_NONE(field, item, kind)
#define GET(field, item, kind, get, set, json) GET_##get(field, item, kind)
    ZTCONF_INFO_FIELDS(GET)
#undef GET
#undef GET_NONE
#undef GET_OWN
#undef GET_PLAIN
#undef GET_HOSTS
#undef GET_STRING
#undef GET_INT
}

void copy_web_server_tunnel(const ZtConfig &c, ztconf_info_t &info, Builder &b) {
    info.web_server_tunnel_use = tunnel_mode(c.WEB_SERVER_TUNNEL_USE);
    info.web_server_tunnel_enabled = tunnel_mode(c.WEB_SERVER_TUNNEL_ENABLED);
    info.web_server_tunnel = b.list<ztconf_pair_list_t>(
        c.WEB_SERVER_TUNNEL, [&b](ztconf_pair_list_t &o, const ZtHostPairNode &i) {
            o.first = b.dup_or_empty(i.first);
            o.second = b.dup_or_empty(i.second);
        });
}

void copy_port_windows(const ZtConfig &c, ztconf_info_t &info) {
    if (c.CLIENT_PORT_WINDOW != nullptr) {
        info.client_port_window_low = c.CLIENT_PORT_WINDOW->low;
        info.client_port_window_high = c.CLIENT_PORT_WINDOW->high;
    }
    if (c.CLIENT_RESERVED_PORT_WINDOW != nullptr) {
        info.client_reserved_port_window_low = c.CLIENT_RESERVED_PORT_WINDOW->low;
        info.client_reserved_port_window_high = c.CLIENT_RESERVED_PORT_WINDOW->high;
    }
}

// Authentication domains, the authorization service, HXSS and the
// authentication switch.
void copy_security(const ZtConfig &c, ztconf_info_t &info, Builder &b) {
    info.authentication_domain = b.list<ztconf_authentication_domain_t>(
        c.AUTHENTICATION_DOMAIN,
        [&b](ztconf_authentication_domain_t &o, const ZtAuthDomainNode &i) {
            o.domain = b.dup(i.domain);
            o.comment = b.dup(i.comment);
            o.type = i.type;
            o.broker = b.dup(i.broker);
            o.port = i.port;
        });
    if (c.AUTHORIZATION_SERVICE != nullptr) {
        info.authorization_service = b.alloc<ztconf_authorization_service_t>();
        if (info.authorization_service != nullptr) {
            info.authorization_service->host = b.dup(c.AUTHORIZATION_SERVICE->host);
            info.authorization_service->port = c.AUTHORIZATION_SERVICE->port;
        }
    }
    info.use_hxss = c.USE_HXSS == 0 || c.USE_HXSS == 1 ? c.USE_HXSS : 2;
    info.hxss_network = b.list<ztconf_hxss_network_t>(
        c.HXSS_NETWORK, [&b](ztconf_hxss_network_t &o, const ZtHxssNetworkNode &i) {
            o.host = b.dup(i.host);
            o.mode = i.mode;
        });
    info.use_authentication = c.USE_AUTHENTICATION == 1 ? 1 : 0;
}

// Per-host and default connect options, and the PBX port they go through.
void copy_connect_options(const ZtConfig &c, ztconf_info_t &info, Builder &b) {
    info.reserved = 0;
    info.pbx_port = pbx_port(block());
    info.connect_options = b.list<ztconf_connect_options_t>(
        c.CONNECT_OPTIONS, [&b](ztconf_connect_options_t &o, const ZtConnectOptionsNode &i) {
            o.host = b.dup(i.host);
            memcpy(o.value, i.value, sizeof o.value);
        });
    if (c.DEFAULT_CONNECT_OPTIONS != nullptr) {
        info.default_connect_options = b.alloc<ztconf_default_connect_options_t>();
        if (auto *d = info.default_connect_options) {
            memcpy(d->value, c.DEFAULT_CONNECT_OPTIONS->value, sizeof d->value);
            if (d->value[2] == 3)
                d->value[2] = 0;
        }
    }
}

void copy_bandwidths(const ZtConfig &c, ztconf_info_t &info, Builder &b) {
    info.limit_bandwidth = b.list<ztconf_bandwidth_t>(
        c.LIMIT_BANDWIDTH, [&b](ztconf_bandwidth_t &o, const ZtLimitBandwidthNode &i) {
            o.first = b.dup(i.from);
            o.second = b.dup(i.to);
            o.value = i.bandwidth;
        });
    info.throttle_bandwidth = b.list<ztconf_bandwidth_t>(
        c.THROTTLE_BANDWIDTH, [&b](ztconf_bandwidth_t &o, const ZtThrottleNode &i) {
            o.first = b.dup(i.network);
            o.value = i.bandwidth;
        });
}

// The vnet options with their unset numbers filled in, and the host cache
// time, which HOST_CACHE_TTL gives when set and the vnet options otherwise.
void copy_vnet_options(const ZtConfig &c, ztconf_info_t &info, Builder &b) {
    if (c.VNET_OPTIONS != nullptr) {
        info.vnet_options = b.alloc<ztconf_vnet_options_t>();
        if (auto *v = info.vnet_options) {
            static const int32_t kFill[8] = {200, 40, 3, 1, 30, 5, 1793, 32};
            memcpy(v->value, c.VNET_OPTIONS->value, sizeof v->value);
            for (int i = 0; i < 8; ++i) // the third to the tenth number
                if (v->value[2 + i] == 0)
                    v->value[2 + i] = kFill[i];
        }
    }
    if (c.HOST_CACHE_TTL != 0) {
        info.host_cache_ttl = c.HOST_CACHE_TTL;
        if (info.vnet_options != nullptr)
            info.vnet_options->value[1] = c.HOST_CACHE_TTL;
    } else if (info.vnet_options != nullptr) {
        info.host_cache_ttl = info.vnet_options->value[1];
    }
}

void copy_resilient_network(const ZtConfig &c, ztconf_info_t &info, Builder &b) {
    info.resilient_network = b.list<ztconf_resilient_network_t>(
        c.RESILIENT_NETWORK, [&b](ztconf_resilient_network_t &o, const ZtResilientNetworkNode &i) {
            o.host = b.dup(i.network);
            o.on = i.on;
        });
}

} // namespace

int pbx_port(ztbase_tss_data *b) {
    if (b != nullptr && b->pbx_port != 0)
        return int(b->pbx_port);
    std::vector<char> buffer(1024);
    servent entry{}, *found = nullptr;
    int rc;
    while ((rc = getservbyname_r("halvane_pbx", nullptr, &entry, buffer.data(), buffer.size(),
                                 &found)) == ERANGE &&
           buffer.size() < 65536)
        buffer.resize(buffer.size() * 2);
    if (rc != 0) // a temporary failure: ask again next time
        return kDefaultPbxPort;
    int port = found != nullptr ? ntohs(uint16_t(found->s_port)) : kDefaultPbxPort;
    if (b != nullptr)
        b->pbx_port = uint32_t(port);
    return port;
}

} // namespace ztbase::ztconf

using namespace ztbase::ztconf;

extern "C" {

ZTBASE_API void ztconf_free_authentication_domain(ztconf_authentication_domain_t *node) {
    if (node == nullptr)
        return;
    free(node->domain);
    free(node->comment);
    free(node->broker);
    free(node);
}

ZTBASE_API void ztconf_free_authentication_domain_list(ztconf_authentication_domain_t *list) {
    while (list != nullptr) {
        ztconf_authentication_domain_t *next = list->next;
        ztconf_free_authentication_domain(list);
        list = next;
    }
}

ZTBASE_API void ztconf_free_authorization_service(ztconf_authorization_service_t *service) {
    if (service == nullptr)
        return;
    free(service->host);
    free(service);
}

ZTBASE_API void ztconf_free_hxss_network(ztconf_hxss_network_t *list) {
    free_list<ztconf_hxss_network_t>(list, [](ztconf_hxss_network_t *n) { free(n->host); });
}

ZTBASE_API int ztconf_create_authentication_domain(const char *domain, const char *comment,
                                                   int type, const char *broker, int port,
                                                   ztconf_authentication_domain_t **out) {
    if (out == nullptr || domain == nullptr)
        return st::kInvalidParameter;
    Builder b;
    auto *node = b.alloc<ztconf_authentication_domain_t>();
    if (node != nullptr) {
        node->domain = b.dup(domain);
        node->comment = b.dup(comment);
        node->broker = b.dup(broker);
        node->type = type;
        node->port = port;
    }
    if (b.status != 0) {
        ztconf_free_authentication_domain(node);
        return b.status;
    }
    *out = node;
    return 0;
}

ZTBASE_API int ztconf_create_authorization_service(const char *host, int port,
                                                   ztconf_authorization_service_t **out) {
    if (out == nullptr || host == nullptr)
        return st::kInvalidParameter;
    Builder b;
    auto *service = b.alloc<ztconf_authorization_service_t>();
    if (service != nullptr) {
        service->host = b.dup(host);
        service->port = port;
    }
    if (b.status != 0) {
        ztconf_free_authorization_service(service);
        return b.status;
    }
    *out = service;
    return 0;
}

ZTBASE_API int ztconf_create_hxss_network(const char *host, int mode, ztconf_hxss_network_t **out) {
    if (out == nullptr || host == nullptr)
        return st::kInvalidParameter;
    Builder b;
    auto *node = b.alloc<ztconf_hxss_network_t>();
    if (node != nullptr) {
        node->host = b.dup(host);
        node->mode = mode;
    }
    if (b.status != 0) {
        ztconf_free_hxss_network(node);
        return b.status;
    }
    *out = node;
    return 0;
}

ZTBASE_API void ztconf_free_info(ztconf_info_t *info) {
    if (info == nullptr)
        return;
#define FREE_INT(field)
#define FREE_STRING(field) free(info->field);
#define FREE_HOSTS(field) free_strings(info->field);
#define FREE_OTHER(field)
#define FREE(field, item, kind, get, set, json) FREE_##kind(field)
    ZTCONF_INFO_FIELDS(FREE)
#undef FREE
#undef FREE_OTHER
#undef FREE_HOSTS
#undef FREE_STRING
#undef FREE_INT
    free_list<ztconf_pair_list_t>(info->web_server_tunnel, [](ztconf_pair_list_t *n) {
        free(n->first);
        free(n->second);
    });
    ztconf_free_authentication_domain_list(info->authentication_domain);
    ztconf_free_authorization_service(info->authorization_service);
    ztconf_free_hxss_network(info->hxss_network);
    free_list<ztconf_connect_options_t>(info->connect_options,
                                        [](ztconf_connect_options_t *n) { free(n->host); });
    free(info->default_connect_options);
    auto free_bandwidth = [](ztconf_bandwidth_t *n) {
        free(n->first);
        free(n->second);
    };
    free_list<ztconf_bandwidth_t>(info->limit_bandwidth, free_bandwidth);
    free_list<ztconf_bandwidth_t>(info->throttle_bandwidth, free_bandwidth);
    free(info->vnet_options);
    free_list<ztconf_preferred_network_t>(info->preferred_network,
                                          [](ztconf_preferred_network_t *n) {
                                              free(n->network);
                                              free(n->source);
                                              ztconf_free_netspec(&n->network_spec);
                                              ztconf_free_netspec(&n->source_spec);
                                          });
    free_list<ztconf_resilient_network_t>(info->resilient_network,
                                          [](ztconf_resilient_network_t *n) { free(n->host); });
    free(info);
}

ZTBASE_API int ztconf_get_bpinfo(const ZtConfig *c, ztconf_info_t **out) {
    if (out == nullptr)
        return st::kInvalidParameter;
    *out = nullptr;
    if (c == nullptr || c->valid != 1) {
        ZTCONF_TRACE(st::kNoConfig);
        return st::kNoConfig;
    }
    Builder b;
    auto *info = b.alloc<ztconf_info_t>();
    if (info == nullptr)
        return b.status;
    copy_plain_fields(*c, *info, b);
    copy_web_server_tunnel(*c, *info, b);
    copy_port_windows(*c, *info);
    copy_security(*c, *info, b);
    copy_connect_options(*c, *info, b);
    copy_bandwidths(*c, *info, b);
    copy_vnet_options(*c, *info, b);
    copy_resilient_network(*c, *info, b);
    int status = b.status;
    if (status == 0)
        status = build_preferred(c, &info->preferred_network, b);
    if (status != 0) {
        ZTCONF_TRACE(status);
        ztconf_free_info(info);
        return status;
    }
    *out = info;
    return 0;
}

ZTBASE_API int ztconf_get_info(ztconf_info_t **holder) {
    if (holder == nullptr)
        return st::kInvalidParameter;
    *holder = nullptr;
    ztbase_tss_data *b = block();
    if (b == nullptr)
        return st::kNoMemory;
    ZT_read_master_config();
    const int64_t t = tss_conf_update_time(ZTCONF_HOST_KEY);
    auto *current = static_cast<ztconf_info_t *>(b->conf_info);
    // A record with references outstanding stays until they are dropped.
    if (current != nullptr && (current->update_time == t || b->conf_info_refs[0] > 0)) {
        *holder = current;
        return 0;
    }
    ZtConfig *record = nullptr;
    int status = bpconf_no_ref(&record, ZTCONF_HOST_KEY);
    if (record == nullptr)
        return status != 0 ? status : st::kNoConfig;
    ztconf_info_t *fresh = nullptr;
    status = ztconf_get_bpinfo(record, &fresh);
    if (status != 0)
        return status;
    fresh->update_time = t;
    ztconf_free_info(current);
    b->conf_info = fresh;
    b->conf_info_next_check = now() + 10;
    *holder = fresh;
    return 0;
}

ZTBASE_API int ztconf_get_info_ref_count(ztconf_info_t **out, int *count) {
    if (out == nullptr || count == nullptr)
        return st::kInvalidParameter;
    ztbase_tss_data *b = block();
    if (b == nullptr)
        return st::kNoMemory;
    int &refs = b->conf_info_refs[0];
    if (b->conf_info == nullptr ||
        (refs == 0 && (due(now(), b->conf_info_next_check, 10) || frozen(b)))) {
        ztconf_info_t *info = nullptr;
        int status = ztconf_get_info(&info);
        if (status != 0)
            return status;
    }
    if (refs + 1 > kMaxInfoRefs) {
        logmsgf(ZTLOG_CRITICAL, __func__,
                "information record reference count would exceed %d, aborting", kMaxInfoRefs);
        abort();
    }
    ++refs;
    *out = static_cast<ztconf_info_t *>(b->conf_info);
    *count = refs;
    return 0;
}

ZTBASE_API int ztconf_decrement_ref_count(int count) {
    ztbase_tss_data *b = block();
    if (b == nullptr)
        return st::kNoMemory;
    int &refs = b->conf_info_refs[0];
    if (count != 0 && count != refs) {
        logmsgf(ZTLOG_CRITICAL, __func__,
                "information record reference %d released while the count is %d, aborting", count,
                refs);
        abort();
    }
    if (count != 0 && refs >= 1)
        --refs;
    return 0;
}

} // extern "C"
